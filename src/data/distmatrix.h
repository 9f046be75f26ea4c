// The Matrix and DistanceWts commands of a DISTANCES block: reading a
// pairwise distance matrix (lower, upper or both triangles, with or without
// the diagonal, labels left, right or none) and storing it as the user
// distance matrix, which the distance methods own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "data/vorn_data.h"

// The user distance matrix lives with the distance methods, above this
// library; they install these entry points at start-up. Matrices are half
// matrices: row i holds columns 0 .. i-1, by stored taxon row.
struct UserDistanceStore {
    // The user matrix sized for ntax taxa (the existing one or a new one);
    // null when out of memory.
    double **(*distances)(uint32_t ntax);
    // New weights for the user matrix; null when there is none or out of memory.
    double **(*allocWeights)();
    bool (*haveDistances)();
    bool (*haveWeights)();
    // Records the summary values and installs the matrix as the user
    // distances: distance measure "user", criterion distance (announced when
    // it changes). `adjust`: the matrix has rows for deleted taxa.
    void (*install)(uint32_t nZero, double maxDistance, uint32_t decimals, bool adjust);
    void (*destroy)();
    // A DISTANCES block without characters makes distance the criterion.
    void (*selectDistanceCriterion)();
    // Character data were read: a distance measure they cannot give falls
    // back to one they can (no user matrix, or a nucleotide measure on
    // other data; amino acids keep the measures computed for them).
    void (*fitMeasureToData)(uint32_t dataType);
};
// Installs the non-null members (the defaults refuse to store anything).
void installUserDistanceStore(const UserDistanceStore &store);
void resetUserDistanceStore();
const UserDistanceStore &userDistanceStore();

// Summary of one matrix read.
struct DistanceReadSummary {
    uint32_t nZero = 0;      // pairs with distance 0, reset negatives included
    uint32_t nNegative = 0;  // values read below 0, stored as 0
    uint32_t decimals = 0;   // most digits after a decimal point
    double maxDistance = 0.0;
};

// The Matrix command of a DISTANCES block; 0 or non-zero.
int readAndStoreDistanceMatrix(DataInfo *d);
// The DistanceWts command; 0 or non-zero.
int readAndStoreDistanceWts(DataInfo *d);
// The Format command of a DISTANCES block.
int doDistFormatCmd(DataInfo *d);
// Reads one matrix of the block's layout into `rows` (a half matrix over the
// stored taxa), matching labelled rows to taxa by name; 0 or 1.
int readDistanceMatrix(DataInfo *d, double **rows, bool weights, DistanceReadSummary &summary);
// Reads one value token; returns it, or kBadDistanceValue after an error
// report. A diagonal entry is read and ignored (returns 0); only ";" is
// refused there.
inline constexpr double kBadDistanceValue = 1.7976931348623157e308;
// Error 341 naming the token; returns 1.
int invalidDistanceValue(const char *token);
double readDistanceValue(const char *punctuation, bool isDiagonal, char *buffer, size_t size,
                         uint32_t *decimalsOut);
