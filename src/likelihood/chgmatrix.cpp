#include "likelihood/chgmatrix.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "data/model.h"
#include "likelihood/activeml.h"
#include "likelihood/aamatrices.h"
#include "likelihood/modelgroup.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"
#include "qel/qel_detmath.h"
#include "qel/qel_math.h"
#include "trees/treeutil.h"

namespace {

// Below these the matrices are the identity (no change along the branch).
constexpr double kMinT = 1e-10;

void setIdentity(double **p, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i) {
        std::fill(p[i], p[i] + n, 0.0);
        p[i][i] = 1.0;
    }
}

void setZero(double **p, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        std::fill(p[i], p[i] + n, 0.0);
}

// Identity with zero derivatives.
void setIdentityDv(const ChDvSet &s, uint32_t n)
{
    setIdentity(s.p, n);
    setZero(s.d1, n);
    setZero(s.d2, n);
}

// The constant part of an entry of a closed form; the exponential terms are
// added by addTerm.
void setConstDv(const ChDvSet &s, uint32_t i, uint32_t j, double c)
{
    s.p[i][j] = c;
    s.d1[i][j] = 0.0;
    s.d2[i][j] = 0.0;
}

// c exp(x r t) and its derivatives with respect to t.
void addTerm(const ChDvSet &s, uint32_t i, uint32_t j, double c, double xr, double ex)
{
    s.p[i][j] += c * ex;
    s.d1[i][j] += c * xr * ex;
    s.d2[i][j] += c * xr * xr * ex;
}

const ModelEngineData &eng(const Model *m) { return *m->engine; }

// The exponential of the closed forms: the ordinary one, or the function a
// model has installed in its place (ML distances under a gamma shape take
// the gamma's moment-generating function, which integrates the rate out).
bool plainExp(const ModelEngineData &e) { return e.fxns.expFxn == nullptr || e.fxns.expFxn == exp_safe; }
double expOf(const ModelEngineData &e, double x) { return plainExp(e) ? detExp(x) : e.fxns.expFxn(x); }

// Purines A and G are states 0 and 2, pyrimidines C and T states 1 and 3.
inline bool sameClass(uint32_t i, uint32_t j) { return (i & 1u) == (j & 1u); }

// Exchangeability k of a general model as the pair (i, j): nucleotides run
// AC, AG, AT, CG, CT, GT (upper triangle by rows), amino acids by rows of
// the lower triangle.
void pairOfRate(const Model *m, uint32_t k, uint32_t *i, uint32_t *j)
{
    if (m->type == kModelAminoAcid) {
        uint32_t row = 1;
        while (k >= row) {
            k -= row;
            ++row;
        }
        *i = row;
        *j = k;
        return;
    }
    const uint32_t n = m->nstates;
    uint32_t row = 0;
    while (k >= n - 1 - row) {
        k -= n - 1 - row;
        ++row;
    }
    *i = row;
    *j = row + 1 + k;
}

// The eigen form for every entry: sum over k of U[i][k] w[k] V[j][k].
template <typename T>
inline T eigenSum(const T *u, const T *w, const T *v, uint32_t n)
{
    T s = 0;
    for (uint32_t k = 0; k < n; ++k)
        s += u[k] * w[k] * v[k];
    return s;
}

// The 20-state sum written out, as the amino-acid matrices are the common
// general case.
inline float eigenSum20(const float *u, const float *w, const float *v)
{
    float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (uint32_t k = 0; k < 20; k += 4) {
        s0 += u[k] * w[k] * v[k];
        s1 += u[k + 1] * w[k + 1] * v[k + 1];
        s2 += u[k + 2] * w[k + 2] * v[k + 2];
        s3 += u[k + 3] * w[k + 3] * v[k + 3];
    }
    return (s0 + s1) + (s2 + s3);
}

float expClampedF(float x) { return x < -300.0f ? 0.0f : detExp(x); }

// The float eigen path: P (or its derivatives) from single-precision U, V
// and exponentials, clamped at 0 where asked, stored as doubles.
void gtrVecFill(const MatrixDiag *d, const float *w, double **out, bool clamp)
{
    const uint32_t n = d->n;
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            const float s = n == 20 ? eigenSum20(d->uFloat[i], w, d->vFloat[j])
                                    : eigenSum<float>(d->uFloat[i], w, d->vFloat[j], n);
            out[i][j] = clamp && s < 0.0f ? 0.0 : static_cast<double>(s);
        }
}

