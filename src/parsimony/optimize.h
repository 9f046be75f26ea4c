// Ancestral-state optimisation and rooting for it: one most-parsimonious
// reconstruction on a rooted tree (AccTran, DelTran or MinF), the
// optimise-and-root step that scores a tree, roots it (outgroup, Lundberg or
// midpoint) and reconstructs it, and the memory of the last tree optimised.
#pragma once

#include <cstdint>

#include "parsimony/packx.h"

struct Tree;
struct TreeNode;

// What this layer needs from the criterion code above it; null entries fall
// back to parsimony lengths compared directly.
struct OptimizeServices {
    int (*compareScores)(double a, double b);
    bool (*isScoreValid)(double s);
    // Nonzero when the criterion refuses the tree's rootedness.
    int (*checkCritRootedness)(bool rooted, int context);
    // Scores a tree under a criterion other than parsimony; false when there is none.
    bool (*scoreOtherCriterion)(Tree *tree, DataInfo *data, double *score);
};
void setOptimizeServices(const OptimizeServices *services);  // null: defaults

// Scratch: one reconstruction of the tree already rooted. doPrelim recomputes
// the down sets first (and the up and final sets that DelTran and MinF read).
void optimizeParsimony(DataInfo *d, Tree *tree, bool doPrelim);
void chooseUnoSmsBasalStates(const DataInfo *d, Tree *tree, bool delTran);
void showLundTies(double best, Tree *tree, const DataInfo *data, const double *lengths);

int optimizeAndRootTree(Tree *tree, DataInfo *data, uint32_t treeNumber, bool showTies, bool skipScore);
int optimizeTreeUsingCurrentSettings(Tree *tree, DataInfo *data, uint32_t treeNumber, bool skipScore);
int checkRootingOptimConflicts(bool interactive, DataInfo *data);
// Before a command reconstructs under MinF with characters other than
// ordered and unordered included: asks whether to change to AccTran (and
// does so on yes). 0 to go on, 1 when the user declined (the command stops).
int checkMinFCharTypes(DataInfo *data);
// The same before the trees in memory are reconstructed; when they are
// rooted, MinF (which places the root) is not permitted either, and the
// user is asked to change to AccTran. 0 to go on, 1 when declined.
int checkMinFForTrees(DataInfo *data);
bool requestChangeToMINF();

void rememberLastTreeOptimized(uint32_t treeNumber, double score);
void forgetLastTreeOptimized();
uint32_t getLastTreeOptimized();
double getLastTreeScore();
// The tree length of the last optimised tree under parsimony, which differs
// from its score under Goloboff weighting and threshold parsimony.
double getLastTreeLength();
bool haveOptimizedTree(uint32_t treeNumber);

// Midpoint and Lundberg root positions (the node below the root edge), for
// the tree as it is held; null when there is none.
TreeNode *findMidpointEdge(Tree *tree);
TreeNode *findLundbergEdge(Tree *tree, const DataInfo *d, bool showTies, double *bestOut);

// Installs the rooting services of the tree layer and the drawing optimiser;
// 0, or 1 when a data-service slot was already taken.
int installOptimizeServices();
