#include "distance/eirdist.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include <cminpack.h>

#include "distance/distance_settings.h"
#include "qel/qel_detmath.h"
#include "qel/qel_diag.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_math.h"

namespace {

// The six base pairs in class order and their kind.
constexpr uint32_t kPairA[kNumBasePairs] = {0, 0, 0, 1, 1, 2};
constexpr uint32_t kPairB[kNumBasePairs] = {1, 2, 3, 2, 3, 3};

// A and G are 0 and 2, C and T are 1 and 3: a transition joins two states
// of the same parity.
bool isTransition(uint32_t a, uint32_t b) { return (a & 1) == (b & 1); }

// A 4 x 4 matrix with row pointers, on the stack.
struct Mat4 {
    double cell[4][4]{};
    double *rows[4] = {cell[0], cell[1], cell[2], cell[3]};
    double **ptr() { return rows; }
};

// The eigen work of the model, or one made for this call when the caller
// has not installed any.
class EigenWork {
public:
    explicit EigenWork(const Model *model) : diag_(model ? model->distDiag : nullptr)
    {
        if (!diag_) {
            owned_.reset(allocMatrixDiag(4, false, true, 0, false));
            diag_ = owned_.get();
        }
    }
    MatrixDiag *get() const { return diag_; }

private:
    struct Release {
        void operator()(MatrixDiag *d) const { deallocMatrixDiag(d); }
    };
    MatrixDiag *diag_;
    std::unique_ptr<MatrixDiag, Release> owned_;
};

void classTableFromPairs(const uint32_t *pairClasses, uint16_t table[4][4])
{
    for (uint32_t a = 0; a < 4; ++a)
        table[a][a] = 0;
    for (uint32_t e = 0; e < kNumBasePairs; ++e)
        table[kPairA[e]][kPairB[e]] = table[kPairB[e]][kPairA[e]] = static_cast<uint16_t>(pairClasses[e]);
}

// Class sums S[c] = sum over the class's pairs of F[a][b] + F[b][a].
void classSums(double **F, const uint32_t *pairClasses, uint32_t k, double *S)
{
    std::fill(S, S + k, 0.0);
    for (uint32_t e = 0; e < kNumBasePairs; ++e)
        S[pairClasses[e]] += F[kPairA[e]][kPairB[e]] + F[kPairB[e]][kPairA[e]];
}

void fixDiagonalToFreqs(double **F, const double *pi, uint32_t n)
{
    for (uint32_t a = 0; a < n; ++a) {
        double off = 0.0;
        for (uint32_t b = 0; b < n; ++b)
            if (b != a)
                off += F[a][b];
        F[a][a] = pi[a] - off;
    }
}

// The equations of one custom or HKY85 distance.
struct CustomEquations {
    uint32_t k = 0;
    uint32_t referenceClass = 0;
    bool hky = false;
    bool gamma = false;
    bool numericalFailure = false;
    const double *S = nullptr;
    const double *pi = nullptr;
    const uint32_t *pairClasses = nullptr;
    const uint16_t (*classTable)[4] = nullptr;
    MatrixDiag *diag = nullptr;
};

double expOrMgf(bool gamma, double x) { return gamma ? mgfGamma(x) : detExp(x); }

// P(d) of the HKY85 model with transition/transversion rate ratio kappa,
// mean rate 1.
void hkyTransitionMatrix(const double *pi, double kappa, double d, bool gamma, double **P)
{
    const double piR = pi[0] + pi[2], piY = pi[1] + pi[3];
    const double beta = 1.0 / (2.0 * piR * piY + 2.0 * kappa * (pi[0] * pi[2] + pi[1] * pi[3]));
    const double e1 = expOrMgf(gamma, -beta * d);
    for (uint32_t j = 0; j < 4; ++j) {
        const double piJ = (j & 1) ? piY : piR;
        const double e2 = expOrMgf(gamma, -beta * d * (1.0 + piJ * (kappa - 1.0)));
        for (uint32_t i = 0; i < 4; ++i) {
            if (!isTransition(i, j))
                P[i][j] = pi[j] * (1.0 - e1);
            else if (i == j)
                P[i][j] = pi[j] + pi[j] * (1.0 / piJ - 1.0) * e1 + (piJ - pi[j]) / piJ * e2;
            else
                P[i][j] = pi[j] + pi[j] * (1.0 / piJ - 1.0) * e1 - pi[j] / piJ * e2;
        }
    }
}

// P(d) = U diag(g(lambda d)) V' of a decomposed rate matrix, entries as the
// sums give them: a class rate may go negative on the way to (or at) the
// solution, and its negative probabilities are what keep the class
// equations honest (clamped at 0, a class with no changes would read as
// solved wherever its rate turns negative).
void unclampedTransitionMatrix(const MatrixDiag *diag, bool gamma, double d, double **P)
{
    const uint32_t n = diag->n;
    double w[kMaxModelStates];
    for (uint32_t k = 0; k < n; ++k)
        w[k] = gamma ? mgfGamma(d * diag->eigenvalues[k]) : exp_safe(d * diag->eigenvalues[k]);
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < n; ++b) {
            double sum = 0.0;
            for (uint32_t k = 0; k < n; ++k)
                sum += diag->u[a][k] * w[k] * diag->v[b][k];
            P[a][b] = sum;
        }
}

}  // namespace

