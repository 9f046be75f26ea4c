#include "trees/treebuf.h"

#include "trees/constr.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <vector>

#include "data/data_services.h"
#include "data/vorn_data.h"
#include "qel/qel_outtext.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_math.h"
#include "qel/qel_output.h"
#include "cli/qel_cmdoptions.h"
#include "trees/treebuf_extras.h"
#include "trees/treelist.h"
#include "trees/treeprune.h"

namespace {

TreeBuffer *gActiveTreeBuf = nullptr;

TreeBufSearchHooks gSearchHooks{};

// The hash function of the buffers' tables (one-at-a-time).
constexpr uint32_t kTreeHashKind = 0;
constexpr uint32_t kMinTreeHashBuckets = 1024;
constexpr uint32_t kStatusEventPrompt = 2048;

const char *treeWord(uint64_t n) { return n == 1 ? "tree" : "trees"; }

bool longOperationRunning() { return getLongOperationStatus() != 0; }

void noteStopOnFull()
{
    if (longOperationRunning() && gSearchHooks.setStopOnFull)
        gSearchHooks.setStopOnFull();
}

uint32_t blockShift(const TreeBuffer *buf) { return static_cast<uint32_t>(std::countr_zero(buf->treesPerBlock)); }

uint32_t repBytes(const TreeBuffer *buf, uint32_t pairs) { return pairs * 2 * buf->elemWidth; }

uint32_t fullHash(const TreeBuffer *buf, const uint8_t *rep, uint32_t pairs)
{
    return buf->hash->hashFxn(rep, repBytes(buf, pairs));
}

uint32_t bucketOf(const TreeBuffer *buf, uint32_t h)
{
    uint32_t nb = buf->hash->numBuckets;
    return (nb & (nb - 1)) == 0 ? h & (nb - 1) : h % nb;
}

uint32_t pairCount(const TreeBuffer *buf, const uint8_t *rep) { return repElement(buf, rep, 0); }

// ---------------------------------------------------------------------------
// Per-slot extras

void freeSlotExtras(TreeBuffer *buf, uint32_t slot)
{
    if (buf->brlens)
        buf->brlens[slot] = static_cast<double *>(deallocArray(buf->brlens[slot]));
    if (buf->names)
        buf->names[slot] = static_cast<char *>(deallocBlock(buf->names[slot]));
    if (buf->weights)
        buf->weights[slot] = 1.0;
    if (buf->scores)
        buf->scores[slot] = 0.0;
    if (buf->nameNumbers)
        buf->nameNumbers[slot] = -1;
}

// Moves the bytes and extras of slot s onto slot d, whose own extras are
// released first; s is left empty.
void moveSlot(TreeBuffer *buf, uint32_t s, uint32_t d)
{
    if (s == d)
        return;
    freeSlotExtras(buf, d);
    std::memcpy(treeLocation(buf, d), treeLocation(buf, s), buf->bytesPerTree);
    buf->hashValues[d] = buf->hashValues[s];
    if (buf->brlens) {
        buf->brlens[d] = buf->brlens[s];
        buf->brlens[s] = nullptr;
    }
    if (buf->names) {
        buf->names[d] = buf->names[s];
        buf->names[s] = nullptr;
    }
    if (buf->weights)
        buf->weights[d] = buf->weights[s];
    if (buf->scores)
        buf->scores[d] = buf->scores[s];
    if (buf->nameNumbers)
        buf->nameNumbers[d] = buf->nameNumbers[s];
}

template <typename T>
int growSlotArray(T **array, uint32_t newCount, uint32_t oldCount, T fill)
{
    if (!*array)
        return 0;
    if (reallocArrayOf(array, newCount, oldCount) != 0)
        return 1;
    for (uint32_t i = oldCount; i < newCount; i++)
        (*array)[i] = fill;
    return 0;
}

// ---------------------------------------------------------------------------
// Encoding and decoding

template <typename E>
uint32_t encodeTree(TreeBuffer *buf, Tree *tree, E *out, const TreeNode *special)
{
    TreeNode *root = tree->root;
    if (!root || !root->firstChild || root->firstChild->nextSib)
        return 0;
    orderTree(tree, kOrderByLowestTaxon, nullptr);
    relabelInternalNodes(tree);
    TreeNode *basal = root->firstChild;
    const E tf = static_cast<E>(buf->tipFlag);
    const int32_t indexLimit = static_cast<int32_t>(2 * buf->ntax);
    // A working tree made for all taxa numbers its forks from the full taxon
    // count while a buffer made after deletions holds only the active taxa:
    // forks are written as if numbered from the buffer's taxon count (the
    // tree itself keeps its numbers).
    const int32_t forkShift = static_cast<int32_t>(buf->ntax) - static_cast<int32_t>(tree->tipBound);
    auto code = [&](const TreeNode *n) { return n->firstChild ? n->index + forkShift : n->index; };
    // Room for P pairs plus the trailer.
    const uint32_t maxElems = buf->bytesPerTree / sizeof(E) - 2;
    uint32_t k = 2;
    int32_t specialIndex = -1;
    for (TreeNode *n = basal; n; n = nextPreorderNode(n, basal)) {
        const int32_t index = code(n);
        if (k + 2 > maxElems || index < 0 || index >= indexLimit)
            return 0;
        const bool tip = n->firstChild == nullptr;
        if (tip && index >= static_cast<int32_t>(buf->ntax))
            return 0;
        out[k] = static_cast<E>(tip ? (static_cast<uint32_t>(index) | buf->tipFlag) : index);
        if (n->nextSib) {
            out[k + 1] = static_cast<E>(code(n->nextSib));
        } else if (tip) {
            // Subtrees that close after this tip: the run of last children
            // from the tip up to, and not past, the basal fork.
            uint32_t closing = 0;
            for (const TreeNode *m = n; m != basal && !m->nextSib; m = m->anc)
                closing++;
            out[k + 1] = static_cast<E>(tf + closing);
        } else {
            out[k + 1] = tf;
        }
        if (n == special)
            specialIndex = index;
        k += 2;
    }
    out[0] = static_cast<E>(k / 2);
    out[1] = root->index < 0 ? tf : static_cast<E>(root->index);
    out[k] = static_cast<E>(specialIndex >= 0 ? 1 : 0);
    out[k + 1] = static_cast<E>(specialIndex >= 0 ? specialIndex : 0);
    return k / 2;
}

template <typename E>
uint32_t decodeTree(const TreeBuffer *buf, const E *rep, Tree *tree)
{
    const uint32_t tf = buf->tipFlag;
    const uint32_t mask = tf - 1;
    const uint32_t pairs = rep[0];
    TreeNode *nodes = tree->nodes;
    TreeNode *root;
    uint32_t tips = 0;
    if (rep[1] == tf) {
        root = nodes;
        tree->flags |= kTreeRootedAtAnc;
    } else {
        root = nodes + rep[1] + 1;
        tips = 1;
    }
    tree->root = root;
    root->prev = nullptr;
    TreeNode *prev = root;
    TreeNode *first = nodes + (rep[2] & mask) + 1;
    root->firstChild = first;
    first->anc = root;
    for (uint32_t i = 1; i < pairs; i++) {
        const uint32_t e0 = rep[2 * i];
        const uint32_t e1 = rep[2 * i + 1];
        TreeNode *node = nodes + (e0 & mask) + 1;
        prev->next = node;
        node->prev = prev;
        prev = node;
        if (e0 & tf) {
            tips++;
        } else if (i + 1 < pairs) {
            TreeNode *child = nodes + (rep[2 * i + 2] & mask) + 1;
            node->firstChild = child;
            child->anc = node;
        }
        if (!(e1 & tf)) {
            TreeNode *sib = nodes + e1 + 1;
            node->nextSib = sib;
            sib->anc = node->anc;
        }
    }
    prev->next = nullptr;
    tree->tail = prev;
    // As setTraversalSeq leaves it: a backward walk ends at the basal fork.
    first->prev = nullptr;
    if (rep[2 * pairs] == 1)
        tree->specialNode = nodes + rep[2 * pairs + 1] + 1;
    return tips;
}

// Where the next tree goes: slot numTrees must exist. Buffers grow by
// doubling as trees arrive, so that a large Maxtrees costs nothing until the
// trees are there; the main buffer never grows past Maxtrees + 1 slots.
int ensureSpareSlot(TreeBuffer *buf)
{
    if (buf->numTrees < buf->capacity)
        return 0;
    uint64_t want = std::max<uint64_t>(uint64_t{buf->capacity} * 2, uint64_t{buf->numTrees} + 1);
    if (isMainTreeBuffer(buf))
        want = std::min<uint64_t>(want, std::max<uint64_t>(uint64_t{treeInfo.maxtrees} + 1, buf->numTrees + 1ull));
    want = std::min<uint64_t>(want, uint64_t{kMaxtreesCeiling} + 1);
    if (want <= buf->numTrees)
        return 1;
    return setTreeBufferCapacity(buf, static_cast<uint32_t>(want));
}

// The entry in the buffer's table identical to rep (pairs P, full hash h),
// skipping rep itself; 0 when none.
uint32_t findInChain(TreeBuffer *buf, const uint8_t *rep, uint32_t pairs, uint32_t h)
{
    const uint32_t bytes = repBytes(buf, pairs);
    for (uint32_t e = firstHashEntry(bucketOf(buf, h), buf->hash); e; e = nextHashEntry(buf->hash)) {
        if (e > buf->numTrees || buf->hashValues[e - 1] != h)
            continue;
        const uint8_t *other = treeLocation(buf, e - 1);
        if (other != rep && std::memcmp(other, rep, bytes) == 0)
            return e;
    }
    return 0;
}

bool insertTreeHash(TreeBuffer *buf, uint32_t slot, uint32_t h)
{
    buf->hashValues[slot] = h;
    return insertIntoHashTable(slot + 1, bucketOf(buf, h), buf->hash) == 0;
}

// Maxtrees handling when the main buffer is full; true when there is now
// room for one more tree.
bool makeRoomInMainBuffer(TreeBuffer *buf)
{
    const uint32_t count = buf->numTrees;
    if (gSearchHooks.statusDisplayActive && gSearchHooks.statusDisplayActive() && gSearchHooks.showSearchStatus)
        gSearchHooks.showSearchStatus(kStatusEventPrompt);
    bool room = false;
    if (treeInfo.maxtrees >= kMaxtreesCeiling) {
        qel_printf("\nNote: Maximum allowable value of 'Maxtrees' (=%d) reached.\n",
                   static_cast<int>(kMaxtreesCeiling));
        errorSound();
        treeInfo.maxtreesFixed = 1;
        return false;
    }
    if (treeInfo.increase == static_cast<uint32_t>(MaxtreesAction::kPrompt)) {
        for (;;) {
            char message[200];
            std::snprintf(message, sizeof message,
                          "The limit of %d tree%s (= 'Maxtrees') has been reached.  Do you want to increase "
                          "Maxtrees?",
                          static_cast<int>(treeInfo.maxtrees), pluralize(treeInfo.maxtrees));
            querySound();
            qel_printf("\n%s\n", message);
            if (!userQuery(true, "Do you want to increase 'Maxtrees'?")) {
                treeInfo.maxtreesFixed = 1;
                break;
            }
            bool resized = false;
            for (;;) {
                uint64_t suggestion =
                    std::min<uint64_t>(uint64_t{treeInfo.maxtrees} + getAutoIncreaseAmount(), kMaxtreesCeiling);
                int32_t v = getUserInteger("Enter new value for 'Maxtrees':", static_cast<int32_t>(suggestion));
                if (v > 0 && checkMaxtrees(static_cast<uint32_t>(v), count + 1) == 0 &&
                    resizeTreeBufferForMaxtrees(static_cast<uint32_t>(v)) == 0) {
                    resized = true;
                    break;
                }
                // Nobody can answer again: repeating would never end.
                if (inDefaultMode())
                    break;
            }
            if (!resized) {
                treeInfo.maxtreesFixed = 1;
                break;
            }
            qel_printf("\nAction if limit is hit:\n   (1) Prompt for new value\n   (2) Automatically increase by %d "
                       "(= AUTOINC)\n   (3) Leave unchanged, and don't prompt",
                       static_cast<int>(getAutoIncreaseAmount()));
            int answer = getUserResponse("\n(1)> ", nullptr, '1', "123");
            treeInfo.increase = static_cast<uint32_t>(answer == 0   ? MaxtreesAction::kPrompt
                                                      : answer == 1 ? MaxtreesAction::kAuto
                                                                    : MaxtreesAction::kLeave);
            if (treeInfo.maxtrees > count) {
                room = true;
                break;
            }
            if (treeInfo.increase != static_cast<uint32_t>(MaxtreesAction::kPrompt))
                break;
        }
    }
    if (!room && count >= treeInfo.maxtrees && autoIncreaseMaxtrees() && !treeInfo.maxtreesFixed &&
        count < kMaxtreesCeiling) {
        uint64_t grown = std::min<uint64_t>(uint64_t{count} + getAutoIncreaseAmount(), kMaxtreesCeiling);
        if (resizeTreeBufferForMaxtrees(static_cast<uint32_t>(grown)) == 0 && count < treeInfo.maxtrees)
            room = true;
    }
    return room;
}

// The active data set, for the tree records' hooks.
DataInfo *hookActiveData() { return activeDataInfo(); }
uint32_t hookNumTaxa(const DataInfo *d) { return d->ntax; }
uint32_t hookNumActiveTaxa(const DataInfo *d) { return d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : d->ntax; }
const char *hookTaxonLabel(const DataInfo *d, uint32_t taxon) { return getTaxLabel(d, taxon); }
uint32_t hookOrigTaxonNum(const DataInfo *d, uint32_t taxon) { return getTaxNum(d, taxon) - 1; }
// Without characters or distances the user's lengths are the only lengths
// there are.
bool hookMustUseUserBranchLens()
{
    const DataInfo *d = activeDataInfo();
    return haveUserBranchLengths() && !(d && (d->flags & (kHaveCharacters | kHaveDistances)));
}

// Taxon deletion: tree `index` of the old buffer goes, pruned, into the data
// set's new main buffer. The maps of d still number the old buffer's taxa.
int servicePruneTree(TreeBuffer *from, uint32_t index, const DataInfo *d, bool condense)
{
    if (!d)
        return -1;
    return static_cast<int>(pruneTreeIntoBuffer(from, index, d->mainTreeBuffer, d->taxa.deleted,
                                                d->taxa.activeToOriginal, condense));
}

// A fresh primary tree for the active taxa, without the old one's
// constraint data; nothing to do while there is none.
int replacePrimaryTree()
{
    Tree *old = getPrimaryTree();
    if (!old)
        return 0;
    Tree *fresh = createTree(old->leafSets != nullptr);
    if (!fresh)
        return 1;
    destroyTree(old, true);
    setPrimaryTree(fresh);
    return 0;
}

}  // namespace

