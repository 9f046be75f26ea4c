// Option sets of the likelihood and model selection commands.
#include <cstdint>

#include "data/nexsets.h"
#include "likelihood/likelihood_settings.h"
#include "qel/qel_sets.h"
#include "selection/clockcheck.h"
#include "selection/orthofilter.h"
#include "selection/selection_settings.h"
#include "trees/tree_settings.h"
#include "trees/treelist.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "app/vorn_params.h"

using namespace optreg;

namespace {

constexpr uint32_t kTwoWords = kParamBoolKeyword;

// A real option of `ml` with its factory value.
void mlReal(const char *name, uint32_t flags, double *variable, double factory,
            CmdParamChangeFxn change, CmdParamList *list)
{
    do_Flt_Parm("LSet", name, kParamReal, flags, variable, change, factory, list);
}

void mlSwitch(const char *name, uint32_t flags, uint8_t *variable, uint32_t factory,
              CmdParamChangeFxn change, CmdParamList *list)
{
    do_Bool_Parm("LSet", name, kOnOff, flags, variable, factory, change, nullptr, list);
}

void mlKeyword(const char *name, uint32_t flags, int32_t *variable, uint32_t factory,
               CmdParamChangeFxn change, const char *keywords, CmdParamList *list)
{
    do_Int_Parm("LSet", name, kParamKeyword, flags, variable, factory, change, keywords, list);
}

void lsetSettings(CmdParamList *list)
{
    const char *cat = "LSet";
    mlSwitch("fixAllParams", kParamHidden, &ml.fixAllParams, 0, nullptr, list);
    mlSwitch("estAllParams", kParamHidden, &ml.estAllParams, 0, nullptr, list);
    mlKeyword("NST", kFactory, &ml.NST, 1, forceReinitML, "1\0" "2\0" "6\0Mkv\0", list);
    do_Fxn_Parm("tratio", cat, 0, nullptr, getTratio, forceReinitML,
                "<real-value>|Estimate|Previous", list);
    mlReal("userTratio", kDerived, &ml.userTratio, 2.0, nullptr, list);
    mlSwitch("estTratio", kDerived, &ml.estTratio, 0, nullptr, list);
    do_Fxn_Parm("rmatrix", cat, 0, nullptr, getDnaRmatrix, forceReinitML,
                "(<rAC><rAG><rAT><rCG><rCT>)|Estimate|Previous", list);
    mlReal("rAC", kDerived, &ml.rAC, 1.0, nullptr, list);
    mlReal("rAG", kDerived, &ml.rAG, 1.0, nullptr, list);
    mlReal("rAT", kDerived, &ml.rAT, 1.0, nullptr, list);
    mlReal("rCG", kDerived, &ml.rCG, 1.0, nullptr, list);
    mlReal("rCT", kDerived, &ml.rCT, 1.0, nullptr, list);
    mlReal("rGT", kDerived, &ml.rGT, 1.0, nullptr, list);
    mlSwitch("estRmatrix", kDerived, &ml.estRmatrix, 0, nullptr, list);
    do_Fxn_Parm("rclass", cat, 0, nullptr, getMLDnaClass, forceReinitML,
                "(<cAC><cAG><cAT><cCG><cCT><cGT>)", list);
    int32_t *classes[] = {&ml.cAC, &ml.cAG, &ml.cAT, &ml.cCG, &ml.cCT, &ml.cGT};
    const char *classNames[] = {"cAC", "cAG", "cAT", "cCG", "cCT", "cGT"};
    for (uint32_t i = 0; i < kNumDnaRates; ++i)
        do_Int_Parm(cat, classNames[i], kParamInt, kDerived, classes[i], i, nullptr, nullptr,
                    list);
    mlKeyword("variant", kFactory, &ml.variant, 0, forceReinitML, "HKY\0F84\0", list);
    do_Fxn_Parm("baseFreq", cat, kFactory, nullptr, getBaseFreqs, forceReinitML, nullptr, list);
    mlKeyword("rates", kFactory, &ml.rates, 0, forceReinitML, "equal\0gamma\0siteSpec\0", list);
    do_Fxn_Parm("shape", cat, 0, nullptr, getShape, nullptr, "<real-value>|estimate|previous",
                list);
    mlReal("userGammaShape", kDerived, &ml.userGammaShape, 0.5, forceReinitML, list);
    mlSwitch("estGammaShape", kDerived, &ml.estGammaShape, 0, forceReinitML, list);
    // Below 2 is refused by the callback with its own message.
    do_IntRange_Parm(cat, "ncat", kParamInt, kFactory, &ml.ncat, 4, INT32_MIN, kMaxGammaCategs,
                     checkNGammaCat, nullptr, list);
    do_Bool_Parm(cat, "repRate", kTwoWords, kFactory, &ml.repRate, 0, forceReinitML,
                 "mean\0median\0", list);
    do_Fxn_Parm("pinvar", cat, 0, nullptr, getLikePinv, forceReinitML,
                "<real-value>|estimate|previous", list);
    mlReal("userPInvar", kDerived, &ml.userPInvar, 0.0, forceReinitML, list);
    mlSwitch("estPInvar", kDerived, &ml.estPInvar, 0, forceReinitML, list);
    do_Fxn_Parm("siteRates", cat, 0, nullptr, getSiteRates, forceReinitML,
                "partition[:<charpartition-name>]|rateset[:<rateset-name>]|previous", list);
    mlSwitch("estSiteRates", kDerived, &ml.estSiteRates, 0, nullptr, list);
    // The character partition and rate set of siteRates.
    do_Gen_Parm(cat, nullptr, kParamSlot, kParamHidden, &ml.siteRatePartition, nullptr, 0,
                nullptr, nullptr, list);
    do_Gen_Parm(cat, nullptr, kParamSlot, kParamHidden, &ml.rateSet, nullptr, 0, nullptr, nullptr,
                list);
    do_Fxn_Parm("mpartition", cat, 0, &ml.modelPartition, getModPtnName, forceReinitML,
                "<modelpartition-name>", list);
    do_Fxn_Parm("modelRates", cat, 0, nullptr, getModelRates, forceReinitML,
                "estimate|previous|equal", list);
    mlSwitch("estModelRates", kDerived, &ml.estModelRates, 0, forceReinitML, list);
    do_Fxn_Parm("initBrLen", cat, 0, nullptr, getMLBranchLenMethod, forceReinitML,
                "rogers|acctranRog|LS|<real-value>", list);
    mlSwitch("useAcctran", kDerived, &ml.useAcctran, 0, forceReopt, list);
    do_Int_Parm(cat, "initBrLenMethod", kParamInt, kDerived, &ml.initBrLenMethod, 0,
                forceReopt, nullptr, list);
    mlReal("initArbBrLen", kDerived, &ml.initArbBrLen, 0.1, nullptr, list);
    mlSwitch("lCollapse", kFactory, &ml.lCollapse, 1, nullptr, list);
    do_IntRange_Parm(cat, "maxPass", kParamInt, kFactory, &ml.maxPass, 20, 0, 1000000, nullptr,
                     nullptr, list);
    mlReal("spToler", kFactory, &ml.spToler, 1e-07, nullptr, list);
    mlReal("dpToler", kFactory, &ml.dpToler, 1e-10, nullptr, list);
    mlSwitch("useApproxLim", kParamHidden, &ml.useApproxLim, 0, nullptr, list);
    do_Fxn_Parm("approxLim", cat, kFactory, nullptr, getApproxLim, nullptr, "<real-value>|none",
                list);
    mlSwitch("adjustAppLim", kFactory, &ml.adjustAppLim, 1, nullptr, list);
    mlSwitch("logIter", kFactory, &ml.logIter, 0, nullptr, list);
    do_Int_Parm(cat, "zeroLenTest", kParamKeywordOff, kFactory, &ml.zeroLenTest, 0, nullptr,
                "no\0full\0crude\0", list);
    mlKeyword("recon", kFactory, &ml.recon, 0, nullptr, "marginal\0joint\0", list);
    mlSwitch("allProbs", kFactory, &ml.allProbs, 0, nullptr, list);
    mlReal("brentEps", kHiddenFactory, &ml.brentEps, 0.0, nullptr, list);
    mlReal("brentT", kHiddenFactory, &ml.brentT, 1e-10, nullptr, list);
    mlReal("praxisTol", kHiddenFactory, &ml.praxisTol, 0.0001, nullptr, list);
    mlSwitch("clock", kFactory, &ml.clock, 0, forceReinitML, list);
    mlSwitch("userBrLens", kFactory, &ml.userBrLens, 0, forceReinitML, list);
    mlSwitch("minMemReq", kParamHidden, &ml.minMemReq, 0, outputUnsupportedMsg, list);
    mlKeyword("startVals", kFactory, &ml.startVals, 0, nullptr, "parsApprox\0arbitrary\0", list);
    mlKeyword("paramClock", kFactory, &ml.paramClock, 0, forceReinitML,
              "Thorne\0relAge\0Rambaut\0", list);
    mlSwitch("mlDistforLS", kFactory, &ml.mlDistforLS, 0, forceReinitML, list);
    mlSwitch("showQMatrix", 0, &ml.showQMatrix, 0, outputUnsupportedMsg, list);
    mlSwitch("fastStep", kFactory, &ml.fastStep, 1, nullptr, list);
    mlKeyword("optimizer", kFactory, &ml.optimizer, 0, forceReinitML, "Praxis\0LBFGS\0", list);
    mlKeyword("blopt", kFactory, &ml.blopt, 0, forceReinitML, "newton1D\0brent1D\0multiDim\0",
              list);
    // The L-BFGS-B memory sizes its work arrays; a negative value means the default.
    do_IntRange_Parm(cat, "bfgsM", kParamInt, kHiddenFactory, &ml.bfgsM, -1, INT32_MIN, 1000,
                     forceReinitML, nullptr, list);
    mlReal("bfgsFactor", kHiddenFactory, &ml.bfgsFactor, -1.0, forceReopt, list);
    mlReal("bfgsTol", kHiddenFactory, &ml.bfgsTol, -1.0, forceReopt, list);
    do_Bool_Parm(cat, "nonSeq", kTwoWords, kHiddenFactory, &ml.nonSeq, 0, nullptr,
                 "ignore\0Mkv\0", list);
    static uint8_t discardedMkCondVar = 0;
    mlSwitch("mkCondVar", kParamHidden, &discardedMkCondVar, 0, nullptr, list);
    mlKeyword("mkStateSpace", kFactory, &ml.mkStateSpace, 0, forceRecompress,
              "variable\0fixed\0", list);
    mlReal("clRescale", kFactory, &ml.clRescale, 1e-20, forceReinitML, list);
    mlReal("maxBrlen", kHiddenFactory, &ml.maxBrlen, 10.0, nullptr, list);
    do_Fxn_Parm("gRateScale", cat, 0, nullptr, getBranchLenScaler, forceReinitML,
                "<real-value>|Estimate|Previous", list);
    mlReal("userRateScaler", kDerived, &ml.userRateScaler, 1.0, nullptr, list);
    mlSwitch("estRateScaler", kDerived, &ml.estRateScaler, 0, nullptr, list);
    mlSwitch("UCM", kHiddenFactory, &ml.UCM, 0, forceReinitML, list);
    mlSwitch("blTransform", kHiddenFactory, &ml.blTransform, 0, forceReinitML, list);
    mlSwitch("timesTransform", kHiddenFactory, &ml.timesTransform, 0, forceReinitML, list);
    do_Bool_Parm(cat, "precision", kTwoWords, kFactory, &ml.precision, 1, forceReinitML,
                 "double\0single\0", list);
    mlSwitch("vector", kFactory, &ml.vector, 1, forceReinitML, list);
    do_IntRange_Parm(cat, "nthreads", kParamIntOrLabel, kFactory, &ml.nthreads, 1, 1,
                     kMaxMLThreads, forceReinitML, "auto\0", list);
    do_Separator("Options for amino-acid models:", cat, list);
    do_Fxn_Parm("aaFreq", cat, kFactory, nullptr, getAAFreqs, forceReinitML, nullptr, list);
    do_Int_Parm(cat, "aaFreqMode", kParamInt, kDerived, &ml.aaFreqMode, 0, forceReinitML,
                nullptr, list);
    mlKeyword("aaRMatrix", kFactory, &ml.aaRMatrix, 0, forceReinitML,
              "JTT\0JTTPAML\0PAM\0MTrev24\0WAG\0LG\0", list);
    do_Separator("Options for binary-state models:", cat, list);
    // The two-state rates set the stationary frequencies, so a change must reach
    // the prepared models.
    mlReal("q01", kFactory, &ml.q01, 1.0, forceReinitML, list);
    mlReal("q10", kFactory, &ml.q10, 1.0, forceReinitML, list);
    mlReal("probRoot0", kFactory, &ml.probRoot0, 0.5, nullptr, list);
    do_Separator("The following options pertain only to Beagle-enabled versions:", cat, list);
    mlSwitch("beagle", kHiddenFactory, &ml.beagle, 0, showBeagleUnavail, list);
    do_Bool_Parm(cat, "processor", kTwoWords, kFactory, &ml.processor, 1, forceReinitML,
                 "CPU\0GPU\0", list);
}

void lscoresOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "LScores";
    auto flag = [&](const char *name, uint32_t flags, uint8_t *variable, uint32_t factory,
                    CmdParamChangeFxn change) {
        do_Bool_Parm(cat, name, kOnOff, flags, variable, factory, change, nullptr, list);
    };
    do_Separator("Score-output options", cat, list);
    flag("siteLikes", kFactory, &lscOpt.siteLikes, 0, nullptr);
    flag("categLikes", kFactory, &lscOpt.categLikes, 0, nullptr);
    flag("storeAsWts", kFactory, &lscOpt.storeAsWts, 0, nullptr);
    flag("parsApprox", kParamHidden, &lscOpt.parsApprox, 0, nullptr);
    // The tests go by their initials, which "shape" shares with SH.
    do_Int_Parm(cat, "KHTest", kParamKeywordOff, kFactory, &lscOpt.KHTest, 0, nullptr,
                "none\0normal\0bootstrap\0", list);
    do_ShortName("KH", list);
    flag("SHTest", kFactory, &lscOpt.SHTest, 0, nullptr);
    do_ShortName("SH", list);
    flag("AUTest", kFactory, &lscOpt.AUTest, 0, nullptr);
    do_ShortName("AU", list);
    do_Int_Parm(cat, "tailKH", kParamKeyword, kFactory, &lscOpt.tailKH, 1, nullptr,
                "1\0" "2\0", list);
    flag("RELL", kFactory, &lscOpt.RELL, 1, nullptr);
    do_IntRange_Parm(cat, "bootReps", kParamInt, kFactory, &lscOpt.bootReps, 10000, 1,
                     kMaxBootReps, nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactory | kParamNoFactoryText, lscOpt.seed, 0, nullptr,
                nullptr, list);
    flag("estSiteRates", kHiddenFactory, &lscOpt.estSiteRates, 0, nullptr);
    flag("unconstr", kFactory, &lscOpt.unconstr, 0, nullptr);
    do_Fxn_Parm("byPartition", cat, kParamNonpersistent, &lscOpt.byPartition, handleCharPtnName,
                nullptr, "<charpartition-name>", list);
    flag("AIC", kFactory, &lscOpt.AIC, 0, nullptr);
    flag("AICc", kFactory, &lscOpt.AICc, 0, nullptr);
    flag("BIC", kFactory, &lscOpt.BIC, 0, nullptr);
    flag("lproject", kHiddenFactory, &lscOpt.lproject, 0, nullptr);
    flag("longFmt", kParamHidden, &lscOpt.longFmt, 0, outputUnsupportedMsg);
    include(set, OptionSet::kTreeScoreOutput, list);
}

void surfCheckOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "SurfCheck";
    do_IntRange_Parm(cat, "nreps", kParamInt, kFactory, &surfChk.nreps, 100, 0,
                     kMaxSurfCheckReps, nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamSeed, kFactory | kParamNoFactoryText, surfChk.seed, 0, nullptr,
                nullptr, list);
    // Any integer: the command itself says which trees there are to choose.
    do_IntRange_Parm(cat, "treeNum", kParamInt, kFactory, &surfChk.treeNum, 1, INT32_MIN, kIntMax,
                     nullptr, nullptr, list);
    do_Bool_Parm(cat, "brLens", kOnOff, kFactory, &surfChk.brLens, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "showparam", kOnOff, kFactory, &surfChk.showparam, 0, nullptr, nullptr,
                 list);
    do_String_Parm("file", cat, kParamFilename, kParamShowNone, surfChk.file, nullptr, nullptr,
                   "<foreign-filename>", list);
    do_Flt_Parm(cat, "toler", kParamReal, kFactory, &surfChk.toler, nullptr, 1e-07, list);
    include(set, OptionSet::kOutputFile, list);
}

void gammaPlotOptions(CmdParamList *list)
{
    do_Flt_Parm(nullptr, "shape", kParamReal, 0, &ml.userGammaShape, nullptr, 0.0, list);
    do_IntRange_Parm(nullptr, "ncat", kParamInt, 0, &ml.ncat, 0, INT32_MIN, kMaxGammaCategs,
                     checkNGammaCat, nullptr, list);
    do_Bool_Parm(nullptr, "repRate", kTwoWords, 0, &ml.repRate, 0, nullptr, "Mean\0Median\0",
                 list);
    do_Bool_Parm(nullptr, "apply", kOnOff, kParamNonpersistent, &ml.gammaPlotApply, 0, nullptr,
                 nullptr, list);
}

