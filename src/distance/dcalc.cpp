#include "distance/dcalc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "data/data_services.h"
#include "data/data_util.h"
#include "data/empirfreqs.h"
#include "data/model.h"
#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "distance/eirdist.h"
#include "distance/pairdiff.h"
#include "parsimony/pars_util.h"
#include "qel/qel_diag.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_math.h"
#include "qel/qel_multithread.h"
#include "qel/qel_progress.h"
#include "search/scores.h"
#include "search/search.h"
#include "trees/treeutil.h"

namespace {
MLDistanceHooks gMLDistanceHooks{};
uint64_t gMatricesComputed = 0;
}  // namespace

uint64_t numDistanceMatricesComputed() { return gMatricesComputed; }

namespace {

constexpr double kZeroBand = 1e-10;

uint32_t activeTaxa(const DataInfo *d) { return d && d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0; }

bool inSubset(const Set *subset, uint32_t t) { return !subset || (t < subset->capacity && isSetMember(subset, t)); }

// Restores the `dist` fields a calculation may change on every way out.
class DistSettingsGuard {
public:
    DistSettingsGuard() : shape_(dist.shape), pInvar_(dist.pInvar), estFreq_(dist.estFreq), rates_(dist.rates) {}
    ~DistSettingsGuard()
    {
        dist.shape = shape_;
        dist.pInvar = pInvar_;
        dist.estFreq = estFreq_;
        dist.rates = rates_;
    }
    DistSettingsGuard(const DistSettingsGuard &) = delete;
    DistSettingsGuard &operator=(const DistSettingsGuard &) = delete;

private:
    double shape_, pInvar_;
    uint32_t estFreq_, rates_;
};

// Installs the model's correction function, shape and eigen work for one
// calculation and puts back what was there.
class ModelDistSlots {
public:
    ModelDistSlots(Model *m, bool needEigen) : m_(m), savedDiag_(m ? m->distDiag : nullptr)
    {
        if (!m_)
            return;
        setDistMgfInvFxn(m_, dist.rates == 1, dist.shape);
        if (needEigen)
            m_->distDiag = owned_ = allocMatrixDiag(4, false, true, 0, false);
    }
    ~ModelDistSlots()
    {
        deallocMatrixDiag(owned_);
        if (m_) {
            m_->distCorrFxn = log_safe;
            m_->distShape = 0.0;
            m_->distDiag = savedDiag_;
        }
        gShape = 0.0;
    }
    ModelDistSlots(const ModelDistSlots &) = delete;
    ModelDistSlots &operator=(const ModelDistSlots &) = delete;

private:
    Model *m_;
    MatrixDiag *savedDiag_;
    MatrixDiag *owned_ = nullptr;
};

bool needsEigenWork(uint32_t type)
{
    return type == kDistGTR || type == kDistCustom || type == kDistHKY85 ||
           (type == kDistK3P && dist.subst != kSubstAll);
}

DistPairFxn choosePairFxn(uint32_t type, bool ry)
{
    switch (type) {
    case kDistP: return ry ? calcPDist_generic : calcPDist_Dna;
    case kDistJC: return ry ? calcJCDist_generic : calcJCDist;
    case kDistF81: return ry ? calcF81Dist_generic : calcF81Dist;
    case kDistTajNei: return calcTajimaNeiDist;
    case kDistK2P: return calcK2PDist;
    case kDistF84: return calcF84Dist;
    case kDistHKY85: return calcHKY85Dist;
    case kDistK3P: return dist.subst == kSubstAll ? calcK3PDist : calcK3PDistTiTv;
    case kDistTamNei: return calcTamuraNeiDist;
    case kDistGTR: return calcGTRDist;
    case kDistCustom: return calcCustomDist;
    case kDistLogDet: return calcLogDetDist;
    default: return nullptr;
    }
}

// Keeps the running result of a pair loop.
struct PairTally {
    double maximum = -1.0;
    uint32_t nUndefined = 0;
    uint32_t nZero = 0;
    bool allUndefined = true;

