#include "cli/qel_cmdline.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"

namespace {

// Set when an error threw the typed command away, the rest of the failed
// command with it; cleared when the next command is typed or stuffed.
bool gTypedCommandDiscarded = false;

constexpr const char *kStdPunct = "(){}/\\,;:=*\"+-";
constexpr const char *kNumericPunct = "(){}/\\,;:=*\"";
constexpr const char *kStdWhitespace = kStdWhitespaceChars;

// Lines of a printed comment are broken at the output width the program
// starts with.
constexpr uint32_t kCommentLineWidth = 100;

constexpr const char *kFormatHint =
    "\tCheck input formatting carefully (e.g., verify that the number of items supplied for a "
    "list is correct).";

bool gTruncated = false;
bool gNoActiveTerminal = false;

bool errorStopFactory() { return true; }
bool (*gErrorStopQuery)() = errorStopFactory;

// ---- Character classes ------------------------------------------------------
// One table per pair of sets, so that the per-character work of the word
// reader is a single load.

enum : uint8_t {
    kWhite = kCharClassWhite,
    kPunct = kCharClassPunct,
    kQuote = kCharClassQuote,
    kBracket = kCharClassBracket,
    kUnderscore = kCharClassUnderscore
};

struct ClassTable {
    std::string whitespace;
    std::string punctuation;
    std::array<uint8_t, 256> cls;
};

void fillClasses(ClassTable &t)
{
    t.cls = wordCharClasses(t.whitespace.c_str(), t.punctuation.c_str());
}

ClassTable makeTable(const char *ws, const char *punct)
{
    ClassTable t{ws, punct, {}};
    fillClasses(t);
    return t;
}

// The standard sets' table is built at compile time: the matrix reader asks
// for it once per cell, so it must cost no more than its address.
constexpr std::array<uint8_t, 256> kStdClasses = wordCharClasses(kStdWhitespace, kStdPunct);

// Small cache keyed by the sets' contents: callers pass literals or buffers of
// their own, so a pointer alone does not identify a set.
const uint8_t *classesFor(const char *ws, const char *punct)
{
    if ((!ws || ws == kStdWhitespace) && (!punct || punct == kStdPunct))
        return kStdClasses.data();
    static std::vector<ClassTable> cache;
    static size_t nextSlot = 0;
    constexpr size_t kCacheSize = 16;

    if (!ws)
        ws = kStdWhitespace;
    if (!punct)
        punct = kStdPunct;
    for (const ClassTable &t : cache)
        if (t.whitespace == ws && t.punctuation == punct)
            return t.cls.data();
    if (cache.size() < kCacheSize) {
        cache.push_back(makeTable(ws, punct));
        return cache.back().cls.data();
    }
    ClassTable &slot = cache[nextSlot];
    nextSlot = (nextSlot + 1) % kCacheSize;
    slot.whitespace = ws;
    slot.punctuation = punct;
    fillClasses(slot);
    return slot.cls.data();
}

bool inSet(int c, const char *set)
{
    return c > 0 && std::strchr(set, c) != nullptr;
}

// ---- Comments -----------------------------------------------------------------

bool readingFromTerminal() { return gActiveInput && !gActiveInput->batch; }

void reportUnexpectedEnd()
{
    if (!gSettings.parsingNexusBlock && !gSettings.nexusMode)
        qel_errorMsg(114,
                     "Unexpected end-of-file was encountered.\tMake sure the file format is correct "
                     "for the current operation.");
    else
        qel_errorMsg(115,
                     "Unexpected end-of-file was encountered.\tCheck for an incomplete command "
                     "(including missing semicolon), unclosed comment, or other formatting "
                     "problems.");
}

}  // namespace

int reportCharReaderEnd(int c)
{
    if (c == kCharEnd && gActiveInput && gActiveInput->batch)
        reportUnexpectedEnd();
    return 1;
}

