// The standard normal distribution: density, distribution function,
// quantile, and normal variates drawn from a caller's generator state.
#pragma once

double stdnormal_PDF(double x);
double stdnormal_CDF(double x);
// The quantile; -1e37 for p <= 0 and 1e37 for p >= 1.
double stdnormal_invCDF(double p);

struct RNG;

// Normal variates by inversion: one uniform draw of the caller's generator
// per variate, so that streams stay reproducible.
double randStdNorm(RNG *rng);
double randNormal(RNG *rng, double mean, double sd);
