#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "qel/qel_fortran_lapack.h"
#include "qel/qel_linalg.h"
#include "qel/qel_matrices.h"

namespace {

struct MatrixHolder {
    double **m;
    MatrixHolder(uint32_t rows, uint32_t cols) : m(allocMatrixOf<double>(rows, cols)) {}
    ~MatrixHolder() { deallocMatrix(m); }
    MatrixHolder(const MatrixHolder &) = delete;
    MatrixHolder &operator=(const MatrixHolder &) = delete;
};

// Reference values below were computed once with R 4 and embedded:
//   A <- matrix(c(4,-2,1,3, 1,5,-1,2, 0,2,6,-3, 2,1,-1,7), 4, 4, byrow=TRUE)
//   sprintf("%.17g", det(A)); sprintf("%.17g", t(solve(A))); sprintf("%.17g", svd(A)$d)
//   S <- matrix(c(4,2,-2, 2,10,1, -2,1,9), 3, 3, byrow=TRUE); b <- c(1,-2,3)
//   sprintf("%.17g", solve(S, b))
constexpr double kA[4][4] = {{4, -2, 1, 3}, {1, 5, -1, 2}, {0, 2, 6, -3}, {2, 1, -1, 7}};
constexpr double kDetA = 636.99999999999989;
constexpr double kInverseA[4][4] = {
    {0.30769230769230771, 0.18681318681318682, -0.054945054945054944, -0.2087912087912088},
    {-0.032967032967032968, 0.17896389324960754, 0.031397174254317116, -0.023547880690737832},
    {-0.032967032967032968, -0.10675039246467818, 0.17425431711145997, 0.11930926216640503},
    {-0.087912087912087919, -0.094191522762951341, 0.036106750392464679, 0.22291993720565151}};
constexpr double kSingularA[4] = {9.6186651344647434, 6.1833109336597287, 5.521328759798493,
                                  1.9398133041450845};
constexpr double kS[3][3] = {{4, 2, -2}, {2, 10, 1}, {-2, 1, 9}};
constexpr double kB[3] = {1, -2, 3};
constexpr double kSolutionS[3] = {0.71691176470588225, -0.39705882352941174, 0.53676470588235292};

void loadA(double **m)
{
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t j = 0; j < 4; ++j)
            m[i][j] = kA[i][j];
}

TEST(LinalgTest, LuDeterminantMatchesReferenceAndHandlesPivotsAndSingularity)
{
    MatrixHolder a(4, 4);
    loadA(a.m);
    int ipiv[4];
    double det = 0.0;
    EXPECT_EQ(computeLUfactorization(a.m, 4, ipiv, &det), 0);
    EXPECT_NEAR(det, kDetA, 1e-10);

    // A row swap alone: the pivot sign must flip the determinant.
    MatrixHolder swap(2, 2);
    swap.m[0][1] = swap.m[1][0] = 1.0;
    EXPECT_EQ(computeLUfactorization(swap.m, 2, ipiv, &det), 0);
    EXPECT_DOUBLE_EQ(det, -1.0);

    MatrixHolder singular(3, 3);
    for (uint32_t i = 0; i < 3; ++i)
        for (uint32_t j = 0; j < 3; ++j)
            singular.m[i][j] = (i + 1.0) * (j + 1.0);
    det = 99.0;
    EXPECT_EQ(computeLUfactorization(singular.m, 3, ipiv, &det), 1);
    EXPECT_EQ(det, 0.0);
}

TEST(LinalgTest, InverseMatchesReferenceAndLeavesSourceIntact)
{
    MatrixHolder a(4, 4), inv(4, 4);
    loadA(a.m);
    int ipiv[4];
    double query = 0.0;
    ASSERT_EQ(invertMatrix(nullptr, 4, nullptr, &query, -1, nullptr), 0);
    ASSERT_GE(query, 4.0);
    std::vector<double> work(static_cast<size_t>(query));
    ASSERT_EQ(invertMatrix(a.m, 4, ipiv, work.data(), static_cast<int>(query), inv.m), 0);
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t j = 0; j < 4; ++j) {
            EXPECT_NEAR(inv.m[i][j], kInverseA[i][j], 1e-14) << i << j;
            EXPECT_EQ(a.m[i][j], kA[i][j]);
        }

    // In place, and a singular matrix is reported.
    ASSERT_EQ(invertMatrix(a.m, 4, ipiv, work.data(), static_cast<int>(query), a.m), 0);
    EXPECT_NEAR(a.m[2][3], kInverseA[2][3], 1e-14);
    MatrixHolder singular(4, 4);
    EXPECT_EQ(invertMatrix(singular.m, 4, ipiv, work.data(), static_cast<int>(query), inv.m), 1);
}

