// The tree side of the flat likelihood kernels: for one node (a CL update)
// or one edge (an evaluation) these build the kernels' operations, site
// category by site category, from the group's CLA layout, tip rows and
// transition matrices, and call the table the group chose. Nothing here
// loops over patterns itself.
#pragma once

#include <cstdint>

#include "likelihood/modelgroup.h"

// The CL update of out (direction dir) from in1 and in2; with in2 null, in1
// is folded into out. True when a value fell below the rescaling threshold.
bool runKernelCLLoop(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g);
// The binary CL update of a group that splits its patterns into chunks:
// out's rescalers become the combined rescalers of in1 and in2 inside the
// update's rounds, and with `rescaleNow` out is rescaled when a value fell
// below the threshold (false is returned then).
bool runKernelCLBinary(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g, bool rescaleNow);
// Rescales the CLA of out in place, adding to its rescalers.
void rescaleNodeCL(TreeNode *out, int dir, ModelGroup *g);
// Rescaler blocks of whole CLAs (every pattern of the group).
void mergeNodeRescalers(void *out, const void *a, const void *b, const ModelGroup *g);
void addNodeRescalers(void *out, const void *in, const ModelGroup *g);

// A whole-tree pass in one round: after beginClBatch the CL updates that
// rescale their own output are recorded instead of run, and the next edge
// evaluation runs them and itself in one round of the group's threads
// (rescaling decided per chunk of patterns, so the values are the same on
// any number of threads); any other update first runs what is recorded.
// endClBatch runs what is still recorded and stops recording. False (and
// nothing recorded) for groups whose updates cannot be recorded: the Mk
// model, groups on one thread, kernels of their own.
bool beginClBatch(ModelGroup *g);
void endClBatch(ModelGroup *g);

// -ln L and its derivatives with respect to the node's branch length, over
// every pattern; the CLAs around the edge must be valid (updateCLforEdge).
// A pattern likelihood below 1e-300 gives the infinite score 9e36.
LikResult evaluateEdge(TreeNode *node, ModelGroup *g, uint32_t mode);
double evalLikeUnrooted(Tree *tree, TreeNode *node, ModelGroup *g);
// At the root of a rooted tree: the basal node's up-CLA against the
// stationary frequencies (its branch length takes no part).
double evalLikeRooted(Tree *tree, TreeNode *node, ModelGroup *g);
// result = {0, d1, d2} (mode 2 gives only d1; mode 6 both; mode 7 -ln L too).
void evaluateDerivatives(double result[3], TreeNode *node, ModelGroup *g, int mode);

// The sum table of node's edge (lik_kernels.h), made from the CLAs around
// it, which must be valid and stay so while it is read; false (nothing
// made) for groups and models that have none: the Mk model, a model that is
// not reversible, a pass being recorded.
bool prepareEdgeTable(TreeNode *node, ModelGroup *g);
// d1 and d2 (mode bits 2 and 4) at node's present length from the table
// prepareEdgeTable made for it; the edge evaluator's, within rounding. No
// -ln L: that comes from evaluateEdge.
LikResult evaluateEdgeTable(TreeNode *node, ModelGroup *g, uint32_t mode);
