// Balancer state, routing-mode control and in-flight accounting.
#include "load_balancer/balancer.hpp"

#include "load_balancer/log.hpp"
#include "load_balancer/settings.hpp"

#include <fmt/printf.h>

#include <string>

namespace quillmar::lb {

LoadBalancer::LoadBalancer() : routing_mode_(DEFAULT_ROUTING_MODE) {}

LoadBalancer::~LoadBalancer() {
    alive_.reset();  // first: the waits cancelled below must not come back here
    for (const WaiterPtr& waiter : all_waiters_) waiter->future.cancel();
}

std::string_view LoadBalancer::set_routing_mode(std::string_view mode) {
    std::string_view resolved = normalize_routing_mode(mode);
    if (resolved != routing_mode_) {
        logger()->info(fmt::sprintf("Routing mode: %s -> %s", routing_mode_, resolved));
    }
    routing_mode_ = resolved;
    mode_ = resolved == ROUTING_MODE_HYBRID            ? Mode::hybrid
            : resolved == ROUTING_MODE_MAX_CONCURRENCY ? Mode::max_concurrency
            : resolved == ROUTING_MODE_QUEUE_ALL       ? Mode::queue_all
                                                       : Mode::superfast;
    return resolved;
}

std::string_view LoadBalancer::set_routing_mode(const boost::json::value& mode) {
    if (!mode.is_string()) return set_routing_mode(std::string_view{});
    const boost::json::string& s = mode.get_string();
    return set_routing_mode(std::string_view(s.data(), s.size()));
}

std::string_view LoadBalancer::set_routing_mode(const char* mode) {
    return set_routing_mode(mode == nullptr ? std::string_view{} : std::string_view(mode));
}

bool LoadBalancer::queue_enabled() const noexcept {
    return mode_ == Mode::queue_all ? true : QUEUE_ENABLED;
}

double LoadBalancer::queue_ttl_sec() const noexcept {
    return mode_ == Mode::queue_all ? QUEUE_ALL_TTL_SEC : QUEUE_TTL_SEC;
}

std::int64_t LoadBalancer::queue_depth_multiplier() const noexcept {
    return mode_ == Mode::queue_all ? QUEUE_ALL_DEPTH_MULTIPLIER : QUEUE_MAX_DEPTH_MULTIPLIER;
}

std::int64_t LoadBalancer::increment(std::int64_t server_id) {
    auto [it, inserted] = inflight.try_emplace(server_id, 0);
    return ++it.value();
}

std::int64_t LoadBalancer::decrement(std::int64_t server_id) {
    const std::int64_t next = drop_unit(server_id);
    // The table is updated first so the gate inside sees the freed slot.
    wake_one(server_id);
    return next;
}

std::int64_t LoadBalancer::drop_unit(std::int64_t server_id) {
    auto it = inflight.find(server_id);
    std::int64_t cur = it == inflight.end() ? 0 : it->second;
    std::int64_t next = cur - 1 > 0 ? cur - 1 : 0;
    if (next == 0 && it != inflight.end()) {
        inflight.erase(it);
    } else if (it != inflight.end()) {
        it.value() = next;
    } else {
        // A surplus decrement of an unknown server leaves a visible 0 entry
        // (the reaper or the next decrement removes it).
        inflight.emplace(server_id, 0);
    }
    return next;
}

std::int64_t LoadBalancer::get_inflight(std::int64_t server_id) const noexcept {
    auto it = inflight.find(server_id);
    return it == inflight.end() ? 0 : it->second;
}

void LoadBalancer::force_clear(std::int64_t server_id) {
    auto it = inflight.find(server_id);
    if (it == inflight.end()) return;
    std::int64_t removed = it->second;
    inflight.erase(it);
    // The id goes in as text: the message's "%s" is printf's string conversion.
    logger()->warn(fmt::sprintf("Force-cleared inflight=%d for server %s", removed, std::to_string(server_id)));
}

}  // namespace quillmar::lb
