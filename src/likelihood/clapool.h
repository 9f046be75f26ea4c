// Conditional-likelihood arrays (CLAs): their layout, the fixed pool they
// are taken from, the rule that computes exactly the missing CLAs around an
// edge, the release rules of a branch-length pass, and the CL update loops
// that combine inputs through transition matrices.
//
// Each node has two CLA slots: the up-CLA (from its children) and the
// down-CLA (from its parent's side, at the parent's end of its branch). A
// null slot means "not valid". The root of the tree (the node without a
// parent) and a node with a single child count as tips.
#pragma once

#include <cstdint>

#include "likelihood/modelgroup.h"
#include "trees/treeutil.h"

inline void *&upCLA(TreeNode *n) { return n->likeData[0]; }
inline void *&dnCLA(TreeNode *n) { return n->likeData[1]; }
inline void *upCLA(const TreeNode *n) { return n->likeData[0]; }
inline void *dnCLA(const TreeNode *n) { return n->likeData[1]; }

inline bool isRootNode(const TreeNode *n) { return n->anc == nullptr; }
// Counts as a tip input: no child, or a single one.
inline bool isTipInput(const TreeNode *n) { return n->firstChild == nullptr || n->firstChild->nextSib == nullptr; }
inline bool isInternalNode(const TreeNode *n) { return !isTipInput(n); }
// Has a down-CLA of its own: the parent is not the root.
inline bool hasDownSide(const TreeNode *n) { return n->anc != nullptr && n->anc->anc != nullptr; }

// Layout and pool. 1 on failure (memory error reported).
int initCLMappings(ModelGroup *g);
void deallocCLMappings(ModelGroup *g);
int initializeCLAs(ModelGroup *g, Tree *tree, bool mlDist, bool quartetPuzzling);
void finalizeCLAs(ModelGroup *g);
// `bytes` of zeroed memory for CLA buffers, 64-byte aligned; a block of 2 MB
// or more is aligned to 2 MB, rounded up to whole 2 MB, and asked for in
// huge pages. Throws std::bad_alloc.
ClaMemory allocClaMemory(std::size_t bytes);
ClaPool *createClaPool(ModelGroup *g, bool noBuffers);
ClaPool *destroyClaPool(ClaPool *pool);
uint32_t numCLAsNeeded(const ModelGroup *g);
std::size_t getClaSize(const ModelGroup *g);  // bytes of one rescaler block

// Adds buffers until the pool holds at least `count`; false (the pool as it
// was) when the memory cannot be had.
bool growClaPool(ModelGroup *g, int32_t count);

// Takes a buffer into the empty slot; false (and the slot left empty) when
// the pool has none left, which correct use never meets.
bool getCLAfromPool(void *&slot, ModelGroup *g);
void returnCLAtoPool(void *&slot, ModelGroup *g);
int32_t numFreeCLAs(const ModelGroup *g);

// The rescaler block of a CLA (one per pattern after the values), or null
// without a CLA or when rescaling is off.
void *getRescalers(void *cla, const ModelGroup *g);

// Makes valid every CLA needed to evaluate the branch above the node; 0, or
// 1 when the pool ran dry or a kernel is missing.
int updateCLforEdge(TreeNode *node, ModelGroup *g);
// Makes valid the up-CLAs missing in the node's subtree (children first).
int updateUpCLs(TreeNode *node, ModelGroup *g);
int calcUpCLforOneNode(TreeNode *node, ModelGroup *g);
int calcDnCLForOneNode(TreeNode *node, ModelGroup *g);
int updateDownCLofChildren(TreeNode *node, ModelGroup *g);

// Release rules.
void releaseAllCLAs(Tree *tree, ModelGroup *g);
void resetCLAs(ModelGroup *g, Tree *tree, bool all);
void releasePreorderCLAs(ModelGroup *g, TreeNode *node, bool alsoAbove);
void releaseCLAsAbove(TreeNode *node, bool alsoBelow, ModelGroup *g);

// The CL combination of two inputs into out (rescaling afterwards when asked
// and needed); returns whether a value fell below the threshold unrescaled.
bool clBinary(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g, bool rescaleNow);
bool clNonbinary(TreeNode *node, int dir, ModelGroup *g);
// Chooses the CL loop by the kinds of the inputs (a null second input folds
// one more input into out through clLoopNonbin).
bool runCLUpdateLoop(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g, int thread);
void setRunCLUpdateLoopFxn(ModelGroup *g);

// Selectors. The junction is the node where the inputs meet: out itself
// for an up-CLA, its parent for a down-CLA.
TreeNode *getEdgeForClaCalc(TreeNode *input, TreeNode *junction);
// Whether the input enters the junction as a tip: a tip or single-child
// node below it, or the root above it.
bool inputIsTipAt(const TreeNode *in, const TreeNode *junction);
// The CLA the input offers the junction, or null for a tip input.
void *getInputCla(TreeNode *input, TreeNode *junction);
void *getAdjustedInputCla(TreeNode *input, TreeNode *out, int dir, const ModelGroup *g, int thread);
void *getAdjustedOutputCla(TreeNode *out, int dir, const ModelGroup *g, int thread);
// For an edge with a tip end: the tip and the CLA at the other end.
void getTipAndNontipCLA(TreeNode *node, TreeNode **tip, void **cla);
const TipRow *tipRowOfNode(const TreeNode *node, const ModelGroup *g);
Model *getModelForClaCateg(const ModelGroup *g, uint32_t clCateg);
double getRateForClaCateg(const ModelGroup *g, uint32_t clCateg);
// The transition matrix of one CL category on the branch between the input
// and the junction into the thread's input workspace `which` (0 or 1);
// tip tables for a tip input. Null when the model has no P function.
ChgMatrixSet *calcChgMatrixforCL(TreeNode *input, TreeNode *junction, uint32_t clCateg,
                                 uint32_t nstates, ModelGroup *g, int thread, uint32_t which);

// Diagnostics.
void showCLA(TreeNode *node, int dir, ModelGroup *g);
int32_t whichCLA(const void *buffer, const ModelGroup *g);