void setTreeBufSearchHooks(const TreeBufSearchHooks *hooks) { gSearchHooks = hooks ? *hooks : TreeBufSearchHooks{}; }

// ---------------------------------------------------------------------------
// Creation and whole-buffer operations

TreeBuffer *createTreeBuffer(uint32_t ntax, uint32_t capacity, bool wantWeights, bool wantScores, bool wantNames)
{
    if (ntax == 0)
        return nullptr;
    if (ntax > kMaxTreeBufTaxa) {
        qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                     static_cast<int>(kMaxTreeBufTaxa));
        return nullptr;
    }
    auto *buf = static_cast<TreeBuffer *>(allocBlock(sizeof(TreeBuffer)));
    if (!buf)
        return nullptr;
    const bool narrow = ntax < 64;
    buf->elemWidth = narrow ? 1 : 2;
    buf->tipFlag = narrow ? 0x80 : 0x8000;
    buf->ntax = buf->leafCount = ntax;
    buf->maxNodes = maxNumNodes(ntax);
    buf->bytesPerTree = narrow ? 4 * ntax + 2 : 8 * ntax + 4;
    const uint32_t blockTarget = ntax > 1023 ? 262144 : 32768;
    buf->treesPerBlock = std::max<uint32_t>(1, powerOfTwoFloor(blockTarget / buf->bytesPerTree));
    buf->bytesPerBlock = buf->treesPerBlock * buf->bytesPerTree;
    buf->baseNameNum = -1;
    capacity = std::max<uint32_t>(capacity, 1);
    const uint32_t blocks = (capacity - 1) / buf->treesPerBlock + 1;
    const uint64_t slots = uint64_t{blocks} * buf->treesPerBlock;
    if (slots > UINT32_MAX) {
        deallocBlock(buf);
        return nullptr;
    }
    buf->hash = createHashTable(kMinTreeHashBuckets, capacity, kTreeHashKind);
    buf->blocks = allocArrayOf<uint8_t *>(blocks);
    buf->hashValues = allocArrayOf<uint32_t>(slots);
    if (buf->blocks) {
        for (uint32_t b = 0; b < blocks; b++) {
            buf->blocks[b] = static_cast<uint8_t *>(allocBlock(buf->bytesPerBlock));
            if (!buf->blocks[b])
                break;
            buf->numBlocks = b + 1;
        }
    }
    if (wantWeights)
        buf->weights = allocArrayOf<double>(slots);
    if (wantScores)
        buf->scores = allocArrayOf<double>(slots);
    if (wantNames)
        buf->names = allocArrayOf<char *>(slots);
    if (!buf->hash || !buf->blocks || buf->numBlocks != blocks || !buf->hashValues ||
        (wantWeights && !buf->weights) || (wantScores && !buf->scores) || (wantNames && !buf->names) ||
        ensureHashChainSize(buf->hash, static_cast<uint32_t>(slots)) != 0)
        return destroyTreeBuffer(buf);
    if (buf->weights)
        std::fill_n(buf->weights, slots, 1.0);
    buf->capacity = static_cast<uint32_t>(slots);
    buf->requestedCapacity = capacity;
    return buf;
}

