#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "qel/qel_errormsg.h"
#include "qel/qel_matrices.h"
#include "qel/qel_oututil.h"

namespace {

std::string gText;

int capture(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string piece(static_cast<size_t>(n > 0 ? n : 0), '\0');
    std::vsnprintf(piece.data(), piece.size() + 1, format, args);
    va_end(args);
    gText += piece;
    return n;
}

int gLastLine = 0;
int gIndent = 0;
uint32_t gLineLength = 100;
int fakeLastLine() { return gLastLine; }
int fakeIndent() { return gIndent; }
uint32_t fakeLineLength() { return gLineLength; }

class TableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = qel_printf;
        qel_printf = capture;
        gText.clear();
        gLastLine = 0;
        gIndent = 0;
        gLineLength = 100;
        static const OutputLineMetrics fake = {fakeLastLine, fakeIndent, fakeLineLength};
        setOutputLineMetrics(&fake);
    }
    void TearDown() override
    {
        setOutputLineMetrics(nullptr);
        qel_printf = saved_;
    }
    std::string take()
    {
        std::string out = std::move(gText);
        gText.clear();
        return out;
    }

private:
    PrintHook saved_{};
};

// ---- rules and columns -------------------------------------------------------

TEST_F(TableTest, RepeatedCharactersAreCappedAndNeverNegative)
{
    putRepeatedChar('=', 3);
    EXPECT_EQ(take(), "===");
    putRepeatedChar('=', 0);
    putRepeatedChar('=', -7);
    EXPECT_EQ(take(), "");
    putRepeatedChar('*', 1000);
    EXPECT_EQ(take(), std::string(255, '*'));
    // A character that means something to printf is printed as itself.
    putRepeatedChar('%', 4);
    EXPECT_EQ(take(), "%%%%");
}

TEST_F(TableTest, TableLineUnderlinesTheHeadingJustPrinted)
{
    gLastLine = 40;
    gIndent = 4;
    tableLine(kUnderlineLastLine, 4);
    EXPECT_EQ(take(), std::string(4, ' ') + std::string(36, '-') + "\n");

    // Indented deeper than the line is long: an empty rule, not a wrap-around.
    gLastLine = 3;
    gIndent = 10;
    tableLine(kUnderlineLastLine, 0);
    EXPECT_EQ(take(), "\n");

    tableLine(12, 2);
    EXPECT_EQ(take(), "  ------------\n");
    tableLine(300, 300);
    EXPECT_EQ(take(), std::string(255, ' ') + std::string(255, '-') + "\n");
    tableLine(-4, -4);
    EXPECT_EQ(take(), "\n");
}

TEST_F(TableTest, ColumnsThatFitTheLine)
{
    EXPECT_EQ(maxOutputColumns(12, 10), 7u);
    EXPECT_EQ(maxOutputColumns(10, 0), 10u);
    gLineLength = 254;
    EXPECT_EQ(maxOutputColumns(12, 10), 20u);
    // However narrow the line, a table gets one column, and a zero column
    // width divides nothing by zero.
    EXPECT_EQ(maxOutputColumns(300, 0), 1u);
    EXPECT_EQ(maxOutputColumns(10, 254), 1u);
    EXPECT_EQ(maxOutputColumns(10, 1000), 1u);
    EXPECT_EQ(maxOutputColumns(0, 4), 250u);
}

// ---- real values in fixed widths -------------------------------------------

std::string flt(int maxDecimals, int width, bool noExponent, double x, double expCutoff = 1e37,
                double zeroCutoff = 1e-10)
{
    char buffer[300];
    return fltValueToString(maxDecimals, width, noExponent, sizeof buffer, buffer, x, expCutoff,
                            zeroCutoff);
}

