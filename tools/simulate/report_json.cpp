// The JSON report: totals, distributions, per-backend figures and the
// per-second series of every run.
#include "simulate/report.hpp"

#include "load_balancer/settings.hpp"

#include <boost/json/array.hpp>

#include <cmath>

namespace quillmar::lb::sim {

namespace json = boost::json;

namespace {

// Seconds to the microsecond: the simulated times carry floating-point
// noise in the last digits that says nothing.
json::value seconds(double v) { return std::round(v * 1e6) / 1e6; }
json::value seconds(const std::optional<double>& v) { return v ? seconds(*v) : json::value(nullptr); }

json::object summary_json(const Summary& s) {
    return {{"count", s.count}, {"p50", seconds(s.p50)}, {"p90", seconds(s.p90)}, {"p95", seconds(s.p95)},
            {"p99", seconds(s.p99)}, {"max", seconds(s.max)}};
}

json::array ints(const std::vector<std::int64_t>& v) { return json::array(v.begin(), v.end()); }

json::object series_json(const RunResult& r) {
    const TimeSeries& s = r.series;
    json::object inflight, refusals;
    for (std::size_t b = 0; b < r.backends.size() && b < s.inflight.size(); ++b)
        inflight[std::to_string(r.backends[b].id)] = ints(s.inflight[b]);
    for (const auto& [reason, counts] : s.refusals) refusals[reason] = ints(counts);
    json::object out{{"seconds", s.arrivals.size()},
                     {"arrivals", ints(s.arrivals)},
                     {"queue_depth", ints(s.queue_depth)},
                     {"inflight", std::move(inflight)},
                     {"refusals", std::move(refusals)}};
    if (!s.hybrid_hot.empty()) out["hybrid_hot"] = ints(s.hybrid_hot);
    return out;
}

json::array backends_json(const RunResult& r) {
    json::array out;
    for (const BackendResult& b : r.backends)
        out.push_back(json::object{{"id", b.id},
                                   {"served", b.served},
                                   {"failed", b.failed},
                                   {"refused", b.refused},
                                   {"peak_inflight", b.peak_inflight},
                                   {"time_at_cap_sec", seconds(b.time_at_cap_sec)}});
    return out;
}

json::object run_json(const RunResult& r) {
    json::object refused;
    for (const auto& [k, n] : r.refused) refused[k] = n;
    json::array pct;
    for (double v : r.ttft_percentiles) pct.push_back(seconds(v));
    return {{"mode", r.mode},
            {"variant", r.variant.empty() ? json::value(nullptr) : json::value(r.variant)},
            {"queue_enabled", r.queue_enabled},
            {"arrived", r.arrived},
            {"served", r.served},
            {"failed", r.failed},
            {"unfinished", r.unfinished},
            {"refused", std::move(refused)},
            {"ttft_sec", summary_json(r.ttft)},
            {"ttft_percentiles_sec", std::move(pct)},
            {"queue_wait_sec", summary_json(r.queue_wait)},
            {"completion_sec", summary_json(r.completion)},
            {"throughput_rps", r.throughput_rps},
            {"backends", backends_json(r)},
            {"series", series_json(r)}};
}

}  // namespace

json::object report_json(const ReportInput& in) {
    const Scenario& sc = in.scenario;
    json::object out;
    out["scenario"] = sc.name;
    out["source"] = in.workload.source;
    out["requests"] = in.workload.requests.size();
    if (in.workload.source == "trace")
        out["trace"] = json::object{{"skipped", in.workload.skipped},
                                    {"drawn_outputs", in.workload.drawn_outputs},
                                    {"models", in.workload.models}};
    out["seed"] = sc.seed;
    out["duration_sec"] = in.workload.duration_sec;
    out["algorithm"] = sc.algorithm;
    out["sweep"] = in.sweep.empty() ? json::value(nullptr) : json::value(in.sweep);
    out["settings"] = settings_json();
    json::array rows;
    for (const RunResult& r : in.runs) rows.push_back(run_json(r));
    out["runs"] = std::move(rows);
    out["prometheus"] = in.runs.empty() ? std::string() : in.runs.back().prometheus;
    return out;
}

}  // namespace quillmar::lb::sim
