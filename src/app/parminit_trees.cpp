// Option sets of the tree commands: getting, saving, showing, describing,
// comparing, summarising, filtering and generating trees.
#include <cstdio>

#include "data/nexsets.h"
#include "parsimony/pars_init.h"
#include "app/parminit.h"
#include "cli/shell_settings.h"
#include "app/vorn_params.h"
#include "search/search_settings.h"
#include "trees/tree_settings.h"
#include "trees/treelist.h"

using namespace optreg;

namespace {

// ClearTrees' noWarn is accepted and its value thrown away.
uint8_t gDiscardedNoWarn = 0;

constexpr uint32_t kHidden = kParamHidden;

constexpr const char *kSupportWords = "no\0brlens\0nodeLabels\0Both\0";
constexpr const char *kTreeFormats = "Nexus\0altNexus\0Freqpars\0Newick\0Hennig\0Phylip\0";
constexpr const char *kOptWords = "AccTran\0DelTran\0MinF\0";

// A tree number typed as an option; 0 stands for "none" or "first/last".
void treeNumber(const char *cat, const char *name, uint32_t flags, uint32_t &variable,
                CmdParamList *list)
{
    do_IntRange_Parm(cat, name, kParamInt, flags, i32Of(variable), 0, 0, kMaxTreeNumberOption,
                     nullptr, nullptr, list);
}

void agreeOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "Agree";
    do_Int_Parm(cat, "all", kParamKeywordOff, kFactory, &agree.all, 0, nullptr,
                "no\0sets\0trees\0both\0", list);
    do_Bool_Parm(cat, "showTree", kOnOff, kFactory, &agree.showTree, 1, nullptr, nullptr, list);
    do_String_Parm("treefile", cat, kParamFilename, kNoShow, agree.treefile, nullptr, nullptr,
                   "<filename-for-treefile>", list);
    include(set, OptionSet::kOutputFile, list);
    include(set, OptionSet::kDrawTreeCompress, list);
    do_Bool_Parm(cat, "pref_saveTree", kOnOff, kDerived, &agree.saveToFile, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "save", kOnOff, kHidden, &agree.saveToFile, 0, saveGone, nullptr, list);
    do_String_Parm("file", cat, kParamFilename, kNoShow | kHidden, agree.treefile, nullptr,
                   nullptr, nullptr, list);
}

void generateTrees(CmdParamList *list)
{
    const char *cat = "GenTree";
    do_Bool_Parm(cat, "all", kOnOff, kNoShow | kHidden, &treeGen.all, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "random", kOnOff, kNoShow | kHidden, &treeGen.random, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "permuteTips", kOnOff, kNoShow | kHidden, &treeGen.permuteTips, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(cat, "model", kParamKeyword, kFactory, &treeGen.model, 0, nullptr,
                "equiprobable\0Markovian\0", list);
    // 0 passes the parser so that the command itself explains what it needs.
    do_IntRange_Parm(cat, "ntrees", kParamInt, kFactory, i32Of(treeGen.ntrees), kDefaultGenTrees,
                     0, kMaxtreesCeiling, nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactory | kParamNoFactoryText, treeGen.seed, 0, nullptr,
                nullptr, list);
    do_Bool_Parm(cat, "rooted", kOnOff, 0, &treeGen.rooted, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "nonbinary", kOnOff, 0, &treeGen.nonbinary, 0, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "treeNum", kParamInt, 0, i32Of(treeGen.treeNum), 1, 1,
                     kMaxTreeNumberOption, nullptr, nullptr, list);
    do_Fxn_Parm("constraints", cat, kNoShow, nullptr, getConstrNameNonp, nullptr,
                "<constraint-name>", list);
    do_Bool_Parm(cat, "converse", kOnOff, kOnce, &treeGen.converse, 0, nullptr, nullptr, list);
}

void treesBlockAllTrees(CmdParamList *list)
{
    do_Bool_Parm(nullptr, "unrooted", kOnOff, kOnce, &treeGen.unrooted, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "ntax", kParamInt, kOnce, &treeGen.ntax, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "model", kParamKeyword, kOnce, &treeGen.unlabelled, 0, nullptr,
                "labelled\0unlabelled\0", list);
    do_Bool_Parm(nullptr, "nonbinary", kOnOff, 0, &treeGen.nonbinary, 0, nullptr, nullptr, list);
}

void treesBlockRandomTrees(CmdParamList *list)
{
    const char *cat = "GenRand";
    // No default: the command must say how many trees it wants.
    do_IntRange_Parm(cat, "ntrees", kParamInt, kOnce, i32Of(treeGen.ntrees), 0, 0,
                     kMaxtreesCeiling, nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactory | kParamNoFactoryText, treeGen.seed, 0, nullptr,
                nullptr, list);
    do_Bool_Parm(cat, "unrooted", kOnOff, kOnce, &treeGen.unrooted, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "model", kParamKeyword, kOnce, &treeGen.model, 0, nullptr,
                "equiprobable\0Markovian\0Unlabelled\0", list);
    do_Int_Parm(cat, "ntax", kParamInt, kOnce, &treeGen.ntax, 0, nullptr, nullptr, list);
}

void getTreesOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "GetTrees";
    do_String_Parm("file", cat, kParamFilename, 0, gTreefileName, nullptr, nullptr,
                   "<treefile-name>", list);
    treeNumber(cat, "from", kNoShow, getr.from, list);
    treeNumber(cat, "to", kNoShow, getr.to, list);
    // Any count passes the parser: GetTrees itself names the modes it refuses.
    do_IntRange_Parm(cat, "mode", kParamInt, kFactory, i32Of(getr.mode), kDefaultGetTreesMode, 0,
                     0x7FFFFFFF, nullptr, nullptr, list);
    do_Bool_Parm(cat, "allBlocks", kOnOff, kFactory, &getr.allBlocks, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "rooted", kOnOff, kFactory | kHidden | kOnce, &getr.rooted, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "unrooted", kOnOff, kFactory | kHidden | kOnce, &getr.unrooted, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "dupTrees", kParamBoolKeyword, kFactory, &getr.dupTrees, 0, nullptr,
                 "keep\0eliminate\0", list);
    do_Bool_Parm(cat, "pruneDelTaxa", kOnOff, kFactory, &getr.pruneDelTaxa, 0, nullptr, nullptr,
                 list);
    include(set, OptionSet::kTreeStorage, list);
    do_Bool_Parm(cat, "warnTree", kOnOff, kFactory, &wrng.warnTree, 1, nullptr, nullptr, list);
}

void saveTreesOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "SaveTrees";
    do_String_Parm("file", cat, kParamFilename, 0, gTreefileName, nullptr, nullptr,
                   "<output-treefile-name>", list);
    do_Int_Parm(cat, "format", kParamKeyword, kFactory, &svtr.format, kTreeFmtNexus, nullptr,
                kTreeFormats, list);
    do_Bool_Parm(cat, "root", kOnOff, kFactory, &svtr.root, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "treeWts", kOnOff, kFactory, &svtr.treeWts, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "brLens", kParamKeywordOff, kFactory, &svtr.brLens, kSaveBrlensNo, nullptr,
                "no\0yes\0user\0", list);
    do_Bool_Parm(cat, "taxaBlk", kOnOff, kFactory, &svtr.taxaBlk, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "setStoreCmd", kOnOff, kFactory, &svtr.setStoreCmd, 0, nullptr, nullptr,
                 list);
    do_Int_Parm(cat, "supportValues", kParamKeywordOff, kFactory, &svtr.supportValues,
                kSupportBrlens, nullptr, kSupportWords, list);
    do_IntRange_Parm(cat, "maxDecimals", kParamInt, kFactory, i32Of(svtr.maxDecimals), 6, 0,
                     kMaxSavedBrlenDecimals, nullptr, nullptr, list);
    do_Bool_Parm(cat, "trees", kParamBoolKeyword, kNoShow, &svtr.firstOnly, 0, nullptr,
                 "all\0firstOnly\0", list);
    treeNumber(cat, "from", kNoShow, svtr.from, list);
    treeNumber(cat, "to", kNoShow, svtr.to, list);
    do_String_Parm("prefix", cat, kParamString, kNoShow, svtr.prefix, nullptr, nullptr,
                   "<tree-name-prefix>", list);
    include(set, OptionSet::kOutputFile, list);
    do_Int_Parm(cat, "fmt", kParamKeyword, kHidden, &svtr.format, 0, nullptr, kTreeFormats, list);
    do_Int_Parm(cat, "saveBootP", kParamKeywordOff, kHidden, &svtr.supportValues, 0, nullptr,
                "no\0brlens\0nodeLabels\0both\0", list);
}

void matrixRepOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "MatrixRep";
    do_Bool_Parm(cat, "trees", kParamBoolKeyword, kNoShow, &mrep.firstOnly, 0, nullptr,
                 "all\0firstOnly\0", list);
    do_String_Parm("file", cat, kParamFilename, 0, gTreefileName, nullptr, nullptr,
                   "<output-filename>", list);
    do_Bool_Parm(cat, "supportWts", kOnOff, kFactory, &mrep.supportWts, 1, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "brlenWts", kOnOff, kFactory, &mrep.brlenWts, 1, nullptr, nullptr, list);
    include(set, OptionSet::kOutputFile, list);
}

void treeDistOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "TreeDist";
    do_Int_Parm(cat, "measure", kParamKeyword, kFactory, &tdOpt.measure, kTreeDistSymDiff,
                nullptr, "rfSymDiff\0agD1\0agreement\0ABC\0matching\0", list);
    treeNumber(cat, "refTree", kFactory, tdOpt.refTree, list);
    do_Bool_Parm(cat, "fd", kOnOff, kFactory, &tdOpt.fd, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "errorRates", kOnOff, kFactory, &tdOpt.errorRates, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "showAll", kOnOff, kFactory, &tdOpt.showAll, 1, nullptr, nullptr, list);
    do_String_Parm("file", cat, kParamFilename, kNoShow, tdOpt.file, nullptr, nullptr,
                   "<output-filename>", list);
    include(set, OptionSet::kOutputFile, list);
    do_Bool_Parm(cat, "pref_saveToFile", kOnOff, kDerived, &tdOpt.saveToFile, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(cat, "metric", kParamKeyword, kHidden, &tdOpt.measure, 0, nullptr,
                "symDiff\0agD1\0agreement\0ABC\0matching\0", list);
    treeNumber(cat, "compare", kHidden, tdOpt.refTree, list);
    treeNumber(cat, "fromTree", kHidden, tdOpt.refTree, list);
}

void describeTreesOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "DescribeTrees";
    do_Int_Parm(cat, "plot", kParamKeywordOff, kFactory, &describe.plot, 1, nullptr,
                "none\0cladogram\0phylogram\0Both\0", list);
    include(set, OptionSet::kRooting, list);
    do_Int_Parm(cat, "brLens", kParamKeywordOff, kFactory, &describe.brLens, 0, nullptr,
                "no\0yes\0sumOnly\0", list);
    do_Bool_Parm(cat, "labelNode", kOnOff, kFactory, &describe.labelNode, 1, nullptr, nullptr,
                 list);
    do_Int_Parm(cat, "xout", kParamKeywordOff, kFactory, &describe.xout, 0, nullptr,
                "none\0terminal\0internal\0Both\0", list);
    struct Switch {
        const char *name;
        uint8_t *variable;
    };
    const Switch listings[] = {{"mprSets", &describe.mprSets},     {"apoList", &describe.apoList},
                               {"chgList", &describe.chgList},     {"patristic", &describe.patristic},
                               {"homoplasy", &describe.homoplasy}, {"fValue", &describe.fValue},
                               {"diagnose", &describe.diagnose}};
    for (const Switch &s : listings)
        do_Bool_Parm(cat, s.name, kOnOff, kFactory, s.variable, 0, nullptr, nullptr, list);
    include(set, OptionSet::kDrawTree, list);
    include(set, OptionSet::kCharMatrixOutput, list);
    do_Fxn_Parm("ancStates", cat, kHidden, nullptr, getAncStParm, nullptr, "<ancstates-name>",
                list);
    do_Int_Parm(cat, "links", kParamKeywordOff, kHidden, &describe.brLens, 0, nullptr,
                "no\0yes\0", list);
    do_Bool_Parm(cat, "cSPoss", kOnOff, kHidden, &describe.mprSets, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "opt", kParamKeyword, kHidden, &gPars.opt, 0, forceReopt, kOptWords, list);
    do_Separator("The following options apply only to output of reconstructed ancestral "
                 "sequences to a file",
                 cat, list);
    do_String_Parm("file", cat, kParamFilename, kNoShow, specialFlnam, nullptr, nullptr,
                   "<ancstates-file-name>", list);
    do_Bool_Parm(cat, "showAmbigs", kOnOff, kFactory, &describe.showAmbigs, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "interleaved", kOnOff, kFactory, &describe.interleaved, 0, nullptr, nullptr,
                 list);
    do_IntRange_Parm(cat, "charsPerLine", kParamIntOrLabel, kFactory, i32Of(describe.charsPerLine),
                     0, 1, 0x7FFFFFFF, nullptr, "all\0", list);
    do_Bool_Parm(cat, "replace", kOnOff, kOnce, &gReplaceFile, 0, nullptr, nullptr, list);
}

