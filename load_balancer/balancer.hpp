// LoadBalancer: every piece of balancer state of the process and every
// balancer operation. The host creates one and calls it from its event-loop
// thread only; nothing here takes a thread lock.
//
// The road of one request: estimate_request_tokens(body) ->
// filter_by_fit(candidates, estimate) -> co_await select(pool, fitting, ...)
// -> on null, co_await wait_for_slot(...) when queue_enabled(), else refuse
// and note_reject("at_capacity") -> hold an InflightLease on the chosen
// server while the request runs.
#pragma once

#include "load_balancer/runtime.hpp"
#include "load_balancer/values.hpp"
#include "load_balancer/vocabulary.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/circular_buffer.hpp>
#include <boost/container/small_vector.hpp>
#include <boost/json/object.hpp>
#include <tsl/ordered_map.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::lb {

namespace detail {

// One parked request. Shared by the request itself, the queue of every
// backend it waits on, and the balancer's list of all waiters; found and
// removed by identity (pointer).
struct Waiter {
    // A few candidates and their ids fit inline: a small pool parks with one
    // allocation for the whole waiter.
    using Records = boost::container::small_vector<ServerRecord, 4>;
    using Ids = boost::container::small_vector<std::int64_t, 4>;

    PoolKey pool_key;
    Records candidates;  // the wait set, the caller's records
    std::int64_t estimated_tokens = 0;
    Future<ServerRecord> future;
    double queued_at = 0.0;         // monotonic seconds
    double boost_after_sec = 0.0;   // 0 or less: never boosted
    // One-call admission: admitting raises the server's count at once, so
    // the slot cannot be handed out again before the waiter resumes.
    bool reserve_slot = false;
    // The server whose slot was granted, until the request takes it: a
    // request that goes away in between passes the slot on (and, with
    // `reserve_slot`, gives back the unit raised for it).
    std::optional<std::int64_t> granted_server = std::nullopt;
    // The candidates' ids, read once when parking (the records are immutable
    // and held here, so they cannot change); empty for a waiter built
    // without them, whose ids are then read through the record cache.
    Ids ids = {};

    bool is_boosted(double now) const noexcept {
        return boost_after_sec > 0.0 && now - queued_at >= boost_after_sec;
    }
};

}  // namespace detail

// Transparent string hash: reason lookups by string_view without a copy.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Options of select(). Designated-initializer friendly:
//   co_await lb.select(pool, servers, {.algorithm = "least_connections"});
struct SelectOptions {
    std::int64_t estimated_tokens = 0;                 // accepted, takes no part in the choice
    std::optional<std::int64_t> force_server_id = {};  // pin: that server or nothing
    std::span<const std::int64_t> sin_binned = {};     // server ids never chosen (except by a pin)
    std::string_view algorithm = {};                   // empty: the default algorithm
    std::string_view sticky_key = {};                  // empty: no sticky key
};

// Result of wait_for_slot(). `server` is one of the caller's own records on
// "ok" and null otherwise. `reason` points to static storage.
struct WaitResult {
    ServerRecord server;
    std::string_view reason;
    double seconds = 0.0;
};

class LoadBalancer {
public:
    // Insertion-ordered tables; entries live in a vector, which indexes
    // faster than the default deque (lookups are the hot path; erasing keeps
    // the order and costs a shift either way). No caller keeps a reference to
    // an entry across an insertion into the same table.
    template <class V>
    using IdTable = tsl::ordered_map<std::int64_t, V, std::hash<std::int64_t>, std::equal_to<std::int64_t>,
                                     std::allocator<std::pair<std::int64_t, V>>,
                                     std::vector<std::pair<std::int64_t, V>>>;
    template <class V>
    using PoolTable = tsl::ordered_map<PoolKey, V, PoolKeyHash, std::equal_to<PoolKey>,
                                       std::allocator<std::pair<PoolKey, V>>, std::vector<std::pair<PoolKey, V>>>;
    using WaiterPtr = std::shared_ptr<detail::Waiter>;

