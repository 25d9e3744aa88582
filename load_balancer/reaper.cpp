// In-flight reaper loop.
#include "load_balancer/reaper.hpp"

#include "load_balancer/log.hpp"
#include "load_balancer/runtime.hpp"

#include <fmt/printf.h>

#include <cstdint>
#include <exception>
#include <unordered_set>

namespace quillmar::lb {

namespace {

// One comparison of the table with the host's list. The whole live set is
// built before anything is cleared, so a malformed record aborts the pass
// without touching the table. No suspension point: no request starts or ends
// between the list and the walk.
void reap_once(LoadBalancer& lb, const std::vector<ServerRecord>& running) {
    std::unordered_set<std::int64_t> live;
    live.reserve(running.size());
    for (const ServerRecord& rec : running) {
        if (!rec) throw ValueError("server lister returned a null record");
        live.insert(server_id(*rec));
    }
    // A copy of the keys: force_clear erases from the table being walked.
    std::vector<std::int64_t> ids;
    ids.reserve(lb.inflight.size());
    for (const auto& [sid, count] : lb.inflight) ids.push_back(sid);
    for (std::int64_t sid : ids) {
        if (!live.contains(sid)) lb.force_clear(sid);
    }
}

}  // namespace

boost::asio::awaitable<void> inflight_reaper_loop(LoadBalancer& lb, ReaperOptions options) {
    for (;;) {
        try {
            co_await sleep(options.interval_sec);
            if (!options.list_running_servers) continue;
            std::vector<ServerRecord> running = co_await options.list_running_servers();
            reap_once(lb, running);
        } catch (const std::exception& e) {
            if (is_cancellation(e)) throw;
            logger()->warn(fmt::sprintf("inflight reaper iteration failed: %s", e.what()));
        }
    }
}

}  // namespace quillmar::lb
