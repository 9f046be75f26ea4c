// The pay clock of the likelihood threads, driven with made-up times: a
// window lasts its rounds and its time, whichever is longer, so that one
// pass of a few milliseconds is never set against one other; threads keep
// the rounds when they beat the lone thread by a tenth and lose them
// otherwise, each stretch lasting its time; a stall is a loss.
#include <gtest/gtest.h>

#include <chrono>

#include "likelihood/payclock.h"

namespace {

using Clock = PayClock::Clock;
using Phase = PayClock::Phase;
using std::chrono::microseconds;

// Runs rounds of `weight` rounds each, every one taking `each` and doing
// `items` items, until the phase changes or `limit` rounds have run; returns
// how many ran.
int runUntilPhaseChanges(PayClock &c, Clock::time_point &now, Clock::duration each, double items, uint32_t weight,
                         int limit = 100000)
{
    const Phase start = c.phase();
    int n = 0;
    while (c.phase() == start && n < limit) {
        c.beginRound(now);
        now += each;
        c.endRound(items, weight, now);
        ++n;
    }
    return n;
}

TEST(PayClock, AWindowOfOneLongRoundLastsItsTime)
{
    PayClock c;
    Clock::time_point now{};
    // A whole-tree pass counts as hundreds of rounds and takes 2 ms: the
    // threaded window needs two of them, the lone window likewise.
    EXPECT_EQ(runUntilPhaseChanges(c, now, microseconds(2000), 1e6, 300), 2);
    EXPECT_EQ(c.phase(), Phase::TimeAlone);
    EXPECT_FALSE(c.threaded());
    // Alone the same passes take 1.3 times as long: threads win.
    EXPECT_EQ(runUntilPhaseChanges(c, now, microseconds(2600), 1e6, 300), 2);
    EXPECT_EQ(c.phase(), Phase::RunThreaded);
    // The threaded stretch lasts its time, not its 1,024 rounds.
    const Clock::time_point stretchStart = now;
    runUntilPhaseChanges(c, now, microseconds(2000), 1e6, 300);
    EXPECT_EQ(c.phase(), Phase::TimeThreaded);
    EXPECT_GE(now - stretchStart, PayClock::kThreadedTime);
    // Small rounds end a window by their count once its time is up.
    PayClock small;
    Clock::time_point t{};
    EXPECT_EQ(runUntilPhaseChanges(small, t, microseconds(100), 100, 1), 128);
}

TEST(PayClock, ThreadsThatDoNotGainATenthLeaveTheRoundsToTheCallingThread)
{
    for (const double alone : {1.05, 1.2}) {
        SCOPED_TRACE(testing::Message() << "alone takes " << alone << " times as long");
        PayClock c;
        Clock::time_point now{};
        const auto threadedRound = microseconds(1000);
        const auto aloneRound = std::chrono::duration_cast<Clock::duration>(threadedRound * alone);
        // Rounds of whole passes: their time, not their count, ends each phase.
        runUntilPhaseChanges(c, now, threadedRound, 1000, 300);
        runUntilPhaseChanges(c, now, aloneRound, 1000, 300);
        if (alone < 1.1) {
            ASSERT_EQ(c.phase(), Phase::RunAlone);
            // The lone stretch lasts its time, and doubles after a second loss.
            Clock::time_point from = now;
            runUntilPhaseChanges(c, now, aloneRound, 1000, 300);
            EXPECT_GE(now - from, PayClock::kAloneTime);
            EXPECT_LT(now - from, 2 * PayClock::kAloneTime);
            runUntilPhaseChanges(c, now, threadedRound, 1000, 300);
            runUntilPhaseChanges(c, now, aloneRound, 1000, 300);
            ASSERT_EQ(c.phase(), Phase::RunAlone);
            from = now;
            runUntilPhaseChanges(c, now, aloneRound, 1000, 300);
            EXPECT_GE(now - from, 2 * PayClock::kAloneTime);
        } else {
            EXPECT_EQ(c.phase(), Phase::RunThreaded);
        }
    }
}

TEST(PayClock, AStallIsALossWhereverTheThreadsRun)
{
    PayClock c;
    Clock::time_point now{};
    runUntilPhaseChanges(c, now, microseconds(1000), 1000, 8);
    runUntilPhaseChanges(c, now, microseconds(2000), 1000, 8);
    ASSERT_EQ(c.phase(), Phase::RunThreaded);
    c.beginRound(now);
    c.stalled();
    EXPECT_EQ(c.phase(), Phase::RunAlone) << "a stretch stalls";
    runUntilPhaseChanges(c, now, microseconds(1000), 1000, 8);
    ASSERT_EQ(c.phase(), Phase::TimeThreaded);
    c.beginRound(now);
    c.stalled();
    EXPECT_EQ(c.phase(), Phase::RunAlone) << "a timed window stalls";
    // The second loss in a row keeps the rounds alone twice as long.
    const Clock::time_point from = now;
    runUntilPhaseChanges(c, now, microseconds(1000), 1000, 300);
    EXPECT_GE(now - from, 2 * PayClock::kAloneTime);
    // Rounds asked to run alone do so for their count alone, then are timed.
    PayClock d;
    d.runAlone(3);
    EXPECT_EQ(runUntilPhaseChanges(d, now, microseconds(1), 1, 1), 3);
    EXPECT_EQ(d.phase(), Phase::TimeThreaded);
}

}  // namespace
