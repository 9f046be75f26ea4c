// The assembly methods on tables made from a known tree, and the local
// search against the optimum found by enumerating every tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "qel/qel_random.h"
#include "quartets/qlocal.h"
#include "quartets/qmethods.h"
#include "quartets/qsearch.h"
#include "quartets/quartets.h"
#include "search/hitlist.h"
#include "search/quartetswap.h"
#include "search/tbr.h"
#include "support/tree_test_support.h"
#include "trees/treeedit.h"

namespace {

struct QdDeleter {
    void operator()(QuartetData *q) const { deallocQuartetData(q); }
};
using QdPtr = std::unique_ptr<QuartetData, QdDeleter>;

// The splits of a tree as taxon masks without taxon 0 (at most 64 taxa),
// trivial ones left out.
std::set<uint64_t> splitsOf(Tree *tree, uint32_t n)
{
    setTraversalSeq(tree);
    makeAllLeafSets(tree);
    std::set<uint64_t> out;
    const uint64_t all = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    for (TreeNode *p = tree->root; p; p = p->next) {
        if (!p->firstChild || p == tree->root)
            continue;
        uint64_t s = p->leafSet[0];
        if (s & 1)
            s = all & ~s;
        const int size = std::popcount(s);
        if (size >= 2 && size <= static_cast<int>(n) - 2)
            out.insert(s);
    }
    return out;
}

bool separates(const std::set<uint64_t> &splits, uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    const uint64_t ab = (uint64_t{1} << a) | (uint64_t{1} << b), cd = (uint64_t{1} << c) | (uint64_t{1} << d);
    return std::any_of(splits.begin(), splits.end(), [&](uint64_t s) {
        return ((s & ab) == ab && (s & cd) == 0) || ((s & cd) == cd && (s & ab) == 0);
    });
}

struct Fixture {
    uint32_t n;
    TreePtr truth;
    std::set<uint64_t> splits;
    QdPtr qd;
};

// Weight 1 on the true topology of every quartet, and 0.3 on a wrong one
// for 30% of them.
Fixture makeFixture(uint32_t n, std::mt19937 &rng)
{
    Fixture f{n, TreePtr(createTreeForTaxa(n, n, true)), {}, QdPtr(allocQuartetData(n, true, false))};
    buildTestTree(f.truth.get(), randomTreeText(rng, n, 0, false), 0);
    f.splits = splitsOf(f.truth.get(), n);
    for (uint32_t w = 0; w < n; w++)
        for (uint32_t x = w + 1; x < n; x++)
            for (uint32_t y = x + 1; y < n; y++)
                for (uint32_t z = y + 1; z < n; z++) {
                    const uint32_t q[3][4] = {{w, x, y, z}, {w, y, x, z}, {w, z, x, y}};
                    int right = 0;
                    for (int k = 0; k < 3; k++)
                        if (separates(f.splits, q[k][0], q[k][1], q[k][2], q[k][3]))
                            right = k;
                    updateQuartetWt(f.qd->table, q[right][0], q[right][1], q[right][2], q[right][3], 1.0f);
                    if (rng() % 10 < 3) {
                        const int wrong = (right + 1 + static_cast<int>(rng() % 2)) % 3;
                        updateQuartetWt(f.qd->table, q[wrong][0], q[wrong][1], q[wrong][2], q[wrong][3], 0.3f);
                    }
                }
    f.qd->weighted = 1;
    return f;
}

// Every method on the table of a random tree of n taxa; BS and the QFM
// variants other than the default only where asked (their cost grows fast
// with the taxa; the larger tables are the benchmark's).
void checkMethodsRecoverTree(uint32_t n, bool withBS, bool allQfmVariants, std::mt19937 &rng)
{
    Fixture f = makeFixture(n, rng);
    const std::vector<float> before = f.qd->table->wts;
    TreePtr tree(createTreeForTaxa(n, n, true));
    auto check = [&](int status, const std::string &what) {
        ASSERT_EQ(status, 0) << what << " n=" << n;
        EXPECT_EQ(splitsOf(tree.get(), n), f.splits) << what << " n=" << n;
        EXPECT_EQ(tree->numLeaves, n);
    };
    for (uint32_t ptn = 0; ptn < 4; ptn++)
        for (uint32_t iter = 0; iter < 3; iter++)
            if (allQfmVariants || (ptn == 1 && iter == 0))
                check(qsearch_QFM(f.qd.get(), tree.get(), nullptr, QfmOptions{ptn, iter, ptn == 2 ? 500u : 0u}),
                      "QFM ptn " + std::to_string(ptn) + " iter " + std::to_string(iter));
    RNG r{};
    check(qsearch_WO(f.qd.get(), tree.get(), &r, WoOptions{false, 1, false}), "WO dynamic");
    initRNG(&r, makeSeed(5, 0, 0, 0));
    check(qsearch_WO(f.qd.get(), tree.get(), &r, WoOptions{true, 3, false}), "WO random");
    if (withBS) {
        check(qsearch_BS(f.qd.get(), tree.get(), true), "BS hashing");
        check(qsearch_BS(f.qd.get(), tree.get(), false), "BS binary search");
    }
    check(qsearch_QJ(f.qd.get(), tree.get()), "QJ");
    // QJ works on a copy: the table is as it was.
    EXPECT_EQ(f.qd->table->wts, before);
}

TEST(QuartetMethodsTest, EveryMethodAndVariantRecoversTheTreeOfItsQuartets)
{
    std::mt19937 rng(11);
    for (uint32_t n : {5u, 6u, 9u, 14u})
        checkMethodsRecoverTree(n, true, true, rng);
}

TEST(QuartetMethodsTest, QfmVariantsRecoverATreeOf23Taxa)
{
    std::mt19937 rng(12);
    checkMethodsRecoverTree(23, false, true, rng);
}

TEST(QuartetMethodsTest, DefaultMethodsRecoverATreeOf40Taxa)
{
    std::mt19937 rng(13);
    checkMethodsRecoverTree(40, false, false, rng);
}

TEST(QuartetMethodsTest, OneTopologyAloneIsDisplayedAndRandomAdditionIsReproducible)
{
    const uint32_t n = 7;
    QdPtr qd(allocQuartetData(n, true, false));
    updateQuartetWt(qd->table, 2, 5, 0, 6, 1.0f);
    TreePtr tree(createTreeForTaxa(n, n, true));
    RNG r{};
    for (int method = 0; method < 4; method++) {
        const int status = method == 0   ? qsearch_QFM(qd.get(), tree.get(), nullptr, QfmOptions{})
                           : method == 1 ? qsearch_WO(qd.get(), tree.get(), &r, WoOptions{})
                           : method == 2 ? qsearch_BS(qd.get(), tree.get(), true)
                                         : qsearch_QJ(qd.get(), tree.get());
        ASSERT_EQ(status, 0) << method;
        EXPECT_TRUE(isQuartetCompatibleWithTree(2, 5, 0, 6, tree.get())) << method;
    }

    std::mt19937 rng(3);
    Fixture f = makeFixture(12, rng);
    std::set<uint64_t> first;
    for (int rep = 0; rep < 2; rep++) {
        initRNG(&r, makeSeed(99, 0, 0, 0));
        TreePtr t(createTreeForTaxa(12, 12, true));
        ASSERT_EQ(qsearch_WO(f.qd.get(), t.get(), &r, WoOptions{true, 4, false}), 0);
        if (rep == 0)
            first = splitsOf(t.get(), 12);
        else
            EXPECT_EQ(splitsOf(t.get(), 12), first);
    }
}

// The ordering scores of BS, gathered in one pass over the table, equal the
// direct sums over y to the bit, in float and binary tables.
TEST(QuartetMethodsTest, BsOrderingScoresEqualDirectSums)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (bool binary : {false, true}) {
        const uint32_t n = binary ? 9 : 11;
        QdPtr qd(allocQuartetData(n, true, binary));
        const QwtTable *t = qd->table;
        forEachQuartetWts(t, [&](uint32_t w, uint32_t x, uint32_t y, uint32_t z, const float *) {
            updateQuartetWt(qd->table, w, x, y, z, u(rng) < 0.3f ? 0.0f : u(rng));
            updateQuartetWt(qd->table, w, y, x, z, u(rng) < 0.3f ? 0.0f : u(rng));
            updateQuartetWt(qd->table, w, z, x, y, u(rng));
        });
        const BsOrderingScores scores(t);
        uint32_t nonzero = 0;
        for (uint32_t i = 0; i < n; i++)
            for (uint32_t j = 0; j < n; j++)
                for (uint32_t x = 0; x < n; x++) {
                    if (i == j || x == i || x == j)
                        continue;
                    double s = 0.0;
                    for (uint32_t y = 0; y < n; y++)
                        if (y != i && y != j && y != x)
                            s += getQuartetWt(t, i, x, y, j) - getQuartetWt(t, i, y, x, j);
                    EXPECT_EQ(scores.of(i, j, x), s) << i << ' ' << j << ' ' << x;
                    nonzero += s != 0.0;
                }
        EXPECT_GT(nonzero, n * n);
    }
}

