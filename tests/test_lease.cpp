// In-flight accounting (increment / decrement / get_inflight / force_clear)
// and InflightLease: once-only give-back, error pass-through, moves, the
// asynchronous forms, and a give-back whose decrement fails.
#include "load_balancer/balancer.hpp"
#include "load_balancer/lease.hpp"
#include "load_balancer/settings.hpp"
#include "support/drive.hpp"
#include "support/log_capture.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_peer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace quillmar::lb {
namespace {

namespace json = boost::json;
using Peer = LoadBalancerTestPeer;
using testing::LogLine;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

ServerRecord rec(json::object o) { return make_record(std::move(o)); }

boost::asio::awaitable<WaitResult> wait_owned(LoadBalancer& lb, PoolKey pool, std::vector<ServerRecord> candidates,
                                              std::int64_t tokens) {
    co_return co_await lb.wait_for_slot(pool, candidates, tokens);
}

class Inflight : public ::testing::Test {
protected:
    void SetUp() override {
        QUEUE_ENABLED = true;
        lb.set_routing_mode("max_concurrency");
        log.clear();
    }
    void TearDown() override {
        for (auto& t : tasks)
            if (!t.done()) t.cancel();
        ManualClock::poll(io);
        Peer::waiters(lb).clear();
        Peer::all_waiters(lb).clear();
    }

    testing::Task<WaitResult> park(std::vector<ServerRecord> candidates, std::int64_t tokens = 100) {
        auto t = testing::spawn(io, wait_owned(lb, pool, std::move(candidates), tokens));
        tasks.push_back(t);
        ManualClock::poll(io);
        return t;
    }

    // Parks a waiter on server `id` whose record cannot be read by the
    // capacity gate, so the next decrement of `id` throws from the wake-up.
    // It cannot come through wait_for_slot (the ceiling check reads the same
    // value first), so it is registered by hand.
    detail::Waiter& plant_unreadable_waiter(std::int64_t id) {
        auto w = std::make_shared<detail::Waiter>(detail::Waiter{
            pool,
            {rec({{"id", id}, {"weight", 1}, {"max_concurrency", "plenty"}})},
            1,
            Future<ServerRecord>(io.get_executor()),
            clock.now(),
            0.0});
        Peer::waiters(lb)[id].push_back(w);
        Peer::all_waiters(lb).push_back(w);
        planted.push_back(w);
        return *w;
    }
    void remove_planted() {
        for (auto& w : planted) Peer::remove_waiter(lb, w);
        planted.clear();
    }

    std::vector<LogLine> warnings() const {
        std::vector<LogLine> out;
        for (const auto& l : log.lines())
            if (l.level == spdlog::level::warn) out.push_back(l);
        return out;
    }

    testing::SettingsGuard settings;
    testing::LogCapture log;
    ManualClock clock;
    LoadBalancer lb;
    boost::asio::io_context io;
    PoolKey pool{"model", {1}, "default"};
    std::vector<testing::Task<WaitResult>> tasks;
    std::vector<LoadBalancer::WaiterPtr> planted;
};

std::vector<std::pair<std::int64_t, std::int64_t>> table(const LoadBalancer& lb) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const auto& [id, n] : lb.inflight) out.emplace_back(id, n);
    return out;
}
using Entries = std::vector<std::pair<std::int64_t, std::int64_t>>;

// ---- counts -----------------------------------------------------------------

