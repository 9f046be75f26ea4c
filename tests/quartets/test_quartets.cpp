// The quartet weight table: one place for every writing of a quartet, the
// weight operations, and the support of a tree against a brute-force count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

#include "quartets/quartets.h"
#include "support/tree_test_support.h"

namespace {

struct TableDeleter {
    void operator()(QwtTable *t) const { destroyQwtTable(t); }
};
using TablePtr = std::unique_ptr<QwtTable, TableDeleter>;
struct QdDeleter {
    void operator()(QuartetData *q) const { deallocQuartetData(q); }
};
using QdPtr = std::unique_ptr<QuartetData, QdDeleter>;

TEST(QwtTableTest, EveryWritingOfAQuartetFindsOneCellAndEverySplitOneTopology)
{
    for (uint32_t n = 4; n <= 12; n++) {
        TablePtr t(createQwtTable(n, n, false, false, nullptr));
        ASSERT_TRUE(t);
        std::set<std::pair<uint32_t, uint32_t>> cells;
        for (uint32_t w = 0; w < n; w++)
            for (uint32_t x = w + 1; x < n; x++)
                for (uint32_t y = x + 1; y < n; y++)
                    for (uint32_t z = y + 1; z < n; z++) {
                        const std::array<std::array<uint32_t, 4>, 3> splits{
                            {{w, x, y, z}, {w, y, x, z}, {w, z, x, y}}};
                        std::set<uint32_t> topologies;
                        QwtLoc first = getQwtLoc(t.get(), w, x, y, z);
                        for (const auto &s : splits) {
                            std::set<uint32_t> seen;
                            // The 8 writings of the split ab|cd.
                            const uint32_t a = s[0], b = s[1], c = s[2], d = s[3];
                            const std::array<std::array<uint32_t, 4>, 8> writings{{{a, b, c, d},
                                                                                   {b, a, c, d},
                                                                                   {a, b, d, c},
                                                                                   {b, a, d, c},
                                                                                   {c, d, a, b},
                                                                                   {d, c, a, b},
                                                                                   {c, d, b, a},
                                                                                   {d, c, b, a}}};
                            for (const auto &q : writings) {
                                const QwtLoc loc = getQwtLoc(t.get(), q[0], q[1], q[2], q[3]);
                                EXPECT_EQ(loc.row, first.row);
                                EXPECT_EQ(loc.cell, first.cell);
                                seen.insert(loc.topology);
                            }
                            EXPECT_EQ(seen.size(), 1u);
                            topologies.insert(*seen.begin());
                        }
                        EXPECT_EQ(topologies, (std::set<uint32_t>{0, 1, 2}));
                        EXPECT_EQ(getQwtLoc(t.get(), w, x, y, z).topology, 0u);
                        EXPECT_TRUE(cells.insert({first.row, first.cell}).second);
                        // The cell lies inside its row.
                        const uint64_t next = first.row + 1 < t->rowStart.size() ? t->rowStart[first.row + 1]
                                                                                 : t->wts.size() / 3;
                        EXPECT_LT(t->rowStart[first.row] + first.cell, next);
                    }
        EXPECT_EQ(cells.size() * 3, t->wts.size());
    }
}

TEST(QwtTableTest, FourTaxaHaveOneCellInTopologyOrder)
{
    TablePtr t(createQwtTable(4, 4, false, false, nullptr));
    ASSERT_EQ(t->wts.size(), 3u);
    EXPECT_EQ(getQwtLoc(t.get(), 0, 1, 2, 3).topology, 0u);
    EXPECT_EQ(getQwtLoc(t.get(), 0, 2, 1, 3).topology, 1u);
    EXPECT_EQ(getQwtLoc(t.get(), 0, 3, 1, 2).topology, 2u);
}

TEST(QwtTableTest, WeightOperationsInFloatAndBinaryModes)
{
    TablePtr t(createQwtTable(6, 6, false, false, nullptr));
    updateQuartetWt(t.get(), 0, 1, 2, 3, 0.0f);
    EXPECT_EQ(t->numNonzero, 0u);
    EXPECT_FALSE(qwtHasWeight(t.get()));
    updateQuartetWt(t.get(), 0, 1, 2, 3, 1.0f);
    updateQuartetWt(t.get(), 3, 2, 1, 0, 1.0f);  // the same topology again
    updateQuartetWt(t.get(), 0, 5, 4, 2, 2.5f);
    EXPECT_EQ(t->numNonzero, 2u);
    EXPECT_FLOAT_EQ(getQuartetWt(t.get(), 1, 0, 3, 2), 2.0f);
    EXPECT_FLOAT_EQ(getQuartetWt(t.get(), 0, 2, 1, 3), 0.0f);
    EXPECT_FLOAT_EQ(getQuartetWt(t.get(), 2, 4, 5, 0), 2.5f);
    EXPECT_DOUBLE_EQ(calcTotalQuartetWt(t.get()), 4.5);
    EXPECT_DOUBLE_EQ(calcQwtIncompat(t.get(), 1.5), 3.0);
    EXPECT_DOUBLE_EQ(t->totalWt, 4.5);
    setQuartetWt(t.get(), 0, 1, 2, 3, 0.5f);
    EXPECT_FLOAT_EQ(getQuartetWt(t.get(), 0, 1, 2, 3), 0.5f);
    EXPECT_EQ(t->numNonzero, 2u);  // setting does not count

    // A copy keeps every weight; binary only when asked and the source is.
    TablePtr c(copyQwt(t.get(), true));
    EXPECT_FALSE(c->binary);
    EXPECT_EQ(c->wts, t->wts);
    EXPECT_EQ(c->numNonzero, 2u);
    zeroQwt(t.get());
    EXPECT_EQ(calcTotalQuartetWt(t.get()), 0.0);
    EXPECT_EQ(t->numNonzero, 0u);

    TablePtr b(createQwtTable(5, 5, true, false, nullptr));
    updateQuartetWt(b.get(), 0, 1, 2, 3, 3.0f);
    updateQuartetWt(b.get(), 0, 2, 1, 3, 0.25f);
    updateQuartetWt(b.get(), 0, 2, 1, 3, 7.0f);
    EXPECT_EQ(b->numNonzero, 2u);
    EXPECT_EQ(getQuartetWt(b.get(), 0, 1, 2, 3), 1.0f);
    EXPECT_EQ(getQuartetWt(b.get(), 0, 2, 1, 3), 1.0f);
    EXPECT_EQ(calcTotalQuartetWt(b.get()), 2.0);
    setQuartetWt(b.get(), 0, 3, 1, 2, 0.1f);  // only that topology is left
    EXPECT_EQ(getQuartetWt(b.get(), 0, 1, 2, 3), 0.0f);
    EXPECT_EQ(getQuartetWt(b.get(), 0, 2, 1, 3), 0.0f);
    EXPECT_EQ(getQuartetWt(b.get(), 0, 3, 1, 2), 1.0f);
    setQuartetWt(b.get(), 0, 3, 2, 1, 0.0f);
    EXPECT_FALSE(qwtHasWeight(b.get()));
    TablePtr bc(copyQwt(b.get(), true)), fc(nullptr);
    EXPECT_TRUE(bc->binary);
    updateQuartetWt(b.get(), 1, 2, 3, 4, 1.0f);
    fc.reset(copyQwt(b.get(), false));
    EXPECT_FALSE(fc->binary);
    EXPECT_EQ(getQuartetWt(fc.get(), 1, 2, 3, 4), 1.0f);

    TablePtr small(createQwtTable(3, 3, false, false, nullptr));
    EXPECT_EQ(calcTotalQuartetWt(small.get()), 0.0);
}

TEST(QwtTableTest, TaxonMapsFollowTheSubsetInOrder)
{
    Set *subset = allocSet(8);
    for (uint32_t m : {1u, 4u, 6u, 7u})
        addSetMember(subset, m);
    TablePtr t(createQwtTable(8, 4, false, true, subset));
    deallocSet(subset);
    EXPECT_EQ(t->indexToTaxon, (std::vector<uint32_t>{1, 4, 6, 7}));
    EXPECT_EQ(t->taxonToIndex[4], 1u);
    EXPECT_EQ(t->taxonToIndex[0], kSetEnd);
}

// The nodes on the path between every two tips as a mask of node positions
// (trees of at most 31 taxa), found from ancestor chains, not leaf sets: the
// tree displays ab|cd when the paths a-b and c-d share no node.
std::vector<uint64_t> pathMasks(Tree *tree, uint32_t n)
{
    std::vector<uint64_t> masks(n * n, 0);
    auto chain = [&](uint32_t t) {
        std::vector<uint32_t> v;
        for (const TreeNode *p = tree->firstTip + t; p; p = p->anc)
            v.push_back(nodePosition(tree, p));
        return v;
    };
    for (uint32_t x = 0; x < n; x++)
        for (uint32_t y = x + 1; y < n; y++) {
            auto cx = chain(x), cy = chain(y);
            uint64_t mx = 0;
            for (uint32_t p : cx)
                mx |= uint64_t{1} << p;
            uint64_t path = 0;
            for (uint32_t p : cy) {
                path |= uint64_t{1} << p;
                if (mx >> p & 1) {
                    for (uint32_t q : cx) {
                        path |= uint64_t{1} << q;
                        if (q == p)
                            break;
                    }
                    break;
                }
            }
            masks[x * n + y] = masks[y * n + x] = path;
        }
    return masks;
}

double bruteSupport(Tree *tree, const QwtTable *t)
{
    const uint32_t n = t->n;
    const std::vector<uint64_t> m = pathMasks(tree, n);
    auto displays = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return (m[a * n + b] & m[c * n + d]) == 0;
    };
    double sum = 0.0;
    for (uint32_t w = 0; w < n; w++)
        for (uint32_t x = w + 1; x < n; x++)
            for (uint32_t y = x + 1; y < n; y++)
                for (uint32_t z = y + 1; z < n; z++) {
                    sum += displays(w, x, y, z) ? getQuartetWt(t, w, x, y, z) : 0.0;
                    sum += displays(w, y, x, z) ? getQuartetWt(t, w, y, x, z) : 0.0;
                    sum += displays(w, z, x, y) ? getQuartetWt(t, w, z, x, y) : 0.0;
                }
    return sum;
}