void candidateRateModels(CmdParamList *list)
{
    const char *cat = "ModSel";
    do_Bool_Parm(cat, "equalRates", kOnOff, kFactory, &autoMod.equalRates, 1, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "invarSites", kOnOff, kFactory, &autoMod.invarSites, 1, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "gammaRates", kOnOff, kFactory, &autoMod.gammaRates, 1, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "IplusG", kOnOff, kFactory, &autoMod.IplusG, 1, nullptr, nullptr, list);
}

void autoModelOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "AutoModel";
    auto flag = [&](const char *name, uint32_t flags, uint8_t *variable, uint32_t factory) {
        do_Bool_Parm(cat, name, kOnOff, flags, variable, factory, nullptr, nullptr, list);
    };
    flag("AIC", kFactory, &autoMod.AIC, 0);
    flag("AICc", kFactory, &autoMod.AICc, 1);
    flag("BIC", kFactory, &autoMod.BIC, 1);
    flag("DT", kFactory, &autoMod.DT, 0);
    do_Int_Parm(cat, "modelset", kParamKeyword, kFactory, &autoMod.modelset, 2, nullptr,
                "j3\0j5\0j7\0j11\0", list);
    include(set, OptionSet::kCandidateRateModels, list);
    do_Int_Parm(cat, "stateFreq", kParamKeyword, kParamHidden, &autoMod.stateFreq, 0, nullptr,
                "estimate\0empirical\0", list);
    do_Int_Parm(cat, "lset", kParamKeywordOff, kFactory, &autoMod.lset, 2, nullptr,
                "no\0AIC\0AICc\0BIC\0DT\0", list);
    flag("showModelScores", kFactory, &autoMod.showModelScores, 1);
    flag("showParamEst", kFactory, &autoMod.showParamEst, 0);
    do_Fxn_Parm("trees", cat, 0, &treeSets[kAutoModelTreeSet], readOptTreeList1st, nullptr, nullptr, list);
    flag("penTopology", kParamHidden, &autoMod.penTopology, 0);
}

void autopartitionOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "AutoPart";
    do_Fxn_Parm("partition", cat, kParamNoFactoryText, &autoPartOpt.partition, handleCharPtnName,
                nullptr, "<charpartition-name>", list);
    do_Int_Parm(cat, "method", kParamKeyword, kFactory, &autoPartOpt.method, 1, nullptr,
                "allSchemes\0greedy\0", list);
    do_Int_Parm(cat, "criterion", kParamKeyword, kFactory, &autoPartOpt.criterion, 2, nullptr,
                "AIC\0AICc\0BIC\0", list);
    do_Int_Parm(cat, "modelset", kParamKeyword, kFactory, &autoPartOpt.modelset, 2, nullptr,
                "j3\0j5\0j7\0j11\0GTR\0", list);
    include(set, OptionSet::kCandidateRateModels, list);
    do_Bool_Parm(cat, "lset", kOnOff, kFactory, &autoPartOpt.lset, 1, nullptr, nullptr, list);
    do_Int_Parm(cat, "stateFreq", kParamKeyword, kFactory, &autoPartOpt.stateFreq, 1, nullptr,
                "estimate\0empirical\0", list);
    do_Bool_Parm(cat, "verbose", kOnOff, kFactory, &autoPartOpt.verbose, 0, nullptr, nullptr,
                 list);
    do_Bool_Parm(cat, "modSel", kTwoWords, kFactory, &autoPartOpt.modSel, 0, nullptr,
                 "early\0late\0", list);
    do_Int_Parm(cat, "showSchemes", kParamKeywordOff, kFactory, &autoPartOpt.showSchemes, 0,
                nullptr, "no\0yes\0suppressPtn\0", list);
    do_Fxn_Parm("tree", cat, 0, &treeSets[kAutoPartTreeSet], readOptTreeList1st, nullptr, "<tree-number>",
                list);
}

