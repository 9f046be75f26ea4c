// Compact storage of a 1,000-taxon by 100,000-character matrix: the cells
// go into the pattern tree taxon by taxon, as the Matrix command stores
// them, and the tree becomes the pattern matrix. The argument is the share
// of distinct columns in percent; with many the tree gives way to a byte
// matrix part way (counter "matrix"), and the patterns are found by hashing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "data/charpatterns.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"

namespace {

constexpr uint32_t kTaxa = 1000;
constexpr uint32_t kChars = 100000;

// Row-major cells (taxon by taxon) of DNA codes 0..3 whose columns repeat
// kChars * percent / 100 distinct random columns.
const std::vector<uint8_t> &cells(int percent)
{
    static std::vector<uint8_t> made;
    static int madeFor = -1;
    if (madeFor == percent)
        return made;
    std::mt19937 rng(static_cast<uint32_t>(percent));
    const uint32_t distinct = kChars / 100 * static_cast<uint32_t>(percent);
    std::vector<uint8_t> pool(uint64_t{distinct} * kTaxa);
    for (uint8_t &x : pool)
        x = static_cast<uint8_t>(rng() & 3);
    made.assign(uint64_t{kTaxa} * kChars, 0);
    for (uint32_t c = 0; c < kChars; ++c) {
        const uint8_t *column = &pool[uint64_t{rng() % distinct} * kTaxa];
        for (uint32_t t = 0; t < kTaxa; ++t)
            made[uint64_t{t} * kChars + c] = column[t];
    }
    madeFor = percent;
    return made;
}

void BM_CompactStorage(benchmark::State &state)
{
    const int percent = static_cast<int>(state.range(0));
    const std::vector<uint8_t> &m = cells(percent);
    uint32_t nodes = 0, patterns = 0;
    bool spilled = false;
    for (auto _ : state) {
        PatternTST *t = createPatternTST(kTaxa, kChars, true);
        for (uint32_t row = 0; row < kTaxa; ++row) {
            const uint8_t *codes = &m[uint64_t{row} * kChars];
            for (uint32_t c = 0; c < kChars; ++c)
                insertStateIntoPatternTST(t, row, c, codes[c]);
            finishCharGroupTST(t);
        }
        spilled = patternTSTHoldsMatrix(t);
        nodes = numNodesInTST(t);
        DataInfo *d = createDataInfo();
        d->ntax = kTaxa;
        d->nchar = kChars;
        d->compactStorage = 1;
        if (makePatternMatrix(t, d) != 0)
            state.SkipWithError("pattern matrix not made");
        patterns = d->nPatterns;
        destroyPatternTST(t);
        deallocRawData(d, 1);
    }
    constexpr double kMB = 1024.0 * 1024.0;
    state.counters["patterns"] = patterns;
    state.counters["matrix"] = spilled;
    // The tree: 24 bytes a node plus 16 bytes a character while cells arrive
    // (what is left of it when it gave way).
    state.counters["treeMB"] = (24.0 * nodes + 16.0 * kChars) / kMB;
    // What stays: a row per pattern and a pattern index per character.
    state.counters["keptMB"] = (static_cast<double>(patterns) * kTaxa + 4.0 * kChars) / kMB;
    state.counters["fullMB"] = static_cast<double>(kTaxa) * kChars / kMB;
    state.counters["ns/cell"] = benchmark::Counter(static_cast<double>(kTaxa) * kChars, benchmark::Counter::kIsIterationInvariantRate |
                                                                               benchmark::Counter::kInvert);
}
BENCHMARK(BM_CompactStorage)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
