// The in-flight reaper on the manual clock: when it checks, what it clears,
// how it survives bad iterations and how it ends.
#include "load_balancer/balancer.hpp"
#include "load_balancer/lease.hpp"
#include "load_balancer/reaper.hpp"
#include "load_balancer/runtime.hpp"
#include "support/log_capture.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <exception>
#include <ostream>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quillmar::lb::testing {
// Readable failure messages for log assertions.
inline void PrintTo(const LogLine& line, std::ostream* os) {
    *os << spdlog::level::to_string_view(line.level).data() << " \"" << line.text << "\"";
}
}  // namespace quillmar::lb::testing

namespace quillmar::lb {
namespace {

namespace asio = boost::asio;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::LogCapture;
using testing::LogLine;

ServerRecord rec(const char* json) { return make_record(boost::json::parse(json).as_object()); }

ServerRecord with_id(std::int64_t id) { return make_record(boost::json::object{{"id", id}}); }

std::vector<std::pair<std::int64_t, std::int64_t>> table(const LoadBalancer& lb) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const auto& [id, n] : lb.inflight) out.emplace_back(id, n);
    return out;
}

LogLine warn(std::string text) { return {spdlog::level::warn, std::move(text)}; }

// Runs the reaper on a manual clock. Each lister call takes the next scripted
// step (the last one repeats) and records the virtual time of the call.
class ReaperTest : public ::testing::Test {
protected:
    using Step = std::function<asio::awaitable<std::vector<ServerRecord>>()>;

    static Step returns(std::vector<ServerRecord> records) {
        return [records]() -> asio::awaitable<std::vector<ServerRecord>> { co_return records; };
    }
    static Step fails(std::string what) {
        return [what]() -> asio::awaitable<std::vector<ServerRecord>> {
            throw std::runtime_error(what);
            co_return std::vector<ServerRecord>{};
        };
    }
    static Step slow(double seconds, std::vector<ServerRecord> records) {
        return [seconds, records]() -> asio::awaitable<std::vector<ServerRecord>> {
            co_await sleep(seconds);
            co_return records;
        };
    }

    void start(double interval, std::vector<Step> steps) {
        ReaperOptions opts{.interval_sec = interval, .list_running_servers = {}};
        if (!steps.empty()) {
            steps_ = std::move(steps);
            opts.list_running_servers = [this]() {
                call_times_.push_back(clock_.now());
                std::size_t i = std::min(call_times_.size() - 1, steps_.size() - 1);
                return steps_[i]();
            };
        }
        t0_ = clock_.now();
        asio::co_spawn(io_, inflight_reaper_loop(lb_, std::move(opts)),
                       asio::bind_cancellation_slot(stop_.slot(), [this](std::exception_ptr e) {
                           finished_ = true;
                           error_ = e;
                       }));
        ManualClock::poll(io_);
    }

    void run_for(double seconds) { clock_.run_for(io_, seconds); }

    void cancel() {
        stop_.emit(asio::cancellation_type::terminal);
        ManualClock::poll(io_);
    }

    void expect_ended_by_cancellation() {
        ASSERT_TRUE(finished_);
        ASSERT_TRUE(error_);
        try {
            std::rethrow_exception(error_);
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), asio::error::operation_aborted);
        } catch (...) {
            ADD_FAILURE() << "the loop ended with something other than the cancellation error";
        }
    }

    LogCapture logs_;
    ManualClock clock_;
    asio::io_context io_;
    LoadBalancer lb_;
    asio::cancellation_signal stop_;
    std::vector<Step> steps_;
    std::vector<double> call_times_;
    double t0_ = 0.0;
    bool finished_ = false;
    std::exception_ptr error_;
};

TEST_F(ReaperTest, FirstCheckComesOneIntervalAfterStartThenEveryInterval) {
    lb_.increment(1);
    start(60.0, {returns({with_id(1)})});
    EXPECT_THAT(call_times_, IsEmpty()) << "no check at start";
    run_for(59.0);
    EXPECT_THAT(call_times_, IsEmpty());
    run_for(1.0);
    ASSERT_EQ(call_times_.size(), 1u);
    EXPECT_DOUBLE_EQ(call_times_[0], t0_ + 60.0);
    run_for(120.0);
    ASSERT_EQ(call_times_.size(), 3u);
    EXPECT_DOUBLE_EQ(call_times_[2], t0_ + 180.0);
    EXPECT_THAT(table(lb_), ElementsAre(std::pair<std::int64_t, std::int64_t>{1, 1}));
    EXPECT_THAT(logs_.lines(), IsEmpty());
    EXPECT_FALSE(finished_) << "the loop never returns on its own";
}

