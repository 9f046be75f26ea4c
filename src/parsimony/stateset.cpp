// Rules for nodes with more than two neighbours and the per-character step
// counts. A polytomy costs, per character (or per binary subcharacter of an
// ordered character), the number of neighbours less the largest number that
// share one state; the node takes every state held by that many.
#include <array>
#include <bit>
#include <vector>

#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "qel/qel_threadscratch.h"
#include "trees/treeutil.h"

namespace {

// Down sets of the children and the up set (when the node has an ancestor),
// leaving one neighbour out. Reused between calls: polytomies are not the
// hot path but must not allocate per word.
std::vector<const ParsNodeSets *> &neighbourSets(const TreeNode *node, const TreeNode *leaveOut)
{
    thread_local ThreadScratch<std::vector<const ParsNodeSets *>> scratch;
    std::vector<const ParsNodeSets *> &v = *scratch;
    v.clear();
    for (const TreeNode *c = node->firstChild; c; c = c->nextSib)
        if (c != leaveOut)
            v.push_back(nodeSets(c->abm[0]));
    if (node->anc && node->anc != leaveOut)
        v.push_back(nodeSets(node->abm[1]));
    return v;
}

double charWeight(const DataInfo *d, uint32_t c) { return packedData(d)->slots[c].weight; }

bool stopOnOverflow(double *length)
{
    if (gPars.realScores ? *length >= kNoScore : *length >= 2147483647.0) {
        *length = kNoScore;
        return true;
    }
    return false;
}

// The states held by the most neighbours in each field of x (fields where
// the neighbours share no state) into *r; returns the steps there, the
// neighbours less that most, field by field. Per bit of the lane the
// neighbours holding it are counted in bit planes (adding a lane is a
// ripple-carry add), and the fields are settled from the highest count
// down: no loop over single bits or states.
uint64_t mostHeldStates(const std::vector<const ParsNodeSets *> &nb, uint32_t l, uint64_t x, const UnoWidthParams &p,
                        uint64_t *r)
{
    const auto k = static_cast<uint32_t>(nb.size());
    const uint64_t fields = x * p.spread;
    std::array<uint64_t, 32> plane{};
    const auto planes = static_cast<uint32_t>(std::bit_width(k));
    for (const ParsNodeSets *s : nb)
        for (uint64_t carry = s->uno[l] & fields, q = 0; carry; q++) {
            const uint64_t c = plane[q] & carry;
            plane[q] ^= carry;
            carry = c;
        }
    uint64_t steps = 0, open = x;
    // No state of these fields is held by all k.
    for (uint32_t t = k - 1; open && t >= 1; t--) {
        // Bits held by t or more: the planes against t from the top bit.
        uint64_t above = 0, equal = ~uint64_t{0};
        for (uint32_t q = planes; q-- > 0;) {
            if ((t >> q) & 1) {
                equal &= plane[q];
            } else {
                above |= equal & plane[q];
                equal &= ~plane[q];
            }
        }
        const uint64_t held = (above | equal) & fields;
        const uint64_t settled = ((((held & p.notTop) + p.notTop) | held) >> p.shift) & open;
        *r |= held & settled * p.spread;
        steps += (k - t) * static_cast<uint64_t>(std::popcount(settled));
        open &= ~settled;
    }
    // Fields where no neighbour holds a state: every state, k steps.
    *r |= open * p.spread;
    return steps + k * static_cast<uint64_t>(std::popcount(open));
}

}  // namespace

void unoSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length)
{
    PackedData *pd = packedData(d);
    auto &nb = neighbourSets(node, leaveOut);
    auto k = static_cast<uint32_t>(nb.size());
    const uint64_t *cm = pd->unoCountMask.data();
    for (uint32_t l = 0; l < 2 * pd->unoWords; l++) {
        const UnoWidthParams &p = unoParams(pd->unoWidth[l / 2]);
        uint64_t inter = ~uint64_t{0};
        for (const ParsNodeSets *s : nb)
            inter &= s->uno[l];
        uint64_t z = ((inter & p.notTop) + p.notTop) | inter;
        uint64_t x = (~z >> p.shift) & cm[l];
        uint64_t r = inter & ~(x * p.spread);
        if (x && (!count || (!perChar && !pd->unoWeighted))) {
            const uint64_t steps = mostHeldStates(nb, l, x, p, &r);
            if (count) {
                *length += static_cast<double>(steps);
                if (stopOnOverflow(length))
                    return;
            }
        } else if (x) {
            std::array<uint32_t, 64> held{};
            for (const ParsNodeSets *s : nb)
                for (uint64_t b = s->uno[l] & (x * p.spread); b; b &= b - 1)
                    held[std::countr_zero(b)]++;
            uint32_t w = p.shift + 1;
            for (; x; x &= x - 1) {
                uint32_t at = std::countr_zero(x), best = 0;
                for (uint32_t s = at; s < at + w; s++)
                    best = std::max(best, held[s]);
                for (uint32_t s = at; s < at + w; s++)
                    if (held[s] == best)
                        r |= uint64_t{1} << s;
                if (count) {
                    uint32_t c = pd->unoBitChar[64 * l + at];
                    if (perChar)
                        pd->steps[c] += static_cast<int32_t>(k - best);
                    *length += (k - best) * (pd->unoWeighted ? charWeight(d, c) : 1.0);
                    if (stopOnOverflow(length))
                        return;
                }
            }
        }
        result->uno[l] = r;
    }
}

void wagSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length)
{
    PackedData *pd = packedData(d);
    auto &nb = neighbourSets(node, leaveOut);
    auto k = static_cast<uint32_t>(nb.size());
    uint32_t lanes = 2 * pd->ordWords;
    for (uint32_t l = 0; l < lanes; l++) {
        uint64_t anyAbove = 0, allMayBeAbove = ~uint64_t{0};
        for (const ParsNodeSets *s : nb) {
            anyAbove |= s->ord[l];
            allMayBeAbove &= s->ord[lanes + l];
        }
        // Agreement: every set holds 1 (all P) or every set holds 0 (no D).
        uint64_t conflict = anyAbove & ~allMayBeAbove;
        uint64_t rd = anyAbove & ~conflict, rp = allMayBeAbove;
        for (uint64_t x = conflict; x; x &= x - 1) {
            uint32_t bit = std::countr_zero(x), holdOne = 0, holdZero = 0;
            for (const ParsNodeSets *s : nb) {
                holdOne += (s->ord[lanes + l] >> bit) & 1;
                holdZero += !((s->ord[l] >> bit) & 1);
            }
            uint32_t best = std::max(holdOne, holdZero);
            uint64_t m = uint64_t{1} << bit;
            if (holdZero != best)
                rd |= m;
            if (holdOne == best)
                rp |= m;
            else
                rp &= ~m;
            if (count) {
                uint32_t c = pd->ordBitChar[64 * l + bit];
                if (perChar)
                    pd->steps[c] += static_cast<int32_t>(k - best);
                *length += (k - best) * (pd->ordWeighted ? charWeight(d, c) : 1.0);
                if (stopOnOverflow(length))
                    return;
            }
        }
        result->ord[l] = rd;
        result->ord[lanes + l] = rp;
    }
}

void updateUnoSingleStepCounts(const DataInfo *d, int sign)
{
    PackedData *pd = packedData(d);
    for (uint32_t l = 0; l < 2 * pd->unoWords; l++)
        for (uint64_t x = pd->unoStepMask[l]; x; x &= x - 1)
            pd->steps[pd->unoBitChar[64 * l + std::countr_zero(x)]] += sign;
}

void updateSingleStepCounts(const DataInfo *d, int sign)
{
    PackedData *pd = packedData(d);
    for (uint32_t l = 0; l < 2 * pd->ordWords; l++)
        for (uint64_t x = pd->ordStepMask[l]; x; x &= x - 1)
            pd->steps[pd->ordBitChar[64 * l + std::countr_zero(x)]] += sign;
}

void updateAltSingleStepCounts(const DataInfo *d, uint32_t *counts, int sign)
{
    const PackedData *pd = packedData(d);
    auto add = [&](const std::vector<uint64_t> &mask, const std::vector<uint32_t> &owner) {
        for (size_t l = 0; l < mask.size(); l++)
            for (uint64_t x = mask[l]; x; x &= x - 1)
                counts[owner[64 * l + std::countr_zero(x)]] += static_cast<uint32_t>(sign);
    };
    add(pd->ordStepMask, pd->ordBitChar);
    add(pd->unoStepMask, pd->unoBitChar);
}
