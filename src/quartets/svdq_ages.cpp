#include "quartets/svdq_ages.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "qel/qel_brent.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_linalg.h"
#include "qel/qel_math.h"
#include "qel/qel_minfunc.h"
#include "qel/qel_progress.h"
#include "quartets/svdq.h"
#include "trees/roottree.h"
#include "trees/treeutil.h"

namespace {

constexpr double kMuPerTheta = 4.0 / 3.0;

// Every exponent L_j of a term is sum_k (alpha_jk + mu * gamma_jk) * t_k:
// gamma is the mutational decay along the ages, alpha the survival of two
// lineage pairs that have not coalesced (the last term of either shape).
struct TermExponent {
    double alpha[3];
    double gamma[3];
};

constexpr TermExponent kBalancedTerms[9] = {
    {{0, 0, 0}, {0, 0, 0}},          {{0, 0, 0}, {-1, 0, 0}},         {{0, 0, 0}, {0, -1, 0}},
    {{0, 0, 0}, {-1, -1, 0}},        {{0, 0, 0}, {0, 0, -1}},         {{0, 0, 0}, {-0.5, 0, -1}},
    {{0, 0, 0}, {0, -0.5, -1}},      {{0, 0, 0}, {-0.5, -0.5, -1}},   {{1, 1, -2}, {0, 0, -2}},
};
constexpr TermExponent kCaterpillarTerms[10] = {
    {{0, 0, 0}, {0, 0, 0}},          {{0, 0, 0}, {-1, 0, 0}},         {{0, 0, 0}, {0, -1, 0}},
    {{0, 0, 0}, {-0.5, -1, 0}},      {{0, 0, 0}, {0, 0, -1}},         {{0, 0, 0}, {-0.5, 0, -1}},
    {{0, 0, 0}, {-1, 0, -1}},        {{0, 0, 0}, {0, -0.5, -1}},      {{0, 0, 0}, {-0.5, -0.5, -1}},
    {{1, -1, 0}, {0, -1, -1}},
};

const TermExponent *termsOf(bool balanced) { return balanced ? kBalancedTerms : kCaterpillarTerms; }

// The 15 classes of four-unit patterns, keyed by the first-appearance
// indices d1 d2 d3 d4 of the units as 0xAB, A = 4 d1 + d2, B = 4 d3 + d4
// (xxyz = 0,0,1,2 = 0x06).
int patternClassOfCode(uint32_t code)
{
    switch (code) {
    case 0x00: return 0;   // xxxx
    case 0x01: return 1;   // xxxy
    case 0x10: return 2;   // xyxx
    case 0x11: return 3;   // xyxy
    case 0x05: return 4;   // xxyy
    case 0x06: return 5;   // xxyz
    case 0x1a: return 6;   // xyzz
    case 0x12: return 7;   // xyxz
    case 0x1b: return 8;   // xyzw
    case 0x04: return 9;   // xxyx
    case 0x15: return 10;  // xyyy
    case 0x14: return 11;  // xyyx
    case 0x18: return 12;  // xyzx
    case 0x16: return 13;  // xyyz
    case 0x19: return 14;  // xyzy
    default: return -1;
    }
}

constexpr uint8_t kBalancedMerge[15] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 7, 7, 7};
constexpr uint8_t kCaterpillarMerge[15] = {0, 1, 2, 5, 4, 6, 7, 8, 10, 1, 3, 5, 8, 9, 9};
// Distinct states in each of the 15 classes.
constexpr uint8_t kClassStates[15] = {1, 2, 2, 2, 2, 3, 3, 3, 4, 2, 2, 2, 3, 3, 3};

constexpr int kCaterpillarMoments[3][11] = {{3, -7, 10, 9, 8, -5, -8, 18, -10, -12, -6},
                                            {3, 5, -2, 9, -4, 7, -8, -6, -10, 12, -6},
                                            {3, 10, 5, -3, 1, 2, 2, -6, 4, -12, -6}};
constexpr int kBalancedMoments[3][9] = {{1, -2, 6, -2, 3, -2, 6, -8, -2},
                                        {1, 6, -2, -2, 3, 6, -2, -8, -2},
                                        {1, 2, 2, 2, -1, -2, -2, 0, -2}};

// A numerator of the coefficient matrix: a polynomial in mu of degree 3 at
// most, and the powers of g1 = 1 + mu, g2 = 2 + mu, g3 = 3 + mu that divide
// every entry of its column.
struct Poly {
    double c[4];
};
struct Column {
    int p1, p2, p3;
};

class CoefficientTable {
public:
    Poly num[kAgeMaxClasses][kAgeMaxTerms] = {};
    Column den[kAgeMaxTerms] = {};
    void column(uint32_t j, int p1, int p2, int p3) { den[j] = {p1, p2, p3}, col_ = j; }
    void put(Poly p, std::initializer_list<int> classes)
    {
        for (int i : classes)
            num[i][col_] = p;
    }
    void put(double v, std::initializer_list<int> classes) { put(Poly{{v, 0, 0, 0}}, classes); }

private:
    uint32_t col_ = 0;
};