TEST_F(ReaperTest, WithoutListerOnlySleepsAndEndsOnlyWhenCancelled) {
    lb_.increment(1);
    lb_.increment(1);
    lb_.inflight[2] = 0;
    start(60.0, {});
    run_for(3600.0);
    EXPECT_THAT(table(lb_), ElementsAre(std::pair<std::int64_t, std::int64_t>{1, 2},
                                        std::pair<std::int64_t, std::int64_t>{2, 0}));
    EXPECT_THAT(logs_.lines(), IsEmpty());
    EXPECT_FALSE(finished_);
    cancel();
    expect_ended_by_cancellation();
}

struct ClearCase {
    const char* name;
    std::vector<std::pair<std::int64_t, std::int64_t>> inflight;  // in insertion order
    std::vector<std::int64_t> listed;
    std::vector<std::pair<std::int64_t, std::int64_t>> remaining;
    std::vector<std::string> warnings;
};

TEST_F(ReaperTest, ClearsEveryUnlistedEntryInTableOrder) {
    using P = std::pair<std::int64_t, std::int64_t>;
    const std::vector<ClearCase> cases{
        {"empty list clears all, in table order not id order",
         {{7, 1}, {1, 3}, {2, 5}},
         {},
         {},
         {"Force-cleared inflight=1 for server 7", "Force-cleared inflight=3 for server 1",
          "Force-cleared inflight=5 for server 2"}},
        {"partial list", {{1, 3}, {2, 2}}, {2}, {P{2, 2}}, {"Force-cleared inflight=3 for server 1"}},
        {"unlisted zero entry is removed and reported as 0", {{4, 0}, {5, 1}}, {5}, {P{5, 1}},
         {"Force-cleared inflight=0 for server 4"}},
        {"listed servers without entries are ignored", {{1, 1}}, {1, 2, 99}, {P{1, 1}}, {}},
        {"duplicates in the list are harmless", {{3, 2}, {8, 1}}, {8, 8}, {P{8, 1}},
         {"Force-cleared inflight=2 for server 3"}},
    };
    for (const ClearCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoadBalancer lb;
        for (const auto& [id, n] : c.inflight) lb.inflight[id] = n;
        std::vector<ServerRecord> listed;
        for (std::int64_t id : c.listed) listed.push_back(with_id(id));

        asio::io_context io;
        asio::cancellation_signal stop;
        std::exception_ptr err;
        bool finished = false;
        asio::co_spawn(io,
                       inflight_reaper_loop(lb, {.interval_sec = 10.0,
                                                 .list_running_servers =
                                                     [&]() -> asio::awaitable<std::vector<ServerRecord>> {
                                                         co_return listed;
                                                     }}),
                       asio::bind_cancellation_slot(stop.slot(), [&](std::exception_ptr e) {
                           finished = true;
                           err = e;
                       }));
        logs_.clear();
        clock_.run_for(io, 10.0);
        EXPECT_EQ(table(lb), c.remaining);
        std::vector<LogLine> expected;
        for (const auto& w : c.warnings) expected.push_back(warn(w));
        EXPECT_THAT(logs_.lines(), ElementsAreArray(expected));
        stop.emit(asio::cancellation_type::terminal);
        ManualClock::poll(io);
        EXPECT_TRUE(finished);
    }
}

