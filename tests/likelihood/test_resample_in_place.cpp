// A resampling replicate that keeps the likelihood set-up and only changes
// the pattern weights must score trees as a set-up made afresh from the
// replicate's weights does: the empirical frequencies the engine scores
// with, the totals and the models all follow the new weights.
#include <random>
#include <vector>

#include "data/charstat.h"
#include "likelihood/ml_cmd.h"
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

    // Each replicate scored in place after a set-up with the data's own
    // weights, and scored on a set-up made afresh from its weights.
    void expectInPlaceScoresAsFresh(const char *what)
    {
        const std::vector<double> own(d->weights, d->weights + d->nchar);
        for (const uint32_t seed : {3u, 4u, 5u}) {
            const std::vector<double> w = bootstrapWeights(seed);
            std::copy(own.begin(), own.end(), d->weights);
            weightsChanged();
            ASSERT_LT(score(), kNoLScore);
            ASSERT_NE(groupToReweightInPlace(d), nullptr) << what;
            std::copy(w.begin(), w.end(), d->weights);
            const uint32_t preparations = numMLPreparations();
            ASSERT_EQ(charWeightsChanged(d), 0) << what;
            const double inPlace = scoreKeepingSetUp();
            EXPECT_EQ(numMLPreparations(), preparations) << what << ": the set-up was made again";
            const std::vector<double> freqsInPlace(model()->freqs, model()->freqs + 4);
            weightsChanged();
            const double fresh = score();
            EXPECT_DOUBLE_EQ(inPlace, fresh) << what << ", seed " << seed;
            EXPECT_EQ(freqsInPlace, std::vector<double>(model()->freqs, model()->freqs + 4))
                << what << ", seed " << seed;
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
