#include "qel/qel_output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"

OutputInfo outInfo = {0, 0, 0, 1, 0, 0, 0, kPauseNo, 0};

namespace {

constexpr int kLineBufferSize = 256;
constexpr clock_t kFlushInterval = 1000000;
constexpr const char *kDebugPrefix = "....... ";

struct OutputState {
    char line[kLineBufferSize];
    int curLen;
    int lastLineLen;
    uint32_t maxLen;
    int indent;
    int hanging;
    const char *prefix;
    // Column where the text of the line being assembled begins (after the
    // prefix and any indentation); an "empty" line holds nothing beyond it.
    int lineBase;
    bool forceBlank;
    bool suppressBlank;
    int nesting;
    bool eventChecking;
    bool bufferEmpty;
    uint32_t topLine;
    clock_t lastFlush;
};

OutputState initialState()
{
    OutputState s{};
    s.maxLen = kMinOutputLineLength;
    s.bufferEmpty = true;
    return s;
}

OutputState gOut = initialState();

int stdQuerySize(uint32_t *rows, uint32_t *columns)
{
    struct winsize ws {};
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) < 0)
        return -1;
    *rows = ws.ws_row;
    *columns = ws.ws_col;
    return 0;
}

int stdWriteSize(uint32_t rows, uint32_t columns)
{
    struct winsize ws {};
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) < 0)
        return -1;
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(columns);
    return ioctl(STDIN_FILENO, TIOCSWINSZ, &ws);
}

bool streamIsTerminal(FILE *f) { return f && isatty(fileno(f)); }

// The streams and size functions of the terminal. Whether each stream is a
// terminal is kept in gQelIo only; the flags here are a copy made for
// getOutputTerminal.
OutputTerminal gTerminal = defaultOutputTerminal();

// Set by the window-size signal; the size is re-read by the next output
// call that starts at the beginning of a line, outside signal context.
std::atomic<bool> gResizePending{false};
static_assert(std::atomic<bool>::is_always_lock_free);
OutputLogHooks gLog{};
void (*gFlushAppFiles)() = nullptr;
void (*gBusyMode)(bool) = setBusyMode;

int prefixLength()
{
    if (!gOut.prefix)
        return 0;
    // The prefix never takes the whole line: one column is always left.
    return static_cast<int>(std::min<size_t>(std::strlen(gOut.prefix), gOut.maxLen - 1));
}

// Step 1 of a line: prefix then indentation, together at most maxLen-1.
void beginLine()
{
    int plen = prefixLength();
    std::memcpy(gOut.line, gOut.prefix ? gOut.prefix : "", static_cast<size_t>(plen));
    int limit = static_cast<int>(gOut.maxLen) - 1;
    int start = std::clamp(plen + std::max(gOut.indent, 0), plen, limit);
    std::memset(gOut.line + plen, ' ', static_cast<size_t>(start - plen));
    gOut.curLen = start;
    gOut.lineBase = start;
}

// Writes one finished line (newline already in place, or none for a prompt)
// everywhere it belongs.
void writeLine(const char *text, bool show, OutputLineFxn lineFxn)
{
    if (show)
        writeStdOut(text);
    if (gQelIo.stdoutNotTerminal && (showingError() || gQelIo.promptInProgress) && gTerminal.err) {
        // Both streams may go to one file: what standard output still holds
        // must land there before this line, not after it.
        if (gTerminal.out)
            std::fflush(gTerminal.out);
        std::fputs(text, gTerminal.err);
    }
    if (gLog.writeLine && (!gLog.isLogging || gLog.isLogging())) {
        if (gLog.writeLine(text) != 0) {
            if (gLog.closeAfterError)
                gLog.closeAfterError();
        } else if (gLog.checkFlush) {
            gLog.checkFlush();
        }
    }
    if (lineFxn)
        lineFxn(text);
}

// Emits line[0..len) after removing trailing blanks (never into the prefix).
void emitLine(int len, bool newline, bool show, OutputLineFxn lineFxn)
{
    int plen = prefixLength();
    while (len > plen && gOut.line[len - 1] == ' ')
        --len;
    gOut.lastLineLen = len;
    if (newline)
        gOut.line[len++] = '\n';
    gOut.line[len] = '\0';
    writeLine(gOut.line, show, lineFxn);
}

