#include "data/assump.h"
#include "data/data_settings.h"
#include "data_fixture.h"
#include "qel/qel_oututil.h"
#include "data/parminit_data.h"

namespace {

using datatest::DataFixture;
using datatest::gErrors;
using datatest::gOut;
using datatest::members;
using V = std::vector<uint32_t>;

class AssumpTest : public DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        makeData(4, 8);
        d->missingSymbol = '?';
    }
    int run(int (*handler)(), const std::string &text)
    {
        feed(text);
        return handler();
    }
    std::vector<std::string> subsets(const char *partition)
    {
        std::vector<std::string> v;
        const SetPtn *ptn = getNexPtn(findMatchingCharPartition(partition));
        for (uint32_t i = 0; i < numPtnSubsets(ptn); ++i)
            v.push_back(std::string(getPtnSubsetName(ptn, i)) + ":" + std::to_string(members(getPtnSubset(ptn, i)).size()));
        return v;
    }
};

TEST_F(AssumpTest, SetsAreDefinedReplacedAndRefused)
{
    ASSERT_EQ(run(doCharsetCmd, "odd = 1-.\\2;"), 0);
    EXPECT_EQ(members(getNexsetSet(findMatchingNexset("ODD", firstCharacterSet()))), (V{1, 3, 5, 7}));
    ASSERT_EQ(run(doCharsetCmd, "odd (vector) = 11000000;"), 0);
    EXPECT_EQ(members(getNexsetSet(findMatchingNexset("odd", firstCharacterSet()))), (V{1, 2}));
    ASSERT_EQ(run(doTaxsetCmd, "ends = 1 4;"), 0);
    EXPECT_EQ(members(getNexsetSet(findMatchingTaxonSet("ends"))), (V{1, 4}));

    gErrors.clear();
    EXPECT_EQ(run(doCharsetCmd, "5 = 1-3;"), 1);
    EXPECT_EQ(run(doTaxsetCmd, "t2 = 1;"), 1);
    EXPECT_EQ(run(doCharsetCmd, "c (standard vector) = 1;"), 1);
    EXPECT_EQ(run(doCharsetCmd, "c (vector = 1;"), 1);
    EXPECT_EQ(run(doCharsetCmd, "c (vector) = 10x;"), 1);
    EXPECT_EQ(run(doExsetCmd, "x = Uninf;"), 1);
    EXPECT_EQ(gErrors, (V{425, 609, 128, 212, 124, 439}));
}

TEST_F(AssumpTest, UnknownFormatWordIsAnErrorOrASkippedCommand)
{
    gErrors.clear();
    EXPECT_EQ(run(doCharsetCmd, "c (bogus) = 1; next"), 1);
    EXPECT_EQ(gErrors, (V{207}));
}

TEST_F(AssumpTest, PartitionsAndCodonPositions)
{
    ASSERT_EQ(run(doCharPartitionCmd, "p = a: 1-5, a: 6-8;"), 0);
    EXPECT_EQ(subsets("p"), (std::vector<std::string>{"a:5", "a:3"}));
    ASSERT_EQ(run(doCharPartitionCmd, "q = first: 1-3, rest: remainder;"), 0);
    EXPECT_EQ(subsets("q"), (std::vector<std::string>{"first:3", "rest:5"}));
    ASSERT_EQ(run(doCharPartitionCmd, "v (vector notokens) = xxyyxxzz;"), 0);
    EXPECT_EQ(subsets("v"), (std::vector<std::string>{"x:4", "y:2", "z:2"}));

    gErrors.clear();
    EXPECT_EQ(run(doCharPartitionCmd, "p = a: 1-5, b: 3-8;"), 1);
    EXPECT_NE(datatest::gErrorText.find("Character 3 appears both"), std::string::npos);
    EXPECT_EQ(subsets("p"), (std::vector<std::string>{"a:5", "a:3"}));  // the old one stays
    EXPECT_EQ(run(doCharPartitionCmd, "e = ;"), 1);
    EXPECT_EQ(run(doTaxPartitionCmd, "e = ;"), 1);
    EXPECT_EQ(run(doCodonPosSetCmd, "e = ;"), 1);
    EXPECT_EQ(run(doCharPartitionCmd, "e = a: 1-3, ;"), 1);
    EXPECT_EQ(run(doCharPartitionCmd, "e = a 1-3;"), 1);
    EXPECT_EQ(run(doCodonPosSetCmd, "c = 4: 1-3;"), 1);
    EXPECT_EQ(gErrors, (V{428, 426, 426, 427, 118, 203, 429}));
    EXPECT_EQ(findMatchingCharPartition("e"), nullptr);

    ASSERT_EQ(run(doCodonPosSetCmd, "cp (vector) = 123123n?;"), 0);
    EXPECT_EQ(subsets("cp"), (std::vector<std::string>{"?:1", "1:2", "2:2", "3:2", "N:1"}));
    EXPECT_EQ(gNexsets.curCodonPtn, findMatchingCharPartition("cp"));
    ASSERT_EQ(run(doCodonPosSetCmd, "cp2 = 1: 1-.\\3, 2: 2-.\\3, 3: remainder;"), 0);
    EXPECT_EQ(gNexsets.curCodonPtn, findMatchingCharPartition("cp"));  // no "*": the first stays

    ASSERT_EQ(run(doTaxPartitionCmd, "tp (vector) = a b a;"), 0);
    EXPECT_NE(gOut.find("Vector length for taxon partition \"tp\" (= 3) less than 'NTax'."), std::string::npos);
}

