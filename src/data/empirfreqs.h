// Empirical state frequencies from the compressed site patterns, with the
// counts of ambiguous cells shared out among their states in proportion to
// the current frequencies until the frequencies settle.
#pragma once

#include <cstdint>

struct DataInfo;
struct Model;
struct ModelGroup;
struct SitePatternData;

inline constexpr uint32_t kAllTaxa = 0xFFFFFFFF;

// Frequencies of the model's states (over its range of group patterns when
// a model is given, else all) for one active taxon or all (kAllTaxa); the
// number of cells counted, rounded.
double calcEmpiricalFreqs(const DataInfo *d, const ModelGroup *g, const Model *m, uint32_t taxon,
                          double *freqs);
// The same with the weighted count as it stands: fractional weights whose
// cells add up to less than one half still count.
double weightedStateFreqs(const ModelGroup *g, const Model *m, uint32_t taxon, double *freqs);
// From per-code counts: single states count for their state, ambiguity codes
// are shared by the current frequencies; the total count.
double iterateStateFreqs(const SitePatternData *pd, const double *codeCounts, double *freqs);
// Unless valid, the empirical frequencies of every active model that is not
// Mkv, into the model's frequency array.
void calcEmpirFreqsForPatData(ModelGroup *g, const DataInfo *d, Model *firstModel);
