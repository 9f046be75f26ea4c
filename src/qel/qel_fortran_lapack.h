// Thin wrappers over the LAPACK and BLAS routines the numerical code uses.
//
// Each wrapper takes its integer arguments by value and hands the routine
// references to them, so callers need no addressable temporaries. Matrices
// are passed as the address of their first row: LAPACK, being column-major,
// sees the transpose of a row-major matrix. The wrappers return LAPACK's
// INFO (dnrm2 returns the norm).
#pragma once

int qel_lapack_dsyevd(char jobz, char uplo, int n, double *a, int lda, double *w, double *work,
                      int lwork, int *iwork, int liwork);
int qel_lapack_dgeevx(char balanc, char jobvl, char jobvr, char sense, int n, double *a, int lda,
                      double *wr, double *wi, double *vl, int ldvl, double *vr, int ldvr, int *ilo,
                      int *ihi, double *scale, double *abnrm, double *rconde, double *rcondv,
                      double *work, int lwork, int *iwork);
int qel_lapack_dgetrf(int m, int n, double *a, int lda, int *ipiv);
int qel_lapack_dgetri(int n, double *a, int lda, const int *ipiv, double *work, const int *lwork);
int qel_lapack_dgetrs(char trans, int n, int nrhs, const double *a, int lda, const int *ipiv,
                      double *b, int ldb);
int qel_lapack_dgesdd(char jobz, int m, int n, double *a, int lda, double *s, double *u, int ldu,
                      double *vt, int ldvt, double *work, int lwork, int *iwork);
int qel_lapack_dgejsv(char joba, char jobu, char jobv, char jobr, char jobt, char jobp, int m,
                      int n, double *a, int lda, double *sva, double *u, int ldu, double *v,
                      int ldv, double *work, int lwork, int *iwork);
double qel_lapack_dnrm2(int n, const double *x, int incx);
// C = alpha op(A) op(B) + beta C in column-major terms (op is "N" or "T");
// BLAS has no INFO, so nothing is returned.
void qel_blas_dgemm(char transa, char transb, int m, int n, int k, double alpha, const double *a,
                    int lda, const double *b, int ldb, double beta, double *c, int ldc);
