#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "search/hsearch.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "search/search.h"
#include "search/starttree.h"
#include "search_fixture.h"
#include "support/thread_support.h"

namespace {

class Scores : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        clearCriterionResetHooks();
        ASSERT_EQ(installSearchCriterionHook(), 0);
    }
    void TearDown() override
    {
        setOptimalityCriterion(kCriterionParsimony, true);
        set_suppress_e_format(false);
        SearchTest::TearDown();
    }
};

TEST_F(Scores, CriterionChangePrintsOnceAndInstallsItsComparison)
{
    CmdParam option{};
    option.typeFlags = kParamKeyword;
    option.variable = &gCriterion;
    auto setByOption = [&](uint32_t value) {
        option.saved.u = gCriterion;
        gCriterion = value;
        return criterionInfo(&option);
    };
    EXPECT_EQ(setByOption(kCriterionDistance), 0);
    EXPECT_EQ(gPrinted, "\nOptimality criterion set to distance.\n");
    EXPECT_EQ(gCompareScoresFxn, compareDistanceScores);
    EXPECT_EQ(setByOption(kCriterionDistance), 0);  // the same value again: silent
    EXPECT_EQ(gPrinted, "\nOptimality criterion set to distance.\n");

    gPrinted.clear();
    EXPECT_EQ(setOptimalityCriterion(kCriterionLikelihood, true), uint32_t{kCriterionDistance});
    EXPECT_EQ(gPrinted, "");  // the quiet form, as at start-up
    EXPECT_EQ(gCompareScoresFxn, compareLikelihoodScores);
    EXPECT_TRUE(areScoresFlt());

    const uint32_t old = tempResetOptCrit(kCriterionDistance);
    EXPECT_EQ(old, uint32_t{kCriterionLikelihood});
    EXPECT_EQ(gCriterion, uint32_t{kCriterionDistance});
    restoreOriginalOptCrit(old);
    EXPECT_EQ(gCriterion, uint32_t{kCriterionLikelihood});
}

TEST_F(Scores, ComparisonUsesTheCriterionsTolerance)
{
    // Integer parsimony scores compare exactly.
    EXPECT_EQ(compareParsimonyScores(10, 10.0000001), -1);
    EXPECT_EQ(compareParsimonyScores(11, 10), 1);
    EXPECT_EQ(compareParsimonyScores(10, 10), 0);
    // Real-valued parsimony uses the packed data's tolerance.
    makeData({"10", "10", "01", "01"});
    data->weights[0] = 0.5;
    gPars.pending = 1;
    ASSERT_EQ(prepareParsimonyData(data), 0);
    setFltScore(kCriterionParsimony);
    ASSERT_TRUE(areScoresFlt());
    const double tol = packedData(data)->tolerance;
    ASSERT_GT(tol, 0.0);
    EXPECT_EQ(compareParsimonyScores(10 + tol / 2, 10), 0);
    EXPECT_EQ(compareParsimonyScores(10 + 2 * tol, 10), 1);
    EXPECT_EQ(compareParsimonyScores(10 - 2 * tol, 10), -1);
    // Likelihood: relative to the second score, so not symmetric near the edge.
    setLikelihoodRelTolerance(1e-3);
    EXPECT_EQ(compareLikelihoodScores(1000.5, 1000), 0);
    EXPECT_EQ(compareLikelihoodScores(1002, 1000), 1);
    EXPECT_EQ(compareLikelihoodScores(0.0095, 10), -1);
    EXPECT_EQ(compareLikelihoodScores(10, 0.0095), 1);
    setLikelihoodRelTolerance(1e-8);
    EXPECT_EQ(compareDistanceScores(0.5, 0.5 + 1e-11), 0);
    EXPECT_EQ(compareDistanceScores(0.5, 0.5 + 1e-9), -1);
}

// Each score text belongs to its call: several in one print keep their own
// values, and threads formatting at once never see each other's texts.
TEST_F(Scores, SeveralScoresInOnePrint)
{
    qel_printf("%s < %s; %s trees; best %s; %s", fltScoreToStr(0, 2, 1.5).c_str(), fltScoreToStr(0, 2, 2.25).c_str(),
               intScoreToStr(7).c_str(), treeScoreToString(0, 123).c_str(), intScoreToStr(2147483647).c_str());
    EXPECT_EQ(gPrinted, "1.50 < 2.25; 7 trees; best 123; -");
}

TEST(SecondaryThreadFormatting, ScoresAcrossThreads)
{
    const unsigned wrong = testthreads::countFailuresAcrossThreads(4, 400, [](unsigned t, unsigned i) {
        const double value = 1.0 + t * 1000 + i / 8.0;  // exact in binary, so "%.3f" is exact
        char expected[32];
        std::snprintf(expected, sizeof expected, "%.3f", value);
        const auto n = static_cast<int32_t>(t * 1000 + i);
        return fltScoreToStr(0, 3, value) == expected && intScoreToStr(n) == std::to_string(n);
    });
    EXPECT_EQ(wrong, 0u);
}

