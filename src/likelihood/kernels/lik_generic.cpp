// The scalar kernels: double precision for 4 states (Dna) and any state
// count (Gen), single precision for any state count (SP). One template
// serves all three; a state count fixed at compile time (4) lets the
// compiler write every 4 x 4 sum out. These are also the reference the
// vector members are tested against.
#include <algorithm>
#include <cmath>
#include <limits>

#include "likelihood/kernels/lik_kernels.h"
#include "qel/qel_detmath.h"

namespace {

#include "likelihood/kernels/lik_category_ranges.h"

template <uint32_t N>
inline uint32_t statesOf(const LikKernelContext &c)
{
    return N != 0 ? N : c.nstates;
}

// sum over j of P[i][j] x x[j]
template <typename Real, uint32_t N>
inline Real rowDot(const Real *Pi, const Real *x, uint32_t n)
{
    Real s = 0;
    if constexpr (N != 0) {
        for (uint32_t j = 0; j < N; ++j)
            s += Pi[j] * x[j];
    } else {
        for (uint32_t j = 0; j < n; ++j)
            s += Pi[j] * x[j];
    }
    return s;
}

template <typename Real>
inline const Real *matrixOf(const void *m, uint32_t r, uint32_t size)
{
    return static_cast<const Real *>(m) + static_cast<size_t>(r) * size;
}

// What the two inputs of a CL loop are.
enum class Inputs { Both, OneTip, TwoTips };

template <typename Real, uint32_t N, Inputs K>
bool clLoop(const LikKernelContext &c, const LikClOp &op, uint32_t first, uint32_t end)
{
    const uint32_t n = statesOf<N>(c), nv = c.nvals;
    const uint32_t msize = nv * nv, tsize = c.ntipcodes * nv;
    Real minv = std::numeric_limits<Real>::max();
    forEachCategory(c, first, end, [&](uint32_t r, uint32_t p0, uint32_t p1) {
        const Real *P1 = matrixOf<Real>(op.P1, r, K == Inputs::Both ? msize : tsize);
        const Real *P2 = matrixOf<Real>(op.P2, r, K == Inputs::TwoTips ? tsize : msize);
        const size_t base = static_cast<size_t>(r) * c.npatterns;
        for (uint32_t p = p0; p < p1; ++p) {
            const size_t at = (base + p) * nv;
            Real *o = static_cast<Real *>(op.out) + at;
            const Real *x1 = K == Inputs::Both ? static_cast<const Real *>(op.in1) + at : nullptr;
            const Real *x2 = K == Inputs::TwoTips ? nullptr : static_cast<const Real *>(op.in2) + at;
            const Real *t1 = K == Inputs::Both ? nullptr : P1 + op.tip1[p] * nv;
            const Real *t2 = K == Inputs::TwoTips ? P2 + op.tip2[p] * nv : nullptr;
            for (uint32_t i = 0; i < n; ++i) {
                const Real s1 = K == Inputs::Both ? rowDot<Real, N>(P1 + i * nv, x1, n) : t1[i];
                const Real s2 = K == Inputs::TwoTips ? t2[i] : rowDot<Real, N>(P2 + i * nv, x2, n);
                o[i] = s1 * s2;
                minv = std::min(minv, o[i]);
            }
        }
    });
    return static_cast<double>(minv) < c.rescaleThreshold;
}

// out[i] = out[i] x (P in)[i], or x T[c][i] for a tip input.
template <typename Real, uint32_t N>
bool clLoopNonbin(const LikKernelContext &c, const LikClOp &op, uint32_t first, uint32_t end)
{
    const uint32_t n = statesOf<N>(c), nv = c.nvals;
    const bool tip = op.in1 == nullptr;
    const uint32_t size = tip ? c.ntipcodes * nv : nv * nv;
    Real minv = std::numeric_limits<Real>::max();
    forEachCategory(c, first, end, [&](uint32_t r, uint32_t p0, uint32_t p1) {
        const Real *P = matrixOf<Real>(op.P1, r, size);
        const size_t base = static_cast<size_t>(r) * c.npatterns;
        for (uint32_t p = p0; p < p1; ++p) {
            const size_t at = (base + p) * nv;
            Real *o = static_cast<Real *>(op.out) + at;
            if (tip) {
                const Real *t = P + op.tip1[p] * nv;
                for (uint32_t i = 0; i < n; ++i)
                    o[i] *= t[i];
            } else {
                const Real *x = static_cast<const Real *>(op.in1) + at;
                for (uint32_t i = 0; i < n; ++i)
                    o[i] *= rowDot<Real, N>(P + i * nv, x, n);
            }
            for (uint32_t i = 0; i < n; ++i)
                minv = std::min(minv, o[i]);
        }
    });
    return static_cast<double>(minv) < c.rescaleThreshold;
}

// sum over i of b[i] x (sum over j of W[i][j] x a[j]), in Real.
template <typename Real, uint32_t N>
inline Real sumOverPairs(const Real *W, const Real *a, const Real *b, uint32_t n, uint32_t nv)
{
    Real s = 0;
    for (uint32_t i = 0; i < n; ++i)
        s += b[i] * rowDot<Real, N>(W + i * nv, a, n);
    return s;
}

template <typename Real, uint32_t N, bool Tip>
LikResult evalEdge(const LikKernelContext &c, const LikEvalOp &op, uint32_t first, uint32_t end, uint32_t mode)
{
    const uint32_t n = statesOf<N>(c), nv = c.nvals;
    const uint32_t size = Tip ? c.ntipcodes * nv : nv * nv;
    const bool d1 = (mode & kLikModeD1) != 0, d2 = d1 && (mode & kLikModeD2) != 0;
    // A pure derivative is a ratio of sums at one scale and needs no
    // rescalers, unless a constant-site term must be brought to that scale.
    const bool scaled = (mode & kLikModeLnL) != 0 || c.constLikes != nullptr;
    const Real *Ra = scaled ? static_cast<const Real *>(op.scalerA) : nullptr;
    const Real *Rb = scaled && !Tip ? static_cast<const Real *>(op.scalerB) : nullptr;
    const Real *a = static_cast<const Real *>(op.a);
    const Real *b = static_cast<const Real *>(op.b);
    LikResult acc{0, 0, 0};
    for (uint32_t p = first; p < end; ++p) {
        if (c.weights[p] == 0)
            continue;
        double L = 0, D1 = 0, D2 = 0;
        const uint32_t code = Tip ? op.tip[p] : 0;
        // The any-state rows of W' and W'' are zero.
        const bool derivs = d1 && !(Tip && code == n);
        for (uint32_t r = 0; r < c.ncat; ++r) {
            const size_t at = (static_cast<size_t>(r) * c.npatterns + p) * nv;
            const Real *W = matrixOf<Real>(op.W, r, size);
            if constexpr (Tip) {
                L += rowDot<Real, N>(W + code * nv, a + at, n);
                if (derivs)
                    D1 += rowDot<Real, N>(matrixOf<Real>(op.W1, r, size) + code * nv, a + at, n);
                if (derivs && d2)
                    D2 += rowDot<Real, N>(matrixOf<Real>(op.W2, r, size) + code * nv, a + at, n);
            } else {
                L += sumOverPairs<Real, N>(W, a + at, b + at, n, nv);
                if (d1)
                    D1 += sumOverPairs<Real, N>(matrixOf<Real>(op.W1, r, size), a + at, b + at, n, nv);
                if (d2)
                    D2 += sumOverPairs<Real, N>(matrixOf<Real>(op.W2, r, size), a + at, b + at, n, nv);
            }
        }
        const Real sigma = (Ra ? Ra[p] : Real(0)) + (Rb ? Rb[p] : Real(0));
        if (!likAddPattern(c, p, L, D1, D2, static_cast<double>(sigma), mode, acc))
            return likInfiniteResult();
    }
    return acc;
}

// x (n values) projected on the rows of side (row i nv wide): out[k] =
// sum over i of x[i] side[i][k], k < nv.
template <typename Real, uint32_t N>
inline void project(const Real *x, const double *side, uint32_t n, uint32_t nv, double *out)
{
    if constexpr (N != 0) {
        double o[N] = {};
        for (uint32_t i = 0; i < N; ++i) {
            const double xi = static_cast<double>(x[i]);
            for (uint32_t k = 0; k < N; ++k)
                o[k] += xi * side[i * N + k];
        }
        for (uint32_t k = 0; k < N; ++k)
            out[k] = o[k];
    } else {
        std::fill_n(out, nv, 0.0);
        for (uint32_t i = 0; i < n; ++i) {
            const double xi = static_cast<double>(x[i]);
            const double *row = side + static_cast<size_t>(i) * nv;
            for (uint32_t k = 0; k < nv; ++k)
                out[k] += xi * row[k];
        }
    }
}

template <typename Real, bool Tip, uint32_t N = 0>
void edgeTable(const LikKernelContext &c, const LikTableOp &op, uint32_t first, uint32_t end)
{
    const uint32_t n = N != 0 ? N : c.nstates, nv = N != 0 ? N : c.nvals, nc = c.ncat;
    const Real *a = static_cast<const Real *>(op.a);
    const Real *b = static_cast<const Real *>(op.b);
    const Real *Ra = static_cast<const Real *>(op.scalerA);
    const Real *Rb = Tip ? nullptr : static_cast<const Real *>(op.scalerB);
    double xu[64], yv[64];
    for (uint32_t p = first; p < end; ++p) {
        double *T = op.table + static_cast<size_t>(p) * nc * nv;
        for (uint32_t r = 0; r < nc; ++r) {
            const size_t at = (static_cast<size_t>(r) * c.npatterns + p) * nv;
            project<Real, N>(Tip ? a + at : b + at, op.xSide, n, nv, xu);
            const double *y = yv;
            if constexpr (Tip)
                y = op.tipSide + static_cast<size_t>(op.tip[p]) * nv;
            else
                project<Real, N>(a + at, op.ySide, n, nv, yv);
            const double w = op.catWeights[r];
            for (uint32_t k = 0; k < nv; ++k)
                T[r * nv + k] = w * xu[k] * y[k];
        }
        if (c.constLikes != nullptr) {
            // The rescaler sum as the edge evaluator forms it.
            const Real sigma = (Ra ? Ra[p] : Real(0)) + (Rb ? Rb[p] : Real(0));
            op.constTerms[p] = likTableConstTerm(c.constLikes[p], static_cast<double>(sigma));
        }
    }
}

// Four states (no padding then) take the written-out sums.
template <typename Real, bool Tip>
void edgeTableAny(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end)
{
    if (ctx.nstates == 4 && ctx.nvals == 4)
        edgeTable<Real, Tip, 4>(ctx, op, first, end);
    else
        edgeTable<Real, Tip>(ctx, op, first, end);
}

template <typename Real>
void mergeRescalers(const LikKernelContext &c, const void *in1, const void *in2, void *out)
{
    const Real *x = static_cast<const Real *>(in1), *y = static_cast<const Real *>(in2);
    Real *o = static_cast<Real *>(out);
    for (uint32_t p = 0; p < c.npatterns; ++p)
        o[p] = x[p] + y[p];
}

template <typename Real>
void addRescalers(const LikKernelContext &c, const void *in, void *out)
{
    const Real *x = static_cast<const Real *>(in);
    Real *o = static_cast<Real *>(out);
    for (uint32_t p = 0; p < c.npatterns; ++p)
        o[p] += x[p];
}

// Power-of-two rescaling of patterns [first, end): a pattern whose largest
// value m (over all rate categories) is below 0.5 is multiplied by 2^e, e
// the highest set bit of 1/m, which loses no precision; below the
// reciprocal bound by 1/m itself. Values never all below the floor: a
// pattern of zeros is multiplied by 1/floor.
template <typename Real>
void rescaleCL(const LikKernelContext &c, void *cla, void *scalers, uint32_t first, uint32_t end)
{
    constexpr bool dbl = sizeof(Real) == sizeof(double);
    const Real floor = dbl ? Real(1e-200) : Real(1e-37);
    const Real bound = dbl ? Real(4294967295.0) : Real(4294967296.0);
    const Real *table = nullptr;
    if constexpr (dbl)
        table = likRescaleLogTable();
    else
        table = likRescaleLogTableF();
    Real *v = static_cast<Real *>(cla);
    Real *rs = static_cast<Real *>(scalers);
    const uint32_t nv = c.nvals;
    const size_t block = static_cast<size_t>(c.npatterns) * nv;
    for (uint32_t p = first; p < end; ++p) {
        Real m = floor;
        for (uint32_t r = 0; r < c.ncat; ++r) {
            const Real *x = v + r * block + static_cast<size_t>(p) * nv;
            for (uint32_t i = 0; i < nv; ++i)
                m = std::max(m, x[i]);
        }
        if (m >= Real(0.5))
            continue;
        const Real inv = Real(1) / m;
        Real factor;
        if (inv <= bound) {
            const int e = 31 - __builtin_clz(static_cast<uint32_t>(inv));
            factor = static_cast<Real>(uint64_t{1} << e);
            rs[p] -= table[e];
        } else {
            factor = inv;
            rs[p] -= detLog(inv);
        }
        for (uint32_t r = 0; r < c.ncat; ++r) {
            Real *x = v + r * block + static_cast<size_t>(p) * nv;
            for (uint32_t i = 0; i < nv; ++i)
                x[i] *= factor;
        }
    }
}

template <typename Real, uint32_t N>
constexpr LikKernels makeTable(const char *name)
{
    return LikKernels{
        name,
        sizeof(Real) == sizeof(double) ? LikPrecision::Double : LikPrecision::Single,
        false,
        clLoop<Real, N, Inputs::Both>,
        clLoop<Real, N, Inputs::OneTip>,
        clLoop<Real, N, Inputs::TwoTips>,
        clLoopNonbin<Real, N>,
        evalEdge<Real, N, false>,
        evalEdge<Real, N, true>,
        rescaleCL<Real>,
        mergeRescalers<Real>,
        addRescalers<Real>,
        nullptr,
        edgeTableAny<Real, false>,
        edgeTableAny<Real, true>,
        likEvalTable,
    };
}

constexpr LikKernels kDna = makeTable<double, 4>("Dna");
constexpr LikKernels kGen = makeTable<double, 0>("Gen");
constexpr LikKernels kSP = makeTable<float, 0>("SP");

}  // namespace

