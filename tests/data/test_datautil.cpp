#include <random>

#include "data/data_util.h"
#include "data_fixture.h"

namespace {

using datatest::DataFixture;
using datatest::members;
using V = std::vector<uint32_t>;

int gMsTaxa = kMsTaxaUncertain;
int gCriterion = kCriterionParsimony;
int gGapMode = kGapModeMissing;

class DerivedTest : public DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        gMsTaxa = kMsTaxaUncertain;
        gCriterion = kCriterionParsimony;
        gGapMode = kGapModeMissing;
        DataServices s{};
        s.msTaxa = [] { return gMsTaxa; };
        s.criterion = [] { return gCriterion; };
        s.gapMode = [] { return gGapMode; };
        installDataServices(s);
    }
    // Rows of cells, one string per taxon; "?" missing, "-" gap, "(xy)" a
    // combination of the symbols x and y.
    void fill(const std::vector<std::string> &rows)
    {
        for (uint32_t t = 0; t < rows.size(); ++t) {
            const std::string &r = rows[t];
            uint32_t c = 0;
            for (size_t i = 0; i < r.size(); ++i, ++c) {
                uint8_t code;
                if (r[i] == '?') {
                    code = static_cast<uint8_t>(d->nstates);
                } else if (r[i] == '-') {
                    code = kGapCode;
                } else if (r[i] == '(') {
                    uint64_t bits = 0;
                    for (++i; r[i] != ')'; ++i)
                        bits |= uint64_t{1} << stateDex(r[i], d);
                    code = stateBitsToCode(bits, d);
                } else {
                    code = static_cast<uint8_t>(stateDex(r[i], d));
                }
                ASSERT_EQ(setXijRaw(d, t, c, code), 0);
            }
        }
    }
    Set *builtin(NexsetBuiltin b) { return getNexsetSet(&gNexsets.builtins[b]); }
    uint32_t bits(uint32_t c) { return d->status[c] & (kCharConstant | kCharUninformative | kCharMissingOrMulti); }
};

TEST_F(DerivedTest, ConstantUninformativeAndInformativeByHand)
{
    // Three symbols, so that {01} is a real combination and not "every state".
    makeData(4, 6, true, "012");
    fill({"000?00", "000?(01)0", "011?0?", "010?11"});
    ASSERT_EQ(initializeDataInfo(d), 0);
    const uint32_t constant = kCharConstant | kCharUninformative;
    EXPECT_EQ(bits(0), constant);
    EXPECT_EQ(bits(1), 0u);                  // 0 0 1 1: informative
    EXPECT_EQ(bits(2), kCharUninformative);  // 0 0 1 0: one repeated state only
    EXPECT_EQ(bits(3), constant | kCharMissingOrMulti);
    EXPECT_EQ(bits(4), kCharMissingOrMulti);  // 0 {01} 0 1: informative
    EXPECT_EQ(bits(5), kCharUninformative | kCharMissingOrMulti);
    EXPECT_EQ(members(builtin(kBuiltinConstant)), (V{1, 4}));
    EXPECT_EQ(members(builtin(kBuiltinUninf)), (V{3, 6}));
    EXPECT_EQ(members(builtin(kBuiltinAllMissing)), V{4});
    EXPECT_STREQ(d->obsSymbols[1], "01");
    EXPECT_STREQ(d->obsSymbols[3], "?");
    EXPECT_EQ(d->obsCount[3], 0);
    EXPECT_TRUE(missingDataIncluded(d));
    EXPECT_TRUE(msTaxaIncluded(d));
    EXPECT_FALSE(polyMsTaxaIncluded(d));
}

