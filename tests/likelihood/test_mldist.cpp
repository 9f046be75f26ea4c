// Maximum-likelihood distances at the edges: identical sequences, a pair
// without comparable sites, saturation capped for least-squares starts, and
// a plain pair against the Jukes-Cantor closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <functional>

#include "data/charstat.h"
#include "data/data_services.h"
#include "data/prepdata.h"
#include "distance/dcalc.h"
#include "distance/dmatrix.h"
#include "likelihood/aamatrices.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/ml_cmd.h"
#include "likelihood/mldist.h"
#include "likelihood/modelgroup.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"

namespace {

class MLDistTest : public MLFixture {
protected:
    std::vector<std::vector<double>> store;
    std::vector<double *> rows;

    double **matrix(uint32_t n)
    {
        store.assign(n, std::vector<double>(n, 0.0));
        rows.clear();
        for (auto &r : store)
            rows.push_back(r.data());
        return rows.data();
    }

    // The lower triangle row by row.
    std::vector<double> distances(uint32_t ntax)
    {
        double **D = matrix(ntax);
        MLDistanceResult r;
        EXPECT_EQ(calcMLDistances(d, D, nullptr, false, {}, r), 0);
        std::vector<double> flat;
        for (uint32_t i = 1; i < ntax; ++i)
            flat.insert(flat.end(), D[i], D[i] + i);
        return flat;
    }

    // The distances at double and at single precision agree within rel.
    void expectSameAtEitherPrecision(uint32_t ntax, double rel, const std::string &label)
    {
        std::vector<std::vector<double>> byPrecision;
        for (int32_t precision : {0, 1}) {
            ml.precision = precision;
            applySettings();
            disposeML(false);
            ASSERT_EQ(initializeML(true, false, false, false, nullptr), 0);
            byPrecision.push_back(distances(ntax));
        }
        for (size_t k = 0; k < byPrecision[0].size(); ++k)
            EXPECT_NEAR(byPrecision[1][k], byPrecision[0][k], rel * byPrecision[0][k]) << "pair " << k << " " << label;
    }
};

TEST_F(MLDistTest, IdenticalUncomparableSaturatedAndPlainPairs)
{
    // Taxa 0 and 1 identical; 2 and 3 share no site with data (2 has the
    // first half, 3 the second); 4 is unrelated to 0.
    const uint32_t nchar = 400;
    std::mt19937 rng(11);
    makeData(5, nchar, true, "ACGT");
    d->dataType = kDataTypeDNA;
    const uint8_t missing = stateBitsToCode(0b1111, d);
    std::vector<uint8_t> base(nchar), other(nchar);
    for (uint32_t c = 0; c < nchar; ++c) {
        base[c] = static_cast<uint8_t>(rng() % 4);
        other[c] = static_cast<uint8_t>(rng() % 4);
    }
    for (uint32_t c = 0; c < nchar; ++c) {
        ASSERT_EQ(setXijRaw(d, 0, c, base[c]), 0);
        ASSERT_EQ(setXijRaw(d, 1, c, base[c]), 0);
        ASSERT_EQ(setXijRaw(d, 2, c, c < nchar / 2 ? base[c] : missing), 0);
        ASSERT_EQ(setXijRaw(d, 3, c, c < nchar / 2 ? missing : (c % 10 ? base[c] : other[c])), 0);
        ASSERT_EQ(setXijRaw(d, 4, c, other[c]), 0);
    }
    jukesCantor();
    applySettings();
    TreePtr tree(createTreeForTaxa(5, 5, false));
    buildTestTree(tree.get(), "(1,2,(3,4))", 0);
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);

    for (bool lsStart : {false, true}) {
        double **D = matrix(5);
        MLDistanceResult r;
        ASSERT_EQ(calcMLDistances(d, D, nullptr, lsStart, {}, r), 0);
        EXPECT_EQ(D[1][0], 0.0) << "identical sequences";
        EXPECT_EQ(D[3][2], -1.0) << "no comparable sites";
        EXPECT_EQ(r.undefined, 1u);
        EXPECT_GE(r.zero, 1u);
        // Half the sites of 3 differ from 0 at random: p = 0.1 * 3/4 there.
        double p = 0;
        for (uint32_t c = nchar / 2; c < nchar; ++c)
            p += c % 10 ? 0 : base[c] != other[c];
        p /= nchar / 2;
        EXPECT_NEAR(D[3][0], -0.75 * std::log(1 - 4 * p / 3), 1e-6);
        // Unrelated sequences: p near 3/4, beyond any sensible distance.
        if (lsStart)
            EXPECT_EQ(D[4][0], 9.0);
        else
            EXPECT_GT(D[4][0], 1.0);
        double largest = -1;
        for (uint32_t i = 1; i < 5; ++i)
            for (uint32_t j = 0; j < i; ++j)
                largest = std::max(largest, D[i][j]);
        EXPECT_EQ(r.largest, largest);
    }
}

