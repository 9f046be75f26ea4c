#include <algorithm>

#include "quartets/qmethods.h"
#include "quartets/quartets.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

void QGraph::unlink(uint32_t a, uint32_t b)
{
    auto drop = [](std::vector<uint32_t> &v, uint32_t x) {
        auto it = std::find(v.begin(), v.end(), x);
        if (it != v.end())
            v.erase(it);
    };
    drop(adj[a], b);
    drop(adj[b], a);
}

namespace {

struct Layout {
    Tree *tree;
    const QGraph &g;
    uint32_t nextInner;
    bool failed = false;

    // The subtree of graph node v seen from its neighbour `from`.
    TreeNode *make(uint32_t v, uint32_t from)
    {
        if (g.taxon[v] >= 0) {
            if (static_cast<uint32_t>(g.taxon[v]) >= tree->tipBound) {
                failed = true;
                return nullptr;
            }
            return tree->firstTip + g.taxon[v];
        }
        std::vector<TreeNode *> kids;
        for (uint32_t u : g.adj[v])
            if (u != from) {
                TreeNode *c = make(u, v);
                if (!c)
                    return nullptr;
                kids.push_back(c);
            }
        if (kids.empty()) {
            failed = true;
            return nullptr;
        }
        if (kids.size() == 1)
            return kids[0];
        if (nextInner >= tree->maxNodes) {
            failed = true;
            return nullptr;
        }
        TreeNode *node = tree->nodes + nextInner++;
        TreeNode *last = nullptr;
        for (TreeNode *c : kids) {
            c->anc = node;
            (last ? last->nextSib : node->firstChild) = c;
            last = c;
        }
        return node;
    }
};

void finishTree(Tree *tree, TreeNode *root, TreeNode *fork, uint32_t leaves, bool rooted = false)
{
    root->firstChild = fork;
    fork->anc = root;
    tree->root = root;
    tree->numLeaves = leaves;
    tree->flags = rooted ? (tree->flags | kTreeRootedAtAnc) : (tree->flags & ~kTreeRootedAtAnc);
    afterLeavesChanged(tree);
    setTraversalSeq(tree);
    determineIfTreeIsBinary(tree);
    resetABMPtrs(tree);
}

}  // namespace

int buildTreeFromGraph(Tree *tree, uint32_t ntax, const QGraph &g, uint32_t rootTaxon)
{
    if (initNodes(tree, ntax) != 0)
        return 1;
    uint32_t rootLeaf = UINT32_MAX;
    for (uint32_t v = 0; v < g.taxon.size(); v++)
        if (g.taxon[v] == static_cast<int32_t>(rootTaxon) && g.adj[v].size() == 1)
            rootLeaf = v;
    if (rootLeaf == UINT32_MAX)
        return 1;
    Layout layout{tree, g, ntax + 1};
    TreeNode *fork = layout.make(g.adj[rootLeaf][0], rootLeaf);
    if (!fork || layout.failed || !fork->firstChild)
        return 1;
    finishTree(tree, tree->firstTip + rootTaxon, fork, ntax);
    return 0;
}

int make4TreeForQuartets(Tree *tree, uint32_t ntax, int32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    if (initNodes(tree, ntax) != 0)
        return 1;
    TreeNode *tip = tree->firstTip;
    TreeNode *f1 = tree->nodes + ntax + 1, *f2 = tree->nodes + ntax + 2;
    f1->firstChild = tip + b;
    tip[b].anc = f1;
    tip[b].nextSib = f2;
    f2->anc = f1;
    f2->firstChild = tip + c;
    tip[c].anc = tip[d].anc = f2;
    tip[c].nextSib = tip + d;
    if (a < 0)
        finishTree(tree, tree->nodes, f1, 3, true);
    else
        finishTree(tree, tip + a, f1, 4);
    return 0;
}
