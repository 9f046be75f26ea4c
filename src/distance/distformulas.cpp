#include "distance/distformulas.h"

#include <algorithm>
#include <cmath>

#include "distance/distance_settings.h"
#include "qel/qel_detmath.h"
#include "qel/qel_linalg.h"
#include "qel/qel_math.h"

thread_local double gShape = 0.0;

namespace {

enum : uint32_t { A = 0, C = 1, G = 2, T = 3 };

// The proportions of a nucleotide F: differing sites, transitions (A-G and
// C-T in both directions) and transversions.
struct NucDiffs {
    double p, P1, P2, P, Q1, Q2, Q;
};

NucDiffs nucDiffs(double **F)
{
    NucDiffs x{};
    x.p = 1.0 - (F[A][A] + F[C][C] + F[G][G] + F[T][T]);
    x.P1 = F[A][G] + F[G][A];
    x.P2 = F[C][T] + F[T][C];
    x.P = x.P1 + x.P2;
    x.Q1 = F[A][T] + F[T][A] + F[C][G] + F[G][C];
    x.Q2 = F[A][C] + F[C][A] + F[G][T] + F[T][G];
    x.Q = x.Q1 + x.Q2;
    return x;
}

double genericP(double **F, uint32_t n)
{
    double trace = 0.0;
    for (uint32_t a = 0; a < n; ++a)
        trace += F[a][a];
    return 1.0 - trace;
}

double sumOfSquaredFreqs(const double *pi, uint32_t n)
{
    double s = 0.0;
    for (uint32_t a = 0; a < n; ++a)
        s += pi[a] * pi[a];
    return s;
}

}  // namespace

double minv_Gamma(double y)
{
    return gShape * (1.0 - detPow(y, -1.0 / gShape));
}

double mgfGamma(double x)
{
    const double alpha = dist.shape;
    const double base = (alpha - x) / alpha;
    return base <= 0.0 ? 0.0 : detPow(base, -alpha);
}

DistCorrectionFxn setDistMgfInvFxn(Model *model, bool useGamma, double shape)
{
    DistCorrectionFxn f = useGamma ? minv_Gamma : log_safe;
    if (model) {
        model->distCorrFxn = f;
        model->distShape = shape;
    }
    gShape = shape;
    return f;
}

DistCorrectionFxn distCorrection(const Model *model)
{
    return model && model->distCorrFxn ? model->distCorrFxn : log_safe;
}

uint32_t distNumStates(const Model *model) { return model ? numDataStates(model) : 4; }

double restrictSubst(double ti, double tv)
{
    const double tiPos = std::max(0.0, ti);
    switch (dist.subst) {
    case kSubstTi: return tiPos;
    case kSubstTv: return tv;
    case kSubstTRatio: return tv > 0.0 ? tiPos / tv : kUndefinedDistance;
    default: return tiPos + tv;
    }
}

void calcBaseFreq(double **F, uint32_t n, double *out, double *outCols)
{
    for (uint32_t a = 0; a < n; ++a) {
        double row = 0.0, col = 0.0;
        for (uint32_t b = 0; b < n; ++b) {
            row += F[a][b];
            col += F[b][a];
        }
        if (outCols) {
            out[a] = std::max(row, kDistThreshold);
            outCols[a] = std::max(col, kDistThreshold);
        } else {
            out[a] = 0.5 * (row + col);
        }
    }
}

double guessKappaFromK2P(double P, double Q)
{
    const double x1 = 1.0 - 2.0 * Q;
    if (x1 < kDistThreshold)
        return 1.0;
    const double x2 = 1.0 - 2.0 * P - Q;
    if (x2 <= kDistThreshold || x1 >= 0.9999999999)
        return 1e37;
    return 2.0 * detLog(x2) / detLog(x1) - 1.0;
}

double calcPDist_Dna(double **F, Model *)
{
    const NucDiffs x = nucDiffs(F);
    return dist.subst == kSubstAll ? std::max(x.p, 0.0) : restrictSubst(x.P, x.Q);
}

double calcPDist_generic(double **F, Model *model) { return genericP(F, distNumStates(model)); }

double calcJCDist(double **F, Model *model)
{
    const double p = nucDiffs(F).p;
    if (p <= 0.0)
        return 0.0;
    const double x = 1.0 - 4.0 * p / 3.0;
    if (x <= 0.0)
        return kUndefinedDistance;
    const double fx = distCorrection(model)(x);
    switch (dist.subst) {
    case kSubstTv: return -0.5 * fx;
    case kSubstTi: return -0.25 * fx;
    case kSubstTRatio: return 0.5;
    default: return -0.75 * fx;
    }
}