void clockCheckerOptions(CmdParamList *list)
{
    const char *cat = "ClockChecker";
    auto flag = [&](const char *name, uint32_t flags, uint8_t *variable, uint32_t factory) {
        do_Bool_Parm(cat, name, kOnOff, flags, variable, factory, nullptr, nullptr, list);
    };
    do_Fxn_Parm("tree", cat, 0, &treeSets[kClockCheckTreeSet], readOptTreeListAll, nullptr, "<tree-list>",
                list);
    do_Fxn_Parm("partition", cat, kParamNoFactoryText, &clkChkOpt.partition,
                handleCharPtnNameOrNone, nullptr, "<charpartition-name>", list);
    flag("showPartition", kFactory, &clkChkOpt.showPartition, 1);
    flag("lrt", kFactory, &clkChkOpt.lrt, 1);
    flag("aic", kFactory, &clkChkOpt.aic, 0);
    flag("aicc", kFactory, &clkChkOpt.aicc, 0);
    flag("bic", kFactory, &clkChkOpt.bic, 0);
    do_Int_Parm(cat, "exclude", kParamKeyword, kFactory, &clkChkOpt.exclude, 0, nullptr,
                "no\0LRT\0AIC\0AICc\0BIC\0", list);
    do_Flt_Parm(cat, "lrtThreshold", kParamReal, kFactory, &clkChkOpt.lrtThreshold, nullptr, 0.05,
                list);
    do_Flt_Parm(cat, "xicThreshold", kParamReal, kFactory, &clkChkOpt.xicThreshold, nullptr, 2.0,
                list);
    flag("upgma", kHiddenFactory, &clkChkOpt.upgma, 0);
    do_Flt_Parm(cat, "minMissing", kParamReal, kFactory, &clkChkOpt.minMissing, nullptr, 0.25,
                list);
}

