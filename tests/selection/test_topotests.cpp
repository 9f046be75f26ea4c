#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qel/qel_errormsg.h"
#include "selection/topotests.h"

namespace {

std::string gOut;

int capture(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char buffer[512];
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    gOut += buffer;
    return n;
}

// Trees over a few patterns; every pattern is one site.
struct Fixture {
    std::vector<std::vector<double>> lnl;
    TopologyTestInput in;
    explicit Fixture(std::vector<std::vector<double>> siteLnL) : lnl(std::move(siteLnL))
    {
        const size_t T = lnl.size(), P = lnl[0].size();
        in.siteLnL = &lnl;
        in.patternCounts.assign(P, 1.0);
        in.sitePatterns.resize(P);
        std::iota(in.sitePatterns.begin(), in.sitePatterns.end(), 0u);
        for (size_t k = 0; k < T; ++k) {
            in.treeNumbers.push_back(static_cast<uint32_t>(k + 1));
            in.scores.push_back(-std::accumulate(lnl[k].begin(), lnl[k].end(), 0.0));
            in.order.push_back(k);
            if (in.scores[k] < in.scores[in.best])
                in.best = k;
        }
    }
};

TopologyTestOptions options(int32_t kh, bool sh, bool au, uint32_t reps, uint32_t seed)
{
    TopologyTestOptions o;
    o.kh = kh;
    o.sh = sh;
    o.au = au;
    o.reps = reps;
    o.seed = makeSeed1(seed);
    return o;
}

}  // namespace

// Two copies of the best tree split every replicate's vote, so both have a
// bootstrap proportion of exactly 1/2 at every scale and an AU P of 1/2; a
// tree never best gets the "~0" marker, and the copy's KH and SH P are 1.
TEST(TopologyTests, TiesSplitTheVoteAndCopiesOfTheBestAreNotRejected)
{
    Fixture f({{-1.0, -2.0, -1.5, -3.0, -2.2, -1.1},
               {-1.0, -2.0, -1.5, -3.0, -2.2, -1.1},
               {-4.0, -5.0, -4.5, -6.0, -5.2, -4.1}});
    std::vector<TopologyTestResult> res;
    ASSERT_EQ(calcTopologyTests(f.in, options(kKHBootstrap, true, true, 200, 3), res), 0);
    EXPECT_NEAR(res[0].auP, 0.5, 1e-9);
    EXPECT_NEAR(res[1].auP, 0.5, 1e-9);
    EXPECT_EQ(res[2].auP, kAUNearZero);
    EXPECT_EQ(res[1].khP, 1.0);
    EXPECT_EQ(res[1].wkhP, 1.0);
    EXPECT_EQ(res[1].shP, 1.0);
    EXPECT_EQ(res[1].wshP, 1.0);
    EXPECT_EQ(res[2].khP, 0.0);
    EXPECT_EQ(res[2].shP, 0.0);
}

// The normal approximation: identical site log-likelihoods give s.d. 0,
// t 0 and P 1; a single site gives no test at all (N - 1 = 0), shown as "-".
TEST(TopologyTests, NormalKHDegenerateCases)
{
    Fixture same({{-1.0, -2.0, -3.0}, {-1.0, -2.0, -3.0}});
    std::vector<TopologyTestResult> res;
    ASSERT_EQ(calcTopologyTests(same.in, options(kKHNormal, false, false, 0, 1), res), 0);
    EXPECT_EQ(res[1].sd, 0.0);
    EXPECT_EQ(res[1].t, 0.0);
    EXPECT_EQ(res[1].khP, 1.0);

    Fixture one({{-1.0}, {-2.0}});
    ASSERT_EQ(calcTopologyTests(one.in, options(kKHNormal, false, false, 0, 1), res), 0);
    EXPECT_TRUE(std::isnan(res[1].khP));
    const PrintHook saved = qel_printf;
    qel_printf = capture;
    gOut.clear();
    outputPvalue(0, res[1].khP);
    qel_printf = saved;
    EXPECT_EQ(gOut, "       - ");
}

// The same seed replays the same replicates; another seed draws others.
TEST(TopologyTests, SeedFixesTheReplicates)
{
    Fixture f({{-1.0, -2.0, -1.5, -3.0, -2.2}, {-1.2, -1.9, -1.4, -3.5, -2.0}, {-1.1, -2.5, -1.0, -3.1, -2.4}});
    std::vector<TopologyTestResult> a, b, c;
    ASSERT_EQ(calcTopologyTests(f.in, options(kKHBootstrap, true, true, 300, 11), a), 0);
    ASSERT_EQ(calcTopologyTests(f.in, options(kKHBootstrap, true, true, 300, 11), b), 0);
    ASSERT_EQ(calcTopologyTests(f.in, options(kKHBootstrap, true, true, 300, 12), c), 0);
    bool differs = false;
    for (size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].shP, b[k].shP);
        EXPECT_EQ(a[k].auP, b[k].auP);
        EXPECT_EQ(a[k].wkhP, b[k].wkhP);
        differs = differs || a[k].shP != c[k].shP || a[k].auP != c[k].auP;
    }
    EXPECT_TRUE(differs);
}

