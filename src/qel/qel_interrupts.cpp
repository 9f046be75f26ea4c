#include "qel/qel_interrupts.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <sys/wait.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"

std::atomic<int32_t> gAborted_{0};

namespace {

// The abort-confirmed mark is cleared from the signal handler, so it is a
// lock-free atomic like the flag itself.
std::atomic<bool> gAbortConfirmed{false};
static_assert(std::atomic<bool>::is_always_lock_free);
// Set with a negative flag (an operation that could not go on), kept after
// the flag is cleared, until the command loop takes it.
std::atomic<bool> gFailureStop{false};

struct UserActivityFlags {
    bool quitInProgress;
    bool menuMode;
    bool showingAlert;
    int32_t longOperationStatus;
    int32_t busyCounter;
    const char *promptText;
};
UserActivityFlags uaflags = {false, false, false, 0, 0, nullptr};

bool gRunningAsMaster = true;
SignalHandlerFxn gResizeHandler = handleResizeSignal;

int allowQuit() { return 0; }
void plainExit(int code) { std::exit(code); }
QuitHooks gQuitHooks = {allowQuit, plainExit};

const char *defaultAppPrompt() { return "vorn> "; }
const char *(*gAppPromptFxn)() = defaultAppPrompt;

// The alarm callback and interval are read in signal context.
std::atomic<TimerFxn> gTimerCallback{nullptr};
std::atomic<unsigned> gTimerSeconds{0};
struct sigaction gAlarmAction;
struct sigaction gIntAction;
struct sigaction gWinchAction;
struct sigaction gTermAction;
struct sigaction gHupAction;

// The first termination signal received; later ones change nothing.
std::atomic<int> gTerminationSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
pthread_t gMainThread{};
bool gMainThreadKnown = false;
// Posted from the handler (sem_post is safe there) to wake the watchdog.
sem_t gWatchdogWake;
std::atomic<pid_t> gWatchdogPid{0};  // the process whose watchdog runs; a fork has none
std::atomic<unsigned> gGraceMillis{5000};

bool onMainThread() { return gMainThreadKnown && pthread_equal(pthread_self(), gMainThread); }

std::atomic<bool> gWatchdogReady{false};

// What a termination ends besides the program itself.
constexpr size_t kMaxChildGroups = 16;
std::array<std::atomic<pid_t>, kMaxChildGroups> gChildGroups{};
std::mutex gScratchMutex;
std::vector<std::string> gScratchPaths;
// The finishers of the work running, innermost last (main thread only).
std::vector<std::pair<void (*)(void *), void *>> gFinishers;

// Kills the outside programs started and removes their directories; the
// groups are gone before their directories are removed, so that nothing
// writes into a directory being removed.
void endChildrenAndScratch()
{
    for (std::atomic<pid_t> &slot : gChildGroups)
        if (const pid_t group = slot.exchange(0); group > 0) {
            kill(-group, SIGKILL);
            for (int tries = 0; tries < 200; ++tries) {
                waitpid(group, nullptr, WNOHANG);
                if (kill(-group, 0) != 0 && errno == ESRCH)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    std::vector<std::string> paths;
    {
        std::lock_guard<std::mutex> hold(gScratchMutex);
        paths.swap(gScratchPaths);
    }
    for (const std::string &path : paths) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

const char *terminationSignalName(int signo)
{
    return signo == SIGHUP ? "SIGHUP (hangup)" : signo == SIGTERM ? "SIGTERM (termination request)" : "a signal";
}

void watchdog()
{
    gWatchdogReady.store(true);
    while (sem_wait(&gWatchdogWake) != 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(gGraceMillis.load()));
    // The main thread has not reached a polling point: leave without it,
    // saying so (straight to the descriptor: the output engine may be in
    // the main thread's hands) with the files left as they were.
    const std::vector<std::string> unfinished = unfinishedOutputFiles();
    const std::vector<std::string> kept = keptOutputFiles();
    settleOpenOutputFilesFromWatchdog();
    endChildrenAndScratch();
    flushIfFree(stdout);
    flushIfFree(stderr);
    const int signo = gTerminationSignal.load();
    std::string text = std::string("\nRun stopped by ") + terminationSignalName(signo) + ".\n";
    for (const std::string &name : unfinished)
        text += "\nWriting to file \"" + name + "\" interrupted; the file was left as it was.\n";
    for (const std::string &name : kept)
        text += "\nWriting to file \"" + name + "\" stopped; the file keeps what was finished before.\n";
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    _exit(128 + signo);
}

}  // namespace

HelperThreadSignalMask::HelperThreadSignalMask()
{
    sigset_t blocked;
    sigfillset(&blocked);
    // Faults are delivered to the thread that caused them and cannot wait.
    for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&blocked, signo);
    changed_ = pthread_sigmask(SIG_BLOCK, &blocked, &saved_) == 0;
}

HelperThreadSignalMask::~HelperThreadSignalMask()
{
    if (changed_)
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

void startTerminationWatchdog()
{
    const pid_t self = getpid();
    if (gWatchdogPid == self)
        return;
    if (sem_init(&gWatchdogWake, 0, 0) != 0)
        return;
    try {
        gWatchdogReady.store(false);
        {
            // The handler posts the semaphore; the watchdog never runs it.
            const HelperThreadSignalMask mask;
            std::thread(watchdog).detach();
        }
        // Wait until the thread is idle: a fork while it is still being set
        // up could copy a lock it holds into the child.
        while (!gWatchdogReady.load())
            std::this_thread::yield();
        gWatchdogPid = self;
    } catch (const std::system_error &) {
        // Without the watchdog the polling points still act.
    }
}

namespace {

[[noreturn]] void terminateNow(int signo)
{
    // A line being assembled (a diagram's last row) is finished, not lost.
    if (getCurLineLength() > 0)
        putNewline();
    // The output and the log say why the run ended and which files keep
    // their old contents, as an interrupted write says, whatever a
    // simulation loop had turned off.
    setOutputMonitoring(true);
    endChildrenAndScratch();
    // What was finished and is still held in memory is written out first,
    // by the innermost work first: a command run inside a simulation loop
    // finishes its part before the loop writes the row it belongs to.
    while (!gFinishers.empty()) {
        const auto [finish, argument] = gFinishers.back();
        gFinishers.pop_back();
        finish(argument);
    }
    qel_printf("\nRun stopped by %s.\n", terminationSignalName(signo));
    for (const std::string &name : unfinishedOutputFiles())
        showWriteLeftAsItWas(name.c_str());
    for (const std::string &name : keptOutputFiles())
        showWriteKeptSoFar(name.c_str());
    flushOutputFiles();
    settleOpenOutputFiles();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(128 + signo);
}

int findAnswer(const char *allowed, int answer)
{
    if (answer == 0)
        return -1;
    const int wanted = std::toupper(static_cast<unsigned char>(answer));
    for (int i = 0; allowed[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(allowed[i])) == wanted)
            return i;
    return -1;
}

}  // namespace

// ------------------------------------------------------------ interrupts

namespace {
// Read by the interrupt handler, which runs on the main thread only.
std::atomic<void (*)()> gInterruptOwner{nullptr};
std::atomic<bool> gInOwner{false};  // the owner polls too while it asks
static_assert(std::atomic<bool>::is_always_lock_free);
// A user interrupt kept for the owner. It is held apart from the abort flag
// so that no code reading the flag (a worker thread of a threaded analysis,
// a command that looks at the flag without polling) stops on it: only a
// poll on the main thread hands it to the owner.
std::atomic<bool> gOwnedInterrupt{false};
uint64_t gPollsBeforeInterrupt = 0;
int gSignalAtPoll = SIGINT;
}  // namespace

void setAbortFlag(int)
{
    if (gInterruptOwner.load() && !gInOwner.load()) {
        if (!gOwnedInterrupt.exchange(true))
            gAbortConfirmed.store(false);
        return;
    }
    // A fresh interrupt needs a fresh confirmation; a repeated one while the
    // stop is already confirmed must not ask again.
    if (gAborted_.exchange(1) == 0)
        gAbortConfirmed.store(false);
}

int installSignalHandler(int signo, SignalHandlerFxn handler, struct sigaction *action)
{
    std::memset(action, 0, sizeof *action);
    action->sa_handler = handler;
    sigemptyset(&action->sa_mask);
    action->sa_flags = 0;
    return sigaction(signo, action, nullptr);
}

void setResizeSignalHandler(SignalHandlerFxn handler) { gResizeHandler = handler; }

void requestTermination(int signo)
{
    int none = 0;
    if (!gTerminationSignal.compare_exchange_strong(none, signo))
        return;
    gAbortConfirmed.store(true);
    gAborted_.store(1);
    if (gWatchdogPid.load() == getpid())
        sem_post(&gWatchdogWake);
}

int pendingTerminationSignal() { return gTerminationSignal.load(std::memory_order_relaxed); }

void checkTermination()
{
    // The way out prints and flushes, which may reach polling points again.
    static bool terminating = false;
    const int signo = pendingTerminationSignal();
    if (signo == 0 || !onMainThread() || terminating)
        return;
    terminating = true;
    terminateNow(signo);
}

void setTerminationGraceMillis(unsigned milliseconds) { gGraceMillis.store(milliseconds); }

TerminationFinisher::TerminationFinisher(void (*finish)(void *), void *argument)
{
    gFinishers.emplace_back(finish, argument);
}

TerminationFinisher::~TerminationFinisher()
{
    if (!gFinishers.empty())
        gFinishers.pop_back();
}

void addTerminationChildGroup(pid_t group)
{
    for (std::atomic<pid_t> &slot : gChildGroups) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, group))
            return;
    }
}

