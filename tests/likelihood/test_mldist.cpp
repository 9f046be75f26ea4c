// Maximum-likelihood distances at the edges: identical sequences, a pair
// without comparable sites, saturation capped for least-squares starts, and
// a plain pair against the Jukes-Cantor closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "likelihood/mldist.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"

namespace {

class MLDistTest : public MLFixture {
protected:
    std::vector<std::vector<double>> store;
    std::vector<double *> rows;

    double **matrix(uint32_t n)
    {
        store.assign(n, std::vector<double>(n, 0.0));
        rows.clear();
        for (auto &r : store)
            rows.push_back(r.data());
        return rows.data();
    }
};

TEST_F(MLDistTest, IdenticalUncomparableSaturatedAndPlainPairs)
{
    // Taxa 0 and 1 identical; 2 and 3 share no site with data (2 has the
    // first half, 3 the second); 4 is unrelated to 0.
    const uint32_t nchar = 400;
    std::mt19937 rng(11);
    makeData(5, nchar, true, "ACGT");
    d->dataType = kDataTypeDNA;
    const uint8_t missing = stateBitsToCode(0b1111, d);
    std::vector<uint8_t> base(nchar), other(nchar);
    for (uint32_t c = 0; c < nchar; ++c) {
        base[c] = static_cast<uint8_t>(rng() % 4);
        other[c] = static_cast<uint8_t>(rng() % 4);
    }
    for (uint32_t c = 0; c < nchar; ++c) {
        ASSERT_EQ(setXijRaw(d, 0, c, base[c]), 0);
        ASSERT_EQ(setXijRaw(d, 1, c, base[c]), 0);
        ASSERT_EQ(setXijRaw(d, 2, c, c < nchar / 2 ? base[c] : missing), 0);
        ASSERT_EQ(setXijRaw(d, 3, c, c < nchar / 2 ? missing : (c % 10 ? base[c] : other[c])), 0);
        ASSERT_EQ(setXijRaw(d, 4, c, other[c]), 0);
    }
    jukesCantor();
    applySettings();
    TreePtr tree(createTreeForTaxa(5, 5, false));
    buildTestTree(tree.get(), "(1,2,(3,4))", 0);
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);

    for (bool lsStart : {false, true}) {
        double **D = matrix(5);
        MLDistanceResult r;
        ASSERT_EQ(calcMLDistances(d, D, nullptr, lsStart, {}, r), 0);
        EXPECT_EQ(D[1][0], 0.0) << "identical sequences";
        EXPECT_EQ(D[3][2], -1.0) << "no comparable sites";
        EXPECT_EQ(r.undefined, 1u);
        EXPECT_GE(r.zero, 1u);
        // Half the sites of 3 differ from 0 at random: p = 0.1 * 3/4 there.
        double p = 0;
        for (uint32_t c = nchar / 2; c < nchar; ++c)
            p += c % 10 ? 0 : base[c] != other[c];
        p /= nchar / 2;
        EXPECT_NEAR(D[3][0], -0.75 * std::log(1 - 4 * p / 3), 1e-6);
        // Unrelated sequences: p near 3/4, beyond any sensible distance.
        if (lsStart)
            EXPECT_EQ(D[4][0], 9.0);
        else
            EXPECT_GT(D[4][0], 1.0);
        double largest = -1;
        for (uint32_t i = 1; i < 5; ++i)
            for (uint32_t j = 0; j < i; ++j)
                largest = std::max(largest, D[i][j]);
        EXPECT_EQ(r.largest, largest);
    }
}

}  // namespace
