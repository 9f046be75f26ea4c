#include <algorithm>
#include <cmath>
#include <cstring>

#include "data/assump.h"
#include "data/charstat.h"
#include "data/data_util.h"
#include "data/usertypes.h"
#include "data_fixture.h"
#include "data/parminit_data.h"

namespace {

using datatest::DataFixture;
using datatest::gErrors;
using datatest::gOut;

// Six characters over 0-3 on four taxa, by column:
//   1 0000 constant      2 0011 informative     3 0123 uninformative
//   4 0001 uninformative 5 0101 informative     6 0012 uninformative
class CharStatusTest : public DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        qel_finalizeCmdOptions();
        setCmdParamTraverser(traverseDataOptionSets);
        ASSERT_EQ(qel_initializeCmdOptions(), 0);
        makeData(4, 6, true, "0123");
        const char *columns[6] = {"0000", "0011", "0123", "0001", "0101", "0012"};
        for (uint32_t c = 0; c < 6; ++c)
            for (uint32_t t = 0; t < 4; ++t)
                ASSERT_EQ(setXijRaw(d, t, c, static_cast<uint8_t>(columns[c][t] - '0')), 0);
        for (uint32_t c = 0; c < 6; ++c)
            d->status[c] = (d->status[c] & ~kCharTypeMask) | kCharUnordered;
        forceCharInitialization(d);
        charWts.baseWt = 1.0;
    }
    int run(int (*handler)(), const std::string &text)
    {
        feed(text);
        gOut.clear();
        gErrors.clear();
        return handler();
    }
    std::vector<double> weights() const { return {d->weights, d->weights + d->nchar}; }
};

TEST_F(CharStatusTest, SummaryCountsClassesTypesAndWeights)
{
    ASSERT_EQ(run(doCTypeCmd, "ord: 1-2, Dollo.up: 3;"), 0);
    ASSERT_EQ(run(doWeightsCmd, "2: 2 5, 0.5: 6;"), 0);
    ASSERT_EQ(run(doCStatusCmd, ";"), 0);
    EXPECT_EQ(gOut,
              "\nCharacter-status summary:\n"
              "  Current optimality criterion = \bparsimony\n"
              "No characters are excluded\n"
              "Of 6 total characters:\n"
              "2 characters are of type 'ord' (Wagner)\n"
              "3 characters are of type 'unord'\n"
              "1 character is of type 'Dollo.up'\n"
              "3 characters have weight 1\n"
              "2 characters have weight 2\n"
              "1 character has weight 0.5\n"
              "1 character is constant\n"
              "3 variable characters are parsimony-uninformative\n"
              "Nu\bmber of parsimony-informative characters = 2\n");
    EXPECT_EQ(d->status[2] & (kCharTypeMask | kCharDownVariant), kCharDollo);

    // Full listing of the included characters only.
    ASSERT_EQ(run(doExcludeCmd, "4;"), 0);
    ASSERT_EQ(run(doCStatusCmd, "full excluded=hide;"), 0);
    EXPECT_NE(gOut.find("Of the remaining 5 included characters:\n"), std::string::npos);
    EXPECT_NE(gOut.find("Nu\bmber of (included) parsimony-informative characters = 2\n"), std::string::npos);
    EXPECT_NE(gOut.find("1                -              UC            1    \b0\n"), std::string::npos) << gOut;
    EXPECT_NE(gOut.find("3                Dollo.Up       U             1    \b0123\n"), std::string::npos);
    EXPECT_EQ(gOut.find("\n4  "), std::string::npos);
    EXPECT_NE(gOut.find("\n6                Unord          U           0.5    \b012\n"), std::string::npos);
}

TEST_F(CharStatusTest, ExcludeAndIncludeReportMovesAndKeepEliminated)
{
    d->status[5] |= kCharEliminated;
    d->nEliminated = 1;
    updateExcludedSet(d);

    ASSERT_EQ(run(doExcludeCmd, "2-4;"), 0);
    EXPECT_EQ(gOut, "\nCharacter-exclusion status changed:\n3 characters excluded\n"
                    "Total number of characters now excluded = 3\n"
                    "Number of characters hidden by Eliminate (or Zap) command = 1\n"
                    "Number of included characters = 2\n");
    // A change of inclusion leaves the derived data stale.
    EXPECT_EQ(d->dataInitialized, 0);

    ASSERT_EQ(run(doExcludeCmd, "1-2 / only;"), 0);
    EXPECT_EQ(gOut, "\nCharacter-exclusion status changed:\n1 character excluded\n2 characters re-included\n"
                    "Total number of characters now excluded = 2\n"
                    "Number of characters hidden by Eliminate (or Zap) command = 1\n"
                    "Number of included characters = 3\n");
    for (uint32_t c = 0; c < 6; ++c)
        EXPECT_EQ((d->status[c] & kCharExcluded) != 0, c < 2) << c;
    EXPECT_NE(d->status[5] & kCharEliminated, 0u);

    // Nothing moves, yet Include reports the re-included line.
    ASSERT_EQ(run(doIncludeCmd, "all;"), 0);
    ASSERT_EQ(run(doIncludeCmd, "all;"), 0);
    EXPECT_EQ(gOut, "\nCharacter-exclusion status changed:\n0 characters re-included\n"
                    "Total number of characters now excluded = 0\n"
                    "Number of characters hidden by Eliminate (or Zap) command = 1\n"
                    "Number of included characters = 5\n");
    EXPECT_TRUE(isSetMember(d->baseExcluded, 5));
    EXPECT_EQ(card(d->baseExcluded), 1u);

    ASSERT_EQ(run(doIncludeCmd, "3 / only;"), 0);
    EXPECT_EQ(countIncludedCharsInSubset(d->baseExcluded, d), 0u);
    EXPECT_EQ(requireCharData(d), 0);
    ASSERT_EQ(run(doExcludeCmd, "all;"), 0);
    EXPECT_EQ(requireCharData(d), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{435});
}