namespace {

class CommentPrinter {
public:
    void add(int c)
    {
        if (c == '\t') {
            for (int i = 0; i < 4; ++i)
                put(' ');
        } else if (c == '\n') {
            flush();
        } else {
            put(static_cast<char>(c));
        }
    }
    void flush()
    {
        line_[n_] = '\0';
        qel_printf("%s\n", line_);
        n_ = 0;
    }

private:
    void put(char c)
    {
        line_[n_++] = c;
        if (n_ >= kCommentLineWidth)
            flush();
    }
    char line_[kCommentLineWidth + 1];
    uint32_t n_ = 0;
};

// Reads the rest of a comment whose "[" has been read. With checkVisible the
// character after "[" may mark it as visible. Nesting is counted rather than
// recursed into, so no input can exhaust the stack. The input's comment level
// is back where it was on return. False (error 110 shown) when the comment
// does not close.
bool readCommentBody(bool checkVisible)
{
    InputStatus *in = gActiveInput;
    const uint8_t level0 = in ? in->commentLevel : 0;
    const bool topLevel = level0 == 0;
    const bool terminal = readingFromTerminal();
    uint32_t depth = 1;
    auto setLevel = [&](uint32_t d) {
        if (in)
            in->commentLevel = static_cast<uint8_t>(std::min<uint32_t>(level0 + d, 255));
    };
    setLevel(depth);

    int c = readNextChar();
    bool print = false;
    if (checkVisible && topLevel && c == '!') {
        print = gSettings.showVisibleComments != 0;
        c = readNextChar();
    }
    CommentPrinter printer;
    for (;; c = readNextChar()) {
        if (c < 0 || (c == '\n' && terminal)) {
            if (in)
                in->commentLevel = level0;
            qel_errorMsg(110,
                         "Comment not terminated.\tEach opening '[' character must be matched by "
                         "a closing ']' character.");
            return false;
        }
        if (c == '[') {
            setLevel(++depth);
        } else if (c == ']') {
            setLevel(--depth);
            if (depth == 0)
                break;
        } else if (print && depth == 1) {
            printer.add(c);
        }
    }
    if (print)
        printer.flush();
    return true;
}

// ---- Words --------------------------------------------------------------------

enum class Underscores { Setting, KeepAll };

int readWord(char *buffer, uint32_t size, const char *whitespace, const char *punctuation,
             TokenValidatorFxn validator, bool endOk, Underscores underscores)
{
    const uint8_t *cls = classesFor(whitespace, punctuation);
    const bool comments = gSettings.recognizeNexusComments != 0;
    InputStatus *in = gActiveInput;
    const uint32_t cap = size ? size - 1 : 0;
    uint32_t n = 0;
    gTruncated = false;
    if (size)
        buffer[0] = '\0';

    // 1. Whitespace and comments.
    int c;
    for (;;) {
        c = readNextChar();
        if (c < 0)
            break;
        const uint8_t k = cls[c];
        if ((k & kBracket) && comments) {
            if (!readCommentBody(true))
                return kTokenUnterminated;
            continue;
        }
        if (!(k & kWhite))
            break;
    }
    if (c < 0) {
        if (in && in->batch && !endOk)
            reportUnexpectedEnd();
        return kTokenEnd;
    }
    if (in)
        in->wordStart = in->prevPos;

    auto finish = [&](int result) {
        if (in)
            in->wordEnd = in->pos;
        if (size) {
            while (n > 1 && (buffer[n - 1] == ' ' || buffer[n - 1] == '\t'))
                --n;
            buffer[n] = '\0';
        }
        if (validator && !validator(size ? buffer : "", result == kTokenQuoted))
            return kTokenRefused;
        return result;
    };
    auto store = [&](int ch) {
        if (n < cap)
            buffer[n++] = static_cast<char>(ch);
        else
            gTruncated = true;
    };

    // 3. Punctuation is a word by itself.
    if (cls[c] & kPunct) {
        store(c);
        if (in)
            in->wordEnd = in->pos;
        if (size)
            buffer[n] = '\0';
        return kTokenPlain;
    }

    // 4. Quoted words keep every character; '' is one quote.
    if (c == '\'') {
        const bool terminal = readingFromTerminal();
        for (;;) {
            c = readNextChar();
            if (c < 0 || (c == '\n' && terminal)) {
                if (size)
                    buffer[n] = '\0';
                qel_errorMsg(111, "Unterminated quote.\tMake sure quotes are balanced.");
                return kTokenUnterminated;
            }
            if (c == '\'') {
                c = readNextChar();
                if (c != '\'') {
                    if (c >= 0)
                        putCharBack(c);
                    break;
                }
            }
            store(c);
        }
        return finish(kTokenQuoted);
    }

    // 5. A plain word.
    const bool keepUnderscores = gSettings.keepUnderscores != 0;
    if (c == '_' && underscores == Underscores::Setting)
        c = ' ';  // a leading underscore is always a blank in a word
    store(c);
    for (;;) {
        c = readNextChar();
        if (c < 0)
            break;
        const uint8_t k = cls[c];
        if (k == 0) {
            if (n < cap)
                buffer[n++] = static_cast<char>(c);
            else
                gTruncated = true;
            continue;
        }
        if ((k & kBracket) && comments) {
            if (!readCommentBody(true)) {
                if (size)
                    buffer[n] = '\0';
                return kTokenUnterminated;
            }
            continue;
        }
        if (k & (kWhite | kPunct | kQuote)) {
            putCharBack(c);
            break;
        }
        if ((k & kUnderscore) && !keepUnderscores && underscores == Underscores::Setting)
            c = ' ';
        store(c);
    }
    return finish(kTokenPlain);
}

int wordResultToStatus(int rc) { return rc >= 0 ? 0 : 1; }

}  // namespace

