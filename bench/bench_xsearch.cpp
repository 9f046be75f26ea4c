// The exact searches on simulated DNA: branch and bound at 16 and 20 taxa
// (1,000 sites), and the exhaustive search at 10 taxa in trees per second.
// bandb_vs_dnapenny.py times BandB beside PHYLIP dnapenny on the same kind
// of matrix.
#include <benchmark/benchmark.h>

#include <map>
#include <random>

#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "search/search_settings.h"
#include "search/xsearch.h"
#include "trees/treebuf.h"

#include "bench_support.h"

namespace {

int silent(const char *, ...) { return 0; }

struct ExactFixture {
    DataInfo *d = nullptr;
    TreeBuffer *buf = nullptr;
};

ExactFixture &fixture(uint32_t ntax, uint32_t nchar)
{
    static std::map<std::pair<uint32_t, uint32_t>, ExactFixture> made;
    ExactFixture &f = made[{ntax, nchar}];
    if (!f.d) {
        std::mt19937 rng(39 + ntax);
        f.d = simulatedDnaMatrix(ntax, nchar, rng);
        f.buf = createTreeBuffer(ntax, 20000, false, true, false);
    }
    setActiveDataInfo(f.d);
    setActiveTreeBuffer(f.buf);
    return f;
}

void runExact(benchmark::State &state, bool exhaustive, uint32_t ntax, uint32_t nchar)
{
    fixture(ntax, nchar);
    const PrintHook savedPrint = qel_printf;
    qel_printf = silent;
    srch.dStatus = 0;
    srch.keep = 0;
    bbex = ExactSearchOptions{};
    double trees = 0;
    for (auto _ : state) {
        if (exactTreeSearch(exhaustive, 1) != 0)
            state.SkipWithError("search failed");
        trees += static_cast<double>(lastXsearchResult().evaluated);
    }
    qel_printf = savedPrint;
    state.counters["best"] = lastXsearchResult().best;
    if (exhaustive)
        state.counters["trees/s"] = benchmark::Counter(trees, benchmark::Counter::kIsRate);
}

void bandb16(benchmark::State &s) { runExact(s, false, 16, 1000); }
void bandb20(benchmark::State &s) { runExact(s, false, 20, 1000); }
void allTrees10(benchmark::State &s) { runExact(s, true, 10, 200); }

}  // namespace

BENCHMARK(bandb16)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(bandb20)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(allTrees10)->Unit(benchmark::kMillisecond)->MinTime(2.0);
