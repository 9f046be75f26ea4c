#include "likelihood/paramvec.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "data/model.h"
#include "data/patterns.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/clocktimes.h"
#include "likelihood/clapool.h"
#include "likelihood/likeops.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/modelgroup.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"
#include "likelihood/rogers.h"
#include "likelihood/treelike.h"
#include "qel/qel_brent.h"
#include "qel/qel_detmath.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_minfunc.h"
#include "qel/qel_output.h"
#include "qel/qel_praxis.h"
#include "search/search.h"

namespace {

bool usingLBFGS() { return getActiveML() && (getActiveML()->flags & kAMLLbfgsParams) == kAMLLbfgsParams; }
// Fixed starting values: asked for, or ML distances (one pair has too few
// sites for the parsimony estimates).
bool arbitraryStarts()
{
    return getActiveML() && (getActiveML()->flags & (kAMLNotParsStartVals | kAMLDoingMLDist)) != 0;
}

// The L-BFGS-B memory: the setting, or 5 when it names none (a memory of
// 0 corrections is no quasi-Newton method at all).
int32_t lbfgsMemory() { return ml.bfgsM > 0 ? ml.bfgsM : 5; }

bool estimates(const std::vector<double> &v) { return !v.empty() && v[0] == kEstimate; }
bool freqsEstimated(const Model *m) { return !m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate; }
bool ratesEstimated(const Model *m) { return m->substClass == kSubstSixRates && estimates(m->rates); }
bool tratioEstimated(const Model *m)
{
    return !ratesEstimated(m) && m->type == kModelNucleotide && m->substClass == kSubstTwoRates &&
           m->tratio == kEstimate;
}

// The values being estimated, kept beside the model's settings (which keep
// their estimate marks).
struct Working {
    double tratio = 2.0;
    double shape = 0.5;
    double pinv = 0.0;
};
std::vector<std::pair<Model *, Working>> gWorking;

Working &working(Model *m)
{
    for (auto &[model, w] : gWorking)
        if (model == m)
            return w;
    gWorking.emplace_back(m, Working{});
    return gWorking.back().second;
}

// Tree whose parameters are being estimated (for parsimony starting values).
Tree *gParamTree = nullptr;

const ParamStartHints *gHints = nullptr;
bool gTrialsFromBest = false;

// A search's warm starts: whether they are on, and the values the last
// estimate reached (the winner's; the restricted starts of the
// invariable-sites-plus-gamma procedure each keep their own, gamma-only
// first, since their optima lie elsewhere).
bool gWarmStarts = false;
constexpr double kWarmPinvFloor = 0.01;
bool gHaveLast = false;
ParamStartHints gLast;
// Whether the last winner's shape and proportion of invariable sites lay
// inside their joint surface, away from the edges the restricted starts
// of the invariable-sites-plus-gamma procedure stand for.
bool gLastInside = false;
constexpr double kIGInsideShape = 100.0;
struct RestrictedLast {
    bool have = false;
    ParamStartHints hints;
};
RestrictedLast gLastRestricted[2];
// What each start gained on the last tree it was fitted on whole, when it
// began from that tree's values: the joint (or only) start, the gamma-only
// start, the invariable-sites-only start; negative when there was none.
// The whole fit's gain from its starting values, and the precise pass's
// gain over the coarse one.
double gLastFitGain[3] = {-1.0, -1.0, -1.0};
double gLastMainGain[3] = {-1.0, -1.0, -1.0};
// A start begun from the last tree's values is given up before any trial,
// keeping the score its lengths reached, when it stays above the score to
// beat by more than it could gain: the gain of the same start on the last
// tree, taken this many times over for the change of tree, and at least
// the floor (a start near its optimum on the last tree can gain far more on
// the next: up to 5,000 times as much in a 30-taxon search, though never
// more than a log-likelihood unit). After the coarse pass it is given up
// in the same way against what the precise pass gained on the last tree
// (0.1-0.5 units for the trees of a 14-taxon search that ended near the
// best one, whose coarse scores lie close to it). They are the search's
// approximation, so approxLim=none runs every start whole.
constexpr double kFitGainMargin = 200.0;
constexpr double kFitGainFloor = 5.0;
constexpr double kMainGainMargin = 5.0;
constexpr double kMainGainFloor = 1.0;
bool gFirstGainGiveUps = true;
// Runs of PRAXIS at most for clock times (see optimizeParams).
constexpr uint32_t kClockPraxisRuns = 20;
// The largest step a further run of PRAXIS expects for clock times: it
// starts where the last run ended, near the optimum.
constexpr double kClockRerunStep = 0.1;

// ---- Setters ----------------------------------------------------------------------------

double tratioSetter(double *x, Model *m, int mode, bool log)
{
    const bool raw = usingLBFGS();
    switch (mode) {
    case kParamLower:
        if (raw)
            x[0] = 1e-6;
        return 0;
    case kParamUpper:
        if (raw)
            x[0] = 1000.0;
        return 0;
    case kParamStart: {
        double r = 2.0;
        if (gHints != nullptr && gHints->tratio > 0.0) {
            r = gHints->tratio;
        } else if (!arbitraryStarts() && gParamTree != nullptr) {
            // Kimura's estimate from the parsimony pair counts.
            const auto &c = rogersPairCounts();
            if (c.size() == 16) {
                double tot = 0, ts = 0, tv = 0;
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j) {
                        tot += c[i * 4 + j];
                        if (i != j)
                            ((i ^ j) == 2 ? ts : tv) += c[i * 4 + j];
                    }
                if (tot > 0) {
                    const double P = ts / tot, Q = tv / tot;
                    const double a = 1 - 2 * P - Q, b = 1 - 2 * Q;
                    if (a > 0 && b > 0) {
                        const double s = -0.5 * detLog(a) + 0.25 * detLog(b), v = -0.5 * detLog(b);
                        if (v > 0)
                            r = std::clamp(s / v, 0.1, 50.0);
                    }
                }
            }
        }
        x[0] = raw ? r : detLog(r - 1e-6);
        return 0;
    }
    case kParamStore:
        working(m).tratio = m->tratio = raw ? x[0] : detExp(x[0]) + 1e-6;
        if (log)
            qel_printf("%g ", m->tratio);
        return 0;
    default:
        return raw ? 1.1 * x[0] : x[0] + 0.1;
    }
}