int matrixLog(uint32_t n, double **F, const double *pi, MatrixDiag *eigenWork, double **out,
              DistCorrectionFxn f, MatrixLogResult *result)
{
    if (!eigenWork || eigenWork->n != n)
        return 1;
    double block[kMaxModelStates * kMaxModelStates];
    double *rows[kMaxModelStates];
    double **M = out;
    if (!M) {
        for (uint32_t a = 0; a < n; ++a)
            rows[a] = block + a * n;
        M = rows;
    }
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < n; ++b)
            M[a][b] = F[a][b] / pi[a];
    if (diagonalizeRateMatrix(M, nullptr, pi, eigenWork) != 0)
        return 1;
    double fl[kMaxModelStates];
    for (uint32_t k = 0; k < n; ++k) {
        if (!(eigenWork->eigenvalues[k] >= kDistThreshold))
            return 1;
        fl[k] = f(eigenWork->eigenvalues[k]);
    }
    double **U = eigenWork->u, **V = eigenWork->v;
    double total = 0.0, ti = 0.0, tv = 0.0;
    for (uint32_t a = 0; a < n; ++a) {
        double rowSum = 0.0;
        for (uint32_t b = 0; b < n; ++b) {
            double x = 0.0;
            for (uint32_t k = 0; k < n; ++k)
                x += U[a][k] * fl[k] * V[b][k];
            if (a == b) {
                total -= pi[a] * x;
                continue;
            }
            rowSum += x;
            if (result && result->wantParts)
                (isTransition(a, b) ? ti : tv) += pi[a] * x;
            if (result && result->L)
                result->L[a][b] = x;
        }
        if (result && result->L)
            result->L[a][a] = -rowSum;
    }
    if (result) {
        result->total = total;
        result->ti = ti;
        result->tv = tv;
    }
    return 0;
}

double calcEirDistance_Dna(double **F, const double *pi, DistCorrectionFxn f, MatrixDiag *eigenWork,
                           bool fixDiagonal, uint32_t k, const uint32_t *pairClasses, double *classRatesOut)
{
    if (fixDiagonal)
        fixDiagonalToFreqs(F, pi, 4);
    Mat4 L;
    MatrixLogResult r;
    r.wantParts = classRatesOut || dist.subst != kSubstAll;
    r.L = classRatesOut ? L.ptr() : nullptr;
    if (matrixLog(4, F, pi, eigenWork, nullptr, f, &r) != 0)
        return kUndefinedDistance;
    if (!classRatesOut)
        return dist.subst == kSubstAll ? r.total : restrictSubst(r.ti, r.tv);
    uint32_t members[kNumBasePairs]{};
    std::fill(classRatesOut, classRatesOut + k, 0.0);
    for (uint32_t e = 0; e < kNumBasePairs; ++e) {
        classRatesOut[pairClasses[e]] += L.cell[kPairA[e]][kPairB[e]] / pi[kPairB[e]];
        ++members[pairClasses[e]];
    }
    for (uint32_t c = 0; c < k; ++c)
        if (members[c])
            classRatesOut[c] /= members[c];
    return r.ti + r.tv;
}

