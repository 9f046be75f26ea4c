#include <algorithm>
#include <functional>
#include <random>

#include "parsimony/calcsets.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/stateset.h"
#include "parsimony/treelen.h"
#include "qel/qel_random.h"
#include "search/constrsearch.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/stepwise.h"
#include "search/subtreehulls.h"
#include "search/swap_test_support.h"
#include "trees/constr.h"
#include "trees/splits.h"
#include "trees/treeedit.h"

namespace {

// Taxa 0,1 share c0 c1; 2,3 share c2 c3; c4 conflicts (1,3); c5 is an
// autapomorphy of 0. The shortest tree ((0,1),4,(2,3)) has length
// 1+1+1+1+2+1 = 7; every addition sequence below reaches it.
const std::vector<std::string> kMatrix = {"110001", "110010", "001100", "001110", "000000"};

class Stepwise : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        makeData(kMatrix);
        out = activeBuffer(5);
        tree.reset(createTreeForTaxa(5, 5, true));
    }

    // True when the tree has the topology ((0,1),4,(2,3)).
    bool isExpectedTree(Tree *t)
    {
        TreeBuffer *ref = createTreeBuffer(5, 4, false, false, false);
        TreePtr e(createTreeForTaxa(5, 5, true));
        make3Tree(e.get(), 5, 0, 1, 2);
        binConnectLeaf(nodeOfIndex(e.get(), 3), nodeOfIndex(e.get(), 2), findFreeNode(e.get()));
        binConnectLeaf(nodeOfIndex(e.get(), 4), nodeOfIndex(e.get(), 2)->anc, findFreeNode(e.get()));
        setTraversalSeq(e.get());
        putTree(e.get(), ref, true);
        const bool same = putTree(t, ref, true) == kPutTreeDuplicate;
        destroyTreeBuffer(ref);
        return same;
    }

    std::vector<int32_t> run(uint32_t seq, RNG *rng = nullptr, uint32_t hold = 1, double *score = nullptr)
    {
        std::vector<int32_t> order(6, -9);
        double s = 0;
        EXPECT_EQ(addStepwise(data, tree.get(), StepwiseOptions{seq, hold, 0, false, true}, rng, order.data(), &s), 0);
        if (score)
            *score = s;
        order.resize(5);
        return order;
    }

    TreeBuffer *out = nullptr;
    TreePtr tree;
};

TEST_F(Stepwise, EachAdditionSequenceBuildsTheShortestTreeInItsOrder)
{
    struct Case {
        uint32_t seq;
        std::vector<int32_t> order;
    };
    // simple: distances from taxon 0 are 2, 5, 6, 3 -> 0 1 4 2 3.
    // closest: (2,3,4) is the shortest three-taxon tree (3 steps); 0 and 1
    // then tie at 6 and the lower number goes first.
    const Case cases[] = {{kAddSeqAsIs, {0, 1, 2, 3, 4}},
                          {kAddSeqSimple, {0, 1, 4, 2, 3}},
                          {kAddSeqClosest, {2, 3, 4, 0, 1}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.seq);
        emptyTreeBuffer(out, true);
        double score = 0;
        EXPECT_EQ(run(c.seq, nullptr, 1, &score), c.order);
        EXPECT_DOUBLE_EQ(score, 7.0);
        ASSERT_EQ(numTreesInBuffer(out), 1u);
        EXPECT_DOUBLE_EQ(getTreeScoreArray(out)[0], 7.0);
        EXPECT_TRUE(isExpectedTree(tree.get()));
        EXPECT_EQ(tree->root, nodeOfIndex(tree.get(), 0));  // rerooted at the first taxon
    }
}

TEST_F(Stepwise, RandomSequenceRepeatsWithTheSameSeed)
{
    RNG a{}, b{};
    initRNG(&a, makeSeed1(12345));
    initRNG(&b, makeSeed1(12345));
    double s1 = 0, s2 = 0;
    auto o1 = run(kAddSeqRandom, &a, 1, &s1);
    auto o2 = run(kAddSeqRandom, &b, 1, &s2);
    EXPECT_EQ(o1, o2);
    EXPECT_EQ(s1, s2);
    EXPECT_EQ(numTreesInBuffer(out), 1u);  // the second tree was the same one
    std::vector<int32_t> sorted = o1;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<int32_t>{0, 1, 2, 3, 4}));
    // A random sequence needs a generator.
    EXPECT_EQ(addStepwise(data, tree.get(), StepwiseOptions{kAddSeqRandom, 1, 0, false, true}, nullptr, nullptr,
                          nullptr),
              1);
}

