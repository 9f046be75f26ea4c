#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "qel/qel_diag.h"
#include "qel/qel_linalg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_math.h"
#include "qel/qel_matrices.h"

namespace {

struct MatrixHolder {
    double **m;
    explicit MatrixHolder(uint32_t n) : m(allocMatrixOf<double>(n, n)) {}
    ~MatrixHolder() { deallocMatrix(m); }
    MatrixHolder(const MatrixHolder &) = delete;
    MatrixHolder &operator=(const MatrixHolder &) = delete;
};

struct DiagHolder {
    MatrixDiag *d;
    DiagHolder(uint32_t n, bool symmetric, bool reversible)
        : d(allocMatrixDiag(n, symmetric, reversible, 0, false))
    {
    }
    ~DiagHolder() { deallocMatrixDiag(d); }
    DiagHolder(const DiagHolder &) = delete;
    DiagHolder &operator=(const DiagHolder &) = delete;
};

// A reversible rate matrix Q[i][j] = r_ij pi_j with rows summing to zero,
// scaled to one expected substitution per unit time.
void fillReversible(double **q, const std::vector<double> &pi, const std::vector<double> &rates)
{
    const auto n = static_cast<uint32_t>(pi.size());
    size_t next = 0;
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = i + 1; j < n; ++j) {
            q[i][j] = rates[next] * pi[j];
            q[j][i] = rates[next] * pi[i];
            ++next;
        }
    double mean = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (uint32_t j = 0; j < n; ++j)
            if (j != i)
                row += q[i][j];
        q[i][i] = -row;
        mean += pi[i] * row;
    }
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            q[i][j] /= mean;
}

// Random frequencies (all at least a few percent of the largest) and
// exchangeabilities for an n-state reversible matrix.
void fillRandomReversible(std::mt19937_64 &rng, uint32_t n, std::vector<double> &pi, double **q)
{
    std::uniform_real_distribution<double> uniform(0.05, 1.0);
    pi.resize(n);
    double total = 0.0;
    for (double &x : pi)
        total += x = uniform(rng);
    for (double &x : pi)
        x /= total;
    std::vector<double> rates(n * (n - 1) / 2);
    for (double &x : rates)
        x = uniform(rng) * 5.0;
    fillReversible(q, pi, rates);
}

using Dense = std::vector<std::vector<double>>;

Dense multiply(const Dense &a, const Dense &b)
{
    const size_t n = a.size();
    Dense r(n, std::vector<double>(n, 0.0));
    for (size_t i = 0; i < n; ++i)
        for (size_t k = 0; k < n; ++k)
            for (size_t j = 0; j < n; ++j)
                r[i][j] += a[i][k] * b[k][j];
    return r;
}

// Reference exp(Q t): scaling and squaring around a long Taylor series,
// independent of any eigen-decomposition.
Dense referenceExpm(double **q, uint32_t n, double t)
{
    double norm = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (uint32_t j = 0; j < n; ++j)
            row += std::fabs(q[i][j] * t);
        norm = std::max(norm, row);
    }
    int squarings = 0;
    while (norm > 0.125) {
        norm /= 2.0;
        ++squarings;
    }
    const double scale = t / std::ldexp(1.0, squarings);
    Dense a(n, std::vector<double>(n));
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            a[i][j] = q[i][j] * scale;
    Dense result(n, std::vector<double>(n, 0.0));
    Dense term(n, std::vector<double>(n, 0.0));
    for (uint32_t i = 0; i < n; ++i)
        result[i][i] = term[i][i] = 1.0;
    for (int k = 1; k <= 20; ++k) {
        term = multiply(term, a);
        for (auto &row : term)
            for (double &x : row)
                x /= k;
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = 0; j < n; ++j)
                result[i][j] += term[i][j];
    }
    for (int s = 0; s < squarings; ++s)
        result = multiply(result, result);
    return result;
}

