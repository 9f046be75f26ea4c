// The distance fits against dense references written here: the O(n^2)
// unweighted fit and the weighted fit against the normal equations, the
// nonnegative fit against the best feasible fit over every active set, BME
// against its path-weight formula, and the fit statistics by their formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "distance/distance_settings.h"
#include "distance/lsfit.h"
#include "qel/qel_interrupts.h"
#include "lsfit_reference.h"
#include "support/tree_test_support.h"

namespace {

using lsref::HalfMatrix;

class LSFitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = dist;
        dist.objective = kObjectiveLsFit;
        dist.lsWts = 0;
        dist.power = 0.0;
        dist.negBrLen = kNegBrLenAllow;
        dist.pplot = 0;
    }
    void TearDown() override { dist = saved_; }

    // Scores the tree; returns the score, the lengths by reference edge.
    double score(HalfMatrix &m, Tree *t, const lsref::Design &g, std::vector<double> *lens, bool keep = false)
    {
        LSData *ls = createLSData(m.get(), t, static_cast<uint32_t>(m.rows.size()), false);
        EXPECT_NE(ls, nullptr);
        EXPECT_EQ(prepLS(ls, false), 0);
        const double s = calcDistanceFitForTree(ls, t, keep, 1e37);
        if (lens) {
            lens->clear();
            for (TreeNode *e : g.edges)
                lens->push_back(e->edge.brlen);
        }
        last_ = calcAPSDs(ls, s);
        lastN_[0] = ls->normalisers[kNormN1];
        lastN_[1] = ls->normalisers[kNormN2];
        lastN_[2] = ls->normalisers[kNormPairs];
        destroyLSData(ls);
        return s;
    }

    std::vector<double> pairWeights(const lsref::Design &g, const HalfMatrix &m) const
    {
        std::vector<double> w;
        for (auto [i, j] : g.pairs) {
            const double d = m.d(i, j);
            w.push_back(!weighted() ? 1.0 : d <= 0 ? 0.0 : dist.lsWts == 1 ? std::exp(-dist.pexp * d) : std::pow(d, -dist.power));
        }
        return w;
    }
    bool weighted() const { return dist.lsWts != 0 || dist.power != 0.0; }

    DistSettings saved_{};
    APSDs last_{};
    double lastN_[3] = {};
};

void expectClose(const std::vector<double> &a, const std::vector<double> &b, double tol, const char *what)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t k = 0; k < a.size(); k++)
        EXPECT_NEAR(a[k], b[k], tol * (1.0 + std::fabs(b[k]))) << what << " edge " << k;
}

struct Shape {
    uint32_t ntax, inTree;
    double contract;
};

TEST_F(LSFitTest, FitsEqualTheDenseNormalEquations)
{
    std::mt19937 rng(20240611);
    const Shape shapes[] = {{4, 4, 0}, {5, 5, 0.5}, {9, 9, 0}, {12, 8, 0.3}, {20, 20, 0.4}, {33, 25, 0}, {60, 60, 0.2}};
    struct Weighting {
        uint32_t lsWts;
        double power, pexp;
    };
    const Weighting weightings[] = {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {1, 0, 1.5}};
    for (const Shape &s : shapes)
        for (const Weighting &wt : weightings)
            for (int rep = 0; rep < 3; rep++) {
                dist.lsWts = wt.lsWts;
                dist.power = wt.power;
                dist.pexp = wt.pexp;
                HalfMatrix m = lsref::randomMatrix(s.ntax, rng);
                TreeHandle t = lsref::randomTree(s.ntax, s.inTree, rng, s.contract);
                const lsref::Design g = lsref::design(t.get());
                const std::vector<double> w = pairWeights(g, m);
                const auto ref = lsref::dense(g, m, w, std::vector<uint8_t>(g.edges.size(), 1));
                std::vector<double> lens;
                const double sc = score(m, t.get(), g, &lens);
                SCOPED_TRACE(testing::Message() << s.ntax << " taxa, " << s.inTree << " in tree, lsWts " << wt.lsWts
                                                << " power " << wt.power);
                expectClose(lens, ref, 1e-7, "length");
                EXPECT_NEAR(sc, lsref::residual(g, m, w, ref), 1e-8 * (1 + sc));
            }
}

