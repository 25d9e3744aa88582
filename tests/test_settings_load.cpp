// The settings as loaded from a non-empty environment. ctest runs this
// program with every QUILLMAR_LB_ variable set (see tests/CMakeLists.txt):
//   QUEUE_ENABLED=" Yes "  QUEUE_TTL_SEC=1e2  QUEUE_MAX_DEPTH_MULTIPLIER=" 7 "
//   QUEUE_DEADLINE_BOOST_SEC=-2.5  POOL_LRU_TTL_SEC=.5  IMAGE_TOKENS=1_024
//   SUPERFAST_CAP=8  HYBRID_INFLIGHT=-1  HYBRID_RATE=soon  HYBRID_WINDOW_SEC=inf
//   HYBRID_HOT_EXIT_RATIO=0.25  QUEUE_ALL_DEPTH_MULTIPLIER=99999999999999999999
//   QUEUE_ALL_TTL_SEC=45
// Each variable has a distinct value so a setting reading the wrong
// variable shows up.
#include "load_balancer/settings.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace lb = quillmar::lb;

namespace {

class SettingsLoad : public ::testing::Test {
protected:
    void SetUp() override {
        // Not a skip: under ctest a missing environment is a broken
        // registration, and must not pass silently.
        const char* probe = std::getenv("QUILLMAR_LB_QUEUE_ENABLED");
        ASSERT_TRUE(probe != nullptr && std::string_view(probe) == " Yes ")
            << "run this program through ctest, which sets its QUILLMAR_LB_ environment";
    }
};

void expect_loaded_values() {
    EXPECT_EQ(lb::QUEUE_ENABLED, true);                        // " Yes "
    EXPECT_EQ(lb::QUEUE_TTL_SEC, 100.0);                       // 1e2
    EXPECT_EQ(lb::QUEUE_MAX_DEPTH_MULTIPLIER, 7);              // " 7 "
    EXPECT_EQ(lb::QUEUE_DEADLINE_BOOST_SEC, -2.5);             // negative kept as is
    EXPECT_EQ(lb::POOL_LRU_TTL_SEC, 0.5);                      // .5
    EXPECT_EQ(lb::IMAGE_TOKEN_COST, 1024);                     // 1_024
    EXPECT_EQ(lb::SUPERFAST_PER_SERVER_CAP, 8);                // 8
    EXPECT_EQ(lb::HYBRID_INFLIGHT_THRESHOLD, -1);              // -1
    EXPECT_EQ(lb::HYBRID_RATE_THRESHOLD, 10.0);                // soon: default
    EXPECT_EQ(lb::HYBRID_RATE_WINDOW_SEC, std::numeric_limits<double>::infinity());
    EXPECT_EQ(lb::HYBRID_HOT_EXIT_RATIO, 0.25);
    EXPECT_EQ(lb::QUEUE_ALL_DEPTH_MULTIPLIER, 1000);           // beyond int64: default
    EXPECT_EQ(lb::QUEUE_ALL_TTL_SEC, 45.0);                    // integer text as float
}

TEST_F(SettingsLoad, EachSettingHoldsItsVariablesValue) { expect_loaded_values(); }

TEST_F(SettingsLoad, TheEnvironmentIsNotReadAgain) {
    ::setenv("QUILLMAR_LB_QUEUE_ENABLED", "0", 1);
    ::setenv("QUILLMAR_LB_QUEUE_TTL_SEC", "5", 1);
    ::setenv("QUILLMAR_LB_SUPERFAST_CAP", "2", 1);
    ::setenv("QUILLMAR_LB_HYBRID_RATE", "3.5", 1);
    ::unsetenv("QUILLMAR_LB_IMAGE_TOKENS");
    expect_loaded_values();
    boost::json::object json = lb::settings_json();
    EXPECT_EQ(json.at("QUILLMAR_LB_QUEUE_ENABLED"), boost::json::value(true));
    EXPECT_EQ(json.at("QUILLMAR_LB_SUPERFAST_CAP"), boost::json::value(8));
    EXPECT_EQ(json.at("QUILLMAR_LB_IMAGE_TOKENS"), boost::json::value(1024));
    EXPECT_EQ(json.at("QUILLMAR_LB_HYBRID_WINDOW_SEC"), boost::json::value("inf"));
    ::setenv("QUILLMAR_LB_QUEUE_ENABLED", " Yes ", 1);  // keep SetUp's guard true for later tests
}

TEST_F(SettingsLoad, AssignedValuesAreSeenByTheNextReader) {
    const bool saved_enabled = lb::QUEUE_ENABLED;
    const std::int64_t saved_tokens = lb::IMAGE_TOKEN_COST;
    lb::QUEUE_ENABLED = false;
    lb::IMAGE_TOKEN_COST = 77;
    boost::json::object json = lb::settings_json();
    EXPECT_EQ(json.at("QUILLMAR_LB_QUEUE_ENABLED"), boost::json::value(false));
    EXPECT_EQ(json.at("QUILLMAR_LB_IMAGE_TOKENS"), boost::json::value(77));
    lb::QUEUE_ENABLED = saved_enabled;
    lb::IMAGE_TOKEN_COST = saved_tokens;
}

}  // namespace
