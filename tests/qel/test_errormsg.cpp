#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/output_test_support.h"
#include "qel/qel_output.h"

namespace {

uint32_t gPosLine = 0;
const char *gPosFile = nullptr;
bool gPosActive = false;
int gPosQueries = 0;
int gDiscards = 0;

bool fakePosition(uint32_t *line, const char **fileName)
{
    ++gPosQueries;
    if (!gPosActive)
        return false;
    *line = gPosLine;
    *fileName = gPosFile;
    return true;
}

std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

size_t countChar(const std::string &s, char c)
{
    size_t n = 0;
    for (char x : s)
        n += x == c;
    return n;
}

class ErrorMsgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qel_resetOutputEngine();
        savedTerminal_ =
            setOutputTerminal(OutputTerminal{out_.file(), err_.file(), nullptr, false, false, false, nullptr, nullptr});
        savedPrint_ = qel_printf;
        qel_printf = myprintf;
        setOutputNumRows(1000);
        gPosActive = false;
        gPosQueries = 0;
        gDiscards = 0;
        setErrorPositionFxn(fakePosition);
        setDiscardCommandLineFxn([] { ++gDiscards; });
    }
    void TearDown() override
    {
        setErrorPositionFxn(nullptr);
        setDiscardCommandLineFxn(nullptr);
        for (uint32_t code : {141u, 143u, 144u, 7u})
            clearErrorExplanation(code);
        setErrorSound(true);
        setQuerySound(true);
        setNotificationSound(true);
        setOutputTerminal(savedTerminal_);
        qel_printf = savedPrint_;
        qel_resetOutputEngine();
    }

    void setErrIsTerminal(bool flag)
    {
        OutputTerminal t = getOutputTerminal();
        t.errIsTerminal = flag;
        setOutputTerminal(t);
    }

    std::string out() { return out_.text(); }
    std::string err() { return err_.text(); }

private:
    outtest::CapturedStream out_;
    outtest::CapturedStream err_;
    OutputTerminal savedTerminal_{};
    PrintHook savedPrint_ = nullptr;
};

const std::string kUnknownExplanation =
    "We try to anticipate possible errors and provide better messages; however, this one was not expected.";

TEST_F(ErrorMsgTest, ErrorLayoutWithExplanationIndented)
{
    EXPECT_EQ(errorMsg(102, "File \"%s\" not found.\tCheck the name.", "a.nex"), 1);
    myputs("next\n");
    // "Error(#102): " ends at column 13; the explanation stands 4 further in,
    // and a blank line separates the message from what follows.
    EXPECT_EQ(out(), "\nError(#102): File \"a.nex\" not found.\n" + std::string(17, ' ') + "Check the name.\n\nnext\n");
    EXPECT_EQ(gDiscards, 1);
    EXPECT_FALSE(showingError());
}

TEST_F(ErrorMsgTest, CodeZeroAndTextWithoutExplanation)
{
    EXPECT_EQ(errorMsg(0, "Plain %d.\tWhy.", 3), 1);
    EXPECT_EQ(showErrorMsg(12, "No tab %d here"), 1);  // shown as is, never formatted
    EXPECT_EQ(out(), "\nError: Plain 3.\n" + std::string(11, ' ') + "Why.\n\nError(#12): No tab %d here\n");
}

TEST_F(ErrorMsgTest, SecondTabBelongsToTheExplanation)
{
    errorMsg(9, "Msg\tpart one\tpart two");
    std::vector<std::string> lines = linesOf(out());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Error(#9): Msg");
    EXPECT_EQ(lines[2], std::string(15, ' ') + "part one\tpart two");
}

int nullFormatError(uint32_t code, ...)
{
    va_list args;
    va_start(args, code);
    const char *format = nullptr;
    int rc = vErrorMsg(code, format, args);
    va_end(args);
    return rc;
}

TEST_F(ErrorMsgTest, NullFormatReportsUnknownErrorAsCodeOne)
{
    EXPECT_EQ(nullFormatError(55), 1);
    std::vector<std::string> lines = linesOf(out());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "Error(#1): Unknown error.");
    // The long explanation wraps, every line keeping the indentation.
    std::string explanation;
    for (size_t i = 2; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].substr(0, 16), std::string(15, ' ') + lines[i][15]);
        ASSERT_NE(lines[i][15], ' ');
        ASSERT_LE(lines[i].size(), 100u);
        if (!explanation.empty())
            explanation += ' ';
        explanation += lines[i].substr(15);
    }
    EXPECT_EQ(explanation, kUnknownExplanation);
}

