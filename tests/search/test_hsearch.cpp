#include <chrono>
#include <ctime>
#include <functional>
#include <random>
#include <thread>
#include <tuple>

#include "search/hsprep.h"
#include "search/search.h"
#include "parsimony/treelen.h"
#include "qel/qel_interrupts.h"
#include "search/countswaps.h"
#include "search/critscore.h"
#include "search/hsearch.h"
#include "search/islands.h"
#include "search/nniswap.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "search/stepwise.h"
#include "search/xsearch.h"
#include "search/swap_test_support.h"
#include "trees/treeedit.h"

namespace {

// Characters evolved on a random caterpillar-free tree: each character is
// the membership of a random clade, with a little noise, so that the most
// parsimonious trees are few and reachable.
std::vector<std::string> cladeMatrix(std::mt19937 &gen, uint32_t ntax, uint32_t nchar, int noisePct)
{
    std::vector<uint32_t> order(ntax);
    for (uint32_t i = 0; i < ntax; i++)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), gen);
    std::vector<std::string> rows(ntax, std::string(nchar, '0'));
    for (uint32_t c = 0; c < nchar; c++) {
        // Nested clades of a random tree in prefix form: a prefix of the order.
        const uint32_t size = 2 + gen() % (ntax - 3);
        const uint32_t start = gen() % (ntax - size + 1);
        for (uint32_t i = start; i < start + size; i++)
            rows[order[i]][c] = '1';
        for (uint32_t t = 0; t < ntax; t++)
            if (static_cast<int>(gen() % 100) < noisePct)
                rows[t][c] = rows[t][c] == '0' ? '1' : '0';
    }
    return rows;
}

class HSearchTest : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        saved = hs;
        savedSrch = srch;
        hs = HSearchOptions{};
        hs.swap = 1;
        srch.dStatus = 0;
    }
    void TearDown() override
    {
        hs = saved;
        srch = savedSrch;
        SearchTest::TearDown();
    }

    // Full rescoring of tree k of the buffer.
    double rescore(TreeBuffer *buf, uint32_t k, Tree *t)
    {
        EXPECT_EQ(getTree(buf, k, t), 0);
        setTraversalSeq(t);
        pointTreeAtPackedData(t, data);
        return calcParsimonyScore(data, t, false);
    }

    std::vector<std::string> bufferTexts(TreeBuffer *buf)
    {
        std::vector<std::string> out;
        for (uint32_t k = 0; k < numTreesInBuffer(buf); k++)
            out.emplace_back(reinterpret_cast<const char *>(treeLocation(buf, k)), buf->bytesPerTree);
        return out;
    }

    HSearchOptions saved;
    SearchSettings savedSrch;
};

// Every tree the search keeps carries its true length, all kept trees are
// equally short, none has a shorter NNI neighbour, and on matrices with a
// clear signal the random-addition search reaches the exhaustive optimum.
TEST_F(HSearchTest, KeptTreesAreShortestAndScoredExactly)
{
    std::mt19937 gen(2024);
    for (int trial = 0; trial < 6; trial++) {
        SCOPED_TRACE(trial);
        dropData();
        const uint32_t ntax = trial < 4 ? 7 : 24;
        makeData(cladeMatrix(gen, ntax, ntax < 10 ? 14 : 60, trial % 2 ? 8 : 3));
        TreeBuffer *buf = activeBuffer(ntax, 500);
        hs.addSeq = kAddSeqRandom;
        hs.nreps = 8;
        hs.rseed[0] = 11 + trial;
        ASSERT_EQ(runHeuristicSearch(data), 0);
        const uint32_t kept = numTreesInBuffer(buf);
        ASSERT_GT(kept, 0u);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        const double best = getTreeScoreArray(buf)[0];
        for (uint32_t k = 1; k <= kept; k++) {
            EXPECT_DOUBLE_EQ(getTreeScoreArray(buf)[k - 1], best);
            EXPECT_DOUBLE_EQ(rescore(buf, k, t.get()), best) << "tree " << k;
            // No neighbour one interchange away is shorter.
            setTraversalSeq(t.get());
            std::vector<std::pair<TreeNode *, TreeNode *>> moves;
            for (TreeNode *x = t->root; x; x = x->next) {
                TreeNode *f = x->anc;
                if (!f || !f->anc || !f->anc->firstChild->nextSib)
                    continue;
                TreeNode *g = f->anc;
                moves.emplace_back(x, g->firstChild == f ? f->nextSib : g->firstChild);
            }
            for (auto [x, u] : moves) {
                exchangeSubtrees(t.get(), x, u);
                setTraversalSeq(t.get());
                EXPECT_GE(calcParsimonyScore(data, t.get(), false), best);
                exchangeSubtrees(t.get(), x, u);
            }
        }
        if (ntax <= 7) {
            EXPECT_DOUBLE_EQ(best, swaptest::exhaustiveBest(data, ntax));
        }
    }
}