bool lineIsEmpty() { return gOut.curLen <= gOut.lineBase; }

// Ends the line being assembled. Returns false when an empty line was
// swallowed by blank-line collapsing; the line then stays begun.
bool endLine(bool show, OutputLineFxn lineFxn)
{
    gOut.hanging = 0;
    bool empty = lineIsEmpty();
    if (empty && (outInfo.lastLineBlank || gOut.suppressBlank)) {
        gOut.forceBlank = false;
        return false;
    }
    outInfo.lastLineBlank = empty;
    emitLine(gOut.curLen, true, show, lineFxn);
    gOut.curLen = 0;
    return true;
}

bool isExponentSign(int pos)
{
    // "1.5e-05": the hyphen follows an 'e' that follows a digit.
    return pos >= 2 && gOut.line[pos - 1] == 'e' &&
           std::isdigit(static_cast<unsigned char>(gOut.line[pos - 2]));
}

// Where a full line may be broken: the number of characters kept, or -1.
int findBreak(int minKeep, char next)
{
    int len = gOut.curLen;
    if (next == ' ')
        return len;
    for (int p = std::min(len, static_cast<int>(gOut.maxLen)) - 1; p > minKeep; --p) {
        char c = gOut.line[p];
        if (c == ' ') {
            bool allBlank = true;
            for (int i = 0; i < p && allBlank; ++i)
                allBlank = gOut.line[i] == ' ';
            return allBlank ? -1 : p;
        }
        if (c == '-' && p > 1 && gOut.line[p - 1] != ' ' && !isExponentSign(p))
            return p + 1;
    }
    return -1;
}

// A full line is broken at the last blank (or after a hyphen) and the rest is
// carried to a continuation line at the hanging indentation.
void wrapLine(const char **input, bool show, OutputLineFxn lineFxn)
{
    if (gOut.hanging == 0 && gOut.line[0] == ' ') {
        int lead = 0;
        while (lead < gOut.curLen && gOut.line[lead] == ' ')
            ++lead;
        gOut.hanging = lead;
    }
    if (gOut.hanging >= static_cast<int>(gOut.maxLen) - 1)
        gOut.hanging = 0;
    int plen = prefixLength();
    int contCol = std::min(std::max(plen, gOut.hanging), static_cast<int>(gOut.maxLen) - 1);

    // A break must keep text on this line and leave the continuation shorter
    // than a full line, otherwise wrapping would never make progress.
    int brk = findBreak(std::max(contCol, gOut.lineBase), **input);
    char carried[kLineBufferSize];
    int ncarried = 0;
    if (brk >= 0) {
        int from = brk;
        while (from < gOut.curLen && gOut.line[from] == ' ')
            ++from;
        ncarried = gOut.curLen - from;
        if (contCol + ncarried >= static_cast<int>(gOut.maxLen)) {
            brk = -1;
            ncarried = 0;
        } else {
            std::memcpy(carried, gOut.line + from, static_cast<size_t>(ncarried));
        }
    }
    if (brk < 0)
        brk = gOut.curLen;

    outInfo.lastLineBlank = false;
    emitLine(brk, true, show, lineFxn);

    std::memset(gOut.line, ' ', static_cast<size_t>(contCol));
    std::memcpy(gOut.line, gOut.prefix ? gOut.prefix : "", static_cast<size_t>(std::min(plen, contCol)));
    std::memcpy(gOut.line + contCol, carried, static_cast<size_t>(ncarried));
    gOut.curLen = contCol + ncarried;
    gOut.lineBase = contCol;
    if (ncarried == 0)
        while (**input == ' ')
            ++*input;
}

// After a forced blank line a prefix stays in place and the text continues
// right after it.
void restartAfterForcedBlank()
{
    int plen = prefixLength();
    if (plen == 0) {
        gOut.curLen = 0;
        return;
    }
    std::memcpy(gOut.line, gOut.prefix, static_cast<size_t>(plen));
    gOut.curLen = plen;
    gOut.lineBase = plen;
}

