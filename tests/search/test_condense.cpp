#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "data/data_services.h"
#include "parsimony/calcsets.h"
#include "parsimony/stmx_test_support.h"
#include "search/condense.h"
#include "search/critscore.h"
#include "search/hsearch.h"
#include "search/search_settings.h"
#include "search_fixture.h"
#include "trees/collapse.h"
#include "trees/treeedit.h"

namespace {

using Splits = std::set<uint32_t>;  // each: the taxa on the side away from taxon 0

// A tree rooted at taxon 0 from the Newick text of its basal fork over the
// other taxa (single digits), e.g. "(1,((2,3),(4,5)))".
void buildTree(Tree *t, const std::string &text)
{
    initNodes(t, t->ntax);
    t->flags &= ~kTreeRootedAtAnc;
    uint32_t nextFork = t->ntax + 1;
    size_t at = 0;
    std::function<TreeNode *()> group = [&]() -> TreeNode * {
        if (text[at] != '(')
            return t->firstTip + (text[at++] - '0');
        TreeNode *fork = t->nodes + nextFork++;
        TreeNode *last = nullptr;
        do {
            at++;
            TreeNode *c = group();
            c->anc = fork;
            (last ? last->nextSib : fork->firstChild) = c;
            last = c;
        } while (text[at] == ',');
        at++;
        return fork;
    };
    TreeNode *basal = group();
    t->root = t->firstTip;
    t->root->firstChild = basal;
    basal->anc = t->root;
    t->numLeaves = t->ntax;
    afterLeavesChanged(t);
    setTraversalSeq(t);
    determineIfTreeIsBinary(t);
}

Splits splitsOf(Tree *t)
{
    setTraversalSeq(t);
    Splits out;
    TreeNode *basal = t->root->firstChild;
    for (TreeNode *n = basal->next; n; n = n->next) {
        if (!n->firstChild)
            continue;
        uint32_t bits = 0;
        for (TreeNode *p = n; p; p = nextPreorderNode(p, n))
            if (!p->firstChild)
                bits |= 1u << p->index;
        out.insert(bits);
    }
    return out;
}

uint32_t bitsOf(std::initializer_list<int> taxa)
{
    uint32_t b = 0;
    for (int x : taxa)
        b |= 1u << x;
    return b;
}

// Plain reference: every assignment of states 0/1 to the forks, per
// character; tips with '?' fit either state. For each internal edge it
// reports whether some most parsimonious assignment changes on it (maximum
// length positive) and the MPR sets of its two ends.
struct EdgeFacts {
    bool maxPositive = false;
    bool mprDisjoint = false;
    bool mprDiffer = false;
};

std::map<uint32_t, EdgeFacts> referenceFacts(Tree *t, const std::vector<std::string> &rows)
{
    setTraversalSeq(t);
    std::vector<TreeNode *> forks;
    for (TreeNode *n = t->root->firstChild; n; n = n->next)
        if (n->firstChild)
            forks.push_back(n);
    const uint32_t nf = static_cast<uint32_t>(forks.size());
    std::map<uint32_t, EdgeFacts> facts;
    auto split = [&](TreeNode *n) {
        uint32_t bits = 0;
        for (TreeNode *p = n; p; p = nextPreorderNode(p, n))
            if (!p->firstChild)
                bits |= 1u << p->index;
        return bits;
    };
    for (size_t c = 0; c < rows[0].size(); c++) {
        std::vector<uint32_t> state(t->maxNodes);
        std::vector<uint32_t> best;
        uint32_t bestLen = ~0u;
        for (uint32_t a = 0; a < (1u << nf); a++) {
            for (uint32_t i = 0; i < nf; i++)
                state[forks[i] - t->nodes] = (a >> i) & 1;
            uint32_t len = 0;
            for (TreeNode *n = t->root->firstChild; n; n = n->next) {
                const uint32_t mine = state[n - t->nodes];
                TreeNode *anc = n->anc;
                const char ancCell = anc == t->root ? rows[0][c] : 'f';
                auto cell = [&](TreeNode *x) { return rows[x->index][c]; };
                if (!n->firstChild) {
                    const char ch = cell(n);
                    const uint32_t other = anc == t->root ? 0 : state[anc - t->nodes];
                    len += ch != '?' && static_cast<uint32_t>(ch - '0') != other;
                } else if (ancCell != 'f') {
                    len += ancCell != '?' && static_cast<uint32_t>(ancCell - '0') != mine;
                } else {
                    len += mine != state[anc - t->nodes];
                }
            }
            if (len < bestLen) {
                bestLen = len;
                best.clear();
            }
            if (len == bestLen)
                best.push_back(a);
        }
        for (uint32_t i = 0; i < nf; i++) {
            TreeNode *n = forks[i];
            if (n == t->root->firstChild)
                continue;
            const uint32_t j = static_cast<uint32_t>(std::find(forks.begin(), forks.end(), n->anc) - forks.begin());
            uint32_t setN = 0, setA = 0;
            bool change = false;
            for (uint32_t a : best) {
                const uint32_t sn = (a >> i) & 1, sa = (a >> j) & 1;
                setN |= 1u << sn;
                setA |= 1u << sa;
                change = change || sn != sa;
            }
            EdgeFacts &f = facts[split(n)];
            f.maxPositive = f.maxPositive || change;
            f.mprDisjoint = f.mprDisjoint || (setN & setA) == 0;
            f.mprDiffer = f.mprDiffer || setN != setA;
        }
    }
    return facts;
}

class CondenseTest : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        setOptimalityCriterion(kCriterionParsimony, false);
    }
};

