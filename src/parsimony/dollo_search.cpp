#include "parsimony/dollo_search.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>

#include "parsimony/kernels/dol_steps.h"
#include "parsimony/kernels/irr_steps.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stmx.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kLanes = 64;
// A record: its header (whether it holds the ancestor, and its irreversible
// steps' own length), L and F words, then c1 of every step and c0 of every
// Dollo step (four per word).
constexpr uint32_t kHead = 2;
constexpr uint32_t kCounterWords = kLanes / 4;
// Every genuine irreversible entry is at most the number of edges of the
// part a record summarises, which this limit keeps clear of kIrrNever.
constexpr uint32_t kIrrMaxTaxa = 4000;

struct Rec {
    uint64_t *L, *F;
    int16_t *c1, *c0;
};

struct ConstRec {
    const uint64_t *L, *F;
    const int16_t *c1, *c0;
};

// The c1 counters of every word, then the c0 counters of the Dollo words
// only: an irreversible step keeps one value, in its c1 place.
size_t c0Offset(const DolSearch &ds) { return static_cast<size_t>(ds.words - ds.irrWords) * kLanes; }

Rec recOf(const DolSearch &ds, ParsNodeSets *r)
{
    uint64_t *p = r->dollo + kHead;
    auto *c = reinterpret_cast<int16_t *>(p + 2 * ds.words);
    return {p, p + ds.words, c, c + c0Offset(ds)};
}

ConstRec recOf(const DolSearch &ds, const ParsNodeSets *r)
{
    const uint64_t *p = r->dollo + kHead;
    const auto *c = reinterpret_cast<const int16_t *>(p + 2 * ds.words);
    return {p, p + ds.words, c, c + c0Offset(ds)};
}

const DolSearch &layoutOf(const DataInfo *d) { return *packedData(d)->dolSearch; }

bool holdsAncestor(const ParsNodeSets *r) { return r->dollo[0] != 0; }
double baseOf(const ParsNodeSets *r) { return std::bit_cast<double>(r->dollo[1]); }
void setHead(ParsNodeSets *r, bool ancestor, double base)
{
    r->dollo[0] = ancestor ? 1 : 0;
    r->dollo[1] = std::bit_cast<uint64_t>(base);
}

// A record's Dollo words, as the word kernels read them (from its first).
DolWords dolWords(const DolSearch &ds, const ConstRec &A)
{
    const size_t at = static_cast<size_t>(ds.irrWords) * kLanes;
    return {A.L + ds.irrWords, A.F + ds.irrWords, A.c1 + at, A.c0 + at};
}

DolWordsOut dolWords(const DolSearch &ds, const Rec &R)
{
    const size_t at = static_cast<size_t>(ds.irrWords) * kLanes;
    return {R.L + ds.irrWords, R.F + ds.irrWords, R.c1 + at, R.c0 + at};
}

// The irreversible steps' rule, which the joins of many neighbours read too
// (the word kernels are in kernels/).
#include "parsimony/kernels/irr_steps_rule.h"

// Adds a word's steps to the characters they belong to.
void addCharSteps(const DataInfo *d, const DolSearch &ds, uint32_t w, const int16_t *m)
{
    PackedData *pd = packedData(d);
    for (uint32_t i = 0; i < kLanes; i++)
        if (m[i]) {
            const uint32_t c = ds.charOf[static_cast<size_t>(w) * kLanes + i];
            if (pd->steps[c] < 0)
                pd->realSteps[c] += m[i];
            else
                pd->steps[c] += m[i];
        }
}

// Adds a word's steps (their sum, and each in m) to a length and, with
// perChar, to their characters.
void addWordSteps(const DataInfo *d, const DolSearch &ds, uint32_t w, int32_t sum, const int16_t *m, bool perChar,
                  double &length)
{
    if (!sum)
        return;
    length += sum * ds.weight[w];
    if (perChar)
        addCharSteps(d, ds, w, m);
}

// The step's condition in a cell of index states `b` (0: missing): 1 when
// every state of the cell is past the step on its derived side, 0 when none
// is, -1 when the cell leaves it open.
int stepValue(uint64_t b, uint32_t j, bool turned)
{
    if (!b)
        return -1;
    const auto lo = static_cast<uint32_t>(std::countr_zero(b)), hi = static_cast<uint32_t>(63 - std::countl_zero(b));
    const bool allAbove = lo >= j, noneAbove = hi < j;
    if (allAbove || noneAbove)
        return (allAbove != turned) ? 1 : 0;
    return -1;
}

uint64_t cellIndexBits(const DataInfo *d, int32_t taxon, const StmChar &sc)
{
    if (isMissingOrGapMiss(taxon, sc.c, d))
        return 0;
    const uint64_t raw = getXijAsBits(d, taxon, sc.c, nullptr);
    if (raw == kAllStates)
        return 0;
    uint64_t out = 0;
    for (uint32_t i = 0; i < sc.n; i++)
        if ((raw >> sc.state[i]) & 1)
            out |= uint64_t{1} << i;
    return out;
}

// A run of neighbouring states (or none): what the steps can hold exactly.
bool isRun(uint64_t b) { return !b || ((b >> std::countr_zero(b)) & ((b >> std::countr_zero(b)) + 1)) == 0; }

