// Rejection counters, the snapshot mapping and the Prometheus exposition:
// exact texts, key order and kinds, wait percentiles, per-pool entries,
// rounding and label escaping.
#include "load_balancer/balancer.hpp"
#include "load_balancer/settings.hpp"
#include "support/drive.hpp"
#include "support/log_capture.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_peer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace quillmar::lb {
namespace {

namespace json = boost::json;
using Peer = LoadBalancerTestPeer;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

ServerRecord rec(json::object o) { return make_record(std::move(o)); }

constexpr const char* kEmptyExposition =
    "# HELP quillmar_lb_inflight Current in-flight requests per backend.\n"
    "# TYPE quillmar_lb_inflight gauge\n"
    "# HELP quillmar_lb_dispatch_total Cumulative dispatches per backend.\n"
    "# TYPE quillmar_lb_dispatch_total counter\n"
    "# HELP quillmar_lb_rejected_total Requests rejected by the load balancer.\n"
    "# TYPE quillmar_lb_rejected_total counter\n"
    "# HELP quillmar_lb_queue_depth Number of waiters currently queued.\n"
    "# TYPE quillmar_lb_queue_depth gauge\n"
    "quillmar_lb_queue_depth 0\n";

std::vector<std::string> keys_of(const json::object& o) {
    std::vector<std::string> out;
    for (const auto& kv : o) out.emplace_back(kv.key());
    return out;
}

std::vector<json::kind> kinds_of(const json::object& o) {
    std::vector<json::kind> out;
    for (const auto& kv : o) out.push_back(kv.value().kind());
    return out;
}

boost::asio::awaitable<WaitResult> wait_owned(LoadBalancer& lb, PoolKey pool, std::vector<ServerRecord> candidates) {
    co_return co_await lb.wait_for_slot(pool, candidates, 100);
}

class Reports : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto& t : tasks)
            if (!t.done()) t.cancel();
        ManualClock::poll(io);
    }

    // One pick in `key` with the given algorithm: creates the pool's
    // round-robin table (default algorithm) and records a dispatch.
    ServerRecord pick(const PoolKey& key, const std::vector<ServerRecord>& candidates,
                      std::string_view algorithm = {}) {
        SelectOptions opts;
        opts.algorithm = algorithm;
        return testing::run_awaitable(io, lb.select(key, candidates, opts));
    }

    testing::SettingsGuard settings;
    testing::LogCapture log;
    ManualClock clock{10000.0};
    LoadBalancer lb;
    boost::asio::io_context io;
    std::vector<testing::Task<WaitResult>> tasks;
};

// ---- fresh balancer ---------------------------------------------------------

TEST_F(Reports, NewBalancerSnapshotHasEveryKeyInOrderWithItsKind) {
    json::object s = lb.snapshot();
    EXPECT_THAT(keys_of(s),
                ElementsAre("routing_mode", "dispatch_rate_per_sec", "superfast_cap", "hybrid_inflight_threshold",
                            "hybrid_rate_threshold", "hybrid_hot_exit_ratio", "queue_enabled", "queue_ttl_sec",
                            "queue_depth_multiplier", "queue_deadline_boost_sec", "pool_lru_ttl_sec", "inflight",
                            "dispatch_counts", "reject_counts", "queue_total_waiters", "queue_wait_p50_sec",
                            "queue_wait_p95_sec", "pools"));
    using K = json::kind;
    EXPECT_THAT(kinds_of(s), ElementsAre(K::string, K::double_, K::int64, K::int64, K::double_, K::double_, K::bool_,
                                         K::double_, K::int64, K::double_, K::double_, K::object, K::object, K::object,
                                         K::int64, K::double_, K::double_, K::object));
    EXPECT_EQ(s.at("routing_mode"), "superfast");
    EXPECT_EQ(s.at("dispatch_rate_per_sec").as_double(), 0.0);
    EXPECT_EQ(s.at("queue_enabled").as_bool(), QUEUE_ENABLED);
    EXPECT_EQ(s.at("queue_ttl_sec").as_double(), QUEUE_TTL_SEC);
    EXPECT_EQ(s.at("queue_depth_multiplier").as_int64(), QUEUE_MAX_DEPTH_MULTIPLIER);
    EXPECT_THAT(s.at("inflight").as_object(), IsEmpty());
    EXPECT_THAT(s.at("dispatch_counts").as_object(), IsEmpty());
    EXPECT_THAT(s.at("reject_counts").as_object(), IsEmpty());
    EXPECT_EQ(s.at("queue_total_waiters").as_int64(), 0);
    EXPECT_EQ(s.at("queue_wait_p50_sec").as_double(), 0.0);
    EXPECT_EQ(s.at("queue_wait_p95_sec").as_double(), 0.0);
    EXPECT_THAT(s.at("pools").as_object(), IsEmpty());
    EXPECT_EQ(lb.prometheus_text(), kEmptyExposition);
}

