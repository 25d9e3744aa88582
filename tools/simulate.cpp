// Workload simulation on virtual time: scenario parsing, the simulated host
// (arrivals, backends, crashes) around a real LoadBalancer, and the reports.
#include "simulate.hpp"

#include "load_balancer/balancer.hpp"
#include "load_balancer/estimator.hpp"
#include "load_balancer/lease.hpp"
#include "load_balancer/reaper.hpp"
#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"
#include "load_balancer/values.hpp"
#include "load_balancer/vocabulary.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <unordered_map>
#include <utility>

namespace quillmar::lb::sim {

namespace asio = boost::asio;
namespace json = boost::json;

// ---------------------------------------------------------------------------
// Built-in scenario

namespace {

// Four backends of one pool: a big general server, a mid-size one that
// crashes for a minute, a small long-context server that alone takes the
// largest documents, and a fast small-context server that restarts briefly.
// Traffic is mostly interactive chat with periodic bursts, plus long
// documents (a few too large for any backend) and embedding batches.
constexpr std::string_view kBuiltinScenario = R"json({
  "name": "built-in",
  "seed": 42,
  "duration_sec": 600,
  "pool": {"model": "sim-model", "clusters": [1], "tier": "default"},
  "algorithm": "weighted_round_robin",
  "reaper_interval_sec": 15,
  "crashed_lease_hold_sec": 90,
  "backends": [
    {"id": 1, "weight": 2, "max_concurrency": 16, "max_input_tokens": 32768,
     "ttft_base_sec": 0.25, "prefill_tokens_per_sec": 6000, "decode_tokens_per_sec": 45,
     "ttft_slowdown_per_inflight": 0.12, "decode_slowdown_per_inflight": 0.06},
    {"id": 2, "weight": 1, "max_concurrency": 8, "max_input_tokens": 32768,
     "ttft_base_sec": 0.3, "prefill_tokens_per_sec": 4000, "decode_tokens_per_sec": 35,
     "ttft_slowdown_per_inflight": 0.15, "decode_slowdown_per_inflight": 0.08,
     "outages": [{"at_sec": 240, "for_sec": 60}]},
    {"id": 3, "weight": 1, "max_concurrency": 4, "max_input_tokens": 131072,
     "ttft_base_sec": 0.4, "prefill_tokens_per_sec": 8000, "decode_tokens_per_sec": 30,
     "ttft_slowdown_per_inflight": 0.2, "decode_slowdown_per_inflight": 0.1},
    {"id": 4, "weight": 1, "max_concurrency": 24, "max_input_tokens": 8192,
     "ttft_base_sec": 0.08, "prefill_tokens_per_sec": 20000, "decode_tokens_per_sec": 80,
     "ttft_slowdown_per_inflight": 0.03, "decode_slowdown_per_inflight": 0.02,
     "outages": [{"at_sec": 420, "for_sec": 20}]}
  ],
  "workload": {
    "arrivals": {"kind": "bursty", "rate_per_sec": 3, "burst_rate_per_sec": 12,
                 "burst_every_sec": 120, "burst_length_sec": 20},
    "mix": [
      {"kind": "chat", "share": 0.7, "prompt_chars": [200, 6000], "output_tokens": [30, 400]},
      {"kind": "document", "share": 0.12, "prompt_chars": [20000, 560000], "output_tokens": [100, 600]},
      {"kind": "embedding", "share": 0.18, "prompt_chars": [100, 4000], "items": [1, 16]}
    ]
  }
}
)json";

}  // namespace

std::string_view builtin_scenario_text() { return kBuiltinScenario; }

// ---------------------------------------------------------------------------
// Scenario parsing

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
                  std::int64_t least) {
    const json::value* v = find(o, key);
    if (v == nullptr) return fallback;
    std::string p = join(path, key);
    const json::array& a = array_at(*v, p);
    if (a.size() != 2) fail(p, "must be a [min, max] pair");
    Range r{integer(a[0], at(p, 0)), integer(a[1], at(p, 1))};
    if (r.min < least) fail(p, fmt::format("minimum must be at least {} (got {})", least, r.min));
    if (r.max < r.min) fail(p, "maximum must not be below the minimum");
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
            Outage out{number_field(oo, "at_sec", pi, 0.0, Bound::non_negative),
                       number_field(oo, "for_sec", pi, 0.0, Bound::positive)};
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
    m.prompt_chars = range_field(o, "prompt_chars", path, {}, 0);
    if (m.kind == "embedding") {
        if (find(o, "output_tokens") != nullptr) fail(join(path, "output_tokens"), "is not used by embeddings");
        m.items = range_field(o, "items", path, {1, 1}, 1);
    } else {
        if (find(o, "items") != nullptr) fail(join(path, "items"), "is used by embeddings only");
        m.output_tokens = range_field(o, "output_tokens", path, {0, 0}, 0);
    }
    return m;
}

}  // namespace

