#include "qel/qel_multithread.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"

#include <limits.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"

// Provided by the output engine; absent in programs built without it.

namespace {

std::atomic<int32_t> gThreadStartCountdown{-1};

// A waiter spins with the processor's pause hint for this long before it
// blocks. Passes of one evaluation follow each other within microseconds,
// so they never reach the block; a waiter past the bound is idle between
// evaluations, or waits on a thread the scheduler has taken off its
// processor, and spinning on would only steal time from that thread.
constexpr auto kSpinBound = std::chrono::microseconds(5);

// Sleeping and waking pair up as in Dekker's protocol: the sleeper announces
// itself and then reads the word, the waker writes the word and then reads
// the announcement, all sequentially consistent, so at least one of them
// sees the other's write and no wake-up is lost.

// Thread 0 starts pass `pass` (after writing what the tasks read: the
// step's ordering publishes it).
void startPass(ThreadGroup *g, uint32_t pass)
{
    g->pass.store(pass, std::memory_order_seq_cst);
    if (g->sleepingWorkers.load(std::memory_order_seq_cst) != 0)
        futexWake(g->pass, INT32_MAX);
}

// Thread 0 waits until every started worker has finished `pass`; the
// acquire on each done word makes the worker's task writes visible.
void waitForWorkers(ThreadGroup *g, uint32_t pass)
{
    for (int32_t i = 1; i <= g->nThreadsStarted; ++i) {
        std::atomic<uint32_t> &done = g->done[i].pass;
        if (spinBounded([&] { return done.load(std::memory_order_acquire) == pass; }, kSpinBound))
            continue;
        g->mainSleeping.store(1, std::memory_order_seq_cst);
        for (uint32_t v; (v = done.load(std::memory_order_seq_cst)) != pass;)
            futexWait(done, v);
        g->mainSleeping.store(0, std::memory_order_relaxed);
    }
}

// A worker waits for a pass other than `seen` and returns its number.
uint32_t waitForStart(ThreadGroup *g, uint32_t seen)
{
    if (!spinBounded([&] { return g->pass.load(std::memory_order_acquire) != seen; }, kSpinBound)) {
        g->sleepingWorkers.fetch_add(1, std::memory_order_seq_cst);
        while (g->pass.load(std::memory_order_seq_cst) == seen)
            futexWait(g->pass, seen);
        g->sleepingWorkers.fetch_sub(1, std::memory_order_relaxed);
    }
    return g->pass.load(std::memory_order_acquire);
}

void *workerMain(void *arg)
{
    auto *t = static_cast<MThreadTask *>(arg);
    ThreadGroup *g = t->group;
    const uint32_t i = t->threadIndex;
    // A task's failed allocations are its own, for thread 0 to report.
    const WorkerAllocations allocations;
    // Pass 0 is the state before the first start; thread 0 cannot start a
    // second pass before this worker has finished the first.
    for (uint32_t seen = 0;;) {
        seen = waitForStart(g, seen);
        if (g->quit.load(std::memory_order_acquire) != 0)
            return nullptr;
        clearWorkerAllocationFailure();
        if (t->task != nullptr)
            t->task(i, g->sharedData, t->perThreadData);
        g->done[i].pass.store(seen, std::memory_order_seq_cst);
        if (g->mainSleeping.load(std::memory_order_seq_cst) != 0)
            futexWake(g->done[i].pass, 1);
    }
}

// Releases the started workers into the quit path and joins them, so that no
// worker can still be reading the group once it is freed.
void stopWorkers(ThreadGroup *g)
{
    const int32_t started = g->nThreadsStarted;
    if (started == 0)
        return;
    g->quit.store(1, std::memory_order_release);
    startPass(g, g->pass.load(std::memory_order_relaxed) + 1);
    for (int32_t i = 1; i <= started; ++i)
        joinHelperThread(g->tasks[i].thread);
    g->quit.store(0, std::memory_order_relaxed);
    g->nThreadsStarted = 0;
}

void freeGroup(ThreadGroup *g)
{
    if (g->done != nullptr)
        deallocArray(g->done);
    deallocArray(g->tasks);
    deallocBlockAligned(g->perThreadData);
    g->~ThreadGroup();
    deallocBlock(g);
}

std::atomic<bool> gThreadsRefused{false};

ThreadGroup *failCreation(ThreadGroup *g, int32_t n, bool report = true)
{
    if (g != nullptr) {
        stopWorkers(g);
        freeGroup(g);
    }
    if (!report)
        return nullptr;
    qel_errorMsg(0,
                 "Attempt to create %d multithreaded tasks failed.  Either reduce the number of threads or "
                 "disable multithreading.",
                 n);
    return nullptr;
}

}  // namespace

