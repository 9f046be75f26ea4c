// Option sets of the quartet commands and of the simulation blocks.
#include "data/nexsets.h"
#include "quartets/quartets_settings.h"
#include "trees/constr.h"
#include "search/search_settings.h"
#include "selection/sim_settings.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "cli/shell_settings.h"
#include "app/vorn_params.h"

using namespace optreg;

namespace {

void puzzleOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "Puzzle";
    do_IntRange_Parm(cat, "nPuzzles", kParamInt, kFactory, &puzOpt.nPuzzles, 1000, 0, kIntMax,
                     nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactoryNoText, puzOpt.seed, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "showTree", kOnOff, kFactory, &puzOpt.showTree, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "grpFreq", kOnOff, kFactory, &puzOpt.grpFreq, 1, nullptr, nullptr, list);
    do_Int_Parm(cat, "cutoffPct", kParamInt, kFactory, &puzOpt.cutoffPct, 5, nullptr, nullptr,
                list);
    do_Bool_Parm(cat, "useApproxLim", kOnOff, kFactory, &puzOpt.useApproxLim, 1, nullptr, nullptr,
                 list);
    do_String_Parm("treeFile", cat, kParamFilename, kParamShowNone, puzOpt.treeFile, nullptr,
                   nullptr, "<filename-for-treefile>", list);
    include(set, OptionSet::kOutputFile, list);
    // The same status interval as Set's dStatus.
    do_IntRange_Parm(cat, "dstatus", kParamIntOrLabel, kFactory, &srch.dStatus, 60, 1,
                     kMaxStatusInterval, nullptr, "none\0", list);
    do_Bool_Parm(cat, "minMemReq", kOnOff, kParamHidden, &puzOpt.minMemReq, 0,
                 outputUnsupportedMsg, nullptr, list);
    do_Bool_Parm(cat, "penalties", kParamBoolKeyword, kHiddenFactory, &puzOpt.penalties, 0,
                 nullptr, "Halvorik\0full\0\x08\x01Vennick\0", list);
    do_Bool_Parm(cat, "allowParEst", kOnOff, kHiddenFactory, &puzOpt.allowParEst, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "pref_saveToFile", kOnOff, kDerived, &puzOpt.pref_saveToFile, 0, nullptr,
                 nullptr, list);
}

