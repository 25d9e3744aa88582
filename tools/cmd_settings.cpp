// `quillmar-lb settings`: the settings in effect for this process, that is
// the defaults overridden by the QUILLMAR_LB_* environment of this run.
#include "commands.hpp"

#include "load_balancer/settings.hpp"

namespace quillmar::lb::tools {

void register_settings(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand("settings",
        "Print the effective settings (defaults overridden by QUILLMAR_LB_* variables) as JSON");
    cmd->callback([] { print_json_lines(stdout, settings_json()); });
}

}  // namespace quillmar::lb::tools
