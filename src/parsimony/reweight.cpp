#include "parsimony/reweight.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "data/data_settings.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "parsimony/fitindex.h"
#include "parsimony/lenrange.h"
#include "parsimony/pars_init.h"
#include "parsimony/stmx.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "cli/qel_cmdoptions.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeutil.h"

namespace {

void applyWeightChange(DataInfo *d)
{
    charWts.notOne = charWts.notWhole = 0;
    charWts.maxWt = 0.0;
    for (uint32_t c = 0; c < d->nchar; c++) {
        const double w = d->weights[c];
        charWts.notOne |= w != 1.0;
        charWts.notWhole |= w != std::floor(w);
        if (!(d->status[c] & (kCharExcluded | kCharConstant)))
            charWts.maxWt = std::max(charWts.maxWt, w);
    }
    charWts.patWtsInvalid = 1;
    setNeedParsPrep(1);
    invalidateLengthBounds();
    if (parsServices().forgetLastTreeOptimized)
        parsServices().forgetLastTreeOptimized();
}

int fail(DataInfo *d, const std::vector<double> &saved)
{
    std::copy(saved.begin(), saved.end(), d->weights);
    applyWeightChange(d);
    return 1;
}

// The fit indices are parsimony's: their lengths and bounds are taken under
// parsimony whatever criterion is in force, which is given back on leaving.
class ParsimonyInForce {
public:
    ParsimonyInForce()
    {
        const ParsServices &s = parsServices();
        if (s.useParsimonyCriterion && s.restoreCriterion) {
            old_ = s.useParsimonyCriterion();
            switched_ = true;
        }
    }
    ~ParsimonyInForce()
    {
        if (switched_)
            parsServices().restoreCriterion(old_);
    }
    ParsimonyInForce(const ParsimonyInForce &) = delete;
    ParsimonyInForce &operator=(const ParsimonyInForce &) = delete;

private:
    uint32_t old_ = 0;
    bool switched_ = false;
};

}  // namespace

ReweightAccumulator makeReweightAccumulator(uint32_t nchar, uint32_t index, uint32_t fit)
{
    return {index, fit, std::vector<double>(nchar, fit == kRewtFitMinimum ? 1.0 : 0.0)};
}

void addTreeToReweight(ReweightAccumulator &acc, std::span<const double> len, std::span<const double> min,
                       std::span<const double> max)
{
    for (size_t c = 0; c < acc.value.size(); c++) {
        double ci = 1.0, ri = 1.0, rc = 1.0;
        if (min[c] != max[c]) {
            ci = calc1CI(min[c], len[c]);
            ri = calc1RI(min[c], len[c], max[c]);
            rc = ci < 0.0 || ri < 0.0 ? kFitUndefined : ci * ri;
        }
        const double v = acc.index == kRewtIndexCI ? ci : acc.index == kRewtIndexRI ? ri : rc;
        double &a = acc.value[c];
        a = acc.fit == kRewtFitMinimum ? std::min(a, v) : acc.fit == kRewtFitMaximum ? std::max(a, v) : a + v;
    }
}

double reweightValue(double value, double baseWt, bool truncate)
{
    // An undefined index (-1) or a mean pulled below 0 by one becomes 0;
    // nothing above 1 is a fit index either.
    const double v = std::clamp(value, 0.0, 1.0);
    if (baseWt == 1.0)
        return v;
    return truncate ? std::floor(v * baseWt) : std::floor(v * baseWt + 0.5);
}

int doReweightCmd()
{
    DataInfo *d = activeDataInfo();
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t ntrees = numTreesInBuffer(buf);
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    if (!d || !d->weights || ntrees == 0) {
        qel_errorMsg(0, "There are no trees in memory.");
        return 1;
    }
    std::vector<double> saved(d->weights, d->weights + d->nchar);
    const ParsimonyInForce parsimony;
    if (checkCharStatusUpdate(d) != 0)
        return fail(d, saved);
    if (const int r = getCmdParams(OptionSet::kReweight, ";", nullptr); r <= 0)
        return r < 0 ? 0 : fail(d, saved);
    if (!(rewt.baseWt > 0.0)) {
        qel_errorMsg(0, "Base weight must be greater than zero.");
        return fail(d, saved);
    }
    std::fill(d->weights, d->weights + d->nchar, 1.0);
    setNeedParsPrep(1);
    invalidateLengthBounds();
    // Lengths of directed characters need rooted trees: such trees could
    // not be scored by the next PScores either.
    if (checkDirectedRooting(d, areTreesRooted(buf)) != 0)
        return fail(d, saved);
    TreeHandle tree(createTreeForTaxa(d->ntax, d->ntax, true));
    if (!tree || prepareParsimonyData(d) != 0)
        return fail(d, saved);

    ReweightAccumulator acc = makeReweightAccumulator(d->nchar, rewt.index, rewt.fit);
    std::vector<double> len(d->nchar), min(d->nchar);
    for (uint32_t k = 1; k <= ntrees; k++) {
        if (getTree(buf, k, tree.get()) != 0)
            return fail(d, saved);
        pointTreeAtPackedData(tree.get(), d);
        if (updateLengthBounds(tree.get(), d) != 0)
            return fail(d, saved);
        pointTreeAtPackedData(tree.get(), d);
        if (calcTreeLengthOnly(d, tree.get(), true) == kNoScore)
            return fail(d, saved);
        const LengthBounds &b = lengthBounds();
        for (uint32_t c = 0; c < d->nchar; c++) {
            len[c] = charLengthOnTree(d, c);
            // rewt.minForFit: 0 range, 1 minLength.
            min[c] = rewt.minForFit ? b.minLen[c] : b.rangeMin[c];
        }
        addTreeToReweight(acc, len, min, b.maxLen);
    }
    for (uint32_t c = 0; c < d->nchar; c++) {
        const double v = rewt.fit == kRewtFitMean ? acc.value[c] / ntrees : acc.value[c];
        d->weights[c] = reweightValue(v, rewt.baseWt, rewt.truncate != 0);
    }
    static const char *const kFit[] = {"maximum", "minimum", "mean"};
    static const char *const kIndex[] = {"rescaled consistency", "consistency", "retention"};
    qel_printf("\nCharacters reweighted by %s value of %s indices.\n", kFit[std::min(rewt.fit, 2u)],
               kIndex[std::min(rewt.index, 2u)]);
    applyWeightChange(d);
    return 0;
}
