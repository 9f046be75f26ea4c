#include "likelihood/ml_cmd.h"

#include <cmath>
#include <memory>

#include "likelihood/swapscreen.h"
#include "likelihood/treelike.h"
#include "data/vorn_util.h"
#include "search/bootjack.h"
#include "search/condense.h"
#include "search/critscore.h"
#include "search/describetrees.h"
#include "trees/collapse.h"
#include "trees/treeutil.h"

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "data/assump.h"
#include "data/data_services.h"
#include "data/empirfreqs.h"
#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/kernels/lik_kernels.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlinit.h"
#include "likelihood/mlsettings_report.h"
#include "likelihood/mlrecon.h"
#include "likelihood/paramvec.h"
#include "likelihood/prevestimates.h"
#include "likelihood/ratevar.h"
#include "likelihood/modelgroup.h"
#include "likelihood/models.h"
#include "likelihood/showmodel.h"
#include "parsimony/charplot.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"

namespace {

bool haveDataMatrix(const DataInfo *d) { return d != nullptr && (d->flags & kHaveCharacters); }

// The LSet settings follow a named set defined again; one that is gone is
// dropped with a warning (site-specific rates without their partition or
// rate set then stop at their own error when used). Either way what was
// prepared from the old definition is made again: the rate classes, and for
// a model partition the site patterns it splits.
void likelihoodSetsChanged(const Nexset *old, Nexset *replacement)
{
    bool changed = false;
    for (Nexset **slot : {&ml.siteRatePartition, &ml.rateSet, &ml.modelPartition}) {
        const NexsetRefChange change = updateNexsetRef(slot, old, replacement);
        if (change == NexsetRefChange::kNone)
            continue;
        if (change == NexsetRefChange::kDropped)
            warnNexsetRefDropped(old, slot == &ml.modelPartition ? "LSet mpartition" : "LSet siteRates");
        if (slot == &ml.modelPartition)
            invalidateSitePatternData(false);
        changed = true;
    }
    if (changed)
        invalidateMLprep();
}

// The two action words act once, on the LSet command that names them.
void clearActions(LSet *settings) { settings->estAllParams = settings->fixAllParams = 0; }

int showModelsProc(void *)
{
    // Without data the default model is what the current settings make it.
    Model *dflt = getDefaultModel();
    DataInfo *d = activeDataInfo();
    if (!haveDataMatrix(d) && dflt->needsInit && applyCurrentSettingsToModel(dflt, d) != 0)
        return 1;
    bool any = false;
    for (uint32_t i = 0; i < countModels(); ++i) {
        const Model *m = getModel(i);
        if (m->nstates == 0 && m->type != kModelNucleotide)
            continue;
        if (!any)
            qel_printf("\nCurrently defined models:\n");
        any = true;
        const int previous = indentOutput(2);
        showModel(m, true, false, false, nullptr);
        setOutputIndentLevel(previous);
    }
    if (!any)
        qel_printf("\nNo models have been defined.\n");
    return 0;
}

int showModelPartitionsProc(void *) { return showModelPartitions(); }

// A tree the user asked about was fitted: what it estimated becomes the
// "previous" values, unless the fit failed (zero likelihood, abort).
void keepEstimatesOfFit(double score)
{
    if (score < kLikInfiniteScore)
        saveParamEstimates();
}

// A tree shown with its states or branch table: scored with its lengths
// optimised in place, with their standard errors when asked.
double scoreForDisplay(Tree *tree, bool stdErrs)
{
    if (initializeML(false, false, false, false, tree) != 0)
        return kNoLScore;
    setNeedBrlenStdErr(stdErrs);
    const double score = calcTreeLikelihood(tree, kNoLScore);
    setNeedBrlenStdErr(false);
    keepEstimatesOfFit(score);
    return score;
}


// A search tree's lengths are those of its last fit, which a swap screen may
// have made only near the moved branch: the tree is fitted whole first.
void collapseLeastLengthEdges(Tree *tree)
{
    if (calcTreeLikelihood(tree, kNoLScore) >= kNoLScore)
        return;
    if (checkCollapse(tree, activeDataInfo(), false, CollapseRule::kNo))
        contractUnkeptEdges(tree);
}

}  // namespace

