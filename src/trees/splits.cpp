#include "trees/splits.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "data/vorn_data.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "trees/treebuf.h"
#include "trees/treeedit.h"

namespace {

constexpr uint32_t kMinSlots = 2048;

// A multiply-xorshift mix of the words: every bit of a split reaches the
// top bits that pick the slot.
inline uint32_t hashSplit(const uint64_t *split, uint32_t words)
{
    uint64_t h = 0x9E3779B97F4A7C15ull ^ words;
    for (uint32_t w = 0; w < words; w++) {
        h ^= split[w];
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    h *= 0x94D049BB133111EBull;
    return static_cast<uint32_t>(h >> 32);
}

inline bool sameSplit(const uint64_t *a, const uint64_t *b, uint32_t words)
{
    for (uint32_t w = 0; w < words; w++)
        if (a[w] != b[w])
            return false;
    return true;
}

// Grows every container by the caller's step; the growth of a vector is
// amortised, so a split added to a large table allocates nothing most times.
template <typename Fn>
bool guarded(Fn &&fn)
{
    try {
        fn();
        return true;
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return false;
    }
}

void insertSlot(SplitsTable *t, uint32_t index, uint32_t hash)
{
    const uint32_t mask = static_cast<uint32_t>(t->slots.size()) - 1;
    uint32_t s = hash & mask;
    while (t->slots[s] != 0)
        s = (s + 1) & mask;
    t->slots[s] = uint64_t{hash} << 32 | (index + 1);
}

bool growSlots(SplitsTable *t)
{
    const size_t size = t->slots.size() * 2;
    return guarded([&] {
        t->slots.assign(size, 0);
        for (uint32_t i = 0; i < t->splits.count; i++)
            insertSlot(t, i, t->hashes[i]);
    });
}

}  // namespace

// ---------------------------------------------------------------------------
// Lists

SplitsList *createSplitsList(uint32_t ntax, uint32_t capacity, bool /*contiguous: always*/)
{
    auto *list = new (std::nothrow) SplitsList;
    if (!list)
        return reportMemoryFailure(), nullptr;
    list->ntax = ntax;
    list->words = splitWords(ntax);
    if (!guarded([&] { list->bits.reserve(size_t(std::max(capacity, 1u)) * list->words); }))
        return destroySplitsList(list);
    return list;
}

SplitsList *destroySplitsList(SplitsList *list)
{
    delete list;
    return nullptr;
}

int setSplitsListSize(SplitsList *list, uint32_t n)
{
    if (!guarded([&] { list->bits.resize(size_t(n) * list->words, 0); }))
        return 1;
    list->count = n;
    return 0;
}

int appendSplitToList(SplitsList *list, const uint64_t *split)
{
    const size_t at = size_t(list->count) * list->words;
    if (!guarded([&] {
            if (list->bits.size() < at + list->words)
                list->bits.resize(at + list->words);
        }))
        return 1;
    std::memcpy(list->bits.data() + at, split, list->words * sizeof(uint64_t));
    list->count++;
    return 0;
}

// ---------------------------------------------------------------------------
// Tables

SplitsTable *createSplitsTable(uint32_t ntax, uint32_t capacity, uint32_t flags)
{
    auto *t = new (std::nothrow) SplitsTable;
    if (!t)
        return reportMemoryFailure(), nullptr;
    t->flags = flags;
    t->ntax = ntax;
    t->words = splitWords(ntax);
    t->splits.ntax = ntax;
    t->splits.words = t->words;
    capacity = std::max(capacity, 1u);
    const bool ok = guarded([&] {
        t->splits.bits.reserve(size_t(capacity) * t->words);
        t->scratch.assign(t->words, 0);
        t->hashes.reserve(capacity);
        if (!(flags & kSplitsNoHash))
            t->slots.assign(std::max(kMinSlots, std::bit_ceil(capacity * 2)), 0);
        if (flags & kSplitsCounts)
            t->counts.reserve(capacity);
        if (flags & kSplitsWeights)
            t->weights.reserve(capacity);
        if ((flags & kSplitsWeight2) && (flags & kSplitsWeights))
            t->weights2.reserve(capacity);
        if (flags & kSplitsSupport)
            t->support.reserve(ntax);
        if (flags & kSplitsMembers) {
            t->memberFirst.reserve(capacity);
            t->memberLast.reserve(capacity);
        }
    });
    if (!ok)
        return destroySplitsTable(t);
    return t;
}

SplitsTable *destroySplitsTable(SplitsTable *table)
{
    delete table;
    return nullptr;
}

void resetSplitsTable(SplitsTable *t)
{
    t->splits.count = 0;
    t->counts.clear();
    t->weights.clear();
    t->weights2.clear();
    t->support.clear();
    t->memberFirst.clear();
    t->memberLast.clear();
    t->memberNext.clear();
    t->memberTree.clear();
    t->order.clear();
    t->hashes.clear();
    t->nextMember = 0;
    std::fill(t->slots.begin(), t->slots.end(), 0);
}

namespace {

uint32_t findHashedSplit(const SplitsTable *t, const uint64_t *split, uint32_t h)
{
    if (t->slots.empty()) {
        for (uint32_t i = 0; i < t->splits.count; i++)
            if (t->hashes[i] == h && sameSplit(getSplitFromTable(t, i), split, t->words))
                return i;
        return kNoSplit;
    }
    const uint32_t mask = static_cast<uint32_t>(t->slots.size()) - 1;
    for (uint32_t s = h & mask;; s = (s + 1) & mask) {
        const uint64_t slot = t->slots[s];
        if (slot == 0)
            return kNoSplit;
        const uint32_t e = static_cast<uint32_t>(slot);
        if (static_cast<uint32_t>(slot >> 32) == h && sameSplit(getSplitFromTable(t, e - 1), split, t->words))
            return e - 1;
    }
}

const uint64_t *updateWithHashedSplit(SplitsTable *t, const uint64_t *split, uint32_t h, uint32_t treeNumber,
                                      bool add, double weight)
{
    uint32_t i = findHashedSplit(t, split, h);
    const bool fresh = i == kNoSplit;
    if (fresh) {
        if (!add)
            return nullptr;
        i = t->splits.count;
        // Every parallel array grows before the split goes in, so a failure
        // leaves the table as it was.
        const bool ok = guarded([&] {
            t->hashes.push_back(h);
            if (t->flags & kSplitsCounts)
                t->counts.resize(i + 1);
            if (t->flags & kSplitsWeights)
                t->weights.resize(i + 1);
            if ((t->flags & kSplitsWeight2) && (t->flags & kSplitsWeights))
                t->weights2.resize(i + 1);
            if (t->flags & kSplitsMembers) {
                t->memberFirst.resize(i + 1);
                t->memberLast.resize(i + 1);
            }
        });
        if (!ok || (!t->slots.empty() && 2 * (i + 1) > t->slots.size() && !growSlots(t)) ||
            appendSplitToList(&t->splits, split) != 0) {
            t->hashes.resize(i);
            return nullptr;
        }
        if (!t->slots.empty())
            insertSlot(t, i, h);
    }
    if (t->flags & kSplitsMembers) {
        const uint32_t e = t->nextMember;
        if (!guarded([&] {
                t->memberNext.push_back(kNoSplit);
                t->memberTree.push_back(treeNumber);
            }))
            return nullptr;
        if (fresh)
            t->memberFirst[i] = e;
        else
            t->memberNext[t->memberLast[i]] = e;
        t->memberLast[i] = e;
        t->nextMember++;
    } else {
        if (t->flags & kSplitsWeights)
            t->weights[i] = fresh ? weight : t->weights[i] + weight;
        if (t->flags & kSplitsCounts)
            t->counts[i] = fresh ? 1 : t->counts[i] + 1;
    }
    return getSplitFromTable(t, i);
}

}  // namespace

uint32_t findMatchingSplit(const SplitsTable *t, const uint64_t *split, uint32_t *hashOut)
{
    const uint32_t h = hashSplit(split, t->words);
    if (hashOut)
        *hashOut = h;
    return findHashedSplit(t, split, h);
}

const uint64_t *updateTableWithSplit(SplitsTable *t, const uint64_t *split, uint32_t treeNumber, bool add,
                                     double weight)
{
    return updateWithHashedSplit(t, split, hashSplit(split, t->words), treeNumber, add, weight);
}

int updateSplitsTableFromTree(SplitsTable *table, Tree *tree, uint32_t treeNumber, bool add, double weight)
{
    checkLeafSets(tree);
    checkTraversalSeq(tree);
    TreeNode *root = tree->root;
    const TreeNode *stop = root->firstChild && !root->firstChild->nextSib ? root->firstChild : root;
    for (TreeNode *n = tree->tail; n && n != stop; n = n->prev) {
        if (!n->firstChild || !n->anc)
            continue;
        if (!updateTableWithSplit(table, n->leafSet, treeNumber, add, weight) && add)
            return 1;
    }
    return 0;
}

int updateSplitsTableFromTree(SplitsTable *table, Tree *tree, bool add, double weight)
{
    return updateSplitsTableFromTree(table, tree, 0, add, weight);
}

namespace {

template <typename E>
int splitsOfEncoding(SplitsTable *t, const TreeBuffer *buf, const E *rep, uint32_t treeNumber, bool add,
                     double weight, uint32_t *tipsOut)
{
    // The encoding lists the nodes in preorder from the basal fork, each
    // with its next sibling or, for a last child, the number of subtrees
    // that close after it. A stack of open forks gathers the tips; a fork's
    // set joins its parent's when it closes.
    const uint32_t tf = buf->tipFlag;
    const uint32_t mask = tf - 1;
    const uint32_t pairs = rep[0];
    const uint32_t words = t->words;
    uint32_t tips = rep[1] == tf ? 0 : 1;
    uint32_t forks = 0;
    // Pair 0 holds the count and the root; pair 1 is the basal fork.
    for (uint32_t i = 2; i < pairs; i++) {
        if (rep[2 * i] & tf)
            tips++;
        else
            forks++;
    }
    *tipsOut = tips;
    if (tips != t->ntax)
        return 0;  // a taxon is missing: the caller says which tree
    t->forkSets.assign(size_t(forks) * words, 0);
    t->forkStack.clear();
    uint64_t *sets = t->forkSets.data();
    uint32_t next = 0;
    for (uint32_t i = 2; i < pairs; i++) {
        const uint32_t e0 = rep[2 * i];
        if (!(e0 & tf)) {
            t->forkStack.push_back(next++);
            continue;
        }
        const uint32_t taxon = e0 & mask;
        if (taxon >= t->ntax)
            return 1;
        if (!t->forkStack.empty())
            sets[size_t(t->forkStack.back()) * words + taxon / 64] |= uint64_t{1} << (taxon % 64);
        const uint32_t e1 = rep[2 * i + 1];
        if (!(e1 & tf))
            continue;
        for (uint32_t closing = e1 & mask; closing > 0 && !t->forkStack.empty(); closing--) {
            const uint32_t child = t->forkStack.back();
            t->forkStack.pop_back();
            if (t->forkStack.empty())
                break;
            const uint64_t *from = sets + size_t(child) * words;
            uint64_t *to = sets + size_t(t->forkStack.back()) * words;
            for (uint32_t w = 0; w < words; w++)
                to[w] |= from[w];
        }
    }
    // The index of a large table is far out of cache: every probe's slot,
    // then the split it names, is fetched ahead before the splits go in.
    t->forkHashes.resize(forks);
    for (uint32_t k = 0; k < forks; k++)
        t->forkHashes[k] = hashSplit(sets + size_t(k) * words, words);
    if (!t->slots.empty()) {
        const size_t slotMask = t->slots.size() - 1;
        for (uint32_t k = 0; k < forks; k++)
            __builtin_prefetch(&t->slots[t->forkHashes[k] & slotMask]);
        for (uint32_t k = 0; k < forks; k++)
            if (const uint64_t slot = t->slots[t->forkHashes[k] & slotMask]; slot != 0)
                __builtin_prefetch(getSplitFromTable(t, static_cast<uint32_t>(slot) - 1));
    }
    // The order of a backward walk of the tree: the last fork first.
    for (uint32_t k = forks; k-- > 0;)
        if (!updateWithHashedSplit(t, sets + size_t(k) * words, t->forkHashes[k], treeNumber, add, weight) && add)
            return 1;
    return 0;
}

}  // namespace

int updateSplitsTableFromStoredTree(SplitsTable *table, const TreeBuffer *buf, uint32_t n, uint32_t treeNumber,
                                    bool add, double weight, uint32_t *tipsOut)
{
    *tipsOut = 0;
    if (n == 0 || n > buf->numTrees || buf->ntax > table->ntax)
        return 1;
    const uint8_t *rep = treeLocation(buf, n - 1);
    try {
        if (buf->elemWidth == 1)
            return splitsOfEncoding(table, buf, rep, treeNumber, add, weight, tipsOut);
        return splitsOfEncoding(table, buf, reinterpret_cast<const uint16_t *>(rep), treeNumber, add, weight,
                                tipsOut);
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
}

void makeSplitsListFromTree(Tree *tree, SplitsList *list)
{
    checkLeafSets(tree);
    checkTraversalSeq(tree);
    clearSplitsList(list);
    TreeNode *root = tree->root;
    TreeNode *basal = root->firstChild && !root->firstChild->nextSib ? root->firstChild : root;
    for (TreeNode *n = basal; n; n = n->next)
        if (n->firstChild && n->anc && n != basal && countChildren(n->anc) >= 2)
            appendSplitToList(list, n->leafSet);
}

bool areSplitsCompatible(const uint64_t *a, const uint64_t *b, uint32_t words)
{
    bool disjoint = true, aInB = true, bInA = true;
    for (uint32_t w = 0; w < words; w++) {
        const uint64_t both = a[w] & b[w];
        disjoint &= both == 0;
        aInB &= both == a[w];
        bInA &= both == b[w];
    }
    return disjoint || aInB || bInA;
}

uint32_t splitSize(const uint64_t *split, uint32_t words)
{
    uint32_t n = 0;
    for (uint32_t w = 0; w < words; w++)
        n += static_cast<uint32_t>(std::popcount(split[w]));
    return n;
}

std::vector<uint32_t> sortSplitsTableByFreq(const SplitsTable *t)
{
    std::vector<uint32_t> order(t->splits.count);
    for (uint32_t i = 0; i < order.size(); i++)
        order[i] = i;
    if (!t->weights.empty())
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t a, uint32_t b) { return t->weights[a] > t->weights[b]; });
    else if (!t->counts.empty())
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t a, uint32_t b) { return t->counts[a] > t->counts[b]; });
    return order;
}

