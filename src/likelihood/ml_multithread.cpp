#include "likelihood/ml_multithread.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"

namespace {

// What every task of one round reads; written by the calling thread before
// the round starts, read-only during it.
struct LikRound {
    const LikKernelContext *ctx;
    const LikEvalOp *evalOp;
    const LikClOp *clOp;
    LikEvalFxn eval;
    LikClLoopFxn loop;
    uint32_t mode;
    int32_t nthreads;
    double task0Seconds;  // written by task 0 in a threaded round
};

// A task's own result, a cache line's length from its neighbours' (the
// group's per-thread blocks are only 16-byte aligned, so padded, not
// over-aligned).
struct LikTaskResult {
    LikResult result;
    bool below;
    char pad[64 - sizeof(LikResult) - 8];
};
static_assert(sizeof(LikTaskResult) == 64);

// Times the calling thread's block (thread 0 runs it inside the round).
template <typename Body>
void timedIfFirst(uint32_t i, void *shared, Body body)
{
    if (i != 0)
        return body();
    const auto start = std::chrono::steady_clock::now();
    body();
    static_cast<LikRound *>(shared)->task0Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void evalBlock(uint32_t i, void *shared, void *own)
{
    const auto *r = static_cast<const LikRound *>(shared);
    const LikRange range = getPatRangeForThread(static_cast<int32_t>(i), r->nthreads, r->ctx->npatterns);
    auto *out = static_cast<LikTaskResult *>(own);
    out->result = range.first < range.end ? r->eval(*r->ctx, *r->evalOp, range.first, range.end, r->mode)
                                          : LikResult{0, 0, 0};
}

void clBlock(uint32_t i, void *shared, void *own)
{
    const auto *r = static_cast<const LikRound *>(shared);
    const uint32_t items = r->ctx->npatterns * r->ctx->ncat;
    const LikRange range = getCLRangeForThread(static_cast<int32_t>(i), r->nthreads, items);
    auto *out = static_cast<LikTaskResult *>(own);
    out->below = range.first < range.end && r->loop(*r->ctx, *r->clOp, range.first, range.end);
}

void evalTask(uint32_t i, void *shared, void *own)
{
    timedIfFirst(i, shared, [&] { evalBlock(i, shared, own); });
}

void clTask(uint32_t i, void *shared, void *own)
{
    timedIfFirst(i, shared, [&] { clBlock(i, shared, own); });
}

LikRange blockRange(int32_t thread, int32_t k, uint32_t n, uint32_t block)
{
    if (thread < 0 || k <= 1)
        return {0, n};
    const uint64_t first = static_cast<uint64_t>(thread) * block;
    const uint64_t end = thread == k - 1 ? n : first + block;
    return {static_cast<uint32_t>(std::min<uint64_t>(first, n)), static_cast<uint32_t>(std::min<uint64_t>(end, n))};
}

}  // namespace

// Whether threaded rounds pay. A round on k threads should take about 1/k
// of the calling thread's block times k; on a machine with more runnable
// threads than processors a round waits for workers the scheduler has taken
// off their processors and can take longer than the whole work done alone.
// Over each window of rounds the threaded time is set against that
// estimate; a window that lost (or a single round that took several times
// the estimate) sends the next rounds to the calling thread, which runs
// every block itself in thread order (so the results are the same bit for
// bit), and the threads are tried again after. Each loss in a row doubles
// that stretch, so a machine that stays busy pays for few trials.
struct RoundClock {
    static constexpr uint32_t kWindow = 32;
    static constexpr uint32_t kSerialRounds = 2048;
    static constexpr uint32_t kMostDoublings = 7;
    uint32_t rounds = 0;
    uint32_t serialLeft = 0;
    uint32_t losses = 0;    // windows lost in a row
    double threaded = 0.0;  // seconds of the window's rounds
    double alone = 0.0;     // the calling thread's block times k, summed
};

struct LikThreads {
    ThreadGroup *group;
    int32_t n;
    LikRound round;
    RoundClock clock;
};

namespace {

// Task 0 runs on the calling thread inside a threaded round; its time times
// the thread count estimates the round's work done alone.
struct TimedTask {
    MThreadTaskFxn task;
    double seconds;
};

void runRound(LikThreads *t, MThreadTaskFxn task)
{
    RoundClock &c = t->clock;
    if (c.serialLeft > 0) {
        --c.serialLeft;
        for (int32_t i = 0; i < t->n; ++i)
            task(static_cast<uint32_t>(i), &t->round, getDataForMThreadTask(t->group, i));
        return;
    }
    using Clock = std::chrono::steady_clock;
    for (int32_t i = 0; i < t->n; ++i)
        setMThreadTaskFunction(t->group, i, task);
    const auto start = Clock::now();
    startThreadGroup(t->group);
    const auto end = Clock::now();
    const double round = std::chrono::duration<double>(end - start).count(), alone = t->round.task0Seconds * t->n;
    c.threaded += round;
    c.alone += alone;
    const bool hopeless = round > 4.0 * alone + 50e-6;
    if (++c.rounds < RoundClock::kWindow && !hopeless)
        return;
    if (hopeless || c.threaded > c.alone) {
        c.serialLeft = RoundClock::kSerialRounds << c.losses;
        c.losses = std::min(c.losses + 1, RoundClock::kMostDoublings);
    } else {
        c.losses = 0;
    }
    c.rounds = 0;
    c.threaded = c.alone = 0.0;
}

}  // namespace

LikRange getPatRangeForThread(int32_t thread, int32_t nthreads, uint32_t npatterns)
{
    const uint32_t k = static_cast<uint32_t>(std::max(nthreads, 1));
    return blockRange(thread, nthreads, npatterns, npatterns == 0 ? 0 : (npatterns - 1) / k + 1);
}

LikRange getCLRangeForThread(int32_t thread, int32_t nthreads, uint32_t nitems)
{
    return blockRange(thread, nthreads, nitems, nitems / static_cast<uint32_t>(std::max(nthreads, 1)));
}

void getCategoriesForThread(int32_t thread, int32_t nthreads, uint32_t ncat, uint32_t *first, uint32_t *last)
{
    const auto k = static_cast<uint32_t>(std::max(nthreads, 1));
    if (thread < 0 || ncat == 0) {
        *first = 0;
        *last = ncat == 0 ? 0 : ncat - 1;
        return;
    }
    const auto t = static_cast<uint32_t>(thread);
    if (k >= ncat) {
        *first = *last = std::min(t / (k / ncat), ncat - 1);
        return;
    }
    const uint32_t per = ncat / k;
    *first = per * t;
    *last = t == k - 1 ? ncat - 1 : per * t + per - 1;
}

LikThreads *createLikThreads(int32_t n)
{
    void *mem = allocBlock(sizeof(LikThreads));
    if (mem == nullptr)
        return nullptr;
    auto *t = new (mem) LikThreads{};
    t->n = std::max(n, 1);
    if (t->n > 1) {
        t->group = createThreadGroup(t->n, &t->round, sizeof(LikTaskResult));
        if (t->group == nullptr)
            return destroyLikThreads(t);
    }
    return t;
}

LikThreads *destroyLikThreads(LikThreads *t)
{
    if (t != nullptr) {
        destroyThreadGroup(t->group);
        t->~LikThreads();
        deallocBlock(t);
    }
    return nullptr;
}

int32_t likThreadCount(const LikThreads *t) { return t != nullptr ? t->n : 0; }

void runLikRoundsSerially(LikThreads *t, uint32_t rounds) { t->clock.serialLeft = rounds; }

LikResult evalEdgeMultithreaded(LikThreads *t, LikEvalFxn eval, const LikKernelContext &ctx, const LikEvalOp &op,
                                uint32_t mode)
{
    if (t->group == nullptr || ctx.mkStates != nullptr)
        return eval(ctx, op, 0, ctx.npatterns, mode);
    t->round = LikRound{&ctx, &op, nullptr, eval, nullptr, mode, t->n, 0.0};
    runRound(t, evalTask);
    LikResult sum{0, 0, 0};
    for (int32_t i = 0; i < t->n; ++i) {
        const LikResult &r = static_cast<LikTaskResult *>(getDataForMThreadTask(t->group, i))->result;
        // One block past the smallest pattern likelihood makes the whole
        // score infinite.
        if (r.lnL >= kLikInfiniteScore)
            return likInfiniteResult();
        sum.lnL += r.lnL;
        sum.d1 += r.d1;
        sum.d2 += r.d2;
    }
    return sum;
}

bool clUpdateMultithreaded(LikThreads *t, LikClLoopFxn loop, const LikKernelContext &ctx, const LikClOp &op)
{
    if (t->group == nullptr || ctx.mkStates != nullptr)
        return loop(ctx, op, 0, ctx.npatterns * ctx.ncat);
    t->round = LikRound{&ctx, nullptr, &op, nullptr, loop, 0, t->n, 0.0};
    runRound(t, clTask);
    bool below = false;
    for (int32_t i = 0; i < t->n; ++i)
        below = below || static_cast<LikTaskResult *>(getDataForMThreadTask(t->group, i))->below;
    return below;
}
