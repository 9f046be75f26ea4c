// Replicates run ahead on worker threads: each result comes from the start
// the caller last gave its replicate, whatever ran before, a run called off
// is counted, and a stop keeps what the awaited replicate had done. Workers
// prepare side by side, and a failed preparation is reported, not waited on
// forever.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "qel/qel_malloc.h"
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
    std::atomic<bool> oneBegun{false};
    ReplicatesAhead pool(
        2, 4, 2, [&](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            oneBegun = oneBegun || rep == 1;
            return runFor(rep, start, cancel, std::chrono::milliseconds(rep == 1 ? 60000 : 1));
        },
        stateOf(7), plusOne);
    pool.start();
    ASSERT_TRUE(pool.take(0, std::chrono::milliseconds(50), [] { return false; }));
    // Stopped before its worker got to it, replicate 1 would have nothing.
    int wakes = 0;
    EXPECT_FALSE(pool.take(1, std::chrono::milliseconds(5), [&] { return ++wakes >= 3 && oneBegun; }));
    const std::unique_ptr<AheadRun> partial = pool.stopAndTake(1);
    ASSERT_TRUE(partial);
    EXPECT_EQ(asRan(partial).rep, 1u);
    EXPECT_TRUE(asRan(partial).calledOff);
}

TEST(ReplicatesAhead, ARunCalledOffIsCountedAndItsReplicateRunsAgain)
{
    std::atomic<uint32_t> runsOfOne{0};
    ReplicatesAhead pool(
        1, 3, 3, [&](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            // The first run of replicate 1 lasts until it is called off.
            const bool first = rep == 1 && runsOfOne++ == 0;
            return runFor(rep, start, cancel, std::chrono::milliseconds(first ? 60000 : 1));
        },
        stateOf(10), plusOne);
    pool.start();
    auto never = [] { return false; };
    ASSERT_TRUE(pool.take(0, std::chrono::milliseconds(50), never));
    while (runsOfOne.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(pool.calledOff(), 0u);
    pool.restart(1);
    const std::unique_ptr<AheadRun> again = pool.take(1, std::chrono::milliseconds(50), never);
    ASSERT_TRUE(again);
    EXPECT_FALSE(asRan(again).calledOff);
    EXPECT_EQ(asRan(again).start, 11u);
    EXPECT_EQ(runsOfOne.load(), 2u);
    EXPECT_EQ(pool.calledOff(), 1u);
    ASSERT_TRUE(pool.take(2, std::chrono::milliseconds(50), never));
    EXPECT_EQ(pool.calledOff(), 1u);
}

TEST(ReplicatesAhead, WorkersPrepareSideBySideBeforeTheyRun)
{
    constexpr uint32_t kWorkers = 4;
    std::mutex m;
    std::condition_variable arrived;
    uint32_t preparing = 0;
    std::vector<int> ready(kWorkers, 0);  // 1: prepared, having met every other worker preparing
    std::atomic<bool> ranUnprepared{false};
    ReplicatesAhead pool(
        kWorkers, 6, 6,
        [&](uint32_t w, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            std::lock_guard lock(m);
            if (ready[w] != 1)
                ranUnprepared = true;
            return runFor(rep, start, cancel, std::chrono::milliseconds(0));
        },
        stateOf(1), plusOne);
    const auto caller = std::this_thread::get_id();
    pool.start([&](uint32_t w) {
        std::unique_lock lock(m);
        preparing++;
        arrived.notify_all();
        // Preparations made one after another (or on the caller's thread)
        // never find all the workers preparing at once.
        // A bound only for a pool that prepares one by one: the threads of
        // one that does not all get there on the busiest machine.
        const bool together = arrived.wait_for(lock, std::chrono::seconds(30), [&] { return preparing == kWorkers; });
        ready[w] = together && std::this_thread::get_id() != caller ? 1 : 2;
        return true;
    });
    ASSERT_TRUE(pool.waitPrepared());
    {
        std::lock_guard lock(m);
        EXPECT_EQ(ready, std::vector<int>(kWorkers, 1));
    }
    for (uint32_t rep = 0; rep < 6; rep++)
        ASSERT_TRUE(pool.take(rep, std::chrono::milliseconds(50), [] { return false; }));
    EXPECT_FALSE(ranUnprepared);
}

TEST(ReplicatesAhead, FailedPreparationsAreReportedAndTheirWorkersRunNothing)
{
    std::atomic<uint32_t> runsOnFailed{0};
    ReplicatesAhead pool(
        3, 9, 9,
        [&](uint32_t w, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            if (w != 0)
                runsOnFailed++;
            return runFor(rep, start, cancel, std::chrono::milliseconds(1));
        },
        stateOf(1), plusOne);
    pool.start([](uint32_t w) {
        if (w == 2)
            throw std::bad_alloc();
        return w != 1;
    });
    EXPECT_FALSE(pool.waitPrepared());
    // The one worker that did prepare (one failed, one ran out of memory)
    // still carries every replicate through.
    for (uint32_t rep = 0; rep < 9; rep++)
        ASSERT_TRUE(pool.take(rep, std::chrono::milliseconds(50), [] { return false; }));
    EXPECT_EQ(runsOnFailed.load(), 0u);
}

// A run out of memory, by an exception or by its own allocations failing,
// ends the pool's work without taking the process down: what was done
// before it is taken, the replicate awaited then comes back empty, said to
// be out of memory, and no run begins after it. The failure stays the
// worker's: the caller's allocations go on.
TEST(ReplicatesAhead, ARunOutOfMemoryIsReportedToTheCallerAndNothingRunsAfterIt)
{
    for (const bool throws : {true, false}) {
        std::atomic<uint32_t> runs{0}, afterFailure{0};
        std::atomic<bool> failed{false};
        ReplicatesAhead pool(
            2, 8, 1, [&](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
                runs++;
                afterFailure += failed.load();
                if (rep == 2) {
                    failed = true;
                    if (throws)
                        throw std::bad_alloc();
                    qel_setWorkerAllocFailureCountdown(0);
                    EXPECT_EQ(allocBlock(16), nullptr);
                    EXPECT_TRUE(memoryErrorHasOccurred());
                }
                return runFor(rep, start, cancel, std::chrono::milliseconds(0));
            },
            stateOf(1), plusOne);
        pool.start();
        const auto never = [] { return false; };
        for (uint32_t rep = 0; rep < 2; rep++) {
            ASSERT_TRUE(pool.take(rep, std::chrono::milliseconds(50), never)) << rep;
            EXPECT_FALSE(pool.takenOutOfMemory());
        }
        EXPECT_FALSE(pool.take(2, std::chrono::milliseconds(50), never));
        EXPECT_TRUE(pool.takenOutOfMemory());
        EXPECT_FALSE(pool.take(3, std::chrono::milliseconds(50), never));
        EXPECT_TRUE(pool.takenOutOfMemory());
        // A window of one: nothing past replicate 3 had begun before 2 failed.
        EXPECT_EQ(afterFailure.load(), 0u) << throws;
        EXPECT_LE(runs.load(), 4u) << throws;
        EXPECT_FALSE(memoryErrorHasOccurred());
        void *block = allocBlock(16);
        EXPECT_NE(block, nullptr);
        deallocBlock(block);
    }
}

}  // namespace

