// The likelihood set-up: when the prepared state is kept and when it is
// rebuilt (counted by preparations), the precision-dependent Brent
// tolerance, the errors of taxa without data and of ML distances with
// estimated parameters, and the transition-matrix family each model gets.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "likelihood/clapool.h"
#include "likelihood/models.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"

namespace {

using datatest::gErrors;

class MLInitTest : public MLFixture {
protected:
    TreePtr tree;

    void SetUp() override
    {
        MLFixture::SetUp();
        std::mt19937 rng(11);
        makeDna(8, 40, rng);
        tree.reset(createTreeForTaxa(8, 8, false));
        buildTestTree(tree.get(), randomTreeText(rng, 8, 0, false), 0);
        setTraversalSeq(tree.get());
    }
    void TearDown() override
    {
        MLFixture::TearDown();
        tree.reset();
    }
    int init(bool force = false, bool useDistances = false, bool tipFlag = false)
    {
        return initializeML(force, false, useDistances, tipFlag, tree.get());
    }
    const ModelChgFxns &fxns() { return modelEngine(firstActiveModel())->fxns; }
};

TEST_F(MLInitTest, PreparedDataAreKeptUntilASettingTheyDependOnChanges)
{
    const uint32_t before = numMLPreparations();
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(numMLPreparations(), before + 1);
    EXPECT_EQ(ml.prepValid[0], 1);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(numMLPreparations(), before + 1);

    // The pass limit: same data, but the last optimised tree is forgotten.
    ml.prepValid[1] = 1;
    ml.maxPass = 5;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(numMLPreparations(), before + 1);
    EXPECT_EQ(ml.prepValid[1], 0);
    EXPECT_EQ(getActiveML()->maxPass, 5u);

    ml.blopt = static_cast<int32_t>(kBloptBrent1D);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(numMLPreparations(), before + 2);
    ml.mlDistforLS = 1;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(numMLPreparations(), before + 3);
    ASSERT_EQ(init(true), 0);  // force
    EXPECT_EQ(numMLPreparations(), before + 4);
    // Changed pattern weights (any data change) rebuild too.
    invalidateSitePatternData(false);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(numMLPreparations(), before + 5);
}

TEST_F(MLInitTest, PrecisionDecidesBrentToleranceValueWidthAndKernelFamily)
{
    ml.precision = 1;
    ASSERT_EQ(init(), 0);
    const ActiveML *aml = getActiveML();
    EXPECT_NEAR(aml->brentEps, 3.4526698e-4, 1e-10);
    EXPECT_TRUE(mlIsSinglePrecision());
    EXPECT_TRUE(mlIsVectorized());
    EXPECT_EQ(aml->toler, 1e-7);
    EXPECT_EQ(activeModelGroup()->engine->bytesPerValue, 4u);
    EXPECT_EQ(activeModelGroup()->engine->kernels.lik, &chooseLikKernels(4, true, true, false));
    EXPECT_TRUE(activeModelGroup()->engine->kernels.lik->vectorLayout);
    ml.precision = 0;
    ml.prepValid[0] = 0;  // what the option's change callback does
    ASSERT_EQ(init(), 0);
    aml = getActiveML();
    EXPECT_NEAR(aml->brentEps, 1.4901161e-8, 1e-14);
    EXPECT_FALSE(mlIsSinglePrecision());
    EXPECT_FALSE(mlIsVectorized());
    EXPECT_EQ(activeModelGroup()->engine->bytesPerValue, 8u);
    // The double table with this CPU's widest instructions, in the scalar
    // layout (its results are the Dna table's).
    EXPECT_EQ(activeModelGroup()->engine->kernels.lik, &chooseLikKernels(4, false, false, false));
    EXPECT_EQ(activeModelGroup()->engine->kernels.lik->precision, LikPrecision::Double);
    EXPECT_FALSE(activeModelGroup()->engine->kernels.lik->vectorLayout);
    ml.brentEps = 1e-3;
    ml.prepValid[0] = 0;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(getActiveML()->brentEps, 1e-3);
}

TEST_F(MLInitTest, EachModelGetsItsTransitionMatrixFamily)
{
    ml.baseFreqMode = kFreqEqual;
    applySettings();
    ASSERT_EQ(init(true), 0);
    EXPECT_EQ(fxns().chgMatrix, k2p_ChgMatrix);
    EXPECT_EQ(fxns().startDist, StartDistKind::kK2P);
    ml.rates = 1;  // a gamma shape switches K2P to the HKY form
    applySettings();
    ASSERT_EQ(init(true), 0);
    EXPECT_EQ(fxns().chgMatrix, hky_ChgMatrix);
    EXPECT_EQ(firstActiveModel()->numRateCategs, 4u);
    ml.baseFreqMode = kFreqEmpirical;
    ml.variant = 1;
    applySettings();
    ASSERT_EQ(init(true), 0);
    EXPECT_EQ(fxns().chgMatrix, f84_ChgMatrix);
    EXPECT_EQ(fxns().startDist, StartDistKind::kF84);
    // Empirical frequencies come from the patterns and sum to 1.
    double sum = 0.0;
    for (double p : modelEngine(firstActiveModel())->pi)
        sum += p;
    EXPECT_NEAR(sum, 1.0, 1e-12);
    ml.NST = static_cast<int32_t>(kSubstSixRates);
    ml.precision = 1;  // vector single precision keeps the scalar GTR for DNA
    applySettings();
    ASSERT_EQ(init(true), 0);
    EXPECT_EQ(fxns().chgMatrix, gtr_ChgMatrix);
    EXPECT_NE(modelEngine(firstActiveModel())->diag, nullptr);
    // Invariable sites give constant-site terms: pinv x pi of the constant state.
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.userPInvar = 0.3;
    applySettings();
    ASSERT_EQ(init(true), 0);
    const ModelGroup *g = activeModelGroup();
    EXPECT_TRUE(g->hasInvarSites);
    const ModelEngineData *e = modelEngine(firstActiveModel());
    ASSERT_EQ(e->constSiteLikes.size(), g->ngrp);
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        uint8_t mask = static_cast<const uint8_t *>(g->constMask)[p];
        double expect = 0.0;
        for (int s = 0; s < 4; ++s)
            if (mask & (1 << s))
                expect += 0.3 * e->pi[s];
        EXPECT_DOUBLE_EQ(e->constSiteLikes[p], expect);
    }
}

