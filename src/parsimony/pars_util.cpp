#include "parsimony/pars_util.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "data/data_services.h"
#include "data/usertypes.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/stmx.h"
#include "trees/treeutil.h"

namespace {

void buildClass(const DataInfo *d, const PackedData *pd, const std::vector<uint32_t> &chars, uint32_t words,
                ClassWeights &wc)
{
    wc = ClassWeights{};
    wc.lanes = 2 * words;
    bool weighted = false;
    for (uint32_t c : chars) {
        double w = pd->slots[c].weight;
        weighted = weighted || w != 1.0;
        if (std::find(wc.weights.begin(), wc.weights.end(), w) == wc.weights.end())
            wc.weights.push_back(w);
    }
    if (!weighted) {
        wc.weights.clear();
        return;
    }
    wc.masks.assign(wc.weights.size() * wc.lanes, 0);
    for (uint32_t c : chars) {
        const PackSlot &s = pd->slots[c];
        if (!isCharIncluded(d, c))
            continue;
        auto k = static_cast<uint64_t>(std::find(wc.weights.begin(), wc.weights.end(), s.weight) -
                                       wc.weights.begin());
        uint64_t field = s.width >= 64 ? ~uint64_t{0} : (uint64_t{1} << s.width) - 1;
        wc.masks[k * wc.lanes + 2 * s.word + (s.offset >> 6)] |= field << (s.offset & 63);
    }
}

}  // namespace

int initializeParsWts(DataInfo *d)
{
    PackedData *pd = packedData(d);
    buildClass(d, pd, pd->ordChars, pd->ordWords, pd->ordWts);
    buildClass(d, pd, pd->unoChars, pd->unoWords, pd->unoWts);
    pd->ordWeighted = pd->ordWts.count() != 0;
    pd->unoWeighted = pd->unoWts.count() != 0;
    return 0;
}

void finalizeParsWts(DataInfo *d)
{
    if (PackedData *pd = packedData(d)) {
        pd->ordWts = ClassWeights{};
        pd->unoWts = ClassWeights{};
        pd->ordWeighted = pd->unoWeighted = false;
    }
}

int addWtdSteps(const ClassWeights &wc, uint32_t word, double *length, uint64_t lo, uint64_t hi, double bound,
                double tolerance)
{
    const uint64_t *m = wc.masks.data() + 2 * word;
    for (uint32_t k = 0; k < wc.count() && (lo | hi); k++, m += wc.lanes) {
        uint64_t a = lo & m[0], b = hi & m[1];
        *length += wc.weights[k] * (std::popcount(a) + std::popcount(b));
        if (*length - bound > tolerance)
            return 1;
        lo &= ~a;
        hi &= ~b;
    }
    return 0;
}

uint32_t weightDecimals(const DataInfo *d)
{
    uint32_t decimals = 0;
    if (!d->weights)
        return 0;
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c))
            continue;
        const double w = d->weights[c];
        uint32_t k = 0;
        while (k < 8 && std::fabs(w * std::pow(10.0, k) - std::round(w * std::pow(10.0, k))) > 1e-9)
            k++;
        decimals = std::max(decimals, k);
    }
    return decimals;
}

double setParsDecimals(DataInfo *d)
{
    PackedData *pd = packedData(d);
    uint32_t decimals = 0;
    double tol = 0.0;
    gPars.realScores = 0;
    if (parsimonyScoreIsRealValued(d) && !gPars.goloboff) {
        decimals = weightDecimals(d) + (pd ? pd->decimals : 0);
        tol = std::pow(10.0, -static_cast<double>(decimals + 1));
        gPars.realScores = 1;
    }
    gPars.scoreDecimals = gPars.lengthDecimals = decimals;
    if (gPars.goloboff) {
        gPars.realScores = 1;
        gPars.scoreDecimals = 5;
        tol = 1e-8;
    }
    if (pd)
        pd->tolerance = tol;
    // Whether the search compares scores within this tolerance or exactly
    // follows what the weights now make of them.
    if (parsServices().recomputeScoreType)
        parsServices().recomputeScoreType();
    return tol;
}

