#include <gtest/gtest.h>

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"

namespace {

// ---- Captured messages -------------------------------------------------------

std::vector<uint32_t> gErrorCodes;
std::string gErrorText;
std::string gPrinted;

int captureError(uint32_t code, const char *format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    gErrorCodes.push_back(code);
    gErrorText = buffer;
    return 1;
}

int capturePrint(const char *format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    gPrinted += buffer;
    return n;
}

// ---- Settings the tests switch -------------------------------------------------

int gCriterion = kCriterionParsimony;
int gGapMode = kGapModeMissing;
int gMsTaxa = kMsTaxaUncertain;
const uint8_t *gAncestor = nullptr;
bool gScripted = false;
std::vector<std::string> gCalls;

void installTestServices()
{
    DataServices s{};
    s.criterion = [] { return gCriterion; };
    s.gapMode = [] { return gGapMode; };
    s.msTaxa = [] { return gMsTaxa; };
    s.currentAncestralStates = [](const DataInfo *) { return gAncestor; };
    s.inPythonBlock = [] { return gScripted; };
    s.disposeML = [](int purging) { gCalls.push_back("disposeML " + std::to_string(purging)); };
    s.setBootJackNChar = [](uint32_t n) { gCalls.push_back("bootJack " + std::to_string(n)); };
    s.setNeedParsPrep = [](int level) { gCalls.push_back("parsPrep " + std::to_string(level)); };
    s.markUserDistancesForAdjustment = [] { gCalls.push_back("userDist"); };
    s.clearTrees = [](int, int) { gCalls.push_back("clearTrees"); };
    installDataServices(s);
}

class DataInfoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedError = qel_errorMsg;
        savedPrint = qel_printf;
        qel_errorMsg = captureError;
        qel_printf = capturePrint;
        gErrorCodes.clear();
        gErrorText.clear();
        gPrinted.clear();
        gCalls.clear();
        gCriterion = kCriterionParsimony;
        gGapMode = kGapModeMissing;
        gMsTaxa = kMsTaxaUncertain;
        gAncestor = nullptr;
        gScripted = false;
        installTestServices();
    }
    void TearDown() override
    {
        for (DataInfo *d : made)
            destroyDataInfo(d);
        setActiveDataInfo(nullptr);
        resetDataServices();
        clearMemoryErrorStatus();
        qel_setAllocFailureCountdown(-1);
        qel_errorMsg = savedError;
        qel_printf = savedPrint;
    }

    // A data set of ntax taxa and nchar characters over the given symbols,
    // every cell missing.
    DataInfo *makeData(const char *symbols, uint32_t ntax, uint32_t nchar, uint32_t flags = 0)
    {
        DataInfo *d = createDataInfo();
        EXPECT_NE(d, nullptr);
        made.push_back(d);
        std::strcpy(d->symbols, symbols);
        d->flags = flags;
        d->nchar = nchar;
        EXPECT_EQ(allocTaxaMemory(d, ntax), 0);
        EXPECT_EQ(initCharInfo(d), 0);
        EXPECT_EQ(initializeRawData(d, 0), 0);
        d->flags |= kHaveTaxa | kHaveCharacters;
        return d;
    }

    std::vector<DataInfo *> made;
    MsgHook savedError = nullptr;
    PrintHook savedPrint = nullptr;
};

