#include "qel/qel_brent.h"

#include <cmath>
#include <utility>

#include "qel/qel_interrupts.h"

namespace {

constexpr double kGolden = 1.618033988;
constexpr double kGoldenSection = 0.3819660113;  // (3 - sqrt 5) / 2
constexpr double kDefaultGrowLimit = 100.0;
constexpr double kSqrtEpsilon = 1.4901161193847656e-8;
constexpr double kTinyDenominator = 1e-37;
constexpr int kMaxLocalMinIterations = 50;

// The lowest evaluation so far, so that an interrupted bracketing can still
// hand back its best point.
struct Best {
    double x;
    double f;
    void offer(double px, double pf)
    {
        if (pf < f) {
            x = px;
            f = pf;
        }
    }
};

bool between(double u, double p, double q) { return (p - u) * (u - q) > 0.0; }

void setStatus(MinStatus *status, MinStatus value)
{
    if (status)
        *status = value;
}

}  // namespace

AbortPoll::AbortPoll() : inForceAtStart_(getAbortedStatus() != 0) {}

bool AbortPoll::stop()
{
    const int32_t flag = getAbortedStatus();
    if (flag == 0)
        return false;
    if (flag < 0 || inForceAtStart_)
        return true;
    return confirmAbortRequest();
}

Bracket bracketMinimum(MinObjective f, void *arg, double x0, double x1, double growLimit)
{
    const double limit = growLimit > 0.0 ? growLimit : kDefaultGrowLimit;
    AbortPoll poll;
    Bracket out;
    auto abort = [&out](const Best &best) {
        out.lo = out.hi = 0.0;
        out.bestX = best.x;
        out.bestF = best.f;
        out.status = MinStatus::kAborted;
        return out;
    };

    double a = x0, b = x1;
    double fa = f(&a, arg);
    Best best{a, fa};
    if (poll.stop())
        return abort(best);
    double fb = f(&b, arg);
    best.offer(b, fb);
    if (poll.stop())
        return abort(best);
    if (fb > fa) {
        std::swap(a, b);
        std::swap(fa, fb);
    }
    double c = b + kGolden * (b - a);
    double fc = f(&c, arg);
    best.offer(c, fc);
    if (poll.stop())
        return abort(best);

    while (fc < fb) {
        const double r = (b - a) * (fb - fc);
        const double q = (b - c) * (fb - fa);
        double u;
        if (std::fabs(r - q) > kTinyDenominator)
            u = b - ((b - a) * r - (b - c) * q) / (2.0 * (r - q));
        else
            u = fa <= fb && fa <= fc ? a : (fb <= fc ? b : c);
        const double ulim = b + limit * (c - b);
        double fu;
        if (between(u, b, c)) {
            fu = f(&u, arg);
            best.offer(u, fu);
            if (poll.stop())
                return abort(best);
            if (fu < fc) {
                a = b;
                break;  // the bracket (b, c)
            }
            if (fu > fb) {
                c = u;
                break;  // the bracket (a, u)
            }
            u = c + kGolden * (c - b);
            fu = f(&u, arg);
            best.offer(u, fu);
            if (poll.stop())
                return abort(best);
        } else if (between(u, c, ulim)) {
            fu = f(&u, arg);
            best.offer(u, fu);
            if (poll.stop())
                return abort(best);
            if (fu < fc) {
                b = c;
                c = u;
                fb = fc;
                fc = fu;
                u = c + kGolden * (c - b);
                fu = f(&u, arg);
                best.offer(u, fu);
                if (poll.stop())
                    return abort(best);
            }
        } else if ((u - ulim) * (ulim - c) >= 0.0) {
            u = ulim;
            fu = f(&u, arg);
            best.offer(u, fu);
            if (poll.stop())
                return abort(best);
        } else {
            // A straight line gives no parabola and lands here every time,
            // so the golden steps are polled too: otherwise a function
            // falling without end could not be interrupted.
            u = c + kGolden * (c - b);
            fu = f(&u, arg);
            best.offer(u, fu);
            if (poll.stop())
                return abort(best);
        }
        a = b;
        b = c;
        c = u;
        fa = fb;
        fb = fc;
        fc = fu;
    }
    out.lo = std::fmin(a, c);
    out.hi = std::fmax(a, c);
    out.bestX = best.x;
    out.bestF = best.f;
    return out;
}

double localMin(MinObjective f, void *arg, double *xOut, double a, double b, double eps, double t,
                MinStatus *status)
{
    if (eps == 0.0)
        eps = kSqrtEpsilon;
    AbortPoll poll;
    double x = a + kGoldenSection * (b - a);
    double w = x, v = x;
    double fx = f(&x, arg);
    double fw = fx, fv = fx;
    double d = 0.0, e = 0.0;
    setStatus(status, MinStatus::kDone);
    if (poll.stop()) {
        setStatus(status, MinStatus::kAborted);
        *xOut = x;
        return fx;
    }

    for (int iteration = 0; iteration < kMaxLocalMinIterations; ++iteration) {
        const double m = 0.5 * (a + b);
        const double tol = eps * std::fabs(x) + t;
        const double t2 = 2.0 * tol;
        if (std::fabs(x - m) <= t2 - 0.5 * (b - a))
            break;
        bool parabolic = false;
        if (std::fabs(e) > tol) {
            double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0)
                p = -p;
            else
                q = -q;
            r = e;
            e = d;
            if (std::fabs(p) < std::fabs(0.5 * q * r) && p > q * (a - x) && p < q * (b - x)) {
                d = p / q;
                const double u = x + d;
                if (u - a < t2 || b - u < t2)
                    d = x < m ? tol : -tol;
                parabolic = true;
            }
        }
        if (!parabolic) {
            e = (x < m ? b : a) - x;
            d = kGoldenSection * e;
        }
        double u = std::fabs(d) >= tol ? x + d : (d > 0.0 ? x + tol : x - tol);
        const double fu = f(&u, arg);
        // The bookkeeping comes first, so that an interrupt after this
        // evaluation still leaves x at the lowest point seen.
        if (fu <= fx) {
            if (u < x)
                b = x;
            else
                a = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
        if (poll.stop()) {
            setStatus(status, MinStatus::kAborted);
            break;
        }
    }
    *xOut = x;
    return fx;
}

double minimizeBrent1D(MinObjective f, void *arg, double *xOut, double x0, double x1, double eps,
                       double t, double growLimit, MinStatus *status)
{
    const Bracket bracket = bracketMinimum(f, arg, x0, x1, growLimit);
    if (bracket.status == MinStatus::kAborted) {
        setStatus(status, MinStatus::kAborted);
        *xOut = bracket.bestX;
        return bracket.bestF;
    }
    MinStatus inner = MinStatus::kDone;
    double x = 0.0;
    double fx = localMin(f, arg, &x, bracket.lo, bracket.hi, eps, t, &inner);
    // The bracketing may have evaluated a point lower than any the narrowing
    // reached before an interrupt; the caller gets the lowest of all.
    if (bracket.bestF < fx) {
        x = bracket.bestX;
        fx = bracket.bestF;
    }
    setStatus(status, inner);
    *xOut = x;
    return fx;
}
