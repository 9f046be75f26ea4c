// The FORMAT statement reader: which FORMATs it accepts, the record width
// they need, and the normalised text of each field it reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "data/fpars_format.h"

namespace {

std::vector<std::string> gRecords;
size_t gNext = 0;
std::string gRecord;
std::vector<uint32_t> gWidthsAsked;

int readRecord(uint32_t width, const char **record, uint32_t *length)
{
    gWidthsAsked.push_back(width);
    if (gNext == gRecords.size())
        return kFmtEndOfFile;
    gRecord = gRecords[gNext++];
    if (gRecord.size() < width)
        gRecord.resize(width, ' ');
    *record = gRecord.c_str();
    *length = static_cast<uint32_t>(gRecord.size());
    return 0;
}

int start(const std::string &format, std::vector<std::string> records, char *out, size_t size)
{
    gRecords = std::move(records);
    gNext = 0;
    gWidthsAsked.clear();
    return initFormatParser(format.data(), format.size(), out, size, readRecord);
}

TEST(FormatParser, ChecksTheFormat)
{
    const struct {
        const char *format;
        int code;
        uint32_t width;
    } cases[] = {
        {"(A10,5F6.3)", 0, 40},
        {"  (2(F5.2,I3)) ", 0, 16},
        {"(I2,/,3X,A4,T20,I1)", 0, 20},
        {"(1X,'it''s',3HabcI2,BN,BZ,SP,SS,S,$,:,2PF4.1,-1PE9.2E2,EN8.1,D7.1,G6.1,TL2,TR3,Q,L1,O3.2,Z4)", 0, 46},
        {"(2(X))", kFmtEmptyGroup, 0},
        {"()", kFmtEmptyGroup, 0},
        {"(F5.2", kFmtTooFewRight, 0},
        {"(F5.2))", kFmtTrailing, 0},
        {"(F5.2) x", kFmtTrailing, 0},
        {"F5.2", kFmtBadStart, 0},
        {"", kFmtBadStart, 0},
        {"   ", kFmtBlankLine, 0},
        {"(F2.5)", kFmtWidthBelowDecimals, 0},
        {"(((((((((((I1)))))))))))", kFmtNestingTooDeep, 0},
        {"((((((((((I1))))))))))", 0, 1},
        {"(I)", kFmtSyntax, 0},
        {"(F5)", kFmtSyntax, 0},
        {"(3BN,I1)", kFmtSyntax, 0},
        {"(W3)", kFmtSyntax, 0},
        {"(I1,'open)", kFmtSyntax, 0},
        // nH must find its n characters before the end of the FORMAT.
        {"(I1,9Habc)", kFmtSyntax, 0},
        // Counts too large to sum are refused instead of wrapping.
        {"(1000001I1)", kFmtSyntax, 0},
        {"(1000000(1000000(1000000A1000000)))", kFmtSyntax, 0},
        {"(I99999999999999999999)", kFmtSyntax, 0},
    };
    char out[64];
    for (const auto &c : cases) {
        EXPECT_EQ(start(c.format, {}, out, sizeof out), c.code) << c.format;
        EXPECT_EQ(gFormatError, c.code) << c.format;
        if (c.code == 0) {
            EXPECT_EQ(gLineLenReq, c.width) << c.format;
        }
    }
}

enum class Kind { Text, Real, Integer };

int get(Kind kind)
{
    return kind == Kind::Text ? formatGetText() : kind == Kind::Real ? formatGetRealText() : formatGetIntegerText();
}

TEST(FormatParser, ReadsFields)
{
    const struct {
        const char *format;
        std::vector<std::string> records;
        Kind kind;
        std::vector<std::string> items;  // "#n" expects error n at that item
    } cases[] = {
        {"(F6.3)", {"  1234", " 1.5  "}, Kind::Real, {"1.234", "1.500"}},
        {"(F5.0)", {"  1  "}, Kind::Real, {"100."}},
        {"(BN,F5.0)", {"  1  "}, Kind::Real, {"1."}},
        {"(F6.3)", {"    12"}, Kind::Real, {".012"}},
        {"(2PF7.1)", {"    1.5", "  1.5E1", "-1.5D+2"}, Kind::Real, {"1.5E-2", "1.5E1", "-1.5E+2"}},
        {"(E8.2)", {"  1.5e3 "}, Kind::Real, {"#22"}},
        {"(E10.2)", {"1.0E99999", "1.0E999999"}, Kind::Real, {"1.0E99999", "#21"}},
        {"(F4.1)", {"1..2"}, Kind::Real, {"#22"}},
        {"(I4)", {"  12", "12 x", "-007", "    "}, Kind::Integer, {"12", "#18"}},
        {"(I4)", {"-007", "    ", "1 2 "}, Kind::Integer, {"-7", "0", "1020"}},
        {"(BN,I4)", {"1 2 "}, Kind::Integer, {"#18"}},
        {"(O3,Z4)", {"017 1fA"}, Kind::Integer, {"17", "0x1FA"}},
        {"(O3)", {"018"}, Kind::Integer, {"#19"}},
        {"(Z2)", {"1g"}, Kind::Integer, {"#20"}},
        {"(L3)", {" .t", "F  ", " x "}, Kind::Integer, {"T", "F", "#17"}},
        // Repeated descriptors, a repeated group, then reversion to that group.
        {"(A2,2(I1,X))", {"ab1 2 ", "cd3 4 "}, Kind::Text, {"ab", "#9"}},
        {"(A1,2(A1,1X))", {"abcde", "fghij"}, Kind::Text, {"a", "b", "d", "f", "h", "#10"}},
        {"(A3,/,A2)", {"abcdef", "ghijkl", "mnopqr"}, Kind::Text, {"abc", "gh", "mno"}},
        {"(T3,A2,TL4,A1,TR1,A1)", {"abcdef"}, Kind::Text, {"cd", "a", "c"}},
        {"(TL1,A1)", {"abc"}, Kind::Text, {"#11"}},
        {"(A)", {"whole line"}, Kind::Text, {"whole line"}},
    };
    char out[32];
    for (const auto &c : cases) {
        ASSERT_EQ(start(c.format, c.records, out, sizeof out), 0) << c.format;
        for (const std::string &want : c.items) {
            const int rc = get(c.kind);
            if (want[0] == '#') {
                EXPECT_EQ(rc, std::stoi(want.substr(1))) << c.format;
                break;
            }
            EXPECT_EQ(rc, 0) << c.format << " " << want;
            EXPECT_EQ(std::string(out), want) << c.format;
        }
    }
}

TEST(FormatParser, QCountsTheRestOfTheRecordAndPadsShortLines)
{
    char out[16];
    ASSERT_EQ(start("(A10,Q,A30)", {"0123456789short"}, out, sizeof out), 0);
    ASSERT_EQ(formatGetText(), 0);
    EXPECT_STREQ(out, "0123456789");
    ASSERT_EQ(formatGetIntegerText(), 0);
    EXPECT_STREQ(out, "30");
    EXPECT_EQ(gWidthsAsked, std::vector<uint32_t>{40});
    // A field wider than the output buffer is refused, not cut.
    EXPECT_EQ(formatGetText(), kFmtOutputTooSmall);
    EXPECT_EQ(initFormatParser("(I1)", 4, nullptr, 8, readRecord), kFmtMissingArgument);
}

TEST(FormatParser, NamesItsErrors)
{
    char buffer[128];
    EXPECT_STREQ(fortranFmtErrStr(kFmtNestingTooDeep, buffer, sizeof buffer),
                 "Bad format specification: parenthesis nesting too deep (>10).");
    EXPECT_STREQ(fortranFmtErrStr(kFmtOutsideRecord, buffer, sizeof buffer),
                 "Internal error 11 in Fortran format parser.");
}

}  // namespace