// Under a gamma shape the rate is integrated out: the Jukes-Cantor distance
// of the continuous gamma, 0.75 alpha ((1 - 4p/3)^(-1/alpha) - 1), at two
// shapes; least-squares starting distances keep the discrete categories of
// the fit they start, which give a shorter distance here.
TEST_F(MLDistTest, GammaShapeGivesTheContinuousGammaDistance)
{
    const uint32_t nchar = 240;
    std::mt19937 rng(5);
    makeData(3, nchar, true, "ACGT");
    d->dataType = kDataTypeDNA;
    double p1 = 0, p2 = 0;
    for (uint32_t c = 0; c < nchar; ++c) {
        const auto b = static_cast<uint8_t>(rng() % 4);
        const auto o1 = rng() % 10 < 3 ? static_cast<uint8_t>((b + 1 + rng() % 3) % 4) : b;
        const auto o2 = rng() % 10 < 5 ? static_cast<uint8_t>((b + 1 + rng() % 3) % 4) : b;
        p1 += o1 != b;
        p2 += o2 != b;
        ASSERT_EQ(setXijRaw(d, 0, c, b), 0);
        ASSERT_EQ(setXijRaw(d, 1, c, o1), 0);
        ASSERT_EQ(setXijRaw(d, 2, c, o2), 0);
    }
    p1 /= nchar;
    p2 /= nchar;
    for (double alpha : {0.5, 2.0}) {
        jukesCantor();
        ml.rates = 1;
        ml.userGammaShape = alpha;
        applySettings();
        disposeML(false);
        ASSERT_EQ(initializeML(true, false, false, false, nullptr), 0);
        auto closed = [alpha](double p) { return 0.75 * alpha * (std::pow(1 - 4 * p / 3, -1 / alpha) - 1); };
        const auto D = distances(3);
        EXPECT_NEAR(D[0], closed(p1), 1e-6) << "alpha " << alpha;
        EXPECT_NEAR(D[1], closed(p2), 1e-6) << "alpha " << alpha;
        double **L = matrix(3);
        MLDistanceResult r;
        ASSERT_EQ(calcMLDistances(d, L, nullptr, true, {}, r), 0);
        EXPECT_LT(L[2][0], closed(p2) - 1e-3) << "least-squares start, alpha " << alpha;
    }
}

// The ti/tv ratio estimated for each pair with its distance: under K80 the
// pair's likelihood depends only on the shares of transitions P and
// transversions Q, so the estimate is Kimura's distance
// -ln(1 - 2P - Q)/2 - ln(1 - 2Q)/4, by PRAXIS and by L-BFGS-B alike.
// DNA rows that differ from the first by transitions and transversions in
// proportion to the row number, under the two-rate model with the ti/tv
// ratio estimated.
std::vector<std::vector<int>> makeKimuraData(DataInfo *d, uint32_t ntax, uint32_t nchar)
{
    std::mt19937 rng(3);
    d->dataType = kDataTypeDNA;
    std::vector<std::vector<int>> seq(ntax, std::vector<int>(nchar));
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (uint32_t c = 0; c < nchar; ++c)
        seq[0][c] = static_cast<int>(rng() % 4);
    for (uint32_t t = 1; t < ntax; ++t)
        for (uint32_t c = 0; c < nchar; ++c) {
            const double x = u(rng), ts = 0.08 * t, tv = 0.03 * t;
            const int b = seq[0][c];
            seq[t][c] = x < ts ? b ^ 2 : x < ts + tv ? (b ^ 1) ^ static_cast<int>(rng() % 2) * 2 : b;
        }
    for (uint32_t t = 0; t < ntax; ++t)
        for (uint32_t c = 0; c < nchar; ++c)
            EXPECT_EQ(setXijRaw(d, t, c, static_cast<uint8_t>(seq[t][c])), 0);
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estTratio = 1;
    return seq;
}

