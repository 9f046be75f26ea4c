#include "likelihood/swapscreen.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "data/patterns.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlinit.h"
#include "likelihood/ml_multithread.h"
#include "likelihood/treelike.h"

namespace {

// A neighbour whose local score is worse than the bound is left out. The
// whole fit moves the lengths the local one holds and may gain a few units
// more; those left out close to the bound are scored whole once a swap
// found nothing better (the second look). Scoring them whole at once
// instead, within a margin of 2, cost a 100-taxon search from a
// neighbor-joining tree with short branches half its time: on the way
// down most neighbours near the bound are no better when scored whole,
// and the first one better locally is taken.
// Rounds over the three edges at the join, and the Newton tolerance of
// each, as for a taxon joined in stepwise addition.
constexpr int kJoinRounds = 3;
constexpr double kJoinTolerance = 0.001;
// The five edges of an interchange take rounds until one gains less than
// this much.
constexpr double kJoinGain = 0.01;
// The rounds after the first move the three lengths little (on 150 x
// 2,000 sites they gained at most 59 units, nearly always nothing): a
// neighbour this far beyond the bound after one round is left out
// without the others.
constexpr double kRoundGainBound = 100.0;
// The joining edge is fitted first; most neighbours of a tree near the end
// of a search (a distant reconnection above all) are already this far
// beyond the bound with it fitted and the two others at the lengths the
// move gave them, and fitting those two would not bring them back: such a
// neighbour is left out on that score, without the arrays and Newton
// steps of the other two edges. The bound is twice the one after a whole
// round: the first round's two other edges may gain more than the later
// rounds do.
constexpr double kFirstEdgeGainBound = 200.0;
// How far over the bound a neighbour left out may score locally and still
// be scored whole before a search ends at a tree. The local score misses
// what a whole fit of every length gains, by a few units now and then;
// on simulated 50-100 taxa x 2,000 sites a final tree had about ten
// neighbours this close, a few whole scores against its thousands of
// local ones.
constexpr double kRecheckWindow = 10.0;
// The most the pool grows to keep arrays from one neighbour to the next.
constexpr std::size_t kScreenPoolBytes = std::size_t{256} << 20;

constexpr uint64_t kNoKey = 0;

// Each array is keyed by what it is computed from: the subtree below the
// node (up) or the rest of the tree (down), with every length inside. Two
// arrays with one key hold the same values, so an array survives a move or
// a length change exactly when its key does.
struct Screen {
    Tree *tree = nullptr;
    uint64_t serial = 0;
    std::vector<double> base;   // the swapped tree's optimised lengths
    std::vector<double> given;  // the lengths it had, while base is on it
    std::vector<uint64_t> upKey, dnKey;  // keys of the arrays held
    std::vector<uint64_t> up, dn;        // keys of the tree as it is
    uint64_t pops = 0;  // the pool's count of buffers taken when the screen left it
    bool startedThreads = false;
};
thread_local Screen gScreen;

uint64_t mix(uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

uint64_t lengthBits(double len)
{
    uint64_t b;
    std::memcpy(&b, &len, sizeof b);
    return b;
}

// An input seen from the junction above it: its own key through its edge.
uint64_t through(uint64_t key, const TreeNode *n) { return mix(key + 0x9e3779b97f4a7c15ULL * (lengthBits(n->edge.brlen) | 1)); }

uint64_t tipKey(const TreeNode *n) { return mix(0x5851f42d4c957f2dULL + static_cast<uint64_t>(static_cast<uint32_t>(n->index))); }

size_t at(const Tree *tree, const TreeNode *n) { return static_cast<size_t>(n - tree->nodes); }

uint64_t upKeyOf(Screen &s, TreeNode *n)
{
    uint64_t sum = 0;
    for (TreeNode *c = n->firstChild; c != nullptr; c = c->nextSib)
        sum += through(upKeyOf(s, c), c);
    // A node of one child is read as a tip by the kernels.
    const uint64_t key = isTipInput(n) ? mix(tipKey(n) + sum) : mix(0x2545f4914f6cdd1dULL + sum);
    s.up[at(s.tree, n)] = key == kNoKey ? 1 : key;
    return s.up[at(s.tree, n)];
}

// The sum of the children's inputs is shared by every child's down key;
// each takes its own out again.
void dnKeysBelow(Screen &s, TreeNode *p)
{
    uint64_t sum = 0;
    for (TreeNode *c = p->firstChild; c != nullptr; c = c->nextSib)
        sum += through(s.up[at(s.tree, c)], c);
    const uint64_t above = p->anc == nullptr        ? 0
                           : hasDownSide(p)          ? through(s.dn[at(s.tree, p)], p)
                                                     : through(tipKey(p->anc), p);
    for (TreeNode *c = p->firstChild; c != nullptr; c = c->nextSib) {
        if (hasDownSide(c)) {
            const uint64_t key = mix(0x3c6ef372fe94f82bULL + sum - through(s.up[at(s.tree, c)], c) + mix(above));
            s.dn[at(s.tree, c)] = key == kNoKey ? 1 : key;
        }
        dnKeysBelow(s, c);
    }
}

void computeKeys(Screen &s)
{
    std::fill(s.up.begin(), s.up.end(), kNoKey);
    std::fill(s.dn.begin(), s.dn.end(), kNoKey);
    upKeyOf(s, s.tree->root);
    dnKeysBelow(s, s.tree->root);
}

// Every array whose inputs changed goes back to the pool.
void dropStale(Screen &s, ModelGroup *g)
{
    computeKeys(s);
    for (uint32_t i = 0; i < s.tree->maxNodes; ++i) {
        TreeNode *n = s.tree->nodes + i;
        if (upCLA(n) != nullptr && (s.up[i] == kNoKey || s.upKey[i] != s.up[i]))
            returnCLAtoPool(upCLA(n), g);
        if (dnCLA(n) != nullptr && (s.dn[i] == kNoKey || s.dnKey[i] != s.dn[i]))
            returnCLAtoPool(dnCLA(n), g);
    }
}

// The arrays just computed are those of the tree as keyed.
void recordKeys(Screen &s, ModelGroup *g)
{
    for (uint32_t i = 0; i < s.tree->maxNodes; ++i) {
        const TreeNode *n = s.tree->nodes + i;
        s.upKey[i] = upCLA(n) != nullptr ? s.up[i] : kNoKey;
        s.dnKey[i] = dnCLA(n) != nullptr ? s.dn[i] : kNoKey;
    }
    s.pops = g->engine->pool->pops;
}

void releaseHeld(Screen &s, ModelGroup *g)
{
    releaseAllCLAs(s.tree, g);
    std::fill(s.upKey.begin(), s.upKey.end(), kNoKey);
    std::fill(s.dnKey.begin(), s.dnKey.end(), kNoKey);
}

// The edges that meet a node (its own, its children's), up to four.
int edgesAt(TreeNode *n, TreeNode *out[4])
{
    int k = 0;
    if (n->anc != nullptr)
        out[k++] = n;
    for (TreeNode *c = n->firstChild; c != nullptr && k < 4; c = c->nextSib)
        out[k++] = c;
    return k;
}

// A move that only swaps two subtrees across one edge (an interchange of
// neighbours) changes the tree at both ends of that edge: P, where the
// moved subtree joined, lies next to an end of S's edge, where it was cut.
// Its local score then fits the five edges there, the middle one first;
// fitting only the three at P leaves S's edge carrying the length P's took
// in, and can put a better neighbour far beyond the window. Where P joined
// the edge beside S's, P's edge is the middle one; where it joined an edge
// below S (S above P) or the edge above S's fork (that fork below P), the
// middle edge and the one next to it trade the lengths the move carried.
enum class Interchange { kNone, kBeside, kBelowCut, kAboveCut };

Interchange interchangeEdges(TreeNode *P, TreeNode *S, TreeNode *edges[5])
{
    TreeNode *mid = nullptr, *far = nullptr;
    Interchange kind = Interchange::kNone;
    if (P->anc != nullptr && P->anc == S->anc) {
        mid = P;
        far = P->anc;
        kind = Interchange::kBeside;
    } else if (P->anc != nullptr && P->anc == S) {
        mid = P;
        far = S;
        kind = Interchange::kBelowCut;
    } else if (S->anc != nullptr && S->anc->anc == P) {
        mid = S->anc;
        far = S->anc;
        kind = Interchange::kAboveCut;
    } else {
        return Interchange::kNone;
    }
    TreeNode *atP[4], *atFar[4];
    if (edgesAt(P, atP) != 3 || edgesAt(far, atFar) != 3)
        return Interchange::kNone;
    int k = 0;
    edges[k++] = mid;
    for (int i = 0; i < 3; ++i)
        if (atP[i] != mid)
            edges[k++] = atP[i];
    for (int i = 0; i < 3; ++i)
        if (atFar[i] != mid && k < 5)
            edges[k++] = atFar[i];
    return k == 5 ? kind : Interchange::kNone;
}

// K's subtree, hanging from the basal fork, rerooted: the rest of the tree
// joins it through K's edge on the edge it was rerooted on, whose length
// K's two children share, and S, K's child off the path to the new root,
// takes in the length of the path's first edge, whose fork it now hangs
// from. Where that fork is K's other child, the move interchanges S and
// the new root's subtree across that child's edge: the five edges there
// keep their lengths, the middle one first. The number of edges to fit,
// 0 when the tree is not of that shape.
int rerootEdges(const Screen &s, TreeNode *K, TreeNode *S, TreeNode *edges[5], double lo)
{
    TreeNode *x0 = K->firstChild, *x1 = x0 != nullptr ? x0->nextSib : nullptr, *top = S->anc;
    if (x1 == nullptr || x1->nextSib != nullptr || top == nullptr || top == K)
        return 0;
    if (top == x1) {
        TreeNode *atTop[4];
        if (edgesAt(top, atTop) != 3)
            return 0;
        edges[0] = top;
        edges[1] = x0;
        edges[2] = K;
        edges[3] = atTop[1];
        edges[4] = atTop[2];
        return 5;
    }
    S->edge.brlen += s.base[at(s.tree, top)];
    x0->edge.brlen = x1->edge.brlen = std::max(x0->edge.brlen / 2.0, lo);
    edges[0] = x0;
    edges[1] = K;
    edges[2] = x1;
    return 3;
}

bool screenApplies()
{
    const ActiveML *a = getActiveML();
    ModelGroup *g = activeModelGroup();
    if (a == nullptr || g == nullptr || g->engine == nullptr || g->engine->pool == nullptr)
        return false;
    // The screen is the search's approximation, so it follows the approximation
    // setting: with approxLim=none every neighbour is scored whole. Under
    // parameters estimated on every tree the local score takes the values
    // the last whole estimate left in the models (begin's, on the swapped
    // tree, until a neighbour passes and is estimated whole): a neighbour's
    // own estimate moves them far less than the window. Arrays held across
    // that estimate are given back, as after any whole score (the pool's
    // count of buffers taken has moved).
    return (a->flags & kAMLUseApproxLim) != 0 && !usingFixedMLBranchLengths() && !clockModelInEffect() && !loggingMLIters() &&
           (a->flags & kAMLJointBrLens) == 0 && a->maxPass != 0 && a->blopt != kBloptBrent1D;
}

}  // namespace

bool swapScreenBegin(Tree *tree)
{
    Screen &s = gScreen;
    s.tree = nullptr;
    if (!screenApplies())
        return false;
    ModelGroup *g = activeModelGroup();
    ModelGroupEngine &e = *g->engine;
    const uint32_t n = tree->maxNodes;
    std::vector<double> given(n);
    for (uint32_t i = 0; i < n; ++i)
        given[i] = tree->nodes[i].edge.brlen;
    // The driver fits the lengths from the start method when the tree
    // carries none (a tree fetched from a buffer), as it would score it.
    const double fitted = calcTreeLikelihood(tree, kNoLScore);
    s.base.resize(n);
    s.given.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        s.base[i] = tree->nodes[i].edge.brlen;
        tree->nodes[i].edge.brlen = given[i];
    }
    if (fitted >= kNoLScore)
        return false;
    s.startedThreads = e.likThreads == nullptr && getActiveML()->nthreads > 1 && !g->singleThreaded;
    if (s.startedThreads)
        e.likThreads = startLikThreads(static_cast<int32_t>(getActiveML()->nthreads));
    // Room for both arrays of every node, so that an array a neighbour
    // leaves valid is still there for the next.
    const ClaPool *pool = e.pool.get();
    const auto want = static_cast<int32_t>(2 * n + numCLAsNeeded(g) + 3);
    if (want > pool->count && std::size_t(want) * pool->bufferBytes <= kScreenPoolBytes)
        growClaPool(g, want);
    s.tree = tree;
    s.serial = tree->serial;
    s.upKey.assign(n, kNoKey);
    s.dnKey.assign(n, kNoKey);
    s.up.assign(n, kNoKey);
    s.dn.assign(n, kNoKey);
    releaseHeld(s, g);
    s.pops = e.pool->pops;
    return true;
}

