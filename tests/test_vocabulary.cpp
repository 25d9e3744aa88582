// Routing-mode and algorithm normalisers, reject reasons, and pool keys.
#include "load_balancer/vocabulary.hpp"

#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <array>
#include <set>
#include <vector>

namespace lb = quillmar::lb;
namespace json = boost::json;

namespace {

// True when `result` is one of `constants` by address: the normalisers hand
// back static strings, never a view into the caller's (possibly temporary)
// input.
template <std::size_t N>
bool is_static_constant(std::string_view result, const std::array<std::string_view, N>& constants) {
    for (std::string_view c : constants)
        if (result.data() == c.data() && result.size() == c.size()) return true;
    return false;
}

struct TextCase {
    std::string text;
    std::string_view expected;
};

// ------------------------------------------------------------ routing mode

const std::vector<TextCase>& routing_text_cases() {
    static const std::vector<TextCase> cases = {
        {"superfast", lb::ROUTING_MODE_SUPERFAST},
        {"hybrid", lb::ROUTING_MODE_HYBRID},
        {"max_concurrency", lb::ROUTING_MODE_MAX_CONCURRENCY},
        {"queue_all", lb::ROUTING_MODE_QUEUE_ALL},
        {" Hybrid ", lb::ROUTING_MODE_HYBRID},
        {"Hybrid ", lb::ROUTING_MODE_HYBRID},
        {"\tHYBRID\n", lb::ROUTING_MODE_HYBRID},
        {"QUEUE_ALL", lb::ROUTING_MODE_QUEUE_ALL},
        {"Max_Concurrency", lb::ROUTING_MODE_MAX_CONCURRENCY},
        {"", lb::ROUTING_MODE_SUPERFAST},
        {"   ", lb::ROUTING_MODE_SUPERFAST},
        {"queue-all", lb::ROUTING_MODE_SUPERFAST},
        {"max concurrency", lb::ROUTING_MODE_SUPERFAST},
        {"queue_all_", lb::ROUTING_MODE_SUPERFAST},
        {"hybri", lb::ROUTING_MODE_SUPERFAST},
        {"h ybrid", lb::ROUTING_MODE_SUPERFAST},
        {"5", lb::ROUTING_MODE_SUPERFAST},
        {std::string("hybrid\0", 7), lb::ROUTING_MODE_SUPERFAST},  // embedded NUL is not a blank
    };
    return cases;
}

TEST(VocabularyRoutingMode, NormalisesText) {
    for (const auto& c : routing_text_cases()) {
        std::string_view got = lb::normalize_routing_mode(std::string_view(c.text));
        EXPECT_EQ(got, c.expected) << '"' << c.text << '"';
        EXPECT_TRUE(is_static_constant(got, lb::VALID_ROUTING_MODES)) << '"' << c.text << '"';
    }
}

TEST(VocabularyRoutingMode, NormalisesCStrings) {
    for (const auto& c : routing_text_cases()) {
        if (c.text.find('\0') != std::string::npos) continue;  // not expressible as a C string
        EXPECT_EQ(lb::normalize_routing_mode(c.text.c_str()), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(lb::normalize_routing_mode(static_cast<const char*>(nullptr)), lb::ROUTING_MODE_SUPERFAST);
}

TEST(VocabularyRoutingMode, NormalisesJsonValues) {
    struct Case {
        json::value v;
        std::string_view expected;
    };
    const std::vector<Case> cases = {
        {"QUEUE_ALL", lb::ROUTING_MODE_QUEUE_ALL},
        {" Hybrid ", lb::ROUTING_MODE_HYBRID},
        {"max_concurrency", lb::ROUTING_MODE_MAX_CONCURRENCY},
        {nullptr, lb::ROUTING_MODE_SUPERFAST},
        {"", lb::ROUTING_MODE_SUPERFAST},
        {"  ", lb::ROUTING_MODE_SUPERFAST},
        {5, lb::ROUTING_MODE_SUPERFAST},
        {0, lb::ROUTING_MODE_SUPERFAST},
        {true, lb::ROUTING_MODE_SUPERFAST},
        {1.5, lb::ROUTING_MODE_SUPERFAST},
        {json::array{}, lb::ROUTING_MODE_SUPERFAST},
        {json::array{"hybrid"}, lb::ROUTING_MODE_SUPERFAST},  // not a string, even if it holds one
        {json::object{{"mode", "hybrid"}}, lb::ROUTING_MODE_SUPERFAST},
    };
    for (const auto& c : cases) {
        std::string_view got = lb::normalize_routing_mode(c.v);
        EXPECT_EQ(got, c.expected) << json::serialize(c.v);
        EXPECT_TRUE(is_static_constant(got, lb::VALID_ROUTING_MODES)) << json::serialize(c.v);
    }
}

TEST(VocabularyRoutingMode, ResultOutlivesTheInput) {
    std::string_view got;
    {
        std::string temp = "  QUEUE_ALL  ";
        got = lb::normalize_routing_mode(std::string_view(temp));
        temp.assign(temp.size(), 'x');
    }
    EXPECT_EQ(got, "queue_all");
    {
        json::value temp = " Hybrid ";
        got = lb::normalize_routing_mode(temp);
    }
    EXPECT_EQ(got, "hybrid");
}

TEST(VocabularyRoutingMode, ConstantsAndValidSet) {
    EXPECT_EQ(lb::ROUTING_MODE_SUPERFAST, "superfast");
    EXPECT_EQ(lb::ROUTING_MODE_HYBRID, "hybrid");
    EXPECT_EQ(lb::ROUTING_MODE_MAX_CONCURRENCY, "max_concurrency");
    EXPECT_EQ(lb::ROUTING_MODE_QUEUE_ALL, "queue_all");
    EXPECT_EQ(lb::DEFAULT_ROUTING_MODE, "superfast");
    std::set<std::string_view> modes(lb::VALID_ROUTING_MODES.begin(), lb::VALID_ROUTING_MODES.end());
    EXPECT_EQ(modes, (std::set<std::string_view>{"superfast", "hybrid", "max_concurrency", "queue_all"}));
}

// -------------------------------------------------------------- algorithms

TEST(VocabularyAlgorithm, NormalisesTextAndJson) {
    const std::vector<TextCase> cases = {
        {"weighted_round_robin", lb::LB_ALGO_WRR},
        {"least_connections", lb::LB_ALGO_LEAST_CONN},
        {"sticky_session", lb::LB_ALGO_STICKY},
        {"Least_Connections", lb::LB_ALGO_LEAST_CONN},
        {" STICKY_SESSION\t", lb::LB_ALGO_STICKY},
        {"round_robin", lb::LB_ALGO_WRR},
        {"least-connections", lb::LB_ALGO_WRR},
        {"weighted round robin", lb::LB_ALGO_WRR},
        {"sticky", lb::LB_ALGO_WRR},
        {"hybrid", lb::LB_ALGO_WRR},  // a routing mode is not an algorithm
        {"", lb::LB_ALGO_WRR},
        {"  ", lb::LB_ALGO_WRR},
    };
    for (const auto& c : cases) {
        std::string_view got = lb::normalize_lb_algorithm(std::string_view(c.text));
        EXPECT_EQ(got, c.expected) << '"' << c.text << '"';
        EXPECT_TRUE(is_static_constant(got, lb::VALID_LB_ALGORITHMS)) << '"' << c.text << '"';
        EXPECT_EQ(lb::normalize_lb_algorithm(c.text.c_str()), c.expected) << '"' << c.text << '"';
        EXPECT_EQ(lb::normalize_lb_algorithm(json::value(c.text)), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(lb::normalize_lb_algorithm(static_cast<const char*>(nullptr)), lb::LB_ALGO_WRR);
    for (const json::value& v : {json::value(nullptr), json::value(0), json::value(3), json::value(false),
                                 json::value(json::array{"least_connections"})})
        EXPECT_EQ(lb::normalize_lb_algorithm(v), lb::LB_ALGO_WRR) << json::serialize(v);
    EXPECT_EQ(lb::DEFAULT_LB_ALGORITHM, "weighted_round_robin");
    EXPECT_EQ(lb::LB_ALGO_LEAST_CONN, "least_connections");
    EXPECT_EQ(lb::LB_ALGO_STICKY, "sticky_session");
}

// ---------------------------------------------------------- reject reasons

TEST(VocabularyRejectReason, PlainStringValues) {
    EXPECT_EQ(lb::RejectReason::NONE, "none");
    EXPECT_EQ(lb::RejectReason::QUEUE_FULL, "queue_full");
    EXPECT_EQ(lb::RejectReason::QUEUE_TIMEOUT, "queue_timeout");
    EXPECT_EQ(lb::RejectReason::NO_BACKENDS, "no_backends");
    EXPECT_EQ(lb::RejectReason::TOO_LARGE, "too_large");
    EXPECT_EQ(lb::RejectReason::AT_CAPACITY, "at_capacity");
    // As table keys, the constant and the literal are the same key.
    std::unordered_map<std::string, int> counts;
    ++counts[std::string(lb::RejectReason::AT_CAPACITY)];
    ++counts["at_capacity"];
    EXPECT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts["at_capacity"], 2);
}

// ---------------------------------------------------------------- pool key

TEST(VocabularyPoolKey, SameIdsInAnyOrderNameTheSamePool) {
    const lb::PoolKey a("m", {3, 7}, "t");
    const lb::PoolKey b("m", {7, 3}, "t");
    const lb::PoolKey c("m", std::vector<std::int64_t>{7, 3, 7, 3}, "t");  // duplicates collapse: it is a set
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    EXPECT_EQ(a.hash(), b.hash());
    EXPECT_EQ(a.hash(), c.hash());
    EXPECT_EQ(std::hash<lb::PoolKey>{}(a), std::hash<lb::PoolKey>{}(c));
    EXPECT_EQ(lb::PoolKeyHash{}(b), a.hash());
    EXPECT_EQ(a.cluster_ids(), (std::vector<std::int64_t>{3, 7}));
    EXPECT_EQ(c.model_id(), "m");
    EXPECT_EQ(c.routing_tier(), "t");

    std::unordered_set<lb::PoolKey> set{a, b, c};
    EXPECT_EQ(set.size(), 1u);
}

TEST(VocabularyPoolKey, AnyDifferingPartMakesAnotherPool) {
    const lb::PoolKey base("m", {3, 7}, "t");
    const std::vector<lb::PoolKey> others = {
        lb::PoolKey("m2", {3, 7}, "t"),
        lb::PoolKey("m", {3}, "t"),
        lb::PoolKey("m", {3, 7, 8}, "t"),
        lb::PoolKey("m", {}, "t"),
        lb::PoolKey("m", {3, 7}, "t2"),
        lb::PoolKey("m", {3, 7}, ""),
        // Field boundaries matter: moving characters between the model id
        // and the tier must not give the same key.
        lb::PoolKey("mt", {3, 7}, ""),
        lb::PoolKey("", {3, 7}, "mt"),
        lb::PoolKey("m", {37}, "t"),
    };
    std::unordered_set<lb::PoolKey> set{base};
    for (const auto& k : others) {
        EXPECT_FALSE(k == base) << lb::pool_label(k);
        set.insert(k);
    }
    EXPECT_EQ(set.size(), others.size() + 1);
    EXPECT_EQ(lb::PoolKey("m", {}, "t"), lb::PoolKey("m", std::vector<std::int64_t>{}, "t"));
}

TEST(VocabularyPoolKey, Labels) {
    EXPECT_EQ(lb::pool_label(lb::PoolKey("m", {7, 3}, "t")), "m|3,7|t");
    EXPECT_EQ(lb::pool_label(lb::PoolKey("m", {}, "t")), "m||t");
    EXPECT_EQ(lb::pool_label(lb::PoolKey("m", {5, 5}, "t")), "m|5|t");
    EXPECT_EQ(lb::pool_label(lb::PoolKey("llama-3", {2, -1, 10}, "")), "llama-3|-1,2,10|");
}

}  // namespace
