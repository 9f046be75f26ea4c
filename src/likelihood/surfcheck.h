// SurfCheck: one tree in memory optimised again and again from random
// starting branch lengths, to show whether its likelihood surface has more
// than one optimum.
#pragma once

#include <cstdint>
#include <vector>

// One replicate's outcome.
struct SurfCheckResult {
    double score;  // -ln L
    uint32_t passes;
};

// The optima the replicates reached: replicates sorted by score, and each
// run of scores within `toler` of the first of the run forms one optimum,
// shown by its best score and the number of replicates that reached it.
struct SurfCheckOptimum {
    double score;
    uint32_t count;
};
std::vector<SurfCheckOptimum> groupSurfCheckOptima(std::vector<double> scores, double toler);

// The handler: 0, 1 after an error, 2 when interrupted.
int doSurfCheckCmd();
