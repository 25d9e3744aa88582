// The capacity gate: effective caps per routing mode, the hybrid hot/cold
// hysteresis, the dispatch-rate windows and the dispatch record.
#include "load_balancer/balancer.hpp"
#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"
#include "support/scoped_setting.hpp"
#include "support/log_capture.hpp"
#include "support/test_peer.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace quillmar::lb {
namespace {

namespace json = boost::json;
using Peer = LoadBalancerTestPeer;

using testing::ScopedSetting;

// A record with an id and, when given, a "max_concurrency" value (which may
// itself be null, a string, ...). nullopt leaves the key out.
ServerRecord server(std::int64_t id, std::optional<json::value> max_concurrency = std::nullopt) {
    json::object o{{"id", id}};
    if (max_concurrency) o["max_concurrency"] = *max_concurrency;
    return make_record(std::move(o));
}

void set_inflight(LoadBalancer& lb, std::int64_t id, std::int64_t count) { lb.inflight[id] = count; }

class CapacityTest : public ::testing::Test {
protected:
    testing::LogCapture log;  // keeps mode-change lines off the console
    ManualClock clock{1000.0, 1'700'000'000.0};
    LoadBalancer lb;
    PoolKey pool{"model-a", {1, 2}, "default"};
    PoolKey other{"model-b", {3}, "default"};
};

// ---- effective caps ---------------------------------------------------------

struct CapRow {
    std::string_view mode;
    bool hot;  // only meaningful in "hybrid"
    std::optional<json::value> max_concurrency;
    std::int64_t expected;
};

std::string describe(const std::optional<json::value>& v) {
    return v ? json::serialize(*v) : std::string("<absent>");
}

TEST_F(CapacityTest, EffectiveCapPerModeAndConfiguredValue) {
    const json::value null_value = nullptr;
    const std::vector<CapRow> rows = {
        // Configured caps pass through unchanged; <= 0 means unbounded.
        {ROUTING_MODE_MAX_CONCURRENCY, false, std::nullopt, 0},
        {ROUTING_MODE_MAX_CONCURRENCY, false, null_value, 0},
        {ROUTING_MODE_MAX_CONCURRENCY, false, 0, 0},
        {ROUTING_MODE_MAX_CONCURRENCY, false, false, 0},
        {ROUTING_MODE_MAX_CONCURRENCY, false, "", 0},
        {ROUTING_MODE_MAX_CONCURRENCY, false, 3, 3},
        {ROUTING_MODE_MAX_CONCURRENCY, false, -3, -3},
        {ROUTING_MODE_MAX_CONCURRENCY, false, 2.9, 2},
        {ROUTING_MODE_MAX_CONCURRENCY, false, 0.5, 0},
        {ROUTING_MODE_MAX_CONCURRENCY, false, "8", 8},
        {ROUTING_MODE_QUEUE_ALL, false, std::nullopt, 0},
        {ROUTING_MODE_QUEUE_ALL, false, 32, 32},
        // Superfast clamps to min(configured, 4), and unbounded to 4.
        {ROUTING_MODE_SUPERFAST, false, std::nullopt, 4},
        {ROUTING_MODE_SUPERFAST, false, null_value, 4},
        {ROUTING_MODE_SUPERFAST, false, 2, 2},
        {ROUTING_MODE_SUPERFAST, false, 32, 4},
        {ROUTING_MODE_SUPERFAST, false, -3, 4},
        {ROUTING_MODE_SUPERFAST, false, 2.9, 2},
        {ROUTING_MODE_SUPERFAST, false, 0.5, 4},
        {ROUTING_MODE_SUPERFAST, false, "8", 4},
        // Hybrid: configured cap while hot, superfast clamp while cold.
        {ROUTING_MODE_HYBRID, false, std::nullopt, 4},
        {ROUTING_MODE_HYBRID, false, 2, 2},
        {ROUTING_MODE_HYBRID, false, 32, 4},
        {ROUTING_MODE_HYBRID, true, std::nullopt, 0},
        {ROUTING_MODE_HYBRID, true, 2, 2},
        {ROUTING_MODE_HYBRID, true, 32, 32},
    };
    for (const CapRow& row : rows) {
        SCOPED_TRACE(std::string(row.mode) + (row.hot ? " hot" : "") + " max_concurrency=" +
                     describe(row.max_concurrency));
        LoadBalancer fresh;
        fresh.set_routing_mode(row.mode);
        ServerRecord s = server(1, row.max_concurrency);
        // Pool in-flight 10 reaches the hybrid threshold; 0 leaves it cold.
        std::int64_t pool_inflight = row.hot ? 10 : 0;
        EXPECT_EQ(Peer::effective_cap_for(fresh, *s, pool_inflight, 0.0, nullptr), row.expected);
        if (!row.hot) {
            EXPECT_EQ(fresh.effective_cap_for(*s), row.expected);
        }
    }
}

TEST_F(CapacityTest, SuperfastClampFollowsTheSettingAndNeverDropsBelowOne) {
    struct Row {
        std::int64_t setting;
        std::optional<json::value> max_concurrency;
        std::int64_t expected;
    };
    const std::vector<Row> rows = {
        {0, std::nullopt, 1}, {0, 2, 1},   {0, 32, 1},  {-5, std::nullopt, 1}, {-5, 7, 1},
        {2, std::nullopt, 2}, {2, 3, 2},   {2, 1, 1},   {16, 32, 16},          {16, std::nullopt, 16},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("SUPERFAST_PER_SERVER_CAP=" + std::to_string(row.setting) +
                     " max_concurrency=" + describe(row.max_concurrency));
        ScopedSetting cap(SUPERFAST_PER_SERVER_CAP, row.setting);
        EXPECT_EQ(lb.effective_cap_for(*server(1, row.max_concurrency)), row.expected);
    }
}

TEST_F(CapacityTest, UnderCapacityUntilTheCountReachesTheCap) {
    struct Row {
        std::string_view mode;
        std::optional<json::value> max_concurrency;
        std::int64_t inflight;
        bool expected;
    };
    const json::value null_value = nullptr;
    const std::vector<Row> rows = {
        {ROUTING_MODE_MAX_CONCURRENCY, 3, 2, true},
        {ROUTING_MODE_MAX_CONCURRENCY, 3, 3, false},
        {ROUTING_MODE_MAX_CONCURRENCY, 3, 4, false},
        {ROUTING_MODE_MAX_CONCURRENCY, std::nullopt, 500, true},
        {ROUTING_MODE_MAX_CONCURRENCY, null_value, 500, true},
        {ROUTING_MODE_MAX_CONCURRENCY, 0, 500, true},
        {ROUTING_MODE_MAX_CONCURRENCY, -3, 500, true},
        {ROUTING_MODE_MAX_CONCURRENCY, 2.9, 2, false},
        {ROUTING_MODE_SUPERFAST, std::nullopt, 3, true},
        {ROUTING_MODE_SUPERFAST, std::nullopt, 4, false},
        {ROUTING_MODE_SUPERFAST, 32, 4, false},
        {ROUTING_MODE_SUPERFAST, 2, 1, true},
        {ROUTING_MODE_SUPERFAST, 2, 2, false},
        {ROUTING_MODE_QUEUE_ALL, 1, 0, true},
        {ROUTING_MODE_QUEUE_ALL, 1, 1, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " max_concurrency=" + describe(row.max_concurrency) +
                     " inflight=" + std::to_string(row.inflight));
        LoadBalancer fresh;
        fresh.set_routing_mode(row.mode);
        set_inflight(fresh, 7, row.inflight);
        ServerRecord s = server(7, row.max_concurrency);
        EXPECT_EQ(Peer::under_capacity(fresh, *s), row.expected);
    }
}

TEST_F(CapacityTest, CapsBeyondTheIntegerRangeSaturateInsteadOfThrowing) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::vector<std::pair<json::value, std::int64_t>> rows = {
        {json::value(std::uint64_t{18446744073709551615ull}), kMax},
        {json::value(1e19), kMax},
        {json::value(1e300), kMax},
        {json::value(std::numeric_limits<double>::infinity()), kMax},
        {json::value(-1e300), std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& [value, cap] : rows) {
        SCOPED_TRACE(json::serialize(value));
        ServerRecord s = server(7, value);
        LoadBalancer fresh;
        set_inflight(fresh, 7, 1'000'000);
        fresh.set_routing_mode(ROUTING_MODE_MAX_CONCURRENCY);
        EXPECT_EQ(fresh.effective_cap_for(*s), cap);
        EXPECT_TRUE(Peer::under_capacity(fresh, *s));  // no practical limit (a negative cap is none at all)
        fresh.set_routing_mode(ROUTING_MODE_SUPERFAST);
        EXPECT_EQ(fresh.effective_cap_for(*s), 4);  // the clamp still applies
    }
    // A value that is not a number at all is still the caller's error.
    EXPECT_THROW((void)lb.effective_cap_for(*server(7, json::value("lots"))), ValueError);
}

// ---- hybrid hysteresis ------------------------------------------------------

enum class Stored { none, hot, cold };

Stored stored_state(LoadBalancer& lb, const PoolKey& key) {
    auto& table = Peer::pool_hot_state(lb);
    auto it = table.find(key);
    if (it == table.end()) return Stored::none;
    return it->second ? Stored::hot : Stored::cold;
}

struct HotRow {
    Stored before;
    std::int64_t pool_inflight;
    double pool_rate;
    bool expected_hot;
    Stored after;
};

void check_hot_rows(const std::vector<HotRow>& rows, const PoolKey& key) {
    for (const HotRow& row : rows) {
        SCOPED_TRACE("before=" + std::to_string(static_cast<int>(row.before)) +
                     " inflight=" + std::to_string(row.pool_inflight) + " rate=" + std::to_string(row.pool_rate));
        LoadBalancer lb;
        if (row.before != Stored::none) Peer::pool_hot_state(lb)[key] = row.before == Stored::hot;
        EXPECT_EQ(Peer::hybrid_hot(lb, &key, row.pool_inflight, row.pool_rate), row.expected_hot);
        EXPECT_EQ(stored_state(lb, key), row.after);
    }
}

TEST_F(CapacityTest, HybridEntersAtThresholdsAndLeavesOnlyBelowExitLevels) {
    check_hot_rows(
        {
            // Cold pool: either signal reaching its threshold (inclusive) turns it hot.
            {Stored::none, 9, 9.9, false, Stored::none},
            {Stored::none, 10, 0.0, true, Stored::hot},
            {Stored::none, 0, 10.0, true, Stored::hot},
            // A pool that cooled holds false and is cold again on the same inputs.
            {Stored::cold, 9, 9.9, false, Stored::cold},
            {Stored::cold, 10, 0.0, true, Stored::hot},
            // Hot pool: stays hot while either signal is strictly above 8.0.
            {Stored::hot, 9, 0.0, true, Stored::hot},
            {Stored::hot, 0, 8.5, true, Stored::hot},
            {Stored::hot, 8, 8.0, false, Stored::cold},
            {Stored::hot, 0, 0.0, false, Stored::cold},
        },
        pool);
}

TEST_F(CapacityTest, HybridExitRatioIsClampedToTheUnitRange) {
    {
        SCOPED_TRACE("ratio 1.5 acts as 1.0");
        ScopedSetting ratio(HYBRID_HOT_EXIT_RATIO, 1.5);
        check_hot_rows(
            {
                {Stored::hot, 12, 0.0, true, Stored::hot},   // 12 > 10 (unclamped exit 15 would cool it)
                {Stored::hot, 0, 11.0, true, Stored::hot},
                {Stored::hot, 10, 10.0, false, Stored::cold},
            },
            pool);
    }
    {
        SCOPED_TRACE("ratio -0.2 acts as 0.0");
        ScopedSetting ratio(HYBRID_HOT_EXIT_RATIO, -0.2);
        check_hot_rows(
            {
                {Stored::hot, 1, 0.0, true, Stored::hot},
                {Stored::hot, 0, 0.001, true, Stored::hot},
                {Stored::hot, 0, 0.0, false, Stored::cold},  // unclamped exit -2 would keep it hot
            },
            pool);
    }
}

TEST_F(CapacityTest, HybridThresholdsFollowTheSettings) {
    ScopedSetting inflight(HYBRID_INFLIGHT_THRESHOLD, std::int64_t{20});
    ScopedSetting rate(HYBRID_RATE_THRESHOLD, 2.0);
    check_hot_rows(
        {
            {Stored::none, 19, 1.9, false, Stored::none},
            {Stored::none, 20, 0.0, true, Stored::hot},
            {Stored::none, 0, 2.0, true, Stored::hot},
            {Stored::hot, 17, 0.0, true, Stored::hot},   // exit level 16
            {Stored::hot, 16, 1.6, false, Stored::cold},
        },
        pool);
}

TEST_F(CapacityTest, HybridWithoutPoolKeyIsThePureThresholdAndStoresNothing) {
    Peer::pool_hot_state(lb)[pool] = true;
    EXPECT_FALSE(Peer::hybrid_hot(lb, nullptr, 9, 9.9));
    EXPECT_FALSE(Peer::hybrid_hot(lb, nullptr, 9, 0.0));  // a hot pool would stay hot here
    EXPECT_TRUE(Peer::hybrid_hot(lb, nullptr, 10, 0.0));
    EXPECT_TRUE(Peer::hybrid_hot(lb, nullptr, 0, 10.0));
    ASSERT_EQ(Peer::pool_hot_state(lb).size(), 1u);
    EXPECT_TRUE(Peer::pool_hot_state(lb).at(pool));
}

TEST_F(CapacityTest, HybridGateUsesThePoolSumAndKeepsHysteresisAcrossCalls) {
    lb.set_routing_mode(ROUTING_MODE_HYBRID);
    log.clear();
    std::vector<ServerRecord> pool_servers = {server(1, 32), server(2, 32), server(3, 32)};
    std::span<const ServerRecord> scope(pool_servers);
    const json::object& first = *pool_servers[0];

    set_inflight(lb, 1, 4);
    set_inflight(lb, 2, 3);
    set_inflight(lb, 3, 2);
    // Pool in-flight 9: cold, clamp 4, server 1 holds 4 and is full.
    EXPECT_FALSE(Peer::under_capacity(lb, first, scope, &pool));
    EXPECT_EQ(lb.effective_cap_for(first, scope, &pool), 4);
    // Without the pool scope only the server's own 4 counts.
    EXPECT_EQ(lb.effective_cap_for(first, std::nullopt, &other), 4);

    set_inflight(lb, 3, 3);  // pool in-flight 10: hot
    EXPECT_TRUE(Peer::under_capacity(lb, first, scope, &pool));
    EXPECT_EQ(stored_state(lb, pool), Stored::hot);

    set_inflight(lb, 3, 2);  // 9 > 8.0: still hot
    EXPECT_EQ(lb.effective_cap_for(first, scope, &pool), 32);
    set_inflight(lb, 3, 1);  // 8: cools
    EXPECT_EQ(lb.effective_cap_for(first, scope, &pool), 4);
    EXPECT_EQ(stored_state(lb, pool), Stored::cold);
    // The other pool was never asked in hybrid terms that turned it hot.
    EXPECT_EQ(stored_state(lb, other), Stored::none);
    EXPECT_TRUE(log.lines().empty());  // a full backend is an outcome, not an event
}

TEST_F(CapacityTest, EffectiveCapWithoutCandidatesCountsTheServerAlone) {
    lb.set_routing_mode(ROUTING_MODE_HYBRID);
    ServerRecord s = server(5, 32);
    set_inflight(lb, 6, 50);  // another server's load is not in scope
    set_inflight(lb, 5, 9);
    EXPECT_EQ(lb.effective_cap_for(*s), 4);
    set_inflight(lb, 5, 10);
    EXPECT_EQ(lb.effective_cap_for(*s), 32);
    EXPECT_TRUE(Peer::pool_hot_state(lb).empty());  // no pool key: nothing stored
}

TEST_F(CapacityTest, PoolInflightSumsCandidatesInOrderDuplicatesIncluded) {
    set_inflight(lb, 1, 2);
    set_inflight(lb, 2, 5);
    std::vector<ServerRecord> none;
    EXPECT_EQ(Peer::pool_inflight(lb, none), 0);
    std::vector<ServerRecord> c = {server(1), server(2), server(3), server(1)};
    EXPECT_EQ(Peer::pool_inflight(lb, c), 9);
}

TEST_F(CapacityTest, HotStateSurvivesAModeSwitch) {
    lb.set_routing_mode(ROUTING_MODE_HYBRID);
    ServerRecord s = server(1, 32);
    std::vector<ServerRecord> scope = {s};
    set_inflight(lb, 1, 10);
    EXPECT_EQ(lb.effective_cap_for(*s, scope, &pool), 32);
    lb.set_routing_mode(ROUTING_MODE_SUPERFAST);
    set_inflight(lb, 1, 9);
    EXPECT_EQ(lb.effective_cap_for(*s, scope, &pool), 4);
    lb.set_routing_mode(ROUTING_MODE_HYBRID);
    EXPECT_EQ(lb.effective_cap_for(*s, scope, &pool), 32);  // still hot: 9 > 8.0
}

// ---- dispatch rate ----------------------------------------------------------

std::size_t window_size(LoadBalancer& lb, const PoolKey& key) {
    auto& windows = Peer::pool_dispatch_windows(lb);
    auto it = windows.find(key);
    return it == windows.end() ? std::size_t(-1) : it->second.size();
}

TEST_F(CapacityTest, RateOfAPoolWithoutDispatchesIsZero) {
    EXPECT_EQ(Peer::recent_dispatch_rate(lb, &pool), 0.0);
    EXPECT_EQ(Peer::recent_dispatch_rate(lb), 0.0);
    EXPECT_TRUE(Peer::pool_dispatch_windows(lb).empty());  // reading creates no window
}

TEST_F(CapacityTest, RateTrimsStampsStrictlyOlderThanTheWindow) {
    ServerRecord s = server(1);
    Peer::record_dispatch(lb, pool, *s);
    clock.advance(5.0);
    // Exactly at the cutoff: kept and counted over a 5 s span.
    EXPECT_DOUBLE_EQ(Peer::recent_dispatch_rate(lb, &pool), 0.2);
    EXPECT_EQ(window_size(lb, pool), 1u);
    clock.advance(0.001);
    EXPECT_EQ(Peer::recent_dispatch_rate(lb, &pool), 0.0);
    // The emptied window stays in the table until the pool is evicted.
    EXPECT_EQ(window_size(lb, pool), 0u);
}

TEST_F(CapacityTest, RateWindowIsNeverShorterThanHalfASecond) {
    ScopedSetting window(HYBRID_RATE_WINDOW_SEC, 0.1);
    ServerRecord s = server(1);
    Peer::record_dispatch(lb, pool, *s);
    clock.advance(0.5);
    EXPECT_DOUBLE_EQ(Peer::recent_dispatch_rate(lb, &pool), 2.0);
    clock.advance(0.01);
    EXPECT_EQ(Peer::recent_dispatch_rate(lb, &pool), 0.0);
}

TEST_F(CapacityTest, RateIsCountOverTimeSinceTheOldestRetainedStamp) {
    ServerRecord s = server(1);
    Peer::record_dispatch(lb, pool, *s);
    clock.advance(0.05);
    EXPECT_NEAR(Peer::recent_dispatch_rate(lb, &pool), 20.0, 1e-6);
    clock.advance(3.95);  // 4.0 s after the first stamp
    for (int i = 0; i < 9; ++i) Peer::record_dispatch(lb, pool, *s);
    EXPECT_NEAR(Peer::recent_dispatch_rate(lb, &pool), 2.5, 1e-9);
}

TEST_F(CapacityTest, RateSpanIsFlooredAtOneMillisecond) {
    ServerRecord s = server(1);
    Peer::record_dispatch(lb, pool, *s);
    EXPECT_DOUBLE_EQ(Peer::recent_dispatch_rate(lb, &pool), 1000.0);  // zero span
    clock.advance(0.0002);
    EXPECT_DOUBLE_EQ(Peer::recent_dispatch_rate(lb, &pool), 1000.0);
    EXPECT_DOUBLE_EQ(Peer::recent_dispatch_rate(lb), 1000.0);
}

TEST_F(CapacityTest, WholeBalancerRateSpansEveryPoolFromTheOldestStamp) {
    PoolKey stale{"model-c", {9}, "default"};
    ServerRecord s = server(1);
    Peer::record_dispatch(lb, stale, *s);  // t=1000, outside the window at the reading
    clock.advance(4.0);                    // t=1004
    Peer::record_dispatch(lb, pool, *s);
    clock.advance(1.0);  // t=1005
    Peer::record_dispatch(lb, pool, *s);
    Peer::record_dispatch(lb, other, *s);
    clock.advance(0.5);  // t=1005.5
    Peer::record_dispatch(lb, pool, *s);
    clock.advance(0.5);  // t=1006
    Peer::record_dispatch(lb, other, *s);

    // 3 + 2 retained stamps, the oldest 2.0 s old.
    EXPECT_DOUBLE_EQ(Peer::recent_dispatch_rate(lb), 2.5);
    EXPECT_EQ(window_size(lb, stale), 0u);  // trimmed by the whole-balancer reading
    EXPECT_DOUBLE_EQ(Peer::recent_dispatch_rate(lb, &pool), 1.5);
    EXPECT_DOUBLE_EQ(Peer::recent_dispatch_rate(lb, &other), 2.0);
}

TEST_F(CapacityTest, EveryCapacityTestTrimsItsPoolWindowInAnyMode) {
    lb.set_routing_mode(ROUTING_MODE_MAX_CONCURRENCY);
    ServerRecord s = server(1, 3);
    std::vector<ServerRecord> scope = {s};
    Peer::record_dispatch(lb, pool, *s);
    Peer::record_dispatch(lb, other, *s);
    clock.advance(6.0);
    EXPECT_TRUE(Peer::under_capacity(lb, *s, scope, &pool));
    EXPECT_EQ(window_size(lb, pool), 0u);
    EXPECT_EQ(window_size(lb, other), 1u);
    // Without a pool key every window is trimmed.
    EXPECT_TRUE(Peer::under_capacity(lb, *s, scope, nullptr));
    EXPECT_EQ(window_size(lb, other), 0u);
}

// ---- dispatch record --------------------------------------------------------

TEST_F(CapacityTest, RecordDispatchCountsStampsAndTouchesThePool) {
    ServerRecord s = server(7);
    Peer::record_dispatch(lb, pool, *s);
    clock.advance(2.5);
    Peer::record_dispatch(lb, pool, *s);

    EXPECT_EQ(lb.dispatch_counts.at(7), 2);
    EXPECT_DOUBLE_EQ(lb.last_dispatch_ts.at(7), 1'700'000'002.5);  // wall time of the second call
    EXPECT_DOUBLE_EQ(Peer::pool_last_access(lb).at(pool), 1002.5);   // monotonic time
    const auto& win = Peer::pool_dispatch_windows(lb).at(pool);
    ASSERT_EQ(win.size(), 2u);
    EXPECT_DOUBLE_EQ(win.front(), 1000.0);
    EXPECT_DOUBLE_EQ(win.back(), 1002.5);
}

TEST_F(CapacityTest, WindowKeepsTheNewest4096Stamps) {
    ServerRecord s = server(1);
    std::vector<double> stamps;
    for (int i = 0; i < 4097; ++i) {
        stamps.push_back(clock.now());
        Peer::record_dispatch(lb, pool, *s);
        clock.advance(0.0001);
    }
    const auto& win = Peer::pool_dispatch_windows(lb).at(pool);
    ASSERT_EQ(win.size(), 4096u);
    EXPECT_DOUBLE_EQ(win.front(), stamps[1]);
    EXPECT_DOUBLE_EQ(win.back(), stamps.back());
    EXPECT_EQ(lb.dispatch_counts.at(1), 4097);
}

TEST_F(CapacityTest, GateQuestionsRecordNoDispatch) {
    ServerRecord s = server(1, 3);
    std::vector<ServerRecord> scope = {s};
    EXPECT_TRUE(Peer::under_capacity(lb, *s, scope, &pool));
    (void)lb.effective_cap_for(*s, scope, &pool);
    EXPECT_TRUE(lb.dispatch_counts.empty());
    EXPECT_TRUE(Peer::pool_dispatch_windows(lb).empty());
    EXPECT_TRUE(Peer::pool_last_access(lb).empty());
}

// ---- malformed records ------------------------------------------------------

TEST_F(CapacityTest, RecordWithoutIdIsAKeyError) {
    ServerRecord no_id = make_record(json::object{{"max_concurrency", 3}});
    ServerRecord good = server(1, 3);
    std::vector<ServerRecord> scope_with_bad = {good, no_id};

    EXPECT_THROW(Peer::record_dispatch(lb, pool, *no_id), KeyError);
    EXPECT_TRUE(lb.dispatch_counts.empty());
    EXPECT_THROW(Peer::under_capacity(lb, *no_id), KeyError);
    EXPECT_THROW(lb.effective_cap_for(*no_id), KeyError);
    EXPECT_THROW(Peer::under_capacity(lb, *good, scope_with_bad, &pool), KeyError);

    // The one tolerated case: an unbounded cap with a pool scope given answers
    // true without reading the server's id.
    lb.set_routing_mode(ROUTING_MODE_MAX_CONCURRENCY);
    ServerRecord unbounded_no_id = make_record(json::object{{"weight", 1}});
    std::vector<ServerRecord> scope = {good};
    EXPECT_TRUE(Peer::under_capacity(lb, *unbounded_no_id, scope, &pool));
    // ...but not once the cap is bounded.
    EXPECT_THROW(Peer::under_capacity(lb, *no_id, scope, &pool), KeyError);
}

TEST_F(CapacityTest, UnusableMaxConcurrencyIsAValueError) {
    const std::vector<json::value> bad = {"abc", "8.5", json::object{{"n", 1}}, json::array{1}};
    for (std::string_view mode : VALID_ROUTING_MODES) {
        for (const json::value& v : bad) {
            SCOPED_TRACE(std::string(mode) + " max_concurrency=" + json::serialize(v));
            LoadBalancer fresh;
            fresh.set_routing_mode(mode);
            ServerRecord s = server(1, v);
            std::vector<ServerRecord> scope = {s};
            EXPECT_THROW(Peer::under_capacity(fresh, *s, scope, &pool), ValueError);
            EXPECT_THROW(fresh.effective_cap_for(*s), ValueError);
        }
    }
    // Empty collections are falsy: unbounded, not an error.
    lb.set_routing_mode(ROUTING_MODE_MAX_CONCURRENCY);
    EXPECT_EQ(lb.effective_cap_for(*server(1, json::object{})), 0);
    EXPECT_EQ(lb.effective_cap_for(*server(1, json::array{})), 0);
}

}  // namespace
}  // namespace quillmar::lb
