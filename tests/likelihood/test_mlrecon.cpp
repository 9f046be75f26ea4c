// Ancestral states against a brute force over every assignment of states to
// the internal nodes of a 5-taxon tree under JC: the joint reconstruction is
// the most probable assignment, the marginal probabilities are the sums of
// the assignments' probabilities, and a tip answers its observed state.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "likelihood/mlrecon.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"

namespace {

double jcP(int i, int j, double t)
{
    const double e = std::exp(-4.0 * t / 3.0);
    return i == j ? 0.25 + 0.75 * e : 0.25 - 0.25 * e;
}

class MLReconTest : public MLFixture {
protected:
    void TearDown() override
    {
        ml.recon = 0;
        MLFixture::TearDown();
    }
};

TEST_F(MLReconTest, JointAndMarginalEqualTheBruteForce)
{
    std::mt19937 rng(3);
    const uint32_t nchar = 60;
    makeData(5, nchar, true, "ACGT");
    d->dataType = kDataTypeDNA;
    std::vector<std::vector<int>> x(5, std::vector<int>(nchar));
    for (uint32_t c = 0; c < nchar; ++c) {
        // Related columns: a random base, changed at random in a few taxa.
        const int base = static_cast<int>(rng() % 4);
        for (uint32_t t = 0; t < 5; ++t) {
            x[t][c] = rng() % 3 == 0 ? static_cast<int>(rng() % 4) : base;
            ASSERT_EQ(setXijRaw(d, t, c, static_cast<uint8_t>(x[t][c])), 0);
        }
    }
    jukesCantor();
    applySettings();
    TreePtr tree(createTreeForTaxa(5, 5, false));
    // Hung from taxon 0: X(1, Y(2, Z(3, 4))).
    buildTestTree(tree.get(), "(1:0.1,(2:0.2,(3:0.05,4:0.3):0.15):0.25):0.12", 0);
    setTraversalSeq(tree.get());
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
    ModelGroup *g = activeModelGroup();
    const TreeNode *X = tree->root->firstChild;
    const TreeNode *Y = X->firstChild->nextSib;
    const TreeNode *Z = Y->firstChild->nextSib;
    const double tX = X->edge.brlen, tY = Y->edge.brlen, tZ = Z->edge.brlen;
    const double t[5] = {0, 0.1, 0.2, 0.05, 0.3};

    for (int method : {1, 0}) {
        ml.recon = method;
        ASSERT_EQ(findReconstruction(tree.get(), g, d), 0);
        for (uint32_t c = 0; c < nchar; ++c) {
            double best = -1, total = 0;
            int argmax[3] = {0, 0, 0};
            double marginal[3][4] = {};
            for (int a = 0; a < 4; ++a)
                for (int b = 0; b < 4; ++b)
                    for (int z = 0; z < 4; ++z) {
                        const double p = 0.25 * jcP(a, x[0][c], tX) * jcP(a, x[1][c], t[1]) * jcP(a, b, tY) *
                                         jcP(b, x[2][c], t[2]) * jcP(b, z, tZ) * jcP(z, x[3][c], t[3]) *
                                         jcP(z, x[4][c], t[4]);
                        total += p;
                        marginal[0][a] += p;
                        marginal[1][b] += p;
                        marginal[2][z] += p;
                        if (p > best) {
                            best = p;
                            argmax[0] = a;
                            argmax[1] = b;
                            argmax[2] = z;
                        }
                    }
            const TreeNode *nodes[3] = {X, Y, Z};
            for (int k = 0; k < 3; ++k) {
                int expected = argmax[k];
                if (method == 0)
                    for (int s = 0; s < 4; ++s)
                        if (marginal[k][s] > marginal[k][expected])
                            expected = s;
                EXPECT_EQ(getAncStateFromMLRecon(d, nodes[k], c), int64_t{1} << expected)
                    << (method ? "joint" : "marginal") << ", site " << c + 1 << ", node " << k;
            }
        }
    }
    // A tip answers its observed state.
    EXPECT_EQ(getAncStateFromMLRecon(d, tree->firstTip + 3, 7), int64_t{1} << x[3][7]);
}

}  // namespace
