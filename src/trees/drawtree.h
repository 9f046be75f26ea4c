// Text diagrams of trees: one routine draws every tree the program shows on
// the terminal (cladograms, phylograms, support-value and constraint trees,
// character-state plots), the preparation of a stored tree for drawing, and
// the colour commands that only graphical versions act on.
#pragma once

#include <cstdint>

#include "trees/tree_settings.h"
#include "trees/treeutil.h"

struct DataInfo;

enum DrawTreeMode : int {
    kDrawCladogram = 1,
    kDrawPhylogram = 2,
    kDrawCharPlot = 4,
    kDrawCharPlotPhylogram = 5,
    kDrawSupport = 6,
    kDrawConstraint = 7,
    kDrawAgreement = 8,
};

// The line-drawing characters, indexed by cell code: bit 1 a line up, 2 a
// line leaving right, 4 a line down, 8 a line arriving from the left; 16 a
// heavy edge, 17 a dotted one.
inline constexpr char grafChar[] = " \\-\\/|/+-9-+C+E+#.";

// State strings of character plots: the text shown after a tip's label or at
// an internal node for one character; installed by the plotting code.
using DrawStateStringFxn = const char *(*)(const TreeNode *node, uint32_t character, const DataInfo *data);
void setDrawStateStringFxn(DrawStateStringFxn fxn);
// Whether agreement trees show taxon numbers (the Agree option).
void setDrawAgreeTaxonNumbers(bool on);

void drawTree(Tree *tree, int mode, uint32_t character, bool labelInternal, const DataInfo *data);

// Loads tree n (unless already loaded for optimising), optimises and roots it
// or just roots it, then shares the basal length when distribute is on.
// 0 on success, else the failing status; *outOptimized tells which was done.
int prepTreeForDrawing(Tree *tree, DataInfo *data, uint32_t treeNumber, bool alreadyLoaded, bool showNote,
                       bool optimize, bool userBrLens, bool distribute, bool *outOptimized);

// Optimising a tree before drawing needs the criterion; installed from above.
using OptimizeTreeFxn = int (*)(Tree *tree, DataInfo *data, uint32_t treeNumber, bool skipScore);
void setDrawOptimizeFxn(OptimizeTreeFxn fxn);

bool setTreeColorsPermitted(bool on);
int doTipColorCmd();
int doTaxColorCmd();
int doSubtreeColorCmd();
