#include "data/charpatterns.h"

#include <cstring>
#include <vector>

#include "data/vorn_memory.h"
#include "qel/qel_malloc.h"
#include "qel/qel_matrices.h"

namespace {

constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kTaxaPerKey = 8;
// Nodes live in blocks that never move, so a link field's address stays
// valid while the tree grows; 32-bit links keep a node at 24 bytes.
constexpr uint32_t kBlockShift = 16;
constexpr uint32_t kBlockNodes = 1u << kBlockShift;
// Rotations need the links above a new node; a path longer than this (a
// treap is almost never that deep) is left unbalanced, which is still
// correct.
constexpr uint32_t kMaxPath = 128;

struct PatternNode {
    uint64_t key;  // the codes of up to eight taxa, the first in the top byte
    uint32_t lo, eq, hi;
    uint32_t id;   // creation rank within its level; a leaf's pattern number
};
static_assert(sizeof(PatternNode) == 24);

// Treap priority of a node: a mix of its number, so balance does not depend
// on the order in which columns arrive.
uint32_t priorityOf(uint32_t n)
{
    n ^= n >> 16;
    n *= 0x85ebca6bu;
    n ^= n >> 13;
    n *= 0xc2b2ae35u;
    n ^= n >> 16;
    return n;
}

}  // namespace

struct PatternTST {
    PatternNode **blocks;
    uint32_t nBlocks;
    uint32_t blockSlots;
    uint32_t root;
    uint32_t *curNode;    // per character: the node its rows reached so far
    uint64_t *pending;    // per character: codes of the current group of rows
    uint32_t *nextRow;    // per character: the row expected next
    uint32_t *levelCounts;
    uint32_t *charPattern;
    uint8_t *rowBuffer;
    uint32_t ntax;
    uint32_t nchar;
    uint32_t nLevels;
    uint32_t nPatterns;
    uint32_t nNodes;
    uint32_t rowsLoaded;
};

namespace {

PatternNode &node(const PatternTST *t, uint32_t n) { return t->blocks[n >> kBlockShift][n & (kBlockNodes - 1)]; }

uint32_t newNode(PatternTST *t, uint64_t key, uint32_t level)
{
    if (t->nNodes == kNone - 1) {
        reportMemoryFailure();
        return kNone;
    }
    const uint32_t n = t->nNodes;
    if ((n & (kBlockNodes - 1)) == 0) {
        if (t->nBlocks == t->blockSlots) {
            uint32_t slots = t->blockSlots ? 2 * t->blockSlots : 16;
            if (reallocArrayOf(&t->blocks, slots, t->blockSlots) != 0)
                return kNone;
            t->blockSlots = slots;
        }
        PatternNode *block = allocArrayOf<PatternNode>(kBlockNodes);
        if (!block)
            return kNone;
        t->blocks[t->nBlocks++] = block;
    }
    ++t->nNodes;
    PatternNode &p = node(t, n);
    p.key = key;
    p.lo = p.eq = p.hi = kNone;
    p.id = t->levelCounts[level]++;
    if (level + 1 == t->nLevels)
        t->nPatterns = t->levelCounts[level];
    return n;
}

// The node with this key among the siblings hanging from *link, made when
// absent; kNone on memory failure.
uint32_t findOrAddKey(PatternTST *t, uint32_t *link, uint64_t key, uint32_t level)
{
    uint32_t *path[kMaxPath];
    uint32_t depth = 0;
    bool tracked = true;
    while (*link != kNone) {
        PatternNode &p = node(t, *link);
        if (key == p.key)
            return *link;
        if (depth < kMaxPath)
            path[depth++] = link;
        else
            tracked = false;
        link = key < p.key ? &p.lo : &p.hi;
    }
    const uint32_t n = newNode(t, key, level);
    if (n == kNone)
        return kNone;
    *link = n;
    const uint32_t prio = priorityOf(n);
    while (tracked && depth > 0) {
        const uint32_t parent = *path[depth - 1];
        if (prio <= priorityOf(parent))
            break;
        PatternNode &p = node(t, parent), &m = node(t, n);
        if (p.lo == n) {
            p.lo = m.hi;
            m.hi = parent;
        } else {
            p.hi = m.lo;
            m.lo = parent;
        }
        *path[--depth] = n;
    }
    return n;
}

uint64_t packKey(const uint8_t *column, uint32_t level, uint32_t ntax)
{
    uint64_t key = 0;
    const uint32_t first = level * kTaxaPerKey;
    for (uint32_t i = 0; i < kTaxaPerKey && first + i < ntax; ++i)
        key |= uint64_t{column[first + i]} << (8 * (kTaxaPerKey - 1 - i));
    return key;
}

void unpackKey(uint64_t key, uint32_t level, uint8_t *row, uint32_t ntax)
{
    const uint32_t first = level * kTaxaPerKey;
    for (uint32_t i = 0; i < kTaxaPerKey && first + i < ntax; ++i)
        row[first + i] = static_cast<uint8_t>(key >> (8 * (kTaxaPerKey - 1 - i)));
}

template <typename T>
void release(T *&p)
{
    p = static_cast<T *>(deallocArray(p));
}

}  // namespace

