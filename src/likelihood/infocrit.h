// The information criteria printed beside likelihood scores, the likelihood
// of the unconstrained (multinomial) model of the data, the conversions
// between the ti/tv ratio and kappa, and the number of decimals likelihood
// values are printed with.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

// Sample size meaning "none": the AICc then equals the AIC.
inline constexpr double kNoSampleSize = std::numeric_limits<double>::max();

struct Tree;

// The branch lengths a model without a clock estimates on a tree: every
// branch but the one above the data-less ancestor, the two branches at a
// bifurcating root making one length, because only their sum changes the
// likelihood. A rooted and an unrooted reading of one tree count the same.
uint32_t countFreeBranchLengths(const Tree *tree);
// The tree's own parameters in an information criterion: one age per
// internal node under a clock, which fixes the lengths from the ages, else
// its free branch lengths.
uint32_t countTreeParams(Tree *tree, bool clock);

double calcAIC(double k, double negLnL);
// With n not above k + 1, k + 2 takes the place of n.
double calcAICc(double k, double negLnL, double n);
double calcBIC(double k, double negLnL, double n);

// Sum over positive counts c of c ln c, minus N ln N (N their sum): the
// log-likelihood of the saturated multinomial model.
double calcMultinomialLike(std::span<const double> counts);

// -ln L of the unconstrained model. Each pattern holds, per taxon, the bit
// set of states its cell stands for. Patterns with ambiguous cells share
// their counts among the unambiguous patterns compatible with them by an
// iteration whose table is printed; without ambiguity no table. 9e36 when
// out of memory.
double calcUnconstrLike(const std::vector<std::vector<uint64_t>> &patterns, std::span<const double> counts);

// The ti/tv ratio R and kappa of the HKY and F84 models for base
// frequencies pi (A, C, G, T).
double convertRtoK(const double pi[4], bool f84, double R);
double convertKtoR(const double pi[4], bool f84, double kappa);

// Decimals (1..5) for printing `value` in `width` columns (0: 32).
int setDecimalsForML(int width, double value);
