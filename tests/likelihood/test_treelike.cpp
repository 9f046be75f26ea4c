// The tree-likelihood driver over the joined kernels: whole-tree -ln L
// against a plain pruning computation in every precision and layout,
// derivatives against finite differences, Newton against Brent, and the
// driver's sentinels and limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "data/nexsets.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/likeops.h"
#include "likelihood/ml_multithread.h"
#include "likelihood/paramvec.h"
#include "likelihood/ratevar.h"
#include "likelihood/rogers.h"
#include "likelihood/treelike.h"
#include "ml_fixture.h"
#include "print_capture.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_setptn.h"
#include "trees/treeedit.h"
#include "support/tree_test_support.h"

namespace {

class TreeLikeTest : public MLTreeFixture {
protected:
    void prepare(uint32_t ntax, uint32_t nchar, std::mt19937 &rng, double ambiguous = 0.05)
    {
        makeDna(ntax, nchar, rng, ambiguous);
        tree.reset(createTreeForTaxa(ntax, ntax, false));
        buildTestTree(tree.get(), randomTreeText(rng, ntax, -1, true), -1);
        setTraversalSeq(tree.get());
        std::uniform_real_distribution<double> len(0.01, 0.3);
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            tree->nodes[i].edge.brlen = len(rng);
        reinit();
    }

    void reinit()
    {
        applySettings();
        ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        g = activeModelGroup();
    }

    // Replaces the data by sequences evolved along the tree under the
    // prepared model (equal rates), then prepares again.
    void simulate(std::mt19937 &rng)
    {
        Model *m = g->engine->map.siteCats[0].model;
        const std::vector<double> pi = modelEngine(m)->pi;
        std::uniform_real_distribution<double> u(0.0, 1.0);
        auto draw = [&](const double *p) {
            double x = u(rng);
            for (int i = 0; i < 3; ++i)
                if ((x -= p[i]) < 0)
                    return i;
            return 3;
        };
        std::vector<int> state(tree->maxNodes);
        RowMatrix<double> P;
        P.resize(4, 4);
        for (uint32_t c = 0; c < d->nchar; ++c) {
            TreeNode *top = tree->root->firstChild;
            state[static_cast<size_t>(top - tree->nodes)] = draw(pi.data());
            for (TreeNode *x = top->firstChild; x != nullptr; x = nextPreorderNode(x, top)) {
                modelEngine(m)->fxns.chgMatrix(m, x->edge.brlen, P.data());
                const int s = draw(P.rows[static_cast<size_t>(state[static_cast<size_t>(x->anc - tree->nodes)])]);
                state[static_cast<size_t>(x - tree->nodes)] = s;
                if (x->firstChild == nullptr) {
                    ASSERT_EQ(setXijRaw(d, static_cast<uint32_t>(x->index), c, static_cast<uint8_t>(s)), 0);
                }
            }
        }
        resetCLAs(g, tree.get(), true);
        invalidateSitePatternData(true);
        reinit();
    }

    std::vector<double> currentLengths() const
    {
        std::vector<double> v(tree->maxNodes);
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            v[i] = tree->nodes[i].edge.brlen;
        return v;
    }

    // The optimised score from the given lengths under the current settings.
    double optimiseFrom(const std::vector<double> &start)
    {
        ml.prepValid[0] = 0;
        reinit();
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            tree->nodes[i].edge.brlen = start[i];
        return calcTreeLikelihood(tree.get(), kNoLScore);
    }

    uint64_t tipBits(const TreeNode *n, uint32_t p) const
    {
        const SitePatternData *pd = g->patterns;
        const uint32_t active = d->taxa.originalToActive ? d->taxa.originalToActive[n->index] : n->index;
        return pd->codeBits[pd->rows[active][g->groupToCompressed[p]]] & 0xF;
    }

    // -ln L by plain pruning from the basal fork, every rate category and
    // the invariable-site term by hand, with no rescaling: in long double,
    // whose range no tree of a test reaches the end of, by default.
    template <typename Real = long double>
    double pruning()
    {
        const Model *m = g->engine->map.siteCats[0].model;
        const MLRateInfo *ri = m->rateInfo;
        const std::vector<double> &pi = modelEngine(const_cast<Model *>(m))->pi;
        const double pinv = modelEngine(const_cast<Model *>(m))->pinv;
        const uint32_t ncat = ri ? static_cast<uint32_t>(ri->rates.size()) : 1;
        Real lnL = 0.0;
        for (uint32_t p = 0; p < g->ngrp; ++p) {
            Real L = 0.0;
            for (uint32_t r = 0; r < ncat; ++r) {
                const double rate = ri ? ri->rates[r] : 1.0, prob = ri ? ri->probs[r] : 1.0;
                std::function<void(TreeNode *, Real *)> cl = [&](TreeNode *x, Real *v) {
                    if (x->firstChild == nullptr) {
                        const uint64_t b = tipBits(x, p);
                        for (int i = 0; i < 4; ++i)
                            v[i] = (b >> i) & 1 ? Real(1) : Real(0);
                        return;
                    }
                    std::fill(v, v + 4, Real(1));
                    for (TreeNode *c = x->firstChild; c; c = c->nextSib) {
                        Real w[4];
                        cl(c, w);
                        RowMatrix<double> P;
                        P.resize(4, 4);
                        modelEngine(const_cast<Model *>(m))->fxns.chgMatrix(m, c->edge.brlen * rate * m->relRate, P.data());
                        for (int i = 0; i < 4; ++i) {
                            Real s = 0;
                            for (int j = 0; j < 4; ++j)
                                s += P.rows[i][j] * w[j];
                            v[i] *= s;
                        }
                    }
                };
                Real v[4];
                cl(tree->root->firstChild, v);
                for (int i = 0; i < 4; ++i)
                    L += prob * pi[i] * v[i];
            }
            uint64_t common = 0xF;
            for (uint32_t t = 0; t < tree->ntax; ++t)
                common &= tipBits(tree->firstTip + t, p);
            for (int i = 0; i < 4; ++i)
                if ((common >> i) & 1)
                    L += pinv * pi[i];
            lnL += g->groupPatternWeight[p] * std::log(L);
        }
        return -static_cast<double>(lnL);
    }