const LikKernels &likKernels_Dna() { return kDna; }
const LikKernels &likKernels_Gen() { return kGen; }
const LikKernels &likKernels_SP() { return kSP; }

void rescaleCL_SP(const LikKernelContext &ctx, void *cla, void *scalers, uint32_t first, uint32_t end)
{
    rescaleCL<float>(ctx, cla, scalers, first, end);
}

void mergeRescalers_SP(const LikKernelContext &ctx, const void *in1, const void *in2, void *out)
{
    mergeRescalers<float>(ctx, in1, in2, out);
}

void addRescalers_SP(const LikKernelContext &ctx, const void *in, void *out) { addRescalers<float>(ctx, in, out); }

void rescaleCL_D(const LikKernelContext &ctx, void *cla, void *scalers, uint32_t first, uint32_t end)
{
    rescaleCL<double>(ctx, cla, scalers, first, end);
}

void mergeRescalers_D(const LikKernelContext &ctx, const void *in1, const void *in2, void *out)
{
    mergeRescalers<double>(ctx, in1, in2, out);
}

void addRescalers_D(const LikKernelContext &ctx, const void *in, void *out) { addRescalers<double>(ctx, in, out); }

const double *likRescaleLogTable()
{
    // Made by doubling from 1.0, so entry e is ln of exactly 2^e.
    static const auto table = [] {
        struct T {
            double v[32];
        } t{};
        double x = 1.0;
        for (double &e : t.v) {
            e = detLog(x);
            x *= 2.0;
        }
        return t;
    }();
    return table.v;
}

