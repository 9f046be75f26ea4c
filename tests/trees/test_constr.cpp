// Constraint checking against a plain reference: every tree of 6 and 7 taxa,
// binary and with polytomies, held unrooted (at taxon 0) and rooted (at the
// ancestor node), is tested against monophyly, backbone and convexity
// constraints, and the answer of constraintsSatisfied must equal what the
// tree's own clusters and bipartitions (or a Sankoff count of the partition
// character) say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/shell_settings.h"
#include "data/data_fixture.h"
#include "trees/collapse.h"
#include "trees/constr.h"
#include "trees/treebuf.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

using Mask = uint32_t;

// A topology as parent links: ids 0..n-1 the leaves, n.. the forks; the
// root (leaf 0) has parent -1.
struct Topo {
    uint32_t n;
    std::vector<int> parent;
};

std::vector<Topo> allBinaryTopologies(uint32_t n)
{
    Topo start{3, {-1, 3, 3, 0}};
    std::vector<Topo> level{start};
    for (uint32_t k = 3; k < n; k++) {
        std::vector<Topo> next;
        for (const Topo &t : level)
            for (size_t c = 1; c < t.parent.size(); c++) {
                // Insert leaf k on the edge above node c. Leaves keep ids
                // 0..k, forks are renumbered after them.
                const uint32_t oldForks = static_cast<uint32_t>(t.parent.size()) - t.n;
                Topo u{k + 1, std::vector<int>(k + 1 + oldForks + 1, -1)};
                auto map = [&](int id) { return id < 0 ? -1 : (id < static_cast<int>(t.n) ? id : id + 1); };
                for (size_t i = 0; i < t.parent.size(); i++)
                    u.parent[static_cast<size_t>(map(static_cast<int>(i)))] = map(t.parent[i]);
                const int fork = static_cast<int>(u.parent.size()) - 1;
                const int child = map(static_cast<int>(c));
                u.parent[static_cast<size_t>(fork)] = u.parent[static_cast<size_t>(child)];
                u.parent[static_cast<size_t>(child)] = fork;
                u.parent[k] = fork;
                next.push_back(u);
            }
        level.swap(next);
    }
    return level;
}

// The same topology with the internal edges of `contract` (bit i: the i-th
// fork whose parent is a fork) removed.
Topo contracted(const Topo &t, uint32_t contract)
{
    Topo u = t;
    uint32_t i = 0;
    for (size_t f = t.n; f < t.parent.size(); f++) {
        if (u.parent[f] < static_cast<int>(t.n))
            continue;
        if ((contract >> i++) & 1) {
            const int up = u.parent[f];
            for (int &p : u.parent)
                if (p == static_cast<int>(f))
                    p = up;
            u.parent[f] = -2;  // gone
        }
    }
    return u;
}

uint32_t internalEdges(const Topo &t)
{
    uint32_t e = 0;
    for (size_t f = t.n; f < t.parent.size(); f++)
        e += t.parent[f] >= static_cast<int>(t.n) ? 1 : 0;
    return e;
}

// Builds the tree record. Unrooted: leaf i is taxon i and leaf 0 the root
// tip. Rooted: leaf 0 is the ancestor node and leaf i taxon i - 1.
void buildTree(const Topo &t, bool rooted, Tree *tree)
{
    initNodes(tree, tree->ntax);
    const uint32_t ntax = tree->ntax;
    std::vector<TreeNode *> node(t.parent.size(), nullptr);
    for (uint32_t i = 0; i < t.n; i++)
        node[i] = rooted ? (i == 0 ? tree->nodes : tree->nodes + i) : tree->nodes + 1 + i;
    uint32_t nextFork = ntax + 1;
    for (size_t f = t.n; f < t.parent.size(); f++)
        if (t.parent[f] != -2)
            node[f] = tree->nodes + nextFork++;
    for (size_t i = t.parent.size(); i-- > 1;) {
        if (t.parent[i] < 0)
            continue;
        TreeNode *c = node[i];
        TreeNode *p = node[static_cast<size_t>(t.parent[i])];
        c->anc = p;
        c->nextSib = p->firstChild;
        p->firstChild = c;
    }
    tree->root = node[0];
    if (rooted)
        tree->flags |= kTreeRootedAtAnc;
    else
        tree->flags &= ~kTreeRootedAtAnc;
    afterLeavesChanged(tree);
    setTraversalSeq(tree);
}

