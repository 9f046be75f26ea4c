// The likelihood kernels: conditional-likelihood (CL) updates, edge
// evaluations with branch-length derivatives, and rescaling, over plain
// arrays. A kernel never sees a tree: the traversal that walks one hands it
// a flat operation (output CLA, two inputs with their matrices, rescaler
// blocks) and a range of CL items or patterns.
//
// Each member set (double: Dna, Gen, and Dna_DVec, which gives Dna's
// results with vector instructions; single: SP; single four-wide: Dna_Vec,
// Gen_Vec; the Mk model: Mkv) lives in files of its own, one per
// instruction set, and is reached through a LikKernels table chosen once.
//
// This header is included by the AVX2 kernel file, which is compiled with
// AVX2 code generation: it must declare only plain records and functions.
// An inline function or template defined here would be emitted in that file
// with AVX2 instructions too, and the linker may keep that copy for callers
// that run on a CPU without AVX2.
//
// Layout of a CLA for a context (one site category of one model): for each
// rate category r, for each pattern p, the pattern's nvals values, item
// m = r x npatterns + p starting at value m x nvals. Rescalers (natural
// logarithms, true CL = stored CL x exp(rescaler)) are a separate block of
// npatterns values of the CLA's type. CLAs are 64-byte aligned.
//
// Matrices, one per rate category, consecutive, each nvals values wide:
// - internal input of a CL update: nvals x nvals, P[i][j] = probability of
//   parent state i going to child state j; the vector members read the
//   transposed copy (row j = column j of P);
// - tip input: ntipcodes rows, row c[i] = probability that parent state i
//   ends in a state allowed by tip code c (row nstates all ones);
// - evaluator, no tip end: W[i][j] = pi_i p_r P_r[i][j] (b's state i, a's
//   state j), transposed for the vector members; W' and W'' the
//   derivatives with respect to the branch length;
// - evaluator, tip end: ntipcodes rows, row c[i] = W[i][c] for single
//   states, row nstates = pi_i p_r (zero in W' and W''), ambiguity rows the
//   sums of their states' rows.
// Padding values (states nstates..nvals-1) are 0 in CLAs and matrices.
#pragma once

#include <cstdint>

// Evaluation mode bits.
enum : uint32_t { kLikModeLnL = 1, kLikModeD1 = 2, kLikModeD2 = 4 };

// -lnL of a data set that has a pattern likelihood below kLikMinPatternLike.
constexpr double kLikInfiniteScore = 9e36;
constexpr double kLikMinPatternLike = 1e-300;

// -lnL and its first and second derivatives with respect to the branch
// length of the evaluated edge.
struct LikResult {
    double lnL;
    double d1;
    double d2;
};

// What every kernel of one site category reads besides its operation.
struct LikKernelContext {
    uint32_t nstates;    // states of the model (Mk: the largest state count)
    uint32_t nvals;      // values per pattern and per matrix row (see likValuesPerPattern)
    uint32_t npatterns;  // patterns, and the length of a rescaler block
    uint32_t ncat;       // rate categories
    uint32_t ntipcodes;  // rows of a tip table: nstates + 1 + ambiguity codes
    const double *weights;     // per pattern; 0 takes no part in evaluations
    const double *constLikes;  // per pattern constant-site term (+I), or null
    const double *catProbs;    // per rate category; read by the Mk root evaluator only
    double rescaleThreshold;   // a CL loop reports a value below it
    // The Mk model's variable state space (null for every other set): a
    // pattern p has mkStates[p] values at mkOffset[p] within each rate
    // block of mkBlockValues values, and stands for the model states
    // mkStateList[p x nstates + 0 .. k-1]. Its matrices are indexed by model
    // state, one set per state count k = 0..nstates in each category
    // (likMatrixIndex).
    const uint16_t *mkStates;
    const uint32_t *mkOffset;
    const uint8_t *mkStateList;
    uint32_t mkBlockValues;
};

// One CL update. A tip input gives its codes (one byte per pattern) and its
// tip tables in place of a CLA and matrices. clLoop_1Tip takes the tip as
// input 1; clLoopNonbin multiplies out in place by input 1 alone.
struct LikClOp {
    void *out;
    const void *in1;
    const void *in2;
    const uint8_t *tip1;
    const uint8_t *tip2;
    const void *P1;
    const void *P2;
};

// One edge evaluation. eval0Tip: a is the CLA at the child end, b the one at
// the parent end. eval1Tip: a is the non-tip CLA, tip the tip's codes.
// Rescaler blocks are null when rescaling is off; W1 and W2 may be null when
// the mode does not ask for them.
struct LikEvalOp {
    const void *a;
    const void *b;
    const uint8_t *tip;
    const void *scalerA;
    const void *scalerB;
    const void *W;
    const void *W1;
    const void *W2;
};

