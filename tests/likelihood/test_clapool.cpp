// The conditional-likelihood pool over branch-length passes on random
// trees: never more than ntax + 2 buffers live, and every CLA still held
// equal to a plain pruning computation from scratch after every edge change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>

#include "likelihood/clapool.h"
#include "likelihood/treelike.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"

namespace {

class ClaPoolTest : public MLTreeFixture {
protected:
    void prepare(uint32_t ntax, uint32_t nchar, std::mt19937 &rng, bool polytomies)
    {
        makeDna(ntax, nchar, rng);
        tree.reset(createTreeForTaxa(ntax, ntax, false));
        buildTestTree(tree.get(), randomTreeText(rng, ntax, 0, polytomies), 0);
        setTraversalSeq(tree.get());
        randomLengths(rng);
        ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        g = activeModelGroup();
    }

    void randomLengths(std::mt19937 &rng)
    {
        std::uniform_real_distribution<double> len(0.005, 0.4);
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            tree->nodes[i].edge.brlen = len(rng);
    }

    // The state set of a tip-like node at a pattern, as indicators.
    void tipVector(const TreeNode *n, uint32_t p, double *v) const
    {
        const SitePatternData *pd = g->patterns;
        const uint32_t active = d->taxa.originalToActive ? d->taxa.originalToActive[n->index] : n->index;
        const uint64_t bits = pd->codeBits[pd->rows[active][g->groupToCompressed[p]]];
        for (uint32_t s = 0; s < 4; ++s)
            v[s] = (bits >> s) & 1 ? 1.0 : 0.0;
    }

    // Plain pruning: every node's up and down arrays, in CLA layout.
    void reference(std::vector<std::vector<double>> &up, std::vector<std::vector<double>> &dn)
    {
        const CLMappings &map = g->engine->map;
        const uint32_t nodes = tree->maxNodes;
        up.assign(nodes, {});
        dn.assign(nodes, {});
        const Model *m = map.clCategModel[0];
        auto pmat = [&](const TreeNode *edge, uint32_t categ, double P[4][4]) {
            RowMatrix<double> mat;
            mat.resize(4, 4);
            const double t = edge->edge.brlen * getRateForClaCateg(g, categ) * m->relRate;
            modelEngine(m)->fxns.chgMatrix(m, t, mat.data());
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < 4; ++j)
                    P[i][j] = mat.rows[i][j];
        };
        // The contribution of node c's side through edge e at the item.
        auto through = [&](const TreeNode *edge, const double *below, uint32_t categ, double *out) {
            double P[4][4];
            pmat(edge, categ, P);
            for (int i = 0; i < 4; ++i) {
                out[i] = 0.0;
                for (int j = 0; j < 4; ++j)
                    out[i] += P[i][j] * below[j];
            }
        };
        auto below = [&](TreeNode *c, uint32_t item, double *v) {
            if (isTipInput(c))
                tipVector(c, map.itemPattern[item], v);
            else
                std::copy_n(up[nodePosition(tree.get(), c)].data() + map.itemOffset[item], 4, v);
        };
        std::function<void(TreeNode *)> upPass = [&](TreeNode *x) {
            for (TreeNode *c = x->firstChild; c; c = c->nextSib)
                upPass(c);
            if (!isInternalNode(x))
                return;
            auto &u = up[nodePosition(tree.get(), x)];
            u.assign(map.nvalues, 1.0);
            for (uint32_t item = 0; item < map.nitems; ++item)
                for (TreeNode *c = x->firstChild; c; c = c->nextSib) {
                    double v[4], w[4];
                    below(c, item, v);
                    through(c, v, map.itemClCateg[item], w);
                    for (int i = 0; i < 4; ++i)
                        u[map.itemOffset[item] + i] *= w[i];
                }
        };
        std::function<void(TreeNode *)> dnPass = [&](TreeNode *x) {
            for (TreeNode *c = x->firstChild; c; c = c->nextSib) {
                if (hasDownSide(c)) {
                    auto &dv = dn[nodePosition(tree.get(), c)];
                    dv.assign(map.nvalues, 1.0);
                    for (uint32_t item = 0; item < map.nitems; ++item) {
                        double v[4], w[4];
                        for (TreeNode *s = x->firstChild; s; s = s->nextSib)
                            if (s != c) {
                                below(s, item, v);
                                through(s, v, map.itemClCateg[item], w);
                                for (int i = 0; i < 4; ++i)
                                    dv[map.itemOffset[item] + i] *= w[i];
                            }
                        if (hasDownSide(x))
                            std::copy_n(dn[nodePosition(tree.get(), x)].data() + map.itemOffset[item], 4, v);
                        else
                            tipVector(x->anc, map.itemPattern[item], v);
                        through(x, v, map.itemClCateg[item], w);
                        for (int i = 0; i < 4; ++i)
                            dv[map.itemOffset[item] + i] *= w[i];
                    }
                }
                dnPass(c);
            }
        };
        upPass(tree->root);
        dnPass(tree->root);
    }

