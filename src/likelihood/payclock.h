#pragma once

#include <chrono>
#include <cstdint>

// Whether the likelihood workers pay, found by trying: a timing phase runs
// slices of rounds with the workers and slices on the calling thread alone,
// one after the other, and sets the CL items each way did against the wall
// time it took (each round's own time and the work up to the next round,
// which the threads' round may have slowed). Threads that beat the lone
// thread by a tenth keep the rounds for a stretch that doubles with each
// win in a row (timing gives up the threads' gain on half its rounds, so it
// comes seldom while threads keep winning), then rounds are timed again;
// threads that do not leave the rounds to the calling thread for a stretch
// that doubles with each loss in a row. A threaded stretch is itself timed,
// window by window, against the lone rate of the timing before it: a window
// slower than that rate (another program has taken the second processor
// since) ends the stretch and rounds are timed again.
//
// Wall time tells what a user waits for; the processor time of the threads
// would not: where the processes of one session share a fixed part of a
// busy machine (the kernel's automatic session groups), two threads get no
// more processor than one, and a worker spinning between rounds takes it
// from the calling thread.
//
// Slices alternate because the machine's speed does not hold still: a
// shared machine swings by a third from one pass to the next, and a whole
// window of threaded rounds timed before a whole window of lone ones set
// one swing against another, so that threads that lose (the second
// processor busy with another program) kept winning windows by chance and
// then lost for the whole stretch that followed. Alternate slices a few
// milliseconds long see the same machine, and the timing lasts until each
// way has run several slices and a time of its own. Every phase lasts a
// number of rounds and a time, whichever is longer: a whole-tree pass is one
// round of a few milliseconds.
class PayClock {
public:
    using Clock = std::chrono::steady_clock;
    enum class Phase : uint8_t { Timing, RunAlone, RunThreaded };

    // A timing slice: at least this long, and at least one round that
    // counts (a job round, of weight 0, goes with the round after it).
    static constexpr Clock::duration kSliceTime = std::chrono::milliseconds(1);
    // Each way of a timing phase: at least this many slices, rounds and time.
    static constexpr uint32_t kWindowSlices = 2;
    static constexpr uint32_t kWindowRounds = 128;
    static constexpr Clock::duration kWindowTime = std::chrono::milliseconds(12);
    // The gap from a round's end to the next round's start counts for the
    // round up to this much: beyond it the program is idle, not working.
    static constexpr Clock::duration kMostGap = std::chrono::milliseconds(1);
    static constexpr uint32_t kThreadedRounds = 1024;
    static constexpr Clock::duration kThreadedTime = std::chrono::milliseconds(50);
    static constexpr uint32_t kAloneRounds = 2048;
    static constexpr Clock::duration kAloneTime = std::chrono::milliseconds(50);
    static constexpr uint32_t kMostDoublings = 6;
    // A stretch, before its doublings, lasts at least this many times as
    // long as the timing before it: where a round is a whole pass of tens
    // of milliseconds (20,000 sites), a timing runs several passes alone,
    // and timings after every short stretch gave up a fifth of the
    // threads' gain.
    static constexpr uint32_t kStretchPerTiming = 8;
    // Threads must beat the lone thread by this factor to keep the rounds:
    // enough to tell a gain from what is left of the swings, no more, as
    // two threads that gain a third must not lose their rounds.
    static constexpr double kThreadsMustGain = 1.1;

    Phase phase() const { return phase_; }
    // Whether the next round goes to the workers too.
    bool threaded() const
    {
        return held_ > 0 || phase_ == Phase::RunThreaded || (phase_ == Phase::Timing && sliceThreaded_);
    }
    // A round starts at `now`.
    void beginRound(Clock::time_point now);
    // The round begun last ended at `end`, having done `items` CL items and
    // counting as `rounds` rounds.
    void endRound(double items, uint32_t rounds, Clock::time_point end);
    // The round begun last waited for a worker that had lost its processor:
    // a loss, whether the rounds were timed or not. A machine busier than
    // its cores takes the workers' processors away again and again, and
    // threads that stall in a stretch would stall in the stretch after.
    void stalled();
    // The next `rounds` rounds (at least one) go to the calling thread alone.
    void runAlone(uint32_t rounds);
    // The next `rounds` rounds go to the workers too, job rounds included,
    // whatever they stall: a check of what the workers compute must not
    // depend on how busy the machine is. They are not timed.
    void runThreaded(uint32_t rounds);
    // Timing phases begun since the clock was made (the first included).
    uint64_t timings() const { return timings_; }

private:
    // What one way (0 alone, 1 threaded) did in the timing phase.
    struct Tally {
        double items = 0.0;
        double seconds = 0.0;
        uint32_t rounds = 0;
        uint32_t slices = 0;
        bool complete() const
        {
            return slices >= kWindowSlices && rounds >= kWindowRounds &&
                   seconds >= std::chrono::duration<double>(kWindowTime).count();
        }
    };

    void enterRun(Phase p, uint32_t rounds, Clock::duration time);
    void enterTiming();
    void decide(Clock::time_point end);
    void lose(Clock::duration time);

    Phase phase_ = Phase::Timing;
    uint32_t left_ = 0;                     // run phase: rounds left, at least
    Clock::duration minTime_{};             // run phase: how long it lasts, at least
    bool fresh_ = true;                     // no round of this phase or slice begun yet
    Clock::time_point start_;               // when the run phase's or slice's first round began
    Clock::time_point roundStart_;          // when the round begun last began
    Clock::time_point timingStart_;         // when the timing's first round began
    bool timingFresh_ = true;               // no round of the timing begun yet
    Clock::time_point lastEnd_;             // when the last timed round ended (timing, threaded stretch)
    bool haveLastEnd_ = false;
    bool lastThreaded_ = false;             // the way the last timed round ran (timing)
    bool sliceThreaded_ = true;             // the way the current slice runs
    Tally tally_[2];
    Tally stretch_;                         // the threaded stretch's current window
    double aloneRate_ = 0.0;                // items per second alone in the last timing
    uint32_t losses_ = 0;                   // timings lost in a row
    uint32_t wins_ = 0;                     // timings won in a row
    uint64_t timings_ = 1;
    uint32_t held_ = 0;                     // rounds left that runThreaded gave the workers
};
