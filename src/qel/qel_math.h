// Overflow-safe elementary functions and small numeric helpers.
//
// The clamps of exp_safe and log_safe are the numeric floor and ceiling of
// every likelihood computation, so their constants are part of the
// program's results and must not be "improved".
#pragma once

#include <cstdint>

// Floating-point limits handed to the linear-algebra and minimiser code.
struct FPConstants {
    double epsilon;       // 2^-52
    double smallest;      // smallest normal double
    double largest;       // largest finite double
    double safeMinimum;   // smallest normal again (a scaling floor)
    double largeScale;    // 2^1022
    double tinyRoot;      // 2^-485
    double hugeRoot;      // 2^485
};

extern FPConstants g_fp_constants;
void setFPConstants(FPConstants *c);

inline constexpr double kExpSafeBound = 280.0;
inline constexpr double kExpSafeMax = 4.0036392008717847e121;   // exp(280)
inline constexpr double kLogSafeFloor = 2.4977275669e-122;       // about exp(-280)
inline constexpr double kLargestDouble = 1.7976931348623157e308;

double exp_safe(double x);
double log_safe(double x);
double pow_safe(double b, double e);
double logDiffToRatio(double a, double b);
int compareDoubles(double a, double b, double tol);
double returnDoubleUnmodified(double x);
double copyDouble(double x);

uint32_t intFactorial(uint32_t n);
double logFactorial(double x);
uint64_t nChoose2(uint32_t n);
uint64_t nChoose4(uint32_t n);
double nChooseK(uint32_t n, uint32_t k);

double wrapZeroTwoPi(double x);
double wrapMinusPlusPI(double x);

double sumOfSquares(const double *v, uint32_t n);
double fastFrobeniusVectorNorm(const double *v, uint32_t n);
double saferFrobeniusVectorNorm(const double *v, uint32_t n);

uint32_t powerOfTwoFloor(uint32_t n);
uint32_t powerOfTwoCeiling(uint32_t n);
bool isPowerOf10(uint32_t n);

// x rounded to the nearest multiple of step (halves towards zero); x itself
// when step is 0. Symmetric in the sign of x.
double roundFlt(double x, double step);
