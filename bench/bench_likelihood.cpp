<<<<<<< HEAD
// Transition-matrix sets with derivatives per second (4 states in the
// closed HKY form and by the eigen path, 20 states by the eigen path in
// double and single precision), and the likelihood set-up (initializeML) of a
// 150-taxon x 2,000-site DNA matrix simulated on a random tree, patterns
// compressed afresh each time. With VORN_BENCH_WRITE=<dir> the set-up
// benchmark also writes that matrix and tree as <dir>/a.phy and <dir>/t.nwk,
// so that a peer program can be timed on the same data.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "bench_support.h"
#include "data/data_util.h"
#include "data/patterns.h"
#include "likelihood/aamatrices.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlinit.h"
#include "likelihood/models.h"

namespace {

struct MatrixSet {
    RowMatrix<double> p, d1, d2;
    explicit MatrixSet(uint32_t n)
    {
        p.resize(n, n);
        d1.resize(n, n);
        d2.resize(n, n);
    }
    ChDvSet dv() { return {p.data(), d1.data(), d2.data()}; }
};

Model *benchModel(uint32_t n, bool eigen)
{
    setModelEngineReleaser(releaseModelEngine);
    Model *m = createModel("bench");
    ModelEngineData *e = modelEngine(m);
    if (n == 4) {
        m->type = kModelNucleotide;
        m->nstates = 4;
        m->substClass = eigen ? kSubstSixRates : kSubstTwoRates;
        m->tratio = 2.0;
        m->stateFreqs = e->pi = {0.1, 0.2, 0.3, 0.4};
        if (!eigen) {
            updateBetaForDnaModel(m);
            return m;
        }
        e->fullRates = {1.0, 4.0, 0.5, 0.8, 3.0, 1.0};
    } else {
        const AAMatrix *lg = getAAMatrix(kAAMatrixLG);
        m->type = kModelAminoAcid;
        m->nstates = 20;
        e->pi.assign(lg->pi, lg->pi + 20);
        double s = 0.0;
        for (double x : e->pi)
            s += x;
        for (double &x : e->pi)
            x /= s;
        m->stateFreqs = e->pi;
        e->fullRates.assign(lg->rmatrix, lg->rmatrix + kNumAAExchangeabilities);
        e->diag = allocMatrixDiag(20, false, true, 0, true);
    }
    updateGTRmatrix(m);
    return m;
}

// range(0): states; range(1): 0 closed form, 1 eigen path, 2 float eigen path.
void BM_ChDvMatrixSets(benchmark::State &state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    const auto kind = state.range(1);
    Model *m = benchModel(n, kind != 0);
    const ChDvMatrixFxn f = kind == 0 ? hky_ChDvMatrix : kind == 1 ? gtr_ChDvMatrix : gtr_ChDvMatrix_Vec;
    MatrixSet s(n);
    double t = 0.01;
    for (auto _ : state) {
        f(m, t, 0.8, s.dv());
        benchmark::DoNotOptimize(s.p.rows[1][2]);
        t = t < 2.0 ? t * 1.01 : 0.01;
    }
    state.counters["sets_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    destroyModel(m);
}
BENCHMARK(BM_ChDvMatrixSets)->Args({4, 0})->Args({4, 1})->Args({20, 1})->Args({20, 2});

void factoryLikelihoodSettings()
{
    ml = LSet{};
    ml.NST = static_cast<int32_t>(kSubstSixRates);
    ml.baseFreqMode = kFreqEmpirical;
    ml.rates = 1;
    ml.ncat = 4;
    ml.userGammaShape = 0.6;
    ml.precision = 1;
    ml.vector = 1;
    ml.clRescale = 1e-20;
    ml.maxBrlen = 10.0;
    ml.spToler = 1e-7;
    ml.dpToler = 1e-10;
    ml.maxPass = 20;
    ml.initArbBrLen = 0.1;
    ml.userRateScaler = 1.0;
    for (int i = 0; i < 6; ++i) {
        (&ml.rAC)[i] = 1.0;
        (&ml.cAC)[i] = i;
    }
}

void writePeerFiles(const DataInfo *d, Tree *tree, const std::string &dir)
{
    if (FILE *f = std::fopen((dir + "/a.phy").c_str(), "w")) {
        std::fprintf(f, "%u %u\n", d->ntax, d->nchar);
        for (uint32_t t = 0; t < d->ntax; ++t) {
            std::fprintf(f, "t%-9u ", t + 1);
            for (uint32_t c = 0; c < d->nchar; ++c)
                std::fputc("ACGT"[d->matrix[t][c] & 3], f);
            std::fputc('\n', f);
        }
        std::fclose(f);
    }
    std::function<std::string(const TreeNode *)> newick = [&](const TreeNode *n) -> std::string {
        std::string s;
        if (n->firstChild == nullptr)
            s = "t" + std::to_string(n->index + 1);
        else {
            s = "(";
            for (const TreeNode *c = n->firstChild; c; c = c->nextSib) {
                if (c != n->firstChild)
                    s += ',';
                s += newick(c);
            }
            s += ")";
        }
        return s + ":" + std::to_string(n->edge.brlen);
    };
    if (FILE *f = std::fopen((dir + "/t.nwk").c_str(), "w")) {
        // The root tip joins the basal fork's children as a trifurcation.
        std::string s = "(t1:" + std::to_string(tree->root->firstChild->edge.brlen);
        for (const TreeNode *c = tree->root->firstChild->firstChild; c; c = c->nextSib) {
            s += ',';
            s += newick(c);
        }
        std::fprintf(f, "%s);\n", s.c_str());
        std::fclose(f);
    }
}

void BM_InitializeML(benchmark::State &state)
{
    const auto ntax = static_cast<uint32_t>(state.range(0));
    const auto nchar = static_cast<uint32_t>(state.range(1));
    std::mt19937 rng(99);
    DataInfo *d = createDnaMatrix(ntax, nchar);
    Tree *tree = randomBinaryTree(ntax, rng);
    simulateOnTree(d, tree, rng, ntax, nchar);
    std::uniform_real_distribution<double> len(0.01, 0.2);
    for (uint32_t i = 0; i < tree->maxNodes; ++i)
        tree->nodes[i].edge.brlen = len(rng);
    d->dataType = kDataTypeDNA;
    setActiveDataInfo(d);
    initTaxStatus(d);
    initializeDataInfo(d);
    const LSet saved = ml;
    factoryLikelihoodSettings();
    setModelEngineReleaser(releaseModelEngine);
    createModelList();
    storeCurrentModel("", d, false);
    if (const char *dir = std::getenv("VORN_BENCH_WRITE"))
        writePeerFiles(d, tree, dir);
    for (auto _ : state) {
        invalidateSitePatternData(true);
        if (initializeML(true, false, false, false, tree) != 0)
            state.SkipWithError("initializeML failed");
    }
    disposeML(false);
    invalidateSitePatternData(true);
    destroyModelList();
    ml = saved;
    destroyTree(tree, true);
    setActiveDataInfo(nullptr);
    destroyDataInfo(d);
}
BENCHMARK(BM_InitializeML)->Args({150, 2000})->Unit(benchmark::kMillisecond);

}  // namespace
=======
// Likelihood kernels: CL updates (both inputs internal) and edge
// evaluations (with both derivatives) per second, for every table the CPU
// runs, on 2,000 DNA and 2,000 protein patterns with four rate categories;
// and one evaluation spread over 1, 2 and 4 threads.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "likelihood/kernels/lik_kernels.h"
#include "likelihood/ml_multithread.h"
#include "qel/qel_multithread.h"

namespace {

constexpr uint32_t kCats = 4;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// Random CLAs, matrices and weights in the layout of one table.
struct KernelData {
    LikKernelContext ctx{};
    std::vector<double> weights;
    std::unique_ptr<char, FreeDeleter> a, b, out, P, W;
    std::vector<uint8_t> tips;