Scenario parse_scenario(const json::value& doc, const Overrides& overrides) {
    const json::object& o = object_at(doc, "(top level)");
    only_keys(o,
              {"name", "seed", "duration_sec", "pool", "algorithm", "reaper_interval_sec", "crashed_lease_hold_sec",
               "backends", "workload"},
              "");
    Scenario sc;
    if (const json::value* v = find(o, "name")) sc.name = string_at(*v, "name");
    if (const json::value* v = find(o, "seed")) {
        std::int64_t s = integer(*v, "seed");
        if (s < 0) fail("seed", "must not be negative");
        sc.seed = static_cast<std::uint64_t>(s);
    }
    if (overrides.seed) sc.seed = *overrides.seed;
    sc.duration_sec = number_field(o, "duration_sec", "", sc.duration_sec, Bound::positive);
    if (overrides.duration_sec) sc.duration_sec = checked(*overrides.duration_sec, Bound::positive, "--duration");
    // One simulated second costs little, but a runaway value (years) would
    // still take minutes of real time: keep it to a week.
    if (sc.duration_sec > 7 * 24 * 3600.0) fail("duration_sec", "must not exceed one week (604800 s)");

    if (const json::value* v = find(o, "pool")) {
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
    if (const json::value* v = find(o, "algorithm")) {
        sc.algorithm = string_at(*v, "algorithm");
        if (std::find(VALID_LB_ALGORITHMS.begin(), VALID_LB_ALGORITHMS.end(), sc.algorithm) ==
            VALID_LB_ALGORITHMS.end())
            fail("algorithm", "must be one of weighted_round_robin, least_connections, sticky_session (got \"" +
                                  sc.algorithm + "\")");
    }
    sc.reaper_interval_sec = optional_seconds(o, "reaper_interval_sec", "", sc.reaper_interval_sec, Bound::positive);
    sc.crashed_lease_hold_sec =
        optional_seconds(o, "crashed_lease_hold_sec", "", sc.crashed_lease_hold_sec, Bound::non_negative);

    const json::value* backends = find(o, "backends");
    if (backends == nullptr) fail("backends", "is required");
    const json::array& ba = array_at(*backends, "backends");
    if (ba.empty()) fail("backends", "must list at least one backend");
    std::set<std::int64_t> ids;
    for (std::size_t i = 0; i < ba.size(); ++i) {
        sc.backends.push_back(parse_backend(ba[i], at("backends", i)));
        if (!ids.insert(sc.backends.back().id).second)
            fail(at("backends", i) + ".id", fmt::format("repeats server id {}", sc.backends.back().id));
    }

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
    return sc;
}

Scenario parse_scenario_text(std::string_view text, const Overrides& overrides) {
    boost::system::error_code ec;
    json::value doc = json::parse(text, ec);
    if (ec) throw ScenarioError("scenario: not valid JSON: " + ec.message());
    return parse_scenario(doc, overrides);
}

// ---------------------------------------------------------------------------
// Workload generation

namespace {

// Own distributions over mt19937_64: the standard ones are not required to
// give the same numbers on every library, and the output must depend on the
// seed alone.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : g_(seed) {}
    double uniform() { return static_cast<double>(g_() >> 11) * 0x1.0p-53; }  // [0, 1)
    std::int64_t between(Range r) {
        if (r.max <= r.min) return r.min;
        auto span = static_cast<std::uint64_t>(r.max - r.min) + 1;
        return r.min + static_cast<std::int64_t>(g_() % span);
    }
    double exponential(double rate) { return -std::log1p(-uniform()) / rate; }

private:
    std::mt19937_64 g_;
};

struct Arrival {
    double t = 0.0;
    std::size_t mix = 0;
    std::int64_t chars = 0;
    std::int64_t items = 1;
    std::int64_t output_tokens = 0;
};

struct Segment {
    double start, end, rate;
};

std::vector<Segment> rate_segments(const Scenario& sc) {
    const ArrivalConfig& a = sc.arrivals;
    const double dur = sc.duration_sec;
    std::vector<Segment> segs;
    if (a.kind != "bursty") {
        segs.push_back({0.0, dur, a.rate_per_sec});
        return segs;
    }
    double cur = 0.0;
    for (std::int64_t k = 1;; ++k) {
        double s = static_cast<double>(k) * a.burst_every_sec;
        if (s >= dur) break;
        double e = std::min(s + a.burst_length_sec, dur);
        segs.push_back({cur, s, a.rate_per_sec});
        segs.push_back({s, e, a.burst_rate_per_sec});
        cur = e;
    }
    if (cur < dur) segs.push_back({cur, dur, a.rate_per_sec});
    return segs;
}

std::vector<Arrival> make_workload(const Scenario& sc) {
    Rng rng(sc.seed);
    std::vector<double> times;
    if (sc.arrivals.kind == "fixed") {
        for (double t : sc.arrivals.times)
            if (t < sc.duration_sec) times.push_back(t);
    } else {
        // Poisson within each constant-rate segment; a draw that crosses the
        // segment's end is dropped, which is exact for exponential gaps.
        for (const Segment& s : rate_segments(sc)) {
            if (!(s.rate > 0.0)) continue;
            for (double t = s.start;;) {
                t += rng.exponential(s.rate);
                if (t >= s.end) break;
                times.push_back(t);
            }
        }
    }
    double total_share = 0.0;
    for (const MixEntry& m : sc.mix) total_share += m.share;
    std::vector<Arrival> out;
    out.reserve(times.size());
    for (double t : times) {
        Arrival a;
        a.t = t;
        double u = rng.uniform() * total_share;
        a.mix = sc.mix.size() - 1;
        for (std::size_t i = 0; i < sc.mix.size(); ++i) {
            if (u < sc.mix[i].share) {
                a.mix = i;
                break;
            }
            u -= sc.mix[i].share;
        }
        const MixEntry& m = sc.mix[a.mix];
        a.chars = rng.between(m.prompt_chars);
        a.items = m.kind == "embedding" ? rng.between(m.items) : 1;
        a.output_tokens = m.kind == "embedding" ? 0 : rng.between(m.output_tokens);
        out.push_back(a);
    }
    return out;
}

std::string filler(std::int64_t n) {
    static constexpr std::string_view kWords = "the quick brown fox jumps over the lazy dog while it rains ";
    std::string s;
    s.reserve(static_cast<std::size_t>(n));
    while (static_cast<std::int64_t>(s.size()) < n)
        s.append(kWords.substr(0, std::min<std::size_t>(kWords.size(), static_cast<std::size_t>(n) - s.size())));
    return s;
}

// The request body a client would send: built only to be estimated, the
// way the host does it, and dropped at once.
json::value build_body(const Scenario& sc, const MixEntry& m, const Arrival& a) {
    if (m.kind == "embedding") {
        json::array input;
        std::int64_t each = a.chars / a.items;
        for (std::int64_t i = 0; i < a.items; ++i)
            input.emplace_back(filler(i == 0 ? each + a.chars % a.items : each));
        return json::object{{"model", sc.model}, {"input", std::move(input)}};
    }
    json::value content;
    if (m.kind == "document")
        content = json::array{json::object{{"type", "text"}, {"text", filler(a.chars)}}};
    else
        content = filler(a.chars);
    return json::object{{"model", sc.model},
                        {"messages", json::array{json::object{{"role", "user"}, {"content", std::move(content)}}}},
                        {"max_tokens", a.output_tokens},
                        {"stream", true}};
}

// ---------------------------------------------------------------------------
// One run

// A request being served: its timer ends the current phase (prefill or
// decode); a crash cancels it.
struct Job {
    explicit Job(const asio::any_io_executor& ex) : timer(ex) {}
    Timer timer;
    bool crashed = false;
};

struct BackendState {
    const BackendConfig* cfg = nullptr;
    ServerRecord record;
    bool up = true;
    std::int64_t running = 0;  // what the backend really runs (not the balancer's count)
    std::vector<std::shared_ptr<Job>> jobs;
};

struct Outcome {
    enum class State { pending, served, refused, failed } state = State::pending;
    bool queued = false;
    double wait = 0.0;
    double ttft = 0.0;
    double completion = 0.0;
};

// How long requests may still wait or run after the last arrival.
constexpr int kDrainSteps = 360;
constexpr double kDrainStepSec = 10.0;

Summary summarize(std::vector<double> v) {
    Summary s;
    s.count = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    // Nearest rank, in integers so that no rounding can move an index.
    auto rank = [&](std::size_t pct) { return v[(pct * v.size() + 99) / 100 - 1]; };
    s.p50 = rank(50);
    s.p95 = rank(95);
    s.p99 = rank(99);
    return s;
}

bool is_cancel(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return is_cancellation(x);
    } catch (...) {
        return false;
    }
}

