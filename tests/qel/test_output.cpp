#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/output_test_support.h"
#include "qel/qel_output.h"

namespace {

uint32_t gFakeRows = 24;
uint32_t gFakeColumns = 100;
bool gFakeSizeFails = false;
uint32_t gWrittenRows = 0;
uint32_t gWrittenColumns = 0;

int fakeQuerySize(uint32_t *rows, uint32_t *columns)
{
    if (gFakeSizeFails)
        return -1;
    *rows = gFakeRows;
    *columns = gFakeColumns;
    return 0;
}

int fakeWriteSize(uint32_t rows, uint32_t columns)
{
    gWrittenRows = rows;
    gWrittenColumns = columns;
    return 0;
}

std::vector<std::string> gCallbackLines;
void collectLine(const char *line) { gCallbackLines.emplace_back(line); }

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        lines.push_back(cur);
    return lines;
}

// Greedy word filling: the reference the engine must match for plain words
// separated by single blanks.
std::vector<std::string> greedyWrap(const std::vector<std::string> &words, size_t width)
{
    std::vector<std::string> lines;
    std::string cur;
    for (const std::string &w : words) {
        if (cur.empty())
            cur = w;
        else if (cur.size() + 1 + w.size() <= width)
            cur += " " + w;
        else {
            lines.push_back(cur);
            cur = w;
        }
    }
    if (!cur.empty())
        lines.push_back(cur);
    return lines;
}

std::string joinWords(const std::vector<std::string> &words)
{
    std::string s;
    for (const std::string &w : words) {
        if (!s.empty())
            s += ' ';
        s += w;
    }
    return s;
}

std::vector<std::string> wordsOf(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qel_resetOutputEngine();
        gFakeRows = 24;
        gFakeColumns = 100;
        gFakeSizeFails = false;
        gWrittenRows = gWrittenColumns = 0;
        gCallbackLines.clear();
        savedTerminal_ = setOutputTerminal(terminal(false, false, false));
        savedPrint_ = qel_printf;
        qel_printf = myprintf;
        setOutputNumRows(1000);
    }
    void TearDown() override
    {
        setOutputTerminal(savedTerminal_);
        qel_printf = savedPrint_;
        setOutputLogHooks(nullptr);
        setOutputBusyModeFxn(nullptr);
        setOutputPrefix(nullptr);
        qel_resetOutputEngine();
        if (in_)
            std::fclose(in_);
    }

    OutputTerminal terminal(bool inTty, bool outTty, bool errTty)
    {
        return OutputTerminal{out_.file(), err_.file(), in_, inTty, outTty, errTty, fakeQuerySize, fakeWriteSize};
    }

    // Standard input holding `text`, for the pager.
    void setInput(const std::string &text, bool inTty, bool outTty, bool errTty = false)
    {
        input_ = text;
        in_ = input_.empty() ? std::fopen("/dev/null", "r") : fmemopen(input_.data(), input_.size(), "r");
        setOutputTerminal(terminal(inTty, outTty, errTty));
    }

    std::string out() { return out_.text(); }
    std::string err() { return err_.text(); }

    outtest::CapturedStream out_;
    outtest::CapturedStream err_;
    FILE *in_ = nullptr;
    std::string input_;

private:
    OutputTerminal savedTerminal_{};
    PrintHook savedPrint_ = nullptr;
};

TEST_F(OutputTest, WrapsAtLastBlankWithoutStrayBlanks)
{
    // 150 characters of words; the blank at column 98 is the last before 100.
    std::string text = std::string(60, 'a') + " " + std::string(37, 'b') + " " + std::string(50, 'c');
    ASSERT_EQ(text.size(), 149u);
    myputs((text + "\n").c_str());
    EXPECT_EQ(out(), std::string(60, 'a') + " " + std::string(37, 'b') + "\n" + std::string(50, 'c') + "\n");
}

