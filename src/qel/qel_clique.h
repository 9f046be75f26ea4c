// Maximum-weight clique: a clique of largest total vertex weight in an
// undirected graph with positive integer vertex weights, found by branch and
// bound over growing prefixes of an ordered vertex list, optionally with
// every clique of that weight.
#pragma once

#include <cstdint>
#include <vector>

// A bit row of n vertices: bit j of word j / 64 (least significant first).
using CliqueBits = std::vector<uint64_t>;

// The number of vertices of a heaviest clique, its vertices in the first
// entries of bestClique (room for n) and its weight in *bestWeight (when
// given). adjacency[i] is vertex i's row: bit j set when i and j are
// adjacent. With allOptima and allBest given, allBest ends holding one row
// per clique of the largest weight. 0 for n = 0 and when memory runs out.
uint32_t wclique(uint32_t n, const uint32_t *weights, const uint64_t *const *adjacency, bool allOptima,
                 int32_t *bestWeight, uint32_t *bestClique, std::vector<CliqueBits> *allBest);
