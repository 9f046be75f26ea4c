#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "cli/qel_cmdline.h"
#include "support/format_support.h"

namespace {

std::string gOut;
std::vector<uint32_t> gErrors;
std::vector<uint32_t> gWarnings;
std::string gMsgText;

int capturePrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gOut += testfmt::vformat(format, args);
    va_end(args);
    return 0;
}

int captureError(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gMsgText += testfmt::vformat(format, args) + "\n";
    va_end(args);
    gErrors.push_back(code);
    return 1;
}

int captureWarning(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gMsgText += testfmt::vformat(format, args) + "\n";
    va_end(args);
    gWarnings.push_back(code);
    return 0;
}

struct Token {
    std::string text;
    int result;
    uint32_t startLine, startCount, endCount;
    bool operator==(const Token &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Token &t)
{
    return os << "{\"" << t.text << "\" r" << t.result << " L" << t.startLine << " @" << t.startCount << "-"
              << t.endCount << "}";
}

// Start-up state: NEXUS mode on, messages captured, terminal scripted.
class Tokenizer : public ::testing::Test {
protected:
    std::string docText;
    InputStatus doc{};
    MemoryTerminal terminal{};
    std::string typed;

    void SetUp() override
    {
        gOut.clear();
        gErrors.clear();
        gWarnings.clear();
        gMsgText.clear();
        savedPrintf_ = qel_printf;
        savedError_ = qel_errorMsg;
        savedWarning_ = qel_warningMsg;
        qel_printf = capturePrintf;
        qel_errorMsg = captureError;
        qel_warningMsg = captureWarning;
        savedIo_ = gQelIo;
        gQelIo.stdinNotTerminal = true;
        gQelIo.stdoutNotTerminal = true;
        gQelIo.detachedMode = false;
        gQelIo.parentPid = 0;
        setTerminalInput(memoryTerminalByte, &terminal);
        IoServiceHooks hooks{};
        hooks.nextCommandChar = readCharFromCmdLine;
        setIoServiceHooks(hooks);
        setAbortedStatus(0);
        qel_initializeParser(true);
        setErrorStopQuery(nullptr);
        setNoActiveTerminal(false);
        ASSERT_EQ(allocCmdLine(), 0);
        setActiveInput(nullptr);
    }
    void TearDown() override
    {
        deallocCmdLine();
        setIoServiceHooks(IoServiceHooks{});
        setTerminalInput(nullptr, nullptr);
        setActiveInput(nullptr);
        gQelIo = savedIo_;
        qel_printf = savedPrintf_;
        qel_errorMsg = savedError_;
        qel_warningMsg = savedWarning_;
        setAbortedStatus(0);
        qel_initializeParser(true);
        setErrorStopQuery(nullptr);
    }

    // Makes text the active (batch) input.
    void feed(std::string text)
    {
        docText = std::move(text);
        initDocumentInput(&doc, docText.data(), docText.size());
    }
    // Makes the terminal the active input, with these lines to be typed.
    void type(std::string text)
    {
        typed = std::move(text);
        terminal = MemoryTerminal{typed.data(), typed.size(), 0};
        gBaseInputInfo = InputStatus{};
        gBaseInputInfo.batch = 0;
        setActiveInput(&gBaseInputInfo);
        flushCmdLineBuffer();
    }
    size_t typedConsumedFromTerminal() const { return terminal.index; }

