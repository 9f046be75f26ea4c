// PatternFreq: how often each distinct site pattern of the included
// characters occurs.
#pragma once

#include <cstdint>
#include <vector>

#include "data/vorn_data.h"

struct PatternFrequency {
    uint32_t pattern;  // row of the data set's pattern matrix
    uint32_t count;    // included characters showing it
};

// The patterns over the taxa not deleted that at least one included
// character shows, in order of first appearance (each named by its first
// row of the pattern matrix), and the number of included characters. Needs
// compact storage.
std::vector<PatternFrequency> countIncludedPatterns(const DataInfo *d, uint32_t *total);

// The PatternFreq handler: 0, or 1 on error.
int doPatternFreqCmd();
