// Node ages and theta on an SVDQuartets tree. The site patterns of a quartet
// are reduced to classes by which units share a state; under Jukes-Cantor
// substitution on the multispecies coalescent the expected class
// probabilities are sums of exponential terms in the three ages of the
// quartet's rooted shape, so the ages follow from the class frequencies by
// moments, or by maximum likelihood started from the moment estimates.
// Ages are in coalescent units; theta * t is the expected number of
// substitutions along a lineage over an age t.
#pragma once

#include <cstdint>

struct SvdqEvalData;
struct Tree;

// Merged classes and exponential terms of the two rooted shapes of a quartet:
// balanced ((1,2),(3,4)) and caterpillar (((1,2),3),4).
inline constexpr uint32_t kAgeMaxClasses = 11;
inline constexpr uint32_t kAgeMaxTerms = 10;
inline constexpr uint32_t ageClassCount(bool balanced) { return balanced ? 9 : 11; }
inline constexpr uint32_t ageTermCount(bool balanced) { return balanced ? 9 : 10; }

// The coefficient matrix A of the class probabilities over the exponential
// terms, and its first and second derivatives in theta; rewritten in place at
// every evaluation.
struct SvdqAgeModel {
    uint32_t s = 4;
    double A[kAgeMaxClasses][kAgeMaxTerms] = {};
    double dA[kAgeMaxClasses][kAgeMaxTerms] = {};
    double d2A[kAgeMaxClasses][kAgeMaxTerms] = {};
};

// What the log-likelihood of one quartet reads: per merged class its number
// of patterns n, its count N and its per-pattern frequency q.
struct QuartetLikeContext {
    SvdqAgeModel *model = nullptr;
    const double *n = nullptr;
    const double *N = nullptr;
    const double *q = nullptr;
    double P[kAgeMaxClasses] = {};
    bool balanced = true;
    uint64_t nevals = 0;
};

// Number of patterns over s states of each merged class of the shape.
void ageClassPatternNumbers(bool balanced, uint32_t s, double *n);
// Merged class of the pattern of states (x1, x2, x3, x4) of the ordered units.
uint32_t ageMergedClass(bool balanced, uint32_t x1, uint32_t x2, uint32_t x3, uint32_t x4);

void formBetaVector(bool balanced, double *beta, double theta, double t1, double t2, double t3);
// Fills A (and dA, d2A with derivs) for theta and writes the probability of
// every merged class (all its n_i patterns) to P.
void calcExpectedPatternProbs(SvdqAgeModel &m, bool balanced, double t1, double t2, double t3, const double *n,
                              bool derivs, double *P, double theta);
// Sum of N_i ln P_i; the most negative double when a P_i is not positive.
double calcLogLikeForQuartet(QuartetLikeContext &c, const double ages[3], double theta);
// Moment estimates of the three ages from the per-pattern frequencies (four
// states).
void calcThreeAgesGivenTheta(bool balanced, const double *q, double ages[3], double theta);
// Gradient (and, when H is not null, the upper triangle of the Hessian, the
// lower left 0) of the log-likelihood in (t1, t2, t3, theta). Every P_i must
// be positive.
void calcDerivatives(QuartetLikeContext &c, double t1, double t2, double t3, double G[4], double (*H)[4],
                     double theta);

// One quartet's estimates.
struct QuartetAgeResult {
    double ages[3] = {};
    double theta = 0.0;
    double se[4] = {};       // standard errors (ML with theta estimated)
    bool haveSE = false;
};

enum class AgeMethod : uint32_t { kML = 1, kMoments = 2 };

// Estimates the ages and theta from merged-class counts N (class order of the
// shape). With estimateTheta false, theta is fixed at fixedTheta (> 0).
// Returns false when no theta of the scan gives finite moment ages and
// likelihood (the quartet is skipped). Sets *aborted on a user interrupt.
bool estimateQuartetAges(bool balanced, uint32_t s, const double *N, AgeMethod method, bool estimateTheta,
                         double fixedTheta, QuartetAgeResult &out, bool *aborted);

// Ages of the internal nodes of the inferred tree, rooted first by the
// outgroup (between ingroup and outgroup), and theta, each averaged over the
// quartets of units whose induced subtree holds the node; shown as a table.
// theta is the fixed value when estimateTheta is false. 0, or 2 when the
// user stopped it.
int estimateSvdqNodeAges(SvdqEvalData &ev, Tree *tree, AgeMethod method, bool estimateTheta, double theta);