// A gap is a state of its own to parsimony alone; elsewhere it, and a
// combination of every state, shows no state at all.
TEST_F(DerivedTest, GapsAsANewStateOutsideParsimony)
{
    makeData(5, 2, true, "012");
    d->gapSymbol = '-';
    fill({"00", "11", "-1", "1(012)", "-2"});
    gGapMode = kGapModeNewState;
    ASSERT_EQ(initializeDataInfo(d), 0);
    EXPECT_STREQ(d->obsSymbols[0], "01-");
    EXPECT_EQ(d->obsCount[0], 3);
    EXPECT_EQ(bits(0), 0u);  // 0 1 - 1 -: two states twice
    EXPECT_EQ(d->obsCount[1], 3);
    for (int criterion : {kCriterionLikelihood, kCriterionDistance}) {
        gCriterion = criterion;
        ASSERT_EQ(initializeDataInfo(d), 0);
        EXPECT_STREQ(d->obsSymbols[0], "01");
        EXPECT_EQ(d->obsCount[0], 2);
        EXPECT_EQ(bits(0), kCharUninformative | kCharMissingOrMulti);
        EXPECT_STREQ(d->obsSymbols[1], "012");
        EXPECT_EQ(d->obsCount[1], 3);
        EXPECT_FALSE(d->cls.multistate);
    }
    gGapMode = kGapModeMissing;
    ASSERT_EQ(initializeDataInfo(d), 0);
    EXPECT_EQ(d->obsCount[0], 2);
}

TEST_F(DerivedTest, UncertaintyVersusPolymorphismAndTheAncestor)
{
    makeData(4, 2, true, "ACGT");
    fill({"AA", "(AG)A", "??", "?A"});
    ASSERT_EQ(initializeDataInfo(d), 0);
    EXPECT_TRUE(d->status[0] & kCharConstant);
    gMsTaxa = kMsTaxaPolymorph;
    ASSERT_EQ(initializeDataInfo(d), 0);
    EXPECT_EQ(bits(0), kCharUninformative | kCharMissingOrMulti);
    EXPECT_TRUE(polyMsTaxaIncluded(d));
    // The ancestral states take part: an ancestor G makes character 2 vary.
    EXPECT_TRUE(d->status[1] & kCharConstant);
    d->ancestor[1] = static_cast<uint8_t>(stateDex('G', d));
    ASSERT_EQ(initializeDataInfo(d), 0);
    EXPECT_EQ(bits(1), kCharUninformative | kCharMissingOrMulti);
}

TEST_F(DerivedTest, ClassFlagsOfIncludedCharacters)
{
    makeData(4, 5);
    fill({"0000?", "0011?", "1101?", "1111?"});
    d->status[1] = (d->status[1] & ~kCharTypeMask) | kCharDollo;
    d->status[2] = (d->status[2] & ~kCharTypeMask) | kCharIrreversible;
    d->status[3] |= kCharExcluded;
    ASSERT_EQ(checkCharStatusUpdate(d), 0);
    EXPECT_TRUE(d->statusUpToDate);
    EXPECT_FALSE(allCharsIncluded(d));
    // An unordered two-state character packs as ordered.
    EXPECT_TRUE(wagCharsIncluded(d));
    EXPECT_FALSE(unordCharsIncluded(d));
    EXPECT_TRUE(dolloCharsIncluded(d));
    EXPECT_TRUE(irrevCharsIncluded(d));
    EXPECT_TRUE(nonRevCharsIncluded(d));
    EXPECT_TRUE(nonFreeRevCharsIncluded(d));
    EXPECT_TRUE(nonWagUnoCharsIncluded(d));
    EXPECT_TRUE(freeRevCharsIncluded(d));
    EXPECT_TRUE(revCharsIncluded(d));
    EXPECT_FALSE(stepmatCharsIncluded(d));
    EXPECT_TRUE(d->cls.constant);  // the all-missing character
    EXPECT_TRUE(d->cls.nonNucleotide);
    EXPECT_FALSE(d->cls.nucleotide);
    // The all-missing character has none of 0, 1, - and +.
    EXPECT_FALSE(d->allTwoState01);
    EXPECT_EQ(d->maxObsStates, 2u);
    // Excluding the Dollo character clears its flag on the next update.
    Set *saved = saveExclusionStatus(d);
    EXPECT_EQ(members(saved), V{4});
    d->status[1] |= kCharExcluded;
    d->statusUpToDate = 0;
    ASSERT_EQ(checkCharStatusUpdate(d), 0);
    EXPECT_FALSE(dolloCharsIncluded(d));
    restoreExclusionStatus(saved, d);
    EXPECT_FALSE(d->statusUpToDate);
    EXPECT_FALSE(d->status[1] & kCharExcluded);
    EXPECT_TRUE(d->status[3] & kCharExcluded);
    deallocSet(saved);
}

