#include "load_balancer/values.hpp"

#include <boost/json/serialize.hpp>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace quillmar::lb {

namespace json = boost::json;

namespace {

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

std::string_view strip(std::string_view s) noexcept {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

// Copies the digit run starting at `pos` into `out` without underscores.
// Underscores are accepted only between two digits. Returns the number of
// digits read (0 when the run is empty or malformed); `pos` ends after it.
std::size_t take_digits(std::string_view s, std::size_t& pos, std::string& out, bool& bad) noexcept {
    std::size_t digits = 0;
    while (pos < s.size()) {
        char c = s[pos];
        if (is_digit(c)) {
            out.push_back(c);
            ++digits;
            ++pos;
        } else if (c == '_' && digits > 0 && pos + 1 < s.size() && is_digit(s[pos + 1])) {
            ++pos;
        } else {
            break;
        }
    }
    if (pos < s.size() && s[pos] == '_') bad = true;
    return digits;
}

std::string_view kind_name(const json::value& v) noexcept {
    switch (v.kind()) {
        case json::kind::null: return "null";
        case json::kind::bool_: return "bool";
        case json::kind::int64:
        case json::kind::uint64: return "integer";
        case json::kind::double_: return "float";
        case json::kind::string: return "string";
        case json::kind::array: return "array";
        case json::kind::object: return "object";
    }
    return "value";
}

[[noreturn]] void not_a_number(const json::value& v, std::string_view what) {
    throw ValueError(std::string(what) + ": cannot use a " + std::string(kind_name(v)) +
                     " value " + json::serialize(v));
}

std::int64_t truncate_double(double d, const json::value& v) {
    // The range test is done on the truncated value: [-2^63, 2^63).
    double t = std::trunc(d);
    if (!std::isfinite(t) || t < -9223372036854775808.0 || t >= 9223372036854775808.0)
        not_a_number(v, "integer conversion");
    return static_cast<std::int64_t>(t);
}

// Exact comparison of a double with an int64 (no rounding of the integer).
std::partial_ordering compare_double_int(double d, std::int64_t i) noexcept {
    if (std::isnan(d)) return std::partial_ordering::unordered;
    if (d >= 9223372036854775808.0) return std::partial_ordering::greater;
    if (d < -9223372036854775808.0) return std::partial_ordering::less;
    const double t = std::trunc(d);
    const auto whole = static_cast<std::int64_t>(t);
    if (whole != i) return whole <=> i;
    return d <=> t;  // the fraction decides
}

// Exact comparison of a double with a uint64 above the int64 range.
std::partial_ordering compare_double_big_uint(double d, std::uint64_t u) noexcept {
    if (std::isnan(d)) return std::partial_ordering::unordered;
    if (d >= 18446744073709551616.0) return std::partial_ordering::greater;
    if (d < 9223372036854775808.0) return std::partial_ordering::less;
    const auto whole = static_cast<std::uint64_t>(d);  // d is integral in this range
    return whole <=> u;
}

std::partial_ordering reversed(std::partial_ordering o) noexcept { return 0 <=> o; }

std::partial_ordering compare_int_with(std::int64_t lhs, std::int64_t rhs) noexcept { return lhs <=> rhs; }
std::partial_ordering compare_int_with(std::int64_t lhs, double rhs) noexcept {
    return reversed(compare_double_int(rhs, lhs));
}
std::partial_ordering compare_uint_with(std::uint64_t lhs, std::int64_t rhs) noexcept {
    if (rhs < 0) return std::partial_ordering::greater;
    return lhs <=> static_cast<std::uint64_t>(rhs);
}
std::partial_ordering compare_uint_with(std::uint64_t lhs, double rhs) noexcept {
    if (lhs <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return compare_int_with(static_cast<std::int64_t>(lhs), rhs);
    return reversed(compare_double_big_uint(rhs, lhs));
}
std::partial_ordering compare_double_with(double lhs, std::int64_t rhs) noexcept {
    return compare_double_int(lhs, rhs);
}
std::partial_ordering compare_double_with(double lhs, double rhs) noexcept { return lhs <=> rhs; }

template <class Rhs>
std::partial_ordering compare_impl(const json::value& v, Rhs rhs) {
    switch (v.kind()) {
        case json::kind::bool_: return compare_int_with(v.get_bool() ? 1 : 0, rhs);
        case json::kind::int64: return compare_int_with(v.get_int64(), rhs);
        case json::kind::uint64: return compare_uint_with(v.get_uint64(), rhs);
        case json::kind::double_: return compare_double_with(v.get_double(), rhs);
        default: not_a_number(v, "numeric comparison");
    }
}

}  // namespace

ServerRecord make_record(json::object obj) {
    return std::make_shared<const json::object>(std::move(obj));
}

KeyError::KeyError(std::string key)
    : std::out_of_range("missing key '" + key + "'"), key_(std::move(key)) {}

bool is_falsy(const json::value& v) noexcept {
    switch (v.kind()) {
        case json::kind::null: return true;
        case json::kind::bool_: return !v.get_bool();
        case json::kind::int64: return v.get_int64() == 0;
        case json::kind::uint64: return v.get_uint64() == 0;
        case json::kind::double_: return v.get_double() == 0.0;
        case json::kind::string: return v.get_string().empty();
        case json::kind::array: return v.get_array().empty();
        case json::kind::object: return v.get_object().empty();
    }
    return false;
}

const json::value* lookup(const json::object& rec, std::string_view key) noexcept {
    return rec.if_contains(key);
}

const json::value& index(const json::object& rec, std::string_view key) {
    if (const json::value* v = rec.if_contains(key)) return *v;
    throw KeyError(std::string(key));
}

std::int64_t to_int(const json::value& v) {
    switch (v.kind()) {
        case json::kind::bool_: return v.get_bool() ? 1 : 0;
        case json::kind::int64: return v.get_int64();
        case json::kind::uint64:
            if (v.get_uint64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                not_a_number(v, "integer conversion");
            return static_cast<std::int64_t>(v.get_uint64());
        case json::kind::double_: return truncate_double(v.get_double(), v);
        case json::kind::string:
            if (auto parsed = parse_int_text(v.get_string())) return *parsed;
            not_a_number(v, "integer conversion");
        default: not_a_number(v, "integer conversion");
    }
}

double to_float(const json::value& v) {
    switch (v.kind()) {
        case json::kind::bool_: return v.get_bool() ? 1.0 : 0.0;
        case json::kind::int64: return static_cast<double>(v.get_int64());
        case json::kind::uint64: return static_cast<double>(v.get_uint64());
        case json::kind::double_: return v.get_double();
        case json::kind::string:
            if (auto parsed = parse_float_text(v.get_string())) return *parsed;
            not_a_number(v, "float conversion");
        default: not_a_number(v, "float conversion");
    }
}

std::partial_ordering compare_number(const json::value& v, double rhs) { return compare_impl(v, rhs); }

std::partial_ordering compare_number(const json::value& v, std::int64_t rhs) {
    return compare_impl(v, rhs);
}

RecordFields record_fields(const json::object& rec) noexcept {
    RecordFields f;
    for (const json::key_value_pair& kv : rec) {
        const std::string_view k = kv.key();
        switch (k.size()) {
            case 2:
                if (k == "id") f.id = &kv.value();
                break;
            case 6:
                if (k == "weight") f.weight = &kv.value();
                break;
            case 15:
                if (k == "max_concurrency") f.max_concurrency = &kv.value();
                break;
            case 16:
                if (k == "max_input_tokens") f.max_input_tokens = &kv.value();
                break;
            default: break;
        }
    }
    return f;
}

std::int64_t detail::id_value_full(const json::value* v) {
    if (v == nullptr) throw KeyError("id");
    if (v->is_int64()) return v->get_int64();
    if (v->is_uint64() &&
        v->get_uint64() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(v->get_uint64());
    throw ValueError("server id must be an integer, got " + json::serialize(*v));
}

std::int64_t server_id(const json::object& rec) { return id_value(lookup(rec, "id")); }

std::int64_t detail::int_or_zero_full(const json::value* v) { return (v == nullptr || is_falsy(*v)) ? 0 : to_int(*v); }

std::int64_t detail::saturating_int_or_zero_full(const json::value* v) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    if (v != nullptr && v->is_uint64() && v->get_uint64() > static_cast<std::uint64_t>(kMax)) return kMax;
    if (v != nullptr && v->is_double()) {
        const double d = v->get_double();
        if (d >= 9223372036854775808.0) return kMax;  // +inf included
        if (d < -9223372036854775808.0) return kMin;  // -inf included
    }
    return int_or_zero_full(v);
}

double detail::float_or_full(const json::value* v, double fallback) {
    return (v == nullptr || is_falsy(*v)) ? fallback : to_float(*v);
}

std::partial_ordering compare_or_zero(const json::value* v, std::int64_t rhs) {
    if (v == nullptr || is_falsy(*v)) return std::int64_t{0} <=> rhs;
    return compare_number(*v, rhs);
}

std::partial_ordering detail::compare_or_zero_full(const json::value* v, double rhs) {
    if (v == nullptr || is_falsy(*v)) return 0.0 <=> rhs;
    return compare_number(*v, rhs);
}

std::int64_t int_or_zero(const json::object& rec, std::string_view key) { return int_or_zero(lookup(rec, key)); }

double float_or(const json::object& rec, std::string_view key, double fallback) {
    return float_or(lookup(rec, key), fallback);
}

std::partial_ordering compare_or_zero(const json::object& rec, std::string_view key, std::int64_t rhs) {
    return compare_or_zero(lookup(rec, key), rhs);
}

std::partial_ordering compare_or_zero(const json::object& rec, std::string_view key, double rhs) {
    return compare_or_zero(lookup(rec, key), rhs);
}

std::optional<std::int64_t> parse_int_text(std::string_view text) noexcept {
    std::string_view s = strip(text);
    std::size_t pos = 0;
    bool negative = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) negative = s[pos++] == '-';
    std::string digits;
    digits.reserve(s.size() + 1);
    if (negative) digits.push_back('-');
    bool bad = false;
    if (take_digits(s, pos, digits, bad) == 0 || bad || pos != s.size()) return std::nullopt;
    std::int64_t out = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
    if (ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return out;
}

std::optional<double> parse_float_text(std::string_view text) noexcept {
    std::string_view s = strip(text);
    std::size_t pos = 0;
    bool negative = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) negative = s[pos++] == '-';
    std::string_view word = s.substr(pos);
    if (iequals(word, "inf") || iequals(word, "infinity"))
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    if (iequals(word, "nan")) return std::numeric_limits<double>::quiet_NaN();

    std::string clean;
    clean.reserve(s.size() + 1);
    if (negative) clean.push_back('-');
    bool bad = false;
    std::size_t int_digits = take_digits(s, pos, clean, bad);
    std::size_t frac_digits = 0;
    if (!bad && pos < s.size() && s[pos] == '.') {
        clean.push_back('.');
        ++pos;
        if (pos < s.size() && s[pos] == '_') return std::nullopt;
        frac_digits = take_digits(s, pos, clean, bad);
    }
    if (bad || int_digits + frac_digits == 0) return std::nullopt;
    long long exponent = 0;
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        clean.push_back('e');
        ++pos;
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) clean.push_back(s[pos++]);
        std::size_t exp_start = clean.size();
        if (take_digits(s, pos, clean, bad) == 0 || bad) return std::nullopt;
        auto parsed = std::from_chars(clean.data() + exp_start, clean.data() + clean.size(), exponent);
        // Any exponent this large decides overflow vs underflow alone; capped,
        // adding the mantissa's digit count to it below cannot overflow.
        if (parsed.ec == std::errc::result_out_of_range || exponent > std::numeric_limits<long long>::max() / 2)
            exponent = std::numeric_limits<long long>::max() / 2;
        if (clean[exp_start - 1] == '-') exponent = -exponent;
    }
    if (pos != s.size()) return std::nullopt;

    double out = 0.0;
    auto [end, ec] = std::from_chars(clean.data(), clean.data() + clean.size(), out,
                                     std::chars_format::general);
    if (end != clean.data() + clean.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // Decide overflow vs underflow from the decimal magnitude: the number
        // of integer digits (after leading zeros) plus the exponent.
        std::string_view mant(clean);
        if (negative) mant.remove_prefix(1);
        mant = mant.substr(0, mant.find('e'));
        long long magnitude = exponent;
        std::size_t dot = mant.find('.');
        std::string_view whole = mant.substr(0, dot);
        std::size_t nz = whole.find_first_not_of('0');
        if (nz != std::string_view::npos) {
            magnitude += static_cast<long long>(whole.size() - nz);
        } else if (dot != std::string_view::npos) {
            std::string_view frac = mant.substr(dot + 1);
            std::size_t fnz = frac.find_first_not_of('0');
            if (fnz == std::string_view::npos) return negative ? -0.0 : 0.0;
            magnitude -= static_cast<long long>(fnz);
        }
        if (magnitude > 0)
            return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return negative ? -0.0 : 0.0;
    }
    if (ec != std::errc{}) return std::nullopt;
    return out;
}

}  // namespace quillmar::lb