double freqSetter(double *x, Model *m, int mode, bool log)
{
    const uint32_t n = m->nstates;
    if (mode == kParamLower || mode == kParamUpper)
        return 0;
    if (mode == kParamTrial)
        return x[0] + 0.5;
    double p[kMaxModelStates];
    if (mode == kParamStart) {
        if (gHints != nullptr && gHints->freqs.size() == n)
            std::copy(gHints->freqs.begin(), gHints->freqs.end(), p);
        else
            setPiVectorForModel(m, p);
        if (n == 4) {
            pinStateFrequencies(p, 4, 2e-5);
            const double R = p[0] + p[2];
            x[0] = detLog(std::max(R / (1 - R), 1e-10) - 1e-10 + 1e-300);
            x[1] = detLog(std::max(p[0] / p[2], 1e-10) - 1e-10 + 1e-300);
            x[2] = detLog(std::max(p[1] / p[3], 1e-10) - 1e-10 + 1e-300);
        } else {
            pinStateFrequencies(p, n, 1e-5);
            double c = 0;
            std::vector<double> cum(n);
            for (uint32_t i = 0; i < n; ++i)
                cum[i] = c += p[i];
            for (uint32_t i = 0; i + 1 < n; ++i)
                x[i] = asinSqrtTransform(std::clamp(cum[i] / cum[i + 1], 0.001, 0.999), 0.001, 0.999);
        }
        return 0;
    }
    if (n == 4) {
        const double r = detExp(x[0]) + 1e-10, P = r / (r + 1);
        const double a = detExp(x[1]) + 1e-10, b = detExp(x[2]) + 1e-10;
        p[0] = P / (1 / a + 1);
        p[2] = P - p[0];
        p[1] = (1 - P) / (1 / b + 1);
        p[3] = 1 - P - p[1];
    } else {
        std::vector<double> cum(n);
        cum[n - 1] = 1.0;
        for (uint32_t i = n - 1; i-- > 0;)
            cum[i] = asinSqrtBacktransform(x[i], 1e-5, 0.99999) * cum[i + 1];
        for (uint32_t i = 0; i < n; ++i)
            p[i] = cum[i] - (i ? cum[i - 1] : 0.0);
    }
    pinStateFrequencies(p, n, 1e-5);
    modelEngine(m)->estFreqs.assign(p, p + n);
    setPiVectorForModel(m, nullptr);
    if (log) {
        for (uint32_t i = 0; i + 1 < n; ++i)
            qel_printf("%g ", p[i]);
        qel_printf("(%g) ", p[n - 1]);
    }
    return 0;
}

// The exchangeabilities relative to GT by the cumulative-ratio transform,
// one value per pool of rate classes but the last (classes that share a
// pool share a rate).
uint32_t ratePools(const Model *m) { return m->pooled && m->numPools >= 1 ? m->numPools : kNumNucRates; }

double rateMatrixSetter(double *x, Model *m, int mode, bool log)
{
    constexpr uint32_t k = kNumNucRates;
    const uint32_t pools = ratePools(m);
    const bool pooled = pools < k;
    if (mode == kParamLower || mode == kParamUpper)
        return 0;
    if (mode == kParamTrial)
        return 1.1 * x[0];
    ModelEngineData &e = *modelEngine(m);
    double c[k];
    if (mode == kParamStart) {
        double R[k];
        std::fill(R, R + k, 1.0);
        const bool hinted = gHints != nullptr && gHints->rates.size() == k;
        if (m->nstates == 4 && (hinted || (!arbitraryStarts() && gParamTree != nullptr))) {
            // The parsimony estimate (or a related model's); pooled classes
            // share the mean of theirs.
            double six[k];
            if (hinted)
                std::copy(gHints->rates.begin(), gHints->rates.end(), six);
            else
                approxSubstPattern_Dna(m, rogersPairCounts(), false, six);
            if (pooled) {
                double sum[k] = {}, members[k] = {};
                for (uint32_t i = 0; i < k; ++i) {
                    sum[m->poolMap[i]] += six[i];
                    members[m->poolMap[i]] += 1.0;
                }
                for (uint32_t p = 0; p < pools; ++p)
                    R[p] = members[p] > 0.0 ? sum[p] / members[p] : 1.0;
            } else {
                std::copy(six, six + k, R);
            }
        }
        double sum = 0;
        for (uint32_t i = 0; i < pools; ++i)
            c[i] = sum += R[i];
        // Classes with no changes in the data start the sum at 0: a ratio of
        // two such sums takes the transform's least value (0/0 would leave
        // every trial of the fit undefined).
        for (uint32_t i = 0; i + 1 < pools; ++i) {
            const double ratio = c[i + 1] > 0.0 ? c[i] / c[i + 1] : 0.0;
            x[i] = detAsin(std::sqrt(std::clamp((ratio - 0.001) / 0.998, 0.0, 1.0)));
        }
        return 0;
    }
    c[pools - 1] = 1.0;
    for (uint32_t i = pools - 1; i-- > 0;) {
        const double s = detSin(x[i]);
        c[i] = (0.001 + 0.998 * s * s) * c[i + 1];
    }
    double R[k];
    for (uint32_t i = 0; i < pools; ++i)
        R[i] = c[i] - (i ? c[i - 1] : 0.0);
    e.fullRates.assign(k, 0.0);
    for (uint32_t i = 0; i < k; ++i)
        e.fullRates[i] = R[pooled ? m->poolMap[i] : i];
    const double gt = e.fullRates[k - 1];
    for (double &r : e.fullRates)
        r /= gt;
    if (log) {
        // A rate fixed by the others (GT's, or a pool already printed) in parentheses.
        bool shown[k] = {};
        const uint32_t gtPool = pooled ? m->poolMap[k - 1] : k - 1;
        for (uint32_t i = 0; i < k; ++i) {
            const uint32_t pool = pooled ? m->poolMap[i] : i;
            qel_printf(pool == gtPool || shown[pool] ? "(%g) " : "%g ", e.fullRates[i]);
            shown[pool] = true;
        }
    }
    return 0;
}

// Values the model cannot take (its rate matrix cannot be built) stop the
// fit as an interrupt would, but with a negative flag: a failure no one is
// asked to confirm. Said once, when the flag is first set.
void stopOnParamFailure()
{
    if (getAbortedStatus() >= 0)
        qel_errorMsg(0, "The model parameters could not be set to values for which the likelihood can be computed.");
    setAbortedStatus(static_cast<uint32_t>(-1));
}

double shapeSetter(double *x, Model *m, int mode, bool log)
{
    switch (mode) {
    case kParamLower:
    case kParamUpper:
        return 0;
    case kParamStart: {
        double a = 0.8;
        if (gHints != nullptr && gHints->shape > 0.0) {
            a = std::clamp(gHints->shape, 0.01, 100.0);
        } else if (!arbitraryStarts() && gParamTree != nullptr) {
            a = m->pinv != 0.0 ? 1.0
                               : std::clamp(approxGammaShape(gParamTree, activeModelGroup(), m, false), 0.01, 10.0);
        }
        x[0] = detLog(a - 1e-4);
        return 0;
    }
    case kParamStore:
        working(m).shape = detExp(x[0]) + 1e-4;
        if (log)
            qel_printf("%g ", working(m).shape);
        return 0;
    default:
        return x[0] + 0.4;
    }
}

double pinvSetter(double *x, Model *m, int mode, bool log)
{
    const bool raw = usingLBFGS();
    switch (mode) {
    case kParamLower:
        if (raw)
            x[0] = 0.0;
        return 0;
    case kParamUpper:
        if (raw)
            x[0] = 0.99;
        return 0;
    case kParamStart: {
        double p = 0.1;
        const ModelGroup *g = activeModelGroup();
        if (gHints != nullptr && gHints->pinv > 0.0) {
            p = std::min(gHints->pinv, 0.95);
        } else if (!arbitraryStarts() && g != nullptr && g->constMask != nullptr && g->totalWeight > 0) {
            const uint32_t width = getSizeofStateBits(g->patterns);
            double constant = 0;
            for (uint32_t q = 0; q < g->ngrp; ++q) {
                uint64_t mask = 0;
                std::memcpy(&mask, static_cast<const unsigned char *>(g->constMask) + size_t{q} * width, width);
                if (mask != 0)
                    constant += g->groupPatternWeight[q];
            }
            p = 0.5 * constant / g->totalWeight;
        }
        x[0] = raw ? p : detAsin(std::sqrt(std::clamp(p, 0.0, 1.0)));
        return 0;
    }
    case kParamStore: {
        const double s = detSin(x[0]);
        working(m).pinv = raw ? x[0] : s * s;
        if (log)
            qel_printf("%g ", working(m).pinv);
        return 0;
    }
    default:
        return raw ? 1.1 * x[0] : x[0] + 0.1;
    }
}