    Token next(uint32_t size = 256, const char *ws = nullptr, const char *punct = nullptr, bool endOk = true)
    {
        std::vector<char> buf(size);
        Token t;
        t.result = readSpecialToken(buf.data(), size, ws, punct, nullptr, endOk);
        t.text = buf.data();
        t.startLine = gActiveInput->wordStart.lineNum;
        t.startCount = gActiveInput->wordStart.charCount;
        t.endCount = gActiveInput->wordEnd.charCount;
        return t;
    }
    std::vector<std::string> words(const char *ws = nullptr, const char *punct = nullptr)
    {
        std::vector<std::string> out;
        for (Token t = next(256, ws, punct); t.result >= 0; t = next(256, ws, punct))
            out.push_back(t.text);
        return out;
    }

private:
    PrintHook savedPrintf_{};
    MsgHook savedError_{};
    MsgHook savedWarning_{};
    QelIo savedIo_{};
};

using V = std::vector<std::string>;

TEST_F(Tokenizer, PunctuationQuotesAndSigns)
{
    feed("a=b;c");
    EXPECT_EQ(words(), (V{"a", "=", "b", ";", "c"}));

    feed("'it''s' 'a [b] _c;'x ''");
    Token t = next();
    EXPECT_EQ(t.result, kTokenQuoted);
    EXPECT_EQ(t.text, "it's");
    EXPECT_EQ(t.endCount, 7u);  // just past the closing quote
    t = next();
    EXPECT_EQ(t.result, kTokenQuoted);
    EXPECT_EQ(t.text, "a [b] _c;");  // brackets, underscores and ";" as they are
    EXPECT_EQ(next().text, "x");     // a quote right after a quoted word starts a new word
    t = next();
    EXPECT_EQ(t.result, kTokenQuoted);
    EXPECT_EQ(t.text, "");

    feed("+5 -2.5e-3");
    EXPECT_EQ(words(), (V{"+", "5", "-", "2.5e", "-", "3"}));
    feed("+5 -2.5e-3");
    EXPECT_EQ(words(nullptr, getNumericPunct()), (V{"+5", "-2.5e-3"}));

    // A quote ends a plain word; every standard punctuation character is a word.
    feed("ab'c d'(){}/\\,;:=*\"+-");
    EXPECT_EQ(words(), (V{"ab", "c d", "(", ")", "{", "}", "/", "\\", ",", ";", ":", "=", "*", "\"", "+", "-"}));
    EXPECT_TRUE(gErrors.empty());
}

bool noDigitsUnlessQuoted(const char *word, bool quoted)
{
    return quoted || std::string(word).find_first_of("0123456789") == std::string::npos;
}

TEST_F(Tokenizer, ValidatorMayRefuseWords)
{
    feed("abc a1 '42' ;");
    char buf[16];
    EXPECT_EQ(readSpecialToken(buf, sizeof buf, nullptr, nullptr, noDigitsUnlessQuoted, false), kTokenPlain);
    EXPECT_EQ(readSpecialToken(buf, sizeof buf, nullptr, nullptr, noDigitsUnlessQuoted, false), kTokenRefused);
    EXPECT_STREQ(buf, "a1");  // the refused word is still there to report
    EXPECT_EQ(readSpecialToken(buf, sizeof buf, nullptr, nullptr, noDigitsUnlessQuoted, false), kTokenQuoted);
    EXPECT_STREQ(buf, "42");
}

TEST_F(Tokenizer, LongWordsAreCutAndFlagged)
{
    const std::string forty(40, 'w');
    feed(forty + " next '" + forty + "' after");
    Token t = next(33);
    EXPECT_EQ(t.text, std::string(32, 'w'));
    EXPECT_TRUE(tokenWasTruncated());
    EXPECT_EQ(t.endCount, 40u);  // the whole word was read
    EXPECT_EQ(next(33).text, "next");
    EXPECT_FALSE(tokenWasTruncated());
    t = next(33);
    EXPECT_EQ(t.result, kTokenQuoted);
    EXPECT_EQ(t.text, std::string(32, 'w'));
    EXPECT_TRUE(tokenWasTruncated());
    EXPECT_EQ(next(33).text, "after");

    // Exactly size - 1 characters fit without a cut; a one-byte buffer holds none.
    feed("abcd ef");
    EXPECT_EQ(next(5).text, "abcd");
    EXPECT_FALSE(tokenWasTruncated());
    EXPECT_EQ(next(1).text, "");
    EXPECT_TRUE(tokenWasTruncated());
}

TEST_F(Tokenizer, UnderscoresAndTrailingBlanks)
{
    feed("set_1 _x ab__ 'q_r' a_");
    EXPECT_EQ(words(), (V{"set 1", " x", "ab", "q_r", "a"}));
    setKeepUnderscores(true);
    feed("set_1 _x ab__ 'q_r'");
    EXPECT_EQ(words(), (V{"set_1", " x", "ab__", "q_r"}));

    // The option callback: keyword 1 is "keep", 0 "convert".
    EXPECT_EQ(changeUndscSetting(0), 0);
    EXPECT_FALSE(gSettings.keepUnderscores);
    changeUndscSetting(1);
    EXPECT_TRUE(gSettings.keepUnderscores);

    // A private block name keeps the blank rule; a file name keeps its underscores.
    setKeepUnderscores(false);
    feed("_private _my_file.nex;");
    EXPECT_EQ(next().text, " private");
    char path[64];
    EXPECT_EQ(readPathName(path, sizeof path), 0);
    EXPECT_STREQ(path, "_my_file.nex");
    EXPECT_EQ(readSemicolon(), 0);
}

TEST_F(Tokenizer, CommentsNestedInsideWordsAndVisible)
{
    feed("[a [b] c] word x[c]y [!Hello] z");
    EXPECT_EQ(words(), (V{"word", "xy", "z"}));
    EXPECT_EQ(gOut, "Hello\n");
    EXPECT_EQ(gActiveInput->commentLevel, 0u);

    gOut.clear();
    feed("[!ab[cd]e\tf\ng] k");
    EXPECT_EQ(words(), (V{"k"}));
    EXPECT_EQ(gOut, "abe    f\ng\n");  // nested text hidden, tab as four blanks

    gOut.clear();
    feed("[!" + std::string(150, 'v') + "]");
    EXPECT_EQ(next().result, kTokenEnd);
    EXPECT_EQ(gOut, std::string(100, 'v') + "\n" + std::string(50, 'v') + "\n");

    gOut.clear();
    setShowVisibleComments(false);
    feed("[!quiet] q");
    EXPECT_EQ(words(), (V{"q"}));
    EXPECT_EQ(gOut, "");

    // Without comment recognition "[" is an ordinary character.
    setRecognizeNexusComments(false);
    feed("[abc] d");
    EXPECT_EQ(words(), (V{"[abc]", "d"}));

    // A comment may span lines of a file.
    setNexusMode(true);
    feed("[one\ntwo] w");
    EXPECT_EQ(words(), (V{"w"}));
    EXPECT_TRUE(gErrors.empty());
}

TEST_F(Tokenizer, DeepNestingNeedsNoStack)
{
    const int depth = 200000;
    feed(std::string(depth, '[') + std::string(depth, ']') + " after");
    EXPECT_EQ(words(), (V{"after"}));
    EXPECT_EQ(gActiveInput->commentLevel, 0u);
}

// An open quote or comment at the end is a failure, even where a clean end
// would be acceptable.
TEST_F(Tokenizer, OpenQuoteOrCommentAtEndIsFailure)
{
    for (bool endOk : {true, false}) {
        gErrors.clear();
        feed("abc 'never closed");
        EXPECT_EQ(next(256, nullptr, nullptr, endOk).text, "abc");
        EXPECT_EQ(next(256, nullptr, nullptr, endOk).result, kTokenUnterminated);
        EXPECT_EQ(gErrors, (std::vector<uint32_t>{111}));

        gErrors.clear();
        feed("abc [open [nested] still open");
        next(256, nullptr, nullptr, endOk);
        EXPECT_EQ(next(256, nullptr, nullptr, endOk).result, kTokenUnterminated);
        EXPECT_EQ(gErrors, (std::vector<uint32_t>{110}));
        EXPECT_EQ(gActiveInput->commentLevel, 0u);

        gErrors.clear();
        feed("ab[cd");  // inside a word
        EXPECT_EQ(next(256, nullptr, nullptr, endOk).result, kTokenUnterminated);
        EXPECT_EQ(gErrors, (std::vector<uint32_t>{110}));
    }
    EXPECT_NE(gMsgText.find("Comment not terminated.\tEach opening '[' character must be matched by a "
                            "closing ']' character."),
              std::string::npos);

    feed("[open");
    EXPECT_EQ(readNextDarkChar(nullptr), kCharOpenComment);
    feed("x [open");
    EXPECT_EQ(readNextNoncommentChar(), 'x');
    readNextNoncommentChar();
    const InputPos before = gActiveInput->pos;
    EXPECT_EQ(readNextNoncommentChar(), kCharOpenComment);
    EXPECT_EQ(gActiveInput->pos.charCount, before.charCount);  // back at the comment
    feed("[open");
    char path[32];
    EXPECT_EQ(readPathName(path, sizeof path), kTokenUnterminated);
    feed("a [open");
    EXPECT_NE(skipRestOfCmd(), 0);
    feed("a 'b");
    EXPECT_NE(skipThruEndOfBlock(), 0);
}

TEST_F(Tokenizer, EndOfInputMessages)
{
    feed("  ");
    EXPECT_EQ(next(256, nullptr, nullptr, false).result, kTokenEnd);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{115}));

    gErrors.clear();
    setNexusMode(false);
    feed("");
    EXPECT_EQ(next(256, nullptr, nullptr, false).result, kTokenEnd);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{114}));
    EXPECT_NE(gMsgText.find("Unexpected end-of-file was encountered.\tMake sure the file format is "
                            "correct for the current operation."),
              std::string::npos);

    gErrors.clear();
    setParsingNexusBlock(true);
    EXPECT_TRUE(doingNexusBlock());
    feed("");
    next(256, nullptr, nullptr, false);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{115}));

    gErrors.clear();
    feed("");
    EXPECT_EQ(next(256, nullptr, nullptr, true).result, kTokenEnd);  // allowed: silent
    setNoActiveTerminal(true);
    type("");
    EXPECT_EQ(next(256, nullptr, nullptr, false).result, kTokenEnd);  // terminal: silent
    EXPECT_TRUE(gErrors.empty());
}