// Whole-numbered Dollo and irreversible characters whose cells (the
// ancestor's too) are each one state, missing or a run of neighbouring
// states: the steps hold such cells exactly. A cell of states not side by
// side would leave every step between them open, which lets a node of the
// series take a state between them that the cell does not allow, so such
// characters stay with the cost vectors. So do Dollo characters whose steps
// turn both ways (an ancestor in the middle of the series): the steps would
// score them alike, but the cost vectors hold their nodes as pairs of states
// (StmChar::pairs), which the steps' decisions do not write. Irreversible steps turned opposite ways never want to
// overlap (a part derived on both would hold no terminal of either kind), so
// any given ancestor is scored by steps; their counters bound the taxa.
bool routes(const DataInfo *d, const StmChar &sc, uint32_t ntax)
{
    // A polymorphic terminal's cost depends on the state it is met in in a
    // way a step's two conditions cannot hold.
    if (sc.userType || sc.n < 2 || sc.unit != 1.0 || sc.polyTips)
        return false;
    if (sc.dollo ? sc.pairs || (sc.turned != 0 && sc.turned + 1u != sc.n) : ntax > kIrrMaxTaxa)
        return false;
    for (int32_t t = -1; t < static_cast<int32_t>(ntax); t++)
        if (!isRun(cellIndexBits(d, t, sc)))
            return false;
    return true;
}

// Terminal (taxon >= 0) or ancestor record of the chosen characters.
void writeCells(const DataInfo *d, DolSearch &ds, const std::vector<int32_t> &chosen,
                const std::vector<uint32_t> &firstStep, int32_t taxon, ParsNodeSets *rec)
{
    uint64_t *primitive = ds.primitive.data() + static_cast<size_t>(taxon + 1) * ds.words;
    const PackedData *pd = packedData(d);
    Rec r = recOf(ds, rec);
    std::fill_n(rec->dollo, ds.stride, 0);
    setHead(rec, taxon < 0, 0.0);
    for (size_t k = 0; k < chosen.size(); k++) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(chosen[k])];
        const uint64_t b = cellIndexBits(d, taxon, sc);
        for (uint32_t j = 1; j < sc.n; j++) {
            const uint32_t at = firstStep[k] + j - 1, w = at / kLanes;
            const uint64_t bit = uint64_t{1} << (at % kLanes);
            const int v = stepValue(b, j, j <= sc.turned);
            if (!sc.dollo) {
                // A cell holds its condition and cannot take the other
                // (as the ancestor, holding itself, is read from above).
                if (v >= 0)
                    r.c1[at] = taxon < 0 ? (v ? kIrrNever : -1) : (v ? 1 : -kIrrNever);
            } else if (v == 1) {
                r.L[w] |= bit;
                r.F[w] |= bit;
            } else if (v == 0) {
                r.c1[at] = 1;  // a terminal of 0 in R: one step to leave it out
                primitive[w] |= bit;
            }
        }
    }
}

// Exchanges the cost-vector class's lists with those without the
// characters scored by steps.
void swapLists(PackedData *pd)
{
    DolSearch &ds = *pd->dolSearch;
    std::swap(pd->stmChars, ds.restChars);
    std::swap(pd->stmLanes, ds.restLanes);
    std::swap(pd->stmBlocks, ds.restBlocks);
    std::swap(pd->stmBlockLanes, ds.restBlockLanes);
    for (auto &[k, block] : ds.restBlockOf)
        std::swap(pd->stmAll[static_cast<size_t>(k)].block, block);
}

void setActive(DataInfo *d, bool on)
{
    PackedData *pd = packedData(d);
    swapLists(pd);
    pd->dolSearch->active = on;
    setParsFxns(d, 0);
    forgetLastTreeOptimized();
}

bool canActivate(const DataInfo *d)
{
    const PackedData *pd = packedData(d);
    return pd && pd->dolSearch && !pd->dolSearch->active && !pd->dolSearch->paused &&
           pd->dolSearch->fullChars == pd->stmChars && parsCriterionActive();
}

}  // namespace

