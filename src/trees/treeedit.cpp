#include "trees/treeedit.h"
#include "cli/shell_settings.h"

#include <cassert>
#include <cstddef>
#include <cstring>
#include <algorithm>
#include <utility>

#include "qel/qel_errormsg.h"

namespace {

void unlinkChild(TreeNode *child)
{
    childLinkTo(child) = child->nextSib;
    child->nextSib = nullptr;
}

// repl takes old's place among old's siblings; old keeps none of the links.
void replaceInParent(TreeNode *old, TreeNode *repl)
{
    repl->anc = old->anc;
    repl->nextSib = old->nextSib;
    childLinkTo(old) = repl;
    old->anc = old->nextSib = nullptr;
}

bool isOnTree(const Tree *tree, const TreeNode *node)
{
    if (!tree->root)
        return false;
    while (node->anc)
        node = node->anc;
    return node == tree->root;
}

bool isAncestorOrSelf(const TreeNode *a, const TreeNode *node)
{
    for (; node; node = node->anc)
        if (node == a)
            return true;
    return false;
}

bool inArray(const Tree *tree, const TreeNode *node)
{
    return node && node >= tree->nodes && node < tree->nodes + tree->maxNodes;
}

bool isFree(const Tree *tree, const TreeNode *n)
{
    return !n->anc && !n->firstChild && !n->nextSib && n != tree->root;
}

// The basal fork's second slot is lent the root's first slot; when another
// node becomes the basal fork the loan moves with it.
void moveRootSlotLoan(TreeNode *root, TreeNode *from, TreeNode *to)
{
    if (root && root->abm[0] && from->abm[1] == root->abm[0])
        std::swap(from->abm[1], to->abm[1]);
}

bool userLengths()
{
    const TreeDataHooks &h = treeDataHooks();
    return h.mustUseUserBranchLens && h.mustUseUserBranchLens();
}

constexpr size_t kBrlenOffset = offsetof(EdgeData, brlen);

}  // namespace

// ---------------------------------------------------------------------------
// Rerooting

int rerootTree(Tree *tree, TreeNode *node, bool moveEdgeData)
{
    if (!inArray(tree, node) || !isOnTree(tree, node))
        return 1;
    if (node == tree->root)
        return 0;
    if (moveEdgeData) {
        // Each node on the path takes the block its child held, so every
        // edge keeps its data after the reversal.
        EdgeData carried = node->edge;
        for (TreeNode *p = node->anc; p; p = p->anc)
            std::swap(carried, p->edge);
        node->edge.brlen = 0.0;
        node->edge.support = 0.0f;
    }
    TreeNode *cur = node;
    TreeNode *parent = node->anc;
    unlinkChild(node);
    node->anc = nullptr;
    while (parent) {
        TreeNode *grand = parent->anc;
        if (grand)
            unlinkChild(parent);
        parent->nextSib = cur->firstChild;
        cur->firstChild = parent;
        parent->anc = cur;
        cur = parent;
        parent = grand;
    }
    tree->root = node;
    resetABMPtrs(tree);
    afterTreeChange(tree);
    return 0;
}

int rerootAtFirstFork(Tree *tree)
{
    TreeNode *r = tree->root;
    if (!r || !r->firstChild || r->firstChild->nextSib)
        return 1;
    TreeNode *f = r->firstChild;
    r->firstChild = nullptr;
    r->nextSib = f->firstChild;
    f->firstChild = r;
    r->anc = f;
    f->anc = nullptr;
    std::memcpy(reinterpret_cast<char *>(&r->edge) + kBrlenOffset,
                reinterpret_cast<const char *>(&f->edge) + kBrlenOffset, sizeof(EdgeData) - kBrlenOffset);
    tree->root = f;
    afterTreeChange(tree);
    return 0;
}

int rerootAlongInternalEdge(Tree *tree, TreeNode *node, TreeNode *newRoot)
{
    // Only the root's edges can take the new root without cutting the tree
    // above node's parent loose.
    if (!inArray(tree, node) || !inArray(tree, newRoot) || !node->anc || node->anc != tree->root ||
        !isFree(tree, newRoot))
        return 1;
    TreeNode *p = node->anc;
    unlinkChild(node);
    newRoot->firstChild = node;
    node->anc = newRoot;
    node->nextSib = p;
    p->anc = newRoot;
    p->nextSib = nullptr;
    newRoot->anc = nullptr;
    newRoot->edge.brlen = 0.0;
    newRoot->edge.support = 0.0f;
    tree->root = newRoot;
    afterTreeChange(tree);
    return 0;
}

