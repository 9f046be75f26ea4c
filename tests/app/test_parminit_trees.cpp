// The option sets of the tree commands: values parsed into their settings
// records, hidden synonyms that share a variable, ranges, nesting, the
// listing, factory values and the custom tree-list and constraint readers.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/pars_init.h"
#include "qel/qel_output.h"
#include "app/option_test_support.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "cli/shell_settings.h"
#include "app/vorn_params.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

// The variable bound by the first registration of `name` in `set`.
void *variableOf(OptionSet set, const char *name)
{
    CmdParamList *list = createCmdParamList(set);
    void *v = nullptr;
    for (uint32_t i = 0; list != nullptr && i < list->count && v == nullptr; ++i)
        if (std::strcmp(list->params[i].name, name) == 0)
            v = list->params[i].variable;
    destroyCmdParamList(list);
    return v;
}

int gReopts = 0;

class TreeOptionsTest : public OptionTest {
protected:
    void SetUp() override
    {
        OptionTest::SetUp();
        gReopts = 0;
        setVornParamServices({[] { ++gReopts; }, nullptr, nullptr});
    }

    void TearDown() override
    {
        setVornParamServices({});
        OptionTest::TearDown();
    }

    // getCmdParams over an in-memory command text: > 0 when the options were taken.
    int parse(OptionSet set, const std::string &input, const char *command = nullptr)
    {
        return runAs(command, input, [set] { return getCmdParams(set, ";", nullptr); });
    }
};

TEST_F(TreeOptionsTest, CommandOptionsReachTheirRecords)
{
    EXPECT_GT(parse(OptionSet::kConTree,
                    "majRule nostrict percent=67 saveSupport=both treeFile=con.tre;"),
              0);
    EXPECT_EQ(conOpt.majRule, 1);
    EXPECT_EQ(conOpt.strict, 0);
    EXPECT_EQ(conOpt.percent, 67u);
    EXPECT_EQ(conOpt.saveSupport, kSupportBoth);
    EXPECT_STREQ(conOpt.treeFile, "con.tre");

    EXPECT_GT(parse(OptionSet::kSaveTrees,
                    "format=phylip brLens=user supportValues=no maxDecimals=0 "
                    "prefix=rep trees=firstOnly from=2 to=9;"),
              0);
    EXPECT_EQ(svtr.format, kTreeFmtPhylip);
    EXPECT_EQ(svtr.brLens, kSaveBrlensUser);
    EXPECT_EQ(svtr.supportValues, kSupportNo);
    EXPECT_EQ(svtr.maxDecimals, 0u);
    EXPECT_STREQ(svtr.prefix, "rep");
    EXPECT_EQ(svtr.firstOnly, 1);
    EXPECT_EQ(svtr.from, 2u);
    EXPECT_EQ(svtr.to, 9u);

    EXPECT_GT(parse(OptionSet::kGenerateTrees, "random model=markovian ntrees=25 seed=7 rooted;"),
              0);
    EXPECT_EQ(treeGen.random, 1);
    EXPECT_EQ(treeGen.model, 1u);
    EXPECT_EQ(treeGen.ntrees, 25u);
    EXPECT_EQ(treeGen.seed[0], 7u);
    EXPECT_EQ(treeGen.rooted, 1);

    EXPECT_GT(
        parse(OptionSet::kGetTrees, "file=in.tre mode=7 dupTrees=eliminate rooted nostoreBrLens;"),
        0);
    EXPECT_STREQ(gTreefileName, "in.tre");
    EXPECT_EQ(getr.mode, 7u);
    EXPECT_EQ(getr.dupTrees, 1);
    EXPECT_EQ(getr.rooted, 1);
    EXPECT_EQ(getr.storeBrLens, 0);

    EXPECT_GT(parse(OptionSet::kFilter, "maxScore=123.5 numGE=3 taxset=ingroup always purge;"), 0);
    EXPECT_EQ(fltr.maxScore, 123.5);
    EXPECT_EQ(fltr.numGE, 3u);
    EXPECT_STREQ(taxsetTag, "ingroup");
    EXPECT_EQ(fltr.always, 1);
    EXPECT_EQ(fltr.purge, 1);

    EXPECT_GT(parse(OptionSet::kDescribeTrees,
                    "plot=both xout=internal charsPerLine=all chgList opt=delTran;"),
              0);
    EXPECT_EQ(describe.plot, 3u);
    EXPECT_EQ(describe.xout, 2u);
    EXPECT_EQ(describe.charsPerLine, 0u);
    EXPECT_EQ(describe.chgList, 1);
    EXPECT_EQ(gPars.opt, static_cast<uint32_t>(ParsOpt::DelTran));
    EXPECT_EQ(gReopts, 1);  // a changed optimisation forgets the optimised tree
    gPars.opt = 0;

    EXPECT_GT(parse(OptionSet::kCondense, "collapse=ambEqual nodelDupes;"), 0);
    EXPECT_EQ(condenseCollapse, 3u);
    EXPECT_EQ(condenseDelDupes, 0);
    EXPECT_GT(parse(OptionSet::kSumTrees, "norelBurnin filename=run1.t;"), 0);
    EXPECT_EQ(sumT.relBurnin, 0);
    EXPECT_STREQ(sumT.filename, "run1.t");
    EXPECT_GT(parse(OptionSet::kClearTrees, "noWarn;"), 0);
}