void characterPlot(OptionSet set, bool withOpt, CmdParamList *list)
{
    include(set, OptionSet::kDrawTreeCompress, list);
    do_Fxn_Parm("trees", nullptr, 0, &treeSets[kCharPlotTreeSet], readOptTreeList1st, nullptr,
                nullptr, list);
    if (withOpt)
        do_Int_Parm(nullptr, "opt", kParamKeyword, kHidden, &gPars.opt, 0, forceReopt, kOptWords,
                    list);
}

void conTreeOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "ConTree";
    struct Switch {
        const char *name;
        uint8_t *variable;
        uint32_t factory;
    };
    const Switch kinds[] = {{"strict", &conOpt.strict, 1},
                            {"semistrict", &conOpt.semistrict, 0},
                            {"adams", &conOpt.adams, 0},
                            {"majRule", &conOpt.majRule, 0}};
    for (const Switch &s : kinds)
        do_Bool_Parm(cat, s.name, kOnOff, kFactory, s.variable, s.factory, nullptr, nullptr, list);
    // The cutoff is checked against 50..100 by the command, with its own message.
    do_Int_Parm(cat, "percent", kParamInt, kFactory, &conOpt.percent, 50, nullptr, nullptr, list);
    const Switch output[] = {{"LE50", &conOpt.LE50, 0},           {"useTreeWts", &conOpt.useTreeWts, 0},
                             {"grpFreq", &conOpt.grpFreq, 1},     {"indices", &conOpt.indices, 0},
                             {"showTree", &conOpt.showTree, 1}};
    for (const Switch &s : output)
        do_Bool_Parm(cat, s.name, kOnOff, kFactory, s.variable, s.factory, nullptr, nullptr, list);
    do_String_Parm("treeFile", cat, kParamFilename, kNoShow, conOpt.treeFile, nullptr, nullptr,
                   "<output-treefile-name>", list);
    do_Int_Parm(cat, "saveSupport", kParamKeyword, kFactory, &conOpt.saveSupport,
                kSupportNodeLabels, nullptr, kSupportWords, list);
    include(set, OptionSet::kOutputFile, list);
    include(set, OptionSet::kDrawTreeCompress, list);
    include(set, OptionSet::kRooting, list);
    do_Bool_Parm(cat, "save", kOnOff, kHidden, &conOpt.saveToFile, 0, saveGone, nullptr, list);
    do_Int_Parm(cat, "cutoff", kParamInt, kHidden, &conOpt.percent, 0, nullptr, nullptr, list);
    do_String_Parm("file", cat, kParamFilename, kNoShow | kHidden, conOpt.treeFile, nullptr,
                   nullptr, nullptr, list);
}

void treeScoreOutput(OptionSet set, CmdParamList *list)
{
    const char *cat = "TreeScores";
    do_Bool_Parm(cat, "sortTrees", kOnOff, kFactory | kOnce, &gSortTreesByScore, 0, nullptr,
                 nullptr, list);
    do_String_Parm("scoreFile", cat, kParamFilename, kNoShow, sfopt.scoreFile, nullptr, nullptr,
                   "<filename-for-scores>", list);
    include(set, OptionSet::kOutputFile, list);
    do_Bool_Parm(cat, "displayOut", kOnOff, kFactory | kOnce, &sfopt.displayOut, 1, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "pref_saveToFile", kOnOff, kDerived, &sfopt.pref_saveToFile, 0, nullptr,
                 nullptr, list);
}

void filterOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "Filter";
    do_Bool_Parm(cat, "reverse", kOnOff, kOnce, &fltr.reverse, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "best", kOnOff, kOnce, &fltr.best, 0, nullptr, nullptr, list);
    do_Flt_Parm(cat, "maxScore", kParamReal, kNoShow, &fltr.maxScore, nullptr, 0.0, list);
    do_Flt_Parm(cat, "minScore", kParamReal, kNoShow, &fltr.minScore, nullptr, 0.0, list);
    treeNumber(cat, "numLE", kNoShow, fltr.numLE, list);
    treeNumber(cat, "numGE", kNoShow, fltr.numGE, list);
    do_Fxn_Parm("constraints", cat, kNoShow, nullptr, getConstrNameNonp, nullptr,
                "<constraint-name>", list);
    include(set, OptionSet::kConvexity, list);
    // The largest distance is a count of splits, bounded like a tree number.
    treeNumber(cat, "SD", kNoShow, fltr.SD, list);
    treeNumber(cat, "from", kNoShow, fltr.from, list);
    do_Bool_Parm(cat, "lessResolv", kOnOff, kOnce, &fltr.lessResolv, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "binary", kOnOff, kOnce, &fltr.binary, 0, nullptr, nullptr, list);
    do_String_Parm("taxset", cat, kParamString, kNoShow, taxsetTag, nullptr, nullptr,
                   "<taxset-name>", list);
    do_Bool_Parm(cat, "permdel", kOnOff, kOnce, &fltr.permdel, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "always", kOnOff, kFactory, &fltr.always, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "off", kOnOff, kHidden | kOnce, &fltr.off, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "purge", kOnOff, kHidden | kOnce, &fltr.purge, 0, nullptr, nullptr, list);
}

}  // namespace