// A resampled replicate is new pattern weights on the patterns already
// built; what the likelihood takes from the weights alone follows them.
// Distances for starting lengths and the Mk model's conditioning would need
// the replicate's own data set, so those settings rebuild instead.
ModelGroup *groupToResampleInPlace(DataInfo *d)
{
    ModelGroup *g = getModelGroup(0);
    if (!d || !ml.prepValid[0] || g != activeModelGroup() || !g->engine || !isSitePatternDataValid(g) ||
        g->useMkv || !g->groupPatternWeight || !g->siteToGroupPattern || g->ngrp == 0 || usingDistancesForML() ||
        ml.initBrLenMethod == kInitBrLenLS)
        return nullptr;
    return g;
}

int patternWeightsChanged(DataInfo *d)
{
    // Distances computed from the patterns (the last replicate's among
    // them) no longer hold.
    if (dataServices().invalidateDistances)
        dataServices().invalidateDistances();
    ModelGroup *g = activeModelGroup();
    g->empirFreqsValid = 0;
    calcEmpirFreqsForPatData(g, d, firstActiveModel());
    // The engine scores with its own copy of each model's frequencies.
    for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive) {
        setPiVectorForModel(m, nullptr);
        if (initializeModelVars(m) != 0)
            return 1;
    }
    if (dataServices().forgetLastTreeOptimized)
        dataServices().forgetLastTreeOptimized();
    return 0;
}

// Replicates whose starting trees or lengths come from distances, or under
// the Mk model, draw characters as a rebuild of the data would take them;
// the patterns stay, each summing its sites' drawn weights, and what a new
// set-up would compute from the weights follows: the totals, the
// empirical frequencies and the models, and the distances of its step for
// starting trees and lengths.
// Site-specific rates and model partitions keep the sites of each pattern
// apart by rate class and model; the classes must stay those the set-up
// made, and the rates, weighed by the characters' weights, start again as a
// set-up from the new weights would start them.
ModelGroup *groupToReweightInPlace(DataInfo *d)
{
    ModelGroup *g = getModelGroup(0);
    if (!d || !ml.prepValid[0] || g != activeModelGroup() || !g->engine || !isSitePatternDataValid(g) ||
        !g->patterns || !g->groupPatternWeight || !g->siteToGroupPattern || g->ngrp == 0)
        return nullptr;
    for (const Model *m = firstActiveModel(); m != nullptr; m = m->nextActive)
        if (!siteRateClassesKept(m, d))
            return nullptr;
    return g;
}

int charWeightsChanged(DataInfo *d)
{
    refreshGroupPatternWeights(activeModelGroup(), d);
    for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive)
        reweightModelRates(m, d);
    if (patternWeightsChanged(d) != 0)
        return 1;
    if (!setUpWithStartDistances())
        return 0;
    const int s = prepareStartDistances(d, getPrimaryTree());
    return s == 0 ? 0 : s == 2 ? 2 : 1;
}

namespace {

constexpr PatternResampleFxns kPatternResample{groupToResampleInPlace, patternWeightsChanged, groupToReweightInPlace,
                                               charWeightsChanged};
constexpr FastStepwiseFxns kFastStepwise{fastStepwiseInEffect, fastStepwiseBegin, fastStepwiseJoinScore,
                                         fastStepwiseJoin};

constexpr SwapScreenFxns kSwapScreen{swapScreenBegin, swapScreenLengths, swapScreenScore, swapScreenRejects,
                                     swapScreenEnd,   swapScreenRecheck, swapScreenMissed};

}  // namespace

int checkAndStoreModelSettings(LSet *settings, const DataInfo *d)
{
    const bool estimate = settings->estAllParams != 0;
    const bool fix = settings->fixAllParams != 0;
    clearActions(settings);
    if (const int rc = storeCurrentModel(settings->modelName, d, false); rc != 0)
        return rc == 2 ? 2 : 1;
    if (estimate && fix)
        return qel_errorMsg(0, "'%s' and '%s' may not be specified simultaneously.\tPlease use one "
                               "or the other.",
                            "estAllParams", "fixAllParams"),
               1;
    if (estimate) {
        qel_printf("\n'EstAllParams' specified; all model parameters will be estimated");
        for (uint32_t i = 0; i < countModels(); ++i)
            if (modelHasEmpiricalFreqs(getModel(i))) {
                qel_printf(" (except for base/AA frequencies set to 'empirical')");
                break;
            }
        qel_printf(".\n");
        return setAllParamsToEstimated();
    }
    if (fix) {
        qel_printf("\n'FixAllParams' specified; all previously estimated model parameters will be "
                   "fixed to their current settings.\n");
        return setAllParamsToFixed();
    }
    return 0;
}

