// Double-edge contract-and-refine (2-ECR) swapping: the neighbours of a
// binary tree obtained by contracting two internal edges and resolving the
// polytomies again.
//
// Two adjacent edges leave one node with five pieces around it: four below
// (Q0-Q3) and the rest of the tree above (R). Their 15 resolutions are the 15
// rooted binary trees over Q0-Q3 hanging from R, one of them the tree itself.
// For a node X the pair of edges is one of three contraction types:
//   1 both children of X internal: Q0, Q1 under the first child, Q2, Q3 under
//     the second; X stays where it is;
//   2 X's first child internal, X not hanging on the root: Q0, Q1 under that
//     child, Q2 X's second child, Q3 X's sibling; X's parent stays;
//   3 X's second child internal, X not hanging on the root: Q0 X's first
//     child, Q1, Q2 under the second, Q3 X's sibling; X's parent stays.
// Two edges apart are two interchanges: one is made, and the interchanges of
// the result are evaluated with the edges around the first left out, since
// the trees they give are those of adjacent pairs.
#pragma once

#include <cstdint>

struct DataInfo;
struct HSearchData;
struct RearrObject;
struct Tree;
struct TreeNode;

enum class EcrShape : uint8_t { kBalanced, kChain };

// One resolution: ((a, b), (c, d)) when balanced, (((a, b), c), d) as a
// chain; identityFor is the contraction type it leaves unchanged (0 none).
struct EcrRefinement {
    uint8_t piece[4];
    EcrShape shape;
    uint8_t identityFor;
};
inline constexpr int kNumRefinements = 15;
extern const EcrRefinement refinementTable[kNumRefinements];

// RearrObject::isEcr: an adjacent contraction (node[0] X, code[0] the type,
// code[1] the table entry), or a TBR move made after the interchange that
// moves ecrFirst onto the edge of its parent's sibling.
inline constexpr uint8_t kEcrAdjacent = 1;
inline constexpr uint8_t kEcrAfterNNI = 2;

// True when the contraction type applies at X.
bool ecrTypeApplies(const TreeNode *X, int type);
// The pieces of contraction type at X: q[0..3] Q0-Q3, q[4] the node that
// stays (its up set is the rest of the tree). X must admit the type.
void makeQList(TreeNode *X, int type, TreeNode *q[5]);

// The length of resolution entry of contraction type at X, from the state
// sets of the tree (current, as for TBR).
double ecrResolutionScore(Tree *tree, const DataInfo *d, TreeNode *X, int type, int entry);

// Evaluates the 2-ECR neighbours of the tree, as evaluateNeighbors_TBR does
// for TBR (same result codes); centre (or null) orders the nodes.
int evaluateNeighbors_ECR(Tree *tree, HSearchData *hsd, TreeNode *centre, double *bound, double *best);
// The 14 resolutions other than the tree itself of one contraction. Under
// parsimony they are scored from the pieces' state sets; under another
// criterion, and under threshold parsimony or Goloboff weighting (whose
// scores are not sums of steps), each is made on the tree and scored whole.
int contractAndRefineAdjacent(Tree *tree, HSearchData *hsd, TreeNode *X, int type, double *bound, double *best);

// The topological change of a 2-ECR hit (state sets untouched); 1 when the
// hit does not name a move of this tree. Parsimony keeps no edge data, so
// carryEdgeData only matters to the interchange form.
int finishRearr_ECR(Tree *tree, const RearrObject *hit, bool carryEdgeData);
// Performs the hit and recomputes every state set.
int applyEcrRearr(Tree *tree, const DataInfo *d, const RearrObject *hit);

void setEcrRedundantEdges(HSearchData *hsd);
bool isRedundantEcrNNI(const HSearchData *hsd, const TreeNode *node);

// Installs 2-ECR as the search's swapper (its collapse entry is kept).
void installEcrSwapFxns(HSearchData *hsd);
