// Storing random trees in a tree buffer with duplicate detection: canonical
// ordering, encoding, hashing and the chain lookup of every tree.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "trees/treebuf.h"
#include "trees/treeutil.h"

namespace {

// One random binary tree rooted at tip 0 as its joins: fork k takes the two
// node positions recorded at 2k and 2k+1.
std::vector<uint32_t> randomJoins(std::mt19937 &rng, uint32_t ntax)
{
    std::vector<uint32_t> groups;
    for (uint32_t t = 1; t < ntax; t++)
        groups.push_back(t + 1);
    std::vector<uint32_t> joins;
    uint32_t nextFork = ntax + 1;
    while (groups.size() > 1) {
        for (int i = 0; i < 2; i++) {
            size_t j = rng() % groups.size();
            joins.push_back(groups[j]);
            groups[j] = groups.back();
            groups.pop_back();
        }
        groups.push_back(nextFork++);
    }
    joins.push_back(groups[0]);  // the basal fork
    return joins;
}

void buildTree(Tree *tree, const std::vector<uint32_t> &joins)
{
    const uint32_t ntax = tree->ntax;
    initNodes(tree, ntax);
    TreeNode *n = tree->nodes;
    for (size_t k = 0; k + 1 < joins.size(); k += 2) {
        TreeNode *fork = n + ntax + 1 + k / 2;
        TreeNode *a = n + joins[k];
        TreeNode *b = n + joins[k + 1];
        fork->firstChild = a;
        a->nextSib = b;
        b->nextSib = nullptr;
        a->anc = b->anc = fork;
    }
    TreeNode *root = n + 1;
    root->firstChild = n + joins.back();
    root->firstChild->anc = root;
    tree->root = root;
}

void runPut(benchmark::State &state, uint32_t ntax, uint32_t count)
{
    std::mt19937 rng(12345);
    std::vector<std::vector<uint32_t>> trees;
    for (uint32_t i = 0; i < count; i++)
        trees.push_back(randomJoins(rng, ntax));
    Tree *tree = createTreeForTaxa(ntax, ntax, false);
    uint64_t stored = 0;
    uint64_t bytes = 0;
    for (auto _ : state) {
        TreeBuffer *buf = createTreeBuffer(ntax, count + 1, false, false, false);
        for (const auto &joins : trees) {
            buildTree(tree, joins);
            uint32_t r = putTree(tree, buf, true);
            benchmark::DoNotOptimize(r);
        }
        stored = buf->numTrees;
        bytes = buf->bytesPerTree;
        destroyTreeBuffer(buf);
    }
    destroyTree(tree, false);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
    state.counters["trees_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * count,
                                                       benchmark::Counter::kIsRate);
    state.counters["stored"] = static_cast<double>(stored);
    state.counters["bytes_per_tree"] = static_cast<double>(bytes);
}

void BM_TreeBufPut50x10k(benchmark::State &state) { runPut(state, 50, 10000); }
void BM_TreeBufPut100x100k(benchmark::State &state) { runPut(state, 100, 100000); }

}  // namespace

BENCHMARK(BM_TreeBufPut50x10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeBufPut100x100k)->Unit(benchmark::kMillisecond);