// Every run draws besides its sequence (its successor's guessed start is
// always wrong): it says so as it begins to swap, the later replicates start again
// from there at once, each result still comes from its replicate's true
// start, and after a couple of wrong guesses no run begins from a guess, so
// each replicate runs once more. The runs keep their order by waiting on
// the test: a run from a guess stays until it is called off, and the run
// of a right start draws only once the test has let it, after the idle
// workers have begun what they would.
TEST(ReplicatesAhead, RunsThatDrewRestartTheLaterOnesAndWrongGuessesStopGuessing)
{
    constexpr uint32_t kReps = 12, kWorkers = 4;
    // Replicates whose right runs drew before the guesses stopped: while the
    // first of them run, every idle worker begins a guess.
    constexpr uint32_t kGuessing = 3;
    std::mutex m;
    std::condition_variable changed;
    std::vector<const std::atomic<bool> *> live;  // the call-off flags of the runs under way
    uint32_t rightLive = 0, released = 0;
    std::vector<uint32_t> rightRuns(kReps, 0);
    uint32_t guessRuns = 0, guessRunsLate = 0;
    bool guessingOver = false;
    ReplicatesAhead *self = nullptr;
    ReplicatesAhead pool(
        kWorkers, kReps, 8, [&](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            auto out = std::make_unique<Ran>();
            out->rep = rep;
            out->start = start.x;
            const bool right = start.x == 100 + 1000 * rep;
            std::unique_lock lock(m);
            live.push_back(&cancel);
            (right ? rightRuns[rep] : guessRuns)++;
            guessRunsLate += !right && guessingOver;
            rightLive += right;
            changed.notify_all();
            // Polled: the call-off flag has no wake-up of its own.
            while (!cancel.load() && (!right || released <= rep))
                changed.wait_for(lock, std::chrono::milliseconds(1));
            out->calledOff = cancel.load();
            rightLive -= right;
            lock.unlock();
            if (right && !out->calledOff)
                self->revise(rep, start, stateOf(start.x + 1000));
            lock.lock();
            live.erase(std::find(live.begin(), live.end(), &cancel));
            changed.notify_all();
            return out;
        },
        stateOf(100), plusOne);
    self = &pool;
    pool.start();
    for (uint32_t rep = 0; rep < kReps; rep++) {
        {
            std::unique_lock lock(m);
            // While guessing, each worker besides the right run's begins a
            // guess (once those called off have ended); once over, a guess
            // would have the time to begin here.
            const auto full = [&] {
                return rightLive == 1 && std::count_if(live.begin(), live.end(), [](const auto *c) {
                                             return !c->load();
                                         }) == kWorkers;
            };
            if (rep < kGuessing)
                changed.wait(lock, full);
            else
                changed.wait_for(lock, std::chrono::milliseconds(20), full);
            ASSERT_EQ(rightLive, 1u) << rep;
            released = rep + 1;
            changed.notify_all();
        }
        const std::unique_ptr<AheadRun> r = pool.take(rep, std::chrono::milliseconds(50), [] { return false; });
        ASSERT_TRUE(r);
        EXPECT_EQ(asRan(r).start, 100 + 1000 * rep) << rep;
        EXPECT_FALSE(asRan(r).calledOff);
        if (rep + 1 == kGuessing) {
            std::lock_guard lock(m);
            guessingOver = true;
        }
    }
    std::lock_guard lock(m);
    EXPECT_EQ(rightRuns, std::vector<uint32_t>(kReps, 1));
    // Guessing freely, each draw would call off the three runs begun from
    // guesses after it: some 3 x 12 runs thrown away.
    EXPECT_EQ(guessRuns, kGuessing * (kWorkers - 1));
    EXPECT_EQ(guessRunsLate, 0u);
    EXPECT_EQ(pool.begun(), kReps);
}

