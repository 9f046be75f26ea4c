// The pure parts of the simulation block: reading a replicate loop ahead
// for its tallies and its end, scoring a found tree against the true one,
// and the CPU-time column.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "selection/simblock.h"

namespace {

TEST(SimBlockTest, LoopTextEndsAfterEndSimAndNamesItsTallies)
{
    const std::string text = "\n  nj; tally nj;\n  [endsim; in a comment] hsearch;\n  tally 'my label';"
                              " tally;\n  TALLY x y; EndSim ;\nend;\n";
    std::vector<std::string> labels;
    const size_t end = scanSimLoopText(text, &labels);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(text.substr(0, end).substr(end - 8), "EndSim ;");
    // An unlabelled tally is named by its ordinal number.
    EXPECT_EQ(labels, (std::vector<std::string>{"nj", "my label", "3", "x"}));

    // Without an EndSim outside comments and quotes there is no end yet.
    EXPECT_EQ(scanSimLoopText("nj; [endsim;] tally 'endsim;';", nullptr), std::string::npos);
    EXPECT_EQ(scanSimLoopText("nj; [open comment endsim;", nullptr), std::string::npos);
    // "endsim" as an argument is not the command.
    EXPECT_EQ(scanSimLoopText("log file=endsim;", nullptr), std::string::npos);
}

std::vector<uint64_t> split(uint64_t bits) { return {bits}; }

TEST(SimBlockTest, FoundTreesScoreByTheTrueGroupsTheyHold)
{
    // True tree ((A,B),C,(D,E)) unrooted: groups AB and DE (as sorted splits).
    std::vector<std::vector<uint64_t>> truth{split(0b00011), split(0b11000)};
    std::sort(truth.begin(), truth.end());

    const TallyOutcome same = compareWithTrueSplits(truth, truth);
    EXPECT_DOUBLE_EQ(same.f, 1.0);
    EXPECT_TRUE(same.correct);
    // A resolved subset (only AB) has no wrong group: it counts in both sums.
    const TallyOutcome subset = compareWithTrueSplits(truth, {split(0b00011)});
    EXPECT_DOUBLE_EQ(subset.f, 0.5);
    EXPECT_TRUE(subset.correct);
    // One right and one wrong group.
    const TallyOutcome wrong = compareWithTrueSplits(truth, {split(0b00011), split(0b10100)});
    EXPECT_DOUBLE_EQ(wrong.f, 0.5);
    EXPECT_FALSE(wrong.correct);
    // A true tree without internal edges counts 1, never 0/0.
    const TallyOutcome star = compareWithTrueSplits({}, {});
    EXPECT_DOUBLE_EQ(star.f, 1.0);
    EXPECT_TRUE(star.correct);
}

TEST(SimBlockTest, CpuTimeIsHoursMinutesSeconds)
{
    EXPECT_EQ(formatSimCpuTime(0.0), "00:00:00.00");
    EXPECT_EQ(formatSimCpuTime(3723.456), "01:02:03.46");
    EXPECT_EQ(formatSimCpuTime(-1.0), "00:00:00.00");
}

}  // namespace
