// The bodies of the four-wide single-precision kernels (Dna_Vec, Gen_Vec).
// Included only by lik_sse.cpp and lik_avx2.cpp, each time inside an
// unnamed namespace of that file's own, so every function here has
// internal linkage and the AVX2 copy can never stand in for the SSE one.
// With LIK_VEC_AVX2 the AVX2 file adds its eight-wide paths: two DNA
// patterns, or eight states, per instruction.
//
// Layout: nvals a multiple of 4, padding values 0; internal and evaluator
// matrices transposed (row j holds column j of P), tip tables by code.
// Loads are unaligned: CLAs are aligned but matrix workspaces need not be.

#if LIK_VEC_AVX2
inline __m128 fma4(__m128 a, __m128 b, __m128 c) { return _mm_fmadd_ps(a, b, c); }
inline __m256 fma8(__m256 a, __m256 b, __m256 c) { return _mm256_fmadd_ps(a, b, c); }
#else
inline __m128 fma4(__m128 a, __m128 b, __m128 c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
#endif

inline float hsum4(__m128 v)
{
    v = _mm_add_ps(v, _mm_movehl_ps(v, v));
    v = _mm_add_ss(v, _mm_shuffle_ps(v, v, 1));
    return _mm_cvtss_f32(v);
}

inline float hmin4(__m128 v)
{
    v = _mm_min_ps(v, _mm_movehl_ps(v, v));
    v = _mm_min_ss(v, _mm_shuffle_ps(v, v, 1));
    return _mm_cvtss_f32(v);
}

inline float hmax4(__m128 v)
{
    v = _mm_max_ps(v, _mm_movehl_ps(v, v));
    v = _mm_max_ss(v, _mm_shuffle_ps(v, v, 1));
    return _mm_cvtss_f32(v);
}

// Lanes of the last block beyond the state count read as the largest
// float, so the zero padding never lowers a CL loop's minimum.
inline __m128 padLanes(uint32_t n)
{
    const uint32_t used = n % 4 == 0 ? 4 : n % 4;
    alignas(16) float v[4];
    for (uint32_t i = 0; i < 4; ++i)
        v[i] = i < used ? 0.0f : FLT_MAX;
    return _mm_load_ps(v);
}

// Local helpers (lik_category_ranges.h) in place of std::min and std::max,
// and log from math.h in place of std::log: a standard template or inline
// function used here would be emitted with this file's code generation
// under a name other files share.
#include "likelihood/kernels/lik_category_ranges.h"

inline const float *matrixOf(const void *m, uint32_t r, size_t size)
{
    return static_cast<const float *>(m) + r * size;
}

// Block b (states 4b..4b+3) of P x for the transposed P: the sum over
// source states j of column j x x[j].
inline __m128 matVec4(const float *Pt, const float *x, uint32_t n, uint32_t nv, uint32_t b)
{
    __m128 s = _mm_setzero_ps();
    for (uint32_t j = 0; j < n; ++j)
        s = fma4(_mm_loadu_ps(Pt + j * nv + 4 * b), _mm_set1_ps(x[j]), s);
    return s;
}

#if LIK_VEC_AVX2
// Blocks 2h and 2h + 1 at once.
inline __m256 matVec8(const float *Pt, const float *x, uint32_t n, uint32_t nv, uint32_t h)
{
    __m256 s = _mm256_setzero_ps();
    for (uint32_t j = 0; j < n; ++j)
        s = fma8(_mm256_loadu_ps(Pt + j * nv + 8 * h), _mm256_broadcast_ss(x + j), s);
    return s;
}

// Two DNA items at once, one per 128-bit half: the transposed 4 x 4 matrix
// times each half's own four values.
inline __m256 dnaPairMatVec(const float *Pt, __m256 x)
{
    __m256 s = _mm256_mul_ps(_mm256_broadcast_ps(reinterpret_cast<const __m128 *>(Pt)), _mm256_shuffle_ps(x, x, 0x00));
    s = fma8(_mm256_broadcast_ps(reinterpret_cast<const __m128 *>(Pt + 4)), _mm256_shuffle_ps(x, x, 0x55), s);
    s = fma8(_mm256_broadcast_ps(reinterpret_cast<const __m128 *>(Pt + 8)), _mm256_shuffle_ps(x, x, 0xAA), s);
    return fma8(_mm256_broadcast_ps(reinterpret_cast<const __m128 *>(Pt + 12)), _mm256_shuffle_ps(x, x, 0xFF), s);
}

inline __m128 fold8min(__m256 v) { return _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1)); }
inline __m128 fold8add(__m256 v) { return _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1)); }
#endif

