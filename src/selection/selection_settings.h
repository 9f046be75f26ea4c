// The option records of the model selection and test commands: AutoModel,
// Autopartition, ClockChecker, OrthoFilter and PatFitTest.
#pragma once

#include <cstdint>

struct Nexset;

// AutoModel; the candidate rate models are shared with Autopartition.
struct AutoModelSettings {
    uint8_t equalRates, invarSites, gammaRates, IplusG;
    uint8_t AIC, AICc, BIC, DT;
    int32_t modelset;   // "j3", "j5", "j7", "j11"
    int32_t stateFreq;  // "estimate", "empirical"
    int32_t lset;       // "no", "AIC", "AICc", "BIC", "DT"
    uint8_t showModelScores, showParamEst, penTopology;
};
extern AutoModelSettings autoMod;

// Autopartition.
struct AutoPartSettings {
    Nexset *partition;
    int32_t method;     // "allSchemes", "greedy"
    int32_t criterion;  // "AIC", "AICc", "BIC"
    int32_t modelset;   // "j3", "j5", "j7", "j11", "GTR"
    uint8_t lset;
    int32_t stateFreq;  // "estimate", "empirical"
    uint8_t verbose;
    uint8_t modSel;       // "early", "late"
    int32_t showSchemes;  // "no", "yes", "suppressPtn"
};
extern AutoPartSettings autoPartOpt;

// The tree lists AutoModel and Autopartition remember between calls (slots
// of treeSets, freed whenever the trees in memory change); unset, each
// starts from the first visible tree.
inline constexpr uint32_t kAutoModelTreeSet = 2;
inline constexpr uint32_t kAutoPartTreeSet = 3;
// ClockChecker's tree list, likewise; unset, it means every visible tree.
inline constexpr uint32_t kClockCheckTreeSet = 4;

// ClockChecker.
struct ClockCheckSettings {
    Nexset *partition;
    uint8_t showPartition, lrt, aic, aicc, bic;
    int32_t exclude;  // "no", "LRT", "AIC", "AICc", "BIC"
    double lrtThreshold, xicThreshold;
    uint8_t upgma;
    double minMissing;
};
extern ClockCheckSettings clkChkOpt;

// OrthoFilter.
struct OrthoFilterSettings {
    Nexset *partition;
    uint8_t showPartition, upgma;
    double minMissing;
    int32_t maxParaRem;
};
extern OrthoFilterSettings ofltOpt;

// PatFitTest.
struct PatFitSettings {
    uint8_t pool;
    int32_t maxsteps;
};
extern PatFitSettings patfitOpt;
// Patterns are grouped by their number of steps up to this bound.
inline constexpr int32_t kMaxPatFitSteps = 1000;
