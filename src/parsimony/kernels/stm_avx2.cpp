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

// Blocks: state s of 16 characters in one vector of 16-bit entries, or in
// two of 32-bit ones. Sums are clamped at the impossible value (16 bits:
// saturating additions); the packer keeps genuine sums far below it.
inline __m256i loadv(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }
inline void storev(void *p, __m256i x) { _mm256_storeu_si256(static_cast<__m256i *>(p), x); }

struct Ops16 {
    using Entry = int16_t;
    static constexpr uint32_t kLanes = 16;
    static __m256i impossible() { return _mm256_set1_epi16(kCost16Impossible); }
    static __m256i splat(Entry x) { return _mm256_set1_epi16(x); }
    static __m256i add(__m256i x, __m256i y) { return _mm256_adds_epi16(x, y); }
    static __m256i min(__m256i x, __m256i y) { return _mm256_min_epi16(x, y); }
    static __m256i less(__m256i x, __m256i y) { return _mm256_cmpgt_epi16(y, x); }
    static __m256i sub(__m256i x, __m256i y) { return _mm256_sub_epi16(x, y); }
};

struct Ops32 {
    using Entry = int32_t;
    static constexpr uint32_t kLanes = 8;
    static __m256i impossible() { return _mm256_set1_epi32(kCost32Impossible); }
    static __m256i splat(Entry x) { return _mm256_set1_epi32(x); }
    // Two entries of at most the impossible value (2^29) cannot overflow.
    static __m256i add(__m256i x, __m256i y) { return _mm256_min_epi32(_mm256_add_epi32(x, y), impossible()); }
    static __m256i min(__m256i x, __m256i y) { return _mm256_min_epi32(x, y); }
    static __m256i less(__m256i x, __m256i y) { return _mm256_cmpgt_epi32(y, x); }
    static __m256i sub(__m256i x, __m256i y) { return _mm256_sub_epi32(x, y); }
};

// The least cost of meeting X from each state s: min over t of X[t] +
// c[t N + s], the table's entries broadcast (the block's characters share
// the table). Every loop over states is unrolled, so that the vectors stay
// in registers (an array indexed in a loop would live on the stack).
template <class Ops, uint32_t N>
inline void halfBlock(const typename Ops::Entry *c, const typename Ops::Entry *X, __m256i *h)
{
#pragma GCC unroll 8
    for (uint32_t s = 0; s < N; s++) {
        __m256i best = Ops::add(loadv(X), Ops::splat(c[s]));
#pragma GCC unroll 8
        for (uint32_t t = 1; t < N; t++)
            best = Ops::min(best, Ops::add(loadv(X + t * kStmBlockWidth), Ops::splat(c[t * N + s])));
        h[s] = best;
    }
}

// Both halves summed, per state, for the part of the block `part` vectors
// in, and their least entry per character.
template <class Ops, uint32_t N>
inline __m256i sums(const StmBlockArgs<typename Ops::Entry> &a, uint32_t part, __m256i *o)
{
    __m256i hA[N], hB[N];
    halfBlock<Ops, N>(a.ca, a.A + part * Ops::kLanes, hA);
    halfBlock<Ops, N>(a.cb, a.B + part * Ops::kLanes, hB);
    __m256i m = Ops::impossible();
#pragma GCC unroll 8
    for (uint32_t s = 0; s < N; s++) {
        o[s] = Ops::add(hA[s], hB[s]);
        m = Ops::min(m, o[s]);
    }
    return m;
}

// m stored as 32-bit entries, and its sum weighted, or -1 when an entry is
// impossible.
inline int64_t weighted(__m256i m, const int16_t *weight, int32_t *mOut)
{
    storev(mOut, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(m)));
    storev(mOut + 8, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(m, 1)));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi16(m, Ops16::impossible())))
        return -1;
    // Pairs of products fit 32 bits; the eight pair sums are added in 64.
    const __m256i p = _mm256_madd_epi16(m, loadv(weight));
    const __m256i q = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(p)),
                                       _mm256_cvtepi32_epi64(_mm256_extracti128_si256(p, 1)));
    const __m128i r = _mm_add_epi64(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1));
    return _mm_cvtsi128_si64(r) + _mm_extract_epi64(r, 1);
}

