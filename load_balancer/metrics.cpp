// Rejection counters, the state snapshot and the Prometheus exposition.
#include "load_balancer/balancer.hpp"

#include "load_balancer/settings.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace quillmar::lb {

namespace {

// Decimal rounding to 3 places of the exact binary value, ties to even:
// 0.0625 -> 0.062, 2.0005 (stored just above the tie) -> 2.001.
double round3(double x) noexcept {
    if (!std::isfinite(x)) return x;
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 3);
    if (ec != std::errc{}) return x;
    double out = x;
    std::from_chars(buf, end, out);
    return out;
}

struct WaitQuantiles {
    double p50 = 0.0;
    double p95 = 0.0;  // only defined from 20 samples on
    bool has_p95 = false;
    double max = 0.0;
};

WaitQuantiles wait_quantiles(const boost::circular_buffer<double>& samples) {
    WaitQuantiles q;
    if (samples.empty()) return q;
    std::vector<double> sorted(samples.begin(), samples.end());
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    q.p50 = sorted[n / 2];
    q.max = sorted.back();
    if (n >= 20) {
        q.has_p95 = true;
        q.p95 = sorted[static_cast<std::size_t>(static_cast<double>(n) * 0.95)];
    }
    return q;
}

void append_int(std::string& out, std::int64_t v) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, end);
}

void append_fixed4(std::string& out, double v) {
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    if (ec == std::errc{}) {
        out.append(buf, end);
    } else {
        out += "NaN";
    }
}

// The shortest text that reads back as the same double; NaN and the
// infinities in the exposition's own spelling.
void append_shortest(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
    } else if (std::isinf(v)) {
        out += v > 0 ? "+Inf" : "-Inf";
    } else {
        char buf[32];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, end);
    }
}

// Label values escaped as the text format requires, so that a reason
// holding a quote, a backslash or a line feed cannot break the exposition
// (a scraper would otherwise drop every metric of the process).
void append_label_value(std::string& out, std::string_view v) {
    for (char c : v) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            default: out.push_back(c);
        }
    }
}

template <class Table>
void append_id_series(std::string& out, std::string_view metric, const Table& table) {
    for (const auto& [id, value] : table) {
        out += metric;
        out += "{server_id=\"";
        append_int(out, id);
        out += "\"} ";
        append_int(out, value);
        out.push_back('\n');
    }
}

template <class Table>
boost::json::object id_table_json(const Table& table) {
    boost::json::object out;
    out.reserve(table.size());
    char buf[24];
    for (const auto& [id, value] : table) {
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, id);
        out[std::string_view(buf, static_cast<std::size_t>(end - buf))] = value;
    }
    return out;
}

}  // namespace

void LoadBalancer::observe_queue_wait(double seconds) {
    queue_wait_samples.push_back(seconds);
    ++queue_waits_observed;
    queue_wait_seconds_total += seconds;
}

void LoadBalancer::note_reject(std::string_view reason) { bump_reject(reason); }

void LoadBalancer::bump_reject(std::string_view reason) {
    auto it = reject_counts.find(reason);
    if (it == reject_counts.end()) {
        reject_counts.emplace(std::string(reason), 1);
    } else {
        ++it.value();
    }
}

