#include "search/swap.h"

#include "parsimony/calcsets.h"
#include "qel/qel_interrupts.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "trees/treeutil.h"

namespace {

int applyHit(HSearchData *hsd, Tree *tree, const RearrObject *move)
{
    RearrObject inverse;
    return applyTbrRearr(&inverse, tree, hsd->data, move, true);
}

void undoHit(HSearchData *hsd, Tree *tree, const RearrObject *) { undoTbrRearr(tree, hsd->data, true); }

// In a heuristic search the bound is the maximum score to save; on its own
// a tree must be beaten strictly.
template <int kType>
int evaluate(HSearchData *hsd, Tree *tree)
{
    double own = swapTreeScore(hsd->data, tree);
    double *bound = hsd->rules.heuristicRunning ? &hsd->maxScoreToSave : &own;
    double best = *bound;
    return evaluateNeighbors_TBR(tree, hsd, kType, lastMovedSubtree(tree), hsd->reconLimit, bound, &best);
}

constexpr RearrFxns kFxns[3] = {
    {applyHit, undoHit, evaluate<kSwapNNI>, nullptr},
    {applyHit, undoHit, evaluate<kSwapSPR>, nullptr},
    {applyHit, undoHit, evaluate<kSwapTBR>, nullptr},
};

}  // namespace

const RearrFxns *getSwapRearrFxns(int swapType)
{
    return swapType >= kSwapNNI && swapType <= kSwapTBR ? &kFxns[swapType - 1] : nullptr;
}

int installSwapFxns(HSearchData *hsd, int swapType)
{
    const RearrFxns *f = getSwapRearrFxns(swapType);
    if (!f)
        return 1;
    auto collapse = hsd->fxns.collapse;
    hsd->fxns = *f;
    hsd->fxns.collapse = collapse;
    return 0;
}

void prepareTreeForSwapping(Tree *tree, const DataInfo *d)
{
    checkTraversalSeq(tree);
    // Near cuts are tried together, and their sets are those of nodes near
    // each other on the tree.
    layOutNodeSets(d, tree);
    calcStatesetsForSearch(tree, d, false);
}
