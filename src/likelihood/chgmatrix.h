// Transition-probability matrices P(t) and their first and second
// derivatives with respect to the branch length: one closed form per model
// class (K2P, F84, HKY, two-state, equal-input) and the eigen path for
// general rate matrices, with the rate categories, the relative model rate,
// the stationary frequencies and the tip ambiguity codes applied above them,
// and the single-precision copies the single-precision kernels read.
#pragma once

#include <cstdint>
#include <vector>

#include "likelihood/aligned.h"
#include "qel/qel_diag.h"

struct Model;
struct ModelGroup;
struct TreeNode;

// P, dP/dt and d2P/dt2 as row-pointer matrices.
struct ChDvSet {
    double **p;
    double **d1;
    double **d2;
};

// t is already branch length x category rate x model rate.
using ChgMatrixFxn = void (*)(const Model *m, double t, double **p);
// r is category rate x model rate; the exponents use r t and the
// derivatives are with respect to t.
using ChDvMatrixFxn = void (*)(const Model *m, double t, double r, const ChDvSet &set);

// Which distance formula gives a model's starting distances (the distance
// code computes them).
enum class StartDistKind : uint8_t { kNone, kJC, kK2P, kF81, kF84, kJCGeneric, kF81Generic };

struct ModelChgFxns {
    ChgMatrixFxn chgMatrix = nullptr;
    ChDvMatrixFxn chDvMatrix = nullptr;
    ExpFunction expFxn = nullptr;
    StartDistKind startDist = StartDistKind::kNone;
};

// A reversible model's rate matrix in eigen form, P(t)[i][j] = sum over k of
// u[i][k] exp(lambda[k] t) v[j][k] (n x n, row-major), for the sum tables
// of edge optimisation. Made from the model's own decomposition when it
// has one, else from Q = dP/dt at t = 0, and then kept until Q or pi moves.
struct SpectralForm {
    uint32_t n = 0;
    std::vector<double> lambda, u, v;
    std::vector<double> q, pi;  // what a form made from Q was made from
    RowMatrix<double> qRows, work, p, d2;
    MatrixDiag *diag = nullptr;
    bool ok = false;

    SpectralForm() = default;
    SpectralForm(const SpectralForm &) = delete;
    SpectralForm &operator=(const SpectralForm &) = delete;
    ~SpectralForm() { deallocMatrixDiag(diag); }
};

// The engine's working values of a model.
struct ModelEngineData {
    std::vector<double> pi;        // working frequencies, each at least 1e-5
    // The frequencies estimation last stored (empty before any). They are
    // kept apart from the model's empirical frequencies, which belong to the
    // data: an estimate must never be read back as "empirical".
    std::vector<double> estFreqs;
    AlignedVector<float> piFloat;  // single-precision copy, empty in double precision
    double beta = 0.0;             // rate normaliser
    double kappa = 0.0;
    double pinv = 0.0;             // working copy of the proportion of invariable sites
    double A[4] = {}, B[4] = {}, C[4] = {}, lambda[4] = {};  // nucleotide closed forms
    MatrixDiag *diag = nullptr;    // eigen system of Q
    RowMatrix<double> q;           // the rate matrix
    std::vector<double> fullRates;  // exchangeabilities in use
    std::vector<double> constSiteLikes;  // per group pattern of the model
    ModelChgFxns fxns;
    SpectralForm spectral;  // made on demand (modelSpectralForm)

    ModelEngineData() = default;
    ModelEngineData(const ModelEngineData &) = delete;
    ModelEngineData &operator=(const ModelEngineData &) = delete;
    ~ModelEngineData() { deallocMatrixDiag(diag); }
};

// The model's engine data, made on first use.
ModelEngineData *modelEngine(Model *m);
const ModelEngineData *modelEngine(const Model *m);
// The releaser the model record calls (installed by the likelihood hooks).
void releaseModelEngine(Model *m);

// ---- The families ---------------------------------------------------------------

void k2p_ChgMatrix(const Model *m, double t, double **p);
void f84_ChgMatrix(const Model *m, double t, double **p);
void hky_ChgMatrix(const Model *m, double t, double **p);
void cf_ChgMatrix(const Model *m, double t, double **p);
void pp_ChgMatrix(const Model *m, double t, double **p);
void gtr_ChgMatrix(const Model *m, double t, double **p);
void gtr_ChgMatrix_Vec(const Model *m, double t, double **p);

void k2p_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &set);
void f84_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &set);
void hky_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &set);
void cf_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &set);
void pp_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &set);
void gtr_ChDvMatrix(const Model *m, double t, double r, const ChDvSet &set);
void gtr_ChDvMatrix_Vec(const Model *m, double t, double r, const ChDvSet &set);

// kappa, beta and the nucleotide coefficients from pi and the ti/tv ratio.
int updateBetaForDnaModel(Model *m);
// beta = 1 / (1 - sum pi^2).
int updateBetaForGenericModel(Model *m);
// Q from the exchangeabilities and pi, normalised to a mean rate of 1, and
// its eigen system; 1 when the eigen system cannot be built.
int updateGTRmatrix(Model *m);
// The model's working values before P is needed; 1 only when the eigen
// system cannot be built.
int initializeModelVars(Model *m);

