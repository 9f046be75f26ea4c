#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "qel/io_test_support.h"
#include "qel/output_test_support.h"
#include "qel/qel_auxout.h"
#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"

namespace {

using iotest::gErrorCodes;
using testcap::gErrorText;
using iotest::gOut;
using iotest::slurp;

struct Read {
    int c;
    uint32_t line;
    uint32_t count;
    bool operator==(const Read &) const = default;
};

std::vector<Read> drainActiveInput()
{
    std::vector<Read> out;
    for (int c = readNextChar(); c != -1; c = readNextChar())
        out.push_back({c, getActiveInput()->pos.lineNum, getActiveInput()->pos.charCount});
    return out;
}

std::string charsOf(const std::vector<Read> &reads)
{
    std::string s;
    for (const Read &r : reads)
        s += static_cast<char>(r.c);
    return s;
}

class TempDir {
public:
    TempDir()
    {
        char buf[kPathBufSize];
        EXPECT_NE(makeTempDirectory("qeliotest", buf), nullptr);
        path_ = buf;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string &name, const std::string &content) const
    {
        std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

std::string withLineEnds(const std::string &lf, const std::string &eol)
{
    std::string out;
    for (char c : lf)
        out += (c == '\n') ? eol : std::string(1, c);
    return out;
}

std::vector<Read> readFile(const std::string &path)
{
    InputStatus in{};
    EXPECT_EQ(openInputFile(path.c_str(), 0, nullptr, &in), 0);
    std::vector<Read> reads = drainActiveInput();
    EXPECT_EQ(closeInputFile(&in), 0);
    return reads;
}

using IoTest = iotest::IoFixture;

TEST_F(IoTest, LineEndConventionsGiveSameCharactersAndPositions)
{
    TempDir dir;
    const std::string lf = "ab\tc\fd\x7f\n\xE9\xFF x\n\nlast";
    const auto fromLF = readFile(dir.file("lf.nex", lf));
    const auto fromCRLF = readFile(dir.file("crlf.nex", withLineEnds(lf, "\r\n")));
    const auto fromCR = readFile(dir.file("cr.nex", withLineEnds(lf, "\r")));

    // Form feed and DEL are dropped; tab, newline and high bytes pass.
    EXPECT_EQ(charsOf(fromLF), "ab\tcd\n\xE9\xFF x\n\nlast");
    EXPECT_EQ(fromLF.back().line, 3u);
    EXPECT_EQ(fromLF.back().count, lf.size());
    EXPECT_EQ(fromCRLF, fromLF);
    EXPECT_EQ(fromCR, fromLF);
}

TEST_F(IoTest, StrayCarriageReturns)
{
    TempDir dir;
    // In an LF file a lone CR ends a line; in a CRLF file it is dropped.
    auto lf = readFile(dir.file("a", "a\nb\rc\n"));
    EXPECT_EQ(charsOf(lf), "a\nb\nc\n");
    EXPECT_EQ(lf.back().line, 3u);
    auto crlf = readFile(dir.file("b", "a\r\nb\rc\r\n"));
    EXPECT_EQ(charsOf(crlf), "a\nbc\n");
    EXPECT_EQ(crlf.back().line, 2u);
}

// A UTF-8 byte-order mark at the head of a file or a document is not input;
// anywhere else, or cut short, its bytes are ordinary characters.
TEST_F(IoTest, ByteOrderMarkAtHeadIsSkipped)
{
    TempDir dir;
    const std::string bom = "\xEF\xBB\xBF";
    const std::string text = "#NEXUS\nbegin data;\n";
    const auto plain = readFile(dir.file("plain.nex", text));
    const auto marked = readFile(dir.file("marked.nex", bom + text));
    EXPECT_EQ(charsOf(marked), charsOf(plain));
    EXPECT_EQ(marked.back().line, plain.back().line);
    EXPECT_EQ(charsOf(readFile(dir.file("crlf.nex", bom + withLineEnds(text, "\r\n")))), charsOf(plain));
    EXPECT_EQ(charsOf(readFile(dir.file("inner.nex", "a" + bom))), "a" + bom);
    EXPECT_EQ(charsOf(readFile(dir.file("short.nex", "\xEF\xBB"))), "\xEF\xBB");

    const std::string docText = bom + text;
    InputStatus doc{};
    initDocumentInput(&doc, docText.data(), docText.size());
    EXPECT_EQ(charsOf(drainActiveInput()), charsOf(plain));
    setActiveInput(nullptr);

    // Rewinding a file goes back to just after the mark.
    InputStatus file{};
    ASSERT_EQ(openInputFile((dir.path() + "/marked.nex").c_str(), 0, nullptr, &file), 0);
    char line[32];
    ASSERT_EQ(readNextLine(sizeof line, line), 0);
    EXPECT_STREQ(line, "#NEXUS");
    rewindCurrentInput();
    ASSERT_EQ(readNextLine(sizeof line, line), 0);
    EXPECT_STREQ(line, "#NEXUS");
    EXPECT_EQ(closeInputFile(&file), 0);
}

// Random texts in the three conventions against a plain reference filter.
TEST_F(IoTest, RandomTextsMatchReferenceInEveryConvention)
{
    TempDir dir;
    std::mt19937 rng(20240611);
    for (int trial = 0; trial < 40; ++trial) {
        std::string lf;
        const int len = std::uniform_int_distribution<int>(0, 300)(rng);
        for (int i = 0; i < len; ++i) {
            int b = std::uniform_int_distribution<int>(0, 255)(rng);
            if (b == '\r')
                b = '\n';
            if (i % 7 == 0)
                b = '\n';
            lf += static_cast<char>(b);
        }
        std::string expected;
        uint32_t lines = 0;
        for (unsigned char c : lf) {
            if (c == '\n')
                ++lines;
            if (c == '\n' || c == '\t' || (c >= 32 && c != 127))
                expected += static_cast<char>(c);
        }
        for (const char *eol : {"\n", "\r\n", "\r"}) {
            auto reads = readFile(dir.file("r", withLineEnds(lf, eol)));
            ASSERT_EQ(charsOf(reads), expected) << "trial " << trial;
            if (!reads.empty()) {
                EXPECT_EQ(reads.back().line, lines);
            }
        }
    }
}

TEST_F(IoTest, DocumentKeepsHighBytesAndEndsAtItsLength)
{
    const char text[] = "a\xE9\xFF\x01z\x80q\r\nend";  // 0xFF inside
    InputStatus doc{};
    initDocumentInput(&doc, text, sizeof text - 1);
    auto reads = drainActiveInput();
    EXPECT_EQ(charsOf(reads), std::string("a\xE9\xFFz\x80q\nend"));
    EXPECT_EQ(reads.back().line, 1u);
    EXPECT_EQ(doc.docIndex, sizeof text - 1);

    // A CR-only document keeps its line breaks.
    InputStatus cr{};
    initDocumentInput(&cr, "x\ry\r", 4);
    auto crReads = drainActiveInput();
    EXPECT_EQ(charsOf(crReads), "x\ny\n");
    EXPECT_EQ(crReads.back().line, 2u);
}

// A NUL byte of a file or document is skipped after being counted, like the
// other control bytes, however it is read (a character at a time or a line
// at a time): a UTF-16LE text of ASCII reads as the text it holds.
TEST_F(IoTest, NulBytesAreSkippedLikeOtherControlBytes)
{
    TempDir dir;
    const std::string text = std::string("ab\nc\0d\ne\0f\x01\x7f\n", 14);
    const std::string path = dir.file("nul.nex", text);
    for (bool lines : {false, true}) {
        testcap::clearCaptured();
        InputStatus in{};
        ASSERT_EQ(openInputFile(path.c_str(), 0, nullptr, &in), 0);
        std::string got;
        if (lines) {
            while (readNextCharsThrough('\n', got)) {
            }
        } else {
            got = charsOf(drainActiveInput());
        }
        EXPECT_EQ(got, "ab\ncd\nef\n") << "by lines " << lines;
        EXPECT_TRUE(gErrorCodes.empty());
        EXPECT_EQ(in.pos.charCount, text.size());
        EXPECT_EQ(in.pos.lineNum, 3u);
        EXPECT_EQ(closeInputFile(&in), 0);
    }

    testcap::clearCaptured();
    const std::string utf16 = std::string("#\0N\0E\0X\0U\0S\0\n\0", 14);
    InputStatus doc{};
    initDocumentInput(&doc, utf16.data(), utf16.size());
    EXPECT_EQ(charsOf(drainActiveInput()), "#NEXUS\n");
    EXPECT_TRUE(gErrorCodes.empty());
    setActiveInput(nullptr);
}

TEST_F(IoTest, TerminalBytesAreUnsigned)
{
    gBaseInputInfo = InputStatus{};
    setActiveInput(&gBaseInputInfo);
    type("ab\xE9\xFF\x02\x7f" "c\n");
    std::string got;
    for (int c = readNextChar(); c != -1; c = readNextChar())
        got += static_cast<char>(c);
    EXPECT_EQ(got, "ab\xE9\xFF" "c\n");
    EXPECT_EQ(gBaseInputInfo.pos.charCount, 8u);
    EXPECT_EQ(gBaseInputInfo.pos.lineNum, 1u);
}

TEST_F(IoTest, ReadNextLine)
{
    InputStatus doc{};
    const std::string text = "abc  \t\nlong line here\nx";
    initDocumentInput(&doc, text.data(), text.size());
    char buf[16];
    EXPECT_EQ(readNextLine(sizeof buf, buf), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(readNextLine(5, buf), 1);  // kept 4 characters, the rest dropped
    EXPECT_STREQ(buf, "long");
    EXPECT_EQ(readNextLine(sizeof buf, buf), 0);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(readNextLine(sizeof buf, buf), -1);
}

TEST_F(IoTest, OpenFailuresAndQuietMode)
{
    TempDir dir;
    StreamInfo *s = nullptr;
    const std::string missing = dir.path() + "/nope.nex";
    EXPECT_EQ(openStream(missing.c_str(), kStreamRead | kStreamQuiet, nullptr, &s), 1);
    EXPECT_TRUE(gErrorCodes.empty());
    EXPECT_EQ(openStream(missing.c_str(), kStreamRead, nullptr, &s), 1);
    EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{102});
    EXPECT_NE(iotest::gErrorText.find(missing), std::string::npos);
    EXPECT_EQ(s, nullptr);

    // Relative names are taken against the given directory.
    dir.file("rel.nex", "x");
    ASSERT_EQ(openStream("rel.nex", kStreamRead, dir.path().c_str(), &s), 0);
    EXPECT_STREQ(streamFilename(s), "rel.nex");
    EXPECT_EQ(streamPathnameForDisplay(s, 256), dir.path() + "/rel.nex");
    // A display length counts the terminator: at most 15 characters here,
    // the file name kept whole behind the cut directory.
    const std::string shortForm = streamPathnameForDisplay(s, 16);
    EXPECT_LE(shortForm.size(), 15u);
    EXPECT_EQ(shortForm.substr(shortForm.size() - 8), "/rel.nex");
    EXPECT_EQ(closeStream(&s), 0);
    EXPECT_EQ(s, nullptr);

    // ".." components are resolved: the stream records the real directory.
    std::filesystem::create_directory(dir.path() + "/sub");
    ASSERT_EQ(openStream("sub/../rel.nex", kStreamRead, dir.path().c_str(), &s), 0);
    EXPECT_EQ(std::string(s->fileSpec.dirSpec), dir.path());
    EXPECT_STREQ(s->fileSpec.filename, "rel.nex");
    EXPECT_EQ(closeStream(&s), 0);
}

TEST_F(IoTest, ReplaceQuestion)
{
    TempDir dir;
    const std::string p = dir.file("out.txt", "old content");
    StreamInfo *s = nullptr;

    type("n\n");
    EXPECT_EQ(openStream(p.c_str(), kStreamWrite, nullptr, &s), kOpenDeclined);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(slurp(p), "old content");
    EXPECT_NE(gOut.find("OK to replace file \"out.txt\"? (Y/n) "), std::string::npos);
    // A writer stops there as the user's cancel, not as a failure.
    int status = 0;
    type("n\n");
    EXPECT_EQ(openAuxOutStream(p.c_str(), false, false, &status), nullptr);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(slurp(p), "old content");

    gOut.clear();
    type("\n");  // the default is yes
    ASSERT_EQ(openStream(p.c_str(), kStreamWrite, nullptr, &s), 0);
    std::fputs("new", s->fp);
    EXPECT_EQ(closeStream(&s), 0);
    EXPECT_EQ(slurp(p), "new");

    gOut.clear();
    ASSERT_EQ(openStream(p.c_str(), kStreamWrite | kStreamNoReplaceQuery, nullptr, &s), 0);
    EXPECT_EQ(gOut.find("replace"), std::string::npos);
    EXPECT_EQ(closeStream(&s), 0);
    EXPECT_EQ(slurp(p), "");

    // Append keeps what is there.
    dir.file("log.txt", "one\n");
    const std::string logPath = dir.path() + "/log.txt";
    ASSERT_EQ(openOutputStream(logPath.c_str(), false, true, &s), 0);
    std::fputs("two\n", s->fp);
    EXPECT_EQ(closeStream(&s), 0);
    EXPECT_EQ(slurp(logPath), "one\ntwo\n");
}

TEST_F(IoTest, WriteOntoADeviceNotesThatItCannotBeEmptied)
{
    // /dev/null cannot be truncated; being no plain file it has no content
    // to replace, so the open goes on after a note and the writes go there.
    StreamInfo *s = nullptr;
    EXPECT_EQ(openStream("/dev/null", kStreamWrite | kStreamNoReplaceQuery, nullptr, &s), 0);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(gErrorCodes.empty());
    EXPECT_NE(gOut.find("Note: attempt to truncate file /dev/null failed; program execution continuing anyway."),
              std::string::npos);
    EXPECT_GT(std::fputs("written\n", s->fp), 0);
    EXPECT_EQ(closeStream(&s), 0);
}

TEST_F(IoTest, StreamErrorReportedAtClose)
{
    TempDir dir;
    const std::string p = dir.file("r.txt", "abc");
    StreamInfo *s = nullptr;
    ASSERT_EQ(openStream(p.c_str(), kStreamRead, nullptr, &s), 0);
    EXPECT_EQ(std::fputc('x', s->fp), EOF);  // writing a read stream sets its error state
    EXPECT_EQ(closeStream(&s), 1);
    // Reported once, by the message unit's file-error report, naming the file.
    auto has = [](const std::string &text) { return gOut.find(text) != std::string::npos; };
    const bool is105 = has("\nError(#105): ") && has("I/O error on file \"" + p + "\"");
    const bool is107 = has("\nError(#107): ") && has("I/O error ") && has(" on file \"" + p + "\" (");
    EXPECT_TRUE(is105 || is107) << gOut;
    EXPECT_EQ(gOut.find("Error(#10", gOut.find("Error(#10") + 1), std::string::npos);
    EXPECT_EQ(closeStream(&s), 0);  // a null stream
}

// Runs `fn` in a child process and returns its exit status.
template <typename F>
int inChild(F fn)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// Child exit status: the open result, plus 10 when error 137 was reported.
int childOpen(const std::string &path, uint32_t flags, bool locking)
{
    gQelIo.fileLocking = locking;
    gErrorCodes.clear();
    StreamInfo *s = nullptr;
    int rc = openStream(path.c_str(), flags | kStreamNoReplaceQuery, nullptr, &s);
    closeStream(&s);
    bool reported = !gErrorCodes.empty() && gErrorCodes[0] == 137;
    return rc + (reported ? 10 : 0);
}

TEST_F(IoTest, LockingRefusesAnotherProcess)
{
    TempDir dir;
    const std::string p = dir.file("locked.tre", "x");
    StreamInfo *held = nullptr;
    ASSERT_EQ(openStream(p.c_str(), kStreamWrite | kStreamNoReplaceQuery | kStreamLock, nullptr, &held), 0);
    EXPECT_TRUE(held->flags & kStreamLocked);

    EXPECT_EQ(inChild([&] { return childOpen(p, kStreamWrite | kStreamLock, true); }), 12);
    EXPECT_EQ(inChild([&] { return childOpen(p, kStreamRead | kStreamLock, true); }), 12);
    EXPECT_EQ(inChild([&] { return childOpen(p, kStreamAppend | kStreamLock, false); }), 0);
    // The refused child must not have emptied the file; what the holder
    // writes replaces it when the holder closes.
    EXPECT_EQ(slurp(p), "x");
    std::fputs("kept", held->fp);

    // Opening the same file once more in this process and closing it does
    // not drop the lock that the first stream holds.
    StreamInfo *reader = nullptr;
    ASSERT_EQ(openStream(p.c_str(), kStreamRead, nullptr, &reader), 0);
    closeStream(&reader);
    EXPECT_EQ(inChild([&] { return childOpen(p, kStreamAppend | kStreamLock, true); }), 12);

    EXPECT_EQ(closeStream(&held), 0);
    EXPECT_EQ(slurp(p), "kept");
    EXPECT_EQ(inChild([&] { return childOpen(p, kStreamAppend | kStreamLock, true); }), 0);

    // Readers share.
    ASSERT_EQ(openStream(p.c_str(), kStreamRead | kStreamLock, nullptr, &held), 0);
    EXPECT_EQ(inChild([&] { return childOpen(p, kStreamRead | kStreamLock, true); }), 0);
    EXPECT_EQ(inChild([&] { return childOpen(p, kStreamAppend | kStreamLock, true); }), 12);
    closeStream(&held);
}

TEST_F(IoTest, ActiveInputStackAndPositionRoundTrip)
{
    TempDir dir;
    const std::string p = dir.file("outer.nex", "first\nsecond\nthird\n");
    InputStatus doc{};
    initDocumentInput(&doc, "d", 1);
    InputStatus file{};
    ASSERT_EQ(openInputFile(p.c_str(), 0, nullptr, &file), 0);
    EXPECT_EQ(getActiveInput(), &file);
    EXPECT_TRUE(inBatchInputMode());
    char dirBuf[kPathBufSize];
    ASSERT_NE(getActiveInputDirSpec(dirBuf), nullptr);
    EXPECT_EQ(std::string(dirBuf), dir.path());
    EXPECT_EQ(getInputDocSize(&file), 19u);

    char line[32];
    ASSERT_EQ(readNextLine(sizeof line, line), 0);
    InputStatus mark{};
    currentInputInfo(&mark);
    EXPECT_EQ(mark.pos.charCount, 6u);
    ASSERT_EQ(readNextLine(sizeof line, line), 0);
    EXPECT_STREQ(line, "second");
    resetCurrentInput(&mark);
    ASSERT_EQ(readNextLine(sizeof line, line), 0);
    EXPECT_STREQ(line, "second");
    EXPECT_EQ(getActiveInput()->pos.lineNum, 2u);
    rewindCurrentInput();
    ASSERT_EQ(readNextLine(sizeof line, line), 0);
    EXPECT_STREQ(line, "first");

    EXPECT_EQ(closeInputFile(&file), 0);
    EXPECT_EQ(getActiveInput(), &doc);
    EXPECT_EQ(readNextChar(), 'd');
}

TEST_F(IoTest, GetUserInputFromRedirectedInput)
{
    type("answer one\n" + std::string(40, 'z') + "\nnext\n");
    char buf[16];
    EXPECT_EQ(getUserInput("p> ", buf, sizeof buf, true), 0);
    EXPECT_STREQ(buf, "answer one\n");
    EXPECT_EQ(gOut, "\np> answer one\n");
    // An over-long line is cut, and its rest is not left for the next read.
    EXPECT_EQ(getUserInput("p> ", buf, sizeof buf, true), 0);
    EXPECT_EQ(std::string(buf), std::string(14, 'z') + "\n");
    EXPECT_EQ(getUserInput("p> ", buf, sizeof buf, true), 0);
    EXPECT_STREQ(buf, "next\n");
}

TEST_F(IoTest, GetUserInputAtTerminal)
{
    gQelIo.stdinNotTerminal = false;
    type("\n\nhi\n" + std::string(20, 'q') + "\n");
    char buf[8];
    // With editing, empty lines prompt again.
    EXPECT_EQ(getUserInput("> ", buf, sizeof buf, true), 0);
    EXPECT_STREQ(buf, "hi\n");
    gOut.clear();
    EXPECT_EQ(getUserInput("> ", buf, sizeof buf, true), 0);
    EXPECT_STREQ(buf, "qqqqqq\n");
    EXPECT_NE(gOut.find("\nLine too long.\n"), std::string::npos);
    // End of input gives 1 and a lone newline.
    EXPECT_EQ(getUserInput("> ", buf, sizeof buf, true), 1);
    EXPECT_STREQ(buf, "\n");
}

TEST_F(IoTest, MissingInputEndsTheRun)
{
    type("");
    char buf[16];
    qel_errorMsg = std_errorMsg;
    EXPECT_EXIT(getUserInput("> ", buf, sizeof buf, false), ::testing::ExitedWithCode(1),
                "Expected input not found or invalid");
    // Detached, the end of redirected input is the end of the commands: the
    // read gives 1 and the caller decides (an unanswerable question still
    // ends the run with 1, silently).
    gQelIo.detachedMode = true;
    const int ended = iotest::childStatus([&] {
        const bool lone = getUserInput("> ", buf, sizeof buf, false) == 1 && std::string(buf) == "\n";
        return lone && typedInputEnded() ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == 0);
    EXPECT_EXIT(checkStdInputError(buf, nullptr, 0), ::testing::ExitedWithCode(1), "^$");
    // Detached at a real terminal: reading a command ends the run with 16.
    gQelIo.stdinNotTerminal = false;
    gBaseInputInfo = InputStatus{};
    setActiveInput(&gBaseInputInfo);
    EXPECT_EXIT(readNextChar(), ::testing::ExitedWithCode(16), "");
}

TEST_F(IoTest, LineEditorCanBeCreated)
{
    EXPECT_NE(initTecla(), nullptr);
    EXPECT_EQ(shutdownTecla(), nullptr);
}

// Reads the active input up to and including the first character of the
// given 1-based line.
void readToLine(uint32_t line1Based)
{
    while (getActiveInput()->pos.lineNum + 1 < line1Based)
        ASSERT_NE(readNextChar(), -1);
    ASSERT_NE(readNextChar(), -1);
}

constexpr const char *kPositionText = "Error occurred while processing line";

TEST_F(IoTest, ErrorsWhileAFileRunsNameItsLine)
{
    TempDir dir;
    const std::string p = dir.file("cmds.nex", "one;\ntwo;\nthree;\nfour;\n");
    InputStatus file{};
    ASSERT_EQ(openInputFile(p.c_str(), 0, nullptr, &file), 0);
    readToLine(3);
    EXPECT_EQ(errorMsg(5, "Bad %s.", "thing"), 1);
    // The 1-based line, and the file's name without its directory.
    EXPECT_NE(gOut.find("Bad thing.\n"), std::string::npos);
    EXPECT_NE(gOut.find("Error occurred while processing line 3 of file cmds.nex\n"), std::string::npos) << gOut;
    EXPECT_EQ(gOut.find(dir.path()), std::string::npos);

    readToLine(4);
    gOut.clear();
    errorMsg(0, "Again.");
    EXPECT_NE(gOut.find("line 4 of file cmds.nex\n"), std::string::npos) << gOut;

    // File errors, suppressed positions and a file not read in batch mode
    // give no position.
    for (uint32_t code : {106u, 107u}) {
        gOut.clear();
        errorMsg(code, "File trouble.");
        EXPECT_EQ(gOut.find(kPositionText), std::string::npos) << code;
    }
    gQelIo.suppressFilePosition = true;
    gOut.clear();
    errorMsg(5, "Asking.");
    EXPECT_EQ(gOut.find(kPositionText), std::string::npos);
    gQelIo.suppressFilePosition = false;
    setBatchInputMode(false);
    gOut.clear();
    errorMsg(5, "Interactive.");
    EXPECT_EQ(gOut.find(kPositionText), std::string::npos);
    setBatchInputMode(true);

    // A text run from memory (a script) is batch input but no file.
    InputStatus doc{};
    const std::string text = "x\ny\nz\n";
    initDocumentInput(&doc, text.data(), text.size());
    readToLine(2);
    gOut.clear();
    errorMsg(5, "In a script.");
    EXPECT_NE(gOut.find("In a script."), std::string::npos);
    EXPECT_EQ(gOut.find(kPositionText), std::string::npos);

    // Back in the file, and at the terminal after it is closed.
    setActiveInput(&file);
    gOut.clear();
    errorMsg(5, "Back.");
    EXPECT_NE(gOut.find("line 4 of file cmds.nex"), std::string::npos);
    EXPECT_EQ(closeInputFile(&file), 0);
    gBaseInputInfo = InputStatus{};
    setActiveInput(&gBaseInputInfo);
    gOut.clear();
    errorMsg(5, "Typed.");
    EXPECT_EQ(gOut.find(kPositionText), std::string::npos);
}

TEST_F(IoTest, RelativeNamesInsideACommandFileUseItsDirectory)
{
    TempDir dir;
    std::filesystem::create_directory(dir.path() + "/run");
    const std::string runDir = dir.path() + "/run";
    const std::string cmds = dir.file("run/cmds.nex", "execute data.nex;\n");
    dir.file("run/data.nex", "inner");
    char cwd[kPathnameBufSize];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    char buf[kPathnameBufSize];

    // At the terminal a relative name is taken from the current directory.
    gBaseInputInfo = InputStatus{};
    setActiveInput(&gBaseInputInfo);
    ASSERT_NE(expandPathname("out.tre", nullptr, buf), nullptr);
    EXPECT_EQ(std::string(buf), std::string(cwd) + "/out.tre");

    InputStatus file{};
    ASSERT_EQ(openInputFile(cmds.c_str(), 0, nullptr, &file), 0);
    ASSERT_NE(expandPathname("out.tre", nullptr, buf), nullptr);
    EXPECT_EQ(std::string(buf), runDir + "/out.tre");
    ASSERT_NE(expandPathname("../up.tre", nullptr, buf), nullptr);
    EXPECT_EQ(std::string(buf), dir.path() + "/up.tre");

    // Opening and writing follow the same rule.
    StreamInfo *s = nullptr;
    ASSERT_EQ(openStream("data.nex", kStreamRead, nullptr, &s), 0);
    EXPECT_EQ(std::string(s->fileSpec.dirSpec), runDir);
    EXPECT_EQ(closeStream(&s), 0);
    ASSERT_EQ(openOutputStream("out.tre", true, false, &s), 0);
    std::fputs("tree", s->fp);
    EXPECT_EQ(closeStream(&s), 0);
    EXPECT_EQ(slurp(runDir + "/out.tre"), "tree");

    // A directory set by CD inside the file takes precedence.
    std::string cdDir = dir.path();
    file.dirText = cdDir.data();
    ASSERT_NE(expandPathname("out.tre", nullptr, buf), nullptr);
    EXPECT_EQ(std::string(buf), dir.path() + "/out.tre");
    file.dirText = nullptr;

    // An in-memory script has no directory of its own.
    InputStatus doc{};
    initDocumentInput(&doc, "x", 1);
    ASSERT_NE(expandPathname("out.tre", nullptr, buf), nullptr);
    EXPECT_EQ(std::string(buf), std::string(cwd) + "/out.tre");

    setActiveInput(&file);
    EXPECT_EQ(closeInputFile(&file), 0);
}

TEST_F(IoTest, ReadingALineRestartsPagingAndSeparatesOutput)
{
    qel_resetOutputEngine();
    outtest::CapturedStream out;
    OutputTerminal saved =
        setOutputTerminal(OutputTerminal{out.file(), out.file(), nullptr, false, false, false, nullptr, nullptr});
    setOutputNumRows(1000);
    outInfo.linesSincePause = 40;

    type("answer\n");
    char line[16];
    ASSERT_EQ(getUserInput("? ", line, sizeof line, false), 0);
    EXPECT_EQ(outInfo.linesSincePause, 1u);
    // The engine was asked for a blank line before the next output.
    myputs("after\n");
    EXPECT_EQ(out.text(), "\nafter\n");

    setOutputTerminal(saved);
    qel_resetOutputEngine();
}

}  // namespace
