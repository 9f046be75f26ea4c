// The operations of each free-reversible character class in one record,
// chained on the data set so that every pass over a tree calls each class
// present without knowing the classes; and the dispatchers over the chain.
#pragma once

#include <cstdint>

#include "parsimony/packx.h"

struct TreeNode;

using AddSpanFxn = int (*)(const DataInfo *, const ParsNodeSets *, const ParsNodeSets *, bool perChar,
                           double *length, double bound);
using SetBinFxn = void (*)(const DataInfo *, const ParsNodeSets *, const ParsNodeSets *, bool count,
                           bool perChar, ParsNodeSets *result, double *length);
using SetUpdateFxn = int (*)(const DataInfo *, const ParsNodeSets *, const ParsNodeSets *, ParsNodeSets *stored,
                             const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty);
using SetFxn = void (*)(const DataInfo *, const TreeNode *node, const TreeNode *leaveOut, bool count,
                        bool perChar, ParsNodeSets *result, double *length);
using EvalNNIFxn = int (*)(const DataInfo *, TreeNode *scratch, const TreeNode *x, double *length, double bound);

struct ParsFxns {
    AddSpanFxn addSpan;
    SetBinFxn setBin;
    SetUpdateFxn setUpdate;
    SetFxn set;
    EvalNNIFxn evalNNI;
    uint32_t nWords;
    uint8_t active;
    ParsFxns *next;
};

void setParsFxns(DataInfo *d, int perChar);
void releaseParsFxns(DataInfo *d);

bool freeRevCharsPacked(const DataInfo *d);

// True when a counted binary join of every class in the chain is the
// unordered join alone, its steps a plain count: the chain holds only the
// unordered class, and neither per-character counts, weights nor the
// alternative scores need its step masks.
bool plainUnoJoinChain(const DataInfo *d, bool perChar);
void frvSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length);
void frvSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length);
int frvAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound);
double frvSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b);
void frvMprSet(const DataInfo *d, TreeNode *node);
bool revBranchLenPositive(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b);
// Length of the three-taxon tree ((a, b), c) of the taxa ia, ib and ic (-1:
// the ancestor) with down sets a, b and c, joined at x.
double revLen3(const DataInfo *d, int32_t ia, int32_t ib, int32_t ic, const ParsNodeSets *a, const ParsNodeSets *b,
               const ParsNodeSets *c, ParsNodeSets *x);
void revSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length);
void revSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length);
// Writes the step masks of joining a and b; with counts, returns the
// alternative score of those counts plus the masked steps, else 0.
double altSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, const uint32_t *counts);

// The sets an NNI moving x reads: x's, its sibling s's, the up set of its
// ancestor's ancestor g, and the down set of u, g's other child; false when
// x has no such move.
struct NNISets {
    const ParsNodeSets *x, *s, *gUp, *u;
};
bool nniSets(const TreeNode *x, NNISets *out);

// NNI moving x (a child of f) to the edge of u, the other child of f's
// ancestor g. Adds the joining steps to *length; nonzero when the bound is
// exceeded (the length then is a partial sum above the bound).
int wagEvalNNI(const DataInfo *d, TreeNode *scratch, const TreeNode *x, double *length, double bound);
int unoEvalNNI(const DataInfo *d, TreeNode *scratch, const TreeNode *x, double *length, double bound);
int frvEvalSwap_NNI(const DataInfo *d, TreeNode *scratch, const TreeNode *x, double *length, double bound);