void removeTerminationChildGroup(pid_t group)
{
    for (std::atomic<pid_t> &slot : gChildGroups) {
        pid_t named = group;
        if (slot.compare_exchange_strong(named, 0))
            return;
    }
}

void addTerminationScratch(const std::string &path)
{
    std::lock_guard<std::mutex> hold(gScratchMutex);
    gScratchPaths.push_back(path);
}

void removeTerminationScratch(const std::string &path)
{
    std::lock_guard<std::mutex> hold(gScratchMutex);
    std::erase(gScratchPaths, path);
}

void initSignalHandlers()
{
    gMainThread = pthread_self();
    gMainThreadKnown = true;
    // No SA_RESTART: a read blocked at the terminal returns, so that the
    // signal is acted on at once.
    installSignalHandler(SIGTERM, requestTermination, &gTermAction);
    installSignalHandler(SIGHUP, requestTermination, &gHupAction);
    // A write past the file-size limit then fails with EFBIG like one to a
    // full disk, and is reported with the old file kept, instead of the
    // signal killing the program silently with its output unflushed.
    std::signal(SIGXFSZ, SIG_IGN);
    if (const char *k = std::getenv("VORN_TEST_INTERRUPT_AT_POLL")) {
        char *end = nullptr;
        const uint64_t at = std::strtoull(k, &end, 10);
        setInterruptAtPoll(at, *end == ':' ? std::atoi(end + 1) : SIGINT);
    }
    if (!gRunningAsMaster)
        return;
    installSignalHandler(SIGINT, setAbortFlag, &gIntAction);
    if (gResizeHandler)
        installSignalHandler(SIGWINCH, gResizeHandler, &gWinchAction);
}

