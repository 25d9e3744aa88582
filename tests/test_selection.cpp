// Backend selection: pins, the drain rule, the sin-bin, the three balancing
// algorithms, the fit filter, idle-pool eviction and the per-pool lock.
#include "load_balancer/balancer.hpp"
#include "load_balancer/detail/sticky_cache.hpp"
#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"
#include "support/scoped_setting.hpp"
#include "support/log_capture.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_peer.hpp"

#include <blake2.h>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quillmar::lb {
namespace {

namespace json = boost::json;
namespace asio = boost::asio;
using Peer = LoadBalancerTestPeer;
using testing::run_awaitable;
using testing::spawn_tracked;

using testing::ScopedSetting;

// A record with an id and optionally a weight (nullopt leaves the key out).
ServerRecord rec(std::int64_t id, std::optional<json::value> weight = json::value(1)) {
    json::object o{{"id", id}};
    if (weight) o["weight"] = *weight;
    return make_record(std::move(o));
}

std::vector<std::int64_t> ids_of(const std::vector<ServerRecord>& records) {
    std::vector<std::int64_t> out;
    for (const auto& r : records) out.push_back(server_id(r));
    return out;
}

// True when `r` is one of the objects in `candidates` (not a copy).
bool is_one_of(const ServerRecord& r, const std::vector<ServerRecord>& candidates) {
    return std::any_of(candidates.begin(), candidates.end(), [&](const ServerRecord& c) { return c.get() == r.get(); });
}

std::int64_t total_dispatches(const LoadBalancer& lb) {
    std::int64_t n = 0;
    for (const auto& [id, count] : lb.dispatch_counts) n += count;
    return n;
}

// BLAKE2b of "<key>|<id>" with the given digest length, first 8 bytes read
// big-endian: an independent reference for the sticky score.
std::uint64_t reference_score(std::string_view key, std::int64_t id, std::size_t outlen) {
    std::string material = std::string(key) + "|" + std::to_string(id);
    std::uint8_t out[64] = {};
    EXPECT_EQ(blake2b(out, material.data(), nullptr, outlen, material.size(), 0), 0);
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | out[i];
    return v;
}

std::int64_t best_by_score(std::string_view key, const std::vector<std::int64_t>& ids) {
    std::int64_t best = ids.front();
    for (std::int64_t id : ids)
        if (sticky_score(key, id) > sticky_score(key, best)) best = id;
    return best;
}

class SelectionTest : public ::testing::Test {
protected:
    ManualClock clock{1000.0};
    asio::io_context io;
    LoadBalancer lb;
    PoolKey pool{"model-a", {1, 2}, "default"};
    PoolKey other{"model-b", {3}, "default"};

