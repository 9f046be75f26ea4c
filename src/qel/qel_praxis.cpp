#include "qel/qel_detmath.h"
#include "qel/qel_praxis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "qel/qel_random.h"

namespace {

constexpr double kDoublePrecision = 2.220446049250313e-16;
// Ten times the float epsilon: the objective's own rounding dominates.
constexpr double kSinglePrecision = 1.1920928955078125e-6;
constexpr double kDefaultTolerance = 1e-5;
constexpr double kDefaultStep = 1.0;
constexpr int kMaxSvdIterations = 30;
constexpr int kTerminationFailures = 1;  // consecutive failures allowed before stopping
// Along a direction in which the function is flat to its last bit (a
// parameter run off to where it no longer matters) the line searches can
// step on for ever; well-posed problems reorient a handful of times.
constexpr int kMaxReorientations = 100;
// The direction index that selects the extrapolation curve through q0, x, q1.
constexpr uint32_t kCurve = UINT32_MAX;

// sqrt(a^2 + b^2) without overflow, as the published decomposition forms it.
double pythag(double a, double b)
{
    const double fa = std::fabs(a), fb = std::fabs(b);
    if (fa < fb)
        return fb * std::sqrt(1.0 + (a / b) * (a / b));
    if (a == 0.0)
        return 0.0;
    return fa * std::sqrt(1.0 + (b / a) * (b / a));
}

// The plane rotation taking (f, h) to (length, 0): the length goes to *r.
void rotate(double f, double h, double *r, double *c, double *s)
{
    double z = pythag(f, h);
    *r = z;
    if (z == 0.0) {
        f = 1.0;
        z = 1.0;
    }
    *c = f / z;
    *s = h / z;
}

// Singular value decomposition of the square matrix ab (column-major, n x n)
// by Householder bidiagonalisation and QR iteration. On return q holds the
// singular values and ab the right singular vectors.
void minfit(uint32_t n, double machep, double tol, double *ab, double *q, double *e)
{
    auto A = [ab, n](uint32_t i, uint32_t j) -> double & { return ab[i + j * n]; };
    if (n == 1) {
        q[0] = A(0, 0);
        A(0, 0) = 1.0;
        return;
    }
    double g = 0.0, x = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        e[i] = g;
        double s = 0.0;
        const uint32_t l = i + 1;
        for (uint32_t j = i; j < n; ++j)
            s += A(j, i) * A(j, i);
        g = 0.0;
        if (s >= tol) {
            double f = A(i, i);
            g = f < 0.0 ? std::sqrt(s) : -std::sqrt(s);
            const double h = f * g - s;
            A(i, i) = f - g;
            for (uint32_t j = l; j < n; ++j) {
                f = 0.0;
                for (uint32_t k = i; k < n; ++k)
                    f += A(k, i) * A(k, j);
                f /= h;
                for (uint32_t k = i; k < n; ++k)
                    A(k, j) += f * A(k, i);
            }
        }
        q[i] = g;
        s = 0.0;
        for (uint32_t j = l; j < n; ++j)
            s += A(i, j) * A(i, j);
        g = 0.0;
        if (s >= tol && i + 1 < n) {
            const double f = A(i, i + 1);
            g = f < 0.0 ? std::sqrt(s) : -std::sqrt(s);
            const double h = f * g - s;
            A(i, i + 1) = f - g;
            for (uint32_t j = l; j < n; ++j)
                e[j] = A(i, j) / h;
            for (uint32_t j = l; j < n; ++j) {
                double t = 0.0;
                for (uint32_t k = l; k < n; ++k)
                    t += A(j, k) * A(i, k);
                for (uint32_t k = l; k < n; ++k)
                    A(j, k) += t * e[k];
            }
        }
        x = std::max(x, std::fabs(q[i]) + std::fabs(e[i]));
    }
    // Accumulation of the right-hand transformations.
    A(n - 1, n - 1) = 1.0;
    g = e[n - 1];
    uint32_t l = n - 1;
    for (uint32_t i = n - 1; i-- > 0;) {
        if (g != 0.0) {
            const double h = A(i, i + 1) * g;
            for (uint32_t j = l; j < n; ++j)
                A(j, i) = A(i, j) / h;
            for (uint32_t j = l; j < n; ++j) {
                double s = 0.0;
                for (uint32_t k = l; k < n; ++k)
                    s += A(i, k) * A(k, j);
                for (uint32_t k = l; k < n; ++k)
                    A(k, j) += s * A(k, i);
            }
        }
        for (uint32_t j = l; j < n; ++j) {
            A(i, j) = 0.0;
            A(j, i) = 0.0;
        }
        A(i, i) = 1.0;
        g = e[i];
        l = i;
    }
    // Diagonalisation of the bidiagonal form.
    const double eps = machep * x;
    for (uint32_t k = n; k-- > 0;) {
        for (int iteration = 1;; ++iteration) {
            if (iteration > kMaxSvdIterations)
                e[k] = 0.0;
            uint32_t ll = k;
            bool cancel = true;
            for (;; --ll) {
                if (std::fabs(e[ll]) <= eps) {
                    cancel = false;
                    break;
                }
                if (ll == 0)
                    break;  // e[0] is always 0; kept for safety
                if (std::fabs(q[ll - 1]) <= eps)
                    break;
            }
            if (cancel) {
                double c = 0.0, s = 1.0;
                for (uint32_t i = ll; i <= k; ++i) {
                    const double f = s * e[i];
                    e[i] *= c;
                    if (std::fabs(f) <= eps)
                        break;
                    double gg = q[i];
                    double h = pythag(f, gg);
                    q[i] = h;
                    if (h == 0.0) {
                        gg = 1.0;
                        h = 1.0;
                    }
                    c = gg / h;
                    s = -f / h;
                }
            }
            double z = q[k];
            if (ll == k) {
                if (z < 0.0) {
                    q[k] = -z;
                    for (uint32_t j = 0; j < n; ++j)
                        A(j, k) = -A(j, k);
                }
                break;
            }
            // Shift from the bottom 2 x 2 minor.
            double xx = q[ll], y = q[k - 1];
            double gg = e[k - 1], h = e[k];
            double f = ((y - z) * (y + z) + (gg - h) * (gg + h)) / (2.0 * h * y);
            gg = std::sqrt(f * f + 1.0);
            const double temp = f < 0.0 ? f - gg : f + gg;
            f = ((xx - z) * (xx + z) + h * (y / temp - h)) / xx;
            double c = 1.0, s = 1.0;
            for (uint32_t i = ll + 1; i <= k; ++i) {
                gg = e[i];
                y = q[i];
                h = s * gg;
                gg *= c;
                rotate(f, h, &e[i - 1], &c, &s);
                f = xx * c + gg * s;
                gg = -xx * s + gg * c;
                h = y * s;
                y *= c;
                for (uint32_t j = 0; j < n; ++j) {
                    const double a = A(j, i - 1), b = A(j, i);
                    A(j, i - 1) = a * c + b * s;
                    A(j, i) = -a * s + b * c;
                }
                rotate(f, h, &q[i - 1], &c, &s);
                f = c * gg + s * y;
                xx = -s * gg + c * y;
            }
            e[ll] = 0.0;
            e[k] = f;
            q[k] = xx;
        }
    }
}

