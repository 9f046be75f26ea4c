#include <gtest/gtest.h>

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"
#include "qel/qel_threadscratch.h"
#include "capture_test_support.h"

namespace {

// The long pass loops run up to kPasses passes per group size but stop
// after kPassTime once kMinPasses are done, so a loaded machine, where a
// pass can cost a wake-up, or a sanitiser still finishes in seconds.
constexpr uint64_t kPasses = 100000;
constexpr uint64_t kMinPasses = 20;
constexpr auto kPassTime = std::chrono::milliseconds(400);

constexpr int kMaxThreads = 8;

struct Shared {
    uint64_t pass;
    uint64_t out[kMaxThreads];
};

struct Slice {
    uint64_t sum;
    uint64_t calls;
};

// Each thread adds into its own slice and publishes a word that thread 0
// checks after the pass: a pass that returned before a worker finished, or a
// worker that ran with a stale pass number, shows up in either.
void addIntoSlice(uint32_t i, void *sharedData, void *perThreadData)
{
    auto *sh = static_cast<Shared *>(sharedData);
    auto *slice = static_cast<Slice *>(perThreadData);
    slice->sum += sh->pass * (i + 1) + i;
    ++slice->calls;
    sh->out[i] = sh->pass * 1000 + i;
}

void markNegative(uint32_t i, void *sharedData, void *)
{
    static_cast<Shared *>(sharedData)->out[i] = ~static_cast<uint64_t>(i);
}

size_t settledThreads();

// The thread count before a group exists. Thread sanitiser runtimes start a
// helper thread with the first thread the program makes, so one group is
// made and destroyed first to let that happen.
size_t baselineThreads()
{
    if (availableProcessors() >= 2)
        destroyThreadGroup(createThreadGroup(2, nullptr, 0));
    return settledThreads();
}

size_t tasksListed()
{
    size_t n = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// The count once it has held still for a while: a joined thread can stay
// listed after pthread_join returns (the kernel wakes the joiner before it
// has taken the task down, and on a busy machine the exiting thread may
// wait long for a processor to finish on).
size_t settledThreads()
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(10);
    size_t last = tasksListed();
    auto stableSince = steady_clock::now();
    while (steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
        const size_t now = tasksListed();
        if (now != last) {
            last = now;
            stableSince = steady_clock::now();
        } else if (steady_clock::now() - stableSince >= milliseconds(200)) {
            break;
        }
    }
    return last;
}

// The count, once it is `expected` or has had ten seconds to get there: a
// thread left running (detached, not joined) keeps it above.
size_t threadsInProcess(size_t expected)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t now = tasksListed();
    while (now != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        now = tasksListed();
    }
    return now;
}

int maxGroupSize() { return std::min(kMaxThreads, availableProcessors()); }

using captest::capturePrint;
using captest::gCaptured;

class ThreadGroupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedErr = qel_errorMsg;
        qel_errorMsg = captest::captureMsg<1>;
        gCaptured.clear();
        clearMemoryErrorStatus();
    }
    void TearDown() override
    {
        qel_errorMsg = savedErr;
        qel_setThreadStartFailureCountdown(-1);
        qel_setAllocFailureCountdown(-1);
        clearMemoryErrorStatus();
    }
    MsgHook savedErr = nullptr;
};

const char *const kCreateFailed = "Attempt to create %d multithreaded tasks failed.  Either reduce the number "
                                  "of threads or disable multithreading.";

std::string createFailedText(int n)
{
    char buf[256];
    snprintf(buf, sizeof buf, kCreateFailed, n);
    return buf;
}

}  // namespace

