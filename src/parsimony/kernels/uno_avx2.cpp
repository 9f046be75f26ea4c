// Unordered kernels on 256-bit vectors: four lanes (two packed words) per
// step. This file alone is compiled with AVX2 code generation, so it holds
// the kernels and nothing else, and includes nothing that defines inline
// functions or templates with external linkage (see uno_kernels.h): the bit
// count of the scalar tail is the compiler's builtin, not std::popcount.
//
// The rule is the generic one lane for lane. A vector shift by a count of 64
// or more gives 0, which fills a 64-bit field as the split shift does there.
// When every lane has one width (one data type) the constants stay in
// registers, and with fields of four bits or more the steps are counted by
// adding the step bits nibble-wise instead of a bit count per vector.
#include <immintrin.h>

#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"

namespace unoavx2 {
namespace {

#include "parsimony/kernels/avx2_ops.h"

inline uint64_t emptyFieldsScalar(const UnoLanes &k, uint32_t l, uint64_t i)
{
    uint64_t z = ((i & k.notTop[l]) + k.notTop[l]) | i;
    return (~z >> k.shift[l]) & k.countMask[l];
}

inline uint64_t fillFieldsScalar(uint64_t x, uint64_t shift) { return ((x << shift) << 1) - x; }

inline uint64_t joinLaneScalar(const UnoLanes &k, uint32_t l, uint64_t a, uint64_t b, uint64_t *x)
{
    uint64_t i = a & b;
    *x = emptyFieldsScalar(k, l, i);
    return i | ((a | b) & fillFieldsScalar(*x, k.shift[l]));
}

// The constants of four lanes: broadcast once for one width, else loaded.
template <bool kUniform>
class Fields {
public:
    explicit Fields(const UnoLanes &k) : notTop_(k.notTop), shift_(k.shift)
    {
        if constexpr (kUniform) {
            nt_ = _mm256_set1_epi64x(static_cast<int64_t>(k.notTop[0]));
            sh_ = _mm_cvtsi32_si128(static_cast<int>(k.fieldShift));
            width_ = _mm_cvtsi32_si128(static_cast<int>(k.fieldShift + 1));
        }
    }
    // Lowest bit of each field of lanes l..l+3 whose intersection i is
    // empty, among the counted ones (countMask holds only field low bits, so
    // the bits a shift brings in at the top never survive it).
    __m256i empty(__m256i i, __m256i countMask, uint32_t l) const
    {
        __m256i nt = kUniform ? nt_ : load(notTop_ + l);
        __m256i z = _mm256_or_si256(_mm256_add_epi64(_mm256_and_si256(i, nt), nt), i);
        __m256i zs = kUniform ? _mm256_srl_epi64(z, sh_) : _mm256_srlv_epi64(z, load(shift_ + l));
        return _mm256_andnot_si256(zs, countMask);
    }
    // Every bit of the fields whose lowest bit is in x.
    __m256i fill(__m256i x, uint32_t l) const
    {
        __m256i up = kUniform ? _mm256_sll_epi64(x, width_)
                              : _mm256_slli_epi64(_mm256_sllv_epi64(x, load(shift_ + l)), 1);
        return _mm256_sub_epi64(up, x);
    }

private:
    const uint64_t *notTop_, *shift_;
    __m256i nt_{};
    __m128i sh_{}, width_{};
};

// Lanes [from, to): the join into r (kStore), the step bits into mask
// (kMask), and the steps.
template <bool kUniform, class Counter, bool kStore, bool kMask>
uint64_t joinRange(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask,
                   uint32_t from, uint32_t to)
{
    const Fields<kUniform> f(k);
    const uint64_t *cm = k.countMask;
    Counter counter;
    uint32_t l = from;
    for (; l + 4 <= to; l += 4) {
        __m256i A = load(a + l), B = load(b + l);
        __m256i i = _mm256_and_si256(A, B);
        __m256i x = f.empty(i, load(cm + l), l);
        if constexpr (kStore)
            store(r + l, _mm256_or_si256(i, _mm256_and_si256(_mm256_or_si256(A, B), f.fill(x, l))));
        if constexpr (kMask)
            store(mask + l, x);
        counter.add(x);
    }
    uint64_t steps = counter.total();
    for (; l < to; l++) {
        uint64_t x;
        uint64_t j = joinLaneScalar(k, l, a[l], b[l], &x);
        if constexpr (kStore)
            r[l] = j;
        if constexpr (kMask)
            mask[l] = x;
        steps += static_cast<uint64_t>(__builtin_popcountll(x));
    }
    return steps;
}

template <bool kStore, bool kMask>
uint64_t joinAny(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask,
                 uint32_t from, uint32_t to)
{
    if (from >= to)
        return 0;
    if (k.fieldShift == kMixedWidths)
        return joinRange<false, BitCounter, kStore, kMask>(k, a, b, r, mask, from, to);
    if (k.fieldShift >= 3)
        return joinRange<true, NibbleCounter, kStore, kMask>(k, a, b, r, mask, from, to);
    return joinRange<true, BitCounter, kStore, kMask>(k, a, b, r, mask, from, to);
}

uint64_t join(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r)
{
    return joinAny<true, false>(k, a, b, r, nullptr, 0, k.count);
}

uint64_t joinMask(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask)
{
    return joinAny<true, true>(k, a, b, r, mask, 0, k.count);
}

uint64_t steps(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint32_t from, uint32_t to)
{
    return joinAny<false, false>(k, a, b, nullptr, nullptr, from, to);
}

uint64_t stepMask(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *mask, uint32_t from,
                  uint32_t to)
{
    return joinAny<false, true>(k, a, b, nullptr, mask, from, to);
}

// Chunks of four vectors (eight packed words) are counted whole and tested
// against the budget; only the chunk that passes it is counted again, word
// by word, from its step bits.
constexpr uint32_t kChunkLanes = 16;

template <class Counter>
uint64_t chunkSteps(const __m256i (&x)[kChunkLanes / 4])
{
    Counter counter;
    for (const __m256i &v : x)
        counter.add(v);
    return counter.total();
}

// n plus the steps of chunk x, c of them, up to the word that passes the
// budget (setting *over) or all of them.
inline uint64_t chunkWithin(const __m256i (&x)[kChunkLanes / 4], uint64_t c, uint64_t n, int64_t budget, bool *over)
{
    if (static_cast<int64_t>(n + c) <= budget)
        return n + c;
    *over = true;
    uint64_t buf[kChunkLanes];
    for (uint32_t v = 0; v < kChunkLanes / 4; v++)
        store(buf + 4 * v, x[v]);
    for (uint32_t l = 0;; l += 2) {
        n += static_cast<uint64_t>(__builtin_popcountll(buf[l]) + __builtin_popcountll(buf[l + 1]));
        if (static_cast<int64_t>(n) > budget || l + 2 == kChunkLanes)
            return n;
    }
}

// The words from lane l on, past the vector chunks, added to n one word at
// a time until the count passes the budget (unless it has already).
inline uint64_t tailWithin(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint32_t l, uint64_t n,
                           int64_t budget, bool over)
{
    for (; l + 1 < k.count && !over; l += 2) {
        n += static_cast<uint64_t>(__builtin_popcountll(emptyFieldsScalar(k, l, a[l] & b[l])) +
                                   __builtin_popcountll(emptyFieldsScalar(k, l + 1, a[l + 1] & b[l + 1])));
        over = static_cast<int64_t>(n) > budget;
    }
    return n;
}

template <bool kUniform, class Counter>
uint64_t stepsWithinLanes(const UnoLanes &k, const uint64_t *a, const uint64_t *b, int64_t budget)
{
    const Fields<kUniform> f(k);
    const uint64_t *cm = k.countMask;
    uint64_t n = 0;
    uint32_t l = 0;
    bool over = false;
    for (; l + kChunkLanes <= k.count && !over; l += kChunkLanes) {
        __m256i x[kChunkLanes / 4];
        for (uint32_t v = 0; v < kChunkLanes / 4; v++) {
            const uint32_t at = l + 4 * v;
            x[v] = f.empty(_mm256_and_si256(load(a + at), load(b + at)), load(cm + at), at);
        }
        n = chunkWithin(x, chunkSteps<Counter>(x), n, budget, &over);
    }
    return tailWithin(k, a, b, l, n, budget, over);
}

// Two counts in step, chunk by chunk, until both pass the budget: both
// chunks are summed before either is tested, so the two sums overlap. A
// count that has passed keeps its value while the other goes on.
template <bool kUniform, class Counter>
void stepsWithinPairLanes(const UnoLanes &k, const uint64_t *a, const uint64_t *b0, const uint64_t *b1,
                          int64_t budget, uint64_t *out)
{
    const Fields<kUniform> f(k);
    const uint64_t *cm = k.countMask;
    uint64_t n0 = 0, n1 = 0;
    uint32_t l = 0;
    bool over0 = false, over1 = false;
    for (; l + kChunkLanes <= k.count && !(over0 && over1); l += kChunkLanes) {
        __m256i x0[kChunkLanes / 4], x1[kChunkLanes / 4];
        for (uint32_t v = 0; v < kChunkLanes / 4; v++) {
            const uint32_t at = l + 4 * v;
            const __m256i A = load(a + at), mask = load(cm + at);
            x0[v] = f.empty(_mm256_and_si256(A, load(b0 + at)), mask, at);
            x1[v] = f.empty(_mm256_and_si256(A, load(b1 + at)), mask, at);
        }
        const uint64_t c0 = chunkSteps<Counter>(x0), c1 = chunkSteps<Counter>(x1);
        if (!over0)
            n0 = chunkWithin(x0, c0, n0, budget, &over0);
        if (!over1)
            n1 = chunkWithin(x1, c1, n1, budget, &over1);
    }
    out[0] = tailWithin(k, a, b0, l, n0, budget, over0);
    out[1] = tailWithin(k, a, b1, l, n1, budget, over1);
}

uint64_t noLanesWithin(const UnoLanes &, const uint64_t *, const uint64_t *, int64_t) { return 0; }

UnoStepsWithinFxn stepsWithinFor(const UnoLanes &k)
{
    if (k.count == 0)
        return noLanesWithin;
    if (k.fieldShift == kMixedWidths)
        return stepsWithinLanes<false, BitCounter>;
    if (k.fieldShift >= 3)
        return stepsWithinLanes<true, NibbleCounter>;
    return stepsWithinLanes<true, BitCounter>;
}

uint64_t stepsWithin(const UnoLanes &k, const uint64_t *a, const uint64_t *b, int64_t budget)
{
    return stepsWithinFor(k)(k, a, b, budget);
}

void noLanesWithinPair(const UnoLanes &, const uint64_t *, const uint64_t *, const uint64_t *, int64_t,
                       uint64_t *out)
{
    out[0] = out[1] = 0;
}

UnoStepsWithinPairFxn stepsWithinPairFor(const UnoLanes &k)
{
    if (k.count == 0)
        return noLanesWithinPair;
    if (k.fieldShift == kMixedWidths)
        return stepsWithinPairLanes<false, BitCounter>;
    if (k.fieldShift >= 3)
        return stepsWithinPairLanes<true, NibbleCounter>;
    return stepsWithinPairLanes<true, BitCounter>;
}

// The incremental rule, one 256-bit join per pair of words that holds a
// flagged word. Whether a word's set changed is a coin toss near a cut, so
// no branch depends on it: the flags and the comparison become lane masks
// that choose what is written. Only a lone last word (an odd number of
// words) goes lane by lane.
template <bool kUniform>
inline __m256i joinVec(const Fields<kUniform> &f, const uint64_t *cm, uint32_t l, __m256i A, __m256i B)
{
    __m256i i = _mm256_and_si256(A, B);
    return _mm256_or_si256(i, _mm256_and_si256(_mm256_or_si256(A, B), f.fill(f.empty(i, load(cm + l), l), l)));
}

// The lanes of the words of a pair whose bit is set in `two` (bit 0: the
// first word, bit 1: the second), as a vector mask.
inline __m256i wordPairMask(uint64_t two)
{
    const __m256i sel = _mm256_setr_epi64x(1, 1, 2, 2);
    return _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(static_cast<int64_t>(two)), sel), sel);
}

