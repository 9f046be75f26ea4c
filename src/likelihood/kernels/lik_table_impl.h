// The bodies of the sum-table members with vector instructions, four
// eigen values (doubles) per step. Included by each vector kernel file
// inside an unnamed namespace of its own, so that every copy is compiled
// with that file's code generation: with AVX a step is one register (and
// one fused multiply-add where the file has FMA), else two SSE2 registers.
//
// They need rows of a multiple of four values (every vector layout, and
// four states); any other width goes to the generic members. The sums run
// in another order than the generic ones, so results agree to rounding,
// not to the bit: a table only steers the Newton steps, and the score an
// edge reports still comes from its evaluator.

#if defined(__AVX__)
struct T4 {
    __m256d v;
};
inline T4 tZero() { return {_mm256_setzero_pd()}; }
inline T4 tLoad(const double *p) { return {_mm256_loadu_pd(p)}; }
inline void tStore(double *p, T4 x) { _mm256_storeu_pd(p, x.v); }
inline T4 tSplat(double x) { return {_mm256_set1_pd(x)}; }
inline T4 tMul(T4 a, T4 b) { return {_mm256_mul_pd(a.v, b.v)}; }
#if defined(__FMA__)
inline T4 tMulAdd(T4 a, T4 b, T4 c) { return {_mm256_fmadd_pd(a.v, b.v, c.v)}; }
#else
inline T4 tMulAdd(T4 a, T4 b, T4 c) { return {_mm256_add_pd(_mm256_mul_pd(a.v, b.v), c.v)}; }
#endif
inline double tSum(T4 x)
{
    const __m128d s = _mm_add_pd(_mm256_castpd256_pd128(x.v), _mm256_extractf128_pd(x.v, 1));
    return _mm_cvtsd_f64(_mm_add_sd(s, _mm_unpackhi_pd(s, s)));
}
#else
struct T4 {
    __m128d lo, hi;
};
inline T4 tZero() { return {_mm_setzero_pd(), _mm_setzero_pd()}; }
inline T4 tLoad(const double *p) { return {_mm_loadu_pd(p), _mm_loadu_pd(p + 2)}; }
inline void tStore(double *p, T4 x)
{
    _mm_storeu_pd(p, x.lo);
    _mm_storeu_pd(p + 2, x.hi);
}
inline T4 tSplat(double x) { return {_mm_set1_pd(x), _mm_set1_pd(x)}; }
inline T4 tMul(T4 a, T4 b) { return {_mm_mul_pd(a.lo, b.lo), _mm_mul_pd(a.hi, b.hi)}; }
inline T4 tMulAdd(T4 a, T4 b, T4 c)
{
    return {_mm_add_pd(_mm_mul_pd(a.lo, b.lo), c.lo), _mm_add_pd(_mm_mul_pd(a.hi, b.hi), c.hi)};
}
inline double tSum(T4 x)
{
    const __m128d s = _mm_add_pd(x.lo, x.hi);
    return _mm_cvtsd_f64(_mm_add_sd(s, _mm_unpackhi_pd(s, s)));
}
#endif

// Per-block scratch: the projections of one category, at most 64 values.
constexpr uint32_t kTableMaxValues = 64;

// out[k..k+4) = sum over i < n of x[i] side[i][k..k+4), for every k step.
template <typename Real>
inline void projectVec(const Real *x, const double *side, uint32_t n, uint32_t nv, double *out)
{
    for (uint32_t k = 0; k < nv; k += 4) {
        T4 s = tZero();
        for (uint32_t i = 0; i < n; ++i)
            s = tMulAdd(tSplat(static_cast<double>(x[i])), tLoad(side + static_cast<size_t>(i) * nv + k), s);
        tStore(out + k, s);
    }
}

