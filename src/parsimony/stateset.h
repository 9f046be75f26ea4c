// Word-parallel state-set rules of the two free-reversible classes:
// unordered (uno, Fitch sets, one bit per state) and ordered (wag, additive
// binary coding in definitely-above / possibly-above word pairs).
//
// Lengths accumulate into a caller's f64. A rule with a bound returns 1 as
// soon as the length exceeds it (1e37 = no bound). Counting per character
// adds each character's steps to the packed data's 32-bit counts.
#pragma once

#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"
#include "parsimony/packx.h"
#include "parsimony/pars_util.h"

struct TreeNode;

struct UnoWidthParams {
    uint64_t low;     // lowest bit of every field
    uint64_t notTop;  // every bit but the top one of each field
    uint32_t shift;   // width - 1
    uint64_t spread;  // multiplier that fills a field from its lowest bit
};
const UnoWidthParams &unoParams(uint32_t width);
// The unordered lanes of the packed data, for the kernels.
UnoLanes unoLanes(const PackedData *pd);

// Binary node: result = rule(a, b).
void unoSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length);
void wagSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length);

// A node from all its neighbours (children, and its up set when it has an
// ancestor), leaving out one neighbour (null: none).
void unoSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length);
void wagSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length);

// Steps of joining two sets, with a bound.
int unoAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound);
int unoAddSpan_Fast(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar,
                    double *length, double bound);
int wagAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound);
int wagAddSpan_Fast(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar,
                    double *length, double bound);
// True when every packed class scores its spans by the integer forms above
// (no weights, per-character counts or cost-vector characters): then a
// FastSpanScorer gives what the classes' span functions give in turn, the
// ordered class and then the unordered one under one bound, without a call
// per class.
bool fastSpanApplies(const DataInfo *d);

// The span kernels and lanes of one data set, chosen once, and the span's
// length in integers: a caller that scores a great many spans (every
// reconnection of a swapping pass) pays for neither per span.
struct FastSpanScorer {
    uint32_t ordLanes = 0;
    uint64_t (*ordWithin)(uint32_t lanes, const uint64_t *a, const uint64_t *b, int64_t budget) = nullptr;
    UnoLanes uno{};
    UnoStepsWithinFxn unoWithin = nullptr;
    UnoStepsWithinPairFxn unoWithinPair = nullptr;

    // start plus the steps of joining a and b, ordered class first, counted
    // until the length passes limit (INT64_MAX: no bound). The length is
    // the classes' span functions', and it passed the bound exactly when it
    // exceeds limit.
    int64_t length(const ParsNodeSets *a, const ParsNodeSets *b, int64_t start, int64_t limit) const
    {
        return length(a->ord, a->uno, b->ord, b->uno, start, limit);
    }
    // The same from the sets' words.
    int64_t length(const uint64_t *aOrd, const uint64_t *aUno, const uint64_t *bOrd, const uint64_t *bUno,
                   int64_t start, int64_t limit) const
    {
        int64_t len = start;
        if (ordLanes) {
            len += static_cast<int64_t>(ordWithin(ordLanes, aOrd, bOrd, budget(len, limit)));
            if (len > limit || !joinLengthIsValid(static_cast<double>(len)))
                return len;
        }
        if (uno.count)
            len += static_cast<int64_t>(unoWithin(uno, aUno, bUno, budget(len, limit)));
        return len;
    }
    // The same, the unordered class counted first: where the ordered words
    // are few (two-state characters of DNA), a join past the limit is mostly
    // known before they are read, and their cache line is not waited for.
    int64_t lengthUnorderedFirst(const uint64_t *aOrd, const uint64_t *aUno, const uint64_t *bOrd,
                                 const uint64_t *bUno, int64_t start, int64_t limit) const
    {
        int64_t len = start;
        if (uno.count) {
            len += static_cast<int64_t>(unoWithin(uno, aUno, bUno, budget(len, limit)));
            if (len > limit || !joinLengthIsValid(static_cast<double>(len)))
                return len;
        }
        if (ordLanes)
            len += static_cast<int64_t>(ordWithin(ordLanes, aOrd, bOrd, budget(len, limit)));
        return len;
    }
    // Without ordered lanes (ordLanes 0): length(a, b0) and length(a, b1)
    // from the unordered words, in one kernel call.
    void unoLengths(const uint64_t *aUno, const uint64_t *b0Uno, const uint64_t *b1Uno, int64_t start, int64_t limit,
                    int64_t *out) const
    {
        uint64_t steps[2] = {0, 0};
        if (uno.count)
            unoWithinPair(uno, aUno, b0Uno, b1Uno, budget(start, limit), steps);
        out[0] = start + static_cast<int64_t>(steps[0]);
        out[1] = start + static_cast<int64_t>(steps[1]);
    }

private:
    static int64_t budget(int64_t len, int64_t limit) { return limit == INT64_MAX ? INT64_MAX : limit - len; }
};
// For a data set where fastSpanApplies.
FastSpanScorer fastSpanScorer(const DataInfo *d);
// A bound as the integer limit of FastSpanScorer::length.
inline int64_t fastSpanLimit(double bound)
{
    return bound >= kNoScore ? INT64_MAX : static_cast<int64_t>(bound);
}

// Incremental recomputation of the words flagged in `dirty`: the down set
// from the two children; a changed word is stored and combined with the set
// from above into the final set. Returns 1 when any word changed; flags of
// unchanged words are cleared.
int unoSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty);
int wagSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty);

// Per-character counts from the class's step masks (sign +1 or -1).
void updateUnoSingleStepCounts(const DataInfo *d, int sign);
void updateSingleStepCounts(const DataInfo *d, int sign);
void updateAltSingleStepCounts(const DataInfo *d, uint32_t *counts, int sign);
