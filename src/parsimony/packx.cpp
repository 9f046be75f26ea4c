#include "parsimony/packx.h"
#include "parsimony/partitn.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <new>
#include <span>
#include <vector>

#include "data/column_reader.h"
#include "data/data_services.h"
#include "data/data_util.h"
#include "data/usertypes.h"
#include "parsimony/dollo_bits.h"
#include "parsimony/dollo_search.h"
#include "parsimony/lenrange.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "parsimony/stmx.h"
#include "qel/qel_malloc.h"
#include "qel/qel_math.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kNoField = 0;

uint32_t activeTaxa(const DataInfo *d) { return d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0; }

// Cell states as raw state bits; 0 for a missing cell (gaps as the gap mode says).
uint64_t cellBits(const DataInfo *d, int32_t taxon, uint32_t c)
{
    if (isMissingOrGapMiss(taxon, c, d))
        return 0;
    uint64_t b = getXijAsBits(d, taxon, c, nullptr);
    return b == kAllStates ? 0 : b;
}

// The bits of `bits` selected by `mask`, packed to the low end in mask order.
uint64_t extractBits(uint64_t bits, uint64_t mask)
{
    uint64_t out = 0;
    for (uint32_t k = 0; mask; mask &= mask - 1, k++)
        if (bits & mask & -mask)
            out |= uint64_t{1} << k;
    return out;
}

