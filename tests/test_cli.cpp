// The quillmar-lb program as a user runs it: exit codes, stdout and stderr.
#include <boost/json/parse.hpp>
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
        fs::path in = write_file("stdin", input), out = dir_ / "stdout", err = dir_ / "stderr";

        std::vector<std::string> envs;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "QUILLMAR_LB_", 12) != 0) envs.emplace_back(*e);
        }
        for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : envs) envp.push_back(s.data());
        envp.push_back(nullptr);

        std::vector<std::string> argv_s{QUILLMAR_LB_PROGRAM};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
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
             {"estimate", "--max-bytes", "lots"}, {"settings", "extra"}}) {
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
                      {"QUILLMAR_LB_QUEUE_TTL", "30"}});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_NE(bad.out.find("QUILLMAR_LB_SUPERFAST_CAP=1.5: not an integer"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("QUILLMAR_LB_QUEUE_TTL_SEC=soon: not a number"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("QUILLMAR_LB_QUEUE_TTL=30: no such setting"), std::string::npos) << bad.out;
    EXPECT_EQ(bad.out.find("QUEUE_ENABLED"), std::string::npos) << bad.out;
}

}  // namespace