uint32_t traverseTreeOptionSets(OptionSet set, CmdParamList *list)
{
    if (runs(set, OptionSet::kAgree))
        agreeOptions(set, list);
    if (runs(set, OptionSet::kGenerateTrees))
        generateTrees(list);
    if (runs(set, OptionSet::kMakeAllTrees))
        treesBlockAllTrees(list);
    if (runs(set, OptionSet::kMakeRandomTrees))
        treesBlockRandomTrees(list);
    if (runs(set, OptionSet::kGetTrees))
        getTreesOptions(set, list);
    if (runs(set, OptionSet::kLoadConstr)) {
        do_String_Parm("file", nullptr, kParamFilename, 0, gTreefileName, nullptr, nullptr,
                       "<treefile-name>", list);
        do_Bool_Parm(nullptr, "append", kOnOff, kOnce, &ldCnstrOpt.append, 0, nullptr, nullptr,
                     list);
        do_Bool_Parm(nullptr, "asBackbone", kOnOff, kOnce, &ldCnstrOpt.asBackbone, 0, nullptr,
                     nullptr, list);
    }
    if (runs(set, OptionSet::kRootTrees)) {
        include(set, OptionSet::kRooting, list);
        do_Bool_Parm("RootTrees", "userBrLens", kOnOff, kOnce, &rooting.userBrLens, 0, nullptr,
                     nullptr, list);
    }
    if (runs(set, OptionSet::kSaveTrees))
        saveTreesOptions(set, list);
    if (runs(set, OptionSet::kMatrixRep))
        matrixRepOptions(set, list);
    if (runs(set, OptionSet::kCondense)) {
        do_Int_Parm("Condense", "collapse", kParamKeywordOff, kFactory, &condenseCollapse, 1,
                    nullptr, "no\0maxBrlen\0minBrlen\0ambEqual\0", list);
        do_Bool_Parm("Condense", "delDupes", kOnOff, kFactory, &condenseDelDupes, 1, nullptr,
                     nullptr, list);
    }
    if (runs(set, OptionSet::kTreeDist))
        treeDistOptions(set, list);
    if (runs(set, OptionSet::kShowTrees)) {
        include(set, OptionSet::kDrawTree, list);
        include(set, OptionSet::kRooting, list);
        do_Bool_Parm("ShowTrees", "userBrLens", kOnOff, kFactory, &treeDraw.userBrLens, 0,
                     nullptr, nullptr, list);
    }
    if (runs(set, OptionSet::kDescribeTrees))
        describeTreesOptions(set, list);
    if (runs(set, OptionSet::kReconstruct))
        characterPlot(set, true, list);
    if (runs(set, OptionSet::kMPRSets))
        characterPlot(set, false, list);
    if (runs(set, OptionSet::kConTree))
        conTreeOptions(set, list);
    if (runs(set, OptionSet::kTreeScoreOutput))
        treeScoreOutput(set, list);
    if (runs(set, OptionSet::kFilter))
        filterOptions(set, list);
    if (runs(set, OptionSet::kSumTrees)) {
        do_Bool_Parm("sumT", "relBurnin", kOnOff, kFactory, &sumT.relBurnin, 1, nullptr, nullptr,
                     list);
        do_String_Parm("filename", "sumT", kParamFilename, 0, sumT.filename, nullptr, nullptr,
                       "<treefile-name>", list);
    }
    if (runs(set, OptionSet::kClearTrees))
        do_Bool_Parm(nullptr, "noWarn", kOnOff, kHidden, &gDiscardedNoWarn, 0, nullptr, nullptr,
                     list);
    return list->failed;
}
