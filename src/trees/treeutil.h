// Working trees: the Tree record with its fixed node array, the preorder
// list, leaf sets, canonical ordering and the per-node slots that the
// parsimony, constraint and likelihood code hang their data on.
//
// Node positions: 0 is the hypothetical ancestor (index -1), 1 + t the tip
// of taxon t, ntax + 1 .. 2 ntax the internal nodes. Children are kept as a
// first-child / next-sibling list; a tree is always held rooted, at the
// ancestor node or at a tip, the root normally having one child (the basal
// fork).
#pragma once

#include <memory>

#include <cstddef>
#include <cstdint>

#include "qel/qel_sets.h"

struct DataInfo;  // the active data set (character-data subsystem)
struct ConData;   // a tree's constraint bits (constraint checking)

// One state-set slot: the parsimony code stores a pointer to the node's
// packed state sets in the first word.
struct StateSetSlot {
    void *states;
    void *aux;
};

// The data of the edge from a node to its ancestor; copied and moved as one
// block so that a reroot keeps every edge's data on its edge.
struct EdgeData {
    uint32_t key;          // scratch sort key of orderTree
    uint64_t word1;
    uint64_t word2;
    double brlen;
    double dbl1;
    double dbl2;
    uint64_t word3;
    uint64_t word4;
    double savedBrlen;
    uint64_t word5;
    float support;         // percentage; 0 = none
};

struct TreeNode {
    EdgeData edge;
    TreeNode *firstChild;
    TreeNode *nextSib;
    TreeNode *anc;
    TreeNode *next;        // preorder list
    TreeNode *prev;
    void *likeData[4];     // owned by the likelihood engine
    double likeScale;
    StateSetSlot *abm[3];  // the node's three state-set slots
    uint64_t *leafSet;     // row of the tree's leaf-set family, or null
    void *simData;         // owned by the simulation code
    double age;
    double dbl2;
    uint32_t work1;
    uint32_t work2;
    int32_t index;         // -1 ancestor, 0..ntax-1 tips, ntax.. internal
    uint8_t flag;
};

enum TreeFlags : uint32_t {
    kTreeHasExtras = 1,
    kTreeRootedAtAnc = 2,
    kTreeBinary = 4,
    kTreeTraversalValid = 16,
    kTreeLeafSetsValid = 32,
    kTreeIncludedValid = 64,
};

struct Tree {
    TreeNode *nodes;
    TreeNode *root;
    TreeNode *tail;
    TreeNode *firstTip;
    TreeNode *specialNode;
    TreeNode *rootEdgeNode[2];
    TreeNode *lastNode;
    SetFamily *leafSets;
    StateSetSlot *displacedSlot;
    StateSetSlot *slots;
    ConData *conData;
    Set *includedTaxa;
    double rootEdgeLen[2];
    double score[2];
    uint32_t ntax;
    uint32_t activeTaxa;
    uint32_t maxNodes;
    uint32_t tipBound;
    uint32_t numEdges;
    uint32_t numLeaves;
    uint32_t wordsPerLeafSet;
    uint32_t flags;
    // Distinct for every tree made (and every re-made node array): records
    // kept outside a tree name it by this, not by its address, which a tree
    // made after this one is freed may well get.
    uint64_t serial;
};

// What trees need from the data set and from higher layers, installed by the
// code that owns those facts. Every entry may be null; the tree code then
// falls back to the plain behaviour noted beside it.
struct TreeDataHooks {
    DataInfo *(*activeData)();                              // null: no data set
    uint32_t (*numTaxa)(const DataInfo *);                  // required by createTree
    uint32_t (*numActiveTaxa)(const DataInfo *);            // null: numTaxa
    const char *(*taxonLabel)(const DataInfo *, uint32_t);  // null: no labels
    uint32_t (*origTaxonNum)(const DataInfo *, uint32_t);   // null: identity
    void *(*activePackedData)();                            // null: no packed data
    // Record of node position p in the packed data's which-th per-node array.
    void *(*packedNodeRecord)(void *packed, uint32_t which, uint32_t position);
    void (*forgetLastTreeOptimized)();
    bool (*mustUseUserBranchLens)();                        // null: false
    bool (*checkUnsavedTrees)(bool warn, const char *question);  // null: proceed
    ConData *(*destroyConData)(ConData *);                  // null: not freed
};

void setTreeDataHooks(const TreeDataHooks *hooks);  // null restores the defaults
const TreeDataHooks &treeDataHooks();

inline constexpr uint32_t maxNumNodes(uint32_t ntax) { return 2 * ntax + 1; }
// Taxon counts above this would overflow the i32 node indices.
inline constexpr uint32_t kMaxTreeTaxa = 0x3FFFFFFEu;

// ---------------------------------------------------------------------------
// Creation, copying, destruction

