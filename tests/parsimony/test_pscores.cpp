#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "data/data_services.h"
#include "qel/qel_distrib.h"
#include "data/data_settings.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/fitindex.h"
#include "parsimony/lenrange.h"
#include "parsimony/pars_init.h"
#include "parsimony/parstests.h"
#include "parsimony/reweight.h"
#include "qel/qel_errormsg.h"

namespace {

int gMsTaxa = kMsTaxaUncertain;

uint64_t S(std::initializer_list<int> states)
{
    uint64_t b = 0;
    for (int s : states)
        b |= uint64_t{1} << s;
    return b;
}

class Bounds : public ::testing::Test {
protected:
    void SetUp() override
    {
        gMsTaxa = kMsTaxaUncertain;
        DataServices s{};
        s.msTaxa = [] { return gMsTaxa; };
        installDataServices(s);
        resetParsSettings();
        invalidateLengthBounds();
    }
    void TearDown() override
    {
        for (DataInfo *d : made) {
            deallocPackedData(d);
            destroyDataInfo(d);
        }
        resetDataServices();
        resetParsSettings();
        invalidateLengthBounds();
    }
    // rows[t][c]: state set of a cell, 0 = missing.
    DataInfo *makeData(uint32_t nstates, const std::vector<std::vector<uint64_t>> &rows)
    {
        DataInfo *d = createDataInfo();
        made.push_back(d);
        std::memcpy(d->symbols, "0123456789", nstates);
        d->symbols[nstates] = 0;
        d->nchar = static_cast<uint32_t>(rows[0].size());
        EXPECT_EQ(allocTaxaMemory(d, static_cast<uint32_t>(rows.size())), 0);
        EXPECT_EQ(initCharInfo(d), 0);
        EXPECT_EQ(initializeRawData(d, 0), 0);
        d->flags |= kHaveTaxa | kHaveCharacters;
        for (uint32_t t = 0; t < rows.size(); t++)
            for (uint32_t c = 0; c < rows[t].size(); c++)
                EXPECT_EQ(setXijRaw(d, t, c,
                                    rows[t][c] ? stateBitsToCode(rows[t][c], d) : static_cast<uint8_t>(d->nstates)),
                          0);
        return d;
    }
    void prepare(DataInfo *d)
    {
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(d), 0);
        ASSERT_EQ(calcLengthBounds(d, nullptr, false, false), 0);
    }
    std::vector<DataInfo *> made;
};

// ---- Plain reference: every unrooted binary tree, Sankoff per character ------

struct RefTree {
    std::vector<std::vector<int>> adj;  // leaves 0..n-1, forks after
};

void allTrees(uint32_t n, std::vector<RefTree> &out)
{
    RefTree t;
    t.adj.assign(4, {});
    // Three leaves on one fork (node n).
    t.adj.resize(n + n - 2);
    auto link = [](RefTree &r, int a, int b) {
        r.adj[a].push_back(b);
        r.adj[b].push_back(a);
    };
    link(t, 0, static_cast<int>(n));
    link(t, 1, static_cast<int>(n));
    link(t, 2, static_cast<int>(n));
    std::function<void(RefTree &, uint32_t, int)> grow = [&](RefTree &r, uint32_t leaf, int nextFork) {
        if (leaf == n) {
            out.push_back(r);
            return;
        }
        std::vector<std::pair<int, int>> edges;
        for (int a = 0; a < static_cast<int>(r.adj.size()); a++)
            for (int b : r.adj[a])
                if (a < b)
                    edges.emplace_back(a, b);
        for (auto [a, b] : edges) {
            RefTree s = r;
            std::erase(s.adj[a], b);
            std::erase(s.adj[b], a);
            link(s, a, nextFork);
            link(s, b, nextFork);
            link(s, static_cast<int>(leaf), nextFork);
            grow(s, leaf + 1, nextFork + 1);
        }
    };
    grow(t, 3, static_cast<int>(n) + 1);
}

double stepCost(int a, int b, bool ordered) { return a == b ? 0.0 : ordered ? std::abs(a - b) : 1.0; }

// Cost of a leaf cell in state s (an ordered cell stands for its interval).
double cellCost(uint64_t cell, int s, bool ordered)
{
    if (!cell)
        return 0.0;
    if (!ordered)
        return (cell >> s) & 1 ? 0.0 : std::numeric_limits<double>::infinity();
    const int lo = std::countr_zero(cell), hi = 63 - std::countl_zero(cell);
    return s >= lo && s <= hi ? 0.0 : std::numeric_limits<double>::infinity();
}

