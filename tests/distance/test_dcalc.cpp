// Distance matrices computed from data files: known answers, undefined
// distances, ambiguous cells, invariable sites, the type checks and the reuse
// of a stored matrix.
#include <cmath>
#include <string>

#include "data/charstat.h"
#include "data/taxstat.h"
#include "distance_fixture.h"

namespace {

using disttest::DistanceTest;
using disttest::gWarnings;

// A: ACGT repeated; B: 10 transitions; C: 10 other transitions and 5
// transversions; D: equal to A.
std::string fourTaxa()
{
    std::string a;
    for (int k = 0; k < 25; ++k)
        a += "ACGT";
    auto transition = [](char c) { return c == 'A' ? 'G' : c == 'G' ? 'A' : c == 'C' ? 'T' : 'C'; };
    std::string b = a, c = a;
    for (int s = 0; s < 10; ++s)
        b[s] = transition(b[s]);
    for (int s = 10; s < 20; ++s)
        c[s] = transition(c[s]);
    for (int s = 20; s < 25; ++s)
        c[s] = c[s] == 'A' ? 'C' : c[s] == 'C' ? 'A' : c[s] == 'G' ? 'T' : 'G';
    return DistanceTest::dataBlock({{"A", a}, {"B", b}, {"C", c}, {"D", a}});
}

std::string withMissingTaxon()
{
    std::string text = fourTaxa();
    const std::string q(100, '?');
    text.replace(text.find("ntax=4"), 6, "ntax=5");
    return text.replace(text.find(";\nend;"), 0, "E " + q + "\n");
}

TEST_F(DistanceTest, KnownAnswersOfTheFourTaxonData)
{
    ASSERT_EQ(read(fourTaxa()), 0);
    dist.distance = kDistP;
    ASSERT_EQ(compute(), 0) << testcap::gErrorText;
    EXPECT_NEAR(D(1, 0), 0.1, 1e-12);
    dist.distance = kDistJC;
    ASSERT_EQ(compute(), 0);
    EXPECT_NEAR(D(1, 0), -0.75 * std::log(1 - 0.4 / 3), 1e-12);
    EXPECT_NEAR(D(1, 0), 0.10733, 5e-6);
    // Identical sequences give a zero, not an undefined distance.
    EXPECT_EQ(D(3, 0), 0.0);
    EXPECT_EQ(gComputedDistances->nZero, 1u);
    EXPECT_EQ(gComputedDistances->nUndefined, 0u);
    dist.rates = 1;
    dist.shape = 0.5;
    ASSERT_EQ(compute(), 0);
    EXPECT_NEAR(D(1, 0), 0.12426, 5e-6);
    dist.rates = 0;
    dist.distance = kDistK2P;
    ASSERT_EQ(compute(), 0);
    EXPECT_NEAR(D(2, 0), 0.17018, 5e-6);
    EXPECT_NEAR(D(2, 0), -0.5 * std::log(0.75) - 0.25 * std::log(0.9), 1e-12);
}

TEST_F(DistanceTest, TaxonOfMissingCellsIsUndefinedAndReplaced)
{
    ASSERT_EQ(read(withMissingTaxon()), 0);
    dist.distance = kDistJC;
    ASSERT_EQ(compute(), 0);
    const double largest = -0.75 * std::log(1 - 4.0 / 3 * 0.25);  // B-C
    EXPECT_EQ(gComputedDistances->nUndefined, 4u);
    EXPECT_NEAR(gComputedDistances->maxDistance, 2 * largest, 1e-12);
    for (uint32_t t = 0; t < 4; ++t)
        EXPECT_NEAR(D(4, t), 2 * largest, 1e-12);
    ASSERT_EQ(gWarnings.size(), 2u);
    EXPECT_EQ(gWarnings[1], 817u);
    EXPECT_NE(testcap::gOut.find("contains 4 undefined distance(s)"), std::string::npos) << testcap::gOut;
    EXPECT_NE(testcap::gOut.find("set to 2 times the maximum"), std::string::npos);
    EXPECT_NE(testcap::gOut.find("The first such taxon pair was 1 (A) and 5 (E)"), std::string::npos);
    // With B deleted, E is the fourth active taxon but still taxon 5 to the
    // user, as ShowDist numbers it.
    DataInfo *d = activeDataInfo();
    Set *before = cloneSet(d->taxa.deleted);
    addSetMember(d->taxa.deleted, 1);
    ASSERT_EQ(finishTaxMove(before, d->taxa.deleted, d, false, false, false, true, false, false, true), 0);
    deallocSet(before);
    testcap::gOut.clear();
    ASSERT_EQ(compute(), 0);
    EXPECT_NE(testcap::gOut.find("The first such taxon pair was 1 (A) and 5 (E)"), std::string::npos)
        << testcap::gOut;
    // Nothing defined at all is an error, and the matrix is not kept.
    ASSERT_EQ(read(dataBlock({{"a", "AC??"}, {"b", "??GT"}})), 0);
    EXPECT_EQ(compute(), 1);
    EXPECT_EQ(testcap::gErrorCodes.back(), 816u);
    EXPECT_FALSE(gDistancesValid);
}

TEST_F(DistanceTest, AmbiguousCellsAreSpreadOrIgnored)
{
    // Site 0 holds R against A; the other sites give F over A and G.
    ASSERT_EQ(read(dataBlock({{"x", "RAAAGGG"}, {"y", "AAAGGGA"}})), 0);
    dist.distance = kDistP;
    ASSERT_EQ(compute(), 0);
    // Unambiguous F: AA 2, AG 1, GA 1, GG 2 of 6 sites. R-A spreads in
    // proportion to F[A][A] and F[G][A]: 2/3 to A-A and 1/3 to G-A.
    const double expected = (1 + 1 + 1.0 / 3) / 7;
    EXPECT_NEAR(D(1, 0), expected, 1e-12);
    dist.missDist = 1;
    ASSERT_EQ(compute(), 0);
    EXPECT_NEAR(D(1, 0), 2.0 / 6, 1e-12);
}

TEST_F(DistanceTest, InvariableSitesScaleTheDistance)
{
    ASSERT_EQ(read(fourTaxa()), 0);
    dist.distance = kDistJC;
    dist.pInvar = 0.2;
    dist.removeFreq = 1;  // equal: 0.2 x 100 / 4 off each diagonal cell
    ASSERT_EQ(compute(), 0);
    const double p = 10.0 / 80;
    EXPECT_NEAR(D(1, 0), 0.8 * -0.75 * std::log(1 - 4 * p / 3), 1e-12);
}

TEST_F(DistanceTest, InvariableSitesLeaveInProportionToIteratedFrequencies)
{
    // Cells over all sites: A 12, C 2, G 3, T 2 and one R. Shared out in
    // proportion to the frequencies until they settle, R is 4/5 A, so A is
    // 0.64 and G 0.16 (an equal split would give 0.625 and 0.175).
    ASSERT_EQ(read(dataBlock({{"x", "AAAAAAGCTR"}, {"y", "AAAAAGGCTA"}})), 0);
    dist.distance = kDistF81;
    dist.pInvar = 0.2;
    dist.missDist = 1;  // R-A is left out of the nine compared sites
    // 1.8 sites leave the diagonal (A-A 5, G-G, C-C, T-T 1) by frequency;
    // the A-G site stays.
    auto f81 = [](double fA, double fG) {
        const double m = 0.2 * 9, total = 9 - m;
        const double aa = 5 - fA * m, gg = 1 - fG * m, cc = 1 - 0.1 * m;
        const double pi[4] = {(2 * aa + 1) / 2 / total, cc / total, (2 * gg + 1) / 2 / total, cc / total};
        double B = 1;
        for (double x : pi)
            B -= x * x;
        return 0.8 * -B * std::log(1 - 1 / total / B);
    };
    ASSERT_GT(std::fabs(f81(0.64, 0.16) - f81(0.625, 0.175)), 1e-4);
    ASSERT_EQ(compute(), 0) << testcap::gErrorText;
    EXPECT_NEAR(D(1, 0), f81(0.64, 0.16), 1e-12);
}

TEST_F(DistanceTest, TypeChecksReportTheirCodes)
{
    ASSERT_EQ(read(dataBlock({{"a", "MKVLA"}, {"b", "MKVLA"}, {"c", "MRVIA"}}, "datatype=protein")), 0);
    struct Case {
        uint32_t type;
        uint32_t code;
    } cases[] = {{kDistK2P, 819}, {kDistGTR, 819}, {kDistF81, 819}, {kDistUser, 813}};
    for (const Case &c : cases) {
        dist.distance = c.type;
        testcap::gErrorCodes.clear();
        EXPECT_EQ(compute(), 1) << c.type;
        ASSERT_FALSE(testcap::gErrorCodes.empty()) << c.type;
        EXPECT_EQ(testcap::gErrorCodes.back(), c.code) << c.type;
    }
    EXPECT_EQ(checkDistType(kDistK2P, false, activeDataInfo()), 1);
    EXPECT_EQ(testcap::gErrorCodes.back(), 801u);
    // Protein data take P and JC by their n-state forms.
    dist.distance = kDistJC;
    ASSERT_EQ(compute(), 0) << testcap::gErrorText;
    const double p = 2.0 / 5;
    EXPECT_NEAR(D(2, 0), -19.0 / 20 * std::log(1 - 20.0 / 19 * p), 1e-12);
    dist.distance = kDistTajNei;
    ASSERT_EQ(read(fourTaxa()), 0);
    dist.rates = 1;
    dist.distance = kDistLogDet;
    EXPECT_EQ(compute(), 1);
    EXPECT_EQ(testcap::gErrorCodes.back(), 804u);
    dist.rates = 0;
    dist.distance = kDistTajNei;
    dist.subst = kSubstTRatio;
    EXPECT_EQ(compute(), 1);
    EXPECT_EQ(testcap::gErrorCodes.back(), 808u);
    dist.subst = kSubstTv;
    EXPECT_EQ(compute(), 1);
    EXPECT_EQ(testcap::gErrorCodes.back(), 809u);
    // Ti/tv ratios can be shown, but no tree is built or scored on them.
    dist.distance = kDistK2P;
    dist.subst = kSubstTRatio;
    ASSERT_EQ(compute(), 0) << testcap::gErrorText;
    testcap::gErrorCodes.clear();
    EXPECT_EQ(setDistances(kDMatrixForDistance, true, activeDataInfo()), 1);
    ASSERT_FALSE(testcap::gErrorCodes.empty());
    EXPECT_EQ(testcap::gErrorCodes.back(), 807u);
}

TEST_F(DistanceTest, OtherDataRefuseModelDistancesWithTheirMessages)
{
    ASSERT_EQ(read(dataBlock({{"a", "0011"}, {"b", "0101"}, {"c", "1100"}}, "symbols=\"01\"")), 0);
    dist.distance = kDistUpholt;
    EXPECT_EQ(compute(), 1);
    EXPECT_NE(testcap::gErrorText.find("The 'Upholt' distance is not allowed in this context"), std::string::npos)
        << testcap::gErrorText;
    dist.distance = kDistJC;
    EXPECT_EQ(compute(), 1);
    EXPECT_NE(testcap::gErrorText.find("only variable sites are present"), std::string::npos);
    dist.distance = kDistP;
    ASSERT_EQ(compute(), 0) << testcap::gErrorText;
    EXPECT_NEAR(D(1, 0), 0.5, 1e-12);
    EXPECT_NEAR(D(2, 1), 0.5, 1e-12);
}

TEST_F(DistanceTest, TotalAndMeanCharacterDifferences)
{
    ASSERT_EQ(read(dataBlock({{"a", "00120"}, {"b", "01100"}, {"c", "1?2?1"}}, "symbols=\"012\"")), 0);
    dist.distance = kDistTotal;
    ASSERT_EQ(compute(), 0) << testcap::gErrorText << testcap::gOut;
    // Unordered characters: a-b differ at sites 2 and 4; a-c at 1, 3 and 5
    // (the missing cells cost nothing); b-c at 1, 3 and 5.
    EXPECT_EQ(D(1, 0), 2.0);
    EXPECT_EQ(D(2, 0), 3.0);
    EXPECT_EQ(D(2, 1), 3.0);
    dist.distance = kDistMean;
    ASSERT_EQ(compute(), 0);
    EXPECT_NEAR(D(1, 0), 2.0 / 5, 1e-12);
    EXPECT_NEAR(D(2, 1), 3.0 / 3, 1e-12);
}

TEST_F(DistanceTest, SameSettingsReuseTheMatrixAndChangesRecompute)
{
    ASSERT_EQ(read(fourTaxa()), 0);
    dist.distance = kDistJC;
    ASSERT_EQ(compute(), 0);
    const double jc = D(1, 0);
    // A marked cell survives a request with the same settings: nothing was
    // computed again.
    gComputedDistances->distances[1][0] = 42.0;
    ASSERT_EQ(compute(), 0);
    EXPECT_EQ(D(1, 0), 42.0);
    dist.undefMult = 3.0;
    ASSERT_EQ(compute(), 0);
    EXPECT_EQ(D(1, 0), jc);
    gComputedDistances->distances[1][0] = 42.0;
    dataServices().invalidateDistances();
    ASSERT_EQ(compute(), 0);
    EXPECT_EQ(D(1, 0), jc);
}

TEST_F(DistanceTest, TypeChangeUnderTotalAndTaxonDeletionRecompute)
{
    ASSERT_EQ(read(dataBlock({{"a", "00120"}, {"b", "01100"}, {"c", "12201"}}, "symbols=\"012\"")), 0);
    dist.distance = kDistTotal;
    ASSERT_EQ(compute(), 0) << testcap::gErrorText;
    gComputedDistances->distances[1][0] = 42.0;
    DataInfo *d = activeDataInfo();
    // Unordered: a-b 2, a-c 5, b-c 4. Character 4 ordered (2 against 0 in a
    // and b, a and c) makes those changes cost 2.
    ASSERT_EQ(set1CharType(3, kCharOrdered, nullptr, d, nullptr), 0);
    EXPECT_FALSE(gDistancesValid);
    ASSERT_EQ(compute(), 0);
    EXPECT_EQ(D(1, 0), 3.0);
    EXPECT_EQ(D(2, 0), 6.0);
    EXPECT_EQ(D(2, 1), 4.0);
    // JC is not computed from character types: a type change keeps it.
    dist.distance = kDistP;
    EXPECT_FALSE(dataServices().isStdDistance(d));
    dist.distance = kDistTotal;
    EXPECT_TRUE(dataServices().isStdDistance(d));
    Set *before = cloneSet(d->taxa.deleted);
    addSetMember(d->taxa.deleted, 0);
    ASSERT_EQ(finishTaxMove(before, d->taxa.deleted, d, false, false, false, true, false, false, true), 0);
    deallocSet(before);
    ASSERT_EQ(compute(), 0);
    EXPECT_EQ(gComputedDistances->ntax, 2u);
    EXPECT_EQ(D(1, 0), 4.0);
}

}  // namespace