std::string withLineEnds(const std::string &lf, const char *eol)
{
    std::string out;
    for (char c : lf)
        out += c == '\n' ? std::string(eol) : std::string(1, c);
    return out;
}

TEST_F(Tokenizer, PositionsAcrossLineEnds)
{
    const std::string lf = "ab cd\n\n  'x\ny' [c\n] e;\nf";
    const std::vector<Token> expected = {
        {"ab", 0, 0, 0, 2},   {"cd", 0, 0, 3, 5},  {"x\ny", 1, 2, 9, 14},
        {"e", 0, 4, 20, 21},  {";", 0, 4, 21, 22}, {"f", 0, 5, 23, 24},
    };
    for (const char *eol : {"\n", "\r\n", "\r"}) {
        feed(withLineEnds(lf, eol));
        std::vector<Token> got;
        for (Token t = next(); t.result >= 0; t = next())
            got.push_back(t);
        EXPECT_EQ(got, expected) << "line end " << (eol[0] == '\n' ? "LF" : eol[1] ? "CRLF" : "CR");
    }
}

// Random token streams written out with random separators, comments and
// line-end conventions must read back exactly, with the positions a plain
// count over the text gives.
TEST_F(Tokenizer, RandomStreamsReadBack)
{
    std::mt19937 rng(7731);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const std::string plainChars = "abcXYZ019.!@#$%&<>?|~^";
    const std::string punct = "(){}/\\,;:=*\"+-";
    const std::string quotedChars = "ab ;[]_(\n'";
    char dirBuf[kPathBufSize];
    ASSERT_NE(makeTempDirectory("cmdlinetest", dirBuf), nullptr);
    const std::string dir = dirBuf;

    for (int trial = 0; trial < 150; ++trial) {
        std::string text;  // LF form
        std::vector<Token> want;
        bool prevNeedsSpace = false;
        auto lineOf = [&](size_t offset) {
            uint32_t n = 0;
            for (size_t i = 0; i < offset; ++i)
                n += text[i] == '\n';
            return n;
        };
        const int ntok = pick(30);
        for (int k = 0; k < ntok; ++k) {
            // Separator: blanks, line ends, comments (some nested).
            std::string sep;
            for (int s = pick(4); s > 0; --s) {
                switch (pick(4)) {
                case 0: sep += ' '; break;
                case 1: sep += '\n'; break;
                case 2: sep += '\t'; break;
                default: sep += pick(2) ? "[c\n[d]]" : "[;'x]"; break;
                }
            }
            const int kind = pick(3);
            const bool needsSpace = kind != 2;
            if (prevNeedsSpace && needsSpace)
                sep += ' ';
            // Comments right after a plain word belong to it: it ends at the
            // first character that is not in a comment.
            if (!want.empty() && want.back().result == kTokenPlain && want.back().text.size() > 0 &&
                punct.find(want.back().text[0]) == std::string::npos) {
                size_t i = 0;
                while (i < sep.size() && sep[i] == '[') {
                    int depth = 0;
                    do {
                        depth += sep[i] == '[' ? 1 : sep[i] == ']' ? -1 : 0;
                        ++i;
                    } while (depth > 0);
                }
                want.back().endCount += static_cast<uint32_t>(i);
            }
            text += sep;
            Token t{};
            t.startCount = static_cast<uint32_t>(text.size());
            t.startLine = lineOf(text.size());
            if (kind == 0) {  // plain, perhaps with a comment inside
                const int len = 1 + pick(8);
                for (int i = 0; i < len; ++i) {
                    const char c = plainChars[pick(static_cast<int>(plainChars.size()))];
                    text += c;
                    t.text += c;
                    if (pick(6) == 0) {
                        text += "_";
                        t.text += ' ';
                    }
                    if (pick(8) == 0)
                        text += "[in]";
                }
                while (t.text.size() > 1 && t.text.back() == ' ')
                    t.text.pop_back();
                t.result = kTokenPlain;
            } else if (kind == 1) {  // quoted
                text += '\'';
                const int len = pick(8);
                for (int i = 0; i < len; ++i) {
                    const char c = quotedChars[pick(static_cast<int>(quotedChars.size()))];
                    text += c;
                    if (c == '\'')
                        text += '\'';
                    t.text += c;
                }
                text += '\'';
                while (t.text.size() > 1 && (t.text.back() == ' ' || t.text.back() == '\t'))
                    t.text.pop_back();
                t.result = kTokenQuoted;
            } else {
                t.text = std::string(1, punct[pick(static_cast<int>(punct.size()))]);
                text += t.text;
                t.result = kTokenPlain;
            }
            t.endCount = static_cast<uint32_t>(text.size());
            want.push_back(t);
            prevNeedsSpace = needsSpace;
        }
        text += pick(2) ? "\n" : "";
        int conv = 0;
        for (const char *eol : {"\n", "\r\n", "\r"}) {
            const std::string converted = withLineEnds(text, eol);
            // Documents in every convention; a file for one of them per trial.
            for (bool asFile : {false, conv == trial % 3}) {
                InputStatus file{};
                if (asFile) {
                    const std::string path = dir + "/t.nex";
                    std::ofstream(path, std::ios::binary) << converted;
                    ASSERT_EQ(openInputFile(path.c_str(), 0, nullptr, &file), 0);
                } else {
                    feed(converted);
                }
                std::vector<Token> got;
                for (Token t = next(); t.result >= 0; t = next())
                    got.push_back(t);
                if (asFile)
                    closeInputFile(&file);
                ASSERT_EQ(got, want) << "trial " << trial << " conv " << conv << " file " << asFile
                                     << "\n" << text;
            }
            ++conv;
        }
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    EXPECT_TRUE(gErrors.empty());
}

TEST_F(Tokenizer, SemicolonEqualSignAndIntegers)
{
    feed("; x = ;");
    EXPECT_EQ(readSemicolon(), 0);
    EXPECT_EQ(readSemicolon(), 1);
    EXPECT_EQ(readEqualSign(), 0);
    EXPECT_EQ(readEqualSign(), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{119, 120}));
    EXPECT_NE(gMsgText.find("Expecting semicolon (;), found \"x\".\tCheck input formatting carefully (e.g., "
                            "verify that the number of items supplied for a list is correct)."),
              std::string::npos);
    EXPECT_NE(gMsgText.find("Expecting equal sign (=), found \";\"."), std::string::npos);
    gMsgText.clear();
    EXPECT_EQ(readSemicolon(), 1);
    EXPECT_NE(gMsgText.find("found \"end-of-file\""), std::string::npos);

    gErrors.clear();
    feed("-12 12x 4294967296 7 1.5 00000000000000000000000000000000000005");
    char buf[33];
    int32_t i = 0;
    uint32_t u = 0;
    EXPECT_EQ(readIntValue(buf, sizeof buf, &i), 0);
    EXPECT_EQ(i, -12);
    EXPECT_EQ(readIntValue(buf, sizeof buf, &i), 1);
    EXPECT_EQ(readUIntValue(buf, sizeof buf, &u), 1);
    EXPECT_EQ(readUIntValue(buf, sizeof buf, &u), 0);
    EXPECT_EQ(u, 7u);
    EXPECT_EQ(readUIntValue(buf, sizeof buf, &u), 1);
    EXPECT_EQ(readUIntValue(buf, sizeof buf, &u), 1);  // cut to zeros: refused, not 0
    EXPECT_EQ(u, 7u);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{108, 108, 108, 108}));
    EXPECT_NE(gMsgText.find("Invalid integer value: 12x\n"), std::string::npos);
}