// Runs that draw again and again (swapping many stored trees resolves each
// one): the start after such a run is known only when it ends, and runs
// are not begun from each of its passing states only to be thrown away.
TEST(ReplicatesAhead, RunsThatKeepDrawingLeaveTheNextStartUnknownTillTheyEnd)
{
    constexpr uint32_t kReps = 8, kDraws = 10;
    std::atomic<uint32_t> runs{0};
    ReplicatesAhead *self = nullptr;
    ReplicatesAhead pool(
        4, kReps, 8, [&](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            runs++;
            std::unique_ptr<AheadRun> part;
            for (uint32_t d = 1; d <= kDraws; d++) {
                part = runFor(rep, start, cancel, std::chrono::milliseconds(3));
                if (cancel.load())
                    return part;
                self->revise(rep, start, stateOf(start.x + 1000 * d));
            }
            return part;
        },
        stateOf(100), plusOne);
    self = &pool;
    pool.start();
    uint32_t expected = 100;
    for (uint32_t rep = 0; rep < kReps; rep++) {
        const std::unique_ptr<AheadRun> r = pool.take(rep, std::chrono::milliseconds(50), [] { return false; });
        ASSERT_TRUE(r);
        EXPECT_EQ(asRan(r).start, expected) << rep;
        EXPECT_FALSE(asRan(r).calledOff);
        expected += 1000 * kDraws;
    }
    // Begun again after every draw, the runs after each one would number
    // some kDraws x kReps.
    EXPECT_LT(runs.load(), 4 * kReps);
}

