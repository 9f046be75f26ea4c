#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "alloc_test_support.h"

namespace {

// Allocation failures are forced in some tests; every test starts and ends
// with a clean failure state and a silent reporter.
class StringsTest : public alloctest::AllocFailureTest {};

std::string edited(const char *text, void (*edit)(char *))
{
    char buf[64];
    strcpy_n(buf, text, sizeof buf);
    edit(buf);
    return buf;
}

TEST_F(StringsTest, BoundedCopyTruncatesAndPads)
{
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    strcpy_n(buf, "hello world", 6);
    EXPECT_STREQ(buf, "hello");
    std::memset(buf, 'x', sizeof buf);
    strcpy_n(buf, "ab", 8);
    EXPECT_STREQ(buf, "ab");
    for (int i = 2; i < 8; ++i)
        EXPECT_EQ(buf[i], '\0') << i;
    buf[0] = 'q';
    strcpy_n(buf, "abc", 0);  // nothing may be written
    EXPECT_EQ(buf[0], 'q');
}

TEST_F(StringsTest, InPlaceEditsKnownAnswers)
{
    EXPECT_EQ(edited("3.000", stripTrailingZeros), "3");
    EXPECT_EQ(edited("300", stripTrailingZeros), "300");
    EXPECT_EQ(edited("2.50", stripTrailingZeros), "2.5");
    EXPECT_EQ(edited("0.0", stripTrailingZeros), "0");
    EXPECT_EQ(edited(" \tab c\t ", [](char *s) { stripBlanks(s, false); }), "ab c");
    EXPECT_EQ(edited(" \tab c\t ", [](char *s) { stripBlanks(s, true); }), " \tab c");
    EXPECT_EQ(edited("   ", [](char *s) { stripBlanks(s, false); }), "");
    EXPECT_EQ(edited("a-b_c-d", [](char *s) { stripChars(s, "-_"); }), "abcd");
    EXPECT_EQ(edited("a.b.c", [](char *s) { replaceCharInString(s, '.', '/'); }), "a/b/c");
    EXPECT_EQ(edited("MiXeD 1", [](char *s) { stringToUpper(s); }), "MIXED 1");
    EXPECT_EQ(edited("MiXeD 1", [](char *s) { stringToLower(s); }), "mixed 1");

    char over[] = "abcdef";
    overlayString(over, "XY");
    EXPECT_STREQ(over, "XYcdef");

    char *copy = cloneString("taxon");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "taxon");
    deallocBlock(copy);
}

TEST_F(StringsTest, SearchAndCompare)
{
    EXPECT_EQ(charPos("abcB", 'B', true), 3u);
    EXPECT_EQ(charPos("abcB", 'B', false), 1u);
    EXPECT_EQ(charPos("abc", 'z', false), kNotFound);
    EXPECT_TRUE(isAllDigit(""));
    EXPECT_TRUE(isAllDigit("0123"));
    EXPECT_FALSE(isAllDigit("12a"));
    EXPECT_FALSE(isAllDigit("-1"));

    EXPECT_EQ(stricmp("HSearch", "hsearch"), 0);
    EXPECT_LT(stricmp("abc", "abd"), 0);
    EXPECT_GT(stricmp("abcd", "ABC"), 0);
    EXPECT_EQ(strnicmp("abc", "ABCDEF", 10), 0);
    EXPECT_EQ(strnicmp("abx", "ABCDEF", 10), 'X' - 'C');
    EXPECT_EQ(strnicmp("abx", "ABCDEF", 2), 0);
    EXPECT_NE(stringCompare("Abc", "abc", true), 0);
    EXPECT_EQ(stringCompare("Abc", "abc", false), 0);
}

