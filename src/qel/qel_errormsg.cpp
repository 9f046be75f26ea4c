#include "qel/qel_errormsg.h"

#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"

PrintHook qel_printf = std_printf;
MsgHook qel_errorMsg = std_errorMsg;
static uint64_t gErrorsShown = 0;  // see errorsShown
MsgHook qel_warningMsg = std_warningMsg;

int std_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(stdout, format, args);
    va_end(args);
    return n;
}

int std_errorMsg(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::fflush(stdout);  // so that the message follows what was printed before it
    std::fputc('\n', stderr);
    std::vfprintf(stderr, format, args);
    va_end(args);
    if (code != 0)
        std::fprintf(stderr, " (error #%u)", code);
    std::fputc('\n', stderr);
    return 1;
}

int std_warningMsg(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputc('\n', stdout);
    std::vfprintf(stdout, format, args);
    va_end(args);
    if (code != 0)
        std::fprintf(stdout, " (error #%u)", code);
    std::fputc('\n', stdout);
    return 0;
}

namespace {

constexpr const char *kUnknownError =
    "Unknown error.\tWe try to anticipate possible errors and provide better messages; however, this one "
    "was not expected.";
constexpr const char *kWarningPrefix = "******  ";

struct ErrorOverride {
    uint32_t code;
    char explanation[kMaxOverrideLength + 1];
};

std::vector<ErrorOverride> gOverrides;
bool gShowingError = false;
bool gCommandGoesOn = false;
// The stream layer knows the active input; the tokenizer installs the
// discarding of the typed command line.
ErrorPositionFxn gPositionFxn = activeInputErrorPosition;
DiscardCommandLineFxn gDiscardFxn = nullptr;

const char *findOverride(uint32_t code)
{
    for (const ErrorOverride &o : gOverrides)
        if (o.code == code)
            return o.explanation;
    return nullptr;
}

// The message and explanation of a text; `work` holds the message when the
// text had to be cut at its TAB.
struct SplitMessage {
    const char *message;
    const char *explanation;  // null when there is none
};

SplitMessage splitMessage(uint32_t code, const char *text, char (&work)[kMessageBufferSize])
{
    SplitMessage m{text, nullptr};
    if (const char *tab = std::strchr(text, '\t')) {
        size_t n = std::min<size_t>(static_cast<size_t>(tab - text), kMessageBufferSize - 1);
        std::memcpy(work, text, n);
        work[n] = '\0';
        m.message = work;
        m.explanation = tab + 1;
    }
    if (const char *o = findOverride(code))
        m.explanation = o;
    return m;
}

// Formats into a message-sized buffer and shows the result; a null format
// stands for the "unknown error" text with code 1.
int formatAndShow(uint32_t code, const char *format, va_list args, int (*show)(uint32_t, const char *))
{
    char buf[kMessageBufferSize];
    if (!format) {
        code = 1;
        std::snprintf(buf, sizeof buf, "%s", kUnknownError);
    } else if (std::vsnprintf(buf, sizeof buf, format, args) < 0) {
        buf[0] = '\0';
    }
    return show(code, buf);
}

void ring(bool on)
{
    if (!on || gQelIo.stderrNotTerminal)
        return;
    FILE *err = getOutputTerminal().err;
    if (!err)
        return;
    std::fputc('\a', err);
    std::fflush(err);
}

}  // namespace

int vErrorMsg(uint32_t code, const char *format, va_list args)
{
    return formatAndShow(code, format, args, showErrorMsg);
}

int errorMsg(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int rc = vErrorMsg(code, format, args);
    va_end(args);
    return rc;
}

