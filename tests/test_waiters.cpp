// The waiter queue: refusals before parking, the queue ceiling, immediate
// admission, wake order per routing mode, timeouts, cancellation and the
// bookkeeping of the per-backend queues.
#include "load_balancer/balancer.hpp"
#include "load_balancer/settings.hpp"
#include "support/drive.hpp"
#include "support/log_capture.hpp"
#include "support/test_peer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include <limits>
#include <string>
#include <vector>

namespace quillmar::lb {
namespace {

namespace json = boost::json;
using Peer = LoadBalancerTestPeer;
using testing::Task;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

ServerRecord rec(json::object o) { return make_record(std::move(o)); }

// Owns its arguments so the caller's temporaries may go away while it waits.
boost::asio::awaitable<WaitResult> wait_owned(LoadBalancer& lb, PoolKey pool, std::vector<ServerRecord> candidates,
                                              std::int64_t tokens, std::vector<std::int64_t> sin_binned) {
    co_return co_await lb.wait_for_slot(pool, candidates, tokens, sin_binned);
}

template <class Records>  // a std::vector, or a waiter's inline wait set
std::vector<std::int64_t> ids_of(const Records& records) {
    std::vector<std::int64_t> out;
    for (const auto& r : records) out.push_back(server_id(r));
    return out;
}

class WaiterQueue : public ::testing::Test {
protected:
    void SetUp() override {
        QUEUE_ENABLED = true;
        QUEUE_TTL_SEC = 30.0;
        QUEUE_ALL_TTL_SEC = 600.0;
        QUEUE_MAX_DEPTH_MULTIPLIER = 4;
        QUEUE_ALL_DEPTH_MULTIPLIER = 1000;
        QUEUE_DEADLINE_BOOST_SEC = 10.0;
        SUPERFAST_PER_SERVER_CAP = 4;
        lb.set_routing_mode("max_concurrency");
    }

    void TearDown() override {
        // Nothing may outlive the test with a timer on `io`.
        for (auto& t : tasks)
            if (!t.done()) t.cancel();
        ManualClock::poll(io);
        Peer::waiters(lb).clear();
        Peer::all_waiters(lb).clear();
    }

    // Starts a wait and lets it run up to its suspension point.
    Task<WaitResult> park(std::vector<ServerRecord> candidates, std::int64_t tokens = 100,
                          std::vector<std::int64_t> sin_binned = {}, const PoolKey* key = nullptr) {
        auto t = testing::spawn(io, wait_owned(lb, key ? *key : pool, std::move(candidates), tokens,
                                               std::move(sin_binned)));
        tasks.push_back(t);
        ManualClock::poll(io);
        return t;
    }

    // A wait that must end without suspending.
    WaitResult wait_now(std::vector<ServerRecord> candidates, std::int64_t tokens = 100,
                        std::vector<std::int64_t> sin_binned = {}) {
        Task<WaitResult> t = park(std::move(candidates), tokens, std::move(sin_binned));
        EXPECT_TRUE(t.done());
        return t.value();
    }

    void fill(std::int64_t id, int n) {
        for (int i = 0; i < n; ++i) lb.increment(id);
    }

    std::vector<std::int64_t> queue_keys() {
        std::vector<std::int64_t> out;
        for (const auto& [id, q] : Peer::waiters(lb)) out.push_back(id);
        return out;
    }
    std::size_t queue_len(std::int64_t id) {
        auto& w = Peer::waiters(lb);
        auto it = w.find(id);
        return it == w.end() ? 0 : it->second.size();
    }
    std::size_t depth() { return Peer::all_waiters(lb).size(); }

    // Frees one slot of `id` at a time and reports which of `waits` (by
    // index) each freed slot admitted; the admitted request then takes the
    // slot, as its lease would.
    std::vector<int> admission_order(std::vector<Task<WaitResult>>& waits, std::int64_t id) {
        std::vector<int> order;
        std::vector<bool> seen(waits.size(), false);
        for (std::size_t round = 0; round < waits.size(); ++round) {
            lb.decrement(id);
            ManualClock::poll(io);
            int admitted = -1;
            for (std::size_t i = 0; i < waits.size(); ++i) {
                if (!seen[i] && waits[i].done()) {
                    EXPECT_EQ(admitted, -1) << "two waiters admitted by one freed slot";
                    admitted = static_cast<int>(i);
                    seen[i] = true;
                    EXPECT_EQ(waits[i].value().reason, "ok");
                }
            }
            order.push_back(admitted);
            lb.increment(id);
        }
        return order;
    }

