// Access to LoadBalancer internals for tests that must look inside.
#pragma once

#include "load_balancer/balancer.hpp"

#include <boost/asio/awaitable.hpp>

#include <optional>
#include <span>
#include <vector>

namespace quillmar::lb {

struct LoadBalancerTestPeer {
    using LB = LoadBalancer;

    static auto& wrr(LB& lb) { return lb.wrr_; }
    static auto& locks(LB& lb) { return lb.locks_; }
    static auto& pool_last_access(LB& lb) { return lb.pool_last_access_; }
    static auto& waiters(LB& lb) { return lb.waiters_; }
    static auto& all_waiters(LB& lb) { return lb.all_waiters_; }
    static std::string_view routing_mode(LB& lb) { return lb.routing_mode_; }
    static auto& pool_dispatch_windows(LB& lb) { return lb.pool_dispatch_windows_; }
    static auto& pool_hot_state(LB& lb) { return lb.pool_hot_state_; }

    static std::int64_t superfast_cap(LB& lb, std::int64_t configured) { return lb.superfast_cap(configured); }
    static bool hybrid_hot(LB& lb, const PoolKey* key, std::int64_t pool_inflight, double pool_rate) {
        return lb.hybrid_hot(key, pool_inflight, pool_rate);
    }
    static std::int64_t effective_cap_for(LB& lb, const boost::json::object& server, std::int64_t pool_inflight,
                                          double pool_rate, const PoolKey* key) {
        return lb.effective_cap_for(server, pool_inflight, pool_rate, key);
    }
    static std::int64_t pool_inflight(LB& lb, std::span<const ServerRecord> candidates) {
        return lb.pool_inflight(candidates);
    }
    static double recent_dispatch_rate(LB& lb, const PoolKey* key = nullptr) { return lb.recent_dispatch_rate(key); }
    static bool under_capacity(LB& lb, const boost::json::object& server,
                               std::optional<std::span<const ServerRecord>> pool_candidates = std::nullopt,
                               const PoolKey* key = nullptr) {
        return lb.under_capacity(server, pool_candidates, key);
    }
    static void record_dispatch(LB& lb, const PoolKey& key, const boost::json::object& server) {
        lb.record_dispatch(key, server);
    }

    static AsyncLock& lock_for(LB& lb, const PoolKey& key) { return lb.lock_for(key); }
    static void evict_stale_pools(LB& lb) { lb.evict_stale_pools(); }
    // The picks' view of records (id indexed, weight looked up), by address:
    // keep `records` alive until the pick completes.
    static std::vector<LB::Candidate> refs(LB& lb, std::span<const ServerRecord> records) {
        std::vector<LB::Candidate> out;
        for (const auto& r : records) {
            const std::int64_t id = server_id(*r);
            out.push_back({&r, id, lookup(*r, "weight"), lb.get_inflight(id), LB::Candidate::kUnconverted});
        }
        return out;
    }
    static boost::asio::awaitable<ServerRecord> wrr_pick(LB& lb, const PoolKey& key,
                                                         std::span<const ServerRecord> records) {
        auto r = refs(lb, records);
        co_return co_await lb.wrr_pick(key, r);
    }
    static ServerRecord least_connections_pick(LB& lb, std::span<const ServerRecord> records) {
        auto r = refs(lb, records);
        return *lb.least_connections_pick(r).rec;
    }
    static ServerRecord sticky_lookup(LB& lb, std::span<const ServerRecord> records, std::string_view key) {
        auto r = refs(lb, records);
        const auto* p = lb.sticky_lookup(r, key);
        return p ? *p->rec : ServerRecord{};
    }

    static std::int64_t queue_capacity_for_pool(LB& lb, std::span<const ServerRecord> c) {
        return lb.queue_capacity_for_pool(c);
    }
    static void try_admit(LB& lb, const LB::WaiterPtr& w) { lb.try_admit(w); }
    static void wake_one(LB& lb, std::int64_t id) { lb.wake_one(id); }
    static void fulfill(LB& lb, const LB::WaiterPtr& w, const ServerRecord& s) { lb.fulfill(w, s); }
    static void remove_waiter(LB& lb, const LB::WaiterPtr& w) { lb.remove_waiter(w); }
    static void bump_reject(LB& lb, std::string_view reason) { lb.bump_reject(reason); }
};

}  // namespace quillmar::lb