void fillBalanced(CoefficientTable &t, double s)
{
    const Poly x{{0, s * s, s * s, s - 1}};
    t.column(1, 1, 0, 0), t.put(s - 1, {0, 2, 4, 6}), t.put(-1, {1, 3, 5, 7, 8});
    t.column(2, 1, 0, 0), t.put(s - 1, {0, 1, 4, 5}), t.put(-1, {2, 3, 6, 7, 8});
    t.column(3, 2, 0, 0), t.put((s - 1) * (s - 1), {0, 4}), t.put(-(s - 1), {1, 2, 5, 6}), t.put(1, {3, 7, 8});
    t.column(4, 1, 0, 0), t.put(4 * (s - 1), {0}), t.put(2 * s - 4, {1, 2, 3}), t.put(-4, {4, 5, 6, 8});
    t.put(s - 4, {7});
    t.column(5, 1, 1, 0), t.put(4 * (s - 1) * (s - 2), {0}), t.put(-4 * (s - 2), {1, 3, 4, 6});
    t.put(2 * (s - 2) * (s - 2), {2}), t.put(8, {5, 8}), t.put(8 - 2 * s, {7});
    t.column(6, 1, 1, 0), t.put(4 * (s - 1) * (s - 2), {0}), t.put(2 * (s - 2) * (s - 2), {1});
    t.put(-4 * (s - 2), {2, 3, 4, 5}), t.put(8, {6, 8}), t.put(8 - 2 * s, {7});
    t.column(7, 1, 2, 0), t.put(4 * (s - 1) * (s - 2) * (s - 2), {0}), t.put(-4 * (s - 2) * (s - 2), {1, 2, 4});
    t.put(8 * (s - 2), {3, 5, 6}), t.put(4 * s - 16, {7}), t.put(-16, {8});
    t.column(8, 2, 2, 1);
    t.put(Poly{{0, 2 * (s - 1) * x.c[1], 2 * (s - 1) * x.c[2], 2 * (s - 1) * x.c[3]}}, {0});
    t.put(Poly{{0, -2 * x.c[1], -2 * x.c[2], -2 * x.c[3]}}, {1, 2});
    t.put(Poly{{0, 2 * s * s, (3 * s - 2) * s, s * s - 2 * s + 2}}, {3});
    t.put(Poly{{0, 2 * s * s, 4 * s, 2}}, {4});
    t.put(Poly{{0, 0, 2 * s, 2}}, {5, 6});
    t.put(Poly{{0, 0, -s, -(s - 2)}}, {7});
    t.put(Poly{{0, 0, 0, 2}}, {8});
}

void fillCaterpillar(CoefficientTable &t, double s)
{
    const Poly x{{0, s * s, s * s, s - 1}};
    t.column(1, 1, 0, 0), t.put(s - 1, {0, 2, 3, 4, 7}), t.put(-1, {1, 5, 6, 8, 9, 10});
    t.column(2, 1, 0, 0), t.put(2 * (s - 1), {0, 3}), t.put(s - 2, {1, 5, 9}), t.put(-2, {2, 4, 6, 7, 8, 10});
    t.column(3, 1, 1, 0), t.put(2 * (s - 1) * (s - 2), {0, 3}), t.put(-2 * (s - 2), {1, 2, 4, 5, 7, 9});
    t.put(4, {6, 8, 10});
    t.column(4, 1, 0, 0), t.put(3 * (s - 1), {0}), t.put(2 * s - 3, {1, 2}), t.put(-3, {3, 7, 9, 10});
    t.put(s - 3, {4, 5, 6, 8});
    t.column(5, 1, 1, 0), t.put(2 * (s - 1) * (s - 2), {0, 2}), t.put(-2 * (s - 2), {1, 3, 4, 5, 7, 8});
    t.put(4, {6, 9, 10});
    t.column(6, 2, 0, 0), t.put((s - 1) * (s - 1), {0, 4}), t.put(-(s - 1), {1, 2, 3, 6, 7});
    t.put(1, {5, 8, 9, 10});
    t.column(7, 1, 1, 0), t.put(4 * (s - 1) * (s - 2), {0}), t.put(2 * (s - 2) * (s - 2), {1});
    t.put(-4 * (s - 2), {2, 3, 4, 5, 6}), t.put(8, {7, 10}), t.put(8 - 2 * s, {8, 9});
    t.column(8, 1, 2, 0), t.put(4 * (s - 1) * (s - 2) * (s - 2), {0}), t.put(-4 * (s - 2) * (s - 2), {1, 2, 3, 4});
    t.put(8 * (s - 2), {5, 6, 7}), t.put(4 * s - 16, {8, 9}), t.put(-16, {10});
    t.column(9, 2, 2, 1);
    t.put(Poly{{0, 2 * (s - 1) * x.c[1], 2 * (s - 1) * x.c[2], 2 * (s - 1) * x.c[3]}}, {0});
    t.put(Poly{{0, -2 * x.c[1], -2 * x.c[2], -2 * x.c[3]}}, {1, 2, 3});
    t.put(Poly{{0, 2 * s * s, 4 * s, 2}}, {4});
    t.put(Poly{{0, 2 * s * s, (3 * s - 2) * s, s * s - 2 * s + 2}}, {5});
    t.put(Poly{{0, 0, 2 * s, 2}}, {6, 7});
    t.put(Poly{{0, 0, -s, -(s - 2)}}, {8, 9});
    t.put(Poly{{0, 0, 0, 2}}, {10});
}

