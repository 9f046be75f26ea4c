#include "search/critscore.h"

#include <algorithm>
#include <array>
#include <vector>

#include "qel/qel_interrupts.h"
#include "search/constrsearch.h"
#include "search/ecr.h"
#include "search/hitlist.h"
#include "search/hsearch.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "search/tbr.h"
#include "trees/treeutil.h"

namespace {

std::array<CriterionSearchFxns, 3> gRecords{};

const CriterionSearchFxns *record(uint32_t criterion)
{
    if (criterion == static_cast<uint32_t>(kCriterionParsimony) || criterion >= gRecords.size() ||
        !gRecords[criterion].score)
        return nullptr;
    return &gRecords[criterion];
}

// The moves are made on the tree itself, without state sets: the score comes
// from the criterion, which reads nothing the parsimony swapper keeps.
int applyWhole(HSearchData *hsd, Tree *tree, const RearrObject *move)
{
    RearrObject inverse;
    const int rc = applyTbrRearr(&inverse, tree, hsd->data, move, false);
    setTraversalSeq(tree);
    return rc;
}

void undoWhole(HSearchData *hsd, Tree *tree, const RearrObject *)
{
    undoTbrRearr(tree, hsd->data, false);
    setTraversalSeq(tree);
}

// A neighbour the screen left out, kept for a second look.
struct LeftOut {
    TreeNode *K, *T, *R;
    double local;
};

struct Visit {
    HSearchData *hsd;
    Tree *tree;
    double (*score)(Tree *, double);
    const SwapScreenFxns *screen;  // null when every neighbour is scored whole
    double *bound;
    double *best;
    double recheck = 0.0;  // the screen's second-look window over the bound
    std::vector<LeftOut> leftOut;
    double (*roundingTolerance)(double score) = nullptr;
};

// How a neighbour's score stands against the replicate's best where the
// criterion's ties are rounding: a tie the scores compare equal on is kept
// but not swapped; one better by no more than rounding is the best tree
// again, neither kept nor a new best to swap. A bootstrap or jackknife
// replicate finds all its tied trees as before: each takes its share of
// the replicate's weight in the consensus.
enum class Rounding { kNone, kTie, kSameTree };

Rounding roundingOf(const Visit &v, double s)
{
    const SaveRules &r = v.hsd->rules;
    const double best = v.hsd->bestScoreRep;
    if (!v.roundingTolerance || !r.heuristicRunning || r.nbest != 0 || r.keepActive || r.steepest ||
        gSearchState.replicatedKind != 0 || best >= kNoScoreValue)
        return Rounding::kNone;
    const int cmp = compareScores(s, best);
    if (cmp == 0)
        return Rounding::kTie;
    return cmp < 0 && best - s <= v.roundingTolerance(best) ? Rounding::kSameTree : Rounding::kNone;
}

// The edge a move leaves, for the screen: the sibling of the subtree at K.
// A subtree hanging from the root's fork stays there and is rerooted
// instead, the rest of the tree joining it at the new root's edge: the
// edge left is then the one of K's children off the path to the new root.
// A move that changes nothing of the kind has none and is scored whole.
TreeNode *edgeLeft(const RearrObject *move)
{
    TreeNode *K = move->node[0], *P = K->anc, *R = move->node[2];
    if (P->anc != nullptr)
        return P->firstChild == K ? K->nextSib : P->firstChild;
    if (R == K || K->firstChild == nullptr || K->firstChild->nextSib == nullptr ||
        K->firstChild->nextSib->nextSib != nullptr)
        return nullptr;
    TreeNode *onPath = R;
    while (onPath->anc != K)
        onPath = onPath->anc;
    return K->firstChild == onPath ? onPath->nextSib : K->firstChild;
}

// The neighbour of one move scored whole, unless the criterion's local
// score of it, made from the swapped tree's own lengths, already leaves it
// out; the whole score sees the tree as it would without the screen.
bool neighborScore(Visit &v, const RearrObject *move, double bound, double *score)
{
    TreeNode *K = move->node[0], *P = K->anc;
    TreeNode *S = edgeLeft(move);
    if (v.screen && S != nullptr) {
        v.screen->lengths(v.tree, true);
        double local = kNoScoreValue;
        if (applyWhole(v.hsd, v.tree, move) == 0) {
            local = v.screen->score(v.tree, K, P, S, bound);
            undoWhole(v.hsd, v.tree, move);
        }
        v.screen->lengths(v.tree, false);
        if (v.screen->rejects(local, bound)) {
            if (local < bound + v.recheck)
                v.leftOut.push_back({K, move->node[1], move->node[2], local});
            *score = local;
            return true;
        }
    }
    if (applyWhole(v.hsd, v.tree, move) != 0)
        return false;
    *score = v.score(v.tree, bound);
    undoWhole(v.hsd, v.tree, move);
    return true;
}

// A neighbour's score counted (unless it is one already tried, scored
// again) and, when good enough, the neighbour kept.
int countAndKeep(Visit &v, RearrObject *scored, double s, double bound, bool tried)
{
    HSearchData *hsd = v.hsd;
    if (getAbortedStatus() && confirmAbortRequest())
        return 2;
    if (!tried) {
        hsd->rearrTriedRep += 1.0;
        hsd->rearrTriedTotal += 1.0;
    }
    // Scoring a neighbour can be slow enough that a whole tree's swap
    // outlasts the status interval.
    if (hsd->statusPoll)
        hsd->statusPoll(hsd);
    // One score may take longer than a parsimony search spends on
    // thousands: the clock is read after each.
    hsd->clockCountdown = 0;
    int rc = 0;
    const Rounding rounding = s < kNoScoreValue ? roundingOf(v, s) : Rounding::kNone;
    if (s < kNoScoreValue && rounding != Rounding::kSameTree && scoreIsGood(hsd, s, bound, *v.best)) {
        makeRearrObject(scored, scored->node[0], scored->node[1], scored->node[2], s);
        scored->roundingTie = rounding == Rounding::kTie;
        rc = tryToSaveTree(hsd, v.tree, scored, false, v.best);
    }
    return finishEvaluation(hsd, rc);
}

// One neighbour: made on the tree, scored whole and undone. A better one (or,
// while several are saved, a good enough one) goes to the hit list with the
// tree whole again, as the parsimony swapper does.
int visitNeighbor(void *arg, TreeNode *K, TreeNode *T, TreeNode *R, double)
{
    auto &v = *static_cast<Visit *>(arg);
    HSearchData *hsd = v.hsd;
    // Around a 2-ECR interchange the neighbours are those of adjacent
    // contractions, which that swapper scores itself.
    if (hsd->ecrNode && (K == hsd->ecrNode || isRedundantEcrNNI(hsd, T) || isRedundantEcrNNI(hsd, R)))
        return 0;
    // A neighbour the enforced constraint forbids is never scored: under
    // these criteria a score is the expensive part.
    if (topolConstraintsActive() && !tbrMoveAllowed(v.tree, K, T, R))
        return 0;
    RearrObject move;
    makeRearrObject(&move, K, T, R, 0.0);
    const double bound = *v.bound;
    double s = kNoScoreValue;
    if (!neighborScore(v, &move, bound, &s))
        return 0;
    return countAndKeep(v, &move, s, bound, false);
}

// Scores whole the neighbours the screen left out close to the bound, the
// closest first, once the swap found nothing better: the local score
// misses what a whole fit of the lengths gains, and a tree is not to be
// taken as the end while a neighbour of it is better.
int secondLook(Visit &v)
{
    std::sort(v.leftOut.begin(), v.leftOut.end(),
              [](const LeftOut &a, const LeftOut &b) { return a.local < b.local; });
    const std::vector<LeftOut> leftOut = std::move(v.leftOut);
    v.leftOut.clear();
    for (const LeftOut &n : leftOut) {
        const double bound = *v.bound;
        if (n.local >= bound + v.recheck)
            break;
        RearrObject move;
        makeRearrObject(&move, n.K, n.T, n.R, 0.0);
        if (applyWhole(v.hsd, v.tree, &move) != 0)
            continue;
        const double s = v.score(v.tree, bound);
        undoWhole(v.hsd, v.tree, &move);
        if (s < bound)
            v.screen->missed(n.local, s);
        if (const int rc = countAndKeep(v, &move, s, bound, true); rc != 0)
            return rc;
    }
    return 0;
}

template <int kType>
int evaluateByRescoring(HSearchData *hsd, Tree *tree)
{
    // In a heuristic search the bound is the maximum score to save; on its
    // own a tree must be beaten strictly.
    double own = tree->score[0];
    double *bound = hsd->rules.heuristicRunning ? &hsd->maxScoreToSave : &own;
    double best = *bound;
    return evaluateNeighborsByRescoring(tree, hsd, kType, bound, &best);
}

constexpr RearrFxns kRescoringFxns[3] = {
    {applyWhole, undoWhole, evaluateByRescoring<kSwapNNI>, nullptr},
    {applyWhole, undoWhole, evaluateByRescoring<kSwapSPR>, nullptr},
    {applyWhole, undoWhole, evaluateByRescoring<kSwapTBR>, nullptr},
};

}  // namespace

