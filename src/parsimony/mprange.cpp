#include "parsimony/mprange.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <span>

#include "data/vorn_data.h"
#include "parsimony/dollo_search.h"
#include "parsimony/packx.h"
#include "parsimony/pars_util.h"
#include "parsimony/stmx.h"
#include "trees/treeutil.h"

namespace {

constexpr double kImpossible = 1e30;
// Real weights and stepmatrix-free costs still sum to values a few ulps
// apart along different paths; lengths closer than this are equal.
constexpr double kTie = 1e-9;

bool isTaxonNode(const TreeNode *n, const DataInfo *d)
{
    return isActiveTaxonIndex(d, n->index);
}

// The states a node is held to: a taxon's cell, or the states a one-child
// root (the ancestor, or a taxon the tree is held at) keeps; empty = free.
StmIndexSet fixedStates(const Tree *tree, const DataInfo *d, const TreeNode *n, uint32_t c)
{
    // A character whose nodes hold pairs of states is read by its indices.
    const bool pairs = stmHoldsPairs(d, c);
    if (isTaxonNode(n, d)) {
        if (pairs)
            return stmCellIndices(d, c, n->index);
        // A Dollo or irreversible cell unsure of some steps leaves every
        // state between its lowest and highest open, as the lengths score it.
        if (const StmChar *sc = stmCharOf(d, c); sc && !sc->userType)
            if (const uint64_t span = stmIndexRawStates(d, c, stmCellIndices(d, c, n->index)))
                return StmIndexSet::ofWord(span);
        const uint64_t cell = getXijAsBits(d, n->index, c, nullptr);
        // An ordered cell of several states, uncertain or polymorphic, spans
        // them, as it is packed and scored: a neighbour anywhere in the span
        // meets it at no step.
        if ((d->status[c] & kCharTypeMask) == kCharOrdered && (cell & (cell - 1)) && cell != ~uint64_t{0}) {
            const auto lo = static_cast<uint32_t>(std::countr_zero(cell));
            const auto hi = static_cast<uint32_t>(63 - std::countl_zero(cell));
            return StmIndexSet::ofWord((hi >= 63 ? ~uint64_t{0} : (uint64_t{1} << (hi + 1)) - 1) &
                                       ~((uint64_t{1} << lo) - 1));
        }
        return StmIndexSet::ofWord(cell);
    }
    if (n == tree->root && n->firstChild && !n->firstChild->nextSib)
        return pairs ? stmRecordIndices(d, nodeSets(n->abm[0]), c)
                     : StmIndexSet::ofWord(getStatesOrMPRset(d, n, c, false));
    return {};
}

// Cost tables of one character over k states, laid out node position x k.
struct CharTables {
    uint32_t k = 0;
    std::vector<double> cost;  // k x k: from ancestor state (row) to node state
    std::vector<double> down;  // subtree below and including the node, by its state
    std::vector<double> toAnc; // the subtree with its branch, by the ancestor's state
    std::vector<double> rest;  // the tree outside the subtree, by the ancestor's state
    std::vector<double> above; // the tree outside the subtree, by the node's own state
};

// An ancestor that leaves a Dollo character open between several states
// charges them as the tree's length does (its cost vector: the gains that
// reach each from the most primitive, each offset by one loss, so that none
// counts a step). Pinning it to the most primitive one would leave out the
// reconstructions in which it takes another at the same length. False when
// the ancestor holds one state.
bool openDolloAncestorCosts(const Tree *tree, const DataInfo *d, const TreeNode *n, uint32_t c, uint32_t k,
                            double *out)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc || !sc->dollo || n != tree->root || n->index >= 0 || !n->firstChild || n->firstChild->nextSib)
        return false;
    std::vector<int64_t> V(kStmVecRoom);
    stmCharVector(d, &packedData(d)->nodeRecs[0], *sc, V.data());
    if (std::count_if(V.begin(), V.begin() + sc->n, [](int64_t v) { return v < kStmImpossible; }) < 2)
        return false;
    for (uint32_t s = 0; s < k; s++) {
        const int x = sc->pairs ? static_cast<int>(s) : stmIndexOfRaw(d, *sc, s);
        out[s] = x >= 0 && V[static_cast<size_t>(x)] < kStmImpossible ? static_cast<double>(V[static_cast<size_t>(x)])
                                                                      : kImpossible;
    }
    return true;
}

