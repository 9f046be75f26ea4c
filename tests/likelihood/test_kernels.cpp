// The double-precision kernels against plain answers: pruning per pattern,
// the sum over every ancestral assignment, central differences, and the
// rescaling and Mk rules on hand-made arrays.
#include <gtest/gtest.h>

#include <cfloat>
#include <random>

#include "kernel_test_support.h"

using namespace liktest;

namespace {

// Likelihood of pattern p as the sum, over every assignment of states to
// the internal nodes, of pi(root state) x the product of the branch
// transition probabilities (a tip's branch summed over its allowed states).
// Mk: states are the pattern's local positions, conditioned as the model
// asks.
double bruteForceLike(const Problem &pr, const BranchMatrices &bm, uint32_t p, int tipState = -1)
{
    const int n = pr.n();
    const int k = pr.m.mk ? pr.mkStates[p] : n;
    const uint8_t *list = pr.m.mk ? &pr.mkList[static_cast<size_t>(p) * n] : nullptr;
    std::vector<int> internal;
    for (size_t v = 0; v < pr.nodes.size(); ++v)
        if (pr.nodes[v].tip < 0)
            internal.push_back(static_cast<int>(v));
    double total = 0;
    for (uint32_t r = 0; r < pr.m.rates.size(); ++r) {
        std::vector<int> st(pr.nodes.size(), 0);
        size_t combos = 1;
        for (size_t i = 0; i < internal.size(); ++i)
            combos *= k;
        for (size_t c = 0; c < combos; ++c) {
            size_t x = c;
            for (int v : internal) {
                st[v] = list ? list[x % k] : static_cast<int>(x % k);
                x /= k;
            }
            double prod = pr.m.mk ? 1.0 / k : pr.m.pi[st[0]];
            for (size_t v = 1; v < pr.nodes.size() && prod != 0; ++v) {
                const Node &nd = pr.nodes[v];
                const Mat &P = bm.P[v][r][pr.m.mk ? k : 0];
                const int from = st[nd.parent];
                if (nd.tip < 0) {
                    prod *= P[from * n + st[v]];
                    continue;
                }
                const int code = tipState >= 0 ? tipState : pr.codes[nd.tip][p];
                double sum = 0;
                for (int i = 0; i < k; ++i) {
                    const int s = list ? list[i] : i;
                    sum += pr.allows(code, s) ? P[from * n + s] : 0;
                }
                prod *= sum;
            }
            total += pr.m.probs[r] * prod;
        }
    }
    return total;
}

double bruteForceLnL(const Problem &pr)
{
    const BranchMatrices bm(pr, -1, 0);
    const std::vector<double> c = pr.constLikes();
    double lnL = 0;
    for (uint32_t p = 0; p < pr.npat(); ++p) {
        if (pr.weights[p] == 0)
            continue;
        double L = bruteForceLike(pr, bm, p) + (c.empty() ? 0 : c[p]);
        if (pr.m.mk)
            L /= 1 - pr.mkStates[p] * bruteForceLike(pr, bm, p, pr.mkList[static_cast<size_t>(p) * pr.n()]);
        lnL -= pr.weights[p] * std::log(L);
    }
    return lnL;
}

// The first internal and the first tip child of the root.
int rootChild(const Problem &pr, bool tip)
{
    for (int k : pr.nodes[0].kids)
        if ((pr.nodes[k].tip >= 0) == tip)
            return k;
    return -1;
}

constexpr uint32_t kAll = kLikModeLnL | kLikModeD1 | kLikModeD2;

// -lnL, d1 and d2 of the edge above `child` against central differences of
// -lnL and against plain pruning.
void expectEdgeConsistent(const Problem &pr, const LikKernels &K, int child, double tol)
{
    const Outcome o = runTable(pr, K, child, kAll);
    EXPECT_TRUE(near(o.res.lnL, referenceLnL(pr, child, 0), tol)) << K.name << " " << o.res.lnL;
    const double h = 1e-4;
    const double up = runTable(pr, K, child, kLikModeLnL, h).res.lnL;
    const double down = runTable(pr, K, child, kLikModeLnL, -h).res.lnL;
    const double scale = std::fabs(o.res.lnL) / pr.nodes[child].t;
    EXPECT_TRUE(near(o.res.d1, (up - down) / (2 * h), 1e-5, scale)) << K.name << " d1 " << o.res.d1;
    EXPECT_TRUE(near(o.res.d2, (up - 2 * o.res.lnL + down) / (h * h), 1e-3, scale)) << K.name << " d2 " << o.res.d2;
}

TEST(LikKernels, DoubleKernelsEqualPruningAndCentralDifferences)
{
    std::mt19937_64 rng(11);
    struct Case {
        int n;
        int ntax;
        int ncat;
        double pinv;
        bool rescale;
    };
    for (const Case c : {Case{4, 9, 4, 0.2, false}, Case{4, 12, 1, 0, true}, Case{20, 7, 4, 0.1, true},
                         Case{3, 10, 6, 0, false}, Case{7, 8, 1, 0.3, true}, Case{2, 11, 4, 0, true}}) {
        Problem pr;
        pr.m = randomModel(rng, c.n);
        setGamma(pr.m, 0.5, c.ncat, false, c.pinv);
        randomTree(pr, rng, c.ntax, 0.3);
        randomData(pr, rng, 40, c.n > 2 ? 3 : 0);
        pr.rescale = c.rescale;
        pr.threshold = 0.3;  // rescales often
        for (const LikKernels *K : {&likKernels_Gen(), c.n == 4 ? &likKernels_Dna() : nullptr}) {
            if (K == nullptr)
                continue;
            SCOPED_TRACE(testing::Message() << "n=" << c.n << " rescale=" << c.rescale);
            expectEdgeConsistent(pr, *K, rootChild(pr, false), 1e-12);
            expectEdgeConsistent(pr, *K, rootChild(pr, true), 1e-12);
        }
    }
}

TEST(LikKernels, SumOverAncestralAssignmentsOnFourAndFiveTaxa)
{
    std::mt19937_64 rng(5);
    for (int ntax : {4, 5}) {
        Problem pr;
        pr.m = hkyModel({0.1, 0.2, 0.3, 0.4}, 3.0);
        setGamma(pr.m, 1.25, 4, true, 0.25);
        randomTree(pr, rng, ntax, 0.0, 1.0);
        randomData(pr, rng, 30, 2);
        const double brute = bruteForceLnL(pr);
        for (const LikKernels *K : {&likKernels_Dna(), &likKernels_Gen(), &likKernels_SP()}) {
            const double tol = K->precision == LikPrecision::Double ? 1e-12 : 1e-5;
            EXPECT_TRUE(near(runTable(pr, *K, rootChild(pr, false), kLikModeLnL).res.lnL, brute, tol)) << K->name;
            EXPECT_TRUE(near(runTable(pr, *K, rootChild(pr, true), kLikModeLnL).res.lnL, brute, tol)) << K->name;
        }
        // Mk with 2 to 5 states, conditioned on variability.
        Problem mk = pr;
        mk.m.mk = true;
        mk.m.n = 5;
        mk.m.pinv = 0;
        setGamma(mk.m, 0.5, 2, false, 0);
        randomMkData(mk, rng, 2, 5, 4);
        const double mkBrute = bruteForceLnL(mk);
        for (bool rescale : {false, true}) {
            mk.rescale = rescale;
            mk.threshold = 0.2;
            const Outcome in = runTable(mk, likKernels_Mkv(), rootChild(mk, false), kLikModeLnL);
            const Outcome tip = runTable(mk, likKernels_Mkv(), rootChild(mk, true), kLikModeLnL);
            EXPECT_TRUE(near(in.res.lnL, mkBrute, 1e-12)) << in.res.lnL << " " << mkBrute;
            EXPECT_TRUE(near(tip.res.lnL, mkBrute, 1e-12)) << tip.res.lnL << " " << mkBrute;
            EXPECT_TRUE(near(in.rootLnL, mkBrute, 1e-12)) << in.rootLnL << " " << mkBrute;
        }
    }
}

TEST(LikKernels, MkDerivativesEqualCentralDifferences)
{
    std::mt19937_64 rng(8);
    Problem pr;
    pr.m.mk = true;
    pr.m.n = 7;
    setGamma(pr.m, 1.0, 3, true, 0);
    randomTree(pr, rng, 14, 0.3);
    randomMkData(pr, rng, 2, 7, 6);
    for (bool rescale : {false, true}) {
        pr.rescale = rescale;
        pr.threshold = 0.25;
        expectEdgeConsistent(pr, likKernels_Mkv(), rootChild(pr, false), 1e-12);
        expectEdgeConsistent(pr, likKernels_Mkv(), rootChild(pr, true), 1e-12);
    }
}

// A context over hand-made arrays of one category and n = 4.
LikKernelContext smallContext(uint32_t npat, const double *weights)
{
    LikKernelContext c{};
    c.nstates = c.nvals = 4;
    c.npatterns = npat;
    c.ncat = 1;
    c.ntipcodes = 5;
    c.weights = weights;
    return c;
}

TEST(LikKernels, PowerOfTwoRescalingRules)
{
    const double w[4] = {1, 1, 1, 1};
    const LikKernelContext c = smallContext(4, w);
    // Pattern maxima 0.5, 0.25, 1e-10 and 0.
    double v[16] = {0.5, 0.1, 0, 0, 0.25, 0.125, 0, 0, 1e-10, 3e-11, 0, 0, 0, 0, 0, 0};
    double rs[4] = {-1, -1, -1, -1};
    likKernels_Gen().rescaleCL(c, v, rs, 0, 4);
    EXPECT_EQ(v[0], 0.5);
    EXPECT_EQ(rs[0], -1);
    EXPECT_EQ(v[4], 1.0);
    EXPECT_EQ(v[5], 0.5);
    EXPECT_DOUBLE_EQ(rs[1], -1 - std::log(4.0));
    EXPECT_DOUBLE_EQ(v[8], 1.0);
    EXPECT_DOUBLE_EQ(rs[2], -1 - std::log(1e10));
    EXPECT_DOUBLE_EQ(rs[3], -1 - std::log(1e200));

    float f[16] = {0.5f, 0, 0, 0, 0.25f, 0, 0, 0, 1e-10f, 0, 0, 0, 0, 0, 0, 0};
    float frs[4] = {0, 0, 0, 0};
    likKernels_SP().rescaleCL(c, f, frs, 0, 4);
    EXPECT_EQ(frs[0], 0.0f);
    EXPECT_EQ(f[4], 1.0f);
    EXPECT_FLOAT_EQ(frs[1], -std::log(4.0f));
    EXPECT_FLOAT_EQ(frs[3], -std::log(1e37f));

    double a[4] = {-10, 0, -3, 0}, b[4] = {-20, -1, 0, 0}, out[4];
    likKernels_Gen().mergeRescalers(c, a, b, out);
    EXPECT_EQ(out[0], -30);
    likKernels_Gen().addRescalers(c, a, out);
    EXPECT_EQ(out[0], -40);
    EXPECT_EQ(out[2], -6);
}

// The vector tables rescale by the processor's approximate reciprocal: each
// pattern below 0.5 is multiplied by a power of two that brings its largest
// value (over the rate categories) to about [0.5, 1], the rescaler takes
// the factor's logarithm, and the true values stay; a pattern below 2^-32
// (or of zeros) takes the exact reciprocal.
TEST(LikKernels, VectorRescalingKeepsTrueValuesAndBringsMaximaNearOne)
{
    std::mt19937 rng(8);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double maxima[] = {0.5, 0.25, 0.49999, 0.3, 1e-10, 0, 0.7, 2e-3, 1.0 / 3, 4e-9, 0.01};
    const uint32_t npat = sizeof maxima / sizeof maxima[0], ncat = 3;
    std::vector<double> w(npat, 1.0);
    for (LikKernelSet set : {LikKernelSet::Dna_Vec, LikKernelSet::Gen_Vec})
        for (LikIsa isa : {LikIsa::Sse, LikIsa::Avx2}) {
            const LikKernels *K = likKernelsOf(set, isa);
            if (K == nullptr)
                continue;
            SCOPED_TRACE(K->name);
            const uint32_t n = set == LikKernelSet::Dna_Vec ? 4 : 6, nv = likValuesPerPattern(*K, n);
            LikKernelContext c = smallContext(npat, w.data());
            c.nstates = n;
            c.nvals = nv;
            c.ncat = ncat;
            std::vector<float> v(size_t{ncat} * npat * nv, 0.0f), rs(npat, -2.0f);
            for (uint32_t p = 0; p < npat; ++p)
                for (uint32_t r = 0; r < ncat; ++r)
                    for (uint32_t i = 0; i < n; ++i)
                        v[(size_t{r} * npat + p) * nv + i] =
                            static_cast<float>(maxima[p] * (r == 1 && i == 2 ? 1.0 : u(rng)));
            const std::vector<float> before = v;
            K->rescaleCL(c, v.data(), rs.data(), 0, npat);
            for (uint32_t p = 0; p < npat; ++p) {
                const double factor = std::exp(-(static_cast<double>(rs[p]) + 2.0));
                float top = 0.0f;
                for (uint32_t r = 0; r < ncat; ++r)
                    for (uint32_t i = 0; i < nv; ++i) {
                        const size_t k = (size_t{r} * npat + p) * nv + i;
                        top = std::max(top, v[k]);
                        EXPECT_NEAR(v[k], before[k] * factor, 1e-5 * v[k]) << "pattern " << p;
                    }
                if (maxima[p] >= 0.5) {
                    EXPECT_EQ(rs[p], -2.0f) << "pattern " << p;
                } else if (maxima[p] > 0) {
                    EXPECT_GE(top, 0.4998f) << "pattern " << p;
                    EXPECT_LE(top, 1.0002f) << "pattern " << p;
                    if (maxima[p] > 0x1p-32) {
                        int e = 0;
                        EXPECT_EQ(std::frexp(static_cast<float>(v[(size_t{1} * npat + p) * nv + 2] /
                                                                before[(size_t{1} * npat + p) * nv + 2]),
                                             &e),
                                  0.5f)
                            << "pattern " << p << ": not a power of two";
                    }
                } else {
                    EXPECT_NEAR(rs[p], -2.0f - std::log(1e37f), 1e-3) << "a pattern of zeros";
                }
            }
        }
}

TEST(LikKernels, CLLoopReportsAValueBelowTheThresholdAnywhere)
{
    const double w[3] = {1, 1, 1};
    LikKernelContext c = smallContext(3, w);
    c.rescaleThreshold = 1e-3;
    // Two tip inputs through identity-like tables: out = T1[c1] x T2[c2].
    double T[5 * 4];
    for (int code = 0; code < 5; ++code)
        for (int i = 0; i < 4; ++i)
            T[code * 4 + i] = code == 4 ? 1.0 : (code == i ? 1.0 : 1e-4);
    const uint8_t t1[3] = {0, 1, 4}, t2[3] = {0, 1, 4};
    double out[12];
    for (const LikKernels *K : {&likKernels_Dna(), &likKernels_Gen()}) {
        const uint8_t odd[3] = {0, 1, 2};
        LikClOp op{out, nullptr, nullptr, t1, t2, T, T};
        EXPECT_TRUE(K->clLoop_2Tip(c, op, 0, 3)) << K->name;   // 1e-8 off the diagonal
        c.rescaleThreshold = 1e-9;
        EXPECT_FALSE(K->clLoop_2Tip(c, op, 0, 3)) << K->name;
        op.tip2 = odd;  // pattern 2 alone: tip codes 4 and 2
        EXPECT_FALSE(K->clLoop_2Tip(c, op, 2, 3)) << K->name;
        c.rescaleThreshold = 1e-3;
        EXPECT_TRUE(K->clLoop_2Tip(c, op, 2, 3)) << K->name;
    }
}

// One pattern whose CLs are all 1 at both ends: L = sum of W's entries.
LikResult evalFlat(double wEntry, double constLike, double sigma, uint32_t mode)
{
    const double weight = 2;
    LikKernelContext c = smallContext(1, &weight);
    c.constLikes = &constLike;
    double a[4] = {1, 1, 1, 1}, W[16], W1[16], W2[16], ra = sigma / 2, rb = sigma / 2;
    for (int i = 0; i < 16; ++i) {
        W[i] = wEntry;
        W1[i] = wEntry / 2;
        W2[i] = wEntry / 4;
    }
    LikEvalOp op{a, a, nullptr, &ra, &rb, W, W1, W2};
    return likKernels_Gen().eval0Tip(c, op, 0, 1, mode);
}

TEST(LikKernels, ConstantSiteTermAndSentinel)
{
    // L = 16 x 1e-3 at the stored scale, true L = 0.016 e^-700 + 0.25.
    const LikResult r = evalFlat(1e-3, 0.25, -700, kLikModeLnL);
    EXPECT_NEAR(r.lnL, -2 * std::log(0.25 + 0.016 * std::exp(-700.0)), 1e-12);
    // Far below what exp(-sigma) could hold.
    const LikResult deep = evalFlat(1e-3, 0.25, -2000, kAll);
    EXPECT_NEAR(deep.lnL, -2 * std::log(0.25), 1e-12);
    EXPECT_TRUE(std::isfinite(deep.d1) && std::isfinite(deep.d2));
    EXPECT_NEAR(deep.d1, 0.0, 1e-300);
    // Without rescalers the derivatives are plain ratios.
    const LikResult plain = evalFlat(1e-3, 0, 0, kAll);
    EXPECT_NEAR(plain.d1, -2 * 0.5, 1e-12);
    EXPECT_NEAR(plain.d2, -2 * (0.25 - 0.25), 1e-12);
    const LikResult zero = evalFlat(0, 0, 0, kAll);
    EXPECT_EQ(zero.lnL, kLikInfiniteScore);
    EXPECT_EQ(zero.d1, DBL_MAX);
    EXPECT_EQ(zero.d2, DBL_MAX);
}

TEST(LikKernels, MkRunHeadOutsideTheLogarithmGivesTheSentinel)
{
    Problem pr;
    pr.m.mk = true;
    pr.m.n = 2;
    std::mt19937_64 rng(3);
    randomTree(pr, rng, 4, 0);
    randomMkData(pr, rng, 2, 2, 3);
    const int child = pr.nodes[0].kids[0];
    const double normal = runTable(pr, likKernels_Mkv(), child, kLikModeLnL).res.lnL;
    EXPECT_LT(normal, kLikInfiniteScore);
    // Branches of length ~0: every pattern constant with L_const = 1/2,
    // q = 1 - 2 x 1/2 = 0 at the head.
    for (Node &nd : pr.nodes)
        nd.t = 1e-300;
    EXPECT_EQ(runTable(pr, likKernels_Mkv(), child, kLikModeLnL).res.lnL, kLikInfiniteScore);
    // A head whose summed rescaler is below -700.
    const double w[2] = {0, 1};
    const uint16_t k[2] = {2, 2};
    const uint32_t off[2] = {0, 2};
    const uint8_t list[4] = {0, 1, 0, 1};
    LikKernelContext c{};
    c.nstates = c.nvals = 2;
    c.npatterns = 2;
    c.ncat = 1;
    c.ntipcodes = 3;
    c.weights = w;
    c.mkStates = k;
    c.mkOffset = off;
    c.mkStateList = list;
    c.mkBlockValues = 4;
    double a[4] = {1, 0.5, 1, 0.5}, W[3 * 4] = {0.4, 0.1, 0.1, 0.4, 0.4, 0.1, 0.1, 0.4, 0.4, 0.1, 0.1, 0.4};
    double ra[2] = {-400, 0}, rb[2] = {-301, 0};
    LikEvalOp op{a, a, nullptr, ra, rb, W, W, W};
    EXPECT_EQ(likKernels_Mkv().eval0Tip(c, op, 0, 2, kLikModeLnL).lnL, kLikInfiniteScore);
    rb[0] = -299;
    EXPECT_LT(likKernels_Mkv().eval0Tip(c, op, 0, 2, kLikModeLnL).lnL, kLikInfiniteScore);
}

TEST(LikKernels, MkRescalingNormalisesToOne)
{
    const double w[1] = {1};
    const uint16_t k[1] = {3};
    const uint32_t off[1] = {0};
    const uint8_t list[3] = {0, 1, 2};
    LikKernelContext c{};
    c.nstates = c.nvals = 3;
    c.npatterns = 1;
    c.ncat = 1;
    c.weights = w;
    c.mkStates = k;
    c.mkOffset = off;
    c.mkStateList = list;
    c.mkBlockValues = 3;
    double v[3] = {0.8, 0.4, 0.2}, rs[1] = {0};
    likKernels_Mkv().rescaleCL(c, v, rs, 0, 1);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_DOUBLE_EQ(v[1], 0.5);
    EXPECT_DOUBLE_EQ(rs[0], std::log(0.8));
}

}  // namespace

