// Heuristic searches under topological constraints against exhaustive
// enumeration: over every unrooted tree of eight taxa, the shortest length
// among the trees that satisfy the constraint (or, converse, violate it) by
// a plain test of the tree's bipartitions or of the partition's step count,
// must be what the search reaches, and every tree it keeps must pass that test.
#include <functional>
#include <random>

#include "parsimony/treelen.h"
#include "search/hsearch.h"
#include "search/stepwise.h"
#include "search/search_settings.h"
#include "search_fixture.h"
#include "trees/constr.h"
#include "trees/treeedit.h"

namespace {

using Mask = uint32_t;

struct Reference {
    uint32_t type;
    std::vector<Mask> groups;  // backbone: the last is the backbone's taxa
};

// Taxa below every node other than the root tip.
void clustersBelow(const TreeNode *n, std::vector<Mask> &out, Mask *mine)
{
    if (!n->firstChild) {
        *mine = Mask{1} << n->index;
        return;
    }
    Mask all = 0;
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib) {
        Mask m = 0;
        clustersBelow(c, out, &m);
        out.push_back(m);
        all |= m;
    }
    *mine = all;
}

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
    std::vector<Mask> cl;
    Mask below = 0;
    clustersBelow(t->root->firstChild, cl, &below);
    const Mask within = r.type == kConBackbone ? r.groups.back() : all;
    const size_t n = r.type == kConBackbone ? r.groups.size() - 1 : r.groups.size();
    for (size_t k = 0; k < n; k++) {
        bool found = false;
        for (Mask c : cl)
            found |= (c & within) == r.groups[k] || (c & within) == (within & ~r.groups[k]);
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

class ConstrainedSearch : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        saved = hs;
        savedSrch = srch;
        hs = HSearchOptions{};
        srch.dStatus = 0;
    }
    void TearDown() override
    {
        hs = saved;
        srch = savedSrch;
        deallocAllConstraints();
        SearchTest::TearDown();
    }

    // The shortest length over every unrooted binary tree whose reference
    // verdict is `wanted`.
    double exhaustiveBest(uint32_t ntax, const Reference &r, bool wanted)
    {
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        make3Tree(t.get(), ntax, 0, 1, 2);
        double best = 1e37;
        std::function<void(uint32_t)> grow = [&](uint32_t next) {
            setTraversalSeq(t.get());
            if (next == ntax) {
                if (referenceSatisfied(t.get(), r, ntax) != wanted)
                    return;
                pointTreeAtPackedData(t.get(), data);
                best = std::min(best, calcParsimonyScore(data, t.get(), false));
                return;
            }
            std::vector<uint32_t> edges;
            for (TreeNode *e = t->root->next; e; e = e->next)
                edges.push_back(nodePosition(t.get(), e));
            for (uint32_t pos : edges) {
                TreeNode *leaf = nodeOfIndex(t.get(), static_cast<int32_t>(next));
                ASSERT_EQ(binConnectLeaf(leaf, t->nodes + pos, findFreeNode(t.get())), 0);
                grow(next + 1);
                binPruneLeaf(leaf);
                setTraversalSeq(t.get());
            }
        };
        grow(3);
        return best;
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
            for (uint32_t swap : {1u, 2u, 3u}) {
                SCOPED_TRACE(::testing::Message() << "constraint " << (&r - refs.data()) << " converse " << converse
                                                  << " swap " << swap);
                dropData();
                deallocAllConstraints();
                makeData(randomMatrix(gen, ntax, 14));
                TreeBuffer *buf = activeBuffer(ntax, 2000);
                SplitsList *groups = createSplitsList(ntax, static_cast<uint32_t>(r.groups.size()), true);
                for (Mask g : r.groups) {
                    uint64_t w = g;
                    appendSplitToList(groups, &w);
                }
                ASSERT_NE(addConstraint("c", r.type, groups, true), nullptr);
                srch.enforce = 1;
                srch.converse = converse;
                hs.swap = swap;
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
                // NNI from stepwise trees may stop at a local optimum; SPR and
                // TBR with eight replicates reach the best allowed length.
                if (swap >= 2) {
                    EXPECT_DOUBLE_EQ(best, exhaustiveBest(ntax, r, !converse));
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
}

}  // namespace