enum class Inputs { Both, OneTip, TwoTips };

template <uint32_t N, Inputs K>
bool clLoopVec(const LikKernelContext &c, const LikClOp &op, uint32_t first, uint32_t end)
{
    const uint32_t n = N != 0 ? N : c.nstates, nv = N != 0 ? N : c.nvals, nb = nv / 4;
    const size_t msize = static_cast<size_t>(nv) * nv, tsize = static_cast<size_t>(c.ntipcodes) * nv;
    const __m128 pad = padLanes(n);
    __m128 minv = _mm_set1_ps(FLT_MAX);
    forEachCategory(c, first, end, [&](uint32_t r, uint32_t p0, uint32_t p1) {
        const float *P1 = matrixOf(op.P1, r, K == Inputs::Both ? msize : tsize);
        const float *P2 = matrixOf(op.P2, r, K == Inputs::TwoTips ? tsize : msize);
        const size_t base = static_cast<size_t>(r) * c.npatterns;
        auto in = [&](const void *cla, uint32_t p) { return static_cast<const float *>(cla) + (base + p) * nv; };
        uint32_t p = p0;
#if LIK_VEC_AVX2
        if constexpr (N == 4) {
            __m256 min8 = _mm256_set1_ps(FLT_MAX);
            for (; p + 1 < p1; p += 2) {
                __m256 s1, s2;
                if constexpr (K == Inputs::Both)
                    s1 = dnaPairMatVec(P1, _mm256_loadu_ps(in(op.in1, p)));
                else
                    s1 = _mm256_set_m128(_mm_loadu_ps(P1 + op.tip1[p + 1] * 4), _mm_loadu_ps(P1 + op.tip1[p] * 4));
                if constexpr (K == Inputs::TwoTips)
                    s2 = _mm256_set_m128(_mm_loadu_ps(P2 + op.tip2[p + 1] * 4), _mm_loadu_ps(P2 + op.tip2[p] * 4));
                else
                    s2 = dnaPairMatVec(P2, _mm256_loadu_ps(in(op.in2, p)));
                const __m256 o = _mm256_mul_ps(s1, s2);
                _mm256_storeu_ps(static_cast<float *>(op.out) + (base + p) * 4, o);
                min8 = _mm256_min_ps(min8, o);
            }
            minv = _mm_min_ps(minv, fold8min(min8));
        }
#endif
        for (; p < p1; ++p) {
            float *o = static_cast<float *>(op.out) + (base + p) * nv;
            const float *t1 = K == Inputs::Both ? nullptr : P1 + op.tip1[p] * nv;
            const float *t2 = K == Inputs::TwoTips ? P2 + op.tip2[p] * nv : nullptr;
            uint32_t b = 0;
#if LIK_VEC_AVX2
            if constexpr (N == 0) {
                __m256 min8 = _mm256_set1_ps(FLT_MAX);
                for (; b + 2 < nb; b += 2) {  // the last block is left to the four-wide path
                    const __m256 s1 = K == Inputs::Both ? matVec8(P1, in(op.in1, p), n, nv, b / 2)
                                                        : _mm256_loadu_ps(t1 + 4 * b);
                    const __m256 s2 = K == Inputs::TwoTips ? _mm256_loadu_ps(t2 + 4 * b)
                                                           : matVec8(P2, in(op.in2, p), n, nv, b / 2);
                    const __m256 v = _mm256_mul_ps(s1, s2);
                    _mm256_storeu_ps(o + 4 * b, v);
                    min8 = _mm256_min_ps(min8, v);
                }
                minv = _mm_min_ps(minv, fold8min(min8));
            }
#endif
            for (; b < nb; ++b) {
                const __m128 s1 = K == Inputs::Both ? matVec4(P1, in(op.in1, p), n, nv, b) : _mm_loadu_ps(t1 + 4 * b);
                const __m128 s2 =
                    K == Inputs::TwoTips ? _mm_loadu_ps(t2 + 4 * b) : matVec4(P2, in(op.in2, p), n, nv, b);
                const __m128 v = _mm_mul_ps(s1, s2);
                _mm_storeu_ps(o + 4 * b, v);
                minv = _mm_min_ps(minv, b + 1 == nb ? _mm_max_ps(v, pad) : v);
            }
        }
    });
    return static_cast<double>(hmin4(minv)) < c.rescaleThreshold;
}

