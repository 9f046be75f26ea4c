// Where the starting trees of a heuristic search come from: the `start`
// option (stepwise addition, neighbor joining, trees in memory) and the
// neighbor-joining start.
#pragma once

#include <cstdint>

#include "search/search_settings.h"  // kStartStepwise, kStartNJ, kStartCurrent, kStartRange

struct StartTreeSpec {
    uint32_t source;  // kStart...
    uint32_t first;
    uint32_t last;
};

// Parses one value of the `start` option: "Stepwise", "NJ", "Current" (by
// unique prefix), a tree number n or a range n-m. 0, or 1 after an error
// (505 bad tree number, 556 NJ under parsimony); the start spec is unchanged then.
int parseStartOption(const char *word, StartTreeSpec *spec);
// The text of the default start under the current criterion.
const char *defaultStartString();
void resetStartSpec(StartTreeSpec *spec);
struct DataInfo;
struct Tree;

// The neighbor-joining start tree, built by the distance methods into the
// work tree (it is not stored anywhere): installed by them at start-up.
// 0, 1 on failure, 2 when the user stopped it.
using NJStartTreeFxn = int (*)(DataInfo *data, Tree *tree);
void setNJStartTreeFxn(NJStartTreeFxn fxn);  // null: none
// Without an installed builder: an error and 1.
int makeNJStartingTree(DataInfo *data, Tree *tree);
// Whether that start is the UPGMA tree rather than the NJ tree: a likelihood
// under a molecular clock scores rooted trees, and UPGMA's tree is rooted
// and clock-like.
bool upgmaStartTree(const DataInfo *data);
