#include "search/nniswap.h"

#include "data/vorn_data.h"
#include "parsimony/calcsets.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/treelen.h"
#include "qel/qel_interrupts.h"
#include "search/constrsearch.h"
#include "search/hitlist.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "trees/treeutil.h"

namespace {

// The other child of x's ancestor on a binary fork; null otherwise.
TreeNode *siblingOf(const TreeNode *x)
{
    const TreeNode *f = x->anc;
    if (!f || !f->firstChild || !f->firstChild->nextSib || f->firstChild->nextSib->nextSib)
        return nullptr;
    return f->firstChild == x ? f->firstChild->nextSib : f->firstChild;
}

// The partner u of an NNI moving x, or null when x has none: x's parent f
// must have an ancestor g that is a binary fork.
TreeNode *nniPartner(const TreeNode *x)
{
    const TreeNode *f = x->anc;
    if (!f || !f->anc || !siblingOf(x))
        return nullptr;
    return siblingOf(f);
}

// Only free-reversible classes under a minimised length can be scored from
// the sets around the moved edge.
bool incrementalScoring(const DataInfo *d)
{
    return gCriterion == kCriterionParsimony && !gPars.threshold && !gPars.goloboff && d->parsFxns;
}

double rescore(HSearchData *hsd, Tree *tree, TreeNode *x, TreeNode *u)
{
    exchangeSubtrees(tree, x, u);
    setTraversalSeq(tree);
    const double s = calcParsimonyScore(hsd->data, tree, false);
    exchangeSubtrees(tree, x, u);
    setTraversalSeq(tree);
    return s;
}

int applyNNI(HSearchData *, Tree *tree, const RearrObject *move)
{
    if (!move->node[0] || !move->node[1])
        return 1;
    exchangeSubtrees(tree, move->node[0], move->node[1]);
    setTraversalSeq(tree);
    return 0;
}

void undoNNI(HSearchData *hsd, Tree *tree, const RearrObject *move) { applyNNI(hsd, tree, move); }

int evaluateNNI(HSearchData *hsd, Tree *tree)
{
    DataInfo *d = hsd->data;
    setTraversalSeq(tree);
    pointTreeAtPackedData(tree, d);
    const bool incremental = incrementalScoring(d);
    double whole = 0.0;
    if (incremental) {
        calcStatesetsForSearch(tree, d, true);
        whole = getBaseScore(d, true) + tree->score[0];
    } else {
        whole = calcParsimonyScore(d, tree, false);
    }
    tree->score[0] = whole;
    // The preorder list is fixed for the whole evaluation: no move is applied
    // here, only recorded.
    for (TreeNode *x = tree->root; x; x = x->next) {
        TreeNode *u = nniPartner(x);
        if (!u)
            continue;
        // Joining x to u's edge leaves x's sibling where u was.
        TreeNode *s0 = siblingOf(x);
        double best = hsd->bestScoreRep;
        const double bound = hsd->rules.heuristicRunning ? hsd->maxScoreToSave : best;
        double s;
        if (incremental) {
            double cut = 0.0, join = 0.0;
            frvGetCutBranchLen(d, x, &cut);
            frvEvalSwap_NNI(d, nullptr, x, &join, kNoScoreValue);
            s = whole - cut + join;
        } else {
            s = rescore(hsd, tree, s0, u);
            pointTreeAtPackedData(tree, d);
        }
        hsd->rearrTriedRep += 1.0;
        hsd->rearrTriedTotal += 1.0;
        int result = 0;
        if (searchStopRequested())
            return 2;
        if (scoreIsGood(hsd, s, bound, best) && nniMoveAllowed(tree, s0, u)) {
            RearrObject r;
            makeRearrObject(&r, s0, u, nullptr, s);
            result = tryToSaveTree(hsd, tree, &r, false, &best);
        }
        result = finishEvaluation(hsd, result);
        if (result != 0)
            return result;
    }
    return 0;
}

}  // namespace

void exchangeSubtrees(Tree *tree, TreeNode *x, TreeNode *u)
{
    TreeNode *f = x->anc, *g = u->anc;
    if (f != g) {
        TreeNode **px = &f->firstChild, **pu = &g->firstChild;
        while (*px != x)
            px = &(*px)->nextSib;
        while (*pu != u)
            pu = &(*pu)->nextSib;
        TreeNode *xNext = x->nextSib, *uNext = u->nextSib;
        *px = u;
        u->nextSib = xNext;
        u->anc = f;
        *pu = x;
        x->nextSib = uNext;
        x->anc = g;
    }
    afterTreeChange(tree);
}

unsigned countNNIMoves(Tree *tree)
{
    setTraversalSeq(tree);
    unsigned n = 0;
    for (TreeNode *x = tree->root; x; x = x->next)
        n += nniPartner(x) != nullptr;
    return n;
}

void installNNISwapFxns(HSearchData *hsd)
{
    hsd->fxns.apply = applyNNI;
    hsd->fxns.undo = undoNNI;
    hsd->fxns.evaluateNeighbors = evaluateNNI;
}
