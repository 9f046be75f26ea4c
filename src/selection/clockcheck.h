// ClockChecker: for each subset of a character partition (or the whole data
// set), is a molecular clock rejected? Compares the clock and non-clock
// likelihoods on given rooted trees, or on a UPGMA tree built for each
// subset, by the likelihood-ratio test and information criteria, and can
// exclude the subsets that reject the clock. The subset screening helpers
// here serve OrthoFilter too.
#pragma once

#include <cstdint>

struct ClustData;
struct DataInfo;
struct Nexset;
struct Set;
struct SetPtn;
struct Tree;

// The tree list of the "tree" option (0-based tree numbers; null until set).

// One side of a comparison: node times, branch lengths and substitution-
// model parameters.
struct ClockParams {
    uint32_t times = 0, brlens = 0, model = 0;
    uint32_t total() const { return times + brlens + model; }
};

// The parameters of the two models on a rooted tree of `ntax` tips with
// `internal` internal nodes, the first fork of `basalChildren` children.
ClockParams clockModelParams(uint32_t internal, uint32_t model);
ClockParams nonClockModelParams(uint32_t ntax, uint32_t internal, uint32_t basalChildren, uint32_t model);

// P of the likelihood-ratio test of the clock: chi-square with the
// difference of the parameter counts as df. A clock fit the optimiser left
// slightly better than the free fit counts as a statistic of 0 (P = 1).
double clockLrtPvalue(double lnLclock, double lnLfree, uint32_t df);

// The taxa (active positions) that have enough data in subset `subset` of
// the partition (every subset when `allSubsets`): more than `minMissing` of
// its included characters not missing. The result set is filled; the count
// is returned.
uint32_t checkTaxonCompleteness(const SetPtn *ptn, const DataInfo *d, uint32_t subset, bool allSubsets, Set *result,
                                double minMissing);

// A UPGMA tree of the taxa in `taxa` from distances of the characters
// included now, into cd->tree. The taxa whose distances cannot be computed
// are removed from the set. 0, 1 on failure, 2 stopped.
int upgmaTreeForTaxa(ClustData *cd, DataInfo *d, Set *taxa);

// The ClockChecker handler: 0, 1 (error) or 2 (aborted).
int doClockCheckerCmd();
