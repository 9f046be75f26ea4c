// Transition-matrix sets with derivatives per second (4 states in the
// closed HKY form and by the eigen path, 20 states by the eigen path in
// double and single precision); and, on a 150-taxon x 2,000-site DNA matrix
// simulated on a random tree: the likelihood set-up (initializeML), whole-
// tree evaluations at fixed lengths, and the whole GTR+G4 scoring of the
// tree. With VORN_BENCH_WRITE=<dir> each of these writes that matrix and
// tree as <dir>/a.phy and <dir>/t.nwk, so that a peer program can be timed
// on the same data (bench/likelihood_vs_iqtree.py).
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "data/data_util.h"
#include "data/empirfreqs.h"
#include "data/patterns.h"
#include "likelihood/aamatrices.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlinit.h"
#include "likelihood/ml_multithread.h"
#include "likelihood/modelgroup.h"
#include "likelihood/models.h"
#include "likelihood/treelike.h"
#include "search/bootjack.h"
#include "selection/patfittest.h"
#include "trees/treeedit.h"

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

// A DNA matrix simulated on a random tree, the likelihood set up on that
// tree with the factory settings adjusted by `adjust`, and everything torn
// down again. With VORN_BENCH_WRITE=<dir> the matrix and the tree (with the
// lengths it has when `write` is called) go to <dir>/a.phy and <dir>/t.nwk.
struct FixedTreeLikelihood {
    DataInfo *d = nullptr;
    Tree *tree = nullptr;
    LSet saved = ml;
    bool ok = false;

    template <typename Adjust>
    FixedTreeLikelihood(uint32_t ntax, uint32_t nchar, Adjust adjust)
    {
        std::mt19937 rng(99);
        d = createDnaMatrix(ntax, nchar);
        tree = randomBinaryTree(ntax, rng);
        simulateOnTree(d, tree, rng, ntax, nchar);
        std::uniform_real_distribution<double> len(0.01, 0.2);
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            tree->nodes[i].edge.brlen = len(rng);
        d->dataType = kDataTypeDNA;
        setActiveDataInfo(d);
        initTaxStatus(d);
        initializeDataInfo(d);
        factoryLikelihoodSettings();
        adjust();
        setModelEngineReleaser(releaseModelEngine);
        createModelList();
        storeCurrentModel("", d, false);
        write();
        ok = initializeML(true, false, false, false, tree) == 0;
    }
    void write() const
    {
        if (const char *dir = std::getenv("VORN_BENCH_WRITE"))
            writePeerFiles(d, tree, dir);
    }
    ~FixedTreeLikelihood()
    {
        disposeML(false);
        invalidateSitePatternData(true);
        destroyModelList();
        ml = saved;
        destroyTree(tree, true);
        setActiveDataInfo(nullptr);
        destroyDataInfo(d);
    }
};

void BM_InitializeML(benchmark::State &state)
{
    FixedTreeLikelihood f(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)), [] {});
    for (auto _ : state) {
        invalidateSitePatternData(true);
        if (initializeML(true, false, false, false, f.tree) != 0)
            state.SkipWithError("initializeML failed");
    }
}
BENCHMARK(BM_InitializeML)->Args({150, 2000})->Unit(benchmark::kMillisecond);