    ServerRecord select_in(LoadBalancer& b, const PoolKey& key, const std::vector<ServerRecord>& candidates,
                           SelectOptions options = {}) {
        return run_awaitable(io, b.select(key, candidates, options));
    }
    ServerRecord select(const std::vector<ServerRecord>& candidates, SelectOptions options = {}) {
        return select_in(lb, pool, candidates, options);
    }
    std::vector<std::int64_t> picks(LoadBalancer& b, const std::vector<ServerRecord>& candidates, int n,
                                    SelectOptions options = {}) {
        std::vector<std::int64_t> out;
        for (int i = 0; i < n; ++i) {
            ServerRecord r = select_in(b, pool, candidates, options);
            if (!r) {
                ADD_FAILURE() << "select returned null at pick " << i;
                break;
            }
            EXPECT_TRUE(is_one_of(r, candidates)) << "select returned a copy";
            out.push_back(server_id(r));
        }
        return out;
    }
};

// ---- smooth weighted round-robin --------------------------------------------

TEST_F(SelectionTest, RoundRobinSequences) {
    struct Row {
        std::vector<std::pair<std::int64_t, json::value>> servers;  // id, weight in candidate order
        std::vector<std::int64_t> expected;
    };
    const std::vector<Row> rows = {
        {{{1, 5}, {2, 1}, {3, 1}}, {1, 1, 2, 1, 3, 1, 1}},
        {{{3, 1}, {1, 1}, {2, 1}}, {1, 2, 3, 1, 2, 3}},  // ties go to the smaller id
        {{{10, 2}, {20, 1}}, {10, 20, 10, 10, 20, 10}},
        {{{10, 2.0}, {20, 1.0}}, {10, 20, 10}},
    };
    for (const Row& row : rows) {
        std::vector<ServerRecord> candidates;
        for (const auto& [id, w] : row.servers) candidates.push_back(rec(id, w));
        SCOPED_TRACE(::testing::PrintToString(ids_of(candidates)));
        LoadBalancer b;
        EXPECT_EQ(picks(b, candidates, static_cast<int>(row.expected.size())), row.expected);
        // Every sequence above ends on a full cycle: all current weights are back at 0.0.
        const auto& state = Peer::wrr(b).at(pool);
        EXPECT_EQ(state.size(), row.servers.size());
        for (const auto& [id, current] : state) EXPECT_EQ(current, 0.0) << "server " << id;
    }
}

TEST_F(SelectionTest, RoundRobinConvertsNumericStringWeights) {
    // Past the drain rule (which compares without conversion), the pick reads
    // weights as floats, and a numeric string converts.
    std::vector<ServerRecord> eligible = {rec(10, "2"), rec(20, " 1.0 ")};
    std::vector<std::int64_t> got;
    for (int i = 0; i < 3; ++i) got.push_back(server_id(run_awaitable(io, Peer::wrr_pick(lb, pool, eligible))));
    EXPECT_EQ(got, (std::vector<std::int64_t>{10, 20, 10}));
    EXPECT_DOUBLE_EQ(Peer::pool_last_access(lb).at(pool), clock.now());
    EXPECT_TRUE(lb.dispatch_counts.empty());  // the pick itself records nothing
}

TEST_F(SelectionTest, ServerLeftOutOfAPickLosesItsCurrentWeight) {
    std::vector<ServerRecord> candidates = {rec(1, 5), rec(2, 1), rec(3, 1)};
    ASSERT_EQ(server_id(select(candidates)), 1);  // state 1:-2, 2:1, 3:1
    lb.inflight[3] = 4;                           // at the superfast cap: not eligible
    ASSERT_EQ(server_id(select(candidates)), 1);  // 1:3-6=-3, 2:2; 3 dropped
    EXPECT_FALSE(Peer::wrr(lb).at(pool).contains(3));
    lb.inflight.erase(3);
    ASSERT_EQ(server_id(select(candidates)), 2);  // 1:2, 2:3-7=-4, 3 re-enters at 0+1
    const auto& state = Peer::wrr(lb).at(pool);
    EXPECT_EQ(state.at(1), 2.0);
    EXPECT_EQ(state.at(2), -4.0);
    EXPECT_EQ(state.at(3), 1.0);
}

// ---- drain rule and sin-bin -------------------------------------------------

TEST_F(SelectionTest, DrainRuleSkipsNonPositiveWeightsUnlessAllAreDrained) {
    const json::value null_value = nullptr;
    struct Row {
        std::vector<ServerRecord> candidates;
        std::vector<std::int64_t> expected;
    };
    const std::vector<Row> rows = {
        {{rec(1, 0), rec(2, std::nullopt), rec(3, 2)}, {3, 3, 3}},
        {{rec(1, false), rec(2, null_value), rec(3, ""), rec(4, -1.0), rec(5, 0.5)}, {5, 5}},
        // Nobody has a positive weight: all take part, each counted as 1.0.
        {{rec(1, 0), rec(2, std::nullopt)}, {1, 2, 1, 2}},
        {{rec(2, 0.0), rec(1, null_value), rec(3, false)}, {1, 2, 3, 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(ids_of(row.candidates)));
        LoadBalancer b;
        EXPECT_EQ(picks(b, row.candidates, static_cast<int>(row.expected.size())), row.expected);
    }
}

TEST_F(SelectionTest, SinBinnedServerIsNeverPicked) {
    std::vector<ServerRecord> candidates = {rec(1, 1), rec(2, 100)};
    std::vector<std::int64_t> bin = {2};
    for (std::string_view algo : {"", "least_connections", "sticky_session"}) {
        SCOPED_TRACE(std::string(algo));
        lb.inflight[1] = 3;  // least connections would otherwise prefer 2
        EXPECT_EQ(picks(lb, candidates, 3, {.sin_binned = bin, .algorithm = algo, .sticky_key = "k"}),
                  (std::vector<std::int64_t>{1, 1, 1}));
    }
    std::vector<std::int64_t> all = {1, 2};
    EXPECT_EQ(select(candidates, {.sin_binned = all}), nullptr);
}

TEST_F(SelectionTest, SinBinnedServerCountsInThePoolScopeButIsNotGated) {
    lb.set_routing_mode(ROUTING_MODE_HYBRID);
    // Server 2 is sin-binned and carries most of the pool's load; its
    // max_concurrency is unusable, which only the gate would notice.
    std::vector<ServerRecord> candidates = {
        make_record(json::object{{"id", 1}, {"weight", 1}, {"max_concurrency", 32}}),
        make_record(json::object{{"id", 2}, {"weight", 1}, {"max_concurrency", "not a number"}}),
    };
    std::vector<std::int64_t> bin = {2};
    lb.inflight[1] = 4;
    lb.inflight[2] = 6;
    // Pool in-flight 10 (sin-binned load included) makes the pool hot, so
    // server 1 is held to its configured 32 rather than the clamp of 4.
    ServerRecord r = select(candidates, {.sin_binned = bin});
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(server_id(r), 1);
    EXPECT_TRUE(Peer::pool_hot_state(lb).at(pool));
}

TEST_F(SelectionTest, SelectGatesCapsBeyondTheIntegerRangeAsTheGateDoes) {
    // Such a cap saturates (no practical limit) rather than failing the pick,
    // in every mode; select and the gate agree on every row.
    const std::vector<json::value> caps = {json::value(std::uint64_t{18446744073709551615ull}), json::value(1e19),
                                           json::value(std::numeric_limits<double>::infinity()),
                                           json::value(-1e300)};
    for (std::string_view mode : VALID_ROUTING_MODES) {
        for (const json::value& cap : caps) {
            SCOPED_TRACE(std::string(mode) + " max_concurrency=" + json::serialize(cap));
            LoadBalancer b;
            b.set_routing_mode(mode);
            b.inflight[7] = 1'000;
            std::vector<ServerRecord> candidates = {make_record(json::object{{"id", 7}, {"max_concurrency", cap}})};
            const bool open = Peer::under_capacity(b, *candidates[0], std::span<const ServerRecord>(candidates), &pool);
            EXPECT_EQ(open, mode != ROUTING_MODE_SUPERFAST);  // "hybrid" is hot with 1,000 in flight
            ServerRecord r;
            ASSERT_NO_THROW(r = select_in(b, pool, candidates));
            EXPECT_EQ(r != nullptr, open);
        }
    }
}

TEST_F(SelectionTest, ARecordReplacedAtTheSameAddressIsReadAfresh) {
    // The host may free a record and make another at the same address (a
    // reload), or change a record it owns in place and say so (a cluster
    // grant): the new values decide, never the old ones.
    struct Row {
        const char* name;
        json::object before, after;
        std::int64_t expected;  // the id picked after the change (-1: ValueError)
    };
    const std::vector<Row> rows = {
        {"id", {{"id", 1}, {"weight", 5}}, {{"id", 3}, {"weight", 1}}, 2},
        {"drained", {{"id", 1}, {"weight", 5}}, {{"id", 1}, {"weight", 0}}, 2},
        {"reweighted", {{"id", 1}, {"weight", 5}}, {{"id", 1}, {"weight", 0.5}}, 2},  // 2 / 0.5 loses to 3 / 1
        {"capped", {{"id", 1}, {"weight", 5}, {"max_concurrency", 8}}, {{"id", 1}, {"weight", 5}, {"max_concurrency", 2}}, 2},
        {"malformed", {{"id", 1}, {"weight", 5}}, {{"id", 1}, {"weight", "heavy"}}, -1},
    };
    for (const bool in_place : {false, true}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (in_place ? ", changed in place" : ", replaced"));
            LoadBalancer b;
            b.inflight[1] = 2;
            b.inflight[2] = 3;
            b.inflight[3] = 9;
            std::optional<json::object> storage(row.before);
            auto borrowed = [&] { return ServerRecord(&*storage, [](const json::object*) {}); };
            std::vector<ServerRecord> candidates = {borrowed(), rec(2, 1)};
            ServerRecord first = select_in(b, pool, candidates, {.algorithm = LB_ALGO_LEAST_CONN});
            ASSERT_NE(first, nullptr);
            EXPECT_EQ(server_id(first), 1);  // 2 in flight over weight 5 beats 3 over weight 1
            first.reset();
            if (in_place) {
                for (const auto& kv : row.after) (*storage)[kv.key()] = kv.value();  // same object, same owner
                records_changed();
            } else {
                candidates[0].reset();
                storage.emplace(row.after);  // same address, new owner
                candidates[0] = borrowed();
            }
            if (row.expected < 0) {
                EXPECT_THROW(select_in(b, pool, candidates, {.algorithm = LB_ALGO_LEAST_CONN}), ValueError);
                continue;
            }
            ServerRecord second = select_in(b, pool, candidates, {.algorithm = LB_ALGO_LEAST_CONN});
            ASSERT_NE(second, nullptr);
            EXPECT_EQ(server_id(second), row.expected);
        }
    }
}