    // Classifies a computed distance and returns the value to store.
    double classify(double d, double defineFactor)
    {
        if (d < -kZeroBand) {
            ++nUndefined;
            return d;
        }
        if (d < kZeroBand) {
            ++nZero;
            d = 0.0;
        } else {
            d *= defineFactor;
        }
        maximum = std::max(maximum, d);
        allUndefined = false;
        return d;
    }
    void undefinedPair() { ++nUndefined; }
    void storeInto(DMatrix *dm) const
    {
        dm->maxDistance = maximum;
        dm->nUndefined = nUndefined;
        dm->nZero = nZero;
        dm->allUndefined = allUndefined;
    }
};

// Type abs: weighted count of differing sites straight from the patterns.
double absoluteDifference(const SitePatternData *pd, uint32_t i, uint32_t j, const uint64_t *bits)
{
    const uint32_t n = pd->nstates;
    const uint8_t *ri = pd->rows[i], *rj = pd->rows[j];
    constexpr uint64_t kPurines = 0b0101, kPyrimidines = 0b1010;
    double diff = 0.0, ti = 0.0, tv = 0.0;
    for (uint32_t p = 0; p < pd->npat; ++p) {
        const uint8_t a = ri[p], b = rj[p];
        if (a == b || a == n || b == n)
            continue;
        const double w = pd->patternWeight[p];
        const uint64_t sa = bits[a], sb = bits[b];
        if (dist.subst == kSubstAll) {
            if (!((a > n || b > n) && (sa & sb)))
                diff += w;
        } else if (!(sa & sb)) {
            const bool transversion =
                ((sa & kPurines) && (sb & kPyrimidines)) || ((sa & kPyrimidines) && (sb & kPurines));
            (transversion ? tv : ti) += w;
        }
    }
    return dist.subst == kSubstAll ? diff : restrictSubst(ti, tv);
}

int noDataError() { return qel_errorMsg(0, "No relevant data are available for computing distances."); }

// Road A: nucleotide data under a nucleotide distance type.
int nucleotideDistances(DCalcData *cd, DataInfo *d)
{
    if (initPatternData(d) != 0)
        return gAborted_.load() ? 2 : 1;
    const ModelGroup *g = activeModelGroup();
    const SitePatternData *pd = g->patterns;
    if (!pd || !(g->totalWeight > 0.0))
        return noDataError();
    const uint32_t n = pd->nstates;
    double freqBlock[kMaxModelStates];
    const double *freqs = nullptr;
    if (dist.pInvar > 0.0 && dist.removeFreq == 0) {
        // Over all sites these are the empirical frequencies StateFreq and
        // the likelihood models use, ambiguous cells shared out in proportion
        // to the frequencies themselves. Every pattern counts, not only the
        // first model's range: the pairs are compared over all sites.
        if (dist.estFreq == 0)
            calcEmpiricalFreqs(d, g, nullptr, kAllTaxa, freqBlock);
        else
            std::copy(pd->constStateFreqs, pd->constStateFreqs + n, freqBlock);
        freqs = freqBlock;
    }
    const bool ry = isRYCoding(d);
    const DistPairFxn pairFxn = choosePairFxn(cd->type, ry);
    if (cd->type != kDistAbs && !pairFxn)
        return qel_errorMsg(0, "The '%s' distance is not allowed in this context.", distTypeName(cd->type));
    ModelDistSlots slots(cd->model, needsEigenWork(cd->type));
    if (needsEigenWork(cd->type) && cd->model && !cd->model->distDiag)
        return 1;

    std::vector<uint64_t> bits(pd->ncodes);
    for (uint32_t code = 0; code < pd->ncodes; ++code)
        bits[code] = code < n ? uint64_t{1} << code : code == n ? (uint64_t{1} << n) - 1 : pd->codeBits[code];

    const bool inferMissing = dist.missDist == 0;
    const double defineFactor =
        dist.pInvar > 0.0 && dist.allSitesMean && dist.subst != kSubstTRatio ? 1.0 - dist.pInvar : 1.0;
    DMatrix *dm = cd->dm;
    double **D = dm->distances;
    const uint32_t ntax = pd->ntax;
    PairTally tally;
    for (uint32_t i = 1; i < ntax; ++i) {
        if (!inSubset(cd->taxonSubset, i))
            continue;
        for (uint32_t j = 0; j < i; ++j) {
            if (!inSubset(cd->taxonSubset, j) || !inSubset(cd->taxonSubset, i))
                continue;
            double value;
            if (cd->type == kDistAbs) {
                value = tally.classify(absoluteDifference(pd, i, j, bits.data()), 1.0);
            } else if (calcFxy(cd, i, j, pd, inferMissing, cd->F, cd->counts, freqs, cd->work) == 0.0) {
                value = kUndefinedDistance;
                tally.undefinedPair();
            } else {
                value = tally.classify(pairFxn(cd->F, cd->model), defineFactor);
            }
            D[i][j] = value;
            if (updateDistProgress(cd->progress) == 2)
                return 2;
        }
    }
    tally.storeInto(dm);
    dm->noSharedPair[0] = cd->noSharedPair[0];
    dm->noSharedPair[1] = cd->noSharedPair[1];
    dm->nNoShared = cd->nNoShared;
    return 0;
}

// Road B: total and mean character differences from the parsimony sets.
int characterDifferences(DCalcData *cd, DataInfo *d)
{
    const uint32_t ntax = activeTaxa(d);
    DMatrix *dm = cd->dm;
    PairTally tally;
    if (ntax == 0) {
        tally.storeInto(dm);
        return 0;
    }
    if (!d->pars)
        return qel_errorMsg(0, "Character differences need the parsimony data, which have not been prepared.");
    // Only the tips' set records are read: a scratch tree of the active taxa
    // (with set slots) does.
    struct TreeRelease {
        void operator()(Tree *t) const { destroyTree(t, true); }
    };
    std::unique_ptr<Tree, TreeRelease> own(createTree(true));
    Tree *tree = own.get();
    if (!tree)
        return 1;
    const uint32_t saved = tempResetOptCrit(kCriterionParsimony);
    int status = 0;
    for (uint32_t i = 1; i < ntax && status == 0; ++i)
        for (uint32_t j = 0; j < i; ++j) {
            const auto ti = static_cast<int32_t>(i), tj = static_cast<int32_t>(j);
            double value = absoluteDist(d, tree, ti, tj);
            if (cd->type == kDistMean)
                value = meanDist(ti, tj, d, value);
            dm->distances[i][j] = tally.classify(value, 1.0);
            if ((status = updateDistProgress(cd->progress)) != 0)
                break;
        }
    restoreOriginalOptCrit(saved);
    if (status == 0)
        tally.storeInto(dm);
    return status;
}

// Road C: any other type on data that are not nucleotides (and the
// presence-absence types, which have no formula).
int otherDataDistances(DCalcData *cd, DataInfo *d)
{
    if (initPatternData(d) != 0)
        return gAborted_.load() ? 2 : 1;
    const SitePatternData *pd = activeModelGroup()->patterns;
    if (!pd)
        return noDataError();
    const uint32_t type = cd->type;
    if (type != kDistP && type != kDistJC && type != kDistF81 && type != kDistLogDet)
        return qel_errorMsg(0,
                            "The '%s' distance is not allowed in this context (e.g., non-DNA data).\tAvailable "
                            "distances are 'P', 'JC', 'F81', and 'LogDet'.",
                            distTypeName(type));
    if (!pd->hasConstant && type != kDistP)
        return qel_errorMsg(0,
                            "Jukes-Cantor-like Mk-model distances cannot be computed when only variable sites "
                            "are present.\tIn order to compute a model-based distance, we would need to know "
                            "the number of constant sites that were not included in the matrix.");
    ModelDistSlots slots(cd->model, false);
    const DistCorrectionFxn f = distCorrection(cd->model);
    const uint32_t n = pd->nstates;
    const bool needMatrix = type == kDistF81 || type == kDistLogDet;
    PairTally tally;
    for (uint32_t i = 1; i < pd->ntax; ++i)
        for (uint32_t j = 0; j < i; ++j) {
            const uint8_t *ri = pd->rows[i], *rj = pd->rows[j];
            double total = 0.0, differing = 0.0;
            if (needMatrix)
                for (uint32_t a = 0; a < n; ++a)
                    std::fill(cd->F[a], cd->F[a] + n, 0.0);
            for (uint32_t p = 0; p < pd->npat; ++p) {
                const uint8_t a = ri[p], b = rj[p];
                if (a >= n || b >= n)
                    continue;
                const double w = pd->patternWeight[p];
                total += w;
                if (a != b)
                    differing += w;
                if (needMatrix)
                    cd->F[a][b] += w;
            }
            double value = kUndefinedDistance;
            if (total > 0.0) {
                if (needMatrix)
                    for (uint32_t a = 0; a < n; ++a)
                        for (uint32_t b = 0; b < n; ++b)
                            cd->F[a][b] /= total;
                const double p = differing / total;
                if (type == kDistF81) {
                    value = calcF81Dist_generic(cd->F, cd->model);
                } else if (type == kDistLogDet) {
                    value = calcLogDetDist(cd->F, cd->model);
                } else if (type == kDistP) {
                    value = p;
                } else if (p > 0.0) {
                    const double b = -static_cast<double>(n - 1) / n;
                    value = 1.0 + p / b > 0.0 ? b * f(1.0 + p / b) : kUndefinedDistance;
                } else {
                    value = 0.0;
                }
                value = tally.classify(value, 1.0);
            } else {
                tally.undefinedPair();
            }
            cd->dm->distances[i][j] = value;
            if (updateDistProgress(cd->progress) == 2)
                return 2;
        }
    tally.storeInto(cd->dm);
    return 0;
}

bool reuseStoredMatrix(const DMatrix *dm, uint32_t type, const DataInfo *d, bool *matches)
{
    *matches = false;
    if (dm->type != type)
        return false;
    bool same = dm->undefMult == dist.undefMult;
    if (isDnaDistance(type, d)) {
        same = same && dm->rates == dist.rates && dm->missDist == dist.missDist;
        if (isGammaDist(dm, type, d) > 0)
            same = same && dm->shape == dist.shape;
        if (type == kDistCustom) {
            const int32_t classes[6] = {dist.cAC, dist.cAG, dist.cAT, dist.cCG, dist.cCT, dist.cGT};
            same = same && dm->baseFreq == dist.baseFreq;
            for (uint32_t e = 0; e < 6; ++e)
                same = same && dm->classes[e] == static_cast<uint32_t>(classes[e]);
        }
        if (isInvarDist(dm, type, d) != 0) {
            same = same && dm->pInvar == dist.pInvar;
            if (dist.pInvar > 0.0)
                same = same && dm->removeFreq == dist.removeFreq && dm->estFreq == dist.estFreq &&
                       dm->allSitesMean == dist.allSitesMean;
        }
        if (isTiTvDist(nullptr, type, d) != 0)
            same = same && dm->subst == dist.subst;
    } else if (isRestSiteDistType(type)) {
        same = same && dm->recSeqLen == static_cast<uint32_t>(dist.recSeqLen) && dm->rates == dist.rates &&
               (dist.rates != 1 || dm->shape == dist.shape);
    }
    *matches = same;
    return same && (gDistancesValid || type == kDistUser);
}

// Maximum-likelihood distances are never marked valid with the others: they
// stand while neither the data (their generation) nor the likelihood set-up
// changed since they were computed, whatever other matrices did since.
bool currentMLMatrix(const DMatrix *dm, uint32_t type, const DataInfo *d, bool *matches)
{
    reuseStoredMatrix(dm, type, d, matches);
    return *matches && dm->setUpStamp != 0 && dm->inputsGeneration == distanceInputsGeneration() &&
           gMLDistanceHooks.setUpStamp && dm->setUpStamp == gMLDistanceHooks.setUpStamp();
}

bool needsNStatesCheck(uint32_t type)
{
    return type == kDistAbs || (type >= kDistF81 && type <= kDistCustom) || type == kDistLogDet;
}

bool isPresenceAbsenceChar(const DataInfo *d, uint32_t c)
{
    const char *obs = d->obsSymbols ? d->obsSymbols[c] : nullptr;
    if (!obs)
        return false;
    const bool zeroOne = std::strspn(obs, "01") == std::strlen(obs);
    const bool minusPlus = std::strspn(obs, "-+") == std::strlen(obs);
    return zeroOne || minusPlus;
}

}  // namespace

