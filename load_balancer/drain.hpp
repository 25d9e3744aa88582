// Candidate rules shared by selection and the waiter queue.
#pragma once

#include "load_balancer/values.hpp"

#include <algorithm>
#include <cstdint>
#include <span>

namespace quillmar::lb::detail {

// Drain rule: "weight" looked up, falsy read as 0.0, compared with 0.0
// without conversion (ValueError for strings and containers).
inline bool has_positive_weight(const boost::json::object& rec) {
    return compare_or_zero(rec, "weight", 0.0) == std::partial_ordering::greater;
}

// Calls `f(record)` for every candidate that is not drained, in order; when
// every candidate is drained, for all of them (then nobody is treated as
// drained).
template <class F>
void for_each_effective(std::span<const ServerRecord> candidates, F&& f) {
    bool any = false;
    for (const ServerRecord& rec : candidates) {
        if (has_positive_weight(*rec)) {
            any = true;
            f(rec);
        }
    }
    if (!any)
        for (const ServerRecord& rec : candidates) f(rec);
}

inline bool contains(std::span<const std::int64_t> ids, std::int64_t id) noexcept {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace quillmar::lb::detail
