#include "qel/qel_time.h"
#include "search/hitlist.h"
#include "search/scores.h"
#include "search_fixture.h"
#include "trees/treeedit.h"

namespace {

// Tree number i (0..104) of the distinct unrooted trees of six taxa: 3, 4
// and 5 joined in turn to the edges chosen by the digits of i.
void makeDistinctTree(Tree *t, uint32_t i)
{
    make3Tree(t, 6, 0, 1, 2);
    const uint32_t radix[] = {3, 5, 7};
    for (int32_t x = 3; x < 6; x++) {
        const uint32_t r = radix[x - 3];
        TreeNode *e = t->root->next;
        for (uint32_t k = i % r; k > 0; k--)
            e = e->next;
        i /= r;
        binConnectLeaf(nodeOfIndex(t, x), e, findFreeNode(t));
        t->numLeaves++;
        setTraversalSeq(t);
    }
}

struct Row {
    const char *name;
    SaveRules rules;
    std::vector<double> candidates;
    std::vector<double> saved;  // scores in the buffer at the end, in order
    int steepestRoundAfter = 0; // with steepest descent: the round ends after this many saves
    int abandonedAt = 0;        // the store (from 1) that abandons the replicate; 0 none
};

SaveRules rules() { return SaveRules{0, 0, 0.0, 0.0, false, false, false, false, true, false, false, false, true, false}; }
SaveRules with(SaveRules r, void (*edit)(SaveRules &)) { edit(r); return r; }

class HitListTest : public SearchTest {};

// Each candidate goes through what an evaluator does: the bound test, then
// the save decision and, when saved, the store.
TEST_F(HitListTest, SaveDecisionsFollowTheOptions)
{
    const Row rows[] = {
        {"best only, MulTrees", rules(), {10, 10, 9, 10, 9}, {9, 9}},
        {"MulTrees off", with(rules(), [](SaveRules &r) { r.mulTrees = false; }), {10, 10, 9, 9}, {9}},
        {"Keep 12", with(rules(), [](SaveRules &r) { r.keepActive = true, r.keepScore = 12; }),
         {10, 12, 13, 9, 11}, {10, 12, 9, 11}},
        {"NChuck 2 ChuckScore 10",
         with(rules(), [](SaveRules &r) { r.chuckActive = true, r.nchuck = 2, r.chuckScore = 10; }),
         {10, 10, 10, 11, 9, 9}, {9, 9}},
        {"NBest 2", with(rules(), [](SaveRules &r) { r.nbest = 2; }), {10, 12, 11, 9, 13, 10}, {10, 9}},
        {"steepest keeps the round", with(rules(), [](SaveRules &r) { r.steepest = true; }), {10, 10, 9}, {10, 9}, 1},
        {"steepest, random addition", with(rules(), [](SaveRules &r) { r.steepest = true, r.randomAddition = true; }),
         {10, 10, 9}, {9}, 1},
        {"abortRep: the second tree of ChuckScore abandons",
         with(rules(),
              [](SaveRules &r) {
                  r.chuckActive = r.abortRep = r.randomAddition = true, r.nchuck = 2, r.chuckScore = 10;
              }),
         {11, 11, 11}, {11, 11}, 0, 2},
        {"abortRep: trees below ChuckScore never count",
         with(rules(),
              [](SaveRules &r) {
                  r.chuckActive = r.abortRep = r.randomAddition = true, r.nchuck = 2, r.chuckScore = 10;
              }),
         {9, 9, 9, 9}, {9, 9, 9, 9}},
    };
    TreePtr tree(createTreeForTaxa(6, 6, true));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        dropData();
        TreeBuffer *buf = activeBuffer(6);
        HSearchData *hsd = createHSearchData(nullptr, 6, row.rules, false);
        ASSERT_NE(hsd, nullptr);
        uint32_t next = 0;
        int stores = 0;
        for (double s : row.candidates) {
            if (!scoreIsGood(hsd, s, hsd->maxScoreToSave, hsd->bestScoreRep))
                continue;
            makeDistinctTree(tree.get(), next++);
            if (checkSaveTree(hsd, s) & kSaveTree) {
                const int result = saveRearrangedTree(hsd, tree.get(), s);
                EXPECT_EQ(result, ++stores == row.abandonedAt ? -2 : 0) << "store " << stores;
                if (result == -2)
                    break;
            }
            if (row.steepestRoundAfter && numTreesInBuffer(buf) == static_cast<uint32_t>(row.steepestRoundAfter))
                hsd->lastTreeRound = numTreesInBuffer(buf);
        }
        std::vector<double> saved(getTreeScoreArray(buf), getTreeScoreArray(buf) + numTreesInBuffer(buf));
        EXPECT_EQ(saved, row.saved);
        destroyHSearchData(hsd);
    }
}

TEST_F(HitListTest, FullListIsFlushedAndCapacityFollowsTaxa)
{
    EXPECT_EQ(hitListCapacity(10, false), 100u);
    EXPECT_EQ(hitListCapacity(100, false), 194u);
    EXPECT_EQ(hitListCapacity(100, true), 4116u);
    EXPECT_EQ(hitListCapacity(2, false), 100u);

    TreeBuffer *buf = activeBuffer(6);
    HSearchData *hsd = createHSearchData(nullptr, 6, rules(), false);
    ASSERT_NE(hsd, nullptr);
    TreePtr tree(createTreeForTaxa(6, 6, true));
    makeDistinctTree(tree.get(), 3);
    RearrObject r{};
    makeRearrObject(&r, nullptr, nullptr, nullptr, 5.0);
    double best = 0;
    // Moves without a node save the tree itself: 99 hits wait, the 100th flushes.
    for (uint32_t i = 0; i < 99; i++)
        ASSERT_EQ(tryToSaveTree(hsd, tree.get(), &r, false, &best), i == 0 ? -1 : 0);
    EXPECT_EQ(numHits(hsd), 99u);
    EXPECT_EQ(numTreesInBuffer(buf), 0u);
    EXPECT_EQ(tryToSaveTree(hsd, tree.get(), &r, false, &best), 0);
    EXPECT_EQ(numHits(hsd), 0u);
    EXPECT_EQ(numTreesInBuffer(buf), 1u);  // the same tree 100 times: one stored
    EXPECT_EQ(best, 5.0);
    destroyHSearchData(hsd);
}

TEST_F(HitListTest, LimitsEndTheEvaluation)
{
    activeBuffer(6);
    SaveRules r = rules();
    HSearchData *hsd = createHSearchData(nullptr, 6, r, false);
    ASSERT_NE(hsd, nullptr);
    EXPECT_EQ(finishEvaluation(hsd, 0), 0);
    hsd->rearrLimit = 10;
    hsd->rearrTriedTotal = 10;
    EXPECT_EQ(finishEvaluation(hsd, 0), 4);
    hsd->rearrLimit = 0;
    hsd->deadline = 1;  // long passed
    EXPECT_EQ(finishEvaluation(hsd, 0), 3);
    // The clock is read again only after a run of evaluations, never on each.
    for (uint32_t i = 1; i < kClockCheckInterval; i++)
        EXPECT_EQ(finishEvaluation(hsd, 0), 0) << i;
    EXPECT_EQ(finishEvaluation(hsd, 0), 3);
    hsd->rules.heuristicRunning = false;
    EXPECT_EQ(finishEvaluation(hsd, 0), 0);
    destroyHSearchData(hsd);
}

}  // namespace
