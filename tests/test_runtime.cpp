// The event-loop layer the balancer runs on: the manual clock, Future with
// wait_for, sleep, and AsyncLock. Everything runs in virtual time on a
// ManualClock; no test sleeps for real.
#include "load_balancer/runtime.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lb = quillmar::lb;
namespace asio = boost::asio;
using asio::awaitable;

namespace {

constexpr double kStart = 1000.0;  // ManualClock's default origin

// ---------------------------------------------------------------- helpers

template <class T>
struct Outcome {
    bool done = false;
    std::optional<T> value;
    std::exception_ptr error;
};

struct VoidOutcome {
    bool done = false;
    std::exception_ptr error;
};

template <class T>
auto capture(Outcome<T>& out) {
    return [&out](std::exception_ptr e, T v) {
        out.done = true;
        if (e)
            out.error = e;
        else
            out.value = std::move(v);
    };
}

inline auto capture(VoidOutcome& out) {
    return [&out](std::exception_ptr e) {
        out.done = true;
        out.error = e;
    };
}

bool is_timeout(const std::exception_ptr& e) {
    if (!e) return false;
    try {
        std::rethrow_exception(e);
    } catch (const lb::TimeoutError&) {
        return true;
    } catch (...) {
        return false;
    }
}

// The library's cancellation error, recognised both by its exact type and
// code and by the library's own predicate.
bool is_cancelled(const std::exception_ptr& e) {
    if (!e) return false;
    try {
        std::rethrow_exception(e);
    } catch (const boost::system::system_error& se) {
        return se.code() == asio::error::operation_aborted && lb::is_cancellation(se);
    } catch (...) {
        return false;
    }
}

std::string describe(const std::exception_ptr& e) {
    if (!e) return "no error";
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return ex.what();
    } catch (...) {
        return "non-standard exception";
    }
}

awaitable<int> await_future(lb::Future<int> f, double timeout) { co_return co_await wait_for(f, timeout); }

awaitable<int> await_noting_timeout(lb::Future<int> f, double timeout, int id, std::vector<int>& timed_out) {
    try {
        co_return co_await wait_for(f, timeout);
    } catch (const lb::TimeoutError&) {
        timed_out.push_back(id);
        throw;
    }
}

// Waits while holding `keep`: the frame's lifetime shows in its use count.
awaitable<int> await_holding(lb::Future<int> f, [[maybe_unused]] std::shared_ptr<int> keep) {
    co_return co_await wait_for(f, 30.0);
}

// Records the virtual time at which a sleep ends.
awaitable<void> sleep_and_stamp(double seconds, std::optional<double>& woke_at) {
    co_await lb::sleep(seconds);
    woke_at = lb::monotonic();
}

class RuntimeTest : public ::testing::Test {
protected:
    double elapsed() const { return clock.now() - kStart; }

    lb::ManualClock clock;  // installed first, removed last
    asio::io_context io;
};

// ----------------------------------------------------------- manual clock

