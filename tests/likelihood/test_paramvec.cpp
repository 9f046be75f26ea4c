// Model parameters estimated with the branch lengths: the optimisers reach
// the same optimum, and on a fixed 12-taxon tree (1,500 simulated sites,
// examples/lik12.*) the optimised -ln L and the estimates agree with
// IQ-TREE's. The peer part skips when iqtree2 is not installed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "likelihood/aamatrices.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/paramvec.h"
#include "likelihood/ratevar.h"
#include "likelihood/treelike.h"
#include "ml_fixture.h"
#include "print_capture.h"
#include "qel/qel_multithread.h"
#include "support/tree_test_support.h"

namespace {

struct Peer {
    double lnL = 0, shape = -1, pinv = -1;
    double rates[6] = {0, 0, 0, 0, 0, 0};
};

// IQ-TREE on the example with its tree fixed; false when it is absent or
// failed.
bool runIqtree(const std::string &model, Peer &out)
{
    if (std::system("command -v iqtree2 > /dev/null 2>&1") != 0)
        return false;
    const auto dir = std::filesystem::temp_directory_path() / ("vorn_iq_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string pre = (dir / "run").string();
    const std::string cmd = "iqtree2 -s " + kExamplesDir + "lik12.phy -te " + kExamplesDir + "lik12.nwk -m " + model +
                            " --epsilon 0.0001 -nt 1 -quiet -redo -pre " + pre + " > /dev/null 2>&1";
    const bool ok = std::system(cmd.c_str()) == 0;
    const std::string report = ok ? readTextFile(pre + ".iqtree") : "";
    std::filesystem::remove_all(dir);
    std::smatch m;
    if (!std::regex_search(report, m, std::regex("Log-likelihood of the tree: (-?[0-9.]+)")))
        return false;
    out.lnL = std::stod(m[1]);
    if (std::regex_search(report, m, std::regex("Gamma shape alpha: ([0-9.]+)")))
        out.shape = std::stod(m[1]);
    if (std::regex_search(report, m, std::regex("Proportion of invariable sites: ([0-9.]+)")))
        out.pinv = std::stod(m[1]);
    const char *pairs[6] = {"A-C", "A-G", "A-T", "C-G", "C-T", "G-T"};
    for (int k = 0; k < 6; ++k)
        if (std::regex_search(report, m, std::regex(std::string(pairs[k]) + ": ([0-9.]+)")))
            out.rates[k] = std::stod(m[1]);
    return true;
}

class ParamVecTest : public Lik12Fixture {
protected:
    void jc()
    {
        ml.NST = static_cast<int32_t>(kSubstOneRate);
        ml.baseFreqMode = kFreqEqual;
        ml.rates = 0;
    }
    void hkyG4()
    {
        ml.NST = static_cast<int32_t>(kSubstTwoRates);
        ml.estTratio = 1;
        ml.rates = 1;
        ml.ncat = 4;
        ml.estGammaShape = 1;
    }
    void gtrIG4()
    {
        ml.NST = static_cast<int32_t>(kSubstSixRates);
        ml.estRmatrix = 1;
        ml.rates = 1;
        ml.ncat = 4;
        ml.estGammaShape = 1;
        ml.estPInvar = 1;
    }

    // Scores another topology (taxa 1 and 4 exchanged) cold, then as a
    // search meets it: after the example tree's estimate, carrying the
    // lengths fitted for it.
    void warmStartReachesTheColdOptimum(bool invariable)
    {
        SCOPED_TRACE(invariable ? "HKY+I+G" : "HKY+G");
        std::string text = std::regex_replace(treeText, std::regex("\\(0:0.08,1:"), "(0:0.08,X:");
        text = std::regex_replace(text, std::regex("\\(4:"), "(1:");
        text = std::regex_replace(text, std::regex("X:"), "4:");
        ASSERT_NE(text, treeText);
        TreePtr other(createTreeForTaxa(12, 12, false));
        const auto scoreOther = [&](bool fresh) {
            if (fresh) {
                buildTestTree(other.get(), text, -1);
                setTraversalSeq(other.get());
            }
            const double s = calcTreeLikelihood(other.get(), kNoLScore);
            resetCLAs(g, other.get(), true);
            return s;
        };
        hkyG4();
        ml.estPInvar = invariable ? 1 : 0;
        ml.userPInvar = 0.0;
        score();
        const double cold = scoreOther(true);
        const uint32_t coldEvals = numLikeFxnEvals();

        setSearchWarmStarts(true);
        ASSERT_TRUE(searchWarmStarts());
        calcTreeLikelihood(tree.get(), kNoLScore);
        const double warm = scoreOther(false);
        const uint32_t warmEvals = numLikeFxnEvals();
        setSearchWarmStarts(false);
        EXPECT_NEAR(warm, cold, 2e-3);
        EXPECT_LT(warmEvals, coldEvals);
        EXPECT_NEAR(scoreOther(true), cold, 1e-6);
        EXPECT_EQ(numLikeFxnEvals(), coldEvals);
    }
};

TEST_F(ParamVecTest, PraxisAndLbfgsReachTheSameOptimum)
{
    loadExample();
    hkyG4();
    ml.optimizer = static_cast<int32_t>(kOptimizerPraxis);
    const double praxis = score();
    const double kappa = modelEngine(model())->kappa;
    ml.optimizer = static_cast<int32_t>(kOptimizerLBFGS);
    const double lbfgs = score();
    EXPECT_NEAR(praxis, lbfgs, 0.01);
    EXPECT_NEAR(modelEngine(model())->kappa, kappa, 0.02 * kappa);
    // The estimate marks survive the estimation: the next score estimates again.
    EXPECT_EQ(model()->tratio, kEstimate);
    EXPECT_EQ(model()->gammaShape, kEstimate);
}

// Every trial of the parameters fits the branch lengths by passes, and
// the fit ends with them fitted: the optimum is the one the parameters
// give when fixed at their estimates.
TEST_F(ParamVecTest, EstimatesFixedGiveTheSameScore)
{
    loadExample(0, 500);
    ml.NST = static_cast<int32_t>(kSubstSixRates);
    ml.estRmatrix = 1;
    ml.rates = 1;
    ml.ncat = 4;
    ml.estGammaShape = 1;
    const double estimated = score();
    const std::vector<double> rates = modelEngine(model())->fullRates;
    ASSERT_EQ(rates.size(), 6u);
    const double shape = model()->rateInfo->shape;
    ml.estRmatrix = ml.estGammaShape = 0;
    for (int i = 0; i < 6; ++i)
        (&ml.rAC)[i] = rates[i];
    ml.userGammaShape = shape;
    EXPECT_NEAR(score(), estimated, 1e-3);
}

// blopt multiDim: the branch lengths join the parameters in the vector,
// their gradient from the derivative kernel; raw within their bounds or in
// logs, with a parameter or alone, the optimum is the one-dimensional one.
// (A pass limit of 0 keeps the closing length passes from polishing it.)
TEST_F(ParamVecTest, BranchLengthsInTheVectorReachTheOneDimensionalOptimum)
{
    loadExample(0, 300);
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estTratio = 1;
    ml.rates = 0;
    const double oneDim = score();
    const double tratio = model()->prevTratio;
    ml.blopt = static_cast<int32_t>(kBloptMultiDim);
    ml.optimizer = static_cast<int32_t>(kOptimizerLBFGS);
    ml.maxPass = 0;
    EXPECT_NEAR(score(), oneDim, 0.01);
    ml.blTransform = 1;
    EXPECT_NEAR(score(), oneDim, 0.01);
    ml.estTratio = 0;
    ml.userTratio = tratio;
    ml.blTransform = 0;
    const double lengthsOnly = score();
    EXPECT_EQ(getActiveML()->flags & kAMLJointBrLens, kAMLJointBrLens);
    EXPECT_NEAR(lengthsOnly, oneDim, 0.01);
}

// The global rate scaler multiplies fixed branch lengths only: beside
// estimated lengths it is no parameter, stays 1 and changes nothing; over
// the tree's own lengths it is fitted.
TEST_F(ParamVecTest, TheRateScalerIsFittedOnlyOverFixedLengths)
{
    loadExample(0, 200);
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estTratio = 1;
    ml.rates = 0;
    const double plain = score();
    ml.estRateScaler = 1;
    EXPECT_NEAR(score(), plain, 1e-3);
    EXPECT_EQ(getActiveML()->rateScaler, 1.0);

    ml.userBrLens = 1;
    ml.estRateScaler = 0;
    const double unscaled = score();
    ml.userRateScaler = 1.5;
    const double stretched = score();
    ml.estRateScaler = 1;
    const double fitted = score();
    EXPECT_LE(fitted, unscaled + 1e-6);
    EXPECT_LT(fitted, stretched - 1.0);
    EXPECT_NEAR(getActiveML()->rateScaler, 1.0, 0.2);
}

// A six-rate matrix of one rate class marked for estimation leaves nothing
// to fit but the branch lengths: it scores as the one-rate model.
TEST_F(ParamVecTest, AnEstimatedMatrixOfOneRateClassScoresAsOneRate)
{
    loadExample(0, 200);
    ml.NST = static_cast<int32_t>(kSubstOneRate);
    ml.rates = 0;
    const double oneRate = score();
    ml.NST = static_cast<int32_t>(kSubstSixRates);
    ml.estRmatrix = 1;
    for (int i = 0; i < 6; ++i)
        (&ml.cAC)[i] = 0;
    EXPECT_NEAR(score(), oneRate, 1e-4);
}

TEST_F(ParamVecTest, OneScalarByBrentAndStartsDoNotMatter)
{
    loadExample();
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estTratio = 1;
    ml.rates = 0;
    const double parsimonyStart = score();
    ml.startVals = 1;  // arbitrary starting values
    ml.initBrLenMethod = kInitBrLenArbitrary;
    const double arbitraryStart = score();
    EXPECT_NEAR(parsimonyStart, arbitraryStart, 0.01);
}

TEST_F(ParamVecTest, PinnedFrequenciesStayAProbabilityVector)
{
    double p[4] = {0.7, 1e-7, 0.3 - 2e-7, 1e-7};
    pinStateFrequencies(p, 4, 1e-5);
    EXPECT_NEAR(p[0] + p[1] + p[2] + p[3], 1.0, 1e-15);
    EXPECT_EQ(p[1], 1e-5);
    EXPECT_EQ(p[3], 1e-5);
    EXPECT_LT(p[0], 0.7);
    double q[3] = {0.2, 0.3, 0.5};
    pinStateFrequencies(q, 3, 1e-5);
    EXPECT_EQ(q[0], 0.2) << "nothing below the floor: nothing changes";
}

// With free branch lengths the iteration log shows each trial of the
// parameters followed by its length passes, never a score at held lengths.
// Shape and pinv estimated together run the gamma-only start, then the
// invariable-sites-only one (each one scalar here, by Brent's method from
// the pair x, x + trial step), then the joint one (two scalars).
TEST_F(ParamVecTest, FreeLengthTrialsFitTheLengthsAndTheInvariableGammaStartsRunInOrder)
{
    loadExample(0, 60);
    jc();
    ml.rates = 1;
    ml.ncat = 4;
    ml.estGammaShape = 1;
    ml.estPInvar = 1;
    ml.logIter = 1;
    std::string log;
    {
        PrintCapture capture;
        score();
        log = capture.text();
    }
    ml.logIter = 0;
    std::vector<std::vector<double>> trials;
    std::istringstream lines(log);
    std::string line;
    bool afterTrial = false;
    while (std::getline(lines, line)) {
        if (afterTrial) {
            EXPECT_EQ(line.find("-ln L="), std::string::npos) << "a trial scored at held lengths";
            EXPECT_NE(line.find("pass 1:"), std::string::npos) << line;
        }
        afterTrial = line.rfind(" parameters = ", 0) == 0;
        if (afterTrial) {
            std::istringstream values(line.substr(14));
            trials.emplace_back(std::istream_iterator<double>(values), std::istream_iterator<double>());
        }
    }
    // The pair each Brent search begins with: a shape's (e^x + 1e-4, step
    // 0.4 in x), then a proportion's (sin^2 x, step 0.1 in x).
    const auto shapePair = [](double a, double b) { return std::fabs(b - ((a - 1e-4) * std::exp(0.4) + 1e-4)) < 1e-4 * a; };
    const auto pinvPair = [](double a, double b) {
        return a <= 1.0 && std::fabs(b - std::pow(std::sin(std::asin(std::sqrt(a)) + 0.1), 2)) < 1e-5;
    };
    ASSERT_GE(trials.size(), 6u);
    ASSERT_EQ(trials[0].size(), 1u);
    EXPECT_TRUE(shapePair(trials[0][0], trials[1][0])) << trials[0][0] << " " << trials[1][0];
    size_t joint = 0, pinvStart = 0;
    while (joint < trials.size() && trials[joint].size() == 1)
        ++joint;
    for (size_t i = 2; i + 1 < joint && pinvStart == 0; ++i)
        if (pinvPair(trials[i][0], trials[i + 1][0]))
            pinvStart = i;
    EXPECT_GT(pinvStart, 0u) << "no invariable-sites-only start after the gamma-only one";
    ASSERT_LT(joint, trials.size());
    for (size_t i = joint; i < trials.size(); ++i)
        EXPECT_EQ(trials[i].size(), 2u) << "the joint start is not the last";
}

// A search's fit, warm from the last tree's, nests the length passes in
// every trial as any other fit: no trial is scored at held lengths, the
// coarse pass's trials run one pass each, then the precise pass's run
// theirs to convergence (at least two, from no previous score).
TEST_F(ParamVecTest, ASearchFitsTheLengthsInsideEveryTrialCoarsePassFirst)
{
    loadExample(0, 200);
    hkyG4();
    ml.logIter = 1;
    score();
    setSearchWarmStarts(true);
    calcTreeLikelihood(tree.get(), kNoLScore);  // the last tree's estimate
    resetCLAs(g, tree.get(), true);
    std::string log;
    {
        PrintCapture capture;
        calcTreeLikelihood(tree.get(), kNoLScore);
        log = capture.text();
    }
    setSearchWarmStarts(false);
    ml.logIter = 0;
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    size_t coarse = 0, precise = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(" parameters = ", 0) != 0)
            continue;
        ASSERT_LT(i + 1, lines.size());
        EXPECT_EQ(lines[i + 1].find("-ln L="), std::string::npos) << "a trial scored at held lengths";
        ASSERT_NE(lines[i + 1].find("pass 1:"), std::string::npos) << lines[i + 1];
        if (lines[i + 1].find("pass-limit reached") != std::string::npos) {
            EXPECT_EQ(precise, 0u) << "a one-pass trial after the precise pass began";
            ++coarse;
        } else {
            ASSERT_LT(i + 2, lines.size());
            EXPECT_NE(lines[i + 2].find("pass 2:"), std::string::npos) << lines[i + 2];
            ++precise;
        }
    }
    EXPECT_GT(coarse, 0u);
    EXPECT_GT(precise, 0u);
}

