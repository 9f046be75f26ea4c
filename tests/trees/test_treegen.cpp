#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include "qel/qel_random.h"
#include "trees/treebuf.h"
#include "trees/treeedit.h"
#include "trees/treegen.h"
#include "trees/treeutil.h"

namespace {

using BufPtr = TreeBufferHandle;

TreeHandle newTree(uint32_t ntax) { return TreeHandle(createTreeForTaxa(ntax, ntax, false)); }

// Every tree of one enumeration into a fresh buffer.
BufPtr enumerate(uint32_t ntax, bool rooted, bool nonbinary, uint64_t *stored)
{
    BufPtr buf(createTreeBuffer(ntax, 16, false, false, false));
    TreeHandle tree = newTree(ntax), scratch = newTree(ntax);
    AllTreesJob job;
    job.tree = tree.get();
    job.scratch = scratch.get();
    job.buf = buf.get();
    job.ntax = ntax;
    job.rooted = rooted;
    job.nonbinary = nonbinary;
    EXPECT_EQ(enumerateAllTrees(job), 0);
    *stored = job.stored;
    return buf;
}

// Distinct topologies among the trees of buf (re-stored with the duplicate check).
uint32_t distinctTrees(TreeBuffer *buf, uint32_t ntax)
{
    BufPtr check(createTreeBuffer(ntax, 16, false, false, false));
    TreeHandle t = newTree(ntax);
    for (uint32_t i = 1; i <= numTreesInBuffer(buf); i++) {
        EXPECT_EQ(getTree(buf, i, t.get()), 0);
        putTree(t.get(), check.get(), true);
    }
    return numTreesInBuffer(check.get());
}

TEST(TreeGen, CountsFollowTheClosedFormsAndTheResolutionRecurrence)
{
    // Unrooted trees of any resolution: 1, 1, 1, 4, 26, 236, 2752 for n = 1..7.
    const double poss[] = {1, 1, 1, 4, 26, 236, 2752};
    for (uint32_t n = 1; n <= 7; n++)
        EXPECT_EQ(countPossTrees(n), poss[n - 1]) << n;
    EXPECT_EQ(countBinaryTrees(5, false), 15.0);
    EXPECT_EQ(countBinaryTrees(5, true), 105.0);
    // 12 unrooted taxa fit the buffer's limit, 13 do not.
    EXPECT_EQ(countBinaryTrees(12, false), 654729075.0);
    EXPECT_GT(countBinaryTrees(13, false), 2147483646.0);
}

TEST(TreeGen, AllTreesAreDistinctAndAsManyAsThereAreTopologies)
{
    struct Case {
        uint32_t ntax;
        bool rooted, nonbinary;
        uint64_t expected;
    } cases[] = {
        {3, false, false, 1}, {5, false, false, 15}, {5, false, true, 26},  {5, true, false, 105},
        {4, true, true, 26},  {6, false, true, 236}, {7, false, false, 945}, {2, true, false, 1},
    };
    for (const Case &c : cases) {
        uint64_t stored = 0;
        BufPtr buf = enumerate(c.ntax, c.rooted, c.nonbinary, &stored);
        EXPECT_EQ(stored, c.expected) << c.ntax << c.rooted << c.nonbinary;
        EXPECT_EQ(numTreesInBuffer(buf.get()), c.expected);
        EXPECT_EQ(distinctTrees(buf.get(), c.ntax), c.expected) << c.ntax << c.rooted << c.nonbinary;
        // Every tree holds every taxon once.
        TreeHandle t = newTree(c.ntax);
        for (uint32_t i = 1; i <= numTreesInBuffer(buf.get()); i++) {
            ASSERT_EQ(getTree(buf.get(), i, t.get()), 0);
            EXPECT_EQ(countLeaves(t.get()), c.ntax);
            if (!c.nonbinary) {
                EXPECT_TRUE(isTreeBinary(t.get()));
            }
        }
    }
}

// Index of the topology of tree among the trees of `all` (1-based).
uint32_t topologyOf(Tree *tree, TreeBuffer *all, Tree *scratch)
{
    copyTree(tree, scratch);
    setTraversalSeq(scratch);
    const uint32_t r = putTree(scratch, all, true);
    EXPECT_EQ(r, kPutTreeDuplicate);
    return getMatchingTree(all);
}

TEST(TreeGen, EquiprobableTreesAreUniformOverTopologies)
{
    uint64_t stored = 0;
    BufPtr all = enumerate(5, false, false, &stored);
    TreeHandle tree = newTree(5), scratch = newTree(5);
    RNG rng;
    initRNG(&rng, makeSeed1(12345));
    std::vector<uint32_t> count(16, 0);
    const uint32_t n = 15000;
    for (uint32_t i = 0; i < n; i++) {
        ASSERT_EQ(makeRandomEqProbTree(tree.get(), 5, false, false, &rng), 0);
        ASSERT_EQ(countLeaves(tree.get()), 5u);
        count[topologyOf(tree.get(), all.get(), scratch.get())]++;
    }
    double chi2 = 0.0;
    for (uint32_t k = 1; k <= 15; k++)
        chi2 += std::pow(count[k] - n / 15.0, 2) / (n / 15.0);
    // 36.1 is the 0.999 quantile of chi-square with 14 df.
    EXPECT_LT(chi2, 36.1);
}

// Rooted 4-taxon trees are balanced ((a,b),(c,d)) or pectinate.
bool isBalanced(Tree *tree)
{
    const TreeNode *basal = tree->root->firstChild;
    return basal->firstChild->firstChild && basal->firstChild->nextSib->firstChild;
}

TEST(TreeGen, BalancedShapeFollowsTheModel)
{
    TreeHandle tree = newTree(4);
    RNG rng;
    initRNG(&rng, makeSeed1(777));
    const uint32_t n = 6000;
    uint32_t markov = 0, equi = 0;
    for (uint32_t i = 0; i < n; i++) {
        ASSERT_EQ(makeRandomYuleTree(tree.get(), nullptr, 4, true, &rng), 0);
        ASSERT_EQ(countLeaves(tree.get()), 4u);
        markov += isBalanced(tree.get());
        ASSERT_EQ(makeRandomEqProbTree(tree.get(), 4, true, false, &rng), 0);
        equi += isBalanced(tree.get());
    }
    auto within3se = [&](uint32_t hits, double p) {
        return std::fabs(hits / double(n) - p) < 3.0 * std::sqrt(p * (1 - p) / n);
    };
    EXPECT_TRUE(within3se(markov, 1.0 / 3.0)) << markov;
    EXPECT_TRUE(within3se(equi, 1.0 / 5.0)) << equi;
}

TEST(TreeGen, SameSeedGivesSameTrees)
{
    auto draw = [](uint32_t seed, bool markovian) {
        BufPtr buf(createTreeBuffer(8, 16, false, false, false));
        TreeHandle tree = newTree(8), scratch = newTree(8);
        RNG rng;
        initRNG(&rng, makeSeed1(seed));
        for (int i = 0; i < 20; i++) {
            if (markovian)
                makeRandomYuleTree(tree.get(), nullptr, 8, false, &rng);
            else
                makeRandomEqProbTree(tree.get(), 8, false, false, &rng);
            storeGeneratedTree(tree.get(), scratch.get(), buf.get(), false);
        }
        return buf;
    };
    for (bool markovian : {false, true}) {
        BufPtr a = draw(99, markovian), b = draw(99, markovian), c = draw(100, markovian);
        uint32_t sameAB = 0, sameAC = 0;
        for (uint32_t i = 1; i <= 20; i++) {
            sameAB += treeInBuffer(a.get(), i, b.get()) == i;
            sameAC += treeInBuffer(a.get(), i, c.get()) == i;
        }
        EXPECT_EQ(sameAB, 20u);
        EXPECT_LT(sameAC, 20u);
    }
}

TEST(TreeGen, PermutedTipsKeepTheShapeAndUseEveryTaxonOnce)
{
    // A pectinate rooted tree: after relabelling it is still pectinate, and
    // each taxon sits on exactly one tip.
    TreeHandle tree = newTree(6);
    ASSERT_EQ(makeInitial3Tree(true, tree.get(), 6), 2u);
    for (uint32_t t = 2; t < 6; t++) {
        ASSERT_EQ(binConnectLeaf(tree->firstTip + t, tree->root->firstChild, tree->firstTip + 6 + t - 1), 0);
        tree->numLeaves++;
    }
    setTraversalSeq(tree.get());
    RNG rng;
    initRNG(&rng, makeSeed1(5));
    std::vector<uint32_t> map(6);
    std::set<std::vector<int32_t>> orders;
    for (int rep = 0; rep < 30; rep++) {
        TreeNode *first = permuteTipLabels(tree.get(), map.data(), 6, &rng);
        EXPECT_EQ(first->index, 0);
        std::vector<int32_t> tipsInPreorder;
        std::set<int32_t> seen;
        uint32_t depthOfDeepest = 0;
        for (TreeNode *p = tree->root; p; p = nextPreorderNode(p, tree->root)) {
            if (p->firstChild)
                continue;
            tipsInPreorder.push_back(p->index);
            seen.insert(p->index);
            uint32_t d = 0;
            for (TreeNode *a = p; a->anc; a = a->anc)
                d++;
            depthOfDeepest = std::max(depthOfDeepest, d);
        }
        EXPECT_EQ(seen.size(), 6u);
        EXPECT_EQ(depthOfDeepest, 6u);  // still a caterpillar
        orders.insert(tipsInPreorder);
    }
    EXPECT_GT(orders.size(), 10u);
}

}  // namespace