// A terminal of a character whose nodes hold pairs of states, or a
// polymorphic terminal of any character scored by its costs, is charged as
// the tree's length charges it: a polymorphic one by the state it is met in
// (an irreversible (013) with ancestor 2 only in 2, from which it reaches
// all three).
bool stmTipCosts(const DataInfo *d, const TreeNode *n, uint32_t c, uint32_t k, double *out)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc || !isTaxonNode(n, d))
        return false;
    if (!sc->pairs) {
        const uint64_t cell = getXijAsBits(d, n->index, c, nullptr);
        if (!sc->polyTips || !(cell & (cell - 1)) || cell == ~uint64_t{0} || !isPolymorphicMST(n->index, c, d))
            return false;
    } else if (sc->n != k) {
        return false;
    }
    std::vector<int64_t> V(kStmVecRoom);
    stmCharVector(d, &packedData(d)->nodeRecs[1 + static_cast<size_t>(n->index)], *sc, V.data());
    for (uint32_t s = 0; s < k; s++) {
        const int x = sc->pairs ? static_cast<int>(s) : stmIndexOfRaw(d, *sc, s);
        out[s] = x >= 0 && V[static_cast<size_t>(x)] < kStmImpossible ? static_cast<double>(V[static_cast<size_t>(x)])
                                                                      : kImpossible;
    }
    return true;
}

void downPass(const Tree *tree, const DataInfo *d, uint32_t c, std::span<const TreeNode *const> preorder,
              CharTables &t)
{
    const uint32_t k = t.k;
    const StmIndexSet all = StmIndexSet::below(k);
    for (auto it = preorder.rbegin(); it != preorder.rend(); ++it) {
        const TreeNode *n = *it;
        const size_t p = static_cast<size_t>(nodePosition(tree, n)) * k;
        const StmIndexSet fixed = fixedStates(tree, d, n, c) & all;
        if (!openDolloAncestorCosts(tree, d, n, c, k, &t.down[p]) && !stmTipCosts(d, n, c, k, &t.down[p]))
            for (uint32_t s = 0; s < k; s++)
                t.down[p + s] = fixed.any() && !fixed.test(s) ? kImpossible : 0.0;
        for (const TreeNode *ch = n->firstChild; ch; ch = ch->nextSib) {
            const size_t q = static_cast<size_t>(nodePosition(tree, ch)) * k;
            for (uint32_t s = 0; s < k; s++)
                t.down[p + s] += t.toAnc[q + s];
        }
        if (n == tree->root)
            break;
        for (uint32_t s = 0; s < k; s++) {
            double best = kImpossible;
            for (uint32_t a = 0; a < k; a++)
                best = std::min(best, t.cost[s * k + a] + t.down[p + a]);
            t.toAnc[p + s] = best;
        }
    }
}

void upPass(const Tree *tree, uint32_t k, CharTables &t)
{
    const size_t r = static_cast<size_t>(nodePosition(tree, tree->root)) * k;
    std::fill_n(t.above.begin() + static_cast<std::ptrdiff_t>(r), k, 0.0);
    for (const TreeNode *n = tree->root->next; n; n = n->next) {
        const size_t p = static_cast<size_t>(nodePosition(tree, n)) * k;
        const size_t a = static_cast<size_t>(nodePosition(tree, n->anc)) * k;
        // The ancestor's own subtree less this branch, plus all above it.
        for (uint32_t b = 0; b < k; b++)
            t.rest[p + b] = std::min(kImpossible, t.down[a + b] - t.toAnc[p + b] + t.above[a + b]);
        for (uint32_t s = 0; s < k; s++) {
            double best = kImpossible;
            for (uint32_t b = 0; b < k; b++)
                best = std::min(best, t.rest[p + b] + t.cost[b * k + s]);
            t.above[p + s] = best;
        }
    }
}

}  // namespace

