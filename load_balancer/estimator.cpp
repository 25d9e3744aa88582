#include "load_balancer/estimator.hpp"

#include "load_balancer/detail/token_walk.hpp"
#include "load_balancer/settings.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include <cstddef>
#include <limits>
#include <string_view>

namespace quillmar::lb {

namespace json = boost::json;

namespace {

// boost::json::value as a document model for the shared walk. Its objects
// hold each key once (the parser keeps the last duplicate), so a lookup is
// the duplicate rule already.
struct BoostDom {
    using Value = const json::value*;

    static bool string(Value v, std::string_view& out) noexcept {
        const json::string* s = v->if_string();
        if (s == nullptr) return false;
        out = *s;
        return true;
    }
    // Booleans count as integers, the way a pre-tokenized id list is read.
    static bool is_integer(Value v) noexcept { return v->is_int64() || v->is_uint64() || v->is_bool(); }
    static bool is_array(Value v) noexcept { return v->is_array(); }
    static bool is_object(Value v) noexcept { return v->is_object(); }

    struct Items {
        const json::value* first;
        const json::value* last;
        struct iterator {
            const json::value* p;
            Value operator*() const noexcept { return p; }
            iterator& operator++() noexcept { ++p; return *this; }
            bool operator!=(const iterator& o) const noexcept { return p != o.p; }
        };
        iterator begin() const noexcept { return {first}; }
        iterator end() const noexcept { return {last}; }
    };
    static Items items(Value v) noexcept {
        const json::array& a = v->get_array();
        return {a.data(), a.data() + a.size()};
    }
    static bool field(Value obj, std::string_view key, Value& out) noexcept {
        out = obj->get_object().if_contains(key);
        return out != nullptr;
    }
};

}  // namespace

TokenCounts count_request_tokens(const json::value& body) noexcept {
    return detail::walk_request_tokens<BoostDom>(&body);
}

std::int64_t estimate_from_counts(const TokenCounts& counts, std::int64_t image_token_cost) noexcept {
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    std::int64_t images = 0;
    if (__builtin_mul_overflow(counts.image_count, image_token_cost, &images)) {
        images = (image_token_cost < 0) != (counts.image_count < 0) ? lo : hi;
    }
    std::int64_t text = counts.total_chars / 4 + counts.token_ids;
    std::int64_t out = 0;
    if (__builtin_add_overflow(text, images, &out)) out = images < 0 ? lo : hi;
    return out;
}

std::int64_t estimate_request_tokens(const json::value& body) noexcept {
    return estimate_from_counts(count_request_tokens(body), IMAGE_TOKEN_COST);
}

}  // namespace quillmar::lb
