#include "parsimony/stmx.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "data/data_services.h"
#include "data/usertypes.h"
#include "parsimony/dollo_bits.h"
#include "parsimony/lenrange.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "qel/qel_malloc.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kMaxSteinerTerminals = 10;
// Integer lengths past this per character no longer fit the per-character
// counts the diagnostics print; the tree length reports an overflow instead.
constexpr int64_t kCharLengthLimit = 32767;

int64_t sat(int64_t x) { return x >= kStmImpossible ? kStmImpossible : x; }

// An ancestor that leaves a Dollo character open between several states
// counts no step on its edge: the character costs what the cheapest of those
// states costs (gains and losses alike). Its vector charges each state the
// gains that reach it from the most primitive of them, each offset by one
// loss: the least cost still puts fewer gains first, the comparison between
// the open states is by length, and the length counts nothing for them.
void openDolloAncestor(const int64_t *cost, const StmChar &sc, uint64_t states, int64_t *V)
{
    // The state below the turned steps and above the others is the most
    // primitive (it is one of the open states: see stmTurnedSteps).
    const uint32_t p = sc.turned;
    for (uint32_t v = 0; v < sc.n; v++)
        V[v] = (states >> v) & 1 ? cost[p * sc.n + v] / kDolloGain * (kDolloGain - 1) : kStmImpossible;
    V[sc.n] = static_cast<int64_t>(uint64_t{1} << p);
}

}  // namespace

uint32_t stmTurnedSteps(uint32_t status, const StmChar &sc, uint64_t ancestor)
{
    // A given ancestor is the primitive condition: every step of the series
    // at or below its (lowest) state turns round, so that the states below
    // it are gained going down as those above it are gained going up. With
    // the ancestor open, the ".dn" variants turn the whole series round.
    // Cells keep their states, so reconstructions read in the user's coding.
    if (sc.n < 2 || sc.userType)
        return 0;
    const uint64_t all = sc.n >= 64 ? ~uint64_t{0} : (uint64_t{1} << sc.n) - 1;
    if (ancestor && ancestor != all)
        return static_cast<uint32_t>(std::countr_zero(ancestor));
    return (status & kCharDownVariant) != 0 ? sc.n - 1 : 0;
}

namespace {

inline double unitsToLength(bool dollo, double unit, int64_t units)
{
    if (dollo) {
        const int64_t gains = (units + kDolloGain / 2) / kDolloGain;
        return static_cast<double>(gains + (units - gains * kDolloGain));
    }
    return static_cast<double>(units) * unit;
}

const UserType *userTypeOf(const DataInfo *d, uint32_t c)
{
    return (d->status[c] & kCharTypeMask) == kCharUserType && d->userTypes ? d->userTypes[c] : nullptr;
}

uint64_t allIndices(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// Cell states in the character's source order (user-type states or raw data
// states); 0 for a missing cell. An uncertain cell of a Dollo or
// irreversible character holds every state between its lowest and highest:
// each step is scored on its own, and the cell leaves open each step it is
// unsure of, as an ordered character's cell does.
uint64_t sourceBits(const DataInfo *d, int32_t taxon, uint32_t c, const UserType *ut)
{
    if (isMissingOrGapMiss(taxon, c, d))
        return 0;
    const uint64_t b = getXijAsBits(d, taxon, c, ut ? ut->symbols : nullptr);
    if (b == kAllStates)
        return 0;
    const uint32_t type = d->status[c] & kCharTypeMask;
    if (ut || taxon < 0 || !(b & (b - 1)) || (type != kCharDollo && type != kCharIrreversible) ||
        isPolymorphicMST(taxon, c, d))
        return b;
    const auto lo = static_cast<uint32_t>(std::countr_zero(b)), hi = static_cast<uint32_t>(63 - std::countl_zero(b));
    return allIndices(hi + 1) & ~allIndices(lo);
}

// Series positions of a pair character's index (see StmChar::pairs).
uint32_t pairUpper(const StmChar &sc, uint32_t i) { return sc.pairUp[i]; }
uint32_t pairLower(const StmChar &sc, uint32_t i) { return sc.pairDown[i]; }

// The series positions a source set holds.
uint64_t seriesBits(const StmChar &sc, uint64_t source)
{
    uint64_t out = 0;
    for (uint32_t i = 0; i < sc.series; i++)
        if ((source >> sc.state[i]) & 1)
            out |= uint64_t{1} << i;
    return out;
}

// The pairs of each single state of a cell: what a polymorphic terminal
// holds, one state at a time, never a mixture (see pairPolyCell).
StmIndexSet pairSingles(const StmChar &sc, uint64_t source)
{
    const uint32_t a = sc.turned;
    const uint64_t b = seriesBits(sc, source);
    StmIndexSet out;
    for (uint32_t i = 0; i < sc.n; i++) {
        const uint32_t u = sc.pairUp[i], l = sc.pairDown[i];
        if ((u == a || l == a) && ((b >> (u != a ? u : l)) & 1))
            out.set(i);
    }
    return out;
}

// The pairs of a polymorphic cell of a pair character. Each step the cell
// holds both ways costs one step inside it, and which steps those are
// follows from its lowest and highest states alone: a state between them is
// on one side of every step with one of them. Holding the pairs of the
// states between as well would ask a node derived both ways inside the
// terminal to reach them, a step the rule never counts.
StmIndexSet pairPolyCell(const StmChar &sc, uint64_t source)
{
    uint64_t lo = 0, hi = 0;
    for (uint32_t i = 0; i < sc.series; i++)
        if ((source >> sc.state[i]) & 1) {
            hi = uint64_t{1} << sc.state[i];
            if (!lo)
                lo = hi;
        }
    return pairSingles(sc, lo | hi);
}

// The indices of a source set: a pair character's pairs (pairSingles), or
// the scored states of any other, which fit a word (indexWord).
uint64_t indexWord(const StmChar &sc, uint64_t source)
{
    uint64_t out = 0;
    for (uint32_t i = 0; i < sc.n && i < 64; i++)
        if ((source >> sc.state[i]) & 1)
            out |= uint64_t{1} << i;
    return out;
}

StmIndexSet indexBits(const StmChar &sc, uint64_t source)
{
    return sc.pairs ? pairSingles(sc, source) : StmIndexSet::ofWord(indexWord(sc, source));
}

// The pairs an uncertain cell of a pair character allows. Each step of the
// series is scored on its own, and a cell unsure of a step leaves that step
// open, on either side of the ancestor alike: a cell with states both sides
// of it may be derived up, down, both ways at once or neither, as far as its
// highest and lowest states reach.
StmIndexSet pairRange(const StmChar &sc, uint64_t source)
{
    const uint64_t b = seriesBits(sc, source);
    StmIndexSet out;
    if (!b)
        return out;
    const uint32_t a = sc.turned, lo = static_cast<uint32_t>(std::countr_zero(b)),
                   hi = static_cast<uint32_t>(63 - std::countl_zero(b));
    for (uint32_t i = 0; i < sc.n; i++) {
        const uint32_t u = sc.pairUp[i], l = sc.pairDown[i];
        if (u >= std::max(a, lo) && u <= std::max(a, hi) && l >= std::min(a, lo) && l <= std::min(a, hi))
            out.set(i);
    }
    return out;
}

// A character's indices whose entries in V are 0: its zero mask while it
// has at most 64 indices, else read from the entries (see stmCharVector).
StmIndexSet zerosOf(const StmChar &sc, const int64_t *V)
{
    if (sc.n <= 64)
        return StmIndexSet::ofWord(static_cast<uint64_t>(V[sc.n]));
    StmIndexSet out;
    for (uint32_t i = 0; i < sc.n; i++)
        if (V[i] == 0)
            out.set(i);
    return out;
}

// The zero mask word of the n entries of V (0 past 64 indices).
int64_t zeroMask(const int64_t *V, uint32_t n)
{
    uint64_t zeros = 0;
    for (uint32_t i = 0; i < n && n <= 64; i++)
        zeros |= static_cast<uint64_t>(V[i] == 0) << i;
    return static_cast<int64_t>(zeros);
}

// Cost of a change of a user type in units (real matrices scaled).
int64_t userCost(const UserType *ut, uint32_t i, uint32_t j, double scale)
{
    if (ut->realValued) {
        double x = ut->realCosts[i][j];
        return x >= kUserTypeRealInfinity ? kStmImpossible : static_cast<int64_t>(std::llround(x * scale));
    }
    int16_t x = ut->intCosts[i][j];
    return x >= kUserTypeIntInfinity ? kStmImpossible : x;
}

// The three-plus-one rule: state x joins a, b and c (rooted at a) at most as
// cheaply as the best tree without it.
bool addStateL(const UserType *ut, uint32_t a, uint32_t b, uint32_t c, uint32_t x)
{
    auto cost = [ut](uint32_t i, uint32_t j) { return usertypeCost(ut, i, j); };
    constexpr double inf = kUserTypeRealInfinity;
    if (cost(a, x) >= inf || cost(x, b) >= inf || cost(x, c) >= inf)
        return false;
    double via = cost(a, x) + cost(x, b) + cost(x, c);
    double best = inf;
    auto consider = [&](double p, double q) {
        if (p < inf && q < inf)
            best = std::min(best, p + q);
    };
    consider(cost(a, b), cost(a, c));
    consider(cost(a, b), cost(b, c));
    consider(cost(a, c), cost(c, b));
    return ut->realValued ? via - best < 1e-10 : via <= best;
}

// The user-type states scored for character c, by the stepMatrix setting;
// 0 after error 438.
int userTypeStates(const DataInfo *d, uint32_t c, const UserType *ut, uint64_t observed, uint64_t *out)
{
    if (gPars.stepMatrix == 1) {
        *out = allIndices(ut->n);
        return 0;
    }
    *out = observed;
    if (gPars.stepMatrix != 2 || std::popcount(observed) <= 2)
        return 0;
    std::vector<uint32_t> obs;
    for (uint64_t b = observed; b; b &= b - 1)
        obs.push_back(static_cast<uint32_t>(std::countr_zero(b)));
    uint64_t added = 0;
    for (uint32_t x = 0; x < ut->n; x++) {
        if ((observed >> x) & 1)
            continue;
        bool take = false;
        for (size_t i = 0; i < obs.size() && !take; i++)
            for (size_t j = i + 1; j < obs.size() && !take; j++)
                for (size_t k = j + 1; k < obs.size() && !take; k++) {
                    uint32_t a = obs[i], b = obs[j], cc = obs[k];
                    take = addStateL(ut, a, b, cc, x) ||
                           (ut->asymmetric && (addStateL(ut, b, a, cc, x) || addStateL(ut, cc, a, b, x)));
                }
        if (take)
            added |= uint64_t{1} << x;
    }
    if (std::popcount(observed | added) > 64) {
        char number[16];
        std::snprintf(number, sizeof number, "%u", c + 1);
        const char *label = getCharLabel(d, c);
        if (!label || std::strcmp(label, "-") == 0)
            label = number;
        qel_errorMsg(438, "Addition of potentially assignable states for stepmatrix character %s causes limit of "
                          "%d states to be exceeded.", label, 64);
        return 1;
    }
    *out = observed | added;
    return 0;
}

// Shortest-path closure: a change through intermediate states is never
// dearer than their sum, so a node of degree two can never lower a length.
void closeCosts(int64_t *t, uint32_t n)
{
    for (uint32_t k = 0; k < n; k++)
        for (uint32_t i = 0; i < n; i++) {
            if (t[i * n + k] >= kStmImpossible)
                continue;
            for (uint32_t j = 0; j < n; j++)
                t[i * n + j] = std::min(t[i * n + j], sat(t[i * n + k] + t[k * n + j]));
        }
}

// Least cost of a tree rooted at each state v that reaches every state of
// `terms` (Dreyfus-Wagner over the closed table); out[v].
void steinerFromEach(const int64_t *cost, uint32_t n, const std::vector<uint32_t> &terms, std::vector<int64_t> &out)
{
    const auto k = static_cast<uint32_t>(terms.size());
    const uint32_t full = (1u << k) - 1;
    std::vector<int64_t> D(static_cast<size_t>(full + 1) * n, 0), F(n);
    for (uint32_t mask = 1; mask <= full; mask++) {
        std::fill(F.begin(), F.end(), kStmImpossible);
        const uint32_t low = mask & (~mask + 1);
        for (uint32_t sub = (mask - 1) & mask; sub; sub = (sub - 1) & mask) {
            if (!(sub & low))
                continue;
            const int64_t *A = &D[static_cast<size_t>(sub) * n], *B = &D[static_cast<size_t>(mask ^ sub) * n];
            for (uint32_t u = 0; u < n; u++)
                F[u] = std::min(F[u], sat(A[u] + B[u]));
        }
        for (uint32_t t = 0; t < k; t++)
            if ((mask >> t) & 1)
                F[terms[t]] = std::min(F[terms[t]], D[static_cast<size_t>(mask ^ (1u << t)) * n + terms[t]]);
        int64_t *row = &D[static_cast<size_t>(mask) * n];
        for (uint32_t v = 0; v < n; v++) {
            int64_t best = kStmImpossible;
            for (uint32_t u = 0; u < n; u++)
                if (cost[v * n + u] < kStmImpossible)
                    best = std::min(best, sat(cost[v * n + u] + F[u]));
            row[v] = best;
        }
    }
    out.assign(D.begin() + static_cast<std::ptrdiff_t>(full) * n, D.begin() + static_cast<std::ptrdiff_t>(full + 1) * n);
}

std::vector<uint32_t> bitList(uint64_t b)
{
    std::vector<uint32_t> v;
    for (; b; b &= b - 1)
        v.push_back(static_cast<uint32_t>(std::countr_zero(b)));
    return v;
}

const int64_t *costsOf(const PackedData *pd, const StmChar &sc) { return pd->stmCosts.data() + sc.cost; }

// A node array: the ancestor tag, the base (the length taken out of the
// vectors while they were built, a double), then the characters.
constexpr uint32_t kStmHeader = 2;
constexpr uint32_t kVecRoom = kStmVecRoom;
int64_t *vecOf(const ParsNodeSets *r, const StmChar &sc) { return r->stm + kStmHeader + sc.vec; }

// A block's entries in a node array of 64-bit words.
using Entry16 = int16_t __attribute__((may_alias));
using Entry32 = int32_t __attribute__((may_alias));
Entry16 *entriesOf(const ParsNodeSets *r, const StmBlock &b) { return reinterpret_cast<Entry16 *>(r->stm + b.vec); }
Entry32 *entries32Of(const ParsNodeSets *r, const StmBlock &b)
{
    return reinterpret_cast<Entry32 *>(r->stm + b.vec);
}

// An entry of a block in the class's units, and back.
int64_t unitsOf(int32_t x, bool wide)
{
    return x == (wide ? kCost32Impossible : kCost16Impossible) ? kStmImpossible : x;
}
int32_t entryOf(int64_t x, bool wide)
{
    return x >= kStmImpossible ? (wide ? kCost32Impossible : kCost16Impossible) : static_cast<int32_t>(x);
}

// One character's entries in 64-bit units (kStmImpossible when impossible)
// and its zero mask at V[n], wherever the character is held.
void loadVec(const PackedData *pd, const ParsNodeSets *r, const StmChar &sc, int64_t *V)
{
    if (sc.block < 0) {
        std::copy_n(vecOf(r, sc), sc.n + 1, V);
        return;
    }
    const StmBlock &b = pd->stmBlocks[static_cast<size_t>(sc.block)];
    uint64_t zeros = 0;
    for (uint32_t s = 0; s < sc.n; s++) {
        const size_t at = s * kStmBlockWidth + sc.lane;
        V[s] = unitsOf(b.wide ? entries32Of(r, b)[at] : entriesOf(r, b)[at], b.wide);
        zeros |= static_cast<uint64_t>(V[s] == 0) << s;
    }
    V[sc.n] = static_cast<int64_t>(zeros);
}

// Stores what loadVec reads (a block keeps no zero mask: it follows from
// the entries, as every rule writes it).
void storeVec(const PackedData *pd, ParsNodeSets *r, const StmChar &sc, const int64_t *V)
{
    if (sc.block < 0) {
        std::copy_n(V, sc.n + 1, vecOf(r, sc));
        return;
    }
    const StmBlock &b = pd->stmBlocks[static_cast<size_t>(sc.block)];
    for (uint32_t s = 0; s < sc.n; s++) {
        const size_t at = s * kStmBlockWidth + sc.lane;
        if (b.wide)
            entries32Of(r, b)[at] = entryOf(V[s], true);
        else
            entriesOf(r, b)[at] = static_cast<int16_t>(entryOf(V[s], false));
    }
}

bool tagOf(const ParsNodeSets *r) { return r->stm[0] != 0; }
double baseOf(const ParsNodeSets *r)
{
    double b;
    std::memcpy(&b, r->stm + 1, sizeof b);
    return b;
}
void setBase(ParsNodeSets *r, double b) { std::memcpy(r->stm + 1, &b, sizeof b); }

// Least cost of reaching record X from a node in state s: X below the node
// (tag 0, change s -> t) or above it (tag 1, change t -> s).
inline int64_t half(const int64_t *cost, uint32_t n, const int64_t *X, bool above, uint32_t s)
{
    int64_t best = X[s];
    for (uint32_t t = 0; t < n; t++) {
        const int64_t x = X[t];
        if (x >= best)
            continue;
        const int64_t c = above ? cost[t * n + s] : cost[s * n + t];
        if (c < kStmImpossible)
            best = std::min(best, x + c);
    }
    return best;
}

// Adds m units of character sc to the running length and the counts;
// false when the length overflowed (and *length is then 1e37).
bool addUnits(const DataInfo *d, const StmChar &sc, int64_t m, bool perChar, double *length)
{
    PackedData *pd = packedData(d);
    if (m >= kStmImpossible) {
        *length = kNoScore;
        return false;
    }
    if (m == 0)
        return true;
    const double len = stmUnitsToLength(sc, m);
    if (perChar) {
        if (sc.unit != 1.0 || pd->steps[sc.c] < 0) {
            pd->steps[sc.c] = kRealCountUsed;
            pd->realSteps[sc.c] += len;
        } else if (pd->steps[sc.c] + len < 0.0) {
            // A polymorphic terminal met in a state that costs it less than
            // its constant inside may net a join's Dollo length below zero
            // before the rest of the tree adds up; a negative count would
            // read as the marker below, so the count moves to the reals.
            pd->realSteps[sc.c] = pd->steps[sc.c] + len;
            pd->steps[sc.c] = kRealCountUsed;
        } else {
            pd->steps[sc.c] += static_cast<int32_t>(len);
            if (pd->steps[sc.c] >= kCharLengthLimit) {
                *length = kNoScore;
                return false;
            }
        }
    } else if (sc.unit == 1.0 && len >= kCharLengthLimit) {
        *length = kNoScore;
        return false;
    }
    *length += len * pd->slots[sc.c].weight;
    return true;
}

}  // namespace

bool directedCharsIncluded(const DataInfo *d)
{
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c))
            continue;
        const uint32_t t = d->status[c] & kCharTypeMask;
        const UserType *ut = userTypeOf(d, c);
        if (t == kCharIrreversible || t == kCharDollo || (ut && ut->asymmetric))
            return true;
    }
    return false;
}

