// 1,000 bootstrap replicates (heuristic search) on a 50-taxon x 1,000-site
// DNA matrix, the program beside PHYLIP's seqboot + dnapars + consense on the
// same matrix, each a single-threaded process run whole. The matrix is
// simulated under Jukes-Cantor on a caterpillar tree with a fixed seed; the
// program is the vorn binary built beside this benchmark (VORN overrides).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_files.h"

namespace {

constexpr int kTaxa = 50, kSites = 1000, kReps = 1000;

struct Work {
    std::filesystem::path dir;
    bool ok = false;
};

std::vector<std::string> simulate()
{
    std::mt19937 rng(36);
    std::uniform_int_distribution<int> base(0, 3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const char *const bases = "ACGT";
    auto evolve = [&](const std::string &s, double t) {
        const double p = 0.75 * (1.0 - std::exp(-4.0 * t / 3.0));
        std::string r = s;
        for (char &c : r)
            if (u(rng) < p)
                c = bases[base(rng)];
        return r;
    };
    std::string node(kSites, 'A');
    for (char &c : node)
        c = bases[base(rng)];
    std::vector<std::string> seqs;
    for (int t = 0; t < kTaxa; t++) {
        node = evolve(node, 0.02);
        seqs.push_back(evolve(node, 0.05));
    }
    return seqs;
}

const Work &work()
{
    static Work w = [] {
        Work w;
        w.dir = std::filesystem::temp_directory_path() / "vorn_bench_bootstrap";
        std::filesystem::create_directories(w.dir);
        const auto seqs = simulate();
        std::ofstream nex(w.dir / "m.nex"), phy(w.dir / "data.phy");
        nex << "#NEXUS\nbegin data;\ndimensions ntax=" << kTaxa << " nchar=" << kSites
            << ";\nformat datatype=dna;\nmatrix\n";
        phy << kTaxa << ' ' << kSites << '\n';
        for (int t = 0; t < kTaxa; t++) {
            nex << 't' << t + 1 << ' ' << seqs[t] << '\n';
            char name[16];
            std::snprintf(name, sizeof name, "t%-9d", t + 1);
            phy << name << seqs[t] << '\n';
        }
        nex << ";\nend;\nbegin vorn;\nset warntree=no;\nbootstrap nreps=" << kReps
            << " seed=4321 grpfreq=no;\nend;\n";
        w.ok = nex.good() && phy.good();
        return w;
    }();
    return w;
}

void BM_BootstrapVorn(benchmark::State &state)
{
    const Work &w = work();
    const std::string cmd = "cd '" + w.dir.string() + "' && '" + vornBinaryPath() + "' -n m.nex >/dev/null 2>&1";
    for (auto _ : state)
        if (!w.ok || std::system(cmd.c_str()) != 0)
            return state.SkipWithError("vorn bootstrap failed");
    state.counters["reps/s"] = benchmark::Counter(kReps * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BootstrapVorn)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_BootstrapPhylip(benchmark::State &state)
{
    const std::string bin = "/usr/lib/phylip/bin/";
    if (!std::filesystem::exists(bin + "seqboot") || !std::filesystem::exists(bin + "dnapars") ||
        !std::filesystem::exists(bin + "consense"))
        return state.SkipWithError("PHYLIP is not installed");
    const Work &w = work();
    const std::string cmd = "cd '" + w.dir.string() + "' && rm -f infile outfile outtree intree && cp data.phy infile" +
                            " && printf 'R\\n" + std::to_string(kReps) + "\\nY\\n4321\\n' | " + bin +
                            "seqboot >/dev/null && mv outfile infile && printf 'M\\nD\\n" + std::to_string(kReps) +
                            "\\n4321\\n1\\n3\\nY\\n' | " + bin +
                            "dnapars >/dev/null && mv outtree intree && rm -f outfile && printf 'Y\\n' | " + bin +
                            "consense >/dev/null";
    for (auto _ : state)
        if (!w.ok || std::system(cmd.c_str()) != 0)
            return state.SkipWithError("seqboot + dnapars + consense failed");
    state.counters["reps/s"] = benchmark::Counter(kReps * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BootstrapPhylip)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