// The tables depend only on the shape and s, so they are built once per
// (shape, s) and reused; s is at most 4.
const CoefficientTable &coefficientTable(bool balanced, uint32_t s)
{
    static const auto tables = [] {
        struct All {
            CoefficientTable t[2][5];
        } all;
        for (uint32_t k = 1; k <= 4; k++) {
            fillBalanced(all.t[1][k], k);
            fillCaterpillar(all.t[0][k], k);
        }
        return all;
    }();
    return tables.t[balanced ? 1 : 0][std::min<uint32_t>(s, 4)];
}

}  // namespace

void ageClassPatternNumbers(bool balanced, uint32_t s, double *n)
{
    const double sd = s;
    double byStates[5] = {0, sd, sd * (sd - 1), sd * (sd - 1) * (sd - 2), sd * (sd - 1) * (sd - 2) * (sd - 3)};
    const uint8_t *merge = balanced ? kBalancedMerge : kCaterpillarMerge;
    std::fill(n, n + ageClassCount(balanced), 0.0);
    for (int c = 0; c < 15; c++)
        n[merge[c]] += std::max(byStates[kClassStates[c]], 0.0);
}

uint32_t ageMergedClass(bool balanced, uint32_t x1, uint32_t x2, uint32_t x3, uint32_t x4)
{
    // Each unit's state becomes the index of its first appearance (x = 0,
    // y = 1, ...); the key holds the four indices as hexadecimal digit pairs.
    // The class names read the units from the last to the first: with the
    // units in the order of the shape's ages, xxyy has units 1,2 alike and
    // 3,4 alike only read that way round, as the pair marginals of the
    // class probabilities show.
    const uint32_t x[4] = {x4, x3, x2, x1};
    uint32_t seen[4], digit[4];
    uint32_t nseen = 0;
    for (uint32_t u = 0; u < 4; u++) {
        uint32_t k = 0;
        while (k < nseen && seen[k] != x[u])
            k++;
        if (k == nseen)
            seen[nseen++] = x[u];
        digit[u] = k;
    }
    const int c = patternClassOfCode(((digit[0] * 4 + digit[1]) << 4) | (digit[2] * 4 + digit[3]));
    return (balanced ? kBalancedMerge : kCaterpillarMerge)[c < 0 ? 0 : c];
}

void formBetaVector(bool balanced, double *beta, double theta, double t1, double t2, double t3)
{
    const double mu = kMuPerTheta * theta;
    const double t[3] = {t1, t2, t3};
    const TermExponent *terms = termsOf(balanced);
    for (uint32_t j = 0; j < ageTermCount(balanced); j++) {
        double e = 0.0;
        for (int k = 0; k < 3; k++)
            e += (terms[j].alpha[k] + mu * terms[j].gamma[k]) * t[k];
        beta[j] = detExp(e);
    }
}

void calcExpectedPatternProbs(SvdqAgeModel &m, bool balanced, double t1, double t2, double t3, const double *n,
                              bool derivs, double *P, double theta)
{
    const double mu = kMuPerTheta * theta;
    const double g[3] = {1 + mu, 2 + mu, 3 + mu};
    const double s4 = 1.0 / (double(m.s) * m.s * m.s * m.s);
    const CoefficientTable &tab = coefficientTable(balanced, m.s);
    const uint32_t nc = ageClassCount(balanced), nt = ageTermCount(balanced);
    for (uint32_t j = 0; j < nt; j++) {
        if (j == 0) {
            for (uint32_t i = 0; i < nc; i++)
                m.A[i][0] = s4, m.dA[i][0] = 0.0, m.d2A[i][0] = 0.0;
            continue;
        }
        // Entry p(mu) h(mu), h = prod g_k^-p_k: h' = h u, u = -sum p_k / g_k,
        // h'' = h (u^2 + u'), u' = sum p_k / g_k^2.
        const int pw[3] = {tab.den[j].p1, tab.den[j].p2, tab.den[j].p3};
        double h = s4, u = 0.0, du = 0.0;
        for (int k = 0; k < 3; k++) {
            h /= detPow(g[k], pw[k]);
            u -= pw[k] / g[k];
            du += pw[k] / (g[k] * g[k]);
        }
        for (uint32_t i = 0; i < nc; i++) {
            const double *c = tab.num[i][j].c;
            const double p = c[0] + mu * (c[1] + mu * (c[2] + mu * c[3]));
            m.A[i][j] = p * h;
            if (derivs) {
                const double dp = c[1] + mu * (2 * c[2] + mu * 3 * c[3]);
                const double d2p = 2 * c[2] + 6 * mu * c[3];
                m.dA[i][j] = kMuPerTheta * h * (dp + p * u);
                m.d2A[i][j] = kMuPerTheta * kMuPerTheta * h * (d2p + 2 * dp * u + p * (u * u + du));
            }
        }
    }
    double beta[kAgeMaxTerms];
    formBetaVector(balanced, beta, theta, t1, t2, t3);
    for (uint32_t i = 0; i < nc; i++) {
        double sum = 0.0;
        for (uint32_t j = 0; j < nt; j++)
            sum += m.A[i][j] * beta[j];
        P[i] = n[i] * sum;
    }
}

