#include "data/charpatterns.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <numeric>
#include <random>
#include <utility>
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
// The tree's nodes may weigh a sixteenth of the full byte matrix, but never
// less than this, so small matrices always keep the tree. Giving way costs
// the matrix plus the tree at that moment, so the share bounds how much
// more than full storage a read can take.
constexpr uint64_t kTreeShareOfMatrix = 16;
constexpr uint64_t kMinTreeBytes = uint64_t{1} << 20;
// A tree that made a node for more than half of the keys looked up shares
// almost nothing: past this many nodes it gives way at once rather than
// growing to its share first.
constexpr uint32_t kUnsharedNodes = 1u << 16;

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
    uint8_t **cells;      // the byte matrix once the tree gave way, else null
    uint64_t nodeLimit;   // nodes beyond which the tree gives way
    uint64_t keysLookedUp;
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
    ++t->keysLookedUp;
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

void releaseNodes(PatternTST *t)
{
    for (uint32_t b = 0; b < t->nBlocks; ++b)
        deallocArray(t->blocks[b]);
    release(t->blocks);
    t->nBlocks = t->blockSlots = 0;
}

// Complete key levels of character c: its node is at the last of them.
uint32_t completeLevels(const PatternTST *t, uint32_t c)
{
    const uint32_t rows = t->nextRow[c];
    return rows == t->ntax ? t->nLevels : rows / kTaxaPerKey;
}

// Writes the cells each character has so far into a new byte matrix and
// drops the tree; 1 on memory failure (the tree is kept).
int spillToMatrix(PatternTST *t)
{
    // The level above a node, for each node: siblings share it, an equal
    // child's is the node itself.
    std::vector<uint32_t> up;
    auto **cells = allocMatrixOf<uint8_t>(t->ntax, t->nchar);
    if (!cells)
        return 1;
    try {
        up.assign(t->nNodes, kNone);
    } catch (const std::bad_alloc &) {
        deallocMatrix(cells);
        reportMemoryFailure();
        return 1;
    }
    std::vector<std::pair<uint32_t, uint32_t>> stack;  // node, the node above
    stack.emplace_back(t->root, kNone);
    while (!stack.empty()) {
        auto [n, above] = stack.back();
        stack.pop_back();
        if (n == kNone)
            continue;
        up[n] = above;
        const PatternNode &p = node(t, n);
        stack.emplace_back(p.lo, above);
        stack.emplace_back(p.hi, above);
        stack.emplace_back(p.eq, n);
    }
    for (uint32_t c = 0; c < t->nchar; ++c) {
        const uint32_t levels = completeLevels(t, c);
        uint32_t n = levels ? t->curNode[c] : kNone;
        for (uint32_t level = levels; level-- > 0; n = up[n]) {
            const uint64_t key = node(t, n).key;
            const uint32_t first = level * kTaxaPerKey;
            for (uint32_t i = 0; i < kTaxaPerKey && first + i < t->ntax; ++i)
                cells[first + i][c] = static_cast<uint8_t>(key >> (8 * (kTaxaPerKey - 1 - i)));
        }
        for (uint32_t row = levels * kTaxaPerKey; row < t->nextRow[c]; ++row)
            cells[row][c] = static_cast<uint8_t>(t->pending[c] >> (8 * (kTaxaPerKey - 1 - row % kTaxaPerKey)));
    }
    releaseNodes(t);
    release(t->curNode);
    release(t->pending);
    t->root = kNone;
    t->cells = cells;
    return 0;
}

int spillIfTooBig(PatternTST *t)
{
    const bool unshared = t->nNodes > kUnsharedNodes && 2 * uint64_t{t->nNodes} > t->keysLookedUp;
    return t->nextRow && (t->nNodes > t->nodeLimit || unshared) ? spillToMatrix(t) : 0;
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
    t->nodeLimit = std::max(uint64_t{ntax} * nchar / kTreeShareOfMatrix, kMinTreeBytes) / sizeof(PatternNode);
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
    releaseNodes(t);
    deallocMatrix(t->cells);
    release(t->curNode);
    release(t->pending);
    release(t->nextRow);
    release(t->levelCounts);
    release(t->charPattern);
    release(t->rowBuffer);
    deallocBlock(t);
    return nullptr;
}

