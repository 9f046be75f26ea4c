// The option sets of the parsimony and tree search commands: nesting, values
// stored by parsing, refusals that leave everything unchanged, the callbacks
// that check or translate values, factory values, and the PSet command.
#include <algorithm>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "parsimony/pars_init.h"
#include "parsimony/parsimony_settings.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "search/search_settings.h"
#include "app/option_test_support.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "app/vorn_params.h"

namespace {

int gRepackLevel = 0;

class ParsOptionsTest : public OptionTest {
protected:
    ParsOptionsTest() : OptionTest(true) {}

    void SetUp() override
    {
        OptionTest::SetUp();
        resetParsSettings();
        gRepackLevel = 0;
        setVornParamServices({nullptr, [](int level) { gRepackLevel = level; }, nullptr});
    }

    void TearDown() override
    {
        setVornParamServices({});
        OptionTest::TearDown();
    }

    void afterFactoryReset() override { resetParsSettings(); }

    void feed(std::string input)
    {
        OptionTest::feed(std::move(input));
        cap.warnings.clear();
    }

    // The options of `set` read as a command would; true when accepted.
    bool parse(OptionSet set, const std::string &options)
    {
        feed(options);
        return getCmdParams(set, ";", nullptr) > 0;
    }

    int pset(const std::string &options)
    {
        cap.warnings.clear();
        return runAs("PSet", options, doPsetCmd);
    }
};

TEST_F(ParsOptionsTest, PSetStoresValuesAndRunsItsCallbacks)
{
    EXPECT_EQ(pset("collapse=minBrlen msTaxa=poly opt=delTran gUninf=include threshold=3 "
                   "gapMode=newState minForFit=range;"),
              0);
    EXPECT_EQ(gPars.collapse, 2u);
    EXPECT_EQ(gPars.msTaxa, static_cast<uint32_t>(kMsTaxaPolymorph));
    EXPECT_EQ(gPars.opt, static_cast<uint32_t>(ParsOpt::DelTran));
    EXPECT_EQ(gPars.gUninf, 1);
    EXPECT_EQ(gPars.threshold, 3u);
    EXPECT_EQ(gPars.gapMode, static_cast<uint32_t>(kGapModeNewState));
    EXPECT_EQ(gPars.minForFit, 1);
    EXPECT_EQ(gRepackLevel, 3);       // msTaxa asks for a full repack
    EXPECT_EQ(gPars.altPrep, 1);      // the threshold needs the alternative arrays

    gRepackLevel = 0;
    gPars.altPrep = 0;
    EXPECT_EQ(pset("msTaxa=polymorph threshold=3 collapse=no;"), 0);  // nothing changes but collapse
    EXPECT_EQ(gRepackLevel, 0);
    EXPECT_EQ(gPars.altPrep, 0);
    EXPECT_EQ(gPars.collapse, 0u);

    EXPECT_EQ(pset("threshold=none goloboff gK=2147483646;"), 0);
    EXPECT_EQ(gPars.threshold, 0u);
    EXPECT_EQ(gPars.gK, 2147483646u);
    EXPECT_EQ(gPars.goloboff, 1);

    // Set reaches the same record through its hidden options.
    feed("msTaxa=variable stepMatrix=allStates;");
    EXPECT_EQ(doSetCmd(), 0);
    EXPECT_EQ(gPars.msTaxa, static_cast<uint32_t>(kMsTaxaVariable));
    EXPECT_EQ(gPars.stepMatrix, 1u);
}

TEST_F(ParsOptionsTest, RefusedValuesLeaveEveryOptionUnchanged)
{
    // The Goloboff limit is named by its own error; the rest of the command goes too.
    EXPECT_EQ(pset("collapse=ambEqual gK=2147483647;"), 1);
    EXPECT_EQ(errorCodes(), std::vector<uint32_t>{834});
    EXPECT_EQ(gPars.gK, 2u);
    EXPECT_EQ(gPars.collapse, 1u);
    EXPECT_EQ(pset("gK=-1;"), 1);
    EXPECT_EQ(gPars.gK, 2u);

    struct Case {
        OptionSet set;
        const char *options;
    };
    const Case refused[] = {
        {OptionSet::kHSearch, "swap=NNI nreps=0;"},
        {OptionSet::kHSearch, "swap=NNI nreps=1000001;"},
        {OptionSet::kHSearch, "swap=NNI hold=-2;"},
        {OptionSet::kHSearch, "swap=NNI reconLimit=-1;"},
        {OptionSet::kResampling, "nreps=0 keepAll;"},
        {OptionSet::kHomPart, "nreps=2000000;"},
        {OptionSet::kPermute, "test=TPTP nreps=-5;"},
        {OptionSet::kRandTrees, "nreps=0 fdType=barChart;"},
        {OptionSet::kHSearch, "swap=NNI start=0;"},
        {OptionSet::kHSearch, "swap=NNI start=5-2;"},
        {OptionSet::kHSearch, "swap=NNI start=NJ;"},
        {OptionSet::kJackknife, "keepAll PctDelete=100;"},
        {OptionSet::kJackknife, "keepAll PctDelete=0;"},
        {OptionSet::kBootstrap, "keepAll nchar=0;"},
        {OptionSet::kBootstrap, "keepAll wts=ignore;"},
        {OptionSet::kPermute, "test=TPTP first=tree1;"},
    };
    for (const Case &c : refused) {
        initVornOptions(nullptr);
        EXPECT_FALSE(parse(c.set, c.options)) << c.options;
        EXPECT_EQ(hs.swap, 3u) << c.options;
        EXPECT_EQ(hs.nreps, 10) << c.options;
        EXPECT_EQ(hs.startSource, kStartStepwise) << c.options;
        EXPECT_EQ(btjkOpt.keepAll, 0) << c.options;
        EXPECT_EQ(btjkOpt.pctDelete, 50.0) << c.options;
        EXPECT_EQ(btjkOpt.wts, kBtjkWtsProportional) << c.options;
        EXPECT_EQ(btjkOpt.nchar, 0) << c.options;
        EXPECT_EQ(homOpt.nreps, 100) << c.options;
        EXPECT_EQ(permOpt.test, 0u) << c.options;
    }
}

TEST_F(ParsOptionsTest, SearchAndResamplingValues)
{
    ASSERT_TRUE(parse(OptionSet::kHSearch,
                      "swap=SPR addSeq=random nreps=25 rseed=1:2:3:4 reconLimit=infinity "
                      "nbest=all hold=no timeLimit=none start=3-5 chuckLen=12.5;"));
    EXPECT_EQ(hs.swap, 2u);
    EXPECT_EQ(hs.addSeq, 3u);
    EXPECT_EQ(hs.nreps, 25);
    EXPECT_EQ(std::vector<uint32_t>(hs.rseed, hs.rseed + 4), (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(hs.reconLimit, 0);
    EXPECT_EQ(hs.nbest, 0);
    EXPECT_EQ(hs.hold, 0);
    EXPECT_EQ(hs.timeLimit, 0);
    EXPECT_EQ(hs.chuckScore, 12.5);  // chuckLen is the old name of chuckScore
    EXPECT_EQ(hs.startSource, kStartRange);
    EXPECT_EQ(hs.firstStartTree, 3);
    EXPECT_EQ(hs.lastStartTree, 5);
    ASSERT_TRUE(parse(OptionSet::kHSearch, "start=cur;"));
    EXPECT_EQ(hs.startSource, kStartCurrent);

    // Unlisted aliases of wts: repeatCnt is read as proportional with a note.
    ASSERT_TRUE(
        parse(OptionSet::kBootstrap, "wts=simple bseed=77 nchar=250 method=NJ fmt=Phylip;"));
    EXPECT_EQ(btjkOpt.wts, kBtjkWtsSimple);
    EXPECT_EQ(btjkOpt.seed[0], 77u);
    EXPECT_EQ(btjkOpt.nchar, 250);
    EXPECT_EQ(btjkOpt.search, 3u);
    EXPECT_EQ(btjkOpt.format, 5u);
    ASSERT_TRUE(parse(OptionSet::kBootstrap, "wts=repeatCnt nchar=current;"));
    EXPECT_EQ(btjkOpt.wts, kBtjkWtsProportional);
    EXPECT_EQ(btjkOpt.nchar, 0);
    EXPECT_NE(cap.out.find("'repeatCnt' has been deprecated"), std::string::npos) << cap.out;
    ASSERT_TRUE(parse(OptionSet::kJackknife, "JSeed=9 PctDelete=33.5 Resample=Jac;"));
    EXPECT_EQ(btjkOpt.seed[0], 9u);
    EXPECT_EQ(btjkOpt.pctDelete, 33.5);
    EXPECT_EQ(btjkOpt.resample, 1);

    // RandTrees: seed and tseed set one seed.
    ASSERT_TRUE(parse(OptionSet::kRandTrees, "tseed=5 fdType=barChart;"));
    CmdParamList *list = createCmdParamList(OptionSet::kRandTrees);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(static_cast<const uint32_t *>(list->params[1].variable)[0], 5u);
    EXPECT_EQ(list->params[1].variable, list->params[list->count - 4].variable);
    destroyCmdParamList(list);
}

TEST_F(ParsOptionsTest, ListingsShowTheListedOptionsWithTheirValues)
{
    feed("?;");
    EXPECT_EQ(getCmdParams(OptionSet::kJackknifeMethod, ";", nullptr), -1);
    EXPECT_EQ(cap.out, "\nAvailable options:\n\n"
                       "Keyword ------- Option type --------------------- Current setting ----------\n"
                       "PctDelete       <real-value>                      \b50\n"
                       "Resample        normal|Jac                        \bnormal\n");

    EXPECT_EQ(pset("gapMode=newState;"), 0);
    EXPECT_EQ(pset("?;"), 1);
    EXPECT_EQ(cap.out,
              "\nUsage: \bPSet [options...] ;\n\n\nAvailable options:\n\n"
              "Keyword ------- Option type --------------------- Current setting ----------\n"
              "collapse        no|maxBrlen|minBrlen|ambEqual     \bmaxBrlen\n"
              "msTaxa          uncertain|polymorph|variable      \buncertain\n"
              "opt             accTran|delTran|minF              \baccTran\n"
              "stepMatrix      obsOnly|allStates|threePlus1      \bthreePlus1\n"
              "includeAnc      no|yes                            \bno\n"
              "ancStates       <ancstates-name>                  \b(none)\n"
              "threshold       <integer-value>|none              \bnone\n"
              "goloboff        no|yes                            \bno\n"
              "gK              <integer-value>                   \b2\n"
              "gUninf          exclude|include                   \bexclude\n"
              "gPeeWee         no|yes                            \bno\n"
              "minForFit       minLength|range                   \bminLength\n"
              "gapMode         missing|newState                  \bnewState\n");
}

TEST_F(ParsOptionsTest, ParsimonyServicesReachTheDataSet)
{
    installParsimonyServices();
    gPars.gapMode = kGapModeNewState;
    gPars.msTaxa = kMsTaxaVariable;
    EXPECT_EQ(dataServices().gapMode(), kGapModeNewState);
    EXPECT_EQ(dataServices().msTaxa(), kMsTaxaVariable);
    gPars.pending = 0;
    dataServices().setNeedParsPrep(2);
    EXPECT_EQ(gPars.pending, 2u);
    resetDataServices();
    EXPECT_EQ(dataServices().gapMode(), kGapModeMissing);
}

}  // namespace