int doLsetCmd()
{
    ml.modelName[0] = '\0';
    clearActions(&ml);
    // Settings the data refuse are not kept: every later command that
    // applies them (an Include, a scoring) would fail on them again. A
    // declined question leaves them, to be asked again where they apply.
    std::unique_ptr<CmdParamList, CmdParamList *(*)(CmdParamList *)> before(allocAndSaveParamVals(OptionSet::kLSet),
                                                                           destroyCmdParamList);
    if (getCmdParams(OptionSet::kLSet, ";", nullptr) <= 0) {
        clearActions(&ml);
        return 1;
    }
    // LSet ends on a declined question as on any other failure.
    const int rc = checkAndStoreModelSettings(&ml, activeDataInfo());
    if (rc == 0)
        return 0;
    if (rc == 1 && before) {
        restoreCmdParamVals(before.get());
        getDefaultModel()->needsInit = 1;
    }
    return 1;
}

int doModPartitionCmd()
{
    bool skipped = false;
    Nexset *ns = readNexPartition(2, kNexModelPartition, "ModPartition", "ModPartition", &skipped);
    if (ns == nullptr)
        return skipped ? 0 : 1;
    if (installModelPartition(ns) != 0) {
        destroyNexset(ns, kNexModelPartition);
        return 1;
    }
    return 0;
}

int doShowModelCmd()
{
    if (haveDataMatrix(activeDataInfo()) && prepareData(kPrepLikelihood, 0, true) != 0)
        return 1;
    return runOutputThread(showModelsProc, nullptr);
}

int doShowModPtnsCmd() { return runOutputThread(showModelPartitionsProc, nullptr); }