double calcLogLikeForQuartet(QuartetLikeContext &c, const double ages[3], double theta)
{
    c.nevals++;
    calcExpectedPatternProbs(*c.model, c.balanced, ages[0], ages[1], ages[2], c.n, false, c.P, theta);
    double lnL = 0.0;
    for (uint32_t i = 0; i < ageClassCount(c.balanced); i++) {
        if (c.N[i] == 0.0)
            continue;
        if (!(c.P[i] > 0.0))
            return -DBL_MAX;
        lnL += c.N[i] * detLog(c.P[i]);
    }
    return lnL;
}

void calcThreeAgesGivenTheta(bool balanced, const double *q, double ages[3], double theta)
{
    const double mu = kMuPerTheta * theta;
    const double K = (balanced ? 4.0 : 4.0 / 3.0) * (1.0 + mu);
    const uint32_t nc = ageClassCount(balanced);
    for (int a = 0; a < 3; a++) {
        const int *coef = balanced ? kBalancedMoments[a] : kCaterpillarMoments[a];
        double sum = 0.0;
        for (uint32_t i = 0; i < nc; i++)
            sum += coef[i] * q[i];
        ages[a] = -log_safe(sum * K) / mu;
    }
}

void calcDerivatives(QuartetLikeContext &c, double t1, double t2, double t3, double G[4], double (*H)[4],
                     double theta)
{
    SvdqAgeModel &m = *c.model;
    const bool bal = c.balanced;
    calcExpectedPatternProbs(m, bal, t1, t2, t3, c.n, true, c.P, theta);
    double beta[kAgeMaxTerms];
    formBetaVector(bal, beta, theta, t1, t2, t3);
    const uint32_t nc = ageClassCount(bal), nt = ageTermCount(bal);
    const double mu = kMuPerTheta * theta;
    const double t[3] = {t1, t2, t3};
    // Per term: E[k] = dL/dt_k (k < 3) and dL/dtheta (k = 3); E2[k] =
    // d2L/dt_k dtheta. L is linear in each t and in theta, so no other second
    // derivative of an exponent is non-zero.
    double E[4][kAgeMaxTerms], E2[3][kAgeMaxTerms];
    const TermExponent *terms = termsOf(bal);
    for (uint32_t j = 0; j < nt; j++) {
        E[3][j] = 0.0;
        for (int k = 0; k < 3; k++) {
            E[k][j] = terms[j].alpha[k] + mu * terms[j].gamma[k];
            E2[k][j] = kMuPerTheta * terms[j].gamma[k];
            E[3][j] += kMuPerTheta * terms[j].gamma[k] * t[k];
        }
    }
    std::fill(G, G + 4, 0.0);
    if (H)
        for (int k = 0; k < 4; k++)
            std::fill(H[k], H[k] + 4, 0.0);
    for (uint32_t i = 0; i < nc; i++) {
        if (c.N[i] == 0.0)
            continue;
        const double r = c.n[i] / c.P[i];
        const double *A = m.A[i], *dA = m.dA[i], *d2A = m.d2A[i];
        // First derivatives of p_i = P_i / n_i.
        double d[4] = {0, 0, 0, 0};
        for (uint32_t j = 0; j < nt; j++) {
            const double ab = A[j] * beta[j];
            for (int k = 0; k < 4; k++)
                d[k] += ab * E[k][j];
            d[3] += dA[j] * beta[j];
        }
        for (int k = 0; k < 4; k++)
            G[k] += c.N[i] * r * d[k];
        if (!H)
            continue;
        for (int k = 0; k < 4; k++)
            for (int l = k; l < 4; l++) {
                double e = 0.0;
                for (uint32_t j = 0; j < nt; j++) {
                    double w = E[k][j] * E[l][j];
                    if (l == 3 && k < 3)
                        w += E2[k][j];
                    e += A[j] * w * beta[j];
                    if (l == 3)
                        e += dA[j] * E[k][j] * beta[j];
                    if (l == 3 && k == 3)
                        e += d2A[j] * beta[j] + dA[j] * E[3][j] * beta[j];
                }
                H[k][l] += c.N[i] * (r * e - r * r * d[k] * d[l]);
            }
    }
}