TreeBuffer *destroyTreeBuffer(TreeBuffer *buf)
{
    if (!buf)
        return nullptr;
    if (gActiveTreeBuf == buf)
        gActiveTreeBuf = nullptr;
    emptyTreeBuffer(buf, false);
    for (uint32_t b = 0; b < buf->numBlocks; b++)
        deallocBlock(buf->blocks[b]);
    deallocArray(buf->blocks);
    deallocArray(buf->hashValues);
    deallocArray(buf->brlens);
    deallocArray(buf->weights);
    deallocArray(buf->scores);
    deallocArray(buf->names);
    deallocArray(buf->nameNumbers);
    destroyHashTable(buf->hash);
    deallocBlock(buf);
    return nullptr;
}

int allocMainTreeBuffer(uint32_t ntax, uint32_t capacity, bool wantWeights)
{
    // One block to start with: the buffer grows as trees are stored.
    TreeBuffer *buf = createTreeBuffer(ntax, std::min<uint32_t>(capacity, 1), wantWeights, false, false);
    if (!buf)
        return 1;
    TreeBuffer *old = getMainTreeBuffer(nullptr);
    if (old && old != buf)
        destroyTreeBuffer(old);
    setMainTreeBuffer(buf);
    setActiveTreeBuffer(buf);
    return 0;
}