TEST_F(OutputTest, WrappingMatchesGreedyReference)
{
    std::mt19937 rng(12345);
    for (uint32_t width : {100u, 137u, 254u}) {
        for (int trial = 0; trial < 40; ++trial) {
            qel_resetOutputEngine();
            setOutputNumRows(1000);
            setOutputLineLength(width);
            std::vector<std::string> words;
            int nwords = 5 + static_cast<int>(rng() % 120);
            for (int i = 0; i < nwords; ++i)
                words.emplace_back(1 + rng() % 20, static_cast<char>('a' + rng() % 26));
            gCallbackLines.clear();
            showOutput((joinWords(words) + "\n").c_str(), collectLine);
            std::vector<std::string> expected = greedyWrap(words, width);
            ASSERT_EQ(gCallbackLines.size(), expected.size()) << "width " << width << " trial " << trial;
            for (size_t i = 0; i < expected.size(); ++i)
                EXPECT_EQ(gCallbackLines[i], expected[i] + "\n");
        }
    }
}

TEST_F(OutputTest, HyphensBreakButExponentsDoNot)
{
    // "well-known" straddles column 100: the break lies after its hyphen.
    std::string lead = std::string(90, 'x') + " ";
    myputs((lead + "well-known words\n").c_str());
    // The exponent's hyphen falls at column 96 of a full line; the number stays whole.
    std::string lead2 = std::string(90, 'y') + " ";
    myputs((lead2 + "x1.5e-05zzzz more\n").c_str());
    std::vector<std::string> lines = splitLines(out());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], lead + "well-");
    EXPECT_EQ(lines[1], "known words");
    EXPECT_EQ(lines[2], std::string(90, 'y'));
    EXPECT_EQ(lines[3], "x1.5e-05zzzz more");
}

TEST_F(OutputTest, LongWordIsCutAtLineLength)
{
    myputs((std::string(300, 'w') + "\n").c_str());
    std::vector<std::string> lines = splitLines(out());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string(100, 'w'));
    EXPECT_EQ(lines[1], std::string(100, 'w'));
    EXPECT_EQ(lines[2], std::string(100, 'w'));
}

TEST_F(OutputTest, BackspaceSetsHangingIndentation)
{
    std::vector<std::string> words(40, "abcdefgh");
    myprintf("Label: \b%s\n", joinWords(words).c_str());
    myputs("next\n");
    std::vector<std::string> lines = splitLines(out());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 16), "Label: abcdefgh ");
    std::vector<std::string> seen = wordsOf(lines[0].substr(7));
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_LE(lines[i].size(), 100u);
        EXPECT_EQ(lines[i].substr(0, 8), "       a") << lines[i];
        for (const std::string &w : wordsOf(lines[i]))
            seen.push_back(w);
    }
    EXPECT_EQ(seen, words);
    // The hanging indentation lasts for one logical line only.
    EXPECT_EQ(lines.back(), "next");
}

TEST_F(OutputTest, IndentationIsCarriedToContinuationLines)
{
    setOutputIndentLevel(6);
    std::vector<std::string> words(30, "word");
    myprintf("%s\n", joinWords(words).c_str());
    EXPECT_EQ(indentOutput(-6), 6);
    for (const std::string &line : splitLines(out())) {
        EXPECT_EQ(line.substr(0, 7), "      w");
        EXPECT_LE(line.size(), 100u);
    }
}

TEST_F(OutputTest, PrefixStartsEveryLineAndHangingAlignsAfterIt)
{
    setOutputPrefix("******  ");
    std::vector<std::string> words(30, "abcde");
    myprintf("Warning: \b%s\n", joinWords(words).c_str());
    EXPECT_EQ(getLastLineLength() + 8, static_cast<int>(splitLines(out()).back().size()));
    setOutputPrefix(nullptr);
    std::vector<std::string> lines = splitLines(out());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 23), "******  Warning: abcde ");
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(0, 18), "******           a") << lines[i];
}