void doVeskaPooling(double **F, const double *pi, const uint32_t *pairClasses, uint32_t k)
{
    double S[kNumBasePairs]{}, W[kNumBasePairs]{};
    for (uint32_t e = 0; e < kNumBasePairs; ++e) {
        const uint32_t a = kPairA[e], b = kPairB[e];
        S[pairClasses[e]] += F[a][b] + F[b][a];
        W[pairClasses[e]] += 2.0 * pi[a] * pi[b];
    }
    for (uint32_t e = 0; e < kNumBasePairs; ++e) {
        const uint32_t a = kPairA[e], b = kPairB[e], c = pairClasses[e];
        if (c < k && W[c] > 0.0)
            F[a][b] = F[b][a] = S[c] * pi[a] * pi[b] / W[c];
    }
}

void makeQ(uint32_t k, uint32_t referenceClass, const double *relativeRates, const double *pi, double **Q,
           const uint16_t classTable[4][4])
{
    double rate[kNumBasePairs];
    for (uint32_t c = 0, next = 0; c < k; ++c)
        rate[c] = c == referenceClass ? 1.0 : relativeRates[next++];
    double scale = 0.0;
    for (uint32_t a = 0; a < 4; ++a) {
        Q[a][a] = 0.0;
        for (uint32_t b = a + 1; b < 4; ++b) {
            const double r = rate[classTable[a][b]];
            Q[a][b] = r * pi[b];
            Q[b][a] = r * pi[a];
            scale += Q[a][b] * pi[a] + Q[b][a] * pi[b];
        }
    }
    for (uint32_t a = 0; a < 4; ++a)
        for (uint32_t b = 0; b < 4; ++b)
            if (b != a)
                Q[a][a] -= Q[a][b];
    for (uint32_t a = 0; a < 4; ++a)
        for (uint32_t b = 0; b < 4; ++b)
            Q[a][b] /= scale;
}

int solveCustomDist(void *data, int n, const double *x, double *fvec, int)
{
    auto &eq = *static_cast<CustomEquations *>(data);
    if (gAborted_.load())
        return -1;
    Mat4 P;
    if (eq.hky) {
        hkyTransitionMatrix(eq.pi, x[1], x[0], eq.gamma, P.ptr());
    } else {
        Mat4 Q;
        makeQ(eq.k, eq.referenceClass, x + 1, eq.pi, Q.ptr(), eq.classTable);
        if (diagonalizeRateMatrix(Q.ptr(), nullptr, eq.pi, eq.diag) != 0) {
            qel_printf("\nDistance calculation aborted due to numerical problems.\n");
            setAbortedStatus(1);
            eq.numericalFailure = true;
            return -1;
        }
        unclampedTransitionMatrix(eq.diag, eq.gamma, x[0], P.ptr());
    }
    double E[kNumBasePairs]{};
    for (uint32_t e = 0; e < kNumBasePairs; ++e) {
        const uint32_t a = kPairA[e], b = kPairB[e];
        E[eq.classTable[a][b]] += eq.pi[a] * P.cell[a][b] + eq.pi[b] * P.cell[b][a];
    }
    for (int c = 0; c < n; ++c)
        fvec[c] = eq.S[c] - E[c];
    return 0;
}

