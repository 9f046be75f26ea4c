// Small operations shared by the parsimony code: weights in packed form,
// score decimals and tolerance, validity of lengths, distances between
// states, and decoding a node's packed set for one character.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "parsimony/packx.h"

struct Tree;
struct TreeNode;

int initializeParsWts(DataInfo *d);
void finalizeParsWts(DataInfo *d);

// Weighted steps of the bits of one word's step mask (two lanes); 1 when the
// length then exceeds the bound by more than the tolerance.
int addWtdSteps(const ClassWeights &wc, uint32_t word, double *length, uint64_t lo, uint64_t hi, double bound,
                double tolerance);

double setParsDecimals(DataInfo *d);
// The most decimals any included character's weight needs (at most 8).
uint32_t weightDecimals(const DataInfo *d);
// lengthIsValid for a length outside [0, 2^31), where the scoring settings
// decide.
bool lengthIsValidOutsideIntRange(double length);
// A length is valid when it is finite, not negative, not 1e37 and, under
// integer scoring, fits a signed 32-bit integer. Passes check it after every
// join and span, and nearly every length is inside the plain range, which
// is settled here without a call.
inline bool lengthIsValid(double length)
{
    return (length >= 0.0 && length < 2147483648.0) || lengthIsValidOutsideIntRange(length);
}
// The same for the length a join adds, which may be negative: a Dollo
// character's join can undo steps its subtrees counted (the whole tree's
// length never is).
inline bool joinLengthIsValid(double length)
{
    return length == length && lengthIsValid(length < 0.0 ? -length : length);
}

double stateDiff(uint32_t a, uint32_t b, uint32_t c, const DataInfo *d);
// Character-state-tree characters are packed as one bit per edge of their
// state tree: a state holds the bits of the edges between its node and the
// root, so two states differ by the bits their masks do not share.
bool isStateTreeChar(const DataInfo *d, uint32_t c);
// The mask of a raw state; false when the state is not a node of the tree.
bool cstStateMask(const DataInfo *d, uint32_t c, uint32_t state, uint64_t *mask);
// The raw states whose masks hold every bit of `definite` and no bit outside
// `possible`.
uint64_t cstStatesBetween(const DataInfo *d, uint32_t c, uint64_t definite, uint64_t possible);
// The masks of the first `symbols` raw states (kNoStateMask for a state
// that is not in the tree), then of the tree's nodes that no state names:
// every state a node of the tree may take.
inline constexpr uint64_t kNoStateMask = ~uint64_t{0};
std::vector<uint64_t> cstNodeMasks(const DataInfo *d, uint32_t c, uint32_t symbols);
// Least length of a character-state-tree character over the given cells
// (raw state bits, 0 for missing): every edge separating two observed
// states is crossed once.
double cstMinSteps(const DataInfo *d, uint32_t c, std::span<const uint64_t> cells);
// State bits (raw state order) of a node's down set, or with mpr its final
// set, for character c.
uint64_t getStatesOrMPRset(const DataInfo *d, const TreeNode *node, uint32_t c, bool mpr);
// Whether character c is in the packed data (the bit-packed classes or the
// cost vectors of stepmatrix, Dollo and irreversible characters), so that
// its nodes hold sets of their own. Constant and all-missing characters are
// left out.
bool charInPackedData(const DataInfo *d, uint32_t c);

bool haveOrderedMultistateChars(const DataInfo *d);
bool charHasUnknownExtraLength(const DataInfo *d, uint32_t c);
double chooseMinSteps(const DataInfo *d, uint32_t c);

// Parsimony distance between the state sets of taxa i and j (active
// numbers; -1 is the ancestor) over every packed class, the tree's set
// records pointed at the packed data first.
double absoluteDist(const DataInfo *d, Tree *tree, int32_t i, int32_t j);
// A distance between taxa a and b per unit of weight of the characters not
// excluded in which neither is missing; 0 when no such weight.
double meanDist(int32_t a, int32_t b, const DataInfo *d, double distance);
