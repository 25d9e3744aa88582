// The requests of one simulation, generated from a scenario's arrival
// process and mix, or replayed from a trace. Either way the outcome depends
// only on the inputs and the seed.
#pragma once

#include "simulate/scenario.hpp"
#include "simulate/trace.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmar::lb::sim {

struct Request {
    double t = 0.0;                   // arrival, seconds from the start
    std::int64_t input_tokens = 0;    // what the host estimates, and the backend prefills
    std::int64_t output_tokens = 0;   // what the backend decodes
};

struct Workload {
    std::string source;                 // "scenario" or "trace"
    std::vector<Request> requests;      // in arrival order
    double duration_sec = 0.0;          // arrivals happen in [0, duration_sec)
    std::size_t skipped = 0;            // trace lines without a token count
    std::size_t drawn_outputs = 0;      // trace requests whose output length was drawn
    std::size_t models = 0;             // distinct models named by the trace
};

// The scenario's own arrivals and mix, over its duration. Each request body
// is built as a client would send it and estimated with the balancer's
// estimator. Linear in the number of requests (and their text).
Workload generate_workload(const Scenario& scenario);

// The trace's requests (those arriving within `duration_sec` when given; by
// default all of them, the run lasting until the last arrival). Output
// lengths the trace lacks are drawn from the scenario's mix with its seed.
Workload replay_trace(const Scenario& scenario, const Trace& trace, std::optional<double> duration_sec);

}  // namespace quillmar::lb::sim
