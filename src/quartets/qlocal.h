// The local search that follows a quartet assembly: branch swapping on the
// assembled tree through the tree search's swapper in its quartet mode,
// keeping every rearrangement that raises the tree's quartet support.
#pragma once

#include <cstdint>

struct DataInfo;
struct QuartetData;
struct Tree;

// kind 1 NNI, 2 SPR, 3 TBR. incompat holds the tree's incompatible weight
// on entry and that of the improved tree on return. 0, 1 on failure, 2 when
// the user stopped it.
int localQuartetSearch(QuartetData *qd, Tree *tree, DataInfo *d, uint32_t kind, uint32_t reconLimit, bool slow,
                       double *incompat);

// Offers the quartet scoring of rearranged trees to the tree search.
int installQuartetSearchScore();
