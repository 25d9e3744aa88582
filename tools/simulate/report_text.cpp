// The text report: what was run, then three tables (outcomes, latency,
// backends), each line at most 100 columns wide.
#include "simulate/report.hpp"

#include "load_balancer/settings.hpp"

#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace quillmar::lb::sim {

namespace {

constexpr std::string_view kReasons[] = {"too_large", "at_capacity", "queue_full", "queue_timeout", "no_backends"};
constexpr std::size_t kWidth = 100;

std::string seconds_cell(const std::optional<double>& v) { return v ? fmt::format("{:.3f}", *v) : "-"; }

// Words of `text` in lines of at most kWidth columns.
std::string wrap(std::string_view text) {
    std::string out, line;
    while (!text.empty()) {
        const auto space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        if (!line.empty() && line.size() + 1 + word.size() > kWidth) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + std::string(word);
        text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
    }
    return out + line + "\n";
}

// A run's row label: its mode and, in a sweep, the value alone (the header
// names the setting), so that the tables keep within kWidth.
std::string row_label(const RunResult& r) {
    if (r.variant.empty()) return r.mode;
    return r.mode + " " + r.variant.substr(r.variant.find('=') + 1);
}

std::size_t label_width(const std::vector<RunResult>& runs) {
    std::size_t w = 15;
    for (const RunResult& r : runs) w = std::max(w, row_label(r).size());
    return w + 1;
}

// A name from the scenario file, quoted with its control characters
// escaped: a terminal must not take them as commands.
std::string quoted(const std::string& name) { return boost::json::serialize(boost::json::string(name)); }

std::string outcomes_table(const std::vector<RunResult>& runs, std::size_t w) {
    // Counts of a large run (two million requests) are wider than the
    // headers: every count column then grows to keep a blank before them.
    std::int64_t largest = 0;
    for (const RunResult& r : runs) {
        for (auto n : {r.served, r.failed, r.unfinished}) largest = std::max(largest, static_cast<std::int64_t>(n));
        for (const auto& [reason, n] : r.refused) largest = std::max(largest, n);
    }
    const std::size_t d = fmt::formatted_size("{}", largest) + 1;
    const auto col = [d](std::size_t header) { return std::max(header, d); };
    std::string out = "Outcomes (requests; refusals by reason)\n";
    out += fmt::format("{:<{}}{:>6}{:>{}}{:>{}}{:>{}} |{:>{}}{:>{}}{:>{}}{:>{}}{:>{}}\n", "run", w, "queue", "served",
                       col(7), "failed", col(7), "unfin", col(6), "too_large", col(10), "at_capacity", col(12),
                       "q_full", col(7), "q_timeout", col(10), "no_backend", col(11));
    for (const RunResult& r : runs) {
        out += fmt::format("{:<{}}{:>6}{:>{}}{:>{}}{:>{}} |", row_label(r), w, r.queue_enabled ? "on" : "off", r.served,
                           col(7), r.failed, col(7), r.unfinished, col(6));
        out += fmt::format("{:>{}}{:>{}}{:>{}}{:>{}}{:>{}}\n", refused_for(r, kReasons[0]), col(10),
                           refused_for(r, kReasons[1]), col(12), refused_for(r, kReasons[2]), col(7),
                           refused_for(r, kReasons[3]), col(10), refused_for(r, kReasons[4]), col(11));
        for (const auto& [reason, n] : r.refused)
            if (std::find(std::begin(kReasons), std::end(kReasons), reason) == std::end(kReasons))
                out += fmt::format("  {}: also refused {} as \"{}\"\n", row_label(r), n, reason);
    }
    return out;
}

std::string latency_table(const std::vector<RunResult>& runs, std::size_t w) {
    std::string out = "Latency (seconds from arrival, queue wait included; wait: over the parked requests)\n";
    out += fmt::format("{:<{}}{:>9}{:>9}{:>9} |{:>9}{:>9} |{:>9}{:>8}\n", "run", w, "ttft_p50", "ttft_p95",
                       "ttft_p99", "wait_p50", "wait_p95", "done_p95", "req/s");
    for (const RunResult& r : runs)
        out += fmt::format("{:<{}}{:>9}{:>9}{:>9} |{:>9}{:>9} |{:>9}{:>8.2f}\n", row_label(r), w,
                           seconds_cell(r.ttft.p50), seconds_cell(r.ttft.p95), seconds_cell(r.ttft.p99),
                           seconds_cell(r.queue_wait.p50), seconds_cell(r.queue_wait.p95),
                           seconds_cell(r.completion.p95), r.throughput_rps);
    return out;
}

std::string backend_table(const std::vector<RunResult>& runs, std::size_t w) {
    std::string out = "Backends (refused: refusals of requests it could have taken; at cap: seconds its in-flight\n"
                      "count sat at the mode's cap, which hybrid sets by its hot state)\n";
    out += fmt::format("{:<{}}{:>8}{:>8}{:>8}{:>9}{:>10}{:>10}\n", "run", w, "backend", "served", "failed", "refused",
                       "peak", "at_cap_s");
    for (const RunResult& r : runs)
        for (const BackendResult& b : r.backends)
            out += fmt::format("{:<{}}{:>8}{:>8}{:>8}{:>9}{:>10}{:>10.1f}\n", row_label(r), w, b.id, b.served, b.failed,
                               b.refused, b.peak_inflight, b.time_at_cap_sec);
    return out;
}

}  // namespace