PatternTST *createPatternTST(uint32_t ntax, uint32_t nchar, bool perCharacterArrays)
{
    if (ntax == 0 || nchar == kNone)
        return nullptr;
    auto *t = static_cast<PatternTST *>(allocBlock(sizeof(PatternTST)));
    if (!t)
        return nullptr;
    t->ntax = ntax;
    t->nchar = nchar;
    t->nLevels = (ntax + kTaxaPerKey - 1) / kTaxaPerKey;
    t->root = kNone;
    t->levelCounts = allocArrayOf<uint32_t>(t->nLevels);
    t->rowBuffer = allocArrayOf<uint8_t>(ntax);
    t->charPattern = allocArrayOf<uint32_t>(nchar);
    if (perCharacterArrays) {
        t->curNode = allocArrayOf<uint32_t>(nchar);
        t->pending = allocArrayOf<uint64_t>(nchar);
        t->nextRow = allocArrayOf<uint32_t>(nchar);
    }
    const bool chars = nchar == 0 || (t->charPattern && (!perCharacterArrays ||
                                                        (t->curNode && t->pending && t->nextRow)));
    if (memoryErrorHasOccurred() || !t->levelCounts || !t->rowBuffer || !chars)
        return destroyPatternTST(t);
    for (uint32_t c = 0; c < nchar; ++c) {
        t->charPattern[c] = kNoPattern;
        if (t->curNode)
            t->curNode[c] = kNone;
    }
    return t;
}

PatternTST *destroyPatternTST(PatternTST *t)
{
    if (!t)
        return nullptr;
    for (uint32_t b = 0; b < t->nBlocks; ++b)
        deallocArray(t->blocks[b]);
    release(t->blocks);
    release(t->curNode);
    release(t->pending);
    release(t->nextRow);
    release(t->levelCounts);
    release(t->charPattern);
    release(t->rowBuffer);
    deallocBlock(t);
    return nullptr;
}

int insertStateIntoPatternTST(PatternTST *t, uint32_t row, uint32_t c, uint8_t code)
{
    if (!t || !t->curNode || row >= t->ntax || c >= t->nchar || t->nextRow[c] != row)
        return 1;
    const uint32_t slot = row % kTaxaPerKey;
    t->pending[c] |= uint64_t{code} << (8 * (kTaxaPerKey - 1 - slot));
    t->nextRow[c] = row + 1;
    if (slot + 1 < kTaxaPerKey && row + 1 < t->ntax)
        return 0;
    const uint32_t level = row / kTaxaPerKey;
    uint32_t *link = level == 0 ? &t->root : &node(t, t->curNode[c]).eq;
    const uint32_t n = findOrAddKey(t, link, t->pending[c], level);
    if (n == kNone)
        return 1;
    t->curNode[c] = n;
    t->pending[c] = 0;
    if (row + 1 == t->ntax)
        t->charPattern[c] = node(t, n).id;
    return 0;
}