// SPR and TBR run through the cut-and-reconnect swapper: the trees kept are
// scored exactly and, with random addition on small matrices, reach the
// exhaustive optimum.
TEST_F(HSearchTest, SprAndTbrKeepExactScoresAndReachTheOptimum)
{
    std::mt19937 gen(4242);
    for (int trial = 0; trial < 6; trial++) {
        SCOPED_TRACE(trial);
        dropData();
        const uint32_t ntax = 8;
        makeData(cladeMatrix(gen, ntax, 16, trial % 2 ? 6 : 3));
        TreeBuffer *buf = activeBuffer(ntax, 500);
        hs.swap = trial % 2 ? 2 : 3;
        hs.addSeq = kAddSeqRandom;
        hs.nreps = 6;
        hs.rseed[0] = 31 + trial;
        ASSERT_EQ(runHeuristicSearch(data), 0);
        const uint32_t kept = numTreesInBuffer(buf);
        ASSERT_GT(kept, 0u);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        const double best = getTreeScoreArray(buf)[0];
        for (uint32_t k = 1; k <= kept; k++)
            EXPECT_DOUBLE_EQ(rescore(buf, k, t.get()), best) << "tree " << k;
        EXPECT_DOUBLE_EQ(best, swaptest::exhaustiveBest(data, ntax));
    }
}

TEST_F(HSearchTest, SameSeedGivesSameTreesAndIslands)
{
    std::mt19937 gen(5);
    makeData(cladeMatrix(gen, 16, 30, 15));
    TreeBuffer *buf = activeBuffer(16, 500);
    hs.addSeq = kAddSeqRandom;
    hs.nreps = 6;
    hs.rseed[0] = 99;
    ASSERT_EQ(runHeuristicSearch(data), 0);
    const auto first = bufferTexts(buf);
    const std::string firstOut = gPrinted.substr(gPrinted.find("Heuristic search completed"));
    gPrinted.clear();
    ASSERT_EQ(runHeuristicSearch(data), 0);
    EXPECT_EQ(bufferTexts(buf), first);
    std::string again = gPrinted.substr(gPrinted.find("Heuristic search completed"));
    // Only the time line may differ.
    EXPECT_EQ(withoutVolatileLines(again), withoutVolatileLines(firstOut));
    EXPECT_NE(firstOut.find("Tree-island profile:"), std::string::npos);
}

TEST_F(HSearchTest, RefusalsNameTheirError)
{
    makeData({"1100", "1010", "0110", "0001", "1111"});
    activeBuffer(5);
    struct Case {
        std::function<void()> set;
        uint32_t code;
    };
    const Case cases[] = {
        {[] { hs.chuckScore = 5; }, 520},
        {[] { hs.chuckScore = 5, hs.nchuck = 2, srch.keep = 3; }, 543},
        {[] { hs.nbest = 3, hs.steepest = 1; }, 546},
        {[] { hs.startSource = kStartCurrent; }, 504},
        {[] { srch.enforce = 1; }, 512},
    };
    for (const Case &c : cases) {
        hs = HSearchOptions{};
        hs.swap = 1;
        srch = savedSrch;
        srch.dStatus = 0;
        c.set();
        gErrorCodes.clear();
        EXPECT_EQ(runHeuristicSearch(data), 1);
        ASSERT_EQ(gErrorCodes.size(), 1u);
        EXPECT_EQ(gErrorCodes[0], c.code);
    }
}