namespace {

constexpr double kT3Lower = 1e-8;
constexpr double kThetaLower = 1e-6;
// Stands for -ln L where a class probability is not positive: large enough
// to be refused by any line search, small enough that its differences stay
// finite.
constexpr double kImpossibleScore = 1e100;

double minusLnL(QuartetLikeContext &c, const double ages[3], double theta)
{
    const double lnL = calcLogLikeForQuartet(c, ages, theta);
    return lnL == -DBL_MAX ? kImpossibleScore : -lnL;
}

// The optimiser's parameters: the younger ages as fractions of the older
// (asin-sqrt on [0, 1]), the oldest age and theta on log scales.
void backtransformTimesAndTheta(bool balanced, const double *x, double ages[3], double *theta)
{
    ages[2] = logBacktransformForLB(x[2], kT3Lower);
    const double r1 = asinSqrtBacktransform(x[0], 0.0, 1.0), r2 = asinSqrtBacktransform(x[1], 0.0, 1.0);
    ages[1] = r2 * ages[2];
    ages[0] = r1 * (balanced ? ages[2] : ages[1]);
    *theta = logBacktransformForLB(x[3], kThetaLower);
}

void transformTimesAndTheta(bool balanced, const double ages[3], double theta, double *x)
{
    const double t3 = std::max(ages[2], 2 * kT3Lower);
    x[0] = asinSqrtTransform(std::clamp(ages[0] / (balanced ? t3 : std::max(ages[1], kT3Lower)), 0.0, 1.0), 0, 1);
    x[1] = asinSqrtTransform(std::clamp(ages[1] / t3, 0.0, 1.0), 0, 1);
    x[2] = logTransformForLB(t3, kT3Lower);
    x[3] = logTransformForLB(theta, kThetaLower);
}

double calcLScoreAndGradientForOptim(int32_t, BFGSData *rec, void *arg)
{
    auto &c = *static_cast<QuartetLikeContext *>(arg);
    const double *x = rec->x;
    double ages[3], theta;
    backtransformTimesAndTheta(c.balanced, x, ages, &theta);
    const double f = minusLnL(c, ages, theta);
    if (f == kImpossibleScore) {
        std::fill(rec->g, rec->g + 4, 0.0);
        return f;
    }
    double G[4];
    calcDerivatives(c, ages[0], ages[1], ages[2], G, nullptr, theta);
    const double s1 = detSin(x[0]), c1 = std::cos(x[0]), s2 = detSin(x[1]), c2 = std::cos(x[1]);
    const double t3 = ages[2], dt3 = t3 - kT3Lower;
    if (c.balanced) {
        rec->g[0] = -2 * t3 * s1 * c1 * G[0];
        rec->g[1] = -2 * t3 * s2 * c2 * G[1];
        rec->g[2] = -dt3 * (G[0] * s1 * s1 + G[1] * s2 * s2 + G[2]);
    } else {
        rec->g[0] = -2 * t3 * s1 * c1 * s2 * s2 * G[0];
        rec->g[1] = -2 * t3 * s2 * c2 * (G[0] * s1 * s1 + G[1]);
        rec->g[2] = -dt3 * (G[0] * s1 * s1 * s2 * s2 + G[1] * s2 * s2 + G[2]);
    }
    rec->g[3] = -(theta - kThetaLower) * G[3];
    return f;
}

double minusLnLForQuartetOptTheta(const double *y, void *arg)
{
    auto &c = *static_cast<QuartetLikeContext *>(arg);
    const double theta = logBacktransformForLB(*y, kThetaLower);
    double ages[3];
    calcThreeAgesGivenTheta(c.balanced, c.q, ages, theta);
    return minusLnL(c, ages, theta);
}

// Standard errors from the observed information at the optimum; false when
// it is not invertible.
bool standardErrors(QuartetLikeContext &c, const double ages[3], double theta, double se[4])
{
    double G[4], H[4][4];
    calcDerivatives(c, ages[0], ages[1], ages[2], G, H, theta);
    double info[16], inv[16], work[64];
    double *rows[4], *invRows[4];
    int ipiv[4];
    for (int k = 0; k < 4; k++) {
        rows[k] = info + 4 * k, invRows[k] = inv + 4 * k;
        for (int l = 0; l < 4; l++)
            info[4 * k + l] = -(l >= k ? H[k][l] : H[l][k]);
    }
    if (invertMatrix(rows, 4, ipiv, work, 64, invRows) != 0)
        return false;
    for (int k = 0; k < 4; k++) {
        if (!(inv[5 * k] > 0.0))
            return false;
        se[k] = std::sqrt(inv[5 * k]);
    }
    return true;
}

}  // namespace

