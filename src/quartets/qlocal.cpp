#include "quartets/qlocal.h"

#include <bit>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/vorn_data.h"
#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "quartets/qsearch.h"
#include "quartets/quartets.h"
#include "search/hitlist.h"
#include "search/hsprep.h"
#include "search/quartetswap.h"
#include "search/tbr.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

// The quartet data of the local search that is running (one at a time: the
// search runs on the command's thread and nothing else meanwhile).
QuartetData *gLocalQd = nullptr;

void randomPairOf(void *state, uint32_t n, uint32_t *a, uint32_t *b)
{
    randomPair(static_cast<RNG *>(state), n, a, b);
}

// The support a node adds (the topologies resolved at it) depends only on
// its two child clusters, the rest of the tree being all other taxa. A
// rearrangement changes the clusters of the few nodes on its path, so the
// local search keeps every node's support by its clusters and works out
// only those it has not met.
struct NodeSupportCache {
    uint32_t words = 0;
    std::unordered_map<std::string, double> bySets;
    std::string key;
    std::vector<uint64_t> rest;

    double support(QuartetData *qd, const uint64_t *a, const uint64_t *b, const uint64_t *included)
    {
        const size_t bytes = words * sizeof(uint64_t);
        const bool aFirst = std::memcmp(a, b, bytes) < 0;
        key.assign(reinterpret_cast<const char *>(aFirst ? a : b), bytes);
        key.append(reinterpret_cast<const char *>(aFirst ? b : a), bytes);
        if (auto it = bySets.find(key); it != bySets.end())
            return it->second;
        rest.resize(words);
        for (uint32_t w = 0; w < words; w++)
            rest[w] = included[w] & ~(a[w] | b[w]);
        const double s = updateQuartetSupport(qd, a, b, rest.data());
        // A long search meets many clusters; past this the memory is better
        // spent afresh.
        if (bySets.size() > (1u << 20))
            bySets.clear();
        bySets.emplace(key, s);
        return s;
    }
};
NodeSupportCache gCache;

// Incompatible weight of the tree from the supports of its nodes.
double scoreFromNodeSupports(Tree *tree)
{
    QuartetData *qd = gLocalQd;
    if (!qd)
        return 1e37;
    checkTraversalSeq(tree);
    checkLeafSets(tree);
    checkIncludedLeaves(tree);
    gCache.words = tree->wordsPerLeafSet;
    const uint64_t *included = tree->includedTaxa->words;
    double support = 0.0;
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        const TreeNode *c1 = p->firstChild;
        if (!c1 || !c1->nextSib || (!c1->firstChild && !c1->nextSib->firstChild))
            continue;
        support += gCache.support(qd, c1->leafSet, c1->nextSib->leafSet, included);
    }
    return calcQwtIncompat(qd->table, support);
}

// The support a rearrangement gains, worked out from the quartets whose
// topology it changes instead of from the clusters of the rearranged tree.
// A TBR move of subtree S changes only quartets with one taxon in S (S
// grafted elsewhere) or three (S rerooted). Moving an attachment point
// across one vertex whose sides are behind, ahead and third changes exactly
// the quartets with a taxon in each side and one on the moving part: they
// pair the moving taxon with the taxon behind before and with the one ahead
// after. A move is the sum of that over the vertices of its graft path
// (in the rest of the tree) and of its reroot path (inside S).
class MoveSupportChange {
public:
    // Support of the tree after move (K, T, R) minus that of the tree; the
    // tree binary, rooted at a tip, its leaf sets and included set current.
    double operator()(const QwtTable *t, Tree *tree, const TreeNode *K, const TreeNode *T, const TreeNode *R)
    {
        words_ = tree->wordsPerLeafSet;
        for (auto &s : set_)
            s.resize(words_);
        all_ = tree->includedTaxa->words;
        const uint64_t *S = K->leafSet;
        double change = 0.0;
        const TreeNode *P = K->anc;
        if (P->anc && T != sibling(P, K)) {
            const TreeNode *Sb = sibling(P, K);
            if (isBelow(T, Sb)) {
                change += downTo(t, Sb, T, S);
            } else {
                // Up from K's old parent; at each ancestor either turn down
                // into its other child or go on up.
                const TreeNode *cur = P;
                for (const TreeNode *a = P->anc; a && a->anc; cur = a, a = a->anc) {
                    const TreeNode *c = sibling(a, cur);
                    bitVecSubtract(cur->leafSet, S, set_[1].data(), words_);  // behind
                    const bool turn = T != a && isBelow(T, c);
                    copyBitVec(c->leafSet, set_[turn ? 2 : 3].data(), words_);
                    bitVecSubtract(all_, a->leafSet, set_[turn ? 3 : 2].data(), words_);
                    change += regroup(t, S);
                    if (turn) {
                        change += downTo(t, c, T, S);
                        break;
                    }
                    if (T == a)
                        break;
                }
            }
        }
        if (R != K) {
            // The rest of the tree moves from K's root edge down to R's.
            bitVecSubtract(all_, S, moving_.data(), words_);
            for (const TreeNode *u = childToward(K, R); u != R;) {
                const TreeNode *ahead = childToward(u, R);
                bitVecSubtract(S, u->leafSet, set_[1].data(), words_);
                copyBitVec(ahead->leafSet, set_[2].data(), words_);
                copyBitVec(sibling(u, ahead)->leafSet, set_[3].data(), words_);
                change += regroup(t, moving_.data());
                u = ahead;
            }
        }
        return change;
    }