int checkDirectedRooting(const DataInfo *d, bool rooted)
{
    if (rooted || !directedCharsIncluded(d))
        return 0;
    return qel_errorMsg(701, "Trees were saved as unrooted but some characters are now directed.\tEither root the "
                             "trees before issuing this command, or change character-type assignments so that all "
                             "characters are undirected.");
}

bool isStmType(uint32_t status)
{
    const uint32_t t = status & kCharTypeMask;
    return t == kCharUserType || t == kCharDollo || t == kCharIrreversible;
}

double stmUnitsToLength(const StmChar &sc, int64_t units) { return unitsToLength(sc.dollo, sc.unit, units); }

const StmChar *stmCharOf(const DataInfo *d, uint32_t c)
{
    const PackedData *pd = packedData(d);
    if (!pd || c >= pd->stmIndex.size() || pd->stmIndex[c] < 0)
        return nullptr;
    return &pd->stmAll[static_cast<size_t>(pd->stmIndex[c])];
}

int64_t stmChangeUnits(const DataInfo *d, uint32_t c, uint32_t from, uint32_t to)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc)
        return kStmImpossible;
    const int a = stmIndexOfRaw(d, *sc, from), b = stmIndexOfRaw(d, *sc, to);
    if (a < 0 || b < 0)
        return a == b && from == to ? 0 : kStmImpossible;
    return costsOf(packedData(d), *sc)[a * sc->n + b];
}

double stmChangeCost(const DataInfo *d, uint32_t c, uint32_t from, uint32_t to)
{
    const StmChar *sc = stmCharOf(d, c);
    const int64_t u = stmChangeUnits(d, c, from, to);
    return !sc || u >= kStmImpossible ? kNoScore : stmUnitsToLength(*sc, u);
}

int stmIndexOfRaw(const DataInfo *d, const StmChar &sc, uint32_t raw)
{
    uint32_t state = raw;
    if (const UserType *ut = userTypeOf(d, sc.c)) {
        const uint64_t b = mapStateBits(d, uint64_t{1} << raw, d->parsSymbols, ut->symbols, nullptr, nullptr);
        if (!b)
            return -1;
        state = static_cast<uint32_t>(std::countr_zero(b));
    }
    if (sc.pairs) {
        return pairSingles(sc, state < 64 ? uint64_t{1} << state : 0).lowest();
    }
    for (uint32_t i = 0; i < sc.n; i++)
        if (sc.state[i] == state)
            return static_cast<int>(i);
    return -1;
}

uint64_t stmStateSet(const DataInfo *d, const ParsNodeSets *rec, uint32_t c)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc || !rec || !rec->stm)
        return 0;
    int64_t V[kVecRoom];
    loadVec(packedData(d), rec, *sc, V);
    return stmRawStates(d, *sc, zerosOf(*sc, V));
}

uint64_t stmRawStates(const DataInfo *d, const StmChar &sc, const StmIndexSet &indices)
{
    const UserType *ut = userTypeOf(d, sc.c);
    uint64_t out = 0;
    indices.forEach([&](uint32_t i) {
        if (i >= sc.n)
            return;
        if (!sc.pairs) {
            out |= uint64_t{1} << sc.state[i];
            return;
        }
        // A node derived both ways shows both derived states.
        const uint32_t u = pairUpper(sc, i), l = pairLower(sc, i);
        if (u != sc.turned || l == sc.turned)
            out |= uint64_t{1} << sc.state[u];
        if (l != sc.turned)
            out |= uint64_t{1} << sc.state[l];
    });
    return ut ? mapStateBits(d, out, ut->symbols, d->parsSymbols, nullptr, nullptr) : out;
}

