// The HTML report: one self-contained page (inline style and SVG, nothing
// fetched) with the summary tables and charts of every run.
#include "simulate/report.hpp"
#include "simulate/svg_chart.hpp"

#include <fmt/format.h>

#include <numeric>

namespace quillmar::lb::sim {

namespace {

constexpr std::string_view kStyle = R"css(
body { font: 14px/1.45 system-ui, sans-serif; margin: 24px auto; max-width: 1040px; color: #222; }
h1 { font-size: 22px; } h2 { font-size: 17px; margin-top: 28px; } h3 { font-size: 14px; margin: 12px 0 4px; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; font-size: 12.5px; }
th, td { padding: 2px 6px; text-align: right; border-bottom: 1px solid #ddd; }
th { font-weight: 600; }
th:first-child, td:first-child { text-align: left; }
figure { margin: 8px 0 16px; }
svg.chart text { font-size: 11px; fill: #444; }
svg.chart .grid { stroke: #e4e4e4; }
svg.chart .frame { fill: none; stroke: #999; }
svg.chart polyline { fill: none; stroke-width: 1.6; }
figcaption span { margin-right: 14px; white-space: nowrap; }
figcaption i { display: inline-block; width: 14px; height: 3px; margin: 0 5px 3px 0; vertical-align: middle; }
)css";

// After layout, each chart is marked with how many of its lines the browser
// gave an extent, so a reader (or a headless check) can tell drawn charts
// from empty ones without looking at pixels.
constexpr std::string_view kMarkDrawn = R"js(
document.querySelectorAll('svg.chart').forEach(function (svg) {
  var drawn = 0;
  svg.querySelectorAll('polyline.series').forEach(function (line) {
    var box = line.getBBox();
    if (box.width > 0 || box.height > 0) drawn++;
  });
  svg.setAttribute('data-drawn', drawn);
});
)js";

std::string cell(const std::optional<double>& v) { return v ? fmt::format("{:.3f}", *v) : "-"; }

std::string summary_table(const std::vector<RunResult>& runs) {
    std::string out =
        "<table id=\"summary\"><tr><th>run</th><th>queue</th><th>served</th><th>failed</th><th>unfin.</th>"
        "<th>too large</th><th>at capacity</th><th>queue full</th><th>queue timeout</th><th>no backends</th>"
        "<th>ttft p50 s</th><th>ttft p95 s</th><th>ttft p99 s</th><th>wait p95 s</th><th>req/s</th></tr>\n";
    for (const RunResult& r : runs)
        out += fmt::format(
            "<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td>"
            "<td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{:.2f}</td></tr>\n",
            html_escape(r.label()), r.queue_enabled ? "on" : "off", r.served, r.failed, r.unfinished,
            refused_for(r, "too_large"), refused_for(r, "at_capacity"), refused_for(r, "queue_full"),
            refused_for(r, "queue_timeout"), refused_for(r, "no_backends"), cell(r.ttft.p50), cell(r.ttft.p95),
            cell(r.ttft.p99), cell(r.queue_wait.p95), r.throughput_rps);
    return out + "</table>\n";
}

std::string backend_table(const std::vector<RunResult>& runs) {
    std::string out = "<table id=\"backends\"><tr><th>run</th><th>backend</th><th>served</th><th>failed</th>"
                      "<th>refused</th><th>peak in flight</th><th>seconds at cap</th></tr>\n";
    for (const RunResult& r : runs)
        for (const BackendResult& b : r.backends)
            out += fmt::format("<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{:.1f}</td>"
                               "</tr>\n",
                               html_escape(r.label()), b.id, b.served, b.failed, b.refused, b.peak_inflight,
                               b.time_at_cap_sec);
    return out + "</table>\n";
}

std::vector<std::pair<double, double>> per_second(const std::vector<std::int64_t>& v) {
    std::vector<std::pair<double, double>> out;
    for (std::size_t i = 0; i < v.size(); ++i) out.emplace_back(static_cast<double>(i), static_cast<double>(v[i]));
    return out;
}

std::string ttft_chart(const std::vector<RunResult>& runs) {
    std::vector<ChartSeries> series;
    for (const RunResult& r : runs) {
        ChartSeries s{r.label(), {}};
        for (std::size_t i = 0; i < r.ttft_percentiles.size(); ++i)
            s.points.emplace_back(r.ttft_percentiles[i], static_cast<double>(i + 1));
        series.push_back(std::move(s));
    }
    return line_chart({"ttft", "time to first token, seconds (log scale)", "percentile of served requests", true},
                      series);
}

std::string queue_chart(const std::vector<RunResult>& runs) {
    std::vector<ChartSeries> series;
    for (const RunResult& r : runs) series.push_back({r.label(), per_second(r.series.queue_depth)});
    return line_chart({"queue-depth", "seconds from the start", "requests parked (most per second)", false}, series);
}

std::string refusal_chart(const std::vector<RunResult>& runs) {
    std::vector<ChartSeries> series;
    for (const RunResult& r : runs) {
        std::vector<std::int64_t> total(r.series.arrivals.size(), 0);
        for (const auto& [reason, counts] : r.series.refusals)
            for (std::size_t i = 0; i < counts.size() && i < total.size(); ++i) total[i] += counts[i];
        series.push_back({r.label(), per_second(total)});
    }
    return line_chart({"refusals", "seconds from the start", "requests refused per second (all reasons)", false},
                      series);
}

std::string inflight_charts(const std::vector<RunResult>& runs) {
    std::string out;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const RunResult& r = runs[i];
        std::vector<ChartSeries> series;
        for (std::size_t b = 0; b < r.backends.size() && b < r.series.inflight.size(); ++b)
            series.push_back({fmt::format("backend {}", r.backends[b].id), per_second(r.series.inflight[b])});
        out += fmt::format("<h3>{}</h3>\n", html_escape(r.label()));
        out += line_chart({fmt::format("inflight-{}", i), "seconds from the start", "in flight (most per second)",
                           false},
                          series);
    }
    return out;
}

}  // namespace

std::string report_html(const ReportInput& in) {
    const std::string title = in.workload.source == "trace"
                                  ? fmt::format("Simulation of a trace on scenario \"{}\"", in.scenario.name)
                                  : fmt::format("Simulation of scenario \"{}\"", in.scenario.name);
    std::string out = fmt::format(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>{0}</title>\n"
        "<style>{1}</style>\n</head>\n<body>\n<h1>{0}</h1>\n<p>{2}</p>\n",
        html_escape(title), kStyle, html_escape(describe(in)));
    out += "<h2>Summary</h2>\n" + summary_table(in.runs);
    out += "<h2>Time to first token, by mode</h2>\n<p>Share of served requests (y) whose first token came within "
           "x seconds of arrival, queue wait included.</p>\n" +
           ttft_chart(in.runs);
    out += "<h2>Queue depth over time</h2>\n" + queue_chart(in.runs);
    out += "<h2>Refusals over time</h2>\n" + refusal_chart(in.runs);
    out += "<h2>In flight per backend over time</h2>\n<p>The balancer's count per backend.</p>\n" +
           inflight_charts(in.runs);
    out += "<h2>Backends</h2>\n<p>refused: refusals of requests the backend could have taken; seconds at cap: time "
           "its count sat at the cap of the mode.</p>\n" +
           backend_table(in.runs);
    out += fmt::format("<script>{}</script>\n</body>\n</html>\n", kMarkDrawn);
    return out;
}

}  // namespace quillmar::lb::sim