// The state of one minimisation; lives on the caller's stack.
class Praxis {
public:
    Praxis(uint32_t n, MinObjective f, void *arg, PraxisData &r, double t0, double h0)
        : n_(n), f_(f), arg_(arg), x_(r.x), v_(r.v.data()), d_(r.work.data()), y_(d_ + n),
          z_(y_ + n), q0_(z_ + n), q1_(q0_ + n), trial_(q1_ + n), best_(r.x, r.x + n),
          e_(n), machep_(r.machinePrecision), illc_(r.illConditioned != 0)
    {
        small_ = machep_ * machep_;
        vsmall_ = small_ * small_;
        large_ = 1.0 / small_;
        vlarge_ = 1.0 / vsmall_;
        m2_ = std::sqrt(machep_);
        m4_ = std::sqrt(m2_);
        t_ = small_ + std::fabs(t0 > 0.0 ? t0 : kDefaultTolerance);
        h_ = std::max(h0 > 0.0 ? h0 : kDefaultStep, 100.0 * t_);
        ldt_ = h_;
        dmin_ = small_;
        t2_ = t_;
        ldfac_ = illc_ ? 0.1 : 0.01;
        initRNG(&rng_, makeSeed1(1));
    }

    double run(MinStatus *status);

private:
    double &V(uint32_t i, uint32_t j) { return v_[i + j * n_]; }
    double flin(uint32_t j, double l);
    void lineMin(uint32_t j, int nits, double &d2, double &x1, double &f1, bool fk);
    void quad();
    void reorient();
    // Records the current point when it is the lowest so far, then polls.
    bool interrupted();
    double finish(MinStatus *status, MinStatus value);

