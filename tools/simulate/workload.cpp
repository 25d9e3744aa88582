// Workload generation: arrival times, the mix of request kinds, and the
// request bodies the estimator reads.
#include "simulate/workload.hpp"

#include "load_balancer/estimator.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string_view>

namespace quillmar::lb::sim {

namespace json = boost::json;

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

std::vector<double> arrival_times(const Scenario& sc, Rng& rng) {
    std::vector<double> times;
    if (sc.arrivals.kind == "fixed") {
        for (double t : sc.arrivals.times)
            if (t < sc.duration_sec) times.push_back(t);
        return times;
    }
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
    return times;
}

std::size_t pick_mix(const Scenario& sc, Rng& rng) {
    double total_share = 0.0;
    for (const MixEntry& m : sc.mix) total_share += m.share;
    double u = rng.uniform() * total_share;
    for (std::size_t i = 0; i < sc.mix.size(); ++i) {
        if (u < sc.mix[i].share) return i;
        u -= sc.mix[i].share;
    }
    return sc.mix.size() - 1;
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
json::value build_body(const Scenario& sc, const MixEntry& m, std::int64_t chars, std::int64_t items,
                       std::int64_t output_tokens) {
    if (m.kind == "embedding") {
        json::array input;
        std::int64_t each = chars / items;
        for (std::int64_t i = 0; i < items; ++i) input.emplace_back(filler(i == 0 ? each + chars % items : each));
        return json::object{{"model", sc.model}, {"input", std::move(input)}};
    }
    json::value content;
    if (m.kind == "document")
        content = json::array{json::object{{"type", "text"}, {"text", filler(chars)}}};
    else
        content = filler(chars);
    return json::object{{"model", sc.model},
                        {"messages", json::array{json::object{{"role", "user"}, {"content", std::move(content)}}}},
                        {"max_tokens", output_tokens},
                        {"stream", true}};
}

}  // namespace

Workload generate_workload(const Scenario& sc) {
    Rng rng(sc.seed);
    const std::vector<double> times = arrival_times(sc, rng);
    Workload w;
    w.source = "scenario";
    w.duration_sec = sc.duration_sec;
    w.requests.reserve(times.size());
    for (double t : times) {
        const MixEntry& m = sc.mix[pick_mix(sc, rng)];
        const std::int64_t chars = rng.between(m.prompt_chars);
        const std::int64_t items = m.kind == "embedding" ? rng.between(m.items) : 1;
        const std::int64_t output = m.kind == "embedding" ? 0 : rng.between(m.output_tokens);
        const std::int64_t input = estimate_request_tokens(build_body(sc, m, chars, items, output));
        w.requests.push_back({t, input, output});
    }
    return w;
}

Workload replay_trace(const Scenario& sc, const Trace& trace, std::optional<double> duration_sec) {
    Rng rng(sc.seed);
    Workload w;
    w.source = "trace";
    w.skipped = trace.skipped;
    std::set<std::string_view> models;
    for (const TraceRequest& tr : trace.requests) {
        if (duration_sec && tr.t >= *duration_sec) break;
        Request r{tr.t, tr.input_tokens, 0};
        if (tr.output_tokens) {
            r.output_tokens = *tr.output_tokens;
        } else {
            const MixEntry& m = sc.mix[pick_mix(sc, rng)];
            r.output_tokens = m.kind == "embedding" ? 0 : rng.between(m.output_tokens);
            ++w.drawn_outputs;
        }
        if (!tr.model.empty()) models.insert(tr.model);
        w.requests.push_back(r);
    }
    w.models = models.size();
    // Without a stated duration the run covers every arrival, the last one
    // included: up to the next whole second after it.
    w.duration_sec = duration_sec ? *duration_sec
                                  : std::floor(w.requests.empty() ? 0.0 : w.requests.back().t) + 1.0;
    return w;
}

}  // namespace quillmar::lb::sim