TEST_F(CharStatusTest, WeightsAssignScaleAndRefuseBadValues)
{
    ASSERT_EQ(run(doWeightsCmd, "2: 1-3;"), 0);
    EXPECT_EQ(weights(), (std::vector<double>{2, 2, 2, 1, 1, 1}));
    ASSERT_EQ(run(doWeightsCmd, "vector 1 2 3 4 5 6.5;"), 0);
    EXPECT_EQ(weights(), (std::vector<double>{1, 2, 3, 4, 5, 6.5}));
    EXPECT_EQ(gNexsets.curWtset, nullptr);
    EXPECT_FALSE(arePatternWeightsValid());

    // Observed states 1, 2, 4, 2, 2, 3: k is one less.
    ASSERT_EQ(run(doWeightsCmd, "scale: all;"), 0);
    const std::vector<double> w = weights();
    const std::vector<double> expected{0, 1, 1.0 / 3, 1, 1, 0.5};
    for (size_t c = 0; c < 6; ++c)
        EXPECT_DOUBLE_EQ(w[c], expected[c]) << c;
    ASSERT_EQ(run(doWeightsCmd, "scale baseWt=10: all;"), 0);
    EXPECT_EQ(weights(), (std::vector<double>{0, 10, 3, 10, 10, 5}));

    // Every refusal leaves the weights and the weight set as they were.
    Nexset *equal = &gNexsets.builtins[kBuiltinEqualWts];
    gNexsets.curWtset = equal;
    const std::vector<double> before = weights();
    // A literal too long for the word buffer (its head alone would read 0).
    const std::string longLiteral = "0." + std::string(100000, '0') + "1: 1;";
    const std::string longInVector = "vector " + longLiteral.substr(0, longLiteral.size() - 4) + " 1 1 1 1 1;";
    struct Bad {
        const char *text;
        uint32_t error;
    } bad[] = {{"1e21: 1;", 405}, {"x: 1;", 413},   {"-1: 2;", 413},         {"nan: 2;", 413},
               {"inf: 2;", 413},  {"3 1;", 203},    {"vector 1 2 3;", 118},  {"vecto 1;", 413},
               {"4: 1, 1e300: 2;", 405}, {longLiteral.c_str(), 413}, {longInVector.c_str(), 413}};
    for (const Bad &b : bad) {
        SCOPED_TRACE(std::string(b.text).substr(0, 40));
        EXPECT_EQ(run(doWeightsCmd, b.text), 1);
        EXPECT_EQ(gErrors, std::vector<uint32_t>{b.error});
        EXPECT_EQ(weights(), before);
        EXPECT_EQ(gNexsets.curWtset, equal);
    }
}

TEST_F(CharStatusTest, TypesAreAppliedItemByItem)
{
    ASSERT_EQ(run(doCTypeCmd, "Dollo.up: 1-4, irrev.dn: 5;"), 0);
    EXPECT_EQ(d->status[0] & kCharTypeMask, kCharDollo);
    EXPECT_EQ(d->status[4] & (kCharTypeMask | kCharDownVariant), kCharIrreversible | kCharDownVariant);
    char name[32];
    EXPECT_STREQ(getCharTypeString(d, 4, name, sizeof name), "Irrev.Dn");
    EXPECT_EQ(gNexsets.curTypeset, nullptr);

    // The first item applies before the unknown name stops the command.
    EXPECT_EQ(run(doCTypeCmd, "ord: 1, bogus: 2;"), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{414});
    EXPECT_EQ(d->status[0] & kCharTypeMask, kCharOrdered);
    EXPECT_EQ(d->status[1] & kCharTypeMask, kCharDollo);
    EXPECT_EQ(run(doCTypeCmd, "ord 1;"), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{203});

    // The default type is the row its name matches: Dollo stays Dollo.
    ASSERT_EQ(setDefltCharType(nullptr, d, "Dollo"), 0);
    for (uint32_t c = 0; c < 6; ++c)
        EXPECT_EQ(d->status[c] & (kCharTypeMask | kCharDownVariant), kCharDollo) << c;
    ASSERT_EQ(setDefltCharType(nullptr, d, "Wagner"), 0);
    EXPECT_EQ(d->status[3] & kCharTypeMask, kCharOrdered);
}