// ---- Settings -------------------------------------------------------------------

ParserSettings gSettings = {0, 0, 0, 0, 0, kStdPunct, kNumericPunct, kStdWhitespace};

int qel_initializeParser(bool nexusMode)
{
    gSettings.keepUnderscores = 0;
    gSettings.showVisibleComments = 0;
    gSettings.recognizeNexusComments = 0;
    gSettings.parsingNexusBlock = 0;
    gSettings.stdPunct = kStdPunct;
    gSettings.numericPunct = kNumericPunct;
    gSettings.stdWhitespace = kStdWhitespace;
    setNexusMode(nexusMode);
    return 0;
}

bool setNexusMode(bool on)
{
    const bool prev = gSettings.nexusMode != 0;
    gSettings.nexusMode = on;
    gSettings.recognizeNexusComments = on;
    gSettings.showVisibleComments = on;
    return prev;
}

static bool setFlag(uint8_t &flag, bool on)
{
    const bool prev = flag != 0;
    flag = on;
    return prev;
}

bool setKeepUnderscores(bool on) { return setFlag(gSettings.keepUnderscores, on); }
bool setShowVisibleComments(bool on) { return setFlag(gSettings.showVisibleComments, on); }
bool setRecognizeNexusComments(bool on) { return setFlag(gSettings.recognizeNexusComments, on); }
bool setParsingNexusBlock(bool on) { return setFlag(gSettings.parsingNexusBlock, on); }
bool doingNexusBlock() { return gSettings.parsingNexusBlock != 0; }
const char *getStdPunct() { return gSettings.stdPunct; }
const char *getNumericPunct() { return gSettings.numericPunct; }
const char *getStdWhitespace() { return gSettings.stdWhitespace; }

int changeUndscSetting(uint32_t newValue)
{
    setKeepUnderscores(newValue == 1);
    return 0;
}

// ---- The core -----------------------------------------------------------------------

int readSpecialToken(char *buffer, uint32_t size, const char *whitespace, const char *punctuation,
                     TokenValidatorFxn validator, bool endOk)
{
    return readWord(buffer, size, whitespace, punctuation, validator, endOk, Underscores::Setting);
}

int readToken(char *buffer, uint32_t size)
{
    return readWord(buffer, size, nullptr, nullptr, nullptr, false, Underscores::Setting);
}

bool tokenWasTruncated() { return gTruncated; }

// ---- Characters ---------------------------------------------------------------------

int readNextDarkChar(const char *whitespace)
{
    const uint8_t *cls = classesFor(whitespace, nullptr);
    for (;;) {
        const int c = readNextChar();
        if (c < 0)
            return kCharEnd;
        if (c == '[' && gSettings.recognizeNexusComments) {
            if (!readCommentBody(true))
                return kCharOpenComment;
            continue;
        }
        if (!(cls[c] & kWhite))
            return c;
    }
}

static int recordOneCharWord(int c)
{
    if (c >= 0 && gActiveInput) {
        gActiveInput->wordStart = gActiveInput->prevPos;
        gActiveInput->wordEnd = gActiveInput->pos;
    }
    return c;
}

int readNextDarkCharAsToken(const char *whitespace) { return recordOneCharWord(readNextDarkChar(whitespace)); }
int readNextCharAsToken() { return recordOneCharWord(readNextChar()); }

int peekNextChar(const char *whitespace)
{
    const int c = readNextDarkChar(whitespace);
    if (c >= 0)
        putCharBack(c);
    return c;
}