uint64_t lowBits(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

std::vector<int> listOf(const DataInfo *d, uint8_t code)
{
    const uint8_t *entry = stateListOfCode(d, code);
    if (!entry)
        return {-1};
    return std::vector<int>(entry + 1, entry + 1 + entry[0]);
}

std::vector<int> membersOf(uint64_t bits)
{
    std::vector<int> m;
    for (; bits; bits &= bits - 1)
        m.push_back(std::countr_zero(bits));
    return m;
}

// ---- Code tables -----------------------------------------------------------------

TEST_F(DataInfoTest, InitialCodesCoverSingleStatesAndMissing)
{
    DataInfo *d = makeData("012", 2, 2);
    ASSERT_EQ(d->nstates, 3u);
    ASSERT_EQ(numStateCodes(d), 4u);
    for (uint8_t s = 0; s < 3; ++s) {
        EXPECT_EQ(stateBitsOfCode(d, s), uint64_t{1} << s);
        EXPECT_EQ(listOf(d, s), std::vector<int>{s});
    }
    EXPECT_EQ(stateBitsOfCode(d, 3), 0x7u);
    EXPECT_EQ(listOf(d, 3), (std::vector<int>{0, 1, 2}));
    // Codes without an entry read as every state and have no list.
    EXPECT_EQ(stateBitsOfCode(d, kGapCode), ~uint64_t{0});
    EXPECT_EQ(stateListOfCode(d, 4), nullptr);
    // Before any cell is stored every cell is missing.
    for (int32_t t = 0; t < 2; ++t)
        for (uint32_t c = 0; c < 2; ++c)
            EXPECT_TRUE(isMissing(t, c, d));
}

TEST_F(DataInfoTest, SymbolsBeyondSixtyThreeAreCapped)
{
    std::string symbols;
    for (int i = 0; i < 64; ++i)
        symbols += static_cast<char>('0' + i);
    DataInfo *d = makeData(symbols.c_str(), 1, 1);
    EXPECT_EQ(d->nstates, 63u);
    EXPECT_EQ(stateBitsOfCode(d, 63), lowBits(63));
    // State 63 does not exist: a set naming it is refused, never folded in.
    EXPECT_EQ(stateBitsToCode(uint64_t{1} << 63, d), kRefusedCode);
    EXPECT_EQ(gErrorCodes.size(), 1u);
}

TEST_F(DataInfoTest, EmptySymbolsGiveMissingCodeZero)
{
    DataInfo *d = makeData("", 1, 1);
    EXPECT_EQ(d->nstates, 0u);
    EXPECT_EQ(numStateCodes(d), 1u);
    EXPECT_EQ(stateBitsOfCode(d, 0), 0u);
    EXPECT_EQ(getXijRaw(d, 0, 0), 0);
    EXPECT_EQ(getXijAsBits(d, 0, 0, nullptr), ~uint64_t{0});
}

TEST_F(DataInfoTest, CombinationsAreNumberedInOrderOfFirstUse)
{
    DataInfo *d = makeData("012", 1, 1);
    EXPECT_EQ(stateBitsToCode(0b011, d), 4);
    EXPECT_EQ(stateBitsToCode(0b110, d), 5);
    EXPECT_EQ(stateBitsToCode(0b011, d), 4);
    // Every state as a combination is a combination code, not the missing code.
    EXPECT_EQ(stateBitsToCode(0b111, d), 6);
    EXPECT_EQ(stateBitsToCode(0b100, d), 2);
    EXPECT_EQ(stateBitsToCode(0, d), 3);
    EXPECT_EQ(numStateCodes(d), 7u);
    EXPECT_EQ(listOf(d, 5), (std::vector<int>{1, 2}));
    EXPECT_EQ(listOf(d, 6), (std::vector<int>{0, 1, 2}));

    Set *set = allocSet(64);
    addSetMember(set, 0);
    addSetMember(set, 2);
    EXPECT_EQ(stateSetToCode(set, d), 7);
    deallocSet(set);
    EXPECT_EQ(trimStateCodeTables(d), 0);
    EXPECT_EQ(stateBitsOfCode(d, 7), 0b101u);
    EXPECT_TRUE(gErrorCodes.empty());
}

TEST_F(DataInfoTest, CombinationOverflowIsRefusedWithoutWrapping)
{
    // Eight states: codes 0..7, missing 8, so 245 combinations fit (9..253).
    DataInfo *d = makeData("ABCDEFGH", 1, 1);
    std::vector<uint64_t> combos;
    for (uint64_t bits = 1; bits < 256; ++bits)
        if (!std::has_single_bit(bits))
            combos.push_back(bits);
    ASSERT_GT(combos.size(), 245u);
    for (size_t i = 0; i < 245; ++i)
        ASSERT_EQ(stateBitsToCode(combos[i], d), 9 + i) << i;
    EXPECT_EQ(numStateCodes(d), kMaxStateCodes);
    EXPECT_TRUE(gErrorCodes.empty());

    EXPECT_EQ(stateBitsToCode(combos[245], d), kRefusedCode);
    ASSERT_EQ(gErrorCodes.size(), 1u);
    EXPECT_EQ(gErrorCodes[0], 0u);
    EXPECT_NE(gErrorText.find("cannot exceed 254."), std::string::npos);
    EXPECT_EQ(numStateCodes(d), kMaxStateCodes);
    // Known sets still resolve after the refusal.
    EXPECT_EQ(stateBitsToCode(combos[0], d), 9);
    EXPECT_EQ(stateBitsToCode(combos[244], d), 253);
    EXPECT_EQ(stateBitsToCode(0b1000, d), 3);
    EXPECT_EQ(stateBitsToCode(combos[246], d), kRefusedCode);
    EXPECT_EQ(gErrorCodes.size(), 2u);
}

// ---- Cells against a naive reference ------------------------------------------

TEST_F(DataInfoTest, RandomCellsRoundTripAgainstNaiveCoding)
{
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 20; ++round) {
        const uint32_t nsym = 2 + rng() % 7, ntax = 1 + rng() % 12, nchar = 1 + rng() % 40;
        std::string symbols("ACGTRYKM", nsym);
        DataInfo *d = makeData(symbols.c_str(), ntax, nchar);

        // Reference: a cell is a state set, 0 for missing, ~0 for a gap.
        std::map<uint64_t, uint8_t> naive;
        uint32_t nextCode = nsym + 1;
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar));
        for (uint32_t t = 0; t < ntax; ++t) {
            for (uint32_t c = 0; c < nchar; ++c) {
                uint64_t kind = rng() % 10, bits;
                if (kind == 0)
                    bits = 0;
                else if (kind == 1)
                    bits = ~uint64_t{0};
                else if (kind < 6)
                    bits = uint64_t{1} << (rng() % nsym);
                else
                    bits = (rng() & lowBits(nsym)) | 1;
                cells[t][c] = bits;

                uint8_t expected;
                if (bits == 0)
                    expected = static_cast<uint8_t>(nsym);
                else if (bits == ~uint64_t{0})
                    expected = kGapCode;
                else if (std::has_single_bit(bits))
                    expected = static_cast<uint8_t>(std::countr_zero(bits));
                else if (auto it = naive.find(bits); it != naive.end())
                    expected = it->second;
                else
                    expected = naive[bits] = static_cast<uint8_t>(nextCode++);

                uint8_t code = bits == ~uint64_t{0} ? kGapCode : stateBitsToCode(bits, d);
                ASSERT_EQ(code, expected);
                ASSERT_EQ(setXijRaw(d, t, c, code), 0);
            }
        }
        ASSERT_EQ(numStateCodes(d), nextCode);
        for (uint32_t t = 0; t < ntax; ++t) {
            for (uint32_t c = 0; c < nchar; ++c) {
                uint64_t bits = cells[t][c];
                uint64_t want = (bits == 0 || bits == ~uint64_t{0}) ? ~uint64_t{0} : bits;
                auto taxon = static_cast<int32_t>(t);
                ASSERT_EQ(getXijAsBits(d, taxon, c, nullptr), want);
                ASSERT_EQ(isMissing(taxon, c, d), bits == 0);
                ASSERT_EQ(isGap(taxon, c, d), bits == ~uint64_t{0});
                uint8_t code = getXijRaw(d, taxon, c);
                if (code < numStateCodes(d) && code != nsym) {
                    ASSERT_EQ(listOf(d, code), membersOf(bits));
                }
            }
        }
    }
    EXPECT_TRUE(gErrorCodes.empty());
}

