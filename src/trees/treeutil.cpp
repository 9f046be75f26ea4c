#include "trees/treeutil.h"

#include <atomic>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"

namespace {

TreeDataHooks gHooks{};
Tree *gPrimaryTree = nullptr;
std::atomic<uint64_t> gLastTreeSerial{0};

void freeExtras(Tree *tree)
{
    tree->slots = static_cast<StateSetSlot *>(deallocArray(tree->slots));
    tree->leafSets = deallocSetFamily(tree->leafSets);
    tree->includedTaxa = deallocSet(tree->includedTaxa);
    if (tree->conData && gHooks.destroyConData)
        tree->conData = gHooks.destroyConData(tree->conData);
    tree->displacedSlot = nullptr;
}

int32_t signedKey(const TreeNode *n) { return static_cast<int32_t>(n->edge.key); }

bool keyLess(const TreeNode *a, const TreeNode *b, int mode, const DataInfo *data)
{
    if (mode == kOrderAlpha && gHooks.taxonLabel) {
        const char *la = gHooks.taxonLabel(data, a->edge.key);
        const char *lb = gHooks.taxonLabel(data, b->edge.key);
        return stricmp(la ? la : "", lb ? lb : "") < 0;
    }
    return signedKey(a) < signedKey(b);
}

// Stable selection sort of a sibling list: the first minimum of the rest is
// moved to the front each time, so equal keys keep their order.
void sortChildren(TreeNode *parent, int mode, const DataInfo *data)
{
    TreeNode *rest = parent->firstChild;
    TreeNode *head = nullptr;
    TreeNode **tailLink = &head;
    while (rest) {
        TreeNode **minLink = &rest;
        for (TreeNode **link = &rest->nextSib; *link; link = &(*link)->nextSib)
            if (keyLess(*link, *minLink, mode, data))
                minLink = link;
        TreeNode *m = *minLink;
        *minLink = m->nextSib;
        m->nextSib = nullptr;
        *tailLink = m;
        tailLink = &m->nextSib;
    }
    parent->firstChild = head;
}

void setNodeKey(TreeNode *node, int mode)
{
    if (isTip(node)) {
        node->edge.key = (mode == kOrderSmallFirst) ? 1u
                         : (mode == kOrderLargeFirst) ? static_cast<uint32_t>(-1)
                                                      : static_cast<uint32_t>(node->index);
        return;
    }
    if (mode == kOrderSmallFirst || mode == kOrderLargeFirst) {
        int32_t sum = 0;
        for (TreeNode *c = node->firstChild; c; c = c->nextSib)
            sum += signedKey(c);
        node->edge.key = static_cast<uint32_t>(sum);
    } else {
        node->edge.key = node->firstChild->edge.key;
    }
}

}  // namespace

void setTreeDataHooks(const TreeDataHooks *hooks) { gHooks = hooks ? *hooks : TreeDataHooks{}; }
const TreeDataHooks &treeDataHooks() { return gHooks; }

// ---------------------------------------------------------------------------
// Creation, copying, destruction

int initTreeForTaxa(Tree *tree, uint32_t ntax, uint32_t activeTaxa, bool withExtras)
{
    if (ntax == 0 || ntax > kMaxTreeTaxa || activeTaxa > ntax)
        return 1;
    uint32_t maxNodes = maxNumNodes(ntax);
    tree->ntax = ntax;
    tree->activeTaxa = activeTaxa;
    tree->maxNodes = maxNodes;
    tree->serial = ++gLastTreeSerial;
    tree->nodes = allocArrayOf<TreeNode>(maxNodes);
    if (!tree->nodes)
        return 1;
    tree->firstTip = tree->nodes + 1;
    tree->lastNode = tree->nodes + 2 * ntax;
    if (withExtras) {
        tree->leafSets = allocSetFamily(maxNodes, ntax);
        tree->includedTaxa = allocSet(ntax);
        tree->slots = allocArrayOf<StateSetSlot>(uint64_t{3} * maxNodes);
        if (!tree->leafSets || !tree->includedTaxa || !tree->slots) {
            freeExtras(tree);
            tree->nodes = static_cast<TreeNode *>(deallocArray(tree->nodes));
            return 1;
        }
    }
    initNodes(tree, ntax);
    if (withExtras)
        tree->flags |= kTreeHasExtras;
    return memoryErrorHasOccurred() ? 1 : 0;
}

