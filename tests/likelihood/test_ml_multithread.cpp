// Whole traversals in one round of the likelihood threads, over stand-in
// kernels whose values a plain loop in the test follows: each site
// category's steps run in order for each chunk of its patterns, a chunk is
// rescaled exactly when one of its values fell below the threshold, and the
// evaluation's chunk sums come back per category, the same bits with no
// thread group and on 1, 2, 3 and 8 threads. Job rounds run every job once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <random>
#include <vector>

#include "likelihood/ml_multithread.h"
#include "qel/qel_multithread.h"

namespace {

// One value per pattern and rate category (item r x np + p); a product of
// two inputs, rescaled by 2 with a count of 1 per pattern in its rescaler.
bool productLoop(const LikKernelContext &c, const LikClOp &op, uint32_t first, uint32_t end)
{
    auto *out = static_cast<double *>(op.out);
    const auto *a = static_cast<const double *>(op.in1), *b = static_cast<const double *>(op.in2);
    bool below = false;
    for (uint32_t i = first; i < end; ++i) {
        out[i] = a[i] * b[i];
        below = below || out[i] < c.rescaleThreshold;
    }
    return below;
}

void doubleValues(const LikKernelContext &c, void *cla, void *scalers, uint32_t first, uint32_t end)
{
    auto *v = static_cast<double *>(cla);
    auto *s = static_cast<double *>(scalers);
    for (uint32_t p = first; p < end; ++p) {
        for (uint32_t r = 0; r < c.ncat; ++r)
            v[r * c.npatterns + p] *= 2.0;
        s[p] += 1.0;
    }
}

void sumScalers(const LikKernelContext &c, const void *in1, const void *in2, void *out)
{
    for (uint32_t p = 0; p < c.npatterns; ++p)
        static_cast<double *>(out)[p] = static_cast<const double *>(in1)[p] + static_cast<const double *>(in2)[p];
}

// lnL: the sum over patterns of the weighted values of every category and
// the rescaler count, so that a lost or extra rescaling shows.
LikResult sumEval(const LikKernelContext &c, const LikEvalOp &op, uint32_t first, uint32_t end, uint32_t)
{
    const auto *a = static_cast<const double *>(op.a);
    const auto *s = static_cast<const double *>(op.scalerA);
    LikResult r{0, 0, 0};
    for (uint32_t p = first; p < end; ++p) {
        for (uint32_t k = 0; k < c.ncat; ++k)
            r.lnL += c.weights[p] * a[k * c.npatterns + p];
        r.d1 += s[p];
    }
    return r;
}

// A chain of updates over one site category: cla[i + 1] = cla[i] x leaf,
// the leaf values of a chunk near one factor of its own (0.55 to 0.95), so
// that a chunk's values fall below the threshold at steps of their own and,
// once rescaled, come back above it for a step or more.
struct Category {
    uint32_t np, ncat = 2;
    std::vector<double> weights, leaf, leafScalers;
    std::vector<std::vector<double>> cla, scalers;
    Category(uint32_t n, uint32_t steps, std::mt19937 &rng) : np(n), weights(n), leafScalers(n, 0.0)
    {
        std::uniform_real_distribution<double> u(1.0, 1.02);
        for (double &w : weights)
            w = 1.0 + static_cast<double>(rng() % 3);
        leaf.resize(size_t{n} * ncat);
        for (uint32_t i = 0; i < leaf.size(); ++i)
            leaf[i] = (0.55 + 0.1 * ((i % n) / likChunkPatterns(n) % 5)) * u(rng);
        cla.assign(steps + 1, std::vector<double>(size_t{n} * ncat, 0.0));
        cla[0] = leaf;
        scalers.assign(steps + 1, std::vector<double>(n, 0.0));
    }
    LikKernelContext context(double threshold) const
    {
        LikKernelContext c{};
        c.nstates = c.nvals = 1;
        c.npatterns = np;
        c.ncat = ncat;
        c.weights = weights.data();
        c.rescaleThreshold = threshold;
        return c;
    }
};

// The same chain the plain way: chunk by chunk, a chunk doubled when one of
// its values is below the threshold; the evaluation's sum per chunk, the
// chunk sums added in order.
LikResult reference(const Category &cat, uint32_t steps, double threshold)
{
    const uint32_t np = cat.np, per = likChunkPatterns(np);
    std::vector<double> v = cat.leaf, s(np, 0.0);
    LikResult total{0, 0, 0};
    for (uint32_t first = 0; first < np; first += per) {
        const uint32_t end = std::min(np, first + per);
        for (uint32_t k = 0; k < steps; ++k) {
            bool below = false;
            for (uint32_t r = 0; r < cat.ncat; ++r)
                for (uint32_t p = first; p < end; ++p) {
                    double &x = v[r * np + p];
                    x *= cat.leaf[r * np + p];
                    below = below || x < threshold;
                }
            for (uint32_t p = first; p < end && below; ++p) {
                for (uint32_t r = 0; r < cat.ncat; ++r)
                    v[r * np + p] *= 2.0;
                s[p] += 1.0;
            }
        }
        LikResult chunk{0, 0, 0};
        for (uint32_t p = first; p < end; ++p) {
            for (uint32_t r = 0; r < cat.ncat; ++r)
                chunk.lnL += cat.weights[p] * v[r * np + p];
            chunk.d1 += s[p];
        }
        total.lnL += chunk.lnL;
        total.d1 += chunk.d1;
    }
    return total;
}

// Records the chains of every category, interleaved as a traversal over
// several site categories records them, and runs them in one round.
std::vector<LikResult> runChains(std::vector<Category> &cats, uint32_t steps, double threshold, LikThreads *t)
{
    LikBatch b;
    for (const Category &c : cats)
        b.contexts.push_back(c.context(threshold));
    for (uint32_t k = 0; k < steps; ++k)
        for (uint32_t ci = 0; ci < cats.size(); ++ci) {
            Category &c = cats[ci];
            LikBatchStep s{};
            s.context = ci;
            s.loop = productLoop;
            s.op = LikClOp{c.cla[k + 1].data(), c.cla[k].data(), c.leaf.data(), nullptr, nullptr, nullptr, nullptr};
            s.scalers = LikScalerOp{c.scalers[k + 1].data(), c.scalers[k].data(), c.leafScalers.data(),
                                    sizeof(double), sumScalers, doubleValues};
            b.steps.push_back(s);
        }
    for (uint32_t ci = 0; ci < cats.size(); ++ci) {
        LikBatchStep s{};
        s.context = ci;
        s.eval = sumEval;
        s.evalOp.a = cats[ci].cla[steps].data();
        s.evalOp.scalerA = cats[ci].scalers[steps].data();
        s.mode = kLikModeLnL;
        b.steps.push_back(s);
    }
    runLikBatch(t, b);
    std::vector<LikResult> out;
    for (uint32_t ci = 0; ci < cats.size(); ++ci)
        out.push_back(likBatchEvalResult(b, ci));
    return out;
}

TEST(LikBatch, EveryChunkRunsItsStepsInOrderAndRescalesOnItsOwnValues)
{
    std::mt19937 rng(5);
    constexpr uint32_t kSteps = 12;
    // Pattern counts below one chunk, not a multiple of the chunk, and many
    // chunks; one category without patterns.
    std::vector<Category> cats;
    for (uint32_t n : {7u, 1000u, 0u, 301u})
        cats.emplace_back(n, kSteps, rng);
    for (const double threshold : {0.0, 0.05}) {
        SCOPED_TRACE(testing::Message() << "threshold " << threshold);
        const std::vector<LikResult> alone = runChains(cats, kSteps, threshold, nullptr);
        for (size_t ci = 0; ci < cats.size(); ++ci) {
            const LikResult want = reference(cats[ci], kSteps, threshold);
            EXPECT_EQ(alone[ci].lnL, want.lnL) << "category " << ci;
            EXPECT_EQ(alone[ci].d1, want.d1) << "category " << ci;
        }
        if (threshold > 0.0) {
            EXPECT_GT(alone[1].d1, 0.0) << "rescaling happened";
        }
        for (int32_t n : {1, 2, 3, 8}) {
            if (n > availableProcessors())
                continue;
            LikThreads *t = createLikThreads(n);
            ASSERT_NE(t, nullptr);
            // Twice: the first round of a new group goes to every thread,
            // the second may go to the calling thread alone.
            for (int round = 0; round < 2; ++round) {
                const std::vector<LikResult> got = runChains(cats, kSteps, threshold, t);
                for (size_t ci = 0; ci < cats.size(); ++ci) {
                    EXPECT_EQ(std::memcmp(&got[ci].lnL, &alone[ci].lnL, sizeof(double)), 0) << n << " threads";
                    EXPECT_EQ(got[ci].d1, alone[ci].d1) << n << " threads";
                }
            }
            destroyLikThreads(t);
        }
    }
}

struct JobLog {
    std::vector<std::atomic<int>> hits;
    std::atomic<int> badThread{0};
    int32_t threads;
    explicit JobLog(size_t n, int32_t k) : hits(n), threads(k) {}
};

void logJobs(void *arg, uint32_t first, uint32_t end, int32_t thread)
{
    auto *log = static_cast<JobLog *>(arg);
    if (thread < 0 || thread >= log->threads)
        log->badThread.fetch_add(1);
    for (uint32_t i = first; i < end; ++i)
        log->hits[i].fetch_add(1);
}

TEST(LikBatch, JobRoundsRunEveryJobOnceOnTheGroupsThreads)
{
    const int32_t n = std::min(4, availableProcessors());
    if (n < 2)
        GTEST_SKIP() << "one processor";
    LikThreads *t = createLikThreads(n);
    ASSERT_NE(t, nullptr);
    // A worker kept off its processor by other programs would hand the
    // rounds after it to the calling thread.
    runLikRoundsThreaded(t, 3);
    for (const uint32_t count : {1u, 5u, 1001u}) {
        JobLog log(count, n);
        ASSERT_TRUE(runLikJobs(t, count, logJobs, &log));
        EXPECT_EQ(log.badThread.load(), 0);
        for (uint32_t i = 0; i < count; ++i)
            EXPECT_EQ(log.hits[i].load(), 1) << "job " << i << " of " << count;
    }
    // Rounds that go to the calling thread alone leave the jobs to it.
    JobLog log(10, n);
    runLikRoundsSerially(t, 1000);
    EXPECT_FALSE(runLikJobs(t, 10, logJobs, &log));
    EXPECT_FALSE(runLikJobs(nullptr, 10, logJobs, &log));
    EXPECT_EQ(log.hits[0].load(), 0);
    destroyLikThreads(t);
}


void noRescale(const LikKernelContext &, void *, void *, uint32_t, uint32_t) {}

// The group's account, which the thread benchmarks read to tell the
// machine's part of a lost gain from the program's: each round counted
// once, by the way it ran, and the workers' kernel ids live tasks of this
// process.
TEST(LikThreadStats, EveryRoundCountsOnceByTheWayItRan)
{
    if (availableProcessors() < 2)
        GTEST_SKIP() << "one processor";
    LikThreads *t = createLikThreads(2);
    ASSERT_NE(t, nullptr);
    // A fresh clock times the workers first; job rounds do not end its
    // slice. The rounds after the first stay with the workers even where
    // the first stalled (another program had the processor).
    JobLog log(64, 2);
    ASSERT_TRUE(runLikJobs(t, 64, logJobs, &log));
    runLikRoundsThreaded(t, 2);
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(runLikJobs(t, 64, logJobs, &log));
    LikThreadStats s = likThreadStats(t);
    EXPECT_EQ(s.threadedRounds, 3u);
    EXPECT_EQ(s.aloneRounds, 0u);
    EXPECT_EQ(s.timings, 1u);
    EXPECT_GE(s.waitSeconds, 0.0);
    // Only a round that waited for a worker can have stalled.
    const uint64_t stalls = s.stalls;
    EXPECT_LE(stalls, std::min<uint64_t>(s.waits, 3));
    // The worker writes its id when it starts, which no round waits for.
    int64_t tid = 0;
    for (int i = 0; i < 5000 && (tid = likWorkerTid(t, 1)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(tid, 0);
    EXPECT_TRUE(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/stat").good());
    EXPECT_EQ(likWorkerTid(t, 0), 0);
    EXPECT_EQ(likWorkerTid(t, 2), 0);
    runLikRoundsSerially(t, 4);
    std::vector<double> cla(64), scalers(64);
    LikKernelContext ctx{};
    ctx.npatterns = 64;
    ctx.ncat = 1;
    for (int i = 0; i < 4; ++i)
        rescaleMultithreaded(t, noRescale, ctx, cla.data(), scalers.data());
    s = likThreadStats(t);
    EXPECT_EQ(s.threadedRounds, 3u);
    EXPECT_EQ(s.aloneRounds, 4u);
    EXPECT_EQ(s.stalls, stalls);
    EXPECT_EQ(likThreadStats(nullptr).threadedRounds, 0u);
    destroyLikThreads(t);
}

}  // namespace
