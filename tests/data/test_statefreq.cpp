// State frequencies per taxon and the NSFilter site test: known answers, the
// sharing of ambiguous cells at its fixed point, and every printed site
// statistic against plain counts made here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "data/data_settings.h"
#include "data/empirfreqs.h"
#include "data/patterns.h"
#include "data/statefreq.h"
#include "reader_test_support.h"
#include "support/capture_support.h"

namespace {

using testcap::gOut;
std::string &gError = testcap::gErrorText;

class StateFreqTest : public DataReaderTest {
protected:
    StateFreqTest() : DataReaderTest(testcap::capturePrintf, testcap::captureError<false>, testcap::captureError<false>) {}
    void SetUp() override
    {
        gOut.clear();
        gError.clear();
        DataReaderTest::SetUp();
    }
    void TearDown() override
    {
        invalidateSitePatternData(true);
        DataReaderTest::TearDown();
    }

    void readDna(const std::vector<std::string> &rows)
    {
        std::string s = "begin data; dimensions ntax=" + std::to_string(rows.size()) +
                        " nchar=" + std::to_string(rows[0].size()) + "; format datatype=dna gap=-; matrix\n";
        for (size_t t = 0; t < rows.size(); ++t)
            s += "t" + std::to_string(t + 1) + " " + rows[t] + "\n";
        feed(s + ";\nend;\n", true);
        char word[64];
        readToken(word, sizeof word);
        readToken(word, sizeof word);
        readSemicolon();
        ASSERT_EQ(readData(kBlockData, activeDataInfo()), 0) << gError;
    }

