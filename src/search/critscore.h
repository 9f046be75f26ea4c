// Searches under a criterion other than parsimony (distance, likelihood):
// the layer of each such criterion installs one record at start-up, and the
// search code reaches the criterion only through it. Every tree such a
// search visits is scored whole: the moves are the parsimony swapper's
// enumeration, apply and undo, without its state sets.
#pragma once

#include <cstddef>
#include <cstdint>

struct DataInfo;
struct Tree;
struct TreeNode;
struct HSearchData;
struct ModelGroup;

// Fast stepwise addition, where a criterion scores a join with only the
// edges around it fitted: whether it is in effect; the tree readied for a
// step after the first (its branch lengths improved; returns the score);
// the score of the leaf joined on the edge above `edge` through the spare
// fork `junction`, the tree left as it was; and the leaf joined there for
// good.
struct FastStepwiseFxns {
    bool (*inEffect)();
    double (*beginStep)(Tree *tree);
    double (*joinScore)(Tree *tree, TreeNode *leaf, TreeNode *edge, TreeNode *junction);
    void (*join)(Tree *tree, TreeNode *leaf, TreeNode *edge, TreeNode *junction);
};

// Resampling by site patterns in place: the model group whose pattern
// weights a replicate may redraw without rebuilding the patterns (null when
// the settings need more than the weights, such as distances computed from
// the replicate), and the update after a redraw of what the weights decide
// (empirical frequencies, the models; 0, else 1).
//
// Where the settings need more (distances for starting trees or lengths,
// the Mk model), a replicate may still keep the patterns: the group whose
// patterns can take the characters' drawn weights in place (null when the
// data must be prepared afresh), and the update after a draw of what a new
// set-up would compute from the weights (0, else 1 after an error report,
// or 2 when stopped).
struct PatternResampleFxns {
    ModelGroup *(*groupToResample)(DataInfo *data);
    int (*weightsChanged)(DataInfo *data);
    ModelGroup *(*groupToReweight)(DataInfo *data);
    int (*charWeightsChanged)(DataInfo *data);
};

// Neighbours screened by a cheaper local score before the whole score:
// begin readies the screen for one swapped tree (false when the settings
// leave nothing to screen); lengths puts the swapped tree's fitted branch
// lengths on it before a move (on) and gives back those it had (off);
// score is the local score of the neighbour the tree now is, the subtree at
// K moved with its fork P off the edge of S (one far beyond the bound may
// get a rougher score); rejects tells whether that
// score leaves the neighbour out against the bound; end gives back what
// the screen held. When a swap finds nothing better, the neighbours left
// out whose local score came within recheck of the bound are scored whole
// before the tree is taken as the end (recheck 0: none), and each one found
// better that way is reported with both scores (missed), so that the
// screen can widen that window.
struct SwapScreenFxns {
    bool (*begin)(Tree *tree);
    void (*lengths)(Tree *tree, bool fitted);
    double (*score)(Tree *tree, TreeNode *K, TreeNode *P, TreeNode *S, double bound);
    bool (*rejects)(double local, double bound);
    void (*end)(Tree *tree);
    double (*recheck)();
    void (*missed)(double local, double whole);
};

