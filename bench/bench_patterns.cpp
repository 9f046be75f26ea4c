// Site-pattern compression of a 1,000-taxon DNA matrix at 25,000, 50,000 and
// 100,000 sites, and of 500 taxa at up to 10^6 sites: random columns (every column its own pattern) and columns
// drawn from 1% distinct ones (most sites merge). The counter ns_per_cell
// should stay flat as the sites grow: compression is linear.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "data/data_util.h"
#include "data/patterns.h"
#include "data/vorn_memory.h"

#include "bench_support.h"

namespace {

DataInfo *makeMatrix(uint32_t kTaxa, uint32_t nchar, bool fewDistinct)
{
    std::mt19937 rng(4711);
    DataInfo *d = createDnaMatrix(kTaxa, nchar);
    initTaxStatus(d);
    const uint32_t distinct = fewDistinct ? nchar / 100 : nchar;
    for (uint32_t c = 0; c < nchar; ++c) {
        const uint32_t source = c < distinct ? c : rng() % distinct;
        for (uint32_t t = 0; t < kTaxa; ++t)
            d->matrix[t][c] = source == c ? static_cast<uint8_t>(rng() % 4) : d->matrix[t][source];
    }
    initializeDataInfo(d);
    return d;
}

void BM_CompressPatterns(benchmark::State &state)
{
    const auto nchar = static_cast<uint32_t>(state.range(0));
    const auto kTaxa = static_cast<uint32_t>(state.range(2));
    DataInfo *d = makeMatrix(kTaxa, nchar, state.range(1) != 0);
    ModelGroup *g = activeModelGroup();
    uint32_t npat = 0;
    for (auto _ : state) {
        if (initSitePatternData(d, g, false) != 0)
            state.SkipWithError("compression failed");
        npat = g->patterns ? g->patterns->npat : 0;
        state.PauseTiming();
        invalidateSitePatternData(true);
        state.ResumeTiming();
    }
    const double cells = double(kTaxa) * nchar;
    state.counters["patterns"] = npat;
    state.counters["ns_per_cell"] =
        benchmark::Counter(cells * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    destroyDataInfo(d);
}

BENCHMARK(BM_CompressPatterns)
    ->ArgsProduct({{25000, 50000, 100000}, {0, 1}, {1000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// 500 taxa up to a million sites: the time per cell stays flat.
BENCHMARK(BM_CompressPatterns)
    ->ArgsProduct({{250000, 500000, 1000000}, {0, 1}, {500}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