// The relative rates of the subsets of a partitioned model: all but the
// last free, then scaled so that their mean weighted by the subsets' pattern
// weights is 1 (the tree's lengths keep their meaning).
double patternWeightOf(const Model *m)
{
    const ModelGroup *g = activeModelGroup();
    double w = 0.0;
    if (g != nullptr && g->groupPatternWeight != nullptr)
        for (uint32_t p = m->firstPattern; p <= m->lastPattern && p < g->ngrp; ++p)
            w += g->groupPatternWeight[p];
    return w;
}

double subsetRateSetter(double *x, Model *, int mode, bool log)
{
    const ActiveML *a = getActiveML();
    switch (mode) {
    case kParamLower:
    case kParamUpper:
        return 0;
    case kParamStart:
        for (uint32_t k = 0; k + 1 < a->numActive; ++k)
            x[k] = detLog(1 - 1e-4);
        return 0;
    case kParamStore: {
        double sumW = 0.0, sumRW = 0.0;
        uint32_t k = 0;
        for (Model *m = a->firstActive; m != nullptr; m = m->nextActive, ++k) {
            m->relRate = m->nextActive != nullptr ? detExp(x[k]) + 1e-4 : 1.0;
            const double w = patternWeightOf(m);
            sumW += w;
            sumRW += m->relRate * w;
        }
        for (Model *m = a->firstActive; m != nullptr; m = m->nextActive) {
            if (sumRW > 0.0)
                m->relRate *= sumW / sumRW;
            if (log)
                qel_printf(m->nextActive != nullptr ? "%g " : "(%g) ", m->relRate);
        }
        return 0;
    }
    default:
        return x[0] + 0.1;
    }
}

// The factor of user-given branch lengths.
double rateScalerSetter(double *x, Model *, int mode, bool log)
{
    switch (mode) {
    case kParamLower:
    case kParamUpper:
        return 0;
    case kParamStart:
        x[0] = 0.0;
        return 0;
    case kParamStore:
        getActiveML()->rateScaler = detExp(x[0]);
        if (log)
            qel_printf("%g ", getActiveML()->rateScaler);
        return 0;
    default:
        return x[0] - 0.5;
    }
}

// One rate per class of sites, the last fixed at 1 before the rates are
// scaled to a weighted mean of 1.
double siteRatesSetter(double *x, Model *m, int mode, bool log)
{
    MLRateInfo *ri = m->rateInfo;
    const size_t n = ri->rates.size();
    switch (mode) {
    case kParamLower:
    case kParamUpper:
        return 0;
    case kParamStart:
        for (size_t i = 0; i + 1 < n; ++i)
            x[i] = detLog(1 - 1e-4);
        return 0;
    case kParamStore:
        for (size_t i = 0; i < n; ++i)
            ri->rates[i] = i + 1 < n ? detExp(x[i]) + 1e-4 : 1.0;
        normalizeSiteRates(m);
        if (log)
            for (size_t i = 0; i < n; ++i)
                qel_printf(i + 1 < n ? "%g " : "(%g) ", ri->rates[i]);
        return 0;
    default:
        return x[0] + 0.1;
    }
}

// Branch lengths optimised with the parameters (blopt multiDim): one value
// per edge of the visit sequence, its log under the branch-length
// transform, else the length itself within the length bounds.
bool jointBranchLengths()
{
    return getActiveML() && (getActiveML()->flags & kAMLJointBrLens) && !clockModelInEffect() &&
           !usingFixedMLBranchLengths();
}

double branchLengthSetter(double *x, Model *, int mode, bool log)
{
    const ActiveML &a = *getActiveML();
    const bool logScale = (a.flags & kAMLBrLenTransform) != 0;
    const auto &edges = mlVisitSequence();
    const double lo = std::max(a.minBrlen, 0.0), hi = a.maxBrlen > 0.0 ? a.maxBrlen : 10.0;
    switch (mode) {
    case kParamLower:
    case kParamUpper:
        if (!logScale)
            std::fill(x, x + edges.size(), mode == kParamLower ? lo : hi);
        return 0;
    case kParamStart:
        for (size_t i = 0; i < edges.size(); ++i)
            x[i] = logScale ? detLog(std::max(edges[i]->edge.brlen, 1e-10)) : edges[i]->edge.brlen;
        return 0;
    case kParamStore:
        for (size_t i = 0; i < edges.size(); ++i) {
            edges[i]->edge.brlen = std::clamp(logScale ? detExp(x[i]) : x[i], lo, hi);
            if (log)
                qel_printf("%g ", edges[i]->edge.brlen);
        }
        return 0;
    default:
        return 0;
    }
}

// The pair's distance in the ML-distance form.
double mlDistanceSetter(double *x, Model *, int mode, bool log)
{
    ActiveML &a = *getActiveML();
    switch (mode) {
    case kParamLower:
    case kParamUpper:
        return 0;
    case kParamStart:
        x[0] = detLog(a.curMLDist > 0.0 ? a.curMLDist : 0.1);
        return 0;
    case kParamStore:
        a.curMLDist = detExp(x[0]);
        if (log)
            qel_printf("%g ", a.curMLDist);
        return 0;
    default:
        return x[0] + 0.1;
    }
}

bool estimatesSiteRates(const Model *m)
{
    return m->estSiteRates && m->rateInfo != nullptr && (m->rateInfo->flags & kRatesSiteSpecific) &&
           m->rateInfo->rates.size() > 1;
}

// ---- Update callbacks -----------------------------------------------------------------------

int updateRateDistribution(Model *m)
{
    MLRateInfo *ri = m->rateInfo;
    if (ri == nullptr)
        return 0;
    const Working &w = working(m);
    const double shape = m->gammaShape == kEstimate ? w.shape : m->gammaShape;
    const double pinv = m->pinv == kEstimate ? w.pinv : std::max(m->pinv, 0.0);
    ri->shape = shape;
    ri->pinv = pinv;
    modelEngine(m)->pinv = pinv;
    return initRateDistribution(false, ri, pinv, shape);
}

int updateConstSites(Model *m)
{
    calcConstSiteLikes(m);
    return 0;
}

void addEntry(ParamVector &v, const char *name, Model *m, uint32_t count, ParamSetter s)
{
    v.entries.push_back({name, s, m, count, v.total});
    v.total += count;
}

std::vector<double> saveBranchLengths(const Tree *t)
{
    std::vector<double> lengths(t->maxNodes);
    for (uint32_t i = 0; i < t->maxNodes; ++i)
        lengths[i] = t->nodes[i].edge.brlen;
    return lengths;
}

void restoreBranchLengths(Tree *t, const std::vector<double> &lengths, ModelGroup *g)
{
    for (uint32_t i = 0; i < t->maxNodes; ++i)
        t->nodes[i].edge.brlen = lengths[i];
    releaseAllCLAs(t, g);
}