    testing::SettingsGuard settings;
    testing::LogCapture log;  // keeps mode-change lines off the test output
    ManualClock clock;
    LoadBalancer lb;
    boost::asio::io_context io;
    PoolKey pool{"model", {1}, "default"};
    std::vector<Task<WaitResult>> tasks;
};

// ---- refusals before parking ----------------------------------------------

TEST_F(WaiterQueue, DisabledQueueRefusesEverythingAndCountsNothing) {
    QUEUE_ENABLED = false;
    const std::vector<ServerRecord> full{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 1);
    struct Case {
        const char* mode;
        std::vector<ServerRecord> candidates;
        std::vector<std::int64_t> sin_binned;
    };
    const Case cases[] = {
        {"superfast", full, {}},
        {"hybrid", full, {}},
        {"max_concurrency", full, {}},
        {"superfast", {}, {}},      // would be no_backends if the queue were on
        {"superfast", full, {1}},   // likewise
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        lb.set_routing_mode(c.mode);
        WaitResult r = wait_now(c.candidates, 100, c.sin_binned);
        EXPECT_EQ(r.server, nullptr);
        EXPECT_EQ(r.reason, "queue_disabled");
        EXPECT_EQ(r.seconds, 0.0);
    }
    EXPECT_THAT(lb.reject_counts, IsEmpty());
    EXPECT_EQ(depth(), 0u);
    EXPECT_THAT(queue_keys(), IsEmpty());

    // "queue_all" always queues, whatever the setting says.
    lb.set_routing_mode("queue_all");
    Task<WaitResult> t = park(full);
    EXPECT_FALSE(t.done());
    EXPECT_EQ(depth(), 1u);
}

TEST_F(WaiterQueue, EmptyWaitSetIsNoBackendsAndCounted) {
    fill(1, 1);
    fill(2, 1);
    struct Case {
        const char* name;
        std::vector<ServerRecord> candidates;
        std::vector<std::int64_t> sin_binned;
    };
    const Case cases[] = {
        {"no candidates", {}, {}},
        {"all sin-binned",
         {rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}}), rec({{"id", 2}, {"weight", 1}, {"max_concurrency", 1}})},
         {2, 1}},
        // The drained backend is not waited on while a weighted one exists,
        // even when the weighted one is sin-binned.
        {"only weighted one sin-binned",
         {rec({{"id", 1}, {"weight", 5}, {"max_concurrency", 1}}), rec({{"id", 2}, {"weight", 0}, {"max_concurrency", 1}})},
         {1}},
    };
    std::int64_t expected = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WaitResult r = wait_now(c.candidates, 100, c.sin_binned);
        EXPECT_EQ(r.server, nullptr);
        EXPECT_EQ(r.reason, "no_backends");
        EXPECT_EQ(r.seconds, 0.0);
        ++expected;
        ASSERT_EQ(lb.reject_counts.size(), 1u);
        EXPECT_EQ(lb.reject_counts.at("no_backends"), expected);
        EXPECT_EQ(depth(), 0u);
        EXPECT_THAT(queue_keys(), IsEmpty());
    }
}