TEST_F(LSFitTest, ProhibitFindsTheBestFeasibleFitOverAllActiveSets)
{
    std::mt19937 rng(7);
    dist.negBrLen = kNegBrLenProhibit;
    int constrainedCases = 0;
    for (int rep = 0; rep < 40; rep++) {
        const uint32_t n = 5 + rep % 3;
        dist.power = rep % 2 ? 2.0 : 0.0;
        for (int objective : {kObjectiveLsFit, kObjectiveME}) {
            if (objective == kObjectiveME && dist.power != 0.0)
                continue;
            dist.objective = static_cast<uint32_t>(objective);
            // Distances far from additive so that some lengths go negative.
            HalfMatrix m = lsref::randomMatrix(n, rng);
            TreeHandle t = lsref::randomTree(n, n, rng, rep % 4 == 0 ? 0.4 : 0.0);
            const lsref::Design g = lsref::design(t.get());
            const std::vector<double> w = pairWeights(g, m);
            const size_t E = g.edges.size();
            double bestSS = 1e300;
            std::vector<double> best;
            for (uint32_t mask = 0; mask < (1u << E); mask++) {
                std::vector<uint8_t> isFree(E);
                for (size_t k = 0; k < E; k++)
                    isFree[k] = !(mask >> k & 1);
                const auto b = lsref::dense(g, m, w, isFree);
                if (std::any_of(b.begin(), b.end(), [](double x) { return x < -1e-12; }))
                    continue;
                const double ss = lsref::residual(g, m, w, b);
                if (ss < bestSS)
                    bestSS = ss, best = b;
            }
            const auto unconstrained = lsref::dense(g, m, w, std::vector<uint8_t>(E, 1));
            constrainedCases += std::any_of(unconstrained.begin(), unconstrained.end(), [](double x) { return x < 0; });
            std::vector<double> lens;
            const double sc = score(m, t.get(), g, &lens);
            SCOPED_TRACE(testing::Message() << "rep " << rep << " objective " << objective);
            expectClose(lens, best, 1e-6, "length");
            double len = 0;
            for (double b : best)
                len += b;
            EXPECT_NEAR(sc, objective == kObjectiveME ? len : bestSS, 1e-7);
        }
    }
    EXPECT_GT(constrainedCases, 10);  // the constraints were exercised
}

TEST_F(LSFitTest, NegativeLengthRulesScoreTheUnconstrainedFit)
{
    std::mt19937 rng(99);
    for (int rep = 0; rep < 20; rep++) {
        HalfMatrix m = lsref::randomMatrix(8, rng);
        TreeHandle t = lsref::randomTree(8, 8, rng);
        const lsref::Design g = lsref::design(t.get());
        const std::vector<double> w(g.pairs.size(), 1.0);
        const auto ref = lsref::dense(g, m, w, std::vector<uint8_t>(g.edges.size(), 1));
        for (uint32_t rule : {kNegBrLenAllow, kNegBrLenSetZero, kNegBrLenSetAbsVal})
            for (uint32_t objective : {kObjectiveLsFit, kObjectiveME}) {
                dist.negBrLen = rule;
                dist.objective = objective;
                std::vector<double> adj = ref;
                for (double &b : adj)
                    b = b >= 0 || rule == kNegBrLenAllow ? b : rule == kNegBrLenSetZero ? 0.0 : -b;
                double len = 0;
                for (double b : adj)
                    len += b;
                const double expect = objective == kObjectiveME ? len : lsref::residual(g, m, w, adj);
                std::vector<double> lens;
                EXPECT_NEAR(score(m, t.get(), g, &lens), expect, 1e-9) << "rule " << rule;
                expectClose(lens, ref, 1e-8, "stored length");  // the tree keeps the fitted lengths
            }
    }
}

