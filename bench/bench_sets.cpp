#include <benchmark/benchmark.h>

#include <random>

#include "qel/qel_sets.h"

namespace {

// Two random half-full sets of the benchmark's capacity; fixed seed.
struct SetPairFixture {
    Set *a, *b, *r;
    explicit SetPairFixture(uint32_t capacity)
    {
        std::mt19937 rng(12345);
        a = allocSet(capacity);
        b = allocSet(capacity);
        r = allocSet(capacity);
        for (uint32_t m = 0; m < capacity; m++) {
            if (rng() & 1)
                addSetMember(a, m);
            if (rng() & 1)
                addSetMember(b, m);
        }
    }
    ~SetPairFixture()
    {
        deallocSet(a);
        deallocSet(b);
        deallocSet(r);
    }
};

void BM_SetUnion(benchmark::State &state)
{
    SetPairFixture f(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(setUnion(f.a, f.b, f.r));
}

void BM_SetIntersection(benchmark::State &state)
{
    SetPairFixture f(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(setIntersection(f.a, f.b, f.r));
}

void BM_SetCard(benchmark::State &state)
{
    SetPairFixture f(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(card(f.a));
        benchmark::ClobberMemory();
    }
}

void BM_SetIterate(benchmark::State &state)
{
    SetPairFixture f(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        uint32_t sum = 0;
        for (uint32_t m = firstSetMember(f.a); m != kSetEnd; m = nextSetMember(f.a))
            sum += m;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * card(f.a));
}

}  // namespace

BENCHMARK(BM_SetUnion)->Arg(64)->Arg(4096);
BENCHMARK(BM_SetIntersection)->Arg(64)->Arg(4096);
BENCHMARK(BM_SetCard)->Arg(64)->Arg(4096);
BENCHMARK(BM_SetIterate)->Arg(64)->Arg(4096);
