// DISTANCES block reader throughput: a full (both triangles) matrix of 2,000
// taxa, about 40 MB of text written to a temporary file on first use, read
// through the block reader into the user distance matrix. Counter: MB/s of
// file text.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/parminit.h"
#include "bench_files.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "distance/dmatrix.h"
#include "distance/userdist.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"

namespace {

constexpr int kTaxa = 2000;

// Distances with eight decimals, symmetric, one row per line as programs
// that write distance matrices lay them out.
void writeDistances(FILE *f)
{
    std::mt19937 rng(20241207);
    std::uniform_real_distribution<double> u(0.01, 0.99);
    std::vector<double> m(size_t{kTaxa} * kTaxa, 0.0);
    for (int i = 1; i < kTaxa; ++i)
        for (int j = 0; j < i; ++j)
            m[size_t(i) * kTaxa + j] = m[size_t(j) * kTaxa + i] = u(rng);
    std::fprintf(f, "#NEXUS\nbegin distances;\n\tdimensions ntax=%d;\n\tformat triangle=both;\n\tmatrix\n", kTaxa);
    for (int i = 0; i < kTaxa; ++i) {
        std::fprintf(f, "Taxon_%04d", i);
        for (int j = 0; j < kTaxa; ++j)
            std::fprintf(f, " %.8f", m[size_t(i) * kTaxa + j]);
        std::fputc('\n', f);
    }
    std::fprintf(f, "\t;\nend;\n");
}

BenchFile gFile;

void removeFile() { removeBenchFile(gFile); }

int quiet(const char *, ...) { return 0; }
int gErrors = 0;
int countError(uint32_t, const char *, ...) { return ++gErrors, 1; }

void BM_ReadDistancesBlock(benchmark::State &state)
{
    if (gFile.path.empty()) {
        gFile = writeBenchFile("vornbenchdist", "dist.nex", writeDistances);
        std::atexit(removeFile);
    }
    qel_printf = quiet;
    qel_warningMsg = countError;
    qel_errorMsg = countError;
    qel_initializeParser(true);
    if (qel_initializeCmdOptions() != 0) {
        state.SkipWithError("option table");
        return;
    }
    setCmdParamTraverser(traverseDataOptionSets);
    installUserDistanceHooks();
    for (auto _ : state) {
        DataInfo *d = createDataInfo();
        setActiveDataInfo(d);
        InputStatus in{};
        if (openInputFile(gFile.path.c_str(), 0, nullptr, &in) != kOpenOK) {
            state.SkipWithError("cannot open the generated file");
            return;
        }
        char word[64];
        int rc = 1;
        while (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) >= 0)
            if (stricmp(word, "begin") == 0 && readToken(word, sizeof word) >= 0 && readSemicolon() == 0)
                rc = readData(kBlockDistances, d);
        closeInputFile(&in);
        if (rc != 0 || gErrors || !gUserDistances || gUserDistances->ntax != kTaxa) {
            state.SkipWithError("the reader refused the generated file");
            return;
        }
        benchmark::DoNotOptimize(gUserDistances->distances[kTaxa - 1][0]);
        deallocDistanceStorage(1);
        setActiveDataInfo(nullptr);
        destroyDataInfo(d);
    }
    setActiveInput(nullptr);
    setCmdParamTraverser(nullptr);
    qel_finalizeCmdOptions();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gFile.bytes));
    state.counters["MB"] = static_cast<double>(gFile.bytes) / 1e6;
}

}  // namespace

BENCHMARK(BM_ReadDistancesBlock)->Unit(benchmark::kMillisecond)->UseRealTime();
