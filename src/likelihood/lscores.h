// The LScores command (synonym Likelihoods): the maximum-likelihood score
// of each tree in memory under the current likelihood settings, with the
// model parameters marked for estimation, information criteria, the
// unconstrained likelihood, per-site likelihoods and rate-category
// posteriors, on screen and in a tab-separated score file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

int doLScoresCmd();
// The end of a command that scores trees under likelihood with an optional
// results file: the file is closed (kept after a stop, dropped after a
// failure), the status text and busy mode cleared and the criterion given
// back. Returns the status, 1 when the file could not be finished (said
// with name).
struct StreamInfo;
int finishScoreCommand(StreamInfo *&file, int status, uint32_t oldCriterion, const char *name);

// The site log-likelihoods of the last LScores run (trees x patterns, 9e36
// where a pattern likelihood is below 1e-300) and the trees they belong to
// (0-based, in list order), for the topology tests.
const std::vector<std::vector<double>> &lastLScoresSiteLnL();
const std::vector<uint32_t> &lastLScoresTrees();

struct ProgData;

// The KHTest keywords.
inline constexpr int32_t kKHNone = 0, kKHNormal = 1, kKHBootstrap = 2;

// What LScores hands to the KH, SH and AU tests once two or more trees have
// finite scores. The tests live above the likelihood layer and are installed
// at start-up.
struct TopologyTestInput {
    std::vector<uint32_t> treeNumbers;  // as shown (from 1), per tree
    std::vector<double> scores;         // -ln L per tree
    std::vector<size_t> order;          // the listing order of the table
    size_t best = 0;                    // index of the best tree
    const std::vector<std::vector<double>> *siteLnL = nullptr;  // per tree, per pattern
    std::vector<double> patternCounts;  // per pattern, as the scores weight it
    // Per character of the data set that may be drawn: its pattern
    // (0xFFFFFFFF for a character in no pattern, which adds nothing).
    std::vector<uint32_t> sitePatterns;
    // Per character above: its weight. A replicate draws characters, not
    // units of weight, so a drawn character adds its whole weight, as it
    // does to the observed scores.
    std::vector<double> siteWeights;
    // With RELL off: the -ln L of tree k (index as above) re-estimated on a
    // replicate's pattern counts; 1e37 when stopped or failed.
    std::function<double(size_t tree, const double *counts)> rescore;
    ProgData *progress = nullptr;
};
using TopologyTestFxn = int (*)(const TopologyTestInput &input);
void installTopologyTests(TopologyTestFxn fxn);
