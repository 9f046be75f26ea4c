#include "qel/qel_linalg.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "qel/qel_fortran_lapack.h"
#include "qel/qel_math.h"

int qel_initializeLinalg()
{
    setFPConstants(&g_fp_constants);
    return 0;
}

void makeIdentityMatrix(double **m, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            m[i][j] = i == j ? 1.0 : 0.0;
}

void transposeSquareMatrixInPlace(double **m, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = i + 1; j < n; ++j)
            std::swap(m[i][j], m[j][i]);
}

void copyAndTransposeMatrix(const double *const *src, double **dst, uint32_t rows, uint32_t cols)
{
    for (uint32_t i = 0; i < rows; ++i)
        for (uint32_t j = 0; j < cols; ++j)
            dst[j][i] = src[i][j];
}

namespace {

// Sum of x[l] y[l * stride] with four independent partial sums, which lets
// the compiler pipeline the multiplies.
inline double stridedDot(const double *x, const double *const *rows, uint32_t column, uint32_t k)
{
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    uint32_t l = 0;
    for (; l + 4 <= k; l += 4) {
        s0 += x[l] * rows[l][column];
        s1 += x[l + 1] * rows[l + 1][column];
        s2 += x[l + 2] * rows[l + 2][column];
        s3 += x[l + 3] * rows[l + 3][column];
    }
    for (; l < k; ++l)
        s0 += x[l] * rows[l][column];
    return (s0 + s1) + (s2 + s3);
}

inline double plainDot(const double *x, const double *y, uint32_t k)
{
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    uint32_t l = 0;
    for (; l + 4 <= k; l += 4) {
        s0 += x[l] * y[l];
        s1 += x[l + 1] * y[l + 1];
        s2 += x[l + 2] * y[l + 2];
        s3 += x[l + 3] * y[l + 3];
    }
    for (; l < k; ++l)
        s0 += x[l] * y[l];
    return (s0 + s1) + (s2 + s3);
}

}  // namespace

void matrixTimesMatrix(const double *const *a, const double *const *b, uint32_t r, uint32_t c,
                       uint32_t k, double **result)
{
    for (uint32_t i = 0; i < r; ++i)
        for (uint32_t j = 0; j < c; ++j)
            result[i][j] = stridedDot(a[i], b, j, k);
}

void matrixTimesTransposedMatrix(const double *const *a, const double *const *b, uint32_t r,
                                 uint32_t c, uint32_t k, double **result)
{
    for (uint32_t i = 0; i < r; ++i)
        for (uint32_t j = 0; j < c; ++j)
            result[i][j] = plainDot(a[i], b[j], k);
}

void matrixTimesDiagMatrix(const double *const *a, const double *d, uint32_t n, double **result)
{
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            result[i][j] = a[i][j] * d[j];
}

double dotProduct(const double *x, const double *y, uint32_t n)
{
    return plainDot(x, y, n);
}

void scaleVector(double *x, uint32_t n, double s)
{
    for (uint32_t i = 0; i < n; ++i)
        x[i] *= s;
}

void scaleMatrix(double **m, uint32_t rows, uint32_t cols, double s)
{
    for (uint32_t i = 0; i < rows; ++i)
        scaleVector(m[i], cols, s);
}

double euclideanNorm(const double *x, uint32_t n)
{
    return qel_lapack_dnrm2(static_cast<int>(n), x, 1);
}

double infinityNorm(const double *x, uint32_t n)
{
    double best = 0.0;
    for (uint32_t i = 0; i < n; ++i)
        best = std::max(best, std::fabs(x[i]));
    return best;
}

double matrixInfinityNorm(const double *const *m, uint32_t rows, uint32_t cols)
{
    double best = 0.0;
    for (uint32_t i = 0; i < rows; ++i) {
        double sum = 0.0;
        for (uint32_t j = 0; j < cols; ++j)
            sum += std::fabs(m[i][j]);
        best = std::max(best, sum);
    }
    return best;
}

int computeLUfactorization(double **m, uint32_t n, int *ipiv, double *det)
{
    const int nn = static_cast<int>(n);
    const int info = n == 0 ? 0 : qel_lapack_dgetrf(nn, nn, m[0], nn, ipiv);
    if (det == nullptr)
        return info != 0;
    if (info != 0) {
        *det = 0.0;
        return 1;
    }
    // The factor of the transpose has the same diagonal product and pivots,
    // so the determinant needs no transposition.
    double d = 1.0;
    for (uint32_t i = 0; i < n; ++i) {
        d *= m[i][i];
        if (ipiv[i] != static_cast<int>(i) + 1)
            d = -d;
    }
    *det = d;
    return 0;
}

int invertMatrix(double **a, uint32_t n, int *ipiv, double *work, int lwork, double **out)
{
    const int nn = static_cast<int>(n);
    if (lwork > 0) {
        if (out != a)
            for (uint32_t i = 0; i < n; ++i)
                for (uint32_t j = 0; j < n; ++j)
                    out[i][j] = a[i][j];
        if (computeLUfactorization(out, n, ipiv, nullptr) != 0)
            return 1;
    }
    // The inverse of the transpose is the transpose of the inverse, so the
    // row-major result needs no correction.
    double *block = out != nullptr ? out[0] : nullptr;
    const int info = qel_lapack_dgetri(nn, block, nn > 0 ? nn : 1, ipiv, work, &lwork);
    return info != 0;
}

int solveCholeskyDecomp(double **a, uint32_t n, double *diag, const double *b, double *x)
{
    if (n == 0)
        return 0;
    for (uint32_t i = 0; i < n; ++i) {
        double pivot = a[i][i];
        for (uint32_t k = 0; k < i; ++k)
            pivot -= a[i][k] * a[i][k];
        if (!(pivot > 0.0))
            return 1;
        const double d = std::sqrt(pivot);
        diag[i] = d;
        for (uint32_t j = i + 1; j < n; ++j) {
            double s = a[i][j];
            for (uint32_t k = 0; k < i; ++k)
                s -= a[j][k] * a[i][k];
            a[j][i] = s / d;
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        double s = b[i];
        for (uint32_t k = 0; k < i; ++k)
            s -= a[i][k] * x[k];
        x[i] = s / diag[i];
    }
    for (uint32_t i = n; i-- > 0;) {
        double s = x[i];
        for (uint32_t k = i + 1; k < n; ++k)
            s -= a[k][i] * x[k];
        x[i] = s / diag[i];
    }
    return 0;
}