const float *likRescaleLogTableF()
{
    static const auto table = [] {
        struct T {
            float v[32];
        } t{};
        const double *d = likRescaleLogTable();
        for (int e = 0; e < 32; ++e)
            t.v[e] = static_cast<float>(d[e]);
        return t;
    }();
    return table.v;
}

void likTable0Tip_D(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end)
{
    edgeTableAny<double, false>(ctx, op, first, end);
}

void likTable1Tip_D(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end)
{
    edgeTableAny<double, true>(ctx, op, first, end);
}

void likTable0Tip_F(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end)
{
    edgeTableAny<float, false>(ctx, op, first, end);
}

void likTable1Tip_F(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end)
{
    edgeTableAny<float, true>(ctx, op, first, end);
}

double likTableConstTerm(double k, double sigma)
{
    if (sigma == 0)
        return k;
    if (sigma > -650)
        return k * detExp(-sigma);
    return k > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

bool likAddTablePattern(const LikKernelContext &c, const LikEvalOp &op, uint32_t p, double L, double D1, double D2,
                        uint32_t mode, LikResult &acc)
{
    if (op.scalerA != nullptr)
        L += static_cast<const double *>(op.scalerA)[p];
    // The derivative ratios of likAddPattern, which need no logarithm.
    if (!(L >= kLikMinPatternLike))
        return false;
    const double w = c.weights[p], g = D1 / L;
    if (g <= 1e100) {
        acc.d1 -= w * g;
        if (mode & kLikModeD2)
            acc.d2 -= w * (D2 / L - g * g);
    }
    return true;
}

bool likAddTablePatterns(const LikKernelContext &c, const LikEvalOp &op, const uint32_t *p, const double *L,
                         const double *D1, const double *D2, uint32_t count, uint32_t mode, LikResult &acc)
{
    for (uint32_t i = 0; i < count; ++i)
        if (!likAddTablePattern(c, op, p[i], L[i], D1[i], D2[i], mode, acc))
            return false;
    return true;
}

LikResult likEvalTable(const LikKernelContext &c, const LikEvalOp &op, uint32_t first, uint32_t end, uint32_t mode)
{
    const uint32_t m = c.ncat * c.nvals;
    const double *T = static_cast<const double *>(op.a);
    const double *E[3] = {static_cast<const double *>(op.W), static_cast<const double *>(op.W1),
                          static_cast<const double *>(op.W2)};
    const bool d2 = (mode & kLikModeD2) != 0;
    LikResult acc{0, 0, 0};
    for (uint32_t p = first; p < end; ++p) {
        if (c.weights[p] == 0)
            continue;
        const double *t = T + static_cast<size_t>(p) * m;
        double L = 0, D1 = 0, D2 = 0;
        for (uint32_t q = 0; q < m; ++q) {
            L += t[q] * E[0][q];
            D1 += t[q] * E[1][q];
            if (d2)
                D2 += t[q] * E[2][q];
        }
        if (!likAddTablePattern(c, op, p, L, D1, D2, mode, acc))
            return likInfiniteResult();
    }
    return acc;
}

LikResult likInfiniteResult()
{
    return {kLikInfiniteScore, std::numeric_limits<double>::max(), std::numeric_limits<double>::max()};
}

bool likAddPattern(const LikKernelContext &c, uint32_t p, double L, double D1, double D2, double sigma,
                   uint32_t mode, LikResult &acc)
{
    double lnL = 0;  // ln L at the stored scale, when taken in log space
    bool inLogs = false;
    // A variable pattern's constant-site term is 0 at any scale (and most
    // patterns are variable): no exponential for it.
    if (c.constLikes != nullptr && c.constLikes[p] != 0) {
        const double k = c.constLikes[p];
        if (sigma == 0) {
            L += k;
        } else if (sigma > -650) {
            L += k * detExp(-sigma);
        } else if (k > 0) {
            // exp(-sigma) would overflow: add in log space, and stay there,
            // since the sum itself may be beyond the largest double.
            const double x = detLog(k) - sigma, y = detLog(L);
            const double hi = std::max(x, y), lo = std::min(x, y);
            lnL = hi + detLog1p(detExp(lo - hi));
            inLogs = true;
        }
    }
    if (!inLogs) {
        if (!(L >= kLikMinPatternLike))
            return false;
        // Derivatives alone are ratios of sums and need no logarithm (the
        // Newton steps of a branch-length pass ask for nothing else).
        if (mode & kLikModeLnL)
            lnL = detLog(L);
    }
    const double w = c.weights[p];
    if (mode & kLikModeLnL)
        acc.lnL -= w * (lnL + sigma);
    if (mode & kLikModeD1) {
        const double g = inLogs ? D1 * detExp(-lnL) : D1 / L;
        if (g <= 1e100) {
            acc.d1 -= w * g;
            if (mode & kLikModeD2)
                acc.d2 -= w * ((inLogs ? D2 * detExp(-lnL) : D2 / L) - g * g);
        }
    }
    return true;
}
