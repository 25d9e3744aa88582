// Candidate rules shared by selection and the waiter queue.
#pragma once

#include "load_balancer/values.hpp"

#include <algorithm>
#include <compare>
#include <cstdint>
#include <span>

namespace quillmar::lb::detail {

// The drain rule: keeps in `out`, in order, the candidates whose "weight"
// (looked up, falsy read as 0.0, compared with 0.0 without conversion) is
// positive; when none is, keeps all of them. `scan(record)` makes the element
// to keep, `weight_of(element)` gives its looked-up weight. Throws ValueError
// for a weight that is a string or a container.
template <class Out, class Scan, class WeightOf>
void keep_effective(std::span<const ServerRecord> candidates, Out& out, Scan scan, WeightOf weight_of) {
    bool any_positive = false;
    for (const ServerRecord& rec : candidates) {
        auto element = scan(rec);
        const bool positive = compare_or_zero(weight_of(element), 0.0) == std::partial_ordering::greater;
        if (positive && !any_positive) {
            out.clear();  // drained ones kept so far are not effective after all
            any_positive = true;
        }
        if (positive || !any_positive) out.push_back(std::move(element));
    }
}

inline bool contains(std::span<const std::int64_t> ids, std::int64_t id) noexcept {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace quillmar::lb::detail
