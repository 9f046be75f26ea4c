#include "parsimony/fitindex.h"

#include <cstdio>

#include "parsimony/lenrange.h"
#include "parsimony/pars_init.h"
#include "parsimony/packx.h"

namespace {

constexpr const char *kTitles[kNumFitMeasures] = {
    "Tree lengths",         "Compatibilities",    "Consistency indices", "Retention indices",
    "Rescaled consistency indices", "Homoplasy indices", "Goloboff fits",
};
constexpr const char *kLabels[kNumFitMeasures] = {"Length", "Compatible", "CI", "RI", "RC", "HI", "G-fit"};

// RC exists only when both of its factors do.
double rescaled(double ci, double ri) { return ci < 0.0 || ri < 0.0 ? kFitUndefined : ci * ri; }

}  // namespace

const char *fitMeasureTitle(uint32_t measure) { return measure < kNumFitMeasures ? kTitles[measure] : ""; }
const char *fitMeasureLabel(uint32_t measure) { return measure < kNumFitMeasures ? kLabels[measure] : ""; }

double calc1CI(double min, double len) { return len == 0.0 ? kFitUndefined : min / len; }

double calc1RI(double min, double len, double max)
{
    if (len == 0.0 || max == min)
        return kFitUndefined;
    return (max - len) / (max - min);
}

double calc1GFit(double min, double len)
{
    if (len == 0.0)
        return kFitUndefined;
    const double k = static_cast<double>(gPars.gK);
    return (k + 1.0) / (len - min + k + 1.0);
}

double charLengthOnTree(const DataInfo *d, uint32_t c)
{
    const PackedData *pd = packedData(d);
    if (!pd || c >= pd->steps.size())
        return 0.0;
    return pd->steps[c] >= 0 ? pd->steps[c] : pd->realSteps[c];
}

double get1FitMeasure(const DataInfo *d, uint32_t c, uint32_t measure, bool *flag)
{
    if (flag)
        *flag = false;
    const LengthBounds &b = lengthBounds();
    if (charLacksBounds(d, c))
        return kFitNotApplicable;
    const double len = charLengthOnTree(d, c);
    const bool gfitLeftOut = !gPars.gUninf && (d->status[c] & kCharUninformative);
    if (len == 0.0) {
        if (measure == kFitGFit && flag)
            *flag = gfitLeftOut;
        return kFitUndefined;
    }
    const double m = boundMinSteps(c);
    const double range = c < b.rangeMin.size() ? b.rangeMin[c] : 0.0;
    const double max = c < b.maxLen.size() ? b.maxLen[c] : 0.0;
    switch (measure) {
    case kFitCI:
        return m / len;
    case kFitRI:
        return calc1RI(m, len, max);
    case kFitRC:
        return rescaled(m / len, calc1RI(m, len, max));
    case kFitHI:
        return 1.0 - range / len;
    case kFitGFit:
        // The fewest steps the character can take, whatever minForFit
        // selects for the other indices, as the tree's total fit counts
        // from them: the table's fits then add up to the total under
        // either setting.
        if (flag)
            *flag = gfitLeftOut;
        return calc1GFit(c < b.minLen.size() ? b.minLen[c] : m, len) * (gPars.gPeeWee ? 10.0 : 1.0);
    default:
        return kFitUndefined;
    }
}

double calcLengthForEnsembleFits(const DataInfo *d, uint32_t *leftOut)
{
    double length = 0.0;
    uint32_t without = 0;
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (d->status[c] & (kCharExcluded | kCharConstant))
            continue;
        if (charLacksBounds(d, c))
            without++;
        else
            length += charLengthOnTree(d, c) * d->weights[c];
    }
    if (leftOut)
        *leftOut = without;
    return length;
}

TreeFitIndices treeFitIndices(double length, double sumMin, double sumMax, double sumRangeMin)
{
    if (length == 0.0)
        return {kFitUndefined, kFitUndefined, kFitUndefined, kFitUndefined};
    TreeFitIndices f{};
    f.ci = sumMin / length;
    f.ri = calc1RI(sumMin, length, sumMax);
    f.rc = rescaled(f.ci, f.ri);
    f.hi = 1.0 - sumRangeMin / length;
    return f;
}

char *fitMeasureToStr(char *buffer, size_t size, int decimals, double value)
{
    if (value == kFitNoValue)
        std::snprintf(buffer, size, "-");
    else if (value == kFitNotApplicable)
        std::snprintf(buffer, size, "n/a");
    else if (value < -1e-10)
        std::snprintf(buffer, size, "0/0");
    else
        std::snprintf(buffer, size, "%.*f", decimals, value);
    return buffer;
}
