// Walking the quartets of an SVDQuartets analysis, exhaustively or by random
// sampling, on one thread or several. Every thread scores a consecutive share
// of the quartet indices and starts from exactly the quartet (and the random
// numbers) a single thread would reach there, so the kept quartets do not
// depend on the number of threads.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>

#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_interrupts.h"
#include "quartets/svdq.h"

namespace {

// Position in the lexicographic order of quartets: four units (species in
// species-tree mode) and, with species, one lineage of each.
struct QuartetCursor {
    uint32_t unit[4];
    uint32_t lineage[4];
};

double choose4(double n) { return n < 4 ? 0.0 : n * (n - 1) * (n - 2) * (n - 3) / 24.0; }

uint64_t lineageProduct(const SvdqEvalData &ev, const uint32_t unit[4])
{
    uint64_t p = 1;
    for (int k = 0; k < 4; k++)
        p *= ev.members[unit[k]].size();
    return p;
}

// The next combination of four of n units; false after the last.
bool nextUnits(uint32_t u[4], uint32_t n)
{
    for (int k = 3; k >= 0; k--) {
        if (u[k] < n - 4 + static_cast<uint32_t>(k)) {
            u[k]++;
            for (int j = k + 1; j < 4; j++)
                u[j] = u[j - 1] + 1;
            return true;
        }
    }
    return false;
}

// The cursor at quartet index `index` of the exhaustive order.
QuartetCursor seekQuartet(const SvdqEvalData &ev, uint64_t index)
{
    QuartetCursor c{{0, 1, 2, 3}, {0, 0, 0, 0}};
    const uint32_t n = ev.nunits;
    if (ev.members.empty()) {
        // Unrank: skip the combinations that begin with a smaller unit.
        uint32_t from = 0;
        for (int k = 0; k < 4; k++) {
            for (uint32_t x = from;; x++) {
                const double rest = [&] {
                    // Combinations of the remaining 3 - k places above x.
                    const double m = n - 1 - x;
                    const int r = 3 - k;
                    double v = 1.0;
                    for (int i = 0; i < r; i++)
                        v = v * (m - i) / (i + 1);
                    return m < r ? 0.0 : v;
                }();
                if (static_cast<double>(index) < rest) {
                    c.unit[k] = x;
                    from = x + 1;
                    break;
                }
                index -= static_cast<uint64_t>(rest);
            }
        }
        return c;
    }
    // Species: skip whole species quartets, then the lineages are a mixed
    // radix number with the last species varying fastest.
    for (;;) {
        const uint64_t p = lineageProduct(ev, c.unit);
        if (index < p)
            break;
        index -= p;
        if (!nextUnits(c.unit, n))
            break;
    }
    for (int k = 3; k >= 0; k--) {
        const uint64_t m = ev.members[c.unit[k]].size();
        c.lineage[k] = static_cast<uint32_t>(index % m);
        index /= m;
    }
    return c;
}

void advanceCursor(const SvdqEvalData &ev, QuartetCursor &c)
{
    if (!ev.members.empty()) {
        for (int k = 3; k >= 0; k--) {
            if (++c.lineage[k] < ev.members[c.unit[k]].size())
                return;
            c.lineage[k] = 0;
        }
    }
    nextUnits(c.unit, ev.nunits);
}

}  // namespace

int evaluateShare(const SvdqEvalData &ev, uint64_t first, uint64_t last, RNG *rng, SvdqWork &w)
{
    uint32_t u[4];
    if (ev.exhaustive) {
        QuartetCursor c = seekQuartet(ev, first);
        for (uint64_t q = first; q < last; q++) {
            for (int k = 0; k < 4; k++)
                u[k] = ev.members.empty() ? c.unit[k] : ev.members[c.unit[k]][c.lineage[k]];
            if (const int status = scoreOneQuartet(ev, u, q, rng, w))
                return status;
            advanceCursor(ev, c);
        }
        return 0;
    }
    w.index.resize(ev.nunits);
    for (uint64_t q = first; q < last; q++) {
        std::iota(w.index.begin(), w.index.end(), 0u);
        sampleNoReplacement(rng, w.index.data(), 4, ev.nunits);
        std::copy(w.index.begin(), w.index.begin() + 4, u);
        if (const int status = scoreOneQuartet(ev, u, q, rng, w))
            return status;
    }
    return 0;
}

namespace {

struct ThreadShare {
    uint64_t first = 0, last = 0;
    RNG rng{};
    SvdqWork work;
    int status = 0;
    bool outOfMemory = false;  // reported by the calling thread, where it ends the evaluation
};

struct ThreadShared {
    const SvdqEvalData *ev;
    std::vector<std::unique_ptr<ThreadShare>> *shares;
};

void evaluateQuartetGroup_multithread(uint32_t thread, void *shared, void *)
{
    auto *s = static_cast<ThreadShared *>(shared);
    ThreadShare &share = *(*s->shares)[thread];
    // Nothing may leave a worker thread: an exception there ends the process.
    try {
        share.status = evaluateShare(*s->ev, share.first, share.last, &share.rng, share.work);
    } catch (const std::bad_alloc &) {
        share.outOfMemory = true;
    }
    if (share.outOfMemory || workerAllocationFailed()) {
        share.outOfMemory = true;
        share.status = 1;
    }
}

}  // namespace

void skipDraws(RNG *rng, uint64_t n)
{
    for (uint64_t i = 0; i < n; i++)
        randUniRaw(rng);
}

