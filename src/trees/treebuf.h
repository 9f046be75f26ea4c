// Tree buffers: every tree "in memory" is kept here in a compact canonical
// byte encoding, with optional per-tree weights, scores, branch lengths and
// names, one set of support values, and a hash table over the topologies so
// that a duplicate is found with one hash and usually one comparison.
//
// Encoding of one stored tree (elements of 1 byte when ntax < 64, else 2):
//   pair 0        (P, root index | tip flag when rooted at the ancestor)
//   pairs 1..P-1  one per node below the root, in preorder from the basal
//                 fork: (index | tip flag for a tip,
//                        next sibling's index, or tip flag + number of
//                        subtrees closing after a last-child tip)
//   trailer       (1, special node's index) or (0, 0); not hashed
// Before encoding the tree is ordered by lowest taxon and its internal nodes
// renumbered in postorder, so one topology held at one root has one encoding.
//
// Tree numbers passed in and out are 1-based; slots are 0-based.
#pragma once

#include "trees/tree_settings.h"

#include <cstdint>
#include <memory>

#include "qel/qel_hash.h"
#include "qel/qel_sets.h"
#include "qel/qel_strings.h"
#include "trees/treeutil.h"

struct TreeBuffer {
    char namePrefix[128];
    uint8_t **blocks;
    double **brlens;         // per slot, maxNodes doubles in preorder from the root
    double *weights;         // per slot, null until a weight is stored
    double *scores;          // per slot, null unless asked for
    float *support;          // maxNodes floats in preorder from the basal fork
    char **names;            // per slot, owned; only names that do not fit prefix + number
    int32_t *nameNumbers;    // per slot, -1 = no number
    uint32_t *hashValues;    // per slot, full hash of the topology (chain filter)
    HashTable *hash;         // 1-based tree numbers
    StringList *labels;      // taxon labels of trees read without a data set
    Set *outgroup;
    uint32_t elemWidth;
    uint32_t numTrees;
    uint32_t numBlocks;
    uint32_t requestedCapacity;
    uint32_t capacity;       // slots = blocks x trees per block
    uint32_t lastMatch;
    uint32_t leafCount;
    uint32_t ntax;
    uint32_t maxNodes;
    uint32_t bytesPerTree;
    uint32_t treesPerBlock;  // a power of two
    uint32_t bytesPerBlock;
    uint32_t brlenDecimals;
    uint32_t tipFlag;
    int32_t baseNameNum;
    uint8_t rooted;
    uint8_t nonUnitWeights;
    uint8_t explicitNames;
    uint8_t nameNumsNotConsecutive;
    uint8_t namesStarted;
    uint8_t hashStale;
};

// The main buffer's settings (treeInfo, maxtrees) are in tree_settings.h.
// Largest ntax whose node indices (below 2 x ntax) and closing counts (below
// ntax) fit under the 16-bit tip flag: the largest data set the reader takes.
inline constexpr uint32_t kMaxTreeBufTaxa = 16384;

// putTree results besides the stored tree's number.
inline constexpr uint32_t kPutTreeDuplicate = 0;
inline constexpr uint32_t kPutTreeAtMaxtrees = 0xFFFFFFFFu;  // full, no increase allowed
inline constexpr uint32_t kPutTreeNoRoom = 0xFFFFFFFEu;      // full: declined, ceiling or no memory
inline bool isPutTreeFull(uint32_t result) { return result >= kPutTreeNoRoom; }

// What the buffer needs from the search: the status display (so a prompt is
// not overwritten) and the flag that stops a search from saving more trees.
struct TreeBufSearchHooks {
    bool (*statusDisplayActive)();
    void (*showSearchStatus)(uint32_t event);
    void (*setStopOnFull)();
};
void setTreeBufSearchHooks(const TreeBufSearchHooks *hooks);  // null restores no-ops

// ---------------------------------------------------------------------------
// Creation and whole-buffer operations

TreeBuffer *createTreeBuffer(uint32_t ntax, uint32_t capacity, bool wantWeights, bool wantScores,
                             bool wantNames);
TreeBuffer *destroyTreeBuffer(TreeBuffer *buf);
// A tree buffer owned by a scope.
struct TreeBufferDestroyer {
    void operator()(TreeBuffer *buf) const { destroyTreeBuffer(buf); }
};
using TreeBufferHandle = std::unique_ptr<TreeBuffer, TreeBufferDestroyer>;
int allocMainTreeBuffer(uint32_t ntax, uint32_t capacity, bool wantWeights);
void emptyTreeBuffer(TreeBuffer *buf, bool keepLabels);
TreeBuffer *cloneTreeBuffer(const TreeBuffer *buf, bool withBrlens);
int copyTreeBuffer(const TreeBuffer *src, TreeBuffer *dst);
int appendTreeToBuffer(const TreeBuffer *src, uint32_t n, TreeBuffer *dst);
int moveTrees(TreeBuffer *buf, uint32_t from, uint32_t to, uint32_t count, bool rehash);
void setNumTreesToZero(TreeBuffer *buf);
void incrementNumTrees(TreeBuffer *buf);
void decrementNumTrees(TreeBuffer *buf);
int rehashTreeBuffer(TreeBuffer *buf);

// ---------------------------------------------------------------------------
// Storing and reading trees

