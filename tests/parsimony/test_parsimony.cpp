#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/calcsets.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "parsimony/stateset.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"
#include "support/tree_test_support.h"

namespace {

std::vector<uint32_t> gErrors;
int gMsTaxa = kMsTaxaUncertain;

int captureError(uint32_t code, const char *, ...)
{
    gErrors.push_back(code);
    return 1;
}


// A test tree whose traversal and leaf sets are marked stale.
void buildTree(Tree *tree, const std::string &text, int rootTip)
{
    buildTestTree(tree, text, rootTip);
    afterTreeChange(tree);
}

// ---- The plain reference: Sankoff over one character at a time -------------

constexpr double kInf = std::numeric_limits<double>::infinity();

struct RefChar {
    bool ordered;
    std::vector<uint64_t> cells;  // per taxon, 0 = missing
};

// Cost vector of the subtree of n for each state.
std::vector<double> sankoff(const TreeNode *n, const RefChar &ch, uint32_t ns)
{
    std::vector<double> cost(ns, 0.0);
    if (!n->firstChild && n->index >= 0) {
        uint64_t b = ch.cells[static_cast<size_t>(n->index)];
        if (b && ch.ordered)  // an ordered cell stands for its interval
            b = (~uint64_t{0} >> std::countl_zero(b)) & ~((uint64_t{1} << std::countr_zero(b)) - 1);
        for (uint32_t s = 0; s < ns; s++)
            cost[s] = (!b || ((b >> s) & 1)) ? 0.0 : kInf;
        return cost;
    }
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib) {
        auto sub = sankoff(c, ch, ns);
        for (uint32_t s = 0; s < ns; s++) {
            double best = kInf;
            for (uint32_t t = 0; t < ns; t++) {
                double step = s == t ? 0.0 : ch.ordered ? std::abs(double(s) - double(t)) : 1.0;
                best = std::min(best, sub[t] + step);
            }
            cost[s] += best;
        }
    }
    return cost;
}

// Length of one character on the tree rooted at its root tip, including the
// within-taxon cost of polymorphic cells when they count as polymorphism.
double refCharLength(const Tree *tree, const RefChar &ch, uint32_t ns, bool polymorph)
{
    TreeNode rootTip = *tree->root;  // the root tip with its subtree as its one child
    rootTip.firstChild = nullptr;
    auto atRoot = sankoff(&rootTip, ch, ns);
    rootTip.firstChild = tree->root->firstChild;
    rootTip.index = -2;
    auto below = sankoff(&rootTip, ch, ns);
    double best = kInf;
    for (uint32_t s = 0; s < ns; s++)
        best = std::min(best, below[s] + atRoot[s]);
    if (polymorph)
        for (uint64_t b : ch.cells)
            if (b & (b - 1))
                best += ch.ordered ? (63 - std::countl_zero(b)) - std::countr_zero(b) : std::popcount(b) - 1;
    return best;
}

// ---- Fixture ------------------------------------------------------------------

class Parsimony : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedError = qel_errorMsg;
        qel_errorMsg = captureError;
        gErrors.clear();
        gMsTaxa = kMsTaxaUncertain;
        DataServices s{};
        s.msTaxa = [] { return gMsTaxa; };
        installDataServices(s);
        resetParsSettings();
    }
    void TearDown() override
    {
        for (DataInfo *d : made) {
            deallocPackedData(d);
            destroyDataInfo(d);
        }
        setActiveDataInfo(nullptr);
        resetDataServices();
        resetParsSettings();
        clearMemoryErrorStatus();
        qel_errorMsg = savedError;
    }

    DataInfo *makeData(uint32_t nstates, uint32_t ntax, uint32_t nchar)
    {
        static const char kSymbols[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz@";
        DataInfo *d = createDataInfo();
        made.push_back(d);
        std::memcpy(d->symbols, kSymbols, nstates);
        d->symbols[nstates] = 0;
        d->nchar = nchar;
        EXPECT_EQ(allocTaxaMemory(d, ntax), 0);
        EXPECT_EQ(initCharInfo(d), 0);
        EXPECT_EQ(initializeRawData(d, 0), 0);
        d->flags |= kHaveTaxa | kHaveCharacters;
        return d;
    }

    // Cells as state sets (0 = missing), one row per taxon.
    void setCells(DataInfo *d, const std::vector<std::vector<uint64_t>> &rows)
    {
        for (uint32_t t = 0; t < rows.size(); t++)
            for (uint32_t c = 0; c < rows[t].size(); c++)
                ASSERT_EQ(setXijRaw(d, t, c, rows[t][c] ? stateBitsToCode(rows[t][c], d)
                                                         : static_cast<uint8_t>(d->nstates)), 0);
    }

    TreePtr treeFor(DataInfo *d, const std::string &text)
    {
        TreePtr t(createTreeForTaxa(d->ntax, d->ntax, true));
        buildTree(t.get(), text, 0);
        pointTreeAtPackedData(t.get(), d);
        return t;
    }

    void prepare(DataInfo *d)
    {
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(d), 0);
    }

    DataInfo *randomMixedData(std::mt19937 &rng, int trial, uint32_t ntax);

    std::vector<DataInfo *> made;
    MsgHook savedError = nullptr;
};