int initTree(Tree *tree, bool withExtras)
{
    DataInfo *data = gHooks.activeData ? gHooks.activeData() : nullptr;
    if (!data || !gHooks.numTaxa)
        return 1;
    uint32_t ntax = gHooks.numTaxa(data);
    uint32_t active = gHooks.numActiveTaxa ? gHooks.numActiveTaxa(data) : ntax;
    return initTreeForTaxa(tree, ntax, active, withExtras);
}

Tree *createTreeForTaxa(uint32_t ntax, uint32_t activeTaxa, bool withExtras)
{
    auto *tree = static_cast<Tree *>(allocBlock(sizeof(Tree)));
    if (tree && initTreeForTaxa(tree, ntax, activeTaxa, withExtras) != 0)
        tree = destroyTree(tree, true);
    return tree;
}

Tree *createTree(bool withExtras)
{
    auto *tree = static_cast<Tree *>(allocBlock(sizeof(Tree)));
    if (tree && initTree(tree, withExtras) != 0)
        tree = destroyTree(tree, true);
    return tree;
}

int createOrDestroyTree(Tree *tree, bool create)
{
    if (create)
        return initTree(tree, false);
    tree->nodes = static_cast<TreeNode *>(deallocArray(tree->nodes));
    tree->root = tree->tail = tree->firstTip = tree->lastNode = tree->specialNode = nullptr;
    return 0;
}

int initNodes(Tree *tree, uint32_t ntax)
{
    if (ntax > tree->ntax || !tree->nodes)
        return 1;
    uint32_t words = setWordCount(ntax);
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        TreeNode *n = tree->nodes + p;
        n->edge.key = 0;
        n->edge.word1 = n->edge.word2 = 0;
        // Nodes start with no length: one left from the tree they held
        // before was taken for this tree's, as on the root's edge, which no
        // criterion fits and which is joined back in when an unrooted tree
        // is written.
        n->edge.brlen = 0.0;
        n->firstChild = n->nextSib = n->anc = n->next = n->prev = nullptr;
        n->index = static_cast<int32_t>(p) - 1;
        if (tree->leafSets) {
            n->leafSet = tree->leafSets->rows[p];
            if (p >= 1 && p <= ntax)
                setSingletonBitVec(n->leafSet, p - 1, tree->leafSets->nwords);
            else
                zeroBitVec(n->leafSet, tree->leafSets->nwords);
        } else {
            n->leafSet = nullptr;
        }
        for (uint32_t k = 0; k < 3; k++)
            n->abm[k] = tree->slots ? tree->slots + 3 * p + k : nullptr;
    }
    tree->displacedSlot = nullptr;
    tree->root = tree->tail = tree->specialNode = nullptr;
    tree->numLeaves = 0;
    tree->tipBound = ntax;
    tree->wordsPerLeafSet = words;
    tree->flags &= ~(kTreeHasExtras | kTreeTraversalValid | kTreeLeafSetsValid | kTreeIncludedValid);
    if (gHooks.forgetLastTreeOptimized)
        gHooks.forgetLastTreeOptimized();
    return 0;
}

Tree *destroyTree(Tree *tree, bool freeExtrasToo)
{
    if (!tree)
        return nullptr;
    if (gPrimaryTree == tree)
        gPrimaryTree = nullptr;
    if (freeExtrasToo)
        freeExtras(tree);
    deallocArray(tree->nodes);
    deallocBlock(tree);
    return nullptr;
}