TEST_F(Tokenizer, WhitespaceCheckAndDelimitedWords)
{
    feed("a b;c,");
    char buf[64];
    readToken(buf, sizeof buf);
    EXPECT_TRUE(isNextCharWhite());
    readToken(buf, sizeof buf);
    EXPECT_FALSE(isNextCharWhite());
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, ";");  // pushed back, not lost
    readToken(buf, sizeof buf);
    EXPECT_FALSE(isNextCharWhite());
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{118, 121}));
    EXPECT_NE(gMsgText.find("Expecting whitespace (space, tab, or end-of-line), found ','."), std::string::npos);

    gErrors.clear();
    feed(" (hello, world ) () {x} (open");
    EXPECT_EQ(readDelimitedToken(buf, sizeof buf, "()"), 0);
    EXPECT_STREQ(buf, "hello, world");
    EXPECT_EQ(readDelimitedToken(buf, sizeof buf, "()"), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(readDelimitedToken(buf, sizeof buf, "()"), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{122}));
    EXPECT_NE(gMsgText.find("Expecting '(', found '{'."), std::string::npos);
    feed("(open");
    EXPECT_EQ(readDelimitedToken(buf, sizeof buf, "()"), 1);
}

TEST_F(Tokenizer, PathNames)
{
    feed("'my dir/a b.nex' ; c:\\x_y=z.nex;");
    char buf[64];
    EXPECT_EQ(readPathName(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "my dir/a b.nex");
    EXPECT_EQ(readPathName(buf, sizeof buf), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{129}));
    EXPECT_EQ(readPathName(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "c:\\x_y=z.nex");
    EXPECT_EQ(readSemicolon(), 0);
    EXPECT_EQ(readPathName(buf, sizeof buf), kTokenEnd);  // silent at the end
    EXPECT_EQ(gErrors.size(), 1u);

    // A name longer than the buffer is refused rather than cut.
    feed(std::string(70, 'n') + ".nex;");
    EXPECT_EQ(readPathName(buf, sizeof buf), 1);
    EXPECT_EQ(gErrors.size(), 2u);
    EXPECT_NE(gMsgText.find("too long"), std::string::npos);
}

TEST_F(Tokenizer, ListStepsAndVectors)
{
    feed("\\3 \\x \\12345678901 ;");
    EXPECT_EQ(readListIncrement(), 3u);
    EXPECT_EQ(readListIncrement(), 0xFFFFFFFFu);
    EXPECT_EQ(readListIncrement(), 0xFFFFFFFFu);  // eleven digits: cut, so refused
    EXPECT_EQ(readListIncrement(), 1u);
    char buf[8];
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, ";");

    double v[3] = {};
    feed("1.5 -2 3e2; 1 -2 3; 1 2; 1 2; 1 abc; 1 2 3 4;");
    EXPECT_EQ(readDoubleVector(v, 3, true, false), 3u);
    EXPECT_DOUBLE_EQ(v[0], 1.5);
    EXPECT_DOUBLE_EQ(v[1], -2);
    EXPECT_DOUBLE_EQ(v[2], 300);
    EXPECT_EQ(readDoubleVector(v, 3, false, false), 0xFFFFFFFFu);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{126}));
    skipRestOfCmd();
    EXPECT_EQ(readDoubleVector(v, 3, false, false), 2u);
    EXPECT_EQ(readDoubleVector(v, 3, false, true), 0xFFFFFFFFu);
    EXPECT_EQ(readDoubleVector(v, 3, false, false), 0xFFFFFFFFu);
    skipRestOfCmd();
    EXPECT_EQ(readDoubleVector(v, 3, false, false), 0xFFFFFFFFu);  // fourth number, no ";"
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{126, 118, 125, 119}));
    EXPECT_NE(gMsgText.find("\"abc\" is not a valid number."), std::string::npos);
    EXPECT_NE(gMsgText.find("Negative numbers are not allowed in this context (\"-2\")."), std::string::npos);

    gErrors.clear();
    char c[4];
    feed("AC [x] G T; AC; AX;");
    EXPECT_EQ(readNotokensVector(c, 4, "ACGT", false), 4u);
    EXPECT_EQ(std::string(c, 4), "ACGT");
    EXPECT_EQ(readNotokensVector(c, 4, "ACGT", false), 2u);
    EXPECT_EQ(readNotokensVector(c, 4, "ACGT", false), 0xFFFFFFFFu);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{124}));
    EXPECT_NE(gMsgText.find("'X' is not a valid character in this context."), std::string::npos);
}