uint64_t S(std::initializer_list<int> states)
{
    uint64_t b = 0;
    for (int s : states)
        b |= uint64_t{1} << s;
    return b;
}

// Five taxa on the tree ((0,1),(2,3),4); the lengths worked out by hand are
// 1, 2, 3, 4 (ordered) and 2 steps, 12 in all.
class FiveTaxa : public Parsimony {
protected:
    DataInfo *d = nullptr;
    void SetUp() override
    {
        Parsimony::SetUp();
        d = makeData(4, 5, 5);
        setCells(d, {{S({0}), S({0}), S({0}), S({0}), S({0})},
                     {S({0}), S({1}), S({1}), S({0}), S({1})},
                     {S({1}), S({0}), S({2}), S({1}), 0},
                     {S({1}), S({1}), S({3}), S({2}), S({1})},
                     {S({1}), S({0}), S({0}), S({3}), S({0})}});
        d->status[3] = kCharOrdered;
    }
};

// Two states each seen once and nothing shared: every tree gives one step,
// so the character is uninformative whether it is packed ordered or not.
TEST_F(Parsimony, TwoSingletonStatesAndNoSharedStateAreUninformative)
{
    DataInfo *d = makeData(2, 5, 2);
    setCells(d, {{S({0}), S({0})}, {S({1}), S({0})}, {0, S({1})}, {0, S({1})}, {0, S({0})}});
    prepare(d);
    EXPECT_TRUE(d->status[0] & kCharUninformative);
    EXPECT_FALSE(d->status[1] & kCharUninformative);  // 0 0 1 1 0: two shared states
}

// A state seen once as a single-state cell and again inside a multistate
// cell is repeated: some tree can group the two, so the character is
// informative, and the packed data must not leave it out of Goloboff totals.
TEST_F(Parsimony, MultistateCellsCountTowardRepeatedStates)
{
    DataInfo *d = makeData(3, 5, 3);
    setCells(d, {{S({0}), S({0}), S({0})},
                 {S({0}), S({0}), S({0})},
                 {S({1}), S({1}), S({1})},
                 {S({1, 2}), S({0, 1}), S({2})},
                 {S({2}), 0, S({2})}});
    d->status[2] = kCharOrdered;
    prepare(d);
    EXPECT_FALSE(d->status[0] & kCharUninformative);  // 0 0 1 {12} 2
    EXPECT_TRUE(d->status[1] & kCharUninformative);   // 0 0 1 {01} ?: one step on every tree
    EXPECT_FALSE(d->status[2] & kCharUninformative);  // ordered 0 0 1 2 2

    // The length really varies over trees for the first character.
    auto grouped = treeFor(d, "(1,((2,3),4))");
    auto split = treeFor(d, "(2,((1,3),4))");
    calcTreeLength(d, grouped.get(), true, true);
    const int32_t groupedSteps = packedData(d)->steps[0];
    calcTreeLength(d, split.get(), true, true);
    EXPECT_LT(groupedSteps, packedData(d)->steps[0]);
}

// Every rooted topology over the taxa of `mask` (bit t = taxon t) as text.
std::vector<std::string> topologies(uint32_t mask)
{
    if (std::popcount(mask) == 1)
        return {std::to_string(std::countr_zero(mask))};
    std::vector<std::string> out;
    const uint32_t first = mask & -mask;
    for (uint32_t left = (mask - 1) & mask; left; left = (left - 1) & mask)
        if ((left & first) && left != mask)
            for (const std::string &a : topologies(left))
                for (const std::string &b : topologies(mask & ~left))
                    out.push_back("(" + a + "," + b + ")");
    return out;
}