TEST_F(MLInitTest, TaxonWithoutDataAndMLDistanceStartErrors)
{
    for (uint32_t c = 0; c < d->nchar; ++c)
        ASSERT_EQ(setXijRaw(d, 3, c, static_cast<uint8_t>(d->nstates)), 0);
    gErrors.clear();
    EXPECT_EQ(init(true), 1);
    ASSERT_FALSE(gErrors.empty());
    EXPECT_EQ(gErrors.back(), 814u);
    EXPECT_EQ(getActiveML(), nullptr);  // a failure leaves no prepared state
    EXPECT_EQ(init(true, false, true), 0);  // the tip flag accepts it
    // Taxon 4's row is missing everywhere: the any-state code.
    const TipRow &row = activeModelGroup()->engine->tips[3];
    for (uint8_t code : row.codes)
        EXPECT_EQ(code, 4);

    ml.mlDistforLS = 1;
    ml.estTratio = 1;
    applySettings();
    gErrors.clear();
    EXPECT_EQ(initializeML(true, false, true, true, tree.get()), 1);
    ASSERT_FALSE(gErrors.empty());
    EXPECT_EQ(gErrors.back(), 830u);
    ml.mlDistforLS = 0;
    EXPECT_EQ(initializeML(true, false, true, true, tree.get()), 0);
    // No least-squares code is linked into this test: the start stays arbitrary.
    EXPECT_FALSE(haveLSStartLengths());
}

TEST_F(MLInitTest, TipCodesAreLocalToEachTaxon)
{
    ASSERT_EQ(init(true), 0);
    const ModelGroup *g = activeModelGroup();
    const SitePatternData *pd = g->patterns;
    for (uint32_t t = 0; t < 8; ++t) {
        const TipRow &row = g->engine->tips[t];
        ASSERT_EQ(row.codes.size(), g->ngrp);
        EXPECT_EQ(row.info.nrows, 5 + row.ambStates.size());
        for (uint32_t p = 0; p < g->ngrp; ++p) {
            const uint8_t global = pd->rows[t][g->groupToCompressed[p]];
            const uint8_t local = row.codes[p];
            if (global <= 4) {
                EXPECT_EQ(local, global);
                continue;
            }
            ASSERT_GT(local, 4);
            const auto &list = row.ambStates[local - 5];
            uint64_t bits = 0;
            for (uint32_t k = 1; k <= list[0]; ++k)
                bits |= uint64_t{1} << list[k];
            EXPECT_EQ(bits, pd->codeBits[global]);
        }
    }
}

}  // namespace