TEST_F(MLDistTest, EstimatedParametersGiveEachPairItsOwnKimuraDistance)
{
    const uint32_t ntax = 4, nchar = 600;
    makeData(ntax, nchar, true, "ACGT");
    const auto seq = makeKimuraData(d, ntax, nchar);
    ml.baseFreqMode = kFreqEqual;
    ml.rates = 0;
    ml.estTratio = 1;
    ml.precision = 0;
    TreePtr tree(createTreeForTaxa(ntax, ntax, false));
    buildTestTree(tree.get(), "(1,2,(3,4))", 0);
    for (int32_t optimizer : {static_cast<int32_t>(kOptimizerPraxis), static_cast<int32_t>(kOptimizerLBFGS)}) {
        ml.optimizer = optimizer;
        applySettings();
        ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        double **D = matrix(ntax);
        MLDistanceResult r;
        ASSERT_EQ(calcMLDistances(d, D, nullptr, false, {}, r), 0);
        for (uint32_t i = 1; i < ntax; ++i)
            for (uint32_t j = 0; j < i; ++j) {
                double P = 0, Q = 0;
                for (uint32_t c = 0; c < nchar; ++c) {
                    const int x = seq[i][c] ^ seq[j][c];
                    P += x == 2;
                    Q += x == 1 || x == 3;
                }
                P /= nchar;
                Q /= nchar;
                const double k2p = -0.5 * std::log(1 - 2 * P - Q) - 0.25 * std::log(1 - 2 * Q);
                EXPECT_NEAR(D[i][j], k2p, 1e-3 * k2p) << i << "," << j << " optimizer " << optimizer;
            }
        EXPECT_EQ(firstActiveModel()->tratio, kEstimate) << "the estimate mark survives";
    }
}

// A pair that estimates its ti/tv ratio reaches the same optimum at either
// precision, with either optimiser: its fit is as fine as its scores.
TEST_F(MLDistTest, PairsEstimatingParametersDoNotDependOnThePrecision)
{
    const uint32_t ntax = 5, nchar = 300;
    makeData(ntax, nchar, true, "ACGT");
    makeKimuraData(d, ntax, nchar);
    ml.baseFreqMode = kFreqEmpirical;
    ml.rates = 1;
    ml.userGammaShape = 0.5;
    for (int32_t optimizer : {static_cast<int32_t>(kOptimizerPraxis), static_cast<int32_t>(kOptimizerLBFGS)}) {
        ml.optimizer = optimizer;
        expectSameAtEitherPrecision(ntax, 1e-6, "optimizer " + std::to_string(optimizer));
    }
}

// Protein distances reach the same optimum at single and double precision:
// the pair's fit reads its matrices in double either way (single-precision
// matrices left it stopping up to a per cent away).
TEST_F(MLDistTest, ProteinDistancesDoNotDependOnThePrecision)
{
    const uint32_t ntax = 5, nchar = 150;
    std::mt19937 rng(7);
    makeData(ntax, nchar, true, "ACDEFGHIKLMNPQRSTVWY");
    d->dataType = kDataTypeProtein;
    std::vector<uint8_t> root(nchar);
    for (auto &c : root)
        c = static_cast<uint8_t>(rng() % 20);
    for (uint32_t t = 0; t < ntax; ++t)
        for (uint32_t c = 0; c < nchar; ++c) {
            const bool change = rng() % 100 < 8 + 6 * t;
            ASSERT_EQ(setXijRaw(d, t, c, change ? static_cast<uint8_t>(rng() % 20) : root[c]), 0);
        }
    ml.aaRMatrix = static_cast<int32_t>(kAAMatrixWAG);
    ml.aaFreqMode = kFreqEmpirical;
    ml.rates = 0;
    expectSameAtEitherPrecision(ntax, 1e-7, "");
}

// A resampling replicate under the distance criterion may keep the
// likelihood set-up and sum its drawn weights into the patterns: the
// matrix must be bit for bit the one of the same weights' data set up
// afresh, the empirical frequencies and pattern totals included.
class ReweightedMLDistTest : public MLDistTest {
protected:
    void setUp(const std::vector<double> &w)
    {
        std::copy(w.begin(), w.end(), d->weights);
        invalidateSitePatternData(false);
        ASSERT_EQ(initializeML(true, false, false, false, nullptr), 0);
    }
};

