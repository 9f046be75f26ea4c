// Error and warning messages, and the three output hooks of the support
// library. Library code prints through the hooks so that it works with plain
// defaults before the application installs its output engine.
#pragma once

#include <cstdarg>
#include <cstdint>

using PrintHook = int (*)(const char *format, ...);
using MsgHook = int (*)(uint32_t code, const char *format, ...);

extern PrintHook qel_printf;
extern MsgHook qel_errorMsg;
extern MsgHook qel_warningMsg;

int std_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
int std_errorMsg(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
int std_warningMsg(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A message text is "message<TAB>explanation"; the explanation is printed
// indented under the message, and warnings show the message part only.
inline constexpr int kMessageBufferSize = 1024;
inline constexpr int kMaxOverrideLength = 255;

int errorMsg(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
int vErrorMsg(uint32_t code, const char *format, va_list args) __attribute__((format(printf, 2, 0)));
int showErrorMsg(uint32_t code, const char *text);  // returns 1
// An error the command works around and goes on from: shown as an error,
// but without the input position and without discarding the rest of the
// typed line, which would tell the user that the command stopped there.
// Returns 1.
int errorMsgAndGoOn(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
int warningMsg(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
int vWarningMsg(uint32_t code, const char *format, va_list args) __attribute__((format(printf, 2, 0)));
int showWarningMsg(uint32_t code, const char *text);  // returns 0

// Work run ahead of its turn on a worker thread, and run again in its turn
// when it failed, leaves its errors to that turn to report: for the
// object's life the calling thread's errors and warnings are not shown.
class QuietMessagesOnThisThread {
public:
    QuietMessagesOnThisThread();
    ~QuietMessagesOnThisThread();
    QuietMessagesOnThisThread(const QuietMessagesOnThisThread &) = delete;
    QuietMessagesOnThisThread &operator=(const QuietMessagesOnThisThread &) = delete;

private:
    bool wasQuiet_;
};
bool messagesQuietOnThisThread();

// Replaces the explanation of every message with this code until cleared.
void setErrorExplanation(uint32_t code, const char *text);
void clearErrorExplanation(uint32_t code);

int showFileError(int errnum, const char *fileName);  // returns 1
void errorSysLog(const char *format, ...) __attribute__((format(printf, 1, 2)));

bool showingError();
void setShowingError(bool flag);
// How many errors have been shown so far: a caller compares two counts to
// learn whether a failure below it has spoken already.
uint64_t errorsShown();

// Where an error in a batch file happened. Returns true only when the active
// input is a batch-mode file (not an in-memory document) and positions are
// not being suppressed; then fills in the 1-based line and the file name.
// The stream layer's activeInputErrorPosition is installed from the start;
// a null function puts it back.
using ErrorPositionFxn = bool (*)(uint32_t *line1Based, const char **fileName);
void setErrorPositionFxn(ErrorPositionFxn fxn);
// Throws away the rest of the interactive command line after an error.
using DiscardCommandLineFxn = void (*)();
void setDiscardCommandLineFxn(DiscardCommandLineFxn fxn);

// Installs the hooks (null keeps the current one), records which standard
// streams are terminals in the library's terminal facts (gQelIo, qel_io.h)
// and makes a redirected standard output line-buffered when that was
// requested (setLineBufferedOutputRequested, the -u option).
void init_qel_io(PrintHook printHook, MsgHook errorHook, MsgHook warningHook);
void setLineBufferedOutputRequested(bool flag);

int qel_puts(const char *text);
int qel_putc(int c);
int qel_putNewline();
int qel_vprintf(PrintHook printFn, const char *format, va_list args) __attribute__((format(printf, 2, 0)));

// The bell rings on standard error, and never when it is not a terminal.
void errorSound();
void querySound();
void notificationSound();
void oopsSound();
bool setErrorSound(bool on);
bool setQuerySound(bool on);
bool setNotificationSound(bool on);
void portableBell();
void primeUserSounds();