int installLikelihoodHooks()
{
    LikelihoodSettingsServices settings{};
    settings.invalidateMLprep = invalidateMLprep;
    // The compressed patterns keep each pattern's state count, which the Mk
    // state space decides: a change of it must compress them again.
    settings.invalidatePatterns = [] { invalidateSitePatternData(true); };
    settings.numBaseFreqStates = []() -> uint32_t {
        const ModelGroup *g = activeModelGroup();
        if (isSitePatternDataValid(g))
            return g->nstates;
        DataInfo *d = activeDataInfo();
        return haveDataMatrix(d) && isRYCoding(d) ? 2 : 0;
    };
    setLikelihoodSettingsServices(settings);

    PatternServices patterns{};
    patterns.nstIsMkv = [] { return ml.NST == static_cast<int32_t>(kNstMkv); };
    patterns.mkStateSpaceFixed = [] { return ml.mkStateSpace != 0; };
    patterns.invalidateMLprep = invalidateMLprep;
    patterns.clearMLPrepared = [] { ml.prepValid[0] = 0; };
    patterns.modelPartition = []() -> const Nexset * { return ml.modelPartition; };
    installPatternServices(patterns);

    setModelEngineReleaser(releaseModelEngine);
    installSiteSpecificRatesQuery(siteSpecificRatesInEffect);
    addNexsetWatcher(likelihoodSetsChanged);
    watchNexsetSlot(&lscOpt.byPartition, nullptr);
    watchNexsetSlot(&raxmlOpt.cpartition, "RAxMLSearch cpartition");
    DataServices data{};
    data.initializeML = initializeMLForData;
    data.disposeML = [](int purging) { disposeML(purging != 0); };
    data.deallocAllModelGroupData = [](int release, int) { deallocAllModelGroupData(release != 0); };
    data.initModelData = [](DataInfo *d, int) {
        return initModelData(getDefaultModel(), false, d);
    };
    // Searches under likelihood: every tree scored by the driver with its
    // branch lengths and parameters optimised (the lengths stay on the tree).
    CriterionSearchFxns search{};
    search.score = [](Tree *tree, double bound) { return calcTreeLikelihood(tree, bound); };
    // Rooting a tree scores it outside any search, whose driver would have
    // set up the likelihood machinery for it. That fit is one a user looks
    // at (not a neighbour a search tries): its estimates become the
    // "previous" values.
    search.scoreWithLengths = [](Tree *tree, double bound) {
        if (initializeML(false, false, false, false, tree) != 0)
            return kNoLScore;
        const double score = calcTreeLikelihoodForItself(tree, bound);
        keepEstimatesOfFit(score);
        return score;
    };
    // The general tree score (star decomposition, tree filters, sorting).
    installTreeScoreFxns({nullptr, search.score, nullptr});
    // DescribeTrees: each tree scored with its lengths optimised and, for
    // the branch table, the standard errors and zero-length tests.
    LikelihoodDescribeHooks describe{};
    describe.prepare = [](DataInfo *) { return prepareData(kPrepLikelihood, 0, false); };
    describe.score = scoreForDisplay;
    describe.stdErr = [](const TreeNode *node) { return brlenStdErr(nullptr, node); };
    describe.zeroLenDiff = [](const TreeNode *node) { return zeroLenScoreDiff(nullptr, node); };
    describe.zeroLenTest = didZeroLenTest;
    describe.paramsEstimated = estimatingMLParms;
    describe.clock = [] { return ml.clock != 0; };
    describe.fixedLengths = usingFixedMLBranchLengths;
    describe.reconstruct = [](Tree *tree, DataInfo *d) {
        return findReconstruction(tree, activeModelGroup(), d);
    };
    // Model states as the data's symbols: under purine/pyrimidine coding
    // state 0 stands for A or G, state 1 for C or T.
    describe.stateOf = [](const DataInfo *d, const TreeNode *node, uint32_t c) -> int64_t {
        const int64_t s = getAncStateFromMLRecon(d, node, c);
        const ModelGroup *g = activeModelGroup();
        if (s < 0 || g == nullptr || g->dataType != kModelRY)
            return s;
        return (s & 1 ? 0b0101 : 0) | (s & 2 ? 0b1010 : 0);
    };
    // Reconstruct draws the same reconstruction of the tree scored as
    // DescribeTrees scores it.
    CharPlotLikelihoodHooks plot{};
    plot.prepare = describe.prepare;
    plot.score = [](Tree *tree) { return scoreForDisplay(tree, false); };
    plot.reconstruct = describe.reconstruct;
    plot.stateOf = describe.stateOf;
    plot.joint = [] { return ml.recon == 1; };
    plot.siteProbs = mlReconSiteProbs;
    describe.showProbabilities = [](Tree *tree, DataInfo *d) { return showMLBaseProbs(tree, activeModelGroup(), d); };
    describe.allProbs = [] { return ml.allProbs != 0; };
    installLikelihoodDescribeHooks(describe);
    installCharPlotLikelihoodHooks(plot);
    // Conditioning on variable characters lets a tree score better than
    // the partial trees it grows from: no bound holds.
    search.refuseBranchAndBound = [] {
        const DataInfo *d = activeDataInfo();
        if (!(d && mustUseMkv(d)) && ml.NST != static_cast<int32_t>(kNstMkv))
            return 0;
        qel_errorMsg(537, "Mkv model is not permitted with branch-and-bound search.\tHeuristic or exhaustive "
                          "searches may be used.");
        return 1;
    };
    // Node ages need a root: a search of unrooted trees under a clock would
    // refuse every tree it tried.
    search.refuseSearch = [](bool rooted) {
        if (rooted || !ml.clock)
            return 0;
        qel_errorMsg(849, "Clock assumption requires rooted trees.\tYou must either turn off the clock "
                          "assumption or root the trees using the \"RootTrees\" command.");
        return 1;
    };
    search.rootedTrees = [] { return ml.clock != 0; };
    search.patternResample = &kPatternResample;
    search.warmStarts = setSearchWarmStarts;
    search.fastStepwise = &kFastStepwise;
    search.swapScreen = &kSwapScreen;
    // The fit converges to within its relative tolerance: closer scores are
    // one score, as are the resolutions of a branch fitted to length 0.
    search.roundingTolerance = [](double score) {
        const ActiveML *a = getActiveML();
        return a != nullptr ? std::fabs(score) * a->toler : 0.0;
    };
    search.deadline = setEstimateDeadline;
    search.showSettings = [](int indent) {
        indentOutput(indent);
        showMLSettings(false, nullptr);
        indentOutput(-indent);
    };
    search.zeroBranchLength = getMinMLBranchLen;
    // The resolutions of a branch the fit drives to the least length all
    // have one score and say nothing the data hold: a search keeps them as
    // one tree with that branch contracted. Lengths are never negative
    // here; under a clock a node's age fixes its branches, so none goes.
    search.collapseActive = [] { return ml.clock == 0; };
    search.collapse = collapseLeastLengthEdges;
    search.collapseDescription = "branch length is at most the minimum (1e-08)";
    return installDataServices(data) | installCriterionSearchFxns(kCriterionLikelihood, search);
}
