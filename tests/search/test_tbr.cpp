// NNI, SPR and TBR: incremental scores against full rescoring, apply and
// undo, and the neighbours enumerated against a naive bisect-and-reconnect
// on an adjacency list, deduplicated by split sets.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <tuple>

#include "parsimony/calcsets.h"
#include "parsimony/treelen.h"
#include "search/countswaps.h"
#include "search/swap.h"
#include "search/swap_test_support.h"
#include "search/tbr.h"
#include "trees/treeedit.h"

namespace {

using namespace swaptest;

void unlinkEdge(std::vector<std::vector<int>> &g, int a, int b)
{
    std::erase(g[a], b);
    std::erase(g[b], a);
}
void linkEdge(std::vector<std::vector<int>> &g, int a, int b)
{
    g[a].push_back(b);
    g[b].push_back(a);
}

// Suppresses v when it is an internal vertex of degree two.
void suppress(std::vector<std::vector<int>> &g, int v, int n)
{
    if (v >= n && g[v].size() == 2) {
        int a = g[v][0], b = g[v][1];
        unlinkEdge(g, v, a);
        unlinkEdge(g, v, b);
        linkEdge(g, a, b);
    }
}

std::vector<std::pair<int, int>> edgesFrom(const std::vector<std::vector<int>> &g, int start)
{
    std::vector<std::pair<int, int>> out;
    std::vector<int> stack{start}, seen(g.size(), 0);
    seen[start] = 1;
    while (!stack.empty()) {
        int v = stack.back();
        stack.pop_back();
        for (int w : g[v])
            if (!seen[w]) {
                seen[w] = 1;
                out.push_back({v, w});
                stack.push_back(w);
            }
    }
    return out;
}

// Every tree one bisection and reconnection away; with spr, one side keeps
// its cut vertex as its attachment point.
std::set<Splits> naiveNeighbours(const Tree *tree, bool spr)
{
    const int n = static_cast<int>(tree->ntax);
    const auto adj = adjacencyOf(tree);
    std::set<Splits> out;
    for (int u = 0; u < static_cast<int>(adj.size()); u++)
        for (int v : adj[u]) {
            if (v < u)
                continue;
            for (int orient = 0; orient < (spr ? 2 : 1); orient++) {
                auto g = adj;
                unlinkEdge(g, u, v);
                const int keep = orient ? u : v;  // SPR: this side attaches at its cut vertex
                int anchorA = u, anchorB = v;
                if (!spr || keep != u) {
                    anchorA = g[u].empty() ? u : g[u][0];
                    suppress(g, u, n);
                }
                if (!spr || keep != v) {
                    anchorB = g[v].empty() ? v : g[v][0];
                    suppress(g, v, n);
                }
                // Attachment places: a vertex, or the edges of the side.
                auto places = [&](int cutVertex, int anchor, bool atVertex) {
                    std::vector<std::pair<int, int>> p;
                    if (atVertex || g[anchor].empty())
                        p.push_back({cutVertex, -1});
                    else
                        p = edgesFrom(g, anchor);
                    return p;
                };
                auto pa = places(u, anchorA, spr && keep == u), pb = places(v, anchorB, spr && keep == v);
                for (auto ea : pa)
                    for (auto eb : pb) {
                        auto h = g;
                        auto attach = [&](std::pair<int, int> e) {
                            if (e.second < 0)
                                return e.first;
                            int x = static_cast<int>(h.size());
                            h.emplace_back();
                            unlinkEdge(h, e.first, e.second);
                            linkEdge(h, e.first, x);
                            linkEdge(h, x, e.second);
                            return x;
                        };
                        int x = attach(ea), y = attach(eb);
                        linkEdge(h, x, y);
                        out.insert(splitsOf(h, static_cast<uint32_t>(n)));
                    }
            }
        }
    out.erase(treeSplits(tree));
    return out;
}

// Every tree one bisection and reconnection away whose reconnection lies
// within distance limit of the cut. A side's places are its edges once the
// vertex at the cut is suppressed; a place's distance is the number of
// vertices between it and the edge so merged (a lone leaf: its one place at
// 0), and a reconnection's distance is the sum over both sides. SPR keeps
// one side's merged edge as its attachment (distance 0 on that side).
std::set<Splits> naiveNeighboursWithin(const Tree *tree, bool spr, uint32_t limit)
{
    const int n = static_cast<int>(tree->ntax);
    const auto adj = adjacencyOf(tree);
    struct Place {
        int a, b;  // an edge of the suppressed side, or (leaf, -1)
        uint32_t dist;
    };
    auto placesOf = [&](const std::vector<std::vector<int>> &g, int cut) {
        std::vector<Place> out;
        if (g[cut].empty())
            return std::vector<Place>{{cut, -1, 0}};
        const int a = g[cut][0], b = g[cut][1];
        out.push_back({a, b, 0});
        std::vector<int> depth(g.size(), -1), stack{cut};
        depth[cut] = 0;
        while (!stack.empty()) {
            const int x = stack.back();
            stack.pop_back();
            for (int y : g[x])
                if (depth[y] < 0) {
                    depth[y] = depth[x] + 1;
                    stack.push_back(y);
                    if (x != cut)
                        out.push_back({x, y, static_cast<uint32_t>(depth[x])});
                }
        }
        return out;
    };
    std::set<Splits> out;
    for (int u = 0; u < static_cast<int>(adj.size()); u++)
        for (int v : adj[u]) {
            if (v < u)
                continue;
            auto g = adj;
            unlinkEdge(g, u, v);
            const auto pu = placesOf(g, u), pv = placesOf(g, v);
            suppress(g, u, n);
            suppress(g, v, n);
            for (const Place &x : pu)
                for (const Place &y : pv) {
                    if (x.dist + y.dist > limit || (spr && x.dist != 0 && y.dist != 0))
                        continue;
                    auto h = g;
                    auto attach = [&](const Place &p) {
                        if (p.b < 0)
                            return p.a;
                        const int m = static_cast<int>(h.size());
                        h.emplace_back();
                        unlinkEdge(h, p.a, p.b);
                        linkEdge(h, p.a, m);
                        linkEdge(h, m, p.b);
                        return m;
                    };
                    const int p = attach(x), q = attach(y);
                    linkEdge(h, p, q);
                    out.insert(splitsOf(h, static_cast<uint32_t>(n)));
                }
        }
    out.erase(treeSplits(tree));
    return out;
}

// ---- Data and trees -----------------------------------------------------------

int gMsTaxa = kMsTaxaUncertain;

class Tbr : public SwapTest {
protected:
    void SetUp() override
    {
        SwapTest::SetUp();
        DataServices s{};
        s.msTaxa = [] { return gMsTaxa; };
        installDataServices(s);
    }
    void TearDown() override
    {
        SwapTest::TearDown();
        resetDataServices();
        gMsTaxa = kMsTaxaUncertain;
    }
};

struct Move {
    TreeNode *K, *T, *R;
    double score;
};

std::vector<Move> allMoves(Tree *tree, const DataInfo *d, int type, uint32_t limit = 0)
{
    std::vector<Move> moves;
    forEachTbrMove(
        tree, d, type, limit,
        [](void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double score) {
            static_cast<std::vector<Move> *>(ctx)->push_back({K, T, R, score});
            return 0;
        },
        &moves);
    return moves;
}

// Every set word of every node on the tree, in node-array order, and the
// subtree lengths; the root has only its down set.
std::vector<double> setState(const DataInfo *d, Tree *tree)
{
    const PackedData *pd = packedData(d);
    std::vector<double> s;
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        TreeNode *n = tree->nodes + p;
        if (!n->anc && n != tree->root)
            continue;
        for (int k = 0; k < (n == tree->root ? 1 : 3); k++) {
            const ParsNodeSets *r = nodeSets(n->abm[k]);
            for (uint32_t w = 0; w < 4 * pd->ordWords; w++)
                s.push_back(static_cast<double>(r->ord[w]));
            for (uint32_t w = 0; w < 2 * pd->unoWords; w++)
                s.push_back(static_cast<double>(r->uno[w]));
        }
        if (n->firstChild && n != tree->root)
            s.push_back(nodeSets(n->abm[0])->len);
    }
    return s;
}

