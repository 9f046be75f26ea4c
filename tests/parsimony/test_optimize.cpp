#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <utility>
#include <bit>
#include <cstdarg>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "trees/tree_settings.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"
#include "pars_test_support.h"

namespace {

class OptimizeTest : public ParsDataTest {
protected:
    // ancestor: one state digit per character, "" for the all-missing one.
    void makeData(const std::vector<std::string> &rows, const std::string &ancestor = "")
    {
        ParsDataTest::makeData(rows);
        if (ancestor.empty())
            return;
        for (size_t c = 0; c < ancestor.size(); c++)
            data->ancestor[c] = static_cast<uint8_t>(ancestor[c] - '0');
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(data), 0);
    }
    uint32_t state(const TreeNode *n, uint32_t c) const
    {
        const uint64_t bits = getStatesOrMPRset(data, n, c, false);
        EXPECT_EQ(std::popcount(bits), 1) << "node " << n->index << " char " << c;
        return static_cast<uint32_t>(std::countr_zero(bits));
    }
    // Fitch length of the whole tree, one character at a time.
    double fitchLength()
    {
        double len = 0;
        for (uint32_t c = 0; c < data->nchar; c++) {
            std::function<uint64_t(const TreeNode *)> down = [&](const TreeNode *n) -> uint64_t {
                if (!n->firstChild)
                    return getXijAsBits(data, n->index, c, nullptr);
                uint64_t s = down(n->firstChild);
                for (const TreeNode *k = n->firstChild->nextSib; k; k = k->nextSib) {
                    const uint64_t t = down(k);
                    s = (s & t) ? (s & t) : (len += 1, s | t);
                }
                return s;
            };
            const TreeNode *r = tree->root;
            if (r->index >= static_cast<int32_t>(data->ntax))
                down(r);
            else if (!(down(r->firstChild) & getXijAsBits(data, r->index, c, nullptr)))
                len += 1;
        }
        return len;
    }
    // Every branch length is the number of characters whose reconstructed
    // states differ across it.
    void expectConsistent()
    {
        double total = 0;
        for (TreeNode *n = tree->root->next; n; n = n->next) {
            uint32_t changes = 0;
            for (uint32_t c = 0; c < data->nchar; c++)
                changes += state(n, c) != state(n->anc, c);
            EXPECT_EQ(n->edge.brlen, changes) << "node " << n->index;
            total += n->edge.brlen;
        }
        EXPECT_EQ(total, fitchLength());
    }

};

TEST_F(OptimizeTest, AccTranAndDelTranPlaceAmbiguousChangesEarlyAndLate)
{
    // Character 0 is binary (packed ordered), character 1 has three states.
    makeData({"00", "11", "02", "11"});
    const char *shape = "((1,2),3)";
    // Nodes: X = ((1,2),3) at position 5, Y = (1,2) at 6.
    buildTree(shape);
    TreeNode *X = tree->nodes + 5, *Y = tree->nodes + 6, *t1 = tree->firstTip + 1, *t2 = tree->firstTip + 2,
             *t3 = tree->firstTip + 3;
    ASSERT_EQ(X->firstChild, Y);
    gPars.opt = static_cast<uint32_t>(ParsOpt::AccTran);
    zeroAllBranchLengths(tree.get());
    optimizeParsimony(data, tree.get(), true);
    EXPECT_EQ(state(X, 0), 1u);
    EXPECT_EQ(state(Y, 0), 1u);
    EXPECT_EQ(X->edge.brlen, 2.0);
    EXPECT_EQ(t2->edge.brlen, 2.0);
    EXPECT_EQ(t1->edge.brlen + t3->edge.brlen + Y->edge.brlen, 0.0);

    buildTree(shape);
    gPars.opt = static_cast<uint32_t>(ParsOpt::DelTran);
    zeroAllBranchLengths(tree.get());
    optimizeParsimony(data, tree.get(), true);
    EXPECT_EQ(state(X, 0), 0u);
    EXPECT_EQ(state(Y, 0), 0u);
    EXPECT_EQ(state(X, 1), 1u);
    EXPECT_EQ(X->edge.brlen, 1.0);
    EXPECT_EQ(t1->edge.brlen, 1.0);
    EXPECT_EQ(t2->edge.brlen, 1.0);
    EXPECT_EQ(t3->edge.brlen, 1.0);
    EXPECT_EQ(Y->edge.brlen, 0.0);
}

TEST_F(OptimizeTest, EveryMethodGivesAMostParsimoniousReconstruction)
{
    std::mt19937 rng(11);
    for (int rep = 0; rep < 12; rep++) {
        const uint32_t ntax = 5 + rep % 5;
        std::vector<std::string> rows(ntax, std::string(14, '0'));
        for (auto &r : rows)
            for (size_t c = 0; c < r.size(); c++)
                r[c] = static_cast<char>('0' + rng() % (c < 6 ? 2 : 3));
        makeData(rows);
        const std::string shape = randomTree(rng, ntax);
        for (uint32_t opt = 0; opt < 3; opt++) {
            SCOPED_TRACE("rep " + std::to_string(rep) + " opt " + std::to_string(opt) + " " + shape);
            buildTree(shape);
            // MinF resolves a root with two or more children.
            if (opt == 2)
                rerootTree(tree.get(), tree->root->firstChild, true);
            setTraversalSeq(tree.get());
            zeroAllBranchLengths(tree.get());
            gPars.opt = opt;
            optimizeParsimony(data, tree.get(), true);
            expectConsistent();
        }
    }
}