void refreshFloatEigenvectors(MatrixDiag *d)
{
    if (d->uFloat == nullptr || d->vFloat == nullptr)
        return;
    for (uint32_t i = 0; i < d->n; ++i)
        for (uint32_t k = 0; k < d->n; ++k) {
            d->uFloat[i][k] = static_cast<float>(d->u[i][k]);
            d->vFloat[i][k] = static_cast<float>(d->v[i][k]);
        }
}

}  // namespace

ModelEngineData *modelEngine(Model *m)
{
    if (m->engine == nullptr)
        m->engine = new ModelEngineData;
    return m->engine;
}

const ModelEngineData *modelEngine(const Model *m) { return m->engine; }

void releaseModelEngine(Model *m)
{
    delete m->engine;
    m->engine = nullptr;
    releaseModelRates(m);
}

// ---- Closed forms ---------------------------------------------------------------

void k2p_ChgMatrix(const Model *m, double t, double **p)
{
    if (t < kMinT)
        return setIdentity(p, 4);
    const ModelEngineData &e = eng(m);
    const double xa = -e.beta * t, xb = -e.beta * (e.kappa + 1.0) * t / 2.0;
    const double a = xa < -300.0 && plainExp(e) ? 0.0 : expOf(e, xa) / 4.0;
    const double b = xb < -300.0 && plainExp(e) ? 0.0 : expOf(e, xb) / 2.0;
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t j = 0; j < 4; ++j)
            p[i][j] = i == j ? 0.25 + a + b : sameClass(i, j) ? 0.25 + a - b : 0.25 - a;
}

void k2p_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &s)
{
    if (r < kMinT)
        return setIdentityDv(s, 4);
    // Chosen only when every rate multiplier is 1, so a function of t alone.
    const ModelEngineData &e = eng(m);
    const double xa = -e.beta, xb = -e.beta * (e.kappa + 1.0) / 2.0;
    const double ea = xa * t < -300.0 ? 0.0 : detExp(xa * t);
    const double eb = xb * t < -300.0 ? 0.0 : detExp(xb * t);
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t j = 0; j < 4; ++j) {
            setConstDv(s, i, j, 0.25);
            const double ca = i == j || sameClass(i, j) ? 0.25 : -0.25;
            addTerm(s, i, j, ca, xa, ea);
            if (i == j)
                addTerm(s, i, j, 0.5, xb, eb);
            else if (sameClass(i, j))
                addTerm(s, i, j, -0.5, xb, eb);
        }
}

namespace {

// HKY and F84 share the form; F84 has one second exponent for all states.
template <bool F84>
void hkyLike(const Model *m, double t, double **p)
{
    if (t < kMinT)
        return setIdentity(p, 4);
    const ModelEngineData &e = eng(m);
    const double eb = expOf(e, -e.beta * t);
    const double e2 = F84 ? expOf(e, -e.beta * (e.kappa + 1.0) * t) : 0.0;
    for (uint32_t j = 0; j < 4; ++j) {
        const double ej = F84 ? e2 : expOf(e, e.lambda[j] * t);
        const double pj = e.pi[j];
        for (uint32_t i = 0; i < 4; ++i)
            p[i][j] = i == j             ? pj + e.A[j] * eb + e.B[j] * ej
                      : sameClass(i, j) ? pj + e.A[j] * eb - e.C[j] * ej
                                         : pj * (1.0 - eb);
    }
}

template <bool F84>
void hkyLikeDv(const Model *m, double t, double r, const ChDvSet &s)
{
    if (r < kMinT)
        return setIdentityDv(s, 4);
    const ModelEngineData &e = eng(m);
    const double xb = -e.beta * r;
    const double eb = detExp(xb * t);
    const double x2 = -e.beta * (e.kappa + 1.0) * r;
    const double e2 = F84 ? detExp(x2 * t) : 0.0;
    for (uint32_t j = 0; j < 4; ++j) {
        const double xj = F84 ? x2 : e.lambda[j] * r;
        const double ej = F84 ? e2 : detExp(xj * t);
        const double pj = e.pi[j];
        for (uint32_t i = 0; i < 4; ++i) {
            setConstDv(s, i, j, pj);
            if (i == j) {
                addTerm(s, i, j, e.A[j], xb, eb);
                addTerm(s, i, j, e.B[j], xj, ej);
            } else if (sameClass(i, j)) {
                addTerm(s, i, j, e.A[j], xb, eb);
                addTerm(s, i, j, -e.C[j], xj, ej);
            } else {
                addTerm(s, i, j, -pj, xb, eb);
            }
        }
    }
}

}  // namespace