uint64_t lowMask(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// First-fit placement of a field of width w; returns the word, sets *offset.
struct Placer {
    std::vector<uint8_t> fill;
    std::vector<uint8_t> width;  // unordered class: one width per word
    std::array<uint32_t, 129> start{};
    bool perWidth = false;

    uint32_t place(uint32_t w, uint32_t *offset)
    {
        uint32_t &first = start[perWidth ? w : 0];
        for (uint32_t i = first; i < fill.size(); i++) {
            if (perWidth && width[i] != w)
                continue;
            uint32_t u = fill[i];
            if (w > 128 - u)
                continue;
            uint32_t at = u;
            if (u < 64 && u + w > 64)
                at = 64;
            if (at + w > 128)
                continue;
            fill[i] = static_cast<uint8_t>(at + w);
            if (at + w == 128 && i == first)
                first++;
            *offset = at;
            return i;
        }
        fill.push_back(static_cast<uint8_t>(w));
        if (perWidth)
            width.push_back(static_cast<uint8_t>(w));
        *offset = 0;
        return static_cast<uint32_t>(fill.size() - 1);
    }
};

// Uninformative test for ordered-like characters from single-state and
// polymorphic cell counts.
// Cells of one character over the active taxa, as cellBits gives them.
using CharCells = std::span<const uint64_t>;

std::array<uint32_t, 64> singleStateCounts(CharCells cells)
{
    std::array<uint32_t, 64> count{};
    for (uint64_t b : cells)
        if (b && !(b & (b - 1)))
            count[std::countr_zero(b)]++;
    return count;
}

bool orderedUninformative(CharCells cells)
{
    const std::array<uint32_t, 64> count = singleStateCounts(cells);
    uint32_t shared = 0, single = 0, lowSingle = 64, highSingle = 0, sharedState = 0;
    for (uint32_t s = 0; s < 64; s++) {
        if (count[s] >= 2) {
            shared++;
            sharedState = s;
        } else if (count[s] == 1) {
            single++;
            lowSingle = std::min(lowSingle, s);
            highSingle = s;
        }
    }
    if (shared > 1)
        return false;
    if (single < 2)
        return true;
    // Two single states: every tree pays their distance when nothing else is
    // shared, or when the one shared state lies between them.
    if (single == 2)
        return shared == 0 || (sharedState > lowSingle && sharedState < highSingle);
    return false;
}

// Dollo and irreversible characters: trees hang from the ancestor, whose
// given state is one more cell, and the ordered test holds over the cells so
// completed (with ancestor 2, cells 0 3 2 2 cost 3 steps on any tree, 4 0 3 1
// 2 do not). A polymorphic cell makes the character informative: the
// states inside the terminal and those of the tree around it are gained and
// lost at lengths that depend on where it hangs. A character with an
// uncertain cell of several states keeps the data set's mark: false there.
bool seriesUninformative(const DataInfo *d, uint32_t c, std::span<const uint8_t> column, const CellCodeTable &codes,
                         bool *uninformative)
{
    std::vector<uint64_t> cells;
    for (uint32_t t = 0; t < column.size(); t++) {
        const uint8_t code = column[t];
        const auto taxon = static_cast<int32_t>(t);
        const uint64_t b = codes.missing[code] || codes.bits[code] == kAllStates ? 0 : codes.bits[code];
        if ((b & (b - 1)) && isPolymorphicMST(taxon, c, d)) {
            *uninformative = false;
            return true;
        }
        if (b & (b - 1))
            return false;
        cells.push_back(b);
    }
    uint64_t ancestor = cellBits(d, -1, c);
    // An irreversible character with no single ancestral state given starts
    // from the primitive end of its observed series.
    if ((!ancestor || (ancestor & (ancestor - 1))) && (d->status[c] & kCharTypeMask) == kCharIrreversible) {
        uint64_t seen = 0;
        for (uint64_t b : cells)
            seen |= b;
        ancestor = 0;
        if (seen && (d->status[c] & kCharDownVariant))
            ancestor = uint64_t{1} << (63 - std::countl_zero(seen));
        else if (seen)
            ancestor = seen & (~seen + 1);
    }
    if (ancestor && !(ancestor & (ancestor - 1)))
        cells.push_back(ancestor);
    *uninformative = orderedUninformative(cells);
    return true;
}

// A character-state-tree character scores each edge of its tree as a binary
// character: it is uninformative when no edge has two cells on each side.
// The ancestor is a cell when trees hang from it.
bool stateTreeUninformative(const DataInfo *d, uint32_t c, CharCells cells, bool withAncestor)
{
    std::array<uint32_t, 64> below{};
    uint32_t known = 0;
    uint64_t m = 0;
    auto add = [&](uint64_t b) {
        if (!b || !cstStateMask(d, c, static_cast<uint32_t>(std::countr_zero(b)), &m))
            return;
        known++;
        for (uint64_t w = m; w; w &= w - 1)
            below[static_cast<size_t>(std::countr_zero(w))]++;
    };
    for (uint64_t b : cells)
        add(b);
    if (withAncestor)
        add(cellBits(d, -1, c));
    return std::none_of(below.begin(), below.end(), [known](uint32_t k) { return k >= 2 && known - k >= 2; });
}

// Unordered characters use the data set's own test, so that the packed data
// and the data set agree on which characters are uninformative.
bool unorderedUninformative(const DataInfo *d, uint32_t c, CharCells cells)
{
    if (d->status[c] & kCharConstant)
        return true;
    RepeatedStates states;
    for (uint64_t b : cells)
        states.add(b);
    states.add(cellBits(d, -1, c));
    return states.uninformative();
}

// A character with multistate cells can still have one length on every
// tree: when its least length over all trees is already reached by a star
// tree (the longest any tree makes) with some state at the centre. The
// ancestor is a cell of the star when trees hang from it.
bool starTreeAtMinimum(const DataInfo *d, uint32_t c, bool ordered, bool withAncestor)
{
    std::vector<int32_t> taxa;
    if (withAncestor)
        taxa.push_back(-1);
    for (uint32_t t = 0; t < activeTaxa(d); t++)
        taxa.push_back(static_cast<int32_t>(t));
    double least[2] = {0.0, 0.0};
    if (calc1MinSteps(d, c, true, taxa, least) != 0)
        return false;
    for (uint32_t s = 0; s <= std::min<uint32_t>(d->nstates, 63); s++) {
        uint32_t len = 0;
        for (int32_t t : taxa)
            len += distanceToStateSet(s, t, c, ordered, d);
        if (len == least[0])
            return true;
    }
    return false;
}

// Minimum steps over all trees. Ordered: the intervals must be joined on the
// line. Unordered: the fewest states that meet every cell, less one (greedy
// cover for polymorphic cells, exact for single-state cells).
double minimumSteps(CharCells all, bool ordered, std::vector<uint64_t> &cells)
{
    if (ordered) {
        int lowestHigh = 64, highestLow = -1;
        for (uint64_t b : all) {
            if (!b)
                continue;
            highestLow = std::max(highestLow, std::countr_zero(b));
            lowestHigh = std::min(lowestHigh, 63 - std::countl_zero(b));
        }
        return highestLow > lowestHigh ? highestLow - lowestHigh : 0;
    }
    cells.clear();
    for (uint64_t b : all)
        if (b)
            cells.push_back(b);
    uint32_t used = 0;
    while (!cells.empty()) {
        std::array<uint32_t, 64> hits{};
        for (uint64_t b : cells)
            for (uint64_t w = b; w; w &= w - 1)
                hits[std::countr_zero(w)]++;
        auto best = static_cast<uint32_t>(std::max_element(hits.begin(), hits.end()) - hits.begin());
        std::erase_if(cells, [best](uint64_t b) { return (b >> best) & 1; });
        used++;
    }
    return used ? used - 1 : 0;
}

void forgetLastTree()
{
    if (parsServices().forgetLastTreeOptimized)
        parsServices().forgetLastTreeOptimized();
}

}  // namespace

bool isCharIncluded(const DataInfo *d, uint32_t c)
{
    return !(d->status[c] & (kCharExcluded | kCharConstant | kCharEliminated));
}

