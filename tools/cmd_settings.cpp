// `quillmar-lb settings`: the settings in effect for this process, that is
// the defaults overridden by the QUILLMAR_LB_* environment of this run.
#include "commands.hpp"

#include "load_balancer/settings.hpp"

#include <cstdio>
#include <memory>

namespace quillmar::lb::tools {

void register_settings(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand("settings",
        "Print the effective settings (defaults overridden by QUILLMAR_LB_* variables) as JSON");
    auto check = std::make_shared<bool>(false);
    cmd->add_flag("--check", *check,
                  "List every QUILLMAR_LB_* variable that did not parse or names no setting; exit 1 if any");
    cmd->callback([check] {
        if (!*check) {
            print_json_lines(stdout, settings_json());
            return;
        }
        const std::vector<SettingProblem> problems = check_settings_environment();
        for (const SettingProblem& p : problems)
            std::fprintf(stdout, "%s=%s: %s\n", p.variable.c_str(), p.value.c_str(), p.problem.c_str());
        if (problems.empty()) {
            std::fprintf(stdout, "every QUILLMAR_LB_* variable is in effect\n");
            return;
        }
        throw CommandExit(1, "");
    });
}

}  // namespace quillmar::lb::tools
