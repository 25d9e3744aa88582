// `quillmar-lb simulate`: runs a workload through the real balancer on
// virtual time and compares the routing modes.
#include "commands.hpp"
#include "simulate.hpp"

#include "load_balancer/vocabulary.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quillmar::lb::tools {

namespace {

struct SimulateOptions {
    std::string mode;
    std::string scenario_file;
    std::optional<std::uint64_t> seed;
    std::optional<double> duration;
    bool json = false;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CommandExit(EXIT_USAGE, "cannot open scenario '" + path + "': " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw CommandExit(EXIT_USAGE, "cannot read scenario '" + path + "'");
    return text.str();
}

void run_simulate(const SimulateOptions& opt) {
    sim::Scenario scenario;
    try {
        sim::Overrides overrides{.seed = opt.seed, .duration_sec = opt.duration};
        std::string text = opt.scenario_file.empty() ? std::string(sim::builtin_scenario_text())
                                                     : read_file(opt.scenario_file);
        scenario = sim::parse_scenario_text(text, overrides);
    } catch (const sim::ScenarioError& e) {
        std::string where = opt.scenario_file.empty() ? std::string() : " ('" + opt.scenario_file + "')";
        throw CommandExit(EXIT_USAGE, e.what() + where);
    }
    std::vector<std::string> modes;
    if (opt.mode.empty()) {
        for (std::string_view m : VALID_ROUTING_MODES) modes.emplace_back(m);
    } else {
        modes.push_back(opt.mode);
    }
    std::vector<sim::RunResult> runs = sim::run_modes(scenario, modes);
    if (opt.json) {
        print_json_lines(stdout, sim::report_json(scenario, runs));
    } else {
        std::fputs(sim::report_table(scenario, runs).c_str(), stdout);
    }
}

}  // namespace

void register_simulate(CLI::App& app) {
    auto opt = std::make_shared<SimulateOptions>();
    CLI::App* cmd = app.add_subcommand(
        "simulate",
        "Run a simulated workload through the balancer on virtual time and compare the routing modes "
        "(QUILLMAR_LB_* settings apply)");
    std::vector<std::string> modes(VALID_ROUTING_MODES.begin(), VALID_ROUTING_MODES.end());
    cmd->add_option("--mode", opt->mode, "Run only this routing mode (default: all four)")
        ->check(CLI::IsMember(modes));
    cmd->add_option("--scenario", opt->scenario_file,
                    "Scenario JSON file with backends and workload (default: the built-in scenario, "
                    "which examples/scenario.json reproduces)");
    cmd->add_option("--seed", opt->seed, "Random seed of the workload (overrides the scenario's)");
    cmd->add_option("--duration", opt->duration, "Seconds of simulated arrivals (overrides the scenario's)");
    cmd->add_flag("--json", opt->json, "Write the report as JSON");
    cmd->callback([opt] { run_simulate(*opt); });
}

}  // namespace quillmar::lb::tools