    // A stored value times exp of its pattern's rescaler: the true CL.
    template <typename T>
    double trueValue(const T *cla, uint64_t k) const
    {
        const auto *r = static_cast<const T *>(getRescalers(const_cast<T *>(cla), g));
        if (r == nullptr)
            return cla[k];
        const CLMappings &map = g->engine->map;
        const auto item = std::upper_bound(map.itemOffset.begin(), map.itemOffset.end(), k) - map.itemOffset.begin() - 1;
        return cla[k] * std::exp(static_cast<double>(r[map.itemPattern[static_cast<size_t>(item)]]));
    }

    template <typename T>
    void expectHeldEqualReference(const char *when)
    {
        std::vector<std::vector<double>> up, dn;
        reference(up, dn);
        const uint64_t nv = g->engine->map.nvalues;
        const double tol = sizeof(T) == 4 ? 1e-4 : 1e-10;
        for (uint32_t i = 0; i < tree->maxNodes; ++i) {
            TreeNode *n = tree->nodes + i;
            for (int dir : {kClUp, kClDown}) {
                const T *cla = static_cast<const T *>(dir == kClUp ? upCLA(n) : dnCLA(n));
                if (cla == nullptr)
                    continue;
                const auto &ref = dir == kClUp ? up[i] : dn[i];
                ASSERT_EQ(ref.size(), nv) << when << ": node " << i << " holds a CLA it cannot have";
                for (uint64_t k = 0; k < nv; ++k)
                    ASSERT_NEAR(trueValue(cla, k), ref[k], tol * std::fabs(ref[k]) + 1e-300)
                        << when << ": node " << i << (dir ? " down" : " up") << " value " << k;
            }
        }
    }

    int32_t held() const { return g->engine->pool->count - numFreeCLAs(g); }

    // One branch-length pass in preorder: make the edge's CLAs valid, change
    // its length, release what the change invalidates; every CLA held is
    // checked before and after every checkEvery-th change (0: never).
    template <typename T>
    int32_t pass(std::mt19937 &rng, uint32_t checkEvery)
    {
        std::uniform_real_distribution<double> len(0.005, 0.4);
        int32_t most = 0;
        uint32_t edges = 0;
        for (TreeNode *x = tree->root->firstChild; x != nullptr; x = nextPreorderNode(x, tree->root)) {
            EXPECT_EQ(updateCLforEdge(x, g), 0);
            EXPECT_TRUE(!isInternalNode(x) || upCLA(x) != nullptr);
            EXPECT_TRUE(!hasDownSide(x) || dnCLA(x) != nullptr);
            most = std::max(most, held());
            const bool check = checkEvery != 0 && ++edges % checkEvery == 0;
            if (check)
                expectHeldEqualReference<T>("before the change");
            x->edge.brlen = len(rng);
            releasePreorderCLAs(g, x, true);
            if (check)
                expectHeldEqualReference<T>("after the change");
        }
        return most;
    }
};

TEST_F(ClaPoolTest, BinaryPassesStayWithinTheBoundAndConsistent)
{
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 3; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        if (trial > 0)
            TearDown(), SetUp();
        ml.rates = trial == 1 ? 1 : 0;  // gamma with two categories in the second trial
        ml.ncat = 2;
        prepare(200, 24, rng, false);
        ASSERT_EQ(g->engine->pool->count, 202);
        EXPECT_EQ(g->engine->bytesPerValue, 8u);
        for (int p = 0; p < 2; ++p) {
            const int32_t most = pass<double>(rng, p == 0 ? 23 : 0);
            EXPECT_LE(most, 202);
            expectHeldEqualReference<double>("end of pass");
        }
        releaseAllCLAs(tree.get(), g);
        EXPECT_EQ(numFreeCLAs(g), 202);
    }
}

