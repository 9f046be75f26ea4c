// Data-block reader throughput on a large DNA matrix: 1,000 taxa by 100,000
// sites (10^8 cells, about 100 MB of text), written to a temporary directory
// on first use and read through the real reader from a file stream, with the
// program's output suppressed. Counters: MB/s of file text, and the growth of
// the process's peak resident size over one read against the matrix's size.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

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

struct BigMatrix {
    std::string dir;
    std::string path;
    uint64_t bytes = 0;
};

// Mostly plain bases with a sprinkling of gaps, missing data and IUPAC
// ambiguity codes, one row per line, as alignment programs write them.
void writeMatrix(FILE *f)
{
    std::mt19937 rng(20240607);
    std::fprintf(f, "#NEXUS\n[ generated for the reader benchmark ]\nbegin data;\n"
                    "\tdimensions ntax=%d nchar=%d;\n"
                    "\tformat datatype=dna missing=? gap=-;\n\tmatrix\n",
                 kTaxa, kSites);
    std::string line;
    for (int t = 0; t < kTaxa; ++t) {
        char label[32];
        std::snprintf(label, sizeof label, "Taxon_%04d  ", t);
        line = label;
        for (int c = 0; c < kSites; ++c) {
            const unsigned r = rng();
            const unsigned odd = (r >> 8) & 0xFF;
            line += odd == 0 ? '-' : odd == 1 ? '?' : odd == 2 ? "RYN"[r % 3] : "ACGT"[r & 3];
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), f);
    }
    std::fprintf(f, "\t;\nend;\n");
}

void removeBigMatrix();

const BigMatrix &bigMatrix()
{
    static BigMatrix file = [] {
        BigMatrix b;
        char buf[kPathBufSize];
        if (!makeTempDirectory("vornbenchreader", buf))
            std::abort();
        b.dir = buf;
        b.path = b.dir + "/matrix.nex";
        FILE *f = std::fopen(b.path.c_str(), "wb");
        if (!f)
            std::abort();
        writeMatrix(f);
        b.bytes = static_cast<uint64_t>(std::ftell(f));
        std::fclose(f);
        std::atexit(removeBigMatrix);
        return b;
    }();
    return file;
}

void removeBigMatrix()
{
    const BigMatrix &b = bigMatrix();
    std::remove(b.path.c_str());
    std::remove(b.dir.c_str());
}

int quiet(const char *, ...) { return 0; }
int gErrors = 0;
int countError(uint32_t, const char *, ...) { return ++gErrors, 1; }

long peakRssKb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
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
    const BigMatrix &file = bigMatrix();
    qel_printf = quiet;
    qel_warningMsg = countError;
    qel_errorMsg = countError;
    qel_initializeParser(true);
    if (qel_initializeCmdOptions() != 0) {
        state.SkipWithError("option table");
        return;
    }
    setCmdParamTraverser(traverseDataOptionSets);

    const long rssBefore = peakRssKb();
    long rssGrowth = -1;
    for (auto _ : state) {
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
        benchmark::DoNotOptimize(d->matrix[kTaxa - 1][kSites - 1]);
        // The first read is the one whose peak counts: later ones reuse the
        // pages the first one freed.
        if (rssGrowth < 0)
            rssGrowth = peakRssKb() - rssBefore;
        setActiveDataInfo(nullptr);
        destroyDataInfo(d);
    }
    setActiveInput(nullptr);
    setCmdParamTraverser(nullptr);
    qel_finalizeCmdOptions();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes));
    state.counters["MB"] = benchmark::Counter(static_cast<double>(file.bytes) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    state.counters["peakMB"] = static_cast<double>(rssGrowth) * 1024.0 / 1e6;
    state.counters["peak/matrix"] = static_cast<double>(rssGrowth) * 1024.0 / kMatrixBytes;
}

}  // namespace

BENCHMARK(BM_ReadDnaMatrix)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