uint32_t getPkdType(uint32_t c, const DataInfo *d)
{
    if (const PackedData *pd = packedData(d); pd && c < pd->slots.size() && pd->slots[c].cls)
        return pd->slots[c].cls;
    uint32_t t = d->status[c] & kCharTypeMask;
    return (d->status[c] & kCharPackedOrdered) ? kPkdOrdered : t;
}

bool isPkdOrd(uint32_t c, const DataInfo *d) { return (getPkdType(c, d) & 13) != 0; }

uint32_t getStateInterval(const DataInfo *d, int32_t taxon, uint32_t c)
{
    uint64_t b = cellBits(d, taxon, c);
    if (!b)
        return 0xFFFF;
    return static_cast<uint32_t>(std::countr_zero(b)) | (static_cast<uint32_t>(63 - std::countl_zero(b)) << 8);
}

uint32_t distanceToStateSet(uint32_t state, int32_t taxon, uint32_t c, bool ordered, const DataInfo *d)
{
    if (isGap(taxon, c, d) && dataServices().gapMode() == kGapModeNewState)
        return state == d->nstates ? 0 : 1;
    uint64_t b = cellBits(d, taxon, c);
    if (!b)
        return 0;
    if (!ordered)
        return ((b >> state) & 1) ? 0 : 1;
    uint32_t lo = std::countr_zero(b), hi = 63 - std::countl_zero(b);
    return state < lo ? lo - state : state > hi ? state - hi : 0;
}

// ---------------------------------------------------------------------------
// Storage

namespace {

// The ordered and unordered class sets of every node record; 1 when
// memory ran out (the caller frees what was allocated).
int allocClassSets(PackedData *pd)
{
    uint64_t ordLanes = uint64_t{4} * pd->ordWords, unoLanes = uint64_t{2} * pd->unoWords;
    uint64_t sets = uint64_t{3} * pd->nodeCount;
    if (ordLanes)
        pd->ordSets = static_cast<uint64_t *>(allocArrayAligned(sizeof(uint64_t), ordLanes * sets));
    if (unoLanes)
        pd->unoSets = static_cast<uint64_t *>(allocArrayAligned(sizeof(uint64_t), unoLanes * sets));
    pd->nodeRecs = allocArrayOf<ParsNodeSets>(sets);
    if ((ordLanes && !pd->ordSets) || (unoLanes && !pd->unoSets) || !pd->nodeRecs)
        return 1;
    for (uint64_t k = 0; k < sets; k++) {
        pd->nodeRecs[k].ord = pd->ordSets ? pd->ordSets + k * ordLanes : nullptr;
        pd->nodeRecs[k].uno = pd->unoSets ? pd->unoSets + k * unoLanes : nullptr;
    }
    return 0;
}

void deallocClassSets(PackedData *pd)
{
    pd->ordSets = static_cast<uint64_t *>(deallocArrayAligned(pd->ordSets));
    pd->unoSets = static_cast<uint64_t *>(deallocArrayAligned(pd->unoSets));
    pd->nodeRecs = static_cast<ParsNodeSets *>(deallocArray(pd->nodeRecs));
}

}  // namespace

int allocParsData(DataInfo *d, uint32_t nodeCount)
{
    PackedData *pd = packedData(d);
    deallocParsData(d);
    pd->nodeCount = nodeCount;
    if (allocClassSets(pd) != 0) {
        deallocParsData(d);
        return 1;
    }
    if (allocStmSets(d, nodeCount) != 0) {
        deallocParsData(d);
        return 1;
    }
    const uint64_t ordLanes = uint64_t{4} * pd->ordWords, unoLanes = uint64_t{2} * pd->unoWords;
    pd->ordScratch.assign(ordLanes, 0);
    pd->unoScratch.assign(unoLanes, 0);
    pd->ordStepMask.assign(2 * pd->ordWords, 0);
    pd->unoStepMask.assign(unoLanes, 0);
    pd->dirty.assign((std::max(pd->ordWords, pd->unoWords) + 63) / 64 + 1, 0);
    return 0;
}

void deallocParsData(DataInfo *d)
{
    PackedData *pd = packedData(d);
    if (!pd)
        return;
    deallocClassSets(pd);
    deallocStmSets(pd);
}

ParsRecord *cloneParsRecordForThread(const DataInfo *d)
{
    const PackedData *src = packedData(d);
    if (!src || !src->nodeRecs || !src->stmChars.empty() || src->stmSets || src->ptn || src->dolSearch)
        return nullptr;
    auto *pd = new ParsRecord(*src);
    // The copy shares no storage with the original: its own sets, holding
    // what the original's hold now (the observed sets of the tips).
    pd->ordSets = pd->unoSets = nullptr;
    pd->nodeRecs = nullptr;
    pd->atMinimum = nullptr;
    if (allocClassSets(pd) != 0) {
        destroyParsRecordClone(pd);
        return nullptr;
    }
    // Record by record: layOutNodeSets may have moved the original's words.
    const uint64_t sets = uint64_t{3} * pd->nodeCount;
    for (uint64_t k = 0; k < sets; k++) {
        if (pd->ordSets)
            std::copy_n(src->nodeRecs[k].ord, uint64_t{4} * pd->ordWords, pd->nodeRecs[k].ord);
        if (pd->unoSets)
            std::copy_n(src->nodeRecs[k].uno, uint64_t{2} * pd->unoWords, pd->nodeRecs[k].uno);
        pd->nodeRecs[k].len = src->nodeRecs[k].len;
    }
    return pd;
}

