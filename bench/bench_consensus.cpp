// Majority-rule consensus of 10,000 unrooted trees of 200 taxa read from a
// file, beside PHYLIP consense (MR) on the same trees. The file is made once
// with a fixed seed: a base tree whose labels are partly permuted tree by
// tree, so that groups occur at every frequency. BM_MajRuleFromFile reads
// the NEXUS file (the taxa harvested from the trees, as for a tree file read
// without data), gathers and selects the splits and builds the tree;
// BM_ConsenseMR runs consense on the same trees as Newick. Compare the two
// times for the ratio.
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
#include "trees/contree.h"
#include "trees/readtree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"

namespace {

constexpr int kTaxa = 200;
constexpr int kTrees = 10000;

std::vector<std::string> makeTrees()
{
    std::mt19937 rng(20240611);
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
        std::vector<int> chosen;
        for (int j = 0; j < moved; j++)
            chosen.push_back(static_cast<int>(rng() % kTaxa));
        for (size_t j = 0; j + 1 < chosen.size(); j++)
            std::swap(label[chosen[j]], label[chosen[j + 1]]);
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
    std::string intree;
};

const Files &files()
{
    static Files f = [] {
        const std::vector<std::string> trees = makeTrees();
        Files out;
        out.nexus = writeBenchFile("vornbenchcon", "trees.nex", [&](FILE *fp) {
            std::fprintf(fp, "#NEXUS\nbegin trees;\n");
            for (size_t k = 0; k < trees.size(); k++)
                std::fprintf(fp, "tree r%zu = [&U] %s\n", k + 1, trees[k].c_str());
            std::fprintf(fp, "end;\n");
        });
        out.intree = out.nexus.dir + "/intree";
        FILE *fp = std::fopen(out.intree.c_str(), "w");
        for (const std::string &t : trees)
            std::fprintf(fp, "%s\n", t.c_str());
        std::fclose(fp);
        return out;
    }();
    // The generated files (13 MB each) and consense's output go at exit.
    static const bool cleanup = std::atexit([] {
        for (const char *name : {"intree", "outfile", "outtree"})
            std::remove((f.nexus.dir + "/" + name).c_str());
        removeBenchFile(f.nexus);
    }) == 0;
    (void)cleanup;
    return f;
}

int quiet(const char *, ...) { return 0; }
int gErrors = 0;
int countError(uint32_t, const char *, ...) { return ++gErrors, 1; }

void BM_MajRuleFromFile(benchmark::State &state)
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
        TreeHandle work(createTree(true));
        TreeHandle result(createTree(true));
        SplitsTable *table = nullptr;
        double total = 0.0;
        SplitsList *list = createSplitsList(kTaxa, kTaxa, true);
        allocSpecialTreeData(1);
        rc = majRuleConsensus(kConMajRule, false, buf, trees, d, work.get(), &table, &total);
        if (rc == 0)
            rc = selectConsensusSplits(table, kConMajRule, false, 50, list, total);
        if (rc == 0)
            rc = finishContree(result.get(), kConMajRule, table->support.data(), list, d, false);
        state.counters["groups"] = list->count;
        destroySplitsList(list);
        destroySplitsTable(table);
        deallocSpecialTreeData();
        work.reset();
        result.reset();
        clearTrees(false, false);
        purgeData(d, 0, 0, 1);
        if (rc != 0)
            return state.SkipWithError("consensus failed");
    }
}
BENCHMARK(BM_MajRuleFromFile)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ConsenseMR(benchmark::State &state)
{
    const char *consense = "/usr/lib/phylip/bin/consense";
    FILE *probe = std::fopen(consense, "r");
    if (!probe)
        return state.SkipWithError("PHYLIP consense is not installed");
    std::fclose(probe);
    const Files &f = files();
    const std::string cmd = "cd '" + f.nexus.dir + "' && rm -f outfile outtree && printf 'C\\nC\\nY\\n' | " +
                            consense + " >/dev/null 2>&1";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0)
            return state.SkipWithError("consense failed");
}
BENCHMARK(BM_ConsenseMR)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
