// Ancestral states against a brute force over every assignment of states to
// the internal nodes of a 5-taxon tree under JC: the joint reconstruction is
// the most probable assignment, the marginal probabilities are the sums of
// the assignments' probabilities, and a tip answers its observed state.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "likelihood/mlrecon.h"
#include "likelihood/sitelikes.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"

namespace {

double jcP(int i, int j, double t)
{
    const double e = std::exp(-4.0 * t / 3.0);
    return i == j ? 0.25 + 0.75 * e : 0.25 - 0.25 * e;
}

// Random related columns: a base, changed at random in a few taxa.
std::vector<std::vector<int>> relatedColumns(DataInfo *d, uint32_t ntax, uint32_t nchar, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::vector<int>> x(ntax, std::vector<int>(nchar));
    for (uint32_t c = 0; c < nchar; ++c) {
        const int base = static_cast<int>(rng() % 4);
        for (uint32_t t = 0; t < ntax; ++t) {
            x[t][c] = rng() % 3 == 0 ? static_cast<int>(rng() % 4) : base;
            EXPECT_EQ(setXijRaw(d, t, c, static_cast<uint8_t>(x[t][c])), 0);
        }
    }
    return x;
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
    const uint32_t nchar = 60;
    makeData(5, nchar, true, "ACGT");
    d->dataType = kDataTypeDNA;
    const auto x = relatedColumns(d, 5, nchar, 3);
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

// A tree rooted for drawing has a root of two children on taxon 0's edge,
// which is no node of the unrooted tree the model scores: the joint states
// of the three forks are the most probable assignment over that whole edge,
// under gamma rates as without them, and the drawn root takes the state
// most probable between taxon 0 and its other child.
TEST_F(MLReconTest, JointAcrossADrawnRootUnderGammaRates)
{
    const uint32_t nchar = 80;
    makeData(5, nchar, true, "ACGT");
    d->dataType = kDataTypeDNA;
    const auto x = relatedColumns(d, 5, nchar, 11);
    // Mean rates of four equally probable gamma categories (scipy).
    const std::vector<std::pair<double, std::vector<double>>> cases = {
        {0.2, {0.000531198885, 0.03377548156, 0.3836579999, 3.58203532}},
        {0.5, {0.03338775338, 0.2519159176, 0.820268482, 2.894427847}},
        {0.0, {1.0}}};
    for (const auto &[shape, rates] : cases) {
        jukesCantor();
        ml.rates = shape > 0.0 ? 1 : 0;
        ml.userGammaShape = shape;
        ml.recon = 1;
        applySettings();
        TreePtr tree(createTreeForTaxa(5, 5, false));
        // R(0, X(1, Y(2, Z(3, 4)))), R on the edge 0-X at 0.08 + 0.02.
        buildTestTree(tree.get(), "(0:0.08,(1:0.12,(2:0.2,(3:0.05,4:0.3):0.15):0.25):0.02)", -1);
        TreeNode *R = tree->root->firstChild;
        R->anc = nullptr;
        tree->root = R;
        tree->flags &= ~uint32_t{kTreeRootedAtAnc};
        setTraversalSeq(tree.get());
        ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        ModelGroup *g = activeModelGroup();
        std::vector<double> programRates, probs;
        siteCategoryRates(g->engine->map.siteCats.at(0), programRates, probs);
        ASSERT_EQ(programRates.size(), rates.size());
        for (size_t q = 0; q < rates.size(); ++q)
            ASSERT_NEAR(programRates[q], rates[q], 1e-6) << "shape " << shape;
        ASSERT_EQ(findReconstruction(tree.get(), g, d), 0);
        const TreeNode *X = R->firstChild->nextSib, *Y = X->firstChild->nextSib, *Z = Y->firstChild->nextSib;
        const double t[5] = {0.1, 0.12, 0.2, 0.05, 0.3}, tY = 0.25, tZ = 0.15;
        const double w = 1.0 / static_cast<double>(rates.size());
        for (uint32_t c = 0; c < nchar; ++c) {
            // Per category, the products over the edges below Z, below Y
            // (with Z's state) and over the whole tree (with X's, Y's, Z's).
            auto belowZ = [&](double r, int z) { return jcP(z, x[3][c], t[3] * r) * jcP(z, x[4][c], t[4] * r); };
            auto belowY = [&](double r, int y, int z) {
                return jcP(y, x[2][c], t[2] * r) * jcP(y, z, tZ * r) * belowZ(r, z);
            };
            auto whole = [&](double r, int a, int y, int z) {
                return jcP(a, x[0][c], t[0] * r) * jcP(a, x[1][c], t[1] * r) * jcP(a, y, tY * r) * belowY(r, y, z);
            };
            // The best state: per category the best assignment below a
            // node (the whole tree for X), the categories summed at the
            // choice, each node given its parent's chosen state. With one
            // category this is the most probable assignment.
            auto choose = [&](auto value) {
                int best = 0;
                for (int s = 1; s < 4; ++s)
                    if (value(s) > value(best))
                        best = s;
                return best;
            };
            int argmax[3];
            argmax[0] = choose([&](int a) {
                double v = 0.0;
                for (double r : rates) {
                    double m = 0.0;
                    for (int y = 0; y < 4; ++y)
                        for (int z = 0; z < 4; ++z)
                            m = std::max(m, whole(r, a, y, z));
                    v += w * m;
                }
                return v;
            });
            argmax[1] = choose([&](int y) {
                double v = 0.0;
                for (double r : rates) {
                    double m = 0.0;
                    for (int z = 0; z < 4; ++z)
                        m = std::max(m, jcP(argmax[0], y, tY * r) * belowY(r, y, z));
                    v += w * m;
                }
                return v;
            });
            argmax[2] = choose([&](int z) {
                double v = 0.0;
                for (double r : rates)
                    v += w * jcP(argmax[1], z, tZ * r) * belowZ(r, z);
                return v;
            });
            const TreeNode *nodes[3] = {X, Y, Z};
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(getAncStateFromMLRecon(d, nodes[k], c), int64_t{1} << argmax[k])
                    << "shape " << shape << ", site " << c + 1 << ", node " << k;
            int root = 0;
            double rootBest = -1.0;
            for (int s = 0; s < 4; ++s) {
                double p = 0.0;
                for (double r : rates)
                    p += w * jcP(s, x[0][c], 0.08 * r) * jcP(s, argmax[0], 0.02 * r);
                if (p > rootBest) {
                    rootBest = p;
                    root = s;
                }
            }
            EXPECT_EQ(getAncStateFromMLRecon(d, R, c), int64_t{1} << root) << "shape " << shape << ", site " << c + 1;
        }
    }
}

}  // namespace