TEST_F(Stepwise, ThreeTaxaGiveTheStartingTreeWithItsScore)
{
    dropData();
    makeData({"1100", "1010", "0001"});
    out = activeBuffer(3);
    tree.reset(createTreeForTaxa(3, 3, true));
    double s = 0;
    ASSERT_EQ(addStepwise(data, tree.get(), StepwiseOptions{kAddSeqAsIs, 1, 0, false, true}, nullptr, nullptr, &s),
              0);
    EXPECT_DOUBLE_EQ(s, 4.0);
    EXPECT_EQ(numTreesInBuffer(out), 1u);
}

// The score a stepwise addition reports is the length of the tree it built,
// under every sequence and with one or two trees held, on random matrices.
TEST_F(SearchTest, StepwiseScoresAreTheLengthsOfTheTreesBuilt)
{
    std::mt19937 gen(7);
    for (int rep = 0; rep < 6; rep++) {
        dropData();
        const uint32_t ntax = 6 + rep % 3;
        std::vector<std::string> rows(ntax, std::string(12, '0'));
        for (auto &r : rows)
            for (char &ch : r)
                ch = "01?"[gen() % 5 == 0 ? 2 : gen() % 2];
        DataInfo *d = makeData(rows);
        TreeBuffer *out = activeBuffer(ntax);
        TreePtr tree(createTreeForTaxa(ntax, ntax, true));
        TreePtr check(createTreeForTaxa(ntax, ntax, true));
        RNG rng{};
        initRNG(&rng, makeSeed1(100 + rep));
        for (uint32_t seq : {kAddSeqSimple, kAddSeqClosest, kAddSeqAsIs, kAddSeqRandom, kAddSeqFurthest}) {
            for (uint32_t hold : {1u, 2u}) {
                SCOPED_TRACE(testing::Message() << "rep " << rep << " seq " << seq << " hold " << hold);
                emptyTreeBuffer(out, true);
                double s = 0;
                ASSERT_EQ(addStepwise(d, tree.get(), StepwiseOptions{seq, hold, 0, false, true}, &rng, nullptr, &s),
                          0);
                ASSERT_GE(numTreesInBuffer(out), 1u);
                EXPECT_LE(numTreesInBuffer(out), hold);
                double best = 1e37;
                for (uint32_t k = 1; k <= numTreesInBuffer(out); k++) {
                    ASSERT_EQ(getTree(out, k, check.get()), 0);
                    pointTreeAtPackedData(check.get(), d);
                    const double len = calcTreeLength(d, check.get(), true, false);
                    EXPECT_DOUBLE_EQ(getTreeScoreArray(out)[k - 1], len);
                    best = std::min(best, len);
                }
                EXPECT_DOUBLE_EQ(s, best);
                if (hold == 2) {
                    EXPECT_EQ(numTreesInBuffer(out), 2u);  // two distinct trees carried to the end
                }
            }
        }
    }
}

// Closest addition holding 2 to 10 trees, on the six DNA sequences where it
// once kept nothing and on random four-state matrices: every held tree is
// kept with its true length, and none is shorter than the exhaustive optimum.
TEST_F(SearchTest, ClosestAdditionHoldingSeveralTreesKeepsThemAgainstExhaustiveSearch)
{
    // GAAGT CGTGG CACTC CTATG ATCTC GATTT with A, C, G, T as 0..3.
    std::vector<std::vector<std::string>> matrices = {
        {"20023", "12322", "10131", "13032", "03131", "20333"}};
    std::mt19937 gen(55);
    for (int rep = 0; rep < 30; rep++) {
        const uint32_t ntax = 5 + rep % 3;
        std::vector<std::string> rows(ntax, std::string(4 + rep % 5, '0'));
        for (auto &r : rows)
            for (char &ch : r)
                ch = gen() % 10 == 0 ? '?' : static_cast<char>('0' + gen() % 4);
        matrices.push_back(rows);
    }
    for (size_t m = 0; m < matrices.size(); m++) {
        dropData();
        const auto ntax = static_cast<uint32_t>(matrices[m].size());
        DataInfo *d = makeData(matrices[m], "0123");
        const double optimum = swaptest::exhaustiveBest(data, ntax);
        TreeBuffer *out = activeBuffer(ntax);
        TreePtr tree(createTreeForTaxa(ntax, ntax, true));
        TreePtr check(createTreeForTaxa(ntax, ntax, true));
        for (uint32_t hold = 2; hold <= 10; hold++) {
            SCOPED_TRACE(testing::Message() << "matrix " << m << " hold " << hold);
            emptyTreeBuffer(out, true);
            double s = 0;
            ASSERT_EQ(addStepwise(d, tree.get(), StepwiseOptions{kAddSeqClosest, hold, 0, false, true}, nullptr,
                                  nullptr, &s),
                      0);
            ASSERT_GE(numTreesInBuffer(out), 1u);
            EXPECT_LE(numTreesInBuffer(out), hold);
            double best = 1e37;
            for (uint32_t k = 1; k <= numTreesInBuffer(out); k++) {
                ASSERT_EQ(getTree(out, k, check.get()), 0);
                EXPECT_EQ(countLeaves(check.get()), ntax);
                pointTreeAtPackedData(check.get(), d);
                const double len = calcTreeLength(d, check.get(), true, false);
                EXPECT_DOUBLE_EQ(getTreeScoreArray(out)[k - 1], len);
                EXPECT_GE(len, optimum);
                best = std::min(best, len);
            }
            EXPECT_DOUBLE_EQ(s, best);
        }
    }
}

}  // namespace