void putCharBack(int c)
{
    InputStatus *in = gActiveInput;
    if (!in || c < 0)
        return;
    in->pos = in->prevPos;
    if (!in->batch) {
        decrementCmdLinePos();
    } else if (in->isDocument) {
        if (in->docIndex > 0)
            in->docIndex--;
    } else if (in->stream && in->stream->fp) {
        std::ungetc(c, in->stream->fp);
    }
}

int readNextNoncommentChar()
{
    for (;;) {
        const int c = readNextChar();
        if (c != '[' || !gSettings.recognizeNexusComments)
            return c;
        TokenLoc start;
        storeTokenLoc(&start);
        start.pos = gActiveInput->prevPos;  // where the "[" is
        if (!readCommentBody(true)) {
            resetTokenLoc(&start);
            return kCharOpenComment;
        }
    }
}

// ---- Readers every command uses ---------------------------------------------------

static int expectWord(const char *expected, uint32_t code, const char *format)
{
    char word[32];
    const int rc = readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true);
    if (rc == kTokenUnterminated)
        return 1;
    if (rc == kTokenEnd) {
        qel_errorMsg(code, format, "end-of-file");
        return 1;
    }
    if (rc == kTokenPlain && std::strcmp(word, expected) == 0)
        return 0;
    qel_errorMsg(code, format, word);
    return 1;
}

int readSemicolon()
{
    static const std::string fmt = std::string("Expecting semicolon (;), found \"%s\".") + kFormatHint;
    return expectWord(";", 119, fmt.c_str());
}

int readEqualSign()
{
    static const std::string fmt = std::string("Expecting equal sign (=), found \"%s\".") + kFormatHint;
    return expectWord("=", 120, fmt.c_str());
}

int readIntValue(char *buffer, uint32_t size, int32_t *out)
{
    // Signed, so "-" and "+" belong to the number.
    if (readSpecialToken(buffer, size, nullptr, kNumericPunct, nullptr, false) < 0)
        return 1;
    int32_t v;
    if (gTruncated || stringToInt(buffer, &v) != kConvOk) {
        qel_errorMsg(108, "Invalid integer value: %s", buffer);
        return 1;
    }
    *out = v;
    return 0;
}

int readUIntValue(char *buffer, uint32_t size, uint32_t *out)
{
    if (readToken(buffer, size) < 0)
        return 1;
    uint32_t v;
    if (gTruncated || buffer[0] == '\0' || stringToUInt(buffer, &v) != kConvOk) {
        qel_errorMsg(108, "Invalid integer value: %s", buffer);
        return 1;
    }
    *out = v;
    return 0;
}

static void reportUnexpectedSemicolon()
{
    static const std::string fmt = std::string("Unexpected semicolon (;).") + kFormatHint;
    qel_errorMsg(118, "%s", fmt.c_str());
}

bool isNextCharWhite()
{
    const int c = readNextChar();
    if (c < 0)
        return true;  // nothing follows
    putCharBack(c);
    if (inSet(c, kStdWhitespace))
        return true;
    if (c == ';') {
        reportUnexpectedSemicolon();
    } else {
        static const std::string fmt =
            std::string("Expecting whitespace (space, tab, or end-of-line), found '%c'.") + kFormatHint;
        qel_errorMsg(121, fmt.c_str(), c);
    }
    return false;
}

int readDelimitedToken(char *buffer, uint32_t size, const char *pair)
{
    auto expected = [](int want, int found) {
        qel_errorMsg(122, "Expecting '%c', found '%c'.", want, found < 0 ? ' ' : found);
        return 1;
    };
    if (size)
        buffer[0] = '\0';
    int c = readNextDarkChar(nullptr);
    if (c != static_cast<unsigned char>(pair[0]))
        return expected(pair[0], c);
    // An empty pair would otherwise have its closer skipped as whitespace.
    c = readNextChar();
    if (c == static_cast<unsigned char>(pair[1]))
        return 0;
    putCharBack(c);
    const char closer[2] = {pair[1], '\0'};
    if (readSpecialToken(buffer, size, closer, "", nullptr, false) < 0)
        return 1;
    c = readNextDarkChar(nullptr);
    if (c != static_cast<unsigned char>(pair[1]))
        return expected(pair[1], c);
    return 0;
}

