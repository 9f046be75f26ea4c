#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "qel/qel_bitfiddling.h"

namespace {

uint32_t naiveCount(uint64_t w)
{
    uint32_t n = 0;
    for (int k = 0; k < 64; k++)
        n += (w >> k) & 1;
    return n;
}

uint32_t naiveLowest(uint64_t w)
{
    for (uint32_t k = 0; k < 64; k++)
        if ((w >> k) & 1)
            return k;
    return 0xFFFFFFFFu;
}

uint32_t naiveHighest(uint64_t w)
{
    for (int k = 63; k >= 0; k--)
        if ((w >> k) & 1)
            return static_cast<uint32_t>(k);
    return 0xFFFFFFFFu;
}

// Removal of one bit position, one bit at a time.
uint64_t naiveRemoveBit(uint64_t w, uint32_t p)
{
    uint64_t out = 0;
    uint32_t dst = 0;
    for (uint32_t k = 0; k < 64; k++) {
        if (k == p)
            continue;
        out |= ((w >> k) & 1) << dst;
        dst++;
    }
    return out;
}

// The per-lane mask arithmetic on four 32-bit lanes, as vector code does it.
uint32_t laneMaskCount(VecWord v)
{
    uint32_t lanes[4] = {static_cast<uint32_t>(v.lo), static_cast<uint32_t>(v.lo >> 32),
                         static_cast<uint32_t>(v.hi), static_cast<uint32_t>(v.hi >> 32)};
    uint32_t total = 0;
    for (uint32_t x : lanes) {
        x = (x & 0x55555555u) + ((x >> 1) & 0x55555555u);
        x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
        x = (x & 0x0F0F0F0Fu) + ((x >> 4) & 0x0F0F0F0Fu);
        x = x + (x >> 8);
        x = x + (x >> 16);
        total += x & 0x3F;
    }
    return total;
}

// Random words with a spread of densities, so sparse and dense words and
// single bits near both ends all occur.
uint64_t randomWord(std::mt19937_64 &rng)
{
    uint64_t w = rng();
    switch (rng() % 5) {
    case 0: return w & rng() & rng();
    case 1: return w | rng() | rng();
    case 2: return UINT64_C(1) << (rng() % 64);
    case 3: return 0;
    default: return w;
    }
}

TEST(BitFiddling, ByteTableCountsBits)
{
    for (unsigned b = 0; b < 256; b++)
        EXPECT_EQ(nbitsTable[b], naiveCount(b)) << b;
}

TEST(BitFiddling, WordOperationsAgreeWithBitLoops)
{
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 20000; i++) {
        uint64_t w = randomWord(rng);
        ASSERT_EQ(bitCount(w), naiveCount(w)) << std::hex << w;
        ASSERT_EQ(getLowestBit(w), naiveLowest(w)) << std::hex << w;
        ASSERT_EQ(getHighestBit(w), naiveHighest(w)) << std::hex << w;
        uint32_t byteSum = 0;
        for (int k = 0; k < 8; k++)
            byteSum += nbitsTable[(w >> (8 * k)) & 0xFF];
        ASSERT_EQ(bitCount(w), byteSum);
    }
}

TEST(BitFiddling, WordEdgeCases)
{
    EXPECT_EQ(getLowestBit(UINT64_C(0x8000000000000000)), 63u);
    EXPECT_EQ(getHighestBit(1), 0u);
    EXPECT_EQ(getLowestBit(0), 0xFFFFFFFFu);
    EXPECT_EQ(getHighestBit(0), 0xFFFFFFFFu);
    EXPECT_EQ(bitCount(~UINT64_C(0)), 64u);
    EXPECT_EQ(bitCount(0), 0u);
}

TEST(BitFiddling, VectorWordOperationsAgreeWithReferences)
{
    std::mt19937_64 rng(77);
    for (int i = 0; i < 20000; i++) {
        VecWord v{randomWord(rng), randomWord(rng)};
        uint32_t expectCount = naiveCount(v.lo) + naiveCount(v.hi);
        ASSERT_EQ(vBitCount(v), expectCount);
        ASSERT_EQ(laneMaskCount(v), expectCount);
        uint32_t lowest = v.lo ? naiveLowest(v.lo) : v.hi ? 64 + naiveLowest(v.hi) : 0xFFFFFFFFu;
        uint32_t highest = v.hi ? 64 + naiveHighest(v.hi) : naiveHighest(v.lo);
        ASSERT_EQ(getLowestVBit(v), lowest);
        ASSERT_EQ(getHighestVBit(v), highest);
    }
}

TEST(BitFiddling, VectorWordEdgeCases)
{
    VecWord full{~UINT64_C(0), ~UINT64_C(0)};
    EXPECT_EQ(vBitCount(full), 128u);
    EXPECT_EQ(getLowestVBit(full), 0u);
    EXPECT_EQ(getHighestVBit(full), 127u);
    VecWord highHalfBit0{0, 1};
    EXPECT_EQ(getHighestVBit(highHalfBit0), 64u);
    EXPECT_EQ(getLowestVBit(highHalfBit0), 64u);
    VecWord zero{0, 0};
    EXPECT_EQ(vBitCount(zero), 0u);
    EXPECT_EQ(getLowestVBit(zero), 0xFFFFFFFFu);
    EXPECT_EQ(getHighestVBit(zero), 0xFFFFFFFFu);
}

#if defined(__SSE2__)
TEST(BitFiddling, SseRegistersReadLowHalfFirst)
{
    __m128i v = _mm_set_epi64x(INT64_C(1) << 5, INT64_C(3));  // high, low
    EXPECT_EQ(vBitCount(v), 3u);
    EXPECT_EQ(getLowestVBit(v), 0u);
    EXPECT_EQ(getHighestVBit(v), 69u);
}
#endif

TEST(BitFiddling, BulkCountMatchesSumOfWordCounts)
{
    std::mt19937_64 rng(4242);
    std::vector<VecWord> words(1000);
    for (auto &w : words)
        w = VecWord{randomWord(rng), randomWord(rng)};
    for (uint64_t n : {0u, 1u, 2u, 7u, 1000u}) {
        uint64_t expect = 0;
        for (uint64_t i = 0; i < n; i++)
            expect += naiveCount(words[i].lo) + naiveCount(words[i].hi);
        EXPECT_EQ(vBitCountNwd(words.data(), n), expect) << n;
    }
    EXPECT_EQ(vBitCountNwd(static_cast<const VecWord *>(nullptr), 0), 0u);
}

TEST(BitFiddling, ShiftBitsRight1RemovesOnePosition)
{
    EXPECT_EQ(shiftBitsRight1(0b1011, 1), UINT64_C(0b101));
    EXPECT_EQ(shiftBitsRight1(0b1011, 0), UINT64_C(0b1011));
    EXPECT_EQ(shiftBitsRight1(~UINT64_C(0), 63), ~UINT64_C(0) >> 1);
    EXPECT_EQ(shiftBitsRight1(0xF0, 64), UINT64_C(0xF0));

    std::mt19937_64 rng(99);
    for (int i = 0; i < 20000; i++) {
        uint64_t w = randomWord(rng);
        uint32_t p = 1 + static_cast<uint32_t>(rng() % 63);
        ASSERT_EQ(shiftBitsRight1(w, p), naiveRemoveBit(w, p)) << std::hex << w << " " << p;
    }
}

}  // namespace