    // The score at the edge above every node of the visit, for the same
    // lengths: each must give the whole tree's -ln L.
    void expectEveryEdgeGives(double expected, double rel)
    {
        setMLVisitSequence(tree.get());
        for (TreeNode *n : mlVisitSequence()) {
            ASSERT_EQ(updateCLforEdge(n, g), 0);
            EXPECT_NEAR(evaluateEdge(n, g, kLikModeLnL).lnL, expected, rel * expected) << "node " << n - tree->nodes;
            releasePreorderCLAs(g, n, true);
        }
        releaseAllCLAs(tree.get(), g);
    }
};

TEST_F(TreeLikeTest, WholeTreeScoreEqualsPlainPruningInEveryPrecisionAndLayout)
{
    std::mt19937 rng(31);
    ml.rates = 1;  // gamma, 4 categories
    ml.userPInvar = 0.2;
    prepare(9, 300, rng);
    const double expected = pruning();
    ASSERT_TRUE(std::isfinite(expected));
    struct Variant {
        int precision, vector;
        double rel;
    };
    for (const Variant v : {Variant{0, 0, 1e-11}, Variant{1, 0, 2e-6}, Variant{1, 1, 2e-6}}) {
        SCOPED_TRACE("precision " + std::to_string(v.precision) + " vector " + std::to_string(v.vector));
        ml.precision = static_cast<uint8_t>(v.precision);
        ml.vector = static_cast<uint8_t>(v.vector);
        ml.prepValid[0] = 0;
        reinit();
        EXPECT_EQ(g->engine->kernels.lik->vectorLayout, v.precision == 1 && v.vector == 1);
        EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), expected, v.rel * expected);
        expectEveryEdgeGives(expected, v.rel);
    }
}

TEST_F(TreeLikeTest, ThreadsSplitThePatternsWithoutChangingTheOptimum)
{
    std::mt19937 rng(44);
    ml.rates = 1;
    ml.initBrLenMethod = kInitBrLenArbitrary;
    prepare(9, 700, rng);
    simulate(rng);
    const std::vector<double> start = currentLengths();
    const double one = calcTreeLikelihood(tree.get(), kNoLScore);
    // More threads than the process may run on are made too: the count
    // is the user's.
    for (int32_t n : {2, 3, availableProcessors() + 1}) {
        ml.nthreads = n;
        EXPECT_NEAR(optimiseFrom(start), one, 1e-8 * one) << n << " threads";
        EXPECT_TRUE(isMultithreadingActive());
        EXPECT_EQ(g->engine->likThreads, nullptr) << "the call that started the threads ends them";
    }
    // Threads that cannot be started (short of memory for their stacks)
    // leave the work to the calling thread, which says so once in a
    // command however many evaluations follow, and gives the same score.
    ml.nthreads = 4;
    {
        PrintCapture capture;
        clearThreadsRefused();
        qel_setThreadStartFailureCountdown(1);
        EXPECT_NEAR(optimiseFrom(start), one, 1e-8 * one) << "threads refused";
        qel_setThreadStartFailureCountdown(-1);
        EXPECT_NEAR(calcTreeLikelihood(tree.get(), kNoLScore), one, 1e-8 * one) << "still refused";
        const std::string note = "Could not start 4 likelihood threads; computing on one thread.\n";
        EXPECT_EQ(capture.text(), note);
        // The next command tries again, and gets them.
        clearThreadsRefused();
        EXPECT_NEAR(optimiseFrom(start), one, 1e-8 * one) << "threads granted";
        EXPECT_EQ(capture.text(), note);
    }
    // "auto" asks for every processor the process may run on.
    ml.nthreads = 0;
    EXPECT_NEAR(optimiseFrom(start), one, 1e-8 * one) << "auto threads";
    EXPECT_EQ(g->nthreads, static_cast<uint32_t>(availableProcessors()));
}

// "auto" threads where the processors cannot be counted: one thread, with
// the warning that tells how to ask for more; a count given is used as is.
TEST_F(TreeLikeTest, UncountedProcessorsLeaveAutoThreadsAtOne)
{
    std::mt19937 rng(45);
    prepare(6, 200, rng);
    const double one = calcTreeLikelihood(tree.get(), kNoLScore);
    const MsgHook savedWarning = qel_warningMsg;
    qel_warningMsg = captureMsg;
    qel_setProcessorCountUnknown(true);
    gPrinted.clear();
    ml.nthreads = 0;
    ml.prepValid[0] = 0;
    reinit();
    EXPECT_EQ(g->nthreads, 1u);
    EXPECT_FALSE(isMultithreadingActive());
    EXPECT_EQ(gPrinted, "The number of processors could not be determined.  You must specify the number of threads "
                        "explicitly (e.g., \"lset nthreads=4\") if you want to activate multithreading.");
    EXPECT_DOUBLE_EQ(calcTreeLikelihood(tree.get(), kNoLScore), one);
    gPrinted.clear();
    ml.nthreads = 3;
    ml.prepValid[0] = 0;
    reinit();
    EXPECT_EQ(g->nthreads, 3u);
    EXPECT_EQ(gPrinted, "");
    qel_setProcessorCountUnknown(false);
    qel_warningMsg = savedWarning;
    EXPECT_NE(getProcessorInfo(), 0u);
}

TEST_F(TreeLikeTest, RescaledDeepTreesKeepTheirScore)
{
    // 60 taxa and a tiny threshold force rescaling in every CLA; the
    // rescalers must carry the scale exactly.
    std::mt19937 rng(8);
    ml.clRescale = 1e-3;
    prepare(60, 40, rng, 0.0);
    const double expected = pruning();
    EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), expected, 1e-10 * expected);
}