// ---- pinned path ------------------------------------------------------------

TEST_F(SelectionTest, PinnedServerIsReturnedWhateverItsState) {
    struct Row {
        const char* name;
        std::int64_t inflight_of_2;
        json::value weight_of_2;
        bool sin_bin_2;
    };
    const std::vector<Row> rows = {
        {"free", 0, 1, false},
        {"drained", 0, 0, false},
        {"sin-binned", 0, 1, true},
        {"at capacity", 4, 1, false},
        {"all three", 9, 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoadBalancer b;
        // The first record has no id: the pinned walk tolerates it.
        std::vector<ServerRecord> candidates = {make_record(json::object{{"weight", 1}}), rec(1), rec(2, row.weight_of_2)};
        b.inflight[2] = row.inflight_of_2;
        std::vector<std::int64_t> bin;
        if (row.sin_bin_2) bin.push_back(2);
        ServerRecord r = select_in(b, pool, candidates, {.force_server_id = 2, .sin_binned = bin});
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r.get(), candidates[2].get());
        EXPECT_EQ(b.dispatch_counts.at(2), 1);
        EXPECT_EQ(total_dispatches(b), 1);
        EXPECT_EQ(Peer::pool_dispatch_windows(b).at(pool).size(), 1u);
        EXPECT_FALSE(Peer::wrr(b).contains(pool));  // no algorithm ran
    }
}