// The per-node supports against sums counted here: the downward support of
// the basal fork is the tree's support, and at every other node down + up
// misses only the quartets split at its edge.
void checkNodeSupports(QuartetData *qd, Tree *tree, uint32_t n)
{
    ASSERT_EQ(prepForLocalQuartetSearch(qd, tree), 0);
    const double support = calcQuartetSupport(qd, tree, true);
    TreeNode *fork = getFirstFork(tree);
    EXPECT_NEAR(qd->support[3 * nodePosition(tree, fork)].sum, support, 1e-6);
    for (TreeNode *p = fork->next; p; p = p->next) {
        if (!p->firstChild)
            continue;
        std::vector<uint32_t> in, out;
        for (uint32_t t = 0; t < n; t++)
            (isBitVecMember(p->leafSet, t) ? in : out).push_back(t);
        double across = 0.0;
        for (size_t i = 0; i < in.size(); i++)
            for (size_t j = i + 1; j < in.size(); j++)
                for (size_t k = 0; k < out.size(); k++)
                    for (size_t l = k + 1; l < out.size(); l++)
                        across += getQuartetWt(qd->table, in[i], in[j], out[k], out[l]);
        const auto &rec = qd->support;
        const uint32_t pos = nodePosition(tree, p);
        EXPECT_NEAR(rec[3 * pos].sum + rec[3 * pos + 1].sum + across, support, 1e-6);
    }
}