// A character with uncertain cells is uninformative exactly when its length
// is the same on all 105 trees of six taxa, whether its cells leave a state
// repeated or not (0 0 1 {01} costs one step everywhere).
TEST_F(Parsimony, UncertainCellsAreUninformativeExactlyWhenNoTreeChangesTheLength)
{
    std::mt19937 rng(5);
    const std::vector<std::string> all = topologies(0x3E);
    ASSERT_EQ(all.size(), 105u);
    uint32_t constantLength = 0, varying = 0;
    for (int round = 0; round < 6; round++) {
        DataInfo *d = makeData(3 + round % 2, 6, 20);
        std::vector<RefChar> ref(d->nchar);
        for (uint32_t c = 0; c < d->nchar; c++) {
            ref[c].ordered = c % 2;
            d->status[c] = ref[c].ordered ? kCharOrdered : kCharUnordered;
            for (uint32_t t = 0; t < d->ntax; t++) {
                const uint32_t r = rng() % 8, k = rng() % d->nstates;
                uint64_t b = uint64_t{1} << k;
                if (r < 3)  // two or three states
                    b |= (uint64_t{1} << rng() % d->nstates) | (r == 0 ? uint64_t{1} << rng() % d->nstates : 0);
                ref[c].cells.push_back(r == 7 ? 0 : b);
            }
            for (uint32_t t = 0; t < d->ntax; t++)
                setXijRaw(d, t, c, ref[c].cells[t] ? stateBitsToCode(ref[c].cells[t], d)
                                                    : static_cast<uint8_t>(d->nstates));
        }
        setActiveDataInfo(d);
        ASSERT_EQ(initializeDataInfo(d), 0);
        prepare(d);
        std::vector<double> lo(d->nchar, kInf), hi(d->nchar, 0.0);
        for (const std::string &text : all) {
            auto tree = treeFor(d, text);
            for (uint32_t c = 0; c < d->nchar; c++) {
                const double len = refCharLength(tree.get(), ref[c], d->nstates, false);
                lo[c] = std::min(lo[c], len);
                hi[c] = std::max(hi[c], len);
            }
        }
        for (uint32_t c = 0; c < d->nchar; c++) {
            if (d->status[c] & kCharConstant)
                continue;
            (lo[c] == hi[c] ? constantLength : varying)++;
            EXPECT_EQ((d->status[c] & kCharUninformative) != 0, lo[c] == hi[c])
                << "round " << round << " char " << c << (ref[c].ordered ? " ordered" : " unordered");
        }
    }
    EXPECT_GT(constantLength, 10u);
    EXPECT_GT(varying, 10u);
}

// On random unordered data every character the data set marks uninformative
// is marked by the packed data too; the packed data may add those whose
// uncertain cells leave one length on every tree.
TEST_F(Parsimony, PackerAndDataSetAgreeOnUninformativeUnorderedCharacters)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 20; round++) {
        DataInfo *d = makeData(2 + rng() % 4, 6, 12);
        for (uint32_t c = 0; c < d->nchar; c++)
            for (uint32_t t = 0; t < d->ntax; t++) {
                const uint32_t r = rng() % 6, k = rng() % d->nstates;
                const uint64_t b = r == 0 ? 0 : (uint64_t{1} << k) | (r == 1 ? uint64_t{1} << ((k + 1) % d->nstates) : 0);
                setXijRaw(d, t, c, b ? stateBitsToCode(b, d) : static_cast<uint8_t>(d->nstates));
            }
        setActiveDataInfo(d);
        ASSERT_EQ(initializeDataInfo(d), 0);  // as the program does before it packs
        prepare(d);
        std::vector<bool> packed(d->nchar);
        for (uint32_t c = 0; c < d->nchar; c++)
            packed[c] = d->status[c] & kCharUninformative;
        ASSERT_EQ(initializeDataInfo(d), 0);
        for (uint32_t c = 0; c < d->nchar; c++)
            if (d->status[c] & kCharUninformative) {
                EXPECT_TRUE(packed[c]) << "round " << round << " char " << c;
            }
    }
}

