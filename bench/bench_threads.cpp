#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "qel/qel_multithread.h"

namespace {

void touchSlice(uint32_t i, void *, void *perThreadData) { *static_cast<uint64_t *>(perThreadData) += i + 1; }

// Latency of one pass of a group whose tasks do almost nothing: the cost of
// the two barriers. Each benchmark iteration times a batch of passes one by
// one and reports their median in microseconds.
void BM_ThreadGroupPass(benchmark::State &st)
{
    const auto n = static_cast<int32_t>(st.range(0));
    if (n > availableProcessors()) {
        st.SkipWithError("more threads than processors");
        return;
    }
    ThreadGroup *g = createThreadGroup(n, nullptr, 64);
    if (g == nullptr) {
        st.SkipWithError("group not created");
        return;
    }
    for (int32_t i = 0; i < n; ++i)
        setMThreadTaskFunction(g, i, touchSlice);
    for (int i = 0; i < 1000; ++i)  // warm the workers up
        startThreadGroup(g);

    constexpr int kBatch = 2001;
    std::vector<double> us(kBatch);
    std::vector<double> medians;
    for (auto _ : st) {
        for (int k = 0; k < kBatch; ++k) {
            auto t0 = std::chrono::steady_clock::now();
            startThreadGroup(g);
            auto t1 = std::chrono::steady_clock::now();
            us[k] = std::chrono::duration<double, std::micro>(t1 - t0).count();
        }
        std::nth_element(us.begin(), us.begin() + kBatch / 2, us.end());
        medians.push_back(us[kBatch / 2]);
    }
    std::sort(medians.begin(), medians.end());
    st.counters["median_us_per_pass"] = medians[medians.size() / 2];
    st.SetItemsProcessed(st.iterations() * kBatch);
    destroyThreadGroup(g);
}

}  // namespace

BENCHMARK(BM_ThreadGroupPass)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->MinTime(0.3);
