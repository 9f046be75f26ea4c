// The option sets of the quartet commands and the simulation blocks: parsing
// into their settings, the custom readers, ranges, nesting and factory values.
#include <string>
#include <vector>

#include "qel/qel_io.h"
#include "quartets/quartets_settings.h"
#include "search/search_settings.h"
#include "selection/sim_settings.h"
#include "app/option_test_support.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"

namespace {

class QuartetOptionsTest : public OptionTest {
protected:
    void SetUp() override
    {
        OptionTest::SetUp();
        simOpt = SimSettings{};
    }

    int parse(OptionSet set, std::string input, const char *lenientNote = nullptr)
    {
        feed(std::move(input));
        cap.warnings.clear();
        return getCmdParams(set, ";", lenientNote);
    }
};

TEST_F(QuartetOptionsTest, PuzzleSharesTheStatusIntervalWithSet)
{
    EXPECT_EQ(puzOpt.nPuzzles, 1000);
    EXPECT_EQ(puzOpt.cutoffPct, 5);
    EXPECT_EQ(parse(OptionSet::kPuzzle,
                    "nPuzzles=50 cutoffPct=10 dstatus=none penalties=full noShowTree;"),
              ';');
    EXPECT_EQ(puzOpt.nPuzzles, 50);
    EXPECT_EQ(puzOpt.cutoffPct, 10);
    EXPECT_EQ(srch.dStatus, 0);
    EXPECT_EQ(puzOpt.penalties, 1);
    EXPECT_EQ(puzOpt.showTree, 0);
    // A negative number of puzzling steps is refused, and nothing changes
    // (none at all is the command's own refusal).
    EXPECT_EQ(parse(OptionSet::kPuzzle, "cutoffPct=20 nPuzzles=-1;"), 0);
    EXPECT_EQ(puzOpt.cutoffPct, 10);
    EXPECT_EQ(factorySettings(false), 0);
    EXPECT_EQ(puzOpt.nPuzzles, 1000);
    EXPECT_EQ(srch.dStatus, 60);
}

TEST_F(QuartetOptionsTest, SvdQuartetsReadersAndAliases)
{
    EXPECT_EQ(svdqOpt.evalQuartets, 1);  // random
    EXPECT_EQ(svdqOpt.nquartets, 100000.0);
    EXPECT_EQ(svdqOpt.preferAllQ, 1);
    EXPECT_EQ(svdqOpt.bootstrap, kSvdqBootNo);

    EXPECT_EQ(parse(OptionSet::kSVDQuartets,
                    "bootstrap=yes nthreads=8 theta=est nreps=20 treeInf=curTrees;"),
              ';');
    EXPECT_EQ(svdqOpt.bootstrap, kSvdqBootStandard);  // the unlisted alias
    EXPECT_EQ(svdqOpt.nthreads, 8u);
    EXPECT_EQ(svdqOpt.estTheta, 1);
    EXPECT_EQ(svdqOpt.nreps, 20);
    EXPECT_EQ(svdqOpt.treeInf, kSvdqTreeInfCurTrees);
    // "yes" does not make "bootstrap=?" list it.
    EXPECT_EQ(parse(OptionSet::kSVDQuartets, "bootstrap=?;"), -1);
    EXPECT_EQ(cap.out.find("yes"), std::string::npos) << cap.out;
    EXPECT_NE(cap.out.find("multilocus"), std::string::npos) << cap.out;

    EXPECT_EQ(parse(OptionSet::kSVDQuartets, "nthreads=ncpus theta=0.02;"), ';');
    EXPECT_EQ(svdqOpt.nthreads, 0u);
    EXPECT_EQ(svdqOpt.estTheta, 0);
    EXPECT_EQ(svdqOpt.userTheta, 0.02);

    // Each refusal puts theta, the thread count and the replicates back.
    for (const char *bad : {"theta=est nthreads=many;", "theta=est nthreads=5000;",
                            "nthreads=4 theta=often;", "theta=est nreps=0;", "theta=inf;"}) {
        EXPECT_EQ(parse(OptionSet::kSVDQuartets, bad), 0) << bad;
        EXPECT_EQ(svdqOpt.estTheta, 0) << bad;
        EXPECT_EQ(svdqOpt.userTheta, 0.02) << bad;
        EXPECT_EQ(svdqOpt.nthreads, 0u) << bad;
        EXPECT_EQ(svdqOpt.nreps, 20) << bad;
        EXPECT_FALSE(cap.errors.empty()) << bad;
    }
    EXPECT_EQ(parse(OptionSet::kSVDQuartets, "loci=genes;"), 0);  // no such partition
    EXPECT_EQ(svdqOpt.loci, nullptr);
}

TEST_F(QuartetOptionsTest, SvdQuartetsResearchOptions)
{
    // Theta is estimated unless the user gives one: estTratio is the flag
    // theta=estimate sets, and a typed theta is the user's theta.
    EXPECT_EQ(factorySettings(false), 0);
    EXPECT_EQ(svdqOpt.estTheta, 1);
    EXPECT_EQ(svdqOpt.userTheta, 0.1);
    EXPECT_EQ(parse(OptionSet::kSVDQuartets, "estNodeAges=moments theta=0.3;"), ';');
    EXPECT_EQ(svdqOpt.estNodeAges, 2u);
    EXPECT_EQ(svdqOpt.estTheta, 0);
    EXPECT_EQ(svdqOpt.userTheta, 0.3);
    // Estimating again keeps the user's value for later.
    EXPECT_EQ(parse(OptionSet::kSVDQuartets, "theta=estimate;"), ';');
    EXPECT_EQ(svdqOpt.estTheta, 1);
    EXPECT_EQ(svdqOpt.userTheta, 0.3);
    EXPECT_EQ(parse(OptionSet::kSVDQuartets, "theta=0.25;"), ';');
    EXPECT_EQ(svdqOpt.estTheta, 0);
    EXPECT_EQ(svdqOpt.userTheta, 0.25);
    // The value and the flag that theta sets are not typed themselves, and a
    // refused command leaves both as they were.
    for (const char *bad : {"theta=estimate userTheta=0.5;", "estTratio=yes;", "noEstTratio;", "theta=x;"}) {
        EXPECT_EQ(parse(OptionSet::kSVDQuartets, bad), 0) << bad;
        EXPECT_EQ(svdqOpt.estTheta, 0) << bad;
        EXPECT_EQ(svdqOpt.userTheta, 0.25) << bad;
    }

    // The usage lists the research options after the heading, but neither
    // the hidden ones nor the file flags the command sets itself.
    EXPECT_EQ(parse(OptionSet::kSVDQuartets, "?;"), -1);
    const size_t heading = cap.out.find("experimental research");
    ASSERT_NE(heading, std::string::npos) << cap.out;
    for (const char *name : {"qweights", "wtlambda", "lakeInvar", "frobDFile"})
        EXPECT_NE(cap.out.find(name, heading), std::string::npos) << name << "\n" << cap.out;
    for (const char *name : {"estNodeAges", "theta", "Theta", "estTratio", "pref_save"})
        EXPECT_EQ(cap.out.find(name), std::string::npos) << name << "\n" << cap.out;

    EXPECT_EQ(factorySettings(false), 0);
    EXPECT_EQ(svdqOpt.estTheta, 1);
    EXPECT_EQ(svdqOpt.userTheta, 0.1);
    EXPECT_EQ(svdqOpt.estNodeAges, 0u);
}

TEST_F(QuartetOptionsTest, QSearchAndTheQuartetFile)
{
    EXPECT_EQ(qopt.method, kQMethodQFM);
    EXPECT_EQ(qopt.maxSplitsB, 500);
    EXPECT_STREQ(qopt.startQMC, "qmc");
    EXPECT_EQ(parse(OptionSet::kQSearch,
                    "method=WO maxSplitsB=unlimited localSearch=TBR startQMC='qmc -v';"),
              ';');
    EXPECT_EQ(qopt.method, kQMethodWO);
    EXPECT_EQ(qopt.maxSplitsB, 0);
    EXPECT_EQ(qopt.localSearch, 3u);
    EXPECT_STREQ(qopt.startQMC, "qmc -v");
    // A command text longer than its field is refused whole.
    EXPECT_EQ(parse(OptionSet::kQSearch, "startQMC='" + std::string(300, 'q') + "';"), 0);
    EXPECT_STREQ(qopt.startQMC, "qmc -v");
    EXPECT_EQ(parse(OptionSet::kQuartetFile, "file=quartets.txt;"), ';');
    EXPECT_STREQ(qopt.file, "quartets.txt");
    EXPECT_EQ(factorySettings(false), 0);
    EXPECT_STREQ(qopt.startQMC, "qmc");
    EXPECT_EQ(qopt.maxSplitsB, 500);
}

TEST_F(QuartetOptionsTest, TrueTreeAndSimDataLists)
{
    EXPECT_EQ(factorySettings(false), 0);
    EXPECT_EQ(simOpt.source, -1);  // no factory value: the command presets it
    EXPECT_EQ(parse(OptionSet::kTrueTree,
                    "source=Memory treeNum=(1:0.5 3:0.25) scaleBrlens=2 treeRep=different;"),
              ';');
    EXPECT_EQ(simOpt.source, static_cast<int32_t>(kTrueTreeMemory));
    ASSERT_EQ(simOpt.treeNum.n, 2u);
    EXPECT_EQ(simOpt.treeNum.values[1], 3);
    EXPECT_EQ(simOpt.treeNum.weights[0], 0.5);
    EXPECT_EQ(simOpt.treeNum.weights[1], 0.25);
    EXPECT_EQ(simOpt.scaleBrlens, 2.0);
    EXPECT_EQ(simOpt.treeRep, 1);
    for (const char *bad : {"treeNum=(1 0.5);", "treeNum=(1:x);", "treeNum=0;", "treeNum=();"}) {
        EXPECT_EQ(parse(OptionSet::kTrueTree, bad), 0) << bad;
        EXPECT_EQ(simOpt.treeNum.n, 2u) << bad;
    }

    EXPECT_EQ(parse(OptionSet::kSimData, "nchar=(100 200 300) nsitesPerLocus=50;"), ';');
    ASSERT_EQ(simOpt.nchar.n, 3u);
    EXPECT_EQ(simOpt.nchar.values[2], 300);
    EXPECT_EQ(simOpt.nsitesPerLocus, 50);
    std::string many = "nchar=(";
    for (int i = 1; i <= 21; ++i)
        many += std::to_string(i) + " ";
    for (const std::string &bad : {many + ");", std::string("nchar=(10 -5);"),
                                   std::string("nloci=2 nsitesPerLocus=0;")}) {
        EXPECT_EQ(parse(OptionSet::kSimData, bad), 0) << bad;
        EXPECT_EQ(simOpt.nchar.n, 3u) << bad;
        EXPECT_EQ(simOpt.nloci.n, 0u) << bad;
    }
}

TEST_F(QuartetOptionsTest, BeginSimReadsTheResultsFileOptionsInParentheses)
{
    EXPECT_EQ(parse(OptionSet::kBeginSim,
                    "nreps=10 resultsFile=(name=res.txt output=MeansOnly BS) noShowModel;"),
              ';');
    EXPECT_EQ(simOpt.nreps, 10);
    EXPECT_STREQ(simOpt.resultsFile, "res.txt");
    EXPECT_EQ(simOpt.output, 1);
    EXPECT_EQ(simOpt.BS, 1);
    EXPECT_EQ(simOpt.showModel, 0);
    EXPECT_EQ(parse(OptionSet::kBeginSim, "resultsFile=name=x.txt;"), 0);
    ASSERT_FALSE(cap.errors.empty());
    EXPECT_NE(cap.errors.back().text.find("Expecting left parenthesis"), std::string::npos);
    EXPECT_EQ(parse(OptionSet::kBeginSim, "nreps=0;"), 0);
    EXPECT_EQ(simOpt.nreps, 10);
}

TEST_F(QuartetOptionsTest, YangRannalaIncludesYuleAndReadsLeniently)
{
    CmdParamList *list = createCmdParamList(OptionSet::kYangRannala);
    ASSERT_NE(list, nullptr);
    std::vector<std::string> names;
    for (uint32_t i = 0; i < list->count; ++i)
        names.push_back(list->params[i].name);
    destroyCmdParamList(list);
    EXPECT_EQ(names, (std::vector<std::string>{"ntrees", "seed", "lambda", "mu", "rho"}));

    EXPECT_EQ(parse(OptionSet::kYangRannala, "ntrees=5 speed=3 lambda=2 mu=0.5;",
                    "in YangRannala command of simulation block"),
              ';');
    EXPECT_EQ(simOpt.lambda, 2.0);
    EXPECT_EQ(simOpt.mu, 0.5);
    ASSERT_EQ(cap.warnings.size(), 1u);
    EXPECT_NE(cap.warnings[0].text.find("in YangRannala command of simulation block"),
              std::string::npos);
    // Zero trees is a request (an empty buffer); a negative count is not.
    EXPECT_EQ(parse(OptionSet::kYule, "ntrees=0;"), ';');
    EXPECT_EQ(gYuleTreeGen.ntrees, 0);
    EXPECT_EQ(parse(OptionSet::kYule, "ntrees=-1;"), 0);
}

}  // namespace
