// Character length bounds: per character the fewest steps it can take on any
// tree (two forms) and the most (its length on the star tree), with the
// weighted sums the fit indices need. One cache serves the active data set.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "parsimony/packx.h"

struct Tree;
struct Set;

struct LengthBounds {
    std::vector<double> minLen;    // M1: the least length, within-terminal extra included
    std::vector<double> rangeMin;  // M2: every state of a polymorphic terminal present
    std::vector<double> maxLen;    // length on the star tree
    std::vector<uint8_t> inBounds; // 1: included character with computed bounds
    double sumMin = 0.0, sumRange = 0.0;            // weighted sums of M1 and M2
    double sumMinUninf = 0.0, sumRangeUninf = 0.0;  // the same over uninformative characters
    double sumMax = 0.0;                            // star-tree length
    double sumMaxFit = 0.0;  // the star-tree lengths of the characters whose minima are summed
    double sumWithin = 0.0;  // the weighted length inside polymorphic terminals that M1 counts
    bool unknownExtra = false;  // some character was kept out of the sums
    bool valid = false;
    uint8_t ancMode = 0;
    // What the bounds were computed for.
    const PackedData *packed = nullptr;
    uint64_t signature = 0;
    std::vector<int32_t> taxa;
};

const LengthBounds &lengthBounds();
void invalidateLengthBounds();

// 0 on success (also when nothing needed doing or the criterion is not
// parsimony); 1 when the star-tree length is invalid or the data are not packed.
int calcLengthBounds(DataInfo *d, Tree *tree, bool rootedAtAncestor, bool useTreeLeaves);
// Recomputes the bounds when the data, their packing, the weights or the
// tree's leaf set changed; the tree is left as it was.
int updateLengthBounds(Tree *tree, DataInfo *d);

// M1 and M2 of character c over the taxa (-1 is the ancestor); with minOnly
// the within-terminal extra length is not added to M1. *bounded, when given,
// is false for a character whose bounds are not known (both then 0).
int calc1MinSteps(const DataInfo *d, uint32_t c, bool minOnly, std::span<const int32_t> taxa, double out[2],
                  bool *bounded = nullptr);
// M1 (within-terminal extra length not included) and M2 of an ordered,
// irreversible or Dollo character c over the taxa (-1 is the ancestor).
void seriesMinSteps(const DataInfo *d, uint32_t c, std::span<const int32_t> taxa, double *m1, double *m2);
// The first set of k further states (bit s - 1 is state s) that, added to
// current, meets every listed set; 0 when none.
uint64_t addToHittingSet(uint32_t start, uint64_t current, uint32_t depth, uint32_t k, uint32_t nStates,
                         std::span<const uint64_t> list);

// True for an included, variable character that has no fit measures: it is
// outside the packed data, or its bounds are not known.
bool charLacksBounds(const DataInfo *d, uint32_t c);
// The minimum the PSet setting minForFit selects (M1 for minLength, M2 for
// range), and the weighted sum of those minima.
double boundMinSteps(uint32_t c);
double sumMinLengths();