TEST_F(ReaperTest, FailedIterationLogsOnceClearsNothingAndLoopGoesOn) {
    struct Case {
        const char* name;
        Step failing;
        std::string message;
    };
    const std::vector<Case> cases{
        {"lister raises", fails("registry unreachable"), "inflight reaper iteration failed: registry unreachable"},
        // The first record is valid: the live set must be complete before
        // anything is cleared, so server 1 is not cleared either.
        {"record without id", returns({with_id(2), rec(R"({"name": "gpu-a"})")}),
         "inflight reaper iteration failed: missing key 'id'"},
        {"id of the wrong kind", returns({rec(R"({"id": "2"})")}),
         R"(inflight reaper iteration failed: server id must be an integer, got "2")"},
        {"null record", returns({ServerRecord{}}), "inflight reaper iteration failed: server lister returned a null record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadBalancer lb;
        lb.increment(1);
        lb.increment(2);
        std::vector<double> calls;
        std::vector<Step> steps{c.failing, returns({with_id(2)})};
        asio::io_context io;
        asio::cancellation_signal stop;
        bool finished = false;
        const double t0 = clock_.now();
        asio::co_spawn(io,
                       inflight_reaper_loop(lb, {.interval_sec = 30.0,
                                                 .list_running_servers =
                                                     [&]() {
                                                         calls.push_back(clock_.now());
                                                         return steps[std::min<std::size_t>(calls.size(), 2) - 1]();
                                                     }}),
                       asio::bind_cancellation_slot(stop.slot(), [&](std::exception_ptr) { finished = true; }));
        logs_.clear();
        clock_.run_for(io, 30.0);
        using P = std::pair<std::int64_t, std::int64_t>;
        EXPECT_EQ(table(lb), (std::vector<P>{{1, 1}, {2, 1}}));
        EXPECT_THAT(logs_.lines(), ElementsAre(warn(c.message)));
        EXPECT_FALSE(finished);

        // No back-off and no early retry: the next check is one interval later.
        clock_.run_for(io, 29.0);
        EXPECT_EQ(calls.size(), 1u);
        clock_.run_for(io, 1.0);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_DOUBLE_EQ(calls[1], t0 + 60.0);
        EXPECT_EQ(table(lb), (std::vector<P>{{2, 1}}));
        EXPECT_THAT(logs_.lines(), ElementsAre(warn(c.message), warn("Force-cleared inflight=1 for server 1")));
        stop.emit(asio::cancellation_type::terminal);
        ManualClock::poll(io);
        EXPECT_TRUE(finished);
    }
}

TEST_F(ReaperTest, LeasesOutlivingAClearNeverDriveTheCountNegative) {
    using P = std::pair<std::int64_t, std::int64_t>;
    auto first = InflightLease::acquire(lb_, 5);
    auto second = InflightLease::acquire(lb_, 5);
    auto third = InflightLease::acquire(lb_, 6);
    start(60.0, {returns({with_id(6)})});

    run_for(60.0);
    EXPECT_EQ(table(lb_), (std::vector<P>{{6, 1}}));
    EXPECT_THAT(logs_.texts(), ElementsAre("Force-cleared inflight=2 for server 5"));

    // The crashed server's requests end late: the first leaves a visible 0,
    // the second removes it.
    first.release();
    EXPECT_EQ(table(lb_), (std::vector<P>{{6, 1}, {5, 0}}));
    second.release();
    EXPECT_EQ(table(lb_), (std::vector<P>{{6, 1}}));

    // A 0 left behind for a server that is still unlisted goes at the next
    // iteration, reported as 0.
    lb_.decrement(5);
    EXPECT_EQ(table(lb_), (std::vector<P>{{6, 1}, {5, 0}}));
    logs_.clear();
    run_for(60.0);
    EXPECT_EQ(table(lb_), (std::vector<P>{{6, 1}}));
    EXPECT_THAT(logs_.texts(), ElementsAre("Force-cleared inflight=0 for server 5"));
    EXPECT_EQ(lb_.get_inflight(5), 0);
    third.release();
    EXPECT_THAT(table(lb_), IsEmpty());
}

TEST_F(ReaperTest, CancellationDuringTheSleepEndsTheLoop) {
    lb_.increment(3);
    start(60.0, {returns({})});
    run_for(90.0);  // one pass done (clears 3), now inside the second sleep
    ASSERT_EQ(call_times_.size(), 1u);
    lb_.increment(4);
    logs_.clear();
    cancel();
    expect_ended_by_cancellation();
    run_for(600.0);
    EXPECT_EQ(call_times_.size(), 1u);
    EXPECT_EQ(lb_.get_inflight(4), 1);
    EXPECT_THAT(logs_.lines(), IsEmpty()) << "cancellation is not an iteration failure";
}

TEST_F(ReaperTest, CancellationWhileTheListerIsAwaitedEndsTheLoopAndClearsNothing) {
    lb_.increment(3);
    start(60.0, {slow(10.0, {})});
    run_for(65.0);  // the lister was called at 60 and answers at 70
    ASSERT_EQ(call_times_.size(), 1u);
    cancel();
    expect_ended_by_cancellation();
    run_for(600.0);
    EXPECT_EQ(lb_.get_inflight(3), 1);
    EXPECT_EQ(call_times_.size(), 1u);
    EXPECT_THAT(logs_.lines(), IsEmpty());
}

TEST_F(ReaperTest, ListerTimeAddsToTheInterval) {
    start(60.0, {slow(5.0, {})});
    run_for(200.0);
    // Calls at 60, then 60 + 5 + 60 = 125, then 190.
    ASSERT_EQ(call_times_.size(), 3u);
    EXPECT_DOUBLE_EQ(call_times_[1], t0_ + 125.0);
    EXPECT_DOUBLE_EQ(call_times_[2], t0_ + 190.0);
    cancel();
    expect_ended_by_cancellation();
}

}  // namespace
}  // namespace quillmar::lb
