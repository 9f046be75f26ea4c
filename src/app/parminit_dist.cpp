// Option sets of the distance methods commands.
#include "data/nexsets.h"
#include "distance/distance_settings.h"
#include "search/search_settings.h"
#include "app/parminit.h"
#include "cli/shell_settings.h"
#include "app/vorn_params.h"

using namespace optreg;

namespace {

void dsetOptions(CmdParamList *list)
{
    const char *cat = "DSet";
    do_Int_Parm(cat, "distance", kParamKeyword, kFactory, &dist.distance, kDistP, nullptr,
                kDistanceKeywords, list);
    do_Int_Parm(cat, "objective", kParamKeyword, kFactory, &dist.objective, kObjectiveLsFit,
                forceReopt, "lsFit\0BME\0ME\0", list);
    do_Int_Parm(cat, "lsWts", kParamKeyword, kFactory, &dist.lsWts, 0, forceReopt,
                "std\0expo\0user\0", list);
    do_Flt_Parm(cat, "power", kParamReal, kFactory, &dist.power, forceReopt, 0.0, list);
    do_Flt_Parm(cat, "pexp", kParamReal, kFactory, &dist.pexp, forceReopt, 0.0, list);
    do_Flt_Parm(cat, "pInvar", kParamReal, kFactory, &dist.pInvar, checkPinvarValue, 0.0, list);
    do_Int_Parm(cat, "rates", kParamKeyword, kFactory, &dist.rates, 0, nullptr, "equal\0gamma\0",
                list);
    do_Flt_Parm(cat, "shape", kParamReal, kFactory, &dist.shape, checkGammaShapeValue, 0.5, list);
    do_Int_Parm(cat, "removeFreq", kParamKeyword, kFactory, &dist.removeFreq, 0, nullptr,
                "proportional\0equal\0", list);
    do_Int_Parm(cat, "estFreq", kParamKeyword, kFactory, &dist.estFreq, 0, nullptr,
                "all\0constant\0", list);
    do_Bool_Parm(cat, "allSitesMean", kOnOff, kFactory, &dist.allSitesMean, 1, nullptr, nullptr,
                 list);
    do_Int_Parm(cat, "subst", kParamKeyword, kFactory, &dist.subst, 0, nullptr,
                "all\0tv\0ti\0tratio\0", list);
    do_Int_Parm(cat, "recSeqLen", kParamInt, kFactory, &dist.recSeqLen, 6, nullptr, nullptr, list);
    do_Fxn_Parm("class", cat, 0, nullptr, getDnaDistClass, nullptr,
                "(<cAC><cAG><cAT><cCG><cCT><cGT>)", list);
    do_Int_Parm(cat, "cAC", kParamInt, kDerived, &dist.cAC, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "cAG", kParamInt, kDerived, &dist.cAG, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "cAT", kParamInt, kDerived, &dist.cAT, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "cCG", kParamInt, kDerived, &dist.cCG, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "cCT", kParamInt, kDerived, &dist.cCT, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "cGT", kParamInt, kDerived, &dist.cGT, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "baseFreq", kParamKeyword, kFactory, &dist.baseFreq, 1, nullptr,
                "equal\0empirical\0", list);
    do_Int_Parm(cat, "missDist", kParamKeyword, kFactory, &dist.missDist, 0, nullptr,
                "infer\0ignore\0", list);
    do_Int_Parm(cat, "negBrLen", kParamKeyword, kFactory, &dist.negBrLen, kNegBrLenSetZero,
                forceReopt, "prohibit\0allow\0setZero\0setAbsVal\0", list);
    do_Flt_Parm(cat, "undefMult", kParamReal, kFactory, &dist.undefMult, checkUndefMultValue, 2.0, list);
    do_Bool_Parm(cat, "dCollapse", kOnOff, kFactory, &dist.dCollapse, 0, nullptr, nullptr, list);
    do_Int_Parm(cat, "psdk", kParamKeyword, kFactory, &dist.psdk, 1, nullptr, "1\0nbranches\0",
                list);
    do_Int_Parm(cat, "psdAddK", kParamInt, kFactory, &dist.psdAddK, 0, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "precision", kParamInt, kFactory, &dist.precision, 5, 0,
                     kMaxDistDecimals, nullptr, nullptr, list);
    // Obsolete: accepted so that old files still run, noted by DSet.
    do_Int_Parm(cat, "sMaxPass", kParamInt, kParamHidden, &felsMaxPasses, 0, nullptr, nullptr,
                list);
    do_Flt_Parm(cat, "delta", kParamReal, kParamHidden, &felsMaxDelta, nullptr, 0.0, list);
    do_Flt_Parm(cat, "sDelta", kParamReal, kParamHidden, &felsMaxDelta, nullptr, 0.0, list);
    do_Int_Parm(cat, "logIter", kParamKeywordOff, kParamHidden, &lsIterProg, 0, nullptr,
                "no\0yes\0", list);
    do_Int_Parm(cat, "maxPass", kParamInt, kParamHidden, &felsMaxPasses, 0, nullptr, nullptr,
                list);
}

void dscoresOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "DScores";
    do_Separator("Score-output options", cat, list);
    include(set, OptionSet::kTreeScoreOutput, list);
    do_Bool_Parm(cat, "lsDetails", kOnOff, kFactory, &dist.lsDetails, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "pplot", kOnOff, kFactory, &dist.pplot, 0, nullptr, nullptr, list);
    do_String_Parm("designFile", cat, kParamFilename, kParamShowNone, dist.designFile, nullptr,
                   nullptr, "<filename-for-design-matrix>", list);
    do_Bool_Parm(cat, "pref_writeDsgn", kOnOff, kDerived, &dist.pref_writeDsgn, 0, nullptr,
                 nullptr, list);
    do_String_Parm("expDistFile", cat, kParamFilename, kParamShowNone, dist.expDistFile, nullptr,
                   nullptr, "<filename-for-exp-dist-matrix>", list);
    do_Bool_Parm(cat, "pref_writeExpD", kOnOff, kDerived, &dist.pref_writeExpD, 0, nullptr,
                 nullptr, list);
    do_Separator("The following 'DSet' options are also available", cat, list);
    include(set, OptionSet::kDSet, list);
}

void clusterOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "Cluster";
    do_Bool_Parm(cat, "BioNJ", kOnOff, kFactory, &clust.BioNJ, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "showTree", kOnOff, kFactory, &clust.showTree, 1, nullptr, nullptr, list);
    do_Int_Parm(cat, "breakTies", kParamKeyword, kFactory, &clust.breakTies, kBreakTiesSystematic,
                nullptr, "systematic\0random\0", list);
    do_Int_Parm(cat, "tieSeed", kParamSeed, kFactoryNoText, clust.tieSeed, 0, nullptr, nullptr,
                list);
    do_String_Parm("treefile", cat, kParamFilename, kParamShowNone, gClustTreefileName, nullptr,
                   nullptr, "<filename-for-treefile>", list);
    do_Bool_Parm(cat, "pref_saveFile", kOnOff, kDerived, &clust.pref_saveFile, 0, nullptr,
                 nullptr, list);
    include(set, OptionSet::kOutputFile, list);
    do_Bool_Parm(cat, "brLens", kOnOff, kFactory, &clust.brLens, 0, nullptr, nullptr, list);
    do_Separator("The following 'DSet' options are also available", cat, list);
    include(set, OptionSet::kDSet, list);
}

void starDecompOptions(CmdParamList *list)
{
    const char *cat = "Cluster";
    do_Int_Parm(cat, "breakTies", kParamKeyword, kFactory, &starDcmp.breakTies,
                kBreakTiesSystematic, nullptr, "systematic\0random\0", list);
    do_Int_Parm(cat, "tieSeed", kParamSeed, kFactoryNoText, starDcmp.tieSeed, 0, nullptr, nullptr,
                list);
}

void pairDiffOptions(CmdParamList *list)
{
    const char *cat = "PairDiff";
    do_Bool_Parm(cat, "shortFmt", kOnOff, kFactory, &pairDiff.shortFmt, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "longFmt", kOnOff, kFactory, &pairDiff.longFmt, 1, nullptr, nullptr, list);
}

void saveDistOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "SaveDist";
    do_Int_Parm(cat, "format", kParamKeyword, kFactory, &saveDist.format, kDistFmtOneColumn,
                nullptr, "oneColumn\0tabText\0Nexus\0PHYLIP\0RelPHYLIP\0", list);
    do_Fxn_Parm("file", cat, kParamNoFactoryText, &saveDist.file, getDistancesFlnam, nullptr,
                "<export-filename>", list);
    do_Int_Parm(cat, "triangle", kParamKeyword, kFactory, &saveDist.triangle, kTriangleLower,
                nullptr, "lower\0upper\0both\0", list);
    do_Bool_Parm(cat, "diagonal", kOnOff, kFactory, &saveDist.diagonal, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "undefined", kParamBoolKeyword, kFactory, &saveDist.undefined, 0, nullptr,
                 "twiceMax\0asterisk\0", list);
    do_IntRange_Parm(cat, "ndecimals", kParamInt, kFactory, &saveDist.ndecimals, 8, 0,
                     kMaxDistDecimals, nullptr, nullptr, list);
    include(set, OptionSet::kOutputFile, list);
}

void dconSeqOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "DConSeq";
    do_Fxn_Parm("partition", cat, kParamNoFactoryText, &dconOpt.partition, handleCharPtnName,
                nullptr, "<charpartition-name>", list);
    do_Bool_Parm(cat, "showSubsets", kOnOff, kFactory, &dconOpt.showSubsets, 0, nullptr, nullptr,
                 list);
    do_String_Parm("outFile", cat, kParamFilename, kParamShowNone, gDConSeqOutFile, nullptr,
                   nullptr, "<output-filename>", list);
    include(set, OptionSet::kOutputFile, list);
}

}  // namespace

uint32_t traverseDistOptionSets(OptionSet set, CmdParamList *list)
{
    if (runs(set, OptionSet::kDSet))
        dsetOptions(list);
    if (runs(set, OptionSet::kDScores))
        dscoresOptions(set, list);
    if (runs(set, OptionSet::kClusterMethods))
        clusterOptions(set, list);
    // NJ and UPGMA have no options of their own.
    if (set == OptionSet::kNJ) {
        include(set, OptionSet::kConstraintEnforcement, list);
        include(set, OptionSet::kClusterMethods, list);
    }
    if (set == OptionSet::kUPGMA)
        include(set, OptionSet::kClusterMethods, list);
    if (runs(set, OptionSet::kStarDecomp))
        starDecompOptions(list);
    if (runs(set, OptionSet::kPairDiff))
        pairDiffOptions(list);
    if (runs(set, OptionSet::kSaveDist))
        saveDistOptions(set, list);
    if (runs(set, OptionSet::kDConSeq))
        dconSeqOptions(set, list);
    return list->failed;
}
