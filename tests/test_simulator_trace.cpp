// The simulator's inputs from the command line: recorded traces (worked
// through by hand), settings by name, and sweeps that must change what they
// say they change.
#include "simulate/host.hpp"
#include "simulate/scenario.hpp"
#include "simulate/trace.hpp"
#include "simulate/tuning.hpp"
#include "simulate/workload.hpp"

#include "load_balancer/settings.hpp"
#include "support/log_capture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quillmar::lb::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Pair;

TEST(TraceParse, ReadsTheAccessLogTheMinimalFormAndCsv) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<double> t;
        std::vector<std::int64_t> input;
        std::vector<std::optional<std::int64_t>> output;
        std::size_t skipped;
    };
    const std::vector<Case> cases{
        {"access log",
         R"({"ts":"2026-12-07T10:00:02.5Z","request_id":"b","client":"10.0.0.1","model":"m","pool":"m|1|default",)"
         R"("server":"1","status":200,"input_tokens":40,"prompt_tokens":38,"completion_tokens":7,"wait_ms":0,)"
         R"("ttft_ms":12,"total_ms":90,"bytes":300,"note":""})"
         "\n"
         R"({"ts":"2026-12-07T11:00:00+01:00","request_id":"a","model":"m","status":503,"input_tokens":9,)"
         R"("prompt_tokens":null,"completion_tokens":null})"
         "\n"
         R"({"ts":"2026-12-07T10:00:03Z","request_id":"c","status":404,"input_tokens":null})"
         "\n",
         {0.0, 2.5}, {9, 40}, {std::nullopt, 7}, 1},
        {"minimal, epoch seconds",
         "{\"t\": 1796637600.25, \"model\": \"x\", \"input_tokens\": 3, \"output_tokens\": 4}\n\n"
         "{\"ts\": 1796637601, \"prompt_tokens\": 5}\r\n",
         {0.0, 0.75}, {3, 5}, {4, std::nullopt}, 0},
        {"csv", "model,t,input_tokens,output_tokens\nm,10,100,\nm,16,1,2\nm,14.5,7,8\n", {0.0, 4.5, 6.0},
         {100, 7, 1}, {std::nullopt, 8, 2}, 0},
        {"csv, dates", "ts,input_tokens\n2026-12-07T10:00:01Z,5\n2026-12-07T10:00:00.5Z,6\n", {0.0, 0.5}, {6, 5},
         {std::nullopt, std::nullopt}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Trace trace = parse_trace(c.text);
        ASSERT_EQ(trace.requests.size(), c.t.size());
        EXPECT_EQ(trace.skipped, c.skipped);
        for (std::size_t i = 0; i < c.t.size(); ++i) {
            EXPECT_DOUBLE_EQ(trace.requests[i].t, c.t[i]) << i;
            EXPECT_EQ(trace.requests[i].input_tokens, c.input[i]) << i;
            EXPECT_EQ(trace.requests[i].output_tokens, c.output[i]) << i;
        }
    }
}

TEST(TraceParse, AMalformedLineIsNamed) {
    const std::string ok = "{\"t\": 0, \"input_tokens\": 1}\n";
    struct Case {
        std::string text;
        const char* message;
    };
    const std::vector<Case> cases{
        {ok + "\n{\"t\": 1, \"input_tokens\": 2", "line 3: not valid JSON"},
        {ok + "[1]\n", "line 2: must be a JSON object"},
        {ok + "{\"input_tokens\": 2}\n", "line 2: has no arrival time"},
        {ok + "{\"ts\": \"yesterday\", \"input_tokens\": 2}\n", "line 2: arrival time is not an RFC 3339"},
        {ok + "{\"ts\": true, \"input_tokens\": 2}\n", "line 2: arrival time must be"},
        {ok + "{\"t\": 1, \"input_tokens\": -2}\n", "line 2: input tokens must be between 0"},
        {ok + "{\"t\": 1, \"input_tokens\": 1.5}\n", "line 2: input tokens must be a whole number"},
        {ok + "{\"t\": 1, \"input_tokens\": 18446744073709551615}\n", "line 2: input tokens must be between"},
        {ok + "{\"t\": 1, \"input_tokens\": 2, \"completion_tokens\": \"7\"}\n", "line 2: output tokens must be"},
        {ok + "{\"t\": 1, \"input_tokens\": 2, \"model\": 7}\n", "line 2: model must be text"},
        {"t,input_tokens\n1,2\n3\n", "line 3: has 1 cells, the header 2"},
        {"t,input_tokens,colour\n", "line 1: unknown column \"colour\""},
        {"t,t,input_tokens\n", "line 1: column \"t\" appears twice"},
        {"model,input_tokens\n", "line 1: the header must name a time column"},
        {"t,input_tokens\n1,x\n", "line 2: input_tokens must be a whole number"},
        {"t,input_tokens\nsoon,1\n", "line 2: time must be seconds or an RFC 3339"},
        {"", "holds no requests"},
        {"{\"t\": 0}\n", "holds no requests"},
        {"{\"t\": 0, \"input_tokens\": 1}\n{\"t\": 700000, \"input_tokens\": 1}\n", "spans more than one week"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parse_trace(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const TraceError& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.message));
        }
    }
}