namespace {

// Random addition holding one tree over the data made last, and the check
// of what it built against a reference tree and length.
class RandomAddition : public SearchTest {
protected:
    struct Built {
        TreePtr tree;
        std::vector<int32_t> order;
        double score = 0;
    };
    Built build(uint32_t seed)
    {
        const uint32_t ntax = data->ntax;
        activeBuffer(ntax);
        Built b{TreePtr(createTreeForTaxa(ntax, ntax, true)), std::vector<int32_t>(ntax, -1), 0};
        RNG rng{};
        initRNG(&rng, makeSeed1(seed));
        EXPECT_EQ(addStepwise(data, b.tree.get(), StepwiseOptions{kAddSeqRandom, 1, 0, false, true}, &rng,
                              b.order.data(), &b.score),
                  0);
        return b;
    }
    // The tree of the taxa in order, each joined at the first edge in
    // preorder of least cost(ref, leaf, edge, least so far), `step` (if any)
    // called on the tree before each taxon's edges are costed; returns the
    // last join's cost.
    static double joinByJoin(Tree *ref, const std::vector<int32_t> &order, const std::function<void(Tree *)> &step,
                             const std::function<double(Tree *, TreeNode *, TreeNode *, double)> &cost)
    {
        make3Tree(ref, ref->ntax, order[0], static_cast<uint32_t>(order[1]), static_cast<uint32_t>(order[2]));
        double len = 0;
        for (size_t i = 3; i < order.size(); i++) {
            setTraversalSeq(ref);
            if (step)
                step(ref);
            std::vector<TreeNode *> edges;
            for (TreeNode *e = ref->root->next; e; e = e->next)
                edges.push_back(e);
            TreeNode *leaf = nodeOfIndex(ref, order[i]);
            TreeNode *best = nullptr;
            len = 1e37;
            for (TreeNode *e : edges)
                if (const double l = cost(ref, leaf, e, len); l < len)
                    len = l, best = e;
            EXPECT_EQ(binConnectLeaf(leaf, best, findFreeNode(ref)), 0);
            ref->numLeaves++;
        }
        setTraversalSeq(ref);
        return len;
    }
    // joinByJoin costing each join from the final sets of a full pass over
    // the tree built so far; under an enforced constraint only the joins it
    // allows.
    double joinBySpans(Tree *ref, const std::vector<int32_t> &order)
    {
        const auto fullPass = [&](Tree *t) {
            pointTreeAtPackedData(t, data);
            calcStatesetsForSearch(t, data, false);
        };
        return joinByJoin(ref, order, fullPass, [&](Tree *t, TreeNode *leaf, TreeNode *e, double least) {
            double l = t->score[0];
            EXPECT_EQ(frvAddSpan(data, nodeSets(e->abm[2]), nodeSets(leaf->abm[0]), false, &l, 1e37), 0);
            // The whole-tree test is slow: asked only of a join that counts.
            return l >= least || getTopolConstrained() == 0 || leafJoinAllowed(t, e, leaf->index) ? l : 1e37;
        });
    }
    void expectBuilt(const Built &b, Tree *ref, double len, int rep)
    {
        rerootTree(ref, nodeOfIndex(ref, 0), true);  // as the stepwise tree is
        EXPECT_DOUBLE_EQ(b.score, len) << "rep " << rep;
        TreeBuffer *both = createTreeBuffer(data->ntax, 4, false, false, false);
        putTree(ref, both, true);
        EXPECT_EQ(putTree(b.tree.get(), both, true), kPutTreeDuplicate) << "rep " << rep;
        destroyTreeBuffer(both);
    }
};

// Random addition holding one tree joins each taxon where the whole tree is
// shortest, the first such edge in preorder: built here by scoring every
// join whole, on four-state matrices (unordered and two-state classes
// both) large enough that the edges are scored from their words and kept
// in step with the joins, not walked again.
TEST_F(RandomAddition, JoinsWhereAJoinByJoinSearchJoins)
{
    std::mt19937 gen(29);
    for (int rep = 0; rep < 3; rep++) {
        dropData();
        const uint32_t ntax = 30 + 10 * rep, nchar = 90;
        std::vector<std::string> rows(ntax, std::string(nchar, '0'));
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t states = c % 3 == 0 ? 2 : 4;
            for (auto &r : rows)
                r[c] = static_cast<char>('0' + gen() % states);
        }
        DataInfo *d = makeData(rows, "0123");
        const Built b = build(700 + rep);

        TreePtr ref(createTreeForTaxa(ntax, ntax, true));
        const double len = joinByJoin(ref.get(), b.order, nullptr, [&](Tree *t, TreeNode *leaf, TreeNode *e, double) {
            EXPECT_EQ(binConnectLeaf(leaf, e, findFreeNode(t)), 0);
            t->numLeaves++;
            setTraversalSeq(t);
            pointTreeAtPackedData(t, d);
            const double l = calcTreeLength(d, t, true, false);
            binPruneLeaf(leaf);
            t->numLeaves--;
            setTraversalSeq(t);
            return l;
        });
        expectBuilt(b, ref.get(), len, rep);
    }
}


