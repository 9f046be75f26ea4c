#include "qel/qel_logfile.h"

#include <cstring>

#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"

LogFile logFile = {};

namespace {

constexpr const char *kProgramID = "vorn";

LogBannerFxn gBanner = nullptr;

void scheduleNextFlush() { logFile.nextFlushTime = std::time(nullptr) + kLogFlushIntervalSecs; }

// ---- the output engine's side ----

bool hookIsLogging() { return isLogging(); }

int hookWriteLine(const char *line)
{
    FILE *fp = logFileStream();
    if (!fp)
        return 1;
    return (std::fputs(line, fp) == EOF || std::ferror(fp)) ? 1 : 0;
}

void hookCloseAfterError() { closeLogFile(false); }
void hookFlush() { flushLogFile(); }

const OutputLogHooks kLogHooks = {hookIsLogging, hookWriteLine, hookCloseAfterError, checkLogFlush,
                                  hookFlush};

void setStreamLayerLogHook(FILE *(*logStream)())
{
    IoServiceHooks hooks = ioServiceHooks();
    hooks.logStream = logStream;  // null restores the stream layer's stand-in
    setIoServiceHooks(hooks);
}

// ---- the Log command ----

void restoreNameFromSaved()
{
    copyPathname(logFile.savedName ? logFile.savedName : "", logFile.name);
}

int endLogCommand(int status)
{
    logFile.savedName = deallocPathnameBuffer(logFile.savedName);
    return status;
}

// Nothing to open: tell the user what stands.
void reportUnchangedStatus()
{
    if (logFile.flushLog != logFile.prevFlushLog) {
        qel_printf("\nFlushing of log file after each line %s", logFile.flushLog ? "enabled" : "disabled");
        if (!isLogging())
            qel_printf(" (but no log file is currently open)");
        qel_printf("\n");
    } else if (isLogging()) {
        qel_printf("\nLog file status not changed (still logging to file \"%s\").\n",
                   streamPathnameForDisplay(logFile.stream, 255).c_str());
    } else {
        qel_printf("\nLog file status not changed (no log file open).\n");
    }
}

enum class ExistingLogChoice { Replace, Cancel, Append };

// An existing file is replaced without asking when questions take their
// default answer.
ExistingLogChoice askAboutExistingLog()
{
    if (inDefaultMode())
        return ExistingLogChoice::Replace;
    char display[kPathnameBufSize];
    makePathnameForDisplayFromString(logFile.name, display, 128);
    qel_printf("The file \"%s\" already exists.", display);
    switch (getUserResponse("  Do you want to replace, cancel, or append (R/c/a)? ", nullptr, 'R', "RCA")) {
    case 1:
        return ExistingLogChoice::Cancel;
    case 2:
        return ExistingLogChoice::Append;
    default:
        return ExistingLogChoice::Replace;
    }
}

}  // namespace

int qel_initializeLogFile()
{
    if (checkPathnameBuffer(&logFile.name, nullptr) != 0)
        return 1;
    setOutputLogHooks(&kLogHooks);
    setStreamLayerLogHook(logFileStream);
    return 0;
}

void qel_shutdownLogFile()
{
    closeLogFile(true);
    setOutputLogHooks(nullptr);
    setStreamLayerLogHook(nullptr);
    logFile.name = deallocPathnameBuffer(logFile.name);
    logFile.savedName = deallocPathnameBuffer(logFile.savedName);
}

void setLogBannerFxn(LogBannerFxn fxn) { gBanner = fxn; }

bool isLogging() { return logFile.logging && logFile.stream && logFile.stream->fp; }

FILE *logFileStream() { return isLogging() ? logFile.stream->fp : nullptr; }

int openLogFile()
{
    if (logFile.stream)
        closeLogFile(false);
    const bool append = logFile.append;
    // The replace question belongs to the Log command, which has already
    // asked it, so the stream layer must not ask again. Asked here, a
    // refusal would be indistinguishable from a lock held elsewhere; this
    // way a refused open is always a lock refusal, which is an error.
    // The log is what a run leaves behind even when it is killed or
    // crashes, and is read while the run goes on: it is written in place.
    const uint32_t flags =
        kStreamLock | kStreamRecord | (append ? kStreamAppend : kStreamWrite | kStreamNoReplaceQuery);
    if (!logFile.name || openStream(logFile.name, flags, nullptr, &logFile.stream) != kOpenOK) {
        logFile.stream = nullptr;
        qel_printf("\nLog file not opened.\n\n");
        return 1;
    }
    logFile.lastAppend = append;
    forceBlankLine();
    if (gBanner)
        gBanner(logFile.stream->fp, !append);
    // Logging is still off, so this goes to the console only.
    qel_printf("\nLogging output to file \"%s\"", streamPathnameForDisplay(logFile.stream, 255).c_str());
    if (append)
        qel_printf(" (appending)");
    qel_printf(".\n");
    forceBlankLine();
    scheduleNextFlush();
    logFile.logging = 1;
    return 0;
}

