// Memory blocks and the sticky allocation-failure state.
//
// Every block handed out is zero-filled. The first failed allocation prints
// one message and sets a flag; from then on every allocation fails at once
// until clearMemoryErrorStatus() runs (the command loop does so before each
// command). Callers allocate a group of records, test
// memoryErrorHasOccurred() once and unwind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

using MemFailureMsgFxn = void (*)();

void *allocBlock(uint64_t size);
void *allocBlockAligned(uint64_t size);  // 16-byte aligned
void *deallocBlock(void *block);
void *deallocBlockAligned(void *block);

void *allocArray(uint64_t elementSize, uint64_t count);
void *allocArrayAligned(uint64_t elementSize, uint64_t count);
void *deallocArray(void *array);
void *deallocArrayAligned(void *array);
void *cloneArray(const void *source, uint64_t elementSize, uint64_t count);

void **allocArrayofBlocks(uint32_t n, uint64_t blockSize, bool aligned);
void **deallocArrayofBlocks(void **array, uint32_t n, bool aligned);

// Resize the block held in *ptrVar. 0 on success, 1 on failure (the
// variable is left unchanged).
int reallocBlock(void **ptrVar, uint64_t newSize);
// Resize an array; the elements from oldCount up to newCount are cleared
// when oldCount is nonzero. newCount 0 frees the block and nulls *ptrVar.
int reallocArray(void **ptrVar, uint64_t newCount, uint64_t elementSize, uint64_t oldCount);

// Typed conveniences over the untyped allocators.
template <typename T>
T *allocArrayOf(uint64_t count) { return static_cast<T *>(allocArray(sizeof(T), count)); }
template <typename T>
int reallocArrayOf(T **ptrVar, uint64_t newCount, uint64_t oldCount)
{
    void *p = *ptrVar;
    int rc = reallocArray(&p, newCount, sizeof(T), oldCount);
    *ptrVar = static_cast<T *>(p);
    return rc;
}

bool memoryErrorHasOccurred();
bool checkMemoryError();
void clearMemoryErrorStatus();
void installMemFailureMsgFxn(MemFailureMsgFxn fxn);
void setAllocQuietFailure(bool flag);
void stdMemFailureMsgFxn();

// Runs the failure report (once per episode) and sets the flag; for
// allocators outside this unit that detect failure themselves.
void reportMemoryFailure();

// While an operation can still go on another way after memory ran out
// (with fewer threads, whose stacks take address space too), a failure on
// the thread that talks to the user sets the failure state as always but
// its message waits: an operation that recovers clears the state
// (clearMemoryErrorStatus) and nothing is said; a failure still standing
// when the outermost object ends is told then.
class MemoryFailureHeld {
public:
    MemoryFailureHeld();
    ~MemoryFailureHeld();
    MemoryFailureHeld(const MemoryFailureHeld &) = delete;
    MemoryFailureHeld &operator=(const MemoryFailureHeld &) = delete;
};

// Product of sizes in 64 bits; false when it overflows.
bool checkedSizeProduct(uint64_t a, uint64_t b, uint64_t *result);

// Test hook: after `countdown` further successful platform allocations the
// next one fails as if memory were exhausted. A negative value disables it.
// It counts the allocations of threads other than workers. Returns what was
// left of the countdown it replaces (negative: it had run out, or was off).
int64_t qel_setAllocFailureCountdown(int64_t countdown);
// The same for the allocations of worker threads (all of them together).
int64_t qel_setWorkerAllocFailureCountdown(int64_t countdown);
// One step of the calling thread's countdown, for allocators outside this
// unit that a test makes fail the same way: true when this one is to fail.
bool qel_allocationForcedToFail();

// Runs a command handler: memory that the language's own allocations could
// not get ends the command as a failed allocation here does (the message,
// once, and status 1), not the program.
template <typename Fxn>
int runReportingBadAlloc(Fxn &&fxn)
{
    try {
        return fxn();
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
}

// Marks the calling thread, for the object's life, as a worker: its failed
// allocations print nothing and set a failure state of its own, which its
// allocations and memoryErrorHasOccurred() see (and no other thread's), and
// clearMemoryErrorStatus() leaves alone. Whoever runs work on the worker
// asks workerAllocationFailed() after it and reports the failure on the
// thread that talks to the user, where it is the failure of the operation.
// The thread's scratch (ThreadScratch) is freed as the object ends.
class WorkerAllocations {
public:
    WorkerAllocations();
    ~WorkerAllocations();
    WorkerAllocations(const WorkerAllocations &) = delete;
    WorkerAllocations &operator=(const WorkerAllocations &) = delete;
};
// Whether an allocation failed on this worker thread since its state was
// cleared; false on other threads.
bool workerAllocationFailed();
// Clears this worker's failure state, before it takes up new work.
void clearWorkerAllocationFailure();

inline constexpr const char *kMemFailureMessage =
    "\n********* Memory allocation failed; cannot continue this operation ********* \n\n";
