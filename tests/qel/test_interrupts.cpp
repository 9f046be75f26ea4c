#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <pthread.h>
#include <unistd.h>

#include <thread>

#include "qel/io_test_support.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"

namespace {

using iotest::gErrorCodes;
using iotest::gOut;

constexpr const char *kStopQuestion = "Do you really want to stop the search? (Y/n) ";

class InterruptTest : public iotest::IoFixture {
protected:
    void TearDown() override
    {
        signal(SIGINT, SIG_DFL);
        installTimer(nullptr, nullptr, 0);
        signal(SIGALRM, SIG_DFL);
        setRunningAsMaster(true);
        iotest::IoFixture::TearDown();
    }
    size_t count(const std::string &needle) const
    {
        size_t n = 0;
        for (size_t at = gOut.find(needle); at != std::string::npos; at = gOut.find(needle, at + 1))
            ++n;
        return n;
    }
};

TEST_F(InterruptTest, InterruptSignalOnlyRaisesTheFlag)
{
    initSignalHandlers();
    EXPECT_EQ(getAbortedStatus(), 0);
    raise(SIGINT);
    EXPECT_EQ(gAborted_.load(), 1);
    EXPECT_TRUE(gOut.empty());
    EXPECT_EQ(setAbortedStatus(0), 1);
    EXPECT_EQ(getAbortedStatus(), 0);
}

TEST_F(InterruptTest, StatusZeroOrBelowStopsWithoutAsking)
{
    for (int32_t status : {0, -1, -2}) {
        setLongOperationStatus(status);
        setAbortedStatus(1);
        EXPECT_TRUE(confirmAbortRequest()) << status;
        EXPECT_EQ(getAbortedStatus(), 1);
    }
    EXPECT_TRUE(gOut.empty());
    EXPECT_EQ(typedConsumed(), 0u);
}

TEST_F(InterruptTest, AFailureStopsWithoutAskingAndIsRemembered)
{
    takeFailureStop();
    setLongOperationStatus(1);
    setAbortedStatus(static_cast<uint32_t>(-1));
    EXPECT_TRUE(confirmAbortRequest());
    EXPECT_TRUE(gOut.empty());
    EXPECT_EQ(typedConsumed(), 0u);
    // Still known once the flag is cleared, and taken once.
    setAbortedStatus(0);
    EXPECT_TRUE(takeFailureStop());
    EXPECT_FALSE(takeFailureStop());
    setAbortedStatus(1);
    EXPECT_FALSE(takeFailureStop());
    setAbortedStatus(0);
}

TEST_F(InterruptTest, StatusOneAsksAndYesIsRemembered)
{
    EXPECT_EQ(setLongOperationStatus(1), 0);
    type("\n");  // an empty answer means yes
    setAbortFlag(SIGINT);
    ASSERT_TRUE(confirmAbortRequest());
    EXPECT_EQ(count(kStopQuestion), 1u);
    EXPECT_EQ(getAbortedStatus(), 1);

    // Later polls, and another interrupt, stop at once without a question.
    setAbortFlag(SIGINT);
    EXPECT_TRUE(confirmAbortRequest());
    EXPECT_EQ(count(kStopQuestion), 1u);
}

TEST_F(InterruptTest, NoKeepsRunningAndClearsTheFlag)
{
    setLongOperationStatus(1);
    type("n\nY\n");
    setAbortFlag(SIGINT);
    EXPECT_FALSE(confirmAbortRequest());
    EXPECT_EQ(getAbortedStatus(), 0);
    // A new interrupt asks again.
    setAbortFlag(SIGINT);
    EXPECT_TRUE(confirmAbortRequest());
    EXPECT_EQ(count(kStopQuestion), 2u);
}

int gOwnerCalls = 0;

void clearingOwner()
{
    ++gOwnerCalls;
    // The owner polls too while it handles the interrupt: it must see the
    // flag itself, not be handed it again.
    EXPECT_EQ(getAbortedStatus(), 1);
    setAbortedStatus(0);
}

TEST_F(InterruptTest, AnOwnerTakesEveryInterruptAMainThreadPollFinds)
{
    initSignalHandlers();  // this thread is the main thread
    gOwnerCalls = 0;
    setInterruptOwner(clearingOwner);
    setAbortFlag(SIGINT);
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_EQ(gOwnerCalls, 1);
    // Neither another thread (a worker of a threaded analysis) nor a plain
    // look at the flag sees the interrupt: it waits for a main-thread poll.
    setAbortFlag(SIGINT);
    int32_t seen = -5;
    std::thread([&] { seen = getAbortedStatus(); }).join();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(gAborted_.load(), 0);
    EXPECT_EQ(gOwnerCalls, 1);
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_EQ(gOwnerCalls, 2);
    // A cancel is not an interrupt.
    setAbortedStatus(static_cast<uint32_t>(-1));
    EXPECT_EQ(getAbortedStatus(), -1);
    EXPECT_EQ(gOwnerCalls, 2);
    setInterruptOwner(nullptr);
    setAbortFlag(SIGINT);
    EXPECT_EQ(getAbortedStatus(), 1);
    EXPECT_EQ(gOwnerCalls, 2);
    EXPECT_TRUE(gOut.empty());
}

bool gOwnerConfirmed = false;

void askingOwner()
{
    gOwnerConfirmed = confirmAbortRequestFor("Stop after this round?");
    setAbortedStatus(0);
}

TEST_F(InterruptTest, AnOwnerAsksAboutAnInterruptKeptOffTheFlag)
{
    initSignalHandlers();
    setDefaultMode(true);  // answers yes
    setInterruptOwner(askingOwner);
    setAbortFlag(SIGINT);
    gOwnerConfirmed = false;
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_TRUE(gOwnerConfirmed);
    EXPECT_EQ(count("Stop after this round?"), 1u);
    // One not yet taken when the owner goes is put on the flag.
    setAbortFlag(SIGINT);
    EXPECT_EQ(gAborted_.load(), 0);
    setInterruptOwner(nullptr);
    EXPECT_EQ(gAborted_.load(), 1);
    EXPECT_EQ(count("Stop after this round?"), 1u);
    setDefaultMode(false);
    // Asked at the terminal, the answer is read once and taken.
    setAbortedStatus(0);
    setInterruptOwner(askingOwner);
    type("y\n");
    setAbortFlag(SIGINT);
    gOwnerConfirmed = false;
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_TRUE(gOwnerConfirmed);
    EXPECT_EQ(count("Stop after this round?"), 2u);
    setInterruptOwner(nullptr);
}

TEST_F(InterruptTest, TheTestSwitchRaisesTheInterruptAtTheKthPoll)
{
    initSignalHandlers();
    setInterruptAtPoll(3);
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_EQ(gAborted_.load(), 0);
    // Raised just after the third poll: the next look at the flag finds it.
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_EQ(gAborted_.load(), 1);
    EXPECT_EQ(getAbortedStatus(), 1);
    setAbortedStatus(0);
    EXPECT_EQ(getAbortedStatus(), 0);  // once only
}

TEST_F(InterruptTest, NotMasterStopsWithoutAsking)
{
    setRunningAsMaster(false);
    setLongOperationStatus(1);
    setAbortFlag(SIGINT);
    EXPECT_TRUE(confirmAbortRequest());
    EXPECT_TRUE(gOut.empty());
}

TEST_F(InterruptTest, DefaultModeAnswersWithoutReading)
{
    setDefaultMode(true);
    type("y\n42\n");
    EXPECT_FALSE(userQuery(false, "Discard %d trees?", 3));
    EXPECT_EQ(gOut, "Discard 3 trees? (y/N) n\n");
    gOut.clear();
    EXPECT_TRUE(userQuery(true, "Continue?"));
    EXPECT_EQ(gOut, "Continue? (Y/n) y\n");
    gOut.clear();
    EXPECT_EQ(getUserInteger("Number of replicates", 100), 100);
    EXPECT_EQ(gOut, "Number of replicates100\n");
    gOut.clear();
    EXPECT_EQ(getUserResponse("Pick", " [abc] ", 'b', "ABC"), 1);
    EXPECT_EQ(gOut, "Pick [abc] b\n");
    EXPECT_EQ(typedConsumed(), 0u);

    // The stop question in default mode takes its default, yes.
    setLongOperationStatus(1);
    setAbortFlag(SIGINT);
    gOut.clear();
    EXPECT_TRUE(confirmAbortRequest());
    EXPECT_EQ(gOut, std::string(kStopQuestion) + "y\n");
    setDefaultMode(false);
}

TEST_F(InterruptTest, AnswersAtTheTerminal)
{
    gQelIo.stdinNotTerminal = false;
    type("  y\nN\nx\n\t \nq\ny\n");
    EXPECT_TRUE(userQuery(false, "A?"));
    EXPECT_FALSE(userQuery(true, "B?"));
    // "x", a blank answer and "q" are unusable: the question repeats.
    EXPECT_TRUE(userQuery(false, "C?"));
    EXPECT_EQ(count("C? (y/N) "), 4u);
    EXPECT_EQ(typedConsumed(), script.size());
}

TEST_F(InterruptTest, QuestionRestoresAbortFlag)
{
    gQelIo.stdinNotTerminal = false;
    setAbortedStatus(1);
    type("y\n");
    EXPECT_TRUE(userQuery(false, "Q?"));
    EXPECT_EQ(getAbortedStatus(), 1);
}

TEST_F(InterruptTest, UnusableAnswersEndTheRun)
{
    qel_errorMsg = std_errorMsg;
    // Redirected input: one bad answer is final.
    type("x\n");
    EXPECT_EXIT(userQuery(true, "Q?"), ::testing::ExitedWithCode(1),
                "Expected input not found or invalid");
    // At a terminal the 51st unusable answer is final; 50 are tolerated.
    gQelIo.stdinNotTerminal = false;
    std::string fifty;
    for (int i = 0; i < 50; ++i)
        fifty += "x\n";
    type(fifty + "y\n");
    EXPECT_TRUE(userQuery(false, "Q?"));
    type(fifty + "x\ny\n");
    EXPECT_EXIT(userQuery(false, "Q?"), ::testing::ExitedWithCode(1), "Expected input not found");
    gQelIo.detachedMode = true;
    EXPECT_EXIT(userQuery(false, "Q?"), ::testing::ExitedWithCode(1), "^$");
}

TEST_F(InterruptTest, IntegerQuestion)
{
    gQelIo.stdinNotTerminal = false;
    type("12a\n7\n\n  -42 \n99999999999\n3\n");
    EXPECT_EQ(getUserInteger("Seed", 5), 7);
    EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{108});
    EXPECT_NE(iotest::gErrorText.find("Invalid integer value: 12a"), std::string::npos);
    EXPECT_NE(gOut.find("Seed (5):"), std::string::npos);
    EXPECT_EQ(getUserInteger("Seed", 5), 5);
    EXPECT_EQ(getUserInteger("Seed", 5), -42);
    EXPECT_EQ(getUserInteger("Seed", 5), 3);  // out of range is rejected, not wrapped
    EXPECT_EQ(gErrorCodes.size(), 2u);
    EXPECT_FALSE(gQelIo.suppressFilePosition);
}

