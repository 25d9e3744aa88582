#include "load_balancer/settings.hpp"

#include "load_balancer/values.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <unistd.h>  // environ

namespace quillmar::lb {

namespace detail {

namespace {
// An unset variable reads as the empty string.
std::string_view env_text(const char* name) noexcept {
    const char* raw = std::getenv(name);
    return raw == nullptr ? std::string_view{} : std::string_view{raw};
}
}  // namespace

bool bool_from_text(std::string_view raw, bool fallback) noexcept {
    if (raw.empty()) return fallback;
    std::size_t b = raw.find_first_not_of(" \t\n\r\v\f");
    if (b == std::string_view::npos) return false;
    std::size_t e = raw.find_last_not_of(" \t\n\r\v\f");
    std::string_view s = raw.substr(b, e - b + 1);
    if (s.size() > 4) return false;
    char lower[4]{};
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    std::string_view v(lower, s.size());
    return v == "1" || v == "true" || v == "yes" || v == "on";
}

std::int64_t int_from_text(std::string_view raw, std::int64_t fallback) noexcept {
    if (raw.empty()) return fallback;
    return parse_int_text(raw).value_or(fallback);
}

double float_from_text(std::string_view raw, double fallback) noexcept {
    if (raw.empty()) return fallback;
    return parse_float_text(raw).value_or(fallback);
}

bool env_bool(const char* name, bool fallback) noexcept { return bool_from_text(env_text(name), fallback); }

std::int64_t env_int(const char* name, std::int64_t fallback) noexcept {
    return int_from_text(env_text(name), fallback);
}

double env_float(const char* name, double fallback) noexcept { return float_from_text(env_text(name), fallback); }

}  // namespace detail

// Definition order is initialisation order within this unit: keep it as the
// documented load order.
bool QUEUE_ENABLED = detail::env_bool("QUILLMAR_LB_QUEUE_ENABLED", false);
double QUEUE_TTL_SEC = detail::env_float("QUILLMAR_LB_QUEUE_TTL_SEC", 30.0);
std::int64_t QUEUE_MAX_DEPTH_MULTIPLIER = detail::env_int("QUILLMAR_LB_QUEUE_MAX_DEPTH_MULTIPLIER", 4);
double QUEUE_DEADLINE_BOOST_SEC = detail::env_float("QUILLMAR_LB_QUEUE_DEADLINE_BOOST_SEC", 10.0);
double POOL_LRU_TTL_SEC = detail::env_float("QUILLMAR_LB_POOL_LRU_TTL_SEC", 300.0);
std::int64_t IMAGE_TOKEN_COST = detail::env_int("QUILLMAR_LB_IMAGE_TOKENS", detail::DEFAULT_IMAGE_TOKEN_COST);
std::int64_t SUPERFAST_PER_SERVER_CAP = detail::env_int("QUILLMAR_LB_SUPERFAST_CAP", 4);
std::int64_t HYBRID_INFLIGHT_THRESHOLD = detail::env_int("QUILLMAR_LB_HYBRID_INFLIGHT", 10);
double HYBRID_RATE_THRESHOLD = detail::env_float("QUILLMAR_LB_HYBRID_RATE", 10.0);
double HYBRID_RATE_WINDOW_SEC = detail::env_float("QUILLMAR_LB_HYBRID_WINDOW_SEC", 5.0);
double HYBRID_HOT_EXIT_RATIO = detail::env_float("QUILLMAR_LB_HYBRID_HOT_EXIT_RATIO", 0.8);
std::int64_t QUEUE_ALL_DEPTH_MULTIPLIER = detail::env_int("QUILLMAR_LB_QUEUE_ALL_DEPTH_MULTIPLIER", 1000);
double QUEUE_ALL_TTL_SEC = detail::env_float("QUILLMAR_LB_QUEUE_ALL_TTL_SEC", 600.0);

namespace {
boost::json::value json_float(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    return d;
}
enum class Kind { boolean, integer, real };
struct Known {
    std::string_view name;
    Kind kind;
};
constexpr Known kKnown[] = {
    {"QUILLMAR_LB_QUEUE_ENABLED", Kind::boolean},       {"QUILLMAR_LB_QUEUE_TTL_SEC", Kind::real},
    {"QUILLMAR_LB_QUEUE_MAX_DEPTH_MULTIPLIER", Kind::integer}, {"QUILLMAR_LB_QUEUE_DEADLINE_BOOST_SEC", Kind::real},
    {"QUILLMAR_LB_POOL_LRU_TTL_SEC", Kind::real},       {"QUILLMAR_LB_IMAGE_TOKENS", Kind::integer},
    {"QUILLMAR_LB_SUPERFAST_CAP", Kind::integer},       {"QUILLMAR_LB_HYBRID_INFLIGHT", Kind::integer},
    {"QUILLMAR_LB_HYBRID_RATE", Kind::real},            {"QUILLMAR_LB_HYBRID_WINDOW_SEC", Kind::real},
    {"QUILLMAR_LB_HYBRID_HOT_EXIT_RATIO", Kind::real},  {"QUILLMAR_LB_QUEUE_ALL_DEPTH_MULTIPLIER", Kind::integer},
    {"QUILLMAR_LB_QUEUE_ALL_TTL_SEC", Kind::real},
};

// What is wrong with one variable's value, empty when nothing is. A boolean
// always reads (any text that is not a true word is false), so only the
// numbers can fall back.
std::string value_problem(Kind kind, std::string_view value) {
    if (value.empty()) return {};
    switch (kind) {
        case Kind::boolean: return {};
        case Kind::integer:
            return parse_int_text(value) ? std::string{} : "not an integer within 64 bits: the default applies";
        case Kind::real: return parse_float_text(value) ? std::string{} : "not a number: the default applies";
    }
    return {};
}

}  // namespace

std::vector<SettingProblem> check_settings_environment() {
    std::vector<SettingProblem> out;
    constexpr std::string_view prefix = "QUILLMAR_LB_";
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::size_t eq = text.find('=');
        if (eq == std::string_view::npos || !text.starts_with(prefix)) continue;
        const std::string_view name = text.substr(0, eq), value = text.substr(eq + 1);
        const auto known = std::find_if(std::begin(kKnown), std::end(kKnown),
                                        [&](const Known& k) { return k.name == name; });
        std::string problem =
            known == std::end(kKnown) ? std::string("no such setting") : value_problem(known->kind, value);
        if (!problem.empty()) out.push_back({std::string(name), std::string(value), std::move(problem)});
    }
    return out;
}