TEST_F(Tokenizer, FormatPairsTagsAndWords)
{
    EXPECT_EQ(readTokensFmtSetting(0, 1, 2, 7), 7);
    EXPECT_EQ(readTokensFmtSetting(1, 1, 2, 7), 1);
    EXPECT_EQ(readTokensFmtSetting(2, 1, 2, 7), 0);
    EXPECT_EQ(readTokensFmtSetting(3, 1, 2, 7), -1);
    EXPECT_EQ(readVectorFmtSetting(4, 4, 8, 5), 0);
    EXPECT_EQ(readVectorFmtSetting(8, 4, 8, 5), 1);
    EXPECT_EQ(readVectorFmtSetting(12, 4, 8, 5), -1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{127, 128}));

    gErrors.clear();
    EXPECT_TRUE(isValidTag("good name.1", false));
    EXPECT_FALSE(isValidTag("a;b", false));
    EXPECT_FALSE(isValidTag("a-b", false));
    EXPECT_TRUE(isValidTag("a-b", true));
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{118, 123}));
    EXPECT_NE(gMsgText.find("Invalid character in name: -"), std::string::npos);

    EXPECT_TRUE(isTokenSemicolon(";"));
    EXPECT_FALSE(isTokenSemicolon(";;"));
    for (const char *w : {"end", "endb", "EndBlock", "ENDBL"})
        EXPECT_TRUE(isEndBlock(w)) << w;
    for (const char *w : {"en", "endblocks", "ends", ""})
        EXPECT_FALSE(isEndBlock(w)) << w;
}

