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
        std::set<uint64_t> bestSets;
        for (uint64_t S = 1; S < (uint64_t{1} << n); S++) {
            const auto size = static_cast<uint32_t>(std::popcount(S));
            if (size < best)
                continue;
            const auto first = restricted(splits[0], S, rooted);
            bool agree = true;
            for (uint32_t k = 1; k < count && agree; k++)
                agree = restricted(splits[k], S, rooted) == first;
            if (!agree)
                continue;
            if (size > best) {
                best = size;
                bestSets.clear();
            }
            bestSets.insert(S);
        }
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