// One bootstrap replicate under likelihood on range(0) taxa x range(1)
// sites, scored on one tree at fixed lengths: the sites drawn, the data
// made ready for the replicate, one whole-tree evaluation. range(2) 0: the
// draw changes the characters' weights and the site patterns are built
// again with the whole likelihood set-up; 1: the draw changes the pattern
// frequencies in place, and only what the frequencies decide (empirical
// base frequencies, the model) follows. Replicates per second.
void BM_BootstrapReplicate(benchmark::State &state)
{
    FixedTreeLikelihood f(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)), [] {});
    if (!f.ok) {
        state.SkipWithError("initializeML failed");
        return;
    }
    const bool inPlace = state.range(2) != 0;
    const uint32_t nchar = f.d->nchar;
    const std::vector<double> savedWts(f.d->weights, f.d->weights + nchar);
    ModelGroup *g = activeModelGroup();
    const std::vector<double> freqs(g->groupPatternWeight, g->groupPatternWeight + g->ngrp);
    std::vector<uint32_t> charPattern(g->siteToGroupPattern, g->siteToGroupPattern + nchar);
    const PatternDraws src{freqs.data(), g->ngrp, charPattern.data(), savedWts.data(), nchar};
    RNG rng{};
    initRNG(&rng, makeSeed1(7));
    MultinomialSampler *sampler = createMultinomialSampler(freqs.data(), g->ngrp, &rng);
    double lnL = 0.0;
    for (auto _ : state) {
        if (inPlace) {
            bootPatternSample(g->groupPatternWeight, src, nchar, false, sampler, &rng);
            g->empirFreqsValid = 0;
            calcEmpirFreqsForPatData(g, f.d, firstActiveModel());
            for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive)
                initializeModelVars(m);
        } else {
            std::fill(f.d->weights, f.d->weights + nchar, 0.0);
            for (uint32_t k = 0; k < nchar; k++)
                f.d->weights[randomInteger(&rng, nchar)] += 1.0;
            invalidateSitePatternData(true);
            if (initializeML(true, false, false, false, f.tree) != 0)
                state.SkipWithError("initializeML failed");
            g = activeModelGroup();
        }
        checkTraversalSeq(f.tree);
        setActiveTreeForML(f.tree);
        lnL = -calcLForCurBranchLens(f.tree, false);
    }
    destroyMulnomSampler(sampler);
    std::copy(savedWts.begin(), savedWts.end(), f.d->weights);
    state.counters["lnL"] = lnL;
    state.counters["reps_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BootstrapReplicate)->Args({150, 2000, 0})->Args({150, 2000, 1})->Unit(benchmark::kMillisecond);

// PatFitTest with pooling on one tree of range(0) taxa x range(1) sites
// under JC: the tree's branch lengths fitted from the same starts, as the
// command does per tree, then every class probability of steps and state
// set. Seconds per tree; no peer computes the pooled classes.
void BM_PatFitPooledPerTree(benchmark::State &state)
{
    FixedTreeLikelihood f(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)), [] {
        ml.NST = static_cast<int32_t>(kSubstOneRate);
        ml.baseFreqMode = kFreqEqual;
        ml.rates = 0;
    });
    if (!f.ok) {
        state.SkipWithError("initializeML failed");
        return;
    }
    std::vector<double> E;
    for (auto _ : state) {
        setBranchLengthsToValue(f.tree, 0.1);
        if (calcTreeLikelihood(f.tree, kNoLScore) >= kNoLScore ||
            pooledClassProbs(f.tree, activeModelGroup(), static_cast<uint32_t>(state.range(0)), E) != 0)
            state.SkipWithError("pattern classes not computed");
    }
    double sum = 0.0;
    for (double e : E)
        sum += e;
    state.counters["sum_E"] = sum;
}
BENCHMARK(BM_PatFitPooledPerTree)->Args({40, 5000})->UseRealTime()->Unit(benchmark::kSecond)->Iterations(3);

