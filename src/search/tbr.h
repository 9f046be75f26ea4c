// Nearest-neighbour interchange, subtree pruning and regrafting and tree
// bisection and reconnection on a binary tree under parsimony: enumeration
// of the neighbours of a tree, their incremental scores, and applying and
// undoing one of them.
//
// A rearrangement is named by three nodes: K, whose edge is cut; R, the edge
// of K's subtree at which that subtree is rerooted (R = K: kept as it is);
// T, the edge of the remaining tree that receives it (an edge is named by
// the node below it; the edge made by merging the two edges at K's old
// parent is named by K's old sibling S). When K hangs on the root tip the
// remaining tree is that tip alone and T is the root.
//
// The state sets of the tree (down, up and final records, subtree lengths)
// must describe the tree when an evaluation starts (calcStatesetsForSearch
// or the incremental updates); every function here leaves them so.
#pragma once

#include <cstdint>

struct DataInfo;
struct HSearchData;
struct ParsNodeSets;
struct RearrObject;
struct Tree;
struct TreeNode;

enum SwapType : int { kSwapNNI = 1, kSwapSPR = 2, kSwapTBR = 3 };

// Result codes (signed): 0 every neighbour evaluated, -1 better tree found,
// 2 stopped by the user, 3 time limit, 4 rearrangement limit, or the
// nonzero code of the saving step.

// The score of a tree whose state sets are current, under the parsimony
// criterion in force: its length, or its threshold score or Goloboff fit.
double swapTreeScore(const DataInfo *d, const Tree *tree);

// The reconnection limit in force: limit when 0 < limit <= n - 1, else n - 1.
uint32_t tbrReconLimit(uint32_t reconLimit, uint32_t nTaxa);

// The nodes whose edges are cut, in order (see tbr.cpp); out holds at least
// tree->maxNodes entries.
uint32_t setCutSequence(Tree *tree, TreeNode *centre, TreeNode **out);

// Reconnection items of one cut, each list in ascending distance: the reroot
// edges of K's subtree and the graft edges of the rest. first[d] .. first[d+1]
// index the items at distance d; maxDist is the largest distance listed.
struct ReconList {
    TreeNode **node;
    uint32_t *first;  // maxDist + 2 entries
    uint32_t maxDist;
};
// Builds both lists for a cut at K (the tree still whole); returns the
// largest reroot distance plus the largest graft distance. The arrays belong
// to the calling thread and stay valid until its next call.
uint32_t setReconSeq(Tree *tree, TreeNode *K, uint32_t limit, ReconList *reroot, ReconList *graft);

// Evaluates the neighbours of the tree for hsd: each move whose score
// passes scoreIsGood against *scoreToBeat (read afresh for every move) and
// *best is offered to tryToSaveTree. centre (or null) orders the cuts.
// While hsd->ecrNode is set, that node is never cut and the 2-ECR redundant
// edges are neither reroot nor graft edges (search/ecr.h).
int evaluateNeighbors_TBR(Tree *tree, HSearchData *hsd, int swapType, TreeNode *centre, uint32_t reconLimit,
                          double *scoreToBeat, double *best);

// Every move of the given type, in enumeration order, with its score (the
// data set's base score included); fn returns nonzero to stop, which is
// returned. The tree and its sets are whole again on return. Without data
// the moves are listed with score 0.
using TbrMoveFxn = int (*)(void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double score);
int forEachTbrMove(Tree *tree, const DataInfo *d, int swapType, uint32_t reconLimit, TbrMoveFxn fn, void *ctx);

// Number of rearrangements of the given type (nothing scored).
double countTbrRearrangements(Tree *tree, int swapType, uint32_t reconLimit);

// The topological change of move (K, T, R) on the whole tree; the state sets
// are not touched. Returns 0, or 1 when the nodes do not name a move.
int finishRearr_TBR(Tree *tree, TreeNode *K, TreeNode *T, TreeNode *R, bool carryEdgeData);

// Applies move hit (node[0] K, node[1] T, node[2] R) and, with updateSets,
// brings the state sets up to date; *inverse receives the move that takes
// the tree back (a move on the rearranged tree). The tree remembers how it
// was so that undoTbrRearr restores it exactly, links and child order
// included. Returns 0, or 1 when the move is not valid on the tree.
int applyTbrRearr(RearrObject *inverse, Tree *tree, const DataInfo *d, const RearrObject *hit, bool updateSets);
// Undoes the last applyTbrRearr on this tree (same thread); 1 when there is
// nothing to undo.
int undoTbrRearr(Tree *tree, const DataInfo *d, bool updateSets);
// K of the last move applied to the tree, or null; other rearrangements
// name the node their cut order should start from.
TreeNode *lastMovedSubtree(const Tree *tree);
void setLastMovedSubtree(const Tree *tree, TreeNode *node);

// A pass of evaluateNeighbors_TBR is split among the pass helpers (see
// search/passhelpers.h) when they are installed, the search's scores are
// plain lengths and every move is offered as it is found. Trees of fewer
// than minTaxa taxa (150 unless set) are not split: their passes are too
// short to pay for the hand-over. The owner of a pass calls the helpers
// once it reaches item callHelpersAt (128 unless set; most passes that end
// early end before). Without ownerScans it calls them at once, leaves every
// cut to them and only takes their results.
void setTogetherPassOptions(uint32_t minTaxa, uint32_t callHelpersAt, bool ownerScans);
uint32_t togetherPassMinTaxa();
// Passes split so far, and the items of them helpers scanned.
struct TogetherCounts {
    uint64_t passes = 0;
    uint64_t helperItems = 0;
};
TogetherCounts togetherCounts();

// Swaps on the tree alone, taking the first better neighbour each time,
// until none is better; the tree's score becomes its length. Returns 0, or
// the stop code of the evaluation.
int localSearchFromOneTreeViaTBR(Tree *tree, HSearchData *hsd, int swapType, uint32_t reconLimit,
                                 double *scoreToBeat);
