// Quartet assembly on tables of 100 and 200 taxa filled from 1,000 gene
// trees, each a few nearest-neighbour interchanges away from one random true
// tree: seconds per method (one run each), and whether it gave back the true
// tree (counter "recovered", 1 or 0). The local search starts from the QFM
// tree.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "quartets/qlocal.h"
#include "quartets/qmethods.h"
#include "quartets/quartets.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kGenes = 1000;
constexpr uint32_t kNNIsPerGene = 3;
// Interchanges around central edges move millions of quartets; the gene
// trees keep to interchanges that move at most this many.
constexpr uint64_t kMaxMovedQuartets = 200000;

std::vector<uint32_t> leavesBeyond(const QGraph &g, uint32_t from, uint32_t start)
{
    std::vector<uint32_t> out, stack{start}, parent{from};
    while (!stack.empty()) {
        const uint32_t v = stack.back(), p = parent.back();
        stack.pop_back();
        parent.pop_back();
        if (g.taxon[v] >= 0) {
            out.push_back(static_cast<uint32_t>(g.taxon[v]));
            continue;
        }
        for (uint32_t u : g.adj[v])
            if (u != p) {
                stack.push_back(u);
                parent.push_back(v);
            }
    }
    return out;
}

struct Fixture {
    uint32_t n = 0;
    QGraph truth;
    std::vector<std::vector<uint64_t>> splits;  // sorted, without taxon 0
    QuartetData *qd = nullptr;
};