    void reserve(uint32_t words) { moving_.resize(words); }

private:
    static const TreeNode *sibling(const TreeNode *parent, const TreeNode *child)
    {
        return parent->firstChild == child ? child->nextSib : parent->firstChild;
    }
    static bool isBelow(const TreeNode *node, const TreeNode *top)
    {
        for (; node; node = node->anc)
            if (node == top)
                return true;
        return false;
    }
    static const TreeNode *childToward(const TreeNode *u, const TreeNode *target)
    {
        const TreeNode *c = u->firstChild;
        return isBelow(target, c) ? c : c->nextSib;
    }

    // From vertex u down to the edge above T, S lying above u.
    double downTo(const QwtTable *t, const TreeNode *u, const TreeNode *T, const uint64_t *S)
    {
        double change = 0.0;
        while (u != T) {
            const TreeNode *ahead = childToward(u, T);
            bitVecSubtract(all_, u->leafSet, set_[1].data(), words_);
            bitVecSubtract(set_[1].data(), S, set_[1].data(), words_);
            copyBitVec(ahead->leafSet, set_[2].data(), words_);
            copyBitVec(sibling(u, ahead)->leafSet, set_[3].data(), words_);
            change += regroup(t, S);
            u = ahead;
        }
        return change;
    }

    // Sum over one taxon of the moving set and of each side (set_[1]
    // behind, set_[2] ahead, set_[3] third) of w(m a | b c) - w(m b | a c).
    double regroup(const QwtTable *t, const uint64_t *moving)
    {
        const uint32_t n = t->n;
        auto load = [&](const uint64_t *set, std::vector<uint32_t> &out) {
            out.clear();
            for (uint32_t w = 0; w < words_; w++)
                for (uint64_t bits = set[w]; bits; bits &= bits - 1) {
                    const uint32_t x = w * 64 + static_cast<uint32_t>(std::countr_zero(bits));
                    if (x < n)
                        out.push_back(x);
                }
            return !out.empty();
        };
        if (!load(moving, list_[0]) || !load(set_[1].data(), list_[1]) || !load(set_[2].data(), list_[2]) ||
            !load(set_[3].data(), list_[3]))
            return 0.0;
        const uint64_t *rowStart = t->rowStart.data();
        double sum = 0.0;
        for (uint32_t m : list_[0])
            for (uint32_t b : list_[1])
                for (uint32_t a : list_[2])
                    for (uint32_t c : list_[3]) {
                        const QwtLoc before = getQwtLoc(t, m, b, a, c), after = getQwtLoc(t, m, a, b, c);
                        const uint64_t cell = rowStart[before.row] + before.cell;
                        if (t->binary)
                            sum += double((t->bits[cell] >> after.topology) & 1) -
                                   double((t->bits[cell] >> before.topology) & 1);
                        else
                            sum += double(t->wts[3 * cell + after.topology]) -
                                   double(t->wts[3 * cell + before.topology]);
                    }
        return sum;
    }

    uint32_t words_ = 0;
    const uint64_t *all_ = nullptr;
    std::vector<uint64_t> set_[4], moving_;
    std::vector<uint32_t> list_[4];
};
MoveSupportChange gMoveChange;

// The incompatible weight after a move, from that of the tree.
bool scoreMove(Tree *tree, TreeNode *K, TreeNode *T, TreeNode *R, double current, double *score)
{
    QuartetData *qd = gLocalQd;
    if (!qd || !tree->root || !tree->root->firstChild || tree->root->firstChild->nextSib)
        return false;  // rooted at an inner node: scored whole
    *score = current - quartetMoveSupportChange(qd, tree, K, T, R);
    return true;
}

}  // namespace