// Shape and pinv estimated together: the result is at least as good as
// the joint start alone and as each of the two one-parameter optima (the
// gamma-only and the invariable-sites-only model, scored separately), and
// the models are left holding the values that gave it.
TEST_F(ParamVecTest, InvariableGammaKeepsTheBestOfThreeStarts)
{
    loadExample(300, 300);
    hkyG4();
    ml.estPInvar = 1;
    const double best = score();
    const double shape = model()->rateInfo->shape, pinv = model()->rateInfo->pinv;
    const double tratio = model()->prevTratio;
    setSingleStartParamEst(true);
    const double joint = score();
    setSingleStartParamEst(false);
    ml.estPInvar = 0;
    ml.userPInvar = 0.0;
    const double gammaOnly = score();
    ml.estPInvar = 1;
    ml.estGammaShape = 0;
    ml.userGammaShape = kIGPinvOnlyShape;
    const double pinvOnly = score();
    EXPECT_LE(best, joint + 1e-3);
    EXPECT_LE(best, gammaOnly + 1e-3);
    EXPECT_LE(best, pinvOnly + 1e-3);
    // The same parameters fixed give the same score.
    ml.estTratio = ml.estGammaShape = ml.estPInvar = 0;
    ml.userGammaShape = shape;
    ml.userPInvar = pinv;
    ml.userTratio = tratio;
    EXPECT_NEAR(score(), best, 1e-3);
}

