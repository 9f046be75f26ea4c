// Operations on 64-bit words and 128-bit vector words: lowest and highest set
// bit, population counts and the removal of one bit position. Parsimony keeps
// state sets in such words and counts changes with these, so the single-word
// operations are inline.
#pragma once

#include <array>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qel_detail {
constexpr std::array<uint8_t, 256> makeNbitsTable()
{
    std::array<uint8_t, 256> table{};
    for (unsigned b = 1; b < 256; b++)
        table[b] = static_cast<uint8_t>((b & 1) + table[b >> 1]);
    return table;
}
}  // namespace qel_detail

// Entry b is the number of set bits of the byte value b.
inline constexpr std::array<uint8_t, 256> nbitsTable = qel_detail::makeNbitsTable();

// A 128-bit vector word, low half first: bit k is bit k of `lo` for k < 64
// and bit k-64 of `hi` otherwise. Aligned so that arrays of them can be
// loaded as SSE registers.
struct alignas(16) VecWord {
    uint64_t lo;
    uint64_t hi;
};

// Returned by the bit-index queries for a word with no bit set.
inline constexpr uint32_t kNoBitSet = 0xFFFFFFFFu;

namespace qel_detail {

// Without the popcnt instruction the compiler's builtin becomes a library
// call that is several times slower than this inline bit-slice sum; both give
// the same count, so the choice is only about speed.
inline uint32_t popcount64(uint64_t x)
{
#if defined(__POPCNT__)
    return static_cast<uint32_t>(__builtin_popcountll(x));
#else
    x = x - ((x >> 1) & 0x5555555555555555ULL);
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<uint32_t>((x * 0x0101010101010101ULL) >> 56);
#endif
}

}  // namespace qel_detail

inline uint32_t getLowestBit(uint64_t word)
{
    return word ? static_cast<uint32_t>(__builtin_ctzll(word)) : kNoBitSet;
}

inline uint32_t getHighestBit(uint64_t word)
{
    return word ? 63u - static_cast<uint32_t>(__builtin_clzll(word)) : kNoBitSet;
}

inline uint32_t bitCount(uint64_t word) { return qel_detail::popcount64(word); }

inline uint32_t vBitCount(VecWord word)
{
    return qel_detail::popcount64(word.lo) + qel_detail::popcount64(word.hi);
}

inline uint32_t getLowestVBit(VecWord word)
{
    if (word.lo)
        return getLowestBit(word.lo);
    return word.hi ? 64u + getLowestBit(word.hi) : kNoBitSet;
}

inline uint32_t getHighestVBit(VecWord word)
{
    if (word.hi)
        return 64u + getHighestBit(word.hi);
    return getHighestBit(word.lo);
}

// Removes bit position `position`: the bits below it stay, the bits above it
// move down by one. Position 0 leaves the word as it is, and so does a
// position past the word.
inline uint64_t shiftBitsRight1(uint64_t word, uint32_t position)
{
    if (position == 0 || position > 63)
        return word;
    uint64_t below = word & ((UINT64_C(1) << position) - 1);
    // position + 1 may be 64, which a single shift may not do.
    uint64_t above = (word >> position) >> 1;
    return below | (above << position);
}

// Sum of the counts of n vector words; 0 for n 0.
uint64_t vBitCountNwd(const VecWord *words, uint64_t n);

#if defined(__SSE2__)
inline VecWord toVecWord(__m128i v)
{
    VecWord w;
    _mm_store_si128(reinterpret_cast<__m128i *>(&w), v);
    return w;
}
inline uint32_t vBitCount(__m128i v) { return vBitCount(toVecWord(v)); }
inline uint32_t getLowestVBit(__m128i v) { return getLowestVBit(toVecWord(v)); }
inline uint32_t getHighestVBit(__m128i v) { return getHighestVBit(toVecWord(v)); }
inline uint64_t vBitCountNwd(const __m128i *words, uint64_t n)
{
    return vBitCountNwd(reinterpret_cast<const VecWord *>(words), n);
}
#endif

// Bit words have no text form; these return null.
const char *bitVecToString(const uint64_t *words, uint32_t nWords);
const char *bitsToString(uint64_t word);
const char *lowBitsToString(uint64_t word, uint32_t nBits);
const char *stateSetToString(uint64_t stateSet);
const char *vBitsToString(VecWord word);
