// The quillmar-lb program as a user runs it: exit codes, stdout and stderr.
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

struct Result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The scenario the project ships as an example (and prints by default).
std::string example_scenario() { return slurp(QUILLMAR_SOURCE_DIR "/examples/scenario.json"); }

// A scratch directory for one test, removed afterwards.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quillmar-cli-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    fs::path write_file(const std::string& name, const std::string& text) {
        fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }

    // Runs the program with `args`, `input` on stdin, and the test's own
    // environment with every QUILLMAR_LB_ variable removed and `env` added.
    Result run(const std::vector<std::string>& args, const std::string& input = "",
               const std::map<std::string, std::string>& env = {}) {
        std::vector<std::string> argv{QUILLMAR_LB_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        return spawn(argv, input, env);
    }

    // Runs argv[0] (a path) the same way.
    Result spawn(std::vector<std::string> argv_s, const std::string& input,
                 const std::map<std::string, std::string>& env) {
        fs::path in = write_file("stdin", input), out = dir_ / "stdout", err = dir_ / "stderr";

        std::vector<std::string> envs;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name.rfind("QUILLMAR_LB_", 0) != 0 && env.count(name) == 0) envs.push_back(entry);
        }
        for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : envs) envp.push_back(s.data());
        envp.push_back(nullptr);

        std::vector<char*> argv;
        for (auto& s : argv_s) argv.push_back(s.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        Result r;
        if (rc != 0) {
            ADD_FAILURE() << "posix_spawn failed: " << std::strerror(rc);
            return r;
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) {
            ADD_FAILURE() << "waitpid failed";
            return r;
        }
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    fs::path dir_;
};

const std::string chat_body =
    R"({"messages":[{"role":"user","content":"hello, world!!"},)"
    R"({"role":"user","content":[{"type":"text","text":"abcdefghijabcdefghija"},{"type":"image_url"}]}]})";

TEST_F(CliTest, EstimatesFromFileAndStdin) {
    fs::path body = write_file("chat.json", chat_body);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"estimate", body.string()}, {"estimate"}, {"estimate", "-"}}) {
        Result r = run(args, chat_body);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "2056\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(CliTest, ExplainShowsCountersAndFollowsImageCost) {
    Result r = run({"estimate", "--explain"}, chat_body, {{"QUILLMAR_LB_IMAGE_TOKENS", "100"}});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json::value v = json::parse(r.out);
    EXPECT_EQ(v, json::parse(R"({"total_chars":35,"token_ids":0,"image_count":1,)"
                             R"("image_token_cost":100,"estimate":108})"));
}

TEST_F(CliTest, InvalidJsonNamesOffsetAndPrintsNothing) {
    struct Bad {
        std::string body;
        std::string offset;
    };
    for (const Bad& bad : std::vector<Bad>{{R"({"a": [1,2})", "byte offset 10"},
                                           {R"({"a": 1} x)", "byte offset 9"},
                                           {R"({"a": )", "byte offset 6"},
                                           {"", "byte offset 0"}}) {
        fs::path p = write_file("bad.json", bad.body);
        Result r = run({"estimate", p.string()});
        EXPECT_EQ(r.exit_code, 2) << bad.body;
        EXPECT_EQ(r.out, "") << bad.body;
        EXPECT_NE(r.err.find("invalid JSON"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(bad.offset), std::string::npos) << bad.body << " -> " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST_F(CliTest, RefusesBodiesOverMaxBytes) {
    std::string body = R"({"prompt":"abcdefgh"})";  // 21 bytes
    Result over = run({"estimate", "--max-bytes", "20"}, body);
    EXPECT_EQ(over.exit_code, 2);
    EXPECT_EQ(over.out, "");
    EXPECT_NE(over.err.find("--max-bytes"), std::string::npos) << over.err;

    Result exact = run({"estimate", "--max-bytes", "21"}, body);
    EXPECT_EQ(exact.exit_code, 0) << exact.err;
    EXPECT_EQ(exact.out, "2\n");
}

TEST_F(CliTest, UnreadableFileIsAnError) {
    Result missing = run({"estimate", (dir_ / "absent.json").string()});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("absent.json"), std::string::npos) << missing.err;

    Result directory = run({"estimate", dir_.string()});
    EXPECT_EQ(directory.exit_code, 2);
    EXPECT_EQ(directory.out, "");
}

TEST_F(CliTest, CommandLineErrorsExitTwo) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"frobnicate"}, {"--bogus"}, {"estimate", "--bogus"}, {"estimate", "a", "b"},
             {"estimate", "--max-bytes", "lots"}, {"estimate", "--max-bytes", "-1"}, {"settings", "extra"},
             {"simulate", "--seed", "-1"}, {"simulate", "--seed", "18446744073709551616"}}) {
        Result r = run(args, "{}");
        EXPECT_EQ(r.exit_code, 2) << args.front();
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
}

