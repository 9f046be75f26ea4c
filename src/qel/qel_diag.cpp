#include "qel/qel_diag.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "qel/qel_fortran_lapack.h"
#include "qel/qel_linalg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_math.h"
#include "qel/qel_matrices.h"

namespace {

// Workspace queries: LAPACK writes its optimum into the first work element.
void sizeSymmetricSolver(MatrixDiag *d)
{
    double optimum = 0.0;
    int ioptimum = 0;
    const int nn = static_cast<int>(d->n);
    double dummyA = 0.0, dummyW = 0.0;
    qel_lapack_dsyevd('V', 'L', nn, &dummyA, nn, &dummyW, &optimum, -1, &ioptimum, -1);
    d->workSize = static_cast<int>(optimum);
    d->iworkSize = ioptimum;
}

void sizeGeneralSolver(MatrixDiag *d)
{
    const int nn = static_cast<int>(d->n);
    double optimum = 0.0, dummy = 0.0, abnrm = 0.0;
    int ilo = 0, ihi = 0, idummy = 0;
    qel_lapack_dgeevx('B', 'V', 'N', 'N', nn, &dummy, nn, &dummy, &dummy, &dummy, nn, &dummy, nn,
                      &ilo, &ihi, &dummy, &abnrm, &dummy, &dummy, &optimum, -1, &idummy);
    d->workSize = static_cast<int>(optimum);
    d->iworkSize = nn;
    double inverseOptimum = 0.0;
    invertMatrix(nullptr, d->n, nullptr, &inverseOptimum, -1, nullptr);
    d->inverseWorkSize = static_cast<int>(inverseOptimum);
}

}  // namespace

MatrixDiag *allocMatrixDiag(uint32_t n, bool symmetric, bool reversible, int /*unused*/,
                            bool singlePrecisionCopies)
{
    auto *d = static_cast<MatrixDiag *>(allocBlock(sizeof(MatrixDiag)));
    if (d == nullptr)
        return nullptr;
    d->n = n;
    d->symmetric = symmetric;
    d->reversible = reversible && !symmetric;
    d->useSymmetricSolver = symmetric || reversible;

    d->eigenvalues = allocArrayOf<double>(n);
    d->u = allocMatrixOf<double>(n, n);
    if (!symmetric) {
        d->owned = allocMatrixOf<double>(n, n);
        d->v = d->owned;
    } else {
        d->v = d->u;
    }
    if (singlePrecisionCopies) {
        d->uFloat = allocMatrixOf<float>(n, n);
        d->vFloat = allocMatrixOf<float>(n, n);
    }
    if (d->useSymmetricSolver)
        sizeSymmetricSolver(d);
    else
        sizeGeneralSolver(d);
    // w, then U diag(w) for the BLAS product of calcExpAt.
    d->workSize = std::max(d->workSize, static_cast<int>(n + n * n));
    const int doubles = std::max(d->workSize, d->inverseWorkSize);
    if (doubles > 0)
        d->work = allocArrayOf<double>(static_cast<uint64_t>(doubles));
    if (d->iworkSize > 0)
        d->iwork = allocArrayOf<int>(static_cast<uint64_t>(d->iworkSize));
    if (d->reversible) {
        d->sqrtPi = allocArrayOf<double>(2 * static_cast<uint64_t>(n));
        if (d->sqrtPi != nullptr)
            d->invSqrtPi = d->sqrtPi + n;
    }
    d->scratchA = allocArrayOf<double>(n);
    d->scratchB = allocArrayOf<double>(n);
    if (memoryErrorHasOccurred())
        return deallocMatrixDiag(d);
    return d;
}

MatrixDiag *deallocMatrixDiag(MatrixDiag *d)
{
    if (d == nullptr)
        return nullptr;
    deallocArray(d->eigenvalues);
    deallocMatrix(d->u);
    deallocMatrix(d->owned);
    deallocMatrix(d->uFloat);
    deallocMatrix(d->vFloat);
    deallocArray(d->sqrtPi);
    deallocArray(d->work);
    deallocArray(d->iwork);
    deallocArray(d->scratchA);
    deallocArray(d->scratchB);
    deallocBlock(d);
    return nullptr;
}

int eigenRealSymmetric(const double *const *m, MatrixDiag *d)
{
    const uint32_t n = d->n;
    if (n == 0)
        return 0;
    if (m != d->u)
        for (uint32_t i = 0; i < n; ++i)
            std::copy(m[i], m[i] + n, d->u[i]);
    const int nn = static_cast<int>(n);
    return qel_lapack_dsyevd('V', 'L', nn, d->u[0], nn, d->eigenvalues, d->work, d->workSize,
                             d->iwork, d->iworkSize);
}

int diagonalizeRateMatrix(double **q, double **work, const double *pi, MatrixDiag *d)
{
    if (!d->useSymmetricSolver)
        return 0;
    const uint32_t n = d->n;
    double **m = q;
    if (work != nullptr) {
        for (uint32_t i = 0; i < n; ++i)
            std::copy(q[i], q[i] + n, work[i]);
        m = work;
    }
    if (d->symmetric) {
        if (eigenRealSymmetric(m, d) != 0)
            return 1;
        transposeSquareMatrixInPlace(d->u, n);
        return 0;
    }

    // A zero frequency makes the similarity transform singular; the
    // decomposition would hold infinities and NaNs, so it is refused.
    double *s = d->sqrtPi;
    double *r = d->invSqrtPi;
    for (uint32_t i = 0; i < n; ++i) {
        if (!(pi[i] > 0.0) || !std::isfinite(pi[i]))
            return 1;
        s[i] = std::sqrt(pi[i]);
        r[i] = 1.0 / s[i];
    }
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = i + 1; j < n; ++j) {
            const double sym = s[i] * r[j] * m[i][j];
            m[i][j] = sym;
            m[j][i] = sym;
        }
    if (eigenRealSymmetric(m, d) != 0)
        return 1;

    // The solver left eigenvector k in row k of U (E[k][a]).
    double **u = d->u;
    double **v = d->v;
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < n; ++b)
            v[a][b] = u[b][a] * s[a];
    transposeSquareMatrixInPlace(u, n);
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < n; ++b)
            u[a][b] *= r[a];
    return 0;
}