// ---------------------------------------------------------------------------

DCalcData *createDCalcData(uint32_t type, Model *model, DMatrix *dm, uint32_t nstates, Set *taxonSubset,
                           bool forLikelihood, bool withProgress, bool quiet)
{
    auto *cd = new (std::nothrow) DCalcData;
    if (!cd)
        return nullptr;
    try {
        cd->type = type;
        cd->model = model;
        cd->dm = dm;
        cd->n = nstates;
        cd->taxonSubset = taxonSubset;
        cd->forLikelihood = forLikelihood;
        cd->quiet = quiet;
        cd->stateCodes.resize(nstates);
        for (uint32_t s = 0; s < nstates; ++s)
            cd->stateCodes[s] = static_cast<uint8_t>(s);
        cd->rowSums.assign(nstates, 0.0);
        cd->colSums.assign(nstates, 0.0);
        cd->matrixBlock.assign(3 * size_t{nstates} * nstates, 0.0);
        cd->matrixRows.resize(3 * size_t{nstates});
        for (size_t r = 0; r < cd->matrixRows.size(); ++r)
            cd->matrixRows[r] = cd->matrixBlock.data() + r * nstates;
        cd->F = cd->matrixRows.data();
        cd->counts = cd->F + nstates;
        cd->work = cd->counts + nstates;
    } catch (const std::bad_alloc &) {
        delete cd;
        return nullptr;
    }
    if (withProgress) {
        const uint32_t ntax = dm ? dm->ntax : 0;
        cd->progress = createProgressWindow(ntax > 1 ? ntax * (ntax - 1) / 2 : 1, 0, "Calculating distance matrix");
        if (!cd->progress)
            return destroyDCalcData(cd);
    }
    return cd;
}

