// Node ages and theta of SVDQuartets: the coalescent class probabilities,
// their moment inversion and their analytic derivatives.
#include <gtest/gtest.h>

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
    // The merging is by shape: xxyx joins xxxy, xyyx joins xyxy in both; xyyy
    // (unit 1 apart) joins xyxx only in the balanced shape.
    EXPECT_EQ(ageMergedClass(true, 0, 0, 1, 0), ageMergedClass(true, 2, 2, 2, 3));
    EXPECT_EQ(ageMergedClass(false, 1, 0, 0, 1), ageMergedClass(false, 3, 1, 3, 1));
    EXPECT_EQ(ageMergedClass(true, 0, 1, 1, 1), ageMergedClass(true, 1, 0, 1, 1));
    EXPECT_NE(ageMergedClass(false, 0, 1, 1, 1), ageMergedClass(false, 1, 0, 1, 1));
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

}  // namespace
