// Small dense matrix and vector operations over row-major matrices (row
// pointers over one contiguous block, as allocMatrix builds them). The LU,
// inversion and norm helpers go through LAPACK/BLAS; results are stated in
// row-major terms although LAPACK works on the transpose.
#pragma once

#include <cstdint>

// Fills g_fp_constants; called once at start-up. Returns 0.
int qel_initializeLinalg();

void makeIdentityMatrix(double **m, uint32_t n);
void transposeSquareMatrixInPlace(double **m, uint32_t n);
// dst[j][i] = src[i][j] for a rows x cols source.
void copyAndTransposeMatrix(const double *const *src, double **dst, uint32_t rows, uint32_t cols);
// R[i][j] = sum over l < k of A[i][l] B[l][j], i < r, j < c.
void matrixTimesMatrix(const double *const *a, const double *const *b, uint32_t r, uint32_t c,
                       uint32_t k, double **result);
// R[i][j] = sum over l < k of A[i][l] B[j][l].
void matrixTimesTransposedMatrix(const double *const *a, const double *const *b, uint32_t r,
                                 uint32_t c, uint32_t k, double **result);
// R[i][j] = A[i][j] d[j].
void matrixTimesDiagMatrix(const double *const *a, const double *d, uint32_t n, double **result);

double dotProduct(const double *x, const double *y, uint32_t n);
void scaleVector(double *x, uint32_t n, double s);
void scaleMatrix(double **m, uint32_t rows, uint32_t cols, double s);
double euclideanNorm(const double *x, uint32_t n);
double infinityNorm(const double *x, uint32_t n);
double matrixInfinityNorm(const double *const *m, uint32_t rows, uint32_t cols);

// LU factorisation in place (ipiv receives n pivots). Without det: returns
// whether LAPACK failed. With det: a failure gives *det = 0 and 1; otherwise
// *det is the determinant and the result 0.
int computeLUfactorization(double **m, uint32_t n, int *ipiv, double *det);
// out = inverse of A (A is left intact unless it is out). With lwork = -1
// only the optimal workspace size is written to work[0]. Returns 1 when the
// matrix is singular or LAPACK fails, else 0.
int invertMatrix(double **a, uint32_t n, int *ipiv, double *work, int lwork, double **out);
// Solves A x = b for symmetric positive definite A (upper triangle and
// diagonal read). The Cholesky factor overwrites the strict lower triangle of
// A and its diagonal goes to diag. Returns 1 (x untouched) when A is not
// positive definite, else 0.
int solveCholeskyDecomp(double **a, uint32_t n, double *diag, const double *b, double *x);
