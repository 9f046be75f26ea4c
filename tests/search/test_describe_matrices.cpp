#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "data/vorn_data.h"
#include "qel/qel_oututil.h"
#include "search/describe_matrices.h"
#include "support/tree_test_support.h"
#include "trees/treeedit.h"
#include "search_fixture.h"

namespace {

class PairwiseMatrixTest : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        makeData(std::vector<std::string>(6, "01"));
        for (uint32_t t = 0; t < 6; t++)
            ASSERT_EQ(storeTaxLabel(data, t, ("t" + std::to_string(t + 1)).c_str()), 0);
        tree.reset(createTreeForTaxa(6, 6, true));
        buildTestTree(tree.get(), "((1,2),(3,(4,5)))", 0);
        setTraversalSeq(tree.get());
        // Cell (i, j) holds 10 i + j, so a misplaced read shows.
        m.assign(36, 0.0);
        for (uint32_t i = 0; i < 6; i++)
            for (uint32_t j = 0; j < 6; j++)
                m[i * 6 + j] = 10.0 * i + j;
    }
    void TearDown() override
    {
        setOutputLineMetrics(nullptr);
        tree.reset();
        SearchTest::TearDown();
    }
    // The printed rows of a table, each split into its blank-separated fields.
    static std::vector<std::vector<std::string>> rowsOf(const std::string &text)
    {
        std::vector<std::vector<std::string>> rows;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::vector<std::string> f;
            for (std::string w; fields >> w;)
                f.push_back(w);
            if (f.size() > 2 && f[1].size() == 2 && f[1][0] == 't')
                rows.push_back(f);
        }
        return rows;
    }

    TreePtr tree;
    std::vector<double> m;
};

// Both triangles over one block: every row carries every column, the
// diagonal as "-", row i column j the cell (i, j).
TEST_F(PairwiseMatrixTest, BothTrianglesShowEveryCellWhereItBelongs)
{
    showPairwiseTaxaMatrix(m, tree.get(), data, Triangles::Both, "below", "above", "Title", 5, 0);
    EXPECT_NE(gPrinted.find("   Below diagonal: below\n   Above diagonal: above\n"), std::string::npos);
    const auto rows = rowsOf(gPrinted);
    ASSERT_EQ(rows.size(), 6u);
    for (uint32_t i = 0; i < 6; i++) {
        ASSERT_EQ(rows[i].size(), 8u) << gPrinted;
        for (uint32_t j = 0; j < 6; j++) {
            char want[16];
            std::snprintf(want, sizeof want, "%d", static_cast<int>(10 * i + j));
            EXPECT_EQ(rows[i][2 + j], i == j ? "-" : want) << "row " << i << " column " << j;
        }
    }
}

// A narrow output splits the columns into blocks; a one-triangle table lists
// in each block only the rows from its first column on, and an upper table
// reads the cell across the diagonal.
TEST_F(PairwiseMatrixTest, NarrowOutputContinuesTheTriangleInBlocks)
{
    // The label field, then room for three columns of 5.
    static const OutputLineMetrics narrow{[] { return 0; }, [] { return 0; }, [] { return 8u + 3 * 5; }};
    setOutputLineMetrics(&narrow);
    showPairwiseTaxaMatrix(m, tree.get(), data, Triangles::Upper, nullptr, nullptr, "Title", 5, 0);
    EXPECT_NE(gPrinted.find("\nTitle\n"), std::string::npos);
    EXPECT_NE(gPrinted.find("\nTitle (continued)\n"), std::string::npos);
    const auto rows = rowsOf(gPrinted);
    // Block 1: columns 1-3, rows 1-6; block 2: columns 4-6, rows 4-6.
    ASSERT_EQ(rows.size(), 9u) << gPrinted;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "t1", "-"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"3", "t3", "2", "12", "-"}));
    EXPECT_EQ(rows[5], (std::vector<std::string>{"6", "t6", "5", "15", "25"}));
    EXPECT_EQ(rows[6], (std::vector<std::string>{"4", "t4", "-"}));
    EXPECT_EQ(rows[8], (std::vector<std::string>{"6", "t6", "35", "45", "-"}));
}

}  // namespace