using Links = std::vector<std::tuple<TreeNode *, TreeNode *, TreeNode *>>;
Links linksOf(const Tree *tree)
{
    Links l;
    for (uint32_t p = 0; p < tree->maxNodes; p++)
        l.emplace_back(tree->nodes[p].anc, tree->nodes[p].firstChild, tree->nodes[p].nextSib);
    return l;
}

// The preorder list as the tree holds it: each node with its predecessor,
// and the tail.
std::vector<std::pair<TreeNode *, TreeNode *>> orderOf(const Tree *tree)
{
    std::vector<std::pair<TreeNode *, TreeNode *>> o;
    for (TreeNode *p = tree->root; p; p = p->next)
        o.emplace_back(p, p->prev);
    o.emplace_back(tree->tail, nullptr);
    return o;
}

// The key test: on random 8- to 30-taxon trees every move's incremental
// score equals a full rescoring of the rearranged tree, whose sets equal a
// full pass; undo gives back the links and the sets; the evaluation itself
// leaves the tree and its sets as they were.
TEST_F(Tbr, EveryMoveScoresAsAFullRescoringAndUndoes)
{
    std::mt19937 rng(6120);
    long checked = 0;
    for (int trial = 0; trial < 14; trial++) {
        const uint32_t ntax = 8 + (trial * 7) % 23;
        gMsTaxa = trial % 3 == 2 ? kMsTaxaPolymorph : kMsTaxaUncertain;
        DataInfo *d = randomData(rng, ntax, 1 + rng() % 90, trial % 2);
        TreePtr tree = randomTree(rng, ntax, trial % 4 >= 2);
        const Links links = linksOf(tree.get());
        const auto sets = setState(d, tree.get());
        const auto order = orderOf(tree.get());
        const Splits original = treeSplits(tree.get());
        const int type = trial % 5 == 4 ? kSwapSPR : kSwapTBR;
        const auto moves = allMoves(tree.get(), d, type);
        ASSERT_EQ(linksOf(tree.get()), links);
        ASSERT_EQ(setState(d, tree.get()), sets);
        ASSERT_FALSE(moves.empty());
        // Larger trees: a sample of the moves keeps the test quick.
        const size_t stride = 1 + moves.size() / 400;
        for (size_t i = rng() % stride; i < moves.size(); i += stride) {
            const Move &m = moves[i];
            RearrObject hit, inverse;
            makeRearrObject(&hit, m.K, m.T, m.R, m.score);
            ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), d, &hit, true), 0);
            EXPECT_NE(treeSplits(tree.get()), original);
            const auto incSets = setState(d, tree.get());
            calcStatesetsForSearch(tree.get(), d, false);
            ASSERT_EQ(incSets, setState(d, tree.get())) << "trial " << trial << " move " << i;
            const double full = calcTreeLength(d, tree.get(), true, false);
            ASSERT_DOUBLE_EQ(m.score, full) << "trial " << trial << " move " << i;
            // The inverse move is a move of the rearranged tree back to the original.
            TreePtr copy(createTreeForTaxa(ntax, ntax, true));
            ASSERT_EQ(copyTree(tree.get(), copy.get()), 0);
            auto at = [&](TreeNode *x) { return copy->nodes + nodePosition(tree.get(), x); };
            ASSERT_EQ(finishRearr_TBR(copy.get(), at(inverse.node[0]), at(inverse.node[1]), at(inverse.node[2]), false),
                      0);
            EXPECT_EQ(treeSplits(copy.get()), original);
            ASSERT_EQ(undoTbrRearr(tree.get(), d, true), 0);
            ASSERT_EQ(linksOf(tree.get()), links);
            ASSERT_EQ(setState(d, tree.get()), sets);
            ASSERT_EQ(orderOf(tree.get()), order);
            checked++;
        }
        EXPECT_EQ(undoTbrRearr(tree.get(), d, true), 1);  // nothing left to undo
    }
    EXPECT_GT(checked, 2500);
}

