// The workload simulator: exact figures on tiny scenarios that can be worked
// out by hand, determinism of the full report, and refusal of bad input.
#include "simulate/host.hpp"
#include "simulate/report.hpp"
#include "simulate/scenario.hpp"

#include "load_balancer/settings.hpp"
#include "support/log_capture.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quillmar::lb::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::Pair;

// Every refusal is counted exactly once, by the host or by the queue.
void expect_every_request_accounted(const RunResult& r) {
    std::int64_t refused = 0;
    for (const auto& [reason, n] : r.refused) refused += n;
    EXPECT_EQ(r.arrived, r.served + r.failed + r.unfinished + static_cast<std::size_t>(refused)) << r.mode;
}

class SimulatorTest : public ::testing::Test {
protected:
    void TearDown() override { QUEUE_ENABLED = saved_queue_enabled_; }

    testing::LogCapture logs_;  // keeps mode changes and reaper lines off the test output
    bool saved_queue_enabled_ = QUEUE_ENABLED;
};

// One backend with room for one request; three requests arrive together and
// each takes exactly 1 s (no prefill cost, no output tokens, no slowdown).
constexpr const char* kOneSlot = R"({
  "duration_sec": 10,
  "reaper_interval_sec": null,
  "backends": [{"id": 1, "max_concurrency": 1, "ttft_base_sec": 1.0}],
  "workload": {
    "arrivals": {"kind": "fixed", "times": [0, 0, 0]},
    "mix": [{"kind": "chat", "prompt_chars": [40, 40], "output_tokens": [0, 0]}]
  }
})";

TEST_F(SimulatorTest, QueuedRequestsOnOneSlotAreServedOneSecondApart) {
    QUEUE_ENABLED = false;
    const Scenario sc = parse_scenario_text(kOneSlot);
    for (const char* mode : {"queue_all", "superfast"}) {
        SCOPED_TRACE(mode);
        if (std::string_view(mode) == "superfast") QUEUE_ENABLED = true;
        const RunResult r = run_simulation(sc, mode);
        EXPECT_TRUE(r.queue_enabled);
        EXPECT_EQ(r.arrived, 3u);
        EXPECT_EQ(r.served, 3u);
        EXPECT_EQ(r.failed, 0u);
        EXPECT_THAT(r.refused, IsEmpty());
        // First token at 1, 2 and 3 s after the common arrival.
        EXPECT_EQ(r.ttft.count, 3u);
        EXPECT_EQ(r.ttft.p50, 2.0);
        EXPECT_EQ(r.ttft.p95, 3.0);
        EXPECT_EQ(r.ttft.p99, 3.0);
        EXPECT_EQ(r.completion.p95, 3.0);
        // Two of them were parked, for 1 s and 2 s.
        EXPECT_EQ(r.queue_wait.count, 2u);
        EXPECT_EQ(r.queue_wait.p50, 1.0);
        EXPECT_EQ(r.queue_wait.p95, 2.0);
        EXPECT_DOUBLE_EQ(r.throughput_rps, 0.3);
        EXPECT_THAT(r.prometheus, HasSubstr("quillmar_lb_dispatch_total{server_id=\"1\"} 3\n"));
        EXPECT_THAT(r.prometheus, HasSubstr("quillmar_lb_queue_wait_seconds_count 2\n"));
        EXPECT_THAT(r.prometheus, Not(HasSubstr("quillmar_lb_inflight{")));
    }
}

TEST_F(SimulatorTest, WithoutTheQueueAFullBackendRefusesAtOnce) {
    QUEUE_ENABLED = false;
    const Scenario sc = parse_scenario_text(kOneSlot);
    for (const char* mode : {"superfast", "hybrid", "max_concurrency"}) {
        SCOPED_TRACE(mode);
        const RunResult r = run_simulation(sc, mode);
        EXPECT_FALSE(r.queue_enabled);
        EXPECT_EQ(r.served, 1u);
        EXPECT_THAT(r.refused, ElementsAre(Pair("at_capacity", 2)));
        EXPECT_EQ(r.ttft.p99, 1.0);
        EXPECT_EQ(r.queue_wait.count, 0u);
        EXPECT_FALSE(r.queue_wait.p50.has_value());
        expect_every_request_accounted(r);
    }
}

