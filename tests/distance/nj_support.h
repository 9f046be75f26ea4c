// Trees as split -> length maps, and alignments whose P distances are the
// path lengths of a known tree: every site changes on exactly one edge, so
// two taxa differ at the sites of the edges between them.
#pragma once

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "trees/treeutil.h"

namespace njtest {

// A split as the 0/1 string of its taxa, written from the side without
// taxon 0.
using SplitLengths = std::map<std::string, double>;

inline std::string normalised(std::string side)
{
    if (side[0] == '1')
        for (char &c : side)
            c = c == '1' ? '0' : '1';
    return side;
}

// Every edge of the tree with its length; an unrooted tree held at a tip
// and a rooted tree (whose two root edges count as one) alike.
inline SplitLengths treeSplits(Tree *tree, uint32_t ntax)
{
    SplitLengths out;
    std::vector<std::string> below(tree->maxNodes, std::string(ntax, '0'));
    checkTraversalSeq(tree);
    std::vector<TreeNode *> order;
    for (TreeNode *p = tree->root; p; p = p->next)
        order.push_back(p);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        TreeNode *p = *it;
        std::string &set = below[nodePosition(tree, p)];
        if (!p->firstChild && p->index >= 0)
            set[p->index] = '1';
        for (TreeNode *c = p->firstChild; c; c = c->nextSib) {
            const std::string &cs = below[nodePosition(tree, c)];
            for (uint32_t t = 0; t < ntax; ++t)
                if (cs[t] == '1')
                    set[t] = '1';
        }
        // The edge to the ancestor node of a rooted tree is no edge of the
        // unrooted tree.
        if (p->anc && p->anc->index >= 0)
            out[normalised(set)] += p->edge.brlen;
    }
    return out;
}

// A random binary tree over ntax taxa with distinct integer edge counts;
// ultrametric when asked (the counts are then height differences).
struct TrueTree {
    SplitLengths splits;                // in site counts
    std::vector<std::string> seqs;
    uint32_t nchar = 0;
    std::vector<std::pair<std::string, double>> heights;  // clade -> height (ultrametric)
};

inline TrueTree makeAdditiveData(uint32_t ntax, uint32_t seed, bool ultrametric)
{
    std::mt19937 rng(seed);
    // Clusters joined at random, bottom up; each cluster has its taxa and
    // its height.
    struct Cluster {
        std::string taxa;
        int height;
    };
    std::vector<Cluster> live;
    for (uint32_t t = 0; t < ntax; ++t) {
        Cluster c{std::string(ntax, '0'), 0};
        c.taxa[t] = '1';
        live.push_back(c);
    }
    TrueTree truth;
    std::vector<std::pair<std::string, int>> edges;  // clade below the edge, count
    int nextCount = 1;
    int height = 0;
    while (live.size() > 1) {
        std::uniform_int_distribution<size_t> pick(0, live.size() - 1);
        size_t a = pick(rng), b = pick(rng);
        while (b == a)
            b = pick(rng);
        Cluster &ca = live[a], &cb = live[b];
        Cluster joined{ca.taxa, 0};
        for (uint32_t t = 0; t < ntax; ++t)
            if (cb.taxa[t] == '1')
                joined.taxa[t] = '1';
        if (ultrametric) {
            height = std::max({height, ca.height, cb.height}) + 1 + static_cast<int>(rng() % 3);
            joined.height = height;
            edges.emplace_back(ca.taxa, height - ca.height);
            edges.emplace_back(cb.taxa, height - cb.height);
            truth.heights.emplace_back(joined.taxa, height);
        } else {
            edges.emplace_back(ca.taxa, nextCount++);
            edges.emplace_back(cb.taxa, nextCount++);
        }
        if (a > b)
            std::swap(a, b);
        live.erase(live.begin() + static_cast<long>(b));
        live[a] = joined;
    }
    for (const auto &[clade, count] : edges) {
        truth.splits[normalised(clade)] += count;
        truth.nchar += static_cast<uint32_t>(count);
    }
    truth.seqs.assign(ntax, std::string());
    for (const auto &[clade, count] : edges)
        for (uint32_t t = 0; t < ntax; ++t)
            truth.seqs[t] += std::string(static_cast<size_t>(count), clade[t] == '1' ? 'C' : 'A');
    return truth;
}

}  // namespace njtest
