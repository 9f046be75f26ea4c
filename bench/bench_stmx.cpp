// Cost-vector scoring: a full pass of a 100-taxon x 10,000-character matrix
// of 4-state symmetric stepmatrix characters on a random tree (the work of
// phangorn's sankoff() on the same sizes), and the lengths of 100 random
// rooted user trees of 50 taxa x 1,000 binary characters, all Dollo or all
// irreversible with ancestor 0 (the work of PHYLIP dollop and mix given those
// trees). bench/stmx_peers.py times the peers on data of the same sizes.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "data/usertypes.h"
#include "parsimony/treelen.h"
#include "trees/treeedit.h"

#include "bench_support.h"

namespace {

// Costs 0-1 and 2-3 one step, the rest two: a metric.
struct PairsType {
    UserType ut{};
    char symbols[5] = "ACGT";
    int16_t cells[16];
    int16_t *rows[4];
    PairsType()
    {
        for (int i = 0; i < 4; i++) {
            rows[i] = cells + 4 * i;
            for (int j = 0; j < 4; j++)
                cells[4 * i + j] = static_cast<int16_t>(i == j ? 0 : (i / 2 == j / 2) ? 1 : 2);
        }
        ut.symbols = symbols;
        ut.intCosts = rows;
        ut.n = 4;
    }
};

void BM_StepmatrixFullPass(benchmark::State &state)
{
    constexpr uint32_t kTaxa = 100, kChars = 10000;
    static PairsType type;
    std::mt19937 rng(38);
    DataInfo *d = createDnaMatrix(kTaxa, kChars);
    std::memcpy(d->parsSymbols, d->symbols, 5);
    for (uint32_t t = 0; t < kTaxa; t++)
        for (uint32_t c = 0; c < kChars; c++)
            setXijRaw(d, t, c, static_cast<uint8_t>(rng() % 4));
    for (uint32_t c = 0; c < kChars; c++) {
        d->status[c] = (d->status[c] & ~kCharTypeMask) | kCharUserType;
        d->userTypes[c] = &type.ut;
    }
    resetParsSettings();
    prepareParsimonyData(d);
    Tree *tree = randomBinaryTree(kTaxa, rng);
    pointTreeAtPackedData(tree, d);
    double len = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(len = calcTreeLength(d, tree, true, false));
    state.counters["length"] = len;
    destroyTree(tree, true);
    deallocPackedData(d);
    destroyDataInfo(d);
}
BENCHMARK(BM_StepmatrixFullPass)->Unit(benchmark::kMillisecond);

// First argument: the character type (Dollo or irreversible).
void BM_DirectedUserTrees(benchmark::State &state)
{
    constexpr uint32_t kTaxa = 50, kChars = 1000, kTrees = 100;
    std::mt19937 rng(39);
    DataInfo *d = createDnaMatrix(kTaxa, kChars);
    std::strcpy(d->symbols, "01");
    std::strcpy(d->parsSymbols, "01");
    for (uint32_t t = 0; t < kTaxa; t++)
        for (uint32_t c = 0; c < kChars; c++)
            setXijRaw(d, t, c, static_cast<uint8_t>(rng() % 2));
    const auto type = static_cast<uint32_t>(state.range(0));
    for (uint32_t c = 0; c < kChars; c++) {
        d->status[c] = (d->status[c] & ~kCharTypeMask) | type;
        d->ancestor[c] = 0;
    }
    resetParsSettings();
    prepareParsimonyData(d);
    // Random rooted trees: a random binary tree hung under the ancestor.
    std::vector<Tree *> trees;
    for (uint32_t k = 0; k < kTrees; k++) {
        Tree *t = randomBinaryTree(kTaxa, rng);
        TreeNode *tip0 = t->root, *top = tip0->firstChild, *anc = t->nodes;
        TreeNode *f = t->nodes + 2 * kTaxa - 1;  // the one fork the unrooted tree leaves free
        tip0->firstChild = nullptr;
        f->firstChild = top;
        top->nextSib = tip0;
        top->anc = tip0->anc = f;
        anc->firstChild = f;
        f->anc = anc;
        t->root = anc;
        t->flags |= kTreeRootedAtAnc;
        afterTreeChange(t);
        pointTreeAtPackedData(t, d);
        trees.push_back(t);
    }
    state.SetLabel(type == kCharDollo ? "Dollo" : "irreversible");
    double sum = 0;
    for (auto _ : state) {
        sum = 0;
        for (Tree *t : trees)
            sum += state.range(1) ? calcTreeLengthOnly(d, t, false) : calcTreeLength(d, t, true, false);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["lengths"] = sum;
    for (Tree *t : trees)
        destroyTree(t, true);
    deallocPackedData(d);
    destroyDataInfo(d);
}
// Second argument: 1 for the lengths-only pass (bits), 0 for the cost vectors.
BENCHMARK(BM_DirectedUserTrees)
    ->ArgsProduct({{kCharDollo, kCharIrreversible}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
