#include "data/data_services.h"

#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"

namespace {

// Factory answers and no-ops: with nothing installed the data set behaves as
// in a program that has no trees, packed data, models or distances yet.
constexpr DataServices kDefaults = {
    .criterion = [] { return kCriterionParsimony; },
    .gapMode = [] { return kGapModeMissing; },
    .msTaxa = [] { return kMsTaxaUncertain; },
    .currentAncestralStates = [](const DataInfo *) -> const uint8_t * { return nullptr; },
    .inPythonBlock = [] { return false; },
    .setStatusText = [](const char *) {},
    .clearStatusText = [] {},
    .destroyTreeBuffer = [](TreeBuffer *) {},
    .numTreesInBuffer = [](const TreeBuffer *) -> uint32_t { return 0; },
    .createPrimaryTree = [](DataInfo *) { return 0; },
    .allocMainTreeBuffer = [](uint32_t, uint32_t, bool) { return 0; },
    .getMaxtreesValue = []() -> uint32_t { return 100; },
    .releasePrimaryTree = [] {},
    .flagPrimaryTreeTaxonChange = [] {},
    .clearTrees = [](int, int) {},
    .deleteTreeSets = [](int) {},
    .deallocAllConstraints = [] {},
    .deallocSpecialTreeData = [] {},
    .getTreeBufferCapacity = [](const TreeBuffer *) -> uint32_t { return 0; },
    .haveTreeWeights = [](const TreeBuffer *) { return false; },
    .allocBranchLens = [](TreeBuffer *) { return 0; },
    .treeFilterInEffect = [] { return false; },
    .haveUserBranchLengths = [] { return false; },
    .pruneTree = [](TreeBuffer *, uint32_t, const DataInfo *, bool) { return -1; },
    .disposeSupportValues = [](TreeBuffer *) {},
    .forgetLastTreeOptimized = [] {},
    .replacePrimaryTree = [] { return 0; },
    .setNeedParsPrep = [](int) {},
    .parsIncludeAnc = [] { return false; },
    .getPkdType = [](uint32_t c, const DataInfo *d) -> uint32_t {
        uint32_t type = d->status[c] & kCharTypeMask;
        return type == kCharUnordered && d->obsCount && d->obsCount[c] <= 2 ? kCharOrdered : type;
    },
    .isAsymmetricUserType = [](uint32_t, const DataInfo *) { return false; },
    .deallocPackedData = [](DataInfo *) {},
    .deallocParsimonyRecord = [](DataInfo *) {},
    .releaseParsFxns = [](DataInfo *) {},
    .checkParsimonySettings = [](DataInfo *) { return 0; },
    .parsPrepLevel = [] { return 0; },
    .altParsPrepPending = [] { return false; },
    .packPrelim = [](DataInfo *) { return 0; },
    .packFinish = [](DataInfo *) { return 0; },
    .altParsPrep = [](DataInfo *) { return 0; },
    .finalParsPrep = [](DataInfo *, int) { return 0; },
    .criterionText = []() -> const char * { return "parsimony"; },
    .setBootJackNChar = [](uint32_t) {},
    .deallocDistanceStorage = [](int) {},
    .markUserDistancesForAdjustment = [] {},
    .isDnaDistance = [](const DataInfo *) { return true; },
    .isMLDistance = [] { return false; },
    .distanceNeedsSitePatterns = [] { return false; },
    .setDistances = [](DataInfo *) {
        return qel_errorMsg(0, "Distance computations are not available in this program.");
    },
    .initModelData = [](DataInfo *, int) { return 0; },
    .initializeML = [](DataInfo *, uint32_t) {
        return qel_errorMsg(0, "Likelihood computations are not available in this program.");
    },
    .refreshPrimaryTreeTaxa = [](DataInfo *) {},
    .disposeML = [](int) {},
    .createModelList = [](int) { return 0; },
    .destroyModelList = [] {},
    .deallocAllModelGroupData = [](int, int) {},
    .forceReinitAllModels = [] {},
    .resetLikelihoodSetting = [] {},
    .clearScoreOptions = [] {},
    .invalidateSitePatterns = [](DataInfo *) {},
    .deallocAllSimData = [] {},
    .deallocQuartetData = [](QuartetData *) -> QuartetData * { return nullptr; },
    .deleteAssumptionSets = [] {},
    .charPartitionDestroyed = [](const Nexset *) {},
    .clearCharPartitionRefs = [] {},
    .deallocUserTypes = [] {},
    .releasePairDiffTaxa = [] {},
    .forgetDefaultOutputFileNames = [] {},
};

DataServices gServices = kDefaults;

template <typename F>
void take(F &slot, F given)
{
    if (given)
        slot = given;
}

}  // namespace