TEST(FltValueToString, KnownTexts)
{
    EXPECT_EQ(flt(4, 8, false, 0.00000001), "1.00e-08");
    EXPECT_EQ(flt(4, 8, false, 0.5), "0.5000");
    EXPECT_EQ(flt(4, 8, false, -0.25), "-0.2500");
    EXPECT_EQ(flt(4, 8, false, 1.0), "1.0000");
    EXPECT_EQ(flt(4, 8, false, 2.5), "2.5000");
    EXPECT_EQ(flt(4, 8, false, 123456789.0), "1.2e+08");
    // The mantissa point left by precision 0 goes.
    EXPECT_EQ(flt(4, 8, false, -123456789.0), "-1e+08");
    EXPECT_EQ(flt(4, 10, false, 1e300), "1.00e+300");
    // Fits in the width but above the cutoff.
    EXPECT_EQ(flt(4, 12, false, 5e6, 1e6), "5.00000e+06");
    EXPECT_EQ(flt(4, 8, true, 123456789.0), "123456789");
    EXPECT_EQ(flt(4, 8, true, 5e6, 1e6), "5000000");
    EXPECT_EQ(flt(4, 8, true, 0.00000001), "0.0000");
    EXPECT_EQ(flt(4, 8, false, 1e-12), "0");
    EXPECT_EQ(flt(4, 8, false, -1e-12), "0");
    EXPECT_EQ(flt(4, 8, false, 0.0, 1e37, 0.0), "0.0000");
    // A negative value below one keeps to the width even when the caller
    // allows more decimals than fit.
    EXPECT_EQ(flt(9, 8, false, -0.5), "-0.50000");
    EXPECT_EQ(flt(9, 8, false, 0.5), "0.500000");
    // Nonsense widths and decimals are clamped.
    EXPECT_EQ(flt(-3, 8, false, 2.5), "2");
    EXPECT_EQ(flt(4, -5, false, 3.0), "3");
    EXPECT_EQ(flt(4, 8, false, std::nan("")), "nan");
}

TEST(FltValueToString, SmallBuffersAreCutNotOverrun)
{
    // An exact-size heap block, so that a write past it trips the sanitizer.
    auto small = std::make_unique<char[]>(4);
    EXPECT_STREQ(fltValueToString(4, 8, false, 4, small.get(), 0.5, 1e37, 1e-10), "0.5");
    auto one = std::make_unique<char[]>(1);
    EXPECT_STREQ(fltValueToString(4, 8, false, 1, one.get(), 1e300, 1e37, 1e-10), "");
    EXPECT_EQ(fltValueToString(4, 8, false, 0, nullptr, 1.0, 1e37, 1e-10), nullptr);
    // Decimals far beyond the buffer.
    auto tight = std::make_unique<char[]>(16);
    fltValueToString(1000, 1000, true, 16, tight.get(), 1e300, 1e37, 1e-10);
    EXPECT_EQ(std::string(tight.get()).size(), 15u);
}

TEST(FltValueToString, RandomValuesFitTheWidthAndKeepTheirValue)
{
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> widthDist(8, 16), decDist(0, 8), expDist(-200, 200);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int i = 0; i < 20000; ++i) {
        const int w = widthDist(rng);
        const int maxDec = decDist(rng);
        double x = mantissa(rng) * std::pow(10.0, expDist(rng));
        if (i % 2)
            x = -x;
        const std::string text = flt(maxDec, w, false, x, 1e37, 1e-250);
        ASSERT_LE(static_cast<int>(text.size()), w) << x << " w " << w << " d " << maxDec;
        char *end = nullptr;
        const double back = std::strtod(text.c_str(), &end);
        ASSERT_EQ(*end, '\0') << text;
        // One significant digit at worst, or the decimals that were allowed.
        const double d = std::min(maxDec, w - 2 - (x < 0 ? 1 : 0));
        ASSERT_LE(std::fabs(back - x), std::max(0.34 * std::fabs(x), 0.51 * std::pow(10.0, -d)))
            << x << " -> " << text;
    }
}

std::string field(int width, int maxDecimals, double x)
{
    gText.clear();
    showDoubleValueInField(width, maxDecimals, x);
    return std::move(gText);
}

TEST_F(TableTest, DoubleInFieldKnownTexts)
{
    EXPECT_EQ(field(10, 4, 3.14159), "    3.1416");
    EXPECT_EQ(field(10, 4, 123456789.0), "     1e+08");
    EXPECT_EQ(field(8, 3, -2.5), "  -2.500");
    EXPECT_EQ(field(8, 2, 0.0), "    0.00");
    EXPECT_EQ(field(8, 2, 99999.99), "  100000");
    // More decimals allowed than the field holds.
    EXPECT_EQ(field(8, 10, 0.001), "0.001000");
    // Large negative values go to exponent form like positive ones.
    EXPECT_EQ(field(10, 4, -1e20), "    -1e+20");
    EXPECT_EQ(field(8, 4, std::numeric_limits<double>::infinity()), "     inf");
    EXPECT_EQ(field(5000, 2, 1.0).size(), 255u);
}

