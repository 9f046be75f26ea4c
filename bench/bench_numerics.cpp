// The numerical kernels of the likelihood inner loop: transition matrices
// from an eigen-decomposition, the decomposition itself, and the chi-square
// quantile behind the discrete-gamma rate categories.
//
// calcExpAt is timed beside the BLAS dgemm this program links (the static
// reference BLAS of the support library) forming the same product
// U diag(w) V^T: once with the matrices as the record holds them, w computed
// and U scaled by it in the timed loop (the same work calcExpAt does), and
// once as a bare dgemm on a U already scaled (the product alone).

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "qel/qel_diag.h"
#include "qel/qel_distrib.h"
#include "qel/qel_malloc.h"
#include "qel/qel_matrices.h"

extern "C" void dgemm_(const char *transa, const char *transb, const int *m, const int *n,
                       const int *k, const double *alpha, const double *a, const int *lda,
                       const double *b, const int *ldb, const double *beta, double *c,
                       const int *ldc, size_t, size_t);

namespace {

// A random reversible rate matrix with one expected substitution per unit
// time, its frequencies, and its decomposition.
struct RateModel {
    uint32_t n;
    std::vector<double> pi;
    double **q;
    double **work;
    double **p;
    MatrixDiag *diag;

    explicit RateModel(uint32_t states)
        : n(states), pi(states), q(allocMatrixOf<double>(states, states)),
          work(allocMatrixOf<double>(states, states)), p(allocMatrixOf<double>(states, states)),
          diag(allocMatrixDiag(states, false, true, 0, false))
    {
        std::mt19937_64 rng(states);
        std::uniform_real_distribution<double> uniform(0.05, 1.0);
        double total = 0.0;
        for (double &x : pi)
            total += x = uniform(rng);
        for (double &x : pi)
            x /= total;
        double mean = 0.0;
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = i + 1; j < n; ++j) {
                const double r = 5.0 * uniform(rng);
                q[i][j] = r * pi[j];
                q[j][i] = r * pi[i];
            }
        for (uint32_t i = 0; i < n; ++i) {
            double row = 0.0;
            for (uint32_t j = 0; j < n; ++j)
                row += j == i ? 0.0 : q[i][j];
            q[i][i] = -row;
            mean += pi[i] * row;
        }
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = 0; j < n; ++j)
                q[i][j] /= mean;
        diagonalizeRateMatrix(q, work, pi.data(), diag);
    }
    ~RateModel()
    {
        deallocMatrixDiag(diag);
        deallocMatrix(p);
        deallocMatrix(work);
        deallocMatrix(q);
    }
    RateModel(const RateModel &) = delete;
    RateModel &operator=(const RateModel &) = delete;
};

// Branch lengths cycled through, so that no call repeats the previous one.
constexpr double kLengths[8] = {0.01, 0.05, 0.1, 0.2, 0.35, 0.5, 1.0, 2.0};

void BM_CalcExpAt(benchmark::State &st)
{
    RateModel m(static_cast<uint32_t>(st.range(0)));
    size_t next = 0;
    for (auto _ : st) {
        calcExpAt(m.diag, nullptr, nullptr, m.p, kLengths[next++ & 7]);
        benchmark::DoNotOptimize(m.p[0][0]);
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations());
}

// w, U diag(w) and the dgemm that multiplies it by V^T. The row-major
// buffers are the transposes LAPACK sees, so P^T = V (U diag(w))^T is asked
// for in column-major terms: dgemm ("T", "N") on V and the scaled U.
void BM_DgemmExpProduct(benchmark::State &st)
{
    RateModel m(static_cast<uint32_t>(st.range(0)));
    const int n = static_cast<int>(m.n);
    const double one = 1.0, zero = 0.0;
    std::vector<double> w(m.n), scaled(m.n * m.n);
    size_t next = 0;
    for (auto _ : st) {
        makeDiagonalW(m.diag, w.data(), nullptr, kLengths[next++ & 7]);
        for (uint32_t i = 0; i < m.n; ++i)
            for (uint32_t k = 0; k < m.n; ++k)
                scaled[i * m.n + k] = m.diag->u[i][k] * w[k];
        dgemm_("T", "N", &n, &n, &n, &one, m.diag->v[0], &n, scaled.data(), &n, &zero, m.p[0], &n,
               1, 1);
        benchmark::DoNotOptimize(m.p[0][0]);
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations());
}

// The bare product, on a U scaled once outside the loop.
void BM_DgemmOnly(benchmark::State &st)
{
    RateModel m(static_cast<uint32_t>(st.range(0)));
    const int n = static_cast<int>(m.n);
    const double one = 1.0, zero = 0.0;
    std::vector<double> w(m.n), scaled(m.n * m.n);
    makeDiagonalW(m.diag, w.data(), nullptr, 0.1);
    for (uint32_t i = 0; i < m.n; ++i)
        for (uint32_t k = 0; k < m.n; ++k)
            scaled[i * m.n + k] = m.diag->u[i][k] * w[k];
    for (auto _ : st) {
        dgemm_("T", "N", &n, &n, &n, &one, m.diag->v[0], &n, scaled.data(), &n, &zero, m.p[0], &n,
               1, 1);
        benchmark::DoNotOptimize(m.p[0][0]);
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations());
}

// One decomposition per call, the rate matrix copied into the work matrix
// first (as a model does when its parameters change).
void BM_DiagonalizeRateMatrix(benchmark::State &st)
{
    RateModel m(static_cast<uint32_t>(st.range(0)));
    for (auto _ : st) {
        benchmark::DoNotOptimize(diagonalizeRateMatrix(m.q, m.work, m.pi.data(), m.diag));
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations());
}

// Quantiles as the discrete-gamma categories ask for them: the category
// boundaries i / k of chi-square distributions with 2 alpha degrees of
// freedom, alpha from 0.05 to 20. Items/s is ppChi2 calls per second.
void BM_PpChi2(benchmark::State &st)
{
    struct Query {
        double p, v, g;
    };
    std::vector<Query> queries;
    for (double alpha : {0.05, 0.2, 0.5, 1.0, 2.0, 5.0, 20.0})
        for (int k : {4, 8})
            for (int i = 1; i < k; ++i)
                queries.push_back({static_cast<double>(i) / k, 2.0 * alpha, std::lgamma(alpha)});
    double sum = 0.0;
    for (auto _ : st) {
        for (const Query &q : queries) {
            uint32_t err = 0;
            sum += ppChi2(&err, q.p, q.v, q.g);
        }
    }
    benchmark::DoNotOptimize(sum);
    st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(queries.size()));
}

}  // namespace

BENCHMARK(BM_CalcExpAt)->Arg(4)->Arg(20)->Arg(61);
BENCHMARK(BM_DgemmExpProduct)->Arg(4)->Arg(20)->Arg(61);
BENCHMARK(BM_DgemmOnly)->Arg(4)->Arg(20)->Arg(61);
BENCHMARK(BM_DiagonalizeRateMatrix)->Arg(4)->Arg(20)->Arg(61);
BENCHMARK(BM_PpChi2);