Tree *createTree(bool withExtras);  // sized for the active data set
Tree *createTreeForTaxa(uint32_t ntax, uint32_t activeTaxa, bool withExtras);
int initTree(Tree *tree, bool withExtras);
int initTreeForTaxa(Tree *tree, uint32_t ntax, uint32_t activeTaxa, bool withExtras);
int createOrDestroyTree(Tree *tree, bool create);
int initNodes(Tree *tree, uint32_t ntax);
Tree *destroyTree(Tree *tree, bool freeExtras);

// A working tree owned by a scope; its extras go with it.
struct TreeDestroyer {
    void operator()(Tree *tree) const { destroyTree(tree, true); }
};
using TreeHandle = std::unique_ptr<Tree, TreeDestroyer>;
int copyTree(const Tree *src, Tree *dst);
Tree *shallowCopyTree(const Tree *src, Tree *dst);

void setPrimaryTree(Tree *tree);
Tree *getPrimaryTree();

// ---------------------------------------------------------------------------
// Node access and naming

// Node at an array position; positions are checked in debug builds.
TreeNode *nodeAtPosition(const Tree *tree, uint32_t position);
// Node of an index as created (-1 the ancestor); checked in debug builds.
TreeNode *nodeOfIndex(const Tree *tree, int32_t index);
inline uint32_t nodePosition(const Tree *tree, const TreeNode *node)
{
    return static_cast<uint32_t>(node - tree->nodes);
}
inline bool isTip(const TreeNode *node) { return node->firstChild == nullptr; }

int32_t nodeDex(const TreeNode *node);
uint32_t nodeNum(const TreeNode *node, const Tree *tree);
uint32_t origNodeNum(const TreeNode *node, const Tree *tree, const DataInfo *data);
char *nodeLabel(const TreeNode *node, const Tree *tree, const DataInfo *data, char *buffer, size_t size);
const char *taxLabelForTip(const DataInfo *data, const TreeNode *node);

// ---------------------------------------------------------------------------
// Cached state

inline void afterTreeChange(Tree *tree) { tree->flags &= ~(kTreeTraversalValid | kTreeLeafSetsValid); }
inline void afterLeavesChanged(Tree *tree)
{
    tree->flags &= ~(kTreeTraversalValid | kTreeLeafSetsValid | kTreeIncludedValid);
}
inline bool isTraversalSeqValid(const Tree *tree) { return tree->flags & kTreeTraversalValid; }
void setTraversalSeq(Tree *tree);
inline void checkTraversalSeq(Tree *tree)
{
    if (!(tree->flags & kTreeTraversalValid))
        setTraversalSeq(tree);
}
inline bool isTreeBinary(const Tree *tree) { return tree->flags & kTreeBinary; }
int determineIfTreeIsBinary(Tree *tree);

// Walks that need no list: the next node in preorder below top, and the
// postorder walk (children in sibling order before their parent) of the
// subtree of top.
TreeNode *nextPreorderNode(const TreeNode *node, const TreeNode *top);
TreeNode *firstPostorderNode(TreeNode *top);
TreeNode *nextPostorderNode(const TreeNode *node, const TreeNode *top);

// Node sequences into caller arrays of at least maxNodes entries; the count
// is returned. The preorder starts at the root; the postorder is the
// backward walk of the preorder list (it leaves out a root with one child).
uint32_t loadPreorderNodes(Tree *tree, TreeNode **out);
uint32_t loadPostorderNodes(Tree *tree, TreeNode **out);

// ---------------------------------------------------------------------------
// Leaf sets and the included-taxa set

void makeLeafSetFromChildren(TreeNode *node, uint32_t words);
uint32_t makeAllLeafSets(Tree *tree);
inline void checkLeafSets(Tree *tree)
{
    if (!(tree->flags & kTreeLeafSetsValid))
        makeAllLeafSets(tree);
}
void addNewLeafToLeafsets(Tree *tree, TreeNode *leaf);
void removeLeafFromLeafSets(TreeNode *leaf);
bool isTaxInLeafSet(int32_t taxon, bool valueForAncestor, const uint64_t *set);
uint32_t countLeaves(Tree *tree);
void setIncludedLeaves(Tree *tree);
void checkIncludedLeaves(Tree *tree);
bool didLeafSetChange(Tree *tree, const Set *set);
int verifyFullLeafSet(Tree *tree, uint32_t number, const char *suffix);

// ---------------------------------------------------------------------------
// State-set slots

void initABMSetPtrs(Tree *tree, void *packed);
void resetABMPtrs(Tree *tree);

// ---------------------------------------------------------------------------
// Canonical form

enum OrderTreeMode : int { kOrderByLowestTaxon = 0, kOrderSmallFirst = 1, kOrderLargeFirst = 2, kOrderAlpha = 3 };
void orderTree(Tree *tree, int mode, const DataInfo *data);
void relabelInternalNodes(Tree *tree);
