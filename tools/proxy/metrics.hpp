// The proxy's own metrics, written after the balancer's in GET /metrics:
// requests by pool and status, upstream errors by kind, client connection
// events by kind, reloads, dropped access-log lines, every configured
// backend's state, per-model histograms of queue wait, time to first byte
// and total duration with fixed buckets, and per-model token counters.
#pragma once

#include <tsl/ordered_map.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quillmar::proxy {

// Fixed-bucket histogram in seconds (Prometheus "le" semantics). The buckets
// reach 600 s, the longest wait any routing mode allows; a model's answer
// takes minutes at worst, so one set serves waits and durations alike.
struct Histogram {
    static constexpr std::array<double, 18> BOUNDS{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,   0.25,  0.5,
                                                   1.0,   2.5,    5.0,   10.0, 30.0,  60.0, 120.0, 300.0, 600.0};
    std::array<std::uint64_t, BOUNDS.size()> buckets{};  // non-cumulative counts
    std::uint64_t count = 0;
    double sum = 0.0;
    void observe(double seconds) noexcept;
};

// One configured backend as /metrics shows it.
struct BackendState {
    std::int64_t id = 0;
    std::string url;
    std::int64_t inflight = 0;
    std::int64_t dispatches = 0;
    bool failing_checks = false;
    bool sin_binned = false;
};

namespace detail {

// The entry of a string-keyed map that the last look-up found. Requests come
// in runs of one pool and model, and hashing the name for every observation
// was a visible share of a small request's cost; a comparison with the last
// name is cheaper. Holds addresses into the map: tsl::ordered_map keeps its
// values in a std::deque, whose elements stay where they are as it grows, and
// nothing here erases from these maps. A copy starts with nothing remembered.
template <class Map>
class LastEntry {
public:
    LastEntry() = default;
    LastEntry(const LastEntry&) noexcept {}
    LastEntry& operator=(const LastEntry&) noexcept {
        key_ = nullptr;
        value_ = nullptr;
        return *this;
    }
    typename Map::mapped_type& operator()(Map& map, const std::string& key) {
        if (key_ == nullptr || *key_ != key) {
            auto it = map.try_emplace(key).first;
            key_ = &it->first;
            value_ = &it.value();
        }
        return *value_;
    }

private:
    const std::string* key_ = nullptr;
    typename Map::mapped_type* value_ = nullptr;
};

}  // namespace detail

class ProxyMetrics {
public:
    void count_request(const std::string& pool, int status);
    void count_upstream_error(const std::string& kind);
    // Client connection events that are not requests: "write_timeout",
    // "idle_evicted", "accept_backoff", "tls_handshake_failed".
    void count_client_event(const std::string& event);
    std::uint64_t client_events(const std::string& event) const;
    // A SIGHUP reload that took effect (ok) or kept the running
    // configuration because the new one did not load.
    void count_reload(bool ok) { ++reloads_[ok ? 0 : 1]; }
    // An access-log line its file or pipe did not take.
    void count_dropped_log_line() { ++dropped_log_lines_; }
    void observe_queue_wait(const std::string& model, double seconds);
    void observe_ttfb(const std::string& model, double seconds);
    // A finished request's per-model series in one look-up: its duration,
    // the tokens its backend reported (non-positive: none), and its wait
    // when the client left while it was parked (negative: none).
    void observe_end(const std::string& model, double total, std::int64_t prompt, std::int64_t completion,
                     double cut_wait = -1.0);
    std::uint64_t requests(const std::string& pool, int status) const;
    std::uint64_t upstream_errors(const std::string& kind) const;
    // The exposition text; linear in the number of series.
    std::string text(const std::vector<BackendState>& backends) const;

private:
    using Statuses = tsl::ordered_map<int, std::uint64_t>;
    tsl::ordered_map<std::string, Statuses> requests_;
    detail::LastEntry<tsl::ordered_map<std::string, Statuses>> last_pool_;
    tsl::ordered_map<std::string, std::uint64_t> upstream_errors_;
    tsl::ordered_map<std::string, std::uint64_t> client_events_;
    // Every per-model series of a model together, so that a request's end
    // costs one look-up. A series nothing was recorded in (a zero count) is
    // not shown.
    struct ModelSeries {
        Histogram queue_wait, ttfb, total;
        std::uint64_t prompt_tokens = 0, completion_tokens = 0;
    };
    tsl::ordered_map<std::string, ModelSeries> models_;
    detail::LastEntry<tsl::ordered_map<std::string, ModelSeries>> last_model_;
    std::array<std::uint64_t, 2> reloads_{};  // ok, failed
    std::uint64_t dropped_log_lines_ = 0;
};

}  // namespace quillmar::proxy