// Under integer weights a length of 2^31 or more is an overflow, whether a
// whole tree is scored or a search adds its steps up: the heuristic search,
// branch and bound (its bound found or given) and the exhaustive search end
// with the error a whole tree's length gives and keep no tree. With a
// weight that keeps every tree below 2^31 they keep the whole-tree length.
TEST_F(HSearchTest, LengthsPast31BitsOverflowInSearchesAsInTreeLengths)
{
    const ExactSearchOptions savedBbex = bbex;
    bbex.fd = 0;  // no score distribution
    makeData({"110000", "101000", "011000", "000100", "111111", "000010"});
    TreeBuffer *buf = activeBuffer(6);
    const double big = 2147483648.0;  // 2^31; the first character takes one step at least, three at most
    for (const double w : {big, big / 8}) {
        SCOPED_TRACE(w);
        data->weights[0] = w;
        gPars.pending = 1;
        ASSERT_EQ(prepareParsimonyData(data), 0);
        TreePtr t(createTreeForTaxa(6, 6, true));
        const struct {
            const char *name;
            double upBound;
            bool exact;
            std::function<int()> run;
        } searches[] = {
            {"hsearch", 0, false, [&] { return runHeuristicSearch(data); }},
            // Replicates run ahead on other threads meet the overflow too;
            // the search reports it once.
            {"hsearch, random addition on threads", 0, false,
             [&] {
                 const HSearchOptions plain = hs;
                 hs.addSeq = kAddSeqRandom, hs.nreps = 6;
                 setHSearchThreads(4);
                 const int rc = runHeuristicSearch(data);
                 setHSearchThreads(0);
                 hs = plain;
                 return rc;
             }},
            {"bandb", 0, true, [&] { return exactTreeSearch(false, 1); }},
            {"bandb upbound", 1e15, true, [&] { return exactTreeSearch(false, 1); }},
            {"alltrees", 0, true, [&] { return exactTreeSearch(true, 1); }},
        };
        for (const auto &search : searches) {
            gErrorCodes.clear();
            bbex.upBound = search.upBound;
            const int rc = search.run();
            if (w == big) {
                EXPECT_NE(rc, 0) << search.name;
                EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{516}) << search.name;
                EXPECT_EQ(numTreesInBuffer(buf), 0u) << search.name;
                continue;
            }
            ASSERT_EQ(rc, 0) << search.name;
            ASSERT_GT(numTreesInBuffer(buf), 0u) << search.name;
            const double kept = search.exact ? lastXsearchResult().best : getTreeScoreArray(buf)[0];
            EXPECT_DOUBLE_EQ(rescore(buf, 1, t.get()), kept) << search.name;
            EXPECT_GE(kept, w) << search.name;
        }
    }
    // Swapping from a tree in memory whose length overflows reports it too,
    // instead of the overflowing length of a neighbour.
    data->weights[0] = big / 8;
    gPars.pending = 1;
    ASSERT_EQ(prepareParsimonyData(data), 0);
    ASSERT_EQ(runHeuristicSearch(data), 0);
    data->weights[0] = big;
    gPars.pending = 1;
    ASSERT_EQ(prepareParsimonyData(data), 0);
    hs.startSource = kStartCurrent;
    gErrorCodes.clear();
    EXPECT_NE(runHeuristicSearch(data), 0);
    EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{516});
    bbex = savedBbex;
}

// Two replicates that end on the same trees make one island hit twice; an
// island whose trees were discarded keeps only its score and size.
TEST(Islands, HitsMergesAndOrder)
{
    ASSERT_EQ(allocIslands(4), 0);
    setIslandContext(IslandContext{0, 0, false, false, 0, false, 0});
    addNewIsland(1, 3, 3, 10.0);
    incrementIslandCount(2);
    incrementIslandCount(7);  // in no island
    EXPECT_EQ(getIsland(0)->timesHit, 2u);
    setIslandContext(IslandContext{0, 1, false, false, 0, false, 0});
    doUnsavedIsland(12.0, 2);
    doUnsavedIsland(12.0, 2);
    doUnsavedIsland(12.0, 5);
    ASSERT_EQ(numIslands(), 3u);
    EXPECT_EQ(getIsland(1)->timesHit, 2u);
    EXPECT_EQ(getIsland(1)->firstRep, 2u);
    markIslandsUnsaved();
    EXPECT_EQ(getIsland(0)->firstTree, 0u);
    EXPECT_LT(compareIslands(getIsland(0), getIsland(1)), 0);  // better score first
    for (int i = 0; i < 20; i++)
        addNewIsland(0, 0, 1, 20.0);  // grows past its first capacity
    EXPECT_EQ(numIslands(), 23u);
    deallocIslands();
}

TEST_F(HSearchTest, StatusRowsFollowTheirLayout)
{
    showHSearchStatusHeader(false);
    showHSearchStatusRow(false, "0:00:05", 1, 7, 1234, 3, 2, 48, 48);
    showHSearchStatusRow(false, "0:00:10", 1, -1, 2e10, 3, -1, 47, 47);
    const std::string expected =
        "\n    Elapsed   Taxa      Rearr.  -- Number of trees --        Best\n"
        "       time  added      tried      saved   to swap        tree(s)\n" +
        std::string(65, '-') + "\n" +
        "    0:00:05      7       1234          3         2             48\n"
        "    0:00:10      - 2.0000e+10          3         -             47\n";
    EXPECT_EQ(gPrinted, expected);
}

