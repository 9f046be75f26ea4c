// The scoring context of the distance fits: its creation from the current
// distance settings, the weights, the normalisers and fit statistics, and
// the score text.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "data/vorn_data.h"
#include "distance/dcalc.h"
#include "distance/distance_settings.h"
#include "distance/dmatrix.h"
#include "distance/lsfit.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_math.h"
#include "qel/qel_output.h"
#include "search/scores.h"
#include "trees/treeutil.h"

LSData *gLSData = nullptr;

namespace {

constexpr double kNoScore = 1e37;
// Lengths no larger than this share of the fit's scale (the mean distance,
// or the longest length when that is larger) are rounding, not lengths.
constexpr double kZeroLengthRel = 1e-10;

double at(double **m, uint32_t i, uint32_t j) { return i == j ? 0.0 : i > j ? m[i][j] : m[j][i]; }

bool userWeights() { return dist.lsWts == 2; }

// Weighted least squares under the current settings.
bool wantWeighted(bool forceUnweighted)
{
    if (forceUnweighted || dist.objective != kObjectiveLsFit)
        return false;
    return dist.lsWts != 0 || dist.power != 0.0;
}

void setFlags(LSData *ls, bool forceUnweighted)
{
    ls->weighted = wantWeighted(forceUnweighted);
    ls->bme = dist.objective == kObjectiveBME;
    ls->nonnegative = dist.negBrLen == kNegBrLenProhibit;
    ls->residualShortcut = !ls->bme && (dist.negBrLen == kNegBrLenProhibit || dist.negBrLen == kNegBrLenAllow);
}

}  // namespace