TEST_F(WaiterQueue, WaitSetFollowsTheDrainRuleAndSinBin) {
    struct Case {
        const char* name;
        json::array weights;  // null entry: no "weight" key
        std::vector<std::int64_t> sin_binned;
        std::vector<std::int64_t> expected_queues;
    };
    const Case cases[] = {
        {"drained ones left out", {1, 0, nullptr}, {}, {1}},
        {"none positive: all of them", {0, nullptr, 0}, {}, {1, 2, 3}},
        {"negative counts as drained too", {-1, 0, 2.5}, {}, {3}},
        {"none positive, minus the sin-bin", {0, 0, nullptr}, {2}, {1, 3}},
        {"weighted ones minus the sin-bin", {3, 2, 0}, {1}, {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ServerRecord> candidates;
        for (std::size_t i = 0; i < c.weights.size(); ++i) {
            json::object o{{"id", static_cast<std::int64_t>(i + 1)}, {"max_concurrency", 1}};
            if (!c.weights[i].is_null()) o["weight"] = c.weights[i];
            candidates.push_back(rec(std::move(o)));
        }
        for (std::int64_t id = 1; id <= 3; ++id) lb.increment(id);
        Task<WaitResult> t = park(candidates, 100, c.sin_binned);
        ASSERT_FALSE(t.done());
        EXPECT_EQ(queue_keys(), c.expected_queues);
        ASSERT_EQ(depth(), 1u);
        EXPECT_EQ(ids_of(Peer::all_waiters(lb).front()->candidates), c.expected_queues);
        t.cancel();
        ManualClock::poll(io);
        ASSERT_TRUE(t.cancelled());
        lb.inflight.clear();
    }
}

TEST_F(WaiterQueue, CeilingComesFromTheWaitSetAndCountsEveryPool) {
    lb.set_routing_mode("superfast");
    const PoolKey other{"other-model", {9}, "default"};
    // The other pool's backend declares no cap, so it imposes no ceiling of
    // its own and takes any number of parked requests.
    const std::vector<ServerRecord> elsewhere{rec({{"id", 99}, {"weight", 1}})};
    fill(99, 4);  // superfast clamp of an undeclared cap

    struct Case {
        const char* name;
        json::array caps;  // null entry: no "max_concurrency" key
        bool free_slot;
        std::size_t parked_elsewhere;
        const char* expected;
    };
    const Case cases[] = {
        // In rising order of parked requests: they stay parked from case to case.
        {"2.9 counts as 2: 6 x4, 23 parked", {2.9, 4}, false, 23, nullptr},
        {"2.9 counts as 2: 6 x4, 24 parked", {2.9, 4}, false, 24, "queue_full"},
        {"4+4 x4, 31 parked", {4, 4}, false, 31, nullptr},
        {"4+4 x4, 32 parked", {4, 4}, false, 32, "queue_full"},
        {"ceiling checked before a free slot is used", {4, 4}, true, 32, "queue_full"},
        {"no caps: no ceiling", {nullptr, nullptr}, false, 60, nullptr},
    };
    std::int64_t full_count = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ServerRecord> candidates;
        for (std::size_t i = 0; i < c.caps.size(); ++i) {
            std::int64_t id = static_cast<std::int64_t>(i + 1);
            json::object o{{"id", id}, {"weight", 1}};
            if (!c.caps[i].is_null()) o["max_concurrency"] = c.caps[i];
            candidates.push_back(rec(std::move(o)));
            if (!c.free_slot) fill(id, 4);
        }
        while (depth() < c.parked_elsewhere) park(elsewhere, 10, {}, &other);
        ASSERT_EQ(depth(), c.parked_elsewhere);

        Task<WaitResult> t = park(candidates);
        if (c.expected != nullptr) {
            ASSERT_TRUE(t.done());
            EXPECT_EQ(t.value().server, nullptr);
            EXPECT_EQ(t.value().reason, c.expected);
            EXPECT_EQ(t.value().seconds, 0.0);
            EXPECT_EQ(depth(), c.parked_elsewhere);
            EXPECT_EQ(lb.reject_counts.at("queue_full"), ++full_count);
        } else {
            EXPECT_FALSE(t.done());
            EXPECT_EQ(depth(), c.parked_elsewhere + 1);
            t.cancel();
            ManualClock::poll(io);
            EXPECT_TRUE(t.cancelled());
        }
        for (std::size_t i = 0; i < c.caps.size(); ++i) lb.inflight.erase(static_cast<std::int64_t>(i + 1));
    }
    EXPECT_EQ(lb.reject_counts.size(), 1u);
}

TEST_F(WaiterQueue, CapacityForPoolSumsDeclaredCapsTimesMultiplier) {
    struct Case {
        const char* name;
        const char* mode;
        std::int64_t multiplier;
        json::array caps;  // null entry: no key; "null" string: explicit null
        std::int64_t expected;
    };
    const Case cases[] = {
        {"4+4", "superfast", 4, {4, 4}, 32},
        {"fraction truncates", "superfast", 4, {2.9, 4}, 24},
        {"numeric string", "max_concurrency", 4, {"8"}, 32},
        {"nothing declared", "superfast", 4, {nullptr, 0, false}, 0},
        {"empty wait set", "superfast", 4, {}, 0},
        {"negative sum", "superfast", 4, {-8, 4}, 0},
        {"small positive sum", "superfast", 4, {-3, 4}, 4},
        {"multiplier below 1 counts as 1", "superfast", 0, {4, 4}, 8},
        {"negative multiplier counts as 1", "hybrid", -5, {4, 4}, 8},
        {"queue_all uses its own multiplier", "queue_all", 4, {4, 4}, 8000},
        // A cap beyond the integer range means no practical limit: the
        // ceiling saturates instead of the wait failing.
        {"huge float cap saturates", "superfast", 4, {1e19, 4}, std::numeric_limits<std::int64_t>::max()},
        {"huge unsigned cap saturates", "superfast", 4, {18446744073709551615ull},
         std::numeric_limits<std::int64_t>::max()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lb.set_routing_mode(c.mode);
        QUEUE_MAX_DEPTH_MULTIPLIER = c.multiplier;
        std::vector<ServerRecord> candidates;
        for (std::size_t i = 0; i < c.caps.size(); ++i) {
            json::object o{{"id", static_cast<std::int64_t>(i + 1)}};
            if (!c.caps[i].is_null()) o["max_concurrency"] = c.caps[i];
            candidates.push_back(rec(std::move(o)));
        }
        EXPECT_EQ(Peer::queue_capacity_for_pool(lb, candidates), c.expected);
    }
}

TEST_F(WaiterQueue, MalformedRecordsFailBeforeAnythingIsRegistered) {
    fill(1, 1);
    const ServerRecord ok = rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}});
    Task<WaitResult> no_id = park({ok, rec({{"weight", 1}, {"max_concurrency", 1}})});
    ASSERT_TRUE(no_id.failed());
    EXPECT_THROW(no_id.value(), KeyError);
    Task<WaitResult> bad_cap = park({ok, rec({{"id", 2}, {"weight", 1}, {"max_concurrency", "many"}})});
    ASSERT_TRUE(bad_cap.failed());
    EXPECT_THROW(bad_cap.value(), ValueError);
    EXPECT_EQ(depth(), 0u);
    EXPECT_THAT(queue_keys(), IsEmpty());
    EXPECT_THAT(lb.reject_counts, IsEmpty());
}

