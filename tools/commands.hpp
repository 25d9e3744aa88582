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

#include <cstdint>
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

// The whole of `file` ("-" is stdin), refused (CommandExit, EXIT_USAGE)
// past `max_bytes` without reading on, and when it cannot be opened or read
// (a directory, say); `what` and `limit` name the file and the limit in the
// message.
std::string read_input(const std::string& what, const std::string& file, std::uint64_t max_bytes,
                       const std::string& limit = "the limit");
// "stdin" or the quoted file name, for messages.
std::string describe_input(const std::string& file);

// A command-line count: digits only, from `least` to `most`. CLI11 alone
// would take "-1" as the largest unsigned value.
CLI::Validator count_between(std::uint64_t least, std::uint64_t most);

void register_estimate(CLI::App& app);
void register_settings(CLI::App& app);
void register_simulate(CLI::App& app);

}  // namespace quillmar::lb::tools