TEST_F(InterruptTest, BusyModeNesting)
{
    setAbortedStatus(1);
    setBusyMode(true);
    EXPECT_EQ(getAbortedStatus(), 0);
    setBusyMode(true);
    setAbortFlag(SIGINT);
    setBusyMode(false);
    EXPECT_TRUE(inBusyMode());
    EXPECT_EQ(getAbortedStatus(), 1);
    setBusyMode(false);
    EXPECT_FALSE(inBusyMode());
    EXPECT_EQ(getAbortedStatus(), 0);
    setBusyMode(false);  // never below zero
    setBusyMode(true);
    EXPECT_TRUE(inBusyMode());
    setBusyMode(false);
}

TEST_F(InterruptTest, PromptsAndQuit)
{
    setUserPrompt(1);
    EXPECT_STREQ(getPromptString(), "continuation> ");
    setUserPrompt(0);
    EXPECT_STREQ(getPromptString(), "vorn> ");

    static int exits = -1;
    setQuitHooks({[] { return 1; }, [](int code) { exits = code; }});
    EXPECT_EQ(doQuit(), 1);
    EXPECT_FALSE(quitInProgress());
    EXPECT_EQ(exits, -1);
    setQuitHooks({nullptr, [](int code) { exits = code; }});
    EXPECT_EQ(doQuit(), 0);
    EXPECT_TRUE(quitInProgress());
    EXPECT_EQ(exits, 0);
    setQuitHooks({nullptr, nullptr});
}

