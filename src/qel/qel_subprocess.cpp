#include "qel/qel_subprocess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"

namespace {

constexpr size_t kLineSize = 256;  // at most 255 characters a read
constexpr long kPollNanos = 20'000'000;
constexpr size_t kLabelLength = 255;

int pipeFailure()
{
    qel_errorMsg(0, "\nAttempt to create pipe failed.\tThis is an unexpected error; please report it to "
                    "the VORN maintainers.");
    return kRunNotStarted;
}

// Between fork and exec only async-signal-safe calls are made: the child may
// have been forked while another thread held a lock of the C library.
[[noreturn]] void runChild(int readFd, int writeFd, const char *command)
{
    setpgid(0, 0);
    if (dup2(writeFd, STDOUT_FILENO) < 0 || dup2(writeFd, STDERR_FILENO) < 0)
        errorSysLog("my_popen: dup of write side of pipe failed");
    close(readFd);
    close(writeFd);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    errorSysLog("my_popen: execlp(\"%s\") failed!\n", command);
    _exit(127);
}

void reapChild(pid_t pid, int *status)
{
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

int execCmdProcThread(void *arg) { return execCmdProc(static_cast<RunRequest *>(arg)); }

}  // namespace

std::string shellQuote(const char *text)
{
    std::string quoted = "'";
    for (const char *p = text; *p; ++p) {
        if (*p == '\'')
            quoted += "'\\''";
        else
            quoted += *p;
    }
    quoted += '\'';
    return quoted;
}

uint32_t exitCodeOfWaitStatus(int waitStatus)
{
    if (WIFSIGNALED(waitStatus))
        return 128 + static_cast<uint32_t>(WTERMSIG(waitStatus));
    return static_cast<uint32_t>(WEXITSTATUS(waitStatus));
}

void reportExitCode(const char *label, uint32_t exitCode)
{
    if (exitCode != 0)
        qel_printf("\nExternal command starting with '%s' terminated with error code %d\n", label,
                   static_cast<int>(exitCode));
}

int runWithSystem(const char *command)
{
    flushOutputFiles();
    std::fflush(stdout);
    const int status = std::system(command);
    if (status == -1)
        return -1;
    return static_cast<int>(exitCodeOfWaitStatus(status));
}

int execCmdProc(RunRequest *request)
{
    int fds[2];
    if (pipe(fds) != 0)
        return pipeFailure();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        errorSysLog("my_popen: fork() failure!\n");
        return pipeFailure();
    }
    if (pid == 0)
        runChild(fds[0], fds[1], request->command);

    // The parent may be faster than the child's own setpgid; doing it on
    // both sides makes the group exist before anyone signals it.
    setpgid(pid, pid);
    // A termination signal that ends the program ends the command as well.
    addTerminationChildGroup(pid);
    close(fds[1]);
    FILE *in = fdopen(fds[0], "r");
    if (!in) {
        close(fds[0]);
        kill(-pid, SIGKILL);
        int status;
        reapChild(pid, &status);
        removeTerminationChildGroup(pid);
        return pipeFailure();
    }
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);

    char line[kLineSize];
    int result = kRunDone;
    for (;;) {
        errno = 0;
        if (std::fgets(line, sizeof line, in)) {
            myputs(line);
            if (request->secondStream)
                std::fputs(line, request->secondStream);
            continue;
        }
        if (errno != EAGAIN)
            break;
        clearerr(in);
        if (getAbortedStatus() && confirmAbortRequest()) {
            kill(-pid, SIGKILL);
            result = kRunAborted;
            break;
        }
        const timespec pause{0, kPollNanos};
        nanosleep(&pause, nullptr);
    }
    std::fclose(in);
    int status = 0;
    reapChild(pid, &status);
    removeTerminationChildGroup(pid);
    if (result == kRunDone)
        request->exitCode = (static_cast<uint32_t>(status) >> 8) & 0xFF;
    // A child killed by a signal has no exit code of its own; it failed.
    if (result == kRunDone && WIFSIGNALED(status))
        request->exitCode = exitCodeOfWaitStatus(status);
    return result;
}