namespace {

int noFileName()
{
    return qel_errorMsg(129, "No file name was specified.\tThe current command was expecting "
                             "specification of a file name, but none was found."),
           1;
}

}  // namespace

int readFileNameValue(char *buffer, uint32_t size, const char *punctuation, bool *truncated)
{
    const int rc = readWord(buffer, size, nullptr, punctuation, nullptr, false, Underscores::KeepAll);
    *truncated = gTruncated;
    if (rc < 0)
        return 1;
    if (rc == kTokenPlain && std::strcmp(buffer, ";") == 0) {
        putCharBack(';');
        return noFileName();
    }
    return 0;
}

int readPathName(char *buffer, uint32_t size)
{
    const int rc = readWord(buffer, size, nullptr, ";", nullptr, true, Underscores::KeepAll);
    if (rc < 0)
        return rc;
    if (rc == kTokenPlain && std::strcmp(buffer, ";") == 0)
        return noFileName();
    if (gTruncated) {
        // A cut name would open or create some other file.
        qel_errorMsg(0, "File name is too long (more than %u characters): \"%s...\"", size ? size - 1 : 0,
                     buffer);
        return 1;
    }
    return 0;
}

uint32_t readListIncrement()
{
    const int c = readNextDarkChar(nullptr);
    if (c == kCharOpenComment)
        return 0xFFFFFFFFu;
    if (c != '\\') {
        putCharBack(c);
        return 1;
    }
    char word[11];
    uint32_t step;
    if (readToken(word, sizeof word) < 0 || gTruncated || word[0] == '\0' ||
        stringToUInt(word, &step) != kConvOk)
        return 0xFFFFFFFFu;
    return step;
}

// Shared by the vector readers: what a ";" in place of item i means.
static uint32_t semicolonInVector(uint32_t i, bool semicolonIsError)
{
    if (semicolonIsError) {
        reportUnexpectedSemicolon();
        return 0xFFFFFFFFu;
    }
    return i;
}

uint32_t readDoubleVector(double *values, uint32_t n, bool negativesOk, bool semicolonIsError)
{
    char word[32];
    for (uint32_t i = 0; i < n; ++i) {
        if (readSpecialToken(word, sizeof word, nullptr, kNumericPunct, nullptr, false) < 0)
            return 0xFFFFFFFFu;
        if (isTokenSemicolon(word))
            return semicolonInVector(i, semicolonIsError);
        double v;
        if (gTruncated || word[0] == '\0' || stringToDouble(word, &v) != kConvOk) {
            qel_errorMsg(125, "\"%s\" is not a valid number.", word);
            return 0xFFFFFFFFu;
        }
        if (v < 0 && !negativesOk) {
            qel_errorMsg(126, "Negative numbers are not allowed in this context (\"%s\").", word);
            return 0xFFFFFFFFu;
        }
        values[i] = v;
    }
    return readSemicolon() == 0 ? n : 0xFFFFFFFFu;
}

uint32_t readNotokensVector(char *chars, uint32_t n, const char *allowed, bool semicolonIsError)
{
    for (uint32_t i = 0; i < n; ++i) {
        const int c = readNextDarkChar(nullptr);
        if (c == kCharOpenComment)
            return 0xFFFFFFFFu;
        if (c < 0) {
            reportUnexpectedEnd();
            return 0xFFFFFFFFu;
        }
        if (c == ';')
            return semicolonInVector(i, semicolonIsError);
        if (allowed && !inSet(c, allowed)) {
            qel_errorMsg(124, "'%c' is not a valid character in this context.", c);
            return 0xFFFFFFFFu;
        }
        chars[i] = static_cast<char>(c);
    }
    return readSemicolon() == 0 ? n : 0xFFFFFFFFu;
}

static int resolveExclusivePair(uint32_t flags, uint32_t zeroBit, uint32_t oneBit, int defaultValue,
                                uint32_t code, const char *message)
{
    const bool zero = (flags & zeroBit) != 0;
    const bool one = (flags & oneBit) != 0;
    if (zero && one) {
        qel_errorMsg(code, "%s", message);
        return -1;
    }
    if (one)
        return 1;
    if (zero)
        return 0;
    return defaultValue;
}

int readTokensFmtSetting(uint32_t flags, uint32_t tokensBit, uint32_t notokensBit, int defaultValue)
{
    return resolveExclusivePair(flags, notokensBit, tokensBit, defaultValue, 127,
                                "TOKENS and NOTOKENS cannot both be specified.");
}