// A row is due only once dStatus seconds have passed since the last one (or
// the start), not when the wall clock's second changes in between.
TEST_F(HSearchTest, StatusRowDueOnlyAfterDStatusSeconds)
{
    const auto saved = std::make_pair(srch.statusWin, srch.dStatus);
    srch.statusWin = 1;
    srch.dStatus = 1;
    using namespace std::chrono_literals;
    auto nextSecond = [] {
        const time_t t0 = std::time(nullptr);
        while (std::time(nullptr) == t0)
            std::this_thread::sleep_for(1ms);
    };
    nextSecond();
    std::this_thread::sleep_for(500ms);
    beginSearchStatus();
    nextSecond();  // about half a second after the start
    EXPECT_FALSE(searchStatusDue());
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(searchStatusDue());
    EXPECT_FALSE(searchStatusDue());
    EXPECT_EQ(searchElapsedString(), "0:00:01");
    std::tie(srch.statusWin, srch.dStatus) = saved;
}

// Inside a resampling analysis the rows name its replicate as well; with
// random-addition replicates too, the last columns narrow to fit.
TEST_F(HSearchTest, ReplicatedStatusRowsNameTheOuterReplicate)
{
    showHSearchStatusHeader(false, true);
    showHSearchStatusRow(false, "0:01:05", 1, 7, 1234, 3, 2, 48, 48, "12");
    EXPECT_EQ(gPrinted, "\n    Elapsed          Taxa      Rearr.  -- Number of trees --        Best\n"
                        "       time    Rep  added      tried      saved   to swap        tree(s)\n" +
                            std::string(72, '-') + "\n" +
                            "    0:01:05     12      7       1234          3         2             48\n");
    gPrinted.clear();
    showHSearchStatusHeader(true, true);
    showHSearchStatusRow(true, "0:01:05", 4, -1, 1234, 3, -1, 1048, 1047, "3b");
    const std::string rule(90, '-');
    EXPECT_EQ(gPrinted, "\n    Elapsed        AddSeq   Taxa      Rearr. -- Number of trees --   ----- Best trees ----\n"
                        "       time    Rep    rep  added      tried     saved   to swap      this rep      overall\n" +
                            rule + "\n" +
                            "    0:01:05     3b      4      -       1234         3         -          1048         1047\n");
    // Each row is as wide as its heading's rule.
    const std::string row = gPrinted.substr(gPrinted.rfind(rule) + rule.size() + 1);
    EXPECT_EQ(row.size(), rule.size() + 1);
}

// NNI visits two neighbours per internal edge of an unrooted binary tree.
TEST_F(HSearchTest, CountSwapsNNIIsTwicetheInternalEdges)
{
    std::mt19937 gen(3);
    for (uint32_t ntax : {4u, 5u, 9u, 17u}) {
        dropData();
        makeData(cladeMatrix(gen, ntax, 6, 10));
        activeBuffer(ntax);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        make3Tree(t.get(), ntax, 0, 1, 2);
        for (uint32_t x = 3; x < ntax; x++) {
            setTraversalSeq(t.get());
            std::vector<TreeNode *> edges;
            for (TreeNode *e = t->root->next; e; e = e->next)
                edges.push_back(e);
            binConnectLeaf(nodeOfIndex(t.get(), static_cast<int32_t>(x)), edges[gen() % edges.size()],
                           findFreeNode(t.get()));
        }
        setTraversalSeq(t.get());
        EXPECT_EQ(countRearrangements(t.get(), 1, 0), 2.0 * (ntax - 3)) << ntax;
        EXPECT_EQ(countRearrangements(t.get(), 0, 0), 0.0);
    }
}

