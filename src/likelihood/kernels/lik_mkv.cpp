// The Mk model's kernels: every pattern has its own state count k and
// stands for k model states, and the likelihood of a pattern is conditioned
// on the character being variable. The pattern set orders patterns in runs
// of equal k, each headed by a dummy constant pattern (weight 0, every tip
// in state 0) whose likelihood gives the run's correction. Double precision,
// one thread: a range always starts at a run head.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "likelihood/kernels/lik_kernels.h"
#include "qel/qel_detmath.h"

namespace {

struct MkPattern {
    uint32_t k;
    const uint8_t *s;  // the model states of local positions 0..k-1
    size_t at;         // first value in rate block 0
};

inline MkPattern mkPattern(const LikKernelContext &c, uint32_t p)
{
    return {c.mkStates[p], c.mkStateList + static_cast<size_t>(p) * c.nstates, c.mkOffset[p]};
}

inline const double *mkMatrix(const LikKernelContext &c, const void *m, uint32_t r, uint32_t k, bool tip)
{
    const size_t size = static_cast<size_t>(tip ? c.ntipcodes : c.nstates) * c.nstates;
    return static_cast<const double *>(m) + likMkMatrixIndex(c, r, k) * size;
}

// sum over j < k of P[s_i][s_j] x x[j]
inline double mkRowDot(const double *P, uint32_t n, const MkPattern &q, uint32_t i, const double *x)
{
    const double *row = P + static_cast<size_t>(q.s[i]) * n;
    double sum = 0;
    for (uint32_t j = 0; j < q.k; ++j)
        sum += row[q.s[j]] * x[j];
    return sum;
}

// One input's term for local state i: a matrix-vector product for an
// internal input, a tip-table entry for a tip.
inline double mkInput(const LikKernelContext &c, const void *P, const void *in, const uint8_t *tip, uint32_t r,
                      uint32_t p, const MkPattern &q, uint32_t i, size_t at)
{
    const uint32_t n = c.nstates;
    if (in == nullptr)
        return mkMatrix(c, P, r, q.k, true)[static_cast<size_t>(tip[p]) * n + q.s[i]];
    return mkRowDot(mkMatrix(c, P, r, q.k, false), n, q, i, static_cast<const double *>(in) + at);
}

// CL items [first, end) of a context whose items are (rate category,
// pattern) pairs in layout order.
template <bool Nonbin>
bool clLoopMkv(const LikKernelContext &c, const LikClOp &op, uint32_t first, uint32_t end)
{
    double minv = DBL_MAX;
    const uint32_t np = c.npatterns;
    for (uint32_t m = first; m < end; ++m) {
        const uint32_t r = m / np, p = m % np;
        const MkPattern q = mkPattern(c, p);
        const size_t at = static_cast<size_t>(r) * c.mkBlockValues + q.at;
        double *o = static_cast<double *>(op.out) + at;
        for (uint32_t i = 0; i < q.k; ++i) {
            const double s1 = mkInput(c, op.P1, op.in1, op.tip1, r, p, q, i, at);
            o[i] = Nonbin ? o[i] * s1 : s1 * mkInput(c, op.P2, op.in2, op.tip2, r, p, q, i, at);
            minv = std::min(minv, o[i]);
        }
    }
    return minv < c.rescaleThreshold;
}

// The per-pattern likelihood and its derivatives at the stored scale.
template <bool Tip>
void mkPatternSums(const LikKernelContext &c, const LikEvalOp &op, uint32_t p, uint32_t mode, double &L, double &D1,
                   double &D2)
{
    const MkPattern q = mkPattern(c, p);
    const uint32_t n = c.nstates;
    const void *mats[3] = {op.W, op.W1, op.W2};
    double *sums[3] = {&L, &D1, &D2};
    const int count = (mode & kLikModeD1) ? ((mode & kLikModeD2) ? 3 : 2) : 1;
    L = D1 = D2 = 0;
    for (uint32_t r = 0; r < c.ncat; ++r) {
        const size_t at = static_cast<size_t>(r) * c.mkBlockValues + q.at;
        const double *a = static_cast<const double *>(op.a) + at;
        for (int d = 0; d < count; ++d) {
            const double *W = mkMatrix(c, mats[d], r, q.k, Tip);
            double s = 0;
            if constexpr (Tip) {
                const double *row = W + static_cast<size_t>(op.tip[p]) * n;
                for (uint32_t i = 0; i < q.k; ++i)
                    s += row[q.s[i]] * a[i];
            } else {
                const double *b = static_cast<const double *>(op.b) + at;
                for (uint32_t i = 0; i < q.k; ++i)
                    s += b[i] * mkRowDot(W, n, q, i, a);
            }
            *sums[d] += s;
        }
    }
}

// The run correction of a dummy head: c0 = -ln(1 - k Lconst) in true terms,
// with its first and second derivatives c1, c2. False when 1 - k Lconst is
// not a positive normal number, where the logarithm has no finite value.
bool mkHead(uint32_t k, double L, double D1, double D2, double sigma, bool scaled, double c[3])
{
    if (scaled && sigma < -700)
        return false;
    const double q = (scaled ? detExp(-sigma) : 1.0) - k * L;
    if (!(q > DBL_MIN))
        return false;
    c[0] = -detLog(q) - sigma;
    c[1] = k * D1 / q;
    c[2] = k * D2 / q + c[1] * c[1];
    return true;
}

template <bool Tip>
LikResult evalMkv(const LikKernelContext &c, const LikEvalOp &op, uint32_t first, uint32_t end, uint32_t mode)
{
    const double *Ra = static_cast<const double *>(op.scalerA);
    const double *Rb = Tip ? nullptr : static_cast<const double *>(op.scalerB);
    const bool scaled = Ra != nullptr;
    LikResult acc{0, 0, 0};
    double corr[3] = {0, 0, 0};
    uint32_t prevK = 0;
    for (uint32_t p = first; p < end; ++p) {
        const uint32_t k = c.mkStates[p];
        const bool head = p == first || k != prevK;
        prevK = k;
        const double w = c.weights[p];
        if (!head && w == 0)
            continue;
        double L, D1, D2;
        mkPatternSums<Tip>(c, op, p, mode, L, D1, D2);
        if (L < kLikMinPatternLike)
            return likInfiniteResult();
        const double sigma = (Ra ? Ra[p] : 0.0) + (Rb ? Rb[p] : 0.0);
        if (head) {
            if (!mkHead(k, L, D1, D2, sigma, scaled, corr))
                return likInfiniteResult();
            continue;
        }
        if (mode & kLikModeLnL)
            acc.lnL -= w * (detLog(L) + sigma + corr[0]);
        if (mode & kLikModeD1) {
            const double g = D1 / L;
            if (g <= 1e100) {
                acc.d1 -= w * (g + corr[1]);
                if (mode & kLikModeD2)
                    acc.d2 -= w * ((D2 / L - g * g) + corr[2]);
            }
        }
    }
    return acc;
}

// Normalises every pattern of the range to a largest value of 1.
void rescaleCL_Mkv(const LikKernelContext &c, void *cla, void *scalers, uint32_t first, uint32_t end)
{
    double *v = static_cast<double *>(cla);
    double *rs = static_cast<double *>(scalers);
    for (uint32_t p = first; p < end; ++p) {
        const MkPattern q = mkPattern(c, p);
        double m = 1e-200;
        for (uint32_t r = 0; r < c.ncat; ++r)
            for (uint32_t i = 0; i < q.k; ++i)
                m = std::max(m, v[r * c.mkBlockValues + q.at + i]);
        rs[p] += detLog(m);
        const double f = 1.0 / m;
        for (uint32_t r = 0; r < c.ncat; ++r)
            for (uint32_t i = 0; i < q.k; ++i)
                v[r * c.mkBlockValues + q.at + i] *= f;
    }
}

void mergeRescalers_Mkv(const LikKernelContext &c, const void *in1, const void *in2, void *out)
{
    const double *x = static_cast<const double *>(in1), *y = static_cast<const double *>(in2);
    double *o = static_cast<double *>(out);
    for (uint32_t p = 0; p < c.npatterns; ++p)
        o[p] = x[p] + y[p];
}

void addRescalers_Mkv(const LikKernelContext &c, const void *in, void *out)
{
    mergeRescalers_Mkv(c, in, out, out);
}

// -lnL at a root: L = sum over categories of p_r x (1/k) x the k values.
double evalLikeRooted_Mkv(const LikKernelContext &c, const void *cla, const void *scalers)
{
    const double *v = static_cast<const double *>(cla);
    const double *rs = static_cast<const double *>(scalers);
    double lnL = 0, corr[3] = {0, 0, 0};
    uint32_t prevK = 0;
    for (uint32_t p = 0; p < c.npatterns; ++p) {
        const MkPattern q = mkPattern(c, p);
        const bool head = p == 0 || q.k != prevK;
        prevK = q.k;
        if (!head && c.weights[p] == 0)
            continue;
        double L = 0;
        for (uint32_t r = 0; r < c.ncat; ++r) {
            double s = 0;
            for (uint32_t i = 0; i < q.k; ++i)
                s += v[r * c.mkBlockValues + q.at + i];
            L += (c.catProbs ? c.catProbs[r] : 1.0 / c.ncat) * s / q.k;
        }
        if (L < kLikMinPatternLike)
            return kLikInfiniteScore;
        const double sigma = rs ? rs[p] : 0.0;
        if (head) {
            if (!mkHead(q.k, L, 0, 0, sigma, rs != nullptr, corr))
                return kLikInfiniteScore;
            continue;
        }
        lnL -= c.weights[p] * (detLog(L) + sigma + corr[0]);
    }
    return lnL;
}

constexpr LikKernels kMkv{
    "Mkv",
    LikPrecision::Double,
    false,
    clLoopMkv<false>,
    clLoopMkv<false>,
    clLoopMkv<false>,
    clLoopMkv<true>,
    evalMkv<false>,
    evalMkv<true>,
    rescaleCL_Mkv,
    mergeRescalers_Mkv,
    addRescalers_Mkv,
    evalLikeRooted_Mkv,
};

}  // namespace

const LikKernels &likKernels_Mkv() { return kMkv; }

uint32_t likMkMatrixIndex(const LikKernelContext &ctx, uint32_t r, uint32_t k)
{
    return r * (ctx.nstates + 1) + k;
}