TEST_F(FiveTaxa, HandComputedLengthsAndScores)
{
    prepare(d);
    auto tree = treeFor(d, "(1,((2,3),4))");
    EXPECT_DOUBLE_EQ(calcTreeLength(d, tree.get(), true, true), 12.0);
    const PackedData *pd = packedData(d);
    EXPECT_EQ(pd->steps, (std::vector<int32_t>{1, 2, 3, 4, 2}));
    EXPECT_EQ(pd->minSteps, (std::vector<double>{1, 1, 3, 3, 1}));
    EXPECT_TRUE(d->status[2] & kCharUninformative);  // 0 1 2 3 0: one shared state

    calcStatesetsForSearch(tree.get(), d, false);
    EXPECT_DOUBLE_EQ(tree->score[0], 12.0);
    calcStatesetsForSearch(tree.get(), d, true);
    EXPECT_DOUBLE_EQ(tree->score[0], 12.0);

    d->weights[2] = 2.0;
    gPars.pending = 1;
    ASSERT_EQ(prepareParsimonyData(d), 0);
    EXPECT_DOUBLE_EQ(calcTreeLength(d, tree.get(), true, false), 15.0);

    // Goloboff, k = 3: fits 1, 4/5, (c3 uninformative), 4/5, 4/5.
    d->weights[2] = 1.0;
    setGoloboff(true);
    setGoloboffK(3);
    ASSERT_EQ(prepareParsimonyData(d), 0);
    EXPECT_NEAR(calcParsimonyScore(d, tree.get(), false), -3.4, 1e-12);
    setGPeeWee(true);
    ASSERT_EQ(prepareParsimonyData(d), 0);
    EXPECT_NEAR(calcParsimonyScore(d, tree.get(), false), -34.0, 1e-9);
    setGUninf(true);
    EXPECT_NEAR(calcParsimonyScore(d, tree.get(), false), -44.0, 1e-9);

    // Threshold 1 caps each character at its minimum plus one step.
    setGoloboff(false);
    setThreshold(1);
    ASSERT_EQ(prepareParsimonyData(d), 0);
    EXPECT_DOUBLE_EQ(calcParsimonyScore(d, tree.get(), false), 12.0);
    auto star = treeFor(d, "(1,2,3,4)");  // 14 steps; c4 takes 5, capped at 4
    EXPECT_DOUBLE_EQ(calcTreeLength(d, star.get(), true, true), 14.0);
    EXPECT_DOUBLE_EQ(thresholdScore(d, nullptr, true), 13.0);
    EXPECT_TRUE(isSetMember(packedData(d)->atMinimum, 2));
    EXPECT_FALSE(isSetMember(packedData(d)->atMinimum, 0));
}

TEST_F(FiveTaxa, PackingPlacesBinaryUnorderedAsOrdered)
{
    prepare(d);
    const PackedData *pd = packedData(d);
    // c1, c2 have two states: ordered class, width 1; c3 (4 states) unordered, width 4.
    EXPECT_EQ(pd->slots[0].cls, kPkdOrdered);
    EXPECT_EQ(pd->slots[0].width, 1);
    EXPECT_TRUE(d->status[0] & kCharPackedOrdered);
    EXPECT_EQ(pd->slots[2].cls, kPkdUnordered);
    EXPECT_EQ(pd->slots[2].width, 4);
    EXPECT_EQ(pd->slots[3].width, 3);  // ordered 0..3: thermometer of 3 bits
    EXPECT_EQ(pd->unoChars.size(), 1u);
    EXPECT_EQ(pd->ordWords, 1u);
    // An excluded character gets no field and costs nothing.
    d->status[2] |= kCharExcluded;
    prepare(d);
    EXPECT_EQ(packedData(d)->slots[2].width, 0);
    auto tree = treeFor(d, "(1,((2,3),4))");
    EXPECT_DOUBLE_EQ(calcTreeLength(d, tree.get(), true, false), 9.0);
}

TEST_F(Parsimony, PolymorphicCellsAddTheirWithinTaxonCost)
{
    DataInfo *d = makeData(3, 4, 2);
    setCells(d, {{S({0}), S({0})}, {S({0, 2}), S({0, 2})}, {S({1}), S({1})}, {S({2}), S({2})}});
    d->status[1] = kCharOrdered;
    prepare(d);
    EXPECT_EQ(packedData(d)->baseLength, 0.0);
    gMsTaxa = kMsTaxaPolymorph;
    prepare(d);
    EXPECT_DOUBLE_EQ(packedData(d)->baseLength, 1.0 + 2.0);
}

TEST_F(Parsimony, OverflowGivesError516AndNoScore)
{
    DataInfo *d = makeData(2, 4, 1);
    setCells(d, {{S({0})}, {S({0})}, {S({1})}, {S({1})}});
    d->weights[0] = 3e9;  // integer-valued, so scores stay integer
    prepare(d);
    auto tree = treeFor(d, "(1,(2,3))");
    EXPECT_EQ(calcTreeLength(d, tree.get(), true, false), 1e37);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{516});
}