TEST(LinalgTest, CholeskySolvesAndRefusesIndefinite)
{
    MatrixHolder s(3, 3);
    for (uint32_t i = 0; i < 3; ++i)
        for (uint32_t j = 0; j < 3; ++j)
            // Only the upper triangle and diagonal may be read.
            s.m[i][j] = j >= i ? kS[i][j] : 1e6;
    double diag[3], x[3];
    ASSERT_EQ(solveCholeskyDecomp(s.m, 3, diag, kB, x), 0);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_NEAR(x[i], kSolutionS[i], 1e-15);
    EXPECT_DOUBLE_EQ(diag[0], 2.0);   // sqrt(4)

    MatrixHolder zero(2, 2);
    zero.m[0][1] = 1.0;
    zero.m[1][1] = 1.0;
    double y[2] = {7.0, 8.0};
    const double rhs[2] = {1.0, 1.0};
    EXPECT_EQ(solveCholeskyDecomp(zero.m, 2, diag, rhs, y), 1);
    EXPECT_EQ(y[0], 7.0);
    EXPECT_EQ(y[1], 8.0);

    // Positive first pivot, negative second: [[1, 2], [2, 1]].
    MatrixHolder indefinite(2, 2);
    indefinite.m[0][0] = indefinite.m[1][1] = 1.0;
    indefinite.m[0][1] = 2.0;
    EXPECT_EQ(solveCholeskyDecomp(indefinite.m, 2, diag, rhs, y), 1);
}

TEST(LinalgTest, SingularValuesMatchReference)
{
    // The transpose LAPACK sees has the same singular values.
    for (char method : {'D', 'J'}) {
        MatrixHolder a(4, 4);
        loadA(a.m);
        double sv[4];
        std::vector<double> work(1000);
        std::vector<int> iwork(100);
        int info = 0;
        if (method == 'D')
            info = qel_lapack_dgesdd('N', 4, 4, a.m[0], 4, sv, nullptr, 1, nullptr, 1, work.data(),
                                     1000, iwork.data());
        else
            info = qel_lapack_dgejsv('C', 'N', 'N', 'N', 'N', 'N', 4, 4, a.m[0], 4, sv, nullptr, 1,
                                     nullptr, 1, work.data(), 1000, iwork.data());
        ASSERT_EQ(info, 0) << method;
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(sv[i], kSingularA[i], 1e-13) << method << i;
    }
}

TEST(LinalgTest, ProductsAndNormsAgreeWithPlainLoops)
{
    // Odd inner dimensions exercise the four-at-a-time remainder.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const uint32_t r = 5, c = 3, k = 7;
    MatrixHolder a(r, k), b(k, c), bt(c, k), prod(r, c), prodT(r, c);
    for (uint32_t i = 0; i < r; ++i)
        for (uint32_t l = 0; l < k; ++l)
            a.m[i][l] = u(rng);
    for (uint32_t l = 0; l < k; ++l)
        for (uint32_t j = 0; j < c; ++j)
            b.m[l][j] = u(rng);
    copyAndTransposeMatrix(b.m, bt.m, k, c);
    matrixTimesMatrix(a.m, b.m, r, c, k, prod.m);
    matrixTimesTransposedMatrix(a.m, bt.m, r, c, k, prodT.m);
    for (uint32_t i = 0; i < r; ++i)
        for (uint32_t j = 0; j < c; ++j) {
            double expected = 0.0;
            for (uint32_t l = 0; l < k; ++l)
                expected += a.m[i][l] * b.m[l][j];
            EXPECT_NEAR(prod.m[i][j], expected, 1e-14);
            EXPECT_NEAR(prodT.m[i][j], expected, 1e-14);
        }

    const double x[7] = {3, -4, 0, 0, 0, 0, 12};
    EXPECT_DOUBLE_EQ(euclideanNorm(x, 7), 13.0);
    EXPECT_DOUBLE_EQ(infinityNorm(x, 7), 12.0);
    EXPECT_DOUBLE_EQ(dotProduct(x, x, 7), 169.0);
    MatrixHolder m(4, 4);
    loadA(m.m);
    EXPECT_DOUBLE_EQ(matrixInfinityNorm(m.m, 4, 4), 11.0);   // row 3: 2 + 1 + 1 + 7
}

}  // namespace
