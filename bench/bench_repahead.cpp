// The schedule of replicates run ahead, apart from the work they do: each
// replicate sleeps for its stepwise addition, says where it left the
// stream (past its sequence and a number of draws its start picks from a
// measured spread), then sleeps for its swapping. Sleeping takes no
// processor, so the wall time shows how long the chain of starts known only
// after each addition holds the workers up, whatever else the machine does.
// The times and draw counts are those of 24 TBR replicates on 800 and
// 2,000 simulated taxa x 1,000 sites (one thread: some 45 + 170 ms and
// 250 + 600 ms a replicate).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "qel/qel_random.h"
#include "search/repahead.h"

namespace {

struct Shape {
    int stepwiseMs, swapMs, ntax;
    std::vector<uint32_t> draws;  // resolving draws seen, one per replicate
};

const Shape kShapes[] = {
    {45, 170, 800, {2, 2, 6, 2, 4, 2, 2, 8, 4, 2, 4, 4, 4, 4, 4, 2, 6, 2, 4, 6, 2, 6, 0, 0}},
    {250, 600, 2000, {2, 6, 4, 4, 2, 4, 2, 2, 2, 2, 2, 2, 2, 2, 4, 4, 2, 4, 2, 0, 0, 0, 0, 0}},
};

struct Ended final : AheadRun {
    RNG start{}, end{};
};

bool napUnlessCalledOff(int ms, const std::atomic<bool> &cancel)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cancel.load(std::memory_order_relaxed))
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

// Args: shape, workers, 1 to guess the draws (0: no draws guessed).
void BM_ReplicateChain(benchmark::State &st)
{
    const Shape &shape = kShapes[st.range(0)];
    const auto workers = static_cast<uint32_t>(st.range(1));
    const bool guess = st.range(2) != 0;
    const auto nreps = static_cast<uint32_t>(shape.draws.size());
    const auto sequence = [&shape](RNG *s) {
        for (int i = 0; i < shape.ntax; i++)
            randUniRaw(s);
    };
    uint64_t runs = 0, thrownAway = 0;
    for (auto _ : st) {
        RNG start;
        initRNG(&start, makeSeed1(1234));
        ReplicatesAhead *self = nullptr;
        std::atomic<uint64_t> begun{0};
        ReplicatesAhead pool(
            workers, nreps, 2 * workers,
            [&](uint32_t, uint32_t rep, const RNG &from, const std::atomic<bool> &cancel) {
                begun++;
                auto out = std::make_unique<Ended>();
                out->start = from;
                if (!napUnlessCalledOff(shape.stepwiseMs, cancel))
                    return std::unique_ptr<AheadRun>(std::move(out));
                RNG now = from;
                sequence(&now);
                // Each start resolves its own tree: the draws follow from it.
                const uint32_t pick = (from.x ^ (from.y * 2654435761u) ^ from.z) % nreps;
                for (uint32_t d = 0; d < shape.draws[pick]; d++)
                    randUniRaw(&now);
                self->revise(rep, from, now);
                out->end = now;
                napUnlessCalledOff(shape.swapMs, cancel);
                return std::unique_ptr<AheadRun>(std::move(out));
            },
            start, sequence);
        self = &pool;
        if (guess)
            pool.guessDraws([](RNG *s) { randUniRaw(s); }, {1, 0, 2, 0, 1});
        pool.start();
        for (uint32_t rep = 0; rep < nreps; rep++) {
            const std::unique_ptr<AheadRun> r = pool.take(rep, std::chrono::milliseconds(100), [] { return false; });
            if (!r) {
                st.SkipWithError("a replicate was not taken");
                return;
            }
            if (rep + 1 < nreps)
                pool.settle(rep + 1, static_cast<const Ended &>(*r).end);
        }
        pool.stop();
        runs += begun.load();
        thrownAway += pool.calledOff();
    }
    st.counters["runs"] = benchmark::Counter(static_cast<double>(runs), benchmark::Counter::kAvgIterations);
    st.counters["thrown_away"] = benchmark::Counter(static_cast<double>(thrownAway), benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(BM_ReplicateChain)
    ->Args({0, 1, 0})
    ->Args({0, 8, 0})
    ->Args({0, 8, 1})
    ->Args({1, 1, 0})
    ->Args({1, 8, 0})
    ->Args({1, 8, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();
