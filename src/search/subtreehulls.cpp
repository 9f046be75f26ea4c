#include "search/subtreehulls.h"

#include <algorithm>

#include "parsimony/packx.h"
#include "parsimony/stateset.h"
#include "trees/treeutil.h"

namespace {

const ParsNodeSets *finalOf(const TreeNode *n) { return nodeSets(n->abm[2]); }

}  // namespace

// An unordered hull is the union of the sets' states, so a character costs
// a step on every edge where the taxon shares no state with the hull. An
// ordered bit, (definitely above, possibly above), is above in the hull only
// where every set is above and possibly above where any set may be: the
// hull is wholly above or wholly below the taxon's bit only where every set
// is, and that is where the span kernels count a step.
void SubtreeHulls::reset(const FastSpanScorer &sp, const Tree *t)
{
    nodes_ = t->nodes;
    ordLanes_ = sp.ordLanes;
    unoLanes_ = sp.uno.count;
    ordWords_ = 2 * size_t{ordLanes_};
    stride_ = ordWords_ + unoLanes_;
    words_.assign(stride_ * t->maxNodes, 0);
    size_.assign(t->maxNodes, 0);
    rowOf_.assign(t->maxNodes, 0);
    rowsUsed_ = 0;
}

void SubtreeHulls::copyFinal(const TreeNode *n)
{
    const ParsNodeSets *f = finalOf(n);
    uint64_t *r = row(n);
    if (ordLanes_)
        std::copy_n(f->ord, ordWords_, r);
    if (unoLanes_)
        std::copy_n(f->uno, unoLanes_, r + ordWords_);
}

bool SubtreeHulls::widen(const TreeNode *n, const uint64_t *ord, const uint64_t *uno)
{
    uint64_t *r = row(n);
    uint64_t grew = 0;
    for (uint32_t l = 0; l < ordLanes_; l++) {
        const uint64_t above = r[l] & ord[l], maybe = r[ordLanes_ + l] | ord[ordLanes_ + l];
        grew |= (above ^ r[l]) | (maybe ^ r[ordLanes_ + l]);
        r[l] = above;
        r[ordLanes_ + l] = maybe;
    }
    uint64_t *u = r + ordWords_;
    for (uint32_t l = 0; l < unoLanes_; l++) {
        grew |= uno[l] & ~u[l];
        u[l] |= uno[l];
    }
    return grew != 0;
}

void SubtreeHulls::widenUpward(const TreeNode *n, const uint64_t *ord, const uint64_t *uno)
{
    // An ancestor's hull holds its children's, so the first one that holds
    // the set already ends the walk.
    for (; n && n->anc; n = n->anc)
        if (!widen(n, ord, uno))
            return;
}

void SubtreeHulls::rebuild(const std::vector<TreeNode *> &preorder)
{
    for (size_t i = 0; i < preorder.size(); i++)
        rowOf_[index(preorder[i])] = i;
    rowsUsed_ = preorder.size();
    for (size_t i = preorder.size(); i-- > 0;) {
        const TreeNode *v = preorder[i];
        copyFinal(v);
        uint32_t nodes = 1;
        for (const TreeNode *c = v->firstChild; c; c = c->nextSib) {
            widen(v, ord(c), uno(c));
            nodes += size(c);
        }
        size_[index(v)] = nodes;
    }
}

void SubtreeHulls::afterJoin(TreeNode *leaf, const std::vector<TreeNode *> &changed)
{
    const TreeNode *fork = leaf->anc;
    const TreeNode *s = fork->firstChild == leaf ? leaf->nextSib : fork->firstChild;
    // A tree has fewer nodes than maxNodes, its root has no row, and every
    // node that joins takes a new one.
    rowOf_[index(leaf)] = rowsUsed_++;
    rowOf_[index(fork)] = rowsUsed_++;
    size_[index(leaf)] = 1;
    size_[index(fork)] = size(s) + 2;
    for (const TreeNode *a = fork->anc; a && a->anc; a = a->anc)
        size_[index(a)] += 2;
    copyFinal(leaf);
    std::copy_n(row(s), stride_, row(fork));
    widen(fork, ord(leaf), uno(leaf));
    widenUpward(fork->anc, ord(fork), uno(fork));
    for (const TreeNode *x : changed) {
        const ParsNodeSets *f = finalOf(x);
        widenUpward(x, f->ord, f->uno);
    }
}
