#include "parsimony/lenrange.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "data/data_services.h"
#include "data/data_util.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stmx.h"
#include "parsimony/treelen.h"
#include "qel/qel_sets.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

LengthBounds gBounds;


// A word at a time: the signature is taken on every scored tree, and over
// the status, weights and minima of every character a byte-wise hash was a
// fifth of scoring 100 user trees.
uint64_t fnv(uint64_t h, const void *p, size_t n)
{
    const auto *b = static_cast<const unsigned char *>(p);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, b + i, 8);
        h = (h ^ w) * 1099511628211ull;
        h ^= h >> 29;
    }
    for (; i < n; i++)
        h = (h ^ b[i]) * 1099511628211ull;
    return h;
}

// Everything the bounds depend on besides the cell states, which can only
// change through a repacking (and then the packed record's observed states,
// minima or extra lengths move with them).
uint64_t boundsSignature(const DataInfo *d, std::span<const int32_t> taxa, uint8_t ancMode)
{
    const PackedData *pd = packedData(d);
    uint64_t h = 1469598103934665603ull;
    h = fnv(h, &d->nchar, sizeof d->nchar);
    h = fnv(h, &d->nActive, sizeof d->nActive);
    h = fnv(h, &ancMode, 1);
    h = fnv(h, d->status, sizeof(uint32_t) * d->nchar);
    h = fnv(h, d->weights, sizeof(double) * d->nchar);
    h = fnv(h, taxa.data(), sizeof(int32_t) * taxa.size());
    h = fnv(h, pd->extraLen.data(), sizeof(double) * pd->extraLen.size());
    h = fnv(h, pd->minSteps.data(), sizeof(double) * pd->minSteps.size());
    for (const PackSlot &s : pd->slots)
        h = fnv(h, &s.observed, sizeof s.observed);
    return h;
}

// State bits of a cell; 0 for a missing cell.
uint64_t cellStates(const DataInfo *d, int32_t taxon, uint32_t c)
{
    if (isMissingOrGapMiss(taxon, c, d))
        return 0;
    uint64_t b = getXijAsBits(d, taxon, c, nullptr);
    return b == kAllStates ? 0 : b;
}

int lowBit(uint64_t b) { return std::countr_zero(b); }
int highBit(uint64_t b) { return 63 - std::countl_zero(b); }

struct ListedSet {
    uint64_t bits;
    bool polymorphic;
};

std::vector<int32_t> taxonSet(const DataInfo *d, Tree *tree, bool useTreeLeaves, uint8_t ancMode)
{
    std::vector<int32_t> taxa;
    if (ancMode)
        taxa.push_back(-1);
    auto n = static_cast<uint32_t>(std::max(d->nActive, 0));
    if (useTreeLeaves && tree) {
        checkIncludedLeaves(tree);
        n = std::min(n, tree->ntax);
        for (uint32_t t = 0; t < n; t++)
            if (isSetMember(tree->includedTaxa, t))
                taxa.push_back(static_cast<int32_t>(t));
    } else {
        for (uint32_t t = 0; t < n; t++)
            taxa.push_back(static_cast<int32_t>(t));
    }
    return taxa;
}

// The states held by two or more cells of a Dollo character, a polymorphic
// cell counting all of its states: such a state is gained once, below all of
// them. An uncertain cell counts its least derived state (the lowest, or the
// highest down the series): whichever it holds, the series reached that far.
// Returns the lowest and highest of them (64 and -1 when there is none).
std::pair<int, int> dolloSharedLimits(const DataInfo *d, uint32_t c, std::span<const int32_t> taxa, bool down)
{
    uint64_t once = 0, twice = 0;
    for (int32_t t : taxa) {
        uint64_t b = cellStates(d, t, c);
        if ((b & (b - 1)) && !isPolymorphicMST(t, c, d))
            b = down ? uint64_t{1} << highBit(b) : b & (~b + 1);
        twice |= once & b;
        once |= b;
    }
    return twice ? std::pair{lowBit(twice), highBit(twice)} : std::pair{64, -1};
}

