#include "qel/qel_threadscratch.h"

#include <new>

namespace {

struct Listed {
    void *holder;
    ThreadScratchRelease release;
};
// More than the program's scratch objects: a full list is a fault found by
// the first thread that fills it.
constexpr uint32_t kMostListed = 64;
thread_local Listed tListed[kMostListed];
thread_local uint32_t tCount = 0;

}  // namespace

void listThreadScratch(void *holder, ThreadScratchRelease release)
{
    if (tCount == kMostListed)
        throw std::bad_alloc();
    tListed[tCount++] = {holder, release};
}

void releaseThreadScratch()
{
    while (tCount > 0) {
        const Listed &l = tListed[--tCount];
        l.release(l.holder);
    }
}

uint32_t threadScratchCount() { return tCount; }