double finishCustomDistance(double **F, const double *pi, MatrixDiag *eigenWork, uint32_t k, bool hkyForm,
                            const double *classSums, const uint32_t *pairClasses,
                            const uint16_t classTable[4][4], Model *model)
{
    bool anyDifference = false;
    for (uint32_t a = 0; a < 4; ++a)
        for (uint32_t b = 0; b < 4; ++b)
            anyDifference |= a != b && F[a][b] != 0.0;
    if (!anyDifference)
        return 0.0;

    std::array<double, kNumBasePairs> x{};
    uint32_t referenceClass = 0;
    int maxfev = 0;
    if (hkyForm) {
        const double f84 = calcF84DistSubst(F, model, kSubstAll);
        x[0] = f84 < 0.0 ? 1.0 : f84;
        const double P = F[0][2] + F[2][0] + F[1][3] + F[3][1];
        double Q = 0.0;
        for (uint32_t a = 0; a < 4; ++a)
            for (uint32_t b = 0; b < 4; ++b)
                Q += a != b && !isTransition(a, b) ? F[a][b] : 0.0;
        x[1] = guessKappaFromK2P(P, Q);
        maxfev = 200;
    } else {
        Mat4 pooled;
        for (uint32_t a = 0; a < 4; ++a)
            std::copy(F[a], F[a] + 4, pooled.cell[a]);
        doVeskaPooling(pooled.ptr(), pi, pairClasses, k);
        double rates[kNumBasePairs];
        const double eir = calcEirDistance_Dna(pooled.ptr(), pi, distCorrection(model), eigenWork, true, k,
                                               pairClasses, rates);
        // One class has no rate to solve for: the pooled distance is the
        // answer, undefined when its logarithm failed.
        if (k == 1)
            return eir;
        if (eir > kDistThreshold) {
            double best = std::fabs(rates[0] - 1.0);
            for (uint32_t c = 1; c < k; ++c)
                if (std::fabs(rates[c] - 1.0) < best)
                    best = std::fabs(rates[c] - 1.0), referenceClass = c;
            x[0] = eir;
            for (uint32_t c = 0, next = 1; c < k; ++c)
                if (c != referenceClass)
                    x[next++] = rates[c] / rates[referenceClass];
        } else {
            std::fill(x.begin(), x.begin() + k, 1.0);
        }
        maxfev = 200 * static_cast<int>(k - 1);
    }

    const int n = hkyForm ? 2 : static_cast<int>(k);
    CustomEquations eq;
    eq.k = hkyForm ? 2 : k;
    eq.referenceClass = referenceClass;
    eq.hky = hkyForm;
    eq.gamma = distCorrection(model) == minv_Gamma;
    eq.S = classSums;
    eq.pi = pi;
    eq.pairClasses = pairClasses;
    eq.classTable = classTable;
    eq.diag = eigenWork;

    constexpr int kMax = kNumBasePairs;
    double fvec[kMax], scale[kMax], fjac[kMax * kMax], r[kMax * (kMax + 1) / 2], qtf[kMax];
    double wa1[kMax], wa2[kMax], wa3[kMax], wa4[kMax];
    int nfev = 0;
    const int info = hybrd(solveCustomDist, &eq, n, x.data(), fvec, 1e-8, maxfev, n - 1, n - 1, 0.0, scale, 1,
                           100.0, 0, &nfev, fjac, n, r, n * (n + 1) / 2, qtf, wa1, wa2, wa3, wa4);
    if (info != 1 || eq.numericalFailure)
        return kUndefinedDistance;
    const double d = x[0];
    if (dist.subst == kSubstAll)
        return d;
    Mat4 Q;
    makeQ(eq.k, referenceClass, x.data() + 1, pi, Q.ptr(), classTable);
    double ti = 0.0, tv = 0.0;
    for (uint32_t a = 0; a < 4; ++a)
        for (uint32_t b = 0; b < 4; ++b)
            if (a != b)
                (isTransition(a, b) ? ti : tv) += Q.cell[a][b] * pi[a] * d;
    return restrictSubst(ti, tv);
}

