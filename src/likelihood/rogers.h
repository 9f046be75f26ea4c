// Starting values from parsimony: branch lengths by the Rogers-Tessary
// method (Fitch state sets narrowed to single states along each branch,
// per-branch state-pair counts, the model's distance of those counts) and
// the gamma shape from the spread of parsimony change counts over
// characters.
#pragma once

#include <cstdint>
#include <vector>

#include "likelihood/modelgroup.h"

struct Model;

// Sets the branch lengths of the tree (setLengths) and, with accumulate,
// the group's state-pair counts over all branches (rogersPairCounts).
// 0, or 2 when the user aborted.
int rogers(Tree *tree, ModelGroup *g, bool accumulate, bool setLengths, bool keep);
// nstates x nstates counts, row the ancestor's state, of the last rogers.
const std::vector<double> &rogersPairCounts();

// The moment and negative-binomial estimates of the gamma shape from the
// Fitch change counts; with print, the histogram and both estimates (and
// the Yang-Kumar one) are shown. 0 when aborted.
double approxGammaShape(Tree *tree, ModelGroup *g, Model *m, bool print);

// Six exchangeabilities (AC AG AT CG CT GT, relative to GT) from 4 x 4
// state-pair counts (row the ancestor's state) by the matrix logarithm of
// the symmetrised divergence matrix; without print, the divergences are
// first pooled by the model's rate classes. With print, the approximated Q
// and R matrices are shown. 1 when the logarithm cannot be taken (without
// print the rates are then all 1).
int approxSubstPattern_Dna(const Model *m, const std::vector<double> &pairCounts, bool print, double *rates);
