// Recorded traffic for the simulator: one request per line, either JSON
// objects (the proxy's JSON access log, or a minimal form) or CSV with a
// header. Reading checks every line and keeps nothing of a bad file.
//
// JSON lines: each non-blank line is an object. Its arrival time is "t" or
// "ts": epoch seconds (a number) or an RFC 3339 date-time text
// ("2026-12-07T11:05:45.250Z", "...+01:00"). Its input tokens are
// "input_tokens" (the proxy's estimate), else "prompt_tokens"; a line with
// neither (or both null) never reached the balancer and is skipped. Output
// tokens are "output_tokens", else "completion_tokens"; absent or null
// means "draw it". "model" is optional text. Other members are ignored.
//
// CSV: a header row naming the columns (any order; "t" or "ts",
// "input_tokens", optional "model" and "output_tokens"), then one row per
// request; an empty output cell means "draw it". Cells are plain text
// without quotes or commas.
#pragma once

#include "simulate/scenario.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::lb::sim {

// A malformed trace; what() names the line ("line 7: ...").
class TraceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TraceRequest {
    double t = 0.0;               // seconds after the earliest request of the trace
    std::string model;            // empty when the trace does not say
    std::int64_t input_tokens = 0;
    std::optional<std::int64_t> output_tokens;  // none: drawn from the scenario's mix
};

struct Trace {
    std::vector<TraceRequest> requests;  // in arrival order (stable for equal times)
    std::size_t skipped = 0;             // lines without an input-token count
};

// Most requests one trace may hold; a bigger file is refused rather than
// simulated for minutes.
inline constexpr std::size_t kMaxTraceRequests = kMaxRequests;

// Parses a whole trace. Throws TraceError naming the first bad line. Cost
// linear in the text.
Trace parse_trace(std::string_view text);

// Epoch seconds of an RFC 3339 date-time ("T", "t" or a space between date
// and time; "Z" or a +hh:mm / -hh:mm offset; optional fraction), or none.
std::optional<double> parse_rfc3339(std::string_view text);

}  // namespace quillmar::lb::sim
