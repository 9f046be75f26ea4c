// The tree reader and writer on a five- to nine-taxon data set: must-reject
// descriptions with their exact errors (the trees in memory survive every
// failure), known answers for translate tables, ranges and weights, and
// random round trips read -> write -> read with branch lengths.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "data/data_fixture.h"
#include "qel/qel_auxout.h"
#include "trees/readtree.h"
#include "trees/savetree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"

namespace {

using datatest::gErrors;

class TreeReadTest : public datatest::DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        savedHooks_ = treeDataHooks();
        installTreeHooks();
    }
    void TearDown() override
    {
        clearTrees(false, false);
        // The hooks reach into this test's data set: later tests of the
        // same process must not find them.
        setTreeDataHooks(&savedHooks_);
        DataFixture::TearDown();
    }
    TreeDataHooks savedHooks_{};
    // The fixture makes the data set before it is active, so its main tree
    // buffer lands only in the active-buffer slot: adopt it.
    void makeTaxa(uint32_t ntax)
    {
        makeData(ntax, 1);
        if (!d->mainTreeBuffer)
            d->mainTreeBuffer = getActiveTreeBuffer();
    }
    // Reads a TREES block body (after "begin trees;").
    int readBlock(const std::string &body, uint32_t mode = kKeepReplace, uint32_t flags = 0)
    {
        feed(body + "\nend;\n");
        return processTreesBlock(mode, flags | kReadStoreBrlens | kReadStoreWeights, 0, 0xFFFFFFFFu, false, false,
                                 false, false);
    }
    // Split key (taxon bits below a branch, oriented away from taxon 0 for
    // unrooted trees) -> length, of tree n of the main buffer.
    std::map<std::string, double> splits(uint32_t n)
    {
        TreeBuffer *buf = getMainTreeBuffer(nullptr);
        Tree *tree = createTree(true);
        EXPECT_EQ(getTree(buf, n, tree), 0);
        makeAllLeafSets(tree);
        std::map<std::string, double> out;
        TreeNode *top = tree->root->index < 0 ? tree->root->firstChild : tree->root;
        for (TreeNode *p = nextPreorderNode(top, top); p; p = nextPreorderNode(p, top)) {
            std::string key(d->ntax, '0');
            for (uint32_t t = 0; t < d->ntax; t++)
                key[t] = isTaxInLeafSet(static_cast<int32_t>(t), false, p->leafSet) ? '1' : '0';
            if (!buf->rooted && key[0] == '1')
                for (char &c : key)
                    c = c == '1' ? '0' : '1';
            out[key] += treeInfo.userBrlens ? p->edge.brlen : 0.0;
        }
        destroyTree(tree, true);
        return out;
    }
};

TEST_F(TreeReadTest, MalformedDescriptionsGiveTheirErrorAndKeepTheTreesInMemory)
{
    makeTaxa(5);
    ASSERT_EQ(readBlock("tree keep = [&R] [&W 2] ((t1:1,t2:2):3,(t3,t4,t5));"), 0);
    struct Case {
        const char *text;
        uint32_t code;
    } cases[] = {
        {"tree x = [&R] (t1,t2,(t3,t4);", 725},
        {"tree x = [&R] (t1,t2,t3));", 725},
        {"tree x = [&R] (t1,,t2);", 720},
        {"tree x = [&R] (t1,());", 720},
        {"tree x = [&R] (t1,t1,t2);", 748},
        {"tree x = [&R] (t1:abc,t2,t3);", 787},
        {"tree x = [&R] (t1:nan,t2,t3);", 787},
        {"tree x = [&R] ((((((((((t1))))))))),t2);", 723},
        {"tree x = [&U] (t1,t2);", 721},
        {"tree x = [&R] (t1,t2,t3) (t4);", 728},
        {"tree x = [&R] (t1,;", 118},
        {"tree x = [&R] [&W 3/0] (t1,t2);", 771},
        {"tree x = [&R] [&W -1] (t1,t2);", 770},
        {"tree x = [&R] [&W 1/] (t1,t2);", 772},
        {"tree x = [&R] [&W ] (t1,t2);", 773},
        {"tree x = [&R] [&W 1 2] (t1,t2);", 122},
        {"tree a = [&R] (t1,t2,t3); tree b = [&U] (t1,t2,t3);", 729},
        {"translate 1 t1, 2;", 722},
        {"translate 1 t1 2 t2;", 201},
        {"tree x = [&R] (t1,t2-;", 601},
        {"tree x (wrong) = (t1,t2);", 0},
        {"frobnicate;", 112},
        {"tree x (ancfunction) = 6 6 7 7 7 7 6;", 724},
        {"tree x (ancfunction) = 6 6 7 7 7 0 6 6 6 6 6 6;", 724},
        {"tree x (ancfunction) = 6 6 7 7 99 0 6;", 726},
    };
    for (const Case &c : cases) {
        gErrors.clear();
        EXPECT_EQ(readBlock(c.text), 1) << c.text;
        ASSERT_FALSE(gErrors.empty()) << c.text;
        EXPECT_EQ(gErrors.back(), c.code) << c.text;
        TreeBuffer *buf = getMainTreeBuffer(nullptr);
        ASSERT_EQ(buf->numTrees, 1u) << c.text;
        EXPECT_EQ(getTreeName(buf, 1), "keep");
        EXPECT_EQ(getTreeWtBuf(buf)[0], 2.0);
        EXPECT_TRUE(buf->rooted);
        EXPECT_TRUE(haveUserBranchLengths());
    }
}