TEST_F(OutputTest, OversizedPrefixAndLateBackspaceStayInsideTheLine)
{
    std::string prefix(200, 'p');
    setOutputPrefix(prefix.c_str());
    setOutputIndentLevel(40);
    myputs("one two three\n");
    setOutputIndentLevel(0);
    setOutputPrefix(nullptr);
    std::vector<std::string> lines = splitLines(out());
    ASSERT_FALSE(lines.empty());
    std::string payload;
    for (const std::string &line : lines) {
        ASSERT_EQ(line.size(), 100u);
        EXPECT_EQ(line.substr(0, 99), prefix.substr(0, 99));
        payload += line[99];
    }
    EXPECT_EQ(payload, "onetwothree");

    // A backspace near the end of a line under a long prefix.
    std::string prefix2(60, 'q');
    setOutputPrefix(prefix2.c_str());
    myprintf("%s\b%s\n", std::string(38, 'x').c_str(), joinWords(std::vector<std::string>(20, "zz")).c_str());
    setOutputPrefix(nullptr);
    for (const std::string &line : splitLines(out()))
        EXPECT_LE(line.size(), 100u);
}

TEST_F(OutputTest, ShrinkingWidthWithPendingTextLosesNothing)
{
    setOutputLineLength(254);
    std::vector<std::string> words(40, "abcd");
    myputs(joinWords(words).c_str());  // 199 characters still pending
    setOutputLineLength(100);
    myputs(" tail\n");
    words.push_back("tail");
    std::vector<std::string> seen;
    for (const std::string &line : splitLines(out())) {
        EXPECT_LE(line.size(), 254u);
        for (const std::string &w : wordsOf(line))
            seen.push_back(w);
    }
    EXPECT_EQ(seen, words);
}

TEST_F(OutputTest, BlankLinesCollapse)
{
    myputs("abc\n\n\n");
    myputs("def\n\n\n\n\nghi\n");
    EXPECT_EQ(out(), "abc\n\ndef\n\nghi\n");
}

TEST_F(OutputTest, SuppressedBlankLinesVanish)
{
    EXPECT_FALSE(setSuppressBlankLines(true));
    myputs("abc\n\n\ndef\n");
    forceBlankLine();
    myputs("ghi\n");
    EXPECT_TRUE(setSuppressBlankLines(false));
    EXPECT_EQ(out(), "abc\ndef\nghi\n");
}

TEST_F(OutputTest, ForcedBlankLines)
{
    myputs("a\n");
    forceBlankLine();
    myputs("b\n");
    forceBlankLine();
    myputs("\nc\n");  // already separated: no second blank line
    myputs("part");
    forceBlankLine();  // meets a partly assembled line
    myputs("rest\n");
    forceBlankLine();
    cancelBlankLine();
    myputs("z\n");
    EXPECT_EQ(out(), "a\n\nb\n\nc\npart\n\nrest\nz\n");
}

TEST_F(OutputTest, ForcedBlankLineKeepsPrefixInPlace)
{
    setOutputPrefix("> ");
    setOutputIndentLevel(3);
    myputs("one\n");
    forceBlankLine();
    myputs("two\n");
    setOutputIndentLevel(0);
    setOutputPrefix(nullptr);
    // The text after a forced blank line continues right after the prefix.
    EXPECT_EQ(out(), ">    one\n> \n> two\n");
}

TEST_F(OutputTest, MyprintfCutsLongTextAndNeverFormatsUserText)
{
    std::string big(2000, 'x');
    gCallbackLines.clear();
    int n = myprintf("%s", big.c_str());
    EXPECT_EQ(n, 2000);
    std::string shown = out();
    size_t xs = 0;
    for (char c : shown)
        xs += c == 'x';
    EXPECT_EQ(xs, 1022u);
    EXPECT_EQ(shown.back(), '\n');
    EXPECT_EQ(getCurLineLength(), 0);

    myputs("%s%n%d\n");
    myputc('%');
    putNewline();
    EXPECT_EQ(out().substr(shown.size()), "%s%n%d\n%\n");
}

