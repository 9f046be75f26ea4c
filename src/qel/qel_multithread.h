// Thread groups for data-parallel passes, and the secondary-thread runner.
//
// A ThreadGroup of n threads runs one task function per thread per pass. The
// calling thread is thread 0 and does task 0 itself; threads 1..n-1 wait
// between passes for the next start. A waiter spins for a short bounded time, so
// back-to-back passes start and end without a system call, and then blocks
// (futex), so idle workers and a machine busy with other work do not pay for
// the spinning. Results travel through the shared and per-thread data only;
// when startThreadGroup returns, thread 0 sees every worker's writes.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "qel/qel_interrupts.h"

using MThreadTaskFxn = void (*)(uint32_t threadIndex, void *sharedData, void *perThreadData);

struct ThreadGroup;

struct MThreadTask {
    pthread_t thread;
    uint32_t threadIndex;
    MThreadTaskFxn task;
    ThreadGroup *group;
    void *perThreadData;
};

// Each worker's done word owns a cache line, so a worker announcing itself
// does not disturb the line thread 0 is waiting on for another worker.
struct DoneFlag {
    std::atomic<uint32_t> pass;  // the last pass this worker finished
    char pad[60];
};

struct ThreadGroup {
    int32_t nThreads;         // the caller counts as thread 0
    int32_t nThreadsStarted;  // workers running (threads 1..nThreadsStarted)
    void *sharedData;
    MThreadTask *tasks;
    void *perThreadData;      // n slices of the per-thread size, zeroed
    DoneFlag *done;           // one per thread; thread 0's is unused
    // A pass starts when thread 0 steps the pass number; it ends when every
    // worker's done word holds that number. A worker waits only for the next
    // start, never for the other workers, so between passes nothing needs
    // it on a processor.
    char padBefore[64];       // keeps the pass word off the lines written above
    std::atomic<uint32_t> pass;
    // Waiters that stopped spinning: the side that moves the word they wait
    // on makes the wake-up call only when some are asleep.
    std::atomic<uint32_t> sleepingWorkers;
    char padAfter[56];        // and the workers' reads of it off thread 0's flag
    std::atomic<uint8_t> mainSleeping;
    std::atomic<uint8_t> quit;
};

// Null after reporting "Attempt to create %d multithreaded tasks failed..."
// when anything cannot be built or started. More threads than processors
// are allowed: a waiter spins only briefly before it blocks, so workers
// that share a processor hand it to each other.
ThreadGroup *createThreadGroup(int32_t n, void *sharedData, size_t perThreadSize);
// The same, null without a word: for work that can go on on fewer threads.
ThreadGroup *tryCreateThreadGroup(int32_t n, void *sharedData, size_t perThreadSize);
ThreadGroup *destroyThreadGroup(ThreadGroup *group);
void setMThreadTaskFunction(ThreadGroup *group, int32_t i, MThreadTaskFxn fxn);
void *getDataForMThreadTask(ThreadGroup *group, int32_t i);
int32_t getMThreadNumTasks(const ThreadGroup *group);
void startThreadGroup(ThreadGroup *group);

// Physical processors in the low 32 bits, logical in the high 32 bits;
// both 0 when the system cannot tell.
uint64_t getProcessorInfo();
// The online processors, or 0 when the system cannot tell.
int32_t countProcessors(int32_t *threadsPerCore);
// Processors this process may run on (its affinity mask), never above the
// online count; 1 when neither can be told. The thread count of searches
// that choose their own.
int32_t availableProcessors();
// Test hook: while set, the processor count cannot be determined.
void qel_setProcessorCountUnknown(bool unknown);
void showMultithreadingStatus(int32_t n);

using SecondaryThreadFxn = int (*)(void *arg);
int runSecondaryThread(SecondaryThreadFxn fxn, void *arg);
int runOutputThread(SecondaryThreadFxn fxn, void *arg);

int getTaskID();
const char *taskIDstring();
// runningAsMaster() lives with the run modes in qel_interrupts.h.
bool runningAsSlave();
bool runningParallel();

// Test hook: the next `count` worker starts succeed and the one after fails.
// A negative count disables the hook.
void qel_setThreadStartFailureCountdown(int32_t count);

// Starts a helper thread running fxn(arg) with every asynchronous signal
// blocked (signals belong to the thread that talks to the user); false
// when it could not be started (or the test hook above says so).
// The thread runs on a stack of its own making, which joinHelperThread
// gives back to the system: the C library keeps the stacks of ended
// threads of its own making for later threads, so that after a group of
// threads ended for want of memory the address space they took would stay
// taken and the work that goes on alone would run out all the same.
bool startHelperThread(pthread_t *thread, void *(*fxn)(void *), void *arg);
// Waits for a thread begun by startHelperThread to end and frees its stack.
void joinHelperThread(pthread_t thread);

// A command whose helper threads could not be started (short of memory,
// most often) goes on with the calling thread alone; it says so once and
// does not try again in that command. The command loop clears the note
// before each command.
bool threadsRefusedInCommand();
void noteThreadsRefused();
void clearThreadsRefused();

// Waiting for another thread: the processor's pause hint, a bounded spin
// and a block on a futex word, for thread groups and other pools.
inline void cpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Spins until done() or until `bound` has been spent spinning; true when
// done. A stretch between two clock reads longer than 20 us means the
// spinner itself was off its processor and does not count, so that a
// waiter that just got its processor back does not fall asleep at once.
template <typename Done>
bool spinBounded(Done done, std::chrono::steady_clock::duration bound)
{
    constexpr auto kPreempted = std::chrono::microseconds(20);
    if (done())
        return true;
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration spun{};
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            cpuRelax();
            if (done())
                return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last < kPreempted)
            spun += now - last;
        last = now;
        if (spun >= bound)
            return false;
    }
}

// Blocks while `word` holds `old` (or until a wake-up), with the kernel's
// futex directly: the library's atomic wait first spins and yields on its
// own, which on a busy machine hands the processor away for a time slice.
void futexWait(std::atomic<uint32_t> &word, uint32_t old);
void futexWake(std::atomic<uint32_t> &word, int count);