int rerootAtInternalNode(Tree *tree)
{
    TreeNode *r = tree->root;
    if (!r || !r->firstChild || !r->firstChild->nextSib || r->firstChild->nextSib->nextSib)
        return 1;
    TreeNode *a = r->firstChild;
    TreeNode *b = a->nextSib;
    TreeNode *gone = a->firstChild ? a : b->firstChild ? b : nullptr;
    if (!gone)
        return 1;
    TreeNode *other = gone == a ? b : a;
    other->edge.brlen += gone->edge.brlen;
    other->edge.support += gone->edge.support;
    gone->edge.brlen = 0.0;
    gone->edge.support = 0.0f;
    TreeNode *last = gone->firstChild;
    for (TreeNode *c = last; c; c = c->nextSib) {
        c->anc = r;
        last = c;
    }
    if (gone == a) {
        r->firstChild = a->firstChild;
        last->nextSib = b;
    } else {
        a->nextSib = b->firstChild;
    }
    gone->firstChild = gone->nextSib = gone->anc = nullptr;
    afterTreeChange(tree);
    return 0;
}

int derootTree(Tree *tree, TreeNode *tipOrNull, bool keepLengths)
{
    TreeNode *anc = tree->root;
    if (!anc || anc->index >= 0 || !anc->firstChild)
        return 1;
    TreeNode *tip = tipOrNull;
    if (!tip) {
        for (TreeNode *p = anc; p; p = nextPreorderNode(p, anc))
            if (!p->firstChild && p != anc && (!tip || p->index < tip->index))
                tip = p;
    }
    if (!inArray(tree, tip) || tip->firstChild || !isOnTree(tree, tip) || tip == anc)
        return 1;
    TreeNode *top = anc->firstChild->nextSib ? anc : anc->firstChild;
    TreeNode *x = top->firstChild;
    TreeNode *y = x ? x->nextSib : nullptr;
    if (y && !y->nextSib && !y->firstChild && x->firstChild) {
        // Dropping the fork works through the internal one of the two root
        // edges: put it second.
        top->firstChild = y;
        y->nextSib = x;
        x->nextSib = nullptr;
        std::swap(x, y);
    }
    if (y && !y->nextSib && y->firstChild) {
        // Drop the fork above x and y: the two root edges become one.
        x->nextSib = y->firstChild;
        y->firstChild = x;
        x->anc = y;
        if (keepLengths) {
            x->edge.brlen += y->edge.brlen;
            y->edge.brlen = 0.0;
        }
        if (top == anc) {
            anc->firstChild = y;
            y->nextSib = nullptr;
        } else {
            replaceInParent(top, y);
            top->firstChild = nullptr;
        }
    } else if (top == anc) {
        // Several children under the ancestor need a fork of their own.
        TreeNode *hub = findFreeNode(tree);
        if (!hub)
            return 1;
        hub->firstChild = anc->firstChild;
        for (TreeNode *c = hub->firstChild; c; c = c->nextSib)
            c->anc = hub;
        anc->firstChild = hub;
        hub->anc = anc;
        hub->edge.brlen = 0.0;
    }
    TreeNode *newTop = anc->firstChild;
    newTop->anc = nullptr;
    anc->firstChild = nullptr;
    tree->root = newTop;
    rerootTree(tree, tip, true);
    tree->flags &= ~kTreeRootedAtAnc;
    afterLeavesChanged(tree);
    return 0;
}

// ---------------------------------------------------------------------------
// Pruning and grafting

TreeNode *pruneSubtree(TreeNode *node, bool joinLengths)
{
    TreeNode *p = node->anc;
    if (!p)
        return nullptr;
    unlinkChild(node);
    node->anc = nullptr;
    TreeNode *q = p->firstChild;
    if (!q || q->nextSib || !p->anc)
        return nullptr;
    replaceInParent(p, q);
    if (!q->anc->anc)
        moveRootSlotLoan(q->anc, p, q);  // q is the basal fork now
    if (joinLengths)
        q->edge.brlen += p->edge.brlen;
    p->firstChild = nullptr;
    return p;
}