struct Objective {
    ParamVector *v;
    Tree *tree;
    uint32_t gradPasses;
    // The best trial whose branch lengths were fitted by passes, and those
    // lengths: the trial that follows it moves them on, so that the tree
    // at the minimiser's end holds the last trial's, not the best one's.
    double best = kNoLScore;
    std::vector<double> bestLengths;
    // Each trial's passes start from bestLengths (a search's fits). Then a
    // trial's score depends on its values alone, and the minimiser, which
    // comes back to points it has tried (about a sixth of a search's trials),
    // is given the score it had.
    bool fromBest = false;
    std::vector<std::pair<std::vector<double>, double>> tried;
};

// A likelihood is at most 1: a negative -ln L (or none at all) is the
// arithmetic of a model far out on a flat surface breaking down, and scores
// as a likelihood of 0, so that the minimiser turns back.
double brokenDown(double minusLnL) { return std::isnan(minusLnL) || minusLnL < 0.0 ? kLikInfiniteScore : minusLnL; }

double calcLGivenParamVect(const double *x, void *arg)
{
    auto *o = static_cast<Objective *>(arg);
    ParamVector &v = *o->v;
    if (o->fromBest)
        for (const auto &[values, score] : o->tried)
            if (std::equal(values.begin(), values.end(), x))
                return score;
    // A trial point the minimiser could not make finite is no model: it
    // scores as a likelihood of 0 instead of failing the model's update.
    if (!std::all_of(x, x + v.total, [](double value) { return std::isfinite(value); }))
        return kLikInfiniteScore;
    const bool log = loggingMLIters();
    if (log)
        qel_printf(" parameters = \b");
    // x may be the minimiser's trial point: the vector's own values (the
    // minimiser's best point) stay as they are.
    if (storeParamValues(v, x, log) != 0) {
        stopOnParamFailure();
        return kNoLScore;
    }
    if (log)
        qel_printf("\n");
    ModelGroup *g = activeModelGroup();
    if (usingFixedMLBranchLengths() || clockModelInEffect() || jointBranchLengths() || getActiveML()->maxPass == 0) {
        const double lnL = brokenDown(calcLForCurBranchLens(o->tree, false));
        // With no branch-length passes between them, the score of each trial
        // point is all the log can show of it.
        if (log && getAbortedStatus() == 0)
            qel_printf("  -ln L=%.8f\n", lnL);
        return lnL;
    }
    if (o->fromBest && !o->bestLengths.empty())
        restoreBranchLengths(o->tree, o->bestLengths, g);
    else
        releaseAllCLAs(o->tree, g);
    const double lnL =
        brokenDown(optimizeBranchLensOneDim(o->tree, g, nullptr, nullptr, nullptr, nullptr, kNoLScore, kNoLScore));
    if (lnL < o->best && getAbortedStatus() == 0) {
        o->best = lnL;
        o->bestLengths = saveBranchLengths(o->tree);
    }
    if (o->fromBest && getAbortedStatus() == 0)
        o->tried.emplace_back(std::vector<double>(x, x + v.total), lnL);
    return lnL;
}

double plainObjective(double *x, void *arg) { return calcLGivenParamVect(x, arg); }

// d(-ln L)/dx of every branch length in the vector at x, by the derivative
// kernel on each edge (times the length under the log transform).
void branchLengthGradient(ParamVector &v, const double *x, double *grad, Tree *t)
{
    ModelGroup *g = activeModelGroup();
    const bool logScale = (getActiveML()->flags & kAMLBrLenTransform) != 0;
    if (storeParamValues(v, x, false) != 0)
        return;
    releaseAllCLAs(t, g);
    const auto &edges = mlVisitSequence();
    for (size_t i = 0; i < edges.size() && i < v.trailing; ++i) {
        TreeNode *e = edges[i];
        grad[i] = 0.0;
        if (updateCLforEdge(e, g) != 0)
            break;
        const double d1 = evaluateEdge(e, g, kLikModeD1).d1;
        grad[i] = logScale ? d1 * e->edge.brlen : d1;
        releasePreorderCLAs(g, e, true);
    }
    releaseAllCLAs(t, g);
}

double calcFxnAndGradient(int32_t n, BFGSData *d, void *arg)
{
    auto *o = static_cast<Objective *>(arg);
    ActiveML &a = *getActiveML();
    const double f = calcLGivenParamVect(d->x, arg);
    if (f >= kLikInfiniteScore) {
        std::fill(d->g, d->g + n, 0.0);
        return f;
    }
    const uint32_t savedPasses = a.maxPass;
    a.maxPass = o->gradPasses;
    Tree *t = o->tree;
    std::vector<double> lengths(t->maxNodes);
    for (uint32_t i = 0; i < t->maxNodes; ++i)
        lengths[i] = t->nodes[i].edge.brlen;
    AbortPoll poll;
    // Branch lengths in the vector have their derivatives from the kernel.
    const bool joint = jointBranchLengths() && o->v->trailing != 0;
    const int32_t numeric = joint ? static_cast<int32_t>(o->v->modelCount) : n;
    for (int32_t i = 0; i < numeric; ++i) {
        if (i > 0)
            for (uint32_t k = 0; k < t->maxNodes; ++k)
                t->nodes[k].edge.brlen = lengths[k];
        d->g[i] = calcFiniteDifferenceDvForBFGS(d, i, plainObjective, arg, f);
        if (poll.stop())
            break;
    }
    if (joint && !poll.stop())
        branchLengthGradient(*o->v, d->x, d->g + o->v->modelCount, t);
    a.maxPass = savedPasses;
    return f;
}

// L-BFGS-B over the vector within its setters' bounds.
double runLBFGSWith(ParamVector &v, BFGSObjective f, void *arg, bool single = mlIsSinglePrecision())
{
    BFGSData *d = v.lbfgs;
    for (const ParamSetters &e : v.entries) {
        std::vector<double> lo(e.count, -DBL_MAX), hi(e.count, DBL_MAX);
        e.setter(lo.data(), e.model, kParamLower, false);
        e.setter(hi.data(), e.model, kParamUpper, false);
        for (uint32_t k = 0; k < e.count; ++k) {
            const uint32_t i = e.first + k;
            d->l[i] = lo[k];
            d->u[i] = hi[k];
            const bool l = lo[k] != -DBL_MAX, u = hi[k] != DBL_MAX;
            d->nbd[i] = l && u ? kBoundBoth : l ? kBoundLower : u ? kBoundUpper : kBoundNone;
        }
    }
    const bool sp = single;
    const double factr = ml.bfgsFactor >= 0 ? ml.bfgsFactor : (sp ? 0.1 : 10000.0);
    const double pgtol = ml.bfgsTol >= 0 ? ml.bfgsTol : (sp ? 0.01 : 1e-5);
    const int32_t m = lbfgsMemory();
    double fmin = kNoLScore;
    optimizeLBFGS(f, arg, static_cast<int32_t>(v.total), m, d, &fmin, -1, factr, pgtol);
    return fmin;
}

double runLBFGS(ParamVector &v, Objective &o, uint32_t gradPasses)
{
    o.gradPasses = gradPasses;
    return runLBFGSWith(v, calcFxnAndGradient, &o);
}

}  // namespace

ParamVector::~ParamVector() { disposeParameterVector(*this); }

void disposeParameterVector(ParamVector &v)
{
    destroyBFGSData(v.lbfgs);
    destroyPraxisData(v.praxis);
    v.lbfgs = nullptr;
    v.praxis = nullptr;
    v.values.clear();
    v.entries.clear();
    v.updates.clear();
    v.total = v.modelCount = v.trailing = 0;
}