void futexWait(std::atomic<uint32_t> &word, uint32_t old)
{
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT_PRIVATE, old, nullptr, nullptr, 0);
}

void futexWake(std::atomic<uint32_t> &word, int count)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

ThreadGroup *createThreadGroup(int32_t n, void *sharedData, size_t perThreadSize)
{
    ThreadGroup *g = tryCreateThreadGroup(n, sharedData, perThreadSize);
    return g != nullptr ? g : failCreation(nullptr, n);
}

ThreadGroup *tryCreateThreadGroup(int32_t n, void *sharedData, size_t perThreadSize)
{
    if (n < 1)
        return nullptr;

    void *mem = allocBlock(sizeof(ThreadGroup));
    if (mem == nullptr)
        return nullptr;
    auto *g = new (mem) ThreadGroup();
    g->nThreads = n;
    g->sharedData = sharedData;
    g->tasks = allocArrayOf<MThreadTask>(static_cast<uint64_t>(n));
    uint64_t dataSize = 0;
    if (perThreadSize != 0) {
        if (!checkedSizeProduct(static_cast<uint64_t>(n), perThreadSize, &dataSize))
            return failCreation(g, n, false);
        g->perThreadData = allocBlockAligned(dataSize);
    }
    bool ok = g->tasks != nullptr && (perThreadSize == 0 || g->perThreadData != nullptr);
    if (ok) {
        g->done = static_cast<DoneFlag *>(allocArray(sizeof(DoneFlag), static_cast<uint64_t>(n)));
        ok = g->done != nullptr;
        for (int32_t i = 0; ok && i < n; ++i)
            new (&g->done[i]) DoneFlag{};
    }
    if (!ok)
        return failCreation(g, n, false);

    for (int32_t i = 0; i < n; ++i) {
        MThreadTask *t = &g->tasks[i];
        t->threadIndex = static_cast<uint32_t>(i);
        t->group = g;
        t->perThreadData =
            perThreadSize != 0 ? static_cast<char *>(g->perThreadData) + static_cast<size_t>(i) * perThreadSize
                               : nullptr;
    }
    // Workers are started in index order, so the started ones are always
    // 1..nThreadsStarted and a partial start can be stopped cleanly.
    for (int32_t i = 1; i < n; ++i) {
        if (!startHelperThread(&g->tasks[i].thread, workerMain, &g->tasks[i]))
            return failCreation(g, n, false);
        g->nThreadsStarted = i;
    }
    return g;
}

ThreadGroup *destroyThreadGroup(ThreadGroup *group)
{
    if (group != nullptr) {
        stopWorkers(group);
        freeGroup(group);
    }
    return nullptr;
}

void setMThreadTaskFunction(ThreadGroup *group, int32_t i, MThreadTaskFxn fxn)
{
    if (group != nullptr && i >= 0 && i < group->nThreads)
        group->tasks[i].task = fxn;
}

void *getDataForMThreadTask(ThreadGroup *group, int32_t i)
{
    if (group == nullptr || i < 0 || i >= group->nThreads)
        return nullptr;
    return group->tasks[i].perThreadData;
}

int32_t getMThreadNumTasks(const ThreadGroup *group) { return group != nullptr ? group->nThreads : 0; }

void startThreadGroup(ThreadGroup *group)
{
    const uint32_t pass = group->pass.load(std::memory_order_relaxed) + 1;
    startPass(group, pass);
    MThreadTask *t0 = &group->tasks[0];
    if (t0->task != nullptr)
        t0->task(0, group->sharedData, t0->perThreadData);
    waitForWorkers(group, pass);
}

// ---------------------------------------------------------------------------
// Processors

namespace {
std::atomic<bool> gProcessorCountUnknown{false};
}

void qel_setProcessorCountUnknown(bool unknown) { gProcessorCountUnknown.store(unknown); }

int32_t countProcessors(int32_t *threadsPerCore)
{
    if (threadsPerCore != nullptr)
        *threadsPerCore = 1;
    if (gProcessorCountUnknown.load(std::memory_order_relaxed))
        return 0;
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int32_t>(n) : 0;
}

