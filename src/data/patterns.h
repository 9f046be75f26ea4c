// Site patterns: the distinct columns of the matrix over the active taxa,
// each with the number of sites that show it and the sum of their weights,
// and the per-pattern arrays of a model group that likelihood, distance and
// resampling read. Parsimony packs its own data and does not use these.
//
// The model group belongs to the likelihood engine; this unit holds the part
// of it that pattern building reads and writes, and the engine hooks itself
// in through installPatternServices.
#pragma once

#include <cstdint>

#include "data/model.h"
#include "data/vorn_data.h"

// ---------------------------------------------------------------------------
// Model groups

struct ModelGroup;
struct Nexset;
struct SitePatternData;
struct ModelGroupEngine;

// Model state of a single-state data code; negative when the model has no
// such state.
using DataCodeToStateFxn = int (*)(uint8_t code, const DataInfo *d, const ModelGroup *g);

struct ModelGroup {
    SitePatternData *patterns;
    double *groupPatternCount;
    double *groupPatternWeight;
    uint32_t *groupFirstSite;       // kNoSite for an Mkv dummy
    uint32_t *siteToGroupPattern;   // kNoSite for a site in no pattern
    uint32_t *groupToCompressed;    // kNoSite for a dummy
    uint32_t *slotOfPattern;
    Model **modelOfSlot;
    uint32_t *slotCategoryArray;    // ngrp × rate categories, filled by the engine
    void *constMask;                // 1, 4 or 8 bytes per group pattern
    uint8_t **mkvStateList;
    uint8_t *mkvStateStore;
    uint16_t *mkvStateCount;
    double *mkvScratch;
    double totalCount;
    double totalWeight;
    uint32_t dataType;
    uint32_t nstates;
    uint32_t ngrp;
    uint32_t nslots;
    uint32_t nCategEntries;
    uint8_t useMkv;
    uint8_t compressed;
    uint8_t valid;
    uint8_t empirFreqsValid;
    uint8_t hasSlots;
    uint8_t expanded;  // the group owns count, weight, first-site and site map
    DataCodeToStateFxn dataCodeToState;  // null: by symbol
    // Set up by the likelihood engine for its kernels and threads.
    double rescaleThreshold;
    uint32_t nthreads;
    uint8_t singleThreaded;  // Mkv groups run on one thread
    uint8_t hasInvarSites;   // some active model has a proportion of invariable sites
    int32_t kind;            // -1 the default group, 7 the codon group
    double lastScore;
    double approxScore;
    // The engine's own part: kernel table, conditional-likelihood mappings,
    // pool and tip tables, per-thread matrix workspaces (likelihood layer).
    ModelGroupEngine *engine;
};

inline constexpr uint32_t kNoSite = 0xFFFFFFFF;

// The default and the codon model group.
ModelGroup *activeModelGroup();
ModelGroup *getModelGroup(uint32_t k);  // 0 default, 1 codon; null beyond

uint32_t numDataStates(const Model *m);
uint32_t numRatesForModel(const Model *m);
uint32_t numRateCategsForModel(const Model *m);
const uint32_t *getSiteRateCategsForModel(const Model *m);
// Standard data whose characters are not all of one molecular class.
bool mustUseMkv(const DataInfo *d);
// Whether the likelihood takes the data under the Mk model: data that must
// use it, or nucleotides under NST=Mkv.
bool dataUseMkv(const DataInfo *d);
// Model state of a data state by symbol (case ignored; U reads as T under a
// nucleotide or RY model); -1 when the model has no such symbol.
int dataCodeToModelStateBySymbol(uint8_t code, const DataInfo *d, const ModelGroup *g);
// Bit set of model states of a raw data code: missing (and gap) is every
// state, a single state goes through the group's code-to-state function, a
// combination is the union of its states the model can represent.
uint64_t stateCodeToModelBits(uint8_t rawCode, const DataInfo *d, const ModelGroup *g, const Model *m);