double refLength(const RefTree &t, uint32_t n, const std::vector<uint64_t> &cells, int ns, bool ordered)
{
    std::function<std::vector<double>(int, int)> down = [&](int v, int from) {
        std::vector<double> cost(ns, 0.0);
        if (v < static_cast<int>(n) && from >= 0) {
            for (int s = 0; s < ns; s++)
                cost[s] = cellCost(cells[v], s, ordered);
            return cost;
        }
        for (int c : t.adj[v]) {
            if (c == from)
                continue;
            auto sub = down(c, v);
            for (int s = 0; s < ns; s++) {
                double best = std::numeric_limits<double>::infinity();
                for (int u = 0; u < ns; u++)
                    best = std::min(best, sub[u] + stepCost(s, u, ordered));
                cost[s] += best;
            }
        }
        return cost;
    };
    auto below = down(t.adj[0][0], 0);
    double best = std::numeric_limits<double>::infinity();
    for (int s = 0; s < ns; s++) {
        double e = std::numeric_limits<double>::infinity();
        for (int u = 0; u < ns; u++)
            e = std::min(e, below[u] + stepCost(s, u, ordered) + cellCost(cells[0], s, ordered));
        best = std::min(best, e);
    }
    return best;
}

double refStarLength(const std::vector<uint64_t> &cells, int ns, bool ordered)
{
    double best = std::numeric_limits<double>::infinity();
    for (int s = 0; s < ns; s++) {
        double sum = 0.0;
        for (uint64_t cell : cells) {
            double d = std::numeric_limits<double>::infinity();
            for (int u = 0; u < ns; u++)
                if (cellCost(cell, u, ordered) == 0.0)
                    d = std::min(d, stepCost(s, u, ordered));
            sum += cell ? d : 0.0;
        }
        best = std::min(best, sum);
    }
    return best;
}

TEST_F(Bounds, MinimaAndMaximaMatchExhaustiveReference)
{
    constexpr uint32_t kTaxa = 6, kChars = 40;
    constexpr int kStates = 4;
    std::vector<RefTree> trees;
    allTrees(kTaxa, trees);
    ASSERT_EQ(trees.size(), 105u);
    std::mt19937 rng(20240611);
    for (int round = 0; round < 6; round++) {
        std::vector<std::vector<uint64_t>> rows(kTaxa, std::vector<uint64_t>(kChars));
        for (auto &row : rows)
            for (auto &cell : row) {
                const uint32_t r = rng() % 10;
                cell = r == 0 ? 0 : r < 3 ? ((rng() % 15) + 1) : uint64_t{1} << (rng() % kStates);
            }
        DataInfo *d = makeData(kStates, rows);
        for (uint32_t c = 0; c < kChars; c += 2)
            d->status[c] = (d->status[c] & ~kCharTypeMask) | kCharOrdered;
        prepare(d);
        const LengthBounds &b = lengthBounds();
        double sumMax = 0.0;
        for (uint32_t c = 0; c < kChars; c++) {
            if (!b.inBounds[c])
                continue;
            const bool ordered = (d->status[c] & kCharTypeMask) == kCharOrdered;
            std::vector<uint64_t> cells(kTaxa);
            for (uint32_t t = 0; t < kTaxa; t++)
                cells[t] = rows[t][c];
            double best = std::numeric_limits<double>::infinity(), worst = 0.0;
            for (const RefTree &t : trees) {
                const double len = refLength(t, kTaxa, cells, kStates, ordered);
                best = std::min(best, len);
                worst = std::max(worst, len);
            }
            EXPECT_DOUBLE_EQ(b.minLen[c], best) << "round " << round << " char " << c;
            EXPECT_DOUBLE_EQ(b.rangeMin[c], best);  // no polymorphic terminals
            EXPECT_DOUBLE_EQ(b.maxLen[c], refStarLength(cells, kStates, ordered)) << "char " << c;
            EXPECT_EQ((d->status[c] & kCharUninformative) != 0, best == worst) << "char " << c;
            sumMax += refStarLength(cells, kStates, ordered);
        }
        EXPECT_DOUBLE_EQ(b.sumMaxFit, sumMax);
    }
}

