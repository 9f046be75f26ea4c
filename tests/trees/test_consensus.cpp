// Splits tables and consensus trees: known answers on hand-made tree sets
// (the six-taxon set of majority-rule and LE50 groups, the cutoff edge
// cases, Adams examples, consensus indices worked by hand) and random tree
// sets against plain references written here: split counting by brute force
// and an Adams consensus computed from cluster lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "data/data_fixture.h"
#include "trees/contree.h"
#include "trees/readtree.h"
#include "trees/splits.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees_fixture.h"

namespace {

using Mask = uint64_t;

class ConsensusTest : public treetest::TreesFixture {
protected:
    std::vector<uint32_t> allTrees()
    {
        std::vector<uint32_t> v(numTreesInMainBuffer());
        for (uint32_t i = 0; i < v.size(); i++)
            v[i] = i + 1;
        return v;
    }
    // Selected groups (taxon masks; for unrooted trees the side without
    // taxon 1) -> support.
    std::map<Mask, float> consensus(uint32_t kind, uint32_t percent, bool le50, bool useWts)
    {
        TreeHandle work(createTree(true));
        SplitsTable *table = nullptr;
        double total = 0.0;
        std::map<Mask, float> out;
        EXPECT_EQ(majRuleConsensus(kind, useWts, getMainTreeBuffer(nullptr), allTrees(), d, work.get(), &table,
                                   &total),
                  0);
        SplitsList *list = createSplitsList(d->ntax, d->ntax, true);
        EXPECT_EQ(selectConsensusSplits(table, kind, le50, percent, list, total), 0);
        for (uint32_t i = 0; i < list->count; i++)
            out[getSplitFromList(list, i)[0]] = table->support.empty() ? 0.0f : table->support[i];
        destroySplitsList(list);
        destroySplitsTable(table);
        return out;
    }
};

Mask taxa(std::initializer_list<int> oneBased)
{
    Mask m = 0;
    for (int t : oneBased)
        m |= Mask{1} << (t - 1);
    return m;
}

TEST_F(ConsensusTest, SixTaxonSetGivesStarMajorityAndLE50Groups)
{
    makeTaxa(6);
    ASSERT_EQ(readBlock("utree a = ((t1,t2),(t3,t4),(t5,t6));\n"
                        "utree b = ((t1,t2),(t3,t5),(t4,t6));\n"
                        "utree c = ((t1,t2),(t3,t4),(t5,t6));\n"
                        "utree d = ((t1,t3),(t2,t4),(t5,t6));"),
              0);
    EXPECT_TRUE(consensus(kConStrict, 100, false, false).empty());
    // Unrooted splits are held as the side without taxon 1: AB|CDEF is
    // {C,D,E,F}.
    const std::map<Mask, float> majority{{taxa({3, 4, 5, 6}), 75.0f}, {taxa({5, 6}), 75.0f}};
    EXPECT_EQ(consensus(kConMajRule, 50, false, false), majority);
    std::map<Mask, float> le50 = majority;
    le50[taxa({3, 4})] = 50.0f;
    EXPECT_EQ(consensus(kConMajRule, 50, true, false), le50);
    // Semistrict keeps what no tree contradicts: here nothing survives.
    EXPECT_TRUE(consensus(kConSemistrict, 100, false, false).empty());
}

TEST_F(ConsensusTest, CutoffsAtTheirEdges)
{
    auto table = [](std::vector<uint32_t> counts, std::vector<double> weights) {
        SplitsTable *t = createSplitsTable(8, 8, (weights.empty() ? kSplitsCounts : kSplitsWeights) | kSplitsSupport);
        const size_t n = std::max(counts.size(), weights.size());
        for (size_t i = 0; i < n; i++) {
            uint64_t s = uint64_t{3} << (2 * i);  // disjoint pairs
            const uint32_t times = weights.empty() ? counts[i] : 1;
            for (uint32_t k = 0; k < times; k++)
                updateTableWithSplit(t, &s, 0, true, weights.empty() ? 1.0 : weights[i]);
        }
        return t;
    };
    auto selected = [](SplitsTable *t, uint32_t kind, uint32_t percent, double total) {
        SplitsList *l = createSplitsList(8, 8, true);
        EXPECT_EQ(selectConsensusSplits(t, kind, false, percent, l, total), 0);
        const uint32_t n = l->count;
        destroySplitsList(l);
        destroySplitsTable(t);
        return n;
    };
    // Four trees at 50%: 3 of 4 passes, 2 of 4 does not; at 67% 3 is ceil(2.68).
    EXPECT_EQ(selected(table({3, 2}, {}), kConMajRule, 50, 4), 1u);
    EXPECT_EQ(selected(table({3, 2}, {}), kConMajRule, 67, 4), 1u);
    EXPECT_EQ(selected(table({3, 3}, {}), kConMajRule, 76, 4), 0u);
    EXPECT_EQ(selected(table({3, 2}, {}), kConMajRule, 50, 5), 1u);
    // Weights summing to 2: exactly half fails at 50%, 1.2 passes at 60%.
    EXPECT_EQ(selected(table({}, {1.0}), kConMajRule, 50, 2.0), 0u);
    EXPECT_EQ(selected(table({}, {1.2}), kConMajRule, 60, 2.0), 1u);
    EXPECT_EQ(selected(table({}, {1.19}), kConMajRule, 60, 2.0), 0u);
    // Exactly half still fails when the weights are large, and an exact 70% passes.
    EXPECT_EQ(selected(table({}, {1e7}), kConMajRule, 50, 2e7), 0u);
    EXPECT_EQ(selected(table({}, {1e10}), kConMajRule, 50, 2e10), 0u);
    EXPECT_EQ(selected(table({}, {7e9}), kConMajRule, 70, 1e10), 1u);
    // Two conflicting groups are never both kept, even when the total given
    // understates the table and both seem to pass.
    SplitsTable *conflicting = createSplitsTable(8, 8, kSplitsWeights | kSplitsSupport);
    for (uint64_t s : {uint64_t{0x3}, uint64_t{0x6}})
        updateTableWithSplit(conflicting, &s, 0, true, 1.0);
    EXPECT_EQ(selected(conflicting, kConMajRule, 50, 1.5), 1u);
}

TEST_F(ConsensusTest, SplitsTableCountsAndKeepsFirstInsertionOrderOnTies)
{
    SplitsTable *t = createSplitsTable(130, 1, kSplitsCounts);
    std::vector<uint64_t> a(3, 0), b(3, 0);
    a[2] = 1;  // taxon 128: a split in the third word
    b[0] = 6;
    EXPECT_EQ(updateTableWithSplit(t, b.data(), 0, false, 1.0), nullptr);  // unknown and not added
    ASSERT_NE(updateTableWithSplit(t, a.data(), 0, true, 1.0), nullptr);
    ASSERT_NE(updateTableWithSplit(t, b.data(), 0, true, 1.0), nullptr);
    ASSERT_NE(updateTableWithSplit(t, b.data(), 0, false, 1.0), nullptr);  // known: counted
    ASSERT_NE(updateTableWithSplit(t, a.data(), 0, true, 1.0), nullptr);
    EXPECT_EQ(t->counts, (std::vector<uint32_t>{2, 2}));
    EXPECT_EQ(sortSplitsTableByFreq(t), (std::vector<uint32_t>{0, 1}));
    // Growing well past the initial index keeps every split findable.
    for (uint32_t i = 0; i < 5000; i++) {
        std::vector<uint64_t> s{i * 7919ull + 1, i, 0};
        updateTableWithSplit(t, s.data(), 0, true, 1.0);
    }
    EXPECT_EQ(findMatchingSplit(t, a.data(), nullptr), 0u);
    std::vector<uint64_t> s{4999 * 7919ull + 1, 4999, 0};
    EXPECT_NE(findMatchingSplit(t, s.data(), nullptr), kNoSplit);
    destroySplitsTable(t);
}

// Random rooted trees with polytomies on n taxa: the Newick text and the
// clusters (each internal node below the root, the root's own cluster
// last).
struct RandomTree {
    std::string newick;
    std::vector<Mask> clusters;
};

RandomTree randomTree(std::mt19937 &rng, uint32_t n)
{
    std::vector<std::pair<std::string, Mask>> parts;
    for (uint32_t t = 0; t < n; t++)
        parts.emplace_back("t" + std::to_string(t + 1), Mask{1} << t);
    RandomTree out;
    while (parts.size() > 1) {
        std::shuffle(parts.begin(), parts.end(), rng);
        const size_t k = std::min<size_t>(parts.size(), 2 + rng() % 3);
        std::string text = "(";
        Mask m = 0;
        for (size_t i = 0; i < k; i++) {
            text += (i ? "," : "") + parts.back().first;
            m |= parts.back().second;
            parts.pop_back();
        }
        out.clusters.push_back(m);
        parts.emplace_back(text + ")", m);
    }
    out.newick = parts[0].first + ";";
    return out;
}

TEST_F(ConsensusTest, RandomRootedSetsMatchBruteForceSplitCounts)
{
    std::mt19937 rng(20240501);
    for (int rep = 0; rep < 30; rep++) {
        const uint32_t n = 5 + rng() % 8;
        makeTaxa(n);
        const uint32_t ntrees = 3 + rng() % 20;
        std::string body;
        std::map<Mask, uint32_t> truth;
        for (uint32_t k = 0; k < ntrees; k++) {
            RandomTree t = randomTree(rng, n);
            body += "tree r" + std::to_string(k) + " = [&R] " + t.newick + "\n";
            for (size_t c = 0; c + 1 < t.clusters.size(); c++)
                truth[t.clusters[c]]++;
        }
        ASSERT_EQ(readBlock(body), 0);
        for (uint32_t percent : {50u, 67u, 100u}) {
            std::map<Mask, float> expected;
            for (auto [m, c] : truth)
                if (percent == 50 ? 2 * c > ntrees : 100 * c >= percent * ntrees)
                    expected[m] = static_cast<float>(100.0 * c / ntrees);
            EXPECT_EQ(consensus(kConMajRule, percent, false, false), expected) << "rep " << rep << " " << percent;
        }
        std::map<Mask, float> strict;
        for (auto [m, c] : truth)
            if (c == ntrees)
                strict[m] = 0.0f;
        EXPECT_EQ(consensus(kConStrict, 100, false, false), strict);
    }
}

// The splits read straight from the stored encoding are those of the tree
// getTree builds, in the same order (the order breaks frequency ties), for
// rooted and unrooted trees with polytomies, one-word and multi-word splits
// and both element widths of the buffer. A tree that lacks a taxon adds
// nothing and stops the consensus.
TEST_F(ConsensusTest, StoredTreeSplitsEqualThoseOfTheBuiltTree)
{
    std::mt19937 rng(20261207);
    for (uint32_t n : {5u, 9u, 70u, 130u, 200u}) {
        for (const char *rooting : {"[&R]", "[&U]"}) {
            makeTaxa(n);
            std::string body;
            for (uint32_t k = 0; k < 12; k++)
                body += "tree r" + std::to_string(k) + " = " + rooting + " " + treetest::randomNewick(rng, n) + "\n";
            ASSERT_EQ(readBlock(body), 0);
            TreeBuffer *buf = getMainTreeBuffer(nullptr);
            TreeHandle work(createTree(true));
            SplitsTable *built = createSplitsTable(n, 1, kSplitsCounts);
            SplitsTable *stored = createSplitsTable(n, 1, kSplitsCounts);
            for (uint32_t k = 1; k <= numTreesInMainBuffer(); k++) {
                ASSERT_EQ(getTree(buf, k, work.get()), 0);
                ASSERT_EQ(updateSplitsTableFromTree(built, work.get(), k, true, 1.0), 0);
                uint32_t tips = 0;
                ASSERT_EQ(updateSplitsTableFromStoredTree(stored, buf, k, k, true, 1.0, &tips), 0);
                EXPECT_EQ(tips, n);
            }
            EXPECT_GE(numSplitsInTable(built), 3u);
            EXPECT_EQ(stored->splits.bits, built->splits.bits) << n << " " << rooting;
            EXPECT_EQ(stored->counts, built->counts) << n << " " << rooting;
            destroySplitsTable(built);
            destroySplitsTable(stored);
        }
    }
    makeTaxa(6);
    ASSERT_EQ(readBlock("tree a = [&U] ((t1,t2),(t3,t4),(t5,t6));\ntree b = [&U] ((t1,t2),(t3,t4),t5);"), 0);
    SplitsTable *table = createSplitsTable(6, 1, kSplitsCounts);
    uint32_t tips = 0;
    ASSERT_EQ(updateSplitsTableFromStoredTree(table, getMainTreeBuffer(nullptr), 2, 2, true, 1.0, &tips), 0);
    EXPECT_EQ(tips, 5u);
    EXPECT_EQ(numSplitsInTable(table), 0u);
    destroySplitsTable(table);
    TreeHandle work(createTree(true));
    SplitsTable *out = nullptr;
    double total = 0.0;
    testcap::clearCaptured();
    EXPECT_EQ(majRuleConsensus(kConMajRule, false, getMainTreeBuffer(nullptr), allTrees(), d, work.get(), &out,
                               &total),
              1);
    EXPECT_EQ(out, nullptr);
    EXPECT_NE(testcap::gErrorText.find("One or more taxa missing from tree 2"), std::string::npos) << testcap::gErrorText;
}

// Adams consensus by its definition: partition S by the children of each
// tree's MRCA of S, intersect the partitions, keep blocks of two or more and
// split those of three or more again.
void adamsReference(const std::vector<std::vector<Mask>> &trees, Mask s, std::set<Mask> &out)
{
    std::map<std::vector<Mask>, Mask> blocks;
    for (Mask bits = s; bits; bits &= bits - 1) {
        const Mask taxon = bits & (~bits + 1);
        std::vector<Mask> key;
        for (const auto &clusters : trees) {
            Mask mrca = ~Mask{0};
            for (Mask c : clusters)
                if ((c & s) == s && std::popcount(c) < std::popcount(mrca))
                    mrca = c;
            // The child of the MRCA holding the taxon: the largest cluster
            // strictly inside the MRCA that holds it, or the taxon itself.
            Mask child = taxon;
            for (Mask c : clusters)
                if (c != mrca && (c & mrca) == c && (c & taxon) && std::popcount(c) > std::popcount(child))
                    child = c;
            key.push_back(child & s);
        }
        blocks[key] |= taxon;
    }
    for (auto &[key, block] : blocks)
        if (std::popcount(block) >= 2 && block != s) {
            out.insert(block);
            if (std::popcount(block) > 2)
                adamsReference(trees, block, out);
        }
}

std::set<Mask> adamsOfMemory(DataInfo *d, const std::vector<uint32_t> &trees)
{
    TreeHandle work(createTree(true));
    SplitsList *list = createSplitsList(d->ntax, d->ntax, true);
    EXPECT_EQ(adamsConsensus(d, getMainTreeBuffer(nullptr), trees, work.get(), list), 0);
    std::set<Mask> out;
    for (uint32_t i = 0; i < list->count; i++)
        out.insert(getSplitFromList(list, i)[0]);
    destroySplitsList(list);
    return out;
}

TEST_F(ConsensusTest, AdamsKnownAnswersAndRandomSetsAgainstTheDefinition)
{
    makeTaxa(5);  // a b c d x = t1..t5
    ASSERT_EQ(readBlock("tree p = [&R] ((t1,t2),(t3,(t4,t5)));\ntree q = [&R] ((t1,(t2,t5)),(t3,t4));"), 0);
    EXPECT_EQ(adamsOfMemory(d, allTrees()), (std::set<Mask>{taxa({1, 2}), taxa({3, 4})}));
    // The tree: ((a,b),(c,d),x) with the groups on the basal fork.
    {
        TreeHandle tree(createTree(true));
        SplitsList *list = createSplitsList(5, 5, true);
        appendSplitToList(list, std::vector<uint64_t>{taxa({1, 2})}.data());
        appendSplitToList(list, std::vector<uint64_t>{taxa({3, 4})}.data());
        allocSpecialTreeData(1);
        ASSERT_EQ(finishContree(tree.get(), kConAdams, nullptr, list, d, true), 0);
        EXPECT_EQ(countChildren(tree->root->firstChild), 3u);
        destroySplitsList(list);
        deallocSpecialTreeData();
    }
    makeTaxa(3);
    ASSERT_EQ(readBlock("tree p = [&R] ((t1,t2),t3);\ntree q = [&R] ((t1,t3),t2);"), 0);
    EXPECT_TRUE(adamsOfMemory(d, allTrees()).empty());

    std::mt19937 rng(7);
    for (int rep = 0; rep < 200; rep++) {
        const uint32_t n = 4 + rng() % 9;
        makeTaxa(n);
        const uint32_t ntrees = 2 + rng() % 4;
        std::string body;
        std::vector<std::vector<Mask>> clusters;
        for (uint32_t k = 0; k < ntrees; k++) {
            RandomTree t = randomTree(rng, n);
            body += "tree r" + std::to_string(k) + " = [&R] " + t.newick + "\n";
            clusters.push_back(t.clusters);
        }
        ASSERT_EQ(readBlock(body), 0);
        std::set<Mask> expected;
        adamsReference(clusters, (Mask{1} << n) - 1, expected);
        ASSERT_EQ(adamsOfMemory(d, allTrees()), expected) << "rep " << rep << "\n" << body;
    }
}

// A caterpillar of n taxa has clades of every size from 2 up: its
// Schuh-Farris sum is C(n, 3) rooted and C(n - 1, 3) unrooted, past 2^31
// from about 2,300 taxa, and its Nelson-Platnick total grows as n^2.
TEST_F(ConsensusTest, IndicesOfALargeCaterpillarKeepEveryDigit)
{
    constexpr uint64_t n = 2400;
    makeTaxa(n);
    std::string newick = "t1";
    for (uint64_t t = 2; t <= n; t++)
        newick = "(" + newick + ",t" + std::to_string(t) + ")";
    const auto choose3 = [](uint64_t x) { return x * (x - 1) * (x - 2) / 6; };
    for (bool rooted : {true, false}) {
        ASSERT_EQ(readBlock((rooted ? "tree r = [&R] " : "utree u = ") + newick + ";"), 0) << testcap::gErrorText;
        TreeHandle tree(createTree(true));
        ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 1, tree.get()), 0);
        const ConsensusIndices ci = computeConsensusIndices(tree.get(), static_cast<uint32_t>(n));
        const uint64_t top = rooted ? n - 1 : n - 2;  // the largest clade below the top fork
        EXPECT_EQ(ci.schuhFarris, choose3(top + 1)) << "rooted " << rooted;
        EXPECT_DOUBLE_EQ(ci.schuhFarrisNorm, 1.0) << "rooted " << rooted;
        EXPECT_EQ(ci.npTotal, top * (top + 1) / 2 - 1) << "rooted " << rooted;
        testcap::clearCaptured();
        showConsensusIndices(ci);
        EXPECT_NE(testcap::gOut.find("Schuh-Farris levels sum = " + std::to_string(choose3(top + 1)) + " "),
                  std::string::npos)
            << testcap::gOut;
    }
}

