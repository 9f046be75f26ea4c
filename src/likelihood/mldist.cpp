#include "likelihood/mldist.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "data/model.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "distance/dcalc.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlinit.h"
#include "likelihood/modelgroup.h"
#include "likelihood/models.h"
#include "likelihood/paramvec.h"
#include "likelihood/ratevar.h"
#include "qel/qel_brent.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_math.h"
#include "qel/qel_sets.h"
#include "trees/treeutil.h"

namespace {

constexpr double kLSStartCap = 9.0;
constexpr double kShortest = 1e-10, kLongest = 1000.0;
// A pairwise fit that ends worse than its run-off limit by more than this
// share was still on its way there: it has no optimum of its own.
constexpr double kRunOffTolerance = 1e-6;

// The distinct code combinations of a pair with their summed weights, per
// site category.
struct PairPattern {
    uint32_t siteCat;
    uint64_t a, b;  // state sets of the two taxa
    double weight;
};

struct PairLike {
    const ModelGroup *g;
    // Under a gamma shape the rate is integrated out (continuous gamma): one
    // rate class, the model's exponential replaced by the gamma's
    // moment-generating function.
    bool continuousGamma = false;
    std::vector<PairPattern> patterns;
    // Per site category: rates, weights and frequencies.
    std::vector<std::vector<double>> rates, probs;
    std::vector<const double *> pi;
    std::vector<double> pinv;
    std::vector<const Model *> models;
    std::vector<double> P;
    std::vector<double *> rows;
};

// The state set of each code of a tip row.
std::vector<uint64_t> codeBits(const TipRow &row, uint32_t n)
{
    std::vector<uint64_t> bits(row.info.nrows, 0);
    for (uint32_t code = 0; code < row.info.nrows; ++code) {
        if (code < n) {
            bits[code] = uint64_t{1} << code;
        } else if (code == n) {
            bits[code] = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
        } else {
            const uint8_t *list = row.ambStates[code - n - 1].data();
            for (uint32_t i = 0; i < list[0]; ++i)
                bits[code] |= uint64_t{1} << list[1 + i];
        }
    }
    return bits;
}

// -ln L of the pair at distance exp(x): the transition matrices of every
// site category and rate once, then the pair's patterns.
double pairScore(const double *x, void *arg)
{
    PairLike &pl = *static_cast<PairLike *>(arg);
    const double t = detExp(x[0]);
    const uint32_t n = pl.g->nstates;
    const size_t nn = size_t{n} * n;
    std::vector<size_t> first(pl.models.size() + 1, 0);
    for (size_t c = 0; c < pl.models.size(); ++c)
        first[c + 1] = first[c] + pl.rates[c].size();
    pl.P.assign(first.back() * nn, 0.0);
    for (size_t c = 0; c < pl.models.size(); ++c)
        for (size_t r = 0; r < pl.rates[c].size(); ++r) {
            double *P = pl.P.data() + (first[c] + r) * nn;
            for (uint32_t i = 0; i < n; ++i)
                pl.rows[i] = P + size_t{i} * n;
            if (calcChgMatrixDouble(pl.models[c], pl.rows.data(), t * pl.rates[c][r] * pl.models[c]->relRate) != 0)
                return 9e36;
        }
    double score = 0.0;
    for (const PairPattern &pp : pl.patterns) {
        const uint32_t c = pp.siteCat;
        double like = 0.0;
        for (size_t r = 0; r < pl.rates[c].size(); ++r) {
            const double *P = pl.P.data() + (first[c] + r) * nn;
            double s = 0.0;
            for (uint32_t i = 0; i < n; ++i) {
                if (!(pp.a >> i & 1))
                    continue;
                double row = 0.0;
                for (uint32_t j = 0; j < n; ++j)
                    if (pp.b >> j & 1)
                        row += P[size_t{i} * n + j];
                s += pl.pi[c][i] * row;
            }
            like += pl.probs[c][r] * s;
        }
        if (pl.pinv[c] > 0.0) {
            double shared = 0.0;
            for (uint32_t i = 0; i < n; ++i)
                if ((pp.a & pp.b) >> i & 1)
                    shared += pl.pi[c][i];
            like += pl.pinv[c] * shared;
        }
        if (like < 1e-300)
            return 9e36;
        score -= pp.weight * detLog(like);
    }
    return score;
}

// The rates, weights, frequencies and invariable share of every site
// category as the models hold them now.
void loadCategories(PairLike &pl)
{
    pl.rates.clear();
    pl.probs.clear();
    pl.pi.clear();
    pl.pinv.clear();
    pl.models.clear();
    for (const SiteCategory &c : pl.g->engine->map.siteCats) {
        const MLRateInfo *ri = c.model->rateInfo;
        std::vector<double> rates{1.0}, probs{1.0};
        if (ri != nullptr && !ri->rates.empty()) {
            if (c.siteSpecific) {
                rates = {ri->rates[c.rateIndex]};
            } else if (pl.continuousGamma && c.model->gammaShape != 0.0) {
                // The variable sites' share and their mean rate, as the
                // discrete categories hold them (invariable sites apart).
                double share = 0.0, mean = 0.0;
                for (uint32_t r = 0; r < c.nRateCats; ++r) {
                    share += ri->probs[r];
                    mean += ri->probs[r] * ri->rates[r];
                }
                probs = {share};
                rates = {share > 0.0 ? mean / share : 1.0};
            } else {
                rates.assign(ri->rates.begin(), ri->rates.begin() + c.nRateCats);
                probs.assign(ri->probs.begin(), ri->probs.begin() + c.nRateCats);
            }
        }
        pl.rates.push_back(std::move(rates));
        pl.probs.push_back(std::move(probs));
        pl.pi.push_back(c.model->engine->pi.data());
        pl.pinv.push_back(c.model->engine->pinv);
        pl.models.push_back(c.model);
    }
}

// Per pattern of the pair, the probability of the two states under a
// shared state and under two independent ones, for the limit below.
struct PairLimit {
    std::vector<double> same, apart, weight;
};

double limitScore(const double *x, void *arg)
{
    const PairLimit &lim = *static_cast<const PairLimit *>(arg);
    double score = 0.0;
    for (size_t k = 0; k < lim.weight.size(); ++k) {
        const double like = x[0] * lim.same[k] + (1.0 - x[0]) * lim.apart[k];
        if (!(like > 0.0))
            return 9e36;
        score -= lim.weight[k] * detLog(like);
    }
    return score;
}

// -ln L of the pair at the limit a fit with the rate variation estimated
// per pair can run off to: the distance without bound and the gamma shape
// towards 0, each site either unchanged (rate 0) or with its two states
// independent, in the best proportion. A fit that ends worse than that was
// climbing towards it and has no finite optimum.
double runOffScore(const PairLike &pl)
{
    const uint32_t n = pl.g->nstates;
    PairLimit lim;
    for (const PairPattern &pp : pl.patterns) {
        const double *pi = pl.pi[pp.siteCat];
        double shared = 0.0, a = 0.0, b = 0.0;
        for (uint32_t i = 0; i < n; ++i) {
            shared += ((pp.a & pp.b) >> i & 1) ? pi[i] : 0.0;
            a += (pp.a >> i & 1) ? pi[i] : 0.0;
            b += (pp.b >> i & 1) ? pi[i] : 0.0;
        }
        lim.same.push_back(shared);
        lim.apart.push_back(a * b);
        lim.weight.push_back(pp.weight);
    }
    double f = 0.5;
    return localMin(limitScore, &lim, &f, 0.0, 1.0, 1e-10, 1e-12, nullptr);
}

// The pair's score at the distance and parameters the parameter vector
// stored (the ML-distance form).
double pairScoreAtStoredValues(void *arg)
{
    PairLike &pl = *static_cast<PairLike *>(arg);
    loadCategories(pl);
    const double x = detLog(getActiveML()->curMLDist);
    return pairScore(&x, &pl);
}

// The Jukes-Cantor distance of the pair's comparable sites; 1 when the
// differences are beyond it.
double jcStart(const PairLike &pl, uint32_t n)
{
    double same = 0.0, all = 0.0;
    for (const PairPattern &pp : pl.patterns) {
        if (std::popcount(pp.a) != 1 || std::popcount(pp.b) != 1)
            continue;
        all += pp.weight;
        same += pp.a == pp.b ? pp.weight : 0.0;
    }
    const double b = (n - 1.0) / n, p = all > 0.0 ? 1.0 - same / all : 0.0;
    return p < b ? -b * detLog(1.0 - p / b) : 1.0;
}

// ML distances with model parameters marked for estimation: each pair
// estimates its own, the flag telling the setters to take fixed starts.
struct PairEstimation {
    ParamVector v;
    bool on = false;
    ~PairEstimation()
    {
        if (on)
            setAMLFlag(getActiveML(), kAMLDoingMLDist, false);
    }
};

// While ML distances integrate a gamma rate out, each gamma model's
// exponential is the gamma's moment-generating function; the ordinary
// exponential comes back however the computation ends.
struct GammaExpSwap {
    std::vector<Model *> models;
    explicit GammaExpSwap(bool on)
    {
        for (Model *m = firstActiveModel(); on && m != nullptr; m = m->nextActive)
            if (m->gammaShape != 0.0 && m->engine != nullptr) {
                m->engine->fxns.expFxn = mgfGammaMLDist;
                models.push_back(m);
            }
    }
    ~GammaExpSwap()
    {
        for (Model *m : models)
            if (m->engine != nullptr)
                m->engine->fxns.expFxn = exp_safe;
    }
    GammaExpSwap(const GammaExpSwap &) = delete;
    GammaExpSwap &operator=(const GammaExpSwap &) = delete;
};

bool usable(const ModelGroup *g)
{
    return getActiveML() != nullptr && g != nullptr && g->engine != nullptr && !g->engine->tips.empty() &&
           isSitePatternDataValid(g);
}

}  // namespace