// The words of the pair at lane l flagged in `flagged` (two bits): their
// stored sets are written; returns which of them changed, whose final sets
// are written too.
template <bool kUniform>
inline uint64_t updatePair(const Fields<kUniform> &f, const uint64_t *cm, uint32_t l, uint64_t flagged,
                           const uint64_t *c1, const uint64_t *c2, uint64_t *stored, const uint64_t *above,
                           uint64_t *final)
{
    const __m256i flagLanes = wordPairMask(flagged);
    const __m256i old = load(stored + l);
    const __m256i r = joinVec(f, cm, l, load(c1 + l), load(c2 + l));
    store(stored + l, _mm256_blendv_epi8(old, r, flagLanes));
    const __m256i differs = _mm256_andnot_si256(_mm256_cmpeq_epi64(r, old), flagLanes);
    const auto lanes = static_cast<uint64_t>(_mm256_movemask_pd(_mm256_castsi256_pd(differs)));
    const uint64_t two = ((lanes | (lanes >> 1)) & 1) | (((lanes >> 2) | (lanes >> 3)) & 1) << 1;
    const __m256i fin = joinVec(f, cm, l, r, load(above + l));
    store(final + l, _mm256_blendv_epi8(load(final + l), fin, wordPairMask(two)));
    return two;
}