void emptyTreeBuffer(TreeBuffer *buf, bool keepLabels)
{
    buf = selectTreeBuffer(buf);
    if (!buf)
        return;
    if (buf->brlens)
        for (uint32_t s = 0; s < buf->capacity; s++)
            buf->brlens[s] = static_cast<double *>(deallocArray(buf->brlens[s]));
    buf->brlens = static_cast<double **>(deallocArray(buf->brlens));
    disposeTreeNames(buf);
    disposeTreeWeights(buf);
    disposeTreeScores(buf);
    disposeSupportValues(buf);
    // Species names go with the species trees: whatever is stored next has
    // tips of taxa, unless its maker names species again.
    if (!keepLabels || (isMainTreeBuffer(buf) && treeInfo.speciesTrees)) {
        buf->labels = destroyStringList(buf->labels);
        buf->leafCount = buf->ntax;
        buf->outgroup = deallocSet(buf->outgroup);
        if (isMainTreeBuffer(buf))
            treeInfo.speciesTrees = 0;
    }
    buf->numTrees = 0;
    buf->lastMatch = 0;
    buf->brlenDecimals = 0;
    buf->hashStale = 0;
    if (buf->hash)
        clearHashTable(buf->hash);
}

TreeBuffer *cloneTreeBuffer(const TreeBuffer *buf, bool withBrlens)
{
    if (!buf)
        return nullptr;
    TreeBuffer *c = createTreeBuffer(buf->ntax, std::max<uint32_t>(buf->numTrees + 1, buf->requestedCapacity),
                                     buf->weights != nullptr, buf->scores != nullptr, buf->names != nullptr);
    if (!c)
        return nullptr;
    if (withBrlens && buf->brlens && allocBranchLens(c, -1, 0) != 0)
        return destroyTreeBuffer(c);
    if (copyTreeBuffer(buf, c) != 0)
        return destroyTreeBuffer(c);
    std::memcpy(c->namePrefix, buf->namePrefix, sizeof c->namePrefix);
    c->baseNameNum = buf->baseNameNum;
    c->nonUnitWeights = buf->nonUnitWeights;
    c->explicitNames = buf->explicitNames;
    c->nameNumsNotConsecutive = buf->nameNumsNotConsecutive;
    c->namesStarted = buf->namesStarted;
    if (buf->labels) {
        StringList *copy = createStringList(numStringListItems(buf->labels));
        for (uint32_t i = 0; copy && i < numStringListItems(buf->labels); i++)
            if (storeStringToList(copy, getStringFromList(buf->labels, i), i) != 0)
                copy = destroyStringList(copy);
        if (!copy)
            return destroyTreeBuffer(c);
        setTreebufNameList(c, copy, true);
    }
    if (buf->outgroup && !(c->outgroup = cloneSet(buf->outgroup)))
        return destroyTreeBuffer(c);
    return c;
}

int copyTreeBuffer(const TreeBuffer *src, TreeBuffer *dst)
{
    if (!src || !dst || src == dst || src->ntax != dst->ntax)
        return 1;
    if (src->numTrees >= dst->capacity - dst->numTrees &&
        setTreeBufferCapacity(dst, dst->numTrees + src->numTrees + 1) != 0)
        return 1;
    for (uint32_t n = 1; n <= src->numTrees; n++)
        if (appendTreeToBuffer(src, n, dst) != 0)
            return 1;
    dst->baseNameNum = src->baseNameNum;
    dst->rooted = src->rooted;
    if (dst->brlens)
        dst->brlenDecimals = std::max(dst->brlenDecimals, src->brlenDecimals);
    std::memcpy(dst->namePrefix, src->namePrefix, sizeof dst->namePrefix);
    dst->nonUnitWeights = 0;
    dst->namesStarted = 0;
    if (src->support && !dst->support) {
        dst->support = allocArrayOf<float>(dst->maxNodes);
        if (!dst->support)
            return 1;
        std::memcpy(dst->support, src->support, sizeof(float) * src->maxNodes);
    }
    return 0;
}

int appendTreeToBuffer(const TreeBuffer *src, uint32_t n, TreeBuffer *dst)
{
    if (!src || !dst || n == 0 || n > src->numTrees || src->ntax != dst->ntax)
        return 1;
    // Both the slot and the spare after it must exist.
    if (dst->numTrees + 1 >= dst->capacity &&
        setTreeBufferCapacity(dst, std::max<uint32_t>(dst->capacity * 2, dst->numTrees + 2)) != 0)
        return 1;
    const uint32_t s = n - 1;
    const uint32_t d = dst->numTrees;
    // Every allocation before anything changes.
    double *lengths = nullptr;
    char *name = nullptr;
    if (src->brlens && src->brlens[s]) {
        if (!dst->brlens && allocBranchLens(dst, -1, 0) != 0)
            return 1;
        lengths = static_cast<double *>(cloneArray(src->brlens[s], sizeof(double), src->maxNodes));
        if (!lengths)
            return 1;
    }
    if (src->names && src->names[s]) {
        if (!dst->names && !(dst->names = allocArrayOf<char *>(dst->capacity))) {
            deallocArray(lengths);
            return 1;
        }
        if (!(name = cloneString(src->names[s]))) {
            deallocArray(lengths);
            return 1;
        }
    }
    if (src->weights && src->weights[s] != 1.0 && !dst->weights && storeTreeWt(dst, d, 1.0) != 0) {
        deallocArray(lengths);
        deallocBlock(name);
        return 1;
    }
    if (src->nameNumbers && !dst->nameNumbers) {
        dst->nameNumbers = allocArrayOf<int32_t>(dst->capacity);
        if (!dst->nameNumbers) {
            deallocArray(lengths);
            deallocBlock(name);
            return 1;
        }
        std::fill_n(dst->nameNumbers, dst->capacity, -1);
    }
    freeSlotExtras(dst, d);
    std::memcpy(treeLocation(dst, d), treeLocation(src, s), src->bytesPerTree);
    if (lengths)
        dst->brlens[d] = lengths;
    if (name) {
        dst->names[d] = name;
        dst->explicitNames = 1;
    }
    if (dst->weights)
        dst->weights[d] = src->weights ? src->weights[s] : 1.0;
    if (dst->weights && dst->weights[d] != 1.0)
        dst->nonUnitWeights = 1;
    if (dst->scores)
        dst->scores[d] = src->scores ? src->scores[s] : 0.0;
    if (dst->nameNumbers)
        dst->nameNumbers[d] = src->nameNumbers ? src->nameNumbers[s] : -1;
    const uint32_t pairs = numNodesInTree(dst, d);
    const uint32_t h = fullHash(dst, treeLocation(dst, d), pairs);
    dst->numTrees++;
    if (dst->hashStale || !insertTreeHash(dst, d, h)) {
        dst->hashValues[d] = h;
        dst->hashStale = 1;
    }
    return 0;
}

