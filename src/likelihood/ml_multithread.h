// Likelihood work spread over the processor's cores. The patterns of a site
// category are cut into chunks of a fixed length that depends on the
// pattern count alone (a multiple of 16 patterns, at most 16 chunks); in a
// round the calling thread and the workers of the group claim chunks one at
// a time until none is left, and a CL update does every rate category of its
// chunk's patterns and the output's rescalers of those patterns. The
// calling thread never waits for a worker to start: a worker the scheduler
// has taken off its processor (a machine busier than its cores) simply
// claims nothing, so threads cost little where they cannot help; and
// windows of rounds with and without the workers are timed against each
// other, so that rounds go to the calling thread alone while threads do not
// pay. Every CL value is the same bit for bit on any number of threads
// (one included, and with no thread group at all): patterns are
// independent, and rescaling is decided for the whole update, as one
// thread does. An edge evaluation sums each chunk on its own and the chunk
// sums in chunk order, one thread included, so its result is the same bit
// for bit on any number of threads, whoever ran the chunks. The same
// kernels serve one thread and many.
#pragma once

#include <cstdint>
#include <vector>

#include "likelihood/kernels/lik_kernels.h"

// Half-open block [first, end) of patterns or CL items.
struct LikRange {
    uint32_t first;
    uint32_t end;
};

// Thread t of k over n patterns: blocks of (n - 1) / k + 1, the last thread
// taking what is left; thread -1 or k = 1 takes everything.
LikRange getPatRangeForThread(int32_t thread, int32_t nthreads, uint32_t npatterns);
// The same over m CL items with blocks of m / k (the last thread takes the
// remainder).
LikRange getCLRangeForThread(int32_t thread, int32_t nthreads, uint32_t nitems);
// The rate categories [first, last] of thread t with c categories under a
// rate mixture: several threads share one category when k >= c.
void getCategoriesForThread(int32_t thread, int32_t nthreads, uint32_t ncat, uint32_t *first, uint32_t *last);

// The thread group of likelihood evaluation with its chunk results.
struct LikThreads;

// Patterns of one chunk for a site category of n patterns.
uint32_t likChunkPatterns(uint32_t npatterns);
// Adds r's sums to `sum`; false when r is past the smallest pattern
// likelihood, which makes the whole score infinite. Callers add in a fixed
// order (chunks, then site categories), which fixes the result's bits.
bool addLikResult(LikResult &sum, const LikResult &r);

// Null (after "Attempt to create %d multithreaded tasks failed...") when
// the threads cannot be made; n = 1 makes a record that runs everything on
// the calling thread. More threads than processors are made: a worker the
// scheduler keeps off a processor claims nothing and costs little.
LikThreads *createLikThreads(int32_t n);
// The threads of an evaluation series, or null, which runs it on the
// calling thread alone, for n = 1 and when the threads cannot be made: a
// likelihood computation short of memory for thread stacks goes on, on one
// thread. The first refusal in a command says so, once, and the rest of
// the command does not try again.
LikThreads *startLikThreads(int32_t n);
LikThreads *destroyLikThreads(LikThreads *t);
// Memory ran out while the threads were running (their stacks take address
// space too): they are ended, the user told, and the rest of the command
// computes on one thread. Null.
LikThreads *stopLikThreadsForMemory(LikThreads *t);
int32_t likThreadCount(const LikThreads *t);
// Runs the next `rounds` rounds on the calling thread alone (the workers are
// not called), chunk by chunk: the results are the threaded ones bit for
// bit.
void runLikRoundsSerially(LikThreads *t, uint32_t rounds);
// Runs the next `rounds` rounds on the workers too, however they stall or
// time (for tests, whose verdicts must not depend on the machine's load).
void runLikRoundsThreaded(LikThreads *t, uint32_t rounds);
// Chunks each worker has done since the group was made (index 0: the
// calling thread), for benchmarks and tests.
uint64_t likChunksDoneBy(const LikThreads *t, int32_t thread);
// What the group's rounds did since it was made, for benchmarks and tests:
// where two threads gain less than they should, these tell the machine's
// part (workers kept off their processors) from the program's (rounds
// left to the calling thread, waits at the end of a round).
struct LikThreadStats {
    uint64_t threadedRounds = 0;  // rounds the workers took part in
    uint64_t aloneRounds = 0;     // rounds on the calling thread alone (the pay clock's choice)
    uint64_t stalls = 0;          // threaded rounds that waited for a worker kept off its processor
    uint64_t waits = 0;           // threaded rounds whose calling thread slept for the workers
    double waitSeconds = 0.0;     // the calling thread's time between its last chunk and the round's end
    uint64_t timings = 0;         // timing phases the pay clock began
};
LikThreadStats likThreadStats(const LikThreads *t);
// The kernel's id of worker `thread` (1..n-1), or 0 (another index, or a
// worker not yet started): benchmarks read the scheduler's account of it
// (/proc/self/task/ID/schedstat).
int64_t likWorkerTid(const LikThreads *t, int32_t thread);