std::vector<std::vector<uint64_t>> graphSplits(const QGraph &g, uint32_t n)
{
    std::vector<std::vector<uint64_t>> out;
    const uint32_t words = setWordCount(n);
    for (uint32_t v = 0; v < g.adj.size(); v++)
        for (uint32_t u : g.adj[v])
            if (g.taxon[v] < 0 && g.taxon[u] < 0 && u < v) {
                std::vector<uint64_t> s(words, 0);
                for (uint32_t t : leavesBeyond(g, v, u))
                    addBitVecMember(s.data(), t);
                if (isBitVecMember(s.data(), 0))
                    bitVecComplement(std::vector<uint64_t>(s).data(), n, words, s.data());
                out.push_back(s);
            }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::vector<uint64_t>> treeSplits(Tree *tree, uint32_t n)
{
    setTraversalSeq(tree);
    makeAllLeafSets(tree);
    const uint32_t words = setWordCount(n);
    std::vector<std::vector<uint64_t>> out;
    for (TreeNode *p = tree->root->firstChild->next; p; p = p->next)
        if (p->firstChild)
            out.emplace_back(p->leafSet, p->leafSet + words);
    std::sort(out.begin(), out.end());
    return out;
}

Fixture *fixture(uint32_t n)
{
    static std::map<uint32_t, std::unique_ptr<Fixture>> cache;
    auto &slot = cache[n];
    if (slot)
        return slot.get();
    slot = std::make_unique<Fixture>();
    Fixture &f = *slot;
    f.n = n;
    std::mt19937 rng(n);
    QGraph &g = f.truth;
    // A random tree by inserting taxa on random edges.
    const uint32_t hub = g.addNode(-1);
    for (uint32_t t = 0; t < 3; t++)
        g.link(hub, g.addNode(static_cast<int32_t>(t)));
    for (uint32_t t = 3; t < n; t++) {
        std::vector<std::pair<uint32_t, uint32_t>> edges;
        for (uint32_t v = 0; v < g.adj.size(); v++)
            for (uint32_t u : g.adj[v])
                if (u < v)
                    edges.push_back({u, v});
        const auto [a, b] = edges[rng() % edges.size()];
        const uint32_t mid = g.addNode(-1);
        g.unlink(a, b);
        g.link(a, mid);
        g.link(mid, b);
        g.link(mid, g.addNode(static_cast<int32_t>(t)));
    }
    f.splits = graphSplits(g, n);
    // Every gene tree starts as the true tree: weight kGenes on each true
    // topology, found by the four-point condition on path lengths.
    std::vector<uint32_t> leafNode(n);
    for (uint32_t v = 0; v < g.taxon.size(); v++)
        if (g.taxon[v] >= 0)
            leafNode[g.taxon[v]] = v;
    std::vector<uint16_t> dist(uint64_t{n} * n);
    for (uint32_t a = 0; a < n; a++) {
        std::vector<int32_t> d(g.adj.size(), -1);
        std::vector<uint32_t> queue{leafNode[a]};
        d[leafNode[a]] = 0;
        for (size_t i = 0; i < queue.size(); i++)
            for (uint32_t u : g.adj[queue[i]])
                if (d[u] < 0) {
                    d[u] = d[queue[i]] + 1;
                    queue.push_back(u);
                }
        for (uint32_t b = 0; b < n; b++)
            dist[uint64_t{a} * n + b] = static_cast<uint16_t>(d[leafNode[b]]);
    }
    f.qd = allocQuartetData(n, true, false);
    QwtTable *t = f.qd->table;
    auto D = [&](uint32_t a, uint32_t b) { return dist[uint64_t{a} * n + b]; };
    for (uint32_t w = 0; w < n; w++)
        for (uint32_t x = w + 1; x < n; x++)
            for (uint32_t y = x + 1; y < n; y++)
                for (uint32_t z = y + 1; z < n; z++) {
                    const uint32_t s0 = D(w, x) + D(y, z), s1 = D(w, y) + D(x, z), s2 = D(w, z) + D(x, y);
                    if (s0 < s1 && s0 < s2)
                        updateQuartetWt(t, w, x, y, z, kGenes);
                    else if (s1 < s2)
                        updateQuartetWt(t, w, y, x, z, kGenes);
                    else
                        updateQuartetWt(t, w, z, x, y, kGenes);
                }
    // Each gene's interchanges move the quartets with one taxon in each of
    // the four subtrees around the edge from one topology to another.
    for (uint32_t gene = 0; gene < kGenes; gene++) {
        QGraph h = g;
        for (uint32_t k = 0; k < kNNIsPerGene;) {
            const uint32_t v = rng() % static_cast<uint32_t>(h.adj.size());
            if (h.taxon[v] >= 0 || h.adj[v].size() != 3)
                continue;
            const uint32_t u = h.adj[v][rng() % 3];
            if (h.taxon[u] >= 0)
                continue;
            std::vector<uint32_t> at[2];
            for (uint32_t x : h.adj[v])
                if (x != u)
                    at[0].push_back(x);
            for (uint32_t x : h.adj[u])
                if (x != v)
                    at[1].push_back(x);
            const auto A = leavesBeyond(h, v, at[0][0]), B = leavesBeyond(h, v, at[0][1]);
            const auto C = leavesBeyond(h, u, at[1][0]), Dd = leavesBeyond(h, u, at[1][1]);
            if (uint64_t{A.size()} * B.size() * C.size() * Dd.size() > kMaxMovedQuartets)
                continue;
            for (uint32_t a : A)
                for (uint32_t b : B)
                    for (uint32_t c : C)
                        for (uint32_t d : Dd) {
                            updateQuartetWt(t, a, b, c, d, -1.0f);
                            updateQuartetWt(t, a, c, b, d, 1.0f);
                        }
            h.unlink(v, at[0][1]);
            h.unlink(u, at[1][0]);
            h.link(v, at[1][0]);
            h.link(u, at[0][1]);
            k++;
        }
    }
    f.qd->weighted = 1;
    return &f;
}

template <typename Run>
void runMethod(benchmark::State &state, Run run)
{
    Fixture *f = fixture(static_cast<uint32_t>(state.range(0)));
    std::unique_ptr<Tree, Tree *(*)(Tree *)> tree(createTreeForTaxa(f->n, f->n, true),
                                                   [](Tree *t) { return destroyTree(t, true); });
    int status = 0;
    for (auto _ : state)
        status = run(f, tree.get());
    state.counters["recovered"] = status == 0 && treeSplits(tree.get(), f->n) == f->splits;
}

void BM_QFM(benchmark::State &state)
{
    runMethod(state, [](Fixture *f, Tree *t) { return qsearch_QFM(f->qd, t, nullptr, QfmOptions{1, 0, 0}); });
}
void BM_WO(benchmark::State &state)
{
    runMethod(state, [](Fixture *f, Tree *t) { return qsearch_WO(f->qd, t, nullptr, WoOptions{}); });
}
void BM_BS(benchmark::State &state)
{
    runMethod(state, [](Fixture *f, Tree *t) { return qsearch_BS(f->qd, t, true); });
}
void BM_QJ(benchmark::State &state)
{
    runMethod(state, [](Fixture *f, Tree *t) { return qsearch_QJ(f->qd, t); });
}
// A local search from the QFM tree (kind 1 NNI, 3 TBR with reconnection
// limit 2); the timed part is the local search alone.
void BM_LocalSearch(benchmark::State &state)
{
    Fixture *f = fixture(static_cast<uint32_t>(state.range(0)));
    installQuartetSearchScore();
    std::unique_ptr<Tree, Tree *(*)(Tree *)> tree(createTreeForTaxa(f->n, f->n, true),
                                                   [](Tree *t) { return destroyTree(t, true); });
    int status = 0;
    for (auto _ : state) {
        state.PauseTiming();
        qsearch_QFM(f->qd, tree.get(), nullptr, QfmOptions{1, 0, 0});
        double incompat = calcQwtIncompat(f->qd->table, calcQuartetSupport(f->qd, tree.get(), false));
        state.ResumeTiming();
        status = localQuartetSearch(f->qd, tree.get(), nullptr, static_cast<uint32_t>(state.range(1)), 2, false,
                                    &incompat);
    }
    state.counters["recovered"] = status == 0 && treeSplits(tree.get(), f->n) == f->splits;
}

}  // namespace

BENCHMARK(BM_QFM)->Arg(100)->Arg(200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_WO)->Arg(100)->Arg(200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_QJ)->Arg(100)->Arg(200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_BS)->Arg(100)->Arg(200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_LocalSearch)
    ->Args({100, 1})
    ->Args({100, 3})
    ->Args({200, 1})
    ->Args({200, 3})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