uint64_t stmOpenDolloAncestor(const DataInfo *d, uint32_t c)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc || !sc->dollo || sc->pairs)
        return 0;
    const uint64_t b = indexWord(*sc, sourceBits(d, -1, c, nullptr));
    return std::popcount(b) == 1 ? 0 : stmRawStates(d, *sc, StmIndexSet::ofWord(b ? b : allIndices(sc->n)));
}

bool stmHoldsPairs(const DataInfo *d, uint32_t c)
{
    const StmChar *sc = stmCharOf(d, c);
    return sc && sc->pairs;
}

StmIndexSet stmCellIndices(const DataInfo *d, uint32_t c, int32_t taxon)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc)
        return {};
    const uint64_t source = sourceBits(d, taxon, c, userTypeOf(d, c));
    // A polymorphic cell shows its states one by one (see pairSingles).
    const bool poly = taxon >= 0 && (source & (source - 1)) && isPolymorphicMST(taxon, c, d);
    const StmIndexSet b = sc->pairs && !poly ? pairRange(*sc, source) : indexBits(*sc, source);
    return b.any() ? b : StmIndexSet::below(sc->n);
}

StmIndexSet stmRecordIndices(const DataInfo *d, const ParsNodeSets *rec, uint32_t c)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc || !rec || !rec->stm)
        return {};
    int64_t V[kVecRoom];
    loadVec(packedData(d), rec, *sc, V);
    return zerosOf(*sc, V);
}

int64_t stmIndexChangeUnits(const DataInfo *d, uint32_t c, uint32_t from, uint32_t to)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc || from >= sc->n || to >= sc->n)
        return kStmImpossible;
    return costsOf(packedData(d), *sc)[from * sc->n + to];
}

double stmIndexChangeCost(const DataInfo *d, uint32_t c, uint32_t from, uint32_t to)
{
    const StmChar *sc = stmCharOf(d, c);
    const int64_t u = stmIndexChangeUnits(d, c, from, to);
    return !sc || u >= kStmImpossible ? kNoScore : stmUnitsToLength(*sc, u);
}

namespace {

std::vector<uint32_t> indexList(const StmIndexSet &b)
{
    std::vector<uint32_t> out;
    b.forEach([&](uint32_t i) { out.push_back(i); });
    return out;
}

// For every index v, the least cost of a tree from v that holds every index
// of `cell` (a polymorphic cell's states). The count of states the tree must
// hold at `count`.
void polyReach(const int64_t *cost, const StmChar &sc, const StmIndexSet &cell, std::vector<int64_t> &out,
               size_t *count)
{
    const std::vector<uint32_t> terms = indexList(cell);
    *count = terms.size();
    if (*count <= kMaxSteinerTerminals)
        steinerFromEach(cost, sc.n, terms, out);
}

// The states of a polymorphic terminal's cell (as indices) and, for every
// index v, the least cost of a tree from v that holds them all; false when
// the cell holds fewer than two states or too many for the exact tree.
bool polyTipReach(const DataInfo *d, const StmChar &sc, int32_t taxon, std::vector<uint32_t> &terms,
                  std::vector<int64_t> &reach)
{
    const uint64_t source = sourceBits(d, taxon, sc.c, userTypeOf(d, sc.c));
    terms = indexList(indexBits(sc, source));
    size_t count = 0;
    polyReach(costsOf(packedData(d), sc), sc, sc.pairs ? pairPolyCell(sc, source) : indexBits(sc, source), reach,
              &count);
    return count >= 2 && count <= kMaxSteinerTerminals;
}
}  // namespace

bool stmPolyTipSteps(const DataInfo *d, uint32_t c, int32_t taxon, const StmIndexSet &from, double *edge,
                     double *within, StmIndexSet *entry)
{
    const StmChar *sc = stmCharOf(d, c);
    std::vector<uint32_t> terms;
    std::vector<int64_t> reach;
    if (!sc || !polyTipReach(d, *sc, taxon, terms, reach))
        return false;
    int64_t best = kStmImpossible;
    from.forEach([&](uint32_t i) {
        if (i < sc->n)
            best = std::min(best, reach[i]);
    });
    const int64_t least = *std::min_element(reach.begin(), reach.end());
    if (best >= kStmImpossible || least >= kStmImpossible)
        return false;
    *within = stmUnitsToLength(*sc, least);
    *edge = stmUnitsToLength(*sc, best) - *within;
    if (entry) {
        // The branch ends where the terminal's least tree begins, when some
        // such start lies on a cheapest path from the neighbour: the branch
        // then carries the edge's steps and the inside its least tree.
        const int64_t *cost = costsOf(packedData(d), *sc);
        StmIndexSet starts, own;
        for (uint32_t t : terms)
            own.set(t);
        from.forEach([&](uint32_t f) {
            if (f >= sc->n || reach[f] != best)
                return;
            for (uint32_t x = 0; x < sc->n; x++)
                if (reach[x] == least && cost[f * sc->n + x] < kStmImpossible &&
                    cost[f * sc->n + x] + least == best)
                    starts.set(x);
        });
        *entry = (starts & own).any() ? starts & own : starts;
    }
    return true;
}

double stmPolyTipLeastBeyond(const DataInfo *d, uint32_t c, int32_t taxon)
{
    const StmChar *sc = stmCharOf(d, c);
    std::vector<uint32_t> terms;
    std::vector<int64_t> reach;
    if (!sc || !polyTipReach(d, *sc, taxon, terms, reach))
        return 0.0;
    const int64_t *cost = costsOf(packedData(d), *sc);
    double least = kNoScore;
    for (uint32_t v = 0; v < sc->n; v++) {
        int64_t nearest = kStmImpossible;
        for (uint32_t s : terms)
            nearest = std::min(nearest, cost[v * sc->n + s]);
        if (reach[v] < kStmImpossible && nearest < kStmImpossible)
            least = std::min(least, stmUnitsToLength(*sc, reach[v]) - stmUnitsToLength(*sc, nearest));
    }
    return least == kNoScore ? 0.0 : std::max(0.0, least);
}

uint64_t stmIndexRawStates(const DataInfo *d, uint32_t c, const StmIndexSet &indices)
{
    const StmChar *sc = stmCharOf(d, c);
    return sc ? stmRawStates(d, *sc, indices) : 0;
}

void stmCharVector(const DataInfo *d, const ParsNodeSets *rec, const StmChar &sc, int64_t *out)
{
    loadVec(packedData(d), rec, sc, out);
}

void setStmAncestorTag(ParsNodeSets *rec, bool holdsAncestor)
{
    if (rec && rec->stm)
        rec->stm[0] = holdsAncestor ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Preparation

namespace {

// The entry width of a block that may hold a character (16 or 32 bits), 0
// when none may: whole costs, few states, and room to spare. Every genuine
// entry is the cost of some assignment of states to part of the tree (at
// most 2 (ntax + 1) edges, each at most the dearest possible change, plus a
// polymorphic terminal's own tree of at most n such changes at each of
// ntax + 1 terminals); a join adds two of them and a change, so a quarter of
// the range below the impossible value leaves every sum clear of it.
uint32_t blockWidthFor(const PackedData *pd, const StmChar &sc, uint32_t ntax)
{
    if (sc.dollo || sc.unit != 1.0 || sc.n < 2 || sc.n > kStmBlockMaxStates)
        return 0;
    const int64_t *t = costsOf(pd, sc);
    int64_t dearest = 0;
    for (uint32_t k = 0; k < sc.n * sc.n; k++)
        if (t[k] < kStmImpossible)
            dearest = std::max(dearest, t[k]);
    const int64_t worst = dearest * (int64_t{ntax} + 1) * (int64_t{sc.n} + 2);
    return worst < kCost16Impossible / 4 ? 16 : worst < kCost32Impossible / 4 ? 32 : 0;
}

template <typename Entry>
void appendTable(const std::vector<int64_t> &key, std::vector<Entry> &table, std::vector<Entry> &transposed)
{
    constexpr Entry imp = sizeof(Entry) == 2 ? kCost16Impossible : kCost32Impossible;
    const auto n = static_cast<uint32_t>(key[0]);
    for (uint32_t a = 0; a < n * n; a++) {
        const int64_t x = key[1 + a], xT = key[1 + (a % n) * n + a / n];
        table.push_back(x >= kStmImpossible ? imp : static_cast<Entry>(x));
        transposed.push_back(xT >= kStmImpossible ? imp : static_cast<Entry>(xT));
    }
}

// Places the included characters in the node arrays: those that fit a block
// grouped by cost table, 16 to a block, then the rest one by one (n entries
// and a zero mask each). stmChars and stmLanes follow the same order.
void layoutStmChars(PackedData *pd, const std::vector<int32_t> &included, uint32_t ntax)
{
    pd->stmChars.clear();
    pd->stmLanes.clear();
    pd->stmBlocks.clear();
    pd->stmCosts16.clear();
    pd->stmCosts16T.clear();
    pd->stmCosts32.clear();
    pd->stmCosts32T.clear();
    // Key: whether the bit path also scores them, the width, the state
    // count, the table. Characters the bit path scores get blocks of their
    // own, after all others, so that setting them aside (DirBitsAside) keeps
    // the other blocks and their lanes where they are.
    std::map<std::vector<int64_t>, std::vector<int32_t>> groups;
    std::vector<int32_t> rest;
    for (int32_t k : included) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        const uint32_t width = blockWidthFor(pd, sc, ntax);
        if (!width) {
            rest.push_back(k);
            continue;
        }
        const int64_t *t = costsOf(pd, sc);
        std::vector<int64_t> key{dirBitsRoutes(sc) ? 1 : 0, width, sc.n};
        key.insert(key.end(), t, t + sc.n * sc.n);
        groups[key].push_back(k);
    }
    auto addLane = [pd](int32_t k) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        pd->stmChars.push_back(k);
        pd->stmLanes.push_back(StmLane{sc.vec, sc.cost, sc.n, sc.c, sc.unit, 1.0, sc.dollo, sc.grid});
    };
    pd->stmStride = kStmHeader;
    for (const auto &[key, chars] : groups) {
        const bool wide = key[1] == 32;
        const auto n = static_cast<uint32_t>(key[2]);
        const auto cost = static_cast<uint32_t>(wide ? pd->stmCosts32.size() : pd->stmCosts16.size());
        std::vector<int64_t> table{key[2]};
        table.insert(table.end(), key.begin() + 3, key.end());
        if (wide)
            appendTable(table, pd->stmCosts32, pd->stmCosts32T);
        else
            appendTable(table, pd->stmCosts16, pd->stmCosts16T);
        for (size_t first = 0; first < chars.size(); first += kStmBlockWidth) {
            StmBlock b{};
            b.vec = pd->stmStride;
            b.cost = cost;
            b.wide = wide;
            b.n = n;
            b.count = static_cast<uint32_t>(std::min<size_t>(kStmBlockWidth, chars.size() - first));
            b.lane0 = static_cast<uint32_t>(pd->stmLanes.size());
            pd->stmStride += n * kStmBlockWidth * (wide ? 4 : 2) / sizeof(int64_t);
            for (uint32_t i = 0; i < b.count; i++) {
                StmChar &sc = pd->stmAll[static_cast<size_t>(chars[first + i])];
                sc.block = static_cast<int32_t>(pd->stmBlocks.size());
                sc.lane = i;
                addLane(chars[first + i]);
            }
            pd->stmBlocks.push_back(b);
        }
    }
    pd->stmBlockLanes = static_cast<uint32_t>(pd->stmLanes.size());
    for (int32_t k : rest) {
        StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        sc.vec = pd->stmStride - kStmHeader;
        pd->stmStride += sc.n + 1;
        addLane(k);
    }
}

}  // namespace

