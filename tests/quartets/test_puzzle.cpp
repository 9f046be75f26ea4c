// Quartet puzzling: the masks read from quartet likelihoods and scores, the
// random reduction of ties, and the puzzling step, whose penalties are
// checked against a count made by inserting the taxon on every edge.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "qel/qel_random.h"
#include "quartets/puzzle.h"
#include "quartets/quartets.h"
#include "trees/treeutil.h"

namespace {

RNG seeded(uint32_t s)
{
    RNG rng{};
    initRNG(&rng, makeSeed1(s));
    return rng;
}

TEST(PuzzleMaskTest, LikelihoodMappingTakesTheNearestPointOfTheTriangle)
{
    struct Case {
        std::array<double, 3> lnL;
        uint8_t mask;
    };
    const Case cases[] = {
        {{-100, -100, -100}, 7},  // equal: the centre, so each step draws the topology
        {{-100, -110, -110}, 1},  {{-110, -100, -110}, 2}, {{-110, -110, -100}, 4},
        {{-100, -100, -110}, 3},  {{-100, -110, -100}, 5}, {{-110, -100, -100}, 6},
        // Beyond a difference of 200 the weight is taken as 0, not overflowed.
        {{-1000, -100, -2000}, 2},
        // Weights (0.668, 0.332, 0): nearer the edge midpoint than the corner.
        {{-50, -50.7, -100}, 3},
        // Weights (0.83, 0.17, 0): the corner.
        {{-50, -51.6, -100}, 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(likelihoodMappingMask(c.lnL.data()), c.mask) << c.lnL[0] << " " << c.lnL[1] << " " << c.lnL[2];
}

TEST(PuzzleMaskTest, ScoreMasksHoldEveryLeastScoreAndTiesAreDrawnEvenly)
{
    const double s1[3] = {10, 12, 11}, s2[3] = {12, 10, 10}, s3[3] = {5, 5, 5};
    EXPECT_EQ(bestScoreMask(s1), 1);
    EXPECT_EQ(bestScoreMask(s2), 6);
    EXPECT_EQ(bestScoreMask(s3), 7);

    RNG rng = seeded(17);
    for (uint8_t m : {0, 1, 2, 4})
        EXPECT_EQ(choose1Randomly(&rng, m), m);
    const std::pair<uint8_t, std::vector<uint8_t>> ties[] = {{7, {1, 2, 4}}, {3, {1, 2}}, {5, {1, 4}}, {6, {2, 4}}};
    for (const auto &[mask, allowed] : ties) {
        std::array<int, 8> seen{};
        const int draws = 6000;
        for (int i = 0; i < draws; i++)
            seen[choose1Randomly(&rng, mask)]++;
        for (int k = 0; k < 8; k++) {
            const bool ok = std::find(allowed.begin(), allowed.end(), k) != allowed.end();
            if (!ok)
                EXPECT_EQ(seen[k], 0) << int(mask) << " gave " << k;
            else
                EXPECT_NEAR(seen[k], draws / static_cast<double>(allowed.size()), draws * 0.03)
                    << int(mask) << " gave " << k;
        }
    }
}

// A stepper's tree read through its parent links; the root of a rooted tree
// is a leaf here too, standing for the outgroup side.
struct Paths {
    const PuzzleStepper &s;
    std::vector<uint32_t> up(uint32_t a) const
    {
        std::vector<uint32_t> v{a};
        while (a != s.rootNode() && s.parentOf(a) != UINT32_MAX)
            v.push_back(a = s.parentOf(a));
        return v;
    }
    // Edges (named by their lower node) of the path a-b.
    std::vector<uint32_t> path(uint32_t a, uint32_t b) const
    {
        std::vector<uint32_t> ua = up(a), ub = up(b);
        while (ua.size() > 1 && ub.size() > 1 && ua[ua.size() - 2] == ub[ub.size() - 2])
            ua.pop_back(), ub.pop_back();
        ua.pop_back(), ub.pop_back();
        ua.insert(ua.end(), ub.begin(), ub.end());
        return ua;
    }
    bool disjoint(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const
    {
        const std::vector<uint32_t> p = path(a, b), q = path(c, d);
        for (uint32_t e : p)
            if (std::find(q.begin(), q.end(), e) != q.end())
                return false;
        return true;
    }
    // The mask of the sorted four leaves as this tree resolves them.
    uint8_t mask(const std::array<uint32_t, 4> &t) const
    {
        if (disjoint(t[0], t[1], t[2], t[3]))
            return 1;
        return disjoint(t[0], t[2], t[1], t[3]) ? 2 : 4;
    }
};

// The relation of a quartet (or of a triple and the root) as a tree shows
// it, in the table's mask terms.
uint8_t relationOnTree(const Paths &p, const std::vector<uint32_t> &taxa, bool triples)
{
    if (!triples) {
        std::array<uint32_t, 4> t{taxa[0], taxa[1], taxa[2], taxa[3]};
        std::sort(t.begin(), t.end());
        return p.mask(t);
    }
    std::array<uint32_t, 3> t{taxa[0], taxa[1], taxa[2]};
    std::sort(t.begin(), t.end());
    // Outgroup k pairs with the root: (t_k, root) | (the other two).
    for (uint32_t k = 0; k < 3; k++) {
        const uint32_t x = t[k == 0 ? 1 : 0], y = t[k == 2 ? 1 : 2];
        if (p.disjoint(t[k], p.s.rootNode(), x, y))
            return static_cast<uint8_t>(1u << k);
    }
    return 0;
}

uint8_t &relation(PuzzleRelations &rel, std::vector<uint32_t> t)
{
    std::sort(t.begin(), t.end());
    return rel.triples() ? rel.triple(t[0], t[1], t[2]) : rel.quartet(t[0], t[1], t[2], t[3]);
}

// Every 3 (quartets) or 2 (triples) placed taxa with u.
template <typename Fn>
void forEachGroupWith(const std::vector<uint32_t> &placed, uint32_t u, bool triples, Fn fn)
{
    const size_t k = placed.size();
    for (size_t i = 0; i < k; i++)
        for (size_t j = i + 1; j < k; j++) {
            if (triples) {
                fn(std::vector<uint32_t>{placed[i], placed[j], u});
                continue;
            }
            for (size_t l = j + 1; l < k; l++)
                fn(std::vector<uint32_t>{placed[i], placed[j], placed[l], u});
        }
}

// Full penalties: the relations inserting u on the edge would contradict.
// Standard: the relations whose pair without u has the edge on its path.
uint64_t referencePenalty(const PuzzleStepper &before, const PuzzleRelations &rel, const std::vector<uint32_t> &placed,
                          uint32_t u, uint32_t node, PuzzlePenalties mode)
{
    PuzzleStepper after(before);
    after.insert(u, node);
    const Paths pb{before}, pa{after};
    const bool triples = rel.triples();
    uint64_t pen = 0;
    forEachGroupWith(placed, u, triples, [&](std::vector<uint32_t> t) {
        const uint8_t want = relation(const_cast<PuzzleRelations &>(rel), t);
        if (mode == PuzzlePenalties::Full) {
            pen += relationOnTree(pa, t, triples) != want;
            return;
        }
        // The pair that does not hold u, in the table's sorted terms.
        std::vector<uint32_t> s = t;
        if (triples)
            s.push_back(before.rootNode());
        std::vector<uint32_t> sorted(s.begin(), s.begin() + (triples ? 3 : 4));
        std::sort(sorted.begin(), sorted.end());
        uint32_t a = sorted[0], b, c, d;
        if (!triples) {
            const uint32_t partner = want == 2 ? 2 : want == 4 ? 3 : 1;
            b = sorted[partner], c = sorted[partner == 1 ? 2 : 1], d = sorted[partner == 3 ? 2 : 3];
        } else {
            const uint32_t o = want == 2 ? 1 : want == 4 ? 2 : 0;
            a = sorted[o], b = before.rootNode(), c = sorted[o == 0 ? 1 : 0], d = sorted[o == 2 ? 1 : 2];
        }
        const bool uFirst = a == u || b == u;
        const uint32_t p = uFirst ? c : a, q = uFirst ? d : b;
        const std::vector<uint32_t> path = pb.path(p, q);
        pen += std::find(path.begin(), path.end(), node) != path.end();
    });
    return pen;
}

struct StepCase {
    bool triples;
    PuzzlePenalties mode;
};

class PuzzleStepTest : public ::testing::TestWithParam<StepCase> {};

TEST_P(PuzzleStepTest, PenaltiesOfEveryEdgeMatchAnInsertionOnIt)
{
    const StepCase c = GetParam();
    std::mt19937 gen(2024);
    for (uint32_t trial = 0; trial < 12; trial++) {
        const uint32_t n = 6 + trial % 5;
        PuzzleRelations rel;
        ASSERT_TRUE(rel.init(n, c.triples));
        // Random single topologies: no draws, so the reference sees the same.
        std::vector<uint32_t> all(n);
        for (uint32_t i = 0; i < n; i++)
            all[i] = i;
        const uint32_t k = c.triples ? 3 : 4;
        std::vector<uint32_t> t(k);
        std::vector<bool> pick(n);
        std::fill(pick.begin(), pick.begin() + k, true);
        do {
            t.clear();
            for (uint32_t i = 0; i < n; i++)
                if (pick[i])
                    t.push_back(i);
            relation(rel, t) = static_cast<uint8_t>(1u << (gen() % 3));
        } while (std::prev_permutation(pick.begin(), pick.end()));

        std::shuffle(all.begin(), all.end(), gen);
        RNG rng = seeded(trial + 1);
        PuzzleStepper step(rel, c.mode);
        step.start(all.data(), &rng);
        std::vector<uint32_t> placed(all.begin(), all.begin() + k);
        std::vector<uint32_t> nodes;
        std::vector<uint64_t> pen;
        for (uint32_t i = k; i < n; i++) {
            const uint32_t u = all[i];
            step.penalties(u, &rng, nodes, pen);
            ASSERT_EQ(nodes.size(), 2 * placed.size() - (c.triples ? 1 : 3));
            for (size_t e = 0; e < nodes.size(); e++)
                ASSERT_EQ(pen[e], referencePenalty(step, rel, placed, u, nodes[e], c.mode))
                    << "n=" << n << " taxon " << u << " edge above " << nodes[e];
            // Grow the tree on a random edge, not the best, to test more shapes.
            step.insert(u, nodes[gen() % nodes.size()]);
            placed.push_back(u);
            // Junctions stay the meeting points of the paths.
            const Paths p{step};
            for (uint32_t a : placed)
                for (uint32_t b : placed)
                    if (a != b) {
                        const std::vector<uint32_t> ua = p.up(a), ub = p.up(b);
                        uint32_t meet = UINT32_MAX;
                        for (uint32_t x : ua)
                            if (meet == UINT32_MAX && std::find(ub.begin(), ub.end(), x) != ub.end())
                                meet = x;
                        ASSERT_EQ(step.junction(a, b), meet);
                    }
        }
    }
}

TEST_P(PuzzleStepTest, RelationsOfOneTreeGiveThatTreeInEveryStep)
{
    const StepCase c = GetParam();
    std::mt19937 gen(99);
    for (uint32_t n : {5u, 9u, 14u}) {
        // A random tree grown by the stepper itself on random edges.
        PuzzleRelations any;
        ASSERT_TRUE(any.init(n, c.triples));
        RNG rng = seeded(n);
        PuzzleStepper truth(any, c.mode);
        std::vector<uint32_t> order(n);
        for (uint32_t i = 0; i < n; i++)
            order[i] = i;
        std::shuffle(order.begin(), order.end(), gen);
        truth.start(order.data(), &rng);
        std::vector<uint32_t> nodes;
        std::vector<uint64_t> pen;
        for (uint32_t i = c.triples ? 3 : 4; i < n; i++) {
            truth.penalties(order[i], &rng, nodes, pen);
            truth.insert(order[i], nodes[gen() % nodes.size()]);
        }
        PuzzleRelations rel;
        ASSERT_TRUE(rel.init(n, c.triples));
        const Paths pt{truth};
        std::vector<uint32_t> everyone(order);
        std::sort(everyone.begin(), everyone.end());
        for (uint32_t a = 0; a < n; a++)
            for (uint32_t b = a + 1; b < n; b++)
                for (uint32_t d = b + 1; d < n; d++) {
                    if (c.triples) {
                        rel.triple(a, b, d) = relationOnTree(pt, {a, b, d}, true);
                        continue;
                    }
                    for (uint32_t e = d + 1; e < n; e++)
                        rel.quartet(a, b, d, e) = relationOnTree(pt, {a, b, d, e}, false);
                }
        uint64_t counts[3];
        rel.countResolution(counts);
        EXPECT_EQ(counts[0], rel.count());
        EXPECT_EQ(counts[1] + counts[2], 0u);

        PuzzleStepper step(rel, c.mode);
        TreeHandle tree(createTreeForTaxa(n, n, true));
        ASSERT_TRUE(tree);
        for (int rep = 0; rep < 20; rep++) {
            step.run(&rng);
            const Paths p{step};
            for (uint32_t a = 0; a < n; a++)
                for (uint32_t b = a + 1; b < n; b++)
                    for (uint32_t d = b + 1; d < n; d++) {
                        if (c.triples) {
                            ASSERT_EQ(relationOnTree(p, {a, b, d}, true), rel.triple(a, b, d));
                            continue;
                        }
                        for (uint32_t e = d + 1; e < n; e++)
                            ASSERT_EQ(relationOnTree(p, {a, b, d, e}, false), rel.quartet(a, b, d, e));
                    }
            // The tree record holds the same tree, at taxon 0 or the ancestor.
            ASSERT_EQ(step.toTree(tree.get()), 0);
            EXPECT_EQ(tree->root, c.triples ? tree->nodes : tree->firstTip);
            EXPECT_TRUE(isTreeBinary(tree.get()));
            if (!c.triples)
                for (uint32_t a = 0; a < n; a++)
                    for (uint32_t b = a + 1; b < n; b++)
                        for (uint32_t d = b + 1; d < n; d++)
                            for (uint32_t e = d + 1; e < n; e++) {
                                const uint8_t m = rel.quartet(a, b, d, e);
                                const uint32_t x = m == 1 ? b : m == 2 ? d : e;
                                const uint32_t y = m == 1 ? d : b, z = m == 4 ? d : e;
                                EXPECT_TRUE(isQuartetCompatibleWithTree(a, x, y, z, tree.get()));
                            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, PuzzleStepTest,
                         ::testing::Values(StepCase{false, PuzzlePenalties::Standard},
                                           StepCase{false, PuzzlePenalties::Full},
                                           StepCase{true, PuzzlePenalties::Standard},
                                           StepCase{true, PuzzlePenalties::Full}),
                         [](const auto &info) {
                             return std::string(info.param.triples ? "Triples" : "Quartets") +
                                    (info.param.mode == PuzzlePenalties::Full ? "Full" : "Standard");
                         });

}  // namespace