void emitForcedBlankLine(const char **input, bool show, OutputLineFxn lineFxn)
{
    // A partly assembled line is finished first, so the blank line really
    // separates it from what follows and nothing is written twice.
    if (!lineIsEmpty()) {
        endLine(show, lineFxn);
        beginLine();
    }
    if (endLine(show, lineFxn)) {
        restartAfterForcedBlank();
    } else if (**input == '\n') {
        ++*input;
    }
    gOut.forceBlank = false;
}

void writePromptRemainder(bool show, OutputLineFxn lineFxn)
{
    if (gOut.curLen == 0)
        return;
    if (lineIsEmpty()) {
        outInfo.lastLineBlank = true;
    } else {
        // A prompt keeps its trailing blank: the answer is typed after it.
        gOut.line[gOut.curLen] = '\0';
        gOut.lastLineLen = gOut.curLen;
        outInfo.lastLineBlank = false;
        writeLine(gOut.line, show, lineFxn);
    }
    gOut.curLen = 0;
}

void ringQueryBellNow()
{
    bool previous = setQuerySound(true);
    querySound();
    setQuerySound(previous);
}

void waitForReturnKey()
{
    char answer[64];
    if (!gTerminal.in || !std::fgets(answer, sizeof answer, gTerminal.in)) {
        // Written directly: the engine is in the middle of a line here and
        // must not be re-entered.
        std::fputs("Expected input not found (waitForReturnKey).\n", gTerminal.out);
    }
}

}  // namespace

OutputTerminal defaultOutputTerminal()
{
    OutputTerminal t{stdout, stderr, stdin, false, false, false, stdQuerySize, stdWriteSize};
    t.inIsTerminal = streamIsTerminal(stdin);
    t.outIsTerminal = streamIsTerminal(stdout);
    t.errIsTerminal = streamIsTerminal(stderr);
    return t;
}

const OutputTerminal &getOutputTerminal()
{
    gTerminal.inIsTerminal = !gQelIo.stdinNotTerminal;
    gTerminal.outIsTerminal = !gQelIo.stdoutNotTerminal;
    gTerminal.errIsTerminal = !gQelIo.stderrNotTerminal;
    return gTerminal;
}

OutputTerminal setOutputTerminal(const OutputTerminal &terminal)
{
    OutputTerminal previous = getOutputTerminal();
    gTerminal = terminal;
    gQelIo.stdinNotTerminal = !terminal.inIsTerminal;
    gQelIo.stdoutNotTerminal = !terminal.outIsTerminal;
    gQelIo.stderrNotTerminal = !terminal.errIsTerminal;
    return previous;
}

void refreshOutputTerminalFacts() { recordTerminalFacts(); }

void handleResizeSignal(int) { gResizePending.store(true); }

void setOutputLogHooks(const OutputLogHooks *hooks) { gLog = hooks ? *hooks : OutputLogHooks{}; }
void setFlushAppFilesFxn(void (*fxn)()) { gFlushAppFiles = fxn; }
void setOutputBusyModeFxn(void (*fxn)(bool)) { gBusyMode = fxn ? fxn : setBusyMode; }

bool promptInProgress() { return gQelIo.promptInProgress; }
void setPromptInProgress(bool flag) { gQelIo.promptInProgress = flag; }

bool setOutputEventChecking(bool flag)
{
    bool previous = gOut.eventChecking;
    gOut.eventChecking = flag;
    return previous;
}

bool outputEventCheckingActive() { return gOut.eventChecking; }

