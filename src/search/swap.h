// The branch-swapping operations a search installs in its HSearchData:
// NNI, SPR and TBR as RearrFxns (apply a hit, undo it, evaluate the
// neighbours of a tree); SPR and TBR reconnect within the HSearchData's
// reconnection limit.
#pragma once

#include <cstdint>

#include "search/hitlist.h"
#include "search/tbr.h"

// The operations of swap type 1 NNI, 2 SPR or 3 TBR; null for another value.
// apply brings the tree's state sets up to date with the move and undo takes
// the tree back to how it was before the last apply (both exact).
const RearrFxns *getSwapRearrFxns(int swapType);
// Installs them in hsd (its collapse entry is kept); 1 for an unknown type.
int installSwapFxns(HSearchData *hsd, int swapType);

// Makes the tree ready for swapping: traversal and every state set.
void prepareTreeForSwapping(Tree *tree, const DataInfo *d);

// Criteria other than parsimony score a rearranged tree as a whole: the
// criterion's subsystem installs its tree-score function at start-up (the
// bound is the score the caller still cares about, 1e37 for none; 1e37 back
// means no score). Null under parsimony or when the criterion has none.
using CriterionTreeScoreFxn = double (*)(Tree *tree, double bound);
void installCriterionTreeScoreFxn(uint32_t criterion, CriterionTreeScoreFxn fxn);
CriterionTreeScoreFxn criterionTreeScoreFxn(uint32_t criterion);
// The score for callers that go on to read the tree's branch lengths
// (rooting, collapsing); the plain score function where none is installed.
void installCriterionLengthsFxn(uint32_t criterion, CriterionTreeScoreFxn fxn);
CriterionTreeScoreFxn criterionLengthsFxn(uint32_t criterion);
// Collapsing under such a criterion: whether the criterion's settings ask
// for it, and the collapse of one tree (its lengths fitted first); the
// description completes "Branches collapsed (creating polytomies) if ".
struct CriterionCollapseFxns {
    bool (*active)();
    void (*collapse)(Tree *tree);
    const char *description;
};
void installCriterionCollapseFxns(uint32_t criterion, const CriterionCollapseFxns &fxns);
const CriterionCollapseFxns *criterionCollapseFxns(uint32_t criterion);  // null when none or inactive

// How DescribeTrees shows such a criterion's fit: the words before the
// tree's score ("Sum-of-squares", ...) and the decimals of its lengths.
struct CriterionDescribeFxns {
    const char *(*scoreLabel)();
    int (*lengthDecimals)();
};
void installCriterionDescribeFxns(uint32_t criterion, const CriterionDescribeFxns &fxns);
const CriterionDescribeFxns *criterionDescribeFxns(uint32_t criterion);  // null when none

// The swappers of such a criterion: each neighbour is made on the tree,
// scored whole and undone. 1 for an unknown type or no score function.
int installWholeTreeSwapFxns(HSearchData *hsd, int swapType);