int prepareDolSearch(DataInfo *d)
{
    PackedData *pd = packedData(d);
    // Made again inside a search (new weights): the class's own lists come
    // back first, with the new weights.
    if (pd->dolSearch && pd->dolSearch->active) {
        swapLists(pd);
        setStmLaneWeights(pd, d->weights);
    }
    pd->dolSearch.reset();
    const uint32_t ntax = std::min(d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0u, d->ntax);
    auto ds = std::make_shared<DolSearch>();
    ds->fullChars = pd->stmChars;
    // A block of characters sharing a table goes whole, or stays whole with
    // the cost vectors when any of its characters must.
    auto charOfLane = [&](uint32_t i) { return pd->stmChars[i]; };
    auto routesChar = [&](int32_t k) { return routes(d, pd->stmAll[static_cast<size_t>(k)], ntax); };
    std::vector<int32_t> chosen;
    auto keep = [&](uint32_t i) {
        ds->restChars.push_back(charOfLane(i));
        ds->restLanes.push_back(pd->stmLanes[i]);
        ds->restDollo = ds->restDollo || pd->stmLanes[i].dollo;
    };
    for (const StmBlock &blk : pd->stmBlocks) {
        bool all = true;
        for (uint32_t i = 0; i < blk.count && all; i++)
            all = routesChar(charOfLane(blk.lane0 + i));
        if (all) {
            for (uint32_t i = 0; i < blk.count; i++)
                chosen.push_back(charOfLane(blk.lane0 + i));
            continue;
        }
        StmBlock kept = blk;
        kept.lane0 = static_cast<uint32_t>(ds->restLanes.size());
        for (uint32_t i = 0; i < blk.count; i++)
            ds->restBlockOf.emplace_back(charOfLane(blk.lane0 + i), static_cast<int32_t>(ds->restBlocks.size()));
        ds->restBlocks.push_back(kept);
        for (uint32_t i = 0; i < blk.count; i++)
            keep(blk.lane0 + i);
    }
    ds->restBlockLanes = static_cast<uint32_t>(ds->restLanes.size());
    for (auto i = pd->stmBlockLanes; i < pd->stmLanes.size(); i++) {
        if (routesChar(charOfLane(i)))
            chosen.push_back(charOfLane(i));
        else
            keep(i);
    }
    if (chosen.empty() || !pd->nodeRecs)
        return 0;
    // One kind and one weight per word, irreversible words first: characters
    // by kind and weight, each character's steps side by side.
    auto key = [&](int32_t k) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        return std::pair{sc.dollo, pd->slots[sc.c].weight};
    };
    std::stable_sort(chosen.begin(), chosen.end(), [&](int32_t a, int32_t b) { return key(a) < key(b); });
    std::vector<uint32_t> firstStep(chosen.size());
    ds->firstStep.assign(d->nchar, kDolNoChar);
    uint32_t used = kLanes;
    for (size_t i = 0; i < chosen.size(); i++) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(chosen[i])];
        const uint32_t steps = sc.n - 1;
        if (used + steps > kLanes || (i && key(chosen[i]) != key(chosen[i - 1]))) {
            ds->words++;
            ds->weight.push_back(key(chosen[i]).second);
            ds->used.push_back(0);
            ds->turned.push_back(0);
            ds->charOf.resize(static_cast<size_t>(ds->words) * kLanes, kDolNoChar);
            if (!sc.dollo)
                ds->irrWords = ds->words;
            used = 0;
        }
        firstStep[i] = (ds->words - 1) * kLanes + used;
        ds->firstStep[sc.c] = firstStep[i];
        std::fill_n(ds->charOf.begin() + firstStep[i], steps, sc.c);
        for (uint32_t j = 1; j <= steps; j++) {
            const uint64_t bit = uint64_t{1} << (used + j - 1);
            ds->used.back() |= bit;
            if (j <= sc.turned)
                ds->turned.back() |= bit;
        }
        used += steps;
    }
    ds->stride = kHead + 2 * ds->words + (2 * ds->words - ds->irrWords) * kCounterWords;
    const size_t records = size_t{3} * pd->nodeCount;
    ds->sets.assign(records * ds->stride, 0);
    ds->scratch.assign(size_t{2} * ds->stride, 0);
    ds->primitive.assign(size_t{ntax + 1} * ds->words, 0);
    for (size_t k = 0; k < records; k++)
        pd->nodeRecs[k].dollo = ds->sets.data() + k * ds->stride;
    writeCells(d, *ds, chosen, firstStep, -1, &pd->nodeRecs[0]);
    for (uint32_t t = 0; t < ntax && 1 + t < records; t++)
        writeCells(d, *ds, chosen, firstStep, static_cast<int32_t>(t), &pd->nodeRecs[1 + t]);
    pd->dolSearch = std::move(ds);
    return 0;
}

DolloStepsSwitch::DolloStepsSwitch(DataInfo *d, bool on) : d_(d), on_(on)
{
    if (on ? canActivate(d) : dolSearchActive(d)) {
        setActive(d, on);
        changed_ = true;
    }
    if (!on && (layout_ = packedData(d) ? packedData(d)->dolSearch : nullptr))
        layout_->paused++;
}

DolloStepsSwitch::~DolloStepsSwitch()
{
    if (layout_)
        layout_->paused--;
    if (changed_ && (on_ ? dolSearchActive(d_) : canActivate(d_)))
        setActive(d_, !on_);
}

bool dolSearchActive(const DataInfo *d)
{
    const PackedData *pd = packedData(d);
    return pd && pd->dolSearch && pd->dolSearch->active;
}

uint32_t dolRecordWords(const DataInfo *d) { return dolSearchActive(d) ? layoutOf(d).stride : 0; }

namespace {

// The irreversible words of a join: their steps added (with count) as
// dolSetBin adds the Dollo words'; returns their weighted sum, kNoScore when
// a step can take no condition.
double joinIrrWords(const DataInfo *d, const DolSearch &ds, IrrJoinWord join, const ConstRec &A, const ConstRec &B,
                    const Rec &R, bool count, bool perChar, double &added)
{
    alignas(32) int16_t m[kLanes];
    double own = 0.0;
    bool never = false;
    for (uint32_t w = 0; w < ds.irrWords; w++) {
        const size_t at = static_cast<size_t>(w) * kLanes;
        const int32_t sum = join(A.c1 + at, B.c1 + at, R.c1 + at, m, &never);
        R.L[w] = R.F[w] = 0;
        if (sum)
            own += sum * ds.weight[w];
        if (count)
            addWordSteps(d, ds, w, sum, m, perChar, added);
    }
    return never ? kNoScore : own;
}

}  // namespace

void dolSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length)
{
    const DolSearch &ds = layoutOf(d);
    const ConstRec A = recOf(ds, a), B = recOf(ds, b);
    const Rec R = recOf(ds, result);
    double added = 0.0;
    const bool ta = holdsAncestor(a), tb = holdsAncestor(b);
    const double own =
        ds.irrWords ? joinIrrWords(d, ds, irrStepKernels().join[2 * ta + tb], A, B, R, count, perChar, added) : 0.0;
    if (const uint32_t n = ds.words - ds.irrWords) {
        // The kernel sums each word's steps, and hands them over one by one
        // only when the characters take them.
        thread_local std::vector<int32_t> sums;
        thread_local std::vector<int16_t> steps;
        if (count)
            sums.resize(n);
        if (count && perChar)
            steps.resize(static_cast<size_t>(n) * kLanes);
        dolStepKernels().join(dolWords(ds, A), dolWords(ds, B), dolWords(ds, R), n, count ? sums.data() : nullptr,
                              count && perChar ? steps.data() : nullptr);
        if (count)
            for (uint32_t w = 0; w < n; w++) {
                const int16_t *m = perChar ? steps.data() + static_cast<size_t>(w) * kLanes : nullptr;
                addWordSteps(d, ds, ds.irrWords + w, sums[w], m, perChar, added);
            }
    }
    const double base = own >= kNoScore ? kNoScore : std::min(baseOf(a) + baseOf(b) + own, kNoScore);
    setHead(result, ta || tb, base);
    if (count && length)
        *length = base >= kNoScore ? kNoScore : *length + added;
}

void dolSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length)
{
    const DolSearch &ds = layoutOf(d);
    thread_local std::vector<ConstRec> nb;
    nb.clear();
    bool anyTag = false;
    double base = 0.0;
    auto neighbour = [&](const TreeNode *n, int k) {
        const auto *r = static_cast<const ParsNodeSets *>(nodeSets(n->abm[k]));
        nb.push_back(recOf(ds, r));
        anyTag = anyTag || holdsAncestor(r);
        base += baseOf(r);
    };
    for (const TreeNode *c = node->firstChild; c; c = c->nextSib)
        if (c != leaveOut)
            neighbour(c, 0);
    if (node->anc && node->anc != leaveOut)
        neighbour(node, 1);
    const Rec R = recOf(ds, result);
    alignas(32) int16_t m[kLanes];
    double added = 0.0;
    bool never = false;
    for (uint32_t w = 0; w < ds.irrWords; w++) {
        int32_t sum = 0;
        for (uint32_t i = 0; i < kLanes; i++) {
            const size_t at = static_cast<size_t>(w) * kLanes + i;
            int32_t o0 = 0, o1 = 0, v = 0;
            for (const ConstRec &x : nb) {
                int16_t x0, x1;
                irrUnpack(x.c1[at], x0, x1);
                o0 = std::min<int32_t>(o0 + x0, kIrrNever);
                o1 = std::min<int32_t>(o1 + x1, kIrrNever);
                v = std::clamp<int32_t>(v + x.c1[at], -kIrrNever, kIrrNever);
            }
            const int32_t least = std::min(o0, o1);
            never = never || least >= kIrrNever;
            const auto s0 = static_cast<int16_t>(o0), s1 = static_cast<int16_t>(o1), d = static_cast<int16_t>(v);
            R.c1[at] = anyTag ? irrNodeValue<true>(s0, s1, d) : irrNodeValue<false>(s0, s1, d);
            m[i] = static_cast<int16_t>(least);
            sum += least;
        }
        R.L[w] = R.F[w] = 0;
        if (sum)
            base += sum * ds.weight[w];
        if (count)
            addWordSteps(d, ds, w, sum, m, perChar, added);
    }
    if (never)
        base = kNoScore;
    setHead(result, anyTag, std::min(base, kNoScore));
    for (uint32_t w = ds.irrWords; w < ds.words; w++) {
        uint64_t any = 0, twice = 0;
        for (const ConstRec &x : nb) {
            twice |= any & x.L[w];
            any |= x.L[w];
        }
        int32_t sum = 0;
        for (uint32_t i = 0; i < kLanes; i++) {
            const size_t at = static_cast<size_t>(w) * kLanes + i;
            int32_t s = 0, x1 = 0, x0 = 0;
            bool fx = false;
            for (const ConstRec &x : nb) {
                s += x.c1[at];
                if ((x.L[w] >> i) & 1) {
                    x1 = x.c1[at];
                    x0 = x.c0[at];
                    fx = (x.F[w] >> i) & 1;
                }
            }
            int32_t least = 0, r1, r0 = 0;
            if ((twice >> i) & 1) {
                least = s;
                r1 = 0;
            } else if ((any >> i) & 1) {
                const int32_t out = fx ? x1 + 1 : std::min(x1 + 1, x0);
                least = std::min(s, out);
                r1 = s - least;
                r0 = out - least;
            } else {
                r1 = std::min(s, 1);
            }
            m[i] = static_cast<int16_t>(least);
            R.c1[at] = static_cast<int16_t>(r1);
            R.c0[at] = static_cast<int16_t>(r0);
            sum += least;
        }
        R.L[w] = any;
        R.F[w] = twice;
        if (count)
            addWordSteps(d, ds, w, sum, m, perChar, added);
    }
    if (count && length)
        *length = never ? kNoScore : *length + added;
}

