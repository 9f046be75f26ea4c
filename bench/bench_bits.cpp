#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "qel/qel_bitfiddling.h"

namespace {

constexpr size_t kWords = 1000000;

const std::vector<VecWord> &vectorWords()
{
    static const std::vector<VecWord> words = [] {
        std::mt19937_64 rng(12345);
        std::vector<VecWord> w(kWords);
        for (auto &v : w)
            v = VecWord{rng(), rng()};
        return w;
    }();
    return words;
}

const std::vector<uint64_t> &plainWords()
{
    static const std::vector<uint64_t> words = [] {
        std::mt19937_64 rng(54321);
        std::vector<uint64_t> w(kWords);
        for (auto &v : w)
            v = rng();
        return w;
    }();
    return words;
}

// The inline single-word count, as a scoring loop calls it word by word.
void BM_vBitCount(benchmark::State &state)
{
    const auto &words = vectorWords();
    for (auto _ : state) {
        uint64_t total = 0;
        for (const VecWord &w : words)
            total += vBitCount(w);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kWords));
}
BENCHMARK(BM_vBitCount);

// The bulk count, which picks the popcnt instruction at load time.
void BM_vBitCountNwd(benchmark::State &state)
{
    const auto &words = vectorWords();
    for (auto _ : state)
        benchmark::DoNotOptimize(vBitCountNwd(words.data(), words.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kWords));
}
BENCHMARK(BM_vBitCountNwd);

// For comparison: the per-lane mask arithmetic on four 32-bit lanes.
void BM_vBitCountLaneMasks(benchmark::State &state)
{
    const auto &words = vectorWords();
    for (auto _ : state) {
        uint64_t total = 0;
        for (const VecWord &w : words) {
            uint32_t lanes[4] = {static_cast<uint32_t>(w.lo), static_cast<uint32_t>(w.lo >> 32),
                                 static_cast<uint32_t>(w.hi), static_cast<uint32_t>(w.hi >> 32)};
            for (uint32_t x : lanes) {
                x = (x & 0x55555555u) + ((x >> 1) & 0x55555555u);
                x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
                x = (x & 0x0F0F0F0Fu) + ((x >> 4) & 0x0F0F0F0Fu);
                x += x >> 8;
                x += x >> 16;
                total += x & 0x3F;
            }
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kWords));
}
BENCHMARK(BM_vBitCountLaneMasks);

void BM_bitCount(benchmark::State &state)
{
    const auto &words = plainWords();
    for (auto _ : state) {
        uint64_t total = 0;
        for (uint64_t w : words)
            total += bitCount(w);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kWords));
}
BENCHMARK(BM_bitCount);

// For comparison: the byte-table sum.
void BM_bitCountByteTable(benchmark::State &state)
{
    const auto &words = plainWords();
    for (auto _ : state) {
        uint64_t total = 0;
        for (uint64_t w : words)
            for (int k = 0; k < 8; k++)
                total += nbitsTable[(w >> (8 * k)) & 0xFF];
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kWords));
}
BENCHMARK(BM_bitCountByteTable);

void BM_getLowestBit(benchmark::State &state)
{
    const auto &words = plainWords();
    for (auto _ : state) {
        uint64_t total = 0;
        for (uint64_t w : words)
            total += getLowestBit(w);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kWords));
}
BENCHMARK(BM_getLowestBit);

void BM_shiftBitsRight1(benchmark::State &state)
{
    const auto &words = plainWords();
    for (auto _ : state) {
        uint64_t acc = 0;
        uint32_t p = 1;
        for (uint64_t w : words) {
            acc ^= shiftBitsRight1(w, p);
            p = (p & 63) + 1;
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kWords));
}
BENCHMARK(BM_shiftBitsRight1);

}  // namespace