// Identical sequences have distance 0 and so no power weight: in a cherry
// only the sums of their branches with the edge above are fixed. The fit
// must still reach the least residual, with no length left negative for
// setZero to spoil, and must not fail when the dependence is exact (integer
// distances).
TEST_F(LSFitTest, ACherryOfIdenticalSequencesFitsUnderPowerWeights)
{
    std::mt19937 rng(4242);
    dist.power = 2.0;
    dist.negBrLen = kNegBrLenSetZero;
    for (int rep = 0; rep < 24; rep++) {
        const bool exact = rep % 2 == 0;
        const uint32_t n = 5 + rep % 5;
        TreeHandle t = lsref::randomTree(n, n, rng);
        const lsref::Design g = lsref::design(t.get());
        const size_t E = g.edges.size();
        std::vector<double> len(E);
        for (double &b : len)
            b = exact ? double(1 + rng() % 4) : std::uniform_real_distribution<double>(0.02, 0.3)(rng);
        // The first cherry's two leaves become identical; the fit is free
        // along one direction, so holding one of them at 0 loses nothing.
        std::vector<uint8_t> isFree(E, 1);
        int cherry = 0;
        for (size_t k = 0; k < E && !cherry; k++) {
            const TreeNode *a = g.edges[k]->firstChild;
            if (a && !a->firstChild && a->nextSib && !a->nextSib->firstChild && !a->nextSib->nextSib)
                for (size_t c = 0; c < E; c++)
                    if (g.edges[c] == a || g.edges[c] == a->nextSib)
                        len[c] = 0.0, isFree[c] = g.edges[c] != a, cherry++;
        }
        ASSERT_EQ(cherry, 2) << "rep " << rep << ": no cherry below the root";
        HalfMatrix m(n);
        std::uniform_real_distribution<double> noise(0.9, 1.1);
        for (size_t p = 0; p < g.pairs.size(); p++) {
            double d = 0.0;
            for (size_t k = 0; k < E; k++)
                d += g.onPath[p][k] ? len[k] : 0.0;
            auto [i, j] = g.pairs[p];
            (i > j ? m.rows[i][j] : m.rows[j][i]) = exact ? d : d * noise(rng);
        }
        const std::vector<double> w = pairWeights(g, m);
        const double best = lsref::residual(g, m, w, lsref::dense(g, m, w, isFree));
        std::vector<double> lens;
        const double sc = score(m, t.get(), g, &lens);
        SCOPED_TRACE(testing::Message() << "rep " << rep << (exact ? " exact" : " noisy"));
        EXPECT_NEAR(sc, best, 1e-9 * (1 + best));
        for (double b : lens)
            EXPECT_GE(b, -1e-12);
    }
    // All sequences identical: no pair has a weight, every branch is free.
    HalfMatrix zero(6);
    TreeHandle t = lsref::randomTree(6, 6, rng);
    const lsref::Design g = lsref::design(t.get());
    std::vector<double> lens;
    EXPECT_EQ(score(zero, t.get(), g, &lens), 0.0);
    for (double b : lens)
        EXPECT_EQ(b, 0.0);
}