TEST(DiagTest, GtrTransitionMatrixMatchesExpm)
{
    // Reference values from R: Matrix::expm(Q * 0.5) for this GTR model
    // (rates AC, AG, AT, CG, CT, GT), printed with %.15g.
    const std::vector<double> pi{0.1, 0.2, 0.3, 0.4};
    MatrixHolder q(4), p(4), work(4);
    fillReversible(q.m, pi, {1, 2, 1, 1, 3, 1});
    DiagHolder d(4, false, true);
    ASSERT_NE(d.d, nullptr);
    ASSERT_EQ(diagonalizeRateMatrix(q.m, work.m, pi.data(), d.d), 0);
    calcExpAt(d.d, nullptr, nullptr, p.m, 0.5);
    EXPECT_NEAR(p.m[0][0], 0.586672459486085, 1e-12);
    EXPECT_NEAR(p.m[3][1], 0.163545608900626, 1e-12);

    // The single-row form agrees with the full matrix.
    std::vector<double> row(4);
    calcExpAtRow(d.d, 3, nullptr, nullptr, row.data(), 0.5);
    for (uint32_t j = 0; j < 4; ++j)
        EXPECT_DOUBLE_EQ(row[j], p.m[3][j]);

    // With a work matrix the rate matrix itself is left untouched.
    MatrixHolder original(4);
    fillReversible(original.m, pi, {1, 2, 1, 1, 3, 1});
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t j = 0; j < 4; ++j)
            EXPECT_EQ(q.m[i][j], original.m[i][j]);

    // At t = 0 the transition matrix is the identity.
    calcExpAt(d.d, nullptr, nullptr, p.m, 0.0);
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t j = 0; j < 4; ++j)
            EXPECT_NEAR(p.m[i][j], i == j ? 1.0 : 0.0, 1e-14);
}

TEST(DiagTest, RandomReversibleMatricesMatchTaylorReference)
{
    std::mt19937_64 rng(20261207);
    // 70 states exceed the row calcExpAt keeps on the stack.
    for (uint32_t n : {20u, 61u, 70u}) {
        std::vector<double> pi;
        MatrixHolder q(n), p(n);
        fillRandomReversible(rng, n, pi, q.m);
        for (double t : {0.01, 0.3, 2.0}) {
            const Dense expected = referenceExpm(q.m, n, t);
            MatrixHolder copy(n);
            copyMatrix(q.m, copy.m, n, n, sizeof(double));
            DiagHolder d(n, false, true);
            ASSERT_NE(d.d, nullptr);
            // Without a work matrix the copy is consumed in place.
            ASSERT_EQ(diagonalizeRateMatrix(copy.m, nullptr, pi.data(), d.d), 0);
            calcExpAt(d.d, nullptr, nullptr, p.m, t);
            for (uint32_t i = 0; i < n; ++i) {
                double rowSum = 0.0;
                for (uint32_t j = 0; j < n; ++j) {
                    EXPECT_NEAR(p.m[i][j], expected[i][j], 1e-10) << n << " " << t;
                    rowSum += p.m[i][j];
                }
                EXPECT_NEAR(rowSum, 1.0, 1e-12);
            }
        }
    }
}

