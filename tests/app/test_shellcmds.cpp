// The shell commands and services that the end-to-end transcripts cannot
// reach: the quit question at a terminal, Edit at the terminal, the file
// status with a data set, the output text buffer and the status timer.
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include <unistd.h>

#include "capture.h"
#include "data/vorn_data.h"
#include "qel/qel_io.h"
#include "qel/qel_textbuffer.h"
#include "app/parminit.h"
#include "app/vorn_params.h"
#include "cli/qel_cmdline.h"
#include "cli/shell_settings.h"
#include "app/vorn_shellcmds.h"
#include "app/vorn_shellescape.h"
#include "app/vorn_shellutil.h"
#include "trees/treeutil.h"

namespace {

class ShellCmdTest : public ShellTest {
protected:
    InputStatus doc{};
    std::string text;
    MemoryTerminal terminal{};

    void SetUp() override
    {
        ShellTest::SetUp();
        savedIo_ = gQelIo;
        qel_cmdPeekNextChar = [] { return peekNextChar(nullptr); };
        qel_cmdSkipRestOfCmd = skipRestOfCmd;
        qel_initializeParser(true);
        ASSERT_EQ(qel_initializeCmdOptions(), 0);
        initVornOptions(nullptr);
    }

    void TearDown() override
    {
        setTreeDataHooks(nullptr);
        setTerminalInput(nullptr, nullptr);
        qel_finalizeCmdOptions();
        setActiveInput(nullptr);
        gQelIo = savedIo_;
        setCmdParamTraverser(nullptr);
        ShellTest::TearDown();
    }

    // Reads `input` as a file, or with batch off as typed at the terminal.
    int run(int (*handler)(), std::string input, bool batch = true)
    {
        text = std::move(input);
        initDocumentInput(&doc, text.data(), text.size());
        doc.batch = batch;
        terminal = MemoryTerminal{text.data(), text.size(), 0};
        setTerminalInput(batch ? nullptr : memoryTerminalByte, &terminal);
        cap.out.clear();
        cap.errors.clear();
        return handler();
    }

private:
    QelIo savedIo_{};
};

std::optional<std::string> gEditorSaved;

struct EditorEnv {
    EditorEnv()
    {
        if (const char *e = std::getenv("EDITOR"))
            gEditorSaved = e;
    }
    ~EditorEnv()
    {
        if (gEditorSaved)
            setenv("EDITOR", gEditorSaved->c_str(), 1);
        else
            unsetenv("EDITOR");
    }
};

TEST_F(ShellCmdTest, EditIsRefusedInFilesAndWithoutEditorOrName)
{
    EditorEnv keep;
    setenv("EDITOR", "nano", 1);
    EXPECT_EQ(run(doEditCmd, "notes.txt;"), 1);
    EXPECT_EQ(cap.errors, (std::vector<CapturedMsg>{
                              {209, "The \"Edit\" command may only be issued from the command-line."}}));

    setenv("EDITOR", "", 1);
    EXPECT_EQ(run(doEditCmd, "notes.txt;", false), 1);
    EXPECT_EQ(cap.errors, (std::vector<CapturedMsg>{{162, "No default editor has been assigned."}}));

    unsetenv("EDITOR");  // vi, but the name is missing
    EXPECT_EQ(run(doEditCmd, ";", false), 1);
    ASSERT_EQ(cap.errors.size(), 1u);
    EXPECT_EQ(cap.errors[0].code, 129u);

    // The editor's exit code is the command's success or failure.
    setenv("EDITOR", "true", 1);
    EXPECT_EQ(run(doEditCmd, "notes.txt;", false), 0);
    EXPECT_TRUE(cap.errors.empty());
    setenv("EDITOR", "false", 1);
    EXPECT_EQ(run(doEditCmd, "notes.txt;", false), 1);
    EXPECT_NE(cap.out.find("External command starting with 'false' terminated with error code 1"),
              std::string::npos);
}

// The shell must hand the editor the file name exactly as typed, whatever
// characters it holds, and after "--", so that a name beginning with "-" or
// "+" is never an option (vim runs "+cmd" as a command): a stand-in editor
// echoes each argument it receives in brackets.
TEST(EditCommandTest, FileNameReachesTheEditorUnchanged)
{
    const char *names[] = {"plain.nex", "two words.txt", "it's here.nex",
                           "$HOME `id` \"q\" \\ ; * | & > x.nex", "''", "-n", "--help",
                           "+call system(\"touch X\")|qa"};
    for (const char *name : names) {
        char command[512];
        ASSERT_TRUE(makeEditCommand("sh -c 'printf \"[%s]\" \"$@\"' editor", name, command, sizeof command))
            << name;
        FILE *p = popen(command, "r");
        ASSERT_NE(p, nullptr);
        std::string echoed;
        char buf[256];
        while (size_t n = std::fread(buf, 1, sizeof buf, p))
            echoed.append(buf, n);
        EXPECT_EQ(pclose(p), 0) << command;
        EXPECT_EQ(echoed, std::string("[--][") + name + "]") << command;
    }
    char small[20];
    EXPECT_FALSE(makeEditCommand("vi", "a-rather-long-name.nex", small, sizeof small));
    EXPECT_TRUE(makeEditCommand("vi", "short", small, sizeof small));
    EXPECT_STREQ(small, "vi -- 'short'");
}

// Rm removes the file it is given, even when its name looks like an option
// of rm ("-f" silently removed nothing and reported success).
TEST_F(ShellCmdTest, RmRemovesFilesNamedLikeOptions)
{
    char dir[] = "/tmp/vorn-rm-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    for (const char *name : {"-f", "--help", "-r x"}) {
        FILE *f = std::fopen(name, "w");
        ASSERT_NE(f, nullptr) << name;
        std::fclose(f);
        EXPECT_EQ(run(doRmCmd, std::string("'") + name + "';"), 0) << name;
        EXPECT_NE(access(name, F_OK), 0) << name << " was not removed";
    }
    // A name that is not there is reported by rm and fails the command.
    EXPECT_EQ(run(doRmCmd, "-nothing-here;"), 1);
    EXPECT_EQ(chdir(old), 0);
    EXPECT_EQ(rmdir(dir), 0);
}