void showOutput(const char *text, OutputLineFxn lineFxn)
{
    // A size change takes effect between lines: the line being assembled
    // keeps the width it was begun with.
    if (gOut.curLen == 0 && outInfo.displayRows != 0 && gResizePending.exchange(false))
        initializeOutputDisplay();
    if (outInfo.displayRows == 0 || !text)
        return;
    bool show = outInfo.monitoring || showingError() || gQelIo.promptInProgress;
    if (show)
        gOut.bufferEmpty = false;

    const char *p = text;
    while (*p) {
        if (gOut.curLen == 0)
            beginLine();
        if (gOut.curLen >= static_cast<int>(gOut.maxLen) && *p != '\n') {
            wrapLine(&p, show, lineFxn);
            gOut.forceBlank = false;
            continue;
        }
        if (gOut.forceBlank) {
            emitForcedBlankLine(&p, show, lineFxn);
            continue;
        }
        char c = *p++;
        if (c == '\n') {
            endLine(show, lineFxn);
        } else if (c == '\b') {
            gOut.hanging = gOut.curLen;
        } else {
            gOut.line[gOut.curLen++] = c;
        }
    }
    if (gQelIo.promptInProgress)
        writePromptRemainder(show, lineFxn);
}

void writeStdOut(const char *line)
{
    FILE *out = gTerminal.out;
    if (!out)
        return;
    bool pauseDue = outInfo.pauseMode != kPauseNo && outInfo.linesSincePause >= outInfo.displayRows;
    // Waiting for Return makes sense only when a person sees the page and can
    // answer: a redirected run never blocks.
    if (pauseDue && !gQelIo.stdinNotTerminal && !gQelIo.stdoutNotTerminal) {
        size_t len = std::strlen(line);
        if (len > 0 && line[len - 1] == '\n') {
            std::fwrite(line, 1, len - 1, out);
            if (outInfo.pauseMode == kPauseMsg)
                std::fputs("\n--Press return to continue--", out);
            else if (outInfo.pauseMode == kPauseBeep)
                ringQueryBellNow();
            std::fflush(out);
            waitForReturnKey();
        } else {
            std::fputs(line, out);
        }
        outInfo.linesSincePause = 0;
    } else {
        std::fputs(line, out);
    }
    clock_t now = clock();
    if (now - gOut.lastFlush > kFlushInterval) {
        std::fflush(out);
        gOut.lastFlush = now;
    }
    ++outInfo.linesSincePause;
}

int myprintf(const char *format, ...)
{
    char buf[kMyprintfBufferSize];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0)
        return n;
    if (n > kMyprintfBufferSize - 1) {
        buf[kMyprintfBufferSize - 2] = '\n';
        buf[kMyprintfBufferSize - 1] = '\0';
    }
    showOutput(buf, nullptr);
    return n;
}

void myputs(const char *text) { showOutput(text, nullptr); }

void myputc(int c)
{
    char s[2] = {static_cast<char>(c), '\0'};
    showOutput(s, nullptr);
}

void putNewline() { showOutput("\n", nullptr); }

int promptPuts(const char *text)
{
    gQelIo.promptInProgress = true;
    showOutput(text, nullptr);
    int rc = gTerminal.out ? std::fflush(gTerminal.out) : 0;
    gQelIo.promptInProgress = false;
    return rc;
}

void flushOutputFiles()
{
    // Before each command, so that what a run printed survives the run
    // being killed in the next one (a redirected stdout is block-buffered).
    if (gTerminal.out)
        std::fflush(gTerminal.out);
    if (gLog.flush && (!gLog.isLogging || gLog.isLogging()))
        gLog.flush();
    if (gFlushAppFiles)
        gFlushAppFiles();
}

void forceBlankLine() { gOut.forceBlank = true; }
void cancelBlankLine() { gOut.forceBlank = false; }
void cancelPendingOutput() { gOut.curLen = 0; }
int getCurLineLength() { return gOut.curLen; }
int getLastLineLength() { return gOut.lastLineLen - (gOut.prefix ? prefixLength() : 0); }

int setOutputIndentLevel(int amount)
{
    int previous = gOut.indent;
    gOut.indent = amount;
    return previous;
}

int getOutputIndentLevel() { return gOut.indent; }
int indentOutput(int delta) { return setOutputIndentLevel(gOut.indent + delta); }

const char *setOutputPrefix(const char *prefix)
{
    const char *previous = gOut.prefix;
    gOut.prefix = prefix;
    outInfo.lastLineBlank = false;
    return previous;
}