// ---- admission ----------------------------------------------------------

TEST_F(WaiterQueue, FreeSlotAdmitsAtOnceToTheFirstRoomyRecord) {
    const std::vector<ServerRecord> c{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}}),
                                      rec({{"id", 2}, {"weight", 1}, {"max_concurrency", 1}}),
                                      rec({{"id", 3}, {"weight", 9}, {"max_concurrency", 1}})};
    fill(1, 1);
    WaitResult r = wait_now(c);
    EXPECT_EQ(r.reason, "ok");
    EXPECT_EQ(r.server, c[1]);  // the caller's own record, first in order with room
    EXPECT_NEAR(r.seconds, 0.0, 1e-9);
    ASSERT_EQ(lb.dispatch_counts.size(), 1u);
    EXPECT_EQ(lb.dispatch_counts.at(2), 1);
    ASSERT_EQ(lb.queue_wait_samples.size(), 1u);
    EXPECT_NEAR(lb.queue_wait_samples[0], 0.0, 1e-9);
    EXPECT_EQ(lb.get_inflight(2), 0);  // admission does not take the slot
    EXPECT_EQ(depth(), 0u);
    EXPECT_THAT(queue_keys(), IsEmpty());
    EXPECT_THAT(lb.reject_counts, IsEmpty());
}

TEST_F(WaiterQueue, AdmissionAfterWaitingRecordsTheWaitAndOneDispatch) {
    const std::vector<ServerRecord> c{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 1);
    Task<WaitResult> t = park(c);
    ASSERT_FALSE(t.done());
    EXPECT_THAT(lb.dispatch_counts, IsEmpty());
    clock.run_for(io, 2.5);
    ASSERT_FALSE(t.done());
    EXPECT_EQ(lb.decrement(1), 0);
    ManualClock::poll(io);
    ASSERT_TRUE(t.done());
    EXPECT_EQ(t.value().server, c[0]);
    EXPECT_EQ(t.value().reason, "ok");
    EXPECT_NEAR(t.value().seconds, 2.5, 1e-6);
    EXPECT_EQ(lb.dispatch_counts.at(1), 1);
    ASSERT_EQ(lb.queue_wait_samples.size(), 1u);
    EXPECT_NEAR(lb.queue_wait_samples[0], 2.5, 1e-6);
    EXPECT_EQ(lb.get_inflight(1), 0);
    EXPECT_EQ(depth(), 0u);
    EXPECT_THAT(queue_keys(), IsEmpty());
}

