#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"
#include "pars_test_support.h"

namespace {

class OptimizeTest : public ParsDataTest {
protected:
    uint32_t state(const TreeNode *n, uint32_t c) const
    {
        const uint64_t bits = getStatesOrMPRset(data, n, c, false);
        EXPECT_EQ(std::popcount(bits), 1) << "node " << n->index << " char " << c;
        return static_cast<uint32_t>(std::countr_zero(bits));
    }
    // Fitch length of the whole tree, one character at a time.
    double fitchLength()
    {
        double len = 0;
        for (uint32_t c = 0; c < data->nchar; c++) {
            std::function<uint64_t(const TreeNode *)> down = [&](const TreeNode *n) -> uint64_t {
                if (!n->firstChild)
                    return getXijAsBits(data, n->index, c, nullptr);
                uint64_t s = down(n->firstChild);
                for (const TreeNode *k = n->firstChild->nextSib; k; k = k->nextSib) {
                    const uint64_t t = down(k);
                    s = (s & t) ? (s & t) : (len += 1, s | t);
                }
                return s;
            };
            const TreeNode *r = tree->root;
            if (r->index >= static_cast<int32_t>(data->ntax))
                down(r);
            else if (!(down(r->firstChild) & getXijAsBits(data, r->index, c, nullptr)))
                len += 1;
        }
        return len;
    }
    // Every branch length is the number of characters whose reconstructed
    // states differ across it.
    void expectConsistent()
    {
        double total = 0;
        for (TreeNode *n = tree->root->next; n; n = n->next) {
            uint32_t changes = 0;
            for (uint32_t c = 0; c < data->nchar; c++)
                changes += state(n, c) != state(n->anc, c);
            EXPECT_EQ(n->edge.brlen, changes) << "node " << n->index;
            total += n->edge.brlen;
        }
        EXPECT_EQ(total, fitchLength());
    }
};

TEST_F(OptimizeTest, AccTranAndDelTranPlaceAmbiguousChangesEarlyAndLate)
{
    // Character 0 is binary (packed ordered), character 1 has three states.
    makeData({"00", "11", "02", "11"});
    const char *shape = "((1,2),3)";
    // Nodes: X = ((1,2),3) at position 5, Y = (1,2) at 6.
    buildTree(shape);
    TreeNode *X = tree->nodes + 5, *Y = tree->nodes + 6, *t1 = tree->firstTip + 1, *t2 = tree->firstTip + 2,
             *t3 = tree->firstTip + 3;
    ASSERT_EQ(X->firstChild, Y);
    gPars.opt = static_cast<uint32_t>(ParsOpt::AccTran);
    zeroAllBranchLengths(tree.get());
    optimizeParsimony(data, tree.get(), true);
    EXPECT_EQ(state(X, 0), 1u);
    EXPECT_EQ(state(Y, 0), 1u);
    EXPECT_EQ(X->edge.brlen, 2.0);
    EXPECT_EQ(t2->edge.brlen, 2.0);
    EXPECT_EQ(t1->edge.brlen + t3->edge.brlen + Y->edge.brlen, 0.0);

    buildTree(shape);
    gPars.opt = static_cast<uint32_t>(ParsOpt::DelTran);
    zeroAllBranchLengths(tree.get());
    optimizeParsimony(data, tree.get(), true);
    EXPECT_EQ(state(X, 0), 0u);
    EXPECT_EQ(state(Y, 0), 0u);
    EXPECT_EQ(state(X, 1), 1u);
    EXPECT_EQ(X->edge.brlen, 1.0);
    EXPECT_EQ(t1->edge.brlen, 1.0);
    EXPECT_EQ(t2->edge.brlen, 1.0);
    EXPECT_EQ(t3->edge.brlen, 1.0);
    EXPECT_EQ(Y->edge.brlen, 0.0);
}

TEST_F(OptimizeTest, EveryMethodGivesAMostParsimoniousReconstruction)
{
    std::mt19937 rng(11);
    for (int rep = 0; rep < 12; rep++) {
        const uint32_t ntax = 5 + rep % 5;
        std::vector<std::string> rows(ntax, std::string(14, '0'));
        for (auto &r : rows)
            for (size_t c = 0; c < r.size(); c++)
                r[c] = static_cast<char>('0' + rng() % (c < 6 ? 2 : 3));
        makeData(rows);  // drops the previous repetition's data
        const std::string shape = randomTree(rng, ntax);
        for (uint32_t opt = 0; opt < 3; opt++) {
            SCOPED_TRACE("rep " + std::to_string(rep) + " opt " + std::to_string(opt) + " " + shape);
            buildTree(shape);
            // MinF resolves a root with two or more children.
            if (opt == 2)
                rerootTree(tree.get(), tree->root->firstChild, true);
            setTraversalSeq(tree.get());
            zeroAllBranchLengths(tree.get());
            gPars.opt = opt;
            optimizeParsimony(data, tree.get(), true);
            expectConsistent();
        }
    }
}

TEST_F(OptimizeTest, MidpointLiesHalfwayAlongTheLongestPath)
{
    makeData({"00", "11", "02", "11"});
    // Longest path: 1 to 3, 1 + 1 + 6 = 8; its middle is on 3's edge.
    buildTree("((1:1,2:1):1,3:6):1");
    EXPECT_EQ(findMidpointEdge(tree.get()), tree->firstTip + 3);
    // Longest path from the tip the tree is held at: 0 to 3 = 2 + 1 + 5.
    buildTree("((1:1,2:1):1,3:5):2");
    TreeNode *mid = findMidpointEdge(tree.get());
    ASSERT_NE(mid, nullptr);
    EXPECT_EQ(mid, tree->firstTip + 3);
    buildTree("((1:1,2:1):1,3:1):6");
    EXPECT_EQ(findMidpointEdge(tree.get())->index, tree->root->firstChild->index);
}

}  // namespace