void svdQuartetsOptions(CmdParamList *list)
{
    const char *cat = "SVDQuart";
    SvdqSettings &o = svdqOpt;
    do_Bool_Parm(cat, "evalQuartets", kParamBoolKeyword, kFactory, &o.evalQuartets, 1, nullptr,
                 "all\0random\0", list);
    do_Flt_Parm(cat, "nquartets", kParamReal, kFactory, &o.nquartets, nullptr, 100000.0, list);
    do_Bool_Parm(cat, "preferAllQ", kOnOff, kFactory, &o.preferAllQ, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "speciesTree", kOnOff, kFactory, &o.speciesTree, 0, nullptr, nullptr, list);
    do_String_Parm("partition", cat, kParamString, kParamNoFactoryText, o.partition, nullptr,
                   nullptr, "<taxpartition-name>", list);
    do_Int_Parm(cat, "treeInf", kParamKeyword, kFactory, &o.treeInf, kSvdqTreeInfQFM, nullptr,
                "QFM\0curTrees\0none\0", list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactoryNoText, o.seed, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "bootstrap", kParamKeywordOff, kFactoryNoText, &o.bootstrap, kSvdqBootNo,
                nullptr, "no\0standard\0multilocus\0\x08\x02yes\0", list);
    do_Fxn_Parm("loci", cat, kFactory, &o.loci, handleCharPtnName, nullptr,
                "<charpartition-name>", list);
    do_IntRange_Parm(cat, "nreps", kParamInt, kFactory, &o.nreps, 100, 1, kMaxQuartetReps,
                     nullptr, nullptr, list);
    do_Fxn_Parm("nthreads", cat, kFactory, &o.nthreads, readNthreadsParam, nullptr,
                "ncpus|<number-of-threads>", list);
    do_String_Parm("mrpFile", cat, kParamFilename, kParamShowNone, o.mrpFile, nullptr, nullptr,
                   "<species-outfile-name>", list);
    do_String_Parm("qfile", cat, kParamFilename, kParamShowNone, o.qfile, nullptr, nullptr,
                   "<quartets-outfile-name>", list);
    do_Bool_Parm(cat, "qformat", kParamBoolKeyword, kFactory, &o.qformat, 0, nullptr,
                 "qmc\0qfm\0", list);
    do_Bool_Parm(cat, "replace", kOnOff, kParamNonpersistent, &gReplaceFile, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "showScores", kOnOff, kFactory, &o.showScores, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "showSV", kOnOff, kFactory, &o.showSV, 0, nullptr, nullptr, list);
    do_String_Parm("treeFile", cat, kParamFilename, kParamShowNone, o.treeFile, nullptr, nullptr,
                   "<filename-for-bootstrap-treefile>", list);
    do_Bool_Parm(cat, "treemodel", kParamBoolKeyword, kFactory, &o.treemodel, 0, nullptr,
                 "mscoalescent\0shared\0", list);
    do_IntRange_Parm(cat, "forceRank", kParamInt, kFactory, reinterpret_cast<int32_t *>(&o.forceRank),
                     0, 0, kIntMax, nullptr, nullptr, list);
    do_Bool_Parm(cat, "keepQuartets", kOnOff, kFactory, &o.keepQuartets, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "ambigs", kParamBoolKeyword, kFactory, &o.ambigs, 1, nullptr,
                 "missing\0distribute\0", list);
    do_Bool_Parm(cat, "plus2", kOnOff, kFactory, &o.plus2, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "enforce", kOnOff, kFactoryNoText, &o.enforce, 0, nullptr, nullptr, list);
    do_Fxn_Parm("constraints", cat, 0, nullptr, getConstrName, nullptr,
                "<constraint-name>", list);
    do_Separator(
        "The following options are for experimental research and are not generally safe/useful:",
        cat, list);
    do_Int_Parm(cat, "qweights", kParamKeyword, kFactory, &o.qweights, 0, nullptr,
                "none\0reciprocal\0exponential\0", list);
    do_Flt_Parm(cat, "wtlambda", kParamReal, kFactory, &o.wtlambda, nullptr, 1000.0, list);
    do_Bool_Parm(cat, "lakeInvar", kOnOff, kFactory, &o.lakeInvar, 0, nullptr, nullptr, list);
    do_String_Parm("frobDFile", cat, kParamFilename, kParamShowNone, o.frobDFile, nullptr,
                   nullptr, "<filename-for-Frobenius-dists>", list);
    // Node ages and theta are accepted but not listed; the value and flag
    // that theta sets are never typed themselves.
    do_Int_Parm(cat, "estNodeAges", kParamKeyword, kHiddenFactory, &o.estNodeAges, 0, nullptr,
                "no\0ML\0moments\0", list);
    do_Fxn_Parm("theta", cat, kParamHidden, nullptr, readThetaValue, nullptr, "<real-value>|estimate", list);
    do_Flt_Parm(cat, "userTheta", kParamReal, kDerived, &o.userTheta, nullptr, 0.1, list);
    // The flag that theta=estimate sets.
    do_Bool_Parm(cat, "estTratio", kOnOff, kDerived, &o.estTheta, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "pref_saveQrtFile", kOnOff, kDerived, &o.pref_saveQrtFile, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "pref_saveMrpFile", kOnOff, kDerived, &o.pref_saveMrpFile, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "pref_saveBtrFile", kOnOff, kDerived, &o.pref_saveBtrFile, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "pref_writeFrobD", kOnOff, kDerived, &o.pref_writeFrobD, 0, nullptr,
                 nullptr, list);
}

void qsearchOptions(CmdParamList *list)
{
    const char *cat = "QSearch";
    do_Int_Parm(cat, "method", kParamKeyword, kFactory, &qopt.method, kQMethodQFM, nullptr,
                "QFM\0WO\0BS\0QJ\0QMC\0", list);
    do_Int_Parm(cat, "woAddSeq", kParamKeyword, kFactory, &qopt.woAddSeq, 0, nullptr,
                "dynamic\0random\0", list);
    do_Bool_Parm(cat, "woShowRandom", kOnOff, kFactory, &qopt.woShowRandom, 0, nullptr, nullptr,
                 list);
    do_IntRange_Parm(cat, "nreps", kParamInt, kFactory, &qopt.nreps, 100, 1, kMaxQuartetReps,
                     nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactoryNoText, qopt.seed, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "useHashing", kOnOff, kHiddenFactory, &qopt.useHashing, 1, nullptr, nullptr,
                 list);
    do_Int_Parm(cat, "reconLimit", kParamInt, kHiddenFactory, &qopt.reconLimit, 6, nullptr,
                nullptr, list);
    do_Int_Parm(cat, "qfmPtn", kParamKeyword, kHiddenFactory, &qopt.qfmPtn, 1, nullptr,
                "Zorv\0A\0B\0C\0\x08\x01Ostrel\0", list);
    do_String_Parm("startQMC", cat, kParamString, kFactory, qopt.startQMC, "qmc", nullptr,
                   "<shell-command-to-invoke-QMC>", list);
    do_Bool_Parm(cat, "qmcOutput", kOnOff, kFactory, &qopt.qmcOutput, 1, nullptr, nullptr, list);
    do_Int_Parm(cat, "qfmIter", kParamKeyword, kHiddenFactory, &qopt.qfmIter, 0, nullptr,
                "new\0old\0Zorv\0\x08\x03Ostrel\0", list);
    do_IntRange_Parm(cat, "maxSplitsB", kParamIntOrLabel, kHiddenFactory, &qopt.maxSplitsB, 500,
                     1, kIntMax, nullptr, "unlimited\0", list);
    do_Bool_Parm(cat, "slowTBR", kOnOff, kHiddenFactory, &qopt.slowTBR, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "localSearch", kParamKeywordOff, kFactory, &qopt.localSearch, 0, nullptr,
                "none\0NNI\0SPR\0TBR\0", list);
}

