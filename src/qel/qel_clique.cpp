#include "qel/qel_clique.h"

#include <algorithm>
#include <new>
#include <numeric>

#include "qel/qel_malloc.h"

namespace {

bool isAdjacent(const uint64_t *row, uint32_t j) { return (row[j >> 6] >> (j & 63)) & 1; }

struct CliqueSearch {
    uint32_t n = 0;
    const uint32_t *w = nullptr;
    const uint64_t *const *adj = nullptr;
    bool all = false;
    std::vector<uint64_t> nbrWeight;
    int64_t best = 0;
    uint32_t bestSize = 0;
    uint32_t *bestClique = nullptr;
    std::vector<int64_t> c;  // per vertex: the best weight once its prefix was finished
    std::vector<CliqueBits> *allBest = nullptr;
    std::vector<uint32_t> clique;
    std::vector<std::vector<uint32_t>> buffers;  // the candidates of each depth

    // The vertex order: ascending weight, then descending neighbourhood
    // weight, then ascending number.
    bool compareVertices(uint32_t a, uint32_t b) const
    {
        if (w[a] != w[b])
            return w[a] < w[b];
        if (nbrWeight[a] != nbrWeight[b])
            return nbrWeight[a] > nbrWeight[b];
        return a < b;
    }

    CliqueBits bitsOf(uint32_t size) const
    {
        CliqueBits bits((n + 63) / 64, 0);
        for (uint32_t k = 0; k < size; ++k)
            bits[clique[k] >> 6] |= uint64_t{1} << (clique[k] & 63);
        return bits;
    }

    void record(uint32_t size, int64_t weight)
    {
        if (weight < best)
            return;
        if (weight > best) {
            best = weight;
            bestSize = size;
            std::copy_n(clique.begin(), size, bestClique);
            if (all && allBest) {
                allBest->clear();
                allBest->push_back(bitsOf(size));
            }
        } else if (all && allBest) {
            allBest->push_back(bitsOf(size));
        }
    }

    // `better(x)`: x beats the best so far (or ties it when every optimum
    // is wanted).
    bool better(int64_t x) const { return all ? x >= best : x > best; }

    void recWclique(uint32_t m, const uint32_t *cand, uint32_t depth, int64_t cur, int64_t candSum)
    {
        if (m <= 1) {
            if (m == 1)
                clique[depth++] = cand[0];
            record(depth, cur + (m == 1 ? candSum : 0));
            return;
        }
        std::vector<uint32_t> &next = buffers[depth];
        const uint32_t lowest = depth == 0 ? m - 1 : 0;
        // c grows along the order and the candidates keep it, so once a
        // bound fails it fails for every earlier candidate too.
        for (uint32_t k = m; k-- > lowest;) {
            const uint32_t v = cand[k];
            if (depth > 0 && !better(c[v] + cur))
                return;
            clique[depth] = v;
            candSum -= w[v];
            if (!better(cur + w[v] + candSum))
                return;
            uint32_t nn = 0;
            int64_t s = 0;
            for (uint32_t j = 0; j < k; ++j)
                if (isAdjacent(adj[cand[j]], v)) {
                    next[nn++] = cand[j];
                    s += w[cand[j]];
                }
            if (better(cur + w[v] + s))
                recWclique(nn, next.data(), depth + 1, cur + w[v], s);
        }
    }
};

}  // namespace

uint32_t wclique(uint32_t n, const uint32_t *weights, const uint64_t *const *adjacency, bool allOptima,
                 int32_t *bestWeight, uint32_t *bestClique, std::vector<CliqueBits> *allBest)
{
    if (bestWeight)
        *bestWeight = 0;
    if (allOptima && allBest)
        allBest->clear();
    if (n == 0)
        return 0;
    try {
        CliqueSearch cs;
        cs.n = n;
        cs.w = weights;
        cs.adj = adjacency;
        cs.all = allOptima;
        cs.bestClique = bestClique;
        cs.allBest = allBest;
        cs.nbrWeight.assign(n, 0);
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = 0; j < n; ++j)
                if (j != i && isAdjacent(adjacency[i], j))
                    cs.nbrWeight[i] += weights[j];
        cs.c.assign(n, 0);
        cs.clique.assign(n, 0);
        cs.buffers.assign(n, std::vector<uint32_t>(n));
        std::vector<uint32_t> order(n);
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return cs.compareVertices(a, b); });
        int64_t prefixSum = 0;
        for (uint32_t i = 0; i < n; ++i) {
            prefixSum += weights[order[i]];
            cs.recWclique(i + 1, order.data(), 0, 0, prefixSum);
            cs.c[order[i]] = cs.best;
        }
        if (bestWeight)
            *bestWeight = static_cast<int32_t>(cs.best);
        return cs.bestSize;
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        if (bestWeight)
            *bestWeight = 0;
        if (allBest)
            allBest->clear();
        return 0;
    }
}
