// A resampling replicate that keeps the likelihood set-up and only changes
// the pattern weights must score trees as a set-up made afresh from the
// replicate's weights does: the empirical frequencies the engine scores
// with, the totals and the models all follow the new weights.
#include <random>
#include <vector>

#include "data/charstat.h"
#include "data/nexsets.h"
#include "likelihood/ml_cmd.h"
#include "likelihood/ratevar.h"
#include "ml_fixture.h"

namespace {

class ResampleInPlaceTest : public Lik12Fixture {
protected:
    // The example tree scored on the set-up as it stands (only the tree's
    // own preparation), its lengths fitted from the file's.
    double scoreKeepingSetUp()
    {
        tree.reset(createTreeForTaxa(12, 12, false));
        buildTestTree(tree.get(), treeText, -1);
        setTraversalSeq(tree.get());
        EXPECT_EQ(initializeML(false, false, false, false, tree.get()), 0);
        g = activeModelGroup();
        return calcTreeLikelihood(tree.get(), kNoLScore);
    }

    // Bootstrap weights: nchar draws of a character, each adding one.
    std::vector<double> bootstrapWeights(uint32_t seed) const
    {
        std::mt19937 gen(seed);
        std::vector<double> w(d->nchar, 0.0);
        for (uint32_t k = 0; k < d->nchar; ++k)
            w[gen() % d->nchar] += 1.0;
        return w;
    }

    // New weights as the data preparation takes them.
    void weightsChanged()
    {
        afterWtsChange(nullptr, d);
        setWtFlags(0, d);
    }

    // A jackknife's zeros (every third character) and weights that are
    // not whole.
    std::vector<double> jackknifeWeights() const
    {
        std::vector<double> w(d->nchar, 1.0);
        for (uint32_t c = 0; c < d->nchar; c += 3)
            w[c] = 0.0;
        return w;
    }
    std::vector<double> fractionalWeights() const
    {
        std::vector<double> w(d->nchar);
        for (uint32_t c = 0; c < d->nchar; ++c)
            w[c] = static_cast<double>((c * 7) % 5) / 3.0;
        return w;
    }

    // What the score rests on besides the tree: the group patterns' weights
    // and total, and each active model's frequencies, site rates and rate.
    std::vector<double> setUpState()
    {
        std::vector<double> s(g->groupPatternWeight, g->groupPatternWeight + g->ngrp);
        s.push_back(g->totalWeight);
        s.push_back(g->patterns->propConstant);
        for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive) {
            s.insert(s.end(), m->freqs, m->freqs + m->nstates);
            s.push_back(m->relRate);
            if (m->rateInfo != nullptr)
                s.insert(s.end(), m->rateInfo->rates.begin(), m->rateInfo->rates.end());
        }
        return s;
    }

    // The tree's score on the set-up as it stands: its lengths fitted, and
    // the model's parameters with them when estimate is set.
    double scoreOnSetUp(bool estimate)
    {
        if (!estimate)
            return calcTreeLikelihood(tree.get(), kNoLScore);
        return calcLWithParamEst(tree.get(), g, kNoLScore);
    }

    // Each replicate scored in place after a set-up with the data's own
    // weights (and a tree scored on it, as the replicate before would
    // have), and scored on a set-up made afresh from its weights: the same
    // score to the last bit, and the same set-up state.
    void expectInPlaceScoresAsFresh(const char *what, bool estimate = false)
    {
        const std::vector<double> own(d->weights, d->weights + d->nchar);
        const std::vector<std::vector<double>> draws{bootstrapWeights(3), bootstrapWeights(4), bootstrapWeights(5),
                                                     jackknifeWeights(), fractionalWeights()};
        for (size_t k = 0; k < draws.size(); ++k) {
            const std::vector<double> &w = draws[k];
            std::copy(own.begin(), own.end(), d->weights);
            weightsChanged();
            ASSERT_LT(score(), kNoLScore);
            if (estimate) {
                ASSERT_LT(scoreOnSetUp(true), kNoLScore);
            }
            ASSERT_NE(groupToReweightInPlace(d), nullptr) << what;
            std::copy(w.begin(), w.end(), d->weights);
            ASSERT_NE(groupToReweightInPlace(d), nullptr) << what << ", draw " << k;
            const uint32_t preparations = numMLPreparations();
            ASSERT_EQ(charWeightsChanged(d), 0) << what;
            scoreKeepingSetUp();
            const double inPlace = scoreOnSetUp(estimate);
            EXPECT_EQ(numMLPreparations(), preparations) << what << ": the set-up was made again";
            const std::vector<double> stateInPlace = setUpState();
            const std::vector<double> freqsInPlace(model()->freqs, model()->freqs + 4);
            weightsChanged();
            score();
            const double fresh = scoreOnSetUp(estimate);
            EXPECT_EQ(inPlace, fresh) << what << ", draw " << k;
            EXPECT_EQ(freqsInPlace, std::vector<double>(model()->freqs, model()->freqs + 4))
                << what << ", draw " << k;
            EXPECT_EQ(stateInPlace, setUpState()) << what << ", draw " << k;
        }
        std::copy(own.begin(), own.end(), d->weights);
        weightsChanged();
    }
};