// A search starts each tree's estimate from the last tree's values and
// lengths: another topology scored after a fit reaches the optimum it
// reaches from the parsimony starts, with fewer likelihood evaluations.
// Off again, a score starts cold as before.
// A search scores neighbours against the score they must beat. A tree
// whose estimate cannot reach that target stops early with a score above
// it (each of the three starts of an invariable-sites-plus-gamma estimate
// given up, in fewer evaluations); a target the tree reaches changes
// nothing in the estimate.
TEST_F(ParamVecTest, AnEstimateStopsOnceItCannotReachTheTarget)
{
    loadExample(300, 300);
    hkyG4();
    ml.estPInvar = 1;
    ml.useApproxLim = 1;  // the factory setting, which the give-ups follow
    // Each estimate as a search makes it, from the parsimony starts.
    const auto scoreAgainst = [&](double target) {
        score();  // the tree and the settings afresh
        resetCLAs(g, tree.get(), true);
        setSearchWarmStarts(true);
        const double s = calcTreeLikelihood(tree.get(), target);
        setSearchWarmStarts(false);
        return s;
    };
    const double optimum = scoreAgainst(kNoLScore);
    const uint32_t fullEvals = numLikeFxnEvals();
    const double shape = model()->rateInfo->shape;
    EXPECT_DOUBLE_EQ(scoreAgainst(optimum + 0.5), optimum);
    EXPECT_DOUBLE_EQ(model()->rateInfo->shape, shape);
    const double target = optimum - 50.0;
    const double given = scoreAgainst(target);
    EXPECT_GT(given, target);
    EXPECT_GE(given, optimum - 1e-3);
    EXPECT_LT(numLikeFxnEvals(), fullEvals);
}

