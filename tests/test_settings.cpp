// Environment readers and the load-time defaults of every setting. The
// load-time reading under a non-empty environment is covered by the separate
// program test_settings_load.
#include "load_balancer/settings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace lb = quillmar::lb;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A probe variable set for the life of the object, unset afterwards. It is
// not one of the real settings' names, so nothing here can leak into them.
constexpr const char* kProbe = "QUILLMAR_LB_TEST_PROBE";

class ScopedEnv {
public:
    explicit ScopedEnv(const char* value) {
        if (value == nullptr)
            ::unsetenv(kProbe);
        else
            ::setenv(kProbe, value, 1);
    }
    ~ScopedEnv() { ::unsetenv(kProbe); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
};

// ------------------------------------------------------------- env_bool

TEST(SettingsEnvBool, RecognisedTrueWords) {
    for (const char* text : {"1", "true", "TRUE", "True", "yes", "Yes", " Yes ", "\tYES\n", "on", "On", "  on"}) {
        ScopedEnv env(text);
        EXPECT_TRUE(lb::detail::env_bool(kProbe, false)) << '"' << text << '"';
    }
}

TEST(SettingsEnvBool, AnyOtherNonEmptyTextIsFalseNotTheDefault) {
    // The default is true here so that "false" cannot come from falling back.
    for (const char* text : {"0", "no", "false", "off", " ", "\t", "2", "y", "t", "enabled", "yes please", "truex",
                             "11", "o n", "1.0"}) {
        ScopedEnv env(text);
        EXPECT_FALSE(lb::detail::env_bool(kProbe, true)) << '"' << text << '"';
    }
}

TEST(SettingsEnvBool, UnsetOrEmptyGivesTheDefault) {
    {
        ScopedEnv env(nullptr);
        EXPECT_FALSE(lb::detail::env_bool(kProbe));
        EXPECT_FALSE(lb::detail::env_bool(kProbe, false));
        EXPECT_TRUE(lb::detail::env_bool(kProbe, true));
    }
    {
        ScopedEnv env("");
        EXPECT_FALSE(lb::detail::env_bool(kProbe, false));
        EXPECT_TRUE(lb::detail::env_bool(kProbe, true));
    }
}

// -------------------------------------------------------------- env_int

TEST(SettingsEnvInt, ParsesOrFallsBack) {
    constexpr std::int64_t kDefault = 4;
    struct Case {
        const char* text;  // nullptr: unset
        std::int64_t expected;
    };
    const std::vector<Case> cases = {
        {nullptr, kDefault},
        {"", kDefault},
        {"8", 8},
        {"8 ", 8},
        {" 8 ", 8},
        {"+8", 8},
        {"-1", -1},
        {"0", 0},
        {"010", 10},
        {"1_024", 1024},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        // Values beyond int64 fall back to the default (they do not saturate).
        {"9223372036854775808", kDefault},
        {"-9223372036854775809", kDefault},
        {"8.0", kDefault},
        {"4.0", kDefault},
        {"0x10", kDefault},
        {"ten", kDefault},
        {"   ", kDefault},
        {"1__024", kDefault},
        {"1e3", kDefault},
    };
    for (const auto& c : cases) {
        ScopedEnv env(c.text);
        EXPECT_EQ(lb::detail::env_int(kProbe, kDefault), c.expected) << (c.text ? c.text : "<unset>");
    }
}

// ------------------------------------------------------------ env_float

TEST(SettingsEnvFloat, ParsesOrFallsBack) {
    constexpr double kDefault = 30.0;
    struct Case {
        const char* text;  // nullptr: unset
        double expected;
    };
    const std::vector<Case> cases = {
        {nullptr, kDefault},
        {"", kDefault},
        {"45", 45.0},
        {" 45 ", 45.0},
        {"1e2", 100.0},
        {"2.5", 2.5},
        {".5", 0.5},
        {"-3", -3.0},
        {"1_000.5", 1000.5},
        {"inf", kInf},
        {"INFINITY", kInf},
        {"-inf", -kInf},
        {"1e400", kInf},
        {"soon", kDefault},
        {"0x1p3", kDefault},
        {"   ", kDefault},
        {"1,5", kDefault},
        {"30s", kDefault},
    };
    for (const auto& c : cases) {
        ScopedEnv env(c.text);
        EXPECT_EQ(lb::detail::env_float(kProbe, kDefault), c.expected) << (c.text ? c.text : "<unset>");
    }
    ScopedEnv env(" NaN ");
    EXPECT_TRUE(std::isnan(lb::detail::env_float(kProbe, kDefault)));
}

// --------------------------------------------------------- load defaults

bool any_setting_variable_in_environment() {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        if (std::strncmp(*e, "QUILLMAR_LB_", 12) == 0) return true;
    return false;
}

TEST(SettingsDefaults, EverySettingHasItsDefaultWithoutEnvironment) {
    if (any_setting_variable_in_environment()) GTEST_SKIP() << "a QUILLMAR_LB_ variable is set in this environment";
    EXPECT_EQ(lb::QUEUE_ENABLED, false);
    EXPECT_EQ(lb::QUEUE_TTL_SEC, 30.0);
    EXPECT_EQ(lb::QUEUE_MAX_DEPTH_MULTIPLIER, 4);
    EXPECT_EQ(lb::QUEUE_DEADLINE_BOOST_SEC, 10.0);
    EXPECT_EQ(lb::POOL_LRU_TTL_SEC, 300.0);
    EXPECT_EQ(lb::detail::DEFAULT_IMAGE_TOKEN_COST, 2048);
    EXPECT_EQ(lb::IMAGE_TOKEN_COST, 2048);
    EXPECT_EQ(lb::SUPERFAST_PER_SERVER_CAP, 4);
    EXPECT_EQ(lb::HYBRID_INFLIGHT_THRESHOLD, 10);
    EXPECT_EQ(lb::HYBRID_RATE_THRESHOLD, 10.0);
    EXPECT_EQ(lb::HYBRID_RATE_WINDOW_SEC, 5.0);
    EXPECT_EQ(lb::HYBRID_HOT_EXIT_RATIO, 0.8);
    EXPECT_EQ(lb::QUEUE_ALL_DEPTH_MULTIPLIER, 1000);
    EXPECT_EQ(lb::QUEUE_ALL_TTL_SEC, 600.0);
}

// ----------------------------------------------------------- settings_json

TEST(SettingsJson, ListsEveryVariableInLoadOrderWithCurrentValues) {
    const std::vector<std::string> expected_keys = {
        "QUILLMAR_LB_QUEUE_ENABLED",          "QUILLMAR_LB_QUEUE_TTL_SEC",
        "QUILLMAR_LB_QUEUE_MAX_DEPTH_MULTIPLIER", "QUILLMAR_LB_QUEUE_DEADLINE_BOOST_SEC",
        "QUILLMAR_LB_POOL_LRU_TTL_SEC",       "QUILLMAR_LB_IMAGE_TOKENS",
        "QUILLMAR_LB_SUPERFAST_CAP",          "QUILLMAR_LB_HYBRID_INFLIGHT",
        "QUILLMAR_LB_HYBRID_RATE",            "QUILLMAR_LB_HYBRID_WINDOW_SEC",
        "QUILLMAR_LB_HYBRID_HOT_EXIT_RATIO",  "QUILLMAR_LB_QUEUE_ALL_DEPTH_MULTIPLIER",
        "QUILLMAR_LB_QUEUE_ALL_TTL_SEC",
    };

    const double saved_window = lb::HYBRID_RATE_WINDOW_SEC;
    const double saved_ratio = lb::HYBRID_HOT_EXIT_RATIO;
    const double saved_boost = lb::QUEUE_DEADLINE_BOOST_SEC;
    const std::int64_t saved_cap = lb::SUPERFAST_PER_SERVER_CAP;
    lb::HYBRID_RATE_WINDOW_SEC = kInf;
    lb::HYBRID_HOT_EXIT_RATIO = std::numeric_limits<double>::quiet_NaN();
    lb::QUEUE_DEADLINE_BOOST_SEC = -kInf;
    lb::SUPERFAST_PER_SERVER_CAP = 9;
    boost::json::object out = lb::settings_json();
    lb::HYBRID_RATE_WINDOW_SEC = saved_window;
    lb::HYBRID_HOT_EXIT_RATIO = saved_ratio;
    lb::QUEUE_DEADLINE_BOOST_SEC = saved_boost;
    lb::SUPERFAST_PER_SERVER_CAP = saved_cap;

    std::vector<std::string> keys;
    for (const auto& kv : out) keys.emplace_back(kv.key());
    EXPECT_EQ(keys, expected_keys);
    EXPECT_EQ(out.at("QUILLMAR_LB_HYBRID_WINDOW_SEC"), boost::json::value("inf"));
    EXPECT_EQ(out.at("QUILLMAR_LB_HYBRID_HOT_EXIT_RATIO"), boost::json::value("nan"));
    EXPECT_EQ(out.at("QUILLMAR_LB_QUEUE_DEADLINE_BOOST_SEC"), boost::json::value("-inf"));
    EXPECT_EQ(out.at("QUILLMAR_LB_SUPERFAST_CAP"), boost::json::value(9));
    EXPECT_EQ(out.at("QUILLMAR_LB_QUEUE_TTL_SEC"), boost::json::value(lb::QUEUE_TTL_SEC));
    EXPECT_EQ(out.at("QUILLMAR_LB_QUEUE_ENABLED"), boost::json::value(lb::QUEUE_ENABLED));
}

}  // namespace
