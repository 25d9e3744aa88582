// Line charts as inline SVG text, for the HTML report: no script, no fonts
// or styles from outside, so the page renders the same offline.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmar::lb::sim {

struct ChartSeries {
    std::string name;
    std::vector<std::pair<double, double>> points;  // (x, y), in x order
};

struct ChartLayout {
    std::string id;        // the svg element's id
    std::string x_label;
    std::string y_label;
    bool log_x = false;    // decades on x; points with x <= 0 are left out
};

// One <figure> holding an <svg class="chart"> with a polyline per series
// and its legend. Cost linear in the points.
std::string line_chart(const ChartLayout& layout, const std::vector<ChartSeries>& series);

// `text` with &, <, > and " escaped for HTML.
std::string html_escape(std::string_view text);

}  // namespace quillmar::lb::sim
