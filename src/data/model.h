// Substitution models: the model record and the list of stored models.
//
// The current likelihood settings form the default model (always the first
// of the list); LSet model=<name> stores them under a name. The record is
// declared here, below the likelihood engine, because building site patterns
// reads a model's data type, states and rate classes; what the settings mean
// for a model (applying them, listing a model, counting its parameters)
// belongs to the likelihood layer.
#pragma once

#include <cstdint>
#include <vector>

struct Nexset;
struct MatrixDiag;
struct MLRateInfo;
struct ModelEngineData;

// Data types of a model.
inline constexpr uint32_t kModelNucleotide = 0;
inline constexpr uint32_t kModelRY = 1;        // purines against pyrimidines, "RY"
inline constexpr uint32_t kModelTwoState = 2;  // simulation blocks, or two standard symbols
inline constexpr uint32_t kModelStandard = 3;
inline constexpr uint32_t kModelAminoAcid = 4;
inline constexpr uint32_t kModelMkv = 5;
inline constexpr uint32_t kMaxModelStates = 64;  // a state set is one 64-bit word
// The states of amino-acid data and models, in the order of the empirical
// rate matrices and their frequencies. Data codes, model states and every
// array indexed by them (frequencies, distances, reconstructions) follow it.
inline constexpr const char *kAminoAcidStates = "ARNDCQEGHILKMFPSTWYV";

// Substitution classes of nucleotide models (the LSet NST keyword's index;
// its fourth keyword, "Mkv", selects the data type instead).
inline constexpr uint32_t kSubstOneRate = 0;
inline constexpr uint32_t kSubstTwoRates = 1;
inline constexpr uint32_t kSubstSixRates = 2;
inline constexpr uint32_t kNstMkv = 3;

// A parameter field holding this value is to be estimated; the two-state
// rates use their own marker because any positive value is a valid rate.
inline constexpr double kEstimate = -1.0;
inline constexpr double kEstimateTwoStateRate = -999.0;
// Codes that the first element of a model's frequency array may hold in
// place of user frequencies.
inline constexpr double kFreqCodeEstimate = -1.0;
inline constexpr double kFreqCodeEmpirical = -2.0;
inline constexpr double kFreqCodeEqual = -3.0;
inline constexpr double kFreqCodeIntrinsic = -4.0;

inline constexpr uint32_t kModelNameSize = 128;  // 127 characters and the terminator
inline constexpr uint32_t kNumNucRates = 6;

struct Model {
    char name[kModelNameSize];
    // nstates values, or a code (kFreqCode*) in the first element.
    std::vector<double> stateFreqs;
    // Exchangeabilities: nucleotides AC, AG, AT, CG, CT, GT; amino acids by
    // rows of the lower triangle. Empty for models without a rate matrix;
    // kEstimate in the first element means estimate.
    std::vector<double> rates;
    double q01, q10;
    int32_t rateClass[kNumNucRates];
    char symbols[kMaxModelStates + 1];
    double tratio;
    double gammaShape;        // 0 none
    double pinv;              // 0 none
    double modelRateSetting;  // of a subset of a partitioned model
    uint32_t nstates;
    uint32_t substClass;
    uint32_t numPools;  // distinct exchangeabilities of a six-rate model
    uint32_t ncat;
    Nexset *siteRatePartition;
    Nexset *rateSet;
    uint32_t type;
    uint8_t F84;
    uint8_t pooled;
    uint8_t estSiteRates;
    uint8_t siteRatesFromPartition;
    uint8_t clock;
    uint8_t empirFreqs;
    Model *nextActive;
    uint32_t poolMap[kNumNucRates];
    uint32_t aaRMatrix;              // index of the amino-acid matrix installed
    const double *intrinsicFreqs;    // that matrix's own frequencies (not owned)

    // Rate information: site-rate classes and rate categories; 1 each
    // without site rates or rate variation.
    uint32_t numRates;
    uint32_t numRateCategs;
    const uint32_t *siteRateClass;  // class of each site, or null (not owned)

    // Estimated or empirical frequencies (values, never codes).
    double freqs[kMaxModelStates];
    uint32_t firstPattern;  // contiguous range of group patterns
    uint32_t lastPattern;
    double relRate;         // 1 until model rates are estimated
    uint32_t ptnSubset;     // subset of the model partition that uses the model
    uint32_t numParams;
    uint32_t numExchangeabilities;  // 6 for nucleotides, 190 for amino acids
    uint8_t needsInit;

    // Set by a distance calculation for its duration and reset after it: the
    // correction function of the distance formulas (log or the inverse gamma
    // moment-generating function; null reads as log), its gamma shape, and
    // the eigen work space of the rate-matrix distances (not owned).
    double (*distCorrFxn)(double);
    double distShape;
    MatrixDiag *distDiag;

    // The last estimates, which "previous" and FixAllParams take; negative
    // (or, for the vectors, empty or negative in the first element) while
    // none is held.
    double prevTratio, prevShape, prevPinv, prevModelRate;
    std::vector<double> prevRates;
    std::vector<double> prevFreqs;
    std::vector<double> prevSiteRates;
    const Nexset *prevSiteRatePartition;

    // What the likelihood engine prepares for the model (rate categories,
    // working frequencies, eigen system, transition-matrix functions); it
    // owns both and frees them through the releaser it installs below.
    MLRateInfo *rateInfo;
    ModelEngineData *engine;
};

// The likelihood engine's release of a model's rateInfo and engine data,
// called by destroyModel and resetDefaultModel; null frees nothing (the two
// pointers then stay null anyway, as nothing else fills them).
using ModelEngineReleaser = void (*)(Model *m);
void setModelEngineReleaser(ModelEngineReleaser releaser);
void releaseModelEngineData(Model *m);

// A fresh model: zero fields, relative rate 1, no previous estimates. The
// name keeps at most 127 characters.
Model *createModel(const char *name);
Model *destroyModel(Model *m);  // accepts null, returns null
void forgetPreviousEstimates(Model *m);
void forgetPreviousSiteRates(Model *m);
bool havePrevRates(const Model *m);
bool havePrevFreqs(const Model *m);

// The list of stored models; element 0 is "default". The default model
// starts as an equal-frequency nucleotide model over "ACGT".
int createModelList();  // 0, or 1 when out of memory
void destroyModelList();
uint32_t countModels();
Model *getModel(uint32_t index);  // null beyond the end
Model *getDefaultModel();         // makes the list when there is none
Model *nextModel(const Model *m);
// Case-insensitive; null when absent, with an error report when asked.
Model *findMatchingModel(const char *name, bool report);
// Puts `m` in the place of the model of the same name (case ignored), or at
// the end; whether it replaced one. The list owns `m` afterwards.
bool insertModel(Model *m);
void forceReinitAllModels();
// The default model back to its starting state (for tests of the pattern code).
void resetDefaultModel();