TEST_F(DataInfoTest, CellAccessNeverReadsOutOfRange)
{
    DataInfo *d = makeData("01", 3, 4);
    ASSERT_EQ(setXijRaw(d, 2, 3, 1), 0);
    EXPECT_EQ(getXijRaw(d, 2, 3), 1);
    EXPECT_EQ(getXijRaw(d, 3, 0), 2);
    EXPECT_EQ(getXijRaw(d, 0, 4), 2);
    EXPECT_EQ(getXijRaw(d, INT32_MAX, 0), 2);
    EXPECT_EQ(setXijRaw(d, 3, 0, 0), 1);
    EXPECT_EQ(setXijRaw(d, 0, 4, 0), 1);
    // 254 is never stored, nor a code that has no entry yet.
    EXPECT_EQ(setXijRaw(d, 0, 0, kRefusedCode), 1);
    EXPECT_EQ(setXijRaw(d, 0, 0, 3), 1);
    EXPECT_EQ(setXijRaw(d, 0, 0, kGapCode), 0);
}

TEST_F(DataInfoTest, NoMatrixReadsAsMissing)
{
    DataInfo *d = createDataInfo();
    made.push_back(d);
    std::strcpy(d->symbols, "ACGT");
    d->nchar = 5;
    ASSERT_EQ(allocTaxaMemory(d, 3), 0);
    ASSERT_EQ(buildInitialStateCodes(d), 0);
    EXPECT_FALSE(dataMatrixAllocated(d));
    for (int32_t t = -1; t < 3; ++t)
        for (uint32_t c = 0; c < 5; ++c)
            EXPECT_EQ(getXijRaw(d, t, c), 4);
    d->compactStorage = 1;
    EXPECT_EQ(getXijRaw(d, 1, 1), 4);
}

