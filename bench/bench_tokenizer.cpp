// Tokenizer throughput on a large NEXUS file: an interleaved DATA matrix and
// a TREES block, over 100 MB, made in a temporary directory on first use.
// Three readers over the same file: the raw input layer (the ceiling every
// reader shares), words through readToken, and the comment-aware character
// reader the matrix reader uses per cell.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_files.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "cli/qel_cmdline.h"

namespace {

constexpr int kTaxa = 2000;
constexpr int kChars = 40000;
constexpr int kLineChars = 60;
constexpr int kTrees = 400;

void writeNexus(FILE *f)
{
    std::mt19937 rng(1234);
    const char bases[] = "ACGT";
    std::fprintf(f, "#NEXUS\n[ generated for the tokenizer benchmark ]\nbegin data;\n"
                    "\tdimensions ntax=%d nchar=%d;\n"
                    "\tformat datatype=dna missing=? gap=- interleave;\n\tmatrix\n",
                 kTaxa, kChars);
    std::string line;
    for (int start = 0; start < kChars; start += kLineChars) {
        for (int t = 0; t < kTaxa; ++t) {
            line.clear();
            char label[32];
            std::snprintf(label, sizeof label, "Taxon_%04d  ", t);
            line += label;
            for (int c = 0; c < kLineChars; ++c) {
                const unsigned r = rng();
                line += (r & 0xF00) == 0 ? '-' : bases[r & 3];
            }
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), f);
        }
        std::fputc('\n', f);
    }
    std::fprintf(f, "\t;\nend;\n\nbegin trees;\n");
    std::string tree;
    for (int i = 0; i < kTrees; ++i) {
        // A caterpillar with branch lengths: ((((t0:x,t1:x):x,t2:x):x,...)
        tree = "\ttree t" + std::to_string(i) + " = [&U] ";
        tree.append(kTaxa - 1, '(');
        char piece[64];
        std::snprintf(piece, sizeof piece, "Taxon_0000:0.%05u", static_cast<unsigned>(rng() % 100000));
        tree += piece;
        for (int t = 1; t < kTaxa; ++t) {
            std::snprintf(piece, sizeof piece, ",'Taxon_%04d':0.%05u):0.%04u", t,
                          static_cast<unsigned>(rng() % 100000), static_cast<unsigned>(rng() % 10000));
            tree += piece;
        }
        tree += ";\n";
        std::fwrite(tree.data(), 1, tree.size(), f);
    }
    std::fprintf(f, "end;\n");
}

void removeBigFile();

const BenchFile &bigFile()
{
    static BenchFile file = [] {
        BenchFile b = writeBenchFile("vornbenchtok", "big.nex", writeNexus);
        // VORN_BENCH_KEEP_FILES keeps the file for timing other programs
        // (wc -w, say) on the same text.
        if (std::getenv("VORN_BENCH_KEEP_FILES"))
            std::fprintf(stderr, "tokenizer benchmark file kept: %s\n", b.path.c_str());
        else
            std::atexit(removeBigFile);
        return b;
    }();
    return file;
}

void removeBigFile() { removeBenchFile(bigFile()); }

int quiet(const char *, ...) { return 0; }

template <typename ReadAll>
void runOverFile(benchmark::State &state, ReadAll readAll)
{
    const BenchFile &file = bigFile();
    qel_printf = quiet;
    qel_initializeParser(true);
    uint64_t units = 0;
    for (auto _ : state) {
        InputStatus in{};
        if (openInputFile(file.path.c_str(), 0, nullptr, &in) != kOpenOK) {
            state.SkipWithError("cannot open the generated file");
            return;
        }
        units = readAll();
        closeInputFile(&in);
        benchmark::DoNotOptimize(units);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes));
    state.counters["MB"] = static_cast<double>(file.bytes) / 1e6;
    state.counters["items"] = static_cast<double>(units);
}

void BM_InputLayerReadNextChar(benchmark::State &state)
{
    runOverFile(state, [] {
        uint64_t n = 0;
        while (readNextChar() >= 0)
            ++n;
        return n;
    });
}

void BM_TokenizeWords(benchmark::State &state)
{
    runOverFile(state, [] {
        static char word[1 << 16];
        uint64_t n = 0;
        while (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) >= 0)
            ++n;
        return n;
    });
}

// The same words from the file's text in memory: the difference to
// BM_TokenizeWords is the cost of the stdio stream under readNextChar.
void BM_TokenizeWordsFromDocument(benchmark::State &state)
{
    const BenchFile &file = bigFile();
    std::string text(file.bytes, '\0');
    FILE *f = std::fopen(file.path.c_str(), "rb");
    if (!f || std::fread(text.data(), 1, text.size(), f) != text.size()) {
        state.SkipWithError("cannot read the generated file");
        return;
    }
    std::fclose(f);
    qel_printf = quiet;
    qel_initializeParser(true);
    static char word[1 << 16];
    uint64_t n = 0;
    for (auto _ : state) {
        InputStatus doc{};
        initDocumentInput(&doc, text.data(), text.size());
        n = 0;
        while (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) >= 0)
            ++n;
        setActiveInput(nullptr);
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes));
    state.counters["items"] = static_cast<double>(n);
}

void BM_DarkChars(benchmark::State &state)
{
    runOverFile(state, [] {
        uint64_t n = 0;
        while (readNextDarkChar(nullptr) >= 0)
            ++n;
        return n;
    });
}

}  // namespace

BENCHMARK(BM_InputLayerReadNextChar)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TokenizeWords)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TokenizeWordsFromDocument)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DarkChars)->Unit(benchmark::kMillisecond)->Iterations(3);
