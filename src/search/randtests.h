// Randomisation tests under parsimony that run one replicated search: the
// partition-homogeneity test (HomPart) and the permutation tail-probability
// tests (Permute: PTP, T-PTP and compare-2). Each unit of the search (one
// subset of one partition, one permuted data set, or one constrained search
// of it) is an outer replicate framed by the test's hooks.
#pragma once

#include <cstdint>

struct DataInfo;

// P of a permutation test: the data sets whose value is not above the
// original's (the original included) over the data sets completed (for the
// two-tree tests, the pairs of searches completed). After an abort the
// completed count, not the planned one, divides; 1 when none completed.
double permutationTestP(uint32_t notGreater, uint32_t setsDone);

int doPartHomTest();
int doPermuteCmd();
