// The Dollo step kernels on 256-bit vectors: sixteen steps (16-bit
// counters) to a vector, four to a word. This file alone is compiled with
// AVX2 code generation, so it holds the kernels and nothing else. The rule
// is the generic one (dol_generic.cpp) step for step; a word's bits become
// masks of whole 16-bit lanes by a byte shuffle and a compare.
#include <immintrin.h>

#include <cstdint>

#include "parsimony/kernels/dol_steps.h"

namespace dolavx2 {
namespace {

constexpr uint32_t kWordSteps = 64;

inline __m256i load16(const int16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline void store16(int16_t *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }

// The masks of one word's bits, a quarter (sixteen steps) at a time: lane i
// of quarter q all ones where bit 16 q + i is set.
class WordMasks {
public:
    explicit WordMasks(uint64_t w) : w_(_mm256_set1_epi64x(static_cast<int64_t>(w))) {}
    __m256i quarter(uint32_t q) const
    {
        // Byte 2q of the word into the low byte of lanes 0-7, byte 2q + 1
        // into that of lanes 8-15 (the high half holds the word again), the
        // high bytes zero; then each lane keeps its own bit.
        const auto lo = static_cast<char>(2 * q), hi = static_cast<char>(2 * q + 1), z = static_cast<char>(0x80);
        const __m256i pick = _mm256_setr_epi8(lo, z, lo, z, lo, z, lo, z, lo, z, lo, z, lo, z, lo, z,  //
                                              hi, z, hi, z, hi, z, hi, z, hi, z, hi, z, hi, z, hi, z);
        const __m256i bit = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128);
        return _mm256_cmpeq_epi16(_mm256_and_si256(_mm256_shuffle_epi8(w_, pick), bit), bit);
    }

private:
    __m256i w_;
};

// The sum of the sixteen 16-bit lanes, in 32-bit lanes.
inline __m256i pairSums(__m256i v) { return _mm256_madd_epi16(v, _mm256_set1_epi16(1)); }

inline int32_t sumLanes(__m256i v)
{
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4e));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xb1));
    return _mm_cvtsi128_si32(s);
}

template <bool kSums, bool kSteps>
void joinWords(const DolWords &a, const DolWords &b, const DolWordsOut &r, uint32_t n, int32_t *sums, int16_t *m)
{
    // The records' pointers as copies of the kernel's own: a vector store
    // may alias anything, and would have them read again after each.
    const DolWords A = a, B = b;
    const DolWordsOut R = r;
    const __m256i oneStep = _mm256_set1_epi16(1);
    for (uint32_t w = 0; w < n; w++) {
        const uint64_t La = A.L[w], Lb = B.L[w];
        const WordMasks ha(La), fx((La & A.F[w]) | (~La & B.F[w])), both(La & Lb), one(La ^ Lb);
        const size_t at = static_cast<size_t>(w) * kWordSteps;
        __m256i acc = _mm256_setzero_si256();
        for (uint32_t q = 0; q < 4; q++) {
            const size_t i = at + 16 * q;
            const __m256i a1 = load16(A.c1 + i), b1 = load16(B.c1 + i), a0 = load16(A.c0 + i), b0 = load16(B.c0 + i);
            const __m256i s = _mm256_add_epi16(a1, b1);
            const __m256i h = ha.quarter(q), f = fx.quarter(q), bo = both.quarter(q), on = one.quarter(q);
            const __m256i x1 = _mm256_blendv_epi8(b1, a1, h), x0 = _mm256_blendv_epi8(b0, a0, h);
            const __m256i up = _mm256_add_epi16(x1, oneStep);
            const __m256i out = _mm256_blendv_epi8(_mm256_min_epi16(up, x0), up, f);
            const __m256i least = _mm256_blendv_epi8(_mm256_and_si256(on, _mm256_min_epi16(s, out)), s, bo);
            const __m256i r1 =
                _mm256_andnot_si256(bo, _mm256_blendv_epi8(_mm256_min_epi16(s, oneStep), _mm256_sub_epi16(s, least), on));
            store16(R.c1 + i, r1);
            store16(R.c0 + i, _mm256_and_si256(on, _mm256_sub_epi16(out, least)));
            if constexpr (kSteps)
                store16(m + i, least);
            if constexpr (kSums)
                acc = _mm256_add_epi32(acc, pairSums(least));
        }
        R.L[w] = La | Lb;
        R.F[w] = La & Lb;
        if constexpr (kSums)
            sums[w] = sumLanes(acc);
    }
}

void dolJoin(const DolWords &a, const DolWords &b, const DolWordsOut &r, uint32_t n, int32_t *sums, int16_t *m)
{
    if (m)
        sums ? joinWords<true, true>(a, b, r, n, sums, m) : joinWords<false, true>(a, b, r, n, sums, m);
    else
        sums ? joinWords<true, false>(a, b, r, n, sums, m) : joinWords<false, false>(a, b, r, n, sums, m);
}

int32_t dolSpan(const DolWords &a, const DolWords &b, uint32_t w, int16_t *m)
{
    const uint64_t La = a.L[w], Lb = b.L[w];
    const uint64_t Fx = (La & a.F[w]) | (~La & b.F[w]);
    const WordMasks ha(La), open((La ^ Lb) & ~Fx), any(La | Lb);
    const size_t at = static_cast<size_t>(w) * kWordSteps;
    __m256i acc = _mm256_setzero_si256();
    for (uint32_t q = 0; q < 4; q++) {
        const size_t i = at + 16 * q;
        const __m256i s = _mm256_add_epi16(load16(a.c1 + i), load16(b.c1 + i));
        const __m256i x0 = _mm256_blendv_epi8(load16(b.c0 + i), load16(a.c0 + i), ha.quarter(q));
        const __m256i v = _mm256_blendv_epi8(s, _mm256_min_epi16(s, x0), open.quarter(q));
        const __m256i steps = _mm256_and_si256(any.quarter(q), v);
        store16(m + 16 * q, steps);
        acc = _mm256_add_epi32(acc, pairSums(steps));
    }
    return sumLanes(acc);
}

}  // namespace
constexpr DolStepKernels kTable{"avx2", dolJoin, dolSpan};
}  // namespace dolavx2

const DolStepKernels &dolStepKernelsAvx2() { return dolavx2::kTable; }
