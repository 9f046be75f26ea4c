// The bodies of the double-precision DNA kernels with vector instructions
// (Dna_DVec). Included only by lik_sse_dvec.cpp and lik_avx2_dvec.cpp, each
// time inside an unnamed namespace of that file's own (see lik_vec_impl.h).
// With LIK_DVEC_AVX a vector of four doubles is one AVX register, else two
// SSE2 registers.
//
// These members give the generic Dna table's results to the last bit, so
// that a double-precision run prints the same digits on every processor:
// - the layout and the matrices are the Dna table's (vectorLayout false);
//   the internal matrices are transposed here, once per category and call;
// - every sum adds its terms in the generic loops' order, one state per
//   lane: a row sum is the lanes added left to right, and sums over rate
//   categories take four categories at a time by transposing their lanes;
// - products and sums are separate instructions: the files are compiled
//   without FMA, which would round a product and sum once where the
//   generic code rounds twice;
// - the pattern's logarithm and derivative ratios go through likAddPattern,
//   as in the generic evaluator.

#if LIK_DVEC_AVX
struct D4 {
    __m256d v;
};
inline D4 load4(const double *p) { return {_mm256_loadu_pd(p)}; }
inline void store4(double *p, D4 x) { _mm256_storeu_pd(p, x.v); }
inline D4 splat4(const double *p) { return {_mm256_broadcast_sd(p)}; }
inline D4 splat4(double x) { return {_mm256_set1_pd(x)}; }
inline D4 mul4(D4 a, D4 b) { return {_mm256_mul_pd(a.v, b.v)}; }
inline D4 add4(D4 a, D4 b) { return {_mm256_add_pd(a.v, b.v)}; }
// a < b ? a : b lane by lane, as std::min(b, a) reads it.
inline D4 min4(D4 a, D4 b) { return {_mm256_min_pd(a.v, b.v)}; }
inline void lanes4(D4 x, double *out) { _mm256_storeu_pd(out, x.v); }
inline void transpose4(D4 &a, D4 &b, D4 &c, D4 &d)
{
    const __m256d t0 = _mm256_unpacklo_pd(a.v, b.v), t1 = _mm256_unpackhi_pd(a.v, b.v);
    const __m256d t2 = _mm256_unpacklo_pd(c.v, d.v), t3 = _mm256_unpackhi_pd(c.v, d.v);
    a.v = _mm256_permute2f128_pd(t0, t2, 0x20);
    b.v = _mm256_permute2f128_pd(t1, t3, 0x20);
    c.v = _mm256_permute2f128_pd(t0, t2, 0x31);
    d.v = _mm256_permute2f128_pd(t1, t3, 0x31);
}
#else
struct D4 {
    __m128d lo, hi;
};
inline D4 load4(const double *p) { return {_mm_loadu_pd(p), _mm_loadu_pd(p + 2)}; }
inline void store4(double *p, D4 x)
{
    _mm_storeu_pd(p, x.lo);
    _mm_storeu_pd(p + 2, x.hi);
}
inline D4 splat4(const double *p) { return {_mm_load1_pd(p), _mm_load1_pd(p)}; }
inline D4 splat4(double x) { return {_mm_set1_pd(x), _mm_set1_pd(x)}; }
inline D4 mul4(D4 a, D4 b) { return {_mm_mul_pd(a.lo, b.lo), _mm_mul_pd(a.hi, b.hi)}; }
inline D4 add4(D4 a, D4 b) { return {_mm_add_pd(a.lo, b.lo), _mm_add_pd(a.hi, b.hi)}; }
inline D4 min4(D4 a, D4 b) { return {_mm_min_pd(a.lo, b.lo), _mm_min_pd(a.hi, b.hi)}; }
inline void lanes4(D4 x, double *out)
{
    _mm_storeu_pd(out, x.lo);
    _mm_storeu_pd(out + 2, x.hi);
}
inline void transpose4(D4 &a, D4 &b, D4 &c, D4 &d)
{
    const D4 a0 = a, b0 = b, c0 = c, d0 = d;
    a = {_mm_unpacklo_pd(a0.lo, b0.lo), _mm_unpacklo_pd(c0.lo, d0.lo)};
    b = {_mm_unpackhi_pd(a0.lo, b0.lo), _mm_unpackhi_pd(c0.lo, d0.lo)};
    c = {_mm_unpacklo_pd(a0.hi, b0.hi), _mm_unpacklo_pd(c0.hi, d0.hi)};
    d = {_mm_unpackhi_pd(a0.hi, b0.hi), _mm_unpackhi_pd(c0.hi, d0.hi)};
}
#endif

