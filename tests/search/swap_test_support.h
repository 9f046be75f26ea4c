// Helpers of the swapping tests: the splits of a tree as a comparable
// value, random multistate data and random binary trees ready to swap.
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <random>

#include "parsimony/pars_test_support.h"
#include "search/search_fixture.h"
#include "search/swap.h"

namespace swaptest {

using Splits = std::vector<uint64_t>;

// Nontrivial splits of an unrooted tree over taxa 0..n-1 (adjacency lists,
// vertices 0..n-1 the leaves), each written without taxon 0.
inline Splits splitsOf(const std::vector<std::vector<int>> &adj, uint32_t n)
{
    const uint64_t all = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    Splits out;
    std::function<uint64_t(int, int)> walk = [&](int v, int from) -> uint64_t {
        uint64_t m = v < static_cast<int>(n) ? uint64_t{1} << v : 0;
        for (int w : adj[v])
            if (w != from)
                m |= walk(w, v);
        if (from >= 0) {
            uint64_t s = (m & 1) ? all & ~m : m;
            if (std::popcount(s) > 1 && std::popcount(s) < static_cast<int>(n) - 1)
                out.push_back(s);
        }
        return m;
    };
    walk(0, -1);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

inline std::vector<std::vector<int>> adjacencyOf(const Tree *tree)
{
    std::vector<std::vector<int>> adj(tree->maxNodes);
    auto id = [&](const TreeNode *x) {
        return x->index >= 0 && x->index < int(tree->ntax) ? x->index : int(nodePosition(tree, x)) + int(tree->ntax);
    };
    adj.resize(tree->maxNodes + tree->ntax);
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        const TreeNode *x = tree->nodes + p;
        if (x->anc) {
            adj[id(x)].push_back(id(x->anc));
            adj[id(x->anc)].push_back(id(x));
        }
    }
    return adj;
}

inline Splits treeSplits(const Tree *tree) { return splitsOf(adjacencyOf(tree), tree->ntax); }

// Every unrooted binary tree of ntax taxa, by inserting taxa one by one at
// every edge; fn sees each with its traversal set.
inline void forEachBinaryTree(uint32_t ntax, const std::function<void(Tree *)> &fn)
{
    TreePtr t(createTreeForTaxa(ntax, ntax, true));
    make3Tree(t.get(), ntax, 0, 1, 2);
    std::function<void(uint32_t)> grow = [&](uint32_t next) {
        setTraversalSeq(t.get());
        if (next == ntax) {
            fn(t.get());
            return;
        }
        std::vector<uint32_t> edges;
        for (TreeNode *e = t->root->next; e; e = e->next)
            edges.push_back(nodePosition(t.get(), e));
        for (uint32_t pos : edges) {
            TreeNode *leaf = nodeOfIndex(t.get(), static_cast<int32_t>(next));
            ASSERT_EQ(binConnectLeaf(leaf, t->nodes + pos, findFreeNode(t.get())), 0);
            grow(next + 1);
            binPruneLeaf(leaf);
            setTraversalSeq(t.get());
        }
    };
    grow(3);
}

// The shortest length over every unrooted binary tree (that keep admits).
inline double exhaustiveBest(DataInfo *data, uint32_t ntax, const std::function<bool(Tree *)> &keep = {})
{
    double best = 1e37;
    forEachBinaryTree(ntax, [&](Tree *t) {
        if (keep && !keep(t))
            return;
        pointTreeAtPackedData(t, data);
        best = std::min(best, calcParsimonyScore(data, t, false));
    });
    return best;
}

}  // namespace swaptest

class SwapTest : public SearchTest {
protected:
    // Random multistate data: ordered and unordered characters, weights,
    // missing and polymorphic cells.
    DataInfo *randomData(std::mt19937 &rng, uint32_t ntax, uint32_t nchar, bool weights)
    {
        dropData();
        const uint32_t ns = 2 + rng() % 6;
        data = makeRandomParsData(rng, ntax, nchar, ns, weights);
        return data;
    }

    // A random binary tree rooted at tip 0, sets ready; lend sets the
    // basal fork's up slot to the root as trees from the buffer have it.
    TreePtr randomTree(std::mt19937 &rng, uint32_t ntax, bool lend)
    {
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        initNodes(t.get(), ntax);
        std::vector<TreeNode *> groups;
        for (uint32_t k = 1; k < ntax; k++)
            groups.push_back(t->firstTip + k);
        uint32_t nextFork = ntax + 1;
        while (groups.size() > 1) {
            TreeNode *f = t->nodes + nextFork++;
            TreeNode *pair[2];
            for (auto &p : pair) {
                size_t j = rng() % groups.size();
                p = groups[j];
                groups.erase(groups.begin() + static_cast<long>(j));
            }
            f->firstChild = pair[0];
            pair[0]->nextSib = pair[1];
            pair[0]->anc = pair[1]->anc = f;
            groups.push_back(f);
        }
        t->root = t->firstTip;
        t->root->firstChild = groups[0];
        groups[0]->anc = t->root;
        afterTreeChange(t.get());
        if (data)
            pointTreeAtPackedData(t.get(), data);
        if (lend) {
            TreeNode *b = t->root->firstChild;
            t->displacedSlot = b->abm[1];
            b->abm[1] = t->root->abm[0];
        }
        if (data)
            prepareTreeForSwapping(t.get(), data);
        return t;
    }
};