namespace {

// Random arrays in one set's layout (padding 0) for the sum-table members.
template <typename Real>
struct TableInput {
    std::vector<Real> a, b, ra, rb;
    std::vector<uint8_t> tip;
    std::vector<double> xSide, ySide, tipSide, weights, catWeights, constLikes, exps;

    TableInput(const LikKernelContext &c, std::mt19937 &rng)
    {
        std::uniform_real_distribution<double> u(0.0, 1.0);
        const uint32_t n = c.nstates, nv = c.nvals, np = c.npatterns;
        auto cla = [&](std::vector<Real> &v) {
            v.assign(size_t{c.ncat} * np * nv, Real(0));
            for (size_t m = 0; m < size_t{c.ncat} * np; ++m)
                for (uint32_t i = 0; i < n; ++i)
                    v[m * nv + i] = static_cast<Real>(u(rng));
        };
        cla(a);
        cla(b);
        // Rescaler sums of 0, ordinary ones, and beyond the exponential's range.
        for (auto *r : {&ra, &rb}) {
            r->resize(np);
            for (uint32_t p = 0; p < np; ++p)
                (*r)[p] = static_cast<Real>(p % 3 == 0 ? 0.0 : p % 7 == 1 ? -400.0 : -30.0 * u(rng));
        }
        auto side = [&](std::vector<double> &s, uint32_t rows) {
            s.assign(size_t{rows} * nv, 0.0);
            for (uint32_t i = 0; i < rows; ++i)
                for (uint32_t k = 0; k < n; ++k)
                    s[size_t{i} * nv + k] = 0.05 + u(rng);
        };
        side(xSide, nv);
        side(ySide, nv);
        side(tipSide, c.ntipcodes);
        for (uint32_t i = n; i < nv; ++i)  // padding rows
            std::fill_n(xSide.begin() + i * nv, nv, 0.0), std::fill_n(ySide.begin() + i * nv, nv, 0.0);
        tip.resize(np);
        weights.resize(np);
        constLikes.resize(np);
        for (uint32_t p = 0; p < np; ++p) {
            tip[p] = static_cast<uint8_t>(rng() % c.ntipcodes);
            weights[p] = p % 11 == 5 ? 0.0 : 1.0 + static_cast<double>(rng() % 4);
            constLikes[p] = p % 2 == 0 ? 0.05 * u(rng) : 0.0;
        }
        catWeights.resize(c.ncat);
        for (double &w : catWeights)
            w = 1.0 / c.ncat;
        exps.assign(3 * size_t{c.ncat} * nv, 0.0);
        for (uint32_t r = 0; r < c.ncat; ++r)
            for (uint32_t k = 0; k < n; ++k) {
                const double x = k == 0 ? 0.0 : -(0.3 + u(rng)) * (r + 1), e = std::exp(0.2 * x);
                const size_t at = size_t{r} * nv + k;
                exps[at] = e;
                exps[c.ncat * nv + at] = x * e;
                exps[2 * c.ncat * nv + at] = x * x * e;
            }
    }