int pruneChildSubtreeOfBasalNode(Tree *tree, TreeNode *node)
{
    TreeNode *basal = getFirstFork(tree);
    if (!basal || basal == tree->root || !inArray(tree, node) || node->anc != basal)
        return 1;
    unlinkChild(node);
    node->anc = nullptr;
    afterTreeChange(tree);
    return 0;
}

int graftSubtreeToEdge(Tree *tree, TreeNode *subtree, TreeNode *node, TreeNode *spareFork)
{
    if (!inArray(tree, subtree) || !inArray(tree, node) || !inArray(tree, spareFork))
        return 1;
    if (subtree->anc || subtree == tree->root || subtree->nextSib || !node->anc || !isOnTree(tree, node) ||
        !isFree(tree, spareFork) || spareFork == subtree || isAncestorOrSelf(subtree, node))
        return 1;
    TreeNode *parent = node->anc;
    replaceInParent(node, spareFork);
    spareFork->firstChild = node;
    node->anc = spareFork;
    node->nextSib = subtree;
    subtree->anc = spareFork;
    subtree->nextSib = nullptr;
    if (parent == tree->root)
        moveRootSlotLoan(parent, node, spareFork);
    afterTreeChange(tree);
    return 0;
}

int binConnectLeaf(TreeNode *leaf, TreeNode *node, TreeNode *fork)
{
    if (leaf->anc || leaf->firstChild || !node->anc || node == leaf || fork->anc || fork->firstChild ||
        fork == leaf || fork == node)
        return 1;
    TreeNode *parent = node->anc;
    replaceInParent(node, fork);
    fork->firstChild = leaf;
    leaf->anc = fork;
    leaf->nextSib = node;
    node->anc = fork;
    node->nextSib = nullptr;

    TreeNode *before = node->prev;
    fork->prev = before;
    if (before)
        before->next = fork;
    else if (!parent->anc)
        parent->next = fork;  // node was the basal fork, which the root precedes
    fork->next = leaf;
    leaf->prev = fork;
    leaf->next = node;
    node->prev = leaf;
    if (!parent->anc)
        moveRootSlotLoan(parent, node, fork);
    return 0;
}

TreeNode *binPruneLeaf(TreeNode *leaf)
{
    TreeNode *fork = leaf->anc;
    if (!fork || fork->firstChild != leaf || !leaf->nextSib || leaf->nextSib->nextSib || !fork->anc)
        return nullptr;
    TreeNode *sib = leaf->nextSib;
    TreeNode *grand = fork->anc;
    replaceInParent(fork, sib);
    TreeNode *before = fork->prev;
    sib->prev = before;
    if (before)
        before->next = sib;
    else if (!grand->anc)
        grand->next = sib;
    if (!grand->anc)
        moveRootSlotLoan(grand, fork, sib);
    fork->firstChild = nullptr;
    fork->next = fork->prev = nullptr;
    leaf->anc = leaf->prev = leaf->nextSib = nullptr;
    leaf->next = nullptr;
    return sib;
}

int contractInternalEdge(Tree *tree, TreeNode *node)
{
    if (!inArray(tree, node) || !node->firstChild || !node->anc)
        return 1;
    TreeNode *parent = node->anc;
    TreeNode *first = node->firstChild;
    TreeNode *last = first;
    for (TreeNode *c = first; c; c = c->nextSib) {
        c->anc = parent;
        last = c;
    }
    last->nextSib = node->nextSib;
    childLinkTo(node) = first;
    if (isTraversalSeqValid(tree)) {
        if (node->prev) {
            node->prev->next = node->next;
            node->next->prev = node->prev;
        } else {
            // The basal fork went: the root now has several children and
            // its children's list links change shape.
            afterTreeChange(tree);
        }
    }
    if (tree->specialNode == node)
        tree->specialNode = first;
    node->firstChild = node->nextSib = node->anc = node->next = node->prev = nullptr;
    tree->flags &= ~kTreeBinary;
    return 0;
}

void induceSubtree(Tree *tree, const uint64_t *taxonBits, bool keep)
{
    bool join = userLengths();
    for (uint32_t p = 1; p <= tree->tipBound; p++) {
        TreeNode *tip = tree->nodes + p;
        if (!tip->anc || tip->firstChild || tip->index < 0)
            continue;
        if (isBitVecMember(taxonBits, static_cast<uint32_t>(tip->index)) == keep)
            pruneSubtree(tip, join);
    }
    afterLeavesChanged(tree);
}

