// The parsimony-based rate matrix: exact divergences of a known model give
// back its exchangeabilities; pooling, a singular divergence matrix and
// the printed form.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "data/model.h"
#include "likelihood/rogers.h"
#include "print_capture.h"
#include "qel/qel_output.h"

namespace {

using Mat = std::array<std::array<double, 4>, 4>;

// Pair counts of a branch of length t under the reversible model (AC AG AT
// CG CT GT exchangeabilities, frequencies pi): total x pi_i P_ij(t), with
// P = exp(Qt) summed as a plain power series.
std::vector<double> exactPairCounts(const std::array<double, 6> &R, const std::array<double, 4> &pi, double t)
{
    const int row[6] = {0, 0, 0, 1, 1, 2}, col[6] = {1, 2, 3, 2, 3, 3};
    Mat Q{};
    for (int e = 0; e < 6; ++e) {
        Q[row[e]][col[e]] = R[e] * pi[col[e]];
        Q[col[e]][row[e]] = R[e] * pi[row[e]];
    }
    double mean = 0.0;
    for (int i = 0; i < 4; ++i) {
        double s = 0.0;
        for (int j = 0; j < 4; ++j)
            s += i != j ? Q[i][j] : 0.0;
        Q[i][i] = -s;
        mean += pi[i] * s;
    }
    Mat P{}, term{};
    for (int i = 0; i < 4; ++i)
        P[i][i] = term[i][i] = 1.0;
    for (int k = 1; k < 40; ++k) {
        Mat next{};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                for (int l = 0; l < 4; ++l)
                    next[i][j] += term[i][l] * Q[l][j] * t / mean / k;
        term = next;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                P[i][j] += term[i][j];
    }
    std::vector<double> N(16);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            N[i * 4 + j] = 1e6 * pi[i] * P[i][j];
    return N;
}

TEST(ParsimonyRateMatrix, ExactDivergencesGiveBackTheExchangeabilities)
{
    const std::array<std::array<double, 6>, 3> models = {{{1.0, 4.0, 0.5, 0.8, 3.0, 1.0},
                                                          {2.0, 10.0, 1.0, 1.0, 10.0, 2.0},
                                                          {0.3, 1.7, 0.2, 0.6, 2.5, 0.4}}};
    const std::array<double, 4> pi = {0.1, 0.2, 0.3, 0.4};
    for (const auto &R : models) {
        double out[6];
        ASSERT_EQ(approxSubstPattern_Dna(nullptr, exactPairCounts(R, pi, 0.3), false, out), 0);
        for (int e = 0; e < 6; ++e)
            EXPECT_NEAR(out[e], R[e] / R[5], 1e-6 * R[e] / R[5]) << "rate " << e;
    }

    // Classes pooled as the model pools them (here transitions and
    // transversions): the pooled divergences give nearly one rate per class
    // (AT, 0.5 of GT unpooled, joins the other transversions).
    Model m{};
    m.pooled = 1;
    m.numPools = 2;
    const uint32_t pools[6] = {0, 1, 0, 0, 1, 0};
    std::copy(pools, pools + 6, m.poolMap);
    double out[6];
    ASSERT_EQ(approxSubstPattern_Dna(&m, exactPairCounts(models[0], pi, 0.3), false, out), 0);
    EXPECT_NEAR(out[0], 1.0, 0.02);
    EXPECT_NEAR(out[2], 1.0, 0.02);
    EXPECT_NEAR(out[3], 1.0, 0.02);
    EXPECT_NEAR(out[1], out[4], 0.02 * out[1]);
    EXPECT_GT(out[1], 2.0);

    // Printed: both matrices, the R table holding the estimates.
    auto savedPrintf = qel_printf;
    qel_printf = capturePrintf;
    gPrinted.clear();
    approxSubstPattern_Dna(nullptr, exactPairCounts(models[0], pi, 0.3), true, nullptr);
    qel_printf = savedPrintf;
    const std::string text = printedText();
    char ag[32];
    std::snprintf(ag, sizeof ag, "%14.8g", 4.0);
    EXPECT_NE(text.find("Parsimony-based estimate of substition rate matrix"), std::string::npos) << text;
    EXPECT_NE(text.find("Approximated Q matrix:"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("Corresponding R matrix:\n") + "             -"), std::string::npos) << text;
    EXPECT_NE(text.find(ag), std::string::npos) << text;
    EXPECT_EQ(getOutputIndentLevel(), 0);
}

// A state never seen leaves a zero row: no logarithm. Printed, the
// numerical-problems line; as a start, equal rates.
TEST(ParsimonyRateMatrix, SingularDivergencesGiveEqualRates)
{
    std::vector<double> N(16, 0.0);
    N[0] = 50;
    N[5] = 40;
    N[10] = 30;
    N[1] = N[4] = 5;
    N[2] = N[8] = 7;
    double out[6] = {0, 0, 0, 0, 0, 0};
    EXPECT_EQ(approxSubstPattern_Dna(nullptr, N, false, out), 1);
    for (double r : out)
        EXPECT_EQ(r, 1.0);
    auto savedPrintf = qel_printf;
    qel_printf = capturePrintf;
    gPrinted.clear();
    approxSubstPattern_Dna(nullptr, N, true, nullptr);
    qel_printf = savedPrintf;
    EXPECT_NE(printedText().find("Rate matrix Q could not be estimated due to numerical problems."),
              std::string::npos)
        << printedText();
    EXPECT_EQ(printedText().find("Corresponding R matrix"), std::string::npos);
}

}  // namespace
