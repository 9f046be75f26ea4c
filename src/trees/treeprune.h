// Taxon deletion seen from the tree buffers: a stored tree loses the tips of
// the deleted taxa, its remaining tips take their new (active) numbers, and
// it moves into the buffer made for the remaining taxa together with its
// name, weight and branch lengths.
#pragma once

#include <cstdint>

#include "qel/qel_sets.h"
#include "trees/treebuf.h"

enum class PruneResult : int { kFailed = -1, kDropped = 0, kStored = 1, kDuplicate = 2 };

// Tree `slot` (0-based) of `from`, whose tips carry the numbers
// 0..from->ntax-1, loses the taxa of `deleted` (a set over original taxon
// numbers; activeToOriginal maps a tip's number to its original one, null
// for the identity) and is stored in `to`, made for the taxa that remain.
// A tree left with fewer than 2 leaves (rooted) or 3 (unrooted) is dropped.
// With condense a tree identical to one already in `to` is discarded and its
// weight added to that tree's. Branch lengths of the edges joined by a
// pruning are summed, so every path between remaining leaves keeps its
// length. Nothing is changed in `from`.
PruneResult pruneTreeIntoBuffer(TreeBuffer *from, uint32_t slot, TreeBuffer *to, const Set *deleted,
                                const uint32_t *activeToOriginal, bool condense);
