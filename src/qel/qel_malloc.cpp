#include "qel/qel_malloc.h"

#include <cstdlib>
#include <cstring>

#include "qel/qel_errormsg.h"
#include "qel/qel_output.h"
#include "qel/qel_threadscratch.h"

#include <atomic>

namespace {

// The calling thread's state; worker threads keep their own (see
// WorkerAllocations), so that one worker running out of memory neither
// prints from a thread the output engine does not serve nor makes the
// allocations of the others fail where their code does not expect it.
std::atomic<bool> gMemAllocFailed{false};
bool gQuietFailure = false;
MemFailureMsgFxn gMemoryFailureMsgFxn = nullptr;
std::atomic<int64_t> gFailureCountdown{-1};
std::atomic<int64_t> gWorkerFailureCountdown{-1};

struct WorkerState {
    bool worker = false;
    bool failed = false;
};
thread_local WorkerState tWorker;
// MemoryFailureHeld: used on the thread that talks to the user only.
int gHoldDepth = 0;
bool gHeldFailure = false;

// One step of a countdown: true when it has run out (it is then off).
bool countedDown(std::atomic<int64_t> &countdown)
{
    int64_t left = countdown.load(std::memory_order_relaxed);
    while (left >= 0)
        if (countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
            return left == 0;
    return false;
}

// The forced-failure hooks are consulted before every platform allocation,
// each on its own kind of thread.
bool forcedFailure() { return countedDown(tWorker.worker ? gWorkerFailureCountdown : gFailureCountdown); }

bool failedHere() { return tWorker.worker ? tWorker.failed : gMemAllocFailed.load(std::memory_order_relaxed); }

}  // namespace

WorkerAllocations::WorkerAllocations() { tWorker = {true, false}; }
WorkerAllocations::~WorkerAllocations()
{
    releaseThreadScratch();
    tWorker = {};
}
bool workerAllocationFailed() { return tWorker.worker && tWorker.failed; }
void clearWorkerAllocationFailure() { tWorker.failed = false; }
int64_t qel_setWorkerAllocFailureCountdown(int64_t countdown) { return gWorkerFailureCountdown.exchange(countdown); }
bool qel_allocationForcedToFail() { return forcedFailure(); }

namespace {

void *platformCalloc(uint64_t size)
{
    if (forcedFailure() || size > SIZE_MAX)
        return nullptr;
    return std::calloc(1, static_cast<size_t>(size));
}

void *platformAlignedZeroed(uint64_t size)
{
    if (forcedFailure() || size > SIZE_MAX - 16)
        return nullptr;
    // aligned_alloc needs a size that is a multiple of the alignment.
    size_t rounded = (static_cast<size_t>(size) + 15u) & ~size_t{15};
    void *p = std::aligned_alloc(16, rounded);
    if (p)
        std::memset(p, 0, rounded);
    return p;
}

void *platformRealloc(void *block, uint64_t size)
{
    if (forcedFailure() || size > SIZE_MAX)
        return nullptr;
    return std::realloc(block, static_cast<size_t>(size));
}

}  // namespace

void stdMemFailureMsgFxn()
{
    bool previous = setOutputEventChecking(false);
    qel_printf("%s", kMemFailureMessage);
    setOutputEventChecking(previous);
}

void reportMemoryFailure()
{
    // A worker's failure is its own, told by its result to the thread
    // that talks to the user.
    if (tWorker.worker) {
        tWorker.failed = true;
        return;
    }
    if (gMemAllocFailed.load(std::memory_order_relaxed))
        return;
    if (gHoldDepth > 0) {
        gHeldFailure = true;
        gMemAllocFailed = true;
        return;
    }
    if (!gMemoryFailureMsgFxn)
        gMemoryFailureMsgFxn = stdMemFailureMsgFxn;
    gMemoryFailureMsgFxn();
    gMemAllocFailed = true;
}

bool checkedSizeProduct(uint64_t a, uint64_t b, uint64_t *result)
{
    return !__builtin_mul_overflow(a, b, result);
}

void *allocBlock(uint64_t size)
{
    if (size == 0 || failedHere())
        return nullptr;
    void *p = platformCalloc(size);
    if (!p && !gQuietFailure)
        reportMemoryFailure();
    return p;
}

void *allocBlockAligned(uint64_t size)
{
    if (size == 0 || failedHere())
        return nullptr;
    void *p = platformAlignedZeroed(size);
    if (!p && !gQuietFailure)
        reportMemoryFailure();
    return p;
}

void *deallocBlock(void *block)
{
    std::free(block);
    return nullptr;
}

void *deallocBlockAligned(void *block)
{
    std::free(block);
    return nullptr;
}

namespace {

// count elements through `alloc`; an empty array is null, a size that does
// not fit is reported as a memory failure.
void *allocCheckedArray(uint64_t elementSize, uint64_t count, void *(*alloc)(uint64_t))
{
    uint64_t bytes;
    if (count == 0 || elementSize == 0)
        return nullptr;
    if (!checkedSizeProduct(elementSize, count, &bytes)) {
        reportMemoryFailure();
        return nullptr;
    }
    return alloc(bytes);
}

}  // namespace

void *allocArray(uint64_t elementSize, uint64_t count)
{
    return allocCheckedArray(elementSize, count, allocBlock);
}

void *allocArrayAligned(uint64_t elementSize, uint64_t count)
{
    return allocCheckedArray(elementSize, count, allocBlockAligned);
}

void *deallocArray(void *array) { return deallocBlock(array); }
void *deallocArrayAligned(void *array) { return deallocBlockAligned(array); }

void *cloneArray(const void *source, uint64_t elementSize, uint64_t count)
{
    if (!source)
        return nullptr;
    void *copy = allocArray(elementSize, count);
    if (copy)
        std::memcpy(copy, source, static_cast<size_t>(elementSize * count));
    return copy;
}

void **allocArrayofBlocks(uint32_t n, uint64_t blockSize, bool aligned)
{
    auto **array = static_cast<void **>(allocArray(sizeof(void *), n));
    if (!array)
        return nullptr;
    for (uint32_t i = 0; i < n; i++) {
        array[i] = aligned ? allocBlockAligned(blockSize) : allocBlock(blockSize);
        if (!array[i])
            return deallocArrayofBlocks(array, i, aligned);
    }
    return array;
}

void **deallocArrayofBlocks(void **array, uint32_t n, bool aligned)
{
    if (!array)
        return nullptr;
    for (uint32_t i = 0; i < n; i++)
        aligned ? deallocBlockAligned(array[i]) : deallocBlock(array[i]);
    deallocArray(array);
    return nullptr;
}

int reallocBlock(void **ptrVar, uint64_t newSize)
{
    void *p = platformRealloc(*ptrVar, newSize);
    if (!p) {
        reportMemoryFailure();
        return 1;
    }
    *ptrVar = p;
    return 0;
}

int reallocArray(void **ptrVar, uint64_t newCount, uint64_t elementSize, uint64_t oldCount)
{
    if (newCount == 0 || elementSize == 0) {
        deallocBlock(*ptrVar);
        *ptrVar = nullptr;
        return 0;
    }
    uint64_t bytes;
    if (!checkedSizeProduct(newCount, elementSize, &bytes)) {
        reportMemoryFailure();
        return 1;
    }
    bool fresh = *ptrVar == nullptr;
    if (reallocBlock(ptrVar, bytes) != 0)
        return 1;
    if (fresh) {
        // A first allocation through realloc must still be zero-filled.
        std::memset(*ptrVar, 0, static_cast<size_t>(bytes));
    } else if (oldCount != 0 && newCount > oldCount) {
        auto *base = static_cast<unsigned char *>(*ptrVar);
        std::memset(base + oldCount * elementSize, 0,
                    static_cast<size_t>((newCount - oldCount) * elementSize));
    }
    return 0;
}

bool memoryErrorHasOccurred() { return failedHere(); }
bool checkMemoryError() { return failedHere(); }
void clearMemoryErrorStatus()
{
    gMemAllocFailed = false;
    gHeldFailure = false;
}

MemoryFailureHeld::MemoryFailureHeld() { ++gHoldDepth; }

MemoryFailureHeld::~MemoryFailureHeld()
{
    if (--gHoldDepth > 0 || !gHeldFailure)
        return;
    gHeldFailure = false;
    // Told as reportMemoryFailure would have told it.
    gMemAllocFailed = false;
    reportMemoryFailure();
}
void installMemFailureMsgFxn(MemFailureMsgFxn fxn) { gMemoryFailureMsgFxn = fxn; }
void setAllocQuietFailure(bool flag) { gQuietFailure = flag; }
int64_t qel_setAllocFailureCountdown(int64_t countdown) { return gFailureCountdown.exchange(countdown); }
