#include <random>

#include "data/chartaxlist.h"
#include "data_fixture.h"

namespace {

using datatest::DataFixture;
using datatest::gErrors;
using datatest::members;
using V = std::vector<uint32_t>;

class ListTest : public DataFixture {
protected:
    // Reads a character list from text; returns the reader's result.
    int chars(const std::string &text, Set *remaining = nullptr, bool forbid = false, uint32_t *single = nullptr)
    {
        feed(text);
        clearSet(result_);
        return readCharList(d, nullptr, result_, remaining, forbid, single);
    }
    int taxa(const std::string &text, Set *remaining = nullptr)
    {
        feed(text);
        return readTaxaList(d, nullptr, result_, remaining);
    }
    V got() const { return members(result_); }

    void SetUp() override
    {
        DataFixture::SetUp();
        makeData(6, 12);
        result_ = allocSet(12);
        taxResult_ = allocSet(6);
    }
    void TearDown() override
    {
        deallocSet(result_);
        deallocSet(taxResult_);
        DataFixture::TearDown();
    }
    Set *result_ = nullptr;
    Set *taxResult_ = nullptr;
};

TEST_F(ListTest, GrammarOfNumbersRangesStepsAndAll)
{
    struct Case {
        const char *text;
        V expected;
    } cases[] = {
        {"3-.;", {3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {".;", {12}},
        {"1-10\\3;", {1, 4, 7, 10}},
        {"1 - 5;", {1, 2, 3, 4, 5}},
        {"2-11 \\ 4;", {2, 6, 10}},
        {"ALL;", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"all\\2;", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"12 1 5-5;", {1, 5, 12}},
        {";", {}},
        {"4/", {4}},
        {"4,", {4}},
        {"7-9\\100;", {7}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(chars(c.text), 0);
        EXPECT_EQ(got(), c.expected);
        // The terminator is left for the caller.
        EXPECT_EQ(nextWord(), std::string(1, c.text[std::strlen(c.text) - 1]));
    }
    EXPECT_TRUE(gErrors.empty());
}

TEST_F(ListTest, InvalidListsGiveTheirErrors)
{
    struct Case {
        const char *text;
        uint32_t code;
    } cases[] = {
        {"1-10\\0;", 411},  {"1-10\\x;", 411}, {"5-2;", 410},   {"13;", 408},
        {"0;", 408},        {"abc;", 409},     {"all\\0;", 411}, {"1-99999999999;", 408},
        {"remainder;", 434}, {"1", 114},
        // Steps that would carry a 32-bit counter past its end are refused.
        {"5-10\\4294967295;", 411}, {"5-10\\4294967294;", 411}, {"5-10\\4294967296;", 411},
        {"5-10\\99999999999;", 411},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        gErrors.clear();
        EXPECT_EQ(chars(c.text), 1);
        EXPECT_EQ(gErrors, V{c.code});
    }
}

TEST_F(ListTest, HugeStepBelowTheLimitAddsOnlyTheStart)
{
    ASSERT_EQ(chars("1-12\\4294967290;"), 0);
    EXPECT_EQ(got(), V{1});
}

TEST_F(ListTest, LabelsNamesAndAllDigitLabels)
{
    for (uint32_t c = 0; c < 12; ++c)
        storeCharLabel(d, c, ("c" + std::to_string(c + 1)).c_str());
    storeCharLabel(d, 4, "12");
    // Without the all-digit flag, "12" is a number.
    ASSERT_EQ(chars("C2-c4 12;"), 0);
    EXPECT_EQ(got(), (V{2, 3, 4, 12}));
    d->allDigitCharName = 1;
    ASSERT_EQ(chars("12;"), 0);
    EXPECT_EQ(got(), V{5});
    // A token longer than a label can be is refused, not cut to a match.
    storeCharLabel(d, 0, std::string(128, 'a').c_str());
    EXPECT_EQ(chars(std::string(129, 'a') + ";"), 1);
    EXPECT_EQ(gErrors.back(), 409u);
    ASSERT_EQ(chars(std::string(128, 'A') + ";"), 0);
    EXPECT_EQ(got(), V{1});
}

TEST_F(ListTest, SetNamesPartitionsAndForbiddenStateSets)
{
    Nexset *cs = createNexset("odd", kNexCharset);
    for (uint32_t c = 0; c < 12; c += 2)
        addSetMember(getNexsetSet(cs), c);
    ASSERT_EQ(installNexSet(cs, kNexCharset, "Character-set", true), 0);
    Nexset *cp = createNexset("cpos", kNexCharPartition);
    for (const char *name : {"1st", "2", "3rd"})
        addPtnSubset(getNexPtn(cp), name);
    for (uint32_t c = 0; c < 12; ++c)
        addSetMember(getPtnSubset(getNexPtn(cp), c % 3), c);
    ASSERT_EQ(installNexSet(cp, kNexCharPartition, "Character-partition", true), 0);
    // The hand-filled built-in sets stand for a prepared data set; on an
    // unprepared one the reader would fill them from the matrix first.
    d->dataInitialized = 1;
    addSetMember(d->gappedChars, 11);
    addSetMember(getNexsetSet(&gNexsets.builtins[kBuiltinConstant]), 1);

    ASSERT_EQ(chars("ODD cpos.2;"), 0);
    EXPECT_EQ(got(), (V{1, 2, 3, 5, 7, 8, 9, 11}));
    ASSERT_EQ(chars("gapped constant;"), 0);
    EXPECT_EQ(got(), (V{2, 12}));
    EXPECT_EQ(chars("uninf;", nullptr, true), 1);
    EXPECT_EQ(gErrors.back(), 439u);
    EXPECT_NE(datatest::gErrorText.find("ExSet"), std::string::npos);
    // 'cpos.' and '.2' name nothing.
    EXPECT_EQ(chars("cpos.;"), 1);
    EXPECT_EQ(chars(".2;"), 1);
}

TEST_F(ListTest, RemainingSetAndRemainder)
{
    Set *left = allocSet(12);
    fillSet(left, 12);
    ASSERT_EQ(chars("1-3,", left), 0);
    EXPECT_EQ(got(), (V{1, 2, 3}));
    EXPECT_EQ(nextWord(), ",");
    // Items named before "remainder" leave the remaining set and are not
    // kept in the result either.
    ASSERT_EQ(chars("5 remainder;", left), 0);
    EXPECT_EQ(got(), (V{4, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_TRUE(isSetEmpty(left));
    fillSet(left, 12);
    ASSERT_EQ(chars("all;", left), 0);
    EXPECT_TRUE(isSetEmpty(left));
    deallocSet(left);
}

TEST_F(ListTest, SingleIndexCountsOnlyItemsNamedOneByOne)
{
    uint32_t single = 0;
    ASSERT_EQ(chars("7;", nullptr, false, &single), 0);
    EXPECT_EQ(single, 6u);
    ASSERT_EQ(chars("7-8;", nullptr, false, &single), 0);
    EXPECT_EQ(single, kSetEnd);
    ASSERT_EQ(chars("7-12\\9;", nullptr, false, &single), 0);
    EXPECT_EQ(single, 6u);
    ASSERT_EQ(chars("all;", nullptr, false, &single), 0);
    EXPECT_EQ(single, kSetEnd);
}

TEST_F(ListTest, TaxonIdentifiers)
{
    Set *saved = result_;
    result_ = taxResult_;
    ASSERT_EQ(taxa("T2 4-.;"), 0);
    EXPECT_EQ(got(), (V{2, 4, 5, 6}));
    EXPECT_EQ(taxa("7;"), 1);
    EXPECT_EQ(gErrors.back(), 603u);
    EXPECT_EQ(taxa("t9;"), 1);
    EXPECT_EQ(gErrors.back(), 602u);
    EXPECT_EQ(taxa("t4-t2;"), 1);
    EXPECT_EQ(gErrors.back(), 601u);
    EXPECT_EQ(taxa("t1-t3\\0;"), 1);
    EXPECT_EQ(gErrors.back(), 605u);
    d->taxa.taxaByNumber = 0;
    EXPECT_EQ(taxa("2;"), 1);
    EXPECT_EQ(gErrors.back(), 604u);
    result_ = saved;
}

// The reader against a plain parser of the same grammar, on random lists of
// numbers, ranges, steps, "." and "all".
TEST_F(ListTest, RandomListsMatchANaiveParser)
{
    std::mt19937 rng(20261206);
    const uint32_t n = 12;
    auto item = [&](std::string &text) -> uint32_t {
        uint32_t v = rng() % n + 1;
        if (rng() % 6 == 0) {
            text += ".";
            return n;
        }
        text += std::to_string(v);
        return v;
    };
    for (int trial = 0; trial < 2000; ++trial) {
        std::string text;
        std::vector<bool> want(n + 1, false);
        bool valid = true;
        for (int k = rng() % 5; k >= 0; --k) {
            if (rng() % 15 == 0) {
                text += "all ";
                want.assign(n + 1, true);
                continue;
            }
            uint32_t a = item(text);
            if (rng() % 2) {
                text += rng() % 2 ? "-" : " - ";
                uint32_t b = item(text);
                uint32_t step = 1;
                if (rng() % 2) {
                    step = rng() % 5;
                    text += "\\" + std::to_string(step);
                }
                if (b < a || step == 0)
                    valid = false;
                for (uint32_t m = a; valid && m <= b; m += step)
                    want[m] = true;
            } else {
                want[a] = true;
            }
            text += " ";
        }
        text += ";";
        SCOPED_TRACE(text);
        gErrors.clear();
        int r = chars(text);
        ASSERT_EQ(r, valid ? 0 : 1);
        if (!valid)
            continue;
        V expected;
        for (uint32_t m = 1; m <= n; ++m)
            if (want[m])
                expected.push_back(m);
        ASSERT_EQ(got(), expected);
    }
}

TEST_F(ListTest, WorkingSetsAndMovedCounts)
{
    Set *slot = nullptr, *copy = nullptr;
    ASSERT_EQ(initCharListSet(5, &slot, &copy, false), 0);
    EXPECT_EQ(members(slot), V{1});
    EXPECT_EQ(copy, nullptr);
    addSetMember(slot, 3);
    ASSERT_EQ(initCharListSet(5, &slot, &copy, true), 0);
    EXPECT_EQ(members(copy), (V{1, 4}));
    uint32_t leaving, entering, total;
    addSetMember(copy, 2);
    removeSetMember(copy, 0);
    ASSERT_EQ(countMovedItems(slot, copy, &leaving, &entering, &total), 0);
    EXPECT_EQ(leaving, 1u);
    EXPECT_EQ(entering, 1u);
    EXPECT_EQ(total, 2u);
    deallocSet(slot);
    deallocSet(copy);
}

}  // namespace
