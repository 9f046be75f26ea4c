// The tree filter: the set of trees in memory that stay visible (bit s for
// the tree in slot s), held as the filter's tree-list set. While it exists
// tree lists skip the hidden trees. This unit keeps the set and what is done
// with it as a whole (RevFilter, removing it, deleting the hidden trees);
// the Filter command that makes it scores trees and lives with the search.
#pragma once

#include <cstdint>

#include "qel/qel_sets.h"

bool treeFilterInEffect();
// A filter exists and retains nothing.
bool allTreesHiddenByFilter();
// Installs retained (a set over the slots of the main buffer) as the filter,
// dropping the commands' tree lists. The set is owned by the filter after.
void installTreeFilter(Set *retained);
// 0; verbose says how many trees are available again.
int removeFilter(bool verbose);
// Compacts the main buffer to the retained trees in their order, each with
// its name, weight and lengths; the filter itself stays.
void removeFilteredTreesFromBuffer();
// Deletes the hidden trees and drops the filter; reports the count when ask
// is set. 0 (also when no filter is in effect, after a note).
uint32_t deleteFilteredTrees(bool ask);

int doReverseFilterCmd();