int readVectorFmtSetting(uint32_t flags, uint32_t standardBit, uint32_t vectorBit, int defaultValue)
{
    return resolveExclusivePair(flags, standardBit, vectorBit, defaultValue, 128,
                                "STANDARD and VECTOR cannot both be specified.");
}

bool isValidTag(const char *name, bool anyOk)
{
    if (anyOk)
        return true;
    for (const char *p = name; *p; ++p) {
        if (!std::strchr("\"'()[],;=:-", *p))
            continue;
        if (*p == ';')
            reportUnexpectedSemicolon();
        else
            qel_errorMsg(123, "Invalid character in name: %c", *p);
        return false;
    }
    return true;
}

bool isTokenSemicolon(const char *word) { return word[0] == ';' && word[1] == '\0'; }

bool isEndBlock(const char *word)
{
    const size_t len = std::strlen(word);
    return len >= 3 && len <= 8 && strnicmp(word, "endblock", len) == 0;
}

// ---- Skipping ---------------------------------------------------------------------

int skipNextToken()
{
    char word[32];
    return wordResultToStatus(readToken(word, sizeof word));
}

int skipThru(int c)
{
    for (;;) {
        const int d = readNextDarkChar(nullptr);
        if (d < 0)
            return 1;
        if (d == c)
            return 0;
    }
}

int skipThruEOL()
{
    for (;;) {
        const int c = readNextChar();
        if (c < 0)
            return 1;
        if (c == '\n')
            return 0;
    }
}

bool skipThruToken(const char *word, const char *whitespace, const char *punctuation)
{
    char buf[64];
    for (;;) {
        const int rc = readSpecialToken(buf, sizeof buf, whitespace, punctuation, nullptr, true);
        if (rc == kTokenEnd || rc == kTokenUnterminated)
            return false;
        if (stricmp(buf, word) == 0)
            return true;
    }
}

int skipRestOfCmd()
{
    // A typed command that failed is gone already: skipping to a semicolon
    // would read the next command and throw it away too.
    if (gTypedCommandDiscarded && !inBatchInputMode())
        return 0;
    char buf[32];
    for (;;) {
        const int rc = readSpecialToken(buf, sizeof buf, nullptr, ";", nullptr, true);
        if (rc == kTokenUnterminated)
            return 1;
        if (rc == kTokenEnd) {
            qel_errorMsg(113,
                         "End-of-file encountered while skipping for '%s'.\tThis error is "
                         "sometimes caused by an unclosed comment or other formatting problems.",
                         "semicolon (';')");
            return 1;
        }
        if (rc == kTokenPlain && isTokenSemicolon(buf))
            return 0;
    }
}

int skipThruEndOfBlock()
{
    const bool savedVisible = setShowVisibleComments(false);
    char buf[32];
    int status;
    for (;;) {
        const int rc = readSpecialToken(buf, sizeof buf, nullptr, ";", nullptr, true);
        if (rc == kTokenUnterminated) {
            status = 1;
            break;
        }
        if (rc == kTokenEnd) {
            qel_errorMsg(116,
                         "Missing 'End'\tEnd-of-file was reached while a Nexus block was still being "
                         "processed.  If the \"End;\" seems to be present, look for incomplete "
                         "commands or other formatting problems further up in the file.");
            status = 1;
            break;
        }
        // A quoted 'end' is a name, not the end of the block.
        if (rc == kTokenPlain && (stricmp(buf, "end") == 0 || stricmp(buf, "endblock") == 0)) {
            status = 0;
            break;
        }
    }
    setShowVisibleComments(savedVisible);
    return status;
}

void storeTokenLoc(TokenLoc *saved)
{
    if (!gActiveInput) {
        *saved = TokenLoc{};
        return;
    }
    saved->pos = gActiveInput->pos;
    saved->wordStart = gActiveInput->wordStart;
    saved->wordEnd = gActiveInput->wordEnd;
}

void resetTokenLoc(const TokenLoc *saved)
{
    if (!gActiveInput)
        return;
    gActiveInput->pos = saved->pos;
    gActiveInput->wordStart = saved->wordStart;
    gActiveInput->wordEnd = saved->wordEnd;
}

// ---- Special comments -------------------------------------------------------------