double svdqTotalQuartets(const SvdqEvalData &ev)
{
    if (ev.members.empty())
        return choose4(ev.nunits);
    double total = 0.0;
    uint32_t u[4] = {0, 1, 2, 3};
    if (ev.nunits < 4)
        return 0.0;
    do
        total += static_cast<double>(lineageProduct(ev, u));
    while (nextUnits(u, ev.nunits));
    return total;
}

std::vector<uint64_t> svdqShareStarts(uint64_t nq, uint32_t nthreads)
{
    std::vector<uint64_t> starts(nthreads + 1, nq);
    const uint64_t b = nthreads ? (nq - 1) / nthreads : 0;
    const uint64_t share = nq > (nthreads - 1) * (b + 1) ? b + 1 : b;
    for (uint32_t t = 0; t < nthreads; t++)
        starts[t] = std::min<uint64_t>(t * share, nq);
    return starts;
}

namespace {

// What evaluateThreaded gives when memory ran out with the threads: the
// work can still be done on one thread. Nothing has been said yet.
constexpr int kThreadsShortOfMemory = -1;

int evaluateThreaded(SvdqEvalData &ev, uint32_t T, uint64_t draws)
{
    std::vector<std::unique_ptr<ThreadShare>> shares;
    const std::vector<uint64_t> starts = svdqShareStarts(ev.nq, T);
    int status = 0;
    const bool failedBefore = memoryErrorHasOccurred();
    {
        // Told only when the work cannot go on alone either.
        const MemoryFailureHeld held;
        bool outOfMemory = false;
        try {
            for (uint32_t t = 0; t < T; t++) {
                auto s = std::make_unique<ThreadShare>();
                s->first = starts[t];
                s->last = t + 1 < T ? starts[t + 1] : ev.nq;
                s->rng = ev.rng;
                skipDraws(&s->rng, draws * s->first);
                s->work.out = ev.entries.data() + s->first * ev.entriesPerQuartet;
                shares.push_back(std::move(s));
            }
        } catch (const std::bad_alloc &) {
            outOfMemory = true;
        }
        ThreadShared shared{&ev, &shares};
        ThreadGroup *group =
            outOfMemory ? nullptr : tryCreateThreadGroup(static_cast<int32_t>(T), &shared, sizeof(uint64_t));
        if (group) {
            for (uint32_t t = 0; t < T; t++)
                setMThreadTaskFunction(group, static_cast<int32_t>(t), evaluateQuartetGroup_multithread);
            startThreadGroup(group);
            destroyThreadGroup(group);
            // Threads that stopped for a termination signal are not a
            // user's abort: the run ends here, before anything says
            // "aborted".
            checkTermination();
            for (const auto &s : shares) {
                outOfMemory = outOfMemory || s->outOfMemory;
                if (s->status != 0 && !s->outOfMemory && (status == 0 || s->status == 1))
                    status = s->status;
            }
        }
        outOfMemory = outOfMemory || group == nullptr || (memoryErrorHasOccurred() && !failedBefore);
        if (outOfMemory && status == 0 && !failedBefore && !getAbortedStatus()) {
            clearMemoryErrorStatus();
            return kThreadsShortOfMemory;
        }
        if (outOfMemory) {
            reportMemoryFailure();
            status = 1;
        }
    }
    skipDraws(&ev.rng, draws * ev.nq);
    if (status == 0 && getAbortedStatus())
        status = 2;
    if (status != 0)
        return status;
    // The shares' entries closed up in quartet order.
    uint64_t used = 0;
    for (const auto &s : shares) {
        std::memmove(ev.entries.data() + used, s->work.out, s->work.count * sizeof(QuartetEntry));
        used += s->work.count;
        ev.frobText += s->work.frob;
        ev.rejectedWt += s->work.rejected;
    }
    ev.entries.resize(used);
    return 0;
}

}  // namespace

int evaluateQuartets(SvdqEvalData &ev)
{
    ev.frobText.clear();
    ev.rejectedWt = 0.0;
    const uint32_t T = static_cast<uint32_t>(std::min<uint64_t>(std::max(ev.nthreads, 1u), std::max<uint64_t>(ev.nq, 1)));
    const uint64_t draws = ev.exhaustive ? 0 : ev.drawsPerQuartet;
    // Every quartet has room for its entries: no list grows while threads run.
    try {
        ev.entries.resize(ev.nq * ev.entriesPerQuartet);
    } catch (const std::bad_alloc &) {
        ev.entries.clear();
        return qel_errorMsg(0, "Not enough memory for the list of %llu quartets.",
                            static_cast<unsigned long long>(ev.nq)),
               1;
    }
    if (T > 1) {
        const int status = evaluateThreaded(ev, T, draws);
        if (status != kThreadsShortOfMemory)
            return status;
        // The threads' stacks and scratch are given back: the work goes on
        // alone, for the rest of the command too.
        qel_printf("Not enough memory for %u SVDQuartets threads; computing on one thread.\n", T);
        ev.nthreads = 1;
    }
    auto w = std::make_unique<SvdqWork>();
    w->out = ev.entries.data();
    const int status = evaluateShare(ev, 0, ev.nq, &ev.rng, *w);
    ev.entries.resize(w->count);
    ev.frobText = std::move(w->frob);
    ev.rejectedWt = w->rejected;
    return status;
}

void loadSvdqWeightTable(const SvdqEvalData &ev, QuartetData *qd)
{
    QwtTable *t = qd->table;
    zeroQwt(t);
    t->numNonzero = 0;
    double total = ev.rejectedWt;
    for (const QuartetEntry &e : ev.entries) {
        const float w = static_cast<float>(e.wt);
        updateQuartetWt(t, e.t[0], e.t[1], e.t[2], e.t[3], w);
        total += w;
    }
    t->totalWt = total;
}