double swapScreenScore(Tree *tree, TreeNode *K, TreeNode *P, TreeNode *S, double bound)
{
    Screen &s = gScreen;
    ModelGroup *g = activeModelGroup();
    if (s.tree != tree || s.serial != tree->serial || g == nullptr || K->anc != P || S == nullptr)
        return kNoLScore;
    // T: the other half of the edge K joined (the basal fork's other
    // children when K was rerooted there instead).
    TreeNode *T = P->firstChild == K ? K->nextSib : P->firstChild;
    if (P->anc != nullptr && (T == nullptr || T == K))
        return kNoLScore;
    // Arrays taken by anyone else since the last neighbour (a whole score)
    // are theirs: nothing held can be vouched for.
    if (g->engine->pool->pops != s.pops || numFreeCLAs(g) < static_cast<int32_t>(numCLAsNeeded(g)) + 3)
        releaseHeld(s, g);
    // The move carried each length with its edge (a rerooted subtree's
    // too); the edge left behind takes in the length of the one P brought
    // along, and P splits the edge it joined. An interchange keeps every
    // length of its five edges, the middle one taking the length the old
    // middle edge had: the lengths it starts from are then those of the
    // tree swapped, not a merged and a halved edge far from where an edge
    // near length 0 (the interchange of a tie) or a long edge ends.
    TreeNode *edges[5] = {T, K, P, nullptr, nullptr};
    const double lo = std::max(getActiveML()->minBrlen, 0.0);
    int nEdges = 3;
    if (P->anc == nullptr) {
        if ((nEdges = rerootEdges(s, K, S, edges, lo)) == 0)
            return kNoLScore;
    } else {
        const Interchange nni = interchangeEdges(P, S, edges);
        if (nni == Interchange::kNone) {
            S->edge.brlen += P->edge.brlen;
            T->edge.brlen = P->edge.brlen = std::max(T->edge.brlen / 2.0, lo);
        } else if (nni == Interchange::kBelowCut) {
            std::swap(S->edge.brlen, P->edge.brlen);
        } else if (nni == Interchange::kAboveCut) {
            std::swap(T->edge.brlen, P->edge.brlen);
        }
        nEdges = nni == Interchange::kNone ? 3 : 5;
    }
    setActiveTreeForML(tree);
    dropStale(s, g);
    double score = kNoLScore;
    double lastRound = kNoLScore;
    for (int round = 0; round < kJoinRounds; ++round) {
        double largest = 0.0;
        for (int k = 0; k < nEdges; ++k) {
            TreeNode *n = edges[k];
            if (updateCLforEdge(n, g) != 0) {
                releaseHeld(s, g);
                return kNoLScore;
            }
            recordKeys(s, g);
            double d1 = 0.0;
            const double len = n->edge.brlen;
            const bool last = k == nEdges - 1;
            const bool early = round == 0 && k == 0 && nEdges == 3 && bound < kNoLScore;
            const double sc = optimizeOneEdge(n, g, last || early, &d1, kJoinTolerance);
            if (last)
                score = sc;
            largest = std::max(largest, d1);
            if (n->edge.brlen != len)
                dropStale(s, g);
            if (early && sc > bound + kFirstEdgeGainBound) {
                recordKeys(s, g);
                return sc;
            }
        }
        // Five edges move one another: they go on while a round gains.
        const bool settled = nEdges == 3 ? largest < kJoinTolerance : lastRound - score < kJoinGain;
        if (settled || score > bound + kRoundGainBound)
            break;
        lastRound = score;
    }
    recordKeys(s, g);
    return score;
}

