// Threads that help one search thread at a time with a piece of work it
// splits (the neighbours of one tree), each from a seat of its own: a copy
// of the data set's record with its own state sets, and a tree.
//
// The thread that holds the helpers posts a job; every helper that is free
// calls the job's help() once, and finish() returns only when no helper is
// inside the job any more, so the job and what it reads stay the holder's
// to change after that.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <pthread.h>

struct DataInfo;
struct Tree;

// A search's worker thread, on a stack given back to the system when it is
// joined (startHelperThread): the stacks of ended threads the C library
// would keep would stay out of reach of a search that goes on alone after
// its threads ran short of memory.
class SearchThread {
public:
    SearchThread() = default;
    ~SearchThread() { join(); }
    SearchThread(const SearchThread &) = delete;
    SearchThread &operator=(const SearchThread &) = delete;

    // False when no thread could be had.
    bool start(std::function<void()> body);
    bool joinable() const { return running_; }
    void join();

private:
    static void *entry(void *self);

    std::function<void()> body_;
    pthread_t thread_{};
    bool running_ = false;
};

struct PassSeat {
    DataInfo *data = nullptr;
    Tree *tree = nullptr;
    bool laidOut = false;  // the tree's set records were laid out once
};

class PassHelpers {
public:
    struct Job {
        virtual ~Job() = default;
        virtual void help(PassSeat &seat) = 0;
    };
    // Makes a seat on the helper's own thread (so the copies are made side by
    // side); false when it could not, and that helper takes no part. drop
    // frees a seat that make filled.
    using MakeSeat = std::function<bool(PassSeat *seat)>;
    using DropSeat = std::function<void(PassSeat *seat)>;

    PassHelpers(uint32_t helpers, MakeSeat make, DropSeat drop);
    ~PassHelpers();
    PassHelpers(const PassHelpers &) = delete;
    PassHelpers &operator=(const PassHelpers &) = delete;

    // Whether the calling thread now holds the helpers (one thread at a time).
    bool tryHold();
    void letGo();
    // For a thread whose work may be thrown away (a replicate run ahead of
    // its turn): waits while another thread's job is posted, so that the
    // pass the helpers work on has the processors, or until `cancel` is set.
    void giveWay(const std::atomic<bool> &cancel);
    // The helpers with a seat, once every seat was tried.
    uint32_t seated();
    // Whether a seat was left empty for want of memory (its thread or its
    // copies could not be made), once every seat was tried.
    bool seatsOutOfMemory();

    void post(Job *job);
    void finish();

private:
    void helperLoop(uint32_t h);

    MakeSeat make_;
    DropSeat drop_;
    std::vector<PassSeat> seats_;
    std::vector<std::unique_ptr<SearchThread>> threads_;
    std::mutex mutex_;
    std::condition_variable posted_, left_, free_;
    Job *job_ = nullptr;
    uint64_t generation_ = 0;
    uint32_t inside_ = 0;
    uint32_t seatsTried_ = 0, seated_ = 0;
    bool seatsOutOfMemory_ = false;
    bool held_ = false;
    std::thread::id holder_;
    bool quit_ = false;
};

// The helpers the calling thread's searches may use (null: none).
PassHelpers *passHelpers();
void setPassHelpers(PassHelpers *helpers);
