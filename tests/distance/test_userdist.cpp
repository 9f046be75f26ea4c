// The DISTANCES block: layouts, rows matched to taxa by name, the summary
// values, asymmetry and negative values, weights, and the refusals; the
// stored values are read back through the user distance record.
#include <gtest/gtest.h>

#include <string>

#include "data/getdata.h"
#include "distance_fixture.h"
#include "data/taxstat.h"
#include "qel/qel_sets.h"
#include "search/search_settings.h"

namespace {

using disttest::DistanceTest;

class UserDistancesTest : public DistanceTest {
protected:
    static double U(uint32_t i, uint32_t j)
    {
        return i > j ? gUserDistances->distances[i][j] : gUserDistances->distances[j][i];
    }
    static double W(uint32_t i, uint32_t j)
    {
        return i > j ? gUserDistances->weights[i][j] : gUserDistances->weights[j][i];
    }
    static constexpr const char *kTaxa = "#nexus\nbegin taxa; dimensions ntax=4; taxlabels A B C D; end;\n";
};

// The same matrix in every layout, rows in another order than the TAXA block
// (D C B A), labels left or right: each pair lands on the taxa its labels
// name. d(A,B)=1 d(A,C)=2 d(A,D)=3 d(B,C)=4 d(B,D)=5 d(C,D)=6.
TEST_F(UserDistancesTest, LayoutsStoreByLabelInAnyRowOrder)
{
    const char *blocks[] = {
        "begin distances; format triangle=lower nodiagonal; matrix D C 6 B 5 4 A 3 2 1; end;",
        "begin distances; format triangle=lower; matrix D 0 C 6 0 B 5 4 0 A 3 2 1 0; end;",
        "begin distances; format triangle=upper nodiagonal labels=right; matrix 6 5 3 D 4 2 C 1 B A; end;",
        "begin distances; format triangle=upper; matrix D 0 6 5 3 C 0 4 2 B 0 1 A 0; end;",
        "begin distances; format triangle=both; matrix D 0 6 5 3 C 6 0 4 2 B 5 4 0 1 A 3 2 1 0; end;",
    };
    for (const char *block : blocks) {
        SCOPED_TRACE(block);
        ASSERT_EQ(read(std::string(kTaxa) + block), 0) << testcap::gErrorText;
        ASSERT_NE(gUserDistances, nullptr);
        EXPECT_EQ(U(1, 0), 1);
        EXPECT_EQ(U(2, 0), 2);
        EXPECT_EQ(U(3, 0), 3);
        EXPECT_EQ(U(2, 1), 4);
        EXPECT_EQ(U(3, 1), 5);
        EXPECT_EQ(U(3, 2), 6);
        EXPECT_EQ(gUserDistances->maxDistance, 6);
        EXPECT_EQ(gUserDistances->nZero, 0u);
        EXPECT_NE(testcap::gOut.find("Distance matrix read and stored\n"), std::string::npos);
        EXPECT_EQ(dist.distance, kDistUser);
        EXPECT_EQ(getOptimalityCriterion(), static_cast<uint32_t>(kCriterionDistance));
    }
}

// Both triangles that disagree are averaged with the warning lines; negative
// values become zero distances and are counted; the largest value and the
// most decimals are kept.
TEST_F(UserDistancesTest, AsymmetryNegativesAndSummary)
{
    setOptimalityCriterion(kCriterionParsimony, false);
    ASSERT_EQ(read("#nexus\nbegin distances; dimensions ntax=3; format triangle=both;\n"
                      "matrix t1 0 0.1 -0.5\n t2 0.3 0 2.25\n t3 -0.5 2.25 0;\nend;"),
              0)
        << testcap::gErrorText;
    const std::string &out = testcap::gOut;
    EXPECT_NE(out.find("Optimality criterion set to distance."), std::string::npos);
    EXPECT_NE(out.find("WARNING Distance matrix is not symmetric:\n   d(2,1)=0.300000000, d(1,2)=0.100000000\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("2 negative distances were reset to zero."), std::string::npos);
    EXPECT_DOUBLE_EQ(U(1, 0), 0.2);
    EXPECT_EQ(U(2, 0), 0.0);
    EXPECT_EQ(U(2, 1), 2.25);
    EXPECT_EQ(gUserDistances->nZero, 1u);
    EXPECT_EQ(gUserDistances->maxDistance, 2.25);
    EXPECT_EQ(gUserDistances->decimals, 2u);
    EXPECT_TRUE(activeDataInfo()->flags & kHaveDistances);
    EXPECT_EQ(activeDataInfo()->dataType, kDataTypeDistance);
}

// More than five differences: five lines, then one note.
TEST_F(UserDistancesTest, AsymmetryLinesStopAfterFive)
{
    std::string m = "#nexus\nbegin distances; dimensions ntax=5; format triangle=both nodiagonal labels=none; matrix\n";
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 5; ++j)
            m += i == j ? " 0" : i < j ? " 1" : " 2";
        m += "\n";
    }
    ASSERT_EQ(read(m + ";end;"), 0) << testcap::gErrorText;
    EXPECT_NE(testcap::gOut.find("   (additional warnings suppressed)\n"), std::string::npos);
    EXPECT_EQ(U(4, 3), 1.5);
}

TEST_F(UserDistancesTest, WeightsFollowTheirMatrixByLabel)
{
    ASSERT_EQ(read(std::string(kTaxa) +
                      "begin distances; format nodiagonal; matrix A B 1 C 2 4 D 3 5 6;"
                      " distancewts B A 10 C 20 40 D 30 50 60; end;"),
              0)
        << testcap::gErrorText;
    ASSERT_NE(gUserDistances->weights, nullptr);
    EXPECT_EQ(W(1, 0), 10);  // rows come as B A C D: row A's one column is B
    EXPECT_EQ(W(2, 1), 20);  // row C's columns are B, then A
    EXPECT_EQ(W(2, 0), 40);
    EXPECT_EQ(W(3, 1), 30);
    EXPECT_EQ(W(3, 0), 50);
    EXPECT_EQ(W(3, 2), 60);
    EXPECT_NE(testcap::gOut.find("User-supplied distance weights stored\n"), std::string::npos);
}

// Each refusal of a matrix leaves no user matrix, whatever an earlier block
// stored; a block refused before its matrix leaves the earlier one alone.
TEST_F(UserDistancesTest, RefusalsLeaveNoUserMatrix)
{
    struct Case {
        const char *block;
        uint32_t code;
        bool keepsEarlier = false;
    } cases[] = {
        {"format nodiagonal; matrix A B 1 C 2 x D 3 5 6;", 341},
        {"format nodiagonal; matrix A B 1 C 2 4 D 3 5 6 7;", 344},
        {"format nodiagonal; matrix A B 1 C 2 4 D 3 5;", 118},
        {"format nodiagonal; matrix A B 1 E 2 4 D 3 5 6;", 306},
        {"format nodiagonal; matrix A B 1 B 2 4 D 3 5 6;", 307},
        {"dimensions ntax=3; matrix A 0 B 1 0 C 1 1 0;", 337, true},
        {"distancewts A B 1 C 2 4 D 3 5 6;", 0},
        {"format nodiagonal; matrix A B 1 C 2 4 D 3 5 6; distancewts A B 1 C 2 4 D 3 5 6;"
         " distancewts A B 1 C 2 4 D 3 5 6;",
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.block);
        testcap::clearCaptured();
        ASSERT_EQ(read(std::string(kTaxa) + "begin distances; format nodiagonal; matrix A B 1 C 2 4 D 3 5 6; end;"), 0);
        ASSERT_NE(gUserDistances, nullptr);
        EXPECT_NE(read(std::string("begin distances; ") + c.block + " end;"), 0);
        ASSERT_FALSE(testcap::gErrorCodes.empty());
        EXPECT_EQ(testcap::gErrorCodes.back(), c.code) << testcap::gErrorText;
        EXPECT_EQ(gUserDistances != nullptr, c.keepsEarlier);
        // The taxa survive a failed DISTANCES block.
        EXPECT_EQ(activeDataInfo()->ntax, 4u);
    }
}

// A missing character is not supported: a Format that names one is read
// with a warning, the next Format without one gives none.
TEST_F(UserDistancesTest, MissingOptionWarns)
{
    ASSERT_EQ(read(kTaxa), 0);
    for (const char *format : {"missing=?", "missing=x triangle=lower", "triangle=lower", "labels=left"}) {
        SCOPED_TRACE(format);
        disttest::gWarnings.clear();
        testcap::clearCaptured();
        ASSERT_EQ(read(std::string("begin distances; format ") + format +
                       "; matrix A 0 B 1 0 C 2 4 0 D 3 5 6 0; end;"),
                  0)
            << testcap::gErrorText;
        const bool named = std::string(format).starts_with("missing");
        EXPECT_EQ(disttest::gWarnings, named ? std::vector<uint32_t>{822} : std::vector<uint32_t>{});
        EXPECT_EQ(U(3, 2), 6);
    }
}

// A DISTANCES block beside a character matrix adds the distances and leaves
// the characters and their format as they were.
TEST_F(UserDistancesTest, CharacterFormatSurvivesADistancesBlock)
{
    ASSERT_EQ(read(dataBlock({{"A", "AC-T"}, {"B", "AG?T"}, {"C", "ACGT"}}, "datatype=dna gap=- missing=?")), 0);
    DataInfo *d = activeDataInfo();
    const uint32_t type = d->dataType;
    const std::string symbols = d->symbols;
    ASSERT_EQ(read("begin distances; format triangle=lower labels=left; matrix C 0 A 1 0 B 2 3 0; end;"), 0)
        << testcap::gErrorText;
    d = activeDataInfo();
    EXPECT_EQ(d->dataType, type);
    EXPECT_EQ(d->symbols, symbols);
    EXPECT_EQ(d->gapSymbol, static_cast<uint32_t>('-'));
    EXPECT_EQ(d->missingSymbol, static_cast<uint32_t>('?'));
    EXPECT_EQ(d->nchar, 4u);
    EXPECT_TRUE((d->flags & kHaveCharacters) && (d->flags & kHaveDistances));
    EXPECT_EQ(U(2, 0), 1);  // C-A
    EXPECT_EQ(U(1, 0), 3);  // B-A
    EXPECT_EQ(U(2, 1), 2);  // B-C
}

// A character matrix read after the measure was chosen: a nucleotide
// measure the new data cannot give turns into the mean character
// difference, amino acids keep the measures computed for them, and what is
// left can be computed.
TEST_F(UserDistancesTest, MeasuresTheNewCharactersCannotGiveFallBackToTheMean)
{
    const std::string protein = dataBlock({{"A", "ARNDCQ"}, {"B", "ARNDCE"}, {"C", "AKNECE"}, {"D", "AKNWCE"}},
                                          "datatype=protein");
    const std::string standard = dataBlock({{"A", "0102"}, {"B", "0112"}, {"C", "1012"}, {"D", "1010"}},
                                           "symbols=\"012\"");
    const std::string dna = dataBlock({{"A", "ACGTAC"}, {"B", "ACGTTC"}, {"C", "AGGTTA"}, {"D", "AGCTTA"}});
    const struct {
        uint32_t measure;
        const std::string &block;
        uint32_t kept;
    } cases[] = {
        {kDistP, protein, kDistP},         {kDistJC, protein, kDistJC},
        {kDistML, protein, kDistML},       {kDistAbs, protein, kDistMean},
        {kDistF81, protein, kDistMean},    {kDistGTR, protein, kDistMean},
        {kDistLogDet, protein, kDistMean}, {kDistK2P, protein, kDistMean},
        {kDistTotal, protein, kDistTotal}, {kDistJC, standard, kDistMean},
        {kDistLogDet, standard, kDistMean}, {kDistLogDet, dna, kDistLogDet},
        {kDistUser, protein, kDistP},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.measure) + " on " + c.block);
        dist.distance = c.measure;
        ASSERT_EQ(read(c.block), 0) << testcap::gErrorText;
        EXPECT_EQ(dist.distance, c.kept);
        // ML distances need the likelihood engine, which is not linked here.
        testcap::clearCaptured();
        if (c.kept != kDistML) {
            EXPECT_EQ(compute(), 0) << testcap::gErrorText;
        }
    }
}

}  // namespace

namespace {

// With a taxon deleted the block still has one row per stored taxon; the
// matrix the methods use then holds the pairs of the remaining taxa.
TEST_F(UserDistancesTest, DeletedTaxaKeepTheirRows)
{
    ASSERT_EQ(read(kTaxa), 0);
    DataInfo *d = activeDataInfo();
    addSetMember(d->taxa.deleted, 1);  // B
    initTaxStatus(d);
    ASSERT_EQ(d->nActive, 3);
    ASSERT_EQ(read("begin distances; format nodiagonal; matrix D C 6 B 5 4 A 3 2 1; end;"), 0)
        << testcap::gErrorText;
    DMatrix *dm = getDMatrix(kDMatrixForDistance, d, false);
    ASSERT_NE(dm, nullptr);
    EXPECT_EQ(dm->ntax, 3u);
    EXPECT_EQ(U(1, 0), 2);  // A-C
    EXPECT_EQ(U(2, 0), 3);  // A-D
    EXPECT_EQ(U(2, 1), 6);  // C-D
}

}  // namespace
