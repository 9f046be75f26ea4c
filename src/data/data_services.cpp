#include "data/data_services.h"

#include "data/patterns.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"

namespace {

// Factory answers and no-ops: with nothing installed the data set behaves as
// in a program that has no trees, packed data, models or distances yet.
constexpr DataServices kDefaults = {
    .criterion = [] { return kCriterionParsimony; },
    .resetCriterionToParsimony = [] {},
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
    .criterionText = []() -> std::string { return "parsimony"; },
    .setBootJackNChar = [](uint32_t) {},
    .deallocDistanceStorage = [](int) {},
    .markUserDistancesForAdjustment = [] {},
    .isDnaDistance = [](const DataInfo *) { return true; },
    .isMLDistance = [] { return false; },
    .distanceNeedsSitePatterns = [] { return false; },
    .setDistances = [](DataInfo *) {
        return qel_errorMsg(0, "Distance computations are not available in this program.");
    },
    .invalidateDistances = [] {},
    .isStdDistance = [](const DataInfo *) { return false; },
    .initModelData = [](DataInfo *, int) { return 0; },
    .initializeML = [](DataInfo *, uint32_t) {
        return qel_errorMsg(0, "Likelihood computations are not available in this program.");
    },
    .refreshPrimaryTreeTaxa = [](DataInfo *) {},
    .disposeML = [](int) {},
    .deallocAllModelGroupData = [](int, int) {},
    .resetLikelihoodSetting = [] {},
    .clearScoreOptions = [] {},
    // A changed matrix or taxon status leaves no compressed pattern valid.
    .invalidateSitePatterns = [](DataInfo *) { invalidateSitePatternData(true); },
    .deallocAllSimData = [] {},
    .deallocQuartetData = [](QuartetData *) -> QuartetData * { return nullptr; },
    .deleteAssumptionSets = [] {},
    .deallocUserTypes = [] {},
    .releasePairDiffTaxa = [] {},
    .forgetDefaultOutputFileNames = [] {},
};

DataServices gServices = kDefaults;

// A slot takes one installation: two subsystems that fill it with different
// functions would leave the one installed last in force whatever the other
// expects, so the second is refused and reported, and the first stays.
template <typename F>
void take(F &slot, F given, F factory, const char *name, int &clashes)
{
    if (!given)
        return;
    if (slot == given)
        return;  // the same entry point again changes nothing
    if (slot != factory) {
        qel_errorMsg(0, "Internal error: the data service \"%s\" is installed twice.", name);
        ++clashes;
        return;
    }
    slot = given;
}

}  // namespace