    // Starts in "superfast" with every table empty.
    LoadBalancer();
    // Ends every parked wait: each resumes through its own loop with the
    // cancellation error and touches nothing of the balancer. Leases that
    // outlive it give nothing back. So a host may declare its io_context
    // before or after the balancer: request coroutines the loop destroys
    // later find it gone and leave it alone.
    ~LoadBalancer();
    LoadBalancer(const LoadBalancer&) = delete;
    LoadBalancer& operator=(const LoadBalancer&) = delete;

    // ---- Routing mode -------------------------------------------------------
    // Normalises `mode` (anything unrecognised means "superfast"), logs
    // "Routing mode: %s -> %s" at info level when it changes, and returns the
    // mode now active. Changes nothing else. Never throws.
    std::string_view set_routing_mode(const boost::json::value& mode);
    std::string_view set_routing_mode(std::string_view mode);
    std::string_view set_routing_mode(const char* mode);
    std::string_view get_routing_mode() const noexcept { return routing_mode_; }
    // Mode-dependent queue parameters; read the settings at each call.
    bool queue_enabled() const noexcept;
    double queue_ttl_sec() const noexcept;
    std::int64_t queue_depth_multiplier() const noexcept;

    // ---- In-flight accounting ------------------------------------------------
    // A lookup is O(1); removing an entry keeps the table's order and so
    // shifts the entries after it. A decrement that admits a parked request
    // also sorts that server's queue.
    // Adds one to the server's count; returns the new count. Wakes nobody.
    std::int64_t increment(std::int64_t server_id);
    // Takes one from the count (never below 0; an entry falling to 0 is
    // removed, an absent one is created at 0), then offers the server's slot
    // to its best parked request. Returns the new count. Throws only what the
    // capacity gate throws for a malformed waiter record.
    std::int64_t decrement(std::int64_t server_id);
    std::int64_t get_inflight(std::int64_t server_id) const noexcept;
    // Offers free slots to parked requests after capacity rose by other means
    // than a lease's end (set_routing_mode, a raised setting, records with a
    // higher cap), which wake nobody themselves: on every backend with
    // parked requests, admits them in wake order while the gate lets them
    // in. Returns how many were admitted. Sorts each such backend's queue
    // once per admission. Throws what decrement throws.
    std::size_t offer_free_slots();
    // Gives parked requests the host's records of now, after it replaced
    // them (a reload that raised a cap or moved a backend): a parked request
    // keeps the records it was parked with, so without this a raised cap
    // serves new requests while older ones wait on the old one. Each
    // candidate for which `current(pool_key, server_id)` returns a record
    // with that same id is replaced by it (anything else leaves the
    // candidate as it was), then free slots are offered as by
    // offer_free_slots(). One call of `current` per candidate of each
    // parked request. Returns how many were admitted. Throws what
    // offer_free_slots throws, and what `current` throws.
    using CurrentRecord = std::function<ServerRecord(const PoolKey& pool_key, std::int64_t server_id)>;
    std::size_t refresh_waiters(const CurrentRecord& current);
    // Drops the server's count outright and logs
    // "Force-cleared inflight=%d for server %s" at warning level when it had
    // an entry. Wakes nobody.
    void force_clear(std::int64_t server_id);

    // ---- Capacity gate ------------------------------------------------------
    // The effective in-flight cap of `server` under the current mode (0 or
    // less: unbounded). `pool_candidates` is the pool scope for the pool
    // in-flight sum (the server alone when absent); `pool_key` the pool for
    // the hybrid state and dispatch rate (none when null). Trims dispatch
    // windows and may flip a hybrid pool's hot state. Throws KeyError /
    // ValueError for a record without "id" or an unusable "max_concurrency".
    std::int64_t effective_cap_for(const boost::json::object& server,
                                   std::optional<std::span<const ServerRecord>> pool_candidates = std::nullopt,
                                   const PoolKey* pool_key = nullptr);

