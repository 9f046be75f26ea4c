// Information criteria, the unconstrained likelihood and the ti/tv
// conversions, each against a value worked out by hand or a property the
// formula must have.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "likelihood/infocrit.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"
#include "print_capture.h"
#include "qel/qel_errormsg.h"

namespace {

TEST(InfoCriteria, HandValuesAndTheSmallSampleCorrection)
{
    // HKY+G with empirical frequencies on 10 taxa: 3 frequencies, kappa and
    // the shape (5), and 17 branches.
    const double k = 5 + 17, lnL = 1234.5, n = 500;
    EXPECT_DOUBLE_EQ(calcAIC(k, lnL), 2 * 22 + 2 * 1234.5);
    EXPECT_DOUBLE_EQ(calcAICc(k, lnL, n), 2513.0 + 2.0 * 22 * 23 / (500 - 22 - 1));
    EXPECT_DOUBLE_EQ(calcBIC(k, lnL, n), 2469.0 + 22 * std::log(500.0));
    // n not above k + 1: k + 2 stands for n, so the correction is 2k(k+1).
    EXPECT_DOUBLE_EQ(calcAICc(k, lnL, 23), 2513.0 + 2.0 * 22 * 23);
    EXPECT_DOUBLE_EQ(calcAICc(k, lnL, 5), 2513.0 + 2.0 * 22 * 23);
    EXPECT_DOUBLE_EQ(calcAICc(k, lnL, kNoSampleSize), calcAIC(k, lnL));
}

TEST(InfoCriteria, TiTvRatioAndKappaInvertEachOther)
{
    const double equal[4] = {0.25, 0.25, 0.25, 0.25};
    EXPECT_DOUBLE_EQ(convertRtoK(equal, false, 1.5), 3.0) << "equal frequencies: kappa = 2R";
    const double pi[4] = {0.1, 0.2, 0.3, 0.4};
    for (bool f84 : {false, true})
        for (double R : {0.6, 2.0, 7.5}) {
            EXPECT_NEAR(convertKtoR(pi, f84, convertRtoK(pi, f84, R)), R, 1e-12);
            EXPECT_NEAR(convertRtoK(pi, f84, convertKtoR(pi, f84, R)), R, 1e-12);
        }
    // HKY by hand: piR = 0.4, piY = 0.6, S = 0.03 + 0.08 = 0.11.
    EXPECT_NEAR(convertRtoK(pi, false, 2.0), 2.0 * 0.24 / 0.11, 1e-12);
}

TEST(InfoCriteria, DecimalsForPrinting)
{
    EXPECT_EQ(setDecimalsForML(12, 0.5), 5) << "small values: five decimals";
    EXPECT_EQ(setDecimalsForML(12, 1234.5), 5);
    EXPECT_EQ(setDecimalsForML(12, 123456789.0), 2);
    EXPECT_EQ(setDecimalsForML(8, 1e7), 1) << "the integer part fills the width";
    EXPECT_EQ(setDecimalsForML(0, 1e30), 1);
    EXPECT_EQ(setDecimalsForML(0, 0.0), 5);
}

// -sum c ln(c/N).
double unconstrByHand(const std::vector<double> &c)
{
    double N = 0, s = 0;
    for (double x : c)
        N += x;
    for (double x : c)
        if (x > 0)
            s -= x * std::log(x / N);
    return s;
}

TEST(InfoCriteria, UnconstrainedScoreWithoutAmbiguityPrintsNoTable)
{
    const std::vector<std::vector<uint64_t>> p = {{1, 1, 1}, {1, 2, 1}, {4, 4, 8}};
    const std::vector<double> counts = {5, 3, 2};
    PrintCapture out;
    EXPECT_NEAR(calcUnconstrLike(p, counts), unconstrByHand(counts), 1e-12);
    EXPECT_EQ(out.text().find("Adjusting"), std::string::npos);
}

TEST(InfoCriteria, AmbiguousPatternsShareTheirCountsAtTheFixedPoint)
{
    // Patterns over 3 taxa; 15 is missing (every state), 5 is {A,G}.
    const std::vector<std::vector<uint64_t>> p = {
        {1, 1, 1}, {1, 1, 4}, {2, 2, 2}, {1, 1, 15}, {5, 1, 1}, {8, 8, 8}, {3, 8, 8} /* fits nothing unambiguous */};
    const std::vector<double> counts = {6, 2, 4, 3, 2, 1, 1};
    PrintCapture out;
    const double u = calcUnconstrLike(p, counts);
    EXPECT_NE(out.text().find("Adjusting site-pattern frequencies"), std::string::npos);
    // The fixed point f of the sharing rule, found here by plain iteration:
    // pattern 3 (A,A,?) is shared between 0 and 1, pattern 4 ({A,G},A,A) goes
    // wholly to 0; pattern 6 keeps its count.
    double f0 = 6, f1 = 2;
    for (int i = 0; i < 10000; ++i) {
        const double n0 = 6 + 2 + 3 * f0 / (f0 + f1), n1 = 2 + 3 * f1 / (f0 + f1);
        f0 = n0;
        f1 = n1;
    }
    EXPECT_NEAR(u, unconstrByHand({f0, f1, 4, 1, 1}), 1e-8);
}

class ParamCountTest : public MLFixture {};

TEST_F(ParamCountTest, HkyGammaWithEmpiricalFrequenciesHasFiveFreeParameters)
{
    // Three frequencies, kappa and the shape; a rate matrix of six classes
    // pooled into three adds two instead of kappa.
    std::mt19937 rng(8);
    makeDna(10, 50, rng, 0.0);
    ml.estTratio = 1;
    ml.rates = 1;
    ml.estGammaShape = 1;
    applySettings();
    TreePtr tree(createTreeForTaxa(10, 10, false));
    buildTestTree(tree.get(), "(1,2,(3,(4,(5,(6,(7,(8,9)))))))", 0);
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
    EXPECT_EQ(setModelParamCounts(), 5u);
    ml.NST = static_cast<int32_t>(kSubstSixRates);
    const int32_t classes[6] = {0, 1, 0, 0, 1, 2};
    for (int i = 0; i < 6; ++i)
        (&ml.cAC)[i] = classes[i];
    ml.estRmatrix = 1;
    applySettings();
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
    EXPECT_EQ(setModelParamCounts(), 3u + 2u + 1u);
}

}  // namespace
