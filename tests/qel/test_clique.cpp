// Maximum-weight clique against a search over every subset of vertices, and
// the small graphs whose answers are known by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "qel/qel_clique.h"

namespace {

struct Graph {
    uint32_t n;
    std::vector<uint32_t> w;
    std::vector<CliqueBits> rows;
    std::vector<const uint64_t *> ptrs;

    Graph(uint32_t n_, std::vector<uint32_t> weights) : n(n_), w(std::move(weights)), rows(n_, CliqueBits(1, 0))
    {
        for (auto &r : rows)
            ptrs.push_back(r.data());
    }
    void edge(uint32_t a, uint32_t b)
    {
        rows[a][0] |= uint64_t{1} << b;
        rows[b][0] |= uint64_t{1} << a;
    }
};

struct Result {
    uint32_t size;
    int32_t weight;
    std::vector<uint32_t> clique;
    std::set<uint64_t> optima;
};

Result solve(const Graph &g, bool all)
{
    Result r;
    r.clique.assign(std::max<uint32_t>(g.n, 1), 0);
    std::vector<CliqueBits> best;
    r.size = wclique(g.n, g.w.data(), g.ptrs.data(), all, &r.weight, r.clique.data(), &best);
    r.clique.resize(r.size);
    for (const auto &b : best)
        r.optima.insert(b[0]);
    return r;
}

bool isClique(const Graph &g, const std::vector<uint32_t> &vs)
{
    for (size_t i = 0; i < vs.size(); ++i)
        for (size_t j = i + 1; j < vs.size(); ++j)
            if (!((g.rows[vs[i]][0] >> vs[j]) & 1))
                return false;
    return true;
}

TEST(CliqueTest, KnownGraphs)
{
    Graph empty(5, {3, 7, 2, 7, 1});
    Result r = solve(empty, false);
    EXPECT_EQ(r.size, 1u);
    EXPECT_EQ(r.weight, 7);
    EXPECT_EQ(r.clique, std::vector<uint32_t>{1});  // the earlier of the two heaviest in the order

    Graph complete(6, {1, 2, 3, 4, 5, 6});
    for (uint32_t a = 0; a < 6; ++a)
        for (uint32_t b = a + 1; b < 6; ++b)
            complete.edge(a, b);
    r = solve(complete, false);
    EXPECT_EQ(r.size, 6u);
    EXPECT_EQ(r.weight, 21);

    Graph triangles(6, {1, 1, 1, 1, 1, 1});
    for (auto [a, b] : {std::pair{0u, 1u}, {1u, 2u}, {0u, 2u}, {3u, 4u}, {4u, 5u}, {3u, 5u}})
        triangles.edge(a, b);
    r = solve(triangles, true);
    EXPECT_EQ(r.weight, 3);
    EXPECT_EQ(r.optima, (std::set<uint64_t>{0b000111, 0b111000}));
    std::sort(r.clique.begin(), r.clique.end());
    // Equal vertices are taken in number order, so the first triangle
    // completes first and stays the recorded one.
    EXPECT_EQ(r.clique, (std::vector<uint32_t>{0, 1, 2}));

    Graph zero(4, {0, 0, 0, 0});
    zero.edge(0, 1);
    EXPECT_EQ(solve(zero, false).size, 0u);
    EXPECT_EQ(solve(Graph(0, {}), false).size, 0u);
}

// Random graphs of 1-16 vertices at densities 0.2-0.9 with weights 1-4
// (many ties): the weight, a recorded clique of that weight, and the set of
// all optima equal those of a scan over every vertex subset.
TEST(CliqueTest, EqualsSearchOverAllSubsets)
{
    std::mt19937 rng(1136);
    for (int trial = 0; trial < 400; ++trial) {
        const uint32_t n = 1 + rng() % 16;
        const double density = 0.2 + 0.1 * (rng() % 8);
        std::vector<uint32_t> w(n);
        for (auto &x : w)
            x = 1 + rng() % 4;
        Graph g(n, w);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (uint32_t a = 0; a < n; ++a)
            for (uint32_t b = a + 1; b < n; ++b)
                if (u(rng) < density)
                    g.edge(a, b);

        // clique[mask]: mask without its lowest vertex is a clique and that
        // vertex is adjacent to the rest.
        const uint32_t subsets = 1u << n;
        std::vector<bool> clique(subsets, false);
        std::vector<int32_t> weight(subsets, 0);
        clique[0] = true;
        int32_t best = 0;
        for (uint32_t mask = 1; mask < subsets; ++mask) {
            const uint32_t low = static_cast<uint32_t>(__builtin_ctz(mask)), rest = mask & (mask - 1);
            weight[mask] = weight[rest] + static_cast<int32_t>(w[low]);
            clique[mask] = clique[rest] && (g.rows[low][0] & rest) == rest;
            if (clique[mask])
                best = std::max(best, weight[mask]);
        }
        std::set<uint64_t> optima;
        for (uint32_t mask = 1; mask < subsets; ++mask)
            if (clique[mask] && weight[mask] == best)
                optima.insert(mask);

        const Result one = solve(g, false);
        ASSERT_EQ(one.weight, best) << "trial " << trial;
        EXPECT_TRUE(isClique(g, one.clique)) << "trial " << trial;
        int32_t sum = 0;
        for (uint32_t v : one.clique)
            sum += static_cast<int32_t>(w[v]);
        EXPECT_EQ(sum, best) << "trial " << trial;
        const Result all = solve(g, true);
        EXPECT_EQ(all.weight, best) << "trial " << trial;
        EXPECT_EQ(all.optima, optima) << "trial " << trial;
    }
}

}  // namespace