int pruneTipsetFromTree(Tree *tree, const Set *taxonSet, const uint32_t *taxonMap, bool renumber,
                        JoinLengths joinLengths)
{
    TreeNode *root = tree->root;
    if (!root)
        return 1;
    auto mapped = [&](const TreeNode *n) {
        uint32_t t = static_cast<uint32_t>(n->index);
        return taxonMap ? taxonMap[t] : t;
    };
    auto isTipNode = [&](const TreeNode *n) {
        return n->index >= 0 && static_cast<uint32_t>(n->index) < tree->tipBound &&
               (!n->firstChild || n == tree->root);
    };
    bool join = joinLengths == JoinLengths::kAlways || userLengths();
    if (isTipNode(root) && isSetMember(taxonSet, mapped(root))) {
        TreeNode *best = nullptr;
        for (TreeNode *p = root; p; p = nextPreorderNode(p, root))
            if (p != root && !p->firstChild && p->index >= 0 && !isSetMember(taxonSet, mapped(p)) &&
                (!best || mapped(p) < mapped(best)))
                best = p;
        if (!best)
            return 1;  // nothing would be left
        rerootTree(tree, best, true);
        orderTree(tree, kOrderByLowestTaxon, nullptr);
    }
    bool rooted = tree->root->index < 0;
    TreeNode *basal = getFirstFork(tree);
    bool basalZero = rooted && basal && basal != tree->root && basal->edge.brlen == 0.0;
    for (uint32_t p = 1; p <= tree->tipBound; p++) {
        TreeNode *tip = tree->nodes + p;
        if (!tip->anc || tip->firstChild || tip->index < 0 || !isSetMember(taxonSet, mapped(tip)))
            continue;
        pruneSubtree(tip, join);
    }
    if (basalZero) {
        if (TreeNode *b = getFirstFork(tree); b && b != tree->root)
            b->edge.brlen = 0.0;
    }
    if (renumber) {
        // Index minus the number of removed taxa below it; a prefix count
        // over the indices keeps this linear.
        uint32_t n = tree->tipBound;
        uint32_t removedBelow = 0;
        for (uint32_t i = 0; i < n; i++) {
            TreeNode *tip = tree->firstTip + i;
            bool present = tip->anc || tip == tree->root;
            if (present && tip->index >= 0)
                tip->index -= static_cast<int32_t>(removedBelow);
            else if (!present)
                removedBelow++;
        }
    }
    tree->flags &= ~kTreeHasExtras;
    afterLeavesChanged(tree);
    return 0;
}

int dichotomizeTree(Tree *tree, RandomPairFxn randomPair, void *rngState)
{
    TreeNode *root = tree->root;
    if (!root || !randomPair)
        return 1;
    TreeNode *spare = tree->lastNode;
    auto takeSpare = [&]() -> TreeNode * {
        while (spare > tree->firstTip + static_cast<ptrdiff_t>(tree->tipBound) - 1) {
            TreeNode *s = spare--;
            if (isFree(tree, s))
                return s;
        }
        return nullptr;
    };
    // A preorder walk by links: a node is resolved before its children are
    // visited, so the walk never meets an unresolved fork twice.
    TreeNode *top = (root->firstChild && !root->firstChild->nextSib) ? root->firstChild : root;
    for (TreeNode *p = top; p; p = nextPreorderNode(p, top)) {
        uint32_t n = countChildren(p);
        while (n > 2) {
            uint32_t a, b;
            randomPair(rngState, n, &a, &b);
            TreeNode *first = getNthChild(p, a);
            TreeNode *second = getNthChild(p, b);
            TreeNode *fork = takeSpare();
            if (!fork)
                return 1;
            unlinkChild(second);
            second->anc = nullptr;
            replaceInParent(first, fork);
            fork->firstChild = first;
            first->anc = fork;
            first->nextSib = second;
            second->anc = fork;
            fork->edge.brlen = 0.0;
            n--;
        }
    }
    tree->flags |= kTreeBinary;
    afterTreeChange(tree);
    resetABMPtrs(tree);
    return 0;
}

// ---------------------------------------------------------------------------
// Building small trees