namespace {

// Root-to-tip distances of every tip of a rooted tree with lengths.
std::vector<double> tipHeights(Tree *tree)
{
    std::vector<double> h;
    for (TreeNode *p = tree->root; p; p = nextPreorderNode(p, tree->root)) {
        if (p->firstChild)
            continue;
        double d = 0.0;
        for (TreeNode *a = p; a->anc; a = a->anc) {
            EXPECT_GE(a->edge.brlen, 0.0);
            d += a->edge.brlen;
        }
        h.push_back(d);
    }
    return h;
}

TEST(BirthDeathTrees, SimulatedTreesAreUltrametricWithHeightOne)
{
    struct Case {
        bool sampling;
        double lambda, mu, rho;
    } cases[] = {{false, 1, 0, 1}, {true, 1, 0, 1}, {true, 2, 1, 0.5}, {true, 1.5, 1.5, 0.3}, {true, 1, 3, 1}};
    TreeHandle tree = newTree(9);
    RNG rng;
    initRNG(&rng, makeSeed1(31));
    std::vector<double> times;
    for (const Case &c : cases) {
        for (int rep = 0; rep < 50; rep++) {
            ASSERT_EQ(simulateYuleTree(tree.get(), 9, c.sampling, &rng, times, c.lambda, c.mu, c.rho, 1.0), 0);
            const std::vector<double> h = tipHeights(tree.get());
            ASSERT_EQ(h.size(), 9u);
            for (double x : h)
                EXPECT_NEAR(x, 1.0, 1e-12) << c.sampling << " " << c.lambda << " " << c.mu;
        }
    }
}

TEST(BirthDeathTrees, EqualRatesTakeTheLimitOfTheGeneralFormula)
{
    // Split times for lambda = mu come from the equal-rates formula; they
    // must agree with the general formula as mu approaches lambda.
    for (double rho : {1.0, 0.25}) {
        RNG a, b;
        initRNG(&a, makeSeed1(8));
        initRNG(&b, makeSeed1(8));
        std::vector<double> equal, near;
        setBirthDeathSplitTimes(&a, 12, equal, 2.0, 2.0, rho);
        setBirthDeathSplitTimes(&b, 12, near, 2.0, 2.0 - 1e-6, rho);
        ASSERT_EQ(equal.size(), 10u);
        for (size_t i = 0; i < equal.size(); i++) {
            EXPECT_TRUE(std::isfinite(equal[i]));
            EXPECT_GT(equal[i], 0.0);
            EXPECT_LT(equal[i], 1.0);
            EXPECT_NEAR(equal[i], near[i], 1e-5);
            if (i > 0) {
                EXPECT_LE(equal[i - 1], equal[i]);
            }
        }
    }
}

}  // namespace