TEST_F(CliTest, NoSubcommandPrintsHelpAndExitsTwo) {
    Result r = run({});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("estimate"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("settings"), std::string::npos) << r.err;
}

TEST_F(CliTest, HelpAndVersion) {
    Result version = run({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string(QUILLMAR_LB_VERSION) + "\n");

    Result help = run({"estimate", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--explain"), std::string::npos) << help.out;
}

TEST_F(CliTest, SettingsReflectTheEnvironmentOfTheRun) {
    Result defaults = run({"settings"});
    ASSERT_EQ(defaults.exit_code, 0) << defaults.err;
    json::object d = json::parse(defaults.out).as_object();
    EXPECT_EQ(d.size(), 13u);
    EXPECT_EQ(d.at("QUILLMAR_LB_QUEUE_ENABLED"), json::value(false));
    EXPECT_EQ(d.at("QUILLMAR_LB_SUPERFAST_CAP"), json::value(4));
    EXPECT_DOUBLE_EQ(d.at("QUILLMAR_LB_QUEUE_TTL_SEC").to_number<double>(), 30.0);

    Result changed = run({"settings"}, "",
                         {{"QUILLMAR_LB_QUEUE_ENABLED", " Yes "},
                          {"QUILLMAR_LB_SUPERFAST_CAP", "8"},
                          {"QUILLMAR_LB_QUEUE_TTL_SEC", "1e2"},
                          {"QUILLMAR_LB_QUEUE_ALL_TTL_SEC", "inf"}});
    ASSERT_EQ(changed.exit_code, 0) << changed.err;
    json::object c = json::parse(changed.out).as_object();
    EXPECT_EQ(c.at("QUILLMAR_LB_QUEUE_ENABLED"), json::value(true));
    EXPECT_EQ(c.at("QUILLMAR_LB_SUPERFAST_CAP"), json::value(8));
    EXPECT_DOUBLE_EQ(c.at("QUILLMAR_LB_QUEUE_TTL_SEC").to_number<double>(), 100.0);
    EXPECT_EQ(c.at("QUILLMAR_LB_QUEUE_ALL_TTL_SEC"), json::value("inf"));
}

TEST_F(CliTest, SettingsCheckListsWhatFellBackAndExitsOneWhenAnyDid) {
    Result clean = run({"settings", "--check"}, "", {{"QUILLMAR_LB_SUPERFAST_CAP", "1_000"}});
    EXPECT_EQ(clean.exit_code, 0) << clean.out;

    Result bad = run({"settings", "--check"}, "",
                     {{"QUILLMAR_LB_SUPERFAST_CAP", "1.5"},
                      {"QUILLMAR_LB_QUEUE_TTL_SEC", "soon"},
                      {"QUILLMAR_LB_QUEUE_ENABLED", "yes"},
                      {"QUILLMAR_LB_QUEUE_TTL", "30"},
                      // Terminal control bytes are shown escaped, never sent raw.
                      {"QUILLMAR_LB_HYBRID_RATE", "\x1b[2J\"fast\"\n"},
                      {"QUILLMAR_LB_\x1b[1m", "1"}});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_NE(bad.out.find("QUILLMAR_LB_SUPERFAST_CAP=1.5: not an integer"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("QUILLMAR_LB_QUEUE_TTL_SEC=soon: not a number"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("QUILLMAR_LB_QUEUE_TTL=30: no such setting"), std::string::npos) << bad.out;
    EXPECT_EQ(bad.out.find("QUEUE_ENABLED"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find(R"(QUILLMAR_LB_HYBRID_RATE="\x1b[2J\"fast\"\n": not a number)"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find(R"("QUILLMAR_LB_\x1b[1m"=1: no such setting)"), std::string::npos) << bad.out;
    EXPECT_EQ(bad.out.find('\x1b'), std::string::npos) << bad.out;
}

// ---- simulate -------------------------------------------------------------

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST_F(CliTest, SimulateRefusesBadInputWithExitTwoAndNoOutput) {
    const fs::path trace = write_file("trace.jsonl", "{\"t\": 0, \"input_tokens\": 5}\n{\"t\": 1, \"input_tokens\": }\n");
    // The example scenario with one value changed: each would run for
    // hours, use gigabytes or (an outage past the clock's range) run wrong.
    const json::value base = json::parse(example_scenario());
    int edits = 0;
    auto edited = [&](const std::function<void(json::object&)>& edit) {
        json::value v = base;
        edit(v.as_object());
        return write_file("edited" + std::to_string(++edits) + ".json", json::serialize(v)).string();
    };
    auto workload = [](json::object& o) -> json::object& { return o["workload"].as_object(); };
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"--scenario", edited([](json::object& o) {
              o["backends"].as_array()[1].as_object()["outages"] = json::array{json::object{{"at_sec", 1e300},
                                                                                           {"for_sec", 1e300}}};
          })},
         "at_sec must not exceed one week"},
        {{"--scenario", edited([](json::object& o) { o["reaper_interval_sec"] = 1e-9; })},
         "reaper_interval_sec must be at least duration_sec / 100000"},
        {{"--scenario", edited([&](json::object& o) { workload(o)["arrivals"].as_object()["rate_per_sec"] = 1e6; })},
         "workload.arrivals would make up to"},
        {{"--scenario", edited([&](json::object& o) {
              workload(o)["mix"].as_array()[0].as_object()["prompt_chars"] = json::array{1e12, 1e12};
          })},
         "maximum must be at most 4000000"},
        {{"--scenario", dir_.string()}, "cannot read scenario"},
        {{"--scenario", write_file("twice.json", R"({"name":"a","duration_sec":-5,"duration_sec":60})").string()},
         "names the key \"duration_sec\" twice"},
        {{"--trace", write_file("twice.jsonl", R"({"t":0,"input_tokens":1,"t":5})" "\n").string()},
         "line 1: names the key \"t\" twice"},
        {{"--trace", dir_.string()}, "cannot read trace"},
        {{"--trace", trace.string()}, "trace '" + trace.string() + "' line 2: not valid JSON"},
        {{"--trace", (dir_ / "absent.csv").string()}, "cannot open trace"},
        {{"--set", "superfast_cap=0"}, "--set: superfast_cap must be between 1 and"},
        {{"--set", "QUILLMAR_LB_QUEUE_ENABLED=perhaps"}, "--set: queue_enabled must be true or false"},
        {{"--sweep", "turbo=1,2"}, "--sweep: unknown setting \"turbo\""},
        {{"--sweep", "algorithm=fastest"}, "--sweep: algorithm must be one of"},
        {{"--algorithm", "random"}, "--algorithm must be one of"},
        {{"--scenario", (dir_ / "nosuch.json").string()}, "cannot open scenario"},
        {{"--duration", "-3"}, "--duration must be greater than 0"},
        {{"--duration", "5", "--report", (dir_ / "no" / "dir" / "r.html").string()}, "cannot write report"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"simulate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = run(args);
        EXPECT_EQ(r.exit_code, 2) << c.message;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// A name holding control characters (a NUL, a terminal escape) is printed
// escaped, and the whole report follows it; any 64-bit seed is taken back.
TEST_F(CliTest, SimulatePrintsHostileScenarioNamesEscapedAndWhole) {
    json::value v = json::parse(example_scenario());
    v.as_object()["name"] = std::string("a\0b\x1b[2J", 7);
    v.as_object()["seed"] = 18446744073709551615ull;
    const fs::path scenario = write_file("hostile.json", json::serialize(v));
    Result r = run({"simulate", "--scenario", scenario.string(), "--duration", "20", "--mode", "superfast"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Scenario \"a\\u0000b\\u001b[2J\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_NE(r.out.find("18446744073709551615, algorithm"), std::string::npos) << r.out;  // the seed
    EXPECT_NE(r.out.find("Backends"), std::string::npos) << r.out;  // the last table
}

TEST_F(CliTest, SimulateTablesFitAHundredColumnsWithASweep) {
    Result r = run({"simulate", "--scenario", "bursts", "--duration", "30", "--sweep", "hybrid_hot_exit_ratio=0.25,1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const std::string& line : lines_of(r.out)) EXPECT_LE(line.size(), 100u) << line;
    EXPECT_NE(r.out.find("once per value of hybrid_hot_exit_ratio"), std::string::npos) << r.out;
    // A row per mode and value in the outcome and latency tables, and one
    // per backend (two) in the backend table.
    for (const char* mode : {"superfast", "hybrid", "max_concurrency", "queue_all"}) {
        for (const char* value : {" 0.25 ", " 1 "}) {
            const std::string label = mode + std::string(value);
            const std::vector<std::string> lines = lines_of(r.out);
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& l) { return l.rfind(label, 0) == 0; }),
                      4)
                << label;
        }
    }
}

TEST_F(CliTest, SimulatePrintsItsScenarios) {
    Result def = run({"simulate", "--print-scenario"});
    ASSERT_EQ(def.exit_code, 0) << def.err;
    EXPECT_EQ(json::parse(def.out), json::parse(example_scenario()));
    Result bursts = run({"simulate", "--scenario", "bursts", "--print-scenario"});
    ASSERT_EQ(bursts.exit_code, 0) << bursts.err;
    EXPECT_EQ(json::parse(bursts.out).at("name"), json::value("bursts"));
}

TEST_F(CliTest, SimulateReplaysACsvTraceAsJson) {
    const fs::path trace = write_file("trace.csv", "t,model,input_tokens,output_tokens\n0,m,10,5\n0.5,m,20,\n2,m,30,7\n");
    Result r = run({"simulate", "--trace", trace.string(), "--mode", "queue_all", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json::object doc = json::parse(r.out).as_object();
    EXPECT_EQ(doc.at("source"), json::value("trace"));
    EXPECT_EQ(doc.at("requests"), json::value(3));
    EXPECT_EQ(doc.at("trace").at("drawn_outputs"), json::value(1));
    const json::object& run0 = doc.at("runs").at(0).as_object();
    EXPECT_EQ(run0.at("served"), json::value(3));
    const json::object& series = run0.at("series").as_object();
    EXPECT_EQ(series.at("arrivals").at(0), json::value(2));
    EXPECT_EQ(series.at("arrivals").at(2), json::value(1));
    EXPECT_EQ(run0.at("ttft_percentiles_sec").as_array().size(), 100u);
}

// The path of `name` on PATH, or empty.
std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path == nullptr ? "" : path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

// The value of `name="..."` in an element's start tag, or "(none)".
std::string attribute(const std::string& tag, const std::string& name) {
    const std::size_t at = tag.find(" " + name + "=\"");
    if (at == std::string::npos) return "(none)";
    const std::size_t from = at + name.size() + 3;
    return tag.substr(from, tag.find('"', from) - from);
}

TEST_F(CliTest, SimulateReportRendersItsChartsInAHeadlessBrowser) {
    const std::string chromium = on_path("chromium");
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    const fs::path report = dir_ / "report.html";
    Result sim = run({"simulate", "--scenario", "bursts", "--duration", "90", "--report", report.string()});
    ASSERT_EQ(sim.exit_code, 0) << sim.err;
    const std::string html = slurp(report);
    // One file that opens offline: nothing to fetch.
    for (const char* outside : {"http:", "https:", "src=", "<link", "@import", "url("})
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;

    const std::vector<std::string> browser{"timeout", "120", chromium, "--headless", "--no-sandbox", "--disable-gpu",
                                           "--disable-quic", "--no-first-run", "--disable-background-networking",
                                           "--disable-component-update", "--disable-sync",
                                           "--user-data-dir=" + (dir_ / "profile").string(), "--window-size=1100,2600"};
    const std::map<std::string, std::string> env{{"HOME", dir_.string()}};
    auto with = [&](const std::string& arg) {
        std::vector<std::string> argv{on_path("timeout")};
        argv.insert(argv.end(), browser.begin() + 1, browser.end());
        argv.push_back(arg);
        argv.push_back("file://" + report.string());
        return argv;
    };
    Result dom = spawn(with("--dump-dom"), "", env);
    ASSERT_EQ(dom.exit_code, 0) << dom.err;
    // TTFT, queue depth, refusals, and in flight per mode: every line of
    // every chart laid out with an extent by the browser.
    std::vector<std::string> ids;
    for (std::size_t at = dom.out.find("<svg class=\"chart\""); at != std::string::npos;
         at = dom.out.find("<svg class=\"chart\"", at + 1)) {
        const std::string tag = dom.out.substr(at, dom.out.find('>', at) - at);
        ids.push_back(attribute(tag, "id"));
        EXPECT_EQ(attribute(tag, "data-drawn"), attribute(tag, "data-series")) << tag;
        EXPECT_NE(attribute(tag, "data-series"), "0") << tag;
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"ttft", "queue-depth", "refusals", "inflight-0", "inflight-1",
                                             "inflight-2", "inflight-3"}));
    EXPECT_NE(dom.out.find("<table id=\"summary\">"), std::string::npos);

    const fs::path shot = dir_ / "report.png";
    Result png = spawn(with("--screenshot=" + shot.string()), "", env);
    ASSERT_EQ(png.exit_code, 0) << png.err;
    const std::string image = slurp(shot);
    ASSERT_GT(image.size(), 24u);
    EXPECT_EQ(image.substr(1, 3), "PNG");
    auto be32 = [&](std::size_t at) {
        return (static_cast<unsigned>(static_cast<unsigned char>(image[at])) << 24) |
               (static_cast<unsigned>(static_cast<unsigned char>(image[at + 1])) << 16) |
               (static_cast<unsigned>(static_cast<unsigned char>(image[at + 2])) << 8) |
               static_cast<unsigned>(static_cast<unsigned char>(image[at + 3]));
    };
    EXPECT_EQ(be32(16), 1100u);  // IHDR width and height: the window
    EXPECT_EQ(be32(20), 2600u);
    // A blank page of that size compresses to a few kilobytes.
    EXPECT_GT(image.size(), 60'000u);
}

}  // namespace
