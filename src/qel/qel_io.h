// Input streams and line input: every file the program opens, the input
// sources the tokenizer reads (files, in-memory documents, the terminal) and
// the reading of terminal lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <sys/types.h>

#include "qel/qel_files.h"

// openStream flags.
inline constexpr uint32_t kStreamRead = 1;
inline constexpr uint32_t kStreamWrite = 2;  // a new text that replaces the file when closed
inline constexpr uint32_t kStreamAppend = 4;
inline constexpr uint32_t kStreamBinary = 8;
inline constexpr uint32_t kStreamQuiet = 16;
inline constexpr uint32_t kStreamNoReplaceQuery = 32;
inline constexpr uint32_t kStreamLock = 64;
inline constexpr uint32_t kStreamLocked = 128;  // set while the lock is held
// A record written as the run goes (the log): written in place even when
// replaced, so that it can be read while the run goes on and survives a
// crash, and never abandoned: what reached it stays, at an abrupt end too.
inline constexpr uint32_t kStreamRecord = 256;

// openStream results.
inline constexpr int kOpenOK = 0;
inline constexpr int kOpenFailed = 1;
inline constexpr int kOpenRefused = 2;  // locked elsewhere
// The user answered no to replacing the file: a cancel, not a failure.
inline constexpr int kOpenDeclined = 3;

// The path and file-name limits are those of qel_files.
inline constexpr size_t kPathBufSize = kPathnameBufSize;
inline constexpr size_t kFileNameBufSize = kFilenameBufSize;
inline constexpr uint8_t kMaxFileNesting = 16;

// An open file. It begins with the file's specification: the full path it
// was opened under, split into directory and name.
//
// A file opened to be written from scratch (other than a record) is written
// to a temporary file in the same directory, which replaces the target only
// when the stream is closed without error; until then the old file is untouched, so a failed
// or interrupted write never leaves a fragment in its place. An appended
// file is written in place; its length at the open is kept so that an
// abandoned append can be cut back to it.
struct StreamInfo {
    FileSpec fileSpec;
    FILE *fp;
    uint32_t flags;
    int targetFd;                      // the target held open for its lock while replaced; -1 when none
    uint8_t createdTarget;             // the target did not exist before this stream
    int64_t appendBase;                // an appended file's length at the open; -1 when not appending
    char tempPath[kPathnameBufSize];   // empty when writing in place
    char targetPath[kPathnameBufSize]; // what the temporary file replaces (links followed)
    char *readBuffer;                  // an input file's stdio buffer, freed with the record
    // -1, or the length up to which the file is whole (markStreamKept): an
    // abrupt end keeps the file cut to it instead of abandoning the write.
    int64_t keptLength;
    // Null, or the text an abrupt end writes after the cut (the end of a
    // trees block), so that the file kept is whole (setStreamClosing).
    char *closing;
};

struct InputPos {
    uint32_t charCount;
    uint32_t lineNum;  // from 0
};

enum : uint8_t { kLineEndUnknown = 0, kLineEndCR = 1, kLineEndCRLF = 2, kLineEndLF = 3 };

// One input source: a file, an in-memory document or the terminal.
struct InputStatus {
    StreamInfo *stream;
    const char *docText;
    uint64_t docLength;
    InputStatus *prevInput;
    char *dirText;  // set by CD; owned by whoever sets it
    uint64_t docIndex;
    InputPos pos;
    InputPos wordStart;
    InputPos wordEnd;
    InputPos prevPos;
    uint8_t batch;
    uint8_t isDocument;
    uint8_t lineEndKind;
    uint8_t commentLevel;
    uint8_t fileDepth;
};

