#include <cctype>
#include <string>
#include <vector>

#include "capture.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"
#include "app/vorn_commands.h"
#include "app/vorn_params.h"
#include "app/vorn_handlers.h"
#include "app/vorn_shellcmds.h"
#include "distance/showdist.h"
#include "qel/qel_io.h"

namespace {

const std::string kUnrecognizedTail =
    "\" is unrecognized.\tIf it is spelled correctly, look for problems in a previous command, "
    "such as an unintentional semicolon.";

std::string unrecognized(const std::string &word)
{
    return "Command \"" + word + kUnrecognizedTail;
}

// The quiet form of the unrecognised-word message: plain lines between two
// newlines, the explanation on a line of its own rather than after a tab.
std::string quietUnrecognized(const std::string &word)
{
    return "\nCommand \"" + word +
           "\" is unrecognized.\nIf it is spelled correctly, look for problems in a previous command, "
           "such as an unintentional semicolon.\n";
}

std::string lowered(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Plain reference for lookup without synonyms: every row the word prefixes,
// in table order; a whole name wins, else a single match, else ambiguity
// naming the second and first matches.
struct RefResult {
    const CmdTableEntry *row = nullptr;
    std::string ambiguity;
};

RefResult referenceLookup(const std::string &word)
{
    std::vector<const CmdTableEntry *> matches;
    for (const CmdTableEntry &r : vorn_commands) {
        std::string name = lowered(r.name);
        if (!word.empty() && name.compare(0, word.size(), lowered(word)) == 0 &&
            word.size() <= name.size()) {
            if (word.size() == name.size())
                return {&r, ""};
            matches.push_back(&r);
        }
    }
    if (matches.size() == 1)
        return {matches[0], ""};
    if (matches.size() > 1)
        return {nullptr, "Ambiguous command abbreviation: " + word + " (" + matches[1]->name +
                             " " + matches[0]->name + ")"};
    return {};
}

class LookupTest : public ShellTest {};

TEST_F(LookupTest, NamesInAnyCaseFindTheirRow)
{
    cap.blocks = CMD_NEEDS_CHARACTERS;
    for (const char *word : {"HSearch", "hsearch", "HSEARCH", "hSeArCh", "hs", "HS"})
        EXPECT_EQ(validCmd(nullptr, word, 0), row("HSearch")) << word;
    EXPECT_EQ(validCmd(nullptr, "!", 0), row("!"));
    EXPECT_EQ(validCmd(nullptr, "#nexus", 0), row("#Nexus"));
    EXPECT_EQ(validCmd(nullptr, "upg", 0), row("UPGMA"));
    EXPECT_TRUE(cap.errors.empty());
    EXPECT_TRUE(cap.out.empty());
}

TEST_F(LookupTest, AmbiguityNamesSecondAndFirstMatchInTableOrder)
{
    EXPECT_EQ(validCmd(nullptr, "h", 0), nullptr);
    EXPECT_EQ(validCmd(nullptr, "SE", 0), nullptr);
    EXPECT_EQ(validCmd(nullptr, "show", 0), nullptr);
    std::vector<CapturedMsg> expected = {
        {145, "Ambiguous command abbreviation: h (HomPart Help)"},
        {145, "Ambiguous command abbreviation: SE (SetTimer Set)"},
        {145, "Ambiguous command abbreviation: show (ShowCPartition ShowAnc)"},
    };
    EXPECT_EQ(cap.errors, expected);

    // Quiet lookups print the same text as a plain line.
    EXPECT_EQ(validCmd(nullptr, "h", 1), nullptr);
    EXPECT_EQ(cap.out, "\nAmbiguous command abbreviation: h (HomPart Help)\n");
    EXPECT_EQ(cap.errors.size(), 3u);
}

TEST_F(LookupTest, WholeNameBeatsLongerNames)
{
    cap.blocks = CMD_NEEDS_TAXA;
    EXPECT_EQ(validCmd(nullptr, "set", 0), row("Set"));
    EXPECT_EQ(validCmd(nullptr, "sett", 0), row("SetTimer"));
    EXPECT_EQ(validCmd(nullptr, "Wts", 0), nullptr);  // needs CHARACTERS
    cap.blocks = CMD_NEEDS_CHARACTERS;
    EXPECT_EQ(validCmd(nullptr, "Wts", 0), row("Wts"));
    EXPECT_EQ(validCmd(nullptr, "wtse", 0), row("WtSet"));
}

TEST_F(LookupTest, WholeNameWinsEvenAfterTwoLongerNames)
{
    // Were the first clash decisive, "Set" could never be typed in this table.
    const CmdTableEntry rows[] = {
        {"Settings", 0, doSetCmd, "", CMD_NO_OPTIONS, nullptr, ""},
        {"SetTimer", 0, setSimTimer, "", CMD_NO_OPTIONS, nullptr, ""},
        {"Set", 0, doSetCmd, "", CMD_NO_OPTIONS, nullptr, ""},
    };
    CmdTable table = {rows, nullptr, 3};
    EXPECT_EQ(validCmd(&table, "SET", 0), &rows[2]);
    EXPECT_EQ(validCmd(&table, "se", 0), nullptr);
    ASSERT_EQ(cap.errors.size(), 1u);
    EXPECT_EQ(cap.errors[0].text, "Ambiguous command abbreviation: se (SetTimer Settings)");
}

TEST_F(LookupTest, EveryPrefixOfEveryNameAgreesWithReference)
{
    // Without synonyms, so that the reference needs only the rows.
    setCommandTable(nullptr, vorn_commands, VORN_COMMAND_COUNT, nullptr);
    cap.blocks = CMD_NEEDED_BLOCKS;
    int checked = 0;
    for (const CmdTableEntry &r : vorn_commands) {
        std::string name = r.name;
        for (size_t len = 1; len <= name.size(); ++len) {
            std::string word = name.substr(0, len);
            if (len % 2 == 0)
                word = lowered(word);
            RefResult ref = referenceLookup(word);
            cap.errors.clear();
            const CmdTableEntry *got = validCmd(nullptr, word.c_str(), 0);
            ASSERT_EQ(got, ref.row) << word;
            if (ref.row == nullptr) {
                ASSERT_EQ(cap.errors.size(), 1u) << word;
                EXPECT_EQ(cap.errors[0], (CapturedMsg{145, ref.ambiguity}));
            } else {
                EXPECT_TRUE(cap.errors.empty()) << word;
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 1000);
    EXPECT_TRUE(cap.out.empty());
}

TEST_F(LookupTest, SynonymsFromTheirMinimumLength)
{
    cap.blocks = CMD_NEEDS_CHARACTERS;
    const std::string lenFitNote =
        "Note: The 'LenFit' command has been renamed.  Use 'PScores' instead.\n";
    for (const char *word : {"LenFit", "LenF", "lenfi", "LENFIT"}) {
        cap.out.clear();
        EXPECT_EQ(validCmd(nullptr, word, 0), row("PScores")) << word;
        EXPECT_EQ(cap.out, lenFitNote) << word;
    }
    // Below the minimum, or longer than the alias, the word is looked up as it is.
    cap.out.clear();
    EXPECT_EQ(validCmd(nullptr, "Len", 0), nullptr);
    EXPECT_EQ(validCmd(nullptr, "LenFits", 0), nullptr);
    EXPECT_EQ(cap.out, "");
    std::vector<CapturedMsg> expected = {{152, unrecognized("Len")},
                                         {152, unrecognized("LenFits")}};
    EXPECT_EQ(cap.errors, expected);

    // "Ch" is short of ChgPlot's three letters and clashes among the commands.
    cap.errors.clear();
    EXPECT_EQ(validCmd(nullptr, "Ch", 0), nullptr);
    EXPECT_EQ(cap.errors, (std::vector<CapturedMsg>{
                              {145, "Ambiguous command abbreviation: Ch (CharSet CharPartition)"}}));
    cap.out.clear();
    EXPECT_EQ(validCmd(nullptr, "chg", 0), row("Reconstruct"));
    EXPECT_EQ(cap.out, "Note: The 'ChgPlot' command has been renamed.  Use 'Reconstruct' instead.\n");

    // Alternative names that were never renamed give no note.
    cap.out.clear();
    EXPECT_EQ(validCmd(nullptr, "q", 0), row("Quit"));
    EXPECT_EQ(validCmd(nullptr, "?", 0), row("Help"));
    EXPECT_EQ(cap.out, "");
}

TEST_F(LookupTest, DataCommandsNeedTheirBlocks)
{
    const std::string tail =
        " block exists.\tYou first need to execute a file containing one of these blocks.";
    EXPECT_EQ(validCmd(nullptr, "HSearch", 0), nullptr);
    EXPECT_EQ(validCmd(nullptr, "agree", 0), nullptr);
    EXPECT_EQ(validCmd(nullptr, "rm", 0), nullptr);
    EXPECT_EQ(validCmd(nullptr, "CharPartition", 0), nullptr);
    std::vector<CapturedMsg> expected = {
        {210, "The \"HSearch\" command is only valid when an active DATA or CHARACTERS" + tail},
        {210, "The \"Agree\" command is only valid when an active DATA or TAXA" + tail},
        {210, "The \"Rm\" command is only valid when an active DATA or CHARACTERS" + tail},
        {210, "The \"CharPartition\" command is only valid when an active DATA or CHARACTERS" +
                  tail},
    };
    EXPECT_EQ(cap.errors, expected);

    const CmdTableEntry distOnly = {"DistOnly", CMD_NEEDS_DISTANCES, doShowDistCmd, "",
                                    CMD_NO_OPTIONS, nullptr, ""};
    cap.errors.clear();
    EXPECT_EQ(confirmAppCmdValid(&distOnly), nullptr);
    EXPECT_EQ(cap.errors, (std::vector<CapturedMsg>{
                              {210, "The \"DistOnly\" command is only valid when an active DATA "
                                    "or DISTANCES" + tail}}));

    // Any one of the named blocks suffices; commands without flags always run.
    cap.errors.clear();
    cap.blocks = CMD_NEEDS_DISTANCES;
    EXPECT_EQ(validCmd(nullptr, "HSearch", 0), row("HSearch"));
    EXPECT_EQ(confirmAppCmdValid(&distOnly), &distOnly);
    EXPECT_EQ(validCmd(nullptr, "Agree", 0), nullptr);
    cap.blocks = CMD_NEEDS_TAXA;
    EXPECT_EQ(validCmd(nullptr, "Agree", 0), row("Agree"));
    EXPECT_EQ(validCmd(nullptr, "CharPartition", 0), row("CharPartition"));
    cap.blocks = 0;
    EXPECT_EQ(validCmd(nullptr, "Time", 0), row("Time"));
    EXPECT_EQ(confirmAppCmdValid(nullptr), nullptr);
    EXPECT_EQ(cap.errors.size(), 1u);

    // Quiet lookups (Help, Defaults) do not check the blocks.
    EXPECT_EQ(validCmd(nullptr, "HSearch", 1), row("HSearch"));
    EXPECT_EQ(cap.errors.size(), 1u);
}

TEST_F(LookupTest, QuestionMarkShowsUsageInsteadOfRunning)
{
    cap.nextChar = '?';
    // Usage comes before the needed-block test: no data is loaded here.
    EXPECT_EQ(validCmd(nullptr, "hs", 0), nullptr);
    EXPECT_EQ(cap.out, "\nUsage: \bHSearch [options...] ;\n\n");
    EXPECT_EQ(cap.listedSets, std::vector<OptionSet>{OptionSet::kHSearch});
    EXPECT_EQ(cap.skips, 1);
    EXPECT_TRUE(cap.errors.empty());

    struct Case {
        const char *word;
        const char *usage;
        std::vector<OptionSet> listed;
    } cases[] = {
        // An empty usage text.
        {"ClearTrees", "\nUsage: \bClearTrees ;\n\n", {OptionSet::kClearTrees}},
        {"CD", "\nUsage: \bCD new-directory-name ;\n", {}},
        {"Time", "\nUsage: \bTime ;\n", {}},
        {"Agree", "\nUsage: \bAgree [tree-list] [/ options...] ;\n\n", {OptionSet::kAgree}},
    };
    for (const Case &c : cases) {
        cap.out.clear();
        cap.listedSets.clear();
        EXPECT_EQ(validCmd(nullptr, c.word, 1), nullptr) << c.word;
        EXPECT_EQ(cap.out, c.usage);
        EXPECT_EQ(cap.listedSets, c.listed) << c.word;
    }
    EXPECT_EQ(cap.skips, 5);

    // In a file the caller stops there, so the lookup says why, unless the
    // ErrorStop option lets the file go on.
    InputStatus file{};
    initDocumentInput(&file, "", 0);
    file.batch = 1;
    setActiveInput(&file);
    EXPECT_EQ(validCmd(nullptr, "Time", 0), nullptr);
    ASSERT_EQ(cap.errors.size(), 1u);
    EXPECT_NE(cap.errors[0].text.find("\"Time\" command was not run"), std::string::npos);
    EXPECT_EQ(validCmd(nullptr, "Time", 1), nullptr);
    cap.errorStop = false;
    EXPECT_EQ(validCmd(nullptr, "Time", 0), nullptr);
    EXPECT_EQ(cap.errors.size(), 1u);
    setActiveInput(nullptr);
    cap.errors.clear();
    cap.skips = 5;

    // An unclosed comment ends the lookup silently; the end of input does not.
    cap.out.clear();
    cap.nextChar = -2;
    EXPECT_EQ(validCmd(nullptr, "Time", 0), nullptr);
    cap.nextChar = -1;
    EXPECT_EQ(validCmd(nullptr, "Time", 0), row("Time"));
    EXPECT_EQ(cap.out, "");
    EXPECT_EQ(cap.skips, 5);
}

// Where the file goes on after a refusal, the refused command's options are
// skipped with it; where it stops, nothing more is read.
TEST_F(LookupTest, RefusedCommandsAreSkippedWhenTheFileGoesOn)
{
    for (const bool stop : {true, false}) {
        cap.errorStop = stop;
        cap.skips = 0;
        EXPECT_EQ(validCmd(nullptr, "DScores", 0), nullptr);  // no data
        EXPECT_EQ(validCmd(nullptr, "h", 0), nullptr);        // ambiguous
        EXPECT_EQ(cap.skips, stop ? 0 : 2);
        EXPECT_EQ(validCmd(nullptr, "h", 1), nullptr);
        EXPECT_EQ(validCmd(nullptr, "Time", 0), row("Time"));
        EXPECT_EQ(cap.skips, stop ? 0 : 2);
    }
    EXPECT_EQ(cap.errors.size(), 4u);
}

TEST_F(LookupTest, UsageOfTheCurrentCommandOrOfASetAlone)
{
    cmdOpt.currentCmd = row("LSet");
    showCmdUsage(nullptr, OptionSet::kLSet, nullptr, true);
    EXPECT_EQ(cap.out, "\nUsage: \bLSet [model=<model-name>] [fixAllParams | estAllParams] "
                       "[options...] ;\n\n");
    cmdOpt.currentCmd = nullptr;
    cap.out.clear();
    showCmdUsage(nullptr, OptionSet::kSet, nullptr, true);
    EXPECT_EQ(cap.out, "");
    EXPECT_EQ(cap.listedSets, (std::vector<OptionSet>{OptionSet::kLSet, OptionSet::kSet}));
}

TEST_F(LookupTest, UnrecognizedWordsFollowErrorStop)
{
    EXPECT_EQ(validCmd(nullptr, "xyzzy", 0), nullptr);
    EXPECT_EQ(cap.errors, (std::vector<CapturedMsg>{{152, unrecognized("xyzzy")}}));
    EXPECT_TRUE(cap.warnings.empty());
    EXPECT_EQ(cap.skips, 0);

    cap.errors.clear();
    cap.errorStop = false;
    EXPECT_EQ(validCmd(nullptr, "xyzzy", 0), nullptr);
    EXPECT_TRUE(cap.errors.empty());
    EXPECT_EQ(cap.warnings, (std::vector<CapturedMsg>{{152, unrecognized("xyzzy")}}));
    EXPECT_EQ(cap.skips, 1);

    EXPECT_EQ(validCmd(nullptr, "xyzzy", 1), nullptr);
    EXPECT_EQ(cap.out, quietUnrecognized("xyzzy"));
    EXPECT_EQ(validCmd(nullptr, "", 0), nullptr);
    EXPECT_EQ(validCmd(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(cap.warnings.size(), 3u);
    EXPECT_EQ(cap.warnings[1].text, unrecognized(""));
}

TEST_F(LookupTest, ControlCharactersAreNeverEchoed)
{
    for (const char *word : {"ab\x01" "c", "\x1f", "x\xff", "hs\x1b[2J"}) {
        cap.errors.clear();
        cap.out.clear();
        EXPECT_EQ(validCmd(nullptr, word, 0), nullptr);
        EXPECT_EQ(cap.errors, (std::vector<CapturedMsg>{{152, unrecognized("(unknown)")}}));
        EXPECT_EQ(validCmd(nullptr, word, 1), nullptr);
        EXPECT_EQ(cap.out, quietUnrecognized("(unknown)"));
    }
    // Bytes above 127 other than 255 are ordinary text.
    cap.errors.clear();
    EXPECT_EQ(validCmd(nullptr, "caf\xc3\xa9", 0), nullptr);
    EXPECT_EQ(cap.errors[0].text, unrecognized("caf\xc3\xa9"));
}

TEST_F(LookupTest, CommandNamePrefersVisibleRows)
{
    EXPECT_STREQ(commandName(doHSearchCmd), "HSearch");
    EXPECT_STREQ(commandName(doWeightsCmd), "Weights");
    EXPECT_STREQ(commandName(doRestoreCmd), "Restore");
    EXPECT_STREQ(commandName(skipRestOfCmd), "Comment");  // all its rows are hidden
    EXPECT_STREQ(commandName(nullptr), "(unknown)");
    EXPECT_STREQ(commandName([] { return 0; }), "(unknown)");

    const CmdTableEntry rows[] = {
        {"Old", CMD_HIDDEN, doTimeCmd, "", CMD_NO_OPTIONS, nullptr, ""},
        {"Other", 0, doHelpCmd, "", CMD_NO_OPTIONS, nullptr, ""},
        {"New", 0, doTimeCmd, "", CMD_NO_OPTIONS, nullptr, ""},
        {"Newer", 0, doTimeCmd, "", CMD_NO_OPTIONS, nullptr, ""},
    };
    setCommandTable(nullptr, rows, 4, nullptr);
    EXPECT_STREQ(commandName(doTimeCmd), "New");
    setCommandTable(nullptr, rows, 1, nullptr);
    EXPECT_STREQ(commandName(doTimeCmd), "Old");
}

TEST_F(LookupTest, SetCommandTableHandsBackThePrevious)
{
    const CmdTableEntry rows[] = {{"Only", 0, doTimeCmd, "", CMD_NO_OPTIONS, nullptr, ""}};
    CmdTable saved{};
    setCommandTable(&saved, rows, 1, nullptr);
    EXPECT_EQ(saved.rows, vorn_commands);
    EXPECT_EQ(saved.count, VORN_COMMAND_COUNT);
    EXPECT_EQ(saved.synonyms, vorn_cmdSynonyms);
    EXPECT_EQ(getCmdTable()->rows, rows);
    EXPECT_EQ(validCmd(nullptr, "o", 0), &rows[0]);
    EXPECT_EQ(validCmd(nullptr, "q", 0), nullptr);  // the synonyms went with the old table
}

class AbbrevTest : public ShellTest {
protected:
    std::string fmt(const CmdTable *table, uint32_t i)
    {
        char buf[64];
        return fmtCmdName(table, table->rows[i].name, i, buf, sizeof buf);
    }
};

TEST_F(AbbrevTest, NamesShownAsStoredUnlessAbbreviating)
{
    EXPECT_EQ(fmt(getCmdTable(), 80), "RAxMLSearch");
    cmdOpt.showAbbrev = 1;
    // "ra" also starts RateSet, so three capitals are needed, whatever the case.
    EXPECT_EQ(fmt(getCmdTable(), 80), "RAXmlsearch");
    EXPECT_EQ(fmt(getCmdTable(), 79), "RATeset");
    EXPECT_EQ(fmt(getCmdTable(), 92), "SET");
    EXPECT_EQ(fmt(getCmdTable(), 140), "SETTimer");
    EXPECT_EQ(fmt(getCmdTable(), 10), "CD");
    EXPECT_EQ(fmt(getCmdTable(), 0), "!");

    char small[4];
    EXPECT_STREQ(fmtCmdName(getCmdTable(), "Agree", 1, small, sizeof small), "AGr");
    cmdOpt.showAbbrev = 0;
    EXPECT_STREQ(fmtCmdName(getCmdTable(), "Agree", 1, small, sizeof small), "Agr");
}

TEST_F(AbbrevTest, CapitalsAreTheShortestPrefixLookupAccepts)
{
    setCommandTable(nullptr, vorn_commands, VORN_COMMAND_COUNT, nullptr);
    cmdOpt.showAbbrev = 1;
    cap.blocks = CMD_NEEDED_BLOCKS;
    for (uint32_t i = 0; i < VORN_COMMAND_COUNT; ++i) {
        std::string shown = fmt(getCmdTable(), i);
        std::string name = vorn_commands[i].name;
        ASSERT_EQ(lowered(shown), lowered(name));
        size_t caps = 0;
        while (caps < shown.size() && !std::islower(static_cast<unsigned char>(shown[caps])))
            ++caps;
        ASSERT_GE(caps, 1u) << name;
        EXPECT_EQ(validCmd(nullptr, name.substr(0, caps).c_str(), 1), &vorn_commands[i]) << shown;
        if (caps > 1 && std::isalpha(static_cast<unsigned char>(name[caps - 1]))) {
            EXPECT_NE(validCmd(nullptr, name.substr(0, caps - 1).c_str(), 1), &vorn_commands[i])
                << shown;
        }
    }
}

}  // namespace