void hky_ChgMatrix(const Model *m, double t, double **p) { hkyLike<false>(m, t, p); }
void f84_ChgMatrix(const Model *m, double t, double **p) { hkyLike<true>(m, t, p); }
void hky_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &s) { hkyLikeDv<false>(m, t, r, s); }
void f84_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &s) { hkyLikeDv<true>(m, t, r, s); }

void cf_ChgMatrix(const Model *m, double t, double **p)
{
    if (t < kMinT)
        return setIdentity(p, 2);
    const ModelEngineData &e = eng(m);
    const double pi0 = e.pi[0], pi1 = e.pi[1];
    const double x = expOf(e, -t / (2.0 * pi0 * pi1));
    p[0][1] = pi1 * (1.0 - x);
    p[1][0] = pi0 * (1.0 - x);
    p[0][0] = 1.0 - p[0][1];
    p[1][1] = 1.0 - p[1][0];
}

void cf_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &s)
{
    if (r < kMinT)
        return setIdentityDv(s, 2);
    const ModelEngineData &e = eng(m);
    const double pi0 = e.pi[0], pi1 = e.pi[1];
    const double xr = -r / (2.0 * pi0 * pi1);
    const double ex = detExp(xr * t);
    // P[0][0] = pi0 + pi1 x, P[0][1] = pi1 - pi1 x, P[1][0] = pi0 - pi0 x, P[1][1] = pi1 + pi0 x.
    setConstDv(s, 0, 0, pi0);
    addTerm(s, 0, 0, pi1, xr, ex);
    setConstDv(s, 0, 1, pi1);
    addTerm(s, 0, 1, -pi1, xr, ex);
    setConstDv(s, 1, 0, pi0);
    addTerm(s, 1, 0, -pi0, xr, ex);
    setConstDv(s, 1, 1, pi1);
    addTerm(s, 1, 1, pi0, xr, ex);
}

void pp_ChgMatrix(const Model *m, double t, double **p)
{
    const uint32_t n = m->nstates;
    if (t < kMinT)
        return setIdentity(p, n);
    const ModelEngineData &e = eng(m);
    const double x = expOf(e, -e.beta * t);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            p[i][j] = i == j ? e.pi[i] + (1.0 - e.pi[i]) * x : e.pi[j] * (1.0 - x);
}

void pp_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &s)
{
    const uint32_t n = m->nstates;
    if (r < kMinT)
        return setIdentityDv(s, n);
    const ModelEngineData &e = eng(m);
    const double xr = -e.beta * r;
    const double ex = detExp(xr * t);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            setConstDv(s, i, j, e.pi[j]);
            addTerm(s, i, j, i == j ? 1.0 - e.pi[i] : -e.pi[j], xr, ex);
        }
}

// ---- Eigen path -------------------------------------------------------------------

void gtr_ChgMatrix(const Model *m, double t, double **p)
{
    const ModelEngineData &e = eng(m);
    const uint32_t n = e.diag->n;
    if (t == 0.0)
        return setIdentity(p, n);
    std::array<double, kMaxModelStates> w;
    calcExpAt(e.diag, e.fxns.expFxn ? e.fxns.expFxn : exp_safe, w.data(), p, t);
}

void gtr_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &s)
{
    const ModelEngineData &e = eng(m);
    const MatrixDiag *d = e.diag;
    const uint32_t n = d->n;
    if (r < kMinT)
        return setIdentityDv(s, n);
    const ExpFunction f = e.fxns.expFxn ? e.fxns.expFxn : exp_safe;
    std::array<double, kMaxModelStates> w0, w1, w2;
    for (uint32_t k = 0; k < n; ++k) {
        const double xr = d->eigenvalues[k] * r;
        w0[k] = f(xr * t);
        w1[k] = xr * w0[k];
        w2[k] = xr * w1[k];
    }
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            const double pij = eigenSum<double>(d->u[i], w0.data(), d->v[j], n);
            s.p[i][j] = pij > 0.0 ? pij : 0.0;
            s.d1[i][j] = eigenSum<double>(d->u[i], w1.data(), d->v[j], n);
            s.d2[i][j] = eigenSum<double>(d->u[i], w2.data(), d->v[j], n);
        }
}

