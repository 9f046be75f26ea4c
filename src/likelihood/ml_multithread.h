// Likelihood work spread over the processor's cores: the patterns of a site
// category (and, for CL updates, its pattern-by-rate-category items) are
// cut into contiguous blocks, one per thread. The calling thread runs block
// 0 itself; the other threads of the group run theirs and meet it at the
// group's barrier. The same kernels serve one thread and many.
#pragma once

#include <cstdint>

#include "likelihood/kernels/lik_kernels.h"

struct ThreadGroup;

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

// The thread group of likelihood evaluation with its task blocks.
struct LikThreads;

// Null (after the thread group's own message) when the threads cannot be
// made; n = 1 makes a record that runs everything on the calling thread.
LikThreads *createLikThreads(int32_t n);
LikThreads *destroyLikThreads(LikThreads *t);
int32_t likThreadCount(const LikThreads *t);
// Runs the next `rounds` rounds on the calling thread, block by block in
// thread order, as the group does by itself when its rounds stop paying
// (more runnable threads than processors): the results are the threaded
// ones bit for bit.
void runLikRoundsSerially(LikThreads *t, uint32_t rounds);

// One edge evaluation with every thread on its pattern block; the partial
// results are added in thread order. An Mk context (variable state space)
// runs on the calling thread alone.
LikResult evalEdgeMultithreaded(LikThreads *t, LikEvalFxn eval, const LikKernelContext &ctx, const LikEvalOp &op,
                                uint32_t mode);
// One CL update with every thread on its block of items; true when any
// thread wrote a value below the rescaling threshold.
bool clUpdateMultithreaded(LikThreads *t, LikClLoopFxn loop, const LikKernelContext &ctx, const LikClOp &op);