TEST(TraceParse, Rfc3339DateTimes) {
    struct Case {
        const char* text;
        std::optional<double> epoch;
    };
    const std::vector<Case> cases{
        {"2026-12-07T10:00:00Z", 1796637600.0},     {"2026-12-07t10:00:00.5z", 1796637600.5},
        {"2026-12-07 12:30:00+02:30", 1796637600.0}, {"2000-02-29T23:59:59-00:00", 951868799.0},
        {"1969-12-31T00:00:00Z", -86400.0},         {"2026-12-07T10:00:00", std::nullopt},
        {"2026-02-29T10:00:00Z", std::nullopt},     {"2026-12-07T24:00:00Z", std::nullopt},
        {"2026-12-07T10:00:00.Z", std::nullopt},    {"2026-12-07T10:00:00Z ", std::nullopt},
        {"2026-12-07T10:00:00+1:00", std::nullopt}, {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_rfc3339(c.text), c.epoch) << c.text;
}

// One backend holding two requests: first token after 0.5 s plus 1 ms per
// input token, then 10 tokens a second, never slower under load.
constexpr const char* kTwoSlots = R"({
  "duration_sec": 60,
  "reaper_interval_sec": null,
  "backends": [{"id": 1, "max_concurrency": 2, "ttft_base_sec": 0.5, "prefill_tokens_per_sec": 1000,
                "decode_tokens_per_sec": 10}],
  "workload": {"arrivals": {"kind": "fixed", "times": [0]},
               "mix": [{"kind": "chat", "prompt_chars": [1, 1], "output_tokens": [5, 5]}]}
})";

// Worked by hand. A (t=0, 500 in, 10 out): first token at 1.0, done at 2.0.
// B (t=0.5, 1500 in, 20 out): first token at 2.5 (2.0 after arrival), done
// at 4.5. C (t=1, 100 in, no output) finds both slots taken. D (t=3, no
// input, output drawn from the mix: 5) : first token at 3.5, done at 4.0.
// The 404 line never reached the balancer and is skipped.
constexpr const char* kHandTrace =
    "{\"ts\":\"2026-12-07T10:00:00Z\",\"status\":200,\"input_tokens\":500,\"completion_tokens\":10}\n"
    "{\"ts\":1796637600.5,\"status\":200,\"input_tokens\":1500,\"completion_tokens\":20}\n"
    "{\"ts\":\"2026-12-07T11:00:01+01:00\",\"status\":503,\"input_tokens\":100,\"completion_tokens\":0}\n"
    "{\"ts\":\"2026-12-07T10:00:02Z\",\"status\":404,\"input_tokens\":null}\n"
    "{\"ts\":\"2026-12-07T10:00:03Z\",\"status\":200,\"input_tokens\":0}\n";

class TraceRunTest : public ::testing::Test {
protected:
    void TearDown() override { QUEUE_ENABLED = saved_queue_enabled_; }

    testing::LogCapture logs_;
    bool saved_queue_enabled_ = QUEUE_ENABLED;
    const Scenario sc_ = parse_scenario_text(kTwoSlots);
    const Workload workload_ = replay_trace(sc_, parse_trace(kHandTrace), std::nullopt);
};

