#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "selection/automodel.h"
#include "selection/selection_settings.h"

namespace {

struct VariantOptions {
    AutoModelSettings saved = autoMod;
    VariantOptions(bool equal, bool i, bool g, bool ig)
    {
        autoMod.equalRates = equal;
        autoMod.invarSites = i;
        autoMod.gammaRates = g;
        autoMod.IplusG = ig;
    }
    ~VariantOptions() { autoMod = saved; }
};

}  // namespace

// Model numbers run through the variants of each model in the set; without
// equal rates the first model is JC+I. The lset criterion is always
// computed, and a request without variants or criteria is refused.
TEST(AutoModel, NumbersNamesAndCriteria)
{
    {
        VariantOptions v(true, true, true, true);
        EvalModData e;
        ASSERT_EQ(createEvalModData(e, kModelSetJ3, false, false, false, false, 2, 1, true), 0);
        ASSERT_EQ(e.numModels(), 24u);
        EXPECT_EQ(modelNameForNum(e, 3), "JC+I+G");
        EXPECT_EQ(modelNameForNum(e, 4), "F81");
        EXPECT_EQ(modelNameForNum(e, 23), "GTR+I+G");
        ASSERT_EQ(e.criteria.size(), 1u);
        EXPECT_EQ(e.criteria[0], Xic::kBIC);
    }
    {
        VariantOptions v(false, true, true, true);
        EvalModData e;
        ASSERT_EQ(createEvalModData(e, kModelSetJ11, true, false, false, true, -1, 1, true), 0);
        EXPECT_EQ(e.numModels(), 66u);
        EXPECT_EQ(modelNameForNum(e, 0), "JC+I");
        EXPECT_EQ(modelNameForNum(e, 65), "GTR+I+G");
        EXPECT_EQ(e.dtIndex, 1);
    }
    {
        VariantOptions v(false, false, false, false);
        EvalModData e;
        EXPECT_EQ(createEvalModData(e, kModelSetJ3, true, true, true, false, -1, 1, true), 1);
    }
    VariantOptions v(true, false, false, false);
    EvalModData e;
    EXPECT_EQ(createEvalModData(e, kModelSetJ3, false, false, false, false, -1, 1, true), 1);
}

// DT: the BIC-weighted mean distance of a model's branch lengths to the
// other models'; a single model has nothing to differ from.
TEST(AutoModel, DecisionTheoryByHand)
{
    VariantOptions v(true, false, false, false);
    EvalModData e;
    ASSERT_EQ(createEvalModData(e, kModelSetJ3, false, false, false, true, -1, 1, true), 0);
    e.n = 100;
    e.fits.resize(6);
    for (ModelFit &f : e.fits) {
        f.lnL = 1e6;  // weights vanish for all but the three below
        f.k = 5;
        f.brlens = {0.0, 0.0, 0.0};
    }
    e.fits[0] = {1000.0, 0, 5, {}, 0, 0, {}, 0, 0, {0.1, 0.2, 0.3}};
    e.fits[1] = {1001.0, 0, 5, {}, 0, 0, {}, 0, 0, {0.1, 0.2, 0.7}};
    e.fits[2] = {1000.0, 0, 6, {}, 0, 0, {}, 0, 0, {0.4, 0.6, 0.3}};
    const std::vector<double> dt = calcDTForTree(e);
    const double w1 = std::exp(-1.0), w2 = std::exp(-0.5 * std::log(100.0)), W = 1.0 + w1 + w2;
    EXPECT_NEAR(dt[0], (0.4 * w1 + 0.5 * w2) / W, 1e-9);
    EXPECT_NEAR(dt[1], (0.4 * 1.0 + std::sqrt(0.09 + 0.16 + 0.16) * w2) / W, 1e-9);

    e.rows.assign(1, 0);
    e.fits.resize(1);
    EXPECT_EQ(calcDTForTree(e)[0], 0.0);
}

// A parameter cell keeps three decimals while they leave a blank before the
// value, and gives up decimals (then exponent form) rather than run into the
// cell before it.
TEST(AutoModel, ParamCellsKeepABlankBeforeTheValue)
{
    const struct {
        double value;
        int column;
        const char *text;
    } rows[] = {
        {0.25, 6, "0.250"},  {2.624, 6, "2.624"}, {12.846, 6, "12.85"},
        {804.6, 6, "804.6"}, {12.846, 7, "12.846"}, {3.96e8, 7, "4e+08"},
    };
    for (const auto &r : rows) {
        const std::string text = paramText(r.value, r.column);
        EXPECT_EQ(text, r.text) << r.value << " in " << r.column;
    }
}
