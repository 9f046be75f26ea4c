#include "search/repahead.h"

#include <algorithm>
#include <bit>
#include <new>
#include <system_error>

#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"

namespace {

bool sameState(const RNG &a, const RNG &b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z && a.c == b.c && a.legacy == b.legacy;
}

// Of the last eight guessed starts checked, this many wrong stop the runs
// begun from guesses: a run from a guess found wrong is thrown away, and on
// a busy machine it takes the processor from runs that count.
constexpr int kGuessesOff = 3;
// Of the last eight replicates, this many set to run again because an
// earlier one met their trees keep the runs to the awaited replicate.
constexpr int kRestartsOff = 2;
// Past this many draws beyond the sequence a run's draws are not counted:
// guesses that far off would seldom be right.
constexpr int kMostDrawsGuessed = 32;
// A replicate runs from at most this many guesses at once, each with at
// least this chance of being right (the first always).
constexpr size_t kGuessesPerReplicate = 6;
constexpr double kLeastChance = 0.05;
// A draw count guessed at all was seen at least this often.
constexpr double kRareDraws = 0.08;

// The pool and worker whose run this thread runs, for its yield points.
thread_local ReplicatesAhead *tPool = nullptr;
thread_local uint32_t tWorker = 0;

}  // namespace

ReplicatesAhead::ReplicatesAhead(uint32_t workers, uint32_t nreps, uint32_t window, RunFxn run, const RNG &start,
                                 const std::function<void(RNG *)> &next)
    : run_(std::move(run)), next_(next), slots_(nreps), window_(std::max<uint32_t>(window, 1))
{
    setStarts(0, start, next);
    for (uint32_t w = 0; w < workers; w++)
        workers_.push_back(std::make_unique<Worker>());
    cpus_ = workers;
}

void ReplicatesAhead::limitProcessors(uint32_t cpus)
{
    std::lock_guard lock(mutex_);
    cpus_ = std::clamp<uint32_t>(cpus, 1, std::max<uint32_t>(static_cast<uint32_t>(workers_.size()), 1));
}

void ReplicatesAhead::start(std::function<bool(uint32_t worker)> prepare)
{
    prepare_ = std::move(prepare);
    unprepared_ = static_cast<uint32_t>(workers_.size());
    // Signals stay with the thread that talks to the user.
    HelperThreadSignalMask mask;
    for (uint32_t w = 0; w < workers_.size(); w++) {
        bool made = false;
        try {
            made = workers_[w]->thread.start([this, w] { workerLoop(w); });
        } catch (const std::system_error &) {
            // No thread to be had (the process's memory or thread limit).
        } catch (const std::bad_alloc &) {
            // Nor its record.
        }
        if (!made) {
            // The worker counts as one that failed to prepare.
            std::lock_guard lock(mutex_);
            prepareFailed_ = prepareOutOfMemory_ = true;
            if (--unprepared_ == 0)
                preparedAll_.notify_all();
        }
    }
}

ReplicatesAhead::~ReplicatesAhead() { stop(); }

bool ReplicatesAhead::waitPrepared()
{
    std::unique_lock lock(mutex_);
    preparedAll_.wait(lock, [&] { return unprepared_ == 0 || quit_; });
    return unprepared_ == 0 && !prepareFailed_;
}

bool ReplicatesAhead::preparedOutOfMemory()
{
    std::lock_guard lock(mutex_);
    return prepareOutOfMemory_;
}

void ReplicatesAhead::stop()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        for (auto &w : workers_)
            w->cancel.store(true, std::memory_order_relaxed);
    }
    workReady_.notify_all();
    preparedAll_.notify_all();
    for (auto &w : workers_)
        if (w->thread.joinable())
            w->thread.join();
}