void swapScreenLengths(Tree *tree, bool fitted)
{
    Screen &s = gScreen;
    if (s.tree != tree)
        return;
    for (uint32_t i = 0; i < tree->maxNodes; ++i) {
        double &len = tree->nodes[i].edge.brlen;
        if (fitted) {
            s.given[i] = len;
            len = s.base[i];
        } else {
            len = s.given[i];
        }
    }
}

bool swapScreenRejects(double local, double bound) { return local < kNoLScore && local > bound; }

double swapScreenRecheck()
{
    const ActiveML *a = getActiveML();
    if (a == nullptr || (a->flags & kAMLAdjustApproxLim) == 0)
        return 0.0;
    return std::max(kRecheckWindow, a->swapRecheck);
}

void swapScreenMissed(double local, double whole)
{
    ActiveML *a = getActiveML();
    if (a != nullptr && local < kNoLScore && whole < local)
        a->swapRecheck = std::max(a->swapRecheck, 2.0 * (local - whole));
}

void swapScreenEnd(Tree *tree)
{
    Screen &s = gScreen;
    ModelGroup *g = activeModelGroup();
    if (s.tree != tree || g == nullptr || g->engine == nullptr)
        return;
    releaseHeld(s, g);
    ModelGroupEngine &e = *g->engine;
    if (s.startedThreads)
        e.likThreads = destroyLikThreads(e.likThreads);
    s.startedThreads = false;
    s.tree = nullptr;
}