TEST_F(Tokenizer, Skipping)
{
    feed("a b 'c;d' [;] e; next x y\nz [q;]\n w;v");
    EXPECT_EQ(skipRestOfCmd(), 0);
    char buf[32];
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, "next");
    EXPECT_EQ(skipNextToken(), 0);
    EXPECT_EQ(skipThruEOL(), 0);
    EXPECT_EQ(skipThru(';'), 0);  // the bracketed ";" is a comment
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, "v");
    EXPECT_EQ(skipRestOfCmd(), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{113}));
    EXPECT_NE(gMsgText.find("End-of-file encountered while skipping for 'semicolon (';')'."), std::string::npos);

    feed("foo BAR baz");
    EXPECT_TRUE(skipThruToken("bar", nullptr, nullptr));
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, "baz");
    EXPECT_FALSE(skipThruToken("bar", nullptr, nullptr));

    gErrors.clear();
    gOut.clear();
    feed("x [!not shown] 'end' y; EndBlock; after");  // a quoted 'end' is a name
    EXPECT_EQ(skipThruEndOfBlock(), 0);
    EXPECT_EQ(gOut, "");
    EXPECT_TRUE(gSettings.showVisibleComments);  // restored
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, ";");
    feed("x y;");
    EXPECT_EQ(skipThruEndOfBlock(), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{116}));

    // A word can be read again after its location is restored.
    feed("alpha beta");
    TokenLoc loc;
    readToken(buf, sizeof buf);
    storeTokenLoc(&loc);
    readToken(buf, sizeof buf);
    EXPECT_NE(gActiveInput->wordStart.charCount, loc.wordStart.charCount);
    resetTokenLoc(&loc);
    EXPECT_EQ(gActiveInput->wordStart.charCount, 0u);
    EXPECT_EQ(gActiveInput->wordEnd.charCount, 5u);
}

