// The per-request costs of the in-flight lease and the waiter queue, and the
// cost of the two reports on a large deployment.
//
//   BM_LeaseEnterExit/fresh  lease on an idle backend (entry created, removed)
//   BM_LeaseEnterExit/busy   lease on a backend that keeps other requests
//   BM_ParkAndWake           one request parked, a lease end admits it, the
//                            waiting coroutine resumes with its server
//   BM_ParkAndWakeInRunningCoroutine  the same from a request coroutine that
//                            is already running (no co_spawn per request)
//   BM_PrometheusText, BM_Snapshot  1,000 backends in 50 pools
#include "load_balancer/balancer.hpp"
#include "load_balancer/lease.hpp"
#include "load_balancer/log.hpp"
#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace json = boost::json;
using namespace quillmar::lb;

template <class T>
T run_sync(boost::asio::io_context& io, boost::asio::awaitable<T> aw) {
    std::optional<T> out;
    std::exception_ptr err;
    boost::asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e, T v) {
        err = e;
        if (!e) out.emplace(std::move(v));
    });
    ManualClock::poll(io);
    if (err) std::rethrow_exception(err);
    return std::move(*out);
}

void BM_LeaseEnterExit(benchmark::State& state) {
    LoadBalancer lb;
    const bool busy = state.range(0) != 0;
    for (std::int64_t id = 1; id <= 100; ++id) lb.increment(id);  // other backends in the table
    if (!busy) lb.inflight.erase(7);
    for (auto _ : state) {
        InflightLease lease(lb, 7);
        lease.enter();
        lease.exit();
        benchmark::DoNotOptimize(lease);
    }
    state.SetLabel(busy ? "busy" : "fresh");
}
BENCHMARK(BM_LeaseEnterExit)->Arg(0)->Arg(1);

boost::asio::awaitable<WaitResult> wait_one(LoadBalancer& lb, const PoolKey& pool,
                                            const std::vector<ServerRecord>& candidates) {
    co_return co_await lb.wait_for_slot(pool, candidates, 100);
}

void BM_ParkAndWake(benchmark::State& state) {
    const bool saved = QUEUE_ENABLED;
    QUEUE_ENABLED = true;
    boost::asio::io_context io;
    LoadBalancer lb;
    const auto level = logger()->level();
    logger()->set_level(spdlog::level::warn);  // the mode line is not what is measured
    lb.set_routing_mode("max_concurrency");
    logger()->set_level(level);
    const PoolKey pool{"model", {1}, "default"};
    const std::vector<ServerRecord> candidates{
        make_record(json::object{{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    lb.increment(1);  // the slot is taken: every wait parks
    std::int64_t admitted = 0;
    for (auto _ : state) {
        bool done = false;
        boost::asio::co_spawn(io, wait_one(lb, pool, candidates), [&](std::exception_ptr e, WaitResult r) {
            done = true;
            if (!e && r.server) ++admitted;
        });
        ManualClock::poll(io);  // runs to the park
        lb.decrement(1);        // a lease ends: the parked request is admitted
        ManualClock::poll(io);  // the waiting coroutine resumes
        lb.increment(1);        // and enters its own lease
        if (!done) state.SkipWithError("the parked request was not admitted");
    }
    state.counters["admitted"] = static_cast<double>(admitted);
    QUEUE_ENABLED = saved;
}
BENCHMARK(BM_ParkAndWake);

// The same park and wake from a request coroutine that is already running
// (a host's request handler), without a co_spawn per request: the coroutine
// takes its slot, gives it back for the next round and parks again.
boost::asio::awaitable<void> park_repeatedly(LoadBalancer& lb, const PoolKey& pool,
                                             const std::vector<ServerRecord>& candidates, const bool& stop,
                                             std::int64_t& admitted) {
    while (!stop) {
        WaitResult r = co_await lb.wait_for_slot(pool, candidates, 100);
        if (!r.server) co_return;
        ++admitted;
        lb.increment(1);  // enters its lease; the bench loop ends it
    }
}

void BM_ParkAndWakeInRunningCoroutine(benchmark::State& state) {
    const bool saved = QUEUE_ENABLED;
    QUEUE_ENABLED = true;
    boost::asio::io_context io;
    LoadBalancer lb;
    const auto level = logger()->level();
    logger()->set_level(spdlog::level::warn);
    lb.set_routing_mode("max_concurrency");
    logger()->set_level(level);
    const PoolKey pool{"model", {1}, "default"};
    const std::vector<ServerRecord> candidates{
        make_record(json::object{{"id", 1}, {"weight", 1}, {"max_concurrency", 1}})};
    lb.increment(1);
    bool stop = false;
    std::int64_t admitted = 0;
    bool ended = false;
    boost::asio::co_spawn(io, park_repeatedly(lb, pool, candidates, stop, admitted),
                          [&](std::exception_ptr) { ended = true; });
    ManualClock::poll(io);  // parked
    for (auto _ : state) {
        lb.decrement(1);        // a lease ends: the parked request is admitted
        ManualClock::poll(io);  // it resumes, takes the slot and parks again
    }
    stop = true;
    lb.decrement(1);
    ManualClock::poll(io);
    if (!ended || admitted != static_cast<std::int64_t>(state.iterations()) + 1)
        state.SkipWithError("a parked request was not admitted");
    state.counters["admitted"] = static_cast<double>(admitted);
    QUEUE_ENABLED = saved;
}
BENCHMARK(BM_ParkAndWakeInRunningCoroutine);

// 50 pools of 20 backends each (1,000 backends), each pool with round-robin
// state, a dispatch per backend, in-flight counts, rejections and a full
// window of wait samples.
struct LargeDeployment {
    boost::asio::io_context io;
    LoadBalancer lb;
    std::vector<PoolKey> pools;

    LargeDeployment() {
        std::int64_t id = 1;
        for (int p = 0; p < 50; ++p) {
            pools.emplace_back("model-" + std::to_string(p), std::vector<std::int64_t>{p, p + 100}, "default");
            std::vector<ServerRecord> servers;
            for (int s = 0; s < 20; ++s, ++id)
                servers.push_back(make_record(json::object{{"id", id}, {"weight", 1 + s % 3}, {"max_concurrency", 64}}));
            for (int pick = 0; pick < 20; ++pick) run_sync(io, lb.select(pools.back(), servers));
        }
        for (std::int64_t s = 1; s < id; ++s)
            for (std::int64_t k = 0; k < s % 5; ++k) lb.increment(s);
        for (const char* r : {"at_capacity", "queue_full", "queue_timeout", "no_backends", "too_large"})
            lb.note_reject(r);
        for (int i = 0; i < 512; ++i) lb.queue_wait_samples.push_back(0.001 * (i * 37 % 512));
    }
};

void BM_PrometheusText(benchmark::State& state) {
    LargeDeployment d;
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = d.lb.prometheus_text();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PrometheusText)->Unit(benchmark::kMicrosecond);

void BM_Snapshot(benchmark::State& state) {
    LargeDeployment d;
    for (auto _ : state) {
        json::object snap = d.lb.snapshot();
        benchmark::DoNotOptimize(snap);
    }
    state.counters["pools"] = static_cast<double>(d.lb.snapshot().at("pools").as_object().size());
}
BENCHMARK(BM_Snapshot)->Unit(benchmark::kMicrosecond);

}  // namespace
