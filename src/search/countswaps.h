// The CountSwaps command: how many neighbours each chosen tree in memory
// has under the current swapping options of HSearch.
#pragma once

#include <cstdint>

struct DataInfo;
struct Tree;

int doCountSwapsCmd();
// Rearrangements of one binary tree that the swapper of swapType visits
// (0 for no swapping); -1 when that swapper is not available.
double countRearrangements(DataInfo *data, Tree *tree, uint32_t swapType);
