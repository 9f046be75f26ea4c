// Maximum agreement subtrees against a brute force over every taxon subset:
// a subset agrees when the trees restricted to it have the same splits.
// The size, the number of maximum agreement sets and the sets themselves
// must all match, rooted and unrooted, with and without polytomies.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qel/qel_progress.h"
#include "trees/agree.h"
#include "trees_fixture.h"

namespace {

using treetest::randomNewick;

class AgreeTest : public treetest::TreesFixture {
protected:
    // The splits of every stored tree as taxon masks (n < 64): clusters of
    // rooted trees, sides of unrooted ones.
    std::vector<std::vector<uint64_t>> splitsOfTrees(uint32_t count)
    {
        std::vector<std::vector<uint64_t>> out;
        TreeHandle t(createTree(true));
        for (uint32_t k = 1; k <= count; k++) {
            EXPECT_EQ(getTree(getMainTreeBuffer(nullptr), k, t.get()), 0);
            makeAllLeafSets(t.get());
            checkTraversalSeq(t.get());
            std::vector<uint64_t> s;
            for (TreeNode *n = t->root; n; n = n->next)
                if (n->firstChild && n->index >= 0 && n->leafSet)
                    s.push_back(n->leafSet[0]);
            out.push_back(s);
        }
        return out;
    }

    static std::set<uint64_t> restricted(const std::vector<uint64_t> &splits, uint64_t S, bool rooted)
    {
        std::set<uint64_t> out;
        const int size = std::popcount(S);
        const uint64_t low = S & (~S + 1);
        for (uint64_t c : splits) {
            uint64_t side = c & S;
            if (!rooted && (side & low))
                side = S & ~side;
            const int k = std::popcount(side);
            if (k >= 2 && (rooted ? k < size : size - k >= 2))
                out.insert(side);
        }
        return out;
    }

    static std::set<uint64_t> maximumAgreementSets(const std::vector<std::vector<uint64_t>> &splits, uint32_t n,
                                                   bool rooted, uint32_t &best)
    {
        best = 0;
        std::set<uint64_t> bestSets;
        for (uint64_t S = 1; S < (uint64_t{1} << n); S++) {
            const auto size = static_cast<uint32_t>(std::popcount(S));
            if (size < best)
                continue;
            const auto first = restricted(splits[0], S, rooted);
            bool agree = true;
            for (size_t k = 1; k < splits.size() && agree; k++)
                agree = restricted(splits[k], S, rooted) == first;
            if (!agree)
                continue;
            if (size > best) {
                best = size;
                bestSets.clear();
            }
            bestSets.insert(S);
        }
        return bestSets;
    }

    // The "d" distance straight from its definition. Each tree's clusters
    // are taken as hung from the root (rooted) or from A's first taxon
    // (unrooted). A pruned taxon attaches where its smallest cluster meeting
    // A meets it; two different points cost 4 plus, from each, the groups of
    // the first tree pruned to A strictly above it up to the lowest one
    // holding both points, the root taxon's node of an unrooted tree aside.
    static double agreementD(const std::vector<std::vector<uint64_t>> &splits, uint32_t n, bool rooted)
    {
        uint32_t m = 0;
        const auto sets = maximumAgreementSets(splits, n, rooted, m);
        if (m == n)
            return 0.0;
        const uint64_t full = (uint64_t{1} << n) - 1;
        uint64_t c = UINT64_MAX;
        for (uint64_t A : sets) {
            const uint64_t first = A & (~A + 1);
            auto clusters = [&](const std::vector<uint64_t> &tree) {
                std::vector<uint64_t> out(tree);
                out.push_back(full);
                for (uint32_t t = 0; t < n; t++)
                    out.push_back(uint64_t{1} << t);
                for (uint64_t &s : out)
                    if (!rooted && (s & first) && s != full)
                        s = full & ~s;
                return out;
            };
            const auto c1 = clusters(splits[0]), c2 = clusters(splits[1]);
            std::set<uint64_t> groups;
            for (uint64_t s : c1)
                if (s & A)
                    groups.insert(s & A);
            auto point = [&](const std::vector<uint64_t> &cl, uint32_t t) {
                uint64_t best = full;
                for (uint64_t s : cl)
                    if ((s >> t & 1) && (s & A) && std::popcount(s) < std::popcount(best))
                        best = s;
                return best & A;
            };
            auto steps = [&](uint64_t p, uint64_t L) {
                uint64_t k = 0;
                for (uint64_t g : groups)
                    if (g != p && (g & p) == p && (g & L) == g && (rooted || g != A))
                        k++;
                return k;
            };
            uint64_t cost = 0;
            for (uint32_t t = 0; t < n; t++) {
                if (A >> t & 1)
                    continue;
                const uint64_t p1 = point(c1, t), p2 = point(c2, t);
                if (p1 == p2) {
                    cost += 2;
                    continue;
                }
                uint64_t L = A;
                for (uint64_t g : groups)
                    if ((g & (p1 | p2)) == (p1 | p2) && std::popcount(g) < std::popcount(L))
                        L = g;
                cost += 4 + steps(p1, L) + steps(p2, L);
            }
            c = std::min(c, cost);
        }
        const double pruned = n - m;
        return pruned + static_cast<double>(c) / (pruned * (n + (rooted ? 1 : 0)));
    }

