#include "search/ecr.h"

#include "search/constrsearch.h"
#include "search/critscore.h"

#include <vector>

#include "parsimony/calcsets.h"
#include "parsimony/dollo_search.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/packx.h"
#include "qel/qel_interrupts.h"
#include "search/hitlist.h"
#include "search/scores.h"
#include "search/swap.h"
#include "search/tbr.h"
#include "trees/treeutil.h"

// How a resolution is scored. Cutting the edge above the node c that stays
// splits the tree of length L into c's subtree and the rest, so
//   L = len(c's subtree) + len(rest) + steps(down(c), up(c)),
// and c's subtree is len(Q0) + ... + len(Q3) plus the steps of the three
// joins inside the contracted pair. A resolution keeps the pieces and only
// joins them in another order: its length is
//   L - len(c's subtree) - steps(down(c), up(c)) + sum len(Qi)
//     + the steps of its three joins + steps(joined set, up(c)),
// which neither part's rooting changes (Fitch and additive rules).

const EcrRefinement refinementTable[kNumRefinements] = {
    {{0, 1, 2, 3}, EcrShape::kBalanced, 1}, {{0, 1, 2, 3}, EcrShape::kChain, 2},
    {{0, 1, 3, 2}, EcrShape::kChain, 0},    {{0, 2, 1, 3}, EcrShape::kBalanced, 0},
    {{0, 2, 1, 3}, EcrShape::kChain, 0},    {{0, 2, 3, 1}, EcrShape::kChain, 0},
    {{0, 3, 1, 2}, EcrShape::kBalanced, 0}, {{0, 3, 1, 2}, EcrShape::kChain, 0},
    {{0, 3, 2, 1}, EcrShape::kChain, 0},    {{1, 2, 0, 3}, EcrShape::kChain, 3},
    {{1, 2, 3, 0}, EcrShape::kChain, 0},    {{1, 3, 0, 2}, EcrShape::kChain, 0},
    {{1, 3, 2, 0}, EcrShape::kChain, 0},    {{2, 3, 0, 1}, EcrShape::kChain, 0},
    {{2, 3, 1, 0}, EcrShape::kChain, 0},
};

