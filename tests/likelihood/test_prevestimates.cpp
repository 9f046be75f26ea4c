// The last estimates kept for "previous": after an optimisation each
// estimated parameter's previous value is what the model was fitted with,
// and fixing the parameters at those values gives the same fit; values that
// were given are not taken for estimates; a full release forgets them all.
#include <gtest/gtest.h>

#include <vector>

#include "likelihood/chgmatrix.h"
#include "likelihood/infocrit.h"
#include "likelihood/prevestimates.h"
#include "likelihood/ratevar.h"
#include "ml_fixture.h"

namespace {

class PrevEstimatesTest : public Lik12Fixture {};

TEST_F(PrevEstimatesTest, EstimatesBecomePreviousValuesThatReproduceTheFit)
{
    loadExample(0, 150);
    ml.NST = static_cast<int32_t>(kSubstSixRates);
    ml.estRmatrix = 1;
    ml.baseFreqMode = kFreqEstimate;
    ml.estPInvar = 1;
    const double estimated = score();
    saveParamEstimates();
    Model *m = model();
    const ModelEngineData *eng = modelEngine(m);
    ASSERT_EQ(m->prevRates.size(), 6u);
    EXPECT_EQ(m->prevRates, eng->fullRates);
    EXPECT_EQ(m->prevRates[5], 1.0) << "relative to GT, as the LSet values are";
    EXPECT_EQ(m->prevFreqs, eng->pi);
    EXPECT_EQ(m->prevPinv, m->rateInfo->pinv);
    EXPECT_GT(m->prevPinv, 0.0);
    // Nothing else was estimated.
    EXPECT_LT(m->prevShape, 0.0);
    EXPECT_LT(m->prevTratio, 0.0);
    EXPECT_LT(m->prevModelRate, 0.0);
    EXPECT_TRUE(m->prevSiteRates.empty());
    EXPECT_EQ(ml.prevRateScaler, -1.0);
    EXPECT_EQ(ml.prevModelRatesAvail, 0);

    // Fixed at the previous values the tree scores as it did.
    const std::vector<double> rates = m->prevRates, freqs = m->prevFreqs;
    const double pinv = m->prevPinv;
    ml.estRmatrix = ml.estPInvar = 0;
    for (int i = 0; i < 6; ++i)
        (&ml.rAC)[i] = rates[i];
    ml.baseFreqMode = kFreqUser;
    std::copy(freqs.begin(), freqs.end(), ml.userBaseFreqs);
    ml.userPInvar = pinv;
    EXPECT_NEAR(score(), estimated, 1e-3);
    // Values that were given are no estimates: the previous ones stay.
    saveParamEstimates();
    m = model();
    EXPECT_EQ(m->prevPinv, pinv);
    EXPECT_EQ(m->prevRates, rates);

    disposeML(true);
    EXPECT_LT(m->prevPinv, 0.0);
    EXPECT_FALSE(havePrevRates(m));
    EXPECT_FALSE(havePrevFreqs(m));
    EXPECT_EQ(ml.prevRateScaler, -1.0);
    EXPECT_EQ(ml.baseFreqMode, kFreqEmpirical) << "user frequencies came from the data just released";
}

// The ti/tv ratio the model was fitted with is the one kappa was made from;
// empirical frequencies and a given pinv leave no previous value.
TEST_F(PrevEstimatesTest, TiTvRatioAndShapeAreKeptAndGivenValuesAreNot)
{
    loadExample(0, 150);
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estTratio = 1;
    ml.rates = 1;
    ml.estGammaShape = 1;
    ml.userPInvar = 0.1;
    const double estimated = score();
    saveParamEstimates();
    Model *m = model();
    const ModelEngineData *eng = modelEngine(m);
    ASSERT_GT(m->prevTratio, 0.0);
    EXPECT_NEAR(convertRtoK(eng->pi.data(), m->F84 != 0, m->prevTratio), eng->kappa, 1e-9 * eng->kappa);
    EXPECT_EQ(m->prevShape, m->rateInfo->shape);
    EXPECT_GT(m->prevShape, 0.0);
    EXPECT_FALSE(havePrevFreqs(m));
    EXPECT_LT(m->prevPinv, 0.0);
    ml.estTratio = ml.estGammaShape = 0;
    ml.userTratio = m->prevTratio;
    ml.userGammaShape = m->prevShape;
    EXPECT_NEAR(score(), estimated, 1e-3);
}

// Empirical frequencies are the data's, whatever ran before: an estimate of
// the frequencies, or equal ones in between, leave them and the score as a
// fresh run gives them.
TEST_F(PrevEstimatesTest, EmpiricalFrequenciesStayTheDatasAfterAnEstimate)
{
    loadExample(0, 150);
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estTratio = 1;
    const double fresh = score();
    const std::vector<double> empirical = modelEngine(model())->pi;
    ml.baseFreqMode = kFreqEstimate;
    const double estimated = score();
    EXPECT_LT(estimated, fresh - 1e-3);
    ASSERT_NE(modelEngine(model())->pi, empirical);
    for (const int32_t between : {kFreqEmpirical, kFreqEqual}) {
        ml.baseFreqMode = between;
        score();
        ml.baseFreqMode = kFreqEmpirical;
        EXPECT_NEAR(score(), fresh, 1e-8) << "after mode " << between;
        EXPECT_EQ(modelEngine(model())->pi, empirical);
        EXPECT_TRUE(std::equal(empirical.begin(), empirical.end(), model()->freqs));
        ml.baseFreqMode = kFreqEstimate;
        EXPECT_NEAR(score(), estimated, 1e-3) << "the estimate itself is unchanged";
    }
}

}  // namespace
