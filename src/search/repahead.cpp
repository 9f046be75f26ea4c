#include "search/repahead.h"

#include <algorithm>
#include <bit>
#include <new>

#include "qel/qel_interrupts.h"

ReplicatesAhead::ReplicatesAhead(uint32_t workers, uint32_t nreps, uint32_t window, RunFxn run, const RNG &start,
                                 const std::function<void(RNG *)> &next)
    : run_(std::move(run)), next_(next), slots_(nreps), window_(std::max<uint32_t>(window, 1))
{
    setStarts(0, start, next);
    for (uint32_t w = 0; w < workers; w++)
        workers_.push_back(std::make_unique<Worker>());
}

void ReplicatesAhead::start(std::function<bool(uint32_t worker)> prepare)
{
    prepare_ = std::move(prepare);
    unprepared_ = static_cast<uint32_t>(workers_.size());
    // Signals stay with the thread that talks to the user.
    HelperThreadSignalMask mask;
    for (uint32_t w = 0; w < workers_.size(); w++)
        workers_[w]->thread = std::thread([this, w] { workerLoop(w); });
}

ReplicatesAhead::~ReplicatesAhead() { stop(); }

bool ReplicatesAhead::waitPrepared()
{
    std::unique_lock lock(mutex_);
    preparedAll_.wait(lock, [&] { return unprepared_ == 0 || quit_; });
    return unprepared_ == 0 && !prepareFailed_;
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

namespace {

bool sameState(const RNG &a, const RNG &b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z && a.c == b.c && a.legacy == b.legacy;
}

// Of the last eight guessed starts checked, this many wrong stop the runs
// begun from guesses: a run from a guess found wrong is thrown away, and on
// a busy machine it takes the processor from runs that count.
constexpr int kGuessesOff = 2;

}  // namespace


void ReplicatesAhead::setStartsLocked(uint32_t rep, const RNG &start, const std::function<void(RNG *)> &next)
{
    RNG state = start;
    for (uint32_t r = rep; r < slots_.size(); r++) {
        slots_[r].start = state;
        next(&state);
    }
    resetLocked(rep);
}

void ReplicatesAhead::resetLocked(uint32_t rep)
{
    for (uint32_t r = rep; r < slots_.size(); r++) {
        Slot &s = slots_[r];
        calledOff_ += s.state == SlotState::kDone;
        s.generation++;
        s.state = SlotState::kWaiting;
        s.drawn = s.drawsLate = false;
        s.result.reset();
    }
    for (auto &w : workers_)
        if (w->busy && w->rep >= rep)
            w->cancel.store(true, std::memory_order_relaxed);
}

void ReplicatesAhead::rerunFrom(uint32_t rep)
{
    {
        std::lock_guard lock(mutex_);
        resetLocked(std::max(rep, awaited_));
    }
    workReady_.notify_all();
}

void ReplicatesAhead::setStarts(uint32_t rep, const RNG &start, const std::function<void(RNG *)> &next)
{
    {
        std::lock_guard lock(mutex_);
        setStartsLocked(rep, start, next);
    }
    workReady_.notify_all();
}

void ReplicatesAhead::revise(uint32_t rep, const RNG &from, const RNG &now)
{
    {
        std::lock_guard lock(mutex_);
        if (rep < awaited_ || rep >= slots_.size() || !sameState(slots_[rep].start, from))
            return;
        Slot &slot = slots_[rep];
        const bool first = !slot.drawn;
        slot.drawn = true;
        if (rep + 1 >= slots_.size())
            return;
        const bool wrong = !sameState(slots_[rep + 1].start, now);
        // A run that draws again after it said it had drawn (one swapping
        // many stored trees resolves each) leaves the next start unknown
        // until it ends: a wrong guess like any other.
        if (first || wrong)
            guessesWrong_ = ((guessesWrong_ << 1) | (wrong ? 1u : 0u)) & 0xFFu;
        if (wrong && !first)
            slot.drawsLate = true;
        if (wrong)
            setStartsLocked(rep + 1, now, next_);
    }
    workReady_.notify_all();
}

void ReplicatesAhead::restart(uint32_t rep)
{
    {
        std::lock_guard lock(mutex_);
        if (rep < awaited_ || rep >= slots_.size())
            return;
        Slot &s = slots_[rep];
        calledOff_ += s.state == SlotState::kDone;
        restarted_ = ((restarted_ << 1) | 1u) & 0xFFu;
        s.generation++;
        s.state = SlotState::kWaiting;
        s.drawn = s.drawsLate = false;
        s.result.reset();
        for (auto &w : workers_)
            if (w->busy && w->rep == rep)
                w->cancel.store(true, std::memory_order_relaxed);
    }
    workReady_.notify_all();
}

uint32_t ReplicatesAhead::calledOff()
{
    std::lock_guard lock(mutex_);
    return calledOff_;
}

RNG ReplicatesAhead::startOf(uint32_t rep)
{
    std::lock_guard lock(mutex_);
    return slots_[rep].start;
}

uint32_t ReplicatesAhead::begun()
{
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(std::count_if(slots_.begin(), slots_.end(), [](const Slot &s) { return s.begun; }));
}

bool ReplicatesAhead::pickNext(uint32_t *rep)
{
    // Replicates that met each other's trees out of turn: while they do, the
    // runs ahead only throw away one another's work, and the awaited
    // replicate alone runs.
    const uint32_t window = std::popcount(restarted_) >= kGuessesOff ? 1 : window_;
    const uint64_t end = std::min<uint64_t>(slots_.size(), uint64_t{awaited_} + window);
    const bool guesses = std::popcount(guessesWrong_) < kGuessesOff;
    for (uint32_t r = awaited_; r < end; r++) {
        // A start is known right for the replicate awaited, and for the one
        // after a run that has drawn what it draws (a run done has).
        const Slot &before = r > awaited_ ? slots_[r - 1] : slots_[r];
        if (r > awaited_ && !guesses && (!before.drawn || before.drawsLate) && before.state != SlotState::kDone)
            return false;
        if (slots_[r].state == SlotState::kWaiting) {
            *rep = r;
            return true;
        }
    }
    return false;
}

void ReplicatesAhead::workerLoop(uint32_t w)
{
    Worker &me = *workers_[w];
    // A worker that cannot prepare (out of memory included) only says so:
    // the caller then runs the replicates itself.
    bool prepared = true;
    try {
        prepared = !prepare_ || prepare_(w);
    } catch (const std::bad_alloc &) {
        prepared = false;
    }
    std::unique_lock lock(mutex_);
    prepareFailed_ |= !prepared;
    if (--unprepared_ == 0)
        preparedAll_.notify_all();
    if (!prepared)
        return;
    for (;;) {
        uint32_t rep = 0;
        workReady_.wait(lock, [&] { return quit_ || pickNext(&rep); });
        if (quit_)
            return;
        Slot &slot = slots_[rep];
        slot.state = SlotState::kRunning;
        slot.begun = true;
        const uint32_t generation = slot.generation;
        const RNG start = slot.start;
        me.rep = rep;
        me.busy = true;
        me.cancel.store(false, std::memory_order_relaxed);
        lock.unlock();
        std::unique_ptr<AheadRun> result = run_(w, rep, start, me.cancel);
        lock.lock();
        me.busy = false;
        // A run called off was set waiting again with a new start (or the
        // whole search stops): its result is of no use, but for the awaited
        // replicate's when the search stops.
        const bool kept = !me.cancel.load(std::memory_order_relaxed) || (quit_ && rep == awaited_);
        if (slot.generation == generation && kept) {
            slot.result = std::move(result);
            slot.state = SlotState::kDone;
            resultReady_.notify_all();
            // A replicate done may let a run begin from the start after it.
            workReady_.notify_all();
        } else if (!quit_) {
            calledOff_++;
        }
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
    Slot &slot = slots_[rep];
    return slot.state == SlotState::kDone ? std::move(slot.result) : nullptr;
}

std::unique_ptr<AheadRun> ReplicatesAhead::take(uint32_t rep, std::chrono::milliseconds poll,
                                                const std::function<bool()> &onWake)
{
    std::unique_lock lock(mutex_);
    if (awaited_ != rep) {
        awaited_ = rep;
        workReady_.notify_all();
    }
    Slot &slot = slots_[rep];
    while (slot.state != SlotState::kDone) {
        if (resultReady_.wait_for(lock, poll, [&] { return slot.state == SlotState::kDone; }))
            break;
        lock.unlock();
        const bool giveUp = onWake();
        lock.lock();
        if (giveUp)
            return nullptr;
    }
    std::unique_ptr<AheadRun> result = std::move(slot.result);
    // Taken: the window moves on past it.
    awaited_ = rep + 1;
    restarted_ = (restarted_ << 1) & 0xFFu;
    workReady_.notify_all();
    return result;
}
