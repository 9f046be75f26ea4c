#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qel/qel_malloc.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"
#include "support/tree_test_support.h"

namespace {

TreePtr newTree(uint32_t ntax) { return TreePtr(createTreeForTaxa(ntax, ntax, true)); }

// Child order does not matter: each group's children are sorted as text.
std::string canon(const TreeNode *n)
{
    if (!n->firstChild)
        return std::to_string(n->index);
    std::vector<std::string> parts;
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
        parts.push_back(canon(c));
    std::sort(parts.begin(), parts.end());
    std::string s = "(";
    for (size_t i = 0; i < parts.size(); i++)
        s += (i ? "," : "") + parts[i];
    return s + ")";
}

std::string canonTree(const Tree *tree)
{
    std::string s = std::to_string(tree->root->index) + ":";
    for (const TreeNode *c = tree->root->firstChild; c; c = c->nextSib)
        s += canon(c) + ";";
    return s;
}

// The tree as undirected edges between array positions with their lengths:
// the same for every rooting that carried the edge data along.
std::map<std::pair<uint32_t, uint32_t>, double> edgeMap(const Tree *tree)
{
    std::map<std::pair<uint32_t, uint32_t>, double> m;
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        const TreeNode *n = tree->nodes + p;
        if (n->anc) {
            uint32_t q = nodePosition(tree, n->anc);
            m[{std::min(p, q), std::max(p, q)}] = n->edge.brlen;
        }
    }
    return m;
}

void naivePreorder(TreeNode *n, std::vector<TreeNode *> &out)
{
    out.push_back(n);
    for (TreeNode *c = n->firstChild; c; c = c->nextSib)
        naivePreorder(c, out);
}

void naivePostorder(TreeNode *n, std::vector<TreeNode *> &out)
{
    for (TreeNode *c = n->firstChild; c; c = c->nextSib)
        naivePostorder(c, out);
    out.push_back(n);
}

std::set<int> naiveTips(const TreeNode *n)
{
    if (!n->firstChild)
        return {n->index};
    std::set<int> s;
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib) {
        auto t = naiveTips(c);
        s.insert(t.begin(), t.end());
    }
    return s;
}

std::set<int> leafSetMembers(const Tree *tree, const TreeNode *n)
{
    std::set<int> s;
    for (uint32_t t = 0; t < tree->ntax; t++)
        if (isBitVecMember(n->leafSet, t))
            s.insert(static_cast<int>(t));
    return s;
}

std::vector<int> indices(const std::vector<TreeNode *> &nodes)
{
    std::vector<int> v;
    for (auto *n : nodes)
        v.push_back(n->index);
    return v;
}

std::vector<TreeNode *> listForward(Tree *tree)
{
    std::vector<TreeNode *> v;
    for (TreeNode *p = tree->root; p; p = p->next)
        v.push_back(p);
    return v;
}

// The list as a rebuild would make it, with the prev links checked too.
void expectListMatchesRebuild(Tree *tree)
{
    std::vector<TreeNode *> kept = listForward(tree);
    std::vector<TreeNode *> keptBack;
    for (TreeNode *p = tree->tail; p; p = p->prev)
        keptBack.push_back(p);
    setTraversalSeq(tree);
    std::vector<TreeNode *> fresh = listForward(tree);
    std::vector<TreeNode *> freshBack;
    for (TreeNode *p = tree->tail; p; p = p->prev)
        freshBack.push_back(p);
    EXPECT_EQ(kept, fresh);
    EXPECT_EQ(keptBack, freshBack);
}

void mtRandomPair(void *state, uint32_t n, uint32_t *a, uint32_t *b)
{
    auto &rng = *static_cast<std::mt19937 *>(state);
    *a = rng() % n;
    *b = (*a + 1 + rng() % (n - 1)) % n;
}

}  // namespace

TEST(TreeRecord, SizesIndicesAndNames)
{
    TreePtr one = newTree(1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->maxNodes, 3u);
    EXPECT_EQ(maxNumNodes(1), 3u);

    TreePtr t = newTree(6);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->maxNodes, 13u);
    EXPECT_EQ(t->wordsPerLeafSet, 1u);
    EXPECT_EQ(nodeDex(t->nodes), -1);
    EXPECT_EQ(nodeDex(t->firstTip + 4), 4);
    EXPECT_EQ(nodeDex(nullptr), -9);
    EXPECT_EQ(nodeOfIndex(t.get(), 7), t->nodes + 8);
    EXPECT_EQ(t->lastNode, t->nodes + 12);
    EXPECT_TRUE(isBitVecMember(t->firstTip[3].leafSet, 3));
    EXPECT_EQ(countOneBits(t->firstTip[3].leafSet, 1), 1u);

    char buf[32];
    EXPECT_STREQ(nodeLabel(t->nodes, t.get(), nullptr, buf, sizeof buf), "root");
    EXPECT_STREQ(nodeLabel(t->firstTip + 7, t.get(), nullptr, buf, sizeof buf), "node_8");
    t->activeTaxa = 6;
    t->tipBound = 4;  // two taxa dropped: internal numbers follow all active taxa
    EXPECT_EQ(nodeNum(t->firstTip + 5, t.get()), 8u);
    EXPECT_EQ(nodeNum(t->firstTip + 2, t.get()), 3u);

    EXPECT_EQ(createTreeForTaxa(0, 0, true), nullptr);
    EXPECT_EQ(destroyTree(nullptr, true), nullptr);
}