// With the buffer full and no increase allowed, a search on a matrix with a
// plateau of equally short trees refuses thousands of stores; the limit line
// names each tree being swapped once, not once per refused store.
TEST_F(HSearchTest, MaxtreesLimitLineOncePerSwappedTree)
{
    std::mt19937 gen(14);
    makeData(cladeMatrix(gen, 14, 5, 0));
    setMainTreeBuffer(activeBuffer(14));  // the Maxtrees limit holds for the main buffer
    const TreeInfo savedInfo = treeInfo;
    treeInfo.maxtrees = 20;
    treeInfo.increase = static_cast<uint32_t>(MaxtreesAction::kLeave);
    gPars.collapse = 0;
    hs.swap = 3;
    EXPECT_EQ(runHeuristicSearch(data), 0);
    treeInfo = savedInfo;
    setMainTreeBuffer(nullptr);
    std::vector<std::string> swapped;
    const std::string key = "'Maxtrees' limit (20) hit while swapping on tree #";
    for (size_t at = gPrinted.find(key); at != std::string::npos; at = gPrinted.find(key, at + 1))
        swapped.push_back(gPrinted.substr(at + key.size(), gPrinted.find(' ', at + key.size()) - at - key.size()));
    ASSERT_FALSE(swapped.empty()) << gPrinted;
    std::vector<std::string> distinct = swapped;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    EXPECT_EQ(swapped.size(), distinct.size());
    EXPECT_LE(swapped.size(), 21u);  // the starting tree and the 20 trees kept
}

}  // namespace

namespace {

// A criterion scoring trees by their parsimony length, whose swap screen
// overstates every neighbour by more than its margin: the screen alone
// leaves every neighbour out, so a search from a poor tree ends there.
struct OverstatingScreen {
    static inline DataInfo *data = nullptr;
    static inline double window = 0.0;
    static inline std::vector<double> misses;
    static constexpr double kOverstated = 20.0, kMargin = 2.0;

    static double length(Tree *tree, double)
    {
        setTraversalSeq(tree);
        pointTreeAtPackedData(tree, data);
        return calcParsimonyScore(data, tree, false);
    }
    static bool begin(Tree *) { return true; }
    static void lengths(Tree *, bool) {}
    static double local(Tree *tree, TreeNode *, TreeNode *, TreeNode *, double bound)
    {
        return length(tree, bound) + kOverstated;
    }
    static bool rejects(double s, double bound) { return s > bound + kMargin; }
    static void end(Tree *) {}
    static double recheck() { return window; }
    static void missed(double l, double whole) { misses.push_back(l - whole); }
};

constexpr SwapScreenFxns kOverstating{OverstatingScreen::begin,  OverstatingScreen::lengths, OverstatingScreen::local,
                                      OverstatingScreen::rejects, OverstatingScreen::end,     OverstatingScreen::recheck,
                                      OverstatingScreen::missed};

// A swap the screen found nothing better in scores whole the neighbours it
// left out within the window over the bound before the search ends at a
// tree: the search then reaches the trees that scoring every neighbour
// whole reaches, and reports what each one found that way was missed by.
TEST_F(HSearchTest, NeighboursLeftOutCloseToTheBoundAreScoredBeforeTheSearchEnds)
{
    std::mt19937 gen(77);
    const uint32_t ntax = 9;
    makeData(cladeMatrix(gen, ntax, 30, 3));
    OverstatingScreen::data = data;
    const uint32_t savedCriterion = gCriterion;
    CriterionSearchFxns fxns{};
    fxns.score = OverstatingScreen::length;
    ASSERT_EQ(installCriterionSearchFxns(kCriterionLikelihood, fxns), 0);
    gCriterion = kCriterionLikelihood;
    hs.swap = 3;
    hs.startSource = kStartCurrent;
    TreePtr start(createTreeForTaxa(ntax, ntax, true));
    buildTestTree(start.get(), randomTreeText(gen, ntax, 0, false), 0);
    setTraversalSeq(start.get());
    auto search = [&](const SwapScreenFxns *screen, double window) {
        fxns.swapScreen = screen;
        EXPECT_EQ(installCriterionSearchFxns(kCriterionLikelihood, fxns), 0);
        OverstatingScreen::window = window;
        OverstatingScreen::misses.clear();
        TreeBuffer *buf = activeBuffer(ntax, 500);
        putTree(start.get(), buf, true);
        EXPECT_EQ(runHeuristicSearch(data), 0);
        return getTreeScoreArray(buf)[0];
    };
    const double startLength = OverstatingScreen::length(start.get(), 0.0);
    const double whole = search(nullptr, 0.0);
    ASSERT_LT(whole, startLength) << "the start must have a better neighbour";
    // Every neighbour goes to the screen, those that reroot the subtree
    // below the root's taxon too: without a second look the search ends
    // at the tree it started from.
    const double screenOnly = search(&kOverstating, 0.0);
    EXPECT_EQ(screenOnly, startLength) << "the screen leaves every neighbour out";
    EXPECT_EQ(search(&kOverstating, 2.5), screenOnly) << "a window short of the overstatement finds nothing";
    EXPECT_EQ(search(&kOverstating, OverstatingScreen::kOverstated + 1.0), whole);
    ASSERT_FALSE(OverstatingScreen::misses.empty());
    for (double m : OverstatingScreen::misses)
        EXPECT_GE(m, OverstatingScreen::kOverstated);
    gCriterion = savedCriterion;
    installCriterionSearchFxns(kCriterionLikelihood, CriterionSearchFxns{});
}

}  // namespace