double calcJCDist_generic(double **F, Model *model)
{
    const uint32_t n = distNumStates(model);
    const double p = genericP(F, n);
    if (p <= 0.0)
        return 0.0;
    const double b = -static_cast<double>(n - 1) / n;
    const double x = 1.0 + p / b;
    return x > 0.0 ? b * distCorrection(model)(x) : kUndefinedDistance;
}

double calcF81Dist(double **F, Model *model)
{
    const double p = nucDiffs(F).p;
    if (p <= 0.0)
        return 0.0;
    double pi[4];
    calcBaseFreq(F, 4, pi, nullptr);
    const double B = 1.0 - sumOfSquaredFreqs(pi, 4);
    const double x = 1.0 - p / B;
    if (!(x >= kDistThreshold))
        return kUndefinedDistance;
    const double tiProducts = pi[A] * pi[G] + pi[C] * pi[T];
    const double tvProducts = pi[A] * pi[C] + pi[A] * pi[T] + pi[C] * pi[G] + pi[T] * pi[G];
    double c = B;
    switch (dist.subst) {
    case kSubstTRatio: return tiProducts / tvProducts;
    case kSubstTv: c = 2.0 * tvProducts; break;
    case kSubstTi: c = 2.0 * tiProducts; break;
    default: break;
    }
    return -c * distCorrection(model)(x);
}

double calcF81Dist_generic(double **F, Model *model)
{
    const uint32_t n = distNumStates(model);
    const double p = genericP(F, n);
    if (p <= 0.0)
        return 0.0;
    double pi[kMaxModelStates];
    calcBaseFreq(F, n, pi, nullptr);
    const double B = 1.0 - sumOfSquaredFreqs(pi, n);
    const double x = 1.0 - p / B;
    return x >= kDistThreshold ? -B * distCorrection(model)(x) : kUndefinedDistance;
}

double calcTajimaNeiDist(double **F, Model *model)
{
    const double p = nucDiffs(F).p;
    if (p <= 0.0)
        return 0.0;
    double pi[4];
    calcBaseFreq(F, 4, pi, nullptr);
    if (*std::min_element(pi, pi + 4) < kDistThreshold)
        return kUndefinedDistance;
    double h = 0.0;
    for (uint32_t a = 0; a < 4; ++a)
        for (uint32_t b = a + 1; b < 4; ++b) {
            const double s = F[a][b] + F[b][a];
            h += s * s / (2.0 * pi[a] * pi[b]);
        }
    if (h < kDistThreshold)
        return kUndefinedDistance;
    const double b = 0.5 * (p * p / h + 1.0 - sumOfSquaredFreqs(pi, 4));
    if (b < kDistThreshold)
        return kUndefinedDistance;
    const double x = 1.0 - p / b;
    return x >= kDistThreshold ? -b * distCorrection(model)(x) : kUndefinedDistance;
}

double calcK2PDist(double **F, Model *model)
{
    const NucDiffs d = nucDiffs(F);
    const DistCorrectionFxn f = distCorrection(model);
    const double x1 = 1.0 - 2.0 * d.Q;
    if (x1 <= 0.0)
        return kUndefinedDistance;
    const double tv = -0.5 * f(x1);
    if (dist.subst == kSubstTv)
        return tv;
    const double x2 = 1.0 - 2.0 * d.P - d.Q;
    if (!(x2 >= kDistThreshold))
        return kUndefinedDistance;
    const double ti = -0.5 * f(x2) - 0.5 * tv;
    switch (dist.subst) {
    case kSubstTi: return std::max(0.0, ti);
    case kSubstTRatio: return tv > 0.0 ? std::max(0.0, ti) / tv : kUndefinedDistance;
    default: return ti + tv;
    }
}

double calcF84Dist(double **F, Model *model) { return calcF84DistSubst(F, model, dist.subst); }