uint32_t putTree(Tree *tree, TreeBuffer *buf, bool checkDuplicates);
int getTree(TreeBuffer *buf, uint32_t n, Tree *tree);

uint32_t treeInBuffer(TreeBuffer *src, uint32_t n, TreeBuffer *buf);
// Every tree of buf equal to tree n of src joins set (all copies of a tree
// held more than once); the number of them.
uint32_t markTreesInBuffer(TreeBuffer *src, uint32_t n, TreeBuffer *buf, Set *set);
uint32_t markMatchingTrees(TreeBuffer *buf, Tree *tree, Set *set);
uint32_t getMatchingTree(const TreeBuffer *buf);

// Encodes tree into out (room for bytesPerTree); returns the pair count P,
// 0 when the tree cannot be encoded in this buffer.
uint32_t treeToCompactRep(TreeBuffer *buf, Tree *tree, uint8_t *out, const TreeNode *specialNode);
uint32_t getHashValueForTree(const TreeBuffer *buf, const uint8_t *rep);
uint32_t compactRepInBuffer(TreeBuffer *buf, const uint8_t *rep);
uint32_t numNodesInTree(const TreeBuffer *buf, uint32_t slot);
uint8_t *treeLocation(const TreeBuffer *buf, uint32_t slot);
// Element i of an encoding.
inline uint32_t repElement(const TreeBuffer *buf, const uint8_t *rep, uint32_t i)
{
    return buf->elemWidth == 1 ? rep[i] : reinterpret_cast<const uint16_t *>(rep)[i];
}

// ---------------------------------------------------------------------------
// Capacity and Maxtrees

int setTreeBufferCapacity(TreeBuffer *buf, uint32_t n);
int resizeTreeBufferForMaxtrees(uint32_t n);
// 0 accept; non-zero refuse: kMaxtreesKept when the user chose to keep the
// trees a smaller value would discard, 1 on an error.
constexpr int kMaxtreesKept = 2;
int checkMaxtrees(uint32_t value, uint32_t minimum);
// After "maxtrees" changed from previous: resize, or restore previous on refusal.
int handleMaxtreesChg(uint32_t previous);
// The same as the option's change callback (the saved value is the previous one).
struct CmdParam;
int handleMaxtreesChg(CmdParam *option);
void showMaxtreesChange(uint32_t old, bool autoInc);

// ---------------------------------------------------------------------------
// Buffer selection

TreeBuffer *setActiveTreeBuffer(TreeBuffer *buf);  // returns the previous one
TreeBuffer *getActiveTreeBuffer();
TreeBuffer *selectTreeBuffer(TreeBuffer *buf);     // buf, or the active one for null
bool isMainTreeBuffer(const TreeBuffer *buf);
uint32_t numTreesInBuffer(const TreeBuffer *buf);
uint32_t numTreesInMainBuffer();
bool isTreeBufferEmpty(const TreeBuffer *buf);
bool isTreeBufferAtMaxtrees(const TreeBuffer *buf);
// Whether putTree refuses any tree into buf as kPutTreeAtMaxtrees (the main
// buffer holds Maxtrees trees and the limit may not grow), whatever the tree.
bool putTreeRefusesAll(const TreeBuffer *buf);
uint32_t getTreeBufferCapacity(const TreeBuffer *buf);
bool areTreesRooted(const TreeBuffer *buf);
void setRootededness(TreeBuffer *buf, bool rooted);
uint32_t getTreeBufMaxLeaves(const TreeBuffer *buf);
StringList *getTreeBufNameList(const TreeBuffer *buf);
void setTreebufNameList(TreeBuffer *buf, StringList *list, bool freeOld);
const char *taxLabelForMainTreeBuf(const DataInfo *data, uint32_t taxon);
Set *getTreebufOutgroupSet(const TreeBuffer *buf);
void setTreebufOutgroupSet(TreeBuffer *buf, Set *set, bool freeOld);

// ---------------------------------------------------------------------------
// treeInfo accessors

uint32_t getMaxtreesValue();
void setMaxtreesValue(uint32_t n);
uint32_t getAutoIncreaseAmount();  // below 1 counts as 100
bool canIncreaseMaxtrees();
bool autoIncreaseMaxtrees();
void setTreeSource(uint32_t source);
void addTreeSourceFlag(uint32_t flag);
uint32_t getTreeSource();
bool isTreeSourceFlagSet(uint32_t flag);
void setMaxtreesFixed(bool on);
bool isMaxtreesFixed();
void setTreesAreSaved(bool on);
bool areTreesSaved();
bool haveUserBranchLengths();
void setHaveUserBranchLengths(bool on);
void setTreesAreSpeciesTrees(bool on);
bool areTreesSpeciesTrees();
void resetTreeInfo();  // factory settings

void showTreeBufferHash(const TreeBuffer *buf);

// Asks before trees that were not saved are lost (warn: the warnTSave
// setting); false when the user says no. Trees from a TREES block, random or
// enumerated trees and trees of no recorded source never ask.
bool checkUnsavedTrees(bool warn, const char *question);
// Installs the tree services of the data set and fills the tree records'
// data hooks from the active data set; 0, or 1 when a slot was already taken
// by another subsystem.
int installTreeHooks();