void finishCharGroupTST(PatternTST *t)
{
    if (t)
        ++t->rowsLoaded;
}

int insertFullPatternIntoTST(PatternTST *t, const uint8_t *column, uint32_t c)
{
    if (!t || !column || c >= t->nchar)
        return 1;
    uint32_t *link = &t->root;
    uint32_t n = kNone;
    for (uint32_t level = 0; level < t->nLevels; ++level) {
        n = findOrAddKey(t, link, packKey(column, level, t->ntax), level);
        if (n == kNone)
            return 1;
        link = &node(t, n).eq;
    }
    t->charPattern[c] = node(t, n).id;
    return 0;
}

uint32_t numPatternsInTST(const PatternTST *t) { return t ? t->nPatterns : 0; }
uint32_t numNodesInTST(const PatternTST *t) { return t ? t->nNodes : 0; }

uint32_t charPatternInTST(const PatternTST *t, uint32_t c)
{
    return t && c < t->nchar ? t->charPattern[c] : kNoPattern;
}

int makePatternMatrix(PatternTST *t, DataInfo *d)
{
    if (!t || !d || d->ntax != t->ntax || d->nchar != t->nchar)
        return 1;
    for (uint32_t c = 0; c < t->nchar; ++c)
        if (t->charPattern[c] == kNoPattern)
            return 1;
    const uint32_t nPatterns = t->nPatterns;
    uint64_t cells;
    if (!checkedSizeProduct(nPatterns, t->ntax, &cells)) {
        reportMemoryFailure();
        return 1;
    }
    uint32_t *leafOrder = allocArrayOf<uint32_t>(nPatterns);
    auto **matrix = nPatterns ? allocMatrixOf<uint8_t>(nPatterns, t->ntax) : nullptr;
    uint32_t *index = allocArrayOf<uint32_t>(t->nchar);
    PtndList *list = allocPtndList(t->nchar, true);
    auto fail = [&] {
        deallocArray(leafOrder);
        deallocMatrix(matrix);
        deallocArray(index);
        deallocPtndList(list);
        return 1;
    };
    if (memoryErrorHasOccurred() || !list || (nPatterns && (!leafOrder || !matrix)) ||
        (t->nchar && !index))
        return fail();

    // In-order walk: low siblings, the node (then the level below it), high
    // siblings. Each level's bytes of the row buffer hold the key of the
    // node being visited at that level, so at a leaf the buffer is a column.
    struct Frame {
        uint32_t node;
        uint32_t level;
        uint32_t stage;
    };
    std::vector<Frame> stack;
    stack.push_back({t->root, 0, 0});
    uint32_t rank = 0;
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.node == kNone) {
            stack.pop_back();
            continue;
        }
        const PatternNode &p = node(t, f.node);
        const uint32_t level = f.level;
        switch (f.stage++) {
        case 0:
            stack.push_back({p.lo, level, 0});
            break;
        case 1:
            unpackKey(p.key, level, t->rowBuffer, t->ntax);
            if (level + 1 == t->nLevels) {
                std::memcpy(matrix[rank], t->rowBuffer, t->ntax);
                leafOrder[p.id] = rank++;
            } else {
                stack.push_back({p.eq, level + 1, 0});
            }
            break;
        case 2:
            // The high siblings replace this frame: nothing of it is left.
            f = {p.hi, level, 0};
            break;
        }
    }
    for (uint32_t c = 0; c < t->nchar; ++c) {
        index[c] = leafOrder[t->charPattern[c]];
        addItemToPtndList(list, c, index[c]);
    }
    if (freezePtndList(list, nPatterns) != 0)
        return fail();
    deallocArray(leafOrder);
    deallocCompactStorageData(d);
    d->patternMatrix = matrix;
    d->patternIndex = index;
    d->patternList = list;
    d->nPatterns = nPatterns;
    return 0;
}