int createParamVector(ParamVector &v, bool mlDistForm)
{
    disposeParameterVector(v);
    ActiveML *a = getActiveML();
    if (a == nullptr)
        return -1;
    if (estimatingModelRates() && a->numActive >= 2)
        addEntry(v, "Relative subset rate", nullptr, a->numActive - 1, subsetRateSetter);
    else if (estimatingGRateScaler() && !mlDistForm && usingFixedMLBranchLengths())
        // Only fixed lengths are scaled: beside estimated lengths (or clock
        // times) the scaler would change nothing, and the minimiser would
        // wander along it.
        addEntry(v, "Global rate scaler", nullptr, 1, rateScalerSetter);
    for (Model *m = a->firstActive; m != nullptr; m = m->nextActive) {
        if (ratesEstimated(m) && ratePools(m) > 1)
            addEntry(v, "Substitution-rate matrix", m, ratePools(m) - 1, rateMatrixSetter);
        if (tratioEstimated(m))
            addEntry(v, "Ti/tv ratio", m, 1, tratioSetter);
        if (freqsEstimated(m))
            addEntry(v, "StateFreqs", m, m->nstates - 1, freqSetter);
        if (estimatesSiteRates(m)) {
            addEntry(v, "SiteRates", m, static_cast<uint32_t>(m->rateInfo->rates.size()) - 1, siteRatesSetter);
            continue;
        }
        if (m->gammaShape == kEstimate)
            addEntry(v, "Shape", m, 1, shapeSetter);
        if (m->pinv == kEstimate)
            addEntry(v, "Pinv", m, 1, pinvSetter);
    }
    v.modelCount = v.total;
    // Under a clock the branch lengths are not free: node ages take their
    // place in the vector.
    const bool clock = !mlDistForm && clockModelInEffect() && !usingFixedMLBranchLengths();
    if (mlDistForm) {
        addEntry(v, "ML distance", nullptr, 1, mlDistanceSetter);
        v.trailing = 1;
    } else if (jointBranchLengths() && !mlVisitSequence().empty()) {
        const auto edges = static_cast<uint32_t>(mlVisitSequence().size());
        addEntry(v, "Branch lengths", nullptr, edges, branchLengthSetter);
        v.trailing = edges;
    }
    if (clock) {
        Tree *t = getActiveTreeForML();
        const uint32_t times = numClockParams(t);
        if (times == 0) {
            disposeParameterVector(v);
            return -1;
        }
        setClockTree(t);
        addEntry(v, "Clock times", nullptr, times, setClockTimesForOptimizer);
        v.trailing = times;
    }
    const bool lbfgs = ml.optimizer == static_cast<int32_t>(kOptimizerLBFGS) &&
                       (mlDistForm ? v.total >= 1 : !usingFixedMLBranchLengths() && v.total > 1);
    setAMLFlag(a, kAMLLbfgsParams, lbfgs);
    for (Model *m = a->firstActive; m != nullptr; m = m->nextActive) {
        if (m->type == kModelNucleotide) {
            if (tratioEstimated(m) || (freqsEstimated(m) && m->substClass != kSubstSixRates))
                v.updates.push_back({updateBetaForDnaModel, m});
            else if (ratesEstimated(m) || (freqsEstimated(m) && m->substClass == kSubstSixRates))
                v.updates.push_back({updateGTRmatrix, m});
        } else if (freqsEstimated(m)) {
            v.updates.push_back({m->type == kModelAminoAcid ? updateGTRmatrix : updateBetaForGenericModel, m});
        }
        if ((m->gammaShape == kEstimate || m->pinv == kEstimate) && !estimatesSiteRates(m))
            v.updates.push_back({updateRateDistribution, m});
        if (!mlDistForm && m->pinv != 0.0 && (m->pinv == kEstimate || freqsEstimated(m)))
            v.updates.push_back({updateConstSites, m});
    }
    if (v.total == 0)
        return 0;
    v.values.assign(v.total, 0.0);
    // A pair's distance is scored in double precision whatever the setting
    // (its matrices are computed so), and its fit must settle as closely.
    const bool single = mlIsSinglePrecision() && !mlDistForm;
    if (lbfgs)
        v.lbfgs = createBFGSData(v.values.data(), static_cast<int32_t>(v.total), lbfgsMemory(), single);
    else
        v.praxis = createPraxisData(v.values.data(), v.total, single);
    if (v.lbfgs == nullptr && v.praxis == nullptr) {
        disposeParameterVector(v);
        return -1;
    }
    return static_cast<int>(v.total);
}

int storeParamVector(ParamVector &v, bool log) { return storeParamValues(v, v.values.data(), log); }

int storeParamValues(ParamVector &v, const double *x, bool log)
{
    std::vector<double> copy(x, x + v.total);
    for (const ParamSetters &e : v.entries)
        e.setter(copy.data() + e.first, e.model, kParamStore, log);
    for (const ParamUpdateFxns &u : v.updates)
        if (u.fxn(u.model) != 0)
            return 1;
    return 0;
}

namespace {

bool estimatesShapeAndPinv(const Model *m)
{
    return m->gammaShape == kEstimate && m->pinv == kEstimate && !estimatesSiteRates(m);
}

// A search's fit: warm starts, each trial's passes from the best trial's
// lengths, and give-ups against the score to beat. Not under a clock or
// with the lengths in the vector, where no passes run inside the trials.
bool searchFit()
{
    const ActiveML &a = *getActiveML();
    return gWarmStarts && !clockModelInEffect() && !usingFixedMLBranchLengths() && !(a.flags & kAMLJointBrLens) &&
           a.maxPass > 0;
}

// Which start of the estimate this is (joint or only, gamma-only,
// invariable-sites-only) when it began where the same start ended on the
// last tree; -1 otherwise.
int warmStartIndex()
{
    if (!gWarmStarts || gHints == nullptr)
        return -1;
    for (int k = 0; k < 3; ++k)
        if (gHints == (k == 0 ? &gLast : &gLastRestricted[k - 1].hints))
            return k;
    return -1;
}

bool searchGiveUpsOn() { return gFirstGainGiveUps && (getActiveML()->flags & kAMLUseApproxLim) != 0; }

// A search's fit begins with the lengths passes at the starting values,
// which seed the minimiser's best trial: its trials start their passes from
// there. A start that stays above the score to beat by more than it could
// gain is given up then, before any trial. Returns the score at the
// starting values, or +infinity when the fit goes on.
double searchFitOpening(ParamVector &v, Objective &o, double beat, int start)
{
    if (storeParamVector(v, false) != 0) {
        stopOnParamFailure();
        return kNoLScore;
    }
    ModelGroup *g = activeModelGroup();
    releaseAllCLAs(o.tree, g);
    const double score = optimizeBranchLensOneDim(o.tree, g, nullptr, nullptr, nullptr, nullptr, kNoLScore, kNoLScore);
    if (did_calcLWithParamEst_abort(score))
        return 0.0;
    o.best = score;
    o.bestLengths = saveBranchLengths(o.tree);
    o.tried.emplace_back(v.values, score);
    if (start >= 0 && gLastFitGain[start] >= 0.0 && beat < kNoLScore && searchGiveUpsOn() &&
        score - std::max(kFitGainMargin * gLastFitGain[start], kFitGainFloor) > beat) {
        if (loggingMLIters())
            qel_printf(" parameters given up: this start cannot reach the target\n");
        return score;
    }
    return std::numeric_limits<double>::infinity();
}

}  // namespace

