#include "likelihood/ratevar.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "data/model.h"
#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "qel/qel_detmath.h"
#include "qel/qel_distrib.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_setptn.h"

namespace {

void refreshFloatProbs(MLRateInfo *ri)
{
    ri->probsFloat4.resize(4 * ri->probs.size());
    for (size_t i = 0; i < ri->probs.size(); ++i)
        std::fill_n(ri->probsFloat4.begin() + 4 * static_cast<long>(i), 4, static_cast<float>(ri->probs[i]));
}

bool characterIncluded(const DataInfo *d, uint32_t c)
{
    return d->status == nullptr || !(d->status[c] & kCharExcluded);
}

double characterWeight(const DataInfo *d, uint32_t c) { return d->weights ? d->weights[c] : 1.0; }

void attachRates(Model *m, MLRateInfo *ri)
{
    destroyMLRateInfo(m->rateInfo);
    m->rateInfo = ri;
    m->numRates = ri ? ri->nrates : 1;
    m->numRateCategs = ri ? ri->ncateg : 1;
    m->siteRateClass = ri && (ri->flags & kRatesSiteSpecific) ? ri->siteRateIndex.data() : nullptr;
}

int failRates(Model *m, const char *message)
{
    attachRates(m, nullptr);
    return qel_errorMsg(0, message), 1;
}

// Site-specific rates from a rate set: the distinct values over included
// characters in order of first appearance.
void ratesFromRateSet(MLRateInfo *ri, const Model *m, const DataInfo *d)
{
    const double *values = getRatesetArray(m->rateSet);
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (!characterIncluded(d, c) || values == nullptr)
            continue;
        const auto it = std::find(ri->rates.begin(), ri->rates.end(), values[c]);
        const uint32_t k = static_cast<uint32_t>(it - ri->rates.begin());
        if (it == ri->rates.end()) {
            ri->rates.push_back(values[c]);
            ri->rateWeights.push_back(0.0);
            ri->rateSubset.push_back(c);
        }
        ri->siteRateIndex[c] = k;
        ri->rateWeights[k] += characterWeight(d, c);
    }
}

// One rate per subset of the partition with included weight among the
// model's own characters, in subset order: a subset holding only another
// model's characters has no rate here, and is no parameter of this model.
void ratesFromPartition(MLRateInfo *ri, const Model *m, const DataInfo *d)
{
    const SetPtn *ptn = getNexPtn(m->siteRatePartition);
    const uint32_t nsub = ptn ? numPtnSubsets(ptn) : 0;
    std::vector<double> weight(nsub, 0.0);
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const uint32_t k = ptn ? whichPartitionSubset(ptn, c) : kNoSite;
        if (k < nsub && characterIncluded(d, c) && characterOfModel(m, c))
            weight[k] += characterWeight(d, c);
    }
    std::vector<uint32_t> rateOfSubset(nsub, kNoSite);
    for (uint32_t k = 0; k < nsub; ++k)
        if (weight[k] > 0.0) {
            rateOfSubset[k] = static_cast<uint32_t>(ri->rates.size());
            ri->rates.push_back(1.0);
            ri->rateWeights.push_back(weight[k]);
            ri->rateSubset.push_back(k);
        }
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const uint32_t k = ptn ? whichPartitionSubset(ptn, c) : kNoSite;
        if (k < nsub && characterIncluded(d, c))
            ri->siteRateIndex[c] = rateOfSubset[k];
    }
}

// The classes of the model's site-specific rates under the data's weights
// and exclusions: each class's first rate and summed weight, and each
// character's class.
void siteRateClasses(MLRateInfo *ri, const Model *m, const DataInfo *d)
{
    ri->rates.clear();
    ri->rateWeights.clear();
    ri->rateSubset.clear();
    ri->siteRateIndex.assign(d->nchar, kNoSite);
    if (m->rateSet != nullptr)
        ratesFromRateSet(ri, m, d);
    else
        ratesFromPartition(ri, m, d);
}

