#include "qel/qel_detmath.h"
#include "qel/qel_normal.h"
#include "qel/qel_random.h"

#include <cmath>

namespace {

constexpr double kSqrtTwoPi = 2.5066282746310007;
constexpr double kSqrtTwo = 1.4142135623730951;
constexpr double kCentralLimit = 0.6629126073623883;   // 0.46875 x sqrt(2)
constexpr double kNoValue = 1e37;

// Upper tail Q(a) = 1 - Phi(a) for a > kCentralLimit.
double upperTail(double a)
{
    double y = a / kSqrtTwo;
    double h = 0.5 * detExp(-a * a / 2.0);
    double r;
    if (a <= 4.0) {
        double g = ((((((((2.1531153547440383e-8 * y + 0.5641884969886701) * y + 8.883149794388377) * y +
                         66.11919063714163) * y + 298.6351381974001) * y + 881.952221241769) * y +
                      1712.0476126340707) * y + 2051.0783778260716) * y + 1230.3393547979972);
        double hh = (((((((y + 15.744926110709835) * y + 117.6939508913125) * y + 537.1811018620099) * y +
                        1621.3895745666903) * y + 3290.7992357334597) * y + 4362.619090143247) * y +
                     3439.3676741437216) * y + 1230.3393548037495;
        r = g / hh;
    } else {
        double z = 2.0 / (a * a);
        double e = ((((0.016315387137302097 * z + 0.30532663496123236) * z + 0.36034489994980445) * z +
                     0.12578172611122926) * z + 0.016083785148742275) * z + 0.0006587491615298378;
        double f = ((((z + 2.568520192289822) * z + 1.8729528499234604) * z + 0.5279051029514285) * z +
                    0.06051834131244132) * z + 0.0023352049762686918;
        r = (1.0 / y) * (0.5641895835477563 - z * e / f);
    }
    return h * r;
}

}   // namespace

double stdnormal_PDF(double x) { return detExp(-x * x / 2.0) / kSqrtTwoPi; }

double stdnormal_CDF(double x)
{
    if (x <= -kNoValue)
        return 0.0;
    if (x > kNoValue)
        return 1.0;
    double a = std::fabs(x);
    if (a <= kCentralLimit) {
        double s = x * x;
        double num = (((0.0116111066365377 * s + 0.3951404679838207) * s + 28.46603853776254) * s +
                      188.742618842651) * s + 3209.377589138469;
        double den = (((0.1767766952966369 * s + 8.34431643857962) * s + 172.5514762600375) * s +
                      1813.893686502485) * s + 8044.716608901563;
        return 0.5 + x * num / den;
    }
    double tail = upperTail(a);
    return x < 0.0 ? tail : 1.0 - tail;
}

double stdnormal_invCDF(double p)
{
    if (p <= 0.0)
        return -kNoValue;
    if (p >= 1.0)
        return kNoValue;
    double q = p < 1.0 - p ? p : 1.0 - p;
    double x;
    if (q > 0.02425) {
        double r = q - 0.5;
        double s = r * r;
        double num = ((((-39.69683028665376 * s + 220.9460984245205) * s - 275.9285104469687) * s +
                       138.357751867269) * s - 30.66479806614716) * s + 2.506628277459239;
        double den = ((((-54.47609879822406 * s + 161.5858368580409) * s - 155.6989798598866) * s +
                       66.80131188771972) * s - 13.28068155288572) * s + 1.0;
        x = r * num / den;
    } else {
        double u = std::sqrt(-2.0 * detLog(q));
        double num = ((((-0.007784894002430293 * u - 0.3223964580411365) * u - 2.400758277161838) * u -
                       2.549732539343734) * u + 4.374664141464968) * u + 2.938163982698783;
        double den = (((0.007784695709041462 * u + 0.3224671290700398) * u + 2.445134137142996) * u +
                      3.754408661907416) * u + 1.0;
        x = num / den;
    }
    // One Halley step against the distribution function.
    double e = (stdnormal_CDF(x) - q) * kSqrtTwoPi;
    double w = e * detExp(x * x / 2.0);
    x = x - w / (1.0 + x * w / 2.0);
    return p > 0.5 ? -x : x;
}

double randStdNorm(RNG *rng)
{
    return stdnormal_invCDF(randUni(rng));
}

double randNormal(RNG *rng, double mean, double sd)
{
    return mean + sd * randStdNorm(rng);
}
