// Trace reading (the simulator's hostile input): any bytes either give a
// TraceError or requests that keep the documented promises: times from 0
// on, in order, within a week; token counts within their limits.
#include "simulate/trace.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_trace: %s\n", what);
    std::abort();
}

void check(const quillmar::lb::sim::Trace& trace) {
    if (trace.requests.empty()) fail("an empty trace was accepted");
    if (trace.requests.size() > quillmar::lb::sim::kMaxTraceRequests) fail("too many requests");
    if (trace.requests.front().t != 0.0) fail("times do not start at 0");
    double last = 0.0;
    for (const auto& r : trace.requests) {
        if (!std::isfinite(r.t) || r.t < last || r.t > 7 * 24 * 3600.0) fail("time out of order or range");
        last = r.t;
        if (r.input_tokens < 0 || r.input_tokens > 100'000'000) fail("input tokens out of range");
        if (r.output_tokens && (*r.output_tokens < 0 || *r.output_tokens > 100'000'000))
            fail("output tokens out of range");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto t = quillmar::lb::sim::parse_rfc3339(text); t && !std::isfinite(*t)) fail("non-finite date-time");
    try {
        check(quillmar::lb::sim::parse_trace(text));
    } catch (const quillmar::lb::sim::TraceError&) {
        // refused, as it should be when malformed
    }
    return 0;
}