// Decimals follow the number of replicates (at most four); the markers and
// the normal approximation's small values have their own texts.
TEST(TopologyTests, PValueTexts)
{
    const PrintHook saved = qel_printf;
    qel_printf = capture;
    gOut.clear();
    EXPECT_EQ(outputPvalue(10000, 0.01234), 1);
    EXPECT_EQ(outputPvalue(100, 0.5), 0);
    EXPECT_EQ(outputPvalue(1000000, 0.2), 0);
    EXPECT_EQ(outputPvalue(1000, kAUNearOne), 0);
    EXPECT_EQ(outputPvalue(1000, kAUNearZero), 1);
    EXPECT_EQ(outputPvalue(0, 0.00001), 1);
    EXPECT_EQ(outputPvalue(0, 0.25), 0);
    qel_printf = saved;
    EXPECT_EQ(gOut, "  0.0123*    0.50   0.2000       ~1       ~0* <0.0001*  0.2500 ");
}

// Without RELL each replicate's trees are scored by the caller; a caller
// that gives back the dot product of counts and site log-likelihoods must
// reproduce the RELL results exactly, and a failed fit stops the tests.
TEST(TopologyTests, RefittedReplicatesGoThroughTheCaller)
{
    Fixture f({{-1.0, -2.0, -1.5, -3.0, -2.2}, {-1.2, -1.9, -1.4, -3.5, -2.0}, {-1.1, -2.5, -1.0, -3.1, -2.4}});
    uint32_t calls = 0;
    f.in.rescore = [&](size_t k, const double *counts) {
        ++calls;
        double s = 0.0;
        for (size_t p = 0; p < f.lnl[k].size(); ++p)
            s -= counts[p] * f.lnl[k][p];
        return s;
    };
    TopologyTestOptions o = options(kKHBootstrap, true, false, 50, 8);
    std::vector<TopologyTestResult> rell, refit;
    ASSERT_EQ(calcTopologyTests(f.in, o, rell), 0);
    EXPECT_EQ(calls, 0u);
    o.rell = false;
    ASSERT_EQ(calcTopologyTests(f.in, o, refit), 0);
    EXPECT_EQ(calls, 50u * 3u);
    for (size_t k = 0; k < rell.size(); ++k) {
        EXPECT_DOUBLE_EQ(rell[k].khP, refit[k].khP);
        EXPECT_DOUBLE_EQ(rell[k].shP, refit[k].shP);
        EXPECT_DOUBLE_EQ(rell[k].wshP, refit[k].wshP);
    }
    f.in.rescore = [](size_t, const double *) { return 1e37; };
    EXPECT_EQ(calcTopologyTests(f.in, o, refit), 1);
}

// Under wts=simple a replicate draws characters and each adds its own
// weight, as it does to the observed scores: a character of weight 0 adds
// nothing and one of weight 3 adds 3 at a time. Otherwise, whole weights or
// not, units of weight are drawn over the patterns in proportion to their
// weighted counts, as many as the total weight, each adding 1, as the same
// columns written out would be drawn.
TEST(TopologyTests, ReplicatesCountCharactersByTheirWeights)
{
    Fixture f({{-1.0, -2.0, -1.5, -3.0}, {-1.2, -1.9, -1.4, -3.5}});
    std::vector<std::vector<double>> drawn;
    f.in.rescore = [&](size_t k, const double *counts) {
        if (k == 0)
            drawn.emplace_back(counts, counts + 4);
        return 1.0;
    };
    TopologyTestOptions o = options(kKHBootstrap, false, false, 200, 5);
    o.rell = false;
    std::vector<TopologyTestResult> res;

    f.in.siteWeights = {0.0, 3.0, 1.0, 1.0};
    f.in.patternCounts = f.in.siteWeights;
    for (const bool simple : {true, false}) {
        drawn.clear();
        o.simpleWeights = simple;
        ASSERT_EQ(calcTopologyTests(f.in, o, res), 0);
        ASSERT_EQ(drawn.size(), 200u);
        double heavy = 0.0;
        bool oneAtATime = false;
        for (const auto &c : drawn) {
            EXPECT_EQ(c[0], 0.0);
            if (simple)
                EXPECT_EQ(std::fmod(c[1], 3.0), 0.0);
            else
                EXPECT_DOUBLE_EQ(c[0] + c[1] + c[2] + c[3], 5.0);
            oneAtATime = oneAtATime || std::fmod(c[1], 3.0) != 0.0;
            heavy += c[1];
        }
        EXPECT_GT(heavy, 0.0);
        EXPECT_EQ(oneAtATime, !simple);
    }

    drawn.clear();
    o.simpleWeights = false;
    f.in.siteWeights = {0.5, 1.5, 1.0, 1.0};
    f.in.patternCounts = f.in.siteWeights;
    ASSERT_EQ(calcTopologyTests(f.in, o, res), 0);
    std::vector<double> total(4, 0.0);
    for (const auto &c : drawn) {
        EXPECT_DOUBLE_EQ(c[0] + c[1] + c[2] + c[3], 4.0);
        for (size_t p = 0; p < 4; ++p)
            total[p] += c[p];
    }
    // 800 draws: the second pattern is three times as likely as the first.
    EXPECT_GT(total[1], 2.0 * total[0]);
}
