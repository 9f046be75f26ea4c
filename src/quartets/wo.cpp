// WO: stepwise insertion. Each taxon still to be placed is scored on every
// edge of the growing tree through per-node s-values S[u][d][t], the weight
// of the topologies t a | b c with a, b, c in the three directions around u
// and a in direction d (0 first child, 1 second child, 2 upwards). After an
// insertion only the triples through the new taxon are added.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>
#include <vector>

#include "qel/qel_interrupts.h"
#include "qel/qel_math.h"
#include "qel/qel_output.h"
#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "quartets/qmethods.h"
#include "quartets/quartets.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

std::string weightText(double x)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", x);
    return buf;
}

struct Wo {
    QuartetData *qd;
    const QwtTable *t;
    uint32_t n;
    uint32_t words;
    Tree *tree;
    std::vector<double> S{};   // [position][direction][taxon]
    std::vector<double> down{}, up{};
    std::vector<uint64_t> placed{};
    std::vector<uint32_t> members[3]{};

    double &s(uint32_t pos, uint32_t dir, uint32_t taxon) { return S[(uint64_t{pos} * 3 + dir) * n + taxon]; }

    void listMembers(const uint64_t *set, std::vector<uint32_t> &out) const
    {
        out.clear();
        for (uint32_t w = 0; w < words; w++)
            for (uint64_t b = set[w]; b; b &= b - 1)
                out.push_back(w * 64 + static_cast<uint32_t>(std::countr_zero(b)));
    }

    // Adds, for every remaining taxon, the triples around every internal
    // node that contain the last inserted taxon L.
    void addTriplesThrough(uint32_t L, const uint32_t *remaining, uint32_t nrem)
    {
        std::vector<uint64_t> rest(words);
        for (TreeNode *u = tree->root; u; u = u->next) {
            const TreeNode *c1 = u->firstChild;
            if (!c1 || !c1->nextSib)
                continue;
            const TreeNode *c2 = c1->nextSib;
            bitVecSubtract(placed.data(), u->leafSet, rest.data(), words);
            listMembers(c1->leafSet, members[0]);
            listMembers(c2->leafSet, members[1]);
            listMembers(rest.data(), members[2]);
            // The direction holding L, and the two others.
            const uint32_t dl = isBitVecMember(c1->leafSet, L) ? 0 : isBitVecMember(c2->leafSet, L) ? 1 : 2;
            const uint32_t d1 = dl == 0 ? 1 : 0, d2 = dl == 2 ? 1 : 2;
            const uint32_t pos = nodePosition(tree, u);
            for (uint32_t r = 0; r < nrem; r++) {
                const uint32_t tx = remaining[r];
                double toD1 = 0.0, toD2 = 0.0, toL = 0.0;
                for (uint32_t a : members[d1]) {
                    if (a == L)
                        continue;
                    for (uint32_t b : members[d2]) {
                        if (b == L)
                            continue;
                        toD1 += getQuartetWt(t, tx, a, b, L);
                        toD2 += getQuartetWt(t, tx, b, a, L);
                        toL += getQuartetWt(t, tx, L, a, b);
                    }
                }
                s(pos, d1, tx) += toD1;
                s(pos, d2, tx) += toD2;
                s(pos, dl, tx) += toL;
            }
        }
    }

    // Edge scores of taxon tx; the first node in preorder with the largest
    // score, its score and the second largest among the other edges.
    void scoreEdges(uint32_t tx, TreeNode **bestNode, double *best, double *second)
    {
        TreeNode *fork = tree->root->firstChild;
        for (TreeNode *p = tree->tail; p; p = p->prev) {
            const uint32_t pos = nodePosition(tree, p);
            if (!p->firstChild) {
                down[pos] = 0.0;
                continue;
            }
            if (p == tree->root)
                continue;
            const TreeNode *c1 = p->firstChild, *c2 = c1->nextSib;
            down[pos] = s(pos, 2, tx) + down[nodePosition(tree, c1)] + down[nodePosition(tree, c2)];
        }
        up[nodePosition(tree, fork)] = 0.0;
        *best = -1.0;
        *second = -1.0;
        *bestNode = nullptr;
        for (TreeNode *p = fork; p; p = p->next) {
            const uint32_t pos = nodePosition(tree, p);
            if (p->firstChild) {
                TreeNode *c1 = p->firstChild, *c2 = c1->nextSib;
                up[nodePosition(tree, c1)] = s(pos, 0, tx) + down[nodePosition(tree, c2)] + up[pos];
                up[nodePosition(tree, c2)] = s(pos, 1, tx) + down[nodePosition(tree, c1)] + up[pos];
            }
            const double score = down[pos] + up[pos];
            if (score > *best) {
                *second = *best;
                *best = score;
                *bestNode = p;
            } else if (score > *second) {
                *second = score;
            }
        }
    }