LSData *createLSData(double **distances, Tree *tree, uint32_t ntax, bool forceUnweighted)
{
    try {
        auto *ls = new LSData;
        ls->distances = distances;
        ls->tree = tree;
        ls->ntax = ntax;
        ls->npairs = ntax * (ntax > 0 ? ntax - 1 : 0) / 2;
        setFlags(ls, forceUnweighted);
        ls->withMatrices = ls->weighted || ls->bme || dist.pplot;
        if (ls->withMatrices) {
            // Owned weights (user weights are borrowed when prepared).
            ls->weightStore.assign(static_cast<size_t>(ls->npairs) + 1, 0.0);
            ls->weightRows.assign(std::max<uint32_t>(ntax, 1), nullptr);
            for (uint32_t i = 1; i < ntax; i++)
                ls->weightRows[i] = ls->weightStore.data() + static_cast<size_t>(i) * (i - 1) / 2;
            ls->weights = ls->weightRows.data();
            ls->ownWeights = true;
        }
        return ls;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

LSData *destroyLSData(LSData *ls)
{
    if (gLSData == ls && ls)
        gLSData = nullptr;
    delete ls;
    return nullptr;
}

double lsPairWeight(const LSData *ls, uint32_t i, uint32_t j)
{
    const double d = at(ls->distances, i, j);
    if (d <= 0.0)
        return 0.0;
    switch (dist.lsWts) {
    case 1: return exp_safe(-dist.pexp * d);
    case 2: return ls->matrix && ls->matrix->weights ? at(ls->matrix->weights, i, j) : 0.0;
    default: return pow_safe(d, -dist.power);
    }
}

void computeLSWeights(LSData *ls)
{
    ls->fullW.clear();  // the square copy follows the weights
    double s = 0.0;
    for (uint32_t i = 1; i < ls->ntax; i++)
        for (uint32_t j = 0; j < i; j++) {
            const double d = ls->distances[i][j];
            double w = 1.0;
            if (ls->weighted) {
                w = lsPairWeight(ls, i, j);
                if (ls->ownWeights)
                    ls->weights[i][j] = w;
            }
            s += w * d * d;
        }
    ls->sumWd2 = s;
}

void computeNormalisers(LSData *ls, bool treeLeavesOnly)
{
    double sd = 0.0, sld = 0.0, sw = 0.0, slw = 0.0, m = 0.0;
    const bool withW = (ls->weighted || ls->bme) && ls->weights;
    auto add = [&](uint32_t i, uint32_t j) {
        const double d = at(ls->distances, i, j);
        if (d <= 0.0)
            return;
        double w = withW ? at(ls->weights, i, j) : 1.0;
        if (!(w > 0.0))
            w = 1.0;
        sd += d, sld += detLog(d), sw += w, slw += detLog(w), m += 1.0;
    };
    if (treeLeavesOnly) {
        for (uint32_t a = 1; a < ls->nLeaves; a++)
            for (uint32_t b = 0; b < a; b++)
                add(ls->leafOrder[a], ls->leafOrder[b]);
    } else {
        for (uint32_t i = 1; i < ls->ntax; i++)
            for (uint32_t j = 0; j < i; j++)
                add(i, j);
    }
    double *nz = ls->normalisers;
    nz[kNormPairs] = m;
    if (m == 0.0) {
        nz[kNormN1] = nz[kNormN2] = 1.0;
        nz[kNormMeanD] = nz[kNormGeoD] = 0.0;
        nz[kNormMeanW] = nz[kNormGeoW] = 1.0;
        return;
    }
    nz[kNormMeanD] = sd / m;
    nz[kNormGeoD] = detExp(sld / m);
    nz[kNormMeanW] = sw / m;
    nz[kNormGeoW] = detExp(slw / m);
    // Expo, user and BME weights normalise by the weights themselves; power
    // weights (P = 0 included) by the power of the distances they imply.
    if ((ls->weighted && dist.lsWts != 0) || ls->bme) {
        nz[kNormN1] = std::sqrt(1.0 / nz[kNormMeanW]) / nz[kNormMeanD];
        nz[kNormN2] = std::sqrt(1.0 / nz[kNormGeoW]) / nz[kNormGeoD];
    } else {
        const double P = ls->weighted ? dist.power : 0.0;
        nz[kNormN1] = detPow(nz[kNormMeanD], P / 2.0 - 1.0);
        nz[kNormN2] = detPow(nz[kNormGeoD], P / 2.0 - 1.0);
    }
}

int prepLS(LSData *ls, bool internal)
{
    if (!internal && ls->weighted && userWeights()) {
        if (!ls->matrix || ls->matrix != gUserDistances)
            return qel_errorMsg(0,
                                "User-supplied least-square weights may only be used with a user-input distance "
                                "matrix.\tUser-supplied weights would normally not be meaningful for newly "
                                "calculated distances."),
                   1;
        if (!ls->matrix->weights)
            return qel_errorMsg(0,
                                "User-supplied least-square weights requested but none have been provided.\tYou "
                                "must define the weights using a 'DistanceWts' command in the Distances block."),
                   1;
    }
    if (ls->weighted && userWeights() && ls->matrix && ls->matrix->weights) {
        ls->weights = ls->matrix->weights;  // borrowed from the user matrix
        ls->ownWeights = false;
    }
    if (!ls->bme) {
        computeLSWeights(ls);
        if (!internal)
            computeNormalisers(ls, false);
    }
    return 0;
}

int setDistances(uint32_t matrixChoice, bool computeIfNeeded, LSData **lsSlot, DataInfo *d)
{
    const int status = setDistances(matrixChoice, computeIfNeeded, d);
    if (status != 0 || !lsSlot)
        return status;
    DMatrix *dm = matrixChoice == kDMatrixForLikelihood ? gDistancesForML
                  : dist.distance != kDistUser && (d->flags & kHaveCharacters) ? gComputedDistances
                                                                                 : gUserDistances;
    if (!dm)
        return 1;
    const bool wasGlobal = *lsSlot == gLSData;
    destroyLSData(*lsSlot);
    *lsSlot = createLSData(dm->distances, getPrimaryTree(), dm->ntax, matrixChoice == kDMatrixForLikelihood);
    if (wasGlobal)
        gLSData = *lsSlot;
    if (!*lsSlot)
        return 1;
    (*lsSlot)->matrix = dm;
    return prepLS(*lsSlot, matrixChoice == kDMatrixForLikelihood);
}

APSDs calcAPSDs(LSData *ls, double score)
{
    APSDs r;
    if (ls->partial)
        computeNormalisers(ls, true);
    const double *nz = ls->normalisers;
    const LSWorkTree &w = ls->wt;
    double total = 0.0, internalSum = 0.0;
    int32_t positive = 0;
    // A length within rounding of 0 is 0: a fit that makes a branch vanish
    // leaves it at a few units in the last place of the distances it sums,
    // and such a branch is no fitted parameter.
    double scale = nz[kNormMeanD] > 0.0 ? nz[kNormMeanD] : 0.0;
    for (uint32_t v = 1; v < w.nNodes; v++)
        scale = std::max(scale, std::fabs(ls->brLen[v - 1]));
    const double zero = kZeroLengthRel * scale;
    for (uint32_t v = 1; v < w.nNodes; v++) {
        double b = ls->brLen[v - 1];
        if (std::fabs(b) <= zero)
            b = 0.0;
        if (b < 0.0)
            b = dist.negBrLen == kNegBrLenSetZero ? 0.0 : dist.negBrLen == kNegBrLenSetAbsVal ? -b : b;
        if (b > 0.0)
            positive++;
        total += b;
        if (w.taxon[v] < 0 && w.parent[v] > 0)
            internalSum += b;
    }
    r.k = dist.psdk == 0 ? 1 : positive + dist.psdAddK;
    const double dof = nz[kNormPairs] - r.k;
    if (dof > 0.0 && score >= 0.0 && nz[kNormPairs] > 0.0) {
        const double base = 100.0 * std::sqrt(score / dof);
        r.psd = base * nz[kNormN1];
        r.gpsd = base * nz[kNormN2];
    } else {
        r.psd = r.gpsd = -1.0;
    }
    r.meanD = nz[kNormMeanD];
    r.geoD = nz[kNormGeoD];
    r.meanW = nz[kNormMeanW];
    r.geoW = nz[kNormGeoW];
    r.iblp = total > 0.0 ? internalSum / total : 0.0;
    if (ls->partial)
        computeNormalisers(ls, false);
    return r;
}

void makeLeastSquaresScoreStr(LSData *ls, char *buffer, size_t size, double score)
{
    const APSDs a = calcAPSDs(ls, score);
    const int prec = std::clamp(dist.precision, 0, kMaxDistDecimals);
    const bool perfect = dist.objective == kObjectiveLsFit && score < 1e-8 && a.psd >= 0.0 && a.psd < 0.0001;
    const std::string s = treeScoreToString(0, perfect ? 0.0 : score);
    if (a.psd < 0.0)
        std::snprintf(buffer, size, "%s (%%SD=-, g%%SD=-[k=%d])", s.c_str(), a.k);
    else
        std::snprintf(buffer, size, "%s (%%SD=%.*f, g%%SD=%.*f[k=%d])", s.c_str(), prec, a.psd, prec, a.gpsd, a.k);
}

namespace {

// One evaluation under other weights; the settings and weights come back.
double geomPSDUnder(LSData *ls, uint32_t lsWts, double P, double Pexp)
{
    const uint32_t oldWts = dist.lsWts;
    const double oldP = dist.power, oldPexp = dist.pexp;
    const bool oldWeighted = ls->weighted;
    dist.lsWts = lsWts;
    dist.power = P;
    dist.pexp = Pexp;
    ls->weighted = ls->withMatrices && wantWeighted(false);
    computeLSWeights(ls);
    computeNormalisers(ls, false);
    const double score = calcDistanceFitForTree(ls, ls->tree, false, kNoScore);
    const double g = score < kNoScore ? calcAPSDs(ls, score).gpsd : kNoScore;
    dist.lsWts = oldWts;
    dist.power = oldP;
    dist.pexp = oldPexp;
    ls->weighted = oldWeighted;
    computeLSWeights(ls);
    computeNormalisers(ls, false);
    return g;
}

}  // namespace

double calcGeomPSDstd(LSData *ls, double P) { return geomPSDUnder(ls, 0, P, dist.pexp); }

double calcGeomPSDexp(LSData *ls, double Pexp) { return geomPSDUnder(ls, 1, dist.power, Pexp); }

const char *distObjFxnStr(char *buffer, size_t size)
{
    switch (dist.objective) {
    case kObjectiveME: std::snprintf(buffer, size, "minimum evolution"); break;
    case kObjectiveBME: std::snprintf(buffer, size, "balanced minimum evolution"); break;
    default:
        if (dist.lsWts == 1)
            std::snprintf(buffer, size, "weighted least squares using exponential weights with P'=%.10g", dist.pexp);
        else if (dist.lsWts == 2)
            std::snprintf(buffer, size, "weighted least squares with user-supplied weights");
        else if (dist.power == 0.0)
            std::snprintf(buffer, size, "unweighted least squares (power=0)");
        else
            std::snprintf(buffer, size, "weighted least squares with power=%.10g", dist.power);
        break;
    }
    return buffer;
}

void checkObsoleteDistOptions()
{
    if (felsMaxPasses != -1 || felsMaxDelta != -1.0 || lsIterProg != -1)
        qel_printf("\nNOTE: \bThe MaxPass, Delta, SMaxPass, SDelta, and LogIter options are no longer relevant for "
                   "distance analyses and have been eliminated.  Please update your input file(s) accordingly.\n");
}