// The rates a set-up starts from, once the classes are made: a rate set's
// own values, scaled to a weighted mean of 1 (and any estimates by
// partition forgotten); by partition, the last estimates when asked for
// and there are as many, scaled in turn, else 1 each.
void startSiteRates(Model *m)
{
    MLRateInfo *ri = m->rateInfo;
    if (m->rateSet != nullptr) {
        forgetPreviousSiteRates(m);
        normalizeSiteRates(m);
        return;
    }
    const bool previous = ml.prevSiteRates && !m->prevSiteRates.empty() &&
                          m->prevSiteRatePartition == m->siteRatePartition &&
                          m->prevSiteRates.size() == ri->rates.size();
    if (previous) {
        ri->rates = m->prevSiteRates;
        normalizeSiteRates(m);
    } else if (!(ml.prevSiteRates && !m->prevSiteRates.empty())) {
        m->prevSiteRatePartition = nullptr;
    }
}

// The model's rate relative to the other models of a partition.
void startModelRate(Model *m)
{
    if (!usingModelRates()) {
        // Not estimated now, whatever an earlier run marked.
        m->relRate = 1.0;
        if (m->modelRateSetting == kEstimate)
            m->modelRateSetting = 1.0;
    } else if (usingEqualModelRates()) {
        m->relRate = m->modelRateSetting = 1.0;
    } else if (estimatingModelRates()) {
        m->relRate = m->modelRateSetting = kEstimate;
    } else {
        // "previous" model rates: the model's own last estimate.
        if (ml.prevModelRates && m->prevModelRate > 0.0)
            m->modelRateSetting = m->prevModelRate;
        m->relRate = m->modelRateSetting;
    }
}

}  // namespace

MLRateInfo *createMLRateInfo(uint32_t nrates, uint32_t ncateg, uint32_t flags)
{
    if (ncateg < 2 && !(flags & kRatesContinuousGamma))
        flags &= ~kRatesGamma;
    auto *ri = new MLRateInfo;
    ri->nrates = nrates;
    ri->ncateg = ncateg;
    ri->flags = flags;
    ri->rates.assign(nrates, 1.0);
    ri->probs.assign(std::max(nrates, ncateg), 1.0);
    refreshFloatProbs(ri);
    return ri;
}

MLRateInfo *destroyMLRateInfo(MLRateInfo *ri)
{
    delete ri;
    return nullptr;
}

void setRatesFlag(MLRateInfo *ri, uint32_t bits, bool on)
{
    if (on)
        ri->flags |= bits;
    else
        ri->flags &= ~bits;
}

void discretizeGammaDistrib(uint32_t k, bool median, double *rates, double *probs,
                            double *cutPoints, double a, double pinv)
{
    const double p = std::max(1e-10, 1.0 - pinv);
    for (uint32_t i = 0; i < k; ++i)
        probs[i] = p / k;
    if (a >= kMaxGammaShape) {
        for (uint32_t i = 0; i < k; ++i)
            rates[i] = 1.0 / p;
        return;
    }
    a = std::max(a, 1e-4);
    const double v = 2.0 * a, lg = detLgamma(a);
    uint32_t worst = 0;
    auto quantile = [&](double prob) {
        uint32_t err = 0;
        const double x = ppChi2(&err, prob, v, lg) / v;
        if (err != kPpChi2_OK && err != kPpChi2_NoConvergence && worst == 0)
            worst = err;
        return x;
    };
    std::vector<double> cut;  // cut[i]: lower bound of category i
    auto findCutPoints = [&] {
        if (!cut.empty())
            return;
        cut.assign(k, 0.0);
        for (uint32_t i = 1; i < k; ++i)
            cut[i] = quantile(static_cast<double>(i) / k);
    };
    auto setMeanRates = [&] {
        findCutPoints();
        double below = 0.0;
        for (uint32_t i = 0; i < k; ++i) {
            const double upto = i + 1 < k ? gammaD(nullptr, a * cut[i + 1], a + 1.0) : 1.0;
            rates[i] = k * (upto - below) / p;
            below = upto;
        }
    };
    if (cutPoints != nullptr)
        findCutPoints();
    if (!median) {
        setMeanRates();
    } else {
        double sum = 0.0;
        for (uint32_t i = 0; i < k; ++i)
            sum += rates[i] = quantile((2.0 * i + 1.0) / (2.0 * k));
        const double factor = k / (p * sum);
        if (sum > 0.0 && std::isfinite(factor)) {
            for (uint32_t i = 0; i < k; ++i)
                rates[i] *= factor;
        } else {
            // With a shape this small every category median lies below the
            // smallest representable value, and the medians cannot be scaled
            // to mean 1/p. The category means are still well defined (all
            // the mass of the distribution sits in the last category), so
            // they stand in, rather than rates and likelihoods that are not
            // numbers.
            setMeanRates();
        }
    }
    if (cutPoints != nullptr)
        std::copy(cut.begin(), cut.end(), cutPoints);
    if (worst != 0)
        qel_printf("Warning: ppChi2 returned internal error code %d; results may be invalid.\n",
                   static_cast<int>(worst));
}