DCalcData *destroyDCalcData(DCalcData *cd)
{
    if (cd) {
        destroyProgressWindow(cd->progress);
        delete cd;
    }
    return nullptr;
}

namespace {

// Pattern p is counted into table p mod 4, but those after the last whole
// group of four into table 0; each table takes its patterns in order.
uint32_t laneOf(uint32_t p, uint32_t npat) { return p < (npat & ~3u) ? p & 3 : 0; }

// Lays out the patterns with weight when at least a fifth have none and the
// copy of their rows stays modest; otherwise leaves the lanes empty.
void layOutWeightedLanes(DCalcData::WeightedLanes &lanes, const SitePatternData *pd)
{
    constexpr uint64_t kMostCells = uint64_t{1} << 26;
    lanes.patterns = pd;
    std::fill(lanes.length, lanes.length + 4, 0u);
    lanes.stride = 0;
    const uint32_t npat = pd->npat, ntax = pd->ntax;
    for (uint32_t p = 0; p < npat; ++p)
        lanes.length[laneOf(p, npat)] += pd->patternWeight[p] != 0.0;
    const uint32_t weighted = lanes.length[0] + lanes.length[1] + lanes.length[2] + lanes.length[3];
    if (5 * uint64_t{npat - weighted} < npat || uint64_t{ntax} * npat > kMostCells) {
        std::fill(lanes.length, lanes.length + 4, 0u);
        return;
    }
    lanes.stride = *std::max_element(lanes.length, lanes.length + 4);
    lanes.weights.assign(4 * size_t{lanes.stride}, 0.0);
    lanes.rows.assign(4 * size_t{ntax} * lanes.stride, 0);
    uint32_t at[4] = {0, 0, 0, 0};
    for (uint32_t p = 0; p < npat; ++p) {
        if (pd->patternWeight[p] == 0.0)
            continue;
        const uint32_t lane = laneOf(p, npat);
        const size_t k = size_t{lane} * lanes.stride + at[lane]++;
        lanes.weights[k] = pd->patternWeight[p];
        for (uint32_t t = 0; t < ntax; ++t)
            lanes.rows[4 * size_t{t} * lanes.stride + k] = pd->rows[t][p];
    }
}

}  // namespace