TEST_F(OptimizeTest, MidpointLiesHalfwayAlongTheLongestPath)
{
    makeData({"00", "11", "02", "11"});
    // Longest path: 1 to 3, 1 + 1 + 6 = 8; its middle is on 3's edge.
    buildTree("((1:1,2:1):1,3:6):1");
    EXPECT_EQ(findMidpointEdge(tree.get()), tree->firstTip + 3);
    // Longest path from the tip the tree is held at: 0 to 3 = 2 + 1 + 5.
    buildTree("((1:1,2:1):1,3:5):2");
    TreeNode *mid = findMidpointEdge(tree.get());
    ASSERT_NE(mid, nullptr);
    EXPECT_EQ(mid, tree->firstTip + 3);
    buildTree("((1:1,2:1):1,3:1):6");
    EXPECT_EQ(findMidpointEdge(tree.get())->index, tree->root->firstChild->index);
}

// Output of qel_printf while a scope lasts.
std::string gCaptured;
int capturePrint(const char *format, ...)
{
    char buf[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    gCaptured += buf;
    return n;
}

class RootForOptimizationTest : public OptimizeTest {
protected:
    void SetUp() override
    {
        OptimizeTest::SetUp();
        savedPrint = qel_printf;
        qel_printf = capturePrint;
        savedHooks = treeDataHooks();
        TreeDataHooks h = savedHooks;
        h.taxonLabel = [](const DataInfo *d, uint32_t t) { return taxLabelString(d, t); };
        setTreeDataHooks(&h);
        gCaptured.clear();
    }
    void TearDown() override
    {
        qel_printf = savedPrint;
        setTreeDataHooks(&savedHooks);
        rooting.rootMethod = kRootOutgroup;
        OptimizeTest::TearDown();
    }
    // Taxa 0..4 are Alpha..Epsilon; characters: Alpha+Beta, Delta+Epsilon,
    // Alpha alone, Gamma alone. The one tree has the clades AB and DE, held
    // here at Alpha: (Alpha,(Beta,(Gamma,(Delta,Epsilon)))).
    void fiveTaxa(const std::string &ancestor)
    {
        makeData({"1010", "1000", "0001", "0100", "0100"}, ancestor);
        const char *names[] = {"Alpha", "Beta", "Gamma", "Delta", "Epsilon"};
        for (uint32_t t = 0; t < 5; t++)
            ASSERT_EQ(storeTaxLabel(data, t, names[t]), 0);
        buildTree("(1,(2,(3,4)))");
    }
    // Taxa below each child of the root, e.g. "2|01.34" for a root with
    // children Gamma and ((Alpha,Beta),(Delta,Epsilon)).
    std::string basalSplit()
    {
        TreeNode *fork = tree->root;
        if (tree->flags & kTreeRootedAtAnc)
            fork = fork->firstChild;
        std::vector<std::string> sides;
        for (TreeNode *c = fork->firstChild; c; c = c->nextSib) {
            std::string below;
            for (uint32_t t = 0; t < data->ntax; t++)
                if (isTaxInLeafSet(static_cast<int32_t>(t), false, c->leafSet))
                    below += static_cast<char>('0' + t);
            sides.push_back(below);
        }
        std::sort(sides.begin(), sides.end(), [](auto &a, auto &b) { return a.size() < b.size() || (a.size() == b.size() && a < b); });
        std::string out;
        for (auto &side : sides)
            out += (out.empty() ? "" : "|") + side;
        return out;
    }
    PrintHook savedPrint = nullptr;
    TreeDataHooks savedHooks{};
};

TEST_F(RootForOptimizationTest, LundbergRootsWhereTheAncestorJoinsInFewestSteps)
{
    // Ancestor 0001 joins Gamma's branch at no cost (Gamma's edge holds both
    // states of character 3) and every other branch at one step or more.
    fiveTaxa("0001");
    rooting.rootMethod = kRootLundberg;
    ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, true, false), 0);
    makeAllLeafSets(tree.get());
    EXPECT_EQ(basalSplit(), "2|0134");
    EXPECT_EQ(gCaptured, "");
    EXPECT_TRUE(haveOptimizedTree(1));
    EXPECT_EQ(getLastTreeScore(), 4.0);
    // The reconstruction on the rooted tree: four single changes.
    expectConsistent();

    // Ancestor 1010 is Alpha itself.
    tree.reset();
    fiveTaxa("1010");
    ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, true, false), 0);
    makeAllLeafSets(tree.get());
    EXPECT_EQ(basalSplit(), "0|1234");
}

