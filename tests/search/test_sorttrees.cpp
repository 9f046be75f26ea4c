// Reordering the trees in memory through the spare slot: every tree lands
// where the order puts it with its own name and weight, along cycles of
// every length, also when the buffer has no spare slot yet.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "search/sorttrees.h"
#include "trees/trees_fixture.h"

namespace {

class SortTreesTest : public treetest::TreesFixture {};

TEST_F(SortTreesTest, PermutationCarriesNamesAndWeights)
{
    const std::vector<std::vector<uint32_t>> orders = {
        {0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {1, 2, 3, 4, 5, 0}, {2, 0, 1, 4, 3, 5}, {3, 5, 4, 0, 2, 1}};
    for (const auto &order : orders) {
        makeTaxa(6);
        setMaxtreesValue(6);
        const char *shapes[] = {"(t1,(t2,(t3,(t4,(t5,t6)))));", "(t1,((t2,t3),(t4,(t5,t6))));",
                                "(t1,(t3,(t2,(t4,(t5,t6)))));", "(t1,((t2,t4),(t3,(t5,t6))));",
                                "(t1,t2,t3,t4,t5,t6);",          "(t1,((t2,t5),(t3,(t4,t6))));"};
        std::string body;
        for (int k = 0; k < 6; k++)
            body += "tree tree_" + std::string(1, static_cast<char>('a' + k)) + " = [&W " + std::to_string(k + 1) +
                    "] [&U] " + shapes[k] + "\n";
        ASSERT_EQ(readBlock(body), 0);
        TreeBuffer *buf = getMainTreeBuffer(nullptr);
        ASSERT_EQ(numTreesInBuffer(buf), 6u);
        std::vector<std::string> bytes;
        for (uint32_t s = 0; s < 6; s++)
            bytes.emplace_back(reinterpret_cast<const char *>(treeLocation(buf, s)), buf->bytesPerTree);
        ASSERT_EQ(permuteTreesInBuffer(buf, order.data(), 6), 0);
        ASSERT_EQ(numTreesInBuffer(buf), 6u);
        for (uint32_t p = 0; p < 6; p++) {
            EXPECT_EQ(getTreeName(buf, p + 1), "tree " + std::string(1, static_cast<char>('a' + order[p])));
            EXPECT_EQ(getTreeWtBuf(buf)[p], order[p] + 1.0);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(treeLocation(buf, p)), buf->bytesPerTree),
                      bytes[order[p]]);
        }
    }
}

}  // namespace