// Moves applied one after another, each from the sets the last one left,
// rerooting ones and ones at the basal fork among them: an update that left
// one stale word would show in a later move. Every step's sets equal a full
// pass and its preorder list the list made whole; the move back without
// sets gives back the links and the list.
TEST_F(Tbr, AChainOfMovesKeepsTheSetsExact)
{
    std::mt19937 rng(6127);
    long rerooted = 0, basal = 0;
    for (int trial = 0; trial < 6; trial++) {
        const uint32_t ntax = 9 + trial * 4;
        DataInfo *d = randomData(rng, ntax, 30 + rng() % 60, trial % 2);
        TreePtr tree = randomTree(rng, ntax, trial % 2 == 1);
        for (int step = 0; step < 80; step++) {
            const auto moves = allMoves(tree.get(), d, kSwapTBR);
            ASSERT_FALSE(moves.empty());
            const Move &m = moves[rng() % moves.size()];
            rerooted += m.R != m.K;
            basal += !m.K->anc->anc;
            RearrObject hit, inverse;
            makeRearrObject(&hit, m.K, m.T, m.R, m.score);
            if (step % 10 == 9) {
                const Links before = linksOf(tree.get());
                const auto order = orderOf(tree.get());
                ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), nullptr, &hit, false), 0);
                ASSERT_EQ(undoTbrRearr(tree.get(), nullptr, false), 0);
                ASSERT_EQ(linksOf(tree.get()), before) << "trial " << trial << " step " << step;
                ASSERT_EQ(orderOf(tree.get()), order) << "trial " << trial << " step " << step;
            }
            ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), d, &hit, true), 0);
            const auto order = orderOf(tree.get());
            setTraversalSeq(tree.get());
            ASSERT_EQ(orderOf(tree.get()), order) << "trial " << trial << " step " << step;
            const auto incSets = setState(d, tree.get());
            ASSERT_DOUBLE_EQ(swapTreeScore(d, tree.get()), m.score) << "trial " << trial << " step " << step;
            calcStatesetsForSearch(tree.get(), d, false);
            ASSERT_EQ(incSets, setState(d, tree.get())) << "trial " << trial << " step " << step;
        }
    }
    EXPECT_GT(rerooted, 200);
    EXPECT_GT(basal, 5);
}