int copyTree(const Tree *src, Tree *dst)
{
    if (!src || !dst || src == dst || src->maxNodes != dst->maxNodes || !src->nodes || !dst->nodes)
        return 1;
    initNodes(dst, src->tipBound);
    auto relocate = [&](const TreeNode *n) -> TreeNode * {
        return n ? dst->nodes + (n - src->nodes) : nullptr;
    };
    for (uint32_t p = 0; p < src->maxNodes; p++) {
        const TreeNode *s = src->nodes + p;
        TreeNode *d = dst->nodes + p;
        d->edge = s->edge;
        d->firstChild = relocate(s->firstChild);
        d->nextSib = relocate(s->nextSib);
        d->anc = relocate(s->anc);
        // Indices and ages are copied too, so that a relabelled or renumbered
        // tree stays the same tree in its copy.
        d->index = s->index;
        d->age = s->age;
    }
    dst->root = relocate(src->root);
    dst->specialNode = relocate(src->specialNode);
    dst->rootEdgeNode[0] = relocate(src->rootEdgeNode[0]);
    dst->rootEdgeNode[1] = relocate(src->rootEdgeNode[1]);
    dst->rootEdgeLen[0] = src->rootEdgeLen[0];
    dst->rootEdgeLen[1] = src->rootEdgeLen[1];
    dst->score[0] = src->score[0];
    dst->score[1] = src->score[1];
    dst->numLeaves = src->numLeaves;
    dst->flags = src->flags & ~(kTreeTraversalValid | kTreeLeafSetsValid | kTreeIncludedValid);
    return 0;
}

Tree *shallowCopyTree(const Tree *src, Tree *dst)
{
    if (!src)
        return nullptr;
    if (!dst) {
        dst = createTreeForTaxa(src->ntax, src->activeTaxa, false);
        if (!dst)
            return nullptr;
    } else if (dst->maxNodes != src->maxNodes || !dst->nodes) {
        return nullptr;
    }
    TreeNode *own = dst->nodes;
    const uint64_t serial = dst->serial;
    std::memcpy(own, src->nodes, sizeof(TreeNode) * src->maxNodes);
    *dst = *src;
    dst->nodes = own;
    dst->serial = serial;
    dst->firstTip = own + 1;
    dst->lastNode = own + 2 * src->ntax;
    // The extras belong to src: a snapshot is destroyed without them.
    dst->flags &= ~kTreeHasExtras;
    return dst;
}

void setPrimaryTree(Tree *tree) { gPrimaryTree = tree; }
Tree *getPrimaryTree() { return gPrimaryTree; }

// ---------------------------------------------------------------------------
// Node access and naming

TreeNode *nodeAtPosition(const Tree *tree, uint32_t position)
{
    assert(position < tree->maxNodes);
    return tree->nodes + position;
}

TreeNode *nodeOfIndex(const Tree *tree, int32_t index)
{
    assert(index >= -1 && index + 1 < static_cast<int64_t>(tree->maxNodes));
    return tree->firstTip + index;
}

int32_t nodeDex(const TreeNode *node) { return node ? node->index : -9; }

uint32_t nodeNum(const TreeNode *node, const Tree *tree)
{
    uint32_t n = static_cast<uint32_t>(node->index + 1);
    return (n <= tree->tipBound) ? n : n + (tree->activeTaxa - tree->tipBound);
}

uint32_t origNodeNum(const TreeNode *node, const Tree *tree, const DataInfo *data)
{
    if (node->index >= 0 && static_cast<uint32_t>(node->index) < tree->tipBound) {
        uint32_t t = static_cast<uint32_t>(node->index);
        return 1 + (gHooks.origTaxonNum ? gHooks.origTaxonNum(data, t) : t);
    }
    return nodeNum(node, tree);
}

const char *taxLabelForTip(const DataInfo *data, const TreeNode *node)
{
    if (!gHooks.taxonLabel || !node || node->index < 0)
        return "";
    const char *s = gHooks.taxonLabel(data, static_cast<uint32_t>(node->index));
    return s ? s : "";
}

char *nodeLabel(const TreeNode *node, const Tree *tree, const DataInfo *data, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    if (node->index < 0)
        strcpy_n(buffer, "root", size);
    else if (static_cast<uint32_t>(node->index) < tree->tipBound)
        strcpy_n(buffer, taxLabelForTip(data, node), size);
    else
        std::snprintf(buffer, size, "node_%u", nodeNum(node, tree));
    return buffer;
}

// ---------------------------------------------------------------------------
// Walks

TreeNode *nextPreorderNode(const TreeNode *node, const TreeNode *top)
{
    if (node->firstChild)
        return node->firstChild;
    while (node != top) {
        if (node->nextSib)
            return node->nextSib;
        node = node->anc;
    }
    return nullptr;
}