    int nsfilter(const std::string &options)
    {
        feed(options + ";", true);
        return doNSFilterCmd();
    }
};

TEST_F(StateFreqTest, FrequenciesAndCountsOfTheKnownMatrix)
{
    readDna({"AAAACCCGGTTT", "AAAAAAACCGGT", "ACGTACGTACGT", "????????????"});
    const StateFreqInfoPtr sf = storeStateFreqs(activeDataInfo(), activeModelGroup(), "StateFreq");
    ASSERT_TRUE(sf) << gError;
    ASSERT_EQ(sf->nObserved, 4u);
    const std::vector<std::vector<double>> expected = {
        {4 / 12.0, 3 / 12.0, 2 / 12.0, 3 / 12.0},
        {7 / 12.0, 2 / 12.0, 2 / 12.0, 1 / 12.0},
        {0.25, 0.25, 0.25, 0.25},
        {0.25, 0.25, 0.25, 0.25},  // nothing counted: equal frequencies, never NaN
        {14 / 36.0, 8 / 36.0, 7 / 36.0, 7 / 36.0},
    };
    for (size_t t = 0; t < expected.size(); ++t)
        for (uint32_t s = 0; s < 4; ++s)
            EXPECT_NEAR(sf->freqs[t][s], expected[t][s], 1e-12) << t << " " << s;
    EXPECT_EQ(sf->counts[1][0], 7.0f);
    EXPECT_EQ(sf->counts[3][4], 0.0f);
    EXPECT_DOUBLE_EQ(sf->grandTotal, 36.0);
    EXPECT_DOUBLE_EQ(sf->maxCell, 7.0);
    EXPECT_DOUBLE_EQ(sf->stateTotals[0], 14.0);
}

// A taxon with A x3, G x1, R x4, C x6, T x6 settles at A 0.3, G 0.1: each
// R then goes 0.75 to A and 0.25 to G, which gives those frequencies back.
TEST_F(StateFreqTest, AmbiguousCellsAreSharedAtTheFixedPoint)
{
    readDna({"AAAGRRRRCCCCCCTTTTTT", "ACGTACGTACGTACGTACGT"});
    const StateFreqInfoPtr sf = storeStateFreqs(activeDataInfo(), activeModelGroup(), "StateFreq");
    ASSERT_TRUE(sf) << gError;
    EXPECT_NEAR(sf->freqs[0][0], 0.3, 1e-6);
    EXPECT_NEAR(sf->freqs[0][2], 0.1, 1e-6);
    EXPECT_NEAR(sf->freqs[0][1], 0.3, 1e-6);
    EXPECT_NEAR(sf->counts[0][0], 3 + 0.75 * 4, 1e-4);
    EXPECT_NEAR(sf->counts[0][2], 1 + 0.25 * 4, 1e-4);
    EXPECT_EQ(sf->counts[0][4], 20.0f);
}

TEST_F(StateFreqTest, RefusesDataOtherThanNucleotidesOrAminoAcids)
{
    feed("begin data; dimensions ntax=2 nchar=3; format datatype=standard symbols=\"012\"; matrix a 012 b 010; end;", true);
    char word[64];
    readToken(word, sizeof word);
    readToken(word, sizeof word);
    readSemicolon();
    ASSERT_EQ(readData(kBlockData, activeDataInfo()), 0) << gError;
    EXPECT_FALSE(storeStateFreqs(activeDataInfo(), activeModelGroup(), "StateFreq"));
    EXPECT_NE(gError.find("'StateFreq' command is only valid"), std::string::npos) << gError;
}

// Every printed per-site line against counts made here, and pctExclude=10
// on 95 sites excluding the 10 largest ratios.
TEST_F(StateFreqTest, NSFilterSiteStatisticsAndPercentExclusion)
{
    std::mt19937 rng(95);
    const std::string bases = "ACGT";
    std::vector<std::string> rows(6, std::string(95, 'A'));
    for (size_t t = 0; t < rows.size(); ++t)
        for (char &c : rows[t])  // each taxon leans towards its own base
            c = rng() % 3 == 0 ? bases[t % 4] : bases[rng() % 4];
    readDna(rows);

    std::vector<std::map<char, double>> f(rows.size());
    std::map<char, double> all;
    for (size_t t = 0; t < rows.size(); ++t)
        for (char c : rows[t]) {
            f[t][c] += 1.0 / 95;
            all[c] += 1.0 / (95.0 * static_cast<double>(rows.size()));
        }
    std::vector<std::string> expectedLines;
    std::vector<std::pair<double, uint32_t>> ratios;
    for (uint32_t c = 0; c < 95; ++c) {
        double l1 = 0, l2 = 0;
        for (size_t t = 0; t < rows.size(); ++t) {
            l1 += std::log(all[rows[t][c]]);
            l2 += std::log(f[t][rows[t][c]]);
        }
        char line[128];
        std::snprintf(line, sizeof line, "%8u%12.4g%12.4g%12.4f%12.4f", c + 1, l1, l2, l2 - l1, std::exp(l2 - l1));
        expectedLines.push_back(line);
        ratios.push_back({-std::exp(l2 - l1), c});
    }
    ASSERT_EQ(nsfilter("pctexclude=10"), 0) << gError;
    std::istringstream in(gOut);
    std::vector<std::string> printed;
    for (std::string line; std::getline(in, line);)
        if (line.size() == 56 && line.find_first_not_of(" 0123456789.-e+") == std::string::npos)
            printed.push_back(line);
    EXPECT_EQ(printed, expectedLines);

    std::stable_sort(ratios.begin(), ratios.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<uint32_t> largest;
    for (size_t i = 0; i < 10; ++i)
        largest.push_back(ratios[i].second);
    std::sort(largest.begin(), largest.end());
    std::vector<uint32_t> excluded;
    for (uint32_t c = 0; c < 95; ++c)
        if (activeDataInfo()->status[c] & kCharExcluded)
            excluded.push_back(c);
    EXPECT_EQ(excluded, largest);
    EXPECT_NE(gOut.find("The following 10 sites in the upper 10% of likelihood-ratio scores were excluded"),
              std::string::npos);
}

TEST_F(StateFreqTest, NSFilterRefusesBadOptionsBeforeAnyOutput)
{
    readDna({"ACGTACGTAC", "AAGTACGTAA", "CCGTACTTAC"});
    for (const char *options : {"lrexclude=2 pctexclude=10", "pctexclude=0.0001 lrexclude=1e-9",
                                "pctexclude=101", "pctexclude=-5", "lrexclude=-1"}) {
        gOut.clear();
        gError.clear();
        EXPECT_EQ(nsfilter(options), 1) << options;
        EXPECT_FALSE(gError.empty()) << options;
        EXPECT_EQ(gOut.find("Bruvant"), std::string::npos) << options;
    }
    EXPECT_EQ(nsfilter("lrexclude=1e30"), 0) << gError;
    EXPECT_NE(gOut.find("No characters exceeded the likelihood-ratio threshold of 1e+30"), std::string::npos);
    for (uint32_t c = 0; c < 10; ++c)
        EXPECT_FALSE(activeDataInfo()->status[c] & kCharExcluded);
}

}  // namespace