ParsRecord *destroyParsRecordClone(ParsRecord *pd)
{
    if (pd) {
        deallocClassSets(pd);
        delete pd;
    }
    return nullptr;
}

void deallocCountMasks(DataInfo *d)
{
    if (PackedData *pd = packedData(d)) {
        pd->ordCountMask.clear();
        pd->unoCountMask.clear();
        pd->countMasksAllocated = false;
    }
}

void deallocPackPrelim(DataInfo *d) { deallocPackedData(d); }

void deallocPackFinish(DataInfo *d)
{
    deallocParsData(d);
    setNeedParsPrep(2);
}

void deallocPackedData(DataInfo *d)
{
    if (!d || !d->pars)
        return;
    releaseParsFxns(d);
    deallocParsData(d);
    deallocPtnData(d->pars);
    deallocSet(d->pars->atMinimum);
    delete d->pars;
    d->pars = nullptr;
    // Nothing packed is left, so the next use must pack from the start: a
    // later phase alone would find no record to finish (a likelihood set-up
    // releases the packing while an earlier search had left phase 2 due).
    gPars.pending = 3;
    gPars.altPrep = 1;
    // The bounds name their packed record by address, which the next
    // packing may well be given.
    invalidateLengthBounds();
}

void *parsPackedNodeRecord(void *packed, uint32_t which, uint32_t position)
{
    auto *pd = static_cast<PackedData *>(packed);
    return pd->nodeRecs + static_cast<uint64_t>(which) * pd->nodeCount + position;
}

namespace {

// Moves every record's words of one class to a new array, the records in
// `order` first, in that order, then the rest; returns the new array, or
// null (nothing moved) when memory ran out.
uint64_t *moveClassWords(PackedData *pd, uint64_t *ParsNodeSets::*words, uint64_t lanes,
                         const std::vector<uint32_t> &order)
{
    const uint64_t sets = uint64_t{3} * pd->nodeCount;
    auto *moved = static_cast<uint64_t *>(allocArrayAligned(sizeof(uint64_t), lanes * sets));
    if (!moved)
        return nullptr;
    for (uint64_t j = 0; j < sets; j++) {
        ParsNodeSets &r = pd->nodeRecs[order[j]];
        std::copy_n(r.*words, lanes, moved + j * lanes);
        r.*words = moved + j * lanes;
    }
    return moved;
}

// Swaps the words of one class between the array's slots so that the
// records in `order` hold its first slots, in that order; the others keep
// the slots left over. Each record moved costs a swap of its words with
// the slot's owner: the work grows with the records placed, not with the
// whole store. False, nothing moved, when a record's words lie outside
// the array (only records made by allocClassSets are moved so).
bool swapClassWordsToFront(PackedData *pd, uint64_t *ParsNodeSets::*words, uint64_t *base, uint64_t lanes,
                           const std::vector<uint32_t> &order)
{
    const uint64_t sets = uint64_t{3} * pd->nodeCount;
    std::vector<uint32_t> owner(sets, UINT32_MAX);
    const auto slotOf = [&](uint32_t k) { return static_cast<uint64_t>(pd->nodeRecs[k].*words - base) / lanes; };
    for (uint32_t k = 0; k < sets; k++) {
        const uint64_t *w = pd->nodeRecs[k].*words;
        if (w < base || w >= base + lanes * sets || static_cast<uint64_t>(w - base) % lanes != 0 ||
            owner[slotOf(k)] != UINT32_MAX)
            return false;
        owner[slotOf(k)] = k;
    }
    for (uint64_t j = 0; j < order.size(); j++) {
        const uint32_t k = order[j];
        const uint64_t from = slotOf(k);
        if (from == j)
            continue;
        const uint32_t other = owner[j];
        std::swap_ranges(base + j * lanes, base + (j + 1) * lanes, base + from * lanes);
        pd->nodeRecs[k].*words = base + j * lanes;
        pd->nodeRecs[other].*words = base + from * lanes;
        owner[j] = k;
        owner[from] = other;
    }
    return true;
}

// The records of the tree's nodes in the order a pass reads them: final
// sets in preorder, then down sets, then up sets.
std::vector<uint32_t> treeRecordOrder(const PackedData *pd, const Tree *tree, std::vector<uint8_t> *placed)
{
    const uint64_t sets = uint64_t{3} * pd->nodeCount;
    std::vector<uint32_t> order;
    order.reserve(sets);
    placed->assign(sets, 0);
    for (const uint32_t which : {2u, 0u, 1u})
        for (const TreeNode *p = tree->root; p; p = p->next)
            if (p->abm[which] && p->abm[which]->states) {
                const ParsNodeSets *r = nodeSets(p->abm[which]);
                if (r < pd->nodeRecs || r >= pd->nodeRecs + sets)
                    continue;
                const auto k = static_cast<uint32_t>(r - pd->nodeRecs);
                if (!(*placed)[k]) {
                    (*placed)[k] = 1;
                    order.push_back(k);
                }
            }
    return order;
}

}  // namespace