TEST_F(TreeReadTest, TranslateRangesSetsWeightsAndSingleChildNodes)
{
    makeTaxa(5);
    ASSERT_EQ(storeTaxLabel(d, 4, "7"), 0);  // taxon 5 is labelled "7"
    ASSERT_EQ(readBlock("translate 1 '7', 2 t2, 3 t3, 4 t4, 5 t1;\n"
                        "tree a = [&U] [&W 1/4] (1:0.5,(2:1,3:1.25):2,(4:3,5:4):0.25);"),
              0);
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    ASSERT_EQ(buf->numTrees, 1u);
    EXPECT_FALSE(buf->rooted);
    EXPECT_DOUBLE_EQ(getTreeWtBuf(buf)[0], 0.25);
    // Key position t is taxon t + 1. "1" is taxon 5 (labelled "7"), "5" is t1.
    auto a = splits(1);
    EXPECT_EQ(a.size(), 7u);
    EXPECT_DOUBLE_EQ(a.at("00001"), 0.5);
    EXPECT_DOUBLE_EQ(a.at("01100"), 2.0);
    EXPECT_DOUBLE_EQ(a.at("00100"), 1.25);
    EXPECT_DOUBLE_EQ(a.at("01101"), 0.25);  // (t4,t1) seen from the side without t1
    EXPECT_DOUBLE_EQ(a.at("01111"), 4.0);   // t1's own edge
    // Trees without lengths discard the stored ones; the range t1-t3 is a
    // polytomy and the nested single-child nodes of c go away.
    ASSERT_EQ(readBlock("utree b = ((t1 - t3), t4, '7');\n"
                        "tree c = [&U] ((((t1,t2)),t3),t4,7);",
                        kKeepMemoryPlusFile),
              0);
    ASSERT_EQ(buf->numTrees, 3u);
    EXPECT_FALSE(haveUserBranchLengths());
    EXPECT_DOUBLE_EQ(getTreeWtBuf(buf)[1], 1.0);
    auto b = splits(2);
    EXPECT_EQ(b.size(), 6u);  // five pendant edges and {t4,t5}
    EXPECT_EQ(b.count("00011"), 1u);
    auto c = splits(3);
    EXPECT_EQ(c.size(), 7u);
    EXPECT_EQ(c.count("00111"), 1u);
    EXPECT_EQ(c.count("00011"), 1u);
}

