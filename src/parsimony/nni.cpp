// NNI scoring as a re-attachment: x leaves its sibling s and joins the edge
// of u, the other child of g. The edge's set is rule(rule(s, g's up set), u);
// one pass over the words, with an early stop against the bound.
#include <bit>

#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "trees/treeutil.h"

bool nniSets(const TreeNode *x, NNISets *out)
{
    const TreeNode *f = x->anc;
    const TreeNode *g = f ? f->anc : nullptr;
    if (!g)
        return false;
    const TreeNode *s = f->firstChild == x ? x->nextSib : f->firstChild;
    const TreeNode *u = g->firstChild == f ? f->nextSib : g->firstChild;
    if (!s || !u)
        return false;
    *out = {nodeSets(x->abm[0]), nodeSets(s->abm[0]), nodeSets(g->abm[1]), nodeSets(u->abm[0])};
    return true;
}

int wagEvalNNI(const DataInfo *d, TreeNode *, const TreeNode *x, double *length, double bound)
{
    NNISets n;
    if (!nniSets(x, &n))
        return 0;
    const PackedData *pd = packedData(d);
    uint32_t lanes = 2 * pd->ordWords;
    double tol = pd->tolerance;
    for (uint32_t w = 0; w < pd->ordWords; w++) {
        uint64_t m[2];
        for (uint32_t h = 0; h < 2; h++) {
            uint32_t l = 2 * w + h, L = lanes + l;
            uint64_t o = n.s->ord[l] | n.gUp->ord[l], a = n.s->ord[L] & n.gUp->ord[L];
            uint64_t xd = o & a, xp = o | a;
            o = xd | n.u->ord[l];
            a = xp & n.u->ord[L];
            uint64_t yd = o & a, yp = o | a;
            m[h] = (yd ^ n.x->ord[l]) & (yp ^ n.x->ord[L]);
        }
        if (pd->ordWeighted) {
            if (addWtdSteps(pd->ordWts, w, length, m[0], m[1], bound, tol))
                return 1;
        } else {
            *length += std::popcount(m[0]) + std::popcount(m[1]);
            if (*length - bound > tol)
                return 1;
        }
    }
    return 0;
}

int unoEvalNNI(const DataInfo *d, TreeNode *, const TreeNode *x, double *length, double bound)
{
    NNISets n;
    if (!nniSets(x, &n))
        return 0;
    const PackedData *pd = packedData(d);
    const uint64_t *cm = pd->unoCountMask.data();
    double tol = pd->tolerance;
    for (uint32_t w = 0; w < pd->unoWords; w++) {
        const UnoWidthParams &p = unoParams(pd->unoWidth[w]);
        auto empty = [&](uint64_t i, uint32_t l) { return (~(((i & p.notTop) + p.notTop) | i) >> p.shift) & cm[l]; };
        uint64_t m[2];
        for (uint32_t h = 0; h < 2; h++) {
            uint32_t l = 2 * w + h;
            uint64_t a = n.s->uno[l], b = n.gUp->uno[l], i = a & b;
            uint64_t X = i | ((a | b) & (empty(i, l) * p.spread));
            b = n.u->uno[l];
            i = X & b;
            uint64_t Y = i | ((X | b) & (empty(i, l) * p.spread));
            m[h] = empty(Y & n.x->uno[l], l);
        }
        if (pd->unoWeighted) {
            if (addWtdSteps(pd->unoWts, w, length, m[0], m[1], bound, tol))
                return 1;
        } else {
            *length += std::popcount(m[0]) + std::popcount(m[1]);
            if (*length - bound > tol)
                return 1;
        }
    }
    return 0;
}

int frvEvalSwap_NNI(const DataInfo *d, TreeNode *scratch, const TreeNode *x, double *length, double bound)
{
    if (!parsCriterionActive())
        return 0;
    // As in frvAddSpan: no class settles the bound before a Dollo
    // character's cost vector, which may take steps back.
    if (packedData(d)->stmTakesBack)
        bound = kNoScore;
    for (const ParsFxns *f = d->parsFxns; f; f = f->next)
        if (f->evalNNI(d, scratch, x, length, bound))
            break;
    return 0;
}