    uint32_t n_;
    MinObjective f_;
    void *arg_;
    double *x_, *v_, *d_, *y_, *z_, *q0_, *q1_, *trial_;
    std::vector<double> best_;
    std::vector<double> e_;
    double bestF_ = 0.0;
    double machep_, small_, vsmall_, large_, vlarge_, m2_, m4_;
    double t_, h_, ldt_, dmin_, t2_, ldfac_;
    double fx_ = 0.0, qf1_ = 0.0, qd0_ = 0.0, qd1_ = 0.0, qa_ = 0.0, qb_ = 0.0, qc_ = 0.0;
    long nl_ = 0;
    bool illc_;
    RNG rng_{};
    AbortPoll poll_;
};

double Praxis::flin(uint32_t j, double l)
{
    if (j != kCurve) {
        for (uint32_t i = 0; i < n_; ++i)
            trial_[i] = x_[i] + l * V(i, j);
    } else {
        qa_ = l * (l - qd1_) / (qd0_ * (qd0_ + qd1_));
        qb_ = (l + qd0_) * (qd1_ - l) / (qd0_ * qd1_);
        qc_ = l * (l + qd0_) / (qd1_ * (qd0_ + qd1_));
        for (uint32_t i = 0; i < n_; ++i)
            trial_[i] = qa_ * q0_[i] + qb_ * x_[i] + qc_ * q1_[i];
    }
    return f_(trial_, arg_);
}

