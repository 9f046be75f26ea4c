#include "parsimony/pars_fxns.h"

#include <bit>

#include "data/data_services.h"
#include "parsimony/dollo_search.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "parsimony/stmx.h"
#include "parsimony/treelen.h"
#include "trees/treeutil.h"

namespace {

ParsFxns gOrdRec{};
ParsFxns gUnoRec{};
ParsFxns gStmRec{};
ParsFxns gDolRec{};

bool constraintsActive()
{
    const ParsServices &s = parsServices();
    return s.constraintsActive && s.constraintsActive();
}

}  // namespace

void setParsFxns(DataInfo *d, int perChar)
{
    d->parsFxns = nullptr;
    PackedData *pd = packedData(d);
    if (!pd)
        return;
    bool real = gPars.realScores != 0;
    ParsFxns **tail = &d->parsFxns;
    if (pd->ordWords) {
        bool general = real || perChar || pd->ordWeighted;
        gOrdRec = ParsFxns{general ? wagAddSpan : wagAddSpan_Fast, wagSetBin, wagSetUpdate, wagSet, wagEvalNNI,
                           pd->ordWords, 1, nullptr};
        *tail = &gOrdRec;
        tail = &gOrdRec.next;
    }
    if (pd->unoWords) {
        bool general = real || perChar || pd->unoWeighted;
        gUnoRec = ParsFxns{general ? unoAddSpan : unoAddSpan_Fast, unoSetBin, unoSetUpdate, unoSet, unoEvalNNI,
                           pd->unoWords, 1, nullptr};
        *tail = &gUnoRec;
        tail = &gUnoRec.next;
    }
    if (dolSearchActive(d)) {
        // One word, as the cost vectors below.
        gDolRec = ParsFxns{dolAddSpan, dolSetBin, dolSetUpdate, dolSet, dolEvalNNI, 1, 1, nullptr};
        *tail = &gDolRec;
        tail = &gDolRec.next;
    }
    pd->stmTakesBack = !pd->stmChars.empty() && (dolSearchActive(d) ? pd->dolSearch->restDollo : pd->stmDollo);
    if (!pd->stmChars.empty()) {
        // One word: an update recomputes every character of the class.
        gStmRec = ParsFxns{stmAddSpan, stmSetBin, stmSetUpdate, stmSet, stmEvalNNI, 1, 1, nullptr};
        *tail = &gStmRec;
    }
}

void releaseParsFxns(DataInfo *d)
{
    if (d)
        d->parsFxns = nullptr;
}

bool freeRevCharsPacked(const DataInfo *d) { return d->parsFxns != nullptr; }

bool plainUnoJoinChain(const DataInfo *d, bool perChar)
{
    const ParsFxns *f = d->parsFxns;
    if (!f || f->next || f->setBin != unoSetBin || perChar || !parsCriterionActive())
        return false;
    const PackedData *pd = packedData(d);
    return !pd->unoWeighted && !pd->altArrays;
}

void frvSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length)
{
    if (!parsCriterionActive())
        return;
    for (const ParsFxns *f = d->parsFxns; f; f = f->next)
        f->setBin(d, a, b, count, perChar, result, length);
    PackedData *pd = packedData(d);
    if (pd->altArrays && count && !perChar)
        updateAltSingleStepCounts(d, pd->altCounts[0].data(), 1);
}

void frvSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length)
{
    if (!parsCriterionActive())
        return;
    for (const ParsFxns *f = d->parsFxns; f; f = f->next) {
        f->set(d, node, leaveOut, count, perChar, result, length);
        if (count && length && !lengthIsValid(*length))
            return;
    }
}

int frvAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound)
{
    // Steps a Dollo character's cost vector may take back leave a partial
    // sum above the bound unsettled: only the whole sum is compared then.
    const PackedData *pd = packedData(d);
    const double classBound = pd->stmTakesBack ? kNoScore : bound;
    for (const ParsFxns *f = d->parsFxns; f; f = f->next) {
        if (!f->active)
            continue;
        if (int r = f->addSpan(d, a, b, perChar, length, classBound))
            return r;
        if (!joinLengthIsValid(*length))
            return 0;
    }
    return pd->stmTakesBack && *length - bound > pd->tolerance ? 1 : 0;
}

double frvSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b)
{
    double len = 0.0;
    frvAddSpan(d, a, b, false, &len, kNoScore);
    return len;
}

void frvMprSet(const DataInfo *d, TreeNode *node)
{
    frvSet(d, node, nullptr, false, false, nodeSets(node->abm[2]), nullptr);
}

bool revBranchLenPositive(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b)
{
    // Class by class: a Dollo character's span may take back steps, so one
    // sum over the classes could hide another class's change.
    for (const ParsFxns *f = d->parsFxns; f; f = f->next) {
        if (!f->active)
            continue;
        if (f->addSpan == stmAddSpan || f->addSpan == dolAddSpan) {
            if (f->addSpan == stmAddSpan ? stmEdgeMayChange(d, a, b) : dolEdgeMayChange(d, a, b))
                return true;
            continue;
        }
        double len = 0.0;
        if (f->addSpan(d, a, b, false, &len, 0.0) != 0)
            return true;
    }
    return false;
}

double revLen3(const DataInfo *d, int32_t ia, int32_t ib, int32_t ic, const ParsNodeSets *a, const ParsNodeSets *b,
               const ParsNodeSets *c, ParsNodeSets *x)
{
    double len = 0.0;
    if (!dolSearchActive(d) || !parsCriterionActive()) {
        revSetBin(d, a, b, true, false, x, &len);
        frvAddSpan(d, x, c, false, &len, kNoScore);
        return len;
    }
    // The steps' own rule in whole words; the other classes join a and b
    // at x and span x to c.
    len = dolLen3(d, ia, ib, ic);
    for (const ParsFxns *f = d->parsFxns; f; f = f->next)
        if (f->setBin != dolSetBin)
            f->setBin(d, a, b, true, false, x, &len);
    PackedData *pd = packedData(d);
    if (pd->altArrays)
        updateAltSingleStepCounts(d, pd->altCounts[0].data(), 1);
    for (const ParsFxns *f = d->parsFxns; f && joinLengthIsValid(len); f = f->next)
        if (f->active && f->addSpan != dolAddSpan)
            f->addSpan(d, x, c, false, &len, kNoScore);
    return len;
}

void revSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length)
{
    if (d->parsFxns || constraintsActive())
        frvSetBin(d, a, b, count, perChar, result, length);
}

void revSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length)
{
    if (d->parsFxns || constraintsActive())
        frvSet(d, node, leaveOut, count, perChar, result, length);
}

double altSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, const uint32_t *counts)
{
    PackedData *pd = packedData(d);
    uint32_t lanes = 2 * pd->ordWords;
    for (uint32_t l = 0; l < lanes; l++)
        pd->ordStepMask[l] = (a->ord[l] ^ b->ord[l]) & (a->ord[lanes + l] ^ b->ord[lanes + l]);
    for (uint32_t l = 0; l < 2 * pd->unoWords; l++) {
        const UnoWidthParams &p = unoParams(pd->unoWidth[l / 2]);
        uint64_t i = a->uno[l] & b->uno[l];
        pd->unoStepMask[l] = (~(((i & p.notTop) + p.notTop) | i) >> p.shift) & pd->unoCountMask[l];
    }
    if (!counts)
        return 0.0;
    return altParsScoreFromCounts(d, counts);
}