TEST_F(StringsTest, AbbreviationMatching)
{
    struct Case {
        const char *word, *name;
        uint32_t minLength;
        bool matches;
    } cases[] = {
        {"tr", "TreeScores", 2, true},     {"tr", "TreeScores", 0, false},
        {"TreeScoresX", "TreeScores", 2, false}, {"treescores", "TreeScores", 0, true},
        {"t", "TreeScores", 2, false},     {"tx", "TreeScores", 2, false},
        {"TREES", "TreeScores", 3, true},  {"", "TreeScores", 0, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(substringMatches(c.word, c.name, c.minLength), c.matches)
            << c.word << " / " << c.name << " / " << c.minLength;
}

TEST_F(StringsTest, NumbersToText)
{
    char buf[32];
    EXPECT_STREQ(longToString(-1234567890123L, buf, sizeof buf), "-1234567890123");
    EXPECT_STREQ(intToString(INT32_MIN, buf, sizeof buf), "-2147483648");
    EXPECT_STREQ(uintToString(UINT32_MAX, buf, 5), "4294");  // cut to the buffer, no overrun
    EXPECT_EQ(numDigits(0), 1u);
    EXPECT_EQ(numDigits(4294967295u), 10u);
    EXPECT_EQ(numDigitsFlt(2, -3.14159), 5u);
    EXPECT_STREQ(pluralize(1), "");
    EXPECT_STREQ(pluralize(0), "s");
    EXPECT_EQ(countDecimalPlaces("1.2500"), 2u);
    EXPECT_EQ(countDecimalPlaces("17"), 0u);
    EXPECT_EQ(countDecimalPlaces("0.000"), 0u);
    EXPECT_EQ(countDecimalPlaces("0.0001"), 4u);

    struct Case {
        int places;
        double value;
        const char *text;
    } cases[] = {
        {0, 2.5, "2.5"}, {0, 0.00001, "1e-05"}, {2, 2.5, "2.50"}, {0, 0.0, "0"},
        {0, 3.0, "3"},   {0, -12.125, "-12.125"}, {3, 1.0 / 3, "0.333"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(doubleToString(c.places, c.value), c.text) << c.value;
    // A fixed-point text longer than the buffer falls back to a form that
    // still reads back as the same value.
    for (double big : {1e300, -3.5e70, 1.2345678901234567e60}) {
        EXPECT_EQ(std::strtod(doubleToString(0, big).c_str(), nullptr), big);
        EXPECT_EQ(std::strtod(doubleToString(2, big).c_str(), nullptr), big);
    }
}

TEST_F(StringsTest, TextToNumberKnownAnswers)
{
    int64_t l = 7;
    EXPECT_EQ(convertIntValue("2147483648", false, &l), kConvOutOfRange);
    EXPECT_EQ(l, 7);
    EXPECT_EQ(convertIntValue("2147483648", true, &l), kConvOk);
    EXPECT_EQ(l, 2147483648LL);
    EXPECT_EQ(convertIntValue("-2147483649", false, &l), kConvOutOfRange);
    EXPECT_EQ(convertIntValue("-2147483648", false, &l), kConvOk);
    EXPECT_EQ(convertIntValue("12x", false, &l), kConvTrailingChars);
    EXPECT_EQ(convertIntValue("9223372036854775808", true, &l), kConvOutOfRange);
    EXPECT_EQ(convertIntValue("", false, &l), kConvOk);
    EXPECT_EQ(l, 0);

    uint64_t u = 9;
    EXPECT_EQ(convertUintValue("-1", true, &u), kConvOutOfRange);  // not 2^64-1
    EXPECT_EQ(u, 9u);
    EXPECT_EQ(convertUintValue("4294967296", false, &u), kConvOutOfRange);
    EXPECT_EQ(convertUintValue("4294967296", true, &u), kConvOk);
    EXPECT_EQ(u, 4294967296ULL);
    EXPECT_EQ(convertUintValue("18446744073709551616", true, &u), kConvOutOfRange);
    EXPECT_EQ(convertUintValue("-0", false, &u), kConvOk);
    EXPECT_EQ(u, 0u);

    uint8_t b = 99;
    EXPECT_EQ(stringToUByte("300", &b), kConvOutOfRange);  // never 44
    EXPECT_EQ(stringToUByte("256", &b), kConvOutOfRange);
    EXPECT_EQ(stringToUByte("-1", &b), kConvOutOfRange);
    EXPECT_EQ(b, 99);
    EXPECT_EQ(stringToUByte("255", &b), kConvOk);
    EXPECT_EQ(b, 255);

    uint32_t w = 5;
    EXPECT_EQ(stringToUInt(" 5", &w), kConvTrailingChars);
    EXPECT_EQ(stringToUInt("+5", &w), kConvTrailingChars);
    EXPECT_EQ(stringToUInt("4294967296", &w), kConvOutOfRange);
    EXPECT_EQ(w, 5u);
    EXPECT_EQ(stringToUInt("4294967295", &w), kConvOk);
    EXPECT_EQ(w, UINT32_MAX);

    int32_t i = 3;
    EXPECT_EQ(stringToInt("-17", &i), kConvOk);
    EXPECT_EQ(i, -17);
    EXPECT_EQ(stringToInt("99999999999", &i), kConvOutOfRange);
    EXPECT_EQ(i, -17);

    double d = 1.0;
    EXPECT_EQ(stringToDouble("1e999", &d), kConvOutOfRange);
    EXPECT_EQ(stringToDouble("1.5x", &d), kConvTrailingChars);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(stringToDouble("-2.25e1", &d), kConvOk);
    EXPECT_EQ(d, -22.5);
    EXPECT_EQ(stringToDouble("3.5", nullptr), kConvOk);
    EXPECT_EQ(stringToDouble("", &d), kConvOk);
    EXPECT_EQ(d, 0.0);
    // A signed zero reads as zero; a denormal is out of range.
    EXPECT_EQ(stringToDouble("-0.0", &d), kConvOk);
    EXPECT_FALSE(std::signbit(d));
    EXPECT_EQ(stringToDouble("4.9e-324", &d), kConvOutOfRange);
}

TEST_F(StringsTest, DoublesAreDecimalOnly)
{
    // strtod's other spellings are not numbers of a command or a file.
    for (const char *text : {"0x10", "0X1p4", "inf", "-INF", "infinity", "nan", "NaN(1)", "1e", "1e+", ".", "-",
                             "+.e1", " 1", "1 "}) {
        double d = 7.0;
        EXPECT_EQ(stringToDouble(text, &d), kConvTrailingChars) << text;
        EXPECT_EQ(d, 7.0) << text;
    }
    struct Case {
        const char *text;
        double value;
    } cases[] = {{"16", 16.0}, {"+1.5", 1.5}, {".25", 0.25}, {"2.", 2.0}, {"-3e2", -300.0}, {"1.5E-1", 0.15},
                 {"0010", 10.0}};
    for (const Case &c : cases) {
        double d = 0.0;
        EXPECT_EQ(stringToDouble(c.text, &d), kConvOk) << c.text;
        EXPECT_DOUBLE_EQ(d, c.value) << c.text;
    }
}

// Reference conversion: decimal digits with optional sign into a 128-bit
// value, saturating far beyond every range under test.
std::optional<__int128> referenceParse(const std::string &s)
{
    size_t k = 0;
    bool neg = false;
    if (k < s.size() && (s[k] == '-' || s[k] == '+'))
        neg = s[k++] == '-';
    if (k == s.size())
        return std::nullopt;
    __int128 v = 0;
    for (; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9')
            return std::nullopt;
        if (v < (__int128{1} << 100))
            v = v * 10 + (s[k] - '0');
    }
    return neg ? -v : v;
}

TEST_F(StringsTest, ConversionsAgreeWithReferenceOnRandomTexts)
{
    std::mt19937_64 rng(20240611);
    const char alphabet[] = "0123456789";
    for (int trial = 0; trial < 20000; ++trial) {
        std::string s;
        if (rng() % 4 == 0)
            s += "-+"[rng() % 2];
        size_t len = 1 + rng() % 21;
        for (size_t k = 0; k < len; ++k)
            s += alphabet[rng() % 10];
        if (rng() % 16 == 0)
            s += 'x';
        auto ref = referenceParse(s);

        uint8_t b = 0xAB;
        int rc = stringToUByte(s.c_str(), &b);
        if (!ref) {
            EXPECT_EQ(rc, kConvTrailingChars) << s;
        } else if (*ref < 0 || *ref > 255) {
            EXPECT_EQ(rc, kConvOutOfRange) << s;
            EXPECT_EQ(b, 0xAB) << s;
        } else {
            EXPECT_EQ(rc, kConvOk) << s;
            EXPECT_EQ(b, static_cast<uint8_t>(*ref)) << s;
        }

        int32_t i = 12345;
        rc = stringToInt(s.c_str(), &i);
        if (ref && *ref >= INT32_MIN && *ref <= INT32_MAX) {
            EXPECT_EQ(rc, kConvOk) << s;
            EXPECT_EQ(i, static_cast<int32_t>(*ref)) << s;
        } else {
            EXPECT_NE(rc, kConvOk) << s;
            EXPECT_EQ(i, 12345) << s;
        }

        int64_t l = 0;
        rc = stringToLong(s.c_str(), &l);
        bool fitsLong = ref && *ref >= INT64_MIN && *ref <= INT64_MAX;
        EXPECT_EQ(rc == kConvOk, fitsLong) << s;
        if (fitsLong) {
            EXPECT_EQ(l, static_cast<int64_t>(*ref)) << s;
        }

        uint64_t u = 0;
        rc = convertUintValue(s.c_str(), true, &u);
        bool fitsULong = ref && *ref >= 0 && *ref <= static_cast<__int128>(UINT64_MAX);
        EXPECT_EQ(rc == kConvOk, fitsULong) << s;
        if (fitsULong) {
            EXPECT_EQ(u, static_cast<uint64_t>(*ref)) << s;
        }
    }
}

TEST_F(StringsTest, SeedSyntax)
{
    struct Case {
        const char *text;
        bool ok;
        uint32_t words[4];
    } cases[] = {
        {"1:2:3:4", true, {1, 2, 3, 4}},
        {"42", true, {42, 0, 0, 0}},
        {"", false, {}},
        {" 7", false, {}},
        {"4294967295:0:7:4294967295", true, {UINT32_MAX, 0, 7, UINT32_MAX}},
        {"1:2:3:4:5", true, {1, 2, 3, 4}},  // conversion stops after the fourth
        {"1:2:3", false, {}},
        {"1::3:4", false, {}},
        {"1:2:3:x", false, {}},
        {"1:2:3:4294967296", false, {}},
        {"4294967296", false, {}},
        {"-5", false, {}},
        // Too long to take whole: refused rather than cut to a different number.
        {"1:2:3:0000000000000000000000000000000000000000000000000000000000004", false, {}},
    };
    for (const Case &c : cases) {
        uint32_t seed[4] = {9, 9, 9, 9};
        int rc = stringToSeed(c.text, seed);
        EXPECT_EQ(rc == 0, c.ok) << c.text;
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(seed[k], c.words[k]) << c.text << " word " << k;
    }
}

// Reads one NEXUS word back: an unquoted word (underscores stand for
// blanks) or a quoted one with doubled quotes. Null when the text is not
// exactly one well-formed word.
std::optional<std::string> readNexusWord(const std::string &w)
{
    static const std::string punct = "()[]{}/\\,;:=*'\"+-<>` \t\n";
    if (w.empty())
        return std::nullopt;
    if (w[0] != '\'') {
        std::string out;
        for (char c : w) {
            if (punct.find(c) != std::string::npos)
                return std::nullopt;
            out += c == '_' ? ' ' : c;
        }
        return out;
    }
    std::string out;
    size_t k = 1;
    while (k < w.size()) {
        if (w[k] == '\'') {
            if (k + 1 < w.size() && w[k + 1] == '\'') {
                out += '\'';
                k += 2;
                continue;
            }
            return k + 1 == w.size() ? std::optional(out) : std::nullopt;
        }
        out += w[k++];
    }
    return std::nullopt;  // no closing quote
}

std::string nexusized(const std::string &label, uint64_t size, bool *truncated = nullptr)
{
    std::string buf(size + 8, '#');
    nexusizeString(label.c_str(), buf.data(), size, truncated);
    return size == 0 ? std::string() : std::string(buf.c_str());
}

TEST_F(StringsTest, NexusWordsKnownAnswers)
{
    struct Case {
        const char *label, *word;
    } cases[] = {
        {"Homo sapiens", "Homo_sapiens"},
        {"O'Brien's", "'O''Brien''s'"},
        {"H_sapiens", "'H_sapiens'"},
        {"Pan", "Pan"},
        {"a(b)", "'a(b)'"},
        {"x y-z", "'x y-z'"},
        {"tab\there", "'tab\there'"},
        {"", "''"},
    };
    for (const Case &c : cases) {
        bool cut = true;
        EXPECT_EQ(nexusized(c.label, 64, &cut), c.word) << c.label;
        EXPECT_FALSE(cut) << c.label;
    }
    // The label and the destination may be the same buffer.
    char same[32] = "it's here";
    nexusizeString(same, same, sizeof same);
    EXPECT_STREQ(same, "'it''s here'");
}

TEST_F(StringsTest, NexusWordsCutKeepQuotingBalanced)
{
    bool cut = false;
    EXPECT_EQ(nexusized("O'Brien", 5, &cut), "'O'");  // not "'O''": the pair is kept whole or dropped
    EXPECT_TRUE(cut);
    EXPECT_EQ(nexusized("Homo sapiens", 5, &cut), "Homo");
    EXPECT_TRUE(cut);
    EXPECT_EQ(nexusized("a-b", 3, &cut), "''");
    EXPECT_TRUE(cut);
    EXPECT_EQ(nexusized("a-b", 2, &cut), "");
    EXPECT_TRUE(cut);
    EXPECT_EQ(nexusized("a-b", 6, &cut), "'a-b'");
    EXPECT_FALSE(cut);
}

TEST_F(StringsTest, NexusWordsRoundTripAndCutToEverySize)
{
    std::mt19937 rng(777);
    const std::string alphabet = "abcXYZ09 '_-():;\"[]";
    for (int trial = 0; trial < 2000; ++trial) {
        std::string label;
        size_t len = rng() % 12;
        for (size_t k = 0; k < len; ++k)
            label += alphabet[rng() % alphabet.size()];
        bool hasUnderscore = label.find('_') != std::string::npos;

        std::string full = nexusized(label, 256);
        auto back = readNexusWord(full);
        ASSERT_TRUE(back) << "[" << label << "] -> [" << full << "]";
        EXPECT_EQ(*back, label) << full;
        if (hasUnderscore) {
            EXPECT_EQ(full.front(), '\'') << label;
        }

        for (uint64_t size = 0; size <= full.size() + 2; ++size) {
            bool cut = false;
            std::string w = nexusized(label, size, &cut);
            ASSERT_LE(w.size() + 1, std::max<uint64_t>(size, 1)) << label << " size " << size;
            EXPECT_EQ(cut, w != full) << label << " size " << size;
            if (w.empty())
                continue;
            auto part = readNexusWord(w);
            ASSERT_TRUE(part) << "[" << label << "] size " << size << " -> [" << w << "]";
            EXPECT_EQ(label.compare(0, part->size(), *part), 0) << w;
        }
    }
}

TEST_F(StringsTest, StringListStoreAndReplace)
{
    StringList *list = createStringList(3);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(numStringListItems(list), 3u);
    EXPECT_EQ(getStringFromList(list, 1), nullptr);
    EXPECT_EQ(storeStringToList(list, "alpha", 1), 0);
    EXPECT_STREQ(getStringFromList(list, 1), "alpha");
    // Storing an item onto itself must copy before the old item is freed.
    EXPECT_EQ(storeStringToList(list, getStringFromList(list, 1), 1), 0);
    EXPECT_STREQ(getStringFromList(list, 1), "alpha");
    EXPECT_EQ(storeStringToList(list, "x", 3), 1);
    EXPECT_EQ(getStringFromList(list, 3), nullptr);
    EXPECT_EQ(getStringListArray(list)[1], getStringFromList(list, 1));

    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(storeStringToList(list, "beta", 1), 1);
    EXPECT_STREQ(getStringFromList(list, 1), "alpha");
    clearMemoryErrorStatus();
    EXPECT_EQ(storeStringToList(list, "beta", 1), 0);
    EXPECT_STREQ(getStringFromList(list, 1), "beta");
    EXPECT_EQ(destroyStringList(list), nullptr);
    EXPECT_EQ(destroyStringList(nullptr), nullptr);
    EXPECT_EQ(numStringListItems(nullptr), 0u);
}

TEST_F(StringsTest, CombineStringListsMovesItems)
{
    StringList *a = createStringList(3);
    StringList *b = createStringList(3);
    ASSERT_TRUE(a && b);
    const char *names[] = {"a0", "a1", "a2", "b0", "b1", "b2"};
    for (uint32_t i = 0; i < 3; ++i) {
        storeStringToList(a, names[i], i);
        storeStringToList(b, names[3 + i], i);
    }
    char *moved = getStringFromList(b, 0);

    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(combineStringLists(a, 2, b, 3), nullptr);
    EXPECT_STREQ(getStringFromList(a, 0), "a0");  // both lists left whole
    EXPECT_STREQ(getStringFromList(b, 2), "b2");
    clearMemoryErrorStatus();

    StringList *c = combineStringLists(a, 2, b, 3);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(numStringListItems(c), 5u);
    const char *expected[] = {"a0", "a1", "b0", "b1", "b2"};
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_STREQ(getStringFromList(c, i), expected[i]);
    EXPECT_EQ(getStringFromList(c, 2), moved);  // moved, not copied

    StringList *d = createStringList(3);
    for (uint32_t i = 0; i < 3; ++i)
        storeStringToList(d, names[i], i);
    StringList *e = combineStringLists(nullptr, 4, d, 3);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(numStringListItems(e), 3u);
    EXPECT_STREQ(getStringFromList(e, 2), "a2");
    destroyStringList(c);
    destroyStringList(e);
}

}  // namespace