TEST_F(WaiterQueue, SlotStillFullAdmitsNobody) {
    const std::vector<ServerRecord> c{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 3);
    Peer::record_dispatch(lb, pool, *c[0]);
    clock.advance(6.0);
    Task<WaitResult> t = park(c);
    // Testing the waiter's record trimmed the pool's stale stamp, as every
    // capacity test does in every mode.
    EXPECT_EQ(Peer::pool_dispatch_windows(lb).at(pool).size(), 0u);
    lb.decrement(1);  // 2 of 1
    lb.decrement(1);  // 1 of 1
    ManualClock::poll(io);
    EXPECT_FALSE(t.done());
    EXPECT_EQ(lb.dispatch_counts.at(1), 1);  // the stamp above, nothing since
    EXPECT_EQ(queue_len(1), 1u);
    lb.decrement(1);
    ManualClock::poll(io);
    ASSERT_TRUE(t.done());
    EXPECT_EQ(t.value().reason, "ok");
}

TEST_F(WaiterQueue, GateIsAskedWithEachWaitersOwnRecord) {
    // Two requests hold different records for server 1: the first one in
    // wake order sees cap 1, the second cap 3.
    const ServerRecord tight = rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}});
    const ServerRecord roomy = rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 3}});
    fill(1, 3);
    Task<WaitResult> small = park({tight}, 10);
    Task<WaitResult> big = park({roomy}, 5000);
    ASSERT_FALSE(small.done());
    ASSERT_FALSE(big.done());
    lb.decrement(1);  // 2 in flight: full for `small`, room for `big`
    ManualClock::poll(io);
    EXPECT_FALSE(small.done());
    ASSERT_TRUE(big.done());
    EXPECT_EQ(big.value().server, roomy);
    EXPECT_EQ(queue_len(1), 1u);
}

// ---- wake order -------------------------------------------------------------

struct OrderCase {
    const char* name;
    const char* mode;
    double boost_sec;
    std::vector<std::int64_t> tokens;
    std::vector<double> parked_at;  // seconds after the first parking
    double wake_at;                 // seconds after the first parking
    std::vector<int> expected;      // indices into `tokens`
};

