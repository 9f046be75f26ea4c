#include "distance/distance_hooks.h"

#include "data/data_services.h"
#include "data/patterns.h"
#include "data/vorn_util.h"
#include "distance/dcalc.h"
#include "distance/dmatrix.h"
#include "distance/lsfit.h"
#include "distance/pairdiff.h"
#include "search/swap.h"

int installDistanceHooks()
{
    DataServices s{};
    s.deallocDistanceStorage = [](int all) {
        // The fit context borrows the matrix: it goes with it.
        gLSData = destroyLSData(gLSData);
        deallocDistanceStorage(all);
    };
    s.markUserDistancesForAdjustment = [] { adjustUserDMatrix = true; };
    s.isDnaDistance = [](const DataInfo *d) { return isDnaDistance(kCurrentDistType, d); };
    s.isMLDistance = [] { return dist.distance == kDistML; };
    s.distanceNeedsSitePatterns = [] { return distanceNeedsSitePatterns(kCurrentDistType); };
    s.setDistances = [](DataInfo *d) { return setDistances(kDMatrixForDistance, true, &gLSData, d); };
    s.invalidateDistances = invalidateDistances;
    s.isStdDistance = [](const DataInfo *d) { return isStdDistance(dist.distance, d); };
    s.releasePairDiffTaxa = releasePairDiffTaxa;
    PatternServices p{};
    p.invalidateDistances = invalidateDistances;
    installPatternServices(p);
    installTreeScoreFxns({nullptr, nullptr, hsCalcDistanceFitForTree});
    installCriterionTreeScoreFxn(kCriterionDistance, hsCalcDistanceFitForTree);
    installCriterionLengthsFxn(kCriterionDistance,
                               [](Tree *tree, double bound) { return calcDistanceFitForTree(nullptr, tree, true, bound); });
    installCriterionCollapseFxns(kCriterionDistance,
                                 {[] { return dist.dCollapse != 0; }, collapseZeroLengthEdges, "branch length is zero"});
    return installDataServices(s);
}
