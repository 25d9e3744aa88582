// The cost of one select() on the hot path: superfast mode with the capacity
// gate on (every candidate has a max_concurrency and an in-flight count below
// its cap, so all are eligible), 4 / 16 / 128 candidates, each algorithm.
//
// The benchmark loop runs inside one coroutine on one io_context: select
// never suspends here (the pool lock is always free), so the whole loop runs
// in a single poll and each iteration costs one co_await of select.
// BM_AwaitOverhead measures the same loop around a trivial awaitable; it is
// the part of each figure that is coroutine plumbing rather than balancing.
#include "load_balancer/balancer.hpp"
#include "load_balancer/vocabulary.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using namespace quillmar::lb;

std::vector<ServerRecord> make_candidates(std::int64_t n) {
    std::vector<ServerRecord> out;
    out.reserve(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        out.push_back(make_record(json::object{{"id", 1000 + i},
                                               {"weight", 1 + i % 3},
                                               {"max_concurrency", 8},
                                               {"max_input_tokens", 32768}}));
    }
    return out;
}

// Runs `body` (a coroutine that drives the State loop) to completion and
// surfaces any exception as a benchmark error.
template <class Body>
void drive(benchmark::State& state, Body body) {
    asio::io_context io;
    std::exception_ptr error;
    asio::co_spawn(io, body(), [&](std::exception_ptr e) { error = e; });
    io.poll();
    if (!io.stopped()) state.SkipWithError("the benchmark coroutine suspended");
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
        }
    }
}

void BM_Select(benchmark::State& state, std::string_view algorithm, std::string_view sticky_key) {
    const std::int64_t n = state.range(0);
    LoadBalancer lb;  // "superfast": cap min(8, 4) = 4 per backend
    const std::vector<ServerRecord> candidates = make_candidates(n);
    // Counts 0..3, all below the cap of 4: every candidate stays eligible
    // (a dispatch does not raise the count; only a lease would).
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t k = 0; k < i % 4; ++k) lb.increment(1000 + i);
    }
    const PoolKey pool{"bench-model", {1, 2}, "default"};
    SelectOptions options;
    options.estimated_tokens = 1200;
    options.algorithm = algorithm;
    options.sticky_key = sticky_key;

    std::int64_t nulls = 0;
    drive(state, [&]() -> asio::awaitable<void> {
        for (auto _ : state) {
            ServerRecord r = co_await lb.select(pool, candidates, options);
            if (!r) ++nulls;
            benchmark::DoNotOptimize(r);
        }
    });
    if (nulls != 0) state.SkipWithError("select returned null: a candidate was not eligible");
    state.SetComplexityN(n);
}

// Same loop, same coroutine plumbing, no balancing work.
asio::awaitable<ServerRecord> trivial(const ServerRecord& r) { co_return r; }

void BM_AwaitOverhead(benchmark::State& state) {
    const ServerRecord rec = make_record(json::object{{"id", 1}});
    drive(state, [&]() -> asio::awaitable<void> {
        for (auto _ : state) {
            ServerRecord r = co_await trivial(rec);
            benchmark::DoNotOptimize(r);
        }
    });
}
BENCHMARK(BM_AwaitOverhead);

// Sticky keys as a stream: `fresh` never repeats a key (the cost of a
// session's first request); `zipf` draws from 10,000 session ids with
// Zipf(1) popularity, as returning users of a chat service would.
std::vector<std::string> zipf_keys(std::size_t count) {
    constexpr int kSessions = 10'000;
    std::vector<double> cdf(kSessions);
    double total = 0.0;
    for (int i = 0; i < kSessions; ++i) cdf[static_cast<std::size_t>(i)] = total += 1.0 / (i + 1);
    std::uint64_t s = 0x2545F4914F6CDD1Dull;
    std::vector<std::string> keys;
    keys.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        const double u = static_cast<double>(s >> 11) / 9007199254740992.0 * total;
        const auto rank = std::lower_bound(cdf.begin(), cdf.end(), u) - cdf.begin();
        keys.push_back("user-" + std::to_string(rank) + "/conversation");
    }
    return keys;
}

void BM_StickyStream(benchmark::State& state, bool fresh) {
    const std::int64_t n = state.range(0);
    LoadBalancer lb;
    const std::vector<ServerRecord> candidates = make_candidates(n);
    const PoolKey pool{"bench-model", {1, 2}, "default"};
    const std::vector<std::string> keys = zipf_keys(fresh ? 0 : 1 << 16);
    std::string fresh_key;
    std::uint64_t serial = 0;
    std::int64_t nulls = 0;
    drive(state, [&]() -> asio::awaitable<void> {
        std::size_t next = 0;
        for (auto _ : state) {
            std::string_view key;
            if (fresh) {
                fresh_key = "fresh-" + std::to_string(serial++);
                key = fresh_key;
            } else {
                key = keys[next++ & (keys.size() - 1)];
            }
            ServerRecord r = co_await lb.select(pool, candidates, {.algorithm = LB_ALGO_STICKY, .sticky_key = key});
            if (!r) ++nulls;
            benchmark::DoNotOptimize(r);
        }
    });
    if (nulls != 0) state.SkipWithError("select returned null: a candidate was not eligible");
}
BENCHMARK_CAPTURE(BM_StickyStream, new_keys, true)->Arg(16);
BENCHMARK_CAPTURE(BM_StickyStream, zipf_10k_sessions, false)->Arg(16);

BENCHMARK_CAPTURE(BM_Select, round_robin, LB_ALGO_WRR, "")->Arg(4)->Arg(16)->Arg(128);
BENCHMARK_CAPTURE(BM_Select, least_connections, LB_ALGO_LEAST_CONN, "")->Arg(4)->Arg(16)->Arg(128);
BENCHMARK_CAPTURE(BM_Select, sticky, LB_ALGO_STICKY, "user-4711/conversation-42")->Arg(4)->Arg(16)->Arg(128);

}  // namespace
