// Searches under a criterion that a higher layer scores (likelihood): the
// score slot that layer installs, and the branch swapper that rescores every
// rearranged tree through it. The moves themselves are the parsimony
// swapper's (the same enumeration, apply and undo); only their scores come
// from the slot.
#pragma once

#include <cstdint>

struct DataInfo;
struct Tree;
struct HSearchData;

struct SearchScoreHooks {
    // Makes the criterion's prepared state for the data set; 0, or 1 after
    // an error report.
    int (*prepare)(DataInfo *d, Tree *tree);
    // The tree's score (smaller is better) with its free parameters
    // optimised; target lets a hopeless tree be abandoned early. 1e37 when
    // none (aborted).
    double (*scoreTree)(DataInfo *d, Tree *tree, double target);
};

// One record per criterion; 1 for a criterion that has no such slot.
int installSearchScoreHooks(uint32_t criterion, const SearchScoreHooks &hooks);
// Null when the criterion is not scored through a slot.
const SearchScoreHooks *searchScoreHooks(uint32_t criterion);

// The score of the tree under the current criterion through its slot.
double scoreTreeForSearch(DataInfo *d, Tree *tree, double target);
// Installs the rescoring swapper of the given type (1 NNI, 2 SPR, 3 TBR).
int installRescoringSwapFxns(HSearchData *hsd, int swapType);