int evaluateNeighborsByRescoring(Tree *tree, HSearchData *hsd, int swapType, double *bound, double *best)
{
    const CriterionSearchFxns *f = record(gCriterion);
    if (!f)
        return 1;
    const SwapScreenFxns *screen = f->swapScreen && f->swapScreen->begin(tree) ? f->swapScreen : nullptr;
    Visit v{hsd, tree, f->score, screen, bound, best, 0.0, {}, f->roundingTolerance};
    v.recheck = screen ? screen->recheck() : 0.0;
    const double bestBefore = *best;
    int rc = forEachTbrMove(tree, nullptr, swapType, hsd->reconLimit, visitNeighbor, &v);
    if (rc == 0 && screen && *best >= bestBefore)
        rc = secondLook(v);
    if (screen)
        screen->end(tree);
    return rc;
}

int installCriterionSearchFxns(uint32_t criterion, const CriterionSearchFxns &fxns)
{
    if (criterion == static_cast<uint32_t>(kCriterionParsimony) || criterion >= gRecords.size())
        return 1;
    gRecords[criterion] = fxns;
    return 0;
}

const CriterionSearchFxns *criterionSearchFxns(uint32_t criterion) { return record(criterion); }

const CriterionSearchFxns *criterionCollapseFxns(uint32_t criterion)
{
    const CriterionSearchFxns *f = record(criterion);
    return f && f->collapse && f->collapseActive && f->collapseActive() ? f : nullptr;
}

const CriterionSearchFxns *criterionDescribeFxns(uint32_t criterion)
{
    const CriterionSearchFxns *f = record(criterion);
    return f && f->scoreLabel ? f : nullptr;
}

double criterionTreeScore(Tree *tree, double bound)
{
    const CriterionSearchFxns *f = record(gCriterion);
    return f ? f->score(tree, bound) : kNoScoreValue;
}

double criterionScoreWithLengths(Tree *tree, double bound)
{
    const CriterionSearchFxns *f = record(gCriterion);
    if (!f)
        return kNoScoreValue;
    return f->scoreWithLengths ? f->scoreWithLengths(tree, bound) : f->score(tree, bound);
}

int installRescoringSwapFxns(HSearchData *hsd, int swapType)
{
    if (swapType < kSwapNNI || swapType > kSwapTBR || !record(gCriterion))
        return 1;
    auto collapse = hsd->fxns.collapse;
    hsd->fxns = kRescoringFxns[swapType - 1];
    hsd->fxns.collapse = collapse;
    return 0;
}
