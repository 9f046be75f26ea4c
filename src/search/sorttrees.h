// Commands that score the trees in memory under the current optimality
// criterion and reorder or hide them: SortTrees here, the tree filter in
// treefilter.h.
#pragma once

#include <cstdint>

struct DataInfo;
struct Tree;
struct TreeBuffer;

// The score of stored tree n (1-based) of buf under the current criterion,
// decoded into tree (made by createSearchTree); the data must be prepared.
// 1e37 when it cannot be scored.
double scoreStoredTree(DataInfo *data, TreeBuffer *buf, uint32_t n, Tree *tree);

// Reorders the stored trees so that slot p holds the tree that was in slot
// order[p] (0-based), carrying names, weights, scores and branch lengths,
// through the spare slot after the last tree. 0, or 1 when no spare slot
// could be made.
int permuteTreesInBuffer(TreeBuffer *buf, const uint32_t *order, uint32_t n);

int doSortTreesCmd();
