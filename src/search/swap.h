// The branch-swapping operations a search installs in its HSearchData:
// NNI, SPR and TBR as RearrFxns (apply a hit, undo it, evaluate the
// neighbours of a tree); SPR and TBR reconnect within the HSearchData's
// reconnection limit.
#pragma once

#include <cstdint>

#include "search/hitlist.h"
#include "search/tbr.h"

// The operations of swap type 1 NNI, 2 SPR or 3 TBR; null for another value.
// apply brings the tree's state sets up to date with the move and undo takes
// the tree back to how it was before the last apply (both exact).
const RearrFxns *getSwapRearrFxns(int swapType);
// Installs them in hsd (its collapse entry is kept); 1 for an unknown type.
int installSwapFxns(HSearchData *hsd, int swapType);

// Makes the tree ready for swapping: traversal and every state set.
void prepareTreeForSwapping(Tree *tree, const DataInfo *d);
