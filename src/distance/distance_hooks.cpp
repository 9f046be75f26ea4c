#include "distance/distance_hooks.h"

#include <algorithm>
#include <cstdio>

#include "data/data_services.h"
#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "distance/cluster_cmd.h"
#include "distance/dcalc.h"
#include "distance/distance_settings.h"
#include "distance/dmatrix.h"
#include "distance/dset.h"
#include "distance/lsfit.h"
#include "distance/nj.h"
#include "distance/pairdiff.h"
#include "distance/userdist.h"
#include "qel/qel_errormsg.h"
#include "search/bootjack.h"
#include "search/critscore.h"
#include "search/search.h"
#include "search/starttree.h"
#include "trees/treeutil.h"

namespace {

// A search's starting tree: NJ on the matrix of the current criterion, left
// in the search's work tree. Under enforced constraints it skips the joins
// that break them; converse searches get a tree that keeps the constraint as
// well (NJ cannot aim at breaking it) and leave it to the swapping. Under a
// likelihood clock the start is the UPGMA tree, rooted as the search's trees
// are; UPGMA joins whatever is closest, so it cannot keep a constraint.
int buildNJStartTree(DataInfo *data, Tree *tree)
{
    if (!data || !tree)
        return 1;
    const bool upgma = upgmaStartTree(data);
    if (upgma && getTopolConstrained() != 0)
        return qel_errorMsg(0, "UPGMA starting trees cannot keep topological constraints; set START=STEPWISE or "
                               "ENFORCE=NO."),
               1;
    const uint32_t ntax = data->nActive > 0 ? static_cast<uint32_t>(data->nActive) : data->ntax;
    ClustData *cd = createClustData(data, tree, upgma, ntax, true, false);
    if (!cd)
        return 1;
    cd->constrained = getTopolConstrained() != 0;
    const int status = upgma ? makeUPGMATree(cd, nullptr, true) : makeNJTree(cd, true, false);
    destroyClustData(cd);
    return status;
}

// Branch and bound needs fits that only grow as taxa are added: least
// squares with negative lengths prohibited or allowed.
int refuseDistanceBandb()
{
    if (dist.objective != kObjectiveLsFit)
        return qel_errorMsg(536, "The minimum evolution objective function (including BME) is not permitted with "
                                 "branch-and-bound search.\tYou must change the objective function to least-squares "
                                 "for distance-based branch-and-bound."),
               1;
    if (dist.negBrLen == kNegBrLenSetZero || dist.negBrLen == kNegBrLenSetAbsVal)
        return qel_errorMsg(538, "The branch-and-bound method cannot be used with the \"set to zero\" or \"set to "
                                 "absolute value\" options for negative-branch-length handling."),
               1;
    return 0;
}

// Replicates draw characters (a draw of patterns would take other draws
// from the generator than the replicates of a set-up made afresh do); where
// the distance reads only the site patterns, the drawn weights are summed
// into them in place.
constexpr PatternResampleFxns kDistanceReweight{
    [](DataInfo *) -> ModelGroup * { return nullptr; },
    [](DataInfo *) {
        invalidateDistances();
        return 0;
    },
    distanceGroupToReweight, distanceCharWeightsChanged};

}  // namespace

int installDistanceHooks()
{
    setNJStartTreeFxn(buildNJStartTree);
    watchNexsetSlot(&dconOpt.partition, nullptr);
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
    installUserDistanceHooks();
    installResamplingDistanceFxns({checkResamplingDistances, clusterReplicates});
    installTreeScoreFxns({nullptr, nullptr, hsCalcDistanceFitForTree});
    // Searches under the distance criterion: every tree scored by its fit to
    // the matrix, lengths fitted on request (rooting, collapsing, describing).
    CriterionSearchFxns search{};
    search.score = hsCalcDistanceFitForTree;
    search.scoreWithLengths = [](Tree *tree, double bound) { return calcDistanceFitForTree(nullptr, tree, true, bound); };
    // Only lengths that cannot go negative make a zero length mean "no
    // branch": with negative lengths allowed or set to zero, a zero is a
    // fitted value like any other.
    search.collapseActive = [] { return dist.dCollapse != 0 && dist.negBrLen == kNegBrLenProhibit; };
    search.collapse = collapseZeroLengthEdges;
    search.collapseDescription = "branch length is zero";
    search.scoreLabel = [] {
        return dist.objective == kObjectiveBME  ? "Balanced-minimum-evolution (BME) score"
               : dist.objective == kObjectiveME ? "Minimum-evolution (OLS) score"
               : dist.power == 0.0              ? "Sum-of-squares"
                                                : "Weighted sum-of-squares";
    };
    search.lengthDecimals = [] { return std::clamp(dist.precision, 0, kMaxDistDecimals); };
    search.refuseBranchAndBound = refuseDistanceBandb;
    search.patternResample = &kDistanceReweight;
    search.criterionSuffix = [](char *buffer, size_t size) {
        char objective[160];
        std::snprintf(buffer, size, " (%s)", distObjFxnStr(objective, sizeof objective));
    };
    search.showSettings = [](int indent) { showDistSettings(false, false, true, nullptr, indent); };
    return installDataServices(s) | installCriterionSearchFxns(kCriterionDistance, search);
}
