// The likelihood settings: the LSet record `ml` (the current model and how the
// engine evaluates and optimises it), the option records of LScores,
// SurfCheck, RAxMLSearch and GarliSearch, and the readers and change
// callbacks that the option table calls for them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/qel_cmdoptions.h"

struct Nexset;

// Codes of the base-frequency and amino-acid frequency modes.
enum : int32_t {
    kFreqEmpirical = 0,
    kFreqEqual = 1,
    kFreqEstimate = 2,
    kFreqUser = 3,
    kFreqIntrinsic = 4
};

// initBrLenMethod: Rogers (AccTran with useAcctran), least squares, or the
// arbitrary length initArbBrLen.
enum : int32_t { kInitBrLenRogers = 0, kInitBrLenLS = 1, kInitBrLenArbitrary = 2 };
// Not an LSet value: a command that sets the starting lengths itself puts
// this in the prepared state so that the driver starts from them.
inline constexpr int32_t kInitBrLenKeepCurrent = 3;

inline constexpr uint32_t kNumDnaRates = 6;
inline constexpr uint32_t kNumAminoAcids = 20;
inline constexpr double kMaxGammaShape = 500.0;
// Rate categories are a loop bound and an array size in every kernel.
inline constexpr int32_t kMaxGammaCategs = 100;
inline constexpr int32_t kMaxMLThreads = 1024;

// The LSet record. Keyword settings hold the position of the keyword; the
// comments give the keyword lists' first entries where it matters.
struct LSet {
    char modelName[kParamStringSize];  // "model"; a stored name keeps 127 characters
    double rAC, rAG, rAT, rCG, rCT, rGT;
    double userBaseFreqs[4];
    double userAAFreqs[kNumAminoAcids];
    double userTratio, userGammaShape, userPInvar;
    double spare;  // no option sets it
    double initArbBrLen, spToler, dpToler, approxLim, brentEps, brentT, praxisTol, maxBrlen;
    double userRateScaler;
    double prevRateScaler;  // negative while no estimate is kept
    double clRescale, probRoot0, q01, q10;
    Nexset *siteRatePartition;
    Nexset *rateSet;
    Nexset *modelPartition;
    int32_t ncat, NST, baseFreqMode, aaFreqMode, aaRMatrix, initBrLenMethod;
    int32_t cAC, cAG, cAT, cCG, cCT, cGT;
    int32_t rates, maxPass, paramClock, optimizer, blopt, zeroLenTest, mkStateSpace, variant,
        recon, startVals, nthreads;
    uint8_t useAcctran, nonSeq;
    uint8_t prepValid[3];  // prepared data, last optimised tree, reconstruction
    uint8_t repRate, estSiteRates, prevSiteRates, estTratio, estRmatrix, estGammaShape,
        estPInvar, estSpare, estModelRates, prevModelRates, equalModelRates,
        prevModelRatesAvail, clock, userBrLens, useApproxLim, allProbs, mlDistforLS, lCollapse,
        showQMatrix, adjustAppLim, precision, vector, logIter, estRateScaler, fastStep,
        blTransform, timesTransform, UCM, beagle, processor, gammaPlotApply, minMemReq,
        estAllParams, fixAllParams;
    int32_t bfgsM;
    double bfgsFactor, bfgsTol;
};
extern LSet ml;
// The rate-matrix values and the substitution classes are read, saved and
// compared as runs of six.
static_assert(offsetof(LSet, rGT) == offsetof(LSet, rAC) + 5 * sizeof(double));
static_assert(offsetof(LSet, cGT) == offsetof(LSet, cAC) + 5 * sizeof(int32_t));

// LScores.
struct LScoresSettings {
    uint8_t siteLikes, categLikes, storeAsWts, parsApprox;
    int32_t KHTest;  // "none", "normal", "bootstrap"
    uint8_t SHTest, AUTest;
    int32_t tailKH;  // "1", "2"
    uint8_t RELL;
    int32_t bootReps;
    uint32_t seed[4];
    uint8_t estSiteRates, unconstr;
    Nexset *byPartition;
    uint8_t AIC, AICc, BIC, lproject, longFmt;
};
extern LScoresSettings lscOpt;
inline constexpr int32_t kMaxBootReps = 100000000;

// SurfCheck.
struct SurfCheckSettings {
    int32_t nreps;
    uint32_t seed[4];
    int32_t treeNum;
    uint8_t brLens, showparam;
    char file[kParamPathSize];
    double toler;
};
extern SurfCheckSettings surfChk;
inline constexpr int32_t kMaxSurfCheckReps = 1000000;

