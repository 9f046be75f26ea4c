// Simulation blocks ("dnasim", "twostatesim"): the commands that define true
// trees, site models and sequence lengths, the replicate loop that re-runs
// the commands between BeginSim and EndSim on each simulated data set, the
// tallies of how often the analyses recover the true tree, and the results
// file they are written to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The block readers the command loop calls.
int beginSimulation(int twoState);
int endSimulation();
bool inSimulationBlock();

// The commands of the block.
int doSimTitleCmd();
int doSiteModelsCmd();
int doTrueTreeCmd();
int doLocalModelCmd();
int doLocalRateCmd();
int doSimDataCmd();
int beginSimLoop();
int tallySimResults();
int setSimTimer();
int endSimLoop();
int beginIterationBlock();
int endIterationBlock();

// The text of a replicate loop: `text` starts just after BeginSim. Returns
// the offset just past the ";" of the EndSim command (comments and quoted
// words skipped), or npos when the text holds no EndSim. The labels of the
// Tally commands are appended in order (an unlabelled tally is named by its
// ordinal number).
size_t scanSimLoopText(std::string_view text, std::vector<std::string> *tallyLabels);

// How one found tree compares with the true tree, both as lists of
// nontrivial splits (sorted, one word vector each): f is the share of the
// true tree's splits found (1 when the true tree has none), correct whether
// the found tree has no split the true tree lacks.
struct TallyOutcome {
    double f;
    bool correct;
};
TallyOutcome compareWithTrueSplits(const std::vector<std::vector<uint64_t>> &truth,
                                   const std::vector<std::vector<uint64_t>> &found);

// CPU seconds as "hh:mm:ss.ss".
std::string formatSimCpuTime(double seconds);