void orthoFilterOptions(CmdParamList *list)
{
    const char *cat = "OrthoFilter";
    do_Fxn_Parm("partition", cat, kParamNoFactoryText, &ofltOpt.partition, handleCharPtnName,
                nullptr, "<charpartition-name>", list);
    do_Fxn_Parm("constraints", cat, kParamNoFactoryText, nullptr, readOrthoFilterConstraint, nullptr,
                "<constraint-name>", list);
    do_Bool_Parm(cat, "showPartition", kOnOff, kFactory, &ofltOpt.showPartition, 1, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "upgma", kOnOff, kFactory, &ofltOpt.upgma, 1, nullptr, nullptr, list);
    do_Flt_Parm(cat, "minMissing", kParamReal, kFactory, &ofltOpt.minMissing, nullptr, 0.25,
                list);
    do_IntRange_Parm(cat, "maxParaRem", kParamInt, kFactory, &ofltOpt.maxParaRem, 1, 0, kIntMax,
                     nullptr, nullptr, list);
}

void patFitOptions(CmdParamList *list)
{
    do_Bool_Parm("PatFit", "pool", kOnOff, kFactory, &patfitOpt.pool, 1, nullptr, nullptr, list);
    do_IntRange_Parm("PatFit", "maxsteps", kParamInt, kFactory, &patfitOpt.maxsteps, 3, 0,
                     kMaxPatFitSteps, nullptr, nullptr, list);
}