boost::json::object LoadBalancer::snapshot() {
    evict_stale_pools();
    const WaitQuantiles q = wait_quantiles(queue_wait_samples);

    boost::json::object out;
    out["routing_mode"] = routing_mode_;
    out["dispatch_rate_per_sec"] = round3(recent_dispatch_rate(nullptr));
    out["superfast_cap"] = SUPERFAST_PER_SERVER_CAP;
    out["hybrid_inflight_threshold"] = HYBRID_INFLIGHT_THRESHOLD;
    out["hybrid_rate_threshold"] = HYBRID_RATE_THRESHOLD;
    out["hybrid_hot_exit_ratio"] = HYBRID_HOT_EXIT_RATIO;
    out["queue_enabled"] = queue_enabled();
    out["queue_ttl_sec"] = queue_ttl_sec();
    out["queue_depth_multiplier"] = queue_depth_multiplier();
    out["queue_deadline_boost_sec"] = QUEUE_DEADLINE_BOOST_SEC;
    out["pool_lru_ttl_sec"] = POOL_LRU_TTL_SEC;
    out["inflight"] = id_table_json(inflight);
    out["dispatch_counts"] = id_table_json(dispatch_counts);
    boost::json::object rejects;
    for (const auto& [reason, count] : reject_counts) rejects[reason] = count;
    out["reject_counts"] = std::move(rejects);
    out["queue_total_waiters"] = static_cast<std::int64_t>(all_waiters_.size());
    out["queue_wait_p50_sec"] = q.p50;
    out["queue_wait_p95_sec"] = q.has_p95 ? q.p95 : 0.0;

    boost::json::object pools;
    const bool hybrid = mode_ == Mode::hybrid;
    for (auto it = wrr_.begin(); it != wrr_.end(); ++it) {
        const PoolKey& key = it->first;
        boost::json::object pool;
        pool["wrr_current"] = id_table_json(it->second);
        auto last = pool_last_access_.find(key);
        pool["idle_seconds"] = monotonic() - (last == pool_last_access_.end() ? 0.0 : last->second);
        std::int64_t total = 0;
        for (const auto& [id, weight] : it->second) total += get_inflight(id);
        pool["inflight_total"] = total;
        pool["dispatch_rate_per_sec"] = round3(recent_dispatch_rate(&key));
        if (hybrid) {
            auto hot = pool_hot_state_.find(key);
            pool["hybrid_hot"] = hot != pool_hot_state_.end() && hot->second;
        } else {
            pool["hybrid_hot"] = nullptr;
        }
        pools[pool_label(key)] = std::move(pool);
    }
    out["pools"] = std::move(pools);
    return out;
}

std::string LoadBalancer::prometheus_text() const {
    std::string out;
    out.reserve(512 + 48 * (inflight.size() + dispatch_counts.size()) + 64 * reject_counts.size());
    out += "# HELP quillmar_lb_inflight Current in-flight requests per backend.\n";
    out += "# TYPE quillmar_lb_inflight gauge\n";
    append_id_series(out, "quillmar_lb_inflight", inflight);
    out += "# HELP quillmar_lb_dispatch_total Cumulative dispatches per backend.\n";
    out += "# TYPE quillmar_lb_dispatch_total counter\n";
    append_id_series(out, "quillmar_lb_dispatch_total", dispatch_counts);
    out += "# HELP quillmar_lb_rejected_total Requests rejected by the load balancer.\n";
    out += "# TYPE quillmar_lb_rejected_total counter\n";
    for (const auto& [reason, count] : reject_counts) {
        out += "quillmar_lb_rejected_total{reason=\"";
        append_label_value(out, reason);
        out += "\"} ";
        append_int(out, count);
        out.push_back('\n');
    }
    out += "# HELP quillmar_lb_queue_depth Number of waiters currently queued.\n";
    out += "# TYPE quillmar_lb_queue_depth gauge\n";
    out += "quillmar_lb_queue_depth ";
    append_int(out, static_cast<std::int64_t>(all_waiters_.size()));
    out.push_back('\n');
    if (!queue_wait_samples.empty()) {
        const WaitQuantiles q = wait_quantiles(queue_wait_samples);
        out += "# HELP quillmar_lb_queue_wait_seconds Observed waiter wait times.\n";
        out += "# TYPE quillmar_lb_queue_wait_seconds summary\n";
        out += "quillmar_lb_queue_wait_seconds{quantile=\"0.5\"} ";
        append_fixed4(out, q.p50);
        out += "\nquillmar_lb_queue_wait_seconds{quantile=\"0.95\"} ";
        append_fixed4(out, q.has_p95 ? q.p95 : q.max);
        // Count and sum are cumulative, as a summary's are by definition.
        // Samples a host put into the public window by hand never passed
        // through the counters; then the window is all there is to report.
        std::int64_t count = queue_waits_observed;
        double sum = queue_wait_seconds_total;
        if (count < static_cast<std::int64_t>(queue_wait_samples.size())) {
            count = static_cast<std::int64_t>(queue_wait_samples.size());
            sum = 0.0;
            for (double w : queue_wait_samples) sum += w;
        }
        out += "\nquillmar_lb_queue_wait_seconds_sum ";
        append_shortest(out, sum);
        out += "\nquillmar_lb_queue_wait_seconds_count ";
        append_int(out, count);
        out.push_back('\n');
    }
    return out;
}

}  // namespace quillmar::lb
