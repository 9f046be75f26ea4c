// Quartet puzzling, quartets resolved per second with exact likelihoods
// (the three trees of each quartet scored with their branch lengths
// optimised), the program beside TREE-PUZZLE on the same data, each a
// single-threaded process. A 60-taxon x 1,000-site DNA matrix is simulated
// under Jukes-Cantor with a fixed seed; both programs resolve the quartets
// of its first 12 taxa (495 quartets; all 60 would take TREE-PUZZLE days),
// under JC and under HKY+G4 with fixed parameters. The rate is
// 494 / (time with 12 taxa - time with 4 taxa), so that reading the data,
// the puzzling steps and the final tree of either program do not count.
#include <benchmark/benchmark.h>

#include <chrono>
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

constexpr int kTaxa = 60, kSites = 1000, kSubset = 12;
constexpr double kQuartets = kSubset * (kSubset - 1) * (kSubset - 2) * (kSubset - 3) / 24.0;

struct Work {
    std::filesystem::path dir;
    bool ok = false;
};

std::vector<std::string> simulate()
{
    std::mt19937 rng(60);
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
    // Taxa hang in random order from a path of short internal edges.
    std::string node(kSites, 'A');
    for (char &c : node)
        c = bases[base(rng)];
    std::vector<std::string> seqs;
    for (int t = 0; t < kTaxa; t++) {
        node = evolve(node, 0.03);
        seqs.push_back(evolve(node, 0.08));
    }
    std::shuffle(seqs.begin(), seqs.end(), rng);
    return seqs;
}

void writePhylip(const std::filesystem::path &path, const std::vector<std::string> &seqs, int ntax)
{
    std::ofstream phy(path);
    phy << ntax << ' ' << kSites << '\n';
    for (int t = 0; t < ntax; t++) {
        char name[16];
        std::snprintf(name, sizeof name, "t%-9d", t + 1);
        phy << name << seqs[t] << '\n';
    }
}

const Work &work()
{
    static Work w = [] {
        Work w;
        w.dir = std::filesystem::temp_directory_path() / "vorn_bench_puzzle";
        std::filesystem::create_directories(w.dir / "tp12");
        std::filesystem::create_directories(w.dir / "tp4");
        const auto seqs = simulate();
        std::ofstream nex(w.dir / "m.nex");
        nex << "#NEXUS\nbegin data;\ndimensions ntax=" << kTaxa << " nchar=" << kSites
            << ";\nformat datatype=dna;\nmatrix\n";
        for (int t = 0; t < kTaxa; t++)
            nex << 't' << t + 1 << ' ' << seqs[t] << '\n';
        nex << ";\nend;\n";
        writePhylip(w.dir / "tp12" / "infile", seqs, kSubset);
        writePhylip(w.dir / "tp4" / "infile", seqs, 4);
        w.ok = nex.good();
        return w;
    }();
    return w;
}

const char *const kVornModels[] = {"nst=1 basefreq=equal rates=equal",
                                   "nst=2 tratio=2 basefreq=equal rates=gamma shape=0.5 ncat=4"};
// TREE-PUZZLE's menu: exact quartet likelihoods, fixed ts/tv parameter and
// equal frequencies, then for HKY+G4 gamma rates with alpha 0.5 and 4 rates.
const char *const kPeerKeys[] = {"v\\nt\\n0.5\\nf\\n25\\n25\\n25\\ny\\n",
                                 "v\\nt\\n2\\nf\\n25\\n25\\n25\\nw\\na\\n0.5\\nc\\n4\\ny\\n"};

double timeCommand(const std::string &cmd, bool *ok)
{
    const auto t0 = std::chrono::steady_clock::now();
    *ok = *ok && std::system(cmd.c_str()) == 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// range(0): 0 JC, 1 HKY+G4.
void BM_PuzzleQuartetsVorn(benchmark::State &state)
{
    const Work &w = work();
    const int model = static_cast<int>(state.range(0));
    bool ok = w.ok;
    for (int ntax : {kSubset, 4}) {
        std::ofstream cmds(w.dir / ("run" + std::to_string(ntax) + ".nex"));
        cmds << "#NEXUS\nexecute m.nex;\nbegin vorn;\nset warntree=no criterion=likelihood;\ndelete " << ntax + 1
             << "-" << kTaxa << ";\nlset nthreads=1 " << kVornModels[model]
             << ";\npuzzle useApproxLim=no nPuzzles=1 seed=1 showTree=no grpFreq=no;\nend;\n";
    }
    const std::string run = "cd '" + w.dir.string() + "' && '" + vornBinaryPath() + "' -n run";
    for (auto _ : state) {
        // The exit status says whether unsaved trees were left, not whether
        // the run worked: its output does.
        const std::string found = " >out.txt 2>&1; grep -q 'Tree found by quartet-puzzling' out.txt";
        const double all = timeCommand(run + std::to_string(kSubset) + ".nex" + found, &ok);
        const double base = timeCommand(run + "4.nex" + found, &ok);
        if (!ok)
            return state.SkipWithError("vorn puzzle failed");
        state.SetIterationTime(all - base);
    }
    state.counters["quartets/s"] =
        benchmark::Counter((kQuartets - 1) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PuzzleQuartetsVorn)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_PuzzleQuartetsTreePuzzle(benchmark::State &state)
{
    if (std::system("command -v tree-puzzle >/dev/null 2>&1") != 0)
        return state.SkipWithError("tree-puzzle is not installed");
    const Work &w = work();
    const int model = static_cast<int>(state.range(0));
    bool ok = w.ok;
    auto run = [&](const char *sub) {
        return "cd '" + (w.dir / sub).string() + "' && rm -f infile.* && printf '" + kPeerKeys[model] +
               "' | tree-puzzle infile >/dev/null 2>&1";
    };
    for (auto _ : state) {
        const double all = timeCommand(run("tp12"), &ok);
        const double base = timeCommand(run("tp4"), &ok);
        if (!ok)
            return state.SkipWithError("tree-puzzle failed");
        state.SetIterationTime(all - base);
    }
    state.counters["quartets/s"] =
        benchmark::Counter((kQuartets - 1) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PuzzleQuartetsTreePuzzle)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