TEST_F(ErrorMsgTest, LongMessageWrapsUnderItsFirstCharacter)
{
    std::string words;
    for (int i = 0; i < 40; ++i)
        words += "token ";
    errorMsg(310, "%s", words.c_str());
    std::vector<std::string> lines = linesOf(out());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(0, 19), "Error(#310): token ");
    for (size_t i = 2; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(0, 14), std::string(13, ' ') + "t") << lines[i];
}

TEST_F(ErrorMsgTest, FormattedTextIsCutAt1023Characters)
{
    std::string big(3000, 'm');
    errorMsg(3, "%s", big.c_str());
    EXPECT_EQ(countChar(out(), 'm'), 1023u);
    warningMsg(4, "%s", big.c_str());
    EXPECT_EQ(countChar(out(), 'm'), 2046u);
}

TEST_F(ErrorMsgTest, OverridesReplaceExplanationsUntilCleared)
{
    setErrorExplanation(143, "You can use \"Set ?\" to get a list of valid keywords.");
    errorMsg(143, "Unknown keyword \"%s\".", "foo");  // no TAB of its own
    errorMsg(143, "Unknown keyword.\tBuilt-in text.");
    errorMsg(144, "Other.\tKept.");
    setErrorExplanation(143, "Replaced again.");
    errorMsg(143, "Third.\tBuilt-in text.");
    clearErrorExplanation(143);
    errorMsg(143, "Fourth.\tBuilt-in text.");
    std::string text = out();
    EXPECT_EQ(countChar(text, 'Y'), 2u);  // first and second message
    EXPECT_NE(text.find("Kept."), std::string::npos);
    EXPECT_NE(text.find("Replaced again."), std::string::npos);
    std::vector<std::string> lines = linesOf(text);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 1], std::string(17, ' ') + "Built-in text.");
    EXPECT_EQ(text.find("Built-in text."), text.rfind("Built-in text."));
}

TEST_F(ErrorMsgTest, OverrideTextIsCutAt255Characters)
{
    setErrorExplanation(141, std::string(400, 'z').c_str());
    errorMsg(141, "Bad value.");
    EXPECT_EQ(countChar(out(), 'z'), 255u);
}

TEST_F(ErrorMsgTest, WarningShowsMessageOnlyWithPrefixOnEveryLine)
{
    EXPECT_EQ(warningMsg(7, "Careful %s.\tThis explanation is never shown.", "here"), 0);
    EXPECT_EQ(out(), "\n******  \n******  Warning: Careful here.\n******  \n");

    std::string words;
    for (int i = 0; i < 40; ++i)
        words += "caution ";
    warningMsg(8, "%s\tHidden.", words.c_str());
    std::string text = out();
    EXPECT_EQ(text.find("Hidden"), std::string::npos);
    std::vector<std::string> lines = linesOf(text);
    // The blank line written before the prefix is set separates the warning
    // from earlier output; everything from there on carries the prefix.
    for (size_t i = 1; i < lines.size(); ++i)
        if (!lines[i].empty()) {
            EXPECT_EQ(lines[i].substr(0, 8), "******  ") << lines[i];
        }
    EXPECT_EQ(lines.size(), 4u + 7u);
    // Continuation lines of the long warning line up under its first word.
    size_t continued = 0;
    for (const std::string &line : lines)
        if (line.size() > 17 && line.substr(8, 9) == std::string(9, ' ')) {
            EXPECT_EQ(line[17], 'c');
            ++continued;
        }
    EXPECT_GE(continued, 2u);

    // The prefix is removed afterwards; the override list also applies to
    // warnings but their explanation stays hidden.
    setErrorExplanation(7, "Override text.");
    warningMsg(7, "Again.");
    myputs("plain\n");
    EXPECT_EQ(out().find("Override"), std::string::npos);
    EXPECT_EQ(linesOf(out()).back(), "plain");
}

TEST_F(ErrorMsgTest, BatchFilePositionLine)
{
    gPosActive = true;
    gPosLine = 12;
    gPosFile = "/tmp/some dir/batch.nex";
    errorMsg(120, "Bad thing.");
    EXPECT_EQ(out(), "\nError(#120): Bad thing.\n\nError occurred while processing line 12 of file batch.nex\n");

    // I/O errors about a file never point into the batch file.
    showFileError(2, "/x/y.nex");
    std::string expected107 =
        std::string("\nError(#107): I/O error 2 on file \"/x/y.nex\" (") + std::strerror(2) + ").\n";
    errorMsg(106, "Cannot open.");
    EXPECT_EQ(out().substr(out().find("\nError(#107)")), expected107 + "\nError(#106): Cannot open.\n");

    gPosActive = false;  // interactive input or an in-memory document
    errorMsg(121, "Other.");
    std::string text = out();
    EXPECT_EQ(text.find("occurred"), text.rfind("occurred"));  // only the first error had one
    EXPECT_EQ(gDiscards, 4);
}