class WakeOrder : public WaiterQueue, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(WakeOrder, FreedSlotsAdmitInModeOrder) {
    const OrderCase& c = GetParam();
    lb.set_routing_mode(c.mode);
    QUEUE_DEADLINE_BOOST_SEC = c.boost_sec;
    QUEUE_TTL_SEC = 100.0;
    const std::vector<ServerRecord> server{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 1);
    std::vector<Task<WaitResult>> waits;
    double t = 0.0;
    for (std::size_t i = 0; i < c.tokens.size(); ++i) {
        clock.run_for(io, c.parked_at[i] - t);
        t = c.parked_at[i];
        waits.push_back(park(server, c.tokens[i]));
        ASSERT_FALSE(waits.back().done());
    }
    clock.run_for(io, c.wake_at - t);
    EXPECT_EQ(admission_order(waits, 1), c.expected);
    EXPECT_EQ(depth(), 0u);
    EXPECT_THAT(queue_keys(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, WakeOrder,
    ::testing::Values(
        OrderCase{"queue_all_fifo", "queue_all", 10.0, {10000, 50, 200}, {0, 0, 0}, 0, {0, 1, 2}},
        OrderCase{"superfast_smallest_first", "superfast", 10.0, {10000, 50, 200}, {0, 0.2, 0.4}, 0.5, {1, 2, 0}},
        OrderCase{"hybrid_smallest_first", "hybrid", 10.0, {10000, 50, 200}, {0, 0, 0}, 0, {1, 2, 0}},
        OrderCase{"max_concurrency_smallest_first", "max_concurrency", 10.0, {10000, 50, 200}, {0, 0, 0}, 0, {1, 2, 0}},
        OrderCase{"equal_tokens_in_parking_order", "superfast", 10.0, {100, 100, 100}, {0, 1, 2}, 3, {0, 1, 2}},
        OrderCase{"boosted_first_oldest_first", "superfast", 10.0, {500, 300, 5}, {0, 1, 11.5}, 11.5, {0, 1, 2}},
        OrderCase{"boosted_oldest_whatever_tokens", "max_concurrency", 10.0, {10000, 5}, {0, 1}, 20, {0, 1}},
        OrderCase{"boost_at_exactly_the_delay", "superfast", 10.0, {10000, 50}, {0, 5}, 10.0, {0, 1}},
        OrderCase{"just_before_the_delay", "superfast", 10.0, {10000, 50}, {0, 5}, 9.999, {1, 0}},
        OrderCase{"zero_boost_never_boosts", "superfast", 0.0, {10000, 5}, {0, 1}, 20, {1, 0}},
        OrderCase{"queue_all_never_boosts_but_is_fifo", "queue_all", 10.0, {5, 10000, 1}, {0, 1, 2}, 50, {0, 1, 2}}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

TEST_F(WaiterQueue, ModeSwitchWhileParkedChangesTheNextWake) {
    lb.set_routing_mode("superfast");
    const std::vector<ServerRecord> server{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 1);
    std::vector<Task<WaitResult>> waits{park(server, 10000), park(server, 50), park(server, 200)};
    lb.set_routing_mode("queue_all");
    lb.decrement(1);
    ManualClock::poll(io);
    EXPECT_TRUE(waits[0].done());
    EXPECT_FALSE(waits[1].done());
    lb.increment(1);
    lb.set_routing_mode("superfast");
    lb.decrement(1);
    ManualClock::poll(io);
    EXPECT_TRUE(waits[1].done());
    EXPECT_FALSE(waits[2].done());
}

TEST_F(WaiterQueue, WaitersKeepTheBoostAndLimitOfTheirParking) {
    // Parked under "queue_all": no boost, a 600 s limit. After a switch to
    // "superfast" with the queue setting off, new waits are refused but the
    // parked ones keep waiting and are admitted smallest first.
    QUEUE_ENABLED = false;
    lb.set_routing_mode("queue_all");
    const std::vector<ServerRecord> server{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 1);
    std::vector<Task<WaitResult>> waits{park(server, 10000), park(server, 50)};
    lb.set_routing_mode("superfast");
    EXPECT_EQ(wait_now(server).reason, "queue_disabled");
    QUEUE_DEADLINE_BOOST_SEC = 1.0;
    clock.run_for(io, 100.0);  // far beyond QUEUE_TTL_SEC and any boost
    ASSERT_FALSE(waits[0].done());
    ASSERT_FALSE(waits[1].done());
    EXPECT_EQ(admission_order(waits, 1), (std::vector<int>{1, 0}));
}

// ---- endings other than admission ------------------------------------------

struct TimeoutCase {
    const char* mode;
    double limit;
};

class WaitTimeout : public WaiterQueue, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(WaitTimeout, ExpiryLeavesNoTraceAndIsCounted) {
    const TimeoutCase& c = GetParam();
    lb.set_routing_mode(c.mode);
    const std::vector<ServerRecord> both{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}}),
                                         rec({{"id", 2}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 1);
    fill(2, 1);
    Task<WaitResult> first = park(both);
    // The limit is read when the wait starts; later changes do not matter.
    QUEUE_TTL_SEC = 1.0;
    QUEUE_ALL_TTL_SEC = 1.0;
    clock.run_for(io, 0.25);
    QUEUE_TTL_SEC = 30.0;
    QUEUE_ALL_TTL_SEC = 600.0;
    Task<WaitResult> second = park({both[1]});
    EXPECT_EQ(queue_len(2), 2u);

    clock.run_for(io, c.limit - 0.75);  // 0.5 s before the first limit
    ASSERT_FALSE(first.done());
    clock.run_for(io, 0.6);
    ASSERT_TRUE(first.done());
    ASSERT_FALSE(second.done());
    EXPECT_EQ(first.value().server, nullptr);
    EXPECT_EQ(first.value().reason, "queue_timeout");
    EXPECT_NEAR(first.value().seconds, c.limit, 1e-6);
    EXPECT_EQ(queue_keys(), (std::vector<std::int64_t>{2}));
    EXPECT_EQ(queue_len(2), 1u);
    EXPECT_EQ(depth(), 1u);
    EXPECT_EQ(lb.reject_counts.at("queue_timeout"), 1);
    EXPECT_EQ(lb.reject_counts.size(), 1u);
    EXPECT_TRUE(lb.queue_wait_samples.empty());
    EXPECT_THAT(lb.dispatch_counts, IsEmpty());

    clock.run_for(io, 0.2);
    ASSERT_TRUE(second.done());
    EXPECT_EQ(second.value().reason, "queue_timeout");
    EXPECT_EQ(lb.reject_counts.at("queue_timeout"), 2);
    EXPECT_EQ(depth(), 0u);
    EXPECT_THAT(queue_keys(), IsEmpty());
    // A freed slot now finds nobody.
    lb.decrement(1);
    EXPECT_THAT(lb.dispatch_counts, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Limits, WaitTimeout,
                         ::testing::Values(TimeoutCase{"superfast", 30.0}, TimeoutCase{"queue_all", 600.0}),
                         [](const ::testing::TestParamInfo<TimeoutCase>& info) { return std::string(info.param.mode); });

TEST_F(WaiterQueue, CancellationRemovesTheWaiterEverywhereAndPropagates) {
    for (auto type : {boost::asio::cancellation_type::terminal, boost::asio::cancellation_type::all}) {
        SCOPED_TRACE(static_cast<int>(type));
        LoadBalancer& b = lb;  // short name for this block
        const std::vector<ServerRecord> both{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}}),
                                             rec({{"id", 2}, {"weight", 1}, {"max_concurrency", 1}})};
        fill(1, 1);
        fill(2, 1);
        Task<WaitResult> gone = park(both, 10);
        Task<WaitResult> stays = park({both[0]}, 5000);
        clock.run_for(io, 1.0);
        gone.cancel(type);
        ManualClock::poll(io);
        ASSERT_TRUE(gone.done());
        EXPECT_TRUE(gone.cancelled());
        EXPECT_THROW(gone.value(), boost::system::system_error);
        EXPECT_EQ(queue_keys(), (std::vector<std::int64_t>{1}));
        EXPECT_EQ(queue_len(1), 1u);
        EXPECT_EQ(depth(), 1u);
        EXPECT_THAT(b.reject_counts, IsEmpty());
        EXPECT_TRUE(b.queue_wait_samples.empty());

        b.decrement(2);  // only the cancelled request waited on 2
        ManualClock::poll(io);
        EXPECT_THAT(b.dispatch_counts, IsEmpty());
        b.decrement(1);
        ManualClock::poll(io);
        ASSERT_TRUE(stays.done());
        EXPECT_EQ(stays.value().server, both[0]);
        EXPECT_EQ(b.dispatch_counts.at(1), 1);
        EXPECT_EQ(b.dispatch_counts.size(), 1u);
        EXPECT_EQ(depth(), 0u);
        b.dispatch_counts.clear();
        b.queue_wait_samples.clear();
        b.inflight.clear();
    }
}

// A slot granted to a request that goes away before it resumes (cancelled
// in the same tick, from the loop) is offered to the next waiter, not left
// idle.
TEST_F(WaiterQueue, SlotOfARequestCancelledAsItIsAdmittedGoesToTheNext) {
    const std::vector<ServerRecord> one{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 1);
    Task<WaitResult> first = park(one, 10);  // the smaller request: admitted first
    Task<WaitResult> next = park(one, 5000);
    boost::asio::post(io, [&] {
        lb.decrement(1);
        first.cancel();
    });
    ManualClock::poll(io);
    EXPECT_TRUE(first.cancelled());
    ASSERT_TRUE(next.done());
    EXPECT_EQ(next.value().server, one[0]);
    EXPECT_EQ(depth(), 0u);
}

// A mode change wakes nobody; offer_free_slots then lets in as many parked
// requests as the new caps have room for, not one per free slot each.
TEST_F(WaiterQueue, RaisedCapsAreOfferedToParkedRequestsWhenAsked) {
    SUPERFAST_PER_SERVER_CAP = 1;
    lb.set_routing_mode("superfast");
    const std::vector<ServerRecord> one{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 3}})};
    fill(1, 1);
    std::vector<Task<WaitResult>> waits;
    for (int i = 0; i < 3; ++i) waits.push_back(park(one, 10 + i));
    lb.set_routing_mode("max_concurrency");  // cap 1 -> 3
    ManualClock::poll(io);
    EXPECT_EQ(depth(), 3u);
    EXPECT_EQ(lb.offer_free_slots(), 2u);
    ManualClock::poll(io);
    EXPECT_TRUE(waits[0].done() && waits[1].done());
    EXPECT_FALSE(waits[2].done());
    EXPECT_EQ(lb.get_inflight(1), 1);  // the admitted requests enter their own leases:
    fill(1, 2);
    EXPECT_EQ(lb.offer_free_slots(), 0u);
    EXPECT_EQ(depth(), 1u);
}

