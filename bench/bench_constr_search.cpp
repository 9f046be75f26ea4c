// A whole TBR heuristic search on the 100-taxon x 1,000-site simulated DNA
// matrix of the TBR benchmark, without constraints and under a monophyly
// constraint of 20 groups: rearrangements tried per second. The groups are
// 20 clusters of the tree an unconstrained search finds (1: the constraint
// admits the good trees), or of a random tree (2: most good moves are
// tested and turned away).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <random>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "qel/qel_errormsg.h"
#include "search/hsearch.h"
#include "search/search_settings.h"
#include "trees/constr.h"
#include "trees/splits.h"
#include "trees/treebuf.h"
#include "trees/treeutil.h"

#include "bench_support.h"

namespace {

constexpr uint32_t kTaxa = 100, kChars = 1000, kGroups = 20;

int silent(const char *, ...) { return 0; }

struct ConstrFixture {
    DataInfo *d = nullptr;
    TreeBuffer *buf = nullptr;
    ConstrFixture()
    {
        std::mt19937 rng(2024);
        d = simulatedDnaMatrix(kTaxa, kChars, rng);
        buf = createTreeBuffer(kTaxa, 200, false, true, false);
        setActiveTreeBuffer(buf);
    }
};

ConstrFixture &fixture()
{
    static ConstrFixture f;
    return f;
}

// Clusters of the tree, every fifth internal node in preorder: at most
// kGroups of them, each of two taxa or more.
SplitsList *clustersOf(Tree *t)
{
    setTraversalSeq(t);
    const uint32_t words = (kTaxa + 63) / 64;
    std::vector<std::vector<uint64_t>> below(t->maxNodes, std::vector<uint64_t>(words, 0));
    std::vector<TreeNode *> order;
    for (TreeNode *p = t->root; p; p = p->next)
        order.push_back(p);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        TreeNode *p = *it;
        auto &mine = below[nodePosition(t, p)];
        if (isTip(p) && p->index >= 0)
            mine[static_cast<uint32_t>(p->index) >> 6] |= uint64_t{1} << (p->index & 63);
        for (TreeNode *c = p->firstChild; c; c = c->nextSib)
            for (uint32_t w = 0; w < words; w++)
                mine[w] |= below[nodePosition(t, c)][w];
    }
    SplitsList *groups = createSplitsList(kTaxa, kGroups, true);
    uint32_t internal = 0, taken = 0;
    for (TreeNode *p : order) {
        if (isTip(p) || p == t->root || p->anc == t->root)
            continue;
        if (internal++ % 5 != 0 || taken == kGroups)
            continue;
        appendSplitToList(groups, below[nodePosition(t, p)].data());
        taken++;
    }
    return groups;
}

void BM_TbrSearchConstrained(benchmark::State &state)
{
    ConstrFixture &f = fixture();
    const PrintHook savedPrint = qel_printf;
    const MsgHook savedWarning = qel_warningMsg;
    qel_printf = silent;
    hs = HSearchOptions{};
    hs.swap = 3;
    srch.dStatus = 0;
    srch.enforce = 0;
    const bool constrained = state.range(0) != 0;
    if (constrained) {
        deallocAllConstraints();
        emptyTreeBuffer(f.buf, true);
        setActiveTreeBuffer(f.buf);
        runHeuristicSearch(f.d);
        TreeHandle t(createTreeForTaxa(kTaxa, kTaxa, true));
        if (state.range(0) == 1) {
            getTree(f.buf, 1, t.get());
        } else {
            std::mt19937 rng(99);
            t.reset(randomBinaryTree(kTaxa, rng));
        }
        addConstraint("bench", kConMonophyly, clustersOf(t.get()), true);
        srch.enforce = 1;
    }
    double rearrangements = 0;
    for (auto _ : state) {
        emptyTreeBuffer(f.buf, true);
        setActiveTreeBuffer(f.buf);
        if (runHeuristicSearch(f.d) != 0)
            state.SkipWithError("search failed");
        rearrangements += lastHSearchRearrangements();
    }
    srch.enforce = 0;
    deallocAllConstraints();
    qel_printf = savedPrint;
    qel_warningMsg = savedWarning;
    state.counters["rearrangements_per_s"] = benchmark::Counter(rearrangements, benchmark::Counter::kIsRate);
    state.counters["rearrangements"] = rearrangements / double(state.iterations());
}

}  // namespace

// 0: no constraint; 1, 2: a monophyly constraint of 20 groups.
BENCHMARK(BM_TbrSearchConstrained)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(3.0);