// Every binary tree of n taxa rooted at tip 0, by inserting taxa one by one.
void allTrees(Tree *tree, uint32_t n, uint32_t next, const std::function<void()> &visit)
{
    if (next == n) {
        visit();
        return;
    }
    std::vector<TreeNode *> edges;
    for (TreeNode *p = tree->root->firstChild; p; p = p->next)
        edges.push_back(p);
    TreeNode *leaf = tree->firstTip + next;
    TreeNode *fork = tree->nodes + n + next - 1;
    for (TreeNode *e : edges) {
        binConnectLeaf(leaf, e, fork);
        afterTreeChange(tree);
        setTraversalSeq(tree);
        allTrees(tree, n, next + 1, visit);
        binPruneLeaf(leaf);
        afterTreeChange(tree);
        setTraversalSeq(tree);
    }
}

// Every TBR move of the tree, unlimited reconnection distance.
std::vector<RearrObject> allTbrMoves(Tree *tree)
{
    std::vector<RearrObject> list;
    forEachTbrMove(tree, nullptr, kSwapTBR, 0,
                   [](void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double) {
                       RearrObject r;
                       makeRearrObject(&r, K, T, R, 0.0);
                       static_cast<std::vector<RearrObject> *>(ctx)->push_back(r);
                       return 0;
                   },
                   &list);
    return list;
}