// A reload hands parked requests the new records: a raised cap lets them
// in at once and they are granted the new record; a record of another
// server, or none, leaves the candidate as it was.
TEST_F(WaiterQueue, RefreshedRecordsReachParkedRequests) {
    const ServerRecord parked_with = rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}});
    const ServerRecord raised = rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 3}});
    fill(1, 1);
    std::vector<Task<WaitResult>> waits;
    for (int i = 0; i < 3; ++i) waits.push_back(park({parked_with}, 10 + i));
    struct Row {
        ServerRecord given;
        std::size_t admitted;
    };
    const Row rows[] = {{nullptr, 0}, {rec({{"id", 2}, {"max_concurrency", 9}}), 0}, {raised, 2}};
    for (const Row& row : rows) {
        EXPECT_EQ(lb.refresh_waiters([&](const PoolKey& key, std::int64_t id) {
            EXPECT_EQ(key, pool);
            EXPECT_EQ(id, 1);
            return row.given;
        }),
                  row.admitted);
    }
    ManualClock::poll(io);
    ASSERT_TRUE(waits[0].done() && waits[1].done());
    EXPECT_FALSE(waits[2].done());
    EXPECT_EQ(waits[0].value().server, raised);
}

TEST_F(WaiterQueue, AdmissionToOneBackendLeavesTheOthersQueue) {
    const std::vector<ServerRecord> both{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}}),
                                         rec({{"id", 2}, {"weight", 1}, {"max_concurrency", 1}})};
    fill(1, 1);
    fill(2, 1);
    Task<WaitResult> a = park(both, 10);
    Task<WaitResult> b = park({both[1]}, 5000);
    lb.decrement(1);
    ManualClock::poll(io);
    ASSERT_TRUE(a.done());
    EXPECT_EQ(a.value().server, both[0]);
    EXPECT_EQ(queue_keys(), (std::vector<std::int64_t>{2}));
    EXPECT_EQ(queue_len(2), 1u);
    EXPECT_EQ(depth(), 1u);
    lb.decrement(2);
    ManualClock::poll(io);
    ASSERT_TRUE(b.done());
    EXPECT_EQ(b.value().server, both[1]);
    EXPECT_EQ(lb.dispatch_counts.at(1), 1);
    EXPECT_EQ(lb.dispatch_counts.at(2), 1);
}