namespace {

// The cell's code into its column's key, and the key into the tree once the
// key's eight rows are in. Kept out of line, so that the store into the byte
// matrix, once the tree gave way, is a call without a stack frame: it runs
// for every cell of a large matrix.
[[gnu::noinline]] int insertStateIntoTree(PatternTST *t, uint32_t row, uint32_t c, uint8_t code)
{
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
    return spillIfTooBig(t);
}

}  // namespace

int insertStateIntoPatternTST(PatternTST *t, uint32_t row, uint32_t c, uint8_t code)
{
    if (!t || !t->nextRow || row >= t->ntax || c >= t->nchar || t->nextRow[c] != row)
        return 1;
    if (!t->cells)
        return insertStateIntoTree(t, row, c, code);
    t->cells[row][c] = code;
    t->nextRow[c] = row + 1;
    return 0;
}

int insertRowRunIntoPatternTST(PatternTST *t, uint32_t row, uint32_t c, const uint8_t *codes,
                               uint32_t n)
{
    // A row that completes no key of eight taxa only adds its codes to the
    // characters' pending keys; the tree is looked at for the others.
    const bool keyIncomplete = t && row % kTaxaPerKey + 1 < kTaxaPerKey && row + 1 < t->ntax;
    if (keyIncomplete && !t->cells && t->nextRow && c <= t->nchar && n <= t->nchar - c) {
        const uint32_t shift = 8 * (kTaxaPerKey - 1 - row % kTaxaPerKey);
        uint32_t outOfOrder = 0;
        for (uint32_t i = c; i < c + n; ++i)
            outOfOrder |= t->nextRow[i] ^ row;
        if (outOfOrder)
            return 1;
        for (uint32_t i = c; i < c + n; ++i) {
            t->pending[i] |= uint64_t{codes[i - c]} << shift;
            t->nextRow[i] = row + 1;
        }
        return 0;
    }
    for (uint32_t k = 0; k < n; ++k) {
        if (t && t->cells && c + k <= t->nchar && n - k <= t->nchar - (c + k)) {
            // Once the cells went to the byte matrix a run is copied whole;
            // the rows expected are checked first, in a loop without exits
            // that the compiler can vectorise.
            uint32_t outOfOrder = row >= t->ntax;
            for (uint32_t i = c + k; i < c + n; ++i)
                outOfOrder |= t->nextRow[i] ^ row;
            if (outOfOrder)
                return 1;
            std::fill(t->nextRow + c + k, t->nextRow + c + n, row + 1);
            std::memcpy(t->cells[row] + c + k, codes + k, n - k);
            return 0;
        }
        if (insertStateIntoPatternTST(t, row, c + k, codes[k]) != 0)
            return 1;
    }
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
    if (t->cells) {
        for (uint32_t row = 0; row < t->ntax; ++row)
            t->cells[row][c] = column[row];
        t->nextRow[c] = t->ntax;
        return 0;
    }
    uint32_t *link = &t->root;
    uint32_t n = kNone;
    for (uint32_t level = 0; level < t->nLevels; ++level) {
        n = findOrAddKey(t, link, packKey(column, level, t->ntax), level);
        if (n == kNone)
            return 1;
        link = &node(t, n).eq;
    }
    t->charPattern[c] = node(t, n).id;
    if (!t->nextRow)
        return 0;
    t->curNode[c] = n;
    t->nextRow[c] = t->ntax;
    return spillIfTooBig(t);
}

bool patternTSTHoldsMatrix(const PatternTST *t) { return t && t->cells; }