TEST_F(TraceRunTest, WithoutTheQueueTheThirdRequestIsRefused) {
    QUEUE_ENABLED = false;
    EXPECT_EQ(workload_.skipped, 1u);
    EXPECT_EQ(workload_.drawn_outputs, 1u);
    EXPECT_EQ(workload_.duration_sec, 4.0);
    const RunResult r = run_workload(sc_, workload_, "max_concurrency");
    EXPECT_EQ(r.served, 3u);
    EXPECT_THAT(r.refused, ElementsAre(Pair("at_capacity", 1)));
    EXPECT_EQ(r.ttft.p50, 1.0);  // of 0.5, 1.0, 2.0
    EXPECT_EQ(r.ttft.max, 2.0);
    EXPECT_EQ(r.completion.p50, 2.0);  // of 1.0, 2.0, 4.0
    EXPECT_EQ(r.completion.max, 4.0);
    ASSERT_EQ(r.backends.size(), 1u);
    EXPECT_EQ(r.backends[0].served, 3u);
    EXPECT_EQ(r.backends[0].refused, 1u);
    EXPECT_EQ(r.backends[0].peak_inflight, 2);
    // Two in flight from 0.5 to 2.0 and from 3.0 to 4.0.
    EXPECT_NEAR(r.backends[0].time_at_cap_sec, 2.5, 1e-9);
    // Seconds 0..4: the run ends when B is done, at 4.5.
    EXPECT_THAT(r.series.arrivals, ElementsAre(2, 1, 0, 1, 0));
    EXPECT_THAT(r.series.refusals.at("at_capacity"), ElementsAre(0, 1, 0, 0, 0));
    EXPECT_THAT(r.series.inflight.at(0), ElementsAre(2, 2, 2, 2, 2));
    EXPECT_THAT(r.series.queue_depth, ElementsAre(0, 0, 0, 0, 0));
    EXPECT_THAT(r.series.hybrid_hot, IsEmpty());
}

TEST_F(TraceRunTest, InQueueAllTheThirdRequestWaitsForTheFirstSlot) {
    const RunResult r = run_workload(sc_, workload_, "queue_all");
    EXPECT_EQ(r.served, 4u);
    EXPECT_THAT(r.refused, IsEmpty());
    // C parks from 1.0 to 2.0, then takes 0.6 s to its first token (and last).
    EXPECT_EQ(r.queue_wait.count, 1u);
    EXPECT_DOUBLE_EQ(*r.queue_wait.max, 1.0);
    ASSERT_EQ(r.ttft_percentiles.size(), 100u);
    EXPECT_EQ(r.ttft_percentiles[24], 0.5);  // of 0.5, 1.0, 1.6, 2.0
    EXPECT_EQ(r.ttft_percentiles[49], 1.0);
    EXPECT_NEAR(r.ttft_percentiles[74], 1.6, 1e-9);
    EXPECT_EQ(r.ttft_percentiles[99], 2.0);
    // At the cap from 0.5 to 2.6 (C takes A's slot at once) and 3.0 to 4.0.
    EXPECT_NEAR(r.backends[0].time_at_cap_sec, 3.1, 1e-9);
    EXPECT_THAT(r.series.queue_depth, ElementsAre(0, 1, 1, 0, 0));
    EXPECT_THAT(r.series.refusals, IsEmpty());
}

TEST_F(TraceRunTest, ADurationCutsTheTrace) {
    const Workload cut = replay_trace(sc_, parse_trace(kHandTrace), 2.0);
    EXPECT_EQ(cut.requests.size(), 3u);
    EXPECT_EQ(cut.duration_sec, 2.0);
    EXPECT_EQ(cut.drawn_outputs, 0u);
}

TEST(Tuning, SettingsAreFoundByAnyOfTheirNamesAndCheckedStrictly) {
    for (const char* text : {"QUILLMAR_LB_SUPERFAST_CAP=8", "superfast_cap=8", "SUPERFAST_PER_SERVER_CAP=8",
                             "Superfast_Cap=8"}) {
        const Assignment a = parse_assignment(text);
        EXPECT_EQ(a.env_name, "QUILLMAR_LB_SUPERFAST_CAP") << text;
        EXPECT_EQ(std::get<std::int64_t>(a.value), 8) << text;
    }
    EXPECT_EQ(std::get<bool>(parse_assignment("queue_enabled=on").value), true);
    EXPECT_EQ(std::get<double>(parse_assignment("queue_all_ttl_sec=inf").value), INFINITY);
    struct Bad {
        const char* text;
        const char* message;
    };
    for (const Bad& b : std::vector<Bad>{{"superfast_cap", "expected NAME=VALUE"},
                                         {"=3", "expected NAME=VALUE"},
                                         {"superfast_cap=", "expected NAME=VALUE"},
                                         {"turbo=1", "unknown setting \"turbo\" (known: queue_enabled,"},
                                         {"superfast_cap=0", "superfast_cap must be between 1 and"},
                                         {"superfast_cap=2.5", "superfast_cap must be a whole number"},
                                         {"queue_enabled=maybe", "queue_enabled must be true or false"},
                                         {"hybrid_hot_exit_ratio=1.5", "must be between 0 and 1"},
                                         {"hybrid_window_sec=0.1", "must be between 0.5 and"},
                                         {"queue_ttl_sec=nan", "queue_ttl_sec must be a number"}}) {
        try {
            parse_assignment(b.text);
            ADD_FAILURE() << b.text << " accepted";
        } catch (const TuningError& e) {
            EXPECT_THAT(e.what(), HasSubstr(b.message)) << b.text;
        }
    }
    for (const char* bad : {"superfast_cap=1,1", "superfast_cap=1,,2", "algorithm=wrr", "superfast_cap"})
        EXPECT_THROW(parse_sweep(bad), TuningError) << bad;
}

