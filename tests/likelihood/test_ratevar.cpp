// Rate categories against R's qgamma/pgamma (known answers typed in), the
// invariable-sites scaling, the one-category and large-shape limits, the
// cut-point table, and the models whose rate settings cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "data/model.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"
#include "print_capture.h"
#include "qel/qel_errormsg.h"

namespace {

// R: k <- 4; a <- 0.5; q <- qgamma((1:3)/k, a, a);
//    4 * diff(c(0, pgamma(q * a, a + 1), 1))        (mean rates)
//    m <- qgamma((2 * (1:k) - 1) / (2 * k), a, a); m * k / sum(m)   (median rates)
const double kMean05[] = {0.03338775, 0.25191592, 0.82026848, 2.89442785};
const double kMedian05[] = {0.02907775, 0.28071454, 0.92477307, 2.76543464};

TEST(GammaCategories, MatchRsQuantilesAndMeans)
{
    double rates[4], probs[4], cuts[4];
    discretizeGammaDistrib(4, false, rates, probs, cuts, 0.5, 0.0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(rates[i], kMean05[i], 5e-9);
        EXPECT_EQ(probs[i], 0.25);
    }
    // R: qgamma(c(0.25, 0.5, 0.75), 0.5, 0.5)
    EXPECT_EQ(cuts[0], 0.0);
    EXPECT_NEAR(cuts[1], 0.1015310443, 1e-9);
    EXPECT_NEAR(cuts[2], 0.4549364231, 1e-9);
    EXPECT_NEAR(cuts[3], 1.3233036969, 1e-9);
    discretizeGammaDistrib(4, true, rates, probs, nullptr, 0.5, 0.0);
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(rates[i], kMedian05[i], 5e-9);
    // With invariable sites the variable sites carry the whole rate.
    for (bool median : {false, true}) {
        discretizeGammaDistrib(4, median, rates, probs, nullptr, 0.5, 0.2);
        const double *expect = median ? kMedian05 : kMean05;
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(rates[i], expect[i] / 0.8, 1e-8);
            EXPECT_DOUBLE_EQ(probs[i], 0.2);
        }
    }
    // Six categories: the mean over categories is 1 for either method.
    double r6[6], p6[6];
    for (bool median : {false, true}) {
        discretizeGammaDistrib(6, median, r6, p6, nullptr, 1.7, 0.0);
        EXPECT_NEAR(std::accumulate(r6, r6 + 6, 0.0) / 6.0, 1.0, 1e-10);
        EXPECT_TRUE(std::is_sorted(r6, r6 + 6));
    }
    discretizeGammaDistrib(4, false, rates, probs, nullptr, 500.0, 0.3);
    for (double r : rates)
        EXPECT_DOUBLE_EQ(r, 1.0 / 0.7);
}

// At shape 0.0001 the category medians (about 1e-577 and below) are far
// under the smallest double, so all four come out 0 and cannot be scaled to
// a mean; the mean method's rates, which put the whole mass in the last
// category, are used instead. Lower shapes are raised to 0.0001.
TEST(GammaCategories, MediansThatAllUnderflowFallBackToMeans)
{
    for (double shape : {1e-4, 1e-7}) {
        double mean[4], median[4], probs[4], cuts[4], meanCuts[4];
        discretizeGammaDistrib(4, false, mean, probs, meanCuts, shape, 0.2);
        discretizeGammaDistrib(4, true, median, probs, cuts, shape, 0.2);
        for (int i = 0; i < 4; ++i) {
            EXPECT_TRUE(std::isfinite(median[i])) << i;
            EXPECT_DOUBLE_EQ(median[i], mean[i]) << i;
            EXPECT_EQ(cuts[i], meanCuts[i]) << i;
        }
        EXPECT_NEAR(median[3], 4.0 / 0.8, 1e-9);
        EXPECT_NEAR(std::accumulate(median, median + 4, 0.0) / 4.0, 1.0 / 0.8, 1e-12);
    }
}

TEST(GammaCategories, RecordLimitsAndCutPointTable)
{
    MLRateInfo *one = createMLRateInfo(1, 1, kRatesGamma | kRatesInvar);
    EXPECT_EQ(one->flags & kRatesGamma, 0u);  // one category cannot be gamma
    initRateDistribution(false, one, 0.25, 0.5);
    EXPECT_DOUBLE_EQ(one->probs[0], 0.75);
    EXPECT_DOUBLE_EQ(one->rates[0], 4.0 / 3.0);
    EXPECT_EQ(one->probsFloat4[3], 0.75f);
    destroyMLRateInfo(one);

    // pinv counts only with the invariable-sites flag.
    MLRateInfo *g = createMLRateInfo(4, 4, kRatesGamma);
    PrintHook saved = qel_printf;
    qel_printf = capturePrintf;
    gPrinted.clear();
    initRateDistribution(true, g, 0.4, 0.5);
    qel_printf = saved;
    EXPECT_EQ(g->pinv, 0.0);
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(g->rates[i], kMean05[i], 5e-9);
    EXPECT_NE(gPrinted.find("Cut-points and category rates for discrete gamma approximation"), std::string::npos);
    EXPECT_NE(gPrinted.find("  rate (mean)"), std::string::npos);
    EXPECT_NE(gPrinted.find("     infinity     2.89442785\n"), std::string::npos);
    destroyMLRateInfo(g);
}