// A search starts each tree's estimate from the last tree's values and
// lengths: another topology scored after a fit reaches the optimum it
// reaches from the parsimony starts, with fewer likelihood evaluations.
// Off again, a score starts cold as before. With invariable sites each of
// the three starts begins from where it ended on the last tree.
TEST_F(ParamVecTest, WarmStartsReachTheColdOptimumInFewerEvaluations)
{
    loadExample(0, 200);
    warmStartReachesTheColdOptimum(false);
    // The last tree's joint optimum lies on the edge (no invariable sites),
    // the next tree's inside.
    warmStartReachesTheColdOptimum(true);
}

TEST_F(ParamVecTest, AWarmStartFromAJointOptimumInsideReachesTheColdOne)
{
    loadExample(300, 300);
    warmStartReachesTheColdOptimum(true);
}

// A search scores trees one after another, each estimate starting where
// the last ended, against the score to beat. A start given up before any
// trial or after the coarse pass (for what the same start gained on the
// last tree) leaves no tree above the target that the full estimate brings
// below it: with the target just above each tree's full optimum, the tree is
// kept at that optimum; just below it, it is left above. Trees far off
// (random topologies) are given up in fewer evaluations.
TEST_F(ParamVecTest, StartsGivenUpDropNoTreeTheFullEstimateKeeps)
{
    loadExample(150, 150);
    hkyG4();
    ml.estPInvar = 1;
    ml.useApproxLim = 1;  // the factory setting, which the give-ups follow
    std::mt19937 rng(11);
    std::vector<std::string> texts;
    // Every search fit nests its length passes in the parameter trials:
    // under the address sanitiser two rounds of the pair of trees suffice.
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kRounds = 2;
#else
    constexpr int kRounds = 3;
#endif
    for (int i = 0; i < kRounds; ++i) {
        texts.push_back(treeText);
        texts.push_back(randomTreeText(rng, 12, -1, false));
    }
    TreePtr other(createTreeForTaxa(12, 12, false));
    // Each tree's score against its target and the evaluations it took.
    const auto search = [&](bool giveUps, const std::vector<double> &targets, uint32_t &evals) {
        setFirstRoundGiveUps(giveUps);
        setSearchWarmStarts(true);
        score();  // the search's starting tree
        std::vector<double> scores;
        evals = 0;
        for (size_t i = 0; i < texts.size(); ++i) {
            buildTestTree(other.get(), texts[i], -1);
            setTraversalSeq(other.get());
            scores.push_back(calcTreeLikelihood(other.get(), targets[i]));
            evals += numLikeFxnEvals();
            resetCLAs(g, other.get(), true);
        }
        setSearchWarmStarts(false);
        setFirstRoundGiveUps(true);
        return scores;
    };
    uint32_t fullEvals = 0, evals = 0;
    const std::vector<double> full = search(false, std::vector<double>(texts.size(), kNoLScore), fullEvals);
    ASSERT_TRUE(usingApproxLimit());
    for (const double above : {0.01, -0.01}) {
        SCOPED_TRACE(above > 0 ? "targets above the optima" : "targets below the optima");
        std::vector<double> targets;
        for (const double f : full)
            targets.push_back(f + above);
        const std::vector<double> withGiveUps = search(true, targets, evals);
        const std::vector<double> without = search(false, targets, fullEvals);
        for (size_t i = 0; i < texts.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(withGiveUps[i] < targets[i], without[i] < targets[i]);
            if (above > 0)
                EXPECT_NEAR(withGiveUps[i], full[i], 2e-3);
            else
                EXPECT_GT(withGiveUps[i], targets[i]);
        }
        EXPECT_LT(evals, fullEvals);
    }
    // The give-ups are the search's approximation: approxLim=none runs
    // every start whole.
    ml.useApproxLim = false;
    std::vector<double> above;
    for (const double f : full)
        above.push_back(f + 0.01);
    const std::vector<double> whole = search(true, above, evals);
    search(false, above, fullEvals);
    EXPECT_FALSE(usingApproxLimit());
    EXPECT_EQ(evals, fullEvals);
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_NEAR(whole[i], full[i], 2e-3) << i;
}

