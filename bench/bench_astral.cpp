// Astral on 100 taxa x 1,000 gene trees simulated under the multispecies
// coalescent on a random species tree (internal branches 0.3-1 coalescent
// units, fixed seed): the counting of the gene trees' quartets alone
// (topologies added per second), and the whole command, the vorn binary
// built beside this benchmark run on a file of the same trees (VORN
// overrides). No Debian program computes this, so there is no peer.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_files.h"
#include "quartets/astral.h"
#include "quartets/quartets.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kTaxa = 100, kGenes = 1000;

struct TreeFree {
    void operator()(Tree *t) const { destroyTree(t, true); }
};
using TreeOwner = std::unique_ptr<Tree, TreeFree>;

// Gene trees rooted at the ancestor. The species tree is made by joining
// random pairs of species; lineages that meet on a branch merge two at a
// time at rate k(k-1)/2 for as long as the branch lasts.
std::vector<TreeOwner> simulateGeneTrees(uint32_t ntax, uint32_t genes, uint32_t seed)
{
    std::mt19937 rng(seed);
    struct Species {
        int left, right;
        double length;
    };
    std::vector<Species> sp(ntax, Species{-1, -1, 0.0});
    std::vector<int> open(ntax);
    for (uint32_t t = 0; t < ntax; t++)
        open[t] = static_cast<int>(t);
    std::uniform_real_distribution<double> len(0.3, 1.0);
    while (open.size() > 1) {
        int pair[2];
        for (int &p : pair) {
            const size_t i = rng() % open.size();
            p = open[i];
            open.erase(open.begin() + static_cast<long>(i));
        }
        open.push_back(static_cast<int>(sp.size()));
        sp.push_back({pair[0], pair[1], len(rng)});
    }
    sp.back().length = std::numeric_limits<double>::infinity();

    std::vector<TreeOwner> out;
    std::vector<std::vector<TreeNode *>> lineages(sp.size());
    for (uint32_t g = 0; g < genes; g++) {
        TreeOwner tree(createTreeForTaxa(ntax, ntax, true));
        initNodes(tree.get(), ntax);
        uint32_t nextFork = ntax + 1;
        for (size_t k = 0; k < sp.size(); k++) {
            auto &lin = lineages[k];
            lin.clear();
            if (k < ntax)
                lin.push_back(tree->firstTip + k);
            else
                for (int c : {sp[k].left, sp[k].right})
                    lin.insert(lin.end(), lineages[static_cast<size_t>(c)].begin(),
                               lineages[static_cast<size_t>(c)].end());
            double t = 0.0;
            while (lin.size() > 1) {
                t += std::exponential_distribution<double>(0.5 * static_cast<double>(lin.size() * (lin.size() - 1)))(rng);
                if (t > sp[k].length)
                    break;
                const size_t i = rng() % lin.size();
                TreeNode *a = lin[i];
                lin.erase(lin.begin() + static_cast<long>(i));
                TreeNode *&b = lin[rng() % lin.size()];
                TreeNode *f = tree->nodes + nextFork++;
                f->firstChild = a;
                a->nextSib = b;
                a->anc = b->anc = f;
                b = f;
            }
        }
        TreeNode *top = lineages.back()[0];
        tree->root = tree->nodes;
        tree->root->firstChild = top;
        top->anc = tree->root;
        tree->flags |= kTreeRootedAtAnc;
        afterTreeChange(tree.get());
        out.push_back(std::move(tree));
    }
    return out;
}

const std::vector<TreeOwner> &geneTrees()
{
    static const std::vector<TreeOwner> trees = simulateGeneTrees(kTaxa, kGenes, 51);
    return trees;
}

void BM_AstralQuartetCounting(benchmark::State &state)
{
    const auto &genes = geneTrees();
    std::unique_ptr<QwtTable, decltype(&destroyQwtTable)> table(createQwtTable(kTaxa, kTaxa, false, true, nullptr),
                                                                destroyQwtTable);
    std::vector<Tree *> trees;
    for (const auto &g : genes)
        trees.push_back(g.get());
    GeneQuartetCounter work;
    uint64_t added = 0;
    for (auto _ : state)
        added += addGeneTreeQuartets(table.get(), trees, work);
    state.counters["increments/s"] = benchmark::Counter(static_cast<double>(added), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AstralQuartetCounting)->Unit(benchmark::kSecond)->Iterations(1);

void appendNewick(const TreeNode *p, std::string &out)
{
    if (!p->firstChild) {
        out += 't';
        out += std::to_string(p->index + 1);
        return;
    }
    out += '(';
    for (const TreeNode *c = p->firstChild; c; c = c->nextSib) {
        if (c != p->firstChild)
            out += ',';
        appendNewick(c, out);
    }
    out += ')';
}

std::filesystem::path makeWork()
{
    const auto dir = std::filesystem::temp_directory_path() / "vorn_bench_astral";
    std::filesystem::create_directories(dir);
    std::ofstream nex(dir / "genes.nex");
    nex << "#NEXUS\nbegin taxa;\ndimensions ntax=" << kTaxa << ";\ntaxlabels";
    for (uint32_t t = 1; t <= kTaxa; t++)
        nex << " t" << t;
    nex << ";\nend;\nbegin vorn;\nset maxtrees=" << kGenes << " warntree=no;\nend;\nbegin trees;\n";
    for (uint32_t g = 0; g < kGenes; g++) {
        std::string text;
        appendNewick(geneTrees()[g]->root->firstChild, text);
        nex << "tree g" << g + 1 << " = [&R] " << text << ";\n";
    }
    nex << "end;\nbegin vorn;\nastral;\nquit;\nend;\n";
    return nex.good() ? dir : std::filesystem::path();
}

void BM_AstralCommand(benchmark::State &state)
{
    static const std::filesystem::path dir = makeWork();
    const std::string cmd = "cd '" + dir.string() + "' && '" + vornBinaryPath() + "' -n genes.nex >astral.log 2>&1";
    for (auto _ : state)
        if (dir.empty() || std::system(cmd.c_str()) != 0)
            return state.SkipWithError("vorn astral failed");
}
BENCHMARK(BM_AstralCommand)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