void notify(void *argument, void (*fxn)(void *))
{
    if (fxn)
        fxn(argument);
}

int32_t setAbortedStatus(uint32_t value)
{
    // Nothing may call off a termination: the worker threads must keep
    // seeing the abort until the main thread acts on it.
    if (pendingTerminationSignal() != 0)
        return gAborted_.exchange(1);
    gAbortConfirmed.store(false);
    if (static_cast<int32_t>(value) < 0)
        gFailureStop.store(true);
    return gAborted_.exchange(static_cast<int32_t>(value));
}

bool takeFailureStop() { return gFailureStop.exchange(false); }

void setInterruptOwner(void (*owner)())
{
    gInterruptOwner = owner;
    // An interrupt the owner has not yet taken is not lost with it.
    if (!owner && gOwnedInterrupt.exchange(false))
        setAbortFlag(SIGINT);
}

void setConfirmedAbort()
{
    if (pendingTerminationSignal() != 0)
        return;
    gAborted_.store(1);
    gAbortConfirmed.store(true);
}

void setInterruptAtPoll(uint64_t k, int signo)
{
    gPollsBeforeInterrupt = k;
    gSignalAtPoll = signo;
}

int32_t getAbortedStatus()
{
    checkTermination();
    if (!onMainThread())
        return gAborted_.load();
    void (*owner)() = gInterruptOwner.load();
    if (owner && !gInOwner.load() && (gOwnedInterrupt.load() || gAborted_.load() > 0) &&
        pendingTerminationSignal() == 0) {
        gInOwner.store(true);
        owner();
        // Cleared before the owner is left: an interrupt from here on is a
        // new one.
        gOwnedInterrupt.store(false);
        gInOwner.store(false);
    }
    int32_t seen = gAborted_.load();
    if (seen == 0 && gInOwner.load() && gOwnedInterrupt.load())
        seen = 1;
    // The switch's interrupt arrives just after this poll, as a signal
    // may: what reads the flag next, a poll or a plain look at it, finds it.
    if (gPollsBeforeInterrupt > 0 && --gPollsBeforeInterrupt == 0) {
        if (gSignalAtPoll == SIGINT)
            setAbortFlag(SIGINT);
        else
            raise(gSignalAtPoll);
    }
    return seen;
}