void ReplicatesAhead::dropRunLocked(Cand &c)
{
    calledOff_ += c.state == RunState::kDone;
    if (c.state == RunState::kRunning)
        for (auto &w : workers_)
            if (w->busy && w->runId == c.runId)
                w->cancel.store(true, std::memory_order_relaxed);
    c.state = RunState::kWaiting;
    c.runId = 0;
    c.drawn = c.drawsLate = false;
    c.result.reset();
}

void ReplicatesAhead::resetLocked(uint32_t rep)
{
    for (uint32_t r = rep; r < slots_.size(); r++)
        for (Cand &c : slots_[r].cands)
            dropRunLocked(c);
}

ReplicatesAhead::Cand ReplicatesAhead::makeCand(const RNG &start, double chance, bool known)
{
    Cand c;
    c.start = c.base = start;
    next_(&c.base);
    c.chance = chance;
    c.known = known;
    return c;
}

void ReplicatesAhead::setStartsLocked(uint32_t rep, const RNG &start)
{
    if (rep >= slots_.size())
        return;
    resetLocked(rep);
    for (uint32_t r = rep + 1; r < slots_.size(); r++)
        slots_[r].given = false;
    Slot &s = slots_[rep];
    s.cands.clear();
    s.cands.push_back(makeCand(start, 1.0, true));
    s.given = true;
    guessLocked();
}

bool ReplicatesAhead::settleLocked(uint32_t rep, const RNG &state)
{
    std::vector<Cand> &cands = slots_[rep].cands;
    const auto hit = std::find_if(cands.begin(), cands.end(), [&](const Cand &c) { return sameState(c.start, state); });
    if (hit == cands.end()) {
        setStartsLocked(rep, state);
        return false;
    }
    for (Cand &c : cands)
        if (&c != &*hit)
            dropRunLocked(c);
    Cand kept = std::move(*hit);
    kept.chance = 1.0;
    kept.known = true;
    cands.clear();
    cands.push_back(std::move(kept));
    slots_[rep].given = true;
    guessLocked();
    return true;
}

