#include "parsimony/calcsets.h"

#include <algorithm>

#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "trees/treeutil.h"

namespace {

ParsNodeSets *down(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *up(const TreeNode *n) { return nodeSets(n->abm[1]); }
ParsNodeSets *fin(const TreeNode *n) { return nodeSets(n->abm[2]); }

bool isBinary(const TreeNode *n) { return n->firstChild && n->firstChild->nextSib && !n->firstChild->nextSib->nextSib; }

const TreeNode *sibling(const TreeNode *n)
{
    const TreeNode *f = n->anc->firstChild;
    return f == n ? n->nextSib : f;
}

void copySets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to)
{
    const PackedData *pd = packedData(d);
    if (from == to)
        return;
    std::copy_n(from->ord, 4 * pd->ordWords, to->ord);
    std::copy_n(from->uno, 2 * pd->unoWords, to->uno);
}

// The basal fork sees the root's set from above.
TreeNode *basalFork(const DataInfo *d, Tree *tree)
{
    TreeNode *b = tree->root->firstChild;
    copySets(d, down(tree->root), up(b));
    return b;
}

// Up set of a non-basal node: its ancestor's other neighbours.
void upSet(const DataInfo *d, TreeNode *n, bool count, double *length)
{
    TreeNode *a = n->anc;
    if (isBinary(a))
        revSetBin(d, down(sibling(n)), up(a), count, false, up(n), length);
    else
        revSet(d, a, n, false, false, up(n), nullptr);
}

void finalSet(const DataInfo *d, TreeNode *n)
{
    if (!n->firstChild || isBinary(n))
        revSetBin(d, down(n), up(n), false, false, fin(n), nullptr);
    else
        revSet(d, n, nullptr, false, false, fin(n), nullptr);
}

}  // namespace

void calcPrelimSets(const DataInfo *d, TreeNode *node, bool perChar, double *length)
{
    if (!d->parsFxns && !(parsServices().constraintsActive && parsServices().constraintsActive()))
        return;
    if (isBinary(node))
        revSetBin(d, down(node->firstChild), down(node->firstChild->nextSib), true, perChar, down(node), length);
    else
        revSet(d, node, node->anc, true, perChar, down(node), length);
}

void calcAllPrelimSets(const DataInfo *d, Tree *tree, bool perChar, double *length)
{
    checkTraversalSeq(tree);
    for (TreeNode *n = tree->tail; n; n = n->prev) {
        if (!n->firstChild)
            continue;
        calcPrelimSets(d, n, perChar, length);
        if (!lengthIsValid(*length))
            return;
    }
}

void calcStatesetsForSearch(Tree *tree, const DataInfo *d, bool withLengths)
{
    checkTraversalSeq(tree);
    double length = 0.0;
    PackedData *pd = packedData(d);
    if (pd->altArrays && parsCriterionActive())
        std::fill(pd->altCounts[0].begin(), pd->altCounts[0].end(), 0u);
    for (TreeNode *n = tree->tail; n; n = n->prev) {
        if (!n->firstChild)
            continue;
        double before = length;
        calcPrelimSets(d, n, false, &length);
        if (withLengths) {
            double sub = length - before;
            for (TreeNode *c = n->firstChild; c; c = c->nextSib)
                sub += c->firstChild ? down(c)->len : 0.0;
            down(n)->len = sub;
        }
    }
    TreeNode *b = basalFork(d, tree);
    if (withLengths) {
        b->edge.dbl1 = frvSpan(d, down(b), up(b));
        length += b->edge.dbl1;
        tree->score[0] = length;
        for (TreeNode *n = b->next; n; n = n->next) {
            upSet(d, n, false, nullptr);
            n->edge.dbl1 = frvSpan(d, down(n), up(n));
            up(n)->len = length - (n->firstChild ? down(n)->len : 0.0) - n->edge.dbl1;
        }
        pd->lastLength = length;
        return;
    }
    revSetBin(d, down(b), up(b), true, false, fin(b), &length);
    tree->score[0] = length;
    pd->lastLength = length;
    for (TreeNode *n = b->next; n; n = n->next) {
        upSet(d, n, false, nullptr);
        finalSet(d, n);
    }
}

void frvGetCutBranchLen(const DataInfo *d, const TreeNode *x, double *out)
{
    *out = 0.0;
    frvAddSpan(d, down(x), up(x), false, out, kNoScore);
}

void revMprSet(const DataInfo *d, TreeNode *node) { frvMprSet(d, node); }

void revUpdateAbove(const DataInfo *d, TreeNode *node, bool includeNode)
{
    for (TreeNode *n = includeNode ? node : nextPreorderNode(node, node); n; n = nextPreorderNode(n, node)) {
        if (n->anc->anc)
            upSet(d, n, false, nullptr);
        finalSet(d, n);
    }
}

void revUpdateBelow(const DataInfo *d, TreeNode *node)
{
    for (TreeNode *n = node; n && n->anc; n = n->anc) {
        if (n->firstChild) {
            double unused = 0.0;
            calcPrelimSets(d, n, false, &unused);
        }
    }
}