bool lengthIsValidOutsideIntRange(double length)
{
    if (!(length >= 0.0) || length == kNoScore)  // NaN fails the first test
        return false;
    if (gPars.realScores)
        return true;
    return length < 2147483648.0;
}

double stateDiff(uint32_t a, uint32_t b, uint32_t c, const DataInfo *d)
{
    if (a == b)
        return 0.0;
    if (dataServices().criterion() != kCriterionParsimony)
        return 1.0;
    if ((d->status[c] & kCharTypeMask) == kCharUnordered)
        return 1.0;
    if (stmCharOf(d, c))
        return stmChangeCost(d, c, a, b);
    uint64_t ma = 0, mb = 0;
    if (isStateTreeChar(d, c) && cstStateMask(d, c, a, &ma) && cstStateMask(d, c, b, &mb))
        return std::popcount(ma ^ mb);
    return a > b ? a - b : b - a;
}

bool isStateTreeChar(const DataInfo *d, uint32_t c)
{
    if (!(d->status[c] & kCharStateTree) || !d->userTypes)
        return false;
    const UserType *ut = d->userTypes[c];
    return ut && ut->tree;
}

bool cstStateMask(const DataInfo *d, uint32_t c, uint32_t state, uint64_t *mask)
{
    if (state >= 64 || !isStateTreeChar(d, c))
        return false;
    const UserType *ut = d->userTypes[c];
    const uint64_t b = mapStateBits(d, uint64_t{1} << state, d->parsSymbols, ut->symbols, nullptr, nullptr);
    if (!b)
        return false;
    const CSTreeNode *p = ut->tree;
    for (int k = std::countr_zero(b); p && k > 0; k--)
        p = p->nextNode;
    if (!p)
        return false;
    *mask = p->pathMask;
    return true;
}

uint64_t cstStatesBetween(const DataInfo *d, uint32_t c, uint64_t definite, uint64_t possible)
{
    uint64_t out = 0, m = 0;
    const auto n = static_cast<uint32_t>(strnlen(d->parsSymbols, sizeof d->parsSymbols));
    for (uint32_t s = 0; s < std::min(n, 64u); s++)
        if (cstStateMask(d, c, s, &m) && !(definite & ~m) && !(m & ~possible))
            out |= uint64_t{1} << s;
    return out;
}

std::vector<uint64_t> cstNodeMasks(const DataInfo *d, uint32_t c, uint32_t symbols)
{
    std::vector<uint64_t> masks(symbols, kNoStateMask);
    if (!isStateTreeChar(d, c))
        return masks;
    for (uint32_t s = 0; s < symbols; s++)
        cstStateMask(d, c, s, &masks[s]);
    const UserType *ut = d->userTypes[c];
    for (const CSTreeNode *p = ut->tree; p; p = p->nextNode)
        if (!mapStateBits(d, uint64_t{1} << std::min<uint32_t>(p->nodeNum, 63), ut->symbols, d->parsSymbols, nullptr,
                          nullptr))
            masks.push_back(p->pathMask);
    return masks;
}

double cstMinSteps(const DataInfo *d, uint32_t c, std::span<const uint64_t> cells)
{
    uint64_t any = 0, all = ~uint64_t{0}, m = 0;
    for (uint64_t b : cells)
        if (b && cstStateMask(d, c, static_cast<uint32_t>(std::countr_zero(b)), &m)) {
            any |= m;
            all &= m;
        }
    return std::popcount(any & ~all);
}

namespace {

// A constant character gets no packed field: every most-parsimonious
// reconstruction gives each node the state its cells share, and a character
// missing everywhere leaves every state possible.
uint64_t constantCharStates(const DataInfo *d, uint32_t c)
{
    uint64_t common = kAllStates;
    for (int32_t t = -1; t < d->nActive; t++)
        common &= getXijAsBits(d, t, c, nullptr);
    if (d->nstates > 0 && d->nstates < 64)
        common &= (uint64_t{1} << d->nstates) - 1;
    return common ? common : 1;
}

}  // namespace