// Minimises along direction j (or the curve) from x. d2 is zero or an
// estimate of half the second derivative; x1 is on entry an estimate of the
// step and on return the step taken; when fk, f1 is the value at x1.
// The result never rises above the value at x: x only moves to a lower point.
void Praxis::lineMin(uint32_t j, int nits, double &d2, double &x1, double &f1, bool fk)
{
    const double sf1 = f1, sx1 = x1;
    int k = 0;
    double xm = 0.0, fm = fx_;
    const double f0 = fx_;
    bool dz = d2 < machep_;
    double s = 0.0;
    for (uint32_t i = 0; i < n_; ++i)
        s += x_[i] * x_[i];
    s = std::sqrt(s);
    double t2 = m4_ * std::sqrt(std::fabs(fx_) / (dz ? dmin_ : d2) + s * ldt_) + m2_ * ldt_;
    s = m4_ * s + t_;
    if (dz && t2 > s)
        t2 = s;
    t2 = std::min(std::max(t2, small_), 0.01 * h_);
    if (fk && f1 <= fm) {
        xm = x1;
        fm = f1;
    }
    if (!fk || std::fabs(x1) < t2) {
        x1 = x1 < 0.0 ? -t2 : t2;
        f1 = flin(j, x1);
    }
    if (f1 <= fm) {
        xm = x1;
        fm = f1;
    }
    double x2 = 0.0, f2 = 0.0;
    for (;;) {
        if (dz) {
            // Another point, to estimate the second derivative.
            x2 = f0 < f1 ? -x1 : 2.0 * x1;
            f2 = flin(j, x2);
            if (f2 <= fm) {
                xm = x2;
                fm = f2;
            }
            d2 = (x2 * (f1 - f0) - x1 * (f2 - f0)) / ((x1 * x2) * (x1 - x2));
        }
        const double d1 = (f1 - f0) / x1 - x1 * d2;
        dz = true;
        // A curvature too flat for a step, or no ratio at all (points whose
        // values are out of range, an infinite objective, leave an infinite
        // curvature and slope), gives a full step down the slope.
        x2 = -0.5 * d1 / d2;
        if (d2 <= small_ || std::isnan(x2))
            x2 = d1 < 0.0 ? h_ : -h_;
        if (std::fabs(x2) > h_)
            x2 = x2 > 0.0 ? h_ : -h_;
        bool retry = false;
        for (;;) {
            f2 = flin(j, x2);
            if (k >= nits || f2 <= f0)
                break;
            ++k;
            if (f0 < f1 && x1 * x2 > 0.0) {
                retry = true;  // a new parabola
                break;
            }
            x2 *= 0.5;
        }
        if (!retry)
            break;
    }
    ++nl_;
    if (f2 > fm)
        x2 = xm;
    else
        fm = f2;
    if (std::fabs(x2 * (x2 - x1)) > small_)
        d2 = (x2 * (f1 - f0) - x1 * (fm - f0)) / ((x1 * x2) * (x2 - x1));
    else if (k > 0)
        d2 = 0.0;
    if (d2 <= small_)
        d2 = small_;
    x1 = x2;
    fx_ = fm;
    if (sf1 < fx_) {
        fx_ = sf1;
        x1 = sx1;
    }
    if (j != kCurve) {
        for (uint32_t i = 0; i < n_; ++i)
            x_[i] += x1 * V(i, j);
    }
}

// Looks for the minimum along the curve through q0, q1 and x.
void Praxis::quad()
{
    double s = fx_;
    fx_ = qf1_;
    qf1_ = s;
    qd1_ = 0.0;
    for (uint32_t i = 0; i < n_; ++i) {
        s = x_[i];
        const double l = q1_[i];
        x_[i] = l;
        q1_[i] = s;
        qd1_ += (s - l) * (s - l);
    }
    qd1_ = std::sqrt(qd1_);
    double l = qd1_;
    s = 0.0;
    if (qd0_ > 0.0 && qd1_ > 0.0 && nl_ >= 3L * n_ * n_) {
        double value = qf1_;
        lineMin(kCurve, 2, s, l, value, true);
        qa_ = l * (l - qd1_) / (qd0_ * (qd0_ + qd1_));
        qb_ = (l + qd0_) * (qd1_ - l) / (qd0_ * qd1_);
        qc_ = l * (l + qd0_) / (qd1_ * (qd0_ + qd1_));
    } else {
        fx_ = qf1_;
        qa_ = qb_ = 0.0;
        qc_ = 1.0;
    }
    qd0_ = qd1_;
    for (uint32_t i = 0; i < n_; ++i) {
        s = q0_[i];
        q0_[i] = x_[i];
        x_[i] = qa_ * s + qb_ * x_[i] + qc_ * q1_[i];
    }
}

