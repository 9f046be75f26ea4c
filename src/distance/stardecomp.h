// The StarDecomp command: a tree found by resolving the star of all taxa one
// join at a time, each time keeping the join of two subtrees around the
// centre that scores best under the current optimality criterion.
#pragma once

struct ProgData;

int doStarDecompCmd();
// The worker (argument: the ProgData of the run): 0, 1 or 2.
int starDecompThreadProc(void *arg);

// At most this many active taxa.
inline constexpr unsigned kMaxStarDecompTaxa = 2344;
