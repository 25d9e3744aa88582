// `quillmar-lb simulate`: runs a workload (a scenario's, or a recorded
// trace) through the real balancer on virtual time and compares the routing
// modes, optionally across the values of one setting.
#include "commands.hpp"
#include "simulate/host.hpp"
#include "simulate/report.hpp"
#include "simulate/scenario.hpp"
#include "simulate/trace.hpp"
#include "simulate/tuning.hpp"
#include "simulate/workload.hpp"

#include "load_balancer/log.hpp"
#include "load_balancer/vocabulary.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quillmar::lb::tools {

namespace {

struct SimulateOptions {
    std::string mode;
    std::string scenario;
    std::string trace_file;
    std::string report_file;
    std::optional<std::string> algorithm;
    std::vector<std::string> sets;
    std::string sweep;
    std::optional<std::uint64_t> seed;
    std::optional<double> duration;
    bool json = false;
    bool print_scenario = false;
};

// Scenarios are a few kilobytes; a trace of the most requests it may hold
// (two million lines) fits well within its limit.
constexpr std::uint64_t kMaxScenarioBytes = 16u << 20;
constexpr std::uint64_t kMaxTraceBytes = 1u << 30;

bool is_builtin(const std::string& name) {
    for (std::string_view b : sim::builtin_scenario_names())
        if (b == name) return true;
    return false;
}

// The scenario text: a built-in one by name (the default when none is
// given), otherwise the file of that name.
std::string scenario_text(const SimulateOptions& opt) {
    if (opt.scenario.empty() || is_builtin(opt.scenario))
        return std::string(sim::builtin_scenario_text(opt.scenario));
    return read_input("scenario", opt.scenario, kMaxScenarioBytes);
}

sim::Scenario load_scenario(const SimulateOptions& opt, const std::string& text) {
    try {
        return sim::parse_scenario_text(text, {.seed = opt.seed, .duration_sec = opt.duration,
                                               .algorithm = opt.algorithm});
    } catch (const sim::ScenarioError& e) {
        const bool file = !opt.scenario.empty() && !is_builtin(opt.scenario);
        throw CommandExit(EXIT_USAGE, e.what() + (file ? " ('" + opt.scenario + "')" : std::string()));
    }
}

sim::Workload load_workload(const SimulateOptions& opt, const sim::Scenario& sc) {
    if (opt.trace_file.empty()) return sim::generate_workload(sc);
    try {
        return sim::replay_trace(sc, sim::parse_trace(read_input("trace", opt.trace_file, kMaxTraceBytes)), opt.duration);
    } catch (const sim::TraceError& e) {
        throw CommandExit(EXIT_USAGE, "trace '" + opt.trace_file + "' " + e.what());
    }
}

// "--set" and "--sweep" values, checked before anything runs.
std::vector<sim::Assignment> parse_sets(const SimulateOptions& opt) {
    std::vector<sim::Assignment> out;
    for (const std::string& s : opt.sets) {
        try {
            out.push_back(sim::parse_assignment(s));
        } catch (const sim::TuningError& e) {
            throw CommandExit(EXIT_USAGE, std::string("--set: ") + e.what());
        }
    }
    return out;
}

std::vector<sim::Variant> parse_variants(const SimulateOptions& opt) {
    if (opt.sweep.empty()) return {sim::Variant{}};
    try {
        return sim::parse_sweep(opt.sweep);
    } catch (const sim::TuningError& e) {
        throw CommandExit(EXIT_USAGE, std::string("--sweep: ") + e.what());
    }
}

// A progress line on a terminal, once the runs have taken a second.
class ProgressLine {
public:
    ProgressLine() : enabled_(::isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}
    ~ProgressLine() {
        if (shown_) std::fputs("\r\033[K", stderr);
    }
    void operator()(std::size_t done, std::size_t total, const std::string& next) {
        if (!enabled_ || std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) return;
        std::fprintf(stderr, "\r\033[Ksimulate: %zu/%zu runs done, now %s", done, total, next.c_str());
        shown_ = true;
    }

private:
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
};

void write_report(const std::string& path, const std::string& html) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw CommandExit(EXIT_USAGE, "cannot write report '" + path + "': " + std::strerror(errno));
    out << html;
    out.close();
    if (!out) throw CommandExit(EXIT_USAGE, "cannot write report '" + path + "'");
}

