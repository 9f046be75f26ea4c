// SVD quartet scores: every quartet of 50 taxa (230,300) over 10,000 sites,
// on 1, 4 and 8 threads; the counter "quartets/s" is the rate. Sites evolve
// on a random caterpillar-like history so that the patterns are realistic
// (many distinct, a few missing and ambiguous cells).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "data/patterns.h"
#include "quartets/svdq.h"

namespace {

constexpr uint32_t kTaxa = 50;
constexpr uint32_t kSites = 10000;

struct SvdqBenchData {
    std::vector<std::vector<uint8_t>> cells;
    std::vector<uint8_t *> rows;
    std::vector<double> weights;
    std::vector<uint8_t> lists{1, 0, 1, 1, 1, 2, 1, 3, 4, 0, 1, 2, 3, 2, 0, 2};
    std::vector<uint32_t> offsets{0, 2, 4, 6, 8, 13};
    SitePatternData pd{};

    SvdqBenchData()
    {
        std::mt19937 gen(50);
        cells.assign(kTaxa, std::vector<uint8_t>(kSites));
        for (uint32_t s = 0; s < kSites; s++) {
            uint8_t state = static_cast<uint8_t>(gen() % 4);
            for (uint32_t t = 0; t < kTaxa; t++) {
                // Each taxon departs from the previous one now and then.
                if (gen() % 100 < 15)
                    state = static_cast<uint8_t>(gen() % 4);
                const uint32_t u = gen() % 1000;
                cells[t][s] = u < 10 ? 4 : u < 15 ? 5 : state;
            }
        }
        for (auto &r : cells)
            rows.push_back(r.data());
        weights.assign(kSites, 1.0);
        pd.rows = rows.data();
        pd.patternWeight = weights.data();
        pd.codeStateLists = lists.data();
        pd.codeListOffset = offsets.data();
        pd.npat = kSites;
        pd.ntax = kTaxa;
        pd.nstates = 4;
    }
};

void BM_SvdqExhaustive(benchmark::State &state)
{
    static SvdqBenchData data;
    SvdqEvalData ev;
    initSvdqScoring(ev, &data.pd);
    ev.rank = 10;
    ev.nunits = kTaxa;
    ev.exhaustive = true;
    ev.totalQuartets = svdqTotalQuartets(ev);
    ev.nq = static_cast<uint64_t>(ev.totalQuartets);
    ev.nthreads = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        if (evaluateQuartets(ev) != 0)
            state.SkipWithError("evaluation failed");
        benchmark::DoNotOptimize(ev.entries.data());
    }
    state.counters["quartets/s"] =
        benchmark::Counter(static_cast<double>(ev.nq) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["kept"] = static_cast<double>(ev.entries.size());
}

BENCHMARK(BM_SvdqExhaustive)->Arg(1)->Arg(4)->Arg(8)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