// Pairs at distance 0 carry no weight, so identical sequences in a cherry fix
// its two pendants and the edge above them only as sums. Each rule must still
// reach its best score: prohibit the best nonnegative fit, allow the least
// residual, setZero and setAbsVal the best their adjusted lengths give over
// every least-squares solution (a scan along the free direction).
TEST_F(LSFitTest, ZeroDistancePairsReachTheBestScoreOfEveryRule)
{
    std::mt19937 rng(31);
    int singular = 0, spoiled = 0;
    for (int rep = 0; rep < 36; rep++) {
        TreeHandle t = lsref::randomTree(6, 6, rng);
        const lsref::Design g = lsref::design(t.get());
        const size_t E = g.edges.size();
        std::uniform_real_distribution<double> len(0.02, 0.3), noise(0.7, 1.3);
        std::vector<double> b(E);
        for (double &x : b)
            x = len(rng);
        HalfMatrix m(6);
        std::vector<size_t> cherries;
        for (size_t p = 0; p < g.pairs.size(); p++) {
            double d = 0.0, edges = 0;
            for (size_t k = 0; k < E; k++)
                d += g.onPath[p][k] ? b[k] : 0.0, edges += g.onPath[p][k];
            auto [i, j] = g.pairs[p];
            (i > j ? m.rows[i][j] : m.rows[j][i]) = d * noise(rng);
            if (edges == 2)
                cherries.push_back(p);
        }
        // A cherry, a cherry and any pair, or any two pairs.
        std::vector<size_t> zero;
        if (rep % 3 != 2)
            zero.push_back(cherries[rng() % cherries.size()]);
        while (zero.size() < size_t(1 + (rep % 3 != 0)))
            zero.push_back(rng() % g.pairs.size());
        for (size_t p : zero) {
            auto [i, j] = g.pairs[p];
            (i > j ? m.rows[i][j] : m.rows[j][i]) = 0.0;
        }
        dist.lsWts = rep % 4 == 3 ? 1 : 0;
        dist.pexp = 1.0;
        dist.power = 1.0 + rep % 2;
        const std::vector<double> w = pairWeights(g, m);
        std::vector<std::vector<double>> M;
        std::vector<double> rhs;
        lsref::normalEquations(g, m, w, M, rhs);
        const auto nulls = lsref::nullSpace(M);
        singular += !nulls.empty();
        const auto ls = lsref::gaussSeidel(M, rhs, -1e300), nn = lsref::gaussSeidel(M, rhs, 0.0);
        const double lsBest = lsref::residual(g, m, w, ls);
        for (uint32_t rule : {kNegBrLenProhibit, kNegBrLenAllow, kNegBrLenSetZero, kNegBrLenSetAbsVal}) {
            dist.negBrLen = rule;
            const double sc = score(m, t.get(), g, nullptr);
            SCOPED_TRACE(testing::Message() << "rep " << rep << " rule " << rule);
            if (rule == kNegBrLenProhibit || rule == kNegBrLenAllow) {
                EXPECT_NEAR(sc, lsref::residual(g, m, w, rule == kNegBrLenAllow ? ls : nn), 1e-9);
                continue;
            }
            if (nulls.size() > 1)
                continue;
            auto adjusted = [&](double step) {
                std::vector<double> x = ls;
                for (size_t k = 0; k < E; k++) {
                    x[k] += nulls.empty() ? 0.0 : step * nulls[0][k];
                    x[k] = x[k] >= 0 ? x[k] : rule == kNegBrLenSetZero ? 0.0 : -x[k];
                }
                return lsref::residual(g, m, w, x);
            };
            double best = adjusted(0.0);
            for (int s = -20000; s <= 20000 && !nulls.empty(); s++)
                best = std::min(best, adjusted(s * 5e-5));
            spoiled += best > lsBest + 1e-9;
            EXPECT_GE(sc, lsBest - 1e-9);
            EXPECT_LE(sc, best + 1e-9);
        }
    }
    EXPECT_GT(singular, 20);  // the free directions were exercised
    EXPECT_GT(spoiled, 10);   // and so were sums the rules must adjust
}

