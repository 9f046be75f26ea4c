// The likelihood engine's part of a model group: the table of kernel
// functions through which all likelihood work dispatches, chosen once when
// the group is prepared from the data type, the state count, the precision
// and the vector setting; the conditional-likelihood layout and pool; the
// tip tables; and the per-thread matrix workspaces. The site-pattern part of
// the group is built by the character-data layer (data/patterns.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "data/patterns.h"
#include "likelihood/aligned.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/kernels/lik_kernels.h"
#include "likelihood/ml_multithread.h"

struct Tree;
struct TreeNode;

// Direction of a conditional-likelihood array: 0 the up-CLA (from the
// node's children), 1 the down-CLA (from the parent's side).
enum : int { kClUp = 0, kClDown = 1 };

// The group's kernel slots: the node-level entries through which the
// driver and the pool reach the flat kernel table the group chose
// (likelihood/kernels/lik_kernels.h). `thread` -1 is the whole range.
using ClBinaryFxn = bool (*)(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g,
                             bool rescaleNow);
using ClLoopFxn = bool (*)(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g,
                           int thread);
// The edge evaluators: -ln L and its two derivatives (mode bits 1, 2, 4).
using EvalLikeFxn = double (*)(Tree *tree, TreeNode *node, ModelGroup *g);
using EvalDerivFxn = void (*)(double result[3], TreeNode *node, ModelGroup *g, int mode);

struct ModelGroupKernels {
    const LikKernels *lik = nullptr;  // the flat kernels every slot below calls
    ClBinaryFxn clBinary = nullptr;
    ClLoopFxn runCLUpdateLoop = nullptr;
    EvalLikeFxn evalLikeUnrooted = nullptr;
    EvalLikeFxn evalLikeRooted = nullptr;
    EvalDerivFxn evaluateDerivatives = nullptr;
};

// A site category (a slot of the patterns): one model and, with site-specific
// rates, one rate; its patterns are contiguous.
struct SiteCategory {
    Model *model = nullptr;
    uint32_t firstPattern = 0;
    uint32_t npat = 0;
    uint32_t nRateCats = 1;     // rate blocks in the CLA
    uint32_t rateIndex = 0;     // the model's rate (site-specific rates)
    bool siteSpecific = false;
    uint32_t blockValues = 0;   // values of one rate block
    uint64_t claOffset = 0;     // first value of the category in a CLA
    uint32_t firstClCateg = 0;  // CL category of rate block 0
};

// Where each value of a conditional-likelihood array lives.
struct CLMappings {
    std::vector<SiteCategory> siteCats;
    std::vector<uint32_t> patSiteCat;   // per pattern
    std::vector<uint32_t> patOffset;    // per pattern: offset inside its rate block
    std::vector<uint32_t> patStates;    // per pattern: its number of states
    // CL items: one per (pattern, rate category), in layout order.
    std::vector<uint32_t> itemPattern;
    std::vector<uint32_t> itemClCateg;
    std::vector<uint64_t> itemOffset;   // first value of each item; one extra at the end
    // CL categories: a model and one of its rates (its rate index).
    std::vector<Model *> clCategModel;
    std::vector<uint32_t> clCategRate;
    uint64_t nvalues = 0;  // state values of one CLA
    uint64_t length = 0;   // values with the rescalers (one per pattern when rescaling)
    uint32_t npat = 0;
    uint32_t nitems = 0;
};

// Zeroed memory for conditional-likelihood buffers (allocClaMemory).
struct ClaMemoryFree {
    std::size_t alignment;
    void operator()(unsigned char *p) const noexcept { ::operator delete(p, std::align_val_t{alignment}); }
};
using ClaMemory = std::unique_ptr<unsigned char[], ClaMemoryFree>;

// The fixed set of conditional-likelihood buffers of a group.
struct ClaPool {
    ClaMemory store;
    std::vector<ClaMemory> grown;  // buffers added by growClaPool
    std::vector<void *> buffers;
    std::vector<void *> freeStack;
    std::size_t bufferBytes = 0;
    int32_t count = 0;
    int32_t top = -1;  // index of the top free buffer; -1 when none is free
    int32_t lowWater = 0;  // fewest free buffers seen since the last reset
    uint64_t pops = 0;     // buffers taken so far: a holder of arrays sees whether anyone else took one
};

// One tip row: the state code of each pattern (0 .. n-1 a state, n any
// state, above n the tip's own ambiguity codes) and the member states of
// each of its ambiguity codes.
struct TipRow {
    std::vector<uint8_t> codes;
    std::vector<std::vector<uint8_t>> ambStates;  // per code: count, then states
    std::vector<const uint8_t *> ambPtrs;
    TipInfo info{};
    bool present = false;
};

// Per-thread workspaces: a matrix set per rate category (for evaluators),
// two matrices for the two inputs of a CL loop.
struct ThreadWork {
    std::vector<ChgMatrixSet> categ;
    ChgMatrixSet in[2];
    uint32_t firstItem = 0, lastItem = 0;  // the thread's range of CL items
    uint32_t firstPattern = 0, lastPattern = 0;
};