// A caterpillar of 700 taxa: the conditional likelihoods near its base fall
// far below the smallest double (about 4^-700), so a pruning in double
// underflows to a zero likelihood. With rescaling at its usual threshold
// the engine gives the long-double pruning's -ln L in every precision;
// without it, it cannot.
TEST_F(TreeLikeTest, RescalingCarriesATreeBeyondTheRangeOfDoubles)
{
    constexpr uint32_t kTaxa = 700;
    std::mt19937 rng(17);
    makeDna(kTaxa, 12, rng, 0.0);
    std::string text = std::to_string(kTaxa - 1);
    for (uint32_t t = kTaxa - 1; t-- > 0;)
        text = "(" + std::to_string(t) + "," + text + ")";
    tree.reset(createTreeForTaxa(kTaxa, kTaxa, false));
    buildTestTree(tree.get(), text, -1);
    setTraversalSeq(tree.get());
    for (uint32_t i = 0; i < tree->maxNodes; ++i)
        tree->nodes[i].edge.brlen = 0.4;
    const double threshold = ml.clRescale;
    ASSERT_GT(threshold, 0.0) << "rescaling is on by default";
    reinit();
    const double expected = pruning();
    ASSERT_TRUE(std::isfinite(expected));
    EXPECT_GT(expected, 12 * 700 * std::log(2.0)) << "each site's likelihood is below the range of doubles";
    EXPECT_TRUE(std::isinf(pruning<double>())) << "a pruning in double underflows";
    struct Variant {
        int precision, vector;
        double rel;
    };
    for (const Variant v : {Variant{0, 0, 1e-11}, Variant{1, 0, 2e-6}, Variant{1, 1, 2e-6}}) {
        SCOPED_TRACE(testing::Message() << "precision " << v.precision << " vector " << v.vector);
        ml.precision = static_cast<uint8_t>(v.precision);
        ml.vector = static_cast<uint8_t>(v.vector);
        ml.clRescale = threshold;
        ml.prepValid[0] = 0;
        reinit();
        EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), expected, v.rel * expected);
        releaseAllCLAs(tree.get(), g);
        ml.clRescale = 0.0;
        ml.prepValid[0] = 0;
        reinit();
        const double unscaled = calcLForCurBranchLens(tree.get(), false);
        EXPECT_FALSE(std::fabs(unscaled - expected) < 1e-3 * expected) << unscaled;
        releaseAllCLAs(tree.get(), g);
    }
    ml.clRescale = threshold;
}

// A whole-tree pass runs its CL updates and the evaluation in one round,
// deciding on rescaling chunk by chunk of patterns. It must give the score
// of the updates run one by one (bit for bit when nothing is rescaled, and
// to the precision's accuracy where the two rescale different patterns),
// the same bits with no thread group and on 1, 2, 3 and 8 threads, and
// the plain pruning value.
TEST_F(TreeLikeTest, OneRoundPassEqualsUpdatesOneByOneOnAnyThreadCount)
{
    std::mt19937 rng(131);
    ml.rates = 1;
    // Workspaces for up to 8 threads, which make the matrices in a round of
    // their own.
    ml.nthreads = std::min(8, availableProcessors());
    prepare(40, 600, rng);
    ASSERT_GT(g->ngrp, 256u) << "several chunks of patterns";
    const double expected = pruning();
    auto oneByOne = [&] {
        releaseAllCLAs(tree.get(), g);
        // The edge a whole-tree pass evaluates: the first below the basal
        // node, which hangs from the data-less ancestor.
        TreeNode *basal = tree->root->firstChild->firstChild;
        EXPECT_EQ(updateCLforEdge(basal, g), 0);
        const double s = evaluateEdge(basal, g, kLikModeLnL).lnL;
        releaseAllCLAs(tree.get(), g);
        return s;
    };
    // A new thread group runs its first round on all its threads.
    auto onePass = [&](int32_t threads) {
        ModelGroupEngine &e = *g->engine;
        e.likThreads = threads > 0 ? createLikThreads(threads) : nullptr;
        const double s = calcLForCurBranchLens(tree.get(), false);
        e.likThreads = destroyLikThreads(e.likThreads);
        return s;
    };
    struct Variant {
        int precision, vector;
        double threshold, rel;
    };
    for (const Variant v : {Variant{0, 0, 0.0, 1e-11}, Variant{0, 0, 1e-3, 1e-11}, Variant{1, 0, 0.0, 2e-6},
                            Variant{1, 1, 0.0, 2e-6}, Variant{1, 1, 1e-3, 2e-6}, Variant{1, 1, 1e-20, 2e-6}}) {
        SCOPED_TRACE(testing::Message() << "precision " << v.precision << " vector " << v.vector << " threshold "
                                        << v.threshold);
        ml.precision = static_cast<uint8_t>(v.precision);
        ml.vector = static_cast<uint8_t>(v.vector);
        ml.clRescale = v.threshold;
        ml.prepValid[0] = 0;
        reinit();
        const double single = oneByOne(), batched = onePass(0);
        if (v.threshold == 0.0)
            EXPECT_EQ(std::memcmp(&batched, &single, sizeof(double)), 0) << batched << " " << single;
        else
            EXPECT_NEAR(batched, single, v.rel * single);
        EXPECT_NEAR(batched, expected, v.rel * expected);
        for (int32_t n : {1, 2, 3, 8}) {
            if (n > availableProcessors())
                continue;
            const double threaded = onePass(n);
            EXPECT_EQ(std::memcmp(&threaded, &batched, sizeof(double)), 0) << threaded << " " << batched << ", " << n;
        }
    }
}

// A pass that needs only the CLAs around its edge gives each buffer back as
// soon as its parent is made, and the next update writes it again: with
// polytomies (updates that run between recorded ones) and rescaling, every
// precision and thread count scores the same bits as a pass that keeps
// them all, in fewer buffers.
TEST_F(TreeLikeTest, PassReturningReadBuffersScoresAsOneKeepingThem)
{
    std::mt19937 rng(77);
    ml.rates = 1;
    ml.nthreads = std::min(8, availableProcessors());
    prepare(40, 600, rng);
    auto buffersTaken = [&](bool keep, double &score) {
        ClaPool &pool = *g->engine->pool;
        releaseAllCLAs(tree.get(), g);
        pool.lowWater = pool.count;
        score = calcLForCurBranchLens(tree.get(), keep);
        const int32_t taken = pool.count - pool.lowWater;
        releaseAllCLAs(tree.get(), g);
        return taken;
    };
    for (const int precision : {0, 1}) {
        ml.precision = static_cast<uint8_t>(precision);
        ml.vector = static_cast<uint8_t>(precision);
        ml.clRescale = 1e-3;
        ml.prepValid[0] = 0;
        reinit();
        for (const int32_t n : {0, 1, 2, 3, 8}) {
            if (n > availableProcessors())
                continue;
            SCOPED_TRACE(testing::Message() << "precision " << precision << ", threads " << n);
            ModelGroupEngine &e = *g->engine;
            e.likThreads = n > 0 ? createLikThreads(n) : nullptr;
            double kept = 0.0, returned = 0.0;
            const int32_t all = buffersTaken(true, kept), few = buffersTaken(false, returned);
            e.likThreads = destroyLikThreads(e.likThreads);
            EXPECT_EQ(std::memcmp(&returned, &kept, sizeof(double)), 0) << returned << " " << kept;
            EXPECT_LT(few, all);
            EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
        }
    }
}