TEST_F(Parsimony, SettingsCallbacksAndChecks)
{
    EXPECT_EQ(setGoloboffK(2147483647u), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{834});
    EXPECT_EQ(gPars.gK, 2u);
    EXPECT_EQ(setGoloboffK(2147483646u), 0);
    EXPECT_EQ(gPars.gK, 2147483646u);

    gPars.pending = 0;
    EXPECT_EQ(setGapMode(0, nullptr), 0);  // unchanged: no repacking
    EXPECT_EQ(gPars.pending, 0u);
    EXPECT_EQ(setGapMode(1, nullptr), 0);
    EXPECT_EQ(gPars.pending, 3u);
    gPars.pending = 0;
    setThreshold(2);
    EXPECT_EQ(gPars.pending, 1u);  // the alternative arrays must be prepared
    EXPECT_TRUE(gPars.altPrep);

    setGoloboff(true);
    gErrors.clear();
    EXPECT_EQ(checkParsimonySettings(nullptr), 1);
    setThreshold(0);
    EXPECT_EQ(checkParsimonySettings(nullptr), 0);
}

// ---- Differential test against the plain reference -----------------------------

struct RandomCase {
    DataInfo *d;
    std::vector<RefChar> chars;
    uint32_t ns;
};

TEST_F(Parsimony, BitParallelScorerMatchesPlainReference)
{
    std::mt19937 rng(20240611);
    for (int trial = 0; trial < 150; trial++) {
        uint32_t ntax = 4 + rng() % 12, nchar = 1 + rng() % 90;
        uint32_t ns = trial % 5 == 0 ? 2 + rng() % 62 : 2 + rng() % 8;
        DataInfo *d = makeData(ns, ntax, nchar);
        bool weighted = trial % 3 == 1, polymorph = trial % 4 == 2;
        gMsTaxa = polymorph ? kMsTaxaPolymorph : kMsTaxaUncertain;
        std::vector<RefChar> ref(nchar);
        std::vector<std::vector<uint64_t>> rows(ntax, std::vector<uint64_t>(nchar));
        for (uint32_t c = 0; c < nchar; c++) {
            ref[c].ordered = rng() % 2;
            d->status[c] = ref[c].ordered ? kCharOrdered : kCharUnordered;
            if (weighted)
                d->weights[c] = 1 + rng() % 4;
            uint32_t used = 2 + rng() % (ns - 1);  // states used by this character
            for (uint32_t t = 0; t < ntax; t++) {
                uint32_t r = rng() % 20;
                uint64_t b = uint64_t{1} << (rng() % used);
                if (r == 0)
                    b = 0;
                else if (r == 1)
                    b |= uint64_t{1} << (rng() % used);
                rows[t][c] = b;
            }
            for (uint32_t t = 0; t < ntax; t++)
                ref[c].cells.push_back(rows[t][c] == (used >= 64 ? ~0ull : (1ull << ns) - 1) ? 0 : rows[t][c]);
        }
        setCells(d, rows);
        prepare(d);
        for (int tr = 0; tr < 3; tr++) {
            bool poly = tr == 2;
            auto tree = treeFor(d, randomTreeText(rng, ntax, 0, poly));
            double expect = 0.0;
            std::vector<int32_t> perChar(nchar);
            for (uint32_t c = 0; c < nchar; c++) {
                double len = refCharLength(tree.get(), ref[c], ns, polymorph);
                perChar[c] = static_cast<int32_t>(len);
                expect += len * d->weights[c];
            }
            ASSERT_DOUBLE_EQ(calcTreeLength(d, tree.get(), true, true), expect) << "trial " << trial;
            ASSERT_EQ(packedData(d)->steps, perChar) << "trial " << trial << " tree " << tr;
            EXPECT_DOUBLE_EQ(calcTreeLength(d, tree.get(), true, false), expect);
            if (!poly) {
                calcStatesetsForSearch(tree.get(), d, false);
                EXPECT_DOUBLE_EQ(tree->score[0] + packedData(d)->baseLength, expect);
            }
            // Every edge: the steps on it plus the rest of the tree give the
            // whole length (with the up sets of the pass with lengths).
            calcStatesetsForSearch(tree.get(), d, true);
            EXPECT_DOUBLE_EQ(tree->score[0] + packedData(d)->baseLength, expect);
        }
    }
}

// ---- NNI scores against full rescoring ------------------------------------------

void detach(TreeNode *x)
{
    TreeNode *f = x->anc, *s = f->firstChild == x ? x->nextSib : f->firstChild, *g = f->anc;
    // f leaves too: s takes its place under g.
    s->nextSib = f->nextSib;
    for (TreeNode **p = &g->firstChild; *p; p = &(*p)->nextSib)
        if (*p == f) {
            *p = s;
            break;
        }
    s->anc = g;
    f->firstChild = f->nextSib = nullptr;
    f->anc = nullptr;
    x->nextSib = nullptr;
}