// ---- Missing, gaps and ancestors -------------------------------------------

TEST_F(DataInfoTest, MissingAndGapStateSetsFollowCriterionAndGapMode)
{
    DataInfo *d = makeData("012", 2, 3);
    ASSERT_EQ(setXijRaw(d, 0, 0, kGapCode), 0);
    ASSERT_EQ(setXijRaw(d, 0, 1, stateBitsToCode(0b111, d)), 0);  // every state, as a combination
    ASSERT_EQ(setXijRaw(d, 0, 2, stateBitsToCode(0b011, d)), 0);

    EXPECT_EQ(getXijAsBits(d, 1, 0, nullptr), ~uint64_t{0});  // missing
    EXPECT_EQ(getXijAsBits(d, 0, 0, nullptr), ~uint64_t{0});  // gap, gapMode missing
    EXPECT_TRUE(isMissingOrGapMiss(0, 0, d));
    EXPECT_TRUE(isMissingOrGapMiss(0, 1, d));
    EXPECT_FALSE(isMissingOrGapMiss(0, 2, d));
    EXPECT_TRUE(isMissingOrGapMiss(1, 2, d));

    gGapMode = kGapModeNewState;
    EXPECT_EQ(getXijAsBits(d, 0, 0, nullptr), uint64_t{1} << 3);
    EXPECT_EQ(getXijAsBits(d, 1, 0, nullptr), ~uint64_t{0});
    EXPECT_FALSE(isMissingOrGapMiss(0, 0, d));
    EXPECT_FALSE(isMissingOrGapMiss(0, 1, d));
    EXPECT_TRUE(isMissingOrGapMiss(1, 0, d));

    gCriterion = kCriterionLikelihood;
    EXPECT_EQ(getXijAsBits(d, 0, 0, nullptr), ~uint64_t{0});
    gCriterion = kCriterionDistance;
    EXPECT_EQ(getXijAsBits(d, 0, 0, nullptr), ~uint64_t{0});
}

TEST_F(DataInfoTest, NegativeTaxonReadsAncestralStates)
{
    DataInfo *d = makeData("01", 2, 3);
    for (uint32_t c = 0; c < 3; ++c)
        EXPECT_EQ(getXijRaw(d, -1, c), 2);
    d->ancestor[1] = 0;
    EXPECT_EQ(getXijRaw(d, -1, 1), 0);
    const uint8_t user[3] = {1, 1, 0};
    gAncestor = user;
    EXPECT_EQ(getXijRaw(d, -1, 0), 1);
    EXPECT_EQ(getXijAsBits(d, -1, 2, nullptr), 1u);
    EXPECT_FALSE(isPolymorphicMST(-1, 0, d));
}

TEST_F(DataInfoTest, PolymorphismFollowsMsTaxa)
{
    DataInfo *d = makeData("01", 2, 2);
    addBitVecMember(d->polyCells->rows[1], 0);
    EXPECT_FALSE(isPolymorphicMST(1, 0, d));
    gMsTaxa = kMsTaxaPolymorph;
    EXPECT_TRUE(isPolymorphicMST(0, 0, d));
    gMsTaxa = kMsTaxaVariable;
    EXPECT_TRUE(isPolymorphicMST(1, 0, d));
    EXPECT_FALSE(isPolymorphicMST(0, 0, d));
    EXPECT_FALSE(isPolymorphicMST(1, 1, d));
    EXPECT_FALSE(isPolymorphicMST(5, 0, d));
}

TEST_F(DataInfoTest, StateBitsMapBetweenSymbolOrders)
{
    DataInfo *d = makeData("ACGT", 1, 1);
    std::strcpy(d->parsSymbols, "ACGT");
    ASSERT_EQ(setXijRaw(d, 0, 0, stateBitsToCode(0b0101, d)), 0);  // A and G
    EXPECT_EQ(getXijAsBits(d, 0, 0, "TGCA"), 0b1010u);
    EXPECT_EQ(getXijAsBits(d, 0, 0, "gxa"), 0b101u);  // case folded
    d->respectCase = 1;
    EXPECT_EQ(getXijAsBits(d, 0, 0, "gxa"), 0u);
    EXPECT_EQ(getXijAsBits(d, 0, 0, "Ga"), 0b1u);

    int32_t positions[4] = {9, 9, 9, 9};
    EXPECT_EQ(mapStateBits(d, 0b1011, "ACGT", "TA", positions, "xTCA"), 0b11u);
    EXPECT_EQ(positions[0], 3);   // A
    EXPECT_EQ(positions[1], 2);   // C
    EXPECT_EQ(positions[2], 1);   // T
    EXPECT_EQ(positions[3], 9);
    // A bit beyond the source symbols gives nothing.
    EXPECT_EQ(mapStateBits(d, uint64_t{1} << 10, "ACGT", "ACGT", nullptr, nullptr), 0u);

    d->respectCase = 0;
    EXPECT_EQ(stateDex('g', d), 2);
    EXPECT_EQ(stateDex('N', d), -1);
    d->respectCase = 1;
    EXPECT_EQ(stateDex('g', d), -1);
}

