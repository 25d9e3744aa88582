// Waiter queue: parking a request on every eligible backend of its pool,
// admitting it when a slot frees, in the routing mode's wake order.
#include "load_balancer/balancer.hpp"

#include "load_balancer/detail/record_view.hpp"
#include "load_balancer/drain.hpp"
#include "load_balancer/log.hpp"
#include "load_balancer/settings.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/container/small_vector.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace quillmar::lb {

namespace {

constexpr std::string_view kOk = "ok";
constexpr std::string_view kQueueDisabled = "queue_disabled";

std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t out;
    if (__builtin_add_overflow(a, b, &out))
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return out;
}

std::int64_t saturating_mul(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t out;
    if (__builtin_mul_overflow(a, b, &out)) return std::numeric_limits<std::int64_t>::max();
    return out;
}

// The id of the waiter's candidate `i`.
std::int64_t candidate_id(const detail::Waiter& w, std::size_t i) {
    return i < w.ids.size() ? w.ids[i] : detail::cached_server_id(w.candidates[i]);
}

}  // namespace

std::int64_t LoadBalancer::queue_capacity_for_pool(std::span<const ServerRecord> candidates) const {
    std::int64_t total_cap = 0;
    // A cap too large for an integer saturates as it does in the gate.
    for (const ServerRecord& rec : candidates)
        total_cap = saturating_add(total_cap, saturating_int_or_zero(detail::record_view(rec).fields.max_concurrency));
    if (total_cap <= 0) return 0;
    return saturating_mul(total_cap, std::max<std::int64_t>(1, queue_depth_multiplier()));
}

// Every way out of park() but admission and the queue timeout (a throw, a
// cancellation, the loop destroying the suspended frame at its shutdown)
// runs abandon(): a waiter nobody waits for must not stay queued, counted in
// the depth, or keep a slot granted to it. A balancer that is gone is left
// alone. A destructor cannot throw: a failing hand-on is logged.
struct LoadBalancer::ParkExit {
    LoadBalancer* lb;
    WaiterPtr waiter;
    std::weak_ptr<const bool> alive;
    bool settled = false;

    ParkExit(LoadBalancer* owner, WaiterPtr parked, std::weak_ptr<const bool> life) noexcept
        : lb(owner), waiter(std::move(parked)), alive(std::move(life)) {}
    ParkExit(const ParkExit&) = delete;
    ParkExit& operator=(const ParkExit&) = delete;
    ~ParkExit() {
        if (settled || alive.expired()) return;
        try {
            lb->abandon(waiter);
        } catch (const std::exception& e) {
            logger()->warn(fmt::format("passing on a parked request's slot failed: {}", e.what()));
        } catch (...) {
            logger()->warn("passing on a parked request's slot failed");
        }
    }
    bool orphaned() const noexcept { return alive.expired(); }
    // Timed out: nothing was granted, the waiter only leaves the queues.
    void leave() {
        settled = true;
        lb->remove_waiter(waiter);
    }
    // Admitted: the waiter left the queues at the grant; the slot is the caller's.
    void admitted() noexcept {
        settled = true;
        waiter->granted_server.reset();
    }
};

