// The proxy's own metrics, written after the balancer's in GET /metrics:
// requests by pool and status, upstream errors by kind, client connection
// events by kind, and per-pool
// histograms of queue wait and time to first byte with fixed buckets.
#pragma once

#include <tsl/ordered_map.h>

#include <array>
#include <cstdint>
#include <string>

namespace quillmar::proxy {

// Fixed-bucket histogram in seconds (Prometheus "le" semantics).
struct Histogram {
    static constexpr std::array<double, 14> BOUNDS{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                   0.1,    0.25,  0.5,    1.0,   2.5,   5.0,  10.0};
    std::array<std::uint64_t, BOUNDS.size()> buckets{};  // non-cumulative counts
    std::uint64_t count = 0;
    double sum = 0.0;
    void observe(double seconds) noexcept;
};

class ProxyMetrics {
public:
    void count_request(const std::string& pool, int status);
    void count_upstream_error(const std::string& kind);
    // Client connection events that are not requests: "write_timeout",
    // "idle_evicted", "accept_backoff".
    void count_client_event(const std::string& event);
    void observe_queue_wait(const std::string& pool, double seconds);
    void observe_ttfb(const std::string& pool, double seconds);
    std::uint64_t requests(const std::string& pool, int status) const;
    std::uint64_t upstream_errors(const std::string& kind) const;
    std::uint64_t client_events(const std::string& event) const;
    std::string text() const;

private:
    tsl::ordered_map<std::string, tsl::ordered_map<int, std::uint64_t>> requests_;
    tsl::ordered_map<std::string, std::uint64_t> upstream_errors_;
    tsl::ordered_map<std::string, std::uint64_t> client_events_;
    tsl::ordered_map<std::string, Histogram> queue_wait_;
    tsl::ordered_map<std::string, Histogram> ttfb_;
};

}  // namespace quillmar::proxy