void attachOnEdge(TreeNode *x, TreeNode *f, TreeNode *u)
{
    TreeNode *g = u->anc;
    for (TreeNode **p = &g->firstChild; *p; p = &(*p)->nextSib)
        if (*p == u) {
            *p = f;
            break;
        }
    f->nextSib = u->nextSib;
    f->anc = g;
    f->firstChild = x;
    x->nextSib = u;
    u->nextSib = nullptr;
    x->anc = u->anc = f;
}

TEST_F(Parsimony, NNIScoresEqualFullRescoring)
{
    std::mt19937 rng(77);
    int checked = 0;
    for (int trial = 0; trial < 40; trial++) {
        uint32_t ntax = 5 + rng() % 10, nchar = 5 + rng() % 60, ns = 2 + rng() % 6;
        DataInfo *d = makeData(ns, ntax, nchar);
        std::vector<std::vector<uint64_t>> rows(ntax, std::vector<uint64_t>(nchar));
        for (uint32_t c = 0; c < nchar; c++) {
            d->status[c] = rng() % 2 ? kCharOrdered : kCharUnordered;
            if (trial % 2)
                d->weights[c] = 1 + rng() % 3;
            for (uint32_t t = 0; t < ntax; t++)
                rows[t][c] = rng() % 15 ? uint64_t{1} << (rng() % ns) : 0;
        }
        setCells(d, rows);
        prepare(d);
        std::string text = randomTreeText(rng, ntax, 0, false);
        for (uint32_t p = ntax + 1; p < 2 * ntax; p++) {
            for (int side = 0; side < 2; side++) {
                auto tree = treeFor(d, text);
                TreeNode *f = tree->nodes + p;
                if (!f->firstChild || !f->anc || !f->anc->anc)
                    continue;
                TreeNode *x = side ? f->firstChild->nextSib : f->firstChild, *g = f->anc;
                TreeNode *u = g->firstChild == f ? f->nextSib : g->firstChild;
                calcStatesetsForSearch(tree.get(), d, true);
                double subtree = nodeSets(x->abm[0])->len;
                calcStatesetsForSearch(tree.get(), d, false);
                double whole = tree->score[0], cut = 0.0, join = 0.0;
                frvGetCutBranchLen(d, x, &cut);
                ASSERT_EQ(frvEvalSwap_NNI(d, nullptr, x, &join, 1e37), 0);
                detach(x);
                afterTreeChange(tree.get());
                // Taking x off removes its edge and its own subtree's steps.
                ASSERT_DOUBLE_EQ(calcTreeLength(d, tree.get(), true, false) + subtree + cut, whole);
                attachOnEdge(x, f, u);
                afterTreeChange(tree.get());
                ASSERT_DOUBLE_EQ(whole - cut + join, calcTreeLength(d, tree.get(), true, false)) << trial;
                checked++;
                // A bound below the answer stops the evaluation early.
                double partial = 0.0;
                if (join > 0) {
                    buildTree(tree.get(), text, 0);
                    calcStatesetsForSearch(tree.get(), d, false);
                    EXPECT_EQ(wagEvalNNI(d, nullptr, x, &partial, -1) | unoEvalNNI(d, nullptr, x, &partial, -1),
                              packedData(d)->ordWords || packedData(d)->unoWords ? 1 : 0);
                }
            }
        }
    }
    EXPECT_GT(checked, 200);
}

// ---- Incremental updates against full rescoring -------------------------------

// Every set of every node on the tree (the root only has its down set) and
// every fork's subtree length, in preorder.
struct SetSnapshot {
    std::vector<uint64_t> words;
    std::vector<double> lens;
    bool operator==(const SetSnapshot &) const = default;
};

SetSnapshot snapshot(const DataInfo *d, Tree *tree)
{
    const PackedData *pd = packedData(d);
    SetSnapshot s;
    for (TreeNode *n = tree->root; n; n = nextPreorderNode(n, tree->root)) {
        for (int k = 0; k < (n == tree->root ? 1 : 3); k++) {
            const ParsNodeSets *r = nodeSets(n->abm[k]);
            s.words.insert(s.words.end(), r->ord, r->ord + 4 * pd->ordWords);
            s.words.insert(s.words.end(), r->uno, r->uno + 2 * pd->unoWords);
        }
        if (n->firstChild && n != tree->root)
            s.lens.push_back(nodeSets(n->abm[0])->len);
    }
    return s;
}

