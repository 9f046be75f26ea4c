#include "likelihood/ml_multithread.h"

#include <malloc.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "likelihood/payclock.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"

namespace {

// At most this many chunks a round: enough for two to eight threads to
// share out a round (a thread that falls behind loses a chunk to the
// others), few enough that the kernel calls per chunk and rate category
// stay cheap beside the work.
constexpr uint32_t kChunksPerRound = 16;
// Units of a job round per thread: small, as the chunks of a pass are, so
// that a thread that falls behind hands most of its jobs to the others.
constexpr uint32_t kJobUnitsPerThread = 16;
// Chunk lengths are multiples of 16 patterns: a chunk's rescalers fill whole
// cache lines, and the vector kernels step through a chunk in the same
// groups of patterns as through the whole range.
constexpr uint32_t kChunkQuantum = 16;
// A waiting thread spins this long (time actually spent spinning) before it
// blocks. The rounds of one evaluation follow each other within a few
// microseconds; a worker still waiting after this is idle between
// evaluations or kept off its processor, and should leave the processor to
// others. Workers do not spin longer in wait for a round they know is
// coming (while the calling thread records a traversal): where a worker
// shares a processor with the calling thread or with another program, as
// on a machine whose second processor is busy, that spinning took the
// processor from them, and two threads were slower than one.
constexpr auto kSpinBound = std::chrono::microseconds(10);
// A round whose calling thread waits this long (and longer than its own
// part took) for the workers has lost one to the scheduler.
constexpr auto kStall = std::chrono::microseconds(200);

enum class RoundKind : uint8_t { Eval, Cl, Rescale, Batch, Jobs };

// What every chunk of one round reads; written by the calling thread before
// the round is published, read-only during it.
struct LikRound {
    RoundKind kind = RoundKind::Eval;
    const LikKernelContext *ctx = nullptr;
    const LikEvalOp *evalOp = nullptr;
    const LikClOp *clOp = nullptr;
    const LikScalerOp *scalerOp = nullptr;
    LikEvalFxn eval = nullptr;
    LikClLoopFxn loop = nullptr;
    LikRescaleFxn rescale = nullptr;
    void *cla = nullptr;
    void *scalers = nullptr;
    uint32_t mode = 0;
    uint32_t chunk = 0;  // patterns per chunk
    LikBatch *batch = nullptr;
    LikJobFxn job = nullptr;
    void *jobArg = nullptr;
    uint32_t jobs = 0;  // jobs of a job round, over its units
    // A batch round counts for the pay clock as the CL items of all its
    // steps and as one round per step.
    double items = 0.0;
    uint32_t weight = 1;
};

// One chunk's result, a cache line of its own.
struct alignas(64) ChunkResult {
    LikResult result;
    bool below;
};

struct alignas(64) ClaimWord {
    std::atomic<uint64_t> word{0};
};

// A worker's count of chunks done and its kernel id, on a line of its own.
struct alignas(64) WorkerCount {
    std::atomic<uint64_t> chunks{0};
    std::atomic<int64_t> tid{0};
};

}  // namespace

struct LikThreads {
    int32_t n = 1;
    int32_t started = 0;  // workers running: 1..started
    std::vector<pthread_t> workers;
    std::vector<WorkerCount> counts;
    LikRound round{};
    std::vector<ChunkResult> results;
    PayClock clock;
    uint32_t roundId = 0;
    uint32_t roundChunks = 0;  // chunks of the current round
    // Per thread: round << 32 | end of its share << 16 | next chunk.
    std::vector<ClaimWord> claims;
    // The round number the workers wait on, and how many of them sleep.
    alignas(64) std::atomic<uint32_t> published{0};
    std::atomic<uint32_t> sleepers{0};
    std::atomic<uint8_t> quit{0};
    // Chunks finished in the current round; the calling thread may sleep on it.
    alignas(64) std::atomic<uint32_t> done{0};
    std::atomic<uint32_t> mainSleeping{0};
    // The calling thread's account of the rounds (it alone writes it).
    LikThreadStats stats;
};