void gtr_ChgMatrix_Vec(const Model *m, double t, double **p)
{
    const ModelEngineData &e = eng(m);
    const MatrixDiag *d = e.diag;
    if (t < kMinT)
        return setIdentity(p, d->n);
    std::array<float, kMaxModelStates> w;
    for (uint32_t k = 0; k < d->n; ++k)
        w[k] = expClampedF(static_cast<float>(d->eigenvalues[k] * t));
    gtrVecFill(d, w.data(), p, true);
}

void gtr_ChDvMatrix_Vec(const Model *m, double t, double r, const ChDvSet &s)
{
    const ModelEngineData &e = eng(m);
    const MatrixDiag *d = e.diag;
    const uint32_t n = d->n;
    if (r < kMinT)
        return setIdentityDv(s, n);
    std::array<float, kMaxModelStates> w0, w1, w2;
    for (uint32_t k = 0; k < n; ++k) {
        const float xr = static_cast<float>(d->eigenvalues[k] * r);
        w0[k] = expClampedF(xr * static_cast<float>(t));
        w1[k] = xr * w0[k];
        w2[k] = xr * w1[k];
    }
    gtrVecFill(d, w0.data(), s.p, true);
    gtrVecFill(d, w1.data(), s.d1, false);
    gtrVecFill(d, w2.data(), s.d2, false);
}

// ---- Model set-up -------------------------------------------------------------------

int updateBetaForDnaModel(Model *m)
{
    ModelEngineData &e = *modelEngine(m);
    const double *pi = e.pi.data();
    const double piA = pi[0], piC = pi[1], piG = pi[2], piT = pi[3];
    const double piR = piA + piG, piY = piC + piT;
    const double within = piA * piG + piC * piT;
    double K = 1.0;
    if (m->substClass == kSubstTwoRates) {
        const double R = m->tratio;
        K = m->F84 ? ((piA * piC + piA * piT + piC * piG + piT * piG) * R - within) /
                         (piA * piG / piR + piC * piT / piY)
                   : R * piR * piY / within;
    }
    e.kappa = K;
    if (m->F84) {
        double sumSq = 0.0;
        for (uint32_t j = 0; j < 4; ++j)
            sumSq += pi[j] * pi[j];
        e.beta = 1.0 / ((1.0 - sumSq) + K * (1.0 - (piA * piA + piG * piG) / piR -
                                              (piC * piC + piT * piT) / piY));
    } else {
        e.beta = 0.5 / (piR * piY + K * within);
    }
    for (uint32_t j = 0; j < 4; ++j) {
        const double Pj = (j & 1u) ? piY : piR;
        e.C[j] = pi[j] / Pj;
        e.A[j] = pi[j] / Pj - pi[j];
        e.B[j] = 1.0 - pi[j] / Pj;
        e.lambda[j] = m->F84 ? 0.0 : -e.beta * ((K - 1.0) * Pj + 1.0);
    }
    return 0;
}

int updateBetaForGenericModel(Model *m)
{
    ModelEngineData &e = *modelEngine(m);
    double sumSq = 0.0;
    for (double p : e.pi)
        sumSq += p * p;
    e.beta = 1.0 / (1.0 - sumSq);
    return 0;
}

int updateGTRmatrix(Model *m)
{
    ModelEngineData &e = *modelEngine(m);
    const uint32_t n = m->nstates;
    if (e.q.nrows != n)
        e.q.resize(n, n);
    double **q = e.q.data();
    for (uint32_t i = 0; i < n; ++i)
        std::fill(q[i], q[i] + n, 0.0);
    for (uint32_t k = 0; k < e.fullRates.size(); ++k) {
        uint32_t i, j;
        pairOfRate(m, k, &i, &j);
        q[i][j] = e.fullRates[k] * e.pi[j];
        q[j][i] = e.fullRates[k] * e.pi[i];
    }
    double mu = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (uint32_t j = 0; j < n; ++j)
            row += q[i][j];
        q[i][i] = -row;
        mu += e.pi[i] * row;
    }
    if (!(mu > 0.0))
        return 1;
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            q[i][j] /= mu;
    if (e.diag == nullptr) {
        const bool symmetric = modelHasEqualFreqs(m);
        e.diag = allocMatrixDiag(n, symmetric, !symmetric, 0, false);
        if (e.diag == nullptr)
            return 1;
    }
    RowMatrix<double> work;
    work.resize(n, n);
    if (diagonalizeRateMatrix(q, work.data(), e.pi.data(), e.diag) != 0)
        return 1;
    refreshFloatEigenvectors(e.diag);
    return 0;
}