// A waiter whose wait has ended but which is still registered (its request
// has not yet run its clean-up) is built by hand: the public paths always
// clean up in the same step.
TEST_F(WaiterQueue, FinishedWaitersAreSkippedAndTheirQueueDropped) {
    const ServerRecord five = rec({{"id", 5}, {"weight", 1}, {"max_concurrency", 1}});
    for (bool by_result : {true, false}) {
        SCOPED_TRACE(by_result ? "admitted elsewhere" : "cancelled");
        auto finished = std::make_shared<detail::Waiter>(
            detail::Waiter{pool, {five}, 1, Future<ServerRecord>(io.get_executor()), clock.now(), 0.0});
        if (by_result)
            finished->future.set_result(five);
        else
            finished->future.cancel();
        Peer::waiters(lb)[5].push_back(finished);
        Peer::all_waiters(lb).push_back(finished);

        // Alone in its queue: the decrement drops the whole entry.
        lb.decrement(5);
        EXPECT_THAT(queue_keys(), IsEmpty());
        EXPECT_THAT(lb.dispatch_counts, IsEmpty());
        Peer::fulfill(lb, finished, five);  // refused: the wait is over
        EXPECT_THAT(lb.dispatch_counts, IsEmpty());

        // Ahead of a live waiter: skipped, the live one is admitted.
        fill(5, 1);
        Task<WaitResult> live = park({five}, 100000);
        auto& queue = Peer::waiters(lb)[5];
        queue.insert(queue.begin(), finished);
        lb.decrement(5);
        ManualClock::poll(io);
        ASSERT_TRUE(live.done());
        EXPECT_EQ(live.value().server, five);
        EXPECT_EQ(queue_len(5), 1u);  // the finished one is skipped, not removed
        lb.decrement(5);
        EXPECT_THAT(queue_keys(), IsEmpty());
        EXPECT_EQ(lb.dispatch_counts.at(5), 1);
        Peer::remove_waiter(lb, finished);
        EXPECT_EQ(depth(), 0u);
        Peer::remove_waiter(lb, finished);  // twice is harmless
        lb.dispatch_counts.clear();
        lb.inflight.clear();
    }
}

}  // namespace
}  // namespace quillmar::lb