// ---- Taxa ----------------------------------------------------------------------

TEST_F(DataInfoTest, DeletedTaxaLeaveTheActiveMaps)
{
    DataInfo *d = makeData("01", 6, 2);
    for (uint32_t row = 0; row < 6; ++row)
        ASSERT_EQ(setXijRaw(d, row, 0, row % 2), 0);
    addSetMember(d->taxa.deleted, 1);
    addSetMember(d->taxa.deleted, 4);
    forceTaxaInitialization(d);
    EXPECT_EQ(d->taxa.needTaxInit, 1);
    initTaxStatus(d);
    EXPECT_EQ(d->taxa.needTaxInit, 0);
    ASSERT_EQ(d->nActive, 4);
    EXPECT_EQ(d->taxa.npairs, 6u);
    const uint32_t toOriginal[4] = {0, 2, 3, 5};
    const uint32_t toActive[6] = {0, 1, 1, 2, 3, 3};
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(d->taxa.activeToOriginal[i], toOriginal[i]);
        EXPECT_EQ(getTaxNum(d, i), toOriginal[i] + 1);
        EXPECT_EQ(getXijRaw(d, static_cast<int32_t>(i), 0), toOriginal[i] % 2);
        EXPECT_EQ(std::string(getTaxLabel(d, i)), std::to_string(toOriginal[i] + 1));
    }
    for (uint32_t row = 0; row < 6; ++row)
        EXPECT_EQ(d->taxa.originalToActive[row], toActive[row]);
    EXPECT_EQ(getXijRaw(d, 4, 0), 2);  // past the active taxa
    EXPECT_EQ(getTaxNum(d, 4), 0u);
    EXPECT_STREQ(getTaxLabel(d, 4), "");
    EXPECT_TRUE(isDeletedTaxon(4, d));
    EXPECT_FALSE(isDeletedTaxon(5, d));
    EXPECT_EQ(getTaxLabelFxn(), &getTaxLabel);

    // Restoring everything brings the identity back.
    clearSet(d->taxa.deleted);
    initTaxStatus(d);
    EXPECT_EQ(d->nActive, 6);
    for (uint32_t i = 0; i < 6; ++i)
        EXPECT_EQ(d->taxa.activeToOriginal[i], i);
}

TEST_F(DataInfoTest, RandomDeletionsMatchNaiveMaps)
{
    std::mt19937 rng(77);
    for (int round = 0; round < 30; ++round) {
        const uint32_t ntax = 1 + rng() % 150;
        DataInfo *d = makeData("01", ntax, 1);
        std::vector<uint32_t> active;
        for (uint32_t row = 0; row < ntax; ++row) {
            if (rng() % 3 == 0)
                addSetMember(d->taxa.deleted, row);
            else
                active.push_back(row);
        }
        initTaxStatus(d);
        ASSERT_EQ(static_cast<uint32_t>(d->nActive), active.size());
        ASSERT_EQ(d->taxa.npairs, active.size() * (active.size() ? active.size() - 1 : 0) / 2);
        for (uint32_t i = 0; i < active.size(); ++i) {
            ASSERT_EQ(d->taxa.activeToOriginal[i], active[i]);
            ASSERT_EQ(d->taxa.originalToActive[active[i]], i);
        }
    }
}

TEST_F(DataInfoTest, PairCountDoesNotWrap)
{
    DataInfo d{};
    setNtax(&d, 92681);
    EXPECT_EQ(d.taxa.npairs, uint64_t{92681} * 92680 / 2);
    setNtax(&d, 100000);
    EXPECT_EQ(d.taxa.npairs, UINT32_MAX);
    setNtax(&d, 0);
    EXPECT_EQ(d.taxa.npairs, 0u);
    EXPECT_EQ(d.nActive, 0);
}

// ---- Labels --------------------------------------------------------------------