int make3Tree(Tree *tree, uint32_t ntax, int32_t root, uint32_t a, uint32_t b)
{
    if (ntax > tree->ntax || ntax < 2 || a >= ntax || b >= ntax || a == b ||
        (root >= 0 && (static_cast<uint32_t>(root) >= ntax || static_cast<uint32_t>(root) == a ||
                       static_cast<uint32_t>(root) == b)))
        return 1;
    initNodes(tree, ntax);
    TreeNode *r = root < 0 ? tree->nodes : tree->firstTip + root;
    TreeNode *f = tree->firstTip + ntax;
    TreeNode *na = tree->firstTip + a;
    TreeNode *nb = tree->firstTip + b;
    r->firstChild = f;
    f->anc = r;
    f->firstChild = na;
    na->anc = nb->anc = f;
    na->nextSib = nb;
    tree->root = r;
    tree->numLeaves = root < 0 ? 2 : 3;
    setTraversalSeq(tree);
    tree->flags = (tree->flags & ~(kTreeRootedAtAnc | kTreeLeafSetsValid)) | kTreeBinary |
                  (root < 0 ? uint32_t{kTreeRootedAtAnc} : 0u);
    resetABMPtrs(tree);
    return 0;
}

int makeStarTree(Tree *tree, uint32_t ntax, bool rooted, uint32_t rootTip, const Set *includedSet)
{
    if (ntax > tree->ntax || ntax == 0)
        return 1;
    initNodes(tree, ntax);
    TreeNode *hub = tree->firstTip + ntax;
    TreeNode *lastChild = nullptr;
    uint32_t leaves = 0;
    for (uint32_t t = 0; t < ntax; t++) {
        if (includedSet && !isSetMember(includedSet, t))
            continue;
        TreeNode *tip = tree->firstTip + t;
        tip->anc = hub;
        if (lastChild)
            lastChild->nextSib = tip;
        else
            hub->firstChild = tip;
        lastChild = tip;
        leaves++;
    }
    if (leaves == 0)
        return 1;
    TreeNode *root;
    if (rooted) {
        root = tree->nodes;
        root->firstChild = hub;
        hub->anc = root;
        tree->flags |= kTreeRootedAtAnc;
    } else {
        root = (rootTip < ntax && tree->firstTip[rootTip].anc == hub) ? tree->firstTip + rootTip : hub->firstChild;
        unlinkChild(root);
        root->anc = nullptr;
        root->firstChild = hub;
        hub->anc = root;
        tree->flags &= ~kTreeRootedAtAnc;
    }
    tree->root = root;
    tree->numLeaves = leaves;
    return 0;
}

// ---------------------------------------------------------------------------
// Queries

TreeNode *findMRCA(Tree *tree, TreeNode *tip, uint32_t taxon)
{
    checkLeafSets(tree);
    for (TreeNode *p = tip->anc; p; p = p->anc)
        if (isBitVecMember(p->leafSet, taxon))
            return p;
    return nullptr;
}

TreeNode *findMRCAforSet(Tree *tree, const Set *set)
{
    uint32_t t = firstOneBit(set->words, set->nwords);
    if (t == kSetEnd || t >= tree->tipBound)
        return nullptr;
    checkLeafSets(tree);
    uint32_t words = tree->wordsPerLeafSet;
    for (TreeNode *p = tree->firstTip[t].anc; p && p->anc; p = p->anc)
        if (bitVecIsSubset(set->words, p->leafSet, words) != 0)
            return p;
    return nullptr;
}

TreeNode *isGroupOnTree(const uint64_t *bits, Tree *tree)
{
    uint32_t words = tree->wordsPerLeafSet;
    uint32_t t = firstOneBit(bits, words);
    if (t == kSetEnd || t >= tree->tipBound)
        return nullptr;
    checkLeafSets(tree);
    for (TreeNode *p = tree->firstTip + t; p && p->anc; p = p->anc) {
        // Leaf sets only grow upward: past a proper superset none can match.
        int sub = bitVecIsSubset(bits, p->leafSet, words);
        if (sub == -1)
            return p;
        if (sub == 1)
            break;
    }
    return nullptr;
}

TreeNode *findLeftSib(const TreeNode *node)
{
    if (!node->anc || node->anc->firstChild == node)
        return nullptr;
    TreeNode *q = node->anc->firstChild;
    while (q->nextSib != node)
        q = q->nextSib;
    return q;
}

TreeNode *&childLinkTo(TreeNode *node)
{
    TreeNode *p = node->anc;
    if (p->firstChild == node)
        return p->firstChild;
    TreeNode *q = p->firstChild;
    while (q->nextSib != node)
        q = q->nextSib;
    return q->nextSib;
}