// The sum table of one edge, made once for a run of Newton steps on its
// length. With P_r(t) = U diag(exp(lambda rho_r t)) V^T (rho_r the rate of
// category r), pattern p's likelihood at the stored scale is
//   L_p(t) = sum over r, k of T[p][r][k] exp(lambda_k rho_r t),
//   T[p][r][k] = w_r (sum_i x_i pi_i U[i][k]) (sum_j V[j][k] y_j),
// x the end that carries pi (b for two CLAs, a beside a tip) and y the
// other; the derivatives take the factors lambda_k rho_r. A step then costs
// one pass over the table with exponentials made once per category and
// eigenvalue, and no matrix at all.
//
// table0Tip reads a and b, table1Tip a and the tip's codes. The table is
// double whatever the CLA's precision: per pattern ncat blocks of nvals
// values (padding 0), so a site category's table has its CLA part's size.
struct LikTableOp {
    const void *a;
    const void *b;
    const uint8_t *tip;
    const void *scalerA;  // rescaler blocks, or null
    const void *scalerB;
    const double *xSide;    // nvals rows of nvals: row i = pi_i U[i][k] over k
    const double *ySide;    // nvals rows of nvals: row j = V[j][k] over k
    const double *tipSide;  // ntipcodes rows of nvals: row c = sum of ySide rows of c's states
    const double *catWeights;  // per rate category
    double *table;
    // Per pattern, with constLikes: the constant-site term at the stored
    // scale (constLikes x exp(-rescaler sum)); the summed rescalers are
    // past it, and the term then dominates every derivative ratio, at
    // infinity. Unwritten without constLikes.
    double *constTerms;
};
using LikTableFxn = void (*)(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end);
// A table's evaluator has an edge evaluator's form: op.a is the table,
// op.scalerA the constant terms (null without +I), op.W, W1, W2 hold ncat
// blocks of nvals values: exp(lambda_k rho_r t), times lambda_k rho_r, and
// times its square. The mode asks for derivatives only (kLikModeLnL is
// ignored: the score comes from the edge evaluator), and ctx.constLikes is
// not read.

// Half-open ranges of CL items or patterns.
using LikClLoopFxn = bool (*)(const LikKernelContext &ctx, const LikClOp &op, uint32_t first, uint32_t end);
using LikEvalFxn = LikResult (*)(const LikKernelContext &ctx, const LikEvalOp &op, uint32_t first,
                                 uint32_t end, uint32_t mode);
using LikRescaleFxn = void (*)(const LikKernelContext &ctx, void *cla, void *scalers, uint32_t first,
                               uint32_t end);
using LikMergeFxn = void (*)(const LikKernelContext &ctx, const void *in1, const void *in2, void *out);
using LikAddFxn = void (*)(const LikKernelContext &ctx, const void *in, void *out);
using LikRootFxn = double (*)(const LikKernelContext &ctx, const void *cla, const void *scalers);

enum class LikPrecision : uint8_t { Double, Single };

struct LikKernels {
    const char *name;
    LikPrecision precision;
    bool vectorLayout;  // nvals a multiple of 4, internal and evaluator matrices transposed
    LikClLoopFxn clLoop_0Tip;
    LikClLoopFxn clLoop_1Tip;
    LikClLoopFxn clLoop_2Tip;
    LikClLoopFxn clLoopNonbin;
    LikEvalFxn eval0Tip;
    LikEvalFxn eval1Tip;
    LikRescaleFxn rescaleCL;
    LikMergeFxn mergeRescalers;
    LikAddFxn addRescalers;
    LikRootFxn evalLikeRooted;  // the Mk set only; null in the others
    // The sum-table members; null in the Mk set.
    LikTableFxn table0Tip = nullptr;
    LikTableFxn table1Tip = nullptr;
    LikEvalFxn evalTable = nullptr;
};

enum class LikKernelSet : uint8_t { Dna, Gen, SP, Dna_Vec, Gen_Vec, Mkv, Dna_DVec };
enum class LikIsa : uint8_t { Generic, Sse, Avx2 };

// The table a model group installs: Mkv for the Mk model; in double
// precision Gen, or for 4 states Dna_DVec on the widest instruction set the
// CPU offers (AVX2, else SSE), which gives the Dna table's bits; in single
// precision SP, or with vectorisation and at least 4 states Dna_Vec /
// Gen_Vec on the widest instruction set the CPU offers (AVX2 with FMA,
// else SSE). The environment variable VORN_KERNELS=generic holds the
// single-precision vector sets to SSE and double precision to Dna.
const LikKernels &chooseLikKernels(uint32_t nstates, bool singlePrecision, bool vectorize, bool mkv);
// One set on one instruction set; null when it does not exist or this CPU
// or build cannot run it. Dna, Gen, SP and Mkv exist only as Generic,
// Dna_Vec, Gen_Vec and Dna_DVec only as Sse and Avx2.
const LikKernels *likKernelsOf(LikKernelSet set, LikIsa isa);