namespace {

// A draw: states reached along different paths differ, as in a stream.
void drawOnce(RNG *r) { r->x = r->x * 5 + 3; }

// Replicates whose runs draw `draws(rep)` times past their sequence (the
// sequence adds 1 to the state). Each run of a right start
// holds back its draws until the run of the next replicate from the right
// start has begun, or `patience` has passed: with the right guess run
// beside the others, none waits out its patience. Returns the replicates
// whose runs waited it out, after checking every result's start.
std::vector<uint32_t> runGuessing(uint32_t workers, uint32_t reps, uint32_t holdFrom, std::vector<uint32_t> prior,
                                  const std::function<uint32_t(uint32_t)> &draws, std::vector<uint32_t> *runsOfRight)
{
    // Waited out only where the right guess was not run beside the others:
    // on a busy machine its worker may be slow to begin it, never this slow.
    constexpr auto patience = std::chrono::seconds(30);
    std::vector<uint32_t> truth(reps + 1);
    truth[0] = 100;
    for (uint32_t r = 0; r < reps; r++) {
        RNG state = stateOf(truth[r] + 1);
        for (uint32_t d = 0; d < draws(r); d++)
            drawOnce(&state);
        truth[r + 1] = state.x;
    }
    std::mutex m;
    std::condition_variable begun;
    runsOfRight->assign(reps, 0);
    std::vector<uint32_t> waitedOut;
    ReplicatesAhead *self = nullptr;
    ReplicatesAhead pool(
        workers, reps, 2 * workers,
        [&](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            auto out = std::make_unique<Ran>();
            out->rep = rep;
            out->start = start.x;
            std::unique_lock lock(m);
            if (start.x == truth[rep]) {
                (*runsOfRight)[rep]++;
                begun.notify_all();
            }
            // A run from a wrong start stays until it is called off.
            const bool right = start.x == truth[rep];
            const bool holds = right && rep >= holdFrom && rep + 1 < reps;
            const auto until = std::chrono::steady_clock::now() + (right ? patience : std::chrono::seconds(60));
            while (!cancel.load() && (!right || (holds && (*runsOfRight)[rep + 1] == 0)))
                if (begun.wait_for(lock, std::chrono::milliseconds(2)) == std::cv_status::timeout &&
                    std::chrono::steady_clock::now() >= until) {
                    if (right)
                        waitedOut.push_back(rep);
                    break;
                }
            out->calledOff = cancel.load();
            lock.unlock();
            if (!out->calledOff)
                self->revise(rep, start, stateOf(truth[rep + 1]));
            return out;
        },
        stateOf(truth[0]), plusOne);
    self = &pool;
    pool.guessDraws(drawOnce, std::move(prior));
    pool.start();
    for (uint32_t rep = 0; rep < reps; rep++) {
        const std::unique_ptr<AheadRun> r = pool.take(rep, std::chrono::milliseconds(50), [] { return false; });
        EXPECT_TRUE(r);
        if (!r)
            break;
        EXPECT_EQ(asRan(r).start, truth[rep]) << rep;
        EXPECT_FALSE(asRan(r).calledOff) << rep;
        pool.settle(rep + 1, stateOf(truth[rep + 1]));
    }
    std::lock_guard lock(m);
    return waitedOut;
}

}  // namespace

