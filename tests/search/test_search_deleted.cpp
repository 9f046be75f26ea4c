#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <set>

#include "data/vorn_data.h"
#include "parsimony/treelen.h"
#include "qel/qel_io.h"
#include "search/countswaps.h"
#include "search/hsearch.h"
#include "search/search_settings.h"
#include "search/stepwise.h"
#include "parsimony/pars_test_support.h"
#include "search_fixture.h"
#include "trees/treeedit.h"

namespace {

// Searches after a deletion must see exactly the nondeleted rows: the same
// trees, scores and transcript as a search of the matrix without those rows.
class SearchDeleted : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        saved = hs;
        savedSrch = srch;
        srch.dStatus = 0;
        // The rooted searches hang their trees from the all-missing
        // ancestor on purpose: the question about such an ancestor is
        // answered yes.
        savedIo = gQelIo;
        gQelIo.defaultMode = false;
        gQelIo.stdinNotTerminal = true;
        for (int i = 0; i < 200; i++)
            answers += "y\n";
        terminal = MemoryTerminal{answers.data(), answers.size(), 0};
        setTerminalInput(memoryTerminalByte, &terminal);
    }
    void TearDown() override
    {
        setTerminalInput(nullptr, nullptr);
        gQelIo = savedIo;
        hs = saved;
        srch = savedSrch;
        SearchTest::TearDown();
    }

    static std::vector<std::string> randomMatrix(std::mt19937 &gen, uint32_t ntax, uint32_t nchar)
    {
        std::vector<std::string> rows(ntax, std::string(nchar, '0'));
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t lo = gen() % ntax, hi = lo + gen() % (ntax - lo);
            for (uint32_t t = 0; t < ntax; t++) {
                const uint32_t r = gen() % 100;
                rows[t][c] = r < 4 ? '?' : ((t >= lo && t <= hi) != (r < 12)) ? '1' : '0';
            }
        }
        return rows;
    }

    // Labels follow the original rows, so that both data sets name a taxon
    // alike.
    void label(const std::vector<uint32_t> &rowsOf)
    {
        for (uint32_t t = 0; t < rowsOf.size(); t++)
            ASSERT_EQ(storeTaxLabel(data, t, ("T" + std::to_string(rowsOf[t])).c_str()), 0);
    }

    void deleteRows(const std::vector<uint32_t> &gone) { deleteRowsAndPrepare(data, gone); }

    struct Outcome {
        std::vector<std::string> trees;
        std::vector<double> scores;
        std::string transcript;
    };

    Outcome search(TreeBuffer *buf)
    {
        gPrinted.clear();
        EXPECT_EQ(runHeuristicSearch(data), 0);
        Outcome o;
        for (uint32_t k = 0; k < numTreesInBuffer(buf); k++) {
            o.trees.emplace_back(reinterpret_cast<const char *>(treeLocation(buf, k)), buf->bytesPerTree);
            o.scores.push_back(getTreeScoreArray(buf)[k]);
        }
        o.transcript = withoutVolatileLines(gPrinted);
        return o;
    }

    HSearchOptions saved;
    SearchSettings savedSrch;
    QelIo savedIo{};
    std::string answers;
    MemoryTerminal terminal{};
};

// Fitch length straight from the text rows: tip t of the tree is row
// map[t], '?' being either state. The tree hangs from a tip or from the
// all-missing ancestor.
double naiveLength(const Tree *t, const std::vector<std::string> &rows, const std::vector<uint32_t> &map)
{
    double len = 0;
    for (size_t c = 0; c < rows[0].size(); c++) {
        auto tipSet = [&](int32_t i) -> unsigned {
            const char x = rows[map[static_cast<size_t>(i)]][c];
            return x == '?' ? 3u : x == '1' ? 2u : 1u;
        };
        std::function<unsigned(const TreeNode *)> down = [&](const TreeNode *n) -> unsigned {
            if (!n->firstChild)
                return tipSet(n->index);
            unsigned s = 3;
            for (const TreeNode *ch = n->firstChild; ch; ch = ch->nextSib) {
                const unsigned x = down(ch);
                if (!(s & x))
                    len += 1, s |= x;
                else
                    s &= x;
            }
            return s;
        };
        const unsigned below = down(t->root->firstChild);
        if (t->root->index >= 0 && !(below & tipSet(t->root->index)))
            len += 1;
    }
    return len;
}