int closeLogFile(bool quiet)
{
    logFile.logging = 0;  // first, so that the message below is not logged
    if (!logFile.stream)
        return 0;
    if (!quiet)
        qel_printf("\nLogging of output to file \"%s\" discontinued.\n", streamFilename(logFile.stream));
    return closeStream(&logFile.stream);
}

int flushLogFile()
{
    int rc = 0;
    if (logFile.stream && logFile.stream->fp)
        rc = flushStream(logFile.stream);
    scheduleNextFlush();
    return rc;
}

void checkLogFlush()
{
    if (!logFile.flushLog && std::time(nullptr) < logFile.nextFlushTime)
        return;
    // A full disk shows up at the flush rather than at the buffered write.
    if (flushLogFile() != 0)
        closeLogFile(false);
}

void setLogFileName(const char *name)
{
    if (!logFile.name)
        return;
    const size_t n = name ? strnlen(name, kMaxLogFileNameToken) : 0;
    std::memcpy(logFile.name, name ? name : "", n);
    logFile.name[n] = '\0';
}

const char *logFileNameForDisplay()
{
    if (logFile.name && logFile.name[0])
        return logFile.name;
    if (logFile.savedName && logFile.savedName[0])
        return logFile.savedName;
    return "(none)";
}

int setFlushLogOption(bool on)
{
    const bool was = logFile.flushLog;
    logFile.flushLog = on;
    if (on && !was && logFile.stream)
        flushLogFile();
    return 0;
}

void setDefaultLogFileName()
{
    if (logFile.stream || logFile.nameSetExplicitly || !logFile.name)
        return;
    const char *stem = getDataFileName();
    if (!stem || !stem[0])
        stem = getExecFileName();
    if (!stem || !stem[0])
        stem = kProgramID;
    makeDefaultFilename(stem, ".log", logFile.name);
}

int beginLogCommand()
{
    logFile.prevFlushLog = logFile.flushLog;
    logFile.start = logFile.stop = logFile.replace = logFile.append = logFile.fileGiven = 0;
    if (!logFile.name || checkPathnameBuffer(&logFile.savedName, nullptr) != 0)
        return 1;
    if (!logFile.name[0] || !expandPathname(logFile.name, nullptr, logFile.savedName))
        copyPathname(logFile.name, logFile.savedName);
    logFile.name[0] = '\0';
    return 0;
}

int finishLogCommandHandling(bool parseFailed)
{
    if (!logFile.name)
        return endLogCommand(1);
    if (parseFailed) {
        // A command whose options fail leaves them all as they were.
        restoreNameFromSaved();
        logFile.flushLog = logFile.prevFlushLog;
        return endLogCommand(1);
    }
    if (logFile.name[0]) {
        logFile.fileGiven = 1;
        logFile.nameSetExplicitly = 1;
    } else {
        restoreNameFromSaved();
    }
    if (logFile.replace)
        logFile.append = 0;

    if (isLogging() && logFile.stop) {
        closeLogFile(false);
        return endLogCommand(0);
    }
    if (!logFile.fileGiven && (isLogging() || !logFile.start)) {
        reportUnchangedStatus();
        return endLogCommand(0);
    }

    if (!logFile.fileGiven) {
        if (!logFile.replace && !logFile.append)
            logFile.append = logFile.lastAppend;
    } else {
        logFile.lastAppend = 0;
    }

    char full[kPathnameBufSize];
    if (expandPathname(logFile.name, nullptr, full))
        copyPathname(full, logFile.name);

    if (!logFile.append && !logFile.replace && fileExists(logFile.name)) {
        switch (askAboutExistingLog()) {
        case ExistingLogChoice::Cancel:
            restoreNameFromSaved();
            return endLogCommand(2);
        case ExistingLogChoice::Append:
            logFile.append = 1;
            break;
        case ExistingLogChoice::Replace:
            logFile.replace = 1;
            break;
        }
    }
    return endLogCommand(openLogFile());
}