int32_t setLongOperationStatus(int32_t value)
{
    int32_t previous = uaflags.longOperationStatus;
    uaflags.longOperationStatus = value;
    return previous;
}

int32_t getLongOperationStatus() { return uaflags.longOperationStatus; }

bool confirmAbortRequest()
{
    checkTermination();
    if (uaflags.longOperationStatus <= 0)
        return true;
    return confirmAbortRequestFor("Do you really want to stop the search?");
}

bool confirmAbortRequestFor(const char *question)
{
    checkTermination();
    // A failure is no user's interrupt: there is nothing to ask.
    if (!gRunningAsMaster || gAbortConfirmed.load() || gAborted_.load() < 0)
        return true;
    if (userQuery(true, "%s", question)) {
        gAbortConfirmed.store(true);
    } else {
        gAborted_.store(0);
        gOwnedInterrupt.store(false);
    }
    return gAborted_.load() != 0 || (gInOwner.load() && gOwnedInterrupt.load());
}

// ------------------------------------------------------------ run modes

void setBusyMode(bool on)
{
    if (on) {
        setAbortedStatus(0);
        ++uaflags.busyCounter;
    } else {
        if (uaflags.busyCounter > 0)
            --uaflags.busyCounter;
        if (uaflags.busyCounter == 0)
            setAbortedStatus(0);
    }
}

bool inBusyMode() { return uaflags.busyCounter > 0; }

namespace {
bool swapFlag(bool &flag, bool value)
{
    bool previous = flag;
    flag = value;
    return previous;
}
}  // namespace

bool setMenuMode(bool on) { return swapFlag(uaflags.menuMode, on); }
bool inMenuMode() { return uaflags.menuMode; }
bool setShowingAlert(bool on) { return swapFlag(uaflags.showingAlert, on); }
bool showingAlert() { return uaflags.showingAlert; }
bool setDefaultMode(bool on) { return swapFlag(gQelIo.defaultMode, on); }
bool inDefaultMode() { return gQelIo.defaultMode; }
bool setDetachedMode(bool on) { return swapFlag(gQelIo.detachedMode, on); }
bool inDetachedMode() { return gQelIo.detachedMode; }
bool setRunningAsMaster(bool on) { return swapFlag(gRunningAsMaster, on); }
bool runningAsMaster() { return gRunningAsMaster; }

void setQuitHooks(const QuitHooks &hooks)
{
    gQuitHooks.okToQuit = hooks.okToQuit ? hooks.okToQuit : allowQuit;
    gQuitHooks.exitFromApp = hooks.exitFromApp ? hooks.exitFromApp : plainExit;
}

int doQuit()
{
    int refusal = gQuitHooks.okToQuit();
    if (refusal != 0)
        return refusal;
    uaflags.quitInProgress = true;
    gQuitHooks.exitFromApp(0);
    return 0;
}

bool quitInProgress() { return uaflags.quitInProgress; }

const char *setPromptString(const char *text)
{
    const char *previous = uaflags.promptText;
    uaflags.promptText = text;
    return previous;
}

const char *getPromptString() { return uaflags.promptText; }
void setAppPromptFxn(const char *(*fxn)()) { gAppPromptFxn = fxn ? fxn : defaultAppPrompt; }

void setUserPrompt(int32_t mode)
{
    setPromptString(mode == 1 ? "continuation> " : gAppPromptFxn());
}

// ------------------------------------------------------------ questions