// Tree-like rows: each taxon copies an earlier one and changes a few cells,
// so that near relatives share most states and a taxon joins cheaply in one
// part of the tree only (every third character two-state).
std::vector<std::string> treeLikeRows(std::mt19937 &gen, uint32_t ntax, uint32_t nchar)
{
    std::vector<std::string> rows(ntax, std::string(nchar, '0'));
    for (uint32_t c = 0; c < nchar; c++)
        rows[0][c] = static_cast<char>('0' + gen() % (c % 3 == 0 ? 2 : 4));
    for (uint32_t t = 1; t < ntax; t++) {
        rows[t] = rows[gen() % t];
        for (uint32_t c = 0; c < nchar; c++)
            if (gen() % 100 < 4)
                rows[t][c] = static_cast<char>('0' + gen() % (c % 3 == 0 ? 2 : 4));
    }
    std::shuffle(rows.begin(), rows.end(), gen);
    return rows;
}

// The hulls of a tree that grows a taxon at a time, each join followed by
// the graft's update and the hulls' own (now and then rebuilt tight): every
// hull holds the final set of each node of its subtree (unordered states as
// a union; an ordered bit above only where every set is above, possibly
// above where any set may be), its size is the subtree's, and its cost of
// joining a taxon is no more than that of any edge below it.
TEST_F(SearchTest, SubtreeHullsHoldEveryFinalSetBelowThemAsTheTreeGrows)
{
    std::mt19937 gen(808);
    for (int rep = 0; rep < 3; rep++) {
        dropData();
        const uint32_t ntax = 40 + 20 * rep;
        DataInfo *d = makeData(treeLikeRows(gen, ntax, 100), "0123");
        ASSERT_TRUE(fastSpanApplies(d));
        const FastSpanScorer sp = fastSpanScorer(d);
        ASSERT_GT(sp.ordLanes, 0u);
        ASSERT_GT(sp.uno.count, 0u);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        make3Tree(t.get(), ntax, 0, 1, 2);
        setTraversalSeq(t.get());
        pointTreeAtPackedData(t.get(), d);
        calcStatesetsForSearch(t.get(), d, false);
        const auto preorder = [&] {
            std::vector<TreeNode *> v;
            for (TreeNode *e = t->root->next; e; e = e->next)
                v.push_back(e);
            return v;
        };
        const auto fin = [](const TreeNode *n) { return nodeSets(n->abm[2]); };
        SubtreeHulls hulls;
        hulls.reset(sp, t.get());
        hulls.rebuild(preorder());
        std::vector<TreeNode *> changed;
        for (uint32_t x = 3; x < ntax; x++) {
            const auto edges = preorder();
            TreeNode *leaf = nodeOfIndex(t.get(), static_cast<int32_t>(x));
            ASSERT_EQ(binConnectLeaf(leaf, edges[gen() % edges.size()], findFreeNode(t.get())), 0);
            t->numLeaves++;
            changed.clear();
            revWatchGraftFinalSets(&changed);
            revUpdateAfterGraft(d, leaf);
            revWatchGraftFinalSets(nullptr);
            hulls.afterJoin(leaf, changed);
            if (x % 16 == 0)
                hulls.rebuild(preorder());
            const ParsNodeSets *probe = nodeSets(nodeOfIndex(t.get(), static_cast<int32_t>(gen() % ntax))->abm[0]);
            for (TreeNode *v : preorder()) {
                std::vector<TreeNode *> below{v};
                for (size_t k = 0; k < below.size(); k++)
                    for (TreeNode *c = below[k]->firstChild; c; c = c->nextSib)
                        below.push_back(c);
                ASSERT_EQ(hulls.size(v), below.size()) << "rep " << rep << " taxa " << x;
                const uint64_t *ho = hulls.ord(v), *hu = hulls.uno(v);
                int64_t cheapest = INT64_MAX;
                for (const TreeNode *u : below) {
                    const ParsNodeSets *f = fin(u);
                    for (uint32_t l = 0; l < sp.ordLanes; l++) {
                        ASSERT_EQ(ho[l] & ~f->ord[l], 0u) << "rep " << rep << " taxa " << x;
                        ASSERT_EQ(f->ord[sp.ordLanes + l] & ~ho[sp.ordLanes + l], 0u) << "rep " << rep << " taxa " << x;
                    }
                    for (uint32_t l = 0; l < sp.uno.count; l++)
                        ASSERT_EQ(f->uno[l] & ~hu[l], 0u) << "rep " << rep << " taxa " << x;
                    cheapest = std::min(cheapest, sp.length(f, probe, 0, INT64_MAX));
                }
                EXPECT_LE(sp.length(ho, hu, probe->ord, probe->uno, 0, INT64_MAX), cheapest);
            }
        }
    }
}

