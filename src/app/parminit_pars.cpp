// Option sets of the parsimony and tree search commands.
#include "app/parminit.h"

#include "data/nexsets.h"
#include "parsimony/pars_init.h"
#include "parsimony/parsimony_settings.h"
#include "search/randtrees.h"
#include "search/search_settings.h"
#include "app/vorn_params.h"

using namespace optreg;

namespace {

constexpr uint32_t kHiddenNoText = kParamHidden | kParamNoFactoryText;       // 0xa00

constexpr const char *kCollapseWords = "no\0maxBrlen\0minBrlen\0ambEqual\0";
constexpr const char *kMsTaxaWords = "uncertain\0polymorph\0variable\0";
constexpr const char *kOptWords = "accTran\0delTran\0minF\0";
constexpr const char *kStepMatrixWords = "obsOnly\0allStates\0threePlus1\0";
constexpr const char *kTreeFormats = "Nexus\0altNexus\0Freqpars\0Newick\0Hennig\0Phylip\0";
constexpr const char *kBootSearches = "heuristic\0BandB\0fastStep\0NJ\0UPGMA\0";

void psetOptions(CmdParamList *list)
{
    const char *cat = "PSet";
    do_Int_Parm(cat, "collapse", kParamKeywordOff, kFactory, &gPars.collapse, 1, nullptr,
                kCollapseWords, list);
    do_Int_Parm(cat, "msTaxa", kParamKeyword, kFactory, &gPars.msTaxa, 0, forceFullRepack,
                kMsTaxaWords, list);
    do_Int_Parm(cat, "opt", kParamKeyword, kFactory, &gPars.opt, 0, forceReopt, kOptWords, list);
    do_Int_Parm(cat, "stepMatrix", kParamKeyword, kFactory, &gPars.stepMatrix, 2,
                forceFullRepack, kStepMatrixWords, list);
    do_Bool_Parm(cat, "includeAnc", kOnOff, kFactory, &srch.includeAnc, 0, forceFullRepack,
                 nullptr, list);
    do_Fxn_Parm("ancStates", cat, 0, nullptr, getAncStParm, nullptr, "<ancstates-name>", list);
    do_IntRange_Parm(cat, "threshold", kParamIntOrLabel, kFactory, i32Of(gPars.threshold), 0, 1,
                     kIntMax, forceAltParsPrep, "none\0", list);
    do_Bool_Parm(cat, "goloboff", kOnOff, kFactory, &gPars.goloboff, 0, forceAltParsPrep,
                 nullptr, list);
    // 2147483647 passes the range so that checkGoloboffK can name the limit.
    do_IntRange_Parm(cat, "gK", kParamInt, kFactory, i32Of(gPars.gK), 2, 0, kIntMax,
                     checkGoloboffK, nullptr, list);
    do_Bool_Parm(cat, "gUninf", kParamBoolKeyword, kFactory, &gPars.gUninf, 0, forceReopt,
                 "exclude\0include\0", list);
    do_Bool_Parm(cat, "gPeeWee", kOnOff, kFactory, &gPars.gPeeWee, 0, forceAltParsPrep, nullptr,
                 list);
    do_Bool_Parm(cat, "minForFit", kParamBoolKeyword, kFactory, &gPars.minForFit, 0,
                 invalLengthBounds, "minLength\0range\0", list);
    do_Int_Parm(cat, "gapMode", kParamKeyword, kFactory, &gPars.gapMode, 0, gapModeChange,
                "missing\0newState\0", list);
}

void pscoresOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "PScores";
    do_Bool_Parm(cat, "overall", kOnOff, kFactory, &gPars.showOverall, 1, nullptr, nullptr, list);
    do_Int_Parm(cat, "single", kParamKeywordOff, kFactory, &gPars.singleChar, 0, nullptr,
                "no\0var\0all\0", list);
    struct Switch {
        const char *name;
        uint8_t *variable;
        uint32_t factory;
    };
    const Switch switches[] = {
        {"range", &gPars.showRange, 0},
        {"TL", &gPars.showTL, 1},
        {"CI", &gPars.showCI, 0},
        {"RI", &gPars.showRI, 0},
        {"RC", &gPars.showRC, 0},
        {"HI", &gPars.showHI, 0},
        {"Gfit", &gPars.showGfit, 0},
        {"compatibility", &gPars.showCompat, 0},
        {"cmpList", &gPars.showCmpList, 0},
        {"KHTest", &gPars.showKHTest, 0},
        {"nonparamTest", &gPars.showNonparam, 0},
        {"testDetails", &gPars.showTestDetails, 0},
        {"means", &gPars.showMeans, 0},
    };
    for (const Switch &s : switches)
        do_Bool_Parm(cat, s.name, kOnOff, kFactory, s.variable, s.factory, nullptr, nullptr,
                     list);
    do_Bool_Parm(cat, "total", kOnOff, kParamHidden, &gPars.showOverall, 0, nullptr, nullptr,
                 list);
    include(set, OptionSet::kTreeScoreOutput, list);
    do_Separator("The following 'PSet' options are also available", cat, list);
    include(set, OptionSet::kPSet, list);
}

void branchAndBoundOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "BandB";
    do_Flt_Parm(cat, "upBound", kParamReal, kFactoryNoText, &bbex.upBound, nullptr, 0.0, list);
    include(set, OptionSet::kKeepMulTrees, list);
    include(set, OptionSet::kSearchConstraints, list);
    do_Bool_Parm(cat, "fdOnly", kOnOff, kFactory, &srch.fdOnly, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "fdType", kParamKeyword, kFactory, &bbex.fdType, 0, nullptr,
                "histogram\0barChart\0", list);
    include(set, OptionSet::kScoreFreqDist, list);
    do_Int_Parm(cat, "addSeq", kParamKeyword, kFactory, &bbex.addSeq, 0, nullptr,
                "furthest\0asIs\0simple\0maxMini\0kMaxMini\0", list);
    include(set, OptionSet::kSearchStatus, list);
    include(set, OptionSet::kMultipleTrees, list);
}

void allTreesOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "ExSearch";
    do_Flt_Parm(cat, "keep", kParamRealOrNo, kFactoryNoText, &srch.keep, nullptr, 0.0, list);
    include(set, OptionSet::kSearchConstraints, list);
    do_Int_Parm(cat, "fd", kParamKeywordOff, kFactory, &bbex.fd, 1, nullptr,
                "none\0histogram\0barChart\0", list);
    include(set, OptionSet::kScoreFreqDist, list);
    do_String_Parm("scoreFile", cat, kParamFilename, kParamShowNone, sfopt.scoreFile, nullptr,
                   nullptr, "<filename-for-scores>", list);
    include(set, OptionSet::kSearchStatus, list);
    include(set, OptionSet::kMultipleTrees, list);
    do_Bool_Parm(cat, "pref_saveToFile", kOnOff, kParamNotInput | kHiddenFactory,
                 &sfopt.pref_saveToFile, 0, nullptr, nullptr, list);
}

void heuristicSearchOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "HSearch";
    do_Int_Parm(cat, "swap", kParamKeywordOff, kFactory, &hs.swap, 3, nullptr,
                "none\0NNI\0SPR\0TBR\0", list);
    do_Bool_Parm(cat, "ecr", kOnOff, kHiddenFactory, &hs.ecr, 0, nullptr, nullptr, list);
    include(set, OptionSet::kKeepMulTrees, list);
    include(set, OptionSet::kSearchConstraints, list);
    do_IntRange_Parm(cat, "reconLimit", kParamIntOrLabel, kFactory, &hs.reconLimit, 8, 1,
                     kIntMax, nullptr, "infinity\0no\0", list);
    do_IntRange_Parm(cat, "nchuck", kParamInt, kFactory, &hs.nchuck, 0, 0, kIntMax, nullptr,
                     nullptr, list);
    do_Flt_Parm(cat, "chuckScore", kParamRealOrNo, kFactoryNoText, &hs.chuckScore, nullptr, 0.0,
                list);
    do_Fxn_Parm("start", cat, kParamNonpersistent | kFactory, nullptr, getStarterOptions,
                nullptr, "stepwise|NJ|current|<tree-number>[-<tree-number>]", list);
    do_Int_Parm(cat, "addSeq", kParamKeyword, kFactory, &hs.addSeq, 0, nullptr,
                "simple\0closest\0asIs\0random\0furthest\0", list);
    do_IntRange_Parm(cat, "nreps", kParamInt, kFactory, &hs.nreps, 10, 1, kMaxReplicates,
                     nullptr, nullptr, list);
    do_Int_Parm(cat, "rseed", kParamSeed, kFactoryNoText, hs.rseed, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "rstatus", kOnOff, kFactory, &hs.rstatus, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "saveReps", kOnOff, kFactory, &hs.saveReps, 0, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "refTax", kParamInt, kFactory, &hs.refTax, 0, 0, kIntMax, nullptr,
                     nullptr, list);
    do_IntRange_Parm(cat, "hold", kParamIntOrNo, kFactory, &hs.hold, 1, 1, kIntMax, nullptr,
                     nullptr, list);
    do_IntRange_Parm(cat, "nbest", kParamIntOrLabel, kFactory, &hs.nbest, 0, 1, kIntMax,
                     nullptr, "all\0no\0", list);
    do_Bool_Parm(cat, "allSwap", kOnOff, kFactory, &hs.allSwap, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "useNonMin", kOnOff, kFactory, &hs.useNonMin, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "steepest", kOnOff, kFactory, &hs.steepest, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "abortRep", kOnOff, kFactory, &hs.abortRep, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "retain", kOnOff, kParamNonpersistent | kFactory, &hs.retain, 0, nullptr, nullptr,
                 list);
    include(set, OptionSet::kSearchStatus, list);
    do_Bool_Parm(cat, "randomize", kParamBoolKeyword, kFactory, &hs.randomize, 0, nullptr,
                 "addSeq\0trees\0", list);
    do_IntRange_Parm(cat, "timeLimit", kParamIntOrLabel, kFactory, &hs.timeLimit, 0, 1, kIntMax,
                     nullptr, "none\0", list);
    do_IntRange_Parm(cat, "rearrLimit", kParamIntOrLabel, kFactory, &hs.rearrLimit, 0, 1,
                     kIntMax, nullptr, "none\0", list);
    do_Bool_Parm(cat, "limitPerRep", kOnOff, kFactory, &hs.limitPerRep, 0, nullptr, nullptr,
                 list);
    include(set, OptionSet::kMultipleTrees, list);
    do_Flt_Parm(cat, "chuckLen", kParamRealOrNo, kParamHidden, &hs.chuckScore, nullptr, 0.0,
                list);
}

void resamplingOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "BootJack";
    do_IntRange_Parm(cat, "nreps", kParamInt, kFactory, &btjkOpt.nreps, 100, 1, kMaxReplicates,
                     nullptr, nullptr, list);
    do_Int_Parm(cat, "search", kParamKeyword, kFactory, &btjkOpt.search, 0, nullptr,
                kBootSearches, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactoryNoText, btjkOpt.seed, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "conLevel", kParamInt, kFactory, &btjkOpt.conLevel, 50, nullptr, nullptr,
                list);
    do_Bool_Parm(cat, "keepAll", kOnOff, kFactory, &btjkOpt.keepAll, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "wts", kParamKeyword, kFactory, &btjkOpt.wts, 0, checkBtjkWtsOption,
                "proportional\0simple\0\x08\x03repeatCnt\0\x08\x04ignore\0", list);
    do_Bool_Parm(cat, "grpFreq", kOnOff, kFactory, &btjkOpt.grpFreq, 1, nullptr, nullptr, list);
    do_String_Parm("treeFile", cat, kParamFilename, kParamShowNone, btjkOpt.treeFile, nullptr,
                   nullptr, "<filename-for-bootstrap-treefile>", list);
    do_Int_Parm(cat, "format", kParamKeyword, kParamShowNone, &btjkOpt.format, 0, nullptr,
                kTreeFormats, list);
    do_Int_Parm(cat, "brLens", kParamKeywordOff, kFactory, &btjkOpt.brLens, 0, nullptr,
                "no\0yes\0", list);
    include(set, OptionSet::kOutputFile, list);
    do_Int_Parm(cat, "cutoffPct", kParamInt, kFactory, &btjkOpt.cutoffPct, 5, nullptr, nullptr,
                list);
    do_Bool_Parm(cat, "save", kOnOff, kParamHidden, &btjkOpt.save, 0, saveGone, nullptr, list);
    do_String_Parm("file", cat, kParamFilename, kParamShowNone | kParamHidden, btjkOpt.treeFile,
                   nullptr, nullptr, nullptr, list);
    do_Int_Parm(cat, "fmt", kParamKeyword, kParamHidden, &btjkOpt.format, 0, nullptr,
                kTreeFormats, list);
}