class Simulation {
public:
    Simulation(const Scenario& sc, const std::vector<Arrival>& arrivals, ManualClock& clock, LoadBalancer& lb,
               asio::io_context& io)
        : sc_(sc),
          arrivals_(arrivals),
          clock_(clock),
          lb_(lb),
          io_(io),
          pool_(sc.model, sc.clusters, sc.tier),
          outcomes_(arrivals.size()) {
        for (const BackendConfig& b : sc.backends) {
            BackendState st;
            st.cfg = &b;
            st.record = make_record(json::object{{"id", b.id},
                                                 {"weight", b.weight},
                                                 {"max_concurrency", b.max_concurrency},
                                                 {"max_input_tokens", b.max_input_tokens}});
            index_.emplace(b.id, backends_.size());
            backends_.push_back(std::move(st));
        }
    }

    RunResult execute(std::string_view mode) {
        t0_ = clock_.now();
        if (sc_.reaper_interval_sec) start_reaper(*sc_.reaper_interval_sec);

        for (const Event& ev : events()) {
            clock_.run_for(io_, ev.t - elapsed());
            handle(ev);
            ManualClock::poll(io_);
        }
        clock_.run_for(io_, sc_.duration_sec - elapsed());
        for (int i = 0; i < kDrainSteps && outstanding_ > 0; ++i) clock_.run_for(io_, kDrainStepSec);

        reaper_stop_.emit(asio::cancellation_type::terminal);
        ManualClock::poll(io_);
        // Leases of crashed requests that the host releases late.
        for (int i = 0; i < kDrainSteps && live_ > 0; ++i) clock_.run_for(io_, kDrainStepSec);
        if (error_) std::rethrow_exception(error_);
        return result(mode);
    }

private:
    struct Event {
        double t;
        int order;  // at equal times: recoveries, then crashes, then arrivals
        std::size_t index;
    };

