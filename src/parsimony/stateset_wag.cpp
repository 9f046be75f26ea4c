// Ordered (Wagner) kernels on the additive binary coding. Per subcharacter
// bit, (D, P) = (1, 1) above, (0, 0) not above, (0, 1) either; two sets are
// disjoint exactly where D and P both differ.
#include <bit>

#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"

void wagSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length)
{
    PackedData *pd = packedData(d);
    uint32_t lanes = 2 * pd->ordWords;
    const uint64_t *D1 = a->ord, *P1 = a->ord + lanes, *D2 = b->ord, *P2 = b->ord + lanes;
    uint64_t *RD = result->ord, *RP = result->ord + lanes;
    bool general = count && (perChar || pd->ordWeighted || pd->altArrays);
    if (!general) {
        uint64_t steps = 0;
        for (uint32_t l = 0; l < lanes; l++) {
            uint64_t o = D1[l] | D2[l], n = P1[l] & P2[l];
            RD[l] = o & n;
            RP[l] = o | n;
            steps += std::popcount(o & ~n);
        }
        if (count)
            *length += static_cast<double>(steps);
        return;
    }
    uint64_t *mask = pd->ordStepMask.data();
    for (uint32_t l = 0; l < lanes; l++) {
        uint64_t o = D1[l] | D2[l], n = P1[l] & P2[l];
        RD[l] = o & n;
        RP[l] = o | n;
        mask[l] = o & ~n;
    }
    for (uint32_t w = 0; w < pd->ordWords; w++) {
        if (pd->ordWeighted)
            addWtdSteps(pd->ordWts, w, length, mask[2 * w], mask[2 * w + 1], kNoScore, 0.0);
        else
            *length += std::popcount(mask[2 * w]) + std::popcount(mask[2 * w + 1]);
    }
    if (perChar)
        updateSingleStepCounts(d, 1);
}

int wagAddSpan_Fast(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool, double *length,
                    double bound)
{
    const PackedData *pd = packedData(d);
    uint32_t lanes = 2 * pd->ordWords;
    const uint64_t *D1 = a->ord, *P1 = a->ord + lanes, *D2 = b->ord, *P2 = b->ord + lanes;
    int64_t len = static_cast<int64_t>(*length);
    int64_t limit = bound >= kNoScore ? INT64_MAX : static_cast<int64_t>(bound);
    for (uint32_t l = 0; l < lanes; l += 2) {
        len += std::popcount((D1[l] ^ D2[l]) & (P1[l] ^ P2[l])) +
               std::popcount((D1[l + 1] ^ D2[l + 1]) & (P1[l + 1] ^ P2[l + 1]));
        if (len > limit) {
            *length = static_cast<double>(len);
            return 1;
        }
    }
    *length = static_cast<double>(len);
    return 0;
}

int wagAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound)
{
    PackedData *pd = packedData(d);
    uint32_t lanes = 2 * pd->ordWords;
    const uint64_t *D1 = a->ord, *P1 = a->ord + lanes, *D2 = b->ord, *P2 = b->ord + lanes;
    uint64_t *mask = pd->ordStepMask.data();
    double tol = pd->tolerance;
    int over = 0;
    for (uint32_t w = 0; w < pd->ordWords; w++) {
        uint32_t l = 2 * w;
        uint64_t x0 = over ? 0 : (D1[l] ^ D2[l]) & (P1[l] ^ P2[l]);
        uint64_t x1 = over ? 0 : (D1[l + 1] ^ D2[l + 1]) & (P1[l + 1] ^ P2[l + 1]);
        mask[l] = x0;
        mask[l + 1] = x1;
        if (over)
            continue;
        if (pd->ordWeighted) {
            over = addWtdSteps(pd->ordWts, w, length, x0, x1, bound, tol);
        } else {
            *length += std::popcount(x0) + std::popcount(x1);
            over = *length - bound > tol;
        }
        if (over && !perChar)
            return 1;
    }
    if (perChar)
        updateSingleStepCounts(d, 1);
    return over;
}

int wagSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty)
{
    const PackedData *pd = packedData(d);
    uint32_t lanes = 2 * pd->ordWords;
    int changed = 0;
    for (uint32_t w = 0; w < pd->ordWords; w++) {
        if (!((dirty[w >> 6] >> (w & 63)) & 1))
            continue;
        bool same = true;
        for (uint32_t l = 2 * w; l < 2 * w + 2; l++) {
            uint64_t o = c1->ord[l] | c2->ord[l], n = c1->ord[lanes + l] & c2->ord[lanes + l];
            uint64_t rd = o & n, rp = o | n;
            same = same && rd == stored->ord[l] && rp == stored->ord[lanes + l];
            stored->ord[l] = rd;
            stored->ord[lanes + l] = rp;
        }
        if (same) {
            dirty[w >> 6] &= ~(uint64_t{1} << (w & 63));
            continue;
        }
        changed = 1;
        for (uint32_t l = 2 * w; l < 2 * w + 2; l++) {
            uint64_t o = stored->ord[l] | above->ord[l], n = stored->ord[lanes + l] & above->ord[lanes + l];
            final->ord[l] = o & n;
            final->ord[lanes + l] = o | n;
        }
    }
    return changed;
}