// Values per pattern in a CLA: nstates rounded up to 4 for the vector
// layout, else nstates.
uint32_t likValuesPerPattern(const LikKernels &k, uint32_t nstates);
// Index of the Mk matrix for rate category r and state count k.
uint32_t likMkMatrixIndex(const LikKernelContext &ctx, uint32_t r, uint32_t k);

// ln(2^e) for e = 0..31, in both precisions, for the power-of-two rescaling.
const double *likRescaleLogTable();
const float *likRescaleLogTableF();

// The member tables, one per set and instruction set, each defined in its
// variant's own file.
const LikKernels &likKernels_Dna();
const LikKernels &likKernels_Gen();
const LikKernels &likKernels_SP();
const LikKernels &likKernels_Mkv();
const LikKernels &likKernels_Dna_Vec_Sse();
const LikKernels &likKernels_Gen_Vec_Sse();
const LikKernels &likKernels_Dna_Vec_Avx2();
const LikKernels &likKernels_Gen_Vec_Avx2();
const LikKernels &likKernels_Dna_DVec_Sse();
const LikKernels &likKernels_Dna_DVec_Avx2();

// Scalar single-precision members that the vector tables share: the tail
// pass of the vector rescaling and the rescaler sums.
void rescaleCL_SP(const LikKernelContext &ctx, void *cla, void *scalers, uint32_t first, uint32_t end);
void mergeRescalers_SP(const LikKernelContext &ctx, const void *in1, const void *in2, void *out);
void addRescalers_SP(const LikKernelContext &ctx, const void *in, void *out);
// The generic double-precision members that Dna_DVec shares.
void rescaleCL_D(const LikKernelContext &ctx, void *cla, void *scalers, uint32_t first, uint32_t end);
void mergeRescalers_D(const LikKernelContext &ctx, const void *in1, const void *in2, void *out);
void addRescalers_D(const LikKernelContext &ctx, const void *in, void *out);
// The constant-site term, sentinel, logarithm and derivative ratios of one
// pattern, shared by every non-Mk evaluator: L, D1, D2 are the pattern's
// sums over rate categories, sigma its summed rescaler. False when the
// pattern likelihood is below kLikMinPatternLike (the evaluation ends with
// likInfiniteResult()).
bool likAddPattern(const LikKernelContext &ctx, uint32_t p, double L, double D1, double D2, double sigma,
                   uint32_t mode, LikResult &acc);
LikResult likInfiniteResult();
// The generic sum-table members, for CLAs of either precision; the vector
// tables take them where they have none of their own.
void likTable0Tip_D(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end);
void likTable1Tip_D(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end);
void likTable0Tip_F(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end);
void likTable1Tip_F(const LikKernelContext &ctx, const LikTableOp &op, uint32_t first, uint32_t end);
LikResult likEvalTable(const LikKernelContext &ctx, const LikEvalOp &op, uint32_t first, uint32_t end,
                       uint32_t mode);
// The constant-site term k of a pattern at the scale of a table whose
// arrays carry the rescaler sum sigma (LikTableOp::constTerms).
double likTableConstTerm(double k, double sigma);
// Pattern p of a table evaluation: its sums over the table, to which the
// constant term (op.scalerA) is added; then the derivative ratios as
// likAddPattern takes them. False when the pattern likelihood is below
// kLikMinPatternLike.
bool likAddTablePattern(const LikKernelContext &ctx, const LikEvalOp &op, uint32_t p, double L, double D1, double D2,
                        uint32_t mode, LikResult &acc);
// likAddTablePattern for `count` patterns in turn (pattern p[i] with sums
// L[i], D1[i], D2[i]): a vector table evaluator hands its sums over a block
// at a time, rather than calling once per pattern, and the ratios are
// formed here, on the generic code's arithmetic, whatever the evaluator's
// instruction set. False at the first pattern below kLikMinPatternLike.
bool likAddTablePatterns(const LikKernelContext &ctx, const LikEvalOp &op, const uint32_t *p, const double *L,
                         const double *D1, const double *D2, uint32_t count, uint32_t mode, LikResult &acc);
// The block likAddTablePatterns is handed at most.
inline constexpr uint32_t kLikTablePatternBlock = 64;