double calcCustomDist(double **F, Model *model)
{
    double pi[4];
    if (dist.baseFreq == 0)
        std::fill(pi, pi + 4, 0.25);
    else
        calcBaseFreq(F, 4, pi, nullptr);
    // The user's class numbers, renumbered 0 .. k-1 in increasing order.
    const int32_t user[kNumBasePairs] = {dist.cAC, dist.cAG, dist.cAT, dist.cCG, dist.cCT, dist.cGT};
    uint32_t pairClasses[kNumBasePairs];
    uint32_t k = 0;
    for (int32_t value = 0; value < 64; ++value) {
        bool used = false;
        for (uint32_t e = 0; e < kNumBasePairs; ++e)
            if (user[e] == value) {
                pairClasses[e] = k;
                used = true;
            }
        k += used;
    }
    uint16_t table[4][4];
    classTableFromPairs(pairClasses, table);
    EigenWork work(model);
    if (!work.get())
        return kUndefinedDistance;
    if (dist.baseFreq == 0) {
        doVeskaPooling(F, pi, pairClasses, k);
        return calcEirDistance_Dna(F, pi, distCorrection(model), work.get(), true, k, pairClasses, nullptr);
    }
    // A base absent from both sequences leaves a rate matrix the equations
    // cannot decompose: the distance is undefined, as GTR's is, rather than
    // a numerical failure that stops the whole calculation.
    if (k > 1 && std::any_of(pi, pi + 4, [](double p) { return !(p >= kDistThreshold); }))
        return kUndefinedDistance;
    double S[kNumBasePairs];
    classSums(F, pairClasses, k, S);
    return finishCustomDistance(F, pi, work.get(), k, false, S, pairClasses, table, model);
}

double calcGTRDist(double **F, Model *model)
{
    double pi[4];
    for (uint32_t a = 0; a < 4; ++a)
        for (uint32_t b = a + 1; b < 4; ++b)
            F[a][b] = F[b][a] = 0.5 * (F[a][b] + F[b][a]);
    for (uint32_t a = 0; a < 4; ++a) {
        pi[a] = F[a][0] + F[a][1] + F[a][2] + F[a][3];
        if (!(pi[a] >= kDistThreshold))
            return kUndefinedDistance;
    }
    EigenWork work(model);
    if (!work.get())
        return kUndefinedDistance;
    return calcEirDistance_Dna(F, pi, distCorrection(model), work.get(), false, 0, nullptr, nullptr);
}

double calcK3PDistTiTv(double **F, Model *model)
{
    // Classes: transitions; A-T and C-G; A-C and G-T.
    constexpr uint32_t kK3PClasses[kNumBasePairs] = {2, 0, 1, 1, 0, 2};
    double mean[3]{};
    for (uint32_t e = 0; e < kNumBasePairs; ++e)
        mean[kK3PClasses[e]] += (F[kPairA[e]][kPairB[e]] + F[kPairB[e]][kPairA[e]]) / 4.0;
    for (uint32_t e = 0; e < kNumBasePairs; ++e)
        F[kPairA[e]][kPairB[e]] = F[kPairB[e]][kPairA[e]] = mean[kK3PClasses[e]];
    const double pi[4] = {0.25, 0.25, 0.25, 0.25};
    EigenWork work(model);
    if (!work.get())
        return kUndefinedDistance;
    return calcEirDistance_Dna(F, pi, distCorrection(model), work.get(), true, 0, nullptr, nullptr);
}

double calcHKY85Dist(double **F, Model *model)
{
    double pi[4];
    calcBaseFreq(F, 4, pi, nullptr);
    // Transversions are class 0, transitions (A-G, C-T) class 1.
    constexpr uint32_t kHkyClasses[kNumBasePairs] = {0, 1, 0, 0, 1, 0};
    uint16_t table[4][4];
    classTableFromPairs(kHkyClasses, table);
    double S[2];
    classSums(F, kHkyClasses, 2, S);
    EigenWork work(model);
    if (!work.get())
        return kUndefinedDistance;
    return finishCustomDistance(F, pi, work.get(), 2, true, S, kHkyClasses, table, model);
}
