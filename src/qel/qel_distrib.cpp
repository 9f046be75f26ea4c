#include "qel/qel_detmath.h"
#include "qel/qel_distrib.h"

#include <algorithm>
#include <cmath>

#include "qel/qel_errormsg.h"
#include "qel/qel_math.h"
#include "qel/qel_normal.h"
#include "qel/qel_random.h"

namespace {

constexpr double kLn2 = 0.6931471806;
// Below this probability the chi-square quantile is sought on the logarithmic
// scale (lowerTailQuantile).
constexpr double kFarLowerTail = 1e-5;

void setErr(uint32_t *err, uint32_t code)
{
    if (err)
        *err = code;
}

double betaCF(double a, double b, double x)
{
    constexpr int kMaxIter = 100;
    constexpr double kEps = 1e-7;
    double am = 1.0, bm = 1.0, az = 1.0;
    double bz = 1.0 - (a + b) * x / (a + 1.0);
    for (int m = 1; m <= kMaxIter; m++) {
        const double em = m, tem = em + em;
        double d = em * (b - em) * x / ((a - 1.0 + tem) * (a + tem));
        const double ap = az + d * am, bp = bz + d * bm;
        d = -(a + em) * (a + b + em) * x / ((a + 1.0 + tem) * (a + tem));
        const double app = ap + d * az, bpp = bp + d * bz;
        const double aold = az;
        am = ap / bpp;
        bm = bp / bpp;
        az = app / bpp;
        bz = 1.0;
        if (std::fabs(az - aold) < kEps * std::fabs(az))
            return az;
    }
    errorSound();
    qel_printf("Internal error in 'betaCF': MAX_ITER exceeded\n");
    return 0.0;
}

// Lower incomplete gamma by its power series; x <= 1 or x < a, so the
// terms shrink. The cap only guards against arguments no caller passes.
double gammaSeries(double x, double a)
{
    double sum = 1.0, term = 1.0, b = a;
    for (int i = 0; i < 100000 && term > 1e-14; i++) {
        b += 1.0;
        term *= x / b;
        sum += term;
    }
    return exp_safe(detLog(sum) + a * detLog(x) - x - detLgamma(a + 1.0));
}

// Upper incomplete gamma by its continued fraction (x > 1 and x >= a).
double gammaFraction(uint32_t *err, double x, double a)
{
    constexpr int kMaxIter = 10000;
    double c1 = 1.0 - a, c2 = c1 + x + 1.0, k = 0.0;
    double p1 = 1.0, p2 = x, p3 = x + 1.0, p4 = x * c2;
    double g = p3 / p4;
    bool settled = false;
    for (int i = 0; i < kMaxIter && !settled; i++) {
        c1 += 1.0;
        c2 += 2.0;
        k += 1.0;
        const double an = c1 * k;
        const double p5 = c2 * p3 - an * p1, p6 = c2 * p4 - an * p2;
        if (p6 != 0.0) {
            const double r = p5 / p6;
            if (std::fabs(g - r) <= std::min(1e-14, 1e-14 * r))
                settled = true;
            g = r;
        }
        p1 = p3;
        p2 = p4;
        p3 = p5;
        p4 = p6;
        if (std::fabs(p5) >= 1e30) {
            p1 /= 1e30;
            p2 /= 1e30;
            p3 /= 1e30;
            p4 /= 1e30;
        }
    }
    setErr(err, settled ? kGammaD_OK : kGammaD_NoConvergence);
    return 1.0 - exp_safe(detLog(g) + a * detLog(x) - x - detLgamma(a));
}

// Start value of the chi-square quantile (AS 91); xx = v / 2, c = xx - 1.
double chi2Start(double p, double v, double g, double xx, double c)
{
    if (v < -1.24 * detLog(p))
        return pow_safe(p * xx * exp_safe(xx * kLn2 + g), 1.0 / xx);
    if (v > 0.32) {
        const double z = stdnormal_invCDF(p), q = 0.222222 / v;
        const double r = z * std::sqrt(q) + 1.0 - q;
        double ch = v * r * r * r;
        if (ch > 2.2 * v + 6.0)
            ch = -2.0 * (detLog(1.0 - p) - c * detLog(ch / 2.0) + g);
        return ch;
    }
    // Newton iterations on an approximation of the lower tail; bounded,
    // since the refinement below takes over from whatever they reach.
    double ch = 0.4;
    const double A = detLog(1.0 - p);
    for (int i = 0; i < 100; i++) {
        const double q = ch;
        const double P1 = 1.0 + ch * (4.67 + ch), P2 = ch * (6.73 + ch * (6.66 + ch));
        const double t = -0.5 + (4.67 + 2.0 * ch) / P1 - (6.73 + ch * (13.32 + 3.0 * ch)) / P2;
        ch -= (1.0 - detExp(A + g + 0.5 * ch + c * kLn2) * P2 / P1) / t;
        if (!std::isfinite(ch) || std::fabs(q / ch - 1.0) <= 0.01)
            break;
    }
    return ch;
}

// log P(a, h) by the power series, from log h, with the series sum in *sum
// (P = h^a e^-h S / Gamma(a + 1)). In logarithms it stays exact where P
// itself is far below what gammaD can represent.
double logLowerGammaSeries(double logH, double a, double lgammaA1, double *sum)
{
    const double h = detExp(logH);
    double s = 1.0, term = 1.0, b = a;
    for (int i = 0; i < 100000 && term > 1e-17 * s; i++) {
        b += 1.0;
        term *= h / b;
        s += term;
    }
    *sum = s;
    return detLog(s) + a * logH - h - lgammaA1;
}

// The quantile where it lies far down the lower tail (x = v / 2). There the
// Taylor steps of AS 91 converge slowly or overshoot, and P falls below the
// range of gammaD. Newton's method on log P against log h is used instead:
// d log P / d log h = x / S, so log P is concave in log h, and the start (the
// first term of the series alone) lies below the root, so the iterates rise
// monotonically to it.
double lowerTailQuantile(uint32_t *err, double p, double x, double g)
{
    const double lgammaX1 = g + detLog(x);
    const double target = detLog(p);
    double logH = (target + lgammaX1) / x;
    for (int i = 0; i < 100; i++) {
        double sum = 0.0;
        const double step = (target - logLowerGammaSeries(logH, x, lgammaX1, &sum)) * sum / x;
        logH += step;
        if (std::fabs(step) <= 1e-12 * std::max(1.0, std::fabs(logH)))
            return 2.0 * detExp(logH);
    }
    setErr(err, kPpChi2_NoConvergence);
    return 2.0 * detExp(logH);
}

// The high-order Taylor step of AS 91 from ch, where P = P(v/2, ch/2).
double as91Step(double p, double P, double ch, double g, double xx, double c)
{
    const double h = ch / 2.0;
    const double t = (p - P) * detExp(xx * kLn2 + g + h - c * detLog(ch));
    const double b = t / ch, a = t / 2.0 - b * c;
    const double s1 = (210.0 + a * (140.0 + a * (105.0 + a * (84.0 + a * (70.0 + 60.0 * a))))) / 420.0;
    const double s2 = (420.0 + a * (735.0 + a * (966.0 + a * (1141.0 + 1278.0 * a)))) / 2520.0;
    const double s3 = (210.0 + a * (462.0 + a * (707.0 + 932.0 * a))) / 2520.0;
    const double s4 = (252.0 + a * (672.0 + 1182.0 * a) + c * (294.0 + a * (889.0 + 1740.0 * a))) / 5040.0;
    const double s5 = (84.0 + 2264.0 * a + c * (1175.0 + 606.0 * a)) / 2520.0;
    const double s6 = (120.0 + c * (346.0 + 127.0 * c)) / 5040.0;
    return ch + t * (1.0 + t * s1 / 2.0 - b * c * (s1 - b * (s2 - b * (s3 - b * (s4 - b * (s5 - b * s6))))));
}

}  // namespace

