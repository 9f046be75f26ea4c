// Neighbor-joining and BioNJ trees of random 1,000- and 2,000-taxon
// matrices beside quicktree on the same matrix written as a PHYLIP file
// (skipped where quicktree is not installed). quicktree's time is its whole
// run, reading the file included; ours starts from the matrix in memory
// and includes loading it into the work record.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "distance/nj.h"
#include "trees/treeutil.h"

namespace {

constexpr const char *kQuicktree = "/usr/bin/quicktree";

struct RandomMatrix {
    std::vector<double> half;
    std::vector<const double *> rows;
    std::string phylipFile;
    RandomMatrix() = default;
    RandomMatrix(const RandomMatrix &) = delete;
    RandomMatrix &operator=(const RandomMatrix &) = delete;
    ~RandomMatrix()
    {
        std::error_code ec;
        if (!phylipFile.empty())
            std::filesystem::remove(phylipFile, ec);
    }
};

const RandomMatrix &matrix(uint32_t n)
{
    static std::map<uint32_t, RandomMatrix> made;
    auto [it, fresh] = made.try_emplace(n);
    RandomMatrix &m = it->second;
    if (!fresh)
        return m;
    std::mt19937 rng(n);
    std::uniform_real_distribution<double> value(0.05, 1.0);
    m.half.resize(size_t{n} * (n - 1) / 2 + 1);
    m.rows.resize(n);
    for (uint32_t a = 0, k = 0; a < n; k += a, ++a)
        m.rows[a] = m.half.data() + k;
    for (uint32_t a = 1; a < n; ++a)
        for (uint32_t b = 0; b < a; ++b)
            const_cast<double *>(m.rows[a])[b] = value(rng);
    m.phylipFile = "/tmp/vorn_nj_bench_";
    m.phylipFile += std::to_string(n);
    m.phylipFile += "_";
    m.phylipFile += std::to_string(getpid());
    m.phylipFile += ".phy";
    std::ofstream out(m.phylipFile);
    out << n << "\n";
    char cell[32];
    for (uint32_t a = 0; a < n; ++a) {
        std::string label = "t" + std::to_string(a + 1);
        label.resize(10, ' ');
        out << label;
        for (uint32_t b = 0; b < n; ++b) {
            const double d = a == b ? 0.0 : a > b ? m.rows[a][b] : m.rows[b][a];
            std::snprintf(cell, sizeof cell, " %.10f", d);
            out << cell;
        }
        out << "\n";
    }
    return m;
}

void BM_NeighborJoining(benchmark::State &state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    const bool bioNJ = state.range(1) != 0;
    const RandomMatrix &m = matrix(n);
    TreeHandle tree(createTreeForTaxa(n, n, false));
    ClustData *cd = createClustData(nullptr, tree.get(), false, n, true, bioNJ);
    for (auto _ : state) {
        loadClustMatrix(cd, m.rows.data(), n, nullptr);
        if (njCluster(cd, bioNJ, nullptr) != 0)
            state.SkipWithError("clustering failed");
    }
    destroyClustData(cd);
    state.SetLabel(bioNJ ? "BioNJ" : "NJ");
}

BENCHMARK(BM_NeighborJoining)
    ->Args({1000, 0})
    ->Args({2000, 0})
    ->Args({1000, 1})
    ->Args({2000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

void BM_QuicktreeNeighborJoining(benchmark::State &state)
{
    if (access(kQuicktree, X_OK) != 0) {
        state.SkipWithError("quicktree is not installed");
        return;
    }
    const auto n = static_cast<uint32_t>(state.range(0));
    const std::string cmd = std::string(kQuicktree) + " -in m -out t " + matrix(n).phylipFile + " > /dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("quicktree failed");
    state.SetLabel("quicktree, reading included");
}

BENCHMARK(BM_QuicktreeNeighborJoining)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