int initRateDistribution(bool show, MLRateInfo *ri, double pinv, double shape)
{
    if (!(ri->flags & kRatesInvar))
        pinv = 0.0;
    ri->pinv = pinv;
    ri->shape = shape;
    const uint32_t k = ri->ncateg;
    ri->rates.resize(std::max<uint32_t>(k, 1));
    ri->probs.resize(std::max<uint32_t>(k, 1));
    std::vector<double> cut(std::max<uint32_t>(k, 1), 0.0);
    const bool gamma = (ri->flags & kRatesGamma) != 0;
    if (k < 2) {
        ri->probs[0] = 1.0 - pinv;
        ri->rates[0] = 1.0 / (1.0 - pinv);
    } else if (gamma && shape != 0.0) {
        discretizeGammaDistrib(k, (ri->flags & kRatesMedian) != 0, ri->rates.data(),
                               ri->probs.data(), show ? cut.data() : nullptr, shape, pinv);
    }
    if (show && (gamma || (ri->flags & kRatesShowTable))) {
        qel_printf("\nCut-points and category rates for discrete gamma approximation\n\n");
        qel_printf("          ------ cut-points ------\n");
        qel_printf("%8s %12s %12s  %13s\n", "category", "lower  ", "upper  ",
                   (ri->flags & kRatesMedian) ? "rate (median)" : "  rate (mean)");
        qel_printf("%s\n", std::string(49, '-').c_str());
        for (uint32_t i = 0; i < ri->rates.size(); ++i) {
            if (i + 1 < ri->rates.size())
                qel_printf("%5d    %12.8f %12.8f %14.8f\n", static_cast<int>(i + 1), cut[i],
                           cut[i + 1], ri->rates[i]);
            else
                qel_printf("%5d    %12.8f     infinity %14.8f\n", static_cast<int>(i + 1), cut[i],
                           ri->rates[i]);
        }
    }
    refreshFloatProbs(ri);
    return 0;
}

int initMLRateDistrib(Model *m, bool gamma, bool pinv, bool show, bool continuous, bool force,
                      double shape, double pinvValue)
{
    uint32_t flags = 0, ncateg = 1;
    if (gamma) {
        flags = continuous ? kRatesGamma | kRatesContinuousGamma
                           : kRatesGamma | (ml.repRate ? kRatesMedian : 0u);
        ncateg = continuous ? 1 : std::max<uint32_t>(m->ncat, 1);
    } else if (show) {
        flags = kRatesShowTable;
    }
    if (pinv)
        flags |= kRatesInvar;
    MLRateInfo *ri = createMLRateInfo(ncateg, ncateg, flags);
    ri->shape = gamma ? shape : 0.0;
    ri->pinv = pinv ? pinvValue : 0.0;
    attachRates(m, ri);
    if (force || (shape != kEstimate && pinvValue != kEstimate))
        return initRateDistribution(show, ri, pinv ? pinvValue : 0.0, ri->shape);
    return 0;
}

