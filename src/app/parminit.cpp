#include "app/parminit.h"

#include <cstring>

#include "data/data_settings.h"
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

void constraintEnforcement(CmdParamList *list)  // set 5
{
    const char *cat = "Constr";
    do_Bool_Parm(cat, "enforce", kOnOff, kFactory | kParamNoFactoryText, &srch.enforce, 0, nullptr,
                 nullptr, list);
    do_Fxn_Parm("constraints", cat, 0, nullptr, constraintNameOption, nullptr,
                "<constraint-name>", list);
}

void convexity(CmdParamList *list)  // set 6
{
    do_IntRange_Parm("Constr", "looseConvex", kParamIntOrNo, kHiddenFactory, &srch.looseConvex, 0,
                     0, 0x7FFFFFFF, nullptr, nullptr, list);
}

void rootingOptions(CmdParamList *list)  // set 8
{
    const char *cat = "Rooting";
    do_Int_Parm(cat, "rootMethod", kParamKeyword, kFactory, &rooting.rootMethod, kRootOutgroup,
                forceReopt, "outgroup\0lundberg\0midpoint\0", list);
    do_Int_Parm(cat, "outRoot", kParamKeyword, kFactory, &rooting.outRoot, kOutRootPolytomy,
                forceReopt, "polytomy\0paraphyl\0monophyl\0", list);
    do_Bool_Parm(cat, "forcePolyt", kOnOff, kFactory, &rooting.forcePolyt, 0, forceReopt, nullptr,
                 list);
}