void bootstrapOptions(CmdParamList *list)
{
    const char *cat = "bootJack";
    do_Int_Parm(cat, "bseed", kParamSeed, kHiddenNoText, btjkOpt.seed, 0, nullptr, nullptr, list);
    do_Fxn_Parm("nchar", cat, 0, &btjkOpt.nchar, readNcharBoot, nullptr,
                "Current|<number-of-characters>", list);
    // No name: never typed, it only carries the factory value of nchar.
    do_Int_Parm(cat, "", kParamInt, kHiddenFactory | kParamNoFactoryText, &btjkOpt.nchar, 0,
                nullptr, nullptr, list);
    do_Int_Parm(cat, "method", kParamKeyword, kParamHidden, &btjkOpt.search, 0, nullptr,
                "Heuristic\0BandB\0FastStep\0NJ\0UPGMA\0", list);
}

void jackknifeOptions(CmdParamList *list)
{
    const char *cat = "bootJack";
    do_Int_Parm(cat, "JSeed", kParamSeed, kHiddenNoText, btjkOpt.seed, 0, nullptr, nullptr, list);
    do_Flt_Parm(cat, "PctDelete", kParamReal, kFactory, &btjkOpt.pctDelete, checkJackFrac, 50.0,
                list);
    do_Bool_Parm(cat, "Resample", kParamBoolKeyword, kFactory, &btjkOpt.resample, 0, nullptr,
                 "normal\0Jac\0", list);
}

void homPartOptions(CmdParamList *list)
{
    const char *cat = "HomPart";
    do_Fxn_Parm("partition", cat, kFactory, &homOpt.partition, handleCharPtnName, nullptr,
                "<charpartition-name>", list);
    do_IntRange_Parm(cat, "nreps", kParamInt, kFactory, &homOpt.nreps, 100, 1, kMaxReplicates,
                     nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactoryNoText, homOpt.seed, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "search", kParamKeyword, kFactory, &homOpt.search, 0, nullptr,
                "heuristic\0BandB\0", list);
}

void permuteOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "Permute";
    do_Int_Parm(cat, "test", kParamKeyword, kFactory, &permOpt.test, 0, nullptr,
                "PTP\0TPTP\0Compare2\0", list);
    do_Int_Parm(cat, "pseed", kParamSeed, kFactoryNoText, permOpt.pseed, 0, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "nreps", kParamInt, kFactory, &permOpt.nreps, 100, 1, kMaxReplicates,
                     nullptr, nullptr, list);
    do_Int_Parm(cat, "search", kParamKeyword, kFactory, &permOpt.search, 0, nullptr,
                "heuristic\0BandB\0", list);
    do_Int_Parm(cat, "randomize", kParamKeyword, kFactory, &permOpt.randomize, 0, nullptr,
                "all\0ingroup\0", list);
    do_Bool_Parm(cat, "converse", kOnOff, kFactory, &permOpt.converse, 0, nullptr, nullptr, list);
    do_Fxn_Parm("constraints", cat, 0, &permOpt.constraint, getPermConstrParm, nullptr,
                "<constraint-name>", list);
    include(set, OptionSet::kConvexity, list);
    do_Fxn_Parm("first", cat, 0, &permOpt.first, getPermConstrParm, nullptr,
                "<constraint-tree-name>", list);
    do_Fxn_Parm("second", cat, 0, &permOpt.second, getPermConstrParm, nullptr,
                "<constraint-tree-name>", list);
}

void randTreesOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "RandTree";
    do_IntRange_Parm(cat, "nreps", kParamInt, kFactory, &evalRand.nreps, 1000, 1,
                     kMaxReplicates, nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactoryNoText, evalRand.seed, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "fdType", kParamKeyword, kFactory, &evalRand.fdType, 0, nullptr,
                "histogram\0barChart\0", list);
    include(set, OptionSet::kScoreFreqDist, list);
    do_String_Parm("scoreFile", cat, kParamFilename, kParamShowNone, sfopt.scoreFile, nullptr,
                   nullptr, "<filename-for-scores>", list);
    do_Int_Parm(cat, "tseed", kParamSeed, kHiddenNoText, evalRand.seed, 0, nullptr, nullptr, list);
    include(set, OptionSet::kAncestorInclusion, list);
    do_Bool_Parm(cat, "saveFD", kOnOff, kParamHidden, &fdopt.pref_saveToFile, 0, saveGone,
                 nullptr, list);
}

}  // namespace

uint32_t traverseParsOptionSets(OptionSet set, CmdParamList *list)
{
    if (runs(set, OptionSet::kPSet))
        psetOptions(list);
    if (runs(set, OptionSet::kPScores))
        pscoresOptions(set, list);
    if (runs(set, OptionSet::kBandB))
        branchAndBoundOptions(set, list);
    if (runs(set, OptionSet::kAllTrees))
        allTreesOptions(set, list);
    if (runs(set, OptionSet::kHSearch))
        heuristicSearchOptions(set, list);
    if (runs(set, OptionSet::kResampling))
        resamplingOptions(set, list);
    if (runs(set, OptionSet::kBootstrapMethod))
        bootstrapOptions(list);
    if (runs(set, OptionSet::kJackknifeMethod))
        jackknifeOptions(list);
    // Bootstrap, Jackknife and the two together are made only of the sets above.
    const bool bootstrap = set == OptionSet::kBootstrap || set == OptionSet::kBootJack;
    const bool jackknife = set == OptionSet::kJackknife || set == OptionSet::kBootJack;
    if (bootstrap)
        include(set, OptionSet::kBootstrapMethod, list);
    if (jackknife)
        include(set, OptionSet::kJackknifeMethod, list);
    if (bootstrap || jackknife)
        include(set, OptionSet::kResampling, list);
    if (runs(set, OptionSet::kHomPart))
        homPartOptions(list);
    if (runs(set, OptionSet::kPermute))
        permuteOptions(set, list);
    if (runs(set, OptionSet::kRandTrees))
        randTreesOptions(set, list);
    return list->failed;
}

void registerParsSharedOptions(ParsSharedOptions which, CmdParamList *list)
{
    switch (which) {
    case ParsSharedOptions::kCollapse:
        do_Int_Parm(nullptr, "collapse", kParamKeywordOff, kParamHidden, &gPars.collapse, 0,
                    nullptr, kCollapseWords, list);
        break;
    case ParsSharedOptions::kMsTaxaAndOpt:
        do_Int_Parm("Settings", "msTaxa", kParamKeyword, kParamHidden, &gPars.msTaxa, 0,
                    forceFullRepack, kMsTaxaWords, list);
        do_Int_Parm("Settings", "opt", kParamKeyword, kParamHidden, &gPars.opt, 0, forceReopt,
                    kOptWords, list);
        break;
    case ParsSharedOptions::kStepMatrix:
        do_Int_Parm("Settings", "stepMatrix", kParamKeyword, kHiddenFactory, &gPars.stepMatrix, 2,
                    forceFullRepack, kStepMatrixWords, list);
        break;
    }
}

void registerDataParsOptions(DataParsOptions which, CmdParamList *list)
{
    constexpr const char *kGapModes = "missing\0newState\0indel\0";
    switch (which) {
    case DataParsOptions::kDataBlockOptions:
        do_Int_Parm(nullptr, "gapMode", kParamKeyword, kParamHidden, i32Of(gPars.gapMode), 0, gapModeChange,
                    kGapModes, list);
        do_Int_Parm(nullptr, "msTaxa", kParamKeyword, kParamHidden, i32Of(gPars.msTaxa), 0, forceFullRepack,
                    "uncertain\0polymorph\0variable\0", list);
        break;
    case DataParsOptions::kAssumptionsOptions:
        do_Int_Parm("Assump", "gapMode", kParamKeyword, kFactory, &gPars.gapMode, 0, gapModeChange, kGapModes,
                    list);
        break;
    }
}
