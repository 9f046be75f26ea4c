// The tree reader and writer on a five- to nine-taxon data set: must-reject
// descriptions with their exact errors (the trees in memory survive every
// failure), known answers for translate tables, ranges and weights, and
// random round trips read -> write -> read with branch lengths.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "data/data_fixture.h"
#include "qel/qel_auxout.h"
#include "trees/readtree.h"
#include "trees/savetree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees_fixture.h"

namespace {

using datatest::gErrors;

class TreeReadTest : public treetest::TreesFixture {
protected:
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

// The word memo against a std::map: thousands of words (the index grows
// many times), words of 1 to 30 bytes sharing their first 8 bytes, words
// that differ only in case or length, and a clear.
TEST(WordMemoTest, FindsExactlyTheWordsInsertedThroughGrowthAndClear)
{
    std::mt19937 rng(7);
    WordMemo memo;
    std::map<std::string, uint32_t> truth;
    auto word = [&] {
        std::string w = "Taxon_ab";
        w.resize(1 + rng() % 30, 'x');
        for (char &c : w)
            if (rng() % 3 == 0)
                c = static_cast<char>("aAbB1_"[rng() % 6]);
        return w;
    };
    for (int round = 0; round < 2; round++) {
        for (uint32_t i = 0; i < 5000; i++) {
            const std::string w = word();
            memo.insert(w, i);
            truth.emplace(w, i);  // the first value stays, as in the memo
        }
        for (uint32_t i = 0; i < 5000; i++) {
            const std::string w = word();
            const auto it = truth.find(w);
            ASSERT_EQ(memo.find(w), it == truth.end() ? WordMemo::kAbsent : it->second) << w;
        }
        for (const auto &[w, v] : truth)
            ASSERT_EQ(memo.find(w), v) << w;
        memo.clear();
        EXPECT_EQ(memo.find(truth.begin()->first), WordMemo::kAbsent);
        truth.clear();
    }
}

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
        {"translate 1 t1, 2 t2, 1 t3;", 0},
        {"tree x = [&R] (t1,t2-;", 601},
        {"tree x (wrong) = (t1,t2);", 0},
        {"frobnicate;", 112},
        {"tree x (ancfunction) = 6 6 7 7 7 7 6;", 724},
        {"tree x (ancfunction) = 6 6 7 7 7 0 6 6 6 6 6 6;", 724},
        {"tree x (ancfunction) = 6 6 7 7 99 0 6;", 726},
        {"tree x (ancfunction) = 6 6 7 7 7 -x 6;", 726},
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

// A TREES block met while a file is executed reports its count with the
// time the reading took.
TEST_F(TreeReadTest, BlockOfAnExecutedFileReportsTheTimeUsed)
{
    makeTaxa(5);
    feed("tree a = [&U] (t1,t2,(t3,(t4,t5)));\ntree b = [&U] (t1,t3,(t2,(t4,t5)));\nend;\n");
    datatest::gOut.clear();
    ASSERT_EQ(processTreesBlock(kKeepReplace, kReadInExecutedFile, 0, 0xFFFFFFFFu, false, false, false, true), 0);
    EXPECT_NE(datatest::gOut.find("\n2 trees read from TREES block; time used = "), std::string::npos)
        << datatest::gOut;
    EXPECT_NE(datatest::gOut.find(" sec (CPU time = "), std::string::npos) << datatest::gOut;
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

// The decimals kept for the writers cover lengths given with an exponent, so
// that 1e-05 is not saved back as 0; a huge exponent is capped, even one beyond a long's range.
TEST_F(TreeReadTest, LengthsWithAnExponentKeepTheirDecimals)
{
    makeTaxa(5);
    const struct {
        const char *tree;
        uint32_t decimals;
    } cases[] = {
        {"(t1:0.5,t2:1.5e-3,(t3:2E-2,t4:1e-05):1.25e+2,t5:3.0e1)", 5},
        {"(t1:0.25,t2:1.5E+1,(t3:2,t4:1):1,t5:7.125e1)", 2},
        {"(t1:1.e-3,t2:1,(t3:2,t4:1):1,t5:1e-300)", 12},
        // Exponents beyond a long's range.
        {"(t1:0e-99999999999999999999,t2:0.1,(t3:0.1,t4:0.1):0.1,t5:0.5)", 12},
        {"(t1:0e99999999999999999999,t2:0.1,(t3:0.1,t4:0.1):0.1,t5:0.5)", 1},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(readBlock(std::string("tree a = [&U] ") + c.tree + ";"), 0) << c.tree;
        EXPECT_EQ(getMaxBranchLenDecimals(getMainTreeBuffer(nullptr)), c.decimals) << c.tree;
    }
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

// A plain tree file carries weights and rooting in the comments ahead of a
// tree, as a TREES block does, and refuses the same bad weights; a comment
// after the last tree is no tree.
TEST_F(TreeReadTest, PlainFilesReadTheCommentsAheadOfEachTree)
{
    makeTaxa(3);
    auto readPlain = [&](const std::string &text) {
        feed(text);
        return processTreesBlock(kKeepReplace, kReadPlainFile | kReadStoreWeights, 0, 0xFFFFFFFFu, false, false,
                                 false, false);
    };
    ASSERT_EQ(readPlain("[a note] [&U] [&W 2] (t1,t2,t3);\n[&U][&W 1/4] (t2,(t1,t3));\n[the end]\n"), 0);
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    ASSERT_EQ(buf->numTrees, 2u);
    EXPECT_FALSE(buf->rooted);
    EXPECT_EQ(getTreeWtBuf(buf)[0], 2.0);
    EXPECT_EQ(getTreeWtBuf(buf)[1], 0.25);
    const struct {
        const char *text;
        uint32_t code;
    } bad[] = {
        {"[&W nan] (t1,t2,t3);", 771},
        {"(t1,t2,t3);\n[&W 0x10] (t1,t2,t3);", 771},
        {"[&W -1] (t1,t2,t3);", 770},
        // Beyond the bound that keeps weighted sums finite.
        {"[&W 1e308] (t1,t2,t3);", 771},
        {"[&W 1e15/1e-15] (t1,t2,t3);", 771},
    };
    for (const auto &c : bad) {
        gErrors.clear();
        EXPECT_EQ(readPlain(c.text), 1) << c.text;
        ASSERT_FALSE(gErrors.empty()) << c.text;
        EXPECT_EQ(gErrors.back(), c.code) << c.text;
        EXPECT_EQ(getMainTreeBuffer(nullptr)->numTrees, 2u) << c.text;
    }
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


// What a read leaves behind, for comparing the whole-description reader
// with the character-by-character one: the result and errors, each tree
// as written with its lengths, its name and weight, and where the input
// stands afterwards.
struct ReadOutcome {
    int rc = 0;
    std::vector<uint32_t> errors;
    std::vector<std::string> trees;
    uint32_t charCount = 0;
    uint32_t lineNum = 0;
    std::string next;
    bool operator==(const ReadOutcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const ReadOutcome &o)
{
    os << "rc " << o.rc << " errors";
    for (uint32_t e : o.errors)
        os << ' ' << e;
    os << " at " << o.lineNum << ':' << o.charCount << " before '" << o.next << "'";
    for (const std::string &t : o.trees)
        os << "\n  " << t;
    return os;
}

class WholeDescriptionTest : public TreeReadTest {
protected:
    void TearDown() override
    {
        setWholeDescriptionReading(true);
        std::remove(path_.c_str());
        TreeReadTest::TearDown();
    }
    // Taxa t1..t9 with awkward labels among them.
    void makeAwkwardTaxa()
    {
        makeTaxa(9);
        ASSERT_EQ(storeTaxLabel(d, 5, "two words"), 0);
        ASSERT_EQ(storeTaxLabel(d, 6, "it's"), 0);
        ASSERT_EQ(storeTaxLabel(d, 7, "semi;colon"), 0);
        ASSERT_EQ(storeTaxLabel(d, 8, "Mixed-Case"), 0);
    }
    std::string describe(uint32_t n)
    {
        TreeBuffer *buf = getMainTreeBuffer(nullptr);
        AuxOut *aux = openAuxOutStream(path_.c_str(), true, false);
        EXPECT_NE(aux, nullptr);
        Tree *tree = createTree(false);
        EXPECT_EQ(getTree(buf, n, tree), 0);
        outputTreeDescription(tree, false, kDescrBrlens, false, false, ',', 5, newickTreeLabel, d);
        destroyTree(tree, false);
        EXPECT_EQ(closeAuxOutStream(aux), 0);
        std::string text;
        if (FILE *fp = std::fopen(path_.c_str(), "r")) {
            for (int c; (c = std::fgetc(fp)) != EOF;)
                text += static_cast<char>(c);
            std::fclose(fp);
        }
        return getTreeName(buf, n) + " w" + std::to_string(getTreeWtBuf(buf) ? getTreeWtBuf(buf)[n - 1] : 1.0) +
               (buf->rooted ? " R " : " U ") + text;
    }
    // Reads the block from a document, or from a file (written as given,
    // line ends and all) with the whole-description reader on or off.
    ReadOutcome read(const std::string &body, bool whole, bool fromFile)
    {
        setWholeDescriptionReading(whole);
        clearTrees(false, false);
        gErrors.clear();
        ReadOutcome o;
        InputStatus in{};
        const std::string text = body + "\nend;\nnext";
        if (fromFile) {
            FILE *fp = std::fopen(path_.c_str(), "wb");
            std::fwrite(text.data(), 1, text.size(), fp);
            std::fclose(fp);
            EXPECT_EQ(openInputFile(path_.c_str(), 0, nullptr, &in), 0);
        } else {
            feed(text);
        }
        o.rc = processTreesBlock(kKeepReplace, kReadStoreBrlens | kReadStoreWeights, 0, 0xFFFFFFFFu, false, false,
                                 false, false);
        o.errors = gErrors;
        o.charCount = getActiveInput()->pos.charCount;
        o.lineNum = getActiveInput()->pos.lineNum;
        o.next = nextWord();
        if (fromFile)
            closeInputFile(&in);
        for (uint32_t n = 1; n <= getMainTreeBuffer(nullptr)->numTrees; n++)
            o.trees.push_back(describe(n));
        return o;
    }
    std::vector<std::string> harvest(const std::string &body, bool whole)
    {
        setWholeDescriptionReading(whole);
        feed(body + "\nend;\n");
        std::vector<std::string> names;
        EXPECT_EQ(harvestTaxonNames(names), 0) << body;
        return names;
    }
    std::string path_ = "/tmp/vorn_whole_" + std::to_string(getpid());
};

TEST_F(WholeDescriptionTest, ReadingWholeEqualsReadingByCharacter)
{
    makeAwkwardTaxa();
    const char *blocks[] = {
        // Quoted labels (blanks, doubled quotes, trailing blanks), a ";"
        // inside quotes and comments, underscores, comments inside words and
        // around lengths, case, exponents and signs.
        "tree a = [&U] ('semi;colon':0.5,'it''s':1E-3,(t1[c],t[in a word]2 [ nested [c] ]):2.25,'t3  ':-0.125,"
        "two_words);",
        "tree b = [&U] ('two words':0.5,'it''s':1E-3,(t1,t2):2.25,t3,mixed-case:1,'semi;colon':3);",
        "tree b2 = [&U] ('two words':0.5,'it''s':1E-3,(t1,t2):2.25,t3,'MIXED-case':1,'semi;colon':3);",
        "tree c = [&R] ((T1 : [a] 1.50 [b] ,t2:+2)0.95:0.1,(t3,t4)'node label':7,((t5)):3)[root];",
        "tree d = [&U] ((t1,t2)95,(t3,[;] t4)100:1,'two words'[x;y],it''s);",
        "tree e = [&U] (_t1,t2,t3);",
        "tree f = [&U] (t1:1.5:2,t2,t3);",
        "tree g = [&R] (t1,t2,t3-t5);",
        "tree h = [&U] (t1,t2,(t3,t4)[!visible],t5);",
        "tree i = [&U] (t1,t2,(t3,t4';\n",
        "translate 1 t1, 2 'two words', 3 'it''s', 4 t4, 5 'mixed-case';\n"
        "tree j = [&U] (1:1,2:2,(3:3,4:4)0.5:5,5:0.25);\ntree k = [&U] (1,t2,(t3,'two words'),'Mixed-Case');",
        "tree l = [&U] [&W 3/4] (t1,t2,\r\n(t3,t4)\r\n,t5);\r\ntree m = [&U] (t1,\x01t2,t3\x7f);",
        "tree n = [&U] (t1,t2,t3);\ntree o = [&U] (t1,t2,(t3,t4);\n",
        "tree p = [&U] (t1,t1,t2);",
        "tree q = [&U] (t1,t2,t3,t4,t5,t6,t7,t8,t9,(t1));",
    };
    for (const char *body : blocks)
        for (bool fromFile : {false, true}) {
            ReadOutcome general = read(body, false, fromFile);
            ReadOutcome whole = read(body, true, fromFile);
            // A skipped control byte is counted once by the whole reader;
            // the character reader loses the count when it puts back the
            // character after one. The count is not used for positioning.
            if (std::strpbrk(body, "\x01\x7f"))
                general.charCount = whole.charCount = 0;
            EXPECT_EQ(whole, general) << body << (fromFile ? " (file)" : " (document)");
        }
    // The awkward descriptions that are sound are read at all.
    EXPECT_EQ(read(blocks[0], true, true).trees.size(), 1u);
    EXPECT_EQ(read(blocks[2], true, false).trees.size(), 1u);
    EXPECT_EQ(read(blocks[10], true, false).trees.size(), 2u);
}

TEST_F(WholeDescriptionTest, HarvestingWholeEqualsHarvestingByCharacter)
{
    makeTaxa(3);
    const char *blocks[] = {
        "tree a = ('two words':0.5,'it''s'[x]:1,(B_c[in]d,(E,F)0.9:2)'lab':1,a,A);",
        "translate 1 Zeta, 2 'two words', 3 zeta;\ntree b = (1,2,(3,[;]Q));\ntree c = (q,'semi;colon',R);",
        "tree d = (x:1e-3,(y,z)95[!visible],w);",
    };
    for (const char *body : blocks)
        EXPECT_EQ(harvest(body, true), harvest(body, false)) << body;
    EXPECT_EQ(harvest(blocks[1], true), (std::vector<std::string>{"Zeta", "two words", "Q", "semi;colon", "R"}));
    // A key given twice is refused while harvesting too, naming the key.
    datatest::gErrorText.clear();
    feed("translate 1 Homo, 1 Pan; tree a = (1,x,y);\nend;\n");
    std::vector<std::string> names;
    EXPECT_EQ(harvestTaxonNames(names), 1);
    EXPECT_NE(datatest::gErrorText.find("\"1\" is given more than once"), std::string::npos) << datatest::gErrorText;
}

}  // namespace