double calcFxy(DCalcData *cd, uint32_t i, uint32_t j, const SitePatternData *pd, bool inferMissing, double **F,
               double **C, const double *freqs, double **W)
{
    const uint32_t n = cd->n, nc = std::max(pd->ncodes, n + 1);
    const size_t cells = size_t{nc} * nc;
    // Four interleaved tables keep consecutive patterns that hit the same
    // cell (identical sites, mostly) from waiting on each other's sums.
    if (cd->pairTable.size() < 4 * cells)
        cd->pairTable.resize(4 * cells);
    double *t0 = cd->pairTable.data(), *t1 = t0 + cells, *t2 = t1 + cells, *t3 = t2 + cells;
    std::fill(t0, t0 + 4 * cells, 0.0);
    if (cd->lanes.patterns != pd)
        layOutWeightedLanes(cd->lanes, pd);
    if (const DCalcData::WeightedLanes &lanes = cd->lanes; lanes.stride > 0) {
        // Each table takes the same weights in the same order as below,
        // less the zeros, which would leave its sums as they are.
        const size_t s = lanes.stride;
        const uint8_t *ri = lanes.rows.data() + 4 * i * s, *rj = lanes.rows.data() + 4 * j * s;
        const double *w = lanes.weights.data();
        const uint32_t both = *std::min_element(lanes.length, lanes.length + 4);
        for (uint32_t k = 0; k < both; ++k) {
            t0[ri[k] * nc + rj[k]] += w[k];
            t1[ri[s + k] * nc + rj[s + k]] += w[s + k];
            t2[ri[2 * s + k] * nc + rj[2 * s + k]] += w[2 * s + k];
            t3[ri[3 * s + k] * nc + rj[3 * s + k]] += w[3 * s + k];
        }
        double *tables[4] = {t0, t1, t2, t3};
        for (uint32_t lane = 0; lane < 4; ++lane)
            for (size_t k = lane * s + both; k < lane * s + lanes.length[lane]; ++k)
                tables[lane][ri[k] * nc + rj[k]] += w[k];
    } else {
        const uint8_t *ri = pd->rows[i], *rj = pd->rows[j];
        const double *w = pd->patternWeight;
        const uint32_t npat = pd->npat;
        uint32_t p = 0;
        for (; p + 4 <= npat; p += 4) {
            t0[ri[p] * nc + rj[p]] += w[p];
            t1[ri[p + 1] * nc + rj[p + 1]] += w[p + 1];
            t2[ri[p + 2] * nc + rj[p + 2]] += w[p + 2];
            t3[ri[p + 3] * nc + rj[p + 3]] += w[p + 3];
        }
        for (; p < npat; ++p)
            t0[ri[p] * nc + rj[p]] += w[p];
    }
    for (size_t k = 0; k < cells; ++k)
        t0[k] += t1[k] + t2[k] + t3[k];

    double total = 0.0;
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < n; ++b) {
            C[a][b] = t0[a * nc + b];
            total += C[a][b];
        }
    cd->ambiguous.clear();
    if (inferMissing)
        for (uint32_t a = 0; a < nc; ++a)
            for (uint32_t b = 0; b < nc; ++b) {
                const double weight = t0[a * nc + b];
                if (weight != 0.0 && (a >= n || b >= n) && !(a == n && b == n))
                    cd->ambiguous.push_back({static_cast<uint8_t>(a), static_cast<uint8_t>(b), weight});
            }

    if (total == 0.0) {
        if (cd->nNoShared++ == 0) {
            cd->noSharedPair[0] = std::min(i, j);
            cd->noSharedPair[1] = std::max(i, j);
        }
        if (cd->taxonSubset && i < cd->taxonSubset->capacity)
            removeSetMember(cd->taxonSubset, i);
        return 0.0;
    }

    bool adjusted = false;
    if (!cd->ambiguous.empty()) {
        adjusted = true;
        double *r = cd->rowSums.data(), *c = cd->colSums.data();
        std::fill(r, r + n, 0.0);
        std::fill(c, c + n, 0.0);
        for (uint32_t a = 0; a < n; ++a)
            for (uint32_t b = 0; b < n; ++b) {
                W[a][b] = C[a][b];
                F[a][b] = C[a][b] / total;
                r[a] += F[a][b];
                c[b] += F[a][b];
            }
        auto statesOf = [&](uint8_t code, const uint8_t *&list, uint32_t &count) {
            if (code < n) {
                list = &cd->stateCodes[code];
                count = 1;
            } else if (code == n) {
                list = cd->stateCodes.data();
                count = n;
            } else {
                const uint8_t *entry = pd->codeStateLists + pd->codeListOffset[code];
                count = entry[0];
                list = entry + 1;
            }
        };
        for (const AmbiguousPair &e : cd->ambiguous) {
            total += e.weight;
            const uint8_t *A = nullptr, *B = nullptr;
            uint32_t na = 0, nb = 0;
            statesOf(e.a, A, na);
            statesOf(e.b, B, nb);
            double s1 = 0.0, s2 = 0.0;
            for (uint32_t x = 0; x < na; ++x)
                for (uint32_t y = 0; y < nb; ++y) {
                    s1 += F[A[x]][B[y]];
                    s2 += r[A[x]] * c[B[y]];
                }
            if (s1 == 0.0 && s2 == 0.0) {
                total -= e.weight;
                continue;
            }
            for (uint32_t x = 0; x < na; ++x)
                for (uint32_t y = 0; y < nb; ++y)
                    W[A[x]][B[y]] += s1 != 0.0 ? F[A[x]][B[y]] * e.weight / s1 : r[A[x]] * c[B[y]] * e.weight / s2;
        }
    }
    if (dist.pInvar > 0.0 && (dist.removeFreq != 0 || freqs)) {
        if (!adjusted)
            for (uint32_t a = 0; a < n; ++a)
                std::copy(C[a], C[a] + n, W[a]);
        adjusted = true;
        const double m = dist.pInvar * total;
        for (uint32_t a = 0; a < n; ++a)
            W[a][a] -= dist.removeFreq == 0 ? freqs[a] * m : m / n;
        total -= m;
    }
    double **source = adjusted ? W : C;
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < n; ++b)
            F[a][b] = source[a][b] / total;
    return total;
}

namespace {

// Set when the distances of a bootstrap or jackknife replicate were all
// undefined; setDistances hands it on as -1, the code of an unusable sample.
bool gReplicateUnusable = false;

// Whether a simulation block is running, asked of the layer that runs them.
bool (*gInSimulation)() = nullptr;

bool inResamplingReplicate() { return gSearchState.replicatedKind == 1 || gSearchState.replicatedKind == -1; }

}  // namespace