TEST(DiagTest, EveryLayoutOfPGivesTheSameMatrix)
{
    // Larger matrices go through BLAS when the rows of P lie at one fixed
    // distance apart; rows in a wider block, rows scattered or in reverse
    // order, and each single row must all give the same matrix.
    std::mt19937_64 rng(77);
    for (uint32_t n : {6u, 9u, 20u}) {
        std::vector<double> pi;
        MatrixHolder q(n), work(n), p(n);
        fillRandomReversible(rng, n, pi, q.m);
        DiagHolder d(n, false, true);
        ASSERT_NE(d.d, nullptr);
        ASSERT_EQ(diagonalizeRateMatrix(q.m, work.m, pi.data(), d.d), 0);
        const double t = 0.4;
        const Dense expected = referenceExpm(q.m, n, t);
        std::vector<double> w(n);
        calcExpAt(d.d, nullptr, w.data(), p.m, t);

        // Rows three doubles apart inside a wider block; the gaps stay as
        // they were.
        const uint32_t stride = n + 3;
        std::vector<double> wide(n * stride, -7.0);
        std::vector<double *> wideRows(n), reversedRows(n);
        for (uint32_t i = 0; i < n; ++i)
            wideRows[i] = wide.data() + i * stride;
        calcExpAt(d.d, nullptr, nullptr, wideRows.data(), t);
        std::vector<double> block(n * n);
        for (uint32_t i = 0; i < n; ++i)
            reversedRows[i] = block.data() + (n - 1 - i) * n;
        calcExpAt(d.d, nullptr, nullptr, reversedRows.data(), t);
        Dense scattered(n, std::vector<double>(n));
        std::vector<double *> scatteredRows;
        for (auto &row : scattered)
            scatteredRows.push_back(row.data());
        calcExpAt(d.d, nullptr, nullptr, scatteredRows.data(), t);

        std::vector<double> single(n);
        for (uint32_t i = 0; i < n; ++i) {
            calcExpAtRow(d.d, i, nullptr, nullptr, single.data(), t);
            for (uint32_t j = 0; j < n; ++j) {
                EXPECT_NEAR(p.m[i][j], expected[i][j], 1e-10) << n;
                EXPECT_NEAR(wideRows[i][j], p.m[i][j], 1e-15) << n;
                EXPECT_NEAR(reversedRows[i][j], p.m[i][j], 1e-15) << n;
                EXPECT_NEAR(scattered[i][j], p.m[i][j], 1e-15) << n;
                EXPECT_NEAR(single[j], p.m[i][j], 1e-15) << n;
            }
            for (uint32_t j = n; j < stride; ++j)
                EXPECT_EQ(wide[i * stride + j], -7.0) << n;
        }
    }
}

TEST(DiagTest, ThreadsFormMatricesFromOneRecordAtOnce)
{
    // The likelihood threads share one decomposition and each brings its own
    // w and P: a 20-state matrix (the BLAS path) formed by four threads at
    // once must be the one formed alone.
    const uint32_t n = 20;
    std::mt19937_64 rng(5);
    std::vector<double> pi;
    MatrixHolder q(n), work(n);
    fillRandomReversible(rng, n, pi, q.m);
    DiagHolder d(n, false, true);
    ASSERT_NE(d.d, nullptr);
    ASSERT_EQ(diagonalizeRateMatrix(q.m, work.m, pi.data(), d.d), 0);
    const double lengths[] = {0.05, 0.3, 1.1, 2.7};
    std::vector<Dense> alone;
    for (double t : lengths) {
        MatrixHolder p(n);
        std::vector<double> w(n);
        calcExpAt(d.d, nullptr, w.data(), p.m, t);
        Dense m(n);
        for (uint32_t i = 0; i < n; ++i)
            m[i].assign(p.m[i], p.m[i] + n);
        alone.push_back(std::move(m));
    }
    std::vector<int> wrong(std::size(lengths), 0);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < std::size(lengths); ++k)
        threads.emplace_back([&, k] {
            MatrixHolder p(n);
            std::vector<double> w(n);
            for (int round = 0; round < 2000; ++round) {
                calcExpAt(d.d, nullptr, w.data(), p.m, lengths[k]);
                for (uint32_t i = 0; i < n; ++i)
                    for (uint32_t j = 0; j < n; ++j)
                        wrong[k] += p.m[i][j] != alone[k][i][j];
            }
        });
    for (auto &th : threads)
        th.join();
    for (std::size_t k = 0; k < std::size(lengths); ++k)
        EXPECT_EQ(wrong[k], 0) << "t = " << lengths[k];
}

TEST(DiagTest, NegativeResidueIsZeroForLargerMatrices)
{
    // Q with 1 off the diagonal and -(n - 1) on it, and the identity as the
    // diagonal function: P = t Q, whose diagonal is negative.
    const uint32_t n = 12;
    MatrixHolder q(n), p(n);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            q.m[i][j] = i == j ? -(n - 1.0) : 1.0;
    DiagHolder d(n, true, false);
    ASSERT_NE(d.d, nullptr);
    ASSERT_EQ(diagonalizeRateMatrix(q.m, nullptr, nullptr, d.d), 0);
    calcExpAt(d.d, returnDoubleUnmodified, nullptr, p.m, 1e-3);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            if (i == j)
                EXPECT_EQ(p.m[i][j], 0.0);
            else
                EXPECT_NEAR(p.m[i][j], 1e-3, 1e-15);
}

