// RandTrees: the scores of trees drawn with equal probability from all
// possible trees, as a frequency distribution against which the scores of
// real trees can be judged.
#pragma once

#include <cstdint>

struct EvalRandSettings {
    int32_t nreps;
    uint32_t fdType;  // 0 histogram, 1 bar chart
    uint32_t seed[4]; // 0: made automatically
};
extern EvalRandSettings evalRand;

int doRandTreesCmd();