// What the likelihood and distance code supply; null members keep defaults
// (NST is not Mkv, the Mk state space is variable, invalidations do nothing).
struct PatternServices {
    bool (*nstIsMkv)();
    bool (*mkStateSpaceFixed)();
    void (*invalidateMLprep)();
    void (*invalidateDistances)();
    void (*clearMLPrepared)();  // the engine's "prepared" flag
    // The model partition likelihood analyses are set to, or null.
    const Nexset *(*modelPartition)();
};
void installPatternServices(const PatternServices &services);
void resetPatternServices();

// ---------------------------------------------------------------------------
// Compressed patterns

struct PrePattern {
    uint8_t *row;  // ntax bytes, owned
    double weight;
    uint32_t count;
    int32_t firstSite;
    uint32_t finalIndex;
    uint32_t nstates;
    uint8_t hasNonSingle;
};

struct CodePair {
    uint8_t bytes[16];
};

struct SitePatternData {
    PrePattern **prePatterns;   // capacity entries while merging
    uint8_t **rows;             // rows[t][p]
    double *patternCount;
    double *patternWeight;
    uint32_t *siteToPrePattern;
    uint32_t *siteToPattern;
    uint32_t *firstSite;
    CodePair *codePairTable;    // ncodes² − nstates² entries, zero-filled
    uint16_t *statesPerPattern; // only under Mkv
    uint8_t *codeStateLists;
    uint8_t *workRow;
    uint64_t *codeBits;
    double *constStateFreqs;
    uint32_t *codeListOffset;
    uint8_t *hasNonSingle;
    double propConstant;
    uint32_t npat;
    uint32_t ntax;
    uint32_t nsites;
    uint32_t nstates;  // also the missing code
    uint32_t ncodes;
    uint32_t listCapacity;
    uint32_t codeCapacity;
    uint32_t stopCells;
    uint32_t capacity;   // sites the record was made for
    uint32_t nchar;      // length of the site maps
    uint32_t nPrePatterns;
    uint8_t nonIntegerWeights;
    uint8_t hasConstant;
};

// Sites met by the last build that were all missing, or held states the
// model cannot show.
extern uint32_t nAllMissingIncluded;
extern uint32_t nNonModelCharsIncluded;

// A new record for ntax rows and `capacity` sites; the code tables hold the
// data's codes or the model's states plus the data's combinations, whichever
// is larger. Null when memory fails or nstates is above 64.
SitePatternData *createPatternData(const DataInfo *d, uint32_t ntax, uint32_t nstates, uint32_t capacity);
SitePatternData *destroyCompressedPatterns(SitePatternData *pd);

PrePattern *makePrePattern(const uint8_t *row, uint32_t ntax, PrePattern *reuse);
void deallocPrePatterns(SitePatternData *pd);

// Builds the group's patterns: 0, 1 (error reported) or 2 (aborted).
int initSitePatternData(DataInfo *d, ModelGroup *g, bool allowMkv);
// The default group's patterns, unless they are valid already.
int initPatternData(DataInfo *d);
// New character weights on the group's built patterns: every pattern's
// weight is summed again over its sites, and the total, the proportion of
// constant sites and their state frequencies follow, each as a build of the
// same patterns from these weights would give it.
void refreshGroupPatternWeights(ModelGroup *g, const DataInfo *d);

void invalidateSitePatternData(bool destroy);
bool isSitePatternDataValid(const ModelGroup *g);
void setSitePatternDataValid(ModelGroup *g);
void invalidateEmpirStateFreqs();
bool areEmpirFreqsValid(const ModelGroup *g);
void deallocSitePatternData(ModelGroup *g);

uint32_t getNumStatesForPat(const ModelGroup *g, uint32_t p);
uint32_t getSizeofStateBits(const SitePatternData *pd);

// All 256 patterns of 4 states on 4 taxa, taxon 1 varying slowest; the
// group's patterns are invalidated. Null on memory failure.
SitePatternData *makeAllPatterns(ModelGroup *g, const DataInfo *d);
// Pattern weights = the number of the set's sites showing each pattern.
void setPatternFreqsForSubset(SitePatternData *pd, const Set *charSet);

void showCompressedPatterns(const SitePatternData *pd, const char *title);
