// The counting and the test of the clock comparison.
#include <gtest/gtest.h>

#include <cmath>

#include "selection/clockcheck.h"

namespace {

TEST(ClockCheck, ParameterCountsFollowTheRoot)
{
    // Six tips, five internal nodes, binary root: the two root branches are
    // one parameter without a clock.
    EXPECT_EQ(clockModelParams(5, 0).total(), 5u);
    EXPECT_EQ(nonClockModelParams(6, 5, 2, 0).brlens, 9u);
    // A basal trichotomy keeps all its branches.
    EXPECT_EQ(nonClockModelParams(6, 4, 3, 0).brlens, 9u);
    // Model parameters count on both sides and so cancel in df.
    EXPECT_EQ(nonClockModelParams(6, 5, 2, 3).total() - clockModelParams(5, 3).total(), 4u);
}

TEST(ClockCheck, LrtPvalueIsTheChiSquareTailAndNeverNaN)
{
    // chi-square(4) upper 5% point 9.487729; the statistic is twice the difference.
    EXPECT_NEAR(clockLrtPvalue(100.0 + 9.487729 / 2, 100.0, 4), 0.05, 1e-6);
    // Even df: P = exp(-x/2) (1 + x/2) for df 4.
    EXPECT_NEAR(clockLrtPvalue(103.0, 100.0, 4), std::exp(-3.0) * 4.0, 1e-9);
    // A clock fit left a little better than the free fit counts as no difference.
    const double p = clockLrtPvalue(99.9999, 100.0, 4);
    EXPECT_FALSE(std::isnan(p));
    EXPECT_EQ(p, 1.0);
}

}  // namespace
