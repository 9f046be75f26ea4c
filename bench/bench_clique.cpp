// Maximum-weight clique on random 64-vertex graphs of density 0.5 with
// weights 1-10: heaviest cliques found per second, with and without
// collecting every optimum.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "qel/qel_clique.h"

namespace {

void BM_WClique(benchmark::State &state)
{
    constexpr uint32_t n = 64;
    const bool all = state.range(0) != 0;
    std::mt19937 rng(64);
    std::bernoulli_distribution coin(0.5);
    constexpr int kGraphs = 16;
    std::vector<std::vector<uint32_t>> weights(kGraphs, std::vector<uint32_t>(n));
    std::vector<std::vector<CliqueBits>> rows(kGraphs, std::vector<CliqueBits>(n, CliqueBits(1, 0)));
    std::vector<std::vector<const uint64_t *>> ptrs(kGraphs);
    for (int g = 0; g < kGraphs; ++g) {
        for (auto &w : weights[g])
            w = 1 + rng() % 10;
        for (uint32_t a = 0; a < n; ++a)
            for (uint32_t b = a + 1; b < n; ++b)
                if (coin(rng)) {
                    rows[g][a][0] |= uint64_t{1} << b;
                    rows[g][b][0] |= uint64_t{1} << a;
                }
        for (auto &r : rows[g])
            ptrs[g].push_back(r.data());
    }
    std::vector<uint32_t> clique(n);
    std::vector<CliqueBits> optima;
    int g = 0;
    for (auto _ : state) {
        int32_t weight = 0;
        benchmark::DoNotOptimize(
            wclique(n, weights[g].data(), ptrs[g].data(), all, &weight, clique.data(), all ? &optima : nullptr));
        g = (g + 1) % kGraphs;
    }
    state.counters["cliques_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                         benchmark::Counter::kIsRate);
}

BENCHMARK(BM_WClique)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
