// The per-pair formulas on pair-frequency matrices built in the test: the
// rate-matrix distances must return the time of F = Pi exp(Q t) (with the
// exponential computed here by scaling and squaring of a Taylor series), and
// the closed forms their textbook values and edge cases.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

#include "distance/distance_settings.h"
#include "distance/eirdist.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_math.h"
#include "rate_reference.h"

namespace {

using distref::expm;
using distref::Mat;
using distref::rateMatrix;

// A matrix with the row pointers the formulas take, made when asked for so
// that copies stay their own.
struct Rows {
    Mat m{};
    double *r[4] = {};
    double **operator()()
    {
        for (int i = 0; i < 4; ++i)
            r[i] = m[i].data();
        return r;
    }
};

// F = Pi exp(Q t).
Rows pairFrequencies(const double pi[4], const double ex[6], double t)
{
    Mat q = rateMatrix(pi, ex);
    for (auto &row : q)
        for (double &x : row)
            x *= t;
    const Mat p = expm(q);
    Rows f;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            f.m[i][j] = pi[i] * p[i][j];
    return f;
}

class FormulaTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = dist; }
    void TearDown() override
    {
        dist = saved_;
        gShape = 0.0;
    }
    Model model_{};

private:
    DistSettings saved_{};
};

TEST_F(FormulaTest, RateMatrixDistancesRecoverTheTime)
{
    const double pi[4] = {0.1, 0.2, 0.3, 0.4};
    const double gtr[6] = {1, 2, 1, 1, 3, 1};
    for (double t : {0.01, 0.1, 0.5, 1.0, 2.0}) {
        Rows f = pairFrequencies(pi, gtr, t);
        EXPECT_NEAR(calcGTRDist(f(), &model_), t, 1e-10) << t;
    }
    // HKY85 (and the custom distance with transitions as one class) solve
    // for the distance on HKY85 data of any kappa.
    dist.cAC = dist.cAT = dist.cCG = dist.cGT = 0;
    dist.cAG = dist.cCT = 1;
    dist.baseFreq = 1;
    for (double kappa : {1.0, 4.0, 20.0})
        for (double d : {0.05, 0.3, 1.0}) {
            const double hky[6] = {1, kappa, 1, 1, kappa, 1};
            Rows f = pairFrequencies(pi, hky, d);
            EXPECT_NEAR(calcHKY85Dist(f(), &model_), d, 1e-8) << kappa << " " << d;
            Rows g = pairFrequencies(pi, hky, d);
            EXPECT_NEAR(calcCustomDist(g(), &model_), d, 1e-8) << kappa << " " << d;
        }
}

// A pair with transversions only: the transition class's rate solves to a
// negative value, where its probabilities are negative too. The answer is
// the root of the class equations (scipy's fsolve from the same start:
// 0.48973005, rate -0.252), the HKY85 distance of the same pair, not a
// point where clamped probabilities hide the transition equation.
TEST_F(FormulaTest, CustomDistanceSolvesItsEquationsThroughANegativeRate)
{
    const char *a = "ACGAACGGACGA", *c = "ACTTACGTACGT";
    auto pair = [&] {
        Rows f;
        const std::string bases = "ACGT";
        for (int k = 0; k < 12; ++k)
            f.m[bases.find(a[k])][bases.find(c[k])] += 1.0 / 12;
        return f;
    };
    dist.cAC = dist.cAT = dist.cCG = dist.cGT = 0;
    dist.cAG = dist.cCT = 1;
    dist.baseFreq = 1;
    Rows f = pair(), g = pair();
    const double custom = calcCustomDist(f(), &model_);
    EXPECT_NEAR(custom, 0.48973005, 1e-7);
    EXPECT_NEAR(custom, calcHKY85Dist(g(), &model_), 1e-8);
}

TEST_F(FormulaTest, EqualClassesAndFrequenciesGiveJukesCantor)
{
    const double pi[4] = {0.25, 0.25, 0.25, 0.25};
    const double ex[6] = {1, 1, 1, 1, 1, 1};
    Rows f = pairFrequencies(pi, ex, 0.4);
    const double p = 1 - (f.m[0][0] + f.m[1][1] + f.m[2][2] + f.m[3][3]);
    const double jc = -0.75 * std::log(1 - 4 * p / 3);
    dist.baseFreq = 0;
    EXPECT_NEAR(calcCustomDist(f(), &model_), jc, 1e-12);
    Rows g = pairFrequencies(pi, ex, 0.4);
    EXPECT_NEAR(calcJCDist(g(), &model_), jc, 1e-15);
    // One class with empirical frequencies is the pooled distance itself,
    // however small, never a placeholder.
    dist.baseFreq = 1;
    Rows tiny = pairFrequencies(pi, ex, 1e-12);
    EXPECT_NEAR(calcCustomDist(tiny(), &model_), 1e-12, 1e-15);
}