double quartetMoveSupportChange(QuartetData *qd, Tree *tree, TreeNode *K, TreeNode *T, TreeNode *R)
{
    checkTraversalSeq(tree);
    checkLeafSets(tree);
    checkIncludedLeaves(tree);
    gMoveChange.reserve(tree->wordsPerLeafSet);
    return gMoveChange(qd->table, tree, K, T, R);
}

int prepForLocalQuartetSearch(QuartetData *qd, Tree *tree)
{
    const uint32_t words = tree->wordsPerLeafSet;
    if (qd->support.size() < 3 * uint64_t{tree->maxNodes} || qd->restWords < words)
        return 1;
    checkTraversalSeq(tree);
    checkLeafSets(tree);
    setIncludedLeaves(tree);
    const uint64_t *included = tree->includedTaxa->words;
    TreeNode *fork = getFirstFork(tree);
    auto rec = [&](const TreeNode *p, uint32_t k) -> QuartetSupportRec & {
        return qd->support[3 * uint64_t{nodePosition(tree, p)} + k];
    };
    auto rest = [&](const TreeNode *p) {
        return qd->restSets.data() + uint64_t{nodePosition(tree, p)} * qd->restWords;
    };
    for (TreeNode *p = tree->root; p; p = p->next) {
        QuartetSupportRec &own = rec(p, 0), &other = rec(p, 1), &spare = rec(p, 2);
        own = {0.0, 0.0, p->leafSet};
        // The rest of the tree; seen from the basal fork, the root tip.
        bitVecSubtract(included, p->leafSet, rest(p), words);
        other = {0.0, 0.0, rest(p)};
        spare = {0.0, 0.0, nullptr};
    }
    // Downward supports, children before parents.
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        const TreeNode *c1 = p->firstChild;
        if (!c1 || !c1->nextSib)
            continue;
        const TreeNode *c2 = c1->nextSib;
        double sum = rec(c1, 0).sum + rec(c2, 0).sum;
        if (c1->firstChild || c2->firstChild)
            sum += updateQuartetSupport(qd, c1->leafSet, c2->leafSet, rest(p));
        rec(p, 0).sum = rec(p, 0).saved = sum;
    }
    tree->flags |= kTreeLeafSetsValid;
    // Upward supports, parents before children, below the basal fork.
    for (TreeNode *p = fork->firstChild; p; p = p->next) {
        TreeNode *parent = p->anc;
        const TreeNode *sib = parent->firstChild == p ? p->nextSib : parent->firstChild;
        if (!sib)
            continue;
        const double sum =
            rec(sib, 0).sum + rec(parent, 1).sum + updateQuartetSupport(qd, sib->leafSet, rest(parent), p->leafSet);
        rec(p, 1).sum = rec(p, 1).saved = sum;
    }
    return 0;
}


double calcQScoreForLocalSearch(Tree *tree)
{
    QuartetData *qd = gLocalQd;
    if (!qd)
        return 1e37;
    return calcQwtIncompat(qd->table, calcQuartetSupport(qd, tree, false));
}

int localQuartetSearch(QuartetData *qd, Tree *tree, DataInfo *d, uint32_t kind, uint32_t reconLimit, bool slow,
                       double *incompat)
{
    HSearchData *hsd = createHSearchData(d, tree->ntax, SaveRules{}, false);
    if (!hsd)
        return 1;
    gLocalQd = qd;
    setIncludedLeaves(tree);
    if (!determineIfTreeIsBinary(tree)) {
        RNG rng{};
        initRNG(&rng, makeSeed1(1));
        dichotomizeTree(tree, randomPairOf, &rng);
        afterTreeChange(tree);
        setTraversalSeq(tree);
        determineIfTreeIsBinary(tree);
    }
    // The swapper scores the starting tree once and each move by the
    // quartets it changes, so neither the per-node supports nor a score
    // here would be read.
    setSearchVariables(kSearchModeQuartet, d);
    setQuartetTreeScoreFxn(slow ? calcQScoreForLocalSearch : nullptr);
    const int status = localSearchFromOneTreeViaTBR(tree, hsd, static_cast<int>(kind), reconLimit, incompat);
    setQuartetTreeScoreFxn(nullptr);
    gLocalQd = nullptr;
    gCache.bySets.clear();
    destroyHSearchData(hsd);
    finishSearch(0);
    afterTreeChange(tree);
    setTraversalSeq(tree);
    return status;
}

int installQuartetSearchScore() { return installQuartetSearchFxns(QuartetSearchFxns{scoreFromNodeSupports, scoreMove}); }
