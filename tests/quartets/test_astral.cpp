// Gene-tree quartets counted into the weight table, checked quartet by
// quartet against what the tree displays. (Species trees from coalescent
// gene trees are checked end to end by e2e/astral_coalescent.py.)
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "quartets/astral.h"
#include "quartets/qmethods.h"
#include "quartets/quartets.h"
#include "support/tree_test_support.h"
#include "trees/treeedit.h"

namespace {

struct QdDeleter {
    void operator()(QuartetData *q) const { deallocQuartetData(q); }
};
using QdPtr = std::unique_ptr<QuartetData, QdDeleter>;

// A random tree text over the given taxa, in the form buildTestTree reads.
std::string randomTextOver(std::mt19937 &rng, const std::vector<uint32_t> &taxa, bool polytomies)
{
    std::vector<std::string> groups;
    for (uint32_t t : taxa)
        groups.push_back(std::to_string(t));
    while (groups.size() > 1) {
        const size_t k = polytomies && groups.size() > 2 ? 2 + rng() % std::min<size_t>(3, groups.size() - 1) : 2;
        std::string merged = "(";
        for (size_t i = 0; i < k; i++) {
            const size_t j = rng() % groups.size();
            merged += (i ? "," : "") + groups[j];
            groups.erase(groups.begin() + static_cast<long>(j));
        }
        groups.push_back(merged + ")");
    }
    return groups[0];
}

// Weight 1 on every topology of the leaves held that the tree displays, by
// asking of each quartet and topology in turn.
std::vector<float> displayedWeights(Tree *tree, uint32_t n, const std::vector<bool> &held)
{
    std::unique_ptr<QwtTable, decltype(&destroyQwtTable)> t(createQwtTable(n, n, false, true, nullptr),
                                                            destroyQwtTable);
    for (uint32_t w = 0; w < n; w++)
        for (uint32_t x = w + 1; x < n; x++)
            for (uint32_t y = x + 1; y < n; y++)
                for (uint32_t z = y + 1; z < n; z++) {
                    if (!held[w] || !held[x] || !held[y] || !held[z])
                        continue;
                    const uint32_t q[3][4] = {{w, x, y, z}, {w, y, x, z}, {w, z, x, y}};
                    for (const auto &s : q)
                        if (isQuartetCompatibleWithTree(s[0], s[1], s[2], s[3], tree))
                            updateQuartetWt(t.get(), s[0], s[1], s[2], s[3], 1.0f);
                }
    return t->wts;
}

uint64_t addOne(QwtTable *table, Tree *tree, GeneQuartetCounter &work)
{
    Tree *const one[] = {tree};
    return addGeneTreeQuartets(table, one, work);
}

double sumOf(const std::vector<float> &v)
{
    double s = 0.0;
    for (float x : v)
        s += x;
    return s;
}

TEST(AstralCountTest, AddsEveryDisplayedTopologyOnceAmongTheLeavesHeldWhateverTheRoot)
{
    std::mt19937 rng(51);
    for (uint32_t n : {4u, 5u, 7u, 9u, 13u}) {
        QdPtr qd(allocQuartetData(n, true, false));
        std::vector<float> expected(qd->table->wts.size(), 0.0f);
        GeneQuartetCounter work;
        std::vector<TreePtr> kept;
        for (int rep = 0; rep < 40; rep++) {
            // Every third tree lacks some taxa; half have polytomies; a third
            // hang under the ancestor (rooted), the rest under a tip.
            std::vector<bool> held(n, true);
            if (rep % 3 == 2)
                for (uint32_t t = 0; t < n; t++)
                    held[t] = rng() % 3 != 0;
            std::vector<uint32_t> taxa;
            for (uint32_t t = 0; t < n; t++)
                if (held[t])
                    taxa.push_back(t);
            if (taxa.size() < 2)
                continue;
            int rootTip = -1;
            if (rep % 3 != 0) {
                const size_t k = rng() % taxa.size();
                rootTip = static_cast<int>(taxa[k]);
                taxa.erase(taxa.begin() + static_cast<long>(k));
            }
            TreePtr tree(createTreeForTaxa(n, n, true));
            const std::string text = randomTextOver(rng, taxa, rep % 2 == 1);
            buildTestTree(tree.get(), text, rootTip);
            const std::vector<float> mine = displayedWeights(tree.get(), n, held);
            const std::vector<float> before = qd->table->wts;
            const uint64_t added = addOne(qd->table, tree.get(), work);
            EXPECT_EQ(static_cast<double>(added), sumOf(mine)) << text;
            for (size_t i = 0; i < mine.size(); i++) {
                expected[i] += mine[i];
                ASSERT_EQ(qd->table->wts[i] - before[i], mine[i]) << "n=" << n << " " << text << " root " << rootTip;
            }
            kept.push_back(std::move(tree));
        }
        EXPECT_EQ(qd->table->wts, expected);
        EXPECT_GT(sumOf(expected), 0.0);
        // All at once: trees holding every taxon are counted in batches,
        // the others one by one in between.
        std::vector<Tree *> all;
        for (const TreePtr &t : kept)
            all.push_back(t.get());
        QdPtr together(allocQuartetData(n, true, false));
        EXPECT_EQ(static_cast<double>(addGeneTreeQuartets(together->table, all, work)), sumOf(expected));
        EXPECT_EQ(together->table->wts, expected);
    }
}

TEST(AstralCountTest, RootingAndStarsChangeNothing)
{
    const uint32_t n = 9;
    std::mt19937 rng(7);
    GeneQuartetCounter work;
    for (int rep = 0; rep < 10; rep++) {
        std::vector<uint32_t> taxa(n);
        for (uint32_t t = 0; t < n; t++)
            taxa[t] = t;
        TreePtr rooted(createTreeForTaxa(n, n, true)), unrooted(createTreeForTaxa(n, n, true));
        buildTestTree(rooted.get(), randomTextOver(rng, taxa, rep % 2 == 1), -1);
        ASSERT_EQ(copyTree(rooted.get(), unrooted.get()), 0);
        ASSERT_EQ(derootTree(unrooted.get(), nullptr, false), 0);
        afterTreeChange(unrooted.get());
        QdPtr a(allocQuartetData(n, true, false)), b(allocQuartetData(n, true, false));
        addOne(a->table, rooted.get(), work);
        addOne(b->table, unrooted.get(), work);
        EXPECT_EQ(a->table->wts, b->table->wts);
        EXPECT_GT(sumOf(a->table->wts), 0.0);
    }
    // A star, under a tip or under the ancestor, resolves no quartet.
    for (int rootTip : {-1, 0}) {
        TreePtr star(createTreeForTaxa(n, n, true));
        buildTestTree(star.get(), rootTip < 0 ? "(0,1,2,3,4,5,6,7,8)" : "(1,2,3,4,5,6,7,8)", rootTip);
        QdPtr qd(allocQuartetData(n, true, false));
        EXPECT_EQ(addOne(qd->table, star.get(), work), 0u);
        EXPECT_FALSE(qwtHasWeight(qd->table));
    }
}

// The topologies of the n-taxon table a binary tree displays; equal for two
// binary trees exactly when they are the same unrooted tree.
std::vector<float> topologiesOf(Tree *tree, uint32_t n) { return displayedWeights(tree, n, std::vector<bool>(n, true)); }

TEST(AstralSpeciesTreeTest, OneBinaryGeneTreeGivesItself)
{
    const uint32_t n = 11;
    std::mt19937 rng(3);
    TreePtr gene(createTreeForTaxa(n, n, true));
    buildTestTree(gene.get(), randomTreeText(rng, n, -1, false), -1);
    QdPtr qd(allocQuartetData(n, true, false));
    GeneQuartetCounter work;
    addOne(qd->table, gene.get(), work);
    TreePtr species(createTreeForTaxa(n, n, true));
    ASSERT_EQ(qsearch_QFM(qd.get(), species.get(), nullptr, QfmOptions{}), 0);
    EXPECT_EQ(topologiesOf(species.get(), n), topologiesOf(gene.get(), n));
}

}  // namespace