double mgfGammaMLDist(double x)
{
    const Model *m = firstActiveModel();
    // The shape in force: an estimate per pair moves the rate record's.
    double alpha = m == nullptr ? 0.0 : m->gammaShape;
    if (m != nullptr && m->rateInfo != nullptr && m->rateInfo->shape > 0.0)
        alpha = m->rateInfo->shape;
    if (!(alpha > 0.0) || alpha >= kMaxGammaShape)
        return exp_safe(x);
    const double base = 1.0 - x / alpha;
    return base > 0.0 ? detPow(base, -alpha) : 0.0;
}

int calcMLDistances(DataInfo *, double **distances, const Set *taxonSubset, bool lsStart,
                    const std::function<int()> &progress, MLDistanceResult &result)
{
    ModelGroup *g = activeModelGroup();
    // The likelihood set-up gives the model its matrices and rates; inside
    // that set-up (least-squares starting lengths) it is already there.
    if (!usable(g) && initializeML(false, false, false, false, getPrimaryTree()) != 0)
        return 1;
    g = activeModelGroup();
    if (!usable(g))
        return qel_errorMsg(0, "Maximum-likelihood distances could not be prepared.");
    if (g->useMkv)
        return qel_errorMsg(0, "Maximum-likelihood distances are not available for the Mk model.");
    PairEstimation est;
    bool rateVariationEstimated = false;
    for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive) {
        est.on = est.on || countEstimatedModelParams(m) != 0;
        rateVariationEstimated = rateVariationEstimated || m->gammaShape == kEstimate || m->pinv == kEstimate;
    }
    if (est.on) {
        setAMLFlag(getActiveML(), kAMLDoingMLDist, true);
        if (createParamVector(est.v, true) <= 0)
            return qel_errorMsg(0, "Maximum-likelihood distances could not be prepared.");
    }
    const ModelGroupEngine &e = *g->engine;
    const uint32_t n = g->nstates;
    PairLike pl;
    pl.g = g;
    // Least-squares starting lengths keep the discrete categories of the
    // fit they start.
    pl.continuousGamma = !lsStart;
    const GammaExpSwap gammaExp(pl.continuousGamma);
    loadCategories(pl);
    pl.rows.resize(n);

    const uint32_t ntax = g->patterns->ntax;
    double &largest = result.largest;
    uint32_t &undefined = result.undefined, &zero = result.zero;
    bool &anyDefined = result.anyDefined;
    std::vector<std::vector<uint64_t>> bits(ntax);
    for (uint32_t i = 0; i < ntax; ++i)
        bits[i] = codeBits(e.tips[i], n);
    const uint32_t ncats = static_cast<uint32_t>(e.map.siteCats.size());
    std::vector<double> table;
    for (uint32_t i = 1; i < ntax; ++i) {
        if (taxonSubset && !isSetMember(taxonSubset, i))
            continue;
        const TipRow &ri = e.tips[i];
        for (uint32_t j = 0; j < i; ++j) {
            if (taxonSubset && !isSetMember(taxonSubset, j))
                continue;
            const TipRow &rj = e.tips[j];
            // The pair's patterns: weights by site category and code pair.
            const uint32_t ni = ri.info.nrows, nj = rj.info.nrows;
            table.assign(size_t{ncats} * ni * nj, 0.0);
            for (uint32_t p = 0; p < g->ngrp; ++p)
                table[(size_t{e.map.patSiteCat[p]} * ni + ri.codes[p]) * nj + rj.codes[p]] +=
                    g->groupPatternWeight[p];
            bool comparable = false, differ = false;
            pl.patterns.clear();
            for (uint32_t c = 0; c < ncats; ++c)
                for (uint32_t a = 0; a < ni; ++a)
                    for (uint32_t b = 0; b < nj; ++b) {
                        const double w = table[(size_t{c} * ni + a) * nj + b];
                        if (w <= 0.0)
                            continue;
                        if (a < n && b < n) {
                            comparable = true;
                            differ = differ || a != b;
                        }
                        pl.patterns.push_back({c, bits[i][a], bits[j][b], w});
                    }
            double value;
            if (!comparable) {
                value = kUndefinedDistance;
                ++undefined;
            } else if (!differ) {
                value = 0.0;
                ++zero;
                anyDefined = true;
            } else {
                double x = 0.0;
                if (est.on) {
                    getActiveML()->curMLDist = jcStart(pl, n);
                    const double score = optimizeMLDistParams(est.v, pairScoreAtStoredValues, &pl);
                    if (score >= 1e37 && getAbortedStatus() > 0)
                        return 2;
                    // Two sequences can make the parameters run off with the
                    // distance (a gamma shape falling towards 0 while the
                    // distance grows without bound): no estimate exists.
                    const double fitted = getActiveML()->curMLDist;
                    if (score >= 1e37 || !(fitted <= kLongest) ||
                        (rateVariationEstimated && score > runOffScore(pl) + kRunOffTolerance * std::max(1.0, score))) {
                        if (getAbortedStatus() < 0)
                            setAbortedStatus(0);
                        distances[i][j] = kUndefinedDistance;
                        ++undefined;
                        ++result.noOptimum;
                        if (progress && progress() == 2)
                            return 2;
                        continue;
                    }
                    x = detLog(fitted);
                } else {
                    localMin(pairScore, &pl, &x, detLog(kShortest), detLog(kLongest), 1e-12, 1e-12, nullptr);
                }
                value = detExp(x);
                if (value <= 10 * kShortest) {
                    value = 0.0;
                    ++zero;
                } else if (lsStart) {
                    value = std::min(value, kLSStartCap);
                }
                anyDefined = true;
            }
            distances[i][j] = value;
            largest = std::max(largest, value);
            if (progress && progress() == 2)
                return 2;
        }
    }
    return 0;
}

MLDistanceHooks mlDistanceHooks()
{
    return {[](DCalcData *cd, DataInfo *d) {
                MLDistanceResult r;
                const int status = calcMLDistances(d, cd->dm->distances, cd->taxonSubset, cd->forLikelihood,
                                                   [cd] { return updateDistProgress(cd->progress); }, r);
                cd->dm->maxDistance = r.largest;
                cd->dm->nUndefined = r.undefined;
                cd->dm->nNoOptimum = r.noOptimum;
                cd->dm->nZero = r.zero;
                cd->dm->allUndefined = !r.anyDefined;
                return status;
            },
            mlSetUpStamp};
}
