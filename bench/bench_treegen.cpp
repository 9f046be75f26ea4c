// Generation of every binary tree of 10 taxa (2,027,025 unrooted trees),
// each stored in a tree buffer: the enumeration, the copy, the canonical
// ordering and the encoding of every tree.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "trees/treebuf.h"
#include "trees/treegen.h"
#include "trees/treeutil.h"

namespace {

void BM_GenerateAllTrees10(benchmark::State &state)
{
    const uint32_t ntax = 10;
    TreeHandle tree(createTreeForTaxa(ntax, ntax, false));
    TreeHandle scratch(createTreeForTaxa(ntax, ntax, false));
    TreeBuffer *buf = createTreeBuffer(ntax, 2100000, false, false, false);
    uint64_t trees = 0;
    for (auto _ : state) {
        emptyTreeBuffer(buf, true);
        AllTreesJob job;
        job.tree = tree.get();
        job.scratch = scratch.get();
        job.buf = buf;
        job.ntax = ntax;
        if (enumerateAllTrees(job) != 0 || job.stored != 2027025) {
            state.SkipWithError("enumeration failed");
            break;
        }
        trees += job.stored;
    }
    state.counters["trees_per_s"] = benchmark::Counter(static_cast<double>(trees), benchmark::Counter::kIsRate);
    destroyTreeBuffer(buf);
}
BENCHMARK(BM_GenerateAllTrees10)->Unit(benchmark::kMillisecond);

}  // namespace
