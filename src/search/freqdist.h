// Frequency distributions of tree scores: the scores of many trees
// collected and shown as a histogram or a bar chart, with their moments.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct FreqDist {
    std::vector<uint32_t> counts;  // integer data: one per score lo..hi
    std::vector<double> values;    // real data: every score
    uint32_t classes = 0;          // histogram classes
    uint32_t n = 0;
    double minimum = 1e37, maximum = -1e37;
    int64_t lo = 0;
    bool realValued = false;
    bool barChart = false;
};
using FreqDistPtr = std::unique_ptr<FreqDist>;

// A histogram of `classes` classes; integer scores are counted over lo..hi.
FreqDistPtr createHistogram(uint32_t capacity, bool realValued, int64_t lo, int64_t hi, uint32_t classes);
// One bar per integer score lo..hi.
FreqDistPtr createBarChart(int64_t lo, int64_t hi);

// Adds a score (an invalid one is not counted); 0, or 1 when the values
// cannot grow.
int updateFreqDistData(FreqDist *fd, double score);
inline uint32_t getFreqDistN(const FreqDist *fd) { return fd ? fd->n : 0; }

// Prints the title, the moments when asked and the diagram; 0, or 2 when
// the user stopped the output.
int showFreqDist(const FreqDist *fd, const char *title, bool moments);