int doUndefinedDistances(DMatrix *dm, DataInfo *d, bool quiet)
{
    const bool forLikelihood = dm == gDistancesForML;
    const bool replicate = inResamplingReplicate();
    // A replicate gets one line, not the warnings: a thousand replicates of
    // gappy data would otherwise bury the results.
    if (replicate) {
        const bool all = dm->maxDistance < 0.0 && !gAborted_.load();
        const uint32_t rep = gSearchState.outerRep > 0 ? gSearchState.outerRep - 1 : 0;
        const uint32_t units = std::max<uint32_t>(gSearchState.repsPerUnit, 1);
        qel_printf(all ? "   All %u distances are undefined in replicate %s\n"
                       : "   %u undefined distance(s) in replicate %s\n",
                   dm->nUndefined, searchRepString(rep / units + 1, rep % units, units).c_str());
    }
    if (forLikelihood && dm->maxDistance <= 0.0)
        return qel_errorMsg(815,
                            "All pairs of sequences are either identical or extremely divergent. This data set is "
                            "just too weird for maximum-likelihood analysis.");
    if (dm->maxDistance < 0.0 && replicate) {
        gReplicateUnusable = true;
        return -1;
    }
    // A simulated data set too divergent for any distance must not end the
    // block's remaining replicates: every pair gets the same distance.
    if (dm->maxDistance < 0.0 && gInSimulation && gInSimulation()) {
        for (uint32_t i = 1; i < dm->ntax; ++i)
            std::fill(dm->distances[i], dm->distances[i] + i, 1.0);
        dm->maxDistance = 1.0;
        gDistancesValid = true;
        return 0;
    }
    if (dm->maxDistance < 0.0)
        return qel_errorMsg(816, "All %s are undefined.", dist.subst == kSubstTRatio ? "ti/tv ratios" : "distances");
    const double replacement = dm->maxDistance * dist.undefMult;
    dm->maxDistance = replacement;
    if (!quiet && !forLikelihood && !replicate && dist.subst != kSubstTRatio) {
        if (dm->nNoShared)
            qel_warningMsg(0,
                           "%d taxon pair(s) had no shared unambiguous sites.  Distances for these pairs will be set "
                           "to \"undefined\".  The first such taxon pair was %d (%s) and %d (%s).",
                           static_cast<int>(dm->nNoShared), static_cast<int>(getTaxNum(d, dm->noSharedPair[0])),
                           getTaxLabel(d, dm->noSharedPair[0]), static_cast<int>(getTaxNum(d, dm->noSharedPair[1])),
                           getTaxLabel(d, dm->noSharedPair[1]));
        if (dm->nNoOptimum)
            qel_warningMsg(0,
                           "%d taxon pair(s) have no finite maximum-likelihood distance under the model parameters "
                           "estimated for each pair: the likelihood of the pair goes on rising as the distance grows "
                           "(and the gamma shape falls).  Distances for these pairs will be set to \"undefined\".",
                           static_cast<int>(dm->nNoOptimum));
        char times[32];
        std::snprintf(times, sizeof times, "%g times", dist.undefMult);
        qel_warningMsg(817,
                       "Distance matrix contains %d undefined distance(s). These have been arbitrarily set to %s the "
                       "maximum defined distance (=> %f).",
                       static_cast<int>(dm->nUndefined), times, replacement);
    }
    for (uint32_t i = 1; i < dm->ntax; ++i)
        for (uint32_t j = 0; j < i; ++j)
            if (dm->distances[i][j] < 0.0)
                dm->distances[i][j] = replacement;
    return 0;
}

int updateDistProgress(ProgData *progress)
{
    if (progress)
        incrementProgressValue(progress);
    return gAborted_.load() && confirmAbortRequest() ? 2 : 0;
}

void installMLDistanceHooks(const MLDistanceHooks &hooks) { gMLDistanceHooks = hooks; }
void installSimulationQuery(bool (*inSimulation)()) { gInSimulation = inSimulation; }

int calcDistThreadProc(void *arg)
{
    auto *cd = static_cast<DCalcData *>(arg);
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    int status;
    cd->dm->nNoOptimum = 0;
    if (cd->type == kDistML)
        status = gMLDistanceHooks.calcMLDistances
                     ? gMLDistanceHooks.calcMLDistances(cd, d)
                     : qel_errorMsg(0, "The distance requested (%s) is not available yet.", distTypeName(kDistML));
    else if (hasNucleotideData(d) && isDnaDistType(cd->type))
        status = nucleotideDistances(cd, d);
    else if (cd->type == kDistTotal || cd->type == kDistMean)
        status = characterDifferences(cd, d);
    else
        status = otherDataDistances(cd, d);
    if (status != 0)
        return status;
    // Road C matrices are computed afresh on every request.
    // So are ML distances, which follow the likelihood settings.
    const bool roadC = (!(hasNucleotideData(d) && isDnaDistType(cd->type)) && cd->type != kDistTotal &&
                        cd->type != kDistMean) ||
                       cd->type == kDistML;
    if (cd->dm->nUndefined && (status = doUndefinedDistances(cd->dm, d, cd->quiet)) != 0)
        return status;
    if (!roadC)
        gDistancesValid = true;
    return 0;
}