// acc + x0 + x1 + x2 + x3, added left to right.
inline double addLanes(double acc, D4 x)
{
    alignas(32) double v[4];
    lanes4(x, v);
    return ((acc + v[0]) + v[1]) + v[2] + v[3];
}

inline double minLanes(D4 x)
{
    alignas(32) double v[4];
    lanes4(x, v);
    double m = v[0];
    for (int i = 1; i < 4; ++i)
        m = v[i] < m ? v[i] : m;
    return m;
}

#include "likelihood/kernels/lik_category_ranges.h"

// The columns of a 4 x 4 row-major matrix: col[j] lane i = M[i][j].
struct Cols4 {
    D4 c[4];
};

inline Cols4 columnsOf(const double *M)
{
    Cols4 k{{load4(M), load4(M + 4), load4(M + 8), load4(M + 12)}};
    transpose4(k.c[0], k.c[1], k.c[2], k.c[3]);
    return k;
}

// Lane i: sum over j of M[i][j] x[j], j = 0..3 in order, as rowDot adds
// them (its leading 0 + first product can change only the sign of a zero).
inline D4 matVec(const Cols4 &M, const double *x)
{
    D4 s = mul4(M.c[0], splat4(x));
    s = add4(s, mul4(M.c[1], splat4(x + 1)));
    s = add4(s, mul4(M.c[2], splat4(x + 2)));
    return add4(s, mul4(M.c[3], splat4(x + 3)));
}

enum class Inputs { Both, OneTip, TwoTips };

template <Inputs K>
bool clLoopDVec(const LikKernelContext &c, const LikClOp &op, uint32_t first, uint32_t end)
{
    D4 minv = splat4(DBL_MAX);
    forEachCategory(c, first, end, [&](uint32_t r, uint32_t p0, uint32_t p1) {
        const size_t msize = 16, tsize = static_cast<size_t>(c.ntipcodes) * 4;
        const double *P1 = static_cast<const double *>(op.P1) + r * (K == Inputs::Both ? msize : tsize);
        const double *P2 = static_cast<const double *>(op.P2) + r * (K == Inputs::TwoTips ? tsize : msize);
        Cols4 M1{}, M2{};
        if constexpr (K == Inputs::Both)
            M1 = columnsOf(P1);
        if constexpr (K != Inputs::TwoTips)
            M2 = columnsOf(P2);
        const size_t base = static_cast<size_t>(r) * c.npatterns;
        for (uint32_t p = p0; p < p1; ++p) {
            const size_t at = (base + p) * 4;
            const D4 s1 = K == Inputs::Both ? matVec(M1, static_cast<const double *>(op.in1) + at)
                                            : load4(P1 + op.tip1[p] * 4u);
            const D4 s2 = K == Inputs::TwoTips ? load4(P2 + op.tip2[p] * 4u)
                                               : matVec(M2, static_cast<const double *>(op.in2) + at);
            const D4 o = mul4(s1, s2);
            store4(static_cast<double *>(op.out) + at, o);
            minv = min4(o, minv);
        }
    });
    return minLanes(minv) < c.rescaleThreshold;
}

bool clLoopNonbinDVec(const LikKernelContext &c, const LikClOp &op, uint32_t first, uint32_t end)
{
    const bool tip = op.in1 == nullptr;
    D4 minv = splat4(DBL_MAX);
    forEachCategory(c, first, end, [&](uint32_t r, uint32_t p0, uint32_t p1) {
        const double *P = static_cast<const double *>(op.P1) + r * (tip ? c.ntipcodes * 4u : 16u);
        const Cols4 M = tip ? Cols4{} : columnsOf(P);
        const size_t base = static_cast<size_t>(r) * c.npatterns;
        for (uint32_t p = p0; p < p1; ++p) {
            const size_t at = (base + p) * 4;
            double *o = static_cast<double *>(op.out) + at;
            const D4 s = tip ? load4(P + op.tip1[p] * 4u) : matVec(M, static_cast<const double *>(op.in1) + at);
            const D4 v = mul4(load4(o), s);
            store4(o, v);
            minv = min4(v, minv);
        }
    });
    return minLanes(minv) < c.rescaleThreshold;
}

