// Tree length of a 100-taxon x 10,000-site random DNA matrix on a random
// binary tree: full down pass, full three-set pass, NNI evaluation, and the
// incremental updates after moving a subtree (prune, then graft elsewhere).
// Counters report character-node updates per second (characters x internal
// nodes visited).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/calcsets.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
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

void BM_ParsimonyTreeLength(benchmark::State &state)
{
    Fixture &f = fixture();
    double len = 0;
    for (auto _ : state) {
        len = calcTreeLength(f.d, f.tree, true, false);
        benchmark::DoNotOptimize(len);
    }
    state.counters["length"] = len;
    state.counters["char_node_updates_per_s"] =
        benchmark::Counter(double(kChars) * (kTaxa - 1) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParsimonyTreeLength);

void BM_ParsimonyThreeSetPass(benchmark::State &state)
{
    Fixture &f = fixture();
    for (auto _ : state) {
        calcStatesetsForSearch(f.tree, f.d, false);
        benchmark::DoNotOptimize(f.tree->score[0]);
    }
    // Down sets of the forks, then up and final sets of every other node.
    double perPass = double(kChars) * ((kTaxa - 1) + 2 * (2 * kTaxa - 2));
    state.counters["char_node_updates_per_s"] =
        benchmark::Counter(perPass * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParsimonyThreeSetPass);

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