// Starting values from a related model's fit (automated model selection
// passes them) reach the optimum the parsimony starts reach, in fewer
// evaluations when they are close; pooled rate classes take the mean of
// their members' hints.
TEST_F(ParamVecTest, StartHintsReachTheSameOptimum)
{
    loadExample(0, 150);
    gtrIG4();
    ml.estPInvar = 0;
    setSingleStartParamEst(true);
    const double plain = score();
    const uint32_t plainEvals = numLikeFxnEvals();
    ParamStartHints near;
    near.rates = modelEngine(model())->fullRates;
    near.shape = model()->rateInfo->shape;
    setParamStartHints(&near);
    const double hinted = score();
    const uint32_t hintedEvals = numLikeFxnEvals();
    // TrN's classes pool AC, AT, CG and GT: far hints for the pooled
    // classes, the mean of which is near their optimum.
    const int32_t trn[6] = {0, 1, 0, 0, 2, 0};
    for (int i = 0; i < 6; ++i)
        (&ml.cAC)[i] = trn[i];
    near.rates = {0.5, near.rates[1], 1.5, 0.5, near.rates[4], 1.5};
    const double pooledHinted = score();
    setParamStartHints(nullptr);
    const double pooledPlain = score();
    setSingleStartParamEst(false);
    EXPECT_NEAR(hinted, plain, 2e-3);
    EXPECT_LT(hintedEvals, plainEvals);
    EXPECT_NEAR(pooledHinted, pooledPlain, 2e-3);
}

