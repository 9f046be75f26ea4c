// Node ages under a molecular clock: the optimiser works on ages (in one of
// three parameterisations) and the branch lengths of the rooted tree follow
// as age differences. These are the "Clock times" of the parameter vector.
#pragma once

#include <cstdint>

struct Model;
struct Tree;

// The clock parameterisations of LSet paramClock.
enum : uint32_t { kClockThorne = 0, kClockRelAge = 1, kClockRambaut = 2 };

// Number of clock parameters of the tree (its internal nodes); 0 and an
// error reported when the tree is not rooted at its ancestor.
uint32_t numClockParams(const Tree *tree);
// The tree whose node ages the setter reads and writes.
void setClockTree(Tree *tree);
// Parameters found nonzero by the last starting values (0 when every
// distance was 0).
uint32_t clockParamsInUse();

// The setter of the "Clock times" entry (modes of the parameter vector);
// the model is ignored.
double setClockTimesForOptimizer(double *values, Model *m, int mode, bool log);
// relAge: the root age, then parent age / own age of every other internal
// node in preorder.
void initParamVecRelAge(Tree *tree, double *values, bool transform);
void setTimesFromParamVecRatios(const double *values, Tree *tree, bool transform, bool log);
// Branch lengths from the node ages: (parent age - own age) x rate; tip
// branches at least the minimum branch length.
void setBranchLengthsFromAges(Tree *tree);
