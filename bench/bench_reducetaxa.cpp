// ReduceTaxa's work on 2,000 taxa x 10,000 sites: 1,600 taxa evolved down a
// random tree and 400 copies of them with 5% of their cells missing. Timed:
// compressing the site patterns and finding the redundant taxa.
#include <benchmark/benchmark.h>

#include <random>

#include "data/data_util.h"
#include "data/patterns.h"
#include "data/reducetaxa.h"

#include "bench_support.h"

namespace {

DataInfo *matrixWithDuplicates(uint32_t ntax, uint32_t nchar, uint32_t copies)
{
    std::mt19937 rng(2024);
    DataInfo *d = createDnaMatrix(ntax, nchar);
    const uint32_t originals = ntax - copies;
    Tree *model = randomBinaryTree(originals, rng);
    simulateOnTree(d, model, rng, originals, nchar);
    destroyTree(model, true);
    const auto missing = static_cast<uint8_t>(4);
    for (uint32_t t = originals; t < ntax; ++t) {
        const uint32_t source = rng() % originals;
        for (uint32_t c = 0; c < nchar; ++c)
            setXijRaw(d, t, c, rng() % 20 == 0 ? missing : d->matrix[source][c]);
    }
    initTaxStatus(d);
    initializeDataInfo(d);
    return d;
}

void BM_ReduceTaxa(benchmark::State &state)
{
    const auto ntax = static_cast<uint32_t>(state.range(0)), nchar = static_cast<uint32_t>(state.range(1));
    DataInfo *d = matrixWithDuplicates(ntax, nchar, ntax / 5);
    setActiveDataInfo(d);
    ModelGroup *g = activeModelGroup();
    uint32_t merged = 0, npat = 0;
    for (auto _ : state) {
        if (initSitePatternData(d, g, false) != 0) {
            state.SkipWithError("compression failed");
            break;
        }
        merged = 0;
        for (const auto &chain : findRedundantTaxa(g->patterns))
            merged += static_cast<uint32_t>(chain.size());
        npat = g->patterns->npat;
        state.PauseTiming();
        invalidateSitePatternData(true);
        state.ResumeTiming();
    }
    state.counters["patterns"] = npat;
    state.counters["merged"] = merged;
    setActiveDataInfo(nullptr);
    destroyDataInfo(d);
}

BENCHMARK(BM_ReduceTaxa)->Args({2000, 10000})->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