TEST_F(ReweightedMLDistTest, ReweightedSetUpGivesTheMatrixOfOneMadeAfresh)
{
    const uint32_t ntax = 7, nchar = 240;
    std::mt19937 rng(17);
    makeDna(ntax, nchar, rng, 0.08);
    // Bootstrap counts, a jackknife's zeros, and weights that are not whole.
    std::vector<std::vector<double>> draws;
    for (int r = 0; r < 2; ++r) {
        std::vector<double> w(nchar, 0.0);
        for (uint32_t k = 0; k < nchar; ++k)
            w[rng() % nchar] += 1.0;
        draws.push_back(w);
    }
    std::vector<double> jack(nchar, 1.0);
    for (uint32_t k = 0; k < nchar / 2; ++k)
        jack[rng() % nchar] = 0.0;
    draws.push_back(jack);
    std::vector<double> fractional(nchar);
    for (double &x : fractional)
        x = static_cast<double>(rng() % 7) / 3.0;
    draws.push_back(fractional);
    const std::vector<double> own(nchar, 1.0);

    struct Case {
        const char *name;
        int32_t nst, rates;
        double pinv;
    };
    for (const Case &c : {Case{"HKY", static_cast<int32_t>(kSubstTwoRates), 0, 0.0},
                          Case{"GTR+G", static_cast<int32_t>(kSubstSixRates), 1, 0.0},
                          Case{"GTR+I+G", static_cast<int32_t>(kSubstSixRates), 1, 0.2}}) {
        ml.NST = c.nst;
        ml.rates = c.rates;
        ml.userGammaShape = 0.6;
        ml.userPInvar = c.pinv;
        ml.userTratio = 3.0;
        const double r6[6] = {1.3, 4.2, 0.7, 1.1, 5.5, 1.0};
        std::copy(r6, r6 + 6, &ml.rAC);
        ml.baseFreqMode = kFreqEmpirical;
        applySettings();
        setUp(own);
        const std::vector<double> ownMatrix = distances(ntax);
        for (size_t k = 0; k < draws.size(); ++k) {
            setUp(draws[k]);
            const std::vector<double> fresh = distances(ntax);
            const std::vector<double> freshPi = modelEngine(firstActiveModel())->pi;
            EXPECT_NE(fresh, ownMatrix) << c.name << ", draw " << k << ": the draw changes nothing";

            setUp(own);
            const ModelGroup *g = activeModelGroup();
            const SitePatternData *patterns = g->patterns;
            std::copy(draws[k].begin(), draws[k].end(), d->weights);
            ASSERT_EQ(groupToReweightInPlace(d), g) << c.name;
            ASSERT_EQ(charWeightsChanged(d), 0) << c.name;
            EXPECT_EQ(activeModelGroup()->patterns, patterns) << c.name << ": the patterns were built again";
            EXPECT_EQ(modelEngine(firstActiveModel())->pi, freshPi) << c.name << ", draw " << k;
            EXPECT_EQ(distances(ntax), fresh) << c.name << ", draw " << k;
        }
        setUp(own);
    }
}

}  // namespace

namespace {

// A maximum-likelihood matrix stands until the data or the likelihood
// set-up it came from changes: asked for again it is taken as it is, and
// after each change that could alter it, it is computed again and equals a
// matrix made afresh.
class MLMatrixReuseTest : public ReweightedMLDistTest {
protected:
    DMatrix *kept = nullptr;
    DMatrix *other = nullptr;

    void SetUp() override
    {
        ReweightedMLDistTest::SetUp();
        installMLDistanceHooks(mlDistanceHooks());
        PatternServices p{};
        p.invalidateDistances = invalidateDistances;
        installPatternServices(p);
        DataServices s{};
        s.invalidateDistances = invalidateDistances;
        s.isMLDistance = [] { return true; };
        s.initializeML = initializeMLForData;
        ASSERT_EQ(installDataServices(s), 0);
    }

    void TearDown() override
    {
        kept = destroyDMatrix(kept);
        other = destroyDMatrix(other);
        resetDataServices();
        installMLDistanceHooks({});
        ReweightedMLDistTest::TearDown();
    }

