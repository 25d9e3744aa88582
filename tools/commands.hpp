// The subcommands of `quillmar-lb`. Each lives in its own source file and
// adds itself to the application in its register_* function; main.cpp calls
// them in the order they should appear in --help.
//
// A subcommand's callback reports its outcome by throwing CommandExit (exit
// code and, optionally, a one-line message for stderr) or by returning
// normally for success.
#pragma once

#include <boost/json/object.hpp>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillmar::lb::tools {

// Exit status of a run whose input or environment was unusable (bad JSON,
// unreadable file, bad command line).
inline constexpr int EXIT_USAGE = 2;

// Ends the current command with `code`; main prints `message` (when not
// empty) to stderr, prefixed with the program name.
class CommandExit : public std::runtime_error {
public:
    CommandExit(int code, std::string message) : std::runtime_error(std::move(message)), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Writes `obj` as JSON with one member per line, in the object's order.
// Nested values are written compactly on their member's line.
void print_json_lines(std::FILE* out, const boost::json::object& obj);

void register_estimate(CLI::App& app);
void register_settings(CLI::App& app);
void register_simulate(CLI::App& app);

}  // namespace quillmar::lb::tools