double randStdGamma(RNG *rng, double a)
{
    const double L = detLog(a), s = std::sqrt(a);
    double U;
    if (L < 0.20931492)
        U = (a - L) * 0.5 - 0.30685281944005466;
    else if (L < 0.52122324)
        U = -0.13546023 * L + 0.12789964;
    else if (L < 1.76421669)
        U = -0.08476353 * L + 0.10147534;
    else
        U = -0.048065894062201076;
    double D;
    if (L <= -3.33318991)
        D = 0.306253 * L + 0.27127295;
    else if (L <= 1.44893155)
        D = 0.1246518 * L - 0.33403833;
    else
        D = -0.15342640972002736;
    const double eD = detExp(D), eU = detExp(U);
    for (;;) {
        const double u1 = randUni(rng);
        const double u2 = randUni(rng);
        const double y = ((eD + eU) * u2 - eU) / u1;
        const double g = detExp(L + y / s);
        if (y * s + a - g >= 2.0 * detLog(u1))
            return g;
    }
}

double randGamma(RNG *rng, double shape, double scale) { return randStdGamma(rng, shape) * scale; }

double randGammaMeanShape(RNG *rng, double mean, double shape) { return randStdGamma(rng, shape) * mean / shape; }

double randBeta(RNG *rng, double a, double b)
{
    const double g1 = randStdGamma(rng, a);
    const double g2 = randStdGamma(rng, b);
    return g1 / (g2 + g1);
}

