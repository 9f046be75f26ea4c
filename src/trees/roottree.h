// Rooting trees: outgroup rooting, placing the root on an edge or at a basal
// polytomy, sharing the basal branch length between the two root edges, the
// checks run before a rooting method is used, and the RootTrees and
// DerootTrees commands that convert every tree in memory.
//
// Lundberg and midpoint rooting need the optimality criterion and the
// parsimony engine, which sit above this layer; they are reached through the
// services below, installed by the parsimony code.
#pragma once

#include <cstdint>

#include "trees/tree_settings.h"
#include "trees/treeutil.h"

struct DataInfo;

struct RootingServices {
    // Scores, roots (Lundberg or midpoint) and reconstructs one tree; 0 on
    // success, 1 invalid score, 2 aborted.
    int (*optimizeAndRoot)(Tree *tree, DataInfo *data, uint32_t treeNumber, bool showNote, bool userBrLens);
    // Brings the data up to date for parsimony; 0 when ready.
    int (*prepareData)(DataInfo *data);
    // The rooting/optimisation conflicts settled with the user: 0 go on.
    int (*checkOptimConflicts)(bool interactive, DataInfo *data);
    // MinF with character types it cannot reconstruct settled with the
    // user: 0 go on (possibly under AccTran now), 1 declined.
    int (*checkMinFCharTypes)(DataInfo *data);
    bool (*parsimonyCriterion)();
    bool (*directedCharsIncluded)(const DataInfo *data);
    bool (*onlyOrdUnordIncluded)(const DataInfo *data);
    bool (*standardAncestor)();
};
void setRootingServices(const RootingServices *services);  // null: none
const RootingServices &rootingServices();

// Whether tip `unit` of a species tree belongs to the outgroup; installed by
// the analysis that stores species trees (null: the taxa's own outgroup).
using SpeciesOutgroupFxn = bool (*)(uint32_t unit, const DataInfo *data);
void setSpeciesOutgroupFxn(SpeciesOutgroupFxn fxn);

// Set by outgroup rooting when the ingroup could not be made a clade;
// RootTrees clears it and warns once at the end.
extern uint8_t gCouldNotRootMonophyletic;
// Set by outgroup rooting for the tree in hand: root at a basal polytomy.
extern uint8_t gBasalPolytomy;

int rootTree(Tree *tree, DataInfo *data, uint32_t treeNumber, bool showNote, bool skipMethod, bool userBrLens);
void rootOutgroup(Tree *tree, const DataInfo *data, bool showNote);
// 0 placed; 1 when no free node was left for a new root.
int finalizeRooting(Tree *tree, bool basalPolytomy, bool setLengths);
void setBrlensForRootChildren(Tree *tree, bool distribute, bool store);
double distributeBasalBranchLength(const TreeNode *left, const TreeNode *right, double total);
// Decimals that show a length computed here (a share of the basal length)
// as it is, up to the most any length is saved with.
uint32_t decimalsFor(double v);

int checkRootingOption(DataInfo *data, bool notParsimony, bool branchLengthsWanted, bool checkConflicts,
                       bool conflictArg);
int changeMidLundRooting(const char *text);

// Outgroup rooting for the life of the record, the setting given back at
// its end: a consensus of many trees (resampled or puzzled) has no branch
// lengths or reconstruction to place a midpoint or Lundberg root by.
class OutgroupRootingScope {
public:
    OutgroupRootingScope();
    ~OutgroupRootingScope();
    OutgroupRootingScope(const OutgroupRootingScope &) = delete;
    OutgroupRootingScope &operator=(const OutgroupRootingScope &) = delete;

private:
    uint32_t saved_;
};

// Converts every tree of the main buffer; the buffer changes only when every
// tree converted.
int rootOrDerootTrees(bool wantRooted, DataInfo *data);
int rootDeroot(bool wantRooted, DataInfo *data);

int doRootTreesCmd();
int doDerootTreesCmd();
