#include "trees/foreign_trees.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "trees_fixture.h"

namespace {

using treetest::TreesFixture;

// Words of the outside program: "n" or "Tn" for the n-th taxon.
int32_t byNumber(const std::string &word, bool)
{
    const std::string digits = word[0] == 'T' ? word.substr(1) : word;
    const int n = std::atoi(digits.c_str());
    return n >= 1 && n <= 5 ? n - 1 : -1;
}

// Only "Tn": the Translate table must have been applied to reach a taxon.
int32_t byName(const std::string &word, bool quoted)
{
    return word.size() > 1 && word[0] == 'T' ? byNumber(word, quoted) : -1;
}

class ForeignTrees : public TreesFixture {
protected:
    void SetUp() override
    {
        TreesFixture::SetUp();
        makeTaxa(5);
    }
};

// Lengths stay with their nodes; internal-node labels (supports) and
// comments are dropped, so the reader sees only taxa it knows.
TEST_F(ForeignTrees, TipWordsBecomeTheDataSetsLabels)
{
    std::string out;
    ASSERT_EQ(relabelForeignNewick("((1:0.1,'T2':2e-3)0.95:0.3,[note]3,(4,5)inner:1.5e+1);", "X", byNumber, out), 0);
    EXPECT_EQ(out, "((t1:0.1,t2:2e-3):0.3,t3,(t4,t5):1.5e+1);");
    EXPECT_NE(relabelForeignNewick("((1,2),3,(4,9));", "X", byNumber, out), 0);
    EXPECT_NE(relabelForeignNewick("((1,2),3,(4,5))", "X", byNumber, out), 0);
}

TEST_F(ForeignTrees, NexusFilesAreReadThroughTheirTranslateTable)
{
    const std::string path = testing::TempDir() + "foreign_trees_test_" + std::to_string(getpid()) + ".tre";
    {
        std::ofstream f(path);
        f << "#nexus\nbegin trees;\ntranslate\n 1 T5,\n 2 'T4',\n 3 T3, 4 T2, 5 T1;\n"
             "tree a = [&U][!score -12.5] ((1:0.1,2:0.2):0.05,3:0.3,(4:0.4,5:0.5):0.06);\n"
             "utree b = (1,(2,(3,(4,5))));\nend;\n";
    }
    uint32_t read = 0;
    std::vector<uint32_t> tips;
    const int rc = readForeignTrees(path, "X", byName, [&](Tree *t) {
        tips.push_back(countLeaves(t));
        return 0;
    }, &read);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(tips, (std::vector<uint32_t>{5, 5}));
    // A tree naming no taxon of the data stops the reading with an error.
    {
        std::ofstream f(path);
        f << "((1,2),3,(4,5));\n((1,2),3,(4,6));\n";
    }
    EXPECT_NE(readForeignTrees(path, "X", byNumber, [](Tree *) { return 0; }, &read), 0);
    EXPECT_EQ(read, 1u);
    std::remove(path.c_str());
    EXPECT_NE(readForeignTrees(path, "X", byNumber, [](Tree *) { return 0; }, &read), 0);
}

}  // namespace
