#include "likelihood/gammaplot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "data/vorn_data.h"
#include "likelihood/activeml.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"

namespace {

constexpr int kNumPoints = 100;
constexpr double kStep = 0.05;
// The tail is cut once the density has fallen below this share of the
// peak, but never before x = 1.95 (row 38): a small shape puts its peak
// at the left edge and would otherwise leave almost no plot at all.
constexpr double kTailShare = 0.02;
constexpr int kFirstCutRow = 38;
// Columns in front of the bars: "%4.2f " and the axis character.
constexpr uint32_t kLabelWidth = 6;

double pointX(int i) { return (i + 1) * kStep; }

// The gamma density of shape a and mean 1 (rate a) at x.
double gammaDensity(double x, double a)
{
    return detExp((a - 1.0) * detLog(x) - a * (x - detLog(a)) - detLgamma(a));
}

struct CmdParamListDeleter {
    void operator()(CmdParamList *list) const { destroyCmdParamList(list); }
};
using SavedParams = std::unique_ptr<CmdParamList, CmdParamListDeleter>;

struct RateInfoDeleter {
    void operator()(MLRateInfo *ri) const { destroyMLRateInfo(ri); }
};

// Draws the histogram and the rate table; 0 or 2 when interrupted.
int drawGammaPlot(double shape, int32_t ncat, bool median)
{
    std::array<double, kNumPoints> f{};
    double fmax = 0.0;
    for (int i = 0; i < kNumPoints; ++i) {
        f[i] = gammaDensity(pointX(i), shape);
        fmax = std::max(fmax, f[i]);
    }
    int last = kNumPoints - 1;
    for (int i = kFirstCutRow; i < kNumPoints; i += 2)
        if (f[i] / fmax < kTailShare) {
            last = i;
            break;
        }

    const uint32_t lineLength = getOutputLineLength();
    const uint32_t width = lineLength - kLabelWidth;
    qel_printf("\nGamma distribution with shape parameter (alpha) = %g\n\n", shape);
    drawTopBotLegend(lineLength, fmax);
    drawTopBotLine(width, 0.0);
    for (int i = 0; i <= last; ++i) {
        if (getAbortedStatus() != 0)
            return 2;
        // Every second row (x = 0.10, 0.20, ...) carries its label.
        if (i % 2 == 1)
            qel_printf("%4.2f %c", pointX(i), '+');
        else
            qel_printf("     %c", '|');
        const auto bar = static_cast<size_t>(std::floor(width * f[i] / fmax + 0.5));
        qel_printf("%s\n", std::string(bar, '#').c_str());
    }
    drawTopBotLine(width, pointX(last + 1));
    drawTopBotLegend(lineLength, fmax);

    const uint32_t k = static_cast<uint32_t>(ncat);
    std::unique_ptr<MLRateInfo, RateInfoDeleter> ri(
        createMLRateInfo(k, k, kRatesGamma | (median ? kRatesMedian : 0u)));
    return initRateDistribution(true, ri.get(), 0.0, shape) != 0 ? 1 : 0;
}

// "apply": the values read become the LSet settings, as if LSet had set
// them, so the current model follows them. The shape that was drawn is the
// one applied, so a shape LSet was to estimate becomes a fixed one.
int applyToLSet()
{
    ml.estGammaShape = 0;
    invalidateMLprep();
    return storeCurrentModel(nullptr, activeDataInfo(), false);
}

}  // namespace

void drawTopBotLine(uint32_t width, double x)
{
    qel_printf("%4.2f %c%s+\n", x, '+', std::string(width > 0 ? width - 1 : 0, '-').c_str());
}

void drawTopBotLegend(uint32_t lineLength, double maxDensity)
{
    std::string line(lineLength, ' ');
    line.replace(kLabelWidth - 1, 3, "0.0");
    char top[32];
    const int n = std::snprintf(top, sizeof top, "%.2f", maxDensity);
    const size_t len = std::min<size_t>(static_cast<size_t>(n), lineLength);
    line.replace(lineLength - len, len, top, len);
    qel_printf("%s\n", line.c_str());
}

int doGammaPlotCmd()
{
    SavedParams saved(allocAndSaveParamVals(OptionSet::kGammaPlot));
    if (saved == nullptr)
        return 1;
    if (getCmdParams(OptionSet::kGammaPlot, ";", nullptr) <= 0)
        return 1;
    const bool apply = ml.gammaPlotApply != 0;
    ml.gammaPlotApply = 0;
    // A shape out of range is refused here: the option itself takes any
    // real, and the density is undefined for a shape of zero or less.
    if (checkGammaShape(ml.userGammaShape) != 0) {
        restoreCmdParamVals(saved.get());
        return 1;
    }
    if (ml.estGammaShape) {
        qel_printf("\nNote: cannot estimate shape parameter in this context.  Current setting of "
                   "%g will be used.\n",
                   ml.userGammaShape);
        errorSound();
    }
    int status = drawGammaPlot(ml.userGammaShape, ml.ncat, ml.repRate != 0);
    if (!apply) {
        restoreCmdParamVals(saved.get());
    } else if (int applied = applyToLSet(); status == 0) {
        status = applied;
    }
    return status;
}
