// Tree-to-tree distances: the all-pairs symmetric difference block by block
// against the same computed as one block and against robinsonFouldsDist
// pair by pair, and the branch-score distance against DendroPy's
// euclidean_distance squared (values computed by DendroPy 4 on these trees).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "trees/tree_settings.h"
#include "trees/treedist.h"
#include "trees_fixture.h"

namespace {

using treetest::randomNewick;

class TreeDistTest : public treetest::TreesFixture {};

TEST_F(TreeDistTest, BlocksGiveTheDistancesOfOneBlockAndOfEachPair)
{
    std::mt19937 rng(40);
    for (const char *rooting : {"[&U]", "[&R]"}) {
        makeTaxa(9);
        std::string body;
        for (uint32_t k = 0; k < 40; k++)
            body += std::string("tree r = ") + rooting + " " + randomNewick(rng, 9) + "\n";
        ASSERT_EQ(readBlock(body, 0), 0);
        TreeBuffer *buf = getMainTreeBuffer(nullptr);
        std::vector<uint32_t> trees;
        for (uint32_t k = 1; k <= 40; k += (k % 3 == 0 ? 2 : 1))  // a list with gaps
            trees.push_back(k);
        std::vector<uint32_t> whole, blocks;
        ASSERT_EQ(symDiffAllPairs(buf, trees, kTreeDistBlock, whole, nullptr, nullptr), 0);
        ASSERT_EQ(symDiffAllPairs(buf, trees, 4, blocks, nullptr, nullptr), 0);
        EXPECT_EQ(blocks, whole);
        TreeHandle a(createTree(true)), b(createTree(true));
        uint32_t nonzero = 0;
        for (size_t i = 1; i < trees.size(); i++) {
            ASSERT_EQ(getTree(buf, trees[i], a.get()), 0);
            SplitsTable *ref = makeReferenceSplits(a.get());
            for (size_t j = 0; j < i; j++) {
                ASSERT_EQ(getTree(buf, trees[j], b.get()), 0);
                const uint32_t d = robinsonFouldsDist(ref, b.get(), nullptr, nullptr);
                ASSERT_EQ(whole[i * (i - 1) / 2 + j], d) << rooting << " " << i << " " << j;
                nonzero += d != 0;
            }
            destroySplitsTable(ref);
        }
        EXPECT_GT(nonzero, 100u);
    }
}

// 2,049 trees take two blocks of the command's size.
TEST_F(TreeDistTest, MoreTreesThanOneBlockEqualOneLargeBlock)
{
    std::mt19937 rng(2049);
    makeTaxa(7);
    setMaxtreesValue(kTreeDistBlock + 100);
    std::string body;
    for (uint32_t k = 0; k < kTreeDistBlock + 1; k++)
        body += "tree r = [&U] " + randomNewick(rng, 7) + "\n";
    ASSERT_EQ(readBlock(body, 0), 0);
    std::vector<uint32_t> trees(kTreeDistBlock + 1);
    for (uint32_t k = 0; k < trees.size(); k++)
        trees[k] = k + 1;
    std::vector<uint32_t> blocks, whole;
    ASSERT_EQ(symDiffAllPairs(getMainTreeBuffer(nullptr), trees, kTreeDistBlock, blocks, nullptr, nullptr), 0);
    ASSERT_EQ(symDiffAllPairs(getMainTreeBuffer(nullptr), trees, 2 * kTreeDistBlock, whole, nullptr, nullptr), 0);
    EXPECT_EQ(blocks, whole);
}

struct KFCase {
    uint32_t ntax;
    bool rooted;
    const char *a;
    const char *b;
    double dendropy;
};

const KFCase kKFCases[] = {
    {5, false, "(t3:0.925,t4:0.471,(t1:0.458,t2:0.564,t5:0.513):0.618);",
     "(t3:0.150,t5:0.891,(t2:0.452,t4:0.543,t1:0.194):0.025);", 1.213482000000},
    {8, false, "(t7:0.446,((t2:0.069,t8:0.844,t1:0.533):0.296,(t6:0.469,t4:0.250):0.658):0.393,(t3:0.198,t5:0.040):0.218);",
     "(t7:0.781,t1:0.911,((t5:0.082,((t3:0.981,t2:0.475):0.710,t8:0.277):0.514):0.401,(t6:0.633,t4:0.403):0.219):0.989);", 3.796120000000},
    {20, false, "((t2:0.266,(((t1:0.221,t13:0.960):0.451,t3:0.775):0.480,t10:0.605):0.935):0.032,t14:0.489,((t6:0.083,((t15:0.579,t16:0.868,t5:0.303):0.178,t11:0.378):0.502):0.477,((t18:0.163,t4:0.336):0.638,((t7:0.099,t8:0.587):0.427,t17:0.191,(t20:0.820,t19:0.909,t9:0.251):0.054):0.024,t12:0.459):0.322):0.285);",
     "(t9:0.198,t15:0.124,((t20:0.087,t7:0.645):0.416,t16:0.118,((t11:0.274,(t14:0.984,t3:0.288,(t4:0.361,t18:0.644):0.226):0.803,t17:0.540):0.535,((t8:0.411,t10:0.772):0.138,t12:0.781):0.624,((t2:0.681,t6:0.568,t1:0.611):0.529,((t5:0.653,t13:0.799):0.250,t19:0.375):0.445):0.478):0.212):0.616);", 8.676713000000},
    {70, false, "((t61:0.742,t13:0.247):0.502,(((t59:0.189,t67:0.894):0.494,t35:0.115):0.533,(((t32:0.689,t51:0.334,(((t9:0.226,t39:0.573):0.127,t8:0.924,(t69:0.708,t48:0.952):0.026):0.399,((t40:0.155,t54:0.436):0.092,t7:0.322,t46:0.104):0.499):0.887):0.607,t16:0.106):0.422,t58:0.846):0.099,(t41:0.193,((((t63:0.203,t53:0.520):0.292,t62:0.411):0.622,t34:0.080):0.790,(((t24:0.209,t15:0.267):0.589,(t70:0.862,t19:0.792):0.728):0.358,(t28:0.124,t43:0.842,((t17:0.834,t33:0.197):0.350,t42:0.212,t18:0.427):0.697):0.317):0.254,t27:0.969):0.629):0.759):0.730,((((((t10:0.998,t1:0.858):0.809,t2:0.240):0.817,((t21:0.409,(t11:0.889,t47:0.071,t14:0.729):0.752):0.604,t3:0.743):0.160):0.956,t6:0.323,(t29:0.511,(t65:0.517,t25:0.686,t52:0.472):0.572):0.324):0.019,(t50:0.767,((t45:0.928,(t44:0.990,t60:0.459):0.191):0.319,(t57:0.704,t56:0.023):0.522):0.155):0.376):0.642,(((t66:0.025,(t37:0.556,(t5:0.904,(t22:0.688,(((t38:0.520,t55:0.605,t12:0.143):0.703,t30:0.761):0.905,t36:0.047):0.645):0.477):0.882):0.934):0.470,(t26:0.912,t49:0.467,(t4:0.812,t68:0.804):0.881):0.970):0.742,(t31:0.508,(t23:0.028,t20:0.135,t64:0.173):0.243):0.597):0.192):0.127);",
     "(((t21:0.114,t63:0.572):0.729,((((t4:0.923,(t49:0.438,t30:0.525,t42:0.733):0.690,t51:0.564):0.673,((t52:0.976,t37:0.981):0.330,t33:0.844):0.069):0.909,((t27:0.172,t10:0.875,t23:0.175):0.166,(t15:0.678,t59:0.313,(t66:0.160,t5:0.219):0.577):0.607):0.906):0.555,(t69:0.808,(t53:0.911,(t55:0.492,t16:0.929,t54:0.461):0.263):0.234):0.149):0.114):0.457,t1:0.317,(((t3:0.565,(t9:0.132,(t36:0.486,t11:0.478,t38:0.335):0.527,(t17:0.499,(t32:0.579,(t35:0.588,t40:0.241):0.198):0.846,(t61:0.045,(t43:0.579,t19:0.394,t47:0.384):0.580):0.848):0.099):0.128,(t24:0.590,(t45:0.074,(t25:0.210,t8:0.841,t67:0.951):0.836,t70:0.107):0.510):0.680):0.688,((((t34:0.365,(t13:0.438,t12:0.041):0.150,t2:0.954):0.280,t57:0.756):0.868,t68:0.767):0.408,((((t58:0.111,t31:0.395):0.219,t22:0.745):0.292,((t41:0.269,t7:0.541,(t26:0.353,t28:0.356,t20:0.781):0.511):0.878,t29:0.595):0.186,t62:0.701):0.258,(t64:0.556,t6:0.421,(t39:0.700,((t56:0.239,t50:0.621):0.798,t60:0.849):0.413):0.401):0.021):0.706):0.375):0.197,(t44:0.264,(t18:0.693,(t48:0.719,t46:0.827,t14:0.384):0.061):0.594,t65:0.340):0.370):0.796);", 42.897082000000},
    {6, true, "(t5:0.960,((t1:0.269,(t4:0.605,t6:0.939):0.097):0.303,(t3:0.921,t2:0.812):0.310):0.943);",
     "((t4:0.253,t2:0.821):0.278,((t1:0.599,t5:0.734):0.027,(t6:0.347,t3:0.081):0.102):0.304);", 2.607425000000},
    {12, true, "(((t8:0.449,t11:0.110,t9:0.530):0.308,t2:0.124):0.382,(((t4:0.486,t6:0.880,t1:0.305):0.931,t5:0.029):0.256,t7:0.367,((t3:0.039,t10:0.034):0.232,t12:0.787):0.133):0.676);",
     "(((t12:0.252,t11:0.236,t8:0.932):0.952,t6:0.600,t7:0.941):0.643,(((t2:0.340,t4:0.478):0.967,t5:0.441,(t3:0.416,t9:0.908):0.399):0.207,(t10:0.831,t1:0.119):0.926):0.068);", 7.135114000000},
};

TEST_F(TreeDistTest, BranchScoreEqualsDendroPyEuclideanDistanceSquared)
{
    for (const KFCase &c : kKFCases) {
        makeTaxa(c.ntax);
        const char *rooting = c.rooted ? "[&R]" : "[&U]";
        ASSERT_EQ(readBlock(std::string("tree a = ") + rooting + " " + c.a + "\ntree b = " + rooting + " " + c.b,
                            kReadStoreBrlens),
                  0);
        TreeHandle a(createTree(true)), b(createTree(true));
        treeInfo.userBrlens = 1;
        ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 1, a.get()), 0);
        ASSERT_EQ(getTree(getMainTreeBuffer(nullptr), 2, b.get()), 0);
        double ab = -1.0, ba = -1.0, aa = -1.0;
        ASSERT_EQ(calcKFBranchScore(a.get(), b.get(), &ab), 0);
        ASSERT_EQ(calcKFBranchScore(b.get(), a.get(), &ba), 0);
        ASSERT_EQ(calcKFBranchScore(a.get(), a.get(), &aa), 0);
        EXPECT_NEAR(ab, c.dendropy, 1e-9) << c.ntax << " " << c.a;
        EXPECT_NEAR(ba, c.dendropy, 1e-9);
        EXPECT_EQ(aa, 0.0);
    }
}

}  // namespace
