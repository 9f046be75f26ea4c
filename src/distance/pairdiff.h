// The PairDiff command: for chosen pairs of sequences, how often each pair of
// bases faces each other (a short one-line-per-pair table and a long 4 x 4,
// or 2 x 2, table per pair), and the small nucleotide utilities the distance
// code shares: the display of custom substitution classes.
#pragma once

#include <cstdint>

#include "qel/qel_errormsg.h"

struct DataInfo;
struct DCalcData;
struct SitePatternData;

int doPairDiffCmd();

// N[a][b] (n x n, row-major, n = patterns' states) = the sum over patterns
// with single states a (taxon i) and b (taxon j) of the pattern weight
// truncated to an integer; returns the total of N.
uint32_t calcNxy(uint32_t i, uint32_t j, const SitePatternData *pd, uint32_t *N);
// 0, or 2 when stopped.
int pairDiffShort(const SitePatternData *pd, DataInfo *d);
int pairDiffLong(DCalcData *cd, const SitePatternData *pd, DataInfo *d);

// Prints the custom substitution classes (six class numbers in the order
// A-C, A-G, A-T, C-G, C-T, G-T).
void showSubstClass(const int32_t pairClasses[6], PrintHook printFn);

// The data layer's release of the PairDiff taxon selection.
void releasePairDiffTaxa();