// Estimated frequencies start from a related model's when it gives them:
// hints near the optimum take fewer evaluations than far ones, and both
// reach the optimum of the usual start.
TEST_F(ParamVecTest, FrequencyHintsReachTheSameOptimum)
{
    loadExample(0, 150);
    ml.NST = static_cast<int32_t>(kSubstTwoRates);
    ml.estTratio = 1;
    ml.rates = 0;
    ml.baseFreqMode = kFreqEstimate;
    const double plain = score();
    ParamStartHints hints;
    hints.freqs.assign(model()->freqs, model()->freqs + 4);
    setParamStartHints(&hints);
    const double nearScore = score();
    const uint32_t nearEvals = numLikeFxnEvals();
    hints.freqs = {0.7, 0.1, 0.1, 0.1};
    const double farScore = score();
    const uint32_t farEvals = numLikeFxnEvals();
    setParamStartHints(nullptr);
    EXPECT_NEAR(nearScore, plain, 2e-3);
    EXPECT_NEAR(farScore, plain, 2e-3);
    EXPECT_LT(nearEvals, farEvals);
}

// Everything a fit produces: the score, the model's parameters and every
// branch length.
struct Fit {
    double lnL = 0;
    std::vector<double> values;
};

// The likelihood threads split the patterns into chunks fixed by the
// pattern count and add the chunk sums in chunk order, so a fit that
// estimates parameters and optimises branch lengths reaches the same bits on
// any number of threads, one included, whichever thread ran which chunk (the
// optimisers' paths follow every bit of the scores they are given).
class ThreadCountTest : public ParamVecTest {
protected:
    Fit fitOn(int32_t threads)
    {
        ml.nthreads = threads;
        Fit f;
        f.lnL = score();
        EXPECT_EQ(g->engine->likThreads, nullptr);
        const ModelEngineData *e = modelEngine(model());
        f.values = e->fullRates;
        f.values.push_back(model()->rateInfo->shape);
        f.values.push_back(model()->rateInfo->pinv);
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            f.values.push_back(tree->nodes[i].edge.brlen);
        return f;
    }

