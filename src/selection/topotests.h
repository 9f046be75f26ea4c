// The KH, SH and AU tests of LScores: is the best tree significantly better
// than each of the others? KH by a normal approximation to the site-wise
// differences or by bootstrap, SH and AU by resampling the site
// log-likelihoods (RELL): a replicate's score is the dot product of its
// pattern counts with a tree's stored site log-likelihoods, never a new
// likelihood evaluation.
#pragma once

#include <cstdint>
#include <vector>

#include "likelihood/lscores.h"
#include "qel/qel_random.h"

struct TopologyTestOptions {
    int32_t kh = kKHNone;
    bool sh = false, au = false;
    bool oneTailKH = false;
    bool rell = true;  // otherwise every replicate is fitted again (input.rescore)
    // How weighted characters are resampled (the `wts` setting): simple
    // draws as many characters as there are, each adding its weight;
    // otherwise units of weight are drawn, as many as the total weight, over
    // the patterns in proportion to their weighted counts, as if each
    // weighted column were written out that many times.
    bool simpleWeights = false;
    uint32_t reps = 10000;  // B
    RNGSeed seed{};         // word 0 must be set (not 0)
};

// One tree's P values; the AU P may be one of the markers below. A KH
// normal result that cannot be computed (fewer than 2 sites) is NaN.
struct TopologyTestResult {
    double sd = 0, khP = 1, wkhP = 1, t = 0, shP = 1, wshP = 1, auP = 1;
};
// The best tree at scale 1 in (almost) every replicate, or in (almost) none:
// the multiscale fit has no points, and the P value is shown as "~1" / "~0".
inline constexpr double kAUNearOne = 2.0;
inline constexpr double kAUNearZero = -2.0;

// Fills one result per tree; 0, or 2 when the user stopped it.
int calcTopologyTests(const TopologyTestInput &in, const TopologyTestOptions &opt,
                      std::vector<TopologyTestResult> &results);

// The tests as LScores runs them, with the options of the LScores record,
// and their table. 0, 1 (memory) or 2 (abort).
int skhTests(const TopologyTestInput &in);

// Prints one P value (B = 0 for the normal approximation) and its mark;
// 1 when it is below 0.05.
int outputPvalue(uint32_t B, double p);