// Laying the set words out in tree order moves them only: every record
// keeps its values, the final sets of the tree's nodes follow its preorder,
// moves score as before, and a thread's copy of the records (taken record by
// record) holds the same words. Laid out in place (after a move, from words
// already out of their first order) the same holds, the tree's final sets
// taking the array's first slots.
TEST_F(Tbr, LaidOutSetsKeepTheirValuesAndScores)
{
    std::mt19937 rng(6128);
    for (int trial = 0; trial < 6; trial++) {
        const uint32_t ntax = 12 + trial * 6;
        DataInfo *d = randomData(rng, ntax, 40 + rng() % 60, false);
        TreePtr tree = randomTree(rng, ntax, trial % 2 == 1);
        const PackedData *pd = packedData(d);
        auto check = [&](void (*layOut)(const DataInfo *, Tree *), bool front) {
            const auto sets = setState(d, tree.get());
            const auto moves = allMoves(tree.get(), d, kSwapTBR);
            layOut(d, tree.get());
            ASSERT_EQ(setState(d, tree.get()), sets) << "trial " << trial;
            const uint64_t *last = nullptr;
            for (TreeNode *p = tree->root->next; p; p = p->next) {
                const uint64_t *w = nodeSets(p->abm[2])->uno;
                EXPECT_TRUE(!last || w > last) << "trial " << trial;
                const uint64_t lanes = 2 * pd->unoWords;
                EXPECT_TRUE(!front || (last ? w == last + lanes : w <= pd->unoSets + lanes)) << "trial " << trial;
                last = w;
            }
            const auto after = allMoves(tree.get(), d, kSwapTBR);
            ASSERT_EQ(after.size(), moves.size());
            for (size_t i = 0; i < moves.size(); i++)
                ASSERT_EQ(after[i].score, moves[i].score) << "trial " << trial << " move " << i;
        };
        check(layOutNodeSets, false);
        if (trial >= 2) {
            const auto moves = allMoves(tree.get(), d, kSwapTBR);
            const Move &m = moves[rng() % moves.size()];
            RearrObject hit, inverse;
            makeRearrObject(&hit, m.K, m.T, m.R, m.score);
            ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), d, &hit, true), 0);
            setTraversalSeq(tree.get());
            calcStatesetsForSearch(tree.get(), d, false);
            check(layOutTreeSetsInPlace, true);
        }
        ParsRecord *copy = cloneParsRecordForThread(d);
        ASSERT_NE(copy, nullptr);
        for (uint64_t k = 0; k < uint64_t{3} * pd->nodeCount; k++)
            ASSERT_TRUE(std::equal(pd->nodeRecs[k].uno, pd->nodeRecs[k].uno + 2 * pd->unoWords,
                                   copy->nodeRecs[k].uno));
        destroyParsRecordClone(copy);
    }
}

// The cut order from a centre, made a distance at a time, is the order of
// the whole walk it replaces: every node put in a list with its distance
// (the centre's subtree one more per level, each ancestor one more than the
// child on the path, the ancestor's other child as the ancestor), each
// subtree walked last child first, the list sorted by distance and each
// distance read from its end.
TEST_F(Tbr, CutsFromACentreComeNearestFirstInTheWalksOrder)
{
    auto reference = [](Tree * /*tree*/, TreeNode *centre) {
        std::vector<std::pair<TreeNode *, uint32_t>> items;
        auto walk = [&](TreeNode *top, uint32_t d) {
            std::vector<std::pair<TreeNode *, uint32_t>> stack{{top, d}};
            while (!stack.empty()) {
                const auto it = stack.back();
                stack.pop_back();
                items.push_back(it);
                for (TreeNode *c = it.first->firstChild; c; c = c->nextSib)
                    stack.push_back({c, it.second + 1});
            }
        };
        walk(centre, 0);
        uint32_t d = 0;
        for (TreeNode *cur = centre; cur->anc && cur->anc->anc; cur = cur->anc) {
            items.push_back({cur->anc, ++d});
            for (TreeNode *c = cur->anc->firstChild; c; c = c->nextSib)
                if (c != cur)
                    walk(c, d);
        }
        std::stable_sort(items.begin(), items.end(), [](auto &a, auto &b) { return a.second < b.second; });
        std::vector<TreeNode *> out;
        for (size_t i = 0; i < items.size();) {
            size_t j = i;
            while (j < items.size() && items[j].second == items[i].second)
                j++;
            for (size_t k = j; k > i; k--)
                out.push_back(items[k - 1].first);
            i = j;
        }
        return out;
    };
    std::mt19937 rng(6129);
    long checked = 0;
    for (int trial = 0; trial < 6; trial++) {
        const uint32_t ntax = 5 + trial * 7;
        TreePtr tree = randomTree(rng, ntax, trial % 2 == 1);
        setTraversalSeq(tree.get());
        std::vector<TreeNode *> out(tree->maxNodes);
        for (TreeNode *c = tree->root->next; c; c = c->next) {
            out.resize(tree->maxNodes);
            out.resize(setCutSequence(tree.get(), c, out.data()));
            ASSERT_EQ(out, reference(tree.get(), c)) << "trial " << trial;
            checked++;
        }
        // Without a centre: the preorder below the root.
        out.resize(tree->maxNodes);
        out.resize(setCutSequence(tree.get(), nullptr, out.data()));
        ASSERT_EQ(out.size(), 2 * ntax - 3);
        EXPECT_EQ(out.front(), tree->root->next);
    }
    EXPECT_GT(checked, 200);
}