TreeNode *randomNode(std::mt19937 &rng, Tree *tree, const std::function<bool(TreeNode *)> &ok)
{
    for (;;) {
        TreeNode *n = tree->nodes + 1 + rng() % (2 * tree->ntax - 1);
        bool onTree = false;
        for (const TreeNode *a = n; a; a = a->anc)
            onTree = onTree || a == tree->root;
        if (onTree && n != tree->root && ok(n))
            return n;
    }
}

TreeNode *otherChild(const TreeNode *f, const TreeNode *x) { return f->firstChild == x ? x->nextSib : f->firstChild; }

// Ordered and unordered characters of up to 150 characters and 2 to 41
// states, weighted in odd trials, polymorphic cells counted in every third.
DataInfo *Parsimony::randomMixedData(std::mt19937 &rng, int trial, uint32_t ntax)
{
    uint32_t nchar = 1 + rng() % 150;
    uint32_t ns = trial % 4 == 0 ? 2 + rng() % 40 : 2 + rng() % 7;
    DataInfo *d = makeData(ns, ntax, nchar);
    gMsTaxa = trial % 3 == 2 ? kMsTaxaPolymorph : kMsTaxaUncertain;
    std::vector<std::vector<uint64_t>> rows(ntax, std::vector<uint64_t>(nchar));
    for (uint32_t c = 0; c < nchar; c++) {
        d->status[c] = rng() % 2 ? kCharOrdered : kCharUnordered;
        if (trial % 2)
            d->weights[c] = 1 + rng() % 4;
        for (uint32_t t = 0; t < ntax; t++) {
            // Polymorphic cells hold two neighbouring states, which keeps
            // the number of distinct multistate codes small.
            uint32_t r = rng() % 16, k = rng() % ns;
            rows[t][c] = r == 0 ? 0 : (uint64_t{1} << k) | (r == 1 ? uint64_t{1} << ((k + 1) % ns) : 0);
        }
    }
    setCells(d, rows);
    prepare(d);
    return d;
}

// Random binary trees of 8 to 60 taxa; half of them lend the root's down
// slot to the basal fork and move single leaves with binPruneLeaf and
// binConnectLeaf, the others move whole subtrees. After every prune and
// graft the incremental sets and length must equal a full pass.
TEST_F(Parsimony, IncrementalUpdatesEqualFullRescoring)
{
    std::mt19937 rng(5105);
    int edits = 0;
    for (int trial = 0; trial < 60; trial++) {
        uint32_t ntax = 8 + rng() % 53;
        DataInfo *d = randomMixedData(rng, trial, ntax);
        auto tree = treeFor(d, randomTreeText(rng, ntax, 0, false));
        bool leaves = trial % 2;
        if (leaves) {
            TreeNode *b = tree->root->firstChild;
            tree->displacedSlot = b->abm[1];
            b->abm[1] = tree->root->abm[0];
        }
        calcStatesetsForSearch(tree.get(), d, false);

        // The kernels: a stored set that is already right clears every flag,
        // reports no change and leaves the final set alone.
        TreeNode *m = tree->root->firstChild;
        PackedData *pd = packedData(d);
        std::vector<uint64_t> saved;
        for (const ParsFxns *f = d->parsFxns; f; f = f->next) {
            ParsNodeSets *fin = nodeSets(m->abm[2]);
            saved.assign(fin->ord, fin->ord + 4 * pd->ordWords);
            saved.insert(saved.end(), fin->uno, fin->uno + 2 * pd->unoWords);
            std::fill(fin->ord, fin->ord + 4 * pd->ordWords, 0);
            std::fill(fin->uno, fin->uno + 2 * pd->unoWords, 0);
            std::vector<uint64_t> dirty(pd->dirty.size(), 0);
            for (uint32_t w = 0; w < f->nWords; w++)
                dirty[w / 64] |= uint64_t{1} << (w % 64);
            EXPECT_EQ(f->setUpdate(d, nodeSets(m->firstChild->abm[0]), nodeSets(m->firstChild->nextSib->abm[0]),
                                   nodeSets(m->abm[0]), nodeSets(m->abm[1]), fin, dirty.data()),
                      0);
            EXPECT_TRUE(std::all_of(dirty.begin(), dirty.end(), [](uint64_t w) { return !w; }));
            EXPECT_TRUE(std::all_of(fin->uno, fin->uno + 2 * pd->unoWords, [](uint64_t w) { return !w; }));
            std::copy_n(saved.begin(), 4 * pd->ordWords, fin->ord);
            std::copy_n(saved.begin() + 4 * pd->ordWords, 2 * pd->unoWords, fin->uno);
        }

        auto expectFullPassAgrees = [&](const char *what) {
            afterTreeChange(tree.get());
            SetSnapshot inc = snapshot(d, tree.get());
            double incLength = revTreeLength(d, tree.get());
            calcStatesetsForSearch(tree.get(), d, false);
            ASSERT_TRUE(inc == snapshot(d, tree.get())) << what << " trial " << trial << " edit " << edits;
            ASSERT_DOUBLE_EQ(incLength, tree->score[0]) << what << " trial " << trial;
        };
        for (int step = 0; step < 10; step++, edits++) {
            TreeNode *x = randomNode(rng, tree.get(), [&](TreeNode *n) {
                return n->anc->anc && (!leaves || !n->firstChild);
            });
            TreeNode *f = x->anc, *s = otherChild(f, x);
            double before = tree->score[0], cut = 0.0;
            frvGetCutBranchLen(d, x, &cut);
            if (leaves) {
                otherChild(f, x)->nextSib = nullptr;
                f->firstChild = x;
                x->nextSib = s;
                ASSERT_EQ(binPruneLeaf(x), s);
            } else {
                ASSERT_EQ(pruneSubtree(x, false), f);
            }
            revUpdateAfterPrune(d, s, x, f);
            expectFullPassAgrees("prune");
            double xLen = x->firstChild ? nodeSets(x->abm[0])->len : 0.0;
            EXPECT_DOUBLE_EQ(tree->score[0], before - cut - xLen);

            TreeNode *u = randomNode(rng, tree.get(), [](TreeNode *) { return true; });
            ASSERT_EQ(leaves ? binConnectLeaf(x, u, f) : graftSubtreeToEdge(tree.get(), x, u, f), 0);
            revUpdateAfterGraft(d, x);
            expectFullPassAgrees("graft");
        }
    }
    EXPECT_EQ(edits, 600);
}

