#include "trees/collapse.h"

#include <vector>

#include "trees/treeedit.h"
#include "trees/treeutil.h"

void clearKeepFlags(Tree *tree)
{
    for (uint32_t p = 0; p < tree->maxNodes; p++)
        tree->nodes[p].flag &= static_cast<uint8_t>(~kNodeKeepEdge);
}

uint32_t contractUnkeptEdges(Tree *tree)
{
    TreeNode *root = tree->root;
    if (!root || !root->firstChild) {
        clearKeepFlags(tree);
        return 0;
    }
    // Contracting edits the child lists the walk follows, so the nodes to go
    // are listed first; contracting one never changes whether another goes.
    TreeNode *basal = root->firstChild;
    std::vector<TreeNode *> doomed;
    for (TreeNode *n = nextPreorderNode(basal, basal); n; n = nextPreorderNode(n, basal))
        if (n->firstChild && !(n->flag & kNodeKeepEdge))
            doomed.push_back(n);
    uint32_t contracted = 0;
    for (TreeNode *n : doomed)
        contracted += contractInternalEdge(tree, n) == 0;
    if (contracted) {
        afterTreeChange(tree);
        setTraversalSeq(tree);
        determineIfTreeIsBinary(tree);
    }
    clearKeepFlags(tree);
    return contracted;
}
