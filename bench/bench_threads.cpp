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
    const auto warm = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    for (int i = 0; i < 1000 && std::chrono::steady_clock::now() < warm; ++i)  // warm the workers up
        startThreadGroup(g);

    // On a loaded machine a pass can wait for the scheduler for
    // milliseconds, so a batch also ends after kBatchTime.
    constexpr int kBatch = 2001;
    constexpr auto kBatchTime = std::chrono::milliseconds(300);
    std::vector<double> us(kBatch);
    std::vector<double> medians;
    int64_t passes = 0;
    for (auto _ : st) {
        const auto end = std::chrono::steady_clock::now() + kBatchTime;
        int k = 0;
        while (k < kBatch && (k < 21 || std::chrono::steady_clock::now() < end)) {
            auto t0 = std::chrono::steady_clock::now();
            startThreadGroup(g);
            auto t1 = std::chrono::steady_clock::now();
            us[k++] = std::chrono::duration<double, std::micro>(t1 - t0).count();
        }
        passes += k;
        std::nth_element(us.begin(), us.begin() + k / 2, us.begin() + k);
        medians.push_back(us[k / 2]);
    }
    std::sort(medians.begin(), medians.end());
    st.counters["median_us_per_pass"] = medians[medians.size() / 2];
    st.SetItemsProcessed(passes);
    destroyThreadGroup(g);
}

}  // namespace

BENCHMARK(BM_ThreadGroupPass)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->MinTime(0.3);