int moveTrees(TreeBuffer *buf, uint32_t from, uint32_t to, uint32_t count, bool rehash)
{
    buf = selectTreeBuffer(buf);
    if (!buf || from == 0 || to == 0)
        return 1;
    const uint64_t srcEnd = uint64_t{from} - 1 + count;
    const uint64_t dstEnd = uint64_t{to} - 1 + count;
    if (srcEnd > buf->capacity || dstEnd > buf->capacity)
        return 1;
    if (count == 0 || from == to)
        return 0;
    // Names kept as base + slot stop being consecutive once trees move:
    // give every slot its own number first (nothing changes on failure).
    if (buf->namesStarted && buf->baseNameNum >= 0 && !buf->nameNumbers) {
        if (!(buf->nameNumbers = allocArrayOf<int32_t>(buf->capacity)))
            return 1;
        for (uint32_t s = 0; s < buf->capacity; s++)
            buf->nameNumbers[s] = static_cast<int32_t>(std::min<int64_t>(int64_t{buf->baseNameNum} + s, INT32_MAX));
    }
    if (buf->nameNumbers)
        buf->nameNumsNotConsecutive = 1;
    if (to < from) {
        for (uint32_t i = 0; i < count; i++)
            moveSlot(buf, from - 1 + i, to - 1 + i);
    } else {
        for (uint32_t i = count; i-- > 0;)
            moveSlot(buf, from - 1 + i, to - 1 + i);
    }
    buf->hashStale = 1;
    if (rehash)
        return rehashTreeBuffer(buf);
    return 0;
}

void setNumTreesToZero(TreeBuffer *buf)
{
    if ((buf = selectTreeBuffer(buf)) != nullptr) {
        buf->numTrees = 0;
        buf->hashStale = 1;
    }
}

void incrementNumTrees(TreeBuffer *buf)
{
    if ((buf = selectTreeBuffer(buf)) != nullptr && buf->numTrees < buf->capacity) {
        buf->numTrees++;
        buf->hashStale = 1;
    }
}

void decrementNumTrees(TreeBuffer *buf)
{
    if ((buf = selectTreeBuffer(buf)) != nullptr && buf->numTrees > 0) {
        buf->numTrees--;
        freeSlotExtras(buf, buf->numTrees);
        buf->hashStale = 1;
    }
}

