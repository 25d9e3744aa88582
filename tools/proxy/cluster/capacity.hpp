// Cluster mode: this replica's share of every backend's "max_concurrency",
// held as capacity grants in Redis (see grant_store.hpp) and renewed on an
// interval by a loop on the proxy's event loop. The request path never waits
// on Redis: it reads server records whose "max_concurrency" this object keeps
// equal to the grant in force.
//
// The records are updated in place rather than swapped, because parked
// requests keep the records they were parked with: a lowered grant has to
// reach them too. A grant of 0 (which "max_concurrency" cannot say: 0 means
// unbounded) is a cap of 1 with one placeholder count in the balancer's
// in-flight table, so the backend is full for this replica.
//
// Backends with an unbounded "max_concurrency" (0) are not shared.
#pragma once

#include "load_balancer/balancer.hpp"
#include "proxy/cluster/grant_store.hpp"
#include "proxy/cluster/redis_client.hpp"
#include "proxy/config.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/object.hpp>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quillmar::proxy {

class ClusterCapacity {
public:
    ClusterCapacity(boost::asio::io_context& io, lb::LoadBalancer& lb, ClusterConfig cfg);

    // A copy of `cfg` whose shared backends have records this object keeps
    // in step with the grant (the grant in force from the start; 0 for a
    // backend it has no grant for yet). Backends that left the configuration
    // are released at the next renewal. O(records).
    std::shared_ptr<const Config> adopt(const std::shared_ptr<const Config>& cfg);
    // Starts the renewal loop (the first renewal at once).
    void start();
    // Stops the loop and drops the Redis connection.
    void stop();
    // Gives every grant back to Redis (bounded by one renewal interval);
    // errors are logged, the entries then expire by their TTL.
    boost::asio::awaitable<void> release();
    // A request found every backend of `fitting` full: while it waits (and
    // once, at the next renewal, when it was refused) the replica asks for
    // one slot more on each of them; the next renewal comes early (at most
    // four per interval). The waiting ends with the returned object.
    class Demand {
    public:
        Demand() = default;
        Demand(ClusterCapacity* owner, std::vector<std::int64_t> ids) : owner_(owner), ids_(std::move(ids)) {}
        Demand(Demand&& o) noexcept : owner_(std::exchange(o.owner_, nullptr)), ids_(std::move(o.ids_)) {}
        Demand& operator=(Demand&&) = delete;
        ~Demand();

    private:
        ClusterCapacity* owner_ = nullptr;
        std::vector<std::int64_t> ids_;
    };
    [[nodiscard]] Demand note_demand(std::span<const lb::ServerRecord> fitting);
    // Whether this replica holds less than the whole cap of one of
    // `fitting`'s shared backends, so that a renewal could raise its grant.
    bool may_grow(std::span<const lb::ServerRecord> fitting) const;
    // Waits until the renewal in progress or the next one has ended (a
    // Demand brings it forward), at most two renewal intervals; at once
    // when stopped. Throws the cancellation error when the awaiting
    // coroutine is cancelled.
    boost::asio::awaitable<void> next_renewal();

    // {"replica_id", "fallback", "redis_errors", "renewals", "backends":
    // [{"server_id", "cap", "grant", "replicas_seen", "wanted"}]}.
    boost::json::object snapshot() const;
    // Prometheus text: quillmar_cluster_* gauges and counters.
    std::string metrics_text() const;

private:
    struct Record {
        std::weak_ptr<boost::json::object> rec;
        std::int64_t configured = 0;
    };
    struct Backend {
        std::int64_t cap = 0;            // configured cap (largest among its records)
        std::int64_t cap_in_force = 0;   // smallest cap any live replica reported
        std::int64_t grant = 0;          // in force here
        std::int64_t replicas_seen = 0;  // 0: never heard from Redis
        std::int64_t wanted = 0;
        int quiet_renewals = 0;          // renewals in a row that needed less than `wanted`
        std::int64_t dispatches = 0;     // the balancer's dispatch count at the last renewal
        std::int64_t pressure = 0;       // requests that found it full since the last renewal
        std::int64_t waiting = 0;        // requests parked on it now
        bool placeholder = false;        // holds one in-flight count while the grant is 0
        double valid_until = 0.0;        // monotonic seconds
        std::vector<Record> records;

        // The cap the cluster shares out now: the configured one, lowered
        // by any live replica that reported a smaller one.
        std::int64_t cap_now() const noexcept { return cap_in_force > 0 ? std::min(cap, cap_in_force) : cap; }
    };

    boost::asio::awaitable<void> loop();
    boost::asio::awaitable<void> renew_once();
    void apply(std::int64_t id, Backend& b, std::int64_t grant);
    void fall_back(double now);
    void wake_renewal_waiters();
    std::int64_t in_use(std::int64_t id, const Backend& b) const;
    std::int64_t wanted_for(std::int64_t id, Backend& b);

    boost::asio::io_context& io_;
    lb::LoadBalancer& lb_;
    ClusterConfig cfg_;
    RedisClient redis_;
    GrantStore store_;
    std::map<std::int64_t, Backend> backends_;
    std::vector<std::int64_t> to_release_;  // left the configuration
    std::vector<boost::asio::steady_timer*> renewal_waiters_;  // next_renewal(), woken by a cancel
    boost::asio::steady_timer timer_;
    double next_renewal_ = 0.0;
    double last_renewal_ = -1e9;
    double first_failure_ = -1.0;  // monotonic start of the current outage, -1: none
    bool fallback_ = false;
    bool stopped_ = false;
    std::uint64_t redis_errors_ = 0;
    std::uint64_t renewals_ = 0;
};

}  // namespace quillmar::proxy