// The length of joining a and b by an edge, added to *length; 1 as soon as
// it exceeds the bound (no step of a later word takes any back).
int dolLenForConnection(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
                        double bound)
{
    const DolSearch &ds = layoutOf(d);
    const double tol = packedData(d)->tolerance;
    const ConstRec A = recOf(ds, a), B = recOf(ds, b);
    alignas(32) int16_t m[kLanes];
    double len = *length;
    if (ds.irrWords) {
        const IrrSpanWord span = irrStepKernels().span[2 * holdsAncestor(a) + holdsAncestor(b)];
        bool never = false;
        for (uint32_t w = 0; w < ds.irrWords; w++) {
            const size_t at = static_cast<size_t>(w) * kLanes;
            const int32_t sum = span(A.c1 + at, B.c1 + at, m, &never);
            if (never) {
                *length = kNoScore;
                return 0;
            }
            addWordSteps(d, ds, w, sum, m, perChar, len);
            if (!perChar && len - bound > tol) {
                *length = len;
                return 1;
            }
        }
    }
    const DolSpanWord span = dolStepKernels().span;
    const DolWords da = dolWords(ds, A), db = dolWords(ds, B);
    for (uint32_t w = ds.irrWords; w < ds.words; w++) {
        // No 1 on either side: no step.
        if (!(A.L[w] | B.L[w]))
            continue;
        const int32_t sum = span(da, db, w - ds.irrWords, m);
        addWordSteps(d, ds, w, sum, m, perChar, len);
        if (!perChar && len - bound > tol) {
            *length = len;
            return 1;
        }
    }
    *length = len;
    return len - bound > tol ? 1 : 0;
}

int dolAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound)
{
    return dolLenForConnection(d, a, b, perChar, length, bound);
}

int dolSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty)
{
    if (!(dirty[0] & 1))
        return 0;
    PackedData *pd = packedData(d);
    DolSearch &ds = *pd->dolSearch;
    ParsNodeSets fresh{};
    fresh.dollo = ds.scratch.data();
    dolSetBin(d, c1, c2, false, false, &fresh, nullptr);
    if (std::equal(fresh.dollo, fresh.dollo + ds.stride, stored->dollo)) {
        dirty[0] &= ~uint64_t{1};
        return 0;
    }
    std::copy_n(fresh.dollo, ds.stride, stored->dollo);
    dolSetBin(d, stored, above, false, false, final, nullptr);
    return 1;
}

int dolEvalNNI(const DataInfo *d, TreeNode *, const TreeNode *x, double *length, double bound)
{
    NNISets q;
    if (!nniSets(x, &q))
        return 0;
    DolSearch &ds = *packedData(d)->dolSearch;
    // The rest of the tree seen from u's edge once x has left: g keeps s and
    // its own up set, and a node on u's edge joins that to u.
    ParsNodeSets gNow{}, edge{};
    gNow.dollo = ds.scratch.data();
    edge.dollo = ds.scratch.data() + ds.stride;
    dolSetBin(d, q.s, q.gUp, false, false, &gNow, nullptr);
    dolSetBin(d, &gNow, q.u, false, false, &edge, nullptr);
    return dolAddSpan(d, q.x, &edge, false, length, bound);
}

double dolRerootDelta(const DataInfo *d, const ParsNodeSets *rerooted, const ParsNodeSets *rooted)
{
    if (!dolSearchActive(d) || !layoutOf(d).irrWords || !rerooted->dollo || !rooted->dollo)
        return 0.0;
    return baseOf(rerooted) - baseOf(rooted);
}

void copyDolSets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to)
{
    if (dolSearchActive(d) && from->dollo && to->dollo && from != to)
        std::copy_n(from->dollo, layoutOf(d).stride, to->dollo);
}

namespace {

constexpr uint32_t kPrimitive = 1, kDerived = 2;

// The conditions of step `at` that a record made from all of a node's
// neighbours leaves most parsimonious at the node (kPrimitive, kDerived).
uint32_t stepMpr(const DolSearch &ds, const ConstRec &R, uint32_t at)
{
    const uint32_t w = at / kLanes, i = at % kLanes;
    if (w < ds.irrWords) {
        // Capped towards the cheaper side, the value keeps its sign.
        int16_t x0, x1;
        irrUnpack(R.c1[at], x0, x1);
        return (x0 == 0 ? kPrimitive : 0) | (x1 == 0 ? kDerived : 0);
    }
    if ((R.F[w] >> i) & 1)
        return kDerived;
    // Without a 1 around, c0 is 0 (no part R at all) and c1 says whether
    // the node may be derived at no cost (only missing cells around).
    const bool primitive = !((R.L[w] >> i) & 1) || R.c0[at] == 0;
    return (primitive ? kPrimitive : 0) | (R.c1[at] == 0 ? kDerived : 0);
}

// Whether a Dollo step may change on an edge, its lower end summarised by
// a (L, F, c1, c0) and its upper end by b. The part R of derived nodes is
// connected: the lower end alone derived puts R wholly below (b holds no
// 1), the upper end alone derived leaves a without a 1; neither derived
// with 1s on both sides would split R. Counters of a part without a 1 are
// kept at 0 or 1, which leaves each least sum below as it is.
bool dolloStepMayChange(bool La, bool Fa, int32_t a1, int32_t a0, bool Lb, bool Fb, int32_t b1, int32_t b0)
{
    constexpr int32_t kNo = INT32_MAX / 4;
    const int32_t both = a1 + b1;
    const int32_t neither = Fa || Fb || (La && Lb) ? kNo : a0 + b0;
    const int32_t lowerOnly = Lb ? kNo : a1 + b0 + 1;
    const int32_t upperOnly = La ? kNo : a0 + b1 + 1;
    const int32_t best = std::min({both, neither, lowerOnly, upperOnly});
    return lowerOnly == best || upperOnly == best;
}

// The same for an irreversible step, a below (without the ancestor) and b
// above: only a gain on the edge changes it. Each record's value is capped
// on the side its neighbour never reads alone (see irrUnpack), which leaves
// the least sum and the gain's own sum as they are.
bool irrStepMayChange(int16_t va, int16_t vb)
{
    int16_t a0, a1, b0, b1;
    irrUnpack(va, a0, a1);
    irrUnpack(vb, b0, b1);
    const int32_t gain = b0 + a1 + 1;
    const int32_t best = std::min({b0 + a0, gain, b1 + a1});
    return best < kIrrNever && gain == best;
}

// Whether step i of word w may change on the edge between a record below
// (A) and one above (B).
bool stepMayChange(const DolSearch &ds, const ConstRec &A, const ConstRec &B, uint32_t w, uint32_t i)
{
    const size_t at = static_cast<size_t>(w) * kLanes + i;
    return w < ds.irrWords ? irrStepMayChange(A.c1[at], B.c1[at])
                           : dolloStepMayChange((A.L[w] >> i) & 1, (A.F[w] >> i) & 1, A.c1[at], A.c0[at],
                                                (B.L[w] >> i) & 1, (B.F[w] >> i) & 1, B.c1[at], B.c0[at]);
}

}  // namespace