// ---- Tips, categories, frequencies --------------------------------------------------

// A tip end of a branch: its rows are the nstates states, the any-state row
// (index nstates) and one row per ambiguity code of the tip, whose member
// states `codeStates` lists (per code: a count, then the states).
struct TipInfo {
    uint32_t nrows;
    const uint8_t *const *codeStates;  // nrows - nstates - 1 entries
};

// P for model m at t into p (nstates rows; for a tip, transposed and with
// the tip rows after the states). 1 when the model has no P function.
int calcChgMatrix(const TipInfo *tip, const ModelGroup *g, const Model *m, uint32_t nstates,
                  double **p, double t);
// P for model m at t into p in full double precision, whatever the
// precision the kernels run at: where a fit reads P alone (a pairwise
// distance), single-precision entries leave the optimum a flat, noisy
// plateau that a line search stops on anywhere.
int calcChgMatrixDouble(const Model *m, double **p, double t);
// Copies P to single precision: every tip row for a tip; otherwise
// transposed when the vector kernels read it and noVector is clear.
void storeChgMatrix_SP(const double *const *p, const TipInfo *tip, uint32_t nstates, bool noVector,
                       float **f);

// A matrix set of one rate category in a thread's workspace: P (or the
// pi-weighted P) with its derivatives, and their single-precision copies.
struct ChgMatrixSet {
    RowMatrix<double> p, d1, d2;
    RowMatrix<float> pf, d1f, d2f;
    ChDvSet dv() { return {p.data(), d1.data(), d2.data()}; }
};

// Branch length of the node as the engine uses it (times the global rate
// scaler when branch lengths are fixed).
double getBranchLen(const TreeNode *node);
// One matrix per rate category of the site category (one with site-specific
// rates) for the node's branch; the number of matrices, 0 on failure.
uint32_t calcChgMatricesForSiteCat(const ModelGroup *g, const TreeNode *node, const TipInfo *tip,
                                   uint32_t siteCat, uint32_t nstates, ChgMatrixSet *sets);
// P of one rate category with row i scaled by pi_i and the category weight
// w; for a tip, the any-state row is pi_j w and each ambiguity row the sum
// of its members' rows. 0, or 1 when the model has no P function.
int calcPiP(const TreeNode *node, const TipInfo *tip, const ModelGroup *g, uint32_t siteCat,
            uint32_t nstates, uint32_t rateCat, ChgMatrixSet *set);
uint32_t calcPiPforSiteCat(const TreeNode *node, const TipInfo *tip, const ModelGroup *g,
                           uint32_t siteCat, uint32_t nstates, ChgMatrixSet *sets);
// The same for the three derivative matrices (the derivative tip rows of
// the any-state code are zero).
int calcPiM(const TreeNode *node, const TipInfo *tip, const ModelGroup *g, uint32_t siteCat,
            uint32_t nstates, uint32_t rateCat, ChgMatrixSet *set);
uint32_t calcPiMforSiteCat(const TreeNode *node, const TipInfo *tip, const ModelGroup *g,
                           uint32_t siteCat, uint32_t nstates, ChgMatrixSet *sets);

// The model's eigen form as it stands; null when the model has no
// derivative function, is not reversible, or its Q cannot be decomposed.
const SpectralForm *modelSpectralForm(const Model *m);
// Rate (category rate x model rate) and weight of each rate category of the
// site category whose matrices calcPiMforSiteCat makes; their number.
uint32_t siteCatRatesAndWeights(const ModelGroup *g, uint32_t siteCat, double *rates, double *weights);

// ---- The Mk model ------------------------------------------------------------------
// Each site pattern of the Mk model has its own state count k, and its
// matrices are those of k equally frequent states.

// P for k states at branch length t and relative rate `rate`: the entries on
// and off the diagonal, and their first and second derivatives with respect
// to t where the outputs are given. k = 1 gives the identity.
void mkvChgDv(double t, double rate, uint32_t k, const Model *m, double *pSame, double *pDiff, double *d1Same,
              double *d1Diff, double *d2Same, double *d2Diff);
// The Mk matrix of k states at rate 1, over all the model's states.
void mkvChangeMatrix(uint32_t k, const Model *m, double **p, double t);
// As calcChgMatrix, for the patterns of k states (t with every rate applied).
// 1 when the model's state count is not nstates.
int calcMkvChgMatrix(const TipInfo *tip, const Model *m, uint32_t nstates, uint32_t k, double **p, double t);
// As calcPiP (derivatives false) or calcPiM, for the patterns of k states:
// the Mk entries times the category weight, divided by k.
int calcMkvPiM(const TreeNode *node, const TipInfo *tip, const ModelGroup *g, uint32_t siteCat, uint32_t nstates,
               uint32_t k, uint32_t rateCat, bool derivatives, ChgMatrixSet *set);
