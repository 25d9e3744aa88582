// The simulated host: drives the real LoadBalancer on virtual time the way a
// proxy would (estimate, filter_by_fit, select, wait_for_slot when the queue
// is on, a lease per request), in front of simulated backends that slow down
// with load and crash on schedule, with the in-flight reaper running.
//
// Every run installs a ManualClock and drives its own io_context with
// ManualClock::run_for, so minutes of traffic take well under a second and
// the outcome depends only on the inputs. The balancer settings are the
// process-wide ones, plus those of the run's variant while it runs.
#pragma once

#include "simulate/scenario.hpp"
#include "simulate/tuning.hpp"
#include "simulate/workload.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmar::lb::sim {

// Percentile summary (nearest rank); absent when there were no samples.
struct Summary {
    std::size_t count = 0;
    std::optional<double> p50, p90, p95, p99, max;
};
Summary summarize(std::vector<double> samples);

struct BackendResult {
    std::int64_t id = 0;
    std::size_t served = 0;
    std::size_t failed = 0;
    // Refusals (at capacity, queue full, queue timeout) of requests this
    // backend could have taken: it was among those that fit them.
    std::size_t refused = 0;
    std::int64_t peak_inflight = 0;  // the balancer's count
    double time_at_cap_sec = 0.0;    // count at or over the cap of the mode
};

// One value per second of the run: [i] covers [i, i + 1) seconds, up to the
// moment the last request ended.
struct TimeSeries {
    std::vector<std::int64_t> arrivals;
    std::vector<std::int64_t> queue_depth;             // most parked at once
    std::vector<std::vector<std::int64_t>> inflight;   // per backend, most at once
    std::map<std::string, std::vector<std::int64_t>> refusals;  // by reason
    std::vector<std::int64_t> hybrid_hot;              // 1 while hot ("hybrid" runs only)
};

struct RunResult {
    std::string mode;
    std::string variant;  // the sweep value's label, empty without a sweep
    bool queue_enabled = false;
    std::size_t arrived = 0;
    std::size_t served = 0;
    std::size_t failed = 0;      // cut by a backend crash, or sent to a down backend
    std::size_t unfinished = 0;  // still waiting or running when the drain limit passed
    std::vector<std::pair<std::string, std::int64_t>> refused;  // the balancer's reject_counts
    Summary ttft;        // arrival to first token, served requests
    Summary queue_wait;  // wait_for_slot time of served requests that were parked
    Summary completion;  // arrival to last token, served requests
    std::vector<double> ttft_percentiles;  // 1st..100th percentile of ttft; empty without samples
    double throughput_rps = 0.0;  // served / duration
    std::vector<BackendResult> backends;
    TimeSeries series;
    std::string prometheus;  // prometheus_text() at the end of the run

    std::string label() const { return variant.empty() ? mode : mode + " " + variant; }
};

// Runs `workload` once in `mode` (one of the four routing modes) with the
// variant's settings and algorithm. Throws ScenarioError for an unknown mode.
RunResult run_workload(const Scenario& scenario, const Workload& workload, std::string_view mode,
                       const Variant& variant = {});

// The scenario's own workload in `mode`.
RunResult run_simulation(const Scenario& scenario, std::string_view mode);

// Every variant in every mode, variant by variant, all on one workload.
// `progress(done, total, next_label)` is called before each run.
using Progress = std::function<void(std::size_t, std::size_t, const std::string&)>;
std::vector<RunResult> run_matrix(const Scenario& scenario, const Workload& workload,
                                  const std::vector<std::string>& modes, const std::vector<Variant>& variants,
                                  const Progress& progress = {});

}  // namespace quillmar::lb::sim
