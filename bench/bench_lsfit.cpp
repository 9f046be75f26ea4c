// Distance-criterion scores of one tree of 100, 500 and 1,000 taxa against
// a tree-like distance matrix: unweighted least squares (negative lengths
// set to zero), unweighted least squares constrained to nonnegative lengths,
// weighted least squares with power 2, and balanced minimum evolution; and,
// on the same 100-taxon tree and matrix, PHYLIP fitch fitting the user tree
// with power 2 (skipped where fitch is not installed; its time is its whole
// run). Times are per tree.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <unistd.h>

#include "distance/distance_settings.h"
#include "distance/lsfit.h"

#include "bench_support.h"

namespace {

constexpr const char *kFitch = "/usr/lib/phylip/bin/fitch";

// A random binary tree with random lengths and its path lengths with 5%
// noise, as a half matrix.
struct Case {
    TreeHandle tree;
    std::vector<std::vector<double>> rows;
    std::vector<double *> ptr;
};

double pathLength(const Tree *t, const TreeNode *a, const TreeNode *b, std::map<const TreeNode *, double> &up)
{
    up.clear();
    double s = 0.0;
    for (const TreeNode *n = a; n; s += n->edge.brlen, n = n->anc)
        up[n] = s;
    s = 0.0;
    for (const TreeNode *n = b; n; s += n->edge.brlen, n = n->anc)
        if (auto it = up.find(n); it != up.end())
            return s + it->second;
    (void)t;
    return s;
}

Case &benchCase(uint32_t n)
{
    static std::map<uint32_t, Case> cases;
    auto it = cases.find(n);
    if (it != cases.end())
        return it->second;
    Case &c = cases[n];
    std::mt19937 rng(n);
    c.tree.reset(randomBinaryTree(n, rng));
    setTraversalSeq(c.tree.get());
    std::uniform_real_distribution<double> len(0.01, 0.2);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (TreeNode *e = c.tree->root->next; e; e = e->next)
        e->edge.brlen = len(rng);
    c.rows.resize(n);
    c.ptr.resize(n);
    std::map<const TreeNode *, double> scratch;
    for (uint32_t i = 0; i < n; i++) {
        c.rows[i].assign(i + 1, 0.0);
        c.ptr[i] = c.rows[i].data();
        for (uint32_t j = 0; j < i; j++)
            c.rows[i][j] = pathLength(c.tree.get(), nodeOfIndex(c.tree.get(), static_cast<int32_t>(i)),
                                      nodeOfIndex(c.tree.get(), static_cast<int32_t>(j)), scratch) *
                           (1.0 + noise(rng));
    }
    return c;
}

enum Mode : int { kOLS = 0, kOLSProhibit, kWLS2, kBME };
const char *const kModeNames[] = {"OLS", "OLS prohibit", "WLS power 2", "BME"};

void BM_DistanceFit(benchmark::State &state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    const auto mode = static_cast<Mode>(state.range(1));
    Case &c = benchCase(n);
    const DistSettings saved = dist;
    dist.objective = mode == kBME ? kObjectiveBME : kObjectiveLsFit;
    dist.power = mode == kWLS2 ? 2.0 : 0.0;
    dist.negBrLen = mode == kOLSProhibit ? kNegBrLenProhibit : kNegBrLenSetZero;
    LSData *ls = createLSData(c.ptr.data(), c.tree.get(), n, false);
    prepLS(ls, false);
    double score = 0.0;
    for (auto _ : state) {
        score = calcDistanceFitForTree(ls, c.tree.get(), false, 1e37);
        benchmark::DoNotOptimize(score);
    }
    destroyLSData(ls);
    dist = saved;
    state.SetLabel(kModeNames[mode]);
    state.counters["score"] = score;
}

BENCHMARK(BM_DistanceFit)
    ->ArgsProduct({{100, 500, 1000}, {kOLS, kOLSProhibit, kBME}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DistanceFit)->ArgsProduct({{100, 500, 1000}, {kWLS2}})->Unit(benchmark::kMicrosecond)->Iterations(3);

std::string newick(const TreeNode *n)
{
    if (!n->firstChild)
        return "t" + std::to_string(n->index);
    std::string s = "(";
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
        s += (c == n->firstChild ? "" : ",") + newick(c);
    return s + ")";
}

void BM_FitchUserTree(benchmark::State &state)
{
    if (access(kFitch, X_OK) != 0) {
        state.SkipWithError("PHYLIP fitch is not installed");
        return;
    }
    const uint32_t n = 100;
    Case &c = benchCase(n);
    char name[] = "/tmp/vornfitchbenchXXXXXX";
    const std::string dir = mkdtemp(name) ? name : "";
    {
        std::ofstream in(dir + "/infile");
        in << n << "\n";
        char cell[32];
        for (uint32_t i = 0; i < n; i++) {
            std::string label = "t" + std::to_string(i);
            label.resize(10, ' ');
            in << label;
            for (uint32_t j = 0; j < n; j++) {
                const double d = i == j ? 0.0 : i > j ? c.rows[i][j] : c.rows[j][i];
                std::snprintf(cell, sizeof cell, " %.8f", d);
                in << cell;
            }
            in << "\n";
        }
        // The tree as fitch reads it: the root tip joined to the basal fork.
        const TreeNode *fork = c.tree->root->firstChild;
        std::string tree = "(t" + std::to_string(c.tree->root->index);
        for (const TreeNode *ch = fork->firstChild; ch; ch = ch->nextSib)
            tree += "," + newick(ch);
        std::ofstream(dir + "/intree") << tree << ");\n";
        std::ofstream(dir + "/answers") << "U\n-\nY\n";
    }
    const std::string cmd = "cd " + dir + " && rm -f outfile outtree && " + kFitch + " < answers > screen 2>&1";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("fitch failed");
    // A run that wrote no sum of squares did not fit the tree.
    std::ifstream out(dir + "/outfile");
    std::string line;
    bool fitted = false;
    while (std::getline(out, line))
        fitted |= line.rfind("Sum of squares =", 0) == 0 && line.find('/') == std::string::npos;
    if (!fitted)
        state.SkipWithError("fitch wrote no sum of squares");
    if (!getenv("VORN_KEEP_FITCH"))
        std::filesystem::remove_all(dir);
}

BENCHMARK(BM_FitchUserTree)->Unit(benchmark::kMicrosecond)->Iterations(1)->UseRealTime();

}  // namespace