// A random description over taxa t1..tn with lengths of up to 5 decimals;
// the reference the round trip is compared with is what the reader makes of it.
std::string randomNewick(std::mt19937 &rng, uint32_t ntax, bool rooted)
{
    std::vector<std::string> parts;
    for (uint32_t t = 1; t <= ntax; t++)
        parts.push_back("t" + std::to_string(t));
    std::shuffle(parts.begin(), parts.end(), rng);
    auto len = [&] {
        char b[32];
        std::snprintf(b, sizeof b, ":%.*f", static_cast<int>(rng() % 6), (rng() % 100000) / 9973.0);
        return std::string(b);
    };
    for (auto &p : parts)
        p += len();
    const size_t stop = rooted ? 2 : 3;
    while (parts.size() > stop) {
        size_t k = parts.size() > stop + 1 && rng() % 4 == 0 ? 3 : 2;
        std::string joined = "(";
        for (size_t i = 0; i < k; i++) {
            size_t j = rng() % parts.size();
            joined += (i ? "," : "") + parts[j];
            parts.erase(parts.begin() + static_cast<long>(j));
        }
        parts.push_back(joined + ")" + len());
    }
    std::string out = "(";
    for (size_t i = 0; i < parts.size(); i++)
        out += (i ? "," : "") + parts[i];
    return out + ")";
}

TEST_F(TreeReadTest, PhylipStyleLabelsNameTaxaOnlyWhenAsked)
{
    makeTaxa(3);
    ASSERT_EQ(storeTaxLabel(d, 0, "Homo sapiens (human)"), 0);
    ASSERT_EQ(storeTaxLabel(d, 1, "a,b"), 0);
    const std::string block = "tree one = [&U] (Homo_sapiens_human,AB,t3);\n";
    EXPECT_NE(readBlock(block), 0);
    gErrors.clear();
    ASSERT_EQ(readBlock(block, kKeepReplace, kReadPhylipLabels), 0);
    EXPECT_TRUE(gErrors.empty());
    EXPECT_EQ(getMainTreeBuffer(nullptr)->numTrees, 1u);
}

TEST_F(TreeReadTest, RandomTreesSurviveWriteAndReadBackInNewick)
{
    std::mt19937 rng(4242);
    char path[] = "/tmp/vorn_readtree_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (int round = 0; round < 40; round++) {
        const uint32_t ntax = 4 + rng() % 9;
        const bool rooted = round % 2 == 0;
        makeTaxa(ntax);
        std::string block;
        for (int k = 0; k < 3; k++)
            block += "tree 'n " + std::to_string(k) + "' = [&" + (rooted ? "R" : "U") + "] " +
                     randomNewick(rng, ntax, rooted) + ";\n";
        ASSERT_EQ(readBlock(block), 0) << block;
        TreeBuffer *buf = getMainTreeBuffer(nullptr);
        ASSERT_EQ(buf->numTrees, 3u);
        EXPECT_EQ(getTreeName(buf, 2), "n 1");
        std::vector<std::map<std::string, double>> before;
        AuxOut *aux = openAuxOutStream(path, true, false);
        ASSERT_NE(aux, nullptr);
        Tree *tree = createTree(false);
        for (uint32_t n = 1; n <= 3; n++) {
            before.push_back(splits(n));
            ASSERT_EQ(getTree(buf, n, tree), 0);
            outputTreeDescription(tree, false, kDescrBrlens, false, false, ',', 5, newickTreeLabel, d);
            auxPuts(";\n");
        }
        destroyTree(tree, false);
        ASSERT_EQ(closeAuxOutStream(aux), 0);
        InputStatus in;
        ASSERT_EQ(openInputFile(path, 0, nullptr, &in), 0);
        ASSERT_EQ(processTreesBlock(kKeepReplace, kReadPlainFile | kReadStoreBrlens, 0, 0xFFFFFFFFu, false, false,
                                    !rooted, false),
                  0);
        closeInputFile(&in);
        ASSERT_EQ(getMainTreeBuffer(nullptr)->numTrees, 3u);
        for (uint32_t n = 1; n <= 3; n++) {
            auto after = splits(n);
            ASSERT_EQ(after.size(), before[n - 1].size()) << "round " << round;
            for (const auto &[key, length] : before[n - 1])
                EXPECT_NEAR(after.at(key), length, 1e-9) << "round " << round << " split " << key;
        }
        clearTrees(false, false);
        deallocAssumpSets();
        destroyDataInfo(d);
        setActiveDataInfo(nullptr);
        d = nullptr;
    }
    std::remove(path);
}

}  // namespace