// Under a reconnection limit the updates after a cut stop at the limit's
// distance: the moves still score as a full rescoring, and the sets beyond
// that distance, left stale during a cut, are exact again after it.
TEST_F(Tbr, MovesWithinALimitScoreExactlyAndLeaveTheSetsExact)
{
    std::mt19937 rng(6121);
    long checked = 0;
    for (int trial = 0; trial < 8; trial++) {
        const uint32_t ntax = 16 + (trial * 5) % 25;
        DataInfo *d = randomData(rng, ntax, 20 + rng() % 80, trial % 2);
        TreePtr tree = randomTree(rng, ntax, false);
        const auto sets = setState(d, tree.get());
        for (uint32_t limit : {1u, 2u, 3u, 6u}) {
            const int type = trial % 3 == 2 ? kSwapSPR : kSwapTBR;
            const auto moves = allMoves(tree.get(), d, type, limit);
            ASSERT_EQ(setState(d, tree.get()), sets) << "trial " << trial << " limit " << limit;
            const size_t stride = 1 + moves.size() / 60;
            for (size_t i = rng() % stride; i < moves.size(); i += stride) {
                const Move &m = moves[i];
                RearrObject hit, inverse;
                makeRearrObject(&hit, m.K, m.T, m.R, m.score);
                ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), d, &hit, true), 0);
                ASSERT_DOUBLE_EQ(m.score, calcTreeLength(d, tree.get(), true, false))
                    << "trial " << trial << " limit " << limit << " move " << i;
                calcStatesetsForSearch(tree.get(), d, false);
                ASSERT_EQ(undoTbrRearr(tree.get(), d, true), 0);
                checked++;
            }
            calcStatesetsForSearch(tree.get(), d, false);
        }
    }
    EXPECT_GT(checked, 1000);
}

// The distinct neighbours enumerated are exactly the naive ones: SPR gives
// 2(n-3)(2n-7) trees, NNI 2(n-3); a reconnection limit keeps near moves only.
TEST_F(Tbr, NeighboursMatchNaiveEnumeration)
{
    std::mt19937 rng(31);
    for (int trial = 0; trial < 24; trial++) {
        const uint32_t ntax = 5 + trial % 8;
        TreePtr tree = randomTree(rng, ntax, false);
        for (int type : {kSwapNNI, kSwapSPR, kSwapTBR}) {
            std::set<Splits> seen;
            for (const Move &m : allMoves(tree.get(), nullptr, type)) {
                TreePtr copy(createTreeForTaxa(ntax, ntax, true));
                ASSERT_EQ(copyTree(tree.get(), copy.get()), 0);
                auto at = [&](TreeNode *x) { return copy->nodes + nodePosition(tree.get(), x); };
                ASSERT_EQ(finishRearr_TBR(copy.get(), at(m.K), at(m.T), at(m.R), false), 0);
                seen.insert(treeSplits(copy.get()));
            }
            EXPECT_EQ(seen.count(treeSplits(tree.get())), 0u) << "the tree itself";
            const uint32_t n = ntax;
            if (type == kSwapNNI) {
                EXPECT_EQ(seen.size(), 2 * (n - 3));
                EXPECT_EQ(countTbrRearrangements(tree.get(), type, 0), 2.0 * (n - 3));
            } else {
                const auto naive = naiveNeighbours(tree.get(), type == kSwapSPR);
                EXPECT_EQ(seen, naive) << "type " << type << " ntax " << ntax;
                if (type == kSwapSPR) {
                    EXPECT_EQ(naive.size(), 2 * (n - 3) * (2 * n - 7));
                }
            }
        }
        // With limit 1, SPR and TBR reach exactly the NNI trees.
        EXPECT_EQ(countTbrRearrangements(tree.get(), kSwapTBR, 1), countTbrRearrangements(tree.get(), kSwapNNI, 0));
        EXPECT_EQ(tbrReconLimit(0, ntax), ntax - 1);
        EXPECT_EQ(tbrReconLimit(ntax, ntax), ntax - 1);
        EXPECT_EQ(tbrReconLimit(2, ntax), 2u);
    }
}