void trueTreeOptions(CmdParamList *list)
{
    SimSettings &o = simOpt;
    const uint32_t once = kParamNonpersistent;
    // The one-run options start every TrueTree from a fresh record's values.
    const SimSettings fresh{};
    // No factory value: the command presets the source (-1: none given).
    do_Int_Parm(nullptr, "source", kParamKeyword, kParamShowNone, &o.source, static_cast<uint32_t>(-1),
                nullptr, "Memory\0Yule\0FixedYule\0BD\0FixedBD\0", list);
    do_Bool_Parm(nullptr, "mscoalescent", kOnOff, once, &o.mscoalescent, 0, nullptr, nullptr,
                 list);
    do_Int_Parm(nullptr, "units", kParamKeyword, once, &o.units, 0, nullptr,
                "substPerSite\0Ngen\0" "2Ngen\0", list);
    do_Bool_Parm(nullptr, "storeTrueTrees", kOnOff, once, &o.storeTrueTrees, 0, nullptr, nullptr,
                 list);
    do_Int_Parm(nullptr, "showTrueTrees", kParamKeywordOff, kFactory, &o.showTrueTrees, 0,
                nullptr, "no\0topology\0brlens\0", list);
    do_Int_Parm(nullptr, "showGeneTrees", kParamKeywordOff, kFactory, &o.showGeneTrees, 0,
                nullptr, "no\0topology\0brlens\0", list);
    do_Flt_Parm(nullptr, "scaleBrlens", kParamReal, once, &o.scaleBrlens, nullptr, fresh.scaleBrlens,
                list);
    do_Flt_Parm(nullptr, "theta", kParamReal, once, &o.theta, nullptr, fresh.theta, list);
    do_Flt_Parm(nullptr, "lambda", kParamReal, once, &o.lambda, nullptr, fresh.lambda, list);
    do_Flt_Parm(nullptr, "mu", kParamReal, once, &o.mu, nullptr, fresh.mu, list);
    do_Flt_Parm(nullptr, "rho", kParamReal, once, &o.rho, nullptr, fresh.rho, list);
    do_Fxn_Parm("treeNum", nullptr, kParamShowNone, &o.treeNum, readTrueTreeNum, nullptr,
                "TreeNumber or (n1:p1 ...)", list);
    do_Int_Parm(nullptr, "seed", kParamSeed, kFactoryNoText, o.treeSeed, 0, nullptr, nullptr, list);
    do_Flt_Parm(nullptr, "height", kParamReal, kParamShowNone, &o.height, nullptr, 0.0, list);
    do_Bool_Parm(nullptr, "treeRep", kParamBoolKeyword, once, &o.treeRep, 0, nullptr,
                 "Same\0Different\0", list);
}

void simDataOptions(CmdParamList *list)
{
    do_Fxn_Parm("nchar", nullptr, kParamShowNone, &simOpt.nchar, readNSimChar, nullptr,
                "<n> or (<n1> <n2> ...)", list);
    do_Bool_Parm(nullptr, "multilocus", kOnOff, kParamNonpersistent, &simOpt.multilocus, 0,
                 nullptr, nullptr, list);
    do_Fxn_Parm("nloci", nullptr, kParamShowNone, &simOpt.nloci, readNSimChar, nullptr,
                "<n> or (<n1> <n2> ...)", list);
    do_IntRange_Parm(nullptr, "nsitesPerLocus", kParamInt, 0, &simOpt.nsitesPerLocus, 0, 1,
                     kIntMax, nullptr, nullptr, list);
}