template <typename Real, bool Tip>
void tableVec(const LikKernelContext &c, const LikTableOp &op, uint32_t first, uint32_t end)
{
    const uint32_t n = c.nstates, nv = c.nvals, nc = c.ncat;
    if (nv % 4 != 0 || nv > kTableMaxValues) {
        if constexpr (sizeof(Real) == sizeof(double))
            return Tip ? likTable1Tip_D(c, op, first, end) : likTable0Tip_D(c, op, first, end);
        else
            return Tip ? likTable1Tip_F(c, op, first, end) : likTable0Tip_F(c, op, first, end);
    }
    const Real *a = static_cast<const Real *>(op.a);
    const Real *b = static_cast<const Real *>(op.b);
    const Real *Ra = static_cast<const Real *>(op.scalerA);
    const Real *Rb = Tip ? nullptr : static_cast<const Real *>(op.scalerB);
    alignas(32) double xu[kTableMaxValues], yv[kTableMaxValues];
    for (uint32_t p = first; p < end; ++p) {
        double *T = op.table + static_cast<size_t>(p) * nc * nv;
        for (uint32_t r = 0; r < nc; ++r) {
            const size_t at = (static_cast<size_t>(r) * c.npatterns + p) * nv;
            projectVec(Tip ? a + at : b + at, op.xSide, n, nv, xu);
            const double *y = yv;
            if constexpr (Tip)
                y = op.tipSide + static_cast<size_t>(op.tip[p]) * nv;
            else
                projectVec(a + at, op.ySide, n, nv, yv);
            const T4 w = tSplat(op.catWeights[r]);
            for (uint32_t k = 0; k < nv; k += 4)
                tStore(T + r * nv + k, tMul(tMul(w, tLoad(xu + k)), tLoad(y + k)));
        }
        if (c.constLikes != nullptr) {
            // The rescaler sum as the edge evaluator forms it.
            const Real sigma = (Ra ? Ra[p] : Real(0)) + (Rb ? Rb[p] : Real(0));
            op.constTerms[p] = likTableConstTerm(c.constLikes[p], static_cast<double>(sigma));
        }
    }
}

LikResult evalTableVec(const LikKernelContext &c, const LikEvalOp &op, uint32_t first, uint32_t end, uint32_t mode)
{
    const uint32_t m = c.ncat * c.nvals;
    if (m % 4 != 0)
        return likEvalTable(c, op, first, end, mode);
    const double *T = static_cast<const double *>(op.a);
    const double *E0 = static_cast<const double *>(op.W), *E1 = static_cast<const double *>(op.W1),
                 *E2 = static_cast<const double *>(op.W2);
    LikResult acc{0, 0, 0};
    // The sums of a block of patterns go to the generic ratios at once: a
    // call for each pattern cost more than its sums.
    uint32_t at[kLikTablePatternBlock];
    double L[kLikTablePatternBlock], D1[kLikTablePatternBlock], D2[kLikTablePatternBlock];
    uint32_t k = 0;
    for (uint32_t p = first; p < end; ++p) {
        if (c.weights[p] == 0)
            continue;
        const double *t = T + static_cast<size_t>(p) * m;
        T4 l = tZero(), d1 = tZero(), d2 = tZero();
        for (uint32_t q = 0; q < m; q += 4) {
            const T4 x = tLoad(t + q);
            l = tMulAdd(x, tLoad(E0 + q), l);
            d1 = tMulAdd(x, tLoad(E1 + q), d1);
            d2 = tMulAdd(x, tLoad(E2 + q), d2);
        }
        at[k] = p;
        L[k] = tSum(l);
        D1[k] = tSum(d1);
        D2[k] = tSum(d2);
        if (++k == kLikTablePatternBlock || p + 1 == end) {
            if (!likAddTablePatterns(c, op, at, L, D1, D2, k, mode, acc))
                return likInfiniteResult();
            k = 0;
        }
    }
    if (k != 0 && !likAddTablePatterns(c, op, at, L, D1, D2, k, mode, acc))
        return likInfiniteResult();
    return acc;
}

// The three members on this file's instruction set, set into a table.
constexpr LikKernels withVecTables(LikKernels k, bool singleCLAs)
{
    k.table0Tip = singleCLAs ? tableVec<float, false> : tableVec<double, false>;
    k.table1Tip = singleCLAs ? tableVec<float, true> : tableVec<double, true>;
    k.evalTable = evalTableVec;
    return k;
}