bool estimateQuartetAges(bool balanced, uint32_t s, const double *N, AgeMethod method, bool estimateTheta,
                         double fixedTheta, QuartetAgeResult &out, bool *aborted)
{
    const uint32_t nc = ageClassCount(balanced);
    double n[kAgeMaxClasses], q[kAgeMaxClasses], total = 0.0;
    ageClassPatternNumbers(balanced, s, n);
    for (uint32_t i = 0; i < nc; i++)
        total += N[i];
    if (!(total > 0.0))
        return false;
    for (uint32_t i = 0; i < nc; i++)
        q[i] = n[i] > 0.0 ? N[i] / total / n[i] : 0.0;
    SvdqAgeModel model;
    model.s = s;
    QuartetLikeContext c;
    c.model = &model, c.n = n, c.N = N, c.q = q, c.balanced = balanced;
    out = QuartetAgeResult{};
    if (!estimateTheta) {
        out.theta = fixedTheta;
        calcThreeAgesGivenTheta(balanced, q, out.ages, fixedTheta);
        return true;
    }
    // Scan theta over 0.0001 x 2^k: the value whose likelihood is flattest in
    // theta (the ages at their moment values) starts the fit. Ages that turn
    // negative end the scan, as larger theta only make them more so.
    double theta0 = 0.0, bestSlope = DBL_MAX;
    for (int k = 0; k <= 20; k++) {
        const double theta = 0.0001 * std::ldexp(1.0, k);
        double ages[3];
        calcThreeAgesGivenTheta(balanced, q, ages, theta);
        if (ages[0] < 0 || ages[1] < 0 || ages[2] < 0)
            break;
        if (calcLogLikeForQuartet(c, ages, theta) == -DBL_MAX)
            continue;
        double G[4];
        calcDerivatives(c, ages[0], ages[1], ages[2], G, nullptr, theta);
        if (std::isfinite(G[3]) && std::fabs(G[3]) < bestSlope)
            bestSlope = std::fabs(G[3]), theta0 = theta;
    }
    if (theta0 == 0.0)
        return false;
    if (method == AgeMethod::kMoments) {
        // Brent on log theta about the scan's value. The interval is at
        // least +-0.1 wide, so that a value near 1 (log near 0) still gets
        // one.
        const double y0 = logTransformForLB(theta0, kThetaLower);
        const double half = 0.1 * std::max(std::fabs(y0), 1.0);
        double y = y0;
        MinStatus status = MinStatus::kDone;
        localMin(minusLnLForQuartetOptTheta, &c, &y, y0 - half, y0 + half, 0.0, 1e-10, &status);
        if (status == MinStatus::kAborted && aborted)
            *aborted = true;
        out.theta = logBacktransformForLB(y, kThetaLower);
        calcThreeAgesGivenTheta(balanced, q, out.ages, out.theta);
        return true;
    }
    double x[4], start[3];
    calcThreeAgesGivenTheta(balanced, q, start, theta0);
    transformTimesAndTheta(balanced, start, theta0, x);
    BFGSData *rec = createBFGSData(x, 4, 4, false);
    if (!rec)
        return false;
    double f = 0.0;
    const int status = optimizeLBFGS(calcLScoreAndGradientForOptim, &c, 4, 4, rec, &f, -1, 1e5, 1e-5);
    destroyBFGSData(rec);
    if (status == kLBFGSAborted && aborted)
        *aborted = true;
    backtransformTimesAndTheta(balanced, x, out.ages, &out.theta);
    out.haveSE = standardErrors(c, out.ages, out.theta, out.se);
    return true;
}

namespace {

// The inferred tree as a rooted tree of units. A tree whose root is a tip
// (the unrooted form, hung from its first outgroup taxon) is rooted on that
// tip's edge.
struct RootedUnits {
    std::vector<int> parent, depth, unitNode;
    std::vector<const TreeNode *> node;      // null for a root added on an edge
    std::vector<std::vector<int>> children;

