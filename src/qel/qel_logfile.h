// The log file: a copy of every console line while logging is on.
//
// The output engine hands each finished line to this unit through its log
// hooks (qel_initializeLogFile installs them). The Log command's handler
// parses its options into `logFile` between beginLogCommand and
// finishLogCommandHandling, which do the rest of the command.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "qel/qel_io.h"

inline constexpr uint32_t kLogFlushIntervalSecs = 10;
inline constexpr uint32_t kMaxLogFileNameToken = 256;

struct LogFile {
    StreamInfo *stream;  // null when no log is open
    char *name;          // path buffer, allocated at start-up
    char *savedName;     // full path of the previous name during one Log command
    time_t nextFlushTime;
    uint8_t start;             // "start" option
    uint8_t stop;              // "stop" option
    uint8_t flushLog;          // "flushLog" option: flush after each line
    uint8_t unused;
    uint8_t replace;           // "replace" option
    uint8_t lastAppend;        // append mode of the last log opened
    uint8_t prevFlushLog;      // "flushLog" before the current command
    uint8_t append;            // "append" option
    uint8_t logging;
    uint8_t fromCommandLine;   // a log was asked for on the command line
    uint8_t fileGiven;         // the current command named a file
    uint8_t nameSetExplicitly; // some Log command named a file
};
extern LogFile logFile;

// Allocates the name buffer (empty) and plugs the log into the output
// engine and the stream layer. 1 on allocation failure.
int qel_initializeLogFile();
// Closes an open log quietly, unplugs it and frees the buffers.
void qel_shutdownLogFile();

// Writes the version banner at the head of a new log (`fresh` unless the
// log is appended to). None is written until the application installs one.
using LogBannerFxn = void (*)(FILE *log, bool fresh);
void setLogBannerFxn(LogBannerFxn fxn);

// Opens the log named in logFile.name, replacing or (with logFile.append)
// appending, and turns logging on. 0 on success; 1 when the file cannot be
// opened or is locked by another process.
int openLogFile();
int closeLogFile(bool quiet);  // returns the close result
int flushLogFile();            // 0, or nonzero when the flush failed
void checkLogFlush();
bool isLogging();
FILE *logFileStream();  // the open log's file while logging, else null

// Copies at most kMaxLogFileNameToken characters into the name buffer.
void setLogFileName(const char *name);
// Display form of the "file" option: the name, else the saved name, else
// "(none)".
const char *logFileNameForDisplay();
// The "flushLog" option took a value: turned on, the log is flushed now.
int setFlushLogOption(bool on);
// The default name from the data file, the executed file or the program
// identifier, with ".log", unless a log is open or a name was set.
void setDefaultLogFileName();

// The Log command around its option parsing: beginLogCommand resets the
// per-command options, keeps the previous name and empties the name buffer
// (1 on allocation failure); the handler then parses into logFile and calls
// finishLogCommandHandling with whether parsing failed. It returns the
// command's status: 0, 1 for an error, 2 when the user cancelled.
int beginLogCommand();
int finishLogCommandHandling(bool parseFailed);