TEST_F(RuntimeTest, MonotonicAndWallTimeFollowTheManualClock) {
    EXPECT_EQ(lb::monotonic(), kStart);
    EXPECT_EQ(clock.now(), kStart);
    const double wall0 = lb::wall_time();
    EXPECT_EQ(wall0, 1'700'000'000.0);

    clock.advance(2.5);
    EXPECT_EQ(lb::monotonic(), kStart + 2.5);
    EXPECT_EQ(lb::wall_time(), wall0 + 2.5);
    clock.advance(-1.0);  // time never goes back
    clock.advance(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(lb::monotonic(), kStart + 2.5);

    lb::ManualClock::poll(io);  // polling alone does not move time
    EXPECT_EQ(lb::monotonic(), kStart + 2.5);
    clock.run_for(io, 7.5);  // with nothing pending, run_for still moves the whole step
    EXPECT_EQ(lb::monotonic(), kStart + 10.0);
}

TEST_F(RuntimeTest, OnlyOneManualClockAtATime) {
    EXPECT_THROW(lb::ManualClock second, std::logic_error);
    EXPECT_EQ(lb::monotonic(), kStart);  // the failed attempt left the installed clock alone
}

TEST(RuntimeRealClock, RealClocksComeBackWhenTheManualClockGoes) {
    {
        lb::ManualClock clock(5.0, 10.0);
        EXPECT_EQ(lb::monotonic(), 5.0);
        EXPECT_EQ(lb::wall_time(), 10.0);
    }
    const double steady =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const double system =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Generous margins: only which clock is followed is checked here.
    EXPECT_NEAR(lb::monotonic(), steady, 60.0);
    EXPECT_NEAR(lb::wall_time(), system, 60.0);
    lb::ManualClock again;  // and a new one may be installed
    EXPECT_EQ(lb::monotonic(), kStart);
}

TEST(RuntimeDuration, SecondsToClockDuration) {
    using lb::Clock;
    EXPECT_EQ(lb::to_duration(1.5), std::chrono::milliseconds(1500));
    EXPECT_EQ(lb::to_duration(0.0), Clock::duration::zero());
    EXPECT_EQ(lb::to_duration(-3.0), Clock::duration::zero());
    EXPECT_EQ(lb::to_duration(-std::numeric_limits<double>::infinity()), Clock::duration::zero());
    EXPECT_EQ(lb::to_duration(std::numeric_limits<double>::quiet_NaN()), Clock::duration::max());
    EXPECT_EQ(lb::to_duration(std::numeric_limits<double>::infinity()), Clock::duration::max());
    EXPECT_EQ(lb::to_duration(1e300), Clock::duration::max());
}

// ------------------------------------------------------- Future / wait_for

TEST_F(RuntimeTest, ResultSetBeforeTheWaitIsReturnedWithoutSuspending) {
    lb::Future<int> f(io.get_executor());
    bool other_ran = false;
    std::optional<bool> other_ran_before_result;
    Outcome<int> out;
    asio::co_spawn(
        io,
        [&]() -> awaitable<int> {
            f.set_result(7);
            // Anything posted now runs only if the wait below suspends.
            asio::post(io, [&] { other_ran = true; });
            int v = co_await wait_for(f, 10.0);
            other_ran_before_result = other_ran;
            co_return v;
        },
        capture(out));
    lb::ManualClock::poll(io);
    ASSERT_TRUE(out.done) << describe(out.error);
    ASSERT_FALSE(out.error) << describe(out.error);
    EXPECT_EQ(*out.value, 7);
    ASSERT_TRUE(other_ran_before_result.has_value());
    EXPECT_FALSE(*other_ran_before_result);
    EXPECT_TRUE(f.done());
    EXPECT_FALSE(f.cancelled());
    EXPECT_EQ(elapsed(), 0.0);
}

TEST_F(RuntimeTest, ResultSetLaterResumesTheWaiterOnlyThroughTheLoop) {
    lb::Future<int> f(io.get_executor());
    Outcome<int> out;
    asio::co_spawn(io, await_future(f, 10.0), capture(out));
    lb::ManualClock::poll(io);
    ASSERT_FALSE(out.done);
    EXPECT_FALSE(f.done());

    lb::Future<int> copy = f;  // copies share one state
    copy.set_result(5);
    EXPECT_TRUE(f.done());
    EXPECT_FALSE(out.done) << "set_result must not resume the waiter inside the call";

    lb::ManualClock::poll(io);
    ASSERT_TRUE(out.done);
    ASSERT_FALSE(out.error) << describe(out.error);
    EXPECT_EQ(*out.value, 5);
    EXPECT_FALSE(f.cancelled());
    EXPECT_EQ(elapsed(), 0.0);
}

TEST_F(RuntimeTest, SetResultOnADoneFutureThrowsAndCancelLeavesAResultAlone) {
    lb::Future<int> done(io.get_executor());
    done.set_result(1);
    EXPECT_THROW(done.set_result(2), std::logic_error);
    done.cancel();
    EXPECT_FALSE(done.cancelled());

    lb::Future<int> cancelled(io.get_executor());
    cancelled.cancel();
    EXPECT_TRUE(cancelled.done());
    EXPECT_TRUE(cancelled.cancelled());
    EXPECT_THROW(cancelled.set_result(3), std::logic_error);

    Outcome<int> got_result, got_cancel;
    asio::co_spawn(io, await_future(done, 5.0), capture(got_result));
    asio::co_spawn(io, await_future(cancelled, 5.0), capture(got_cancel));
    lb::ManualClock::poll(io);
    ASSERT_TRUE(got_result.done && got_cancel.done);
    EXPECT_EQ(got_result.value, 1);
    EXPECT_TRUE(is_cancelled(got_cancel.error)) << describe(got_cancel.error);
}

TEST_F(RuntimeTest, TimeoutFiresExactlyWhenTheLimitPassesAndCancelsTheFuture) {
    // 1/512 s is exact in binary and in nanoseconds, so the two steps add up
    // to the limit exactly.
    constexpr double kEps = 1.0 / 512.0;
    lb::Future<int> f(io.get_executor());
    Outcome<int> out;
    asio::co_spawn(io, await_future(f, 10.0), capture(out));

    clock.run_for(io, 10.0 - kEps);
    EXPECT_FALSE(out.done) << "timed out early, at " << elapsed() << " s";
    EXPECT_FALSE(f.done());

    clock.run_for(io, kEps);
    ASSERT_TRUE(out.done);
    EXPECT_TRUE(is_timeout(out.error)) << describe(out.error);
    EXPECT_TRUE(f.done());
    EXPECT_TRUE(f.cancelled());
    EXPECT_THROW(f.set_result(1), std::logic_error);
    EXPECT_EQ(elapsed(), 10.0);
}

// Every limit is kept by one shared timer: a limit registered after a later
// one still fires on time, a wait that got its result leaves no timeout
// behind, and each of the others times out at exactly its own limit.
TEST_F(RuntimeTest, LimitsOfManyWaitsEachFireAtTheirOwnTime) {
    const double limits[] = {10.0, 5.0, 7.0, 5.0, std::numeric_limits<double>::infinity()};
    std::vector<lb::Future<int>> futures;
    std::vector<Outcome<int>> outs(std::size(limits));
    for (std::size_t i = 0; i < std::size(limits); ++i) {
        futures.emplace_back(io.get_executor());
        asio::co_spawn(io, await_future(futures[i], limits[i]), capture(outs[i]));
    }
    clock.run_for(io, 1.0);
    futures[2].set_result(7);  // the 7 s wait ends early

    std::vector<double> timed_out_at(std::size(limits), -1.0);
    for (int step = 0; step < 20; ++step) {
        clock.run_for(io, 0.5);
        for (std::size_t i = 0; i < outs.size(); ++i)
            if (outs[i].done && timed_out_at[i] < 0 && is_timeout(outs[i].error)) timed_out_at[i] = elapsed();
    }
    EXPECT_EQ(timed_out_at, (std::vector<double>{10.0, 5.0, -1.0, 5.0, -1.0}));
    ASSERT_TRUE(outs[2].done);
    EXPECT_EQ(outs[2].value, 7);
    EXPECT_FALSE(outs[4].done);
    futures[4].cancel();
    clock.run_for(io, 0.0);
}

// The shared limits live in a heap: waits that end early leave it from any
// position, and the rest still time out at their own limits, waits with
// equal limits in the order they started.
TEST_F(RuntimeTest, EarlyEndsAnywhereInTheSharedLimitsLeaveTheOthersOnTime) {
    constexpr int kWaits = 24;
    std::vector<lb::Future<int>> futures;
    std::vector<Outcome<int>> outs(kWaits);
    std::vector<int> timeout_order;
    for (int i = 0; i < kWaits; ++i) futures.emplace_back(io.get_executor());
    auto limit = [](int i) { return 1.0 + (i * 7) % 6; };  // 1..6 s, four waits each
    for (int i = 0; i < kWaits; ++i)
        asio::co_spawn(io, await_noting_timeout(futures[i], limit(i), i, timeout_order), capture(outs[i]));
    lb::ManualClock::poll(io);
    for (int i = 0; i < kWaits; i += 5) futures[i].set_result(i);   // results, from every part of the heap
    for (int i = 2; i < kWaits; i += 5) futures[i].cancel();        // and cancellations

    std::vector<int> expected;
    for (int step = 1; step <= 6; ++step)
        for (int i = 0; i < kWaits; ++i)
            if (limit(i) == step && i % 5 != 0 && i % 5 != 2) expected.push_back(i);
    std::vector<double> ended_at(kWaits, -1.0);
    for (int step = 0; step < 12; ++step) {
        clock.run_for(io, 0.5);
        for (int i = 0; i < kWaits; ++i)
            if (outs[i].done && ended_at[i] < 0) ended_at[i] = elapsed();
    }
    EXPECT_EQ(timeout_order, expected);
    for (int i = 0; i < kWaits; ++i) {
        ASSERT_TRUE(outs[i].done) << i;
        if (i % 5 == 0) {
            EXPECT_EQ(outs[i].value, i);
        } else if (i % 5 == 2) {
            EXPECT_TRUE(is_cancelled(outs[i].error)) << describe(outs[i].error);
        } else {
            EXPECT_EQ(ended_at[i], limit(i)) << i;
        }
    }
}

// Waits that end before their limits leave nothing pending: once the last
// one is over the loop stops (run() returns) instead of idling until a limit
// nobody waits for. On a strand the limits' timer is cancelled rather than
// left uncounted, hence the two executors.
TEST_F(RuntimeTest, LoopStopsOnceTheLastWaitEndsEarly) {
    for (const bool on_strand : {false, true}) {
        SCOPED_TRACE(on_strand ? "strand" : "io_context");
        asio::io_context loop;
        const asio::any_io_executor ex =
            on_strand ? asio::any_io_executor(asio::make_strand(loop)) : asio::any_io_executor(loop.get_executor());
        lb::Future<int> first(ex), second(ex);
        Outcome<int> first_out, second_out;
        asio::co_spawn(ex, await_future(first, 30.0), capture(first_out));
        asio::co_spawn(ex, await_future(second, 60.0), capture(second_out));
        lb::ManualClock::poll(loop);
        second.set_result(2);
        lb::ManualClock::poll(loop);
        EXPECT_FALSE(loop.stopped());  // the first still waits
        first.set_result(1);
        lb::ManualClock::poll(loop);
        EXPECT_TRUE(first_out.done && second_out.done);
        EXPECT_TRUE(loop.stopped());
        EXPECT_EQ(elapsed(), 0.0);
    }
}

// A stored wait is part of the loop: destroying the loop destroys the
// suspended coroutine (nothing leaks), and a future has one waiter at a time.
TEST(RuntimeWaitSlot, TheLoopOwnsAStoredWaitAndAFutureHasOneWaiter) {
    lb::ManualClock clock;
    auto io = std::make_unique<asio::io_context>();
    lb::Future<int> f(io->get_executor());
    auto alive = std::make_shared<int>(0);
    Outcome<int> first, second;
    asio::co_spawn(*io, await_holding(f, alive), capture(first));
    asio::co_spawn(*io, await_future(f, 30.0), capture(second));
    lb::ManualClock::poll(*io);
    EXPECT_FALSE(first.done);
    ASSERT_TRUE(second.done);
    EXPECT_THROW(std::rethrow_exception(second.error), std::logic_error);
    EXPECT_EQ(alive.use_count(), 2);
    io.reset();
    EXPECT_EQ(alive.use_count(), 1) << "the suspended coroutine outlived its loop";
    EXPECT_FALSE(first.done);
}

// A loop built where the previous one was (same address) gets its own wait
// service: its limits fire on its own timer.
TEST(RuntimeWaitSlot, ALoopInThePreviousLoopsPlaceWaitsOnItsOwnService) {
    lb::ManualClock clock;
    std::optional<asio::io_context> io;
    for (int round = 0; round < 2; ++round) {
        io.emplace();
        lb::Future<int> f(io->get_executor());
        Outcome<int> out;
        asio::co_spawn(*io, await_future(f, 1.0), capture(out));
        clock.run_for(*io, 1.0);
        ASSERT_TRUE(out.done) << "round " << round;
        EXPECT_TRUE(is_timeout(out.error)) << describe(out.error);
        io.reset();
    }
}

TEST_F(RuntimeTest, DecimalStepsThatAddUpToTheLimitReachIt) {
    // 9.999 and 0.001 are both inexact in binary; advanced one after the
    // other they are 10 s in any reading, and a 10 s limit has passed.
    lb::Future<int> f(io.get_executor());
    Outcome<int> out;
    asio::co_spawn(io, await_future(f, 10.0), capture(out));
    clock.run_for(io, 9.999);
    EXPECT_FALSE(out.done);
    clock.run_for(io, 0.001);
    EXPECT_TRUE(out.done) << "virtual time is " << elapsed() << " s after run_for(9.999) + run_for(0.001)";
    EXPECT_TRUE(is_timeout(out.error)) << describe(out.error);
}

TEST_F(RuntimeTest, SixHundredSecondLimitInVirtualTime) {
    lb::Future<int> f(io.get_executor());
    Outcome<int> out;
    asio::co_spawn(io, await_future(f, 600.0), capture(out));
    clock.run_for(io, 599.5);
    EXPECT_FALSE(out.done);
    clock.run_for(io, 0.5);
    ASSERT_TRUE(out.done);
    EXPECT_TRUE(is_timeout(out.error)) << describe(out.error);
    EXPECT_TRUE(f.cancelled());
    EXPECT_EQ(elapsed(), 600.0);
}

TEST_F(RuntimeTest, ResultSetWhenTheDeadlineIsReachedButBeforeResumingWins) {
    lb::Future<int> f(io.get_executor());
    Outcome<int> out;
    asio::co_spawn(io, await_future(f, 10.0), capture(out));
    lb::ManualClock::poll(io);
    clock.advance(10.0);  // the deadline passes; nothing has run yet
    f.set_result(3);
    lb::ManualClock::poll(io);
    ASSERT_TRUE(out.done);
    ASSERT_FALSE(out.error) << describe(out.error);
    EXPECT_EQ(*out.value, 3);
    EXPECT_FALSE(f.cancelled());
}

TEST_F(RuntimeTest, ResultSetAfterTheTimerFiredButBeforeResumingWins) {
    // Two waits with the same deadline expire in the same loop pass. The one
    // resumed first times out and then completes the other's future; the
    // other, whose timer has already fired, must still return the result.
    lb::Future<int> fa(io.get_executor());
    lb::Future<int> fb(io.get_executor());
    std::vector<std::string> events;
    auto waiter = [&](lb::Future<int> mine, lb::Future<int> other, std::string name) -> awaitable<void> {
        try {
            int v = co_await wait_for(mine, 10.0);
            events.push_back(name + ":value=" + std::to_string(v));
        } catch (const lb::TimeoutError&) {
            events.push_back(name + ":timeout");
            if (!other.done()) other.set_result(42);
        }
    };
    VoidOutcome a, b;
    asio::co_spawn(io, waiter(fa, fb, "a"), capture(a));
    asio::co_spawn(io, waiter(fb, fa, "b"), capture(b));
    clock.run_for(io, 10.0);
    ASSERT_TRUE(a.done && b.done);
    ASSERT_EQ(events.size(), 2u);
    const std::string first = events[0].substr(0, 1);
    const std::string second = first == "a" ? "b" : "a";
    EXPECT_EQ(events[0], first + ":timeout");
    EXPECT_EQ(events[1], second + ":value=42");
}

TEST_F(RuntimeTest, CancellingTheAwaitingCoroutineCancelsTheFuture) {
    for (auto type : {asio::cancellation_type::terminal, asio::cancellation_type::all}) {
        lb::Future<int> f(io.get_executor());
        asio::cancellation_signal sig;
        Outcome<int> out;
        asio::co_spawn(io, await_future(f, 30.0), asio::bind_cancellation_slot(sig.slot(), capture(out)));
        clock.run_for(io, 5.0);
        ASSERT_FALSE(out.done);
        sig.emit(type);
        lb::ManualClock::poll(io);
        ASSERT_TRUE(out.done);
        EXPECT_TRUE(is_cancelled(out.error)) << describe(out.error);
        EXPECT_TRUE(f.cancelled());
        EXPECT_THROW(f.set_result(1), std::logic_error);
    }
    EXPECT_EQ(elapsed(), 10.0);
}

TEST_F(RuntimeTest, CancellationRequestedBeforeTheWaitStarts) {
    lb::Future<int> f(io.get_executor());
    asio::cancellation_signal sig;
    Outcome<int> out;
    asio::co_spawn(io, await_future(f, 30.0), asio::bind_cancellation_slot(sig.slot(), capture(out)));
    sig.emit(asio::cancellation_type::terminal);
    lb::ManualClock::poll(io);
    ASSERT_TRUE(out.done);
    EXPECT_TRUE(is_cancelled(out.error)) << describe(out.error);
    EXPECT_TRUE(f.cancelled());
}

TEST_F(RuntimeTest, CancellingThePendingFutureWakesTheWaiterWithCancellation) {
    lb::Future<int> f(io.get_executor());
    Outcome<int> out;
    asio::co_spawn(io, await_future(f, 30.0), capture(out));
    lb::ManualClock::poll(io);
    f.cancel();
    EXPECT_FALSE(out.done);
    lb::ManualClock::poll(io);
    ASSERT_TRUE(out.done);
    EXPECT_TRUE(is_cancelled(out.error)) << describe(out.error);
}

TEST_F(RuntimeTest, NaNInfiniteAndHugeLimitsNeverTimeOut) {
    const double limits[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                             1e300, 1e10};
    std::vector<lb::Future<int>> futures;
    std::vector<Outcome<int>> outs(std::size(limits));
    for (std::size_t i = 0; i < std::size(limits); ++i) {
        futures.emplace_back(io.get_executor());
        asio::co_spawn(io, await_future(futures[i], limits[i]), capture(outs[i]));
    }
    clock.run_for(io, 1e8);  // over three years of virtual time
    const auto before = lb::Clock::now();
    clock.run_for(io, 1e300);  // past the clock's range: to its end, not back
    EXPECT_GE(lb::Clock::now(), before);
    for (std::size_t i = 0; i < std::size(limits); ++i) {
        EXPECT_FALSE(outs[i].done) << "limit " << limits[i] << ": " << describe(outs[i].error);
        futures[i].set_result(static_cast<int>(i));
    }
    lb::ManualClock::poll(io);
    for (std::size_t i = 0; i < std::size(limits); ++i) {
        ASSERT_TRUE(outs[i].done);
        EXPECT_EQ(outs[i].value, static_cast<int>(i)) << describe(outs[i].error);
    }
}

TEST_F(RuntimeTest, ZeroOrNegativeLimitTimesOutAtOnceUnlessAlreadyDone) {
    for (double limit : {0.0, -5.0}) {
        lb::Future<int> pending(io.get_executor());
        lb::Future<int> ready(io.get_executor());
        ready.set_result(9);
        Outcome<int> p, r;
        asio::co_spawn(io, await_future(pending, limit), capture(p));
        asio::co_spawn(io, await_future(ready, limit), capture(r));
        lb::ManualClock::poll(io);
        ASSERT_TRUE(p.done && r.done) << "limit " << limit;
        EXPECT_TRUE(is_timeout(p.error)) << describe(p.error);
        EXPECT_TRUE(pending.cancelled());
        EXPECT_EQ(r.value, 9) << describe(r.error);
    }
    EXPECT_EQ(elapsed(), 0.0);
}

// ------------------------------------------------------------------ sleep

TEST_F(RuntimeTest, SleepEndsAtItsVirtualTimeAndNotBefore) {
    std::optional<double> woke_at;
    VoidOutcome out;
    asio::co_spawn(io, sleep_and_stamp(60.0, woke_at), capture(out));
    clock.run_for(io, 59.5);
    EXPECT_FALSE(out.done);
    clock.run_for(io, 0.5);
    ASSERT_TRUE(out.done);
    EXPECT_FALSE(out.error) << describe(out.error);
    EXPECT_EQ(woke_at, kStart + 60.0);
}

TEST_F(RuntimeTest, SleepStopsAtItsOwnDeadlineInsideALongerRun) {
    std::optional<double> woke_at;
    VoidOutcome out;
    asio::co_spawn(io, sleep_and_stamp(60.0, woke_at), capture(out));
    clock.run_for(io, 100.0);
    ASSERT_TRUE(out.done);
    EXPECT_EQ(woke_at, kStart + 60.0);  // it ran at 60 s, not at the end of the step
    EXPECT_EQ(elapsed(), 100.0);
}

TEST_F(RuntimeTest, NonPositiveSleepsEndWithoutMovingTime) {
    for (double s : {0.0, -1.0}) {
        std::optional<double> woke_at;
        VoidOutcome out;
        asio::co_spawn(io, sleep_and_stamp(s, woke_at), capture(out));
        lb::ManualClock::poll(io);
        ASSERT_TRUE(out.done) << s;
        EXPECT_EQ(woke_at, kStart) << s;
    }
}

TEST_F(RuntimeTest, CancelledSleepRaisesCancellationAtTheMomentOfCancelling) {
    std::optional<double> woke_at;
    asio::cancellation_signal sig;
    VoidOutcome out;
    asio::co_spawn(io, sleep_and_stamp(60.0, woke_at), asio::bind_cancellation_slot(sig.slot(), capture(out)));
    clock.run_for(io, 10.0);
    sig.emit(asio::cancellation_type::terminal);
    lb::ManualClock::poll(io);
    ASSERT_TRUE(out.done);
    EXPECT_TRUE(is_cancelled(out.error)) << describe(out.error);
    EXPECT_FALSE(woke_at.has_value());
    EXPECT_EQ(elapsed(), 10.0);
}

TEST_F(RuntimeTest, RunForStepsThroughChainedTimers) {
    std::vector<double> stamps;
    VoidOutcome out;
    asio::co_spawn(
        io,
        [&]() -> awaitable<void> {
            for (int i = 0; i < 5; ++i) {
                co_await lb::sleep(10.0);
                stamps.push_back(lb::monotonic() - kStart);
            }
        },
        capture(out));
    clock.run_for(io, 49.9);
    EXPECT_FALSE(out.done);
    EXPECT_EQ(stamps, (std::vector<double>{10.0, 20.0, 30.0, 40.0}));
    clock.run_for(io, 30.0);
    ASSERT_TRUE(out.done);
    EXPECT_EQ(stamps, (std::vector<double>{10.0, 20.0, 30.0, 40.0, 50.0}));
}

TEST_F(RuntimeTest, InterleavedSleepersWakeInDeadlineOrder) {
    std::vector<std::string> order;
    auto sleeper = [&](double s, std::string name) -> awaitable<void> {
        co_await lb::sleep(s);
        order.push_back(name + "@" + std::to_string(static_cast<int>(lb::monotonic() - kStart)));
    };
    VoidOutcome a, b, c;
    asio::co_spawn(io, sleeper(30.0, "a"), capture(a));
    asio::co_spawn(io, sleeper(10.0, "b"), capture(b));
    asio::co_spawn(io, sleeper(20.0, "c"), capture(c));
    clock.run_for(io, 40.0);
    EXPECT_EQ(order, (std::vector<std::string>{"b@10", "c@20", "a@30"}));
}

// -------------------------------------------------------------- AsyncLock

// Takes the lock, appends `id` when it holds it, keeps it for `hold` s.
awaitable<void> contender(lb::AsyncLock& lock, int id, std::vector<int>& order, std::vector<double>& at,
                          double hold) {
    auto guard = co_await lock.lock();
    EXPECT_TRUE(guard.owns_lock());
    order.push_back(id);
    at.push_back(lb::monotonic() - kStart);
    if (hold > 0) co_await lb::sleep(hold);
}

// Takes the lock and keeps it until `gate` completes, then releases it and
// runs `after_unlock` before anything else can run.
awaitable<void> holder(lb::AsyncLock& lock, lb::Future<int> gate, std::function<void()> after_unlock) {
    auto guard = co_await lock.lock();
    co_await wait_for(gate, std::numeric_limits<double>::infinity());
    guard.unlock();
    if (after_unlock) after_unlock();
}

TEST_F(RuntimeTest, UncontendedLockCompletesWithoutSuspending) {
    lb::AsyncLock lock;
    bool other_ran = false;
    std::optional<bool> other_ran_when_locked;
    VoidOutcome out;
    asio::co_spawn(
        io,
        [&]() -> awaitable<void> {
            asio::post(io, [&] { other_ran = true; });
            auto guard = co_await lock.lock();
            other_ran_when_locked = other_ran;
            EXPECT_TRUE(guard.owns_lock());
            EXPECT_TRUE(lock.locked());
        },
        capture(out));
    lb::ManualClock::poll(io);
    ASSERT_TRUE(out.done);
    EXPECT_FALSE(out.error) << describe(out.error);
    ASSERT_TRUE(other_ran_when_locked.has_value());
    EXPECT_FALSE(*other_ran_when_locked);
    EXPECT_FALSE(lock.locked());  // the guard released it at the end of the coroutine
}

TEST_F(RuntimeTest, ContendersAcquireInArrivalOrderWithoutBarging) {
    lb::AsyncLock lock;
    lb::Future<int> gate(io.get_executor());
    std::vector<int> order;
    std::vector<double> at;
    std::optional<bool> barged;
    VoidOutcome h, c1, c2, c3;
    asio::co_spawn(io, holder(lock, gate, [&] { barged = lock.try_lock().owns_lock(); }), capture(h));
    asio::co_spawn(io, contender(lock, 1, order, at, 1.0), capture(c1));
    asio::co_spawn(io, contender(lock, 2, order, at, 1.0), capture(c2));
    asio::co_spawn(io, contender(lock, 3, order, at, 1.0), capture(c3));
    lb::ManualClock::poll(io);
    EXPECT_TRUE(lock.locked());
    EXPECT_EQ(lock.queued(), 3u);
    EXPECT_TRUE(order.empty());

    clock.run_for(io, 2.0);  // the holder still holds: nobody moves
    EXPECT_TRUE(order.empty());

    gate.set_result(0);
    clock.run_for(io, 10.0);
    ASSERT_TRUE(h.done && c1.done && c2.done && c3.done);
    for (auto* o : {&h, &c1, &c2, &c3}) EXPECT_FALSE(o->error) << describe(o->error);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(at, (std::vector<double>{2.0, 3.0, 4.0}));  // each one second after the previous
    ASSERT_TRUE(barged.has_value());
    EXPECT_FALSE(*barged) << "try_lock took the lock from the queued coroutine it was handed to";
    EXPECT_FALSE(lock.locked());
    EXPECT_EQ(lock.queued(), 0u);
}

TEST_F(RuntimeTest, ExceptionInsideTheCriticalSectionReleasesTheLock) {
    lb::AsyncLock lock;
    std::vector<int> order;
    std::vector<double> at;
    VoidOutcome thrower, next;
    asio::co_spawn(
        io,
        [&]() -> awaitable<void> {
            auto guard = co_await lock.lock();
            order.push_back(1);
            co_await lb::sleep(1.0);
            throw std::runtime_error("boom");
        },
        capture(thrower));
    asio::co_spawn(io, contender(lock, 2, order, at, 0.0), capture(next));
    clock.run_for(io, 5.0);
    ASSERT_TRUE(thrower.done && next.done);
    EXPECT_EQ(describe(thrower.error), "boom");
    EXPECT_FALSE(next.error) << describe(next.error);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(at, (std::vector<double>{1.0}));
    EXPECT_FALSE(lock.locked());
}

TEST_F(RuntimeTest, CancelledQueuedCoroutineLeavesTheQueue) {
    lb::AsyncLock lock;
    lb::Future<int> gate(io.get_executor());
    std::vector<int> order;
    std::vector<double> at;
    asio::cancellation_signal sig;
    VoidOutcome h, c1, c2, c3;
    asio::co_spawn(io, holder(lock, gate, nullptr), capture(h));
    asio::co_spawn(io, contender(lock, 1, order, at, 1.0), capture(c1));
    asio::co_spawn(io, contender(lock, 2, order, at, 1.0), asio::bind_cancellation_slot(sig.slot(), capture(c2)));
    asio::co_spawn(io, contender(lock, 3, order, at, 1.0), capture(c3));
    lb::ManualClock::poll(io);
    ASSERT_EQ(lock.queued(), 3u);

    sig.emit(asio::cancellation_type::terminal);
    lb::ManualClock::poll(io);
    ASSERT_TRUE(c2.done);
    EXPECT_TRUE(is_cancelled(c2.error)) << describe(c2.error);
    EXPECT_EQ(lock.queued(), 2u);
    EXPECT_TRUE(lock.locked());  // the holder is unaffected

    gate.set_result(0);
    clock.run_for(io, 10.0);
    ASSERT_TRUE(h.done && c1.done && c3.done);
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
    EXPECT_FALSE(lock.locked());
    EXPECT_EQ(lock.queued(), 0u);
}

TEST_F(RuntimeTest, CancellationDuringTheHandOffNeverLosesTheLock) {
    // The holder releases (handing the lock to contender 1) and at once
    // cancels contender 1, before it has resumed. Whether it ends holding
    // the lock briefly or with the cancellation error, contender 2 must get
    // the lock and the lock must end free.
    lb::AsyncLock lock;
    lb::Future<int> gate(io.get_executor());
    std::vector<int> order;
    std::vector<double> at;
    asio::cancellation_signal sig;
    VoidOutcome h, c1, c2;
    asio::co_spawn(io, holder(lock, gate, [&] { sig.emit(asio::cancellation_type::terminal); }), capture(h));
    asio::co_spawn(io, contender(lock, 1, order, at, 1.0), asio::bind_cancellation_slot(sig.slot(), capture(c1)));
    asio::co_spawn(io, contender(lock, 2, order, at, 1.0), capture(c2));
    lb::ManualClock::poll(io);
    gate.set_result(0);
    clock.run_for(io, 10.0);
    ASSERT_TRUE(h.done && c1.done && c2.done);
    EXPECT_TRUE(is_cancelled(c1.error)) << describe(c1.error);
    EXPECT_FALSE(c2.error) << describe(c2.error);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), 2);
    EXPECT_FALSE(lock.locked());
    EXPECT_EQ(lock.queued(), 0u);
}