TEST_F(LSFitTest, BalancedMinimumEvolutionLength)
{
    std::mt19937 rng(5);
    dist.objective = kObjectiveBME;
    for (int rep = 0; rep < 20; rep++) {
        const uint32_t n = 4 + rep * 3;
        HalfMatrix m = lsref::randomMatrix(n, rng);
        TreeHandle t = lsref::randomTree(n, rep % 3 ? n : n - 2, rng);
        const lsref::Design g = lsref::design(t.get());
        double expect = 0.0;
        std::vector<double> w;
        for (size_t p = 0; p < g.pairs.size(); p++) {
            int tau = 0;
            for (uint8_t on : g.onPath[p])
                tau += on;
            w.push_back(std::ldexp(1.0, 1 - tau));
            expect += w.back() * m.d(g.pairs[p].first, g.pairs[p].second);
        }
        std::vector<double> lens;
        EXPECT_NEAR(score(m, t.get(), g, &lens, true), expect, 1e-12 * expect);
        // The balanced lengths are the fit weighted by the same path weights,
        // and they add up to the balanced length.
        const auto ref = lsref::dense(g, m, w, std::vector<uint8_t>(g.edges.size(), 1));
        expectClose(lens, ref, 1e-7, "BME length");
        double total = 0;
        for (double b : lens)
            total += b;
        EXPECT_NEAR(total, expect, 1e-9 * n);
    }
    // A star: every pair is separated by the hub of k = n - 1 children.
    const uint32_t n = 6;
    HalfMatrix m = lsref::randomMatrix(n, rng);
    TreeHandle t = lsref::randomTree(n, n, rng, 1.0);
    const lsref::Design g = lsref::design(t.get());
    double expect = 0;
    for (auto [i, j] : g.pairs)
        expect += m.d(i, j) / (n - 1);
    EXPECT_NEAR(score(m, t.get(), g, nullptr), expect, 1e-12);
}

// k counts the branches the fit gives a length: two taxa at distance 0 fit
// exactly at lengths 0, which the fit leaves within rounding of 0 (a few
// 1e-17), and those are no fitted branches. The exact fit (A = B = 0) has
// five branches of length and %SD 100 sqrt(S / (9 - 5)) / mean distance,
// over the nine pairs at a positive distance.
TEST_F(LSFitTest, LengthsWithinRoundingOfZeroAreNotCounted)
{
    const double rows[5][5] = {{0}, {0, 0}, {0.31, 0.31, 0}, {0.37, 0.37, 0.23, 0}, {0.52, 0.52, 0.41, 0.29, 0}};
    HalfMatrix m(5);
    double sum = 0;
    for (uint32_t i = 1; i < 5; i++)
        for (uint32_t j = 0; j < i; j++)
            sum += m.rows[i][j] = rows[i][j];
    TreeHandle t(createTreeForTaxa(5, 5, false));
    buildTestTree(t.get(), "(1,(2,(3,4)))", 0);  // ((A,B),C,(D,E)) held at A
    const lsref::Design g = lsref::design(t.get());
    const std::vector<double> exact =
        lsref::dense(g, m, std::vector<double>(g.pairs.size(), 1.0), std::vector<unsigned char>(g.edges.size(), 1));
    int nonZero = 0;
    for (double b : exact)
        nonZero += std::fabs(b) > 1e-9;
    ASSERT_EQ(nonZero, 5);
    dist.psdk = 1;
    dist.psdAddK = 0;
    const double S = score(m, t.get(), g, nullptr);
    EXPECT_EQ(last_.k, nonZero);
    EXPECT_NEAR(last_.psd, 100.0 * std::sqrt(S / (9 - nonZero)) / (sum / 9), 1e-9);
}

