// A nucleotide data set with the likelihood settings at their factory
// values, and the clean-up of the prepared likelihood state, for the tests
// of the likelihood set-up and the conditional-likelihood pool; and the
// twelve-taxon example scored on its tree, for the tests of estimation.
#pragma once

#include <algorithm>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
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
#include "likelihood/treelike.h"
#include "support/tree_test_support.h"

#ifndef VORN_SOURCE_DIR
#define VORN_SOURCE_DIR "."
#endif

inline const std::string kExamplesDir = std::string(VORN_SOURCE_DIR) + "/examples/";

inline std::string readTextFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

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

// Twelve taxa, 1,500 sites simulated on examples/lik12.nwk (PHYLIP file
// examples/lik12.phy), scored on that tree.
class Lik12Fixture : public MLTreeFixture {
protected:
    std::string treeText;

    // The example's first `sites` sites (all when 0), then extraConstant
    // columns of one base each (A, C, G, T in turn).
    void loadExample(uint32_t extraConstant = 0, uint32_t sites = 0)
    {
        std::istringstream in(readTextFile(kExamplesDir + "lik12.phy"));
        uint32_t ntax = 0, nchar = 0;
        in >> ntax >> nchar;
        ASSERT_EQ(ntax, 12u);
        const uint32_t kept = sites != 0 ? std::min(sites, nchar) : nchar;
        makeData(ntax, kept + extraConstant, true, "ACGT");
        d->dataType = kDataTypeDNA;
        for (uint32_t t = 0; t < ntax; ++t)
            for (uint32_t c = 0; c < extraConstant; ++c)
                ASSERT_EQ(setXijRaw(d, t, kept + c, static_cast<uint8_t>(c % 4)), 0);
        for (uint32_t t = 0; t < ntax; ++t) {
            std::string name, seq;
            in >> name >> seq;
            ASSERT_EQ(seq.size(), nchar);
            const uint32_t taxon = static_cast<uint32_t>(std::stoi(name.substr(1)));
            for (uint32_t c = 0; c < kept; ++c)
                ASSERT_EQ(setXijRaw(d, taxon, c, static_cast<uint8_t>(std::string("ACGT").find(seq[c]))), 0);
        }
        loadExampleTree();
    }

    // The example's tree, with taxon numbers for labels.
    void loadExampleTree()
    {
        treeText = std::regex_replace(readTextFile(kExamplesDir + "lik12.nwk"), std::regex("t([0-9]+)"), "$1");
        treeText = treeText.substr(0, treeText.find(';'));
    }

    // The tree's -ln L under the current settings, prepared afresh; hung
    // from that tip (as a search holds an unrooted tree) when rootTip >= 0.
    double score(int rootTip = -1)
    {
        tree.reset(createTreeForTaxa(12, 12, false));
        buildTestTree(tree.get(), treeText, rootTip);
        setTraversalSeq(tree.get());
        applySettings();
        EXPECT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        g = activeModelGroup();
        return calcTreeLikelihood(tree.get(), kNoLScore);
    }

    Model *model() { return g->engine->map.siteCats[0].model; }
};