// Six taxa on ((0,1),(2,3),(4,5)). Character 1 sets 0 and 1 apart: every
// most parsimonious reconstruction changes on the edge {0,1}|rest. Character
// 2 (2, 3, 4 in state 1) costs two steps either by changes on {2,3} and on 4
// or on {0,1} and on 5: the edges {2,3} and {0,1} may carry a change, none
// must. No character can change on {4,5}.
TEST_F(CondenseTest, EachRuleKeepsTheEdgesItsTestSupports)
{
    makeData({"10", "10", "01", "01", "01", "00"});
    const uint32_t ab = bitsOf({2, 3, 4, 5}), cd = bitsOf({2, 3}), ef = bitsOf({4, 5});
    struct Row {
        CollapseRule rule;
        Splits kept;
    } rows[] = {
        {CollapseRule::kNo, {ab, cd, ef}},
        {CollapseRule::kMaxBrlen, {ab, cd}},
        {CollapseRule::kMinBrlen, {ab}},
        {CollapseRule::kAmbEqual, {ab, cd}},
    };
    TreePtr t(createTreeForTaxa(6, 6, true));
    for (const Row &row : rows) {
        SCOPED_TRACE(static_cast<int>(row.rule));
        buildTree(t.get(), "(1,((2,3),(4,5)))");
        const bool changed = collapseUnsupportedEdges(t.get(), data, false, row.rule);
        EXPECT_EQ(changed, row.kept.size() < 3);
        EXPECT_EQ(splitsOf(t.get()), row.kept);
        EXPECT_EQ(countLeaves(t.get()), 6u);
    }
}

