// Heuristic searches under topological constraints against exhaustive
// enumeration: over every unrooted tree of eight taxa, the shortest length
// among the trees that satisfy the constraint (or, converse, violate it) by
// a plain test of the tree's bipartitions or of the partition's step count,
// must be what the search reaches, and every tree it keeps must pass that test.
#include <algorithm>
#include <random>

#include "parsimony/treelen.h"
#include "search/constrsearch.h"
#include "search/countswaps.h"
#include "search/hsearch.h"
#include "search/search.h"
#include "search/tbr.h"
#include "search/search_settings.h"
#include "search/stepwise.h"
#include "search/swap_test_support.h"
#include "trees/constr.h"
#include "trees/treeedit.h"

namespace {

using namespace swaptest;
using Mask = uint64_t;

struct Reference {
    uint32_t type;
    std::vector<Mask> groups;  // backbone: the last is the backbone's taxa
};

// Fewest changes of the subset character below n (Sankoff, unit costs).
std::vector<uint32_t> tipCosts(int32_t taxon, const Reference &r)
{
    const size_t states = r.groups.size();
    std::vector<uint32_t> cost(states, 0);
    for (size_t s = 0; s < states; s++)
        if (r.groups[s] >> taxon & 1)
            for (size_t o = 0; o < states; o++)
                cost[o] = o == s ? 0 : 1000;
    return cost;
}

std::vector<uint32_t> subsetCosts(const TreeNode *n, const Reference &r)
{
    const size_t states = r.groups.size();
    std::vector<uint32_t> cost(states, 0);
    if (!n->firstChild)
        return tipCosts(n->index, r);
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib) {
        const std::vector<uint32_t> below = subsetCosts(c, r);
        for (size_t s = 0; s < states; s++) {
            uint32_t best = 1000;
            for (size_t o = 0; o < states; o++)
                best = std::min(best, below[o] + (o == s ? 0 : 1));
            cost[s] += best;
        }
    }
    return cost;
}

// The tree is held at the tip of taxon 0.
bool referenceSatisfied(const Tree *t, const Reference &r, uint32_t ntax)
{
    const Mask all = (Mask{1} << ntax) - 1;
    if (r.type == kConConvexity) {
        std::vector<uint32_t> root = subsetCosts(t->root->firstChild, r);
        const std::vector<uint32_t> tip = tipCosts(t->root->index, r);
        uint32_t length = 1000;
        for (size_t s = 0; s < root.size(); s++)
            for (size_t o = 0; o < root.size(); o++)
                length = std::min(length, tip[s] + root[o] + (o == s ? 0 : 1));
        return length < r.groups.size();
    }
    // A group is displayed when some split of the tree, restricted to the
    // constraint's taxa, has it (or its complement there) as one side; a
    // group that leaves out at most one of those taxa is always displayed.
    const Splits splits = treeSplits(t);
    const Mask within = r.type == kConBackbone ? r.groups.back() : all;
    const size_t n = r.type == kConBackbone ? r.groups.size() - 1 : r.groups.size();
    for (size_t k = 0; k < n; k++) {
        bool found = std::popcount(within & ~r.groups[k]) <= 1;
        for (Mask s : splits)
            found |= (s & within) == r.groups[k] || (s & within) == (within & ~r.groups[k]);
        if (!found)
            return false;
    }
    return true;
}

std::vector<std::string> randomMatrix(std::mt19937 &gen, uint32_t ntax, uint32_t nchar)
{
    std::vector<std::string> rows(ntax, std::string(nchar, '0'));
    for (auto &row : rows)
        for (char &c : row)
            c = gen() % 3 == 0 ? '1' : '0';
    return rows;
}

class ConstrainedSearch : public SwapTest {
protected:
    void SetUp() override
    {
        SwapTest::SetUp();
        saved = hs;
        savedSrch = srch;
        hs = HSearchOptions{};
        srch.dStatus = 0;
    }
    void TearDown() override
    {
        setConstraintsReleasedHook(nullptr);
        hs = saved;
        srch = savedSrch;
        deallocAllConstraints();
        SwapTest::TearDown();
    }