TEST_F(Reports, SettingsAreReportedAsCurrentlySetAndModeDependentOnesFollowTheMode) {
    SUPERFAST_PER_SERVER_CAP = 7;
    HYBRID_INFLIGHT_THRESHOLD = 11;
    HYBRID_RATE_THRESHOLD = 12.5;
    HYBRID_HOT_EXIT_RATIO = 1.5;  // reported as set, not limited to 1.0
    QUEUE_ENABLED = false;
    QUEUE_TTL_SEC = 45.0;
    QUEUE_MAX_DEPTH_MULTIPLIER = 6;
    QUEUE_DEADLINE_BOOST_SEC = 3.5;
    POOL_LRU_TTL_SEC = 120.0;
    QUEUE_ALL_TTL_SEC = 900.0;
    QUEUE_ALL_DEPTH_MULTIPLIER = 77;
    json::object s = lb.snapshot();
    EXPECT_EQ(s.at("superfast_cap").as_int64(), 7);
    EXPECT_EQ(s.at("hybrid_inflight_threshold").as_int64(), 11);
    EXPECT_EQ(s.at("hybrid_rate_threshold").as_double(), 12.5);
    EXPECT_EQ(s.at("hybrid_hot_exit_ratio").as_double(), 1.5);
    EXPECT_EQ(s.at("queue_enabled").as_bool(), false);
    EXPECT_EQ(s.at("queue_ttl_sec").as_double(), 45.0);
    EXPECT_EQ(s.at("queue_depth_multiplier").as_int64(), 6);
    EXPECT_EQ(s.at("queue_deadline_boost_sec").as_double(), 3.5);
    EXPECT_EQ(s.at("pool_lru_ttl_sec").as_double(), 120.0);

    lb.set_routing_mode("queue_all");
    s = lb.snapshot();
    EXPECT_EQ(s.at("routing_mode"), "queue_all");
    EXPECT_EQ(s.at("queue_enabled").as_bool(), true);
    EXPECT_EQ(s.at("queue_ttl_sec").as_double(), 900.0);
    EXPECT_EQ(s.at("queue_depth_multiplier").as_int64(), 77);
    EXPECT_EQ(s.at("queue_deadline_boost_sec").as_double(), 3.5);
}

// ---- counters and series ----------------------------------------------------

TEST_F(Reports, RejectionsCountInFirstSeenOrderWhateverTheReason) {
    lb.note_reject("at_capacity");
    lb.note_reject("at_capacity");
    Peer::bump_reject(lb, "queue_full");
    lb.note_reject("none");
    lb.note_reject("at_capacity");
    std::vector<std::pair<std::string, std::int64_t>> counts(lb.reject_counts.begin(), lb.reject_counts.end());
    EXPECT_THAT(counts, ElementsAre(std::pair<std::string, std::int64_t>{"at_capacity", 3},
                                    std::pair<std::string, std::int64_t>{"queue_full", 1},
                                    std::pair<std::string, std::int64_t>{"none", 1}));
    json::object s = lb.snapshot();
    EXPECT_EQ(s.at("reject_counts"), (json::object{{"at_capacity", 3}, {"queue_full", 1}, {"none", 1}}));
    EXPECT_THAT(keys_of(s.at("reject_counts").as_object()), ElementsAre("at_capacity", "queue_full", "none"));
    EXPECT_THAT(lb.prometheus_text(),
                HasSubstr("# TYPE quillmar_lb_rejected_total counter\n"
                          "quillmar_lb_rejected_total{reason=\"at_capacity\"} 3\n"
                          "quillmar_lb_rejected_total{reason=\"queue_full\"} 1\n"
                          "quillmar_lb_rejected_total{reason=\"none\"} 1\n"
                          "# HELP quillmar_lb_queue_depth"));
}

