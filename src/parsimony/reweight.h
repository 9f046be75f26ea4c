// The Reweight command: every character's weight becomes a fit index of that
// character over the trees in memory (largest, smallest or mean value).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct DataInfo;

// The running per-character index values over the trees.
struct ReweightAccumulator {
    uint32_t index;  // kRewtIndex*
    uint32_t fit;    // kRewtFit*
    std::vector<double> value;
};
ReweightAccumulator makeReweightAccumulator(uint32_t nchar, uint32_t index, uint32_t fit);
// Adds one tree: per character its length, minimum and maximum possible length.
void addTreeToReweight(ReweightAccumulator &acc, std::span<const double> len, std::span<const double> min,
                       std::span<const double> max);
// The new weight from a combined index value: clamped to [0, 1], then scaled
// to an integer when baseWt is not 1 (baseWt must be positive).
double reweightValue(double value, double baseWt, bool truncate);

int doReweightCmd();