// RAxMLSearch: the outside program's command line is built from these.
struct RaxmlSettings {
    int32_t nRuns;
    uint8_t bootstrap;
    int32_t nBootReps, pseed, bseed;
    double optPrecision;  // -1.0: not given
    uint8_t algorithm;    // "d", "o"
    Nexset *cpartition;
    char otherOptions[kParamStringSize];
    uint8_t showOutput, showTree;
    char raxmlBin[kParamStringSize];
    uint8_t keepTempFiles;
};
extern RaxmlSettings raxmlOpt;
inline constexpr int32_t kMaxOutsideRuns = 100000;

// GarliSearch: each field becomes a line of the program's configuration file.
struct GarliSettings {
    uint8_t bootstrap;
    int32_t nSearchReps, nBootReps, seed;
    char garliBin[kParamStringSize];
    uint8_t keepTempFiles;
    int32_t memory;
    uint8_t checkpoint, linkModels;
    int32_t nIndivs;
    uint8_t codonModel;
    int32_t genCode, stateFreq, nOmegaCateg;
    uint8_t showOutput, showTree;
    int32_t logevery, saveevery;
    uint8_t outputBetter, outputBest, siteLikes, enforceTerm;
    int32_t threshTopoTerm;
    double scorethresh, sigTopoChange;
    uint8_t refinestart;
    int32_t attachPerTaxon;
    uint8_t outputUselFiles, restart;
    double resampleProp;
    uint8_t collapse;
    int32_t holdover, penHoldover;
    double intensity;
    int32_t stopGen, stopTime;
    double startOptPrec, minOptPrec;
    int32_t nPrecReduct;
    double treeRejThresh, topoWeight, modWeight, brlenweight, randNniWeight, randSprWeight,
        limSprWeight;
    int32_t intervalLen, storeIntervals, limSprRange, meanBrlenMuts;
    double gshapeBrlen, gshapeModel, uniqSwapBias, distSwapBias;
};
extern GarliSettings garliOpt;

// ---- Checks -----------------------------------------------------------------------

// The likelihood threads `nthreads` asks for: the number given, or for
// "auto" (stored as 0) every processor this process may run on.
uint32_t mlThreadsAsked();
// "auto" threads where the processors cannot be counted: one thread, and
// the user is told to give the count.
bool mlProcessorsUnknown();

// 0 when the shape is usable, else error 805 or 806 and 1.
int checkGammaShape(double shape);
// 0 for a proportion in [0, 1), else error 818 and 1.
int checkPInvar(double pinv);
// 0 for at least two categories, else error 825 and 1.
int checkNRateCategs(int32_t n);
// Site-specific rates asked for without the character partition (error 828)
// or the rate set (error 829) they are taken from; both return 1.
int reportNoSiteRatePartition();
int reportNoRateSet();

// ---- Change callbacks (0 accepts, nonzero rejects the command's options) ------------

// What the callbacks reach in the likelihood engine, which installs its entry
// points when it is built. A null member does nothing.
struct LikelihoodSettingsServices {
    void (*invalidateMLprep)();
    void (*invalidatePatterns)();
    // States of the prepared site patterns (2 for RY-coded data); 0 when no
    // patterns are prepared, which means the four nucleotides.
    uint32_t (*numBaseFreqStates)();
};
void setLikelihoodSettingsServices(const LikelihoodSettingsServices &services);

int forceReinitML(CmdParam *option);
int forceRecompress(CmdParam *option);
int checkNGammaCat(CmdParam *option);
int showBeagleUnavail(CmdParam *option);

// ---- Custom options ------------------------------------------------------------

int getTratio(int operation, CmdParam *option, void *place);
int getDnaRmatrix(int operation, CmdParam *option, void *place);
int getMLDnaClass(int operation, CmdParam *option, void *place);
int getBaseFreqs(int operation, CmdParam *option, void *place);
int getAAFreqs(int operation, CmdParam *option, void *place);
int getShape(int operation, CmdParam *option, void *place);
int getLikePinv(int operation, CmdParam *option, void *place);
int getSiteRates(int operation, CmdParam *option, void *place);
int getModPtnName(int operation, CmdParam *option, void *place);
int getModelRates(int operation, CmdParam *option, void *place);
int getMLBranchLenMethod(int operation, CmdParam *option, void *place);
int getApproxLim(int operation, CmdParam *option, void *place);
int getBranchLenScaler(int operation, CmdParam *option, void *place);
int getRaxmlOther(int operation, CmdParam *option, void *place);

// Reads "(c c c c c c)" of the letters a to f into six classes; 0 or 1 after
// an error. Shared with the distance settings' substitution classes.
int readDnaClassList(int32_t classes[kNumDnaRates]);