TEST_F(Tokenizer, CharacterReaders)
{
    feed("  x\t[c] y z");
    EXPECT_EQ(peekNextChar(nullptr), 'x');
    EXPECT_EQ(readNextDarkCharAsToken(nullptr), 'x');
    EXPECT_EQ(gActiveInput->wordStart.charCount, 2u);
    EXPECT_EQ(gActiveInput->wordEnd.charCount, 3u);
    EXPECT_EQ(readNextDarkChar(nullptr), 'y');
    EXPECT_EQ(readNextCharAsToken(), ' ');
    EXPECT_EQ(readNextNoncommentChar(), 'z');
    EXPECT_EQ(readNextDarkChar(nullptr), kCharEnd);

    feed("a[b]c");
    EXPECT_EQ(readNextNoncommentChar(), 'a');
    EXPECT_EQ(readNextNoncommentChar(), 'c');
}

int gCallbackCalls = 0;
int countCall(void *arg)
{
    ++gCallbackCalls;
    return *static_cast<int *>(arg);
}

TEST_F(Tokenizer, SpecialComments)
{
    int ok = 0, fail = 1;
    const SpecialCommentFxn table[] = {{"&R", countCall, &ok}, {"&bad", countCall, &fail}};
    gCallbackCalls = 0;
    feed("[&r] [plain] [&U stuff [nested]] (a,b);");
    EXPECT_EQ(checkSpecialComments(table, 2), 0);
    EXPECT_EQ(gCallbackCalls, 1);
    EXPECT_TRUE(gSettings.recognizeNexusComments);  // restored
    char buf[8];
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, "(");

    feed("[&bad] (a);");
    EXPECT_EQ(checkSpecialComments(table, 2), -2);
    feed("[&R (a);");
    EXPECT_EQ(checkSpecialComments(table, 2), -2);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{110}));
}

TEST_F(Tokenizer, TypedCommandsAndContinuation)
{
    type("  hello world  \nabc +\n def;\nnext\n");
    std::string got;
    for (int i = 0; i < 12; ++i)
        got += static_cast<char>(readNextChar());
    EXPECT_EQ(got, "hello world\n");
    got.clear();
    for (int i = 0; i < 10; ++i)
        got += static_cast<char>(readNextChar());
    EXPECT_EQ(got, "abc  def;\n");
    EXPECT_NE(gOut.find("continuation> "), std::string::npos);

    // At a real terminal the semicolon is supplied; an empty command is ";".
    gQelIo.stdinNotTerminal = false;
    type("show\n\n ;\n");
    char buf[32];
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "show");
    EXPECT_EQ(readSemicolon(), 0);  // the pushed-back ";" is read from the buffer
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, ";");
    EXPECT_EQ(cmdLine.length, 2);
}

TEST_F(Tokenizer, OverlongTypedCommand)
{
    const std::string part(200, 'a');
    type(part + " +\n" + part + "\nok\n");
    EXPECT_EQ(readNextChar(), '\n');  // the command was discarded
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{109}));
    char buf[8];
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "ok");
    EXPECT_EQ(getMaxCmdLineChars(), 253u);
}

