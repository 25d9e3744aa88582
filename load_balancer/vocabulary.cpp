#include "load_balancer/vocabulary.hpp"

#include "load_balancer/values.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <span>

namespace quillmar::lb {

namespace {

template <std::size_t N>
std::string_view normalize(std::string_view value, const std::array<std::string_view, N>& valid,
                           std::string_view fallback) noexcept {
    // Hosts mostly pass the canonical spelling: answer that without trimming.
    for (std::string_view candidate : valid)
        if (value == candidate) return candidate;
    constexpr std::string_view blanks = " \t\n\r\v\f";
    std::size_t b = value.find_first_not_of(blanks);
    if (b == std::string_view::npos) return fallback;
    std::size_t e = value.find_last_not_of(blanks);
    std::string_view s = value.substr(b, e - b + 1);
    for (std::string_view candidate : valid) {
        if (candidate.size() != s.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < s.size() && same; ++i) {
            char c = s[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            same = c == candidate[i];
        }
        if (same) return candidate;
    }
    return fallback;
}

template <std::size_t N>
std::string_view normalize(const boost::json::value& value, const std::array<std::string_view, N>& valid,
                           std::string_view fallback) noexcept {
    if (!value.is_string()) return fallback;
    const boost::json::string& s = value.get_string();
    return normalize(std::string_view(s.data(), s.size()), valid, fallback);
}

std::size_t mix(std::size_t seed, std::size_t h) noexcept {
    return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace

std::string_view normalize_routing_mode(const boost::json::value& value) noexcept {
    return normalize(value, VALID_ROUTING_MODES, DEFAULT_ROUTING_MODE);
}
std::string_view normalize_routing_mode(std::string_view value) noexcept {
    return normalize(value, VALID_ROUTING_MODES, DEFAULT_ROUTING_MODE);
}
std::string_view normalize_routing_mode(const char* value) noexcept {
    return value == nullptr ? DEFAULT_ROUTING_MODE : normalize_routing_mode(std::string_view(value));
}
std::string_view normalize_lb_algorithm(const boost::json::value& value) noexcept {
    return normalize(value, VALID_LB_ALGORITHMS, DEFAULT_LB_ALGORITHM);
}
std::string_view normalize_lb_algorithm(std::string_view value) noexcept {
    return normalize(value, VALID_LB_ALGORITHMS, DEFAULT_LB_ALGORITHM);
}
std::string_view normalize_lb_algorithm(const char* value) noexcept {
    return value == nullptr ? DEFAULT_LB_ALGORITHM : normalize_lb_algorithm(std::string_view(value));
}

PoolKey::PoolKey(std::string model_id, std::vector<std::int64_t> cluster_ids, std::string routing_tier)
    : model_id_(std::move(model_id)), cluster_ids_(std::move(cluster_ids)), routing_tier_(std::move(routing_tier)) {
    std::sort(cluster_ids_.begin(), cluster_ids_.end());
    cluster_ids_.erase(std::unique(cluster_ids_.begin(), cluster_ids_.end()), cluster_ids_.end());
    std::size_t h = std::hash<std::string>{}(model_id_);
    for (std::int64_t id : cluster_ids_) h = mix(h, std::hash<std::int64_t>{}(id));
    h = mix(h, std::hash<std::string>{}(routing_tier_));
    hash_ = h;
    // Keys may be built on any thread; only the counter is shared.
    static std::atomic<std::uint64_t> last_identity{0};
    identity_ = last_identity.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::string pool_label(const PoolKey& key) {
    std::string out = key.model_id();
    out.push_back('|');
    bool first = true;
    for (std::int64_t id : key.cluster_ids()) {
        if (!first) out.push_back(',');
        first = false;
        out += std::to_string(id);
    }
    out.push_back('|');
    out += key.routing_tier();
    return out;
}

}  // namespace quillmar::lb