namespace {

// Every pair of series states of character sc, upper from the ancestor up
// and for each the lower from the ancestor down (see StmChar::pairs).
void listPairs(StmChar &sc)
{
    const uint32_t a = sc.turned;
    for (uint32_t u = a; u < sc.series; u++)
        for (uint32_t l = a + 1; l-- > 0;) {
            sc.pairUp.push_back(static_cast<uint8_t>(u));
            sc.pairDown.push_back(static_cast<uint8_t>(l));
        }
    sc.n = static_cast<uint32_t>(sc.pairUp.size());
}

// The grids of pair character sc (table t), or false when its indices or
// its table do not fall into them (see StmPairGrid).
bool makePairGrid(const StmChar &sc, const int64_t *t, StmPairGrid &g)
{
    const uint32_t a = sc.turned, n = sc.n;
    const uint32_t upSteps = sc.series - a - 1;
    g.rowNext.assign(upSteps, -1);
    g.rowBack.assign(upSteps, -1);
    g.columnNext.assign(a, -1);
    g.columnBack.assign(a, -1);
    // The layout listPairs writes.
    const uint32_t columns = a + 1, rows = n / columns;
    if (n != rows * columns || rows != sc.series - a)
        return false;
    for (uint32_t r = 0; r < rows; r++)
        for (uint32_t k = 0; k < columns; k++)
            if (sc.pairUp[r * columns + k] != a + r || sc.pairDown[r * columns + k] != a - k)
                return false;
    g.rows = rows;
    g.columns = columns;
    // The steps, read off the table, each the same wherever it is taken.
    auto take = [](int64_t &at, int64_t x) {
        if (x >= kStmImpossible || (at >= 0 && at != x))
            return false;
        at = x;
        return true;
    };
    for (uint32_t r = 0; r < rows; r++)
        for (uint32_t c = 0; c < columns; c++) {
            const uint32_t i = r * columns + c;
            if (r + 1 < rows &&
                !(take(g.rowNext[r], t[i * n + i + columns]) && take(g.rowBack[r], t[(i + columns) * n + i])))
                return false;
            if (c + 1 < columns &&
                !(take(g.columnNext[c], t[i * n + i + 1]) && take(g.columnBack[c], t[(i + 1) * n + i])))
                return false;
        }
    // Every change is the sum of the steps along both sides.
    auto walk = [](const std::vector<int64_t> &next, const std::vector<int64_t> &back, uint32_t from, uint32_t to) {
        int64_t x = 0;
        for (uint32_t p = from; p < to; p++)
            x += next[p];
        for (uint32_t p = to; p < from; p++)
            x += back[p];
        return x;
    };
    for (uint32_t i = 0; i < n; i++)
        for (uint32_t j = 0; j < n; j++) {
            const int64_t want = walk(g.rowNext, g.rowBack, sc.pairUp[i] - a, sc.pairUp[j] - a) +
                                 walk(g.columnNext, g.columnBack, a - sc.pairDown[i], a - sc.pairDown[j]);
            if (t[i * n + j] != want)
                return false;
        }
    return true;
}

}  // namespace

int packStmPrelim(DataInfo *d)
{
    PackedData *pd = packedData(d);
    const auto ntax = static_cast<uint32_t>(std::max(d->nActive, 0));
    pd->stmAll.clear();
    pd->stmChars.clear();
    pd->stmLanes.clear();
    pd->stmCosts.clear();
    pd->stmCostsT.clear();
    pd->stmGrids.clear();
    pd->stmIndex.assign(d->nchar, -1);
    pd->stmStride = kStmHeader;
    pd->stmDollo = false;
    std::vector<int32_t> taxa{-1}, included;
    // Trees then hang from the ancestor, whose cell a symmetric stepmatrix
    // character must reach like a terminal's.
    const bool ancestorCounts = directedCharsIncluded(d) || !usingStdAncestor();
    for (uint32_t t = 0; t < ntax; t++)
        taxa.push_back(static_cast<int32_t>(t));
    for (uint32_t c = 0; c < d->nchar; c++) {
        uint32_t &status = d->status[c];
        if ((status & kCharEliminated) || !isStmType(status))
            continue;
        const UserType *ut = userTypeOf(d, c);
        if ((status & kCharTypeMask) == kCharUserType && (!ut || ut->tree))
            continue;
        status |= kCharPacked;
        uint64_t seen = 0;
        bool polyTips = false;
        for (uint32_t t = 0; t < ntax; t++) {
            const uint64_t b = sourceBits(d, static_cast<int32_t>(t), c, ut);
            const bool poly = (b & (b - 1)) && isPolymorphicMST(static_cast<int32_t>(t), c, d);
            seen |= b;
            polyTips = polyTips || poly;
        }
        const uint64_t anc = sourceBits(d, -1, c, ut);
        StmChar sc;
        sc.c = c;
        sc.polyTips = polyTips;
        uint64_t states;
        double scale = 1.0;
        if (ut) {
            if (userTypeStates(d, c, ut, seen | anc, &states) != 0)
                return 1;
            sc.userType = true;
            sc.directed = ut->asymmetric != 0;
            if (ut->realValued) {
                scale = std::pow(10.0, std::min<uint32_t>(ut->decimals, 9));
                sc.unit = 1.0 / scale;
            }
        } else {
            uint64_t all = seen | anc;
            const uint32_t lo = all ? std::countr_zero(all) : 0, hi = all ? 63 - std::countl_zero(all) : 0;
            states = all ? allIndices(hi + 1) & ~allIndices(lo) : 0;
            sc.directed = true;
            sc.dollo = (status & kCharTypeMask) == kCharDollo;
        }
        const auto span = static_cast<uint32_t>(std::popcount(states));
        if (span == 0)
            continue;
        sc.n = span;
        uint32_t i = 0;
        for (uint64_t b = states; b; b &= b - 1)
            sc.state[i++] = static_cast<uint8_t>(std::countr_zero(b));
        sc.series = static_cast<uint8_t>(sc.n);
        sc.turned = static_cast<uint8_t>(stmTurnedSteps(status, sc, ut ? 0 : indexWord(sc, anc)));
        sc.down = sc.n > 1 && sc.turned == sc.n - 1;
        // Dollo's rule holds for each step on its own: with the ancestor
        // inside the series, a node may be derived above it and below it at
        // once (two gains, not a third to get round the clash), so its
        // states are pairs. A series of 63 states has at most 32 x 32.
        const bool middle = sc.turned > 0 && sc.turned + 1u < sc.n;
        if (middle && sc.dollo && !ut && std::popcount(indexWord(sc, anc)) == 1 &&
            (sc.n - sc.turned) * (sc.turned + 1u) <= kStmMaxIndices) {
            sc.pairs = true;
            listPairs(sc);
        }
        sc.cost = static_cast<uint32_t>(pd->stmCosts.size());
        pd->stmCosts.resize(pd->stmCosts.size() + static_cast<size_t>(sc.n) * sc.n);
        int64_t *t = pd->stmCosts.data() + sc.cost;
        // Step j of the series lies between states j - 1 and j. Up a step is
        // a gain unless the step is turned round; down a step is a gain only
        // where it is.
        auto seriesCost = [&](uint32_t a, uint32_t b) -> int64_t {
            const uint32_t lo = std::min(a, b), hi = std::max(a, b);
            const uint32_t span = sc.state[hi] - sc.state[lo];
            const uint32_t turned = lo < sc.turned ? sc.state[std::min<uint32_t>(hi, sc.turned)] - sc.state[lo] : 0;
            const int64_t gains = a < b ? span - turned : turned;
            const int64_t losses = static_cast<int64_t>(span) - gains;
            if (sc.dollo)
                return gains * kDolloGain + losses;
            return losses ? kStmImpossible : gains;
        };
        for (uint32_t a = 0; a < sc.n; a++)
            for (uint32_t b = 0; b < sc.n; b++) {
                int64_t &x = t[a * sc.n + b];
                if (ut)
                    x = a == b ? 0 : userCost(ut, sc.state[a], sc.state[b], scale);
                else if (sc.pairs)
                    x = seriesCost(pairUpper(sc, a), pairUpper(sc, b)) + seriesCost(pairLower(sc, a), pairLower(sc, b));
                else
                    x = seriesCost(a, b);
            }
        // A table its pair grids give is closed already (every change the
        // shortest path of series steps); closing one of up to a thousand
        // pairs a side would cost the cube of that.
        StmPairGrid g;
        bool gridded = sc.pairs && sc.n > 4 && makePairGrid(sc, t, g);
        if (!gridded) {
            closeCosts(t, sc.n);
            g = StmPairGrid{};
            gridded = sc.pairs && sc.n > 4 && makePairGrid(sc, t, g);
        }
        if (gridded) {
            sc.grid = static_cast<int32_t>(pd->stmGrids.size());
            pd->stmGrids.push_back(std::move(g));
        }
        pd->nStates[c] = static_cast<uint8_t>(span);
        if (span > 2)
            d->cls.moreThanTwoStates = 1;
        pd->stmIndex[c] = static_cast<int32_t>(pd->stmAll.size());
        pd->stmAll.push_back(sc);
        pd->stmDollo = pd->stmDollo || (sc.dollo && isCharIncluded(d, c));
        StmChar &kept = pd->stmAll.back();
        pd->minSteps[c] = stmMinSteps(d, kept, taxa, ancestorCounts);
        if (isCharIncluded(d, c))
            included.push_back(pd->stmIndex[c]);
    }
    // The kernels read a row per state met: the table as it is for a record
    // above the node (a change from the record's state), transposed for one
    // below it.
    pd->stmCostsT.resize(pd->stmCosts.size());
    for (const StmChar &sc : pd->stmAll)
        for (uint32_t a = 0; a < sc.n; a++)
            for (uint32_t b = 0; b < sc.n; b++)
                pd->stmCostsT[sc.cost + b * sc.n + a] = pd->stmCosts[sc.cost + a * sc.n + b];
    layoutStmChars(pd, included, ntax);
    setStmLaneWeights(pd, d->weights);
    return 0;
}

void setStmLaneWeights(PackedData *pd, const double *weights)
{
    for (StmLane &lane : pd->stmLanes)
        lane.weight = weights[lane.c];
    for (StmBlock &b : pd->stmBlocks) {
        std::fill_n(b.weight, kStmBlockWidth, int16_t{0});
        b.intWeights = true;
        for (uint32_t i = 0; i < b.count; i++) {
            const double w = pd->stmLanes[b.lane0 + i].weight;
            // Whole weights make the block's length a whole sum, the same in
            // any order; others take the per-character path.
            if (!(w >= 0 && w <= 32767 && w == std::floor(w))) {
                b.intWeights = false;
                continue;
            }
            b.weight[i] = static_cast<int16_t>(w);
        }
    }
}

