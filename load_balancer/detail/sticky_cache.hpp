// The per-thread cache of sticky scores, seen from outside: its size only.
#pragma once

#include <cstddef>

namespace quillmar::lb::detail {

// The bytes the calling thread's sticky cache holds: its keys' text and
// per-key bookkeeping and its score lists, counted from the cache's maps.
// Bounded whatever keys it was fed (about 6 MiB plus one key). O(keys held).
std::size_t sticky_cache_footprint() noexcept;

}  // namespace quillmar::lb::detail