void run_simulate(const SimulateOptions& opt) {
    const std::vector<sim::Assignment> sets = parse_sets(opt);
    const std::vector<sim::Variant> variants = parse_variants(opt);
    std::string text;
    try {
        text = scenario_text(opt);
    } catch (const sim::ScenarioError& e) {
        throw CommandExit(EXIT_USAGE, e.what());
    }
    const sim::Scenario scenario = load_scenario(opt, text);
    if (opt.print_scenario) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    const sim::Workload workload = load_workload(opt, scenario);
    std::vector<std::string> modes;
    if (opt.mode.empty()) {
        for (std::string_view m : VALID_ROUTING_MODES) modes.emplace_back(m);
    } else {
        modes.push_back(opt.mode);
    }

    // The balancer logs every run's mode change and force-clear with wall-clock
    // stamps: noise between the progress line and the report, which counts
    // what they tell. Errors still show.
    logger()->set_level(spdlog::level::err);
    const sim::ScopedSettings settings(sets);  // for the runs and the reports that list them
    std::vector<sim::RunResult> runs;
    {
        ProgressLine progress;
        runs = sim::run_matrix(scenario, workload, modes, variants, std::ref(progress));
    }
    const std::string& first = variants.front().label;  // "superfast_cap=8"; empty without a sweep
    const sim::ReportInput report{scenario, workload, runs, first.substr(0, first.find('='))};
    if (!opt.report_file.empty()) write_report(opt.report_file, sim::report_html(report));
    if (opt.json) {
        print_json_lines(stdout, sim::report_json(report));
    } else {
        const std::string table = sim::report_table(report);
        std::fwrite(table.data(), 1, table.size(), stdout);
    }
}

}  // namespace

void register_simulate(CLI::App& app) {
    auto opt = std::make_shared<SimulateOptions>();
    CLI::App* cmd = app.add_subcommand(
        "simulate",
        "Run a workload through the balancer on virtual time and compare the routing modes "
        "(QUILLMAR_LB_* settings apply)");
    std::vector<std::string> modes(VALID_ROUTING_MODES.begin(), VALID_ROUTING_MODES.end());
    std::string builtins;
    for (std::string_view b : sim::builtin_scenario_names()) builtins += (builtins.empty() ? "" : ", ") + std::string(b);
    cmd->add_option("--mode", opt->mode, "Run only this routing mode (default: all four)")
        ->check(CLI::IsMember(modes));
    cmd->add_option("--scenario", opt->scenario,
                    "A built-in scenario (" + builtins + "; default mixed) or a scenario JSON file");
    cmd->add_flag("--print-scenario", opt->print_scenario, "Print the scenario's JSON (a start for your own) and exit");
    cmd->add_option("--trace", opt->trace_file,
                    "Replay recorded requests (JSON access log, JSON lines or CSV) on the scenario's backends");
    cmd->add_option("--algorithm", opt->algorithm,
                    "Selection algorithm: weighted_round_robin, least_connections or sticky_session");
    cmd->add_option("--set", opt->sets, "NAME=VALUE: a balancer setting for every run (e.g. superfast_cap=8)");
    cmd->add_option("--sweep", opt->sweep, "NAME=V1,V2,...: run every mode once per value (a setting or algorithm)");
    cmd->add_option("--seed", opt->seed, "Random seed of the workload (overrides the scenario's)")
        ->check(count_between(0, std::numeric_limits<std::uint64_t>::max()));
    cmd->add_option("--duration", opt->duration,
                    "Seconds of arrivals (overrides the scenario's; cuts a trace)");
    cmd->add_flag("--json", opt->json, "Write the report as JSON, with distributions and per-second series");
    cmd->add_option("--report", opt->report_file, "Also write an HTML report with charts to this file");
    cmd->callback([opt] { run_simulate(*opt); });
}

}  // namespace quillmar::lb::tools
