// Eigen-decomposition of substitution-rate matrices and the transition
// matrices P(t) = exp(Q t) built from it.
//
// A reversible rate matrix Q with equilibrium frequencies pi is similar to
// the symmetric matrix S = D Q D^-1 (D = diag(sqrt(pi))), so the symmetric
// solver gives real eigenvalues and orthogonal eigenvectors; U and V then
// carry the D^-1 and D factors so that P(t) = U diag(exp(t lambda)) V^T.
#pragma once

#include <cstdint>

struct MatrixDiag {
    double *eigenvalues;     // n
    double **u;              // U[i][k]: component i of eigenvector k
    double **owned;          // second matrix (absent when symmetric)
    double **v;              // inverse side: U when symmetric, else owned
    float **uFloat;          // single-precision copies, when requested
    float **vFloat;
    double *sqrtPi;          // sqrt(pi) then 1/sqrt(pi): one block of 2n (reversible)
    double *invSqrtPi;
    double *work;            // solver double workspace
    int *iwork;              // solver integer workspace
    double *scratchA;        // two spare arrays of n doubles
    double *scratchB;
    uint32_t n;
    int workSize;            // max(solver optimum, n + n * n): w, then U diag(w)
    int iworkSize;
    int inverseWorkSize;     // matrix inversion workspace (general case)
    bool symmetric;
    bool reversible;         // only when not symmetric
    bool useSymmetricSolver;
};

// Creates a record with workspaces sized by LAPACK queries; null (and
// nothing left allocated) on any allocation failure.
MatrixDiag *allocMatrixDiag(uint32_t n, bool symmetric, bool reversible, int unused,
                            bool singlePrecisionCopies);
MatrixDiag *deallocMatrixDiag(MatrixDiag *diag);

// Decomposes Q (copied into work first when work is not null, otherwise Q
// is overwritten). Returns 0 on success, 1 when the solver fails or a
// frequency of a reversible matrix is not positive. A record that does not
// use the symmetric solver is left alone and 0 returned.
int diagonalizeRateMatrix(double **q, double **work, const double *pi, MatrixDiag *diag);
// Copies m into U and runs the symmetric solver on it; returns its INFO.
int eigenRealSymmetric(const double *const *m, MatrixDiag *diag);

using ExpFunction = double (*)(double);
// w[k] = f(t lambda[k]); f defaults to exp_safe. Returns w.
double *makeDiagonalW(const MatrixDiag *diag, double *w, ExpFunction f, double t);
// P[i][j] = sum over k of U[i][k] w[k] V[j][k]; entries not above 0 become 0.
// Where the rows of P lie at one fixed distance apart (as in one block), the
// product of larger matrices is one BLAS dgemm. With w given, threads may
// call it at the same time on one record (up to 64 states; beyond that the
// row scratch is the record's).
void calcExpAt(MatrixDiag *diag, ExpFunction f, double *w, double **p, double t);
void calcExpAtRow(MatrixDiag *diag, uint32_t i, ExpFunction f, double *w, double *row, double t);
