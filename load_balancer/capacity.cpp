// Capacity gate: per-mode effective caps, hybrid hysteresis, dispatch record
// and per-pool dispatch-rate windows.
#include "load_balancer/balancer.hpp"

#include "load_balancer/detail/table_at.hpp"
#include "load_balancer/settings.hpp"

#include <algorithm>
#include <limits>

namespace quillmar::lb {

namespace {

constexpr std::size_t kWindowBound = 4096;
constexpr double kMinWindowSec = 0.5;
constexpr double kMinSpanSec = 0.001;

// Drops stamps strictly older than `cutoff` from the front.
void trim(boost::circular_buffer<double>& win, double cutoff) noexcept {
    while (!win.empty() && win.front() < cutoff) win.pop_front();
}

double rate_cutoff(double now) noexcept { return now - std::max(kMinWindowSec, HYBRID_RATE_WINDOW_SEC); }

}  // namespace

std::int64_t LoadBalancer::superfast_cap(std::int64_t configured) const noexcept {
    return superfast_cap(configured, SUPERFAST_PER_SERVER_CAP);
}

bool LoadBalancer::hybrid_hot(const PoolKey* pool_key, std::int64_t pool_inflight, double pool_rate) {
    bool was_hot = false;
    if (pool_key != nullptr) {
        auto it = pool_hot_state_.find(*pool_key);
        was_hot = it != pool_hot_state_.end() && it->second;
    }
    const auto enter_inflight = static_cast<double>(HYBRID_INFLIGHT_THRESHOLD);
    const double enter_rate = HYBRID_RATE_THRESHOLD;
    const double exit_ratio = std::max(0.0, std::min(1.0, HYBRID_HOT_EXIT_RATIO));
    const double exit_inflight = enter_inflight * exit_ratio;
    const double exit_rate = enter_rate * exit_ratio;
    const auto inflight_now = static_cast<double>(pool_inflight);

    bool now_hot = was_hot ? (inflight_now > exit_inflight || pool_rate > exit_rate)
                           : (pool_inflight >= HYBRID_INFLIGHT_THRESHOLD || pool_rate >= enter_rate);
    if (pool_key != nullptr && now_hot != was_hot) pool_hot_state_[*pool_key] = now_hot;
    return now_hot;
}

std::int64_t LoadBalancer::effective_cap_for(const boost::json::object& server, std::int64_t pool_inflight,
                                             double pool_rate, const PoolKey* pool_key) {
    return cap_from(lookup(server, "max_concurrency"), pool_inflight, pool_rate, pool_key);
}

std::int64_t LoadBalancer::cap_from(const boost::json::value* max_concurrency, std::int64_t pool_inflight,
                                    double pool_rate, const PoolKey* pool_key) {
    // A cap beyond the integer range means "no practical limit": it
    // saturates rather than failing every request of the pool.
    const std::int64_t configured = saturating_int_or_zero(max_concurrency);
    switch (mode_) {
        case Mode::max_concurrency:
        case Mode::queue_all: return configured;
        case Mode::superfast: return superfast_cap(configured);
        case Mode::hybrid:
            return hybrid_hot(pool_key, pool_inflight, pool_rate) ? configured : superfast_cap(configured);
    }
    return configured;
}

std::int64_t LoadBalancer::effective_cap_for(const boost::json::object& server,
                                             std::optional<std::span<const ServerRecord>> pool_candidates,
                                             const PoolKey* pool_key) {
    const std::int64_t in_pool =
        pool_candidates ? pool_inflight(*pool_candidates) : get_inflight(server_id(server));
    const double rate = recent_dispatch_rate(pool_key);
    return effective_cap_for(server, in_pool, rate, pool_key);
}

std::int64_t LoadBalancer::pool_inflight(std::span<const ServerRecord> candidates) const {
    std::int64_t total = 0;
    for (const ServerRecord& rec : candidates) total += get_inflight(server_id(*rec));
    return total;
}

double LoadBalancer::recent_dispatch_rate(const PoolKey* pool_key) { return recent_dispatch_rate(pool_key, monotonic()); }

double LoadBalancer::recent_dispatch_rate(const PoolKey* pool_key, double now) {
    const double cutoff = rate_cutoff(now);
    if (pool_key != nullptr) {
        auto it = pool_dispatch_windows_.find(*pool_key);
        if (it == pool_dispatch_windows_.end() || it->second.empty()) return 0.0;
        boost::circular_buffer<double>& win = it.value();
        trim(win, cutoff);
        if (win.empty()) return 0.0;
        const double span = std::max(kMinSpanSec, now - win.front());
        return static_cast<double>(win.size()) / span;
    }
    std::size_t total = 0;
    double first_ts = std::numeric_limits<double>::infinity();
    for (auto it = pool_dispatch_windows_.begin(); it != pool_dispatch_windows_.end(); ++it) {
        boost::circular_buffer<double>& win = it.value();
        trim(win, cutoff);
        if (win.empty()) continue;
        total += win.size();
        first_ts = std::min(first_ts, win.front());
    }
    if (total == 0) return 0.0;
    const double span = std::max(kMinSpanSec, now - first_ts);
    return static_cast<double>(total) / span;
}

boost::circular_buffer<double>* LoadBalancer::trim_dispatch_window(const PoolKey& pool_key, double now) {
    auto it = detail::find_at(pool_dispatch_windows_, pool_key, pool_at_.window);
    if (it == pool_dispatch_windows_.end()) return nullptr;
    trim(it.value(), rate_cutoff(now));
    return &it.value();
}

bool LoadBalancer::under_capacity(const boost::json::object& server,
                                  std::optional<std::span<const ServerRecord>> pool_candidates,
                                  const PoolKey* pool_key) {
    const std::int64_t in_pool =
        pool_candidates ? pool_inflight(*pool_candidates) : get_inflight(server_id(server));
    const double rate = recent_dispatch_rate(pool_key);
    const std::int64_t cap = effective_cap_for(server, in_pool, rate, pool_key);
    // An unbounded server is under capacity without its id being read.
    if (cap <= 0) return true;
    return get_inflight(server_id(server)) < cap;
}

bool LoadBalancer::gate_allows(std::int64_t inflight, const boost::json::value* max_concurrency,
                               std::int64_t pool_inflight, double pool_rate, const PoolKey* pool_key) {
    const std::int64_t cap = cap_from(max_concurrency, pool_inflight, pool_rate, pool_key);
    return cap <= 0 || inflight < cap;
}

void LoadBalancer::record_dispatch(const PoolKey& pool_key, const boost::json::object& server) {
    record_dispatch(pool_key, server_id(server));
}

void LoadBalancer::record_dispatch(const PoolKey& pool_key, std::int64_t id) {
    record_dispatch(pool_key, id, monotonic());
}

void LoadBalancer::record_dispatch(const PoolKey& pool_key, std::int64_t id, double now) {
    record_dispatch(pool_key, id, now, {});
}

void LoadBalancer::record_dispatch(const PoolKey& pool_key, std::int64_t id, double now, DispatchHints hints) {
    std::uint32_t count_scratch = detail::kNoPosition, stamp_scratch = detail::kNoPosition;
    ++detail::entry_at(dispatch_counts, id, hints.count_at != nullptr ? *hints.count_at : count_scratch);
    detail::entry_at(last_dispatch_ts, id, hints.stamp_at != nullptr ? *hints.stamp_at : stamp_scratch) = wall_time();
    detail::entry_at(pool_last_access_, pool_key, pool_at_.last_access) = now;
    boost::circular_buffer<double>* win = hints.window;
    if (win == nullptr) {
        auto it = detail::find_at(pool_dispatch_windows_, pool_key, pool_at_.window);
        if (it == pool_dispatch_windows_.end())
            it = pool_dispatch_windows_.emplace(pool_key, boost::circular_buffer<double>(kWindowBound)).first;
        win = &it.value();
    }
    // A full circular buffer drops its oldest stamp on push_back.
    win->push_back(now);
}

}  // namespace quillmar::lb