TEST_F(TreeLikeTest, DerivativesMatchFiniteDifferences)
{
    std::mt19937 rng(4);
    ml.rates = 1;
    prepare(7, 120, rng);
    setMLVisitSequence(tree.get());
    for (TreeNode *n : mlVisitSequence()) {
        ASSERT_EQ(updateCLforEdge(n, g), 0);
        const double t = n->edge.brlen, h = 1e-5;
        const LikResult r = evaluateEdge(n, g, kLikModeLnL | kLikModeD1 | kLikModeD2);
        n->edge.brlen = t + h;
        const double up = evaluateEdge(n, g, kLikModeLnL).lnL;
        n->edge.brlen = t - h;
        const double dn = evaluateEdge(n, g, kLikModeLnL).lnL;
        n->edge.brlen = t;
        EXPECT_NEAR(r.d1, (up - dn) / (2 * h), 1e-4 * (1 + std::fabs(r.d1)));
        EXPECT_NEAR(r.d2, (up - 2 * r.lnL + dn) / (h * h), 1e-2 * (1 + std::fabs(r.d2)));
        releasePreorderCLAs(g, n, true);
    }
    releaseAllCLAs(tree.get(), g);
}

// An edge's sum table must give the edge evaluator's derivatives at any
// length the Newton steps may reach: every model family (the closed forms
// through their rate matrix, the eigen path through its own
// decomposition), +G with +I, rescaled arrays, tips with ambiguities and
// missing cells, both precisions and layouts, and a thread group.
struct EdgeTableCase {
    const char *name;
    int nst, freqs, rates, variant, precision, vector, threads;
    double pinv, threshold, rel;
};

const EdgeTableCase kEdgeTableCases[] = {
    {"K2P closed form", 1, kFreqEqual, 0, 0, 0, 0, 0, 0.0, 1e-20, 1e-8},
    {"HKY+G", 2, kFreqEmpirical, 1, 0, 0, 0, 0, 0.0, 1e-20, 1e-8},
    {"F84+I rescaled", 2, kFreqEmpirical, 0, 1, 0, 0, 0, 0.3, 0.3, 1e-8},
    {"GTR+I+G", 6, kFreqEmpirical, 1, 0, 0, 0, 0, 0.25, 1e-20, 1e-8},
    {"GTR+I+G on threads", 6, kFreqEmpirical, 1, 0, 0, 0, 3, 0.25, 1e-20, 1e-8},
    {"HKY+I+G single", 2, kFreqEmpirical, 1, 0, 1, 0, 0, 0.2, 1e-20, 1e-4},
    {"HKY+I single vector rescaled", 2, kFreqEmpirical, 0, 0, 1, 1, 0, 0.2, 0.3, 1e-4},
    {"GTR+G single vector", 6, kFreqEmpirical, 1, 0, 1, 1, 0, 0.0, 1e-20, 1e-4},
};

class EdgeTableTest : public TreeLikeTest, public testing::WithParamInterface<EdgeTableCase> {};

TEST_P(EdgeTableTest, SumTablesGiveTheEvaluatorsDerivatives)
{
    const EdgeTableCase &c = GetParam();
    std::mt19937 rng(61);
    ml.NST = c.nst;
    ml.baseFreqMode = c.freqs;
    ml.rates = c.rates;
    ml.variant = c.variant;
    ml.userPInvar = c.pinv;
    ml.precision = static_cast<uint8_t>(c.precision);
    ml.vector = static_cast<uint8_t>(c.vector);
    ml.clRescale = c.threshold;
    ml.rAC = 1.3;
    ml.rAG = 3.1;
    ml.rCT = 4.0;
    ml.nthreads = c.threads > 0 ? c.threads : 1;
    // Deep enough for the tiny threshold to rescale, and evolved on the
    // tree so that constant sites meet rescaled arrays.
    const bool rescaled = c.threshold > 1e-10;
    prepare(rescaled ? 40 : 10, rescaled ? 400 : 160, rng, 0.1);
    if (rescaled) {
        // Short edges leave constant sites, whose arrays deep in the
        // tree are still small enough to be rescaled.
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            tree->nodes[i].edge.brlen = 0.05;
        simulate(rng);
    }
    ModelGroupEngine &e = *g->engine;
    if (c.threads > 0) {
        ASSERT_FALSE(g->singleThreaded);
        e.likThreads = createLikThreads(c.threads);
    }
    EXPECT_EQ(modelEngine(e.map.siteCats[0].model)->pinv > 0.0, c.pinv > 0.0);
    EXPECT_EQ(e.kernels.lik->vectorLayout, c.precision == 1 && c.vector == 1);
    setMLVisitSequence(tree.get());
    for (TreeNode *n : mlVisitSequence()) {
        ASSERT_EQ(updateCLforEdge(n, g), 0);
        ASSERT_TRUE(prepareEdgeTable(n, g));
        const double given = n->edge.brlen;
        for (const double t : {1e-7, 0.004, given, 0.4, 2.5}) {
            n->edge.brlen = t;
            const LikResult want = evaluateEdge(n, g, kLikModeD1 | kLikModeD2);
            const LikResult got = evaluateEdgeTable(n, g, kLikModeD1 | kLikModeD2);
            const LikResult slope = evaluateEdgeTable(n, g, kLikModeD1);
            EXPECT_NEAR(got.d1, want.d1, c.rel * (1 + std::fabs(want.d1))) << "t " << t;
            EXPECT_NEAR(got.d2, want.d2, c.rel * (1 + std::fabs(want.d2))) << "t " << t;
            EXPECT_EQ(slope.d1, got.d1);
        }
        n->edge.brlen = given;
        releasePreorderCLAs(g, n, true);
    }
    releaseAllCLAs(tree.get(), g);
    e.likThreads = destroyLikThreads(e.likThreads);
}