TEST_F(TreeOptionsTest, HiddenSynonymsShareTheListedVariable)
{
    struct Pair {
        OptionSet set;
        const char *hidden;
        const char *listed;
    };
    const Pair pairs[] = {{OptionSet::kSaveTrees, "fmt", "format"},
                          {OptionSet::kSaveTrees, "saveBootP", "supportValues"},
                          {OptionSet::kTreeDist, "metric", "measure"},
                          {OptionSet::kTreeDist, "compare", "refTree"},
                          {OptionSet::kTreeDist, "fromTree", "refTree"},
                          {OptionSet::kDescribeTrees, "links", "brLens"},
                          {OptionSet::kDescribeTrees, "cSPoss", "mprSets"},
                          {OptionSet::kConTree, "cutoff", "percent"},
                          {OptionSet::kConTree, "file", "treeFile"},
                          {OptionSet::kAgree, "file", "treefile"},
                          {OptionSet::kAgree, "save", "pref_saveTree"}};
    for (const Pair &p : pairs) {
        EXPECT_NE(variableOf(p.set, p.hidden), nullptr) << p.hidden;
        EXPECT_EQ(variableOf(p.set, p.hidden), variableOf(p.set, p.listed)) << p.hidden;
    }
    // Positions agree: symDiff of the old name is rfSymDiff.
    EXPECT_GT(parse(OptionSet::kTreeDist, "measure=ABC;"), 0);
    EXPECT_GT(parse(OptionSet::kTreeDist, "metric=symDiff compare=4;"), 0);
    EXPECT_EQ(tdOpt.measure, kTreeDistSymDiff);
    EXPECT_EQ(tdOpt.refTree, 4u);
    EXPECT_GT(parse(OptionSet::kSaveTrees, "fmt=newick saveBootP=both;"), 0);
    EXPECT_EQ(svtr.format, kTreeFmtNewick);
    EXPECT_EQ(svtr.supportValues, kSupportBoth);

    // The old save switch is noted and switched off again.
    EXPECT_GT(parse(OptionSet::kConTree, "save cutoff=75;", "ConTree"), 0);
    EXPECT_NE(cap.out.find("The 'Save' option in the ConTree command is now ignored"),
              std::string::npos)
        << cap.out;
    EXPECT_EQ(conOpt.saveToFile, 0);
    EXPECT_EQ(conOpt.percent, 75u);
}

TEST_F(TreeOptionsTest, RefusedValuesLeaveEverythingUnchanged)
{
    struct Case {
        OptionSet set;
        const char *input;
        uint32_t code;
    };
    const Case cases[] = {
        {OptionSet::kSaveTrees, "root maxDecimals=18;", 0},
        {OptionSet::kSaveTrees, "root from=-1;", 0},
        // Modes 0, 6 and above 7 pass here: GetTrees refuses them itself.
        {OptionSet::kGetTrees, "allBlocks mode=-1;", 0},
        {OptionSet::kGetTrees, "allBlocks mode=x;", 0},
        {OptionSet::kGenerateTrees, "rooted ntrees=-1;", 0},
        {OptionSet::kTreeDist, "fd=no refTree=-2;", 0},
        {OptionSet::kDescribeTrees, "chgList charsPerLine=-5;", 0},
        {OptionSet::kFilter, "always numLE=-1;", 0},
        {OptionSet::kGenerateTrees, "rooted constraints=backbone;", 711},
    };
    for (const Case &c : cases) {
        initVornOptions(nullptr);
        treeGen.rooted = 0;  // no factory value
        EXPECT_EQ(parse(c.set, c.input), 0) << c.input;
        ASSERT_FALSE(cap.errors.empty()) << c.input;
        if (c.code) {
            EXPECT_EQ(cap.errors.back().code, c.code) << c.input;
        }
        // The switch before the refused value is back to its factory value.
        EXPECT_EQ(svtr.root + getr.allBlocks + treeGen.rooted + describe.chgList + fltr.always, 0)
            << c.input;
        EXPECT_EQ(tdOpt.fd, 1) << c.input;
        EXPECT_EQ(svtr.maxDecimals, 6u) << c.input;
        EXPECT_EQ(getr.mode, kDefaultGetTreesMode) << c.input;
        EXPECT_EQ(treeGen.ntrees, kDefaultGenTrees) << c.input;
    }
    EXPECT_GT(parse(OptionSet::kSaveTrees, "maxDecimals=17;"), 0);
    EXPECT_GT(parse(OptionSet::kGetTrees, "mode=1;"), 0);
}

