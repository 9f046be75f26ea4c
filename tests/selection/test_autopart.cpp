#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "selection/autopart.h"

// Every grouping of k subsets is enumerated once, as a restricted growth
// string, and their number is the Bell number.
TEST(Autopartition, AllSchemesAreTheRestrictedGrowthStrings)
{
    const double bell[] = {1, 1, 2, 5, 15, 52, 203, 877};
    for (uint32_t k = 1; k <= 7; ++k) {
        std::vector<uint32_t> s(k, 0);
        std::set<std::vector<uint32_t>> seen;
        bool valid = true;
        auto visit = [&](const std::vector<uint32_t> &scheme) {
            uint32_t top = 0;
            valid = valid && scheme[0] == 0;
            for (uint32_t i = 1; i < k; ++i) {
                valid = valid && scheme[i] <= top + 1;
                top = std::max(top, scheme[i]);
            }
            seen.insert(scheme);
            return 0;
        };
        forEachScheme(s, 0, 0, visit);
        EXPECT_TRUE(valid) << k;
        EXPECT_EQ(static_cast<double>(seen.size()), bell[k]) << k;
        EXPECT_EQ(numPartitionSchemes(k), bell[k]) << k;
    }
    // 16 subsets: the count the exhaustive search refuses.
    EXPECT_NEAR(numPartitionSchemes(16), 10480142147.0, 1.0);
}

// Greedy rounds join pairs in the order (0,1), (0,2), (1,2), (0,3), ...; a
// joined grouping is renumbered by first appearance.
TEST(Autopartition, GreedyOrderAndRenumbering)
{
    const std::vector<std::pair<uint32_t, uint32_t>> want = {{0, 1}, {0, 2}, {1, 2}, {0, 3}, {1, 3}, {2, 3}};
    EXPECT_EQ(greedyPairs(4), want);
    EXPECT_EQ(normalizedScheme({2, 0, 2, 1}), (std::vector<uint32_t>{0, 1, 0, 2}));
    uint32_t total = 0;
    for (uint32_t n = 4; n > 1; --n)
        total += static_cast<uint32_t>(greedyPairs(n).size());
    EXPECT_EQ(total, 6u + 3u + 1u);
}
