#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "search/freqdist.h"
#include "search/search_settings.h"
#include "search_fixture.h"

namespace {

using FreqDistTest = SearchTest;

// The counts of the diagram's bars, in order.
std::vector<uint32_t> barCounts(const std::string &text)
{
    std::vector<uint32_t> counts;
    static const std::regex bar(R"(\|#* \((\d+)\))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), bar); it != std::sregex_iterator(); ++it)
        counts.push_back(static_cast<uint32_t>(std::stoul((*it)[1])));
    return counts;
}

TEST_F(FreqDistTest, IntegerScoresOneApartFillOneClassEach)
{
    auto fd = createHistogram(0, false, 100, 119, 20);
    for (int s = 100; s <= 119; s++)
        updateFreqDistData(fd.get(), s);
    updateFreqDistData(fd.get(), 1e37);  // no score: not counted
    EXPECT_EQ(getFreqDistN(fd.get()), 20u);
    ASSERT_EQ(showFreqDist(fd.get(), "\ntitle\n", true), 0);
    EXPECT_EQ(barCounts(gPrinted), std::vector<uint32_t>(20, 1));
    EXPECT_NE(gPrinted.find("g1="), std::string::npos);
}

// Without a range given (hi < lo) the classes span the scores found, in
// whatever order they come: the first class begins at the best score.
TEST_F(FreqDistTest, ScoresFoundSetTheRangeWhenNoneIsGiven)
{
    auto fd = createHistogram(0, false, 0, -1, 20);
    for (int s : {110, 100, 119, 105, 101, 102, 103, 104, 106, 107, 108, 109, 111, 112, 113, 114, 115, 116, 117, 118})
        updateFreqDistData(fd.get(), s);
    ASSERT_EQ(showFreqDist(fd.get(), "\ntitle\n", false), 0);
    EXPECT_EQ(barCounts(gPrinted), std::vector<uint32_t>(20, 1));
    EXPECT_NE(gPrinted.find("100.000 /"), std::string::npos);
}

// The distribution file is the command's own: a name from an earlier
// command neither asks for a file nor outlives the command that gave it.
TEST_F(FreqDistTest, OnlyTheCommandThatNamesTheFileWritesIt)
{
    std::snprintf(fdopt.fdFile, sizeof fdopt.fdFile, "%s", "earlier.txt");
    {
        FreqDistFileRequest request;
        EXPECT_STREQ(fdopt.fdFile, "");
        request.taken();  // no name given now
        EXPECT_EQ(fdopt.pref_saveToFile, 0);
        EXPECT_STREQ(fdopt.fdFile, "earlier.txt");
    }
    {
        FreqDistFileRequest request;
        std::snprintf(fdopt.fdFile, sizeof fdopt.fdFile, "%s", "now.txt");  // as the option reader does
        request.taken();
        EXPECT_EQ(fdopt.pref_saveToFile, 1);
    }
    EXPECT_EQ(fdopt.pref_saveToFile, 0);
    fdopt.fdFile[0] = '\0';
}

// Scores under large integer weights lie far apart: they fall into the
// classes their unweighted scores fall into, with moments scaled by the
// weight, and nothing is kept for the scores between them.
TEST_F(FreqDistTest, ScoresFarApartAreCountedAsTheirUnweightedScores)
{
    const std::vector<int> scores = {31, 35, 35, 40, 33, 47, 31, 52, 44, 39};
    for (const bool ranged : {false, true}) {
        std::vector<std::string> shown;
        for (const int64_t weight : {int64_t{1}, int64_t{1} << 40}) {
            auto fd = ranged ? createHistogram(0, false, 30 * weight, 60 * weight, 7) : createHistogram(0, false, 0, -1, 7);
            for (int s : scores)
                ASSERT_EQ(updateFreqDistData(fd.get(), static_cast<double>(s * weight)), 0);
            gPrinted.clear();
            ASSERT_EQ(showFreqDist(fd.get(), "\n", true), 0);
            shown.push_back(gPrinted);
        }
        EXPECT_EQ(barCounts(shown[1]), barCounts(shown[0])) << shown[1];
        const auto moments = [](const std::string &text) {
            std::smatch m;
            EXPECT_TRUE(std::regex_search(text, m, std::regex(R"(mean=(\S+) sd=(\S+) g1=(\S+) g2=(\S+))")));
            return std::vector<double>{std::stod(m[1]), std::stod(m[2]), std::stod(m[3]), std::stod(m[4])};
        };
        const std::vector<double> one = moments(shown[0]), far = moments(shown[1]);
        EXPECT_DOUBLE_EQ(far[0], one[0] * 0x1p40);
        EXPECT_NEAR(far[1], one[1] * 0x1p40, 1e-6 * far[1]);  // one's sd is printed to 6 places
        EXPECT_NEAR(far[2], one[2], 1e-6);
        EXPECT_NEAR(far[3], one[3], 1e-6);
    }
}

TEST_F(FreqDistTest, EqualScoresGiveOneClassAndNoShapeMoments)
{
    auto fd = createHistogram(10, true, 0, 0, 20);
    for (int i = 0; i < 5; i++)
        updateFreqDistData(fd.get(), 42.5);
    ASSERT_EQ(showFreqDist(fd.get(), "\ntitle\n", true), 0);
    EXPECT_EQ(barCounts(gPrinted), std::vector<uint32_t>{5});
    EXPECT_NE(gPrinted.find("mean=42.500000 sd=0.000000\n"), std::string::npos);
    EXPECT_EQ(gPrinted.find("g1="), std::string::npos);
}

TEST_F(FreqDistTest, NarrowRangeAndOutliersStayInRange)
{
    // hi - lo below the number of classes, and scores beyond both ends.
    auto fd = createHistogram(0, false, 10, 12, 20);
    for (double s : {8.0, 10.0, 11.0, 12.0, 15.0})
        updateFreqDistData(fd.get(), s);
    ASSERT_EQ(showFreqDist(fd.get(), "\n", false), 0);
    uint32_t total = 0;
    for (uint32_t c : barCounts(gPrinted))
        total += c;
    EXPECT_EQ(total, 5u);
}

TEST_F(FreqDistTest, BarChartWritesTheDistributionFile)
{
    const std::string path = ::testing::TempDir() + "vorn_scoredist_" + std::to_string(getpid()) + ".txt";
    std::remove(path.c_str());
    std::snprintf(fdopt.fdFile, sizeof fdopt.fdFile, "%s", path.c_str());
    fdopt.pref_saveToFile = 1;
    auto fd = createBarChart(5, 7);
    for (double s : {5.0, 7.0, 7.0})
        updateFreqDistData(fd.get(), s);
    const int rc = showFreqDist(fd.get(), "\n", false);
    fdopt.pref_saveToFile = 0;
    fdopt.fdFile[0] = '\0';
    ASSERT_EQ(rc, 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "5\t1\n6\t0\n7\t2\n");
    EXPECT_EQ(barCounts(gPrinted), (std::vector<uint32_t>{1, 0, 2}));
    std::remove(path.c_str());
}

TEST_F(FreqDistTest, ScoreDistribCountsDistinctScoresAndSorts)
{
    auto sd = createScoreDistrib(2);
    EXPECT_EQ(addScoreToDistrib(sd.get(), 30), 0);
    EXPECT_EQ(addScoreToDistrib(sd.get(), 20), 0);
    EXPECT_EQ(addScoreToDistrib(sd.get(), 30), 0);
    EXPECT_EQ(addScoreToDistrib(sd.get(), 40), 1);  // full
    sortScoreDistrib(sd.get());
    EXPECT_EQ(sd->scores, (std::vector<double>{20, 30}));
    EXPECT_EQ(sd->counts, (std::vector<uint32_t>{1, 2}));
}

}  // namespace
