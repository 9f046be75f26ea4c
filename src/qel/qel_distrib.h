// Gamma, beta and chi-square distributions: variates, densities, the
// regularised incomplete gamma and beta functions, the chi-square quantile
// and the p-values the statistical tests report.
#pragma once

#include <cstdint>

struct RNG;

// Variates draw uniforms from the caller's state, so a seed reproduces them.
double randStdGamma(RNG *rng, double a);
double randGamma(RNG *rng, double shape, double scale);
double randGammaMeanShape(RNG *rng, double mean, double shape);
// Draws the gamma variate of a first, then that of b.
double randBeta(RNG *rng, double a, double b);

// Densities answer the largest double for invalid arguments (also the
// logarithmic ones); the gamma densities take a shape and a mean.
double ln_gamma_PDF(double x, double shape, double mean);
double gamma_PDF(double x, double shape, double mean);
double exponential_PDF(double x, double rate);
double ln_exponential_PDF(double x, double rate);
double betaFunction(double a, double b);
double lnBeta_PDF(double x, double a, double b);
double beta_PDF(double x, double a, double b);

// Regularised incomplete beta I_x(a, b); the caller keeps 0 <= x <= 1.
double betaI(double a, double b, double x);

// Error codes of gammaD.
enum : uint32_t {
    kGammaD_OK = 0,
    kGammaD_BadArgument = 1,  // shape <= 0, x < 0 or either is NaN; result 0
    kGammaD_NoConvergence = 2,  // the continued fraction did not settle; last estimate returned
};
// Regularised lower incomplete gamma P(a, x). err may be null.
double gammaD(uint32_t *err, double x, double a);

// Error codes of ppChi2; codes 1 to 3 come with the result -1.
enum : uint32_t {
    kPpChi2_OK = 0,
    kPpChi2_BadProbability = 1,  // p <= 0, p >= 1 or NaN
    kPpChi2_BadDf = 2,           // v <= 0, infinite or NaN
    kPpChi2_GammaError = 3,      // gammaD failed during the refinement
    kPpChi2_NoConvergence = 4,   // the last value is returned
};
// Chi-square quantile: the value whose lower-tail probability is p with v
// degrees of freedom; lgammaHalfV is lgamma(v / 2), supplied by the caller.
double ppChi2(uint32_t *err, double p, double v, double lgammaHalfV);

// Upper-tail probability of the chi-square statistic x; 1 when x <= 0.
double chiSquaredPvalue(uint32_t df, double x);
// Two-sided sign-test p-value of k successes in n trials (not capped at 1).
double binomialTest(uint32_t n, uint32_t k);
// Two-sided tail probability of Student's t with df degrees of freedom.
double studentTP(uint32_t df, double t);