void layOutTreeSetsInPlace(const DataInfo *d, Tree *tree)
{
    PackedData *pd = packedData(d);
    if (!pd || !pd->nodeRecs || !tree->root)
        return;
    checkTraversalSeq(tree);
    std::vector<uint8_t> placed;
    const std::vector<uint32_t> order = treeRecordOrder(pd, tree, &placed);
    const uint64_t ordLanes = uint64_t{4} * pd->ordWords, unoLanes = uint64_t{2} * pd->unoWords;
    const bool ordDone = !pd->ordSets || ordLanes == 0 ||
                         swapClassWordsToFront(pd, &ParsNodeSets::ord, pd->ordSets, ordLanes, order);
    const bool unoDone = !pd->unoSets || unoLanes == 0 ||
                         swapClassWordsToFront(pd, &ParsNodeSets::uno, pd->unoSets, unoLanes, order);
    if (!ordDone || !unoDone)
        layOutNodeSets(d, tree);
}

void layOutNodeSets(const DataInfo *d, Tree *tree)
{
    PackedData *pd = packedData(d);
    if (!pd || !pd->nodeRecs || !tree->root)
        return;
    checkTraversalSeq(tree);
    const uint64_t sets = uint64_t{3} * pd->nodeCount;
    std::vector<uint8_t> placed;
    std::vector<uint32_t> order = treeRecordOrder(pd, tree, &placed);
    for (uint32_t k = 0; k < sets; k++)
        if (!placed[k])
            order.push_back(k);
    const uint64_t ordLanes = uint64_t{4} * pd->ordWords, unoLanes = uint64_t{2} * pd->unoWords;
    if (pd->ordSets)
        if (uint64_t *moved = moveClassWords(pd, &ParsNodeSets::ord, ordLanes, order)) {
            deallocArrayAligned(pd->ordSets);
            pd->ordSets = moved;
        }
    if (pd->unoSets)
        if (uint64_t *moved = moveClassWords(pd, &ParsNodeSets::uno, unoLanes, order)) {
            deallocArrayAligned(pd->unoSets);
            pd->unoSets = moved;
        }
}

void pointTreeAtPackedData(Tree *tree, const DataInfo *d)
{
    PackedData *pd = packedData(d);
    if (!pd || !pd->nodeRecs || !tree->slots)
        return;
    uint32_t n = std::min(tree->maxNodes, pd->nodeCount);
    for (uint32_t p = 0; p < tree->maxNodes; p++)
        for (uint32_t k = 0; k < 3; k++) {
            StateSetSlot *slot = tree->slots + 3 * p + k;
            tree->nodes[p].abm[k] = slot;
            slot->states = p < n ? parsPackedNodeRecord(pd, k, p) : nullptr;
        }
    tree->displacedSlot = nullptr;
}

int initParsCountMasks(DataInfo *d)
{
    PackedData *pd = packedData(d);
    pd->ordCountMask.assign(2 * pd->ordWords, 0);
    pd->unoCountMask.assign(2 * pd->unoWords, 0);
    pd->ordBitChar.assign(uint64_t{128} * pd->ordWords, 0);
    pd->unoBitChar.assign(uint64_t{128} * pd->unoWords, 0);
    for (uint32_t c = 0; c < d->nchar; c++) {
        const PackSlot &s = pd->slots[c];
        if (!s.width || !isCharIncluded(d, c))
            continue;
        uint64_t lane = 2 * s.word + (s.offset >> 6);
        uint32_t at = s.offset & 63;
        auto &owner = s.cls == kPkdOrdered ? pd->ordBitChar : pd->unoBitChar;
        std::fill_n(owner.begin() + static_cast<long>(64 * lane + at), s.width, c);
        if (s.cls == kPkdOrdered)
            pd->ordCountMask[lane] |= lowMask(s.width) << at;
        else
            pd->unoCountMask[lane] |= uint64_t{1} << at;
    }
    pd->countMasksAllocated = true;
    return 0;
}

// ---------------------------------------------------------------------------
// Phase 1: field placement