// The default type is not only for characters yet to come: a change retypes
// every character of the data set and drops the typeset they followed.
TEST_F(CharStatusTest, DefaultTypeChangeRetypesEveryCharacter)
{
    ASSERT_EQ(run(doCTypeCmd, "Dollo.up: 3;"), 0);
    gNexsets.curTypeset = &gNexsets.builtins[kBuiltinAllUnord];
    ASSERT_EQ(run(doAssumOptions, "deftype=ord;"), 0);
    for (uint32_t c = 0; c < 6; ++c)
        EXPECT_EQ(d->status[c] & (kCharTypeMask | kCharDownVariant), kCharOrdered) << c;
    EXPECT_EQ(gNexsets.curTypeset, nullptr);
    ASSERT_EQ(run(doCStatusCmd, ";"), 0);
    EXPECT_NE(gOut.find("All characters are of type 'ord' (Wagner)\n"), std::string::npos) << gOut;

    // Naming the same type again (Wagner is ord) changes nothing, so a later
    // CType stands; an unknown name leaves every type as it was.
    ASSERT_EQ(run(doCTypeCmd, "irrev.up: 2;"), 0);
    ASSERT_EQ(run(doAssumOptions, "deftype=Wagner;"), 0);
    EXPECT_EQ(d->status[1] & kCharTypeMask, kCharIrreversible);
    EXPECT_EQ(run(doAssumOptions, "deftype=foo;"), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{401});
    EXPECT_EQ(d->status[1] & kCharTypeMask, kCharIrreversible);
    EXPECT_EQ(d->status[0] & kCharTypeMask, kCharOrdered);

    ASSERT_EQ(run(doAssumOptions, "deftype=Dollo.dn;"), 0);
    for (uint32_t c = 0; c < 6; ++c)
        EXPECT_EQ(d->status[c] & (kCharTypeMask | kCharDownVariant), kCharDollo | kCharDownVariant) << c;
    ASSERT_EQ(run(doAssumOptions, "deftype=unord;"), 0);
    EXPECT_EQ(d->status[4] & (kCharTypeMask | kCharDownVariant), kCharUnordered);
}

// A stepmatrix over 0 and 1 fits characters 2 (0011) and 5 (0101), not 3
// (0123); the whole-data check, which the gap-mode change relies on, skips
// eliminated characters.
TEST_F(CharStatusTest, StepmatrixTypesMustCoverTheObservedStates)
{
    char symbols[] = "01";
    UserType u01{};
    std::strcpy(u01.name, "u01");
    u01.symbols = symbols;
    u01.n = 2;
    struct Registered {
        explicit Registered(UserType *ut) { gFirstUsertype = ut; }
        ~Registered() { gFirstUsertype = nullptr; }
    } registered(&u01);

    ASSERT_EQ(run(doCTypeCmd, "U01: 2 5;"), 0);
    EXPECT_EQ(d->status[1] & kCharTypeMask, kCharUserType);
    EXPECT_EQ(d->userTypes[4], &u01);
    char name[32];
    EXPECT_STREQ(getCharTypeString(d, 1, name, sizeof name), "u01");
    EXPECT_EQ(checkAllStmCompat(d, false), 0);

    EXPECT_EQ(run(doCTypeCmd, "u01: 3;"), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{412});
    EXPECT_EQ(d->status[2] & kCharTypeMask, kCharUnordered);
    EXPECT_EQ(d->userTypes[2], nullptr);

    // Assigned behind the check's back, as an edited matrix would leave it.
    d->userTypes[2] = &u01;
    d->status[2] = (d->status[2] & ~kCharTypeMask) | kCharUserType;
    gErrors.clear();
    EXPECT_EQ(checkAllStmCompat(d, false), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{412});
    d->status[2] |= kCharEliminated;
    EXPECT_EQ(checkAllStmCompat(d, true), 0);
    std::fill_n(d->userTypes, d->nchar, nullptr);
}

TEST(CharWeightFormat, ScaledWeightsAndFormatting)
{
    EXPECT_EQ(calcScaledWt(1.0, 2), 1.0);
    EXPECT_DOUBLE_EQ(calcScaledWt(1.0, 4), 1.0 / 3);
    EXPECT_EQ(calcScaledWt(1.0, 1), 0.0);
    EXPECT_EQ(calcScaledWt(10.0, 4), 3.0);
    EXPECT_EQ(calcScaledWt(10.0, 5), 3.0);  // 2.5 rounds up
    EXPECT_EQ(calcScaledWt(10.0, 0), 0.0);
    char text[32];
    EXPECT_STREQ(formatCharWt(text, sizeof text, 2.0), "2");
    EXPECT_STREQ(formatCharWt(text, sizeof text, 0.25), "0.25");
    EXPECT_STREQ(formatCharWt(text, sizeof text, 1.0 / 3), "0.33333");
    EXPECT_STREQ(charsIsAreAll(3, 3, text, sizeof text), "All characters are");
    EXPECT_STREQ(charsIsAreAll(1, 3, text, sizeof text), "1 character is");
}

}  // namespace
