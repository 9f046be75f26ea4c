// ABC against a plain two-state Sankoff count of every split on the other
// tree (a rooted tree's ancestor taking state 0), and the Jonker-Volgenant
// assignment against every permutation of small random cost matrices; the
// matching distance must not depend on which tree is the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "trees/abcdist.h"
#include "trees_fixture.h"

namespace {

using treetest::randomNewick;

class AbcDistTest : public treetest::TreesFixture {};

// Least changes of a two-state character (state 1 on the taxa of split) on
// tree, over every internal state assignment, by dynamic programming.
uint32_t sankoffSteps(TreeNode *node, const uint64_t *split, uint32_t cost[2])
{
    if (!node->firstChild) {
        const bool one = (split[node->index / 64] >> (node->index % 64)) & 1;
        cost[0] = one ? 1000 : 0;
        cost[1] = one ? 0 : 1000;
        return 0;
    }
    cost[0] = cost[1] = 0;
    for (TreeNode *c = node->firstChild; c; c = c->nextSib) {
        uint32_t cc[2];
        sankoffSteps(c, split, cc);
        for (int s = 0; s < 2; s++)
            cost[s] += std::min(cc[s], cc[1 - s] + 1);
    }
    return 0;
}

uint32_t plainOneWay(Tree *tree, const SplitsList &splits)
{
    uint32_t total = 0;
    for (uint32_t k = 0; k < splits.count; k++) {
        const uint64_t *split = getSplitFromList(&splits, k);
        uint32_t cost[2];
        TreeNode *root = tree->root;
        sankoffSteps(root->firstChild, split, cost);
        uint32_t steps;
        if (root->index < 0) {
            steps = std::min(cost[0], cost[1] + 1);  // the ancestor holds state 0
        } else {
            const bool one = (split[root->index / 64] >> (root->index % 64)) & 1;
            steps = one ? std::min(cost[1], cost[0] + 1) : std::min(cost[0], cost[1] + 1);
        }
        total += steps - 1;
    }
    return total;
}

TEST_F(AbcDistTest, AbcEqualsPlainFitchCountBothWays)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 40; round++) {
        const uint32_t n = 5 + round * 3;  // 5..122 taxa, more than 64 splits
        const bool rooted = round % 2;
        makeTaxa(n);
        const std::string kind = rooted ? "[&R] " : "[&U] ";
        ASSERT_EQ(readBlock("tree a = " + kind + randomNewick(rng, n) + "\ntree b = " + kind + randomNewick(rng, n) +
                                "\n",
                            0),
                  0);
        TreeHandle a(createTree(true)), b(createTree(true));
        ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 1, a.get()), 0);
        ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 2, b.get()), 0);
        SplitsList refSplits, work;
        refSplits.ntax = work.ntax = n;
        refSplits.words = work.words = splitWords(n);
        makeSplitsListFromTree(a.get(), &refSplits);
        PtnSets refSets, workSets;
        initializePtnSetsForABC(&refSplits, n, refSets);
        const uint32_t abc = abcDist(a.get(), refSets, refSplits.count, b.get(), &work, workSets, n);
        const uint32_t plain = plainOneWay(b.get(), refSplits) + plainOneWay(a.get(), work);
        ASSERT_EQ(abc, plain) << "round " << round;
        // Identical trees: 0.
        initializePtnSetsForABC(&refSplits, n, refSets);
        EXPECT_EQ(abcDist(a.get(), refSets, refSplits.count, a.get(), &work, workSets, n), 0u);
    }
}

TEST_F(AbcDistTest, AssignmentEqualsEveryPermutation)
{
    std::mt19937 rng(11);
    LAPMatching *lap = createLAPMatching(8);
    for (int round = 0; round < 300; round++) {
        const uint32_t n = 1 + round % 8;
        // Few distinct values make many ties, the hard case of the method.
        const uint32_t range = round % 3 == 0 ? 3 : 50;
        for (uint32_t k = 0; k < n * n; k++)
            lap->cost[k] = rng() % range;
        std::vector<uint32_t> perm(n);
        std::iota(perm.begin(), perm.end(), 0);
        uint64_t best = UINT64_MAX;
        do {
            uint64_t sum = 0;
            for (uint32_t i = 0; i < n; i++)
                sum += lap->cost[i * n + perm[i]];
            best = std::min(best, sum);
        } while (std::next_permutation(perm.begin(), perm.end()));
        ASSERT_EQ(solveLinearAssignment(lap, n), best) << "round " << round;
    }
    destroyLAPMatching(lap);
}

TEST_F(AbcDistTest, MatchingIsSymmetricAndKnown)
{
    std::mt19937 rng(5);
    makeTaxa(6);
    // Resolved trees differing only by the splits {1,2} and {1,3}: 2.
    ASSERT_EQ(readBlock("tree a = [&U] ((t1,t2),t3,(t4,(t5,t6)));\ntree b = [&U] ((t1,t3),t2,(t4,(t5,t6)));\n"
                        "tree c = [&U] (t1,t2,t3,t4,t5,t6);\n",
                        0),
              0);
    LAPMatching *lap = createLAPMatching(128);
    SplitsList ref, work;
    auto dist = [&](uint32_t i, uint32_t j) {
        TreeHandle a(createTree(true)), b(createTree(true));
        ref.ntax = work.ntax = getMainTreeBuffer(nullptr)->ntax;
        ref.words = work.words = splitWords(ref.ntax);
        EXPECT_EQ(getTree(getMainTreeBuffer(nullptr), i, a.get()), 0);
        EXPECT_EQ(getTree(getMainTreeBuffer(nullptr), j, b.get()), 0);
        makeSplitsListFromTree(a.get(), &ref);
        return matchingDist(&ref, &work, b.get(), lap);
    };
    EXPECT_EQ(dist(1, 2), 2u);
    EXPECT_EQ(dist(1, 1), 0u);
    EXPECT_EQ(dist(1, 3), dist(3, 1));
    for (int round = 0; round < 20; round++) {
        const uint32_t n = 8 + round * 3;
        makeTaxa(n);
        ASSERT_EQ(readBlock("tree a = [&U] " + randomNewick(rng, n) + "\ntree b = [&U] " + randomNewick(rng, n) + "\n",
                            0),
                  0);
        EXPECT_EQ(dist(1, 2), dist(2, 1)) << n;
    }
    destroyLAPMatching(lap);
}

}  // namespace