TEST_F(FormulaTest, UndefinedWhereTheLogarithmHasNoAnswer)
{
    // A base absent from both sequences.
    Rows absent;
    absent.m[0][0] = 0.5;
    absent.m[1][1] = 0.3;
    absent.m[2][2] = 0.1;
    absent.m[1][2] = absent.m[2][1] = 0.05;
    EXPECT_EQ(calcGTRDist(absent(), &model_), -1.0);
    // So is the custom distance whose classes must be solved for: undefined,
    // not a stop of the whole calculation.
    dist.baseFreq = 1;
    dist.cAC = 0, dist.cAG = 1, dist.cAT = 2, dist.cCG = 3, dist.cCT = 4, dist.cGT = 5;
    setAbortedStatus(0);
    EXPECT_EQ(calcCustomDist(absent(), &model_), -1.0);
    EXPECT_FALSE(getAbortedStatus());
    setAbortedStatus(0);
    // Saturated beyond the stationary matrix: Pi^-1 F has a negative
    // eigenvalue, with equal rates and under gamma rates alike.
    for (bool gamma : {false, true}) {
        setDistMgfInvFxn(&model_, gamma, 0.5);
        Rows over;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                over.m[i][j] = i == j ? 0.02 : 0.08;
        EXPECT_EQ(calcGTRDist(over(), &model_), -1.0);
        Rows pooled = over;
        EXPECT_EQ(calcK3PDistTiTv(pooled(), &model_), -1.0);
    }
}

TEST_F(FormulaTest, ClosedFormsAndTheirEdges)
{
    auto uniform = [](double p) {
        Rows f;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                f.m[i][j] = i == j ? (1 - p) / 4 : p / 12;
        return f;
    };
    Rows saturated = uniform(0.75);
    EXPECT_EQ(calcJCDist(saturated(), &model_), -1.0);
    Rows f = uniform(0.3);
    setDistMgfInvFxn(&model_, true, 0.7);
    EXPECT_NEAR(calcJCDist(f(), &model_), 0.75 * 0.7 * (std::pow(1 - 0.4, -1 / 0.7) - 1), 1e-12);
    setDistMgfInvFxn(&model_, false, 0.0);
    // K2P with only transversions at Q = 0.5.
    Rows tv;
    tv.m[0][1] = tv.m[1][0] = tv.m[2][3] = tv.m[3][2] = 0.125;
    tv.m[0][0] = tv.m[1][1] = tv.m[2][2] = tv.m[3][3] = 0.125;
    EXPECT_EQ(calcK2PDist(tv(), &model_), -1.0);
    // No transversions: the ti/tv ratio is undefined.
    dist.subst = kSubstTRatio;
    Rows ti;
    ti.m[0][0] = ti.m[1][1] = ti.m[2][2] = ti.m[3][3] = 0.2;
    ti.m[0][2] = ti.m[1][3] = 0.1;
    EXPECT_EQ(calcK2PDist(ti(), &model_), -1.0);
    dist.subst = kSubstAll;
    // LogDet on a singular F.
    Rows singular;
    singular.m[0][0] = singular.m[0][1] = singular.m[1][0] = singular.m[1][1] = 0.25;
    EXPECT_EQ(calcLogDetDist(singular(), &model_), -1.0);
    // Two-state F81 with equal frequencies is the two-state Jukes-Cantor.
    Model two{};
    two.type = kModelRY;
    two.nstates = 2;
    Rows b;
    b.m[0][0] = b.m[1][1] = 0.4;
    b.m[0][1] = b.m[1][0] = 0.1;
    EXPECT_NEAR(calcF81Dist_generic(b(), &two), -0.5 * std::log(1 - 2 * 0.2), 1e-15);
    EXPECT_NEAR(calcJCDist_generic(b(), &two), -0.5 * std::log(1 - 2 * 0.2), 1e-15);
}

}  // namespace