int gAsked = 0;
bool gAnswer = false;
bool gWarnSeen = true;

TEST_F(ShellCmdTest, QuitAsksAboutUnsavedTreesUntilOneQuitIsConfirmed)
{
    gQelIo.stdinNotTerminal = false;
    TreeDataHooks hooks{};
    hooks.checkUnsavedTrees = [](bool warn, const char *question) {
        ++gAsked;
        gWarnSeen = warn;
        EXPECT_STREQ(question, "Warning: there are unsaved trees.  Do you want to quit anyway?");
        return gAnswer;
    };
    setTreeDataHooks(&hooks);

    EXPECT_EQ(run(okToQuit, "warnTSave=no;"), 1);  // the user says no
    EXPECT_EQ(gAsked, 1);
    EXPECT_FALSE(gWarnSeen);
    EXPECT_EQ(run(okToQuit, "bogus;"), 1);  // options that fail never reach the question
    EXPECT_EQ(gAsked, 1);

    gAnswer = true;
    EXPECT_EQ(run(okToQuit, "warnTSave=yes;"), 0);
    EXPECT_EQ(gAsked, 2);
    EXPECT_TRUE(gWarnSeen);
    EXPECT_EQ(run(okToQuit, "bogus;"), 0);  // confirmed once: no options, no question
    EXPECT_EQ(gAsked, 2);
}

TEST_F(ShellCmdTest, FileStatusNamesDataAndDefaultTreeFile)
{
    DataInfo d{};
    d.flags = kHaveTaxa;
    DataInfo *prev = setActiveDataInfo(&d);
    setDataFileName("primates.data.nex");
    EXPECT_EQ(run(showFileStatus, ";"), 0);
    setDataFileName(nullptr);
    setActiveDataInfo(prev);
    EXPECT_EQ(cap.out, "\nCurrent file status:\n\n"
                       " Active data file: primates.data.nex\n"
                       "         Log file: (none)\n"
                       "Default tree file: primates.data.tre\n");
}

