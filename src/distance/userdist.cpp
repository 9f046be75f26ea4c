#include "distance/userdist.h"

#include <algorithm>

#include "data/data_services.h"
#include "data/distmatrix.h"
#include "data/vorn_data.h"
#include "distance/dmatrix.h"
#include "qel/qel_matrices.h"
#include "search/search_settings.h"

namespace {

// Distance becomes the criterion, announced only when it changes.
void selectDistanceCriterion()
{
    if (getOptimalityCriterion() == static_cast<uint32_t>(kCriterionDistance))
        return;
    setOptimalityCriterion(static_cast<uint32_t>(kCriterionDistance), false);
    initOptimalityCriterion(true);
}

}  // namespace

void installUserDistanceHooks()
{
    UserDistanceStore s{};
    // Each Matrix command starts a fresh record, so no weights or copies of
    // an earlier matrix survive beside the new distances.
    s.distances = [](uint32_t ntax) -> double ** {
        gUserDistances = destroyDMatrix(gUserDistances);
        DMatrix *dm = checkDMatrixAlloc(&gUserDistances, ntax);
        return dm ? dm->distances : nullptr;
    };
    s.allocWeights = []() -> double ** {
        if (!gUserDistances)
            return nullptr;
        deallocHalfMatrix(gUserDistances->weights);
        gUserDistances->weights = allocHalfMatrixOf<double>(std::max<uint32_t>(gUserDistances->ntaxAlloc, 1), false);
        return gUserDistances->weights;
    };
    s.haveDistances = [] { return gUserDistances != nullptr; };
    s.haveWeights = [] { return gUserDistances && gUserDistances->weights; };
    s.install = [](uint32_t nZero, double maxDistance, uint32_t decimals, bool adjust) {
        if (!gUserDistances)
            return;
        gUserDistances->type = kDistUser;
        gUserDistances->nZero = nZero;
        gUserDistances->maxDistance = maxDistance;
        gUserDistances->decimals = decimals;
        adjustUserDMatrix = adjust;
        dist.distance = kDistUser;
        invalidateDistances();
        selectDistanceCriterion();
    };
    s.destroy = [] { gUserDistances = destroyDMatrix(gUserDistances); };
    s.selectDistanceCriterion = selectDistanceCriterion;
    s.fitMeasureToData = [](uint32_t dataType) {
        const uint32_t before = dist.distance;
        if (dist.distance == kDistUser && !gUserDistances)
            dist.distance = kDistP;
        // Amino acids have their own p, JC and ML distances: a batch file
        // that chose one of those before reading a protein matrix must get
        // it, not the mean character difference. The other nucleotide
        // measures cannot be computed from amino acids.
        const bool kept = isDataTypeNucleotide(dataType) ||
                          (dataType == kDataTypeProtein && isAADistType(dist.distance));
        if (!kept && isDnaDistType(dist.distance))
            dist.distance = kDistMean;
        if (dist.distance != before)
            invalidateDistances();
    };
    installUserDistanceStore(s);
}