int checkSpecialComments(const SpecialCommentFxn *table, uint32_t n)
{
    const bool savedComments = setRecognizeNexusComments(false);
    int result = 0;
    for (;;) {
        const int c = readNextDarkChar(nullptr);
        if (c != '[') {
            putCharBack(c);
            break;
        }
        const int next = readNextChar();
        if (next < 0) {
            readCommentBody(false);  // reports the open comment
            result = -2;
            break;
        }
        putCharBack(next);
        bool checkVisible = true;
        if (next == '&') {
            char word[16];
            readSpecialToken(word, sizeof word, nullptr, "]", nullptr, true);
            checkVisible = false;
            for (uint32_t i = 0; i < n; ++i) {
                if (stricmp(word, table[i].name) == 0 && table[i].callback(table[i].argument) != 0) {
                    result = -2;
                    break;
                }
            }
            if (result != 0)
                break;
        }
        if (!readCommentBody(checkVisible)) {
            result = -2;
            break;
        }
    }
    setRecognizeNexusComments(savedComments);
    return result;
}

// ---- The interactive command line ------------------------------------------------

CmdLineBuffer cmdLine = {nullptr, 0, 0};

void markInput(InputMark *mark)
{
    *mark = InputMark{};
    mark->filePos = -1;
    storeTokenLoc(&mark->loc);
    if (!gActiveInput)
        return;
    mark->prevPos = gActiveInput->prevPos;
    mark->docIndex = gActiveInput->docIndex;
    mark->cmdLinePos = cmdLine.pos;
    if (gActiveInput->batch && !gActiveInput->isDocument && gActiveInput->stream && gActiveInput->stream->fp)
        mark->filePos = std::ftell(gActiveInput->stream->fp);
}

void rewindInput(const InputMark *mark)
{
    if (!gActiveInput)
        return;
    resetTokenLoc(&mark->loc);
    gActiveInput->prevPos = mark->prevPos;
    if (!gActiveInput->batch)
        cmdLine.pos = mark->cmdLinePos;
    else if (gActiveInput->isDocument)
        gActiveInput->docIndex = mark->docIndex;
    else if (mark->filePos >= 0 && gActiveInput->stream && gActiveInput->stream->fp)
        std::fseek(gActiveInput->stream->fp, mark->filePos, SEEK_SET);
}

namespace {

char *gOwnCmdText = nullptr;  // the buffer typed commands are assembled in

constexpr int32_t kMaxCmdChars = 253;
constexpr int kStdinRetryLimit = 50;

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }


// Reads one typed command (with its continuation lines) into the own buffer;
// false when a detached run's standard input has ended instead.
bool readTypedCommand()
{
    gTypedCommandDiscarded = false;
    char *text = gOwnCmdText;
    int counter = 0;
    for (;;) {
        setUserPrompt(0);
        cmdLine.text = text;
        cmdLine.pos = cmdLine.length = 0;
        setAbortedStatus(0);
        int32_t len = 0;
        bool restart = false;
        for (;;) {
            char line[kCmdLineBufferSize];
            if (getUserInput(getPromptString(), line, sizeof line, true) != 0) {
                // The end of the commands; continuation lines read so far
                // are dropped.
                if (typedInputEnded())
                    return false;
                if (!getAbortedStatus())
                    checkStdInputError(line, &counter, kStdinRetryLimit);
                restart = true;
                break;
            }
            const char *p = line;
            while (isBlankOrTab(*p))
                ++p;
            size_t lineLen = std::strlen(p);
            if (lineLen > 0 && p[lineLen - 1] == '\n')
                --lineLen;
            bool tooLong = false;
            if (len + static_cast<int64_t>(lineLen) > kMaxCmdChars) {
                qel_errorMsg(109, "Command too long.");
                len = 0;
                tooLong = true;
            } else {
                std::memcpy(text + len, p, lineLen);
                len += static_cast<int32_t>(lineLen);
            }
            while (len > 0 && isBlankOrTab(text[len - 1]))
                --len;
            if (tooLong || len == 0 || text[len - 1] != '+')
                break;
            text[len - 1] = ' ';
            setUserPrompt(1);
        }
        if (restart)
            continue;
        if (!gQelIo.stdinNotTerminal && (len == 0 || text[len - 1] != ';'))
            text[len++] = ';';
        text[len++] = '\n';
        text[len] = '\0';
        cmdLine.length = len;
        cmdLine.pos = 0;
        return true;
    }
}

}  // namespace

