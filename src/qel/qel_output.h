// The output engine: every line of normal program output passes through it.
//
// Text is assembled into lines of at most the output width, wrapped at word
// boundaries, given the current prefix and indentation, runs of blank lines
// are collapsed, and each finished line goes to the terminal (through the
// pager), to the log and to an optional per-call line callback.
#pragma once

#include <cstdint>
#include <cstdio>

// Event checking lets the engine poll for user events while it prints; it is
// switched off around messages that must not recurse into the engine.
bool setOutputEventChecking(bool flag);  // returns the previous setting
bool outputEventCheckingActive();

inline constexpr uint32_t kMinOutputLineLength = 100;
inline constexpr uint32_t kMaxOutputLineLength = 254;
inline constexpr int kMyprintfBufferSize = 1024;

// Values of the "pause" option.
enum PauseMode : uint32_t { kPauseNo = 0, kPauseSilent = 1, kPauseBeep = 2, kPauseMsg = 3 };

struct OutputInfo {
    uint32_t widthSetting;   // "outwidth"; 0 means the terminal's width
    uint32_t unused;
    uint32_t displayRows;    // lines per page; 0 until the display is set up
    uint8_t monitoring;      // "monitor": show normal output on the terminal
    uint8_t upperAsciiAllowed;
    uint8_t widthLocked;     // width came from the command line
    uint8_t lastLineBlank;
    uint32_t pauseMode;      // PauseMode
    uint32_t linesSincePause;
};
extern OutputInfo outInfo;

// The terminal the engine talks to. Tests replace it to capture output and to
// pretend that a stream is (or is not) a terminal of a given size. Whether
// each stream is a terminal is recorded in the library's one record of
// terminal facts (gQelIo): setOutputTerminal writes the three flags there,
// getOutputTerminal reports them from there.
struct OutputTerminal {
    FILE *out;  // standard output
    FILE *err;  // standard error
    FILE *in;   // where the pager reads the Return key
    bool inIsTerminal;
    bool outIsTerminal;
    bool errIsTerminal;
    // Terminal size of standard input: 0 on success, negative on failure.
    int (*querySize)(uint32_t *rows, uint32_t *columns);
    int (*writeSize)(uint32_t rows, uint32_t columns);
};
OutputTerminal defaultOutputTerminal();  // stdio streams, isatty, ioctl
const OutputTerminal &getOutputTerminal();
OutputTerminal setOutputTerminal(const OutputTerminal &terminal);  // returns the previous one
// Re-reads whether the terminal's three streams are terminals
// (recordTerminalFacts).
void refreshOutputTerminalFacts();
// The window-size-change signal handler: it only notes the change; the next
// output call that begins a line re-reads the size (initializeOutputDisplay).
void handleResizeSignal(int signo);

// Where the log file plugs in. Every member may be null.
struct OutputLogHooks {
    bool (*isLogging)();                 // logging on and the log open
    int (*writeLine)(const char *line);  // 0 written, nonzero on a write error
    void (*closeAfterError)();           // ends logging, telling the user
    void (*checkFlush)();                // after each logged line
    void (*flush)();                     // flushes the log now
};
void setOutputLogHooks(const OutputLogHooks *hooks);  // null removes them
void setFlushAppFilesFxn(void (*fxn)());
// What setOutputActive calls: setBusyMode unless replaced; null restores it.
void setOutputBusyModeFxn(void (*fxn)(bool on));

// The stream layer's prompt-in-progress flag: while it is set a partly
// assembled line is written at the end of each call.
bool promptInProgress();
void setPromptInProgress(bool flag);

// Receives every emitted line, newline included.
using OutputLineFxn = void (*)(const char *line);

// Text output.
int myprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void myputs(const char *text);
void myputc(int c);
void putNewline();
int promptPuts(const char *text);  // returns the flush result
void showOutput(const char *text, OutputLineFxn lineFxn);
void writeStdOut(const char *line);  // the pager
void flushOutputFiles();

// Line shaping.
void forceBlankLine();
void cancelBlankLine();
void cancelPendingOutput();
int getCurLineLength();
int getLastLineLength();
int setOutputIndentLevel(int amount);
int getOutputIndentLevel();
int indentOutput(int delta);
const char *setOutputPrefix(const char *prefix);
const char *setDebugOutputPrefix();
bool setSuppressBlankLines(bool flag);

// Display settings.
void setOutputLineLength(uint32_t n);
// A width given on the command line: sets the line length and locks it.
void setOutputLineLengthFromCommandLine(uint32_t n);
uint32_t getOutputLineLength();
uint32_t getOutputDisplayRows();
void setOutputNumRows(uint32_t rows);
// Body of the "outwidth" option callback: value 0 means the terminal width.
int cmdSetOutputWidth(uint32_t value, uint32_t previousValue);

struct ScreenSize {
    uint32_t rows;
    uint32_t columns;
};
ScreenSize getScreenSize();
int resizeConsoleWindow(int columns, int rows);
void initializeOutputDisplay();

bool monitoringOutput();
bool setOutputMonitoring(bool flag);
bool getOutputNonAscii();
void setOutputUpAscii(bool flag);
void setOutputBufferEmpty(bool flag);
bool isOutputBufferEmpty();
void setOutputActive(bool flag);
bool activeOutputInProgress();
void setOutputTopLineVpos(uint32_t position);

// Hooks of a windowed front end; the terminal program has nothing to do.
int qel_initializeOutputBuffer();
void setOutputTranslation(bool flag);
void clearOutputScrollPane();

// Test hook: back to the state at program start (terminal and hooks kept).
void qel_resetOutputEngine();
