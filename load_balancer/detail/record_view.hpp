// What the balancer reads from a server record, cached per thread by the
// record's identity, so that a record is scanned once rather than at every
// key read of every decision.
#pragma once

#include "load_balancer/values.hpp"

#include <cstdint>

namespace quillmar::lb::detail {

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
};

// The view of `rec`. Cached by the object's address and its shared owner
// (the cache holds a weak reference, so a freed address reused by another
// record misses); records_changed() empties every thread's cache. O(1) on a
// hit, one scan of the record on a miss. The reference is valid until the
// next call on the same thread. Throws only std::bad_alloc.
RecordView& record_view(const ServerRecord& rec);

// server_id(*rec) through the cache: KeyError / ValueError as server_id.
inline std::int64_t cached_server_id(const ServerRecord& rec) {
    const RecordView& v = record_view(rec);
    return v.plain ? v.id : id_value(v.fields.id);
}

}  // namespace quillmar::lb::detail
