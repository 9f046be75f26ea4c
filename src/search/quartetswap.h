// Branch swapping in quartet mode: the local search that improves a tree
// assembled from quartets. The moves are the swapper's own (NNI, SPR, TBR
// within the reconnection limit); each rearranged tree is scored by the
// quartet layer through the record it installs at start-up, or by the
// tree-score function a run installs for itself.
#pragma once

#include <cstdint>

struct HSearchData;
struct Tree;
struct TreeNode;

struct QuartetSearchFxns {
    // Incompatible quartet weight of the tree (smaller is better).
    double (*score)(Tree *tree);
    // Incompatible weight of the tree after move (K, T, R), worked out from
    // current (the tree's) without making the move; false when it cannot
    // tell, and the move is then made and the tree scored. May be null.
    bool (*moveScore)(Tree *tree, TreeNode *K, TreeNode *T, TreeNode *R, double current, double *score);
};
// Installed once by the quartet layer; 1 when a record is there already.
int installQuartetSearchFxns(const QuartetSearchFxns &fxns);
void resetQuartetSearchFxns();  // tests
// The tree-score slot of a quartet search: a run may install its own
// whole-tree score for the swapper; null uses the installed record.
void setQuartetTreeScoreFxn(double (*score)(Tree *tree));

// The quartet mode of localSearchFromOneTreeViaTBR: takes the first better
// neighbour each time until none is better; *score (the tree's incompatible
// weight) is updated in place. 0, 1 when nothing can score the trees, or 2
// when the user stopped it.
int quartetLocalSearchViaTBR(Tree *tree, HSearchData *hsd, int swapType, uint32_t reconLimit, double *score);