TEST(RatesForModel, MkvRefusesRateVariationAndSiteRates)
{
    PrintHook savedP = qel_printf;
    MsgHook savedE = qel_errorMsg;
    qel_printf = capturePrintf;
    qel_errorMsg = captureMsg;
    Model *m = createModel("mk");
    m->type = kModelMkv;
    m->nstates = 3;
    m->gammaShape = 0.5;
    gPrinted.clear();
    EXPECT_EQ(initRatesForModel(m, nullptr, false), 1);
    EXPECT_NE(gPrinted.find("Rate mixtures (gamma and/or invariable-sites models) are not currently "
                            "supported for Mkv models."),
              std::string::npos);
    m->gammaShape = 0.0;
    m->rateSet = reinterpret_cast<Nexset *>(m);  // any rate set: refused before it is read
    gPrinted.clear();
    EXPECT_EQ(initRatesForModel(m, nullptr, false), 1);
    EXPECT_NE(gPrinted.find("Site-specific rates are not (currently) supported with Mkv model."),
              std::string::npos);
    EXPECT_EQ(m->rateInfo, nullptr);
    m->rateSet = nullptr;
    // Equal rates: one category of rate 1.
    EXPECT_EQ(initRatesForModel(m, nullptr, false), 0);
    ASSERT_NE(m->rateInfo, nullptr);
    EXPECT_EQ(m->numRateCategs, 1u);
    EXPECT_EQ(m->rateInfo->rates[0], 1.0);
    releaseModelRates(m);
    destroyModel(m);
    qel_printf = savedP;
    qel_errorMsg = savedE;
}

TEST(RatesForModel, EstimatedShapeWaitsForItsValue)
{
    Model *m = createModel("g");
    m->type = kModelNucleotide;
    m->nstates = 4;
    m->ncat = 4;
    m->gammaShape = kEstimate;
    EXPECT_EQ(initRatesForModel(m, nullptr, false), 0);
    EXPECT_EQ(m->numRateCategs, 4u);
    EXPECT_EQ(m->rateInfo->shape, kEstimate);
    EXPECT_EQ(m->rateInfo->rates[0], 1.0);  // untouched until the shape is known
    m->gammaShape = 0.5;
    m->pinv = 0.2;
    EXPECT_EQ(initRatesForModel(m, nullptr, false), 0);
    EXPECT_NEAR(m->rateInfo->rates[0], kMean05[0] / 0.8, 1e-8);
    EXPECT_EQ(m->rateInfo->flags & (kRatesGamma | kRatesInvar), kRatesGamma | kRatesInvar);
    releaseModelRates(m);
    destroyModel(m);
}

}  // namespace

namespace {

uint32_t gLastCode = 0;
int captureCode(uint32_t code, const char *, ...)
{
    gLastCode = code;
    return 1;
}

TEST(RateSettings, SiteRatesWithoutTheirSetAreRefused)
{
    const LSet saved = ml;
    MsgHook savedE = qel_errorMsg;
    qel_errorMsg = captureCode;
    ml.NST = static_cast<int32_t>(kSubstOneRate);
    ml.rates = 2;  // siteSpec
    Model *m = createModel("s");
    ml.estSiteRates = 1;
    ml.siteRatePartition = nullptr;
    EXPECT_EQ(applyCurrentSettingsToModel(m, nullptr), 1);
    EXPECT_EQ(gLastCode, 828u);
    ml.estSiteRates = 0;
    ml.rateSet = nullptr;
    EXPECT_EQ(applyCurrentSettingsToModel(m, nullptr), 1);
    EXPECT_EQ(gLastCode, 829u);
    // "previous" under a partition other than the one the rates came from.
    ml.prevSiteRates = 1;
    ml.siteRatePartition = reinterpret_cast<Nexset *>(m);
    m->prevSiteRatePartition = nullptr;
    EXPECT_EQ(applyCurrentSettingsToModel(m, nullptr), 1);
    EXPECT_EQ(gLastCode, 832u);
    destroyModel(m);
    qel_errorMsg = savedE;
    ml = saved;
}

}  // namespace
