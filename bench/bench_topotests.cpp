// The KH, SH and AU tests on stored site log-likelihoods: 50 trees x 5,000
// sites, 10,000 replicates at each of the ten AU scales. The whole LScores
// command with these tests is timed beside IQ-TREE by
// bench/topotests_vs_iqtree.py.
#include <benchmark/benchmark.h>

#include <numeric>
#include <random>
#include <vector>

#include "selection/topotests.h"

namespace {

void BM_TopologyTests(benchmark::State &state)
{
    const auto T = static_cast<size_t>(state.range(0)), N = static_cast<size_t>(state.range(1));
    std::mt19937 rng(46);
    std::normal_distribution<double> base(-4.0, 1.0), noise(0.0, 0.3);
    std::vector<double> common(N);
    for (double &x : common)
        x = base(rng);
    std::vector<std::vector<double>> lnl(T, std::vector<double>(N));
    TopologyTestInput in;
    for (size_t k = 0; k < T; ++k) {
        for (size_t p = 0; p < N; ++p)
            lnl[k][p] = common[p] + noise(rng) - (k == 0 ? 0.0 : 0.002 * static_cast<double>(k));
        in.treeNumbers.push_back(static_cast<uint32_t>(k + 1));
        in.scores.push_back(-std::accumulate(lnl[k].begin(), lnl[k].end(), 0.0));
        in.order.push_back(k);
        if (in.scores[k] < in.scores[in.best])
            in.best = k;
    }
    in.siteLnL = &lnl;
    in.patternCounts.assign(N, 1.0);
    in.sitePatterns.resize(N);
    std::iota(in.sitePatterns.begin(), in.sitePatterns.end(), 0u);
    TopologyTestOptions opt;
    opt.kh = kKHNormal;
    opt.sh = opt.au = true;
    opt.reps = static_cast<uint32_t>(state.range(2));
    opt.seed = makeSeed1(46);
    std::vector<TopologyTestResult> res;
    for (auto _ : state)
        calcTopologyTests(in, opt, res);
    state.counters["AU_P_tree2"] = res[1].auP;
}
BENCHMARK(BM_TopologyTests)->Args({50, 5000, 10000})->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