TreeNode *getFirstFork(const Tree *tree)
{
    TreeNode *r = tree->root;
    if (r && r->firstChild && !r->firstChild->nextSib)
        return r->firstChild;
    return r;
}

TreeNode *getNthChild(const TreeNode *node, uint32_t n)
{
    TreeNode *c = node->firstChild;
    while (c && n--)
        c = c->nextSib;
    return c;
}

uint32_t countChildren(const TreeNode *node)
{
    uint32_t n = 0;
    for (const TreeNode *c = node->firstChild; c; c = c->nextSib)
        n++;
    return n;
}

TreeNode *findOldestChild(const TreeNode *node)
{
    TreeNode *best = node->firstChild;
    for (TreeNode *c = best; c; c = c->nextSib)
        if (c->age > best->age)
            best = c;
    return best;
}

TreeNode *findFreeNode(const Tree *tree) { return findFreeNode(tree, nullptr); }

TreeNode *findFreeNode(const Tree *tree, const TreeNode *from)
{
    const auto first = tree->tipBound + 1;
    const auto at = from ? static_cast<uint32_t>(from - tree->nodes) : first;
    for (uint32_t p = std::max(at, first); p < tree->maxNodes; p++)
        if (isFree(tree, tree->nodes + p))
            return tree->nodes + p;
    return nullptr;
}

bool isDegreeTwoRoot(const TreeNode *node)
{
    return !node->anc && node->firstChild && node->firstChild->nextSib && !node->firstChild->nextSib->nextSib;
}

TreeNode *findUnrootedParent(const Tree *tree, const TreeNode *node, int *flagOut)
{
    int flag = 0;
    TreeNode *result = node->anc;
    if (node == tree->rootEdgeNode[0] && tree->rootEdgeNode[1]) {
        result = tree->rootEdgeNode[1];
        flag = 1;
    } else if (node == tree->rootEdgeNode[1] && tree->rootEdgeNode[0]) {
        result = tree->rootEdgeNode[0];
        flag = 1;
    }
    if (flagOut)
        *flagOut = flag;
    return result;
}

uint32_t countEdges(Tree *tree)
{
    checkTraversalSeq(tree);
    uint32_t n = 0;
    for (TreeNode *p = tree->tail; p; p = p->prev)
        n += p != tree->root;
    tree->numEdges = n;
    return n;
}

uint32_t countInternalNodes(Tree *tree)
{
    checkTraversalSeq(tree);
    uint32_t n = 0;
    for (TreeNode *p = tree->tail; p; p = p->prev)
        n += p->firstChild != nullptr;
    return n;
}

uint32_t countInternalEdges(Tree *tree)
{
    checkTraversalSeq(tree);
    TreeNode *basal = getFirstFork(tree);
    uint32_t n = 0;
    for (TreeNode *p = tree->tail; p; p = p->prev)
        n += p->firstChild && p != tree->root && p != basal;
    return n;
}

uint32_t longestLabelOnTree(Tree *tree, const DataInfo *data, uint32_t limit)
{
    uint32_t longest = 0;
    for (TreeNode *p = tree->root; p; p = nextPreorderNode(p, tree->root)) {
        if (p->index < 0 || static_cast<uint32_t>(p->index) >= tree->tipBound)
            continue;
        auto len = static_cast<uint32_t>(std::strlen(taxLabelForTip(data, p)));
        if (len > longest)
            longest = len;
    }
    return (limit && longest > limit) ? limit : longest;
}

TreeNode *findTreeCentroid(Tree *tree)
{
    // The centroid is the fork whose removal leaves the smallest largest
    // piece: its child clades and the n - s leaves above it. (A key that
    // adds up the children's keys grows toward the root on every tree and
    // would always pick the basal fork.)
    checkLeafSets(tree);
    uint32_t n = countLeaves(tree);
    uint32_t words = tree->wordsPerLeafSet;
    TreeNode *best = nullptr;
    uint32_t bestPiece = 0xFFFFFFFFu;
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        if (!p->firstChild)
            continue;
        uint32_t s = countOneBits(p->leafSet, words);
        uint32_t piece = n > s ? n - s : 0;
        for (TreeNode *c = p->firstChild; c; c = c->nextSib) {
            uint32_t cs = c->firstChild ? countOneBits(c->leafSet, words) : 1;
            piece = cs > piece ? cs : piece;
        }
        if (piece < bestPiece) {
            bestPiece = piece;
            best = p;
        }
    }
    return best;
}