// A pendant branch is a free parameter of the unweighted fit: adding the
// same amount to every distance of one taxon lengthens its branch and leaves
// every residual as it was, however large the amount. The misfit among the
// small distances must not vanish beside the huge ones (the lengths keep
// about 16 digits in all, so the residuals keep fewer as the amount grows).
TEST_F(LSFitTest, AHugePendantBranchLeavesTheMisfitOfTheRest)
{
    std::mt19937 rng(97008);
    for (uint32_t n : {5u, 9u}) {
        HalfMatrix m = lsref::randomMatrix(n, rng);
        TreeHandle t = lsref::randomTree(n, n, rng, 0);
        const lsref::Design g = lsref::design(t.get());
        const double base = score(m, t.get(), g, nullptr);
        ASSERT_GT(base, 1e-6);
        for (double huge : {1e9, 1e12}) {
            HalfMatrix big = m;
            for (uint32_t j = 1; j < n; j++)
                big.rows[j][0] += huge;
            for (uint32_t i = 0; i < n; i++)
                big.ptr[i] = big.rows[i].data();
            SCOPED_TRACE(testing::Message() << n << " taxa, pendant branch " << huge);
            EXPECT_NEAR(score(big, t.get(), g, nullptr), base, 1e-4 * base);
        }
    }
}

TEST_F(LSFitTest, FitStatisticsFollowTheirFormulas)
{
    std::mt19937 rng(3);
    HalfMatrix m = lsref::randomMatrix(10, rng);
    TreeHandle t = lsref::randomTree(10, 10, rng);
    const lsref::Design g = lsref::design(t.get());
    double sd = 0, sld = 0;
    for (auto [i, j] : g.pairs)
        sd += m.d(i, j), sld += std::log(m.d(i, j));
    const double npairs = static_cast<double>(g.pairs.size());
    for (double P : {0.0, 2.0}) {
        dist.power = P;
        dist.psdk = 1;
        dist.psdAddK = 2;
        std::vector<double> lens;
        const double S = score(m, t.get(), g, &lens);
        int positive = 0;
        double total = 0, internal = 0;
        for (size_t k = 0; k < g.edges.size(); k++) {
            const double b = lens[k];  // negative lengths allowed: counted as they are
            positive += b > 0;
            total += b;
            if (g.edges[k]->firstChild && g.edges[k]->anc != t->root)
                internal += b;
        }
        ASSERT_EQ(last_.k, positive + 2);
        const double base = 100.0 * std::sqrt(S / (npairs - last_.k));
        if (P == 0.0) {
            EXPECT_NEAR(last_.psd, base / (sd / npairs), 1e-9);
            EXPECT_NEAR(last_.gpsd, base / std::exp(sld / npairs), 1e-9);
        } else {
            // N1 = D^(P/2 - 1) = 1 at P = 2.
            EXPECT_NEAR(last_.psd, base, 1e-9);
            EXPECT_NEAR(last_.gpsd, base, 1e-9);
        }
        EXPECT_NEAR(last_.iblp, internal / total, 1e-12);
    }
    // A k as large as the number of pairs leaves nothing to compute.
    dist.psdk = 1;
    dist.psdAddK = 1000;
    score(m, t.get(), g, nullptr);
    EXPECT_LT(last_.psd, 0.0);
    EXPECT_LT(last_.gpsd, 0.0);
}

TEST_F(LSFitTest, ZeroPowerAndZeroExponentAreUnweighted)
{
    std::mt19937 rng(11);
    HalfMatrix m = lsref::randomMatrix(12, rng);
    TreeHandle t = lsref::randomTree(12, 12, rng, 0.2);
    const lsref::Design g = lsref::design(t.get());
    std::vector<double> plain, expo;
    const double s0 = score(m, t.get(), g, &plain);
    dist.lsWts = 1;
    dist.pexp = 0.0;
    const double s1 = score(m, t.get(), g, &expo);
    EXPECT_NEAR(s0, s1, 1e-10);
    expectClose(expo, plain, 1e-9, "expo P'=0");
}

}  // namespace

