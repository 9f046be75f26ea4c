// Two split-based tree distances of TreeDist. ABC counts, in both
// directions, the extra Fitch steps that the splits of one tree need as
// two-state characters on the other. The matching distance pairs the
// splits of two trees one to one with the smallest summed bipartition
// difference, a linear assignment solved by the Jonker-Volgenant
// shortest-augmenting-path method.
#pragma once

#include <cstdint>
#include <vector>

#include "trees/splits.h"
#include "trees/treeutil.h"

// Per node row (index + 1: row 0 the ancestor node, rows 1..ntax the tips),
// per block of 64 splits, two words: L set means the state set {1}, H set
// means the set holds 1; {0} is (0, 0), {1} (1, 1), {0,1} (0, 1).
struct PtnSets {
    uint32_t blocks = 0;
    uint32_t rows = 0;
    std::vector<uint64_t> bits;  // rows x blocks x 2
};

// Zeroes the rows and sets both lanes of split k in the row of every taxon
// split k holds; rows for every node of a tree of ntax taxa.
void initializePtnSetsForABC(const SplitsList *splits, uint32_t ntax, PtnSets &sets);
// The Fitch length of the characters of sets on tree, less their number.
uint32_t abcDist_OneWay(Tree *tree, PtnSets &sets, uint32_t numSplits);
// onePass(reference, the tree's splits) + onePass(tree, the reference's
// splits): the work list and sets receive the tree's splits.
uint32_t abcDist(Tree *reference, PtnSets &refSets, uint32_t numRefSplits, Tree *tree, SplitsList *work,
                 PtnSets &workSets, uint32_t ntax);

// The matching workspace for up to n splits a tree.
struct LAPMatching {
    uint32_t capacity = 0;
    std::vector<uint32_t> cost;               // n x n
    std::vector<int64_t> price;               // per column
    std::vector<int32_t> rowOfColumn, columnOfRow;
    std::vector<uint32_t> freeRows, columns, matches, pred;
    std::vector<int64_t> dist;
};

LAPMatching *createLAPMatching(uint32_t n);
LAPMatching *destroyLAPMatching(LAPMatching *lap);
// The smallest total cost of assigning each of n rows a distinct column of
// the workspace's n x n cost matrix.
uint64_t solveLinearAssignment(LAPMatching *lap, uint32_t n);
// The matching distance between the reference's splits and tree's (work
// receives the tree's splits).
uint32_t matchingDist(const SplitsList *reference, SplitsList *work, Tree *tree, LAPMatching *lap);
