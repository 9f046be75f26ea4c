#include "qel/qel_io.h"

#include <libtecla.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <string_view>
#include <stdio_ext.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"

// Until init_qel_io records them, the terminal facts are those of the
// process's own standard streams.
QelIo gQelIo = {!isatty(STDIN_FILENO), !isatty(STDOUT_FILENO), !isatty(STDERR_FILENO),
                false, false, false, true, true, true, true, false, 0, false};
InputStatus *gActiveInput = nullptr;
InputStatus gBaseInputInfo = {};

namespace {

constexpr const char *kAppName = "VORN";
constexpr size_t kInputBufferSize = size_t{1} << 16;

// Stand-in for the command-line buffer: one typed line, served byte by byte.
struct TypedLine {
    char text[1024];
    size_t length;
    size_t index;
    bool loaded;
};
TypedLine gTypedLine = {};

int standInNextCommandChar()
{
    if (!gTypedLine.loaded) {
        const char *prompt = getPromptString();
        if (getUserInput(prompt ? prompt : "", gTypedLine.text, sizeof gTypedLine.text, true) != 0)
            return -1;
        gTypedLine.length = std::strlen(gTypedLine.text);
        gTypedLine.index = 0;
        gTypedLine.loaded = true;
    }
    if (gTypedLine.index >= gTypedLine.length) {
        gTypedLine.loaded = false;
        return -1;
    }
    return static_cast<unsigned char>(gTypedLine.text[gTypedLine.index++]);
}

void restartPagingCount() { outInfo.linesSincePause = 1; }
void clearLastLineBlank() { outInfo.lastLineBlank = 0; }
FILE *noLog() { return nullptr; }
void plainExit(int status) { std::exit(status); }

const IoServiceHooks kDefaultHooks = {forceBlankLine, restartPagingCount, clearLastLineBlank, noLog,
                                      plainExit, standInNextCommandChar};
IoServiceHooks gHooks = kDefaultHooks;

TerminalByteFxn gTermFxn = nullptr;
bool gTypedInputEnded = false;  // standard input ended in a detached run
void *gTermContext = nullptr;
GetLine *gTecla = nullptr;

[[noreturn]] void leaveProgram(int status)
{
    gHooks.exitProgram(status);
    std::exit(status);  // a hook that returns must not let us continue
}

// Next byte typed at the terminal, or -1 at the end of input or on an
// interrupted read.
int readTerminalByte()
{
    if (gTermFxn)
        return gTermFxn(gTermContext);
    int c = std::getc(stdin);
    if (c == EOF) {
        if (std::ferror(stdin) && errno == EINTR) {
            std::clearerr(stdin);  // an interrupt is not the end of input
            checkTermination();    // but a termination signal ends the run
        }
        return -1;
    }
    return c;
}

void writeToLog(FILE *log, const char *text)
{
    if (log) {
        std::fputs(text, log);
        std::fflush(log);
    }
}

void reportOpenFailure(bool forRead, bool existed, const char *pathAsGiven)
{
    if (forRead && !existed)
        qel_errorMsg(102,
                     "Cannot find file \"%s\"\tMake sure the filename has been specified correctly "
                     "(including upper- vs. lower-case on operating systems where case is "
                     "important in filenames).",
                     pathAsGiven);
    else if (!forRead && existed)
        qel_errorMsg(132,
                     "File \"%s\" is already open for writing by another process (which might be "
                     "a different instance of %s).\tYou cannot use the file in the current "
                     "context until it has been closed elsewhere.",
                     pathAsGiven, kAppName);
    else
        qel_errorMsg(130,
                     "File \"%s\" could not be opened.\tEither the filename is not valid, or you "
                     "do not have sufficient access permissions.",
                     pathAsGiven);
}

uint8_t detectLineEnds(int (*next)(void *), void *ctx)
{
    for (int c = next(ctx); c != -1; c = next(ctx)) {
        if (c == '\n')
            return kLineEndLF;
        if (c == '\r') {
            // The NUL bytes of UTF-16 text stand between the CR and the LF.
            int d = next(ctx);
            while (d == 0)
                d = next(ctx);
            return d == '\n' ? kLineEndCRLF : kLineEndCR;
        }
    }
    return kLineEndUnknown;
}

// Input streams are read by one thread at a time, so the per-byte lock of
// getc buys nothing and costs a sixth of a large matrix's reading time.
int fileByte(void *fp)
{
    int c = getc_unlocked(static_cast<FILE *>(fp));
    return c == EOF ? -1 : c;
}

int docByte(void *status)
{
    auto *in = static_cast<InputStatus *>(status);
    if (in->docIndex >= in->docLength)
        return -1;
    return static_cast<unsigned char>(in->docText[in->docIndex++]);
}

}  // namespace

void recordTerminalFacts()
{
    auto isTerminal = [](FILE *f) { return f && isatty(fileno(f)); };
    const OutputTerminal &t = getOutputTerminal();
    gQelIo.stdinNotTerminal = !isTerminal(t.in);
    gQelIo.stdoutNotTerminal = !isTerminal(t.out);
    gQelIo.stderrNotTerminal = !isTerminal(t.err);
    gQelIo.parentPid = getppid();
}

void setIoServiceHooks(const IoServiceHooks &hooks)
{
    gHooks.forceBlankLine = hooks.forceBlankLine ? hooks.forceBlankLine : kDefaultHooks.forceBlankLine;
    gHooks.restartPagingCount =
        hooks.restartPagingCount ? hooks.restartPagingCount : kDefaultHooks.restartPagingCount;
    gHooks.clearLastLineBlank =
        hooks.clearLastLineBlank ? hooks.clearLastLineBlank : kDefaultHooks.clearLastLineBlank;
    gHooks.logStream = hooks.logStream ? hooks.logStream : kDefaultHooks.logStream;
    gHooks.exitProgram = hooks.exitProgram ? hooks.exitProgram : kDefaultHooks.exitProgram;
    gHooks.nextCommandChar = hooks.nextCommandChar ? hooks.nextCommandChar : kDefaultHooks.nextCommandChar;
}

const IoServiceHooks &ioServiceHooks() { return gHooks; }

void setTerminalInput(TerminalByteFxn next, void *context)
{
    gTermFxn = next;
    gTermContext = next ? context : nullptr;
    gTypedLine.loaded = false;
}