// A reconnection limit keeps exactly the neighbours within that distance,
// each counted once, for limits 1 (the NNI trees), 2, 8 and none.
TEST_F(Tbr, ReconnectionLimitKeepsTheNeighboursWithinItsDistance)
{
    std::mt19937 rng(6107);
    for (int trial = 0; trial < 16; trial++) {
        const uint32_t ntax = 5 + trial % 12;
        TreePtr tree = randomTree(rng, ntax, false);
        const Splits original = treeSplits(tree.get());
        for (int type : {kSwapSPR, kSwapTBR})
            for (uint32_t limit : {1u, 2u, 8u, 0u}) {
                SCOPED_TRACE(testing::Message() << "ntax " << ntax << " type " << type << " limit " << limit);
                const auto naive = naiveNeighboursWithin(tree.get(), type == kSwapSPR, limit ? limit : ~0u);
                std::set<Splits> seen;
                const auto moves = allMoves(tree.get(), nullptr, type, limit);
                for (const Move &m : moves) {
                    TreePtr copy(createTreeForTaxa(ntax, ntax, true));
                    ASSERT_EQ(copyTree(tree.get(), copy.get()), 0);
                    auto at = [&](TreeNode *x) { return copy->nodes + nodePosition(tree.get(), x); };
                    ASSERT_EQ(finishRearr_TBR(copy.get(), at(m.K), at(m.T), at(m.R), false), 0);
                    seen.insert(treeSplits(copy.get()));
                }
                EXPECT_EQ(seen, naive);
                EXPECT_EQ(moves.size(), naive.size());
                EXPECT_EQ(countTbrRearrangements(tree.get(), type, limit), static_cast<double>(naive.size()));
                EXPECT_EQ(countRearrangements(tree.get(), static_cast<uint32_t>(type), limit),
                          static_cast<double>(naive.size()));
                EXPECT_EQ(treeSplits(tree.get()), original);
            }
    }
}

}  // namespace

