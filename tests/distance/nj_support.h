// Trees as split -> length maps, and alignments whose P distances are the
// path lengths of a known tree: every site changes on exactly one edge, so
// two taxa differ at the sites of the edges between them.
#pragma once

#include <algorithm>
#include <functional>
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


// A plain NJ/BioNJ on full matrices, the pair search in the same order.
// With four clusters left the two pairs that split them alike have the
// same criterion; BioNJ's lengths depend on which is joined, and
// complementAtFour joins the other one.
// With `allowed`, a pair whose joined clade it refuses is never chosen.
inline SplitLengths referenceNJ(std::vector<std::vector<double>> D, bool bioNJ, bool complementAtFour,
                                const std::function<bool(const std::string &)> &allowed = nullptr)
{
    const size_t n = D.size();
    std::vector<std::vector<double>> V = D;
    std::vector<std::string> clade(n, std::string(n, '0'));
    for (size_t t = 0; t < n; ++t)
        clade[t][t] = '1';
    SplitLengths out;
    const auto edge = [&](const std::string &c, double len) { out[njtest::normalised(c)] += len; };
    while (D.size() > 2) {
        const size_t r = D.size();
        std::vector<double> R(r, 0.0);
        for (size_t a = 0; a < r; ++a)
            for (size_t b = 0; b < r; ++b)
                R[a] += a == b ? 0.0 : D[a][b];
        size_t i = 0, j = 1;
        if (r > 3) {
            double best = 1e300;
            for (size_t a = 1; a < r; ++a)
                for (size_t b = 0; b < (r == 4 ? 1 : a); ++b)
                    if (double q = (r - 2.0) * D[a][b] - R[a] - R[b]; q < best) {
                        std::string joined = clade[a];
                        for (size_t t = 0; t < n; ++t)
                            if (clade[b][t] == '1')
                                joined[t] = '1';
                        if (!allowed || allowed(joined))
                            best = q, i = b, j = a;
                    }
            if (best == 1e300)
                return {};
        }
        if (r == 4 && complementAtFour) {
            size_t other[2], k = 0;
            for (size_t c = 0; c < 4; ++c)
                if (c != i && c != j)
                    other[k++] = c;
            i = other[0], j = other[1];
        }
        const double bi = D[i][j] / 2 + (R[i] - R[j]) / (2.0 * (r - 2)), bj = D[i][j] - bi;
        double lambda = 0.5;
        if (bioNJ && V[i][j] != 0.0) {
            double s = 0.0;
            for (size_t k = 0; k < r; ++k)
                if (k != i && k != j)
                    s += V[i][k] - V[j][k];
            lambda = std::clamp(0.5 + s / (2.0 * (r - 2) * V[i][j]), 0.0, 1.0);
        }
        edge(clade[i], bi);
        edge(clade[j], bj);
        for (size_t k = 0; k < r; ++k) {
            if (k == i || k == j)
                continue;
            const double dnew = bioNJ ? lambda * (D[j][k] - bj) + (1 - lambda) * (D[i][k] - bi)
                                      : (D[i][k] + D[j][k] - D[i][j]) / 2;
            const double vnew = lambda * V[j][k] + (1 - lambda) * V[i][k] - lambda * (1 - lambda) * V[i][j];
            D[i][k] = D[k][i] = dnew;
            V[i][k] = V[k][i] = vnew;
        }
        for (size_t t = 0; t < n; ++t)
            if (clade[j][t] == '1')
                clade[i][t] = '1';
        for (auto *m : {&D, &V}) {
            m->erase(m->begin() + static_cast<long>(j));
            for (auto &row : *m)
                row.erase(row.begin() + static_cast<long>(j));
        }
        clade.erase(clade.begin() + static_cast<long>(j));
    }
    edge(clade[0], D[0][1]);
    return out;
}

}  // namespace njtest