namespace {

// Under a criterion whose ties are rounding, a neighbour that ties with the
// best tree is kept but never swapped, and one better by no more than
// rounding is the best tree again; NBest keeps its rules.
TEST_F(HSearchTest, RoundingTiesAreKeptButNotSwapped)
{
    std::mt19937 gen(31);
    const uint32_t ntax = 10;
    // Few characters on many taxa: equally short trees abound.
    makeData(cladeMatrix(gen, ntax, 8, 20));
    OverstatingScreen::data = data;
    const uint32_t savedCriterion = gCriterion;
    gCriterion = kCriterionLikelihood;
    hs.swap = 3;
    hs.startSource = kStartCurrent;
    TreePtr start(createTreeForTaxa(ntax, ntax, true));
    buildTestTree(start.get(), randomTreeText(gen, ntax, 0, false), 0);
    setTraversalSeq(start.get());
    static double rounding = 0.0;
    struct Result {
        uint32_t trees;
        double best;
        uint64_t scored;
    };
    static uint64_t scored = 0;
    auto search = [&](double (*tolerance)(double)) {
        CriterionSearchFxns fxns{};
        fxns.score = [](Tree *t, double b) {
            ++scored;
            return OverstatingScreen::length(t, b);
        };
        fxns.roundingTolerance = tolerance;
        EXPECT_EQ(installCriterionSearchFxns(kCriterionLikelihood, fxns), 0);
        TreeBuffer *buf = activeBuffer(ntax, 500);
        putTree(start.get(), buf, true);
        scored = 0;
        EXPECT_EQ(runHeuristicSearch(data), 0);
        return Result{numTreesInBuffer(buf), getTreeScoreArray(buf)[0], scored};
    };
    auto tolerance = [](double) { return rounding; };
    const Result all = search(nullptr);
    ASSERT_GT(all.trees, 2u) << "the data must give tied trees";
    const Result tiesKept = search(tolerance);
    EXPECT_GT(tiesKept.trees, 1u) << "MulTrees keeps the ties";
    EXPECT_LT(tiesKept.scored, all.scored) << "ties are not swapped";
    // Every difference taken as rounding: no neighbour is a better tree,
    // and the search stays at its start.
    rounding = 1000.0;
    const double startLength = OverstatingScreen::length(start.get(), 0.0);
    const Result stays = search(tolerance);
    EXPECT_EQ(stays.best, startLength);
    rounding = 0.0;
    hs.nbest = 5;
    const Result nbest = search(tolerance);
    EXPECT_EQ(nbest.trees, 5u) << "NBest keeps its trees and swaps them";
    gCriterion = savedCriterion;
    installCriterionSearchFxns(kCriterionLikelihood, CriterionSearchFxns{});
}

}  // namespace

namespace {

int noReplicateStart(Tree *, DataInfo *, uint32_t) { return 0; }
int noReplicateFinish(DataInfo *, double) { return 0; }

// A test whose replicates each run several searches (two constrained trees,
// the subsets of a partition) names each search by its replicate and a
// letter: the fourth of two per replicate is "2b".
TEST_F(HSearchTest, SearchesOfOneTestReplicateAreLettered)
{
    makeData({"1100", "1010", "0110", "0001"});
    for (const uint32_t units : {1u, 2u, 3u}) {
        const ReplicateHooks hooks{4 * units, noReplicateStart, noReplicateFinish, units};
        setReplicateHooks(&hooks);
        setSearchVariables(kSearchModeTree, data);
        setReplicateHooks(nullptr);
        gSearchState.outerRep = 4;
        EXPECT_EQ(outerRepString(), units == 1 ? "4" : units == 2 ? "2b" : "2a") << units;
    }
    setSearchVariables(kSearchModeTree, data);
    EXPECT_EQ(outerRepString(), "4");
    gSearchState.outerRep = 0;
    setLongOperationStatus(0);
}

}  // namespace