    double elapsed() const { return clock_.now() - t0_; }

    std::vector<Event> events() const {
        std::vector<Event> evs;
        for (std::size_t b = 0; b < backends_.size(); ++b)
            for (const Outage& o : backends_[b].cfg->outages) {
                evs.push_back({o.at_sec, 1, b});
                evs.push_back({o.at_sec + o.for_sec, 0, b});
            }
        for (std::size_t i = 0; i < arrivals_.size(); ++i) evs.push_back({arrivals_[i].t, 2, i});
        std::stable_sort(evs.begin(), evs.end(), [](const Event& a, const Event& b) {
            return a.t < b.t || (a.t == b.t && a.order < b.order);
        });
        return evs;
    }

    void handle(const Event& ev) {
        if (ev.order == 0) {
            backends_[ev.index].up = true;  // back, and empty
        } else if (ev.order == 1) {
            crash(backends_[ev.index]);
        } else {
            ++outstanding_;
            ++live_;
            asio::co_spawn(io_, request(ev.index), [this](std::exception_ptr e) {
                --live_;
                if (e && !error_) error_ = e;
            });
        }
    }

    // The process dies: every request on it fails where it stands. The host
    // notices each failure, but its lease on the backend is given back only
    // crashed_lease_hold_sec later (or never): the balancer's count for the
    // backend is orphaned until then, unless the reaper clears it.
    void crash(BackendState& b) {
        b.up = false;
        for (const auto& job : b.jobs) {
            job->crashed = true;
            job->timer.cancel();
        }
        b.jobs.clear();
        b.running = 0;
    }

