// Unordered (Fitch) kernels over whole words. The empty-intersection test of
// a field is a carry trick: adding "all but the top bit" to the low bits of
// the field carries into its top bit exactly when one of them is set, so
// ((I & notTop) + notTop) | I has the top bit set for every non-empty field
// and no carry ever leaves a field.
#include <algorithm>
#include <bit>

#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"

namespace {

constexpr UnoWidthParams makeParams(uint32_t w)
{
    uint64_t field = w >= 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
    uint64_t low = w >= 64 ? 1 : ~uint64_t{0} / field;
    uint64_t top = low << (w - 1);
    return {low, ~top, w - 1, field};
}

constexpr UnoWidthParams kParams[65] = {
    {}, makeParams(1), makeParams(2), {}, makeParams(4), {}, {}, {}, makeParams(8), {}, {}, {}, {}, {}, {}, {},
    makeParams(16), {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, makeParams(32), {}, {}, {}, {}, {},
    {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
    makeParams(64)};

// Lowest bit of each field of the lane whose intersection is empty.
inline uint64_t emptyFields(uint64_t i, const UnoWidthParams &p, uint64_t countMask)
{
    uint64_t z = ((i & p.notTop) + p.notTop) | i;
    return (~z >> p.shift) & countMask;
}

}  // namespace

const UnoWidthParams &unoParams(uint32_t width) { return kParams[width]; }

UnoLanes unoLanes(const PackedData *pd)
{
    return {pd->unoNotTop.data(), pd->unoShift.data(), pd->unoCountMask.data(), 2 * pd->unoWords};
}

void unoSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length)
{
    PackedData *pd = packedData(d);
    const UnoKernels &kern = unoKernels();
    UnoLanes lanes = unoLanes(pd);
    bool general = count && (perChar || pd->unoWeighted || pd->altArrays);
    if (!general) {
        uint64_t steps = kern.join(lanes, a->uno, b->uno, result->uno);
        if (count)
            *length += static_cast<double>(steps);
        return;
    }
    uint64_t *mask = pd->unoStepMask.data();
    uint64_t steps = kern.joinMask(lanes, a->uno, b->uno, result->uno, mask);
    if (pd->unoWeighted) {
        for (uint32_t w = 0; w < pd->unoWords; w++)
            addWtdSteps(pd->unoWts, w, length, mask[2 * w], mask[2 * w + 1], kNoScore, 0.0);
    } else {
        *length += static_cast<double>(steps);
    }
    if (perChar)
        updateUnoSingleStepCounts(d, 1);
}

int unoAddSpan_Fast(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool, double *length,
                    double bound)
{
    // Blocks of words go through the kernel; the block that passes the bound
    // is counted again word by word, so that the length returned is the sum
    // up to the first word past the bound, whatever the kernel.
    constexpr uint32_t kBlockLanes = 64;
    const PackedData *pd = packedData(d);
    const UnoKernels &kern = unoKernels();
    UnoLanes lanes = unoLanes(pd);
    const uint64_t *A = a->uno, *B = b->uno;
    int64_t len = static_cast<int64_t>(*length);
    int64_t limit = bound >= kNoScore ? INT64_MAX : static_cast<int64_t>(bound);
    for (uint32_t from = 0; from < lanes.count; from += kBlockLanes) {
        uint32_t to = std::min(lanes.count, from + kBlockLanes);
        auto block = static_cast<int64_t>(kern.steps(lanes, A, B, from, to));
        if (len + block <= limit) {
            len += block;
            continue;
        }
        for (uint32_t l = from;; l += 2) {
            len += static_cast<int64_t>(kern.steps(lanes, A, B, l, l + 2));
            if (len > limit)
                break;
        }
        *length = static_cast<double>(len);
        return 1;
    }
    *length = static_cast<double>(len);
    return 0;
}

int unoAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound)
{
    PackedData *pd = packedData(d);
    const uint64_t *A = a->uno, *B = b->uno, *cm = pd->unoCountMask.data();
    uint64_t *mask = pd->unoStepMask.data();
    const uint8_t *width = pd->unoWidth.data();
    double tol = pd->tolerance;
    int over = 0;
    for (uint32_t w = 0; w < pd->unoWords && !over; w++) {
        const UnoWidthParams &p = kParams[width[w]];
        uint64_t x0 = emptyFields(A[2 * w] & B[2 * w], p, cm[2 * w]);
        uint64_t x1 = emptyFields(A[2 * w + 1] & B[2 * w + 1], p, cm[2 * w + 1]);
        mask[2 * w] = x0;
        mask[2 * w + 1] = x1;
        if (pd->unoWeighted) {
            over = addWtdSteps(pd->unoWts, w, length, x0, x1, bound, tol);
        } else {
            *length += std::popcount(x0) + std::popcount(x1);
            over = *length - bound > tol;
        }
        if (over && perChar)
            for (uint32_t r = w + 1; r < pd->unoWords; r++)
                mask[2 * r] = mask[2 * r + 1] = 0;
    }
    if (perChar)
        updateUnoSingleStepCounts(d, 1);
    return over;
}

int unoSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty)
{
    const PackedData *pd = packedData(d);
    const uint64_t *cm = pd->unoCountMask.data();
    const uint8_t *width = pd->unoWidth.data();
    int changed = 0;
    for (uint32_t w = 0; w < pd->unoWords; w++) {
        if (!((dirty[w >> 6] >> (w & 63)) & 1))
            continue;
        const UnoWidthParams &p = kParams[width[w]];
        bool same = true;
        for (uint32_t l = 2 * w; l < 2 * w + 2; l++) {
            uint64_t A = c1->uno[l], B = c2->uno[l], i = A & B;
            uint64_t r = i | ((A | B) & (emptyFields(i, p, cm[l]) * p.spread));
            same = same && r == stored->uno[l];
            stored->uno[l] = r;
        }
        if (same) {
            dirty[w >> 6] &= ~(uint64_t{1} << (w & 63));
            continue;
        }
        changed = 1;
        for (uint32_t l = 2 * w; l < 2 * w + 2; l++) {
            uint64_t A = stored->uno[l], B = above->uno[l], i = A & B;
            final->uno[l] = i | ((A | B) & (emptyFields(i, p, cm[l]) * p.spread));
        }
    }
    return changed;
}
