#include "load_balancer/request_scan.hpp"

#include "load_balancer/detail/token_walk.hpp"
#include "load_balancer/settings.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/serialize.hpp>
#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmar::lb {

namespace json = boost::json;
namespace dom = simdjson::dom;

namespace {

// simdjson's tape as a document model for the shared walk. Objects keep
// every member in text order, so a lookup scans them all and keeps the last
// match, which is the member Boost.JSON's parser keeps for a duplicate key.
struct TapeDom {
    using Value = dom::element;

    static bool string(Value v, std::string_view& out) noexcept {
        if (v.type() != dom::element_type::STRING) return false;
        return v.get(out) == simdjson::SUCCESS;
    }
    // Booleans count as integers, the way a pre-tokenized id list is read.
    static bool is_integer(Value v) noexcept {
        const dom::element_type t = v.type();
        return t == dom::element_type::INT64 || t == dom::element_type::UINT64 || t == dom::element_type::BOOL;
    }
    static bool is_array(Value v) noexcept { return v.type() == dom::element_type::ARRAY; }
    static bool is_object(Value v) noexcept { return v.type() == dom::element_type::OBJECT; }
    static dom::array items(Value v) noexcept {
        dom::array a;
        const simdjson::error_code kind_checked = v.get(a);  // the walk checked the kind
        (void)kind_checked;
        return a;
    }
    static bool field(Value obj, std::string_view key, Value& out) noexcept {
        dom::object members;
        if (obj.get(members) != simdjson::SUCCESS) return false;
        bool found = false;
        for (dom::key_value_pair member : members) {
            if (member.key == key) {
                out = member.value;
                found = true;
            }
        }
        return found;
    }
};

// Bodies up to this size reuse the thread's parser; larger ones get a
// parser of their own so one huge request does not pin its buffers (about
// ten bytes per body byte) to the thread for good.
constexpr std::size_t kReusedParserBytes = std::size_t{1} << 20;

// simdjson needs at least one level, and allocates per level: very large
// limits go to the Boost.JSON path.
constexpr std::size_t kTapeMaxDepth = 1u << 16;

// True when `text` holds a run of at least ten ASCII digits. Sixteen bytes
// at a time; the digit flags of the last 64 bytes stay in `window` (newest
// in the high bits), so a run across blocks is seen too.
bool has_long_digit_run(std::string_view text) noexcept {
    constexpr int kRun = 10;
    const char* p = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    std::uint64_t window = 0;
#if defined(__SSE2__)
    const __m128i below = _mm_set1_epi8('0' - 1);
    const __m128i above = _mm_set1_epi8('9' + 1);
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // Signed compares: bytes of 0x80 and up are negative and fail the first.
        const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, below), _mm_cmplt_epi8(v, above));
        const auto mask = static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(digit)));
        window = (window >> 16) | (mask << 48);
        if (mask == 0) continue;
        std::uint64_t run = window;
        for (int k = 1; k < kRun; ++k) run &= window >> k;
        if (run != 0) return true;
    }
#endif
    int run = 0;
    for (std::size_t back = i; back > 0 && run < kRun && p[back - 1] >= '0' && p[back - 1] <= '9'; --back) ++run;
    for (; i < n; ++i) {
        run = (p[i] >= '0' && p[i] <= '9') ? run + 1 : 0;
        if (run >= kRun) return true;
    }
    return false;
}

// True when `text` may hold a number whose exponent Boost.JSON refuses as
// out of range (a magnitude beyond int32) while simdjson reads it as 0:
// "e" or "E", an optional sign, then ten or more digits after leading
// zeros. Strings are not told apart, so text like "e1234567890" inside a
// string also answers true; that only costs the Boost.JSON path.
bool may_overflow_exponent(std::string_view text) noexcept {
    if (!has_long_digit_run(text)) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != 'e' && text[i] != 'E') continue;
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        while (j < text.size() && text[j] == '0') ++j;
        std::size_t digits = 0;
        while (j + digits < text.size() && text[j + digits] >= '0' && text[j + digits] <= '9') ++digits;
        if (digits >= 10) return true;
    }
    return false;
}

// True when the parsed tape holds a float equal to zero. A number whose
// exponent Boost.JSON refuses (beyond int32) has a zero mantissa or a huge
// negative exponent, so on simdjson's tape it can only be such a zero; any
// other body needs no look at its text. Reads the tape words directly
// (type in the top byte; numbers take a second word): one pass over the
// values, no text.
bool tape_has_zero_float(const dom::parser& parser) noexcept {
    const std::uint64_t* tape = parser.doc.tape.get();
    const std::uint64_t end = tape[0] & 0x00FFFFFFFFFFFFFFull;  // the root word names the last one
    for (std::uint64_t i = 1; i < end; ++i) {
        const auto type = static_cast<char>(tape[i] >> 56);
        if (type == 'l' || type == 'u') {
            ++i;
        } else if (type == 'd') {
            if ((tape[i + 1] << 1) == 0) return true;  // +0.0 or -0.0
            ++i;
        }
    }
    return false;
}