// The evaluator's matrices of up to this many rate categories are
// transposed on the stack; more categories take the generic member.
constexpr uint32_t kMaxCats = 32;

template <bool Tip>
LikResult evalDVec(const LikKernelContext &c, const LikEvalOp &op, uint32_t first, uint32_t end, uint32_t mode)
{
    if (c.ncat > kMaxCats)
        return Tip ? likKernels_Dna().eval1Tip(c, op, first, end, mode)
                   : likKernels_Dna().eval0Tip(c, op, first, end, mode);
    const bool d1 = (mode & kLikModeD1) != 0, d2 = d1 && (mode & kLikModeD2) != 0;
    const bool scaled = (mode & kLikModeLnL) != 0 || c.constLikes != nullptr;
    const double *Ra = scaled ? static_cast<const double *>(op.scalerA) : nullptr;
    const double *Rb = scaled && !Tip ? static_cast<const double *>(op.scalerB) : nullptr;
    const double *a = static_cast<const double *>(op.a);
    const double *b = static_cast<const double *>(op.b);
    const int count = d2 ? 3 : d1 ? 2 : 1;
    const double *mats[3] = {static_cast<const double *>(op.W), static_cast<const double *>(op.W1),
                             static_cast<const double *>(op.W2)};
    const size_t tsize = static_cast<size_t>(c.ntipcodes) * 4;
    Cols4 cols[3][Tip ? 1 : kMaxCats];
    if constexpr (!Tip)
        for (int d = 0; d < count; ++d)
            for (uint32_t r = 0; r < c.ncat; ++r)
                cols[d][r] = columnsOf(mats[d] + r * 16u);
    const uint32_t n = c.nstates;
    LikResult acc{0, 0, 0};
    for (uint32_t p = first; p < end; ++p) {
        if (c.weights[p] == 0)
            continue;
        const uint32_t code = Tip ? op.tip[p] : 0;
        // The any-state rows of W' and W'' are zero: the generic member
        // leaves those sums at 0.
        const int want = Tip && code == n ? 1 : count;
        double sums[3] = {0, 0, 0};
        // Per category r and matrix d, the lanes whose left-to-right sum is
        // the category's term: at a tip, W[code][i] a_i; else b_i (W a)_i.
        auto term = [&](int d, uint32_t r) {
            const D4 x = load4(a + (static_cast<size_t>(r) * c.npatterns + p) * 4);
            if constexpr (Tip)
                return mul4(load4(mats[d] + r * tsize + code * 4u), x);
            else
                return mul4(load4(b + (static_cast<size_t>(r) * c.npatterns + p) * 4),
                            matVec(cols[d][r], a + (static_cast<size_t>(r) * c.npatterns + p) * 4));
        };
        for (int d = 0; d < want; ++d) {
            double L = 0;
            uint32_t r = 0;
            for (; r + 4 <= c.ncat; r += 4) {
                D4 t0 = term(d, r), t1 = term(d, r + 1), t2 = term(d, r + 2), t3 = term(d, r + 3);
                transpose4(t0, t1, t2, t3);  // lane k of tj: state j of category r + k
                L = addLanes(L, add4(add4(add4(t0, t1), t2), t3));
            }
            for (; r < c.ncat; ++r)
                L += addLanes(0.0, term(d, r));
            sums[d] = L;
        }
        const double sigma = (Ra ? Ra[p] : 0.0) + (Rb ? Rb[p] : 0.0);
        if (!likAddPattern(c, p, sums[0], sums[1], sums[2], sigma, mode, acc))
            return likInfiniteResult();
    }
    return acc;
}

constexpr LikKernels makeDVecTable(const char *name)
{
    return LikKernels{
        name,
        LikPrecision::Double,
        false,
        clLoopDVec<Inputs::Both>,
        clLoopDVec<Inputs::OneTip>,
        clLoopDVec<Inputs::TwoTips>,
        clLoopNonbinDVec,
        evalDVec<false>,
        evalDVec<true>,
        rescaleCL_D,
        mergeRescalers_D,
        addRescalers_D,
        nullptr,
        likTable0Tip_D,
        likTable1Tip_D,
        likEvalTable,
    };
}