const char *setDebugOutputPrefix() { return setOutputPrefix(kDebugPrefix); }

bool setSuppressBlankLines(bool flag)
{
    bool previous = gOut.suppressBlank;
    gOut.suppressBlank = flag;
    return previous;
}

void setOutputLineLength(uint32_t n)
{
    if (outInfo.widthLocked)
        return;
    gOut.maxLen = std::clamp(n, kMinOutputLineLength, kMaxOutputLineLength);
}

void setOutputLineLengthFromCommandLine(uint32_t n)
{
    outInfo.widthLocked = 0;
    setOutputLineLength(n);
    outInfo.widthSetting = gOut.maxLen;
    outInfo.widthLocked = 1;
}

uint32_t getOutputLineLength() { return gOut.maxLen; }
uint32_t getOutputDisplayRows() { return outInfo.displayRows; }
void setOutputNumRows(uint32_t rows) { outInfo.displayRows = rows; }

int cmdSetOutputWidth(uint32_t value, uint32_t previousValue)
{
    // A width from the command line stays in force, so the setting goes back
    // to it: a listing of the settings must not show a width never applied.
    if (outInfo.widthLocked) {
        outInfo.widthSetting = gOut.maxLen;
        return 0;
    }
    if (value == previousValue)
        return 0;
    uint32_t width = value != 0 ? value : getScreenSize().columns;
    setOutputLineLength(width);
    resizeConsoleWindow(static_cast<int>(width), -1);
    return 0;
}

ScreenSize getScreenSize()
{
    ScreenSize size{24, 100};
    uint32_t rows = 0, columns = 0;
    if (gTerminal.querySize && gTerminal.querySize(&rows, &columns) >= 0) {
        if (rows != 0)
            size.rows = rows;
        if (columns != 0)
            size.columns = columns;
    }
    return size;
}

int resizeConsoleWindow(int columns, int rows)
{
    uint32_t curRows = 0, curColumns = 0;
    if (!gTerminal.querySize || !gTerminal.writeSize)
        return -1;
    int rc = gTerminal.querySize(&curRows, &curColumns);
    if (rc < 0)
        return rc;
    if (columns > 0)
        curColumns = std::max(curColumns, static_cast<uint32_t>(columns));
    if (rows > 0)
        curRows = static_cast<uint32_t>(rows);
    return gTerminal.writeSize(curRows, curColumns);
}

void initializeOutputDisplay()
{
    ScreenSize size = getScreenSize();
    setOutputLineLength(size.columns);
    outInfo.displayRows = size.rows;
    if (outInfo.pauseMode == kPauseMsg && outInfo.displayRows > 1)
        --outInfo.displayRows;
    outInfo.linesSincePause = 0;
}

bool monitoringOutput() { return outInfo.monitoring != 0; }

bool setOutputMonitoring(bool flag)
{
    bool previous = outInfo.monitoring != 0;
    outInfo.monitoring = flag;
    return previous;
}

bool getOutputNonAscii() { return outInfo.upperAsciiAllowed != 0; }
void setOutputUpAscii(bool flag) { outInfo.upperAsciiAllowed = flag; }
void setOutputBufferEmpty(bool flag) { gOut.bufferEmpty = flag; }
bool isOutputBufferEmpty() { return gOut.bufferEmpty; }

void setOutputActive(bool flag)
{
    if (flag)
        ++gOut.nesting;
    else if (gOut.nesting > 0)
        --gOut.nesting;
    gBusyMode(flag);
}

bool activeOutputInProgress() { return gOut.nesting > 0; }
void setOutputTopLineVpos(uint32_t position) { gOut.topLine = position; }

int qel_initializeOutputBuffer() { return 0; }
void setOutputTranslation(bool) {}
void clearOutputScrollPane() {}

void qel_resetOutputEngine()
{
    gOut = initialState();
    outInfo = OutputInfo{0, 0, 0, 1, 0, 0, 0, kPauseNo, 0};
    gQelIo.promptInProgress = false;
    gResizePending.store(false);
}
