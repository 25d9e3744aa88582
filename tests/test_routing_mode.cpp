// LoadBalancer construction and routing-mode control: the mode, its log line,
// and the queue parameters that depend on it.
#include "load_balancer/balancer.hpp"
#include "load_balancer/settings.hpp"
#include "support/log_capture.hpp"
#include "support/test_peer.hpp"

#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lb = quillmar::lb;
namespace json = boost::json;
using lb::testing::LogCapture;
using lb::testing::LogLine;
using Peer = lb::LoadBalancerTestPeer;

namespace {

// Restores the queue settings that these tests assign.
class SettingsGuard {
public:
    SettingsGuard()
        : enabled_(lb::QUEUE_ENABLED),
          ttl_(lb::QUEUE_TTL_SEC),
          depth_(lb::QUEUE_MAX_DEPTH_MULTIPLIER),
          all_ttl_(lb::QUEUE_ALL_TTL_SEC),
          all_depth_(lb::QUEUE_ALL_DEPTH_MULTIPLIER) {}
    ~SettingsGuard() {
        lb::QUEUE_ENABLED = enabled_;
        lb::QUEUE_TTL_SEC = ttl_;
        lb::QUEUE_MAX_DEPTH_MULTIPLIER = depth_;
        lb::QUEUE_ALL_TTL_SEC = all_ttl_;
        lb::QUEUE_ALL_DEPTH_MULTIPLIER = all_depth_;
    }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;

private:
    bool enabled_;
    double ttl_;
    std::int64_t depth_;
    double all_ttl_;
    std::int64_t all_depth_;
};

LogLine info(std::string text) { return {spdlog::level::info, std::move(text)}; }

class RoutingModeTest : public ::testing::Test {
protected:
    SettingsGuard settings_;
    LogCapture logs_;
};

// ------------------------------------------------------------ construction

TEST_F(RoutingModeTest, NewBalancerStartsInSuperfastWithEmptyTables) {
    lb::QUEUE_ENABLED = false;
    lb::LoadBalancer b;
    EXPECT_EQ(b.get_routing_mode(), "superfast");
    EXPECT_EQ(Peer::routing_mode(b), "superfast");
    EXPECT_EQ(b.queue_ttl_sec(), 30.0);
    EXPECT_EQ(b.queue_depth_multiplier(), 4);
    EXPECT_FALSE(b.queue_enabled());

    EXPECT_TRUE(b.inflight.empty());
    EXPECT_TRUE(Peer::wrr(b).empty());
    EXPECT_TRUE(Peer::locks(b).empty());
    EXPECT_TRUE(Peer::pool_last_access(b).empty());
    EXPECT_TRUE(Peer::waiters(b).empty());
    EXPECT_TRUE(Peer::all_waiters(b).empty());
    EXPECT_TRUE(b.dispatch_counts.empty());
    EXPECT_TRUE(b.last_dispatch_ts.empty());
    EXPECT_TRUE(b.reject_counts.empty());
    EXPECT_TRUE(b.queue_wait_samples.empty());
    EXPECT_EQ(b.queue_wait_samples.capacity(), 512u);
    EXPECT_TRUE(Peer::pool_dispatch_windows(b).empty());
    EXPECT_TRUE(Peer::pool_hot_state(b).empty());
    EXPECT_TRUE(logs_.lines().empty()) << "construction logs nothing";
}

TEST_F(RoutingModeTest, NewBalancerReportsTheCurrentQueueEnabledSetting) {
    lb::QUEUE_ENABLED = true;
    lb::LoadBalancer b;
    EXPECT_TRUE(b.queue_enabled());
}

TEST_F(RoutingModeTest, WaitSamplesDropTheOldestBeyond512) {
    lb::LoadBalancer b;
    for (int i = 0; i < 512; ++i) b.queue_wait_samples.push_back(static_cast<double>(i));
    EXPECT_EQ(b.queue_wait_samples.size(), 512u);
    EXPECT_EQ(b.queue_wait_samples.front(), 0.0);
    b.queue_wait_samples.push_back(512.0);  // the 513th
    EXPECT_EQ(b.queue_wait_samples.size(), 512u);
    EXPECT_EQ(b.queue_wait_samples.front(), 1.0);
    EXPECT_EQ(b.queue_wait_samples.back(), 512.0);
}

// ------------------------------------------------------- set_routing_mode

TEST_F(RoutingModeTest, SequenceOfModeChangesAndTheirLogLines) {
    struct Step {
        json::value input;
        std::string expected_mode;
        std::vector<std::string> expected_logs;  // lines written by this step
    };
    const std::vector<Step> steps = {
        {"QUEUE_ALL", "queue_all", {"Routing mode: superfast -> queue_all"}},
        {"queue_all", "queue_all", {}},  // unchanged: no line
        {" Queue_All ", "queue_all", {}},
        {" Hybrid ", "hybrid", {"Routing mode: queue_all -> hybrid"}},
        {nullptr, "superfast", {"Routing mode: hybrid -> superfast"}},
        {nullptr, "superfast", {}},   // null while superfast: nothing to say
        {"", "superfast", {}},
        {5, "superfast", {}},
        {"max_concurrency", "max_concurrency", {"Routing mode: superfast -> max_concurrency"}},
        {"queue-all", "superfast", {"Routing mode: max_concurrency -> superfast"}},
        {"MAX_CONCURRENCY", "max_concurrency", {"Routing mode: superfast -> max_concurrency"}},
        {json::array{"hybrid"}, "superfast", {"Routing mode: max_concurrency -> superfast"}},
    };
    lb::LoadBalancer b;
    for (const auto& s : steps) {
        logs_.clear();
        EXPECT_EQ(b.set_routing_mode(s.input), s.expected_mode) << json::serialize(s.input);
        EXPECT_EQ(b.get_routing_mode(), s.expected_mode) << json::serialize(s.input);
        std::vector<LogLine> expected;
        for (const auto& t : s.expected_logs) expected.push_back(info(t));
        EXPECT_EQ(logs_.lines(), expected) << json::serialize(s.input);
    }
}

TEST_F(RoutingModeTest, StringAndCStringOverloadsBehaveAlike) {
    lb::LoadBalancer b;
    EXPECT_EQ(b.set_routing_mode(std::string_view("  HYBRID")), "hybrid");
    EXPECT_EQ(b.set_routing_mode(static_cast<const char*>(nullptr)), "superfast");
    EXPECT_EQ(b.set_routing_mode("queue_all"), "queue_all");
    EXPECT_EQ(b.set_routing_mode(std::string_view{}), "superfast");
    EXPECT_EQ(logs_.lines(), (std::vector<LogLine>{info("Routing mode: superfast -> hybrid"),
                                                   info("Routing mode: hybrid -> superfast"),
                                                   info("Routing mode: superfast -> queue_all"),
                                                   info("Routing mode: queue_all -> superfast")}));
}

TEST_F(RoutingModeTest, ReturnedModeOutlivesTheInput) {
    lb::LoadBalancer b;
    std::string_view returned;
    {
        std::string temp = " Max_Concurrency ";
        returned = b.set_routing_mode(std::string_view(temp));
        temp.assign(temp.size(), '#');
    }
    EXPECT_EQ(returned, "max_concurrency");
    EXPECT_EQ(b.get_routing_mode(), "max_concurrency");
}

TEST_F(RoutingModeTest, ChangingTheModeTouchesNothingElse) {
    lb::LoadBalancer b;
    b.inflight.insert({7, 2});
    b.dispatch_counts.insert({7, 5});
    b.reject_counts.insert({"at_capacity", 1});
    b.queue_wait_samples.push_back(0.25);
    b.set_routing_mode("hybrid");
    b.set_routing_mode("queue_all");
    EXPECT_EQ(b.inflight.at(7), 2);
    EXPECT_EQ(b.dispatch_counts.at(7), 5);
    EXPECT_EQ(b.reject_counts.at("at_capacity"), 1);
    ASSERT_EQ(b.queue_wait_samples.size(), 1u);
    EXPECT_EQ(b.queue_wait_samples.front(), 0.25);
}

TEST_F(RoutingModeTest, EachBalancerHasItsOwnMode) {
    lb::LoadBalancer a, b;
    a.set_routing_mode("queue_all");
    EXPECT_EQ(b.get_routing_mode(), "superfast");
    lb::LoadBalancer c;
    EXPECT_EQ(c.get_routing_mode(), "superfast");
}

// ------------------------------------------------------- queue parameters

TEST_F(RoutingModeTest, QueueParametersPerMode) {
    lb::QUEUE_ENABLED = false;
    lb::QUEUE_TTL_SEC = 30.0;
    lb::QUEUE_MAX_DEPTH_MULTIPLIER = 4;
    lb::QUEUE_ALL_TTL_SEC = 600.0;
    lb::QUEUE_ALL_DEPTH_MULTIPLIER = 1000;
    lb::LoadBalancer b;
    for (const char* mode : {"superfast", "hybrid", "max_concurrency"}) {
        b.set_routing_mode(mode);
        EXPECT_FALSE(b.queue_enabled()) << mode;
        EXPECT_EQ(b.queue_ttl_sec(), 30.0) << mode;
        EXPECT_EQ(b.queue_depth_multiplier(), 4) << mode;
    }
    EXPECT_EQ(b.set_routing_mode("QUEUE_ALL"), "queue_all");
    EXPECT_TRUE(b.queue_enabled());  // whatever QUEUE_ENABLED says
    EXPECT_EQ(b.queue_ttl_sec(), 600.0);
    EXPECT_EQ(b.queue_depth_multiplier(), 1000);
}

TEST_F(RoutingModeTest, QueueParametersReadTheSettingsAtEachCall) {
    lb::LoadBalancer b;  // built before any assignment: nothing may be copied at construction

    lb::QUEUE_ENABLED = true;
    EXPECT_TRUE(b.queue_enabled());
    lb::QUEUE_ENABLED = false;
    EXPECT_FALSE(b.queue_enabled());

    lb::QUEUE_TTL_SEC = 12.5;
    lb::QUEUE_MAX_DEPTH_MULTIPLIER = 9;
    lb::QUEUE_ALL_TTL_SEC = 77.0;
    lb::QUEUE_ALL_DEPTH_MULTIPLIER = 33;
    EXPECT_EQ(b.queue_ttl_sec(), 12.5);
    EXPECT_EQ(b.queue_depth_multiplier(), 9);

    b.set_routing_mode("queue_all");
    lb::QUEUE_TTL_SEC = 1.0;  // outside queue_all only: no effect here
    lb::QUEUE_MAX_DEPTH_MULTIPLIER = 2;
    EXPECT_EQ(b.queue_ttl_sec(), 77.0);
    EXPECT_EQ(b.queue_depth_multiplier(), 33);
    EXPECT_TRUE(b.queue_enabled());
    lb::QUEUE_ALL_TTL_SEC = 5.0;
    lb::QUEUE_ALL_DEPTH_MULTIPLIER = -1;  // stored and answered as is
    EXPECT_EQ(b.queue_ttl_sec(), 5.0);
    EXPECT_EQ(b.queue_depth_multiplier(), -1);

    b.set_routing_mode("hybrid");
    EXPECT_EQ(b.queue_ttl_sec(), 1.0);
    EXPECT_EQ(b.queue_depth_multiplier(), 2);
    EXPECT_FALSE(b.queue_enabled());
}

}  // namespace
