#include "distance/distance_hooks.h"

#include "data/data_services.h"
#include "data/patterns.h"
#include "distance/dcalc.h"
#include "distance/dmatrix.h"
#include "distance/pairdiff.h"
#include "distance/userdist.h"

int installDistanceHooks()
{
    DataServices s{};
    s.deallocDistanceStorage = deallocDistanceStorage;
    s.markUserDistancesForAdjustment = [] { adjustUserDMatrix = true; };
    s.isDnaDistance = [](const DataInfo *d) { return isDnaDistance(kCurrentDistType, d); };
    s.isMLDistance = [] { return dist.distance == kDistML; };
    s.distanceNeedsSitePatterns = [] { return distanceNeedsSitePatterns(kCurrentDistType); };
    s.setDistances = [](DataInfo *d) { return setDistances(kDMatrixForDistance, true, d); };
    s.invalidateDistances = invalidateDistances;
    s.isStdDistance = [](const DataInfo *d) { return isStdDistance(dist.distance, d); };
    s.releasePairDiffTaxa = releasePairDiffTaxa;
    PatternServices p{};
    p.invalidateDistances = invalidateDistances;
    installPatternServices(p);
    installUserDistanceHooks();
    return installDataServices(s);
}
