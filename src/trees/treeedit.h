// Editing working trees in place: rerooting, pruning and grafting, building
// small trees, and the queries and branch-length walks the editors and the
// searches share.
//
// Operations that return int give 0 on success and 1 when the edit was
// refused (it would have made a cycle, dropped part of the tree, or used a
// node that is not free); a refused edit leaves the tree as it was.
#pragma once

#include <cstdint>

#include "trees/treeutil.h"

// Draws a uniform pair of distinct values a, b in 0..n-1 (n >= 2).
using RandomPairFxn = void (*)(void *state, uint32_t n, uint32_t *a, uint32_t *b);

// Rerooting
int rerootTree(Tree *tree, TreeNode *node, bool moveEdgeData);
int rerootAtFirstFork(Tree *tree);
int rerootAlongInternalEdge(Tree *tree, TreeNode *node, TreeNode *newRoot);
int rerootAtInternalNode(Tree *tree);
int derootTree(Tree *tree, TreeNode *tipOrNull, bool keepLengths);

// Pruning and grafting
// Takes node and its fork off the tree (the fork is returned, free); when the
// fork was the basal fork the root slot it was lent moves to its successor.
TreeNode *pruneSubtree(TreeNode *node, bool joinLengths);
int pruneChildSubtreeOfBasalNode(Tree *tree, TreeNode *node);
int graftSubtreeToEdge(Tree *tree, TreeNode *subtree, TreeNode *node, TreeNode *spareFork);
int binConnectLeaf(TreeNode *leaf, TreeNode *node, TreeNode *spareFork);
TreeNode *binPruneLeaf(TreeNode *leaf);
int contractInternalEdge(Tree *tree, TreeNode *node);
void induceSubtree(Tree *tree, const uint64_t *taxonBits, bool keep);
// Lengths of the two edges a pruning joins are summed with JoinLengths::kAlways;
// the default follows whether user branch lengths must be honoured.
enum class JoinLengths { kAsSettings, kAlways };
int pruneTipsetFromTree(Tree *tree, const Set *taxonSet, const uint32_t *taxonMap, bool renumber,
                        JoinLengths joinLengths = JoinLengths::kAsSettings);
int dichotomizeTree(Tree *tree, RandomPairFxn randomPair, void *rngState);

// Building small trees
int make3Tree(Tree *tree, uint32_t ntax, int32_t root, uint32_t a, uint32_t b);
int makeStarTree(Tree *tree, uint32_t ntax, bool rooted, uint32_t rootTip, const Set *includedSet);

// Queries
TreeNode *findMRCA(Tree *tree, TreeNode *tip, uint32_t taxon);
TreeNode *findMRCAforSet(Tree *tree, const Set *set);
TreeNode *isGroupOnTree(const uint64_t *bits, Tree *tree);
TreeNode *findLeftSib(const TreeNode *node);
// The link that points at `node` (which has a parent) in its parent's child
// list: the parent's firstChild or the left sibling's nextSib.
TreeNode *&childLinkTo(TreeNode *node);
TreeNode *getFirstFork(const Tree *tree);
TreeNode *getNthChild(const TreeNode *node, uint32_t n);
uint32_t countChildren(const TreeNode *node);
TreeNode *findOldestChild(const TreeNode *node);
TreeNode *findFreeNode(const Tree *tree);
// The first free node at or after `from` (null: from the first fork): for a
// caller that knows every node before it is in use.
TreeNode *findFreeNode(const Tree *tree, const TreeNode *from);
bool isDegreeTwoRoot(const TreeNode *node);
TreeNode *findUnrootedParent(const Tree *tree, const TreeNode *node, int *flagOut);
uint32_t countEdges(Tree *tree);
uint32_t countInternalNodes(Tree *tree);
uint32_t countInternalEdges(Tree *tree);
uint32_t longestLabelOnTree(Tree *tree, const DataInfo *data, uint32_t limit);
TreeNode *findTreeCentroid(Tree *tree);

// Branch lengths and ages
void setBranchLengthsToValue(Tree *tree, double v);
void zeroAllBranchLengths(Tree *tree);
double sumBranchLens(Tree *tree, bool includeBasal);
void saveAllBranchLengths(Tree *tree, double *array);
void restoreAllBranchLengths(Tree *tree, const double *array);
void rescaleTree(Tree *tree, double factor);
void setNodeAgesFromBrlens(Tree *tree);
void setBrlensFromNodeAges(Tree *tree, double scale);
void scaleNodeAges(Tree *tree, double factor);
int compareNodeAges(const void *a, const void *b);
void sortInternalNodesByDepth(uint32_t count, TreeNode **nodes);

// Other
bool verifyReplaceTrees();
void listTree(Tree *tree);