// Taxon clusters below every non-root node.
std::vector<Mask> clusters(const Topo &t, bool rooted)
{
    std::vector<Mask> below(t.parent.size(), 0);
    for (uint32_t i = 1; i < t.n; i++) {
        const Mask bit = Mask{1} << (rooted ? i - 1 : i);
        for (int p = static_cast<int>(i); p > 0; p = t.parent[static_cast<size_t>(p)])
            below[static_cast<size_t>(p)] |= bit;
    }
    std::vector<Mask> out;
    for (size_t i = 1; i < t.parent.size(); i++)
        if (t.parent[i] != -2)
            out.push_back(below[i]);
    return out;
}

struct Spec {
    std::string label;
    uint32_t type;
    std::vector<Mask> groups;  // backbone: the last entry is the backbone's taxa
    int32_t looseness = 0;
};

bool oracle(const Spec &s, const Topo &t, bool rooted, uint32_t ntax)
{
    const Mask all = (Mask{1} << ntax) - 1;
    const std::vector<Mask> cl = clusters(t, rooted);
    auto has = [&](Mask side, Mask within) {
        for (Mask c : cl) {
            const Mask part = c & within;
            if (part == side || (!rooted && part == (within & ~side)))
                return true;
        }
        return false;
    };
    if (s.type == kConMonophyly) {
        for (Mask g : s.groups)
            if (!has(g, all))
                return false;
        return true;
    }
    if (s.type == kConBackbone) {
        const Mask b = s.groups.back();
        for (size_t k = 0; k + 1 < s.groups.size(); k++)
            if (!has(s.groups[k], b))
                return false;
        return true;
    }
    // Convexity: the fewest changes of the subset character (Sankoff), taxa
    // in no subset and the ancestor node free.
    const uint32_t states = static_cast<uint32_t>(s.groups.size());
    constexpr uint32_t kInf = 1000000;
    const size_t nodes = t.parent.size();
    std::vector<std::vector<uint32_t>> cost(nodes, std::vector<uint32_t>(states, 0));
    Mask present = 0;
    for (uint32_t i = 0; i < t.n; i++) {
        if (rooted && i == 0)
            continue;
        const uint32_t taxon = rooted ? i - 1 : i;
        for (uint32_t st = 0; st < states; st++)
            if (s.groups[st] >> taxon & 1) {
                present |= Mask{1} << st;
                for (uint32_t o = 0; o < states; o++)
                    cost[i][o] = o == st ? 0 : kInf;
            }
    }
    // Children before parents: ids are not ordered, so go by depth.
    std::vector<uint32_t> depth(nodes, 0);
    for (size_t i = 0; i < nodes; i++)
        for (int p = t.parent[i]; p >= 0; p = t.parent[static_cast<size_t>(p)])
            depth[i]++;
    std::vector<size_t> order;
    for (size_t i = 1; i < nodes; i++)
        if (t.parent[i] != -2)
            order.push_back(i);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return depth[a] > depth[b]; });
    for (size_t i : order) {
        auto &up = cost[static_cast<size_t>(t.parent[i])];
        for (uint32_t st = 0; st < states; st++) {
            uint32_t best = kInf;
            for (uint32_t o = 0; o < states; o++)
                best = std::min(best, cost[i][o] + (o == st ? 0 : 1));
            up[st] = std::min(kInf, up[st] + best);
        }
    }
    const uint32_t length = *std::min_element(cost[0].begin(), cost[0].end());
    return length < static_cast<uint32_t>(__builtin_popcount(present)) + static_cast<uint32_t>(s.looseness);
}