namespace {

// Every tree of a data set without informative cells scores the same, so a
// heuristic swap with MulTrees saves every TBR neighbour; the hit list (100
// entries) fills and is flushed in the middle of cuts, which applies and
// undoes moves on the tree. The buffer must end with exactly the naive
// neighbours and the tree with its links and sets.
TEST_F(Tbr, SwapTreeSavesEveryEqualNeighbourThroughFlushes)
{
    std::mt19937 rng(104);
    const uint32_t ntax = 11;
    makeData(std::vector<std::string>(ntax, "??"));
    TreeBuffer *buf = activeBuffer(ntax, 4000);
    const uint32_t savedMax = getMaxtreesValue();
    setMaxtreesValue(4000);
    TreePtr tree = randomTree(rng, ntax, true);
    const Links links = linksOf(tree.get());
    const auto sets = setState(data, tree.get());
    SaveRules rules{};
    rules.heuristicRunning = rules.mulTrees = true;
    HSearchData *hsd = createHSearchData(data, ntax, rules, false);
    ASSERT_NE(hsd, nullptr);
    ASSERT_EQ(installSwapFxns(hsd, kSwapTBR), 0);
    EXPECT_EQ(installSwapFxns(hsd, 7), 1);
    hsd->bestScoreRep = 0.0;
    setMaxScoreToSave(hsd);
    EXPECT_EQ(swapTree(hsd, tree.get()), 0);
    EXPECT_EQ(numTreesInBuffer(buf), naiveNeighbours(tree.get(), false).size());
    EXPECT_GT(hsd->rearrTriedTotal, 2.0 * hsd->hitList.capacity);  // flushed more than once
    EXPECT_EQ(hsd->rearrTriedTotal, countTbrRearrangements(tree.get(), kSwapTBR, 0));
    EXPECT_EQ(linksOf(tree.get()), links);
    EXPECT_EQ(setState(data, tree.get()), sets);
    destroyHSearchData(hsd);
    setMaxtreesValue(savedMax);
}

// A search swaps within the reconnection limit its HSearchData carries.
TEST_F(Tbr, SwapTreeReconnectsWithinTheSearchLimit)
{
    std::mt19937 rng(8);
    const uint32_t ntax = 12;
    makeData(std::vector<std::string>(ntax, "??"));
    const uint32_t savedMax = getMaxtreesValue();
    setMaxtreesValue(4000);
    TreePtr tree = randomTree(rng, ntax, true);
    SaveRules rules{};
    rules.heuristicRunning = rules.mulTrees = true;
    for (uint32_t limit : {2u, 3u}) {
        TreeBuffer *buf = activeBuffer(ntax, 4000);
        HSearchData *hsd = createHSearchData(data, ntax, rules, false);
        ASSERT_NE(hsd, nullptr);
        ASSERT_EQ(installSwapFxns(hsd, kSwapSPR), 0);
        hsd->reconLimit = limit;
        hsd->bestScoreRep = 0.0;
        setMaxScoreToSave(hsd);
        EXPECT_EQ(swapTree(hsd, tree.get()), 0);
        const auto naive = naiveNeighboursWithin(tree.get(), true, limit);
        EXPECT_EQ(numTreesInBuffer(buf), naive.size()) << "limit " << limit;
        EXPECT_LT(naive.size(), naiveNeighbours(tree.get(), true).size());
        EXPECT_EQ(hsd->rearrTriedTotal, static_cast<double>(naive.size()));
        destroyHSearchData(hsd);
    }
    setMaxtreesValue(savedMax);
}

// Local search ends on a tree whose length is a full rescoring's and that
// no neighbour beats, and never on a longer tree than it began with.
TEST_F(Tbr, LocalSearchReachesALocalOptimum)
{
    std::mt19937 rng(77);
    for (int trial = 0; trial < 6; trial++) {
        const uint32_t ntax = 10 + rng() % 11;
        DataInfo *d = randomData(rng, ntax, 20 + rng() % 40, trial % 2);
        TreePtr tree = randomTree(rng, ntax, trial % 2);
        const double start = calcTreeLength(d, tree.get(), true, false);
        SaveRules rules{};
        HSearchData *hsd = createHSearchData(d, ntax, rules, false);
        const int type = trial % 3 + 1;
        double bound = kNoScore;
        EXPECT_EQ(localSearchFromOneTreeViaTBR(tree.get(), hsd, type, 0, &bound), 0);
        const double found = tree->score[0];
        EXPECT_LE(found, start);
        for (const Move &m : allMoves(tree.get(), d, type))
            ASSERT_GE(m.score, found) << "trial " << trial;
        EXPECT_DOUBLE_EQ(calcTreeLength(d, tree.get(), true, false), found);
        destroyHSearchData(hsd);
    }
}

// A pass scored against a bound stops each span as soon as it passes the
// bound; it must still take as its hit the first move, in enumeration
// order, whose full score beats the tree, with that full score, and count
// every move up to it. At a local optimum it finds none and tries them all.
TEST_F(Tbr, BoundedPassFindsTheFirstBetterMoveWithItsFullScore)
{
    std::mt19937 rng(4242);
    int better = 0;
    for (int trial = 0; trial < 12; trial++) {
        const uint32_t ntax = 8 + (trial * 5) % 19;
        DataInfo *d = randomData(rng, ntax, 30 + rng() % 200, false);
        TreePtr tree = randomTree(rng, ntax, trial % 2);
        const int type = trial % 3 == 2 ? kSwapSPR : kSwapTBR;
        SaveRules rules{};
        HSearchData *hsd = createHSearchData(d, ntax, rules, false);
        for (bool optimum : {false, true}) {
            if (optimum) {
                double unbounded = kNoScore;
                ASSERT_EQ(localSearchFromOneTreeViaTBR(tree.get(), hsd, type, 0, &unbounded), 0);
            }
            const double length = calcTreeLength(d, tree.get(), true, false);
            calcStatesetsForSearch(tree.get(), d, false);
            const auto moves = allMoves(tree.get(), d, type);
            const auto first = std::find_if(moves.begin(), moves.end(), [&](const Move &m) { return m.score < length; });
            clearHits(hsd);
            hsd->rearrTriedTotal = 0.0;
            double bound = length, best = length;
            const int rc = evaluateNeighbors_TBR(tree.get(), hsd, type, nullptr, 0, &bound, &best);
            SCOPED_TRACE(::testing::Message() << "trial " << trial << (optimum ? " at the optimum" : ""));
            if (first == moves.end()) {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(hsd->rearrTriedTotal, static_cast<double>(moves.size()));
                continue;
            }
            better++;
            ASSERT_EQ(rc, -1);
            const RearrObject *hit = getSwapHit(hsd, 0);
            EXPECT_EQ(hit->node[0], first->K);
            EXPECT_EQ(hit->node[1], first->T);
            EXPECT_EQ(hit->node[2], first->R);
            EXPECT_EQ(hit->score, first->score);
            EXPECT_EQ(hsd->rearrTriedTotal, static_cast<double>(first - moves.begin() + 1));
        }
        destroyHSearchData(hsd);
    }
    EXPECT_GE(better, 8);
}

// A pass settles most moves in runs that share a reroot edge; a rearrangement
// limit no search reaches sends every move through the move-by-move path
// instead. Both must give the same outcome, hit by hit and tree by tree: on
// unordered data (two moves per kernel call) and on mixed data, in a search
// (MulTrees: equal trees flushed from the hit list mid-run, which restores
// and recuts the tree) and on its own, from random trees and local optima.
TEST_F(Tbr, MovesSettledInRunsGiveTheMoveByMoveOutcome)
{
    std::mt19937 rng(515);
    const uint32_t savedMax = getMaxtreesValue();
    setMaxtreesValue(4000);
    for (int trial = 0; trial < 8; trial++) {
        const uint32_t ntax = 9 + 3 * trial;
        if (trial % 2) {
            randomData(rng, ntax, 30 + rng() % 60, false);
        } else {
            std::vector<std::string> rows(ntax, std::string(40 + rng() % 60, '0'));
            for (std::string &r : rows)
                for (char &c : r)
                    c = rng() % 12 == 0 ? '?' : static_cast<char>('0' + rng() % 4);
            dropData();
            makeData(rows, "0123");
        }
        TreePtr tree = randomTree(rng, ntax, trial % 3 == 0);
        for (bool optimum : {false, true}) {
            if (optimum) {
                SaveRules plain{};
                HSearchData *h = createHSearchData(data, ntax, plain, false);
                double unbounded = kNoScore;
                ASSERT_EQ(localSearchFromOneTreeViaTBR(tree.get(), h, kSwapTBR, 0, &unbounded), 0);
                destroyHSearchData(h);
            }
            calcStatesetsForSearch(tree.get(), data, false);
            const Links links = linksOf(tree.get());
            const double length = calcTreeLength(data, tree.get(), true, false);
            for (bool heuristic : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "trial " << trial << (optimum ? " at an optimum" : "")
                                                  << (heuristic ? " in a search" : ""));
                struct Outcome {
                    int rc;
                    double tried, bound, best;
                    std::vector<std::tuple<TreeNode *, TreeNode *, TreeNode *, double>> hits;
                    uint32_t stored;
                    bool operator==(const Outcome &) const = default;
                };
                Outcome out[2];
                for (int way = 0; way < 2; way++) {
                    TreeBuffer *buf = activeBuffer(ntax, 4000);
                    SaveRules rules{};
                    rules.heuristicRunning = rules.mulTrees = heuristic;
                    HSearchData *hsd = createHSearchData(data, ntax, rules, false);
                    ASSERT_NE(hsd, nullptr);
                    hsd->rearrLimit = way == 0 ? 0.0 : 1e15;
                    double own = length;
                    double *bound = &own;
                    if (heuristic) {
                        hsd->bestScoreRep = length;
                        setMaxScoreToSave(hsd);
                        bound = &hsd->maxScoreToSave;
                    }
                    double best = *bound;
                    Outcome &o = out[way];
                    o.rc = evaluateNeighbors_TBR(tree.get(), hsd, kSwapTBR, nullptr, 0, bound, &best);
                    o.tried = hsd->rearrTriedTotal;
                    o.bound = *bound;
                    o.best = best;
                    for (uint32_t i = 0; i < hsd->hitList.count; i++) {
                        const RearrObject &r = hsd->hitList.hits[i];
                        o.hits.emplace_back(r.node[0], r.node[1], r.node[2], r.score);
                    }
                    o.stored = numTreesInBuffer(buf);
                    EXPECT_EQ(linksOf(tree.get()), links) << "way " << way;
                    destroyHSearchData(hsd);
                }
                EXPECT_TRUE(out[0] == out[1]) << "rc " << out[0].rc << "/" << out[1].rc << ", tried " << out[0].tried
                                              << "/" << out[1].tried << ", hits " << out[0].hits.size() << "/"
                                              << out[1].hits.size() << ", stored " << out[0].stored << "/"
                                              << out[1].stored;
                EXPECT_GT(out[0].tried, 0.0);
            }
        }
    }
    setMaxtreesValue(savedMax);
}

