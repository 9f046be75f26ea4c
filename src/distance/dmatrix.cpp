#include "distance/dmatrix.h"

#include <algorithm>

#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "distance/dcalc.h"
#include "distance/pairdiff.h"
#include "qel/qel_malloc.h"
#include "qel/qel_matrices.h"

DMatrix *gComputedDistances = nullptr;
DMatrix *gUserDistances = nullptr;
DMatrix *gDistancesForML = nullptr;
bool gDistancesValid = false;
namespace {
uint64_t gInputsGeneration = 1;
}  // namespace
bool adjustUserDMatrix = false;

const char *const kDistanceTypeNames[kNumDistanceTypes] = {
    "user-input", "total character difference", "mean character difference", "absolute",
    "uncorrected (\"p\")", "Jukes-Cantor", "F81", "Tajima-Nei", "Kimura 2-parameter", "F84", "HKY85",
    "Kimura 3-parameter", "Tamura-Nei", "general time-reversible", "custom EIr", "maximum-likelihood",
    "LogDet/paralinear", "Upholt", "Nei-Li (sites)", "Nei-Li (fragments)"};

const char *distTypeName(uint32_t type)
{
    type = resolveDistType(type);
    return type < kNumDistanceTypes ? kDistanceTypeNames[type] : "";
}

namespace {

double **newHalfMatrix(uint32_t n) { return allocHalfMatrixOf<double>(n, false); }

void copyHalf(double **from, double **to, uint32_t n)
{
    for (uint32_t i = 1; i < n; ++i)
        std::copy(from[i], from[i] + i, to[i]);
}

}  // namespace

DMatrix *createDMatrix(uint32_t ntax)
{
    auto *dm = static_cast<DMatrix *>(allocBlock(sizeof(DMatrix)));
    if (!dm)
        return nullptr;
    dm->distances = newHalfMatrix(std::max<uint32_t>(ntax, 1));
    if (!dm->distances) {
        deallocBlock(dm);
        return nullptr;
    }
    dm->type = kCurrentDistType;
    dm->ntax = dm->ntaxAlloc = ntax;
    return dm;
}

DMatrix *destroyDMatrix(DMatrix *dm)
{
    if (!dm)
        return nullptr;
    deallocHalfMatrix(dm->distances);
    deallocHalfMatrix(dm->asReadDistances);
    deallocHalfMatrix(dm->weights);
    deallocHalfMatrix(dm->asReadWeights);
    deallocBlock(dm);
    return nullptr;
}

DMatrix *checkDMatrixAlloc(DMatrix **slot, uint32_t ntax)
{
    if (*slot && (*slot)->ntax == ntax)
        return *slot;
    *slot = destroyDMatrix(*slot);
    *slot = createDMatrix(ntax);
    return *slot;
}

void deallocDistanceStorage(int withUser)
{
    gComputedDistances = destroyDMatrix(gComputedDistances);
    gDistancesForML = destroyDMatrix(gDistancesForML);
    if (withUser)
        gUserDistances = destroyDMatrix(gUserDistances);
    invalidateDistances();
}

void invalidateDistances()
{
    gDistancesValid = false;
    ++gInputsGeneration;
}

uint64_t distanceInputsGeneration() { return gInputsGeneration; }

DMatrix *getDMatrix(uint32_t kind, DataInfo *d, bool noCompute)
{
    const uint32_t ntax = d && d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0;
    if (kind == kDMatrixForLikelihood)
        return checkDMatrixAlloc(&gDistancesForML, ntax);
    if (dist.distance != kDistUser && d && (d->flags & kHaveCharacters)) {
        if (!checkDMatrixAlloc(&gComputedDistances, ntax))
            return nullptr;
        setDistanceModelData(d);  // before the patterns are built for it
        if (prepareForDistCalc(d) != 0)
            return nullptr;
        if (noCompute)
            return gComputedDistances;
        if ((dist.distance == kDistTotal || dist.distance == kDistMean) &&
            prepareData(kPrepParsimony, 0, false) != 0)
            return nullptr;
        if (calcDistanceMatrix(d, kCurrentDistType, false, false, false, nullptr, &gComputedDistances) != 0)
            return nullptr;
        return gComputedDistances;
    }
    if (!gUserDistances) {
        checkDistType(kDistUser, false, d);  // reports that there is none
        return nullptr;
    }
    // The user matrix is never reallocated here: once taxa are deleted it
    // holds fewer active rows than it was read with, and a fresh matrix
    // would lose the distances the user gave.
    return checkUserDMatrix(gUserDistances, d) == 0 ? gUserDistances : nullptr;
}