double *makeDiagonalW(const MatrixDiag *d, double *w, ExpFunction f, double t)
{
    if (f == nullptr)
        f = exp_safe;
    for (uint32_t k = 0; k < d->n; ++k)
        w[k] = f(t * d->eigenvalues[k]);
    return w;
}

namespace {

// Rows longer than this take the record's spare array for U[i] diag(w)
// instead of the stack (codon models have 61 states).
constexpr uint32_t kStackRow = 64;

// One row of P: P[i][j] = sum over k of (U[i][k] w[k]) V[j][k]. The scaled
// row is formed once, so each element costs one multiply-add per term; the
// products associate as (U w) V, as they did term by term.
void expRow(const MatrixDiag *d, uint32_t i, const double *w, double *uw, double *row)
{
    const uint32_t n = d->n;
    const double *u = d->u[i];
    for (uint32_t k = 0; k < n; ++k)
        uw[k] = u[k] * w[k];
    for (uint32_t j = 0; j < n; ++j) {
        const double *v = d->v[j];
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        uint32_t k = 0;
        for (; k + 4 <= n; k += 4) {
            s0 += uw[k] * v[k];
            s1 += uw[k + 1] * v[k + 1];
            s2 += uw[k + 2] * v[k + 2];
            s3 += uw[k + 3] * v[k + 3];
        }
        for (; k < n; ++k)
            s0 += uw[k] * v[k];
        const double sum = (s0 + s1) + (s2 + s3);
        // Rounding can leave a tiny negative probability; callers take logs.
        row[j] = sum > 0.0 ? sum : 0.0;
    }
}

// From this many states on the whole product goes to BLAS dgemm; below it
// the call and its packing cost more than the row loop above (measured: the
// two meet between 6 and 9 states; at 4 the loop takes two thirds the time).
constexpr uint32_t kDgemmStates = 9;

// The distance (in doubles) between consecutive rows of P when every row
// lies at one fixed distance of at least n after the one before (one block,
// perhaps wider than n); 0 otherwise. Addresses are compared as integers:
// the rows may come from separate allocations.
std::ptrdiff_t uniformRowStride(double *const *p, uint32_t n)
{
    if (n < 2)
        return n;
    const auto address = [p](uint32_t i) { return reinterpret_cast<std::uintptr_t>(p[i]); };
    const std::uintptr_t bytes = address(1) - address(0);
    // A row before the previous one wraps round to a huge distance.
    if (bytes % sizeof(double) != 0 || bytes / sizeof(double) < n || bytes / sizeof(double) > INT_MAX)
        return 0;
    for (uint32_t i = 2; i < n; ++i)
        if (address(i) - address(i - 1) != bytes)
            return 0;
    return static_cast<std::ptrdiff_t>(bytes / sizeof(double));
}

// P = (U diag(w)) V^T through dgemm, U diag(w) formed in uw (n x n). The
// row-major buffers are the transposes BLAS sees, so it is asked for
// P^T = V (U diag(w))^T.
void expProduct(const MatrixDiag *d, const double *w, double *uw, double *p, std::ptrdiff_t stride)
{
    const std::size_t n = d->n;
    for (std::size_t i = 0; i < n; ++i) {
        const double *u = d->u[i];
        double *scaled = uw + i * n;
        for (std::size_t k = 0; k < n; ++k)
            scaled[k] = u[k] * w[k];
    }
    const int nn = static_cast<int>(n);
    qel_blas_dgemm('T', 'N', nn, nn, nn, 1.0, d->v[0], nn, uw, nn, 0.0, p,
                   static_cast<int>(stride));
    // Rounding can leave a tiny negative probability; callers take logs.
    for (std::size_t i = 0; i < n; ++i) {
        double *row = p + static_cast<std::ptrdiff_t>(i) * stride;
        for (std::size_t j = 0; j < n; ++j)
            row[j] = row[j] > 0.0 ? row[j] : 0.0;
    }
}

}  // namespace

void calcExpAt(MatrixDiag *d, ExpFunction f, double *w, double **p, double t)
{
    if (w == nullptr)
        w = d->work;
    makeDiagonalW(d, w, f, t);
    const uint32_t n = d->n;
    if (n >= kDgemmStates) {
        const std::ptrdiff_t stride = uniformRowStride(p, n);
        if (stride > 0) {
            // The likelihood threads form their matrices from one shared
            // decomposition at the same time, each with its own w: U diag(w)
            // goes to a buffer of the calling thread.
            thread_local double own[kStackRow * kStackRow];
            expProduct(d, w, n <= kStackRow ? own : d->work + n, p[0], stride);
            return;
        }
    }
    double local[kStackRow];
    double *uw = n <= kStackRow ? local : d->scratchA;
    for (uint32_t i = 0; i < n; ++i)
        expRow(d, i, w, uw, p[i]);
}

void calcExpAtRow(MatrixDiag *d, uint32_t i, ExpFunction f, double *w, double *row, double t)
{
    if (w == nullptr)
        w = d->work;
    makeDiagonalW(d, w, f, t);
    double local[kStackRow];
    expRow(d, i, w, d->n <= kStackRow ? local : d->scratchA, row);
}