int memoryTerminalByte(void *memoryTerminal)
{
    auto *t = static_cast<MemoryTerminal *>(memoryTerminal);
    if (t->index >= t->length)
        return -1;
    return static_cast<unsigned char>(t->text[t->index++]);
}

// ---------------------------------------------------------------- files

StreamInfo *createStreamInfo(const char *directory, const char *fileName, FILE *fp, uint32_t flags)
{
    if (!directory)
        directory = "";
    if (!fileName)
        fileName = "";
    auto *s = static_cast<StreamInfo *>(allocBlock(sizeof(StreamInfo)));
    // A name or directory too long for a file specification would name another
    // file once cut, so the record is refused.
    const bool fits = std::strlen(directory) <= kMaxPathnameLen && std::strlen(fileName) <= kMaxFilenameLen;
    if (s && fits)
        initFileSpecFromNameAndDir(fileName, directory, &s->fileSpec);
    if (!s || !fits) {
        deallocBlock(s);
        if (fp)
            std::fclose(fp);
        return nullptr;
    }
    s->fp = fp;
    s->flags = flags;
    s->targetFd = -1;
    s->createdTarget = 0;
    s->appendBase = -1;
    s->tempPath[0] = '\0';
    s->targetPath[0] = '\0';
    s->keptLength = -1;
    s->closing = nullptr;
    return s;
}

StreamInfo *destroyStreamInfo(StreamInfo *stream)
{
    // The buffer outlives the file: every path closes the file first.
    if (stream) {
        std::free(stream->readBuffer);
        std::free(stream->closing);
    }
    deallocBlock(stream);
    return nullptr;
}

int lockStream(StreamInfo *stream, bool write)
{
    if (!stream || !stream->fp)
        return 1;
    // Open-file-description locks belong to this stream alone: closing some
    // other descriptor of the same file does not drop them, as it would a
    // classic process-owned record lock.
    struct flock fl = {};
    fl.l_type = write ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (fcntl(fileno(stream->fp), F_OFD_SETLK, &fl) != 0)
        return 1;
    stream->flags |= kStreamLocked;
    return 0;
}

int unlockStream(StreamInfo *stream)
{
    if (!stream || !stream->fp)
        return 1;
    struct flock fl = {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fileno(stream->fp), F_OFD_SETLK, &fl) != 0)
        return 1;
    stream->flags &= ~kStreamLocked;
    return 0;
}