int errorMsgAndGoOn(uint32_t code, const char *format, ...)
{
    char text[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    gCommandGoesOn = true;
    const int rc = qel_errorMsg(code, "%s", text);
    gCommandGoesOn = false;
    return rc;
}

uint64_t errorsShown() { return gErrorsShown; }

namespace {
thread_local bool tMessagesQuiet = false;
}  // namespace

QuietMessagesOnThisThread::QuietMessagesOnThisThread() : wasQuiet_(std::exchange(tMessagesQuiet, true)) {}
QuietMessagesOnThisThread::~QuietMessagesOnThisThread() { tMessagesQuiet = wasQuiet_; }
bool messagesQuietOnThisThread() { return tMessagesQuiet; }

int showErrorMsg(uint32_t code, const char *text)
{
    if (tMessagesQuiet)
        return 1;
    char work[kMessageBufferSize];
    SplitMessage m = splitMessage(code, text ? text : "", work);

    gShowingError = true;
    ++gErrorsShown;
    if (code != 0)
        qel_printf("\nError(#%u): ", code);
    else
        qel_printf("\nError: ");
    int column = getCurLineLength();
    // The backspace marks the hanging indentation, so wrapped lines of a long
    // message line up under its first character.
    // Printed piece by piece so that a message of the full 1023 characters is
    // not cut a second time by the printing hook's own limit.
    qel_printf("\b");
    qel_printf("%s", m.message);
    qel_printf("\n");
    if (m.explanation) {
        int previous = setOutputIndentLevel(column + 4);
        qel_printf("%s", m.explanation);
        qel_printf("\n");
        setOutputIndentLevel(previous);
    }
    forceBlankLine();

    uint32_t line = 0;
    const char *fileName = nullptr;
    if (!gCommandGoesOn && code != 106 && code != 107 && gPositionFxn && gPositionFxn(&line, &fileName) && fileName) {
        qel_printf("Error occurred while processing line %u of file %s\n", line, filenameInPathname(fileName));
        forceBlankLine();
    }
    if (gDiscardFxn && !gCommandGoesOn)
        gDiscardFxn();
    gShowingError = false;
    return 1;
}

int vWarningMsg(uint32_t code, const char *format, va_list args)
{
    return formatAndShow(code, format, args, showWarningMsg);
}

int warningMsg(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int rc = vWarningMsg(code, format, args);
    va_end(args);
    return rc;
}

int showWarningMsg(uint32_t code, const char *text)
{
    if (tMessagesQuiet)
        return 0;
    char work[kMessageBufferSize];
    SplitMessage m = splitMessage(code, text ? text : "", work);
    errorSound();
    qel_printf("\n");
    const char *previous = setOutputPrefix(kWarningPrefix);
    qel_printf("\nWarning: \b");
    qel_printf("%s", m.message);
    qel_printf("\n");
    qel_printf("\n");
    setOutputPrefix(previous);
    return 0;
}

void setErrorExplanation(uint32_t code, const char *text)
{
    if (!text)
        return;
    auto it = std::find_if(gOverrides.begin(), gOverrides.end(),
                           [code](const ErrorOverride &o) { return o.code == code; });
    if (it == gOverrides.end()) {
        try {
            it = gOverrides.insert(gOverrides.end(), ErrorOverride{code, {}});
        } catch (...) {
            return;  // the built-in explanation stays
        }
    }
    std::snprintf(it->explanation, sizeof it->explanation, "%s", text);
}

void clearErrorExplanation(uint32_t code)
{
    std::erase_if(gOverrides, [code](const ErrorOverride &o) { return o.code == code; });
    if (gOverrides.empty())
        std::vector<ErrorOverride>().swap(gOverrides);
}

int showFileError(int errnum, const char *fileName)
{
    if (!fileName)
        fileName = "";
    if (errnum != 0)
        return errorMsg(107, "I/O error %d on file \"%s\" (%s).", errnum, fileName, std::strerror(errnum));
    return errorMsg(105,
                    "I/O error on file \"%s\"\tWe try to anticipate possible errors and provide better "
                    "messages; however, this one was not expected.",
                    fileName);
}

void errorSysLog(const char *format, ...)
{
    char buf[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(buf, sizeof buf, format, args) < 0)
        buf[0] = '\0';
    va_end(args);
    syslog(LOG_ERR, "%s\n", buf);
}

bool showingError() { return gShowingError; }
void setShowingError(bool flag) { gShowingError = flag; }
void setErrorPositionFxn(ErrorPositionFxn fxn) { gPositionFxn = fxn ? fxn : activeInputErrorPosition; }
void setDiscardCommandLineFxn(DiscardCommandLineFxn fxn) { gDiscardFxn = fxn; }
void setLineBufferedOutputRequested(bool flag) { gQelIo.lineBuffered = flag; }

void init_qel_io(PrintHook printHook, MsgHook errorHook, MsgHook warningHook)
{
    if (printHook)
        qel_printf = printHook;
    if (errorHook)
        qel_errorMsg = errorHook;
    if (warningHook)
        qel_warningMsg = warningHook;
    recordTerminalFacts();
    FILE *out = getOutputTerminal().out;
    if (gQelIo.stdoutNotTerminal && gQelIo.lineBuffered && out)
        setStreamLineBuffering(out, _IOLBF);
}

int qel_puts(const char *text) { return qel_printf("%s\n", text ? text : ""); }
int qel_putc(int c) { return qel_printf("%c", c); }
int qel_putNewline() { return qel_printf("\n"); }

int qel_vprintf(PrintHook printFn, const char *format, va_list args)
{
    char buf[kMessageBufferSize];
    if (std::vsnprintf(buf, sizeof buf, format, args) < 0)
        buf[0] = '\0';
    return (printFn ? printFn : qel_printf)("%s", buf);
}

void errorSound() { ring(gQelIo.errorBeep); }
void querySound() { ring(gQelIo.queryBeep); }
void notificationSound() { ring(gQelIo.notifyBeep); }
void oopsSound() { ring(true); }
void portableBell() { ring(true); }
void primeUserSounds() {}

bool setErrorSound(bool on) { return std::exchange(gQelIo.errorBeep, on); }
bool setQuerySound(bool on) { return std::exchange(gQelIo.queryBeep, on); }
bool setNotificationSound(bool on) { return std::exchange(gQelIo.notifyBeep, on); }
