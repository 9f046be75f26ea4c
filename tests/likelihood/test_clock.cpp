// Likelihood under a molecular clock: node ages in the parameter vector
// (Thorne, relAge and Rambaut forms, transformed or bounded) on a rooted
// tree, against PAML's baseml with clock = 1 under JC69 on data simulated
// along an ultrametric tree, and the rules of the clock-time setter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "data/data_util.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/clocktimes.h"
#include "likelihood/paramvec.h"
#include "likelihood/treelike.h"
#include "ml_fixture.h"
#include "support/tree_test_support.h"

namespace {

constexpr uint32_t kTaxa = 6;
// Ultrametric: every tip 0.35 below the root.
const char *const kClockTree = "((((0:0.05,1:0.05):0.1,2:0.15):0.15,(3:0.12,4:0.12):0.18):0.05,5:0.35)";
const char *const kRootedNewick = "((((t0,t1),t2),(t3,t4)),t5);";
const char *const kUnrootedNewick = "(((t0,t1),t2),(t3,t4),t5);";

class ClockTest : public MLTreeFixture {
protected:
    std::vector<std::string> rows;

    void SetUp() override
    {
        MLTreeFixture::SetUp();
        ml.NST = static_cast<int32_t>(kSubstOneRate);
        ml.baseFreqMode = kFreqEqual;
        ml.rates = 0;
        ml.dpToler = 1e-8;
        ml.praxisTol = 1e-8;
    }


    void newTree()
    {
        tree.reset(createTreeForTaxa(kTaxa, kTaxa, false));
        buildTestTree(tree.get(), kClockTree, -1);
        setTraversalSeq(tree.get());
    }

    // JC69 sequences evolved along the clock tree.
    void simulate(uint32_t nchar, uint32_t seed)
    {
        makeData(kTaxa, nchar, true, "ACGT");
        d->dataType = kDataTypeDNA;
        newTree();
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> any(0, 3), other(1, 3);
        std::uniform_real_distribution<double> u(0, 1);
        rows.assign(kTaxa, std::string(nchar, 'A'));
        std::vector<int> state(tree->maxNodes);
        for (uint32_t c = 0; c < nchar; ++c) {
            TreeNode *top = tree->root->firstChild;
            state[static_cast<size_t>(top - tree->nodes)] = any(rng);
            for (TreeNode *x = top->firstChild; x != nullptr; x = nextPreorderNode(x, top)) {
                const int from = state[static_cast<size_t>(x->anc - tree->nodes)];
                const double change = 0.75 * (1 - std::exp(-4.0 / 3.0 * x->edge.brlen));
                const int s = u(rng) < change ? (from + other(rng)) % 4 : from;
                state[static_cast<size_t>(x - tree->nodes)] = s;
                if (x->firstChild == nullptr) {
                    ASSERT_EQ(setXijRaw(d, static_cast<uint32_t>(x->index), c, static_cast<uint8_t>(s)), 0);
                    rows[static_cast<size_t>(x->index)][c] = "ACGT"[s];
                }
            }
        }
        ASSERT_EQ(updateCharStatus(d), 0);
    }

    double score(bool clock, uint32_t param)
    {
        ml.clock = clock;
        ml.paramClock = static_cast<int32_t>(param);
        ml.prepValid[0] = 0;
        newTree();
        if (!clock)
            buildTestTree(tree.get(), "(((0:0.1,1:0.1):0.1,2:0.1):0.1,(3:0.1,4:0.1):0.1,5:0.1)", -1);
        setTraversalSeq(tree.get());
        applySettings();
        EXPECT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        g = activeModelGroup();
        return calcTreeLikelihood(tree.get(), kNoLScore);
    }