// The whole scoring of a fixed tree under GTR+G4 with the rates, the shape
// and every branch length estimated from the factory starts (parsimony
// lengths and starting values), as `iqtree2 -s a.phy -te t.nwk -m GTR+F+G4
// -nt 1` does, on range(2) likelihood threads, in the factory single
// precision or (the Double form) in double; the tree's lengths are reset
// before every run. The -ln L reached and the number of likelihood
// evaluations (edges and whole trees) are reported as counters.
void gtrGammaOnFixedTree(benchmark::State &state, int32_t precision)
{
    FixedTreeLikelihood f(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)), [&] {
        ml.estRmatrix = 1;
        ml.estGammaShape = 1;
        ml.praxisTol = 1e-4;
        ml.brentT = 1e-10;
        ml.nthreads = static_cast<int32_t>(state.range(2));
        ml.precision = precision;
    });
    if (!f.ok)
        state.SkipWithError("initializeML failed");
    double lnL = 0.0;
    for (auto _ : state) {
        setBranchLengthsToValue(f.tree, 0.1);
        lnL = -calcTreeLikelihood(f.tree, kNoLScore);
    }
    // The counter shows thousands: the part beyond -167,000 keeps the digits.
    state.counters["lnL_plus_167000"] = lnL + 167000.0;
    state.counters["evals"] = numLikeFxnEvals();
}

void BM_GTRGammaOnFixedTree(benchmark::State &state) { gtrGammaOnFixedTree(state, 1); }
BENCHMARK(BM_GTRGammaOnFixedTree)->Args({150, 2000, 1})->Args({150, 2000, 2})->UseRealTime()->Unit(benchmark::kSecond)->Iterations(1);

void BM_GTRGammaOnFixedTreeDouble(benchmark::State &state) { gtrGammaOnFixedTree(state, 0); }
BENCHMARK(BM_GTRGammaOnFixedTreeDouble)->Args({150, 2000, 1})->UseRealTime()->Unit(benchmark::kSecond)->Iterations(1);

