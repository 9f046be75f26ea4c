// The likelihood settings report on prepared states filled by hand: the
// model headings, what quartet puzzling and the clock change, and the
// precision and vector lines of the factory settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/model.h"
#include "data/patterns.h"
#include "likelihood/activeml.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlsettings_report.h"
#include "likelihood/models.h"
#include "print_capture.h"

namespace {

class MLSettingsReportTest : public ::testing::Test {
protected:
    LSet savedSettings{};
    ModelGroup savedGroup{};
    ActiveML *aml = nullptr;

    void SetUp() override
    {
        savedSettings = ml;
        savedGroup = *activeModelGroup();
        createModelList();
        ml.NST = static_cast<int32_t>(kSubstTwoRates);
        ml.userTratio = 2.0;
        ml.ncat = 4;
        ml.useApproxLim = 1;
        ml.vector = 1;
        ml.precision = 1;
        ml.nthreads = 1;
        ASSERT_EQ(applyCurrentSettingsToModel(getDefaultModel(), nullptr), 0);
        // What the set-up makes of the factory settings.
        aml = startActiveML();
        aml->flags = kAMLSinglePrecision | kAMLVector | kAMLRescale | kAMLUseApproxLim |
                     kAMLParsOrLSBrLens;
        aml->initBrLenMethod = kInitBrLenRogers;
        aml->maxPass = 20;
        aml->toler = 1e-7;
        aml->approxLim = 5.0;
        aml->praxisTol = 1e-4;
        aml->rateScaler = 1.0;
        ModelGroup *g = activeModelGroup();
        g->ngrp = 7;
        g->nstates = 4;
        g->rescaleThreshold = 1e-20;
        g->singleThreaded = 1;
        gPrinted.clear();
    }

    void TearDown() override
    {
        finishActiveML();
        destroyModelList();
        *activeModelGroup() = savedGroup;
        ml = savedSettings;
    }

    // The report's lines, trimmed, in order.
    std::vector<std::string> report(bool modelsOnly)
    {
        gPrinted.clear();
        showMLSettings(modelsOnly, capturePrintf);
        std::vector<std::string> lines;
        std::string text = printedText(), line;
        for (char c : text) {
            if (c != '\n') {
                line += c;
                continue;
            }
            const size_t start = line.find_first_not_of(' ');
            if (start != std::string::npos)
                lines.push_back(line.substr(start));
            line.clear();
        }
        return lines;
    }

    static bool has(const std::vector<std::string> &lines, const std::string &text)
    {
        for (const std::string &l : lines)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
};

TEST_F(MLSettingsReportTest, FactorySettingsGiveTheLinesInOrder)
{
    setActiveModels(nullptr, nullptr);
    const std::vector<std::string> lines = report(false);
    const std::vector<std::string> expected = {
        "Likelihood settings:",
        "Current model:",
        "Number of distinct data patterns under this model = 7",
        "Molecular clock not enforced",
        "Starting branch lengths obtained using Rogers-Tessary approximation method",
        "Branch-length optimization = one-dimensional Newton-Raphson with pass limit=20, "
        "tolerance=1e-07",
        "Likelihood calculations performed in single precision",
        "Vector processing enabled",
        "Conditional-likelihood rescaling threshold = 1e-20",
    };
    size_t at = 0;
    for (const std::string &line : lines)
        if (at < expected.size() && line == expected[at])
            ++at;
    EXPECT_EQ(at, expected.size()) << "missing or out of order: " << expected[std::min(at, expected.size() - 1)]
                                   << "\n" << gPrinted;
    EXPECT_TRUE(has(lines, "Model correspondence = HKY85"));
    EXPECT_FALSE(has(lines, "Multidimensional optimizer"));
    EXPECT_FALSE(has(lines, "Ancestral states"));
}

TEST_F(MLSettingsReportTest, HeadingsFollowTheActiveModels)
{
    Model *named = createModel("second");
    insertModel(named);
    ASSERT_EQ(applyCurrentSettingsToModel(named, nullptr), 0);
    clearActiveModels();
    appendModelToActiveModels(named);
    std::vector<std::string> lines = report(true);
    EXPECT_TRUE(has(lines, "Model in effect (second):"));
    EXPECT_FALSE(has(lines, "Partitioned"));

    appendModelToActiveModels(getDefaultModel());
    lines = report(true);
    EXPECT_TRUE(has(lines, "Partitioned model in effect:"));
    EXPECT_TRUE(has(lines, "Model 'second':"));
    EXPECT_TRUE(has(lines, "Model 'default':"));
    EXPECT_TRUE(has(lines, "Model-subset rate = 1"));
    // The models-only block ends with the models.
    EXPECT_FALSE(has(lines, "Number of distinct data patterns"));
}

TEST_F(MLSettingsReportTest, QuartetPuzzlingAndTheClockChangeTheOptimisationLines)
{
    setActiveModels(nullptr, nullptr);
    aml->flags |= kAMLQuartetPuzzling;
    std::vector<std::string> lines = report(false);
    EXPECT_FALSE(has(lines, "Starting branch lengths"));
    EXPECT_FALSE(has(lines, "Branch-length optimization"));
    EXPECT_TRUE(has(lines, "Likelihood calculations performed in single precision"));

    aml->flags &= ~kAMLQuartetPuzzling;
    aml->flags |= kAMLClock;
    aml->initBrLenMethod = kInitBrLenLS;
    lines = report(false);
    EXPECT_TRUE(has(lines, "Molecular clock enforced"));
    EXPECT_TRUE(has(lines, "Starting branch lengths obtained using UPGMA-style averaging (option "
                           "for least-squares branch-length initialized unsupported for clock "
                           "models)"));
    EXPECT_TRUE(has(lines, "Parameterization for clock optimization = \"Thorne\""));
    EXPECT_TRUE(has(lines, "Multidimensional optimizer = Praxis (tol=0.0001)"));
    EXPECT_TRUE(has(lines, "Transformations used to enforce bounds on clock-time parameters"));

    aml->flags &= ~(kAMLClock | kAMLSinglePrecision | kAMLVector);
    aml->initBrLenMethod = kInitBrLenArbitrary;
    aml->initArbBrLen = 0.1;
    lines = report(false);
    EXPECT_TRUE(has(lines, "Starting branch lengths arbitrarily set to 0.1"));
    EXPECT_TRUE(has(lines, "Likelihood calculations performed in double precision"));
    EXPECT_TRUE(has(lines, "Vector processing disabled"));
}

}  // namespace