void installDataServices(const DataServices &s)
{
    DataServices &g = gServices;
    take(g.criterion, s.criterion);
    take(g.gapMode, s.gapMode);
    take(g.msTaxa, s.msTaxa);
    take(g.currentAncestralStates, s.currentAncestralStates);
    take(g.inPythonBlock, s.inPythonBlock);
    take(g.setStatusText, s.setStatusText);
    take(g.clearStatusText, s.clearStatusText);
    take(g.destroyTreeBuffer, s.destroyTreeBuffer);
    take(g.numTreesInBuffer, s.numTreesInBuffer);
    take(g.createPrimaryTree, s.createPrimaryTree);
    take(g.allocMainTreeBuffer, s.allocMainTreeBuffer);
    take(g.getMaxtreesValue, s.getMaxtreesValue);
    take(g.releasePrimaryTree, s.releasePrimaryTree);
    take(g.flagPrimaryTreeTaxonChange, s.flagPrimaryTreeTaxonChange);
    take(g.clearTrees, s.clearTrees);
    take(g.deleteTreeSets, s.deleteTreeSets);
    take(g.deallocAllConstraints, s.deallocAllConstraints);
    take(g.deallocSpecialTreeData, s.deallocSpecialTreeData);
    take(g.getTreeBufferCapacity, s.getTreeBufferCapacity);
    take(g.haveTreeWeights, s.haveTreeWeights);
    take(g.allocBranchLens, s.allocBranchLens);
    take(g.treeFilterInEffect, s.treeFilterInEffect);
    take(g.haveUserBranchLengths, s.haveUserBranchLengths);
    take(g.pruneTree, s.pruneTree);
    take(g.disposeSupportValues, s.disposeSupportValues);
    take(g.forgetLastTreeOptimized, s.forgetLastTreeOptimized);
    take(g.replacePrimaryTree, s.replacePrimaryTree);
    take(g.setNeedParsPrep, s.setNeedParsPrep);
    take(g.parsIncludeAnc, s.parsIncludeAnc);
    take(g.getPkdType, s.getPkdType);
    take(g.isAsymmetricUserType, s.isAsymmetricUserType);
    take(g.deallocPackedData, s.deallocPackedData);
    take(g.deallocParsimonyRecord, s.deallocParsimonyRecord);
    take(g.releaseParsFxns, s.releaseParsFxns);
    take(g.checkParsimonySettings, s.checkParsimonySettings);
    take(g.parsPrepLevel, s.parsPrepLevel);
    take(g.altParsPrepPending, s.altParsPrepPending);
    take(g.packPrelim, s.packPrelim);
    take(g.packFinish, s.packFinish);
    take(g.altParsPrep, s.altParsPrep);
    take(g.finalParsPrep, s.finalParsPrep);
    take(g.criterionText, s.criterionText);
    take(g.setBootJackNChar, s.setBootJackNChar);
    take(g.deallocDistanceStorage, s.deallocDistanceStorage);
    take(g.markUserDistancesForAdjustment, s.markUserDistancesForAdjustment);
    take(g.isDnaDistance, s.isDnaDistance);
    take(g.isMLDistance, s.isMLDistance);
    take(g.distanceNeedsSitePatterns, s.distanceNeedsSitePatterns);
    take(g.setDistances, s.setDistances);
    take(g.initModelData, s.initModelData);
    take(g.initializeML, s.initializeML);
    take(g.refreshPrimaryTreeTaxa, s.refreshPrimaryTreeTaxa);
    take(g.disposeML, s.disposeML);
    take(g.createModelList, s.createModelList);
    take(g.destroyModelList, s.destroyModelList);
    take(g.deallocAllModelGroupData, s.deallocAllModelGroupData);
    take(g.forceReinitAllModels, s.forceReinitAllModels);
    take(g.resetLikelihoodSetting, s.resetLikelihoodSetting);
    take(g.clearScoreOptions, s.clearScoreOptions);
    take(g.invalidateSitePatterns, s.invalidateSitePatterns);
    take(g.deallocAllSimData, s.deallocAllSimData);
    take(g.deallocQuartetData, s.deallocQuartetData);
    take(g.deleteAssumptionSets, s.deleteAssumptionSets);
    take(g.charPartitionDestroyed, s.charPartitionDestroyed);
    take(g.clearCharPartitionRefs, s.clearCharPartitionRefs);
    take(g.deallocUserTypes, s.deallocUserTypes);
    take(g.releasePairDiffTaxa, s.releasePairDiffTaxa);
    take(g.forgetDefaultOutputFileNames, s.forgetDefaultOutputFileNames);
}

void resetDataServices() { gServices = kDefaults; }

const DataServices &dataServices() { return gServices; }