    void compareWithBruteForce(uint32_t n, bool rooted, const std::vector<std::string> &trees)
    {
        makeTaxa(n);
        std::string body;
        for (const auto &t : trees)
            body += std::string("tree t = ") + (rooted ? "[&R] " : "[&U] ") + t + "\n";
        ASSERT_EQ(readBlock(body, 0), 0);
        const auto count = static_cast<uint32_t>(trees.size());
        const auto splits = splitsOfTrees(count);
        uint32_t best = 0;
        const std::set<uint64_t> bestSets = maximumAgreementSets(splits, n, rooted, best);
        AgreementWorkPtr work = initializeAgreement(n, rooted);
        TreeHandle t(createTree(true));
        for (uint32_t k = 1; k <= count; k++) {
            ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), k, t.get()), 0);
            ASSERT_EQ(getRivalTree(work.get(), t.get(), k), 0);
        }
        AgreementResult result;
        ASSERT_EQ(calcAgreementSets(work.get(), true, nullptr, nullptr, result), 0);
        std::string where = (rooted ? "rooted " : "unrooted ") + trees[0] + " " + trees[1];
        ASSERT_EQ(result.size, best) << where;
        EXPECT_EQ(result.numSets, bestSets.size()) << where;
        std::set<uint64_t> found;
        for (const auto &s : result.sets)
            EXPECT_TRUE(found.insert(s[0]).second) << "a set listed twice: " << where;
        EXPECT_EQ(found, bestSets) << where;
        ASSERT_EQ(result.firstSet.size(), 1u);
        EXPECT_EQ(bestSets.count(result.firstSet[0]), 1u) << "the set kept is not a maximum one: " << where;
    }
};

// A tree on t1..tn made only of cherries and pairs (no polytomies).
std::string randomBinaryNewick(std::mt19937 &rng, uint32_t n)
{
    std::vector<std::string> parts;
    for (uint32_t t = 0; t < n; t++)
        parts.push_back("t" + std::to_string(t + 1));
    while (parts.size() > 1) {
        std::shuffle(parts.begin(), parts.end(), rng);
        const std::string joined = "(" + parts[parts.size() - 2] + "," + parts.back() + ")";
        parts.pop_back();
        parts.back() = joined;
    }
    return parts[0] + ";";
}

TEST_F(AgreeTest, EqualsBruteForceOnRandomTrees)
{
    std::mt19937 rng(123);
    for (int round = 0; round < 120; round++) {
        const uint32_t n = 4 + round % 6;  // 4..9 taxa
        const bool rooted = round % 2 == 0;
        const bool polytomies = round % 3 != 0;
        std::vector<std::string> trees;
        const uint32_t count = round % 5 == 4 ? 3 : 2;
        for (uint32_t k = 0; k < count; k++)
            trees.push_back(polytomies ? randomNewick(rng, n) : randomBinaryNewick(rng, n));
        // Half the rounds compare near neighbours (two labels swapped), whose
        // agreement subtrees are large and keep their polytomies.
        if (round % 4 < 2) {
            std::string &t = trees[1];
            t = trees[0];
            const char a = static_cast<char>('1' + rng() % n), b = static_cast<char>('1' + rng() % n);
            for (char &ch : t)
                ch = ch == a ? b : ch == b ? a : ch;
        }
        compareWithBruteForce(n, rooted, trees);
        if (HasFatalFailure())
            return;
    }
}

TEST_F(AgreeTest, KnownSmallCases)
{
    // Two rooted quartets with no three taxa in common shape: size 2.
    compareWithBruteForce(4, true, {"((t1,t2),(t3,t4));", "((t1,t3),(t2,t4));"});
    // Unrooted trees differing by one moved taxon: n - 1.
    compareWithBruteForce(6, false, {"(t1,(t2,(t3,(t4,(t5,t6)))));", "(t2,(t1,(t3,(t4,(t5,t6)))));"});
    // A star against a resolved tree agrees only on quartets... and triples.
    compareWithBruteForce(6, false, {"(t1,t2,t3,t4,t5,t6);", "(t1,(t2,(t3,(t4,(t5,t6)))));"});
    compareWithBruteForce(6, true, {"(t1,t2,t3,t4,t5,t6);", "(t1,(t2,(t3,(t4,(t5,t6)))));"});
    // A root polytomy whose middle child holds a taxon above the last
    // child's smallest one.
    compareWithBruteForce(5, true, {"(t1,(t2,t5),t3,t4);", "(t1,(t2,t5),t3,t4);"});
    compareWithBruteForce(6, false, {"(t6,(t1,(t2,t5),t3,t4));", "(t6,t1,(t2,t5),(t3,t4));"});
}