TEST_F(Bounds, HittingSetAndPolymorphicExtraCountedOnce)
{
    // Terminals 0, 1 and {2,3}: the uncertain cell needs one more state.
    DataInfo *d = makeData(4, {{S({0})}, {S({1})}, {S({2, 3})}, {S({0})}});
    prepare(d);
    EXPECT_DOUBLE_EQ(lengthBounds().minLen[0], 2.0);
    EXPECT_DOUBLE_EQ(lengthBounds().rangeMin[0], 2.0);

    gMsTaxa = kMsTaxaPolymorph;
    DataInfo *p = makeData(4, {{S({0})}, {S({1})}, {S({2, 3})}, {S({0})}});
    prepare(p);
    // Hitting set {0,1,2}: 2 steps, plus 1 within the polymorphic terminal.
    EXPECT_DOUBLE_EQ(lengthBounds().minLen[0], 3.0);
    EXPECT_DOUBLE_EQ(lengthBounds().rangeMin[0], 3.0);  // 0..3 all present
    EXPECT_DOUBLE_EQ(lengthBounds().sumMin, 3.0);

    const uint64_t list[] = {S({2, 3}), S({1, 3})};
    EXPECT_EQ(addToHittingSet(0, S({0}), 1, 1, 4, list), S({0, 3}));  // state 3 is bit 3
    EXPECT_EQ(addToHittingSet(0, 0, 1, 1, 3, list), 0u);             // no single state of 1..3 hits {2,3},{1,3}... only bit 3
}

TEST_F(Bounds, OrderedRules)
{
    // Single states 0 and 3: 3 steps whatever lies between; overlapping
    // uncertain intervals cost nothing.
    DataInfo *d = makeData(4, {{S({0}), S({0, 1, 2})}, {S({3}), S({1, 2})}, {S({0}), S({2, 3})}});
    d->status[0] = (d->status[0] & ~kCharTypeMask) | kCharOrdered;
    d->status[1] = (d->status[1] & ~kCharTypeMask) | kCharOrdered;
    prepare(d);
    EXPECT_DOUBLE_EQ(lengthBounds().minLen[0], 3.0);
    EXPECT_DOUBLE_EQ(lengthBounds().minLen[1], 0.0);
}

// Bounds belong to the data they were computed for: a data set read after
// another is freed may be packed at the same address with the same
// signature (same states seen, same minima), yet its star-tree length differs.
TEST_F(Bounds, DataReadAfterAFreedSetGetTheirOwnBounds)
{
    for (int round = 0; round < 4; round++) {
        DataInfo *a = makeData(2, {{S({0})}, {S({0})}, {S({0})}, {S({1})}, {S({1})}, {S({1})}});
        prepare(a);
        EXPECT_DOUBLE_EQ(lengthBounds().maxLen[0], 3.0);
        deallocPackedData(a);
        DataInfo *b = makeData(2, {{S({0})}, {S({0})}, {S({1})}, {S({1})}, {S({1})}, {S({1})}});
        prepare(b);
        EXPECT_DOUBLE_EQ(lengthBounds().maxLen[0], 2.0) << "round " << round;
        EXPECT_DOUBLE_EQ(lengthBounds().minLen[0], 1.0);
        deallocPackedData(b);
    }
}

TEST(FitIndex, ValuesAndTextForms)
{
    char buf[32];
    EXPECT_STREQ(fitMeasureToStr(buf, sizeof buf, 3, 0.0), "0.000");
    EXPECT_STREQ(fitMeasureToStr(buf, sizeof buf, 3, kFitUndefined), "0/0");
    EXPECT_STREQ(fitMeasureToStr(buf, sizeof buf, 3, kFitNotApplicable), "n/a");
    EXPECT_STREQ(fitMeasureToStr(buf, sizeof buf, 3, kFitNoValue), "-");
    EXPECT_STREQ(fitMeasureToStr(buf, sizeof buf, 6, 2.0 / 3.0), "0.666667");

    EXPECT_DOUBLE_EQ(calc1CI(2, 0), kFitUndefined);
    EXPECT_DOUBLE_EQ(calc1RI(1, 2, 1), kFitUndefined);
    EXPECT_DOUBLE_EQ(calc1RI(1, 2, 3), 0.5);
    resetParsSettings();
    EXPECT_DOUBLE_EQ(calc1GFit(1, 3), 3.0 / 5.0);  // k = 2

    // The hand-worked five-taxon tree: length 8, minima 7, star tree 11.
    TreeFitIndices f = treeFitIndices(8, 7, 11, 7);
    EXPECT_DOUBLE_EQ(f.ci, 0.875);
    EXPECT_DOUBLE_EQ(f.ri, 0.75);
    EXPECT_DOUBLE_EQ(f.rc, 0.65625);
    EXPECT_DOUBLE_EQ(f.hi, 0.125);
    // RI undefined (max == min): RC is undefined too, not a negative product.
    f = treeFitIndices(8, 7, 7, 7);
    EXPECT_DOUBLE_EQ(f.ri, kFitUndefined);
    EXPECT_DOUBLE_EQ(f.rc, kFitUndefined);
    f = treeFitIndices(0, 0, 0, 0);
    EXPECT_DOUBLE_EQ(f.ci, kFitUndefined);
    EXPECT_DOUBLE_EQ(f.hi, kFitUndefined);
}