int initializeModelVars(Model *m)
{
    ModelEngineData &e = *modelEngine(m);
    e.pinv = m->rateInfo ? m->rateInfo->pinv : (m->pinv > 0.0 ? m->pinv : 0.0);
    const bool freqsEstimated = !m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate;
    if (m->type == kModelNucleotide && m->substClass != kSubstSixRates) {
        if (!(m->substClass == kSubstTwoRates && m->tratio == kEstimate) && !freqsEstimated)
            updateBetaForDnaModel(m);
    } else if (m->type == kModelNucleotide || m->type == kModelAminoAcid) {
        const uint32_t nr = m->type == kModelAminoAcid ? kNumAAExchangeabilities : kNumNucRates;
        const bool ratesEstimated = !m->rates.empty() && m->rates[0] == kEstimate;
        e.fullRates.assign(nr, 1.0);
        if (!ratesEstimated && m->rates.size() >= nr)
            std::copy(m->rates.begin(), m->rates.begin() + nr, e.fullRates.begin());
        // With several pools to estimate the rebuild waits for their values.
        const bool waiting = m->numPools > 1 && (ratesEstimated || freqsEstimated);
        if (!waiting && updateGTRmatrix(m) != 0)
            return 1;
    } else if (!isTwoStateType(m) && !freqsEstimated) {
        updateBetaForGenericModel(m);
    }
    if (e.pinv > 0.0 && !freqsEstimated)
        calcConstSiteLikes(m);
    return 0;
}

// ---- Tips, categories, frequencies --------------------------------------------------

namespace {

// Transposes the n x n block and fills the tip rows: the any-state row all
// `missing`, each ambiguity row the sum of its member rows.
void fillTipRows(double **p, uint32_t n, const TipInfo &tip, bool transpose, const double *missing,
                 double missingScalar)
{
    if (transpose)
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = i + 1; j < n; ++j)
                std::swap(p[i][j], p[j][i]);
    for (uint32_t i = 0; i < n; ++i)
        p[n][i] = missing ? missing[i] : missingScalar;
    for (uint32_t c = n + 1; c < tip.nrows; ++c) {
        const uint8_t *list = tip.codeStates[c - n - 1];
        std::fill(p[c], p[c] + n, 0.0);
        for (uint32_t k = 1; k <= list[0]; ++k)
            for (uint32_t i = 0; i < n; ++i)
                p[c][i] += p[list[k]][i];
    }
}

const SiteCategory &siteCat(const ModelGroup *g, uint32_t sc) { return g->engine->map.siteCats[sc]; }

double rateOf(const SiteCategory &c, uint32_t rateCat)
{
    const MLRateInfo *ri = c.model->rateInfo;
    if (ri == nullptr || ri->rates.empty())
        return 1.0;
    return ri->rates[c.siteSpecific ? c.rateIndex : rateCat];
}

double weightOf(const SiteCategory &c, uint32_t rateCat)
{
    const MLRateInfo *ri = c.model->rateInfo;
    if (ri == nullptr || ri->probs.empty() || c.siteSpecific)
        return 1.0;
    return ri->probs[rateCat];
}

void storeSP(ChgMatrixSet *set, const TipInfo *tip, uint32_t n, bool derivatives)
{
    if (set->pf.empty())
        return;
    storeChgMatrix_SP(set->p.data(), tip, n, false, set->pf.data());
    if (derivatives) {
        storeChgMatrix_SP(set->d1.data(), tip, n, false, set->d1f.data());
        storeChgMatrix_SP(set->d2.data(), tip, n, false, set->d2f.data());
    }
}

}  // namespace

int calcChgMatrix(const TipInfo *tip, const ModelGroup *, const Model *m, uint32_t nstates,
                  double **p, double t)
{
    const ModelEngineData *e = m->engine;
    if (e == nullptr || e->fxns.chgMatrix == nullptr)
        return 1;
    e->fxns.chgMatrix(m, t, p);
    if (tip != nullptr)
        fillTipRows(p, nstates, *tip, true, nullptr, 1.0);
    return 0;
}

