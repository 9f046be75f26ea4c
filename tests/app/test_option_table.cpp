// The option table as a whole: every option set named by the command table
// builds and lists its options in registration order, every keyword option
// lists its accepted values, hidden options stay out of the listings, and
// Factory brings back the factory values the analyses start from.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "distance/distance_settings.h"
#include "likelihood/likelihood_settings.h"
#include "qel/qel_output.h"
#include "quartets/quartets_settings.h"
#include "app/option_test_support.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "app/vorn_commands.h"

namespace {

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// What the table registers for one set, as the listing should show it.
struct SetContents {
    std::vector<std::string> listed;  // not hidden, not headings, in order
    std::vector<std::string> hidden;  // accepted on input, never listed
    std::vector<std::pair<std::string, std::vector<std::string>>> keywordLists;
};

SetContents contentsOf(OptionSet set)
{
    SetContents c;
    CmdParamList *list = createCmdParamList(set);
    EXPECT_NE(list, nullptr) << "set " << optionSetNumber(set);
    for (uint32_t i = 0; list != nullptr && i < list->count; ++i) {
        const CmdParam &p = list->params[i];
        uint32_t type = cmdParamType(&p);
        if (type == kParamHeading)
            continue;
        if (p.typeFlags & kParamHidden) {
            if (!(p.typeFlags & kParamNotInput) && p.name[0] != '\0')
                c.hidden.push_back(p.name);
            continue;
        }
        c.listed.push_back(p.name);
        if ((type == kParamBoolKeyword || type == kParamKeyword || type == kParamKeywordOff) &&
            !(p.typeFlags & kParamNotInput)) {
            std::vector<std::string> words;
            for (const char *k = p.keywords; k != nullptr && *k != '\0'; k += std::strlen(k) + 1)
                if (*k != kKeywordAliasMark)
                    words.push_back(k);
            c.keywordLists.push_back({p.name, words});
        }
    }
    destroyCmdParamList(list);
    return c;
}

// The first word of each option line of a "?" listing: the lines of each
// table from its "Keyword" header to the next empty line.
std::vector<std::string> listedKeywords(const std::string &listing)
{
    std::vector<std::string> words;
    std::istringstream in(listing);
    std::string line;
    bool inTable = false;
    while (std::getline(in, line)) {
        if (line.rfind("Keyword ---", 0) == 0)
            inTable = true;
        else if (line.empty())
            inTable = false;
        else if (inTable && line[0] != ' ')  // continuation lines and notes are indented
            words.push_back(lower(line.substr(0, line.find(' '))));
    }
    return words;
}

class OptionTableTest : public OptionTest {};

// Sets a command names that register nothing.
const std::set<OptionSet> kEmptySets = {OptionSet::kUnderDevelopment, OptionSet::kAstral,
                                        OptionSet::kPython};

TEST_F(OptionTableTest, EveryCommandOptionSetBuildsAndListsInOrder)
{
    std::set<OptionSet> walked;
    for (const CmdTableEntry &row : vorn_commands) {
        const OptionSet set = row.optionSet;
        if (set == CMD_NO_OPTIONS || !walked.insert(set).second)
            continue;
        SCOPED_TRACE(std::string(row.name) + ", option set " +
                     std::to_string(optionSetNumber(set)));
        const SetContents c = contentsOf(set);
        // Sets that the tables give only hidden options list nothing.
        EXPECT_EQ(c.listed.empty() && c.hidden.empty(), kEmptySets.count(set) == 1);

        EXPECT_EQ(parse(set, "?;"), -1);
        EXPECT_TRUE(cap.errors.empty()) << cap.errors.front();
        std::vector<std::string> expected;
        for (const std::string &name : c.listed)
            expected.push_back(lower(name));
        const std::vector<std::string> shown = listedKeywords(cap.out);
        EXPECT_EQ(shown, expected) << cap.out;
        // Hidden options are not listed, yet each is still a keyword (whatever
        // it then makes of the value "?").
        for (const std::string &name : c.hidden) {
            parse(set, name + "=?;");
            for (const CapturedMsg &m : cap.errors)
                EXPECT_NE(m.code, 143u) << name;
        }
    }
    EXPECT_GE(walked.size(), 77u);  // distinct sets of the 144 rows
}

TEST_F(OptionTableTest, EveryKeywordOptionListsItsValues)
{
    std::set<OptionSet> walked;
    uint32_t checked = 0;
    for (const CmdTableEntry &row : vorn_commands) {
        const OptionSet set = row.optionSet;
        if (set == CMD_NO_OPTIONS || !walked.insert(set).second)
            continue;
        for (const auto &[name, words] : contentsOf(set).keywordLists) {
            SCOPED_TRACE(std::string(row.name) + " " + name);
            EXPECT_EQ(parse(set, name + "=?;"), -1);
            EXPECT_TRUE(cap.errors.empty());
            std::string usage = "= ";
            for (const std::string &w : words)
                usage += (usage.size() > 2 ? "|" : "") + w;
            EXPECT_NE(lower(cap.out).find(lower(usage) + " (current"), std::string::npos)
                << cap.out;
            ++checked;
        }
    }
    EXPECT_GT(checked, 150u);
}

// ConTree, SaveTrees and HSearch are checked with their own option sets; these
// are the remaining factory values the analyses rely on.
TEST_F(OptionTableTest, FactoryRestoresLSetDSetAndSvdQuartets)
{
    ASSERT_GT(parse(OptionSet::kLSet,
                    "NST=6 variant=F84 rates=gamma ncat=8 precision=double novector "
                    "nthreads=auto optimizer=LBFGS blopt=brent1D spToler=1e-5 "
                    "dpToler=1e-8 clRescale=1e-10 maxBrlen=5 bfgsM=3 bfgsTol=0.1;"),
              0)
        << cap.errors.front();
    ASSERT_GT(parse(OptionSet::kDSet,
                    "lsWts=expo negBrLen=allow baseFreq=equal psdk=1 precision=9 "
                    "recSeqLen=10 undefMult=3;"),
              0);
    ASSERT_GT(parse(OptionSet::kSVDQuartets, "evalQuartets=all nquartets=500 nopreferAllQ;"), 0);
    ASSERT_EQ(ml.NST, 2);
    ASSERT_EQ(dist.lsWts, 1u);
    ASSERT_EQ(svdqOpt.evalQuartets, 0);

    ASSERT_EQ(factorySettings(false), 0);
    EXPECT_EQ(ml.NST, 1);
    EXPECT_EQ(ml.variant, 0);
    EXPECT_EQ(ml.rates, 0);
    EXPECT_EQ(ml.ncat, 4);
    EXPECT_EQ(ml.precision, 1);
    EXPECT_EQ(ml.vector, 1);
    EXPECT_EQ(ml.nthreads, 1);
    EXPECT_EQ(ml.optimizer, 0);
    EXPECT_EQ(ml.blopt, 0);
    EXPECT_EQ(ml.spToler, 1e-07);
    EXPECT_EQ(ml.dpToler, 1e-10);
    EXPECT_EQ(ml.clRescale, 1e-20);
    EXPECT_EQ(ml.maxBrlen, 10.0);
    EXPECT_EQ(ml.bfgsM, -1);
    EXPECT_EQ(ml.bfgsTol, -1.0);
    EXPECT_EQ(dist.lsWts, 0u);
    EXPECT_EQ(dist.negBrLen, kNegBrLenSetZero);
    EXPECT_EQ(dist.baseFreq, 1u);
    EXPECT_EQ(dist.psdk, 1u);
    EXPECT_EQ(dist.precision, 5);
    EXPECT_EQ(dist.recSeqLen, 6);
    EXPECT_EQ(dist.undefMult, 2.0);
    EXPECT_EQ(svdqOpt.evalQuartets, 1);
    EXPECT_EQ(svdqOpt.nquartets, 100000.0);
    EXPECT_EQ(svdqOpt.preferAllQ, 1);
}

}  // namespace