// A cut as the rearrangement passes make it: a prune updated only within a
// reach (or everywhere), then K's subtree seen alone (its children's up sets
// made each other's down sets), then undone from the log by grafting back
// on the same edge. Every set, subtree length and record slot must be as a
// full pass left them.
TEST_F(Parsimony, CutUndoneFromTheLogRestoresEverySet)
{
    std::mt19937 rng(3417);
    for (int trial = 0; trial < 24; trial++) {
        uint32_t ntax = 6 + rng() % 40;
        DataInfo *d = randomMixedData(rng, trial, ntax);
        auto tree = treeFor(d, randomTreeText(rng, ntax, 0, false));
        if (trial % 2) {
            TreeNode *b = tree->root->firstChild;
            tree->displacedSlot = b->abm[1];
            b->abm[1] = tree->root->abm[0];
        }
        calcStatesetsForSearch(tree.get(), d, false);
        const SetSnapshot whole = snapshot(d, tree.get());
        for (int step = 0; step < 12; step++) {
            TreeNode *x = randomNode(rng, tree.get(), [](TreeNode *n) { return n->anc->anc != nullptr; });
            TreeNode *f = x->anc, *s = otherChild(f, x);
            const bool xFirst = f->firstChild == x;
            const uint32_t reach = step % 3 == 0 ? kWholeTree : 1 + rng() % 6;
            std::vector<void *> slots;
            for (TreeNode *n = tree->root; n; n = nextPreorderNode(n, tree->root))
                slots.insert(slots.end(), n->abm, n->abm + 3);

            ASSERT_TRUE(revOpenSetLog(d));
            ASSERT_EQ(pruneSubtree(x, false), f);
            revUpdateAfterPrune(d, s, x, f, reach);
            if (TreeNode *c1 = x->firstChild) {
                TreeNode *c2 = c1->nextSib;
                revCopySets(d, nodeSets(c2->abm[0]), nodeSets(c1->abm[1]));
                revCopySets(d, nodeSets(c1->abm[0]), nodeSets(c2->abm[1]));
                revUpdateAbove(d, c1, false, reach);
                revUpdateAbove(d, c2, false, reach);
            }
            ASSERT_EQ(graftSubtreeToEdge(tree.get(), x, s, f), 0);
            if (xFirst) {
                f->firstChild = x;
                x->nextSib = s;
                s->nextSib = nullptr;
            }
            revRelinkAfterGraft(x);
            revUndoSetLog();
            afterTreeChange(tree.get());

            std::vector<void *> after;
            for (TreeNode *n = tree->root; n; n = nextPreorderNode(n, tree->root))
                after.insert(after.end(), n->abm, n->abm + 3);
            ASSERT_EQ(slots, after) << "trial " << trial << " step " << step;
            ASSERT_TRUE(whole == snapshot(d, tree.get())) << "trial " << trial << " step " << step;
        }
    }
}

}  // namespace