INSTANTIATE_TEST_SUITE_P(EveryFamilyAndLayout, EdgeTableTest, testing::ValuesIn(kEdgeTableCases),
                         [](const testing::TestParamInfo<EdgeTableCase> &info) {
                             std::string name;
                             for (const char *x = info.param.name; *x != 0; ++x)
                                 name += std::isalnum(static_cast<unsigned char>(*x)) ? *x : '_';
                             return name;
                         });

// A table is made for one edge: asked about another (whose arrays it was
// not made from), the evaluator answers instead.
TEST_F(TreeLikeTest, AnEdgeSumTableAnswersForItsOwnEdgeOnly)
{
    std::mt19937 rng(62);
    ml.rates = 1;
    prepare(8, 90, rng);
    setMLVisitSequence(tree.get());
    const auto &visit = mlVisitSequence();
    TreeNode *a = visit[0], *b = visit[1];
    ASSERT_EQ(updateCLforEdge(a, g), 0);
    ASSERT_TRUE(prepareEdgeTable(a, g));
    releaseAllCLAs(tree.get(), g);
    ASSERT_EQ(updateCLforEdge(b, g), 0);
    const LikResult want = evaluateEdge(b, g, kLikModeD1 | kLikModeD2);
    const LikResult got = evaluateEdgeTable(b, g, kLikModeD1 | kLikModeD2);
    EXPECT_EQ(got.d1, want.d1);
    EXPECT_EQ(got.d2, want.d2);
    releaseAllCLAs(tree.get(), g);
}

TEST_F(TreeLikeTest, NewtonAndBrentReachTheSameOptimum)
{
    std::mt19937 rng(12);
    ml.initBrLenMethod = kInitBrLenArbitrary;
    prepare(10, 400, rng);
    simulate(rng);
    const std::vector<double> start = currentLengths();
    const double newton = calcTreeLikelihood(tree.get(), kNoLScore);
    EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count) << "every CLA is given back";
    ml.blopt = static_cast<int32_t>(kBloptBrent1D);
    const double brent = optimiseFrom(start);
    EXPECT_NEAR(newton, brent, 1e-6);
    // The optimum is an optimum: the score at the lengths reached, and no
    // better with any single length nudged.
    EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), brent, 1e-8);
    for (TreeNode *n : mlVisitSequence()) {
        const double t = n->edge.brlen;
        for (double f : {0.9, 1.1}) {
            n->edge.brlen = t * f;
            EXPECT_GE(calcLForCurBranchLens(tree.get(), false), brent - 1e-6);
        }
        n->edge.brlen = t;
    }
}

TEST_F(TreeLikeTest, PassLimitZeroScoresTheStartingLengthsAndTargetScreensTrees)
{
    std::mt19937 rng(3);
    ml.initBrLenMethod = kInitBrLenArbitrary;
    ml.maxPass = 0;
    prepare(8, 200, rng);
    const double atStart = calcTreeLikelihood(tree.get(), kNoLScore);
    for (TreeNode *n : mlVisitSequence())
        EXPECT_EQ(n->edge.brlen, 0.1);
    EXPECT_GT(atStart, 0.0) << "a pass limit of 0 must not report a perfect score";
    EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), atStart, 1e-9);
    EXPECT_EQ(improveBranchLens(tree.get()), atStart);

    // With screening on, a target far below the approximate score rejects
    // the tree at its approximate score (the score of the starting lengths);
    // with an approximation limit of 0 that score is always the result.
    ml.maxPass = 20;
    ml.useApproxLim = 1;
    ml.approxLim = 5.0;
    ml.initBrLenMethod = kInitBrLenRogers;
    ml.prepValid[0] = 0;
    reinit();
    ASSERT_TRUE(usingApproxLimit());
    const double rejected = calcTreeLikelihood(tree.get(), 10.0);
    EXPECT_NEAR(rejected, calcLForCurBranchLens(tree.get(), false), 1e-9);
    const double optimised = calcTreeLikelihood(tree.get(), kNoLScore);
    EXPECT_LT(optimised, rejected);
    ml.approxLim = 0.0;
    ml.prepValid[0] = 0;
    reinit();
    EXPECT_NEAR(calcTreeLikelihood(tree.get(), kNoLScore), rejected, 1e-9);
}

// During a search a limit that the starting lengths' error exceeds would
// reject trees that optimisation makes better than the target: it is
// widened to twice that error, said once, and the same tree against the
// same target is then optimised. Outside a search, or with the adjustment
// off, the limit stays and the tree stays rejected.
TEST_F(TreeLikeTest, ApproximationLimitWidensToTwiceTheErrorDuringASearch)
{
    std::mt19937 rng(11);
    prepare(10, 300, rng);
    ml.useApproxLim = 1;
    ml.approxLim = 0.001;
    ml.initBrLenMethod = kInitBrLenRogers;
    struct LongOperation {
        int32_t saved;
        explicit LongOperation(int32_t on) : saved(setLongOperationStatus(on)) {}
        ~LongOperation() { setLongOperationStatus(saved); }
    };
    const std::vector<double> start = currentLengths();
    const double optimum = optimiseFrom(start);
    const double approx = g->approxScore;
    ASSERT_GT(std::fabs(approx - optimum) / optimum, 1e-5) << "the starting lengths must miss by more than the limit";
    const double target = optimum + 0.01;

    for (const bool adjust : {false, true}) {
        for (const int32_t running : {0, 1}) {
            ml.adjustAppLim = adjust;
            optimiseFrom(start);
            const double factor = getActiveML()->targetThreshFactor;
            ASSERT_DOUBLE_EQ(factor, 1.00001);
            PrintCapture capture;
            LongOperation op(running);
            for (uint32_t i = 0; i < tree->maxNodes; ++i)
                tree->nodes[i].edge.brlen = start[i];
            // Unbounded, so that the error is seen; then against the target.
            EXPECT_NEAR(calcTreeLikelihood(tree.get(), kNoLScore), optimum, 1e-6);
            const double relative = std::fabs(optimum - g->approxScore) / optimum;
            const bool widened = adjust && running;
            const double againstTarget = calcTreeLikelihood(tree.get(), target);
            if (widened) {
                EXPECT_NEAR(getActiveML()->targetThreshFactor, 1.0 + 2.0 * relative, 1e-12);
                EXPECT_NE(printedText().find("Note: Approximation limit dynamically readjusted to"), std::string::npos);
                EXPECT_NEAR(againstTarget, optimum, 1e-6) << "the widened limit lets the tree be optimised";
            } else {
                EXPECT_EQ(getActiveML()->targetThreshFactor, factor);
                EXPECT_EQ(printedText().find("readjusted"), std::string::npos);
                EXPECT_NEAR(againstTarget, g->approxScore, 1e-9) << "rejected at its approximate score";
                EXPECT_GT(againstTarget, target);
            }
        }
    }
}