    int add(const TreeNode *p, int par)
    {
        const int id = static_cast<int>(parent.size());
        parent.push_back(par), depth.push_back(par < 0 ? 0 : depth[par] + 1), node.push_back(p);
        children.emplace_back();
        if (par >= 0)
            children[par].push_back(id);
        return id;
    }
    void addSubtree(const TreeNode *p, int par, uint32_t nunits)
    {
        const int id = add(p, par);
        if (!p->firstChild && p->index >= 0 && static_cast<uint32_t>(p->index) < nunits)
            unitNode[p->index] = id;
        for (const TreeNode *c = p->firstChild; c; c = c->nextSib)
            addSubtree(c, id, nunits);
    }
    RootedUnits(const Tree &tree, uint32_t nunits) : unitNode(nunits, -1)
    {
        const TreeNode *r = tree.root;
        const bool tipRoot = r->index >= 0 && static_cast<uint32_t>(r->index) < nunits;
        if (!tipRoot) {
            addSubtree(r, -1, nunits);
            return;
        }
        const int top = add(nullptr, -1);
        unitNode[r->index] = add(r, top);
        if (r->firstChild && !r->firstChild->nextSib) {
            addSubtree(r->firstChild, top, nunits);
        } else {
            const int basal = add(nullptr, top);
            for (const TreeNode *c = r->firstChild; c; c = c->nextSib)
                addSubtree(c, basal, nunits);
        }
    }
    int mrca(int a, int b) const
    {
        while (depth[a] > depth[b])
            a = parent[a];
        while (depth[b] > depth[a])
            b = parent[b];
        while (a != b)
            a = parent[a], b = parent[b];
        return a;
    }
    // The child of anc on the path to x.
    int childToward(int anc, int x) const
    {
        while (parent[x] != anc)
            x = parent[x];
        return x;
    }
};

// Orders the four units of a quartet to match its induced rooted shape and
// names the three nodes (youngest first as the class probabilities take
// them). False when the induced subtree is not resolved.
bool induceShape(const RootedUnits &t, const uint32_t u[4], uint32_t ordered[4], int nodes[3], bool *balanced)
{
    int leaf[4];
    for (int k = 0; k < 4; k++)
        leaf[k] = t.unitNode[u[k]];
    const int root = t.mrca(t.mrca(leaf[0], leaf[1]), t.mrca(leaf[2], leaf[3]));
    int side[4];
    for (int k = 0; k < 4; k++)
        side[k] = t.childToward(root, leaf[k]);
    // Group the four by the child of the root they descend from.
    int with0 = 0;
    for (int k = 1; k < 4; k++)
        with0 += side[k] == side[0];
    if (with0 == 1) {
        int mate = 1;
        while (side[mate] != side[0])
            mate++;
        int rest[2], nr = 0;
        for (int k = 1; k < 4; k++)
            if (k != mate)
                rest[nr++] = k;
        if (side[rest[0]] != side[rest[1]])
            return false;
        *balanced = true;
        ordered[0] = u[0], ordered[1] = u[mate], ordered[2] = u[rest[0]], ordered[3] = u[rest[1]];
        nodes[0] = t.mrca(leaf[0], leaf[mate]), nodes[1] = t.mrca(leaf[rest[0]], leaf[rest[1]]), nodes[2] = root;
        return true;
    }
    // Three on one side and one alone, or unresolved at the root.
    int single = -1;
    for (int k = 0; k < 4; k++) {
        int same = 0;
        for (int l = 0; l < 4; l++)
            same += l != k && side[l] == side[k];
        if (same == 0)
            single = single < 0 ? k : 4;
    }
    if (single < 0 || single == 4)
        return false;
    int three[3], n3 = 0;
    for (int k = 0; k < 4; k++)
        if (k != single)
            three[n3++] = k;
    const int m01 = t.mrca(leaf[three[0]], leaf[three[1]]), m02 = t.mrca(leaf[three[0]], leaf[three[2]]),
              m12 = t.mrca(leaf[three[1]], leaf[three[2]]);
    int a, b, c;
    if (t.depth[m01] > t.depth[m02] && t.depth[m01] > t.depth[m12])
        a = three[0], b = three[1], c = three[2];
    else if (t.depth[m02] > t.depth[m01] && t.depth[m02] > t.depth[m12])
        a = three[0], b = three[2], c = three[1];
    else if (t.depth[m12] > t.depth[m01] && t.depth[m12] > t.depth[m02])
        a = three[1], b = three[2], c = three[0];
    else
        return false;
    *balanced = false;
    ordered[0] = u[a], ordered[1] = u[b], ordered[2] = u[c], ordered[3] = u[single];
    nodes[0] = t.mrca(leaf[a], leaf[b]), nodes[1] = t.mrca(nodes[0], leaf[c]), nodes[2] = root;
    return true;
}

// Adds the merged-class counts of the ordered quartet of taxa, read from the
// first flattening matrix of the taxa in increasing order.
void addLineageClassCounts(const SvdqEvalData &ev, const uint32_t ordered[4], bool balanced, SvdqWork &w, double *N)
{
    uint32_t sorted[4] = {ordered[0], ordered[1], ordered[2], ordered[3]};
    std::sort(sorted, sorted + 4);
    int pos[4];
    for (int k = 0; k < 4; k++)
        pos[k] = static_cast<int>(std::find(sorted, sorted + 4, ordered[k]) - sorted);
    makeFlatteningMatrices(ev, sorted[0], sorted[1], sorted[2], sorted[3], w);
    const uint32_t s = ev.s, n = s * s;
    for (uint32_t row = 0; row < n; row++)
        for (uint32_t col = 0; col < n; col++) {
            const double v = w.flat[0][row * n + col];
            if (v == 0.0)
                continue;
            const uint32_t x[4] = {row / s, row % s, col / s, col % s};
            N[ageMergedClass(balanced, x[pos[0]], x[pos[1]], x[pos[2]], x[pos[3]])] += v;
        }
}

// Merged-class counts of the ordered quartet of units. A quartet of species
// sums the counts of every quartet of one lineage from each, as the species
// quartet's score pools its lineage quartets: each such lineage quartet has
// the class probabilities of the species quartet's shape and ages.
void quartetClassCounts(const SvdqEvalData &ev, const uint32_t ordered[4], bool balanced, SvdqWork &w, double *N)
{
    std::fill(N, N + kAgeMaxClasses, 0.0);
    if (ev.members.empty()) {
        addLineageClassCounts(ev, ordered, balanced, w, N);
        return;
    }
    const std::vector<uint32_t> *m[4];
    for (int k = 0; k < 4; k++)
        m[k] = &ev.members[ordered[k]];
    for (uint32_t a : *m[0])
        for (uint32_t b : *m[1])
            for (uint32_t c : *m[2])
                for (uint32_t d : *m[3]) {
                    const uint32_t lineages[4] = {a, b, c, d};
                    addLineageClassCounts(ev, lineages, balanced, w, N);
                }
}

std::string unitList(const RootedUnits &t, int id)
{
    std::vector<uint32_t> units;
    for (uint32_t u = 0; u < t.unitNode.size(); u++) {
        int p = t.unitNode[u];
        while (p >= 0 && p != id)
            p = t.parent[p];
        if (p == id)
            units.push_back(u + 1);
    }
    std::string text;
    for (uint32_t u : units)
        text += (text.empty() ? "" : " ") + std::to_string(u);
    return text;
}

}  // namespace