// The library's process-wide flags about the terminal and the run: the one
// record of whether the standard streams are terminals, read by the output
// engine, the bell and the question code alike. init_qel_io fills the
// terminal facts (recordTerminalFacts); a test that injects an
// OutputTerminal states them through setOutputTerminal.
struct QelIo {
    bool stdinNotTerminal;
    bool stdoutNotTerminal;
    bool stderrNotTerminal;
    bool detachedMode;  // no terminal input allowed (-n)
    bool lineBuffered;  // -u
    bool defaultMode;   // questions take their default answer
    bool fileLocking;   // fLock option; -f turns it off
    bool errorBeep;
    bool queryBeep;
    bool notifyBeep;
    bool suppressFilePosition;  // while the user is asked for a number
    pid_t parentPid;            // the process that started us; 0 = not recorded
    bool promptInProgress;      // a prompt is being written (promptPuts)
};
extern QelIo gQelIo;

extern InputStatus *gActiveInput;
extern InputStatus gBaseInputInfo;

// Records which of the output terminal's streams (standard input, output
// and error unless a test injected others) are terminals, and the parent
// process.
void recordTerminalFacts();

// What this unit needs from the output engine, the log file, the command-line
// buffer and the application. Each may be replaced; a null member restores
// the default.
struct IoServiceHooks {
    void (*forceBlankLine)();       // default: the output engine's
    void (*restartPagingCount)();   // default: the pager's count restarts at 1
    void (*clearLastLineBlank)();   // default: the output engine's mark
    FILE *(*logStream)();           // default: no log
    void (*exitProgram)(int status);  // default: std::exit; must not return
    // Next byte (0..255) of the typed command, or -1 at its end. The
    // stand-in reads lines with getUserInput.
    int (*nextCommandChar)();
};
void setIoServiceHooks(const IoServiceHooks &hooks);
const IoServiceHooks &ioServiceHooks();

// Replaces the terminal as a byte source: `next` yields bytes 0..255 and -1
// at the end. A null function restores standard input. While a replacement
// is installed the line editor is never used.
using TerminalByteFxn = int (*)(void *context);
void setTerminalInput(TerminalByteFxn next, void *context);

// A ready-made in-memory terminal for setTerminalInput.
struct MemoryTerminal {
    const char *text;
    size_t length;
    size_t index;
};
int memoryTerminalByte(void *memoryTerminal);

// Files.
int openStream(const char *path, uint32_t flags, const char *directory, StreamInfo **streamPtr);
int openOutputStream(const char *path, bool replace, bool append, StreamInfo **streamPtr);
int openInputFile(const char *path, uint32_t flags, const char *directory, InputStatus *status);
int closeInputFile(InputStatus *status);
int closeStream(StreamInfo **streamPtr);
// Gives up a file being written: a replacement is thrown away (the old file
// stays as it was), an append is cut back to the length the file had when it
// was opened. Nothing is reported; the record is freed and the variable
// nulled.
void discardStream(StreamInfo **streamPtr);
// Ends the file of a stream but keeps the record: with `keep`, what was
// written is flushed and (for a replacement) put in place of the target;
// without, the write is abandoned as by discardStream. A held lock is
// released. 0 on success, else the system error number (-1 when none was
// given). Nothing is reported.
int finishStreamFile(StreamInfo *stream, bool keep);
// Every file still open for writing, at an abrupt end of the program: a
// record is flushed and kept, a file marked by markStreamKept is cut to its
// mark and kept, every other file is abandoned. The stream records stay
// (their files closed).
void settleOpenOutputFiles();
// Marks what has been written to the stream so far as whole (a table whose
// finished rows are results in themselves): flushes it, and from then on an
// abrupt end keeps the file up to this point. 0, or the system error number
// (-1 when none was given).
int markStreamKept(StreamInfo *stream);
// The text an abrupt end writes after the cut at the mark, as the writer's
// own end would (an "end;" closing a block). Given once, before the first
// mark: the watchdog reads it without a lock. 0, or 1 without memory.
int setStreamClosing(StreamInfo *stream, const char *text);
// The files settleOpenOutputFiles would abandon (every open output that is
// neither a record nor marked kept), as shown to the user.
std::vector<std::string> unfinishedOutputFiles();
// The files it would keep cut to their marks, as shown to the user.
std::vector<std::string> keptOutputFiles();
// The line that tells the user a stopped write kept its finished part.
void showWriteKeptSoFar(const char *shownName);
// The line that tells the user a write was stopped and the file kept what
// it held before.
void showWriteLeftAsItWas(const char *shownName);
// The same for the last resort of a termination signal, from a thread other
// than the main one while the main thread may be stuck: only removes
// temporary files and cuts appends back, and flushes records.
void settleOpenOutputFilesFromWatchdog();
StreamInfo *createStreamInfo(const char *directory, const char *fileName, FILE *fp, uint32_t flags);
StreamInfo *destroyStreamInfo(StreamInfo *stream);
int lockStream(StreamInfo *stream, bool write);
int unlockStream(StreamInfo *stream);
int flushStream(StreamInfo *stream);
// Writes and flushes n bytes, starting the disk writes of a replacement as
// it goes. 0, or the system error number (-1 when none was given).
int writeStreamData(StreamInfo *stream, const void *data, uint64_t n);
// Flushes a file unless another thread holds it (and may be stuck there).
void flushIfFree(FILE *file);
int setStreamLineBuffering(FILE *file, int mode);
const char *streamFilename(const StreamInfo *stream);
std::string streamPathnameForDisplay(const StreamInfo *stream, size_t maxLength);
char *makeTempDirectory(const char *prefix, char *buffer);

