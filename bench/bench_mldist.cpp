// The maximum-likelihood distance matrix of 150 taxa x 2,000 sites simulated
// on a random tree, under HKY+G4 with kappa 4 (ti/tv ratio from the
// empirical frequencies) and shape 0.5. With VORN_BENCH_WRITE=<dir> the
// matrix is written as <dir>/a.phy so that IQ-TREE can be timed on it:
// `iqtree2 -s a.phy -m "HKY{4}+F+G4{0.5}" -nt 1 -t BIONJ` reports the time
// of its "Computing ML distances" line.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "data/data_util.h"
#include "data/patterns.h"
#include "likelihood/activeml.h"
#include "likelihood/infocrit.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mldist.h"
#include "likelihood/mlinit.h"
#include "likelihood/models.h"

namespace {

void BM_MLDistanceMatrix(benchmark::State &state)
{
    const auto ntax = static_cast<uint32_t>(state.range(0));
    const auto nchar = static_cast<uint32_t>(state.range(1));
    std::mt19937 rng(99);
    DataInfo *d = createDnaMatrix(ntax, nchar);
    Tree *tree = randomBinaryTree(ntax, rng);
    simulateOnTree(d, tree, rng, ntax, nchar);
    d->dataType = kDataTypeDNA;
    setActiveDataInfo(d);
    initTaxStatus(d);
    initializeDataInfo(d);
    if (const char *dir = std::getenv("VORN_BENCH_WRITE"))
        if (FILE *f = std::fopen((std::string(dir) + "/a.phy").c_str(), "w")) {
            std::fprintf(f, "%u %u\n", d->ntax, d->nchar);
            for (uint32_t t = 0; t < d->ntax; ++t) {
                std::fprintf(f, "t%-9u ", t + 1);
                for (uint32_t c = 0; c < d->nchar; ++c)
                    std::fputc("ACGT"[d->matrix[t][c] & 3], f);
                std::fputc('\n', f);
            }
            std::fclose(f);
        }
    const LSet saved = ml;
    ml = LSet{};
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.baseFreqMode = kFreqEmpirical;
    ml.userTratio = 2.0;
    ml.rates = 1;
    ml.ncat = 4;
    ml.userGammaShape = 0.5;
    ml.precision = 0;
    ml.clRescale = 1e-20;
    ml.maxBrlen = 10.0;
    ml.maxPass = 20;
    ml.initArbBrLen = 0.1;
    ml.userRateScaler = 1.0;
    ml.initBrLenMethod = kInitBrLenArbitrary;
    setModelEngineReleaser(releaseModelEngine);
    createModelList();
    storeCurrentModel("", d, false);
    if (initializeML(true, false, false, false, tree) != 0)
        state.SkipWithError("initializeML failed");
    // kappa 4 under the empirical frequencies, as IQ-TREE's HKY{4}+F.
    Model *m = firstActiveModel();
    ml.userTratio = convertKtoR(modelEngine(m)->pi.data(), false, 4.0);
    storeCurrentModel("", d, false);
    if (initializeML(true, false, false, false, tree) != 0)
        state.SkipWithError("initializeML failed");
    std::vector<std::vector<double>> store(ntax, std::vector<double>(ntax, 0.0));
    std::vector<double *> rows;
    for (auto &r : store)
        rows.push_back(r.data());
    MLDistanceResult r;
    for (auto _ : state) {
        r = MLDistanceResult{};
        if (calcMLDistances(d, rows.data(), nullptr, false, {}, r) != 0)
            state.SkipWithError("calcMLDistances failed");
    }
    state.counters["largest"] = r.largest;
    disposeML(false);
    invalidateSitePatternData(true);
    destroyModelList();
    ml = saved;
    destroyTree(tree, true);
    setActiveDataInfo(nullptr);
    destroyDataInfo(d);
}
BENCHMARK(BM_MLDistanceMatrix)->Args({150, 2000})->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