    // As the distance calculation asks for it: the data prepared and the
    // likelihood set-up made (or kept) first.
    std::vector<double> request(DMatrix **slot)
    {
        EXPECT_EQ(prepareForDistCalc(d), 0);
        EXPECT_EQ(calcDistanceMatrix(d, kDistML, false, true, true, nullptr, slot), 0);
        std::vector<double> flat;
        for (uint32_t i = 1; *slot != nullptr && i < (*slot)->ntax; ++i)
            flat.insert(flat.end(), (*slot)->distances[i], (*slot)->distances[i] + i);
        return flat;
    }

    // The kept matrix, taken again without a calculation.
    std::vector<double> keptMatrix(const char *what)
    {
        const std::vector<double> first = request(&kept);
        const uint64_t computed = numDistanceMatricesComputed();
        EXPECT_EQ(request(&kept), first) << what;
        EXPECT_EQ(numDistanceMatricesComputed(), computed) << what << ": a second request computed it again";
        return first;
    }

    void expectRecomputedAfter(const char *what, const std::function<void()> &change)
    {
        const std::vector<double> before = keptMatrix(what);
        change();
        const uint64_t computed = numDistanceMatricesComputed();
        const std::vector<double> after = request(&kept);
        EXPECT_EQ(numDistanceMatricesComputed(), computed + 1) << what << ": the kept matrix was taken";
        EXPECT_NE(after, before) << what << ": the change alters nothing";
        invalidateMLprep();
        invalidateDistances();
        EXPECT_EQ(request(&other), after) << what << ": not the matrix made afresh";
    }
};

TEST_F(MLMatrixReuseTest, KeptUntilTheDataOrTheLikelihoodSetUpChange)
{
    const uint32_t ntax = 7, nchar = 240;
    std::mt19937 rng(23);
    makeDna(ntax, nchar, rng, 0.08);
    // Each taxon the first with a share of its sites changed.
    for (uint32_t t = 1; t < ntax; ++t)
        for (uint32_t c = 0; c < nchar; ++c)
            if (rng() % 100 >= 6 * t && getXijRaw(d, 0, c) < 4) {
                ASSERT_EQ(setXijRaw(d, t, c, getXijRaw(d, 0, c)), 0);
            }
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.userTratio = 2.0;
    ml.rates = 1;
    ml.userGammaShape = 0.6;
    ml.baseFreqMode = kFreqEmpirical;
    applySettings();

    expectRecomputedAfter("a likelihood setting", [&] {
        ml.userTratio = 5.0;
        invalidateMLprep();
        applySettings();
    });
    expectRecomputedAfter("the model's frequencies", [&] {
        ml.baseFreqMode = kFreqEqual;
        invalidateMLprep();
        applySettings();
    });
    expectRecomputedAfter("weights", [&] {
        d->weights[3] = d->weights[40] = 4.0;
        afterWtsChange(nullptr, d);
    });
    expectRecomputedAfter("exclusions", [&] {
        excludeCharactersInRange(d, 10, 60);
        afterCharInclusionChange(d);
    });
    expectRecomputedAfter("the data", [&] {
        for (uint32_t c = 100; c < 140; ++c)
            ASSERT_EQ(setXijRaw(d, 2, c, static_cast<uint8_t>((c * 5) % 4)), 0);
        invalidateSitePatternData(true);
    });
    expectRecomputedAfter("a replicate's weights summed into the patterns in place", [&] {
        ASSERT_EQ(groupToReweightInPlace(d), activeModelGroup());
        for (uint32_t c = 0; c < nchar; ++c)
            d->weights[c] = static_cast<double>(rng() % 3);
        ASSERT_EQ(charWeightsChanged(d), 0);
    });

    // Another matrix made meanwhile (whose data are valid) does not make a
    // maximum-likelihood matrix of older data current.
    const std::vector<double> before = keptMatrix("another matrix");
    for (uint32_t c = 0; c < nchar; ++c)
        d->weights[c] = 1.0;
    afterWtsChange(nullptr, d);
    ASSERT_EQ(calcDistanceMatrix(d, kDistJC, false, true, true, nullptr, &other), 0);
    const uint64_t computed = numDistanceMatricesComputed();
    EXPECT_NE(request(&kept), before);
    EXPECT_EQ(numDistanceMatricesComputed(), computed + 1);
}

}  // namespace