// The slow path: Boost.JSON's parser decides validity and builds the tree.
ScannedRequest scan_with_boost(std::string_view body, const ScanOptions& options) {
    json::parse_options po;
    po.max_depth = options.max_depth;
    json::parser parser(json::make_shared_resource<json::monotonic_resource>(), po);
    boost::system::error_code ec;
    const std::size_t used = parser.write(body.data(), body.size(), ec);
    if (ec) {
        ScannedRequest out;
        out.status = ec == json::error::too_deep ? ScanStatus::too_deep : ScanStatus::invalid_json;
        out.error = ec.message();
        out.error_offset = used;
        return out;
    }
    return scan_parsed_request(parser.release(), options.routed_field);
}

// Fills the routed member from the tape when its text is exact without a
// Boost.JSON value; false when only boost::json::serialize can give it
// (floats print in Boost's own format, containers in its member order).
bool routed_from_tape(dom::element root, std::string_view name, ScannedRequest& out) {
    dom::element v;
    if (name.empty() || !TapeDom::field(root, name, v)) return true;
    switch (v.type()) {
    case dom::element_type::STRING: {
        std::string_view text;
        if (v.get(text) != simdjson::SUCCESS) return false;
        out.routed_kind = FieldKind::string;
        out.routed_text = text;
        return true;
    }
    case dom::element_type::NULL_VALUE:
        out.routed_kind = FieldKind::null;
        return true;
    case dom::element_type::INT64: {
        std::int64_t n = 0;
        if (v.get(n) != simdjson::SUCCESS) return false;
        out.routed_text = std::to_string(n);
        break;
    }
    case dom::element_type::UINT64: {
        std::uint64_t n = 0;
        if (v.get(n) != simdjson::SUCCESS) return false;
        out.routed_text = std::to_string(n);
        break;
    }
    case dom::element_type::BOOL: {
        bool b = false;
        if (v.get(b) != simdjson::SUCCESS) return false;
        out.routed_text = b ? "true" : "false";
        break;
    }
    default:
        return false;
    }
    out.routed_kind = FieldKind::other;
    return true;
}

// Reads a validated tape; false when the Boost.JSON path must answer.
bool read_tape(dom::element root, const ScanOptions& options, ScannedRequest& out) {
    if (root.type() != dom::element_type::OBJECT) return true;
    out.is_object = true;
    if (!routed_from_tape(root, options.routed_field, out)) return false;
    out.counts = detail::walk_request_tokens<TapeDom>(root);
    out.estimate = estimate_from_counts(out.counts, IMAGE_TOKEN_COST);
    dom::element model;
    std::string_view name;
    if (TapeDom::field(root, "model", model) && TapeDom::string(model, name)) out.model.emplace(name);
    return true;
}

bool scan_with_parser(dom::parser& parser, std::string_view body, const ScanOptions& options,
                      ScannedRequest& out) {
    if (parser.max_depth() != options.max_depth &&
        parser.allocate(std::max(parser.capacity(), body.size()), options.max_depth) != simdjson::SUCCESS) {
        return false;
    }
    // The body is copied into the parser's padded buffer: simdjson reads a
    // few bytes past the end of its input.
    dom::element root;
    if (parser.parse(body.data(), body.size(), true).get(root) != simdjson::SUCCESS) return false;
    // The one text simdjson accepts and Boost.JSON refuses.
    if (tape_has_zero_float(parser) && may_overflow_exponent(body)) return false;
    return read_tape(root, options, out);
}

}  // namespace

ScannedRequest scan_parsed_request(const json::value& body, std::string_view routed_field) {
    ScannedRequest out;
    const json::object* obj = body.if_object();
    if (obj == nullptr) return out;
    out.is_object = true;
    out.counts = count_request_tokens(body);
    out.estimate = estimate_from_counts(out.counts, IMAGE_TOKEN_COST);
    if (const json::value* m = obj->if_contains("model"); m != nullptr && m->is_string()) {
        out.model.emplace(m->get_string());
    }
    if (const json::value* v = routed_field.empty() ? nullptr : obj->if_contains(routed_field)) {
        if (v->is_string()) {
            out.routed_kind = FieldKind::string;
            out.routed_text = v->get_string();
        } else if (v->is_null()) {
            out.routed_kind = FieldKind::null;
        } else {
            out.routed_kind = FieldKind::other;
            out.routed_text = json::serialize(*v);
        }
    }
    return out;
}

ScannedRequest scan_request(std::string_view body, const ScanOptions& options) {
    // Any refusal by simdjson is re-judged by Boost.JSON: it accepts some
    // numbers simdjson refuses, and its verdict and message are the
    // reference for invalid bodies. The one text simdjson accepts and
    // Boost.JSON refuses, an exponent beyond int32, goes there too.
    if (options.max_depth >= 1 && options.max_depth <= kTapeMaxDepth) {
        ScannedRequest out;
        bool done = false;
        if (body.size() <= kReusedParserBytes) {
            thread_local dom::parser parser;
            done = scan_with_parser(parser, body, options, out);
        } else {
            auto parser = std::make_unique<dom::parser>();
            done = scan_with_parser(*parser, body, options, out);
        }
        if (done) return out;
    }
    return scan_with_boost(body, options);
}

}  // namespace quillmar::lb