// A search's time limit stops a branch-length pass at the next edge: the
// lengths reached stand and the score returned is theirs.
TEST_F(TreeLikeTest, TimeLimitStopsAPassAtAnEdge)
{
    std::mt19937 rng(5);
    prepare(10, 300, rng);
    const std::vector<double> start = currentLengths();
    const double atStart = calcLForCurBranchLens(tree.get(), false);
    setEstimateDeadline(1);  // long past
    EXPECT_NEAR(improveBranchLens(tree.get()), atStart, 1e-9);
    EXPECT_EQ(currentLengths(), start);
    setEstimateDeadline(0);
    const double fitted = improveBranchLens(tree.get());
    EXPECT_LT(fitted, atStart - 1.0);
    EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), fitted, 1e-6 * fitted);
    EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
}

TEST_F(TreeLikeTest, StandardErrorsAndZeroLengthTests)
{
    std::mt19937 rng(21);
    ml.initBrLenMethod = kInitBrLenArbitrary;
    prepare(8, 500, rng);
    simulate(rng);
    setNeedBrlenStdErr(true);
    for (int32_t kind : {1, 2}) {
        ml.zeroLenTest = kind;
        const double best = calcTreeLikelihood(tree.get(), kNoLScore);
        EXPECT_EQ(didZeroLenTest(), kind);
        for (TreeNode *n : mlVisitSequence()) {
            const double se = brlenStdErr(tree.get(), n);
            EXPECT_TRUE(se == kNoStdErr || (se > 0.0 && std::isfinite(se)));
            const double diff = zeroLenScoreDiff(tree.get(), n);
            EXPECT_TRUE(std::isfinite(diff)) << "no NaN from a terminal branch's spread length";
            EXPECT_GE(diff, -1e-4) << "length 0 cannot beat the optimum";
        }
        EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), best, 1e-8) << "the lengths are restored";
    }
    setNeedBrlenStdErr(false);
}

TEST_F(TreeLikeTest, AddingATaxonOnAnEdgeLeavesTheTreeAsItWas)
{
    std::mt19937 rng(17);
    ml.initBrLenMethod = kInitBrLenArbitrary;
    makeDna(7, 300, rng);
    tree.reset(createTreeForTaxa(7, 7, false));
    // Taxon 6 is left out and added on each edge in turn.
    buildTestTree(tree.get(), "((0:0.1,1:0.2):0.05,(2:0.1,3:0.3):0.1,(4:0.2,5:0.1):0.1)", -1);
    setTraversalSeq(tree.get());
    reinit();
    const double base = calcTreeLikelihood(tree.get(), kNoLScore);
    ASSERT_LT(base, kNoLScore);
    const std::vector<double> lengths = currentLengths();
    TreeNode *leaf = tree->firstTip + 6;
    TreeNode *junction = tree->nodes + tree->maxNodes - 1;
    setMLVisitSequence(tree.get());
    const std::vector<TreeNode *> edges = mlVisitSequence();
    double best = kNoLScore;
    for (TreeNode *e : edges) {
        const double s = calcLScoreWith3EdgeOpt(leaf, e, junction);
        releaseAllCLAs(tree.get(), g);
        ASSERT_LT(s, kNoLScore);
        EXPECT_GT(s, base) << "one more taxon only adds to -ln L";
        best = std::min(best, s);
        for (TreeNode *n : edges)
            ASSERT_EQ(n->edge.brlen, lengths[static_cast<size_t>(n - tree->nodes)]);
        EXPECT_EQ(leaf->anc, nullptr);
    }
    EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), base, 1e-8);
    releaseAllCLAs(tree.get(), g);
    EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
}

// The joins of a fast stepwise step keep the arrays one join leaves valid
// for the next: every score equals the join's score computed from nothing,
// and the leaf joined for good leaves a tree the whole likelihood scores.
TEST_F(TreeLikeTest, FastStepwiseJoinsScoreAsJoinsFromNothing)
{
    std::mt19937 rng(23);
    makeDna(9, 400, rng);
    tree.reset(createTreeForTaxa(9, 9, false));
    // Taxon 8 is left out.
    buildTestTree(tree.get(), "((0:0.1,1:0.2):0.05,((2:0.1,3:0.3):0.1,7:0.2):0.02,(4:0.2,(5:0.1,6:0.15):0.03):0.1)", -1);
    setTraversalSeq(tree.get());
    reinit();
    TreeNode *leaf = tree->firstTip + 8;
    TreeNode *junction = tree->nodes + tree->maxNodes - 1;
    ASSERT_LT(fastStepwiseBegin(tree.get()), kNoLScore);
    setMLVisitSequence(tree.get());
    const std::vector<TreeNode *> edges = mlVisitSequence();
    std::vector<double> kept;
    for (TreeNode *e : edges)
        kept.push_back(fastStepwiseJoinScore(tree.get(), leaf, e, junction));
    releaseAllCLAs(tree.get(), g);
    size_t best = 0;
    for (size_t i = 0; i < edges.size(); ++i) {
        const double fresh = calcLScoreWith3EdgeOpt(leaf, edges[i], junction);
        releaseAllCLAs(tree.get(), g);
        EXPECT_NEAR(kept[i], fresh, 1e-6 * fresh) << "edge " << i;
        best = kept[i] < kept[best] ? i : best;
    }
    fastStepwiseJoin(tree.get(), leaf, edges[best], junction);
    tree->numLeaves++;
    setTraversalSeq(tree.get());
    const double improved = fastStepwiseBegin(tree.get());
    const double whole = calcTreeLikelihood(tree.get(), kNoLScore);
    EXPECT_LE(improved, kept[best] + 1e-6 * whole) << "the whole fit does at least as well as three edges " << whole;
    EXPECT_EQ(leaf->anc, junction);
    EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
}