TEST_F(Tokenizer, TypedQuotesAndCommentsEndWithTheLine)
{
    type("a 'b\nc\n");
    char buf[16];
    readToken(buf, sizeof buf);
    EXPECT_EQ(readToken(buf, sizeof buf), kTokenUnterminated);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{111}));
    flushCmdLineBuffer();
    type("x [spans\n two lines] y\n");
    readToken(buf, sizeof buf);
    EXPECT_EQ(readToken(buf, sizeof buf), kTokenUnterminated);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{111, 110}));
    // The error module discards the rest of the command: the next word comes
    // from the next line.
    flushCmdLineBuffer();
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, "two");
}

// A handler that skips to the semicolon after its error must not take the
// next typed command with it: the error already threw the failed one away.
// Typed input only; a file is skipped in as before.
TEST_F(Tokenizer, SkipAfterAnErrorKeepsTheNextTypedCommand)
{
    type("showconstr nosuch;\nconstraints c5;\n");
    char buf[32];
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "showconstr");
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    discardTypedCommand();
    EXPECT_EQ(skipRestOfCmd(), 0);
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "constraints");
    // Once the next command is read, a skip skips again.
    EXPECT_EQ(skipRestOfCmd(), 0);
    type("a b; c;\n");
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_EQ(skipRestOfCmd(), 0);
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "c");

    feed("x y; z;");
    discardTypedCommand();
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_EQ(skipRestOfCmd(), 0);
    EXPECT_EQ(readToken(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "z");
}

TEST_F(Tokenizer, StuffedAndInstalledCommandText)
{
    EXPECT_EQ(stuffCmdLineText("x y", 3, true), 4);
    EXPECT_EQ(std::string(cmdLine.text, cmdLine.length), "x y;");
    EXPECT_EQ(stuffCmdLineText("x;", 2, true), 2);
    const std::string longText(300, 'q');
    EXPECT_EQ(stuffCmdLineText(longText.c_str(), 300, false), 253);

    // The scripting layer's text ends the input when used up.
    char script[] = "cmd1; cmd2";
    char *prev = setCmdLineBuffer(script, 10);
    EXPECT_NE(prev, nullptr);
    setNoActiveTerminal(true);
    type("");
    setCmdLineBuffer(script, 10);
    EXPECT_EQ(words(), (V{"cmd1", ";", "cmd2"}));
    EXPECT_EQ(readCharFromCmdLine(), -1);
    EXPECT_TRUE(setNoActiveTerminal(false));
    EXPECT_EQ(typedConsumedFromTerminal(), 0u);
}

int gHandlerCalls = 0;
int handlerA()
{
    ++gHandlerCalls;
    return readSemicolon();
}
int handlerSkip()
{
    ++gHandlerCalls;
    return skipRestOfCmd();
}
int handlerFails() { return 5; }
int handlerAborts()
{
    setAbortedStatus(1);
    return skipRestOfCmd();
}
bool errorStopOff() { return false; }

TEST_F(Tokenizer, BlockCommands)
{
    const NexusBlockCmd table[] = {
        {"cmdA", handlerA}, {"LongName", handlerSkip}, {"fails", handlerFails}, {"abort", handlerAborts}};
    setNexusMode(false);
    gHandlerCalls = 0;
    feed("CMDA; [c] longname x y; ; endb; rest");
    EXPECT_EQ(doNexusBlock("ASSUMPTIONS", table, 4), 0);
    EXPECT_EQ(gHandlerCalls, 2);
    EXPECT_FALSE(gSettings.nexusMode);  // restored
    EXPECT_FALSE(doingNexusBlock());
    char buf[16];
    readToken(buf, sizeof buf);
    EXPECT_STREQ(buf, ";");

    // Whole names only: "long" abbreviates nothing here.
    feed("long x; cmdA; end;");
    EXPECT_EQ(doNexusBlock("ASSUMPTIONS", table, 4), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{112}));
    EXPECT_NE(gMsgText.find("Unrecognized command in ASSUMPTIONS block: \"long\".\tIf the command is valid"),
              std::string::npos);

    setErrorStopQuery(errorStopOff);
    gHandlerCalls = 0;
    feed("long x; en; cmdA; end;");
    EXPECT_EQ(doNexusBlock("SETS", table, 4), 0);
    EXPECT_EQ(gWarnings, (std::vector<uint32_t>{112, 112}));
    EXPECT_EQ(gHandlerCalls, 1);

    feed("cmdA; fails; cmdA; end;");
    EXPECT_EQ(doNexusBlock("SETS", table, 4), 5);
    feed("abort; cmdA; end;");
    EXPECT_EQ(doNexusBlock("SETS", table, 4), 2);
    setAbortedStatus(0);

    gErrors.clear();
    feed("cmdA;");
    EXPECT_EQ(doNexusBlock("SETS", table, 4), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{115}));
    feed("unknown 'open");
    EXPECT_EQ(doNexusBlock("SETS", table, 4), 1);
}

}  // namespace
