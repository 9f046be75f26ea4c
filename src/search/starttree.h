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
// The neighbor-joining (or UPGMA) start; answers that it is not available
// until the distance methods supply the clustering. Returns 1.
int makeNJStartingTree();
