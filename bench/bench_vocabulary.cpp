// Normalising the routing mode and algorithm strings a host reads per request.
#include "load_balancer/vocabulary.hpp"

#include <benchmark/benchmark.h>

namespace {

void BM_NormalizeAlgorithm(benchmark::State& state) {
    const char* inputs[] = {"least_connections", " Sticky_Session ", "round_robin", ""};
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(quillmar::lb::normalize_lb_algorithm(inputs[i++ & 3]));
    }
}
BENCHMARK(BM_NormalizeAlgorithm);

}  // namespace