// What a CL update does with its output's rescaler block (this site
// category's part of it): before the CL loop the block becomes, chunk by
// chunk, the sum of the inputs' blocks (`merge`), a copy of the one input
// block there is, or zeros (no input block), so that the calling thread
// does not walk whole blocks alone between rounds; after it, with
// `rescale` set, the whole output is rescaled when any value fell below the
// threshold.
struct LikScalerOp {
    void *out = nullptr;  // null: the update leaves rescalers alone
    const void *in1 = nullptr;
    const void *in2 = nullptr;
    uint32_t bytesPerValue = 0;
    LikMergeFxn merge = nullptr;
    LikRescaleFxn rescale = nullptr;
};

// The functions below take a null group, or a group of one thread, to mean
// the calling thread alone.

// One edge evaluation over the chunks; alone, or for an Mk context
// (variable state space), one evaluation over the whole range.
LikResult evalEdgeMultithreaded(LikThreads *t, LikEvalFxn eval, const LikKernelContext &ctx, const LikEvalOp &op,
                                uint32_t mode);
// One CL update over the chunks (every rate category of a chunk's
// patterns; alone, one call over the whole range); true when any value
// written, and not rescaled by `scalers`, is below the rescaling threshold.
bool clUpdateMultithreaded(LikThreads *t, LikClLoopFxn loop, const LikKernelContext &ctx, const LikClOp &op,
                           const LikScalerOp &scalers = {});
// Rescaling of a site category's CLA and its rescaler block over the chunks;
// every pattern gets what rescale(ctx, cla, scalers, 0, npatterns) gives it.
void rescaleMultithreaded(LikThreads *t, LikRescaleFxn rescale, const LikKernelContext &ctx, void *cla,
                          void *scalers);

// A whole traversal in one round. The traversal records its CL updates in
// order (each with matrices of its own) and closes with the evaluation of
// one edge, a site category at a time; each chunk of each site category then
// runs every step of its category for its own patterns, so that no worker
// waits between updates. Rescaling is decided per chunk: a chunk's patterns
// are rescaled when one of its values fell below the threshold. The chunk
// layout depends on the pattern counts alone, so the values are the same bit
// for bit on any number of threads, one included, and with no thread group.
struct LikBatchStep {
    uint32_t context = 0;          // index into LikBatch::contexts
    LikClLoopFxn loop = nullptr;   // a CL update, or null for an evaluation
    LikClOp op{};
    LikScalerOp scalers{};         // with `rescale`, a chunk below the threshold is rescaled
    LikEvalFxn eval = nullptr;
    LikEvalOp evalOp{};
    uint32_t mode = 0;
};

// Chunks [first, end) of one context, run by one thread.
struct LikBatchUnit {
    uint32_t context;
    uint32_t first;
    uint32_t end;
};

struct LikBatch {
    std::vector<LikKernelContext> contexts;
    std::vector<LikBatchStep> steps;
    // Filled by runLikBatch: each context's first chunk (and, last, the
    // chunk count), every chunk's evaluation result, and the blocks of
    // chunks the threads claim.
    std::vector<uint32_t> firstChunk;
    std::vector<LikResult> chunkResults;
    std::vector<LikBatchUnit> units;
    void clear()
    {
        contexts.clear();
        steps.clear();
    }
};

// Runs every step of the batch in one round, in blocks of consecutive
// chunks of a site category that the threads claim (alone: one block per
// site category on the calling thread); each block runs step after step
// over all its chunks, so that the kernels stream through long runs of
// memory.
void runLikBatch(LikThreads *t, LikBatch &b);
// Jobs [first, end) of a job round on thread `thread` (0 the calling thread,
// 1.. the workers), which has workspaces of its own.
using LikJobFxn = void (*)(void *arg, uint32_t first, uint32_t end, int32_t thread);
// Runs jobs 0..count-1 in one round of the group's threads; false (nothing
// run) when rounds go to the calling thread alone, which runs them itself.
bool runLikJobs(LikThreads *t, uint32_t count, LikJobFxn job, void *arg);
// The evaluation of context `context` in the last run: its chunks' sums
// added in chunk order, as evalEdgeMultithreaded adds them.
LikResult likBatchEvalResult(const LikBatch &b, uint32_t context);
