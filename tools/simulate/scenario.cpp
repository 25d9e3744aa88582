// Scenario parsing: JSON text to a validated Scenario, every error naming
// the field at fault.
#include "simulate/scenario.hpp"

#include "repeated_key.hpp"

#include "load_balancer/vocabulary.hpp"

#include <boost/json/parse.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

namespace quillmar::lb::sim {

namespace json = boost::json;

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw ScenarioError("scenario: " + path + " " + what);
}

std::string join(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string at(const std::string& path, std::size_t i) { return fmt::format("{}[{}]", path, i); }

const json::object& object_at(const json::value& v, const std::string& path) {
    if (!v.is_object()) fail(path, "must be an object");
    return v.get_object();
}

const json::array& array_at(const json::value& v, const std::string& path) {
    if (!v.is_array()) fail(path, "must be an array");
    return v.get_array();
}

void only_keys(const json::object& o, std::initializer_list<std::string_view> allowed, const std::string& path) {
    for (const auto& kv : o) {
        std::string_view k(kv.key().data(), kv.key().size());
        if (std::find(allowed.begin(), allowed.end(), k) == allowed.end())
            fail(join(path, k), "is not a known setting");
    }
}

const json::value* find(const json::object& o, std::string_view key) {
    auto it = o.find(key);
    return it == o.end() ? nullptr : &it->value();
}

double number(const json::value& v, const std::string& path) {
    if (v.is_int64()) return static_cast<double>(v.get_int64());
    if (v.is_uint64()) return static_cast<double>(v.get_uint64());
    if (v.is_double()) return v.get_double();
    fail(path, "must be a number");
}

std::int64_t integer(const json::value& v, const std::string& path) {
    if (v.is_int64()) return v.get_int64();
    if (v.is_uint64() && v.get_uint64() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(v.get_uint64());
    if (v.is_double() && std::isfinite(v.get_double()) && std::trunc(v.get_double()) == v.get_double() &&
        std::fabs(v.get_double()) < 9.0e15)
        return static_cast<std::int64_t>(v.get_double());
    fail(path, "must be an integer");
}

std::string string_at(const json::value& v, const std::string& path) {
    if (!v.is_string()) fail(path, "must be a string");
    return std::string(v.get_string());
}

enum class Bound { any, non_negative, positive };

double checked(double x, Bound b, const std::string& path) {
    if (!std::isfinite(x)) fail(path, "must be a finite number");
    if (b == Bound::non_negative && x < 0.0) fail(path, fmt::format("must not be negative (got {})", x));
    if (b == Bound::positive && !(x > 0.0)) fail(path, fmt::format("must be greater than 0 (got {})", x));
    return x;
}

// Simulated time is bounded: one second costs little, but a runaway
// value (years) would still take minutes of real time, and past the
// clock's range it would run wrong.
double within_week(double seconds, const std::string& path) {
    if (seconds > kMaxSimulatedSec) fail(path, "must not exceed one week (604800 s)");
    return seconds;
}

double number_field(const json::object& o, std::string_view key, const std::string& path, double fallback,
                    Bound b) {
    const json::value* v = find(o, key);
    if (v == nullptr) return fallback;
    return checked(number(*v, join(path, key)), b, join(path, key));
}

std::int64_t int_field(const json::object& o, std::string_view key, const std::string& path,
                       std::int64_t fallback, bool non_negative) {
    const json::value* v = find(o, key);
    if (v == nullptr) return fallback;
    std::int64_t x = integer(*v, join(path, key));
    if (non_negative && x < 0) fail(join(path, key), fmt::format("must not be negative (got {})", x));
    return x;
}

// A seconds value that may be null (meaning "off" / "never").
std::optional<double> optional_seconds(const json::object& o, std::string_view key, const std::string& path,
                                       std::optional<double> fallback, Bound b) {
    const json::value* v = find(o, key);
    if (v == nullptr) return fallback;
    if (v->is_null()) return std::nullopt;
    return checked(number(*v, join(path, key)), b, join(path, key));
}

Range range_field(const json::object& o, std::string_view key, const std::string& path, Range fallback,
                  std::int64_t least, std::int64_t most) {
    const json::value* v = find(o, key);
    if (v == nullptr) return fallback;
    std::string p = join(path, key);
    const json::array& a = array_at(*v, p);
    if (a.size() != 2) fail(p, "must be a [min, max] pair");
    Range r{integer(a[0], at(p, 0)), integer(a[1], at(p, 1))};
    if (r.min < least) fail(p, fmt::format("minimum must be at least {} (got {})", least, r.min));
    if (r.max < r.min) fail(p, "maximum must not be below the minimum");
    if (r.max > most) fail(p, fmt::format("maximum must be at most {} (got {})", most, r.max));
    return r;
}

BackendConfig parse_backend(const json::value& v, const std::string& path) {
    const json::object& o = object_at(v, path);
    only_keys(o,
              {"id", "weight", "max_concurrency", "max_input_tokens", "ttft_base_sec", "prefill_tokens_per_sec",
               "decode_tokens_per_sec", "ttft_slowdown_per_inflight", "decode_slowdown_per_inflight", "outages"},
              path);
    BackendConfig b;
    const json::value* id = find(o, "id");
    if (id == nullptr) fail(join(path, "id"), "is required");
    b.id = integer(*id, join(path, "id"));
    b.weight = number_field(o, "weight", path, b.weight, Bound::non_negative);
    b.max_concurrency = int_field(o, "max_concurrency", path, 0, true);
    b.max_input_tokens = int_field(o, "max_input_tokens", path, 0, true);
    b.ttft_base_sec = number_field(o, "ttft_base_sec", path, b.ttft_base_sec, Bound::non_negative);
    b.prefill_tokens_per_sec = number_field(o, "prefill_tokens_per_sec", path, 0.0, Bound::non_negative);
    b.decode_tokens_per_sec = number_field(o, "decode_tokens_per_sec", path, b.decode_tokens_per_sec, Bound::positive);
    b.ttft_slowdown_per_inflight = number_field(o, "ttft_slowdown_per_inflight", path, 0.0, Bound::non_negative);
    b.decode_slowdown_per_inflight = number_field(o, "decode_slowdown_per_inflight", path, 0.0, Bound::non_negative);
    if (const json::value* outs = find(o, "outages")) {
        std::string p = join(path, "outages");
        const json::array& a = array_at(*outs, p);
        for (std::size_t i = 0; i < a.size(); ++i) {
            std::string pi = at(p, i);
            const json::object& oo = object_at(a[i], pi);
            only_keys(oo, {"at_sec", "for_sec"}, pi);
            if (find(oo, "at_sec") == nullptr) fail(join(pi, "at_sec"), "is required");
            if (find(oo, "for_sec") == nullptr) fail(join(pi, "for_sec"), "is required");
            Outage out{within_week(number_field(oo, "at_sec", pi, 0.0, Bound::non_negative), join(pi, "at_sec")),
                       within_week(number_field(oo, "for_sec", pi, 0.0, Bound::positive), join(pi, "for_sec"))};
            if (!b.outages.empty() && out.at_sec < b.outages.back().at_sec + b.outages.back().for_sec)
                fail(pi, "must start after the previous outage has ended");
            b.outages.push_back(out);
        }
    }
    return b;
}

ArrivalConfig parse_arrivals(const json::value& v, const std::string& path) {
    const json::object& o = object_at(v, path);
    only_keys(o, {"kind", "rate_per_sec", "burst_rate_per_sec", "burst_every_sec", "burst_length_sec", "times"},
              path);
    ArrivalConfig a;
    if (const json::value* k = find(o, "kind")) a.kind = string_at(*k, join(path, "kind"));
    if (a.kind == "steady" || a.kind == "bursty") {
        a.rate_per_sec = number_field(o, "rate_per_sec", path, a.rate_per_sec, Bound::non_negative);
    }
    if (a.kind == "bursty") {
        a.burst_rate_per_sec = number_field(o, "burst_rate_per_sec", path, 0.0, Bound::non_negative);
        if (find(o, "burst_every_sec") == nullptr) fail(join(path, "burst_every_sec"), "is required for bursty arrivals");
        a.burst_every_sec = number_field(o, "burst_every_sec", path, 0.0, Bound::positive);
        a.burst_length_sec = number_field(o, "burst_length_sec", path, 0.0, Bound::non_negative);
        if (a.burst_length_sec > a.burst_every_sec)
            fail(join(path, "burst_length_sec"), "must not exceed burst_every_sec");
    } else if (a.kind == "fixed") {
        const json::value* t = find(o, "times");
        if (t == nullptr) fail(join(path, "times"), "is required for fixed arrivals");
        const json::array& arr = array_at(*t, join(path, "times"));
        for (std::size_t i = 0; i < arr.size(); ++i)
            a.times.push_back(checked(number(arr[i], at(join(path, "times"), i)), Bound::non_negative,
                                      at(join(path, "times"), i)));
        std::stable_sort(a.times.begin(), a.times.end());
    } else if (a.kind != "steady") {
        fail(join(path, "kind"), "must be \"steady\", \"bursty\" or \"fixed\" (got \"" + a.kind + "\")");
    }
    return a;
}

MixEntry parse_mix_entry(const json::value& v, const std::string& path) {
    const json::object& o = object_at(v, path);
    only_keys(o, {"kind", "share", "prompt_chars", "output_tokens", "items"}, path);
    MixEntry m;
    const json::value* k = find(o, "kind");
    if (k == nullptr) fail(join(path, "kind"), "is required");
    m.kind = string_at(*k, join(path, "kind"));
    if (m.kind != "chat" && m.kind != "document" && m.kind != "embedding")
        fail(join(path, "kind"), "must be \"chat\", \"document\" or \"embedding\" (got \"" + m.kind + "\")");
    m.share = number_field(o, "share", path, 1.0, Bound::positive);
    if (find(o, "prompt_chars") == nullptr) fail(join(path, "prompt_chars"), "is required");
    // Each request's body is built whole: four million characters is about
    // a million tokens, past every context window.
    m.prompt_chars = range_field(o, "prompt_chars", path, {}, 0, 4'000'000);
    if (m.kind == "embedding") {
        if (find(o, "output_tokens") != nullptr) fail(join(path, "output_tokens"), "is not used by embeddings");
        m.items = range_field(o, "items", path, {1, 1}, 1, 100'000);
    } else {
        if (find(o, "items") != nullptr) fail(join(path, "items"), "is used by embeddings only");
        m.output_tokens = range_field(o, "output_tokens", path, {0, 0}, 0, 10'000'000);
    }
    return m;
}

void parse_pool(const json::object& o, Scenario& sc) {
    const json::value* v = find(o, "pool");
    if (v == nullptr) return;
    const json::object& p = object_at(*v, "pool");
    only_keys(p, {"model", "clusters", "tier"}, "pool");
    if (const json::value* m = find(p, "model")) sc.model = string_at(*m, "pool.model");
    if (const json::value* t = find(p, "tier")) sc.tier = string_at(*t, "pool.tier");
    if (const json::value* c = find(p, "clusters")) {
        sc.clusters.clear();
        const json::array& a = array_at(*c, "pool.clusters");
        for (std::size_t i = 0; i < a.size(); ++i) sc.clusters.push_back(integer(a[i], at("pool.clusters", i)));
    }
}

void parse_backends(const json::object& o, Scenario& sc) {
    const json::value* backends = find(o, "backends");
    if (backends == nullptr) fail("backends", "is required");
    const json::array& ba = array_at(*backends, "backends");
    if (ba.empty()) fail("backends", "must list at least one backend");
    // Each backend is simulated on every event: a few hundred is plenty.
    if (ba.size() > 256) fail("backends", "must list at most 256 backends");
    std::set<std::int64_t> ids;
    for (std::size_t i = 0; i < ba.size(); ++i) {
        sc.backends.push_back(parse_backend(ba[i], at("backends", i)));
        if (!ids.insert(sc.backends.back().id).second)
            fail(at("backends", i) + ".id", fmt::format("repeats server id {}", sc.backends.back().id));
    }
}

// What the arrivals would generate over the run, bounded before anything
// is generated: the most requests (at the higher of the two rates) and
// bursts one run may hold.
void check_workload_size(const Scenario& sc) {
    const ArrivalConfig& a = sc.arrivals;
    if (a.kind == "fixed") {
        if (a.times.size() > kMaxRequests)
            fail("workload.arrivals.times", fmt::format("lists more than {} requests", kMaxRequests));
        return;
    }
    const double rate = a.kind == "bursty" ? std::max(a.rate_per_sec, a.burst_rate_per_sec) : a.rate_per_sec;
    if (rate * sc.duration_sec > static_cast<double>(kMaxRequests))
        fail("workload.arrivals", fmt::format("would make up to {:.0f} requests in {} s; at most {} are simulated",
                                              rate * sc.duration_sec, sc.duration_sec, kMaxRequests));
    if (a.kind == "bursty" && sc.duration_sec / a.burst_every_sec > static_cast<double>(kMaxRequests))
        fail("workload.arrivals.burst_every_sec",
             fmt::format("makes more than {} bursts in {} s", kMaxRequests, sc.duration_sec));
}

void parse_workload(const json::object& o, Scenario& sc) {
    const json::value* workload = find(o, "workload");
    if (workload == nullptr) fail("workload", "is required");
    const json::object& w = object_at(*workload, "workload");
    only_keys(w, {"arrivals", "mix"}, "workload");
    if (const json::value* a = find(w, "arrivals")) sc.arrivals = parse_arrivals(*a, "workload.arrivals");
    const json::value* mix = find(w, "mix");
    if (mix == nullptr) fail("workload.mix", "is required");
    const json::array& ma = array_at(*mix, "workload.mix");
    if (ma.empty()) fail("workload.mix", "must list at least one kind of request");
    for (std::size_t i = 0; i < ma.size(); ++i) sc.mix.push_back(parse_mix_entry(ma[i], at("workload.mix", i)));
    check_workload_size(sc);
}

void parse_run_settings(const json::object& o, const Overrides& overrides, Scenario& sc) {
    if (const json::value* v = find(o, "name")) sc.name = string_at(*v, "name");
    if (const json::value* v = find(o, "seed")) {
        // Any 64-bit seed, as --seed takes and the report prints.
        if (v->is_uint64()) {
            sc.seed = v->get_uint64();
        } else {
            std::int64_t s = integer(*v, "seed");
            if (s < 0) fail("seed", "must not be negative");
            sc.seed = static_cast<std::uint64_t>(s);
        }
    }
    if (overrides.seed) sc.seed = *overrides.seed;
    sc.duration_sec = number_field(o, "duration_sec", "", sc.duration_sec, Bound::positive);
    if (overrides.duration_sec) sc.duration_sec = checked(*overrides.duration_sec, Bound::positive, "--duration");
    within_week(sc.duration_sec, "duration_sec");
    if (const json::value* v = find(o, "algorithm")) sc.algorithm = string_at(*v, "algorithm");
    check_algorithm(sc.algorithm, "algorithm");
    if (overrides.algorithm) {
        check_algorithm(*overrides.algorithm, "--algorithm");
        sc.algorithm = *overrides.algorithm;
    }
    sc.reaper_interval_sec = optional_seconds(o, "reaper_interval_sec", "", sc.reaper_interval_sec, Bound::positive);
    // Each pass costs real time: a hundred thousand of them at the most.
    if (sc.reaper_interval_sec && *sc.reaper_interval_sec < sc.duration_sec / 1e5)
        fail("reaper_interval_sec", fmt::format("must be at least duration_sec / 100000 ({} s)", sc.duration_sec / 1e5));
    sc.crashed_lease_hold_sec =
        optional_seconds(o, "crashed_lease_hold_sec", "", sc.crashed_lease_hold_sec, Bound::non_negative);
}

}  // namespace

void check_algorithm(std::string_view algorithm, std::string_view what) {
    if (std::find(VALID_LB_ALGORITHMS.begin(), VALID_LB_ALGORITHMS.end(), algorithm) == VALID_LB_ALGORITHMS.end())
        throw ScenarioError(fmt::format(
            "{} must be one of weighted_round_robin, least_connections, sticky_session (got \"{}\")", what,
            algorithm));
}

Scenario parse_scenario(const json::value& doc, const Overrides& overrides) {
    const json::object& o = object_at(doc, "(top level)");
    only_keys(o,
              {"name", "seed", "duration_sec", "pool", "algorithm", "reaper_interval_sec", "crashed_lease_hold_sec",
               "backends", "workload"},
              "");
    Scenario sc;
    parse_run_settings(o, overrides, sc);
    parse_pool(o, sc);
    parse_backends(o, sc);
    parse_workload(o, sc);
    return sc;
}

Scenario parse_scenario_text(std::string_view text, const Overrides& overrides) {
    boost::system::error_code ec;
    json::value doc = json::parse(text, ec);
    if (ec) throw ScenarioError("scenario: not valid JSON: " + ec.message());
    if (const auto repeated = tools_json::first_repeated_key(text))
        throw ScenarioError(fmt::format("scenario: names the key \"{}\" twice in one object (byte {})", repeated->key,
                                        repeated->offset));
    return parse_scenario(doc, overrides);
}
}  // namespace quillmar::lb::sim