TEST_F(ShellCmdTest, PsetSucceedsOnlyWhenItsOptionsParse)
{
    EXPECT_EQ(run(doPsetCmd, ";"), 0);
    EXPECT_EQ(run(doPsetCmd, "noSuchOption;"), 1);
    EXPECT_FALSE(cap.errors.empty());
}

TEST_F(ShellCmdTest, QprintfKeepsEachFinishedLineWithItsMark)
{
    clearOutputTextBuf();
    qprintf("\nConsensus of %d trees:\n%s", 3, "held ");
    EXPECT_EQ(std::string(getResizTextBuffer(getOutputTextBuf())), ">\n>Consensus of 3 trees:\n");
    qprintf("back\n");
    EXPECT_EQ(std::string(getResizTextBuffer(getOutputTextBuf())), ">\n>Consensus of 3 trees:\n>held back\n");
    EXPECT_EQ(cap.out, "\nConsensus of 3 trees:\nheld back\n");

    cap.out.clear();
    clearOutputTextBuf();
    qprintf("%s", std::string(600, 'x').append("\n").c_str());  // cut at 511 characters
    EXPECT_EQ(cap.out, std::string(511, 'x'));
    qprintf("\n");
    EXPECT_EQ(std::string(getResizTextBuffer(getOutputTextBuf())), ">" + std::string(511, 'x') + "\n");
    deallocOutputTextBuf();
}

TEST(StatusTimerTest, IntervalsInMillisecondsNeverWrap)
{
    setDStatusTimer(5);
    EXPECT_EQ(dstatusTimerInterval(), 5000u);
    handleDstatusTimer(0);
    EXPECT_TRUE(statusDisplayDue());
    // 2^31 - 1 seconds in milliseconds would wrap to a short interval.
    setDStatusTimer(std::numeric_limits<int32_t>::max());
    EXPECT_EQ(dstatusTimerInterval(), std::numeric_limits<uint32_t>::max());
    EXPECT_FALSE(statusDisplayDue());
    setDStatusTimer(-3);
    EXPECT_EQ(dstatusTimerInterval(), 0u);
    removeVornTimers();
}

}  // namespace

namespace {

// The column listing of Help: every visible command once, each name followed
// by a blank or the end of its line (never by its neighbour's mark), and the
// commands that need only taxa starred.
TEST_F(ShellCmdTest, HelpColumnsKeepNamesApart)
{
    ASSERT_EQ(run(doHelpCmd, ";"), 0);
    const std::string &out = cap.out;
    for (const CmdTableEntry &r : vorn_commands) {
        const std::string name = r.name;
        size_t found = std::string::npos;
        for (size_t at = out.find(name); at != std::string::npos; at = out.find(name, at + 1)) {
            const char before = at ? out[at - 1] : '\n';
            const char after = at + name.size() < out.size() ? out[at + name.size()] : '\n';
            if ((before == ' ' || before == '*' || before == '\n') && (after == ' ' || after == '\n')) {
                found = at;
                break;
            }
        }
        if (r.flags & CMD_HIDDEN) {
            EXPECT_EQ(found, std::string::npos) << name;
            continue;
        }
        ASSERT_NE(found, std::string::npos) << name << " is not listed on its own:\n" << out;
        const bool taxaOnly = (r.flags & CMD_NEEDED_BLOCKS) && !(r.flags & CMD_NEEDS_CHARACTERS);
        EXPECT_EQ(out[found - 1] == '*', taxaOnly) << name;
    }
}

// Help on an unknown word is one plain message, its explanation on a line of
// its own (the tab that separates them means nothing outside the error display).
TEST_F(ShellCmdTest, HelpOnAnUnknownWordIsAPlainMessage)
{
    ASSERT_EQ(run(doHelpCmd, "frobnicate;"), 0);
    EXPECT_EQ(cap.out.find('\t'), std::string::npos) << cap.out;
    EXPECT_EQ(cap.out, "\nCommand \"frobnicate\" is unrecognized.\nIf it is spelled correctly, look for problems "
                       "in a previous command, such as an unintentional semicolon.\n");
    EXPECT_TRUE(cap.errors.empty());
}

}  // namespace
