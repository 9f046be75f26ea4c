// The CountSwaps command: how many neighbours each chosen tree in memory
// has under the current swapping options of HSearch.
#pragma once

#include <cstdint>

struct Tree;

int doCountSwapsCmd();
// Rearrangements of one binary tree under swapType (0 for no swapping) and
// the reconnection limit (0 for none).
double countRearrangements(Tree *tree, uint32_t swapType, uint32_t reconLimit);