    void define(const Reference &r, uint32_t ntax)
    {
        deallocAllConstraints();
        SplitsList *groups = createSplitsList(ntax, static_cast<uint32_t>(r.groups.size()), true);
        for (Mask g : r.groups) {
            uint64_t w = g;
            appendSplitToList(groups, &w);
        }
        ASSERT_NE(addConstraint("c", r.type, groups, true), nullptr);
    }

    HSearchOptions saved;
    SearchSettings savedSrch;
};

Mask taxa(std::initializer_list<uint32_t> members)
{
    Mask m = 0;
    for (uint32_t x : members)
        m |= Mask{1} << x;
    return m;
}

TEST_F(ConstrainedSearch, ReachesTheBestAllowedTreeAndKeepsNoOther)
{
    const uint32_t ntax = 8;
    const std::vector<Reference> refs = {
        {kConMonophyly, {taxa({0, 5}), taxa({0, 3, 5})}},
        {kConMonophyly, {taxa({1, 6})}},
        {kConBackbone, {taxa({2, 7}), taxa({1, 2, 4, 7})}},
        {kConConvexity, {taxa({0, 3, 6}), taxa({1, 4}), taxa({2, 5, 7})}},
    };
    std::mt19937 gen(9090);
    int trial = 0;
    for (const Reference &r : refs) {
        for (bool converse : {false, true}) {
            for (uint32_t swap : {1u, 2u, 3u, 4u}) {
                SCOPED_TRACE(::testing::Message() << "constraint " << (&r - refs.data()) << " converse " << converse
                                                  << " swap " << swap);
                dropData();
                deallocAllConstraints();
                makeData(randomMatrix(gen, ntax, 14));
                TreeBuffer *buf = activeBuffer(ntax, 2000);
                define(r, ntax);
                srch.enforce = 1;
                srch.converse = converse;
                // 4: contract-and-refine.
                hs.swap = std::min(swap, 3u);
                hs.ecr = swap == 4;
                hs.addSeq = kAddSeqRandom;
                hs.nreps = 8;
                hs.rseed[0] = 77 + trial++;
                gErrorCodes.clear();
                ASSERT_EQ(runHeuristicSearch(data), 0) << ::testing::PrintToString(gErrorCodes);
                const uint32_t kept = numTreesInBuffer(buf);
                ASSERT_GT(kept, 0u);
                TreePtr t(createTreeForTaxa(ntax, ntax, true));
                double best = 1e37;
                for (uint32_t k = 1; k <= kept; k++) {
                    ASSERT_EQ(getTree(buf, k, t.get()), 0);
                    setTraversalSeq(t.get());
                    EXPECT_EQ(referenceSatisfied(t.get(), r, ntax), !converse) << "tree " << k;
                    pointTreeAtPackedData(t.get(), data);
                    best = std::min(best, calcParsimonyScore(data, t.get(), false));
                }
                // NNI from stepwise trees may stop at a local optimum; SPR,
                // TBR and 2-ECR with eight replicates reach the best allowed
                // length.
                if (swap >= 2) {
                    EXPECT_DOUBLE_EQ(best, exhaustiveBest(data, ntax, [&](Tree *t) {
                                         return referenceSatisfied(t, r, ntax) != converse;
                                     }));
                }
            }
        }
    }
}

TEST_F(ConstrainedSearch, RefusalsNameTheirError)
{
    std::mt19937 gen(5);
    makeData(randomMatrix(gen, 6, 8));
    activeBuffer(6);
    srch.enforce = 1;
    gErrorCodes.clear();
    EXPECT_NE(runHeuristicSearch(data), 0);
    EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{512}) << "no constraint defined";
    // A constraint every tree satisfies cannot be searched against.
    SplitsList *groups = createSplitsList(6, 1, true);
    uint64_t all = 0b111111;
    appendSplitToList(groups, &all);
    ASSERT_NE(addConstraint("c", kConBackbone, groups, true), nullptr);
    srch.converse = 1;
    hs.swap = 3;
    gErrorCodes.clear();
    EXPECT_NE(runHeuristicSearch(data), 0);
    EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{714});
    srch.converse = 1;
    hs.swap = 0;
    gErrorCodes.clear();
    EXPECT_NE(runHeuristicSearch(data), 0);
    EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{548});
    // Resampling replicates cannot look for trees without a group.
    hs.swap = 3;
    gSearchState.replicatedKind = 1;
    gErrorCodes.clear();
    TreePtr t(createTreeForTaxa(6, 6, true));
    EXPECT_NE(prepareSearchConstraints(data, t.get(), true, false, true), 0);
    gSearchState.replicatedKind = 0;
    releaseSearchConstraints();
    EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{549});
}

