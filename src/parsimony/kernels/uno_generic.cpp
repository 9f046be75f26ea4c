// Unordered kernels in plain 64-bit code, for every CPU. The empty-field
// test is a carry trick: adding notTop to the low bits of a field carries
// into its top bit exactly when one of them is set, so
// ((i & notTop) + notTop) | i has the top bit set for every non-empty field,
// and no carry leaves a field.
#include <bit>

#include "parsimony/kernels/uno_kernels.h"

namespace {

inline uint64_t emptyFields(const UnoLanes &k, uint32_t l, uint64_t i)
{
    uint64_t z = ((i & k.notTop[l]) + k.notTop[l]) | i;
    return (~z >> k.shift[l]) & k.countMask[l];
}

// Every bit of the fields whose lowest bit is in x: x times 2^width - 1,
// with the shift split so that a 64-bit field does not shift by 64.
inline uint64_t fillFields(uint64_t x, uint64_t shift) { return ((x << shift) << 1) - x; }

uint64_t join(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r)
{
    uint64_t steps = 0;
    for (uint32_t l = 0; l < k.count; l++) {
        uint64_t i = a[l] & b[l];
        uint64_t x = emptyFields(k, l, i);
        r[l] = i | ((a[l] | b[l]) & fillFields(x, k.shift[l]));
        steps += std::popcount(x);
    }
    return steps;
}

uint64_t joinMask(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask)
{
    uint64_t steps = 0;
    for (uint32_t l = 0; l < k.count; l++) {
        uint64_t i = a[l] & b[l];
        uint64_t x = emptyFields(k, l, i);
        r[l] = i | ((a[l] | b[l]) & fillFields(x, k.shift[l]));
        mask[l] = x;
        steps += std::popcount(x);
    }
    return steps;
}

uint64_t steps(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint32_t from, uint32_t to)
{
    uint64_t n = 0;
    for (uint32_t l = from; l < to; l++)
        n += std::popcount(emptyFields(k, l, a[l] & b[l]));
    return n;
}

uint64_t stepMask(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *mask, uint32_t from,
                  uint32_t to)
{
    uint64_t n = 0;
    for (uint32_t l = from; l < to; l++) {
        mask[l] = emptyFields(k, l, a[l] & b[l]);
        n += std::popcount(mask[l]);
    }
    return n;
}

uint64_t stepsWithin(const UnoLanes &k, const uint64_t *a, const uint64_t *b, int64_t budget)
{
    uint64_t n = 0;
    for (uint32_t l = 0; l + 1 < k.count; l += 2) {
        n += std::popcount(emptyFields(k, l, a[l] & b[l])) + std::popcount(emptyFields(k, l + 1, a[l + 1] & b[l + 1]));
        if (static_cast<int64_t>(n) > budget)
            break;
    }
    return n;
}

inline uint64_t joinLane(const UnoLanes &k, uint32_t l, uint64_t a, uint64_t b)
{
    uint64_t i = a & b;
    return i | ((a | b) & fillFields(emptyFields(k, l, i), k.shift[l]));
}

int update(const UnoLanes &k, const uint64_t *c1, const uint64_t *c2, uint64_t *stored, const uint64_t *above,
           uint64_t *final, uint64_t *dirty)
{
    int changed = 0;
    for (uint32_t w = 0; 2 * w < k.count; w++) {
        if (!((dirty[w >> 6] >> (w & 63)) & 1))
            continue;
        bool same = true;
        for (uint32_t l = 2 * w; l < 2 * w + 2; l++) {
            uint64_t r = joinLane(k, l, c1[l], c2[l]);
            same = same && r == stored[l];
            stored[l] = r;
        }
        if (same) {
            dirty[w >> 6] &= ~(uint64_t{1} << (w & 63));
            continue;
        }
        changed = 1;
        for (uint32_t l = 2 * w; l < 2 * w + 2; l++)
            final[l] = joinLane(k, l, stored[l], above[l]);
    }
    return changed;
}

// One form serves every width.
UnoStepsWithinFxn stepsWithinFor(const UnoLanes &) { return stepsWithin; }

void stepsWithinPair(const UnoLanes &k, const uint64_t *a, const uint64_t *b0, const uint64_t *b1, int64_t budget,
                     uint64_t *out)
{
    out[0] = stepsWithin(k, a, b0, budget);
    out[1] = stepsWithin(k, a, b1, budget);
}

UnoStepsWithinPairFxn stepsWithinPairFor(const UnoLanes &) { return stepsWithinPair; }

constexpr UnoKernels kGeneric{"generic", join,   joinMask, steps, stepMask, stepsWithin, stepsWithinFor,
                              update,    stepsWithinPairFor};

}  // namespace

const UnoKernels &unoKernelsGeneric() { return kGeneric; }