TEST_F(Inflight, CountsRiseFallAndNeverGoNegative) {
    struct Step {
        char op;  // '+' increment, '-' decrement, 'x' force_clear
        std::int64_t id;
        std::int64_t returns;  // ignored for 'x'
        Entries after;
    };
    const Step steps[] = {
        {'+', 7, 1, {{7, 1}}},
        {'+', 7, 2, {{7, 2}}},
        {'-', 7, 1, {{7, 1}}},
        {'-', 7, 0, {}},               // falling to 0 removes the entry
        {'-', 9, 0, {{9, 0}}},         // absent: an entry of 0 appears
        {'-', 9, 0, {}},               // an entry of 0 is removed, never -1
        {'+', 3, 1, {{3, 1}}},
        {'-', 4, 0, {{3, 1}, {4, 0}}},
        {'+', 4, 1, {{3, 1}, {4, 1}}},  // the 0 entry counts up from 0
        {'x', 4, 0, {{3, 1}}},
        {'+', 3, 2, {{3, 2}}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(1, s.op) + std::to_string(s.id));
        if (s.op == '+') {
            EXPECT_EQ(lb.increment(s.id), s.returns);
        } else if (s.op == '-') {
            EXPECT_EQ(lb.decrement(s.id), s.returns);
        } else {
            lb.force_clear(s.id);
        }
        EXPECT_EQ(table(lb), s.after);
    }
    EXPECT_EQ(lb.get_inflight(3), 2);
    EXPECT_EQ(lb.get_inflight(12345), 0);
    EXPECT_EQ(table(lb), (Entries{{3, 2}}));  // reading creates nothing
}

TEST_F(Inflight, ForceClearDropsTheEntryAndWarnsOnlyWhenThereWasOne) {
    lb.increment(5);
    lb.increment(5);
    lb.increment(5);
    lb.force_clear(5);
    EXPECT_THAT(lb.inflight, IsEmpty());
    lb.force_clear(6);  // no entry: silent
    lb.decrement(8);    // leaves an entry of 0
    lb.force_clear(8);
    EXPECT_THAT(lb.inflight, IsEmpty());
    EXPECT_THAT(log.lines(), ElementsAre(LogLine{spdlog::level::warn, "Force-cleared inflight=3 for server 5"},
                                         LogLine{spdlog::level::warn, "Force-cleared inflight=0 for server 8"}));
}

TEST_F(Inflight, ForceClearWakesNobodyButALaterDecrementOfTheAbsentIdDoes) {
    const std::vector<ServerRecord> nine{rec({{"id", 9}, {"weight", 1}, {"max_concurrency", 1}})};
    lb.increment(9);
    auto t = park(nine);
    ASSERT_FALSE(t.done());
    lb.force_clear(9);
    ManualClock::poll(io);
    EXPECT_FALSE(t.done());
    EXPECT_EQ(lb.decrement(9), 0);  // no entry: creates one of 0 and offers the slot
    ManualClock::poll(io);
    ASSERT_TRUE(t.done());
    EXPECT_EQ(t.value().reason, "ok");
    EXPECT_EQ(t.value().server, nine[0]);
    EXPECT_EQ(table(lb), (Entries{{9, 0}}));
}

TEST_F(Inflight, IncrementWakesNobody) {
    // Raising the count never hands out a slot; only a decrement that
    // leaves room does.
    const std::vector<ServerRecord> one{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 2}})};
    lb.increment(1);
    lb.increment(1);
    auto t = park(one);
    lb.increment(1);
    ManualClock::poll(io);
    EXPECT_FALSE(t.done());
    lb.decrement(1);  // 2 of 2: still full
    ManualClock::poll(io);
    EXPECT_FALSE(t.done());
    lb.decrement(1);
    ManualClock::poll(io);
    EXPECT_TRUE(t.done());
}

// ---- leases -----------------------------------------------------------------