TEST_F(DataInfoTest, LabelsAreLengthChecked)
{
    DataInfo *d = makeData("01", 2, 3);
    EXPECT_STREQ(getCharLabel(d, 0), "-");
    EXPECT_STREQ(getCharLabel(d, 7), "-");
    std::string longest(kMaxLabelLength, 'x');
    EXPECT_EQ(storeCharLabel(d, 1, longest.c_str()), 0);
    EXPECT_EQ(getCharLabel(d, 1), longest);
    EXPECT_STREQ(getCharLabel(d, 0), "-");
    EXPECT_EQ(storeCharLabel(d, 2, (longest + "y").c_str()), 1);
    EXPECT_STREQ(getCharLabel(d, 2), "-");
    EXPECT_EQ(storeCharLabel(d, 3, "c4"), 1);

    EXPECT_STREQ(taxLabelString(d, 1), "2");
    EXPECT_EQ(storeTaxLabel(d, 1, "Homo sapiens"), 0);
    EXPECT_STREQ(taxLabelString(d, 1), "Homo sapiens");
    EXPECT_EQ(storeTaxLabel(d, 0, (longest + "y").c_str()), 1);
    EXPECT_STREQ(taxLabelString(d, 0), "1");
    EXPECT_EQ(storeTaxLabel(d, 2, "x"), 1);
    EXPECT_STREQ(taxLabelString(d, 2), "");

    setActiveDataInfo(d);
    EXPECT_STREQ(getTaxLabelCallback(1), "Homo sapiens");
    EXPECT_EQ(getCharLabelCallback(1), longest);
}

TEST_F(DataInfoTest, KnownLabelsAreNotReplacedByNumbers)
{
    DataInfo *d = createDataInfo();
    made.push_back(d);
    d->taxa.labelsKnown = 1;
    ASSERT_EQ(allocTaxaMemory(d, 2), 0);
    EXPECT_STREQ(taxLabelString(d, 0), "");
    EXPECT_EQ(d->taxa.labelsKnown, 1);
}

// ---- Characters and status words ------------------------------------------------

TEST_F(DataInfoTest, NewCharactersAreUnorderedWithUnitWeight)
{
    DataInfo *d = makeData("01", 2, 5);
    for (uint32_t c = 0; c < 5; ++c) {
        EXPECT_EQ(d->status[c], kCharUnordered);
        EXPECT_EQ(d->weights[c], 1.0);
        EXPECT_EQ(d->packInfo[c]->character, c);
    }
    EXPECT_STREQ(defaultCharTypeName(), "unord");
    EXPECT_EQ(defaultCharTypeCode(), 2u);
    EXPECT_EQ(std::vector<std::string>(gCalls.begin(), gCalls.begin() + 1),
              std::vector<std::string>{"parsPrep 3"});
}

TEST_F(DataInfoTest, MolecularDataTypesMarkEveryCharacter)
{
    DataInfo *dna = makeData("ACGT", 2, 3, kDataDNA | kDataNucleotide);
    DataInfo *protein = makeData("ACDEFGHIKLMNPQRSTVWY", 2, 3, kDataProtein);
    DataInfo *standard = makeData("01", 2, 3);
    for (uint32_t c = 0; c < 3; ++c) {
        EXPECT_EQ(dna->status[c], kCharUnordered | kCharNucleotide);
        EXPECT_EQ(protein->status[c], kCharUnordered | kCharAminoAcid);
        EXPECT_EQ(standard->status[c], kCharUnordered);
    }
    EXPECT_EQ(verifyNucleotideData(dna, "BaseFreq"), 0);
    EXPECT_EQ(verifyNucOrAAData(protein, "X"), 0);
    EXPECT_EQ(verifyNucleotideData(protein, "BaseFreq"), 1);
    EXPECT_EQ(gErrorCodes.back(), 820u);
    EXPECT_EQ(gErrorText, "The 'BaseFreq' command is only valid for nucleotide (DNA/RNA) data.");
    EXPECT_EQ(verifyNucOrAAData(standard, "%s%n"), 1);
    EXPECT_EQ(gErrorCodes.back(), 821u);
    EXPECT_NE(gErrorText.find("The '%s%n' command"), std::string::npos);
    EXPECT_TRUE(isDataTypeNucleotide(kDataTypeNucleotide));
    EXPECT_FALSE(isDataTypeNucleotide(kDataTypeProtein));
    EXPECT_FALSE(isDataTypeNucleotide(kDataTypeStandard));
}