int checkUserDMatrix(DMatrix *dm, DataInfo *d)
{
    if (!adjustUserDMatrix || !dm || !d)
        return 0;
    adjustUserDMatrix = false;
    const uint32_t n = dm->ntaxAlloc;
    const uint32_t active = d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0;
    if (n > active) {
        if (!dm->asReadDistances) {
            if (!(dm->asReadDistances = newHalfMatrix(n)))
                return 1;
            copyHalf(dm->distances, dm->asReadDistances, n);
            if (dm->weights) {
                if (!(dm->asReadWeights = newHalfMatrix(n)))
                    return 1;
                copyHalf(dm->weights, dm->asReadWeights, n);
            }
        }
        const uint32_t *full = d->taxa.activeToOriginal;
        auto at = [](double **m, uint32_t a, uint32_t b) { return a == b ? 0.0 : a > b ? m[a][b] : m[b][a]; };
        for (uint32_t i = 1; i < active; ++i)
            for (uint32_t j = 0; j < i; ++j) {
                const uint32_t fi = full ? full[i] : i, fj = full ? full[j] : j;
                dm->distances[i][j] = at(dm->asReadDistances, fi, fj);
                if (dm->weights && dm->asReadWeights)
                    dm->weights[i][j] = at(dm->asReadWeights, fi, fj);
            }
        dm->ntax = active;
    } else if (dm->asReadDistances && n > dm->ntax) {
        copyHalf(dm->asReadDistances, dm->distances, n);
        if (dm->weights && dm->asReadWeights)
            copyHalf(dm->asReadWeights, dm->weights, n);
        dm->ntax = n;
    }
    return 0;
}

void saveDistSettings(DMatrix *dm, uint32_t type, DataInfo *d)
{
    dm->type = resolveDistType(type);
    dm->shape = dist.shape;
    dm->pInvar = dist.pInvar;
    dm->undefMult = dist.undefMult;
    dm->rates = dist.rates;
    dm->baseFreq = dist.baseFreq;
    dm->subst = isTiTvDist(nullptr, dm->type, d) != 0 ? dist.subst : 0;
    const int32_t classes[6] = {dist.cAC, dist.cAG, dist.cAT, dist.cCG, dist.cCT, dist.cGT};
    for (uint32_t e = 0; e < 6; ++e)
        dm->classes[e] = static_cast<uint32_t>(classes[e]);
    dm->recSeqLen = static_cast<uint32_t>(dist.recSeqLen);
    dm->estFreq = dist.estFreq;
    dm->removeFreq = dist.removeFreq;
    dm->missDist = dist.missDist;
    dm->allSitesMean = dist.allSitesMean;
}

// ---------------------------------------------------------------------------
// Type tests

uint32_t resolveDistType(uint32_t type) { return type == kCurrentDistType ? dist.distance : type; }

bool hasNucleotideData(const DataInfo *d)
{
    return d && (d->flags & kHaveCharacters) && isDataTypeNucleotide(d->dataType);
}

bool hasAminoAcidData(const DataInfo *d)
{
    return d && (d->flags & kHaveCharacters) && d->dataType == kDataTypeProtein;
}

bool isDnaDistType(uint32_t type)
{
    type = resolveDistType(type);
    return type >= kDistAbs && type <= kDistLogDet;
}

bool isDnaDistance(uint32_t type, const DataInfo *d) { return isDnaDistType(type) && hasNucleotideData(d); }

bool isAADistType(uint32_t type)
{
    switch (resolveDistType(type)) {
    case kDistP:
    case kDistJC:
    case kDistML: return true;
    default: return false;
    }
}

bool isAADistance(uint32_t type, const DataInfo *d) { return isAADistType(type) && hasAminoAcidData(d); }

bool distanceNeedsSitePatterns(uint32_t type) { return isDnaDistType(type); }

bool isRestSiteDistType(uint32_t rawType) { return rawType >= kDistUpholt && rawType <= kDistNeiLiFrag; }

bool isStdDistance(uint32_t rawType, const DataInfo *d)
{
    return (rawType == kDistTotal || rawType == kDistMean) && d && (d->flags & kHaveCharacters);
}

bool isCodonDistance(uint32_t, const DataInfo *) { return false; }

int isGammaDist(const DMatrix *dm, uint32_t rawType, const DataInfo *d)
{
    if (!hasNucleotideData(d) || rawType < kDistJC || rawType > kDistCustom)
        return 0;
    return dm && dm->rates == 1 ? 1 : -1;
}

int isInvarDist(const DMatrix *dm, uint32_t type, const DataInfo *d)
{
    if (!hasNucleotideData(d) || type < kDistP || type > kDistLogDet || type == kDistML)
        return 0;
    return dm && dist.pInvar > 0.0 ? 1 : -1;
}

int isTiTvDist(const DMatrix *dm, uint32_t type, const DataInfo *d)
{
    type = resolveDistType(type);
    if (!hasNucleotideData(d) || type < kDistAbs || type > kDistCustom || type == kDistTajNei)
        return 0;
    if (isRYCoding(const_cast<DataInfo *>(d)))
        return 0;
    return dm && dm->subst != 0 ? static_cast<int>(dm->subst) : -1;
}
