// Random data of the cost-vector class (stepmatrix, Dollo, irreversible
// characters beside ordered and unordered ones) and a plain Sankoff scorer
// over a tree's own links, the reference the class is checked against.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/usertypes.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "support/tree_test_support.h"
#include "trees/treeutil.h"

namespace stmtest {

inline constexpr char kSymbols[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz%&";
inline constexpr int64_t kInf = int64_t{1} << 50;

// A stepmatrix owned by the test (never registered with the UserType list).
struct TestType {
    UserType ut{};
    std::string symbols;
    std::vector<int16_t> cells;
    std::vector<int16_t *> rows;

    TestType(uint32_t n, const std::vector<int> &costs, bool asymmetric)
    {
        symbols.assign(kSymbols, n);
        cells.assign(costs.begin(), costs.end());
        for (uint32_t i = 0; i < n; i++)
            rows.push_back(cells.data() + i * n);
        ut.symbols = symbols.data();
        ut.intCosts = rows.data();
        ut.n = static_cast<uint8_t>(n);
        ut.asymmetric = asymmetric;
        ut.hasInfinity = std::count(costs.begin(), costs.end(), kUserTypeIntInfinity) > 0;
        std::snprintf(ut.name, sizeof ut.name, "t%u", n);
    }
};

// A random matrix closed under the triangle inequality (the UserType command
// adjusts every matrix so), with some changes impossible.
inline std::unique_ptr<TestType> randomType(std::mt19937 &rng, uint32_t n, bool asymmetric, bool impossible = true)
{
    std::vector<int64_t> c(static_cast<size_t>(n) * n);
    for (uint32_t i = 0; i < n; i++)
        for (uint32_t j = 0; j < n; j++) {
            const int64_t x = impossible && rng() % 15 == 0 ? kInf : 1 + static_cast<int64_t>(rng() % 5);
            c[i * n + j] = i == j ? 0 : x;
            if (!asymmetric && j < i)
                c[i * n + j] = c[j * n + i];
        }
    for (uint32_t k = 0; k < n; k++)
        for (uint32_t i = 0; i < n; i++)
            for (uint32_t j = 0; j < n; j++)
                c[i * n + j] = std::min(c[i * n + j], std::min(kInf, c[i * n + k] + c[k * n + j]));
    std::vector<int> costs(c.size());
    for (size_t k = 0; k < c.size(); k++)
        costs[k] = c[k] >= kInf ? kUserTypeIntInfinity : static_cast<int>(c[k]);
    return std::make_unique<TestType>(n, costs, asymmetric);
}

// The cost of one change as (primary, secondary): Dollo gains then losses,
// otherwise the cost alone; kInf when impossible.
// Ancestor 0 on ((A,B),(C,D)): cells 1010 need one gain and two losses under
// Dollo and two gains when irreversible; 1101 one gain and a loss, or two
// gains.
struct DolloHandCase {
    const char *cells;
    double dollo, irrev;
};
inline constexpr DolloHandCase kDolloHandCases[] = {{"1010", 3, 2}, {"1101", 2, 2}};

struct Cost {
    int64_t p, s;
};
inline bool operator<(Cost a, Cost b) { return a.p != b.p ? a.p < b.p : a.s < b.s; }
inline Cost operator+(Cost a, Cost b) { return {std::min(kInf, a.p + b.p), a.s + b.s}; }

// A cell's state bits, 0 when missing or any state.
inline uint64_t cellStates(const DataInfo *d, int32_t t, uint32_t c)
{
    const uint64_t b = isMissing(t, c, d) ? 0 : getXijAsBits(d, t, c, nullptr);
    return b == kAllStates ? 0 : b;
}

// The states of the character's cells and ancestor.
inline uint64_t statesSeen(const DataInfo *d, uint32_t c)
{
    uint64_t all = 0;
    for (int32_t t = -1; t < static_cast<int32_t>(d->ntax); t++)
        all |= cellStates(d, t, c);
    return all;
}

// How many steps of the character's series (between states lo..hi of the
// data and ancestor, step j between lo + j - 1 and lo + j) are gained going
// down: those at or below a given ancestor's lowest state (the ancestor is
// primitive); with the ancestor open, all of a ".dn" type's and none else.
inline uint32_t turnedSteps(const DataInfo *d, uint32_t c)
{
    const uint64_t all = statesSeen(d, c);
    const uint64_t anc = cellStates(d, -1, c);
    const int lo = std::countr_zero(all), hi = 63 - std::countl_zero(all);
    if (!all)
        return 0;
    const uint64_t span = (hi - lo + 1 >= 64 ? ~uint64_t{0} : (uint64_t{1} << (hi - lo + 1)) - 1) << lo;
    if (anc && anc != span)
        return static_cast<uint32_t>(std::countr_zero(anc) - lo);
    return d->status[c] & kCharDownVariant ? static_cast<uint32_t>(hi - lo) : 0;
}

// Cost of a change; `turned` counts the turned steps from state `lo`.
inline Cost changeCost(const DataInfo *d, uint32_t c, uint32_t turned, uint32_t lo, uint32_t from, uint32_t to)
{
    const uint32_t type = d->status[c] & kCharTypeMask;
    if (from == to)
        return {0, 0};
    if (type == kCharUserType) {
        const int16_t x = d->userTypes[c]->intCosts[from][to];
        return {x == kUserTypeIntInfinity ? kInf : x, 0};
    }
    if (type == kCharOrdered)
        return {std::abs(static_cast<int64_t>(from) - to), 0};
    if (type == kCharUnordered)
        return {1, 0};
    // Each step crossed one at a time: a gain where it runs the step's way.
    int64_t gains = 0, losses = 0;
    for (uint32_t j = std::min(from, to) + 1; j <= std::max(from, to); j++) {
        const bool turnedStep = j <= lo + turned;
        (turnedStep == (to < from) ? gains : losses)++;
    }
    if (type == kCharIrreversible)
        return {losses ? kInf : gains, 0};
    return {gains, losses};  // Dollo
}

// Plain Sankoff over the tree's links from its root: the least cost of the
// character over `states`, every node free but the taxa (and a root with
// one child: the ancestor or the taxon the tree is held at).
// Dollo's rule holds for each step of the series on its own: with a given
// ancestor inside the series, the steps above it and those below it are two
// characters (each seeing a state past the ancestor as the ancestor), and a
// node may be derived in both at once.
inline double referenceLength(const DataInfo *d, const Tree *tree, uint32_t c, uint64_t states,
                              int fold = 0);

inline uint64_t foldStates(uint64_t b, uint32_t anc, int fold)
{
    if (!fold)
        return b;
    uint64_t out = 0;
    for (; b; b &= b - 1) {
        const auto s = static_cast<uint32_t>(std::countr_zero(b));
        out |= uint64_t{1} << (fold > 0 ? std::max(s, anc) : std::min(s, anc));
    }
    return out;
}

inline double referenceLength(const DataInfo *d, const Tree *tree, uint32_t c, uint64_t states, int fold)
{
    const uint32_t ns = d->nstates;
    const uint64_t ancCell = cellStates(d, -1, c);
    const uint32_t ancState = ancCell ? static_cast<uint32_t>(std::countr_zero(ancCell)) : 0;
    if (!fold && (d->status[c] & kCharTypeMask) == kCharDollo && (tree->flags & kTreeRootedAtAnc) &&
        std::popcount(ancCell) == 1) {
        const uint64_t seen = statesSeen(d, c);
        if (ancState > static_cast<uint32_t>(std::countr_zero(seen)) &&
            ancState < static_cast<uint32_t>(63 - std::countl_zero(seen))) {
            const double up = referenceLength(d, tree, c, states, 1), down = referenceLength(d, tree, c, states, -1);
            return up >= 1e37 || down >= 1e37 ? 1e37 : up + down;
        }
    }
    if (fold)  // each half's nodes stay on its side of the ancestor
        states &= fold > 0 ? ~((uint64_t{1} << ancState) - 1) : (uint64_t{2} << ancState) - 1;
    auto allowed = [&](const TreeNode *n) -> uint64_t {
        int32_t taxon;
        if (n == tree->root && (tree->flags & kTreeRootedAtAnc))
            taxon = -1;
        else if (!n->firstChild || n == tree->root)
            taxon = n->index;
        else
            return states;
        if (isMissing(taxon, c, d))
            return states;
        return foldStates(getXijAsBits(d, taxon, c, nullptr), ancState, fold) & states;
    };
    const uint32_t turned = turnedSteps(d, c);
    const uint64_t seen = statesSeen(d, c);
    const auto lo = static_cast<uint32_t>(seen ? std::countr_zero(seen) : 0);
    const uint32_t type = d->status[c] & kCharTypeMask;
    // A polymorphic terminal of a Dollo or irreversible character holds all
    // its states: met in state s, it adds the cheapest tree from s over them,
    // which along the series is the walk from s to its far end(s).
    auto within = [&](uint64_t cell, uint32_t s) {
        const auto a = static_cast<uint32_t>(std::countr_zero(cell)), b = static_cast<uint32_t>(63 - std::countl_zero(cell));
        if (s <= a)
            return changeCost(d, c, turned, lo, s, b);
        if (s >= b)
            return changeCost(d, c, turned, lo, s, a);
        const Cost x = changeCost(d, c, turned, lo, s, a), y = changeCost(d, c, turned, lo, s, b);
        return x.p >= kInf || y.p >= kInf ? Cost{kInf, 0} : x + y;
    };
    std::function<std::vector<Cost>(const TreeNode *)> f = [&](const TreeNode *n) {
        std::vector<Cost> v(ns, Cost{kInf, 0});
        const uint64_t a = allowed(n);
        const bool tip = !n->firstChild || (n == tree->root && !(tree->flags & kTreeRootedAtAnc));
        if (tip && std::popcount(a) > 1 && (type == kCharDollo || type == kCharIrreversible) &&
            isPolymorphicMST(n->index, c, d) && !isMissing(n->index, c, d)) {
            for (uint32_t s = 0; s < ns; s++)
                v[s] = within(a, s);
        } else {
            for (uint32_t s = 0; s < ns; s++)
                if ((a >> s) & 1)
                    v[s] = {0, 0};
        }
        for (const TreeNode *ch = n->firstChild; ch; ch = ch->nextSib) {
            const std::vector<Cost> w = f(ch);
            for (uint32_t s = 0; s < ns; s++) {
                Cost best{kInf, 0};
                for (uint32_t t = 0; t < ns; t++)
                    if (w[t].p < kInf && changeCost(d, c, turned, lo, s, t).p < kInf)
                        best = std::min(best, changeCost(d, c, turned, lo, s, t) + w[t]);
                v[s] = v[s] + best;
            }
        }
        return v;
    };
    const std::vector<Cost> r = f(tree->root);
    // The edge from an ancestor open between states counts no step: under
    // Dollo the shortest of its states' trees, not the one of fewest gains.
    if ((d->status[c] & kCharTypeMask) == kCharDollo && (tree->flags & kTreeRootedAtAnc)) {
        int64_t len = kInf;
        for (const Cost &x : r)
            if (x.p < kInf)
                len = std::min(len, x.p + x.s);
        return len >= kInf ? 1e37 : static_cast<double>(len);
    }
    const Cost best = *std::min_element(r.begin(), r.end());
    return best.p >= kInf ? 1e37 : static_cast<double>(best.p + best.s);
}

// A data set over nstates symbols with the given cells (state bits, 0 for
// missing) and types; the stepmatrices are the caller's.
inline DataInfo *makeTypedData(uint32_t nstates, const std::vector<std::vector<uint64_t>> &cells)
{
    DataInfo *d = createDataInfo();
    std::memcpy(d->symbols, kSymbols, nstates);
    d->symbols[nstates] = 0;
    std::memcpy(d->parsSymbols, d->symbols, nstates + 1);
    d->respectCase = 1;
    d->nchar = static_cast<uint32_t>(cells[0].size());
    EXPECT_EQ(allocTaxaMemory(d, static_cast<uint32_t>(cells.size())), 0);
    EXPECT_EQ(initCharInfo(d), 0);
    EXPECT_EQ(initializeRawData(d, 0), 0);
    d->flags |= kHaveTaxa | kHaveCharacters;
    for (uint32_t t = 0; t < cells.size(); t++)
        for (uint32_t c = 0; c < d->nchar; c++) {
            const uint64_t b = cells[t][c];
            EXPECT_EQ(setXijRaw(d, t, c, b ? stateBitsToCode(b, d) : static_cast<uint8_t>(d->nstates)), 0);
        }
    return d;
}

inline void setType(DataInfo *d, uint32_t c, uint32_t type, bool down = false, UserType *ut = nullptr)
{
    d->status[c] = (d->status[c] & ~(kCharTypeMask | kCharDownVariant)) | type | (down ? kCharDownVariant : 0);
    d->userTypes[c] = ut;
}

inline void setAncestor(DataInfo *d, uint32_t c, uint64_t bits)
{
    d->ancestor[c] = bits ? stateBitsToCode(bits, d) : static_cast<uint8_t>(d->nstates);
}

// Parsimony data of the cost-vector class and a tree over its taxa: set-up
// and tear-down shared by the class's tests. msTaxa is what the data
// services answer for multistate taxa (uncertainty unless a test says).
class CostVectorTest : public ::testing::Test {
protected:
    static inline int msTaxa = kMsTaxaUncertain;

    void SetUp() override
    {
        msTaxa = kMsTaxaUncertain;
        DataServices s{};
        s.msTaxa = [] { return msTaxa; };
        installDataServices(s);
        resetParsSettings();
    }
    void TearDown() override
    {
        tree.reset();
        drop();
        resetDataServices();
        resetParsSettings();
        msTaxa = kMsTaxaUncertain;
    }
    void drop()
    {
        if (!d)
            return;
        setActiveDataInfo(nullptr);
        deallocPackedData(d);
        destroyDataInfo(d);
        d = nullptr;
    }
    void prepare()
    {
        setActiveDataInfo(d);
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(d), 0);
    }
    // A tree over the data's taxa from text; rootTip -1 hangs it under the
    // ancestor.
    void build(const std::string &text, int rootTip = -1)
    {
        tree.reset(createTreeForTaxa(d->ntax, d->ntax, true));
        buildTestTree(tree.get(), text, rootTip);
        afterTreeChange(tree.get());
        pointTreeAtPackedData(tree.get(), d);
    }

    DataInfo *d = nullptr;
    TreePtr tree;
    std::vector<std::unique_ptr<TestType>> types;
};

}  // namespace stmtest