// Unordered characters: the fewest states that meet every cell, less one; m2
// adds every state of the polymorphic terminals.
void unorderedMinSteps(const DataInfo *d, uint32_t c, std::span<const int32_t> taxa, double *m1, double *m2)
{
    uint64_t singles = 0, polyUnion = 0;
    std::vector<ListedSet> listed;
    for (int32_t t : taxa) {
        const uint64_t b = cellStates(d, t, c);
        if (!b)
            continue;
        if (!(b & (b - 1))) {
            singles |= b;
            continue;
        }
        const bool poly = isPolymorphicMST(t, c, d);
        if (poly)
            polyUnion |= b;
        auto it = std::find_if(listed.begin(), listed.end(), [b](const ListedSet &e) { return e.bits == b; });
        if (it == listed.end())
            listed.push_back({b, poly});
        else
            it->polymorphic = it->polymorphic || poly;
    }
    uint64_t hit = singles;
    std::vector<uint64_t> misses;
    for (const ListedSet &e : listed)
        if (!(e.bits & singles))
            misses.push_back(e.bits);
    if (!misses.empty()) {
        // Only states some listed set holds can help, so the search runs
        // over the highest state any cell names.
        uint64_t all = singles;
        for (uint64_t x : misses)
            all |= x;
        const auto nStates = static_cast<uint32_t>(highBit(all) + 1);
        hit = 0;
        for (uint32_t k = 1; k <= nStates && !hit; k++)
            hit = addToHittingSet(0, singles, 1, k, nStates, misses);
    }
    if (hit) {
        *m1 = std::popcount(hit) - 1;
        *m2 = std::popcount(hit | polyUnion) - 1;
    }
}

}  // namespace

// What the polymorphic terminals of a pair character add to its least length
// beyond reaching one of their states.
double pairPolyTipsBeyond(const DataInfo *d, uint32_t c, std::span<const int32_t> taxa)
{
    double sum = 0.0;
    for (int32_t t : taxa)
        if (t >= 0 && isPolymorphicMST(t, c, d))
            sum += stmPolyTipLeastBeyond(d, c, t);
    return sum;
}

namespace {

// The least length of a pair character step by step. Each step of the
// series, scored on its own, is gained once where some cell must be derived
// at it (a single state past it, or every reading of an uncertain cell), and
// a polymorphic terminal that holds it both ways costs a step inside it,
// besides that gain unless it is the only cell derived there (the gain then
// inside it). No tree does better on any step, so the sum bounds every
// tree's length from below; the steps' clades may clash (a polymorphic cell
// derived both ways in both an upper and a lower clade), so no tree need
// reach it.
double pairStepsLeast(const DataInfo *d, uint32_t c, std::span<const int32_t> taxa)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc)
        return 0.0;
    const uint32_t a = sc->state[sc->turned];
    // Each cell is read once, not once per step.
    std::vector<uint64_t> cells(taxa.size());
    for (size_t i = 0; i < taxa.size(); i++)
        cells[i] = taxa[i] >= 0 ? cellStates(d, taxa[i], c) : 0;
    double sum = 0.0;
    for (uint32_t j = 1; j < 64; j++) {
        const uint64_t derived = j > a ? ~((uint64_t{1} << j) - 1) : (uint64_t{1} << j) - 1;
        bool forced = false;
        int both = 0;
        for (size_t i = 0; i < taxa.size(); i++) {
            const uint64_t b = cells[i];
            const bool in = b & derived, out = b & ~derived;
            if (in && out && isPolymorphicMST(taxa[i], c, d))
                both++;
            else if (in && !out)
                forced = true;
        }
        sum += both + (forced || both > 1 ? 1 : 0);
    }
    return sum;
}

}  // namespace

