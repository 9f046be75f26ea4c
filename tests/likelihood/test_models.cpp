// Models made from the likelihood settings: the parameters they count, the
// rate pools of six-rate models, the classical models they are listed as,
// the active models of a model partition, and the estimate-all and fix-all
// actions.
#include <gtest/gtest.h>

#include <string>

#include "data/model.h"
#include "data/nexsets.h"
#include "qel/qel_setptn.h"
#include "likelihood/activeml.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "likelihood/showmodel.h"
#include "print_capture.h"
#include "qel/qel_errormsg.h"

namespace {

class ModelTest : public ::testing::Test {
protected:
    LSet saved{};
    PrintHook savedPrintf = nullptr;
    MsgHook savedError = nullptr, savedWarning = nullptr;

    void SetUp() override
    {
        saved = ml;
        savedPrintf = qel_printf;
        savedError = qel_errorMsg;
        savedWarning = qel_warningMsg;
        qel_printf = capturePrintf;
        qel_errorMsg = captureMsg;
        qel_warningMsg = captureMsg;
        gPrinted.clear();
        // The factory settings that matter here.
        ml.NST = static_cast<int32_t>(kSubstTwoRates);
        ml.userTratio = 2.0;
        ml.baseFreqMode = kFreqEmpirical;
        ml.rates = 0;
        ml.userGammaShape = 0.5;
        ml.ncat = 4;
        ml.userPInvar = 0.0;
        ml.estTratio = ml.estRmatrix = ml.estGammaShape = ml.estPInvar = 0;
        for (int i = 0; i < 6; ++i) {
            (&ml.rAC)[i] = 1.0;
            (&ml.cAC)[i] = i;
        }
        createModelList();
    }

    void TearDown() override
    {
        finishActiveML();
        destroyModelList();
        ml = saved;
        qel_printf = savedPrintf;
        qel_errorMsg = savedError;
        qel_warningMsg = savedWarning;
    }

    // The current settings as a fresh DNA model.
    Model *current(const char *name = "m")
    {
        Model *m = createModel(name);
        EXPECT_EQ(applyCurrentSettingsToModel(m, nullptr), 0);
        owned.push_back(m);
        return m;
    }