double optimizeParams(ParamVector &v, Tree *tree, double beat)
{
    Objective o{&v, tree, 0, kNoLScore, {}, false, {}};
    // The minimiser's best point ends with the lengths fitted to it.
    struct BestLengths {
        Objective &o;
        ~BestLengths()
        {
            if (!o.bestLengths.empty() && getAbortedStatus() == 0)
                restoreBranchLengths(o.tree, o.bestLengths, activeModelGroup());
        }
    } bestLengths{o};
    for (const ParamSetters &e : v.entries)
        e.setter(v.values.data() + e.first, e.model, kParamStart, false);
    ActiveML &a = *getActiveML();
    if (v.trailing != 0 && clockModelInEffect())
        v.trailing = clockParamsInUse();
    const uint32_t n = v.modelCount + v.trailing;
    if (n == 0)
        return calcLGivenParamVect(v.values.data(), &o);
    // A search's trees are neighbours whose optima lie close together, and
    // model selection starts each model from a related model's values and
    // lengths: there each trial's passes start from the best trial's
    // lengths, not the last one's, so that a trial's score depends on its
    // values alone and the minimiser is not led about by lengths left
    // further from their optimum by a poorer trial (a fit then takes about
    // half the passes). A search's fit opens with the passes at the starting
    // values, which seed the best trial.
    const bool search = searchFit();
    o.fromBest = search || gTrialsFromBest;
    const int start = search ? warmStartIndex() : -1;
    double opening = kNoLScore;
    if (search) {
        opening = searchFitOpening(v, o, beat, start);
        if (opening < std::numeric_limits<double>::infinity())
            return opening;
        opening = o.best;
    }
    // What this fit gained from its starting values, for the next tree's
    // give-ups.
    const auto keepGains = [&](double coarse, double best) {
        if (start < 0)
            return;
        gLastFitGain[start] = std::max(opening - best, 0.0);
        if (coarse < kNoLScore)
            gLastMainGain[start] = std::max(coarse - best, 0.0);
    };
    if (n == 1) {
        double x = v.values[0], trial = v.values[0];
        trial = v.entries[0].setter(&trial, v.entries[0].model, kParamTrial, false);
        const double best = minimizeBrent1D(calcLGivenParamVect, &o, &x, v.values[0], trial, a.brentEps, a.brentT,
                                            10.0, nullptr);
        v.values[0] = x;
        keepGains(kNoLScore, best);
        return best;
    }
    double coarse = kNoLScore;
    if (!clockModelInEffect() && !(a.flags & kAMLJointBrLens)) {
        // A coarse pass near the optimum before the precise one.
        const uint32_t P = a.maxPass;
        AbortPoll poll;
        if (v.praxis) {
            a.maxPass = P == 0 ? 0 : 1;
            coarse = praxis(v.total, calcLGivenParamVect, &o, v.praxis, 0.01, 1.0, nullptr);
        } else {
            a.maxPass = std::min<uint32_t>(P, 8);
            coarse = runLBFGS(v, o, 0);
        }
        a.maxPass = P;
        if (poll.stop())
            return 0.0;
    }
    // A search gives the start up once the precise pass cannot bring it
    // below the score to beat: what that pass gained on the last tree,
    // taken several times over for the change of tree, and at least the
    // floor (the coarse trials are of one pass each, so the precise pass
    // gains what the lengths had left as well). With no last tree the
    // coarse pass's own gain stands in, as a tree's passes are against
    // their target: the precise pass gains less.
    if (search && estimateDeadlinePassed())
        return coarse;
    const double mainGain = start >= 0 && gLastMainGain[start] >= 0.0 ? gLastMainGain[start] : opening - coarse;
    if (search && beat < kNoLScore && searchGiveUpsOn() &&
        coarse - std::max(kMainGainMargin * mainGain, kMainGainFloor) > beat) {
        if (loggingMLIters())
            qel_printf(" parameters given up after the coarse pass: this start cannot reach the target\n");
        return coarse;
    }
    if (v.praxis) {
        double best = praxis(v.total, calcLGivenParamVect, &o, v.praxis, a.praxisTol, 1.0, nullptr);
        // Clock times move whole lineages together (a node's height shifts
        // every age above it), and along such coupled directions PRAXIS
        // ends while a fresh set of directions from its end point still
        // gains: it runs again while a run gains more than the tolerance.
        // A run that expected steps as long as the first run's spent its
        // line searches far from a point that was already close, and the
        // Rambaut heights (small values on the transformed scale, every one
        // moving the ages above it) then gained less per run than the
        // tolerance while still short of the optimum.
        for (uint32_t run = 1; clockModelInEffect() && run < kClockPraxisRuns; ++run) {
            AbortPoll poll;
            const double again =
                praxis(v.total, calcLGivenParamVect, &o, v.praxis, a.praxisTol, kClockRerunStep, nullptr);
            if (poll.stop())
                return 0.0;
            const bool gained = best - again > std::fabs(again) * a.toler;
            best = std::min(best, again);
            if (!gained)
                break;
        }
        keepGains(coarse, best);
        return best;
    }
    const double best = runLBFGS(v, o, 8);
    keepGains(coarse, best);
    return best;
}