// The replicates draw 0, 1 or 2 times past their sequences, each as often:
// every replicate's right start is run beside the other guesses before its
// predecessor has drawn, and that run is the one kept (begun once).
TEST(ReplicatesAhead, GuessesSideBySideBeginTheRightStartBeforeItIsKnown)
{
    constexpr uint32_t kReps = 9;
    std::vector<uint32_t> runsOfRight;
    const std::vector<uint32_t> waitedOut =
        runGuessing(4, kReps, 0, {1, 1, 1}, [](uint32_t rep) { return (rep * 7 + 1) % 3; }, &runsOfRight);
    EXPECT_TRUE(waitedOut.empty()) << waitedOut.size() << " waited, the first replicate " << waitedOut[0];
    EXPECT_EQ(runsOfRight, std::vector<uint32_t>(kReps, 1));
}

// Guessing no draws at first, the pool learns from the runs that each
// replicate draws twice: once the first has drawn, each right start runs
// before it is known.
TEST(ReplicatesAhead, TheDrawCountsGuessedAreLearnedFromTheRuns)
{
    constexpr uint32_t kReps = 8;
    std::vector<uint32_t> runsOfRight;
    const std::vector<uint32_t> waitedOut =
        runGuessing(4, kReps, 1, {1}, [](uint32_t) { return 2u; }, &runsOfRight);
    EXPECT_TRUE(waitedOut.empty()) << waitedOut.size() << " waited, the first replicate " << waitedOut[0];
    for (uint32_t rep = 2; rep < kReps; rep++)
        EXPECT_EQ(runsOfRight[rep], 1u) << rep;
}

// One processor, two workers. Replicate 1, past its draws and not awaited,
// holds the processor; its draws make replicate 2's start known, and that
// run (which tells the start after it) takes the processor at replicate
// 1's next yield point, while 1 waits: never two computing at once, and 2
// done before 1 goes on. Without giving way, 1 would keep the processor
// until its patience ran out.
TEST(ReplicatesAhead, ARunThatTellsTheNextStartTakesAProcessorFromOneThatGivesWay)
{
    std::atomic<int> computing{0}, most{0};
    std::atomic<bool> twoDone{false}, oneWaitedOut{false};
    std::atomic<uint32_t> oneWorkAfterTwo{0};
    const auto compute = [&] {
        most = std::max(most.load(), ++computing);
    };
    ReplicatesAhead *self = nullptr;
    ReplicatesAhead pool(
        2, 3, 3,
        [&](uint32_t, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
            compute();
            auto out = std::make_unique<Ran>();
            out->rep = rep;
            out->start = start.x;
            if (rep == 1) {
                self->revise(rep, start, stateOf(start.x + 1000));
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!twoDone.load() && !cancel.load()) {
                    if (std::chrono::steady_clock::now() >= until) {
                        oneWaitedOut = true;
                        break;
                    }
                    computing--;
                    ReplicatesAhead::yieldPoint();
                    compute();
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                oneWorkAfterTwo += twoDone.load();
            } else if (rep == 2) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                twoDone = true;
            }
            computing--;
            return out;
        },
        stateOf(10), plusOne);
    self = &pool;
    pool.limitProcessors(1);
    pool.start();
    // Nothing is taken till 2 is done: 1 runs unawaited.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!twoDone.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto never = [] { return false; };
    ASSERT_TRUE(pool.take(0, std::chrono::milliseconds(50), never));
    const std::unique_ptr<AheadRun> one = pool.take(1, std::chrono::milliseconds(50), never);
    const std::unique_ptr<AheadRun> two = pool.take(2, std::chrono::milliseconds(50), never);
    ASSERT_TRUE(one && two);
    EXPECT_EQ(asRan(one).start, 11u);
    EXPECT_EQ(asRan(two).start, 1011u);
    EXPECT_FALSE(oneWaitedOut.load());
    EXPECT_EQ(oneWorkAfterTwo.load(), 1u);
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(pool.calledOff(), 0u);
}