int getUserResponse(const char *prompt, const char *suffix, char defaultChar, const char *allowed)
{
    char question[256];
    std::snprintf(question, sizeof question, "%s%s", prompt ? prompt : "", suffix ? suffix : "");
    const int defaultIndex = findAnswer(allowed, static_cast<unsigned char>(defaultChar));

    if (gQelIo.defaultMode) {
        const char answer[] = {defaultChar, '\n', '\0'};
        showAnsweredQuestion(question, answer);
        return defaultIndex < 0 ? 0 : defaultIndex;
    }

    const unsigned secondsLeft = suspendAlarm();
    const int32_t savedAbort = gAborted_.load();
    // An owner asking about its interrupt must not have the reading of the
    // answer stopped by that same interrupt.
    const bool savedOwned = gOwnedInterrupt.exchange(false);
    int counter = 0;
    int index;
    for (;;) {
        setAbortedStatus(0);
        char line[16];
        int answer = 0;
        if (getUserInput(question, line, sizeof line, false) == 0) {
            if (line[0] == '\n') {
                answer = static_cast<unsigned char>(defaultChar);
            } else {
                const char *p = line;
                while (*p == ' ' || *p == '\t')
                    ++p;
                answer = static_cast<unsigned char>(*p == '\n' ? '\0' : *p);
            }
        }
        index = findAnswer(allowed, answer);
        if (index >= 0)
            break;
        checkStdInputError(nullptr, &counter, 50);
    }
    restartAlarm(secondsLeft);
    gAborted_.store(savedAbort);
    if (savedOwned)
        gOwnedInterrupt.store(true);
    return index;
}

bool userQuery(bool defaultYes, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char question[1100];
    std::snprintf(question, sizeof question, "%s (%s) ", text, defaultYes ? "Y/n" : "y/N");
    return getUserResponse(question, nullptr, defaultYes ? 'y' : 'n', "NY") != 0;
}

namespace {

// A whole-line decimal integer within the 32-bit range.
bool parseInteger(const char *text, int32_t *value)
{
    if (!*text)
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(v);
    return true;
}

}  // namespace

int32_t getUserInteger(const char *prompt, int32_t defaultValue)
{
    if (gQelIo.defaultMode) {
        char answer[16];
        std::snprintf(answer, sizeof answer, "%d\n", defaultValue);
        showAnsweredQuestion(prompt, answer);
        return defaultValue;
    }
    const unsigned secondsLeft = suspendAlarm();
    char question[300];
    std::snprintf(question, sizeof question, "%s (%d):", prompt, defaultValue);
    const int32_t savedAbort = gAborted_.load();
    const bool savedSuppress = gQelIo.suppressFilePosition;
    if (!gQelIo.stdinNotTerminal)
        gQelIo.suppressFilePosition = true;

    int32_t result = defaultValue;
    int counter = 0;
    for (;;) {
        setAbortedStatus(0);
        char line[32];
        if (getUserInput(question, line, sizeof line, false) != 0) {
            checkStdInputError(nullptr, &counter, 50);
            continue;
        }
        // Strip blanks at both ends; the newline marks the end.
        char *p = line;
        while (*p == ' ' || *p == '\t')
            ++p;
        char *nl = std::strchr(p, '\n');
        if (nl)
            *nl = '\0';
        size_t n = std::strlen(p);
        while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t'))
            p[--n] = '\0';
        if (n == 0)
            break;
        if (parseInteger(p, &result))
            break;
        qel_errorMsg(108, "Invalid integer value: %s", p);
        result = defaultValue;
    }
    gQelIo.suppressFilePosition = savedSuppress;
    gAborted_.store(savedAbort);
    restartAlarm(secondsLeft);
    return result;
}

// ------------------------------------------------------------ the alarm

void myAlarmHandler(int signo)
{
    TimerFxn callback = gTimerCallback.load();
    if (callback)
        callback(signo);
    alarm(gTimerSeconds.load());
}

int installTimer(TimerFxn callback, void *, uint32_t milliseconds)
{
    if (milliseconds == 0) {
        alarm(0);
        return 1;
    }
    gTimerCallback.store(callback);
    gTimerSeconds.store(milliseconds / 1000);
    installSignalHandler(SIGALRM, myAlarmHandler, &gAlarmAction);
    alarm(milliseconds / 1000);
    return 1;
}

void removeTimer(void *) { alarm(0); }
unsigned suspendAlarm() { return alarm(0); }

void restartAlarm(unsigned seconds)
{
    if (seconds)
        alarm(seconds);
}
