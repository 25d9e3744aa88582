// InflightLease: one unit of a backend's in-flight count, held for the life
// of one dispatched request.
//
//   auto lease = InflightLease::acquire(lb, server_id);  // entered
//   co_await forward(request);                          // lease.release() when a stream ends
//   // leaving the scope gives the unit back once, exceptions included
//
// Giving the unit back (exit, async_exit, release, or the destructor of an
// entered lease) happens at most once; it calls LoadBalancer::decrement,
// which may admit a parked request to the freed slot. If that decrement
// throws, the lease stays held and a later exit or release tries again.
// A lease that outlives its balancer gives nothing back (there is nothing
// left to give it to); entering one needs a live balancer.
#pragma once

#include "load_balancer/balancer.hpp"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace quillmar::lb {

class InflightLease {
public:
    // A lease that is not entered yet: no count changes.
    InflightLease(LoadBalancer& lb, std::int64_t server_id) noexcept
        : lb_(&lb), alive_(lb.alive_), server_id_(server_id) {}
    // A lease entered at construction: the count is raised now.
    [[nodiscard]] static InflightLease acquire(LoadBalancer& lb, std::int64_t server_id);

    InflightLease(const InflightLease&) = delete;
    InflightLease& operator=(const InflightLease&) = delete;
    // Moving transfers the duty to give the unit back; the moved-from lease
    // gives nothing back.
    InflightLease(InflightLease&& other) noexcept;
    InflightLease& operator=(InflightLease&& other) noexcept;
    // Runs exit() when the lease was entered and not yet given back. Never
    // throws: a failing decrement is logged at warning level.
    ~InflightLease();

    // Raises the count by one, every call (a second enter adds a second unit
    // that exit does not give back). Returns *this.
    InflightLease& enter();
    // Gives the unit back once; later calls do nothing. Never suppresses an
    // error of the scope (there is none to suppress in C++: call it from a
    // destructor or a catch block as you like).
    void exit();
    // The same as exit(), for code that ends a streamed response.
    void release() { exit(); }
    // Asynchronous forms; neither suspends.
    boost::asio::awaitable<std::reference_wrapper<InflightLease>> async_enter();
    boost::asio::awaitable<void> async_exit();

    bool released() const noexcept { return released_; }
    std::int64_t server_id() const noexcept { return server_id_; }
    LoadBalancer& lb() const noexcept { return *lb_; }

private:
    friend struct AdmitAccess;  // hands over a unit raised at admission

    // The destructor's exit: errors are logged, never thrown.
    void give_back_quietly() noexcept;

    LoadBalancer* lb_;
    std::weak_ptr<const bool> alive_;  // expires with *lb_
    std::int64_t server_id_;
    bool released_ = false;
    bool entered_ = false;  // whether the destructor owes an exit
};

}  // namespace quillmar::lb
