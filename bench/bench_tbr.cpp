// TBR rearrangements evaluated per second on a 100-taxon x 1,000-site DNA
// matrix simulated on a random tree. The tree is first brought to a TBR
// local optimum, so that the timed pass is the last pass of a search: every
// neighbour scored against the tree's own length (early exit at the bound),
// none better. A second benchmark scores every move in full (no bound).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/calcsets.h"
#include "parsimony/pars_init.h"
#include "search/hitlist.h"
#include "search/scores.h"
#include "search/swap.h"
#include "search/tbr.h"
#include "trees/treeutil.h"

#include "bench_support.h"

namespace {

constexpr uint32_t kTaxa = 100, kChars = 1000;

struct Fixture {
    DataInfo *d = nullptr;
    Tree *tree = nullptr;
    HSearchData *hsd = nullptr;
    double length = 0.0;
    Fixture()
    {
        std::mt19937 rng(2024);
        d = simulatedDnaMatrix(kTaxa, kChars, rng);
        tree = randomBinaryTree(kTaxa, rng);
        pointTreeAtPackedData(tree, d);
        SaveRules rules{};
        hsd = createHSearchData(d, kTaxa, rules, false);
        double bound = kNoScoreValue;
        localSearchFromOneTreeViaTBR(tree, hsd, kSwapTBR, 0, &bound);
        length = tree->score[0];
    }
    ~Fixture()
    {
        destroyHSearchData(hsd);
        destroyTree(tree, true);
        deallocPackedData(d);
        setActiveDataInfo(nullptr);
        destroyDataInfo(d);
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

void BM_TbrPassAtLocalOptimum(benchmark::State &state)
{
    Fixture &f = fixture();
    double moves = 0.0;
    for (auto _ : state) {
        double bound = f.length, best = f.length;
        const double before = f.hsd->rearrTriedTotal;
        const int rc = evaluateNeighbors_TBR(f.tree, f.hsd, kSwapTBR, nullptr, 0, &bound, &best);
        if (rc != 0)
            state.SkipWithError("a better tree at the local optimum");
        moves += f.hsd->rearrTriedTotal - before;
    }
    state.counters["length"] = f.length;
    state.counters["moves_per_pass"] = moves / double(state.iterations());
    state.counters["rearrangements_per_s"] = benchmark::Counter(moves, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TbrPassAtLocalOptimum)->Unit(benchmark::kMillisecond);

void BM_TbrEveryMoveScoredInFull(benchmark::State &state)
{
    Fixture &f = fixture();
    double moves = 0.0;
    for (auto _ : state) {
        forEachTbrMove(
            f.tree, f.d, kSwapTBR, 0,
            [](void *ctx, TreeNode *, TreeNode *, TreeNode *, double score) {
                benchmark::DoNotOptimize(score);
                *static_cast<double *>(ctx) += 1.0;
                return 0;
            },
            &moves);
    }
    state.counters["rearrangements_per_s"] = benchmark::Counter(moves, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TbrEveryMoveScoredInFull)->Unit(benchmark::kMillisecond);

}  // namespace