TEST_F(Inflight, LeaseGivesItsUnitBackExactlyOnce) {
    struct Case {
        const char* name;
        void (*use)(InflightLease&);
        std::int64_t expected;  // count of server 1 afterwards, starting from 5
    };
    const Case cases[] = {
        {"enter, exit, exit", [](InflightLease& l) { l.enter(); l.exit(); l.exit(); }, 5},
        {"enter, exit, release", [](InflightLease& l) { l.enter(); l.exit(); l.release(); }, 5},
        {"enter, release, exit", [](InflightLease& l) { l.enter(); l.release(); l.exit(); }, 5},
        {"enter only (destructor gives back)", [](InflightLease& l) { l.enter(); }, 5},
        {"double enter: +2, -1", [](InflightLease& l) { l.enter(); l.enter(); l.exit(); l.exit(); }, 6},
        {"released without entering: one decrement", [](InflightLease& l) { l.release(); l.release(); }, 4},
        {"never entered, never released: nothing", [](InflightLease&) {}, 5},
        {"re-entered after release: the unit stays", [](InflightLease& l) { l.enter(); l.exit(); l.enter(); }, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lb.inflight.clear();
        for (int i = 0; i < 5; ++i) lb.increment(1);
        {
            InflightLease lease(lb, 1);
            EXPECT_EQ(lb.get_inflight(1), 5);  // construction touches nothing
            c.use(lease);
        }
        EXPECT_EQ(lb.get_inflight(1), c.expected);
    }
}

TEST_F(Inflight, AcquireEntersAndTheScopeGivesBack) {
    {
        InflightLease lease = InflightLease::acquire(lb, 3);
        EXPECT_EQ(lb.get_inflight(3), 1);
        EXPECT_FALSE(lease.released());
        EXPECT_EQ(lease.server_id(), 3);
        EXPECT_EQ(&lease.lb(), &lb);
    }
    EXPECT_EQ(lb.get_inflight(3), 0);
    EXPECT_THAT(lb.inflight, IsEmpty());
}

TEST_F(Inflight, ErrorThroughALeaseScopePassesUnchangedAndGivesBackOnce) {
    struct Boom : std::runtime_error {
        using std::runtime_error::runtime_error;
        int code = 42;
    };
    lb.increment(2);
    try {
        InflightLease lease = InflightLease::acquire(lb, 2);
        EXPECT_EQ(lb.get_inflight(2), 2);
        throw Boom("upstream reset");
    } catch (const Boom& e) {
        EXPECT_STREQ(e.what(), "upstream reset");
        EXPECT_EQ(e.code, 42);
    }
    EXPECT_EQ(lb.get_inflight(2), 1);

    // Explicit exit from a catch block, then the destructor: still once.
    try {
        InflightLease lease = InflightLease::acquire(lb, 2);
        try {
            throw Boom("inner");
        } catch (...) {
            lease.exit();
            throw;
        }
    } catch (const Boom& e) {
        EXPECT_STREQ(e.what(), "inner");
    }
    EXPECT_EQ(lb.get_inflight(2), 1);
}

TEST_F(Inflight, MovingALeaseMovesTheDutyToGiveBack) {
    {
        InflightLease a = InflightLease::acquire(lb, 4);
        InflightLease b(std::move(a));
        EXPECT_EQ(lb.get_inflight(4), 1);
        a.exit();     // moved-from: gives nothing back
        a.release();
        EXPECT_EQ(lb.get_inflight(4), 1);
        std::vector<InflightLease> held;
        held.push_back(std::move(b));
        b.release();
        EXPECT_EQ(lb.get_inflight(4), 1);
    }  // `held` gives the one unit back
    EXPECT_EQ(lb.get_inflight(4), 0);

    {
        InflightLease a = InflightLease::acquire(lb, 4);
        InflightLease target(lb, 4);  // not entered: owes nothing
        target = std::move(a);
        EXPECT_EQ(lb.get_inflight(4), 1);
    }
    EXPECT_EQ(lb.get_inflight(4), 0);
}

TEST_F(Inflight, LeaseExitAdmitsAParkedRequest) {
    const std::vector<ServerRecord> one{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    auto lease = std::make_unique<InflightLease>(InflightLease::acquire(lb, 1));
    auto t = park(one);
    ASSERT_FALSE(t.done());
    lease->release();
    ManualClock::poll(io);
    ASSERT_TRUE(t.done());
    EXPECT_EQ(t.value().server, one[0]);
    EXPECT_EQ(lb.dispatch_counts.at(1), 1);
    EXPECT_EQ(lb.get_inflight(1), 0);  // the admitted request has not entered its own lease yet
    lease.reset();                     // released already: no second decrement, no second admission
    EXPECT_THAT(lb.inflight, IsEmpty());
}

TEST_F(Inflight, FailedGiveBackLeavesTheLeaseHeldUntilARetrySucceeds) {
    InflightLease lease = InflightLease::acquire(lb, 1);
    lb.increment(1);  // someone else's unit
    plant_unreadable_waiter(1);
    EXPECT_THROW(lease.exit(), ValueError);
    EXPECT_FALSE(lease.released());
    EXPECT_EQ(lb.get_inflight(1), 1);  // the table moved before the wake-up failed
    EXPECT_THROW(lease.release(), ValueError);
    EXPECT_FALSE(lease.released());
    EXPECT_EQ(lb.get_inflight(1), 0);  // the retry decremented again
    remove_planted();
    lease.exit();  // the retry that succeeds: a decrement of an absent id
    EXPECT_TRUE(lease.released());
    lease.exit();
    EXPECT_EQ(table(lb), (Entries{{1, 0}}));
}

TEST_F(Inflight, DestructorWhoseGiveBackFailsWarnsAndDoesNotThrow) {
    lb.increment(1);
    lb.increment(1);
    plant_unreadable_waiter(1);
    log.clear();
    EXPECT_NO_THROW({ InflightLease lease = InflightLease::acquire(lb, 1); });
    EXPECT_EQ(lb.get_inflight(1), 2);
    EXPECT_EQ(warnings().size(), 1u);
    remove_planted();
}

// ---- asynchronous forms ----------------------------------------------------

boost::asio::awaitable<InflightLease*> enter_async(InflightLease& lease) {
    InflightLease& entered = co_await lease.async_enter();
    co_return &entered;
}

TEST_F(Inflight, AsyncEnterReturnsTheLeaseItself) {
    InflightLease lease(lb, 6);
    InflightLease* got = testing::run_awaitable(io, enter_async(lease));
    EXPECT_EQ(got, &lease);
    EXPECT_EQ(lb.get_inflight(6), 1);
    testing::run_awaitable(io, lease.async_exit());
    EXPECT_TRUE(lease.released());
    testing::run_awaitable(io, lease.async_exit());
    EXPECT_THAT(lb.inflight, IsEmpty());
}

// Both asynchronous forms must complete without giving the loop a chance
// to run anything else: a handler posted before the coroutine started is
// still pending when it finishes both steps.
boost::asio::awaitable<void> enter_and_exit(InflightLease& lease, const bool& other_ran, std::vector<bool>& seen) {
    seen.push_back(other_ran);
    co_await lease.async_enter();
    seen.push_back(other_ran);
    co_await lease.async_exit();
    seen.push_back(other_ran);
}

TEST_F(Inflight, AsyncFormsNeverSuspend) {
    const std::vector<ServerRecord> one{rec({{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    lb.increment(1);
    auto parked = park(one);  // the exit below admits it, which must not suspend either
    lb.inflight.erase(1);     // frees the slot without waking anyone
    InflightLease lease(lb, 1);
    bool other_ran = false;
    std::vector<bool> seen;
    auto t = testing::spawn(io, enter_and_exit(lease, other_ran, seen));
    boost::asio::post(io, [&] { other_ran = true; });
    ManualClock::poll(io);
    ASSERT_TRUE(t.done());
    EXPECT_NO_THROW(t.value());
    EXPECT_THAT(seen, ElementsAre(false, false, false));
    EXPECT_TRUE(other_ran);
    EXPECT_TRUE(parked.done());
    EXPECT_EQ(parked.value().reason, "ok");
    EXPECT_EQ(lb.get_inflight(1), 0);
}

}  // namespace
}  // namespace quillmar::lb