TEST_F(OutputTest, WidthIsClampedAndLockedFromCommandLine)
{
    setOutputLineLength(80);
    EXPECT_EQ(getOutputLineLength(), 100u);
    setOutputLineLength(300);
    EXPECT_EQ(getOutputLineLength(), 254u);
    setOutputLineLength(150);
    EXPECT_EQ(getOutputLineLength(), 150u);

    gFakeColumns = 40;
    initializeOutputDisplay();
    EXPECT_EQ(getOutputLineLength(), 100u);
    gFakeColumns = 180;
    initializeOutputDisplay();
    EXPECT_EQ(getOutputLineLength(), 180u);

    setOutputLineLengthFromCommandLine(120);
    EXPECT_EQ(getOutputLineLength(), 120u);
    setOutputLineLength(80);
    setOutputLineLength(300);
    gFakeColumns = 200;
    initializeOutputDisplay();
    outInfo.widthSetting = 200;  // what the option layer stored
    EXPECT_EQ(cmdSetOutputWidth(200, 0), 0);
    EXPECT_EQ(getOutputLineLength(), 120u);
    EXPECT_EQ(outInfo.widthSetting, 120u);
}

TEST_F(OutputTest, ScreenSizeFallsBackAndOutwidthAutoUsesTerminal)
{
    gFakeSizeFails = true;
    ScreenSize s = getScreenSize();
    EXPECT_EQ(s.rows, 24u);
    EXPECT_EQ(s.columns, 100u);
    EXPECT_LT(resizeConsoleWindow(150, -1), 0);

    gFakeSizeFails = false;
    gFakeRows = 0;
    gFakeColumns = 132;
    s = getScreenSize();
    EXPECT_EQ(s.rows, 24u);
    EXPECT_EQ(s.columns, 132u);

    gFakeRows = 50;
    EXPECT_EQ(cmdSetOutputWidth(0, 110), 0);  // "auto": the terminal's width
    EXPECT_EQ(getOutputLineLength(), 132u);
    EXPECT_EQ(cmdSetOutputWidth(160, 0), 0);
    EXPECT_EQ(getOutputLineLength(), 160u);
    EXPECT_EQ(gWrittenColumns, 160u);  // the terminal was widened
    EXPECT_EQ(gWrittenRows, 50u);      // rows untouched
    gFakeColumns = 200;
    resizeConsoleWindow(150, 30);
    EXPECT_EQ(gWrittenColumns, 200u);  // never narrowed
    EXPECT_EQ(gWrittenRows, 30u);
}

std::string numberedLines(int first, int last)
{
    std::string s;
    char buf[16];
    for (int i = first; i <= last; ++i) {
        std::snprintf(buf, sizeof buf, "L%02d\n", i);
        s += buf;
    }
    return s;
}

TEST_F(OutputTest, PagerPausesAfterTerminalRows)
{
    setInput("\n\n\n", true, true);
    outInfo.pauseMode = kPauseMsg;
    initializeOutputDisplay();
    EXPECT_EQ(getOutputDisplayRows(), 23u);
    for (int i = 1; i <= 30; ++i)
        myprintf("L%02d\n", i);
    std::string expected = numberedLines(1, 23) + "L24\n--Press return to continue--" + numberedLines(25, 30);
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(std::ftell(in_), 1);  // exactly one Return consumed
}

TEST_F(OutputTest, RedirectedOutputNeverPauses)
{
    setInput("\n\n\n", true, false);
    outInfo.pauseMode = kPauseMsg;
    initializeOutputDisplay();
    for (int i = 1; i <= 60; ++i)
        myprintf("L%02d\n", i);
    EXPECT_EQ(out(), numberedLines(1, 60));
    EXPECT_EQ(std::ftell(in_), 0);
}

TEST_F(OutputTest, PagerReportsMissingInputAndBeeps)
{
    setInput("", true, true, true);
    outInfo.pauseMode = kPauseBeep;
    gFakeRows = 3;
    initializeOutputDisplay();
    EXPECT_EQ(getOutputDisplayRows(), 3u);
    bool before = setQuerySound(false);
    for (int i = 1; i <= 4; ++i)
        myprintf("L%02d\n", i);
    EXPECT_FALSE(setQuerySound(before));  // restored after the beep
    EXPECT_EQ(out(), numberedLines(1, 3) + "L04Expected input not found (waitForReturnKey).\n");
    EXPECT_EQ(err(), "\a");
}

TEST_F(OutputTest, PromptIsWrittenAtOnceWithoutNewline)
{
    EXPECT_EQ(promptPuts("Continue? "), 0);
    EXPECT_EQ(out(), "Continue? ");
    EXPECT_EQ(getCurLineLength(), 0);
    EXPECT_FALSE(promptInProgress());
    // Standard output is redirected here, so the question also reaches stderr.
    EXPECT_EQ(err(), "Continue? ");
    myputs("ordinary\n");
    EXPECT_EQ(err(), "Continue? ");
}