    void start_reaper(double interval) {
        ReaperOptions opts{.interval_sec = interval,
                           .list_running_servers = [this]() -> asio::awaitable<std::vector<ServerRecord>> {
                               co_return up_records();
                           }};
        asio::co_spawn(io_, inflight_reaper_loop(lb_, std::move(opts)),
                       asio::bind_cancellation_slot(reaper_stop_.slot(), [this](std::exception_ptr e) {
                           if (e && !is_cancel(e) && !error_) error_ = e;
                       }));
    }

    // The host's candidates: the backends its registry lists as running.
    std::vector<ServerRecord> up_records() const {
        std::vector<ServerRecord> out;
        for (const BackendState& b : backends_)
            if (b.up) out.push_back(b.record);
        return out;
    }

    void finish(Outcome& o, Outcome::State s) {
        o.state = s;
        --outstanding_;
    }

    asio::awaitable<bool> serve(const std::shared_ptr<Job>& job, double seconds) {
        expire_after(job->timer, seconds);
        boost::system::error_code ec;
        co_await job->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        co_return !job->crashed;
    }

    // One request, the way the host handles it.
    asio::awaitable<void> request(std::size_t i) {
        const Arrival& a = arrivals_[i];
        const MixEntry& mix = sc_.mix[a.mix];
        Outcome& o = outcomes_[i];
        const double arrived = monotonic();

        const std::vector<ServerRecord> candidates = up_records();
        if (candidates.empty()) {
            lb_.note_reject(RejectReason::NO_BACKENDS);
            finish(o, Outcome::State::refused);
            co_return;
        }
        const std::int64_t estimate = estimate_request_tokens(build_body(sc_, mix, a));
        const std::vector<ServerRecord> fitting = lb_.filter_by_fit(candidates, estimate);
        if (fitting.empty()) {
            lb_.note_reject(RejectReason::TOO_LARGE);
            finish(o, Outcome::State::refused);
            co_return;
        }
        SelectOptions how;
        how.estimated_tokens = estimate;
        how.algorithm = sc_.algorithm;
        ServerRecord server = co_await lb_.select(pool_, fitting, how);
        if (!server) {
            if (!lb_.queue_enabled()) {
                lb_.note_reject(RejectReason::AT_CAPACITY);  // the host's immediate 503
                finish(o, Outcome::State::refused);
                co_return;
            }
            WaitResult r = co_await lb_.wait_for_slot(pool_, fitting, estimate);
            if (!r.server) {
                finish(o, Outcome::State::refused);  // counted by the balancer
                co_return;
            }
            server = r.server;
            o.queued = true;
            o.wait = r.seconds;
        }

        const std::int64_t sid = server_id(*server);
        InflightLease lease = InflightLease::acquire(lb_, sid);
        BackendState& b = backends_[index_.at(sid)];
        if (!b.up) {
            // Admitted from a wait set taken before the crash: the connection
            // is refused at once and the lease ends with this scope.
            finish(o, Outcome::State::failed);
            co_return;
        }
        const BackendConfig& cfg = *b.cfg;
        const double others = static_cast<double>(b.running);
        ++b.running;
        auto job = std::make_shared<Job>(io_.get_executor());
        b.jobs.push_back(job);

        double prefill = cfg.prefill_tokens_per_sec > 0.0 ? static_cast<double>(estimate) / cfg.prefill_tokens_per_sec
                                                           : 0.0;
        double ttft = (cfg.ttft_base_sec + prefill) * (1.0 + cfg.ttft_slowdown_per_inflight * others);
        double decode_rate = cfg.decode_tokens_per_sec / (1.0 + cfg.decode_slowdown_per_inflight * others);
        double decode = static_cast<double>(a.output_tokens) / decode_rate;

        bool ok = co_await serve(job, ttft);
        if (ok) {
            o.ttft = monotonic() - arrived;
            ok = co_await serve(job, decode);
        }
        if (!ok) {
            finish(o, Outcome::State::failed);
            if (!sc_.crashed_lease_hold_sec) {
                leaked_.push_back(std::move(lease));
                co_return;
            }
            co_await sleep(*sc_.crashed_lease_hold_sec);
            co_return;  // the lease is given back here, late
        }
        o.completion = monotonic() - arrived;
        std::erase(b.jobs, job);
        --b.running;
        finish(o, Outcome::State::served);
        lease.release();
    }

