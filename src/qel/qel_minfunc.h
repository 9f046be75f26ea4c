// Bounded quasi-Newton minimisation (L-BFGS-B through its reverse-
// communication entry), bound-respecting finite-difference derivatives, and
// transforms that map a bounded parameter onto an unbounded scale and back.
#pragma once

#include <cstdint>

// Bound type of a parameter in the solver's coding.
inline constexpr int32_t kBoundNone = 0;
inline constexpr int32_t kBoundLower = 1;
inline constexpr int32_t kBoundBoth = 2;
inline constexpr int32_t kBoundUpper = 3;

// Results of optimizeLBFGS.
inline constexpr int kLBFGSStopped = 0;    // warning, abnormal line search or error
inline constexpr int kLBFGSConverged = 1;
inline constexpr int kLBFGSAborted = 2;    // the user stopped it

inline constexpr double kDoubleMachinePrecision = 2.220446049250313e-16;
inline constexpr double kSingleMachinePrecision = 1.1920928955078125e-7;

// The layout follows the solver's argument list: every array is handed to it
// as is, so the record holds plain arrays from the memory-block allocator.
struct BFGSData {
    double *x;            // the caller's parameters (not owned)
    double *g;            // gradient, then lower and upper bounds, one block
    double *l;
    double *u;
    int32_t *nbd;         // bound types, kBoundNone at creation
    double *wa;           // (2m + 5) n + 12 m^2 + 12 m
    int32_t *iwa;         // 3 n
    double machinePrecision;
    double sqrtPrecision; // the relative finite-difference step
    char csave[60];
    int32_t lsave[4];     // Fortran LOGICAL, 4 bytes each
    int32_t isave[44];
    double dsave[29];
};

// Value at record->x; writes the gradient into record->g.
using BFGSObjective = double (*)(int32_t n, BFGSData *record, void *arg);
// Value at x, for finite differences.
using PlainObjective = double (*)(double *x, void *arg);

// Null when an allocation fails (the partial record is freed).
BFGSData *createBFGSData(double *x, int32_t n, int32_t m, bool singlePrecision);
void destroyBFGSData(BFGSData *record);  // null is accepted

// Minimises f from record->x within the record's bounds. *fOut receives each
// value. The solver's relative-reduction test is factr times the record's
// machine precision. On kLBFGSAborted, x and *fOut hold the lowest point
// evaluated so far.
int optimizeLBFGS(BFGSObjective f, void *arg, int32_t n, int32_t m, BFGSData *record,
                  double *fOut, int32_t iprint, double factr, double pgtol);

// d f / d x[i] at x, where f0 = f(x). Central where both trial points lie in
// [lower, upper], one-sided where only one does; the step halves until one
// does, and the result is 0 when none can be taken. x[i] is restored.
double calcFiniteDifferenceDv(double *x, int32_t i, PlainObjective f, void *arg, double lower,
                              double upper, double hrel, double f0);
// The same on record->x with parameter i's bounds as its bound type applies them.
double calcFiniteDifferenceDvForBFGS(BFGSData *record, int32_t i, PlainObjective f, void *arg,
                                     double f0);

void showBFGSPointAndGradient(int32_t n, const double *x, const double *g);

double logTransformForLB(double x, double lb);
double logBacktransformForLB(double y, double lb);
double asinSqrtTransform(double x, double lo, double hi);
double asinSqrtBacktransform(double y, double lo, double hi);
double logitTransform(double x, double lo, double hi);
double logitBacktransform(double y, double lo, double hi);