TEST_F(DataInfoTest, StandardCharsetsTrackGapsAndCombinations)
{
    DataInfo *d = makeData("012", 3, 4);
    uint8_t combo = stateBitsToCode(0b011, d);
    setXijRaw(d, 0, 0, kGapCode);
    setXijRaw(d, 1, 1, combo);
    setXijRaw(d, 0, 2, 1);
    setXijRaw(d, 1, 2, 0);
    setXijRaw(d, 2, 2, 2);
    setXijRaw(d, 2, 3, kGapCode);
    setXijRaw(d, 1, 3, combo);
    d->status[0] |= kCharHasCombination;  // stale bits are cleared
    updateStdCharsets(d);
    EXPECT_EQ(d->status[0] & kCharHasCombination, 0u);
    EXPECT_NE(d->status[1] & kCharHasCombination, 0u);
    EXPECT_EQ(d->status[2] & kCharHasCombination, 0u);
    EXPECT_NE(d->status[3] & kCharHasCombination, 0u);
    EXPECT_TRUE(isSetMember(d->gappedChars, 0));
    EXPECT_TRUE(isSetMember(d->gappedChars, 3));
    EXPECT_EQ(card(d->gappedChars), 2u);
    // Gaps count as missing here: the gapped set joins the missing set.
    EXPECT_TRUE(isSetMember(d->missAmbigChars, 0));
    EXPECT_TRUE(isSetMember(d->missAmbigChars, 1));
    EXPECT_FALSE(isSetMember(d->missAmbigChars, 2));

    gGapMode = kGapModeNewState;
    setXijRaw(d, 1, 0, 0);
    setXijRaw(d, 2, 0, 0);
    updateStdCharsets(d);
    EXPECT_FALSE(isSetMember(d->missAmbigChars, 0));
    EXPECT_TRUE(isSetMember(d->gappedChars, 0));
}

// ---- Life cycle ----------------------------------------------------------------

TEST_F(DataInfoTest, StartNewDataSharesTheTaxonPart)
{
    DataInfo *a = makeData("01", 4, 2);
    a->compactStorage = 0;
    DataInfo *b = startNewData(a);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->taxa.labels, a->taxa.labels);
    EXPECT_EQ(b->taxa.deleted, a->taxa.deleted);
    EXPECT_EQ(b->ntax, 4u);
    EXPECT_EQ(b->nActive, 4);
    EXPECT_EQ(b->flags, a->flags);
    EXPECT_EQ(b->nchar, 0u);
    EXPECT_EQ(b->matrix, nullptr);
    deallocRawData(b, 1);  // leaves the shared taxon part alone
    EXPECT_STREQ(taxLabelString(a, 3), "4");
}

TEST_F(DataInfoTest, PurgeKeepsTaxaWhenAsked)
{
    DataInfo *d = makeData("01", 3, 4);
    storeCharLabel(d, 0, "wing");
    purgeData(d, 1, 0, 0);
    EXPECT_EQ(d->flags, kHaveTaxa);
    EXPECT_EQ(d->nchar, 0u);
    EXPECT_EQ(d->matrix, nullptr);
    EXPECT_EQ(d->status, nullptr);
    EXPECT_EQ(d->charLabels, nullptr);
    EXPECT_EQ(numStateCodes(d), 0u);
    EXPECT_EQ(d->ntax, 3u);
    EXPECT_STREQ(taxLabelString(d, 2), "3");
    EXPECT_NE(std::find(gCalls.begin(), gCalls.end(), "bootJack 4"), gCalls.end());
    EXPECT_NE(std::find(gCalls.begin(), gCalls.end(), "disposeML 1"), gCalls.end());
    EXPECT_EQ(std::find(gCalls.begin(), gCalls.end(), "clearTrees"), gCalls.end());

    purgeData(d, 0, 0, 0);
    EXPECT_EQ(d->flags, 0u);
    EXPECT_EQ(d->ntax, 0u);
    EXPECT_EQ(d->nActive, 0);
    EXPECT_EQ(d->taxa.labels, nullptr);
    EXPECT_NE(std::find(gCalls.begin(), gCalls.end(), "clearTrees"), gCalls.end());
    for (uint32_t c = 0; c < 3; ++c)
        EXPECT_EQ(getXijRaw(d, 0, c), d->nstates);
}

TEST_F(DataInfoTest, PurgeWithDestroyReleasesTheActiveRecord)
{
    DataInfo *d = createDataInfo();
    std::strcpy(d->symbols, "01");
    d->nchar = 2;
    ASSERT_EQ(allocTaxaMemory(d, 2), 0);
    ASSERT_EQ(initCharInfo(d), 0);
    ASSERT_EQ(initializeRawData(d, 0), 0);
    setActiveDataInfo(d);
    purgeData(d, 0, 0, 1);
    EXPECT_EQ(activeDataInfo(), nullptr);
}

