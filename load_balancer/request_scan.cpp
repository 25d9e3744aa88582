#include "load_balancer/request_scan.hpp"

#include "load_balancer/detail/json_scan.hpp"
#include "load_balancer/detail/token_walk.hpp"
#include "load_balancer/settings.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/serialize.hpp>

#include <charconv>
#include <cstdint>

namespace quillmar::lb {

namespace json = boost::json;

namespace {

using detail::JsonKind;
using detail::JsonNode;

// The scanner's tape as a document model for the shared walk. Objects keep
// every member in text order, so a lookup scans them all and keeps the last
// match, which is the member Boost.JSON's parser keeps for a duplicate key.
struct TapeDom {
    struct Value {
        const JsonNode* node = nullptr;
        const char* text = nullptr;  // the scanned body
    };

    // The node after v and everything v holds.
    static const JsonNode* next(const JsonNode* n) noexcept {
        return n->kind == JsonKind::object || n->kind == JsonKind::array ? n + 1 + n->aux : n + 1;
    }
    static std::string_view raw(Value v) noexcept { return {v.text + v.node->pos, v.node->len}; }

    class Items {
    public:
        class iterator {
        public:
            iterator(Value v) noexcept : v_(v) {}
            Value operator*() const noexcept { return v_; }
            iterator& operator++() noexcept {
                v_.node = next(v_.node);
                return *this;
            }
            bool operator!=(const iterator& o) const noexcept { return v_.node != o.v_.node; }

        private:
            Value v_;
        };
        explicit Items(Value array) noexcept
            : first_{array.node + 1, array.text}, last_{array.node + 1 + array.node->aux, array.text} {}
        iterator begin() const noexcept { return first_; }
        iterator end() const noexcept { return last_; }

    private:
        Value first_, last_;
    };

    // Decoded text; a string with escapes is decoded into a per-thread
    // buffer that the next such call overwrites (fields() has its own, so a
    // key lookup leaves a decoded value intact).
    static bool string(Value v, std::string_view& out) {
        if (v.node->kind != JsonKind::string) return false;
        thread_local std::string buffer;
        out = v.node->escaped ? decoded(raw(v), buffer) : raw(v);
        return true;
    }
    // Each escape counts once, whatever its spelling: no decoding needed.
    static bool chars(Value v, std::int64_t& out) noexcept {
        if (v.node->kind != JsonKind::string) return false;
        out = detail::code_points(raw(v)) - v.node->aux;
        return true;
    }
    // Booleans count as integers, the way a pre-tokenized id list is read.
    static bool is_integer(Value v) noexcept {
        return v.node->kind == JsonKind::integer || v.node->kind == JsonKind::boolean;
    }
    static bool is_array(Value v) noexcept { return v.node->kind == JsonKind::array; }
    static bool is_object(Value v) noexcept { return v.node->kind == JsonKind::object; }
    static Items items(Value v) noexcept { return Items(v); }

    // The escaped string `text` decoded into `buffer`.
    static std::string_view decoded(std::string_view text, std::string& buffer) {
        buffer.clear();
        detail::decode_json_string(text, buffer);
        return buffer;
    }
    // Every key of `keys` in one pass over the members (the last of a
    // duplicate wins, as in field()).
    template <std::size_t N>
    static void fields(Value obj, const std::array<std::string_view, N>& keys, std::array<Value, N>& out,
                       std::array<bool, N>& found) {
        const JsonNode* end = obj.node + 1 + obj.node->aux;
        for (const JsonNode* k = obj.node + 1; k != end; k = next(k + 1)) {
            std::string_view name = raw({k, obj.text});
            thread_local std::string buffer;
            if (k->escaped) name = decoded(name, buffer);
            for (std::size_t i = 0; i < N; ++i) {
                if (name == keys[i]) {
                    out[i] = {k + 1, obj.text};
                    found[i] = true;
                }
            }
        }
    }
    static bool field(Value obj, std::string_view key, Value& out) {
        if (obj.node->kind != JsonKind::object) return false;
        std::array<Value, 1> member{};
        std::array<bool, 1> found{};
        fields(obj, std::array{key}, member, found);
        if (found[0]) out = member[0];
        return found[0];
    }
};

// Bodies up to this size reuse the thread's tape; larger ones get a tape of
// their own so one huge request does not pin its nodes (up to eight bytes
// per body byte) to the thread for good.
constexpr std::size_t kReusedTapeBytes = std::size_t{1} << 20;

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

// An integer's text the way boost::json::serialize prints its value ("-0"
// is the integer 0).
std::string integer_text(std::string_view literal) {
    if (literal.front() == '-') {
        std::int64_t n = 0;
        std::from_chars(literal.data(), literal.data() + literal.size(), n);
        return std::to_string(n);
    }
    std::uint64_t n = 0;
    std::from_chars(literal.data(), literal.data() + literal.size(), n);
    return std::to_string(n);
}

// Fills the routed member from the tape when its text is exact without a
// Boost.JSON value; false when only boost::json::serialize can give it
// (floats print in Boost's own format, containers in its member order).
bool routed_from_tape(TapeDom::Value root, std::string_view name, ScannedRequest& out) {
    TapeDom::Value v;
    if (name.empty() || !TapeDom::field(root, name, v)) return true;
    switch (v.node->kind) {
    case JsonKind::string: {
        std::string_view text;
        TapeDom::string(v, text);
        out.routed_kind = FieldKind::string;
        out.routed_text = text;
        return true;
    }
    case JsonKind::null:
        out.routed_kind = FieldKind::null;
        return true;
    case JsonKind::integer:
        out.routed_text = integer_text(TapeDom::raw(v));
        break;
    case JsonKind::boolean:
        out.routed_text = v.node->aux != 0 ? "true" : "false";
        break;
    default:
        return false;
    }
    out.routed_kind = FieldKind::other;
    return true;
}

// Reads a validated tape; false when the Boost.JSON path must answer.
bool read_tape(TapeDom::Value root, const ScanOptions& options, ScannedRequest& out) {
    if (root.node->kind != JsonKind::object) return true;
    out.is_object = true;
    if (!routed_from_tape(root, options.routed_field, out)) return false;
    out.counts = detail::walk_request_tokens<TapeDom>(root);
    out.estimate = estimate_from_counts(out.counts, IMAGE_TOKEN_COST);
    TapeDom::Value model;
    std::string_view name;
    if (TapeDom::field(root, "model", model) && TapeDom::string(model, name)) out.model.emplace(name);
    return true;
}

bool scan_with_tape(detail::JsonTape& tape, std::string_view body, const ScanOptions& options,
                    ScannedRequest& out) {
    if (!tape.scan(body, options.max_depth)) return false;
    return read_tape({tape.root(), body.data()}, options, out);
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
    // Whatever the scanner leaves undecided (invalid bodies, exponents near
    // Boost.JSON's int32 limit, routed floats and containers) is judged by
    // Boost.JSON, whose verdict and message are the reference.
    if (options.max_depth >= 1) {
        ScannedRequest out;
        bool done = false;
        if (body.size() <= kReusedTapeBytes) {
            thread_local detail::JsonTape tape;
            done = scan_with_tape(tape, body, options, out);
        } else {
            detail::JsonTape tape;
            done = scan_with_tape(tape, body, options, out);
        }
        if (done) return out;
    }
    return scan_with_boost(body, options);
}

}  // namespace quillmar::lb