template <bool kUniform>
int updateWords(const UnoLanes &k, const uint64_t *c1, const uint64_t *c2, uint64_t *stored, const uint64_t *above,
                uint64_t *final, uint64_t *dirty)
{
    const Fields<kUniform> f(k);
    const uint32_t words = k.count / 2;
    uint64_t changed = 0;
    for (uint32_t blk = 0; 64 * blk < words; blk++) {
        const uint64_t bits = dirty[blk];
        const uint32_t inBlock = words - 64 * blk < 64 ? words - 64 * blk : 64;
        // Bit 2p for each whole pair p with a flagged word.
        const uint64_t wholePairs = inBlock == 64 ? ~uint64_t{0} : (uint64_t{1} << (inBlock & ~1u)) - 1;
        uint64_t pairs = (bits | (bits >> 1)) & 0x5555555555555555u & wholePairs;
        uint64_t keep = bits & ~wholePairs;
        while (pairs) {
            const uint32_t at = static_cast<uint32_t>(__builtin_ctzll(pairs));
            pairs &= pairs - 1;
            keep |= updatePair(f, k.countMask, 128 * blk + 2 * at, (bits >> at) & 3, c1, c2, stored, above, final)
                    << at;
        }
        if (keep & ~wholePairs) {
            // The lone last word.
            const uint32_t l = 128 * blk + 2 * (inBlock - 1);
            uint64_t x0, x1;
            const uint64_t r0 = joinLaneScalar(k, l, c1[l], c2[l], &x0);
            const uint64_t r1 = joinLaneScalar(k, l + 1, c1[l + 1], c2[l + 1], &x1);
            const bool same = r0 == stored[l] && r1 == stored[l + 1];
            stored[l] = r0;
            stored[l + 1] = r1;
            if (same) {
                keep &= wholePairs;
            } else {
                final[l] = joinLaneScalar(k, l, r0, above[l], &x0);
                final[l + 1] = joinLaneScalar(k, l + 1, r1, above[l + 1], &x1);
            }
        }
        changed |= keep;
        dirty[blk] = keep;
    }
    return changed != 0;
}

int update(const UnoLanes &k, const uint64_t *c1, const uint64_t *c2, uint64_t *stored, const uint64_t *above,
           uint64_t *final, uint64_t *dirty)
{
    if (k.count == 0)
        return 0;
    if (k.fieldShift == kMixedWidths)
        return updateWords<false>(k, c1, c2, stored, above, final, dirty);
    return updateWords<true>(k, c1, c2, stored, above, final, dirty);
}

constexpr UnoKernels kAvx2{"avx2", join,   joinMask, steps, stepMask, stepsWithin, stepsWithinFor,
                           update, stepsWithinPairFor};

}  // namespace
}  // namespace unoavx2

const UnoKernels &unoKernelsAvx2() { return unoavx2::kAvx2; }