TEST(TreeRecord, FailedAllocationFreesThePartialTree)
{
    for (int64_t countdown = 0; countdown < 5; countdown++) {
        qel_setAllocFailureCountdown(countdown);
        Tree *t = createTreeForTaxa(100, 100, true);
        qel_setAllocFailureCountdown(-1);
        bool failed = memoryErrorHasOccurred();
        clearMemoryErrorStatus();
        EXPECT_EQ(t == nullptr, failed) << countdown;
        destroyTree(t, true);
    }
}

TEST(TreeRecord, CreateTreeTakesTheTaxaFromTheDataHook)
{
    EXPECT_EQ(createTree(false), nullptr);  // no data set
    TreeDataHooks h{};
    static int dummy;
    h.activeData = [] { return reinterpret_cast<DataInfo *>(&dummy); };
    h.numTaxa = [](const DataInfo *) { return 9u; };
    h.numActiveTaxa = [](const DataInfo *) { return 8u; };
    h.taxonLabel = [](const DataInfo *, uint32_t t) { return t == 2 ? "Gamma" : "other"; };
    setTreeDataHooks(&h);
    Tree *t = createTree(false);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->ntax, 9u);
    EXPECT_EQ(t->activeTaxa, 8u);
    EXPECT_EQ(t->leafSets, nullptr);
    char buf[8];
    EXPECT_STREQ(nodeLabel(t->firstTip + 2, t, nullptr, buf, sizeof buf), "Gamma");
    EXPECT_STREQ(nodeLabel(t->firstTip + 2, t, nullptr, buf, 3), "Ga");
    destroyTree(t, true);
    setTreeDataHooks(nullptr);
}