namespace {

// Claims the next chunk of round `id` from thread `owner`'s share; false
// when that share has none left (or the round is no longer current).
bool claimFrom(LikThreads *t, int32_t owner, uint32_t id, uint32_t *chunk)
{
    std::atomic<uint64_t> &word = t->claims[static_cast<size_t>(owner)].word;
    uint64_t w = word.load(std::memory_order_acquire);
    for (;;) {
        const uint32_t end = static_cast<uint32_t>(w >> 16) & 0xFFFFu, next = static_cast<uint32_t>(w) & 0xFFFFu;
        if (static_cast<uint32_t>(w >> 32) != id || next >= end)
            return false;
        if (word.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
            *chunk = next;
            return true;
        }
    }
}

// A thread works through its own share first (the same patterns of every
// CLA round after round, which stay in its processor's cache), then helps
// with the others' shares.
bool claimChunk(LikThreads *t, int32_t self, uint32_t id, uint32_t *chunk)
{
    for (int32_t i = 0; i < t->n; ++i)
        if (claimFrom(t, (self + i) % t->n, id, chunk))
            return true;
    return false;
}

// The output's rescalers of patterns [first, end) made ready for a CL loop.
void prepareScalers(const LikScalerOp &s, const LikKernelContext &ctx, uint32_t first, uint32_t end)
{
    const size_t at = size_t{first} * s.bytesPerValue, bytes = size_t{end - first} * s.bytesPerValue;
    auto *out = static_cast<unsigned char *>(s.out) + at;
    const auto *in1 = static_cast<const unsigned char *>(s.in1), *in2 = static_cast<const unsigned char *>(s.in2);
    if (in1 != nullptr && in2 != nullptr) {
        LikKernelContext part = ctx;
        part.npatterns = end - first;
        s.merge(part, in1 + at, in2 + at, out);
    } else if (in1 != nullptr || in2 != nullptr) {
        std::memcpy(out, (in1 != nullptr ? in1 : in2) + at, bytes);
    } else {
        std::memset(out, 0, bytes);
    }
}

// Chunk `chunk` of round `r` into `out`; whichever thread runs it, the
// chunk's values and result are the same.  A CL chunk readies its
// rescalers and runs its loops; the rescaling itself waits for the whole
// update, which decides on it for all patterns at once.
void runChunkOf(const LikRound &r, uint32_t chunk, ChunkResult &out)
{
    const LikKernelContext &ctx = *r.ctx;
    const uint32_t np = ctx.npatterns;
    const uint32_t first = chunk * r.chunk, end = std::min(np, first + r.chunk);
    switch (r.kind) {
    case RoundKind::Eval:
        out.result = r.eval(ctx, *r.evalOp, first, end, r.mode);
        break;
    case RoundKind::Cl: {
        const LikScalerOp &s = *r.scalerOp;
        if (s.out != nullptr)
            prepareScalers(s, ctx, first, end);
        bool below = false;
        for (uint32_t c = 0; c < ctx.ncat; ++c)
            below = r.loop(ctx, *r.clOp, c * np + first, c * np + end) || below;
        out.below = below;
        break;
    }
    case RoundKind::Rescale:
        r.rescale(ctx, r.cla, r.scalers, first, end);
        break;
    case RoundKind::Batch:  // runBatchUnit
    case RoundKind::Jobs:
        break;
    }
}

// Block `unit` of a batch: chunks [first, end) of one site category, every
// step in order, each over the whole block before the next, so that the
// kernels stream through long runs of memory. A step's loops and its
// rescaling still go chunk by chunk, since a chunk's rescaling is decided
// by its own values alone; the values are those of any other grouping of
// the chunks into blocks.
void runBatchUnit(LikBatch &b, uint32_t unit)
{
    const LikBatchUnit &u = b.units[unit];
    const LikKernelContext &ctx = b.contexts[u.context];
    const uint32_t np = ctx.npatterns, per = likChunkPatterns(np);
    const auto chunkEnd = [&](uint32_t k) { return std::min(np, (k + 1) * per); };
    LikResult *results = b.chunkResults.data() + b.firstChunk[u.context];
    std::array<bool, kChunksPerRound> below{};
    for (const LikBatchStep &s : b.steps) {
        if (s.context != u.context)
            continue;
        if (s.loop == nullptr) {
            for (uint32_t k = u.first; k < u.end; ++k)
                results[k] = s.eval(ctx, s.evalOp, k * per, chunkEnd(k), s.mode);
            continue;
        }
        if (s.scalers.out != nullptr)
            prepareScalers(s.scalers, ctx, u.first * per, chunkEnd(u.end - 1));
        below.fill(false);
        for (uint32_t r = 0; r < ctx.ncat; ++r)
            for (uint32_t k = u.first; k < u.end; ++k)
                below[k] = s.loop(ctx, s.op, r * np + k * per, r * np + chunkEnd(k)) || below[k];
        if (s.scalers.rescale != nullptr)
            for (uint32_t k = u.first; k < u.end; ++k)
                if (below[k])
                    s.scalers.rescale(ctx, s.op.out, s.scalers.out, k * per, chunkEnd(k));
    }
}

// Unit `unit` of `units` of a job round, on thread `self`.
void runJobUnit(const LikRound &r, uint32_t unit, uint32_t units, int32_t self)
{
    const auto first = static_cast<uint32_t>(uint64_t{unit} * r.jobs / units);
    const auto end = static_cast<uint32_t>(uint64_t{unit + 1} * r.jobs / units);
    if (first < end)
        r.job(r.jobArg, first, end, self);
}

void runChunk(LikThreads *t, uint32_t chunk, int32_t self, uint32_t chunks)
{
    if (t->round.kind == RoundKind::Jobs)
        runJobUnit(t->round, chunk, chunks, self);
    else if (t->round.kind == RoundKind::Batch)
        runBatchUnit(*t->round.batch, chunk);
    else
        runChunkOf(t->round, chunk, t->results[chunk]);
}

// A CL or rescaling round in one piece, its below flag into `out`.
void runWhole(const LikRound &r, ChunkResult &out)
{
    const LikKernelContext &ctx = *r.ctx;
    if (r.kind == RoundKind::Rescale) {
        r.rescale(ctx, r.cla, r.scalers, 0, ctx.npatterns);
        return;
    }
    if (r.scalerOp->out != nullptr)
        prepareScalers(*r.scalerOp, ctx, 0, ctx.npatterns);
    out.below = r.loop(ctx, *r.clOp, 0, ctx.npatterns * ctx.ncat);
}

// Claims and runs chunks of round `id` until none is left; returns how many.
uint32_t workOn(LikThreads *t, int32_t self, uint32_t id)
{
    uint32_t n = 0, chunk;
    while (claimChunk(t, self, id, &chunk)) {
        runChunk(t, chunk, self, t->roundChunks);
        ++n;
    }
    // One announcement for all of them: the done count's line moves between
    // processors once a round, not once a chunk.
    if (n != 0) {
        t->done.fetch_add(n, std::memory_order_seq_cst);
        if (t->mainSleeping.load(std::memory_order_seq_cst) != 0)
            futexWake(t->done, 1);
    }
    return n;
}

struct WorkerStart {
    LikThreads *t;
    int32_t index;
};

void *workerMain(void *arg)
{
    auto *start = static_cast<WorkerStart *>(arg);
    LikThreads *t = start->t;
    const int32_t index = start->index;
    delete start;
    t->counts[static_cast<size_t>(index)].tid.store(static_cast<int64_t>(syscall(SYS_gettid)),
                                                    std::memory_order_relaxed);
    for (uint32_t seen = 0;;) {
        const auto published = [&] { return t->published.load(std::memory_order_acquire) != seen; };
        if (!spinBounded(published, kSpinBound)) {
            t->sleepers.fetch_add(1, std::memory_order_seq_cst);
            while (t->published.load(std::memory_order_seq_cst) == seen)
                futexWait(t->published, seen);
            t->sleepers.fetch_sub(1, std::memory_order_relaxed);
        }
        seen = t->published.load(std::memory_order_acquire);
        if (t->quit.load(std::memory_order_acquire) != 0)
            return nullptr;
        if (const uint32_t n = workOn(t, index, seen))
            t->counts[static_cast<size_t>(index)].chunks.fetch_add(n, std::memory_order_relaxed);
    }
}

void publish(LikThreads *t, uint32_t id)
{
    t->published.store(id, std::memory_order_seq_cst);
    if (t->sleepers.load(std::memory_order_seq_cst) != 0)
        futexWake(t->published, INT32_MAX);
}

// Whether the next round goes to the workers too.
bool workersTakePart(const LikThreads *t) { return t != nullptr && t->started > 0 && t->clock.threaded(); }

double roundItems(const LikRound &r)
{
    return r.kind == RoundKind::Batch || r.kind == RoundKind::Jobs ? r.items
                                                                   : static_cast<double>(r.ctx->npatterns) * r.ctx->ncat;
}

// Runs the round in t->round over `chunks` chunks; returns when every chunk
// is done, the workers' writes visible.
void runRound(LikThreads *t, uint32_t chunks)
{
    if (chunks == 0)
        return;
    if (t->results.size() < chunks)
        t->results.resize(chunks);
    const uint32_t id = ++t->roundId;
    t->roundChunks = chunks;
    t->done.store(0, std::memory_order_relaxed);
    // Thread i's share: chunks [i chunks / n, (i + 1) chunks / n).
    const auto n = static_cast<uint64_t>(t->n);
    for (uint64_t i = 0; i < n; ++i)
        t->claims[i].word.store(uint64_t{id} << 32 | (i + 1) * chunks / n << 16 | i * chunks / n,
                                std::memory_order_seq_cst);
    PayClock &c = t->clock;
    const auto start = std::chrono::steady_clock::now();
    c.beginRound(start);
    const bool threaded = workersTakePart(t);
    if (threaded) {
        publish(t, id);
    } else {
        // Alone, an evaluation or a batch runs chunk by chunk in order,
        // keeping the chunk sums and rescaling decisions that fix its
        // bits; a CL update or a rescaling is one kernel call over the whole
        // range, which writes the same values without a call per chunk and
        // rate category.
        if (t->round.kind == RoundKind::Eval || t->round.kind == RoundKind::Batch)
            for (uint32_t i = 0; i < chunks; ++i)
                runChunk(t, i, 0, chunks);
        else {
            runWhole(t->round, t->results[0]);
            for (uint32_t i = 1; i < chunks; ++i)
                t->results[i].below = false;
        }
        t->counts[0].chunks.fetch_add(chunks, std::memory_order_relaxed);
        ++t->stats.aloneRounds;
        c.endRound(roundItems(t->round), t->round.weight, std::chrono::steady_clock::now());
        return;
    }
    ++t->stats.threadedRounds;
    const uint32_t mine = workOn(t, 0, id);
    t->counts[0].chunks.fetch_add(mine, std::memory_order_relaxed);
    bool stalled = false;
    const auto ownEnd = std::chrono::steady_clock::now();
    if (t->done.load(std::memory_order_acquire) != chunks &&
        !spinBounded([&] { return t->done.load(std::memory_order_acquire) == chunks; }, kSpinBound)) {
        ++t->stats.waits;
        const auto sleepStart = std::chrono::steady_clock::now();
        t->mainSleeping.store(1, std::memory_order_seq_cst);
        for (uint32_t v; (v = t->done.load(std::memory_order_seq_cst)) != chunks;)
            futexWait(t->done, v);
        t->mainSleeping.store(0, std::memory_order_relaxed);
        // Waiting longer than the calling thread worked, and long in itself:
        // a worker lost its processor in the middle of a chunk.
        const auto waited = std::chrono::steady_clock::now() - sleepStart;
        stalled = waited > std::max<std::chrono::steady_clock::duration>(sleepStart - start, kStall);
    }
    const auto end = std::chrono::steady_clock::now();
    t->stats.waitSeconds += std::chrono::duration<double>(end - ownEnd).count();
    if (stalled) {
        ++t->stats.stalls;
        c.stalled();
    } else {
        c.endRound(roundItems(t->round), t->round.weight, end);
    }
}

LikThreads *threadsFailed(int32_t n)
{
    qel_errorMsg(0,
                 "Attempt to create %d multithreaded tasks failed.  Either reduce the number of threads or "
                 "disable multithreading.",
                 n);
    return nullptr;
}

uint32_t chunksFor(uint32_t npatterns, uint32_t chunk) { return (npatterns + chunk - 1) / chunk; }

void stopWorkers(LikThreads *t)
{
    if (t->started == 0)
        return;
    t->quit.store(1, std::memory_order_seq_cst);
    publish(t, ++t->roundId);
    for (int32_t i = 1; i <= t->started; ++i)
        joinHelperThread(t->workers[static_cast<size_t>(i)]);
    t->started = 0;
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

bool addLikResult(LikResult &sum, const LikResult &r)
{
    if (r.lnL >= kLikInfiniteScore)
        return false;
    sum.lnL += r.lnL;
    sum.d1 += r.d1;
    sum.d2 += r.d2;
    return true;
}

uint32_t likChunkPatterns(uint32_t npatterns)
{
    // At most kChunksPerRound chunks, well inside the claim word's 16 bits.
    const uint32_t per = std::max((npatterns + kChunksPerRound - 1) / kChunksPerRound, 1u);
    return (per + kChunkQuantum - 1) / kChunkQuantum * kChunkQuantum;
}

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

namespace {

// The group of n threads, or null when it cannot be made (nothing is said).
LikThreads *makeLikThreads(int32_t n)
{
    LikThreads *t = nullptr;
    try {
        t = new LikThreads{};
        t->n = n;
        t->workers.resize(static_cast<size_t>(n));
        t->counts = std::vector<WorkerCount>(static_cast<size_t>(n));
        t->claims = std::vector<ClaimWord>(static_cast<size_t>(n));
        for (int32_t i = 1; i < n; ++i) {
            auto *start = new WorkerStart{t, i};
            if (!startHelperThread(&t->workers[static_cast<size_t>(i)], workerMain, start)) {
                delete start;
                return destroyLikThreads(t);
            }
            t->started = i;
        }
    } catch (const std::bad_alloc &) {
        return destroyLikThreads(t);
    }
    return t;
}

}  // namespace

LikThreads *createLikThreads(int32_t n)
{
    n = std::max(n, 1);
    LikThreads *t = makeLikThreads(n);
    return t != nullptr ? t : threadsFailed(n);
}

LikThreads *startLikThreads(int32_t n)
{
    if (n <= 1 || threadsRefusedInCommand())
        return nullptr;
    LikThreads *t = makeLikThreads(n);
    if (t == nullptr) {
        noteThreadsRefused();
        qel_printf("Could not start %d likelihood threads; computing on one thread.\n", n);
    }
    return t;
}

LikThreads *destroyLikThreads(LikThreads *t)
{
    if (t != nullptr) {
        stopWorkers(t);
        delete t;
    }
    return nullptr;
}

LikThreads *stopLikThreadsForMemory(LikThreads *t)
{
    const int32_t n = likThreadCount(t);
    noteThreadsRefused();
    qel_printf("Not enough memory for %d likelihood threads; computing on one thread.\n", n);
    destroyLikThreads(t);
    // What the threads' work freed goes back to the system, for the one
    // thread to take.
    malloc_trim(0);
    return nullptr;
}

int32_t likThreadCount(const LikThreads *t) { return t != nullptr ? t->n : 0; }

void runLikRoundsSerially(LikThreads *t, uint32_t rounds) { t->clock.runAlone(rounds); }

void runLikRoundsThreaded(LikThreads *t, uint32_t rounds) { t->clock.runThreaded(rounds); }

uint64_t likChunksDoneBy(const LikThreads *t, int32_t thread)
{
    if (t == nullptr || thread < 0 || thread >= t->n)
        return 0;
    return t->counts[static_cast<size_t>(thread)].chunks.load(std::memory_order_relaxed);
}

LikThreadStats likThreadStats(const LikThreads *t)
{
    if (t == nullptr)
        return {};
    LikThreadStats s = t->stats;
    s.timings = t->clock.timings();
    return s;
}

int64_t likWorkerTid(const LikThreads *t, int32_t thread)
{
    if (t == nullptr || thread < 1 || thread >= t->n)
        return 0;
    return t->counts[static_cast<size_t>(thread)].tid.load(std::memory_order_relaxed);
}

LikResult evalEdgeMultithreaded(LikThreads *t, LikEvalFxn eval, const LikKernelContext &ctx, const LikEvalOp &op,
                                uint32_t mode)
{
    if (ctx.mkStates != nullptr)
        return eval(ctx, op, 0, ctx.npatterns, mode);
    const uint32_t chunk = likChunkPatterns(ctx.npatterns), chunks = chunksFor(ctx.npatterns, chunk);
    const bool alone = t == nullptr || t->n == 1;
    if (!alone) {
        t->round = LikRound{RoundKind::Eval, &ctx, &op, nullptr, nullptr, eval, nullptr, nullptr, nullptr, nullptr,
                            mode, chunk};
        runRound(t, chunks);
    }
    LikResult sum{0, 0, 0};
    for (uint32_t i = 0; i < chunks; ++i) {
        // One thread sums chunk by chunk too, so that a score never depends
        // on the number of threads.
        const LikResult r = alone ? eval(ctx, op, i * chunk, std::min(ctx.npatterns, (i + 1) * chunk), mode)
                                  : t->results[i].result;
        if (!addLikResult(sum, r))
            return likInfiniteResult();
    }
    return sum;
}

bool clUpdateMultithreaded(LikThreads *t, LikClLoopFxn loop, const LikKernelContext &ctx, const LikClOp &op,
                           const LikScalerOp &scalers)
{
    const uint32_t chunk = likChunkPatterns(ctx.npatterns), chunks = chunksFor(ctx.npatterns, chunk);
    const LikRound round{RoundKind::Cl, &ctx, nullptr, &op, &scalers, nullptr, loop, nullptr, nullptr, nullptr, 0, chunk};
    bool below = false;
    // An Mk context (its groups never ask for rescalers here) is one loop.
    if (t == nullptr || t->n == 1 || ctx.mkStates != nullptr) {
        ChunkResult whole;
        runWhole(round, whole);
        below = whole.below;
    } else {
        t->round = round;
        runRound(t, chunks);
        for (uint32_t i = 0; i < chunks; ++i)
            below = below || t->results[i].below;
    }
    if (!below || scalers.out == nullptr || scalers.rescale == nullptr)
        return below;
    rescaleMultithreaded(t, scalers.rescale, ctx, op.out, scalers.out);
    return false;
}

void rescaleMultithreaded(LikThreads *t, LikRescaleFxn rescale, const LikKernelContext &ctx, void *cla,
                          void *scalers)
{
    if (t == nullptr || t->n == 1 || ctx.mkStates != nullptr)
        return rescale(ctx, cla, scalers, 0, ctx.npatterns);
    const uint32_t chunk = likChunkPatterns(ctx.npatterns);
    t->round = LikRound{RoundKind::Rescale, &ctx, nullptr, nullptr, nullptr, nullptr, nullptr, rescale, cla, scalers,
                        0, chunk};
    runRound(t, chunksFor(ctx.npatterns, chunk));
}

void runLikBatch(LikThreads *t, LikBatch &b)
{
    b.firstChunk.resize(b.contexts.size() + 1);
    uint32_t chunks = 0;
    for (size_t c = 0; c < b.contexts.size(); ++c) {
        b.firstChunk[c] = chunks;
        const uint32_t np = b.contexts[c].npatterns;
        chunks += chunksFor(np, likChunkPatterns(np));
    }
    b.firstChunk.back() = chunks;
    b.chunkResults.assign(chunks, LikResult{0, 0, 0});
    if (b.steps.empty() || chunks == 0)
        return;
    // Blocks for the threads: one per chunk, so that a thread that falls
    // behind (its processor shared with another program, which on a virtual
    // machine comes and goes from one pass to the next) hands all but its
    // last chunk to the others; each thread still starts on its own share,
    // whose patterns it ran in the pass before. With about two blocks a
    // thread, a pass waited for the slower thread's second block, and passes
    // on two threads took up to a sixth longer. Alone, one per site
    // category.
    const bool threaded = workersTakePart(t);
    b.units.clear();
    for (uint32_t c = 0; c < b.contexts.size(); ++c) {
        const uint32_t n = b.firstChunk[c + 1] - b.firstChunk[c];
        if (!threaded && n != 0)
            b.units.push_back(LikBatchUnit{c, 0, n});
        for (uint32_t k = 0; threaded && k < n; ++k)
            b.units.push_back(LikBatchUnit{c, k, k + 1});
    }
    // The claim words count in 16 bits; more blocks (site categories by the
    // thousand) run on the calling thread, with the same values.
    const auto units = static_cast<uint32_t>(b.units.size());
    if (t == nullptr || t->n == 1 || units > 0xFFFFu) {
        for (uint32_t i = 0; i < units; ++i)
            runBatchUnit(b, i);
        return;
    }
    double items = 0.0;
    for (const LikBatchStep &s : b.steps)
        if (s.loop != nullptr)
            items += static_cast<double>(b.contexts[s.context].npatterns) * b.contexts[s.context].ncat;
    t->round = LikRound{
        .kind = RoundKind::Batch, .batch = &b, .items = items, .weight = static_cast<uint32_t>(b.steps.size())};
    runRound(t, units);
}

bool runLikJobs(LikThreads *t, uint32_t count, LikJobFxn job, void *arg)
{
    if (!workersTakePart(t) || count == 0)
        return false;
    // A job round is not timed against the calling thread alone (weight 0):
    // it is short and goes with the batch round that follows, which is.
    t->round = LikRound{.kind = RoundKind::Jobs, .job = job, .jobArg = arg, .jobs = count, .weight = 0};
    runRound(t, std::min(count, kJobUnitsPerThread * static_cast<uint32_t>(t->n)));
    return true;
}

LikResult likBatchEvalResult(const LikBatch &b, uint32_t context)
{
    LikResult sum{0, 0, 0};
    for (uint32_t i = b.firstChunk[context]; i < b.firstChunk[context + 1]; ++i)
        if (!addLikResult(sum, b.chunkResults[i]))
            return likInfiniteResult();
    return sum;
}