double ln_gamma_PDF(double x, double shape, double mean)
{
    if (x <= 0.0 || shape <= 0.0 || mean <= 0.0)
        return kLargestDouble;
    const double scale = mean / shape;
    return (shape - 1.0) * detLog(x) - shape * detLog(scale) - detLgamma(shape) - x / scale;
}

double gamma_PDF(double x, double shape, double mean)
{
    if (x <= 0.0 || shape <= 0.0 || mean <= 0.0)
        return kLargestDouble;
    return exp_safe(ln_gamma_PDF(x, shape, mean));
}

double exponential_PDF(double x, double rate) { return x < 0.0 ? 0.0 : rate * exp_safe(-rate * x); }

double ln_exponential_PDF(double x, double rate) { return x < 0.0 ? kLargestDouble : detLog(rate) - x * rate; }

double betaFunction(double a, double b) { return detExp(detLgamma(a) + detLgamma(b) - detLgamma(a + b)); }

double lnBeta_PDF(double x, double a, double b)
{
    if (x < 0.0 || x > 1.0 || a <= 0.0 || b <= 0.0)
        return kLargestDouble;
    return (a - 1.0) * detLog(x) + (b - 1.0) * detLog(1.0 - x) -
           (detLgamma(a) + detLgamma(b) - detLgamma(a + b));
}

double beta_PDF(double x, double a, double b)
{
    if (x < 0.0 || x > 1.0 || a <= 0.0 || b <= 0.0)
        return kLargestDouble;
    return exp_safe(lnBeta_PDF(x, a, b));
}

double betaI(double a, double b, double x)
{
    const double front = (x == 0.0 || x == 1.0) ? 0.0
                                                : detExp(detLgamma(a + b) - detLgamma(a) - detLgamma(b) +
                                                           a * detLog(x) + b * detLog(1.0 - x));
    if (x < (a + 1.0) / (a + b + 2.0))
        return front * betaCF(a, b, x) / a;
    return 1.0 - front * betaCF(b, a, 1.0 - x) / b;
}

