#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "qel/qel_detmath.h"
#include "qel/qel_malloc.h"
#include "qel/qel_math.h"
#include "qel/qel_normal.h"
#include "qel/qel_random.h"
#include "qel/qel_util.h"

namespace {

constexpr double kMaxD = std::numeric_limits<double>::max();

TEST(SafeArithmetic, ExpSafeClampsOnlyBeyondTheBounds)
{
    EXPECT_EQ(exp_safe(-280.0), detExp(-280.0));
    EXPECT_GT(exp_safe(-280.0), 0.0);
    EXPECT_EQ(exp_safe(-280.0000001), 0.0);
    EXPECT_EQ(exp_safe(-1e300), 0.0);
    EXPECT_EQ(exp_safe(280.0), detExp(280.0));
    EXPECT_DOUBLE_EQ(exp_safe(1000.0), std::exp(280.0));
    EXPECT_EQ(exp_safe(280.0000001), exp_safe(1e300));
    EXPECT_EQ(exp_safe(0.0), 1.0);
    EXPECT_DOUBLE_EQ(exp_safe(1.5), std::exp(1.5));
}

TEST(SafeArithmetic, LogSafeHasAFloorNearMinus280)
{
    const double floorLog = std::log(2.4977275669e-122);
    EXPECT_NEAR(floorLog, -280.0, 1e-9);
    EXPECT_EQ(log_safe(0.0), floorLog);
    EXPECT_EQ(log_safe(-1.0), floorLog);
    EXPECT_EQ(log_safe(1e-300), floorLog);
    EXPECT_EQ(log_safe(std::numeric_limits<double>::quiet_NaN()), floorLog);
    EXPECT_EQ(log_safe(1.0), 0.0);
    EXPECT_DOUBLE_EQ(log_safe(1e-100), std::log(1e-100));
    // exp_safe and log_safe invert each other inside the clamped range.
    for (double x = -279.0; x < 280.0; x += 7.25)
        EXPECT_NEAR(log_safe(exp_safe(x)), x, 1e-12 * std::max(1.0, std::fabs(x)));
}

TEST(SafeArithmetic, PowSafeEdges)
{
    EXPECT_EQ(pow_safe(0.0, -1.0), kMaxD);
    EXPECT_EQ(pow_safe(-0.0, -0.5), kMaxD);
    EXPECT_EQ(pow_safe(-8.0, 1.0 / 3.0), -kMaxD);
    EXPECT_EQ(pow_safe(-1e-7, 0.5), 0.0);
    EXPECT_EQ(pow_safe(-2.0, 3.0), -8.0);
    EXPECT_EQ(pow_safe(-2.0, -2.0), 0.25);
    // An integral exponent outside the int range counts as non-integral.
    EXPECT_EQ(pow_safe(-2.0, 4294967296.0), -kMaxD);
    EXPECT_EQ(pow_safe(-1e-9, 4294967296.0), 0.0);
    EXPECT_EQ(pow_safe(2.0, 10.0), 1024.0);
    EXPECT_EQ(pow_safe(0.0, 0.0), 1.0);
    EXPECT_EQ(pow_safe(0.0, 2.0), 0.0);
}

TEST(SafeArithmetic, LogDiffToRatioAndCompareDoubles)
{
    EXPECT_EQ(logDiffToRatio(0.0, 281.0), 0.0);
    EXPECT_EQ(logDiffToRatio(281.0, 0.0), kMaxD);
    EXPECT_DOUBLE_EQ(logDiffToRatio(std::log(6.0), std::log(2.0)), 3.0);

    EXPECT_EQ(compareDoubles(1.0, 1.0 + 1e-12, 1e-10), 0);
    EXPECT_EQ(compareDoubles(1.0, 1.0 + 1e-12, 0.0), -1);
    EXPECT_EQ(compareDoubles(1.0 + 1e-12, 1.0, 0.0), 1);
    EXPECT_EQ(compareDoubles(100.0, 101.0, 0.02), 0);    // tolerance is relative
    EXPECT_EQ(compareDoubles(100.0, 103.0, 0.02), -1);
    EXPECT_EQ(compareDoubles(0.0, 0.0, 0.0), 0);
    EXPECT_EQ(returnDoubleUnmodified(-3.5), -3.5);
    EXPECT_EQ(copyDouble(2.25), 2.25);
}

TEST(SafeArithmetic, FactorialsAndBinomials)
{
    uint64_t f = 1;
    for (uint32_t n = 0; n <= 12; n++) {
        if (n > 1)
            f *= n;
        EXPECT_EQ(intFactorial(n), f) << n;
        EXPECT_NEAR(logFactorial(n), std::log(static_cast<double>(f)), 1e-12);
    }
    EXPECT_EQ(intFactorial(12), 479001600u);
    EXPECT_EQ(intFactorial(13), 0u);
    EXPECT_EQ(intFactorial(100), 0u);

    for (uint64_t n = 0; n < 3000; n += 7) {
        EXPECT_EQ(nChoose2(static_cast<uint32_t>(n)), n < 2 ? 0 : n * (n - 1) / 2) << n;
        uint64_t c4 = n < 4 ? 0 : n * (n - 1) * (n - 2) * (n - 3) / 24;
        EXPECT_EQ(nChoose4(static_cast<uint32_t>(n)), c4) << n;
    }

    // Pascal's triangle as the reference for the log-gamma formula.
    std::vector<std::vector<double>> pascal(41);
    for (uint32_t n = 0; n <= 40; n++) {
        pascal[n].assign(n + 1, 1.0);
        for (uint32_t k = 1; k < n; k++)
            pascal[n][k] = pascal[n - 1][k - 1] + pascal[n - 1][k];
        for (uint32_t k = 0; k <= n; k++)
            EXPECT_NEAR(nChooseK(n, k) / pascal[n][k], 1.0, 1e-11) << n << " " << k;
    }
    // More items chosen than there are: no subsets, not a wrapped n - k.
    EXPECT_EQ(nChooseK(3, 5), 0.0);
}

TEST(SafeArithmetic, AngleWrappingLandsInRangeOnTheSameCircle)
{
    constexpr double twoPi = 2.0 * std::numbers::pi;
    EXPECT_EQ(wrapZeroTwoPi(1.0), 1.0);
    EXPECT_EQ(wrapMinusPlusPI(-1.0), -1.0);
    EXPECT_NEAR(wrapZeroTwoPi(-1.0), twoPi - 1.0, 1e-15);
    EXPECT_NEAR(wrapMinusPlusPI(std::numbers::pi + 0.5), -std::numbers::pi + 0.5, 1e-15);
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> dist(-100.0, 100.0);
    for (int i = 0; i < 2000; i++) {
        double x = dist(gen);
        double a = wrapZeroTwoPi(x), b = wrapMinusPlusPI(x);
        EXPECT_GE(a, 0.0);
        EXPECT_LT(a, twoPi + 1e-12);
        EXPECT_GE(b, -std::numbers::pi - 1e-12);
        EXPECT_LT(b, std::numbers::pi + 1e-12);
        double turnsA = (x - a) / twoPi, turnsB = (x - b) / twoPi;
        EXPECT_NEAR(turnsA, std::round(turnsA), 1e-10);
        EXPECT_NEAR(turnsB, std::round(turnsB), 1e-10);
    }
}

TEST(SafeArithmetic, VectorNorms)
{
    const double v[] = {3.0, 4.0, 12.0};
    EXPECT_EQ(sumOfSquares(v, 3), 169.0);
    EXPECT_EQ(fastFrobeniusVectorNorm(v, 3), 13.0);
    EXPECT_DOUBLE_EQ(saferFrobeniusVectorNorm(v, 3), 13.0);
    const double neg[] = {-2.0};
    EXPECT_EQ(fastFrobeniusVectorNorm(neg, 1), -2.0);
    EXPECT_EQ(saferFrobeniusVectorNorm(neg, 1), -2.0);
    const double zeros[] = {0.0, 0.0};
    EXPECT_EQ(saferFrobeniusVectorNorm(zeros, 2), 0.0);
    // Squares of 1e200 overflow; the scaled form does not.
    const double big[] = {3e200, 4e200};
    EXPECT_TRUE(std::isinf(fastFrobeniusVectorNorm(big, 2)));
    EXPECT_NEAR(saferFrobeniusVectorNorm(big, 2) / 5e200, 1.0, 1e-15);
}

TEST(SafeArithmetic, PowersOfTwoAndTen)
{
    EXPECT_EQ(powerOfTwoFloor(0), 0u);
    EXPECT_EQ(powerOfTwoCeiling(0), 0u);
    EXPECT_EQ(powerOfTwoCeiling(5), 8u);
    EXPECT_EQ(powerOfTwoCeiling(8), 8u);
    EXPECT_EQ(powerOfTwoFloor(0xFFFFFFFFu), 0x80000000u);
    EXPECT_EQ(powerOfTwoCeiling(0x80000001u), 0u);   // wraps in 32 bits
    std::mt19937 gen(5);
    for (int i = 0; i < 5000; i++) {
        uint32_t n = gen() >> (gen() % 32);
        if (n == 0)
            continue;
        uint32_t naive = 1;
        while (naive <= n / 2)
            naive *= 2;
        EXPECT_EQ(powerOfTwoFloor(n), naive) << n;
        EXPECT_EQ(powerOfTwoCeiling(n), naive == n ? n : naive * 2) << n;
    }
    for (uint32_t p = 1; p <= 1000000000u; p *= 10)
        EXPECT_TRUE(isPowerOf10(p)) << p;
    for (uint32_t n : {0u, 2u, 9u, 11u, 99u, 101u, 1001u, 999999u})
        EXPECT_FALSE(isPowerOf10(n)) << n;
}

TEST(SafeArithmetic, RoundFltIsSymmetricInSign)
{
    EXPECT_EQ(roundFlt(2.9, 0.0), 2.9);
    EXPECT_EQ(roundFlt(2.9, 1.0), 3.0);
    EXPECT_EQ(roundFlt(2.2, 1.0), 2.0);
    EXPECT_EQ(roundFlt(-2.9, 1.0), -3.0);
    EXPECT_EQ(roundFlt(-2.2, 1.0), -2.0);
    EXPECT_EQ(roundFlt(2.5, 1.0), 2.0);    // an exact half is not "more than half"
    EXPECT_EQ(roundFlt(-2.5, 1.0), -2.0);
    EXPECT_EQ(roundFlt(-0.4375, 0.25), -0.5);
    EXPECT_EQ(roundFlt(-0.375, 0.25), -0.25);   // a tie again
    EXPECT_EQ(roundFlt(7.3, -2.0), 8.0);   // a negative step acts as its magnitude
    // Against a naive nearest multiple, away from exact halves.
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> dist(-1000.0, 1000.0);
    for (double step : {1.0, 0.5, 0.125, 4.0}) {
        for (int i = 0; i < 2000; i++) {
            double x = dist(gen);
            double q = x / step;
            if (std::fabs(q - std::trunc(q)) > 0.4999 && std::fabs(q - std::trunc(q)) < 0.5001)
                continue;
            EXPECT_EQ(roundFlt(x, step), std::round(q) * step) << x << " " << step;
            EXPECT_EQ(roundFlt(-x, step), -roundFlt(x, step));
        }
    }
}

TEST(SafeArithmetic, FloatingPointConstants)
{
    FPConstants c{};
    setFPConstants(&c);
    EXPECT_EQ(c.epsilon, std::numeric_limits<double>::epsilon());
    EXPECT_EQ(c.smallest, std::numeric_limits<double>::min());
    EXPECT_EQ(c.largest, std::numeric_limits<double>::max());
    EXPECT_EQ(c.safeMinimum, std::numeric_limits<double>::min());
    EXPECT_EQ(c.largeScale, std::ldexp(1.0, 1022));
    EXPECT_EQ(c.tinyRoot, std::ldexp(1.0, -485));
    EXPECT_EQ(c.hugeRoot, std::ldexp(1.0, 485));
}

// ---- normal distribution ----

double referenceCDF(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }

TEST(Normal, KnownValues)
{
    EXPECT_EQ(stdnormal_CDF(0.0), 0.5);
    EXPECT_DOUBLE_EQ(stdnormal_PDF(0.0), 1.0 / std::sqrt(2.0 * std::numbers::pi));
    EXPECT_NEAR(stdnormal_invCDF(0.975), 1.959964, 5e-7);
    EXPECT_NEAR(stdnormal_invCDF(0.975), 1.959963984540054, 1e-12);
    EXPECT_NEAR(stdnormal_invCDF(0.5), 0.0, 1e-15);
    EXPECT_NEAR(stdnormal_invCDF(0.8413447460685429), 1.0, 1e-12);
    EXPECT_EQ(stdnormal_invCDF(0.0), -1e37);
    EXPECT_EQ(stdnormal_invCDF(-0.1), -1e37);
    EXPECT_EQ(stdnormal_invCDF(1.0), 1e37);
    EXPECT_EQ(stdnormal_CDF(-2e37), 0.0);
    EXPECT_EQ(stdnormal_CDF(2e37), 1.0);
}

TEST(Normal, CdfAgreesWithErfcInEveryRange)
{
    // Covers the central, middle and far-tail approximations. The far-tail
    // form is used from |x| = 4 on, where its relative error is still about
    // 1.6e-11; it shrinks further out.
    for (double x = -37.0; x <= 8.0; x += 0.001953125) {
        double ref = referenceCDF(x);
        double got = stdnormal_CDF(x);
        double relTol = x < -4.0 ? 2e-11 : 1e-14;
        EXPECT_NEAR(got, ref, relTol * ref) << x;
        EXPECT_NEAR(stdnormal_CDF(-x), 1.0 - got, 2e-16) << x;
    }
}

TEST(Normal, CdfIsContinuousWhereTheRangesMeet)
{
    const double edge = 0.6629126073623883;
    for (double sign : {-1.0, 1.0}) {
        double inside = stdnormal_CDF(sign * edge);
        double outside = stdnormal_CDF(sign * std::nextafter(edge, 1.0));
        EXPECT_NEAR(inside, outside, 2e-15);
    }
    // The other seam, at |x| = 4, joins to the far-tail form's accuracy.
    double at4 = stdnormal_CDF(-4.0);
    EXPECT_NEAR(stdnormal_CDF(std::nextafter(-4.0, -5.0)) / at4, 1.0, 2e-11);
}

TEST(Normal, QuantileInvertsTheCdf)
{
    std::mt19937_64 gen(17);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> ps = {1e-300, 1e-100, 1e-20, 1e-8, 0.02425, 0.0242501, 0.3, 0.9999};
    for (int i = 0; i < 3000; i++)
        ps.push_back(unit(gen));
    for (double p : ps) {
        if (p <= 0.0)
            continue;
        double x = stdnormal_invCDF(p);
        EXPECT_NEAR(stdnormal_CDF(x) / p, 1.0, 1e-12) << p;
        // 1 - p must be representable for the mirror image to mean anything.
        if (p < 0.5 && p > 1e-12) {
            EXPECT_NEAR(stdnormal_invCDF(1.0 - p), -x, 1e-9 * std::max(1.0, std::fabs(x))) << p;
        }
    }
}

TEST(Normal, VariatesInvertOneUniformDrawEach)
{
    RNG a{}, b{};
    initRNG(&a, makeSeed(12345, 0, 0, 0));
    initRNG(&b, makeSeed(12345, 0, 0, 0));
    for (int i = 0; i < 100; i++) {
        double u = randUni(&b);
        ASSERT_DOUBLE_EQ(randStdNorm(&a), stdnormal_invCDF(u));
    }
    double u = randUni(&b);
    EXPECT_DOUBLE_EQ(randNormal(&a, 10.0, 3.0), 10.0 + 3.0 * stdnormal_invCDF(u));
}

// ---- array utilities ----

TEST(ArrayUtilities, FillSumAndExtremes)
{
    double d[5];
    setDoubleArrayToValue(d, 5, 1.5);
    EXPECT_EQ(doubleArraySum(d, 5), 7.5);
    d[2] = -4.0;
    d[4] = 9.0;
    EXPECT_EQ(doubleArrayMin(d, 5), -4.0);
    EXPECT_EQ(doubleArrayMax(d, 5), 9.0);
    EXPECT_EQ(doubleArrayMin(d, 0), kMaxD);
    EXPECT_EQ(doubleArrayMax(d, 0), -kMaxD);

    const double ties[] = {3.0, 1.0, 1.0, 3.0};
    EXPECT_EQ(doubleArraySmallestElement(ties, 3), 1u);
    EXPECT_EQ(doubleArrayLargestElement(ties, 4), 0u);
    EXPECT_EQ(doubleArraySmallestElement(ties, 1), 0u);

    int32_t iv[4];
    setIntArrayToValue(iv, 4, -7);
    EXPECT_EQ(intArraySum(iv, 4), -28);
    iv[1] = 5;
    EXPECT_EQ(intArrayMin(iv, 4), -7);
    EXPECT_EQ(intArrayMax(iv, 4), 5);
    EXPECT_EQ(intArrayMin(iv, 0), INT32_MAX);
    EXPECT_EQ(intArrayMax(iv, 0), INT32_MIN);
    const int32_t wrap[] = {INT32_MAX, 1};
    EXPECT_EQ(intArraySum(wrap, 2), INT32_MIN);   // 32-bit sum, no undefined overflow

    uint32_t uv[3];
    setUintArrayToValue(uv, 3, 0xFFFFFFFFu);
    EXPECT_EQ(uintArraySum(uv, 3), 0xFFFFFFFDu);
    uv[0] = 4;
    EXPECT_EQ(uintArrayMin(uv, 3), 4u);
    EXPECT_EQ(uintArrayMax(uv, 3), 0xFFFFFFFFu);
    EXPECT_EQ(uintArrayMin(uv, 0), 0xFFFFFFFFu);
    EXPECT_EQ(uintArrayMax(uv, 0), 0u);

    void *ptrs[3];
    int target = 0;
    setPtrArrayToValue(ptrs, 3, &target);
    EXPECT_EQ(ptrs[2], &target);
}

TEST(ArrayUtilities, MatrixHelpers)
{
    double rows[3][3];
    double *m[3] = {rows[0], rows[1], rows[2]};
    setDoubleMatrixToValue(m, 3, 3, 0.0);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            m[i][j] = i * 3 + j;   // 0..8
    EXPECT_EQ(doubleMatrixRowSum(m, 3, 1), 3.0 + 4.0 + 5.0);
    EXPECT_EQ(doubleMatrixColSum(m, 3, 2), 2.0 + 5.0 + 8.0);
    EXPECT_EQ(doubleTrace(m, 3), 0.0 + 4.0 + 8.0);
    setDoubleMatrixToValue(m, 2, 3, -1.0);
    EXPECT_EQ(doubleMatrixRowSum(m, 3, 1), -3.0);
    EXPECT_EQ(m[2][0], 6.0);
}

TEST(ArrayUtilities, CopyConcatReverseNormalise)
{
    const double src[] = {0.1, 1e40, -2.5};
    float dst[3];
    EXPECT_EQ(copyDoubleArrayToFloat(src, dst, 3), dst);
    EXPECT_EQ(dst[0], 0.1f);
    EXPECT_TRUE(std::isinf(dst[1]));
    EXPECT_EQ(dst[2], -2.5f);

    int a[6] = {1, 2, 3, 0, 0, 0};
    const int b[] = {7, 8};
    int out[5] = {};
    EXPECT_EQ(concatArrays(a, 3, b, 2, out, sizeof(int)), a);
    EXPECT_EQ(std::vector<int>(out, out + 5), (std::vector<int>{1, 2, 3, 7, 8}));
    EXPECT_EQ(concatArrays(a, 3, b, 2, a, sizeof(int)), a);   // appending in place
    EXPECT_EQ(std::vector<int>(a, a + 6), (std::vector<int>{1, 2, 3, 7, 8, 0}));
    EXPECT_EQ(concatArrays(a, 3, b, 2, out, UINT64_MAX / 2), nullptr);

    double r[] = {1.0, 2.0, 3.0, 4.0, 5.0};
    reverseDoubleArray(r, 5);
    EXPECT_EQ(std::vector<double>(r, r + 5), (std::vector<double>{5, 4, 3, 2, 1}));
    int x1 = 0, x2 = 0;
    void *p[] = {&x1, &x2};
    reversePtrArray(p, 2);
    EXPECT_EQ(p[0], &x2);

    double w[] = {1.0, 3.0, 4.0};
    double n[3] = {-1, -1, -1};
    normalizeWeights(w, 3, n);
    EXPECT_EQ(std::vector<double>(n, n + 3), (std::vector<double>{0.125, 0.375, 0.5}));
    normalizeWeights(w, 3, w);
    EXPECT_EQ(w[1], 0.375);
    double z[] = {0.0, 0.0};
    double untouched[] = {7.0, 8.0};
    normalizeWeights(z, 2, untouched);
    EXPECT_EQ(untouched[0], 7.0);
    EXPECT_EQ(untouched[1], 8.0);

    double f[] = {-1.0, 0.5, 2.0};
    forceMinimumValue(f, 3, 0.75);
    EXPECT_EQ(std::vector<double>(f, f + 3), (std::vector<double>{0.75, 0.75, 2.0}));
}

TEST(ArrayUtilities, ThreeValueHelpersMatchSorting)
{
    const double vals[] = {-1.0, 0.0, 2.0, 2.0, 5.0};
    for (double x : vals)
        for (double y : vals)
            for (double z : vals) {
                double s[] = {x, y, z};
                std::sort(s, s + 3);
                EXPECT_EQ(fmin3(x, y, z), s[0]);
                EXPECT_EQ(fmedian3(x, y, z), s[1]);
                EXPECT_EQ(fmax3(x, y, z), s[2]);
            }
    EXPECT_EQ(fmax3(std::nan(""), 1.0, 2.0), 2.0);   // fmax ignores a NaN
}

TEST(ArrayUtilities, IndexArraysAndBinarySearch)
{
    clearMemoryErrorStatus();
    uint32_t *idx = createIndexArray(6);
    ASSERT_NE(idx, nullptr);
    for (uint32_t i = 0; i < 6; i++)
        EXPECT_EQ(idx[i], i);
    deallocArray(idx);

    EXPECT_EQ(binarySearchInt(3, nullptr, 0), 2147483647u);
    EXPECT_EQ(binarySearchUint(3, nullptr, 0), 4294967295u);

    std::mt19937 gen(29);
    for (int trial = 0; trial < 300; trial++) {
        uint32_t n = gen() % 50;
        std::vector<int32_t> si;
        std::vector<uint32_t> su;
        int32_t v = -1000 + static_cast<int32_t>(gen() % 100);
        for (uint32_t i = 0; i < n; i++) {
            v += 1 + static_cast<int32_t>(gen() % 5);   // strictly ascending
            si.push_back(v);
            su.push_back(static_cast<uint32_t>(v + 2000));
        }
        for (int32_t key = -1100; key < v + 10; key += 1 + static_cast<int32_t>(gen() % 3)) {
            auto it = std::find(si.begin(), si.end(), key);
            uint32_t want = it == si.end() ? 2147483647u : static_cast<uint32_t>(it - si.begin());
            EXPECT_EQ(binarySearchInt(key, si.data(), n), want);
            uint32_t wantU = it == si.end() ? 4294967295u : want;
            EXPECT_EQ(binarySearchUint(static_cast<uint32_t>(key + 2000), su.data(), n), wantU);
        }
    }
    // Keys at the extremes of the types.
    const int32_t ext[] = {INT32_MIN, 0, INT32_MAX};
    EXPECT_EQ(binarySearchInt(INT32_MIN, ext, 3), 0u);
    EXPECT_EQ(binarySearchInt(INT32_MAX, ext, 3), 2u);
    const uint32_t uext[] = {0u, 0xFFFFFFFFu};
    EXPECT_EQ(binarySearchUint(0xFFFFFFFFu, uext, 2), 1u);
    EXPECT_EQ(binarySearchUint(1u, uext, 2), 4294967295u);
}

TEST(ArrayUtilities, SleepWaitsAtLeastTheTime)
{
    auto t0 = std::chrono::steady_clock::now();
    mySleep(20);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_GE(ms.count(), 20);
}

}   // namespace
