// The settings a simulation may vary, by name, with the values each accepts.
#include "simulate/tuning.hpp"

#include "simulate/scenario.hpp"

#include "load_balancer/settings.hpp"
#include "load_balancer/values.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quillmar::lb::sim {

namespace {

constexpr std::string_view kPrefix = "QUILLMAR_LB_";
constexpr double kInf = std::numeric_limits<double>::infinity();

// One process-wide setting and the range of values that mean something to
// the balancer (the environment silently falls back instead).
struct Setting {
    std::string_view env_name;
    std::string_view variable;
    std::variant<bool*, std::int64_t*, double*> target;
    double min;
    double max;
};

const std::vector<Setting>& settings() {
    static const std::vector<Setting> table{
        {"QUILLMAR_LB_QUEUE_ENABLED", "QUEUE_ENABLED", &QUEUE_ENABLED, 0, 1},
        {"QUILLMAR_LB_QUEUE_TTL_SEC", "QUEUE_TTL_SEC", &QUEUE_TTL_SEC, 0, kInf},
        {"QUILLMAR_LB_QUEUE_MAX_DEPTH_MULTIPLIER", "QUEUE_MAX_DEPTH_MULTIPLIER", &QUEUE_MAX_DEPTH_MULTIPLIER, 0, 1e9},
        {"QUILLMAR_LB_QUEUE_DEADLINE_BOOST_SEC", "QUEUE_DEADLINE_BOOST_SEC", &QUEUE_DEADLINE_BOOST_SEC, -kInf, kInf},
        {"QUILLMAR_LB_POOL_LRU_TTL_SEC", "POOL_LRU_TTL_SEC", &POOL_LRU_TTL_SEC, 0, kInf},
        {"QUILLMAR_LB_IMAGE_TOKENS", "IMAGE_TOKEN_COST", &IMAGE_TOKEN_COST, 0, 1e9},
        {"QUILLMAR_LB_SUPERFAST_CAP", "SUPERFAST_PER_SERVER_CAP", &SUPERFAST_PER_SERVER_CAP, 1, 1e9},
        {"QUILLMAR_LB_HYBRID_INFLIGHT", "HYBRID_INFLIGHT_THRESHOLD", &HYBRID_INFLIGHT_THRESHOLD, 0, 1e9},
        {"QUILLMAR_LB_HYBRID_RATE", "HYBRID_RATE_THRESHOLD", &HYBRID_RATE_THRESHOLD, 0, kInf},
        {"QUILLMAR_LB_HYBRID_WINDOW_SEC", "HYBRID_RATE_WINDOW_SEC", &HYBRID_RATE_WINDOW_SEC, 0.5, 86400},
        {"QUILLMAR_LB_HYBRID_HOT_EXIT_RATIO", "HYBRID_HOT_EXIT_RATIO", &HYBRID_HOT_EXIT_RATIO, 0, 1},
        {"QUILLMAR_LB_QUEUE_ALL_DEPTH_MULTIPLIER", "QUEUE_ALL_DEPTH_MULTIPLIER", &QUEUE_ALL_DEPTH_MULTIPLIER, 0, 1e9},
        {"QUILLMAR_LB_QUEUE_ALL_TTL_SEC", "QUEUE_ALL_TTL_SEC", &QUEUE_ALL_TTL_SEC, 0, kInf},
    };
    return table;
}

std::string upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

const Setting& find_setting(std::string_view name) {
    const std::string n = upper(name);
    for (const Setting& s : settings())
        if (n == s.env_name || n == s.variable || n == s.env_name.substr(kPrefix.size())) return s;
    std::string known;
    for (const Setting& s : settings()) known += (known.empty() ? "" : ", ") + short_name(s.env_name);
    throw TuningError(fmt::format("unknown setting \"{}\" (known: {})", name, known));
}

std::optional<bool> parse_bool(std::string_view text) {
    const std::string t = upper(text);
    if (t == "1" || t == "TRUE" || t == "YES" || t == "ON") return true;
    if (t == "0" || t == "FALSE" || t == "NO" || t == "OFF") return false;
    return std::nullopt;
}

// The checked value of `text` for `s`.
std::variant<bool, std::int64_t, double> parse_value(const Setting& s, std::string_view text) {
    const std::string who = short_name(s.env_name);
    if (std::holds_alternative<bool*>(s.target)) {
        auto b = parse_bool(text);
        if (!b) throw TuningError(fmt::format("{} must be true or false (got \"{}\")", who, text));
        return *b;
    }
    const bool whole = std::holds_alternative<std::int64_t*>(s.target);
    std::optional<double> x;
    if (whole) {
        if (auto i = parse_int_text(text)) x = static_cast<double>(*i);
    } else {
        x = parse_float_text(text);
    }
    if (!x || std::isnan(*x))
        throw TuningError(fmt::format("{} must be {} (got \"{}\")", who, whole ? "a whole number" : "a number", text));
    if (*x < s.min || *x > s.max)
        throw TuningError(fmt::format("{} must be between {} and {} (got {})", who, s.min, s.max, text));
    if (whole) return static_cast<std::int64_t>(*x);
    return *x;
}

std::pair<std::string_view, std::string_view> split_at_equals(std::string_view text, std::string_view form) {
    const auto eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq + 1 == text.size())
        throw TuningError(fmt::format("expected {} (got \"{}\")", form, text));
    return {text.substr(0, eq), text.substr(eq + 1)};
}