double gammaD(uint32_t *err, double x, double a)
{
    // Written as negations so that NaN arguments are refused too.
    if (!(a > 0.0) || !(x >= 0.0)) {
        setErr(err, kGammaD_BadArgument);
        return 0.0;
    }
    setErr(err, kGammaD_OK);
    if (x == 0.0)
        return 0.0;
    if (a > 1000.0) {
        const double c = pow_safe(x / a, 1.0 / 3.0);
        return stdnormal_CDF(3.0 * std::sqrt(a) * (c + 1.0 / (9.0 * a) - 1.0));
    }
    if (x > 1e8)
        return 1.0;
    if (x <= 1.0 || x < a)
        return gammaSeries(x, a);
    return gammaFraction(err, x, a);
}

// AS 91 with its Taylor step kept inside a bracket: every evaluation of P
// narrows [lo, hi] around the quantile, and a step that is not finite or
// leaves the bracket is replaced by bisection (geometric while the bracket
// spans orders of magnitude). The far lower tail (p below 1e-5, or a start
// value below 5e-7) is left to lowerTailQuantile. Should a step still fall
// below 5e-7, where P behaves like ch^(v/2) and the Taylor step overshoots,
// the step ch (p / P)^(2 / v), exact for that power law, is taken instead.
double ppChi2(uint32_t *err, double p, double v, double g)
{
    if (!(p > 0.0 && p < 1.0)) {
        setErr(err, kPpChi2_BadProbability);
        return -1.0;
    }
    if (!(v > 0.0 && v < HUGE_VAL)) {
        setErr(err, kPpChi2_BadDf);
        return -1.0;
    }
    setErr(err, kPpChi2_OK);
    const double xx = v / 2.0, c = xx - 1.0;
    if (p < kFarLowerTail)
        return lowerTailQuantile(err, p, xx, g);
    double ch = chi2Start(p, v, g, xx, c);
    if (ch < 5e-7)
        return lowerTailQuantile(err, p, xx, g);
    if (!(ch > 0.0) || !std::isfinite(ch))
        ch = v;  // a usable start; the bracket does the rest
    double lo = 0.0, hi = HUGE_VAL;
    constexpr int kMaxIter = 20, kMaxBisect = 2000;
    int iter = 0, bisect = 0;
    while (iter < kMaxIter && bisect < kMaxBisect) {
        uint32_t gerr = 0;
        const double P = gammaD(&gerr, ch / 2.0, xx);
        if (gerr != kGammaD_OK) {
            setErr(err, kPpChi2_GammaError);
            return -1.0;
        }
        if (P == p)
            return ch;
        (P < p ? lo : hi) = ch;
        const double q = ch;
        double next = ch < 5e-7 && P > 0.0 ? ch * detPow(p / P, 1.0 / xx) : as91Step(p, P, ch, g, xx, c);
        if (std::isfinite(next) && next > lo && next < hi) {
            iter++;
        } else {
            bisect++;
            if (hi == HUGE_VAL)
                next = 2.0 * ch;
            else if (lo == 0.0 || hi > 4.0 * lo)
                next = lo == 0.0 ? hi / 4.0 : std::sqrt(lo * hi);
            else
                next = 0.5 * (lo + hi);
            ch = next;
            if (hi - lo <= 1e-13 * hi)
                return ch;
            continue;
        }
        ch = next;
        if (std::fabs(q / ch - 1.0) <= 5e-7)
            return ch;
    }
    setErr(err, kPpChi2_NoConvergence);
    return ch;
}

double chiSquaredPvalue(uint32_t df, double x)
{
    if (x <= 0.0)
        return 1.0;
    return 1.0 - gammaD(nullptr, x / 2.0, df / 2.0);
}

double binomialTest(uint32_t n, uint32_t k)
{
    const uint32_t m = n - k;
    if (k == m)
        return 1.0;
    if (k > m)
        return 2.0 * betaI(k, m + 1.0, 0.5);
    return 2.0 * betaI(m, k + 1.0, 0.5);
}

double studentTP(uint32_t df, double t)
{
    const double v = df;
    return betaI(v / 2.0, 0.5, v / (t * t + v));
}