    // ---- Selection ----------------------------------------------------------
    // The backend that takes the request now, or null when none can (empty
    // candidates, an unmatched pin, nobody eligible). Applies the pin, the
    // drain rule, the sin-bin and the capacity gate, then the algorithm, and
    // records the dispatch. Returns one of the caller's own records. Linear in
    // the candidates; suspends only while another coroutine holds the pool's
    // round-robin lock. Throws KeyError / ValueError for malformed records.
    // The returned server's count is NOT raised: if the caller suspends
    // before it enters a lease, another request can be given the same slot.
    // admit() (admission.hpp) does select, wait and lease in one call.
    boost::asio::awaitable<ServerRecord> select(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                                                SelectOptions options = {});
    // select() as a plain call, for a caller to whom a coroutine frame costs
    // more than the decision: the same record (or null) with the dispatch
    // recorded, or std::nullopt, with nothing recorded, when another
    // coroutine holds the pool's round-robin lock (then await select()).
    // Throws as select() does.
    std::optional<ServerRecord> select_now(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                                           const SelectOptions& options = {});
    // The candidates whose "max_input_tokens" (0: unlimited) holds the
    // estimate, limited ones first by ascending limit, then by id. A
    // non-positive estimate keeps all. O(n log n); throws ValueError for an
    // unusable limit and KeyError for a record without "id".
    std::vector<ServerRecord> filter_by_fit(std::span<const ServerRecord> candidates,
                                            std::int64_t estimated_tokens) const;

    // ---- Waiter queue -------------------------------------------------------
    // Parks the request on every eligible backend until a slot frees:
    // ("ok", record, seconds waited) on admission; (null, "queue_disabled"),
    // (null, "no_backends"), (null, "queue_full") at once; (null,
    // "queue_timeout", seconds) when the mode's wait limit passes. The last
    // three are counted. Cancellation of the awaiting coroutine removes the
    // waiter and propagates the cancellation error. Admission does not raise
    // the in-flight count: hold an InflightLease on the returned server (or
    // use admit(), in admission.hpp, which closes that gap).
    boost::asio::awaitable<WaitResult> wait_for_slot(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                                                     std::int64_t estimated_tokens,
                                                     std::span<const std::int64_t> sin_binned = {}) {
        return park(pool_key, candidates, estimated_tokens, sin_binned, false);
    }

    // ---- Reports ------------------------------------------------------------
    // Counts a refusal decided by the host under `reason` (any string).
    void note_reject(std::string_view reason);
    // The whole balancer state as JSON (evicts idle pools and trims dispatch
    // windows first). Cost linear in backends, pools and wait samples.
    boost::json::object snapshot();
    // The metrics in Prometheus text exposition format. Read-only; linear in
    // backends, reasons and wait samples.
    std::string prometheus_text() const;

    // ---- Public state (read by the host) ------------------------------------
    IdTable<std::int64_t> inflight;  // server id -> requests in flight

private:
    PoolTable<IdTable<double>> wrr_;  // current weights per pool
    PoolTable<std::unique_ptr<AsyncLock>> locks_;
    PoolTable<double> pool_last_access_;
    // Per backend, its parked requests in arrival order. A few fit inline:
    // parking on an idle queue allocates nothing for the queue itself.
    IdTable<boost::container::small_vector<WaiterPtr, 2>> waiters_;
    std::vector<WaiterPtr> all_waiters_;
    // Expires with the balancer: a parked request or a lease that outlives
    // it sees that and does not touch it.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);

public:
    IdTable<std::int64_t> dispatch_counts;  // server id -> dispatches
    IdTable<double> last_dispatch_ts;       // server id -> wall-clock seconds
    tsl::ordered_map<std::string, std::int64_t, StringHash, std::equal_to<>> reject_counts;  // reason -> count
    boost::circular_buffer<double> queue_wait_samples{512};     // seconds, oldest first
    // Every wait ever observed, for the summary's _count and _sum: the window
    // above forgets, and a counter that stops growing breaks rate().
    std::int64_t queue_waits_observed = 0;
    double queue_wait_seconds_total = 0.0;

private:
    // The active mode, as its name (always one of the mode constants) and as
    // a tag for the per-candidate tests, which must not compare strings.
    enum class Mode : std::uint8_t { superfast, hybrid, max_concurrency, queue_all };
    std::string_view routing_mode_;
    Mode mode_ = Mode::superfast;
    PoolTable<boost::circular_buffer<double>> pool_dispatch_windows_;
    PoolTable<bool> pool_hot_state_;
    // Where the last pool decided on was found in each per-pool table
    // (detail/table_at.hpp): consecutive decisions mostly share a pool.
    struct PoolPositions {
        std::uint32_t wrr = UINT32_MAX, lock = UINT32_MAX, last_access = UINT32_MAX, window = UINT32_MAX;
    };
    PoolPositions pool_at_;

