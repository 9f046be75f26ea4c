// Settings of the tree searches that the option table binds, the current
// optimality criterion, and the score-frequency output settings. The search
// driver reads them; the commands only set them through their options.
#pragma once

#include <cstdint>

#include "data/data_services.h"  // kCriterionParsimony, kCriterionLikelihood, kCriterionDistance
#include "shell/qel_cmdoptions.h"

// Passed to getActiveCriterion for "whatever is current".
inline constexpr uint32_t kCriterionCurrent = 5;

struct SearchSettings {
    uint8_t enforce;       // constraints are enforced
    uint8_t converse;      // keep trees incompatible with the constraint
    uint8_t statusWin;     // periodic status display of a running search
    uint8_t autoClose;
    uint8_t includeAnc;    // the ancestor is a taxon of the search
    uint8_t mulPars;       // keep all equally good trees while swapping
    uint8_t mulTrees;
    uint8_t unused;
    int32_t looseConvex;   // violations of convexity tolerated; 0 none
    int32_t dStatus;       // seconds between status displays; 0 none
    double keep;           // keep trees at most this score; 0 no bound
};
extern SearchSettings srch;

inline constexpr int32_t kMaxStatusInterval = 0x7FFFFFFF;

// The status interval in milliseconds; 0 when no periodic display is wanted.
// Computed in 64 bits: an interval of days in seconds does not wrap.
uint64_t statusIntervalMs();

struct FreqDistOptions {
    int32_t fdClasses;               // classes of the score histogram
    uint8_t pref_saveToFile;
    char fdFile[kParamPathSize];     // where the distribution is written
};
extern FreqDistOptions fdopt;

inline constexpr int32_t kMaxFreqDistClasses = 100000;

extern uint32_t gCriterion;  // kCriterionParsimony, kCriterionLikelihood, kCriterionDistance

uint32_t getOptimalityCriterion();
// `criterion`, or the current criterion when it is kCriterionCurrent.
uint32_t getActiveCriterion(uint32_t criterion);
// Stores the criterion and, with `reinit`, reinitialises what depends on it
// (quietly); returns the previous criterion.
uint32_t setOptimalityCriterion(uint32_t criterion, bool reinit);
// Reinitialises the state that depends on the criterion, announcing the
// criterion first when asked: each hook added by addCriterionResetHook runs,
// in order of installation. Returns 0.
int initOptimalityCriterion(bool announce);
// Units that keep criterion-dependent state (score bounds, prepared data)
// hook their resets here; at most kMaxCriterionResetHooks; 1 when full.
inline constexpr int kMaxCriterionResetHooks = 8;
int addCriterionResetHook(void (*hook)(uint32_t criterion));
void clearCriterionResetHooks();
const char *currentCriterionString();
// Change callback of the "criterion" option: a changed criterion is
// announced and its dependent state reset; never rejects.
int criterionInfo(CmdParam *option);