uint32_t numPatternsInTST(const PatternTST *t) { return t ? t->nPatterns : 0; }
uint32_t numNodesInTST(const PatternTST *t) { return t ? t->nNodes : 0; }

uint32_t charPatternInTST(const PatternTST *t, uint32_t c)
{
    return t && c < t->nchar && !t->cells ? t->charPattern[c] : kNoPattern;
}

namespace {

// The pattern matrix of the byte matrix t->cells, or d's full storage when
// mayStoreFull and the patterns would save too little. Columns are grouped
// by a hash built row by row (the matrix is read in its own order); a second
// pass checks each column against its group's first column, and should two
// different columns ever share a hash the matrix is kept as full storage,
// or, where compact storage is required, grouped again by sorting.
int patternMatrixFromCells(PatternTST *t, DataInfo *d, bool mayStoreFull)
{
    const uint32_t ntax = t->ntax, nchar = t->nchar;
    uint8_t **cells = t->cells;
    std::vector<uint32_t> first;      // per character: the first character of its group
    std::vector<uint32_t> patterns;   // the first character of each group, sorted by column
    bool collided = false;
    auto keepFullStorage = [&] {
        deallocCompactStorageData(d);
        deallocMatrix(d->matrix);
        d->matrix = cells;
        d->compactStorage = 0;
        t->cells = nullptr;
        return 0;
    };
    try {
        if (mayStoreFull && columnSampleShowsFullStorage(cells, ntax, nchar))
            return keepFullStorage();
        {
            std::vector<uint64_t> hash(nchar, 0);
            for (uint32_t row = 0; row < ntax; ++row) {
                const uint8_t *r = cells[row];
                for (uint32_t c = 0; c < nchar; ++c)
                    hash[c] = (hash[c] ^ (r[c] + uint64_t{1})) * 0x9E3779B97F4A7C15ull + (hash[c] >> 29);
            }
            uint32_t slots = 2;
            while (slots < 2 * uint64_t{nchar})
                slots *= 2;
            std::vector<uint32_t> table(slots, kNone);
            first.resize(nchar);
            for (uint32_t c = 0; c < nchar; ++c) {
                uint32_t s = static_cast<uint32_t>(hash[c] ^ (hash[c] >> 32)) & (slots - 1);
                while (table[s] != kNone && hash[table[s]] != hash[c])
                    s = (s + 1) & (slots - 1);
                if (table[s] == kNone) {
                    table[s] = c;
                    patterns.push_back(c);
                }
                first[c] = table[s];
            }
        }
        for (uint32_t row = 0; row < ntax && !collided; ++row) {
            const uint8_t *r = cells[row];
            for (uint32_t c = 0; c < nchar; ++c)
                collided |= r[c] != r[first[c]];
        }
        if (collided && !mayStoreFull) {
            // Exact grouping: characters sorted by column, equal runs merged.
            std::vector<uint32_t> order(nchar);
            for (uint32_t c = 0; c < nchar; ++c)
                order[c] = c;
            auto columnLess = [&](uint32_t a, uint32_t b) {
                for (uint32_t row = 0; row < ntax; ++row)
                    if (cells[row][a] != cells[row][b])
                        return cells[row][a] < cells[row][b];
                return false;
            };
            std::stable_sort(order.begin(), order.end(), columnLess);
            patterns.clear();
            for (uint32_t k = 0; k < nchar; ++k) {
                if (k == 0 || columnLess(patterns.back(), order[k]))
                    patterns.push_back(order[k]);
                first[order[k]] = patterns.back();
            }
            collided = false;
        }
        if (collided || (mayStoreFull && uint64_t{patterns.size()} * 8 > nchar))
            return keepFullStorage();
        std::sort(patterns.begin(), patterns.end(), [&](uint32_t a, uint32_t b) {
            for (uint32_t row = 0; row < ntax; ++row)
                if (cells[row][a] != cells[row][b])
                    return cells[row][a] < cells[row][b];
            return false;
        });
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
    const auto nPatterns = static_cast<uint32_t>(patterns.size());
    auto **matrix = nPatterns ? allocMatrixOf<uint8_t>(nPatterns, ntax) : nullptr;
    uint32_t *index = allocArrayOf<uint32_t>(nchar);
    PtndList *list = allocPtndList(nchar, true);
    if (memoryErrorHasOccurred() || !list || (nPatterns && !matrix) || (nchar && !index)) {
        deallocMatrix(matrix);
        deallocArray(index);
        deallocPtndList(list);
        return 1;
    }
    // The rank of each group, kept for the moment in the index slot of the
    // group's first character.
    for (uint32_t p = 0; p < nPatterns; ++p)
        index[patterns[p]] = p;
    for (uint32_t row = 0; row < ntax; ++row)
        for (uint32_t p = 0; p < nPatterns; ++p)
            matrix[p][row] = cells[row][patterns[p]];
    for (uint32_t c = 0; c < nchar; ++c) {
        index[c] = index[first[c]];
        addItemToPtndList(list, c, index[c]);
    }
    if (freezePtndList(list, nPatterns) != 0) {
        deallocMatrix(matrix);
        deallocArray(index);
        deallocPtndList(list);
        return 1;
    }
    deallocCompactStorageData(d);
    d->patternMatrix = matrix;
    d->patternIndex = index;
    d->patternList = list;
    d->nPatterns = nPatterns;
    t->cells = static_cast<uint8_t **>(deallocMatrix(cells));
    return 0;
}

}  // namespace

bool columnSampleShowsFullStorage(const uint8_t *const *cells, uint32_t ntax, uint32_t nchar)
{
    // Were the distinct columns D <= N/8 of the N columns, their counts m
    // would sum to N with sum m^2 >= N^2/D >= 8N, and k columns drawn at
    // random would hold on average C(k,2) sum m(m-1) / (N(N-1)) >= 3.5 k^2/N
    // equal pairs: with k = 5 sqrt(N), over 87. Finding at most 8 (columns
    // compared by a hash, whose collisions only add pairs) rules that out.
    if (!cells || ntax == 0 || nchar < 64)
        return false;
    const auto k = static_cast<uint32_t>(std::min<double>(nchar, 5.0 * std::sqrt(static_cast<double>(nchar)) + 1));
    std::vector<uint32_t> sample(nchar);
    std::iota(sample.begin(), sample.end(), 0u);
    std::mt19937 rng(nchar);  // the same sample for the same matrix
    for (uint32_t i = 0; i < k; ++i)
        std::swap(sample[i], sample[i + rng() % (nchar - i)]);
    sample.resize(k);
    std::sort(sample.begin(), sample.end());  // each row read in its own order
    std::vector<uint64_t> hash(k, 0);
    for (uint32_t row = 0; row < ntax; ++row) {
        const uint8_t *r = cells[row];
        for (uint32_t j = 0; j < k; ++j)
            hash[j] = (hash[j] ^ (r[sample[j]] + uint64_t{1})) * 0x9E3779B97F4A7C15ull + (hash[j] >> 29);
    }
    std::sort(hash.begin(), hash.end());
    uint64_t pairs = 0;
    for (uint32_t i = 0, run = 1; i + 1 < k; ++i) {
        run = hash[i + 1] == hash[i] ? run + 1 : 1;
        pairs += run - 1;  // the new column pairs with each equal one before it
    }
    return pairs <= 8;
}

int makePatternMatrix(PatternTST *t, DataInfo *d, bool mayStoreFull)
{
    if (!t || !d || d->ntax != t->ntax || d->nchar != t->nchar)
        return 1;
    if (t->cells) {
        for (uint32_t c = 0; c < t->nchar; ++c)
            if (t->nextRow[c] != t->ntax)
                return 1;
        return patternMatrixFromCells(t, d, mayStoreFull);
    }
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