// ---------------------------------------------------------------------------
// Trees from splits

namespace {

void appendChildNode(TreeNode *parent, TreeNode *child)
{
    child->anc = parent;
    child->nextSib = nullptr;
    TreeNode **link = &parent->firstChild;
    while (*link)
        link = &(*link)->nextSib;
    *link = child;
}

}  // namespace

int makeTreeFromSplitsList(Tree *tree, uint32_t ntax, const SplitsList *list, const float *support, TreeNode *root)
{
    const uint32_t n = list->count;
    const uint32_t words = list->words;
    const uint32_t base = tree->ntax + 1;  // position of internal node ntax + 0
    if (n >= tree->ntax)
        return 1;
    const int32_t rootPosition = static_cast<int32_t>(root - tree->nodes);
    const bool rootIsAnc = rootPosition == 0;
    const bool rootIsTip = rootPosition >= 1 && rootPosition <= static_cast<int32_t>(tree->ntax);
    initNodes(tree, tree->ntax);
    std::vector<uint32_t> bySize(n), size(n);
    for (uint32_t k = 0; k < n; k++) {
        bySize[k] = k;
        size[k] = splitSize(getSplitFromList(list, k), words);
    }
    std::stable_sort(bySize.begin(), bySize.end(), [&](uint32_t a, uint32_t b) { return size[a] < size[b]; });
    TreeNode *basal = tree->nodes + base + n;
    // The caller names the basal fork's node when it should be the root.
    if (rootPosition == static_cast<int32_t>(base + n))
        root = basal;
    for (uint32_t p = 0; p < tree->maxNodes; p++)
        tree->nodes[p].edge.support = 0.0f;
    if (root != basal)
        appendChildNode(root, basal);
    for (uint32_t k = 0; k < n; k++) {
        const uint64_t *s = getSplitFromList(list, bySize[k]);
        TreeNode *parent = basal;
        for (uint32_t j = k + 1; j < n; j++)
            if (isSubsetSplit(s, getSplitFromList(list, bySize[j]), words)) {
                parent = tree->nodes + base + j;
                break;
            }
        appendChildNode(parent, tree->nodes + base + k);
    }
    for (uint32_t t = 0; t < ntax; t++) {
        TreeNode *tip = tree->nodes + 1 + t;
        if (tip == root)
            continue;
        TreeNode *parent = basal;
        for (uint32_t k = 0; k < n; k++)
            if (getSplitFromList(list, bySize[k])[t / 64] >> (t % 64) & 1) {
                parent = tree->nodes + base + k;
                break;
            }
        appendChildNode(parent, tip);
    }
    tree->root = root;
    root->anc = nullptr;
    if (rootIsAnc)
        tree->flags |= kTreeRootedAtAnc;
    else
        tree->flags &= ~kTreeRootedAtAnc;
    tree->numLeaves = ntax;
    (void)rootIsTip;
    orderTree(tree, kOrderByLowestTaxon, nullptr);
    afterLeavesChanged(tree);
    setTraversalSeq(tree);
    if (support) {
        for (uint32_t t = 0; t < ntax; t++)
            tree->nodes[1 + t].edge.support = 100.0f;
        for (uint32_t k = 0; k < n; k++)
            tree->nodes[base + k].edge.support = support[bySize[k]];
        if (basal->anc && basal->anc == root && !basal->nextSib)
            basal->edge.support = 100.0f;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Dot plot

namespace {

struct PlotColumns {
    std::vector<uint32_t> numbers;  // 1-based numbers in the full matrix, per active taxon
    bool anyDeleted;
};

void digitRow(const PlotColumns &c, uint32_t from, uint32_t to, uint32_t divisor, const char *label)
{
    std::string line;
    for (uint32_t t = from; t < to; t++) {
        const uint32_t v = c.numbers[t];
        bool show = v >= divisor;
        if (show && divisor > 1 && !c.anyDeleted)
            show = v % 10 == 0 || t == from || t + 1 == to;
        line += show ? static_cast<char>('0' + (v / divisor) % 10) : ' ';
    }
    qel_printf("%s%s\n", line.c_str(), label);
}

}  // namespace

void showSplitsDotPlot(const SplitsTable *t, const DataInfo *data, uint32_t threshold, bool groups,
                       const char *titleSuffix, double total)
{
    const uint32_t count = t->splits.count;
    const bool useWeights = !t->weights.empty();
    auto value = [&](uint32_t i) { return useWeights ? t->weights[i] : static_cast<double>(t->counts[i]); };
    std::vector<uint32_t> rows(count);
    for (uint32_t i = 0; i < count; i++)
        rows[i] = t->order.size() == count ? t->order[i] : i;
    const bool percentColumn = std::fabs(total - 100.0) > 1e-6;
    uint32_t shown = count;
    if (threshold && useWeights && total > 0.0)
        for (uint32_t i = 0; i < count; i++)
            if (static_cast<uint32_t>(100.0 * t->weights[i] / total + 0.01) < threshold)
                shown--;
    qel_printf("\n%s found in one or more trees and frequency of occurrence%s:\n",
               groups ? "Groups" : "Bipartitions", titleSuffix ? titleSuffix : "");

    const uint32_t ntax = t->ntax;
    PlotColumns columns{std::vector<uint32_t>(ntax), false};
    for (uint32_t k = 0; k < ntax; k++) {
        columns.numbers[k] = data ? getTaxNum(data, k) : k + 1;
        columns.anyDeleted |= columns.numbers[k] != k + 1;
    }
    bool decimals = false;
    if (useWeights)
        for (uint32_t i = 0; i < shown; i++) {
            char text[64];
            std::snprintf(text, sizeof text, "%g", t->weights[rows[i]]);
            decimals |= std::strchr(text, '.') != nullptr;
        }
    const char *valueFormat = !useWeights ? "%14d" : decimals ? "%14.2f" : "%14.10g";

    // Column chunks of at most the line length.
    const uint32_t lineLength = maxOutputColumns(1, 0);
    const uint32_t free = percentColumn ? 17 : 10;
    std::vector<std::pair<uint32_t, uint32_t>> chunks;
    for (uint32_t from = 0; from < ntax;) {
        uint32_t to = std::min(ntax, from + std::max(lineLength, 1u));
        if (to + 10 > ntax && ntax >= from + 11 && lineLength - (to - from) < free)
            to = ntax - 10;
        chunks.emplace_back(from, to);
        from = to;
    }
    const uint32_t last = columns.numbers.empty() ? 0 : columns.numbers.back();
    for (auto [from, to] : chunks) {
        const bool lastChunk = to == ntax;
        char units[64] = "";
        if (lastChunk)
            std::snprintf(units, sizeof units, "%14s%s", "Freq", percentColumn ? "        %" : "");
        if (last > 999)
            digitRow(columns, from, to, 1000, "");
        if (last >= 100)
            digitRow(columns, from, to, 100, "");
        if (last > 9)
            digitRow(columns, from, to, 10, "");
        digitRow(columns, from, to, 1, units);
        tableLine(static_cast<int32_t>(to - from + std::strlen(units)), 0);
        for (uint32_t r = 0; r < shown; r++) {
            if (getAbortedStatus())
                return;
            const uint32_t i = rows[r];
            const uint64_t *s = getSplitFromTable(t, i);
            std::string line;
            for (uint32_t k = from; k < to; k++)
                line += (s[k / 64] >> (k % 64) & 1) ? '*' : '.';
            qel_printf("%s", line.c_str());
            if (lastChunk) {
                if (useWeights)
                    qel_printf(valueFormat, value(i));
                else
                    qel_printf(valueFormat, static_cast<int>(t->counts[i]));
                if (percentColumn)
                    qel_printf("%8.2f%%", total > 0.0 ? 100.0 * value(i) / total : 0.0);
            }
            qel_printf("\n");
        }
        if (chunks.size() > 1 && !lastChunk)
            qel_printf("\n");
    }
    if (shown == 0)
        qel_printf("  (none)\n");
    if (shown < count)
        qel_printf("\n%d group%s at (relative) frequency less than %d%% not shown\n", static_cast<int>(count - shown),
                   count - shown == 1 ? "" : "s", static_cast<int>(threshold));
}

void debugShowSplitsTable(const SplitsTable *t)
{
    for (uint32_t i = 0; i < t->splits.count; i++) {
        const uint64_t *s = getSplitFromTable(t, i);
        std::string line;
        for (uint32_t k = 0; k < t->ntax; k++)
            line += (s[k / 64] >> (k % 64) & 1) ? '*' : '.';
        qel_printf("%5u %s", i + 1, line.c_str());
        if (!t->weights.empty())
            qel_printf(" %g", t->weights[i]);
        else if (!t->counts.empty())
            qel_printf(" %u", t->counts[i]);
        qel_printf("\n");
    }
}

void debugShowSplitsList(const SplitsList *list)
{
    for (uint32_t i = 0; i < list->count; i++) {
        const uint64_t *s = getSplitFromList(list, i);
        std::string line;
        for (uint32_t k = 0; k < list->ntax; k++)
            line += (s[k / 64] >> (k % 64) & 1) ? '*' : '.';
        qel_printf("%5u %s (%u)\n", i + 1, line.c_str(), splitSize(s, list->words));
    }
}
