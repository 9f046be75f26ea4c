// Tree-to-tree distances: the symmetric difference of the splits of two
// trees (Robinson-Foulds x 2), for every pair of many trees block by block
// through a splits table with member lists, or from one reference tree with
// its false-positive and false-negative split counts; the branch-score
// distance; and the TreeDist command that shows and writes them.
#pragma once

#include <cstdint>
#include <vector>

#include "trees/splits.h"
#include "trees/treeutil.h"

struct TreeBuffer;

// The largest number of trees the all-pairs matrix takes at once; more are
// compared block by block.
inline constexpr uint32_t kTreeDistBlock = 2048;

// The splits of a tree (every internal node below the basal fork) into a
// new table with counts; the reference of robinsonFouldsDist. Null when
// memory ran out.
SplitsTable *makeReferenceSplits(Tree *tree);
// a + b - 2m: a the reference's splits, b the tree's (internal nodes other
// than the basal fork), m the tree's splits that are also the reference's;
// with b - m false positives and a - m false negatives when asked. The tree
// is held as the reference tree was (both from one buffer).
uint32_t robinsonFouldsDist(const SplitsTable *reference, Tree *tree, uint32_t *falsePositives,
                            uint32_t *falseNegatives);

// Symmetric differences of every pair of the listed trees (1-based numbers
// of buf, complete trees), row by row: out[i (i - 1) / 2 + j] is between
// trees[i] and trees[j], j < i. At most blockSize trees share the count
// matrix at a time. progress (may be null) is called once per tree entered;
// a nonzero return stops with that status. 0, 1 (memory, a tree lacking a
// taxon: reported), or the progress status.
using TreeDistProgress = int (*)(void *context);
int symDiffAllPairs(TreeBuffer *buf, const std::vector<uint32_t> &trees, uint32_t blockSize,
                    std::vector<uint32_t> &out, TreeDistProgress progress, void *context);

// The branch-score distance: over every edge of either tree (edges named by
// their splits; a split missing from one tree has length 0 there), the sum
// of squared length differences. Unrooted trees may be held at any tip.
// 0, or 1 when memory ran out.
int calcKFBranchScore(Tree *a, Tree *b, double *score);

int doTreeDistCmd();
