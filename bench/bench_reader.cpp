// Data-block reader throughput on large DNA matrices of about 100 MB of text:
// 1,000 taxa by 100,000 sites one row per line, and 2,000 taxa by 50,000
// sites one row per line and interleaved a hundred sites to a line, each
// written to a temporary directory on first use and read through the real
// reader from a file stream, with the program's output suppressed. The
// arguments are the share of distinct columns in percent, the storage (0
// full, 1 compact) and the layout (kLayouts). Counters: MB/s of file text,
// and the peak resident growth over one read against the matrix's size.
#include <benchmark/benchmark.h>

#include <malloc.h>


#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
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

struct Layout {
    uint32_t taxa;
    uint32_t sites;
    uint32_t width;  // sites to a line; all of them for one row per line
};
constexpr Layout kLayouts[] = {{1000, 100000, 100000}, {2000, 50000, 50000}, {2000, 50000, 100}};

char randomCell(std::mt19937 &rng)
{
    const unsigned r = rng();
    const unsigned odd = (r >> 8) & 0xFF;
    return odd == 0 ? '-' : odd == 1 ? '?' : odd == 2 ? "RYN"[r % 3] : "ACGT"[r & 3];
}

// Mostly plain bases with a sprinkling of gaps, missing data and IUPAC
// ambiguity codes, as alignment programs write them. The columns are drawn
// from a pool of sites * percent / 100 random columns.
void writeMatrix(FILE *f, int percent, const Layout &shape)
{
    std::mt19937 rng(20240607);
    const uint32_t sites = shape.sites, distinct = sites / 100 * static_cast<uint32_t>(percent);
    std::vector<uint32_t> columnOf(sites);
    for (uint32_t c = 0; c < sites; ++c)
        columnOf[c] = distinct == sites ? c : rng() % distinct;
    std::fprintf(f, "#NEXUS\n[ generated for the reader benchmark ]\nbegin data;\n"
                    "\tdimensions ntax=%u nchar=%u;\n"
                    "\tformat datatype=dna missing=? gap=-%s;\n\tmatrix\n",
                 shape.taxa, sites, shape.width < sites ? " interleave" : "");
    std::vector<std::string> rows(shape.taxa);
    std::string poolRow(distinct, ' ');
    for (std::string &row : rows) {
        for (char &x : poolRow)
            x = randomCell(rng);
        row.resize(sites);
        for (uint32_t c = 0; c < sites; ++c)
            row[c] = poolRow[columnOf[c]];
    }
    for (uint32_t start = 0; start < sites; start += shape.width) {
        for (uint32_t t = 0; t < shape.taxa; ++t) {
            std::fprintf(f, "Taxon_%04u  ", t);
            std::fwrite(rows[t].data() + start, 1, std::min(shape.width, sites - start), f);
            std::fputc('\n', f);
        }
        if (shape.width < sites)
            std::fputc('\n', f);
    }
    std::fprintf(f, "\t;\nend;\n");
}

std::map<std::pair<int, int>, BenchFile> gFiles;  // by percent and layout

void removeBigMatrices()
{
    for (auto &[key, b] : gFiles)
        removeBenchFile(b);
}

const BenchFile &bigMatrix(int percent, int layout)
{
    auto it = gFiles.find({percent, layout});
    if (it != gFiles.end())
        return it->second;
    const BenchFile b = writeBenchFile("vornbenchreader", "matrix.nex",
                                       [&](FILE *f) { writeMatrix(f, percent, kLayouts[layout]); });
    if (gFiles.empty())
        std::atexit(removeBigMatrices);
    return gFiles[{percent, layout}] = b;
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
    const Layout &shape = kLayouts[state.range(2)];
    const BenchFile &file = bigMatrix(percent, static_cast<int>(state.range(2)));
    const double matrixBytes = double(shape.taxa) * shape.sites;
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
        if (rc != 0 || gErrors || d->ntax != shape.taxa || d->nchar != shape.sites) {
            state.SkipWithError("the reader refused the generated file");
            return;
        }
        benchmark::DoNotOptimize(getXijRaw(d, static_cast<int32_t>(shape.taxa) - 1, shape.sites - 1));
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
    state.counters["peak/matrix"] = static_cast<double>(rssGrowth) * 1024.0 / matrixBytes;
}

}  // namespace

BENCHMARK(BM_ReadDnaMatrix)
    ->ArgNames({"distinct%", "compact", "layout"})
    ->Args({100, 0, 0})
    ->Args({100, 1, 0})
    ->Args({1, 0, 0})
    ->Args({1, 1, 0})
    ->Args({100, 0, 1})
    ->Args({100, 1, 1})
    ->Args({100, 0, 2})
    ->Args({100, 1, 2})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();