TreeNode *firstPostorderNode(TreeNode *top)
{
    while (top->firstChild)
        top = top->firstChild;
    return top;
}

TreeNode *nextPostorderNode(const TreeNode *node, const TreeNode *top)
{
    if (node == top)
        return nullptr;
    if (node->nextSib)
        return firstPostorderNode(node->nextSib);
    return node->anc;
}

void setTraversalSeq(Tree *tree)
{
    TreeNode *root = tree->root;
    if (!root) {
        tree->tail = nullptr;
        tree->flags |= kTreeTraversalValid;
        return;
    }
    TreeNode *prev = nullptr;
    for (TreeNode *p = root; p; p = nextPreorderNode(p, root)) {
        p->prev = prev;
        if (prev)
            prev->next = p;
        prev = p;
    }
    prev->next = nullptr;
    tree->tail = prev;
    // A backward walk must end at the basal fork and never reach the root.
    if (root->firstChild && !root->firstChild->nextSib)
        root->firstChild->prev = nullptr;
    tree->flags |= kTreeTraversalValid;
}

uint32_t loadPreorderNodes(Tree *tree, TreeNode **out)
{
    checkTraversalSeq(tree);
    uint32_t k = 0;
    for (TreeNode *p = tree->root; p; p = p->next)
        out[k++] = p;
    return k;
}

uint32_t loadPostorderNodes(Tree *tree, TreeNode **out)
{
    checkTraversalSeq(tree);
    uint32_t k = 0;
    for (TreeNode *p = tree->tail; p; p = p->prev)
        out[k++] = p;
    return k;
}

int determineIfTreeIsBinary(Tree *tree)
{
    checkTraversalSeq(tree);
    TreeNode *start = tree->root;
    bool binary = start != nullptr;
    if (start && start->firstChild && !start->firstChild->nextSib)
        start = start->firstChild;
    for (TreeNode *p = start; p && binary; p = p->next)
        if (p->firstChild && (!p->firstChild->nextSib || p->firstChild->nextSib->nextSib))
            binary = false;
    if (binary)
        tree->flags |= kTreeBinary;
    else
        tree->flags &= ~kTreeBinary;
    return binary ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Leaf sets

void makeLeafSetFromChildren(TreeNode *node, uint32_t words)
{
    uint64_t *set = node->leafSet;
    TreeNode *c = node->firstChild;
    if (!c) {
        zeroBitVec(set, words);
        return;
    }
    copyBitVec(c->leafSet, set, words);
    for (c = c->nextSib; c; c = c->nextSib) {
        const uint64_t *s = c->leafSet;
        for (uint32_t i = 0; i < words; i++)
            set[i] |= s[i];
    }
}

uint32_t makeAllLeafSets(Tree *tree)
{
    assert(tree->leafSets);
    checkTraversalSeq(tree);
    uint32_t words = tree->wordsPerLeafSet;
    uint32_t tips = 0;
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        if (p->firstChild)
            makeLeafSetFromChildren(p, words);
        else
            tips++;
    }
    tree->flags |= kTreeLeafSetsValid;
    const TreeNode *r = tree->root;
    // The tip at the root is not on the backward walk.
    if (r && r->index >= 0 && static_cast<uint32_t>(r->index) < tree->tipBound)
        tips++;
    return tips;
}

void addNewLeafToLeafsets(Tree *tree, TreeNode *leaf)
{
    TreeNode *fork = leaf->anc;
    TreeNode *sib = fork->firstChild == leaf ? leaf->nextSib : fork->firstChild;
    uint32_t words = tree->wordsPerLeafSet;
    uint32_t t = static_cast<uint32_t>(leaf->index);
    copyBitVec(sib->leafSet, fork->leafSet, words);
    addBitVecMember(fork->leafSet, t);
    for (TreeNode *p = fork->anc; p && p->anc; p = p->anc)
        addBitVecMember(p->leafSet, t);
}

void removeLeafFromLeafSets(TreeNode *leaf)
{
    uint32_t t = static_cast<uint32_t>(leaf->index);
    for (TreeNode *p = leaf->anc; p && p->anc; p = p->anc)
        removeBitVecMember(p->leafSet, t);
}

