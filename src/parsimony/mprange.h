// The range of a branch's length over all most-parsimonious reconstructions:
// the fewest and the most weighted changes that any reconstruction of equal
// (least) tree length places on it. The assigned length of AccTran, DelTran
// or MinF always lies inside that range.
#pragma once

#include <cstdint>
#include <vector>

struct DataInfo;
struct Tree;

struct BranchLengthRange {
    double min = 0.0;
    double max = 0.0;
};

// One entry per node position of the tree (nodePosition); the entry of the
// root and of unused positions stays 0. The tree must be rooted and carry the
// sets of a scoring (a taxon's cell, or the ancestor's states on a root with
// one child, constrain that node; every other node is free).
std::vector<BranchLengthRange> possibleBranchLengths(const Tree *tree, const DataInfo *d);