    void expectTheSameFitOnEveryThreadCount()
    {
        const Fit one = fitOn(1);
        ASSERT_LT(one.lnL, kLikInfiniteScore);
        for (int32_t n : {2, 3, 8}) {
            if (n > availableProcessors())
                continue;
            const Fit f = fitOn(n);
            // Bit for bit, not merely equal as doubles compare.
            EXPECT_EQ(std::memcmp(&f.lnL, &one.lnL, sizeof(double)), 0) << f.lnL << " " << one.lnL << ", " << n;
            ASSERT_EQ(f.values.size(), one.values.size());
            for (size_t i = 0; i < f.values.size(); ++i)
                EXPECT_EQ(std::memcmp(&f.values[i], &one.values[i], sizeof(double)), 0)
                    << "value " << i << ": " << f.values[i] << " " << one.values[i] << ", " << n << " threads";
        }
    }
};

TEST_F(ThreadCountTest, InvariableGammaGTRFitsAreTheSameOnOneTwoThreeAndEightThreads)
{
    loadExample(0, 100);
    gtrIG4();
    setSingleStartParamEst(true);  // one start is enough to compare
    ml.precision = 1;
    // Deep enough in the tree CL values fall below this, so that updates
    // both combine rescalers and rescale.
    ml.clRescale = 1e-3;
    expectTheSameFitOnEveryThreadCount();
    setSingleStartParamEst(false);
}

TEST_F(ThreadCountTest, ProteinGammaFitsAreTheSameOnOneTwoThreeAndEightThreads)
{
    loadExampleTree();
    constexpr uint32_t kSites = 48;
    makeData(12, kSites, true, "ACDEFGHIKLMNPQRSTVWY");
    d->dataType = kDataTypeProtein;
    // Sites mostly of one state with a third of the cells drawn at random,
    // so that the lengths and the shape have something to fit.
    std::mt19937 rng(31);
    for (uint32_t c = 0; c < kSites; ++c) {
        const auto base = static_cast<uint8_t>(rng() % 20);
        for (uint32_t t = 0; t < 12; ++t)
            ASSERT_EQ(setXijRaw(d, t, c, rng() % 3 == 0 ? static_cast<uint8_t>(rng() % 20) : base), 0);
    }
    ml.aaRMatrix = static_cast<int32_t>(kAAMatrixLG);
    ml.aaFreqMode = kFreqEmpirical;
    ml.rates = 1;
    ml.ncat = 4;
    ml.estGammaShape = 1;
    ml.precision = 1;
    ml.maxPass = 3;
    expectTheSameFitOnEveryThreadCount();
}

class IqtreePeer : public ParamVecTest {};

TEST_F(IqtreePeer, JCOptimisedScoreMatches)
{
    Peer peer;
    if (!runIqtree("JC", peer))
        GTEST_SKIP() << "iqtree2 is not installed";
    loadExample();
    jc();
    EXPECT_NEAR(-score(), peer.lnL, 0.01);
}

TEST_F(IqtreePeer, HKYGammaScoreKappaAndShapeMatch)
{
    Peer peer;
    if (!runIqtree("HKY+F+G4", peer))
        GTEST_SKIP() << "iqtree2 is not installed";
    loadExample();
    hkyG4();
    EXPECT_NEAR(-score(), peer.lnL, 0.01);
    EXPECT_NEAR(modelEngine(model())->kappa, peer.rates[1], 0.02 * peer.rates[1]);
    EXPECT_NEAR(model()->rateInfo->shape, peer.shape, 0.02 * peer.shape);
}

TEST_F(IqtreePeer, GTRInvariableGammaScoreAndRatesMatch)
{
    Peer peer;
    if (!runIqtree("GTR+F+I+G4", peer))
        GTEST_SKIP() << "iqtree2 is not installed";
    loadExample();
    gtrIG4();
    EXPECT_NEAR(-score(), peer.lnL, 0.01);
    for (int k = 0; k < 5; ++k)
        EXPECT_NEAR(modelEngine(model())->fullRates[static_cast<size_t>(k)], peer.rates[k], 0.05 * peer.rates[k]) << k;
    EXPECT_NEAR(model()->rateInfo->shape, peer.shape, 0.02 * peer.shape);
}

}  // namespace