boost::json::object settings_json() {
    boost::json::object out;
    out["QUILLMAR_LB_QUEUE_ENABLED"] = QUEUE_ENABLED;
    out["QUILLMAR_LB_QUEUE_TTL_SEC"] = json_float(QUEUE_TTL_SEC);
    out["QUILLMAR_LB_QUEUE_MAX_DEPTH_MULTIPLIER"] = QUEUE_MAX_DEPTH_MULTIPLIER;
    out["QUILLMAR_LB_QUEUE_DEADLINE_BOOST_SEC"] = json_float(QUEUE_DEADLINE_BOOST_SEC);
    out["QUILLMAR_LB_POOL_LRU_TTL_SEC"] = json_float(POOL_LRU_TTL_SEC);
    out["QUILLMAR_LB_IMAGE_TOKENS"] = IMAGE_TOKEN_COST;
    out["QUILLMAR_LB_SUPERFAST_CAP"] = SUPERFAST_PER_SERVER_CAP;
    out["QUILLMAR_LB_HYBRID_INFLIGHT"] = HYBRID_INFLIGHT_THRESHOLD;
    out["QUILLMAR_LB_HYBRID_RATE"] = json_float(HYBRID_RATE_THRESHOLD);
    out["QUILLMAR_LB_HYBRID_WINDOW_SEC"] = json_float(HYBRID_RATE_WINDOW_SEC);
    out["QUILLMAR_LB_HYBRID_HOT_EXIT_RATIO"] = json_float(HYBRID_HOT_EXIT_RATIO);
    out["QUILLMAR_LB_QUEUE_ALL_DEPTH_MULTIPLIER"] = QUEUE_ALL_DEPTH_MULTIPLIER;
    out["QUILLMAR_LB_QUEUE_ALL_TTL_SEC"] = json_float(QUEUE_ALL_TTL_SEC);
    return out;
}

}  // namespace quillmar::lb
