// GammaPlot through the option table: the LSet values it reads are put
// back after a plot and after a refusal, and kept with "apply".
#include <string>
#include <vector>

#include "likelihood/gammaplot.h"
#include "likelihood/likelihood_settings.h"
#include "data/model.h"
#include "app/option_test_support.h"

namespace {

class GammaPlotTest : public OptionTest {};

struct GammaSettings {
    double shape;
    int32_t ncat;
    uint8_t repRate, estimate;
    bool operator==(const GammaSettings &) const = default;
};

GammaSettings current() { return {ml.userGammaShape, ml.ncat, ml.repRate, ml.estGammaShape}; }

TEST_F(GammaPlotTest, PlotsAndRefusalsLeaveTheLSetValues)
{
    ASSERT_GT(parse(OptionSet::kLSet, "rates=gamma shape=0.8 ncat=5 repRate=median;"), 0);
    const GammaSettings before = current();

    EXPECT_EQ(runAs("GammaPlot", "shape=3 ncat=6 repRate=mean;", doGammaPlotCmd), 0);
    EXPECT_NE(cap.out.find("Gamma distribution with shape parameter (alpha) = 3\n"), std::string::npos);
    EXPECT_NE(cap.out.find("  rate (mean)"), std::string::npos);
    EXPECT_EQ(current(), before);

    const std::pair<const char *, uint32_t> refused[] = {
        {"shape=0 ncat=3;", 805}, {"shape=-1;", 805}, {"shape=600 repRate=mean;", 806},
        {"shape=2 ncat=1 apply;", 825}};
    for (const auto &[input, code] : refused) {
        EXPECT_EQ(runAs("GammaPlot", input, doGammaPlotCmd), 1) << input;
        EXPECT_EQ(errorCodes(), std::vector<uint32_t>{code}) << input;
        EXPECT_EQ(cap.out.find("Gamma distribution"), std::string::npos) << input;
        EXPECT_EQ(current(), before) << input;
    }
}

TEST_F(GammaPlotTest, ApplyKeepsTheShapeDrawnAndStopsEstimatingIt)
{
    ASSERT_GT(parse(OptionSet::kLSet, "rates=gamma shape=estimate ncat=4;"), 0);
    ASSERT_EQ(runAs("GammaPlot", "shape=2 ncat=3 apply;", doGammaPlotCmd), 0);
    EXPECT_NE(cap.out.find("cannot estimate shape parameter in this context.  Current setting of 2 "
                           "will be used."),
              std::string::npos);
    EXPECT_EQ(current(), (GammaSettings{2.0, 3, 0, 0}));
    EXPECT_EQ(getDefaultModel()->gammaShape, 2.0);
    // "apply" holds for one command only.
    EXPECT_EQ(ml.gammaPlotApply, 0);
    ASSERT_EQ(runAs("GammaPlot", "shape=0.7;", doGammaPlotCmd), 0);
    EXPECT_EQ(ml.userGammaShape, 2.0);
}

}  // namespace
