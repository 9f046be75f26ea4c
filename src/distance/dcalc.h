// Distance-matrix calculation: checks that a distance type suits the data and
// settings, reuses the stored matrix while nothing relevant changed, and
// otherwise fills a DMatrix pair by pair from the compressed site patterns
// (nucleotide distances), from parsimony state sets (total and mean
// character differences) or from single-state patterns (other data).
#pragma once

#include <cstdint>
#include <vector>

#include "distance/distformulas.h"
#include "distance/dmatrix.h"

struct DataInfo;
struct ProgData;
struct Set;
struct SitePatternData;

// An ambiguous or missing code pair met while counting one taxon pair.
struct AmbiguousPair {
    uint8_t a, b;
    double weight;
};

// The state of one calculation.
struct DCalcData {
    uint32_t type = 0;
    uint32_t n = 0;  // model states: 4 nucleotides, 2 under purine/pyrimidine recoding
    Model *model = nullptr;
    DMatrix *dm = nullptr;
    ProgData *progress = nullptr;
    Set *taxonSubset = nullptr;  // not owned; only pairs within it are computed
    std::vector<uint8_t> stateCodes;  // 0 .. n-1: the state list of a missing cell
    std::vector<double> rowSums, colSums;
    uint32_t noSharedPair[2] = {0, 0};
    uint32_t nNoShared = 0;
    bool forLikelihood = false;
    bool quiet = false;
    // Counting work of calcFxy: per code pair weights and the ambiguous pairs.
    std::vector<double> pairTable;
    std::vector<AmbiguousPair> ambiguous;
    // The patterns with weight, where many have none (a resampling
    // replicate's), laid out by the table each is counted into, so that a
    // pair reads none of the others (empty when every pattern is read).
    struct WeightedLanes {
        const SitePatternData *patterns = nullptr;  // the record laid out
        uint32_t length[4] = {0, 0, 0, 0};
        uint32_t stride = 0;
        std::vector<double> weights;  // lane L at L x stride
        std::vector<uint8_t> rows;    // taxon t, lane L at (4t + L) x stride
    } lanes;
    // Three n x n matrices with row pointers (F, counts, adjusted counts).
    std::vector<double> matrixBlock;
    std::vector<double *> matrixRows;
    double **F = nullptr;
    double **counts = nullptr;
    double **work = nullptr;
};

DCalcData *createDCalcData(uint32_t type, Model *model, DMatrix *dm, uint32_t nstates, Set *taxonSubset,
                           bool forLikelihood, bool withProgress, bool quiet);
DCalcData *destroyDCalcData(DCalcData *cd);

// Computes the type (999 = current) into the slot's matrix: 0, 1 on error,
// 2 when the user stopped it.
int calcDistanceMatrix(DataInfo *d, uint32_t type, bool forLikelihood, bool quiet, bool skipChecks,
                       Set *taxonSubset, DMatrix **slot);
// The worker (argument: the DCalcData): 0, 1 or 2.
int calcDistThreadProc(void *arg);

// Fills F for taxa i and j (n x n, summing to 1) and returns the weighted
// number of sites it represents, 0 when they share no unambiguous site.
// counts and work are n x n scratch; freqs are the base frequencies of
// proportional invariant-site removal, or null.
double calcFxy(DCalcData *cd, uint32_t i, uint32_t j, const SitePatternData *pd, bool inferMissing, double **F,
               double **counts, const double *freqs, double **work);

// Maximum-likelihood distances come from the likelihood engine, a layer
// above: it installs its pair calculation at start-up. It fills cd->dm's
// pairs (within cd->taxonSubset) with the undefined and zero counts and the
// largest distance, as the other roads do; 0, 1 on error, 2 when stopped.
struct MLDistanceHooks {
    int (*calcMLDistances)(DCalcData *cd, DataInfo *d);
    // The likelihood set-up's stamp (0: none valid; a matrix is then
    // never reused).
    uint64_t (*setUpStamp)();
};
void installMLDistanceHooks(const MLDistanceHooks &hooks);
// Matrices calculated (not reused) since start-up, stopped ones included.
uint64_t numDistanceMatricesComputed();
// Tells whether a simulation block is running (installed by its layer).
void installSimulationQuery(bool (*inSimulation)());

// Replaces undefined distances and reports them: 0, 1 on error, -1 when a
// resampled replicate has no defined distance at all.
int doUndefinedDistances(DMatrix *dm, DataInfo *d, bool quiet);
// 0 when the type may be computed, else a report and 1.
int checkDistType(uint32_t type, bool inTreeSearch, DataInfo *d);
// 0 when the model has 2 states, or 4 with all four bases observed;
// otherwise error 819 and 1.
int checkNStatesValidDna(const Model *model, DataInfo *d);
// 0, or 2 when the user asked to stop and confirms.
int updateDistProgress(ProgData *progress);

// Gives the default model the state space the data call for when it has
// another one (the likelihood engine, once linked in, sets it itself).
// For the likelihood's starting distances a model that reads the data as
// Mk characters is kept.
void setDistanceModelData(DataInfo *d, bool forLikelihood = false);

// Data preparation for the distance criterion: the chosen matrix is made
// ready (computed or fetched, checked). 0, 1 on error, 2 when stopped.
int setDistances(uint32_t matrixChoice, bool computeIfNeeded, DataInfo *d);

// Resampling replicates under the distance criterion. Where the current
// distance reads nothing of the data but the site patterns and their
// weights (any nucleotide distance but maximum likelihood on nucleotide
// data; p, JC, F81 and LogDet on other data), a replicate may keep the
// patterns and sum its drawn character weights into them: the group that
// takes them, or null where the data must be prepared afresh (total and
// mean character differences read the parsimony state sets; user and
// maximum-likelihood distances; patterns not built).
ModelGroup *distanceGroupToReweight(DataInfo *d);
// The replicate's character weights summed into that group's patterns,
// what a set-up from them computes following (totals, constant sites and
// their frequencies), and the matrix computed from them and installed as a
// data preparation installs it: 0, 1 on error, 2 when stopped, -1 when
// every distance is undefined.
int distanceCharWeightsChanged(DataInfo *d);