    // One replicate in the given order; the tree's support.
    int replicate(std::vector<uint32_t> &order, bool dynamic, double *support)
    {
        std::fill(S.begin(), S.end(), 0.0);
        if (make3Tree(tree, n, static_cast<int32_t>(order[0]), order[1], order[2]) != 0)
            return 1;
        makeAllLeafSets(tree);
        std::fill(placed.begin(), placed.end(), 0);
        for (int k = 0; k < 3; k++)
            addBitVecMember(placed.data(), order[k]);
        *support = 0.0;
        uint32_t L = order[2];
        uint32_t nextFork = n + 2;  // make3Tree used position n + 1
        for (uint32_t first = 3; first < n; first++) {
            if (getAbortedStatus() && confirmAbortRequest())
                return 2;
            addTriplesThrough(L, order.data() + first, n - first);
            uint32_t winner = first;
            TreeNode *edge = nullptr;
            double score = 0.0, bestMargin = 0.0;
            for (uint32_t r = first; r < (dynamic ? n : first + 1); r++) {
                TreeNode *node;
                double best, second;
                scoreEdges(order[r], &node, &best, &second);
                // 0/0 (no weight either way) is a margin of 0.
                const double margin = best + second != 0.0 ? (best - second) / (best + second) : 0.0;
                if (!edge || compareDoubles(margin, bestMargin, 1e-10) > 0) {
                    winner = r, edge = node, score = best, bestMargin = margin;
                }
            }
            *support += score;
            std::swap(order[first], order[winner]);
            L = order[first];
            TreeNode *leaf = tree->firstTip + L;
            if (binConnectLeaf(leaf, edge, tree->nodes + nextFork++) != 0)
                return 1;
            tree->numLeaves++;
            setTraversalSeq(tree);
            addNewLeafToLeafsets(tree, leaf);
            addBitVecMember(placed.data(), L);
        }
        tree->flags |= kTreeBinary | kTreeLeafSetsValid;
        tree->flags &= ~kTreeIncludedValid;
        return 0;
    }
};

}  // namespace

int qsearch_WO(QuartetData *qd, Tree *tree, RNG *rng, const WoOptions &options)
{
    const QwtTable *t = qd->table;
    const uint32_t n = t->n;
    try {
        Wo wo{qd, t, n, setWordCount(n), tree};
        wo.S.assign(uint64_t{tree->maxNodes} * 3 * n, 0.0);
        wo.down.assign(tree->maxNodes, 0.0);
        wo.up.assign(tree->maxNodes, 0.0);
        wo.placed.assign(tree->wordsPerLeafSet, 0);
        wo.words = tree->wordsPerLeafSet;
        TreeHandle best;
        const uint32_t nreps = options.random ? std::max(options.nreps, 1u) : 1u;
        if (nreps > 1 && !(best = TreeHandle(createTreeForTaxa(tree->ntax, tree->ntax, true))))
            return 1;
        const bool show = options.random && nreps > 1 && options.showReps;
        if (show) {
            qel_printf("%10s%16s%16s\n", "rep", "inconsistent", "consistent");
            qel_printf("%s\n", std::string(42, '-').c_str());
        }
        double bestSupport = -1.0, bestIncompat = DBL_MAX;
        uint32_t bestRep = 0;
        std::vector<uint32_t> order(n);
        for (uint32_t rep = 0; rep < nreps; rep++) {
            for (uint32_t k = 0; k < n; k++)
                order[k] = k;
            if (options.random)
                randomUIntShuffle(rng, order.data(), n);
            double support = 0.0;
            const int rc = wo.replicate(order, !options.random, &support);
            if (rc != 0)
                return rc;
            if (nreps == 1)
                break;
            if (support > bestSupport) {
                bestSupport = support;
                bestRep = rep;
                if (copyTree(tree, best.get()) != 0)
                    return 1;
            }
            const double bad = calcQwtIncompat(qd->table, support);
            if (show) {
                if (qd->weighted)
                    qel_printf("%10u%16s%16s\n", rep + 1, weightText(bad).c_str(), weightText(support).c_str());
                else
                    qel_printf("%10u%16.10g%16.10g\n", rep + 1, bad, support);
            }
            bestIncompat = std::min(bestIncompat, bad);
        }
        if (show)
            qel_printf("\nbest incomp = %g (rep=%u)\n\n", bestIncompat, bestRep + 1);
        if (nreps > 1 && copyTree(best.get(), tree) != 0)
            return 1;
        return 0;
    } catch (const std::bad_alloc &) {
        return 1;
    }
}
