#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qel/qel_sets.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeprune.h"

namespace {

struct TreeDeleter {
    void operator()(Tree *t) const { destroyTree(t, true); }
};
using TreePtr = std::unique_ptr<Tree, TreeDeleter>;
using BufPtr = TreeBufferHandle;
struct SetDeleter {
    void operator()(Set *s) const { deallocSet(s); }
};

// A random tree with random edge lengths: groups joined two or three at a
// time; rooted trees hang under the ancestor node, unrooted ones at tip 0.
void randomTree(Tree *tree, std::mt19937 &rng, bool rooted)
{
    const uint32_t ntax = tree->ntax;
    initNodes(tree, ntax);
    tree->flags &= ~kTreeRootedAtAnc;
    std::vector<TreeNode *> groups;
    for (uint32_t t = rooted ? 0 : 1; t < ntax; t++)
        groups.push_back(tree->firstTip + t);
    uint32_t nextFork = ntax + 1;
    while (groups.size() > 1) {
        const size_t k = groups.size() > 2 && rng() % 4 == 0 ? 3 : 2;
        TreeNode *fork = tree->nodes + nextFork++;
        TreeNode *last = nullptr;
        for (size_t i = 0; i < k; i++) {
            const size_t j = rng() % groups.size();
            TreeNode *c = groups[j];
            groups.erase(groups.begin() + static_cast<long>(j));
            c->anc = fork;
            (last ? last->nextSib : fork->firstChild) = c;
            last = c;
        }
        groups.push_back(fork);
    }
    TreeNode *root = rooted ? tree->nodes : tree->firstTip;
    root->firstChild = groups[0];
    groups[0]->anc = root;
    tree->root = root;
    if (rooted)
        tree->flags |= kTreeRootedAtAnc;
    for (uint32_t p = 0; p < tree->maxNodes; p++)
        tree->nodes[p].edge.brlen = static_cast<double>(rng() % 64 + 1) / 8.0;
    setTraversalSeq(tree);
}

// What an induced subtree must show, computed from the whole tree: its
// nontrivial clusters (rooted) or splits (unrooted, the side without the
// lowest leaf) over the new taxon numbers, and the path length between every
// pair of remaining leaves.
struct Induced {
    std::set<uint64_t> groups;
    std::map<std::pair<int, int>, double> paths;
    uint32_t leaves = 0;
};

uint64_t collect(const TreeNode *n, const std::vector<int> &number, std::vector<uint64_t> &below,
                 const Tree *tree)
{
    uint64_t bits = 0;
    if (!n->firstChild || n == tree->root) {
        if (n->index >= 0 && number[static_cast<size_t>(n->index)] >= 0)
            bits |= uint64_t{1} << number[static_cast<size_t>(n->index)];
    }
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
        bits |= collect(c, number, below, tree);
    below[static_cast<size_t>(n - tree->nodes)] = bits;
    return bits;
}

Induced induced(const Tree *tree, const std::vector<int> &number)
{
    Induced r;
    std::vector<uint64_t> below(tree->maxNodes);
    const uint64_t all = collect(tree->root, number, below, tree);
    r.leaves = static_cast<uint32_t>(std::popcount(all));
    const bool rooted = tree->root->index < 0;
    const uint64_t lowest = all & (~all + 1);
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        const TreeNode *n = tree->nodes + p;
        if (!n->anc)
            continue;
        uint64_t g = below[p];
        if (!rooted && (g & lowest))
            g = all & ~g;
        const int size = std::popcount(g);
        if (size >= 2 && size <= static_cast<int>(r.leaves) - (rooted ? 1 : 2))
            r.groups.insert(g);
    }
    // Path lengths from each leaf's depth and the deepest common ancestor.
    std::vector<const TreeNode *> tips;
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        const TreeNode *n = tree->nodes + p;
        if ((n->anc || n == tree->root) && (!n->firstChild || n == tree->root) && n->index >= 0 &&
            number[static_cast<size_t>(n->index)] >= 0)
            tips.push_back(n);
    }
    auto depth = [](const TreeNode *n) {
        double d = 0;
        for (; n->anc; n = n->anc)
            d += n->edge.brlen;
        return d;
    };
    for (const TreeNode *a : tips) {
        for (const TreeNode *b : tips) {
            std::set<const TreeNode *> up;
            for (const TreeNode *x = a; x; x = x->anc)
                up.insert(x);
            const TreeNode *m = b;
            while (!up.count(m))
                m = m->anc;
            r.paths[{number[static_cast<size_t>(a->index)], number[static_cast<size_t>(b->index)]}] =
                depth(a) + depth(b) - 2 * depth(m);
        }
    }
    return r;
}