    friend struct LoadBalancerTestPeer;
    friend class InflightLease;
    friend struct AdmitAccess;

    // Capacity gate
    std::int64_t superfast_cap(std::int64_t configured) const noexcept;
    // The "superfast" cap of a configured one under the setting `clamp`.
    static std::int64_t superfast_cap(std::int64_t configured, std::int64_t clamp) noexcept {
        if (configured <= 0) return clamp > 1 ? clamp : 1;
        const std::int64_t cap = configured < clamp ? configured : clamp;
        return cap > 1 ? cap : 1;
    }
    bool hybrid_hot(const PoolKey* pool_key, std::int64_t pool_inflight, double pool_rate);
    std::int64_t effective_cap_for(const boost::json::object& server, std::int64_t pool_inflight, double pool_rate,
                                   const PoolKey* pool_key);
    std::int64_t cap_from(const boost::json::value* max_concurrency, std::int64_t pool_inflight, double pool_rate,
                          const PoolKey* pool_key);
    std::int64_t pool_inflight(std::span<const ServerRecord> candidates) const;
    double recent_dispatch_rate(const PoolKey* pool_key = nullptr);
    double recent_dispatch_rate(const PoolKey* pool_key, double now);  // `now`: monotonic() already read
    // The trimming of the rate read alone; returns the pool's window (valid
    // until the window table changes), nullptr when the pool has none.
    boost::circular_buffer<double>* trim_dispatch_window(const PoolKey& pool_key, double now);
    bool under_capacity(const boost::json::object& server, std::optional<std::span<const ServerRecord>> pool_candidates,
                        const PoolKey* pool_key);
    // The gate's last steps with the pool in-flight sum and the rate known
    // (select reads the record once and computes the sum once per call).
    bool gate_allows(std::int64_t inflight, const boost::json::value* max_concurrency, std::int64_t pool_inflight,
                     double pool_rate, const PoolKey* pool_key);
    void record_dispatch(const PoolKey& pool_key, const boost::json::object& server);
    void record_dispatch(const PoolKey& pool_key, std::int64_t id);
    void record_dispatch(const PoolKey& pool_key, std::int64_t id, double now);
    // Where record_dispatch may find its entries without a lookup. The
    // positions are hints, checked against the entry's key before use (and
    // updated); `window` is the pool's window, found since the window table
    // last changed, or nullptr to look it up.
    struct DispatchHints {
        std::uint32_t* count_at = nullptr;
        std::uint32_t* stamp_at = nullptr;
        boost::circular_buffer<double>* window = nullptr;
    };
    void record_dispatch(const PoolKey& pool_key, std::int64_t id, double now, DispatchHints hints);