void raxmlOptions(CmdParamList *list)
{
    const char *cat = "Raxml";
    auto flag = [&](const char *name, uint32_t flags, uint8_t *variable, uint32_t factory) {
        do_Bool_Parm(cat, name, kOnOff, flags, variable, factory, nullptr, nullptr, list);
    };
    do_IntRange_Parm(cat, "nRuns", kParamInt, kFactory, &raxmlOpt.nRuns, 1, 1, kMaxOutsideRuns,
                     nullptr, nullptr, list);
    flag("bootstrap", 0, &raxmlOpt.bootstrap, 0);
    do_IntRange_Parm(cat, "nBootReps", kParamInt, kFactory, &raxmlOpt.nBootReps, 100, 1,
                     kMaxOutsideRuns, nullptr, nullptr, list);
    do_Int_Parm(cat, "pseed", kParamInt, kParamNonpersistent, &raxmlOpt.pseed, 0, nullptr,
                nullptr, list);
    do_Int_Parm(cat, "bseed", kParamInt, kParamNonpersistent, &raxmlOpt.bseed, 0, nullptr,
                nullptr, list);
    do_Flt_Parm(cat, "optPrecision", kParamReal, kParamShowNone, &raxmlOpt.optPrecision, nullptr,
                0.0, list);
    do_Bool_Parm(cat, "algorithm", kTwoWords, kFactory, &raxmlOpt.algorithm, 0, nullptr,
                 "d\0o\0", list);
    do_Fxn_Parm("cpartition", cat, kParamNoFactoryText, &raxmlOpt.cpartition, handleCharPtnName,
                nullptr, "<charpartition-name>", list);
    do_Fxn_Parm("otherOptions", cat, kParamNonpersistent, nullptr, getRaxmlOther, nullptr,
                "\"<other-RAxML-options>\"", list);
    flag("showOutput", kFactory, &raxmlOpt.showOutput, 1);
    flag("showTree", kFactory, &raxmlOpt.showTree, 1);
    do_String_Parm("raxmlBin", cat, kParamString, kFactory, raxmlOpt.raxmlBin, "raxml", nullptr,
                   "<shell-command-to-invoke-RAxML>", list);
    flag("keepTempFiles", kFactory, &raxmlOpt.keepTempFiles, 0);
}

void garliOptions(CmdParamList *list)
{
    const char *cat = "Garli";
    GarliSettings &g = garliOpt;
    auto flag = [&](const char *name, uint32_t flags, uint8_t *variable, uint32_t factory) {
        do_Bool_Parm(cat, name, kOnOff, flags, variable, factory, nullptr, nullptr, list);
    };
    // The values go to the program's configuration file; only the counts
    // this program loops over are bounded here.
    auto integer = [&](const char *name, int32_t *variable, int32_t factory) {
        do_Int_Parm(cat, name, kParamInt, kFactory, variable, static_cast<uint32_t>(factory),
                    nullptr, nullptr, list);
    };
    auto real = [&](const char *name, double *variable, double factory) {
        do_Flt_Parm(cat, name, kParamReal, kFactory, variable, nullptr, factory, list);
    };
    do_Separator("Commonly used settings", cat, list);
    flag("bootstrap", 0, &g.bootstrap, 0);
    do_IntRange_Parm(cat, "nSearchReps", kParamInt, kFactory, &g.nSearchReps, 2, 1,
                     kMaxOutsideRuns, nullptr, nullptr, list);
    do_IntRange_Parm(cat, "nBootReps", kParamInt, kFactory, &g.nBootReps, 100, 1, kMaxOutsideRuns,
                     nullptr, nullptr, list);
    do_Int_Parm(cat, "seed", kParamInt, kFactory | kParamNoFactoryText, &g.seed, 0, nullptr,
                nullptr, list);
    do_String_Parm("garliBin", cat, kParamString, kFactory, g.garliBin, "garli", nullptr,
                   "<shell-command-to-invoke-Garli>", list);
    flag("keepTempFiles", kFactory, &g.keepTempFiles, 0);
    integer("memory", &g.memory, 512);
    flag("checkpoint", kFactory, &g.checkpoint, 0);
    flag("linkModels", kFactory, &g.linkModels, 0);
    integer("nIndivs", &g.nIndivs, 4);
    flag("codonModel", kFactory, &g.codonModel, 0);
    do_Int_Parm(cat, "genCode", kParamKeyword, kFactory, &g.genCode, 0, nullptr,
                "standard\0vertMito\0invertMito\0", list);
    do_Int_Parm(cat, "stateFreq", kParamKeyword, kFactory, &g.stateFreq, 3, nullptr,
                "equal\0empirical\0f1x4\0f3x4\0", list);
    integer("nOmegaCateg", &g.nOmegaCateg, 1);
    do_Separator("Output options", cat, list);
    flag("showOutput", kFactory, &g.showOutput, 1);
    flag("showTree", kFactory, &g.showTree, 1);
    integer("logevery", &g.logevery, 10);
    integer("saveevery", &g.saveevery, 100);
    flag("outputBetter", kFactory, &g.outputBetter, 0);
    flag("outputBest", kFactory, &g.outputBest, 1);
    flag("siteLikes", kFactory, &g.siteLikes, 0);
    do_Separator("Other options", cat, list);
    flag("enforceTerm", kFactory, &g.enforceTerm, 1);
    integer("threshTopoTerm", &g.threshTopoTerm, 10000);
    real("scorethresh", &g.scorethresh, 0.001);
    real("sigTopoChange", &g.sigTopoChange, 0.01);
    flag("refinestart", kFactory, &g.refinestart, 1);
    integer("attachPerTaxon", &g.attachPerTaxon, 100);
    flag("outputUselFiles", kFactory, &g.outputUselFiles, 0);
    flag("restart", kParamNonpersistent, &g.restart, 0);
    real("resampleProp", &g.resampleProp, 1.0);
    flag("collapse", kFactory, &g.collapse, 1);
    integer("holdover", &g.holdover, 1);
    integer("penHoldover", &g.penHoldover, 0);
    real("intensity", &g.intensity, 0.5);
    integer("stopGen", &g.stopGen, 5000000);
    integer("stopTime", &g.stopTime, 5000000);
    real("startOptPrec", &g.startOptPrec, 0.5);
    real("minOptPrec", &g.minOptPrec, 0.01);
    integer("nPrecReduct", &g.nPrecReduct, 10);
    real("treeRejThresh", &g.treeRejThresh, 50.0);
    real("topoWeight", &g.topoWeight, 0.01);
    real("modWeight", &g.modWeight, 0.002);
    real("brlenweight", &g.brlenweight, 0.002);
    real("randNniWeight", &g.randNniWeight, 0.1);
    real("randSprWeight", &g.randSprWeight, 0.3);
    real("limSprWeight", &g.limSprWeight, 0.6);
    integer("intervalLen", &g.intervalLen, 100);
    integer("storeIntervals", &g.storeIntervals, 5);
    integer("limSprRange", &g.limSprRange, 6);
    integer("meanBrlenMuts", &g.meanBrlenMuts, 5);
    real("gshapeBrlen", &g.gshapeBrlen, 1000.0);
    real("gshapeModel", &g.gshapeModel, 1000.0);
    real("uniqSwapBias", &g.uniqSwapBias, 0.1);
    real("distSwapBias", &g.distSwapBias, 1.0);
}

}  // namespace