int allocCmdLine()
{
    if (!gOwnCmdText) {
        gOwnCmdText = static_cast<char *>(allocBlock(kCmdLineBufferSize));
        if (!gOwnCmdText)
            return 1;
    }
    cmdLine = CmdLineBuffer{gOwnCmdText, 0, 0};
    return 0;
}

void deallocCmdLine()
{
    if (cmdLine.text == gOwnCmdText)
        cmdLine = CmdLineBuffer{nullptr, 0, 0};
    deallocBlock(gOwnCmdText);
    gOwnCmdText = nullptr;
}

uint32_t getMaxCmdLineChars() { return kMaxCmdChars; }

int readCharFromCmdLine()
{
    if (cmdLine.text && cmdLine.pos < cmdLine.length)
        return static_cast<unsigned char>(cmdLine.text[cmdLine.pos++]);
    if (gNoActiveTerminal || (!gOwnCmdText && allocCmdLine() != 0))
        return -1;
    if (!readTypedCommand()) {
        cmdLine.pos = cmdLine.length = 0;
        return -1;
    }
    return static_cast<unsigned char>(cmdLine.text[cmdLine.pos++]);
}

int32_t stuffCmdLineText(const char *text, int32_t length, bool addSemicolon)
{
    if (!gOwnCmdText && allocCmdLine() != 0)
        return 0;
    gTypedCommandDiscarded = false;
    int32_t n = length < 0 ? 0 : std::min(length, kMaxCmdChars);
    std::memcpy(gOwnCmdText, text, static_cast<size_t>(n));
    if (addSemicolon && (n == 0 || gOwnCmdText[n - 1] != ';'))
        gOwnCmdText[n++] = ';';
    gOwnCmdText[n] = '\0';
    cmdLine = CmdLineBuffer{gOwnCmdText, 0, n};
    return n;
}

char *setCmdLineBuffer(char *text, int32_t length)
{
    char *prev = cmdLine.text;
    cmdLine = CmdLineBuffer{text, 0, text ? length : 0};
    gTypedCommandDiscarded = false;
    return prev;
}

void flushCmdLineBuffer() { cmdLine.pos = cmdLine.length = 0; }

void discardTypedCommand()
{
    flushCmdLineBuffer();
    gTypedCommandDiscarded = true;
}

void decrementCmdLinePos()
{
    if (cmdLine.pos > 0)
        cmdLine.pos--;
}

bool setNoActiveTerminal(bool on)
{
    const bool prev = gNoActiveTerminal;
    gNoActiveTerminal = on;
    return prev;
}

// ---- Block commands ---------------------------------------------------------------

void setErrorStopQuery(bool (*query)()) { gErrorStopQuery = query ? query : errorStopFactory; }

int doNexusBlock(const char *blockName, const NexusBlockCmd *table, uint32_t count)
{
    const bool savedNexus = setNexusMode(true);
    const bool savedParsing = setParsingNexusBlock(true);
    constexpr const char *kUnknown =
        "Unrecognized command in %s block: \"%s\".\tIf the command is valid for the current block "
        "and it is spelled correctly, look for problems earlier in the file, such as an "
        "unterminated block (missing 'End;').";
    int status;
    char word[32];
    for (;;) {
        if (readToken(word, sizeof word) < 0) {
            status = 1;
            break;
        }
        if (isTokenSemicolon(word))
            continue;
        if (isEndBlock(word)) {
            status = 0;
            break;
        }
        const NexusBlockCmd *row = nullptr;
        // A cut word is no command, whatever it begins with.
        for (uint32_t i = 0; i < count && !gTruncated; ++i) {
            if (stricmp(word, table[i].name) == 0) {
                row = &table[i];
                break;
            }
        }
        if (row) {
            status = runReportingBadAlloc(row->handler);
            if (status != 0)
                break;
            if (getAbortedStatus()) {
                status = 2;
                break;
            }
            continue;
        }
        if (gErrorStopQuery()) {
            qel_errorMsg(112, kUnknown, blockName, word);
            status = 1;
            break;
        }
        qel_warningMsg(112, kUnknown, blockName, word);
        if (skipRestOfCmd() != 0) {
            status = 1;
            break;
        }
    }
    setParsingNexusBlock(savedParsing);
    setNexusMode(savedNexus);
    return status;
}