TEST_F(Reports, ExpositionListsEverySeriesInTableOrder) {
    QUEUE_ENABLED = true;
    const PoolKey key{"m", {1}, "t"};
    lb.increment(3);
    lb.increment(3);
    lb.decrement(1);  // an entry of 0 still gets its line
    Peer::record_dispatch(lb, key, *rec({{"id", 1}}));
    Peer::record_dispatch(lb, key, *rec({{"id", 3}}));
    Peer::record_dispatch(lb, key, *rec({{"id", 1}}));
    lb.note_reject("too_large");
    lb.queue_wait_samples.push_back(0.25);
    // Two parked requests on a full backend.
    const std::vector<ServerRecord> full{rec({{"id", 3}, {"weight", 1}, {"max_concurrency", 2}})};
    lb.set_routing_mode("max_concurrency");
    for (int i = 0; i < 2; ++i) tasks.push_back(testing::spawn(io, wait_owned(lb, key, full)));
    ManualClock::poll(io);

    EXPECT_EQ(lb.prometheus_text(),
              "# HELP quillmar_lb_inflight Current in-flight requests per backend.\n"
              "# TYPE quillmar_lb_inflight gauge\n"
              "quillmar_lb_inflight{server_id=\"3\"} 2\n"
              "quillmar_lb_inflight{server_id=\"1\"} 0\n"
              "# HELP quillmar_lb_dispatch_total Cumulative dispatches per backend.\n"
              "# TYPE quillmar_lb_dispatch_total counter\n"
              "quillmar_lb_dispatch_total{server_id=\"1\"} 2\n"
              "quillmar_lb_dispatch_total{server_id=\"3\"} 1\n"
              "# HELP quillmar_lb_rejected_total Requests rejected by the load balancer.\n"
              "# TYPE quillmar_lb_rejected_total counter\n"
              "quillmar_lb_rejected_total{reason=\"too_large\"} 1\n"
              "# HELP quillmar_lb_queue_depth Number of waiters currently queued.\n"
              "# TYPE quillmar_lb_queue_depth gauge\n"
              "quillmar_lb_queue_depth 2\n"
              "# HELP quillmar_lb_queue_wait_seconds Observed waiter wait times.\n"
              "# TYPE quillmar_lb_queue_wait_seconds summary\n"
              "quillmar_lb_queue_wait_seconds{quantile=\"0.5\"} 0.2500\n"
              "quillmar_lb_queue_wait_seconds{quantile=\"0.95\"} 0.2500\n"
              "quillmar_lb_queue_wait_seconds_sum 0.25\n"
              "quillmar_lb_queue_wait_seconds_count 1\n");

    json::object s = lb.snapshot();
    EXPECT_EQ(s.at("inflight"), (json::object{{"3", 2}, {"1", 0}}));
    EXPECT_THAT(keys_of(s.at("inflight").as_object()), ElementsAre("3", "1"));
    EXPECT_EQ(s.at("dispatch_counts"), (json::object{{"1", 2}, {"3", 1}}));
    EXPECT_THAT(keys_of(s.at("dispatch_counts").as_object()), ElementsAre("1", "3"));
    EXPECT_EQ(s.at("inflight").as_object().at("3").kind(), json::kind::int64);
    EXPECT_EQ(s.at("queue_total_waiters").as_int64(), 2);
}

TEST_F(Reports, LabelValuesAreEscapedForTheTextFormat) {
    lb.note_reject("a\"b\\c\nd");
    lb.note_reject("plain");
    const std::string text = lb.prometheus_text();
    EXPECT_THAT(text, HasSubstr("quillmar_lb_rejected_total{reason=\"a\\\"b\\\\c\\nd\"} 1\n"
                                "quillmar_lb_rejected_total{reason=\"plain\"} 1\n"));
    // Every line is still one sample or comment: the raw line feed is gone.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11);
    // The snapshot keeps the reason as it was given.
    EXPECT_EQ(lb.snapshot().at("reject_counts").as_object().at("a\"b\\c\nd").as_int64(), 1);
}

// ---- wait percentiles -------------------------------------------------------

struct PercentileCase {
    const char* name;
    std::vector<double> samples;  // pushed in this order
    double snap_p50, snap_p95;
    const char* expo_p50;  // nullptr: no wait lines at all
    const char* expo_p95;
    const char* expo_sum;  // the window's own sum: these samples bypass the counters
    std::size_t count;
};

std::vector<double> range(int from, int to) {
    std::vector<double> v;
    for (int i = from; i <= to; ++i) v.push_back(i);
    return v;
}

std::vector<double> shuffled(std::vector<double> v) {
    std::mt19937 rng(7);
    std::shuffle(v.begin(), v.end(), rng);
    return v;
}