TEST_F(TableTest, DoubleInFieldAlwaysFillsExactlyTheField)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> widthDist(8, 20), decDist(0, 12), expDist(-300, 300);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int i = 0; i < 20000; ++i) {
        const int w = widthDist(rng);
        double x = mantissa(rng) * std::pow(10.0, expDist(rng));
        if (i % 3 == 0)
            x = -x;
        const std::string text = field(w, decDist(rng), x);
        ASSERT_EQ(static_cast<int>(text.size()), w) << x << " in " << w << ": " << text;
        char *end = nullptr;
        std::strtod(text.c_str(), &end);
        ASSERT_EQ(*end, '\0') << text;
    }
}

// ---- listings ----------------------------------------------------------------

TEST_F(TableTest, ArrayOfEveryTypeWithDefaults)
{
    const double d[] = {1.5, 2.0};
    listArray(kNumDouble, d, 2, false, nullptr, nullptr);
    EXPECT_EQ(take(), " 1.5 2\n");

    const int8_t i8[] = {-128, 127};
    const uint8_t u8[] = {200, 0};
    const int16_t i16[] = {-32768, 7};
    const uint16_t u16[] = {65535, 1};
    const int32_t i32[] = {INT32_MIN, -1};
    const uint32_t u32[] = {4294967295u, 10};
    const float f[] = {0.25f, -3.0f};
    listArray(kNumI8, i8, 2, false, nullptr, nullptr);
    listArray(kNumU8, u8, 2, false, nullptr, nullptr);
    listArray(kNumI16, i16, 2, false, nullptr, nullptr);
    listArray(kNumU16, u16, 2, false, nullptr, nullptr);
    listArray(kNumI32, i32, 2, false, nullptr, nullptr);
    listArray(kNumU32, u32, 2, false, nullptr, nullptr);
    listArray(kNumFloat, f, 2, false, nullptr, nullptr);
    EXPECT_EQ(take(), " -128 127\n 200 0\n -32768 7\n 65535 1\n -2147483648 -1\n"
                      " 4294967295 10\n 0.25 -3\n");

    listArray(kNumU32, u32, 2, true, nullptr, "Counts (%d):", 2);
    EXPECT_EQ(take(), "Counts (2): 4294967295 10");
    listArray(kNumI32, nullptr, 5, false, nullptr, "none");
    EXPECT_EQ(take(), "none\n");
    listArray(8, d, 2, false, nullptr, "title");
    listArray(99, d, 2, false, "%g", nullptr);
    EXPECT_EQ(take(), "");
}

TEST_F(TableTest, ElementFormatsAreCheckedAgainstTheType)
{
    const double d[] = {1.5, 2.0};
    const int32_t n[] = {3, -4};
    listArray(kNumDouble, d, 2, false, "%5.2f", nullptr);
    listArray(kNumDouble, d, 2, false, "<%lf>", nullptr);
    listArray(kNumI32, n, 2, false, "[%+04d]", nullptr);
    listArray(kNumI32, n, 2, false, "%d%% ", nullptr);
    listArray(kNumU32, n, 1, false, "%x", nullptr);
    EXPECT_EQ(take(), " 1.50 2.00\n<1.500000><2.000000>\n[+003][-004]\n3% -4% \n3\n");

    // Each unsuitable format falls back to the default instead of reading an
    // argument that is not there or of the wrong type.
    for (const char *bad : {"%s", "%d", "%n", "%g %g", "%*g", "%.*g", "%Lg", "no conversion",
                            "%9999g", "%.9999g", "50%", ""}) {
        listArray(kNumDouble, d, 2, false, bad, nullptr);
        EXPECT_EQ(take(), " 1.5 2\n") << bad;
    }
    for (const char *bad : {"%f", "%s", "%ld", "%lld", "%hd", "%p", "%d %d"}) {
        listArray(kNumI32, n, 2, false, bad, nullptr);
        EXPECT_EQ(take(), " 3 -4\n") << bad;
    }
    EXPECT_TRUE(elementFormatSuits(kNumU8, "%c"));
    EXPECT_FALSE(elementFormatSuits(8, "%d"));
    EXPECT_FALSE(elementFormatSuits(kNumI32, nullptr));
}