bool isTaxInLeafSet(int32_t taxon, bool valueForAncestor, const uint64_t *set)
{
    if (taxon < 0)
        return valueForAncestor;
    if (!set)
        return true;
    return isBitVecMember(set, static_cast<uint32_t>(taxon));
}

uint32_t countLeaves(Tree *tree)
{
    TreeNode *r = tree->root;
    if (!r)
        return 0;
    checkTraversalSeq(tree);
    uint32_t n = 0;
    for (TreeNode *p = tree->tail; p; p = p->prev)
        n += p->firstChild == nullptr;
    if (!r->anc && r->firstChild && !r->firstChild->nextSib && r->index >= 0)
        n++;
    return n;
}

void setIncludedLeaves(Tree *tree)
{
    Set *inc = tree->includedTaxa;
    assert(inc);
    clearSet(inc);
    TreeNode *r = tree->root;
    if (r) {
        checkTraversalSeq(tree);
        if (r->index >= 0 && static_cast<uint32_t>(r->index) < tree->ntax)
            addSetMember(inc, static_cast<uint32_t>(r->index));
        for (TreeNode *p = r->next; p; p = p->next)
            if (!p->firstChild || !p->firstChild->nextSib)
                if (p->index >= 0 && static_cast<uint32_t>(p->index) < tree->ntax)
                    addSetMember(inc, static_cast<uint32_t>(p->index));
    }
    tree->flags |= kTreeIncludedValid;
}

void checkIncludedLeaves(Tree *tree)
{
    if (!(tree->flags & kTreeIncludedValid))
        setIncludedLeaves(tree);
}

bool didLeafSetChange(Tree *tree, const Set *set)
{
    checkIncludedLeaves(tree);
    return !areSetsEqual(tree->includedTaxa, set);
}

int verifyFullLeafSet(Tree *tree, uint32_t number, const char *suffix)
{
    checkIncludedLeaves(tree);
    if (isSetFull(tree->includedTaxa, tree->tipBound))
        return 0;
    qel_errorMsg(0, "One or more taxa missing from tree %d%s.", number, suffix ? suffix : "");
    return 1;
}

// ---------------------------------------------------------------------------
// State-set slots

void initABMSetPtrs(Tree *tree, void *packed)
{
    if (!tree->slots)
        return;
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        TreeNode *n = tree->nodes + p;
        for (uint32_t k = 0; k < 3; k++) {
            StateSetSlot *slot = tree->slots + 3 * p + k;
            n->abm[k] = slot;
            if (packed && gHooks.packedNodeRecord)
                slot->states = gHooks.packedNodeRecord(packed, k, p);
        }
    }
    tree->displacedSlot = nullptr;
}

void resetABMPtrs(Tree *tree)
{
    if (!tree->slots)
        return;
    initABMSetPtrs(tree, gHooks.activePackedData ? gHooks.activePackedData() : nullptr);
    TreeNode *r = tree->root;
    if (r && r->firstChild && !r->firstChild->nextSib) {
        TreeNode *basal = r->firstChild;
        tree->displacedSlot = basal->abm[1];
        basal->abm[1] = r->abm[0];
    }
}

// ---------------------------------------------------------------------------
// Canonical form

void orderTree(Tree *tree, int mode, const DataInfo *data)
{
    TreeNode *root = tree->root;
    if (!root)
        return;
    // Postorder by links: the preorder list may be stale while we reorder.
    for (TreeNode *p = firstPostorderNode(root); p; p = nextPostorderNode(p, root)) {
        if (p->firstChild)
            sortChildren(p, mode, data);
        setNodeKey(p, mode);
    }
    tree->flags &= ~kTreeTraversalValid;
}

void relabelInternalNodes(Tree *tree)
{
    TreeNode *root = tree->root;
    if (!root)
        return;
    TreeNode *top = (root->firstChild && !root->firstChild->nextSib) ? root->firstChild : root;
    int32_t next = static_cast<int32_t>(tree->tipBound);
    for (TreeNode *p = firstPostorderNode(top); p; p = nextPostorderNode(p, top))
        if (p->firstChild && (p != root || p->index >= static_cast<int32_t>(tree->tipBound)))
            p->index = next++;
}
