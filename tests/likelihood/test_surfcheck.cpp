#include "likelihood/surfcheck.h"

#include <gtest/gtest.h>

namespace {

// A run of scores each within the tolerance of its neighbour is still split
// once it drifts beyond the tolerance of the run's first score, so that one
// optimum never swallows a slope of distinct ones.
TEST(SurfCheckOptima, GroupsAgainstTheFirstScoreOfEachRun)
{
    const auto optima = groupSurfCheckOptima({10.00000012, 12.5, 10.0, 10.00000006, 10.00000005, 12.5}, 1e-7);
    ASSERT_EQ(optima.size(), 3u);
    EXPECT_DOUBLE_EQ(optima[0].score, 10.0);
    EXPECT_EQ(optima[0].count, 3u);
    EXPECT_DOUBLE_EQ(optima[1].score, 10.00000012);
    EXPECT_EQ(optima[1].count, 1u);
    EXPECT_DOUBLE_EQ(optima[2].score, 12.5);
    EXPECT_EQ(optima[2].count, 2u);
    EXPECT_TRUE(groupSurfCheckOptima({}, 1e-7).empty());
}

}  // namespace