namespace {

bool gSingleStart = false;

// The estimate marks the setters overwrite while they store (the ti/tv
// ratio lives in the model itself) put back; the value goes to the last
// estimates.
void restoreEstimateMarks(const ParamVector &v)
{
    for (const ParamSetters &e : v.entries)
        if (e.setter == tratioSetter && e.model->tratio != kEstimate) {
            e.model->prevTratio = e.model->tratio;
            e.model->tratio = kEstimate;
        }
}

// What the setters wrote into the models, to be put back when an earlier
// start of the invariable-sites-plus-gamma procedure wins.
struct ModelValues {
    Model *model;
    double tratio;
    double relRate;
    std::vector<double> freqs, fullRates, siteRates;
    Working working;
};
struct EstimateSnapshot {
    std::vector<ModelValues> models;
    double rateScaler = 1.0;
};

EstimateSnapshot takeSnapshot()
{
    EstimateSnapshot s;
    const ActiveML *a = getActiveML();
    s.rateScaler = a->rateScaler;
    for (Model *m = a->firstActive; m != nullptr; m = m->nextActive) {
        ModelValues mv{m, m->tratio, m->relRate, modelEngine(m)->estFreqs, modelEngine(m)->fullRates, {},
                       working(m)};
        if (m->rateInfo != nullptr && (m->rateInfo->flags & kRatesSiteSpecific))
            mv.siteRates = m->rateInfo->rates;
        s.models.push_back(std::move(mv));
    }
    return s;
}

// Puts the values back and runs the full vector's update callbacks (unless
// the values are only a start for the setters); 1 when an update failed.
int restoreSnapshot(const EstimateSnapshot &s, const ParamVector &v, bool update = true)
{
    getActiveML()->rateScaler = s.rateScaler;
    for (const ModelValues &mv : s.models) {
        Model *m = mv.model;
        m->tratio = mv.tratio;
        m->relRate = mv.relRate;
        modelEngine(m)->estFreqs = mv.freqs;
        setPiVectorForModel(m, nullptr);
        modelEngine(m)->fullRates = mv.fullRates;
        if (!mv.siteRates.empty())
            m->rateInfo->rates = mv.siteRates;
        working(m) = mv.working;
    }
    if (!update)
        return 0;
    for (const ParamUpdateFxns &u : v.updates)
        if (u.fxn(u.model) != 0)
            return 1;
    return 0;
}

// A proportion of invariable sites the last tree drove to (nearly) 0 is no
// start for the next: pinv = sin^2(x) is flat at x = 0, so the minimiser
// would stay there even where the next tree's optimum lies inside.
double warmPinv(double p) { return std::max(p, kWarmPinvFloor); }

// The values a single model reached, as starting values; false with models
// of a partition, where each would need its own.
bool hintsFromSnapshot(const EstimateSnapshot &s, ParamStartHints &h)
{
    if (s.models.size() != 1)
        return false;
    const ModelValues &mv = s.models[0];
    const Model *m = mv.model;
    h.tratio = mv.tratio > 0.0 ? mv.tratio : 0.0;
    h.shape = mv.working.shape;
    h.pinv = warmPinv(mv.working.pinv);
    h.rates.clear();
    if (m->nstates == 4 && ratesEstimated(m))
        h.rates = mv.fullRates;
    return true;
}

// One restricted start of the procedure: the models of `both` hold their
// pinv at 0 (gammaOnly) or their shape at 500, nearly equal rates (pinv
// only), the rate layout kept; the other parameters are estimated as usual.
// Returns the score (+infinity after an abort or failure; above `beat` once
// it cannot come below it) and the values reached.
double optimizeOneIGStart(Tree *tree, const std::vector<Model *> &both, bool gammaOnly, double beat,
                          EstimateSnapshot &out)
{
    for (Model *m : both) {
        if (gammaOnly) {
            m->pinv = 0.0;
            working(m).pinv = 0.0;
        } else {
            m->gammaShape = kIGPinvOnlyShape;
        }
    }
    for (Model *m : both)
        if (updateRateDistribution(m) == 0)
            calcConstSiteLikes(m);
    // In a search each restriction starts from where the same restriction
    // ended on the last tree, the estimate's other starts from the winner.
    RestrictedLast &last = gLastRestricted[gammaOnly ? 0 : 1];
    const ParamStartHints *outer = gHints;
    if (outer == &gLast && last.have)
        gHints = &last.hints;
    ParamVector v;
    double score = std::numeric_limits<double>::infinity();
    if (createParamVector(v) > 0) {
        score = optimizeParams(v, tree, beat);
        if (did_calcLWithParamEst_abort(score) || storeParamVector(v, false) != 0)
            score = std::numeric_limits<double>::infinity();
    }
    gHints = outer;
    out = takeSnapshot();
    if (gWarmStarts && score < std::numeric_limits<double>::infinity())
        last.have = hintsFromSnapshot(out, last.hints);
    restoreEstimateMarks(v);
    for (ModelValues &mv : out.models)
        if (std::find(both.begin(), both.end(), mv.model) != both.end())
            (gammaOnly ? mv.working.pinv : mv.working.shape) = gammaOnly ? 0.0 : kIGPinvOnlyShape;
    for (Model *m : both)
        (gammaOnly ? m->pinv : m->gammaShape) = kEstimate;
    return score;
}

// Gamma shape and the proportion of invariable sites trade off against
// each other and the joint surface has more than one basin: the
// gamma-only optimum, then the invariable-sites-only one, then the joint
// one are found, each from the values and branch lengths the estimate
// began with, and the joint one is kept unless a restricted start scored
// better (the invariable-sites-only one on a tie between those two). The
// models are left holding the winner and the tree the winner's lengths.
double optimizeIGThreeStarts(ParamVector &v, Tree *tree, ModelGroup *g, double target)
{
    std::vector<Model *> both;
    for (Model *m = getActiveML()->firstActive; m != nullptr; m = m->nextActive)
        if (estimatesShapeAndPinv(m))
            both.push_back(m);
    const std::vector<double> lengths = saveBranchLengths(tree);
    const EstimateSnapshot entry = takeSnapshot();
    struct Start {
        double score = std::numeric_limits<double>::infinity();
        EstimateSnapshot values;
        std::vector<double> lengths;
    } starts[3];
    for (const bool gammaOnly : {true, false}) {
        // Past the search's time limit the starts made so far decide.
        if (getAbortedStatus() != 0 || estimateDeadlinePassed())
            break;
        // The values on entry hold the estimate marks again.
        restoreSnapshot(entry, v, false);
        restoreBranchLengths(tree, lengths, g);
        // In a search the invariable-sites-only start is given up once it
        // cannot come below the gamma-only one either.
        Start &s = starts[gammaOnly ? 0 : 1];
        s.score = optimizeOneIGStart(tree, both, gammaOnly, std::min(target, starts[0].score), s.values);
        s.lengths = saveBranchLengths(tree);
    }
    if (getAbortedStatus() != 0)
        return 0.0;
    // The vector rebuilt for the joint parameters, under the estimate marks
    // (the restricted starts' vectors set the bounded-optimiser flags for
    // their own sizes).
    restoreSnapshot(entry, v, false);
    restoreBranchLengths(tree, lengths, g);
    if (createParamVector(v) <= 0)
        return kNoLScore;
    // The joint surface may have a basin at either edge (no invariable
    // sites; equal rates) beside one inside, and which one a start falls
    // into depends on where it begins. The restricted starts stand for the
    // edges; the joint one must find the inside basin, so it starts from
    // the last tree's shape and proportion only where those lay inside,
    // else from the values an estimate without a last tree takes (a last
    // optimum on the edge leads the next tree there even where its own
    // lies inside). The other values start warm either way.
    const ParamStartHints *outer = gHints;
    ParamStartHints jointHints;
    if (outer == &gLast && !gLastInside) {
        jointHints = gLast;
        jointHints.shape = jointHints.pinv = 0.0;
        gHints = &jointHints;
    }
    double L3 = optimizeParams(v, tree, target);
    gHints = outer;
    if (did_calcLWithParamEst_abort(L3))
        return L3;
    if (storeParamVector(v, false) != 0)
        L3 = std::numeric_limits<double>::infinity();
    if (!(starts[0].score < L3 || starts[1].score < L3))
        return L3;
    const Start &win = starts[1].score <= starts[0].score ? starts[1] : starts[0];
    restoreBranchLengths(tree, win.lengths, g);
    if (restoreSnapshot(win.values, v) != 0)
        return kNoLScore;
    return win.score;
}

}  // namespace

void setSingleStartParamEst(bool on) { gSingleStart = on; }

void setTrialsFromBestLengths(bool on) { gTrialsFromBest = on; }

void setParamStartHints(const ParamStartHints *hints) { gHints = hints; }

namespace {

// The values the estimate just made reached, as the next one's start. With
// models of a partition each would need its own: they start afresh.
void keepLastEstimates()
{
    const ActiveML *a = getActiveML();
    Model *m = a != nullptr ? a->firstActive : nullptr;
    gHaveLast = m != nullptr && m->nextActive == nullptr;
    if (!gHaveLast)
        return;
    const Working &w = working(m);
    gLast.tratio = m->tratio == kEstimate ? m->prevTratio : 0.0;
    gLast.shape = m->gammaShape == kEstimate ? w.shape : 0.0;
    gLast.pinv = m->pinv == kEstimate ? warmPinv(w.pinv) : 0.0;
    gLastInside = w.pinv >= kWarmPinvFloor && w.shape < kIGInsideShape;
    gLast.rates.clear();
    if (m->nstates == 4 && ratesEstimated(m))
        gLast.rates = modelEngine(m)->fullRates;
}

}  // namespace

