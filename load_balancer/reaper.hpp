// In-flight reaper: a background task that drops the in-flight counts of
// backends that are no longer running.
//
// A count can outlive its requests: a backend crashes, its container
// restarts, or a connection dies in a way that leaves a lease without its
// exit. Such a count keeps the capacity gate closed for a backend that is
// gone or came back empty. The reaper periodically compares the balancer's
// in-flight table with the host's authoritative list of running servers and
// force-clears every id that is not on the list.
//
//   boost::asio::cancellation_signal stop;
//   co_spawn(io, inflight_reaper_loop(lb, {.interval_sec = 60.0,
//                                          .list_running_servers = my_lister}),
//            bind_cancellation_slot(stop.slot(), detached));
//   ...
//   stop.emit(boost::asio::cancellation_type::terminal);  // ends the loop
#pragma once

#include "load_balancer/balancer.hpp"
#include "load_balancer/values.hpp"

#include <boost/asio/awaitable.hpp>

#include <functional>
#include <vector>

namespace quillmar::lb {

// The host's lister of running servers: called with no arguments, awaited on
// the balancer's executor, and answers with the records of the servers that
// run now. Only each record's "id" is read (indexed: it must be present).
using ServerLister = std::function<boost::asio::awaitable<std::vector<ServerRecord>>()>;

struct ReaperOptions {
    // Seconds between iterations. The first check comes one interval after
    // the start, never at once.
    double interval_sec = 60.0;
    // Empty: the loop only sleeps and never touches the in-flight table.
    ServerLister list_running_servers;
};

// Runs until cancelled; never returns on its own. Each iteration sleeps
// `interval_sec`, then (with a lister) awaits the list, builds the set of
// live ids, and force-clears, in table order over a copy of the keys, every
// in-flight entry whose id is not live, zero entries included (one warning
// "Force-cleared inflight=%d for server %s" each). force_clear wakes no
// parked request: freed capacity reaches waiters through later decrements or
// new waits.
//
// Cost per iteration: the lister's call, plus O(live ids + in-flight
// entries) with one hash-set build; no state is kept between iterations. The
// time the lister takes adds to the interval (no jitter, no back-off).
//
// Suspends only in the sleep and in the lister's await. Errors: the
// cancellation error (system_error with operation_aborted, see
// is_cancellation) raised there propagates unchanged and ends the loop. Any
// other std::exception of an iteration (a failing lister, a record without
// "id" or with a non-integer id, a null record, a failing force_clear) is
// logged at warning level as "inflight reaper iteration failed: %s" with its
// what() text, and the loop goes on; an iteration that fails before the walk
// clears nothing, one that fails during the walk keeps the clears already
// made. `lb` must outlive the loop.
boost::asio::awaitable<void> inflight_reaper_loop(LoadBalancer& lb, ReaperOptions options = {});

}  // namespace quillmar::lb