int runCommandInNewShell(const char *commandLine, const char *label, bool changeToCurrentDir,
                         bool showStdout, const char *outputPrefix, uint32_t *exitCode)
{
    if (exitCode)
        *exitCode = 0;
    flushOutputFiles();
    std::string text;
    text.reserve(1024);
    if (changeToCurrentDir) {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd))
            return qel_errorMsg(0, "The current directory cannot be read."), kRunNotStarted;
        text += "cd -- " + shellQuote(cwd) + " && ";
    }
    // Braced, so that the redirections cover every command of a list, not
    // only its last one; the newline ends a final command before the brace.
    text += "{ ";
    text += commandLine;
    text += showStdout ? "\n} 2>&1" : "\n} 2>&1 >/dev/null";

    std::string firstWord;
    if (!label) {
        firstWord.assign(commandLine, std::strcspn(commandLine, " \t"));
        if (firstWord.size() > kLabelLength)
            firstWord.resize(kLabelLength);
        label = firstWord.c_str();
    }

    RunRequest request{text.c_str(), nullptr, 0, showStdout};
    const bool wasBusy = inBusyMode();
    setBusyMode(true);
    const char *previousPrefix = setOutputPrefix(outputPrefix);
    const int result = runOutputThread(execCmdProcThread, &request);
    setOutputPrefix(previousPrefix);
    if (result == kRunAborted)
        qel_printf("\n\nExternal command starting with '%s' aborted by user.\n", label);
    else if (result == kRunDone)
        reportExitCode(label, request.exitCode);
    setBusyMode(wasBusy);
    if (exitCode)
        *exitCode = request.exitCode;
    return result;
}

int removeDirectory(const char *path)
{
    const std::string command = "rm -r -- " + shellQuote(path);
    return runCommandInNewShell(command.c_str(), nullptr, false, false, nullptr, nullptr);
}

int catFileToDisplay(const char *fileName, const char *directory, const char *outputPrefix,
                     bool showHeader)
{
    std::string command;
    if (directory)
        command = "cd -- " + shellQuote(directory) + " && ";
    command += "cat -- " + shellQuote(fileName);
    if (showHeader) {
        qel_printf("\nFile '%s'", fileName);
        if (directory)
            qel_printf(" (%s)", directory);
        qel_printf(":\n");
    }
    return runCommandInNewShell(command.c_str(), nullptr, false, true, outputPrefix, nullptr);
}

namespace {

bool isExecutableFile(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string findProgram(const std::string &word, const std::string &currentDir)
{
    if (word.empty())
        return {};
    if (word.find('/') != std::string::npos) {
        const std::string path = word[0] == '/' ? word : currentDir + "/" + word;
        return isExecutableFile(path) ? path : std::string();
    }
    const char *env = std::getenv("PATH");
    const std::string dirs = env ? env : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0;;) {
        const size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // An empty entry stands for the current directory, as for the shell.
        const std::string path = (dir.empty() ? currentDir : dir) + "/" + word;
        if (isExecutableFile(path))
            return path;
        if (end == std::string::npos)
            return {};
        start = end + 1;
    }
}

std::string resolveProgramCommand(const char *text, const std::vector<std::string> &alternatives,
                                  const char *command, const char *option)
{
    std::string t = text;
    t.erase(0, t.find_first_not_of(" \t"));
    const size_t end = t.find_first_of(" \t");
    std::string word = t.substr(0, end);
    const std::string rest = end == std::string::npos ? std::string() : t.substr(end);
    std::string cwd = getCurrentDirSpec();
    if (cwd.empty())
        cwd = ".";
    std::vector<std::string> tried{word};
    std::string found = findProgram(word, cwd);
    for (size_t i = 0; found.empty() && i < alternatives.size(); ++i) {
        tried.push_back(alternatives[i]);
        if (!(found = findProgram(alternatives[i], cwd)).empty())
            word = alternatives[i];
    }
    if (found.empty()) {
        std::string list;
        for (const std::string &w : tried)
            list += (list.empty() ? "\"" : ", \"") + w + "\"";
        qel_errorMsg(0, "The program for %s was not found (tried %s).\tName the program with the '%s' option, e.g. "
                        "\"%s %s=/path/to/program;\".",
                     command, list.c_str(), option, command, option);
        return {};
    }
    if (word.find('/') != std::string::npos)
        return shellQuote(found.c_str()) + rest;
    return word + rest;
}

ScratchDirectory::ScratchDirectory(const char *prefix)
{
    char buffer[kPathnameBufSize];
    if (makeTempDirectory(prefix, buffer) != nullptr) {
        path_ = buffer;
        addTerminationScratch(path_);
    } else
        qel_errorMsg(0, "Could not create a temporary directory in /tmp (%s).", std::strerror(errno));
}

ScratchDirectory::~ScratchDirectory()
{
    if (path_.empty())
        return;
    // Named until it is gone: a termination while it is being removed
    // removes the rest.
    if (!keep_)
        removeDirectory(path_.c_str());
    removeTerminationScratch(path_);
}

void ScratchDirectory::keep(bool on)
{
    // A directory the user asked to keep is kept at a termination too.
    if (path_.empty() || on == keep_)
        return;
    keep_ = on;
    if (on)
        removeTerminationScratch(path_);
    else
        addTerminationScratch(path_);
}