TEST_F(AgreeTest, DistancesOfIdenticalAndOneMovedTaxon)
{
    makeTaxa(7);
    ASSERT_EQ(readBlock("tree a = [&U] (t1,(t2,(t3,(t4,(t5,(t6,t7))))));\n"
                       "tree b = [&U] (t1,(t2,(t3,(t4,(t5,(t6,t7))))));\n"
                       "tree c = [&U] (t3,(t2,(t1,(t4,(t5,(t6,t7))))));\n",
                       0),
              0);
    TreeHandle a(createTree(true)), b(createTree(true));
    AgreementWorkPtr work = initializeAgreement(7, false);
    uint32_t d1 = 99;
    double d = -1;
    ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 1, a.get()), 0);
    ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 2, b.get()), 0);
    ASSERT_EQ(calcDistanceForOnePair(work.get(), a.get(), b.get(), true, &d1, &d), 0);
    EXPECT_EQ(d1, 0u);
    EXPECT_EQ(d, 0.0);
    ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 3, b.get()), 0);
    ASSERT_EQ(calcDistanceForOnePair(work.get(), a.get(), b.get(), true, &d1, &d), 0);
    EXPECT_EQ(d1, 1u);
    // One pruned taxon: d lies between d1 and d1 + 1.
    EXPECT_GT(d, 1.0);
    EXPECT_LT(d, 2.0);
}

TEST_F(AgreeTest, DistanceDEqualsItsDefinitionOnRandomPairs)
{
    std::mt19937 rng(77);
    auto check = [&](uint32_t n, bool rooted, const std::string &ta, const std::string &tb) {
        makeTaxa(n);
        const char *kind = rooted ? "[&R] " : "[&U] ";
        ASSERT_EQ(readBlock(std::string("tree a = ") + kind + ta + "\ntree b = " + kind + tb + "\n", 0), 0);
        const double expected = agreementD(splitsOfTrees(2), n, rooted);
        TreeHandle a(createTree(true)), b(createTree(true));
        ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 1, a.get()), 0);
        ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 2, b.get()), 0);
        AgreementWorkPtr work = initializeAgreement(n, rooted);
        uint32_t d1 = 0;
        double d = -1;
        ASSERT_EQ(calcDistanceForOnePair(work.get(), a.get(), b.get(), true, &d1, &d), 0);
        EXPECT_NEAR(d, expected, 1e-12) << (rooted ? "rooted " : "unrooted ") << ta << " " << tb;
    };
    // Climbing from d onto the basal fork counts in a rooted tree: 1 + 5/6.
    check(5, true, "(((t1,t2),t3),(t4,t5));", "((((t1,t2),t3),t4),t5);");
    check(6, false, "(t6,(((t1,t2),t3),(t4,t5)));", "(t6,((((t1,t2),t3),t4),t5));");
    for (int round = 0; round < 64; round++) {
        const uint32_t n = 5 + round % 4;  // 5..8 taxa
        const bool rooted = round % 4 != 3;
        const bool polytomies = round % 3 == 0;
        auto one = [&] { return polytomies ? randomNewick(rng, n) : randomBinaryNewick(rng, n); };
        check(n, rooted, one(), one());
        if (HasFatalFailure())
            return;
    }
}

// The pair counts and the progress they drive pass 32 bits from about 2,950
// taxa (unrooted) and must not wrap.
TEST(AgreeProgress, PairCountsAndScaledProgressPast32Bits)
{
    EXPECT_EQ(numAgreementPairs(5, true), 10u);
    EXPECT_EQ(numAgreementPairs(5, false), 10u);
    EXPECT_EQ(numAgreementPairs(3000, false), 4495501000ull);
    EXPECT_EQ(numAgreementPairs(100000, true), 4999950000ull);

    ScaledProgress small;
    EXPECT_EQ(small.begin(1000), 1000u);
    EXPECT_EQ(small.stride, 1u);
    const uint64_t total = 2 * numAgreementPairs(3000, false);
    ScaledProgress big;
    const uint32_t units = big.begin(total);
    EXPECT_GT(big.stride, 1u);
    EXPECT_LE(uint64_t{units} * big.stride, total);
    EXPECT_GT(uint64_t{units + 1} * big.stride, total);
    // Every stride-th step advances the record by one.
    ProgData *record = createProgressWindow(units, 0, "test");
    ASSERT_NE(record, nullptr);
    for (uint64_t k = 0; k < 3 * big.stride; k++)
        ASSERT_EQ(big.step(record), kProgressContinue);
    EXPECT_EQ(getProgressValue(record), 3u);
    destroyProgressWindow(record);
}

}  // namespace