TEST_F(AssumpTest, RateSetsAndAncestralStates)
{
    ASSERT_EQ(run(doRatesetCmd, "r (vector notokens) = 1203;"), 0);
    const double *r = getRatesetArray(gNexsets.ratesets);
    EXPECT_EQ(std::vector<double>(r, r + 8), (std::vector<double>{1, 2, 0, 3, 1, 1, 1, 1}));
    EXPECT_EQ(gErrors, (V{423}));
    ASSERT_EQ(run(doRatesetCmd, "s = 0.5: 1-2, 2: 8;"), 0);
    r = getRatesetArray(findMatchingNexset("s", gNexsets.ratesets));
    EXPECT_EQ(std::vector<double>(r, r + 8), (std::vector<double>{0.5, 0.5, 1, 1, 1, 1, 1, 2}));

    gErrors.clear();
    ASSERT_EQ(run(doAncStatesCmd, "* anc = 1: 1-3, 0: remainder;"), 0);
    const Nexset *anc = findMatchingNexset("anc", gNexsets.ancstates);
    EXPECT_EQ(gNexsets.curAncestor, anc);
    const auto *st = static_cast<const uint8_t *>(anc->payload);
    EXPECT_EQ(std::vector<uint8_t>(st, st + 8), (std::vector<uint8_t>{1, 1, 1, 0, 0, 0, 0, 0}));
    // Replacing the current one without "*": the selection goes back to "standard".
    ASSERT_EQ(run(doAncStatesCmd, "anc (vector) = 01?01?01;"), 0);
    EXPECT_STREQ(getNexsetName(gNexsets.curAncestor), "standard");
    EXPECT_EQ(run(doAncStatesCmd, "standard = 1: 1;"), 1);
    EXPECT_EQ(run(doAncStatesCmd, "x = 7: 1;"), 1);
    EXPECT_EQ(run(doRatesetCmd, "x = -1: 1;"), 1);
    EXPECT_EQ(gErrors, (V{326, 324, 424}));
}

TEST_F(AssumpTest, ShowCharPartitionListsSubsetsAsRanges)
{
    ASSERT_EQ(run(doCharPartitionCmd, "p = first: 1-3 5, second: remainder;"), 0);
    gOut.clear();
    ASSERT_EQ(run(doShowCharPtnsCmd, "p;"), 0);
    EXPECT_EQ(gOut, "\nSubsets for character partition \"p\":\n\n    first     \b1-3 5\n    second    \b4 6-8\n");
    gErrors.clear();
    EXPECT_EQ(run(doShowCharPtnsCmd, "nosuch;"), 1);
    EXPECT_EQ(gErrors, (V{406}));
}

}  // namespace