struct Case {
    uint32_t original;              // taxa of the data set
    std::vector<uint32_t> toOrig;   // tree tip number -> original number
    std::vector<int> number;        // tree tip number -> new number, -1 deleted
    std::unique_ptr<Set, SetDeleter> deleted;
    uint32_t remaining = 0;
};

// Some taxa deleted before the trees were made (not on them), some now.
Case makeCase(std::mt19937 &rng, uint32_t original, uint32_t before, uint32_t now)
{
    Case c;
    c.original = original;
    c.deleted.reset(allocSet(original));
    std::vector<uint32_t> order(original);
    for (uint32_t i = 0; i < original; i++)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (uint32_t i = 0; i < before + now; i++)
        addSetMember(c.deleted.get(), order[i]);
    std::set<uint32_t> earlier(order.begin(), order.begin() + before);
    for (uint32_t o = 0; o < original; o++) {
        if (earlier.count(o))
            continue;
        c.toOrig.push_back(o);
        c.number.push_back(isSetMember(c.deleted.get(), o) ? -1 : static_cast<int>(c.remaining++));
    }
    return c;
}

const char *nameFor(uint32_t k, char *buffer, size_t size)
{
    // Numbered names and explicit ones in one buffer.
    if (k % 3 == 0)
        std::snprintf(buffer, size, "odd name %c", static_cast<char>('a' + k % 26));
    else
        std::snprintf(buffer, size, "tree_%u", k + 1);
    return buffer;
}

struct Source {
    BufPtr buf;
    std::vector<Induced> expect;
    std::vector<double> weight;
    std::vector<std::string> name;
};

Source makeSource(std::mt19937 &rng, const Case &c, uint32_t count, bool rooted)
{
    Source s;
    const auto ntax = static_cast<uint32_t>(c.toOrig.size());
    s.buf.reset(createTreeBuffer(ntax, 4, true, false, false));
    TreePtr t(createTreeForTaxa(ntax, ntax, false));
    for (uint32_t k = 0; k < count; k++) {
        randomTree(t.get(), rng, rooted);
        s.expect.push_back(induced(t.get(), c.number));
        const uint32_t n = putTree(t.get(), s.buf.get(), false);
        EXPECT_EQ(n, k + 1);
        char name[64];
        s.name.emplace_back(nameFor(k, name, sizeof name));
        s.weight.push_back(0.25 * (k % 5 + 1));
        EXPECT_EQ(storeBranchLengths(s.buf.get(), t.get(), k, true, 3), 0);
        EXPECT_EQ(storeTreeWt(s.buf.get(), k, s.weight.back()), 0);
        EXPECT_EQ(storeTreeName(s.buf.get(), name, k), 0);
    }
    return s;
}

void expectSameTree(const Induced &want, const Induced &got)
{
    EXPECT_EQ(want.leaves, got.leaves);
    EXPECT_EQ(want.groups, got.groups);
    ASSERT_EQ(want.paths.size(), got.paths.size());
    for (const auto &[pair, length] : want.paths)
        EXPECT_NEAR(length, got.paths.at(pair), 1e-9);
}