int packPrelim(DataInfo *d)
{
    dataServices().setStatusText("Packing data matrix (phase 1)");
    deallocPackedData(d);
    gPars.altPrep = 1;
    // The constant and uninformative marks read below depend on the ancestor
    // and on msTaxa: a new ancestor or msTaxa leaves them stale until the
    // character information is derived again.
    if ((!d->dataInitialized || d->derivedMsTaxa != dataServices().msTaxa()) && initializeDataInfo(d) != 0) {
        gPars.pending = 3;
        return 1;
    }
    forgetLastTree();
    updateStdCharsets(d);
    auto *pd = new (std::nothrow) PackedData;
    if (!pd) {
        reportMemoryFailure();
        gPars.pending = 3;
        return 1;
    }
    d->pars = pd;
    uint32_t ntax = activeTaxa(d);
    pd->nchar = d->nchar;
    pd->slots.assign(d->nchar, PackSlot{});
    pd->steps.assign(d->nchar, 0);
    pd->realSteps.assign(d->nchar, 0.0);
    pd->extraLen.assign(d->nchar, 0.0);
    pd->minSteps.assign(d->nchar, 0.0);
    pd->nStates.assign(d->nchar, 0);
    pd->atMinimum = allocSet(d->nchar);

    Placer ordPlace, unoPlace;
    unoPlace.perWidth = true;
    int failed = 0;
    ColumnReader columns(d);
    const CellCodeTable codes = makeCellCodeTable(d);
    std::vector<uint64_t> cells(ntax), scratch;
    d->cls.moreThanTwoStates = 0;
    int starWithAncestor = -1;  // asked once, for the first character that needs it
    for (uint32_t c = 0; c < d->nchar && !failed; c++) {
        uint32_t &status = d->status[c];
        if (status & kCharEliminated)
            continue;
        status &= ~(kCharPackedOrdered | kCharPacked);
        uint32_t type = status & kCharTypeMask;
        // Stepmatrix, Dollo and irreversible characters are scored by cost
        // vectors (packStmPrelim, after this loop).
        if (type != kCharOrdered && type != kCharUnordered) {
            bool uninf = false;
            if ((type == kCharIrreversible || type == kCharDollo) && !(status & kCharConstant) &&
                seriesUninformative(d, c, columns.column(c), codes, &uninf))
                status = uninf ? (status | kCharUninformative) : (status & ~kCharUninformative);
            continue;
        }
        status |= kCharPacked;
        uint64_t seen = 0;
        const std::span<const uint8_t> column = columns.column(c);
        for (uint32_t t = 0; t < ntax; t++) {
            const uint8_t code = column[t];
            const uint64_t b = codes.missing[code] || codes.bits[code] == kAllStates ? 0 : codes.bits[code];
            cells[t] = b;
            seen |= b;
        }
        // The ancestor's states need room in the field too: an ancestral
        // state outside the observed ones filled the whole word (and the
        // neighbouring characters' counts) with bits.
        seen |= cellBits(d, -1, c);
        uint32_t nObs = std::popcount(seen);
        PackSlot &slot = pd->slots[c];
        slot.observed = seen;
        slot.lowState = seen ? static_cast<uint8_t>(std::countr_zero(seen)) : 0;
        bool ordered = type == kCharOrdered || nObs <= 2;
        const bool stateTree = isStateTreeChar(d, c);
        uint32_t width;
        if (stateTree) {
            const uint32_t nodes = d->userTypes[c]->n;
            if (nodes > 64) {
                failed = qel_errorMsg(309, "Number of states for character %d exceeds limit of %d allowed in "
                                           "this version of VORN.", static_cast<int>(c + 1), 63);
                break;
            }
            width = nodes - 1;
            pd->nStates[c] = static_cast<uint8_t>(nodes);
        } else if (type == kCharOrdered) {
            uint32_t span = seen ? 63 - std::countl_zero(seen) - slot.lowState : 0;
            if (span > 63) {
                failed = qel_errorMsg(309, "Number of states for character %d exceeds limit of %d allowed in "
                                           "this version of VORN.", static_cast<int>(c + 1), 63);
                break;
            }
            width = span;
            pd->nStates[c] = static_cast<uint8_t>(span + 1);
        } else {
            width = nObs <= 2 ? (nObs == 2 ? 1 : 0) : std::max(4u, powerOfTwoCeiling(nObs));
            pd->nStates[c] = static_cast<uint8_t>(nObs);
        }
        if (pd->nStates[c] > 2)
            d->cls.moreThanTwoStates = 1;
        auto withAncestor = [&] {
            if (starWithAncestor < 0)
                starWithAncestor = directedCharsIncluded(d) || !usingStdAncestor();
            return starWithAncestor != 0;
        };
        bool uninf;
        if (stateTree) {
            uninf = stateTreeUninformative(d, c, cells, withAncestor());
            pd->minSteps[c] = cstMinSteps(d, c, cells);
        } else {
            uninf = type == kCharOrdered ? orderedUninformative(cells) : unorderedUninformative(d, c, cells);
            // The counting rules miss characters whose few known cells leave
            // one length on every tree (ordered 0 1 2 and the rest missing),
            // and they read single-state cells only (the ordered rule) or let
            // any state of a multistate cell count as repeated (the unordered
            // one): the star tree tells.
            if (type == kCharOrdered || (!uninf && (status & kCharHasCombination)))
                uninf = starTreeAtMinimum(d, c, type == kCharOrdered, withAncestor());
            pd->minSteps[c] = minimumSteps(cells, type == kCharOrdered, scratch);
        }
        status = uninf ? (status | kCharUninformative) : (status & ~kCharUninformative);
        if (!isCharIncluded(d, c) || width == kNoField)
            continue;
        uint32_t offset = 0;
        if (ordered) {
            slot.cls = kPkdOrdered;
            slot.word = ordPlace.place(width, &offset);
            status |= kCharPackedOrdered;
            pd->ordChars.push_back(c);
        } else {
            slot.cls = kPkdUnordered;
            slot.word = unoPlace.place(width, &offset);
            pd->unoChars.push_back(c);
        }
        slot.offset = static_cast<uint8_t>(offset);
        slot.width = static_cast<uint8_t>(width);
        slot.weight = d->weights[c];
    }
    if (!failed)
        failed = packStmPrelim(d);
    if (!failed)
        fillUninfSet(d);
    if (failed || memoryErrorHasOccurred()) {
        deallocPackedData(d);
        gPars.pending = 3;
        dataServices().clearStatusText();
        return 1;
    }
    pd->ordWords = static_cast<uint32_t>(ordPlace.fill.size());
    pd->unoWords = static_cast<uint32_t>(unoPlace.fill.size());
    pd->unoWidth = std::move(unoPlace.width);
    pd->unoNotTop.clear();
    pd->unoShift.clear();
    pd->unoFieldShift = kMixedWidths;
    if (!pd->unoWidth.empty() &&
        std::all_of(pd->unoWidth.begin(), pd->unoWidth.end(), [&](uint8_t w) { return w == pd->unoWidth[0]; }))
        pd->unoFieldShift = pd->unoWidth[0] - 1u;
    for (uint8_t w : pd->unoWidth) {
        const UnoWidthParams &p = unoParams(w);
        pd->unoNotTop.insert(pd->unoNotTop.end(), 2, p.notTop);
        pd->unoShift.insert(pd->unoShift.end(), 2, p.shift);
    }
    pd->ordSetBytes = pd->ordWords * 16;
    pd->unoSetBytes = pd->unoWords * 16;
    // Real-valued stepmatrices make real lengths, with their decimals.
    pd->realLengths = false;
    pd->decimals = 0;
    for (int32_t k : pd->stmChars) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        if (sc.unit != 1.0) {
            pd->realLengths = true;
            pd->decimals = std::max(pd->decimals, static_cast<uint32_t>(std::lround(-std::log10(sc.unit))));
        }
    }
    gPars.pending = 2;
    dataServices().clearStatusText();
    return 0;
}

