#include "app/parminit.h"

#include <cstring>
#include <limits>

#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/data_util.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "qel/qel_io.h"
#include "qel/qel_logfile.h"
#include "qel/qel_output.h"
#include "qel/qel_random.h"
#include "search/search_settings.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"
#include "cli/shell_settings.h"
#include "app/vorn_params.h"
#include "trees/tree_settings.h"

using namespace optreg;

namespace {

GeneralOptionHandlers gHandlers{};

// Set's initSeeds is accepted and its value thrown away.
uint32_t gDiscardedInitSeeds = 0;

// The library keeps some switches as bool; an option writes them as bytes.
uint8_t *byteOf(bool &flag) { return reinterpret_cast<uint8_t *>(&flag); }

// A custom option served by its owner once one is installed.
int refuseUnavailable(int operation, CmdParam *option, CmdParamFxn owner, void *place)
{
    return owner != nullptr ? owner(operation, option, place)
                            : refuseOptionValue(operation, option, place);
}

int constraintNameOption(int operation, CmdParam *option, void *place)
{
    return refuseUnavailable(operation, option, gHandlers.getConstrName, place);
}

int ancStatesOption(int operation, CmdParam *option, void *place)
{
    return refuseUnavailable(operation, option, gHandlers.getAncStParm, place);
}

int maxtreesChanged(CmdParam *option)
{
    // The ceiling holds whether or not the tree buffer's handler is installed.
    if (gHandlers.handleMaxtreesChg)
        return gHandlers.handleMaxtreesChg(option);
    if (checkMaxtreesCeiling(treeInfo.maxtrees) == 0)
        return 0;
    treeInfo.maxtrees = option->saved.u;
    return 1;
}

int storeBrlensChanged(CmdParam *option)
{
    return gHandlers.storeBrlensParm ? gHandlers.storeBrlensParm(option) : 0;
}

int storeTreeWtsChanged(CmdParam *option)
{
    return gHandlers.storeTreeWtsParm ? gHandlers.storeTreeWtsParm(option) : 0;
}

void constraintEnforcement(CmdParamList *list)
{
    const char *cat = "Constr";
    do_Bool_Parm(cat, "enforce", kOnOff, kFactory | kParamNoFactoryText, &srch.enforce, 0, nullptr,
                 nullptr, list);
    do_Fxn_Parm("constraints", cat, 0, nullptr, constraintNameOption, nullptr,
                "<constraint-name>", list);
}

void convexity(CmdParamList *list)
{
    do_IntRange_Parm("Constr", "looseConvex", kParamIntOrNo, kHiddenFactory, &srch.looseConvex, 0,
                     0, 0x7FFFFFFF, nullptr, nullptr, list);
}

void rootingOptions(CmdParamList *list)
{
    const char *cat = "Rooting";
    do_Int_Parm(cat, "rootMethod", kParamKeyword, kFactory, &rooting.rootMethod, kRootOutgroup,
                forceReopt, "outgroup\0lundberg\0midpoint\0", list);
    do_Int_Parm(cat, "outRoot", kParamKeyword, kFactory, &rooting.outRoot, kOutRootPolytomy,
                forceReopt, "polytomy\0paraphyl\0monophyl\0", list);
    do_Bool_Parm(cat, "forcePolyt", kOnOff, kFactory, &rooting.forcePolyt, 0, forceReopt, nullptr,
                 list);
}

void replaceAppend(CmdParamList *list)
{
    do_Bool_Parm(nullptr, "replace", kOnOff, kParamNonpersistent, &gReplaceFile, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(nullptr, "append", kOnOff, kParamNonpersistent, &gAppendToFile, 0, nullptr,
                 nullptr, list);
}

void charMatrixOutput(CmdParamList *list)
{
    const char *cat = "CharMat";
    do_Bool_Parm(cat, "cmLabels", kOnOff, kFactory, &cmFmt.cmLabels, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "cmShowEq", kOnOff, kFactory, &cmFmt.cmShowEq, 1, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "cmColWidth", kParamInt, kFactory, &cmFmt.cmColWidth, 1, 1,
                     kMaxCharMatrixColWidth, nullptr, nullptr, list);
    do_Bool_Parm(cat, "cmCstatus", kOnOff, kFactory, &cmFmt.cmCstatus, 0, nullptr, nullptr, list);
}

void searchStatus(CmdParamList *list)
{
    const char *cat = "Stat";
    do_Bool_Parm(cat, "statusWin", kOnOff, kFactory, &srch.statusWin, 1, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "dStatus", kParamIntOrLabel, kFactory, &srch.dStatus, 60, 1,
                     kMaxStatusInterval, nullptr, "none\0", list);
}

void ancestorInclusion(CmdParamList *list)
{
    do_Bool_Parm(nullptr, "includeAnc", kOnOff, kParamHidden, &srch.includeAnc, 0, forceFullRepack,
                 nullptr, list);
    do_Fxn_Parm("ancStates", nullptr, kParamHidden, nullptr, ancStatesOption, nullptr,
                "<ancstates-name>", list);
}

void treeBufferSize(CmdParamList *list)
{
    const char *cat = "Search";
    // Values up to the integer limit pass the parser, so that the change
    // callback gives the Maxtrees ceiling its own message.
    do_IntRange_Parm(cat, "maxtrees", kParamInt, kFactory, i32Of(treeInfo.maxtrees),
                     kDefaultMaxtrees, 1, kIntMax, maxtreesChanged, nullptr, list);
    do_Int_Parm(cat, "increase", kParamKeywordOff, kFactory, &treeInfo.increase,
                static_cast<uint32_t>(MaxtreesAction::kPrompt), nullptr, "no\0prompt\0auto\0", list);
    do_IntRange_Parm(cat, "autoInc", kParamInt, kFactory, i32Of(treeInfo.autoInc),
                     kDefaultAutoInc, 1, kMaxtreesCeiling, nullptr, nullptr, list);
}

void nexusInputOutput(CmdParamList *list)
{
    const char *cat = "Nexus";
    do_Int_Parm(cat, "allDigLab", kParamKeyword, kFactory, &nexOpt.allDigLab, kAllDigitWarn,
                nullptr, "prohibit\0warn\0noWarn\0", list);
    do_Bool_Parm(cat, "allowPunct", kOnOff, kFactory, &nexOpt.allowPunct, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "nexusBlocks", kParamBoolKeyword, kFactory, &nexOpt.nexusBlocks, 0, nullptr,
                 "data\0taxaChar\0", list);
    do_Bool_Parm(cat, "taxlabMatch", kParamBoolKeyword, kFactory, &nexOpt.taxlabMatch, 1, nullptr,
                 "relaxed\0strict\0", list);
    do_Bool_Parm(cat, "underscores", kParamBoolKeyword, kFactory, &nexOpt.underscores, 0,
                 changeUndscSetting, "convert\0keep\0", list);
}

void warningsAndErrors(CmdParamList *list)
{
    const char *cat = "WarnErr";
    do_Bool_Parm(cat, "warnReset", kOnOff, kFactory, &wrng.warnReset, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnTree", kOnOff, kFactory, &wrng.warnTree, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnTSave", kOnOff, kFactory, &wrng.warnTSave, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnBlkName", kOnOff, kFactory, &wrng.warnBlkName, 1, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "warnRoot", kOnOff, kFactory, &wrng.warnRoot, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnRedef", kOnOff, kFactory, &wrng.warnRedef, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnTFileNoData", kOnOff, kFactory, &wrng.warnTFileNoData, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "errorStop", kOnOff, kFactory, &gErrorStop, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "errorBeep", kOnOff, kFactory, byteOf(gQelIo.errorBeep), 1, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "queryBeep", kOnOff, kFactory, byteOf(gQelIo.queryBeep), 1, nullptr,
                 nullptr, list);
}

void treeStorage(CmdParamList *list)
{
    const char *cat = "Store";
    do_Bool_Parm(cat, "storeBrLens", kOnOff, kFactory, &getr.storeBrLens, 1, storeBrlensChanged,
                 nullptr, list);
    do_Bool_Parm(cat, "storeTreeWts", kOnOff, kFactory, &getr.storeTreeWts, 1,
                 storeTreeWtsChanged, nullptr, list);
}

void flushLogOption(const char *category, CmdParamList *list)
{
    do_Bool_Parm(category, "flushLog", kOnOff, kFactory, &logFile.flushLog, 0, doFlushParm,
                 nullptr, list);
}

void generalSettings(OptionSet set, CmdParamList *list)
{
    const char *cat = "Settings";
    do_Separator("Optimality criterion, general search settings, etc.", cat, list);
    do_Int_Parm(cat, "criterion", kParamKeyword, kFactory, &gCriterion, kCriterionParsimony,
                criterionInfo, "parsimony\0likelihood\0distance\0", list);
    include(set, OptionSet::kTreeBufferSize, list);
    do_Int_Parm(cat, "initSeeds", kParamKeyword, kParamHidden, &gDiscardedInitSeeds, 0,
                outputUnsupportedMsg, "clock\0" "1\0", list);
    do_Fxn_Parm("constraints", cat, 0, nullptr, constraintNameOption, nullptr,
                "<constraint-name>", list);
    include(set, OptionSet::kSearchDisplay, list);
    do_Separator("Options for Nexus file input/output", cat, list);
    include(set, OptionSet::kNexusInputOutput, list);
    do_Separator("Options for tree rooting and input/output", cat, list);
    include(set, OptionSet::kRooting, list);
    include(set, OptionSet::kTreeStorage, list);
    do_Separator("Warning/error settings", cat, list);
    include(set, OptionSet::kWarningsErrors, list);
    do_Separator("Options for matrix output", cat, list);
    include(set, OptionSet::kShowMatrix, list);
    do_Separator("Options for tree drawing", cat, list);
    include(set, OptionSet::kDrawTree, list);
    do_Separator("Miscellaneous settings", cat, list);
    do_Bool_Parm(cat, "monitor", kOnOff, kFactory, &outInfo.monitoring, 1, nullptr, nullptr, list);
    flushLogOption(cat, list);
    do_Bool_Parm(cat, "dataStorage", kParamBoolKeyword, kFactory, &dataParam.dataStorage, 1,
                 nullptr, "full\0compact\0", list);
    do_Bool_Parm(cat, "defaultMode", kOnOff, 0, byteOf(gQelIo.defaultMode), 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "showAbbrev", kOnOff, kFactory, &cmdOpt.showAbbrev, 0, nullptr, nullptr,
                 list);
    // The output layer keeps the variable at the width in force. A width
    // beyond the widest is brought down to it, as one below the narrowest is
    // brought up, rather than refused.
    do_IntRange_Parm(cat, "outwidth", kParamIntOrLabel, kParamNonpersistent | kParamOwnerPresets,
                     i32Of(outInfo.widthSetting), 0, 1, std::numeric_limits<int32_t>::max(),
                     cmdSetOutputWidth, "auto\0", list);
    do_Int_Parm(cat, "pause", kParamKeywordOff, 0, &outInfo.pauseMode, kPauseNo, setPause,
                "no\0silent\0beep\0msg\0", list);
    do_Bool_Parm(cat, "fLock", kOnOff, kFactory, byteOf(gQelIo.fileLocking), 1, nullptr, nullptr,
                 list);
    do_Separator("Options under development", cat, list);
    include(set, OptionSet::kUnderDevelopment, list);
    do_Bool_Parm(cat, "rng", kParamBoolKeyword, kHiddenFactory, &rngSettings.generator, kRNG_KISS,
                 nullptr, "KISS\0legacy\0", list);
    do_Bool_Parm(cat, "randExp", kParamBoolKeyword, kHiddenFactory, &rngSettings.expMethod,
                 kRandExpZiggurat, nullptr, "inversion\0ziggurat\0", list);
    registerParsSharedOptions(ParsSharedOptions::kMsTaxaAndOpt, list);
    include(set, OptionSet::kAncestorInclusion, list);
    registerParsSharedOptions(ParsSharedOptions::kStepMatrix, list);
    do_Fxn_Parm("ignore", cat, kParamHidden, nullptr, ignoreNowObsolete, nullptr, nullptr, list);
    do_Bool_Parm(cat, "allowEnd", kOnOff, kHiddenFactory, &gAllowEndAbbrev, 1, nullptr, nullptr,
                 list);
    do_Fxn_Parm("visNotif", cat, kParamHidden, nullptr, notifyOptionGone, nullptr, nullptr, list);
    do_Fxn_Parm("checkEvts", cat, kParamHidden, nullptr, notifyOptionGone, nullptr, nullptr, list);
    do_Fxn_Parm("background", cat, kParamHidden, nullptr, notifyOptionGone, nullptr, nullptr,
                list);
}

void logOptions(CmdParamList *list)
{
    const char *cat = "LogFile";
    do_Fxn_Parm("file", cat, 0, nullptr, getLogFileName, nullptr, "<filename-for-log>", list);
    do_Bool_Parm(cat, "replace", kOnOff, kParamNonpersistent, &logFile.replace, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "append", kOnOff, kParamNonpersistent, &logFile.append, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "start", kOnOff, kParamNonpersistent, &logFile.start, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "stop", kOnOff, kParamNonpersistent, &logFile.stop, 0, nullptr, nullptr,
                 list);
    flushLogOption(cat, list);
}

void freqDistOutput(CmdParamList *list)
{
    const char *cat = "FD";
    do_IntRange_Parm(cat, "fdClasses", kParamInt, kFactory, &fdopt.fdClasses, 20, 1,
                     kMaxFreqDistClasses, nullptr, nullptr, list);
    do_String_Parm("fdFile", cat, kParamFilename, kParamShowNone, fdopt.fdFile, nullptr, nullptr,
                   "<freq-distrib-filename>", list);
    do_String_Parm("file", cat, kParamFilename, kParamShowNone | kParamHidden, fdopt.fdFile,
                   nullptr, nullptr, nullptr, list);
    do_Bool_Parm(cat, "pref_saveToFile", kOnOff, kParamNotInput | kHiddenFactory,
                 &fdopt.pref_saveToFile, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "replace", kOnOff, kParamNonpersistent, &gReplaceFile, 0, nullptr, nullptr,
                 list);
}

// The option sets registered here.
uint32_t traverseGeneralOptionSets(OptionSet set, CmdParamList *list)
{
    if (runs(set, OptionSet::kConstraintEnforcement))
        constraintEnforcement(list);
    if (runs(set, OptionSet::kConvexity))
        convexity(list);
    if (runs(set, OptionSet::kSearchConstraints)) {
        include(set, OptionSet::kConstraintEnforcement, list);
        do_Bool_Parm("Constr", "converse", kOnOff, 0, &srch.converse, 0, nullptr, nullptr, list);
        include(set, OptionSet::kConvexity, list);
    }
    if (runs(set, OptionSet::kRooting))
        rootingOptions(list);
    if (runs(set, OptionSet::kOutputFile))
        replaceAppend(list);
    if (runs(set, OptionSet::kCharMatrixOutput))
        charMatrixOutput(list);
    if (runs(set, OptionSet::kSearchStatus))
        searchStatus(list);
    if (runs(set, OptionSet::kSearchDisplay)) {
        include(set, OptionSet::kSearchStatus, list);
        do_Bool_Parm("Search", "autoClose", kOnOff, kFactory, &srch.autoClose, 1, nullptr, nullptr,
                     list);
        do_Bool_Parm("Search", "notifyBeep", kOnOff, kFactory, byteOf(gQelIo.notifyBeep), 0,
                     nullptr, nullptr, list);
    }
    if (runs(set, OptionSet::kAncestorInclusion))
        ancestorInclusion(list);
    if (runs(set, OptionSet::kMultipleTrees)) {
        do_Bool_Parm(nullptr, "mulPars", kOnOff, kParamHidden, &srch.mulPars, 0, nullptr, nullptr,
                     list);
        registerParsSharedOptions(ParsSharedOptions::kCollapse, list);
        include(set, OptionSet::kAncestorInclusion, list);
    }
    if (runs(set, OptionSet::kTreeBufferSize))
        treeBufferSize(list);
    if (runs(set, OptionSet::kNexusInputOutput))
        nexusInputOutput(list);
    if (runs(set, OptionSet::kDrawTreeSemiGraph))
        do_Bool_Parm("DrawTree", "semiGraph", kOnOff, kFactory, &outInfo.upperAsciiAllowed, 0,
                     nullptr, nullptr, list);
    if (runs(set, OptionSet::kDrawTreeCompress))
        do_Bool_Parm("DrawTree", "tCompress", kOnOff, kFactory, &treeDraw.tCompress, 0, nullptr,
                     nullptr, list);
    if (runs(set, OptionSet::kDrawTreeTaxNum))
        do_Bool_Parm("DrawTree", "showTaxNum", kOnOff, kFactory, &treeDraw.showTaxNum, 0, nullptr,
                     nullptr, list);
    if (runs(set, OptionSet::kDrawTree)) {
        include(set, OptionSet::kDrawTreeSemiGraph, list);
        do_Int_Parm("DrawTree", "tOrder", kParamKeyword, kFactory, &treeDraw.tOrder,
                    kTreeOrderStandard, nullptr, "standard\0right\0left\0alphabet\0", list);
        include(set, OptionSet::kDrawTreeCompress, list);
        include(set, OptionSet::kDrawTreeTaxNum, list);
        do_Bool_Parm("DrawTree", "taxLabels", kParamBoolKeyword, kFactory, &treeDraw.taxLabels, 0,
                     nullptr, "truncate\0full\0", list);
    }
    if (runs(set, OptionSet::kWarningsErrors))
        warningsAndErrors(list);
    if (runs(set, OptionSet::kTreeStorage))
        treeStorage(list);
    if (runs(set, OptionSet::kSet))
        generalSettings(set, list);
    if (runs(set, OptionSet::kLog))
        logOptions(list);
    if (runs(set, OptionSet::kShowMatrix)) {
        do_Bool_Parm("ShowMatrix", "showExcluded", kOnOff, kFactory, &cmFmt.showExcluded, 0,
                     nullptr, nullptr, list);
        include(set, OptionSet::kCharMatrixOutput, list);
    }
    if (runs(set, OptionSet::kKeepMulTrees)) {
        do_Flt_Parm("Search", "keep", kParamRealOrNo, kFactory | kParamNoFactoryText, &srch.keep,
                    nullptr, 0.0, list);
        do_Bool_Parm("Search", "mulTrees", kOnOff, kFactory, &srch.mulTrees, 1, nullptr, nullptr,
                     list);
    }
    if (runs(set, OptionSet::kScoreFreqDist))
        freqDistOutput(list);
    if (runs(set, OptionSet::kQuit))
        do_Bool_Parm("Quit", "warnTSave", kOnOff, kFactory, &wrng.warnTSave, 1, nullptr, nullptr,
                     list);
    return list->failed;
}

using GroupTraverser = uint32_t (*)(OptionSet, CmdParamList *);

// The sets from `first` to `last` in number order.
struct SetRange {
    OptionSet first;
    OptionSet last;
    GroupTraverser traverse;
};

// Which group registers which option set.
constexpr SetRange kSetOwners[] = {
    {OptionSet::kConstraintEnforcement, OptionSet::kSet, traverseGeneralOptionSets},
    {OptionSet::kDataDimensions, OptionSet::kDistFormat, traverseDataOptionSets},
    {OptionSet::kLog, OptionSet::kLog, traverseGeneralOptionSets},
    {OptionSet::kAssume, OptionSet::kMissData, traverseDataOptionSets},
    {OptionSet::kShowMatrix, OptionSet::kShowMatrix, traverseGeneralOptionSets},
    {OptionSet::kDelete, OptionSet::kTStatus, traverseDataOptionSets},
    {OptionSet::kAgree, OptionSet::kAgree, traverseTreeOptionSets},
    {OptionSet::kKeepMulTrees, OptionSet::kScoreFreqDist, traverseGeneralOptionSets},
    {OptionSet::kBandB, OptionSet::kHomPart, traverseParsOptionSets},
    {OptionSet::kClusterMethods, OptionSet::kStarDecomp, traverseDistOptionSets},
    {OptionSet::kPermute, OptionSet::kPermute, traverseParsOptionSets},
    {OptionSet::kPuzzle, OptionSet::kPuzzle, traverseQuartetOptionSets},
    {OptionSet::kRandTrees, OptionSet::kRandTrees, traverseParsOptionSets},
    {OptionSet::kGenerateTrees, OptionSet::kTreeScoreOutput, traverseTreeOptionSets},
    {OptionSet::kPSet, OptionSet::kPScores, traverseParsOptionSets},
    {OptionSet::kLSet, OptionSet::kLSetSettings, traverseLikOptionSets},
    {OptionSet::kDSet, OptionSet::kSaveDist, traverseDistOptionSets},
    {OptionSet::kToNexus, OptionSet::kExport, traverseDataOptionSets},
    {OptionSet::kFilter, OptionSet::kFilter, traverseTreeOptionSets},
    {OptionSet::kGammaPlot, OptionSet::kGammaPlot, traverseLikOptionSets},
    {OptionSet::kShowPartitions, OptionSet::kShowPartitions, traverseDataOptionSets},
    {OptionSet::kSurfCheck, OptionSet::kSurfCheck, traverseLikOptionSets},
    {OptionSet::kQuit, OptionSet::kQuit, traverseGeneralOptionSets},
    {OptionSet::kUnderDevelopment, OptionSet::kUnderDevelopment, traverseGeneralOptionSets},
    {OptionSet::kSumTrees, OptionSet::kSumTrees, traverseTreeOptionSets},
    {OptionSet::kMegaHeader, OptionSet::kModProject, traverseDataOptionSets},
    {OptionSet::kCandidateRateModels, OptionSet::kAutoModel, traverseLikOptionSets},
    {OptionSet::kClearTrees, OptionSet::kClearTrees, traverseTreeOptionSets},
    {OptionSet::kSVDQuartets, OptionSet::kSVDQuartets, traverseQuartetOptionSets},
    {OptionSet::kClockChecker, OptionSet::kClockChecker, traverseLikOptionSets},
    {OptionSet::kQuartetFile, OptionSet::kQSearch, traverseQuartetOptionSets},
    {OptionSet::kRAxMLSearch, OptionSet::kGarliSearch, traverseLikOptionSets},
    {OptionSet::kOrthoFilter, OptionSet::kOrthoFilter, traverseLikOptionSets},
    {OptionSet::kDConSeq, OptionSet::kDConSeq, traverseDistOptionSets},
    {OptionSet::kNSFilter, OptionSet::kNSFilter, traverseDataOptionSets},
    {OptionSet::kAutopartition, OptionSet::kAutopartition, traverseLikOptionSets},
    {OptionSet::kQuartetModel, OptionSet::kQuartetModel, traverseQuartetOptionSets},
    {OptionSet::kTrueTree, OptionSet::kYangRannala, traverseQuartetOptionSets},
    {OptionSet::kPatFitTest, OptionSet::kPatFitTest, traverseLikOptionSets},
};

constexpr GroupTraverser kAllGroups[] = {traverseGeneralOptionSets, traverseDataOptionSets,
                                         traverseTreeOptionSets,    traverseParsOptionSets,
                                         traverseDistOptionSets,    traverseLikOptionSets,
                                         traverseQuartetOptionSets};

bool gCriterionHookAdded = false;

void resetScoreBounds(uint32_t) { zeroScoreOptions(); }

// A gap that is a state to parsimony is missing data to every other
// criterion, so what each character shows, and the likelihood patterns built
// from it, must be read again.
void rereadGapsAsStates(uint32_t)
{
    if (dataServices().gapMode() != kGapModeNewState)
        return;
    invalidateSitePatternData(true);
    if (DataInfo *d = activeDataInfo(); d && (d->flags & kHaveCharacters)) {
        d->dataInitialized = 0;
        d->statusUpToDate = 0;
        updateStdCharsets(d);
    }
}

int currentCriterion() { return static_cast<int>(getOptimalityCriterion()); }

void reinitCriterion() { initOptimalityCriterion(false); }

}  // namespace

uint32_t traverseCmdParamList(OptionSet set, CmdParamList *list)
{
    if (list == nullptr)
        return 1;
    if (set == OptionSet::kAll) {
        for (GroupTraverser group : kAllGroups)
            group(OptionSet::kAll, list);
        return list->failed;
    }
    for (const SetRange &r : kSetOwners)
        if (set >= r.first && set <= r.last)
            return r.traverse(set, list);
    return list->failed;
}

void setGeneralOptionHandlers(const GeneralOptionHandlers &handlers) { gHandlers = handlers; }

void installVornOptions(void (*exitProgram)(int status))
{
    setCmdParamTraverser(traverseCmdParamList);
    installDataParsOptionRegistrar(registerDataParsOptions);
    setCmdOptionServices(CmdOptionServices{currentCriterion, reinitCriterion, exitProgram});
    if (!gCriterionHookAdded)
        gCriterionHookAdded =
            addCriterionResetHook(resetScoreBounds) == 0 && addCriterionResetHook(rereadGapsAsStates) == 0;
}

void initVornOptions(void (*exitProgram)(int status))
{
    installVornOptions(exitProgram);
    factorySettings(true);
}

