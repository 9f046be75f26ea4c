// Symmetric differences of all pairs of 3,000 unrooted trees of 100 taxa
// read from a file, beside phangorn's RF.dist on the same trees (R). The
// trees are a base tree whose labels are partly permuted tree by tree (made
// once with a fixed seed), so that pairs share most of their splits, as
// bootstrap or posterior samples do. BM_TreeDistFromFile reads the NEXUS
// file (taxa harvested from the trees) and computes every distance;
// BM_PhangornRFDist reads the same trees as Newick and calls RF.dist.
// Compare the two times for the ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/parminit.h"
#include "bench_files.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "trees/readtree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treedist.h"

namespace {

constexpr int kTaxa = 100;
constexpr int kTrees = 3000;

std::vector<std::string> makeTrees()
{
    std::mt19937 rng(20261207);
    std::vector<std::string> parts;
    for (int t = 0; t < kTaxa; t++)
        parts.push_back("@" + std::to_string(t));
    while (parts.size() > 3) {
        std::shuffle(parts.begin(), parts.end(), rng);
        std::string joined = "(" + parts.back() + ",";
        parts.pop_back();
        joined += parts.back() + ")";
        parts.pop_back();
        parts.push_back(joined);
    }
    const std::string base = "(" + parts[0] + "," + parts[1] + "," + parts[2] + ");";
    std::vector<std::string> trees;
    for (int k = 0; k < kTrees; k++) {
        std::vector<int> label(kTaxa);
        for (int t = 0; t < kTaxa; t++)
            label[t] = t;
        const int moved = static_cast<int>(rng() % 12);
        for (int j = 0; j + 1 < moved; j++)
            std::swap(label[rng() % kTaxa], label[rng() % kTaxa]);
        std::string text;
        for (size_t i = 0; i < base.size(); i++) {
            if (base[i] != '@') {
                text += base[i];
                continue;
            }
            size_t j = i + 1;
            int v = 0;
            while (j < base.size() && base[j] >= '0' && base[j] <= '9')
                v = v * 10 + (base[j++] - '0');
            text += "T" + std::to_string(label[v] + 1);
            i = j - 1;
        }
        trees.push_back(text);
    }
    return trees;
}

struct Files {
    BenchFile nexus;
    std::string newick;
};

const Files &files()
{
    static Files f = [] {
        const std::vector<std::string> trees = makeTrees();
        Files out;
        out.nexus = writeBenchFile("vornbenchtd", "trees.nex", [&](FILE *fp) {
            std::fprintf(fp, "#NEXUS\nbegin trees;\n");
            for (size_t k = 0; k < trees.size(); k++)
                std::fprintf(fp, "tree r%zu = [&U] %s\n", k + 1, trees[k].c_str());
            std::fprintf(fp, "end;\n");
        });
        out.newick = out.nexus.dir + "/trees.tre";
        FILE *fp = std::fopen(out.newick.c_str(), "w");
        for (const std::string &t : trees)
            std::fprintf(fp, "%s\n", t.c_str());
        std::fclose(fp);
        return out;
    }();
    static const bool cleanup = std::atexit([] {
        std::remove(f.newick.c_str());
        removeBenchFile(f.nexus);
    }) == 0;
    (void)cleanup;
    return f;
}

int quiet(const char *, ...) { return 0; }
int countError(uint32_t, const char *, ...) { return 1; }

void BM_TreeDistFromFile(benchmark::State &state)
{
    const Files &f = files();
    qel_printf = quiet;
    qel_warningMsg = countError;
    qel_errorMsg = countError;
    qel_initializeParser(true);
    if (qel_initializeCmdOptions() != 0)
        return state.SkipWithError("option table");
    setCmdParamTraverser(traverseDataOptionSets);
    installTreeHooks();
    wrng.warnTree = 0;
    for (auto _ : state) {
        DataInfo *d = createDataInfo();
        setActiveDataInfo(d);
        setMaxtreesValue(kTrees + 100);
        InputStatus in{};
        if (openInputFile(f.nexus.path.c_str(), 0, nullptr, &in) != kOpenOK)
            return state.SkipWithError("cannot open the generated file");
        int rc = findNextTreesBlk();
        if (rc == 0)
            rc = processTreesBlock(kKeepReplace, kReadNoProgress, 0, 0xFFFFFFFFu, false, false, false, false);
        closeInputFile(&in);
        TreeBuffer *buf = getMainTreeBuffer(nullptr);
        if (rc != 0 || !buf || buf->numTrees != kTrees)
            return state.SkipWithError("reading failed");
        std::vector<uint32_t> trees(kTrees);
        for (uint32_t i = 0; i < kTrees; i++)
            trees[i] = i + 1;
        std::vector<uint32_t> distances;
        rc = symDiffAllPairs(buf, trees, kTreeDistBlock, distances, nullptr, nullptr);
        uint64_t sum = 0;
        for (uint32_t v : distances)
            sum += v;
        state.counters["meanRF"] = static_cast<double>(sum) / distances.size() / 2;
        clearTrees(false, false);
        purgeData(d, 0, 0, 1);
        if (rc != 0)
            return state.SkipWithError("distances failed");
    }
}
BENCHMARK(BM_TreeDistFromFile)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PhangornRFDist(benchmark::State &state)
{
    if (std::system("Rscript -e 'suppressMessages(library(phangorn))' >/dev/null 2>&1") != 0)
        return state.SkipWithError("R with phangorn is not installed");
    const Files &f = files();
    const std::string cmd = "Rscript -e \"suppressMessages(library(phangorn)); t <- read.tree('" + f.newick +
                            "'); d <- RF.dist(t); cat(mean(d) / 2, '\\n')\" >/dev/null 2>&1";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0)
            return state.SkipWithError("RF.dist failed");
}
BENCHMARK(BM_PhangornRFDist)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
