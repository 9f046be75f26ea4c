#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "distance/dscores.h"

namespace {

// The power plot's vertical scale: the labelled rows must read as distinct,
// evenly spaced values that bracket the plotted range, whatever the range and
// however often the step had to be halved to give the plot at least 20 rows;
// a flat curve (a tree that fits every power alike) still gets a scale.
TEST(PowerPlotScaleTest, LabelsAreDistinctAndBracketTheRange)
{
    const double ranges[][2] = {{4.5, 12.0},   {3.5, 11.0},  {0.35, 0.8},  {12.25, 13.0},
                                {30.0, 130.0}, {0.0, 7.5},   {1.0, 100.0}, {2.5e-3, 9e-3},
                                {0.0, 0.0},    {37.2, 37.2}, {5.0, 5.0 + 1e-15}};
    for (const auto &r : ranges) {
        const PowerPlotScale s = powerPlotScale(r[0], r[1]);
        SCOPED_TRACE(std::to_string(r[0]) + " .. " + std::to_string(r[1]));
        EXPECT_GE(s.rows, 20);
        EXPECT_LE(s.base, r[0] + 1e-12);
        EXPECT_GE(s.base + s.rows * s.step, r[1] - 1e-12);
        std::set<std::string> seen;
        double previous = -1e300;
        for (int row = 0; row <= s.rows; row += s.labelEvery) {
            char label[64];
            std::snprintf(label, sizeof label, "%.*f", s.decimals, s.base + row * s.step);
            EXPECT_TRUE(seen.insert(label).second) << "label " << label << " repeats";
            const double shown = std::stod(label);
            EXPECT_GT(shown, previous);
            previous = shown;
        }
    }
}

}  // namespace
