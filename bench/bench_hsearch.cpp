// A whole heuristic search (stepwise addition, TBR) on an 80-taxon x 1,000-site
// DNA matrix, with and without a time limit that is never reached: the two
// must run at the same speed, because watching the limit reads a cheap clock,
// and only every few dozen rearrangements. And ten random-addition
// replicates on a 150-taxon x 2,000-site matrix on 1, 2 and 8 threads, whose
// trees must not depend on the thread count (the "trees" counter is a
// digest of the trees kept, in order).
#include <benchmark/benchmark.h>

#include <random>
#include <string_view>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "qel/qel_errormsg.h"
#include "search/hsearch.h"
#include "search/search_settings.h"
#include "search/stepwise.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeutil.h"

#include "bench_support.h"

namespace {

constexpr uint32_t kTaxa = 80, kChars = 1000;

int silent(const char *, ...) { return 0; }

struct SearchFixture {
    DataInfo *d = nullptr;
    TreeBuffer *buf = nullptr;
    SearchFixture()
    {
        std::mt19937 rng(77);
        d = simulatedDnaMatrix(kTaxa, kChars, rng);
        buf = createTreeBuffer(kTaxa, 200, false, true, false);
        setActiveTreeBuffer(buf);
    }
};

SearchFixture &fixture()
{
    static SearchFixture f;
    return f;
}

void runSearch(benchmark::State &state)
{
    SearchFixture &f = fixture();
    const PrintHook savedPrint = qel_printf;
    qel_printf = silent;
    hs = HSearchOptions{};
    hs.swap = 3;
    hs.timeLimit = static_cast<int32_t>(state.range(0));
    srch.dStatus = 0;
    double rearrangements = 0;
    for (auto _ : state) {
        emptyTreeBuffer(f.buf, true);
        setActiveTreeBuffer(f.buf);
        if (runHeuristicSearch(f.d) != 0)
            state.SkipWithError("search failed");
        rearrangements += 1;
    }
    qel_printf = savedPrint;
    state.counters["searches"] = rearrangements;
}

struct ReplicatesFixture {
    DataInfo *d = nullptr;
    TreeBuffer *buf = nullptr;
    ReplicatesFixture()
    {
        std::mt19937 rng(150);
        d = simulatedDnaMatrix(150, 2000, rng);
        buf = createTreeBuffer(150, 200, false, true, false);
    }
};

void runReplicates(benchmark::State &state)
{
    static ReplicatesFixture f;
    setActiveDataInfo(f.d);
    const PrintHook savedPrint = qel_printf;
    qel_printf = silent;
    hs = HSearchOptions{};
    hs.swap = 3;
    hs.addSeq = kAddSeqRandom;
    hs.nreps = 10;
    hs.rseed[0] = 2024;
    srch.dStatus = 0;
    setHSearchThreads(static_cast<uint32_t>(state.range(0)));
    double digest = 0, ahead = 0, calledOff = 0, rerunHere = 0, reused = 0, searches = 0;
    for (auto _ : state) {
        emptyTreeBuffer(f.buf, true);
        setActiveTreeBuffer(f.buf);
        if (runHeuristicSearch(f.d) != 0)
            state.SkipWithError("search failed");
        uint64_t h = 1469598103934665603ull;
        for (uint32_t k = 0; k < numTreesInBuffer(f.buf); k++)
            for (uint8_t byte : std::string_view(reinterpret_cast<const char *>(treeLocation(f.buf, k)),
                                                 f.buf->bytesPerTree))
                h = (h ^ byte) * 1099511628211ull;
        digest = static_cast<double>(h % 1000000007ull) + getTreeScoreArray(f.buf)[0] * 1e-6;
        const AheadCounts counts = lastHSearchAheadCounts();
        ahead += counts.taken;
        calledOff += counts.calledOff;
        rerunHere += counts.rerunHere;
        reused += counts.stepwiseReused;
        searches += 1;
    }
    setHSearchThreads(0);
    qel_printf = savedPrint;
    state.counters["trees"] = digest;
    // Per search: replicates taken from runs ahead, runs thrown away,
    // replicates run again on the calling thread, and runs that took their
    // stepwise trees from the run before.
    state.counters["ahead"] = ahead / searches;
    state.counters["calledOff"] = calledOff / searches;
    state.counters["rerunHere"] = rerunHere / searches;
    state.counters["stepwiseReused"] = reused / searches;
}

}  // namespace

// 0: no time limit; 3600 seconds: a limit that is watched but never reached.
BENCHMARK(runSearch)->Arg(0)->Arg(3600)->Unit(benchmark::kMillisecond)->MinTime(2.0);
// Threads: 1, 2, 8. Real time: the replicates run on several processors.
BENCHMARK(runReplicates)->Arg(1)->Arg(2)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