uint64_t getProcessorInfo()
{
    static const uint64_t info = [] {
        auto n = static_cast<uint32_t>(countProcessors(nullptr));
        return static_cast<uint64_t>(n) | (static_cast<uint64_t>(n) << 32);
    }();
    return gProcessorCountUnknown.load(std::memory_order_relaxed) ? 0 : info;
}

int32_t availableProcessors()
{
    const int32_t online = countProcessors(nullptr);
    cpu_set_t set;
    CPU_ZERO(&set);
    const int allowed = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
    if (online > 0 && allowed > 0)
        return std::min(online, allowed);
    return std::max({online, allowed, 1});
}

void showMultithreadingStatus(int32_t n)
{
    if (n != 1)
        qel_printf("Using %d parallel threads", n);
    else
        qel_printf("Using 1 thread");
    const uint64_t info = getProcessorInfo();
    const auto physical = static_cast<int32_t>(info & 0xFFFFFFFFu);
    const auto logical = static_cast<int32_t>(info >> 32);
    if (logical > 0) {
        if (logical > physical)
            qel_printf(" on %d physical (%d logical) processors", physical, logical);
        else
            qel_printf(" on %d processor%s", physical, physical == 1 ? "" : "s");
    }
    qel_printf("\n");
}

// ---------------------------------------------------------------------------
// Secondary threads and task identity of the single-process program

int runSecondaryThread(SecondaryThreadFxn fxn, void *arg) { return fxn(arg); }

int runOutputThread(SecondaryThreadFxn fxn, void *arg)
{
    setOutputActive(true);
    int rc = runSecondaryThread(fxn, arg);
    setOutputActive(false);
    return rc;
}

int getTaskID() { return 0; }
const char *taskIDstring() { return "master"; }
bool runningAsSlave() { return false; }
bool runningParallel() { return true; }

void qel_setThreadStartFailureCountdown(int32_t count)
{
    gThreadStartCountdown.store(count, std::memory_order_relaxed);
}

namespace {

// The stacks of the helper threads running, each given back at its join.
struct HelperStack {
    pthread_t thread;
    void *base;
    size_t bytes;
};
std::mutex gStacksMutex;
std::vector<HelperStack> gStacks;

}  // namespace

bool startHelperThread(pthread_t *thread, void *(*fxn)(void *), void *arg)
{
    const int32_t left = gThreadStartCountdown.load(std::memory_order_relaxed);
    if (left >= 0) {
        gThreadStartCountdown.store(left - 1, std::memory_order_relaxed);
        if (left == 0)
            return false;
    }
    // The size the C library would give, with a guard page below.
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    size_t size = 0;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (pthread_attr_getstacksize(&attr, &size) != 0)
        size = 0;
    size = std::max(size, static_cast<size_t>(PTHREAD_STACK_MIN));
    size = (size + page - 1) / page * page;
    void *base = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    bool started = base != MAP_FAILED && mprotect(base, page, PROT_NONE) == 0 &&
                   pthread_attr_setstack(&attr, static_cast<char *>(base) + page, size) == 0;
    if (started) {
        try {
            const std::lock_guard<std::mutex> hold(gStacksMutex);
            gStacks.push_back({pthread_t{}, base, size + page});
            const HelperThreadSignalMask mask;
            started = pthread_create(thread, &attr, fxn, arg) == 0;
            if (started)
                gStacks.back().thread = *thread;
            else
                gStacks.pop_back();
        } catch (const std::bad_alloc &) {
            started = false;
        }
    }
    pthread_attr_destroy(&attr);
    if (!started && base != MAP_FAILED)
        munmap(base, size + page);
    return started;
}

void joinHelperThread(pthread_t thread)
{
    pthread_join(thread, nullptr);
    const std::lock_guard<std::mutex> hold(gStacksMutex);
    for (size_t i = 0; i < gStacks.size(); ++i)
        if (pthread_equal(gStacks[i].thread, thread)) {
            munmap(gStacks[i].base, gStacks[i].bytes);
            gStacks.erase(gStacks.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

bool threadsRefusedInCommand() { return gThreadsRefused.load(std::memory_order_relaxed); }
void noteThreadsRefused() { gThreadsRefused.store(true, std::memory_order_relaxed); }
void clearThreadsRefused() { gThreadsRefused.store(false, std::memory_order_relaxed); }