struct CriterionSearchFxns {
    // The tree's score (smaller is better) with its free parameters fitted;
    // the bound is the score the caller still cares about (1e37 for none),
    // so that a hopeless tree may be abandoned. 1e37 back means no score.
    double (*score)(Tree *tree, double bound);
    // The same for callers that go on to read the tree's branch lengths
    // (rooting, collapsing); null when score already leaves them on the tree.
    double (*scoreWithLengths)(Tree *tree, double bound);
    // Collapsing during a search: whether the criterion's settings ask for
    // it, and the collapse of one tree; the description completes
    // "Branches collapsed (creating polytomies) if ". Null when never.
    bool (*collapseActive)();
    void (*collapse)(Tree *tree);
    const char *collapseDescription;
    // Condense's collapse test: a fitted edge no longer than this has zero
    // length (the likelihood engine's least length). Null: only a length of
    // exactly 0 is zero.
    double (*zeroBranchLength)();
    // How DescribeTrees shows the fit: the words before the tree's score
    // ("Sum-of-squares", ...) and the decimals of its lengths. Null when the
    // criterion describes trees otherwise.
    const char *(*scoreLabel)();
    int (*lengthDecimals)();
    // Refuses settings under which the scores of partial trees bound
    // nothing, so that branch and bound cannot run (0 none, else 1 after
    // the error). Null when every setting allows it.
    int (*refuseBranchAndBound)();
    // Refuses a search of rooted or unrooted trees that the criterion's
    // settings cannot score, once, before it starts (0, else 1 after the
    // error). Null when it can score either.
    int (*refuseSearch)(bool rooted);
    // Whether the criterion's settings ask for rooted trees (likelihood
    // under a molecular clock); null when they never do.
    bool (*rootedTrees)();
    // A heuristic search scores trees that differ from the last by one
    // move: while it runs (on between the calls with true and false) each
    // tree's free model parameters start from the values the last tree
    // reached and its branch lengths from those it carries, which end at
    // the same optimum in far fewer evaluations. Null when the criterion
    // has nothing to start warm.
    void (*warmStarts)(bool on);
    // Null when the criterion scores characters, not patterns.
    const PatternResampleFxns *patternResample;
    // Null where the criterion has no fast stepwise addition.
    const FastStepwiseFxns *fastStepwise;
    // Null where every neighbour is scored whole.
    const SwapScreenFxns *swapScreen;
    // Where scores that differ by no more than this (for a score near the
    // one given) differ by rounding alone, as the resolutions of a branch
    // fitted to length 0 do: a neighbour that ties with the best tree is
    // kept (MulTrees) but not swapped, and one better by no more than that
    // is the best tree again. Not under NBest, a Keep score or steepest
    // descent. Null where every difference counts.
    double (*roundingTolerance)(double score);
    // The search's time limit (searchClockNanos time; 0 none), read inside
    // a score that may run longer than the margin the limit allows.
    void (*deadline)(uint64_t ns);
    // What the criterion line adds to the criterion's name (" (objective)"),
    // written into buffer; null when the name says all.
    void (*criterionSuffix)(char *buffer, size_t size);
    // The criterion's settings a search report shows under the criterion
    // line, indented by `indent`; null when there are none to show.
    void (*showSettings)(int indent);
};

// Installs the record of a criterion other than parsimony (1 otherwise).
int installCriterionSearchFxns(uint32_t criterion, const CriterionSearchFxns &fxns);
// The criterion's record; null under parsimony or when none is installed.
const CriterionSearchFxns *criterionSearchFxns(uint32_t criterion);
// The record when it collapses trees and its settings ask for it, else null.
const CriterionSearchFxns *criterionCollapseFxns(uint32_t criterion);
// The record when it describes fitted trees, else null.
const CriterionSearchFxns *criterionDescribeFxns(uint32_t criterion);

// The tree's score under the current criterion through its record (1e37
// when it has none); the second leaves the fitted lengths on the tree.
double criterionTreeScore(Tree *tree, double bound);
double criterionScoreWithLengths(Tree *tree, double bound);

// The neighbours of one type (1 NNI, 2 SPR, 3 TBR), each made on the tree,
// scored whole through the current criterion's record and undone, against
// the caller's bound and best score; the good ones go to the hit list. With
// the search's 2-ECR node set, the interchanges around it are left out.
// Result codes as evaluateNeighbors_TBR; 1 without a record.
int evaluateNeighborsByRescoring(Tree *tree, HSearchData *hsd, int swapType, double *bound, double *best);

// Installs the swapper of the given type (1 NNI, 2 SPR, 3 TBR) that scores
// every neighbour whole through the current criterion's record; 1 for an
// unknown type or a criterion without a record.
int installRescoringSwapFxns(HSearchData *hsd, int swapType);