namespace {

// What the cells of a user-typed character over a set of taxa ask of every
// tree (Dollo and irreversible characters are bounded as series instead).
struct StmCellSummary {
    uint64_t singles = 0;     // states of single-state cells
    uint64_t polyStates = 0;  // states of the polymorphic terminals
    uint64_t root = 0;
    bool haveRoot = false;    // the ancestor's states bind the root
    std::vector<uint64_t> listed;  // distinct multistate cells
};

// With ancestorAsCell the ancestor's cell (taxon -1) counts like a
// terminal's, as it does on a tree hung from it.
StmCellSummary summariseStmCells(const DataInfo *d, const StmChar &sc, std::span<const int32_t> taxa,
                                 bool ancestorAsCell)
{
    const UserType *ut = userTypeOf(d, sc.c);
    StmCellSummary s;
    for (int32_t t : taxa) {
        const uint64_t b = indexWord(sc, sourceBits(d, t, sc.c, ut));
        if (t < 0) {
            s.root = b;
            s.haveRoot = b != 0 && sc.directed;
            if (!ancestorAsCell)
                continue;
        }
        if (!b)
            continue;
        if (!(b & (b - 1))) {
            s.singles |= b;
            continue;
        }
        if (std::find(s.listed.begin(), s.listed.end(), b) == s.listed.end())
            s.listed.push_back(b);
        if (t >= 0 && isPolymorphicMST(t, sc.c, d))
            s.polyStates |= b;
    }
    return s;
}

// Prim's spanning tree over the states of `set` on a closed symmetric
// table, grown from its lowest state.
int64_t spanningUnits(const int64_t *cost, uint32_t n, uint64_t set)
{
    const std::vector<uint32_t> states = bitList(set);
    if (states.size() < 2)
        return 0;
    std::vector<int64_t> reach(states.size(), kStmImpossible);
    std::vector<uint8_t> in(states.size(), 0);
    int64_t total = 0;
    size_t last = 0;
    in[0] = 1;
    for (size_t added = 1; added < states.size(); added++) {
        size_t pick = 0;
        int64_t cheapest = kStmImpossible + 1;
        for (size_t k = 0; k < states.size(); k++) {
            if (in[k])
                continue;
            reach[k] = std::min(reach[k], cost[states[last] * n + states[k]]);
            if (reach[k] < cheapest) {
                cheapest = reach[k];
                pick = k;
            }
        }
        in[pick] = 1;
        last = pick;
        total = sat(total + cheapest);
    }
    return total;
}

// On a closed symmetric table the least tree holding `set` is the least
// spanning tree over `set` and some of the `optional` states. Supersets are
// tried lowest state first; with `prune` one whose own tree already costs
// more than the best found is not extended, and no more than `budget` trees
// are tried (states on a line keep the cost, so a wide table could ask for
// every subset): that keeps a wide table tractable but may miss states that
// only help together.
void supersetSpan(const int64_t *cost, uint32_t n, uint64_t set, uint64_t optional, bool prune, int64_t &best,
                  int64_t &budget)
{
    if (prune && --budget < 0)
        return;
    const int64_t own = spanningUnits(cost, n, set);
    if (prune && own > best)
        return;
    best = std::min(best, own);
    for (uint64_t o = optional; o; o &= o - 1)
        supersetSpan(cost, n, set | (o & (~o + 1)), o & (o - 1), prune, best, budget);
}

// Every subset of this many optional states is tried.
constexpr int kMaxFreeSupersetStates = 12;

// Least cost, in the character's units, of a tree holding every state of
// `required` (its root among `root` when haveRoot); kStmImpossible when no
// such tree exists, 0 when nothing is required. `exact` is cleared when the
// value is only a bound.
int64_t leastTreeUnits(const PackedData *pd, const StmChar &sc, uint64_t required, uint64_t root, bool haveRoot,
                       bool *exact = nullptr)
{
    if (exact)
        *exact = true;
    if (!required)
        return 0;
    const int64_t *cost = costsOf(pd, sc);
    const std::vector<uint32_t> terms = bitList(required);
    int64_t best = kStmImpossible;
    if (terms.size() <= kMaxSteinerTerminals) {
        std::vector<int64_t> from;
        steinerFromEach(cost, sc.n, terms, from);
        for (uint32_t v = 0; v < sc.n; v++)
            if ((!haveRoot || ((root >> v) & 1)) && from[v] < best)
                best = from[v];
        return best;
    }
    // Many states, each change as dear both ways: a spanning tree over the
    // states and the best of the others, all of them while they are few.
    if (!sc.directed && !haveRoot && sc.n <= 64) {
        const uint64_t all = sc.n == 64 ? ~uint64_t{0} : (uint64_t{1} << sc.n) - 1;
        const uint64_t optional = all & ~required;
        const bool prune = std::popcount(optional) > kMaxFreeSupersetStates;
        int64_t budget = int64_t{1} << kMaxFreeSupersetStates;
        supersetSpan(cost, sc.n, required, optional, prune, best, budget);
        if (exact)
            *exact = !prune;
        return best;
    }
    // A directed table with many states: the dearest single state reached
    // from its cheapest start bounds the minimum from below.
    if (exact)
        *exact = false;
    best = 0;
    for (uint32_t r : terms) {
        int64_t reach = kStmImpossible;
        for (uint32_t v = 0; v < sc.n; v++)
            if (v != r && (!haveRoot || ((root >> v) & 1)))
                reach = std::min(reach, cost[v * sc.n + r]);
        if (reach < kStmImpossible)
            best = std::max(best, reach);
    }
    return best;
}

}  // namespace

double stmMinSteps(const DataInfo *d, const StmChar &sc, std::span<const int32_t> taxa, bool ancestorCounts)
{
    // Dollo and irreversible characters take the minimum their length
    // bounds give, uncertain cells counted.
    if (!sc.userType) {
        double m1 = 0.0, m2 = 0.0;
        seriesMinSteps(d, sc.c, taxa, &m1, &m2);
        return m1;
    }
    // A change and its reverse may cost differently, so no star tree stands
    // for every tree: an asymmetric character is never uninformative.
    if (sc.directed)
        d->status[sc.c] &= ~kCharUninformative;
    const PackedData *pd = packedData(d);
    const int64_t *cost = costsOf(pd, sc);
    const UserType *ut = userTypeOf(d, sc.c);
    ancestorCounts = ancestorCounts && !sc.directed;
    const StmCellSummary cells = summariseStmCells(d, sc, taxa, ancestorCounts);
    if (!cells.singles)
        return 0.0;
    bool exact = true;
    const int64_t best = leastTreeUnits(pd, sc, cells.singles, cells.root, cells.haveRoot, &exact);
    if (best >= kStmImpossible)
        return 0.0;
    // Past the exact tree's reach the minimum is a bound: nothing says
    // whether the character tells trees apart, so it is kept as if it did.
    if (!sc.directed && std::popcount(cells.singles) > static_cast<int>(kMaxSteinerTerminals))
        d->status[sc.c] = (d->status[sc.c] | kCharInformativenessUnknown) & ~kCharUninformative;
    // The star test: when some centre state already gives the minimum every
    // tree does, the character cannot tell trees apart. A minimum that is
    // only bounded cannot show that, so such a character stays informative.
    if (!sc.directed) {
        for (uint32_t s = 0; s < sc.n; s++) {
            int64_t star = 0;
            for (int32_t t : taxa) {
                if (t < 0 && !ancestorCounts)
                    continue;
                const uint64_t b = indexWord(sc, sourceBits(d, t, sc.c, ut));
                if (!b)
                    continue;
                int64_t m = kStmImpossible;
                for (uint64_t w = b; w; w &= w - 1)
                    m = std::min(m, cost[s * sc.n + static_cast<uint32_t>(std::countr_zero(w))]);
                star = sat(star + m);
                if (star > best)
                    break;
            }
            if (star == best) {
                d->status[sc.c] = exact ? d->status[sc.c] | kCharUninformative : d->status[sc.c] & ~kCharUninformative;
                break;
            }
            if (s + 1 == sc.n)
                d->status[sc.c] &= ~kCharUninformative;
        }
    }
    return stmUnitsToLength(sc, best);
}

bool stmLengthBounds(const DataInfo *d, const StmChar &sc, std::span<const int32_t> taxa, double *m1, double *m2)
{
    *m1 = *m2 = 0.0;
    // A change and its reverse cost differently: the least length depends on
    // where the root lies, which no bound over the cells alone can tell.
    if (sc.userType && sc.directed)
        return false;
    // A symmetric stepmatrix has no direction, so the ancestor (when the set
    // holds it) is one more cell the tree must reach.
    const StmCellSummary cells = summariseStmCells(d, sc, taxa, !sc.directed);
    // A multistate cell of a stepmatrix of more than two states that meets
    // none of the observed single states needs states of its own, and which
    // of them is cheapest is not known without the tree.
    if (sc.userType && sc.n > 2)
        for (uint64_t x : cells.listed)
            if (!(x & cells.singles))
                return false;
    const PackedData *pd = packedData(d);
    bool exact = true;
    auto length = [&](uint64_t required) {
        bool known = true;
        const int64_t u = leastTreeUnits(pd, sc, required, cells.root, cells.haveRoot, &known);
        exact = exact && known;
        return u >= kStmImpossible ? 0.0 : stmUnitsToLength(sc, u);
    };
    *m1 = length(cells.singles);
    *m2 = (cells.polyStates & ~cells.singles) ? length(cells.singles | cells.polyStates) : *m1;
    // A minimum the search could only approach is no bound to measure fit by.
    if (!exact)
        *m1 = *m2 = 0.0;
    return exact;
}

int allocStmSets(DataInfo *d, uint32_t nodeCount)
{
    PackedData *pd = packedData(d);
    deallocStmSets(pd);
    const uint64_t sets = uint64_t{3} * nodeCount;
    if (pd->stmChars.empty()) {
        for (uint64_t k = 0; k < sets; k++)
            pd->nodeRecs[k].stm = nullptr;
        return 0;
    }
    pd->stmSets = static_cast<int64_t *>(allocArrayAligned(sizeof(int64_t), pd->stmStride * sets));
    if (!pd->stmSets)
        return 1;
    std::fill_n(pd->stmSets, pd->stmStride * sets, 0);
    for (uint64_t k = 0; k < sets; k++)
        pd->nodeRecs[k].stm = pd->stmSets + k * pd->stmStride;
    pd->stmScratch.assign(2 * static_cast<size_t>(pd->stmStride), 0);
    return 0;
}

void deallocStmSets(PackedData *pd)
{
    if (pd)
        pd->stmSets = static_cast<int64_t *>(deallocArrayAligned(pd->stmSets));
}

