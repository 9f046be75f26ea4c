#include "search/critscore.h"

#include <array>
#include <vector>

#include "search/hitlist.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "search/swap.h"
#include "search/tbr.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_util.h"
#include "trees/treeutil.h"

namespace {

std::array<SearchScoreHooks, 3> gHooks{};
std::array<bool, 3> gInstalled{};

struct Move {
    TreeNode *K, *T, *R;
};

int collectMove(void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double)
{
    static_cast<std::vector<Move> *>(ctx)->push_back({K, T, R});
    return 0;
}

// Every neighbour of the tree rescored through the slot: a better one (or,
// while saving several, a good enough one) goes to the hit list, with the
// tree whole again, as the parsimony swapper does.
template <int kType>
int evaluateByRescoring(HSearchData *hsd, Tree *tree)
{
    std::vector<Move> moves;
    forEachTbrMove(tree, hsd->data, kType, hsd->reconLimit, collectMove, &moves);
    double own = tree->score[0];
    double *bound = hsd->rules.heuristicRunning ? &hsd->maxScoreToSave : &own;
    double best = *bound;
    int result = 0;
    for (const Move &m : moves) {
        RearrObject hit, inverse;
        makeRearrObject(&hit, m.K, m.T, m.R, 0.0);
        if (applyTbrRearr(&inverse, tree, hsd->data, &hit, false) != 0)
            continue;
        setTraversalSeq(tree);
        const double bnd = *bound;
        const double s = scoreTreeForSearch(hsd->data, tree, bnd);
        undoTbrRearr(tree, hsd->data, false);
        setTraversalSeq(tree);
        if (getAbortedStatus() && confirmAbortRequest())
            return 2;
        hsd->rearrTriedRep += 1.0;
        hsd->rearrTriedTotal += 1.0;
        if (s < kNoScoreValue && scoreIsGood(hsd, s, bnd, best)) {
            makeRearrObject(&hit, m.K, m.T, m.R, s);
            result = tryToSaveTree(hsd, tree, &hit, false, &best);
        }
        result = finishEvaluation(hsd, result);
        if (result != 0)
            return result;
    }
    return result;
}

constexpr int (*kRescoringEvaluators[3])(HSearchData *, Tree *) = {
    evaluateByRescoring<kSwapNNI>, evaluateByRescoring<kSwapSPR>, evaluateByRescoring<kSwapTBR>};

}  // namespace

int installSearchScoreHooks(uint32_t criterion, const SearchScoreHooks &hooks)
{
    if (criterion >= gHooks.size() || criterion == kCriterionParsimony)
        return 1;
    gHooks[criterion] = hooks;
    gInstalled[criterion] = hooks.scoreTree != nullptr;
    return 0;
}

const SearchScoreHooks *searchScoreHooks(uint32_t criterion)
{
    return criterion < gHooks.size() && gInstalled[criterion] ? &gHooks[criterion] : nullptr;
}

double scoreTreeForSearch(DataInfo *d, Tree *tree, double target)
{
    const SearchScoreHooks *h = searchScoreHooks(gCriterion);
    return h ? h->scoreTree(d, tree, target) : kNoScoreValue;
}

int installRescoringSwapFxns(HSearchData *hsd, int swapType)
{
    // The parsimony swapper's apply and undo (exact, sets included), with
    // the evaluation of neighbours replaced.
    const RearrFxns *moves = getSwapRearrFxns(swapType);
    if (moves == nullptr)
        return 1;
    hsd->fxns = *moves;
    hsd->fxns.evaluateNeighbors = kRescoringEvaluators[swapType - 1];
    hsd->fxns.collapse = nullptr;
    return 0;
}