// out x= P in (transposed P), or x= the tip row, block by block.
template <uint32_t N>
bool clLoopNonbinVec(const LikKernelContext &c, const LikClOp &op, uint32_t first, uint32_t end)
{
    const uint32_t n = N != 0 ? N : c.nstates, nv = N != 0 ? N : c.nvals, nb = nv / 4;
    const bool tip = op.in1 == nullptr;
    const size_t size = static_cast<size_t>(tip ? c.ntipcodes : nv) * nv;
    const __m128 pad = padLanes(n);
    __m128 minv = _mm_set1_ps(FLT_MAX);
    forEachCategory(c, first, end, [&](uint32_t r, uint32_t p0, uint32_t p1) {
        const float *P = matrixOf(op.P1, r, size);
        const size_t base = static_cast<size_t>(r) * c.npatterns;
        for (uint32_t p = p0; p < p1; ++p) {
            float *o = static_cast<float *>(op.out) + (base + p) * nv;
            const float *x = tip ? nullptr : static_cast<const float *>(op.in1) + (base + p) * nv;
            const float *t = tip ? P + op.tip1[p] * nv : nullptr;
            for (uint32_t b = 0; b < nb; ++b) {
                const __m128 s = tip ? _mm_loadu_ps(t + 4 * b) : matVec4(P, x, n, nv, b);
                const __m128 v = _mm_mul_ps(_mm_loadu_ps(o + 4 * b), s);
                _mm_storeu_ps(o + 4 * b, v);
                minv = _mm_min_ps(minv, b + 1 == nb ? _mm_max_ps(v, pad) : v);
            }
        }
    });
    return static_cast<double>(hmin4(minv)) < c.rescaleThreshold;
}

