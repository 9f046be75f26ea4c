// A whole heuristic search (stepwise addition, TBR) on an 80-taxon x 1,000-site
// DNA matrix, with and without a time limit that is never reached: the two
// must run at the same speed, because watching the limit reads a cheap clock,
// and only every few dozen rearrangements.
#include <benchmark/benchmark.h>

#include <random>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "qel/qel_errormsg.h"
#include "search/hsearch.h"
#include "search/search_settings.h"
#include "trees/treebuf.h"
#include "trees/treeutil.h"

#include "bench_support.h"

namespace {

constexpr uint32_t kTaxa = 80, kChars = 1000;

int silent(const char *, ...) { return 0; }

struct SearchFixture {
    DataInfo *d = nullptr;
    TreeBuffer *buf = nullptr;
    SearchFixture()
    {
        std::mt19937 rng(77);
        d = simulatedDnaMatrix(kTaxa, kChars, rng);
        buf = createTreeBuffer(kTaxa, 200, false, true, false);
        setActiveTreeBuffer(buf);
    }
};

SearchFixture &fixture()
{
    static SearchFixture f;
    return f;
}

void runSearch(benchmark::State &state)
{
    SearchFixture &f = fixture();
    const PrintHook savedPrint = qel_printf;
    qel_printf = silent;
    hs = HSearchOptions{};
    hs.swap = 3;
    hs.timeLimit = static_cast<int32_t>(state.range(0));
    srch.dStatus = 0;
    double rearrangements = 0;
    for (auto _ : state) {
        emptyTreeBuffer(f.buf, true);
        setActiveTreeBuffer(f.buf);
        if (runHeuristicSearch(f.d) != 0)
            state.SkipWithError("search failed");
        rearrangements += 1;
    }
    qel_printf = savedPrint;
    state.counters["searches"] = rearrangements;
}

}  // namespace

// 0: no time limit; 3600 seconds: a limit that is watched but never reached.
BENCHMARK(runSearch)->Arg(0)->Arg(3600)->Unit(benchmark::kMillisecond)->MinTime(2.0);