// Outside parsimony the fitted lengths decide. Under distance a length of 0,
// or the rounding noise a fit leaves for one, goes; 1e-12 and a negative
// length stay. Under likelihood a length at the engine's least goes.
TEST_F(CondenseTest, FittedLengthsDecideUnderDistanceAndLikelihood)
{
    makeData({"10", "10", "01", "01", "01", "00"});
    // The criterion as the search layer reports it to the layers below.
    const DataServices savedServices = dataServices();
    DataServices withCriterion = savedServices;
    withCriterion.criterion = [] { return static_cast<int>(getOptimalityCriterion()); };
    resetDataServices();
    installDataServices(withCriterion);
    // Records that leave the lengths on the tree as they are, the
    // likelihood one with the engine's least length.
    CriterionSearchFxns saved[2];
    for (uint32_t c : {kCriterionLikelihood, kCriterionDistance}) {
        const CriterionSearchFxns *installed = criterionSearchFxns(c);
        saved[c - 1] = installed ? *installed : CriterionSearchFxns{};
        CriterionSearchFxns fit{};
        fit.score = [](Tree *, double) { return 0.0; };
        if (c == kCriterionLikelihood)
            fit.zeroBranchLength = [] { return 1e-8; };
        installCriterionSearchFxns(c, fit);
    }
    const uint32_t x = bitsOf({2, 3, 4, 5}), cd = bitsOf({2, 3}), ef = bitsOf({4, 5});
    struct Row {
        uint32_t criterion;
        double lenX, lenCD, lenEF;
        Splits kept;
    } rows[] = {
        {kCriterionDistance, 0.5, 0.0, 1e-12, {x, ef}},
        {kCriterionDistance, -0.01, 1.1e-16, -7.4e-17, {x}},
        {kCriterionLikelihood, 1e-8, 2e-8, 0.3, {cd, ef}},
    };
    TreePtr t(createTreeForTaxa(6, 6, true));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.lenX);
        setOptimalityCriterion(row.criterion, false);
        buildTree(t.get(), "(1,((2,3),(4,5)))");
        TreeNode *forkX = t->root->firstChild->firstChild->nextSib;
        forkX->edge.brlen = row.lenX;
        forkX->firstChild->edge.brlen = row.lenCD;
        forkX->firstChild->nextSib->edge.brlen = row.lenEF;
        EXPECT_FALSE(collapseUnsupportedEdges(t.get(), data, false, CollapseRule::kNo)) << "no rule, no collapse";
        EXPECT_TRUE(collapseUnsupportedEdges(t.get(), data, false, CollapseRule::kMaxBrlen));
        EXPECT_EQ(splitsOf(t.get()), row.kept);
    }
    setOptimalityCriterion(kCriterionParsimony, false);
    for (uint32_t c : {kCriterionLikelihood, kCriterionDistance})
        installCriterionSearchFxns(c, saved[c - 1]);
    resetDataServices();
    installDataServices(savedServices);
}

// Collapse decisions against the brute-force reference on random trees and
// binary matrices with missing cells.
TEST_F(CondenseTest, DecisionsMatchEveryMostParsimoniousReconstruction)
{
    std::mt19937 gen(20261207);
    const uint32_t ntax = 7;
    for (int round = 0; round < 60; round++) {
        std::vector<std::string> rows(ntax, std::string(3, '0'));
        for (auto &r : rows)
            for (char &ch : r) {
                const uint32_t x = gen() % 10;
                ch = x < 4 ? '0' : x < 9 ? '1' : '?';
            }
        dropData();
        makeData(rows);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        // A random binary tree: taxa 1..6 joined at random edges.
        make3Tree(t.get(), ntax, 0, 1, 2);
        for (int32_t x = 3; x < static_cast<int32_t>(ntax); x++) {
            setTraversalSeq(t.get());
            TreeNode *e = t->root->next;
            for (uint32_t k = gen() % (2 * x - 3); k > 0; k--)
                e = e->next;
            binConnectLeaf(nodeOfIndex(t.get(), x), e, findFreeNode(t.get()));
            t->numLeaves++;
        }
        setTraversalSeq(t.get());
        const auto facts = referenceFacts(t.get(), rows);
        TreePtr work(createTreeForTaxa(ntax, ntax, true));
        for (CollapseRule rule : {CollapseRule::kMaxBrlen, CollapseRule::kMinBrlen, CollapseRule::kAmbEqual}) {
            SCOPED_TRACE(testing::Message() << "round " << round << " rule " << static_cast<int>(rule));
            Splits expected;
            for (const auto &[split, f] : facts)
                if (rule == CollapseRule::kMaxBrlen   ? f.maxPositive
                    : rule == CollapseRule::kMinBrlen ? f.mprDisjoint
                                                      : f.mprDiffer)
                    expected.insert(split);
            ASSERT_EQ(copyTree(t.get(), work.get()), 0);
            setTraversalSeq(work.get());
            collapseUnsupportedEdges(work.get(), data, false, rule);
            EXPECT_EQ(splitsOf(work.get()), expected);
        }
    }
}