    KernelData(const LikKernels &K, uint32_t nstates, uint32_t npat)
    {
        const uint32_t nv = likValuesPerPattern(K, nstates);
        const size_t elem = K.precision == LikPrecision::Double ? 8 : 4;
        ctx.nstates = nstates;
        ctx.nvals = nv;
        ctx.npatterns = npat;
        ctx.ncat = kCats;
        ctx.ntipcodes = nstates + 1;
        ctx.rescaleThreshold = 1e-30;
        weights.assign(npat, 1.0);
        ctx.weights = weights.data();
        std::mt19937_64 rng(1);
        std::uniform_real_distribution<double> u(0.05, 1.0);
        auto fill = [&](size_t count, bool padded) {
            const size_t bytes = (count * elem + 63) / 64 * 64;
            char *p = static_cast<char *>(std::aligned_alloc(64, bytes));
            for (size_t i = 0; i < count; ++i) {
                const bool pad = padded && i % nv >= nstates;
                const double v = pad ? 0.0 : u(rng) / nstates;
                if (elem == 8)
                    reinterpret_cast<double *>(p)[i] = v;
                else
                    reinterpret_cast<float *>(p)[i] = static_cast<float>(v);
            }
            return std::unique_ptr<char, FreeDeleter>(p);
        };
        const size_t cla = static_cast<size_t>(kCats) * npat * nv;
        a = fill(cla, true);
        b = fill(cla, true);
        out = fill(cla, true);
        P = fill(static_cast<size_t>(kCats) * nv * nv, true);
        W = fill(static_cast<size_t>(kCats) * nv * nv, true);
        tips.resize(npat);
        for (uint8_t &t : tips)
            t = static_cast<uint8_t>(rng() % (nstates + 1));
    }
    LikClOp clOp() const { return {out.get(), a.get(), b.get(), nullptr, nullptr, P.get(), P.get()}; }
    LikEvalOp evalOp() const { return {a.get(), b.get(), nullptr, nullptr, nullptr, W.get(), W.get(), W.get()}; }
};

void BM_ClUpdate(benchmark::State &st, const LikKernels *K, uint32_t nstates)
{
    KernelData d(*K, nstates, 2000);
    const LikClOp op = d.clOp();
    const uint32_t items = d.ctx.npatterns * kCats;
    for (auto _ : st)
        benchmark::DoNotOptimize(K->clLoop_0Tip(d.ctx, op, 0, items));
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * items);
}

void BM_EdgeEval(benchmark::State &st, const LikKernels *K, uint32_t nstates)
{
    KernelData d(*K, nstates, 2000);
    const LikEvalOp op = d.evalOp();
    for (auto _ : st)
        benchmark::DoNotOptimize(K->eval0Tip(d.ctx, op, 0, d.ctx.npatterns, kLikModeLnL | kLikModeD1 | kLikModeD2));
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * d.ctx.npatterns);
}

