// Distance matrices of 800 taxa x 1,000 sites (simulated on a random tree)
// under JC, K2P, LogDet and GTR, beside PHYLIP dnadist computing the
// Jukes-Cantor matrix of the same alignment (skipped where dnadist is not
// installed). dnadist's time is its whole run: reading, computing, writing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

#include "data/data_util.h"
#include "data/patterns.h"
#include "data/taxstat.h"
#include "distance/dcalc.h"
#include "distance/dmatrix.h"

#include "bench_support.h"

namespace {

constexpr uint32_t kTaxa = 800;
constexpr uint32_t kSites = 1000;
constexpr const char *kDnadist = "/usr/lib/phylip/bin/dnadist";

DataInfo *alignment()
{
    static DataInfo *d = [] {
        std::mt19937 rng(2024);
        DataInfo *data = createDnaMatrix(kTaxa, kSites);
        data->dataType = kDataTypeDNA;
        Tree *model = randomBinaryTree(kTaxa, rng);
        simulateOnTree(data, model, rng, kTaxa, kSites, 3);
        destroyTree(model, true);
        setActiveDataInfo(data);
        initTaxStatus(data);
        initializeDataInfo(data);
        return data;
    }();
    setActiveDataInfo(d);
    return d;
}

void BM_DistanceMatrix(benchmark::State &state)
{
    DataInfo *d = alignment();
    const auto type = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        invalidateDistances();
        if (calcDistanceMatrix(d, type, false, true, false, nullptr, &gComputedDistances) != 0)
            state.SkipWithError("distance calculation failed");
    }
    state.SetLabel(distTypeName(type));
    state.counters["pairs"] = double(kTaxa) * (kTaxa - 1) / 2;
    state.counters["undefined"] = gComputedDistances ? gComputedDistances->nUndefined : 0;
}

BENCHMARK(BM_DistanceMatrix)
    ->Arg(kDistJC)
    ->Arg(kDistK2P)
    ->Arg(kDistLogDet)
    ->Arg(kDistGTR)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

void BM_DnadistJukesCantor(benchmark::State &state)
{
    if (access(kDnadist, X_OK) != 0) {
        state.SkipWithError("PHYLIP dnadist is not installed");
        return;
    }
    DataInfo *d = alignment();
    char name[] = "/tmp/vorndnadistXXXXXX";
    const std::string dir = mkdtemp(name) ? name : "";
    {
        std::ofstream infile(dir + "/infile");
        infile << kTaxa << " " << kSites << "\n";
        for (uint32_t t = 0; t < kTaxa; ++t) {
            std::string label = "t" + std::to_string(t + 1);
            label.resize(10, ' ');
            infile << label;
            for (uint32_t c = 0; c < kSites; ++c)
                infile << "ACGT"[getXijRaw(d, static_cast<int32_t>(t), c)];
            infile << "\n";
        }
        std::ofstream(dir + "/answers") << "D\nD\nY\n";
    }
    const std::string cmd = "cd " + dir + " && rm -f outfile && " + kDnadist + " < answers > screen 2>&1";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("dnadist failed");
    std::filesystem::remove_all(dir);
}

BENCHMARK(BM_DnadistJukesCantor)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
