// Simulation scenarios: the simulated backends and the generated workload,
// read from JSON and validated whole before anything runs.
#pragma once

#include <boost/json/value.hpp>

#include <cstddef>
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

// Most requests one run may simulate, generated or replayed: more is
// refused rather than simulated for many minutes.
inline constexpr std::size_t kMaxRequests = 2'000'000;
// The longest span of simulated time a scenario may name.
inline constexpr double kMaxSimulatedSec = 7 * 24 * 3600.0;

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

// The built-in scenarios, by name; the first is the default and
// examples/scenario.json holds a copy of it.
const std::vector<std::string_view>& builtin_scenario_names();
// The JSON text of a built-in scenario (the default one when `name` is
// empty). Throws ScenarioError for an unknown name.
std::string_view builtin_scenario_text(std::string_view name = {});

struct Overrides {
    std::optional<std::uint64_t> seed;
    std::optional<double> duration_sec;
    std::optional<std::string> algorithm;
};

// Reads and validates a scenario; unknown keys are errors (they are usually
// typos). Overrides apply before validation. Throws ScenarioError.
Scenario parse_scenario(const boost::json::value& doc, const Overrides& overrides = {});
Scenario parse_scenario_text(std::string_view text, const Overrides& overrides = {});

// Throws ScenarioError unless `algorithm` is one the balancer knows.
void check_algorithm(std::string_view algorithm, std::string_view what);

}  // namespace quillmar::lb::sim