namespace {

TEST_F(AssumpTest, AFailedAssumptionsBlockLeavesOnlyTheBuiltins)
{
    feed("exset * dropped = 1; charset front = 1-4; exset tail = nosuch; end;");
    ASSERT_EQ(processAssumptionsBlock(), 1);
    EXPECT_EQ(findMatchingNexset("front", firstCharacterSet()), nullptr);
    EXPECT_STREQ(getNexsetName(gNexsets.curExset), "AllIncl");
    EXPECT_NE(findMatchingNexset("Uninf", firstCharacterSet()), nullptr);
    // The store is usable again at once.
    ASSERT_EQ(run(doCharsetCmd, "front = 1-4;"), 0);
}

}  // namespace

namespace {

// Dot plots: the option set of the Show commands is the data layer's, and a
// narrow output makes the plot run over several pages of columns.
class DotPlotTest : public AssumpTest {
protected:
    void SetUp() override
    {
        AssumpTest::SetUp();
        qel_finalizeCmdOptions();
        setCmdParamTraverser(traverseDataOptionSets);
        ASSERT_EQ(qel_initializeCmdOptions(), 0);
        setOutputLineMetrics(&metrics_);
        gWidth = 80;
    }
    void TearDown() override
    {
        setOutputLineMetrics(nullptr);
        nexOpt.dotPlot = 0;
        AssumpTest::TearDown();
    }
    static inline uint32_t gWidth = 80;
    static constexpr OutputLineMetrics metrics_{[] { return 3; }, [] { return 0; }, [] { return gWidth; }};
};

TEST_F(DotPlotTest, PartitionRowsMarkTheirMembers)
{
    ASSERT_EQ(run(doCharPartitionCmd, "p = first: 1-3 5, second: remainder;"), 0);
    ASSERT_EQ(run(doTaxPartitionCmd, "halves = lo: 1 2, hi: 3 4;"), 0);
    gOut.clear();
    ASSERT_EQ(run(doShowCharPtnsCmd, "p / dotplot;"), 0);
    EXPECT_EQ(gOut, "\n\nSubsets for character partition \"p\":\n"
                    "Subset 12345678\n---\n"
                    "first  ***.*...\n"
                    "second ...*.***\n");

    // Excluded characters have no column; taxa are numbered as rows.
    d->status[1] |= kCharExcluded;
    d->status[6] |= kCharExcluded;
    gOut.clear();
    ASSERT_EQ(run(doShowCharPtnsCmd, "p / dotplot;"), 0);
    EXPECT_NE(gOut.find("Subset 134568\n---\nfirst  **.*..\nsecond ..*.**\n"), std::string::npos) << gOut;
    gOut.clear();
    ASSERT_EQ(run(doShowTaxPtnsCmd, "halves / dotplot;"), 0);
    EXPECT_EQ(gOut, "\n\nSubsets for taxon partition \"halves\":\nSubset 1234\n---\nlo     **..\nhi     ..**\n");
}

TEST_F(DotPlotTest, RateRowsInFirstOccurrenceOrderOverPages)
{
    ASSERT_EQ(run(doRatesetCmd, "r = 2.5: 1 8, 0.5: 4;"), 0);
    // Row labels of 8 ("2.500000"), then as many one-wide columns as fit in
    // 12 positions: three characters a page.
    gWidth = 12;
    gOut.clear();
    ASSERT_EQ(run(doShowRatesetsCmd, "r / dotplot;"), 0);
    EXPECT_EQ(gOut, "\nRate-set \"r\":\nRate     123\n---\n"
                    "2.500000 *..\n1.000000 .**\n0.500000 ...\n"
                    "\nRate-set \"r\" (continued):\nRate     456\n---\n"
                    "2.500000 ...\n1.000000 .**\n0.500000 *..\n"
                    "\nRate-set \"r\" (continued):\nRate     78\n---\n"
                    "2.500000 .*\n1.000000 *.\n0.500000 ..\n");
    // Without the option the same rates are listed as ranges.
    gOut.clear();
    ASSERT_EQ(run(doShowRatesetsCmd, "r / dotplot=no;"), 0);
    EXPECT_EQ(gOut, "\nRate-set \"r\":\n\n    2.500000    1 8\n    1.000000    2-3 5-7\n    0.500000    4\n");
}

}  // namespace