// Whole-tree evaluations at fixed branch lengths and parameters (GTR+G4):
// every CLA made afresh and the tree's -ln L taken, as a peer evaluating a
// list of trees with fixed lengths does. range(2): threads; range(3): 1 for
// the factory single precision with vector kernels, 0 for double.
void BM_WholeTreeLikelihood(benchmark::State &state)
{
    FixedTreeLikelihood f(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)), [&] {
        ml.nthreads = static_cast<int32_t>(state.range(2));
        ml.precision = static_cast<int32_t>(state.range(3));
    });
    if (!f.ok) {
        state.SkipWithError("initializeML failed");
        return;
    }
    ModelGroupEngine &e = *activeModelGroup()->engine;
    if (ml.nthreads > 1 && (e.likThreads = createLikThreads(ml.nthreads)) == nullptr) {
        state.SkipWithError("threads not started");
        return;
    }
    checkTraversalSeq(f.tree);
    setActiveTreeForML(f.tree);
    double lnL = 0.0;
    const std::clock_t cpu0 = std::clock();
    for (auto _ : state)
        lnL = -calcLForCurBranchLens(f.tree, false);
    // Processor time of every thread of the process per evaluation: beside
    // the one-thread figure it shows what the threads cost in all, which a
    // busy machine's wall times hide.
    state.counters["process_cpu_ms"] =
        1e3 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC / static_cast<double>(state.iterations());
    // The part of the chunks the workers did (0 when the calling thread ran
    // every round alone because threads did not pay).
    if (e.likThreads != nullptr) {
        double all = 0.0;
        for (int32_t i = 0; i < ml.nthreads; ++i)
            all += static_cast<double>(likChunksDoneBy(e.likThreads, i));
        state.counters["worker_share"] = all > 0 ? 1.0 - static_cast<double>(likChunksDoneBy(e.likThreads, 0)) / all : 0.0;
    }
    e.likThreads = destroyLikThreads(e.likThreads);
    state.counters["lnL"] = lnL;
    state.counters["trees_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WholeTreeLikelihood)
    ->Args({150, 2000, 1, 1})
    ->Args({150, 2000, 1, 0})
    ->Args({150, 2000, 2, 1})
    ->Args({150, 2000, 8, 1})
    ->Args({150, 20000, 1, 1})
    ->Args({150, 20000, 2, 1})
    ->Args({150, 20000, 8, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The scheduler's account of a thread: seconds on a processor and seconds
// waiting for one while runnable. A worker that waited long for a
// processor lost its share to other programs, not to the likelihood code.
struct SchedTimes {
    double run = 0.0;
    double queued = 0.0;
};
SchedTimes schedTimesAt(const std::string &path)
{
    SchedTimes t;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        unsigned long long run = 0, queued = 0;
        if (std::fscanf(f, "%llu %llu", &run, &queued) == 2)
            t = {static_cast<double>(run) * 1e-9, static_cast<double>(queued) * 1e-9};
        std::fclose(f);
    }
    return t;
}
SchedTimes callerSchedTimes() { return schedTimesAt("/proc/thread-self/schedstat"); }
// Worker 1 of the group (nothing before it has started).
SchedTimes workerSchedTimes(const LikThreads *t)
{
    const int64_t tid = likWorkerTid(t, 1);
    return tid == 0 ? SchedTimes{} : schedTimesAt("/proc/self/task/" + std::to_string(tid) + "/schedstat");
}

// Counters that say where two threads' gain went: the share of the rounds
// the pay clock left to the calling thread, the rounds whose calling
// thread slept for a worker, its seconds waiting at the ends of rounds, and
// the worker's seconds queued for a processor against its seconds on one,
// and the workers' share of the chunks.
void threadCounters(benchmark::State &state, const LikThreads *t, SchedTimes worker0, SchedTimes worker1)
{
    const LikThreadStats s = likThreadStats(t);
    const double rounds = static_cast<double>(s.threadedRounds + s.aloneRounds);
    state.counters["alone_rounds"] = rounds > 0 ? static_cast<double>(s.aloneRounds) / rounds : 0.0;
    state.counters["slept_rounds"] = static_cast<double>(s.waits);
    state.counters["stalls"] = static_cast<double>(s.stalls);
    state.counters["timings"] = static_cast<double>(s.timings);
    state.counters["end_wait_s"] = s.waitSeconds;
    state.counters["worker_run_s"] = worker1.run - worker0.run;
    state.counters["worker_queued_s"] = worker1.queued - worker0.queued;
    double all = 0.0;
    for (int32_t i = 0; i < likThreadCount(t); ++i)
        all += static_cast<double>(likChunksDoneBy(t, i));
    state.counters["worker_share"] = all > 0 ? 1.0 - static_cast<double>(likChunksDoneBy(t, 0)) / all : 0.0;
}

// The medians of paired runs alone and on the threads (in `unit`) and of
// their ratios, the gain, with the smallest and largest ratio.
void pairedGainCounters(benchmark::State &state, const std::vector<double> &alone, const std::vector<double> &threaded,
                        const std::vector<double> &gains, const std::string &unit)
{
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    state.counters["alone_" + unit] = median(alone);
    state.counters["threaded_" + unit] = median(threaded);
    state.counters["gain"] = median(gains);
    state.counters["gain_min"] = gains.empty() ? 0.0 : *std::min_element(gains.begin(), gains.end());
    state.counters["gain_max"] = gains.empty() ? 0.0 : *std::max_element(gains.begin(), gains.end());
}

// The calling thread held to the first two processors of the process's
// set while a thread of its own spins flat out on the second, as another
// program would: what a user sees who gives two threads to a run on a
// machine where one of the two processors is taken. Threads made after it
// (the likelihood workers) inherit the two processors; the calling thread's
// processors are given back at the end.
class BusySecondProcessor {
public:
    BusySecondProcessor()
    {
        if (sched_getaffinity(0, sizeof saved_, &saved_) != 0)
            return;
        int cpus[2], n = 0;
        for (int c = 0; c < CPU_SETSIZE && n < 2; ++c)
            if (CPU_ISSET(c, &saved_))
                cpus[n++] = c;
        cpu_set_t two;
        CPU_ZERO(&two);
        CPU_SET(cpus[0], &two);
        CPU_SET(cpus[1], &two);
        if (n < 2 || pthread_setaffinity_np(pthread_self(), sizeof two, &two) != 0)
            return;
        held_ = true;
        spinner_ = std::thread([this, busy = cpus[1]] {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(busy, &one);
            pinned_ = pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
            started_.store(true);
            uint64_t spins = 0;
            while (!stop_.load(std::memory_order_relaxed))
                benchmark::DoNotOptimize(++spins);
        });
        while (!started_.load())
            std::this_thread::yield();
    }
    ~BusySecondProcessor()
    {
        stop_.store(true);
        if (spinner_.joinable())
            spinner_.join();
        if (held_)
            pthread_setaffinity_np(pthread_self(), sizeof saved_, &saved_);
    }
    BusySecondProcessor(const BusySecondProcessor &) = delete;
    BusySecondProcessor &operator=(const BusySecondProcessor &) = delete;
    bool ok() const { return held_ && pinned_; }

private:
    cpu_set_t saved_{};
    bool held_ = false;
    bool pinned_ = false;
    std::atomic<bool> started_{false}, stop_{false};
    std::thread spinner_;
};

// The gain of range(2) threads over one in whole-tree evaluations, as
// BM_WholeTreeLikelihood evaluates, measured in one process: blocks of
// passes on the calling thread alone (no thread group, the one-thread
// program's path) alternate with blocks on the thread group (its pay clock
// deciding as for a user). On a shared machine whose speed swings by a
// third from one second to the next, separate runs of one and two threads
// measure the machine as much as the threads; blocks a few tens of
// milliseconds apart see the same machine. With range(3) = 1 the run has
// two processors, the second kept busy (BusySecondProcessor): there the
// threads must not lose. Counters: the medians of the blocks' milliseconds
// per pass, the median of the paired gains, and the workers' share of the
// chunks.
void BM_WholeTreeThreadGain(benchmark::State &state)
{
    FixedTreeLikelihood f(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)), [&] {
        ml.nthreads = static_cast<int32_t>(state.range(2));
        ml.precision = 1;
    });
    if (!f.ok) {
        state.SkipWithError("initializeML failed");
        return;
    }
    std::unique_ptr<BusySecondProcessor> busy;
    if (state.range(3) != 0 && !(busy = std::make_unique<BusySecondProcessor>())->ok()) {
        state.SkipWithError("could not hold two processors and pin a busy loop on the second");
        return;
    }
    ModelGroupEngine &e = *activeModelGroup()->engine;
    LikThreads *threads = createLikThreads(static_cast<int32_t>(state.range(2)));
    if (threads == nullptr) {
        state.SkipWithError("threads not started");
        return;
    }
    checkTraversalSeq(f.tree);
    setActiveTreeForML(f.tree);
    constexpr int kPasses = 10;
    const auto block = [&](LikThreads *t) {
        e.likThreads = t;
        // One pass untimed: it brings the data a block reads from the
        // processor that wrote it in the block before.
        benchmark::DoNotOptimize(calcLForCurBranchLens(f.tree, false));
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kPasses; ++i)
            benchmark::DoNotOptimize(calcLForCurBranchLens(f.tree, false));
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / kPasses;
    };
    block(threads);  // the pay clock's first windows
    std::vector<double> alone, threaded, gains;
    const SchedTimes worker0 = workerSchedTimes(threads);
    for (auto _ : state) {
        const double a = block(nullptr), t = block(threads);
        alone.push_back(a);
        threaded.push_back(t);
        gains.push_back(a / t);
    }
    threadCounters(state, threads, worker0, workerSchedTimes(threads));
    e.likThreads = destroyLikThreads(threads);
    pairedGainCounters(state, alone, threaded, gains, "ms");
}
BENCHMARK(BM_WholeTreeThreadGain)
    ->Args({150, 2000, 2, 0})
    ->Args({150, 2000, 2, 1})
    ->Args({150, 20000, 2, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(60);


// The gain of two threads over one in the whole fit that BM_GTRGammaOnFixedTree
// times (GTR+G4, rates, shape and every length from the factory starts),
// measured as pairs of fits one after the other on the same data, one
// thread first in odd pairs and two threads first in even ones: a fit of
// range(1) = 20,000 sites takes seconds, long enough for a shared machine's
// speed to change between separate runs. Each fit is set up afresh (its
// set-up untimed), so both start from the same lengths and values, and the
// -ln L must agree. Counters: the medians of the fits' seconds and of the
// pairs' gains, the medians of the fits' processor seconds (every thread),
// and (threadCounters) the last threaded fit's account.
void BM_FitThreadGain(benchmark::State &state)
{
    std::vector<double> aloneCpu, threadedCpu;
    const auto fit = [&](int32_t threads, double *lnL) {
        FixedTreeLikelihood f(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)), [&] {
            ml.estRmatrix = 1;
            ml.estGammaShape = 1;
            ml.praxisTol = 1e-4;
            ml.brentT = 1e-10;
            ml.nthreads = threads;
        });
        if (!f.ok)
            return -1.0;
        // The group made here rather than by the fit, so that its account
        // can be read at the end.
        ModelGroupEngine &e = *activeModelGroup()->engine;
        if (threads > 1 && (e.likThreads = createLikThreads(threads)) == nullptr)
            return -1.0;
        setBranchLengthsToValue(f.tree, 0.1);
        // The worker's account from its start: it is made above, and does
        // nothing before the fit.
        const SchedTimes mine0 = callerSchedTimes();
        const auto start = std::chrono::steady_clock::now();
        *lnL = -calcTreeLikelihood(f.tree, kNoLScore);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const SchedTimes mine1 = callerSchedTimes();
        double cpu = mine1.run - mine0.run;
        if (e.likThreads != nullptr) {
            const SchedTimes worker = workerSchedTimes(e.likThreads);
            threadCounters(state, e.likThreads, SchedTimes{}, worker);
            state.counters["caller_queued_s"] = mine1.queued - mine0.queued;
            cpu += worker.run;
            e.likThreads = destroyLikThreads(e.likThreads);
        }
        (threads > 1 ? threadedCpu : aloneCpu).push_back(cpu);
        return seconds;
    };
    std::vector<double> alone, threaded, gains;
    double lnL1 = 0.0, lnL2 = 0.0;
    for (auto _ : state) {
        const bool oneFirst = alone.size() % 2 == 0;
        double a, t;
        if (oneFirst) {
            a = fit(1, &lnL1);
            t = fit(static_cast<int32_t>(state.range(2)), &lnL2);
        } else {
            t = fit(static_cast<int32_t>(state.range(2)), &lnL2);
            a = fit(1, &lnL1);
        }
        if (a < 0 || t < 0) {
            state.SkipWithError("initializeML failed");
            return;
        }
        if (lnL1 != lnL2) {
            state.SkipWithError("the threads' fit reached another -ln L");
            return;
        }
        alone.push_back(a);
        threaded.push_back(t);
        gains.push_back(a / t);
    }
    pairedGainCounters(state, alone, threaded, gains, "s");
    // Processor seconds of the fit's threads: what the second thread adds
    // to the work (spinning, a round's set-up twice, caches filled twice).
    std::sort(aloneCpu.begin(), aloneCpu.end());
    std::sort(threadedCpu.begin(), threadedCpu.end());
    state.counters["alone_cpu_s"] = aloneCpu[aloneCpu.size() / 2];
    state.counters["threaded_cpu_s"] = threadedCpu[threadedCpu.size() / 2];
    state.counters["lnL"] = lnL1;
}
BENCHMARK(BM_FitThreadGain)
    ->Args({150, 2000, 2})
    ->Args({150, 20000, 2})
    ->UseRealTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(3);

}  // namespace
