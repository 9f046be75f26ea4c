// The neighbours a likelihood search tries while swapping on one tree,
// screened by a local score before the whole tree is scored: the tree's
// branch lengths are optimised once, every neighbour starts from them,
// and only the edges at the place the moved subtree joins are optimised.
// Conditional-likelihood arrays are kept from one neighbour to the next
// and recomputed only where the move or a changed length reaches them.
#pragma once

struct Tree;
struct TreeNode;

// Readies the screen for the neighbours of this tree (its lengths
// optimised once and kept aside; the tree itself is left as it was). False
// when the settings leave nothing to screen: lengths fixed or under a
// clock, iterations logged, approxLim=none. With parameters estimated on
// every tree, the swapped tree's estimate is made here and left in the
// models for the local scores.
bool swapScreenBegin(Tree *tree);

// The swapped tree's fitted lengths put on it before a move is made
// (fitted), or the lengths it had given back after the move is undone.
void swapScreenLengths(Tree *tree, bool fitted);

// -ln L of the neighbour the tree now is, after the subtree at K (with the
// fork P it hangs from) was moved off the edge of S onto another edge:
// every length the swapped tree's, the edge P left merged into S's, and the
// three edges at P optimised (the move made with the fitted lengths on); an
// interchange across one edge keeps its lengths and has the five edges
// around that edge optimised. Where P is the basal fork, K's subtree stays
// there and was rerooted, S being K's child off the path to the new root:
// the rest of the tree joined at the new root's edge, scored alike.
// A neighbour far beyond the bound after one round over the three edges
// gets that round's score. kNoLScore when it cannot be had.
double swapScreenScore(Tree *tree, TreeNode *K, TreeNode *P, TreeNode *S, double bound);

// Whether a neighbour's local score leaves it out against the search's
// bound: no better than the bound (a close one comes back in the second
// look).
bool swapScreenRejects(double local, double bound);

// How far over the bound a neighbour left out may score locally and still
// be scored whole once a swap found nothing better: a fixed window, or
// twice the most a neighbour found that way was missed by when that is
// wider; 0 (no second look) when the approximation limit is not adjusted.
double swapScreenRecheck();

// A neighbour left out and then found better when scored whole: the
// window widens to twice what its local score missed by.
void swapScreenMissed(double local, double whole);

// Gives back every array the screen held.
void swapScreenEnd(Tree *tree);