#if LIK_VEC_AVX2
// The DNA evaluator two patterns at a time: for pattern pair (p, p + 1)
// and each rate category, the two patterns' CLAs are adjacent, so one
// 8-wide vector holds both. Returns [L, D1, D2, -] of the first pattern in
// the low half and of the second in the high half, summed over the
// categories in single precision. Lanes are added as hsum4 adds them,
// (v0 + v2) + (v1 + v3), so a pattern's value does not depend on whether
// it was evaluated alone or in a pair (thread blocks start anywhere).
template <bool Tip, int Count>
inline __m256 evalDnaPair(const LikKernelContext &c, const LikEvalOp &op, uint32_t p)
{
    const size_t size = static_cast<size_t>(Tip ? c.ntipcodes : 4) * 4;
    const float *mats[3] = {static_cast<const float *>(op.W), static_cast<const float *>(op.W1),
                            static_cast<const float *>(op.W2)};
    __m256 acc[3] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    for (uint32_t r = 0; r < c.ncat; ++r) {
        const size_t at = (static_cast<size_t>(r) * c.npatterns + p) * 4;
        const __m256 a = _mm256_loadu_ps(static_cast<const float *>(op.a) + at);
        if constexpr (Tip) {
            const uint32_t c0 = op.tip[p] * 4u, c1 = op.tip[p + 1] * 4u;
            for (int d = 0; d < Count; ++d) {
                const float *W = mats[d] + r * size;
                acc[d] = fma8(_mm256_set_m128(_mm_loadu_ps(W + c1), _mm_loadu_ps(W + c0)), a, acc[d]);
            }
        } else {
            const __m256 b = _mm256_loadu_ps(static_cast<const float *>(op.b) + at);
            const __m256 x[4] = {_mm256_shuffle_ps(a, a, 0x00), _mm256_shuffle_ps(a, a, 0x55),
                                 _mm256_shuffle_ps(a, a, 0xAA), _mm256_shuffle_ps(a, a, 0xFF)};
            for (int d = 0; d < Count; ++d) {
                const float *W = mats[d] + r * size;
                auto row = [W](int j) { return _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(W + 4 * j)); };
                __m256 s = _mm256_mul_ps(row(0), x[0]);
                s = fma8(row(1), x[1], s);
                s = fma8(row(2), x[2], s);
                s = fma8(row(3), x[3], s);
                acc[d] = fma8(s, b, acc[d]);
            }
        }
    }
    constexpr int kEvenOdd = 0xD8;  // lanes 0, 2, 1, 3 of each half
    const __m256 x = _mm256_permute_ps(acc[0], kEvenOdd), y = _mm256_permute_ps(acc[1], kEvenOdd);
    const __m256 z = _mm256_permute_ps(acc[2], kEvenOdd);
    return _mm256_hadd_ps(_mm256_hadd_ps(x, y), _mm256_hadd_ps(z, z));
}
#endif