TEST_F(OutputTest, MonitoringAndUninitialisedDisplay)
{
    setOutputMonitoring(false);
    showOutput("hidden\n", collectLine);
    EXPECT_EQ(out(), "");
    ASSERT_EQ(gCallbackLines.size(), 1u);
    EXPECT_EQ(gCallbackLines[0], "hidden\n");
    EXPECT_TRUE(isOutputBufferEmpty());

    setShowingError(true);  // errors are shown even when monitoring is off
    myputs("error text\n");
    setShowingError(false);
    EXPECT_EQ(out(), "error text\n");
    EXPECT_FALSE(isOutputBufferEmpty());
    EXPECT_FALSE(setOutputMonitoring(true));

    setOutputNumRows(0);  // display not initialised: everything is dropped
    showOutput("dropped\n", collectLine);
    EXPECT_EQ(out(), "error text\n");
    EXPECT_EQ(gCallbackLines.size(), 1u);
}

struct FakeLog {
    bool logging = true;
    int writes = 0;
    int failAt = 0;
    int closes = 0;
    int flushChecks = 0;
    int flushes = 0;
    std::string text;
};
FakeLog gLog;

TEST_F(OutputTest, LogEchoStopsAfterWriteError)
{
    gLog = FakeLog{};
    gLog.failAt = 2;
    OutputLogHooks hooks{
        [] { return gLog.logging; },
        [](const char *line) {
            if (++gLog.writes == gLog.failAt)
                return 1;
            gLog.text += line;
            return 0;
        },
        [] {
            gLog.logging = false;
            ++gLog.closes;
        },
        [] { ++gLog.flushChecks; },
        [] { ++gLog.flushes; },
    };
    setOutputLogHooks(&hooks);
    myputs("first\nsecond\nthird\n");
    EXPECT_EQ(out(), "first\nsecond\nthird\n");
    EXPECT_EQ(gLog.text, "first\n");
    EXPECT_EQ(gLog.writes, 2);
    EXPECT_EQ(gLog.closes, 1);
    EXPECT_EQ(gLog.flushChecks, 1);
    flushOutputFiles();
    EXPECT_EQ(gLog.flushes, 0);  // logging has ended
}

int gBusyCalls = 0;
bool gLastBusy = false;

TEST_F(OutputTest, OutputNestingAndSmallSetters)
{
    gBusyCalls = 0;
    setOutputBusyModeFxn([](bool on) {
        ++gBusyCalls;
        gLastBusy = on;
    });
    setOutputActive(false);
    EXPECT_FALSE(activeOutputInProgress());
    setOutputActive(true);
    setOutputActive(true);
    setOutputActive(false);
    EXPECT_TRUE(activeOutputInProgress());
    setOutputActive(false);
    EXPECT_FALSE(activeOutputInProgress());
    EXPECT_EQ(gBusyCalls, 5);
    EXPECT_FALSE(gLastBusy);

    EXPECT_FALSE(outputEventCheckingActive());
    EXPECT_FALSE(setOutputEventChecking(true));
    EXPECT_TRUE(setOutputEventChecking(false));

    EXPECT_EQ(setDebugOutputPrefix(), nullptr);
    myputs("x  \n");
    EXPECT_EQ(std::string(setOutputPrefix(nullptr)), "....... ");
    EXPECT_EQ(out(), "....... x\n");
    EXPECT_EQ(getLastLineLength(), 9);  // no prefix any more

    myputs("pending");
    EXPECT_EQ(getCurLineLength(), 7);
    cancelPendingOutput();
    myputs("fresh\n");
    EXPECT_EQ(out(), "....... x\nfresh\n");
    EXPECT_EQ(qel_initializeOutputBuffer(), 0);
}