TEST_F(TreeLikeTest, ParsimonyStartsOnConstantAndSimulatedData)
{
    // All characters constant: every branch counts only pairs of equal
    // states, its distance is 0 and it gets the least starting length (4 x
    // the minimum); every pattern has 0 changes, so the moment estimate is
    // undefined.
    std::mt19937 rng(5);
    prepare(8, 50, rng, 0.0);
    for (uint32_t t = 0; t < 8; ++t)
        for (uint32_t c = 0; c < 50; ++c)
            ASSERT_EQ(setXijRaw(d, t, c, static_cast<uint8_t>(c % 4)), 0);
    resetCLAs(g, tree.get(), true);
    invalidateSitePatternData(true);
    reinit();
    ASSERT_EQ(rogers(tree.get(), g, true, true, false), 0);
    setMLVisitSequence(tree.get());
    for (TreeNode *n : mlVisitSequence())
        EXPECT_DOUBLE_EQ(n->edge.brlen, 4e-8);
    auto savedPrintf = qel_printf;
    qel_printf = capturePrintf;
    gPrinted.clear();
    approxGammaShape(tree.get(), g, nullptr, true);
    qel_printf = savedPrintf;
    EXPECT_NE(printedText().find("method-of-moments = undefined"), std::string::npos) << printedText();

    // On data simulated on the tree the Rogers lengths are close to the
    // true ones in sum, and a better start than the arbitrary length.
    TearDown();
    SetUp();
    prepare(12, 2000, rng, 0.0);
    simulate(rng);
    double trueSum = 0.0;
    setMLVisitSequence(tree.get());
    for (TreeNode *n : mlVisitSequence())
        trueSum += n->edge.brlen;
    ASSERT_EQ(rogers(tree.get(), g, true, true, false), 0);
    double sum = 0.0;
    for (TreeNode *n : mlVisitSequence())
        sum += n->edge.brlen;
    EXPECT_NEAR(sum, trueSum, 0.25 * trueSum);
    const double rogersStart = calcLForCurBranchLens(tree.get(), false);
    setBranchLengthsToValue(tree.get(), 0.1);
    EXPECT_LT(rogersStart, calcLForCurBranchLens(tree.get(), false));
}

// The states behind the Rogers lengths form a most-parsimonious
// reconstruction: their changes, the off-diagonal pair counts, add up to the
// tree's parsimony length. AccTran, which starts from the lowest state of an
// ambiguous taxon at the root whatever the rest of the tree holds, can miss.
TEST_F(TreeLikeTest, RogersStatesAreMostParsimonious)
{
    auto offDiagonal = [](const std::vector<double> &N) {
        double changes = 0.0;
        for (uint32_t i = 0; i < 4; ++i)
            for (uint32_t j = 0; j < 4; ++j)
                changes += i != j ? N[i * 4 + j] : 0.0;
        return changes;
    };
    auto pairCounts = [&](bool accTran) {
        ml.useAcctran = accTran;
        EXPECT_EQ(rogers(tree.get(), g, true, true, false), 0);
        return rogersPairCounts();
    };

    // Worked by hand on (0,1,(2,3)) hung from taxon 0: site 1 is {AG} G G G,
    // site 2 A A C C. Refined, site 1 is G on all five branches and site 2
    // changes A to C on the branch to (2,3) only. AccTran takes A for the
    // root and so changes A to G on the root's branch. Site 3, all T, gives
    // the data their fourth base and stays T on every branch.
    std::mt19937 rng(3);
    makeDna(4, 3, rng, 0.0);
    const uint8_t A = 0, C = 1, G = 2, T = 3, R = stateBitsToCode(0b0101, d);
    const uint8_t sites[4][3] = {{R, A, T}, {G, A, T}, {G, C, T}, {G, C, T}};
    for (uint32_t t = 0; t < 4; ++t)
        for (uint32_t c = 0; c < 3; ++c)
            ASSERT_EQ(setXijRaw(d, t, c, sites[t][c]), 0);
    tree.reset(createTreeForTaxa(4, 4, false));
    buildTestTree(tree.get(), "(1,(2,3))", 0);
    setTraversalSeq(tree.get());
    reinit();
    std::vector<double> refined(16, 0.0), accTran(16, 0.0);
    refined[G * 4 + G] = refined[T * 4 + T] = 5;
    refined[A * 4 + A] = refined[C * 4 + C] = 2;
    refined[A * 4 + C] = 1;
    accTran = refined;
    accTran[G * 4 + G] = 4;
    accTran[A * 4 + G] = 1;
    EXPECT_EQ(pairCounts(false), refined);
    EXPECT_EQ(pairCounts(true), accTran);

    // Random data with ambiguities on random trees with polytomies, against
    // the least number of changes by Sankoff's rule.
    for (uint32_t round = 0; round < 3; ++round) {
        TearDown();
        SetUp();
        makeDna(9, 150, rng, 0.15);
        tree.reset(createTreeForTaxa(9, 9, false));
        buildTestTree(tree.get(), randomTreeText(rng, 9, 0, true), 0);
        setTraversalSeq(tree.get());
        reinit();
        double length = 0.0;
        for (uint32_t p = 0; p < g->ngrp; ++p) {
            std::function<std::array<uint32_t, 4>(const TreeNode *)> least = [&](const TreeNode *n) {
                std::array<uint32_t, 4> c{};
                if (n->firstChild == nullptr || n == tree->root)
                    for (uint32_t s = 0; s < 4; ++s)
                        c[s] = (tipBits(n, p) >> s) & 1 ? 0 : 1000;
                for (const TreeNode *k = n->firstChild; k != nullptr; k = k->nextSib) {
                    const std::array<uint32_t, 4> below = least(k);
                    const uint32_t change = *std::min_element(below.begin(), below.end()) + 1;
                    for (uint32_t s = 0; s < 4; ++s)
                        c[s] += std::min(below[s], change);
                }
                return c;
            };
            const std::array<uint32_t, 4> top = least(tree->root);
            length += g->groupPatternWeight[p] * *std::min_element(top.begin(), top.end());
        }
        EXPECT_EQ(offDiagonal(pairCounts(false)), length) << "round " << round;
        EXPECT_GT(offDiagonal(pairCounts(true)), length) << "round " << round;
    }
}

