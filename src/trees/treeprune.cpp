#include "trees/treeprune.h"

#include <memory>
#include <vector>

#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"

namespace {

bool isLeaf(const Tree *tree, const TreeNode *n)
{
    return n->index >= 0 && (!n->firstChild || n == tree->root);
}

}  // namespace

PruneResult pruneTreeIntoBuffer(TreeBuffer *from, uint32_t slot, TreeBuffer *to, const Set *deleted,
                                const uint32_t *activeToOriginal, bool condense)
{
    if (!from || !to || !deleted || slot >= from->numTrees)
        return PruneResult::kFailed;
    const uint32_t ntax = from->ntax;

    // The new number of every old tip number (-1 for a deleted taxon): the
    // count of remaining taxa before it.
    std::vector<int32_t> renumbered(ntax, -1);
    int32_t remaining = 0;
    for (uint32_t t = 0; t < ntax; ++t)
        if (!isSetMember(deleted, activeToOriginal ? activeToOriginal[t] : t))
            renumbered[t] = remaining++;
    if (static_cast<uint32_t>(remaining) > to->ntax)
        return PruneResult::kFailed;

    TreeHandle tree(createTreeForTaxa(ntax, ntax, false));
    if (!tree || getTree(from, slot + 1, tree.get()) != 0)
        return PruneResult::kFailed;
    TreeNode *root = tree->root;
    uint32_t kept = 0;
    for (TreeNode *p = root; p; p = nextPreorderNode(p, root))
        if (isLeaf(tree.get(), p) && static_cast<uint32_t>(p->index) < ntax && renumbered[p->index] >= 0)
            ++kept;
    const bool rooted = (tree->flags & kTreeRootedAtAnc) != 0;
    if (kept < (rooted ? 2u : 3u))
        return PruneResult::kDropped;

    const double *lengths = getBranchLensArray(from, slot);
    // A tree that carries lengths keeps the distances between its remaining
    // leaves, whatever the analyses' setting.
    if (pruneTipsetFromTree(tree.get(), deleted, activeToOriginal, false,
                            lengths ? JoinLengths::kAlways : JoinLengths::kAsSettings) != 0)
        return PruneResult::kFailed;
    root = tree->root;
    TreeNode *lowest = nullptr;
    for (TreeNode *p = root; p; p = nextPreorderNode(p, root)) {
        if (!isLeaf(tree.get(), p))
            continue;
        if (static_cast<uint32_t>(p->index) >= ntax || renumbered[p->index] < 0)
            return PruneResult::kFailed;  // a deleted tip survived
        p->index = renumbered[p->index];
        if (!lowest || p->index < lowest->index)
            lowest = p;
    }
    // An unrooted tree is held at its lowest tip, so that one topology has
    // one encoding and duplicates are recognised.
    if (!rooted && lowest && lowest != tree->root && rerootTree(tree.get(), lowest, true) != 0)
        return PruneResult::kFailed;
    tree->tipBound = to->ntax;
    tree->numLeaves = kept;
    afterLeavesChanged(tree.get());

    const uint32_t result = putTree(tree.get(), to, condense);
    if (isPutTreeFull(result))
        return PruneResult::kFailed;
    const double *weights = getTreeWtBuf(from);
    if (result == kPutTreeDuplicate) {
        const uint32_t match = getMatchingTree(to);
        if (weights && (match == 0 || incrementTreeWt(to, match - 1, weights[slot]) != 0))
            return PruneResult::kFailed;
        return PruneResult::kDuplicate;
    }
    const uint32_t stored = result - 1;
    bool ok = true;
    if (lengths)
        ok = storeBranchLengths(to, tree.get(), stored, true, getMaxBranchLenDecimals(from)) == 0;
    if (ok && weights)
        ok = storeTreeWt(to, stored, weights[slot]) == 0;
    if (ok && haveTreeNames(from)) {
        const std::string name = getTreeName(from, slot + 1);
        if (!name.empty())
            ok = storeTreeName(to, name.c_str(), stored) == 0;
    }
    if (!ok) {
        decrementNumTrees(to);
        return PruneResult::kFailed;
    }
    return PruneResult::kStored;
}