bool dolScoresChar(const DataInfo *d, uint32_t c) { return dolSearchActive(d) && dolStepsHoldChar(d, c); }

void dolMprSet(const DataInfo *d, TreeNode *node)
{
    dolSet(d, node, nullptr, false, false, nodeSets(node->abm[2]), nullptr);
}

namespace {

// The states of character sc (index bits) that the conditions of its steps
// allow, `conditions(at)` giving those of step `at` (kPrimitive, kDerived).
template <typename Conditions>
uint64_t statesOfSteps(const DolSearch &ds, const StmChar &sc, Conditions conditions)
{
    const uint64_t all = sc.n >= 64 ? ~uint64_t{0} : (uint64_t{1} << sc.n) - 1;
    uint64_t states = all;
    // Step j lies between states j - 1 and j: the states from j up are on
    // its derived side unless the ancestor turns it round.
    for (uint32_t j = 1; j < sc.n; j++) {
        const uint32_t m = conditions(ds.firstStep[sc.c] + j - 1);
        const uint64_t above = all & ~((uint64_t{1} << j) - 1);
        const uint64_t derived = j <= sc.turned ? all & ~above : above;
        if (!(m & kDerived))
            states &= ~derived;
        if (!(m & kPrimitive))
            states &= derived;
    }
    return states;
}

}  // namespace

uint64_t dolStateSet(const DataInfo *d, const ParsNodeSets *rec, uint32_t c)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!dolScoresChar(d, c) || !sc || !rec || !rec->dollo)
        return 0;
    const DolSearch &ds = layoutOf(d);
    const ConstRec R = recOf(ds, rec);
    return stmRawStates(d, *sc, StmIndexSet::ofWord(statesOfSteps(ds, *sc, [&](uint32_t at) { return stepMpr(ds, R, at); })));
}

bool dolEdgeMayChange(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b)
{
    if (!dolSearchActive(d) || !a->dollo || !b->dollo)
        return false;
    // The record holding the ancestor is the upper end.
    if (holdsAncestor(a) && !holdsAncestor(b))
        std::swap(a, b);
    const DolSearch &ds = layoutOf(d);
    const ConstRec A = recOf(ds, a), B = recOf(ds, b);
    for (uint32_t w = 0; w < ds.words; w++) {
        if (!(ds.weight[w] > 0))
            continue;
        for (uint32_t i = 0; i < kLanes; i++) {
            if (ds.charOf[static_cast<size_t>(w) * kLanes + i] == kDolNoChar)
                break;
            if (stepMayChange(ds, A, B, w, i))
                return true;
        }
    }
    return false;
}

double dolLen3(const DataInfo *d, int32_t a, int32_t b, int32_t c)
{
    const PackedData *pd = packedData(d);
    const DolSearch &ds = layoutOf(d);
    const ParsNodeSets *rec[3] = {&pd->nodeRecs[a + 1], &pd->nodeRecs[b + 1], &pd->nodeRecs[c + 1]};
    const ConstRec A = recOf(ds, rec[0]), B = recOf(ds, rec[1]), C = recOf(ds, rec[2]);
    double len = 0.0;
    if (ds.irrWords) {
        // The irreversible steps: the join of a and b, spanned to c.
        thread_local std::vector<int16_t> x;
        x.resize(static_cast<size_t>(ds.irrWords) * kLanes);
        alignas(32) int16_t m[kLanes];
        const bool ta = holdsAncestor(rec[0]), tb = holdsAncestor(rec[1]), tc = holdsAncestor(rec[2]);
        const IrrStepKernels &k = irrStepKernels();
        bool never = false;
        for (uint32_t w = 0; w < ds.irrWords; w++) {
            const size_t at = static_cast<size_t>(w) * kLanes;
            const int32_t sum = k.join[2 * ta + tb](A.c1 + at, B.c1 + at, x.data() + at, m, &never) +
                                k.span[2 * (ta || tb) + tc](x.data() + at, C.c1 + at, m, &never);
            len += sum * ds.weight[w];
        }
        if (never)
            return kNoScore;
    }
    // A Dollo step of three terminals costs one step where one holds it
    // derived and another primitive, else none.
    const uint64_t *za = ds.primitive.data() + static_cast<size_t>(a + 1) * ds.words;
    const uint64_t *zb = ds.primitive.data() + static_cast<size_t>(b + 1) * ds.words;
    const uint64_t *zc = ds.primitive.data() + static_cast<size_t>(c + 1) * ds.words;
    for (uint32_t w = ds.irrWords; w < ds.words; w++)
        if (const uint64_t mixed = (A.L[w] | B.L[w] | C.L[w]) & (za[w] | zb[w] | zc[w]))
            len += std::popcount(mixed) * ds.weight[w];
    return len;
}