uint32_t traverseLikOptionSets(OptionSet set, CmdParamList *list)
{
    if (runs(set, OptionSet::kLSet)) {
        include(set, OptionSet::kLSetModel, list);
        include(set, OptionSet::kLSetSettings, list);
    }
    if (runs(set, OptionSet::kLSetModel))
        do_String_Parm("model", "LSet_Only", kParamString, kParamShowNone | kParamHidden,
                       ml.modelName, nullptr, nullptr, "<model-name>", list);
    if (runs(set, OptionSet::kLSetSettings))
        lsetSettings(list);
    if (runs(set, OptionSet::kLScores))
        lscoresOptions(set, list);
    if (runs(set, OptionSet::kLScoresAndLSet)) {
        include(set, OptionSet::kLScores, list);
        do_Separator("For backward compatibility, the following 'LSet' options may also be "
                     "specified on the 'LScores' command",
                     nullptr, list);
        include(set, OptionSet::kLSetSettings, list);
    }
    if (runs(set, OptionSet::kGammaPlot))
        gammaPlotOptions(list);
    if (runs(set, OptionSet::kSurfCheck))
        surfCheckOptions(set, list);
    if (runs(set, OptionSet::kCandidateRateModels))
        candidateRateModels(list);
    if (runs(set, OptionSet::kAutoModel))
        autoModelOptions(set, list);
    if (runs(set, OptionSet::kAutopartition))
        autopartitionOptions(set, list);
    if (runs(set, OptionSet::kClockChecker))
        clockCheckerOptions(list);
    if (runs(set, OptionSet::kOrthoFilter))
        orthoFilterOptions(list);
    if (runs(set, OptionSet::kPatFitTest))
        patFitOptions(list);
    if (runs(set, OptionSet::kRAxMLSearch))
        raxmlOptions(list);
    if (runs(set, OptionSet::kGarliSearch))
        garliOptions(list);
    return list->failed;
}
