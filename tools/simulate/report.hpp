// The simulator's reports of a set of runs on one workload: a text summary
// for the terminal (within 100 columns unless a sweep value is over five
// characters long), JSON with the
// distributions and per-second series, and a self-contained HTML page with
// inline SVG charts. All three depend only on their inputs (and the
// process-wide settings they list), so equal runs give equal bytes.
#pragma once

#include "simulate/host.hpp"
#include "simulate/scenario.hpp"
#include "simulate/workload.hpp"

#include <boost/json/object.hpp>

#include <string>
#include <vector>

namespace quillmar::lb::sim {

struct ReportInput {
    const Scenario& scenario;
    const Workload& workload;
    const std::vector<RunResult>& runs;
    std::string sweep;  // what the runs' variants vary ("superfast_cap"); empty without a sweep
};

// One paragraph saying what was run: scenario or trace, backends, seed,
// algorithm, crashes, reaper; wrapped at 100 columns.
std::string describe(const ReportInput& in);

std::string report_table(const ReportInput& in);
boost::json::object report_json(const ReportInput& in);
std::string report_html(const ReportInput& in);

// The count of `reason` among a run's refusals (0 when absent).
std::int64_t refused_for(const RunResult& r, std::string_view reason);

}  // namespace quillmar::lb::sim
