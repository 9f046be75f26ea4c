// Data-block reader throughput on a large DNA matrix: 1,000 taxa by 100,000
// sites (10^8 cells, about 100 MB of text), written to a temporary directory
// on first use and read through the real reader from a file stream, with the
// program's output suppressed. The arguments are the share of distinct
// columns in percent and the storage (0 full, 1 compact). Counters: MB/s of
// file text, and the peak resident growth over one read against the
// matrix's size.
#include <benchmark/benchmark.h>

#include <malloc.h>


#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_files.h"
#include "data/data_settings.h"
#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"

namespace {

constexpr int kTaxa = 1000;
constexpr int kSites = 100000;
constexpr double kMatrixBytes = double(kTaxa) * kSites;

char randomCell(std::mt19937 &rng)
{
    const unsigned r = rng();
    const unsigned odd = (r >> 8) & 0xFF;
    return odd == 0 ? '-' : odd == 1 ? '?' : odd == 2 ? "RYN"[r % 3] : "ACGT"[r & 3];
}

// Mostly plain bases with a sprinkling of gaps, missing data and IUPAC
// ambiguity codes, one row per line, as alignment programs write them. The
// columns are drawn from a pool of kSites * percent / 100 random columns.
void writeMatrix(FILE *f, int percent)
{
    std::mt19937 rng(20240607);
    const uint32_t distinct = kSites / 100 * static_cast<uint32_t>(percent);
    std::vector<uint32_t> columnOf(kSites);
    for (uint32_t c = 0; c < kSites; ++c)
        columnOf[c] = distinct == kSites ? c : rng() % distinct;
    std::fprintf(f, "#NEXUS\n[ generated for the reader benchmark ]\nbegin data;\n"
                    "\tdimensions ntax=%d nchar=%d;\n"
                    "\tformat datatype=dna missing=? gap=-;\n\tmatrix\n",
                 kTaxa, kSites);
    std::string line, poolRow(distinct, ' ');
    for (int t = 0; t < kTaxa; ++t) {
        char label[32];
        std::snprintf(label, sizeof label, "Taxon_%04d  ", t);
        line = label;
        for (char &x : poolRow)
            x = randomCell(rng);
        for (uint32_t c = 0; c < kSites; ++c)
            line += poolRow[columnOf[c]];
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), f);
    }
    std::fprintf(f, "\t;\nend;\n");
}

std::map<int, BenchFile> gFiles;

void removeBigMatrices()
{
    for (auto &[percent, b] : gFiles)
        removeBenchFile(b);
}

const BenchFile &bigMatrix(int percent)
{
    auto it = gFiles.find(percent);
    if (it != gFiles.end())
        return it->second;
    const BenchFile b = writeBenchFile("vornbenchreader", "matrix.nex", [&](FILE *f) { writeMatrix(f, percent); });
    if (gFiles.empty())
        std::atexit(removeBigMatrices);
    return gFiles[percent] = b;
}

int quiet(const char *, ...) { return 0; }
int gErrors = 0;
int countError(uint32_t, const char *, ...) { return ++gErrors, 1; }

// A field of /proc/self/status in kB, -1 when absent.
long statusKb(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::strtol(line.c_str() + n + 1, nullptr, 10);
    return -1;
}

// Resets the peak resident size to the current one, so that the peak of one
// read is measured whatever ran before it in this process; false when the
// kernel does not allow it.
bool resetPeakRss()
{
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

// Runs the blocks of the open input as the command loop hands them to the
// reader; the status of the first failing block.
int readBlocks(DataInfo *d)
{
    char word[64];
    for (;;) {
        if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) < 0)
            return 0;
        if (stricmp(word, "#nexus") == 0 || std::strcmp(word, ";") == 0)
            continue;
        if (stricmp(word, "begin") != 0 || readToken(word, sizeof word) < 0 || readSemicolon() != 0)
            return 1;
        if (int rc = readData(stricmp(word, "taxa") == 0 ? kBlockTaxa : kBlockData, d); rc != 0)
            return rc;
    }
}

void BM_ReadDnaMatrix(benchmark::State &state)
{
    const int percent = static_cast<int>(state.range(0));
    const BenchFile &file = bigMatrix(percent);
    const uint8_t savedStorage = dataParam.dataStorage;
    dataParam.dataStorage = static_cast<uint8_t>(state.range(1));
    qel_printf = quiet;
    qel_warningMsg = countError;
    qel_errorMsg = countError;
    qel_initializeParser(true);
    if (qel_initializeCmdOptions() != 0) {
        state.SkipWithError("option table");
        return;
    }
    setCmdParamTraverser(traverseDataOptionSets);

    long rssGrowth = -1;
    for (auto _ : state) {
        // The first read is the one whose peak counts: later ones reuse the
        // pages the first one freed.
        // Freed heap pages go back first, so the growth is the read's own.
        malloc_trim(0);
        const bool measure = rssGrowth < 0 && resetPeakRss();
        const long rssBefore = measure ? statusKb("VmRSS") : 0;
        DataInfo *d = createDataInfo();
        setActiveDataInfo(d);
        InputStatus in{};
        if (openInputFile(file.path.c_str(), 0, nullptr, &in) != kOpenOK) {
            state.SkipWithError("cannot open the generated file");
            return;
        }
        const int rc = readBlocks(d);
        closeInputFile(&in);
        if (rc != 0 || gErrors || d->ntax != kTaxa || d->nchar != kSites) {
            state.SkipWithError("the reader refused the generated file");
            return;
        }
        benchmark::DoNotOptimize(getXijRaw(d, kTaxa - 1, kSites - 1));
        if (measure)
            rssGrowth = statusKb("VmHWM") - rssBefore;
        state.counters["patterns"] = d->compactStorage ? d->nPatterns : 0;
        setActiveDataInfo(nullptr);
        destroyDataInfo(d);
    }
    setActiveInput(nullptr);
    setCmdParamTraverser(nullptr);
    qel_finalizeCmdOptions();
    dataParam.dataStorage = savedStorage;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes));
    state.counters["MB"] = benchmark::Counter(static_cast<double>(file.bytes) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    state.counters["peakMB"] = static_cast<double>(rssGrowth) * 1024.0 / 1e6;
    state.counters["peak/matrix"] = static_cast<double>(rssGrowth) * 1024.0 / kMatrixBytes;
}

}  // namespace

BENCHMARK(BM_ReadDnaMatrix)
    ->ArgNames({"distinct%", "compact"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();