TEST(Reweight, ClampsBeforeScaling)
{
    EXPECT_DOUBLE_EQ(reweightValue(0.46, 10, false), 5.0);
    EXPECT_DOUBLE_EQ(reweightValue(0.46, 10, true), 4.0);
    EXPECT_DOUBLE_EQ(reweightValue(-1.0, 10, false), 0.0);  // undefined index
    EXPECT_DOUBLE_EQ(reweightValue(-1.0, 1, false), 0.0);
    EXPECT_DOUBLE_EQ(reweightValue(1.7, 10, false), 10.0);
    EXPECT_DOUBLE_EQ(reweightValue(0.25, 1, false), 0.25);

    // Characters: uninformative (min == max), length 0 on the second tree, plain.
    const double min[] = {1, 1, 1}, max[] = {1, 3, 3};
    const double t1[] = {1, 2, 2}, t2[] = {1, 0, 3};
    ReweightAccumulator lo = makeReweightAccumulator(3, kRewtIndexRC, kRewtFitMinimum);
    ReweightAccumulator hi = makeReweightAccumulator(3, kRewtIndexCI, kRewtFitMaximum);
    for (ReweightAccumulator *a : {&lo, &hi}) {
        addTreeToReweight(*a, t1, min, max);
        addTreeToReweight(*a, t2, min, max);
    }
    EXPECT_DOUBLE_EQ(lo.value[0], 1.0);
    EXPECT_DOUBLE_EQ(reweightValue(lo.value[1], 1, false), 0.0);  // CI of length 0 is undefined
    EXPECT_DOUBLE_EQ(lo.value[2], 0.0);                           // RI (3-3)/(3-1) on tree 2
    EXPECT_DOUBLE_EQ(hi.value[1], 0.5);
    EXPECT_DOUBLE_EQ(hi.value[2], 0.5);
}

TEST(ParsTests, HandWorkedExample)
{
    // Differences T - B: +1, +1, -1, +2, 0 over five included characters.
    const double best[] = {1, 1, 2, 0, 3}, other[] = {2, 2, 1, 2, 3};
    const KHStats kh = khStats(best, other, 7, 10);
    EXPECT_DOUBLE_EQ(kh.diff, 3.0);
    // mean 0.6, squared deviations 5.2, variance 1.3
    EXPECT_NEAR(kh.t, 0.6 / std::sqrt(1.3 / 5), 1e-12);
    EXPECT_NEAR(kh.sd, std::sqrt(6.5), 1e-12);
    EXPECT_GT(kh.p, 0.25);
    EXPECT_LT(kh.p, 0.35);

    const NonparStats s = nonparStats(best, other, 0.0);
    ASSERT_EQ(s.n, 4u);
    // |d| = 1, 1, 1, 2: three ties share rank 2, tie term 2*3*4 = 24.
    EXPECT_EQ(s.rank, (std::vector<double>{2, 2, 2, 4}));
    EXPECT_DOUBLE_EQ(s.ties, 24.0);
    EXPECT_DOUBLE_EQ(s.rPlus, 8.0);
    EXPECT_DOUBLE_EQ(s.rMinus, 2.0);
    EXPECT_EQ(s.nPlus, 3u);
    EXPECT_EQ(s.nMinus, 1u);
    EXPECT_DOUBLE_EQ(s.stat, 2.0);
    EXPECT_NEAR(s.z, -3.0 / std::sqrt(7.0), 1e-12);
    EXPECT_NEAR(s.pT, 0.256839, 1e-6);
    EXPECT_NEAR(s.pW, 0.625, 1e-12);

    // All differences equal: t = 0, P = 1.
    const double shifted[] = {2, 2, 3, 1, 4};
    EXPECT_DOUBLE_EQ(khStats(best, shifted, 7, 12).p, 1.0);
    // Identical lengths: nothing kept.
    EXPECT_EQ(nonparStats(best, best, 0.0).n, 0u);
}

TEST(ParsTests, WinningSitesExactUpTo30)
{
    std::vector<double> zero(31, 0.0), up(31, 1.0);
    for (size_t k = 0; k < 10; k++)
        up[k] = -1.0;
    NonparStats s30 = nonparStats(std::span(zero).first(30), std::span(up).first(30), 0.0);
    EXPECT_TRUE(s30.exactW);
    EXPECT_NEAR(s30.pW, binomialTest(30, 20), 1e-15);
    NonparStats s31 = nonparStats(zero, up, 0.0);
    EXPECT_FALSE(s31.exactW);
    // 21 positive of 31: z = |21 - 0.5 - 15.5| / (sqrt(31) / 2)
    EXPECT_NEAR(s31.zW, 5.0 / (std::sqrt(31.0) / 2.0), 1e-12);
}

}  // namespace