TEST_F(DataInfoTest, ClearDataDiscardsTheActiveData)
{
    DataInfo *empty = createDataInfo();
    made.push_back(empty);
    setActiveDataInfo(empty);
    EXPECT_EQ(doClearDataCmd(), 0);
    EXPECT_TRUE(gPrinted.empty());
    EXPECT_TRUE(gCalls.empty());

    DataInfo *d = makeData("01", 2, 2);
    setActiveDataInfo(d);
    gScripted = true;  // no question from a script
    EXPECT_EQ(doClearDataCmd(), 0);
    EXPECT_EQ(gPrinted, "\nActive dataset has been discarded from memory.\n");
    EXPECT_EQ(d->flags, 0u);
    EXPECT_EQ(activeDataInfo(), d);
}

TEST_F(DataInfoTest, PrelimAllocationsInstallAnEmptyRecord)
{
    ASSERT_EQ(prelimDataAllocations(), 0);
    DataInfo *d = activeDataInfo();
    ASSERT_NE(d, nullptr);
    made.push_back(d);
    EXPECT_EQ(d->flags, 0u);
    EXPECT_EQ(getMainTreeBuffer(nullptr), nullptr);
    auto *fake = reinterpret_cast<TreeBuffer *>(0x10);
    setMainTreeBuffer(fake);
    EXPECT_EQ(getMainTreeBuffer(d), fake);
    d->mainTreeBuffer = nullptr;
}

TEST_F(DataInfoTest, MemoryFailuresReleaseWhatWasMade)
{
    // Every failure point of each allocating group, under the leak checker.
    int failures = 0, successes = 0;
    for (int64_t countdown = 0; countdown < 200; ++countdown) {
        DataInfo *d = createDataInfo();
        ASSERT_NE(d, nullptr);
        std::strcpy(d->symbols, "ACGT");
        d->nchar = 70;
        d->matchChar = '.';
        d->transpose = 1;
        qel_setAllocFailureCountdown(countdown);
        int rc = allocTaxaMemory(d, 66);
        if (rc == 0)
            rc = initCharInfo(d);
        if (rc == 0)
            rc = initializeRawData(d, 0);
        qel_setAllocFailureCountdown(-1);
        if (rc != 0) {
            ++failures;
            EXPECT_TRUE(memoryErrorHasOccurred());
            clearMemoryErrorStatus();
        } else {
            ++successes;
            EXPECT_TRUE(dataMatrixAllocated(d));
            EXPECT_EQ(getXijRaw(d, 65, 69), 4);
        }
        destroyDataInfo(d);
    }
    EXPECT_GT(failures, 100);
    EXPECT_GT(successes, 0);
}

TEST_F(DataInfoTest, ForceInitializationClearsDerivedState)
{
    DataInfo *d = makeData("01", 2, 2);
    d->dataInitialized = d->statusUpToDate = 1;
    d->ryCoding = 1;
    gCalls.clear();
    forceCharInitialization(d);
    EXPECT_EQ(d->dataInitialized, 0);
    EXPECT_EQ(d->statusUpToDate, 0);
    EXPECT_EQ(d->ryCoding, -1);
    EXPECT_EQ(d->taxa.needTaxInit, 0);
    EXPECT_EQ(gCalls, std::vector<std::string>{"parsPrep 3"});
    gCalls.clear();
    forceTaxaInitialization(d);
    EXPECT_EQ(d->taxa.needTaxInit, 1);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"parsPrep 3", "userDist"}));
}

}  // namespace

// Two subsystems filling one slot with different functions would leave
// whichever came last in force: the second is refused and reported, the first
// stays, and installing the same function again is harmless.
TEST_F(DataInfoTest, AServiceSlotTakesOneInstallation)
{
    DataServices other{};
    other.criterion = [] { return kCriterionLikelihood; };
    other.msTaxa = [] { return kMsTaxaPolymorph; };
    EXPECT_EQ(installDataServices(other), 1);
    EXPECT_EQ(dataServices().criterion(), gCriterion);
    EXPECT_EQ(dataServices().msTaxa(), gMsTaxa);
    EXPECT_NE(gErrorText.find("\"msTaxa\" is installed twice"), std::string::npos);

    DataServices fresh{};
    fresh.isMLDistance = [] { return true; };
    EXPECT_EQ(installDataServices(fresh), 0);
    EXPECT_TRUE(dataServices().isMLDistance());
    EXPECT_EQ(installDataServices(fresh), 0);
}
