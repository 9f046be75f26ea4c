#include "distance/lsfit.h"

#include <algorithm>
#include <limits>
#include <cmath>
#include <cstdint>

#include "distance/distance_settings.h"
#include "qel/qel_detmath.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_linalg.h"
#include "search/scores.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

// Branch b of the fit is the edge above working node b + 1 (node 0 is the
// root leaf). Leaves are addressed by their position in the leaf order, so
// that the subtree of a node is one contiguous range; the pair sums of the
// fit read one taxon's row of a square copy of the matrix at a time.

namespace {

constexpr double kNoScore = 1e37;
constexpr double kMultiplierTol = -1e-8;

bool isTaxonNode(const Tree *tree, const TreeNode *x)
{
    return x->index >= 0 && static_cast<uint32_t>(x->index) < tree->ntax && (isTip(x) || x == tree->root);
}

// ---------------------------------------------------------------------------
// The working tree

int buildWorkTree(LSData *ls, Tree *tree)
{
    checkTraversalSeq(tree);
    LSWorkTree &w = ls->wt;
    const uint32_t M = tree->maxNodes;
    w.adjStart.assign(M + 1, 0);
    uint32_t nEdges = 0;
    TreeNode *first = nullptr;
    for (TreeNode *x = tree->root; x; x = x->next) {
        if (!first && isTaxonNode(tree, x))
            first = x;
        if (x->anc) {
            w.adjStart[nodePosition(tree, x) + 1]++;
            w.adjStart[nodePosition(tree, x->anc) + 1]++;
            nEdges++;
        }
    }
    if (!first)
        return 1;
    for (uint32_t p = 0; p < M; p++)
        w.adjStart[p + 1] += w.adjStart[p];
    w.adj.resize(2 * nEdges);
    w.adjEdge.resize(2 * nEdges);
    w.stack.assign(w.adjStart.begin(), w.adjStart.end() - 1);  // fill cursors
    for (TreeNode *x = tree->root; x; x = x->next)
        if (x->anc) {
            const uint32_t a = nodePosition(tree, x), b = nodePosition(tree, x->anc);
            w.adj[w.stack[a]] = b, w.adjEdge[w.stack[a]++] = x;
            w.adj[w.stack[b]] = a, w.adjEdge[w.stack[b]++] = x;
        }
    // Depth-first order from the working root.
    TreeNode *r = isTaxonNode(tree, tree->root) ? tree->root : first;
    const uint32_t rp = nodePosition(tree, r);
    w.order.clear();
    w.dfsParent.assign(M, -1);
    w.parentEdge.assign(M, nullptr);
    w.seen.assign(M, 0);
    w.stack.clear();
    w.stack.push_back(rp);
    w.seen[rp] = 1;
    while (!w.stack.empty()) {
        const uint32_t x = w.stack.back();
        w.stack.pop_back();
        w.order.push_back(x);
        // Pushed in reverse so that children keep the tree's sibling order.
        for (uint32_t k = w.adjStart[x + 1]; k-- > w.adjStart[x];) {
            const uint32_t y = w.adj[k];
            if (w.seen[y])
                continue;
            w.seen[y] = 1;
            w.dfsParent[y] = static_cast<int32_t>(x);
            w.parentEdge[y] = w.adjEdge[k];
            w.stack.push_back(y);
        }
    }
    w.useful.assign(M, 0);
    w.usefulChildren.assign(M, 0);
    for (size_t i = w.order.size(); i-- > 0;) {
        const uint32_t x = w.order[i];
        if (isTaxonNode(tree, tree->nodes + x) || w.usefulChildren[x])
            w.useful[x] = 1;
        if (w.useful[x] && w.dfsParent[x] >= 0)
            w.usefulChildren[w.dfsParent[x]]++;
    }
    // Working nodes in depth-first preorder; a node that is no taxon and
    // passes the path on to one useful child is merged into that child's edge.
    w.wid.assign(M, -1);
    w.parent.clear();
    w.taxon.clear();
    w.chainStart.clear();
    w.chain.clear();
    w.deadEdges.clear();
    auto isMerged = [&](uint32_t x) {
        return x != rp && !isTaxonNode(tree, tree->nodes + x) && w.usefulChildren[x] == 1;
    };
    for (uint32_t x : w.order) {
        if (x != rp && !w.useful[x]) {
            w.deadEdges.push_back(w.parentEdge[x]);
            continue;
        }
        if (x != rp && isMerged(x))
            continue;
        const TreeNode *node = tree->nodes + x;
        const bool taxon = isTaxonNode(tree, node);
        if (taxon && x != rp && w.usefulChildren[x])
            return 1;  // a taxon inside the tree: not a tree of leaves
        const int32_t id = static_cast<int32_t>(w.parent.size());
        w.wid[x] = id;
        w.chainStart.push_back(static_cast<uint32_t>(w.chain.size()));
        int32_t wp = -1;
        if (x != rp) {
            uint32_t y = x;
            w.chain.push_back(w.parentEdge[y]);
            y = static_cast<uint32_t>(w.dfsParent[y]);
            while (isMerged(y)) {
                w.chain.push_back(w.parentEdge[y]);
                y = static_cast<uint32_t>(w.dfsParent[y]);
            }
            wp = w.wid[y];
        }
        w.parent.push_back(wp);
        w.taxon.push_back(taxon ? node->index : -1);
    }
    const uint32_t m = static_cast<uint32_t>(w.parent.size());
    w.nNodes = m;
    w.chainStart.push_back(static_cast<uint32_t>(w.chain.size()));
    w.firstChild.assign(m, -1);
    w.nextSib.assign(m, -1);
    for (uint32_t v = m; v-- > 1;) {  // reverse, so that siblings keep their order
        const int32_t p = w.parent[v];
        w.nextSib[v] = w.firstChild[p];
        w.firstChild[p] = static_cast<int32_t>(v);
    }
    if (m < 2 || w.firstChild[0] < 0 || w.nextSib[w.firstChild[0]] >= 0)
        return 1;  // the root leaf must hang on exactly one edge
    ls->leafOrder.clear();
    ls->leafOrder.push_back(static_cast<uint32_t>(w.taxon[0]));
    w.lo.assign(m, 0);
    w.hi.assign(m, 0);
    w.binary = true;
    for (uint32_t v = 1; v < m; v++)
        if (w.taxon[v] >= 0) {
            w.lo[v] = static_cast<uint32_t>(ls->leafOrder.size());
            w.hi[v] = w.lo[v] + 1;
            ls->leafOrder.push_back(static_cast<uint32_t>(w.taxon[v]));
        }
    w.postorder.clear();
    for (uint32_t v = m; v-- > 1;) {
        w.postorder.push_back(v);
        if (w.taxon[v] >= 0)
            continue;
        uint32_t nc = 0;
        w.lo[v] = ~0u;
        for (int32_t c = w.firstChild[v]; c >= 0; c = w.nextSib[c], nc++) {
            w.lo[v] = std::min(w.lo[v], w.lo[c]);
            w.hi[v] = std::max(w.hi[v], w.hi[c]);
        }
        if (nc != 2)
            w.binary = false;
    }
    w.lo[0] = 0;
    w.hi[0] = static_cast<uint32_t>(ls->leafOrder.size());
    ls->nLeaves = w.hi[0];
    ls->nBranches = m - 1;
    ls->partial = ls->nLeaves < ls->ntax;
    return 0;
}

uint32_t leafCount(const LSWorkTree &w, uint32_t v) { return w.hi[v] - w.lo[v]; }

// Square taxon-order copies of the distances (and weights), made once: a
// half matrix read across its rows would stride through memory for half of
// every row.
void fillDense(LSData *ls, bool withWeights)
{
    const uint32_t n = ls->ntax;
    if (ls->fullD.size() != static_cast<size_t>(n) * n) {
        ls->fullD.assign(static_cast<size_t>(n) * n, 0.0);
        for (uint32_t i = 1; i < n; i++)
            for (uint32_t j = 0; j < i; j++)
                ls->fullD[static_cast<size_t>(i) * n + j] = ls->fullD[static_cast<size_t>(j) * n + i] =
                    ls->distances[i][j];
    }
    if (withWeights && ls->fullW.size() != static_cast<size_t>(n) * n) {
        ls->fullW.assign(static_cast<size_t>(n) * n, 0.0);
        for (uint32_t i = 1; i < n; i++)
            for (uint32_t j = 0; j < i; j++)
                ls->fullW[static_cast<size_t>(i) * n + j] = ls->fullW[static_cast<size_t>(j) * n + i] =
                    ls->weights[i][j];
    }
}

// A matrix over leaf-order positions: row a is base + order[a] * stride,
// column b at order[b].
struct PairMatrix {
    const double *base;
    const uint32_t *order;
    size_t stride;
    const double *row(uint32_t a) const { return base + order[a] * stride; }
    double at(uint32_t a, uint32_t b) const { return row(a)[order[b]]; }
};

PairMatrix distView(const LSData *ls) { return {ls->fullD.data(), ls->leafOrder.data(), ls->ntax}; }

// BME weights are made per tree in leaf order; the others are the taxa's.
PairMatrix weightView(const LSData *ls)
{
    if (ls->bme)
        return {ls->ww.data(), ls->identity.data(), ls->nLeaves};
    return {ls->fullW.data(), ls->leafOrder.data(), ls->ntax};
}

// Sum over the leaf block [a0, a1) x [b0, b1) of d, or of w d.
double blockSum(const LSData *ls, uint32_t a0, uint32_t a1, uint32_t b0, uint32_t b1, bool weighted)
{
    const PairMatrix D = distView(ls), W = weightView(ls);
    double s = 0.0;
    for (uint32_t a = a0; a < a1; a++) {
        const double *d = D.row(a);
        if (weighted) {
            const double *w = W.row(a);
            for (uint32_t b = b0; b < b1; b++)
                s += w[W.order[b]] * d[D.order[b]];
        } else {
            for (uint32_t b = b0; b < b1; b++)
                s += d[D.order[b]];
        }
    }
    return s;
}

// Calls f(a, b, lca) for every leaf pair a < b (leaf-order positions) block
// by block: f(a0, a1, b0, b1, v) for all a in [a0, a1), b in [b0, b1) whose
// common ancestor is working node v (0 for pairs with the root leaf).
template <class F>
void forEachPairBlock(const LSData *ls, F &&f)
{
    const LSWorkTree &w = ls->wt;
    f(0u, 1u, 1u, ls->nLeaves, 0u);
    for (uint32_t v = 1; v < w.nNodes; v++) {
        if (w.taxon[v] >= 0)
            continue;
        for (int32_t c = w.firstChild[v]; c >= 0; c = w.nextSib[c])
            for (int32_t e = w.nextSib[c]; e >= 0; e = w.nextSib[e])
                f(w.lo[c], w.hi[c], w.lo[e], w.hi[e], v);
    }
}

// A'd (A'Wd) by working node: the (weighted) distances between the leaves
// below the node and all others, from the children's sums less twice the
// distances between the children's leaf sets.
void calcAtx(LSData *ls, bool weighted)
{
    const LSWorkTree &w = ls->wt;
    const uint32_t N = ls->nLeaves;
    ls->Atd.assign(w.nNodes, 0.0);
    if (!weighted) {
        // One pass over the pairs, each in the block of its common ancestor:
        // the leaves' row sums, the sums between children and the sum of
        // squares (for the residual) all come from it.
        const PairMatrix D = distView(ls);
        auto &rowSum = ls->rowSum;
        auto &between = ls->between;
        rowSum.assign(N, 0.0);
        between.assign(w.nNodes, 0.0);
        double d2 = 0.0;
        forEachPairBlock(ls, [&](uint32_t a0, uint32_t a1, uint32_t b0, uint32_t b1, uint32_t v) {
            double block = 0.0;
            for (uint32_t a = a0; a < a1; a++) {
                const double *d = D.row(a);
                double ra = 0.0, q = 0.0;
                for (uint32_t b = b0; b < b1; b++) {
                    const double x = d[D.order[b]];
                    ra += x;
                    q += x * x;
                    rowSum[b] += x;
                }
                rowSum[a] += ra;
                block += ra;
                d2 += q;
            }
            between[v] += block;
        });
        ls->sumTreeD2 = d2;
        for (uint32_t v : w.postorder) {
            if (w.taxon[v] >= 0) {
                ls->Atd[v] = rowSum[w.lo[v]];
                continue;
            }
            double s = 0.0;
            for (int32_t c = w.firstChild[v]; c >= 0; c = w.nextSib[c])
                s += ls->Atd[c];
            ls->Atd[v] = s - 2.0 * between[v];
        }
        return;
    }
    for (uint32_t v : w.postorder) {
        if (w.taxon[v] >= 0) {
            ls->Atd[v] = blockSum(ls, w.lo[v], w.lo[v] + 1, 0, N, weighted);
            continue;
        }
        double s = 0.0, between = 0.0;
        for (int32_t c = w.firstChild[v]; c >= 0; c = w.nextSib[c]) {
            s += ls->Atd[c];
            for (int32_t e = w.nextSib[c]; e >= 0; e = w.nextSib[e])
                between += blockSum(ls, w.lo[c], w.hi[c], w.lo[e], w.hi[e], weighted);
        }
        ls->Atd[v] = s - 2.0 * between;
    }
}

// ---------------------------------------------------------------------------
// Unweighted least squares (Bryant-Waddell): every vertex of the tree, with
// contracted (active) edges merged, gets its child edges from the subtree
// sums A'd, the leaf counts and the summed lengths already fitted below.

bool contracted(const LSData *ls, uint32_t v) { return ls->nonnegative && !ls->active.empty() && ls->active[v - 1]; }

void evaluateVertex(LSData *ls, uint32_t v)
{
    const LSWorkTree &w = ls->wt;
    const double N = ls->nLeaves;
    constexpr uint32_t kAbove = ~0u;
    auto &nb = ls->nbIds;
    nb.clear();
    auto &st = ls->scratch;
    st.clear();
    for (int32_t c = w.firstChild[v]; c >= 0; c = w.nextSib[c])
        st.push_back(static_cast<uint32_t>(c));
    while (!st.empty()) {
        const uint32_t c = st.back();
        st.pop_back();
        if (!contracted(ls, c)) {
            nb.push_back(c);
        } else if (w.taxon[c] < 0) {
            for (int32_t g = w.firstChild[c]; g >= 0; g = w.nextSib[g])
                st.push_back(static_cast<uint32_t>(g));
        }
        // A contracted leaf sits on the vertex: a neighbour with no length.
    }
    const bool top = w.parent[v] == 0;
    const bool aboveFree = !(top && contracted(ls, v));
    if (aboveFree)
        nb.push_back(kAbove);
    auto size = [&](uint32_t id) { return id == kAbove ? N - leafCount(w, v) : double(leafCount(w, id)); };
    auto atd = [&](uint32_t id) { return id == kAbove ? ls->Atd[v] : ls->Atd[id]; };
    auto held = [&](uint32_t id) { return id == kAbove ? 0.0 : ls->nodeL[id]; };

    uint32_t ref = kAbove - 1;  // none
    double T = 0.0, S = 1.0;
    for (uint32_t id : nb) {
        const double n = size(id), denom = N - 2.0 * n;
        if (denom == 0.0) {
            ref = id;
            continue;
        }
        T += atd(id) / denom;
        S += n / denom;
    }
    const double R = ref != kAbove - 1 ? atd(ref) / size(ref) : T / S;
    double sumQ = 0.0, L = 0.0;
    for (uint32_t id : nb) {
        if (id == ref)
            continue;
        const double n = size(id);
        const double Q = (atd(id) - n * R) / (N - 2.0 * n);
        sumQ += Q;
        if (id == kAbove) {
            if (top)
                ls->brLen[v - 1] = Q;  // the root leaf's edge: nothing fitted beyond it
            continue;
        }
        ls->brLen[id - 1] = (Q - held(id)) / n;
        L += Q;
    }
    if (ref != kAbove - 1) {
        const double Q = R - sumQ;
        if (ref == kAbove) {
            if (top)
                ls->brLen[v - 1] = Q;
        } else {
            ls->brLen[ref - 1] = (Q - held(ref)) / size(ref);
            L += Q;
        }
    }
    ls->nodeL[v] = L;
}

// Lengths of every free edge; contracted edges are 0.
void evaluateAll(LSData *ls)
{
    const LSWorkTree &w = ls->wt;
    ls->nodeL.assign(w.nNodes, 0.0);
    for (uint32_t v : w.postorder) {
        if (contracted(ls, v))
            ls->brLen[v - 1] = 0.0;
        if (w.taxon[v] >= 0 || (contracted(ls, v) && w.parent[v] != 0))
            continue;
        evaluateVertex(ls, v);
    }
    // Two leaves make one working edge and no vertex to evaluate: the path
    // between them is their distance.
    if (w.nNodes == 2 && !contracted(ls, 1))
        ls->brLen[0] = ls->Atd[1];
}

// Multipliers of contracted edges need the fitted path sums from each node
// to the leaves below it (In) and to all others (Out).
void calcPathSums(LSData *ls)
{
    const LSWorkTree &w = ls->wt;
    const double N = ls->nLeaves;
    ls->inSum.assign(w.nNodes, 0.0);
    ls->outSum.assign(w.nNodes, 0.0);
    for (uint32_t v : w.postorder)
        if (v > 0 && w.parent[v] > 0)
            ls->inSum[w.parent[v]] += leafCount(w, v) * ls->brLen[v - 1] + ls->inSum[v];
    for (uint32_t v = 1; v < w.nNodes; v++) {
        const uint32_t p = static_cast<uint32_t>(w.parent[v]);
        const double b = ls->brLen[v - 1], n = leafCount(w, v);
        ls->outSum[v] = p == 0 ? b : (N - n) * b + ls->outSum[p] + ls->inSum[p] - (n * b + ls->inSum[v]);
    }
}

// ---------------------------------------------------------------------------
// Weighted least squares

double &aw(LSData *ls, uint32_t e, uint32_t f) { return ls->AtWARows[e][f]; }
// A'WA entry read from the upper triangle (the Cholesky factor overwrites the lower one).
double awUpper(const LSData *ls, uint32_t e, uint32_t f) { return e <= f ? ls->AtWARows[e][f] : ls->AtWARows[f][e]; }

// A'WA: for branches over disjoint subtrees the weight between the subtrees;
// for nested ones (f below e) the weight between f's leaves and the leaves
// outside e, summed down the path from the root.
void buildAtWA(LSData *ls)
{
    const LSWorkTree &w = ls->wt;
    const uint32_t E = w.nNodes - 1;
    const PairMatrix W = weightView(ls);
    ls->AtWA.assign(static_cast<size_t>(E) * E, 0.0);
    ls->AtWARows.resize(E);
    for (uint32_t e = 0; e < E; e++)
        ls->AtWARows[e] = ls->AtWA.data() + static_cast<size_t>(e) * E;
    auto disjoint = [&](uint32_t u, uint32_t v) { return w.hi[u] <= w.lo[v] || w.hi[v] <= w.lo[u]; };
    for (uint32_t u : w.postorder)
        for (uint32_t v : w.postorder) {
            if (!disjoint(u, v))
                continue;
            double s = 0.0;
            if (w.taxon[u] < 0) {
                for (int32_t c = w.firstChild[u]; c >= 0; c = w.nextSib[c])
                    s += aw(ls, c - 1, v - 1);
            } else if (w.taxon[v] < 0) {
                for (int32_t c = w.firstChild[v]; c >= 0; c = w.nextSib[c])
                    s += aw(ls, u - 1, c - 1);
            } else {
                s = W.at(w.lo[u], w.lo[v]);
            }
            aw(ls, u - 1, v - 1) = s;
        }
    // Weight from each subtree to the root leaf.
    auto &toRoot = ls->dep;
    toRoot.assign(w.nNodes, 0.0);
    for (uint32_t v : w.postorder)
        toRoot[v] = w.taxon[v] >= 0 ? W.at(w.lo[v], 0) : toRoot[v];
    for (uint32_t v : w.postorder)
        if (w.parent[v] > 0)
            toRoot[w.parent[v]] += toRoot[v];
    auto &path = ls->scratch;
    for (uint32_t f = 1; f < w.nNodes; f++) {
        path.clear();
        for (uint32_t e = f; e != 0; e = static_cast<uint32_t>(w.parent[e]))
            path.push_back(e);
        double n = toRoot[f];  // weight between f's leaves and those outside the top edge
        for (size_t i = path.size(); i-- > 0;) {
            const uint32_t e = path[i];
            if (i + 1 < path.size())
                for (int32_t s = w.firstChild[w.parent[e]]; s >= 0; s = w.nextSib[s])
                    if (static_cast<uint32_t>(s) != e)
                        n += aw(ls, f - 1, s - 1);
            aw(ls, e - 1, f - 1) = n;
            aw(ls, f - 1, e - 1) = n;
        }
    }
}

// A pivot this small beside its diagonal is rounding left over from an exact
// dependence among the branches.
constexpr double kDependentPivot = 1e-11;

// Forward and back substitution with the reduced factor: rhs and out by
// position in the free list.
void solveFactored(LSData *ls, const double *rhs, double *out)
{
    const size_t k = ls->freeList.size();
    const size_t E = ls->nBranches;
    const double *F = ls->cholWork.data();
    for (size_t i = 0; i < k; i++) {
        double s = rhs[i];
        for (size_t t = 0; t < i; t++)
            s -= F[i * E + t] * out[t];
        out[i] = s / F[i * E + i];
    }
    for (size_t i = k; i-- > 0;) {
        double s = out[i];
        for (size_t t = i + 1; t < k; t++)
            s -= F[t * E + i] * out[t];
        out[i] = s / F[i * E + i];
    }
}

// The reduced system over the free branches, factored from position p on
// (rows before p are still valid); then solved into brLen. A free branch
// whose column depends on those before it (a pair at distance 0 has no
// weight, so identical sequences leave some branches fixed only as sums)
// adds nothing to the fit: it is held at 0 and leaves the free list.
void refactorAndSolve(LSData *ls, size_t p)
{
    auto &fl = ls->freeList;
    const size_t E = ls->nBranches;
    ls->cholWork.resize(E * E);
    double *F = ls->cholWork.data();
    for (size_t i = p; i < fl.size();) {
        bool dependent = false;
        for (size_t j = 0; j <= i; j++) {
            double s = awUpper(ls, fl[i], fl[j]);
            for (size_t t = 0; t < j; t++)
                s -= F[i * E + t] * F[j * E + t];
            if (i == j) {
                dependent = !(s > kDependentPivot * awUpper(ls, fl[i], fl[i]));
                if (!dependent)
                    F[i * E + i] = std::sqrt(s);
            } else {
                F[i * E + j] = s / F[j * E + j];
            }
        }
        if (dependent) {
            ls->active[fl[i]] = 1;
            fl.erase(fl.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            i++;
        }
    }
    const size_t k = fl.size();
    auto &rhs = ls->rhsWork;
    rhs.resize(k);
    for (size_t i = 0; i < k; i++)
        rhs[i] = ls->AtWd[fl[i]];
    auto &y = ls->solWork;
    y.resize(k);
    solveFactored(ls, rhs.data(), y.data());
    std::fill(ls->brLen.begin(), ls->brLen.end(), 0.0);
    for (size_t i = 0; i < k; i++)
        ls->brLen[fl[i]] = y[i];
}

// ---------------------------------------------------------------------------
// Nonnegative fits: Lawson-Hanson active sets. Making a branch active holds
// it at 0 (contracts it in the unweighted fit); the multiplier of an active
// branch is the derivative of half the residual with respect to its length.

struct ActiveSetOps {
    LSData *ls;
    bool weighted;
    size_t validRows = 0;  // rows of the reduced factor that match the free list

    void solve(size_t firstChanged)
    {
        if (!weighted) {
            evaluateAll(ls);
            return;
        }
        refactorAndSolve(ls, std::min(firstChanged, validRows));
        validRows = ls->freeList.size();
    }
    void beforeMultipliers()
    {
        if (!weighted)
            calcPathSums(ls);
    }
    double multiplier(uint32_t e)
    {
        if (weighted) {
            double g = -ls->AtWd[e];
            for (uint32_t f = 0; f < ls->nBranches; f++)
                g += awUpper(ls, e, f) * ls->brLen[f];
            return g;
        }
        const uint32_t v = e + 1;
        const double s = leafCount(ls->wt, v), N = ls->nLeaves;
        return s * ls->outSum[v] + (N - s) * ls->inSum[v] - ls->Atd[v];
    }
};

// Position in the sorted free list where e belongs.
size_t freePosition(const std::vector<uint32_t> &fl, uint32_t e)
{
    return static_cast<size_t>(std::lower_bound(fl.begin(), fl.end(), e) - fl.begin());
}

// 0 done; 2 aborted by the user (the flag stays set).
int runActiveSet(LSData *ls, ActiveSetOps ops)
{
    ops.validRows = 0;
    const uint32_t E = ls->nBranches;
    auto &fl = ls->freeList;
    auto &act = ls->active;
    // The weighted solve leaves the branches it held at 0 active.
    if (!ops.weighted) {
        act.assign(E, 0);
        fl.resize(E);
        for (uint32_t e = 0; e < E; e++)
            fl[e] = e;
    }
    // A branch freed only to be held again at once (its column depends on
    // the free ones, so its multiplier is rounding) is not freed again until
    // the free set shrinks.
    auto &blocked = ls->blocked;
    blocked.assign(E, 0);
    // a. Every negative free branch to 0, until none is negative.
    auto clampNegatives = [&]() {
        for (;;) {
            size_t firstChanged = SIZE_MAX, out = 0;
            for (size_t i = 0; i < fl.size(); i++) {
                const uint32_t e = fl[i];
                if (ls->brLen[e] < 0.0) {
                    act[e] = 1;
                    ls->brLen[e] = 0.0;
                    firstChanged = std::min(firstChanged, out);
                } else {
                    fl[out++] = e;
                }
            }
            if (firstChanged == SIZE_MAX)
                return;
            fl.resize(out);
            ops.solve(firstChanged);
        }
    };
    clampNegatives();
    auto &x = ls->savedBrLen;
    // A cycle guard against numerical ping-pong; exact arithmetic needs far fewer.
    for (uint32_t guard = 0; guard < 4 * E + 16; guard++) {
        // b. The most negative multiplier of the active branches.
        ops.beforeMultipliers();
        int64_t best = -1;
        double gmin = 0.0;
        for (uint32_t e = 0; e < E; e++)
            if (act[e] && !blocked[e]) {
                const double g = ops.multiplier(e);
                if (best < 0 || g < gmin)
                    best = e, gmin = g;
            }
        if (best < 0 || gmin >= kMultiplierTol)
            return 0;
        // c. Free it and move towards the new solution while it stays feasible.
        x.assign(ls->brLen.begin(), ls->brLen.end());
        const uint32_t eb = static_cast<uint32_t>(best);
        act[eb] = 0;
        const size_t pos = freePosition(fl, eb);
        fl.insert(fl.begin() + static_cast<std::ptrdiff_t>(pos), eb);
        ops.solve(pos);
        if (getAbortedStatus() && confirmAbortRequest())
            return 2;
        if (act[eb]) {
            blocked[eb] = 1;
            continue;
        }
        for (uint32_t inner = 0; inner <= E; inner++) {
            double alpha = 2.0;
            int64_t hit = -1;
            size_t hitPos = 0;
            for (size_t i = 0; i < fl.size(); i++) {
                const uint32_t e = fl[i];
                if (ls->brLen[e] < 0.0) {
                    const double a = x[e] / (x[e] - ls->brLen[e]);
                    if (a < alpha)
                        alpha = a, hit = e, hitPos = i;
                }
            }
            if (hit < 0)
                break;
            for (uint32_t e = 0; e < E; e++)
                x[e] += alpha * (ls->brLen[e] - x[e]);
            x[hit] = 0.0;
            act[hit] = 1;
            std::fill(blocked.begin(), blocked.end(), 0);
            fl.erase(fl.begin() + static_cast<std::ptrdiff_t>(hitPos));
            ops.solve(hitPos);
        }
    }
    return 0;
}

double adjustedLength(double b)
{
    if (b >= 0.0)
        return b;
    switch (dist.negBrLen) {
    case kNegBrLenSetZero: return 0.0;
    case kNegBrLenSetAbsVal: return -b;
    default: return b;
    }
}

// Fitted path lengths from the root leaf, by working node.
void calcDepths(LSData *ls)
{
    const LSWorkTree &w = ls->wt;
    ls->dep.assign(w.nNodes, 0.0);
    for (uint32_t v = 1; v < w.nNodes; v++)
        ls->dep[v] = ls->dep[w.parent[v]] + adjustedLength(ls->brLen[v - 1]);
}

// The unweighted residual of the lengths under the current rule without
// visiting the pairs: sum d^2 - 2 sum_e b_e A'd_e + sum over pairs of p^2,
// the last from the count, sum and sum of squares of the path lengths from
// each node down to its leaves.
double quadraticResidual(LSData *ls)
{
    const LSWorkTree &w = ls->wt;
    auto &s1 = ls->inSum, &s2 = ls->outSum;  // about the node itself
    s1.assign(w.nNodes, 0.0);
    s2.assign(w.nNodes, 0.0);
    double cross = 0.0, pairs = 0.0;
    for (uint32_t v : w.postorder) {
        const double beta = adjustedLength(ls->brLen[v - 1]);
        cross += beta * ls->Atd[v];
        if (w.taxon[v] < 0) {
            // Pairs meeting at v: leaves of different children.
            double n = 0.0, a1 = 0.0, a2 = 0.0;
            for (int32_t c = w.firstChild[v]; c >= 0; c = w.nextSib[c]) {
                const double cn = leafCount(w, c);
                pairs += n * s2[c] + a2 * cn + 2.0 * a1 * s1[c];
                n += cn, a1 += s1[c], a2 += s2[c];
            }
            s1[v] = a1, s2[v] = a2;
        }
        // Seen from the parent: every path one edge longer.
        const double n = leafCount(w, v);
        s2[v] += 2.0 * beta * s1[v] + n * beta * beta;
        s1[v] += n * beta;
    }
    const uint32_t top = static_cast<uint32_t>(w.firstChild[0]);
    pairs += s2[top];  // the root leaf with every other leaf
    return ls->sumTreeD2 - 2.0 * cross + pairs;
}

// Path-length depth of each leaf position.
void leafDepths(LSData *ls, std::vector<double> &out)
{
    const LSWorkTree &w = ls->wt;
    out.assign(ls->nLeaves, 0.0);
    for (uint32_t v = 1; v < w.nNodes; v++)
        if (w.taxon[v] >= 0)
            out[w.lo[v]] = ls->dep[v];
}

// BME: path weights 2^(1 - edges) on binary trees, else the product of
// 1/(degree - 1) over the inner nodes of the path; into ww when asked for.
// Returns the balanced length sum w d.
double bmeLength(LSData *ls, bool keepWeights)
{
    const LSWorkTree &w = ls->wt;
    const uint32_t N = ls->nLeaves;
    if (keepWeights)
        ls->ww.assign(static_cast<size_t>(N) * N, 0.0);
    ls->identity.resize(N);
    for (uint32_t a = 0; a < N; a++)
        ls->identity[a] = a;
    const PairMatrix D = distView(ls);
    auto &lw = ls->logWt;  // binary: edges from the root leaf; else log weight above the node
    lw.assign(w.nNodes, 0.0);
    auto children = [&](uint32_t v) {
        uint32_t k = 0;
        for (int32_t c = w.firstChild[v]; c >= 0; c = w.nextSib[c])
            k++;
        return k;
    };
    for (uint32_t v = 1; v < w.nNodes; v++) {
        const uint32_t p = static_cast<uint32_t>(w.parent[v]);
        lw[v] = w.binary ? lw[p] + 1.0 : lw[p] + (p == 0 ? 0.0 : -detLog(static_cast<double>(children(p))));
    }
    std::vector<double> &leafLw = ls->rhsWork;
    leafLw.assign(N, 0.0);
    for (uint32_t v = 1; v < w.nNodes; v++)
        if (w.taxon[v] >= 0)
            leafLw[w.lo[v]] = lw[v];
    // A pair's weight factorises at its common ancestor v into a factor of
    // each side, each no smaller than the weight (so no spurious underflow);
    // on binary trees every factor is a power of two and the weight exact.
    auto side = [&](double l, uint32_t v) {
        return w.binary ? std::ldexp(1.0, static_cast<int>(lw[v] - l)) : detExp(l - lw[v]);
    };
    std::vector<double> &fb = ls->cholDiag;  // scratch here
    double total = 0.0;
    forEachPairBlock(ls, [&](uint32_t a0, uint32_t a1, uint32_t b0, uint32_t b1, uint32_t v) {
        fb.resize(b1 - b0);
        for (uint32_t b = b0; b < b1; b++)
            fb[b - b0] = side(leafLw[b], v);
        const double joint = v == 0 ? (w.binary ? 2.0 : 1.0) : w.binary ? 2.0 : double(children(v));
        for (uint32_t a = a0; a < a1; a++) {
            const double fa = joint * (v == 0 ? 1.0 : side(leafLw[a], v));
            const double *d = D.row(a);
            double rowSum = 0.0;
            for (uint32_t b = b0; b < b1; b++) {
                const double wt = fa * fb[b - b0];
                if (keepWeights)
                    ls->ww[static_cast<size_t>(a) * N + b] = ls->ww[static_cast<size_t>(b) * N + a] = wt;
                rowSum += fb[b - b0] * d[D.order[b]];
            }
            total += fa * rowSum;
        }
    });
    return total;
}

void storeBMEWeights(LSData *ls)
{
    if (!ls->weights)
        return;
    const uint32_t N = ls->nLeaves;
    for (uint32_t a = 0; a < N; a++)
        for (uint32_t b = 0; b < a; b++) {
            const uint32_t i = ls->leafOrder[a], j = ls->leafOrder[b];
            (i > j ? ls->weights[i][j] : ls->weights[j][i]) = ls->ww[static_cast<size_t>(a) * N + b];
        }
}

// How a solution of singular normal equations ranks against others that fit
// as well: by its score under the rule, then by the length left negative,
// then by its total length.
struct Placement {
    double score, negative, total;

    Placement(LSData *ls) : score(calcDScore(ls, nullptr, false)), negative(0.0), total(0.0)
    {
        for (double x : ls->brLen)
            negative += std::max(0.0, -x), total += std::fabs(x);
    }
    bool betterThan(const Placement &o) const
    {
        const double tol = 1e-12 * std::max(1.0, std::fabs(o.score));
        if (score != o.score && std::fabs(score - o.score) > tol)
            return score < o.score;
        if (std::fabs(negative - o.negative) > 1e-12)
            return negative < o.negative;
        return total < o.total - 1e-12;
    }
};

// Every solution of singular normal equations fits the distances equally
// well, but the rules that adjust negative lengths (and the branch lengths
// shown) depend on which one is taken. Each held branch spans one free
// direction: raising it by t moves the free branches by -t times the
// solution of their system against its column, and leaves every weighted
// path alone. Along each direction the lengths are moved to the best point
// (Placement) among the start and the breakpoints where a branch meets 0.
// Identical sequences leave such a direction where two subtrees meet at a
// node with no weighted pair between them: their two edges and the third
// edge at the node are fixed only as the two sums, and each sum is best
// served under every rule when the third edge takes the smaller sum (or 0
// when that is negative), a breakpoint. So both pendants of a cherry stay
// nonnegative whenever the sums are, and its leaves are as close as the fit
// allows. The branch that meets 0 is held in place of the old one.
void placeAlongFreeDirections(LSData *ls)
{
    const uint32_t E = ls->nBranches;
    auto &fl = ls->freeList;
    std::vector<uint32_t> held;
    for (uint32_t e = 0; e < E; e++)
        if (ls->active[e])
            held.push_back(e);
    std::vector<double> rhs, y, dir(E), start, best;
    for (uint32_t h : held) {
        const size_t k = fl.size();
        rhs.resize(k);
        y.resize(k);
        for (size_t i = 0; i < k; i++)
            rhs[i] = awUpper(ls, fl[i], h);
        solveFactored(ls, rhs.data(), y.data());
        std::fill(dir.begin(), dir.end(), 0.0);
        dir[h] = 1.0;
        for (size_t i = 0; i < k; i++)
            dir[fl[i]] = -y[i];
        start = ls->brLen;
        best = start;
        Placement bestPlace(ls);
        uint32_t bestZero = h;
        for (uint32_t e = 0; e < E; e++) {
            if (std::fabs(dir[e]) < 1e-9)
                continue;
            const double t = -start[e] / dir[e];
            for (uint32_t f = 0; f < E; f++)
                ls->brLen[f] = start[f] + t * dir[f];
            ls->brLen[e] = 0.0;
            const Placement place(ls);
            if (place.betterThan(bestPlace))
                best = ls->brLen, bestPlace = place, bestZero = e;
        }
        ls->brLen = best;
        if (bestZero != h) {
            ls->active[h] = 0;
            ls->active[bestZero] = 1;
            fl.erase(std::find(fl.begin(), fl.end(), bestZero));
            fl.insert(fl.begin() + static_cast<std::ptrdiff_t>(freePosition(fl, h)), h);
            // The factor no longer matches the free list. Should rounding
            // hold another branch on the way, the solution that goes with
            // the branches held stands.
            refactorAndSolve(ls, 0);
            if (fl.size() == k)
                ls->brLen = best;
        }
    }
}

// Weighted fit into brLen (A'Wd into Atd and AtWd), with the free list and
// active flags of the branches it holds at 0 (none unless the normal
// equations are singular).
void solveWeighted(LSData *ls)
{
    calcAtx(ls, true);
    buildAtWA(ls);
    const uint32_t E = ls->nBranches;
    ls->AtWd.assign(ls->Atd.begin() + 1, ls->Atd.end());
    ls->brLen.assign(E, 0.0);
    ls->active.assign(E, 0);
    ls->freeList.resize(E);
    for (uint32_t e = 0; e < E; e++)
        ls->freeList[e] = e;
    refactorAndSolve(ls, 0);
    if (ls->freeList.size() < E)
        placeAlongFreeDirections(ls);
}

bool anyNegative(const LSData *ls)
{
    return std::any_of(ls->brLen.begin(), ls->brLen.end(), [](double b) { return b < 0.0; });
}


double wlsFit(LSData *ls, double bound, bool useShortcut)
{
    solveWeighted(ls);
    if (!ls->nonnegative || !anyNegative(ls))
        return calcDScore(ls, nullptr, useShortcut);
    const double unconstrained = calcDScore(ls, nullptr, useShortcut);
    if (compareDistanceScores(unconstrained, bound) > 0)
        return unconstrained;
    if (runActiveSet(ls, {ls, true}) == 2)
        return kNoScore;
    return calcDScore(ls, nullptr, useShortcut);
}

}  // namespace

// ---------------------------------------------------------------------------

uint32_t olsFitUnconstr(LSData *ls, Tree *tree, bool initialise)
{
    if (initialise) {
        if (buildWorkTree(ls, tree) != 0)
            return 0;
        fillDense(ls, false);
        calcAtx(ls, false);
    }
    ls->brLen.assign(ls->nBranches, 0.0);
    ls->active.clear();
    evaluateAll(ls);
    ls->AtWd.assign(ls->Atd.begin() + 1, ls->Atd.end());
    return static_cast<uint32_t>(std::count_if(ls->brLen.begin(), ls->brLen.end(), [](double b) { return b < 0.0; }));
}

double lsqScore(LSData *ls, bool useShortcut)
{
    // The shortcuts subtract nearly equal sums: a residual that is a tiny
    // part of the sum of squares is recomputed pair by pair, so that an
    // exact fit still scores 0.
    constexpr double kCancellation = 1e-8;
    if (useShortcut) {
        double s = ls->sumWd2;
        for (uint32_t e = 0; e < ls->nBranches; e++)
            s -= ls->AtWd[e] * ls->brLen[e];
        if (s > kCancellation * ls->sumWd2)
            return s;
    } else if (!ls->weighted && !ls->bme) {
        const double s = quadraticResidual(ls);
        if (s > kCancellation * ls->sumTreeD2)
            return s;
    }
    calcDepths(ls);
    std::vector<double> &depLeaf = ls->solWork;
    leafDepths(ls, depLeaf);
    const bool weighted = ls->weighted || ls->bme;
    const PairMatrix D = distView(ls), W = weightView(ls);
    // A residual within the rounding of its own pair's fitted value (the
    // sum of the depths it is made of) is the fit's rounding, not a misfit:
    // an exact fit scores 0 however large the distances, and a misfit among
    // small distances is not hidden by a huge one elsewhere. The squares are
    // summed relative to the largest residual so far, so that distances near
    // the top of the range do not overflow.
    constexpr double kRounding = 64.0 * std::numeric_limits<double>::epsilon();
    double largest = 0.0, s = 0.0;
    forEachPairBlock(ls, [&](uint32_t a0, uint32_t a1, uint32_t b0, uint32_t b1, uint32_t v) {
        const double base = 2.0 * ls->dep[v];
        for (uint32_t a = a0; a < a1; a++) {
            const double *d = D.row(a);
            const double *w = weighted ? W.row(a) : nullptr;
            for (uint32_t b = b0; b < b1; b++) {
                const double db = d[D.order[b]];
                const double r = std::fabs(db - (depLeaf[a] + depLeaf[b] - base));
                const double size = std::fabs(db) + std::fabs(depLeaf[a]) + std::fabs(depLeaf[b]) + std::fabs(base);
                if (r <= kRounding * size)
                    continue;
                const double wt = w ? w[W.order[b]] : 1.0;
                if (r > largest) {
                    s *= (largest / r) * (largest / r);
                    largest = r;
                }
                s += wt * (r / largest) * (r / largest);
            }
        }
    });
    return s * largest * largest;
}

double calcDScore(LSData *ls, const double *branchLengths, bool useShortcut)
{
    if (branchLengths)
        std::copy_n(branchLengths, ls->nBranches, ls->brLen.begin());
    if (dist.objective == kObjectiveLsFit)
        return lsqScore(ls, useShortcut);
    double len = 0.0;
    for (double b : ls->brLen)
        len += adjustedLength(b);
    return len;
}

void copyBrLensToTree(LSData *ls)
{
    const LSWorkTree &w = ls->wt;
    for (TreeNode *x : w.deadEdges)
        x->edge.brlen = 0.0;
    for (uint32_t v = 1; v < w.nNodes; v++)
        for (uint32_t k = w.chainStart[v]; k < w.chainStart[v + 1]; k++)
            w.chain[k]->edge.brlen = k == w.chainStart[v] ? ls->brLen[v - 1] : 0.0;
}

double calcDistanceFitForTree(LSData *ls, Tree *tree, bool keepBMEWeights, double bound)
{
    if (!ls)
        ls = gLSData;
    if (!ls || !tree || !ls->distances)
        return kNoScore;
    ls->tree = tree;
    if (buildWorkTree(ls, tree) != 0)
        return kNoScore;
    ls->active.clear();
    const bool useShortcut = ls->residualShortcut && !ls->partial;
    double score;
    if (ls->bme) {
        fillDense(ls, false);
        ls->brLen.assign(ls->nBranches, 0.0);  // fitted only when asked for
        // The weights are kept for callers that go on to use them (the
        // fitted lengths, the weighted residual); a search needs the length.
        score = bmeLength(ls, keepBMEWeights);
        if (keepBMEWeights) {
            storeBMEWeights(ls);
            // The balanced lengths are the weighted fit with the BME weights.
            solveWeighted(ls);
            if (ls->nonnegative && anyNegative(ls) && runActiveSet(ls, {ls, true}) == 2)
                return kNoScore;
            copyBrLensToTree(ls);
        }
        return score;
    }
    if (ls->weighted) {
        fillDense(ls, true);
        score = wlsFit(ls, bound, useShortcut);
    } else {
        fillDense(ls, false);
        calcAtx(ls, false);
        const uint32_t negatives = olsFitUnconstr(ls, tree, false);
        if (ls->nonnegative && negatives > 0) {
            const bool lsFit = dist.objective == kObjectiveLsFit;
            if (lsFit && compareDistanceScores(calcDScore(ls, nullptr, useShortcut), bound) > 0) {
                score = calcDScore(ls, nullptr, useShortcut);
            } else if (runActiveSet(ls, {ls, false}) == 2) {
                return kNoScore;
            } else {
                score = calcDScore(ls, nullptr, useShortcut);
            }
        } else {
            score = calcDScore(ls, nullptr, useShortcut);
        }
    }
    if (score < kNoScore)
        copyBrLensToTree(ls);
    return score;
}

double hsCalcDistanceFitForTree(Tree *tree, double bound) { return calcDistanceFitForTree(nullptr, tree, false, bound); }

void calcExpectedDistances(LSData *ls, std::vector<double> &out)
{
    const uint32_t N = ls->nLeaves;
    calcDepths(ls);
    std::vector<double> depLeaf;
    leafDepths(ls, depLeaf);
    out.assign(static_cast<size_t>(N) * N, 0.0);
    forEachPairBlock(ls, [&](uint32_t a0, uint32_t a1, uint32_t b0, uint32_t b1, uint32_t v) {
        for (uint32_t a = a0; a < a1; a++)
            for (uint32_t b = b0; b < b1; b++)
                out[static_cast<size_t>(a) * N + b] = out[static_cast<size_t>(b) * N + a] =
                    depLeaf[a] + depLeaf[b] - 2.0 * ls->dep[v];
    });
}

void collapseZeroLengthEdges(Tree *tree)
{
    // Lengths that are zero in exact arithmetic come out of the fit as
    // rounding noise; the tolerance is that of comparing distance scores.
    constexpr double kZeroLength = 1e-10;
    if (calcDistanceFitForTree(nullptr, tree, true, kNoScore) >= kNoScore)
        return;
    checkTraversalSeq(tree);
    std::vector<TreeNode *> zero;
    for (TreeNode *x = tree->root->next; x; x = x->next)
        if (x->firstChild && x->anc && x->anc != tree->root && adjustedLength(x->edge.brlen) <= kZeroLength)
            zero.push_back(x);
    for (TreeNode *x : zero)
        contractInternalEdge(tree, x);
    setTraversalSeq(tree);
    determineIfTreeIsBinary(tree);
}