uint64_t getStatesOrMPRset(const DataInfo *d, const TreeNode *node, uint32_t c, bool mpr)
{
    if (node->index >= 0 && !node->firstChild)
        return getXijAsBits(d, node->index, c, nullptr);
    if (d->status[c] & kCharConstant)
        return constantCharStates(d, c);
    const PackedData *pd = packedData(d);
    if (pd && gPars.pending < 3 && stmCharOf(d, c))
        return stmStateSet(d, nodeSets(node->abm[mpr ? 2 : 0]), c);
    if (!pd || gPars.pending >= 3 || !pd->slots[c].width)
        return 1;
    const ParsNodeSets *rec = nodeSets(node->abm[mpr ? 2 : 0]);
    const PackSlot &s = pd->slots[c];
    uint64_t lane = 2 * s.word + (s.offset >> 6);
    uint32_t at = s.offset & 63;
    uint64_t field = s.width >= 64 ? ~uint64_t{0} : (uint64_t{1} << s.width) - 1;
    uint64_t out = 0;
    if (s.cls == kPkdUnordered) {
        uint64_t bits = (rec->uno[lane] >> at) & field;
        uint32_t k = 0;
        for (uint64_t obs = s.observed; obs; obs &= obs - 1, k++)
            if ((bits >> k) & 1)
                out |= obs & -obs;
        return out;
    }
    if (isStateTreeChar(d, c))
        return cstStatesBetween(d, c, (rec->ord[lane] >> at) & field,
                                (rec->ord[2 * pd->ordWords + lane] >> at) & field);
    uint32_t lo = std::popcount((rec->ord[lane] >> at) & field);
    uint32_t hi = std::popcount((rec->ord[2 * pd->ordWords + lane] >> at) & field);
    bool binaryUno = (d->status[c] & kCharTypeMask) != kCharOrdered;
    for (uint32_t v = lo; v <= hi; v++) {
        if (binaryUno) {
            uint64_t obs = s.observed;
            out |= v ? (uint64_t{1} << (63 - std::countl_zero(obs))) : (obs & -obs);
        } else {
            out |= uint64_t{1} << (s.lowState + v);
        }
    }
    return out;
}

bool charInPackedData(const DataInfo *d, uint32_t c)
{
    const PackedData *pd = packedData(d);
    return pd && c < pd->slots.size() && (pd->slots[c].width != 0 || stmCharOf(d, c));
}

bool haveOrderedMultistateChars(const DataInfo *d)
{
    const PackedData *pd = packedData(d);
    if (!pd)
        return false;
    for (uint32_t c : pd->ordChars)
        if (pd->slots[c].width > 1)
            return true;
    return false;
}

bool charHasUnknownExtraLength(const DataInfo *d, uint32_t c)
{
    const PackedData *pd = packedData(d);
    return pd && pd->unknownExtraLength && pd->extraLen[c] == kNoScore;
}

double chooseMinSteps(const DataInfo *d, uint32_t c)
{
    const PackedData *pd = packedData(d);
    return pd ? pd->minSteps[c] : 0.0;
}

double absoluteDist(const DataInfo *d, Tree *tree, int32_t i, int32_t j)
{
    // Free-reversible classes are the only ones packed: their span is the
    // whole distance.
    pointTreeAtPackedData(tree, d);
    return frvSpan(d, nodeSets(nodeOfIndex(tree, i)->abm[0]), nodeSets(nodeOfIndex(tree, j)->abm[0]));
}

double meanDist(int32_t a, int32_t b, const DataInfo *d, double distance)
{
    double weights = 0.0;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (d->status[c] & (kCharExcluded | kCharEliminated))
            continue;
        if (isMissingOrGapMiss(a, c, d) || isMissingOrGapMiss(b, c, d))
            continue;
        weights += d->weights ? d->weights[c] : 1.0;
    }
    return weights > 0.0 ? distance / weights : 0.0;
}
