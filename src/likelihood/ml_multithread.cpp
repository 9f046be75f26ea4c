#include "likelihood/ml_multithread.h"

#include <algorithm>
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

void evalTask(uint32_t i, void *shared, void *own)
{
    const auto *r = static_cast<const LikRound *>(shared);
    const LikRange range = getPatRangeForThread(static_cast<int32_t>(i), r->nthreads, r->ctx->npatterns);
    auto *out = static_cast<LikTaskResult *>(own);
    out->result = range.first < range.end ? r->eval(*r->ctx, *r->evalOp, range.first, range.end, r->mode)
                                          : LikResult{0, 0, 0};
}

void clTask(uint32_t i, void *shared, void *own)
{
    const auto *r = static_cast<const LikRound *>(shared);
    const uint32_t items = r->ctx->npatterns * r->ctx->ncat;
    const LikRange range = getCLRangeForThread(static_cast<int32_t>(i), r->nthreads, items);
    auto *out = static_cast<LikTaskResult *>(own);
    out->below = range.first < range.end && r->loop(*r->ctx, *r->clOp, range.first, range.end);
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

struct LikThreads {
    ThreadGroup *group;
    int32_t n;
    LikRound round;
};

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

LikResult evalEdgeMultithreaded(LikThreads *t, LikEvalFxn eval, const LikKernelContext &ctx, const LikEvalOp &op,
                                uint32_t mode)
{
    if (t->group == nullptr || ctx.mkStates != nullptr)
        return eval(ctx, op, 0, ctx.npatterns, mode);
    t->round = LikRound{&ctx, &op, nullptr, eval, nullptr, mode, t->n};
    for (int32_t i = 0; i < t->n; ++i)
        setMThreadTaskFunction(t->group, i, evalTask);
    startThreadGroup(t->group);
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
    t->round = LikRound{&ctx, nullptr, &op, nullptr, loop, 0, t->n};
    for (int32_t i = 0; i < t->n; ++i)
        setMThreadTaskFunction(t->group, i, clTask);
    startThreadGroup(t->group);
    bool below = false;
    for (int32_t i = 0; i < t->n; ++i)
        below = below || static_cast<LikTaskResult *>(getDataForMThreadTask(t->group, i))->below;
    return below;
}