namespace {

ParsNodeSets *down(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *up(const TreeNode *n) { return nodeSets(n->abm[1]); }

bool isInternal(const TreeNode *n) { return n && n->firstChild; }

TreeNode *sibling(const TreeNode *n)
{
    TreeNode *f = n->anc->firstChild;
    return f == n ? n->nextSib : f;
}

// The two nodes that become inner forks of a resolution, in the order the
// identity entry of the type uses them.
void innerNodes(TreeNode *X, int type, TreeNode **i1, TreeNode **i2)
{
    TreeNode *c1 = X->firstChild, *c2 = c1->nextSib;
    if (type == 1) {
        *i1 = c1;
        *i2 = c2;
    } else {
        *i1 = type == 2 ? c1 : c2;
        *i2 = X;
    }
}

void link(TreeNode *parent, TreeNode *left, TreeNode *right)
{
    parent->firstChild = left;
    left->nextSib = right;
    right->nextSib = nullptr;
    left->anc = right->anc = parent;
}

// Three set records of the calling thread for the joins, grown to the data.
struct JoinSets {
    std::vector<uint64_t> ord, uno, dollo;
    std::vector<int64_t> stm;
    ParsNodeSets rec[3]{};

    void fit(const DataInfo *d)
    {
        const PackedData *pd = packedData(d);
        const size_t o = 4 * size_t{pd->ordWords}, u = 2 * size_t{pd->unoWords};
        if (ord.size() < 3 * o || uno.size() < 3 * u) {
            ord.assign(3 * o, 0);
            uno.assign(3 * u, 0);
        }
        const size_t m = pd->stmSets ? pd->stmStride : 0, dw = dolRecordWords(d);
        if (stm.size() < 3 * m)
            stm.assign(3 * m, 0);
        if (dollo.size() < 3 * dw)
            dollo.assign(3 * dw, 0);
        for (int k = 0; k < 3; k++) {
            rec[k] = ParsNodeSets{};
            rec[k].ord = ord.data() + k * o;
            rec[k].uno = uno.data() + k * u;
            rec[k].stm = m ? stm.data() + k * m : nullptr;
            rec[k].dollo = dw ? dollo.data() + k * dw : nullptr;
        }
    }
};
thread_local JoinSets gJoin;

// One contraction, ready to score its resolutions.
struct Contraction {
    const DataInfo *d;
    TreeNode *q[5];
    double start;  // the tree's length less the centre's subtree and edge, plus the pieces

    Contraction(const DataInfo *data, double whole, TreeNode *X, int type) : d(data)
    {
        makeQList(X, type, q);
        double cut = 0.0;
        frvGetCutBranchLen(d, q[4], &cut);
        start = whole - down(q[4])->len - cut;
        for (int k = 0; k < 4; k++)
            start += down(q[k])->len;
        gJoin.fit(d);
    }

    double score(int entry, double bound) const
    {
        const EcrRefinement &e = refinementTable[entry];
        ParsNodeSets *r = gJoin.rec;
        const ParsNodeSets *p[4];
        for (int k = 0; k < 4; k++)
            p[k] = down(q[e.piece[k]]);
        double s = start;
        frvSetBin(d, p[0], p[1], true, false, &r[0], &s);
        if (e.shape == EcrShape::kBalanced) {
            frvSetBin(d, p[2], p[3], true, false, &r[1], &s);
            frvSetBin(d, &r[0], &r[1], true, false, &r[2], &s);
        } else {
            frvSetBin(d, &r[0], p[2], true, false, &r[1], &s);
            frvSetBin(d, &r[1], p[3], true, false, &r[2], &s);
        }
        frvAddSpan(d, &r[2], up(q[4]), false, &s, bound);
        return s;
    }
};

}  // namespace

bool ecrTypeApplies(const TreeNode *X, int type)
{
    const TreeNode *c1 = X ? X->firstChild : nullptr;
    if (!c1 || !c1->nextSib || c1->nextSib->nextSib)
        return false;
    const TreeNode *c2 = c1->nextSib;
    switch (type) {
    case 1: return isInternal(c1) && isInternal(c2);
    case 2: return X->anc && X->anc->anc && isInternal(c1);
    case 3: return X->anc && X->anc->anc && isInternal(c2);
    default: return false;
    }
}

void makeQList(TreeNode *X, int type, TreeNode *q[5])
{
    TreeNode *c1 = X->firstChild, *c2 = c1->nextSib;
    if (type == 1) {
        q[0] = c1->firstChild;
        q[1] = q[0]->nextSib;
        q[2] = c2->firstChild;
        q[3] = q[2]->nextSib;
        q[4] = X;
        return;
    }
    if (type == 2) {
        q[0] = c1->firstChild;
        q[1] = q[0]->nextSib;
        q[2] = c2;
    } else {
        q[0] = c1;
        q[1] = c2->firstChild;
        q[2] = q[1]->nextSib;
    }
    q[3] = sibling(X);
    q[4] = X->anc;
}

double ecrResolutionScore(Tree *tree, const DataInfo *d, TreeNode *X, int type, int entry)
{
    const Contraction c(d, getBaseScore(d, true) + revTreeLength(d, tree), X, type);
    return c.score(entry, kNoScoreValue);
}

// ---------------------------------------------------------------------------
// Performing a move

int finishRearr_ECR(Tree *tree, const RearrObject *hit, bool carryEdgeData)
{
    if (hit->isEcr == kEcrAfterNNI) {
        TreeNode *Y = hit->ecrFirst;
        if (!Y || !Y->anc || !Y->anc->anc || !Y->anc->anc->anc)
            return 1;
        if (finishRearr_TBR(tree, Y, sibling(Y->anc), Y, carryEdgeData) != 0)
            return 1;
        return hit->node[0] ? finishRearr_TBR(tree, hit->node[0], hit->node[1], hit->node[2], carryEdgeData) : 0;
    }
    TreeNode *X = hit->node[0];
    const int type = hit->code[0], entry = hit->code[1];
    if (hit->isEcr != kEcrAdjacent || !ecrTypeApplies(X, type) || entry < 0 || entry >= kNumRefinements)
        return 1;
    TreeNode *q[5], *i1, *i2;
    makeQList(X, type, q);
    innerNodes(X, type, &i1, &i2);
    const EcrRefinement &e = refinementTable[entry];
    TreeNode *a = q[e.piece[0]], *b = q[e.piece[1]], *c = q[e.piece[2]], *d = q[e.piece[3]];
    // The node that stays keeps its place among its parent's children.
    if (e.shape == EcrShape::kBalanced) {
        link(q[4], i1, i2);
        link(i2, c, d);
    } else {
        link(q[4], i2, d);
        link(i2, i1, c);
    }
    link(i1, a, b);
    afterTreeChange(tree);
    setTraversalSeq(tree);
    setLastMovedSubtree(tree, q[4]);
    return 0;
}

int applyEcrRearr(Tree *tree, const DataInfo *d, const RearrObject *hit)
{
    if (finishRearr_ECR(tree, hit, true) != 0)
        return 1;
    checkTraversalSeq(tree);
    calcStatesetsForSearch(tree, d, false);
    return 0;
}

namespace {

// The tree as it is, node records and all, in the search's second work tree.
Tree *snapshotTree(HSearchData *hsd, const Tree *tree)
{
    if (hsd->ecrSnapshot && hsd->ecrSnapshot->maxNodes != tree->maxNodes)
        hsd->ecrSnapshot = destroyTree(hsd->ecrSnapshot, false);
    hsd->ecrSnapshot = shallowCopyTree(tree, hsd->ecrSnapshot);
    return hsd->ecrSnapshot;
}

// Parsimony keeps state sets on every node, which the moves update; the
// other criteria score each tree whole from its topology and lengths.
bool keepsSets() { return gCriterion == kCriterionParsimony; }

// Whether a resolution is scored by making it and scoring the tree whole:
// under another criterion, and under a parsimony score that is not a sum of
// steps (threshold, Goloboff), which the pieces' step counts cannot give.
bool scoresWhole(const DataInfo *d) { return !keepsSets() || altScoring(d); }

// The score of the tree as it stands, bounded where the criterion can use it.
double wholeScore(HSearchData *hsd, Tree *tree, double bound)
{
    if (!keepsSets())
        return criterionTreeScore(tree, bound);
    calcStatesetsForSearch(tree, hsd->data, false);
    return swapTreeScore(hsd->data, tree);
}

// Puts the tree back as snapshotTree saw it; the sets are recomputed, since
// the incremental passes may have exchanged records between nodes.
void restoreSwapTree(HSearchData *hsd, Tree *tree)
{
    const uint32_t extras = tree->flags & kTreeHasExtras;
    shallowCopyTree(hsd->ecrSnapshot, tree);
    tree->flags |= extras;
    afterTreeChange(tree);
    setTraversalSeq(tree);
    if (keepsSets())
        calcStatesetsForSearch(tree, hsd->data, false);
}

int applyHit(HSearchData *hsd, Tree *tree, const RearrObject *move)
{
    if (!snapshotTree(hsd, tree))
        return 1;
    RearrObject inverse;
    if (!keepsSets()) {
        if (move->isEcr)
            return finishRearr_ECR(tree, move, true);
        const int rc = applyTbrRearr(&inverse, tree, hsd->data, move, false);
        setTraversalSeq(tree);
        return rc;
    }
    if (move->isEcr)
        return applyEcrRearr(tree, hsd->data, move);
    return applyTbrRearr(&inverse, tree, hsd->data, move, true);
}

void undoHit(HSearchData *hsd, Tree *tree, const RearrObject *) { restoreSwapTree(hsd, tree); }

int evaluateHits(HSearchData *hsd, Tree *tree)
{
    double own = keepsSets() ? swapTreeScore(hsd->data, tree) : tree->score[0];
    double *bound = hsd->rules.heuristicRunning ? &hsd->maxScoreToSave : &own;
    double best = *bound;
    return evaluateNeighbors_ECR(tree, hsd, lastMovedSubtree(tree), bound, &best);
}

constexpr RearrFxns kEcrFxns = {applyHit, undoHit, evaluateHits, nullptr};

// The interchanges of the tree after Y was moved onto the edge of its
// parent's sibling, with the edges around that move left out. Their hits
// are TBR moves on that tree: they are flushed before the interchange is
// undone, except a better tree, which the caller swaps on in place (as the
// interchange and the move together).
int evaluateAfterNNI(Tree *tree, HSearchData *hsd, TreeNode *Y, double *bound, double *best)
{
    const DataInfo *d = hsd->data;
    TreeNode *const lastMoved = lastMovedSubtree(tree);
    // The interchange and its inverse update the sets incrementally (both
    // away from the root), exactly as a full pass would leave them. Without
    // sets the neighbours are scored whole.
    const bool sets = keepsSets();
    RearrObject nni, inverse, again;
    makeRearrObject(&nni, Y, sibling(Y->anc), Y, 0.0);
    if (applyTbrRearr(&inverse, tree, d, &nni, sets) != 0)
        return 1;
    if (!sets)
        setTraversalSeq(tree);
    const RearrFxns outer = hsd->fxns;
    if (sets)
        installSwapFxns(hsd, kSwapTBR);
    else
        installRescoringSwapFxns(hsd, kSwapNNI);
    hsd->ecrNode = Y;
    setEcrRedundantEdges(hsd);
    int rc = sets ? evaluateNeighbors_TBR(tree, hsd, kSwapNNI, Y, 0, bound, best)
                  : evaluateNeighborsByRescoring(tree, hsd, kSwapNNI, bound, best);
    hsd->ecrNode = nullptr;
    HitList &list = hsd->hitList;
    const bool inPlace = rc == -1 && !hsd->rules.steepest && !hsd->rules.allSwap && list.count > 0;
    RearrObject better{};
    if (inPlace) {
        better = list.hits[list.count - 1];
        better.isEcr = kEcrAfterNNI;
        better.ecrFirst = Y;
        if (list.count > 1) {
            const int flushed = flushHits(hsd, tree, 0);
            if (flushed > 0 || flushed == -2)
                rc = flushed;
        }
    } else if (rc == 0 || rc == -1) {
        rc = flushHits(hsd, tree, rc);
    }
    hsd->fxns = outer;
    applyTbrRearr(&again, tree, d, &inverse, sets);
    if (!sets)
        setTraversalSeq(tree);
    setLastMovedSubtree(tree, lastMoved);
    if (inPlace && rc == -1) {
        list.hits[0] = better;
        list.count = 1;
    }
    return rc;
}

}  // namespace

// ---------------------------------------------------------------------------
// Evaluation

namespace {

RearrObject adjacentHit(TreeNode *X, int type, int entry, double score)
{
    RearrObject r;
    makeRearrObject(&r, X, nullptr, nullptr, score);
    r.code[0] = static_cast<int16_t>(type);
    r.code[1] = static_cast<int16_t>(entry);
    r.isEcr = kEcrAdjacent;
    return r;
}

// The resolutions of one contraction, each made on the tree, scored whole
// and undone from the snapshot; a good one goes to the hit list with the
// tree whole again.
int contractAndRefineWhole(Tree *tree, HSearchData *hsd, TreeNode *X, int type, double *bound, double *best)
{
    for (int entry = 0; entry < kNumRefinements; entry++) {
        if (refinementTable[entry].identityFor == type)
            continue;
        RearrObject r = adjacentHit(X, type, entry, 0.0);
        // A resolution the enforced constraint forbids is never scored: a
        // whole score is the expensive part.
        if (!ecrMoveAllowed(tree, &r))
            continue;
        const double limit = *bound;
        if (!snapshotTree(hsd, tree) || finishRearr_ECR(tree, &r, false) != 0)
            return 1;
        const double score = wholeScore(hsd, tree, limit);
        restoreSwapTree(hsd, tree);
        if (searchStopRequested())
            return 2;
        hsd->rearrTriedRep += 1.0;
        hsd->rearrTriedTotal += 1.0;
        int rc = 0;
        if (score < kNoScoreValue && scoreIsGood(hsd, score, limit, *best)) {
            r = adjacentHit(X, type, entry, score);
            rc = tryToSaveTree(hsd, tree, &r, false, best);
        }
        if (int stop = finishEvaluation(hsd, rc))
            return stop;
    }
    return 0;
}

}  // namespace

int contractAndRefineAdjacent(Tree *tree, HSearchData *hsd, TreeNode *X, int type, double *bound, double *best)
{
    const DataInfo *d = hsd->data;
    if (scoresWhole(d))
        return contractAndRefineWhole(tree, hsd, X, type, bound, best);
    const Contraction c(d, getBaseScore(d, true) + revTreeLength(d, tree), X, type);
    for (int entry = 0; entry < kNumRefinements; entry++) {
        if (refinementTable[entry].identityFor == type)
            continue;
        const double limit = *bound;
        // The pieces' records are read afresh: a flush below may have
        // exchanged records between nodes (the lengths stay the same).
        const double score = c.score(entry, limit);
        if (searchStopRequested())
            return 2;
        hsd->rearrTriedRep += 1.0;
        hsd->rearrTriedTotal += 1.0;
        int rc = 0;
        if (scoreIsGood(hsd, score, limit, *best)) {
            RearrObject r = adjacentHit(X, type, entry, score);
            if (ecrMoveAllowed(tree, &r))
                rc = tryToSaveTree(hsd, tree, &r, false, best);
        }
        if (int stop = finishEvaluation(hsd, rc))
            return stop;
    }
    return 0;
}

int evaluateNeighbors_ECR(Tree *tree, HSearchData *hsd, TreeNode *centre, double *bound, double *best)
{
    checkTraversalSeq(tree);
    // The order outlives the evaluations nested below, which order their own.
    thread_local std::vector<TreeNode *> order;
    order.resize(tree->maxNodes);
    order.resize(setCutSequence(tree, centre, order.data()));

    for (TreeNode *X : order) {
        for (int type = 1; type <= 3; type++)
            if (ecrTypeApplies(X, type))
                if (int rc = contractAndRefineAdjacent(tree, hsd, X, type, bound, best))
                    return rc;
        // Flushing applies and undoes each hit, which leaves the tree and
        // its sets as they were for the next node.
        if (numHits(hsd) > 0)
            if (int rc = flushHits(hsd, tree, 0))
                return rc;
    }
    for (TreeNode *Y : order) {
        const TreeNode *P = Y->anc;
        if (!P || !P->anc || !P->anc->anc)
            continue;
        if (int rc = evaluateAfterNNI(tree, hsd, Y, bound, best))
            return rc;
    }
    return 0;
}

void setEcrRedundantEdges(HSearchData *hsd)
{
    TreeNode *Y = hsd->ecrNode, *P = Y->anc;
    TreeNode *const edges[5] = {Y, sibling(Y), P, sibling(P), P->anc};
    for (int k = 0; k < 5; k++)
        hsd->ecrRedundant[k] = edges[k];
}

bool isRedundantEcrNNI(const HSearchData *hsd, const TreeNode *node)
{
    for (const TreeNode *e : hsd->ecrRedundant)
        if (e == node)
            return true;
    return false;
}

void installEcrSwapFxns(HSearchData *hsd)
{
    auto collapse = hsd->fxns.collapse;
    hsd->fxns = kEcrFxns;
    hsd->fxns.collapse = collapse;
}
