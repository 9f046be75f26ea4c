// Site likelihoods: each site against a brute-force sum over the internal
// states with the Jukes-Cantor closed form, their weighted logarithms
// against the driver's score, and the rate-category posteriors.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/sitelikes.h"
#include "likelihood/treelike.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"

namespace {

class SiteLikesTest : public MLTreeFixture {
protected:
    // Four taxa, columns given as strings of A/C/G/T, R ({A,G}) or ? .
    void load(const std::vector<std::string> &rows)
    {
        makeData(4, static_cast<uint32_t>(rows[0].size()), true, "ACGT");
        d->dataType = kDataTypeDNA;
        const uint8_t R = stateBitsToCode(0b0101, d), any = stateBitsToCode(0b1111, d);
        for (uint32_t t = 0; t < 4; ++t)
            for (uint32_t c = 0; c < rows[t].size(); ++c) {
                const char x = rows[t][c];
                const size_t s = std::string("ACGT").find(x);
                ASSERT_EQ(setXijRaw(d, t, c, s != std::string::npos ? static_cast<uint8_t>(s) : x == 'R' ? R : any),
                          0);
            }
    }

    double score()
    {
        tree.reset(createTreeForTaxa(4, 4, false));
        // Hung from taxon 0: 0 - X(1, Y(2, 3)).
        buildTestTree(tree.get(), "(1:0.1,(2:0.2,3:0.05):0.15):0.3", 0);
        setTraversalSeq(tree.get());
        applySettings();
        EXPECT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        g = activeModelGroup();
        return calcTreeLikelihood(tree.get(), kNoLScore);
    }

    double len(uint32_t tip) const { return tree->firstTip[tip].edge.brlen; }
};

double jcP(int i, int j, double t)
{
    const double e = std::exp(-4.0 * t / 3.0);
    return i == j ? 0.25 + 0.75 * e : 0.25 - 0.25 * e;
}

// Sum over the states a cell allows.
double tipSum(char cell, int from, double t)
{
    double s = 0;
    for (int j = 0; j < 4; ++j)
        if (cell == '?' || (cell == 'R' && (j == 0 || j == 2)) || "ACGT"[j] == cell)
            s += jcP(from, j, t);
    return s;
}

TEST_F(SiteLikesTest, EachSiteIsTheBruteForceSumAndTheyAddUpToTheScore)
{
    const std::vector<std::string> rows = {"AACGTAR?", "ACCGTAAA", "AGCTTCAG", "ATCATCRG"};
    load(rows);
    jukesCantor();
    const double s = score();
    ASSERT_LT(s, kNoLScore);
    SiteLikes sl;
    ASSERT_EQ(calcSiteLikes(tree.get(), g, false, sl), 0);
    // The internal nodes X (below taxon 0) and Y, and the branch lengths the
    // driver settled on.
    const TreeNode *X = tree->root->firstChild;
    const TreeNode *Y = X->firstChild->nextSib;
    const double tX = X->edge.brlen, tY = Y->edge.brlen;
    double total = 0;
    for (uint32_t c = 0; c < rows[0].size(); ++c) {
        double L = 0;
        for (int x = 0; x < 4; ++x)
            for (int y = 0; y < 4; ++y)
                L += 0.25 * tipSum(rows[0][c], x, tX) * tipSum(rows[1][c], x, len(1)) * jcP(x, y, tY) *
                     tipSum(rows[2][c], y, len(2)) * tipSum(rows[3][c], y, len(3));
        const uint32_t p = g->siteToGroupPattern[c];
        ASSERT_NE(p, kNoSite);
        EXPECT_NEAR(sl.lnL[p], std::log(L), 1e-10) << "site " << c + 1;
        total += std::log(L);
    }
    EXPECT_NEAR(-total, s, 1e-6);
}

TEST_F(SiteLikesTest, CategoryPosteriorsSumToOneAndWeightedSitesGiveTheScore)
{
    std::mt19937 rng(5);
    makeDna(4, 60, rng, 0.05);
    ml.rates = 1;  // gamma, 4 categories, shape 0.5
    ml.userPInvar = 0.2;
    const double s = score();
    ASSERT_LT(s, kNoLScore);
    SiteLikes sl;
    ASSERT_EQ(calcSiteLikes(tree.get(), g, true, sl), 0);
    ASSERT_TRUE(sl.invarCateg);
    ASSERT_EQ(sl.ncat, 5u);
    double total = 0;
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        total -= g->groupPatternWeight[p] * sl.lnL[p];
        double sum = 0;
        for (uint32_t c = 0; c < sl.ncat; ++c) {
            EXPECT_GE(sl.post[p * sl.ncat + c], 0.0);
            sum += sl.post[p * sl.ncat + c];
        }
        EXPECT_NEAR(sum, 1.0, 1e-10) << "pattern " << p;
        EXPECT_LT(sl.maxCateg[p], sl.ncat);
    }
    EXPECT_NEAR(total, s, 1e-6);
}

}  // namespace

// Each pattern's estimated rate is the best one for that site alone: its
// likelihood equals the brute-force sum with every length times the rate,
// and no rate of a fine scan does better; a constant site takes rate 0 and
// the likelihood of its state (a constant A that R covers too).
TEST_F(SiteLikesTest, EstimatedSiteRatesMaximiseEachSiteAlone)
{
    const std::vector<std::string> rows = {"AACGTAR?", "ACCGTAAA", "AGCTTCAG", "ATCATCRG"};
    load(rows);
    jukesCantor();
    ASSERT_LT(score(), kNoLScore);
    const TreeNode *X = tree->root->firstChild;
    const TreeNode *Y = X->firstChild->nextSib;
    auto siteLnL = [&](uint32_t c, double r) {
        double L = 0;
        for (int x = 0; x < 4; ++x)
            for (int y = 0; y < 4; ++y)
                L += 0.25 * tipSum(rows[0][c], x, r * X->edge.brlen) * tipSum(rows[1][c], x, r * len(1)) *
                     jcP(x, y, r * Y->edge.brlen) * tipSum(rows[2][c], y, r * len(2)) *
                     tipSum(rows[3][c], y, r * len(3));
        return std::log(L);
    };
    PatternRates pr;
    ASSERT_EQ(estimatePatternRates(tree.get(), g, 1e-10, 1e-10, pr), 0);
    for (uint32_t c = 0; c < rows[0].size(); ++c) {
        const uint32_t p = g->siteToGroupPattern[c];
        ASSERT_NE(p, kNoSite);
        const bool constant = c == 0 || c == 2 || c == 4 || c == 6;
        if (constant) {
            EXPECT_EQ(pr.rate[p], 0.0) << "site " << c + 1;
            EXPECT_NEAR(pr.lnL[p], std::log(0.25), 1e-12) << "site " << c + 1;
            continue;
        }
        EXPECT_GT(pr.rate[p], 0.0) << "site " << c + 1;
        EXPECT_NEAR(pr.lnL[p], siteLnL(c, pr.rate[p]), 1e-9) << "site " << c + 1;
        double best = -INFINITY;
        for (double r = 1e-3; r < 300.0; r *= 1.01)
            best = std::max(best, siteLnL(c, r));
        EXPECT_GE(pr.lnL[p], best - 1e-7) << "site " << c + 1;
    }
}
