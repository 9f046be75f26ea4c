#include "data/charstat.h"
#include "data/prepdata.h"
#include "data_fixture.h"

namespace {

using datatest::DataFixture;
using datatest::gErrors;

// A parsimony layer that only counts: the pending level follows the
// requests as the real one does, each stage lowers it.
struct FakePars {
    int level = 3;
    int prelim = 0, finish = 0, final = 0, checks = 0;
    int distances = 0, mlInits = 0;
    int criterion = kCriterionParsimony;
} gFake;

class PrepDataTest : public DataFixture {
protected:
    const char *symbols_ = "01";
    void SetUp() override
    {
        DataFixture::SetUp();
        gFake = FakePars{};
        DataServices s{};
        s.criterion = [] { return gFake.criterion; };
        s.setNeedParsPrep = [](int level) { gFake.level = std::max(gFake.level, level); };
        s.parsPrepLevel = [] { return gFake.level; };
        s.checkParsimonySettings = [](DataInfo *) { return ++gFake.checks, 0; };
        s.packPrelim = [](DataInfo *) { return ++gFake.prelim, gFake.level = 2, 0; };
        s.packFinish = [](DataInfo *) { return ++gFake.finish, gFake.level = 1, 0; };
        s.finalParsPrep = [](DataInfo *, int) { return ++gFake.final, gFake.level = 0, 0; };
        installDataServices(s);
        makeData(4, 3, true, symbols_);
        for (uint32_t t = 0; t < 4; ++t)
            for (uint32_t c = 0; c < 3; ++c)
                setXijRaw(d, t, c, static_cast<uint8_t>((t >> c) & 1));
    }
};

TEST_F(PrepDataTest, StatusChangeMakesTheNextPreparationRecompute)
{
    ASSERT_EQ(prepareData(kPrepCurrentCriterion, 0, false), 0);
    EXPECT_EQ(gFake.prelim, 1);
    EXPECT_EQ(gFake.finish, 1);
    EXPECT_EQ(gFake.final, 1);
    EXPECT_EQ(d->dataInitialized, 1);

    // Up to date: nothing is repeated.
    ASSERT_EQ(prepareData(kPrepParsimony, 0, false), 0);
    EXPECT_EQ(gFake.prelim + gFake.finish + gFake.final, 3);

    // A weight change needs only the final step.
    afterWtsChange(nullptr, d);
    ASSERT_EQ(prepareData(kPrepParsimony, 0, false), 0);
    EXPECT_EQ(gFake.prelim, 1);
    EXPECT_EQ(gFake.final, 2);
    EXPECT_TRUE(arePatternWeightsValid());

    // An exclusion re-initialises everything.
    Set *list = allocSet(3), *before = createExcludedCharsetCopy(d);
    addSetMember(list, 1);
    ASSERT_EQ(excludeCharacters(list, before, d), 0);
    deallocSet(list);
    deallocSet(before);
    EXPECT_EQ(d->dataInitialized, 0);
    ASSERT_EQ(prepareData(kPrepParsimony, 0, true), 0);
    EXPECT_EQ(gFake.prelim, 2);
    EXPECT_EQ(gFake.final, 2);  // no final step was asked for
    EXPECT_EQ(d->dataInitialized, 1);
    ASSERT_EQ(prepareData(kPrepParsimony, 0, false), 0);
    EXPECT_EQ(gFake.finish, 2);
    EXPECT_EQ(gFake.final, 3);
}

TEST_F(PrepDataTest, CriteriaWithoutTheirSubsystemsAnswerNotAvailable)
{
    gFake.criterion = kCriterionLikelihood;
    EXPECT_EQ(prepareData(kPrepCurrentCriterion, 0, false), 1);
    EXPECT_EQ(gErrors.size(), 1u);
    EXPECT_EQ(gFake.prelim, 1);  // the data are brought up to date all the same
    EXPECT_EQ(gFake.final, 0);   // no packing is wanted under likelihood
    EXPECT_EQ(gFake.checks, 0);
    // Without the final step nothing unavailable is needed.
    EXPECT_EQ(prepareData(kPrepLikelihood, 0, true), 0);

    gErrors.clear();
    EXPECT_EQ(prepareData(kPrepDistance, 0, false), 1);
    EXPECT_EQ(gErrors.size(), 1u);
    EXPECT_EQ(prepareData(kPrepDistance, kPrepNoDistances, false), 0);
}

class PrepDnaTest : public PrepDataTest {
protected:
    void SetUp() override
    {
        symbols_ = "ACGT";
        PrepDataTest::SetUp();
        // A G beside the A and C cells: nucleotides, not purine/pyrimidine
        // coding.
        setXijRaw(d, 0, 0, 2);
    }
};

TEST_F(PrepDnaTest, SitePatternsAreBuiltOnceAndDroppedByAWeightChange)
{
    ASSERT_EQ(prepareDataForPatternBasedAnalysis(d, nullptr), 0) << datatest::gErrorText;
    EXPECT_TRUE(isSitePatternDataValid(activeModelGroup()));
    EXPECT_EQ(activeModelGroup()->dataCodeToState, dataCodeToDna4State);
    afterWtsChange(nullptr, d);
    EXPECT_FALSE(isSitePatternDataValid(activeModelGroup()));
    invalidateSitePatternData(true);
}

// Cells of A and C alone are purines against pyrimidines: two model states.
TEST_F(PrepDnaTest, PurinesAgainstPyrimidinesAreTwoStates)
{
    setXijRaw(d, 0, 0, 0);
    forceCharInitialization(d);
    ASSERT_EQ(prepareDataForPatternBasedAnalysis(d, nullptr), 0) << datatest::gErrorText;
    EXPECT_EQ(activeModelGroup()->dataCodeToState, dataCodeToDna2State);
    invalidateSitePatternData(true);
}

// A conversion with the default model's symbols set to `symbols`.
int dataCodeToAAStateWith(const char *symbols, uint8_t code, const DataInfo *d)
{
    std::strcpy(getDefaultModel()->symbols, symbols);
    return dataCodeToAAState(code, d, nullptr);
}
int dataCodeToStdStateWith(const char *symbols, uint8_t code, const DataInfo *d)
{
    std::strcpy(getDefaultModel()->symbols, symbols);
    return dataCodeToStdState(code, d, nullptr);
}

TEST_F(PrepDataTest, DataCodesBecomeModelStates)
{
    // Data symbols 0 and 1 are no nucleotides.
    EXPECT_EQ(dataCodeToDna4State(0, d, nullptr), 255);
    EXPECT_EQ(dataCodeToDna4State(1, d, nullptr), 255);

    std::strcpy(d->symbols, "ACGTRYU");
    d->nstates = 7;
    const uint8_t dna4[] = {0, 1, 2, 3, 255, 255, 3};
    const uint8_t dna2[] = {0, 1, 0, 1, 0, 1, 1};
    for (uint8_t code = 0; code < 7; ++code) {
        EXPECT_EQ(dataCodeToDna4State(code, d, nullptr), dna4[code]) << int(code);
        EXPECT_EQ(dataCodeToDna2State(code, d, nullptr), dna2[code]) << int(code);
    }
    EXPECT_EQ(dataCodeToDna4State(7, d, nullptr), 255);  // the missing code

    std::strcpy(d->symbols, "cAw");
    d->nstates = 3;
    EXPECT_EQ(dataCodeToAAStateWith("ARNDC", 0, d), 4);
    EXPECT_EQ(dataCodeToAAStateWith("ARNDC", 1, d), 0);
    EXPECT_EQ(dataCodeToAAStateWith("ARNDC", 2, d), 255);
    d->respectCase = 1;
    EXPECT_EQ(dataCodeToStdStateWith("Cab", 0, d), 255);
    EXPECT_EQ(dataCodeToStdStateWith("xcA", 0, d), 1);
    EXPECT_EQ(dataCodeToStdStateWith("xAc", 1, d), 1);
    d->respectCase = 0;
    EXPECT_EQ(dataCodeToStdStateWith("Cab", 0, d), 0);

    d->ryCoding = 1;
    EXPECT_EQ(chooseDataCodeToState(kModelNucleotide, d, false), dataCodeToDna2State);
    EXPECT_EQ(chooseDataCodeToState(kModelRY, d, true), dataCodeToDna4State);
    EXPECT_EQ(chooseDataCodeToState(kModelAminoAcid, d, false), dataCodeToAAState);
    EXPECT_EQ(chooseDataCodeToState(kModelMkv, d, false), dataCodeToStdState);
    resetDefaultModel();
}

}  // namespace