// Per-lane sums over rate categories of one pattern: lane i of L gathers
// (sum over j of W[i][j] a_j) x b_i, or W[c][i] x a_i at a tip end. The
// pattern's CLA blocks are read once for all the matrices the mode asks for.
template <uint32_t N, bool Tip>
LikResult evalVec(const LikKernelContext &c, const LikEvalOp &op, uint32_t first, uint32_t end, uint32_t mode)
{
    const uint32_t n = N != 0 ? N : c.nstates, nv = N != 0 ? N : c.nvals, nb = nv / 4;
    const size_t size = static_cast<size_t>(Tip ? c.ntipcodes : nv) * nv;
    const bool d1 = (mode & kLikModeD1) != 0, d2 = d1 && (mode & kLikModeD2) != 0;
    const bool scaled = (mode & kLikModeLnL) != 0 || c.constLikes != nullptr;
    const float *Ra = scaled ? static_cast<const float *>(op.scalerA) : nullptr;
    const float *Rb = scaled && !Tip ? static_cast<const float *>(op.scalerB) : nullptr;
    const void *mats[3] = {op.W, op.W1, op.W2};
    const int count = d2 ? 3 : d1 ? 2 : 1;
    LikResult acc{0, 0, 0};
    auto add = [&](uint32_t p, double L, double D1, double D2) {
        const double sigma = static_cast<double>((Ra ? Ra[p] : 0.0f) + (Rb ? Rb[p] : 0.0f));
        if (c.constLikes != nullptr)
            return likAddPattern(c, p, L, D1, D2, sigma, mode, acc);
        // likAddPattern's rules without a constant-site term, in line, with
        // one division: every Newton step of a pass comes here.
        if (!(L >= kLikMinPatternLike))
            return false;
        const double w = c.weights[p];
        if (mode & kLikModeLnL)
            acc.lnL -= w * (log(L) + sigma);
        if (d1) {
            const double inv = 1.0 / L, g = D1 * inv;
            if (g <= 1e100) {
                acc.d1 -= w * g;
                if (d2)
                    acc.d2 -= w * (D2 * inv - g * g);
            }
        }
        return true;
    };
    uint32_t p = first;
#if LIK_VEC_AVX2
    if constexpr (N == 4) {
        // Four patterns a step; without a constant-site term the per-pattern
        // ratios and sums run four-wide in double precision, with a running
        // sum per lane (a single sum would chain every pattern's addition).
        const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
        // The pair results shuffled together hold L and D1 of patterns p and
        // p + 2 in the low half, of p + 1 and p + 3 in the high half; this
        // permutation puts them in pattern order.
        const __m256i order = _mm256_setr_epi32(0, 4, 2, 6, 1, 5, 3, 7);
        // The matrices asked for are a compile-time count, so the sums stay
        // in registers.
        auto quads = [&]<int K>() {
            __m256d sumL = _mm256_setzero_pd(), sum1 = _mm256_setzero_pd(), sum2 = _mm256_setzero_pd();
            for (; p + 3 < end; p += 4) {
                const __m256 h01 = evalDnaPair<Tip, K>(c, op, p), h23 = evalDnaPair<Tip, K>(c, op, p + 2);
                if (c.constLikes != nullptr) {
                    alignas(32) float v[2][8];
                    _mm256_store_ps(v[0], h01);
                    _mm256_store_ps(v[1], h23);
                    for (uint32_t q = 0; q < 4; ++q) {
                        const float *f = v[q / 2] + 4 * (q % 2);
                        if (c.weights[p + q] != 0 && !add(p + q, f[0], f[1], f[2]))
                            return false;
                    }
                    continue;
                }
                // [L, D1] and [D2] of the four patterns in pattern order.
                const __m256 ld = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(h01, h23, 0x44), order);
                const __m256 dd = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(h01, h23, 0xAA), order);
                const __m256d w = _mm256_loadu_pd(c.weights + p);
                const __m256d live = _mm256_cmp_pd(w, zero, _CMP_NEQ_OQ);
                const __m256d l = _mm256_blendv_pd(one, _mm256_cvtps_pd(_mm256_castps256_ps128(ld)), live);
                if (_mm256_movemask_pd(_mm256_cmp_pd(l, _mm256_set1_pd(kLikMinPatternLike), _CMP_NGE_UQ)) != 0)
                    return false;
                if (mode & kLikModeLnL) {
                    alignas(32) double lv[4];
                    _mm256_store_pd(lv, l);
                    for (uint32_t q = 0; q < 4; ++q)
                        lv[q] = log(lv[q]) + static_cast<double>((Ra ? Ra[p + q] : 0.0f) + (Rb ? Rb[p + q] : 0.0f));
                    sumL = _mm256_fmadd_pd(w, _mm256_load_pd(lv), sumL);
                }
                if (d1) {
                    const __m256d inv = _mm256_div_pd(one, l);
                    const __m256d g = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(ld, 1)), inv);
                    const __m256d ok = _mm256_and_pd(live, _mm256_cmp_pd(g, _mm256_set1_pd(1e100), _CMP_LE_OQ));
                    const __m256d wk = _mm256_and_pd(w, ok);
                    sum1 = _mm256_fmadd_pd(wk, g, sum1);
                    if (d2) {
                        const __m256d h = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(dd)), inv);
                        sum2 = _mm256_fmadd_pd(wk, _mm256_fnmadd_pd(g, g, h), sum2);
                    }
                }
            }
            alignas(32) double t[3][4];
            _mm256_store_pd(t[0], sumL);
            _mm256_store_pd(t[1], sum1);
            _mm256_store_pd(t[2], sum2);
            acc.lnL -= (t[0][0] + t[0][1]) + (t[0][2] + t[0][3]);
            acc.d1 -= (t[1][0] + t[1][1]) + (t[1][2] + t[1][3]);
            acc.d2 -= (t[2][0] + t[2][1]) + (t[2][2] + t[2][3]);
            return true;
        };
        if (!(count == 3 ? quads.template operator()<3>() : count == 2 ? quads.template operator()<2>()
                                                                  : quads.template operator()<1>()))
            return likInfiniteResult();
    }
