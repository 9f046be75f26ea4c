// The Mk model in the likelihood engine: the variable state space of its
// patterns as the kernels read it, and its change matrices, one set per
// state count that the patterns show, laid out for the Mk kernels.
#pragma once

#include <cstdint>

#include "likelihood/modelgroup.h"

// The group's kernels are the Mk set.
bool isMkvGroup(const ModelGroup *g);
// The state lists and state counts of the group's patterns, after the CLA
// layout is made.
void setMkvLayout(ModelGroup *g);
// The taxa of the tree that holds `node` (any node of it) are the ones the
// Mk evaluations condition on: on a tree without some of the group's taxa,
// a character is scored only when it is variable among the taxa placed, so
// that each score is a true -ln L of what that tree can show. Every
// evaluation after this reads it, until the next call.
void noteMkvPlacedTaxa(ModelGroup *g, const TreeNode *node);
// The Mk part of a site category's kernel context.
void fillMkvContext(const ModelGroup *g, const SiteCategory &c, LikKernelContext &ctx);
// The matrices of one CL input for every rate category and state count,
// into flat buffer `which`; null when they cannot be made.
const double *mkvInputMatrices(TreeNode *in, TreeNode *junction, const SiteCategory &c, bool tip, int which,
                               ModelGroup *g);
// The weighted matrices of an edge evaluation (and their derivatives when
// asked) into W[0..2]; the number of rate categories, 0 on failure.
uint32_t mkvEvalMatrices(const TreeNode *node, const TipInfo *tip, ModelGroup *g, uint32_t siteCat, bool derivs,
                         const double *W[3]);
