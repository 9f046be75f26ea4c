// Reports on the trees in memory that need no optimality criterion: the
// heading of one tree, the ShowTrees diagrams and the TreeInfo summary.
// DescribeTrees, which reconstructs characters, lives above the parsimony
// layer and uses the heading from here.
#pragma once

#include <cstdint>

struct DataInfo;
struct Tree;

// Before unrooted trees are rooted by the outgroup: the note that no outgroup
// is defined, or that every outgroup taxon is deleted, so that the first
// taxon roots them.
void noteOutgroupStatus(const DataInfo *data, uint32_t treeCount);

// "\nTree <name>" and, for a tree not rooted at the ancestor node, the
// rooting method used.
void showTreeNum(const Tree *tree, const DataInfo *data, uint32_t n);

int doShowTreesCmd();
int doTreeInfoCmd();

// Source codes of the trees in memory (low 6 bits of the tree source) and
// the flags of a resampling consensus above them.
inline constexpr uint32_t kTreeSourceMask = 0x3F;
inline constexpr uint32_t kTreeSourceUPGMA = 5;
inline constexpr uint32_t kTreeSourceBootstrap = 0x40;
inline constexpr uint32_t kTreeSourceJackknife = 0x80;

// The name of the ancestral-states set that Lundberg rooting used; the
// parsimony layer installs it (null: "standard").
using AncStatesNameFxn = const char *(*)();
void setAncStatesNameFxn(AncStatesNameFxn fxn);
const char *ancStatesName();