// ---------------------------------------------------------------------------
// Branch lengths and ages

void setBranchLengthsToValue(Tree *tree, double v)
{
    for (TreeNode *p = tree->root; p; p = nextPreorderNode(p, tree->root))
        if (p != tree->root)
            p->edge.brlen = v;
}

void zeroAllBranchLengths(Tree *tree)
{
    for (uint32_t i = 0; i < tree->maxNodes; i++) {
        EdgeData &e = tree->nodes[i].edge;
        e.brlen = e.dbl1 = e.dbl2 = 0.0;
    }
}

double sumBranchLens(Tree *tree, bool includeBasal)
{
    checkTraversalSeq(tree);
    TreeNode *basal = getFirstFork(tree);
    if (!basal)
        return 0.0;
    double sum = 0.0;
    for (TreeNode *p = includeBasal ? basal : basal->next; p; p = p->next)
        sum += p->edge.brlen;
    return sum;
}

void saveAllBranchLengths(Tree *tree, double *array)
{
    checkTraversalSeq(tree);
    uint32_t k = 0;
    for (TreeNode *p = getFirstFork(tree); p; p = p->next) {
        if (array)
            array[k++] = p->edge.brlen;
        else
            p->edge.savedBrlen = p->edge.brlen;
    }
}

void restoreAllBranchLengths(Tree *tree, const double *array)
{
    checkTraversalSeq(tree);
    uint32_t k = 0;
    for (TreeNode *p = getFirstFork(tree); p; p = p->next)
        p->edge.brlen = array ? array[k++] : p->edge.savedBrlen;
}

void rescaleTree(Tree *tree, double factor)
{
    if (factor < 0.0) {
        double total = sumBranchLens(tree, true);
        if (total <= 0.0)
            return;  // nothing to scale to unit length
        factor = 1.0 / total;
    }
    for (TreeNode *p = tree->root; p; p = nextPreorderNode(p, tree->root))
        if (p != tree->root)
            p->edge.brlen *= factor;
}

void setNodeAgesFromBrlens(Tree *tree)
{
    checkTraversalSeq(tree);
    for (TreeNode *p = tree->tail; p; p = p->prev)
        p->age = p->firstChild ? p->firstChild->age + p->firstChild->edge.brlen : 0.0;
}

void setBrlensFromNodeAges(Tree *tree, double scale)
{
    checkTraversalSeq(tree);
    TreeNode *basal = getFirstFork(tree);
    if (!basal)
        return;
    basal->age *= scale;
    basal->edge.brlen = 0.0;
    for (TreeNode *p = basal->next; p; p = p->next) {
        p->age *= scale;
        p->edge.brlen = p->anc->age - p->age;
    }
}

void scaleNodeAges(Tree *tree, double factor)
{
    for (TreeNode *p = tree->root; p; p = nextPreorderNode(p, tree->root))
        if (p->firstChild)
            p->age *= factor;
}

int compareNodeAges(const void *a, const void *b)
{
    double x = (*static_cast<TreeNode *const *>(a))->age;
    double y = (*static_cast<TreeNode *const *>(b))->age;
    return (x > y) - (x < y);
}

void sortInternalNodesByDepth(uint32_t count, TreeNode **nodes)
{
    std::stable_sort(nodes, nodes + count, [](const TreeNode *a, const TreeNode *b) { return a->age < b->age; });
}

// ---------------------------------------------------------------------------
// Other

bool verifyReplaceTrees()
{
    const TreeDataHooks &h = treeDataHooks();
    if (!h.checkUnsavedTrees)
        return true;
    // warnTree guards the trees in memory against replacement; warnTSave
    // is the question Quit asks about the same trees.
    return h.checkUnsavedTrees(wrng.warnTree != 0,
                               "Warning.  Current trees have not been saved.  Do you want to proceed anyway?");
}

void listTree(Tree *tree)
{
    if (!tree->root) {
        qel_printf("(empty tree)\n");
        return;
    }
    for (TreeNode *p = tree->root; p; p = nextPreorderNode(p, tree->root))
        qel_printf("pos %u idx %d anc %d child %d sib %d len %g\n", nodePosition(tree, p), p->index,
                   nodeDex(p->anc), nodeDex(p->firstChild), nodeDex(p->nextSib), p->edge.brlen);
}
