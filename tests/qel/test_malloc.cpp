#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "alloc_test_support.h"
#include "capture_test_support.h"

namespace {

using alloctest::gReports;
using captest::gCaptured;

// A counting reporter, so a test can tell how often the message would have
// been printed.
class MallocTest : public alloctest::AllocFailureTest {
protected:
    MallocTest() : AllocFailureTest(alloctest::countingReport) {}
};

TEST_F(MallocTest, BlocksAreZeroFilledAndAligned)
{
    auto *p = static_cast<unsigned char *>(allocBlock(100));
    auto *q = static_cast<unsigned char *>(allocBlockAligned(37));
    ASSERT_NE(p, nullptr);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % 16, 0u);
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(p[i], 0);
    for (int i = 0; i < 37; i++)
        EXPECT_EQ(q[i], 0);
    EXPECT_EQ(deallocBlock(p), nullptr);
    EXPECT_EQ(deallocBlockAligned(q), nullptr);
}

TEST_F(MallocTest, ZeroSizesAreNotFailures)
{
    EXPECT_EQ(allocArray(8, 0), nullptr);
    EXPECT_EQ(allocArray(0, 8), nullptr);
    EXPECT_EQ(allocBlock(0), nullptr);
    EXPECT_FALSE(memoryErrorHasOccurred());
    EXPECT_EQ(gReports, 0);
}

TEST_F(MallocTest, OverflowingProductIsAFailureNotASmallBlock)
{
    EXPECT_EQ(allocArray(UINT64_C(1) << 33, UINT64_C(1) << 33), nullptr);
    EXPECT_TRUE(memoryErrorHasOccurred());
    EXPECT_EQ(gReports, 1);
    void *p = allocBlock(8);
    EXPECT_EQ(reallocArray(&p, UINT64_MAX / 2, 4, 0), 1);
    EXPECT_EQ(p, nullptr);
}

TEST_F(MallocTest, FailureIsStickyAndReportedOnce)
{
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(allocBlock(16), nullptr);
    EXPECT_TRUE(memoryErrorHasOccurred());
    EXPECT_EQ(gReports, 1);
    // Later allocations fail at once, without a second report.
    EXPECT_EQ(allocBlock(1), nullptr);
    EXPECT_EQ(allocArrayAligned(8, 4), nullptr);
    EXPECT_EQ(gReports, 1);
    clearMemoryErrorStatus();
    void *p = allocBlock(1);
    EXPECT_NE(p, nullptr);
    deallocBlock(p);
}

TEST_F(MallocTest, HeldFailureIsToldOnlyWhenNotRecoveredFrom)
{
    // Recovered from (the state cleared inside): never told.
    {
        const MemoryFailureHeld held;
        qel_setAllocFailureCountdown(0);
        EXPECT_EQ(allocBlock(16), nullptr);
        EXPECT_TRUE(memoryErrorHasOccurred());
        EXPECT_EQ(allocBlock(1), nullptr);  // sticky while held, too
        clearMemoryErrorStatus();
    }
    EXPECT_EQ(gReports, 0);
    EXPECT_FALSE(memoryErrorHasOccurred());
    // Still standing when the outermost hold ends: told then, once.
    {
        const MemoryFailureHeld outer;
        {
            const MemoryFailureHeld inner;
            qel_setAllocFailureCountdown(0);
            EXPECT_EQ(allocBlock(16), nullptr);
        }
        EXPECT_EQ(gReports, 0);
    }
    EXPECT_EQ(gReports, 1);
    EXPECT_TRUE(memoryErrorHasOccurred());
}

TEST_F(MallocTest, QuietFailureNeitherReportsNorSetsTheFlag)
{
    setAllocQuietFailure(true);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(allocBlock(16), nullptr);
    setAllocQuietFailure(false);
    EXPECT_FALSE(memoryErrorHasOccurred());
    EXPECT_EQ(gReports, 0);
}

TEST_F(MallocTest, StandardReportGoesThroughThePrintHookOnce)
{
    gCaptured.clear();
    PrintHook saved = qel_printf;
    qel_printf = captest::capturePrint;
    installMemFailureMsgFxn(stdMemFailureMsgFxn);
    qel_setAllocFailureCountdown(0);
    allocBlock(4);
    allocBlock(4);
    qel_printf = saved;
    EXPECT_EQ(gCaptured, kMemFailureMessage);
}

TEST_F(MallocTest, ArrayOfBlocksFreesEverythingOnPartialFailure)
{
    qel_setAllocFailureCountdown(3);  // the pointer array and two blocks succeed
    EXPECT_EQ(allocArrayofBlocks(5, 64, true), nullptr);
    EXPECT_TRUE(memoryErrorHasOccurred());  // ASan reports a leak if pieces stay
}

TEST_F(MallocTest, ReallocArrayClearsTheGrownPart)
{
    auto *a = allocArrayOf<int64_t>(4);
    for (int i = 0; i < 4; i++)
        a[i] = i + 1;
    ASSERT_EQ(reallocArrayOf(&a, 6, 4), 0);
    EXPECT_EQ(a[3], 4);
    EXPECT_EQ(a[4], 0);
    EXPECT_EQ(a[5], 0);
    ASSERT_EQ(reallocArrayOf(&a, 0, 6), 0);
    EXPECT_EQ(a, nullptr);
    // A first allocation through realloc is zero-filled too.
    ASSERT_EQ(reallocArrayOf(&a, 1000, 0), 0);
    for (int i = 0; i < 1000; i++)
        ASSERT_EQ(a[i], 0);
    deallocArray(a);
}

TEST_F(MallocTest, FailedReallocLeavesTheVariableUnchanged)
{
    void *p = allocBlock(8);
    void *before = p;
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(reallocBlock(&p, 64), 1);
    EXPECT_EQ(p, before);
    deallocBlock(p);
}

TEST_F(MallocTest, CloneCopiesBytes)
{
    const int src[3] = {7, 8, 9};
    auto *copy = static_cast<int *>(cloneArray(src, sizeof(int), 3));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[0], 7);
    EXPECT_EQ(copy[2], 9);
    deallocArray(copy);
    EXPECT_EQ(cloneArray(nullptr, 4, 3), nullptr);
}

}  // namespace
