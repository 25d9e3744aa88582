// What the balancer reads from a server record, cached per thread by the
// record's identity, so that a record is scanned once rather than at every
// key read of every decision.
#pragma once

#include "load_balancer/values.hpp"

#include <array>
#include <bit>
#include <cstdint>

namespace quillmar::lb::detail {

// A looked-up value as it stood when a view was made: its kind and, for a
// number or boolean, its bits. Another kind or another number means the
// record was changed in place since.
struct ValueStamp {
    bool present = false;
    boost::json::kind kind = boost::json::kind::null;
    std::uint64_t bits = 0;

    static ValueStamp of(const boost::json::value* v) noexcept {
        ValueStamp s;
        if (v == nullptr) return s;
        s.present = true;
        s.kind = v->kind();
        switch (s.kind) {
            case boost::json::kind::int64: s.bits = static_cast<std::uint64_t>(v->get_int64()); break;
            case boost::json::kind::uint64: s.bits = v->get_uint64(); break;
            case boost::json::kind::double_: s.bits = std::bit_cast<std::uint64_t>(v->get_double()); break;
            case boost::json::kind::bool_: s.bits = v->get_bool() ? 1 : 0; break;
            default: break;  // other kinds are read by the rules themselves, never from the view
        }
        return s;
    }
    bool operator==(const ValueStamp&) const = default;
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
    std::array<ValueStamp, 4> stamps{};

    static std::array<ValueStamp, 4> stamps_of(const RecordFields& f) noexcept {
        return {ValueStamp::of(f.id), ValueStamp::of(f.weight), ValueStamp::of(f.max_concurrency),
                ValueStamp::of(f.max_input_tokens)};
    }
    // Whether `rec` still reads as it did when this view was made. Its size
    // and member table are checked first: an assignment through operator[]
    // may reallocate the table, leaving the looked-up pointers dangling, and
    // they are read only when the table is where it was.
    bool current(const boost::json::object& rec) const noexcept {
        return rec.size() == size && rec.begin() == table && stamps_of(fields) == stamps;
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