// Releasing every constraint (new data, LoadConstr replacing them) switches
// enforcement off with them: a plain search afterwards runs unconstrained
// instead of failing on a constraint that no longer exists, and the user is
// told once.
TEST_F(ConstrainedSearch, ReleasedConstraintsTakeEnforceWithThem)
{
    std::mt19937 gen(11);
    makeData(randomMatrix(gen, 6, 8));
    activeBuffer(6);
    define(Reference{kConMonophyly, {taxa({0, 1})}}, 6);
    srch.enforce = 1;
    hs.swap = 3;
    setConstraintsReleasedHook(stopEnforcingReleasedConstraints);
    gPrinted.clear();
    deallocAllConstraints();
    EXPECT_EQ(srch.enforce, 0);
    EXPECT_NE(gPrinted.find("Constraint enforcement has been turned off"), std::string::npos) << gPrinted;
    gErrorCodes.clear();
    gPrinted.clear();
    EXPECT_EQ(runHeuristicSearch(data), 0) << ::testing::PrintToString(gErrorCodes);
    EXPECT_TRUE(gErrorCodes.empty());
    // Nothing was enforced: a second release says nothing.
    deallocAllConstraints();
    EXPECT_EQ(gPrinted.find("Constraint enforcement"), std::string::npos);
}

// Starting from trees in memory: trees that break a positive constraint are
// left out (and none left is error 567); under converse constraints the
// trees kept break the constraint and carry their own lengths.
TEST_F(ConstrainedSearch, StartsFromTreesInMemoryTheConstraintAdmits)
{
    const uint32_t ntax = 8;
    const Reference r{kConMonophyly, {taxa({1, 6})}};
    std::mt19937 gen(4242);
    makeData(randomMatrix(gen, ntax, 14));
    std::vector<TreePtr> pass, fail;
    while (pass.size() < 2 || fail.size() < 3) {
        TreePtr t = randomTree(gen, ntax, false);
        auto &to = referenceSatisfied(t.get(), r, ntax) ? pass : fail;
        if (to.size() < (&to == &pass ? 2u : 3u))
            to.push_back(std::move(t));
    }
    define(r, ntax);
    srch.enforce = 1;
    hs.swap = 3;
    hs.startSource = kStartCurrent;
    auto load = [&](bool withPassing) {
        TreeBuffer *buf = activeBuffer(ntax, 2000);
        for (auto *set : {&fail, &pass})
            if (set == &fail || withPassing)
                for (TreePtr &t : *set)
                    putTree(t.get(), buf, true);
        return buf;
    };
    TreeBuffer *buf = load(true);
    gPrinted.clear();
    ASSERT_EQ(runHeuristicSearch(data), 0) << ::testing::PrintToString(gErrorCodes);
    EXPECT_NE(gPrinted.find("3 \bstarting trees incompatible with constraints"), std::string::npos) << gPrinted;
    TreePtr t(createTreeForTaxa(ntax, ntax, true));
    for (uint32_t k = 1; k <= numTreesInBuffer(buf); k++) {
        ASSERT_EQ(getTree(buf, k, t.get()), 0);
        setTraversalSeq(t.get());
        EXPECT_TRUE(referenceSatisfied(t.get(), r, ntax)) << "tree " << k;
    }

    load(false);
    gErrorCodes.clear();
    EXPECT_NE(runHeuristicSearch(data), 0);
    EXPECT_EQ(gErrorCodes, std::vector<uint32_t>{567});

    srch.converse = 1;
    buf = load(true);
    ASSERT_EQ(runHeuristicSearch(data), 0) << ::testing::PrintToString(gErrorCodes);
    ASSERT_GT(numTreesInBuffer(buf), 0u);
    const double *scores = getTreeScoreArray(buf);
    for (uint32_t k = 1; k <= numTreesInBuffer(buf); k++) {
        ASSERT_EQ(getTree(buf, k, t.get()), 0);
        setTraversalSeq(t.get());
        EXPECT_FALSE(referenceSatisfied(t.get(), r, ntax)) << "tree " << k;
        pointTreeAtPackedData(t.get(), data);
        if (scores) {
            EXPECT_EQ(scores[k - 1], calcParsimonyScore(data, t.get(), false)) << "tree " << k;
        }
    }
}

