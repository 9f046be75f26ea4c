#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "capture.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/qel_commands.h"
#include "app/vorn_commands.h"
#include "app/vorn_handlers.h"

namespace {

std::string lowered(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class CmdTableTest : public ShellTest {};

TEST_F(CmdTableTest, InstalledWithEveryRowWellFormed)
{
    const CmdTable *t = getCmdTable();
    ASSERT_EQ(t->rows, vorn_commands);
    ASSERT_EQ(t->synonyms, vorn_cmdSynonyms);
    ASSERT_EQ(t->count, std::size(vorn_commands));

    std::set<std::string> names;
    for (const CmdTableEntry &r : vorn_commands) {
        ASSERT_NE(r.name, nullptr);
        ASSERT_NE(r.handler, nullptr) << r.name;
        ASSERT_NE(r.helpKey, nullptr) << r.name;
        ASSERT_NE(r.description, nullptr) << r.name;
        EXPECT_TRUE(names.insert(lowered(r.name)).second) << "duplicate " << r.name;
        EXPECT_EQ(r.flags & ~(CMD_NEEDED_BLOCKS | CMD_HIDDEN), 0u) << r.name;
        EXPECT_TRUE(r.optionSet == CMD_NO_OPTIONS || optionSetNumber(r.optionSet) < 200) << r.name;
    }
}

// Texts that Help and usage messages show: brackets close, and no two
// commands doing different things share a one-line description.
TEST_F(CmdTableTest, UsageAndDescriptionTextsAreWellFormed)
{
    auto balanced = [](const char *text) {
        std::string open;
        for (const char *p = text; p && *p; ++p) {
            if (*p == '[' || *p == '{' || *p == '(') {
                open.push_back(*p);
            } else if (*p == ']' || *p == '}' || *p == ')') {
                const char want = *p == ']' ? '[' : *p == '}' ? '{' : '(';
                if (open.empty() || open.back() != want)
                    return false;
                open.pop_back();
            }
        }
        return open.empty();
    };
    std::map<std::string, const CmdTableEntry *> byDescription;
    for (const CmdTableEntry &r : vorn_commands) {
        EXPECT_TRUE(balanced(r.usage)) << r.name << ": " << r.usage;
        EXPECT_TRUE(balanced(r.description)) << r.name << ": " << r.description;
        if (!r.description || !*r.description)
            continue;
        auto [it, fresh] = byDescription.emplace(r.description, &r);
        EXPECT_TRUE(fresh || it->second->handler == r.handler)
            << r.name << " and " << it->second->name << " share \"" << r.description << "\"";
    }
}

TEST_F(CmdTableTest, EverySynonymReachesItsTarget)
{
    const RenamedCmd *end = &vorn_cmdSynonyms[VORN_SYNONYM_COUNT];
    EXPECT_EQ(end->minPrefix, 0u);
    EXPECT_STREQ(end->alias, "");
    EXPECT_EQ(end->target, nullptr);

    // The first row that accepts a word decides the note, so an abbreviation
    // shared by two aliases of one target ("ShowCharP") names the earlier alias.
    auto firstAccepting = [end](const std::string &word) {
        for (const RenamedCmd *s = vorn_cmdSynonyms; s != end; ++s)
            if (word.size() >= s->minPrefix &&
                lowered(std::string(s->alias).substr(0, word.size())) == lowered(word))
                return s;
        return end;
    };
    cap.blocks = CMD_NEEDED_BLOCKS;
    int earlierAlias = 0;
    for (const RenamedCmd *s = vorn_cmdSynonyms; s != end; ++s) {
        std::string alias = s->alias;
        ASSERT_GE(s->minPrefix, 1u) << alias;
        ASSERT_LE(s->minPrefix, alias.size()) << alias;
        for (size_t len = s->minPrefix; len <= alias.size(); ++len) {
            std::string word = alias.substr(0, len);
            const RenamedCmd *used = firstAccepting(word);
            ASSERT_STREQ(used->target, s->target) << word;
            earlierAlias += used != s;
            std::string note = used->renamed ? std::string("Note: The '") + used->alias +
                                                   "' command has been renamed.  Use '" +
                                                   used->target + "' instead.\n"
                                             : "";
            cap.out.clear();
            EXPECT_EQ(validCmd(nullptr, word.c_str(), 0), row(s->target)) << word;
            EXPECT_EQ(cap.out, note) << word;
        }
    }
    EXPECT_EQ(earlierAlias, 2);
    EXPECT_TRUE(cap.errors.empty());
    EXPECT_FALSE(vorn_cmdSynonyms[0].renamed);  // "?" for Help
}

}  // namespace