// On hundreds of taxa the edge scan passes over whole subtrees by a bound;
// each taxon must still join at the first edge in preorder where joining it
// costs least. The reference scores every edge from the final sets of a
// full pass over the tree built so far, and ties are common in such data.
TEST_F(RandomAddition, OnHundredsOfTaxaJoinsAtTheFirstCheapestEdge)
{
    std::mt19937 gen(4711);
    for (int rep = 0; rep < 2; rep++) {
        dropData();
        const uint32_t ntax = 320 + 150 * rep, nchar = 150;
        makeData(treeLikeRows(gen, ntax, nchar), "0123");
        const Built b = build(900 + rep);

        TreePtr ref(createTreeForTaxa(ntax, ntax, true));
        expectBuilt(b, ref.get(), joinBySpans(ref.get(), b.order), rep);
    }
}

// The same under a monophyly constraint on a group that the data do not
// make a clade: the cheapest joins are often refused, and the join taken is
// the first in preorder of least cost among those allowed.
TEST_F(RandomAddition, UnderAConstraintJoinsAtTheFirstCheapestAllowedEdge)
{
    std::mt19937 gen(5150);
    const uint32_t ntax = 300;
    makeData(treeLikeRows(gen, ntax, 120), "0123");
    SplitsList *groups = createSplitsList(ntax, 1, true);
    std::vector<uint64_t> group((ntax + 63) / 64, 0);
    for (uint32_t x = 0; x < ntax; x += 5)
        group[x / 64] |= uint64_t{1} << (x % 64);
    appendSplitToList(groups, group.data());
    ASSERT_NE(addConstraint("c", kConMonophyly, groups, true), nullptr);
    TreePtr like(createTreeForTaxa(ntax, ntax, true));
    ASSERT_EQ(prepareSearchConstraints(data, like.get(), false, false, true), 0);
    setTopolConstrained(1);
    const Built b = build(77);
    TreePtr ref(createTreeForTaxa(ntax, ntax, true));
    const double len = joinBySpans(ref.get(), b.order);
    setTopolConstrained(0);
    releaseSearchConstraints();
    deallocAllConstraints();
    expectBuilt(b, ref.get(), len, 0);
}

}  // namespace