// A model partition scores each subset under its own model: with the
// lengths fixed, the partitioned -ln L is the sum of the subsets' scores,
// each taken unpartitioned under its model with the other subset excluded
// (the subsets interleave, and only one model has rate categories). Two
// subsets naming one model share it and score as that model alone.
TEST_F(TreeLikeTest, ModelPartitionScoresEachSubsetUnderItsOwnModel)
{
    std::mt19937 rng(33);
    prepare(8, 90, rng);
    const std::vector<double> lengths = currentLengths();
    ml.userBrLens = 1;
    auto k80Gamma = [&] {
        ml.NST = static_cast<int32_t>(kSubstTwoRates);
        ml.baseFreqMode = kFreqEqual;
        ml.userTratio = 3.0;
        ml.rates = 1;
    };
    k80Gamma();
    ASSERT_EQ(storeCurrentModel("k80g", d, false), 0);
    jukesCantor();
    ASSERT_EQ(storeCurrentModel("jc", d, false), 0);
    PatternServices services{};
    services.modelPartition = []() -> const Nexset * { return ml.modelPartition; };
    installPatternServices(services);
    auto partition = [&](const char *first, const char *second) {
        Nexset *ns = createNexset("parts", kNexModelPartition);
        PtnSubset *a = addPtnSubset(getNexPtn(ns), first);
        PtnSubset *b = addPtnSubset(getNexPtn(ns), second);
        for (uint32_t c = 0; c < d->nchar; ++c)
            addSetMember(c % 3 == 0 ? a->set : b->set, c);
        return ns;
    };
    // Sites of the first subset (c % 3 == 0) or of the second excluded.
    auto excludeSubset = [&](int which) {
        for (uint32_t c = 0; c < d->nchar; ++c) {
            d->status[c] &= ~kCharExcluded;
            if (which >= 0 && (c % 3 == 0) == (which == 0))
                d->status[c] |= kCharExcluded;
        }
    };
    auto score = [&] {
        invalidateSitePatternData(true);
        ml.prepValid[0] = 0;
        EXPECT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        g = activeModelGroup();
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            tree->nodes[i].edge.brlen = lengths[i];
        return calcTreeLikelihood(tree.get(), kNoLScore);
    };
    for (const int precision : {0, 1}) {
        SCOPED_TRACE("precision " + std::to_string(precision));
        ml.precision = static_cast<uint8_t>(precision);
        const double rel = precision == 0 ? 1e-11 : 2e-6;
        Nexset *two = partition("k80g", "jc");
        ml.modelPartition = two;
        const double partitioned = score();
        EXPECT_EQ(numActiveModels(), 2u);
        ml.modelPartition = nullptr;
        k80Gamma();
        applySettings();
        excludeSubset(1);
        const double first = score();
        jukesCantor();
        applySettings();
        excludeSubset(0);
        const double second = score();
        excludeSubset(-1);
        ASSERT_TRUE(std::isfinite(first) && std::isfinite(second));
        EXPECT_NEAR(partitioned, first + second, rel * partitioned);

        Nexset *same = partition("k80g", "k80g");
        ml.modelPartition = same;
        const double shared = score();
        EXPECT_EQ(numActiveModels(), 1u);
        ml.modelPartition = nullptr;
        k80Gamma();
        applySettings();
        EXPECT_NEAR(shared, score(), rel * shared);
        jukesCantor();
        applySettings();
        destroyNexset(two, kNexModelPartition);
        destroyNexset(same, kNexModelPartition);
    }
}

}  // namespace

namespace {

// The shape estimate's change counts against a plain Fitch count per
// pattern (one set at a time, a tip root met last), and what parsApprox
// prints of them: the histogram, its mean and variance and the moment
// estimate.
TEST_F(TreeLikeTest, ShapeEstimateCountsFitchChanges)
{
    std::mt19937 rng(17);
    prepare(10, 300, rng, 0.0);
    simulate(rng);
    // A third of the sites constant: counts spread wider than their mean.
    for (uint32_t t = 0; t < 10; ++t)
        for (uint32_t c = 0; c < 100; ++c)
            ASSERT_EQ(setXijRaw(d, t, c, static_cast<uint8_t>(c % 4)), 0);
    resetCLAs(g, tree.get(), true);
    invalidateSitePatternData(true);
    reinit();
    std::vector<double> hist(11, 0.0);
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        uint32_t changes = 0;
        std::function<uint64_t(TreeNode *)> fitch = [&](TreeNode *x) -> uint64_t {
            if (x->firstChild == nullptr)
                return tipBits(x, p);
            uint64_t s = fitch(x->firstChild);
            for (TreeNode *c = x->firstChild->nextSib; c; c = c->nextSib) {
                const uint64_t b = fitch(c);
                if ((s & b) == 0) {
                    ++changes;
                    s |= b;
                } else {
                    s &= b;
                }
            }
            return s;
        };
        const uint64_t basal = fitch(tree->root->firstChild);
        if (tree->root->index >= 0 && (basal & tipBits(tree->root, p)) == 0)
            ++changes;
        hist[changes] += g->groupPatternWeight[p];
    }
    double total = 0, sum = 0, sum2 = 0;
    for (size_t k = 0; k < hist.size(); ++k) {
        total += hist[k];
        sum += hist[k] * k;
        sum2 += hist[k] * k * k;
    }
    const double mean = sum / total, var = sum2 / total - mean * mean;
    ASSERT_GT(var, mean);
    auto savedPrintf = qel_printf;
    qel_printf = capturePrintf;
    gPrinted.clear();
    const double shape = approxGammaShape(tree.get(), g, nullptr, true);
    qel_printf = savedPrintf;
    const std::string text = printedText();
    char line[128];
    std::snprintf(line, sizeof line, "(mean=%f, variance=%f)\n", mean, var);
    EXPECT_NE(text.find(line), std::string::npos) << text;
    std::string rows;
    size_t last = hist.size() - 1;
    while (hist[last] == 0.0)
        --last;
    for (size_t k = 0; k <= last; ++k) {
        std::snprintf(line, sizeof line, "%8u%12g\n", static_cast<unsigned>(k), hist[k]);
        rows += line;
    }
    EXPECT_NE(text.find(rows), std::string::npos) << text;
    std::snprintf(line, sizeof line, "method-of-moments = %f\n", mean * mean / (var - mean));
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_NE(text.find("negative binomial = "), std::string::npos);
    EXPECT_NE(text.find("Yang-Kumar        = "), std::string::npos);
    EXPECT_GT(shape, 0.0);
}

}  // namespace