TEST_F(ThreadGroupTest, EachThreadSumsIntoItsSliceExactly)
{
    const int maxN = maxGroupSize();
    if (maxN < kMaxThreads)
        std::printf("only %d processors available: groups of 1..%d tested\n", maxN, maxN);
    for (int n = 1; n <= maxN; ++n) {
        Shared sh{};
        ThreadGroup *g = createThreadGroup(n, &sh, sizeof(Slice));
        ASSERT_NE(g, nullptr) << n;
        EXPECT_EQ(g->nThreadsStarted, n - 1);
        for (int i = 0; i < n; ++i)
            setMThreadTaskFunction(g, i, addIntoSlice);
        uint64_t badPasses = 0;
        uint64_t passes = 0;
        const auto deadline = std::chrono::steady_clock::now() + kPassTime;
        while (passes < kPasses && (passes < kMinPasses || std::chrono::steady_clock::now() < deadline)) {
            const uint64_t p = ++passes;
            sh.pass = p;
            startThreadGroup(g);
            for (int i = 0; i < n; ++i)
                badPasses += sh.out[i] != p * 1000 + static_cast<uint64_t>(i);
        }
        EXPECT_EQ(badPasses, 0u) << n << " threads";
        for (int i = 0; i < n; ++i) {
            auto *slice = static_cast<Slice *>(getDataForMThreadTask(g, i));
            const uint64_t k = static_cast<uint64_t>(i);
            EXPECT_EQ(slice->calls, passes);
            EXPECT_EQ(slice->sum, (k + 1) * passes * (passes + 1) / 2 + k * passes) << n << " threads, task " << i;
        }
        EXPECT_EQ(destroyThreadGroup(g), nullptr);
    }
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// How many threads of this process, other than the caller, are running or
// waiting for a processor ('R' in /proc). A spinning waiter is always one of
// them however loaded the machine is, where its processor time is not.
int runnableOtherThreads()
{
    const std::string self = std::to_string(static_cast<long>(gettid()));
    int runnable = 0;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        const std::string tid = entry.path().filename().string();
        if (tid == self)
            continue;
        std::FILE *f = std::fopen((entry.path() / "stat").c_str(), "r");
        if (!f)
            continue;
        char line[512] = "";
        const bool read = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        // The state follows the command name, which is in parentheses.
        const char *close = read ? std::strrchr(line, ')') : nullptr;
        if (close && close[1] == ' ' && close[2] == 'R')
            ++runnable;
    }
    return runnable;
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleepInWorkerOne(uint32_t i, void *sharedData, void *perThreadData)
{
    if (i == 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    addIntoSlice(i, sharedData, perThreadData);
}

TEST_F(ThreadGroupTest, IdleWaitersBlockInsteadOfSpinning)
{
    // Between passes the workers, and during a long task thread 0, must give
    // their processors back: waiting costs them a small fraction of its
    // length in processor time, where spinning (or yielding in a loop) costs
    // all of it for every waiter.
    const int n = maxGroupSize();
    if (n < 2)
        GTEST_SKIP() << "needs 2 processors";
    Shared sh{};
    ThreadGroup *g = createThreadGroup(n, &sh, sizeof(Slice));
    ASSERT_NE(g, nullptr);
    for (int i = 0; i < n; ++i)
        setMThreadTaskFunction(g, i, addIntoSlice);
    sh.pass = 1;
    startThreadGroup(g);

    // Let the waiters use up their short spin (on a busy machine they may
    // wait a while for a processor to do so: until none is seen running, or
    // two seconds), then look at them 40 times.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    do
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    while (runnableOtherThreads() > 0 && std::chrono::steady_clock::now() < until);
    int busySamples = 0;
    for (int sample = 0; sample < 40; ++sample) {
        busySamples += runnableOtherThreads() > 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // A spinning waiter is found in every sample; a blocked one only when
    // something else of the process (a sanitizer's thread) happens to run.
    EXPECT_LE(busySamples, 20) << n - 1 << " idle workers found running or runnable";

    setMThreadTaskFunction(g, 1, sleepInWorkerOne);
    sh.pass = 2;
    const double mainStart = threadCpuSeconds();
    startThreadGroup(g);
    EXPECT_LT(threadCpuSeconds() - mainStart, 0.02) << "thread 0 waiting on a sleeping worker";
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(sh.out[i], 2000u + static_cast<uint64_t>(i));

    // Passes after the waiters slept still see every worker's result.
    setMThreadTaskFunction(g, 1, addIntoSlice);
    for (uint64_t p = 3; p < 60; ++p) {
        sh.pass = p;
        startThreadGroup(g);
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(sh.out[i], p * 1000 + static_cast<uint64_t>(i));
        if (p % 20 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    destroyThreadGroup(g);
}

TEST_F(ThreadGroupTest, TasksCanChangeBetweenPasses)
{
    const int n = std::min(3, availableProcessors());
    Shared sh{};
    ThreadGroup *g = createThreadGroup(n, &sh, sizeof(Slice));
    ASSERT_NE(g, nullptr);
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < n; ++i)
            setMThreadTaskFunction(g, i, round % 2 ? markNegative : addIntoSlice);
        sh.pass = static_cast<uint64_t>(round);
        startThreadGroup(g);
        for (int i = 0; i < n; ++i) {
            uint64_t want = round % 2 ? ~static_cast<uint64_t>(i) : sh.pass * 1000 + static_cast<uint64_t>(i);
            ASSERT_EQ(sh.out[i], want) << "round " << round;
        }
    }
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(static_cast<Slice *>(getDataForMThreadTask(g, i))->calls, 25u);
    destroyThreadGroup(g);
}

TEST_F(ThreadGroupTest, PerThreadDataLayout)
{
    if (availableProcessors() < 4)
        GTEST_SKIP() << "needs 4 processors";
    ThreadGroup *g = createThreadGroup(4, nullptr, 64);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(getMThreadNumTasks(g), 4);
    auto *base = static_cast<unsigned char *>(getDataForMThreadTask(g, 0));
    EXPECT_EQ(static_cast<unsigned char *>(getDataForMThreadTask(g, 3)) - base, 192);
    EXPECT_TRUE(std::all_of(base, base + 4 * 64, [](unsigned char c) { return c == 0; }));
    EXPECT_EQ(getDataForMThreadTask(g, 4), nullptr);
    startThreadGroup(g);  // no task set: an empty pass
    destroyThreadGroup(g);

    g = createThreadGroup(2, nullptr, 0);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(getDataForMThreadTask(g, 1), nullptr);
    destroyThreadGroup(g);
    EXPECT_EQ(getDataForMThreadTask(nullptr, 0), nullptr);
    EXPECT_EQ(getMThreadNumTasks(nullptr), 0);
    EXPECT_EQ(destroyThreadGroup(nullptr), nullptr);
}

TEST_F(ThreadGroupTest, OneThreadStartsNoWorker)
{
    const size_t before = baselineThreads();
    Shared sh{};
    ThreadGroup *g = createThreadGroup(1, &sh, sizeof(Slice));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->nThreadsStarted, 0);
    EXPECT_EQ(threadsInProcess(before), before);
    setMThreadTaskFunction(g, 0, addIntoSlice);
    sh.pass = 7;
    startThreadGroup(g);
    EXPECT_EQ(sh.out[0], 7000u);
    destroyThreadGroup(g);
}

TEST_F(ThreadGroupTest, DestroyJoinsEveryWorker)
{
    // Workers are joined, not detached: once destroy returns the process has
    // its threads of before, so none can still be reading the freed group.
    const int n = maxGroupSize();
    const size_t before = baselineThreads();
    for (int cycle = 0; cycle < 40; ++cycle) {
        Shared sh{};
        ThreadGroup *g = createThreadGroup(n, &sh, sizeof(Slice));
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(threadsInProcess(before + static_cast<size_t>(n - 1)), before + static_cast<size_t>(n - 1));
        if (cycle % 2) {  // half the groups never run a pass
            for (int i = 0; i < n; ++i)
                setMThreadTaskFunction(g, i, addIntoSlice);
            startThreadGroup(g);
        }
        destroyThreadGroup(g);
        ASSERT_EQ(threadsInProcess(before), before) << "cycle " << cycle;
    }
}

// The thread count is the user's: a process held to one processor (as
// under taskset) still gets the group it asked for, whose workers take
// turns on that processor, and every pass runs every task.
TEST_F(ThreadGroupTest, MoreThreadsThanProcessorsShareThem)
{
    cpu_set_t saved, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    CPU_ZERO(&one);
    int first = 0;
    while (!CPU_ISSET(first, &saved))
        ++first;
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const int n = 3;
    ASSERT_EQ(availableProcessors(), 1);
    Shared sh{};
    ThreadGroup *g = createThreadGroup(n, &sh, sizeof(Slice));
    sched_setaffinity(0, sizeof saved, &saved);
    ASSERT_NE(g, nullptr) << gCaptured;
    EXPECT_EQ(gCaptured, "");
    for (int i = 0; i < n; ++i)
        setMThreadTaskFunction(g, i, addIntoSlice);
    for (uint64_t p = 1; p <= 50; ++p) {
        sh.pass = p;
        startThreadGroup(g);
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(sh.out[i], p * 1000 + static_cast<uint64_t>(i)) << "pass " << p << ", task " << i;
    }
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(static_cast<Slice *>(getDataForMThreadTask(g, i))->calls, 50u);
    destroyThreadGroup(g);

    EXPECT_EQ(createThreadGroup(0, nullptr, 8), nullptr);
    EXPECT_EQ(gCaptured, createFailedText(0));
}

TEST_F(ThreadGroupTest, FailedStartStopsTheWorkersAlreadyRunning)
{
    const int n = maxGroupSize();
    if (n < 3)
        GTEST_SKIP() << "needs 3 processors";
    const size_t before = baselineThreads();
    for (int started = 0; started < n - 1; ++started) {
        gCaptured.clear();
        qel_setThreadStartFailureCountdown(started);
        EXPECT_EQ(createThreadGroup(n, nullptr, 16), nullptr);
        EXPECT_EQ(gCaptured, createFailedText(n));
        EXPECT_EQ(threadsInProcess(before), before);
    }
    qel_setThreadStartFailureCountdown(-1);
    ThreadGroup *g = createThreadGroup(n, nullptr, 16);
    EXPECT_NE(g, nullptr);
    destroyThreadGroup(g);
}

TEST_F(ThreadGroupTest, AllocationFailureIsReportedAndUnwound)
{
    const int n = std::min(2, availableProcessors());
    // The group makes four blocks (record, tasks, per-thread data, the done
    // words); fail each in turn.
    for (int k = 0; k < 4; ++k) {
        gCaptured.clear();
        clearMemoryErrorStatus();
        qel_setAllocFailureCountdown(k);
        EXPECT_EQ(createThreadGroup(n, nullptr, 32), nullptr) << k;
        EXPECT_EQ(gCaptured, createFailedText(n));
        qel_setAllocFailureCountdown(-1);
    }
    clearMemoryErrorStatus();
    ThreadGroup *g = createThreadGroup(n, nullptr, 32);
    EXPECT_NE(g, nullptr);
    destroyThreadGroup(g);
}

TEST(ProcessorInfo, CountsAndStatusLine)
{
    int32_t tpc = 0;
    const int32_t n = countProcessors(&tpc);
    EXPECT_EQ(tpc, 1);
    EXPECT_EQ(n, static_cast<int32_t>(std::thread::hardware_concurrency()));
    const uint64_t info = getProcessorInfo();
    EXPECT_EQ(info & 0xFFFFFFFFu, static_cast<uint64_t>(n));
    EXPECT_EQ(info >> 32, static_cast<uint64_t>(n));
    EXPECT_GE(availableProcessors(), 1);
    EXPECT_LE(availableProcessors(), n);

    PrintHook saved = qel_printf;
    qel_printf = capturePrint;
    gCaptured.clear();
    showMultithreadingStatus(1);
    std::string one = gCaptured;
    gCaptured.clear();
    showMultithreadingStatus(4);
    std::string four = gCaptured;
    qel_printf = saved;
    const std::string clause = " on " + std::to_string(n) + (n == 1 ? " processor\n" : " processors\n");
    EXPECT_EQ(one, "Using 1 thread" + clause);
    EXPECT_EQ(four, "Using 4 parallel threads" + clause);
}

TEST(SecondaryThread, RunsOnTheCallingThread)
{
    static std::thread::id seen;
    auto worker = [](void *arg) -> int {
        seen = std::this_thread::get_id();
        return *static_cast<int *>(arg) + 1;
    };
    int value = 41;
    EXPECT_EQ(runSecondaryThread(worker, &value), 42);
    EXPECT_EQ(seen, std::this_thread::get_id());
    value = 9;
    EXPECT_EQ(runOutputThread(worker, &value), 10);

    EXPECT_EQ(getTaskID(), 0);
    EXPECT_STREQ(taskIDstring(), "master");
    EXPECT_TRUE(runningAsMaster());
    EXPECT_TRUE(runningParallel());
    EXPECT_FALSE(runningAsSlave());
}

// A worker's scratch is made on first use, once per thread, and freed as
// the worker ends; other threads' scratch is theirs.
namespace {
std::atomic<int> gLiveScratch{0};
struct CountedScratch {
    CountedScratch() { gLiveScratch++; }
    ~CountedScratch() { gLiveScratch--; }
    int value = 0;
};
}  // namespace

TEST(WorkerAllocationsTest, AWorkersScratchIsItsOwnAndEndsWithIt)
{
    thread_local ThreadScratch<CountedScratch> a;
    thread_local ThreadScratch<std::vector<int>> b;
    std::vector<int> seen;
    std::thread worker([&] {
        {
            const WorkerAllocations allocations;
            seen.push_back(a.ifMade() == nullptr);
            a->value = 7;
            (*a).value++;
            b->assign(3, 1);
            seen.push_back(a->value);
            seen.push_back(static_cast<int>(threadScratchCount()));
            seen.push_back(gLiveScratch.load());
        }
        seen.push_back(static_cast<int>(threadScratchCount()));
        seen.push_back(gLiveScratch.load());
        seen.push_back(a.ifMade() == nullptr && b.ifMade() == nullptr);
    });
    worker.join();
    EXPECT_EQ(seen, (std::vector<int>{1, 8, 2, 1, 0, 0, 1}));
    EXPECT_EQ(a.ifMade(), nullptr);
}

// A worker's failed allocation is its own: it prints nothing, fails the
// worker's later allocations until the worker clears it (the command's
// clearing does not), and leaves the other threads' allocations alone.
TEST(WorkerAllocationsTest, AFailureOnAWorkerIsItsOwnAndPrintsNothing)
{
    PrintHook saved = qel_printf;
    qel_printf = capturePrint;
    gCaptured.clear();
    clearMemoryErrorStatus();
    std::vector<int> seen;
    std::thread worker([&seen] {
        const WorkerAllocations allocations;
        qel_setWorkerAllocFailureCountdown(1);
        void *first = allocBlock(8);
        seen.push_back(first != nullptr);
        seen.push_back(allocBlock(8) != nullptr);
        seen.push_back(allocBlock(8) != nullptr);
        seen.push_back(memoryErrorHasOccurred() && workerAllocationFailed());
        clearMemoryErrorStatus();
        seen.push_back(memoryErrorHasOccurred());
        clearWorkerAllocationFailure();
        void *after = allocBlock(8);
        seen.push_back(after != nullptr && !memoryErrorHasOccurred());
        deallocBlock(first);
        deallocBlock(after);
    });
    worker.join();
    qel_setWorkerAllocFailureCountdown(-1);
    EXPECT_EQ(seen, (std::vector<int>{1, 0, 0, 1, 1, 1}));
    EXPECT_FALSE(memoryErrorHasOccurred());
    EXPECT_FALSE(workerAllocationFailed());
    void *here = allocBlock(8);
    EXPECT_NE(here, nullptr);
    deallocBlock(here);
    EXPECT_EQ(gCaptured, "");
    qel_printf = saved;
}
