// Workload simulation: runs a scenario (simulated backends plus a request
// workload) through the real LoadBalancer, on virtual time.
//
// Every run installs a ManualClock and drives its own io_context with
// ManualClock::run_for, so minutes of traffic take well under a second and
// the outcome depends only on the scenario and its seed. The balancer
// settings are the process-wide ones (QUILLMAR_LB_* at load, or whatever the
// caller assigned since).
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::lb::sim {

// Unusable scenario text or values. what() names the offending field.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Outage {
    double at_sec = 0.0;   // crash time, seconds from the start
    double for_sec = 0.0;  // down time; the backend comes back empty
};

// One simulated backend: its server record and its service model. A request
// that starts while `k` others run on the backend gets
//   ttft   = (ttft_base_sec + prompt_tokens / prefill_tokens_per_sec)
//            * (1 + ttft_slowdown_per_inflight * k)
//   decode = output_tokens / (decode_tokens_per_sec / (1 + decode_slowdown_per_inflight * k))
// (the load is sampled when the request starts).
struct BackendConfig {
    std::int64_t id = 0;
    double weight = 1.0;
    std::int64_t max_concurrency = 0;   // 0: unbounded
    std::int64_t max_input_tokens = 0;  // 0: no limit
    double ttft_base_sec = 0.2;
    double prefill_tokens_per_sec = 0.0;  // 0: prefill is free
    double decode_tokens_per_sec = 50.0;
    double ttft_slowdown_per_inflight = 0.0;
    double decode_slowdown_per_inflight = 0.0;
    std::vector<Outage> outages;  // sorted, non-overlapping
};

struct Range {
    std::int64_t min = 0;
    std::int64_t max = 0;
};

// One kind of request in the mix: "chat" (one user message), "document"
// (one message holding a long text part) or "embedding" (an input list of
// `items` strings sharing the prompt characters; no output).
struct MixEntry {
    std::string kind;
    double share = 1.0;
    Range prompt_chars;
    Range output_tokens;
    Range items{1, 1};
};

// Arrival process: "steady" (Poisson at rate_per_sec), "bursty" (Poisson at
// rate_per_sec, and at burst_rate_per_sec during the burst_length_sec that
// start every burst_every_sec, from burst_every_sec on) or "fixed"
// (explicit arrival times).
struct ArrivalConfig {
    std::string kind = "steady";
    double rate_per_sec = 1.0;
    double burst_rate_per_sec = 0.0;
    double burst_every_sec = 0.0;
    double burst_length_sec = 0.0;
    std::vector<double> times;
};

struct Scenario {
    std::string name = "custom";
    std::uint64_t seed = 1;
    double duration_sec = 600.0;
    std::string model = "sim-model";
    std::vector<std::int64_t> clusters{1};
    std::string tier = "default";
    std::string algorithm = "weighted_round_robin";
    std::optional<double> reaper_interval_sec = 15.0;    // none: no reaper
    std::optional<double> crashed_lease_hold_sec = 90.0;  // none: never released
    std::vector<BackendConfig> backends;
    ArrivalConfig arrivals;
    std::vector<MixEntry> mix;
};

// The built-in scenario as JSON text (examples/scenario.json holds the same).
std::string_view builtin_scenario_text();

struct Overrides {
    std::optional<std::uint64_t> seed;
    std::optional<double> duration_sec;
};

// Reads and validates a scenario; unknown keys are errors (they are usually
// typos). Overrides apply before validation. Throws ScenarioError.
Scenario parse_scenario(const boost::json::value& doc, const Overrides& overrides = {});
Scenario parse_scenario_text(std::string_view text, const Overrides& overrides = {});

// Percentile summary; absent when there were no samples.
struct Summary {
    std::size_t count = 0;
    std::optional<double> p50, p95, p99;
};

struct RunResult {
    std::string mode;
    bool queue_enabled = false;
    std::size_t arrived = 0;
    std::size_t served = 0;
    std::size_t failed = 0;      // cut by a backend crash, or sent to a down backend
    std::size_t unfinished = 0;  // still waiting or running when the drain limit passed
    std::vector<std::pair<std::string, std::int64_t>> refused;  // the balancer's reject_counts
    Summary ttft;        // arrival to first token, served requests
    Summary queue_wait;  // wait_for_slot time of served requests that were parked
    Summary completion;  // arrival to last token, served requests
    double throughput_rps = 0.0;  // served / duration
    std::string prometheus;       // prometheus_text() at the end of the run
};

// Runs the scenario once in `mode` (one of the four routing modes). Throws
// ScenarioError for an unknown mode.
RunResult run_simulation(const Scenario& scenario, std::string_view mode);

// Runs every mode in `modes`, in order, on the same workload.
std::vector<RunResult> run_modes(const Scenario& scenario, const std::vector<std::string>& modes);

// The report: a JSON object, or a text table followed by the last run's
// Prometheus exposition.
boost::json::object report_json(const Scenario& scenario, const std::vector<RunResult>& runs);
std::string report_table(const Scenario& scenario, const std::vector<RunResult>& runs);

}  // namespace quillmar::lb::sim
