// The local score that screens a likelihood search's neighbours: arrays
// kept from one neighbour to the next against arrays made from nothing,
// and the local score against the whole tree's -ln L at the lengths the
// screen left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "likelihood/clapool.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/paramvec.h"
#include "likelihood/swapscreen.h"
#include "likelihood/treelike.h"
#include "ml_fixture.h"
#include "search/hitlist.h"
#include "search/search.h"
#include "search/tbr.h"
#include "support/tree_test_support.h"

namespace {

class SwapScreenTest : public Lik12Fixture {
protected:
    std::vector<double> currentLengths() const
    {
        std::vector<double> v(tree->maxNodes);
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            v[i] = tree->nodes[i].edge.brlen;
        return v;
    }

    struct Move {
        TreeNode *K, *T, *R;
    };

    // Every move of the type (TBR unless told) that leaves an edge behind
    // (K's fork not the root's), or with `atRoot` only the moves that
    // reroot a subtree of the root's fork.
    std::vector<Move> moves(int swapType = kSwapTBR, bool atRoot = false)
    {
        struct Ctx {
            std::vector<Move> out;
            bool atRoot;
        } ctx{{}, atRoot};
        auto fn = [](void *arg, TreeNode *K, TreeNode *T, TreeNode *R, double) {
            auto *c = static_cast<Ctx *>(arg);
            if ((K->anc->anc == nullptr) == c->atRoot)
                c->out.push_back({K, T, R});
            return 0;
        };
        forEachTbrMove(tree.get(), nullptr, swapType, 0, fn, &ctx);
        return ctx.out;
    }

    // The edge a move leaves: K's sibling, or for a subtree of the root's
    // fork rerooted at R, K's child off the path to R.
    static TreeNode *edgeLeft(const Move &m)
    {
        TreeNode *P = m.K->anc;
        if (P->anc != nullptr)
            return P->firstChild == m.K ? m.K->nextSib : P->firstChild;
        TreeNode *onPath = m.R;
        while (onPath->anc != m.K)
            onPath = onPath->anc;
        return m.K->firstChild == onPath ? onPath->nextSib : m.K->firstChild;
    }

    // -ln L of the neighbour of one move with every length fitted from the
    // swapped tree's, from arrays made for it alone.
    double wholeFit(const Move &m)
    {
        RearrObject move, inverse;
        makeRearrObject(&move, m.K, m.T, m.R, 0.0);
        swapScreenLengths(tree.get(), true);
        EXPECT_EQ(applyTbrRearr(&inverse, tree.get(), nullptr, &move, false), 0);
        setTraversalSeq(tree.get());
        releaseAllCLAs(tree.get(), g);
        const double fit = improveBranchLens(tree.get());
        EXPECT_EQ(undoTbrRearr(tree.get(), nullptr, false), 0);
        swapScreenLengths(tree.get(), false);
        setTraversalSeq(tree.get());
        return fit;
    }