// Matrices laid out as the flat kernels read them: one block per rate
// category, rows nvals values wide, in the CLA's precision.
struct KernelMatrices {
    AlignedVector<double> d[5];
    AlignedVector<float> f[5];
};

// The transition matrices of one input of a recorded CL update, to be made
// into the batch's store at `at`.
struct ClMatrixJob {
    TreeNode *in;
    TreeNode *junction;
    const SiteCategory *cat;
    std::size_t at;
    bool tip;
    uint8_t which;  // the input's workspace (0 or 1)
};

// A whole-tree pass recorded to run in one round (likeops.cpp): its steps,
// and the matrices they read, each step's in a place of its own in a store
// that keeps its size from pass to pass.
struct ClBatchRecord {
    LikBatch batch;
    bool recording = false;
    AlignedVector<double> storeD;
    AlignedVector<float> storeF;
    std::size_t used = 0;  // values of the store in use
    // Per step: where its matrices start in the store (P1, P2, or W, W1, W2).
    std::vector<std::array<std::size_t, 3>> matrixAt;
    std::vector<ClMatrixJob> jobs;  // made before the steps run
};

// The sum table of the edge whose length is being optimised (likeops.h),
// for one site category: the eigen sides of its model, its rates and
// weights, the exponentials of the last length asked for, and the
// operation that makes its part of the table.
struct EdgeTableCategory {
    AlignedVector<double> xSide, ySide, tipSide;
    AlignedVector<double> exps;  // three blocks of ncat x nvals
    std::vector<double> lambda, rates, weights;
    LikKernelContext ctx{};
    LikTableOp op{};
};

struct EdgeTableWork {
    AlignedVector<double> table;       // a CLA's layout, in double
    AlignedVector<double> constTerms;  // per group pattern
    std::vector<EdgeTableCategory> cats;
    std::vector<LikBatchUnit> units;   // the chunks the table is made in
    const TreeNode *node = nullptr;    // the edge the table holds, or null
    bool tip = false;
};

struct ModelGroupEngine {
    ModelGroupKernels kernels;
    uint32_t nvals = 0;  // values per pattern in a CLA (the state count padded for the vector layout)
    KernelMatrices flat;
    LikThreads *likThreads = nullptr;  // the pattern split, when threads run; not owned
    ClBatchRecord batch;
    EdgeTableWork edgeTable;
    CLMappings map;
    std::unique_ptr<ClaPool> pool;
    // Set while a pass needs no CLA but the ones around its edge: an up-CLA
    // goes back to the pool as soon as its parent's is made.
    bool releaseConsumedCLAs = false;
    std::vector<TipRow> tips;  // by taxon number; the last row is the ancestor node
    uint32_t nTipRows = 0;
    uint32_t maxTipCodes = 0;  // largest row count of a tip matrix
    uint32_t bytesPerValue = 8;
    std::size_t stride = 0;    // bytes of one CL item (fixed state count)
    bool singlePrecision = false;
    bool vectorized = false;
    bool rescaling = false;
    float thresholdFloat = 0.0f;
    uint32_t ncateg = 0;       // largest rate-category count of the active models
    std::vector<ThreadWork> threads;
    std::vector<double> patternWork;  // one double per pattern
    std::vector<double> taxonWork;    // two doubles per taxon
    // The Mk model's variable state space (empty for other groups): the
    // model states of each group pattern, nstates bytes per pattern, and the
    // distinct state counts of the patterns, whose matrices are made.
    std::vector<uint8_t> mkStateList;
    std::vector<uint32_t> mkStateCounts;
    // On a tree that holds only some of the taxa (a step of stepwise
    // addition), the pattern weights the Mk evaluations read instead of the
    // group's: a character constant among the taxa placed has no
    // probability conditioned on being variable there, and weighs nothing.
    std::vector<double> mkPlacedWeights;
    bool mkPartialTree = false;
};

// The group's engine part, made on first use.
ModelGroupEngine *groupEngine(ModelGroup *g);
inline const ModelGroupEngine *groupEngine(const ModelGroup *g) { return g->engine; }

// The two groups: 0 the default group (kind -1), 1 the codon group (kind 7).
ModelGroup *createDefaultModelGrp();
ModelGroup *createCodonModelGrp();
ModelGroup *setActiveModelGroup(ModelGroup *g);
ModelGroup *getGroupForModel(const Model *m);

// Frees the group's engine data (CLAs, pool, tips, workspaces); with
// releaseAll also the compressed patterns. The site-pattern arrays always go.
void deallocModelGroupData(ModelGroup *g, bool releaseAll);
void deallocAllModelGroupData(bool releaseRecords);

// Fills the kernel slots and every active model's change-matrix functions,
// then the models' working frequency vectors.
void setModelGroupInfo(ModelGroup *g);
// The working frequencies of the model into `dest` (or its own vector and
// single-precision copy when dest is null).
void setPiVectorForModel(Model *m, double *dest);
// The flat kernel table the group's settings select.
const LikKernels &chooseGroupKernels(const ModelGroup *g);