void setSearchWarmStarts(bool on)
{
    gWarmStarts = on;
    gHaveLast = false;
    for (RestrictedLast &r : gLastRestricted)
        r.have = false;
    std::fill(std::begin(gLastFitGain), std::end(gLastFitGain), -1.0);
    std::fill(std::begin(gLastMainGain), std::end(gLastMainGain), -1.0);
}

bool searchWarmStarts() { return gWarmStarts; }

void setFirstRoundGiveUps(bool on) { gFirstGainGiveUps = on; }

namespace {
uint64_t gEstimateDeadline = 0;
thread_local uint64_t tNextClockRead = 0;
thread_local uint64_t tDeadlineRead = 0;  // the deadline tNextClockRead was kept for
}  // namespace

void setEstimateDeadline(uint64_t cpuNanos) { gEstimateDeadline = cpuNanos; }

bool estimateDeadlinePassed()
{
    // Each thread paces its own readings, and a new deadline is read at once.
    if (tDeadlineRead != gEstimateDeadline) {
        tDeadlineRead = gEstimateDeadline;
        tNextClockRead = 0;
    }
    return searchDeadlinePassed(gEstimateDeadline, tNextClockRead);
}

bool did_calcLWithParamEst_abort(double score)
{
    const int32_t status = getAbortedStatus();
    if (score == 0.0 || status < 0)
        return true;
    return status > 0 && confirmAbortRequest();
}

double calcLWithParamEst(Tree *tree, ModelGroup *g, double target)
{
    ParamVector v;
    const int n = createParamVector(v);
    if (n < 0)
        return kNoLScore;
    // A caller's own hints (model selection) come before the last tree's.
    struct WarmStart {
        bool on;
        ~WarmStart()
        {
            if (on)
                gHints = nullptr;
        }
    } warm{gWarmStarts && gHaveLast && gHints == nullptr};
    if (warm.on)
        gHints = &gLast;
    gParamTree = tree;
    if (n > 0 && !arbitraryStarts())
        rogers(tree, g, true, false, false);  // the pair counts behind the starting values
    bool threeStarts = false;
    if (!gSingleStart)
        for (Model *m = getActiveML()->firstActive; m != nullptr; m = m->nextActive)
            threeStarts = threeStarts || estimatesShapeAndPinv(m);
    double score = kNoLScore;
    if (n > 0)
        score = threeStarts ? optimizeIGThreeStarts(v, tree, g, target) : optimizeParams(v, tree, target);
    gParamTree = nullptr;
    // An estimate mark can leave nothing to fit (a rate matrix of one rate
    // class): then only the branch lengths below are fitted.
    if (n > 0 && (score >= kNoLScore || did_calcLWithParamEst_abort(score))) {
        restoreEstimateMarks(v);
        releaseAllCLAs(tree, g);
        return kNoLScore;
    }
    // The final values (the three-start procedure leaves its winner in the
    // models), and the branch lengths once more for them, from those the
    // best trial reached. A fit never ends worse than that trial: the
    // closing passes can only improve on it.
    if (n > 0 && !threeStarts && storeParamVector(v, false) != 0) {
        stopOnParamFailure();
        return kNoLScore;
    }
    restoreEstimateMarks(v);
    if (gWarmStarts && n > 0)
        keepLastEstimates();
    releaseAllCLAs(tree, g);
    if (!usingFixedMLBranchLengths() && !clockModelInEffect()) {
        const std::vector<double> reachedLengths = saveBranchLengths(tree);
        // The driver's own fit: stopping at the pass limit while still
        // gaining is reported.
        uint32_t passes = 0;
        const double closing = optimizeBranchLensOneDim(tree, g, nullptr, &passes, nullptr, nullptr, target, kNoLScore);
        if (n > 0 && closing > score && score < kNoLScore && getAbortedStatus() == 0) {
            restoreBranchLengths(tree, reachedLengths, g);
            score = calcLForCurBranchLens(tree, false);
        } else {
            score = closing;
        }
    } else {
        score = calcLForCurBranchLens(tree, false);
    }
    g->lastScore = score;
    return score;
}

namespace {

struct PairObjective {
    ParamVector *v;
    PairScoreFxn score;
    void *ctx;
};

double pairObjective(const double *x, void *arg)
{
    auto *o = static_cast<PairObjective *>(arg);
    // As for a tree's fit: a trial point the minimiser could not make
    // finite is no model (its gamma shape would be discretised as NaN).
    if (!std::all_of(x, x + o->v->total, [](double value) { return std::isfinite(value); }))
        return kLikInfiniteScore;
    // The distances count such a pair as one without an estimate.
    if (storeParamValues(*o->v, x, false) != 0) {
        setAbortedStatus(static_cast<uint32_t>(-1));
        return kNoLScore;
    }
    return o->score(o->ctx);
}

double plainPairObjective(double *x, void *arg) { return pairObjective(x, arg); }

// The pair's likelihood has no derivative kernel: every slope is a finite
// difference.
double pairObjectiveAndGradient(int32_t n, BFGSData *d, void *arg)
{
    const double f = pairObjective(d->x, arg);
    for (int32_t i = 0; i < n; ++i)
        d->g[i] = f >= kLikInfiniteScore ? 0.0 : calcFiniteDifferenceDvForBFGS(d, i, plainPairObjective, arg, f);
    return f;
}

}  // namespace

double optimizeMLDistParams(ParamVector &v, PairScoreFxn score, void *ctx)
{
    ActiveML &a = *getActiveML();
    PairObjective o{&v, score, ctx};
    for (const ParamSetters &e : v.entries)
        e.setter(v.values.data() + e.first, e.model, kParamStart, false);
    double best;
    if (v.total == 1) {
        double x = v.values[0], trial = v.values[0];
        trial = v.entries[0].setter(&trial, v.entries[0].model, kParamTrial, false);
        best = minimizeBrent1D(pairObjective, &o, &x, v.values[0], trial, a.brentEps, a.brentT, 10.0, nullptr);
        v.values[0] = x;
    } else if (v.praxis) {
        best = praxis(v.total, pairObjective, &o, v.praxis, a.praxisTol, 1.0, nullptr);
    } else {
        best = runLBFGSWith(v, pairObjectiveAndGradient, &o, false);
    }
    // The models and the distance hold the best point, not the last trial.
    if (storeParamVector(v, false) != 0)
        best = kNoLScore;
    restoreEstimateMarks(v);
    return best;
}

double transformDerivatives(double t, double d1, double *d2)
{
    if (d2 != nullptr)
        *d2 = *d2 * t * t + d1 * t;
    return d1 * t;
}

void pinStateFrequencies(double *p, uint32_t n, double floor)
{
    uint32_t above = 0;
    double shortfall = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] >= floor)
            ++above;
        else
            shortfall += floor - p[i];
    }
    if (shortfall == 0.0 || above == 0)
        return;
    for (uint32_t i = 0; i < n; ++i)
        p[i] = p[i] < floor ? floor : p[i] - shortfall / above;
}