// The pass that keeps up-CLAs reaches, edge by edge, the lengths of the pass
// that releases them (the same Newton steps from the same CLAs), leaves
// only valid CLAs held, and starts its second pass from them.
TEST_F(ClaPoolTest, SubtreePassEqualsTheReleasingPassAndLeavesValidCLAs)
{
    std::mt19937 rng(31);
    for (bool polytomies : {false, true}) {
        SCOPED_TRACE(polytomies ? "polytomies" : "binary");
        if (polytomies)
            TearDown(), SetUp();
        prepare(60, 24, rng, polytomies);
        setMLVisitSequence(tree.get());
        const auto &visit = mlVisitSequence();
        std::vector<double> start(tree->maxNodes), released(tree->maxNodes);
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            start[i] = tree->nodes[i].edge.brlen;
        double releasedScore[2] = {0, 0};
        for (double &score : releasedScore)
            for (size_t k = 0; k < visit.size(); ++k) {
                ASSERT_EQ(updateCLforEdge(visit[k], g), 0);
                score = optimizeOneEdge(visit[k], g, k + 1 == visit.size(), nullptr, 100.0);
                releasePreorderCLAs(g, visit[k], true);
            }
        releaseAllCLAs(tree.get(), g);
        for (uint32_t i = 0; i < tree->maxNodes; ++i) {
            released[i] = tree->nodes[i].edge.brlen;
            tree->nodes[i].edge.brlen = start[i];
        }
        for (int p = 0; p < 2; ++p) {
            const double score = do1BranchLenPass(tree.get(), nullptr, g, nullptr, 100.0);
            EXPECT_DOUBLE_EQ(score, releasedScore[p]) << "pass " << p;
            EXPECT_GT(held(), 0);
            EXPECT_LE(g->engine->pool->count, 2 * 62);
            expectHeldEqualReference<double>("after a subtree pass");
        }
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            EXPECT_DOUBLE_EQ(tree->nodes[i].edge.brlen, released[i]) << "node " << i;
        releaseAllCLAs(tree.get(), g);
        EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
    }
}

TEST_F(ClaPoolTest, PolytomiesAndSinglePrecisionStayConsistent)
{
    std::mt19937 rng(77);
    ml.precision = 1;
    ml.vector = 0;
    prepare(20, 30, rng, true);
    EXPECT_EQ(g->engine->bytesPerValue, 4u);
    const std::size_t spBytes = g->engine->pool->bufferBytes;
    EXPECT_EQ(spBytes % 64, 0u);
    pass<float>(rng, 1);
    releaseAllCLAs(tree.get(), g);
    // The same layout in double precision takes twice the bytes per value.
    ml.precision = 0;
    resetCLAs(g, tree.get(), true);
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
    EXPECT_EQ(g->engine->map.length * 8, g->engine->map.length * 4 * 2);
    EXPECT_GE(g->engine->pool->bufferBytes, 2 * spBytes - 64);
    pass<double>(rng, 1);
}

// Pools below and above the huge-page size, the edges of both included:
// zeroed to the last byte asked for, and aligned as the vector kernels read.
TEST(ClaMemoryTest, BlocksOfAnySizeAreZeroedAndAligned)
{
    constexpr std::size_t kMB = std::size_t{1} << 20;
    for (const std::size_t bytes : {std::size_t{64}, std::size_t{4096 + 8}, 2 * kMB - 64, 2 * kMB, 5 * kMB + 24}) {
        SCOPED_TRACE(bytes);
        ClaMemory m = allocClaMemory(bytes);
        const auto at = reinterpret_cast<std::uintptr_t>(m.get());
        EXPECT_EQ(at % (bytes >= 2 * kMB ? 2 * kMB : 64), 0u);
        EXPECT_TRUE(std::all_of(m.get(), m.get() + bytes, [](unsigned char c) { return c == 0; }));
        m[bytes - 1] = 1;
    }
}

TEST_F(ClaPoolTest, RescalersOnlyWhenRescalingAndEmptyPoolIsRefused)
{
    std::mt19937 rng(5);
    ml.clRescale = 0.0;
    prepare(6, 10, rng, false);
    void *slot = nullptr;
    ASSERT_TRUE(getCLAfromPool(slot, g));
    EXPECT_EQ(getRescalers(slot, g), nullptr);
    EXPECT_EQ(g->engine->map.length, g->engine->map.nvalues);
    EXPECT_EQ(whichCLA(slot, g), g->engine->pool->count - 1);
    EXPECT_EQ(whichCLA(&rng, g), -9999);
    returnCLAtoPool(slot, g);
    EXPECT_EQ(slot, nullptr);
    std::vector<void *> all(static_cast<size_t>(g->engine->pool->count), nullptr);
    for (void *&s : all)
        ASSERT_TRUE(getCLAfromPool(s, g));
    void *extra = nullptr;
    EXPECT_DEBUG_DEATH(EXPECT_FALSE(getCLAfromPool(extra, g)), "pool exhausted");
    EXPECT_EQ(extra, nullptr);
    for (void *&s : all)
        returnCLAtoPool(s, g);
    EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);

    ml.clRescale = 1e-20;
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
    ASSERT_TRUE(getCLAfromPool(slot, g));
    EXPECT_EQ(getRescalers(slot, g),
              static_cast<unsigned char *>(slot) + g->engine->map.nvalues * g->engine->bytesPerValue);
    EXPECT_EQ(g->engine->map.length, g->engine->map.nvalues + g->ngrp);
    returnCLAtoPool(slot, g);
}

}  // namespace