// ---------------------------------------------------------------------------
// Phase 2: the terminal and ancestor sets

namespace {

int writeCellSets(const DataInfo *d, PackedData *pd, int32_t taxon, uint32_t position)
{
    ParsNodeSets &rec = pd->nodeRecs[position];
    uint64_t *ordD = rec.ord, *ordP = rec.ord ? rec.ord + 2 * pd->ordWords : nullptr;
    if (rec.ord)
        std::fill(rec.ord, rec.ord + 4 * pd->ordWords, 0);
    if (rec.uno)
        std::fill(rec.uno, rec.uno + 2 * pd->unoWords, 0);
    for (uint32_t c = 0; c < d->nchar; c++) {
        const PackSlot &s = pd->slots[c];
        if (!s.width)
            continue;
        uint64_t lane = 2 * s.word + (s.offset >> 6);
        uint32_t at = s.offset & 63;
        uint64_t field = lowMask(s.width);
        uint64_t b = cellBits(d, taxon, c);
        bool poly = b && (b & (b - 1)) && isPolymorphicMST(taxon, c, d);
        if (s.cls == kPkdUnordered) {
            rec.uno[lane] |= (b ? extractBits(b, s.observed) : field) << at;
            if (poly)
                pd->extraLen[c] += std::popcount(b) - 1;
            continue;
        }
        if (!b) {
            ordP[lane] |= field << at;
            continue;
        }
        if (isStateTreeChar(d, c)) {
            uint64_t any = 0, all = ~uint64_t{0}, m = 0;
            for (uint64_t w = b; w; w &= w - 1)
                if (cstStateMask(d, c, static_cast<uint32_t>(std::countr_zero(w)), &m)) {
                    any |= m;
                    all &= m;
                }
            ordD[lane] |= (all & any & field) << at;
            ordP[lane] |= (any & field) << at;
            continue;
        }
        // Values along the order: raw states above the lowest, or for a
        // two-state unordered character the index among its two states.
        bool binaryUno = (d->status[c] & kCharTypeMask) != kCharOrdered;
        uint64_t v = binaryUno ? extractBits(b, s.observed) : b >> s.lowState;
        uint32_t a = std::countr_zero(v), z = 63 - std::countl_zero(v);
        ordD[lane] |= lowMask(a) << at;
        ordP[lane] |= lowMask(z) << at;
        if (poly)
            pd->extraLen[c] += z - a;
    }
    return writeStmCells(d, taxon, position);
}

}  // namespace