TEST_F(TreeOptionsTest, ListingOfSmallSets)
{
    EXPECT_EQ(parse(OptionSet::kCondense, "collapse=no ?;"), -1);
    const std::string header = "\nAvailable options:\n\nKeyword ------- Option type --------------------- Current setting ----------\n";
    EXPECT_EQ(cap.out, header +
                           "collapse        no|maxBrlen|minBrlen|ambEqual     \bmaxBrlen\n"
                           "delDupes        no|yes                            \byes\n");
    EXPECT_EQ(condenseCollapse, 1u);  // a listing takes nothing
    // GetTrees lists neither its nonpersistent hidden switches nor the stored
    // value of an unset file name.
    EXPECT_EQ(parse(OptionSet::kGetTrees, "?;"), -1);
    EXPECT_EQ(cap.out, header +
                           "file            <treefile-name>                   \b(none)\n"
                           "from            <integer-value>                   \b(none)\n"
                           "to              <integer-value>                   \b(none)\n"
                           "mode            <integer-value>                   \b3\n"
                           "allBlocks       no|yes                            \bno\n"
                           "dupTrees        keep|eliminate                    \bkeep\n"
                           "pruneDelTaxa    no|yes                            \bno\n"
                           "storeBrLens     no|yes                            \byes\n"
                           "storeTreeWts    no|yes                            \byes\n"
                           "warnTree        no|yes                            \byes\n");
}

TEST_F(TreeOptionsTest, PlotTreeListTakesOneItemUnlessDelimited)
{
    constexpr uint32_t kTaxa = 5;
    DataInfo *data = createDataInfo();
    ASSERT_NE(data, nullptr);
    data->ntax = data->nActive = kTaxa;
    data->flags = kHaveTaxa;
    DataInfo *savedData = setActiveDataInfo(data);
    ASSERT_EQ(allocMainTreeBuffer(kTaxa, 8, false), 0);
    Tree *tree = createTreeForTaxa(kTaxa, kTaxa, false);
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(makeStarTree(tree, kTaxa, false, 0, nullptr), 0);
    for (int i = 0; i < 4; i++)
        putTree(tree, nullptr, false);  // duplicates kept: four numbered trees
    ASSERT_EQ(numTreesInMainBuffer(), 4u);

    Set *&plot = treeSets[kCharPlotTreeSet];
    auto members = [&] {
        std::vector<uint32_t> m;
        for (uint32_t i = 0; plot != nullptr && i < plot->capacity; i++)
            if (isSetMember(plot, i))
                m.push_back(i + 1);
        return m;
    };
    // The list ends after one item, so the 4 is read as a keyword and refused,
    // which leaves the list as it was (unset).
    EXPECT_EQ(parse(OptionSet::kMPRSets, "trees=2 4;"), 0);
    EXPECT_EQ(plot, nullptr);
    EXPECT_EQ(parse(OptionSet::kMPRSets, "trees=3 tCompress;"), ';');
    EXPECT_EQ(members(), std::vector<uint32_t>{3});
    EXPECT_EQ(parse(OptionSet::kReconstruct, "trees=(2 4) opt=minF;"), ';');
    EXPECT_EQ(members(), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(parse(OptionSet::kMPRSets, "trees=5;"), 0);
    EXPECT_EQ(cap.errors.back().code, 702u);
    EXPECT_EQ(members(), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(parse(OptionSet::kReconstruct, "trees=1 opt=bad;"), 0);
    EXPECT_EQ(members(), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(parse(OptionSet::kReconstruct, "trees=?;"), -1);
    EXPECT_NE(cap.out.find("# | all | (#-#) | (# ...)"), std::string::npos) << cap.out;
    EXPECT_NE(cap.out.find("2 4"), std::string::npos) << cap.out;

    gPars.opt = 0;
    treeDraw.tCompress = 0;
    destroyTree(tree, false);
    clearTrees(false, false);
    destroyTreeBuffer(data->mainTreeBuffer);
    data->mainTreeBuffer = nullptr;
    setActiveTreeBuffer(nullptr);
    setActiveDataInfo(savedData);
    destroyDataInfo(data);
}

}  // namespace
