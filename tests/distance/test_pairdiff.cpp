// PairDiff tables of hand-counted pairs, and the purine/pyrimidine test.
#include <string>

#include "data/prepdata.h"
#include "distance/pairdiff.h"
#include "distance_fixture.h"

namespace {

using disttest::DistanceTest;

class PairDiffTest : public DistanceTest {
protected:
    const SitePatternData *patterns()
    {
        DataInfo *d = activeDataInfo();
        setDistanceModelData(d);
        EXPECT_EQ(prepareDataForPatternBasedAnalysis(d, nullptr), 0);
        return activeModelGroup()->patterns;
    }
    std::string longTables()
    {
        const SitePatternData *pd = patterns();
        DCalcData *cd = createDCalcData(kDistP, getDefaultModel(), nullptr, pd->nstates, nullptr, false, false, true);
        testcap::gOut.clear();
        EXPECT_EQ(pairDiffLong(cd, pd, activeDataInfo()), 0);
        destroyDCalcData(cd);
        return testcap::gOut;
    }
    std::string shortTable()
    {
        const SitePatternData *pd = patterns();
        testcap::gOut.clear();
        EXPECT_EQ(pairDiffShort(pd, activeDataInfo()), 0);
        return testcap::gOut;
    }
};

// x against y: AA 2, GG 1, CC 1, TT 1, A-G 1, T-C 1, C-A 1 (8 sites); x
// against z: the two transitions only.
const char *kPair[3][2] = {{"x", "AAGCTTAC"}, {"y", "AGGCTCAA"}, {"z", "AGGCTCAC"}};

TEST_F(PairDiffTest, ShortAndLongTablesOfAHandCountedPair)
{
    ASSERT_EQ(read(dataBlock({{kPair[0][0], kPair[0][1]}, {kPair[1][0], kPair[1][1]}, {kPair[2][0], kPair[2][1]}})), 0);
    // Pattern weights are truncated in the short table: 1.7 counts as 1.
    activeDataInfo()->weights[7] = 1.7;
    const std::string brief = shortTable();
    EXPECT_NE(brief.find(" y        1   1   1   0   0   0    2    1    1    1 0.38  2.00     8\n"), std::string::npos)
        << brief;
    EXPECT_NE(brief.find(" z        1   1   0   0   0   0    2    2    1    1 0.25   ---     8\n"), std::string::npos)
        << brief;
    EXPECT_NE(brief.find("Taxa     AG  CT  AC  AT  CG  GT   AA   CC   GG   TT diff ratio total\n"), std::string::npos);
    const std::string full = longTables();
    EXPECT_NE(full.find("\nx vs. y:\n\n                  A       C       G       T    totals\n"), std::string::npos) << full;
    EXPECT_NE(full.find("        C       1.7       1       0       0 |     2.7\n"), std::string::npos);
    EXPECT_NE(full.find("Proportion of sites differing = 3.7/8.7 = 0.4253\n"), std::string::npos);
    EXPECT_NE(full.find("Apparent transition/transversion ratio = 2/1.7 = 1.1765\n"), std::string::npos);
    EXPECT_NE(full.find("Apparent transition/transversion ratio = 2/0 = undefined\n"), std::string::npos);
    EXPECT_EQ(full.find("After adjusting"), std::string::npos);
}

TEST_F(PairDiffTest, AmbiguousCellsGetAnAdjustedTable)
{
    ASSERT_EQ(read(dataBlock({{"x", "RAAGG"}, {"y", "AAGGA"}})), 0);
    const std::string full = longTables();
    EXPECT_NE(full.find("Proportion of sites differing = 2/4 = 0.5000\n"), std::string::npos) << full;
    // R against A goes half to A-A and half to G-A (F[A][A] = F[G][A] = 1/4).
    EXPECT_NE(full.find("After adjusting for gaps/ambiguities:"), std::string::npos);
    EXPECT_NE(full.find("Proportion of sites differing = 2.5000/5 = 0.5000\n"), std::string::npos);
}

TEST_F(PairDiffTest, PurinePyrimidineDataGiveTwoByTwoTables)
{
    ASSERT_EQ(read(dataBlock({{"x", "RRYYR"}, {"y", "RYRYR"}})), 0);
    EXPECT_TRUE(isRYCoding(activeDataInfo()));
    const std::string brief = shortTable();
    EXPECT_NE(brief.find("Taxa         AC      AA      CC  P-diff  total\n"), std::string::npos) << brief;
    EXPECT_NE(brief.find(" y            2       2       1    0.40      5\n"), std::string::npos) << brief;
    const std::string full = longTables();
    EXPECT_NE(full.find("               A + G    C + T     totals\n"), std::string::npos) << full;
    EXPECT_NE(full.find("      A + G        2        1 |        3\n"), std::string::npos);
    EXPECT_EQ(full.find("transition/transversion"), std::string::npos);
    // Cells of A alone and of G alone are not a purine/pyrimidine coding.
    ASSERT_EQ(read(dataBlock({{"x", "AGRY"}, {"y", "AGYR"}})), 0);
    EXPECT_FALSE(isRYCoding(activeDataInfo()));
}

TEST_F(PairDiffTest, SubstitutionClassesAreShownAsLetters)
{
    const int32_t classes[6] = {0, 1, 0, 0, 1, 0};
    testcap::gOut.clear();
    showSubstClass(classes, testcap::capturePrintf);
    EXPECT_EQ(testcap::gOut, "Substitution classification:   A C G T\n"
                             "                             A - a b a\n"
                             "                             C a - a b\n"
                             "                             G b a - a\n"
                             "                             T a b a -\n");
}

}  // namespace
