// Balancer settings chosen on the simulator's command line: `--set NAME=VALUE`
// for every run and `--sweep NAME=V1,V2,...` for one set of runs per value.
// A name is a setting's environment variable (QUILLMAR_LB_SUPERFAST_CAP),
// the same without its prefix (superfast_cap, any case) or the library's
// variable (SUPERFAST_PER_SERVER_CAP); a sweep may also vary "algorithm".
// Values are checked strictly: unlike the environment, a bad one is an error.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillmar::lb::sim {

// A bad name or value; what() says which and what is accepted.
class TuningError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// One setting assigned one checked value.
struct Assignment {
    std::string env_name;                        // QUILLMAR_LB_...
    std::variant<bool, std::int64_t, double> value;
    std::string text;                            // as the user wrote it
};

// Parses "NAME=VALUE". Throws TuningError.
Assignment parse_assignment(std::string_view name_equals_value);

// One value of a sweep: the settings and algorithm of its runs, and its
// label in the reports ("superfast_cap=8").
struct Variant {
    std::string label;  // empty: no sweep
    std::vector<Assignment> settings;
    std::optional<std::string> algorithm;
};

// Parses "NAME=V1,V2,..." into one variant per value, in order. Throws
// TuningError (also for an empty list, more than 32 values or repeats).
std::vector<Variant> parse_sweep(std::string_view name_equals_values);

// The short name of a setting in labels: "superfast_cap" for
// QUILLMAR_LB_SUPERFAST_CAP.
std::string short_name(std::string_view env_name);

// Assigns settings for the lifetime of the object and restores every
// setting as it found it when destroyed. Loop thread only, like the
// settings themselves.
class ScopedSettings {
public:
    explicit ScopedSettings(const std::vector<Assignment>& assignments);
    ~ScopedSettings();
    ScopedSettings(const ScopedSettings&) = delete;
    ScopedSettings& operator=(const ScopedSettings&) = delete;

private:
    std::vector<Assignment> saved_;
};

}  // namespace quillmar::lb::sim
