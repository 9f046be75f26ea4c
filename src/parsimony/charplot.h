// Character-state plots: a tree drawn with the states of one character at
// its nodes, either the reconstructed states (Reconstruct) or every state
// some most-parsimonious reconstruction assigns (MPRSets).
#pragma once

#include <cstdint>

inline constexpr int kCharPlotReconstruct = 4;
inline constexpr int kCharPlotMPRSets = 5;

struct DataInfo;
struct Tree;
struct TreeNode;

// What Reconstruct needs from the likelihood engine, installed by it at
// start-up: the data set-up, the score of a tree with its branch lengths
// optimised in place (1e37 when it failed), the reconstruction of the
// rooted tree (1 when the model cannot be reconstructed), a node's state
// bits at a character (negative for none), whether the states are the joint
// reconstruction's, and the natural logs of the probability of the
// reconstruction and of the site likelihood at a character (false: no
// pattern).
struct CharPlotLikelihoodHooks {
    int (*prepare)(DataInfo *d);
    double (*score)(Tree *tree);
    int (*reconstruct)(Tree *tree, DataInfo *d);
    int64_t (*stateOf)(const DataInfo *d, const TreeNode *node, uint32_t c);
    bool (*joint)();
    bool (*siteProbs)(const DataInfo *d, uint32_t c, double *logRecon, double *logSiteL);
};
void installCharPlotLikelihoodHooks(const CharPlotLikelihoodHooks &hooks);

// 0 done, 1 error, 2 stopped by the user.
int charPlot(int mode, const char *commandName);
int doChgPlotCmd();
int doPossPlotCmd();