// The starts each replicate in the window may have, from those of the one
// before it: where a run has drawn, the state it stands at; otherwise past
// its sequence and each draw count seen often enough, with the chance of
// the run it follows times that count's share. Runs of starts no longer
// among them are dropped.
void ReplicatesAhead::guessLocked()
{
    uint64_t total = 0;
    for (uint32_t n : drawCounts_)
        total += n;
    std::vector<std::pair<uint32_t, double>> counts;  // draw counts guessed, with their shares
    for (uint32_t n = 0; n < drawCounts_.size(); n++)
        if (total > 0 && drawCounts_[n] >= kRareDraws * static_cast<double>(total))
            counts.emplace_back(n, static_cast<double>(drawCounts_[n]) / static_cast<double>(total));
    std::stable_sort(counts.begin(), counts.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    if (counts.empty())
        counts.emplace_back(0, 1.0);

    struct Guess {
        RNG start;
        double chance;
        bool known;
    };
    std::vector<Guess> guesses;
    const uint64_t end = std::min<uint64_t>(slots_.size(), uint64_t{awaited_} + window_ + 1);
    for (uint32_t r = std::max<uint32_t>(awaited_, 1); r < end; r++) {
        Slot &s = slots_[r];
        if (s.given)
            continue;
        guesses.clear();
        const auto add = [&](const RNG &state, double chance, bool known) {
            for (Guess &g : guesses)
                if (sameState(g.start, state)) {
                    g.chance += chance;
                    g.known |= known;
                    return;
                }
            guesses.push_back({state, chance, known});
        };
        for (const Cand &before : slots_[r - 1].cands) {
            const bool done = before.state == RunState::kDone;
            if (before.drawn && (!before.drawsLate || done)) {
                add(before.after, before.chance, before.known);
                continue;
            }
            // One that drew again and again is known only once it ends.
            if (before.drawsLate)
                continue;
            for (const auto &[n, share] : counts) {
                RNG state = before.base;
                if (n > 0 && !draw_)
                    continue;
                for (uint32_t d = 0; d < n; d++)
                    draw_(&state);
                // A run done has drawn what it draws: the caller's word on
                // where it left the stream is near.
                add(state, before.chance * share, before.known && done && counts.size() == 1);
            }
        }
        std::stable_sort(guesses.begin(), guesses.end(),
                         [](const Guess &a, const Guess &b) { return a.chance > b.chance; });
        size_t keep = 0;
        while (keep < guesses.size() && keep < kGuessesPerReplicate &&
               (keep == 0 || guesses[keep].chance >= kLeastChance))
            keep++;
        guesses.resize(keep);
        // Runs of the guesses kept go on; the others are dropped.
        std::vector<Cand> cands;
        for (const Guess &g : guesses) {
            auto at = std::find_if(s.cands.begin(), s.cands.end(),
                                   [&](const Cand &c) { return sameState(c.start, g.start); });
            if (at != s.cands.end()) {
                cands.push_back(std::move(*at));
                s.cands.erase(at);
                cands.back().chance = g.chance;
                cands.back().known = g.known;
            } else {
                cands.push_back(makeCand(g.start, g.chance, g.known));
            }
        }
        for (Cand &c : s.cands)
            dropRunLocked(c);
        s.cands = std::move(cands);
    }
}

void ReplicatesAhead::rerunFrom(uint32_t rep)
{
    {
        std::lock_guard lock(mutex_);
        resetLocked(std::max(rep, awaited_));
        guessLocked();
    }
    workReady_.notify_all();
}

void ReplicatesAhead::setStarts(uint32_t rep, const RNG &start, const std::function<void(RNG *)> &next)
{
    {
        std::lock_guard lock(mutex_);
        next_ = next;
        setStartsLocked(rep, start);
    }
    workReady_.notify_all();
}

void ReplicatesAhead::settle(uint32_t rep, const RNG &state)
{
    {
        std::lock_guard lock(mutex_);
        if (rep < awaited_ || rep >= slots_.size())
            return;
        settleLocked(rep, state);
    }
    workReady_.notify_all();
}

void ReplicatesAhead::guessDraws(std::function<void(RNG *)> draw, std::vector<uint32_t> prior)
{
    {
        std::lock_guard lock(mutex_);
        draw_ = std::move(draw);
        drawCounts_ = std::move(prior);
        drawCounts_.resize(kMostDrawsGuessed + 1);
        guessLocked();
    }
    workReady_.notify_all();
}

int ReplicatesAhead::drawsPast(const Cand &c, const RNG &now) const
{
    RNG state = c.base;
    for (int n = 0; n <= kMostDrawsGuessed; n++) {
        if (sameState(state, now))
            return n;
        if (!draw_)
            break;
        draw_(&state);
    }
    return -1;
}

void ReplicatesAhead::revise(uint32_t rep, const RNG &from, const RNG &now)
{
    {
        std::lock_guard lock(mutex_);
        if (rep < awaited_ || rep >= slots_.size())
            return;
        std::vector<Cand> &cands = slots_[rep].cands;
        const auto at = std::find_if(cands.begin(), cands.end(), [&](const Cand &c) { return sameState(c.start, from); });
        if (at == cands.end())
            return;
        Cand &c = *at;
        const bool first = !c.drawn;
        if (first && !drawCounts_.empty())
            if (const int n = drawsPast(c, now); n >= 0)
                drawCounts_[static_cast<size_t>(n)]++;
        // A run that draws again after it said it had drawn (one swapping
        // many stored trees resolves each) leaves the next start unknown
        // until it ends: a wrong guess like any other.
        const bool late = !first && !sameState(c.after, now);
        c.drawsLate |= late;
        c.drawn = true;
        c.after = now;
        if (rep + 1 < slots_.size() && c.known && (first || late)) {
            const std::vector<Cand> &next = slots_[rep + 1].cands;
            const bool wrong = late || std::none_of(next.begin(), next.end(), [&](const Cand &n) {
                                           return sameState(n.start, now);
                                       });
            guessesWrong_ = ((guessesWrong_ << 1) | (wrong ? 1u : 0u)) & 0xFFu;
        }
        guessLocked();
    }
    workReady_.notify_all();
}

void ReplicatesAhead::restart(uint32_t rep)
{
    {
        std::lock_guard lock(mutex_);
        if (rep < awaited_ || rep >= slots_.size())
            return;
        restarted_ = ((restarted_ << 1) | 1u) & 0xFFu;
        // Where the run said the stream stands stays the guess for the
        // replicates after it: the run again most often draws as it did,
        // and a later word from it sets them right if not.
        for (Cand &c : slots_[rep].cands) {
            const bool drawn = c.drawn && !c.drawsLate;
            dropRunLocked(c);
            c.drawn = drawn;
        }
        guessLocked();
    }
    workReady_.notify_all();
}

uint32_t ReplicatesAhead::calledOff()
{
    std::lock_guard lock(mutex_);
    return calledOff_;
}

bool ReplicatesAhead::takenOutOfMemory()
{
    std::lock_guard lock(mutex_);
    return takenOutOfMemory_;
}

bool ReplicatesAhead::takenFromGuess()
{
    std::lock_guard lock(mutex_);
    return takenFromGuess_;
}

uint32_t ReplicatesAhead::gaveWay()
{
    std::lock_guard lock(mutex_);
    return gaveWay_;
}

uint32_t ReplicatesAhead::begun()
{
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(std::count_if(slots_.begin(), slots_.end(), [](const Slot &s) { return s.begun; }));
}

bool ReplicatesAhead::pickNext(uint32_t *rep, uint32_t *cand)
{
    // Replicates that met each other's trees out of turn: while they do, the
    // runs ahead only throw away one another's work, and the awaited
    // replicate alone runs.
    const uint32_t window = std::popcount(restarted_) >= kRestartsOff ? 1 : window_;
    const uint64_t end = std::min<uint64_t>(slots_.size(), uint64_t{awaited_} + window);
    const bool guesses = std::popcount(guessesWrong_) < kGuessesOff;
    // Starts known right first, in replicate order (the awaited replicate's
    // is); then the guess likeliest to be right.
    double best = -1.0;
    for (uint32_t r = awaited_; r < end; r++) {
        const std::vector<Cand> &cands = slots_[r].cands;
        for (uint32_t k = 0; k < cands.size(); k++) {
            const Cand &c = cands[k];
            if (c.state != RunState::kWaiting || (!c.known && r != awaited_ && !guesses))
                continue;
            const double rank = c.known || r == awaited_ ? 2.0 : c.chance;
            if (rank > best) {
                best = rank;
                *rep = r;
                *cand = k;
            }
        }
        if (best == 2.0)
            return true;
    }
    return best >= 0.0;
}

// A run is urgent while it is the one the caller waits for, or while it is
// about to tell where the next replicate starts: from a start known right,
// its draws not yet made. Each such run shortens the chain of starts, one
// after another, that the whole search waits on.
bool ReplicatesAhead::urgentLocked(uint32_t rep, const Cand &c) const
{
    return rep == awaited_ || (c.known && !c.drawn);
}

bool ReplicatesAhead::urgentRunLocked(const Worker &w) const
{
    if (!w.busy || w.cancel.load(std::memory_order_relaxed))
        return false;
    const std::vector<Cand> &cands = slots_[w.rep].cands;
    const auto mine = std::find_if(cands.begin(), cands.end(), [&](const Cand &c) {
        return c.runId == w.runId && c.state == RunState::kRunning;
    });
    return mine != cands.end() && urgentLocked(w.rep, *mine);
}

// An urgent run parked, or an urgent start that an idle worker would begin.
bool ReplicatesAhead::urgentWaitingLocked()
{
    bool idle = false;
    for (const auto &w : workers_) {
        if (w->busy && w->parked && urgentRunLocked(*w))
            return true;
        idle |= !w->busy;
    }
    uint32_t rep = 0, k = 0;
    return idle && pickNext(&rep, &k) && urgentLocked(rep, slots_[rep].cands[k]);
}

// An urgent start begins on any free processor; another only while no run
// that gave way waits for one.
bool ReplicatesAhead::mayBeginLocked(uint32_t rep, uint32_t cand)
{
    return computing_ < cpus_ && (parked_ == 0 || urgentLocked(rep, slots_[rep].cands[cand]));
}

void ReplicatesAhead::refreshYieldLocked()
{
    bool want = false;
    if (computing_ >= cpus_ && urgentWaitingLocked())
        for (const auto &w : workers_)
            if (w->busy && !w->parked && !urgentRunLocked(*w) && !w->cancel.load(std::memory_order_relaxed)) {
                want = true;
                break;
            }
    yieldWanted_.store(want, std::memory_order_relaxed);
}

void ReplicatesAhead::yieldPoint()
{
    if (ReplicatesAhead *pool = tPool; pool && pool->yieldWanted_.load(std::memory_order_relaxed))
        pool->giveWay(tWorker);
}

// The run on worker w lets an urgent one have its processor, and waits to
// go on until one is free and nothing urgent waits for it (its own run
// become urgent, it goes on at the first free processor).
void ReplicatesAhead::giveWay(uint32_t w)
{
    std::unique_lock lock(mutex_);
    Worker &me = *workers_[w];
    if (quit_ || me.cancel.load(std::memory_order_relaxed) || computing_ < cpus_ || urgentRunLocked(me) ||
        !urgentWaitingLocked()) {
        refreshYieldLocked();
        return;
    }
    computing_--;
    parked_++;
    gaveWay_++;
    me.parked = true;
    refreshYieldLocked();
    workReady_.notify_all();
    workReady_.wait(lock, [&] {
        if (quit_ || me.cancel.load(std::memory_order_relaxed) ||
            (computing_ < cpus_ && (urgentRunLocked(me) || !urgentWaitingLocked())))
            return true;
        // Become urgent itself (the awaited replicate's, say), it asks a
        // run that may give way to do so.
        refreshYieldLocked();
        return false;
    });
    computing_++;
    parked_--;
    me.parked = false;
    refreshYieldLocked();
}

void ReplicatesAhead::workerLoop(uint32_t w)
{
    Worker &me = *workers_[w];
    const WorkerAllocations allocations;
    // A worker that cannot prepare (out of memory included) only says so:
    // the caller then runs the replicates itself.
    bool prepared = true, outOfMemory = false;
    try {
        prepared = !prepare_ || prepare_(w);
    } catch (const std::bad_alloc &) {
        prepared = false;
        outOfMemory = true;
    }
    outOfMemory |= workerAllocationFailed();
    prepared &= !outOfMemory;
    std::unique_lock lock(mutex_);
    prepareFailed_ |= !prepared;
    prepareOutOfMemory_ |= outOfMemory;
    if (--unprepared_ == 0)
        preparedAll_.notify_all();
    if (!prepared)
        return;
    for (;;) {
        uint32_t rep = 0, k = 0;
        workReady_.wait(lock, [&] {
            if (quit_)
                return true;
            if (outOfMemory_ || !pickNext(&rep, &k))
                return false;
            if (mayBeginLocked(rep, k))
                return true;
            refreshYieldLocked();
            return false;
        });
        if (quit_)
            return;
        Slot &slot = slots_[rep];
        Cand &cand = slot.cands[k];
        cand.state = RunState::kRunning;
        cand.runId = ++lastRunId_;
        cand.guessed = !cand.known && rep != awaited_;
        slot.begun = true;
        const RNG start = cand.start;
        me.rep = rep;
        me.runId = cand.runId;
        me.busy = true;
        me.cancel.store(false, std::memory_order_relaxed);
        computing_++;
        refreshYieldLocked();
        tPool = this;
        tWorker = w;
        lock.unlock();
        // A run out of memory, whether its own allocations said so or the
        // language's threw, leaves its worker's copies half changed: no
        // run begins after it, and the caller reports the failure.
        clearWorkerAllocationFailure();
        std::unique_ptr<AheadRun> result;
        bool failed = false;
        try {
            result = run_(w, rep, start, me.cancel);
        } catch (const std::bad_alloc &) {
            failed = true;
        }
        failed |= workerAllocationFailed();
        lock.lock();
        if (failed && !outOfMemory_) {
            outOfMemory_ = true;
            for (auto &other : workers_)
                other->cancel.store(true, std::memory_order_relaxed);
            resultReady_.notify_all();
            workReady_.notify_all();
        }
        tPool = nullptr;
        computing_--;
        me.busy = false;
        // A processor is free: a run that gave way may go on.
        refreshYieldLocked();
        if (parked_ > 0)
            workReady_.notify_all();
        // A run called off was set waiting again with a new start, or
        // dropped as a guess found wrong (or the whole search stops): its
        // result is of no use, but for the awaited replicate's when the
        // search stops.
        const bool kept = !failed && (!me.cancel.load(std::memory_order_relaxed) || (quit_ && rep == awaited_));
        std::vector<Cand> &cands = slots_[rep].cands;
        const auto mine = std::find_if(cands.begin(), cands.end(), [&](const Cand &c) {
            return c.runId == me.runId && c.state == RunState::kRunning;
        });
        if (mine != cands.end() && kept) {
            mine->result = std::move(result);
            mine->state = RunState::kDone;
            // A run done has drawn what it draws. Guesses that find no
            // memory leave each replicate's starts as they were (a guess
            // is made whole or not at all) until the caller's next take
            // makes them again: the result stands.
            try {
                guessLocked();
            } catch (const std::bad_alloc &) {
            }
            resultReady_.notify_all();
            // A replicate done may let a run begin from the start after it.
            workReady_.notify_all();
        } else if (!quit_ && !failed) {
            calledOff_++;
        }
        if (failed)
            return;
    }
}

std::unique_ptr<AheadRun> ReplicatesAhead::stopAndTake(uint32_t rep)
{
    {
        std::lock_guard lock(mutex_);
        awaited_ = rep;
    }
    stop();
    std::lock_guard lock(mutex_);
    Cand &c = slots_[rep].cands.front();
    takenFromGuess_ = c.state == RunState::kDone && c.guessed;
    return c.state == RunState::kDone ? std::move(c.result) : nullptr;
}

std::unique_ptr<AheadRun> ReplicatesAhead::take(uint32_t rep, std::chrono::milliseconds poll,
                                                const std::function<bool()> &onWake)
{
    std::unique_lock lock(mutex_);
    takenOutOfMemory_ = false;
    if (awaited_ != rep) {
        awaited_ = rep;
        guessLocked();
        workReady_.notify_all();
    }
    // The replicate awaited runs from its likeliest start: the one given,
    // when the caller has said. Once a run ran out of memory none begins.
    const auto done = [&] { return slots_[rep].cands.front().state == RunState::kDone || outOfMemory_; };
    while (!done()) {
        if (resultReady_.wait_for(lock, poll, done))
            break;
        lock.unlock();
        const bool giveUp = onWake();
        lock.lock();
        if (giveUp)
            return nullptr;
    }
    if (slots_[rep].cands.front().state != RunState::kDone) {
        takenOutOfMemory_ = true;
        return nullptr;
    }
    takenFromGuess_ = slots_[rep].cands.front().guessed;
    std::unique_ptr<AheadRun> result = std::move(slots_[rep].cands.front().result);
    // Taken: the window moves on past it.
    awaited_ = rep + 1;
    restarted_ = (restarted_ << 1) & 0xFFu;
    guessLocked();
    workReady_.notify_all();
    return result;
}