Induced storedTree(TreeBuffer *buf, uint32_t n, uint32_t remaining)
{
    TreePtr t(createTreeForTaxa(remaining, remaining, false));
    EXPECT_EQ(getTree(buf, n, t.get()), 0);
    std::vector<int> identity(remaining);
    for (uint32_t i = 0; i < remaining; i++)
        identity[i] = static_cast<int>(i);
    return induced(t.get(), identity);
}

TEST(TreePrune, StoredTreesAreTheInducedSubtreesWithTheirAttributes)
{
    std::mt19937 rng(20240611);
    for (int rep = 0; rep < 60; rep++) {
        const bool rooted = rep % 2 == 1;
        const uint32_t original = 8 + rng() % 12;
        Case c = makeCase(rng, original, rng() % 3, 1 + rng() % (original - 6));
        Source src = makeSource(rng, c, 12, rooted);
        BufPtr to(createTreeBuffer(c.remaining, 4, true, false, false));
        std::vector<uint32_t> origin;
        for (uint32_t k = 0; k < 12; k++) {
            const PruneResult r = pruneTreeIntoBuffer(src.buf.get(), k, to.get(), c.deleted.get(),
                                                      c.toOrig.data(), false);
            ASSERT_EQ(r, PruneResult::kStored) << "rep " << rep << " tree " << k;
            origin.push_back(k);
        }
        ASSERT_EQ(numTreesInBuffer(to.get()), 12u);
        EXPECT_EQ(areTreesRooted(to.get()), rooted);
        for (uint32_t n = 1; n <= 12; n++) {
            const uint32_t k = origin[n - 1];
            SCOPED_TRACE(testing::Message() << "rep " << rep << " tree " << n);
            expectSameTree(src.expect[k], storedTree(to.get(), n, c.remaining));
            EXPECT_EQ(getTreeWtBuf(to.get())[n - 1], src.weight[k]);
            EXPECT_EQ(getTreeName(to.get(), n), src.name[k]);
        }
        EXPECT_EQ(getMaxBranchLenDecimals(to.get()), 3u);
        // The source is left as it was.
        EXPECT_EQ(numTreesInBuffer(src.buf.get()), 12u);
    }
}

TEST(TreePrune, CondensingKeepsOneTreePerTopologyAndSumsWeights)
{
    std::mt19937 rng(77);
    for (int rep = 0; rep < 40; rep++) {
        const bool rooted = rep % 2 == 0;
        // Few remaining taxa: many trees become identical.
        Case c = makeCase(rng, 9, 1, rooted ? 4 : 3);
        const uint32_t count = 30;
        Source src = makeSource(rng, c, count, rooted);
        BufPtr to(createTreeBuffer(c.remaining, 4, true, false, false));
        std::map<std::set<uint64_t>, std::pair<uint32_t, double>> classes;  // first member, weight
        uint32_t duplicates = 0;
        for (uint32_t k = 0; k < count; k++) {
            const PruneResult r =
                pruneTreeIntoBuffer(src.buf.get(), k, to.get(), c.deleted.get(), c.toOrig.data(), true);
            auto [it, fresh] = classes.try_emplace(src.expect[k].groups, k, 0.0);
            it->second.second += src.weight[k];
            ASSERT_EQ(r, fresh ? PruneResult::kStored : PruneResult::kDuplicate) << "rep " << rep << " tree " << k;
            duplicates += !fresh;
        }
        ASSERT_EQ(numTreesInBuffer(to.get()), classes.size());
        EXPECT_GT(duplicates, 0u);
        for (uint32_t n = 1; n <= numTreesInBuffer(to.get()); n++) {
            const Induced got = storedTree(to.get(), n, c.remaining);
            const auto &[first, weight] = classes.at(got.groups);
            expectSameTree(src.expect[first], got);
            EXPECT_DOUBLE_EQ(getTreeWtBuf(to.get())[n - 1], weight);
            EXPECT_EQ(getTreeName(to.get(), n), src.name[first]);
        }
    }
}