TEST_F(DerivedTest, NucleotideAndAminoAcidCompatibility)
{
    makeData(2, 3, true, "ACDEGT");
    fill({"ADE", "CDG"});
    ASSERT_EQ(updateCharStatus(d), 0);
    EXPECT_TRUE(d->status[0] & kCharNucleotide);   // A C
    EXPECT_FALSE(d->status[1] & kCharNucleotide);  // D
    EXPECT_TRUE(d->status[1] & kCharAminoAcid);
    EXPECT_TRUE(d->cls.nonNucleotide && d->cls.nucleotide && d->cls.aminoAcid && !d->cls.nonAminoAcid);
    initCharInclusionFlags(d);
    EXPECT_TRUE(d->cls.nonNucleotide && d->cls.nucleotide && allCharsIncluded(d));
}

// A protein column spelt with base letters only is an amino-acid column and
// nothing else, so neither the column nor the class flags say nucleotide.
TEST_F(DerivedTest, ProteinColumnsOfBaseLettersAreNotNucleotide)
{
    makeData(2, 3, true, "ACDEGT");
    d->flags |= kDataProtein;
    d->dataType = kDataTypeProtein;
    fill({"ADC", "CDC"});
    ASSERT_EQ(updateCharStatus(d), 0);
    for (uint32_t c = 0; c < 3; ++c) {
        EXPECT_FALSE(d->status[c] & kCharNucleotide) << c;
        EXPECT_TRUE(d->status[c] & kCharAminoAcid) << c;
    }
    EXPECT_TRUE(!d->cls.nucleotide && d->cls.nonNucleotide && d->cls.aminoAcid);
    initCharInclusionFlags(d);
    EXPECT_TRUE(!d->cls.nucleotide && d->cls.nonNucleotide);
}

// Single-state matrices against the definitions: constant when one state
// occurs, informative when at least two states occur twice or more.
TEST_F(DerivedTest, RandomMatricesMatchTheDefinitions)
{
    std::mt19937 rng(7);
    makeData(7, 40, true, "0123");
    for (int trial = 0; trial < 50; ++trial) {
        for (uint32_t t = 0; t < 7; ++t)
            for (uint32_t c = 0; c < 40; ++c)
                setXijRaw(d, t, c, static_cast<uint8_t>(rng() % (c % 5 + 1) == 4 ? 4 : rng() % (c % 4 + 1)));
        ASSERT_EQ(initializeDataInfo(d), 0);
        for (uint32_t c = 0; c < 40; ++c) {
            uint32_t counts[4] = {};
            for (uint32_t t = 0; t < 7; ++t)
                if (uint8_t code = getXijRaw(d, static_cast<int32_t>(t), c); code < 4)
                    ++counts[code];
            uint32_t seen = 0, repeated = 0;
            for (uint32_t n : counts) {
                seen += n > 0;
                repeated += n > 1;
            }
            SCOPED_TRACE(c);
            EXPECT_EQ(bool(d->status[c] & kCharConstant), seen <= 1);
            EXPECT_EQ(bool(d->status[c] & kCharUninformative), repeated < 2);
            EXPECT_EQ(d->obsCount[c], seen);
        }
    }
}

}  // namespace
