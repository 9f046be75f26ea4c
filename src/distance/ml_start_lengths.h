// Least-squares starting branch lengths for likelihood: the unweighted fit
// of a tree to a distance matrix computed for likelihood, prepared once per
// likelihood set-up and fitted to each tree the likelihood driver starts
// from. The likelihood layer reaches these through the hook record the
// application installs at start-up.
#pragma once

#include <cstdint>

struct DataInfo;
struct Tree;

// Computes the matrix of type distType (unless reuseMatrix and one is
// there) and prepares an unweighted fit for trees like `tree` (no fit when
// tree is null): 0, 1 after an error report, 2 when the user stopped it.
int prepareMLStartLengths(DataInfo *d, Tree *tree, int distType, bool reuseMatrix);
// Sets the tree's branch lengths to the unconstrained least-squares fit;
// 0, or 1 when nothing is prepared.
int fitMLStartLengths(Tree *tree);
void releaseMLStartLengths();