int checkNStatesValidDna(const Model *model, DataInfo *d)
{
    const uint32_t n = model ? numDataStates(model) : 0;
    if (n == 2)
        return 0;
    if (n == 4 && initPatternData(d) == 0 && activeModelGroup()->patterns) {
        const SitePatternData *pd = activeModelGroup()->patterns;
        bool seen[4] = {false, false, false, false};
        for (uint32_t t = 0; t < pd->ntax; ++t)
            for (uint32_t p = 0; p < pd->npat; ++p)
                if (pd->rows[t][p] < 4 && pd->patternWeight[p] > 0.0)
                    seen[pd->rows[t][p]] = true;
        if (seen[0] && seen[1] && seen[2] && seen[3])
            return 0;
    }
    return qel_errorMsg(819,
                        "In this context, VORN requires presence of either all 4 bases, or a recoding into purines "
                        "(A,G) versus pyrimidines (CT).");
}

int checkDistType(uint32_t type, bool inTreeSearch, DataInfo *d)
{
    type = resolveDistType(type);
    if (!d)
        return 1;
    // With only a DISTANCES block there is nothing to compute from; left to
    // the data preparation this would fail for want of sites, or the user
    // matrix would be used under another distance's name.
    if (type != kDistUser && !(d->flags & kHaveCharacters))
        return qel_errorMsg(0,
                            "The distance requested (%s) needs character data, but only a DISTANCES block has been "
                            "read.\tUse \"DSet distance=user\" to analyse its matrix.",
                            distTypeName(type));
    setDistanceModelData(d);
    if (prepareForDistCalc(d) != 0 || checkCharStatusUpdate(d) != 0)
        return 1;
    const char *name = distTypeName(type);
    const bool nuc = hasNucleotideData(d), aa = hasAminoAcidData(d);
    if (type == kDistML)
        return nuc || aa ? 0 : qel_errorMsg(802, "The distance requested (%s) requires nucleotide or amino-acid data.", name);
    if (((type >= kDistTajNei && type <= kDistK3P) || type == kDistCustom) && !nuc)
        return qel_errorMsg(801, "The distance requested (%s) requires nucleotide (DNA/RNA) data.", name);
    if (dist.distance == kDistUser && !gUserDistances)
        return qel_errorMsg(813, "Current distance type is 'user' but no user-defined distance matrix is available.");
    if (nuc || aa) {
        if (dist.pInvar > 0.0 && dist.removeFreq == 0 && dist.estFreq == 1) {
            if (initPatternData(d) != 0)
                return 1;
            if (!activeModelGroup()->patterns->hasConstant)
                return qel_errorMsg(803,
                                    "You requested removal of constant sites in proportion to base frequencies at "
                                    "constant sites but there are no constant sites.");
        }
        if (dist.rates == 1 && isGammaDist(nullptr, type, d) == 0)
            return qel_errorMsg(804, "Gamma-distributed rates are not allowed with %s distances.", name);
        if (inTreeSearch && dist.subst == kSubstTRatio)
            return qel_errorMsg(807, "You cannot use \"ti/tv ratios\" in the current context.");
        if (aa)
            return 0;
        if (isRYCoding(d)) {
            if (type > kDistF81 && type != kDistLogDet)
                return qel_errorMsg(810,
                                    "The distance requested (%s) is not valid when the data have been reduced to two "
                                    "character states.",
                                    name);
            if (dist.subst == kSubstTRatio)
                return qel_errorMsg(811,
                                    "Estimation of ti/tv ratio is not possible when the data have been reduced to two "
                                    "character states.");
        } else if (dist.subst != kSubstAll && isTiTvDist(nullptr, type, d) == 0) {
            if (dist.subst == kSubstTRatio)
                return qel_errorMsg(808, "Estimation of ti/tv ratio is unavailable for the distance requested (%s)",
                                    name);
            return qel_errorMsg(809,
                                "Separate estimation of transitions versus transversions is unavailable for the "
                                "distance requested (%s)",
                                name);
        }
        return 0;
    }
    if (isRestSiteDistType(type))
        for (uint32_t c = 0; c < d->nchar; ++c)
            if (isCharIncluded(d, c) && !isPresenceAbsenceChar(d, c))
                return qel_errorMsg(812,
                                    "The distance requested (%s) requires presence-absence data (0/1 or -/+) for all "
                                    "(non-excluded) characters.",
                                    name);
    return 0;
}

void setDistanceModelData(DataInfo *d, bool forLikelihood)
{
    if (!d || !(d->flags & kHaveCharacters))
        return;
    Model *m = getDefaultModel();
    uint32_t type = kModelMkv, n = std::min<uint32_t>(d->nstates, kMaxModelStates);
    const char *symbols = d->symbols;
    // Starting distances for a likelihood that reads nucleotides as Mk
    // characters take the data as that likelihood does: made nucleotide
    // here, the model would score the Mk patterns as nucleotides from then on.
    const bool mkForLikelihood = forLikelihood && m->type == kModelMkv;
    if (hasNucleotideData(d) && !mkForLikelihood) {
        const bool ry = isRYCoding(d);
        type = ry ? kModelRY : kModelNucleotide;
        n = ry ? 2 : 4;
        symbols = ry ? "RY" : "ACGT";
    } else if (hasAminoAcidData(d)) {
        type = kModelAminoAcid;
        n = 20;
        symbols = kAminoAcidStates;
    }
    // The conversion of data codes belongs to the data now loaded: a model
    // left as it was by other code (or by earlier data of the same shape)
    // may still carry the conversion chosen for earlier data, e.g. purines
    // against pyrimidines for a data set that held only A and C.
    ModelGroup *g = activeModelGroup();
    const DataCodeToStateFxn toState = chooseDataCodeToState(type, d, false);
    if (m->type == type && m->nstates == n && std::strncmp(m->symbols, symbols, n) == 0 &&
        g->dataCodeToState == toState)
        return;
    if (m->type != type || m->nstates != n || std::strncmp(m->symbols, symbols, n) != 0) {
        m->type = type;
        m->nstates = n;
        std::snprintf(m->symbols, sizeof m->symbols, "%.*s", static_cast<int>(n), symbols);
        for (uint32_t s = 0; s < n; ++s)
            m->freqs[s] = 1.0 / n;
        // The likelihood applies its settings to the model again.
        m->needsInit = 1;
    }
    g->dataCodeToState = toState;
    invalidateSitePatternData(true);
}

