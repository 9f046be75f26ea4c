// Replicates of a search run ahead of their turn on worker threads, while
// the calling thread takes their results strictly in replicate order.
//
// Each replicate's run starts from a random-stream state the caller gives
// (its best guess of where the stream will stand when the replicate's turn
// comes). The caller may call off a replicate and every later one and give
// them new starting states; runs under way are then told to stop through
// their call-off flag, and what they produce is dropped. A start is known
// to be right for the replicate awaited and for one whose predecessor's run
// (from a start known right) said it has drawn what it draws; the others
// are guesses, and while recent guesses were wrong (their runs thrown
// away) no run begins from a guess. Idle workers and a caller waiting for a result block on a
// condition variable.
//
// A replicate's start is where its predecessor left the stream: past the
// predecessor's addition sequence and a few draws more, whose number is
// known only once the predecessor has built its starting tree. Told how one
// such draw steps the stream (guessDraws), the pool counts how many draws
// the runs made and guesses the most frequent numbers: a replicate whose
// start is not known yet is run from up to three of them side by side, so
// that the one that turns out right has most often begun as early as its
// predecessor. Otherwise each replicate after the awaited one counts on no
// draws beyond the sequence.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "qel/qel_random.h"
#include "search/passhelpers.h"

struct AheadRun {
    virtual ~AheadRun() = default;
};

class ReplicatesAhead {
public:
    // Runs replicate `rep` on worker `worker` from stream state `start`; the
    // run stops early once `cancel` is set (its result is then dropped).
    using RunFxn = std::function<std::unique_ptr<AheadRun>(uint32_t worker, uint32_t rep, const RNG &start,
                                                           const std::atomic<bool> &cancel)>;

    // At most `window` replicates past the one awaited run at once. The
    // first replicate starts from `start`; each next one from the state
    // `next` makes of the state before it.
    ReplicatesAhead(uint32_t workers, uint32_t nreps, uint32_t window, RunFxn run, const RNG &start,
                    const std::function<void(RNG *)> &next);
    ~ReplicatesAhead();
    // At most `cpus` runs compute at once (fewer than the workers): the
    // workers beyond them stand by, so that a run that tells the next start
    // (one from a start known right that has not drawn yet) or the awaited
    // replicate's begins at once; another run gives way to it at its next
    // yield point and goes on once a processor is free. Set before start.
    void limitProcessors(uint32_t cpus);
    // A run's point to give way, on its worker's thread (nothing elsewhere).
    static void yieldPoint();
    // Lets the workers begin. Each worker first calls `prepare` with its
    // number on its own thread (so set-up costs are paid side by side, not
    // one after another on the caller's); one whose prepare fails runs
    // nothing.
    void start(std::function<bool(uint32_t worker)> prepare = {});
    // Waits until every worker has prepared; false when one failed (or the
    // pool was stopped first).
    bool waitPrepared();
    // Whether a worker failed to prepare for want of memory: its thread
    // could not be made, or its copies could not.
    bool preparedOutOfMemory();
    ReplicatesAhead(const ReplicatesAhead &) = delete;
    ReplicatesAhead &operator=(const ReplicatesAhead &) = delete;

    // Replicates from `rep` on are (again) to run from the states that
    // `start` and then `next` (applied to each state in turn) give.
    void setStarts(uint32_t rep, const RNG &start, const std::function<void(RNG *)> &next);
    // Waits for the result of `rep`, waking every `poll` interval to call
    // `onWake`; null when onWake asked to stop waiting (returned true), or
    // when a run ran out of memory before `rep` was done (see
    // takenOutOfMemory). Runs on the workers keep allocation failures to
    // themselves (WorkerAllocations): the caller reports them.
    std::unique_ptr<AheadRun> take(uint32_t rep, std::chrono::milliseconds poll,
                                   const std::function<bool()> &onWake);
    // A run of `rep` begun from `from` has passed the point where it draws
    // from the stream (besides its addition sequence) and stands at `now`:
    // the start of `rep`+1 counts as known from here, and the later
    // replicates, when guessed to start elsewhere, are started again from
    // `now` at once (the caller's check when it takes `rep` holds the last
    // word). Nothing when the run was itself begun from a stale state.
    void revise(uint32_t rep, const RNG &from, const RNG &now);
    // Runs `rep` again from the same start (a tree it stored turned out to
    // be one an earlier replicate stores); nothing once it was taken.
    void restart(uint32_t rep);
    // Runs `rep` and every later replicate again from the starts they have
    // (what an earlier replicate leaves for them was guessed otherwise);
    // unlike restart, no sign that replicates meet one another's trees.
    void rerunFrom(uint32_t rep);
    // The start of `rep` is known now to be `state` (its predecessor was
    // taken): a run begun from it, as the guess or beside it, is kept and
    // the other guesses dropped; when none was, `rep` and the later
    // replicates start again from there.
    void settle(uint32_t rep, const RNG &state);
    // Guesses of the draws past each addition sequence, each stepping the
    // stream as `draw` does; `prior` counts, by number of draws, how often
    // each is taken to have happened before any run has said.
    void guessDraws(std::function<void(RNG *)> draw, std::vector<uint32_t> prior);
    // Runs begun whose work was thrown away before their replicate was
    // taken: called off under way, or done and then set to run again.
    uint32_t calledOff();
    // Replicates a worker began at least once.
    uint32_t begun();
    // Whether the last take gave nothing because a run ran out of memory
    // (its own allocations failed, or threw): then no run begins any more.
    bool takenOutOfMemory();
    // Whether the run of the replicate taken last began from a guess,
    // before its start was known.
    bool takenFromGuess();
    // Times a run gave its processor to a more urgent one.
    uint32_t gaveWay();

