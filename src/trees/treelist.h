// Tree lists: the trees a command works on, written after its name or as the
// value of a "trees" option, parsed into a Set of 0-based tree numbers over
// the main buffer (tree n is member n - 1). Trees hidden by the tree filter
// are never selected.
#pragma once

#include <cstdint>

#include "qel/qel_sets.h"

struct TreeBuffer;

inline constexpr uint32_t kNumTreeSets = 11;
// Slot of the trees visible under the tree filter (null: no filter).
inline constexpr uint32_t kFilterTreeSet = 0;
extern Set *treeSets[kNumTreeSets];

bool isTreeFilterActive();
bool isTreeVisible(uint32_t slot);

// 0 parsed (or nothing to parse), 1 error (the set is as it was).
int getTreeList(Set *set, bool onlyIfListFollows, bool singleItem);
// Tree number (1-based) of a word: ".", a number or a stored tree name;
// -1 after error 702.
int64_t stringToTreeNum(TreeBuffer *buf, const char *word);
int initTreeListSet(Set **setRef, Set **savedCopy, bool allByDefault);
int initTreeListSetWithCheck(Set **setRef, Set **savedCopy, bool allByDefault, bool quiet);
int makeTreeListSetWithinRange(Set **setRef, uint32_t from, uint32_t to);
void deleteTreeSets(bool includingFilter);
void initTreeStatus(bool includingFilter);