// New directions along the principal axes of the approximating quadratic.
void Praxis::reorient()
{
    double dn = 0.0;
    for (uint32_t i = 0; i < n_; ++i) {
        d_[i] = 1.0 / std::sqrt(d_[i]);
        dn = std::max(dn, d_[i]);
    }
    for (uint32_t j = 0; j < n_; ++j) {
        const double s = d_[j] / dn;
        for (uint32_t i = 0; i < n_; ++i)
            V(i, j) *= s;
    }
    for (uint32_t i = 1; i < n_; ++i)
        for (uint32_t j = 0; j < i; ++j)
            std::swap(V(i, j), V(j, i));
    minfit(n_, machep_, vsmall_, v_, d_, e_.data());
    for (uint32_t i = 0; i < n_; ++i) {
        const double s = dn * d_[i];
        if (s > large_)
            d_[i] = vsmall_;
        else if (s < small_)
            d_[i] = vlarge_;
        else
            d_[i] = 1.0 / (s * s);
    }
    // Directions by decreasing weight (selection sort, as published).
    for (uint32_t i = 0; i + 1 < n_; ++i) {
        uint32_t k = i;
        double s = d_[i];
        for (uint32_t j = i + 1; j < n_; ++j)
            if (d_[j] > s) {
                k = j;
                s = d_[j];
            }
        if (k > i) {
            d_[k] = d_[i];
            d_[i] = s;
            for (uint32_t j = 0; j < n_; ++j)
                std::swap(V(j, i), V(j, k));
        }
    }
    dmin_ = std::max(d_[n_ - 1], small_);
    illc_ = m2_ * d_[0] > dmin_;
}

bool Praxis::interrupted()
{
    if (fx_ < bestF_) {
        std::copy(x_, x_ + n_, best_.begin());
        bestF_ = fx_;
    }
    return poll_.stop();
}

double Praxis::finish(MinStatus *status, MinStatus value)
{
    if (fx_ < bestF_ || !(bestF_ <= fx_)) {  // also takes a NaN best over nothing
        std::copy(x_, x_ + n_, best_.begin());
        bestF_ = fx_;
    }
    std::copy(best_.begin(), best_.end(), x_);
    if (status)
        *status = value;
    return bestF_;
}

