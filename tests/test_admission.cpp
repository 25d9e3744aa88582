// One-call admission: the lease is entered before anything can suspend, a
// parked request owns its slot from the moment it is admitted, and every
// refusal is counted once.
#include "load_balancer/admission.hpp"
#include "load_balancer/settings.hpp"
#include "support/drive.hpp"
#include "support/log_capture.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_peer.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include <memory>
#include <vector>

namespace quillmar::lb {
namespace {

namespace json = boost::json;
using testing::Task;

ServerRecord server(std::int64_t id, std::int64_t cap) {
    return make_record(json::object{{"id", id}, {"weight", 1}, {"max_concurrency", cap}});
}

// Owns its arguments so that they outlive the caller's temporaries.
boost::asio::awaitable<Admission> admit_owned(LoadBalancer& lb, PoolKey pool, std::vector<ServerRecord> candidates,
                                              std::optional<std::int64_t> pin) {
    co_return co_await admit(lb, pool, candidates, {.estimated_tokens = 10, .force_server_id = pin});
}

class Admit : public ::testing::Test {
protected:
    void SetUp() override {
        QUEUE_ENABLED = true;
        QUEUE_TTL_SEC = 30.0;
        lb.set_routing_mode("max_concurrency");
    }
    void TearDown() override {
        for (auto& t : tasks)
            if (!t.done()) t.cancel();
        ManualClock::poll(io);
    }

    Task<Admission> start(std::vector<ServerRecord> candidates, std::optional<std::int64_t> pin = {}) {
        auto t = testing::spawn(io, admit_owned(lb, pool, std::move(candidates), pin));
        tasks.push_back(t);
        ManualClock::poll(io);
        return t;
    }
    // Lets go of every copy of the task, and so of its admission's lease.
    void drop(Task<Admission>& t) {
        t = {};
        tasks.clear();
    }
    std::int64_t rejected(std::string_view reason) {
        auto it = lb.reject_counts.find(reason);
        return it == lb.reject_counts.end() ? 0 : it->second;
    }

    testing::SettingsGuard settings;
    testing::LogCapture log;
    ManualClock clock{1000.0};
    LoadBalancer lb;
    boost::asio::io_context io;
    const PoolKey pool{"m", {}, "t"};
    std::vector<Task<Admission>> tasks;
};

TEST_F(Admit, FreeSlotIsTakenWithAnEnteredLeaseThatGivesItBack) {
    Task<Admission> t = start({server(1, 1)});
    ASSERT_TRUE(t.done());
    const Admission& a = t.value();
    ASSERT_TRUE(a);
    EXPECT_EQ(a.reason, "ok");
    EXPECT_FALSE(a.parked);
    EXPECT_EQ(lb.get_inflight(1), 1);
    drop(t);
    EXPECT_EQ(lb.get_inflight(1), 0);
}

TEST_F(Admit, RefusalsCarryTheirReasonAndAreCountedOnce) {
    struct Case {
        bool queue;
        std::optional<std::int64_t> pin;
        double advance;  // seconds of waiting before the verdict
        std::string_view reason;
    };
    for (const Case& c : {Case{false, {}, 0.0, "at_capacity"}, Case{true, {}, 30.0, "queue_timeout"},
                          Case{true, 7, 0.0, "no_backends"}}) {
        SCOPED_TRACE(c.reason);
        QUEUE_ENABLED = c.queue;
        auto held = InflightLease::acquire(lb, 1);
        Task<Admission> t = start({server(1, 1)}, c.pin);
        clock.run_for(io, c.advance);
        ASSERT_TRUE(t.done());
        EXPECT_FALSE(t.value());
        EXPECT_EQ(t.value().reason, c.reason);
        EXPECT_FALSE(t.value().lease.has_value());
        EXPECT_DOUBLE_EQ(t.value().waited_sec, c.advance);
        EXPECT_EQ(rejected(c.reason), 1);
    }
    EXPECT_EQ(lb.get_inflight(1), 0);
}

TEST_F(Admit, ParkedRequestOwnsItsSlotFromTheMomentItIsAdmitted) {
    std::optional<InflightLease> holder;
    holder.emplace(InflightLease::acquire(lb, 1));
    Task<Admission> parked = start({server(1, 1)});
    ASSERT_FALSE(parked.done());
    clock.advance(2.0);
    holder.reset();  // frees the slot and admits the parked request
    // It has not resumed yet, but the slot is already counted as its own:
    // nobody else can be given it in between.
    EXPECT_EQ(lb.get_inflight(1), 1);
    EXPECT_EQ(testing::run_awaitable(io, lb.select(pool, std::vector{server(1, 1)})), nullptr);
    ManualClock::poll(io);
    ASSERT_TRUE(parked.done());
    ASSERT_TRUE(parked.value());
    EXPECT_TRUE(parked.value().parked);
    EXPECT_DOUBLE_EQ(parked.value().waited_sec, 2.0);
    EXPECT_EQ(lb.get_inflight(1), 1);
    drop(parked);
    EXPECT_EQ(lb.get_inflight(1), 0);
}

TEST_F(Admit, CancellingAnAdmittedRequestBeforeItResumesNeverKeepsItsSlot) {
    for (const std::int64_t id : {1, 0, -5}) {  // any id is a server id
        SCOPED_TRACE(id);
        std::optional<InflightLease> holder;
        holder.emplace(InflightLease::acquire(lb, id));
        Task<Admission> parked = start({server(id, 1)});
        // The slot frees and the request is cancelled in the same tick:
        // the cancellation wins, and the slot raised for it is given back.
        boost::asio::post(io, [&] {
            holder.reset();
            EXPECT_EQ(lb.get_inflight(id), 1);
            parked.cancel();
        });
        ManualClock::poll(io);
        EXPECT_TRUE(parked.cancelled());
        drop(parked);
        EXPECT_EQ(lb.get_inflight(id), 0);
    }
}

// A host may destroy its loop and its balancer in either order while
// requests are parked or hold leases. The loop going first ends its parked
// requests and the balancer keeps no trace of them; the balancer going first
// ends them with the cancellation error, and a lease that outlives it
// touches nothing (the sanitizer build would see it).
TEST(AdmitLifetimes, LoopOrBalancerMayGoFirst) {
    testing::SettingsGuard settings;
    testing::LogCapture log;
    QUEUE_ENABLED = true;
    ManualClock clock{1000.0};
    const PoolKey pool{"m", {}, "t"};
    for (const bool loop_first : {true, false}) {
        SCOPED_TRACE(loop_first ? "loop first" : "balancer first");
        auto lb = std::make_unique<LoadBalancer>();
        lb->set_routing_mode("max_concurrency");
        auto io = std::make_unique<boost::asio::io_context>();
        Task<Admission> running = testing::spawn(*io, admit_owned(*lb, pool, {server(7, 1)}, {}));
        Task<Admission> parked = testing::spawn(*io, admit_owned(*lb, pool, {server(7, 1)}, {}));
        ManualClock::poll(*io);
        ASSERT_TRUE(running.done() && running.value());
        ASSERT_FALSE(parked.done());
        if (loop_first) {
            io.reset();
            EXPECT_EQ(lb->snapshot().at("queue_total_waiters"), 0);
            running = {};  // its lease gives the slot back to the live balancer
            EXPECT_EQ(lb->get_inflight(7), 0);
        } else {
            lb.reset();
            ManualClock::poll(*io);
            ASSERT_TRUE(parked.done());
            EXPECT_TRUE(parked.cancelled());
            running = {};
        }
    }
}

}  // namespace
}  // namespace quillmar::lb