int installDataServices(const DataServices &s)
{
    DataServices &g = gServices;
    int clashes = 0;
    take(g.criterion, s.criterion, kDefaults.criterion, "criterion", clashes);
    take(g.gapMode, s.gapMode, kDefaults.gapMode, "gapMode", clashes);
    take(g.msTaxa, s.msTaxa, kDefaults.msTaxa, "msTaxa", clashes);
    take(g.currentAncestralStates, s.currentAncestralStates, kDefaults.currentAncestralStates, "currentAncestralStates", clashes);
    take(g.inPythonBlock, s.inPythonBlock, kDefaults.inPythonBlock, "inPythonBlock", clashes);
    take(g.setStatusText, s.setStatusText, kDefaults.setStatusText, "setStatusText", clashes);
    take(g.clearStatusText, s.clearStatusText, kDefaults.clearStatusText, "clearStatusText", clashes);
    take(g.destroyTreeBuffer, s.destroyTreeBuffer, kDefaults.destroyTreeBuffer, "destroyTreeBuffer", clashes);
    take(g.numTreesInBuffer, s.numTreesInBuffer, kDefaults.numTreesInBuffer, "numTreesInBuffer", clashes);
    take(g.createPrimaryTree, s.createPrimaryTree, kDefaults.createPrimaryTree, "createPrimaryTree", clashes);
    take(g.allocMainTreeBuffer, s.allocMainTreeBuffer, kDefaults.allocMainTreeBuffer, "allocMainTreeBuffer", clashes);
    take(g.getMaxtreesValue, s.getMaxtreesValue, kDefaults.getMaxtreesValue, "getMaxtreesValue", clashes);
    take(g.releasePrimaryTree, s.releasePrimaryTree, kDefaults.releasePrimaryTree, "releasePrimaryTree", clashes);
    take(g.flagPrimaryTreeTaxonChange, s.flagPrimaryTreeTaxonChange, kDefaults.flagPrimaryTreeTaxonChange, "flagPrimaryTreeTaxonChange", clashes);
    take(g.clearTrees, s.clearTrees, kDefaults.clearTrees, "clearTrees", clashes);
    take(g.deleteTreeSets, s.deleteTreeSets, kDefaults.deleteTreeSets, "deleteTreeSets", clashes);
    take(g.deallocAllConstraints, s.deallocAllConstraints, kDefaults.deallocAllConstraints, "deallocAllConstraints", clashes);
    take(g.deallocSpecialTreeData, s.deallocSpecialTreeData, kDefaults.deallocSpecialTreeData, "deallocSpecialTreeData", clashes);
    take(g.getTreeBufferCapacity, s.getTreeBufferCapacity, kDefaults.getTreeBufferCapacity, "getTreeBufferCapacity", clashes);
    take(g.haveTreeWeights, s.haveTreeWeights, kDefaults.haveTreeWeights, "haveTreeWeights", clashes);
    take(g.allocBranchLens, s.allocBranchLens, kDefaults.allocBranchLens, "allocBranchLens", clashes);
    take(g.treeFilterInEffect, s.treeFilterInEffect, kDefaults.treeFilterInEffect, "treeFilterInEffect", clashes);
    take(g.haveUserBranchLengths, s.haveUserBranchLengths, kDefaults.haveUserBranchLengths, "haveUserBranchLengths", clashes);
    take(g.pruneTree, s.pruneTree, kDefaults.pruneTree, "pruneTree", clashes);
    take(g.disposeSupportValues, s.disposeSupportValues, kDefaults.disposeSupportValues, "disposeSupportValues", clashes);
    take(g.forgetLastTreeOptimized, s.forgetLastTreeOptimized, kDefaults.forgetLastTreeOptimized, "forgetLastTreeOptimized", clashes);
    take(g.replacePrimaryTree, s.replacePrimaryTree, kDefaults.replacePrimaryTree, "replacePrimaryTree", clashes);
    take(g.setNeedParsPrep, s.setNeedParsPrep, kDefaults.setNeedParsPrep, "setNeedParsPrep", clashes);
    take(g.parsIncludeAnc, s.parsIncludeAnc, kDefaults.parsIncludeAnc, "parsIncludeAnc", clashes);
    take(g.getPkdType, s.getPkdType, kDefaults.getPkdType, "getPkdType", clashes);
    take(g.isAsymmetricUserType, s.isAsymmetricUserType, kDefaults.isAsymmetricUserType, "isAsymmetricUserType", clashes);
    take(g.deallocPackedData, s.deallocPackedData, kDefaults.deallocPackedData, "deallocPackedData", clashes);
    take(g.deallocParsimonyRecord, s.deallocParsimonyRecord, kDefaults.deallocParsimonyRecord, "deallocParsimonyRecord", clashes);
    take(g.releaseParsFxns, s.releaseParsFxns, kDefaults.releaseParsFxns, "releaseParsFxns", clashes);
    take(g.checkParsimonySettings, s.checkParsimonySettings, kDefaults.checkParsimonySettings, "checkParsimonySettings", clashes);
    take(g.parsPrepLevel, s.parsPrepLevel, kDefaults.parsPrepLevel, "parsPrepLevel", clashes);
    take(g.altParsPrepPending, s.altParsPrepPending, kDefaults.altParsPrepPending, "altParsPrepPending", clashes);
    take(g.packPrelim, s.packPrelim, kDefaults.packPrelim, "packPrelim", clashes);
    take(g.packFinish, s.packFinish, kDefaults.packFinish, "packFinish", clashes);
    take(g.altParsPrep, s.altParsPrep, kDefaults.altParsPrep, "altParsPrep", clashes);
    take(g.finalParsPrep, s.finalParsPrep, kDefaults.finalParsPrep, "finalParsPrep", clashes);
    take(g.resetCriterionToParsimony, s.resetCriterionToParsimony, kDefaults.resetCriterionToParsimony, "resetCriterionToParsimony", clashes);
    take(g.criterionText, s.criterionText, kDefaults.criterionText, "criterionText", clashes);
    take(g.setBootJackNChar, s.setBootJackNChar, kDefaults.setBootJackNChar, "setBootJackNChar", clashes);
    take(g.deallocDistanceStorage, s.deallocDistanceStorage, kDefaults.deallocDistanceStorage, "deallocDistanceStorage", clashes);
    take(g.markUserDistancesForAdjustment, s.markUserDistancesForAdjustment, kDefaults.markUserDistancesForAdjustment, "markUserDistancesForAdjustment", clashes);
    take(g.isDnaDistance, s.isDnaDistance, kDefaults.isDnaDistance, "isDnaDistance", clashes);
    take(g.isMLDistance, s.isMLDistance, kDefaults.isMLDistance, "isMLDistance", clashes);
    take(g.distanceNeedsSitePatterns, s.distanceNeedsSitePatterns, kDefaults.distanceNeedsSitePatterns, "distanceNeedsSitePatterns", clashes);
    take(g.setDistances, s.setDistances, kDefaults.setDistances, "setDistances", clashes);
    take(g.invalidateDistances, s.invalidateDistances, kDefaults.invalidateDistances, "invalidateDistances", clashes);
    take(g.isStdDistance, s.isStdDistance, kDefaults.isStdDistance, "isStdDistance", clashes);
    take(g.initModelData, s.initModelData, kDefaults.initModelData, "initModelData", clashes);
    take(g.initializeML, s.initializeML, kDefaults.initializeML, "initializeML", clashes);
    take(g.refreshPrimaryTreeTaxa, s.refreshPrimaryTreeTaxa, kDefaults.refreshPrimaryTreeTaxa, "refreshPrimaryTreeTaxa", clashes);
    take(g.disposeML, s.disposeML, kDefaults.disposeML, "disposeML", clashes);
    take(g.deallocAllModelGroupData, s.deallocAllModelGroupData, kDefaults.deallocAllModelGroupData, "deallocAllModelGroupData", clashes);
    take(g.resetLikelihoodSetting, s.resetLikelihoodSetting, kDefaults.resetLikelihoodSetting, "resetLikelihoodSetting", clashes);
    take(g.clearScoreOptions, s.clearScoreOptions, kDefaults.clearScoreOptions, "clearScoreOptions", clashes);
    take(g.invalidateSitePatterns, s.invalidateSitePatterns, kDefaults.invalidateSitePatterns, "invalidateSitePatterns", clashes);
    take(g.deallocAllSimData, s.deallocAllSimData, kDefaults.deallocAllSimData, "deallocAllSimData", clashes);
    take(g.deallocQuartetData, s.deallocQuartetData, kDefaults.deallocQuartetData, "deallocQuartetData", clashes);
    take(g.deleteAssumptionSets, s.deleteAssumptionSets, kDefaults.deleteAssumptionSets, "deleteAssumptionSets", clashes);
    take(g.deallocUserTypes, s.deallocUserTypes, kDefaults.deallocUserTypes, "deallocUserTypes", clashes);
    take(g.releasePairDiffTaxa, s.releasePairDiffTaxa, kDefaults.releasePairDiffTaxa, "releasePairDiffTaxa", clashes);
    take(g.forgetDefaultOutputFileNames, s.forgetDefaultOutputFileNames, kDefaults.forgetDefaultOutputFileNames, "forgetDefaultOutputFileNames", clashes);
    return clashes == 0 ? 0 : 1;
}

void resetDataServices() { gServices = kDefaults; }

const DataServices &dataServices() { return gServices; }