SplitsList *toSplits(const std::vector<Mask> &groups, uint32_t ntax)
{
    SplitsList *list = createSplitsList(ntax, static_cast<uint32_t>(groups.size()), true);
    for (Mask g : groups) {
        uint64_t w = g;
        appendSplitToList(list, &w);
    }
    return list;
}

Mask taxa(std::initializer_list<uint32_t> members)
{
    Mask m = 0;
    for (uint32_t x : members)
        m |= Mask{1} << x;
    return m;
}

std::vector<Spec> specsFor(uint32_t n)
{
    std::vector<Spec> specs = {
        {"pair", kConMonophyly, {taxa({0, 1})}},
        {"pair without the root tip", kConMonophyly, {taxa({2, 3})}},
        {"nested", kConMonophyly, {taxa({1, 2}), taxa({1, 2, 3})}},
        {"two clades", kConMonophyly, {taxa({0, 4}), taxa({2, 3, 5})}},
        {"backbone", kConBackbone, {taxa({1, 2}), taxa({1, 2, 3, 4})}},
        {"backbone with the root tip", kConBackbone, {taxa({0, 3}), taxa({0, 2, 3, 5})}},
        {"backbone nested", kConBackbone, {taxa({0, 1}), taxa({0, 1, 2}), taxa({0, 1, 2, 4, 5})}},
        {"convex", kConConvexity, {taxa({0, 1, 2}), taxa({3, 4}), taxa({5})}},
        {"convex crossing", kConConvexity, {taxa({1, 4}), taxa({2, 5}), taxa({0, 3})}},
        {"convex partial", kConConvexity, {taxa({1, 2}), taxa({3, 4})}},
    };
    if (n == 7)
        specs.push_back({"convex seven", kConConvexity, {taxa({0, 6}), taxa({1, 2, 3}), taxa({4, 5})}});
    std::vector<Spec> out;
    for (const Spec &s : specs) {
        out.push_back(s);
        if (s.type == kConConvexity) {
            out.push_back(s);
            out.back().looseness = 1;
            out.back().label += " loose";
        }
    }
    return out;
}

class ConstraintOracle : public ::testing::Test {
protected:
    void TearDown() override
    {
        setConvexLooseness(0);
        deallocAllConstraints();
    }
};

TEST_F(ConstraintOracle, WholeTreeTestEqualsSplitsOnEveryTreeOfSixAndSevenTaxa)
{
    for (uint32_t ntax : {6u, 7u}) {
        for (bool rooted : {false, true}) {
            if (rooted && ntax == 7)
                continue;  // 332640 trees: the unrooted seven already cover every shape
            // Rooted trees of ntax taxa are unrooted ones of ntax + 1 leaves
            // hung from the ancestor node.
            const std::vector<Topo> binary = allBinaryTopologies(rooted ? ntax + 1 : ntax);
            TreeHandle tree(createTreeForTaxa(ntax, ntax, false));
            for (const Spec &s : specsFor(ntax)) {
                deallocAllConstraints();
                setConvexLooseness(s.looseness);
                ASSERT_NE(addConstraint(s.label.c_str(), s.type, toSplits(s.groups, ntax), true), nullptr);
                uint32_t satisfied = 0, checked = 0;
                for (const Topo &b : binary) {
                    const uint32_t edges = internalEdges(b);
                    for (uint32_t contract = 0; contract < (1u << edges); contract++) {
                        const Topo t = contracted(b, contract);
                        buildTree(t, rooted, tree.get());
                        // The tips keep their bits from tree to tree: stale
                        // flags of reused fork records must not leak through.
                        if (constraintsAreStale(tree.get())) {
                            ASSERT_EQ(initConstraints(tree.get(), nullptr, false), 0);
                        }
                        const bool expected = oracle(s, t, rooted, ntax);
                        ASSERT_EQ(constraintsSatisfied(tree.get(), false), expected)
                            << s.label << (rooted ? " rooted " : " unrooted ") << ntax << " taxa, contract "
                            << contract;
                        ASSERT_EQ(constraintsSatisfied(tree.get(), true), !expected) << s.label;
                        satisfied += expected;
                        checked++;
                    }
                }
                // Every constraint here admits some trees, and each one
                // held exactly excludes some (one extra step may admit all).
                EXPECT_GT(satisfied, 0u) << s.label;
                if (s.looseness == 0) {
                    EXPECT_LT(satisfied, checked) << s.label;
                }
            }
            tree->conData = destroyConData(tree->conData);
        }
    }
}