    // Calls off every run and lets the workers go.
    void stop();
    // The same, keeping what the run of `rep` (the one awaited) had done
    // when it was called off, or its whole result if it had ended; null
    // when it had not begun.
    std::unique_ptr<AheadRun> stopAndTake(uint32_t rep);

private:
    enum class RunState : uint8_t { kWaiting, kRunning, kDone };
    // One start a replicate may run from, and its run.
    struct Cand {
        RNG start{};
        RNG base{};  // the start moved past the addition sequence
        double chance = 1.0;  // of being the replicate's start
        bool known = false;   // the replicate's start for certain
        RunState state = RunState::kWaiting;
        uint64_t runId = 0;  // the run under way or done from this start; 0: none
        bool drawn = false;  // the run under way passed its draws: the next start is known
        bool drawsLate = false;  // ... but it drew again since: known only once it ends
        bool guessed = false;    // the run began before the start was known
        RNG after{};  // where the run said the stream stands
        std::unique_ptr<AheadRun> result;
    };
    struct Slot {
        // The starts the replicate may have, likeliest first: one given or
        // known, or the guesses from those of the replicate before.
        std::vector<Cand> cands;
        bool given = false;
        bool begun = false;
    };
    struct Worker {
        SearchThread thread;
        std::atomic<bool> cancel{false};
        uint32_t rep = 0;
        uint64_t runId = 0;
        bool busy = false;
        bool parked = false;  // its run gave way and waits for a processor
    };

    void workerLoop(uint32_t w);
    Cand makeCand(const RNG &start, double chance, bool known);
    void setStartsLocked(uint32_t rep, const RNG &start);
    bool settleLocked(uint32_t rep, const RNG &state);
    void guessLocked();
    void dropRunLocked(Cand &c);
    void resetLocked(uint32_t rep);
    int drawsPast(const Cand &c, const RNG &now) const;
    bool pickNext(uint32_t *rep, uint32_t *cand);
    bool urgentLocked(uint32_t rep, const Cand &c) const;
    bool urgentRunLocked(const Worker &w) const;
    bool urgentWaitingLocked();
    bool mayBeginLocked(uint32_t rep, uint32_t cand);
    void refreshYieldLocked();
    void giveWay(uint32_t w);

    RunFxn run_;
    std::function<void(RNG *)> next_;
    std::function<void(RNG *)> draw_;
    std::vector<uint32_t> drawCounts_;  // by number of draws past the sequence
    uint64_t lastRunId_ = 0;
    std::function<bool(uint32_t)> prepare_;
    uint32_t unprepared_ = 0;
    bool prepareFailed_ = false;
    bool prepareOutOfMemory_ = false;
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<Worker>> workers_;
    uint32_t window_;
    // Runs computing (begun, not parked) and parked, against the processors.
    uint32_t cpus_ = 0;
    uint32_t computing_ = 0;
    uint32_t parked_ = 0;
    uint32_t gaveWay_ = 0;
    // An urgent run waits for a processor that a run able to give way holds:
    // read at each yield point without the lock.
    std::atomic<bool> yieldWanted_{false};
    uint32_t awaited_ = 0;  // the replicate the caller takes next
    uint32_t calledOff_ = 0;
    bool takenFromGuess_ = false;
    bool outOfMemory_ = false;
    bool takenOutOfMemory_ = false;
    // The last guessed starts checked, one bit each (set: wrong). While
    // many were, runs begin only from starts known to be right.
    uint32_t guessesWrong_ = 0;
    // The last replicates taken and runs set to run again because an
    // earlier replicate met their trees, one bit each (set: run again).
    uint32_t restarted_ = 0;
    bool quit_ = false;
    std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable resultReady_;
    std::condition_variable preparedAll_;
};
