// Differential check of the raw-bytes request reader against the document
// road: Boost.JSON parses the same bytes, and the estimator, "model" and the
// routed member are read from that tree the way the proxy reads them. Both
// must accept with equal results, or both refuse (and agree on "too deep").
// The first input byte picks the nesting limit (1 to 40); the rest is the
// body.
#include "load_balancer/estimator.hpp"
#include "load_balancer/request_scan.hpp"
#include "load_balancer/settings.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

namespace json = boost::json;
namespace lb = quillmar::lb;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_request_scan: %s\n", what);
    std::abort();
}

// The proxy's reading of a parsed body.
void expect_same_reading(const json::value& body, const lb::ScannedRequest& got) {
    if (got.is_object != body.is_object()) fail("object-ness differs");
    if (got.counts != lb::count_request_tokens(body)) fail("counts differ");
    if (got.estimate != lb::estimate_request_tokens(body)) fail("estimate differs");
    if (!body.is_object()) {
        if (got.model || got.routed_kind != lb::FieldKind::absent) fail("fields read from a non-object");
        return;
    }
    const json::value* model = body.get_object().if_contains("model");
    const bool has_model = model != nullptr && model->is_string();
    if (has_model != got.model.has_value() || (has_model && *got.model != model->get_string()))
        fail("model differs");
    const json::value* routed = body.get_object().if_contains("user");
    lb::FieldKind kind = lb::FieldKind::absent;
    std::string text;
    if (routed != nullptr && routed->is_string()) {
        kind = lb::FieldKind::string;
        text = routed->get_string();
    } else if (routed != nullptr && routed->is_null()) {
        kind = lb::FieldKind::null;
    } else if (routed != nullptr) {
        kind = lb::FieldKind::other;
        text = json::serialize(*routed);
    }
    if (kind != got.routed_kind || text != got.routed_text) fail("routed member differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    lb::IMAGE_TOKEN_COST = lb::detail::DEFAULT_IMAGE_TOKEN_COST;
    const std::size_t max_depth = 1 + data[0] % 40;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    json::parse_options po;
    po.max_depth = max_depth;
    boost::system::error_code ec;
    const json::value body = json::parse(text, ec, {}, po);
    const lb::ScannedRequest got = lb::scan_request(text, {.routed_field = "user", .max_depth = max_depth});

    if (ec) {
        if (got.status == lb::ScanStatus::ok) fail("accepted a body Boost.JSON refuses");
        if ((ec == json::error::too_deep) != (got.status == lb::ScanStatus::too_deep)) fail("depth verdict differs");
        if (got.error.empty() || got.error_offset > text.size()) fail("refusal without a usable message");
        return 0;
    }
    if (got.status != lb::ScanStatus::ok) fail("refused a body Boost.JSON accepts");
    expect_same_reading(body, got);
    return 0;
}
