// The unordered kernel variants against a plain field-at-a-time Fitch
// reference and against each other: random lanes of every field width and
// many lane counts (odd counts leave a tail the vector loop does not cover),
// and through the packed data, bounded join lengths and whole-tree lengths.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "parsimony/calcsets.h"
#include "parsimony/kernels/uno_kernels.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "parsimony/treelen.h"
#include "pars_test_support.h"

namespace {

const char *variantName(UnoKernelVariant v) { return v == UnoKernelVariant::Avx2 ? "avx2" : "generic"; }

// Restores the table in use after a test that selects one.
class KeepKernelChoice {
public:
    KeepKernelChoice() : saved_(&unoKernels()) {}
    ~KeepKernelChoice()
    {
        selectUnoKernels(saved_ == unoKernelsOf(UnoKernelVariant::Avx2) ? UnoKernelVariant::Avx2
                                                                          : UnoKernelVariant::Generic);
    }

private:
    const UnoKernels *saved_;
};

// Random lanes with their constants. Each lane has its own field width;
// countMask marks the lowest bit of a random three quarters of the fields.
struct LaneSet {
    std::vector<uint64_t> notTop, shift, countMask, a, b;
    uint32_t fieldShift = kMixedWidths;
    UnoLanes lanes(uint32_t n) const { return {notTop.data(), shift.data(), countMask.data(), n, fieldShift}; }
};

// With `width` nonzero every lane has that width, as in a matrix of one data
// type.
LaneSet randomLanes(std::mt19937_64 &rng, uint32_t n, uint32_t width = 0)
{
    static constexpr uint32_t kWidths[] = {1, 2, 4, 8, 16, 32, 64};
    LaneSet s;
    for (uint32_t l = 0; l < n; l++) {
        uint32_t w = width ? width : kWidths[rng() % 7];
        const UnoWidthParams &p = unoParams(w);
        s.notTop.push_back(p.notTop);
        s.shift.push_back(p.shift);
        uint64_t cm = 0, a = 0, b = 0;
        for (uint32_t at = 0; at < 64; at += w) {
            if (rng() % 4)
                cm |= uint64_t{1} << at;
            // One or two states per cell, now and then every state (missing).
            auto cell = [&] {
                uint64_t field = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
                if (rng() % 10 == 0)
                    return field;
                uint64_t c = uint64_t{1} << (rng() % w);
                if (rng() % 3 == 0)
                    c |= uint64_t{1} << (rng() % w);
                return c;
            };
            a |= cell() << at;
            b |= cell() << at;
        }
        s.countMask.push_back(cm);
        s.a.push_back(a);
        s.b.push_back(b);
    }
    if (width)
        s.fieldShift = width - 1;
    return s;
}

// One field at a time: the intersection when it is not empty (or the field
// does not count), else the union and one step.
struct RefJoin {
    std::vector<uint64_t> r, mask;
    std::vector<uint64_t> laneSteps;
};

RefJoin refJoin(const LaneSet &s, const std::vector<uint64_t> &A, const std::vector<uint64_t> &B, uint32_t n)
{
    RefJoin out;
    for (uint32_t l = 0; l < n; l++) {
        uint32_t w = static_cast<uint32_t>(s.shift[l]) + 1;
        uint64_t field = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
        uint64_t r = 0, mask = 0, steps = 0;
        for (uint32_t at = 0; at < 64; at += w) {
            uint64_t fa = (A[l] >> at) & field, fb = (B[l] >> at) & field;
            bool counted = (s.countMask[l] >> at) & 1;
            uint64_t fr = fa & fb;
            if (!fr && counted) {
                fr = fa | fb;
                mask |= uint64_t{1} << at;
                steps++;
            }
            r |= fr << at;
        }
        out.r.push_back(r);
        out.mask.push_back(mask);
        out.laneSteps.push_back(steps);
    }
    return out;
}

RefJoin refJoin(const LaneSet &s, uint32_t n) { return refJoin(s, s.a, s.b, n); }

uint64_t sum(const std::vector<uint64_t> &v, uint32_t from, uint32_t to)
{
    uint64_t n = 0;
    for (uint32_t l = from; l < to; l++)
        n += v[l];
    return n;
}

// The budgets a bounded count meets: none left, the first word's count,
// passed inside and at the end of a vector chunk, just met and one short of
// the total, and more than enough.
std::vector<int64_t> budgetsFor(const std::vector<uint64_t> &laneSteps, std::mt19937_64 &rng)
{
    const auto total = static_cast<int64_t>(sum(laneSteps, 0, static_cast<uint32_t>(laneSteps.size())));
    std::vector<int64_t> budgets{-1, 0, total - 1, total, total + 5, INT64_MAX};
    if (laneSteps.size() >= 2)
        budgets.push_back(static_cast<int64_t>(laneSteps[0] + laneSteps[1]));
    for (int q = 0; q < 4 && total > 0; q++)
        budgets.push_back(static_cast<int64_t>(rng() % static_cast<uint64_t>(total)));
    return budgets;
}

// Word by word (two lanes each) until the count passes the budget.
uint64_t refStepsWithin(const std::vector<uint64_t> &laneSteps, int64_t budget)
{
    uint64_t n = 0;
    for (size_t l = 0; l + 1 < laneSteps.size(); l += 2) {
        n += laneSteps[l] + laneSteps[l + 1];
        if (static_cast<int64_t>(n) > budget)
            break;
    }
    return n;
}

class UnoKernelGrid : public ::testing::TestWithParam<UnoKernelVariant> {
protected:
    void SetUp() override
    {
        kern = unoKernelsOf(GetParam());
        if (!kern)
            GTEST_SKIP() << "this CPU (or build) has no " << variantName(GetParam()) << " kernels";
    }
    const UnoKernels *kern = nullptr;
};

// Every entry of the table against the reference, on lanes of mixed widths
// and on lanes of one width (1 to 64 bits a field: two to 64 states) where
// a kernel may count differently.
void checkJoinsAndSteps(const UnoKernels *kern, std::mt19937_64 &rng, uint32_t n, uint32_t width)
{
    LaneSet s = randomLanes(rng, n, width);
    RefJoin ref = refJoin(s, n);
    UnoLanes k = s.lanes(n);
    SCOPED_TRACE(::testing::Message() << kern->name << ", " << n << " lanes of width " << width);
    std::vector<uint64_t> r(n + 1, 0xdead), mask(n + 1, 0xdead);
    EXPECT_EQ(kern->join(k, s.a.data(), s.b.data(), r.data()), sum(ref.laneSteps, 0, n));
    EXPECT_EQ(std::vector<uint64_t>(r.begin(), r.begin() + n), ref.r);
    EXPECT_EQ(r[n], 0xdeadu) << "wrote past the last lane";
    std::fill(r.begin(), r.end(), 0);
    EXPECT_EQ(kern->joinMask(k, s.a.data(), s.b.data(), r.data(), mask.data()), sum(ref.laneSteps, 0, n));
    EXPECT_EQ(std::vector<uint64_t>(r.begin(), r.begin() + n), ref.r);
    EXPECT_EQ(std::vector<uint64_t>(mask.begin(), mask.begin() + n), ref.mask);
    EXPECT_EQ(mask[n], 0xdeadu) << "wrote past the last lane";
    // Ranges starting anywhere, so that vector loads are unaligned.
    for (int q = 0; q < 4 && n; q++) {
        uint32_t from = static_cast<uint32_t>(rng() % n), to = from + static_cast<uint32_t>(rng() % (n - from + 1));
        EXPECT_EQ(kern->steps(k, s.a.data(), s.b.data(), from, to), sum(ref.laneSteps, from, to))
            << "lanes " << from << ".." << to;
        std::vector<uint64_t> m(n + 1, 0xdead);
        EXPECT_EQ(kern->stepMask(k, s.a.data(), s.b.data(), m.data(), from, to), sum(ref.laneSteps, from, to));
        for (uint32_t l = 0; l <= n; l++)
            ASSERT_EQ(m[l], l >= from && l < to ? ref.mask[l] : 0xdeadu) << "lane " << l << " of " << from << ".." << to;
    }
    // A class holds whole packed words: the bounded count takes even counts.
    if (n % 2 == 0) {
        for (int64_t budget : budgetsFor(ref.laneSteps, rng)) {
            EXPECT_EQ(kern->stepsWithin(k, s.a.data(), s.b.data(), budget), refStepsWithin(ref.laneSteps, budget))
                << "budget " << budget;
            EXPECT_EQ(kern->stepsWithinFor(k)(k, s.a.data(), s.b.data(), budget),
                      refStepsWithin(ref.laneSteps, budget))
                << "the form chosen for these lanes, budget " << budget;
        }
        // Two counts in one call, against a second set with many empty
        // fields (more steps): under most budgets one count passes it
        // chunks before the other, which must go on to its own end.
        std::vector<uint64_t> b1(n);
        for (uint32_t l = 0; l < n; l++)
            b1[l] = rng() & (s.a[l] | s.b[l]);
        const RefJoin ref1 = refJoin(s, s.a, b1, n);
        std::vector<int64_t> budgets = budgetsFor(ref.laneSteps, rng);
        for (int64_t b : budgetsFor(ref1.laneSteps, rng))
            budgets.push_back(b);
        const UnoStepsWithinPairFxn pair = kern->stepsWithinPairFor(k);
        for (int64_t budget : budgets) {
            uint64_t out[2] = {~uint64_t{0}, ~uint64_t{0}};
            pair(k, s.a.data(), s.b.data(), b1.data(), budget, out);
            EXPECT_EQ(out[0], refStepsWithin(ref.laneSteps, budget)) << "pair, first, budget " << budget;
            EXPECT_EQ(out[1], refStepsWithin(ref1.laneSteps, budget)) << "pair, second, budget " << budget;
            pair(k, s.a.data(), b1.data(), s.b.data(), budget, out);
            EXPECT_EQ(out[0], refStepsWithin(ref1.laneSteps, budget)) << "pair swapped, first, budget " << budget;
            EXPECT_EQ(out[1], refStepsWithin(ref.laneSteps, budget)) << "pair swapped, second, budget " << budget;
        }
    }
}

TEST_P(UnoKernelGrid, JoinsAndStepsMatchFieldByFieldReference)
{
    std::vector<uint32_t> counts;
    for (uint32_t n = 0; n <= 41; n++)
        counts.push_back(n);
    // Past 15 and 31 vectors, where the step counters fold their partial sums.
    for (uint32_t n : {63u, 64u, 65u, 127u, 250u, 1001u})
        counts.push_back(n);
    std::mt19937_64 rng(0x5eed0001);
    for (uint32_t n : counts)
        for (uint32_t width : {0u, 0u, 0u, 1u, 2u, 4u, 8u, 16u, 32u, 64u})
            checkJoinsAndSteps(kern, rng, n, width);
}

// The incremental rule against the reference: flagged words are joined and
// compared with the stored sets; only a changed word gets a final set and
// keeps its flag. Stored sets start right in about half the words, so that
// both outcomes meet in neighbouring words (and in word pairs).
TEST_P(UnoKernelGrid, IncrementalUpdateMatchesReference)
{
    std::mt19937_64 rng(0x5eed0003);
    for (uint32_t words : {1u, 2u, 3u, 31u, 64u, 65u, 130u, 200u})
        for (uint32_t width : {0u, 2u, 4u, 64u})
            for (int rep = 0; rep < 4; rep++) {
                SCOPED_TRACE(::testing::Message() << kern->name << ", " << words << " words, width " << width
                                                  << ", flag density " << rep);
                // From most words flagged (as right after a cut) to a few
                // (far from it), where a kernel may take another path.
                const uint64_t flaggedPerMille[] = {800, 500, 1000, 30};
                const uint32_t n = 2 * words;
                LaneSet s = randomLanes(rng, n, width);
                LaneSet extra = randomLanes(rng, n, width);
                const std::vector<uint64_t> &above = extra.a;
                RefJoin down = refJoin(s, n);
                std::vector<uint64_t> stored = extra.b, dirty((words + 63) / 64 + 1, 0);
                for (uint32_t w = 0; w < words; w++) {
                    if (rng() % 2)
                        stored[2 * w] = down.r[2 * w], stored[2 * w + 1] = down.r[2 * w + 1];
                    if (rng() % 1000 < flaggedPerMille[rep])
                        dirty[w / 64] |= uint64_t{1} << (w % 64);
                }
                RefJoin fin = refJoin(s, down.r, above, n);
                std::vector<uint64_t> expectStored = stored, expectFinal(n, 0xf00d), expectDirty = dirty;
                int expectChanged = 0;
                for (uint32_t w = 0; w < words; w++) {
                    if (!((dirty[w / 64] >> (w % 64)) & 1))
                        continue;
                    bool same = stored[2 * w] == down.r[2 * w] && stored[2 * w + 1] == down.r[2 * w + 1];
                    for (uint32_t l = 2 * w; l < 2 * w + 2; l++) {
                        expectStored[l] = down.r[l];
                        if (!same)
                            expectFinal[l] = fin.r[l];
                    }
                    if (same)
                        expectDirty[w / 64] &= ~(uint64_t{1} << (w % 64));
                    expectChanged |= !same;
                }
                std::vector<uint64_t> final(n, 0xf00d);
                EXPECT_EQ(kern->update(s.lanes(n), s.a.data(), s.b.data(), stored.data(), above.data(), final.data(),
                                       dirty.data()),
                          expectChanged);
                EXPECT_EQ(stored, expectStored);
                EXPECT_EQ(final, expectFinal);
                EXPECT_EQ(dirty, expectDirty);
            }
}

// A join in place (the result over one of its operands) as the set passes
// do not make, but a kernel must not read a lane after writing it.
TEST_P(UnoKernelGrid, ResultMayOverwriteAnOperand)
{
    std::mt19937_64 rng(0x5eed0002);
    for (uint32_t n : {2u, 7u, 130u}) {
        LaneSet s = randomLanes(rng, n);
        RefJoin ref = refJoin(s, n);
        std::vector<uint64_t> a = s.a;
        EXPECT_EQ(kern->join(s.lanes(n), a.data(), s.b.data(), a.data()), sum(ref.laneSteps, 0, n));
        EXPECT_EQ(a, ref.r) << n << " lanes";
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, UnoKernelGrid,
                         ::testing::Values(UnoKernelVariant::Generic, UnoKernelVariant::Avx2),
                         [](const auto &info) { return std::string(variantName(info.param)); });

// ---- Ordered kernels ---------------------------------------------------------------

// Random ordered sets over `lanes` lanes: D lanes, then P lanes with D a
// subset of P (above, not above, or either, per subcharacter bit).
std::vector<uint64_t> randomWagSets(std::mt19937_64 &rng, uint32_t lanes)
{
    std::vector<uint64_t> v(2 * lanes);
    for (uint32_t l = 0; l < lanes; l++) {
        uint64_t p = rng() | rng(), d = p & rng() & rng();
        v[l] = d;
        v[lanes + l] = p;
    }
    return v;
}

// Bit by bit: a set may be above (P) or not above (not D); the join is the
// intersection of the two when it is not empty, else their union and a step.
struct RefWag {
    std::vector<uint64_t> r, mask, laneSteps;
};

RefWag refWagJoin(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b, uint32_t lanes)
{
    RefWag out;
    out.r.assign(2 * lanes, 0);
    for (uint32_t l = 0; l < lanes; l++) {
        uint64_t mask = 0;
        for (uint32_t bit = 0; bit < 64; bit++) {
            bool aUp = (a[lanes + l] >> bit) & 1, aNot = !((a[l] >> bit) & 1);
            bool bUp = (b[lanes + l] >> bit) & 1, bNot = !((b[l] >> bit) & 1);
            bool up = aUp && bUp, no = aNot && bNot;
            if (!up && !no) {
                up = aUp || bUp;
                no = aNot || bNot;
                mask |= uint64_t{1} << bit;
            }
            out.r[l] |= uint64_t{!no} << bit;
            out.r[lanes + l] |= uint64_t{up} << bit;
        }
        out.mask.push_back(mask);
        out.laneSteps.push_back(static_cast<uint64_t>(std::popcount(mask)));
    }
    return out;
}

class WagKernelGrid : public ::testing::TestWithParam<UnoKernelVariant> {
protected:
    void SetUp() override
    {
        kern = wagKernelsOf(GetParam());
        if (!kern)
            GTEST_SKIP() << "this CPU (or build) has no " << variantName(GetParam()) << " kernels";
    }
    const WagKernels *kern = nullptr;
};

TEST_P(WagKernelGrid, JoinsStepsAndUpdatesMatchBitByBitReference)
{
    std::mt19937_64 rng(0x5eed0004);
    for (uint32_t words : {0u, 1u, 2u, 3u, 5u, 8u, 33u, 64u, 65u, 140u}) {
        const uint32_t lanes = 2 * words;
        SCOPED_TRACE(::testing::Message() << kern->name << ", " << lanes << " lanes");
        std::vector<uint64_t> a = randomWagSets(rng, lanes), b = randomWagSets(rng, lanes);
        RefWag ref = refWagJoin(a, b, lanes);
        std::vector<uint64_t> r(2 * lanes + 1, 0xdead), mask(lanes + 1, 0xdead);
        EXPECT_EQ(kern->join(lanes, a.data(), b.data(), r.data()), sum(ref.laneSteps, 0, lanes));
        EXPECT_EQ(std::vector<uint64_t>(r.begin(), r.begin() + 2 * lanes), ref.r);
        EXPECT_EQ(r[2 * lanes], 0xdeadu);
        std::fill(r.begin(), r.end(), 0);
        EXPECT_EQ(kern->joinMask(lanes, a.data(), b.data(), r.data(), mask.data()), sum(ref.laneSteps, 0, lanes));
        EXPECT_EQ(std::vector<uint64_t>(r.begin(), r.begin() + 2 * lanes), ref.r);
        EXPECT_EQ(std::vector<uint64_t>(mask.begin(), mask.begin() + lanes), ref.mask);
        EXPECT_EQ(mask[lanes], 0xdeadu);
        for (int q = 0; q < 4 && lanes; q++) {
            uint32_t from = static_cast<uint32_t>(rng() % lanes);
            uint32_t to = from + static_cast<uint32_t>(rng() % (lanes - from + 1));
            EXPECT_EQ(kern->steps(lanes, a.data(), b.data(), from, to), sum(ref.laneSteps, from, to));
            std::vector<uint64_t> m(lanes, 0xdead);
            EXPECT_EQ(kern->stepMask(lanes, a.data(), b.data(), m.data(), from, to), sum(ref.laneSteps, from, to));
            for (uint32_t l = 0; l < lanes; l++)
                ASSERT_EQ(m[l], l >= from && l < to ? ref.mask[l] : 0xdeadu) << "lane " << l;
        }

        for (int64_t budget : budgetsFor(ref.laneSteps, rng))
            EXPECT_EQ(kern->stepsWithin(lanes, a.data(), b.data(), budget), refStepsWithin(ref.laneSteps, budget))
                << "budget " << budget;

        // The incremental rule, stored sets right in about half the words.
        std::vector<uint64_t> above = randomWagSets(rng, lanes), stored = randomWagSets(rng, lanes);
        std::vector<uint64_t> dirty((words + 63) / 64 + 1, 0);
        for (uint32_t w = 0; w < words; w++) {
            if (rng() % 2)
                for (uint32_t l = 2 * w; l < 2 * w + 2; l++)
                    stored[l] = ref.r[l], stored[lanes + l] = ref.r[lanes + l];
            if (rng() % 5)
                dirty[w / 64] |= uint64_t{1} << (w % 64);
        }
        RefWag fin = refWagJoin(ref.r, above, lanes);
        std::vector<uint64_t> expectStored = stored, expectFinal(2 * lanes, 0xf00d), expectDirty = dirty;
        int expectChanged = 0;
        for (uint32_t w = 0; w < words; w++) {
            if (!((dirty[w / 64] >> (w % 64)) & 1))
                continue;
            bool same = true;
            for (uint32_t l = 2 * w; l < 2 * w + 2; l++)
                same = same && stored[l] == ref.r[l] && stored[lanes + l] == ref.r[lanes + l];
            for (uint32_t l = 2 * w; l < 2 * w + 2; l++)
                for (uint32_t half : {0u, lanes}) {
                    expectStored[half + l] = ref.r[half + l];
                    if (!same)
                        expectFinal[half + l] = fin.r[half + l];
                }
            if (same)
                expectDirty[w / 64] &= ~(uint64_t{1} << (w % 64));
            expectChanged |= !same;
        }
        std::vector<uint64_t> final(2 * lanes, 0xf00d);
        EXPECT_EQ(kern->update(lanes, a.data(), b.data(), stored.data(), above.data(), final.data(), dirty.data()),
                  expectChanged);
        EXPECT_EQ(stored, expectStored);
        EXPECT_EQ(final, expectFinal);
        EXPECT_EQ(dirty, expectDirty);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, WagKernelGrid,
                         ::testing::Values(UnoKernelVariant::Generic, UnoKernelVariant::Avx2),
                         [](const auto &info) { return std::string(variantName(info.param)); });

TEST(UnoKernelChoice, SelectingAVariantIsSeenByTheSetPasses)
{
    KeepKernelChoice keep;
    ASSERT_TRUE(selectUnoKernels(UnoKernelVariant::Generic));
    EXPECT_STREQ(unoKernels().name, "generic");
    if (!unoKernelsAvailable(UnoKernelVariant::Avx2)) {
        EXPECT_FALSE(selectUnoKernels(UnoKernelVariant::Avx2));
        EXPECT_STREQ(unoKernels().name, "generic") << "a refused choice changed the table";
        GTEST_SKIP() << "this CPU has no AVX2; only the refusal was checked";
    }
    ASSERT_TRUE(selectUnoKernels(UnoKernelVariant::Avx2));
    EXPECT_STREQ(unoKernels().name, "avx2");
    EXPECT_STREQ(wagKernels().name, "avx2");
}

// Run by ctest once more with VORN_KERNELS=generic: the first choice then is
// the generic table even on a CPU with AVX2.
TEST(UnoKernelChoice, EnvironmentForcesTheGenericTable)
{
    const char *want = std::getenv("VORN_KERNELS");
    if (!want || std::strcmp(want, "generic") != 0)
        GTEST_SKIP() << "VORN_KERNELS is not \"generic\" in this run";
    EXPECT_STREQ(unoKernels().name, "generic");
}

// ---- Through the packed data ----------------------------------------------------

class UnoKernelsOnData : public ParsDataTest {
protected:
    // Enough three-state characters for several blocks of the bounded join.
    void makeRandomData(std::mt19937 &rng, uint32_t ntax, uint32_t nchar)
    {
        std::vector<std::string> rows(ntax, std::string(nchar, '0'));
        for (auto &row : rows)
            for (char &c : row)
                c = static_cast<char>('0' + rng() % 3);
        makeData(rows);
    }
    void buildScoredTree(std::mt19937 &rng)
    {
        buildTree(randomTree(rng, data->ntax));
        pointTreeAtPackedData(tree.get(), data);
    }
    // The unordered steps of each packed word between two set records,
    // field by field.
    std::vector<uint64_t> wordSteps(const ParsNodeSets *a, const ParsNodeSets *b)
    {
        const PackedData *pd = packedData(data);
        LaneSet s;
        uint32_t n = 2 * pd->unoWords;
        s.notTop = pd->unoNotTop;
        s.shift = pd->unoShift;
        s.countMask = pd->unoCountMask;
        s.a.assign(a->uno, a->uno + n);
        s.b.assign(b->uno, b->uno + n);
        RefJoin ref = refJoin(s, n);
        std::vector<uint64_t> words;
        for (uint32_t w = 0; w < pd->unoWords; w++)
            words.push_back(ref.laneSteps[2 * w] + ref.laneSteps[2 * w + 1]);
        return words;
    }
};

// With a bound, the length returned is the sum up to the first word that
// passes it, whichever kernel counted and wherever the block edges fall.
TEST_F(UnoKernelsOnData, BoundedJoinStopsAtTheFirstWordPastTheBound)
{
    KeepKernelChoice keep;
    std::mt19937 rng(424242);
    makeRandomData(rng, 9, 3000);
    buildScoredTree(rng);
    calcTreeLength(data, tree.get(), true, false);
    ASSERT_GT(packedData(data)->unoWords, 64u) << "the data must span several blocks";
    for (int pair = 0; pair < 6; pair++) {
        const ParsNodeSets *a = nodeSets(tree->nodes[1 + rng() % 8].abm[0]);
        const ParsNodeSets *b = nodeSets(tree->nodes[10 + rng() % 7].abm[0]);
        std::vector<uint64_t> words = wordSteps(a, b);
        uint64_t total = sum(words, 0, static_cast<uint32_t>(words.size()));
        ASSERT_GT(total, 0u);
        for (double start : {0.0, 17.0})
            for (uint64_t bound : {uint64_t{0}, total / 3, total - 1, total, total + 5}) {
                double expectLen = start;
                int expectOver = 0;
                for (uint64_t s : words) {
                    expectLen += static_cast<double>(s);
                    if (expectLen > static_cast<double>(bound)) {
                        expectOver = 1;
                        break;
                    }
                }
                for (UnoKernelVariant v : {UnoKernelVariant::Generic, UnoKernelVariant::Avx2}) {
                    if (!selectUnoKernels(v))
                        continue;
                    double len = start;
                    EXPECT_EQ(unoAddSpan_Fast(data, a, b, false, &len, static_cast<double>(bound)), expectOver)
                        << variantName(v) << " bound " << bound;
                    EXPECT_EQ(len, expectLen) << variantName(v) << " bound " << bound << " start " << start;
                }
            }
    }
}

// The general span scores (weights, per-character counts, a bound) of both
// classes give the same flag, length and counts with every variant, on
// data of 2 to 63 states.
TEST_F(UnoKernelsOnData, WeightedBoundedSpansAgreeBetweenVariants)
{
    KeepKernelChoice keep;
    std::mt19937 rng(9090);
    for (uint32_t nstates : {2u, 4u, 5u, 9u, 17u, 33u, 63u}) {
        dropData();
        data = makeRandomParsData(rng, 10, 300 + rng() % 400, nstates, true);
        tree.reset(createTreeForTaxa(data->ntax, data->ntax, true));
        buildScoredTree(rng);
        calcTreeLength(data, tree.get(), true, false);
        PackedData *pd = packedData(data);
        ASSERT_GT(pd->ordWords + pd->unoWords, 0u);
        for (int pair = 0; pair < 6; pair++) {
            const ParsNodeSets *a = nodeSets(tree->nodes[1 + rng() % 9].abm[0]);
            const ParsNodeSets *b = nodeSets(tree->nodes[11 + rng() % 8].abm[0]);
            double full = 0.0;
            unoAddSpan(data, a, b, false, &full, kNoScore);
            wagAddSpan(data, a, b, false, &full, kNoScore);
            for (double bound : {0.0, std::floor(full / 3), full - 1, full, kNoScore})
                for (bool perChar : {false, true}) {
                    int over[2][2];
                    double len[2][2];
                    std::vector<int32_t> steps[2];
                    for (int v = 0; v < 2; v++) {
                        if (!selectUnoKernels(v ? UnoKernelVariant::Avx2 : UnoKernelVariant::Generic))
                            GTEST_SKIP() << "this CPU has no AVX2: there is no second variant to compare";
                        std::fill(pd->steps.begin(), pd->steps.end(), 0);
                        len[v][0] = len[v][1] = 0.0;
                        over[v][0] = unoAddSpan(data, a, b, perChar, &len[v][0], bound);
                        over[v][1] = wagAddSpan(data, a, b, perChar, &len[v][1], bound);
                        steps[v] = pd->steps;
                    }
                    SCOPED_TRACE(::testing::Message() << nstates << " states, bound " << bound << ", perChar " << perChar);
                    EXPECT_EQ(over[0][0], over[1][0]);
                    EXPECT_EQ(over[0][1], over[1][1]);
                    EXPECT_EQ(len[0][0], len[1][0]);
                    EXPECT_EQ(len[0][1], len[1][1]);
                    EXPECT_EQ(steps[0], steps[1]);
                    if (bound >= kNoScore) {
                        EXPECT_EQ(len[0][0] + len[0][1], full);
                    }
                }
        }
    }
}

// The one-call span of both classes gives what the class-by-class span
// gives, with each kernel variant, for bounds passed in the ordered class,
// in the unordered one, met exactly and never; and is not offered for
// weighted data.
TEST_F(UnoKernelsOnData, OneCallSpanEqualsTheSpanClassByClass)
{
    KeepKernelChoice keep;
    std::mt19937 rng(5150);
    for (uint32_t nstates : {3u, 5u, 17u}) {
        dropData();
        data = makeRandomParsData(rng, 12, 200 + rng() % 300, nstates, false);
        tree.reset(createTreeForTaxa(data->ntax, data->ntax, true));
        buildScoredTree(rng);
        calcTreeLength(data, tree.get(), true, false);
        ASSERT_TRUE(fastSpanApplies(data));
        const PackedData *pd = packedData(data);
        ASSERT_GT(pd->ordWords, 0u);
        ASSERT_GT(pd->unoWords, 0u);
        for (int pair = 0; pair < 8; pair++) {
            const ParsNodeSets *a = nodeSets(tree->nodes[1 + rng() % 11].abm[0]);
            const ParsNodeSets *b = nodeSets(tree->nodes[13 + rng() % 10].abm[0]);
            double ord = 0.0, all = 0.0;
            wagAddSpan_Fast(data, a, b, false, &ord, kNoScore);
            frvAddSpan(data, a, b, false, &all, kNoScore);
            for (UnoKernelVariant v : {UnoKernelVariant::Generic, UnoKernelVariant::Avx2}) {
                if (!selectUnoKernels(v))
                    continue;
                for (double start : {0.0, 40.0})
                    for (double bound : {start - 1, start + std::floor(ord / 2), start + ord + 1,
                                         start + all - 1, start + all, kNoScore}) {
                        double classByClass = start;
                        const int over = frvAddSpan(data, a, b, false, &classByClass, bound);
                        const int64_t limit = fastSpanLimit(bound);
                        const int64_t oneCall =
                            fastSpanScorer(data).length(a, b, static_cast<int64_t>(start), limit);
                        EXPECT_EQ(oneCall > limit, over != 0)
                            << variantName(v) << " bound " << bound << " start " << start;
                        EXPECT_EQ(static_cast<double>(oneCall), classByClass)
                            << variantName(v) << " bound " << bound << " start " << start;
                    }
            }
        }
    }
    dropData();
    data = makeRandomParsData(rng, 8, 100, 4, true);
    EXPECT_FALSE(fastSpanApplies(data));
}

// Whole-tree lengths, per character and in total, are the same with either
// table on random trees. (Each table against an independent scorer: the
// whole parsimony suite runs once per table, see tests/CMakeLists.txt.)
TEST_F(UnoKernelsOnData, TreeLengthsAgreeBetweenVariants)
{
    if (!unoKernelsAvailable(UnoKernelVariant::Avx2))
        GTEST_SKIP() << "this CPU has no AVX2: there is no second variant to compare";
    KeepKernelChoice keep;
    std::mt19937 rng(777);
    for (uint32_t trial = 0; trial < 4; trial++) {
        makeRandomData(rng, 6 + trial * 5, 200 + 700 * trial);
        for (int t = 0; t < 3; t++) {
            buildScoredTree(rng);
            double len[2];
            std::vector<int32_t> steps[2];
            for (int v = 0; v < 2; v++) {
                selectUnoKernels(v ? UnoKernelVariant::Avx2 : UnoKernelVariant::Generic);
                len[v] = calcTreeLength(data, tree.get(), true, true);
                steps[v] = packedData(data)->steps;
            }
            EXPECT_EQ(len[0], len[1]) << "trial " << trial << " tree " << t;
            EXPECT_EQ(steps[0], steps[1]) << "trial " << trial << " tree " << t;
            EXPECT_GT(len[0], 0.0);
        }
    }
}

// The whole-tree down pass lists the forks and joins them apart from the
// class records when the unordered class alone is present: it must give the
// sets and lengths of the fork-by-fork pass on binary and polytomous trees,
// and stop where that pass stops when the length passes the integer range.
TEST_F(UnoKernelsOnData, DownPassEqualsTheForkByForkPass)
{
    std::mt19937 rng(4242);
    // Every character shows three states: two-state ones would be packed
    // with the ordered class.
    std::vector<std::string> rows(12, std::string(700, '0'));
    for (uint32_t t = 0; t < rows.size(); t++)
        for (char &c : rows[t])
            c = static_cast<char>('0' + (t < 3 ? t : rng() % 3));
    makeData(rows);
    ASSERT_TRUE(plainUnoJoinChain(data, false));
    EXPECT_FALSE(plainUnoJoinChain(data, true));
    const uint32_t lanes = 2 * packedData(data)->unoWords;
    // Every down set, garbage first so that a fork the pass skips shows.
    auto pass = [&](bool whole, double start, std::vector<uint64_t> &sets) {
        for (TreeNode *n = tree->tail; n; n = n->prev)
            if (n->firstChild)
                std::fill_n(nodeSets(n->abm[0])->uno, lanes, ~uint64_t{0} / 3);
        double len = start;
        if (whole) {
            calcAllPrelimSets(data, tree.get(), false, &len);
        } else {
            for (TreeNode *n = tree->tail; n && lengthIsValid(len); n = n->prev)
                if (n->firstChild)
                    calcPrelimSets(data, n, false, &len);
        }
        sets.clear();
        for (TreeNode *n = tree->tail; n; n = n->prev)
            if (n->firstChild)
                sets.insert(sets.end(), nodeSets(n->abm[0])->uno, nodeSets(n->abm[0])->uno + lanes);
        return len;
    };
    const std::string polytomous = "((1,2,3),((4,5),(6,7,8,9)),(10,11))";
    for (int t = 0; t < 4; t++) {
        buildTree(t == 3 ? polytomous : randomTree(rng, data->ntax));
        pointTreeAtPackedData(tree.get(), data);
        std::vector<uint64_t> whole, byFork;
        const double len = pass(false, 0.0, byFork);
        EXPECT_EQ(pass(true, 0.0, whole), len) << "tree " << t;
        EXPECT_EQ(whole, byFork) << "tree " << t;
        // A start that the pass carries past the range half way through.
        const double start = 2147483648.0 - std::floor(len / 2);
        const double stopped = pass(false, start, byFork);
        EXPECT_FALSE(lengthIsValid(stopped));
        EXPECT_LT(stopped, start + len) << "tree " << t;
        EXPECT_EQ(pass(true, start, whole), stopped) << "tree " << t;
        EXPECT_EQ(whole, byFork) << "tree " << t;
    }
    dropData();
    data = makeRandomParsData(rng, 8, 100, 4, false);
    EXPECT_FALSE(plainUnoJoinChain(data, false)) << "ordered characters too";
}

}  // namespace