#endif
    for (; p < end; ++p) {
        if (c.weights[p] == 0)
            continue;
        __m128 lanes[3] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
        for (uint32_t r = 0; r < c.ncat; ++r) {
            const size_t at = (static_cast<size_t>(r) * c.npatterns + p) * nv;
            const float *a = static_cast<const float *>(op.a) + at;
            for (int d = 0; d < count; ++d) {
                const float *W = matrixOf(mats[d], r, size);
                if constexpr (Tip) {
                    const float *row = W + op.tip[p] * nv;
                    for (uint32_t b = 0; b < nb; ++b)
                        lanes[d] = fma4(_mm_loadu_ps(row + 4 * b), _mm_loadu_ps(a + 4 * b), lanes[d]);
                } else {
                    const float *bv = static_cast<const float *>(op.b) + at;
                    uint32_t b = 0;
#if LIK_VEC_AVX2
                    if constexpr (N == 0) {
                        __m256 l8 = _mm256_setzero_ps();
                        for (; b + 1 < nb; b += 2)
                            l8 = fma8(matVec8(W, a, n, nv, b / 2), _mm256_loadu_ps(bv + 4 * b), l8);
                        lanes[d] = _mm_add_ps(lanes[d], fold8add(l8));
                    }
#endif
                    for (; b < nb; ++b)
                        lanes[d] = fma4(matVec4(W, a, n, nv, b), _mm_loadu_ps(bv + 4 * b), lanes[d]);
                }
            }
        }
        if (!add(p, hsum4(lanes[0]), hsum4(lanes[1]), hsum4(lanes[2])))
            return likInfiniteResult();
    }
    return acc;
}

// Applies one pattern's rescaling factor and log term, the power-of-two
// rule of the scalar members, from an (approximate) reciprocal.
inline void rescaleFromReciprocal(float m, float inv, const float *logTable, float *factor, float *logTerm)
{
    if (m >= 0.5f) {
        *factor = 1.0f;
        *logTerm = 0.0f;
    } else if (inv <= 4294967296.0f) {
        const uint32_t whole = inv >= 4294967295.0f ? 0xffffffffu : static_cast<uint32_t>(inv);
        const int e = 31 - __builtin_clz(whole | 1u);
        *factor = static_cast<float>(uint64_t{1} << e);
        *logTerm = logTable[e];
    } else {
        *factor = inv;
        *logTerm = logf(inv);
    }
}

// Four patterns per test, with the processor's approximate reciprocal; the
// patterns left over (or all of them, for fewer than four) go through the
// scalar rule.
#if LIK_VEC_AVX2
// Two DNA patterns per vector: each half's largest value over the rate
// categories, the power-of-two factor and its log term from the
// processor's approximate reciprocal, by the same rule as
// rescaleFromReciprocal (the factor's exponent is that of the reciprocal,
// at most 31). False, with nothing changed, when a pattern of the pair
// needs the reciprocal itself (a largest value below 2^-32).
inline bool rescaleDnaPair(const LikKernelContext &c, float *v, float *rs, uint32_t p, size_t block,
                           const float *logTable)
{
    __m256 mx = _mm256_set1_ps(1e-37f);
    for (uint32_t r = 0; r < c.ncat; ++r)
        mx = _mm256_max_ps(mx, _mm256_loadu_ps(v + r * block + static_cast<size_t>(p) * 4));
    mx = _mm256_max_ps(mx, _mm256_permute_ps(mx, 0xB1));
    mx = _mm256_max_ps(mx, _mm256_permute_ps(mx, 0x4E));
    // No branch on whether the pair needs a factor: which pairs do follows
    // the data, and guessing it wrong costs more than multiplying by one.
    const __m256 need = _mm256_cmp_ps(mx, _mm256_set1_ps(0.5f), _CMP_LT_OQ);
    const __m256 inv = _mm256_rcp_ps(mx);
    if (_mm256_movemask_ps(_mm256_and_ps(need, _mm256_cmp_ps(inv, _mm256_set1_ps(4294967296.0f), _CMP_GT_OQ))) != 0)
        return false;
    __m256i e = _mm256_sub_epi32(_mm256_srli_epi32(_mm256_castps_si256(inv), 23), _mm256_set1_epi32(127));
    e = _mm256_and_si256(_mm256_min_epi32(e, _mm256_set1_epi32(31)), _mm256_castps_si256(need));
    const __m256 factor = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(e, _mm256_set1_epi32(127)), 23));
    // Two table reads, one per pattern: a gather of all eight lanes costs
    // more than the rest of the pair's work.
    rs[p] -= logTable[_mm256_extract_epi32(e, 0)];
    rs[p + 1] -= logTable[_mm256_extract_epi32(e, 4)];
    for (uint32_t r = 0; r < c.ncat; ++r) {
        float *x = v + r * block + static_cast<size_t>(p) * 4;
        _mm256_storeu_ps(x, _mm256_mul_ps(_mm256_loadu_ps(x), factor));
    }
    return true;
}
#endif

