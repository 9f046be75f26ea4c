// Tree length, per-character steps and the alternative parsimony scores
// (threshold parsimony and Goloboff's implied-weights fit).
#pragma once

#include <cstdint>

#include "parsimony/packx.h"

struct Tree;

double calcTreeLength(DataInfo *d, Tree *tree, bool prelim, bool perChar);
// A length a search reached by adding steps up rather than by calcTreeLength:
// when the scoring rules make it invalid (under integer scoring, 2^31 or
// more), the overflow is reported as calcTreeLength reports it and the
// result is 1e37; otherwise the length itself.
double checkedSearchLength(DataInfo *d, double length);
// The length alone, full pass: two-state Dollo and irreversible characters
// take the bit path when the tree hangs from the ancestor, and their node
// vectors are then left stale (so no reconstruction may follow on these sets).
double calcTreeLengthOnly(DataInfo *d, Tree *tree, bool perChar);
double calcParsimonyScore(DataInfo *d, Tree *tree, bool perChar);
double altParsScore(DataInfo *d, const uint32_t *counts, bool record);
double thresholdScore(DataInfo *d, const uint32_t *counts, bool record);
double goloboffFit(const DataInfo *d, const uint32_t *counts);
double altParsScoreFromCounts(const DataInfo *d, const uint32_t *counts);
double revLenForConnection(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar);