// ---------------------------------------------------------------------------
// Reconstructions

namespace {

ParsNodeSets *downOf(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *upOf(const TreeNode *n) { return nodeSets(n->abm[1]); }
ParsNodeSets *finalOf(const TreeNode *n) { return nodeSets(n->abm[2]); }

// The lanes of a word of counters that pass a test, as a word.
template <typename Test>
uint64_t lanesWhere(const int16_t *x, Test test)
{
    uint64_t out = 0;
    for (uint32_t i = 0; i < kLanes; i++)
        out |= static_cast<uint64_t>(test(x[i])) << i;
    return out;
}

template <typename Test>
uint64_t lanesWhere(const int16_t *x, const int16_t *y, Test test)
{
    uint64_t out = 0;
    for (uint32_t i = 0; i < kLanes; i++)
        out |= static_cast<uint64_t>(test(x[i], y[i])) << i;
    return out;
}

// Word w of the conditions a record leaves most parsimonious (stepMpr, a
// word at a time): the steps that may be derived, and those that may be
// primitive. Read on a terminal's or the ancestor's record, a step it holds
// is one or the other and a step it leaves open both.
struct StepConditions {
    uint64_t derived, primitive;
    uint64_t onlyDerived() const { return derived & ~primitive; }
    uint64_t onlyPrimitive() const { return primitive & ~derived; }
};

StepConditions mprWord(const DolSearch &ds, const ConstRec &R, uint32_t w)
{
    StepConditions out{0, 0};
    for (uint32_t i = 0; i < kLanes; i++) {
        const uint32_t m = stepMpr(ds, R, w * kLanes + i);
        out.derived |= static_cast<uint64_t>((m & kDerived) != 0) << i;
        out.primitive |= static_cast<uint64_t>((m & kPrimitive) != 0) << i;
    }
    return out;
}

// The decided conditions of word w at an internal node with down record R
// and most-parsimonious record M, its ancestor's decided conditions `pa`,
// `open` the steps an ancestor left open above it.
uint64_t decideWord(const DolSearch &ds, const ConstRec &R, const ConstRec &M, uint32_t w, uint64_t pa,
                    uint64_t open, bool accTran)
{
    const size_t at = static_cast<size_t>(w) * kLanes;
    const int16_t *c1 = R.c1 + at;
    uint64_t x, fromOpen = 0;
    if (w < ds.irrWords) {
        // The subtree's value: positive where its top is cheaper derived
        // (a gain on this branch), negative where cheaper primitive.
        const uint64_t gain = lanesWhere(c1, [](int16_t v) { return v > 0; });
        if (accTran) {
            x = pa | gain;
        } else {
            const StepConditions m = mprWord(ds, M, w);
            x = (pa & m.derived) | (~pa & ~m.primitive);
        }
        // An open ancestor takes either condition at no cost: a tie goes
        // to the lower state, which a turned step has on its derived side.
        if (open)
            fromOpen = gain | (~gain & ~lanesWhere(c1, [](int16_t v) { return v < 0; }) & ds.turned[w]);
    } else {
        const int16_t *c0 = R.c0 + at;
        const uint64_t L = R.L[w], F = R.F[w];
        if (accTran) {
            // Below a derived node a subtree without a 1 is left derived
            // only when nothing but missing cells are in it (else the loss
            // is on this branch); below a primitive one a subtree with a
            // 1 gains on this branch when that costs no more than a gain
            // further down (a tie goes to the change here).
            const uint64_t keep = lanesWhere(c1, [](int16_t v) { return v < 1; });
            const uint64_t gainHere = lanesWhere(c1, c0, [](int16_t a, int16_t b) { return a + 1 <= b; });
            x = (pa & (L | keep)) | (~pa & (F | (L & gainHere)));
        } else {
            const StepConditions m = mprWord(ds, M, w);
            x = (pa & m.derived) | (~pa & ~m.primitive);
        }
        // Below an open ancestor the node is derived where that costs less
        // than primitive, or as much under AccTran.
        if (open)
            fromOpen = F | (L & (accTran ? lanesWhere(c1, c0, [](int16_t a, int16_t b) { return a <= b; })
                                         : lanesWhere(c1, c0, [](int16_t a, int16_t b) { return a < b; })));
    }
    return ((open & fromOpen) | (~open & x)) & ds.used[w];
}

}  // namespace

bool dolStepsFitTree(const DataInfo *d, const Tree *tree)
{
    const PackedData *pd = packedData(d);
    const TreeNode *root = tree->root;
    return pd && pd->dolSearch && !pd->dolSearch->paused && !pd->dolSearch->firstStep.empty() && root &&
           root->index < 0 && root->firstChild && !root->firstChild->nextSib;
}

bool dolStepsHoldChar(const DataInfo *d, uint32_t c)
{
    const PackedData *pd = packedData(d);
    return pd && pd->dolSearch && c < pd->dolSearch->firstStep.size() && pd->dolSearch->firstStep[c] != kDolNoChar;
}

void dolDecide(const DataInfo *d, TreeNode *node, bool accTran)
{
    const DolSearch &ds = layoutOf(d);
    const TreeNode *anc = node->anc;
    // The ancestor's record gives its conditions as a terminal's does, and
    // a step it leaves open changes on no branch below it.
    const bool belowAncestor = !anc->anc;
    const ConstRec A = recOf(ds, static_cast<const ParsNodeSets *>(downOf(anc)));
    ParsNodeSets *own = downOf(node);
    const ConstRec R = recOf(ds, static_cast<const ParsNodeSets *>(own));
    const ConstRec M = recOf(ds, static_cast<const ParsNodeSets *>(finalOf(node)));
    const Rec X = recOf(ds, own);
    for (uint32_t w = 0; w < ds.words; w++) {
        uint64_t pa = A.L[w], open = 0;
        if (belowAncestor) {
            const StepConditions a = mprWord(ds, A, w);
            pa = a.onlyDerived();
            open = a.derived & a.primitive;
        }
        uint64_t change;
        if (node->firstChild) {
            const uint64_t x = decideWord(ds, R, M, w, pa, open, accTran);
            change = (x ^ pa) & ~open & ds.used[w];
            X.L[w] = X.F[w] = x;
        } else {
            const StepConditions t = mprWord(ds, R, w);
            change = ((~pa & t.onlyDerived()) | (pa & t.onlyPrimitive())) & ~open & ds.used[w];
        }
        if (change)
            node->edge.brlen += std::popcount(change) * ds.weight[w];
    }
}

void dolWriteDecisions(const DataInfo *d, const Tree *tree)
{
    const PackedData *pd = packedData(d);
    const DolSearch &ds = layoutOf(d);
    for (const TreeNode *n = tree->root->next; n; n = n->next) {
        if (!n->firstChild)
            continue;
        ParsNodeSets *own = downOf(n), *mpr = finalOf(n);
        const ConstRec X = recOf(ds, static_cast<const ParsNodeSets *>(own));
        const ConstRec M = recOf(ds, static_cast<const ParsNodeSets *>(mpr));
        auto decided = [&](uint32_t at) { return (X.L[at / kLanes] >> (at % kLanes)) & 1 ? kDerived : kPrimitive; };
        auto mprOf = [&](uint32_t at) { return stepMpr(ds, M, at); };
        for (uint32_t c = 0; c < ds.firstStep.size(); c++) {
            if (ds.firstStep[c] == kDolNoChar)
                continue;
            const StmChar &sc = pd->stmAll[static_cast<size_t>(pd->stmIndex[c])];
            stmSetStates(d, own, sc, StmIndexSet::ofWord(statesOfSteps(ds, sc, decided)));
            stmSetStates(d, mpr, sc, StmIndexSet::ofWord(statesOfSteps(ds, sc, mprOf)));
        }
    }
}

void dolBLRange(const DataInfo *d, const Tree *tree, std::vector<BranchLengthRange> &range)
{
    const DolSearch &ds = layoutOf(d);
    const TreeNode *root = tree->root;
    // Down, up and most-parsimonious records, as a search makes them.
    for (const TreeNode *n = tree->tail; n && n != root; n = n->prev) {
        const TreeNode *a = n->firstChild;
        if (!a)
            continue;
        if (a->nextSib && !a->nextSib->nextSib)
            dolSetBin(d, downOf(a), downOf(a->nextSib), false, false, downOf(n), nullptr);
        else
            dolSet(d, n, n->anc, false, false, downOf(n), nullptr);
    }
    for (const TreeNode *n = root->next; n; n = n->next) {
        if (n->anc == root)
            std::copy_n(downOf(root)->dollo, ds.stride, upOf(n)->dollo);
        else
            dolSet(d, n->anc, n, false, false, upOf(n), nullptr);
        if (n->firstChild)
            dolSet(d, n, nullptr, false, false, finalOf(n), nullptr);
    }
    for (const TreeNode *n = root->next; n; n = n->next) {
        const ConstRec A = recOf(ds, static_cast<const ParsNodeSets *>(downOf(n)));
        const ConstRec B = recOf(ds, static_cast<const ParsNodeSets *>(upOf(n)));
        // The ends' most-parsimonious conditions; a terminal's and the
        // ancestor's are their cells.
        const ConstRec Mn = recOf(ds, static_cast<const ParsNodeSets *>(n->firstChild ? finalOf(n) : downOf(n)));
        const ConstRec Ma = recOf(ds, static_cast<const ParsNodeSets *>(n->anc == root ? downOf(root)
                                                                                         : finalOf(n->anc)));
        BranchLengthRange &r = range[nodePosition(tree, n)];
        for (uint32_t w = 0; w < ds.words; w++) {
            const StepConditions x = mprWord(ds, Mn, w), y = mprWord(ds, Ma, w);
            // Every reconstruction changes a step whose ends each hold one
            // condition, and they differ.
            const uint64_t must =
                ((x.onlyDerived() & y.onlyPrimitive()) | (x.onlyPrimitive() & y.onlyDerived())) & ds.used[w];
            uint64_t may = 0;
            for (uint64_t lanes = ds.used[w]; lanes; lanes &= lanes - 1) {
                const auto i = static_cast<uint32_t>(std::countr_zero(lanes));
                may |= static_cast<uint64_t>(stepMayChange(ds, A, B, w, i)) << i;
            }
            if (must)
                r.min += std::popcount(must) * ds.weight[w];
            if (may)
                r.max += std::popcount(may) * ds.weight[w];
        }
    }
}
