// Every kernel table this CPU runs against the generic double-precision
// one, on random trees and data; the same scores on any number of threads;
// a tree deep enough to underflow without rescaling.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kernel_test_support.h"
#include "qel/qel_multithread.h"

using namespace liktest;

namespace {

constexpr uint32_t kAll = kLikModeLnL | kLikModeD1 | kLikModeD2;

std::vector<const LikKernels *> tablesFor(int n)
{
    std::vector<const LikKernels *> t{&likKernels_Gen(), &likKernels_SP()};
    if (n == 4)
        t.push_back(&likKernels_Dna());
    for (LikIsa isa : {LikIsa::Sse, LikIsa::Avx2})
        if (n >= 4) {
            if (const LikKernels *k = likKernelsOf(n == 4 ? LikKernelSet::Dna_Vec : LikKernelSet::Gen_Vec, isa))
                t.push_back(k);
            if (const LikKernels *k = n == 4 ? likKernelsOf(LikKernelSet::Dna_DVec, isa) : nullptr)
                t.push_back(k);
        }
    return t;
}

std::vector<const LikKernels *> doubleVectorTables()
{
    std::vector<const LikKernels *> t;
    for (LikIsa isa : {LikIsa::Sse, LikIsa::Avx2})
        if (const LikKernels *k = likKernelsOf(LikKernelSet::Dna_DVec, isa))
            t.push_back(k);
    return t;
}

void expectSameBits(const Outcome &o, const Outcome &ref)
{
    EXPECT_EQ(o.res.lnL, ref.res.lnL);
    EXPECT_EQ(o.res.d1, ref.res.d1);
    EXPECT_EQ(o.res.d2, ref.res.d2);
    EXPECT_EQ(o.cl, ref.cl);
}

int rootChild(const Problem &pr, bool tip)
{
    for (int k : pr.nodes[0].kids)
        if ((pr.nodes[k].tip >= 0) == tip)
            return k;
    return -1;
}

// Values below `tiny` (single precision: the subnormal floats, which keep
// fewer digits) are compared in absolute terms.
void expectSameCLs(const std::vector<double> &got, const std::vector<double> &ref, int n, double tol, double tiny,
                   const char *name)
{
    ASSERT_EQ(got.size(), ref.size());
    int bad = 0;
    for (size_t item = 0; item < ref.size(); item += n) {
        double top = 0;
        for (int i = 0; i < n; ++i)
            top = std::max(top, ref[item + i]);
        for (int i = 0; i < n; ++i) {
            const bool off = !near(got[item + i], ref[item + i], tol, std::max(1e-6 * top, tiny));
            if (off && bad < 3)
                ADD_FAILURE() << "item " << item / n << " state " << i << ": " << got[item + i] << " vs "
                              << ref[item + i] << " (largest " << top << ")";
            bad += off;
        }
    }
    EXPECT_EQ(bad, 0) << name;
}

struct GridCase {
    int n;
    int ntax;
    double shape;
    int ncat;
    bool median;
    double pinv;
};

TEST(LikKernelGrid, EveryTableAgreesWithTheGenericDoubleTable)
{
    std::mt19937_64 rng(2024);
    const GridCase cases[] = {
        {4, 10, 0.1, 4, false, 0.2}, {4, 14, 1.25, 6, true, 0},   {4, 9, 100, 1, false, 0.4},
        {20, 8, 1.25, 4, false, 0.1}, {20, 6, 0.1, 1, true, 0},    {2, 12, 100, 4, true, 0.3},
        {3, 10, 1.25, 6, false, 0},   {5, 9, 0.1, 4, true, 0.15},  {6, 11, 1.25, 1, false, 0},
        {7, 8, 100, 6, false, 0.25},  {8, 9, 1.25, 4, true, 0},
    };
    for (const GridCase &c : cases)
        for (bool rescale : {false, true}) {
            Problem pr;
            pr.m = randomModel(rng, c.n);
            setGamma(pr.m, c.shape, c.ncat, c.median, c.pinv);
            randomTree(pr, rng, c.ntax, 0.3);
            randomData(pr, rng, 37, c.n > 2 ? 3 : 0);
            pr.rescale = rescale;
            pr.threshold = 0.3;
            for (bool tipEdge : {false, true}) {
                const int child = rootChild(pr, tipEdge);
                const Outcome ref = runTable(pr, likKernels_Gen(), child, kAll);
                for (const LikKernels *K : tablesFor(c.n)) {
                    SCOPED_TRACE(testing::Message() << K->name << " n=" << c.n << " rescale=" << rescale
                                                    << " tip=" << tipEdge << " cats=" << c.ncat);
                    const double tol = K->precision == LikPrecision::Double ? 1e-12 : 1e-5;
                    const Outcome o = runTable(pr, *K, child, kAll);
                    EXPECT_TRUE(near(o.res.lnL, ref.res.lnL, tol)) << o.res.lnL << " vs " << ref.res.lnL;
                    const double scale = std::fabs(ref.res.lnL);
                    EXPECT_TRUE(near(o.res.d1, ref.res.d1, tol, scale)) << o.res.d1 << " vs " << ref.res.d1;
                    EXPECT_TRUE(near(o.res.d2, ref.res.d2, tol, scale)) << o.res.d2 << " vs " << ref.res.d2;
                    expectSameCLs(o.cl, ref.cl, c.n, tol * 10, K->precision == LikPrecision::Double ? 0 : 1e-30, K->name);
                    // Pure derivatives read no rescalers and agree with the full mode.
                    const Outcome d = runTable(pr, *K, child, kLikModeD1 | kLikModeD2);
                    EXPECT_TRUE(near(d.res.d1, o.res.d1, 1e-12, scale));
                    EXPECT_TRUE(near(d.res.d2, o.res.d2, 1e-12, scale));
                    // So does -ln L alone, which reads one matrix.
                    EXPECT_TRUE(near(runTable(pr, *K, child, kLikModeLnL).res.lnL, o.res.lnL, 1e-12));
                }
            }
        }
}

// Double-precision results print the same digits on every processor: the
// vector DNA tables give the generic Dna table's bits, CLs and sums alike,
// for any number of rate categories (whole groups of four and the rest),
// polytomies, ambiguous tips, +I, rescaling, every evaluation mode, and
// thread blocks that start anywhere.
TEST(LikKernelGrid, DoubleVectorTablesGiveTheGenericBits)
{
    const std::vector<const LikKernels *> tables = doubleVectorTables();
    if (tables.empty())
        GTEST_SKIP() << "no vector instructions for double precision on this CPU";
    const char *env = std::getenv("VORN_KERNELS");
    if (env == nullptr || std::string(env) != "generic") {
        EXPECT_EQ(&chooseLikKernels(4, false, false, false), tables.back());
    }
    std::mt19937_64 rng(4096);
    LikThreads *threads = availableProcessors() >= 3 ? createLikThreads(3) : nullptr;
    for (int ncat : {1, 3, 4, 5, 8, 9})
        for (bool rescale : {false, true}) {
            Problem pr;
            pr.m = randomModel(rng, 4);
            setGamma(pr.m, ncat == 1 ? 100 : 0.3, ncat, ncat == 5, ncat % 2 ? 0.2 : 0);
            randomTree(pr, rng, 16, 0.3, 1.5);
            randomData(pr, rng, 203, 3);
            pr.rescale = rescale;
            pr.threshold = 0.3;
            for (bool tipEdge : {false, true}) {
                const int child = rootChild(pr, tipEdge);
                for (uint32_t mode : {kAll, uint32_t{kLikModeLnL}, uint32_t{kLikModeD1}, kLikModeD1 | kLikModeD2}) {
                    const Outcome ref = runTable(pr, likKernels_Dna(), child, mode);
                    for (const LikKernels *K : tables) {
                        SCOPED_TRACE(testing::Message() << K->name << " cats=" << ncat << " rescale=" << rescale
                                                        << " tip=" << tipEdge << " mode=" << mode);
                        expectSameBits(runTable(pr, *K, child, mode), ref);
                        if (threads != nullptr)
                            expectSameBits(runTable(pr, *K, child, mode, 0, threads),
                                           runTable(pr, likKernels_Dna(), child, mode, 0, threads));
                    }
                }
            }
        }
    destroyLikThreads(threads);
}

TEST(LikKernelGrid, ThreadBlocks)
{
    const uint32_t pat[4][2] = {{0, 3}, {3, 6}, {6, 9}, {9, 10}};
    const uint32_t cl[4][2] = {{0, 2}, {2, 4}, {4, 6}, {6, 10}};
    for (int t = 0; t < 4; ++t) {
        const LikRange p = getPatRangeForThread(t, 4, 10), c = getCLRangeForThread(t, 4, 10);
        EXPECT_EQ(p.first, pat[t][0]);
        EXPECT_EQ(p.end, pat[t][1]);
        EXPECT_EQ(c.first, cl[t][0]);
        EXPECT_EQ(c.end, cl[t][1]);
    }
    // More threads than patterns: the blocks past the end are empty.
    const LikRange last = getPatRangeForThread(7, 8, 3);
    EXPECT_EQ(last.first, last.end);
    EXPECT_EQ(getPatRangeForThread(-1, 8, 10).end, 10u);
    uint32_t f, l;
    getCategoriesForThread(5, 8, 4, &f, &l);  // two threads per category
    EXPECT_EQ(f, 2u);
    EXPECT_EQ(l, 2u);
    getCategoriesForThread(2, 3, 8, &f, &l);  // the last thread takes the rest
    EXPECT_EQ(f, 4u);
    EXPECT_EQ(l, 7u);
}

TEST(LikKernelGrid, ChunksAreWholeCacheLinesOfRescalersAndFewPerRound)
{
    for (uint32_t n : {1u, 15u, 203u, 2000u, 20000u, 1u << 22}) {
        const uint32_t c = likChunkPatterns(n);
        EXPECT_EQ(c % 16, 0u) << n;
        EXPECT_LE((n + c - 1) / c, 16u) << n;
        EXPECT_LT(c, n / 16 + 32) << n;  // not longer than needed
    }
}

TEST(LikKernelGrid, EqualScoresOnOneTwoThreeAndEightThreads)
{
    std::mt19937_64 rng(77);
    Problem pr;
    pr.m = randomModel(rng, 4);
    setGamma(pr.m, 0.5, 4, false, 0.1);
    randomTree(pr, rng, 20, 0.2);
    randomData(pr, rng, 203, 2);
    pr.rescale = true;
    pr.threshold = 0.3;
    for (const LikKernels *K : {&likKernels_Dna(), &chooseLikKernels(4, true, true, false)}) {
        const int child = rootChild(pr, false);
        const Outcome one = runTable(pr, *K, child, kAll);
        Outcome two{};
        for (int n : {1, 2, 3, 8}) {
            if (n > availableProcessors())
                continue;
            LikThreads *threads = createLikThreads(n);
            ASSERT_NE(threads, nullptr);
            const Outcome o = runTable(pr, *K, child, kAll, 0, threads);
            EXPECT_TRUE(near(o.res.lnL, one.res.lnL, 1e-12)) << K->name << " threads=" << n;
            EXPECT_TRUE(near(o.res.d1, one.res.d1, 1e-12, std::fabs(one.res.lnL))) << K->name << " threads=" << n;
            EXPECT_TRUE(near(o.res.d2, one.res.d2, 1e-12, std::fabs(one.res.lnL))) << K->name << " threads=" << n;
            EXPECT_EQ(o.cl, one.cl) << K->name << " threads=" << n;
            // Chunk sums added in chunk order: the same bits on any number
            // of threads from two on, whoever ran which chunk.
            if (n == 2)
                two = o;
            else if (n > 2) {
                EXPECT_EQ(o.res.lnL, two.res.lnL) << K->name << " threads=" << n;
                EXPECT_EQ(o.res.d1, two.res.d1) << K->name << " threads=" << n;
                EXPECT_EQ(o.res.d2, two.res.d2) << K->name << " threads=" << n;
            }
            // The calling thread running every block itself, as a group
            // whose rounds stop paying does, gives the threaded result.
            runLikRoundsSerially(threads, 1000);
            const Outcome s = runTable(pr, *K, child, kAll, 0, threads);
            EXPECT_EQ(s.res.lnL, o.res.lnL) << K->name << " threads=" << n;
            EXPECT_EQ(s.res.d1, o.res.d1) << K->name << " threads=" << n;
            EXPECT_EQ(s.cl, o.cl) << K->name << " threads=" << n;
            destroyLikThreads(threads);
        }
    }
}

// -lnL of a caterpillar in log space: the partials of every node are
// normalised to a largest value of 1 and the logarithms of the factors kept.
double logSpaceLnL(const Problem &pr)
{
    const BranchMatrices bm(pr, -1, 0);
    const int n = pr.n();
    const std::vector<double> c = pr.constLikes();
    double lnL = 0;
    for (uint32_t p = 0; p < pr.npat(); ++p) {
        if (pr.weights[p] == 0)
            continue;
        std::vector<double> catLog;
        for (uint32_t r = 0; r < pr.m.rates.size(); ++r) {
            auto partial = [&](auto &self, int node, double &logScale) -> std::vector<double> {
                std::vector<double> x(n, 1.0);
                const Node &nd = pr.nodes[node];
                if (nd.tip >= 0) {
                    for (int i = 0; i < n; ++i)
                        x[i] = pr.allows(pr.codes[nd.tip][p], i);
                    return x;
                }
                for (int kid : nd.kids) {
                    const std::vector<double> y = self(self, kid, logScale);
                    for (int i = 0; i < n; ++i) {
                        double s = 0;
                        for (int j = 0; j < n; ++j)
                            s += bm.P[kid][r][0][i * n + j] * y[j];
                        x[i] *= s;
                    }
                }
                const double top = *std::max_element(x.begin(), x.end());
                for (double &v : x)
                    v /= top;
                logScale += std::log(top);
                return x;
            };
            double logScale = 0;
            const std::vector<double> x = partial(partial, 0, logScale);
            double s = 0;
            for (int i = 0; i < n; ++i)
                s += pr.m.pi[i] * x[i];
            catLog.push_back(std::log(pr.m.probs[r] * s) + logScale);
        }
        const double top = *std::max_element(catLog.begin(), catLog.end());
        double sum = 0;
        for (double v : catLog)
            sum += std::exp(v - top);
        lnL -= pr.weights[p] * (top + std::log(sum));
    }
    return lnL;
}

TEST(LikKernelGrid, DeepCaterpillarScoresOnlyWithRescaling)
{
    std::mt19937_64 rng(9);
    Problem pr;
    pr.m = hkyModel({0.3, 0.2, 0.2, 0.3}, 2.0);
    setGamma(pr.m, 0.5, 4, false, 0);
    caterpillar(pr, 700, 0.3);
    randomData(pr, rng, 24, 0);
    const double ref = logSpaceLnL(pr);
    const int child = rootChild(pr, false);
    for (const LikKernels *K :
         {&likKernels_Dna(), &likKernels_SP(), &chooseLikKernels(4, true, true, false)}) {
        pr.rescale = true;
        pr.threshold = K->precision == LikPrecision::Double ? 1e-100 : 1e-10;
        const double tol = K->precision == LikPrecision::Double ? 1e-12 : 1e-5;
        const double lnL = runTable(pr, *K, child, kLikModeLnL).res.lnL;
        EXPECT_TRUE(near(lnL, ref, tol)) << K->name << " " << lnL << " vs " << ref;
        pr.rescale = false;
        EXPECT_EQ(runTable(pr, *K, child, kLikModeLnL).res.lnL, kLikInfiniteScore) << K->name;
    }
}

}  // namespace
