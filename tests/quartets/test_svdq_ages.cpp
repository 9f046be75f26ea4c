// Node ages and theta of SVDQuartets: the coalescent class probabilities,
// their moment inversion and their analytic derivatives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "quartets/svdq_ages.h"

namespace {

struct Case {
    bool balanced;
    double t[3];
    double theta;
};

// Ages in the order the shapes need: balanced t1, t2 below t3; caterpillar
// t1 < t2 < t3.
const Case kCases[] = {
    {true, {0.3, 0.7, 1.2}, 0.01}, {true, {0.05, 0.05, 0.4}, 0.2}, {true, {1.0, 0.2, 2.5}, 0.003},
    {false, {0.3, 0.7, 1.2}, 0.01}, {false, {0.1, 0.15, 0.9}, 0.2}, {false, {0.5, 1.5, 2.0}, 0.05},
};

std::vector<double> probabilities(const Case &c, uint32_t s)
{
    SvdqAgeModel m;
    m.s = s;
    double n[kAgeMaxClasses], P[kAgeMaxClasses];
    ageClassPatternNumbers(c.balanced, s, n);
    calcExpectedPatternProbs(m, c.balanced, c.t[0], c.t[1], c.t[2], n, false, P, c.theta);
    return {P, P + ageClassCount(c.balanced)};
}

TEST(SvdqAges, ClassPatternNumbersCountEveryPatternOverSStates)
{
    for (bool balanced : {true, false})
        for (uint32_t s = 2; s <= 4; s++) {
            std::vector<double> counted(ageClassCount(balanced), 0.0);
            for (uint32_t p = 0; p < s * s * s * s; p++)
                counted[ageMergedClass(balanced, p % s, p / s % s, p / (s * s) % s, p / (s * s * s))] += 1;
            double n[kAgeMaxClasses];
            ageClassPatternNumbers(balanced, s, n);
            for (uint32_t i = 0; i < ageClassCount(balanced); i++)
                EXPECT_EQ(counted[i], n[i]) << "balanced " << balanced << " s " << s << " class " << i;
        }
}

// Two units alike is the Jukes-Cantor identity of a pair whose lineages meet
// at an exponential time above their divergence age T: 1/4 + 3/4 e^(-mu T) /
// (1 + mu). This ties the class of every pattern to the ages of the shape.
TEST(SvdqAges, PairMarginalsAreTheIdentityAtTheDivergenceAge)
{
    for (const Case &c : kCases) {
        const std::vector<double> P = probabilities(c, 4);
        double n[kAgeMaxClasses];
        ageClassPatternNumbers(c.balanced, 4, n);
        const double mu = 4.0 / 3.0 * c.theta;
        for (int a = 0; a < 4; a++)
            for (int b = a + 1; b < 4; b++) {
                double alike = 0.0;
                for (uint32_t p = 0; p < 256; p++) {
                    const uint32_t x[4] = {p & 3, (p >> 2) & 3, (p >> 4) & 3, p >> 6};
                    if (x[a] == x[b]) {
                        const uint32_t k = ageMergedClass(c.balanced, x[0], x[1], x[2], x[3]);
                        alike += P[k] / n[k];
                    }
                }
                const int age = (a == 0 && b == 1) ? 0
                                : c.balanced   ? (a == 2 && b == 3 ? 1 : 2)
                                               : (b == 2 ? 1 : 2);
                EXPECT_NEAR(alike, 0.25 + 0.75 * std::exp(-mu * c.t[age]) / (1 + mu), 1e-12)
                    << "balanced " << c.balanced << " units " << a + 1 << "," << b + 1;
            }
    }
}

TEST(SvdqAges, ClassProbabilitiesArePositiveAndSumToOne)
{
    for (const Case &c : kCases)
        for (uint32_t s = 2; s <= 4; s++) {
            const std::vector<double> P = probabilities(c, s);
            double sum = 0.0;
            for (size_t i = 0; i < P.size(); i++) {
                EXPECT_GE(P[i], 0.0);
                sum += P[i];
            }
            EXPECT_NEAR(sum, 1.0, 1e-12) << "balanced " << c.balanced << " s " << s;
        }
}

TEST(SvdqAges, MomentAgesOfExpectedFrequenciesAreTheGeneratingAges)
{
    for (const Case &c : kCases) {
        const std::vector<double> P = probabilities(c, 4);
        double n[kAgeMaxClasses], q[kAgeMaxClasses], ages[3];
        ageClassPatternNumbers(c.balanced, 4, n);
        for (size_t i = 0; i < P.size(); i++)
            q[i] = P[i] / n[i];
        calcThreeAgesGivenTheta(c.balanced, q, ages, c.theta);
        for (int k = 0; k < 3; k++)
            EXPECT_NEAR(ages[k], c.t[k], 1e-8 * (1 + c.t[k])) << "balanced " << c.balanced << " age " << k;
    }
}

TEST(SvdqAges, DerivativesEqualCentralDifferencesOfTheLogLikelihood)
{
    std::mt19937 gen(7);
    for (const Case &c : kCases) {
        // Counts near, but not at, the expectation of the case.
        const std::vector<double> P = probabilities(c, 4);
        std::vector<double> N(P.size());
        for (size_t i = 0; i < P.size(); i++)
            N[i] = std::round(5000 * P[i] * std::uniform_real_distribution<>(0.8, 1.2)(gen)) + 1;
        SvdqAgeModel m;
        double n[kAgeMaxClasses];
        ageClassPatternNumbers(c.balanced, 4, n);
        QuartetLikeContext ctx;
        ctx.model = &m, ctx.n = n, ctx.N = N.data(), ctx.balanced = c.balanced;
        const double x0[4] = {c.t[0], c.t[1], c.t[2], c.theta};
        auto lnL = [&](const double *x) { return calcLogLikeForQuartet(ctx, x, x[3]); };
        double G[4], H[4][4];
        calcDerivatives(ctx, x0[0], x0[1], x0[2], G, H, x0[3]);
        for (int k = 0; k < 4; k++) {
            // Steps that keep both truncation and rounding well below the
            // tolerances: smaller for the gradient, larger for the Hessian.
            const double hg = 1e-5 * x0[k], hk = 1e-3 * x0[k];
            double xp[4], xm[4];
            std::copy(x0, x0 + 4, xp), std::copy(x0, x0 + 4, xm);
            xp[k] += hg, xm[k] -= hg;
            const double fd = (lnL(xp) - lnL(xm)) / (2 * hg);
            EXPECT_NEAR(G[k], fd, 2e-4 * (std::fabs(fd) + 1)) << "gradient " << k;
            for (int l = 0; l < 4; l++) {
                if (l < k) {
                    EXPECT_EQ(H[k][l], 0.0);
                    continue;
                }
                const double hl = 1e-3 * x0[l];
                double f[4];
                for (int a = 0; a < 4; a++) {
                    double x[4];
                    std::copy(x0, x0 + 4, x);
                    x[k] += (a & 1 ? -hk : hk);
                    x[l] += (a & 2 ? -hl : hl);
                    f[a] = lnL(x);
                }
                const double fd2 = (f[0] - f[1] - f[2] + f[3]) / (4 * hk * hl);
                EXPECT_NEAR(H[k][l], fd2, 2e-3 * (std::fabs(fd2) + std::fabs(G[k]) + 1))
                    << "balanced " << c.balanced << " Hessian " << k << "," << l;
            }
        }
    }
}

// Class counts of nsites sites drawn from the class probabilities of a case
// (a multinomial draw, class by class).
std::vector<double> drawCounts(const Case &c, double nsites, std::mt19937 &gen)
{
    const std::vector<double> P = probabilities(c, 4);
    std::vector<double> N(P.size());
    double left = nsites, mass = 1.0;
    for (size_t i = 0; i < P.size(); i++) {
        const double p = i + 1 == P.size() ? 1.0 : std::min(1.0, P[i] / mass);
        N[i] = static_cast<double>(std::binomial_distribution<long>(static_cast<long>(left), p)(gen));
        left -= N[i], mass -= P[i];
    }
    return N;
}

TEST(SvdqAges, FixedThetaGivesTheSameAgesUnderBothMethods)
{
    std::mt19937 gen(11);
    for (const Case &c : kCases) {
        const std::vector<double> N = drawCounts(c, 20000, gen);
        QuartetAgeResult ml, mom;
        ASSERT_TRUE(estimateQuartetAges(c.balanced, 4, N.data(), AgeMethod::kML, false, c.theta, ml, nullptr));
        ASSERT_TRUE(estimateQuartetAges(c.balanced, 4, N.data(), AgeMethod::kMoments, false, c.theta, mom, nullptr));
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(ml.ages[k], mom.ages[k]);
        EXPECT_EQ(ml.theta, c.theta);
    }
}

TEST(SvdqAges, QuartetWithoutAnyUsableThetaIsSkipped)
{
    // Every site constant: the moment ages are negative at every theta.
    for (bool balanced : {true, false}) {
        std::vector<double> N(ageClassCount(balanced), 0.0);
        N[0] = 1000;
        QuartetAgeResult r;
        EXPECT_FALSE(estimateQuartetAges(balanced, 4, N.data(), AgeMethod::kML, true, 0.0, r, nullptr));
        EXPECT_FALSE(estimateQuartetAges(balanced, 4, N.data(), AgeMethod::kMoments, true, 0.0, r, nullptr));
    }
}

// 10^6 sites from the model itself: the maximum-likelihood ages and theta
// lie within 3 standard errors of the generating values, and the standard
// errors are small enough for that to mean something.
TEST(SvdqAges, MaximumLikelihoodRecoversTheGeneratingValues)
{
    const Case cases[] = {{true, {0.3, 0.7, 1.2}, 0.05}, {false, {0.2, 0.6, 1.4}, 0.05}};
    std::mt19937 gen(2024);
    for (const Case &c : cases) {
        const std::vector<double> N = drawCounts(c, 1e6, gen);
        QuartetAgeResult r;
        ASSERT_TRUE(estimateQuartetAges(c.balanced, 4, N.data(), AgeMethod::kML, true, 0.0, r, nullptr));
        ASSERT_TRUE(r.haveSE);
        const double truth[4] = {c.t[0], c.t[1], c.t[2], c.theta};
        const double est[4] = {r.ages[0], r.ages[1], r.ages[2], r.theta};
        for (int k = 0; k < 4; k++) {
            EXPECT_LT(std::fabs(est[k] - truth[k]), 3 * r.se[k]) << "balanced " << c.balanced << " parameter " << k;
            EXPECT_LT(r.se[k], 0.1 * truth[k]) << "balanced " << c.balanced << " parameter " << k;
        }
    }
}

}  // namespace