TEST_F(SimulatorTest, TooLargeRequestsAreRefusedBeforeSelection) {
    const Scenario sc = parse_scenario_text(R"({
      "duration_sec": 5,
      "backends": [{"id": 1, "max_input_tokens": 100, "ttft_base_sec": 0.5},
                   {"id": 2, "max_input_tokens": 200, "ttft_base_sec": 0.5}],
      "workload": {"arrivals": {"kind": "fixed", "times": [0, 1]},
                   "mix": [{"kind": "document", "prompt_chars": [804, 804]}]}
    })");
    // 804 characters estimate to 201 tokens: one more than the largest limit.
    const RunResult r = run_simulation(sc, "max_concurrency");
    EXPECT_EQ(r.served, 0u);
    EXPECT_THAT(r.refused, ElementsAre(Pair("too_large", 2)));
}

// Backend 1 (cap 2) crashes at t=1 with two 2-second requests on it and is
// back at t=3. The host never gives their leases back. A request at t=1.5
// finds no backend running; one at t=4 finds the backend empty again.
constexpr const char* kCrash = R"({
  "duration_sec": 10,
  "reaper_interval_sec": 2.5,
  "crashed_lease_hold_sec": null,
  "backends": [{"id": 1, "max_concurrency": 2, "ttft_base_sec": 2.0,
                "outages": [{"at_sec": 1.0, "for_sec": 2.0}]}],
  "workload": {
    "arrivals": {"kind": "fixed", "times": [0, 0, 1.5, 4]},
    "mix": [{"kind": "chat", "prompt_chars": [8, 8], "output_tokens": [0, 0]}]
  }
})";

TEST_F(SimulatorTest, ReaperClearsTheCountsACrashOrphaned) {
    QUEUE_ENABLED = false;
    const Scenario sc = parse_scenario_text(kCrash);
    const RunResult r = run_simulation(sc, "max_concurrency");
    EXPECT_EQ(r.failed, 2u);
    EXPECT_EQ(r.served, 1u);
    EXPECT_THAT(r.refused, ElementsAre(Pair("no_backends", 1)));
    EXPECT_EQ(r.ttft.p50, 2.0);
    // Cleared at t=2.5 while the backend was down.
    EXPECT_THAT(r.prometheus, Not(HasSubstr("quillmar_lb_inflight{")));
    EXPECT_THAT(logs_.texts(), ::testing::Contains("Force-cleared inflight=2 for server 1"));
    expect_every_request_accounted(r);
}

TEST_F(SimulatorTest, WithoutTheReaperOrphanedCountsKeepARecoveredBackendClosed) {
    QUEUE_ENABLED = false;
    Scenario sc = parse_scenario_text(kCrash);
    sc.reaper_interval_sec.reset();
    const RunResult r = run_simulation(sc, "max_concurrency");
    EXPECT_EQ(r.failed, 2u);
    EXPECT_EQ(r.served, 0u);
    EXPECT_THAT(r.refused, ElementsAre(Pair("no_backends", 1), Pair("at_capacity", 1)));
    EXPECT_THAT(r.prometheus, HasSubstr("quillmar_lb_inflight{server_id=\"1\"} 2\n"));
}

TEST_F(SimulatorTest, SameSeedGivesTheSameReportAndAnotherSeedDoesNot) {
    const std::vector<std::string> modes{"superfast", "hybrid", "max_concurrency", "queue_all"};
    auto report = [&](std::uint64_t seed) {
        Scenario sc = parse_scenario_text(builtin_scenario_text(), {.seed = seed, .duration_sec = 300.0, .algorithm = {}});
        const Workload workload = generate_workload(sc);
        std::vector<RunResult> runs = run_matrix(sc, workload, modes, {Variant{}});
        for (const RunResult& r : runs) expect_every_request_accounted(r);
        const ReportInput in{sc, workload, runs, ""};
        return std::array<std::string, 3>{boost::json::serialize(report_json(in)), report_table(in), report_html(in)};
    };
    const auto first = report(7);
    EXPECT_EQ(first, report(7));
    const auto other = report(8);
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_NE(first[i], other[i]) << i;

    const boost::json::value doc = boost::json::parse(first[0]);
    const auto& runs = doc.at("runs").as_array();
    ASSERT_EQ(runs.size(), 4u);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].at("mode").as_string(), modes[i]);
        // Same workload in every mode.
        EXPECT_EQ(runs[i].at("arrived"), runs[0].at("arrived"));
    }
    EXPECT_GT(runs[0].at("arrived").to_number<std::int64_t>(), 500);
    EXPECT_EQ(doc.at("prometheus").as_string().subview().substr(0, 7), "# HELP ");
}

