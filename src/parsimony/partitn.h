// The incompatibility-partition bound of branch-and-bound searches: the
// binary thresholds of the ordered class seen as taxon bipartitions, merged
// when identical, with their pairwise incompatibility, and the lower bound
// on the length of every completion of a partial tree that they give.
//
// The bound works in the ordered class's own bit space: per bit, whether it
// has changed at least once and at least twice on the partial tree
// (`PtnChanges`). Adding a leaf to a tree adds exactly the connection's
// steps to each bit's count, so the masks of the tree with the new leaf
// follow from those of the tree and the connection's step mask alone.
#pragma once

#include <cstdint>
#include <vector>

#include "parsimony/packx.h"

struct Tree;

// Per ordered lane: the bits that have changed once or more and twice or more.
struct PtnChanges {
    std::vector<uint64_t> once, twice;
};

struct PtnBoundData {
    uint32_t lanes = 0;                // ordered lanes (two per packed word)
    std::vector<uint64_t> mustChange;  // bits that change at least once on every tree
    // Partitions, heaviest first: weight and the ordered bit standing for it.
    std::vector<double> weight;
    std::vector<uint32_t> repLane;
    std::vector<uint64_t> repBit;
    uint32_t words = 0;                // 64-bit words per incompatibility row
    std::vector<uint64_t> rows;        // row i: the later partitions incompatible with i
    uint32_t count() const { return static_cast<uint32_t>(weight.size()); }
};

// Builds the partition record of the packed data from the tip sets of the
// tree's leaves (the ancestor counts as a taxon when the tree is rooted at
// it). 0 on success, also when no partition is informative (then none is
// kept); 1 on allocation failure, with nothing kept.
int preparePtnSetsForBandB(DataInfo *d, Tree *tree);
void deallocPtnData(PackedData *pd);
const PtnBoundData *ptnBoundData(const DataInfo *d);

// Incompatibility of two partitions given as (certainly derived, possibly
// derived) taxon sets of `words` words each: all four combinations occur.
// Bits that stand for no taxon must be clear in c and set in p.
bool partitionsIncompatible(const uint64_t *c1, const uint64_t *p1, const uint64_t *c2, const uint64_t *p2,
                            uint32_t words);

// The change masks of a tree from its state sets (a full pass over the
// partial tree; the search keeps them up to date with ptnAddChanges).
void ptnTreeChanges(const DataInfo *d, Tree *tree, PtnChanges *out);
// out = the masks of the tree after a connection whose ordered step mask
// is that of joining a and b.
void ptnAddChanges(const DataInfo *d, const PtnChanges &base, const ParsNodeSets *a, const ParsNodeSets *b,
                   PtnChanges *out);

// Lower bound of every completion of the tree that joins `other` to the
// edge whose set is `node`: *length (the partial length) plus the
// connection over every free-reversible class; with partitions also one
// step per bit that must change and has not, and the lighter weight of each
// disjoint pair of incompatible partitions neither of which changed twice.
// base holds the masks of the tree before the connection; out (may be
// null) receives those after it. *length receives the bound; returns 1
// when it exceeds bound.
int getFrvBound(const DataInfo *d, const ParsNodeSets *node, const ParsNodeSets *other, bool usePartitions,
                const PtnChanges *base, PtnChanges *out, double *length, double bound);