int calcChgMatrixDouble(const Model *m, double **p, double t)
{
    const ModelEngineData *e = m->engine;
    if (e == nullptr || e->fxns.chgMatrix == nullptr)
        return 1;
    (e->fxns.chgMatrix == gtr_ChgMatrix_Vec ? gtr_ChgMatrix : e->fxns.chgMatrix)(m, t, p);
    return 0;
}

void storeChgMatrix_SP(const double *const *p, const TipInfo *tip, uint32_t nstates, bool noVector,
                       float **f)
{
    const uint32_t rows = tip ? tip->nrows : nstates;
    const bool transpose = tip == nullptr && !noVector && mlIsVectorized();
    for (uint32_t i = 0; i < rows; ++i)
        for (uint32_t j = 0; j < nstates; ++j)
            (transpose ? f[j][i] : f[i][j]) = static_cast<float>(p[i][j]);
}

double getBranchLen(const TreeNode *node)
{
    double len = node->edge.brlen;
    if (usingFixedMLBranchLengths())
        if (const ActiveML *aml = getActiveML(); aml != nullptr && aml->rateScaler > 0.0)
            len *= aml->rateScaler;
    return len;
}

uint32_t calcChgMatricesForSiteCat(const ModelGroup *g, const TreeNode *node, const TipInfo *tip,
                                   uint32_t sc, uint32_t nstates, ChgMatrixSet *sets)
{
    const SiteCategory &c = siteCat(g, sc);
    const double len = getBranchLen(node) * c.model->relRate;
    const uint32_t k = c.siteSpecific ? 1 : c.nRateCats;
    for (uint32_t r = 0; r < k; ++r) {
        if (calcChgMatrix(tip, g, c.model, nstates, sets[r].p.data(), len * rateOf(c, r)) != 0)
            return 0;
        storeSP(&sets[r], tip, nstates, false);
    }
    return k;
}

int calcPiP(const TreeNode *node, const TipInfo *tip, const ModelGroup *g, uint32_t sc,
            uint32_t nstates, uint32_t rateCat, ChgMatrixSet *set)
{
    const SiteCategory &c = siteCat(g, sc);
    const ModelEngineData *e = c.model->engine;
    if (e == nullptr || e->fxns.chgMatrix == nullptr)
        return 1;
    double **p = set->p.data();
    e->fxns.chgMatrix(c.model, getBranchLen(node) * c.model->relRate * rateOf(c, rateCat), p);
    const double w = weightOf(c, rateCat);
    for (uint32_t i = 0; i < nstates; ++i)
        for (uint32_t j = 0; j < nstates; ++j)
            p[i][j] *= e->pi[i] * w;
    if (tip != nullptr) {
        std::array<double, kMaxModelStates> missing;
        for (uint32_t i = 0; i < nstates; ++i)
            missing[i] = e->pi[i] * w;
        fillTipRows(p, nstates, *tip, true, missing.data(), 0.0);
    }
    storeSP(set, tip, nstates, false);
    return 0;
}

int calcPiM(const TreeNode *node, const TipInfo *tip, const ModelGroup *g, uint32_t sc,
            uint32_t nstates, uint32_t rateCat, ChgMatrixSet *set)
{
    const SiteCategory &c = siteCat(g, sc);
    const ModelEngineData *e = c.model->engine;
    if (e == nullptr || e->fxns.chDvMatrix == nullptr)
        return 1;
    const ChDvSet dv = set->dv();
    e->fxns.chDvMatrix(c.model, getBranchLen(node), c.model->relRate * rateOf(c, rateCat), dv);
    const double w = weightOf(c, rateCat);
    for (double **mtx : {dv.p, dv.d1, dv.d2})
        for (uint32_t i = 0; i < nstates; ++i)
            for (uint32_t j = 0; j < nstates; ++j)
                mtx[i][j] *= e->pi[i] * w;
    if (tip != nullptr) {
        std::array<double, kMaxModelStates> missing;
        for (uint32_t i = 0; i < nstates; ++i)
            missing[i] = e->pi[i] * w;
        fillTipRows(dv.p, nstates, *tip, true, missing.data(), 0.0);
        fillTipRows(dv.d1, nstates, *tip, true, nullptr, 0.0);
        fillTipRows(dv.d2, nstates, *tip, true, nullptr, 0.0);
    }
    storeSP(set, tip, nstates, true);
    return 0;
}