    RunResult result(std::string_view mode) const {
        RunResult r;
        r.mode = std::string(mode);
        r.queue_enabled = lb_.queue_enabled();
        r.arrived = arrivals_.size();
        std::vector<double> ttft, wait, completion;
        for (const Outcome& o : outcomes_) {
            switch (o.state) {
                case Outcome::State::served:
                    ++r.served;
                    ttft.push_back(o.ttft);
                    completion.push_back(o.completion);
                    if (o.queued) wait.push_back(o.wait);
                    break;
                case Outcome::State::failed: ++r.failed; break;
                case Outcome::State::pending: ++r.unfinished; break;
                case Outcome::State::refused: break;
            }
        }
        for (const auto& [reason, n] : lb_.reject_counts) r.refused.emplace_back(reason, n);
        r.ttft = summarize(std::move(ttft));
        r.queue_wait = summarize(std::move(wait));
        r.completion = summarize(std::move(completion));
        r.throughput_rps = static_cast<double>(r.served) / sc_.duration_sec;
        r.prometheus = lb_.prometheus_text();
        return r;
    }

    const Scenario& sc_;
    const std::vector<Arrival>& arrivals_;
    ManualClock& clock_;
    LoadBalancer& lb_;
    asio::io_context& io_;
    PoolKey pool_;
    std::vector<BackendState> backends_;
    std::unordered_map<std::int64_t, std::size_t> index_;
    std::vector<Outcome> outcomes_;
    std::vector<InflightLease> leaked_;  // never given back: the reaper's business
    asio::cancellation_signal reaper_stop_;
    std::size_t outstanding_ = 0;  // requests without an outcome yet
    std::size_t live_ = 0;         // request coroutines still running
    double t0_ = 0.0;
    std::exception_ptr error_;
};

RunResult run_once(const Scenario& sc, const std::vector<Arrival>& arrivals, std::string_view mode) {
    // Destruction runs bottom-up: the simulation (its leaked leases decrement
    // the balancer) goes before the loop, the loop before the balancer.
    ManualClock clock;
    LoadBalancer lb;
    lb.set_routing_mode(mode);
    asio::io_context io;
    Simulation simulation(sc, arrivals, clock, lb, io);
    return simulation.execute(mode);
}

void check_mode(std::string_view mode) {
    if (std::find(VALID_ROUTING_MODES.begin(), VALID_ROUTING_MODES.end(), mode) == VALID_ROUTING_MODES.end())
        throw ScenarioError("unknown routing mode \"" + std::string(mode) +
                            "\" (superfast, hybrid, max_concurrency or queue_all)");
}

}  // namespace

RunResult run_simulation(const Scenario& scenario, std::string_view mode) {
    check_mode(mode);
    return run_once(scenario, make_workload(scenario), mode);
}

std::vector<RunResult> run_modes(const Scenario& scenario, const std::vector<std::string>& modes) {
    for (const std::string& m : modes) check_mode(m);
    const std::vector<Arrival> arrivals = make_workload(scenario);
    std::vector<RunResult> out;
    for (const std::string& m : modes) out.push_back(run_once(scenario, arrivals, m));
    return out;
}

// ---------------------------------------------------------------------------
// Reports

namespace {

// Seconds to the microsecond: the simulated times carry floating-point
// noise in the last digits that says nothing.
json::value opt(const std::optional<double>& v) {
    return v ? json::value(std::round(*v * 1e6) / 1e6) : json::value(nullptr);
}

std::int64_t refused_for(const RunResult& r, std::string_view reason) {
    for (const auto& [k, n] : r.refused)
        if (k == reason) return n;
    return 0;
}

std::string seconds_cell(const std::optional<double>& v) { return v ? fmt::format("{:.3f}", *v) : "-"; }

std::string describe(const Scenario& sc) {
    std::size_t outages = 0;
    for (const BackendConfig& b : sc.backends) outages += b.outages.size();
    return fmt::format(
        "Scenario \"{}\": {} backends, {} s of {} arrivals, seed {}, algorithm {}, {} backend crash(es), {}, {}.",
        sc.name, sc.backends.size(), sc.duration_sec, sc.arrivals.kind, sc.seed, sc.algorithm, outages,
        sc.reaper_interval_sec ? fmt::format("reaper every {} s", *sc.reaper_interval_sec) : std::string("no reaper"),
        sc.crashed_lease_hold_sec ? fmt::format("leases of crashed requests released after {} s",
                                                *sc.crashed_lease_hold_sec)
                                  : std::string("leases of crashed requests never released"));
}

}  // namespace