// The star tree stands for every tree: it must satisfy exactly the
// constraints that no binary tree of the same kind breaks. A group of all
// taxa but one restricts rooted trees but not unrooted ones.
TEST_F(ConstraintOracle, StarTreeSatisfiesExactlyWhatNoTreeBreaks)
{
    const uint32_t ntax = 6;
    std::vector<Spec> specs = specsFor(ntax);
    specs.push_back({"all but the root tip", kConMonophyly, {taxa({1, 2, 3, 4, 5})}});
    specs.push_back({"all but the last taxon", kConMonophyly, {taxa({0, 1, 2, 3, 4})}});
    for (bool rooted : {false, true}) {
        const std::vector<Topo> binary = allBinaryTopologies(rooted ? ntax + 1 : ntax);
        TreeHandle tree(createTreeForTaxa(ntax, ntax, false));
        for (const Spec &s : specs) {
            deallocAllConstraints();
            setConvexLooseness(s.looseness);
            ASSERT_NE(addConstraint(s.label.c_str(), s.type, toSplits(s.groups, ntax), true), nullptr);
            bool everyTree = true;
            for (const Topo &t : binary)
                everyTree = everyTree && oracle(s, t, rooted, ntax);
            buildTree(binary.front(), rooted, tree.get());
            ASSERT_EQ(initConstraints(tree.get(), nullptr, false), 0);
            EXPECT_EQ(isConstraintTreeUninf(tree.get(), rooted, false), everyTree)
                << s.label << (rooted ? " rooted" : " unrooted");
            tree->conData = destroyConData(tree->conData);
        }
    }
}

// The edges a constraint needs, on every binary tree of six taxa that
// satisfies it: collapsing all the others keeps the tree satisfied, and under
// monophyly the needed edges are exactly those whose contraction alone breaks
// the constraint (its groups' own edges).
TEST_F(ConstraintOracle, CollapsingEdgesNoConstraintNeedsKeepsTheTreeSatisfied)
{
    const uint32_t ntax = 6;
    for (bool rooted : {false, true}) {
        const std::vector<Topo> binary = allBinaryTopologies(rooted ? ntax + 1 : ntax);
        TreeHandle tree(createTreeForTaxa(ntax, ntax, false));
        for (const Spec &s : specsFor(ntax)) {
            if (s.looseness != 0)
                continue;
            deallocAllConstraints();
            ASSERT_NE(addConstraint(s.label.c_str(), s.type, toSplits(s.groups, ntax), true), nullptr);
            uint32_t needed = 0;
            for (const Topo &b : binary) {
                if (!oracle(s, b, rooted, ntax))
                    continue;
                buildTree(b, rooted, tree.get());
                if (constraintsAreStale(tree.get())) {
                    ASSERT_EQ(initConstraints(tree.get(), nullptr, false), 0);
                }
                const std::vector<uint8_t> required = findConstrainedEdges(tree.get());
                if (s.type == kConMonophyly) {
                    uint32_t i = 0;
                    for (size_t f = b.n; f < b.parent.size(); f++) {
                        if (b.parent[f] < static_cast<int>(b.n))
                            continue;
                        const bool breaks = !oracle(s, contracted(b, 1u << i++), rooted, ntax);
                        // Forks are numbered after the tips in the order
                        // buildTree hands them out.
                        const uint32_t pos = ntax + 1 + static_cast<uint32_t>(f - b.n);
                        EXPECT_EQ(required[pos] != 0, breaks) << s.label << (rooted ? " rooted" : "");
                    }
                }
                for (uint32_t p = 0; p < tree->maxNodes; p++)
                    if (required[p]) {
                        tree->nodes[p].flag |= kNodeKeepEdge;
                        needed++;
                    }
                contractUnkeptEdges(tree.get());
                ASSERT_TRUE(constraintsSatisfied(tree.get(), false)) << s.label << (rooted ? " rooted" : "");
            }
            EXPECT_GT(needed, 0u) << s.label;
        }
        tree->conData = destroyConData(tree->conData);
    }
}