double Praxis::run(MinStatus *status)
{
    fx_ = f_(x_, arg_);
    bestF_ = fx_;
    qf1_ = fx_;
    for (uint32_t i = 0; i < n_; ++i)
        for (uint32_t j = 0; j < n_; ++j)
            V(i, j) = i == j ? 1.0 : 0.0;
    d_[0] = 0.0;
    qd0_ = 0.0;
    std::copy(x_, x_ + n_, q0_);
    std::copy(x_, x_ + n_, q1_);
    if (poll_.stop())
        return finish(status, MinStatus::kAborted);
    int kt = 0;
    for (int iteration = 0;; ++iteration) {
        double sf = d_[0];
        d_[0] = 0.0;
        double s = 0.0;
        double value = fx_;
        lineMin(0, 2, d_[0], s, value, false);
        if (interrupted())
            return finish(status, MinStatus::kAborted);
        if (s <= 0.0)
            for (uint32_t i = 0; i < n_; ++i)
                V(i, 0) = -V(i, 0);
        if (sf <= 0.9 * d_[0] || 0.9 * sf >= d_[0])
            for (uint32_t i = 1; i < n_; ++i)
                d_[i] = 0.0;
        for (uint32_t k = 1; k < n_; ++k) {
            std::copy(x_, x_ + n_, y_);
            sf = fx_;
            if (kt > 0)
                illc_ = true;
            uint32_t kl;
            for (;;) {
                kl = k;
                double df = 0.0;
                if (illc_) {
                    // A random step, to get out of resolution valleys.
                    for (uint32_t i = 0; i < n_; ++i) {
                        s = (0.1 * ldt_ + t2_ * detPow(10.0, kt)) * (randUni(&rng_) - 0.5);
                        z_[i] = s;
                        for (uint32_t j = 0; j < n_; ++j)
                            x_[j] += s * V(j, i);
                    }
                    fx_ = f_(x_, arg_);
                    if (interrupted())
                        return finish(status, MinStatus::kAborted);
                }
                for (uint32_t k2 = k; k2 < n_; ++k2) {
                    const double sl = fx_;
                    s = 0.0;
                    value = fx_;
                    lineMin(k2, 2, d_[k2], s, value, false);
                    if (interrupted())
                        return finish(status, MinStatus::kAborted);
                    if (illc_)
                        s = d_[k2] * (s + z_[k2]) * (s + z_[k2]);
                    else
                        s = sl - fx_;
                    if (df <= s) {
                        df = s;
                        kl = k2;
                    }
                }
                if (illc_ || df >= std::fabs(100.0 * machep_ * fx_))
                    break;
                illc_ = true;  // little progress: repeat with random steps
            }
            for (uint32_t k2 = 0; k2 < k; ++k2) {
                s = 0.0;
                value = fx_;
                lineMin(k2, 2, d_[k2], s, value, false);
                if (interrupted())
                    return finish(status, MinStatus::kAborted);
            }
            double f1 = fx_;
            fx_ = sf;
            double lds = 0.0;
            for (uint32_t i = 0; i < n_; ++i) {
                const double sl = x_[i];
                x_[i] = y_[i];
                y_[i] = sl - y_[i];
                lds += y_[i] * y_[i];
            }
            lds = std::sqrt(lds);
            if (lds > small_) {
                // Drop direction kl, the one of greatest progress, and take
                // the step of this iteration as the new conjugate direction k.
                for (uint32_t i = kl; i-- > k;) {
                    for (uint32_t j = 0; j < n_; ++j)
                        V(j, i + 1) = V(j, i);
                    d_[i + 1] = d_[i];
                }
                d_[k] = 0.0;
                for (uint32_t i = 0; i < n_; ++i)
                    V(i, k) = y_[i] / lds;
                lineMin(k, 4, d_[k], lds, f1, true);
                if (interrupted())
                    return finish(status, MinStatus::kAborted);
                if (lds <= 0.0) {
                    lds = -lds;
                    for (uint32_t i = 0; i < n_; ++i)
                        V(i, k) = -V(i, k);
                }
            }
            ldt_ = std::max(ldfac_ * ldt_, lds);
            double sx = 0.0;
            for (uint32_t i = 0; i < n_; ++i)
                sx += x_[i] * x_[i];
            t2_ = m2_ * std::sqrt(sx) + t_;
            if (ldt_ > 0.5 * t2_)
                kt = -1;
            ++kt;
            if (kt > kTerminationFailures)
                return finish(status, MinStatus::kDone);
        }
        quad();
        if (interrupted())
            return finish(status, MinStatus::kAborted);
        if (iteration + 1 >= kMaxReorientations)
            return finish(status, MinStatus::kDone);
        reorient();
    }
}

}  // namespace

PraxisData *createPraxisData(double *x, uint32_t n, bool singlePrecision)
{
    auto *record = new (std::nothrow) PraxisData{};
    if (!record)
        return nullptr;
    try {
        record->v.assign(static_cast<size_t>(n) * n, 0.0);
        record->work.assign(6 * static_cast<size_t>(n), 0.0);
    } catch (const std::bad_alloc &) {
        delete record;
        return nullptr;
    }
    record->x = x;
    record->n = n;
    record->machinePrecision = singlePrecision ? kSinglePrecision : kDoublePrecision;
    record->illConditioned = 0;
    record->unusedScale = 100.0;
    return record;
}

int destroyPraxisData(PraxisData *record)
{
    delete record;
    return 0;
}

double praxis(uint32_t n, MinObjective f, void *arg, PraxisData *record, double t0, double h0,
              MinStatus *status)
{
    if (n == 1) {
        // The termination test runs over the directions after the first, so
        // one parameter is left to the one-dimensional minimiser.
        const double t = t0 > 0.0 ? t0 : kDefaultTolerance;
        const double h = h0 > 0.0 ? h0 : kDefaultStep;
        const double x0 = record->x[0];
        return minimizeBrent1D(f, arg, record->x, x0, x0 + 0.1 * h, 0.0, t, 0.0, status);
    }
    Praxis search(n, f, arg, *record, t0, h0);
    return search.run(status);
}
