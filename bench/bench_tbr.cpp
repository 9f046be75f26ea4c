// TBR rearrangements evaluated per second on a 100-taxon x 1,000-site DNA
// matrix simulated on a random tree. The tree is first brought to a TBR
// local optimum, so that the timed pass is the last pass of a search: every
// neighbour scored against the tree's own length (early exit at the bound),
// none better. A second benchmark scores every move in full (no bound); a
// third times a 2-ECR pass on the same data at a 2-ECR local optimum.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/calcsets.h"
#include "parsimony/pars_init.h"
#include "search/ecr.h"
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
    Tree *ecrTree = nullptr;
    HSearchData *ecrHsd = nullptr;
    double length = 0.0, ecrLength = 0.0;
    Fixture()
    {
        std::mt19937 rng(2024);
        d = simulatedDnaMatrix(kTaxa, kChars, rng);
        tree = randomBinaryTree(kTaxa, rng);
        pointTreeAtPackedData(tree, d);
        SaveRules rules{};
        hsd = createHSearchData(d, kTaxa, rules, false);
        ecrTree = createTreeForTaxa(kTaxa, kTaxa, true);
        copyTree(tree, ecrTree);
        double bound = kNoScoreValue;
        localSearchFromOneTreeViaTBR(tree, hsd, kSwapTBR, 0, &bound);
        length = tree->score[0];
        // From the same random tree, the first better 2-ECR neighbour each
        // time until there is none.
        ecrHsd = createHSearchData(d, kTaxa, rules, true);
        installEcrSwapFxns(ecrHsd);
        pointTreeAtPackedData(ecrTree, d);
        prepareTreeForSwapping(ecrTree, d);
        while (ecrHsd->fxns.evaluateNeighbors(ecrHsd, ecrTree) == -1) {
            const RearrObject hit = *getSwapHit(ecrHsd, 0);
            clearHits(ecrHsd);
            ecrHsd->fxns.apply(ecrHsd, ecrTree, &hit);
        }
        ecrLength = getBaseScore(d, true) + revTreeLength(d, ecrTree);
    }
    ~Fixture()
    {
        destroyHSearchData(ecrHsd);
        destroyTree(ecrTree, true);
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

// Times pass() on a tree at its local optimum, which must find nothing
// better; the moves are counted by hsd.
template <class Pass>
void timePassAtLocalOptimum(benchmark::State &state, HSearchData *hsd, double length, Pass pass)
{
    double moves = 0.0;
    for (auto _ : state) {
        const double before = hsd->rearrTriedTotal;
        if (pass() != 0)
            state.SkipWithError("a better tree at the local optimum");
        moves += hsd->rearrTriedTotal - before;
    }
    state.counters["length"] = length;
    state.counters["moves_per_pass"] = moves / double(state.iterations());
    state.counters["rearrangements_per_s"] = benchmark::Counter(moves, benchmark::Counter::kIsRate);
}

void BM_TbrPassAtLocalOptimum(benchmark::State &state)
{
    Fixture &f = fixture();
    prepareTreeForSwapping(f.tree, f.d);  // both trees keep their sets in the data's one store
    timePassAtLocalOptimum(state, f.hsd, f.length, [&] {
        double bound = f.length, best = f.length;
        return evaluateNeighbors_TBR(f.tree, f.hsd, kSwapTBR, nullptr, static_cast<uint32_t>(state.range(0)), &bound,
                                     &best);
    });
}
// Without a reconnection limit, and with the search's default limit of 8.
BENCHMARK(BM_TbrPassAtLocalOptimum)->Arg(0)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_TbrEveryMoveScoredInFull(benchmark::State &state)
{
    Fixture &f = fixture();
    prepareTreeForSwapping(f.tree, f.d);
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

void BM_EcrPassAtLocalOptimum(benchmark::State &state)
{
    Fixture &f = fixture();
    prepareTreeForSwapping(f.ecrTree, f.d);
    timePassAtLocalOptimum(state, f.ecrHsd, f.ecrLength,
                           [&] { return f.ecrHsd->fxns.evaluateNeighbors(f.ecrHsd, f.ecrTree); });
}
BENCHMARK(BM_EcrPassAtLocalOptimum)->Unit(benchmark::kMillisecond);

}  // namespace