namespace {

// g%SD under other weights, evaluated on the fit context of the current
// settings, equals a fresh fit made under those weights.
TEST_F(LSFitTest, GeometricPSDUnderOtherWeightsEqualsAFreshFit)
{
    std::mt19937 rng(17);
    HalfMatrix m = lsref::randomMatrix(9, rng);
    TreeHandle t = lsref::randomTree(9, 9, rng);
    const lsref::Design g = lsref::design(t.get());
    dist.negBrLen = kNegBrLenSetZero;
    dist.pplot = 1;
    LSData *ls = createLSData(m.get(), t.get(), 9, false);
    ASSERT_EQ(prepLS(ls, false), 0);
    ASSERT_LT(calcDistanceFitForTree(ls, t.get(), false, 1e37), 1e37);
    for (double P : {-2.0, -0.5, 0.0, 1.0, 2.5}) {
        const double viaContext = calcGeomPSDstd(ls, P);
        dist.power = P;
        score(m, t.get(), g, nullptr);
        EXPECT_NEAR(viaContext, last_.gpsd, 1e-9) << "P " << P;
        dist.power = 0.0;
        dist.lsWts = 1;
        dist.pexp = P;
        score(m, t.get(), g, nullptr);
        dist.lsWts = 0;
        dist.pexp = 0.0;
        EXPECT_NEAR(calcGeomPSDexp(ls, P), last_.gpsd, 1e-9) << "P' " << P;
    }
    destroyLSData(ls);
}

}  // namespace

namespace {

// A tree held rooted at the ancestor, its root edge splitting one edge of
// the unrooted tree in two, fits the same: the two halves carry that edge's
// length between them.
TEST_F(LSFitTest, RootedAtTheAncestorFitsAsUnrooted)
{
    std::mt19937 rng(23);
    for (int rep = 0; rep < 10; rep++) {
        const uint32_t n = 6 + rep;
        HalfMatrix m = lsref::randomMatrix(n, rng);
        TreeHandle t = lsref::randomTree(n, n, rng);
        const lsref::Design g = lsref::design(t.get());
        const double unrooted = score(m, t.get(), g, nullptr);
        double total = 0;
        for (TreeNode *e : g.edges)
            total += e->edge.brlen;
        // Root at the ancestor on the root tip's edge.
        Tree *r = t.get();
        TreeNode *tip = r->root, *fork = tip->firstChild, *anc = r->nodes;
        tip->firstChild = nullptr;
        fork->anc = anc;
        fork->nextSib = tip;
        tip->anc = anc;
        anc->firstChild = fork;
        anc->anc = nullptr;
        r->root = anc;
        r->flags |= kTreeRootedAtAnc;
        afterTreeChange(r);
        setTraversalSeq(r);
        LSData *ls = createLSData(m.get(), r, n, false);
        ASSERT_EQ(prepLS(ls, false), 0);
        EXPECT_NEAR(calcDistanceFitForTree(ls, r, false, 1e37), unrooted, 1e-10);
        destroyLSData(ls);
        double rootedTotal = 0;
        for (TreeNode *e = r->root->next; e; e = e->next)
            rootedTotal += e->edge.brlen;
        EXPECT_NEAR(rootedTotal, total, 1e-10);
    }
}

// A user abort inside the active-set loop gives no score (1e37) and leaves
// the abort flag set, never a score that would look like the best.
TEST_F(LSFitTest, AbortInTheActiveSetGivesNoScore)
{
    std::mt19937 rng(41);
    dist.negBrLen = kNegBrLenProhibit;
    int aborted = 0;
    for (int rep = 0; rep < 60; rep++) {
        HalfMatrix m = lsref::randomMatrix(9, rng);
        TreeHandle t = lsref::randomTree(9, 9, rng);
        const lsref::Design g = lsref::design(t.get());
        const double clean = score(m, t.get(), g, nullptr);
        setAbortedStatus(1);
        const double s = score(m, t.get(), g, nullptr);
        const bool flagKept = getAbortedStatus() != 0;
        setAbortedStatus(0);
        if (s == 1e37) {
            aborted++;
            EXPECT_TRUE(flagKept);
        } else {
            EXPECT_NEAR(s, clean, 1e-12);  // no active branch was freed: nothing polled
        }
    }
    EXPECT_GT(aborted, 0);
}

}  // namespace