TEST(TreeTraversal, HandBuiltTreeKnownOrders)
{
    TreePtr t = newTree(5);
    buildTestTree(t.get(), "((0,1),(2,3),4)", -1);
    setTraversalSeq(t.get());
    // Positions 6, 7, 8 are the basal fork, (0,1) and (2,3).
    EXPECT_EQ(indices(listForward(t.get())), (std::vector<int>{-1, 5, 6, 0, 1, 7, 2, 3, 4}));
    std::vector<TreeNode *> back(t->maxNodes);
    back.resize(loadPostorderNodes(t.get(), back.data()));
    EXPECT_EQ(indices(back), (std::vector<int>{4, 3, 2, 7, 1, 0, 6, 5}));
    EXPECT_EQ(makeAllLeafSets(t.get()), 5u);
    EXPECT_EQ(leafSetMembers(t.get(), t->firstTip + 7), (std::set<int>{2, 3}));
    EXPECT_EQ(leafSetMembers(t.get(), t->firstTip + 5), (std::set<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(countLeaves(t.get()), 5u);
    EXPECT_EQ(countEdges(t.get()), 8u);
    EXPECT_EQ(countInternalNodes(t.get()), 3u);
    EXPECT_EQ(countInternalEdges(t.get()), 2u);
    EXPECT_EQ(determineIfTreeIsBinary(t.get()), 0);
    EXPECT_FALSE(isTreeBinary(t.get()));

    setIncludedLeaves(t.get());
    EXPECT_EQ(card(t->includedTaxa), 5u);
    EXPECT_EQ(verifyFullLeafSet(t.get(), 1, ""), 0);

    Set *g = allocSet(5);
    addSetMember(g, 2);
    addSetMember(g, 3);
    EXPECT_EQ(isGroupOnTree(g->words, t.get()), t->firstTip + 7);
    addSetMember(g, 0);
    EXPECT_EQ(isGroupOnTree(g->words, t.get()), nullptr);
    EXPECT_EQ(findMRCAforSet(t.get(), g), t->firstTip + 5);
    EXPECT_EQ(findMRCA(t.get(), t->firstTip + 0, 1), t->firstTip + 6);
    deallocSet(g);

    buildTestTree(t.get(), "((0,1),(2,3))", 4);
    setTraversalSeq(t.get());
    EXPECT_EQ(determineIfTreeIsBinary(t.get()), 1);
    EXPECT_EQ(makeAllLeafSets(t.get()), 5u);  // the root tip is counted too
    EXPECT_EQ(countLeaves(t.get()), 5u);
    for (TreeNode *p = t->tail; p; p = p->prev) {
        EXPECT_NE(p, t->root);
    }
}

TEST(TreeTraversal, ListsAndLeafSetsMatchRecursiveReference)
{
    std::mt19937 rng(101);
    for (uint32_t ntax = 4; ntax <= 200; ntax += (ntax < 20 ? 1 : 17)) {
        for (int rep = 0; rep < 3; rep++) {
            TreePtr t = newTree(ntax);
            int rootTip = (rep == 1) ? -1 : static_cast<int>(rng() % ntax);
            buildTestTree(t.get(), randomTreeText(rng, ntax, rootTip, rep != 2), rootTip);
            std::vector<TreeNode *> pre, post, got(t->maxNodes);
            naivePreorder(t->root, pre);
            got.resize(loadPreorderNodes(t.get(), got.data()));
            EXPECT_EQ(got, pre);

            // The backward walk is the reversed preorder without the root.
            got.resize(t->maxNodes);
            got.resize(loadPostorderNodes(t.get(), got.data()));
            std::vector<TreeNode *> rev(pre.rbegin(), pre.rend() - 1);
            EXPECT_EQ(got, rev);

            TreeNode *top = getFirstFork(t.get());
            naivePostorder(top, post);
            std::vector<TreeNode *> walk;
            for (TreeNode *p = firstPostorderNode(top); p; p = nextPostorderNode(p, top))
                walk.push_back(p);
            EXPECT_EQ(walk, post);

            EXPECT_EQ(makeAllLeafSets(t.get()), ntax);
            for (TreeNode *p : pre) {
                if (p == t->root)
                    continue;
                EXPECT_EQ(leafSetMembers(t.get(), p), naiveTips(p));
                if (p->firstChild) {
                    std::set<int> u;
                    for (TreeNode *c = p->firstChild; c; c = c->nextSib) {
                        auto s = leafSetMembers(t.get(), c);
                        u.insert(s.begin(), s.end());
                    }
                    EXPECT_EQ(leafSetMembers(t.get(), p), u);
                }
            }
            EXPECT_EQ(countLeaves(t.get()), ntax);
            EXPECT_EQ(countEdges(t.get()), static_cast<uint32_t>(pre.size() - 1));
            bool binary = true;
            for (TreeNode *p : pre)
                binary = binary && (p == t->root || !p->firstChild || countChildren(p) == 2);
            EXPECT_EQ(determineIfTreeIsBinary(t.get()), binary ? 1 : 0);
            if (rep == 2) {
                EXPECT_TRUE(binary);
                EXPECT_EQ(countInternalNodes(t.get()), rootTip < 0 ? ntax - 1 : ntax - 2);
            }
        }
    }
}

TEST(TreeOrder, CanonicalOrderIsIndependentOfDrawing)
{
    TreePtr a = newTree(7), b = newTree(7);
    buildTestTree(a.get(), "(((0,1),2),((3,4),(5,6)))", -1);
    buildTestTree(b.get(), "(((6,5),(4,3)),(2,(1,0)))", -1);
    orderTree(a.get(), kOrderByLowestTaxon, nullptr);
    orderTree(b.get(), kOrderByLowestTaxon, nullptr);
    std::vector<TreeNode *> pa, pb;
    naivePreorder(a->root, pa);
    naivePreorder(b->root, pb);
    std::vector<int> tipsA, tipsB;
    for (auto *n : pa)
        if (!n->firstChild) {
            tipsA.push_back(n->index);
        }
    for (auto *n : pb)
        if (!n->firstChild) {
            tipsB.push_back(n->index);
        }
    EXPECT_EQ(tipsA, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(tipsA, tipsB);
    EXPECT_FALSE(isTraversalSeqValid(a.get()));

    // Mode 1: the cherry before the larger clade; mode 2 after it.
    TreePtr c = newTree(5);
    buildTestTree(c.get(), "(((0,1),2),(3,4))", -1);
    orderTree(c.get(), kOrderSmallFirst, nullptr);
    TreeNode *basal = getFirstFork(c.get());
    EXPECT_EQ(canon(basal->firstChild), "(3,4)");
    orderTree(c.get(), kOrderLargeFirst, nullptr);
    EXPECT_EQ(canon(basal->firstChild), "((0,1),2)");
    // Equal keys keep their order.
    buildTestTree(c.get(), "((3,4),(0,1),2)", -1);
    orderTree(c.get(), kOrderLargeFirst, nullptr);
    basal = getFirstFork(c.get());
    EXPECT_EQ(basal->firstChild->firstChild->index, 3);
    EXPECT_EQ(basal->firstChild->nextSib->firstChild->index, 0);
}

TEST(TreeOrder, RelabelNumbersInternalNodesInPostorder)
{
    std::mt19937 rng(7);
    for (uint32_t ntax : {4u, 9u, 64u, 65u, 150u}) {
        TreePtr t = newTree(ntax);
        buildTestTree(t.get(), randomTreeText(rng, ntax, -1, false), -1);
        relabelInternalNodes(t.get());
        TreeNode *basal = getFirstFork(t.get());
        EXPECT_EQ(basal->index, static_cast<int>(2 * ntax - 2));
        std::vector<TreeNode *> post;
        naivePostorder(basal, post);
        int expect = static_cast<int>(ntax);
        for (TreeNode *p : post) {
            if (p->firstChild) {
                EXPECT_EQ(p->index, expect++);
            }
        }
        EXPECT_EQ(expect, static_cast<int>(2 * ntax - 1));
    }
}

TEST(TreeCopy, CopiesAreDeepAndIndependent)
{
    std::mt19937 rng(55);
    TreePtr src = newTree(30), dst = newTree(30);
    buildTestTree(src.get(), randomTreeText(rng, 30, 3, true), 3);
    for (uint32_t p = 0; p < src->maxNodes; p++)
        src->nodes[p].edge.brlen = 0.5 * p;
    src->score[0] = 123.0;
    setTraversalSeq(src.get());
    makeAllLeafSets(src.get());
    ASSERT_EQ(copyTree(src.get(), dst.get()), 0);
    EXPECT_EQ(canonTree(dst.get()), canonTree(src.get()));
    EXPECT_EQ(edgeMap(dst.get()), edgeMap(src.get()));
    EXPECT_EQ(dst->score[0], 123.0);
    EXPECT_FALSE(dst->flags & (kTreeTraversalValid | kTreeLeafSetsValid | kTreeIncludedValid));
    for (uint32_t p = 0; p < dst->maxNodes; p++) {
        const TreeNode *n = dst->nodes + p;
        for (const TreeNode *q : {n->anc, n->firstChild, n->nextSib})
            EXPECT_TRUE(!q || (q >= dst->nodes && q < dst->nodes + dst->maxNodes));
    }
    std::string before = canonTree(src.get());
    TreeNode *tip = dst->firstTip + 10;
    ASSERT_EQ(rerootTree(dst.get(), tip, true), 0);
    dst->firstTip[11].edge.brlen = 99.0;
    EXPECT_EQ(canonTree(src.get()), before);
    EXPECT_EQ(src->root, src->firstTip + 3);
    EXPECT_NE(src->firstTip[11].edge.brlen, 99.0);

    TreePtr other = newTree(31);
    EXPECT_EQ(copyTree(src.get(), other.get()), 1);

    Tree *snap = shallowCopyTree(src.get(), nullptr);
    ASSERT_NE(snap, nullptr);
    EXPECT_EQ(snap->root, src->root);  // a snapshot still points into src
    EXPECT_NE(snap->nodes, src->nodes);
    destroyTree(snap, false);
}

TEST(TreeEdit, RerootKeepsEveryEdgeAndItsData)
{
    std::mt19937 rng(9);
    for (uint32_t ntax = 4; ntax <= 120; ntax += 13) {
        TreePtr t = newTree(ntax);
        buildTestTree(t.get(), randomTreeText(rng, ntax, 0, true), 0);
        for (uint32_t p = 1; p < t->maxNodes; p++)
            t->nodes[p].edge.brlen = 1.0 + p;
        t->root->edge.brlen = 0.0;
        auto edges = edgeMap(t.get());
        for (int k = 0; k < 5; k++) {
            TreeNode *target = t->firstTip + rng() % ntax;
            ASSERT_EQ(rerootTree(t.get(), target, true), 0);
            EXPECT_EQ(t->root, target);
            EXPECT_EQ(target->anc, nullptr);
            EXPECT_EQ(target->edge.brlen, 0.0);
            EXPECT_EQ(edgeMap(t.get()), edges);
            EXPECT_FALSE(isTraversalSeqValid(t.get()));
            std::vector<TreeNode *> pre;
            naivePreorder(t->root, pre);
            EXPECT_EQ(pre.size(), edges.size() + 1);
        }
    }
}

TEST(TreeEdit, RerootOnThreeEdgePathAndRefusals)
{
    TreePtr t = newTree(4);
    buildTestTree(t.get(), "(1,(2,3))", 0);
    TreeNode *f1 = t->firstTip + 4, *f2 = t->firstTip + 5, *tip3 = t->firstTip + 3;
    f1->edge.brlen = 1;
    f2->edge.brlen = 2;
    tip3->edge.brlen = 3;
    t->firstTip[1].edge.brlen = 4;
    t->firstTip[2].edge.brlen = 5;
    ASSERT_EQ(rerootTree(t.get(), tip3, true), 0);
    std::multiset<double> lens;
    for (uint32_t p = 1; p < t->maxNodes; p++)
        if (t->nodes[p].anc)
            lens.insert(t->nodes[p].edge.brlen);
    EXPECT_EQ(lens, (std::multiset<double>{1, 2, 3, 4, 5}));
    EXPECT_EQ(tip3->edge.brlen, 0.0);
    EXPECT_EQ(t->firstTip[0].edge.brlen, 1.0);  // the old root's edge is f1's old edge

    // A node that is not on the tree cannot become its root.
    TreeNode *loose = t->firstTip + 6;
    EXPECT_EQ(rerootTree(t.get(), loose, true), 1);
    EXPECT_EQ(t->root, tip3);
}

TEST(TreeEdit, PruneSubtreeRemovesForkOnlyWhenItBecomesUnary)
{
    TreePtr t = newTree(6);
    buildTestTree(t.get(), "((0,1),(2,3,4),5)", -1);
    TreeNode *cherry = t->firstTip + 7;
    t->firstTip[1].edge.brlen = 2.0;
    cherry->edge.brlen = 3.0;
    EXPECT_EQ(pruneSubtree(t->firstTip + 0, true), cherry);
    EXPECT_EQ(t->firstTip[1].anc, t->firstTip + 6);
    EXPECT_EQ(t->firstTip[1].edge.brlen, 5.0);
    EXPECT_EQ(pruneSubtree(t->firstTip + 3, true), nullptr);
    EXPECT_EQ(countChildren(t->firstTip + 8), 2u);
    EXPECT_EQ(canonTree(t.get()), "-1:((2,4),1,5);");
}

TEST(TreeEdit, DetachThenReattachRestoresTheTree)
{
    std::mt19937 rng(3);
    for (uint32_t ntax = 5; ntax <= 200; ntax += 15) {
        TreePtr t = newTree(ntax);
        buildTestTree(t.get(), randomTreeText(rng, ntax, 0, true), 0);
        std::string before = canonTree(t.get());
        for (int k = 0; k < 10; k++) {
            // A random non-root node; its sibling is where it goes back.
            TreeNode *n;
            do
                n = t->nodes + 1 + rng() % (t->maxNodes - 1);
            while (!n->anc || n->anc == t->root);
            TreeNode *parent = n->anc;
            bool binaryParent = countChildren(parent) == 2;
            TreeNode *sib = n->nextSib ? n->nextSib : parent->firstChild;
            TreeNode *fork = pruneSubtree(n, false);
            EXPECT_EQ(fork != nullptr, binaryParent);
            if (fork) {
                EXPECT_EQ(graftSubtreeToEdge(t.get(), n, sib, fork), 0);
            } else {
                // The parent keeps its other children: hang n back directly.
                n->anc = parent;
                n->nextSib = parent->firstChild;
                parent->firstChild = n;
            }
            EXPECT_EQ(canonTree(t.get()), before);
        }
    }
}

TEST(TreeEdit, BinaryLeafPruneAndConnectKeepTheList)
{
    std::mt19937 rng(21);
    for (uint32_t ntax = 5; ntax <= 150; ntax += 29) {
        TreePtr t = newTree(ntax);
        buildTestTree(t.get(), randomTreeText(rng, ntax, 0, false), 0);
        setTraversalSeq(t.get());
        std::string before = canonTree(t.get());
        for (int k = 0; k < 20; k++) {
            TreeNode *leaf = t->firstTip + 1 + rng() % (ntax - 1);
            TreeNode *fork = leaf->anc;
            if (fork->firstChild != leaf) {
                EXPECT_EQ(binPruneLeaf(leaf), nullptr);  // only a first child
                continue;
            }
            TreeNode *sib = binPruneLeaf(leaf);
            ASSERT_NE(sib, nullptr);
            EXPECT_EQ(leaf->anc, nullptr);
            expectListMatchesRebuild(t.get());
            // Join it somewhere else, check, then move it back.
            TreeNode *elsewhere;
            do
                elsewhere = t->nodes + 1 + rng() % (t->maxNodes - 1);
            while (!elsewhere->anc);
            ASSERT_EQ(binConnectLeaf(leaf, elsewhere, fork), 0);
            expectListMatchesRebuild(t.get());
            ASSERT_EQ(binPruneLeaf(leaf), elsewhere);
            ASSERT_EQ(binConnectLeaf(leaf, sib, fork), 0);
            expectListMatchesRebuild(t.get());
            EXPECT_EQ(canonTree(t.get()), before);
        }
    }
}

TEST(TreeEdit, GraftRefusesCyclesAndBusyNodes)
{
    TreePtr t = newTree(6);
    buildTestTree(t.get(), "((0,1),(2,3),4)", 5);
    std::string before = canonTree(t.get());
    TreeNode *cherry = t->firstTip + 7;
    TreeNode *spare = t->firstTip + 9;
    // Still attached: grafting it would leave it in two places.
    EXPECT_EQ(graftSubtreeToEdge(t.get(), cherry, t->firstTip + 2, spare), 1);
    ASSERT_EQ(pruneSubtree(cherry, false), nullptr);
    // Into itself: a cycle.
    EXPECT_EQ(graftSubtreeToEdge(t.get(), cherry, t->firstTip + 0, spare), 1);
    // The spare fork is in use.
    EXPECT_EQ(graftSubtreeToEdge(t.get(), cherry, t->firstTip + 2, t->firstTip + 8), 1);
    // The root has no edge above it.
    EXPECT_EQ(graftSubtreeToEdge(t.get(), cherry, t->root, spare), 1);
    EXPECT_EQ(binConnectLeaf(t->firstTip + 2, t->firstTip + 3, spare), 1);  // leaf attached
    EXPECT_EQ(graftSubtreeToEdge(t.get(), cherry, t->firstTip + 4, spare), 0);
    EXPECT_EQ(canonTree(t.get()), "5:(((0,1),4),(2,3));");
    EXPECT_NE(before, canonTree(t.get()));
}

TEST(TreeEdit, DerootJoinsTheRootEdges)
{
    TreePtr t = newTree(4);
    buildTestTree(t.get(), "((0,1),(2,3))", -1);
    TreeNode *ab = t->firstTip + 5, *cd = t->firstTip + 6;
    ab->edge.brlen = 1.5;
    cd->edge.brlen = 2.5;
    ASSERT_EQ(derootTree(t.get(), nullptr, true), 0);
    EXPECT_EQ(t->root, t->firstTip + 0);
    EXPECT_FALSE(t->flags & kTreeRootedAtAnc);
    EXPECT_EQ(canonTree(t.get()), "0:((2,3),1);");
    EXPECT_EQ(cd->edge.brlen, 4.0);
    EXPECT_EQ(t->nodes[0].anc, nullptr);
    EXPECT_EQ(t->nodes[0].firstChild, nullptr);
    // Only a tree rooted at the ancestor can be derooted.
    EXPECT_EQ(derootTree(t.get(), nullptr, true), 1);

    buildTestTree(t.get(), "(0,1,2,3)", -1);
    ASSERT_EQ(derootTree(t.get(), t->firstTip + 2, true), 0);
    EXPECT_EQ(canonTree(t.get()), "2:(0,1,3);");

    // Rooted on a tip's branch, with the tip second: no one-child node.
    TreePtr u = newTree(5);
    buildTestTree(u.get(), "(((0,1),(3,4)),2)", -1);
    ASSERT_EQ(derootTree(u.get(), nullptr, false), 0);
    EXPECT_EQ(canonTree(u.get()), "0:(((3,4),2),1);");  // splits 01 and 34 kept
}

TEST(TreeEdit, RootingAtForksAndContraction)
{
    TreePtr t = newTree(5);
    buildTestTree(t.get(), "((0,1),(2,3),4)", -1);
    TreeNode *basal = getFirstFork(t.get());
    t->firstTip[5].edge.brlen = 7.0;
    ASSERT_EQ(rerootAtFirstFork(t.get()), 0);
    EXPECT_EQ(t->root, basal);
    EXPECT_EQ(countChildren(basal), 4u);
    EXPECT_EQ(t->nodes[0].anc, basal);
    EXPECT_EQ(t->nodes[0].edge.brlen, 7.0);
    EXPECT_EQ(rerootAtFirstFork(t.get()), 1);

    buildTestTree(t.get(), "((0,1),(2,3),4)", -1);
    setTraversalSeq(t.get());
    t->specialNode = t->firstTip + 6;
    ASSERT_EQ(contractInternalEdge(t.get(), t->firstTip + 6), 0);
    EXPECT_EQ(t->specialNode, t->firstTip + 0);
    expectListMatchesRebuild(t.get());
    EXPECT_EQ(canonTree(t.get()), "-1:((2,3),0,1,4);");
    EXPECT_EQ(contractInternalEdge(t.get(), t->firstTip + 2), 1);  // a tip

    // A root with two children, the first internal, as a tree writer holds it.
    TreePtr two = newTree(4);
    buildTestTree(two.get(), "((0,1),(2,3))", -1);
    TreeNode *r = two->nodes;
    TreeNode *top = getFirstFork(two.get());
    two->root = top;
    top->anc = nullptr;
    r->firstChild = nullptr;
    TreeNode *a = top->firstChild, *b = a->nextSib;
    a->edge.brlen = 1.0;
    b->edge.brlen = 2.0;
    ASSERT_EQ(rerootAtInternalNode(two.get()), 0);
    EXPECT_EQ(countChildren(top), 3u);
    EXPECT_EQ(b->edge.brlen, 3.0);
    EXPECT_EQ(a->anc, nullptr);
}

TEST(TreeBuild, SmallTreesAndRandomResolution)
{
    TreePtr t = newTree(8);
    ASSERT_EQ(make3Tree(t.get(), 8, 2, 5, 7), 0);
    EXPECT_EQ(canonTree(t.get()), "2:(5,7);");
    EXPECT_TRUE(isTreeBinary(t.get()));
    EXPECT_TRUE(isTraversalSeqValid(t.get()));
    EXPECT_EQ(make3Tree(t.get(), 8, 5, 5, 7), 1);

    std::mt19937 rng(5);
    for (uint32_t n : {4u, 5u, 12u, 100u}) {
        for (bool rooted : {false, true}) {
            TreePtr s = newTree(n);
            ASSERT_EQ(makeStarTree(s.get(), n, rooted, 0, nullptr), 0);
            EXPECT_EQ(s->numLeaves, n);
            EXPECT_EQ(countLeaves(s.get()), n);
            uint32_t before = countInternalNodes(s.get());
            ASSERT_EQ(dichotomizeTree(s.get(), mtRandomPair, &rng), 0);
            uint32_t used = countInternalNodes(s.get()) - before;
            EXPECT_EQ(used, rooted ? n - 2 : n - 3);
            EXPECT_EQ(determineIfTreeIsBinary(s.get()), 1);
            EXPECT_EQ(makeAllLeafSets(s.get()), n);
        }
    }
}

TEST(TreeQueries, CentroidAndBranchLengthWalks)
{
    TreePtr t = newTree(5);
    buildTestTree(t.get(), "((((0,1),2),3),4)", -1);
    makeAllLeafSets(t.get());
    // Forks by position: 6 basal, 7, 8, 9 the cherry (0,1); the middle is 7's child 8.
    EXPECT_EQ(findTreeCentroid(t.get()), t->nodes + 8);

    for (uint32_t p = 1; p < t->maxNodes; p++)
        t->nodes[p].edge.brlen = 1.0;
    t->nodes[6].edge.brlen = 0.0;
    EXPECT_DOUBLE_EQ(sumBranchLens(t.get(), true), 8.0);
    std::vector<double> saved(t->maxNodes);
    saveAllBranchLengths(t.get(), saved.data());
    rescaleTree(t.get(), -1.0);
    EXPECT_DOUBLE_EQ(sumBranchLens(t.get(), true), 1.0);
    restoreAllBranchLengths(t.get(), saved.data());
    EXPECT_DOUBLE_EQ(sumBranchLens(t.get(), false), 8.0);

    // An ultrametric tree: ages from lengths and back.
    buildTestTree(t.get(), "((0,1),(2,3,4))", -1);
    setTraversalSeq(t.get());
    t->nodes[7].edge.brlen = 2.0;  // (0,1)
    t->nodes[8].edge.brlen = 3.0;  // (2,3,4)
    t->firstTip[2].edge.brlen = 2.0;
    t->firstTip[3].edge.brlen = 2.0;
    t->firstTip[4].edge.brlen = 2.0;
    t->firstTip[0].edge.brlen = t->firstTip[1].edge.brlen = 3.0;
    setNodeAgesFromBrlens(t.get());
    EXPECT_DOUBLE_EQ(t->nodes[6].age, 5.0);
    EXPECT_DOUBLE_EQ(t->nodes[8].age, 2.0);
    auto edges = edgeMap(t.get());
    setBrlensFromNodeAges(t.get(), 1.0);
    auto after = edgeMap(t.get());
    for (auto &[k, v] : edges)
        if (k.first != 0) {
            EXPECT_DOUBLE_EQ(after[k], v);
        }
    TreeNode *forks[] = {t->nodes + 6, t->nodes + 7, t->nodes + 8};
    sortInternalNodesByDepth(3, forks);
    EXPECT_EQ(forks[0], t->nodes + 8);
    EXPECT_EQ(forks[2], t->nodes + 6);
}

TEST(TreeEdit, PruneTipsetRerootsAndRenumbers)
{
    TreePtr t = newTree(6);
    buildTestTree(t.get(), "((1,2),(3,4),5)", 0);
    Set *gone = allocSet(6);
    addSetMember(gone, 0);
    addSetMember(gone, 3);
    ASSERT_EQ(pruneTipsetFromTree(t.get(), gone, nullptr, true), 0);
    EXPECT_EQ(t->root, t->firstTip + 1);
    // Taxa 1, 2, 4, 5 become 0, 1, 2, 3.
    EXPECT_EQ(canonTree(t.get()), "0:((2,3),1);");
    std::set<int> idx;
    for (TreeNode *p = t->root; p; p = nextPreorderNode(p, t->root))
        if (!p->firstChild || p == t->root) {
            idx.insert(p->index);
        }
    EXPECT_EQ(idx, (std::set<int>{0, 1, 2, 3}));
    deallocSet(gone);
}

TEST(TreeLeafSets, IncrementalUpdatesMatchAFullRebuild)
{
    std::mt19937 rng(77);
    for (uint32_t ntax = 6; ntax <= 130; ntax += 31) {
        TreePtr t = newTree(ntax), ref = newTree(ntax);
        buildTestTree(t.get(), randomTreeText(rng, ntax, 0, false), 0);
        setTraversalSeq(t.get());
        makeAllLeafSets(t.get());
        for (int k = 0; k < 15; k++) {
            TreeNode *leaf = t->firstTip + 1 + rng() % (ntax - 1);
            if (leaf->anc->firstChild != leaf || leaf->anc->anc == nullptr)
                continue;
            removeLeafFromLeafSets(leaf);
            TreeNode *fork = leaf->anc;
            binPruneLeaf(leaf);
            TreeNode *target;
            do
                target = t->nodes + 1 + rng() % (t->maxNodes - 1);
            while (!target->anc);
            ASSERT_EQ(binConnectLeaf(leaf, target, fork), 0);
            addNewLeafToLeafsets(t.get(), leaf);
            ASSERT_EQ(copyTree(t.get(), ref.get()), 0);
            makeAllLeafSets(ref.get());
            for (uint32_t p = 1; p < t->maxNodes; p++) {
                if (t->nodes[p].anc) {
                    EXPECT_EQ(leafSetMembers(t.get(), t->nodes + p), leafSetMembers(ref.get(), ref->nodes + p));
                }
            }
        }
    }
}

TEST(TreeEdit, InduceSubtreeKeepsOnlyTheChosenTaxa)
{
    TreePtr t = newTree(7);
    buildTestTree(t.get(), "(((0,1),2),((3,4),(5,6)))", -1);
    uint64_t keep = (1u << 0) | (1u << 2) | (1u << 4) | (1u << 5);
    induceSubtree(t.get(), &keep, false);
    EXPECT_EQ(canonTree(t.get()), "-1:((0,2),(4,5));");
    EXPECT_EQ(countLeaves(t.get()), 4u);
    EXPECT_EQ(findFreeNode(t.get()), t->nodes + 10);  // the removed fork (0,1) is free again
}

namespace {

// Structural invariants any edit must keep: links agree both ways, every
// taxon hangs exactly once below the root, the rebuilt traversal list is the
// naive preorder, and each leaf set is the set of tips below its node.
void expectTreeInvariants(Tree *tree, const std::set<int> &allTips)
{
    std::vector<TreeNode *> order;
    naivePreorder(tree->root, order);
    std::set<TreeNode *> seen(order.begin(), order.end());
    ASSERT_EQ(seen.size(), order.size()) << "a node is reachable twice";
    for (TreeNode *n : order)
        for (TreeNode *c = n->firstChild; c; c = c->nextSib)
            ASSERT_EQ(c->anc, n);
    ASSERT_EQ(naiveTips(tree->root), allTips);
    afterTreeChange(tree);
    setTraversalSeq(tree);
    ASSERT_EQ(listForward(tree), order);
    makeAllLeafSets(tree);
    for (TreeNode *n : order) {
        if (n->firstChild && n != tree->root) {  // a tip root's set is its own taxon
            ASSERT_EQ(leafSetMembers(tree, n), naiveTips(n)) << "node " << n->index;
        }
    }
}

bool isBelow(const TreeNode *n, const TreeNode *top)
{
    for (; n; n = n->anc)
        if (n == top)
            return true;
    return false;
}

}  // namespace

TEST(TreeEdit, ThousandsOfRandomMovesKeepTheInvariants)
{
    std::mt19937 rng(77);
    for (uint32_t ntax : {6u, 17u, 60u}) {
        TreePtr t = newTree(ntax);
        buildTestTree(t.get(), randomTreeText(rng, ntax, 0, false), 0);
        // Rooted at taxon 0: the root is itself a tip, the others hang below.
        std::set<int> allTips = naiveTips(t->root);
        ASSERT_EQ(allTips.size(), ntax - 1);
        for (int move = 0; move < 1500; move++) {
            std::vector<TreeNode *> nodes;
            naivePreorder(t->root, nodes);
            // Move a random subtree whose parent is a binary fork (so the
            // fork is freed) to a random edge outside it.
            TreeNode *n = nodes[1 + rng() % (nodes.size() - 1)];
            if (n->anc == t->root || countChildren(n->anc) != 2)
                continue;
            TreeNode *fork = pruneSubtree(n, true);
            ASSERT_NE(fork, nullptr);
            std::vector<TreeNode *> rest;
            naivePreorder(t->root, rest);
            TreeNode *target = rest[1 + rng() % (rest.size() - 1)];
            ASSERT_FALSE(isBelow(target, n));
            ASSERT_EQ(graftSubtreeToEdge(t.get(), n, target, fork), 0);
            expectTreeInvariants(t.get(), allTips);
            if (HasFatalFailure())
                return;
        }
    }
}