    // The screen's score of one move, made and undone as a search does;
    // with `whole`, also -ln L of the whole neighbour at the lengths the
    // screen left on it, from arrays made for it alone.
    double screened(const Move &m, double *whole = nullptr, double bound = kNoLScore)
    {
        TreeNode *P = m.K->anc;
        TreeNode *S = edgeLeft(m);
        RearrObject move, inverse;
        makeRearrObject(&move, m.K, m.T, m.R, 0.0);
        swapScreenLengths(tree.get(), true);
        EXPECT_EQ(applyTbrRearr(&inverse, tree.get(), nullptr, &move, false), 0);
        setTraversalSeq(tree.get());
        const double local = swapScreenScore(tree.get(), m.K, P, S, bound);
        // Every array made again: the screen starts its next neighbour from
        // nothing too.
        if (whole)
            *whole = calcLForCurBranchLens(tree.get(), false);
        EXPECT_EQ(undoTbrRearr(tree.get(), nullptr, false), 0);
        swapScreenLengths(tree.get(), false);
        return local;
    }
};

TEST_F(SwapScreenTest, NoApproximationLimitMeansNoScreen)
{
    loadExample(0, 600);
    ml.useApproxLim = 0;
    score();
    EXPECT_FALSE(swapScreenBegin(tree.get())) << "approxLim=none scores every neighbour whole";
    ml.useApproxLim = 1;
    score();
    ASSERT_TRUE(swapScreenBegin(tree.get()));
    swapScreenEnd(tree.get());
}

// The second-look window follows the adjustment of the approximation
// limit: none without it; with it, a window wider than the screen's margin
// that widens to twice what a neighbour found in it was missed by, never
// narrows during the search, and starts afresh with the next.
TEST_F(SwapScreenTest, SecondLookWindowWidensToTwiceTheMissAndStartsAfreshPerSearch)
{
    loadExample(0, 300);
    ml.useApproxLim = 1;
    ml.adjustAppLim = 0;
    score();
    EXPECT_EQ(swapScreenRecheck(), 0.0);
    ml.adjustAppLim = 1;
    score();
    const double initial = swapScreenRecheck();
    const double bound = 1000.0;
    EXPECT_TRUE(swapScreenRejects(bound + 0.05, bound)) << "no better locally: left for the second look";
    EXPECT_FALSE(swapScreenRejects(bound - 0.05, bound));
    EXPECT_GT(initial, 2.0) << "the window reaches past what a whole fit gains";
    swapScreenMissed(bound + initial, bound - 1.0);
    EXPECT_DOUBLE_EQ(swapScreenRecheck(), 2.0 * (initial + 1.0));
    swapScreenMissed(bound + 1.0, bound - 0.5);
    EXPECT_DOUBLE_EQ(swapScreenRecheck(), 2.0 * (initial + 1.0));
    score();
    EXPECT_EQ(swapScreenRecheck(), initial);
}

TEST_F(SwapScreenTest, KeptArraysScoreEveryNeighbourAsArraysMadeFromNothing)
{
    loadExample(0, 600);
    ml.rates = 1;  // gamma
    ml.useApproxLim = 1;  // the factory setting: the search's approximation on
    score();
    const std::vector<double> given = currentLengths();
    ASSERT_TRUE(swapScreenBegin(tree.get()));
    EXPECT_EQ(currentLengths(), given) << "the tree keeps the lengths it had";
    const std::vector<Move> all = moves();
    ASSERT_GT(all.size(), 100u);
    std::vector<double> kept;
    for (const Move &m : all)
        kept.push_back(screened(m));
    // Made from nothing: the arrays of the last neighbour all given back
    // first, and each score checked against the whole tree's.
    for (size_t i = 0; i < all.size(); ++i) {
        releaseAllCLAs(tree.get(), g);
        double whole = 0.0;
        const double fresh = screened(all[i], &whole);
        ASSERT_LT(fresh, kNoLScore);
        EXPECT_NEAR(kept[i], fresh, 1e-6 * fresh) << "move " << i;
        EXPECT_NEAR(whole, fresh, 1e-6 * fresh) << "move " << i;
    }
    EXPECT_EQ(currentLengths(), given);
    swapScreenEnd(tree.get());
    EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
}

// The local score holds every length but three at the swapped tree's: it is
// never better than the neighbour's whole fit, so a neighbour it leaves out
// scored whole is worse than the bound too.
TEST_F(SwapScreenTest, LocalScoreIsNoBetterThanTheWholeFit)
{
    loadExample(0, 400);
    ml.useApproxLim = 1;
    score();
    ASSERT_TRUE(swapScreenBegin(tree.get()));
    const std::vector<Move> all = moves();
    for (size_t i = 0; i < all.size(); i += 7) {
        const double local = screened(all[i]);
        const double fit = wholeFit(all[i]);
        EXPECT_GE(local, fit - 1e-3) << "move " << i;
        // Against a bound far below, one round may be all it gets: never
        // better than the rounds to the end, and still left out.
        const double bound = fit - 1000.0;
        const double rough = screened(all[i], nullptr, bound);
        EXPECT_GE(rough, local - 1e-6 * local) << "move " << i;
        EXPECT_TRUE(swapScreenRejects(rough, bound));
    }
    swapScreenEnd(tree.get());
    EXPECT_FALSE(swapScreenRejects(kNoLScore, 100.0)) << "no score leaves nothing out";
}

// In a search a tree hangs from a taxon, and the subtree below it is
// rerooted: that taxon joins the rest at the new root's edge. Such a
// neighbour is screened like any other (before, each was scored whole, a
// third of a search's whole scores and more): its local score comes from
// the arrays kept as from arrays made from nothing, is never better than
// its whole fit, and misses it by no more than other moves' local scores
// miss theirs.
TEST_F(SwapScreenTest, RerootsBelowTheRootTaxonAreScreenedLikeOtherMoves)
{
    loadExample(0, 600);
    treeText = "(1:0.12,((2:0.10,3:0.06):0.07,(((4:0.15,5:0.09):0.03,6:0.20):0.06,"
               "((7:0.11,(8:0.07,9:0.13):0.05):0.08,(10:0.09,11:0.16):0.04):0.03):0.02):0.05):0.08";
    ml.rates = 1;
    ml.useApproxLim = 1;
    const double swapped = score(0);
    ASSERT_TRUE(swapScreenBegin(tree.get()));
    double widest = 0.0;
    for (const Move &m : moves())
        if (const double fit = wholeFit(m); fit < swapped + 50.0)
            widest = std::max(widest, screened(m) - fit);
    const std::vector<Move> all = moves(kSwapTBR, true);
    ASSERT_GE(all.size(), 10u);
    for (size_t i = 0; i < all.size(); ++i) {
        const double local = screened(all[i]);
        ASSERT_LT(local, kNoLScore) << "move " << i;
        const double fit = wholeFit(all[i]);
        EXPECT_GE(local, fit - 1e-3) << "move " << i;
        if (fit < swapped + 50.0) {
            EXPECT_LE(local - fit, widest) << "move " << i;
        }
        releaseAllCLAs(tree.get(), g);
        double whole = 0.0;
        EXPECT_NEAR(screened(all[i], &whole), local, 1e-6 * local) << "move " << i;
        EXPECT_NEAR(whole, local, 1e-6 * local) << "move " << i;
    }
    swapScreenEnd(tree.get());
    EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
}

// An interchange across one edge changes the tree at both of its ends: its
// local score fits the five edges there. From a tree one interchange off
// the example's, every interchange scored whole and better than the tree
// swapped passes the screen, and every local score is within the margin of
// the neighbour's whole fit.
TEST_F(SwapScreenTest, EveryInterchangeBetterWhenScoredWholePassesTheScreen)
{
    const char *oneOff[] = {
        "((((0:0.08,(2:0.10,3:0.06):0.07):0.05,1:0.12):0.04,((4:0.15,5:0.09):0.03,6:0.20):0.06):0.02,"
        "((7:0.11,(8:0.07,9:0.13):0.05):0.08,(10:0.09,11:0.16):0.04):0.03)",
        "((((0:0.08,1:0.12):0.05,((4:0.15,5:0.09):0.03,6:0.20):0.06):0.04,(2:0.10,3:0.06):0.07):0.02,"
        "((7:0.11,(8:0.07,9:0.13):0.05):0.08,(10:0.09,11:0.16):0.04):0.03)",
        "((((0:0.08,1:0.12):0.05,(2:0.10,3:0.06):0.07):0.04,((4:0.15,5:0.09):0.03,6:0.20):0.06):0.02,"
        "((7:0.11,(10:0.09,11:0.16):0.04):0.08,(8:0.07,9:0.13):0.05):0.03)",
        "((((4:0.15,5:0.09):0.03,((0:0.08,1:0.12):0.05,(2:0.10,3:0.06):0.07):0.04):0.06,6:0.20):0.02,"
        "((7:0.11,(8:0.07,9:0.13):0.05):0.08,(10:0.09,11:0.16):0.04):0.03)",
    };
    loadExample(0, 600);
    ml.rates = 1;
    ml.useApproxLim = 1;
    ml.approxLim = 5.0;
    int better = 0;
    for (const char *text : oneOff) {
        treeText = text;
        const double swapped = score();
        ASSERT_TRUE(swapScreenBegin(tree.get()));
        const std::vector<Move> nni = moves(kSwapNNI);
        ASSERT_GE(nni.size(), 9u);
        for (size_t i = 0; i < nni.size(); ++i) {
            const double local = screened(nni[i]);
            const double whole = wholeFit(nni[i]);
            EXPECT_GE(local, whole - 1e-3) << text << " move " << i;
            EXPECT_LT(local, whole + 2.0) << text << " move " << i;
            if (whole < swapped - 0.01) {
                ++better;
                EXPECT_FALSE(swapScreenRejects(local, swapped)) << text << " move " << i << ": " << local << " whole "
                                                                << whole << " swapped " << swapped;
            }
        }
        swapScreenEnd(tree.get());
    }
    EXPECT_GE(better, 4) << "each tree swapped has the example's tree as a better neighbour";
}

// Parameters estimated on every tree: the screen applies, its local scores
// take the swapped tree's estimate, and a neighbour it passes is estimated
// whole on its own (its score that of its own estimate made from nothing,
// its values not the swapped tree's). Arrays the screen held before that
// estimate are not reused under the values it left.
TEST_F(SwapScreenTest, UnderPerTreeEstimatesAPassedNeighbourGetsItsOwnEstimate)
{
    loadExample(0, 400);
    ml.estTratio = 1;
    ml.rates = 1;
    ml.estGammaShape = 1;
    ml.useApproxLim = 1;
    const double swapped = score();
    setSearchWarmStarts(true);
    ASSERT_TRUE(swapScreenBegin(tree.get())) << "the screen applies under per-tree estimates";
    const double kappa = modelEngine(model())->kappa;
    const std::vector<Move> all = moves();
    size_t best = 0;
    std::vector<double> local;
    for (size_t i = 0; i < all.size(); ++i) {
        local.push_back(screened(all[i]));
        if (local[i] < local[best])
            best = i;
    }
    ASSERT_FALSE(swapScreenRejects(local[best], swapped)) << local[best] << " against " << swapped;
    EXPECT_EQ(modelEngine(model())->kappa, kappa) << "local scores leave the values as they were";

    // The passed neighbour scored whole as the search scores it (the tree's
    // own lengths on, the estimate starting from the last tree's values),
    // then from nothing.
    const Move &m = all[best];
    RearrObject move, inverse;
    makeRearrObject(&move, m.K, m.T, m.R, 0.0);
    ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), nullptr, &move, false), 0);
    setTraversalSeq(tree.get());
    const double whole = calcTreeLikelihood(tree.get(), kNoLScore);
    const double ownKappa = modelEngine(model())->kappa;
    setSearchWarmStarts(false);
    releaseAllCLAs(tree.get(), g);
    const double cold = calcTreeLikelihood(tree.get(), kNoLScore);
    setSearchWarmStarts(true);
    EXPECT_NEAR(whole, cold, 2e-3);
    EXPECT_NEAR(ownKappa, modelEngine(model())->kappa, 1e-3 * ownKappa);
    EXPECT_GT(std::abs(ownKappa - kappa), 1e-4 * kappa) << "the neighbour's own ti/tv, not the swapped tree's";
    ASSERT_EQ(undoTbrRearr(tree.get(), nullptr, false), 0);
    setTraversalSeq(tree.get());
    EXPECT_LE(whole, local[best] + 1e-3);

    // Under the values the neighbour's estimate left, a local score from
    // the arrays the screen still holds equals one made from nothing.
    const size_t other = best == 0 ? 1 : 0;
    const double held = screened(all[other]);
    releaseAllCLAs(tree.get(), g);
    EXPECT_NEAR(held, screened(all[other]), 1e-6 * held);
    swapScreenEnd(tree.get());
    setSearchWarmStarts(false);
    EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
}

}  // namespace

