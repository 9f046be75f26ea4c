// Permute: 100 PTP replicates (heuristic search each) on a 50-taxon x
// 500-site DNA matrix simulated under Jukes-Cantor on a caterpillar tree
// with a fixed seed, the vorn binary built beside this benchmark run whole
// (VORN overrides). No Debian program runs this test, so there is no peer.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_files.h"

namespace {

constexpr int kTaxa = 50, kSites = 500, kReps = 100;

std::filesystem::path makeWork()
{
    const auto dir = std::filesystem::temp_directory_path() / "vorn_bench_permute";
    std::filesystem::create_directories(dir);
    std::mt19937 rng(41);
    std::uniform_int_distribution<int> base(0, 3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const char *const bases = "ACGT";
    auto evolve = [&](std::string s, double t) {
        const double p = 0.75 * (1.0 - std::exp(-4.0 * t / 3.0));
        for (char &c : s)
            if (u(rng) < p)
                c = bases[base(rng)];
        return s;
    };
    std::string node(kSites, 'A');
    for (char &c : node)
        c = bases[base(rng)];
    std::ofstream nex(dir / "m.nex");
    nex << "#NEXUS\nbegin data;\ndimensions ntax=" << kTaxa << " nchar=" << kSites
        << ";\nformat datatype=dna;\nmatrix\n";
    for (int t = 0; t < kTaxa; t++) {
        node = evolve(node, 0.02);
        nex << 't' << t + 1 << ' ' << evolve(node, 0.05) << '\n';
    }
    nex << ";\nend;\nbegin vorn;\nset warntree=no;\npermute test=ptp nreps=" << kReps << " pseed=4321;\nquit;\nend;\n";
    return nex.good() ? dir : std::filesystem::path();
}

void BM_PermutePTP(benchmark::State &state)
{
    static const std::filesystem::path dir = makeWork();
    const std::string cmd = "cd '" + dir.string() + "' && '" + vornBinaryPath() + "' -n m.nex >/dev/null 2>&1";
    for (auto _ : state)
        if (dir.empty() || std::system(cmd.c_str()) != 0)
            return state.SkipWithError("vorn permute failed");
    state.counters["reps/s"] = benchmark::Counter(kReps * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PermutePTP)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