double calcF84DistSubst(double **F, Model *model, uint32_t subst)
{
    const NucDiffs d = nucDiffs(F);
    if (d.P <= 0.0 && d.Q <= 0.0)
        return 0.0;
    double pi[4];
    calcBaseFreq(F, 4, pi, nullptr);
    const double piR = pi[A] + pi[G], piY = pi[C] + pi[T];
    const double K = piR * piY;
    if (!(K > 0.0))
        return kUndefinedDistance;
    const DistCorrectionFxn f = distCorrection(model);
    const double x = 1.0 - d.Q / (2.0 * K);
    if (!(x >= kDistThreshold))
        return kUndefinedDistance;
    const double fx = f(x);
    const double tv = -2.0 * K * fx;
    if (subst == kSubstTv)
        return tv;
    const double Acoef = pi[C] * pi[T] / piY + pi[A] * pi[G] / piR;
    const double D = Acoef - (pi[A] * pi[G] + pi[C] * pi[T]);
    const double y = 1.0 - d.P / (2.0 * Acoef) - d.Q * D / (2.0 * Acoef * K);
    if (!(y >= kDistThreshold))
        return kUndefinedDistance;
    const double fy = f(y);
    if (subst == kSubstAll)
        return 2.0 * (D - K) * fx - 2.0 * Acoef * fy;
    return restrictSubst(2.0 * D * fx - 2.0 * Acoef * fy, tv);
}

double calcK3PDist(double **F, Model *model)
{
    const NucDiffs d = nucDiffs(F);
    if (d.P <= 0.0 && d.Q1 <= 0.0 && d.Q2 <= 0.0)
        return 0.0;
    const double a1 = 1.0 - 2.0 * d.P - 2.0 * d.Q1;
    const double a2 = 1.0 - 2.0 * d.P - 2.0 * d.Q2;
    const double a3 = 1.0 - 2.0 * d.Q1 - 2.0 * d.Q2;
    if (!(a1 >= kDistThreshold && a2 >= kDistThreshold && a3 >= kDistThreshold))
        return kUndefinedDistance;
    const DistCorrectionFxn f = distCorrection(model);
    return -0.25 * (f(a1) + f(a2) + f(a3));
}

double calcTamuraNeiDist(double **F, Model *model)
{
    const NucDiffs d = nucDiffs(F);
    if (d.P1 <= 0.0 && d.P2 <= 0.0 && d.Q <= 0.0)
        return 0.0;
    double pi[4];
    calcBaseFreq(F, 4, pi, nullptr);
    const double piR = pi[A] + pi[G], piY = pi[C] + pi[T];
    const double K = piR * piY;
    const double piAG = pi[A] * pi[G], piCT = pi[C] * pi[T];
    const DistCorrectionFxn f = distCorrection(model);
    const double w = 1.0 - d.Q / (2.0 * K);
    if (!(w >= kDistThreshold))
        return kUndefinedDistance;
    const double fw = f(w);
    const double tv = -2.0 * K * fw;
    if (dist.subst == kSubstTv)
        return tv;
    const double u = 1.0 - d.P1 * piR / (2.0 * piAG) - d.Q / (2.0 * piR);
    const double v = 1.0 - d.P2 * piY / (2.0 * piCT) - d.Q / (2.0 * piY);
    if (!(u >= kDistThreshold && v >= kDistThreshold))
        return kUndefinedDistance;
    const double S = piAG / piR * f(u) + piCT / piY * f(v);
    const double M = piAG * piY / piR + piCT * piR / piY;
    if (dist.subst == kSubstAll)
        return -2.0 * (S + (K - M) * fw);
    return restrictSubst(-2.0 * (S - M * fw), tv);
}

double calcLogDetDist(double **F, Model *model)
{
    const uint32_t n = distNumStates(model);
    double r[kMaxModelStates], c[kMaxModelStates];
    calcBaseFreq(F, n, r, c);
    double det = 0.0;
    if (n == 2) {
        det = F[0][0] * F[1][1] - F[0][1] * F[1][0];
    } else {
        // The factorisation works in place, on a copy.
        double block[kMaxModelStates * kMaxModelStates];
        double *rows[kMaxModelStates];
        int pivots[kMaxModelStates];
        for (uint32_t a = 0; a < n; ++a) {
            rows[a] = block + a * n;
            std::copy(F[a], F[a] + n, rows[a]);
        }
        if (computeLUfactorization(rows, n, pivots, &det) != 0)
            return kUndefinedDistance;
    }
    if (!(det >= kDistThreshold))
        return kUndefinedDistance;
    double logMarginals = 0.0;
    for (uint32_t a = 0; a < n; ++a)
        logMarginals += log_safe(r[a]) + log_safe(c[a]);
    return -(detLog(det) - 0.5 * logMarginals) / n;
}
