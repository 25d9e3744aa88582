// `quillmar-lb settings`: the settings in effect for this process, that is
// the defaults overridden by the QUILLMAR_LB_* environment of this run.
#include "commands.hpp"

#include "load_balancer/settings.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace quillmar::lb::tools {
namespace {

// Environment text as it may be shown on a terminal: as it is when it is
// plain printable ASCII, else quoted with every other byte escaped, so that
// a value cannot clear the screen, move the cursor or forge another line.
std::string shown(std::string_view text) {
    const auto plain = [](unsigned char c) { return c >= 0x20 && c < 0x7f; };
    bool all_plain = true;
    for (char c : text) all_plain = all_plain && plain(static_cast<unsigned char>(c));
    if (all_plain) return std::string(text);
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') out += '\\';
        if (plain(c)) out += ch;
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else out += fmt::format("\\x{:02x}", c);
    }
    return out + '"';
}

}  // namespace

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
            std::fprintf(stdout, "%s=%s: %s\n", shown(p.variable).c_str(), shown(p.value).c_str(), p.problem.c_str());
        if (problems.empty()) {
            std::fprintf(stdout, "every QUILLMAR_LB_* variable is in effect\n");
            return;
        }
        throw CommandExit(1, "");
    });
}

}  // namespace quillmar::lb::tools