namespace {

template <int (*Fxn)(const TreeNode *, const TipInfo *, const ModelGroup *, uint32_t, uint32_t,
                     uint32_t, ChgMatrixSet *)>
uint32_t forEachCategory(const TreeNode *node, const TipInfo *tip, const ModelGroup *g,
                         uint32_t sc, uint32_t nstates, ChgMatrixSet *sets)
{
    const SiteCategory &c = siteCat(g, sc);
    const uint32_t k = c.siteSpecific ? 1 : c.nRateCats;
    for (uint32_t r = 0; r < k; ++r)
        if (Fxn(node, tip, g, sc, nstates, r, &sets[r]) != 0)
            return 0;
    return k;
}

}  // namespace

uint32_t calcPiPforSiteCat(const TreeNode *node, const TipInfo *tip, const ModelGroup *g,
                           uint32_t sc, uint32_t nstates, ChgMatrixSet *sets)
{
    return forEachCategory<calcPiP>(node, tip, g, sc, nstates, sets);
}

uint32_t calcPiMforSiteCat(const TreeNode *node, const TipInfo *tip, const ModelGroup *g,
                           uint32_t sc, uint32_t nstates, ChgMatrixSet *sets)
{
    return forEachCategory<calcPiM>(node, tip, g, sc, nstates, sets);
}

// ---- Eigen form for sum tables ---------------------------------------------------------

namespace {

// Copies a decomposition into the form's flat arrays.
void takeDecomposition(const MatrixDiag *d, SpectralForm &f)
{
    const uint32_t n = d->n;
    f.lambda.assign(d->eigenvalues, d->eigenvalues + n);
    f.u.resize(size_t{n} * n);
    f.v.resize(size_t{n} * n);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t k = 0; k < n; ++k) {
            f.u[size_t{i} * n + k] = d->u[i][k];
            f.v[size_t{i} * n + k] = d->v[i][k];
        }
}

// Whether the form gives Q back: a decomposition of a matrix that is not
// quite reversible (or a failed one) is refused rather than used.
bool reproducesQ(const SpectralForm &f)
{
    const uint32_t n = f.n;
    double scale = 0.0, worst = 0.0;
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (uint32_t k = 0; k < n; ++k)
                s += f.u[size_t{i} * n + k] * f.lambda[k] * f.v[size_t{j} * n + k];
            const double q = f.qRows.data()[i][j];
            scale = std::max(scale, std::fabs(q));
            worst = std::max(worst, std::fabs(s - q));
        }
    return std::isfinite(worst) && worst <= 1e-9 * std::max(scale, 1.0);
}

}  // namespace

const SpectralForm *modelSpectralForm(const Model *m)
{
    ModelEngineData *e = m->engine;
    if (e == nullptr || e->fxns.chDvMatrix == nullptr || e->pi.size() < m->nstates)
        return nullptr;
    SpectralForm &f = e->spectral;
    const uint32_t n = m->nstates;
    const bool eigenPath = e->fxns.chDvMatrix == gtr_ChDvMatrix || e->fxns.chDvMatrix == gtr_ChDvMatrix_Vec;
    if (eigenPath) {
        // The model's own decomposition, in double precision even where its
        // matrices are made in single.
        if (e->diag == nullptr || e->diag->n != n)
            return nullptr;
        f.n = n;
        takeDecomposition(e->diag, f);
        f.q.clear();
        f.ok = true;
        return &f;
    }
    if (f.qRows.nrows != n) {
        f.qRows.resize(n, n);
        f.work.resize(n, n);
        f.p.resize(n, n);
        f.d2.resize(n, n);
        f.diag = deallocMatrixDiag(f.diag);
        f.q.clear();
    }
    // Q is the derivative of P at t = 0 and rate 1.
    e->fxns.chDvMatrix(m, 0.0, 1.0, ChDvSet{f.p.data(), f.qRows.data(), f.d2.data()});
    bool same = f.n == n && f.q.size() == size_t{n} * n;
    for (uint32_t i = 0; same && i < n; ++i)
        for (uint32_t j = 0; same && j < n; ++j)
            same = f.q[size_t{i} * n + j] == f.qRows.data()[i][j];
    for (uint32_t i = 0; same && i < n; ++i)
        same = f.pi[i] == e->pi[i];
    if (same)
        return f.ok ? &f : nullptr;
    f.n = n;
    f.ok = false;
    f.q.resize(size_t{n} * n);
    f.pi.assign(e->pi.begin(), e->pi.begin() + n);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            f.q[size_t{i} * n + j] = f.qRows.data()[i][j];
    if (f.diag == nullptr && (f.diag = allocMatrixDiag(n, false, true, 0, false)) == nullptr)
        return nullptr;
    if (diagonalizeRateMatrix(f.qRows.data(), f.work.data(), f.pi.data(), f.diag) != 0)
        return nullptr;
    takeDecomposition(f.diag, f);
    f.ok = reproducesQ(f);
    return f.ok ? &f : nullptr;
}