// A stop asked before a pass ends it at its first move, with no move
// counted and the tree whole, its sets as they were. One asked later is
// read within a poll interval: the pass reads it every few thousand moves,
// not at each, since reading it costs about as much as rejecting a move.
TEST_F(Tbr, AStopEndsThePassAtItsFirstMoveOrWithinOnePollInterval)
{
    std::mt19937 rng(31);
    const uint32_t ntax = 24;
    DataInfo *d = randomData(rng, ntax, 80, false);
    TreePtr tree = randomTree(rng, ntax, false);
    calcStatesetsForSearch(tree.get(), d, false);
    const Links links = linksOf(tree.get());
    const auto sets = setState(d, tree.get());
    const double length = calcTreeLength(d, tree.get(), true, false);
    SaveRules rules{};
    HSearchData *hsd = createHSearchData(d, ntax, rules, false);
    std::atomic<bool> cancel{true};
    setSearchCancelFlag(&cancel);
    double bound = length, best = length;
    EXPECT_EQ(evaluateNeighbors_TBR(tree.get(), hsd, kSwapTBR, nullptr, 0, &bound, &best), 2);
    EXPECT_EQ(hsd->rearrTriedTotal, 0.0);
    EXPECT_EQ(linksOf(tree.get()), links);
    EXPECT_EQ(setState(d, tree.get()), sets);

    // Read at the first call, then at the kStopPollInterval-th after it.
    StopPoll poll;
    EXPECT_TRUE(poll.stopRequested());
    uint32_t calls = 1;
    while (!poll.stopRequested() && calls < 4 * kStopPollInterval)
        calls++;
    EXPECT_EQ(calls, kStopPollInterval);
    setSearchCancelFlag(nullptr);
    destroyHSearchData(hsd);
}

}  // namespace
