#include <benchmark/benchmark.h>

#include <cstdint>

#include "qel/qel_random.h"

namespace {

// Raw draws per second: items/s in the report.
void drawRaw(benchmark::State &st, bool legacy)
{
    RNG r{};
    if (legacy)
        initRNG_Legacy(&r, makeSeed1(12345));
    else
        initRNG_KISS(&r, makeSeed1(12345));
    uint32_t acc = 0;
    for (auto _ : st) {
        for (int i = 0; i < 1024; ++i)
            acc += randUniRaw(&r);
    }
    benchmark::DoNotOptimize(acc);
    st.SetItemsProcessed(st.iterations() * 1024);
}

void BM_RandUniRaw_KISS(benchmark::State &st) { drawRaw(st, false); }
void BM_RandUniRaw_Legacy(benchmark::State &st) { drawRaw(st, true); }

void BM_RandExponential(benchmark::State &st)
{
    RNG r{};
    initRNG_KISS(&r, makeSeed1(777));
    const bool zig = st.range(0) != 0;
    double acc = 0;
    for (auto _ : st) {
        for (int i = 0; i < 1024; ++i)
            acc += randExponential(&r, zig, 1.0);
    }
    benchmark::DoNotOptimize(acc);
    st.SetItemsProcessed(st.iterations() * 1024);
    st.SetLabel(zig ? "ziggurat" : "inversion");
}

}  // namespace

BENCHMARK(BM_RandUniRaw_KISS);
BENCHMARK(BM_RandUniRaw_Legacy);
BENCHMARK(BM_RandExponential)->Arg(0)->Arg(1);
