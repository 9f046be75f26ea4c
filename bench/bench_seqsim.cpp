// Sequence simulation: 50 taxa x 10^6 sites under HKY+G4 on a Yule tree of
// height 0.5, into memory and written out as a PHYLIP file (the work a
// simulator beside us does). seqsim_vs_evolver.py runs the same model and
// tree through PAML's evolver; with VORN_SEQSIM_NEWICK set the tree is
// written there for it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "qel/qel_random.h"
#include "selection/seqsim.h"

namespace {

constexpr uint32_t kTaxa = 50;
constexpr uint32_t kSites = 1000000;
constexpr double kHeight = 0.5;
constexpr double kFreqs[4] = {0.3, 0.2, 0.2, 0.3};  // A C G T
constexpr double kKappa = 4.0;
constexpr double kShape = 0.5;

// A pure-birth tree: backwards in time k lineages join at rate k, a
// uniformly chosen pair at a time; the ages are then scaled to the height.
SimTree yuleTree(uint32_t n, RNG *rng)
{
    struct Node {
        int32_t parent = -1;
        int32_t taxon = -1;
        double age = 0.0;
    };
    std::vector<Node> nodes(n);
    std::vector<int32_t> live(n);
    for (uint32_t i = 0; i < n; ++i) {
        nodes[i].taxon = static_cast<int32_t>(i);
        live[i] = static_cast<int32_t>(i);
    }
    double t = 0.0;
    while (live.size() > 1) {
        t += randExponential(rng, false, static_cast<double>(live.size()));
        uint32_t a = 0, b = 0;
        randomPair(rng, static_cast<uint32_t>(live.size()), &a, &b);
        nodes.push_back({-1, -1, t});
        const auto joined = static_cast<int32_t>(nodes.size() - 1);
        nodes[static_cast<size_t>(live[a])].parent = joined;
        nodes[static_cast<size_t>(live[b])].parent = joined;
        live[std::min(a, b)] = joined;
        live.erase(live.begin() + std::max(a, b));
    }
    std::vector<std::vector<int32_t>> kids(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].parent >= 0)
            kids[static_cast<size_t>(nodes[i].parent)].push_back(static_cast<int32_t>(i));
    SimTree out;
    std::vector<std::pair<int32_t, int32_t>> stack{{live[0], -1}};
    while (!stack.empty()) {
        auto [g, parent] = stack.back();
        stack.pop_back();
        SimNode s;
        s.parent = parent;
        s.taxon = nodes[static_cast<size_t>(g)].taxon;
        s.age = nodes[static_cast<size_t>(g)].age * kHeight / t;
        out.nodes.push_back(s);
        for (int32_t c : kids[static_cast<size_t>(g)])
            stack.emplace_back(c, static_cast<int32_t>(out.nodes.size() - 1));
    }
    setSimLengthsFromAges(out);
    return out;
}

// The tree in Newick form with lengths, tips named t1, t2, ...: the peer
// comparison reads it to simulate on the same tree.
std::string newickOf(const SimTree &tree)
{
    const size_t n = tree.nodes.size();
    std::vector<std::vector<size_t>> kids(n);
    for (size_t k = 1; k < n; ++k)
        kids[static_cast<size_t>(tree.nodes[k].parent)].push_back(k);
    std::string out;
    std::vector<std::pair<size_t, size_t>> stack{{0, 0}};
    while (!stack.empty()) {
        auto &[k, next] = stack.back();
        const SimNode &node = tree.nodes[k];
        if (kids[k].empty() || next == kids[k].size()) {
            out += kids[k].empty() ? "t" + std::to_string(node.taxon + 1) : std::string(")");
            if (k != 0) {
                char len[40];
                std::snprintf(len, sizeof len, ":%.10g", node.length);
                out += len;
            }
            stack.pop_back();
            continue;
        }
        out += next == 0 ? '(' : ',';
        stack.emplace_back(kids[k][next++], 0);
    }
    return out;
}

struct Setup {
    SimTree tree;
    std::vector<SimModel> models;
    Setup()
    {
        RNG rng;
        initRNG(&rng, makeSeed1(2027));
        tree = yuleTree(kTaxa, &rng);
        SimModel m;
        const double ex[6] = {1, kKappa, 1, 1, kKappa, 1};
        makeSimModelFromRates(&m, 4, kFreqs, ex, kShape, 0.0, true, 4);
        models.push_back(m);
        if (const char *path = std::getenv("VORN_SEQSIM_NEWICK")) {
            if (FILE *f = std::fopen(path, "w")) {
                std::fprintf(f, "%s;\n", newickOf(tree).c_str());
                std::fclose(f);
            }
        }
    }
};

const Setup &setup()
{
    static const Setup s;
    return s;
}

void simulate(const Setup &s, std::vector<uint8_t> &matrix, RNG *rng)
{
    std::vector<uint8_t> scratch;
    double rates = 0.0;
    simulateSites(s.tree, s.models, 0, 0, kSites, matrix.data(), kSites, rng, scratch, &rates);
}

void BM_SeqSimHkyG4(benchmark::State &state)
{
    const Setup &s = setup();
    std::vector<uint8_t> matrix(static_cast<size_t>(kTaxa) * kSites);
    RNG rng;
    initRNG(&rng, makeSeed1(11));
    for (auto _ : state) {
        simulate(s, matrix, &rng);
        benchmark::DoNotOptimize(matrix.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kSites});
}
BENCHMARK(BM_SeqSimHkyG4)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same, then the matrix written as a PHYLIP file.
void BM_SeqSimHkyG4ToFile(benchmark::State &state)
{
    const Setup &s = setup();
    std::vector<uint8_t> matrix(static_cast<size_t>(kTaxa) * kSites);
    std::vector<char> row(kSites + 1);
    RNG rng;
    initRNG(&rng, makeSeed1(11));
    const char *dir = std::getenv("VORN_SEQSIM_DIR");
    const std::string path = std::string(dir ? dir : "/tmp") + "/vorn_seqsim.phy";
    for (auto _ : state) {
        simulate(s, matrix, &rng);
        FILE *f = std::fopen(path.c_str(), "w");
        if (!f) {
            state.SkipWithError("cannot write the matrix");
            return;
        }
        std::fprintf(f, "%u %u\n", kTaxa, kSites);
        for (uint32_t t = 0; t < kTaxa; ++t) {
            const uint8_t *src = matrix.data() + static_cast<size_t>(t) * kSites;
            for (uint32_t c = 0; c < kSites; ++c)
                row[c] = "ACGT"[src[c]];
            row[kSites] = '\n';
            std::fprintf(f, "t%-9u", t + 1);
            std::fwrite(row.data(), 1, row.size(), f);
        }
        std::fclose(f);
    }
    std::remove(path.c_str());
    state.SetItemsProcessed(state.iterations() * int64_t{kSites});
}
BENCHMARK(BM_SeqSimHkyG4ToFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