// CountSwaps under a constraint counts the moves whose trees the oracle
// admits (positive) or rejects (converse), for NNI, SPR and TBR.
TEST_F(ConstrainedSearch, CountSwapsCountsOnlyAdmittedMoves)
{
    const uint32_t ntax = 8;
    const std::vector<Reference> refs = {
        {kConMonophyly, {taxa({1, 6}), taxa({1, 3, 6})}},
        {kConBackbone, {taxa({2, 7}), taxa({1, 2, 4, 7})}},
        {kConConvexity, {taxa({0, 3, 6}), taxa({1, 4}), taxa({2, 5, 7})}},
    };
    std::mt19937 gen(777);
    makeData(randomMatrix(gen, ntax, 10));
    TreePtr copy(createTreeForTaxa(ntax, ntax, true));
    int filtered = 0;  // cases where the constraint turned some move away
    for (const Reference &r : refs)
        for (bool converse : {false, true}) {
            define(r, ntax);
            for (int trial = 0; trial < 3; trial++) {
                TreePtr t = randomTree(gen, ntax, false);
                ASSERT_EQ(prepareSearchConstraints(data, t.get(), converse, false, true), 0);
                setTopolConstrained(converse ? -1 : 1);
                for (int swap : {1, 2, 3}) {
                    using Move = std::array<TreeNode *, 3>;
                    std::vector<Move> moves;
                    forEachTbrMove(
                        t.get(), nullptr, swap, 0,
                        [](void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double) {
                            static_cast<std::vector<Move> *>(ctx)->push_back({K, T, R});
                            return 0;
                        },
                        &moves);
                    double expected = 0;
                    for (const Move &m : moves) {
                        ASSERT_EQ(copyTree(t.get(), copy.get()), 0);
                        auto at = [&](TreeNode *n) { return copy->nodes + (n - t->nodes); };
                        ASSERT_EQ(finishRearr_TBR(copy.get(), at(m[0]), at(m[1]), at(m[2]), false), 0);
                        setTraversalSeq(copy.get());
                        expected += referenceSatisfied(copy.get(), r, ntax) != converse;
                    }
                    EXPECT_EQ(countRearrangements(t.get(), static_cast<uint32_t>(swap), 0), expected)
                        << "type " << r.type << " converse " << converse << " swap " << swap;
                    filtered += expected < static_cast<double>(moves.size());
                }
                setTopolConstrained(0);
                releaseSearchConstraints();
            }
        }
    EXPECT_GT(filtered, 20);
}

// The incremental test of a TBR move from the records of its cut equals the
// whole-tree test of the tree the move makes, for every move of random
// trees, under every kind of constraint, positive and converse.
TEST_F(ConstrainedSearch, CutRecordsJudgeEveryMoveAsTheWholeTreeTest)
{
    const std::vector<Reference> refs = {
        {kConMonophyly, {taxa({1, 6}), taxa({1, 3, 6}), taxa({2, 5})}},
        {kConBackbone, {taxa({2, 7}), taxa({1, 2, 4, 7})}},
        {kConConvexity, {taxa({0, 3, 6, 8}), taxa({1, 4}), taxa({2, 5, 7, 9})}},
    };
    std::mt19937 gen(31337);
    uint64_t both[2] = {0, 0};
    for (uint32_t ntax : {8u, 10u}) {
        dropData();
        makeData(randomMatrix(gen, ntax, 6));
        for (const Reference &r : refs)
            for (bool converse : {false, true}) {
                Reference own = r;
                for (Mask &g : own.groups)
                    g &= (Mask{1} << ntax) - 1;
                define(own, ntax);
                for (int trial = 0; trial < 4; trial++) {
                    TreePtr t = randomTree(gen, ntax, false);
                    ASSERT_EQ(prepareSearchConstraints(data, t.get(), converse, false, true), 0);
                    setTopolConstrained(converse ? -1 : 1);
                    using Move = std::array<TreeNode *, 3>;
                    std::vector<Move> moves;
                    forEachTbrMove(
                        t.get(), nullptr, 3, 0,
                        [](void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double) {
                            static_cast<std::vector<Move> *>(ctx)->push_back({K, T, R});
                            return 0;
                        },
                        &moves);
                    const TreeNode *begun = nullptr;
                    beginConstrainedPass(t.get());
                    for (const Move &m : moves) {
                        if (m[0] != begun)
                            beginConstrainedCut(begun = m[0]);
                        const bool whole = tbrMoveAllowed(t.get(), m[0], m[1], m[2]);
                        both[whole]++;
                        EXPECT_EQ(cutMoveAllowed(t.get(), m[0], m[1], m[2]), whole)
                            << "type " << r.type << " converse " << converse << " ntax " << ntax;
                    }
                    setTopolConstrained(0);
                    releaseSearchConstraints();
                }
            }
    }
    EXPECT_GT(both[0], 1000u);
    EXPECT_GT(both[1], 1000u);
}

