// Interrupts, run modes and questions to the user.
//
// The interrupt signal only raises gAborted_; long loops poll it and decide
// with confirmAbortRequest() whether to stop. Questions read one line from the
// terminal and take their default answer in default-answer mode.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <string>
#include <sys/types.h>

// Written from signal handlers and read by worker threads, so it must be a
// lock-free atomic: a plain int would be a data race.
extern std::atomic<int32_t> gAborted_;
static_assert(std::atomic<int32_t>::is_always_lock_free);

using SignalHandlerFxn = void (*)(int);
using TimerFxn = void (*)(int);

void setAbortFlag(int signo);  // the SIGINT handler
int installSignalHandler(int signo, SignalHandlerFxn handler, struct sigaction *action);
// SIGINT to setAbortFlag and SIGWINCH to the resize handler, when running as
// the master (the terminal program); SIGTERM and SIGHUP to
// requestTermination always. The calling thread becomes the main thread.
void initSignalHandlers();

// Termination signals. The handler only records the signal and raises the
// abort flag (confirmed, so that no question is asked). The main thread acts
// at its next polling point: every getAbortedStatus, each line read from a
// command file or the terminal. It then flushes the output and the log,
// keeps a file marked whole (markStreamKept) up to its mark, abandons every
// other file being written (the old file stays), and ends the program with
// status 128 + the signal. A watchdog thread does the little
// that is safe from outside when the main thread has not got there within
// the grace period (it may be computing without polling, or blocked).
void requestTermination(int signo);  // the SIGTERM and SIGHUP handler
int pendingTerminationSignal();       // 0 when none
// Acts on a pending termination signal when called on the main thread;
// otherwise returns at once.
void checkTermination();
void setTerminationGraceMillis(unsigned milliseconds);
// Work that holds its finished part in memory until its end (the scores of
// the trees done, the trees of the puzzling steps done) names a finisher
// for as long as it runs. A termination acted on at a polling point calls
// it on the main thread before the files are settled, so that it writes
// what was finished as a stop by the user would, and keeps its file
// (markStreamKept, or closed). It must not ask. Finishers nest (records end
// in the reverse order of their start): every one running is called, the
// innermost first.
class TerminationFinisher {
public:
    TerminationFinisher(void (*finish)(void *), void *argument);
    ~TerminationFinisher();
    TerminationFinisher(const TerminationFinisher &) = delete;
    TerminationFinisher &operator=(const TerminationFinisher &) = delete;
};
// The process groups of the outside programs running and the temporary
// directories they work in: an end of the program by a termination signal
// (at a polling point or by the watchdog) kills every group named, waits
// until it is gone, then removes every directory named with all it holds.
void addTerminationChildGroup(pid_t group);
void removeTerminationChildGroup(pid_t group);
void addTerminationScratch(const std::string &path);
void removeTerminationScratch(const std::string &path);
// Starts the watchdog thread (once per process). The program does so at
// start-up; it is kept apart from initSignalHandlers so that a process that
// forks without exec (a test's death tests) need not carry a thread.
void startTerminationWatchdog();
// Signals sent to the process are handled on the main thread only. The line
// editor's handlers jump back into the frame of the gl_get_line call that
// installed them, and the editor blocks the signals it traps while it draws,
// so any other thread that left them open would be picked by the kernel in
// that window and would itself jump onto the main thread's stack, leaving
// the signal unanswered and the main thread waiting for input. A thread created
// while a HelperThreadSignalMask lives inherits a mask that blocks every
// asynchronous signal; the creator's own mask is put back afterwards.
class HelperThreadSignalMask {
public:
    HelperThreadSignalMask();
    ~HelperThreadSignalMask();
    HelperThreadSignalMask(const HelperThreadSignalMask &) = delete;
    HelperThreadSignalMask &operator=(const HelperThreadSignalMask &) = delete;

private:
    sigset_t saved_;
    bool changed_;
};
// The resize handler is the output engine's handleResizeSignal unless
// replaced; null leaves SIGWINCH alone.
void setResizeSignalHandler(SignalHandlerFxn handler);
void notify(void *argument, void (*fxn)(void *));

int32_t setAbortedStatus(uint32_t value);  // returns the previous flag
int32_t getAbortedStatus();
// Whether a negative flag (an operation that could not go on, which it has
// reported) was set since the last call: a command that then returns as
// stopped failed rather than was stopped by the user.
bool takeFailureStop();
// While an operation owns the interrupt (a simulation loop, whose question
// is whether to stop after the replicate in progress), a user interrupt that
// a poll on the main thread finds is handed to the owner, which asks and
// clears the flag: the commands run inside the operation never see the
// interrupt, so none of them can end the operation without its question.
// A user interrupt that arrives while an owner is set is not put on the
// flag at all, so neither worker threads nor code that looks at the flag
// without polling stop on it; the owner sees it through getAbortedStatus.
// Cancels (a negative flag) and termination signals are not handed over.
// Null removes the owner.
void setInterruptOwner(void (*owner)());
// The test switch VORN_TEST_INTERRUPT_AT_POLL=k raises the interrupt just
// after the k-th poll of the abort flag on the main thread, so that a test
// can put an interrupt into every window of a run without relying on
// timing; "k:signo" sends that signal to the program instead (a
// termination signal at the same place). Read by initSignalHandlers; 0
// turns it off.
void setInterruptAtPoll(uint64_t k, int signo = SIGINT);
int32_t setLongOperationStatus(int32_t value);  // returns the previous status
int32_t getLongOperationStatus();
bool confirmAbortRequest();
// Asks `question` at the terminal whatever operation is running (true when
// the stop is confirmed, or when there is no one to ask); a "no" clears the
// interrupt.
bool confirmAbortRequestFor(const char *question);
// Sets the abort flag as a stop already confirmed (by an interrupt owner that
// asked its own question): what polls it stops without asking again.
void setConfirmedAbort();

void setBusyMode(bool on);
bool inBusyMode();
bool setMenuMode(bool on);
bool inMenuMode();
bool setShowingAlert(bool on);
bool showingAlert();
bool setDefaultMode(bool on);
bool inDefaultMode();
bool setDetachedMode(bool on);
bool inDetachedMode();
bool setRunningAsMaster(bool on);
bool runningAsMaster();

// doQuit asks the application (okToQuit) and, when allowed, marks the quit
// and leaves through exitFromApp with status 0; otherwise it returns the
// application's refusal.
struct QuitHooks {
    int (*okToQuit)();             // 0 allows; default allows
    void (*exitFromApp)(int code);  // default: std::exit
};
void setQuitHooks(const QuitHooks &hooks);
int doQuit();
bool quitInProgress();

const char *setPromptString(const char *text);  // returns the previous one
const char *getPromptString();
void setAppPromptFxn(const char *(*fxn)());  // the application's prompt text
void setUserPrompt(int32_t mode);

// Index of the answer in `allowed` (matched ignoring case).
int getUserResponse(const char *prompt, const char *suffix, char defaultChar, const char *allowed);
bool userQuery(bool defaultYes, const char *format, ...) __attribute__((format(printf, 2, 3)));
int32_t getUserInteger(const char *prompt, int32_t defaultValue);

int installTimer(TimerFxn callback, void *unused, uint32_t milliseconds);
void removeTimer(void *unused);
unsigned suspendAlarm();
void restartAlarm(unsigned seconds);
void myAlarmHandler(int signo);
