// The standard normal distribution: density, distribution function,
// quantile, and normal variates drawn from a caller's generator state.
#pragma once

double stdnormal_PDF(double x);
double stdnormal_CDF(double x);
// The quantile; -1e37 for p <= 0 and 1e37 for p >= 1.
double stdnormal_invCDF(double p);

// One uniform draw (randUni, found next to the generator's state type) per
// variate. Templates so that this unit does not depend on the generator
// unit's link order; RNG is normally the generator state record.
template <typename RNG>
double randStdNorm(RNG *rng)
{
    return stdnormal_invCDF(randUni(rng));
}

template <typename RNG>
double randNormal(RNG *rng, double mean, double sd)
{
    return mean + sd * randStdNorm(rng);
}
