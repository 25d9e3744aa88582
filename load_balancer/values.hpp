// Server records and the value rules every part of the balancer reads them by.
//
// A server record is the host's own string-keyed mapping, shared so that a
// parked request keeps its records alive even when the host reloads its
// server table. The balancer never copies a record: it hands back the same
// pointer it was given.
//
// Every rule about reading a record value (falsy, looked up vs indexed, int
// and float conversion, comparing without conversion) lives here so that all
// call sites agree.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmar::lb {

// The host's record of one backend. Never null where the balancer takes one.
using ServerRecord = std::shared_ptr<const boost::json::object>;

// Makes a record from a JSON object (convenience for hosts and tests).
ServerRecord make_record(boost::json::object obj);

// Records are taken as immutable once handed to the balancer: what it reads
// from one is kept per thread, keyed by the record's identity, so that a
// decision does not scan every record again. A host that changes a record
// in place (rather than handing a new one) calls this after the change, on
// any thread; every thread then reads every record afresh, except a parked
// request's candidate ids, read once when it parked (change a cap or a
// weight in place, not an id). O(1); the cost falls on each thread's next
// decision.
void records_changed() noexcept;

// A required ("indexed") key is absent. what() names the key.
class KeyError : public std::out_of_range {
public:
    explicit KeyError(std::string key);
    const std::string& key() const noexcept { return key_; }

private:
    std::string key_;
};

// A value has a kind or text that the operation cannot use.
class ValueError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Null, false, a numeric zero, or an empty string, array or object.
bool is_falsy(const boost::json::value& v) noexcept;

// Looked-up read: the value under `key`, or nullptr when absent. O(keys).
const boost::json::value* lookup(const boost::json::object& rec, std::string_view key) noexcept;

// Indexed read: the value under `key`; throws KeyError when absent.
const boost::json::value& index(const boost::json::object& rec, std::string_view key);

// Integer conversion: integers unchanged, booleans 0/1, floats truncated
// toward zero, strings by parse_int_text. Throws ValueError for anything else
// (null, arrays, objects, non-finite or out-of-range floats, bad text).
std::int64_t to_int(const boost::json::value& v);

// Float conversion: numbers and booleans, strings by parse_float_text.
// Throws ValueError for anything else.
double to_float(const boost::json::value& v);

// Compares a value with a number without converting it: numbers and booleans
// compare by numeric value (NaN is unordered with everything); any other kind
// throws ValueError.
std::partial_ordering compare_number(const boost::json::value& v, double rhs);
std::partial_ordering compare_number(const boost::json::value& v, std::int64_t rhs);

// Server id of a record: "id" indexed, must hold an integer that fits in
// int64 (KeyError when absent, ValueError for another kind).
std::int64_t server_id(const boost::json::object& rec);
inline std::int64_t server_id(const ServerRecord& rec) { return server_id(*rec); }

// The four keys the balancer reads, looked up in one pass over the record
// (nullptr when absent). The hot paths scan a record once with this instead
// of one key search per read.
struct RecordFields {
    const boost::json::value* id = nullptr;
    const boost::json::value* weight = nullptr;
    const boost::json::value* max_concurrency = nullptr;
    const boost::json::value* max_input_tokens = nullptr;
};
RecordFields record_fields(const boost::json::object& rec) noexcept;

namespace detail {
// Full forms of the rules below; the inline versions handle the common
// kinds (plain integers and floats) and defer the rest to these.
std::int64_t id_value_full(const boost::json::value* id);
std::int64_t int_or_zero_full(const boost::json::value* v);
std::int64_t saturating_int_or_zero_full(const boost::json::value* v);
double float_or_full(const boost::json::value* v, double fallback);
std::partial_ordering compare_or_zero_full(const boost::json::value* v, double rhs);
inline constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;
}  // namespace detail

// The rules below on an already looked-up value (nullptr = absent). They run
// per candidate on the selection path, so the common kinds are inline.
// id_value: the server id of an indexed "id" (KeyError when absent).
inline std::int64_t id_value(const boost::json::value* id) {
    if (id != nullptr && id->is_int64()) return id->get_int64();
    return detail::id_value_full(id);
}
inline std::int64_t int_or_zero(const boost::json::value* v) {
    if (v == nullptr) return 0;
    if (v->is_int64()) return v->get_int64();  // 0 is falsy and gives 0 too
    return detail::int_or_zero_full(v);
}
// int_or_zero for a cap: a number beyond the int64 range (an unsigned
// 18446744073709551615, 1e19, 1e300, infinity) saturates to the nearest end
// of the range instead of throwing, since a cap that large means "no
// practical limit". Everything else, NaN and malformed strings included,
// follows int_or_zero.
inline std::int64_t saturating_int_or_zero(const boost::json::value* v) {
    if (v != nullptr && v->is_int64()) return v->get_int64();
    return detail::saturating_int_or_zero_full(v);
}
inline double float_or(const boost::json::value* v, double fallback) {
    if (v == nullptr) return fallback;
    if (v->is_int64()) return v->get_int64() == 0 ? fallback : static_cast<double>(v->get_int64());
    if (v->is_double()) return v->get_double() == 0.0 ? fallback : v->get_double();
    return detail::float_or_full(v, fallback);
}
inline std::partial_ordering compare_or_zero(const boost::json::value* v, double rhs) {
    if (v == nullptr) return 0.0 <=> rhs;
    if (v->is_double()) return v->get_double() <=> rhs;  // a zero compares as the 0.0 it stands for
    if (v->is_int64() && v->get_int64() > -detail::kExactInDouble && v->get_int64() < detail::kExactInDouble)
        return static_cast<double>(v->get_int64()) <=> rhs;
    return detail::compare_or_zero_full(v, rhs);
}
std::partial_ordering compare_or_zero(const boost::json::value* v, std::int64_t rhs);

// `key` looked up; falsy gives 0, anything else goes through to_int.
std::int64_t int_or_zero(const boost::json::object& rec, std::string_view key);

// `key` looked up; falsy gives `fallback`, anything else goes through to_float.
double float_or(const boost::json::object& rec, std::string_view key, double fallback);

// `key` looked up, falsy read as 0, then compared with `rhs` without
// conversion. Throws ValueError for strings, arrays and objects.
std::partial_ordering compare_or_zero(const boost::json::object& rec, std::string_view key,
                                      std::int64_t rhs);
std::partial_ordering compare_or_zero(const boost::json::object& rec, std::string_view key,
                                      double rhs);

// Decimal integer text: surrounding ASCII whitespace ignored, optional sign,
// digits with single underscores allowed between digits ("1_000"). Values
// that do not fit in int64 give nullopt, as does any other text.
std::optional<std::int64_t> parse_int_text(std::string_view text) noexcept;

// Decimal floating-point text: surrounding whitespace ignored, optional sign,
// digits with optional point, fraction and exponent (single underscores
// between digits allowed), or inf/infinity/nan in any case. Hexadecimal and
// everything else give nullopt. Overflow gives +-inf, underflow +-0.
std::optional<double> parse_float_text(std::string_view text) noexcept;

}  // namespace quillmar::lb