TEST_F(SelectionTest, UnmatchedPinGivesNullEvenWithFreeServers) {
    std::vector<ServerRecord> candidates = {rec(1), rec(2)};
    EXPECT_EQ(select(candidates, {.force_server_id = 99}), nullptr);
    EXPECT_TRUE(lb.dispatch_counts.empty());
    EXPECT_TRUE(Peer::pool_dispatch_windows(lb).empty());
}

// ---- null results and malformed input -----------------------------------------

TEST_F(SelectionTest, NullResultsRecordNothing) {
    std::vector<ServerRecord> none;
    EXPECT_EQ(select(none), nullptr);
    EXPECT_EQ(select(none, {.force_server_id = 1}), nullptr);

    std::vector<ServerRecord> candidates = {rec(1), rec(2)};
    lb.inflight[1] = 4;
    lb.inflight[2] = 4;
    for (std::string_view algo : {"", "least_connections", "sticky_session"}) {
        SCOPED_TRACE(std::string(algo));
        EXPECT_EQ(select(candidates, {.algorithm = algo, .sticky_key = "k"}), nullptr);
    }
    EXPECT_TRUE(lb.dispatch_counts.empty());
    EXPECT_TRUE(lb.last_dispatch_ts.empty());
    EXPECT_TRUE(Peer::pool_dispatch_windows(lb).empty());
    EXPECT_TRUE(Peer::wrr(lb).empty());
}

TEST_F(SelectionTest, CandidateWithoutIdIsAKeyError) {
    std::vector<ServerRecord> candidates = {rec(1), make_record(json::object{{"weight", 1}})};
    EXPECT_THROW(select(candidates), KeyError);
    EXPECT_TRUE(lb.dispatch_counts.empty());
}

// ---- algorithm choice -------------------------------------------------------

TEST_F(SelectionTest, AlgorithmNormalisation) {
    // Round-robin picks 1 first (tie, smaller id); least connections picks 2.
    std::vector<ServerRecord> candidates = {rec(1), rec(2)};
    struct Row {
        std::string_view algorithm;
        std::string_view sticky_key;
        std::int64_t expected;
    };
    const std::vector<Row> rows = {
        {"", "", 1},
        {"weighted_round_robin", "", 1},
        {"round_robin", "", 1},
        {"bogus", "whatever", 1},
        {"sticky_session", "", 1},  // no key: round-robin, not least connections
        {"least_connections", "", 2},
        {" Least_Connections ", "", 2},
        {"least_connections", "key", 2},  // a key alone does not make it sticky
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.algorithm) + " / " + std::string(row.sticky_key));
        LoadBalancer b;
        b.inflight[1] = 2;
        ServerRecord r = select_in(b, pool, candidates, {.algorithm = row.algorithm, .sticky_key = row.sticky_key});
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(server_id(r), row.expected);
    }
}

