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

// mode: what the evaluation asks for; a Newton step of a branch-length pass
// asks for the two derivatives alone.
void BM_EdgeEval(benchmark::State &st, const LikKernels *K, uint32_t nstates, uint32_t mode)
{
    KernelData d(*K, nstates, 2000);
    const LikEvalOp op = d.evalOp();
    for (auto _ : st)
        benchmark::DoNotOptimize(K->eval0Tip(d.ctx, op, 0, d.ctx.npatterns, mode));
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
                           {LikKernelSet::Dna_DVec, LikIsa::Sse, "dna/double_sse"},
                           {LikKernelSet::Dna_DVec, LikIsa::Avx2, "dna/double_avx2"},
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
                benchmark::RegisterBenchmark((std::string("BM_EdgeEval/") + v.label).c_str(), BM_EdgeEval, K, n,
                                             kLikModeLnL | kLikModeD1 | kLikModeD2);
                benchmark::RegisterBenchmark((std::string("BM_EdgeDerivs/") + v.label).c_str(), BM_EdgeEval, K, n,
                                             kLikModeD1 | kLikModeD2);
            }
    return true;
}();

}  // namespace

BENCHMARK(BM_EdgeEvalThreads)->Arg(1)->Arg(2)->Arg(4)->UseRealTime();
