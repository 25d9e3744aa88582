// Lookups in the balancer's insertion-ordered tables that remember where an
// entry was found. Such a table keeps its entries in one vector, so the entry
// found for a key is usually at the same position the next time: `at` is
// tried first and used only when the entry there has the key (keys are
// unique, so it is then the key's entry); otherwise the key is looked up and
// `at` set to where it is. A stale `at` (entries erased or moved) only costs
// the full lookup. Comparing one key is cheaper than hashing and probing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace quillmar::lb::detail {

// An `at` that names no position: the first lookup goes to the table.
inline constexpr std::uint32_t kNoPosition = UINT32_MAX;

// The hit is inlined into the caller; the lookup is not, so that the hot
// loops stay small.
template <class Table, class Key>
[[gnu::noinline]] auto find_and_remember(Table& table, const Key& key, std::uint32_t& at) {
    auto it = table.find(key);
    if (it != table.end()) at = static_cast<std::uint32_t>(it - table.begin());
    return it;
}

template <class Table, class Key>
[[gnu::noinline]] auto& emplace_and_remember(Table& table, const Key& key, std::uint32_t& at) {
    auto it = table.try_emplace(key).first;
    at = static_cast<std::uint32_t>(it - table.begin());
    return it.value();
}

// The entry of `key`, or `table.end()` when absent. O(1) on a hit of `at`.
template <class Table, class Key>
[[gnu::always_inline]] inline auto find_at(Table& table, const Key& key, std::uint32_t& at) {
    if (at < table.size()) {
        auto hinted = table.begin() + static_cast<std::ptrdiff_t>(at);
        if (hinted->first == key) return hinted;
    }
    return find_and_remember(table, key, at);
}

// The value of `key`, made (value-initialised, at the end) when absent, as
// operator[] would. May allocate; throws what the table's insertion throws.
template <class Table, class Key>
[[gnu::always_inline]] inline auto& entry_at(Table& table, const Key& key, std::uint32_t& at) {
    if (at < table.size()) {
        auto hinted = table.begin() + static_cast<std::ptrdiff_t>(at);
        if (hinted->first == key) return hinted.value();
    }
    return emplace_and_remember(table, key, at);
}

}  // namespace quillmar::lb::detail