// One large protein evaluation over a likelihood thread group.
void BM_EdgeEvalThreads(benchmark::State &st)
{
    const auto n = static_cast<int32_t>(st.range(0));
    if (n > availableProcessors()) {
        st.SkipWithError("more threads than processors");
        return;
    }
    const LikKernels &K = chooseLikKernels(20, true, true, false);
    KernelData d(K, 20, 40000);
    const LikEvalOp op = d.evalOp();
    LikThreads *threads = createLikThreads(n);
    for (auto _ : st)
        benchmark::DoNotOptimize(evalEdgeMultithreaded(threads, K.eval0Tip, d.ctx, op, kLikModeLnL));
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * d.ctx.npatterns);
    destroyLikThreads(threads);
}

struct Variant {
    LikKernelSet set;
    LikIsa isa;
    const char *label;
};

const bool kRegistered = [] {
    const std::vector<Variant> dna = {{LikKernelSet::Dna, LikIsa::Generic, "dna/double"},
                           {LikKernelSet::SP, LikIsa::Generic, "dna/single"},
                           {LikKernelSet::Dna_Vec, LikIsa::Sse, "dna/single_sse"},
                           {LikKernelSet::Dna_Vec, LikIsa::Avx2, "dna/single_avx2"}};
    const std::vector<Variant> aa = {{LikKernelSet::Gen, LikIsa::Generic, "protein/double"},
                          {LikKernelSet::SP, LikIsa::Generic, "protein/single"},
                          {LikKernelSet::Gen_Vec, LikIsa::Sse, "protein/single_sse"},
                          {LikKernelSet::Gen_Vec, LikIsa::Avx2, "protein/single_avx2"}};
    for (const auto &[variants, n] : {std::pair{&dna, 4u}, std::pair{&aa, 20u}})
        for (const Variant &v : *variants)
            if (const LikKernels *K = likKernelsOf(v.set, v.isa)) {
                benchmark::RegisterBenchmark((std::string("BM_ClUpdate/") + v.label).c_str(), BM_ClUpdate, K, n);
                benchmark::RegisterBenchmark((std::string("BM_EdgeEval/") + v.label).c_str(), BM_EdgeEval, K, n);
            }
    return true;
}();

}  // namespace

BENCHMARK(BM_EdgeEvalThreads)->Arg(1)->Arg(2)->Arg(4)->UseRealTime();
>>>>>>> issue-31