TEST(QuartetLocalSearchTest, TbrNeverWorsensAndStopsAtOrAboveTheOptimum)
{
    const uint32_t n = 8;
    installQuartetSearchScore();
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int rep = 0; rep < 3; rep++) {
        QdPtr qd(allocQuartetData(n, true, false));
        for (uint32_t w = 0; w < n; w++)
            for (uint32_t x = w + 1; x < n; x++)
                for (uint32_t y = x + 1; y < n; y++)
                    for (uint32_t z = y + 1; z < n; z++) {
                        updateQuartetWt(qd->table, w, x, y, z, u(rng));
                        updateQuartetWt(qd->table, w, y, x, z, u(rng));
                        updateQuartetWt(qd->table, w, z, x, y, u(rng));
                    }
        const double total = calcTotalQuartetWt(qd->table);
        TreePtr tree(createTreeForTaxa(n, n, true));
        make3Tree(tree.get(), n, 0, 1, 2);
        double optimum = total;
        uint32_t count = 0;
        allTrees(tree.get(), n, 3, [&] {
            count++;
            optimum = std::min(optimum, total - calcQuartetSupport(qd.get(), tree.get(), false));
        });
        EXPECT_EQ(count, 10395u);

        ASSERT_EQ(qsearch_WO(qd.get(), tree.get(), nullptr, WoOptions{}), 0);
        const double before = calcQwtIncompat(qd->table, calcQuartetSupport(qd.get(), tree.get(), false));
        ASSERT_EQ(allocLocalQuartetStorage(qd.get(), tree->maxNodes, tree->wordsPerLeafSet), 0);
        checkNodeSupports(qd.get(), tree.get(), n);
        // The supports follow the tree through every TBR move.
        uint32_t moves = 0;
        const std::vector<RearrObject> list = allTbrMoves(tree.get());
        for (const RearrObject &m : list) {
            RearrObject inverse;
            if (applyTbrRearr(&inverse, tree.get(), nullptr, &m, false) != 0)
                continue;
            afterTreeChange(tree.get());
            setTraversalSeq(tree.get());
            checkNodeSupports(qd.get(), tree.get(), n);
            undoTbrRearr(tree.get(), nullptr, false);
            moves++;
        }
        EXPECT_GT(moves, 100u);
        deallocLocalQuartetStorage(qd.get());

        double found[2] = {0.0, 0.0};
        std::set<uint64_t> foundSplits[2];
        for (bool slow : {false, true}) {
            TreePtr copy(createTreeForTaxa(n, n, true));
            ASSERT_EQ(copyTree(tree.get(), copy.get()), 0);
            double after = before;
            ASSERT_EQ(localQuartetSearch(qd.get(), copy.get(), nullptr, 3, 6, slow, &after), 0);
            EXPECT_LE(after, before + 1e-9);
            EXPECT_GE(after, optimum - 1e-6);
            // The weight reported is that of the tree left behind.
            EXPECT_NEAR(after, calcQwtIncompat(qd->table, calcQuartetSupport(qd.get(), copy.get(), true)), 1e-6);
            found[slow] = after;
            foundSplits[slow] = splitsOf(copy.get(), n);
        }
        EXPECT_EQ(foundSplits[0], foundSplits[1]);
        // Scoring from the nodes' supports and scoring whole trees agree.
        EXPECT_NEAR(found[0], found[1], 1e-6);
    }
    resetQuartetSearchFxns();
}

// The support change of a move, worked out from the quartets it changes,
// against rescoring the moved tree whole, for every NNI, SPR and TBR move
// of random trees (float and binary tables).
TEST(QuartetLocalSearchTest, MoveSupportChangeEqualsRescoringTheMovedTree)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (uint32_t n : {5u, 7u, 10u, 13u})
        for (bool binary : {false, true}) {
            QdPtr qd(allocQuartetData(n, true, binary));
            forEachQuartetWts(qd->table, [&](uint32_t w, uint32_t x, uint32_t y, uint32_t z, const float *) {
                updateQuartetWt(qd->table, w, x, y, z, u(rng) < 0.4f ? 0.0f : u(rng));
                updateQuartetWt(qd->table, w, y, x, z, u(rng) < 0.4f ? 0.0f : u(rng));
                updateQuartetWt(qd->table, w, z, x, y, u(rng) < 0.4f ? 0.0f : u(rng));
            });
            TreePtr tree(createTreeForTaxa(n, n, true));
            const int rootTip = static_cast<int>(rng() % n);
            buildTestTree(tree.get(), randomTreeText(rng, n, rootTip, false), rootTip);
            setTraversalSeq(tree.get());
            setIncludedLeaves(tree.get());
            const double before = calcQuartetSupport(qd.get(), tree.get(), true);
            const std::vector<RearrObject> list = allTbrMoves(tree.get());
            uint32_t changed = 0;
            for (const RearrObject &m : list) {
                afterTreeChange(tree.get());
                setTraversalSeq(tree.get());
                const double change = quartetMoveSupportChange(qd.get(), tree.get(), m.node[0], m.node[1], m.node[2]);
                RearrObject inverse;
                ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), nullptr, &m, false), 0);
                afterTreeChange(tree.get());
                setTraversalSeq(tree.get());
                const double after = calcQuartetSupport(qd.get(), tree.get(), true);
                EXPECT_NEAR(before + change, after, 1e-9 * (1.0 + after)) << n << (binary ? " binary" : "");
                changed += std::fabs(change) > 1e-6;
                undoTbrRearr(tree.get(), nullptr, false);
            }
            EXPECT_GT(changed, list.size() / 2) << n;
        }
}

TEST(QuartetScoreTextTest, WholeValuesPrintWithoutDecimals)
{
    EXPECT_EQ(formatQscore(12.0000001), "12");
    EXPECT_EQ(formatQscore(12.5), "12.5000");
    EXPECT_EQ(formatQscore(0.0), "0");
    EXPECT_EQ(formatQscore(-3.0), "-3");
}

}  // namespace
