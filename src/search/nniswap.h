// Nearest-neighbour interchange as a swapper of the heuristic search: the
// neighbours of a binary tree that exchange a node with its parent's
// sibling, scored incrementally from the state sets under plain parsimony.
//
// A move is {y, u}: y (a child of f) and u (the other child of f's
// ancestor) trade places, which joins y's sibling to u's edge. The same
// exchange undoes it.
#pragma once

struct HSearchData;
struct Tree;

// Fills the swapper slots of the search record with the NNI operations.
void installNNISwapFxns(HSearchData *hsd);

// Exchanges the subtrees x and u (never one inside the other) and marks
// the tree changed.
void exchangeSubtrees(Tree *tree, struct TreeNode *x, struct TreeNode *u);

// Number of NNI neighbours the evaluator visits on a binary tree.
unsigned countNNIMoves(Tree *tree);
