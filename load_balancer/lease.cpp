#include "load_balancer/lease.hpp"

#include "load_balancer/log.hpp"

#include <fmt/printf.h>

#include <exception>
#include <utility>

namespace quillmar::lb {

InflightLease InflightLease::acquire(LoadBalancer& lb, std::int64_t server_id) {
    InflightLease lease(lb, server_id);
    lease.enter();
    return lease;
}

InflightLease::InflightLease(InflightLease&& other) noexcept
    : lb_(other.lb_),
      alive_(other.alive_),
      server_id_(other.server_id_),
      released_(std::exchange(other.released_, true)),
      entered_(std::exchange(other.entered_, false)) {}

InflightLease& InflightLease::operator=(InflightLease&& other) noexcept {
    if (this != &other) {
        give_back_quietly();
        lb_ = other.lb_;
        alive_ = other.alive_;
        server_id_ = other.server_id_;
        released_ = std::exchange(other.released_, true);
        entered_ = std::exchange(other.entered_, false);
    }
    return *this;
}

InflightLease::~InflightLease() { give_back_quietly(); }

void InflightLease::give_back_quietly() noexcept {
    if (!entered_ || released_) return;
    try {
        exit();
    } catch (const std::exception& e) {
        logger()->warn(fmt::sprintf("inflight lease exit failed for server %d: %s", server_id_, e.what()));
    } catch (...) {
        logger()->warn(fmt::sprintf("inflight lease exit failed for server %d", server_id_));
    }
}

InflightLease& InflightLease::enter() {
    lb_->increment(server_id_);
    entered_ = true;
    return *this;
}

void InflightLease::exit() {
    if (released_) return;
    if (alive_.expired()) {  // the balancer and its counts are gone
        released_ = true;
        return;
    }
    lb_->decrement(server_id_);
    released_ = true;
}

boost::asio::awaitable<std::reference_wrapper<InflightLease>> InflightLease::async_enter() {
    co_return std::ref(enter());
}

boost::asio::awaitable<void> InflightLease::async_exit() {
    exit();
    co_return;
}

}  // namespace quillmar::lb