TEST_F(RuntimeTest, TryLockTakesOnlyAFreeUnqueuedLock) {
    lb::AsyncLock lock;
    auto g1 = lock.try_lock();
    EXPECT_TRUE(g1.owns_lock());
    EXPECT_TRUE(lock.locked());
    EXPECT_FALSE(lock.try_lock().owns_lock());  // not reentrant

    std::vector<int> order;
    std::vector<double> at;
    VoidOutcome c1;
    asio::co_spawn(io, contender(lock, 1, order, at, 0.0), capture(c1));
    lb::ManualClock::poll(io);
    EXPECT_EQ(lock.queued(), 1u);

    g1.unlock();
    EXPECT_FALSE(g1.owns_lock());
    g1.unlock();  // a second unlock is a no-op
    EXPECT_TRUE(lock.locked()) << "handed to the queued coroutine, not freed";
    EXPECT_FALSE(lock.try_lock().owns_lock());
    lb::ManualClock::poll(io);
    ASSERT_TRUE(c1.done);
    EXPECT_EQ(order, (std::vector<int>{1}));
    EXPECT_FALSE(lock.locked());
    EXPECT_TRUE(lock.try_lock().owns_lock());  // a temporary guard: released at once
    EXPECT_FALSE(lock.locked());
}

TEST_F(RuntimeTest, MovedGuardReleasesOnce) {
    lb::AsyncLock lock;
    std::optional<lb::AsyncLock::Guard> outer;
    {
        auto g = lock.try_lock();
        ASSERT_TRUE(g.owns_lock());
        outer.emplace(std::move(g));
        EXPECT_FALSE(g.owns_lock());
    }
    EXPECT_TRUE(lock.locked()) << "the moved-from guard released the lock";

    // Assigning over a guard that holds the lock releases what it held.
    lb::AsyncLock other;
    auto og = other.try_lock();
    og = std::move(*outer);
    EXPECT_FALSE(other.locked());
    EXPECT_TRUE(lock.locked());
    og.unlock();
    EXPECT_FALSE(lock.locked());
}

}  // namespace
