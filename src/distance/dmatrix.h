// Distance matrices and the vocabulary of distance types: the matrix record
// with the settings it was computed under, the three global matrix slots
// (computed from the characters, read from a DISTANCES block, computed for
// likelihood starting values), the choice of one of them for a tree method,
// the validity flag of the computed matrix, and the tests on distance types.
#pragma once

#include <cstdint>

#include "distance/distance_settings.h"

struct DataInfo;

// A type argument meaning "the current `distance` setting"; stored in a
// DMatrix it means that the record holds nothing.
inline constexpr uint32_t kCurrentDistType = 999;

// Kinds of getDMatrix requests (optimality-criterion codes).
inline constexpr uint32_t kDMatrixForLikelihood = 1;
inline constexpr uint32_t kDMatrixForDistance = 2;

struct DMatrix {
    // Half matrices: row i holds d(i, j) for j < i; the diagonal reads as 0.
    double **distances;
    double **asReadDistances;  // a user matrix in the taxon order read, made on demand
    double **weights;          // user DistanceWts values
    double **asReadWeights;
    // Snapshots of `dist` taken when the matrix was computed.
    double shape;
    double pInvar;
    double undefMult;
    // After calculation the largest defined distance; after undefined
    // distances were replaced, the replacement value.
    double maxDistance;
    uint32_t type;  // kDist*, kCurrentDistType for none
    uint32_t nUndefined;
    uint32_t nZero;  // distances below 1e-10 set to 0
    uint32_t ntax;
    uint32_t ntaxAlloc;
    uint32_t rates;
    uint32_t baseFreq;
    uint32_t subst;  // 0 when the type takes no ti/tv option
    uint32_t classes[6];
    uint32_t recSeqLen;
    uint32_t estFreq;
    uint32_t removeFreq;
    uint32_t missDist;
    uint32_t decimals;         // of a user matrix
    uint32_t noSharedPair[2];  // first taxon pair without shared sites
    uint32_t nNoShared;
    // Maximum-likelihood distances whose pairwise fit (with model parameters
    // estimated per pair) has no finite optimum; among the undefined ones.
    uint32_t nNoOptimum;
    uint8_t allSitesMean;
    uint8_t allUndefined;  // no pair gave a defined distance
    // Maximum-likelihood distances follow the likelihood set-up as well as
    // the data: the data's generation and the set-up's stamp they were
    // computed under (stamp 0: never whole).
    uint64_t inputsGeneration;
    uint64_t setUpStamp;
};

extern DMatrix *gComputedDistances;
extern DMatrix *gUserDistances;
extern DMatrix *gDistancesForML;
// The computed matrix matches the data and settings.
extern bool gDistancesValid;
// A new number whenever the data, weights, exclusions or taxa that every
// matrix is computed from change (each invalidation of the distances).
uint64_t distanceInputsGeneration();
// The user matrix must be brought in line with the taxon status.
extern bool adjustUserDMatrix;

// Display names indexed by distance type.
extern const char *const kDistanceTypeNames[kNumDistanceTypes];
const char *distTypeName(uint32_t type);

DMatrix *createDMatrix(uint32_t ntax);
DMatrix *destroyDMatrix(DMatrix *dm);
// The slot's matrix when it is sized for ntax taxa, else a new one stored in
// the slot; null when out of memory.
DMatrix *checkDMatrixAlloc(DMatrix **slot, uint32_t ntax);
void deallocDistanceStorage(int withUser);
void invalidateDistances();
// The matrix a tree method uses (kind 1 likelihood, 2 or 0 distance); null
// on failure or abort.
DMatrix *getDMatrix(uint32_t kind, DataInfo *d, bool noCompute);
// 0, or 1 when out of memory.
int checkUserDMatrix(DMatrix *dm, DataInfo *d);
void saveDistSettings(DMatrix *dm, uint32_t type, DataInfo *d);

// Type tests (999 is the current type unless said otherwise).
uint32_t resolveDistType(uint32_t type);
bool isDnaDistType(uint32_t type);
bool isDnaDistance(uint32_t type, const DataInfo *d);
// The measures computed for amino acids as well: P, JC and ML.
bool isAADistType(uint32_t type);
bool isAADistance(uint32_t type, const DataInfo *d);
bool distanceNeedsSitePatterns(uint32_t type);
bool isRestSiteDistType(uint32_t rawType);
bool isStdDistance(uint32_t rawType, const DataInfo *d);
bool isCodonDistance(uint32_t type, const DataInfo *d);
// 0 does not apply, 1 applies and in use, -1 applies but not in use or not
// known (no matrix given).
int isGammaDist(const DMatrix *dm, uint32_t rawType, const DataInfo *d);
int isInvarDist(const DMatrix *dm, uint32_t type, const DataInfo *d);
int isTiTvDist(const DMatrix *dm, uint32_t type, const DataInfo *d);

bool hasNucleotideData(const DataInfo *d);
bool hasAminoAcidData(const DataInfo *d);
