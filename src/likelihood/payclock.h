#pragma once

#include <chrono>
#include <cstdint>

// Whether the likelihood workers pay, found by trying: a window of rounds
// with the workers and a window on the calling thread alone, each timed on
// the wall clock from its first round to its last (the work between rounds
// included) and set against the CL items it did. Threads that beat the lone
// thread by a tenth keep the rounds for a stretch that doubles with each
// win in a row (a lone window gives up the threads' gain on its rounds, so
// it comes seldom while threads keep winning), then both are timed again;
// threads that do not leave the rounds to the calling thread for a stretch
// that doubles with each loss in a row.
//
// Wall time tells what a user waits for; the processor time of the threads
// would not: where the processes of one session share a fixed part of a
// busy machine (the kernel's automatic session groups), two threads get no
// more processor than one, and a worker spinning between rounds takes it
// from the calling thread.
//
// Every phase lasts a number of rounds and a time, whichever is longer. A
// whole-tree pass is one round of a few milliseconds, so windows counted in
// rounds alone would set one pass against one other: on a machine whose
// speed swings by a third from one pass to the next, threads then lost
// every few windows, and each loss, and each short stretch after it, ran
// passes alone.
class PayClock {
public:
    using Clock = std::chrono::steady_clock;
    enum class Phase : uint8_t { TimeAlone, TimeThreaded, RunAlone, RunThreaded };

    static constexpr uint32_t kWindowRounds = 128;
    static constexpr Clock::duration kWindowTime = std::chrono::milliseconds(4);
    static constexpr uint32_t kThreadedRounds = 1024;
    static constexpr Clock::duration kThreadedTime = std::chrono::milliseconds(50);
    static constexpr uint32_t kAloneRounds = 2048;
    static constexpr Clock::duration kAloneTime = std::chrono::milliseconds(50);
    static constexpr uint32_t kMostDoublings = 6;
    // Threads must beat the lone thread by this factor to keep the rounds:
    // enough to tell a gain from the swings of a timed window, no more, as
    // two threads that gain a third must not lose their rounds.
    static constexpr double kThreadsMustGain = 1.1;

    Phase phase() const { return phase_; }
    // Whether the next round goes to the workers too.
    bool threaded() const { return phase_ == Phase::TimeThreaded || phase_ == Phase::RunThreaded; }
    // A round starts at `now` (the first round of a phase starts its clock).
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

private:
    void enter(Phase p, uint32_t rounds, Clock::duration time);
    void lose();

    Phase phase_ = Phase::TimeThreaded;
    uint32_t left_ = kWindowRounds;       // rounds left in this phase, at least
    Clock::duration minTime_ = kWindowTime;  // how long the phase lasts, at least
    bool fresh_ = true;                   // no round of this phase begun yet
    Clock::time_point start_;             // when the phase's first round began
    uint32_t losses_ = 0;                 // threaded windows lost in a row
    uint32_t wins_ = 0;                   // threaded windows won in a row
    double items_ = 0.0;                  // CL items of the window's rounds
    double threadedRate_ = 0.0;           // items per second of the last threaded window
};
