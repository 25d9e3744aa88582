#include "proxy/metrics.hpp"

#include <fmt/format.h>

namespace quillmar::proxy {

void Histogram::observe(double seconds) noexcept {
    ++count;
    sum += seconds;
    for (std::size_t i = 0; i < BOUNDS.size(); ++i) {
        if (seconds <= BOUNDS[i]) {
            ++buckets[i];
            return;
        }
    }
}

void ProxyMetrics::count_request(const std::string& pool, int status) { ++requests_[pool][status]; }
void ProxyMetrics::count_upstream_error(const std::string& kind) { ++upstream_errors_[kind]; }
void ProxyMetrics::count_client_event(const std::string& event) { ++client_events_[event]; }
void ProxyMetrics::observe_queue_wait(const std::string& pool, double seconds) { queue_wait_[pool].observe(seconds); }
void ProxyMetrics::observe_ttfb(const std::string& pool, double seconds) { ttfb_[pool].observe(seconds); }

std::uint64_t ProxyMetrics::requests(const std::string& pool, int status) const {
    auto p = requests_.find(pool);
    if (p == requests_.end()) return 0;
    auto s = p->second.find(status);
    return s == p->second.end() ? 0 : s->second;
}

std::uint64_t ProxyMetrics::upstream_errors(const std::string& kind) const {
    auto it = upstream_errors_.find(kind);
    return it == upstream_errors_.end() ? 0 : it->second;
}

std::uint64_t ProxyMetrics::client_events(const std::string& event) const {
    auto it = client_events_.find(event);
    return it == client_events_.end() ? 0 : it->second;
}

namespace {
// Label values are pool labels and fixed words; escape what the text format
// requires anyway, since a model id is the operator's free text.
std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out.push_back(c);
    }
    return out;
}

void write_histograms(std::string& out, const char* name, const char* help,
                      const tsl::ordered_map<std::string, Histogram>& table) {
    out += fmt::format("# HELP {} {}\n# TYPE {} histogram\n", name, help, name);
    for (const auto& [pool, h] : table) {
        std::string label = escape(pool);
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < Histogram::BOUNDS.size(); ++i) {
            cumulative += h.buckets[i];
            out += fmt::format("{}_bucket{{pool=\"{}\",le=\"{}\"}} {}\n", name, label, Histogram::BOUNDS[i],
                               cumulative);
        }
        out += fmt::format("{}_bucket{{pool=\"{}\",le=\"+Inf\"}} {}\n", name, label, h.count);
        out += fmt::format("{}_sum{{pool=\"{}\"}} {:.6f}\n", name, label, h.sum);
        out += fmt::format("{}_count{{pool=\"{}\"}} {}\n", name, label, h.count);
    }
}
}  // namespace

std::string ProxyMetrics::text() const {
    std::string out;
    out += "# HELP quillmar_proxy_requests_total Requests answered, by pool and HTTP status.\n"
           "# TYPE quillmar_proxy_requests_total counter\n";
    for (const auto& [pool, statuses] : requests_)
        for (const auto& [status, n] : statuses)
            out += fmt::format("quillmar_proxy_requests_total{{pool=\"{}\",status=\"{}\"}} {}\n", escape(pool),
                               status, n);
    out += "# HELP quillmar_proxy_upstream_errors_total Upstream failures, by kind.\n"
           "# TYPE quillmar_proxy_upstream_errors_total counter\n";
    for (const auto& [kind, n] : upstream_errors_)
        out += fmt::format("quillmar_proxy_upstream_errors_total{{kind=\"{}\"}} {}\n", escape(kind), n);
    out += "# HELP quillmar_proxy_client_events_total Client connection events, by kind.\n"
           "# TYPE quillmar_proxy_client_events_total counter\n";
    for (const auto& [event, n] : client_events_)
        out += fmt::format("quillmar_proxy_client_events_total{{event=\"{}\"}} {}\n", escape(event), n);
    write_histograms(out, "quillmar_proxy_queue_wait_seconds", "Time parked in the waiter queue, by pool.",
                     queue_wait_);
    write_histograms(out, "quillmar_proxy_ttfb_seconds",
                     "Time from the request's arrival to the first upstream response byte, by pool.", ttfb_);
    return out;
}

}  // namespace quillmar::proxy