// Dollo characters alone, the ancestor given as 0: {0,1} gains the derived
// state on every most parsimonious reconstruction, nothing changes on the
// other internal edges, and every rule keeps that edge only.
TEST_F(CondenseTest, EveryRuleKeepsAnEdgeADolloCharacterMustChangeOn)
{
    data = stmtest::makeTypedData(2, {{2, 1}, {2, 2}, {1, 1}, {1, 1}, {1, 1}, {1, 1}});
    for (uint32_t c = 0; c < 2; c++) {
        stmtest::setType(data, c, kCharDollo);
        stmtest::setAncestor(data, c, 1);
    }
    setActiveDataInfo(data);
    gPars.pending = 3;
    ASSERT_EQ(prepareParsimonyData(data), 0);
    TreePtr t(createTreeForTaxa(6, 6, true));
    for (CollapseRule rule : {CollapseRule::kMaxBrlen, CollapseRule::kMinBrlen, CollapseRule::kAmbEqual}) {
        SCOPED_TRACE(static_cast<int>(rule));
        buildTestTree(t.get(), "((0,1),((2,3),(4,5)))", -1);
        afterTreeChange(t.get());
        EXPECT_TRUE(collapseUnsupportedEdges(t.get(), data, false, rule));
        EXPECT_EQ(splitsOf(t.get()), Splits{bitsOf({0, 1})});
    }
}

uint32_t forkCount(Tree *t)
{
    setTraversalSeq(t);
    uint32_t n = 0;
    for (TreeNode *p = t->root->firstChild; p; p = p->next)
        n += p->firstChild != nullptr;
    return n;
}

// Under "maximum branch length is zero" a contracted edge carries no change
// on any most parsimonious reconstruction, so the polytomy it leaves is as
// long as the binary tree: random matrices of each character type (Dollo of
// two states and of more, open or given ancestors, missing and uncertain
// cells) on random trees held at the ancestor.
TEST_F(CondenseTest, CollapsedTreesAreAsLongAsTheirBinaryTreesForEveryType)
{
    DataServices services{};
    services.msTaxa = [] { return static_cast<int>(kMsTaxaUncertain); };
    installDataServices(services);
    std::mt19937 rng(20261208);
    std::vector<std::unique_ptr<stmtest::TestType>> types;
    const char *kinds[] = {"unordered", "ordered", "irreversible", "two-state Dollo", "Dollo", "stepmatrix"};
    long contracted[6] = {};
    for (int trial = 0; trial < 240; trial++) {
        const uint32_t kind = trial % 6;
        const uint32_t ns = kind == 3 ? 2 : 2 + rng() % 3, ntax = 5 + rng() % 5, nchar = 1 + rng() % 6;
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar));
        for (auto &row : cells)
            for (uint64_t &b : row) {
                const uint32_t k = rng() % 12, st = rng() % ns;
                b = k == 0 ? 0 : (uint64_t{1} << st) | (k == 1 ? uint64_t{1} << (st + 1 < ns ? st + 1 : st - 1) : 0);
            }
        dropData();
        types.clear();
        data = stmtest::makeTypedData(ns, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            switch (kind) {
            case 0: stmtest::setType(data, c, kCharUnordered); break;
            case 1: stmtest::setType(data, c, kCharOrdered); break;
            case 2: stmtest::setType(data, c, kCharIrreversible, rng() % 2); break;
            case 3:
            case 4: stmtest::setType(data, c, kCharDollo, rng() % 3 == 0); break;
            default:
                types.push_back(stmtest::randomType(rng, ns, rng() % 2, false));
                stmtest::setType(data, c, kCharUserType, false, &types.back()->ut);
            }
            if (kind >= 2 && kind <= 4 && rng() % 2)
                stmtest::setAncestor(data, c, uint64_t{1} << (rng() % ns));
            data->weights[c] = 1 + rng() % 2;
        }
        setActiveDataInfo(data);
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(data), 0);
        SCOPED_TRACE(testing::Message() << "trial " << trial << " " << kinds[kind]);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        buildTestTree(t.get(), randomTreeText(rng, ntax, -1, false), -1);
        afterTreeChange(t.get());
        pointTreeAtPackedData(t.get(), data);
        const double binary = calcTreeLength(data, t.get(), true, false);
        const uint32_t forks = forkCount(t.get());
        collapseUnsupportedEdges(t.get(), data, false, CollapseRule::kMaxBrlen);
        contracted[kind] += forks - forkCount(t.get());
        afterTreeChange(t.get());
        pointTreeAtPackedData(t.get(), data);
        EXPECT_DOUBLE_EQ(calcTreeLength(data, t.get(), true, false), binary);
    }
    // Every type had edges to contract, so the lengths above were compared
    // on polytomies.
    for (uint32_t k = 0; k < 6; k++)
        EXPECT_GT(contracted[k], 10) << kinds[k];
    dropData();
    resetDataServices();
}