// Ordered, irreversible and Dollo characters: every cell (the ancestor's
// among them when it is in the set) spans an interval of the series, and any
// tree must reach from the largest low end to the smallest high end, an
// uncertain cell at the end of its interval that is nearest. A polymorphic
// terminal holds all its states; where it hangs from depends on the type:
// an irreversible one from the state nearest the primitive condition (the
// given ancestor's, else the start of the series), a Dollo one no lower
// (higher, down the series) than the state its states share with other
// cells, since that state is gained once and the rest are lost inside it.
// m2 asks that every state of the polymorphic terminals be reached too.
void seriesMinSteps(const DataInfo *d, uint32_t c, std::span<const int32_t> taxa, double *m1, double *m2)
{
    const uint32_t type = d->status[c] & kCharTypeMask;
    const bool down = (d->status[c] & kCharDownVariant) != 0;
    const bool polymorphism = dataServices().msTaxa() != kMsTaxaUncertain;
    int ancestor = -1;
    if (type == kCharIrreversible && polymorphism)
        if (const uint64_t a = cellStates(d, -1, c))
            ancestor = lowBit(a);
    // A Dollo character with its ancestor inside the series gains the steps
    // on either side of it independently, and a polymorphic terminal may gain
    // some of its states itself at less length than losing them from a node
    // derived both ways: such a terminal spans its interval, and adds only
    // what it needs beyond reaching one of its states.
    const bool pairs = stmHoldsPairs(d, c);
    const double polyBeyond = pairs ? pairPolyTipsBeyond(d, c, taxa) : 0.0;
    std::pair<int, int> shared{64, -1};
    if (type == kCharDollo && polymorphism && !pairs)
        shared = dolloSharedLimits(d, c, taxa, down);
    int largestLow = -1, smallestHigh = 64, polyLo = 64, polyHi = -1;
    for (int32_t t : taxa) {
        const uint64_t b = cellStates(d, t, c);
        if (!b)
            continue;
        const int lo = lowBit(b), hi = highBit(b);
        int low = lo, high = hi;
        if (lo < hi && isPolymorphicMST(t, c, d)) {
            polyLo = std::min(polyLo, lo);
            polyHi = std::max(polyHi, hi);
            if (type == kCharIrreversible)
                low = high = ancestor < 0 ? (down ? hi : lo) : std::clamp(ancestor, lo, hi);
            else if (type == kCharDollo && !pairs && !down)
                low = std::max(lo, shared.second);
            else if (type == kCharDollo && !pairs)
                high = std::min(hi, shared.first);
        }
        largestLow = std::max(largestLow, low);
        smallestHigh = std::min(smallestHigh, high);
    }
    if (largestLow < 0)
        return;
    *m1 = std::max(0, largestLow - smallestHigh) + polyBeyond;
    if (pairs)
        *m1 = std::max(*m1, pairStepsLeast(d, c, taxa));
    *m2 = std::max(0, std::max(polyHi, largestLow) - std::min(smallestHigh, polyLo));
}

const LengthBounds &lengthBounds() { return gBounds; }

void invalidateLengthBounds() { gBounds.valid = false; }

uint64_t addToHittingSet(uint32_t start, uint64_t current, uint32_t depth, uint32_t k, uint32_t nStates,
                         std::span<const uint64_t> list)
{
    for (uint32_t s = start + 1; s <= nStates; s++) {
        const uint64_t bit = uint64_t{1} << (s - 1);
        if (current & bit)
            continue;
        const uint64_t candidate = current | bit;
        if (depth < k) {
            if (uint64_t found = addToHittingSet(s, candidate, depth + 1, k, nStates, list))
                return found;
            continue;
        }
        if (std::all_of(list.begin(), list.end(), [candidate](uint64_t x) { return (x & candidate) != 0; }))
            return candidate;
    }
    return 0;
}

int calc1MinSteps(const DataInfo *d, uint32_t c, bool minOnly, std::span<const int32_t> taxa, double out[2],
                  bool *bounded)
{
    if (bounded)
        *bounded = true;
    const uint32_t type = d->status[c] & kCharTypeMask;
    const bool series = type == kCharOrdered || type == kCharIrreversible || type == kCharDollo;
    if (const StmChar *sc = series ? nullptr : stmCharOf(d, c)) {
        const bool known = stmLengthBounds(d, *sc, taxa, &out[0], &out[1]);
        if (bounded)
            *bounded = known;
        const double extra = packedData(d)->extraLen[c];
        if (known && !minOnly && extra != kNoScore)
            out[0] += extra;
        return 0;
    }
    double m1 = 0.0, m2 = 0.0;
    if (isStateTreeChar(d, c)) {
        std::vector<uint64_t> cells;
        for (int32_t t : taxa)
            cells.push_back(cellStates(d, t, c));
        m1 = m2 = cstMinSteps(d, c, cells);
    } else if (series)
        seriesMinSteps(d, c, taxa, &m1, &m2);
    else
        unorderedMinSteps(d, c, taxa, &m1, &m2);
    // A pair character's m1 already counts its polymorphic terminals.
    if (!minOnly && !stmHoldsPairs(d, c)) {
        const double extra = packedData(d)->extraLen[c];
        if (extra != kNoScore)
            m1 += extra;
    }
    out[0] = m1;
    out[1] = m2;
    return 0;
}

