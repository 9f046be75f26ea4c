// SumTrees: the distinct trees of a sample with their frequencies and the
// majority-rule consensus (with compatible minority groups) of the sample.
#pragma once

#include <cstdint>
#include <vector>

#include "trees/treeutil.h"

struct TreeBuffer;

// One summary: the private buffer counts each distinct tree in its weight.
struct SumTRun {
    TreeBuffer *buffer = nullptr;
    std::vector<uint32_t> firstPositions;  // per distinct tree, 1-based input position
};

// Stores a tree read at the 1-based input position; 0, or 1 when it could
// not be stored.
int storeTreeForSumT(SumTRun &run, Tree *tree, uint32_t position);
// Order of two distinct trees (slots): decreasing weight, then slot.
int compareDistinctTrees(const double *weights, uint32_t a, uint32_t b);
// The frequency table; total is the number of trees read.
void showTreeFrequencies(TreeBuffer *buf, const std::vector<uint32_t> &firstPositions, uint32_t total);

int doSumTreesCmd();
