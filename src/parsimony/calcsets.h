// Passes that fill the three set records of every node (down, up, final)
// and the incremental updates of the search.
#pragma once

#include <cstdint>

#include "parsimony/packx.h"

struct Tree;
struct TreeNode;

// Down sets in postorder; steps accumulate into *length (stops once the
// length is invalid).
void calcAllPrelimSets(const DataInfo *d, Tree *tree, bool perChar, double *length);
void calcPrelimSets(const DataInfo *d, TreeNode *node, bool perChar, double *length);

// Full pass: down, up and (without lengths) final sets; tree->score[0]
// receives the length. With lengths each node's edge field gets the steps on
// its edge, each down record its subtree length and each up record the
// length of the rest of the tree.
void calcStatesetsForSearch(Tree *tree, const DataInfo *d, bool withLengths);

// Steps on the edge above x (its down and up sets joined).
void frvGetCutBranchLen(const DataInfo *d, const TreeNode *x, double *out);

// Incremental recomputation after an edit below node: each node from `node`
// toward the root gets its down set from its children; where a word changed
// its final set and the up sets of the sibling subtree are recomputed. Gives
// the same sets as a full pass.
void revUpdateBelow(const DataInfo *d, TreeNode *node);
// Up and final sets of the subtree of node (node itself when includeNode).
void revUpdateAbove(const DataInfo *d, TreeNode *node, bool includeNode);
void revMprSet(const DataInfo *d, TreeNode *node);
