// Ordered (Wagner) kernels on the additive binary coding. Per subcharacter
// bit, (D, P) = (1, 1) above, (0, 0) not above, (0, 1) either; two sets are
// disjoint exactly where D and P both differ.
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/span_bound.h"
#include "parsimony/stateset.h"

void wagSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length)
{
    PackedData *pd = packedData(d);
    const WagKernels &kern = wagKernels();
    uint32_t lanes = 2 * pd->ordWords;
    bool general = count && (perChar || pd->ordWeighted || pd->altArrays);
    if (!general) {
        uint64_t steps = kern.join(lanes, a->ord, b->ord, result->ord);
        if (count)
            *length += static_cast<double>(steps);
        return;
    }
    uint64_t *mask = pd->ordStepMask.data();
    uint64_t steps = kern.joinMask(lanes, a->ord, b->ord, result->ord, mask);
    if (pd->ordWeighted) {
        for (uint32_t w = 0; w < pd->ordWords; w++)
            addWtdSteps(pd->ordWts, w, length, mask[2 * w], mask[2 * w + 1], kNoScore, 0.0);
    } else {
        *length += static_cast<double>(steps);
    }
    if (perChar)
        updateSingleStepCounts(d, 1);
}

int wagAddSpan_Fast(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool, double *length,
                    double bound)
{
    const WagKernels &kern = wagKernels();
    uint32_t lanes = 2 * packedData(d)->ordWords;
    return boundedSpan(lanes, length, bound,
                       [&](int64_t budget) { return kern.stepsWithin(lanes, a->ord, b->ord, budget); });
}

int wagAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound)
{
    PackedData *pd = packedData(d);
    const WagKernels &kern = wagKernels();
    uint32_t lanes = 2 * pd->ordWords;
    uint64_t *mask = pd->ordStepMask.data();
    int over = maskedSpan(pd->ordWords, mask, pd->ordWeighted ? &pd->ordWts : nullptr, perChar, length, bound,
                          pd->tolerance, [&](uint32_t from, uint32_t to) {
                              kern.stepMask(lanes, a->ord, b->ord, mask, from, to);
                          });
    if (perChar)
        updateSingleStepCounts(d, 1);
    return over;
}

int wagSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty)
{
    return wagKernels().update(2 * packedData(d)->ordWords, c1->ord, c2->ord, stored->ord, above->ord, final->ord,
                               dirty);
}