    std::vector<Model *> owned;
    void clearOwned()
    {
        for (Model *m : owned)
            destroyModel(m);
        owned.clear();
    }
    ~ModelTest() override { clearOwned(); }
};

TEST_F(ModelTest, ParameterCountsFollowFrequenciesRatesAndRateVariation)
{
    // GTR+I+G with empirical frequencies: 3 frequencies, 5 rates, pinv, shape.
    ml.NST = static_cast<int32_t>(kSubstSixRates);
    ml.estRmatrix = 1;
    ml.rates = 1;
    ml.userPInvar = 0.2;
    Model *gtr = current();
    EXPECT_EQ(countModelParams(gtr), 10u);
    EXPECT_EQ(modelCorrespondence(gtr), "GTR+I+G");
    // Marked for estimation: the rates and nothing else (empirical
    // frequencies, fixed shape and pinv are not estimated).
    EXPECT_EQ(countEstimatedModelParams(gtr), 5u);

    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estRmatrix = 0;
    ml.rates = 0;
    ml.userPInvar = 0.0;
    Model *hky = current();
    EXPECT_EQ(countModelParams(hky), 4u);
    EXPECT_EQ(modelCorrespondence(hky), "HKY85");

    ml.NST = static_cast<int32_t>(kSubstOneRate);
    ml.baseFreqMode = kFreqEqual;
    Model *jc = current();
    EXPECT_EQ(countModelParams(jc), 0u);
    EXPECT_EQ(modelCorrespondence(jc), "JC69");
}

TEST_F(ModelTest, RateClassesMakeThePoolsOfAnEstimatedSixRateMatrix)
{
    ml.NST = static_cast<int32_t>(kSubstSixRates);
    ml.estRmatrix = 1;
    for (int i = 0; i < 6; ++i)
        (&ml.cAC)[i] = 0;
    Model *one = current();
    EXPECT_EQ(one->numPools, 1u);
    EXPECT_TRUE(one->pooled);
    EXPECT_EQ(one->rates[0], kEstimate);

    for (int i = 0; i < 6; ++i)
        (&ml.cAC)[i] = 5 - i;
    Model *six = current();
    EXPECT_EQ(six->numPools, 6u);
    EXPECT_FALSE(six->pooled);

    // Fixed rates pool by value.
    ml.estRmatrix = 0;
    const double rates[6] = {1, 2, 1, 1, 2, 1};
    std::copy(rates, rates + 6, &ml.rAC);
    Model *fixed = current();
    EXPECT_EQ(fixed->numPools, 2u);
    EXPECT_FALSE(fixed->pooled);
}

TEST_F(ModelTest, CorrespondenceNamesTheClassicalModelAndItsSubmodel)
{
    ml.baseFreqMode = kFreqEqual;
    ml.userTratio = 0.5;
    EXPECT_EQ(modelCorrespondence(current()), "JC69");
    ml.userTratio = 3.0;
    EXPECT_EQ(modelCorrespondence(current()), "K80 (=K2P)");
    ml.variant = 1;
    ml.baseFreqMode = kFreqEmpirical;
    Model *f84 = current();
    EXPECT_TRUE(f84->F84);
    EXPECT_EQ(modelCorrespondence(f84), "F84");

    ml.NST = static_cast<int32_t>(kSubstSixRates);
    ml.estRmatrix = 1;
    const int32_t hkyClasses[6] = {0, 1, 0, 0, 1, 0};
    std::copy(hkyClasses, hkyClasses + 6, &ml.cAC);
    ml.rates = 1;
    ml.userPInvar = 0.1;
    EXPECT_EQ(modelCorrespondence(current()), "submodel of GTR+I+G (HKY85+I+G submodel)");
    ml.rates = 0;
    ml.userPInvar = 0.0;
    ml.baseFreqMode = kFreqEqual;
    const int32_t k81Classes[6] = {0, 1, 2, 2, 1, 0};
    std::copy(k81Classes, k81Classes + 6, &ml.cAC);
    EXPECT_EQ(modelCorrespondence(current()), "submodel of SYM (K81 submodel)");
    // The same classes with unequal frequencies are no named submodel.
    ml.baseFreqMode = kFreqEmpirical;
    EXPECT_EQ(modelCorrespondence(current()), "submodel of GTR");
}

TEST_F(ModelTest, NamedModelsReplaceTheirNamesakeInPlaceAndLongNamesAreRefused)
{
    DataInfo *noData = nullptr;
    EXPECT_EQ(addCurrentModel("m1", noData, false), nullptr);  // no data matrix yet
    Model *a = createModel("m1");
    Model *b = createModel("other");
    EXPECT_FALSE(insertModel(a));
    EXPECT_FALSE(insertModel(b));
    Model *c = createModel("M1");
    EXPECT_TRUE(insertModel(c));
    ASSERT_EQ(countModels(), 3u);
    EXPECT_EQ(getModel(1), c);
    EXPECT_EQ(getModel(2), b);
    EXPECT_EQ(findMatchingModel("OTHER", false), b);

    // A name cut to 127 characters could name, and replace, another model.
    const std::string longName(200, 'x');
    gPrinted.clear();
    EXPECT_EQ(addCurrentModel(longName.c_str(), nullptr, false), nullptr);
    EXPECT_NE(gPrinted.find("too long"), std::string::npos);
    EXPECT_EQ(countModels(), 3u);
}

TEST_F(ModelTest, APartitionNamingAnUndefinedModelLeavesTheDefaultAloneActive)
{
    ASSERT_NE(startActiveML(), nullptr);
    Model *second = createModel("second");
    insertModel(second);
    Nexset *ptn = createNexset("parts", kNexModelPartition);
    ASSERT_NE(ptn, nullptr);
    addPtnSubset(getNexPtn(ptn), "second");
    addPtnSubset(getNexPtn(ptn), "default");
    ASSERT_EQ(setActiveModels(ptn, nullptr), 0);
    EXPECT_EQ(numActiveModels(), 2u);
    EXPECT_EQ(firstActiveModel(), second);
    EXPECT_EQ(getActiveModel(1), getDefaultModel());
    EXPECT_EQ(second->ptnSubset, 0u);

    addPtnSubset(getNexPtn(ptn), "nosuch");
    EXPECT_EQ(setActiveModels(ptn, nullptr), 1);
    EXPECT_NE(gPrinted.find("has not been defined"), std::string::npos);
    EXPECT_EQ(numActiveModels(), 1u);
    EXPECT_EQ(firstActiveModel(), getDefaultModel());
    EXPECT_EQ(getDefaultModel()->nextActive, nullptr);
    EXPECT_EQ(second->nextActive, nullptr);
    destroyNexset(ptn, kNexModelPartition);
}

TEST_F(ModelTest, FixAllTakesEveryStatesPreviousFrequencyAndEstimateAllMarksWhatIsFree)
{
    Model *m = getDefaultModel();
    m->type = kModelAminoAcid;
    m->nstates = 20;
    m->stateFreqs.assign(20, 0.0);
    m->stateFreqs[0] = kFreqCodeEstimate;
    m->prevFreqs.resize(20);
    for (uint32_t s = 0; s < 20; ++s)
        m->prevFreqs[s] = (s + 1) / 210.0;
    m->gammaShape = kEstimate;
    m->prevShape = 0.7;
    m->pinv = kEstimate;  // no previous estimate: stays marked
    ASSERT_EQ(setAllParamsToFixed(), 0);
    for (uint32_t s = 0; s < 20; ++s) {
        EXPECT_DOUBLE_EQ(m->stateFreqs[s], (s + 1) / 210.0);
        EXPECT_DOUBLE_EQ(ml.userAAFreqs[s], (s + 1) / 210.0);
    }
    EXPECT_EQ(ml.aaFreqMode, kFreqUser);
    EXPECT_EQ(m->gammaShape, 0.7);
    EXPECT_EQ(ml.userGammaShape, 0.7);
    EXPECT_EQ(m->pinv, kEstimate);

    ASSERT_EQ(setAllParamsToEstimated(), 0);
    EXPECT_EQ(m->stateFreqs[0], kFreqCodeEstimate);
    EXPECT_EQ(m->gammaShape, kEstimate);
    EXPECT_EQ(ml.estGammaShape, 1);
    EXPECT_EQ(ml.aaFreqMode, kFreqEstimate);
}

}  // namespace
