// admit(): the whole road from a request's candidates to a held slot, in one
// call that cannot hand the same slot out twice.
//
//   lb::Admission a = co_await lb::admit(balancer, pool, fitting, {.estimated_tokens = tokens});
//   if (!a) return refuse(a.reason);      // "at_capacity", "queue_full", "queue_timeout", "no_backends"
//   co_await forward(a.server, body);     // a.lease gives the slot back on every exit
//
// select() followed by InflightLease::acquire() leaves a gap: anything that
// suspends between the two lets another request be given the same slot.
// admit() enters the lease before anything can suspend, and a parked request
// has its slot counted at the moment it is admitted, not when it resumes.
#pragma once

#include "load_balancer/balancer.hpp"
#include "load_balancer/lease.hpp"

#include <boost/asio/awaitable.hpp>

#include <optional>
#include <span>
#include <string_view>

namespace quillmar::lb {

struct Admission {
    ServerRecord server;                 // one of the caller's own records; null when refused
    std::optional<InflightLease> lease;  // entered on `server` when admitted; empty when refused
    std::string_view reason;             // "ok" or the refusal reason (static storage)
    double waited_sec = 0.0;             // time parked, also for a queue timeout
    bool parked = false;                 // whether the request waited in the queue

    explicit operator bool() const noexcept { return server != nullptr; }
};

// select() with `options`; when nobody can take the request and the queue is
// on (queue_enabled()), wait_for_slot() on the candidates. A pin that matches
// no candidate is refused with "no_backends" (a matching pin always passes).
// Every refusal is counted once in the reject counts: "at_capacity" (queue
// off) and an unmatched pin here, the queue's own reasons by the queue. Cancelling the awaiting coroutine removes its waiter, gives
// back any slot reserved for it and propagates the cancellation error.
// Throws what select() throws for malformed records.
boost::asio::awaitable<Admission> admit(LoadBalancer& lb, const PoolKey& pool_key,
                                        std::span<const ServerRecord> candidates, SelectOptions options = {});

}  // namespace quillmar::lb
