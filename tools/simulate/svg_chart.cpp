// Inline SVG line charts: axes with round ticks, one polyline per series.
#include "simulate/svg_chart.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace quillmar::lb::sim {

namespace {

constexpr double kWidth = 760, kHeight = 260;
constexpr double kLeft = 60, kRight = 16, kTop = 12, kBottom = 42;
constexpr std::string_view kColors[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e",
                                        "#17becf", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22"};

struct Scale {
    double lo, hi;
    bool log;
    double pixel_lo, pixel_hi;
    double operator()(double v) const {
        const double a = log ? std::log10(lo) : lo, b = log ? std::log10(hi) : hi;
        const double x = log ? std::log10(std::max(v, lo)) : v;
        return pixel_lo + (x - a) / (b - a) * (pixel_hi - pixel_lo);
    }
};

// A round step giving about five ticks over [0, span].
double nice_step(double span) {
    const double raw = span / 5.0;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (raw <= m * mag) return m * mag;
    return 10.0 * mag;
}

std::vector<double> ticks(const Scale& s) {
    std::vector<double> out;
    if (s.log) {
        // Decades; over two decades or less also their 2s and 5s.
        const bool fine = s.hi / s.lo <= 100.0 * 1.0000001;
        for (double d = std::pow(10.0, std::ceil(std::log10(s.lo))) / 10; d <= s.hi * 1.0000001; d *= 10)
            for (double m : {1.0, 2.0, 5.0})
                if ((m == 1.0 || fine) && d * m >= s.lo * 0.9999999 && d * m <= s.hi * 1.0000001) out.push_back(d * m);
        return out;
    }
    const double step = nice_step(s.hi - s.lo);
    for (double v = std::ceil(s.lo / step) * step; v <= s.hi + step * 1e-9; v += step) out.push_back(v);
    return out;
}

std::string tick_text(double v) { return fmt::format("{:g}", v); }

std::string axes(const Scale& x, const Scale& y, const ChartLayout& layout) {
    std::string out;
    for (double t : ticks(y))
        out += fmt::format(
            "<line class=\"grid\" x1=\"{0:.1f}\" x2=\"{1:.1f}\" y1=\"{2:.1f}\" y2=\"{2:.1f}\"/>"
            "<text x=\"{3:.1f}\" y=\"{4:.1f}\" text-anchor=\"end\">{5}</text>\n",
            kLeft, kWidth - kRight, y(t), kLeft - 6, y(t) + 4, tick_text(t));
    for (double t : ticks(x))
        out += fmt::format(
            "<line class=\"grid\" x1=\"{0:.1f}\" x2=\"{0:.1f}\" y1=\"{1:.1f}\" y2=\"{2:.1f}\"/>"
            "<text x=\"{0:.1f}\" y=\"{3:.1f}\" text-anchor=\"middle\">{4}</text>\n",
            x(t), kTop, kHeight - kBottom, kHeight - kBottom + 16, tick_text(t));
    out += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\">{}</text>\n",
                       (kLeft + kWidth - kRight) / 2, kHeight - 6, html_escape(layout.x_label));
    out += fmt::format("<text transform=\"translate(14 {:.1f}) rotate(-90)\" text-anchor=\"middle\">{}</text>\n",
                       (kTop + kHeight - kBottom) / 2, html_escape(layout.y_label));
    out += fmt::format("<rect class=\"frame\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\"/>\n", kLeft, kTop,
                       kWidth - kLeft - kRight, kHeight - kTop - kBottom);
    return out;
}

// The data's extent: y from 0, x from 0 (or the least positive x on a
// log axis); never empty.
std::pair<Scale, Scale> scales(const ChartLayout& layout, const std::vector<ChartSeries>& series) {
    double x_lo = layout.log_x ? INFINITY : 0.0, x_hi = 0.0, y_hi = 0.0;
    for (const ChartSeries& s : series)
        for (const auto& [x, y] : s.points) {
            if (layout.log_x && x > 0) x_lo = std::min(x_lo, x);
            x_hi = std::max(x_hi, x);
            y_hi = std::max(y_hi, y);
        }
    if (layout.log_x) {
        x_lo = std::isfinite(x_lo) ? std::pow(10.0, std::floor(std::log10(x_lo))) : 0.1;
        x_hi = std::max(x_hi, x_lo * 10);
        x_hi = std::pow(10.0, std::ceil(std::log10(x_hi)));
    } else if (x_hi <= 0) {
        x_hi = 1;
    }
    if (y_hi <= 0) y_hi = 1;
    y_hi = std::ceil(y_hi / nice_step(y_hi)) * nice_step(y_hi);
    return {Scale{x_lo, x_hi, layout.log_x, kLeft, kWidth - kRight}, Scale{0, y_hi, false, kHeight - kBottom, kTop}};
}

}  // namespace

std::string html_escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            // Control characters are not allowed in HTML text (a scenario
            // name may hold any): the replacement character stands in.
            default:
                if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f)
                    out += "\xef\xbf\xbd";
                else
                    out += c;
        }
    }
    return out;
}

std::string line_chart(const ChartLayout& layout, const std::vector<ChartSeries>& series) {
    const auto [x, y] = scales(layout, series);
    std::string out = fmt::format(
        "<figure>\n<svg class=\"chart\" id=\"{}\" data-series=\"{}\" "
        "viewBox=\"0 0 {} {}\" width=\"{}\" height=\"{}\" role=\"img\">\n",
        html_escape(layout.id), series.size(), kWidth, kHeight, kWidth, kHeight);
    out += axes(x, y, layout);
    std::string legend = "<figcaption>";
    for (std::size_t i = 0; i < series.size(); ++i) {
        const std::string_view color = kColors[i % std::size(kColors)];
        std::string points;
        for (const auto& [px, py] : series[i].points)
            if (!layout.log_x || px > 0) points += fmt::format("{:.1f},{:.1f} ", x(px), y(py));
        out += fmt::format("<polyline class=\"series\" data-name=\"{}\" stroke=\"{}\" points=\"{}\"/>\n",
                           html_escape(series[i].name), color, points);
        legend += fmt::format("<span><i style=\"background:{}\"></i>{}</span> ", color, html_escape(series[i].name));
    }
    return out + "</svg>\n" + legend + "</figcaption>\n</figure>\n";
}

}  // namespace quillmar::lb::sim
