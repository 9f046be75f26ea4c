// Pairwise distance formulas: each distance type computed from a pair of
// sequences is one function of the pair-frequency matrix F (n x n, entries
// summing to 1, states A C G T for nucleotides) and the model record. The
// result is the distance, or -1 when it is undefined.
//
// The formulas read the `subst` setting of `dist` and correct through the
// model's correction function: the natural logarithm (clamped, log_safe)
// under equal rates, minv_Gamma under gamma-distributed rates.
#pragma once

#include <cstdint>

#include "data/patterns.h"

using DistCorrectionFxn = double (*)(double);
using DistPairFxn = double (*)(double **F, Model *model);

// The `subst` keywords of DSet.
enum : uint32_t { kSubstAll = 0, kSubstTv, kSubstTi, kSubstTRatio };

inline constexpr double kUndefinedDistance = -1.0;
// Smallest argument a correction function is given, smallest frequency and
// determinant a formula accepts.
inline constexpr double kDistThreshold = 1e-10;

// Gamma shape read by minv_Gamma; a calculation sets it for its duration
// (per thread, so that no two calculations see each other's shape).
extern thread_local double gShape;

// alpha (1 - y^(-1/alpha)) with alpha = gShape.
double minv_Gamma(double y);
// ((alpha - x) / alpha)^(-alpha) with alpha the `dist` shape; 0 when
// (alpha - x) / alpha is not positive.
double mgfGamma(double x);
// Chooses the correction function (minv_Gamma when useGamma, else log_safe),
// stores it and the shape in the model when one is given, sets gShape and
// returns the function.
DistCorrectionFxn setDistMgfInvFxn(Model *model, bool useGamma, double shape);
// The model's correction function (log_safe when none is set).
DistCorrectionFxn distCorrection(const Model *model);
// Number of states the formulas of a model work with.
uint32_t distNumStates(const Model *model);

// Transition and transversion parts turned into the value `subst` asks for.
double restrictSubst(double ti, double tv);
// Without outCols: pi[a] = (row sum + column sum) / 2. With outCols: the row
// sums into out and the column sums into outCols, each at least 1e-10.
void calcBaseFreq(double **F, uint32_t n, double *out, double *outCols);
// kappa from transition and transversion proportions by the K2P formulas.
double guessKappaFromK2P(double P, double Q);

double calcPDist_Dna(double **F, Model *model);
double calcPDist_generic(double **F, Model *model);
double calcJCDist(double **F, Model *model);
double calcJCDist_generic(double **F, Model *model);
double calcF81Dist(double **F, Model *model);
double calcF81Dist_generic(double **F, Model *model);
double calcTajimaNeiDist(double **F, Model *model);
double calcK2PDist(double **F, Model *model);
double calcF84Dist(double **F, Model *model);
// F84 for a given `subst` value (HKY85 starts from its value for all sites).
double calcF84DistSubst(double **F, Model *model, uint32_t subst);
double calcK3PDist(double **F, Model *model);
double calcTamuraNeiDist(double **F, Model *model);
double calcLogDetDist(double **F, Model *model);