namespace {

// openReplacement could not make a temporary file: write in place.
constexpr int kOpenInPlace = -1;
constexpr size_t kMaxOpenOutputs = 64;
// Longest part of the target's name kept in a temporary file's name, so that
// the temporary name stays within the file system's name limit.
constexpr size_t kTempStemLength = 200;

// Files open for writing, for the termination path; a watchdog thread reads
// the list too, hence the lock. Files beyond the table's size are simply not
// settled at an abrupt end.
std::mutex gOutputsMutex;
std::array<StreamInfo *, kMaxOpenOutputs> gOutputs{};

void settleAtExit() { settleOpenOutputFiles(); }

void registerOutput(StreamInfo *s)
{
    // A program that leaves through exit() with a file half written must
    // not leave its temporary file behind, nor lose the log.
    static const bool atExitInstalled = std::atexit(settleAtExit) == 0;
    (void)atExitInstalled;
    std::lock_guard<std::mutex> hold(gOutputsMutex);
    for (StreamInfo *&slot : gOutputs)
        if (!slot) {
            slot = s;
            return;
        }
}

void unregisterOutput(StreamInfo *s)
{
    std::lock_guard<std::mutex> hold(gOutputsMutex);
    for (StreamInfo *&slot : gOutputs)
        if (slot == s)
            slot = nullptr;
}

// Throws away what a stream wrote: nothing still buffered may reach the
// file, a replacement is removed, an append is cut back.
void abandonWrite(StreamInfo *s, FILE *fp)
{
    __fpurge(fp);
    if (s->tempPath[0])
        unlink(s->tempPath);
    else if (s->appendBase >= 0 && ftruncate(fileno(fp), s->appendBase) != 0)
        return;
    // A target made only to carry the lock never had content of its own.
    if (s->createdTarget && s->targetPath[0])
        unlink(s->targetPath);
}

bool replacesOldFile(const StreamInfo *s)
{
    struct stat st;
    return !s->createdTarget && stat(s->targetPath, &st) == 0;
}

void reportLockedElsewhere(const StreamInfo *s)
{
    qel_errorMsg(137,
                 "File \"%s\" has been locked by another process.\tYou can suppress "
                 "enforcement of locks by starting %s with the -f flag or typing the command "
                 "\"set flock=no;\" at the prompt, but be sure you know what you're doing.",
                 streamPathnameForDisplay(s, kFilenameBufSize).c_str(), kAppName);
}

bool takeWriteLock(int fd)
{
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Opens a file to be written from scratch as a temporary file beside it (see
// StreamInfo). With locking the target itself is held open and locked for
// the stream's life, made empty when absent, so that another process trying
// to write or read it meets the lock as it would with a file written in
// place. kOpenInPlace when the target is not a plain file (a device, a pipe)
// or no temporary file can be made next to it.
int openReplacement(const char *full, const char *pathAsGiven, uint32_t flags, bool existed,
                    StreamInfo **streamPtr)
{
    const bool quiet = flags & kStreamQuiet;
    const bool lock = flags & kStreamLock;
    struct stat st;
    if (existed && (stat(full, &st) != 0 || !S_ISREG(st.st_mode)))
        return kOpenInPlace;
    // A file that may not be written is not replaced behind its back.
    if (existed && access(full, W_OK) != 0) {
        if (!quiet)
            reportOpenFailure(false, existed, pathAsGiven);
        return kOpenFailed;
    }
    int targetFd = -1;
    bool created = false;
    if (lock) {
        targetFd = open(full, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (targetFd >= 0)
            created = true;
        else if (errno == EEXIST)
            targetFd = open(full, O_WRONLY | O_CLOEXEC);
        if (targetFd < 0) {
            if (!quiet)
                reportOpenFailure(false, existed, pathAsGiven);
            return kOpenFailed;
        }
    }
    auto dropTarget = [&] {
        if (targetFd >= 0)
            close(targetFd);
        if (created)
            unlink(full);
    };

    // Renaming onto a symbolic link would replace the link, not its file.
    char target[kPathnameBufSize];
    if (!realpath(full, target))
        copyPathname(full, target);
    char temp[kPathnameBufSize];
    const char *name = filenameInPathname(target);
    const std::string_view dir(target, static_cast<size_t>(name - target));
    const int n = std::snprintf(temp, sizeof temp, "%.*s.%.*s.XXXXXX", static_cast<int>(dir.size()), dir.data(),
                                static_cast<int>(std::min(std::strlen(name), kTempStemLength)), name);
    const int tempFd = n > 0 && static_cast<size_t>(n) < sizeof temp ? mkostemp(temp, O_CLOEXEC) : -1;
    if (tempFd < 0) {
        dropTarget();
        return kOpenInPlace;
    }
    // The new file gets the old one's permissions, or those a new file gets.
    mode_t mode;
    if (targetFd >= 0 && fstat(targetFd, &st) == 0) {
        mode = st.st_mode & 07777;
    } else if (existed && stat(target, &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(tempFd, mode);

    FILE *fp = fdopen(tempFd, (flags & kStreamBinary) ? "wb" : "w");
    if (!fp) {
        close(tempFd);
        unlink(temp);
        dropTarget();
        if (!quiet)
            reportOpenFailure(false, existed, pathAsGiven);
        return kOpenFailed;
    }
    char shown[kPathnameBufSize];
    copyPathname(full, shown);
    char *slash = lastDirChar(shown);
    *slash = '\0';
    StreamInfo *s = createStreamInfo(shown, slash + 1, fp, flags & ~kStreamLocked);
    if (!s) {
        unlink(temp);
        dropTarget();
        if (!quiet)
            reportOpenFailure(false, existed, pathAsGiven);
        return kOpenFailed;
    }
    if (lock) {
        if (!takeWriteLock(targetFd)) {
            reportLockedElsewhere(s);
            std::fclose(fp);
            unlink(temp);
            close(targetFd);  // never made by us if another holds its lock
            destroyStreamInfo(s);
            return kOpenRefused;
        }
        // The temporary file becomes the target: its lock then guards the
        // new file until the stream is closed.
        takeWriteLock(tempFd);
        s->flags |= kStreamLocked;
    }
    s->targetFd = targetFd;
    s->createdTarget = created;
    copyPathname(temp, s->tempPath);
    copyPathname(target, s->targetPath);
    registerOutput(s);
    if (gQelIo.lineBuffered)
        setStreamLineBuffering(s->fp, _IOLBF);
    *streamPtr = s;
    return kOpenOK;
}

}  // namespace

int openStream(const char *path, uint32_t flags, const char *directory, StreamInfo **streamPtr)
{
    const bool quiet = flags & kStreamQuiet;
    const bool forRead = flags & kStreamRead;
    const bool forWrite = flags & kStreamWrite;
    // Without a directory a relative name is taken against the running
    // command file's directory, or the current one at the terminal.
    char full[kPathnameBufSize];
    if (!path || !path[0] || !expandPathname(path, directory && directory[0] ? directory : nullptr, full)) {
        if (!quiet)
            reportOpenFailure(forRead, false, path ? path : "");
        return kOpenFailed;
    }
    if (!gQelIo.fileLocking)
        flags &= ~kStreamLock;

    char mode[4] = {};
    mode[0] = forRead ? 'r' : 'a';
    if (flags & kStreamBinary)
        mode[1] = 'b';

    const bool existed = fileExists(full);
    // A directory can be neither read nor written as a file; the messages
    // for other failures would blame a missing file or another process.
    if (struct stat st; existed && stat(full, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!quiet)
            qel_errorMsg(130, "File \"%s\" could not be opened.\tIt is a directory; give the name of a file.", path);
        return kOpenFailed;
    }
    if (forWrite && !(flags & kStreamNoReplaceQuery) && existed) {
        if (!userQuery(true, "OK to replace file \"%s\"?", filenameInPathname(full)))
            return kOpenDeclined;
    }

    closeStream(streamPtr);
    if (forWrite && !(flags & kStreamRecord)) {
        const int rc = openReplacement(full, path, flags, existed, streamPtr);
        if (rc != kOpenInPlace)
            return rc;
    }
    FILE *fp = std::fopen(full, mode);
    if (!fp) {
        if (!quiet)
            reportOpenFailure(forRead, existed, path);
        return kOpenFailed;
    }

    // The expanded path is absolute, so it has a last "/".
    char *slash = lastDirChar(full);
    *slash = '\0';
    StreamInfo *s = createStreamInfo(full, slash + 1, fp, flags & ~kStreamLocked);
    if (!s) {
        if (!quiet)
            reportOpenFailure(forRead, existed, path);
        return kOpenFailed;
    }

    // Only plain files are locked: a device or pipe (/dev/null, a terminal)
    // is shared by nature, and a lock on it would refuse a second program
    // writing there for no reason.
    struct stat opened;
    const bool plainFile = fstat(fileno(s->fp), &opened) == 0 && S_ISREG(opened.st_mode);
    if ((flags & kStreamLock) && plainFile && lockStream(s, !forRead) != 0) {
        reportLockedElsewhere(s);
        std::fclose(s->fp);
        destroyStreamInfo(s);
        return kOpenRefused;
    }

    if (forWrite && !plainFile) {
        // A device, pipe or terminal has no content to replace: it is
        // written as it stands, and a failure to empty it is only noted.
        if (ftruncate(fileno(s->fp), 0) != 0) {
            qel_printf("\nNote: attempt to truncate file %s failed; program execution continuing anyway.\n", path);
            forceBlankLine();
        } else {
            std::fseek(s->fp, 0, SEEK_SET);
        }
    } else if (forWrite) {
        // Appending to the old content while the caller believes it replaced
        // the file would silently corrupt it, so a plain file that cannot be
        // emptied is not opened at all.
        if (ftruncate(fileno(s->fp), 0) != 0 || std::fseek(s->fp, 0, SEEK_SET) != 0) {
            if (s->flags & kStreamLocked)
                unlockStream(s);
            std::fclose(s->fp);
            destroyStreamInfo(s);
            if (!quiet)
                reportOpenFailure(false, false, path);
            return kOpenFailed;
        }
    }
    if (flags & kStreamAppend) {
        // Taken after the lock, so that no other writer can still be growing it.
        struct stat st;
        if (fstat(fileno(s->fp), &st) == 0 && S_ISREG(st.st_mode))
            s->appendBase = st.st_size;
    }
    if (forRead) {
        // Files are read front to back, often megabytes of matrix or trees:
        // a larger buffer takes them in a sixteenth of the system calls. It
        // is given, since the C library sizes one it makes itself by the
        // file system's block; without one the default stays.
        s->readBuffer = static_cast<char *>(std::malloc(kInputBufferSize));
        if (s->readBuffer)
            std::setvbuf(s->fp, s->readBuffer, _IOFBF, kInputBufferSize);
    } else {
        registerOutput(s);
    }
    if (gQelIo.lineBuffered)
        setStreamLineBuffering(s->fp, _IOLBF);
    *streamPtr = s;
    return kOpenOK;
}

int openOutputStream(const char *path, bool replace, bool append, StreamInfo **streamPtr)
{
    uint32_t flags;
    if (append)
        flags = kStreamAppend | kStreamLock;
    else if (replace || inMenuMode() || inDefaultMode())
        flags = kStreamWrite | kStreamNoReplaceQuery | kStreamLock;
    else
        flags = kStreamWrite | kStreamLock;
    return openStream(path, flags, nullptr, streamPtr);
}

int closeStream(StreamInfo **streamPtr)
{
    if (!streamPtr || !*streamPtr)
        return 0;
    StreamInfo *s = *streamPtr;
    int result = 0;
    if (s->fp) {
        const bool hadError = std::ferror(s->fp) != 0;
        const int errorBefore = hadError ? errno : 0;
        // A stream in an error state may hold a partial text: abandon it.
        const int rc = finishStreamFile(s, !hadError);
        if (hadError || rc != 0) {
            showFileError(hadError ? errorBefore : (rc > 0 ? rc : 0),
                          streamPathnameForDisplay(s, kFilenameBufSize).c_str());
            result = 1;
        }
    }
    *streamPtr = destroyStreamInfo(s);
    return result;
}

void discardStream(StreamInfo **streamPtr)
{
    if (!streamPtr || !*streamPtr)
        return;
    finishStreamFile(*streamPtr, false);
    *streamPtr = destroyStreamInfo(*streamPtr);
}

int finishStreamFile(StreamInfo *s, bool keep)
{
    if (!s || !s->fp)
        return 0;
    unregisterOutput(s);
    FILE *fp = s->fp;
    int err = 0;
    if (keep) {
        errno = 0;
        if (std::fflush(fp) != 0 || std::ferror(fp))
            err = errno != 0 ? errno : -1;
        // The data must be on the disk before the name points at it, or a
        // crash could leave an empty file where the old one was. Where no
        // old file stands (or only the empty one made to carry the lock)
        // there is nothing to lose, and the wait is saved.
        else if (s->tempPath[0] && replacesOldFile(s) && fsync(fileno(fp)) != 0)
            err = errno;
        if (err == 0 && s->tempPath[0] && std::rename(s->tempPath, s->targetPath) != 0)
            err = errno;
        keep = err == 0;
    }
    if (!keep && !(s->flags & kStreamRecord))
        abandonWrite(s, fp);
    // Released only now: until the new file is in place, others must wait.
    if (s->flags & kStreamLocked)
        unlockStream(s);
    s->fp = nullptr;
    errno = 0;
    if (std::fclose(fp) != 0 && keep && err == 0)
        err = errno != 0 ? errno : -1;
    if (s->targetFd >= 0) {
        close(s->targetFd);
        s->targetFd = -1;
    }
    s->tempPath[0] = '\0';
    s->appendBase = -1;
    return err;
}

namespace {

bool keptSoFar(const StreamInfo *s)
{
    return std::atomic_ref<const int64_t>(s->keptLength).load() >= 0;
}

// The open outputs other than records that an abrupt end keeps up to their
// mark (kept) or abandons, as shown to the user.
std::vector<std::string> openOutputsThatAre(bool kept)
{
    std::vector<std::string> names;
    std::lock_guard<std::mutex> hold(gOutputsMutex);
    for (const StreamInfo *s : gOutputs)
        if (s && s->fp && !(s->flags & kStreamRecord) && keptSoFar(s) == kept)
            names.push_back(streamPathnameForDisplay(s, 255));
    return names;
}

}  // namespace

int markStreamKept(StreamInfo *s)
{
    if (!s || !s->fp)
        return EBADF;
    errno = 0;
    if (std::fflush(s->fp) != 0 || std::ferror(s->fp))
        return errno != 0 ? errno : -1;
    const off_t at = ftello(s->fp);
    if (at < 0)
        return errno != 0 ? errno : -1;
    // Read by the watchdog thread at a termination.
    std::atomic_ref<int64_t>(s->keptLength).store(at);
    return 0;
}

int setStreamClosing(StreamInfo *s, const char *text)
{
    if (!s || s->closing || !text || !*text)
        return 0;
    s->closing = strdup(text);
    return s->closing ? 0 : 1;
}

void settleOpenOutputFiles()
{
    for (;;) {
        StreamInfo *s = nullptr;
        {
            std::lock_guard<std::mutex> hold(gOutputsMutex);
            for (StreamInfo *candidate : gOutputs)
                if (candidate) {
                    s = candidate;
                    break;
                }
        }
        if (!s)
            return;
        bool keep = (s->flags & kStreamRecord) != 0;
        if (!keep && keptSoFar(s) && s->fp) {
            // What was written after the mark is an unfinished part: cut.
            __fpurge(s->fp);
            keep = ftruncate(fileno(s->fp), s->keptLength) == 0 && fseeko(s->fp, s->keptLength, SEEK_SET) == 0;
            if (keep && s->closing)
                keep = std::fputs(s->closing, s->fp) >= 0;
        }
        finishStreamFile(s, keep);
    }
}

void showWriteKeptSoFar(const char *shownName)
{
    qel_printf("\nWriting to file \"%s\" stopped; the file keeps what was finished before.\n", shownName);
}

std::vector<std::string> keptOutputFiles() { return openOutputsThatAre(true); }

void showWriteLeftAsItWas(const char *shownName)
{
    qel_printf("\nWriting to file \"%s\" interrupted; the file was left as it was.\n", shownName);
}

std::vector<std::string> unfinishedOutputFiles() { return openOutputsThatAre(false); }

namespace {

// The closing text written at `at` straight through the descriptor.
bool writeClosingAt(int fd, const char *closing, int64_t at)
{
    const size_t n = closing ? std::strlen(closing) : 0;
    for (size_t done = 0; done < n;) {
        const ssize_t k = pwrite(fd, closing + done, n - done, static_cast<off_t>(at + done));
        if (k <= 0)
            return false;
        done += static_cast<size_t>(k);
    }
    return true;
}

}  // namespace

void settleOpenOutputFilesFromWatchdog()
{
    std::lock_guard<std::mutex> hold(gOutputsMutex);
    for (StreamInfo *s : gOutputs) {
        if (!s || !s->fp)
            continue;
        const int fd = fileno(s->fp);
        if (s->flags & kStreamRecord) {
            flushIfFree(s->fp);
            continue;
        }
        // The main thread may be inside a write: only what reached the
        // file by the mark is kept, straight through the descriptor.
        const int64_t kept = std::atomic_ref<const int64_t>(s->keptLength).load();
        if (kept >= 0 && ftruncate(fd, kept) == 0 && writeClosingAt(fd, s->closing, kept) &&
            (!s->tempPath[0] || rename(s->tempPath, s->targetPath) == 0))
            continue;
        if (s->tempPath[0])
            unlink(s->tempPath);
        else if (s->appendBase >= 0 && ftruncate(fd, s->appendBase) != 0)
            continue;  // nothing more can be done about it
        if (s->createdTarget && s->targetPath[0])
            unlink(s->targetPath);
    }
}

int writeStreamData(StreamInfo *stream, const void *data, uint64_t n)
{
    if (!stream || !stream->fp)
        return EBADF;
    // Stretches of a few megabytes, each sent on to the disk as soon as it is
    // written, so that the disk works while the rest is copied and the sync
    // that precedes the replacement finds little left to do.
    constexpr uint64_t kStretch = uint64_t{4} << 20;
    const auto *bytes = static_cast<const char *>(data);
    const int fd = fileno(stream->fp);
    errno = 0;
    if (std::fflush(stream->fp) != 0)
        return errno != 0 ? errno : -1;
    off_t at = lseek(fd, 0, SEEK_CUR);
    for (uint64_t done = 0; done < n;) {
        const uint64_t len = std::min(kStretch, n - done);
        if (std::fwrite(bytes + done, 1, len, stream->fp) != len || std::fflush(stream->fp) != 0)
            return errno != 0 ? errno : -1;
#ifdef SYNC_FILE_RANGE_WRITE
        // Only a hint: a file system that cannot do it still syncs at close.
        if (stream->tempPath[0] && at >= 0)
            sync_file_range(fd, at, static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
#endif
        at += static_cast<off_t>(len);
        done += len;
    }
    return 0;
}

int flushStream(StreamInfo *stream)
{
    return (stream && stream->fp) ? std::fflush(stream->fp) : 0;
}

void flushIfFree(FILE *file)
{
    if (file && ftrylockfile(file) == 0) {
        fflush_unlocked(file);
        funlockfile(file);
    }
}

int setStreamLineBuffering(FILE *file, int mode)
{
    return file ? setvbuf(file, nullptr, mode, BUFSIZ) : 1;
}

const char *streamFilename(const StreamInfo *stream)
{
    return stream ? stream->fileSpec.filename : "(unknown)";
}

// `maxLength` is the size of the display text with its terminator, as for
// every display form of a path.
std::string streamPathnameForDisplay(const StreamInfo *stream, size_t maxLength)
{
    char buffer[kFilenameBufSize];
    if (!stream && gActiveInput)
        stream = gActiveInput->stream;
    if (!stream)
        return "(unknown)";
    const auto m = static_cast<uint32_t>(std::min<size_t>(maxLength, sizeof buffer));
    return makePathnameForDisplayFromFileSpec(&stream->fileSpec, buffer, m, false);
}

char *makeTempDirectory(const char *prefix, char *buffer)
{
    int n = std::snprintf(buffer, kPathBufSize, "/tmp/%sXXXXXXXX", prefix ? prefix : "");
    if (n < 0 || static_cast<size_t>(n) >= kPathBufSize)
        return nullptr;
    return mkdtemp(buffer);
}

// -------------------------------------------------------- input sources

void setActiveInput(InputStatus *status) { gActiveInput = status; }
InputStatus *getActiveInput() { return gActiveInput; }

FILE *getActiveInputStream()
{
    return (gActiveInput && gActiveInput->stream) ? gActiveInput->stream->fp : nullptr;
}

void setBatchInputMode(bool on)
{
    if (gActiveInput)
        gActiveInput->batch = on;
}

bool inBatchInputMode() { return gActiveInput && gActiveInput->batch; }
uint8_t getActiveCommentLevel() { return gActiveInput ? gActiveInput->commentLevel : 0; }

void setActiveCommentLevel(uint8_t level)
{
    if (gActiveInput)
        gActiveInput->commentLevel = level;
}

char *getActiveInputDirSpec(char *buffer)
{
    if (!gActiveInput || !gActiveInput->batch)
        return nullptr;
    const char *dir = nullptr;
    if (gActiveInput->dirText && gActiveInput->dirText[0])
        dir = gActiveInput->dirText;
    else if (gActiveInput->stream)
        dir = gActiveInput->stream->fileSpec.dirSpec;
    return dir ? copyPathname(dir, buffer) : nullptr;
}

bool activeInputErrorPosition(uint32_t *line1Based, const char **fileName)
{
    const InputStatus *in = gActiveInput;
    if (!inBatchInputMode() || gQelIo.suppressFilePosition || in->isDocument || !in->stream)
        return false;
    *line1Based = in->pos.lineNum + 1;
    *fileName = streamFilename(in->stream);
    return true;
}

namespace {

// The UTF-16 byte-order marks, little- and big-endian.
bool isUtf16Mark(const unsigned char *head)
{
    return (head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF);
}

// A byte-order mark, which some editors put at the head of a text file, is
// not part of the commands: the input starts after it. (The NUL bytes of
// UTF-16 text of ASCII characters are skipped as they are read.)
void skipByteOrderMark(InputStatus *status)
{
    static constexpr unsigned char kMark[3] = {0xEF, 0xBB, 0xBF};
    if (status->stream && status->stream->fp) {
        FILE *fp = status->stream->fp;
        unsigned char head[3] = {};
        const size_t n = std::fread(head, 1, sizeof head, fp);
        const size_t mark = n == sizeof head && std::memcmp(head, kMark, sizeof kMark) == 0 ? sizeof kMark
                            : n >= 2 && isUtf16Mark(head)                                   ? 2
                                                                                            : 0;
        std::clearerr(fp);
        std::fseek(fp, static_cast<long>(mark), SEEK_SET);
        status->pos.charCount = mark;
    } else if (status->isDocument && status->docLength >= sizeof kMark &&
               std::memcmp(status->docText, kMark, sizeof kMark) == 0) {
        status->docIndex = sizeof kMark;
        status->pos.charCount = sizeof kMark;
    }
}

}  // namespace

void initInputStatus(InputStatus *status)
{
    status->batch = 1;
    status->docIndex = 0;
    status->pos = status->wordStart = status->wordEnd = status->prevPos = InputPos{0, 0};
    if (status->stream && status->stream->fp) {
        FILE *fp = status->stream->fp;
        std::rewind(fp);
        status->lineEndKind = detectLineEnds(fileByte, fp);
        std::rewind(fp);
    } else if (status->isDocument) {
        // Documents are scanned like files, so a CR-only text keeps its lines.
        status->lineEndKind = detectLineEnds(docByte, status);
        status->docIndex = 0;
    }
    skipByteOrderMark(status);
    setActiveInput(status);
}

void initDocumentInput(InputStatus *status, const char *text, uint64_t length)
{
    *status = InputStatus{};
    status->docText = text;
    status->docLength = text ? length : 0;
    status->isDocument = 1;
    status->prevInput = gActiveInput;
    initInputStatus(status);
}

namespace {

// Whether a file that starts with a UTF-16 byte-order mark holds a character
// beyond ASCII: such text cannot be read byte by byte, where UTF-16 text of
// ASCII characters can (its NUL bytes skipped). The file is left at its head.
bool isUtf16BeyondAscii(FILE *fp)
{
    unsigned char buffer[65536];
    size_t n = std::fread(buffer, 1, sizeof buffer, fp);
    bool beyond = false;
    if (n >= 2 && isUtf16Mark(buffer)) {
        // Each character is two bytes, the high one first in big-endian text.
        const size_t high = buffer[0] == 0xFE ? 0 : 1;
        for (size_t at = 2;; n = std::fread(buffer, 1, sizeof buffer, fp), at = 0) {
            for (size_t i = at; i + 1 < n && !beyond; i += 2)
                beyond = buffer[i + high] != 0 || buffer[i + 1 - high] >= 0x80;
            if (beyond || n < sizeof buffer)
                break;
        }
    }
    std::clearerr(fp);
    std::rewind(fp);
    return beyond;
}

}  // namespace

int refuseUnreadableText(const StreamInfo *stream)
{
    if (!stream || !stream->fp || !isUtf16BeyondAscii(stream->fp))
        return 0;
    return qel_errorMsg(0, "File \"%s\" is UTF-16 text holding characters beyond ASCII, which cannot be read.\tSave "
                           "it as UTF-8 (or plain ASCII) text and try again.",
                        streamFilename(stream)),
           1;
}

int openInputFile(const char *path, uint32_t flags, const char *directory, InputStatus *status)
{
    *status = InputStatus{};
    int rc = openStream(path, flags | kStreamRead | kStreamBinary, directory, &status->stream);
    if (rc != kOpenOK)
        return rc;
    if (refuseUnreadableText(status->stream) != 0) {
        closeStream(&status->stream);
        return kOpenFailed;
    }
    status->prevInput = gActiveInput;
    initInputStatus(status);
    return kOpenOK;
}

int closeInputFile(InputStatus *status)
{
    int rc = status->stream ? closeStream(&status->stream) : 0;
    if (gActiveInput == status)
        setActiveInput(status->prevInput);
    return rc;
}

namespace {

constexpr int kSkippedByte = -2;

// What a source's byte c becomes for the reader: the character (line
// ends made "\n", the position counted), or kSkippedByte for a byte that is
// not passed on (the CR of a CRLF pair, a control character). NUL is a
// control character like the others: skipping it reads a UTF-16 text of
// plain ASCII (the usual NEXUS file saved by some editors) as what it says.
inline int acceptByte(InputStatus *in, int c)
{
    if (c == '\r') {
        if (in->lineEndKind == kLineEndCRLF)
            return kSkippedByte;
        in->pos.charCount++;
        if (in->lineEndKind == kLineEndCR || in->lineEndKind == kLineEndLF) {
            in->pos.lineNum++;
            return '\n';
        }
        return kSkippedByte;
    }
    in->pos.charCount++;
    if (c == '\n') {
        in->pos.lineNum++;
        // Each line of a command file is a point where a termination
        // signal is acted on, however quick the commands.
        checkTermination();
        return c;
    }
    if ((c < 32 && c != '\t') || c == 127)
        return kSkippedByte;
    return c;
}

// Appends what readNextChar makes of the raw bytes [b, e) of the input
// to out. Runs of ordinary bytes (tabs and bytes 32 and up but 127) are
// copied whole; the rest go one by one through acceptByte.
void acceptBytes(InputStatus *in, const char *b, const char *e, std::string &out)
{
    auto ordinary = [](unsigned char c) { return (c >= 32 && c != 127) || c == '\t'; };
    // Where readNextChar would have started for the next character: after
    // the last one passed on, before any bytes skipped since.
    InputPos entry = in->pos;
    while (b < e) {
        const char *run = b;
        while (b < e && ordinary(static_cast<unsigned char>(*b)))
            ++b;
        if (b > run) {
            const auto n = static_cast<uint32_t>(b - run);
            out.append(run, n);
            in->prevPos = n == 1 ? entry : InputPos{in->pos.charCount + n - 1, in->pos.lineNum};
            in->pos.charCount += n;
            entry = in->pos;
        }
        if (b == e)
            break;
        const int c = acceptByte(in, static_cast<unsigned char>(*b++));
        if (c != kSkippedByte) {
            in->prevPos = entry;
            entry = in->pos;
            out.push_back(static_cast<char>(c));
        }
    }
}

}  // namespace

int readNextChar()
{
    InputStatus *in = gActiveInput;
    if (!in)
        return -1;
    in->prevPos = in->pos;
    for (;;) {
        int c;
        if (in->batch) {
            if (in->isDocument)
                c = docByte(in);
            else if (in->stream && in->stream->fp)
                c = fileByte(in->stream->fp);
            else
                c = -1;
        } else {
            if (gQelIo.detachedMode && !gQelIo.stdinNotTerminal)
                leaveProgram(16);
            c = gHooks.nextCommandChar();
        }
        // Every source yields bytes 0..255: a byte 255 is a character like
        // any other, and only the source's own end gives -1.
        if (c < 0)
            return -1;
        c = acceptByte(in, c);
        if (c != kSkippedByte)
            return c;
    }
}

bool readNextCharsThrough(int stop, std::string &out)
{
    InputStatus *in = gActiveInput;
    if (!in)
        return false;
    // In a text whose lines end in CR alone, the "\n" the reader gives is a
    // CR in the source.
    const int raw = stop == '\n' && in->lineEndKind == kLineEndCR ? '\r' : stop;
    if (in->batch && in->isDocument) {
        const char *b = in->docText + in->docIndex;
        const char *e = in->docText + in->docLength;
        const char *found = static_cast<const char *>(std::memchr(b, raw, static_cast<size_t>(e - b)));
        const char *through = found ? found + 1 : e;
        in->docIndex += static_cast<uint64_t>(through - b);
        acceptBytes(in, b, through, out);
        return found != nullptr;
    }
    if (in->batch && in->stream && in->stream->fp) {
        // getdelim takes the bytes from the stream's buffer in bulk.
        char *line = nullptr;
        size_t capacity = 0;
        const ssize_t n = getdelim(&line, &capacity, raw, in->stream->fp);
        const bool found = n > 0 && line[n - 1] == static_cast<char>(raw);
        if (n > 0)
            acceptBytes(in, line, line + n, out);
        std::free(line);
        return found;
    }
    for (;;) {
        const int c = readNextChar();
        if (c < 0)
            return false;
        out.push_back(static_cast<char>(c));
        if (c == stop)
            return true;
    }
}

int readNextLine(size_t size, char *buffer)
{
    if (!gActiveInput)
        return -1;
    gActiveInput->wordStart = gActiveInput->pos;
    size_t n = 0;
    bool tooLong = size < 2;
    bool readAny = false;
    int c;
    while ((c = readNextChar()) != -1) {
        readAny = true;
        if (c == '\n')
            break;
        if (tooLong)
            continue;
        buffer[n++] = static_cast<char>(c);
        tooLong = n >= size - 1;  // full: the rest of the line is dropped
    }
    gActiveInput->wordEnd = gActiveInput->pos;
    if (size == 0)
        return readAny ? 1 : -1;
    while (n > 0 && (buffer[n - 1] == ' ' || buffer[n - 1] == '\t'))
        --n;
    if (size < 2)
        n = 0;
    buffer[n] = '\0';
    if (!readAny)
        return -1;
    return tooLong ? 1 : 0;
}

uint64_t getInputDocSize(const InputStatus *status)
{
    if (status->stream && status->stream->fp) {
        struct stat st;
        if (fstat(fileno(status->stream->fp), &st) == 0)
            return static_cast<uint64_t>(st.st_size);
        return 0;
    }
    return status->docLength;
}

uint64_t getCurrentInputPos(const InputStatus *status)
{
    if (status->stream && status->stream->fp) {
        long off = std::ftell(status->stream->fp);
        return off < 0 ? 0 : static_cast<uint64_t>(off);
    }
    return status->docIndex;
}

void currentInputInfo(InputStatus *copy)
{
    if (!gActiveInput) {
        *copy = InputStatus{};
        return;
    }
    *copy = *gActiveInput;
    if (copy->stream && copy->stream->fp)
        copy->pos.charCount = static_cast<uint32_t>(getCurrentInputPos(copy));
}

void resetCurrentInput(const InputStatus *copy)
{
    if (!gActiveInput)
        return;
    *gActiveInput = *copy;
    if (gActiveInput->stream && gActiveInput->stream->fp)
        std::fseek(gActiveInput->stream->fp, static_cast<long>(copy->pos.charCount), SEEK_SET);
}

void rewindCurrentInput()
{
    if (!gActiveInput)
        return;
    gActiveInput->pos = gActiveInput->prevPos = InputPos{0, 0};
    if (gActiveInput->stream && gActiveInput->stream->fp) {
        std::rewind(gActiveInput->stream->fp);
        skipByteOrderMark(gActiveInput);
    }
}

// -------------------------------------------------------------- terminal

GetLine *initTecla()
{
    if (gTecla)
        return gTecla;
    gTecla = new_GetLine(1024, 4096);
    if (!gTecla)
        return nullptr;
    // The interrupt ends the line being edited instead of reaching the
    // program's handler in the middle of the editor's terminal handling.
    // So do the termination signals, which the editor would otherwise
    // deliver with their default action, killing the program on the spot;
    // readWithEditor passes them on.
    bool trapped = true;
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        trapped = trapped && gl_trap_signal(gTecla, signo, GLS_DONT_FORWARD, GLS_ABORT, EINTR) == 0;
    if (!trapped)
        gTecla = del_GetLine(gTecla);
    return gTecla;
}

GetLine *shutdownTecla()
{
    if (gTecla)
        gTecla = del_GetLine(gTecla);
    return nullptr;
}

void showAnsweredQuestion(const char *question, const char *answer)
{
    // Written in one call as a prompt, so that every line of it, a wrapped
    // question included, is shown whatever the monitoring and copied to
    // standard error when standard output goes to a file: a question the
    // program answers is one the user needs to see. The answer ends the
    // line, so nothing is left waiting for more.
    const bool was = promptInProgress();
    setPromptInProgress(true);
    qel_printf("%s%s", question, answer);
    setPromptInProgress(was);
}

namespace {

// A question is written as an unfinished line: the answer is typed after
// it. The output engine holds an unfinished line back, so it is written out
// as a prompt and the terminal flushed before the answer is read; otherwise
// the question would appear only after it had been answered.
void showPrompt(const char *prompt)
{
    const bool was = promptInProgress();
    setPromptInProgress(true);
    qel_printf("%s", prompt);
    setPromptInProgress(was);
    if (FILE *out = getOutputTerminal().out)
        std::fflush(out);
}

void setLoneNewline(char *buffer, size_t size)
{
    if (size >= 2) {
        buffer[0] = '\n';
        buffer[1] = '\0';
    } else if (size == 1) {
        buffer[0] = '\0';
    }
}

// A terminal that cannot move the cursor (TERM=dumb: Emacs shell buffers,
// IDE consoles), where the editor shows its prompt only with the line typed.
bool dumbTerminal()
{
    const char *term = std::getenv("TERM");
    return term && std::strcmp(term, "dumb") == 0;
}

// Reads with the line editor. False when interrupted.
bool readWithEditor(const char *prompt, char *buffer, size_t size, FILE *log)
{
    const bool dumb = dumbTerminal();
    for (;;) {
        // The editor writes the prompt itself, except on a dumb terminal,
        // where it is written here first; what the program wrote before it
        // must be on the screen first.
        if (dumb)
            showPrompt(prompt);
        if (FILE *out = getOutputTerminal().out)
            std::fflush(out);
        const char *line = gl_get_line(gTecla, dumb ? "" : prompt, nullptr, -1);
        if (!line) {
            if (gl_return_status(gTecla) == GLR_SIGNAL) {
                const int signo = gl_last_signal(gTecla);
                if (signo == SIGTERM || signo == SIGHUP) {
                    requestTermination(signo);
                    checkTermination();
                }
                setAbortedStatus(1);
                return false;
            }
            continue;  // end of input: ask again
        }
        size_t n = std::strcspn(line, "\n");
        if (n == 0)
            continue;
        if (n > size - 2)
            n = size - 2;
        std::memcpy(buffer, line, n);
        buffer[n] = '\n';
        buffer[n + 1] = '\0';
        gHooks.clearLastLineBlank();
        if (!dumb)  // written with the output already
            writeToLog(log, prompt);
        return true;
    }
}

}  // namespace

bool typedInputEnded() { return gTypedInputEnded; }

int getUserInput(const char *prompt, char *buffer, size_t size, bool edit)
{
    if (!buffer || size < 3) {
        if (buffer)
            setLoneNewline(buffer, size);
        return 1;
    }
    checkTermination();
    FILE *log = gHooks.logStream();
    gHooks.restartPagingCount();
    qel_printf("\n");

    // A line echoed to the output is in the log already, after its prompt:
    // it is written there once.
    bool echoed = false;
    if (gQelIo.stdinNotTerminal) {
        // A command line is echoed after its prompt through the output,
        // which the log copies; a question is written with its answer once
        // that has been read.
        if (edit)
            qel_printf("%s", prompt);
        size_t n = 0;
        int c = readTerminalByte();
        if (c == -1) {
            if (!edit)
                qel_printf("%s", prompt);
            // A detached run reads no answers; its redirected input ending
            // is the end of its commands, which the caller settles.
            if (gQelIo.detachedMode && !getAbortedStatus())
                gTypedInputEnded = true;
            else
                checkStdInputError(buffer, nullptr, 0);
            setLoneNewline(buffer, size);
            return 1;
        }
        // Keep room for the newline; the rest of an over-long line is dropped
        // so that it is not taken as the answer to the next question.
        for (; c != -1 && c != '\n'; c = readTerminalByte())
            if (n < size - 2)
                buffer[n++] = static_cast<char>(c);
        buffer[n++] = '\n';
        buffer[n] = '\0';
        if (edit)
            qel_printf("%s", buffer);
        else
            showAnsweredQuestion(prompt, buffer);
        echoed = true;
    } else if (!gTermFxn && !gQelIo.stdoutNotTerminal && edit && initTecla()) {
        if (!readWithEditor(prompt, buffer, size, log)) {
            gHooks.forceBlankLine();
            setLoneNewline(buffer, size);
            return 1;
        }
    } else {
        for (;;) {
            showPrompt(prompt);
            size_t n = 0;
            int c = readTerminalByte();
            if (c == -1 || getAbortedStatus()) {
                setLoneNewline(buffer, size);
                return 1;
            }
            bool tooLong = false;
            for (; c != -1 && c != '\n'; c = readTerminalByte()) {
                if (n < size - 2) {
                    buffer[n++] = static_cast<char>(c);
                } else if (!tooLong) {
                    tooLong = true;
                    qel_printf("\nLine too long.\n");
                }
            }
            buffer[n++] = '\n';
            buffer[n] = '\0';
            echoed = gQelIo.stdoutNotTerminal;
            if (echoed) {
                // The prompt went to the file whatever the monitoring, so
                // its answer does too; it is not copied to standard error,
                // where the terminal has echoed it as it was typed.
                const bool monitoring = setOutputMonitoring(true);
                qel_printf("%s", buffer);
                setOutputMonitoring(monitoring);
            }
            if (edit && n == 1) {
                if (!echoed)
                    writeToLog(log, "\n");
                continue;
            }
            break;
        }
    }

    gHooks.forceBlankLine();
    if (getAbortedStatus()) {
        setLoneNewline(buffer, size);
        return 1;
    }
    if (!echoed)
        writeToLog(log, buffer);
    return 0;
}

void checkStdInputError(char *answer, int *counter, int limit)
{
    const bool parentAlive = gQelIo.parentPid == 0 || getppid() == gQelIo.parentPid;
    if (parentAlive && !gQelIo.stdinNotTerminal && counter) {
        if ((*counter)++ < limit) {
            if (answer) {
                answer[0] = '\n';
                answer[1] = '\0';
            }
            return;
        }
    }
    if (gQelIo.detachedMode)
        leaveProgram(1);
    qel_printf(" \n");
    qel_errorMsg(161,
                 "Expected input not found or invalid. If you are not running interactively you "
                 "should specify the -n (-Noninteractive) flag at program startup.");
    leaveProgram(1);
}
