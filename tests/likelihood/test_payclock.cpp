// The pay clock of the likelihood threads, driven with made-up times:
// timing alternates slices of threaded and lone rounds until each way has
// run its slices, rounds and time; threads keep the rounds when they beat
// the lone thread by a tenth and lose them otherwise, each stretch lasting
// its time or a multiple of the timing's; a machine whose speed drifts
// does not make threads that gain nothing win; a threaded stretch that
// falls below the lone rate is timed again; a stall is a loss.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "likelihood/payclock.h"

namespace {

using Clock = PayClock::Clock;
using Phase = PayClock::Phase;
using std::chrono::microseconds;

// Runs rounds of `weight` rounds each, doing `items` items and taking
// cost(threaded, round number) each, until the phase changes or `limit`
// rounds have run; returns how many ran.
int runUntilPhaseChanges(PayClock &c, Clock::time_point &now,
                         const std::function<Clock::duration(bool, int)> &cost, double items, uint32_t weight,
                         int limit = 100000)
{
    const Phase start = c.phase();
    int n = 0;
    while (c.phase() == start && n < limit) {
        c.beginRound(now);
        now += cost(c.threaded(), n);
        c.endRound(items, weight, now);
        ++n;
    }
    return n;
}

// Rounds that take `threaded` on the threads and `alone` on one thread.
std::function<Clock::duration(bool, int)> costs(Clock::duration threaded, Clock::duration alone)
{
    return [=](bool t, int) { return t ? threaded : alone; };
}

std::function<Clock::duration(bool, int)> costs(Clock::duration each) { return costs(each, each); }

TEST(PayClock, TimingAlternatesSlicesUntilEachWayHasItsShare)
{
    PayClock c;
    Clock::time_point now{};
    ASSERT_EQ(c.phase(), Phase::Timing);
    // Whole-tree passes of 3 ms, each hundreds of rounds: a slice is one
    // pass, and each way needs 12 ms, four passes.
    std::vector<bool> ways;
    const int n = runUntilPhaseChanges(
        c, now,
        [&](bool t, int) {
            ways.push_back(t);
            return microseconds(3000);
        },
        1e6, 300);
    EXPECT_EQ(n, 8);
    for (size_t i = 0; i < ways.size(); ++i)
        EXPECT_EQ(ways[i], i % 2 == 0) << "pass " << i;
    EXPECT_EQ(c.phase(), Phase::RunAlone) << "equal rates: threads do not pay";
    // Small rounds make a slice of a millisecond, and each way runs its 128
    // rounds however short its time.
    PayClock small;
    Clock::time_point t{};
    EXPECT_EQ(runUntilPhaseChanges(small, t, costs(microseconds(100)), 100, 1), 2 * 130);
    // A job round (weight 0) goes with the round after it: it ends no slice.
    PayClock jobs;
    Clock::time_point u{};
    jobs.beginRound(u);
    u += microseconds(5000);
    jobs.endRound(0, 0, u);
    EXPECT_TRUE(jobs.threaded());
}

TEST(PayClock, ThreadsThatDoNotGainATenthLeaveTheRoundsToTheCallingThread)
{
    for (const double alone : {1.05, 1.2}) {
        SCOPED_TRACE(testing::Message() << "alone takes " << alone << " times as long");
        PayClock c;
        Clock::time_point now{};
        const auto threadedRound = microseconds(1000);
        const auto aloneRound = std::chrono::duration_cast<Clock::duration>(threadedRound * alone);
        const auto pass = costs(threadedRound, aloneRound);
        runUntilPhaseChanges(c, now, pass, 1000, 300);
        // A stretch lasts its time or eight times the timing before it,
        // whichever is longer, and no longer than that and one round.
        const Clock::duration timing = now - Clock::time_point{};
        const auto expectStretch = [&](Clock::duration least) {
            const Clock::time_point from = now;
            runUntilPhaseChanges(c, now, pass, 1000, 300);
            EXPECT_GE(now - from, least);
            EXPECT_LE(now - from, least + aloneRound);
        };
        if (alone < 1.1) {
            ASSERT_EQ(c.phase(), Phase::RunAlone);
            expectStretch(std::max<Clock::duration>(PayClock::kAloneTime, PayClock::kStretchPerTiming * timing));
            // A second loss in a row doubles the stretch.
            const Clock::time_point from = now;
            runUntilPhaseChanges(c, now, pass, 1000, 300);
            ASSERT_EQ(c.phase(), Phase::RunAlone);
            expectStretch(2 * std::max<Clock::duration>(PayClock::kAloneTime, PayClock::kStretchPerTiming * (now - from)));
        } else {
            ASSERT_EQ(c.phase(), Phase::RunThreaded);
            expectStretch(std::max<Clock::duration>(PayClock::kThreadedTime, PayClock::kStretchPerTiming * timing));
            EXPECT_EQ(c.phase(), Phase::Timing);
        }
    }
}

// The machine slows down by 6% a round, threads gaining nothing: windows
// of threaded rounds timed before windows of lone ones would credit the
// threads with the slowdown; alternate slices do not.
TEST(PayClock, AMachineThatSlowsDownDoesNotMakeThreadsThatGainNothingWin)
{
    PayClock c;
    Clock::time_point now{};
    runUntilPhaseChanges(
        c, now,
        [](bool, int k) { return std::chrono::duration_cast<Clock::duration>(microseconds(2000) * (1 + 0.06 * k)); },
        1000, 300);
    EXPECT_EQ(c.phase(), Phase::RunAlone);
}

// Threads won the timing, then another program took the second processor:
// the stretch's first window below the lone rate ends it, and the timing
// that follows gives the rounds to the calling thread.
TEST(PayClock, AThreadedStretchThatFallsBelowTheLoneRateIsTimedAgain)
{
    PayClock c;
    Clock::time_point now{};
    runUntilPhaseChanges(c, now, costs(microseconds(1000), microseconds(2000)), 1000, 300);
    ASSERT_EQ(c.phase(), Phase::RunThreaded);
    const Clock::time_point from = now;
    runUntilPhaseChanges(c, now, costs(microseconds(2500), microseconds(2000)), 1000, 300);
    EXPECT_EQ(c.phase(), Phase::Timing);
    EXPECT_LT(now - from, PayClock::kWindowTime + microseconds(2500));
    runUntilPhaseChanges(c, now, costs(microseconds(2500), microseconds(2000)), 1000, 300);
    EXPECT_EQ(c.phase(), Phase::RunAlone);
    // Idle time between rounds, beyond a millisecond, is no one's: threads
    // that win by half keep winning with long pauses between rounds.
    PayClock d;
    Clock::time_point t{};
    for (int i = 0; i < 100 && d.phase() == Phase::Timing; ++i) {
        d.beginRound(t);
        t += d.threaded() ? microseconds(1000) : microseconds(1500);
        d.endRound(1000, 300, t);
        t += std::chrono::milliseconds(20);
    }
    EXPECT_EQ(d.phase(), Phase::RunThreaded);
}

TEST(PayClock, AStallIsALossWhereverTheThreadsRun)
{
    PayClock c;
    Clock::time_point now{};
    runUntilPhaseChanges(c, now, costs(microseconds(1000), microseconds(2000)), 1000, 8);
    ASSERT_EQ(c.phase(), Phase::RunThreaded);
    c.beginRound(now);
    c.stalled();
    EXPECT_EQ(c.phase(), Phase::RunAlone) << "a stretch stalls";
    runUntilPhaseChanges(c, now, costs(microseconds(1000)), 1000, 8);
    ASSERT_EQ(c.phase(), Phase::Timing);
    ASSERT_TRUE(c.threaded());
    c.beginRound(now);
    c.stalled();
    EXPECT_EQ(c.phase(), Phase::RunAlone) << "a timed slice stalls";
    // The second loss in a row keeps the rounds alone twice as long.
    const Clock::time_point from = now;
    runUntilPhaseChanges(c, now, costs(microseconds(1000)), 1000, 300);
    EXPECT_GE(now - from, 2 * PayClock::kAloneTime);
    // Rounds asked to run alone do so for their count alone, then are timed.
    PayClock d;
    d.runAlone(3);
    EXPECT_EQ(runUntilPhaseChanges(d, now, costs(microseconds(1)), 1, 1), 3);
    EXPECT_EQ(d.phase(), Phase::Timing);
}

// Rounds held on the workers stay there through stalls and losing times,
// job rounds (of weight 0) counted too, and leave the clock as they found it.
TEST(PayClock, RoundsHeldOnTheWorkersStayThereWhateverTheyCost)
{
    PayClock c;
    Clock::time_point now{};
    runUntilPhaseChanges(c, now, costs(microseconds(1000)), 1000, 8);
    ASSERT_EQ(c.phase(), Phase::RunAlone);
    c.runThreaded(3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c.threaded()) << i;
        c.beginRound(now);
        now += microseconds(50000);
        if (i == 1)
            c.stalled();
        else
            c.endRound(1, i == 0 ? 0 : 8, now);
    }
    EXPECT_FALSE(c.threaded());
    EXPECT_EQ(c.phase(), Phase::RunAlone);
    EXPECT_EQ(c.timings(), 1u);
    // Asked to run alone, the rounds still held go alone.
    c.runThreaded(5);
    c.runAlone(1);
    EXPECT_FALSE(c.threaded());
}

}  // namespace
