// Tree length of a 100-taxon x 10,000-site random DNA matrix on a random
// binary tree: full down pass, full three-set pass, and NNI evaluation.
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
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kTaxa = 100, kChars = 10000;

struct Fixture {
    DataInfo *d = nullptr;
    Tree *tree = nullptr;
    Fixture()
    {
        std::mt19937 rng(12345);
        d = createDataInfo();
        std::strcpy(d->symbols, "ACGT");
        d->nchar = kChars;
        allocTaxaMemory(d, kTaxa);
        initCharInfo(d);
        initializeRawData(d, 0);
        d->flags |= kHaveTaxa | kHaveCharacters;
        for (uint32_t t = 0; t < kTaxa; t++)
            for (uint32_t c = 0; c < kChars; c++)
                setXijRaw(d, t, c, static_cast<uint8_t>(rng() % 4));
        resetParsSettings();
        prepareParsimonyData(d);
        // Random binary tree rooted at taxon 0: join random pairs.
        tree = createTreeForTaxa(kTaxa, kTaxa, true);
        initNodes(tree, kTaxa);
        std::vector<TreeNode *> groups;
        for (uint32_t t = 1; t < kTaxa; t++)
            groups.push_back(tree->firstTip + t);
        uint32_t next = kTaxa + 1;
        while (groups.size() > 1) {
            std::shuffle(groups.begin(), groups.end(), rng);
            TreeNode *a = groups.back();
            groups.pop_back();
            TreeNode *b = groups.back();
            groups.pop_back();
            TreeNode *f = tree->nodes + next++;
            f->firstChild = a;
            a->nextSib = b;
            a->anc = b->anc = f;
            groups.push_back(f);
        }
        tree->root = tree->firstTip;
        tree->root->firstChild = groups[0];
        groups[0]->anc = tree->root;
        afterTreeChange(tree);
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

}  // namespace