TEST(TreePrune, TreesWithTooFewLeavesAreDropped)
{
    // Tips 0..4; deleting 0, 1 and 2 leaves two leaves: enough for a rooted
    // tree, too few for an unrooted one.
    std::mt19937 rng(5);
    for (bool rooted : {true, false}) {
        Case c = makeCase(rng, 5, 0, 0);
        for (uint32_t t : {0u, 1u, 2u})
            addSetMember(c.deleted.get(), t);
        c.number = {-1, -1, -1, 0, 1};
        c.remaining = 2;
        Source src = makeSource(rng, c, 3, rooted);
        BufPtr to(createTreeBuffer(2, 4, true, false, false));
        for (uint32_t k = 0; k < 3; k++)
            EXPECT_EQ(pruneTreeIntoBuffer(src.buf.get(), k, to.get(), c.deleted.get(), nullptr, false),
                      rooted ? PruneResult::kStored : PruneResult::kDropped);
        EXPECT_EQ(numTreesInBuffer(to.get()), rooted ? 3u : 0u);
        if (rooted)
            expectSameTree(src.expect[0], storedTree(to.get(), 1, 2));
    }
}

TEST(TreePrune, RefusesABufferTooSmallOrASlotBeyondTheTrees)
{
    std::mt19937 rng(9);
    Case c = makeCase(rng, 8, 0, 2);
    Source src = makeSource(rng, c, 2, false);
    BufPtr small(createTreeBuffer(c.remaining - 1, 4, false, false, false));
    EXPECT_EQ(pruneTreeIntoBuffer(src.buf.get(), 0, small.get(), c.deleted.get(), c.toOrig.data(), false),
              PruneResult::kFailed);
    BufPtr to(createTreeBuffer(c.remaining, 4, false, false, false));
    EXPECT_EQ(pruneTreeIntoBuffer(src.buf.get(), 2, to.get(), c.deleted.get(), c.toOrig.data(), false),
              PruneResult::kFailed);
    EXPECT_EQ(numTreesInBuffer(to.get()), 0u);
}

TEST(TreePrune, ATreeMadeForAllTaxaFitsABufferOfTheActiveOnes)
{
    // Working trees are made for every taxon of the data set; after
    // deletions their tips are the active taxa 0..4 of a 5-taxon buffer.
    std::mt19937 rng(3);
    for (bool rooted : {true, false}) {
        TreePtr small(createTreeForTaxa(5, 5, false));
        randomTree(small.get(), rng, rooted);
        TreePtr big(createTreeForTaxa(12, 5, false));
        initNodes(big.get(), 12);
        // The same shape with its forks at the big tree's positions.
        for (uint32_t p = 0; p < small->maxNodes; p++) {
            const TreeNode &n = small->nodes[p];
            auto place = [&](const TreeNode *m) -> TreeNode * {
                if (!m)
                    return nullptr;
                const uint32_t q = static_cast<uint32_t>(m - small->nodes);
                return big->nodes + (q > 5 ? q + 7 : q);
            };
            TreeNode *b = place(&n);
            b->firstChild = place(n.firstChild);
            b->nextSib = place(n.nextSib);
            b->anc = place(n.anc);
            b->edge.brlen = n.edge.brlen;
        }
        big->root = big->nodes + (small->root - small->nodes);
        big->flags = small->flags & kTreeRootedAtAnc;
        std::vector<int> identity = {0, 1, 2, 3, 4, -1, -1, -1, -1, -1, -1, -1};
        const Induced want = induced(small.get(), identity);
        BufPtr buf(createTreeBuffer(5, 4, false, false, false));
        ASSERT_EQ(putTree(big.get(), buf.get(), true), 1u);
        ASSERT_EQ(storeBranchLengths(buf.get(), big.get(), 0, true, 0), 0);
        expectSameTree(want, storedTree(buf.get(), 1, 5));
        // The same topology from a tree of the buffer's own size is a duplicate.
        EXPECT_EQ(putTree(small.get(), buf.get(), true), kPutTreeDuplicate);
    }
}

}  // namespace