TEST_F(SelectionTest, LeastConnectionsOrdersByRatioThenCountThenId) {
    struct Row {
        const char* name;
        std::vector<ServerRecord> candidates;
        std::map<std::int64_t, std::int64_t> inflight;
        std::int64_t expected;
    };
    const std::vector<Row> rows = {
        {"equal ratio, fewer raw in-flight", {rec(1, 2.0), rec(2, 1.0)}, {{1, 2}, {2, 1}}, 2},
        {"lower ratio beats fewer in-flight", {rec(1, 3), rec(2, 1)}, {{1, 2}, {2, 1}}, 1},
        {"all equal: smaller id", {rec(5), rec(3)}, {}, 3},
        {"idle beats busy", {rec(1), rec(2)}, {{1, 1}}, 2},
        {"weights 0 count as 1.0", {rec(1, 0), rec(2, 0)}, {{1, 1}}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoadBalancer b;
        for (const auto& [id, n] : row.inflight) b.inflight[id] = n;
        // No state and no slot reservation: the same answer every time.
        EXPECT_EQ(picks(b, row.candidates, 3, {.algorithm = "least_connections"}),
                  (std::vector<std::int64_t>(3, row.expected)));
    }
}

TEST_F(SelectionTest, LeastConnectionsWeightEdgeCases) {
    struct Row {
        const char* name;
        std::vector<ServerRecord> candidates;
        std::map<std::int64_t, std::int64_t> inflight;
        std::int64_t expected;
    };
    const std::vector<Row> rows = {
        // 0 reads as 1.0 (ratio 3), -1 gives infinity.
        {"zero weight is 1.0, negative is infinite", {rec(1, 0), rec(2, -1)}, {{1, 3}}, 1},
        {"infinite ratio loses to any finite one", {rec(1, -1), rec(2, 1)}, {{2, 50}}, 2},
        {"all infinite: fewer in-flight", {rec(1, -1), rec(2, -2)}, {{1, 1}}, 2},
        {"numeric string weight", {rec(1, "4"), rec(2, 1)}, {{1, 2}, {2, 1}}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoadBalancer b;
        for (const auto& [id, n] : row.inflight) b.inflight[id] = n;
        EXPECT_EQ(server_id(Peer::least_connections_pick(b, row.candidates)), row.expected);
    }
    // A duplicated id: the first record wins, by identity.
    std::vector<ServerRecord> dup = {rec(4), rec(4)};
    EXPECT_EQ(Peer::least_connections_pick(lb, dup).get(), dup[0].get());
}

// ---- sticky routing ---------------------------------------------------------

TEST_F(SelectionTest, StickyScoreIsBlake2bWithAnEightByteDigest) {
    EXPECT_EQ(sticky_score("abc", 17), 10736429283409059186ULL);
    // The digest length is part of BLAKE2b's parameter block: a 64-byte
    // digest cut to 8 bytes is a different number.
    EXPECT_NE(sticky_score("abc", 17), reference_score("abc", 17, 64));
    struct Case {
        std::string_view key;
        std::int64_t id;
    };
    for (Case c : {Case{"abc", 17}, Case{"", 0}, Case{"tenant-42/session", 123456789012}, Case{"k", -7},
                   Case{"caf\xc3\xa9", 3}}) {
        SCOPED_TRACE(std::string(c.key) + "|" + std::to_string(c.id));
        EXPECT_EQ(sticky_score(c.key, c.id), reference_score(c.key, c.id, 8));
    }
}

TEST_F(SelectionTest, StickySelectPicksTheHighestScoreStably) {
    std::vector<ServerRecord> candidates;
    std::vector<std::int64_t> ids;
    for (std::int64_t id = 1; id <= 8; ++id) {
        candidates.push_back(rec(id));
        ids.push_back(id);
    }
    std::vector<ServerRecord> reversed(candidates.rbegin(), candidates.rend());
    std::map<std::int64_t, int> hits;
    for (int k = 0; k < 64; ++k) {
        std::string key = "user-" + std::to_string(k);
        SCOPED_TRACE(key);
        std::int64_t expected = best_by_score(key, ids);
        SelectOptions opts{.algorithm = "sticky_session", .sticky_key = key};
        EXPECT_EQ(picks(lb, candidates, 2, opts), (std::vector<std::int64_t>{expected, expected}));
        EXPECT_EQ(server_id(select(reversed, opts)), expected);
        ++hits[expected];
    }
    EXPECT_GE(hits.size(), 4u) << "keys should spread over the servers";
    EXPECT_TRUE(Peer::wrr(lb).empty());  // sticky keeps no round-robin state
}

TEST_F(SelectionTest, StickyKeysMoveOnlyWhenTheirServerLeavesOrANewOneWins) {
    auto make = [](std::initializer_list<std::int64_t> ids) {
        std::vector<ServerRecord> out;
        for (std::int64_t id : ids) out.push_back(rec(id));
        return out;
    };
    const auto five = make({1, 2, 3, 4, 5});
    const auto without_3 = make({1, 2, 4, 5});
    const auto with_6 = make({1, 2, 3, 4, 5, 6});
    std::map<std::int64_t, int> on_server;
    int moved_off_3 = 0;
    int moved_to_6 = 0;
    for (int k = 0; k < 1000; ++k) {
        std::string key = "session-" + std::to_string(k);
        std::int64_t before = server_id(Peer::sticky_lookup(lb, five, key));
        std::int64_t after_leave = server_id(Peer::sticky_lookup(lb, without_3, key));
        std::int64_t after_join = server_id(Peer::sticky_lookup(lb, with_6, key));
        ++on_server[before];
        if (before == 3) {
            EXPECT_NE(after_leave, 3);
            ++moved_off_3;
        } else {
            EXPECT_EQ(after_leave, before) << key;
        }
        if (after_join != before) {
            EXPECT_EQ(after_join, 6) << key;
            ++moved_to_6;
        }
    }
    ASSERT_EQ(on_server.size(), 5u);
    EXPECT_GT(moved_off_3, 100);  // ~200 expected: the check above saw real movement
    EXPECT_GT(moved_to_6, 100);   // ~167 expected
    std::vector<ServerRecord> none;
    EXPECT_EQ(Peer::sticky_lookup(lb, none, "x"), nullptr);
}

TEST_F(SelectionTest, StickyFallsToTheNextBestWhileItsServerIsFull) {
    std::vector<ServerRecord> candidates = {rec(1), rec(2), rec(3)};
    const std::string key = "conversation-9";
    std::vector<std::int64_t> ids = {1, 2, 3};
    std::int64_t best = best_by_score(key, ids);
    std::vector<std::int64_t> rest;
    for (std::int64_t id : ids)
        if (id != best) rest.push_back(id);
    SelectOptions opts{.algorithm = "sticky_session", .sticky_key = key};
    EXPECT_EQ(server_id(select(candidates, opts)), best);
    lb.inflight[best] = 4;
    EXPECT_EQ(server_id(select(candidates, opts)), best_by_score(key, rest));
    lb.inflight.erase(best);
    EXPECT_EQ(server_id(select(candidates, opts)), best);
}

TEST_F(SelectionTest, StickyCacheStaysBoundedWhateverKeysClientsSend) {
    // Sticky keys come from clients. Each key below is sent twice, so that
    // the cache keeps it; neither long keys nor many keys over one backend
    // (one score each) may grow the cache past its two generations.
    struct Row {
        const char* name;
        std::size_t key_length;
        int keys;
    };
    const std::vector<Row> rows = {
        {"long keys", 64 * 1024, 256},  // 16 MiB of key text
        {"many short keys", 32, 50'000},
    };
    const std::vector<ServerRecord> one = {rec(1)};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (int k = 0; k < row.keys; ++k) {
            std::string key = std::to_string(k) + "-" + row.name;
            key.resize(row.key_length, 'x');
            const SelectOptions opts{.algorithm = "sticky_session", .sticky_key = key};
            ASSERT_EQ(picks(lb, one, 2, opts), (std::vector<std::int64_t>{1, 1}));
        }
        EXPECT_LE(detail::sticky_cache_footprint(), (std::size_t{6} << 20) + 2 * (row.key_length + 1024));
    }
}

// ---- fit filter ---------------------------------------------------------------

TEST_F(SelectionTest, FilterByFitOrdersLimitedFirstThenUnlimited) {
    auto limited = [](std::int64_t id, std::optional<json::value> limit) {
        json::object o{{"id", id}};
        if (limit) o["max_input_tokens"] = *limit;
        return make_record(std::move(o));
    };
    const std::vector<ServerRecord> four = {limited(1, 800), limited(2, 0), limited(3, 400), limited(4, 900)};
    const json::value null_value = nullptr;
    const std::vector<ServerRecord> ties = {limited(9, 400), limited(7, std::nullopt), limited(5, 400),
                                            limited(3, null_value), limited(8, "")};
    struct Row {
        const std::vector<ServerRecord>* candidates;
        std::int64_t estimate;
        std::vector<std::int64_t> expected;
    };
    const std::vector<Row> rows = {
        {&four, 500, {1, 4, 2}},
        {&four, 0, {3, 1, 4, 2}},
        {&four, -10, {3, 1, 4, 2}},
        {&four, 400, {3, 1, 4, 2}},  // equal to the limit fits
        {&four, 401, {1, 4, 2}},
        {&four, 901, {2}},
        {&ties, 100, {5, 9, 3, 7, 8}},
        {&ties, 401, {3, 7, 8}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("estimate " + std::to_string(row.estimate));
        std::vector<ServerRecord> fit = lb.filter_by_fit(*row.candidates, row.estimate);
        EXPECT_EQ(ids_of(fit), row.expected);
        for (const auto& r : fit) EXPECT_TRUE(is_one_of(r, *row.candidates));
    }
    EXPECT_EQ(ids_of(four), (std::vector<std::int64_t>{1, 2, 3, 4}));  // input untouched
}

TEST_F(SelectionTest, EstimatedTokensNeverChangesTheChoice) {
    std::vector<ServerRecord> candidates = {
        make_record(json::object{{"id", 1}, {"weight", 5}, {"max_input_tokens", 100}}),
        make_record(json::object{{"id", 2}, {"weight", 1}}),
        make_record(json::object{{"id", 3}, {"weight", 1}, {"max_input_tokens", 10}}),
    };
    for (std::string_view algo : {"", "least_connections", "sticky_session"}) {
        SCOPED_TRACE(std::string(algo));
        LoadBalancer small;
        LoadBalancer huge;
        small.inflight[1] = 1;
        huge.inflight[1] = 1;
        EXPECT_EQ(picks(small, candidates, 7, {.estimated_tokens = 0, .algorithm = algo, .sticky_key = "s"}),
                  picks(huge, candidates, 7, {.estimated_tokens = 1'000'000, .algorithm = algo, .sticky_key = "s"}));
    }
}

TEST_F(SelectionTest, EachSelectRecordsExactlyOneDispatch) {
    std::vector<ServerRecord> candidates = {rec(1, 2), rec(2, 1), rec(3, 1)};
    struct Row {
        const char* name;
        SelectOptions options;
    };
    const std::vector<Row> rows = {
        {"round-robin", {}},
        {"least connections", {.algorithm = "least_connections"}},
        {"sticky", {.algorithm = "sticky_session", .sticky_key = "abc"}},
        {"pinned", {.force_server_id = 3}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoadBalancer b;
        std::map<std::int64_t, std::int64_t> expected;
        for (int i = 0; i < 5; ++i) ++expected[server_id(select_in(b, pool, candidates, row.options))];
        EXPECT_EQ(total_dispatches(b), 5);
        for (const auto& [id, n] : expected) EXPECT_EQ(b.dispatch_counts.at(id), n);
        EXPECT_EQ(Peer::pool_dispatch_windows(b).at(pool).size(), 5u);
        EXPECT_DOUBLE_EQ(Peer::pool_last_access(b).at(pool), clock.now());
    }
}

// ---- idle-pool eviction -----------------------------------------------------

TEST_F(SelectionTest, EvictionRemovesPoolsIdleStrictlyLongerThanTheTtl) {
    testing::LogCapture log;
    std::vector<ServerRecord> candidates = {rec(10, 2), rec(20, 1)};
    ASSERT_EQ(server_id(select(candidates)), 10);  // t=1000
    Peer::pool_hot_state(lb)[pool] = true;
    clock.advance(100.0);
    ASSERT_NE(select_in(lb, other, candidates), nullptr);  // t=1100
    // A pool that was never picked from nor dispatched to has no last access.
    PoolKey untouched{"model-c", {}, "default"};
    Peer::pool_hot_state(lb)[untouched] = true;

    clock.advance(200.0);  // pool idle exactly 300 s: survives
    Peer::evict_stale_pools(lb);
    EXPECT_TRUE(Peer::pool_last_access(lb).contains(pool));
    EXPECT_TRUE(log.lines().empty());

    clock.advance(0.001);
    Peer::evict_stale_pools(lb);
    EXPECT_FALSE(Peer::wrr(lb).contains(pool));
    EXPECT_FALSE(Peer::pool_last_access(lb).contains(pool));
    EXPECT_FALSE(Peer::pool_dispatch_windows(lb).contains(pool));
    EXPECT_FALSE(Peer::pool_hot_state(lb).contains(pool));
    EXPECT_TRUE(Peer::locks(lb).contains(pool));  // locks live as long as the balancer
    EXPECT_TRUE(Peer::wrr(lb).contains(other));
    EXPECT_TRUE(Peer::pool_hot_state(lb).contains(untouched));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], (testing::LogLine{spdlog::level::debug, "Evicted 1 stale LB pool entries (>300s idle)"}));

    // Used again, the pool starts from empty round-robin state: 10 first again.
    EXPECT_EQ(server_id(select(candidates)), 10);
}

// Decisions on two pools taken in turn, and around an eviction that moves
// the surviving pool's entries, keep each pool's round-robin state and
// dispatch record apart.
TEST_F(SelectionTest, PoolsTakenInTurnKeepTheirOwnState) {
    const std::vector<ServerRecord> a = {rec(10, 2), rec(20, 1)}, b = {rec(30, 1), rec(40, 1)};
    std::vector<std::int64_t> got;
    for (int i = 0; i < 3; ++i) {
        got.push_back(server_id(select_in(lb, pool, a)));
        got.push_back(server_id(select_in(lb, other, b)));
    }
    EXPECT_EQ(got, (std::vector<std::int64_t>{10, 30, 20, 40, 10, 30}));
    EXPECT_EQ(Peer::pool_dispatch_windows(lb).at(pool).size(), 3u);
    EXPECT_EQ(Peer::pool_dispatch_windows(lb).at(other).size(), 3u);

    clock.advance(200.0);
    EXPECT_EQ(server_id(select_in(lb, other, b)), 40);
    clock.advance(150.0);
    Peer::evict_stale_pools(lb);  // `pool` goes; `other` moves up in every table
    ASSERT_FALSE(Peer::wrr(lb).contains(pool));
    EXPECT_EQ(server_id(select_in(lb, other, b)), 30);
    EXPECT_DOUBLE_EQ(Peer::pool_last_access(lb).at(other), clock.now());
    EXPECT_EQ(server_id(select_in(lb, pool, a)), 10);  // from empty state again
    EXPECT_EQ(Peer::pool_dispatch_windows(lb).at(pool).size(), 1u);
    EXPECT_EQ(server_id(select_in(lb, other, b)), 40);
}

TEST_F(SelectionTest, EvictionLogCountsPoolsAndTruncatesTheTtl) {
    ScopedSetting ttl(POOL_LRU_TTL_SEC, 12.9);
    testing::LogCapture log;
    std::vector<ServerRecord> candidates = {rec(1)};
    ASSERT_NE(select_in(lb, pool, candidates), nullptr);
    ASSERT_NE(select_in(lb, other, candidates, {.algorithm = "least_connections"}), nullptr);
    clock.advance(13.0);
    Peer::evict_stale_pools(lb);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Evicted 2 stale LB pool entries (>12s idle)"}));
    EXPECT_TRUE(Peer::pool_last_access(lb).empty());
    EXPECT_TRUE(Peer::pool_dispatch_windows(lb).empty());
    Peer::evict_stale_pools(lb);  // nothing left: no second line
    EXPECT_EQ(log.lines().size(), 1u);
}

// The plain call decides and records what select does, pick for pick.
TEST_F(SelectionTest, PlainCallPicksAsSelectDoes) {
    const std::vector<ServerRecord> candidates = {rec(1, json::value(3)), rec(2), rec(3)};
    for (std::string_view algo : {LB_ALGO_WRR, LB_ALGO_LEAST_CONN, LB_ALGO_STICKY}) {
        SCOPED_TRACE(algo);
        LoadBalancer awaited, plain;
        for (int i = 0; i < 8; ++i) {
            const SelectOptions options{.algorithm = algo, .sticky_key = i % 3 == 0 ? "a" : "b"};
            const ServerRecord want = select_in(awaited, pool, candidates, options);
            const std::optional<ServerRecord> got = plain.select_now(pool, candidates, options);
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->get(), want.get()) << "pick " << i;
        }
        EXPECT_EQ(plain.dispatch_counts, awaited.dispatch_counts);
    }
    // Nobody eligible: a null record, not "wait".
    const std::vector<std::int64_t> all_binned{1, 2, 3};
    const std::optional<ServerRecord> none = lb.select_now(pool, candidates, {.sin_binned = all_binned});
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(*none, nullptr);
}

// ---- the per-pool round-robin lock ------------------------------------------

TEST_F(SelectionTest, QueuedRoundRobinPicksRunInArrivalOrder) {
    std::vector<ServerRecord> candidates = {rec(1), rec(2)};
    AsyncLock& lock = Peer::lock_for(lb, pool);
    AsyncLock::Guard held = lock.try_lock();
    ASSERT_TRUE(held.owns_lock());

    std::vector<std::pair<char, std::int64_t>> finished;
    auto picker = [&](char tag) -> asio::awaitable<void> {
        ServerRecord r = co_await lb.select(pool, candidates);
        finished.emplace_back(tag, server_id(r));
    };
    auto a = spawn_tracked(io, picker('A'));
    auto b = spawn_tracked(io, picker('B'));
    ManualClock::poll(io);
    EXPECT_FALSE(a->done());
    EXPECT_FALSE(b->done());
    EXPECT_EQ(lock.queued(), 2u);
    EXPECT_TRUE(lb.dispatch_counts.empty());  // recorded only after the pick
    // The plain call does not wait: it says so and records nothing.
    EXPECT_EQ(lb.select_now(pool, candidates), std::nullopt);
    EXPECT_TRUE(lb.dispatch_counts.empty());

    // Another pool's picks do not wait for this lock.
    EXPECT_NE(select_in(lb, other, candidates), nullptr);

    held.unlock();
    ManualClock::poll(io);
    ASSERT_TRUE(a->done());
    ASSERT_TRUE(b->done());
    a->get();
    b->get();
    EXPECT_EQ(finished, (std::vector<std::pair<char, std::int64_t>>{{'A', 1}, {'B', 2}}));
    EXPECT_FALSE(lock.locked());
}

TEST_F(SelectionTest, ErrorInsideTheRoundRobinPickReleasesTheLock) {
    // "weight" that is not a number fails the float conversion under the lock.
    std::vector<ServerRecord> bad = {rec(1, "heavy"), rec(2)};
    std::vector<ServerRecord> good = {rec(1), rec(2)};
    AsyncLock& lock = Peer::lock_for(lb, pool);

    EXPECT_THROW(run_awaitable(io, Peer::wrr_pick(lb, pool, bad)), ValueError);
    EXPECT_FALSE(lock.locked());
    EXPECT_NE(select(good), nullptr);

    // The same with the failing pick queued behind a holder and a good pick
    // queued behind it.
    AsyncLock::Guard held = lock.try_lock();
    ASSERT_TRUE(held.owns_lock());
    auto failing = spawn_tracked(io, Peer::wrr_pick(lb, pool, bad));
    auto next = spawn_tracked(io, lb.select(pool, good));
    ManualClock::poll(io);
    EXPECT_EQ(lock.queued(), 2u);
    held.unlock();
    ManualClock::poll(io);
    ASSERT_TRUE(failing->done());
    EXPECT_THROW(failing->get(), ValueError);
    ASSERT_TRUE(next->done());
    EXPECT_NE(next->get(), nullptr);
    EXPECT_FALSE(lock.locked());
}

}  // namespace
}  // namespace quillmar::lb