TEST_F(RootForOptimizationTest, LundbergTiesAreListedAndTheFirstFoundBackwardsWins)
{
    // Ancestor 0000 joins the branches of AB, of Gamma and of DE at no cost.
    fiveTaxa("0000");
    rooting.rootMethod = kRootLundberg;
    ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, false, false), 0);
    EXPECT_EQ(gCaptured, "");
    makeAllLeafSets(tree.get());
    // Walking backwards, DE's branch is met first.
    EXPECT_EQ(basalSplit(), "34|012");

    // Shown ties, in preorder, the ancestor side first, with the fork
    // numbers of the tree as held: node_6 = (Beta,...), node_7 = (Gamma,...),
    // node_8 = (Delta,Epsilon).
    buildTree("(1,(2,(3,4)))");
    ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, true, false), 0);
    EXPECT_EQ(gCaptured, "\nNote: \bTies found in Lundberg rooting.  The following root locations are equally "
                         "parsimonious:\n\n"
                         "      node_6 <--> node_7      \n"
                         "      node_7 <--> Gamma       \n"
                         "      node_7 <--> node_8      \n");
    makeAllLeafSets(tree.get());
    EXPECT_EQ(basalSplit(), "34|012");
}

TEST_F(RootForOptimizationTest, MidpointRootsHalfwayAlongTheLongestPathOfChanges)
{
    // Changes, one per branch: Alpha, AB, Gamma, DE. The longest paths,
    // Alpha to Gamma and Alpha to Delta, are 3 steps long; their middle,
    // 1.5 from either end, lies on the branch of the clade AB.
    fiveTaxa("");
    rooting.rootMethod = kRootMidpoint;
    gPars.opt = static_cast<uint32_t>(ParsOpt::AccTran);
    ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 2, true, false), 0);
    makeAllLeafSets(tree.get());
    EXPECT_EQ(basalSplit(), "01|234");
    // The MinF pass that finds the midpoint leaves the setting as it was.
    EXPECT_EQ(gPars.opt, static_cast<uint32_t>(ParsOpt::AccTran));
    expectConsistent();
}

}  // namespace

namespace {

// Under MinF an unrooted tree rooted by its outgroup gets a basal node that
// the reconstruction at the centroid never saw. Its states must continue the
// reconstruction, and the reconstruction's f (changes weighted by the tip
// pairs their branch separates) must be the least over every most
// parsimonious one: a plain dynamic programme over states, minimising
// (length, weighted changes), is the reference.
TEST_F(RootForOptimizationTest, MinFRootedByOutgroupKeepsTheLeastFValue)
{
    std::mt19937 rng(41);
    gPars.opt = static_cast<uint32_t>(ParsOpt::MinF);
    for (int rep = 0; rep < 12; rep++) {
        const uint32_t ntax = 5 + rep % 4;
        std::vector<std::string> rows(ntax, std::string(10, '0'));
        for (auto &r : rows)
            for (char &x : r)
                x = static_cast<char>('0' + rng() % 2);
        makeData(rows);
        const std::string shape = randomTree(rng, ntax);
        SCOPED_TRACE("rep " + std::to_string(rep) + " " + shape);
        buildTree(shape);
        ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, false, false), 0);
        expectConsistent();
        const TreeNode *root = tree->root;
        ASSERT_GE(root->index, static_cast<int32_t>(ntax));  // the inserted basal node
        std::function<uint32_t(const TreeNode *)> tips = [&](const TreeNode *n) {
            uint32_t k = n->firstChild ? 0 : 1;
            for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
                k += tips(c);
            return k;
        };
        auto weight = [&](const TreeNode *n) { return tips(n) * (ntax - tips(n)); };
        double fOf = 0;
        for (const TreeNode *n = root->next; n; n = n->next)
            fOf += n->edge.brlen * weight(n);
        double least = 0;
        using Cost = std::pair<double, double>;
        for (uint32_t c = 0; c < data->nchar; c++) {
            std::function<std::array<Cost, 2>(const TreeNode *)> dp = [&](const TreeNode *n) {
                std::array<Cost, 2> cost{};
                if (!n->firstChild) {
                    const uint32_t s = std::countr_zero(getXijAsBits(data, n->index, c, nullptr));
                    cost[1 - s] = {1e9, 0};
                    return cost;
                }
                for (const TreeNode *k = n->firstChild; k; k = k->nextSib) {
                    const std::array<Cost, 2> sub = dp(k);
                    const double w = weight(k);
                    for (uint32_t s = 0; s < 2; s++) {
                        const Cost stay = sub[s], move = {sub[1 - s].first + 1, sub[1 - s].second + w};
                        const Cost best = std::min(stay, move);
                        cost[s] = {cost[s].first + best.first, cost[s].second + best.second};
                    }
                }
                return cost;
            };
            const std::array<Cost, 2> top = dp(root);
            least += std::min(top[0], top[1]).second;
        }
        EXPECT_EQ(fOf, least);
    }
}

}  // namespace
