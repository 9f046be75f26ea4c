#include "parsimony/treelen.h"

#include <bit>

#include "data/data_services.h"
#include "parsimony/calcsets.h"
#include "parsimony/dollo_bits.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "trees/treeutil.h"

namespace {

double overflow(PackedData *pd)
{
    qel_errorMsg(516, "Tree length overflow (character weights and/or stepmatrix costs too large, or impossible "
                      "transformations required).\tIf the problem is *not* due to impossible transformations, "
                      "consider using smaller integer values, or use decimal fractions to force slower "
                      "floating-point calculations.");
    pd->lastLength = kNoScore;
    return kNoScore;
}

// Steps of character c: the stored count, or a working count plus the steps
// in the current step mask.
int64_t charSteps(const DataInfo *d, uint32_t c, const uint32_t *counts)
{
    const PackedData *pd = packedData(d);
    if (!counts)
        return pd->steps[c] >= 0 ? pd->steps[c] : static_cast<int64_t>(pd->realSteps[c]);
    int64_t s = counts[c];
    const PackSlot &slot = pd->slots[c];
    if (slot.width) {
        const auto &mask = slot.cls == kPkdOrdered ? pd->ordStepMask : pd->unoStepMask;
        uint64_t field = slot.width >= 64 ? ~uint64_t{0} : (uint64_t{1} << slot.width) - 1;
        s += std::popcount((mask[2 * slot.word + (slot.offset >> 6)] >> (slot.offset & 63)) & field);
    }
    return s;
}

}  // namespace

double revLenForConnection(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar)
{
    double len = 0.0;
    if (d->parsFxns) {
        frvAddSpan(d, a, b, perChar, &len, kNoScore);
        if (!joinLengthIsValid(len))
            return kNoScore;
    }
    return len;
}

double checkedSearchLength(DataInfo *d, double length)
{
    // Goloboff fits are negative by design, not overflowed.
    if (length == kNoScore || gPars.goloboff || lengthIsValid(length))
        return length;
    return overflow(packedData(d));
}

double calcTreeLength(DataInfo *d, Tree *tree, bool prelim, bool perChar)
{
    PackedData *pd = packedData(d);
    if (perChar) {
        setParsFxns(d, 1);
        std::fill(pd->steps.begin(), pd->steps.end(), 0);
        std::fill(pd->realSteps.begin(), pd->realSteps.end(), 0.0);
    }
    auto finish = [&](double len) {
        if (perChar)
            setParsFxns(d, 0);
        pd->lastLength = len;
        return len;
    };
    double length = pd->baseLength;
    if (prelim) {
        calcAllPrelimSets(d, tree, perChar, &length);
        if (!lengthIsValid(length))
            return finish(overflow(pd));
    }
    if (d->parsFxns) {
        TreeNode *r = tree->root;
        double add = revLenForConnection(d, nodeSets(r->abm[0]), nodeSets(r->firstChild->abm[0]), perChar);
        length = add == kNoScore ? kNoScore : length + add;
        if (!lengthIsValid(length))
            return finish(overflow(pd));
    }
    if (perChar && pd->multistateTaxa)
        for (uint32_t c = 0; c < d->nchar; c++)
            if (isCharIncluded(d, c) && pd->extraLen[c] != kNoScore) {
                if (pd->steps[c] >= 0)
                    pd->steps[c] += static_cast<int32_t>(pd->extraLen[c]);
                else
                    pd->realSteps[c] += pd->extraLen[c];
            }
    return finish(length);
}

double calcTreeLengthOnly(DataInfo *d, Tree *tree, bool perChar)
{
    PackedData *pd = packedData(d);
    if (!dirBitsApply(d, tree))
        return calcTreeLength(d, tree, true, perChar);
    // With nothing left to the other classes their pass over the tree is
    // skipped (the base length and the per-character set-up remain).
    const bool rest = pd->ordWords || pd->unoWords || !pd->dirBits->restChars.empty();
    double length;
    {
        DirBitsAside aside(pd);
        length = calcTreeLength(d, tree, rest, perChar);
    }
    // A per-character pass rebuilt the class chain while the routed
    // characters were aside, which drops the cost-vector class when they
    // were all it held.
    if (perChar)
        setParsFxns(d, 0);
    if (length == kNoScore)
        return length;
    const double bits = dirBitsTreeLength(d, tree, perChar);
    if (bits == kDirBitsNoTree)
        return calcTreeLength(d, tree, true, perChar);
    if (bits == kNoScore)
        return overflow(pd);
    pd->lastLength = length + bits;
    return pd->lastLength;
}

double calcParsimonyScore(DataInfo *d, Tree *tree, bool perChar)
{
    PackedData *pd = packedData(d);
    double len = calcTreeLength(d, tree, true, perChar || pd->altArrays);
    if (len == kNoScore || !parsCriterionActive() || (!gPars.threshold && !gPars.goloboff))
        return len;
    return altParsScore(d, nullptr, false);
}

double altParsScore(DataInfo *d, const uint32_t *counts, bool record)
{
    if (gPars.threshold)
        return thresholdScore(d, counts, record);
    if (gPars.goloboff)
        return goloboffFit(d, counts);
    return 0.0;
}

double altParsScoreFromCounts(const DataInfo *d, const uint32_t *counts)
{
    if (gPars.threshold)
        return thresholdScore(const_cast<DataInfo *>(d), counts, false);
    return gPars.goloboff ? goloboffFit(d, counts) : 0.0;
}

double thresholdScore(DataInfo *d, const uint32_t *counts, bool record)
{
    PackedData *pd = packedData(d);
    auto t = static_cast<int64_t>(gPars.threshold);
    if (record && pd->atMinimum)
        clearSet(pd->atMinimum);
    double score = 0.0;
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c))
            continue;
        int64_t s = charSteps(d, c, counts);
        auto m = static_cast<int64_t>(pd->minSteps[c]);
        score += static_cast<double>(std::min(s, m + t)) * d->weights[c];
        if (record && s == m && pd->atMinimum)
            addSetMember(pd->atMinimum, c);
    }
    return score;
}

double goloboffFit(const DataInfo *d, const uint32_t *counts)
{
    const PackedData *pd = packedData(d);
    int64_t K = static_cast<int64_t>(gPars.gK) + 1;
    double score = 0.0;
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c) || (!gPars.gUninf && (d->status[c] & kCharUninformative)))
            continue;
        int64_t s = charSteps(d, c, counts);
        auto m = static_cast<int64_t>(pd->minSteps[c]);
        // The steps inside polymorphic terminals are in every tree's count
        // (the data's counts hold them once the tree is scored); they are
        // in the least count as well, or a tree of the fewest steps would
        // fit as though it had that many extra.
        if (pd->multistateTaxa && pd->extraLen[c] != kNoScore) {
            const auto within = static_cast<int64_t>(pd->extraLen[c]);
            if (counts)
                s += within;
            m += within;
        }
        double fit;
        if (gPars.gPeeWee)
            fit = s <= m ? 100.0 : static_cast<double>(100 * K / (s - m + K));
        else
            fit = s <= m ? 1.0 : static_cast<double>(K) / static_cast<double>(s - m + K);
        score -= d->weights[c] * fit;
    }
    return gPars.gPeeWee ? score * 0.1 : score;
}
