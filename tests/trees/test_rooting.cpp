#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_sets.h"
#include "trees/roottree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"
#include "support/tree_test_support.h"

namespace {

// Nested groups of 0-based taxa, "(0,(1,2),3)", hung under tip rootTip;
// ":x" after a group or taxon gives its branch length.
void buildTree(Tree *tree, const std::string &text, int rootTip)
{
    buildTestTree(tree, text, rootTip);
    setTraversalSeq(tree);
}

// The tree as nested groups from its root, children in stored order.
std::string shape(const TreeNode *n)
{
    if (!n->firstChild)
        return std::to_string(n->index);
    std::string s = "(";
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
        s += (c == n->firstChild ? "" : ",") + shape(c);
    return s + ")";
}

class RootingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = rooting;
        rooting = RootingSettings{};
        data = createDataInfo();
        ASSERT_EQ(allocTaxaMemory(data, 6), 0);
        initTaxStatus(data);
        setActiveDataInfo(data);
        tree.reset(createTreeForTaxa(6, 6, true));
        gCouldNotRootMonophyletic = 0;
    }
    void TearDown() override
    {
        setActiveDataInfo(nullptr);
        destroyDataInfo(data);
        rooting = saved;
    }
    void outgroup(std::initializer_list<uint32_t> taxa)
    {
        for (uint32_t t : taxa)
            addSetMember(data->taxa.outgroup, t);
    }
    std::string rooted(const std::string &text)
    {
        buildTree(tree.get(), text, 0);
        EXPECT_EQ(rootTree(tree.get(), data, 1, false, false, false), 0);
        return shape(tree->root);
    }

    RootingSettings saved{};
    DataInfo *data = nullptr;
    TreePtr tree;
};

TEST_F(RootingTest, OutgroupPlacesTheRootOnTheEdgeOrAtAPolytomy)
{
    // No outgroup: the first taxon hangs from a new root on its edge.
    EXPECT_EQ(rooted("((1,2),(3,(4,5)))"), "(0,((1,2),(3,(4,5))))");
    // forcePolyt: the first taxon joins the basal fork instead.
    rooting.forcePolyt = 1;
    EXPECT_EQ(rooted("((1,2),(3,(4,5)))"), "(0,(1,2),(3,(4,5)))");
    rooting.forcePolyt = 0;
    // A one-taxon outgroup deep in the tree.
    outgroup({4});
    EXPECT_EQ(rooted("((1,2),(3,(4,5)))"), "((((0,(1,2)),3),5),4)");
    EXPECT_EQ(gCouldNotRootMonophyletic, 0);
}

TEST_F(RootingTest, MultiTaxonOutgroupFollowsOutRoot)
{
    outgroup({3, 4, 5});
    // polytomy: the ingroup clade and the outgroup taxa meet at one node.
    EXPECT_EQ(rooted("((1,2),(3,(4,5)))"), "((0,(1,2)),3,(4,5))");
    rooting.outRoot = kOutRootMonophyletic;
    EXPECT_EQ(rooted("((1,2),(3,(4,5)))"), "((0,(1,2)),(3,(4,5)))");
    // paraphyl: the root sits on the first outgroup taxon's edge.
    rooting.outRoot = kOutRootParaphyletic;
    EXPECT_EQ(rooted("((1,2),(3,(4,5)))"), "(((0,(1,2)),(4,5)),3)");
    EXPECT_EQ(gCouldNotRootMonophyletic, 0);
}

TEST_F(RootingTest, IngroupThatIsNoCladeIsFlagged)
{
    outgroup({0, 3});
    rooting.outRoot = kOutRootMonophyletic;
    rooted("((1,3),(2,(4,5)))");
    EXPECT_EQ(gCouldNotRootMonophyletic, 1);
}

TEST_F(RootingTest, BasalLengthIsShared)
{
    // Below the two root edges the longest paths are 5 and 1; with T = 2 the
    // midpoint m = 4 is short of the first side: it gets 0.2 T.
    buildTree(tree.get(), "((1:5,2:1):1,(3:1,(4:0.5,5:0.5):0.5):1)", 0);
    TreeNode *a = tree->nodes + 8, *b = tree->nodes + 9;
    EXPECT_DOUBLE_EQ(distributeBasalBranchLength(a, b, 2.0), 0.4);
    EXPECT_DOUBLE_EQ(distributeBasalBranchLength(b, a, 2.0), 1.6);
    // Balanced sides: each reaches (T + a + b) / 2.
    buildTree(tree.get(), "((1:2,2:1):1,(3:1,4:1):1)", 0);
    EXPECT_DOUBLE_EQ(distributeBasalBranchLength(tree->nodes + 8, tree->nodes + 9, 3.0), 1.0);
}

TEST_F(RootingTest, RootTreesAndDerootTreesConvertTheBuffer)
{
    TreeBuffer *buf = createTreeBuffer(6, 10, false, false, false);
    setMainTreeBuffer(buf);
    setActiveTreeBuffer(buf);
    outgroup({4, 5});
    rooting.outRoot = kOutRootMonophyletic;
    buildTree(tree.get(), "((1,2),(3,(4,5)))", 0);
    ASSERT_EQ(putTree(tree.get(), buf, false), 1u);
    buildTree(tree.get(), "((1,4),(3,(2,5)))", 0);
    ASSERT_EQ(putTree(tree.get(), buf, false), 2u);
    // Names held as a prefix and a number, and one of its own.
    ASSERT_EQ(storeTreeName(buf, "f1", 0), 0);
    ASSERT_EQ(storeTreeName(buf, "other", 1), 0);
    finishNames(buf);
    ASSERT_EQ(rootOrDerootTrees(true, data), 0);
    TreeBuffer *now = getMainTreeBuffer(nullptr);
    EXPECT_TRUE(areTreesRooted(now));
    ASSERT_EQ(numTreesInBuffer(now), 2u);
    ASSERT_EQ(getTree(now, 1, tree.get()), 0);
    EXPECT_TRUE(tree->flags & kTreeRootedAtAnc);
    EXPECT_EQ(tree->root->index, -1);
    EXPECT_EQ(shape(tree->root->firstChild), "(((0,(1,2)),3),(4,5))");
    EXPECT_EQ(gCouldNotRootMonophyletic, 1);  // {4,5} is no clade of tree 2
    EXPECT_EQ(getTreeName(now, 1), "f1");
    EXPECT_EQ(getTreeName(now, 2), "other");

    ASSERT_EQ(rootOrDerootTrees(false, data), 0);
    now = getMainTreeBuffer(nullptr);
    EXPECT_FALSE(areTreesRooted(now));
    ASSERT_EQ(getTree(now, 1, tree.get()), 0);
    EXPECT_EQ(tree->root->index, 0);
    EXPECT_EQ(shape(tree->root->firstChild), "((1,2),(3,(4,5)))");
    EXPECT_EQ(getTreeName(now, 1), "f1");
    setActiveTreeBuffer(nullptr);
    setMainTreeBuffer(nullptr);
    destroyTreeBuffer(now);
}

}  // namespace
