// The option sets of the likelihood and model selection commands: nesting,
// factory values, the custom readers of LSet, refusals that leave every
// option as it was, and the records of the selection commands.
#include <cstring>
#include <string>
#include <vector>

#include "data/model.h"
#include "likelihood/likelihood_settings.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "selection/selection_settings.h"
#include "app/option_test_support.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "app/vorn_params.h"

namespace {

int gInvalidations = 0;

class ParminitLikTest : public OptionTest {
protected:
    void SetUp() override
    {
        OptionTest::SetUp();
        gInvalidations = 0;
        setLikelihoodSettingsServices({[] { ++gInvalidations; }, nullptr, nullptr});
    }

    void TearDown() override
    {
        setLikelihoodSettingsServices({});
        OptionTest::TearDown();
    }
};

// "previous" takes the default model's last estimates, and is refused
// with its own message while the model holds none.
TEST_F(ParminitLikTest, PreviousTakesTheDefaultModelsLastEstimates)
{
    destroyModelList();
    const std::pair<const char *, uint32_t> none[] = {
        {"tratio=previous;", 835},   {"shape=previous;", 836},    {"pinvar=previous;", 837},
        {"siteRates=previous;", 838}, {"rmatrix=previous;", 839}, {"basefreq=previous;", 840},
    };
    for (const auto &[input, code] : none) {
        EXPECT_EQ(parse(OptionSet::kLSet, input), 0) << input;
        EXPECT_EQ(errorCodes(), std::vector<uint32_t>{code}) << input;
    }

    Model *m = getDefaultModel();
    m->prevTratio = 3.25;
    m->prevShape = 0.8;
    m->prevPinv = 0.0;  // an estimate of no invariable sites is an estimate
    m->prevRates = {2, 4, 2, 2, 8, 2};
    m->prevFreqs = {0.1, 0.2, 0.3, 0.4};
    ASSERT_GT(parse(OptionSet::kLSet, "tratio=estimate shape=estimate pinvar=estimate;"), 0);
    ASSERT_GT(parse(OptionSet::kLSet, "tratio=previous shape=previous pinvar=previous "
                                      "rmatrix=previous basefreq=previous;"),
              0)
        << cap.out;
    EXPECT_EQ(ml.userTratio, 3.25);
    EXPECT_EQ(ml.estTratio, 0);
    EXPECT_EQ(ml.userGammaShape, 0.8);
    EXPECT_EQ(ml.estGammaShape, 0);
    EXPECT_EQ(ml.userPInvar, 0.0);
    EXPECT_EQ(ml.estPInvar, 0);
    EXPECT_EQ((std::vector<double>{ml.rAC, ml.rAG, ml.rAT, ml.rCG, ml.rCT, ml.rGT}),
              (std::vector<double>{1, 2, 1, 1, 4, 1}));
    EXPECT_EQ(ml.baseFreqMode, kFreqUser);
    EXPECT_EQ(ml.userBaseFreqs[3], 0.4);
    destroyModelList();
}

TEST_F(ParminitLikTest, LSetReadersStoreWhatTheyRead)
{
    ASSERT_GT(parse(OptionSet::kLSet,
                    "NST=6 rates=gamma shape=0.25 ncat=8 tratio=estimate "
                    "rmatrix=(1 2 1 1 4 2) rclass=(A b A a C a) basefreq=(0.1 0.2 0.3) "
                    "pinvar=0.2 initBrLen=0.05 approxLim=none nthreads=auto "
                    "precision=double;"),
              0)
        << cap.out;
    EXPECT_EQ(ml.NST, 2);
    EXPECT_EQ(ml.rates, 1);
    EXPECT_EQ(ml.userGammaShape, 0.25);
    EXPECT_EQ(ml.ncat, 8);
    EXPECT_EQ(ml.estTratio, 1);
    EXPECT_EQ((std::vector<double>{ml.rAC, ml.rAG, ml.rAT, ml.rCG, ml.rCT, ml.rGT}),
              (std::vector<double>{0.5, 1, 0.5, 0.5, 2, 1}));
    EXPECT_EQ((std::vector<int32_t>{ml.cAC, ml.cAG, ml.cAT, ml.cCG, ml.cCT, ml.cGT}),
              (std::vector<int32_t>{0, 1, 0, 0, 2, 0}));
    EXPECT_EQ(ml.baseFreqMode, kFreqUser);
    EXPECT_NEAR(ml.userBaseFreqs[3], 0.4, 1e-12);
    EXPECT_EQ(ml.userPInvar, 0.2);
    EXPECT_EQ(ml.initBrLenMethod, kInitBrLenArbitrary);
    EXPECT_EQ(ml.initArbBrLen, 0.05);
    EXPECT_EQ(ml.useApproxLim, 0);
    EXPECT_EQ(ml.nthreads, 0);
    EXPECT_EQ(ml.precision, 0);
    EXPECT_GT(gInvalidations, 0);

    // The settings persist and a number after "estimate" fixes the value again.
    ASSERT_GT(parse(OptionSet::kLSetSettings, "tratio=3.5 initBrLen=acctran gRateScale=estimate;"),
              0);
    EXPECT_EQ(ml.userTratio, 3.5);
    EXPECT_EQ(ml.estTratio, 0);
    EXPECT_EQ(ml.initBrLenMethod, kInitBrLenRogers);
    EXPECT_EQ(ml.useAcctran, 1);
    EXPECT_EQ(ml.estRateScaler, 1);
    EXPECT_EQ(ml.NST, 2);

    // The stored values are not typed directly.
    EXPECT_EQ(parse(OptionSet::kLSetSettings, "userTratio=4;"), 0);
    EXPECT_EQ(ml.userTratio, 3.5);

    // Factory puts everything back, the custom readers' values included.
    EXPECT_EQ(setCmdParamValsToFactorySettings(OptionSet::kLSet, false), 0);
    EXPECT_EQ(ml.NST, 1);
    EXPECT_EQ(ml.userTratio, 2.0);
    EXPECT_EQ(ml.rAC, 1.0);
    EXPECT_EQ(ml.cAG, 1);
    EXPECT_EQ(ml.baseFreqMode, kFreqEmpirical);
    EXPECT_EQ(ml.userBaseFreqs[0], 0.25);
    EXPECT_EQ(ml.initBrLenMethod, kInitBrLenRogers);
    EXPECT_EQ(ml.useApproxLim, 1);
}

TEST_F(ParminitLikTest, RefusedValuesLeaveEveryOptionUnchanged)
{
    struct Case {
        const char *input;
        uint32_t code;  // 0: refused by the option parser's own message
    };
    const Case cases[] = {
        {"NST=1 ncat=1;", 825},
        {"NST=1 shape=500.5;", 806},
        {"NST=1 shape=0;", 805},
        {"NST=1 pinvar=1;", 818},
        {"NST=1 tratio=0;", 831},
        {"NST=1 tratio=previous;", 835},
        {"NST=1 basefreq=(0.5 0.3 0.3);", 833},
        {"NST=1 basefreq=(0.5 0.3 0.1 0.2);", 833},
        {"NST=1 basefreq=(0.5 1.2 0.1);", 846},
        {"NST=1 rmatrix=(1 2 3);", 206},
        {"NST=1 rmatrix=(1 2 0 1 1);", 845},
        {"NST=1 rclass=(a b g a a a);", 841},
        {"NST=1 rclass=(a b c a a a b);", 205},
        {"NST=1 approxLim=-1;", 147},
        {"NST=1 approxLim=some;", 857},
        {"NST=1 initBrLen=0;", 847},
        {"NST=1 gRateScale=previous;", 852},
        {"NST=1 siteRates=partition;", 828},
        {"NST=1 nthreads=5000;", 0},
        {"NST=1 ncat=101;", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(parse(OptionSet::kLSet, c.input), 0) << c.input;
        if (c.code != 0)
            EXPECT_EQ(errorCodes(), std::vector<uint32_t>{c.code}) << c.input;
        else
            EXPECT_FALSE(cap.errors.empty()) << c.input;
        EXPECT_EQ(ml.NST, 1) << c.input;
        EXPECT_EQ(ml.ncat, 4) << c.input;
        EXPECT_EQ(ml.userGammaShape, 0.5) << c.input;
        EXPECT_EQ(ml.userPInvar, 0.0) << c.input;
        EXPECT_EQ(ml.userTratio, 2.0) << c.input;
        EXPECT_EQ(ml.baseFreqMode, kFreqEmpirical) << c.input;
        EXPECT_EQ(ml.rAT, 1.0) << c.input;
        EXPECT_EQ(ml.cAC, 0) << c.input;
        EXPECT_EQ(ml.useApproxLim, 1) << c.input;
        EXPECT_EQ(ml.nthreads, 1) << c.input;
    }
    // The bounds themselves are accepted.
    EXPECT_GT(parse(OptionSet::kLSet, "shape=500 ncat=100 nthreads=1024;"), 0);
    EXPECT_EQ(ml.userGammaShape, 500.0);
}

TEST_F(ParminitLikTest, BeagleIsAnsweredAsUnavailable)
{
    gQelIo.defaultMode = true;  // the question takes its default answer: go on without it
    EXPECT_GT(parse(OptionSet::kLSetSettings, "beagle;"), 0);
    EXPECT_EQ(ml.beagle, 0);
}

TEST_F(ParminitLikTest, ScoreTestAndOutsideProgramOptions)
{
    ASSERT_GT(parse(OptionSet::kLScoresAndLSet,
                    "KHTest=normal tailKH=1 bootReps=500 seed=1:2:3:4 NST=6;"),
              0);
    EXPECT_EQ(lscOpt.KHTest, 1);
    EXPECT_EQ(lscOpt.tailKH, 0);
    EXPECT_EQ(lscOpt.bootReps, 500);
    EXPECT_EQ(lscOpt.seed[3], 4u);
    EXPECT_EQ(ml.NST, 2);  // an LSet option through LScores
    EXPECT_EQ(parse(OptionSet::kLScores, "NST=1;"), 0);  // not when several models are defined
    EXPECT_EQ(parse(OptionSet::kLScores, "bootReps=0;"), 0);
    // The tests by their initials, "SH" though "shape" begins with it too.
    ASSERT_GT(parse(OptionSet::kLScoresAndLSet, "SH AU KH=bootstrap;"), 0);
    EXPECT_EQ(lscOpt.SHTest, 1);
    EXPECT_EQ(lscOpt.AUTest, 1);
    EXPECT_EQ(lscOpt.KHTest, 2);
    ASSERT_GT(parse(OptionSet::kLScoresAndLSet, "noSH sha=0.3;"), 0);
    EXPECT_EQ(lscOpt.SHTest, 0);
    EXPECT_EQ(ml.userGammaShape, 0.3);

    ASSERT_GT(parse(OptionSet::kSurfCheck, "nreps=5 treeNum=2 toler=0.001;"), 0);
    EXPECT_EQ(surfChk.nreps, 5);
    EXPECT_EQ(surfChk.treeNum, 2);
    EXPECT_EQ(surfChk.toler, 0.001);

    ASSERT_GT(parse(OptionSet::kGammaPlot, "shape=2 ncat=6 repRate=median apply;"), 0);
    EXPECT_EQ(ml.userGammaShape, 2.0);
    EXPECT_EQ(ml.ncat, 6);
    EXPECT_EQ(ml.repRate, 1);
    EXPECT_EQ(ml.gammaPlotApply, 1);

    ASSERT_GT(parse(OptionSet::kRAxMLSearch,
                    "nRuns=3 algorithm=o raxmlBin='raxmlHPC -T 2' otherOptions=\"-m GTRCAT\";"),
              0)
        << (cap.errors.empty() ? "" : cap.errors[0].text);
    EXPECT_EQ(raxmlOpt.nRuns, 3);
    EXPECT_EQ(raxmlOpt.algorithm, 1);
    EXPECT_STREQ(raxmlOpt.raxmlBin, "raxmlHPC -T 2");
    EXPECT_STREQ(raxmlOpt.otherOptions, "-m GTRCAT");
    // A command text longer than its field is refused, never cut.
    EXPECT_EQ(
        parse(OptionSet::kRAxMLSearch, "nRuns=4 otherOptions=\"" + std::string(300, 'x') + "\";"),
        0);
    EXPECT_EQ(raxmlOpt.nRuns, 3);
    EXPECT_STREQ(raxmlOpt.otherOptions, "-m GTRCAT");

    ASSERT_GT(parse(OptionSet::kGarliSearch, "stateFreq=f1x4 genCode=vert scorethresh=0.05;"), 0);
    EXPECT_EQ(garliOpt.stateFreq, 2);
    EXPECT_EQ(garliOpt.genCode, 1);
    EXPECT_EQ(garliOpt.scorethresh, 0.05);
}

TEST_F(ParminitLikTest, ModelSelectionOptions)
{
    ASSERT_GT(parse(OptionSet::kAutoModel, "lset=BIC modelset=j11 noIplusG;"), 0);
    EXPECT_EQ(autoMod.lset, 3);
    EXPECT_EQ(autoMod.modelset, 3);
    EXPECT_EQ(autoMod.IplusG, 0);
    ASSERT_GT(parse(OptionSet::kAutopartition,
                    "method=all modelset=GTR showSchemes=suppress modSel=late;"),
              0);
    EXPECT_EQ(autoPartOpt.method, 0);
    EXPECT_EQ(autoPartOpt.modelset, 4);
    EXPECT_EQ(autoPartOpt.showSchemes, 2);
    EXPECT_EQ(autoPartOpt.modSel, 1);
    ASSERT_GT(parse(OptionSet::kClockChecker, "exclude=AICc lrtThreshold=0.01;"), 0);
    EXPECT_EQ(clkChkOpt.exclude, 3);
    EXPECT_EQ(clkChkOpt.lrtThreshold, 0.01);
    ASSERT_GT(parse(OptionSet::kOrthoFilter, "maxParaRem=3 noupgma;"), 0);
    EXPECT_EQ(ofltOpt.maxParaRem, 3);
    EXPECT_EQ(ofltOpt.upgma, 0);
    EXPECT_EQ(parse(OptionSet::kPatFitTest, "pool=no maxsteps=-1;"), 0);
    EXPECT_EQ(patfitOpt.pool, 1);
    ASSERT_GT(parse(OptionSet::kPatFitTest, "maxsteps=5;"), 0);
    EXPECT_EQ(patfitOpt.maxsteps, 5);
    EXPECT_EQ(setCmdParamValsToFactorySettings(OptionSet::kAutoModel, false), 0);
    EXPECT_EQ(autoMod.IplusG, 1);
    EXPECT_EQ(autoMod.lset, 2);
}

TEST_F(ParminitLikTest, ListingOfPatFitTest)
{
    EXPECT_EQ(parse(OptionSet::kPatFitTest, "?;"), -1);
    EXPECT_EQ(cap.out, "\nAvailable options:\n\n"
                       "Keyword ------- Option type --------------------- Current setting ----------\n"
                       "pool            no|yes                            \byes\n"
                       "maxsteps        <integer-value>                   \b3\n");
    // The custom options of LSet show their current values; hidden ones stay out.
    EXPECT_EQ(parse(OptionSet::kLScoresAndLSet, "?;"), -1);
    for (const char *shown : {"\nbaseFreq ", "empirical", "\napproxLim ", "<real-value>|none",
                              "\nrmatrix ", "(1 1 1 1 1)", "\nprocessor "})
        EXPECT_NE(cap.out.find(shown), std::string::npos) << shown;
    for (const char *hidden : {"userTratio", "bfgsM", "\nmodel "})
        EXPECT_EQ(cap.out.find(hidden), std::string::npos) << hidden;
}

}  // namespace
