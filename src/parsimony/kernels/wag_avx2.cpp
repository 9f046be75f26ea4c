// Ordered kernels on 256-bit vectors, four lanes of D (and of P) per step.
// Compiled with AVX2 code generation like uno_avx2.cpp, under the same
// rules; the rule is the generic one lane for lane.
#include <immintrin.h>

#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"

namespace wagavx2 {
namespace {

#include "parsimony/kernels/avx2_ops.h"

template <bool kMask>
uint64_t joinLanes(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask)
{
    const uint64_t *D1 = a, *P1 = a + lanes, *D2 = b, *P2 = b + lanes;
    uint64_t *RD = r, *RP = r + lanes;
    BitCounter counter;
    uint32_t l = 0;
    for (; l + 4 <= lanes; l += 4) {
        __m256i o = _mm256_or_si256(load(D1 + l), load(D2 + l));
        __m256i n = _mm256_and_si256(load(P1 + l), load(P2 + l));
        __m256i x = _mm256_andnot_si256(n, o);
        store(RD + l, _mm256_and_si256(o, n));
        store(RP + l, _mm256_or_si256(o, n));
        if constexpr (kMask)
            store(mask + l, x);
        counter.add(x);
    }
    uint64_t steps = counter.total();
    for (; l < lanes; l++) {
        uint64_t o = D1[l] | D2[l], n = P1[l] & P2[l];
        RD[l] = o & n;
        RP[l] = o | n;
        if constexpr (kMask)
            mask[l] = o & ~n;
        steps += static_cast<uint64_t>(__builtin_popcountll(o & ~n));
    }
    return steps;
}

uint64_t join(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *r)
{
    return joinLanes<false>(lanes, a, b, r, nullptr);
}

uint64_t joinMask(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask)
{
    return joinLanes<true>(lanes, a, b, r, mask);
}

template <bool kMask>
uint64_t stepRange(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *mask, uint32_t from, uint32_t to)
{
    BitCounter counter;
    uint32_t l = from;
    for (; l + 4 <= to; l += 4) {
        __m256i x = _mm256_and_si256(_mm256_xor_si256(load(a + l), load(b + l)),
                                     _mm256_xor_si256(load(a + lanes + l), load(b + lanes + l)));
        if constexpr (kMask)
            store(mask + l, x);
        counter.add(x);
    }
    uint64_t n = counter.total();
    for (; l < to; l++) {
        uint64_t x = (a[l] ^ b[l]) & (a[lanes + l] ^ b[lanes + l]);
        if constexpr (kMask)
            mask[l] = x;
        n += static_cast<uint64_t>(__builtin_popcountll(x));
    }
    return n;
}

uint64_t steps(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint32_t from, uint32_t to)
{
    return stepRange<false>(lanes, a, b, nullptr, from, to);
}

uint64_t stepMask(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *mask, uint32_t from, uint32_t to)
{
    return stepRange<true>(lanes, a, b, mask, from, to);
}

// As the unordered kernel: chunks of four vectors counted whole, the one
// that passes the budget again word by word.
uint64_t stepsWithin(uint32_t lanes, const uint64_t *a, const uint64_t *b, int64_t budget)
{
    constexpr uint32_t kChunk = 16;
    uint64_t n = 0;
    uint32_t l = 0;
    for (; l + kChunk <= lanes; l += kChunk) {
        uint64_t buf[kChunk];
        BitCounter counter;
        for (uint32_t v = 0; v < kChunk; v += 4) {
            __m256i x = _mm256_and_si256(_mm256_xor_si256(load(a + l + v), load(b + l + v)),
                                         _mm256_xor_si256(load(a + lanes + l + v), load(b + lanes + l + v)));
            store(buf + v, x);
            counter.add(x);
        }
        const uint64_t c = counter.total();
        if (static_cast<int64_t>(n + c) <= budget) {
            n += c;
            continue;
        }
        for (uint32_t w = 0; w < kChunk; w += 2) {
            n += static_cast<uint64_t>(__builtin_popcountll(buf[w]) + __builtin_popcountll(buf[w + 1]));
            if (static_cast<int64_t>(n) > budget)
                return n;
        }
        return n;
    }
    for (; l + 1 < lanes; l += 2) {
        n += static_cast<uint64_t>(__builtin_popcountll((a[l] ^ b[l]) & (a[lanes + l] ^ b[lanes + l])) +
                                   __builtin_popcountll((a[l + 1] ^ b[l + 1]) & (a[lanes + l + 1] ^ b[lanes + l + 1])));
        if (static_cast<int64_t>(n) > budget)
            return n;
    }
    return n;
}

// One packed word (two lanes of D, two of P) at a time: the ordered class
// is rarely wide enough for pairs of words to pay.
int update(uint32_t lanes, const uint64_t *c1, const uint64_t *c2, uint64_t *stored, const uint64_t *above,
           uint64_t *final, uint64_t *dirty)
{
    int changed = 0;
    const uint32_t words = lanes / 2;
    for (uint32_t blk = 0; 64 * blk < words; blk++) {
        uint64_t keep = dirty[blk];
        for (uint64_t bits = keep; bits; bits &= bits - 1) {
            const uint32_t at = static_cast<uint32_t>(__builtin_ctzll(bits));
            const uint32_t l = 2 * (64 * blk + at);
            __m128i o = _mm_or_si128(load128(c1 + l), load128(c2 + l));
            __m128i n = _mm_and_si128(load128(c1 + lanes + l), load128(c2 + lanes + l));
            __m128i rd = _mm_and_si128(o, n), rp = _mm_or_si128(o, n);
            __m128i diff = _mm_or_si128(_mm_xor_si128(rd, load128(stored + l)),
                                        _mm_xor_si128(rp, load128(stored + lanes + l)));
            store128(stored + l, rd);
            store128(stored + lanes + l, rp);
            if (_mm_testz_si128(diff, diff)) {
                keep &= ~(uint64_t{1} << at);
                continue;
            }
            changed = 1;
            __m128i fo = _mm_or_si128(rd, load128(above + l));
            __m128i fn = _mm_and_si128(rp, load128(above + lanes + l));
            store128(final + l, _mm_and_si128(fo, fn));
            store128(final + lanes + l, _mm_or_si128(fo, fn));
        }
        dirty[blk] = keep;
    }
    return changed;
}

constexpr WagKernels kAvx2{"avx2", join, joinMask, steps, stepMask, stepsWithin, update};

}  // namespace
}  // namespace wagavx2

const WagKernels &wagKernelsAvx2() { return wagavx2::kAvx2; }
