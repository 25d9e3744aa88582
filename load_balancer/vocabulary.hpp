// The balancer's fixed vocabularies (routing modes, balancing algorithms,
// rejection reasons), their normalisers, and the pool key.
#pragma once

#include <boost/json/value.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmar::lb {

inline constexpr std::string_view ROUTING_MODE_SUPERFAST = "superfast";
inline constexpr std::string_view ROUTING_MODE_HYBRID = "hybrid";
inline constexpr std::string_view ROUTING_MODE_MAX_CONCURRENCY = "max_concurrency";
inline constexpr std::string_view ROUTING_MODE_QUEUE_ALL = "queue_all";
inline constexpr std::string_view DEFAULT_ROUTING_MODE = ROUTING_MODE_SUPERFAST;
inline constexpr std::array<std::string_view, 4> VALID_ROUTING_MODES{
    ROUTING_MODE_SUPERFAST, ROUTING_MODE_HYBRID, ROUTING_MODE_MAX_CONCURRENCY, ROUTING_MODE_QUEUE_ALL};

inline constexpr std::string_view LB_ALGO_WRR = "weighted_round_robin";
inline constexpr std::string_view LB_ALGO_LEAST_CONN = "least_connections";
inline constexpr std::string_view LB_ALGO_STICKY = "sticky_session";
inline constexpr std::string_view DEFAULT_LB_ALGORITHM = LB_ALGO_WRR;
inline constexpr std::array<std::string_view, 3> VALID_LB_ALGORITHMS{LB_ALGO_WRR, LB_ALGO_LEAST_CONN,
                                                                     LB_ALGO_STICKY};

// Rejection reasons are plain strings: counters accept any string, and these
// are the ones the balancer and its host use.
struct RejectReason {
    static constexpr std::string_view NONE = "none";
    static constexpr std::string_view QUEUE_FULL = "queue_full";
    static constexpr std::string_view QUEUE_TIMEOUT = "queue_timeout";
    static constexpr std::string_view NO_BACKENDS = "no_backends";
    static constexpr std::string_view TOO_LARGE = "too_large";
    static constexpr std::string_view AT_CAPACITY = "at_capacity";
};

// Normalisers for values read from the host's tables: null, falsy or
// non-string input, and any string that is not (after trimming and
// lower-casing) a member of the valid set, give the default. The result is
// always one of the constants above (static storage). Never throw or log.
std::string_view normalize_routing_mode(const boost::json::value& value) noexcept;
std::string_view normalize_routing_mode(std::string_view value) noexcept;
std::string_view normalize_routing_mode(const char* value) noexcept;
std::string_view normalize_lb_algorithm(const boost::json::value& value) noexcept;
std::string_view normalize_lb_algorithm(std::string_view value) noexcept;
std::string_view normalize_lb_algorithm(const char* value) noexcept;

// Names one pool of interchangeable backends: model id, set of cluster ids,
// routing tier. The cluster ids are kept sorted and unique, so keys built
// from the same ids in any order are equal. The hash is computed once, at
// construction, so table lookups cost one comparison.
class PoolKey {
public:
    PoolKey(std::string model_id, std::vector<std::int64_t> cluster_ids, std::string routing_tier);
    PoolKey(std::string model_id, std::initializer_list<std::int64_t> cluster_ids, std::string routing_tier)
        : PoolKey(std::move(model_id), std::vector<std::int64_t>(cluster_ids), std::move(routing_tier)) {}

    const std::string& model_id() const noexcept { return model_id_; }
    const std::vector<std::int64_t>& cluster_ids() const noexcept { return cluster_ids_; }
    const std::string& routing_tier() const noexcept { return routing_tier_; }
    std::size_t hash() const noexcept { return hash_; }

    // Copies share the original's identity; a moved-from key loses it.
    PoolKey(const PoolKey&) = default;
    PoolKey& operator=(const PoolKey&) = default;
    PoolKey(PoolKey&& o) noexcept
        : model_id_(std::move(o.model_id_)), cluster_ids_(std::move(o.cluster_ids_)),
          routing_tier_(std::move(o.routing_tier_)), hash_(o.hash_), identity_(std::exchange(o.identity_, 0)) {}
    PoolKey& operator=(PoolKey&& o) noexcept {
        model_id_ = std::move(o.model_id_);
        cluster_ids_ = std::move(o.cluster_ids_);
        routing_tier_ = std::move(o.routing_tier_);
        hash_ = o.hash_;
        identity_ = std::exchange(o.identity_, 0);
        return *this;
    }

    // A key and its copies (a table keeps a copy of the caller's key)
    // compare by identity; keys built separately compare by value.
    friend bool operator==(const PoolKey& a, const PoolKey& b) noexcept {
        if (a.identity_ != 0 && a.identity_ == b.identity_) return true;
        return a.hash_ == b.hash_ && a.model_id_ == b.model_id_ && a.cluster_ids_ == b.cluster_ids_ &&
               a.routing_tier_ == b.routing_tier_;
    }

private:
    std::string model_id_;
    std::vector<std::int64_t> cluster_ids_;
    std::string routing_tier_;
    std::size_t hash_;
    std::uint64_t identity_;  // unique per constructed key, shared by its copies; 0: none
};

struct PoolKeyHash {
    std::size_t operator()(const PoolKey& k) const noexcept { return k.hash(); }
};

// "model|1,2,3|tier": the label of a pool in reports.
std::string pool_label(const PoolKey& key);

}  // namespace quillmar::lb

template <>
struct std::hash<quillmar::lb::PoolKey> {
    std::size_t operator()(const quillmar::lb::PoolKey& k) const noexcept { return k.hash(); }
};
