#include "quartets/svdq_ages.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <initializer_list>

#include "qel/qel_brent.h"
#include "qel/qel_linalg.h"
#include "qel/qel_math.h"
#include "qel/qel_minfunc.h"

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
    const uint32_t x[4] = {x1, x2, x3, x4};
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
        beta[j] = std::exp(e);
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
            h /= std::pow(g[k], pw[k]);
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
        lnL += c.N[i] * std::log(c.P[i]);
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