std::atomic<int> gTicks{0};
void tick(int) { gTicks.fetch_add(1); }

TEST_F(InterruptTest, TimerUsesWholeSeconds)
{
    // What the alarm has left tells the interval set, however late this
    // thread runs: below a second none at all, 1.5 s cut to 1 (rounded up
    // it would read 2).
    gTicks = 0;
    EXPECT_EQ(installTimer(tick, nullptr, 999), 1);
    EXPECT_EQ(suspendAlarm(), 0u);
    EXPECT_EQ(installTimer(tick, nullptr, 1500), 1);
    EXPECT_EQ(suspendAlarm(), 1u);

    // The alarm rings again after each ring: twice, no sooner than 2 s.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(installTimer(tick, nullptr, 1500), 1);
    while (gTicks.load() < 2 && std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
        usleep(10000);
    removeTimer(nullptr);
    EXPECT_GE(gTicks.load(), 2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const int rung = gTicks.load();

    // A question suspends the alarm and re-arms it with the time left.
    installTimer(tick, nullptr, 3000);
    EXPECT_EQ(suspendAlarm(), 3u);
    EXPECT_EQ(suspendAlarm(), 0u);
    restartAlarm(2);
    EXPECT_EQ(suspendAlarm(), 2u);
    removeTimer(nullptr);
    EXPECT_EQ(gTicks.load(), rung);
}

TEST_F(InterruptTest, NotifyCallsOnlyAPresentFunction)
{
    int hits = 0;
    notify(&hits, [](void *p) { ++*static_cast<int *>(p); });
    notify(&hits, nullptr);
    EXPECT_EQ(hits, 1);
}

TEST_F(InterruptTest, IntegerQuestionInACommandFileLeavesOutThePosition)
{
    char dir[kPathnameBufSize];
    ASSERT_NE(makeTempDirectory("qelinttest", dir), nullptr);
    const std::string path = std::string(dir) + "/ask.nex";
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("line one\nline two\n", f);
    std::fclose(f);
    InputStatus file{};
    ASSERT_EQ(openInputFile(path.c_str(), 0, nullptr, &file), 0);
    qel_errorMsg = errorMsg;

    // At a terminal the position would only confuse the person answering.
    gQelIo.stdinNotTerminal = false;
    type("zz\n4\n");
    EXPECT_EQ(getUserInteger("N", 1), 4);
    EXPECT_NE(gOut.find("Invalid integer value: zz"), std::string::npos);
    EXPECT_EQ(gOut.find("Error occurred while processing"), std::string::npos);
    gOut.clear();
    errorMsg(5, "Later.");
    EXPECT_NE(gOut.find("Error occurred while processing line 1 of file ask.nex"), std::string::npos) << gOut;

    // With answers read from a redirected input the position stays.
    gQelIo.stdinNotTerminal = true;
    type("zz\n4\n");
    gOut.clear();
    EXPECT_EQ(getUserInteger("N", 1), 4);
    EXPECT_NE(gOut.find("Error occurred while processing line 1 of file ask.nex"), std::string::npos) << gOut;

    EXPECT_EQ(closeInputFile(&file), 0);
    std::remove(path.c_str());
    rmdir(dir);
}

// Exit codes of signalWhileMainBlocks.
constexpr int kTakenByHelper = 90;
constexpr int kLostAfterUnblock = 91;
constexpr int kNoWorkers = 92;

// Sends `signo` to the process while the main thread blocks it, as the line
// editor does while it draws the prompt. No helper thread (the watchdog,
// `workers` - 1 workers) may take it: it must stay pending until the main
// thread opens again, and only then reach the handler.
int signalWhileMainBlocks(int signo, int workers)
{
    // Longer than the wait below: a watchdog woken by a stolen signal must
    // not end the child before the theft is seen.
    setTerminationGraceMillis(5000);
    initSignalHandlers();
    startTerminationWatchdog();
    ThreadGroup *group = nullptr;
    if (workers > 1 && (group = createThreadGroup(workers, nullptr, 0)) == nullptr)
        return kNoWorkers;
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    pthread_sigmask(SIG_BLOCK, &only, nullptr);
    kill(getpid(), signo);  // to the process, not to this thread
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (pendingTerminationSignal() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sigset_t pending;
    sigpending(&pending);
    const bool waited = pendingTerminationSignal() == 0 && sigismember(&pending, signo) == 1;
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    destroyThreadGroup(group);
    if (!waited)
        return kTakenByHelper;
    return pendingTerminationSignal() == signo ? 0 : kLostAfterUnblock;
}

TEST(TerminationSignals, WaitForTheMainThreadWhileItBlocksThem)
{
    const int workers = std::min(3, availableProcessors());
    struct Case {
        int signo;
        int workers;
    };
    for (const Case c : {Case{SIGTERM, 1}, Case{SIGHUP, 1}, Case{SIGTERM, workers}, Case{SIGHUP, workers}}) {
        const int status = iotest::childStatus([&] { return signalWhileMainBlocks(c.signo, c.workers); });
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << c.signo << " workers " << c.workers;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "signal " << c.signo << " workers " << c.workers;
    }
}

}  // namespace
