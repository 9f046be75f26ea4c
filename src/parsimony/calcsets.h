// Passes that fill the three set records of every node (down, up, final)
// and the incremental updates of the search.
#pragma once

#include <cstdint>
#include <vector>

#include "parsimony/packx.h"

struct Tree;
struct TreeNode;

// Down sets in postorder; steps accumulate into *length (stops once the
// length is invalid).
void calcAllPrelimSets(const DataInfo *d, Tree *tree, bool perChar, double *length);
void calcPrelimSets(const DataInfo *d, TreeNode *node, bool perChar, double *length);

// Full pass: down, up and (without lengths) final sets; tree->score[0]
// receives the length. With lengths each node's edge field gets the steps on
// its edge, each down record its subtree length and each up record the
// length of the rest of the tree.
void calcStatesetsForSearch(Tree *tree, const DataInfo *d, bool withLengths);

// Steps on the edge above x (its down and up sets joined). Under threshold
// or Goloboff scoring (altScoring) *out is 0 and the second working count
// array receives the per-character steps of the tree without that edge
// (the counts of the whole tree less the edge's), the base that altSpan
// scores a reconnection on.
void frvGetCutBranchLen(const DataInfo *d, const TreeNode *x, double *out);
// Threshold or Goloboff scoring in force: the passes keep per-character step
// counts of the whole tree in the first working count array.
bool altScoring(const DataInfo *d);
// The threshold score or Goloboff fit of the tree whose sets are current,
// from those counts.
double altTreeScore(const DataInfo *d);

// Incremental updates on a binary tree after a real edit (treeedit's prune
// and graft operations); afterwards every node's down, up and final sets and
// subtree length equal those of a full pass over the edited tree.
//
// After pruning subtree b, whose fork c was removed and replaced by its other
// child a (the sets must have been current before the prune).
//
// With a reach, the up and final sets are brought up to date only within
// `reach` edges of a's edge (what reconnections up to that distance read);
// farther ones keep their values from before the prune. Those are right
// again once b is grafted back on the same edge, and revUpdateAfterGraft
// then restores every set exactly: an update stops where a recomputed set
// equals the stored one, which is where the prune's update stopped too.
inline constexpr uint32_t kWholeTree = ~uint32_t{0};
void revUpdateAfterPrune(const DataInfo *d, TreeNode *a, TreeNode *b, TreeNode *c, uint32_t reach = kWholeTree);
// After grafting subtree n (its down sets current) with a new fork onto an
// edge of a tree whose sets are current. Without subtreeToo the up and
// final sets inside n's subtree are left to the caller (revRerootUpSets).
void revUpdateAfterGraft(const DataInfo *d, TreeNode *n, bool subtreeToo = true);
// While `list` is set, revUpdateAfterGraft appends to it every node whose
// final set it recomputes (a node may come more than once); null ends the
// watch. Per thread. Other updates are not watched completely.
void revWatchGraftFinalSets(std::vector<TreeNode *> *list);
// After the subtree of n was rerooted, so that only the forks of a path have
// new links: path[0] is a child of n and each path[i + 1] a child of
// path[i] (m forks). revRerootDownSets brings the down sets and subtree
// lengths of the path and of n up to date, from the bottom up; once n's up
// set is current again (n grafted with revUpdateAfterGraft(d, n, false), or
// n the basal fork), revRerootUpSets brings n's final set and the up and
// final sets of its subtree up to date, as far as they change.
void revRerootDownSets(const DataInfo *d, TreeNode *n, TreeNode *const *path, uint32_t m);
void revRerootUpSets(const DataInfo *d, TreeNode *n, TreeNode *const *path, uint32_t m);
// Down and final sets from node toward the root (with the up sets beside the
// path and the subtree lengths along it), after node's children changed.
void revUpdateBelow(const DataInfo *d, TreeNode *node);
// Up and final sets of the subtree of node (node itself when includeNode),
// after the up set of node's ancestor or the down set of its sibling changed;
// with a reach, only to that many edges below node's edge (the rest keep
// their values, as after a prune with a reach).
void revUpdateAbove(const DataInfo *d, TreeNode *node, bool includeNode, uint32_t reach = kWholeTree);
// Undo log of the incremental updates of the calling thread. While it is
// open, each set record and subtree length that an update (or revCopySets)
// overwrites is saved first, so that a prune is undone by copying the saved
// words back instead of by the update after a graft, which recomputes them.
// Opens none and returns false when the updates also change other state (the
// threshold or Goloboff counts) or do nothing; then undo by updating.
bool revOpenSetLog(const DataInfo *d);
// Copies every saved record and length back and closes the log. The tree's
// links and record slots must be as when the log was opened (after a prune,
// graft the subtree back and call revRelinkAfterGraft).
void revUndoSetLog();
// The record exchanges of revUpdateAfterGraft alone, which put the records a
// prune moved back in their slots; the sets are left to revUndoSetLog.
void revRelinkAfterGraft(TreeNode *n);
// One record's sets copied into another (logged while the log is open).
void revCopySets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to);
// Length of the tree from the subtree lengths the passes and updates keep.
double revTreeLength(const DataInfo *d, const Tree *tree);
void revMprSet(const DataInfo *d, TreeNode *node);
