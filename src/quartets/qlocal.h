// The local search that follows a quartet assembly: branch swapping on the
// assembled tree through the tree search's swapper in its quartet mode,
// keeping every rearrangement that raises the tree's quartet support.
#pragma once

#include <cstdint>

struct DataInfo;
struct QuartetData;
struct Tree;
struct TreeNode;

// kind 1 NNI, 2 SPR, 3 TBR. incompat holds the tree's incompatible weight
// on entry and that of the improved tree on return. 0, 1 on failure, 2 when
// the user stopped it.
int localQuartetSearch(QuartetData *qd, Tree *tree, DataInfo *d, uint32_t kind, uint32_t reconLimit, bool slow,
                       double *incompat);

// Support of the tree after TBR move (K, T, R) (as the tree search names
// moves) minus that of the tree, from the quartets the move changes. The
// tree is binary and rooted at a tip.
double quartetMoveSupportChange(QuartetData *qd, Tree *tree, TreeNode *K, TreeNode *T, TreeNode *R);

// Offers the quartet scoring of rearranged trees to the tree search.
int installQuartetSearchScore();
