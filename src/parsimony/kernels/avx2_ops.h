// Small vector helpers of the AVX2 kernel files, included by them inside
// their own kernel namespace (after <immintrin.h>), so that the helpers are
// kernel code by name as well: every helper has internal linkage, no copy of
// one can stand in for code built for the baseline CPU, and the check that
// the program holds AVX2 code only in the kernels knows them by namespace.
#pragma once

inline __m256i load(const uint64_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline void store(uint64_t *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }
inline __m128i load128(const uint64_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline void store128(uint64_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }

// Bits set in each byte of v (0-8), by nibble look-up.
inline __m256i byteBitCounts(__m256i v)
{
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(v, nibble));
    __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi64(v, 4), nibble));
    return _mm256_add_epi8(lo, hi);
}

// Byte counts summed into the four 64-bit lanes.
inline __m256i sumBytes(__m256i bytes) { return _mm256_sad_epu8(bytes, _mm256_setzero_si256()); }

inline uint64_t sumLanes(__m256i v)
{
    __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<uint64_t>(_mm_extract_epi64(s, 1));
}

// Counts the bits of many vectors. Per-byte counts (at most 8 a vector)
// are folded into 64-bit lanes every 31 vectors, before a byte could pass
// 255. With kNibbles the vectors' set bits all sit at bit 0 of a nibble
// (fields of four or more bits): adding the vectors themselves counts in
// every nibble at once, folded every 15 vectors before a nibble could carry.
template <bool kNibbles>
class StepCounter {
public:
    void add(__m256i v)
    {
        acc_ = kNibbles ? _mm256_add_epi64(acc_, v) : _mm256_add_epi8(acc_, byteBitCounts(v));
        if (++pending_ == kFold)
            flush();
    }
    uint64_t total()
    {
        flush();
        return sumLanes(lanes_);
    }

private:
    static constexpr uint32_t kFold = kNibbles ? 15 : 31;
    void flush()
    {
        __m256i bytes = acc_;
        if constexpr (kNibbles) {
            const __m256i low = _mm256_set1_epi8(0x0f);
            bytes = _mm256_add_epi8(_mm256_and_si256(acc_, low), _mm256_and_si256(_mm256_srli_epi64(acc_, 4), low));
        }
        lanes_ = _mm256_add_epi64(lanes_, sumBytes(bytes));
        acc_ = _mm256_setzero_si256();
        pending_ = 0;
    }
    __m256i acc_ = _mm256_setzero_si256(), lanes_ = _mm256_setzero_si256();
    uint32_t pending_ = 0;
};
using BitCounter = StepCounter<false>;
using NibbleCounter = StepCounter<true>;