std::int64_t refused_for(const RunResult& r, std::string_view reason) {
    for (const auto& [k, n] : r.refused)
        if (k == reason) return n;
    return 0;
}

std::string describe(const ReportInput& in) {
    const Scenario& sc = in.scenario;
    const Workload& w = in.workload;
    std::size_t outages = 0;
    for (const BackendConfig& b : sc.backends) outages += b.outages.size();
    std::string what =
        w.source == "trace"
            ? fmt::format("Trace of {} requests over {} s ({} lines without a token count skipped, {} output "
                          "lengths drawn, {} model(s), all sent to one pool), on the backends of scenario {}:",
                          w.requests.size(), w.duration_sec, w.skipped, w.drawn_outputs, w.models, quoted(sc.name))
            : fmt::format("Scenario {}: {} requests in {} s of {} arrivals,", quoted(sc.name), w.requests.size(),
                          w.duration_sec, sc.arrivals.kind);
    return wrap(fmt::format(
        "{} {} backends, seed {}, algorithm {}, {} backend crash(es), {}, {}.{}", what, sc.backends.size(), sc.seed,
        sc.algorithm, outages,
        sc.reaper_interval_sec ? fmt::format("reaper every {} s", *sc.reaper_interval_sec) : std::string("no reaper"),
        sc.crashed_lease_hold_sec
            ? fmt::format("leases of crashed requests released after {} s", *sc.crashed_lease_hold_sec)
            : std::string("leases of crashed requests never released"),
        in.sweep.empty() ? std::string() : fmt::format(" Each mode runs once per value of {}.", in.sweep)));
}

std::string report_table(const ReportInput& in) {
    std::string out = describe(in);
    out += wrap(fmt::format(
        "The waiter queue is always on in queue_all; in the other modes only with QUILLMAR_LB_QUEUE_ENABLED "
        "(now {}), otherwise a full pool is refused at once (at_capacity). Superfast cap {}, hybrid hot at {} "
        "in flight or {}/s.",
        QUEUE_ENABLED ? "on" : "off", SUPERFAST_PER_SERVER_CAP, HYBRID_INFLIGHT_THRESHOLD, HYBRID_RATE_THRESHOLD));
    const std::size_t w = label_width(in.runs);
    out += "\n" + outcomes_table(in.runs, w) + "\n" + latency_table(in.runs, w) + "\n" + backend_table(in.runs, w);
    return out;
}

}  // namespace quillmar::lb::sim