int writeStmCells(const DataInfo *d, int32_t taxon, uint32_t position)
{
    PackedData *pd = packedData(d);
    ParsNodeSets &rec = pd->nodeRecs[position];
    if (!rec.stm)
        return 0;
    rec.stm[0] = taxon < 0 ? 1 : 0;
    setBase(&rec, 0.0);
    for (int32_t k : pd->stmChars) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        int64_t V[kVecRoom];
        const UserType *ut = userTypeOf(d, sc.c);
        const uint64_t source = sourceBits(d, taxon, sc.c, ut);
        StmIndexSet b = indexBits(sc, source);
        if (taxon < 0 && sc.dollo && !sc.pairs && b.count() != 1) {
            openDolloAncestor(costsOf(pd, sc), sc, b.any() ? b.word() : allIndices(sc.n), V);
            storeVec(pd, &rec, sc, V);
            continue;
        }
        if (b.none()) {
            std::fill_n(V, sc.n, 0);
            V[sc.n] = zeroMask(V, sc.n);
            storeVec(pd, &rec, sc, V);
            continue;
        }
        const bool poly = b.count() > 1 && taxon >= 0 && sc.polyTips && isPolymorphicMST(taxon, sc.c, d);
        if (poly && sc.pairs)
            b = pairPolyCell(sc, source);
        if (!poly) {
            if (sc.pairs)
                b = pairRange(sc, source);
            for (uint32_t i = 0; i < sc.n; i++)
                V[i] = b.test(i) ? 0 : kStmImpossible;
            V[sc.n] = zeroMask(V, sc.n);
            storeVec(pd, &rec, sc, V);
            continue;
        }
        // Every state of a polymorphic terminal is present: its vector holds,
        // by the state the rest of the tree meets it in, the cheapest tree
        // over its states from there; the least of them is the within-terminal
        // length, counted once.
        std::vector<int64_t> from;
        size_t count = 0;
        polyReach(costsOf(pd, sc), sc, b, from, &count);
        if (count > kMaxSteinerTerminals) {
            from.assign(sc.n, 0);
            pd->unknownExtraLength = true;
            pd->extraLen[sc.c] = kNoScore;
        }
        int64_t m = *std::min_element(from.begin(), from.end());
        if (m >= kStmImpossible)
            return qel_errorMsg(0, "Character %u: the states of a polymorphic terminal cannot all be reached under "
                                   "its stepmatrix.", sc.c + 1);
        for (uint32_t i = 0; i < sc.n; i++)
            V[i] = from[i] >= kStmImpossible ? kStmImpossible : from[i] - m;
        V[sc.n] = zeroMask(V, sc.n);
        storeVec(pd, &rec, sc, V);
        if (pd->extraLen[sc.c] != kNoScore)
            pd->extraLen[sc.c] += stmUnitsToLength(sc, m);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Rules

namespace {

// Least cost of reaching record X (tag `above`) from a node in state s,
// for a state count known at compile time: every sum is formed (impossible
// terms stay at least kStmImpossible and cannot overflow: two of them are
// below 2^62) and clamped once, which the compiler unrolls.
template <uint32_t N, bool above>
inline int64_t halfFixed(const int64_t *cost, const int64_t *X, uint32_t s)
{
    int64_t best = X[s];
    for (uint32_t t = 0; t < N; t++)
        best = std::min(best, X[t] + (above ? cost[t * N + s] : cost[s * N + t]));
    return sat(best);
}

// Subtracts the least entry m (when possible) and writes the zero mask.
inline int64_t normalise(uint32_t n, int64_t *out, int64_t m)
{
    uint64_t zeros = 0;
    if (m < kStmImpossible)
        for (uint32_t s = 0; s < n; s++) {
            if (out[s] < kStmImpossible)
                out[s] -= m;
            zeros |= static_cast<uint64_t>(out[s] == 0) << (s & 63);
        }
    // The mask is a word: past 64 indices the entries say it (zerosOf).
    out[n] = n <= 64 ? static_cast<int64_t>(zeros) : 0;
    return m;
}

template <uint32_t N, bool ta, bool tb>
int64_t joinFixed(const int64_t *cost, const int64_t *A, const int64_t *B, int64_t *out)
{
    int64_t m = kStmImpossible;
    for (uint32_t s = 0; s < N; s++) {
        out[s] = sat(halfFixed<N, ta>(cost, A, s) + halfFixed<N, tb>(cost, B, s));
        m = std::min(m, out[s]);
    }
    return normalise(N, out, m);
}

// Two states (every binary Dollo or irreversible character), written out:
// the table's two changes kept in registers and no stores until the end,
// which the general form's aliasing between out and A, B prevents.
template <bool ta, bool tb>
inline int64_t joinTwo(const int64_t *cost, const int64_t *__restrict A, const int64_t *__restrict B,
                       int64_t *__restrict out)
{
    const int64_t up = cost[1], down = cost[2];  // 0 -> 1, 1 -> 0
    const int64_t a0 = sat(std::min(A[0], A[1] + (ta ? down : up)));
    const int64_t a1 = sat(std::min(A[1], A[0] + (ta ? up : down)));
    const int64_t b0 = sat(std::min(B[0], B[1] + (tb ? down : up)));
    const int64_t b1 = sat(std::min(B[1], B[0] + (tb ? up : down)));
    int64_t o0 = sat(a0 + b0), o1 = sat(a1 + b1);
    // Masks in place of tests: which entry is least follows the data, and a
    // branch on it would be mispredicted half the time. When m is impossible
    // neither entry is possible, so nothing is subtracted.
    const int64_t m = o1 ^ ((o0 ^ o1) & -static_cast<int64_t>(o0 < o1));
    o0 -= m & -static_cast<int64_t>(o0 < kStmImpossible);
    o1 -= m & -static_cast<int64_t>(o1 < kStmImpossible);
    out[0] = o0;
    out[1] = o1;
    out[2] = static_cast<int64_t>(o0 == 0) | static_cast<int64_t>(o1 == 0) << 1;
    return m;
}

template <uint32_t N, bool ta, bool tb>
int64_t spanFixed(const int64_t *cost, const int64_t *A, const int64_t *B)
{
    if (A[N] & B[N])
        return 0;
    int64_t m = kStmImpossible;
    for (uint32_t s = 0; s < N; s++)
        m = std::min(m, sat(halfFixed<N, ta>(cost, A, s) + halfFixed<N, tb>(cost, B, s)));
    return m;
}

int64_t joinGeneric(uint32_t n, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb,
                    int64_t *out)
{
    int64_t m = kStmImpossible;
    for (uint32_t s = 0; s < n; s++) {
        out[s] = sat(half(cost, n, A, ta, s) + half(cost, n, B, tb, s));
        m = std::min(m, out[s]);
    }
    return normalise(n, out, m);
}

bool zerosMeet(uint32_t n, const int64_t *A, const int64_t *B);

int64_t spanGeneric(uint32_t n, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb)
{
    if (zerosMeet(n, A, B))
        return 0;
    int64_t m = kStmImpossible;
    for (uint32_t s = 0; s < n; s++)
        m = std::min(m, sat(half(cost, n, A, ta, s) + half(cost, n, B, tb, s)));
    return m;
}

// The join and the span of one character, the state count chosen per
// character and the directions once per pass (template arguments: no test
// in the inner loops).
template <bool ta, bool tb>
inline int64_t joinOne(uint32_t n, const int64_t *cost, const int64_t *A, const int64_t *B, int64_t *out)
{
    switch (n) {
    case 2: return joinTwo<ta, tb>(cost, A, B, out);
    case 3: return joinFixed<3, ta, tb>(cost, A, B, out);
    case 4: return joinFixed<4, ta, tb>(cost, A, B, out);
    default: return joinGeneric(n, cost, A, ta, B, tb, out);
    }
}

template <bool ta, bool tb>
inline int64_t spanOne(uint32_t n, const int64_t *cost, const int64_t *A, const int64_t *B)
{
    switch (n) {
    case 2: return spanFixed<2, ta, tb>(cost, A, B);
    case 3: return spanFixed<3, ta, tb>(cost, A, B);
    case 4: return spanFixed<4, ta, tb>(cost, A, B);
    default: return spanGeneric(n, cost, A, ta, B, tb);
    }
}

// The least cost of reaching record X (tag `above`) from every index of a
// pair character held as grids: the changes are paths of series steps, so
// sweeping each line forth and back, rows then columns, finds the cheapest.
void gridHalf(const StmPairGrid &g, const int64_t *X, bool above, int64_t *Y)
{
    // Seen from the node's state s, a record above changes into s, one
    // below from s: the sweep towards higher indices adds the step taken
    // that way in the first case, the step back in the second.
    const std::vector<int64_t> &rowUp = above ? g.rowNext : g.rowBack, &rowDown = above ? g.rowBack : g.rowNext;
    const std::vector<int64_t> &colUp = above ? g.columnNext : g.columnBack,
                               &colDown = above ? g.columnBack : g.columnNext;
    const uint32_t columns = g.columns;
    std::copy_n(X, g.rows * columns, Y);
    // The rows' sweeps a whole row at a time, so that the columns run
    // side by side in contiguous entries.
    for (uint32_t r = 0; r + 1 < g.rows; r++) {
        const int64_t step = rowUp[r];
        const int64_t *from = Y + r * columns;
        int64_t *to = Y + (r + 1) * columns;
        for (uint32_t c = 0; c < columns; c++)
            to[c] = std::min(to[c], sat(from[c] + step));
    }
    for (uint32_t r = g.rows - 1; r-- > 0;) {
        const int64_t step = rowDown[r];
        const int64_t *from = Y + (r + 1) * columns;
        int64_t *to = Y + r * columns;
        for (uint32_t c = 0; c < columns; c++)
            to[c] = std::min(to[c], sat(from[c] + step));
    }
    // The columns' sweeps step by step over every row at once: the rows
    // do not wait on each other, where one row's sweep is a chain.
    for (uint32_t p = 0; p + 1 < columns; p++) {
        const int64_t step = colUp[p];
        for (int64_t *row = Y, *end = Y + g.rows * columns; row < end; row += columns)
            row[p + 1] = std::min(row[p + 1], sat(row[p] + step));
    }
    for (uint32_t p = columns - 1; p-- > 0;) {
        const int64_t step = colDown[p];
        for (int64_t *row = Y, *end = Y + g.rows * columns; row < end; row += columns)
            row[p] = std::min(row[p], sat(row[p + 1] + step));
    }
}

template <bool ta, bool tb>
int64_t gridJoin(uint32_t n, const StmPairGrid &g, const int64_t *A, const int64_t *B, int64_t *out)
{
    int64_t ha[kVecRoom], hb[kVecRoom];
    gridHalf(g, A, ta, ha);
    gridHalf(g, B, tb, hb);
    int64_t m = kStmImpossible;
    for (uint32_t s = 0; s < n; s++) {
        out[s] = sat(ha[s] + hb[s]);
        m = std::min(m, out[s]);
    }
    return normalise(n, out, m);
}

// Whether A and B are both 0 at some index (their zero masks meet): the span
// is then 0.
bool zerosMeet(uint32_t n, const int64_t *A, const int64_t *B)
{
    if (n <= 64)
        return A[n] & B[n];
    for (uint32_t s = 0; s < n; s++)
        if ((A[s] | B[s]) == 0)
            return true;
    return false;
}

template <bool ta, bool tb>
int64_t gridSpan(uint32_t n, const StmPairGrid &g, const int64_t *A, const int64_t *B)
{
    if (zerosMeet(n, A, B))
        return 0;
    int64_t ha[kVecRoom], hb[kVecRoom];
    gridHalf(g, A, ta, ha);
    gridHalf(g, B, tb, hb);
    int64_t m = kStmImpossible;
    for (uint32_t s = 0; s < n; s++)
        m = std::min(m, sat(ha[s] + hb[s]));
    return m;
}

// addUnits without the per-character counts, for the lanes of the passes.
inline bool addLaneUnits(const PackedData *, const StmLane &L, int64_t m, double *length)
{
    if (m >= kStmImpossible) {
        *length = kNoScore;
        return false;
    }
    const double len = unitsToLength(L.dollo, L.unit, m);
    if (L.unit == 1.0 && len >= kCharLengthLimit) {
        *length = kNoScore;
        return false;
    }
    *length += len * L.weight;
    return true;
}

const StmChar &charOfLane(const PackedData *pd, const StmLane &L)
{
    return pd->stmAll[static_cast<size_t>(pd->stmIndex[L.c])];
}

// One character's removed minimum m added to the pass's sums: base (the
// record's) and counted (the caller's length, when count). A possible length
// within the limit is added whatever it is (0 adds nothing): whether a
// character adds steps follows the data, which branches cannot predict. The
// rest take the checked path; false when the pass must stop.
inline bool joinLane(const DataInfo *d, const PackedData *pd, const StmLane &L, int64_t m, bool count, bool perChar,
                     double &base, double &counted)
{
    const double len = unitsToLength(L.dollo, L.unit, m);
    if (!perChar && m < kStmImpossible && !(L.unit == 1.0 && len >= kCharLengthLimit)) {
        const double weighted = len * L.weight;
        base += weighted;
        counted += weighted;
        return true;
    }
    if (m == 0)
        return true;
    if (!addLaneUnits(pd, L, m, &base))
        base = kNoScore;
    if (!count)
        return true;
    // A copy, so that the sum itself never has its address taken and stays
    // in a register.
    double slow = counted;
    const bool ok = perChar ? addUnits(d, charOfLane(pd, L), m, true, &slow) : addLaneUnits(pd, L, m, &slow);
    counted = slow;
    if (!ok)
        base = kNoScore;
    return ok;
}

// The span's counterpart: false when the length overflowed.
inline bool spanLane(const DataInfo *d, const PackedData *pd, const StmLane &L, int64_t m, bool perChar, double &len)
{
    const double steps = unitsToLength(L.dollo, L.unit, m);
    if (!perChar && m < kStmImpossible && !(L.unit == 1.0 && steps >= kCharLengthLimit)) {
        len += steps * L.weight;
        return true;
    }
    if (m == 0)
        return true;
    double slow = len;
    const bool ok = perChar ? addUnits(d, charOfLane(pd, L), m, true, &slow) : addLaneUnits(pd, L, m, &slow);
    len = slow;
    return ok;
}

// The kernels' arguments for block b of records a and b, each table read the
// way its record's tag says (see setBinLanes).
template <typename Entry, bool ta, bool tb>
inline StmBlockArgs<Entry> blockArgs(const std::vector<Entry> &table, const std::vector<Entry> &transposed,
                                     const StmBlock &blk, const ParsNodeSets *a, const ParsNodeSets *b)
{
    const Entry *rowsA = ta ? table.data() : transposed.data(), *rowsB = tb ? table.data() : transposed.data();
    return StmBlockArgs<Entry>{blk.n, rowsA + blk.cost, reinterpret_cast<const Entry *>(a->stm + blk.vec),
                               rowsB + blk.cost, reinterpret_cast<const Entry *>(b->stm + blk.vec), blk.weight};
}

// A block's join (into result) or, without result, its span: the weighted
// sum of its minima (m), -1 when one is impossible.
template <bool ta, bool tb>
inline int64_t blockMinima(const PackedData *pd, const StmKernels &k, const StmBlock &blk, const ParsNodeSets *a,
                           const ParsNodeSets *b, ParsNodeSets *result, int32_t *m)
{
    if (blk.wide) {
        const auto args = blockArgs<int32_t, ta, tb>(pd->stmCosts32, pd->stmCosts32T, blk, a, b);
        return result ? k.joinBlock32(args, reinterpret_cast<int32_t *>(result->stm + blk.vec), m)
                      : k.spanBlock32(args, m);
    }
    const auto args = blockArgs<int16_t, ta, tb>(pd->stmCosts16, pd->stmCosts16T, blk, a, b);
    return result ? k.joinBlock(args, reinterpret_cast<int16_t *>(result->stm + blk.vec), m) : k.spanBlock(args, m);
}

// Whether a block's minima may be added as one whole sum: whole weights, and
// no minimum at the per-character limit (a 32-bit block's may reach it; the
// checked path then reports the overflow as for any character).
inline bool wholeSum(const StmBlock &blk, int64_t sum, const int32_t *m)
{
    if (sum < 0 || !blk.intWeights)
        return false;
    if (blk.wide)
        for (uint32_t i = 0; i < kStmBlockWidth; i++)
            if (m[i] >= kCharLengthLimit)
                return false;
    return true;
}

template <bool ta, bool tb>
double setBinLanes(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
                   ParsNodeSets *result, double *length, double base)
{
    const PackedData *pd = packedData(d);
    const int64_t *costs = pd->stmCosts.data();
    // The kernels read a row per state met: the table as it is for a record
    // above the node, transposed for one below it.
    const int64_t *rowsA = ta ? costs : pd->stmCostsT.data(), *rowsB = tb ? costs : pd->stmCostsT.data();
    const StmKernels &kernels = stmKernels();
    const int64_t *va = a->stm + kStmHeader, *vb = b->stm + kStmHeader;
    int64_t *vr = result->stm + kStmHeader;
    // The sums are kept in registers (the same additions in the same order).
    double counted = count ? *length : 0.0;
    const bool whole = !(count && perChar);
    alignas(32) int32_t mins[kStmBlockWidth];
    bool going = true;
    for (const StmBlock &blk : pd->stmBlocks) {
        const int64_t sum = blockMinima<ta, tb>(pd, kernels, blk, a, b, result, mins);
        // A whole sum of whole weights is the same in any order of addition.
        if (whole && wholeSum(blk, sum, mins)) {
            base += static_cast<double>(sum);
            counted += static_cast<double>(sum);
            continue;
        }
        for (uint32_t i = 0; i < blk.count && going; i++)
            going = joinLane(d, pd, pd->stmLanes[blk.lane0 + i], unitsOf(mins[i], blk.wide), count, perChar, base,
                             counted);
        if (!going)
            break;
    }
    const std::span<const StmLane> single = going ? std::span(pd->stmLanes).subspan(pd->stmBlockLanes)
                                                  : std::span<const StmLane>();
    for (const StmLane &L : single) {
        const int64_t m =
            L.n == 4     ? kernels.join4(rowsA + L.cost, va + L.vec, rowsB + L.cost, vb + L.vec, vr + L.vec)
            : L.grid < 0 ? joinOne<ta, tb>(L.n, costs + L.cost, va + L.vec, vb + L.vec, vr + L.vec)
                         : gridJoin<ta, tb>(L.n, pd->stmGrids[static_cast<size_t>(L.grid)], va + L.vec, vb + L.vec,
                                            vr + L.vec);
        if (!joinLane(d, pd, L, m, count, perChar, base, counted))
            break;
    }
    if (count)
        *length = counted;
    return base;
}

template <bool ta, bool tb>
int addSpanLanes(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
                 double bound)
{
    const PackedData *pd = packedData(d);
    const int64_t *costs = pd->stmCosts.data();
    const int64_t *va = a->stm + kStmHeader, *vb = b->stm + kStmHeader;
    const double tol = pd->tolerance;
    const StmKernels &kernels = stmKernels();
    // A Dollo character's join may take back steps, so with any in the
    // class only the whole sum is compared.
    const bool early = !pd->stmDollo;
    double len = *length;
    alignas(32) int32_t mins[kStmBlockWidth];
    for (const StmBlock &blk : pd->stmBlocks) {
        const int64_t sum = blockMinima<ta, tb>(pd, kernels, blk, a, b, nullptr, mins);
        if (!perChar && wholeSum(blk, sum, mins)) {
            len += static_cast<double>(sum);
        } else {
            for (uint32_t i = 0; i < blk.count; i++)
                if (!spanLane(d, pd, pd->stmLanes[blk.lane0 + i], unitsOf(mins[i], blk.wide), perChar, len)) {
                    *length = len;
                    return 0;
                }
        }
        if (early && len - bound > tol) {
            *length = len;
            return 1;
        }
    }
    for (const StmLane &L : std::span(pd->stmLanes).subspan(pd->stmBlockLanes)) {
        const int64_t m = L.grid < 0 ? spanOne<ta, tb>(L.n, costs + L.cost, va + L.vec, vb + L.vec)
                                     : gridSpan<ta, tb>(L.n, pd->stmGrids[static_cast<size_t>(L.grid)], va + L.vec,
                                                        vb + L.vec);
        if (!spanLane(d, pd, L, m, perChar, len)) {
            *length = len;
            return 0;
        }
        if (early && len - bound > tol) {
            *length = len;
            return 1;
        }
    }
    *length = len;
    return len - bound > tol ? 1 : 0;
}

}  // namespace

int64_t stmJoin1(const StmChar &sc, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb,
                 int64_t *out)
{
    if (ta)
        return tb ? joinOne<true, true>(sc.n, cost, A, B, out) : joinOne<true, false>(sc.n, cost, A, B, out);
    return tb ? joinOne<false, true>(sc.n, cost, A, B, out) : joinOne<false, false>(sc.n, cost, A, B, out);
}

int64_t stmJoinGeneric1(const StmChar &sc, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb,
                        int64_t *out)
{
    return joinGeneric(sc.n, cost, A, ta, B, tb, out);
}

int64_t stmSpan1(const StmChar &sc, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb)
{
    if (ta)
        return tb ? spanOne<true, true>(sc.n, cost, A, B) : spanOne<true, false>(sc.n, cost, A, B);
    return tb ? spanOne<false, true>(sc.n, cost, A, B) : spanOne<false, false>(sc.n, cost, A, B);
}

int64_t stmSpanGeneric1(const StmChar &sc, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb)
{
    return spanGeneric(sc.n, cost, A, ta, B, tb);
}

int64_t stmGridJoin1(const DataInfo *d, const StmChar &sc, const int64_t *A, bool ta, const int64_t *B, bool tb,
                     int64_t *out)
{
    const StmPairGrid &g = packedData(d)->stmGrids[static_cast<size_t>(sc.grid)];
    if (ta)
        return tb ? gridJoin<true, true>(sc.n, g, A, B, out) : gridJoin<true, false>(sc.n, g, A, B, out);
    return tb ? gridJoin<false, true>(sc.n, g, A, B, out) : gridJoin<false, false>(sc.n, g, A, B, out);
}

int64_t stmGridSpan1(const DataInfo *d, const StmChar &sc, const int64_t *A, bool ta, const int64_t *B, bool tb)
{
    const StmPairGrid &g = packedData(d)->stmGrids[static_cast<size_t>(sc.grid)];
    if (ta)
        return tb ? gridSpan<true, true>(sc.n, g, A, B) : gridSpan<true, false>(sc.n, g, A, B);
    return tb ? gridSpan<false, true>(sc.n, g, A, B) : gridSpan<false, false>(sc.n, g, A, B);
}

void stmSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length)
{
    const bool ta = tagOf(a), tb = tagOf(b);
    const double base = baseOf(a) + baseOf(b);
    double out;
    if (ta)
        out = tb ? setBinLanes<true, true>(d, a, b, count, perChar, result, length, base)
                 : setBinLanes<true, false>(d, a, b, count, perChar, result, length, base);
    else
        out = tb ? setBinLanes<false, true>(d, a, b, count, perChar, result, length, base)
                 : setBinLanes<false, false>(d, a, b, count, perChar, result, length, base);
    result->stm[0] = ta || tb;
    setBase(result, out);
}

void stmSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length)
{
    const PackedData *pd = packedData(d);
    thread_local std::vector<const ParsNodeSets *> nb;
    nb.clear();
    for (const TreeNode *c = node->firstChild; c; c = c->nextSib)
        if (c != leaveOut)
            nb.push_back(nodeSets(c->abm[0]));
    if (node->anc && node->anc != leaveOut)
        nb.push_back(nodeSets(node->abm[1]));
    bool tag = false;
    double base = 0.0;
    for (const ParsNodeSets *s : nb) {
        tag = tag || tagOf(s);
        base += baseOf(s);
    }
    thread_local std::vector<int64_t> in;
    in.resize(nb.size() * kVecRoom);
    for (int32_t k : pd->stmChars) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        const int64_t *cost = costsOf(pd, sc);
        for (size_t i = 0; i < nb.size(); i++)
            loadVec(pd, nb[i], sc, &in[i * kVecRoom]);
        int64_t out[kVecRoom];
        int64_t m = kStmImpossible;
        if (sc.grid >= 0) {
            // A pair character's grids carry each neighbour in linear time.
            int64_t h[kVecRoom];
            std::fill_n(out, sc.n, 0);
            for (size_t i = 0; i < nb.size(); i++) {
                gridHalf(pd->stmGrids[static_cast<size_t>(sc.grid)], &in[i * kVecRoom], tagOf(nb[i]), h);
                for (uint32_t s = 0; s < sc.n; s++)
                    out[s] = sat(out[s] + h[s]);
            }
            for (uint32_t s = 0; s < sc.n; s++)
                m = std::min(m, out[s]);
        } else {
            for (uint32_t s = 0; s < sc.n; s++) {
                int64_t v = 0;
                for (size_t i = 0; i < nb.size(); i++)
                    v = sat(v + half(cost, sc.n, &in[i * kVecRoom], tagOf(nb[i]), s));
                out[s] = v;
                m = std::min(m, v);
            }
        }
        for (uint32_t s = 0; s < sc.n && m < kStmImpossible; s++)
            if (out[s] < kStmImpossible)
                out[s] -= m;
        out[sc.n] = zeroMask(out, sc.n);
        storeVec(pd, result, sc, out);
        if (!addUnits(d, sc, m, false, &base))
            base = kNoScore;
        if (count && !addUnits(d, sc, m, perChar, length))
            break;
    }
    result->stm[0] = tag;
    setBase(result, base);
}

int stmAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound)
{
    const bool ta = tagOf(a), tb = tagOf(b);
    if (ta)
        return tb ? addSpanLanes<true, true>(d, a, b, perChar, length, bound)
                  : addSpanLanes<true, false>(d, a, b, perChar, length, bound);
    return tb ? addSpanLanes<false, true>(d, a, b, perChar, length, bound)
              : addSpanLanes<false, false>(d, a, b, perChar, length, bound);
}

int stmSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty)
{
    PackedData *pd = packedData(d);
    if (!(dirty[0] & 1))
        return 0;
    ParsNodeSets fresh{};
    fresh.stm = pd->stmScratch.data();
    stmSetBin(d, c1, c2, false, false, &fresh, nullptr);
    if (std::equal(fresh.stm, fresh.stm + pd->stmStride, stored->stm)) {
        dirty[0] &= ~uint64_t{1};
        return 0;
    }
    std::copy_n(fresh.stm, pd->stmStride, stored->stm);
    stmSetBin(d, stored, above, false, false, final, nullptr);
    return 1;
}

int stmEvalNNI(const DataInfo *d, TreeNode *, const TreeNode *x, double *length, double bound)
{
    NNISets q;
    if (!nniSets(x, &q))
        return 0;
    PackedData *pd = packedData(d);
    // The rest of the tree seen from u's edge once x has left: g keeps s and
    // its own up set, and a node on u's edge joins that to u.
    ParsNodeSets gNow{}, edge{};
    gNow.stm = pd->stmScratch.data();
    edge.stm = pd->stmScratch.data() + pd->stmStride;
    stmSetBin(d, q.s, q.gUp, false, false, &gNow, nullptr);
    stmSetBin(d, &gNow, q.u, false, false, &edge, nullptr);
    return stmAddSpan(d, q.x, &edge, false, length, bound);
}

namespace {

// Whether a least-cost way of reaching record X from a node in state s (as
// half) changes state at a cost: X's own entry at s is not the only way.
bool halfMayChange(const int64_t *cost, uint32_t n, const int64_t *X, bool above, uint32_t s, int64_t best)
{
    for (uint32_t t = 0; t < n; t++) {
        if (t == s || X[t] >= kStmImpossible)
            continue;
        const int64_t c = above ? cost[t * n + s] : cost[s * n + t];
        if (c > 0 && c < kStmImpossible && X[t] + c == best)
            return true;
    }
    return false;
}

}  // namespace

bool stmEdgeMayChange(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b)
{
    const PackedData *pd = packedData(d);
    if (!pd || pd->stmChars.empty() || !a->stm || !b->stm)
        return false;
    // The edge is seen through a node s placed on it, as the span sees it:
    // the states of s on which both halves together cost the least are its
    // reconstructions, and a change on either half is a change on the edge.
    // The span itself cannot tell: a Dollo span may be positive in units
    // while a gain it saves nets its losses to no length, and a positive
    // span need not put a change on the edge.
    const bool ta = tagOf(a), tb = tagOf(b);
    int64_t A[kVecRoom], B[kVecRoom], hA[kVecRoom], hB[kVecRoom];
    for (const StmLane &L : pd->stmLanes) {
        if (!(L.weight > 0))
            continue;
        const StmChar &sc = charOfLane(pd, L);
        const int64_t *cost = costsOf(pd, sc);
        loadVec(pd, a, sc, A);
        loadVec(pd, b, sc, B);
        int64_t least = kStmImpossible;
        for (uint32_t s = 0; s < sc.n; s++) {
            hA[s] = half(cost, sc.n, A, ta, s);
            hB[s] = half(cost, sc.n, B, tb, s);
            least = std::min(least, sat(hA[s] + hB[s]));
        }
        if (least >= kStmImpossible)
            continue;
        for (uint32_t s = 0; s < sc.n; s++)
            if (sat(hA[s] + hB[s]) == least &&
                (halfMayChange(cost, sc.n, A, ta, s, hA[s]) || halfMayChange(cost, sc.n, B, tb, s, hB[s])))
                return true;
    }
    return false;
}

double stmRerootDelta(const DataInfo *d, const ParsNodeSets *rerooted, const ParsNodeSets *rooted)
{
    const PackedData *pd = packedData(d);
    if (!pd || pd->stmChars.empty() || !rerooted->stm || !rooted->stm)
        return 0.0;
    return baseOf(rerooted) - baseOf(rooted);
}

void stmDecide(const DataInfo *d, TreeNode *node, ParsOptChoice opt)
{
    PackedData *pd = packedData(d);
    ParsNodeSets *N = nodeSets(node->abm[0]);
    const ParsNodeSets *A = nodeSets(node->anc->abm[0]);
    const bool internal = node->firstChild != nullptr;
    const bool belowAncestor = !node->anc->anc && node->anc->index < 0;
    for (int32_t k : pd->stmChars) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        const int64_t *cost = costsOf(pd, sc);
        // An open Dollo ancestor charges its states unequally (see
        // openDolloAncestor): its vector, not only its zero mask, decides.
        const bool open =
            belowAncestor && sc.dollo && indexBits(sc, sourceBits(d, -1, sc.c, nullptr)).count() != 1;
        int64_t P[kVecRoom], fromVec[kVecRoom];
        loadVec(pd, N, sc, P);
        loadVec(pd, A, sc, fromVec);
        StmIndexSet from = zerosOf(sc, fromVec);
        if (open)
            for (uint32_t a = 0; a < sc.n; a++)
                if (fromVec[a] < kStmImpossible)
                    from.set(a);
        const StmIndexSet own = zerosOf(sc, P);
        const bool poly = !internal && node->index >= 0 && sc.polyTips && isPolymorphicMST(node->index, sc.c, d);
        int64_t best = kStmImpossible, bestCost = 0;
        uint32_t pick = 0;
        // The ancestor's state (decided, or the states a root taxon or the
        // ancestor holds) against every state the node may take.
        from.forEach([&](uint32_t a) {
            for (uint32_t x = 0; x < sc.n; x++) {
                // A polymorphic terminal is met in the state that costs its
                // tree over its states the least from there (its vector),
                // as the tree's length meets it; other terminals hold their
                // cells at no cost.
                if (P[x] >= kStmImpossible || (!internal && !poly && !own.test(x)))
                    continue;
                const int64_t step = cost[a * sc.n + x] + (open ? fromVec[a] : 0);
                if (step >= kStmImpossible)
                    continue;
                const int64_t total = (internal || poly ? P[x] : 0) + step;
                const bool better = total < best ||
                                    (total == best && ((opt == ParsOptChoice::AccTran && step > bestCost) ||
                                                       (opt == ParsOptChoice::DelTran && step < bestCost)));
                if (better) {
                    best = total;
                    bestCost = step;
                    pick = x;
                }
            }
        });
        if (best >= kStmImpossible)
            continue;
        // A polymorphic terminal's tree beyond its least is the branch's:
        // the least is counted inside the terminal, and the rest is what
        // meeting it in the chosen state adds.
        const int64_t charged = poly ? best : bestCost;
        if (charged && !(d->status[sc.c] & kCharExcluded))
            node->edge.brlen += stmUnitsToLength(sc, charged) * pd->slots[sc.c].weight;
        if (internal)
            stmSetStates(d, N, sc, StmIndexSet::single(pick));
    }
}

void stmDecideRoot(const DataInfo *d, TreeNode *root)
{
    PackedData *pd = packedData(d);
    ParsNodeSets *R = nodeSets(root->abm[0]);
    for (int32_t k : pd->stmChars) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        int64_t V[kVecRoom];
        loadVec(pd, R, sc, V);
        const StmIndexSet zeros = zerosOf(sc, V);
        if (zeros.none())
            continue;
        stmSetStates(d, R, sc, zeros.lowestOnly());
    }
}

void stmSetStates(const DataInfo *d, ParsNodeSets *rec, const StmChar &sc, const StmIndexSet &indices)
{
    int64_t V[kVecRoom];
    for (uint32_t x = 0; x < sc.n; x++)
        V[x] = indices.test(x) ? 0 : 1;
    V[sc.n] = zeroMask(V, sc.n);
    storeVec(packedData(d), rec, sc, V);
}

void copyStmSets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to)
{
    const PackedData *pd = packedData(d);
    if (from->stm && to->stm && from != to)
        std::copy_n(from->stm, pd->stmStride, to->stm);
}
