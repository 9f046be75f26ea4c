#include "search/constrsearch.h"

#include "search/ecr.h"
#include "search/hitlist.h"
#include "search/nniswap.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "search/tbr.h"
#include "trees/constr.h"
#include "trees/treeedit.h"

namespace {

// One scratch tree per search thread, sized like the search's trees and
// carrying the tip bits of the active constraint.
thread_local TreeHandle gScratch;

TreeNode *same(Tree *to, const Tree *from, const TreeNode *n)
{
    return n ? to->nodes + (n - from->nodes) : nullptr;
}

// The links of `from` onto the scratch tree, node for node.
Tree *scratchCopy(const Tree *from)
{
    Tree *to = gScratch.get();
    for (uint32_t p = 0; p < from->maxNodes; p++) {
        const TreeNode &a = from->nodes[p];
        TreeNode &b = to->nodes[p];
        b.anc = same(to, from, a.anc);
        b.firstChild = same(to, from, a.firstChild);
        b.nextSib = same(to, from, a.nextSib);
    }
    to->root = same(to, from, from->root);
    to->flags = from->flags;
    afterTreeChange(to);
    return to;
}

bool verdict(Tree *candidate)
{
    const int32_t mode = getTopolConstrained();
    return mode == 0 || constraintsSatisfied(candidate, mode < 0);
}

}  // namespace

int prepareSearchConstraints(const DataInfo *data, const Tree *like, bool converse, bool noSwapping, bool quiet)
{
    releaseSearchConstraints();
    gScratch.reset(createTreeForTaxa(like->ntax, like->activeTaxa, false));
    if (!gScratch)
        return 1;
    ConstraintOptionCheck check{};
    check.enforce = true;
    check.converse = converse;
    check.noSwapping = noSwapping;
    check.looseness = srch.looseConvex;
    const int rc = initSearchConstraints(gScratch.get(), data, check, quiet);
    if (rc != 0)
        releaseSearchConstraints();
    return rc;
}

void releaseSearchConstraints()
{
    if (gScratch)
        gScratch->conData = destroyConData(gScratch->conData);
    gScratch.reset();
}

bool searchTreeAllowed(const Tree *tree)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    return verdict(scratchCopy(tree));
}

namespace {

bool joinVerdict(const Tree *tree, const TreeNode *edge, int32_t taxon)
{
    Tree *t = scratchCopy(tree);
    if (binConnectLeaf(nodeOfIndex(t, taxon), same(t, tree, edge), findFreeNode(t)) != 0)
        return false;
    return verdict(t);
}

}  // namespace

bool leafJoinAllowed(const Tree *tree, const TreeNode *edge, int32_t taxon)
{
    if (getTopolConstrained() <= 0 || !gScratch)
        return true;
    return joinVerdict(tree, edge, taxon);
}

bool finishingJoinAllowed(const Tree *tree, const TreeNode *edge, int32_t taxon)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    return joinVerdict(tree, edge, taxon);
}

bool nniMoveAllowed(const Tree *tree, const TreeNode *x, const TreeNode *u)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    Tree *t = scratchCopy(tree);
    exchangeSubtrees(t, same(t, tree, x), same(t, tree, u));
    return verdict(t);
}

bool tbrMoveAllowed(const Tree *tree, const TreeNode *K, const TreeNode *T, const TreeNode *R)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    Tree *t = scratchCopy(tree);
    // Moving the scratch copy must not change which subtree the search
    // remembers as moved last.
    TreeNode *lastMoved = lastMovedSubtree(tree);
    const int rc = finishRearr_TBR(t, same(t, tree, K), same(t, tree, T), same(t, tree, R), false);
    setLastMovedSubtree(tree, lastMoved);
    return rc == 0 && verdict(t);
}

bool ecrMoveAllowed(const Tree *tree, const RearrObject *hit)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    Tree *t = scratchCopy(tree);
    RearrObject moved = *hit;
    for (TreeNode *&n : moved.node)
        n = same(t, tree, n);
    moved.ecrFirst = same(t, tree, hit->ecrFirst);
    TreeNode *lastMoved = lastMovedSubtree(tree);
    const int rc = finishRearr_ECR(t, &moved, false);
    setLastMovedSubtree(tree, lastMoved);
    return rc == 0 && verdict(t);
}
