// SurfCheck: one tree in memory optimised again and again from random
// starting branch lengths, to show whether its likelihood surface has more
// than one optimum.
#pragma once

#include <cstdint>
#include <string>
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

// What SurfCheck needs of a running simulation block, whose loop runs it
// once per simulated data set: the replicates draw on one random-number
// stream, and each row of the results file names the simulation replicate
// and the true tree's branch lengths.
struct SurfCheckSimulation {
    bool running = false;
    bool first = false;     // the loop's first replicate
    int32_t replicate = 0;  // from 1
    std::vector<std::string> nodeNames;  // the true tree's nodes below its root, in preorder
    std::vector<double> nodeLengths;
};
// Fills the record (running false outside a block); 0, or 1 on failure.
using SurfCheckSimulationFxn = int (*)(SurfCheckSimulation *out);
// Installed by the simulation blocks' layer; without it SurfCheck runs as
// outside a block.
void installSurfCheckSimulation(SurfCheckSimulationFxn fxn);