TEST_F(ConsensusTest, IndicesOfHandWorkedTreesAndNaForAThreeTaxonStar)
{
    makeTaxa(6);
    ASSERT_EQ(readBlock("tree h = [&R] ((t1,t2,t3,t4),(t5,t6));"), 0);
    TreeHandle tree(createTree(true));
    ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 1, tree.get()), 0);
    const ConsensusIndices ci = computeConsensusIndices(tree.get(), 6);
    EXPECT_EQ(ci.components, 2u);
    EXPECT_DOUBLE_EQ(ci.componentNorm, 0.5);
    EXPECT_EQ(ci.npTerm, 4u);
    EXPECT_EQ(ci.npTotal, 6u);
    EXPECT_DOUBLE_EQ(ci.mickevich, 0.5);
    EXPECT_DOUBLE_EQ(ci.colless, 6.0 / 14.0);
    EXPECT_EQ(ci.schuhFarris, 7u);
    EXPECT_DOUBLE_EQ(ci.schuhFarrisNorm, 0.35);
    EXPECT_DOUBLE_EQ(ci.rohlfCI1, 4.0 / 7.0);
    EXPECT_NEAR(ci.rohlfLnCI2, std::log(63.0), 1e-12);
    makeTaxa(3);
    ASSERT_EQ(readBlock("utree s = (t1,t2,t3);"), 0);
    TreeHandle star(createTree(true));
    ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 1, star.get()), 0);
    const ConsensusIndices na = computeConsensusIndices(star.get(), 3);
    EXPECT_TRUE(std::isnan(na.componentNorm));
    EXPECT_TRUE(std::isnan(na.mickevich));
    EXPECT_TRUE(std::isnan(na.colless));
    EXPECT_TRUE(std::isnan(na.schuhFarrisNorm));
    EXPECT_TRUE(std::isnan(na.rohlfCI1));
    testcap::clearCaptured();
    showConsensusIndices(na);
    EXPECT_NE(testcap::gOut.find("Component information (consensus fork) = 0 (normalized = n/a)"),
              std::string::npos);
    EXPECT_NE(testcap::gOut.find("Rohlf's CI(1) = n/a"), std::string::npos);
}

}  // namespace
