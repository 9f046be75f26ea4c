// The unordered kernel variants against a plain field-at-a-time Fitch
// reference and against each other: random lanes of every field width and
// many lane counts (odd counts leave a tail the vector loop does not cover),
// and through the packed data, bounded join lengths and whole-tree lengths.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "parsimony/calcsets.h"
#include "parsimony/kernels/uno_kernels.h"
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
    UnoLanes lanes(uint32_t n) const { return {notTop.data(), shift.data(), countMask.data(), n}; }
};

LaneSet randomLanes(std::mt19937_64 &rng, uint32_t n)
{
    static constexpr uint32_t kWidths[] = {1, 2, 4, 8, 16, 32, 64};
    LaneSet s;
    for (uint32_t l = 0; l < n; l++) {
        uint32_t w = kWidths[rng() % 7];
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
    return s;
}

// One field at a time: the intersection when it is not empty (or the field
// does not count), else the union and one step.
struct RefJoin {
    std::vector<uint64_t> r, mask;
    std::vector<uint64_t> laneSteps;
};

RefJoin refJoin(const LaneSet &s, uint32_t n)
{
    RefJoin out;
    for (uint32_t l = 0; l < n; l++) {
        uint32_t w = static_cast<uint32_t>(s.shift[l]) + 1;
        uint64_t field = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
        uint64_t r = 0, mask = 0, steps = 0;
        for (uint32_t at = 0; at < 64; at += w) {
            uint64_t fa = (s.a[l] >> at) & field, fb = (s.b[l] >> at) & field;
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

uint64_t sum(const std::vector<uint64_t> &v, uint32_t from, uint32_t to)
{
    uint64_t n = 0;
    for (uint32_t l = from; l < to; l++)
        n += v[l];
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

TEST_P(UnoKernelGrid, JoinsAndStepsMatchFieldByFieldReference)
{
    std::vector<uint32_t> counts;
    for (uint32_t n = 0; n <= 41; n++)
        counts.push_back(n);
    for (uint32_t n : {63u, 64u, 65u, 127u, 250u, 1001u})
        counts.push_back(n);
    std::mt19937_64 rng(0x5eed0001);
    for (uint32_t n : counts)
        for (int rep = 0; rep < 3; rep++) {
            LaneSet s = randomLanes(rng, n);
            RefJoin ref = refJoin(s, n);
            UnoLanes k = s.lanes(n);
            SCOPED_TRACE(::testing::Message() << kern->name << ", " << n << " lanes, rep " << rep);
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
            }
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

}  // namespace
