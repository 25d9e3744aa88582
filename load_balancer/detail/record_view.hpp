// What the balancer reads from a server record, cached per thread by the
// record's identity, so that a record is scanned once rather than at every
// key read of every decision.
#pragma once

#include "load_balancer/values.hpp"

#include <array>
#include <cstring>
#include <cstdint>

namespace quillmar::lb::detail {

// A looked-up value's bytes as they stood when a view was made (a scalar's
// kind and bits sit in them). Other bytes mean the record was changed in
// place since; an absent value reads as a pattern no value has.
struct ValueStamp {
    std::array<std::uint64_t, 3> bytes{~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}};

    static ValueStamp of(const boost::json::value* v) noexcept {
        static_assert(sizeof(boost::json::value) == sizeof(ValueStamp));
        ValueStamp s;
        if (v != nullptr) std::memcpy(s.bytes.data(), static_cast<const void*>(v), sizeof s.bytes);
        return s;
    }
    // Word by word: the defaulted comparison calls memcmp, which cost more
    // than the rest of a decision.
    bool operator==(const ValueStamp& o) const noexcept {
        return ((bytes[0] ^ o.bytes[0]) | (bytes[1] ^ o.bytes[1]) | (bytes[2] ^ o.bytes[2])) == 0;
    }
};

// The looked-up fields of a record, and their converted values when every
// conversion a decision may apply succeeds (`plain`). A record whose values
// need the rules' rarer branches, or make them fail, is read by the rules
// themselves, which raise their errors in their order.
struct RecordView {
    RecordFields fields;
    bool plain = false;
    bool positive = false;  // the drain rule: the looked-up weight is > 0.0
    std::int64_t id = 0;
    std::int64_t cap = 0;   // the configured cap, saturated
    double weight = 1.0;    // the picks' weight: float_or(fields.weight, 1.0)
    // Where the id's in-flight entry was last found in a count table; a
    // hint only, checked against the entry's key before it is used.
    std::uint32_t count_at = 0;
    // The same, for the id's entries in the dispatch count and dispatch
    // time tables.
    std::uint32_t dispatch_at = 0;
    std::uint32_t stamp_at = 0;
    // What the view was made from: the record's size and its looked-up
    // values. A host may change a record it owns in place (a cluster grant
    // lowering "max_concurrency"); a view that no longer matches is made
    // again rather than served stale.
    std::size_t size = 0;
    const boost::json::key_value_pair* table = nullptr;  // where the record kept its members
    // The values the view converts; max_input_tokens is read through its
    // pointer each time, which the table check keeps valid.
    std::array<ValueStamp, 3> stamps{};

    static std::array<ValueStamp, 3> stamps_of(const RecordFields& f) noexcept {
        return {ValueStamp::of(f.id), ValueStamp::of(f.weight), ValueStamp::of(f.max_concurrency)};
    }
    // Whether `rec` still reads as it did when this view was made. Its size
    // and member table are checked first: an assignment through operator[]
    // may reallocate the table, leaving the looked-up pointers dangling, and
    // they are read only when the table is where it was.
    bool current(const boost::json::object& rec) const noexcept {
        return rec.size() == size && rec.begin() == table && ValueStamp::of(fields.id) == stamps[0] &&
               ValueStamp::of(fields.weight) == stamps[1] && ValueStamp::of(fields.max_concurrency) == stamps[2];
    }
};

// The view of `rec`. Cached by the object's address and its shared owner
// (the cache holds a weak reference, so a freed address reused by another
// record misses), and checked against the record's current values, so a
// record changed in place by its owner is read again. O(1) on a
// hit, one scan of the record on a miss. The reference is valid until the
// next call on the same thread. Throws only std::bad_alloc.
RecordView& record_view(const ServerRecord& rec);

// server_id(*rec) through the cache: KeyError / ValueError as server_id.
inline std::int64_t cached_server_id(const ServerRecord& rec) {
    const RecordView& v = record_view(rec);
    return v.plain ? v.id : id_value(v.fields.id);
}

}  // namespace quillmar::lb::detail
