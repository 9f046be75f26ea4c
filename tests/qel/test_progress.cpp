#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "qel/io_test_support.h"
#include "qel/qel_malloc.h"
#include "qel/qel_progress.h"

namespace {

using iotest::gOut;

constexpr const char *kStopQuestion = "Do you really want to stop the search?";

class ProgressTest : public iotest::IoFixture {
protected:
    void TearDown() override
    {
        setRunningAsMaster(true);
        qel_setAllocFailureCountdown(-1);
        clearMemoryErrorStatus();
        iotest::IoFixture::TearDown();
    }
    static void interrupt() { setAbortFlag(SIGINT); }
};

TEST_F(ProgressTest, CountsAndMaximumFollowTheUpdates)
{
    ProgData *pd = createProgressWindow(10, 0, "Reading trees");
    ASSERT_NE(pd, nullptr);
    EXPECT_EQ(getProgressValue(pd), 0u);
    EXPECT_EQ(getMaxProgress(pd), 10u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(incrementProgressValue(pd), kProgressContinue);
    EXPECT_EQ(getProgressValue(pd), 3u);
    EXPECT_EQ(setProgressValue(pd, 7), kProgressContinue);
    EXPECT_EQ(incrementProgressValue(pd), kProgressContinue);
    EXPECT_EQ(getProgressValue(pd), 8u);

    resetMaxProgressValue(pd, 50);
    EXPECT_EQ(getMaxProgress(pd), 50u);
    EXPECT_EQ(getProgressValue(pd), 8u);
    setNoProgress(pd);
    EXPECT_EQ(getProgressValue(pd), 0u);
    EXPECT_EQ(getMaxProgress(pd), 50u);
    setProgressValue(pd, 4);
    resetProgressWindow(pd, 20, "Second pass");
    EXPECT_EQ(getProgressValue(pd), 0u);
    EXPECT_EQ(getMaxProgress(pd), 20u);

    // Nothing is drawn in the terminal program, titles included.
    hideProgressWindow(pd);
    EXPECT_TRUE(gOut.empty());
    EXPECT_EQ(destroyProgressWindow(pd), nullptr);
}

TEST_F(ProgressTest, NullRecordsAreHarmless)
{
    EXPECT_EQ(getProgressValue(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(getMaxProgress(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(destroyProgressWindow(nullptr), nullptr);
    EXPECT_EQ(deallocProgData(nullptr), nullptr);
    EXPECT_EQ(initProgress(nullptr, 5, 0, "x", nullptr), 1);
    resetProgressWindow(nullptr, 3, nullptr);
    resetMaxProgressValue(nullptr, 3);
    setNoProgress(nullptr);
    clearProgressData(nullptr);
    setProtectedProgressValue(nullptr);
    hideProgressWindow(nullptr);
    EXPECT_EQ(incrementProgressValue(nullptr), kProgressContinue);
    EXPECT_EQ(getLongOperationStatus(), 0);
}

TEST_F(ProgressTest, InterruptStopsAnAbortableOperation)
{
    ProgData *pd = createProgressWindow(100, 0, nullptr);
    ASSERT_NE(pd, nullptr);
    EXPECT_EQ(getLongOperationStatus(), -1);
    EXPECT_EQ(incrementProgressValue(pd), kProgressContinue);
    interrupt();
    // The update is still counted, and the flag stays up so that callers
    // further out see the interrupt too.
    EXPECT_EQ(incrementProgressValue(pd), kProgressAborted);
    EXPECT_EQ(getProgressValue(pd), 2u);
    EXPECT_EQ(setProgressValue(pd, 9), kProgressAborted);
    EXPECT_EQ(getAbortedStatus(), 1);
    // A progress display stops without asking.
    EXPECT_EQ(gOut.find(kStopQuestion), std::string::npos);
    destroyProgressWindow(pd);
}

TEST_F(ProgressTest, NotAbortableOperationDiscardsTheInterrupt)
{
    ProgData *pd = createProgressWindow(100, kProgressNotAbortable, nullptr);
    ASSERT_NE(pd, nullptr);
    interrupt();
    EXPECT_EQ(setProgressValue(pd, 1), kProgressContinue);
    EXPECT_EQ(getAbortedStatus(), 0);
    interrupt();
    EXPECT_EQ(incrementProgressValue(pd), kProgressContinue);
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_EQ(getProgressValue(pd), 2u);
    // Other flag bits do not turn the abort decision off.
    EXPECT_EQ(initProgress(pd, 5, 1 | 2 | 4 | 8 | 32, nullptr, nullptr), 0);
    interrupt();
    EXPECT_EQ(incrementProgressValue(pd), kProgressAborted);
    finishProgress(pd);
    destroyProgressWindow(pd);
}

TEST_F(ProgressTest, InterruptBeforeCreationIsForgotten)
{
    interrupt();
    ProgData *pd = createProgressWindow(3, 0, nullptr);
    ASSERT_NE(pd, nullptr);
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_EQ(incrementProgressValue(pd), kProgressContinue);
    destroyProgressWindow(pd);
}

TEST_F(ProgressTest, NestedOperationsRestoreTheirCallersStatus)
{
    setLongOperationStatus(1);  // a search is running
    ProgData *outer = createProgressWindow(10, 0, nullptr);
    EXPECT_EQ(getLongOperationStatus(), -1);
    setLongOperationStatus(0);
    ProgData *inner = createProgressWindow(10, kProgressNotAbortable, nullptr);
    EXPECT_EQ(getLongOperationStatus(), -1);
    destroyProgressWindow(inner);
    EXPECT_EQ(getLongOperationStatus(), 0);
    destroyProgressWindow(outer);
    EXPECT_EQ(getLongOperationStatus(), 1);
}

TEST_F(ProgressTest, PositiveStatusAsksTheUserBeforeStopping)
{
    ProgData *pd = createProgressWindow(10, 0, nullptr);
    ASSERT_NE(pd, nullptr);
    // A search that shows a progress record sets its own status back.
    setLongOperationStatus(1);
    type("n\ny\n");
    interrupt();
    EXPECT_EQ(incrementProgressValue(pd), kProgressContinue);
    EXPECT_EQ(getAbortedStatus(), 0);
    EXPECT_EQ(incrementProgressValue(pd), kProgressContinue);

    interrupt();
    EXPECT_EQ(incrementProgressValue(pd), kProgressAborted);
    // Once confirmed, later updates stop at once without a second question.
    EXPECT_EQ(incrementProgressValue(pd), kProgressAborted);
    size_t asked = 0;
    for (size_t at = gOut.find(kStopQuestion); at != std::string::npos;
         at = gOut.find(kStopQuestion, at + 1))
        ++asked;
    EXPECT_EQ(asked, 2u);
    EXPECT_EQ(getProgressValue(pd), 4u);
    destroyProgressWindow(pd);
    EXPECT_EQ(getLongOperationStatus(), 0);
}

TEST_F(ProgressTest, ThreadsNeverLoseCounts)
{
    constexpr int kThreads = 8;
    constexpr uint32_t kEach = 50000;
    ProgData *pd = createProgressWindow(kThreads * kEach, 0, nullptr);
    ASSERT_NE(pd, nullptr);
    setProtectedProgressValue(pd);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([pd] {
            for (uint32_t i = 0; i < kEach; ++i)
                if (incrementProgressValue(pd) != kProgressContinue)
                    return;
        });
    // A reader on the main thread meanwhile sees counts that only grow.
    uint32_t last = 0;
    for (int i = 0; i < 1000; ++i) {
        uint32_t now = getProgressValue(pd);
        EXPECT_GE(now, last);
        last = now;
    }
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(getProgressValue(pd), kThreads * kEach);
    destroyProgressWindow(pd);
}

TEST_F(ProgressTest, ThreadsAllSeeTheInterruptWithoutAQuestion)
{
    constexpr int kThreads = 4;
    ProgData *pd = createProgressWindow(0, 0, nullptr);
    ASSERT_NE(pd, nullptr);
    setProtectedProgressValue(pd);
    setLongOperationStatus(1);  // would ask, were the record not shared
    std::vector<int> stoppedAfter(kThreads, -1);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([pd, t, &stoppedAfter] {
            for (int i = 0; i < 10000000; ++i)
                if (incrementProgressValue(pd) == kProgressAborted) {
                    stoppedAfter[t] = i;
                    return;
                }
        });
    while (getProgressValue(pd) < 1000)
        std::this_thread::yield();
    interrupt();
    for (auto &w : workers)
        w.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_GE(stoppedAfter[t], 0) << "thread " << t;
    EXPECT_EQ(gOut.find(kStopQuestion), std::string::npos);
    EXPECT_TRUE(iotest::gErrorCodes.empty());
    destroyProgressWindow(pd);
}

TEST_F(ProgressTest, FailedCreationLeavesTheRunAlone)
{
    setLongOperationStatus(1);
    interrupt();
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(createProgressWindow(10, 0, nullptr), nullptr);
    EXPECT_TRUE(memoryErrorHasOccurred());
    EXPECT_EQ(getLongOperationStatus(), 1);
    EXPECT_EQ(getAbortedStatus(), 1);
}

TEST_F(ProgressTest, StatusLineHooksDoNothing)
{
    setStatusText("Tree %u of %u", 3u, 4u);
    EXPECT_TRUE(pushStatusText());
    clearStatusText();
    EXPECT_TRUE(gOut.empty());
}

}  // namespace
