// Distances that rest on a full reversible rate matrix: GTR, K3P split into
// transitions and transversions, the custom "EIr" distance with user-chosen
// substitution classes, and HKY85.
//
// The EIr distance is closed-form, -sum_a pi_a [log(Pi^-1 F)]_aa, through the
// eigen-decomposition of Pi^-1 F. Where classes must share one rate (custom
// distances with empirical base frequencies, HKY85) the distance and the
// relative class rates solve a system of equations, one per class (observed
// class sums = expected class sums), by the Powell hybrid method of MINPACK.
#pragma once

#include <cstdint>

#include "distance/distformulas.h"

struct MatrixDiag;

inline constexpr uint32_t kNumBasePairs = 6;  // A-C, A-G, A-T, C-G, C-T, G-T

// What matrixLog reports besides its status.
struct MatrixLogResult {
    double total = 0.0;  // -sum_a pi_a f(M)_aa
    double ti = 0.0;     // off-diagonal sum over transitions, when asked
    double tv = 0.0;     // and over transversions
    bool wantParts = false;
    double **L = nullptr;  // when given: f(M) off the diagonal, rows summing to 0
};

// f of M = Pi^-1 F (n x n, row a of F divided by pi_a) through its
// eigen-decomposition in eigenWork (a reversible n x n record). Returns 0, or
// 1 when the decomposition fails or an eigenvalue of M is below 1e-10 (its
// logarithm would be no distance).
int matrixLog(uint32_t n, double **F, const double *pi, MatrixDiag *eigenWork, double **out,
              DistCorrectionFxn f, MatrixLogResult *result);

// The EIr distance; with fixDiagonal each diagonal cell of F is first set so
// that row a sums to pi_a. With classRatesOut (custom distances) the
// distance is the off-diagonal total and the mean exchangeability of each of
// the k classes is written there. -1 when the logarithm fails.
double calcEirDistance_Dna(double **F, const double *pi, DistCorrectionFxn f, MatrixDiag *eigenWork,
                           bool fixDiagonal, uint32_t k, const uint32_t *pairClasses, double *classRatesOut);

// Pools F within classes: each pair of class c gets the class sum shared in
// proportion to pi_a pi_b.
void doVeskaPooling(double **F, const double *pi, const uint32_t *pairClasses, uint32_t k);

// The normalised (mean rate 1) rate matrix of k class rates: the reference
// class has rate 1, the others the relative rates in class order.
void makeQ(uint32_t k, uint32_t referenceClass, const double *relativeRates, const double *pi, double **Q,
           const uint16_t classTable[4][4]);

// Solves for the distance (and the relative class rates) that reproduce the
// observed class sums; -1 when unsolved.
double finishCustomDistance(double **F, const double *pi, MatrixDiag *eigenWork, uint32_t k, bool hkyForm,
                            const double *classSums, const uint32_t *pairClasses,
                            const uint16_t classTable[4][4], Model *model);

// The equation function handed to the solver (MINPACK's calling convention;
// data is the equation record).
int solveCustomDist(void *data, int n, const double *x, double *fvec, int iflag);

double calcCustomDist(double **F, Model *model);
double calcGTRDist(double **F, Model *model);
double calcK3PDistTiTv(double **F, Model *model);
double calcHKY85Dist(double **F, Model *model);
