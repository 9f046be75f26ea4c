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

// Whatever command changed an option, one Factory brings it back: every
// option that has a factory value is given another value, then each must
// read as it did after the first Factory. Options read by a function of
// their own keep their value where that function does, so they are left out.
TEST_F(OptionTableTest, FactoryRestoresEveryOption)
{
    ASSERT_EQ(factorySettings(false), 0);
    CmdParamList *list = createCmdParamList(OptionSet::kAll);
    ASSERT_NE(list, nullptr);
    struct Held {
        const CmdParam *option;
        std::string factory;  // the text, or the value's bytes
    };
    auto isText = [](uint32_t type) { return type == kParamString || type == kParamFilename; };
    auto valueOf = [&isText](const CmdParam &p) {
        const uint32_t type = cmdParamType(&p);
        const char *v = static_cast<const char *>(p.variable);
        if (isText(type))
            return std::string(v);
        return std::string(v, type == kParamSeed ? 4 * sizeof(uint32_t) : cmdParamScalarSize(type));
    };
    std::vector<Held> held;
    std::set<void *> changed;  // an option registered by several sets is changed once
    for (uint32_t i = 0; i < list->count; ++i) {
        const CmdParam &p = list->params[i];
        const uint32_t type = cmdParamType(&p);
        if (p.variable == nullptr || !(p.typeFlags & kParamHasFactory) || type == kParamFxn || type == kParamSlot ||
            !changed.insert(p.variable).second)
            continue;
        held.push_back({&p, valueOf(p)});
        void *v = p.variable;
        switch (type) {
        case kParamBool:
        case kParamBoolKeyword:
            *static_cast<uint8_t *>(v) = *static_cast<uint8_t *>(v) == 0;
            break;
        case kParamKeyword:
        case kParamKeywordOff:  // another entry of the list, which has at least two
            *static_cast<uint32_t *>(v) = *static_cast<uint32_t *>(v) == 0;
            break;
        case kParamInt:
        case kParamIntOrLabel:
        case kParamIntOrNo:
            *static_cast<int32_t *>(v) += 1;
            break;
        case kParamChar:
            *static_cast<int32_t *>(v) = *static_cast<int32_t *>(v) == 'x' ? 'y' : 'x';
            break;
        case kParamReal:
        case kParamRealOrNo:
            *static_cast<double *>(v) += 1.0;
            break;
        case kParamSeed:
            for (int k = 0; k < 4; ++k)
                static_cast<uint32_t *>(v)[k] += 1;
            break;
        case kParamString:
        case kParamFilename:
            std::strcpy(static_cast<char *>(v), "changed.out");
            break;
        default:
            ADD_FAILURE() << p.name << ": an option type this test does not change";
        }
        ASSERT_NE(valueOf(p), held.back().factory) << p.name;
    }
    EXPECT_GT(held.size(), 500u);  // the walk reached the tables

    EXPECT_EQ(factorySettings(false), 0);
    for (const Held &h : held)
        EXPECT_EQ(valueOf(*h.option), h.factory) << h.option->name;
    destroyCmdParamList(list);
}

// A message about an option finds its name through the variable it sets.
TEST_F(OptionTableTest, OptionNameFoundThroughItsVariable)
{
    EXPECT_STREQ(optionName(OptionSet::kAll, &dist.lsWts), "lsWts");
    EXPECT_STREQ(optionName(OptionSet::kAll, &ml.NST), "NST");
    int unbound = 0;
    EXPECT_STREQ(optionName(OptionSet::kAll, &unbound), "unknown");
}

}  // namespace
