// The tree-likelihood driver: the one entry through which a tree is scored
// by likelihood (searches, scores, tests), with starting branch lengths,
// screening against a target score, branch-length optimisation one edge at
// a time (Newton-Raphson or Brent), standard errors and the zero-length
// test of each branch, and the cheap score of a taxon added on an edge.
#pragma once

#include <cstdint>
#include <vector>

#include "likelihood/modelgroup.h"

// No score (an evaluation abandoned or aborted).
inline constexpr double kNoLScore = 1e37;
// Standard error of a branch whose curvature gives none.
inline constexpr double kNoStdErr = -1.0;

// -ln L of the tree with its branch lengths (and the parameters marked for
// estimation) optimised; kNoLScore when aborted or refused. A target other
// than kNoLScore lets hopeless trees be abandoned early.
double calcTreeLikelihood(Tree *tree, double target);
// The same for a fit a user looks at even while a long operation runs (a
// search's kept trees fitted afresh): it is fitted from a second start as
// LScores' fits are.
double calcTreeLikelihoodForItself(Tree *tree, double target);
double calcLikeForModelGroup(Tree *tree, ModelGroup *g, double target);
// Passes over the visit sequence until converged, rejected against the
// target or the pass limit; `constrained` (or null) is held at length 0.
// The outputs may be null. A fit tried again against the score of an
// earlier one (`rival`) stops once it is back at that score, or cannot come
// below it at the rate its passes gain (under Mk, still short of it after
// a few passes).
double optimizeBranchLensOneDim(Tree *tree, ModelGroup *g, TreeNode *constrained, uint32_t *passes,
                                bool *rejected, bool *stoppedEarly, double target, double start,
                                double rival = kNoLScore);
double do1BranchLenPass(Tree *tree, TreeNode *constrained, ModelGroup *g, double *maxAbsD1, double newtonTol);
double optimizeOneEdge(TreeNode *node, ModelGroup *g, bool wantScore, double *absD1, double newtonTol);
// -ln L for the current branch lengths; keep leaves the CLAs in place.
double calcLForCurBranchLens(Tree *tree, bool keep);
// Optimises the lengths from the current ones (no start method, no target).
double improveBranchLens(Tree *tree);
// -ln L with the leaf attached on the edge above edgeNode through the spare
// fork junction, the three edges at the junction optimised; the tree is
// left as it was.
double calcLScoreWith3EdgeOpt(TreeNode *leaf, TreeNode *edgeNode, TreeNode *junction);

// Fast stepwise addition: each join scored with only the three edges at
// the junction optimised. In effect with the fastStep setting and no clock.
bool fastStepwiseInEffect();
// The tree readied for the joins of a step after the first (the first
// step's tree is scored whole): its branch lengths improved from the
// current ones; returns -ln L.
double fastStepwiseBegin(Tree *tree);
// calcLScoreWith3EdgeOpt in a step's series of joins, which keeps the
// arrays one join leaves valid for the next while the pool has room.
double fastStepwiseJoinScore(Tree *tree, TreeNode *leaf, TreeNode *edgeNode, TreeNode *junction);
// The leaf joined for good on the edge above edgeNode, the lengths starting
// as the three-edge score started them.
void fastStepwiseJoin(Tree *tree, TreeNode *leaf, TreeNode *edgeNode, TreeNode *junction);

// The preorder of the tree's nodes below the root (without a branch that
// hangs from a data-less ancestor).
void setMLVisitSequence(Tree *tree);
const std::vector<TreeNode *> &mlVisitSequence();

void printLScore(double score);

// Book-keeping of the last evaluation.
uint32_t numLikeFxnEvals();
int didZeroLenTest();  // 0 none, 1 full, 2 crude
uint32_t lastBranchLenPasses();
// How many fits stopped at the pass limit while still gaining since the
// last call; the count starts again at 0.
uint32_t takePassLimitGains();
void setNeedBrlenStdErr(bool on);
bool needBrlenStdErr();
// Per node position: the standard error of its branch length and the score
// difference of its zero-length test, from the last evaluation that asked.
double brlenStdErr(const Tree *tree, const TreeNode *node);
double zeroLenScoreDiff(const Tree *tree, const TreeNode *node);

// What the driver needs from the parameter optimiser (installed beside it).
// A target below 1e37 lets the estimate stop once the tree cannot reach it:
// the score returned is then above the target, not the tree's optimum.
double calcLWithParamEst(Tree *tree, ModelGroup *g, double target);