template <uint32_t N>
void rescaleVec(const LikKernelContext &c, void *cla, void *scalers, uint32_t first, uint32_t end)
{
    float *v = static_cast<float *>(cla);
    float *rs = static_cast<float *>(scalers);
    const uint32_t nv = c.nvals, nb = nv / 4;
    const size_t block = static_cast<size_t>(c.npatterns) * nv;
    uint32_t p = first;
    // Fetched once: a call inside the loops would save and restore every
    // vector register around it for each pattern.
    const float *logTable = likRescaleLogTableF();
#if LIK_VEC_AVX2
    if constexpr (N == 4) {
        for (; p + 1 < end; p += 2)
            if (!rescaleDnaPair(c, v, rs, p, block, logTable))
                rescaleCL_SP(c, cla, scalers, p, p + 2);
    }
#endif
    for (; p + 4 <= end; p += 4) {
        alignas(16) float m[4];
        for (uint32_t q = 0; q < 4; ++q) {
            __m128 mx = _mm_set1_ps(1e-37f);
            for (uint32_t r = 0; r < c.ncat; ++r)
                for (uint32_t b = 0; b < nb; ++b)
                    mx = _mm_max_ps(mx, _mm_loadu_ps(v + r * block + (p + q) * nv + 4 * b));
            m[q] = hmax4(mx);
        }
        const __m128 mv = _mm_load_ps(m);
        if (_mm_movemask_ps(_mm_cmplt_ps(mv, _mm_set1_ps(0.5f))) == 0)
            continue;
        alignas(16) float inv[4];
        _mm_store_ps(inv, _mm_rcp_ps(mv));
        for (uint32_t q = 0; q < 4; ++q) {
            float factor, logTerm;
            rescaleFromReciprocal(m[q], inv[q], logTable, &factor, &logTerm);
            rs[p + q] -= logTerm;
            if (factor == 1.0f)
                continue;
            const __m128 f = _mm_set1_ps(factor);
            for (uint32_t r = 0; r < c.ncat; ++r)
                for (uint32_t b = 0; b < nb; ++b) {
                    float *x = v + r * block + (p + q) * nv + 4 * b;
                    _mm_storeu_ps(x, _mm_mul_ps(_mm_loadu_ps(x), f));
                }
        }
    }
    if (p < end)
        rescaleCL_SP(c, cla, scalers, p, end);
}

template <uint32_t N>
constexpr LikKernels makeVecTable(const char *name)
{
    return LikKernels{
        name,
        LikPrecision::Single,
        true,
        clLoopVec<N, Inputs::Both>,
        clLoopVec<N, Inputs::OneTip>,
        clLoopVec<N, Inputs::TwoTips>,
        clLoopNonbinVec<N>,
        evalVec<N, false>,
        evalVec<N, true>,
        rescaleVec<N>,
        mergeRescalers_SP,
        addRescalers_SP,
        nullptr,
        likTable0Tip_F,
        likTable1Tip_F,
        likEvalTable,
    };
}
