#include <cmath>

#include "data/vorn_util.h"
#include "data_fixture.h"

namespace {

using datatest::DataFixture;

int gCriterionNow = kCriterionParsimony;

class VornUtilTest : public DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        DataServices s{};
        s.criterion = [] { return gCriterionNow; };
        installDataServices(s);
    }
    void TearDown() override
    {
        resetTreeScoreFxns();
        gCriterionNow = kCriterionParsimony;
        DataFixture::TearDown();
    }
};

TEST_F(VornUtilTest, CheckMinTaxaCountsOnlyNondeletedTaxa)
{
    makeData(4, 1);
    EXPECT_EQ(checkMinTaxa(4, nullptr, nullptr), 0);
    EXPECT_TRUE(datatest::gErrors.empty());
    addSetMember(d->taxa.deleted, 1);
    initTaxStatus(d);
    EXPECT_EQ(checkMinTaxa(4, nullptr, nullptr), 1);
    EXPECT_EQ(checkMinTaxa(4, "Bootstrapping", " with %s"), 1);
    EXPECT_EQ(datatest::gErrors, (std::vector<uint32_t>{606, 606}));
    const std::string tail = " is not allowed when there are fewer than 4 nondeleted taxa.\tIf you want to do "
                             "this, you will have to include additional taxa in the analysis.";
    EXPECT_EQ(datatest::gErrorText, "This operation" + tail + "Bootstrapping with %s" + tail);
}

TEST_F(VornUtilTest, TreeCountsMatchTheDoubleFactorials)
{
    double rooted[101], unrooted[101];
    enumTrees(rooted, 100, true);
    enumTrees(unrooted, 100, false);
    EXPECT_DOUBLE_EQ(rooted[4], std::log(15.0));
    EXPECT_DOUBLE_EQ(unrooted[4], std::log(3.0));
    EXPECT_EQ(rooted[2], 0.0);
    EXPECT_EQ(unrooted[3], 0.0);
    // (2k-3)!! = (2k-2)! / (2^(k-1) (k-1)!); unrooted on k taxa = rooted on k-1.
    for (uint32_t k = 4; k <= 100; ++k) {
        const double lnRooted = std::lgamma(2.0 * k - 1) - (k - 1) * std::log(2.0) - std::lgamma(k);
        EXPECT_NEAR(rooted[k], lnRooted, 1e-9 * lnRooted) << k;
        EXPECT_NEAR(unrooted[k], rooted[k - 1], 1e-12 * rooted[k]) << k;
    }
}

TEST_F(VornUtilTest, ScoreDispatchFollowsTheCriterion)
{
    makeData(4, 1);
    EXPECT_EQ(computeTreeScore(nullptr, d), kNoTreeScore);  // nothing installed
    TreeScoreFxns f{};
    f.parsimony = [](DataInfo *, Tree *) { return 17.0; };
    installTreeScoreFxns(f);
    EXPECT_EQ(computeTreeScore(nullptr, d), 17.0);
    gCriterionNow = kCriterionLikelihood;
    EXPECT_FALSE(treeScoreAvailable(kCriterionLikelihood));
    EXPECT_EQ(computeTreeScore(nullptr, d), kNoTreeScore);
    f = TreeScoreFxns{};
    f.distance = [](Tree *, double bound) { return bound == kNoTreeScore ? 0.25 : -1.0; };
    installTreeScoreFxns(f);
    gCriterionNow = kCriterionDistance;
    EXPECT_EQ(computeTreeScore(nullptr, d), 0.25);
    gCriterionNow = 7;
    EXPECT_EQ(computeTreeScore(nullptr, d), kNoTreeScore);
}

TEST_F(VornUtilTest, StateStringsAndWeights)
{
    makeData(3, 4, true, "ACGT");
    char buf[80];
    EXPECT_STREQ(stateString(~uint64_t{0}, "ACGT", buf), "?");
    EXPECT_STREQ(stateString(0b1010, "ACGT", buf), "CT");
    EXPECT_STREQ(stateString(0, "ACGT", buf), "");
    d->respectCase = 0;
    EXPECT_TRUE(sameStateSymbol('a', 'A', d));
    d->respectCase = 1;
    EXPECT_FALSE(sameStateSymbol('a', 'A', d));
    d->gapSymbol = '-';
    ASSERT_EQ(setXijRaw(d, 0, 0, kGapCode), 0);
    ASSERT_EQ(setXijRaw(d, 1, 0, stateBitsToCode(0b0101, d)), 0);
    EXPECT_STREQ(tipStateString(0, "ACGT", 0, 0, false, d, buf), "-");
    EXPECT_STREQ(tipStateString(0b0101, "ACGT", 1, 0, false, d, buf), "{AG}");
    EXPECT_STREQ(tipStateString(0b0100, "ACGT", 2, 0, true, d, buf), "G");

    d->weights[1] = 2.5;
    d->status[2] |= kCharExcluded;
    d->status[3] |= kCharOrdered;
    EXPECT_EQ(calcTotalWt(d), 4.5);
    EXPECT_EQ(countIncludedChars(d, kCharOrdered), 1u);
    uint32_t n = 0;
    uint32_t *list = loadIncludedChars(d, 0, &n);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(std::vector<uint32_t>(list, list + n), (std::vector<uint32_t>{0, 1, 3}));
    deallocArray(list);
}

}  // namespace
