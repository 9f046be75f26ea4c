// Unordered kernels on 256-bit vectors: four lanes (two packed words) per
// step. This file alone is compiled with AVX2 code generation, so it holds
// the kernels and nothing else, and includes nothing that defines inline
// functions or templates (see uno_kernels.h): the bit count of the scalar
// tail is the compiler's builtin, not std::popcount.
//
// The rule is the generic one lane for lane. A vector shift by a count of 64
// or more gives 0, which fills a 64-bit field as the split shift does there.
#include <immintrin.h>

#include "parsimony/kernels/uno_kernels.h"

namespace unoavx2 {
namespace {

// Lowest bit of each counted field whose intersection i is empty.
inline __m256i emptyFields(__m256i i, __m256i notTop, __m256i shift, __m256i countMask)
{
    __m256i z = _mm256_or_si256(_mm256_add_epi64(_mm256_and_si256(i, notTop), notTop), i);
    __m256i notZ = _mm256_xor_si256(z, _mm256_set1_epi64x(-1));
    return _mm256_and_si256(_mm256_srlv_epi64(notZ, shift), countMask);
}

inline __m256i fillFields(__m256i x, __m256i shift)
{
    return _mm256_sub_epi64(_mm256_slli_epi64(_mm256_sllv_epi64(x, shift), 1), x);
}

// Bits set in each 64-bit lane of v, by nibble look-up and a byte sum.
inline __m256i laneBitCounts(__m256i v)
{
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(v, nibble));
    __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi64(v, 4), nibble));
    return _mm256_sad_epu8(_mm256_add_epi8(lo, hi), _mm256_setzero_si256());
}

inline uint64_t sumLanes(__m256i v)
{
    __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<uint64_t>(_mm_extract_epi64(s, 1));
}

inline __m256i load(const uint64_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline void store(uint64_t *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }

inline uint64_t emptyFieldsScalar(const UnoLanes &k, uint32_t l, uint64_t i)
{
    uint64_t z = ((i & k.notTop[l]) + k.notTop[l]) | i;
    return (~z >> k.shift[l]) & k.countMask[l];
}

inline uint64_t fillFieldsScalar(uint64_t x, uint64_t shift) { return ((x << shift) << 1) - x; }

template <bool kMask>
uint64_t joinLanes(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask)
{
    __m256i counts = _mm256_setzero_si256();
    uint32_t l = 0;
    for (; l + 4 <= k.count; l += 4) {
        __m256i A = load(a + l), B = load(b + l), shift = load(k.shift + l);
        __m256i i = _mm256_and_si256(A, B);
        __m256i x = emptyFields(i, load(k.notTop + l), shift, load(k.countMask + l));
        store(r + l, _mm256_or_si256(i, _mm256_and_si256(_mm256_or_si256(A, B), fillFields(x, shift))));
        if constexpr (kMask)
            store(mask + l, x);
        counts = _mm256_add_epi64(counts, laneBitCounts(x));
    }
    uint64_t steps = sumLanes(counts);
    for (; l < k.count; l++) {
        uint64_t i = a[l] & b[l];
        uint64_t x = emptyFieldsScalar(k, l, i);
        r[l] = i | ((a[l] | b[l]) & fillFieldsScalar(x, k.shift[l]));
        if constexpr (kMask)
            mask[l] = x;
        steps += static_cast<uint64_t>(__builtin_popcountll(x));
    }
    return steps;
}

uint64_t join(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r)
{
    return joinLanes<false>(k, a, b, r, nullptr);
}

uint64_t joinMask(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask)
{
    return joinLanes<true>(k, a, b, r, mask);
}

uint64_t steps(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint32_t from, uint32_t to)
{
    __m256i counts = _mm256_setzero_si256();
    uint32_t l = from;
    for (; l + 4 <= to; l += 4) {
        __m256i i = _mm256_and_si256(load(a + l), load(b + l));
        __m256i x = emptyFields(i, load(k.notTop + l), load(k.shift + l), load(k.countMask + l));
        counts = _mm256_add_epi64(counts, laneBitCounts(x));
    }
    uint64_t n = sumLanes(counts);
    for (; l < to; l++)
        n += static_cast<uint64_t>(__builtin_popcountll(emptyFieldsScalar(k, l, a[l] & b[l])));
    return n;
}

constexpr UnoKernels kAvx2{"avx2", join, joinMask, steps};

}  // namespace
}  // namespace unoavx2

const UnoKernels &unoKernelsAvx2() { return unoavx2::kAvx2; }