TEST_F(ResampleInPlaceTest, ReweightedPatternsScoreAsASetUpFromTheReplicatesWeights)
{
    loadExample(8, 300);
    // HKY+G with empirical frequencies: the replicate's frequencies differ
    // from the data's, and the engine holds a copy of them.
    expectInPlaceScoresAsFresh("HKY+G, empirical frequencies");
    ml.userPInvar = 0.2;
    expectInPlaceScoresAsFresh("HKY+I+G, empirical frequencies");
}

}  // namespace

namespace {

// Site-specific rates and model partitions keep each pattern's sites apart
// by rate class and model; a set-up weighs the site rates by the
// characters' weights, and a partition subset left without weight has no
// rate of its own.
class ResampleSlotsInPlaceTest : public ResampleInPlaceTest {
protected:
    std::vector<Nexset *> sets;

    void TearDown() override
    {
        ml.rateSet = ml.siteRatePartition = ml.modelPartition = nullptr;
        ResampleInPlaceTest::TearDown();
        for (Nexset *ns : sets)
            destroyNexset(ns, ns == sets.front() ? kNexRateset : kNexCharPartition);
    }

    // The characters in thirds, or every third character alike.
    Nexset *partition(uint32_t type, const char *a, const char *b, const char *c, bool interleaved)
    {
        Nexset *ns = createNexset("parts", type);
        PtnSubset *subset[3] = {addPtnSubset(getNexPtn(ns), a), addPtnSubset(getNexPtn(ns), b),
                                addPtnSubset(getNexPtn(ns), c)};
        for (uint32_t ch = 0; ch < d->nchar; ++ch)
            addSetMember(subset[interleaved ? ch % 3 : std::min(3 * ch / d->nchar, 2u)]->set, ch);
        return ns;
    }
};

TEST_F(ResampleSlotsInPlaceTest, ReweightedSiteRatesAndModelPartitionsScoreAsASetUpMadeAfresh)
{
    loadExample(8, 300);
    PatternServices services{};
    services.modelPartition = []() -> const Nexset * { return ml.modelPartition; };
    installPatternServices(services);
    Nexset *rateSet = createNexset("r", kNexRateset);
    sets.push_back(rateSet);
    double *r = getRatesetArray(rateSet);
    for (uint32_t c = 0; c < d->nchar; ++c)
        r[c] = c < 100 ? 2.5 : c < 230 ? 1.0 : 0.3;
    Nexset *thirds = partition(kNexCharPartition, "one", "two", "three", false);
    sets.push_back(thirds);

    // Rates from a rate set, scaled to a mean of 1 over the weighted sites.
    ml.rates = 2;
    ml.rateSet = rateSet;
    expectInPlaceScoresAsFresh("HKY, rate set");
    ml.userPInvar = 0.0;
    // Rates by partition subset: estimated, or the last estimates again.
    ml.rateSet = nullptr;
    ml.siteRatePartition = thirds;
    ml.estSiteRates = 1;
    expectInPlaceScoresAsFresh("HKY, site rates by partition");
    expectInPlaceScoresAsFresh("HKY, site rates by partition, estimated", true);
    ml.estSiteRates = 0;
    ml.prevSiteRates = 1;
    Model *def = getDefaultModel();
    def->prevSiteRatePartition = thirds;
    def->prevSiteRates = {0.4, 1.7, 0.9};
    expectInPlaceScoresAsFresh("HKY, previous site rates by partition");

    // A subset the draw leaves without weight has no rate of its own: the
    // replicate is set up afresh.
    ASSERT_LT(score(), kNoLScore);
    std::vector<double> own(d->weights, d->weights + d->nchar);
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (3 * c / d->nchar == 1)
            d->weights[c] = 0.0;
    EXPECT_EQ(groupToReweightInPlace(d), nullptr);
    std::copy(own.begin(), own.end(), d->weights);
    EXPECT_NE(groupToReweightInPlace(d), nullptr);

    // A model partition, one of its models with the rate set's rates.
    ml.prevSiteRates = 0;
    ml.siteRatePartition = nullptr;
    ml.rateSet = rateSet;
    ASSERT_EQ(storeCurrentModel("hkysr", d, false), 0);
    ml.rates = 1;
    ASSERT_EQ(storeCurrentModel("hkyg", d, false), 0);
    jukesCantor();
    ASSERT_EQ(storeCurrentModel("jc", d, false), 0);
    Nexset *models = partition(kNexModelPartition, "hkyg", "jc", "hkysr", true);
    ml.modelPartition = models;
    expectInPlaceScoresAsFresh("model partition");
    ml.estModelRates = 1;
    expectInPlaceScoresAsFresh("model partition, model rates estimated", true);
    ml.estModelRates = 0;
    ml.modelPartition = nullptr;
    destroyNexset(models, kNexModelPartition);
}

}  // namespace