TEST_F(OutputTest, WindowSizeSignalTakesEffectBetweenLines)
{
    struct sigaction oldInt {}, oldWinch {};
    sigaction(SIGINT, nullptr, &oldInt);
    sigaction(SIGWINCH, nullptr, &oldWinch);
    initializeOutputDisplay();
    ASSERT_EQ(getOutputLineLength(), 100u);

    myprintf("start ");  // a line is being assembled
    initSignalHandlers();
    gFakeColumns = 150;
    gFakeRows = 40;
    raise(SIGWINCH);
    // The pending line keeps its width: "start" and 100 + 40 b's.
    myprintf("%s\n", std::string(140, 'b').c_str());
    // The next line is begun at the new width.
    myprintf("%s\n", std::string(140, 'c').c_str());
    EXPECT_EQ(out(), "start\n" + std::string(100, 'b') + "\n" + std::string(40, 'b') + "\n" +
                         std::string(140, 'c') + "\n");
    EXPECT_EQ(getOutputLineLength(), 150u);
    EXPECT_EQ(getOutputDisplayRows(), 40u);

    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGWINCH, &oldWinch, nullptr);
}

TEST_F(OutputTest, TerminalFactsAreOneRecord)
{
    setOutputTerminal(terminal(true, false, true));
    EXPECT_FALSE(gQelIo.stdinNotTerminal);
    EXPECT_TRUE(gQelIo.stdoutNotTerminal);
    EXPECT_FALSE(gQelIo.stderrNotTerminal);

    // What the record says is what the engine acts on: with standard output
    // redirected an error is copied to standard error, at a terminal not.
    setShowingError(true);
    myputs("first\n");
    gQelIo.stdoutNotTerminal = false;
    EXPECT_TRUE(getOutputTerminal().outIsTerminal);
    myputs("second\n");
    setShowingError(false);
    EXPECT_EQ(out(), "first\nsecond\n");
    EXPECT_EQ(err(), "first\n");

    // The prompt flag of the stream layer is the engine's.
    gQelIo.promptInProgress = true;
    EXPECT_TRUE(promptInProgress());
    myputs("Name? ");
    gQelIo.promptInProgress = false;
    EXPECT_EQ(out(), "first\nsecond\nName? ");
}

TEST_F(OutputTest, CommandOutputHoldsBusyMode)
{
    ASSERT_FALSE(inBusyMode());
    setAbortedStatus(1);
    setOutputActive(true);  // a command starts printing: stale interrupts go
    EXPECT_TRUE(inBusyMode());
    EXPECT_EQ(getAbortedStatus(), 0);
    setOutputActive(true);
    setAbortFlag(SIGINT);
    setOutputActive(false);
    EXPECT_TRUE(inBusyMode());
    EXPECT_EQ(getAbortedStatus(), 1);  // still inside the outer stretch
    setOutputActive(false);
    EXPECT_FALSE(inBusyMode());
    EXPECT_EQ(getAbortedStatus(), 0);
}

}  // namespace

// Standard output and standard error sent to one file: an error must come
// after the diagram rows printed before it, not in the middle of them.
TEST(OutputOrder, ErrorFollowsEarlierOutputInSharedFile)
{
    char path[] = "/tmp/qelorderXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    FILE *out = std::fopen(path, "a");  // fully buffered, as a file is
    FILE *err = std::fopen(path, "a");
    ASSERT_TRUE(out && err);
    setvbuf(err, nullptr, _IONBF, 0);  // as standard error is
    qel_resetOutputEngine();
    const OutputTerminal saved = setOutputTerminal(
        OutputTerminal{out, err, nullptr, false, false, false, fakeQuerySize, fakeWriteSize});
    const PrintHook savedPrint = qel_printf;
    qel_printf = myprintf;
    setOutputNumRows(1000);
    myputs("/--- row one\n");
    myputs("\\--- row two\n");
    errorMsg(0, "Something failed.");
    std::fflush(out);
    setOutputTerminal(saved);
    qel_printf = savedPrint;
    qel_resetOutputEngine();
    std::fclose(out);
    std::fclose(err);
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path);
    const size_t row = text.find("row two");
    const size_t error = text.find("Something failed.");
    ASSERT_NE(row, std::string::npos) << text;
    ASSERT_NE(error, std::string::npos) << text;
    EXPECT_LT(row, error) << text;
}