namespace {

// Each settings case on its data: the code checkDistType reports.
TEST_F(DistanceTest, RemainingTypeCheckCodes)
{
    DataInfo *d = nullptr;
    auto expectCode = [&](uint32_t type, uint32_t code) {
        testcap::gErrorCodes.clear();
        EXPECT_EQ(checkDistType(type, false, d), 1) << type;
        ASSERT_FALSE(testcap::gErrorCodes.empty()) << type;
        EXPECT_EQ(testcap::gErrorCodes.back(), code) << type;
    };
    ASSERT_EQ(read(dataBlock({{"a", "0011"}, {"b", "0121"}}, "symbols=\"012\"")), 0);
    d = activeDataInfo();
    expectCode(kDistML, 802);
    expectCode(kDistNeiLiSite, 812);
    ASSERT_EQ(read(dataBlock({{"x", "RRYYR"}, {"y", "RYRYR"}})), 0);
    d = activeDataInfo();
    expectCode(kDistK2P, 810);
    dist.subst = kSubstTRatio;
    expectCode(kDistJC, 811);
    dist.subst = kSubstAll;
    ASSERT_EQ(read(dataBlock({{"x", "ACGT"}, {"y", "CGTA"}})), 0);
    d = activeDataInfo();
    dist.pInvar = 0.1;
    dist.estFreq = 1;
    expectCode(kDistJC, 803);
}

TEST_F(DistanceTest, OtherDataCountAndReplaceUndefinedDistances)
{
    // a and b share no site.
    ASSERT_EQ(read(dataBlock({{"a", "MK??"}, {"b", "??VL"}, {"c", "MKVI"}}, "datatype=protein")), 0);
    dist.distance = kDistP;
    ASSERT_EQ(compute(), 0) << testcap::gErrorText;
    EXPECT_EQ(gComputedDistances->nUndefined, 1u);
    EXPECT_FALSE(gComputedDistances->allUndefined);
    EXPECT_EQ(D(2, 0), 0.0);
    EXPECT_NEAR(D(2, 1), 0.5, 1e-12);
    EXPECT_NEAR(D(1, 0), 1.0, 1e-12);  // twice the largest defined distance
    ASSERT_FALSE(gWarnings.empty());
    EXPECT_EQ(gWarnings.back(), 817u);
}

}  // namespace
