// Topological constraints during a heuristic search: the set-up at its
// start, and the tests of candidate trees (a taxon joined in stepwise
// addition, an NNI or a TBR/SPR move) made on a scratch copy of the tree's
// links, so the tree being swapped and its state sets are never touched.
#pragma once

#include <cstdint>
#include <vector>

#include "trees/treeutil.h"

struct DataInfo;
struct RearrObject;

// Before a search that enforces constraints: checks the options, builds the
// scratch tree with its constraint bits. njStart: the search starts from a
// neighbor-joining tree, which cannot keep a convexity partition. 0 go on,
// 1 refused, -1 cancelled.
int prepareSearchConstraints(const DataInfo *data, const Tree *like, bool converse, bool noSwapping, bool quiet,
                             bool njStart = false);
void releaseSearchConstraints();
// Installed as the constraints' released hook: with every constraint gone
// (new data, or LoadConstr replacing them) the enforce setting is switched
// off, so that later searches are not refused for constraints the user never
// named for the data in memory.
void stopEnforcingReleasedConstraints();

// Each answers whether the candidate may be kept: it satisfies the active
// constraint (positive mode) or violates it (converse mode). Always true when
// no constraint is enforced.
bool searchTreeAllowed(const Tree *tree);
// Per node position, 1 for an internal edge that the enforced positive
// constraint needs (collapsing it would lose a constrained group); empty
// when no positive constraint is enforced.
std::vector<uint8_t> constraintRequiredEdges(const Tree *tree);
// A taxon joined to a partial tree: a partial tree that breaks a positive
// constraint breaks it in every tree grown from it, so only positive
// constraints are tested (converse ones always pass).
bool leafJoinAllowed(const Tree *tree, const TreeNode *edge, int32_t taxon);
// Many joins to one partial tree (stepwise addition): begin takes records
// of the tree once, and leafJoinAllowed then answers from them until end,
// which must come before the tree changes.
void beginConstrainedJoins(const Tree *tree);
void endConstrainedJoins();
// The join that finishes a tree: tested under either mode.
bool finishingJoinAllowed(const Tree *tree, const TreeNode *edge, int32_t taxon);
bool nniMoveAllowed(const Tree *tree, const TreeNode *x, const TreeNode *u);
bool tbrMoveAllowed(const Tree *tree, const TreeNode *K, const TreeNode *T, const TreeNode *R);
bool ecrMoveAllowed(const Tree *tree, const RearrObject *hit);

// The moves of a TBR, SPR or NNI pass, tested from constraint records of
// the two parts of each cut: beginConstrainedPass takes the tree whole at
// the start of the pass, beginConstrainedCut each cut before it is made;
// cutMoveAllowed then answers for any move of that cut, whether the tree is
// cut or not (as tbrMoveAllowed would for the whole tree).
void beginConstrainedPass(const Tree *tree);
void beginConstrainedCut(const TreeNode *K);
bool cutMoveAllowed(const Tree *tree, const TreeNode *K, const TreeNode *T, const TreeNode *R);
