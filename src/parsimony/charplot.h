// Character-state plots: a tree drawn with the states of one character at
// its nodes, either the reconstructed states (Reconstruct) or every state
// some most-parsimonious reconstruction assigns (MPRSets).
#pragma once

#include <cstdint>

inline constexpr int kCharPlotReconstruct = 4;
inline constexpr int kCharPlotMPRSets = 5;

// 0 done, 1 error, 2 stopped by the user.
int charPlot(int mode, const char *commandName);
int doChgPlotCmd();
int doPossPlotCmd();