    LikTableOp op(double *table, double *constTerms) const
    {
        return LikTableOp{a.data(), b.data(), tip.data(), ra.data(), rb.data(), xSide.data(), ySide.data(),
                          tipSide.data(), catWeights.data(), table, constTerms};
    }
};

template <typename Real>
void expectVectorTablesGiveTheGeneric(const LikKernels &K, uint32_t n)
{
    std::mt19937 rng(97 + n);
    LikKernelContext c{};
    c.nstates = n;
    c.nvals = likValuesPerPattern(K, n);
    c.npatterns = 53;
    c.ncat = n == 4 ? 4 : 3;
    c.ntipcodes = n + 3;
    TableInput<Real> in(c, rng);
    c.weights = in.weights.data();
    c.constLikes = in.constLikes.data();
    const size_t values = size_t{c.ncat} * c.npatterns * c.nvals;
    constexpr bool single = sizeof(Real) == sizeof(float);
    for (const bool tip : {false, true}) {
        SCOPED_TRACE(tip ? "tip end" : "two arrays");
        std::vector<double> want(values, -1.0), got(values, -2.0), wantK(c.npatterns), gotK(c.npatterns);
        const LikTableFxn generic = tip ? (single ? likTable1Tip_F : likTable1Tip_D)
                                        : (single ? likTable0Tip_F : likTable0Tip_D);
        generic(c, in.op(want.data(), wantK.data()), 0, c.npatterns);
        // In two pieces, as chunks of threads make it.
        (tip ? K.table1Tip : K.table0Tip)(c, in.op(got.data(), gotK.data()), 0, 20);
        (tip ? K.table1Tip : K.table0Tip)(c, in.op(got.data(), gotK.data()), 20, c.npatterns);
        for (size_t i = 0; i < values; ++i)
            ASSERT_NEAR(got[i], want[i], 1e-13 * (1 + std::fabs(want[i]))) << "value " << i;
        for (uint32_t p = 0; p < c.npatterns; ++p)
            ASSERT_EQ(gotK[p], wantK[p]) << "constant term " << p;
        LikEvalOp e{};
        e.a = want.data();
        e.scalerA = wantK.data();
        e.W = in.exps.data();
        e.W1 = in.exps.data() + size_t{c.ncat} * c.nvals;
        e.W2 = in.exps.data() + 2 * size_t{c.ncat} * c.nvals;
        for (const uint32_t mode : {kLikModeD1 | kLikModeD2, kLikModeD1 | kLikModeD2 | kLikModeLnL,
                                    uint32_t{kLikModeD1}}) {
            const LikResult w = likEvalTable(c, e, 0, c.npatterns, mode);
            const LikResult g = K.evalTable(c, e, 0, c.npatterns, mode);
            EXPECT_EQ(w.lnL, 0.0);
            EXPECT_NE(w.d1, 0.0);
            EXPECT_NEAR(g.d1, w.d1, 1e-12 * (1 + std::fabs(w.d1))) << "mode " << mode;
            EXPECT_NEAR(g.d2, w.d2, 1e-12 * (1 + std::fabs(w.d2))) << "mode " << mode;
            EXPECT_EQ(w.d2 != 0.0, (mode & kLikModeD2) != 0);
        }
    }
}

}  // namespace

// Every vector set's sum-table members against the generic ones on random
// arrays: four states, twenty, and a padded row of five.
TEST(LikKernels, VectorSumTablesGiveTheGenericValues)
{
    int tried = 0;
    for (LikIsa isa : {LikIsa::Sse, LikIsa::Avx2}) {
        if (const LikKernels *K = likKernelsOf(LikKernelSet::Dna_DVec, isa)) {
            SCOPED_TRACE(K->name);
            expectVectorTablesGiveTheGeneric<double>(*K, 4);
            ++tried;
        }
        if (const LikKernels *K = likKernelsOf(LikKernelSet::Dna_Vec, isa)) {
            SCOPED_TRACE(K->name);
            expectVectorTablesGiveTheGeneric<float>(*K, 4);
            ++tried;
        }
        if (const LikKernels *K = likKernelsOf(LikKernelSet::Gen_Vec, isa)) {
            SCOPED_TRACE(K->name);
            expectVectorTablesGiveTheGeneric<float>(*K, 20);
            expectVectorTablesGiveTheGeneric<float>(*K, 5);
            ++tried;
        }
    }
    if (tried == 0)
        GTEST_SKIP() << "no vector kernels on this processor";
}