inline int64_t weighted32(const int32_t *m, const int16_t *weight)
{
    int64_t sum = 0;
    for (uint32_t l = 0; l < kStmBlockWidth; l++) {
        if (m[l] == kCost32Impossible)
            return -1;
        sum += int64_t{m[l]} * weight[l];
    }
    return sum;
}

// The join of the part of the block `part` vectors in; its minima into m.
template <class Ops, uint32_t N>
inline __m256i joinPart(const StmBlockArgs<typename Ops::Entry> &a, uint32_t part, typename Ops::Entry *out)
{
    __m256i o[N];
    const __m256i m = sums<Ops, N>(a, part, o);
    const __m256i impossible = Ops::impossible();
#pragma GCC unroll 8
    for (uint32_t s = 0; s < N; s++) {
        // Possible entries lose the minimum (none does when m is impossible).
        const __m256i possible = Ops::less(o[s], impossible);
        storev(out + s * kStmBlockWidth + part * Ops::kLanes, Ops::sub(o[s], _mm256_and_si256(possible, m)));
    }
    return m;
}

template <uint32_t N>
int64_t joinBlockN(const StmBlockArgs<int16_t> &a, int16_t *out, int32_t *m)
{
    return weighted(joinPart<Ops16, N>(a, 0, out), a.weight, m);
}

template <uint32_t N>
int64_t spanBlockN(const StmBlockArgs<int16_t> &a, int32_t *m)
{
    __m256i o[N];
    return weighted(sums<Ops16, N>(a, 0, o), a.weight, m);
}

template <uint32_t N>
int64_t joinBlock32N(const StmBlockArgs<int32_t> &a, int32_t *out, int32_t *m)
{
    for (uint32_t part = 0; part < 2; part++)
        storev(m + part * 8, joinPart<Ops32, N>(a, part, out));
    return weighted32(m, a.weight);
}

template <uint32_t N>
int64_t spanBlock32N(const StmBlockArgs<int32_t> &a, int32_t *m)
{
    __m256i o[N];
    for (uint32_t part = 0; part < 2; part++)
        storev(m + part * 8, sums<Ops32, N>(a, part, o));
    return weighted32(m, a.weight);
}

// The state count chosen once per block.
template <template <uint32_t> class K, typename... Args>
int64_t byStates(uint32_t n, Args... args)
{
    switch (n) {
    case 2: return K<2>::run(args...);
    case 3: return K<3>::run(args...);
    case 4: return K<4>::run(args...);
    case 5: return K<5>::run(args...);
    case 6: return K<6>::run(args...);
    case 7: return K<7>::run(args...);
    default: return K<8>::run(args...);
    }
}

template <uint32_t N>
struct Join16 {
    static int64_t run(const StmBlockArgs<int16_t> &a, int16_t *out, int32_t *m) { return joinBlockN<N>(a, out, m); }
};
template <uint32_t N>
struct Span16 {
    static int64_t run(const StmBlockArgs<int16_t> &a, int32_t *m) { return spanBlockN<N>(a, m); }
};
template <uint32_t N>
struct Join32 {
    static int64_t run(const StmBlockArgs<int32_t> &a, int32_t *out, int32_t *m) { return joinBlock32N<N>(a, out, m); }
};
template <uint32_t N>
struct Span32 {
    static int64_t run(const StmBlockArgs<int32_t> &a, int32_t *m) { return spanBlock32N<N>(a, m); }
};

int64_t joinBlock(const StmBlockArgs<int16_t> &a, int16_t *out, int32_t *m)
{
    return byStates<Join16>(a.n, a, out, m);
}
int64_t spanBlock(const StmBlockArgs<int16_t> &a, int32_t *m) { return byStates<Span16>(a.n, a, m); }
int64_t joinBlock32(const StmBlockArgs<int32_t> &a, int32_t *out, int32_t *m)
{
    return byStates<Join32>(a.n, a, out, m);
}
int64_t spanBlock32(const StmBlockArgs<int32_t> &a, int32_t *m) { return byStates<Span32>(a.n, a, m); }

const StmKernels kAvx2{"avx2", join4, joinBlock, spanBlock, joinBlock32, spanBlock32};

}  // namespace
}  // namespace stmavx2

const StmKernels &stmKernelsAvx2() { return stmavx2::kAvx2; }