int rehashTreeBuffer(TreeBuffer *buf)
{
    buf = selectTreeBuffer(buf);
    if (!buf)
        return 1;
    if (ensureHashChainSize(buf->hash, buf->capacity) != 0)
        return 1;
    clearHashTable(buf->hash);
    for (uint32_t s = 0; s < buf->numTrees; s++) {
        const uint8_t *rep = treeLocation(buf, s);
        insertTreeHash(buf, s, fullHash(buf, rep, pairCount(buf, rep)));
    }
    buf->hashStale = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// Storing and reading trees

uint32_t treeToCompactRep(TreeBuffer *buf, Tree *tree, uint8_t *out, const TreeNode *specialNode)
{
    buf = selectTreeBuffer(buf);
    if (!buf || !tree || !out)
        return 0;
    if (buf->elemWidth == 1)
        return encodeTree(buf, tree, out, specialNode);
    return encodeTree(buf, tree, reinterpret_cast<uint16_t *>(out), specialNode);
}

uint32_t getHashValueForTree(const TreeBuffer *buf, const uint8_t *rep)
{
    return bucketOf(buf, fullHash(buf, rep, pairCount(buf, rep)));
}

uint32_t compactRepInBuffer(TreeBuffer *buf, const uint8_t *rep)
{
    buf = selectTreeBuffer(buf);
    if (!buf || buf->numTrees == 0)
        return 0;
    if (buf->hashStale && rehashTreeBuffer(buf) != 0)
        return 0;
    const uint32_t pairs = pairCount(buf, rep);
    return findInChain(buf, rep, pairs, fullHash(buf, rep, pairs));
}

uint32_t numNodesInTree(const TreeBuffer *buf, uint32_t slot) { return pairCount(buf, treeLocation(buf, slot)); }

uint8_t *treeLocation(const TreeBuffer *buf, uint32_t slot)
{
    return buf->blocks[slot >> blockShift(buf)] + (slot & (buf->treesPerBlock - 1)) * buf->bytesPerTree;
}

uint32_t putTree(Tree *tree, TreeBuffer *buf, bool checkDuplicates)
{
    buf = selectTreeBuffer(buf);
    if (!buf || !tree)
        return kPutTreeNoRoom;
    const bool main = isMainTreeBuffer(buf);
    const uint32_t count = buf->numTrees;
    if (putTreeRefusesAll(buf))
        return kPutTreeAtMaxtrees;
    if (ensureSpareSlot(buf) != 0) {
        noteStopOnFull();
        return kPutTreeNoRoom;
    }
    uint8_t *rep = treeLocation(buf, count);
    const uint32_t pairs = treeToCompactRep(buf, tree, rep, tree->specialNode);
    if (pairs == 0)
        return kPutTreeNoRoom;
    uint32_t h = 0;
    if (checkDuplicates) {
        if (buf->hashStale && rehashTreeBuffer(buf) != 0)
            return kPutTreeNoRoom;
        h = fullHash(buf, rep, pairs);
        if (count > 0) {
            buf->lastMatch = findInChain(buf, rep, pairs, h);
            if (buf->lastMatch)
                return kPutTreeDuplicate;
        }
    }
    if (main && count >= treeInfo.maxtrees) {
        if (treeInfo.maxtreesFixed || !makeRoomInMainBuffer(buf)) {
            noteStopOnFull();
            return kPutTreeNoRoom;
        }
        // The resize may have replaced the block table, not the blocks.
        rep = treeLocation(buf, count);
    }
    freeSlotExtras(buf, count);
    buf->rooted = (tree->flags & kTreeRootedAtAnc) ? 1 : 0;
    buf->numTrees = count + 1;
    if (!checkDuplicates || buf->hashStale || !insertTreeHash(buf, count, h))
        buf->hashStale = 1;
    if (main)
        deleteTreeSets(false);
    return count + 1;
}

int getTree(TreeBuffer *buf, uint32_t n, Tree *tree)
{
    buf = selectTreeBuffer(buf);
    if (!buf || !tree || !tree->nodes || n == 0 || n > buf->numTrees || tree->maxNodes < buf->maxNodes)
        return 1;
    initNodes(tree, buf->leafCount);
    tree->flags &= ~(kTreeRootedAtAnc | kTreeBinary);
    const uint8_t *rep = treeLocation(buf, n - 1);
    const uint32_t pairs = pairCount(buf, rep);
    const uint32_t tips = buf->elemWidth == 1 ? decodeTree(buf, rep, tree)
                                              : decodeTree(buf, reinterpret_cast<const uint16_t *>(rep), tree);
    tree->numLeaves = tips;
    tree->flags |= kTreeTraversalValid;
    if (2 * tips - (buf->rooted ? 0u : 2u) == pairs)
        tree->flags |= kTreeBinary;
    if (tree->slots)
        resetABMPtrs(tree);
    const bool useLengths = buf->brlens && buf->brlens[n - 1] && (!isMainTreeBuffer(buf) || treeInfo.userBrlens);
    if (useLengths) {
        const double *len = buf->brlens[n - 1];
        uint32_t k = 0;
        for (TreeNode *p = tree->root; p; p = p->next)
            p->edge.brlen = len[k++];
    }
    if (buf->support) {
        uint32_t k = 0;
        for (TreeNode *p = tree->root->firstChild; p; p = p->next)
            p->edge.support = buf->support[k++];
    }
    tree->ntax = std::max(tree->ntax, buf->ntax);
    const TreeDataHooks &h = treeDataHooks();
    if (h.forgetLastTreeOptimized)
        h.forgetLastTreeOptimized();
    return 0;
}

uint32_t treeInBuffer(TreeBuffer *src, uint32_t n, TreeBuffer *buf)
{
    src = selectTreeBuffer(src);
    buf = selectTreeBuffer(buf);
    if (!src || !buf || n == 0 || n > src->numTrees || src->elemWidth != buf->elemWidth || src->ntax != buf->ntax)
        return 0;
    return compactRepInBuffer(buf, treeLocation(src, n - 1));
}

namespace {

// Every tree of buf whose encoding is rep joins set; the count of them.
uint32_t markRepMatches(TreeBuffer *buf, const uint8_t *rep, uint32_t pairs, Set *set)
{
    if (buf->hashStale && rehashTreeBuffer(buf) != 0)
        return 0;
    const uint32_t bytes = repBytes(buf, pairs);
    const uint32_t h = fullHash(buf, rep, pairs);
    uint32_t found = 0;
    for (uint32_t e = firstHashEntry(bucketOf(buf, h), buf->hash); e; e = nextHashEntry(buf->hash)) {
        if (e <= buf->numTrees && buf->hashValues[e - 1] == h &&
            std::memcmp(treeLocation(buf, e - 1), rep, bytes) == 0) {
            found++;
            if (set)
                addSetMember(set, e - 1);
        }
    }
    return found;
}

}  // namespace

uint32_t markTreesInBuffer(TreeBuffer *src, uint32_t n, TreeBuffer *buf, Set *set)
{
    src = selectTreeBuffer(src);
    buf = selectTreeBuffer(buf);
    if (!src || !buf || n == 0 || n > src->numTrees || buf->numTrees == 0 || src->elemWidth != buf->elemWidth ||
        src->ntax != buf->ntax)
        return 0;
    const uint8_t *rep = treeLocation(src, n - 1);
    return markRepMatches(buf, rep, pairCount(buf, rep), set);
}

uint32_t markMatchingTrees(TreeBuffer *buf, Tree *tree, Set *set)
{
    buf = selectTreeBuffer(buf);
    if (!buf || !tree || buf->numTrees == 0)
        return 0;
    std::vector<uint8_t> scratch(buf->bytesPerTree);
    const uint32_t pairs = treeToCompactRep(buf, tree, scratch.data(), tree->specialNode);
    return pairs == 0 ? 0 : markRepMatches(buf, scratch.data(), pairs, set);
}

uint32_t getMatchingTree(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf ? buf->lastMatch : 0;
}

// ---------------------------------------------------------------------------
// Capacity and Maxtrees

int setTreeBufferCapacity(TreeBuffer *buf, uint32_t n)
{
    buf = selectTreeBuffer(buf);
    if (!buf)
        return 1;
    n = std::max<uint32_t>(n, 1);
    const uint32_t tpb = buf->treesPerBlock;
    const uint32_t blocks = (n - 1) / tpb + 1;
    const uint64_t slots64 = uint64_t{blocks} * tpb;
    if (slots64 > UINT32_MAX)
        return 1;
    const auto slots = static_cast<uint32_t>(slots64);
    const uint32_t old = buf->capacity;
    if (blocks > buf->numBlocks) {
        // Every allocation first: a failure leaves the buffer as it was
        // (arrays that did grow are only longer than needed).
        std::vector<uint8_t *> fresh;
        bool failed = growSlotArray(&buf->hashValues, slots, old, 0u) != 0 ||
                      growSlotArray(&buf->brlens, slots, old, static_cast<double *>(nullptr)) != 0 ||
                      growSlotArray(&buf->names, slots, old, static_cast<char *>(nullptr)) != 0 ||
                      growSlotArray(&buf->weights, slots, old, 1.0) != 0 ||
                      growSlotArray(&buf->scores, slots, old, 0.0) != 0 ||
                      growSlotArray(&buf->nameNumbers, slots, old, -1) != 0 ||
                      ensureHashChainSize(buf->hash, slots) != 0;
        if (!failed) {
            for (uint32_t b = buf->numBlocks; b < blocks && !failed; b++) {
                auto *block = static_cast<uint8_t *>(allocBlock(buf->bytesPerBlock));
                failed = block == nullptr;
                if (block)
                    fresh.push_back(block);
            }
        }
        if (!failed)
            failed = reallocArrayOf(&buf->blocks, blocks, buf->numBlocks) != 0;
        if (failed) {
            for (uint8_t *block : fresh)
                deallocBlock(block);
            return 1;
        }
        std::copy(fresh.begin(), fresh.end(), buf->blocks + buf->numBlocks);
        buf->numBlocks = blocks;
        if (isMainTreeBuffer(buf))
            deleteTreeSets(false);
    } else if (blocks < buf->numBlocks) {
        for (uint32_t s = slots; s < old; s++)
            freeSlotExtras(buf, s);
        for (uint32_t b = blocks; b < buf->numBlocks; b++)
            buf->blocks[b] = static_cast<uint8_t *>(deallocBlock(buf->blocks[b]));
        buf->numBlocks = blocks;
        // Shrinking in place cannot lose data; a failed shrink keeps the
        // longer arrays.
        reallocArrayOf(&buf->blocks, blocks, 0);
        if (buf->numTrees > slots) {
            buf->numTrees = slots;
            buf->hashStale = 1;
        }
    }
    buf->capacity = slots;
    buf->requestedCapacity = n;
    return 0;
}

int resizeTreeBufferForMaxtrees(uint32_t n)
{
    if (n == 0 || n > kMaxtreesCeiling)
        return 1;
    DataInfo *data = activeDataInfo();
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    // Only a shrink takes effect at once; slots are added as trees arrive.
    if (data && (data->flags & kHaveTaxa) && buf) {
        if (buf->capacity > n + 1 && setTreeBufferCapacity(buf, n + 1) != 0)
            return 1;
        if (buf->numTrees > n) {
            for (uint32_t s = n; s < buf->numTrees; s++)
                freeSlotExtras(buf, s);
            buf->numTrees = n;
            deleteTreeSets(false);
            if (!buf->hashStale)
                rehashTreeBuffer(buf);
        }
    }
    treeInfo.maxtrees = n;
    return 0;
}

int checkMaxtrees(uint32_t value, uint32_t minimum)
{
    // The ceiling holds with or without trees in memory.
    if (checkMaxtreesCeiling(value) != 0)
        return 1;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    if (!buf)
        return 0;
    if (treeInfo.increase == static_cast<uint32_t>(MaxtreesAction::kPrompt) && value < minimum)
        return qel_errorMsg(0, "You must specify a value for 'Maxtrees' greater than %d.\n",
                            static_cast<int>(minimum - 1));
    if (value >= buf->numTrees)
        return 0;
    if (isTreeFilterActive())
        return qel_errorMsg(784, "You cannot discard trees while a filter is in effect.");
    const uint32_t lost = buf->numTrees - value;
    return userQuery(false, "Do you really want to discard %u %s?", lost, treeWord(lost)) ? 0 : kMaxtreesKept;
}

int handleMaxtreesChg(uint32_t previous)
{
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const uint32_t wanted = treeInfo.maxtrees;
    if (wanted == previous)
        return 0;
    if (!buf) {
        if (checkMaxtreesCeiling(wanted) == 0)
            return 0;
        treeInfo.maxtrees = previous;
        return 1;
    }
    int rc = 0;
    // Keeping the trees when asked is the user's choice, not a failure of
    // the command: the batch goes on with Maxtrees as it was.
    if (const int check = checkMaxtrees(wanted, 1); check != 0 || resizeTreeBufferForMaxtrees(wanted) != 0) {
        treeInfo.maxtrees = previous;
        rc = check == kMaxtreesKept ? 0 : 1;
    } else {
        treeInfo.maxtreesFixed = 0;
    }
    showMaxtreesChange(previous, autoIncreaseMaxtrees());
    return rc;
}

int handleMaxtreesChg(CmdParam *option) { return option ? handleMaxtreesChg(option->saved.u) : 0; }

void showMaxtreesChange(uint32_t old, bool autoInc)
{
    if (treeInfo.maxtrees != old)
        qel_printf("\nMaxtrees reset to %u\n", treeInfo.maxtrees);
    else if (autoInc)
        qel_printf("\nMaxtrees will be automatically increased by %u when the limit is hit\n",
                   getAutoIncreaseAmount());
    else
        qel_printf("\nMaxtrees remains %u\n", treeInfo.maxtrees);
    forceBlankLine();
}

// ---------------------------------------------------------------------------
// Buffer selection

TreeBuffer *setActiveTreeBuffer(TreeBuffer *buf)
{
    TreeBuffer *previous = gActiveTreeBuf;
    gActiveTreeBuf = buf;
    return previous;
}

TreeBuffer *getActiveTreeBuffer() { return gActiveTreeBuf; }
TreeBuffer *selectTreeBuffer(TreeBuffer *buf) { return buf ? buf : gActiveTreeBuf; }

bool isMainTreeBuffer(const TreeBuffer *buf) { return buf && buf == getMainTreeBuffer(nullptr); }

uint32_t numTreesInBuffer(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf ? buf->numTrees : 0;
}

uint32_t numTreesInMainBuffer()
{
    const TreeBuffer *buf = getMainTreeBuffer(nullptr);
    return buf ? buf->numTrees : 0;
}

bool isTreeBufferEmpty(const TreeBuffer *buf) { return numTreesInBuffer(buf) == 0; }

bool isTreeBufferAtMaxtrees(const TreeBuffer *buf)
{
    return numTreesInBuffer(buf) == treeInfo.maxtrees && treeInfo.maxtreesFixed;
}

bool putTreeRefusesAll(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf && isMainTreeBuffer(buf) && buf->numTrees >= treeInfo.maxtrees && treeInfo.maxtreesFixed;
}

uint32_t getTreeBufferCapacity(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf ? buf->capacity : 0;
}

bool areTreesRooted(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf && buf->rooted;
}

void setRootededness(TreeBuffer *buf, bool rooted)
{
    if ((buf = selectTreeBuffer(buf)) != nullptr)
        buf->rooted = rooted ? 1 : 0;
}

uint32_t getTreeBufMaxLeaves(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf ? buf->leafCount : 0;
}

StringList *getTreeBufNameList(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf ? buf->labels : nullptr;
}

void setTreebufNameList(TreeBuffer *buf, StringList *list, bool freeOld)
{
    if (!(buf = selectTreeBuffer(buf)))
        return;
    if (freeOld && buf->labels != list)
        destroyStringList(buf->labels);
    buf->labels = list;
    buf->leafCount = list ? std::min(numStringListItems(list), buf->ntax) : buf->ntax;
}

const char *taxLabelForMainTreeBuf(const DataInfo *data, uint32_t taxon)
{
    const TreeBuffer *buf = getMainTreeBuffer(data);
    if (buf && buf->labels && taxon < numStringListItems(buf->labels))
        return getStringFromList(buf->labels, taxon);
    if (!data)
        data = activeDataInfo();
    return data ? getTaxLabel(data, taxon) : nullptr;
}

Set *getTreebufOutgroupSet(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf ? buf->outgroup : nullptr;
}

void setTreebufOutgroupSet(TreeBuffer *buf, Set *set, bool freeOld)
{
    if (!(buf = selectTreeBuffer(buf)))
        return;
    if (freeOld && buf->outgroup != set)
        deallocSet(buf->outgroup);
    buf->outgroup = set;
}

// ---------------------------------------------------------------------------
// treeInfo accessors

void setMaxtreesValue(uint32_t n) { treeInfo.maxtrees = std::min(n, kMaxtreesCeiling); }
uint32_t getAutoIncreaseAmount() { return treeInfo.autoInc >= 1 ? treeInfo.autoInc : 100; }
bool canIncreaseMaxtrees() { return treeInfo.increase != static_cast<uint32_t>(MaxtreesAction::kLeave); }
bool autoIncreaseMaxtrees() { return treeInfo.increase == static_cast<uint32_t>(MaxtreesAction::kAuto); }
// New trees in memory: the description of the ones before no longer holds
// (a reader of trees writes its own after this).
void setTreeSource(uint32_t source)
{
    treeInfo.source = source;
    clearOutputTextBuf();
}
void addTreeSourceFlag(uint32_t flag) { treeInfo.source |= flag; }
uint32_t getTreeSource() { return treeInfo.source & 0x3F; }
bool isTreeSourceFlagSet(uint32_t flag) { return (treeInfo.source & flag) != 0; }
void setMaxtreesFixed(bool on) { treeInfo.maxtreesFixed = on ? 1 : 0; }
bool isMaxtreesFixed() { return treeInfo.maxtreesFixed != 0; }
void setTreesAreSaved(bool on) { treeInfo.treesSaved = on ? 1 : 0; }
bool areTreesSaved() { return treeInfo.treesSaved != 0; }
bool haveUserBranchLengths() { return treeInfo.userBrlens != 0; }
void setHaveUserBranchLengths(bool on) { treeInfo.userBrlens = on ? 1 : 0; }
void setTreesAreSpeciesTrees(bool on) { treeInfo.speciesTrees = on ? 1 : 0; }
bool areTreesSpeciesTrees() { return treeInfo.speciesTrees != 0; }

void resetTreeInfo()
{
    treeInfo = TreeInfo{kDefaultMaxtrees, static_cast<uint32_t>(MaxtreesAction::kPrompt), kDefaultAutoInc, 0, 0, 0, 0, 0};
}

void showTreeBufferHash(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    if (!buf)
        return;
    HashTable *table = buf->hash;
    uint32_t used = 0;
    uint32_t longest = 0;
    for (uint32_t b = 0; b < table->numBuckets; b++) {
        uint32_t length = 0;
        for (uint32_t e = table->heads[b]; e; e = table->chain.links[e - 1])
            length++;
        if (length) {
            used++;
            qel_printf("bucket %u: %u\n", b, length);
        }
        longest = std::max(longest, length);
    }
    qel_printf("%u of %u buckets used, longest chain %u, %u trees\n", used, table->numBuckets, longest,
               buf->numTrees);
}

bool checkUnsavedTrees(bool warn, const char *question)
{
    // Trees read from a file, generated at random or enumerated can be made
    // again; only the results of an analysis are worth a question.
    const uint32_t source = treeInfo.source & 0x3F;
    const bool renewable = source == 0 || source == 6 || source == 7 || source == 8;
    TreeBuffer *buf = getActiveTreeBuffer();
    if (!warn || !buf || buf->numTrees == 0 || treeInfo.treesSaved || renewable)
        return true;
    return userQuery(true, "%s", question);
}

int installTreeHooks()
{
    DataServices s{};
    s.destroyTreeBuffer = [](TreeBuffer *b) { destroyTreeBuffer(b); };
    s.numTreesInBuffer = [](const TreeBuffer *b) -> uint32_t { return b ? b->numTrees : 0; };
    s.allocMainTreeBuffer = allocMainTreeBuffer;
    s.getMaxtreesValue = getMaxtreesValue;
    s.clearTrees = [](int keepLabels, int keepSpecial) { clearTrees(keepLabels != 0, keepSpecial != 0); };
    s.deleteTreeSets = [](int all) { deleteTreeSets(all != 0); };
    s.deallocSpecialTreeData = deallocSpecialTreeData;
    // A data set without a buffer yet gets what a fresh main buffer gets.
    s.getTreeBufferCapacity = [](const TreeBuffer *b) { return b ? b->capacity : getMaxtreesValue() + 1; };
    s.haveTreeWeights = [](const TreeBuffer *b) { return b && b->weights; };
    // The slot table only: each pruned tree brings its own lengths.
    s.allocBranchLens = [](TreeBuffer *b) { return b ? allocBranchLens(b, -1, 0) : 1; };
    s.treeFilterInEffect = isTreeFilterActive;
    s.haveUserBranchLengths = haveUserBranchLengths;
    s.pruneTree = servicePruneTree;
    s.disposeSupportValues = [](TreeBuffer *b) {
        if (b)
            disposeSupportValues(b);
    };
    s.forgetLastTreeOptimized = [] {
        if (const TreeDataHooks &h = treeDataHooks(); h.forgetLastTreeOptimized)
            h.forgetLastTreeOptimized();
    };
    s.replacePrimaryTree = replacePrimaryTree;
    // Constraints name taxa of the data set they were defined on.
    s.deallocAllConstraints = deallocAllConstraints;
    int status = installDataServices(s);

    TreeDataHooks h = treeDataHooks();
    h.activeData = hookActiveData;
    h.numTaxa = hookNumTaxa;
    h.numActiveTaxa = hookNumActiveTaxa;
    h.taxonLabel = hookTaxonLabel;
    h.origTaxonNum = hookOrigTaxonNum;
    h.mustUseUserBranchLens = hookMustUseUserBranchLens;
    h.checkUnsavedTrees = checkUnsavedTrees;
    h.destroyConData = destroyConData;
    setTreeDataHooks(&h);
    return status;
}