int estimateSvdqNodeAges(SvdqEvalData &ev, Tree *tree, AgeMethod method, bool estimateTheta, double theta)
{
    if (!tree || !tree->root)
        return 0;
    // The ages need a root between the ingroup and the outgroup, never a
    // basal polytomy, which would leave the quartets across it unresolved;
    // the tree buffer already holds the unrooted tree. A rooted tree in
    // memory keeps its own root.
    if (!(tree->flags & kTreeRootedAtAnc)) {
        rootOutgroup(tree, ev.d, false);
        if (finalizeRooting(tree, false, false) != 0)
            return qel_errorMsg(0, "The tree could not be rooted for the estimation of node ages."), 1;
    }
    const RootedUnits t(*tree, ev.nunits);
    std::vector<uint32_t> units;
    for (uint32_t u = 0; u < ev.nunits; u++)
        if (t.unitNode[u] >= 0)
            units.push_back(u);
    std::vector<double> ageSum(t.parent.size(), 0.0);
    std::vector<uint64_t> ageCount(t.parent.size(), 0);
    double thetaSum = 0.0;
    uint64_t used = 0, skipped = 0;
    bool aborted = false;
    auto work = std::make_unique<SvdqWork>();
    AbortPoll poll;
    const size_t m = units.size();
    const double nquartets = m < 4 ? 0.0 : double(m) * double(m - 1) * double(m - 2) * double(m - 3) / 24.0;
    if (ev.progress)
        resetProgressWindow(ev.progress, static_cast<uint32_t>(std::min(nquartets, 4294967294.0)),
                            "Estimating node ages");
    uint32_t done = 0;
    for (size_t i = 0; i < m && !aborted; i++)
        for (size_t j = i + 1; j < m && !aborted; j++)
            for (size_t k = j + 1; k < m && !aborted; k++) {
                for (size_t l = k + 1; l < m && !aborted; l++) {
                    if (ev.progress && setProgressValue(ev.progress, done++) == kProgressAborted) {
                        aborted = true;
                        break;
                    }
                    const uint32_t u[4] = {units[i], units[j], units[k], units[l]};
                    uint32_t ordered[4];
                    int nodes[3];
                    bool balanced = true;
                    if (!induceShape(t, u, ordered, nodes, &balanced))
                        continue;
                    double N[kAgeMaxClasses];
                    quartetClassCounts(ev, ordered, balanced, *work, N);
                    QuartetAgeResult r;
                    if (!estimateQuartetAges(balanced, ev.s, N, method, estimateTheta, theta, r, &aborted)) {
                        skipped++;
                        continue;
                    }
                    for (int a = 0; a < 3; a++)
                        ageSum[nodes[a]] += r.ages[a], ageCount[nodes[a]]++;
                    thetaSum += r.theta;
                    used++;
                }
                if (!ev.progress && poll.stop())
                    aborted = true;
            }
    if (aborted) {
        qel_printf("\nEstimation of node ages aborted.\n");
        return 2;
    }
    if (method == AgeMethod::kMoments && estimateTheta)
        qel_printf("\n1-D optimization results:\n");
    qel_printf("\nNode ages (coalescent units) estimated by %s over %llu quartets\n",
               method == AgeMethod::kML ? "maximum likelihood" : "the method of moments",
               static_cast<unsigned long long>(used));
    if (skipped > 0)
        qel_printf("  (note: %llu quartet%s skipped: no value of theta gave finite ages and likelihood)\n",
                   static_cast<unsigned long long>(skipped), skipped == 1 ? " was" : "s were");
    qel_printf("\n  %10s  %8s  %s\n", "Age", "Quartets", "Units in clade");
    for (size_t id = 0; id < t.parent.size(); id++) {
        if (t.children[id].empty() || ageCount[id] == 0)
            continue;
        const double age = ageSum[id] / static_cast<double>(ageCount[id]);
        qel_printf("  %10.6f  %8llu  %s\n", age, static_cast<unsigned long long>(ageCount[id]),
                   unitList(t, static_cast<int>(id)).c_str());
    }
    if (used > 0)
        qel_printf("\n  Theta = %.6g%s\n", thetaSum / static_cast<double>(used),
                   estimateTheta ? " (mean over quartets)" : " (fixed)");
    return 0;
}