std::vector<BranchLengthRange> possibleBranchLengths(const Tree *tree, const DataInfo *d)
{
    std::vector<BranchLengthRange> out(tree->maxNodes);
    const PackedData *pd = packedData(d);
    if (!pd || !tree->root)
        return out;
    std::vector<const TreeNode *> preorder;
    for (const TreeNode *n = tree->root; n; n = n->next)
        preorder.push_back(n);
    CharTables t;
    const uint32_t symbols = std::clamp<uint32_t>(static_cast<uint32_t>(std::strlen(d->symbols)), 1, 64);
    auto size = [&](uint32_t k) {
        t.k = k;
        const size_t cells = static_cast<size_t>(tree->maxNodes) * k;
        t.down.assign(cells, 0.0);
        t.toAnc.assign(cells, 0.0);
        t.rest.assign(cells, 0.0);
        t.above.assign(cells, 0.0);
        t.cost.assign(static_cast<size_t>(k) * k, 0.0);
    };
    size(symbols);
    // The characters the steps score take their ranges from the steps.
    const bool bySteps = dolStepsFitTree(d, tree);
    if (bySteps)
        dolBLRange(d, tree, out);
    for (uint32_t c = 0; c < d->nchar && c < pd->slots.size(); c++) {
        const StmChar *sc = stmCharOf(d, c);
        if (!isCharIncluded(d, c) || (!pd->slots[c].width && !sc) || (bySteps && dolStepsHoldChar(d, c)))
            continue;
        // A two-state unordered character packed as ordered still costs one
        // step per change. The cost-vector class is scored in its own units
        // (Dollo: a gain outweighs any losses) and its steps converted.
        const bool ordered = (d->status[c] & kCharTypeMask) == kCharOrdered;
        const bool pairs = sc && sc->pairs;
        const bool stateTree = isStateTreeChar(d, c);
        const std::vector<uint64_t> cst = stateTree ? cstNodeMasks(d, c, symbols) : std::vector<uint64_t>{};
        if (const uint32_t want = pairs ? sc->n : std::max(symbols, static_cast<uint32_t>(cst.size())); want != t.k)
            size(want);
        const uint32_t k = t.k;
        for (uint32_t a = 0; a < k; a++)
            for (uint32_t b = 0; b < k; b++) {
                double &x = t.cost[a * k + b];
                if (sc) {
                    const int64_t u = pairs ? stmIndexChangeUnits(d, c, a, b) : stmChangeUnits(d, c, a, b);
                    x = u >= kStmImpossible ? kImpossible : static_cast<double>(u);
                } else if (stateTree) {
                    // A state-tree character's states are the nodes of its tree.
                    const bool known = cst[a] != kNoStateMask && cst[b] != kNoStateMask;
                    x = known ? std::popcount(cst[a] ^ cst[b]) : kImpossible;
                } else {
                    x = a == b ? 0.0 : ordered ? std::abs(static_cast<double>(a) - b) : 1.0;
                }
            }
        auto steps = [&](double units) {
            return sc ? stmUnitsToLength(*sc, static_cast<int64_t>(units)) : units;
        };
        downPass(tree, d, c, preorder, t);
        upPass(tree, k, t);
        const size_t r = static_cast<size_t>(nodePosition(tree, tree->root)) * k;
        const double best = *std::min_element(t.down.begin() + static_cast<std::ptrdiff_t>(r),
                                              t.down.begin() + static_cast<std::ptrdiff_t>(r + k));
        const double w = pd->slots[c].weight;
        for (const TreeNode *n = tree->root->next; n; n = n->next) {
            const size_t p = static_cast<size_t>(nodePosition(tree, n)) * k;
            double lo = kImpossible, hi = 0.0;
            // A terminal charged by its costs (a polymorphic one: its tree
            // over its states met in state a, less its least, which is
            // counted inside it) adds that charge to its branch.
            const bool tip = n->firstChild == nullptr;
            for (uint32_t b = 0; b < k; b++) {
                for (uint32_t a = 0; a < k; a++) {
                    const double step = t.cost[b * k + a] + (tip ? t.down[p + a] : 0.0);
                    if (t.rest[p + b] + step + (tip ? 0.0 : t.down[p + a]) > best + kTie)
                        continue;
                    lo = std::min(lo, steps(step));
                    hi = std::max(hi, steps(step));
                }
            }
            if (lo < kImpossible) {
                out[nodePosition(tree, n)].min += w * lo;
                out[nodePosition(tree, n)].max += w * hi;
            }
        }
    }
    return out;
}