int calcLengthBounds(DataInfo *d, Tree *tree, bool rootedAtAncestor, bool useTreeLeaves)
{
    PackedData *pd = packedData(d);
    if (!pd || gPars.pending != 0)
        return 1;
    // Directed characters are scored from the ancestor, so their star tree
    // must hang from it: held at a taxon, that taxon's cell would stand in
    // for the ancestor's.
    const uint8_t ancMode = directedCharsIncluded(d) ? 1 : usingStdAncestor() ? 0 : (rootedAtAncestor ? 1 : 0);
    std::vector<int32_t> taxa = taxonSet(d, tree, useTreeLeaves, ancMode);
    const uint64_t signature = boundsSignature(d, taxa, ancMode);
    if (gBounds.valid && gBounds.packed == pd && gBounds.signature == signature && gBounds.ancMode == ancMode &&
        gBounds.taxa == taxa)
        return 0;

    dataServices().setStatusText("Computing min-max lengths...");
    LengthBounds b;
    b.minLen.assign(d->nchar, 0.0);
    b.rangeMin.assign(d->nchar, 0.0);
    b.maxLen.assign(d->nchar, 0.0);
    b.inBounds.assign(d->nchar, 0);
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (d->status[c] & (kCharExcluded | kCharConstant))
            continue;
        double m[2];
        bool bounded = true;
        if (calc1MinSteps(d, c, false, taxa, m, &bounded) != 0) {
            dataServices().clearStatusText();
            return 1;
        }
        // Without known bounds a character has no fit measures and stays
        // out of the sums (its length still counts in the tree's).
        if (!bounded)
            continue;
        b.minLen[c] = m[0];
        b.rangeMin[c] = m[1];
        // A character whose within-terminal cost is unknown has no known
        // minimum either (the minimum holds that cost): every report shows
        // it as one without bounds, and it stays out of the sums.
        if (charHasUnknownExtraLength(d, c) || pd->extraLen[c] == kNoScore) {
            b.unknownExtra = true;
            continue;
        }
        b.inBounds[c] = 1;
        const double w = d->weights[c];
        b.sumMin += m[0] * w;
        b.sumRange += m[1] * w;
        // The length inside polymorphic terminals that every tree has, for
        // the characters whose minima are summed: a pair character's
        // terminals may be met in states that cost them more, so only what
        // they add beyond reaching one of their states is certain.
        b.sumWithin += w * (stmHoldsPairs(d, c) ? pairPolyTipsBeyond(d, c, taxa) : pd->extraLen[c]);
        if (d->status[c] & kCharUninformative) {
            b.sumMinUninf += m[0] * w;
            b.sumRangeUninf += m[1] * w;
        }
    }

    Set *leaves = allocSet(std::max<uint32_t>(d->ntax, 1));
    TreeHandle star(createTreeForTaxa(d->ntax, d->ntax, true));
    int result = 1;
    if (leaves && star) {
        for (int32_t t : taxa)
            if (t >= 0)
                addSetMember(leaves, static_cast<uint32_t>(t));
        const auto n = static_cast<uint32_t>(std::max(d->nActive, 0));
        const uint32_t rootTip = taxa.size() > ancMode ? static_cast<uint32_t>(taxa[ancMode]) : 0;
        if (n > 0 && makeStarTree(star.get(), n, ancMode != 0, rootTip, leaves) == 0) {
            afterTreeChange(star.get());
            pointTreeAtPackedData(star.get(), d);
            const double len = calcTreeLengthOnly(d, star.get(), true);
            if (lengthIsValid(len)) {
                b.sumMax = len;
                for (uint32_t c = 0; c < d->nchar; c++) {
                    b.maxLen[c] = pd->steps[c] >= 0 ? pd->steps[c] : pd->realSteps[c];
                    if (b.inBounds[c])
                        b.sumMaxFit += b.maxLen[c] * d->weights[c];
                }
                result = 0;
            }
        }
    }
    deallocSet(leaves);
    dataServices().clearStatusText();
    if (result != 0) {
        gBounds.valid = false;
        return 1;
    }
    b.valid = true;
    b.ancMode = ancMode;
    b.packed = pd;
    b.signature = signature;
    b.taxa = std::move(taxa);
    gBounds = std::move(b);
    return 0;
}

int updateLengthBounds(Tree *tree, DataInfo *d)
{
    const bool rooted = tree && (tree->flags & kTreeRootedAtAnc);
    bool partial = false;
    if (tree) {
        checkIncludedLeaves(tree);
        const auto n = static_cast<uint32_t>(std::max(d->nActive, 0));
        for (uint32_t t = 0; t < n && t < tree->ntax && !partial; t++)
            partial = !isSetMember(tree->includedTaxa, t);
    }
    return calcLengthBounds(d, tree, rooted, partial);
}

bool charLacksBounds(const DataInfo *d, uint32_t c)
{
    if (d->status[c] & (kCharExcluded | kCharConstant))
        return false;
    return !(d->status[c] & kCharPacked) || (c < gBounds.inBounds.size() && !gBounds.inBounds[c]);
}

double boundMinSteps(uint32_t c)
{
    if (c >= gBounds.minLen.size())
        return 0.0;
    return gPars.minForFit ? gBounds.rangeMin[c] : gBounds.minLen[c];
}

double sumMinLengths() { return gPars.minForFit ? gBounds.sumRange : gBounds.sumMin; }