int initRatesForModel(Model *m, const DataInfo *d, bool continuous)
{
    const bool siteSpecific = m->rateSet != nullptr || m->siteRatePartition != nullptr;
    if (!siteSpecific) {
        if (m->type == kModelMkv && usingRateMixture(m))
            return failRates(m, "Rate mixtures (gamma and/or invariable-sites models) are not "
                                "currently supported for Mkv models.");
        if (initMLRateDistrib(m, m->gammaShape != 0.0, m->pinv != 0.0, false, continuous, false,
                              m->gammaShape, m->pinv) != 0)
            return 1;
    } else {
        if (m->type == kModelMkv)
            return failRates(m, "Site-specific rates are not (currently) supported with Mkv model.");
        if (d == nullptr)
            return failRates(m, "Site-specific rates need a data matrix.");
        MLRateInfo *ri = createMLRateInfo(0, 1, kRatesSiteSpecific);
        siteRateClasses(ri, m, d);
        ri->nrates = static_cast<uint32_t>(ri->rates.size());
        if (ri->nrates == 0) {
            destroyMLRateInfo(ri);
            return failRates(m, "No included characters have a site-specific rate.");
        }
        ri->probs.assign(ri->nrates, 1.0);
        refreshFloatProbs(ri);
        attachRates(m, ri);
        invalidateSitePatternData(false);
        startSiteRates(m);
    }
    startModelRate(m);
    return 0;
}

bool siteRateClassesKept(const Model *m, const DataInfo *d)
{
    const MLRateInfo *ri = m->rateInfo;
    if (ri == nullptr || !(ri->flags & kRatesSiteSpecific))
        return true;
    MLRateInfo now;
    siteRateClasses(&now, m, d);
    return now.rates.size() == ri->rates.size() && now.siteRateIndex == ri->siteRateIndex;
}

void reweightModelRates(Model *m, const DataInfo *d)
{
    if (MLRateInfo *ri = m->rateInfo; ri != nullptr && (ri->flags & kRatesSiteSpecific)) {
        siteRateClasses(ri, m, d);
        startSiteRates(m);
    }
    startModelRate(m);
}

void normalizeSiteRates(Model *m)
{
    MLRateInfo *ri = m->rateInfo;
    if (ri == nullptr || ri->rateWeights.size() != ri->rates.size())
        return;
    double sumW = 0.0, sumWR = 0.0;
    for (size_t i = 0; i < ri->rates.size(); ++i) {
        sumW += ri->rateWeights[i];
        sumWR += ri->rateWeights[i] * ri->rates[i];
    }
    if (!(sumW > 0.0) || !(sumWR > 0.0))
        return;
    const double mean = sumWR / sumW;
    for (double &r : ri->rates)
        r /= mean;
}

void calcConstSiteLikes(Model *m)
{
    ModelEngineData *e = modelEngine(m);
    const ModelGroup *g = activeModelGroup();
    if (g == nullptr || g->constMask == nullptr || e->pi.size() < m->nstates)
        return;
    const uint32_t width = getSizeofStateBits(g->patterns);
    e->constSiteLikes.assign(g->ngrp, 0.0);
    for (uint32_t p = m->firstPattern; p <= m->lastPattern && p < g->ngrp; ++p) {
        uint64_t mask = 0;
        const auto *bytes = static_cast<const unsigned char *>(g->constMask) + size_t{p} * width;
        std::memcpy(&mask, bytes, width);
        double sum = 0.0;
        for (uint32_t s = 0; s < m->nstates && s < 64; ++s)
            if (mask & (uint64_t{1} << s))
                sum += e->pi[s];
        e->constSiteLikes[p] = e->pinv * sum;
    }
}

void releaseModelRates(Model *m) { attachRates(m, nullptr); }
