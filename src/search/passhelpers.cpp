#include "search/passhelpers.h"

#include <atomic>
#include <chrono>
#include <new>
#include <system_error>

#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"

namespace {

// Process-wide: the search that makes the helpers installs them for every
// thread it runs (its own and those running replicates ahead).
std::atomic<PassHelpers *> gHelpers{nullptr};

}  // namespace

bool SearchThread::start(std::function<void()> body)
{
    join();
    body_ = std::move(body);
    running_ = startHelperThread(&thread_, entry, this);
    return running_;
}

void SearchThread::join()
{
    if (running_)
        joinHelperThread(thread_);
    running_ = false;
}

void *SearchThread::entry(void *self)
{
    static_cast<SearchThread *>(self)->body_();
    return nullptr;
}

PassHelpers *passHelpers() { return gHelpers.load(std::memory_order_acquire); }

void setPassHelpers(PassHelpers *helpers) { gHelpers.store(helpers, std::memory_order_release); }

PassHelpers::PassHelpers(uint32_t helpers, MakeSeat make, DropSeat drop)
    : make_(std::move(make)), drop_(std::move(drop)), seats_(helpers)
{
    threads_.reserve(helpers);
    for (uint32_t h = 0; h < helpers; h++) {
        bool made = false;
        try {
            threads_.push_back(std::make_unique<SearchThread>());
            made = threads_.back()->start([this, h] { helperLoop(h); });
        } catch (const std::system_error &) {
        } catch (const std::bad_alloc &) {
        }
        if (!made) {
            // No thread (or no record of it) to be had: the seats left are
            // tried, and empty.
            std::lock_guard lock(mutex_);
            seatsTried_ += helpers - h;
            seatsOutOfMemory_ = true;
            left_.notify_all();
            break;
        }
    }
}

PassHelpers::~PassHelpers()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        job_ = nullptr;
    }
    posted_.notify_all();
    for (auto &t : threads_)
        t->join();
}

bool PassHelpers::tryHold()
{
    std::lock_guard lock(mutex_);
    if (held_)
        return false;
    held_ = true;
    holder_ = std::this_thread::get_id();
    return true;
}

void PassHelpers::letGo()
{
    std::lock_guard lock(mutex_);
    held_ = false;
}

void PassHelpers::giveWay(const std::atomic<bool> &cancel)
{
    std::unique_lock lock(mutex_);
    // The flag is set without this lock: it is looked at every millisecond.
    const std::thread::id self = std::this_thread::get_id();
    while (job_ && holder_ != self && !cancel.load(std::memory_order_relaxed))
        free_.wait_for(lock, std::chrono::milliseconds(1));
}

uint32_t PassHelpers::seated()
{
    std::unique_lock lock(mutex_);
    left_.wait(lock, [this] { return seatsTried_ == seats_.size(); });
    return seated_;
}

bool PassHelpers::seatsOutOfMemory()
{
    std::unique_lock lock(mutex_);
    left_.wait(lock, [this] { return seatsTried_ == seats_.size(); });
    return seatsOutOfMemory_;
}

void PassHelpers::post(Job *job)
{
    {
        std::lock_guard lock(mutex_);
        job_ = job;
        generation_++;
    }
    posted_.notify_all();
}

void PassHelpers::finish()
{
    {
        std::unique_lock lock(mutex_);
        job_ = nullptr;
        left_.wait(lock, [this] { return inside_ == 0; });
    }
    free_.notify_all();
}

void PassHelpers::helperLoop(uint32_t h)
{
    PassSeat &seat = seats_[h];
    const WorkerAllocations allocations;
    // A seat that cannot be made (out of memory included) leaves the helper
    // out; a job copes with a helper that runs out of memory in it.
    bool ok = false, outOfMemory = false;
    try {
        ok = make_(&seat);
    } catch (const std::bad_alloc &) {
        outOfMemory = true;
    }
    outOfMemory |= workerAllocationFailed();
    ok &= !outOfMemory;
    if (!ok && seat.data)
        drop_(&seat);
    uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    seatsOutOfMemory_ |= outOfMemory;
    seatsTried_++;
    seated_ += ok ? 1 : 0;
    left_.notify_all();
    for (;;) {
        posted_.wait(lock, [&] { return quit_ || generation_ != seen; });
        if (quit_)
            break;
        seen = generation_;
        Job *job = job_;
        if (!job || !ok)
            continue;
        inside_++;
        lock.unlock();
        clearWorkerAllocationFailure();
        job->help(seat);
        lock.lock();
        if (--inside_ == 0)
            left_.notify_all();
    }
    lock.unlock();
    if (ok)
        drop_(&seat);
}
