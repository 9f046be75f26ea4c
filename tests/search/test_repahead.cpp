// Replicates run ahead on worker threads: each result comes from the start
// the caller last gave its replicate, whatever ran before, and a stop keeps
// what the awaited replicate had done.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "search/repahead.h"

namespace {

struct Ran final : AheadRun {
    uint32_t rep = 0;
    uint32_t start = 0;  // the x word of the starting state
    bool calledOff = false;
};

RNG stateOf(uint32_t x)
{
    RNG r{};
    r.x = x;
    return r;
}

void plusOne(RNG *r) { r->x += 1; }

std::unique_ptr<AheadRun> runFor(uint32_t rep, const RNG &start, const std::atomic<bool> &cancel,
                                 std::chrono::milliseconds length)
{
    auto out = std::make_unique<Ran>();
    out->rep = rep;
    out->start = start.x;
    const auto end = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < end && !cancel.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    out->calledOff = cancel.load();
    return out;
}

const Ran &asRan(const std::unique_ptr<AheadRun> &r) { return static_cast<const Ran &>(*r); }

TEST(ReplicatesAhead, ResultsFollowTheLatestStartsInReplicateOrder)
{
    ReplicatesAhead pool(
        3, 12, 4, [](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            return runFor(rep, start, cancel, std::chrono::milliseconds(2 + 3 * (rep % 3)));
        },
        stateOf(100), plusOne);
    pool.start();
    auto never = [] { return false; };
    for (uint32_t rep = 0; rep < 12; rep++) {
        const std::unique_ptr<AheadRun> r = pool.take(rep, std::chrono::milliseconds(50), never);
        ASSERT_TRUE(r);
        EXPECT_EQ(asRan(r).rep, rep);
        EXPECT_FALSE(asRan(r).calledOff);
        // From replicate 5 on the starts move by 1000 (and again from 8):
        // no result of an earlier start may come back.
        const uint32_t shift = rep >= 8 ? 2000 : rep >= 5 ? 1000 : 0;
        EXPECT_EQ(asRan(r).start, 100 + rep + shift) << rep;
        if (rep == 4 || rep == 7)
            pool.setStarts(rep + 1, stateOf(100 + rep + 1 + shift + 1000), plusOne);
        if (rep == 9)
            pool.restart(10);  // the same start again
    }
}

TEST(ReplicatesAhead, StopKeepsWhatTheAwaitedReplicateHadDone)
{
    ReplicatesAhead pool(
        2, 4, 2, [](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            return runFor(rep, start, cancel, std::chrono::milliseconds(rep == 1 ? 60000 : 1));
        },
        stateOf(7), plusOne);
    pool.start();
    ASSERT_TRUE(pool.take(0, std::chrono::milliseconds(50), [] { return false; }));
    int wakes = 0;
    EXPECT_FALSE(pool.take(1, std::chrono::milliseconds(5), [&] { return ++wakes == 3; }));
    const std::unique_ptr<AheadRun> partial = pool.stopAndTake(1);
    ASSERT_TRUE(partial);
    EXPECT_EQ(asRan(partial).rep, 1u);
    EXPECT_TRUE(asRan(partial).calledOff);
}

}  // namespace