TEST(QuartetSupportTest, FastAndFullPathsEqualABruteForceCount)
{
    std::mt19937 rng(2024);
    for (uint32_t n : {4u, 5u, 7u, 12u, 20u, 30u})
        for (int rep = 0; rep < 3; rep++) {
            QdPtr qd(allocQuartetData(n, true, rep == 2));
            ASSERT_TRUE(qd);
            std::uniform_real_distribution<float> u(0.0f, 1.0f);
            for (uint32_t w = 0; w < n; w++)
                for (uint32_t x = w + 1; x < n; x++)
                    for (uint32_t y = x + 1; y < n; y++)
                        for (uint32_t z = y + 1; z < n; z++) {
                            updateQuartetWt(qd->table, w, x, y, z, u(rng) < 0.5f ? u(rng) : 0.0f);
                            updateQuartetWt(qd->table, w, y, x, z, u(rng) < 0.5f ? u(rng) : 0.0f);
                            updateQuartetWt(qd->table, w, z, x, y, u(rng) < 0.5f ? u(rng) : 0.0f);
                        }
            TreePtr tree(createTreeForTaxa(n, n, true));
            // Rooted at a tip (as searches hold them) and at the ancestor node.
            const int rootTip = rep == 1 ? -1 : static_cast<int>(rng() % n);
            buildTestTree(tree.get(), randomTreeText(rng, n, rootTip, false), rootTip);
            setTraversalSeq(tree.get());
            const double expect = bruteSupport(tree.get(), qd->table);
            EXPECT_NEAR(calcQuartetSupport(qd.get(), tree.get(), false), expect, 1e-6 * (1 + expect)) << n;
            afterTreeChange(tree.get());
            EXPECT_NEAR(calcQuartetSupport(qd.get(), tree.get(), true), expect, 1e-6 * (1 + expect)) << n;
            // A tree with polytomies takes the full path.
            if (n <= 12) {
                buildTestTree(tree.get(), randomTreeText(rng, n, 0, true), 0);
                setTraversalSeq(tree.get());
                EXPECT_NEAR(calcQuartetSupport(qd.get(), tree.get(), false), bruteSupport(tree.get(), qd->table),
                            1e-6 * (1 + expect));
            }
        }
}

TEST(QuartetListTest, SortsByWeightThenTaxa)
{
    std::unique_ptr<QuartetList, QuartetList *(*)(QuartetList *)> list(allocQuartetList(4), deallocQuartetList);
    addQuartetToList(list.get(), 5, 4, 1, 0, 1.0);
    addQuartetToList(list.get(), 3, 2, 1, 0, 1.0 + 1e-12);
    addQuartetToList(list.get(), 0, 1, 2, 4, 2.0);
    auto arr = getQuartetArray(list.get());
    std::sort(arr.begin(), arr.end(), compareQuartetWeights);
    EXPECT_EQ(arr[0]->wt, 2.0);
    // The first pair is stored with the smaller first taxon, each pair sorted.
    EXPECT_EQ((std::vector<uint16_t>(arr[1]->t, arr[1]->t + 4)), (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_EQ((std::vector<uint16_t>(arr[2]->t, arr[2]->t + 4)), (std::vector<uint16_t>{0, 1, 4, 5}));
}

}  // namespace