// Every rooted tree shape of n leaves (forks of two or more children), the
// leaves numbered left to right; each shape is the clusters of its forks
// below the root.
std::vector<std::vector<Mask>> allShapes(uint32_t n)
{
    // byLeaves[m]: the shapes of m leaves, each as its clusters on leaves 0..m-1.
    std::vector<std::vector<std::vector<Mask>>> byLeaves(n + 1);
    byLeaves[1] = {{}};
    for (uint32_t m = 2; m <= n; m++) {
        // Children in nonincreasing (size, shape index) order, so that each
        // multiset of children is made once.
        std::vector<std::pair<uint32_t, size_t>> kids;
        auto place = [&](auto &&self, uint32_t left, uint32_t maxSize, size_t maxIndex) -> void {
            if (left == 0) {
                if (kids.size() < 2)
                    return;
                std::vector<Mask> shape;
                uint32_t offset = 0;
                for (auto [size, index] : kids) {
                    if (size > 1)
                        shape.push_back(((Mask{1} << size) - 1) << offset);
                    for (Mask c : byLeaves[size][index])
                        shape.push_back(c << offset);
                    offset += size;
                }
                byLeaves[m].push_back(shape);
                return;
            }
            for (uint32_t size = std::min(left, maxSize); size >= 1; size--)
                for (size_t index = 0; index < byLeaves[size].size(); index++) {
                    if (size == maxSize && index > maxIndex)
                        break;
                    kids.emplace_back(size, index);
                    self(self, left - size, size, index);
                    kids.pop_back();
                }
        };
        place(place, m, m - 1, SIZE_MAX);
    }
    return byLeaves[n];
}