void replaceAppend(CmdParamList *list)  // set 9
{
    do_Bool_Parm(nullptr, "replace", kOnOff, kParamNonpersistent, &gReplaceFile, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(nullptr, "append", kOnOff, kParamNonpersistent, &gAppendToFile, 0, nullptr,
                 nullptr, list);
}

void charMatrixOutput(CmdParamList *list)  // set 10
{
    const char *cat = "CharMat";
    do_Bool_Parm(cat, "cmLabels", kOnOff, kFactory, &cmFmt.cmLabels, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "cmShowEq", kOnOff, kFactory, &cmFmt.cmShowEq, 1, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "cmColWidth", kParamInt, kFactory, &cmFmt.cmColWidth, 1, 1,
                     kMaxCharMatrixColWidth, nullptr, nullptr, list);
    do_Bool_Parm(cat, "cmCstatus", kOnOff, kFactory, &cmFmt.cmCstatus, 0, nullptr, nullptr, list);
}

void searchStatus(CmdParamList *list)  // set 11
{
    const char *cat = "Stat";
    do_Bool_Parm(cat, "statusWin", kOnOff, kFactory, &srch.statusWin, 1, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "dStatus", kParamIntOrLabel, kFactory, &srch.dStatus, 60, 1,
                     kMaxStatusInterval, nullptr, "none", list);
}

void ancestorInclusion(CmdParamList *list)  // set 13
{
    do_Bool_Parm(nullptr, "includeAnc", kOnOff, kParamHidden, &srch.includeAnc, 0, forceFullRepack,
                 nullptr, list);
    do_Fxn_Parm("ancStates", nullptr, kParamHidden, nullptr, ancStatesOption, nullptr,
                "<ancstates-name>", list);
}

void treeBufferSize(CmdParamList *list)  // set 15
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

void nexusInputOutput(CmdParamList *list)  // set 16
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

void warningsAndErrors(CmdParamList *list)  // set 21
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

void treeStorage(CmdParamList *list)  // set 22
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

void generalSettings(uint32_t set, CmdParamList *list)  // set 23
{
    const char *cat = "Settings";
    do_Separator("Optimality criterion, general search settings, etc.", cat, list);
    do_Int_Parm(cat, "criterion", kParamKeyword, kFactory, &gCriterion, kCriterionParsimony,
                criterionInfo, "parsimony\0likelihood\0distance\0", list);
    include(set, 15, list);
    do_Int_Parm(cat, "initSeeds", kParamKeyword, kParamHidden, &gDiscardedInitSeeds, 0,
                outputUnsupportedMsg, "clock\0" "1\0", list);
    do_Fxn_Parm("constraints", cat, 0, nullptr, constraintNameOption, nullptr,
                "<constraint-name>", list);
    include(set, 12, list);
    do_Separator("Options for Nexus file input/output", cat, list);
    include(set, 16, list);
    do_Separator("Options for tree rooting and input/output", cat, list);
    include(set, 8, list);
    include(set, 22, list);
    do_Separator("Warning/error settings", cat, list);
    include(set, 21, list);
    do_Separator("Options for matrix output", cat, list);
    include(set, 40, list);
    do_Separator("Options for tree drawing", cat, list);
    include(set, 20, list);
    do_Separator("Miscellaneous settings", cat, list);
    do_Bool_Parm(cat, "monitor", kOnOff, kFactory, &outInfo.monitoring, 1, nullptr, nullptr, list);
    flushLogOption(cat, list);
    do_Bool_Parm(cat, "dataStorage", kParamBoolKeyword, kFactory, &dataParam.dataStorage, 1,
                 nullptr, "full\0compact\0", list);
    do_Bool_Parm(cat, "defaultMode", kOnOff, 0, byteOf(gQelIo.defaultMode), 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "showAbbrev", kOnOff, kFactory, &cmdOpt.showAbbrev, 0, nullptr, nullptr,
                 list);
    do_IntRange_Parm(cat, "outwidth", kParamIntOrLabel, kParamNonpersistent,
                     i32Of(outInfo.widthSetting), 0, 1, kMaxOutputLineLength, cmdSetOutputWidth,
                     "auto", list);
    do_Int_Parm(cat, "pause", kParamKeywordOff, 0, &outInfo.pauseMode, kPauseNo, setPause,
                "no\0silent\0beep\0msg\0", list);
    do_Bool_Parm(cat, "fLock", kOnOff, kFactory, byteOf(gQelIo.fileLocking), 1, nullptr, nullptr,
                 list);
    do_Separator("Options under development", cat, list);
    include(set, 102, list);
    do_Bool_Parm(cat, "rng", kParamBoolKeyword, kHiddenFactory, &rngSettings.generator, kRNG_KISS,
                 nullptr, "KISS\0legacy\0", list);
    do_Bool_Parm(cat, "randExp", kParamBoolKeyword, kHiddenFactory, &rngSettings.expMethod,
                 kRandExpZiggurat, nullptr, "inversion\0ziggurat\0", list);
    registerParsSharedOptions(ParsSharedOptions::kMsTaxaAndOpt, list);
    include(set, 13, list);
    registerParsSharedOptions(ParsSharedOptions::kStepMatrix, list);
    do_Fxn_Parm("ignore", cat, kParamHidden, nullptr, ignoreNowObsolete, nullptr, nullptr, list);
    do_Bool_Parm(cat, "allowEnd", kOnOff, kHiddenFactory, &gAllowEndAbbrev, 1, nullptr, nullptr,
                 list);
    do_Fxn_Parm("visNotif", cat, kParamHidden, nullptr, notifyOptionGone, nullptr, nullptr, list);
    do_Fxn_Parm("checkEvts", cat, kParamHidden, nullptr, notifyOptionGone, nullptr, nullptr, list);
    do_Fxn_Parm("background", cat, kParamHidden, nullptr, notifyOptionGone, nullptr, nullptr,
                list);
}

void logOptions(CmdParamList *list)  // set 31
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

void freqDistOutput(CmdParamList *list)  // set 47
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
uint32_t traverseGeneralOptionSets(uint32_t set, CmdParamList *list)
{
    if (runs(set, 5))
        constraintEnforcement(list);
    if (runs(set, 6))
        convexity(list);
    if (runs(set, 7)) {
        include(set, 5, list);
        do_Bool_Parm("Constr", "converse", kOnOff, 0, &srch.converse, 0, nullptr, nullptr, list);
        include(set, 6, list);
    }
    if (runs(set, 8))
        rootingOptions(list);
    if (runs(set, 9))
        replaceAppend(list);
    if (runs(set, 10))
        charMatrixOutput(list);
    if (runs(set, 11))
        searchStatus(list);
    if (runs(set, 12)) {
        include(set, 11, list);
        do_Bool_Parm("Search", "autoClose", kOnOff, kFactory, &srch.autoClose, 1, nullptr, nullptr,
                     list);
        do_Bool_Parm("Search", "notifyBeep", kOnOff, kFactory, byteOf(gQelIo.notifyBeep), 0,
                     nullptr, nullptr, list);
    }
    if (runs(set, 13))
        ancestorInclusion(list);
    if (runs(set, 14)) {
        do_Bool_Parm(nullptr, "mulPars", kOnOff, kParamHidden, &srch.mulPars, 0, nullptr, nullptr,
                     list);
        registerParsSharedOptions(ParsSharedOptions::kCollapse, list);
        include(set, 13, list);
    }
    if (runs(set, 15))
        treeBufferSize(list);
    if (runs(set, 16))
        nexusInputOutput(list);
    if (runs(set, 17))
        do_Bool_Parm("DrawTree", "semiGraph", kOnOff, kFactory, &outInfo.upperAsciiAllowed, 0,
                     nullptr, nullptr, list);
    if (runs(set, 18))
        do_Bool_Parm("DrawTree", "tCompress", kOnOff, kFactory, &treeDraw.tCompress, 0, nullptr,
                     nullptr, list);
    if (runs(set, 19))
        do_Bool_Parm("DrawTree", "showTaxNum", kOnOff, kFactory, &treeDraw.showTaxNum, 0, nullptr,
                     nullptr, list);
    if (runs(set, 20)) {
        include(set, 17, list);
        do_Int_Parm("DrawTree", "tOrder", kParamKeyword, kFactory, &treeDraw.tOrder,
                    kTreeOrderStandard, nullptr, "standard\0right\0left\0alphabet\0", list);
        include(set, 18, list);
        include(set, 19, list);
        do_Bool_Parm("DrawTree", "taxLabels", kParamBoolKeyword, kFactory, &treeDraw.taxLabels, 0,
                     nullptr, "truncate\0full\0", list);
    }
    if (runs(set, 21))
        warningsAndErrors(list);
    if (runs(set, 22))
        treeStorage(list);
    if (runs(set, 23))
        generalSettings(set, list);
    if (runs(set, 31))
        logOptions(list);
    if (runs(set, 40)) {
        do_Bool_Parm("ShowMatrix", "showExcluded", kOnOff, kFactory, &cmFmt.showExcluded, 0,
                     nullptr, nullptr, list);
        include(set, 10, list);
    }
    if (runs(set, 46)) {
        do_Flt_Parm("Search", "keep", kParamRealOrNo, kFactory | kParamNoFactoryText, &srch.keep,
                    nullptr, 0.0, list);
        do_Bool_Parm("Search", "mulTrees", kOnOff, kFactory, &srch.mulTrees, 1, nullptr, nullptr,
                     list);
    }
    if (runs(set, 47))
        freqDistOutput(list);
    if (runs(set, 99))
        do_Bool_Parm("Quit", "warnTSave", kOnOff, kFactory, &wrng.warnTSave, 1, nullptr, nullptr,
                     list);
    return list->failed;
}

using GroupTraverser = uint32_t (*)(uint32_t, CmdParamList *);

struct SetRange {
    uint32_t first;
    uint32_t last;
    GroupTraverser traverse;
};

// Which group registers which option set.
constexpr SetRange kSetOwners[] = {
    {5, 23, traverseGeneralOptionSets},   {24, 30, traverseDataOptionSets},
    {31, 31, traverseGeneralOptionSets},  {32, 39, traverseDataOptionSets},
    {40, 40, traverseGeneralOptionSets},  {41, 44, traverseDataOptionSets},
    {45, 45, traverseTreeOptionSets},     {46, 47, traverseGeneralOptionSets},
    {48, 57, traverseParsOptionSets},     {58, 61, traverseDistOptionSets},
    {62, 62, traverseParsOptionSets},     {63, 63, traverseQuartetOptionSets},
    {64, 64, traverseParsOptionSets},     {65, 80, traverseTreeOptionSets},
    {81, 82, traverseParsOptionSets},     {83, 87, traverseLikOptionSets},
    {88, 91, traverseDistOptionSets},     {92, 93, traverseDataOptionSets},
    {94, 94, traverseTreeOptionSets},     {95, 95, traverseLikOptionSets},
    {96, 96, traverseDataOptionSets},     {97, 97, traverseLikOptionSets},
    {99, 99, traverseGeneralOptionSets},  {102, 102, traverseGeneralOptionSets},
    {105, 105, traverseTreeOptionSets},   {106, 110, traverseDataOptionSets},
    {111, 112, traverseLikOptionSets},    {113, 113, traverseTreeOptionSets},
    {114, 114, traverseQuartetOptionSets}, {115, 115, traverseLikOptionSets},
    {116, 117, traverseQuartetOptionSets}, {118, 119, traverseLikOptionSets},
    {121, 121, traverseLikOptionSets},    {122, 122, traverseDistOptionSets},
    {125, 125, traverseDataOptionSets},   {126, 126, traverseLikOptionSets},
    {132, 132, traverseQuartetOptionSets}, {135, 141, traverseQuartetOptionSets},
    {147, 147, traverseLikOptionSets},
};

constexpr GroupTraverser kAllGroups[] = {traverseGeneralOptionSets, traverseDataOptionSets,
                                         traverseTreeOptionSets,    traverseParsOptionSets,
                                         traverseDistOptionSets,    traverseLikOptionSets,
                                         traverseQuartetOptionSets};

bool gCriterionHookAdded = false;

void resetScoreBounds(uint32_t) { zeroScoreOptions(); }

int currentCriterion() { return static_cast<int>(getOptimalityCriterion()); }

void reinitCriterion() { initOptimalityCriterion(false); }

}  // namespace

uint32_t traverseCmdParamList(uint32_t set, CmdParamList *list)
{
    if (list == nullptr)
        return 1;
    if (set == 0) {
        for (GroupTraverser group : kAllGroups)
            group(0, list);
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
        gCriterionHookAdded = addCriterionResetHook(resetScoreBounds) == 0;
}

void initVornOptions(void (*exitProgram)(int status))
{
    installVornOptions(exitProgram);
    factorySettings(true);
}

