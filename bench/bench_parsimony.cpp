// Tree length of a 100-taxon x 10,000-site random DNA matrix on a random
// binary tree: full down pass, full three-set pass, NNI evaluation, and the
// incremental updates after moving a subtree (prune, then graft elsewhere).
// Counters report character-node updates per second (characters x internal
// nodes visited). The down pass, the three-set pass and the per-node join run
// once per unordered kernel variant (argument 0 generic, 1 AVX2) on the same
// data.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/calcsets.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/kernels/uno_kernels.h"
#include "parsimony/pars_init.h"
#include "parsimony/stateset.h"
#include "parsimony/treelen.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

#include "bench_support.h"

namespace {

constexpr uint32_t kTaxa = 100, kChars = 10000;

struct Fixture {
    DataInfo *d = nullptr;
    Tree *tree = nullptr;
    Fixture()
    {
        std::mt19937 rng(12345);
        d = createDnaMatrix(kTaxa, kChars);
        for (uint32_t t = 0; t < kTaxa; t++)
            for (uint32_t c = 0; c < kChars; c++)
                setXijRaw(d, t, c, static_cast<uint8_t>(rng() % 4));
        resetParsSettings();
        prepareParsimonyData(d);
        tree = randomBinaryTree(kTaxa, rng);
        pointTreeAtPackedData(tree, d);
    }
    ~Fixture()
    {
        destroyTree(tree, true);
        deallocPackedData(d);
        destroyDataInfo(d);
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

// Selects the variant of the benchmark's argument for its run; false (and
// the run skipped) where the CPU lacks it.
bool useVariant(benchmark::State &state)
{
    auto v = state.range(0) ? UnoKernelVariant::Avx2 : UnoKernelVariant::Generic;
    if (!selectUnoKernels(v)) {
        state.SkipWithError("this CPU cannot run the variant");
        return false;
    }
    state.SetLabel(unoKernels().name);
    return true;
}

void BM_ParsimonyTreeLength(benchmark::State &state)
{
    Fixture &f = fixture();
    if (!useVariant(state))
        return;
    double len = 0;
    for (auto _ : state) {
        len = calcTreeLength(f.d, f.tree, true, false);
        benchmark::DoNotOptimize(len);
    }
    state.counters["length"] = len;
    state.counters["char_node_updates_per_s"] =
        benchmark::Counter(double(kChars) * (kTaxa - 1) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParsimonyTreeLength)->Arg(0)->Arg(1);

// One node's join: the down sets of two forks into a scratch record.
void BM_ParsimonyNodeJoin(benchmark::State &state)
{
    Fixture &f = fixture();
    if (!useVariant(state))
        return;
    calcTreeLength(f.d, f.tree, true, false);
    PackedData *pd = packedData(f.d);
    const ParsNodeSets *a = nodeSets(f.tree->nodes[kTaxa + 2].abm[0]);
    const ParsNodeSets *b = nodeSets(f.tree->nodes[kTaxa + 3].abm[0]);
    std::vector<uint64_t> out(2 * pd->unoWords);
    ParsNodeSets r{};
    r.uno = out.data();
    for (auto _ : state) {
        double len = 0;
        unoSetBin(f.d, a, b, true, false, &r, &len);
        benchmark::DoNotOptimize(len);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["char_updates_per_s"] =
        benchmark::Counter(double(kChars) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParsimonyNodeJoin)->Arg(0)->Arg(1);

void BM_ParsimonyThreeSetPass(benchmark::State &state)
{
    Fixture &f = fixture();
    if (!useVariant(state))
        return;
    for (auto _ : state) {
        calcStatesetsForSearch(f.tree, f.d, false);
        benchmark::DoNotOptimize(f.tree->score[0]);
    }
    // Down sets of the forks, then up and final sets of every other node.
    double perPass = double(kChars) * ((kTaxa - 1) + 2 * (2 * kTaxa - 2));
    state.counters["char_node_updates_per_s"] =
        benchmark::Counter(perPass * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParsimonyThreeSetPass)->Arg(0)->Arg(1);

void BM_ParsimonyNNIEvaluation(benchmark::State &state)
{
    Fixture &f = fixture();
    calcStatesetsForSearch(f.tree, f.d, false);
    std::vector<TreeNode *> xs;
    for (uint32_t p = kTaxa + 1; p < 2 * kTaxa; p++) {
        TreeNode *n = f.tree->nodes + p;
        if (n->anc && n->anc->anc && n->anc->anc->anc)
            xs.push_back(n);
    }
    for (auto _ : state)
        for (TreeNode *x : xs) {
            double len = 0;
            frvEvalSwap_NNI(f.d, nullptr, x, &len, 1e37);
            benchmark::DoNotOptimize(len);
        }
    // Each evaluation combines three sets per character.
    state.counters["char_node_updates_per_s"] = benchmark::Counter(
        3.0 * kChars * double(xs.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParsimonyNNIEvaluation);

// Random subtree moves: prune, update, graft on a random edge, update. The
// rate is given as the character-node updates a full three-set pass would
// spend to reach the same sets (two per move), next to the moves per second.
void BM_ParsimonyIncrementalSPR(benchmark::State &state)
{
    Fixture &f = fixture();
    Tree *tree = f.tree;
    calcStatesetsForSearch(tree, f.d, false);
    std::mt19937 rng(99);
    auto onTree = [tree](const TreeNode *n) {
        while (n->anc)
            n = n->anc;
        return n == tree->root;
    };
    auto pick = [&](auto ok) {
        for (;;) {
            TreeNode *n = tree->nodes + 1 + rng() % (2 * kTaxa - 1);
            if (n != tree->root && onTree(n) && ok(n))
                return n;
        }
    };
    for (auto _ : state) {
        TreeNode *x = pick([](TreeNode *n) { return n->anc && n->anc->anc; });
        TreeNode *fork = x->anc;
        TreeNode *s = fork->firstChild == x ? x->nextSib : fork->firstChild;
        pruneSubtree(x, false);
        revUpdateAfterPrune(f.d, s, x, fork);
        TreeNode *u = pick([](TreeNode *n) { return n->anc != nullptr; });
        graftSubtreeToEdge(tree, x, u, fork);
        revUpdateAfterGraft(f.d, x);
    }
    state.counters["length"] = revTreeLength(f.d, tree);
    double perPass = double(kChars) * ((kTaxa - 1) + 2 * (2 * kTaxa - 2));
    state.counters["moves_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["full_pass_equiv_char_node_updates_per_s"] =
        benchmark::Counter(2 * perPass * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParsimonyIncrementalSPR);

}  // namespace