TEST_F(SimulatorTest, ExampleFileIsTheBuiltInScenario) {
    std::ifstream in(QUILLMAR_SOURCE_DIR "/examples/scenario.json");
    ASSERT_TRUE(in) << "examples/scenario.json is missing";
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(boost::json::parse(text.str()), boost::json::parse(builtin_scenario_text()));
}

TEST_F(SimulatorTest, BadScenariosAreRefusedWithTheFieldNamed) {
    const std::string backends = R"("backends": [{"id": 1}])";
    const std::string mix = R"("mix": [{"kind": "chat", "prompt_chars": [1, 2]}])";
    auto with = [&](const std::string& extra, const std::string& arrivals = R"({"kind": "steady"})") {
        return "{" + backends + ", " + extra + (extra.empty() ? "" : ", ") + R"("workload": {"arrivals": )" +
               arrivals + ", " + mix + "}}";
    };
    struct Case {
        std::string text;
        const char* message;
    };
    const std::vector<Case> cases{
        {"{", "not valid JSON"},
        {"[]", "(top level) must be an object"},
        {R"({"workload": {}})", "backends is required"},
        {R"({"backends": [], "workload": {}})", "backends must list at least one backend"},
        {R"({"backends": [{"weight": 1}], "workload": {}})", "backends[0].id is required"},
        {R"({"backends": [{"id": 1}, {"id": 1}], "workload": {}})", "backends[1].id repeats server id 1"},
        {R"({"backends": [{"id": 1, "max_concurrency": -1}], "workload": {}})",
         "backends[0].max_concurrency must not be negative"},
        {R"({"backends": [{"id": 1, "decode_tokens_per_sec": 0}], "workload": {}})",
         "backends[0].decode_tokens_per_sec must be greater than 0"},
        {R"({"backends": [{"id": 1, "outages": [{"at_sec": 5, "for_sec": 10}, {"at_sec": 12, "for_sec": 1}]}],
            "workload": {}})",
         "backends[0].outages[1] must start after the previous outage has ended"},
        {with("", R"({"kind": "steady", "rate_per_sec": -2})"), "workload.arrivals.rate_per_sec must not be negative"},
        {with("", R"({"kind": "bursty", "rate_per_sec": 1})"), "burst_every_sec is required"},
        {with("", R"({"kind": "poisson"})"), "workload.arrivals.kind must be"},
        {with(R"("duration_sec": 0)"), "duration_sec must be greater than 0"},
        {with(R"("reaper_interval_sec": 0)"), "reaper_interval_sec must be greater than 0"},
        {with(R"("algorithm": "random")"), "algorithm must be one of"},
        {with(R"("backend": [])"), "backend is not a known setting"},
        {R"({"backends": [{"id": 1}], "workload": {"mix": []}})", "workload.mix must list at least one kind"},
        {R"({"backends": [{"id": 1}], "workload": {"mix": [{"kind": "chat", "prompt_chars": [5, 2]}]}})",
         "workload.mix[0].prompt_chars maximum must not be below the minimum"},
        {R"({"backends": [{"id": 1}], "workload": {"mix": [{"kind": "embedding", "prompt_chars": [5, 9],
            "output_tokens": [1, 2]}]}})",
         "workload.mix[0].output_tokens is not used by embeddings"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parse_scenario_text(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const ScenarioError& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.message));
        }
    }
    // The sanity of a good scenario is not an accident of the helper above.
    EXPECT_NO_THROW(parse_scenario_text(with("")));
    EXPECT_THROW(parse_scenario_text(with(""), {.seed = std::nullopt, .duration_sec = -1.0, .algorithm = {}}), ScenarioError);
    EXPECT_THROW(run_simulation(parse_scenario_text(kOneSlot), "turbo"), ScenarioError);
}

}  // namespace
}  // namespace quillmar::lb::sim