TEST_F(TableTest, LongElementTextsAreCut)
{
    const double d[] = {1.0};
    listArray(kNumDouble, d, 1, false, "%200.150f", nullptr);
    const std::string out = take();
    EXPECT_EQ(out.size(), kElementTextSize);  // 31 characters and the newline
    EXPECT_EQ(out, std::string(31, ' ') + "\n");
}

TEST_F(TableTest, TitleArgumentsAreNeverFormats)
{
    const int32_t n[] = {1};
    listArray(kNumI32, n, 1, false, nullptr, "Run %s:", "100%n%s%d");
    EXPECT_EQ(take(), "Run 100%n%s%d: 1\n");
    listMatrix(kNumI32, nullptr, 0, 0, nullptr, "%s", "%x%x");
    EXPECT_EQ(take(), "%x%x\n");
}

TEST_F(TableTest, MatrixRowsWithDefaultAndGivenFormats)
{
    int32_t **m = allocMatrixOf<int32_t>(2, 3);
    ASSERT_NE(m, nullptr);
    const int32_t values[2][3] = {{1, 2, 3}, {-4, 50, 600}};
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j)
            m[i][j] = values[i][j];
    listMatrix(kNumI32, m, 2, 3, nullptr, "Matrix %c", 'A');
    EXPECT_EQ(take(), "Matrix A\n    1    2    3\n   -4   50  600\n");
    listMatrix(kNumI32, m, 2, 2, "%3d", nullptr);
    EXPECT_EQ(take(), "  1  2\n -4 50\n");
    deallocMatrix(m);

    double **r = allocMatrixOf<double>(1, 2);
    ASSERT_NE(r, nullptr);
    r[0][0] = 3.14159265;
    r[0][1] = -1.0e-7;
    listMatrix(kNumDouble, r, 1, 2, nullptr, nullptr);
    EXPECT_EQ(take(), "     3.1416     -1e-07\n");
    deallocMatrix(r);

    EXPECT_STREQ(getDefaultMatrixFormat(kNumU16), "%5u");
    EXPECT_STREQ(getDefaultMatrixFormat(kNumFloat), "%11.5g");
    EXPECT_EQ(getDefaultMatrixFormat(8), nullptr);
    EXPECT_STREQ(getDefaultArrayFormat(kNumI8), " %d");
}

TEST_F(TableTest, LowerTriangleRowsGrowByOne)
{
    double **h = allocHalfMatrixOf<double>(3, true);
    ASSERT_NE(h, nullptr);
    double v = 1;
    for (uint32_t i = 0; i < 3; ++i)
        for (uint32_t j = 0; j <= i; ++j)
            h[i][j] = v++;
    listMatrixLower(kNumDouble, h, 3, true, "%4g", "Lower");
    EXPECT_EQ(take(), "Lower\n   1\n   2   3\n   4   5   6\n");
    deallocHalfMatrix(h);

    uint16_t **s = allocHalfMatrixOf<uint16_t>(3, false);
    ASSERT_NE(s, nullptr);
    s[1][0] = 7;
    s[2][0] = 8;
    s[2][1] = 9;
    listMatrixLower(kNumU16, s, 3, false, nullptr, nullptr);
    EXPECT_EQ(take(), "\n    7\n    8    9\n");
    deallocHalfMatrix(s);
}

TEST_F(TableTest, IntegerTextsCanShareOnePrintCall)
{
    qel_printf("%s|%s|%s|%s", uintOrBlanks(5, true).c_str(), uintOrBlanks(4294967295u, true).c_str(),
               intOrBlanks(INT32_MIN, true).c_str(), intOrBlanks(-12, false).c_str());
    EXPECT_EQ(take(), "5|4294967295|-2147483648|");
    EXPECT_EQ(uintOrBlanks(1, false), "");
}

}  // namespace