// At -O3, g++ 12 inlines the move of the waiter's inline id list into this
// coroutine and warns that its copy may read past the inline storage: it
// cannot see that a list held inline is never longer than that storage.
// (clang has no such warning, and refuses to ignore one it does not know.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overread"
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
boost::asio::awaitable<WaitResult> LoadBalancer::park(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                                                      std::int64_t estimated_tokens,
                                                      std::span<const std::int64_t> sin_binned, bool reserve_slot) {
    if (!queue_enabled()) co_return WaitResult{nullptr, kQueueDisabled, 0.0};

    detail::Waiter::Records wait_set;
    detail::keep_effective(
        candidates, wait_set, [](const ServerRecord& rec) { return rec; },
        [](const ServerRecord& rec) { return detail::record_view(rec).fields.weight; });
    // Each id is read once, in order, and kept for the queues.
    detail::Waiter::Ids ids;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < wait_set.size(); ++i) {
        const std::int64_t id = detail::cached_server_id(wait_set[i]);
        if (detail::contains(sin_binned, id)) continue;
        if (kept != i) wait_set[kept] = std::move(wait_set[i]);
        ++kept;
        ids.push_back(id);
    }
    wait_set.erase(wait_set.begin() + static_cast<std::ptrdiff_t>(kept), wait_set.end());
    if (wait_set.empty()) {
        bump_reject(RejectReason::NO_BACKENDS);
        co_return WaitResult{nullptr, RejectReason::NO_BACKENDS, 0.0};
    }

    const std::int64_t max_depth = queue_capacity_for_pool({wait_set.data(), wait_set.size()});
    if (max_depth > 0 && static_cast<std::int64_t>(all_waiters_.size()) >= max_depth) {
        bump_reject(RejectReason::QUEUE_FULL);
        co_return WaitResult{nullptr, RejectReason::QUEUE_FULL, 0.0};
    }

    // No co_await inside the initialiser below: the waiter is built in one
    // plain expression (g++ 12 mishandles temporaries across co_await).
    const boost::asio::any_io_executor executor = co_await boost::asio::this_coro::executor;
    const double boost = mode_ == Mode::queue_all ? 0.0 : QUEUE_DEADLINE_BOOST_SEC;
    auto waiter = std::make_shared<detail::Waiter>(detail::Waiter{pool_key, std::move(wait_set), estimated_tokens,
                                                                  Future<ServerRecord>(executor), monotonic(), boost,
                                                                  reserve_slot, std::nullopt, std::move(ids)});
    for (const std::int64_t id : waiter->ids) waiters_[id].push_back(waiter);
    all_waiters_.push_back(waiter);

    ParkExit ending(this, waiter, alive_);
    ServerRecord server;
    try {
        try_admit(waiter);
        // wait_for(waiter->future, ttl), inline: no coroutine frame of its own.
        Future<ServerRecord>::Wait wait(waiter->future, queue_ttl_sec());
        if (wait.ready()) {
            server = wait.take();
        } else {
            co_await wait.suspend();
            const boost::asio::cancellation_state cs = co_await boost::asio::this_coro::cancellation_state;
            if (ending.orphaned()) throw_cancelled();  // `this` is gone
            server = wait.resume(cs.cancelled());
        }
    } catch (const TimeoutError&) {
        ending.leave();
        bump_reject(RejectReason::QUEUE_TIMEOUT);
        co_return WaitResult{nullptr, RejectReason::QUEUE_TIMEOUT, monotonic() - waiter->queued_at};
    }
    ending.admitted();
    const double waited = monotonic() - waiter->queued_at;
    observe_queue_wait(waited);
    co_return WaitResult{std::move(server), kOk, waited};
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// under_capacity for a parked request's record, with the ids read when it
// parked and the cap read through the record cache: the same reads in the
// same order, none of which can fail any more once the ids were read.
// Only the hybrid mode's cap depends on the pool's load: the other modes
// skip summing it once every id is known. The rate is read in every mode,
// since reading it trims the pool's stale dispatch stamps, as every
// capacity test does.
bool LoadBalancer::waiter_under_capacity(const detail::Waiter& waiter, std::size_t index) {
    std::int64_t in_pool = 0;
    if (mode_ == Mode::hybrid || waiter.ids.size() != waiter.candidates.size()) {
        for (std::size_t i = 0; i < waiter.candidates.size(); ++i) in_pool += get_inflight(candidate_id(waiter, i));
    }
    const double rate = recent_dispatch_rate(&waiter.pool_key);
    const std::int64_t cap = cap_from(detail::record_view(waiter.candidates[index]).fields.max_concurrency, in_pool,
                                      rate, &waiter.pool_key);
    if (cap <= 0) return true;  // an unbounded server is under capacity without its id being read
    return get_inflight(candidate_id(waiter, index)) < cap;
}

void LoadBalancer::try_admit(const WaiterPtr& waiter) {
    if (waiter->future.done()) return;
    for (std::size_t i = 0; i < waiter->candidates.size(); ++i) {
        if (waiter_under_capacity(*waiter, i)) {
            fulfill(waiter, i, monotonic());
            return;
        }
    }
}