// A neighbour far beyond the bound with only its joining edge fitted is
// left out on that score. From trees near and far from the example's, no
// neighbour whose whole fit reaches the bound is cut short that way: its
// score against that bound is the full local score, and a bound far below
// every neighbour leaves each out.
TEST_F(SwapScreenTest, NoNeighbourBetterWholeIsCutShortAfterItsJoiningEdge)
{
    loadExample(0, 600);
    ml.rates = 1;
    ml.useApproxLim = 1;
    for (const char *text : {"", "(1:0.12,((2:0.10,3:0.06):0.07,(((4:0.15,5:0.09):0.03,6:0.20):0.06,"
                                 "((7:0.11,(8:0.07,9:0.13):0.05):0.08,(10:0.09,11:0.16):0.04):0.03):0.02):0.05):0.08"}) {
        if (*text != '\0')
            treeText = text;
        const double swapped = *text != '\0' ? score(0) : score();
        ASSERT_TRUE(swapScreenBegin(tree.get()));
        const std::vector<Move> all = moves();
        ASSERT_GT(all.size(), 100u);
        int cut = 0;
        for (size_t i = 0; i < all.size(); i += 9) {
            const double local = screened(all[i]);
            const double fit = wholeFit(all[i]);
            EXPECT_NEAR(screened(all[i], nullptr, fit), local, 1e-6 * local) << text << " move " << i;
            const double far = screened(all[i], nullptr, swapped - 1000.0);
            EXPECT_TRUE(swapScreenRejects(far, swapped - 1000.0)) << text << " move " << i;
            cut += far > local + 1e-6 * local;
            releaseAllCLAs(tree.get(), g);
            EXPECT_NEAR(screened(all[i], nullptr, swapped - 1000.0), far, 1e-6 * far) << text << " move " << i;
        }
        EXPECT_GT(cut, 0) << text;
        swapScreenEnd(tree.get());
        EXPECT_EQ(numFreeCLAs(g), g->engine->pool->count);
    }
}