// The counts ShowConstr prints, against every binary tree: rooted trees must
// hold each group as a cluster, unrooted ones as one side of a split.
TEST_F(ConstraintOracle, CompatibleTreeCountsMatchEveryTreeForEveryShapeOfFiveToEightTaxa)
{
    for (uint32_t ntax = 5; ntax <= 8; ntax++) {
        const Mask all = (Mask{1} << ntax) - 1;
        auto clusterSets = [&](bool rooted) {
            // Unrooted trees are held at taxon 0, so their clusters are the
            // sides of their splits without it.
            std::vector<std::vector<bool>> sets;
            for (const Topo &t : allBinaryTopologies(rooted ? ntax + 1 : ntax)) {
                sets.emplace_back(all + 1, false);
                for (Mask c : clusters(t, rooted))
                    sets.back()[c] = true;
            }
            return sets;
        };
        const auto unrootedTrees = clusterSets(false);
        // 135135 rooted trees of eight taxa: seven taxa already cover every
        // way a root fork may sit.
        const auto rootedTrees = ntax < 8 ? clusterSets(true) : std::vector<std::vector<bool>>{};
        const std::vector<std::vector<Mask>> shapes = allShapes(ntax);
        // Series-reduced rooted trees of 5..8 leaves: 12, 33, 90, 261.
        const size_t known[] = {12, 33, 90, 261};
        ASSERT_EQ(shapes.size(), known[ntax - 5]);
        for (const std::vector<Mask> &groups : shapes) {
            if (groups.empty())
                continue;  // the star: no constraint
            deallocAllConstraints();
            Constraint *c = addConstraint("shape", kConMonophyly, toSplits(groups, ntax), true);
            ASSERT_NE(c, nullptr);
            std::string name;
            for (Mask g : groups)
                name += std::to_string(g) + " ";
            uint64_t unrooted = 0;
            for (const std::vector<bool> &has : unrootedTrees) {
                bool ok = true;
                for (Mask g : groups) {
                    const Mask side = (g & 1) ? (all & ~g) : g;
                    ok = ok && (__builtin_popcount(side) < 2 || has[side]);
                }
                unrooted += ok;
            }
            EXPECT_EQ(std::llround(std::exp(logCompatibleTreesUnrooted(c, ntax))), static_cast<long long>(unrooted))
                << ntax << " taxa, groups " << name;
            if (rootedTrees.empty())
                continue;
            uint64_t rooted = 0;
            for (const std::vector<bool> &has : rootedTrees) {
                bool ok = true;
                for (Mask g : groups)
                    ok = ok && has[g];
                rooted += ok;
            }
            EXPECT_EQ(std::llround(std::exp(logCompatibleTrees(c, ntax))), static_cast<long long>(rooted))
                << ntax << " taxa, groups " << name;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The Constraints command on a six-taxon data set (labels t1..t6).

namespace {

class ConstraintsCommand : public datatest::DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        savedHooks_ = treeDataHooks();
        installTreeHooks();
        makeData(6, 1);
    }
    void TearDown() override
    {
        deallocAllConstraints();
        setTreeDataHooks(&savedHooks_);
        DataFixture::TearDown();
    }
    int define(const std::string &text)
    {
        feed(text);
        datatest::gErrors.clear();
        return defineConstraint();
    }
    TreeDataHooks savedHooks_{};
};

TEST_F(ConstraintsCommand, DefinesRedefinesAndRefuses)
{
    ASSERT_EQ(define("c1 = ((t1,t2));"), 0);
    ASSERT_EQ(numConstraints(), 1u);
    EXPECT_EQ(getActiveConstraint(), constraintTagToPtr("C1")) << "the first constraint becomes active";
    EXPECT_EQ(getActiveConstraint()->groups->count, 1u);
    ASSERT_EQ(define("c2 (backbone) = ((t1,t3),t4,t5);"), 0);
    EXPECT_EQ(getActiveConstraint(), constraintTagToPtr("c1")) << "without a star the active one stays";
    const Constraint *c2 = constraintTagToPtr("c2");
    ASSERT_NE(c2, nullptr);
    EXPECT_EQ(c2->type, kConBackbone);
    ASSERT_EQ(c2->groups->count, 2u) << "the group and the backbone's taxa";
    EXPECT_EQ(getSplitFromList(c2->groups.get(), 1)[0], 0b11101u);
    ASSERT_EQ(define("*c3 = ((t1,t2,t3),(t4,t5));"), 0);
    EXPECT_EQ(getActiveConstraint(), constraintTagToPtr("c3"));
    EXPECT_EQ(constraintPos(constraintTagToPtr("c3")), 2u);

    // Redefining the active constraint keeps it active; the old per-tree
    // data are stale.
    TreeHandle tree(createTreeForTaxa(6, 6, false));
    ASSERT_EQ(makeStarTree(tree.get(), 6, false, 0, nullptr), 0);
    ASSERT_EQ(initConstraints(tree.get(), d, false), 0);
    EXPECT_FALSE(constraintsAreStale(tree.get()));
    wrng.warnRedef = 0;
    ASSERT_EQ(define("c3 = ((t5,t6));"), 0);
    EXPECT_TRUE(constraintsAreStale(tree.get()));
    EXPECT_EQ(getActiveConstraint(), constraintTagToPtr("c3"));
    EXPECT_EQ(numConstraints(), 3u);
    EXPECT_EQ(constraintPos(constraintTagToPtr("c3")), 2u);

    EXPECT_EQ(define("c4 (bogus) = ((t1,t2));"), 1);
    EXPECT_EQ(datatest::gErrors, std::vector<uint32_t>{712});
    EXPECT_EQ(define("c4 ;"), 1);
    EXPECT_EQ(datatest::gErrors, std::vector<uint32_t>{118});
    // A description without a node below its outer parentheses, and the
    // one that names all taxa in a single fork, say nothing.
    EXPECT_EQ(define("c4 = (t1,t2);"), 1);
    EXPECT_EQ(datatest::gErrors, std::vector<uint32_t>{715});
    EXPECT_EQ(define("c4 = (t1,t2,t3,t4,t5,t6);"), 1);
    EXPECT_EQ(datatest::gErrors, std::vector<uint32_t>{715});
    // A backbone names each group by a node: one of a single descendant
    // names none (a monophyly tree drops such a node).
    EXPECT_EQ(define("c4 (backbone) = ((t1),(t2,t3),t4);"), 1);
    EXPECT_EQ(datatest::gErrors, std::vector<uint32_t>{713});
    EXPECT_EQ(define("c4 (backbone) = ((t1,t2),((t3,t4)),t5);"), 1);
    EXPECT_EQ(datatest::gErrors, std::vector<uint32_t>{713});
    ASSERT_EQ(define("c4 = ((t1),(t2,t3),t4);"), 0);
    // A failed redefinition leaves the name undefined, and no constraint active.
    EXPECT_EQ(define("c3 = (t1,t2);"), 1);
    EXPECT_EQ(constraintTagToPtr("c3"), nullptr);
    EXPECT_EQ(getActiveConstraint(), nullptr);
    EXPECT_EQ(numConstraints(), 3u);
    // A name longer than the limit is refused, never cut.
    EXPECT_EQ(define(std::string(kMaxConstraintName + 1, 'x') + " = ((t1,t2));"), 1);
    EXPECT_EQ(numConstraints(), 3u);
    ASSERT_EQ(define(std::string(kMaxConstraintName, 'x') + " = ((t1,t2));"), 0);
    EXPECT_NE(constraintTagToPtr(std::string(kMaxConstraintName, 'X').c_str()), nullptr);
    wrng.warnRedef = 1;
    tree->conData = destroyConData(tree->conData);
}

// Constraint groups hold original taxon numbers, so a constraint defined
// while an earlier taxon is deleted must name the taxa its text names, not
// the ones that share their active numbers.
TEST_F(ConstraintsCommand, GroupsNameTheirTaxaWhileAnEarlierTaxonIsDeleted)
{
    auto groupWords = [](const char *name) {
        std::vector<uint64_t> words;
        const SplitsList *g = constraintTagToPtr(name)->groups.get();
        for (uint32_t s = 0; s < g->count; s++)
            words.push_back(getSplitFromList(g, s)[0]);
        return words;
    };
    ASSERT_EQ(define("m = ((t1,t6));"), 0);
    ASSERT_EQ(define("b (backbone) = ((t1,t6),t3,(t4,t5));"), 0);
    const std::vector<uint64_t> mono = groupWords("m"), backbone = groupWords("b");
    deallocAllConstraints();

    addSetMember(d->taxa.deleted, 1);  // t2
    initTaxStatus(d);
    ASSERT_EQ(define("m = ((t1,t6));"), 0);
    ASSERT_EQ(define("b (backbone) = ((t1,t6),t3,(t4,t5));"), 0);
    EXPECT_EQ(groupWords("m"), mono);
    EXPECT_EQ(groupWords("b"), backbone);
    ASSERT_EQ(backbone.size(), 3u);
    EXPECT_EQ(backbone[2], 0b111101u) << "the backbone names t1, t3, t4, t5 and t6";
}

}  // namespace
