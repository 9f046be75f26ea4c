// Ordered kernels in plain 64-bit code, for every CPU. Per subcharacter bit
// a set holds (D, P): (1, 1) above, (0, 0) not above, (0, 1) either. The
// join is D = (D1 | D2) & (P1 & P2), P = (D1 | D2) | (P1 & P2), and the two
// sets are disjoint (a step) exactly where D and P both differ.
#include <bit>

#include "parsimony/kernels/uno_kernels.h"

namespace {

uint64_t joinMask(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask)
{
    const uint64_t *D1 = a, *P1 = a + lanes, *D2 = b, *P2 = b + lanes;
    uint64_t *RD = r, *RP = r + lanes;
    uint64_t steps = 0;
    for (uint32_t l = 0; l < lanes; l++) {
        uint64_t o = D1[l] | D2[l], n = P1[l] & P2[l];
        RD[l] = o & n;
        RP[l] = o | n;
        uint64_t x = o & ~n;
        if (mask)
            mask[l] = x;
        steps += std::popcount(x);
    }
    return steps;
}

uint64_t join(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *r)
{
    return joinMask(lanes, a, b, r, nullptr);
}

uint64_t stepMask(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *mask, uint32_t from, uint32_t to)
{
    uint64_t n = 0;
    for (uint32_t l = from; l < to; l++) {
        uint64_t x = (a[l] ^ b[l]) & (a[lanes + l] ^ b[lanes + l]);
        if (mask)
            mask[l] = x;
        n += std::popcount(x);
    }
    return n;
}

uint64_t steps(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint32_t from, uint32_t to)
{
    return stepMask(lanes, a, b, nullptr, from, to);
}

uint64_t stepsWithin(uint32_t lanes, const uint64_t *a, const uint64_t *b, int64_t budget)
{
    uint64_t n = 0;
    for (uint32_t l = 0; l + 1 < lanes; l += 2) {
        n += std::popcount((a[l] ^ b[l]) & (a[lanes + l] ^ b[lanes + l])) +
             std::popcount((a[l + 1] ^ b[l + 1]) & (a[lanes + l + 1] ^ b[lanes + l + 1]));
        if (static_cast<int64_t>(n) > budget)
            break;
    }
    return n;
}

int update(uint32_t lanes, const uint64_t *c1, const uint64_t *c2, uint64_t *stored, const uint64_t *above,
           uint64_t *final, uint64_t *dirty)
{
    int changed = 0;
    for (uint32_t w = 0; 2 * w < lanes; w++) {
        if (!((dirty[w >> 6] >> (w & 63)) & 1))
            continue;
        bool same = true;
        for (uint32_t l = 2 * w; l < 2 * w + 2; l++) {
            uint64_t o = c1[l] | c2[l], n = c1[lanes + l] & c2[lanes + l];
            uint64_t rd = o & n, rp = o | n;
            same = same && rd == stored[l] && rp == stored[lanes + l];
            stored[l] = rd;
            stored[lanes + l] = rp;
        }
        if (same) {
            dirty[w >> 6] &= ~(uint64_t{1} << (w & 63));
            continue;
        }
        changed = 1;
        for (uint32_t l = 2 * w; l < 2 * w + 2; l++) {
            uint64_t o = stored[l] | above[l], n = stored[lanes + l] & above[lanes + l];
            final[l] = o & n;
            final[lanes + l] = o | n;
        }
    }
    return changed;
}

constexpr WagKernels kGeneric{"generic", join, joinMask, steps, stepMask, stepsWithin, update};

}  // namespace

const WagKernels &wagKernelsGeneric() { return kGeneric; }
