// Autopartition: the grouping of a character partition's subsets into
// blocks, each block with a model of its own, that minimises an information
// criterion; by all schemes or by greedy joining of blocks, with the models
// chosen for every trial block ("early") or for the blocks of the schemes
// chosen under one model ("late").
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

// The number of ways to group k subsets (the Bell number), as a real.
double numPartitionSchemes(uint32_t k);

// Every restricted growth string over k subsets (s[0] = 0, each value at
// most one above the largest before it), in the order of the recursive
// enumeration, handed to visit; stops when visit returns non-zero and
// returns that value.
template <typename Visit>
int forEachScheme(std::vector<uint32_t> &s, uint32_t pos, uint32_t blocks, Visit &visit)
{
    if (pos == s.size())
        return visit(s);
    for (uint32_t v = 0; v <= blocks; ++v) {
        s[pos] = v;
        if (const int r = forEachScheme(s, pos + 1, std::max(blocks, v + 1), visit); r != 0)
            return r;
    }
    return 0;
}

// The restricted growth string of a grouping given as a block number per
// subset: blocks renumbered in the order of their first subset.
std::vector<uint32_t> normalizedScheme(const std::vector<uint32_t> &blockOf);

// The greedy order of joins: the pairs (0,1), (0,2), (1,2), (0,3), ... of n
// blocks.
std::vector<std::pair<uint32_t, uint32_t>> greedyPairs(uint32_t n);

int doAutoPartCmd();