    // Selection
    AsyncLock& lock_for(const PoolKey& pool_key);
    void evict_stale_pools();
    // A candidate as the picks see it: the record by address (no
    // shared-pointer copies on the hot path), its id and its looked-up weight,
    // with that weight already converted when the record's view had it
    // (kUnconverted when not: the picks convert it themselves, and a NaN
    // that the conversion itself gives converts to the same NaN again).
    // Trivially constructible, so that a candidate list can be sized without
    // writing it: every member is given where a candidate is made.
    struct Candidate {
        static constexpr double kUnconverted = std::numeric_limits<double>::quiet_NaN();
        const ServerRecord* rec;
        std::int64_t id;
        const boost::json::value* weight;
        std::int64_t inflight;  // no count changes while select decides
        double converted;
        // float_or(weight, 1.0): `converted`, or the conversion (which may
        // raise ValueError) when there is none.
        double weight_value() const { return converted == converted ? converted : float_or(weight, 1.0); }
    };
    using Candidates = std::span<const Candidate>;
    // What select decides without suspending: the recorded winner, or, when
    // the pool's round-robin lock is taken, the eligible candidates to pick
    // from once it is free; neither when nobody can take the request.
    struct Decision {
        const ServerRecord* winner = nullptr;
        std::vector<Candidate> lock_wait;
    };
    Decision decide(const PoolKey& pool_key, std::span<const ServerRecord> candidates, const SelectOptions& options);
    // The candidates that pass the drain rule, the sin-bin and the gate, in
    // order, into `eligible` (a vector of Candidate). gather_plain takes the
    // common case in one pass and returns false for a mode or a record it
    // leaves to gather_checked, which applies every rule in its order.
    // gather_plain sets `window` to the pool's dispatch window when it
    // trimmed one (see trim_dispatch_window), else leaves it.
    template <class Out>
    bool gather_plain(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                      std::span<const std::int64_t> sin_binned, double now, Out& eligible,
                      boost::circular_buffer<double>*& window);
    template <class Out>
    void gather_checked(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                        std::span<const std::int64_t> sin_binned, double now, Out& eligible);
    boost::asio::awaitable<ServerRecord> wrr_pick(const PoolKey& pool_key, Candidates eligible);
    // The picks return the winning candidate (its record and id). The
    // round-robin pick itself; the caller stamps the pool's last access.
    const Candidate& wrr_pick_locked(const PoolKey& pool_key, Candidates eligible);
    static const Candidate* wrr_pick_in_step(IdTable<double>& state, Candidates eligible);
    const Candidate& least_connections_pick(Candidates eligible) const;
    const Candidate* sticky_lookup(Candidates eligible, std::string_view sticky_key) const;

    // Waiter queue. park() is wait_for_slot(); with `reserve_slot` the
    // admission raises the chosen server's count before the waiter resumes.
    boost::asio::awaitable<WaitResult> park(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                                            std::int64_t estimated_tokens, std::span<const std::int64_t> sin_binned,
                                            bool reserve_slot);
    std::int64_t queue_capacity_for_pool(std::span<const ServerRecord> candidates) const;
    // under_capacity for the waiter's candidate `index`, its candidates as the pool.
    bool waiter_under_capacity(const detail::Waiter& waiter, std::size_t index);
    void try_admit(const WaiterPtr& waiter);
    // Admits the best parked request of the server that the gate lets in;
    // returns it, or null when nobody was admitted.
    WaiterPtr wake_one(std::int64_t server_id);
    // decrement()'s table step, waking nobody.
    std::int64_t drop_unit(std::int64_t server_id);
    void fulfill(const WaiterPtr& waiter, const ServerRecord& server);
    // The same for the waiter's candidate `index`, whose id was read already;
    // `now` (monotonic) stamps the dispatch.
    void fulfill(const WaiterPtr& waiter, std::size_t index, double now);
    // fulfill's steps once the waiter has left the queues.
    void grant(detail::Waiter& waiter, const ServerRecord& server, std::int64_t id, double now);
    void remove_waiter(const WaiterPtr& waiter);
    // A parked request that ends without taking its admission: off every
    // queue, and a slot granted to it goes to the next waiter.
    void abandon(const WaiterPtr& waiter);
    struct ParkExit;  // runs abandon() on every way out of park() but admission

    // Reports
    void bump_reject(std::string_view reason);
    void observe_queue_wait(double seconds);
};

// The sticky score of a server for a key: BLAKE2b with an 8-byte digest of
// "<key>|<id>", read big-endian. Exposed for hosts that want to predict
// placement, and for tests.
std::uint64_t sticky_score(std::string_view sticky_key, std::int64_t server_id) noexcept;

}  // namespace quillmar::lb