// Every addition sequence under every swapper, unrooted and rooted, after
// deleting rows: the kept trees hold exactly the active taxa, carry their
// true length and equal, byte for byte, the search of the reduced matrix.
TEST_F(SearchDeleted, SearchesEqualTheSearchOfTheReducedMatrix)
{
    std::mt19937 gen(77);
    int trial = 0;
    for (uint32_t seq : {kAddSeqSimple, kAddSeqClosest, kAddSeqAsIs, kAddSeqRandom, kAddSeqFurthest})
        for (uint32_t swap : {1u, 2u, 3u}) {
            SCOPED_TRACE(testing::Message() << "addSeq " << seq << " swap " << swap << " trial " << trial);
            const bool rooted = trial % 4 == 3;
            const uint32_t ntax = 9 + trial % 3;
            const auto rows = randomMatrix(gen, ntax, 18);
            std::vector<uint32_t> gone{0, 4, ntax - 1};
            if (trial % 2)
                gone = {2, 3};
            std::vector<std::string> kept;
            std::vector<uint32_t> map;
            for (uint32_t r = 0; r < ntax; r++)
                if (std::find(gone.begin(), gone.end(), r) == gone.end())
                    kept.push_back(rows[r]), map.push_back(r);
            const auto nActive = static_cast<uint32_t>(kept.size());
            auto setOptions = [&] {
                hs = HSearchOptions{};
                hs.addSeq = seq;
                hs.swap = swap;
                hs.hold = trial % 5 == 2 ? 2 : 1;
                hs.refTax = seq == kAddSeqSimple ? map[1] + 1 : 0;  // an original number
                hs.nreps = seq == kAddSeqRandom ? 3 : 1;
                hs.rseed[0] = 5 + trial;
                srch.includeAnc = rooted;
            };
            ++trial;

            setOptions();
            makeData(rows);
            std::vector<uint32_t> all(ntax);
            std::iota(all.begin(), all.end(), 0u);
            label(all);
            deleteRows(gone);
            ASSERT_EQ(data->nActive, static_cast<int32_t>(nActive));
            TreeBuffer *buf = activeBuffer(nActive, 500);
            const Outcome afterDeletion = search(buf);
            ASSERT_FALSE(afterDeletion.trees.empty());
            TreePtr t(createTreeForTaxa(nActive, nActive, true));
            // Stored trees may hold polytomies (zero-length branches are
            // collapsed); the swap count needs a binary tree, resolved the
            // same way for both searches.
            auto countSwaps = [&](TreeBuffer *from) {
                EXPECT_EQ(getTree(from, 1, t.get()), 0);
                if (!determineIfTreeIsBinary(t.get())) {
                    dichotomizeTree(t.get(), [](void *, uint32_t, uint32_t *a, uint32_t *b) { *a = 0, *b = 1; },
                                    nullptr);
                    setTraversalSeq(t.get());
                }
                return countRearrangements(t.get(), swap, 0);
            };
            const double swaps = countSwaps(buf);
            for (uint32_t k = 1; k <= numTreesInBuffer(buf); k++) {
                ASSERT_EQ(getTree(buf, k, t.get()), 0);
                std::set<int32_t> tips;
                for (TreeNode *n = t->root; n; n = nextPreorderNode(n, t->root))
                    if (!n->firstChild || (n == t->root && n->index >= 0))
                        tips.insert(n->index);
                tips.erase(-1);
                EXPECT_EQ(tips.size(), nActive);
                EXPECT_EQ(*tips.rbegin(), static_cast<int32_t>(nActive) - 1);
                setTraversalSeq(t.get());
                pointTreeAtPackedData(t.get(), data);
                EXPECT_DOUBLE_EQ(calcParsimonyScore(data, t.get(), false), afterDeletion.scores[k - 1]);
                if (!rooted) {
                    EXPECT_DOUBLE_EQ(naiveLength(t.get(), rows, map), afterDeletion.scores[k - 1]) << "tree " << k;
                }
            }

            dropData();
            setOptions();
            hs.refTax = seq == kAddSeqSimple ? 2 : 0;
            makeData(kept);
            label(map);
            TreeBuffer *reducedBuf = activeBuffer(nActive, 500);
            const Outcome reduced = search(reducedBuf);
            EXPECT_EQ(afterDeletion.trees, reduced.trees);
            EXPECT_EQ(afterDeletion.scores, reduced.scores);
            EXPECT_EQ(afterDeletion.transcript, reduced.transcript);
            EXPECT_EQ(countSwaps(reducedBuf), swaps);
            dropData();
        }
}

// The reference taxon of the simple sequence is named by its original
// number; a deleted one falls back to the first nondeleted taxon.
TEST_F(SearchDeleted, ReferenceTaxonIsAnOriginalNumber)
{
    makeData({"1100", "1010", "0110", "0001", "1111", "0000"});
    deleteRows({0, 3});
    EXPECT_EQ(stepwiseReferenceTaxon(data, 0), 0u);
    EXPECT_EQ(stepwiseReferenceTaxon(data, 1), 0u);  // deleted
    EXPECT_EQ(stepwiseReferenceTaxon(data, 3), 1u);
    EXPECT_EQ(stepwiseReferenceTaxon(data, 6), 3u);
    EXPECT_EQ(stepwiseReferenceTaxon(data, 7), 0u);  // no such taxon
}

}  // namespace