void beginSimOptions(CmdParamList *list)
{
    const uint32_t once = kParamNonpersistent;
    // Every BeginSim starts from a fresh record's values.
    const SimSettings fresh{};
    do_IntRange_Parm(nullptr, "nreps", kParamInt, once, &simOpt.nreps, fresh.nreps, 1, kMaxSimReps,
                     nullptr, nullptr, list);
    do_Int_Parm(nullptr, "seed", kParamSeed, kFactoryNoText, simOpt.seed, 0, nullptr, nullptr,
                list);
    do_Bool_Parm(nullptr, "discreteMode", kOnOff, once, &simOpt.discreteMode, 0, nullptr, nullptr, list);
    do_Fxn_Parm("resultsFile", nullptr, 0, nullptr, readResultFileOpts, nullptr,
                "( <results-file-options>)", list);
    do_Bool_Parm(nullptr, "showModel", kOnOff, once, &simOpt.showModel, fresh.showModel, nullptr, nullptr,
                 list);
    // BeginSim presets monitor to the current output-monitoring state.
    do_Bool_Parm(nullptr, "monitor", kOnOff, once | kParamOwnerPresets, &simOpt.monitor, 1, nullptr, nullptr,
                 list);
}

void resultsFileOptions(OptionSet set, CmdParamList *list)
{
    const uint32_t once = kParamNonpersistent;
    do_String_Parm("name", nullptr, kParamFilename, kParamShowNone, simOpt.resultsFile, nullptr,
                   nullptr, "<results-filename>", list);
    include(set, OptionSet::kOutputFile, list);
    do_Bool_Parm(nullptr, "output", kParamBoolKeyword, once, &simOpt.output, 0, nullptr,
                 "AllReps\0MeansOnly\0", list);
    do_Bool_Parm(nullptr, "BS", kOnOff, once, &simOpt.BS, 0, nullptr, nullptr, list);
    do_Bool_Parm(nullptr, "times", kOnOff, once, &simOpt.times, 0, nullptr, nullptr, list);
    do_Bool_Parm(nullptr, "brLens", kOnOff, once, &simOpt.brLens, 0, nullptr, nullptr, list);
}

void yuleOptions(CmdParamList *list)
{
    // 0 is taken: it leaves the tree buffer empty.
    do_IntRange_Parm("Yule", "ntrees", kParamInt, 0, &gYuleTreeGen.ntrees, 0, 0, kIntMax, nullptr,
                     nullptr, list);
    do_Int_Parm("Yule", "seed", kParamSeed, kFactoryNoText, gYuleTreeGen.seed, 0, nullptr, nullptr,
                list);
}

void birthDeathOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "BirthDeath";
    const SimSettings fresh{};
    include(set, OptionSet::kYule, list);
    do_Flt_Parm(cat, "lambda", kParamReal, kParamNonpersistent, &simOpt.lambda, nullptr,
                fresh.lambda, list);
    do_Flt_Parm(cat, "mu", kParamReal, kParamNonpersistent, &simOpt.mu, nullptr, fresh.mu, list);
    do_Flt_Parm(cat, "rho", kParamReal, kParamNonpersistent, &simOpt.rho, nullptr, fresh.rho,
                list);
}

}  // namespace

uint32_t traverseQuartetOptionSets(OptionSet set, CmdParamList *list)
{
    if (runs(set, OptionSet::kPuzzle))
        puzzleOptions(set, list);
    if (runs(set, OptionSet::kSVDQuartets))
        svdQuartetsOptions(list);
    if (runs(set, OptionSet::kQSearch))
        qsearchOptions(list);
    if (runs(set, OptionSet::kQuartetFile))
        do_String_Parm("file", "ReadQMC", kParamFilename, kParamShowNone, qopt.file, nullptr,
                       nullptr, "<quartets-filename>", list);
    if (runs(set, OptionSet::kQuartetModel))
        do_String_Parm("model", nullptr, kParamString, kParamShowNone, gQuartetModelName, nullptr,
                       nullptr, "<model-name>", list);
    if (runs(set, OptionSet::kTrueTree))
        trueTreeOptions(list);
    if (runs(set, OptionSet::kSimData))
        simDataOptions(list);
    if (runs(set, OptionSet::kBeginSim))
        beginSimOptions(list);
    if (runs(set, OptionSet::kResultsFile))
        resultsFileOptions(set, list);
    if (runs(set, OptionSet::kYule))
        yuleOptions(list);
    if (runs(set, OptionSet::kYangRannala))
        birthDeathOptions(set, list);
    return list->failed;
}