TEST_F(Scores, FormattingAndValidity)
{
    EXPECT_EQ(fltScoreToStr(0, -1, 1e37), "-");
    EXPECT_EQ(fltScoreToStr(0, -1, 9e36), "Inf");
    set_suppress_e_format(true);
    EXPECT_EQ(fltScoreToStr(0, -1, 9e36), "999999.9");
    set_suppress_e_format(false);
    EXPECT_EQ(intScoreToStr(2147483647), "-");
    EXPECT_EQ(intScoreToStr(42), "42");
    EXPECT_EQ(treeScoreToString(0, 1e37), "-");
    EXPECT_EQ(treeScoreToString(0, 123), "123");  // integer parsimony: no decimals
    EXPECT_EQ(scoreToString(kCriterionDistance, 14, 4, 0.12345678), "0.1235");

    EXPECT_TRUE(isScoreValid(0));
    EXPECT_FALSE(isScoreValid(-1));
    EXPECT_FALSE(isScoreValid(1e37));
    gPars.goloboff = 1;  // maximised fit, stored negated
    EXPECT_TRUE(isScoreValid(0));
    EXPECT_TRUE(isScoreValid(-3.4));
    EXPECT_FALSE(isScoreValid(1));
    gPars.goloboff = 0;
    char text[128];
    gPars.threshold = 1;
    EXPECT_STREQ(makeFullCriterionString(text, sizeof text),
                 "parsimony: threshold = 1 extra step (= maximum compatibility)");
    gPars.threshold = 0;
}

TEST_F(Scores, DriverChecksAndDeadline)
{
    EXPECT_EQ(checkMaxTaxaExhaustive(12, false), 0);
    EXPECT_EQ(checkMaxTaxaExhaustive(13, false), 1);
    EXPECT_EQ(checkMaxTaxaExhaustive(11, true), 0);
    EXPECT_EQ(checkMaxTaxaExhaustive(12, true), 1);
    EXPECT_EQ(gErrorCodes, (std::vector<uint32_t>{531, 531}));
    EXPECT_EQ(searchTypeString(1, true), "Branch-and-bound");
    EXPECT_EQ(searchTypeString(9, false), "unknown");
    EXPECT_EQ(searchRepString(3, 1, 2), "3b");

    // A limit of ~68 years in ticks does not wrap in 32 bits' way.
    EXPECT_EQ(searchDeadline(1000, 0x7FFFFFFF, 100), 1000 + uint64_t{0x7FFFFFFF} * 100);
    EXPECT_EQ(searchDeadline(~uint64_t{0} - 5, 10, 100), ~uint64_t{0});
    EXPECT_EQ(searchDeadline(1000, 0, 100), 0u);
}

uint64_t gFakeCpuNanos = 0;

TEST_F(Scores, TimeLimitRunsOnTheProcessCpuTime)
{
    // The clock of the limit is the process's CPU time: its reading lies
    // between two readings of that clock taken around it.
    auto cpuNow = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * kSearchClockPerSecond + static_cast<uint64_t>(ts.tv_nsec);
    };
    const uint64_t before = cpuNow();
    const uint64_t read = searchClockNanos();
    const uint64_t after = cpuNow();
    EXPECT_LE(before, read);
    EXPECT_LE(read, after);

    // Driven by a CPU clock of its own, a limit starting now ends timeLimit
    // seconds of CPU time later, and is met when the CPU time reaches it.
    setSearchCpuClock([] { return gFakeCpuNanos; });
    const int32_t savedLimit = hs.timeLimit;
    gFakeCpuNanos = 5 * kSearchClockPerSecond;
    hs.timeLimit = 3;
    const uint64_t deadline = timeLimitDeadline();
    EXPECT_EQ(deadline, 8 * kSearchClockPerSecond);
    uint64_t nextRead = 0;
    gFakeCpuNanos = deadline - 1;
    EXPECT_FALSE(searchDeadlinePassed(deadline, nextRead));
    EXPECT_NE(nextRead, 0u);  // the next reading waits for the wall clock
    nextRead = 0;
    gFakeCpuNanos = deadline;
    EXPECT_TRUE(searchDeadlinePassed(deadline, nextRead));
    EXPECT_FALSE(searchDeadlinePassed(0, nextRead));
    hs.timeLimit = 0;
    EXPECT_EQ(timeLimitDeadline(), 0u);
    hs.timeLimit = savedLimit;
    setSearchCpuClock(nullptr);
}

TEST_F(Scores, StartOption)
{
    StartTreeSpec spec{};
    EXPECT_EQ(parseStartOption("3", &spec), 0);
    EXPECT_EQ(spec.source, uint32_t{kStartRange});
    EXPECT_EQ(spec.first, 3u);
    EXPECT_EQ(spec.last, 3u);
    EXPECT_EQ(parseStartOption("2-4", &spec), 0);
    EXPECT_EQ(spec.first, 2u);
    EXPECT_EQ(spec.last, 4u);
    EXPECT_EQ(parseStartOption("cur", &spec), 0);
    EXPECT_EQ(spec.source, uint32_t{kStartCurrent});
    for (const char *bad : {"0", "4-2", "3x", "bogus"})
        EXPECT_EQ(parseStartOption(bad, &spec), 1) << bad;
    EXPECT_EQ(parseStartOption("nj", &spec), 1);  // under parsimony
    EXPECT_EQ(gErrorCodes, (std::vector<uint32_t>{505, 505, 505, 505, 556}));
    EXPECT_EQ(spec.source, uint32_t{kStartCurrent});
    EXPECT_STREQ(defaultStartString(), "Stepwise");
    EXPECT_EQ(makeNJStartingTree(nullptr, nullptr), 1);
}

}  // namespace