json::object report_json(const Scenario& sc, const std::vector<RunResult>& runs) {
    json::object out;
    out["scenario"] = sc.name;
    out["seed"] = sc.seed;
    out["duration_sec"] = sc.duration_sec;
    out["algorithm"] = sc.algorithm;
    out["settings"] = settings_json();
    json::array rows;
    for (const RunResult& r : runs) {
        json::object refused;
        for (const auto& [k, n] : r.refused) refused[k] = n;
        rows.push_back(json::object{
            {"mode", r.mode},
            {"queue_enabled", r.queue_enabled},
            {"arrived", r.arrived},
            {"served", r.served},
            {"failed", r.failed},
            {"unfinished", r.unfinished},
            {"refused", std::move(refused)},
            {"ttft_sec", json::object{{"count", r.ttft.count}, {"p50", opt(r.ttft.p50)}, {"p95", opt(r.ttft.p95)},
                                      {"p99", opt(r.ttft.p99)}}},
            {"queue_wait_sec",
             json::object{{"count", r.queue_wait.count}, {"p50", opt(r.queue_wait.p50)}, {"p95", opt(r.queue_wait.p95)}}},
            {"completion_sec", json::object{{"count", r.completion.count}, {"p95", opt(r.completion.p95)}}},
            {"throughput_rps", r.throughput_rps},
        });
    }
    out["runs"] = std::move(rows);
    out["prometheus"] = runs.empty() ? std::string() : runs.back().prometheus;
    return out;
}

std::string report_table(const Scenario& sc, const std::vector<RunResult>& runs) {
    static constexpr std::string_view kReasons[] = {"too_large", "at_capacity", "queue_full", "queue_timeout",
                                                    "no_backends"};
    std::string out = describe(sc) + "\n";
    out += "Times in seconds from arrival (queue wait included); wait = time parked, over the requests that were "
           "parked.\n";
    out += fmt::format(
        "The waiter queue is always on in queue_all; in the other modes only with QUILLMAR_LB_QUEUE_ENABLED "
        "(now {}), otherwise a full pool is refused at once (at_capacity).\n\n",
        QUEUE_ENABLED ? "on" : "off");
    out += fmt::format("{:<16}{:>6}{:>8}{:>7}{:>7}{:>6} |{:>10}{:>12}{:>11}{:>14}{:>12} |{:>9}{:>9}{:>9} |{:>9}{:>9} |{:>9}{:>8}\n",
                       "mode", "queue", "arrived", "served", "failed", "unfin", "too_large", "at_capacity",
                       "queue_full", "queue_timeout", "no_backends", "ttft_p50", "ttft_p95", "ttft_p99", "wait_p50",
                       "wait_p95", "done_p95", "req/s");
    for (const RunResult& r : runs) {
        out += fmt::format("{:<16}{:>6}{:>8}{:>7}{:>7}{:>6} |", r.mode, r.queue_enabled ? "on" : "off", r.arrived,
                           r.served, r.failed, r.unfinished);
        out += fmt::format("{:>10}{:>12}{:>11}{:>14}{:>12} |", refused_for(r, kReasons[0]), refused_for(r, kReasons[1]),
                           refused_for(r, kReasons[2]), refused_for(r, kReasons[3]), refused_for(r, kReasons[4]));
        out += fmt::format("{:>9}{:>9}{:>9} |{:>9}{:>9} |{:>9}{:>8.2f}\n", seconds_cell(r.ttft.p50),
                           seconds_cell(r.ttft.p95), seconds_cell(r.ttft.p99), seconds_cell(r.queue_wait.p50),
                           seconds_cell(r.queue_wait.p95), seconds_cell(r.completion.p95), r.throughput_rps);
        for (const auto& [reason, n] : r.refused)
            if (std::find(std::begin(kReasons), std::end(kReasons), reason) == std::end(kReasons))
                out += fmt::format("  {}: also refused {} as \"{}\"\n", r.mode, n, reason);
    }
    if (!runs.empty()) {
        out += fmt::format("\nprometheus_text() at the end of the {} run:\n", runs.back().mode);
        out += runs.back().prometheus;
    }
    return out;
}

}  // namespace quillmar::lb::sim
