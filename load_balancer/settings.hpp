// Process-wide tunables, each read once from its "QUILLMAR_LB_" environment
// variable when the library is loaded (static initialisation, in the order
// below). Afterwards each is a plain mutable value: the host changes one by
// assigning it, and every operation reads the value current when it runs.
// Single-threaded like the rest of the balancer: assign from the loop thread.
#pragma once

#include <boost/json/object.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::lb {

namespace detail {
// Built-in default of IMAGE_TOKEN_COST; not read from the environment.
inline constexpr std::int64_t DEFAULT_IMAGE_TOKEN_COST = 2048;

// Environment readers. Never throw, never log: an unset, empty or
// unparsable variable gives `fallback`.
// env_bool: "1", "true", "yes", "on" (trimmed, any case) are true; every
// other non-empty text is false.
bool env_bool(const char* name, bool fallback = false) noexcept;
// env_int: decimal integer text (see parse_int_text). A value that does not
// fit in int64 falls back to the default rather than saturating.
std::int64_t env_int(const char* name, std::int64_t fallback) noexcept;
// env_float: decimal float text, inf and nan (see parse_float_text).
double env_float(const char* name, double fallback) noexcept;

// The same rules applied to a variable's text (empty: unset), for callers
// that hold the text already. They touch no process state, so a fuzzer can
// feed them without growing the environment (glibc keeps every value
// setenv was ever given).
bool bool_from_text(std::string_view text, bool fallback) noexcept;
std::int64_t int_from_text(std::string_view text, std::int64_t fallback) noexcept;
double float_from_text(std::string_view text, double fallback) noexcept;
}  // namespace detail

extern bool QUEUE_ENABLED;                     // QUILLMAR_LB_QUEUE_ENABLED, false
extern double QUEUE_TTL_SEC;                   // QUILLMAR_LB_QUEUE_TTL_SEC, 30.0
extern std::int64_t QUEUE_MAX_DEPTH_MULTIPLIER;  // QUILLMAR_LB_QUEUE_MAX_DEPTH_MULTIPLIER, 4
extern double QUEUE_DEADLINE_BOOST_SEC;        // QUILLMAR_LB_QUEUE_DEADLINE_BOOST_SEC, 10.0
extern double POOL_LRU_TTL_SEC;                // QUILLMAR_LB_POOL_LRU_TTL_SEC, 300.0
extern std::int64_t IMAGE_TOKEN_COST;          // QUILLMAR_LB_IMAGE_TOKENS, 2048
extern std::int64_t SUPERFAST_PER_SERVER_CAP;  // QUILLMAR_LB_SUPERFAST_CAP, 4
extern std::int64_t HYBRID_INFLIGHT_THRESHOLD; // QUILLMAR_LB_HYBRID_INFLIGHT, 10
extern double HYBRID_RATE_THRESHOLD;           // QUILLMAR_LB_HYBRID_RATE, 10.0
extern double HYBRID_RATE_WINDOW_SEC;          // QUILLMAR_LB_HYBRID_WINDOW_SEC, 5.0
extern double HYBRID_HOT_EXIT_RATIO;           // QUILLMAR_LB_HYBRID_HOT_EXIT_RATIO, 0.8
extern std::int64_t QUEUE_ALL_DEPTH_MULTIPLIER;  // QUILLMAR_LB_QUEUE_ALL_DEPTH_MULTIPLIER, 1000
extern double QUEUE_ALL_TTL_SEC;               // QUILLMAR_LB_QUEUE_ALL_TTL_SEC, 600.0

// The current value of every setting, keyed by its environment variable, in
// load order. Non-finite floats are written as the strings "inf", "-inf" and
// "nan" (JSON has no such numbers).
boost::json::object settings_json();

// A QUILLMAR_LB_* variable of this process's environment that the loader
// could not use: a value that does not parse (the setting kept its default)
// or a name that no setting has (usually a typo).
struct SettingProblem {
    std::string variable;
    std::string value;
    std::string problem;
};
// Reads the environment again; linear in its size. Never throws except
// std::bad_alloc.
std::vector<SettingProblem> check_settings_environment();

}  // namespace quillmar::lb
