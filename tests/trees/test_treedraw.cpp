#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"
#include "trees/drawtree.h"
#include "trees/treebuf.h"
#include "trees/treeutil.h"
#include "support/tree_test_support.h"

namespace {

std::string gOut;

int capture(const char *fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    gOut += text;
    return 0;
}


void buildTree(Tree *tree, const std::string &text, int rootTip)
{
    buildTestTree(tree, text, rootTip);
    setTraversalSeq(tree);
}

// One label of 79 characters on a 100-column line leaves the drawing exactly
// 20 columns (100 - 79 - 1), so the expected diagrams stay short.
const std::string kLong(79, 'x');

class TreeDrawTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedPrint = qel_printf;
        qel_printf = capture;
        // Drawn without a data set: labels come from the buffer, taxon
        // numbers from the tree, whatever hooks an earlier test left.
        savedHooks = treeDataHooks();
        setTreeDataHooks(nullptr);
        savedDraw = treeDraw;
        treeDraw = TreeDrawSettings{};
        treeDraw.taxLabels = 1;
        setOutputLineLength(100);
        data = createDataInfo();
        setActiveDataInfo(data);
        buf = createTreeBuffer(4, 4, false, false, false);
        setMainTreeBuffer(buf);
        StringList *labels = createStringList(4);
        const char *names[] = {"A", "B", "C", kLong.c_str()};
        for (uint32_t i = 0; i < 4; i++)
            storeStringToList(labels, names[i], i);
        setTreebufNameList(buf, labels, true);
        tree.reset(createTreeForTaxa(4, 4, true));
        gOut.clear();
    }
    void TearDown() override
    {
        setMainTreeBuffer(nullptr);
        destroyTreeBuffer(buf);
        setActiveDataInfo(nullptr);
        destroyDataInfo(data);
        treeDraw = savedDraw;
        setTreeDataHooks(&savedHooks);
        qel_printf = savedPrint;
    }

    PrintHook savedPrint = nullptr;
    TreeDataHooks savedHooks{};
    TreeDrawSettings savedDraw{};
    DataInfo *data = nullptr;
    TreeBuffer *buf = nullptr;
    std::unique_ptr<Tree, TreeDeleter> tree;
};

TEST_F(TreeDrawTest, RootedCladogram)
{
    // Taxon 3 (the long label) is the third leaf: ((A,B),long).
    buildTree(tree.get(), "((0,1),3)", -1);
    drawTree(tree.get(), kDrawCladogram, 0, false, nullptr);
    EXPECT_EQ(gOut, "             /------ A\n"
                    "      /------+\n"
                    "      |      \\------ B\n"
                    "------+\n"
                    "      \\------------- " + kLong + "\n");
}

TEST_F(TreeDrawTest, CompressedCladogramTakesOneLinePerLeaf)
{
    treeDraw.tCompress = 1;
    buildTree(tree.get(), "((0,1),3)", -1);
    drawTree(tree.get(), kDrawCladogram, 0, false, nullptr);
    EXPECT_EQ(gOut, "             /------ A\n"
                    "      /------+------ B\n"
                    "------+------------- " + kLong + "\n");
}

TEST_F(TreeDrawTest, UnrootedPhylogramIsDrawnFromItsFirstFork)
{
    // Held at tip A: A hangs from the basal fork with the length of its edge.
    buildTree(tree.get(), "((1:1,2:2):1,3:3):2", 0);
    drawTree(tree.get(), kDrawPhylogram, 0, false, nullptr);
    EXPECT_EQ(gOut, "/------------- A\n"
                    "|\n"
                    "|     /------- B\n"
                    "+-----+\n"
                    "|     \\------------- C\n"
                    "|\n"
                    "\\------------------- " + kLong + "\n");
    // Without branch lengths the same tree is a cladogram: leaves line up.
    gOut.clear();
    drawTree(tree.get(), kDrawCladogram, 0, false, nullptr);
    EXPECT_EQ(gOut, "/------------------- A\n"
                    "|\n"
                    "|         /--------- B\n"
                    "+---------+\n"
                    "|         \\--------- C\n"
                    "|\n"
                    "\\------------------- " + kLong + "\n");
}

TEST_F(TreeDrawTest, NegativeLengthIsDottedAndEmptyTreeIsNamed)
{
    buildTree(tree.get(), "((0:1,1:-2):1,3:2)", -1);
    drawTree(tree.get(), kDrawPhylogram, 0, false, nullptr);
    // X = 3: the fork at 1, B at |-2| below it; its edge is dotted.
    EXPECT_EQ(gOut, "      /------- A\n"
                    "/-----+\n"
                    "|     \\............- B\n"
                    "|\n"
                    "\\------------- " + kLong + "\n");
    gOut.clear();
    initNodes(tree.get(), 4);
    tree->root = tree->nodes;
    drawTree(tree.get(), kDrawCladogram, 0, false, nullptr);
    EXPECT_EQ(gOut, "(tree has no terminal taxa)\n");
}

}  // namespace