class WaitPercentiles : public Reports, public ::testing::WithParamInterface<PercentileCase> {};

TEST_P(WaitPercentiles, BothReportsAgreeWhereTheyShould) {
    const PercentileCase& c = GetParam();
    for (double v : c.samples) lb.queue_wait_samples.push_back(v);
    json::object s = lb.snapshot();
    EXPECT_EQ(s.at("queue_wait_p50_sec").as_double(), c.snap_p50);
    EXPECT_EQ(s.at("queue_wait_p95_sec").as_double(), c.snap_p95);
    const std::string text = lb.prometheus_text();
    if (c.expo_p50 == nullptr) {
        EXPECT_EQ(text, kEmptyExposition);
        return;
    }
    const std::string expected = std::string(kEmptyExposition) +
                                 "# HELP quillmar_lb_queue_wait_seconds Observed waiter wait times.\n"
                                 "# TYPE quillmar_lb_queue_wait_seconds summary\n"
                                 "quillmar_lb_queue_wait_seconds{quantile=\"0.5\"} " +
                                 c.expo_p50 + "\nquillmar_lb_queue_wait_seconds{quantile=\"0.95\"} " + c.expo_p95 +
                                 "\nquillmar_lb_queue_wait_seconds_sum " + c.expo_sum +
                                 "\nquillmar_lb_queue_wait_seconds_count " + std::to_string(c.count) + "\n";
    EXPECT_EQ(text, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, WaitPercentiles,
    ::testing::Values(
        PercentileCase{"none", {}, 0.0, 0.0, nullptr, nullptr, nullptr, 0},
        PercentileCase{"one", {0.25}, 0.25, 0.0, "0.2500", "0.2500", "0.25", 1},
        PercentileCase{"two_upper_middle", {3.0, 1.0}, 3.0, 0.0, "3.0000", "3.0000", "4", 2},
        PercentileCase{"nineteen", shuffled(range(1, 19)), 10.0, 0.0, "10.0000", "19.0000", "190", 19},
        PercentileCase{"twenty", shuffled(range(1, 20)), 11.0, 20.0, "11.0000", "20.0000", "210", 20},
        PercentileCase{"twenty_one", shuffled(range(1, 21)), 11.0, 20.0, "11.0000", "20.0000", "231", 21},
        PercentileCase{"hundred", shuffled(range(1, 100)), 51.0, 96.0, "51.0000", "96.0000", "5050", 100},
        // 513 pushed: the first is gone, 512 remain (2..513).
        PercentileCase{"bounded_to_512", range(1, 513), 258.0, 488.0, "258.0000", "488.0000", "131840", 512},
        PercentileCase{"four_decimals_round_up", {0.00005}, 0.00005, 0.0, "0.0001", "0.0001", "5e-05", 1},
        PercentileCase{"four_decimals", {1.23456}, 1.23456, 0.0, "1.2346", "1.2346", "1.23456", 1}),
    [](const ::testing::TestParamInfo<PercentileCase>& info) { return std::string(info.param.name); });

TEST_F(Reports, WaitSummaryCountAndSumKeepGrowingPastTheWindow) {
    // Real waits, one at a time on a one-slot backend, each parked 0.5 s:
    // the quantiles see the last 512, _count and _sum every one of them.
    lb.set_routing_mode("queue_all");
    const PoolKey key{"m", {1}, "t"};
    const std::vector<ServerRecord> one{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    lb.increment(1);
    constexpr int kWaits = 600;
    for (int i = 0; i < kWaits; ++i) {
        auto task = testing::spawn(io, wait_owned(lb, key, one));
        ManualClock::poll(io);
        clock.advance(0.5);
        lb.decrement(1);  // admits the waiter
        ManualClock::poll(io);
        ASSERT_TRUE(task.done());
        ASSERT_EQ(task.value().reason, "ok");
        lb.increment(1);  // the admitted request takes the slot
    }
    EXPECT_EQ(lb.queue_wait_samples.size(), 512u);
    const std::string text = lb.prometheus_text();
    EXPECT_THAT(text, HasSubstr("quillmar_lb_queue_wait_seconds_sum 300\n"
                                "quillmar_lb_queue_wait_seconds_count 600\n"));
}

// ---- pools ------------------------------------------------------------------

TEST_F(Reports, OnlyRoundRobinPoolsAppearUnderPools) {
    const PoolKey lc{"lc", {1}, "t"};
    const PoolKey rr{"rr", {2, 1}, "t"};
    const std::vector<ServerRecord> servers{rec({{"id", 1}, {"weight", 1}}), rec({{"id", 2}, {"weight", 1}})};
    ASSERT_NE(pick(lc, servers, "least_connections"), nullptr);
    clock.advance(0.5);
    json::object s = lb.snapshot();
    EXPECT_THAT(s.at("pools").as_object(), IsEmpty());
    EXPECT_EQ(s.at("dispatch_counts"), (json::object{{"1", 1}}));
    EXPECT_EQ(s.at("dispatch_rate_per_sec").as_double(), 2.0);  // one dispatch 0.5 s ago

    ASSERT_NE(pick(rr, servers), nullptr);
    s = lb.snapshot();
    EXPECT_THAT(keys_of(s.at("pools").as_object()), ElementsAre("rr|1,2|t"));
}

TEST_F(Reports, PerPoolEntryHasItsKeysKindsAndValues) {
    const PoolKey p{"m", {7, 3}, "t"};
    const PoolKey q{"m", {}, "t"};
    const std::vector<ServerRecord> pq{rec({{"id", 1}, {"weight", 1}}), rec({{"id", 2}, {"weight", 1}})};
    const std::vector<ServerRecord> qq{rec({{"id", 2}, {"weight", 1}}), rec({{"id", 3}, {"weight", 1}})};
    pick(p, pq);
    clock.advance(0.25);
    pick(q, qq);
    clock.advance(0.125);
    for (int i = 0; i < 3; ++i) lb.increment(2);
    lb.increment(1);
    lb.increment(3);
    lb.increment(3);
    lb.increment(99);  // in no pool

    json::object pools = lb.snapshot().at("pools").as_object();
    EXPECT_THAT(keys_of(pools), ElementsAre("m|3,7|t", "m||t"));
    const json::object& a = pools.at("m|3,7|t").as_object();
    EXPECT_THAT(keys_of(a), ElementsAre("wrr_current", "idle_seconds", "inflight_total", "dispatch_rate_per_sec",
                                        "hybrid_hot"));
    using K = json::kind;
    EXPECT_THAT(kinds_of(a), ElementsAre(K::object, K::double_, K::int64, K::double_, K::null));
    EXPECT_EQ(a.at("wrr_current"), (json::object{{"1", -1.0}, {"2", 1.0}}));
    EXPECT_EQ(a.at("wrr_current").as_object().at("2").kind(), K::double_);
    EXPECT_NEAR(a.at("idle_seconds").as_double(), 0.375, 1e-9);
    EXPECT_EQ(a.at("inflight_total").as_int64(), 4);  // 1 + 3: server 2 counts in both pools
    EXPECT_EQ(a.at("dispatch_rate_per_sec").as_double(), 2.667);  // 1 dispatch / 0.375 s
    const json::object& b = pools.at("m||t").as_object();
    EXPECT_EQ(b.at("inflight_total").as_int64(), 5);  // 3 + 2
    EXPECT_NEAR(b.at("idle_seconds").as_double(), 0.125, 1e-9);
    EXPECT_EQ(b.at("dispatch_rate_per_sec").as_double(), 8.0);
}

TEST_F(Reports, PoolWithoutLastAccessReportsTheClockReadingAsIdle) {
    const PoolKey p{"m", {1}, "t"};
    Peer::wrr(lb)[p];
    json::object pool = lb.snapshot().at("pools").as_object().at("m|1|t").as_object();
    EXPECT_EQ(pool.at("idle_seconds").as_double(), clock.now());
    EXPECT_EQ(pool.at("inflight_total").as_int64(), 0);
    EXPECT_EQ(pool.at("wrr_current"), json::object{});
}

TEST_F(Reports, HybridHotIsReportedOnlyInHybridMode) {
    const PoolKey hot{"hot", {1}, "t"};
    const PoolKey unknown{"unknown", {1}, "t"};
    const PoolKey cooled{"cooled", {1}, "t"};
    const std::vector<ServerRecord> servers{rec({{"id", 1}, {"weight", 1}})};
    pick(hot, servers);
    pick(unknown, servers);
    pick(cooled, servers);
    Peer::pool_hot_state(lb)[hot] = true;
    Peer::pool_hot_state(lb)[cooled] = false;
    struct Case {
        const char* mode;
        json::value hot, unknown, cooled;
    };
    const Case cases[] = {
        {"superfast", nullptr, nullptr, nullptr},
        {"max_concurrency", nullptr, nullptr, nullptr},
        {"queue_all", nullptr, nullptr, nullptr},
        {"hybrid", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        lb.set_routing_mode(c.mode);
        json::object pools = lb.snapshot().at("pools").as_object();
        EXPECT_EQ(pools.at("hot|1|t").at("hybrid_hot"), c.hot);
        EXPECT_EQ(pools.at("unknown|1|t").at("hybrid_hot"), c.unknown);
        EXPECT_EQ(pools.at("cooled|1|t").at("hybrid_hot"), c.cooled);
    }
}

TEST_F(Reports, SnapshotEvictsPoolsIdleBeyondTheLimitFirst) {
    POOL_LRU_TTL_SEC = 300.0;
    const PoolKey old_pool{"old", {1}, "t"};
    const PoolKey fresh{"fresh", {1}, "t"};
    const std::vector<ServerRecord> servers{rec({{"id", 1}, {"weight", 1}})};
    pick(old_pool, servers);
    clock.advance(100.0);
    pick(fresh, servers);
    clock.advance(200.0);  // old: exactly the limit, kept
    EXPECT_THAT(keys_of(lb.snapshot().at("pools").as_object()), ElementsAre("old|1|t", "fresh|1|t"));
    clock.advance(0.001);
    // The exposition only reads: nothing is evicted by it.
    (void)lb.prometheus_text();
    EXPECT_EQ(Peer::wrr(lb).size(), 2u);
    json::object s = lb.snapshot();
    EXPECT_THAT(keys_of(s.at("pools").as_object()), ElementsAre("fresh|1|t"));
    EXPECT_EQ(Peer::wrr(lb).size(), 1u);
    EXPECT_EQ(s.at("dispatch_counts"), (json::object{{"1", 2}}));  // counters survive eviction
}

TEST_F(Reports, PoolsWithTheSameLabelLeaveTheLaterEntry) {
    const PoolKey first{"a|1", {2}, "t"};
    const PoolKey second{"a", {1}, "2|t"};
    ASSERT_FALSE(first == second);
    Peer::wrr(lb)[first][1] = 0.0;
    Peer::wrr(lb)[second][2] = 0.0;
    lb.increment(1);
    lb.increment(2);
    lb.increment(2);
    json::object pools = lb.snapshot().at("pools").as_object();
    ASSERT_EQ(pools.size(), 1u);
    EXPECT_EQ(pools.at("a|1|2|t").at("inflight_total").as_int64(), 2);
}

// ---- rounding of the rates ---------------------------------------------------

struct RoundingCase {
    int stamps;
    double span;  // seconds from the oldest stamp to now
    double expected;
};

class RateRounding : public Reports, public ::testing::WithParamInterface<RoundingCase> {};

TEST_P(RateRounding, ThreeDecimalsOfTheStoredValueTiesToEven) {
    const RoundingCase& c = GetParam();
    HYBRID_RATE_WINDOW_SEC = 5000.0;
    POOL_LRU_TTL_SEC = 1e9;
    const PoolKey key{"m", {1}, "t"};
    const double now = clock.now();
    Peer::wrr(lb)[key];
    Peer::pool_last_access(lb)[key] = now;
    boost::circular_buffer<double> window(4096);
    window.push_back(now - c.span);
    for (int i = 1; i < c.stamps; ++i) window.push_back(now);
    Peer::pool_dispatch_windows(lb)[key] = window;
    json::object s = lb.snapshot();
    EXPECT_EQ(s.at("dispatch_rate_per_sec").as_double(), c.expected);
    EXPECT_EQ(s.at("pools").at("m|1|t").at("dispatch_rate_per_sec").as_double(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rates, RateRounding,
                         ::testing::Values(RoundingCase{1, 16.0, 0.062},     // 0.0625: exact tie, to even
                                           RoundingCase{3, 16.0, 0.188},     // 0.1875: exact tie, to even
                                           RoundingCase{5, 16.0, 0.312},     // 0.3125
                                           RoundingCase{4001, 2000.0, 2.001},  // 2.0005 stored above the tie
                                           RoundingCase{2001, 2000.0, 1.0},    // 1.0005 stored below the tie
                                           RoundingCase{1, 3.0, 0.333}, RoundingCase{2, 3.0, 0.667},
                                           RoundingCase{7, 1.0, 7.0}));

}  // namespace
}  // namespace quillmar::lb
