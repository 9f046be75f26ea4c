#include "qel/qel_fortran_lapack.h"

#include <cstddef>

// Fortran entry points. gfortran appends one hidden length argument per
// CHARACTER argument, of type size_t, after the visible ones.
extern "C" {
void dsyevd_(const char *jobz, const char *uplo, const int *n, double *a, const int *lda,
             double *w, double *work, const int *lwork, int *iwork, const int *liwork, int *info,
             std::size_t, std::size_t);
void dgeevx_(const char *balanc, const char *jobvl, const char *jobvr, const char *sense,
             const int *n, double *a, const int *lda, double *wr, double *wi, double *vl,
             const int *ldvl, double *vr, const int *ldvr, int *ilo, int *ihi, double *scale,
             double *abnrm, double *rconde, double *rcondv, double *work, const int *lwork,
             int *iwork, int *info, std::size_t, std::size_t, std::size_t, std::size_t);
void dgetrf_(const int *m, const int *n, double *a, const int *lda, int *ipiv, int *info);
void dgetri_(const int *n, double *a, const int *lda, const int *ipiv, double *work,
             const int *lwork, int *info);
void dgetrs_(const char *trans, const int *n, const int *nrhs, const double *a, const int *lda,
             const int *ipiv, double *b, const int *ldb, int *info, std::size_t);
void dgesdd_(const char *jobz, const int *m, const int *n, double *a, const int *lda, double *s,
             double *u, const int *ldu, double *vt, const int *ldvt, double *work,
             const int *lwork, int *iwork, int *info, std::size_t);
void dgejsv_(const char *joba, const char *jobu, const char *jobv, const char *jobr,
             const char *jobt, const char *jobp, const int *m, const int *n, double *a,
             const int *lda, double *sva, double *u, const int *ldu, double *v, const int *ldv,
             double *work, const int *lwork, int *iwork, int *info, std::size_t, std::size_t,
             std::size_t, std::size_t, std::size_t, std::size_t);
double dnrm2_(const int *n, const double *x, const int *incx);
void dgemm_(const char *transa, const char *transb, const int *m, const int *n, const int *k,
            const double *alpha, const double *a, const int *lda, const double *b, const int *ldb,
            const double *beta, double *c, const int *ldc, std::size_t, std::size_t);
}

int qel_lapack_dsyevd(char jobz, char uplo, int n, double *a, int lda, double *w, double *work,
                      int lwork, int *iwork, int liwork)
{
    int info = 0;
    dsyevd_(&jobz, &uplo, &n, a, &lda, w, work, &lwork, iwork, &liwork, &info, 1, 1);
    return info;
}

int qel_lapack_dgeevx(char balanc, char jobvl, char jobvr, char sense, int n, double *a, int lda,
                      double *wr, double *wi, double *vl, int ldvl, double *vr, int ldvr, int *ilo,
                      int *ihi, double *scale, double *abnrm, double *rconde, double *rcondv,
                      double *work, int lwork, int *iwork)
{
    int info = 0;
    dgeevx_(&balanc, &jobvl, &jobvr, &sense, &n, a, &lda, wr, wi, vl, &ldvl, vr, &ldvr, ilo, ihi,
            scale, abnrm, rconde, rcondv, work, &lwork, iwork, &info, 1, 1, 1, 1);
    return info;
}

int qel_lapack_dgetrf(int m, int n, double *a, int lda, int *ipiv)
{
    int info = 0;
    dgetrf_(&m, &n, a, &lda, ipiv, &info);
    return info;
}

int qel_lapack_dgetri(int n, double *a, int lda, const int *ipiv, double *work, const int *lwork)
{
    int info = 0;
    dgetri_(&n, a, &lda, ipiv, work, lwork, &info);
    return info;
}

int qel_lapack_dgetrs(char trans, int n, int nrhs, const double *a, int lda, const int *ipiv,
                      double *b, int ldb)
{
    int info = 0;
    dgetrs_(&trans, &n, &nrhs, a, &lda, ipiv, b, &ldb, &info, 1);
    return info;
}

int qel_lapack_dgesdd(char jobz, int m, int n, double *a, int lda, double *s, double *u, int ldu,
                      double *vt, int ldvt, double *work, int lwork, int *iwork)
{
    int info = 0;
    dgesdd_(&jobz, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, work, &lwork, iwork, &info, 1);
    return info;
}

int qel_lapack_dgejsv(char joba, char jobu, char jobv, char jobr, char jobt, char jobp, int m,
                      int n, double *a, int lda, double *sva, double *u, int ldu, double *v,
                      int ldv, double *work, int lwork, int *iwork)
{
    int info = 0;
    dgejsv_(&joba, &jobu, &jobv, &jobr, &jobt, &jobp, &m, &n, a, &lda, sva, u, &ldu, v, &ldv, work,
            &lwork, iwork, &info, 1, 1, 1, 1, 1, 1);
    return info;
}

double qel_lapack_dnrm2(int n, const double *x, int incx)
{
    return dnrm2_(&n, x, &incx);
}

void qel_blas_dgemm(char transa, char transb, int m, int n, int k, double alpha, const double *a,
                    int lda, const double *b, int ldb, double beta, double *c, int ldc)
{
    dgemm_(&transa, &transb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc, 1, 1);
}