// Input sources.
void setActiveInput(InputStatus *status);
InputStatus *getActiveInput();
FILE *getActiveInputStream();
void setBatchInputMode(bool on);
bool inBatchInputMode();
uint8_t getActiveCommentLevel();
void setActiveCommentLevel(uint8_t level);
// The directory of the running command file (its CD directory when one was
// set) in a path buffer; null at the terminal. Relative file names are
// expanded against it (the base-directory provider of qel_files).
char *getActiveInputDirSpec(char *buffer);
// Where an error happened, for the error reporter: true only while a file
// (not an in-memory document) is read in batch mode and positions are not
// suppressed; then the 1-based line and the file's name without directory.
bool activeInputErrorPosition(uint32_t *line1Based, const char **fileName);
void initInputStatus(InputStatus *status);
// A file that starts with a UTF-16 byte-order mark is read byte by byte, its
// NUL bytes skipped, which holds for ASCII characters alone: one holding any
// other character is refused (1, with a message saying how to save it).
int refuseUnreadableText(const StreamInfo *stream);
// Makes an in-memory text the active input (the text is not copied).
void initDocumentInput(InputStatus *status, const char *text, uint64_t length);
int readNextChar();
// Appends what readNextChar would return, character by character, to out
// through the first `stop` (included; a printable character, or "\n" for a
// line end whatever the file uses); false when
// the input ended first. Positions and line ends are kept as by
// readNextChar; files and documents are read in bulk.
bool readNextCharsThrough(int stop, std::string &out);
int readNextLine(size_t size, char *buffer);
uint64_t getInputDocSize(const InputStatus *status);
uint64_t getCurrentInputPos(const InputStatus *status);
void currentInputInfo(InputStatus *copy);
void resetCurrentInput(const InputStatus *copy);
void rewindCurrentInput();

// Terminal.
struct GetLine;
GetLine *initTecla();
GetLine *shutdownTecla();
int getUserInput(const char *prompt, char *buffer, size_t size, bool edit);
// Writes a question and its answer (ending in a newline) as one line shown
// like a prompt: at the terminal whatever the monitoring, and on standard
// error too when standard output is not a terminal.
void showAnsweredQuestion(const char *question, const char *answer);
// Whether redirected standard input has ended in a detached run (-n). There
// the end is no missing answer: getUserInput returns 1 without ending the
// program, and the command reader treats it as the end of the commands.
bool typedInputEnded();
void checkStdInputError(char *answer, int *counter, int limit);