LoadBalancer::WaiterPtr LoadBalancer::wake_one(std::int64_t server_id_) {
    auto q = waiters_.find(server_id_);
    if (q == waiters_.end() || q->second.empty()) return nullptr;

    struct Ranked {
        int group;       // 0: boosted, 1: the rest
        double queued_at;
        std::int64_t tokens;
        WaiterPtr waiter;  // owned: admission removes it from the queue we walked
    };
    boost::container::small_vector<Ranked, 16> ranked;
    const bool fifo = mode_ == Mode::queue_all;
    const double now = monotonic();  // ranks the waiters and stamps the dispatch
    for (const WaiterPtr& w : q->second) {
        if (w->future.done()) continue;
        ranked.push_back({fifo || !w->is_boosted(now) ? 1 : 0, w->queued_at, w->estimated_tokens, w});
    }
    if (ranked.empty()) {
        waiters_.erase(q);
        return nullptr;
    }
    // A lone waiter needs no order (stable_sort would still take a buffer).
    if (ranked.size() > 1 && fifo) {
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const Ranked& a, const Ranked& b) { return a.queued_at < b.queued_at; });
    } else if (ranked.size() > 1) {
        // Boosted waiters first, oldest first; then the smallest requests.
        std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
            if (a.group != b.group) return a.group < b.group;
            return a.group == 0 ? a.queued_at < b.queued_at : a.tokens < b.tokens;
        });
    }
    for (Ranked& r : ranked) {
        for (std::size_t i = 0; i < r.waiter->candidates.size(); ++i) {
            if (candidate_id(*r.waiter, i) != server_id_) continue;
            if (waiter_under_capacity(*r.waiter, i)) {
                fulfill(r.waiter, i, now);
                return std::move(r.waiter);
            }
        }
    }
    return nullptr;
}

std::size_t LoadBalancer::offer_free_slots() {
    std::vector<std::int64_t> ids;
    ids.reserve(waiters_.size());
    for (const auto& entry : waiters_) ids.push_back(entry.first);
    std::size_t admitted = 0;
    for (const std::int64_t id : ids) {
        // A request parked by wait_for_slot takes its slot only when it
        // enters its lease: a unit is held for it meanwhile, or the gate
        // would let every waiter in through the same free slot.
        std::int64_t held = 0;
        try {
            while (const WaiterPtr w = wake_one(id)) {
                ++admitted;
                if (!w->reserve_slot) {
                    increment(id);
                    ++held;
                }
            }
        } catch (...) {
            for (; held > 0; --held) drop_unit(id);
            throw;
        }
        for (; held > 0; --held) drop_unit(id);
    }
    return admitted;
}

std::size_t LoadBalancer::refresh_waiters(const CurrentRecord& current) {
    for (const WaiterPtr& w : all_waiters_) {
        if (w->future.done()) continue;
        for (std::size_t i = 0; i < w->candidates.size(); ++i) {
            const std::int64_t id = candidate_id(*w, i);
            ServerRecord rec = current(w->pool_key, id);
            if (!rec || rec == w->candidates[i]) continue;
            // The queues a waiter sits in are its candidates' ids: a record
            // of another server (or of none) would leave it in the wrong one.
            try {
                if (detail::cached_server_id(rec) != id) continue;
            } catch (const std::exception&) {
                continue;
            }
            w->candidates[i] = std::move(rec);
        }
    }
    return offer_free_slots();
}

void LoadBalancer::fulfill(const WaiterPtr& waiter, const ServerRecord& server) {
    if (waiter->future.done()) return;
    remove_waiter(waiter);
    grant(*waiter, server, detail::cached_server_id(server), monotonic());
}

void LoadBalancer::fulfill(const WaiterPtr& waiter, std::size_t index, double now) {
    if (waiter->future.done()) return;
    const std::int64_t id = candidate_id(*waiter, index);
    remove_waiter(waiter);
    grant(*waiter, waiter->candidates[index], id, now);
}

void LoadBalancer::grant(detail::Waiter& waiter, const ServerRecord& server, std::int64_t id, double now) {
    record_dispatch(waiter.pool_key, id, now);
    if (waiter.reserve_slot) increment(id);
    waiter.granted_server = id;
    waiter.future.set_result(server);
}

void LoadBalancer::remove_waiter(const WaiterPtr& waiter) {
    for (std::size_t i = 0; i < waiter->candidates.size(); ++i) {
        auto q = waiters_.find(candidate_id(*waiter, i));
        if (q == waiters_.end()) continue;
        auto& dq = q.value();
        auto pos = std::find(dq.begin(), dq.end(), waiter);
        if (pos != dq.end()) dq.erase(pos);
        if (dq.empty()) waiters_.erase(q);
    }
    auto pos = std::find(all_waiters_.begin(), all_waiters_.end(), waiter);
    if (pos != all_waiters_.end()) all_waiters_.erase(pos);
}

void LoadBalancer::abandon(const WaiterPtr& waiter) {
    remove_waiter(waiter);
    const std::optional<std::int64_t> id = std::exchange(waiter->granted_server, std::nullopt);
    if (!id) return;
    // Its request went away between the grant and resuming (a cancellation
    // in the same tick): without this the freed slot would sit unused while
    // others wait for it.
    if (waiter->reserve_slot) {
        decrement(*id);  // gives back the unit raised at the grant, which offers the slot
    } else {
        wake_one(*id);
    }
}

}  // namespace quillmar::lb
