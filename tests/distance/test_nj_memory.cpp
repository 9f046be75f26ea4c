// Clustering data that cannot be allocated: NJ and UPGMA must report the
// memory failure as every other allocation does, not fail in silence. The
// test binary's operator new fails on request, after a given number of
// further allocations.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "distance/nj.h"
#include "qel/qel_malloc.h"

namespace {
std::atomic<long> gNewsBeforeFailure{-1};  // -1: never fail
}  // namespace

void *operator new(std::size_t size)
{
    if (gNewsBeforeFailure.load() == 0)
        throw std::bad_alloc();
    if (gNewsBeforeFailure.load() > 0)
        --gNewsBeforeFailure;
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return ::operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept { return ::operator new(size, tag); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

int gBanners = 0;
void countBanner() { ++gBanners; }

TEST(NJMemoryTest, ClusteringDataThatCannotBeAllocatedIsReported)
{
    installMemFailureMsgFxn(countBanner);
    // The record itself (a nothrow new), then each of its arrays.
    for (long allowed : {0L, 1L, 2L, 4L}) {
        for (bool upgma : {false, true}) {
            clearMemoryErrorStatus();
            gBanners = 0;
            gNewsBeforeFailure = allowed;
            ClustData *cd = createClustData(nullptr, nullptr, upgma, 64, true, false);
            gNewsBeforeFailure = -1;
            EXPECT_EQ(cd, nullptr) << allowed;
            EXPECT_EQ(gBanners, 1) << allowed << (upgma ? " UPGMA" : " NJ");
            EXPECT_TRUE(memoryErrorHasOccurred());
            destroyClustData(cd);
        }
    }
    clearMemoryErrorStatus();
    installMemFailureMsgFxn(stdMemFailureMsgFxn);
    // Given the memory, the record is made.
    ClustData *cd = createClustData(nullptr, nullptr, false, 64, true, false);
    EXPECT_NE(cd, nullptr);
    destroyClustData(cd);
}

}  // namespace