int calcDistanceMatrix(DataInfo *d, uint32_t type, bool forLikelihood, bool quiet, bool skipChecks,
                       Set *taxonSubset, DMatrix **slot)
{
    if (!d)
        return 1;
    DistSettingsGuard guard;
    setDistanceModelData(d, forLikelihood);
    Model *model = getDefaultModel();
    if (forLikelihood) {
        // Until the likelihood settings are linked in, starting distances
        // assume equal rates and no invariable sites.
        dist.pInvar = 0.0;
        dist.rates = 0;
        type = resolveDistType(type);
    } else {
        type = resolveDistType(type);
        if (needsNStatesCheck(type) && checkNStatesValidDna(model, d) != 0)
            return 1;
        if (!skipChecks && checkDistType(type, false, d) != 0)
            return 1;
    }
    DMatrix *dm = checkDMatrixAlloc(slot, activeTaxa(d));
    if (!dm)
        return 1;
    bool matches = false;
    if (type == kDistML ? currentMLMatrix(dm, type, d, &matches) : reuseStoredMatrix(dm, type, d, &matches))
        return 0;
    if (!matches) {
        dataServices().forgetLastTreeOptimized();
        gDistancesValid = false;
    }
    saveDistSettings(dm, type, d);
    const uint32_t nstates = hasNucleotideData(d) || hasAminoAcidData(d) ? numDataStates(model)
                                                                         : std::max<uint32_t>(numDataStates(model), 1);
    // A replicate's matrix is one step of the resampling run, which keeps
    // the progress and owns the interrupt: a progress record or busy mode of
    // its own would drop an interrupt typed while the replicate was drawn.
    const bool ownRun = !inResamplingReplicate();
    DCalcData *cd = createDCalcData(type, model, dm, nstates, taxonSubset, forLikelihood, ownRun, quiet);
    if (!cd)
        return 1;
    if (ownRun)
        setBusyMode(true);
    const int status = runSecondaryThread(calcDistThreadProc, cd);
    finishProgress(cd->progress);
    if (ownRun)
        setBusyMode(false);
    destroyDCalcData(cd);
    dm->setUpStamp = 0;
    if (status == 0)
        dataServices().forgetLastTreeOptimized();
    else
        dm->type = kCurrentDistType;
    // A whole maximum-likelihood matrix stands for the set-up and data it
    // was computed from (the calculation may have made the set-up itself).
    if (status == 0 && type == kDistML && taxonSubset == nullptr && gMLDistanceHooks.setUpStamp) {
        dm->inputsGeneration = distanceInputsGeneration();
        dm->setUpStamp = gMLDistanceHooks.setUpStamp();
    }
    ++gMatricesComputed;
    return status;
}

int setDistances(uint32_t matrixChoice, bool computeIfNeeded, DataInfo *d)
{
    if (!d)
        return 1;
    const uint32_t type = dist.distance;
    if (isDnaDistance(type, d) && type != kDistML) {
        setDistanceModelData(d);
        if (initPatternData(d) != 0)
            return gAborted_.load() ? 2 : 1;
        if (needsNStatesCheck(type) && checkNStatesValidDna(getDefaultModel(), d) != 0)
            return 1;
    }
    if (type == kDistUser && checkDistType(type, false, d) != 0)
        return 1;
    gReplicateUnusable = false;
    if (!getDMatrix(matrixChoice, d, !computeIfNeeded))
        return gAborted_.load() ? 2 : std::exchange(gReplicateUnusable, false) ? -1 : 1;
    // The distance matrix is here to build or score trees, which ti/tv
    // ratios are not: refuse them rather than fit a tree to them.
    return checkDistType(type, matrixChoice == kDMatrixForDistance, d);
}

ModelGroup *distanceGroupToReweight(DataInfo *d)
{
    if (!d || !(d->flags & kHaveCharacters))
        return nullptr;
    const uint32_t type = resolveDistType(dist.distance);
    const bool fromPatterns = hasNucleotideData(d) ? isDnaDistType(type) && type != kDistML
                                                   : type == kDistP || type == kDistJC || type == kDistF81 ||
                                                         type == kDistLogDet;
    ModelGroup *g = activeModelGroup();
    if (!fromPatterns || !isSitePatternDataValid(g) || !g->patterns || !g->groupPatternWeight ||
        !g->siteToGroupPattern || g->ngrp == 0)
        return nullptr;
    return g;
}

int distanceCharWeightsChanged(DataInfo *d)
{
    refreshGroupPatternWeights(activeModelGroup(), d);
    invalidateEmpirStateFreqs();
    invalidateDistances();
    // Other data keep parsimony state sets made from the weights a set-up
    // last saw; nothing of a replicate reads them, but they are stale.
    if (!hasNucleotideData(d))
        dataServices().setNeedParsPrep(1);
    return dataServices().setDistances(d);
}