uint32_t siteCatRatesAndWeights(const ModelGroup *g, uint32_t sc, double *rates, double *weights)
{
    const SiteCategory &c = siteCat(g, sc);
    const uint32_t k = c.siteSpecific ? 1 : c.nRateCats;
    for (uint32_t r = 0; r < k; ++r) {
        rates[r] = c.model->relRate * rateOf(c, r);
        weights[r] = weightOf(c, r);
    }
    return k;
}

// ---- The Mk model ------------------------------------------------------------------

void mkvChgDv(double t, double rate, uint32_t k, const Model *m, double *pSame, double *pDiff, double *d1Same,
              double *d1Diff, double *d2Same, double *d2Diff)
{
    double same = 1, diff = 0, e = 0, beta = 0;
    if (k > 1) {
        beta = rate * k / (k - 1.0);
        const ExpFunction ex = m->engine && m->engine->fxns.expFxn ? m->engine->fxns.expFxn : exp_safe;
        e = ex(-beta * t);
        same = 1.0 / k + (1 - 1.0 / k) * e;
        diff = 1.0 / k - e / k;
    }
    *pSame = same;
    *pDiff = diff;
    const double inK = k > 1 ? 1.0 / k : 0.0;
    if (d1Same)
        *d1Same = -(1 - inK) * e * beta;
    if (d1Diff)
        *d1Diff = inK * e * beta;
    if (d2Same)
        *d2Same = (1 - inK) * e * beta * beta;
    if (d2Diff)
        *d2Diff = -inK * e * beta * beta;
}

namespace {

void fillMk(double **p, uint32_t n, double same, double diff)
{
    for (uint32_t i = 0; i < n; ++i) {
        std::fill(p[i], p[i] + n, diff);
        p[i][i] = same;
    }
}

}  // namespace

void mkvChangeMatrix(uint32_t k, const Model *m, double **p, double t)
{
    double same, diff;
    mkvChgDv(t, 1.0, k, m, &same, &diff, nullptr, nullptr, nullptr, nullptr);
    fillMk(p, m->nstates, same, diff);
}

int calcMkvChgMatrix(const TipInfo *tip, const Model *m, uint32_t nstates, uint32_t k, double **p, double t)
{
    if (m->nstates != nstates)
        return 1;
    mkvChangeMatrix(k, m, p, t);
    if (tip != nullptr)
        fillTipRows(p, nstates, *tip, true, nullptr, 1.0);
    return 0;
}

int calcMkvPiM(const TreeNode *node, const TipInfo *tip, const ModelGroup *g, uint32_t sc, uint32_t nstates,
               uint32_t k, uint32_t rateCat, bool derivatives, ChgMatrixSet *set)
{
    const SiteCategory &c = siteCat(g, sc);
    if (k == 0 || c.model->nstates != nstates)
        return 1;
    double v[6];
    mkvChgDv(getBranchLen(node), c.model->relRate * rateOf(c, rateCat), k, c.model, &v[0], &v[1], &v[2], &v[3],
             &v[4], &v[5]);
    // The k model states of a pattern are equally frequent.
    const double w = weightOf(c, rateCat) / k;
    std::array<double, kMaxModelStates> missing;
    std::fill_n(missing.begin(), nstates, w);
    const ChDvSet dv = set->dv();
    double **mats[3] = {dv.p, dv.d1, dv.d2};
    for (int d = 0; d < (derivatives ? 3 : 1); ++d) {
        fillMk(mats[d], nstates, w * v[2 * d], w * v[2 * d + 1]);
        if (tip != nullptr)
            fillTipRows(mats[d], nstates, *tip, true, d == 0 ? missing.data() : nullptr, 0.0);
    }
    return 0;
}
