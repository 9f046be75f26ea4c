// State frequencies per taxon from the site patterns: the StateFreq command
// (BaseFreqs) with its chi-square test of homogeneity across taxa, and the
// hidden NSFilter command, a per-site likelihood-ratio test of
// species-specific composition that can exclude the sites deviating most.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct DataInfo;
struct Model;
struct ModelGroup;

struct StateFreqInfo {
    // Per active taxon: the expected number of cells of each observed state,
    // then the taxon's number of counted cells.
    std::vector<std::vector<float>> counts;
    // Per active taxon, then over all taxa: the frequencies of all states.
    std::vector<std::vector<double>> freqs;
    double grandTotal = 0.0;
    double maxCell = 0.0;
    std::vector<double> stateTotals;  // per observed state
    std::vector<uint32_t> observedState;
    uint32_t nObserved = 0;
    uint32_t nstates = 0;
    bool aborted = false;  // the user stopped the count: the record is partial
};
using StateFreqInfoPtr = std::unique_ptr<StateFreqInfo>;

// Bit set of the model's states found in the group's patterns: the states
// of single-state cells and of partial ambiguities.
uint64_t getObservedStates(const Model *m, const ModelGroup *g);

// Checks the data, prepares the site patterns and counts every active
// taxon; null after an error report.
StateFreqInfoPtr storeStateFreqs(DataInfo *d, ModelGroup *g, const char *commandName);

// The frequency histogram NSFilter fills belongs to the tree-search layer,
// which installs it at start-up. Without it NSFilter prints no histogram.
struct SiteFilterHistogram {
    void *(*create)(uint32_t capacity, uint32_t classes);
    int (*add)(void *histogram, double value);           // 0, or 1 when it cannot grow
    int (*show)(const void *histogram, const char *title);  // 0, 1 or 2
    void (*destroy)(void *histogram);
};
void installSiteFilterHistogram(const SiteFilterHistogram &hooks);

int doStateFreqCmd();
int doNSFilterCmd();