    // Every tip the same distance below the basal fork.
    double rootToTipSpread() const
    {
        double lo = 1e300, hi = 0;
        for (uint32_t t = 0; t < kTaxa; ++t) {
            double sum = 0;
            for (const TreeNode *n = tree->firstTip + t; n != tree->root->firstChild; n = n->anc)
                sum += n->edge.brlen;
            lo = std::min(lo, sum);
            hi = std::max(hi, sum);
        }
        return hi - lo;
    }
};

// baseml's log-likelihood under JC69 (or HKY85 with kappa estimated) with
// or without the clock; NaN when baseml is absent or failed.
double baseml(const std::vector<std::string> &rows, bool clock, bool hky = false)
{
    if (std::system("command -v baseml > /dev/null 2>&1") != 0)
        return std::nan("");
    const auto dir = std::filesystem::temp_directory_path() / ("vorn_clock_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream seq(dir / "a.phy");
        seq << rows.size() << " " << rows[0].size() << "\n";
        for (size_t t = 0; t < rows.size(); ++t)
            seq << "t" << t << "  " << rows[t] << "\n";
        std::ofstream(dir / "t.nwk") << rows.size() << " 1\n" << (clock ? kRootedNewick : kUnrootedNewick) << "\n";
        std::ofstream(dir / "baseml.ctl") << "seqfile = a.phy\ntreefile = t.nwk\noutfile = out.txt\nnoisy = 0\n"
                                             "verbose = 0\nrunmode = 0\nmodel = "
                                          << (hky ? 4 : 0) << "\nMgene = 0\nclock = " << (clock ? 1 : 0)
                                          << "\nfix_kappa = " << (hky ? 0 : 1)
                                          << "\nkappa = 2\nfix_alpha = 1\nalpha = 0\n"
                                             "Malpha = 0\nncatG = 4\ngetSE = 0\nRateAncestor = 0\n"
                                             "Small_Diff = 1e-7\ncleandata = 0\nmethod = 0\n";
    }
    const std::string cmd = "cd " + dir.string() + " && baseml baseml.ctl > /dev/null 2>&1";
    const bool ok = std::system(cmd.c_str()) == 0;
    std::stringstream out;
    out << std::ifstream(dir / "out.txt").rdbuf();
    std::filesystem::remove_all(dir);
    std::smatch m;
    const std::string text = out.str();
    if (!ok || !std::regex_search(text, m, std::regex(R"(lnL\(ntime:\s*\d+\s+np:\s*\d+\):\s*(-?[0-9.]+))")))
        return std::nan("");
    return std::stod(m[1]);
}

TEST_F(ClockTest, EveryParameterisationReachesBasemlsClockOptimum)
{
    simulate(1000, 11);
    const double peerClock = baseml(rows, true), peerFree = baseml(rows, false);
    if (std::isnan(peerClock) || std::isnan(peerFree))
        GTEST_SKIP() << "baseml is not installed";
    for (uint32_t param : {kClockThorne, kClockRelAge, kClockRambaut}) {
        for (int lbfgs = 0; lbfgs < 2; ++lbfgs) {
            SCOPED_TRACE(testing::Message() << "paramClock " << param << (lbfgs ? " L-BFGS-B" : " Praxis"));
            ml.optimizer = lbfgs;
            EXPECT_NEAR(-score(true, param), peerClock, 0.01);
            EXPECT_LT(rootToTipSpread(), 1e-9);
        }
    }
    ml.optimizer = 0;
    EXPECT_NEAR(-score(false, kClockThorne), peerFree, 0.01);
    // Node ages and a model parameter estimated together.
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estTratio = 1;
    ml.baseFreqMode = kFreqEmpirical;
    EXPECT_NEAR(-score(true, kClockRelAge), baseml(rows, true, true), 0.01);
    // The clock is a restriction: never better than the free lengths.
    EXPECT_GT(peerFree, peerClock);
}

// Identical sequences give every distance 0, so the starting ages are all
// 0 and the clock has no parameter: each parameterisation must keep those
// ages (every branch at the floor), scoring one state per site, n ln 4.
TEST_F(ClockTest, IdenticalSequencesLeaveEveryAgeAtZero)
{
    constexpr uint32_t kChars = 8;
    makeData(kTaxa, kChars, true, "ACGT");
    d->dataType = kDataTypeDNA;
    for (uint32_t t = 0; t < kTaxa; ++t)
        for (uint32_t c = 0; c < kChars; ++c)
            ASSERT_EQ(setXijRaw(d, t, c, static_cast<uint8_t>(c % 4)), 0);
    ASSERT_EQ(updateCharStatus(d), 0);
    for (uint32_t param : {kClockThorne, kClockRelAge, kClockRambaut}) {
        SCOPED_TRACE(testing::Message() << "paramClock " << param);
        EXPECT_NEAR(score(true, param), kChars * std::log(4.0), 1e-4);
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            EXPECT_LT(tree->nodes[i].edge.brlen, 1e-6) << "node " << i;
    }
}

TEST_F(ClockTest, SetterBoundsStartsAndRatios)
{
    simulate(300, 5);
    ml.clock = 1;
    applySettings();
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
    g = activeModelGroup();
    setClockTree(tree.get());
    ASSERT_EQ(numClockParams(tree.get()), kTaxa - 1);
    ActiveML *a = getActiveML();

    // Starting ages lie above their children; their branch lengths are the
    // age differences, so the tree is ultrametric from the start.
    std::vector<double> x(kTaxa - 1, 0.0);
    a->paramClock = kClockRelAge;
    setAMLFlag(a, kAMLTimesTransform, false);
    setAMLFlag(a, kAMLLbfgsParams, true);
    setClockTimesForOptimizer(x.data(), nullptr, kParamStart, false);
    EXPECT_EQ(clockParamsInUse(), kTaxa - 1);
    EXPECT_LT(rootToTipSpread(), 1e-12);
    EXPECT_NEAR(x[0], tree->root->firstChild->age, 1e-15);
    for (size_t i = 1; i < x.size(); ++i)
        EXPECT_GE(x[i], 1.0);

    // Bounds with the optimiser's own bounds; none when transformed.
    std::vector<double> lo(x.size(), -7), hi(x.size(), -7);
    setClockTimesForOptimizer(lo.data(), nullptr, kParamLower, false);
    setClockTimesForOptimizer(hi.data(), nullptr, kParamUpper, false);
    EXPECT_EQ(lo[0], 1e-6);
    EXPECT_EQ(hi[0], -7);  // the root age has no upper bound
    EXPECT_EQ(lo[1], 1.0);
    EXPECT_EQ(hi[1], 100.0);
    setAMLFlag(a, kAMLTimesTransform, true);
    std::vector<double> untouched(x.size(), -7);
    setClockTimesForOptimizer(untouched.data(), nullptr, kParamLower, false);
    setClockTimesForOptimizer(untouched.data(), nullptr, kParamUpper, false);
    EXPECT_EQ(untouched, std::vector<double>(x.size(), -7));
    setAMLFlag(a, kAMLTimesTransform, false);

    // A ratio of exactly 1 puts a node at its parent's age: a zero-length
    // branch above it.
    std::vector<double> ratios = {0.4, 1.0, 2.0, 1.5, 3.0};
    setClockTimesForOptimizer(ratios.data(), nullptr, kParamStore, false);
    TreeNode *firstBelowRoot = tree->root->firstChild->firstChild;
    EXPECT_EQ(firstBelowRoot->edge.brlen, 0.0);
    EXPECT_DOUBLE_EQ(tree->root->firstChild->age, 0.4);
    EXPECT_LT(rootToTipSpread(), 1e-12);

    // Thorne and Rambaut values give back the ages they were made from.
    for (uint32_t param : {kClockThorne, kClockRambaut})
        for (bool transform : {false, true}) {
            a->paramClock = param;
            setAMLFlag(a, kAMLTimesTransform, transform);
            std::vector<double> v(x.size());
            setClockTimesForOptimizer(v.data(), nullptr, kParamStart, false);
            std::vector<double> ages;
            for (uint32_t i = 0; i < tree->maxNodes; ++i)
                ages.push_back(tree->nodes[i].age);
            for (uint32_t i = 0; i < tree->maxNodes; ++i)
                tree->nodes[i].age = 0;
            setClockTimesForOptimizer(v.data(), nullptr, kParamStore, false);
            for (TreeNode *n = tree->root->firstChild; n != nullptr; n = nextPreorderNode(n, tree->root->firstChild)) {
                if (n->firstChild != nullptr) {
                    EXPECT_NEAR(n->age, ages[static_cast<size_t>(n - tree->nodes)], 1e-12);
                }
            }
        }
}

TEST_F(ClockTest, UnrootedTreesAreRefused)
{
    simulate(50, 3);
    tree.reset(createTreeForTaxa(kTaxa, kTaxa, false));
    buildTestTree(tree.get(), "((1,2),(3,4),5)", 0);
    setTraversalSeq(tree.get());
    EXPECT_EQ(numClockParams(tree.get()), 0u);
}

}  // namespace
