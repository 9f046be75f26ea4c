// A nucleotide data set with the likelihood settings at their factory
// values, and the clean-up of the prepared likelihood state, for the tests
// of the likelihood set-up and the conditional-likelihood pool.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "data/data_fixture.h"
#include "data/model.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlinit.h"
#include "likelihood/modelgroup.h"
#include "likelihood/models.h"
#include "support/tree_test_support.h"

class MLFixture : public datatest::DataFixture {
protected:
    LSet saved{};

    void SetUp() override
    {
        DataFixture::SetUp();
        saved = ml;
        ml = LSet{};
        ml.NST = static_cast<int32_t>(kSubstTwoRates);
        ml.userTratio = 2.0;
        ml.baseFreqMode = kFreqEmpirical;
        ml.ncat = 4;
        ml.userGammaShape = 0.5;
        ml.precision = 0;  // double
        ml.vector = 1;
        ml.clRescale = 1e-20;
        ml.maxBrlen = 10.0;
        ml.spToler = 1e-7;
        ml.dpToler = 1e-10;
        ml.brentT = 1e-10;
        ml.praxisTol = 1e-4;
        ml.maxPass = 20;
        ml.initArbBrLen = 0.1;
        ml.userRateScaler = 1.0;
        ml.prevRateScaler = -1.0;
        for (int i = 0; i < 6; ++i) {
            (&ml.rAC)[i] = 1.0;
            (&ml.cAC)[i] = i;
        }
        setModelEngineReleaser(releaseModelEngine);
        createModelList();
        resetPatternServices();
        PatternServices patterns{};
        patterns.invalidateMLprep = invalidateMLprep;
        installPatternServices(patterns);
    }

    void TearDown() override
    {
        disposeML(false);
        invalidateSitePatternData(true);
        deallocAllModelGroupData(true);
        destroyModelList();
        ml = saved;
        DataFixture::TearDown();
    }

    // What LSet does after changing settings: the default model takes them.
    void applySettings() { ASSERT_EQ(storeCurrentModel("", d, false), 0); }
    // Jukes-Cantor: one rate, equal frequencies, no rate variation.
    void jukesCantor()
    {
        ml.NST = static_cast<int32_t>(kSubstOneRate);
        ml.baseFreqMode = kFreqEqual;
        ml.rates = 0;
    }

    // ntax taxa, nchar sites of random bases; a cell in `missingRate` is a
    // random ambiguity ({AG} or {CT}) or missing.
    DataInfo *makeDna(uint32_t ntax, uint32_t nchar, std::mt19937 &rng, double ambiguous = 0.05)
    {
        makeData(ntax, nchar, true, "ACGT");
        d->dataType = kDataTypeDNA;
        std::uniform_real_distribution<double> u(0.0, 1.0);
        const uint8_t ag = stateBitsToCode(0b0101, d), ct = stateBitsToCode(0b1010, d);
        for (uint32_t t = 0; t < ntax; ++t)
            for (uint32_t c = 0; c < nchar; ++c) {
                const double x = u(rng);
                const uint8_t code = x < ambiguous / 3     ? ag
                                     : x < 2 * ambiguous / 3 ? ct
                                     : x < ambiguous        ? static_cast<uint8_t>(d->nstates)
                                                            : static_cast<uint8_t>(rng() % 4);
                EXPECT_EQ(setXijRaw(d, t, c, code), 0);
            }
        return d;
    }
};

// A fixture that scores a tree: its conditional-likelihood arrays go back
// to the pool before the model group is released.
class MLTreeFixture : public MLFixture {
protected:
    TreePtr tree;
    ModelGroup *g = nullptr;

    void TearDown() override
    {
        if (tree && g && g->engine)
            resetCLAs(g, tree.get(), true);
        MLFixture::TearDown();
        tree.reset();
    }
};