TEST(DiagTest, ZeroFrequencyIsRefused)
{
    const std::vector<double> pi{0.0, 0.3, 0.3, 0.4};
    MatrixHolder q(4), work(4);
    fillReversible(q.m, {0.25, 0.25, 0.25, 0.25}, {1, 2, 1, 1, 3, 1});
    DiagHolder d(4, false, true);
    ASSERT_NE(d.d, nullptr);
    EXPECT_EQ(diagonalizeRateMatrix(q.m, work.m, pi.data(), d.d), 1);
}

TEST(DiagTest, SymmetricPathAndNegativeResidue)
{
    // Q = [[-1, 1], [1, -1]]: eigenvalues -2 and 0. With the identity as the
    // diagonal function, P[0][0] = -t and P[0][1] = t, so a tiny t gives a
    // tiny negative entry that must be stored as 0.
    MatrixHolder q(2), p(2);
    q.m[0][0] = q.m[1][1] = -1.0;
    q.m[0][1] = q.m[1][0] = 1.0;
    DiagHolder d(2, true, false);
    ASSERT_NE(d.d, nullptr);
    ASSERT_EQ(diagonalizeRateMatrix(q.m, nullptr, nullptr, d.d), 0);
    EXPECT_NEAR(d.d->eigenvalues[0], -2.0, 1e-15);
    EXPECT_NEAR(d.d->eigenvalues[1], 0.0, 1e-15);
    calcExpAt(d.d, returnDoubleUnmodified, nullptr, p.m, 1e-18);
    EXPECT_EQ(p.m[0][0], 0.0);
    EXPECT_NEAR(p.m[0][1], 1e-18, 1e-30);
    // And the true exponential: P[0][1] = (1 - exp(-2t)) / 2.
    calcExpAt(d.d, nullptr, nullptr, p.m, 0.7);
    EXPECT_NEAR(p.m[0][1], (1.0 - std::exp(-1.4)) / 2.0, 1e-15);
    EXPECT_NEAR(p.m[1][1], (1.0 + std::exp(-1.4)) / 2.0, 1e-15);
}

TEST(DiagTest, AllocationFailureLeavesNothingBehind)
{
    // Every allocation step failing in turn must give null; ASan reports
    // any piece left allocated.
    installMemFailureMsgFxn([] {});
    for (int countdown = 0; countdown < 12; ++countdown) {
        clearMemoryErrorStatus();
        qel_setAllocFailureCountdown(countdown);
        MatrixDiag *d = allocMatrixDiag(5, false, true, 0, true);
        qel_setAllocFailureCountdown(-1);
        const bool failed = memoryErrorHasOccurred();
        EXPECT_EQ(d == nullptr, failed) << countdown;
        deallocMatrixDiag(d);
    }
    clearMemoryErrorStatus();
    installMemFailureMsgFxn(nullptr);
}

}  // namespace

namespace {

TEST(DiagTest, GeneralRecordIsSizedButNotDecomposed)
{
    // Neither symmetric nor reversible: the general solver's workspace and
    // the inversion workspace are sized, and decomposition leaves Q alone.
    MatrixDiag *d = allocMatrixDiag(6, false, false, 0, false);
    ASSERT_NE(d, nullptr);
    EXPECT_FALSE(d->useSymmetricSolver);
    EXPECT_GE(d->workSize, 6);
    EXPECT_GE(d->inverseWorkSize, 6);
    double **q = allocMatrixOf<double>(6, 6);
    q[0][1] = 2.5;
    EXPECT_EQ(diagonalizeRateMatrix(q, nullptr, nullptr, d), 0);
    EXPECT_EQ(q[0][1], 2.5);
    deallocMatrix(q);
    deallocMatrixDiag(d);
}

}  // namespace
