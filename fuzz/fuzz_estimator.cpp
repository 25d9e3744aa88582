// Arbitrary bytes as a request body: whatever parses must give a
// non-negative estimate that survives a serialise/parse round trip.
#include "load_balancer/estimator.hpp"
#include "load_balancer/settings.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void fail(const char* what, std::int64_t a, std::int64_t b) {
    std::fprintf(stderr, "fuzz_estimator: %s (%lld vs %lld)\n", what, static_cast<long long>(a),
                 static_cast<long long>(b));
    std::abort();
}

// Boost.JSON writes an out-of-range number (parsed as +-inf) as "Infinity",
// which its own parser refuses; only such bodies may fail the round trip.
bool has_non_finite(const boost::json::value& v) {
    if (v.is_double()) return !std::isfinite(v.get_double());
    if (const auto* a = v.if_array()) {
        for (const auto& x : *a)
            if (has_non_finite(x)) return true;
    } else if (const auto* o = v.if_object()) {
        for (const auto& m : *o)
            if (has_non_finite(m.value())) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace json = boost::json;
    quillmar::lb::IMAGE_TOKEN_COST = quillmar::lb::detail::DEFAULT_IMAGE_TOKEN_COST;

    boost::system::error_code ec;
    json::value body = json::parse(std::string_view(reinterpret_cast<const char*>(data), size), ec);
    if (ec) return 0;

    const quillmar::lb::TokenCounts counts = quillmar::lb::count_request_tokens(body);
    const std::int64_t estimate = quillmar::lb::estimate_request_tokens(body);
    if (estimate < 0) fail("negative estimate", estimate, 0);
    if (counts.total_chars < 0 || counts.token_ids < 0 || counts.image_count < 0) fail("negative counter", 0, 0);
    if (estimate != quillmar::lb::estimate_from_counts(counts, quillmar::lb::IMAGE_TOKEN_COST))
        fail("estimate differs from its counters", estimate, 0);
    // Code points never exceed bytes, and every id and image takes bytes too.
    const auto bytes = static_cast<std::int64_t>(size);
    if (counts.total_chars > bytes || counts.token_ids > bytes || counts.image_count > bytes)
        fail("counter larger than the input", counts.total_chars, bytes);

    std::string again = json::serialize(body);
    json::value reparsed = json::parse(again, ec);
    if (ec) {
        if (has_non_finite(body)) return 0;
        fail("serialised body does not parse", 0, 0);
    }
    const std::int64_t second = quillmar::lb::estimate_request_tokens(reparsed);
    if (second != estimate) fail("estimate changed across a round trip", estimate, second);
    if (quillmar::lb::count_request_tokens(reparsed) != counts) fail("counters changed across a round trip", 0, 0);
    return 0;
}
