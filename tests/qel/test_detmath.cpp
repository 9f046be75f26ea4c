#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>

#include "qel/qel_detmath.h"

namespace {

// Distance in units of the last place of `want` (rounded to double) between
// the computed value and the x87 extended-precision reference.
double ulpsFrom(double got, long double want)
{
    const auto w = static_cast<double>(want);
    if (got == w)
        return 0.0;
    const double ulp = std::nextafter(std::fabs(w), std::numeric_limits<double>::infinity()) - std::fabs(w);
    return static_cast<double>(std::fabs(static_cast<long double>(got) - want) / ulp);
}

struct Worst {
    double ulps = 0.0, at = 0.0;
};

Worst worstOver(double lo, double hi, int n, const std::function<double(double)> &f,
                const std::function<long double(long double)> &ref, bool logScale = false)
{
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> u(lo, hi);
    Worst w;
    for (int i = 0; i < n; ++i) {
        const double x = logScale ? std::exp2(u(rng)) : u(rng);
        const double e = ulpsFrom(f(x), ref(static_cast<long double>(x)));
        if (e > w.ulps)
            w = {e, x};
    }
    return w;
}

// The accuracy each function keeps over the ranges the likelihood and the
// distributions use (the reference is the x87 library, which has no
// CPU-dependent variants).
TEST(DeterministicMath, WithinAFewUlpsOfTheExtendedReference)
{
    constexpr int n = 200000;
    struct Case {
        const char *name;
        double lo, hi, limit;
        bool logScale;
        std::function<double(double)> f;
        std::function<long double(long double)> ref;
    };
    const Case cases[] = {
        {"exp", -745.0, 709.0, 1.5, false, detExp, [](long double x) { return expl(x); }},
        {"exp near 0", -1e-3, 1e-3, 1.5, false, detExp, [](long double x) { return expl(x); }},
        {"log", -1074.0, 1023.0, 1.5, true, detLog, [](long double x) { return logl(x); }},
        {"log near 1", 0.9, 1.1, 1.5, false, detLog, [](long double x) { return logl(x); }},
        {"log1p", -0.999, 10.0, 2.5, false, detLog1p, [](long double x) { return log1pl(x); }},
        {"log1p small", -40.0, -1.0, 2.5, true, detLog1p, [](long double x) { return log1pl(x); }},
        {"lgamma", 2.5, 1e4, 4.0, false, detLgamma, [](long double x) { return lgammal(x); }},
        {"lgamma small", -30.0, 0.9, 6.0, true, detLgamma, [](long double x) { return lgammal(x); }},
        {"sin", -100.0, 100.0, 2.0, false, detSin, [](long double x) { return sinl(x); }},
        {"asin", -1.0, 1.0, 2.5, false, detAsin, [](long double x) { return asinl(x); }},
    };
    for (const Case &c : cases) {
        const Worst w = worstOver(c.lo, c.hi, n, c.f, c.ref, c.logScale);
        EXPECT_LE(w.ulps, c.limit) << c.name << " at " << w.at;
    }
    // pow through exp(y log x) loses accuracy with |y log x|; over results
    // within 1e+-30 it stays within 1e-14 relative.
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> ux(1e-3, 50.0), uy(-10.0, 10.0);
    for (int i = 0; i < n; ++i) {
        const double x = ux(rng), y = uy(rng);
        const long double want = powl(static_cast<long double>(x), static_cast<long double>(y));
        EXPECT_LE(std::fabs(static_cast<long double>(detPow(x, y)) / want - 1.0L), 1e-14L) << x << "^" << y;
    }
}

TEST(DeterministicMath, EdgesAndExactValues)
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(detExp(0.0), 1.0);
    EXPECT_EQ(detExp(800.0), inf);
    EXPECT_EQ(detExp(-800.0), 0.0);
    EXPECT_GT(detExp(-744.0), 0.0);  // a subnormal result, not zero
    EXPECT_TRUE(std::isnan(detExp(std::nan(""))));
    EXPECT_EQ(detLog(1.0), 0.0);
    EXPECT_EQ(detLog(0.0), -inf);
    EXPECT_EQ(detLog(inf), inf);
    EXPECT_TRUE(std::isnan(detLog(-1.0)));
    EXPECT_NEAR(detLog(4.9406564584124654e-324), -744.44007192138126, 1e-12);
    EXPECT_EQ(detLog1p(0.0), 0.0);
    EXPECT_EQ(detLog1p(-1.0), -inf);
    EXPECT_EQ(detLgamma(1.0), 0.0);
    EXPECT_EQ(detLgamma(2.0), 0.0);
    EXPECT_EQ(detLgamma(0.0), inf);
    EXPECT_NEAR(detLgamma(0.5), 0.57236494292470008707, 1e-15);
    // Integral powers are products; a negative base keeps the sign of odd ones.
    EXPECT_EQ(detPow(3.0, 4.0), 81.0);
    EXPECT_EQ(detPow(2.0, -3.0), 0.125);
    EXPECT_EQ(detPow(-2.0, 3.0), -8.0);
    EXPECT_NEAR(detPow(-2.0, 101.0) / -std::ldexp(1.0, 101), 1.0, 1e-14);
    EXPECT_TRUE(std::isnan(detPow(-2.0, 0.5)));
    EXPECT_EQ(detPow(0.0, 2.5), 0.0);
    EXPECT_EQ(detPow(0.0, -1.0), inf);
    EXPECT_EQ(detPow(7.0, 0.0), 1.0);
    EXPECT_EQ(detSin(0.0), 0.0);
    EXPECT_EQ(detAsin(1.0), 1.5707963267948966);
    EXPECT_TRUE(std::isnan(detAsin(1.5)));
}

}  // namespace
