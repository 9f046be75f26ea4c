// The cost-vector joins with AVX2: one four-state character of 64-bit
// entries on one 256-bit vector (the four states of the joining node in the
// four lanes, one broadcast and one row of the table per state met), and
// blocks of characters sharing a table (below). Compiled with AVX2 code generation like uno_avx2.cpp, under
// the same rules; the rule is the generic one lane for lane.
#include <immintrin.h>

#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"

namespace stmavx2 {
namespace {

inline __m256i load(const int64_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// AVX2 has no 64-bit minimum: compare and blend (entries are far below the
// sign bit, so the signed compare is exact).
inline __m256i min64(__m256i x, __m256i y) { return _mm256_blendv_epi8(x, y, _mm256_cmpgt_epi64(x, y)); }

// The least of X[t] + c[4t + s] for each state s, clamped.
inline __m256i half(const int64_t *c, const int64_t *X, __m256i impossible)
{
    __m256i best = load(X);
    for (int t = 0; t < 4; t++)
        best = min64(best, _mm256_add_epi64(_mm256_set1_epi64x(X[t]), load(c + 4 * t)));
    return min64(best, impossible);
}

int64_t join4(const int64_t *ca, const int64_t *A, const int64_t *cb, const int64_t *B, int64_t *out)
{
    const __m256i impossible = _mm256_set1_epi64x(kCostImpossible);
    const __m256i o = min64(_mm256_add_epi64(half(ca, A, impossible), half(cb, B, impossible)), impossible);
    // The least entry in every lane: swap the halves, then the neighbours.
    __m256i m = min64(o, _mm256_permute4x64_epi64(o, 0x4e));
    m = min64(m, _mm256_permute4x64_epi64(m, 0xb1));
    // Possible entries lose the minimum (none does when m is impossible).
    const __m256i possible = _mm256_cmpgt_epi64(impossible, o);
    const __m256i r = _mm256_sub_epi64(o, _mm256_and_si256(possible, m));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), r);
    const int zeros = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(r, _mm256_setzero_si256())));
    out[4] = zeros;
    return _mm_cvtsi128_si64(_mm256_castsi256_si128(m));
}

// Blocks: 16 characters' state s in one vector (16-bit entries). Saturating
// additions keep every sum with an impossible term impossible; the packer
// keeps genuine sums below the impossible value.
inline __m256i load16(const int16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// The least cost of meeting X from each state s: min over t of X[t] + c[t N + s],
// the table's entries broadcast (the block's characters share the table).
// Every loop over states is unrolled, so that the vectors stay in registers
// (an array indexed in a loop would live on the stack).
template <uint32_t N>
inline void halfBlock(const int16_t *c, const int16_t *X, __m256i *h)
{
#pragma GCC unroll 8
    for (uint32_t s = 0; s < N; s++) {
        __m256i best = _mm256_adds_epi16(load16(X), _mm256_set1_epi16(c[s]));
#pragma GCC unroll 8
        for (uint32_t t = 1; t < N; t++)
            best = _mm256_min_epi16(best,
                                    _mm256_adds_epi16(load16(X + t * kStmBlockWidth), _mm256_set1_epi16(c[t * N + s])));
        h[s] = best;
    }
}

// Both halves summed, per state, and their least entry per character.
template <uint32_t N>
inline __m256i sums(const StmBlockArgs &a, __m256i *o)
{
    __m256i hA[N], hB[N];
    halfBlock<N>(a.ca, a.A, hA);
    halfBlock<N>(a.cb, a.B, hB);
    __m256i m = _mm256_set1_epi16(kCost16Impossible);
#pragma GCC unroll 8
    for (uint32_t s = 0; s < N; s++) {
        o[s] = _mm256_adds_epi16(hA[s], hB[s]);
        m = _mm256_min_epi16(m, o[s]);
    }
    return m;
}

// m stored, and its sum weighted, or -1 when an entry is impossible.
inline int64_t weighted(__m256i m, const int16_t *weight, int16_t *mOut)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(mOut), m);
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi16(m, _mm256_set1_epi16(kCost16Impossible))))
        return -1;
    // Pairs of products fit 32 bits; the eight pair sums are added in 64.
    const __m256i p = _mm256_madd_epi16(m, load16(weight));
    const __m256i q = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(p)),
                                       _mm256_cvtepi32_epi64(_mm256_extracti128_si256(p, 1)));
    const __m128i r = _mm_add_epi64(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1));
    return _mm_cvtsi128_si64(r) + _mm_extract_epi64(r, 1);
}

template <uint32_t N>
int64_t joinBlockN(const StmBlockArgs &a, int16_t *out, int16_t *mOut)
{
    __m256i o[N];
    const __m256i m = sums<N>(a, o);
    const __m256i impossible = _mm256_set1_epi16(kCost16Impossible);
#pragma GCC unroll 8
    for (uint32_t s = 0; s < N; s++) {
        // Possible entries lose the minimum (none does when m is impossible).
        const __m256i possible = _mm256_cmpgt_epi16(impossible, o[s]);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + s * kStmBlockWidth),
                            _mm256_sub_epi16(o[s], _mm256_and_si256(possible, m)));
    }
    return weighted(m, a.weight, mOut);
}

template <uint32_t N>
int64_t spanBlockN(const StmBlockArgs &a, int16_t *mOut)
{
    __m256i o[N];
    return weighted(sums<N>(a, o), a.weight, mOut);
}

int64_t joinBlock(const StmBlockArgs &a, int16_t *out, int16_t *m)
{
    switch (a.n) {
    case 2: return joinBlockN<2>(a, out, m);
    case 3: return joinBlockN<3>(a, out, m);
    case 4: return joinBlockN<4>(a, out, m);
    case 5: return joinBlockN<5>(a, out, m);
    case 6: return joinBlockN<6>(a, out, m);
    case 7: return joinBlockN<7>(a, out, m);
    default: return joinBlockN<8>(a, out, m);
    }
}

int64_t spanBlock(const StmBlockArgs &a, int16_t *m)
{
    switch (a.n) {
    case 2: return spanBlockN<2>(a, m);
    case 3: return spanBlockN<3>(a, m);
    case 4: return spanBlockN<4>(a, m);
    case 5: return spanBlockN<5>(a, m);
    case 6: return spanBlockN<6>(a, m);
    case 7: return spanBlockN<7>(a, m);
    default: return spanBlockN<8>(a, m);
    }
}

const StmKernels kAvx2{"avx2", join4, joinBlock, spanBlock};

}  // namespace
}  // namespace stmavx2

const StmKernels &stmKernelsAvx2() { return stmavx2::kAvx2; }