TEST_F(ErrorMsgTest, ErrorTheCommandGoesOnFromHasNoPositionAndKeepsTheLine)
{
    const MsgHook savedHook = qel_errorMsg;
    qel_errorMsg = errorMsg;
    gPosActive = true;
    gPosLine = 7;
    gPosFile = "batch.nex";
    EXPECT_EQ(errorMsgAndGoOn(0, "Set '%s' is unknown.\tIgnored.", "a%s"), 1);
    // The next error of the file is placed and discards again.
    errorMsg(0, "Later.");
    qel_errorMsg = savedHook;
    const std::string text = out();
    EXPECT_EQ(text.substr(0, text.find("\nError: Later.")), "\nError: Set 'a%s' is unknown.\n           Ignored.\n");
    EXPECT_EQ(text.find("occurred"), text.rfind("occurred"));
    EXPECT_NE(text.find("Later.\n\nError occurred while processing line 7 of file batch.nex"), std::string::npos);
    EXPECT_EQ(gDiscards, 1);
}

TEST_F(ErrorMsgTest, FileErrorWithoutSystemNumber)
{
    EXPECT_EQ(showFileError(0, "f.nex"), 1);
    std::vector<std::string> lines = linesOf(out());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Error(#105): I/O error on file \"f.nex\"");
    EXPECT_EQ(lines[2].substr(0, 23), std::string(17, ' ') + "We try");
}

TEST_F(ErrorMsgTest, ErrorsShowEvenWhenMonitoringIsOff)
{
    setOutputMonitoring(false);
    errorMsg(9, "Boom.");
    myputs("hidden\n");
    EXPECT_EQ(out(), "\nError(#9): Boom.\n");
    // Standard output is redirected here, so the error also goes to stderr.
    EXPECT_EQ(err(), "\nError(#9): Boom.\n");
}

TEST_F(ErrorMsgTest, SoundsRingOnlyOnATerminal)
{
    setErrIsTerminal(true);
    errorSound();
    EXPECT_TRUE(setErrorSound(false));
    errorSound();
    querySound();
    notificationSound();
    oopsSound();
    EXPECT_EQ(err(), "\a\a\a\a");
    EXPECT_TRUE(setQuerySound(false));
    EXPECT_FALSE(setQuerySound(false));
    EXPECT_TRUE(setNotificationSound(false));
    querySound();
    notificationSound();
    portableBell();
    EXPECT_EQ(err(), "\a\a\a\a\a");
    setErrorSound(true);
    warningMsg(1, "Ring.");
    EXPECT_EQ(err(), "\a\a\a\a\a\a");

    setErrIsTerminal(false);  // standard error redirected: never a bell
    oopsSound();
    portableBell();
    errorSound();
    warningMsg(1, "Quiet.");
    EXPECT_EQ(err(), "\a\a\a\a\a\a");
}

std::string gHookText;
int collectPrint(const char *format, ...)
{
    char buf[2048];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    gHookText += buf;
    return n;
}

int vprintfThrough(PrintHook fn, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = qel_vprintf(fn, format, args);
    va_end(args);
    return n;
}

TEST_F(ErrorMsgTest, LibraryPrintHelpers)
{
    qel_puts("a%sb");
    qel_putc('x');
    qel_putNewline();
    EXPECT_EQ(out(), "a%sb\nx\n");

    gHookText.clear();
    EXPECT_EQ(vprintfThrough(collectPrint, "%d-%s", 5, "z"), 3);
    EXPECT_EQ(gHookText, "5-z");
    std::string big(1500, 'q');
    vprintfThrough(collectPrint, "%s", big.c_str());
    EXPECT_EQ(gHookText.size(), 3u + 1023u);
    vprintfThrough(nullptr, "%s\n", "via hook");
    EXPECT_EQ(out(), "a%sb\nx\nvia hook\n");
}

TEST_F(ErrorMsgTest, InitKeepsHooksGivenAsNullAndReadsTerminals)
{
    PrintHook print = qel_printf;
    MsgHook error = qel_errorMsg;
    MsgHook warning = qel_warningMsg;
    setErrIsTerminal(true);
    init_qel_io(nullptr, nullptr, nullptr);
    EXPECT_EQ(qel_printf, print);
    EXPECT_EQ(qel_errorMsg, error);
    EXPECT_EQ(qel_warningMsg, warning);
    EXPECT_FALSE(getOutputTerminal().errIsTerminal);  // a memory stream is no terminal

    init_qel_io(collectPrint, nullptr, nullptr);
    EXPECT_EQ(qel_printf, collectPrint);
    EXPECT_EQ(qel_errorMsg, error);
    qel_printf = print;
}

}  // namespace
