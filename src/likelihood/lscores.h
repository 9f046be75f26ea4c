// The LScores command (synonym Likelihoods): the maximum-likelihood score
// of each tree in memory under the current likelihood settings, with the
// model parameters marked for estimation, information criteria, the
// unconstrained likelihood, per-site likelihoods and rate-category
// posteriors, on screen and in a tab-separated score file.
#pragma once

#include <cstdint>
#include <vector>

int doLScoresCmd();

// The site log-likelihoods of the last LScores run (trees x patterns, 9e36
// where a pattern likelihood is below 1e-300) and the trees they belong to
// (0-based, in list order), for the topology tests.
const std::vector<std::vector<double>> &lastLScoresSiteLnL();
const std::vector<uint32_t> &lastLScoresTrees();
