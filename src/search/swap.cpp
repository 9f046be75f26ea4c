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

// ---------------------------------------------------------------------------
// Whole-tree scoring

CriterionTreeScoreFxn gCriterionScore[3] = {nullptr, nullptr, nullptr};
CriterionTreeScoreFxn gCriterionLengths[3] = {nullptr, nullptr, nullptr};
CriterionDescribeFxns gCriterionDescribe[3] = {};
CriterionCollapseFxns gCriterionCollapse[3] = {};

int applyWhole(HSearchData *hsd, Tree *tree, const RearrObject *move)
{
    RearrObject inverse;
    return applyTbrRearr(&inverse, tree, hsd->data, move, false);
}

void undoWhole(HSearchData *hsd, Tree *tree, const RearrObject *) { undoTbrRearr(tree, hsd->data, false); }

struct WholeTreeVisit {
    HSearchData *hsd;
    Tree *tree;
    CriterionTreeScoreFxn score;
    double *bound;
    double *best;
};

int visitWhole(void *arg, TreeNode *K, TreeNode *T, TreeNode *R, double)
{
    auto &v = *static_cast<WholeTreeVisit *>(arg);
    HSearchData *hsd = v.hsd;
    RearrObject move, inverse;
    makeRearrObject(&move, K, T, R, 0.0);
    if (applyTbrRearr(&inverse, v.tree, hsd->data, &move, false) != 0)
        return 0;
    const double bound = *v.bound;
    const double s = v.score(v.tree, bound);
    undoTbrRearr(v.tree, hsd->data, false);
    if (getAbortedStatus() && confirmAbortRequest())
        return 2;
    hsd->rearrTriedRep += 1.0;
    hsd->rearrTriedTotal += 1.0;
    int rc = 0;
    if (s < kNoScoreValue && scoreIsGood(hsd, s, bound, *v.best)) {
        makeRearrObject(&move, K, T, R, s);
        rc = tryToSaveTree(hsd, v.tree, &move, false, v.best);
    }
    return finishEvaluation(hsd, rc);
}

template <int kType>
int evaluateWhole(HSearchData *hsd, Tree *tree)
{
    CriterionTreeScoreFxn score = criterionTreeScoreFxn(gCriterion);
    if (!score)
        return 1;
    double own = tree->score[0];
    double *bound = hsd->rules.heuristicRunning ? &hsd->maxScoreToSave : &own;
    double best = *bound;
    WholeTreeVisit v{hsd, tree, score, bound, &best};
    return forEachTbrMove(tree, nullptr, kType, hsd->reconLimit, visitWhole, &v);
}

constexpr RearrFxns kWholeFxns[3] = {
    {applyWhole, undoWhole, evaluateWhole<kSwapNNI>, nullptr},
    {applyWhole, undoWhole, evaluateWhole<kSwapSPR>, nullptr},
    {applyWhole, undoWhole, evaluateWhole<kSwapTBR>, nullptr},
};

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

void installCriterionTreeScoreFxn(uint32_t criterion, CriterionTreeScoreFxn fxn)
{
    if (criterion >= 1 && criterion <= 2)
        gCriterionScore[criterion] = fxn;
}

CriterionTreeScoreFxn criterionTreeScoreFxn(uint32_t criterion)
{
    return criterion >= 1 && criterion <= 2 ? gCriterionScore[criterion] : nullptr;
}

void installCriterionLengthsFxn(uint32_t criterion, CriterionTreeScoreFxn fxn)
{
    if (criterion >= 1 && criterion <= 2)
        gCriterionLengths[criterion] = fxn;
}

CriterionTreeScoreFxn criterionLengthsFxn(uint32_t criterion)
{
    if (criterion < 1 || criterion > 2)
        return nullptr;
    return gCriterionLengths[criterion] ? gCriterionLengths[criterion] : gCriterionScore[criterion];
}

void installCriterionDescribeFxns(uint32_t criterion, const CriterionDescribeFxns &fxns)
{
    if (criterion >= 1 && criterion <= 2)
        gCriterionDescribe[criterion] = fxns;
}

const CriterionDescribeFxns *criterionDescribeFxns(uint32_t criterion)
{
    if (criterion < 1 || criterion > 2 || !gCriterionDescribe[criterion].scoreLabel)
        return nullptr;
    return &gCriterionDescribe[criterion];
}

void installCriterionCollapseFxns(uint32_t criterion, const CriterionCollapseFxns &fxns)
{
    if (criterion >= 1 && criterion <= 2)
        gCriterionCollapse[criterion] = fxns;
}

const CriterionCollapseFxns *criterionCollapseFxns(uint32_t criterion)
{
    if (criterion < 1 || criterion > 2)
        return nullptr;
    const CriterionCollapseFxns &f = gCriterionCollapse[criterion];
    return f.collapse && f.active && f.active() ? &f : nullptr;
}

int installWholeTreeSwapFxns(HSearchData *hsd, int swapType)
{
    if (swapType < kSwapNNI || swapType > kSwapTBR || !criterionTreeScoreFxn(gCriterion))
        return 1;
    auto collapse = hsd->fxns.collapse;
    hsd->fxns = kWholeFxns[swapType - 1];
    hsd->fxns.collapse = collapse;
    return 0;
}

void prepareTreeForSwapping(Tree *tree, const DataInfo *d)
{
    checkTraversalSeq(tree);
    calcStatesetsForSearch(tree, d, false);
}