// The search stores collapsed copies while it swaps on another tree whose
// state sets live in the packed data; a collapse must leave them alone.
TEST_F(CondenseTest, CollapsingANeighbourLeavesTheSwappedTreesSetsAlone)
{
    makeData({"10", "10", "01", "01", "01", "00"});
    TreePtr t(createTreeForTaxa(6, 6, true));
    buildTree(t.get(), "(1,((2,3),(4,5)))");
    pointTreeAtPackedData(t.get(), data);
    calcStatesetsForSearch(t.get(), data, false);
    const PackedData *pd = packedData(data);
    const size_t lanes = 3 * size_t{pd->nodeCount} * (4 * pd->ordWords + 2 * pd->unoWords);
    std::vector<uint64_t> before;
    for (uint32_t k = 0; k < 3 * pd->nodeCount; k++) {
        const ParsNodeSets &r = pd->nodeRecs[k];
        before.insert(before.end(), r.ord, r.ord + 4 * pd->ordWords);
        before.insert(before.end(), r.uno, r.uno + 2 * pd->unoWords);
    }
    ASSERT_EQ(before.size(), lanes);
    // A neighbour of the swapped tree, as the swapper stores them.
    TreePtr other(createTreeForTaxa(6, 6, true));
    buildTree(other.get(), "(1,((2,4),(3,5)))");
    EXPECT_TRUE(collapseUnsupportedEdges(other.get(), data, false, CollapseRule::kMinBrlen));
    std::vector<uint64_t> after;
    for (uint32_t k = 0; k < 3 * pd->nodeCount; k++) {
        const ParsNodeSets &r = pd->nodeRecs[k];
        after.insert(after.end(), r.ord, r.ord + 4 * pd->ordWords);
        after.insert(after.end(), r.uno, r.uno + 2 * pd->unoWords);
    }
    EXPECT_EQ(before, after);
}

// The resolutions of the fork above {2,3}, where no character can change,
// become one stored tree.
TEST_F(CondenseTest, ResolutionsOfAnUnsupportedEdgeStoreAsOneTree)
{
    makeData({"10", "10", "01", "01", "00", "00"});
    TreeBuffer *buf = activeBuffer(6);
    TreePtr t(createTreeForTaxa(6, 6, true));
    const char *resolutions[] = {"(1,((2,3),(4,5)))", "(1,(((2,3),4),5))", "(1,(((2,3),5),4))"};
    for (const char *text : resolutions) {
        buildTree(t.get(), text);
        collapseUnsupportedEdges(t.get(), data, false, CollapseRule::kMaxBrlen);
        putTree(t.get(), buf, true);
    }
    EXPECT_EQ(numTreesInBuffer(buf), 1u);
    // A supported difference stays: {2,3} against none.
    buildTree(t.get(), "(1,((2,4),(3,5)))");
    collapseUnsupportedEdges(t.get(), data, false, CollapseRule::kMaxBrlen);
    putTree(t.get(), buf, true);
    EXPECT_EQ(numTreesInBuffer(buf), 2u);
}

// Identical sequences give many binary trees of equal length that differ
// only inside the groups of identical taxa; collapsing keeps one of each.
TEST_F(CondenseTest, SearchOnIdenticalRowsHoldsTheCollapsedTreesOnly)
{
    const std::vector<std::string> rows = {
        "11000", "11000", "11000", "11000", "11000", "10100", "10100", "10100", "00011", "00011",
    };
    auto search = [&](uint32_t rule) {
        dropData();
        makeData(rows);
        activeBuffer(10, 20000);
        gPars.collapse = rule;
        const HSearchOptions savedHs = hs;
        const SearchSettings savedSrch = srch;
        hs.swap = 3;
        srch.dStatus = 0;
        srch.mulTrees = 1;
        setMaxtreesValue(20000);
        const int r = runHeuristicSearch(data);
        hs = savedHs;
        srch = savedSrch;
        EXPECT_EQ(r, 0);
        return numTreesInBuffer(getActiveTreeBuffer());
    };
    EXPECT_GT(search(0), 100u);
    gPrinted.clear();
    EXPECT_EQ(search(1), 1u);
    EXPECT_NE(gPrinted.find("nches collapsed (creating polytomies) if maximum branch length is zero"),
              std::string::npos);
}

}  // namespace
