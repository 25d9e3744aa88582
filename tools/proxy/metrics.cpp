#include "proxy/metrics.hpp"

#include "proxy/log_output.hpp"

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

void ProxyMetrics::count_request(const std::string& pool, int status) { ++last_pool_(requests_, pool)[status]; }
void ProxyMetrics::count_upstream_error(const std::string& kind) { ++upstream_errors_[kind]; }
void ProxyMetrics::count_client_event(const std::string& event) { ++client_events_[event]; }
void ProxyMetrics::observe_queue_wait(const std::string& model, double seconds) {
    last_model_(models_, model).queue_wait.observe(seconds);
}
void ProxyMetrics::observe_ttfb(const std::string& model, double seconds) {
    last_model_(models_, model).ttfb.observe(seconds);
}

void ProxyMetrics::observe_end(const std::string& model, double total, std::int64_t prompt, std::int64_t completion,
                               double cut_wait) {
    ModelSeries& m = last_model_(models_, model);
    if (cut_wait >= 0) m.queue_wait.observe(cut_wait);
    m.total.observe(total);
    if (prompt > 0) m.prompt_tokens += static_cast<std::uint64_t>(prompt);
    if (completion > 0) m.completion_tokens += static_cast<std::uint64_t>(completion);
}

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
// Label values are pool labels, model ids, URLs and fixed words; escape what
// the text format requires, since a model id is the operator's free text.
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

void write_header(std::string& out, const char* name, const char* type, const char* help) {
    out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

template <class Table, class Series>
void write_histograms(std::string& out, const char* name, const char* help, const Table& table, Series series) {
    write_header(out, name, "histogram", help);
    for (const auto& [model, all] : table) {
        const Histogram& h = all.*series;
        if (h.count == 0) continue;
        std::string label = escape(model);
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < Histogram::BOUNDS.size(); ++i) {
            cumulative += h.buckets[i];
            out += fmt::format("{}_bucket{{model=\"{}\",le=\"{}\"}} {}\n", name, label, Histogram::BOUNDS[i],
                               cumulative);
        }
        out += fmt::format("{}_bucket{{model=\"{}\",le=\"+Inf\"}} {}\n", name, label, h.count);
        out += fmt::format("{}_sum{{model=\"{}\"}} {:.6f}\n", name, label, h.sum);
        out += fmt::format("{}_count{{model=\"{}\"}} {}\n", name, label, h.count);
    }
}

template <class Table, class Series>
void write_counters(std::string& out, const char* name, const char* help, const Table& table, Series series) {
    write_header(out, name, "counter", help);
    for (const auto& [model, all] : table) {
        const std::uint64_t n = all.*series;
        if (n != 0) out += fmt::format("{}{{model=\"{}\"}} {}\n", name, escape(model), n);
    }
}

// Every configured backend, idle ones included, so that a dashboard sees a
// backend at 0 rather than no series at all.
void write_backends(std::string& out, const std::vector<BackendState>& backends) {
    auto series = [&](const char* name, const char* type, const char* help, auto value) {
        write_header(out, name, type, help);
        for (const auto& b : backends)
            out += fmt::format("{}{{server=\"{}\",url=\"{}\"}} {}\n", name, b.id, escape(b.url), value(b));
    };
    series("quillmar_proxy_backend_inflight", "gauge", "Requests running on the backend now.",
           [](const BackendState& b) { return b.inflight; });
    series("quillmar_proxy_backend_up", "gauge", "1 when the backend passes its health checks and is not sin-binned.",
           [](const BackendState& b) { return b.failing_checks || b.sin_binned ? 0 : 1; });
    series("quillmar_proxy_backend_sin_binned", "gauge", "1 while the backend is sin-binned after a failure.",
           [](const BackendState& b) { return b.sin_binned ? 1 : 0; });
    series("quillmar_proxy_backend_failing_checks", "gauge", "1 while the backend fails its health checks.",
           [](const BackendState& b) { return b.failing_checks ? 1 : 0; });
    series("quillmar_proxy_backend_dispatches_total", "counter", "Requests the balancer sent to the backend.",
           [](const BackendState& b) { return b.dispatches; });
}
}  // namespace

std::string ProxyMetrics::text(const std::vector<BackendState>& backends) const {
    std::string out;
    write_header(out, "quillmar_proxy_requests_total", "counter", "Requests answered, by pool and HTTP status.");
    for (const auto& [pool, statuses] : requests_)
        for (const auto& [status, n] : statuses)
            out += fmt::format("quillmar_proxy_requests_total{{pool=\"{}\",status=\"{}\"}} {}\n", escape(pool),
                               status, n);
    write_header(out, "quillmar_proxy_upstream_errors_total", "counter", "Upstream failures, by kind.");
    for (const auto& [kind, n] : upstream_errors_)
        out += fmt::format("quillmar_proxy_upstream_errors_total{{kind=\"{}\"}} {}\n", escape(kind), n);
    write_header(out, "quillmar_proxy_client_events_total", "counter", "Client connection events, by kind.");
    for (const auto& [event, n] : client_events_)
        out += fmt::format("quillmar_proxy_client_events_total{{event=\"{}\"}} {}\n", escape(event), n);
    write_header(out, "quillmar_proxy_config_reloads_total", "counter",
                 "Configuration reloads, by result (failed: the running configuration was kept).");
    out += fmt::format("quillmar_proxy_config_reloads_total{{result=\"ok\"}} {}\n", reloads_[0]);
    out += fmt::format("quillmar_proxy_config_reloads_total{{result=\"failed\"}} {}\n", reloads_[1]);
    write_header(out, "quillmar_proxy_access_log_dropped_lines_total", "counter",
                 "Access-log lines dropped because the log's file or pipe did not take them.");
    out += fmt::format("quillmar_proxy_access_log_dropped_lines_total {}\n", dropped_log_lines_);
    write_header(out, "quillmar_proxy_diagnostics_dropped_lines_total", "counter",
                 "Diagnostic lines dropped because standard error did not take them.");
    out += fmt::format("quillmar_proxy_diagnostics_dropped_lines_total {}\n", dropped_diagnostic_lines());
    write_backends(out, backends);
    write_histograms(out, "quillmar_proxy_queue_wait_seconds", "Time parked in the waiter queue, by model.",
                     models_, &ModelSeries::queue_wait);
    write_histograms(out, "quillmar_proxy_ttfb_seconds",
                     "Time from the request's arrival to the first upstream response byte, by model.", models_,
                     &ModelSeries::ttfb);
    write_histograms(out, "quillmar_proxy_request_duration_seconds",
                     "Time from the request's arrival to its last response byte, by model.", models_,
                     &ModelSeries::total);
    write_counters(out, "quillmar_proxy_prompt_tokens_total", "Prompt tokens the backends reported, by model.",
                   models_, &ModelSeries::prompt_tokens);
    write_counters(out, "quillmar_proxy_completion_tokens_total",
                   "Completion tokens the backends reported, by model.", models_, &ModelSeries::completion_tokens);
    return out;
}

}  // namespace quillmar::proxy