void assign(const Assignment& a) {
    const Setting& s = find_setting(a.env_name);
    std::visit([&](auto* target) { *target = std::get<std::remove_pointer_t<decltype(target)>>(a.value); },
               s.target);
}

}  // namespace

std::string short_name(std::string_view env_name) {
    std::string out(env_name.substr(env_name.rfind(kPrefix) == 0 ? kPrefix.size() : 0));
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

Assignment parse_assignment(std::string_view text) {
    auto [name, value] = split_at_equals(text, "NAME=VALUE");
    const Setting& s = find_setting(name);
    return {std::string(s.env_name), parse_value(s, value), std::string(value)};
}

std::vector<Variant> parse_sweep(std::string_view text) {
    auto [name, list] = split_at_equals(text, "NAME=V1,V2,...");
    std::vector<std::string_view> values;
    for (std::size_t from = 0;;) {
        const auto comma = list.find(',', from);
        values.push_back(list.substr(from, comma - from));
        if (comma == std::string_view::npos) break;
        from = comma + 1;
    }
    if (values.size() > 32) throw TuningError("a sweep takes at most 32 values");
    std::vector<Variant> out;
    const bool algorithm = upper(name) == "ALGORITHM";
    for (std::string_view v : values) {
        if (std::count_if(values.begin(), values.end(), [&](std::string_view w) { return w == v; }) > 1)
            throw TuningError(fmt::format("sweep value \"{}\" repeats", v));
        Variant var;
        if (algorithm) {
            try {
                check_algorithm(v, "algorithm");
            } catch (const ScenarioError& e) {
                throw TuningError(e.what());
            }
            var.algorithm = std::string(v);
            var.label = fmt::format("algorithm={}", v);
        } else {
            var.settings.push_back(parse_assignment(fmt::format("{}={}", name, v)));
            var.label = fmt::format("{}={}", short_name(var.settings.back().env_name), v);
        }
        out.push_back(std::move(var));
    }
    return out;
}

ScopedSettings::ScopedSettings(const std::vector<Assignment>& assignments) {
    for (const Setting& s : settings()) {
        Assignment saved{std::string(s.env_name), false, {}};
        std::visit([&](auto* target) { saved.value = *target; }, s.target);
        saved_.push_back(std::move(saved));
    }
    for (const Assignment& a : assignments) assign(a);
}

ScopedSettings::~ScopedSettings() {
    for (const Assignment& a : saved_) assign(a);
}

}  // namespace quillmar::lb::sim
