// Unordered (Fitch) kernels over whole words. The empty-intersection test of
// a field is a carry trick: adding "all but the top bit" to the low bits of
// the field carries into its top bit exactly when one of them is set, so
// ((I & notTop) + notTop) | I has the top bit set for every non-empty field
// and no carry ever leaves a field.
#include <algorithm>
#include <bit>

#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/span_bound.h"
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

}  // namespace

const UnoWidthParams &unoParams(uint32_t width) { return kParams[width]; }

UnoLanes unoLanes(const PackedData *pd)
{
    return {pd->unoNotTop.data(), pd->unoShift.data(), pd->unoCountMask.data(), 2 * pd->unoWords,
            pd->unoFieldShift};
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
    const UnoKernels &kern = unoKernels();
    UnoLanes lanes = unoLanes(packedData(d));
    return boundedSpan(lanes.count, length, bound,
                       [&](int64_t budget) { return kern.stepsWithin(lanes, a->uno, b->uno, budget); });
}

bool fastSpanApplies(const DataInfo *d)
{
    if (!d || !d->parsFxns)
        return false;
    for (const ParsFxns *f = d->parsFxns; f; f = f->next)
        if (!f->active || (f->addSpan != unoAddSpan_Fast && f->addSpan != wagAddSpan_Fast))
            return false;
    return true;
}

FastSpanScorer fastSpanScorer(const DataInfo *d)
{
    const PackedData *pd = packedData(d);
    FastSpanScorer f;
    f.ordLanes = 2 * pd->ordWords;
    f.ordWithin = wagKernels().stepsWithin;
    if (pd->unoWords) {
        f.uno = unoLanes(pd);
        f.unoWithin = unoKernels().stepsWithinFor(f.uno);
        f.unoWithinPair = unoKernels().stepsWithinPairFor(f.uno);
    }
    return f;
}

int unoAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound)
{
    PackedData *pd = packedData(d);
    const UnoKernels &kern = unoKernels();
    UnoLanes lanes = unoLanes(pd);
    uint64_t *mask = pd->unoStepMask.data();
    int over = maskedSpan(pd->unoWords, mask, pd->unoWeighted ? &pd->unoWts : nullptr, perChar, length, bound,
                          pd->tolerance, [&](uint32_t from, uint32_t to) {
                              kern.stepMask(lanes, a->uno, b->uno, mask, from, to);
                          });
    if (perChar)
        updateUnoSingleStepCounts(d, 1);
    return over;
}

int unoSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty)
{
    return unoKernels().update(unoLanes(packedData(d)), c1->uno, c2->uno, stored->uno, above->uno, final->uno,
                               dirty);
}
