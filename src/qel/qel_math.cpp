#include "qel/qel_detmath.h"
#include "qel/qel_math.h"

#include <cmath>
#include <cstdlib>
#include <numbers>

FPConstants g_fp_constants;

void setFPConstants(FPConstants *c)
{
    c->epsilon = 2.220446049250313e-16;
    c->smallest = 2.2250738585072014e-308;
    c->largest = 1.7976931348623157e308;
    c->safeMinimum = 2.2250738585072014e-308;
    c->largeScale = 4.49423283715579e307;
    c->tinyRoot = 1.0010415475915505e-146;
    c->hugeRoot = 9.989595361011175e145;
}

double exp_safe(double x)
{
    if (x < -kExpSafeBound)
        return 0.0;
    if (x > kExpSafeBound)
        return kExpSafeMax;
    return detExp(x);
}

double log_safe(double x)
{
    // Written so that a NaN argument also lands on the floor.
    return detLog(x > kLogSafeFloor ? x : kLogSafeFloor);
}

double pow_safe(double b, double e)
{
    if (b == 0.0 && e < 0.0)
        return kLargestDouble;
    if (b < 0.0) {
        // Only integral exponents have a real result for a negative base;
        // exponents outside the int range count as non-integral.
        bool integral = e >= -2147483648.0 && e <= 2147483647.0 &&
                        e == static_cast<double>(static_cast<int32_t>(e));
        if (integral)
            return detPow(b, e);
        return b > -1e-6 ? 0.0 : -kLargestDouble;
    }
    return detPow(b, e);
}

double logDiffToRatio(double a, double b)
{
    double d = a - b;
    if (d < -kExpSafeBound)
        return 0.0;
    if (d > kExpSafeBound)
        return kLargestDouble;
    return detExp(d);
}

int compareDoubles(double a, double b, double tol)
{
    double t = std::fmax(std::fabs(a), std::fabs(b)) * tol;
    double d = a - b;
    if (d > t)
        return 1;
    if (d < -t)
        return -1;
    return 0;
}

double returnDoubleUnmodified(double x) { return x; }
double copyDouble(double x) { return x; }

uint32_t intFactorial(uint32_t n)
{
    if (n > 12)
        return 0;   // 13! does not fit in 32 bits
    uint32_t f = 1;
    for (uint32_t i = 2; i <= n; i++)
        f *= i;
    return f;
}

double logFactorial(double x) { return detLgamma(x + 1.0); }

uint64_t nChoose2(uint32_t n)
{
    double d = n;
    return static_cast<uint64_t>(std::floor((d - 1.0) * d / 2.0 + 0.5));
}

uint64_t nChoose4(uint32_t n)
{
    double d = n;
    double v = d * (d - 1.0) * (d - 2.0) * (d - 3.0) / 24.0 + 0.5;
    return v <= 0.0 ? 0 : static_cast<uint64_t>(std::floor(v));
}

double nChooseK(uint32_t n, uint32_t k)
{
    // n - k would wrap around for k > n; there are no such subsets.
    if (k > n)
        return 0.0;
    return detExp(logFactorial(n) - logFactorial(k) - logFactorial(n - k));
}

double wrapZeroTwoPi(double x)
{
    constexpr double twoPi = 2.0 * std::numbers::pi;
    if (x >= 0.0 && x < twoPi)
        return x;
    return x - std::floor(x / twoPi) * twoPi;
}

double wrapMinusPlusPI(double x)
{
    constexpr double pi = std::numbers::pi;
    constexpr double twoPi = 2.0 * pi;
    if (x >= -pi && x < pi)
        return x;
    double y = x + pi;
    return y - std::floor(y / twoPi) * twoPi - pi;
}

double sumOfSquares(const double *v, uint32_t n)
{
    double s = 0.0;
    for (uint32_t i = 0; i < n; i++)
        s += v[i] * v[i];
    return s;
}

double fastFrobeniusVectorNorm(const double *v, uint32_t n)
{
    if (n == 1)
        return v[0];
    return std::sqrt(sumOfSquares(v, n));
}

double saferFrobeniusVectorNorm(const double *v, uint32_t n)
{
    if (n == 1)
        return v[0];
    double m = 0.0;
    for (uint32_t i = 0; i < n; i++)
        m = std::fmax(m, std::fabs(v[i]));
    if (m == 0.0)
        return 0.0;
    // Scaling by the largest element keeps the squares from overflowing.
    double s = 0.0;
    for (uint32_t i = 0; i < n; i++) {
        double q = v[i] / m;
        s += q * q;
    }
    return m * std::sqrt(s);
}

uint32_t powerOfTwoFloor(uint32_t n)
{
    while (n & (n - 1))
        n &= n - 1;
    return n;
}

uint32_t powerOfTwoCeiling(uint32_t n)
{
    if ((n & (n - 1)) == 0)
        return n;
    return powerOfTwoFloor(n) << 1;   // 0 above 2^31, as 32-bit arithmetic gives
}

bool isPowerOf10(uint32_t n)
{
    if (n == 0)
        return false;
    double l = std::log10(static_cast<double>(n));
    return std::fabs(l - std::floor(l + 0.5)) < 1e-16;
}

double roundFlt(double x, double step)
{
    if (step == 0.0)
        return x;
    step = std::fabs(step);
    // fmod keeps the sign of x, so a negative x needs the mirrored test;
    // otherwise negative values would always be truncated towards zero.
    double r = std::fmod(x, step);
    double y = x - r;
    if (r > step / 2.0)
        y += step;
    else if (r < -step / 2.0)
        y -= step;
    return y;
}