// Stepwise addition: joining a taxon to an edge of a partial tree, judged
// from records of the tree taken once, equals the whole-tree test of the
// tree the join makes, for every taxon not yet placed and every edge
// (convexity partitions must keep to the whole-tree test: their step limit
// depends on the taxa present).
TEST_F(ConstrainedSearch, JoinRecordsJudgeEveryJoinAsTheWholeTreeTest)
{
    const std::vector<Reference> refs = {
        {kConMonophyly, {taxa({1, 6}), taxa({1, 3, 6}), taxa({2, 5})}},
        {kConBackbone, {taxa({2, 7}), taxa({1, 2, 4, 7})}},
        {kConConvexity, {taxa({0, 3, 6, 8}), taxa({1, 4}), taxa({2, 5, 7, 9})}},
    };
    std::mt19937 gen(4242);
    uint64_t both[2] = {0, 0};
    const uint32_t ntax = 10;
    makeData(randomMatrix(gen, ntax, 6));
    for (const Reference &r : refs) {
        define(r, ntax);
        for (int trial = 0; trial < 12; trial++) {
            // A partial tree as stepwise addition grows it: taxon 0 and
            // two others, then random joins, leaving 2 to 5 taxa out.
            std::vector<int32_t> order;
            for (int32_t x = 1; x < static_cast<int32_t>(ntax); x++)
                order.push_back(x);
            std::shuffle(order.begin(), order.end(), gen);
            const size_t placed = ntax - 2 - static_cast<size_t>(trial % 4) - 1;
            TreePtr t(createTreeForTaxa(ntax, ntax, true));
            make3Tree(t.get(), ntax, 0, static_cast<uint32_t>(order[0]), static_cast<uint32_t>(order[1]));
            for (size_t i = 2; i < placed; i++) {
                setTraversalSeq(t.get());
                std::vector<TreeNode *> at;
                for (TreeNode *e = t->root->next; e; e = e->next)
                    at.push_back(e);
                binConnectLeaf(nodeOfIndex(t.get(), order[i]), at[gen() % at.size()], findFreeNode(t.get()));
                t->numLeaves++;
            }
            setTraversalSeq(t.get());
            const std::vector<int32_t> absent(order.begin() + static_cast<long>(placed), order.end());
            ASSERT_EQ(prepareSearchConstraints(data, t.get(), false, false, true), 0);
            setTopolConstrained(1);
            std::vector<TreeNode *> edges;
            for (TreeNode *e = t->root->next; e; e = e->next)
                edges.push_back(e);
            std::vector<bool> whole;
            for (int32_t x : absent)
                for (TreeNode *e : edges)
                    whole.push_back(leafJoinAllowed(t.get(), e, x));
            beginConstrainedJoins(t.get());
            size_t k = 0;
            for (int32_t x : absent)
                for (TreeNode *e : edges) {
                    both[whole[k]]++;
                    EXPECT_EQ(leafJoinAllowed(t.get(), e, x), whole[k++]) << "type " << r.type << " taxon " << x;
                }
            endConstrainedJoins();
            setTopolConstrained(0);
            releaseSearchConstraints();
        }
    }
    EXPECT_GT(both[0], 50u);
    EXPECT_GT(both[1], 50u);
}

}  // namespace