int packFinish(DataInfo *d)
{
    PackedData *pd = packedData(d);
    if (!pd)
        return 1;
    dataServices().setStatusText("Packing data matrix (phase 2)");
    gPars.altPrep = 1;
    pd->unknownExtraLength = false;
    if (allocParsData(d, maxNumNodes(d->ntax)) != 0) {
        gPars.pending = std::max(gPars.pending, 2u);
        dataServices().clearStatusText();
        return 1;
    }
    std::fill(pd->extraLen.begin(), pd->extraLen.end(), 0.0);
    int failed = writeCellSets(d, pd, -1, 0);
    uint32_t ntax = std::min(activeTaxa(d), d->ntax);
    for (uint32_t t = 0; t < ntax && !failed; t++)
        failed = writeCellSets(d, pd, static_cast<int32_t>(t), 1 + t);
    if (failed) {
        deallocParsData(d);
        gPars.pending = std::max(gPars.pending, 2u);
        dataServices().clearStatusText();
        return 1;
    }
    pd->multistateTaxa = pd->unknownExtraLength;
    for (double x : pd->extraLen)
        pd->multistateTaxa = pd->multistateTaxa || x > 0;
    gPars.pending = 1;
    dataServices().clearStatusText();
    return 0;
}

int finalParsPrep(DataInfo *d, int weightArg)
{
    (void)weightArg;
    PackedData *pd = packedData(d);
    if (!pd || activeTaxa(d) < 2)
        return 1;
    deallocCountMasks(d);
    for (uint32_t c = 0; c < d->nchar; c++)
        pd->slots[c].weight = d->weights[c];
    setStmLaneWeights(pd, d->weights);
    if (initParsCountMasks(d) != 0 || initializeParsWts(d) != 0)
        return 1;
    pd->baseLength = 0.0;
    if (pd->multistateTaxa)
        for (uint32_t c = 0; c < d->nchar; c++)
            if (!(d->status[c] & kCharExcluded) && pd->extraLen[c] != kNoScore)
                pd->baseLength += pd->extraLen[c] * d->weights[c];
    setParsDecimals(d);
    if (prepareDirBits(d) != 0 || prepareDolSearch(d) != 0)
        return 1;
    setParsFxns(d, 0);
    gPars.pending = 0;
    forgetLastTree();
    return 0;
}

int altParsPrep(DataInfo *d)
{
    PackedData *pd = packedData(d);
    gPars.altPrep = 0;
    if (!pd)
        return 0;
    if (!gPars.threshold && !gPars.goloboff) {
        pd->altCounts[0].clear();
        pd->altCounts[1].clear();
        pd->altArrays = false;
        return 0;
    }
    pd->altCounts[0].assign(d->nchar, 0);
    pd->altCounts[1].assign(d->nchar, 0);
    pd->altArrays = true;
    return 0;
}

int checkScorableTypes(const DataInfo *d)
{
    // Threshold and Goloboff scores count steps per character from the
    // packed step masks, which the cost-vector class does not keep.
    if (!gPars.threshold && !gPars.goloboff)
        return 0;
    for (uint32_t c = 0; c < d->nchar; c++)
        if (isStmType(d->status[c]) && isCharIncluded(d, c))
            return qel_errorMsg(0, "Character %u: threshold and Goloboff scoring are available only for ordered and "
                                   "unordered characters in this version of VORN.", c + 1);
    return 0;
}

int prepareParsimonyData(DataInfo *d)
{
    // Checked on every call: the packing may have been finished by a status
    // command, which does not score and so accepts every type.
    if (!d || checkParsimonySettings(d) != 0 || checkScorableTypes(d) != 0)
        return 1;
    if (gPars.pending >= 3 && packPrelim(d) != 0)
        return 1;
    if (gPars.pending >= 2 && packFinish(d) != 0)
        return 1;
    if (gPars.altPrep && altParsPrep(d) != 0)
        return 1;
    if (gPars.pending >= 1 && finalParsPrep(d, 0) != 0)
        return 1;
    return 0;
}
