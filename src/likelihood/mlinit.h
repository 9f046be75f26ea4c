// The likelihood set-up: initializeML turns the LSet settings and the active
// data set into the prepared state (the ActiveML record, the active models
// with their rate categories and eigen systems, the site patterns, the
// kernel table, the conditional-likelihood pool and the tip states), and
// keeps it across commands while nothing it depends on has changed.
#pragma once

#include <cstdint>

#include "likelihood/modelgroup.h"

struct ActiveML;
struct DataInfo;
struct Model;
struct ModelGroup;
struct Tree;

// 0 success, 1 failure, 2 aborted by the user.
int initializeML(bool force, bool mlDist, bool useDistances, bool tipFlag, Tree *tree);
// Fills the record's flags and copies from the settings and decides whether
// the prepared data (and the last optimised tree) stay valid.
void initializeMLFlags(ActiveML *aml, bool mlDist, bool useDistances);
int finishMLInit(Tree *tree, bool mlDist);
void disposeML(bool full);
int initTipsForModelGrp(ModelGroup *g, const DataInfo *d, Tree *tree, bool tipFlag);
int init1Tip(ModelGroup *g, const DataInfo *d, uint32_t taxon, uint32_t row, bool tipFlag);

bool estimatingMLParms();
// code 1: equal; code 3: equal when every value is within 1e-10 of 1/n.
bool stateFreqsAreEqual(int code, const double *freqs, uint32_t n, bool forceUnequal);
void chooseEvalDerivFxn(ModelGroup *g);

// Full preparations made since start-up (tests count them).
uint32_t numMLPreparations();

// What the distance code supplies for least-squares starting branch
// lengths: prepares the least-squares fit of `tree` to a distance matrix of
// type `distType` (recomputing the matrix unless `reuseMatrix`), keeping
// it for the driver; 0, 1 after an error report, 2 aborted. release frees
// what prepare kept. Without these the starting lengths are the arbitrary
// length initArbBrLen (kFallbackStartBrLen when that is not positive).
struct MLStartLengthHooks {
    int (*prepare)(DataInfo *d, Tree *tree, int distType, bool reuseMatrix);
    void (*release)();
    // Sets the tree's lengths to the prepared fit; 0, or 1 when none is.
    int (*fit)(Tree *tree);
};
void installMLStartLengthHooks(const MLStartLengthHooks &hooks);
// The distances of the set-up's step for starting trees and lengths, made
// afresh from the patterns' present weights (with the fit for `tree` when
// one is given): 0, 1 after an error report, 2 stopped. Whether the last
// full set-up made them.
int prepareStartDistances(DataInfo *d, Tree *tree);
bool setUpWithStartDistances();
bool haveLSStartLengths();
// The least-squares lengths of the prepared fit into the tree; 1 when none
// is prepared (the caller falls back to the arbitrary length).
int fitLSStartLengths(Tree *tree);
inline constexpr double kFallbackStartBrLen = 0.1;

// What the data layer's preparation calls: initializeML for the primary
// tree with the preparation's flags.
int initializeMLForData(DataInfo *d, uint32_t flags);