TEST(Tuning, ScopedSettingsRestoreWhatTheyFound) {
    const std::int64_t cap = SUPERFAST_PER_SERVER_CAP;
    const double ratio = HYBRID_HOT_EXIT_RATIO;
    {
        ScopedSettings s({parse_assignment("superfast_cap=99"), parse_assignment("hybrid_hot_exit_ratio=0.25")});
        EXPECT_EQ(SUPERFAST_PER_SERVER_CAP, 99);
        EXPECT_EQ(HYBRID_HOT_EXIT_RATIO, 0.25);
    }
    EXPECT_EQ(SUPERFAST_PER_SERVER_CAP, cap);
    EXPECT_EQ(HYBRID_HOT_EXIT_RATIO, ratio);
}

// Sweeps on the "bursts" scenario: each value must move what it claims to.
class SweepTest : public ::testing::Test {
protected:
    void TearDown() override { QUEUE_ENABLED = saved_queue_enabled_; }

    std::vector<RunResult> sweep(const std::vector<std::string>& modes, const char* values) {
        return run_matrix(sc_, workload_, modes, parse_sweep(values));
    }

    testing::LogCapture logs_;
    bool saved_queue_enabled_ = QUEUE_ENABLED;
    const Scenario sc_ = parse_scenario_text(builtin_scenario_text("bursts"), {.seed = {}, .duration_sec = 90.0,
                                                                               .algorithm = {}});
    const Workload workload_ = generate_workload(sc_);
};

TEST_F(SweepTest, TheSuperfastCapBoundsEachBackendAndRefusalsFallAsItRises) {
    QUEUE_ENABLED = false;
    const std::vector<RunResult> runs = sweep({"superfast"}, "superfast_cap=2,4,16");
    ASSERT_EQ(runs.size(), 3u);
    const std::int64_t caps[] = {2, 4, 16};
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].variant, "superfast_cap=" + std::to_string(caps[i]));
        for (const BackendResult& b : runs[i].backends) EXPECT_LE(b.peak_inflight, caps[i]) << runs[i].variant;
    }
    EXPECT_EQ(runs[0].backends[0].peak_inflight, 2);
    EXPECT_GT(runs[0].refused.at(0).second, runs[1].refused.at(0).second);
    // At the configured caps superfast refuses nothing more than max_concurrency would: nothing here.
    EXPECT_THAT(runs[2].refused, IsEmpty());
}

TEST_F(SweepTest, AHybridPoolHotFromTheStartServesLikeMaxConcurrency) {
    QUEUE_ENABLED = false;
    const std::vector<RunResult> runs = sweep({"hybrid", "max_concurrency"}, "hybrid_inflight=0,10");
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].served, runs[1].served);  // hot at 0 in flight: never cold
    EXPECT_EQ(runs[0].refused, runs[1].refused);
    // Hot from the first decision on (the pool has no state before it).
    const auto& hot = runs[0].series.hybrid_hot;
    const auto first = std::find(hot.begin(), hot.end(), 1);
    ASSERT_NE(first, hot.end());
    EXPECT_EQ(std::find(first, hot.end(), 0), hot.end());
    EXPECT_LT(runs[2].served, runs[3].served);  // the default: cold at each burst's start
    EXPECT_THAT(runs[2].series.hybrid_hot, ::testing::Contains(0));
    EXPECT_THAT(runs[2].series.hybrid_hot, ::testing::Contains(1));
}

TEST_F(SweepTest, TheQueueSettingParksInsteadOfRefusing) {
    const std::vector<RunResult> runs = sweep({"superfast"}, "queue_enabled=false,true");
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_FALSE(runs[0].queue_enabled);
    EXPECT_GT(runs[0].refused.at(0).second, 0);
    EXPECT_TRUE(runs[1].queue_enabled);
    EXPECT_GT(runs[1].queue_wait.count, 0u);
    EXPECT_GT(*std::max_element(runs[1].series.queue_depth.begin(), runs[1].series.queue_depth.end()), 0);
    EXPECT_FALSE(QUEUE_ENABLED);  // restored after the sweep
}

TEST_F(SweepTest, TheAlgorithmSweepChangesHowRequestsSpread) {
    const std::vector<RunResult> runs = sweep({"max_concurrency"}, "algorithm=weighted_round_robin,least_connections");
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].served, runs[1].served);
    EXPECT_NE(runs[0].prometheus, runs[1].prometheus);
}

}  // namespace
}  // namespace quillmar::lb::sim
