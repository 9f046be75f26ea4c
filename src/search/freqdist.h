// Frequency distributions of tree scores: the scores of many trees
// collected and shown as a histogram or a bar chart, with their moments.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct FreqDist {
    // Integer data: the count of each score met. Only those: weighted
    // scores lie far apart, over a range too wide for a count per score.
    std::map<int64_t, uint32_t> counts;
    std::vector<double> values;  // real data: every score
    uint32_t classes = 0;        // histogram classes
    uint32_t n = 0;
    double minimum = 1e37, maximum = -1e37;
    int64_t lo = 0, hi = -1;  // integer data: the range shown (none while hi < lo)
    bool realValued = false;
    bool barChart = false;
};
using FreqDistPtr = std::unique_ptr<FreqDist>;

// A histogram of `classes` classes; integer scores are counted over lo..hi,
// or over the scores added when hi < lo.
FreqDistPtr createHistogram(uint32_t capacity, bool realValued, int64_t lo, int64_t hi, uint32_t classes);
// One bar per integer score lo..hi.
FreqDistPtr createBarChart(int64_t lo, int64_t hi);

// Adds a score (an invalid one is not counted); 0, or 1 when the values
// cannot grow (for want of memory, reported).
int updateFreqDistData(FreqDist *fd, double score);
inline uint32_t getFreqDistN(const FreqDist *fd) { return fd ? fd->n : 0; }

// The indices of the real values in ascending order of value (ties keep
// their order of arrival); empty for integer data.
std::vector<uint32_t> sortFreqDistValues(const FreqDist *fd);

// Prints the title, the moments when asked and the diagram, and with the
// distribution options' save flag writes the classes to the distribution
// file. 0, 1 (the file could not be written), or 2 when the user stopped
// the output.
int showFreqDist(const FreqDist *fd, const char *title, bool moments);

// The frame line above ("/") or below ("\\") the bars: the label field
// (label or blanks, right-aligned in labelWidth), a blank, the corner and
// `length` dashes.
void drawFDTopBotLine(int labelWidth, int length, char corner, const char *label);

// The distribution file: fdFile, or the default when none was given.
const char *getDefaultFreqDistFilename();
std::string initFreqDistFilename();
void closeFreqDistFile();

// Distinct scores with their counts, for tests that place the score of the
// original data among the scores of its permutations.
struct ScoreDistrib {
    std::vector<double> scores;
    std::vector<uint32_t> counts;
    uint32_t capacity = 0;
    uint32_t n() const { return static_cast<uint32_t>(scores.size()); }
};
using ScoreDistribPtr = std::unique_ptr<ScoreDistrib>;

ScoreDistribPtr createScoreDistrib(uint32_t capacity);
// Counts the score under the first stored score the criterion calls equal,
// else stores it with count 1. 0, or 1 when it is new and the distribution
// is full.
int addScoreToDistrib(ScoreDistrib *sd, double score);
// Ascending scores, each keeping its count.
void sortScoreDistrib(ScoreDistrib *sd);
