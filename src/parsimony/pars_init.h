// Parsimony settings: the record behind the PSet command, its change
// callbacks, the checks run before an analysis and the settings display.
#pragma once

#include <cstdint>

#include "qel/qel_errormsg.h"

struct DataInfo;

enum class ParsOpt : uint32_t { AccTran = 0, DelTran = 1, MinF = 2 };

struct ParsSettings {
    uint32_t collapse = 1;     // "no", "maxBrlen", "minBrlen", "ambEqual"
    uint32_t msTaxa = 0;       // uncertain, polymorph, variable
    uint32_t opt = 0;          // accTran, delTran, minF
    uint32_t stepMatrix = 2;   // obsOnly, allStates, threePlus1
    uint32_t gapMode = 0;      // missing, newState (indel is read as missing)
    uint32_t singleChar = 0;   // no, var, all
    uint32_t pending = 3;      // 3 repack, 2 phase 2, 1 final step, 0 ready
    uint32_t scoreDecimals = 0;
    uint32_t lengthDecimals = 0;
    uint32_t gK = 2;
    uint32_t threshold = 0;    // extra steps; 0 = none
    uint8_t goloboff = 0;
    uint8_t gUninf = 0;        // 0 exclude, 1 include
    uint8_t gPeeWee = 0;
    uint8_t minForFit = 0;     // 0 minLength, 1 range
    uint8_t showOverall = 1, showRange = 0, showTL = 1, showCI = 0, showRI = 0, showRC = 0,
            showHI = 0, showGfit = 0, showCompat = 0, showCmpList = 0, showKHTest = 0,
            showNonparam = 0, showTestDetails = 0, showMeans = 0;
    uint8_t altPrep = 0;       // the alternative-score arrays must be prepared
    uint8_t realScores = 0;
};

extern ParsSettings gPars;

// What the parsimony code needs from layers above it; every null entry keeps
// a default (no constraints, no quartet search, nothing to forget).
struct ParsServices {
    bool (*constraintsActive)();
    bool (*quartetSearchActive)();
    void (*forgetLastTreeOptimized)();
    void (*markLikelihoodReoptimize)();
    void (*recomputeScoreType)();
    const char *(*ancestorSetName)();  // null name: the standard ancestor
    // Puts parsimony in force for a computation that is parsimony's whatever
    // the user's criterion, returning the criterion to give back to restore.
    uint32_t (*useParsimonyCriterion)();
    void (*restoreCriterion)(uint32_t criterion);
};
void installParsServices(const ParsServices &s);
const ParsServices &parsServices();

void resetParsSettings();
void setNeedParsPrep(int level);
bool usingStdAncestor();
int checkParsimonySettings(DataInfo *d);
bool parsimonyScoreIsRealValued(const DataInfo *d);
bool parsCriterionActive();  // parsimony criterion, no quartet search

// Option callbacks: each returns 0 when the value is accepted, 1 when refused
// (the old value stays). They act only when the value really changes.
int setMsTaxa(uint32_t v);
int setStepMatrixMode(uint32_t v);
int setParsOpt(uint32_t v);
int setThreshold(uint32_t v);
int setGoloboff(bool on);
int setGoloboffK(uint32_t k);
int setGPeeWee(bool on);
int setGUninf(bool include);
int setMinForFit(uint32_t v);
int setGapMode(uint32_t v, DataInfo *d);
void forceAltParsPrep();

void showParsSettings(PrintHook print, const DataInfo *d);
