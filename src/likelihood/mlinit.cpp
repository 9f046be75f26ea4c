#include "likelihood/mlinit.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "data/charstat.h"
#include "data/data_services.h"
#include "data/empirfreqs.h"
#include "data/model.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "distance/dcalc.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlsettings_report.h"
#include "likelihood/modelgroup.h"
#include "likelihood/likeops.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "trees/treeutil.h"

namespace {

// The settings and the record as they were at the end of the last
// successful preparation: what the validity test compares against.
LSet gSaveMl{};
ActiveML gSaveAml{};
uint32_t gPreparations = 0;
MLStartLengthHooks gStartHooks{};
// Whether the last full preparation computed distances for starting trees
// or lengths.
bool gSetUpWithDistances = false;

bool flagOf(const ActiveML &a, uint32_t mask) { return (a.flags & mask) != 0; }
bool sameFlags(const ActiveML &a, const ActiveML &b, uint32_t mask) { return (a.flags & mask) == (b.flags & mask); }

bool haveData(const DataInfo *d) { return d != nullptr && (d->flags & kHaveCharacters); }

// Standard data keep their own symbols, whatever letters they use: a column of
// A and C there is two states of a character, not purines against pyrimidines.
bool dataAreRYCoded(const DataInfo *d)
{
    return haveData(d) && d->dataType != kDataTypeStandard && isRYCoding(const_cast<DataInfo *>(d));
}

// The parsimony-approximation start (startVals = parsApprox) is keyword 0.
constexpr int32_t kStartValsParsApprox = 0;

int statusOnFailure() { return getAbortedStatus() ? 2 : 1; }

// One model group serves every active model, and whether it lays its
// patterns out and scores them as Mk characters is settled for the whole
// group by the data and the current NST setting. A model of a partition that
// disagrees would be scored by kernels built for the other layout, so such a
// partition is refused before anything is computed.
int checkModelsFitMkvLayout(const Model *first, bool mkLayout)
{
    const Model *mk = nullptr, *other = nullptr;
    for (const Model *m = first; m != nullptr; m = m->nextActive)
        (m->type == kModelMkv ? mk : other) = m;
    if (mk != nullptr && other != nullptr)
        return qel_errorMsg(0,
                            "The Mkv model cannot be combined with other models in a model partition.\tModel "
                            "'%s' uses the Mkv model but model '%s' does not; use the Mkv model for every subset "
                            "of the partition or for none.",
                            mk->name, other->name),
               1;
    if (mkLayout && other != nullptr)
        return qel_errorMsg(0,
                            "Model '%s' does not use the Mkv model, but the current settings analyse the data as "
                            "Mkv characters.\tSet NST to 1, 2 or 6 (e.g., \"lset nst=1;\") to use this model.",
                            other->name),
               1;
    if (!mkLayout && mk != nullptr)
        return qel_errorMsg(0,
                            "Model '%s' uses the Mkv model, but the current settings do not.\tSet NST=Mkv (e.g., "
                            "\"lset nst=mkv;\") to use this model.",
                            mk->name),
               1;
    return 0;
}

struct StatusText {
    StatusText()
    {
        if (dataServices().setStatusText)
            dataServices().setStatusText("Doing ML initialization...");
    }
    ~StatusText()
    {
        if (dataServices().clearStatusText)
            dataServices().clearStatusText();
    }
};

void forgetLastTree()
{
    if (dataServices().forgetLastTreeOptimized)
        dataServices().forgetLastTreeOptimized();
}

// Largest rows of a tip matrix: the states, the any-state code and the
// ambiguity codes met in the patterns.
uint32_t maxTipRows(const ModelGroup *g)
{
    return g->patterns ? std::max(g->patterns->ncodes, g->nstates + 1) : g->nstates + 1;
}

void sizeMatrixSet(ChgMatrixSet &s, uint32_t rows, uint32_t n, bool derivatives, bool sp)
{
    s.p.resize(rows, n);
    if (derivatives) {
        s.d1.resize(rows, n);
        s.d2.resize(rows, n);
    }
    if (sp) {
        // Vector copies of internal branches are transposed: room for both.
        const uint32_t r = std::max(rows, n);
        s.pf.resize(r, n);
        if (derivatives) {
            s.d1f.resize(r, n);
            s.d2f.resize(r, n);
        }
    }
}

// Steps 10 and 11 of the set-up: eigen records, constant-site arrays,
// float frequencies and the per-thread workspaces.
int allocModelAndThreadData(ModelGroup *g, ActiveML *aml)
{
    ModelGroupEngine &e = *groupEngine(g);
    const bool sp = flagOf(*aml, kAMLSinglePrecision);
    uint32_t maxRates = 1, maxCategs = 1;
    g->hasInvarSites = 0;
    for (Model *m = aml->firstActive; m != nullptr; m = m->nextActive) {
        ModelEngineData &me = *modelEngine(m);
        if (modelNeedsEigenSystem(m)) {
            const bool symmetric = m->type == kModelMkv || modelHasEqualFreqs(m);
            const bool vector = m->nstates >= 5 && flagOf(*aml, kAMLVector);
            me.diag = deallocMatrixDiag(me.diag);
            me.diag = allocMatrixDiag(m->nstates, symmetric, !symmetric, 0, vector);
            if (me.diag == nullptr)
                return 1;
        }
        if (m->pinv != 0.0) {
            g->hasInvarSites = 1;
            me.constSiteLikes.assign(g->ngrp, 0.0);
        }
        me.piFloat.assign(sp ? m->nstates : 0, 0.0f);
        maxRates = std::max(maxRates, numRatesForModel(m));
        maxCategs = std::max(maxCategs, numRateCategsForModel(m));
    }
    if (g->ngrp == 0)
        return 0;
    e.ncateg = std::max(maxRates, maxCategs);
    e.maxTipCodes = maxTipRows(g);
    e.threads.assign(std::max<uint32_t>(aml->nthreads, 1), ThreadWork{});
    for (ThreadWork &w : e.threads) {
        w.categ.resize(e.ncateg);
        for (ChgMatrixSet &s : w.categ)
            sizeMatrixSet(s, e.maxTipCodes, g->nstates, true, sp);
        for (ChgMatrixSet &s : w.in)
            sizeMatrixSet(s, e.maxTipCodes, g->nstates, false, sp);
    }
    e.patternWork.assign(g->ngrp, 0.0);
    return 0;
}

// How starting branch lengths and parameter values are found. These bits
// depend on the count of estimated parameters, known once the models are set.
void setStartValueFlags(ActiveML *aml)
{
    setAMLFlag(aml, kAMLParsOrLSBrLens, ml.initBrLenMethod < kInitBrLenArbitrary);
    setAMLFlag(aml, kAMLNotParsStartVals, ml.startVals != kStartValsParsApprox);
    const bool rogers = (ml.initBrLenMethod == kInitBrLenRogers && !ml.clock && !ml.userBrLens) ||
                        (aml->numEstParams != 0 && ml.startVals == kStartValsParsApprox);
    setAMLFlag(aml, kAMLNeedRogers, rogers);
}

void saveCopies(const ActiveML *aml)
{
    gSaveMl = ml;
    gSaveAml = *aml;
}

int failInit()
{
    const int status = statusOnFailure();
    disposeML(false);
    return status;
}

}  // namespace

// ---- Flags and validity ----------------------------------------------------------------

void initializeMLFlags(ActiveML *aml, bool mlDist, bool useDistances)
{
    const DataInfo *d = activeDataInfo();
    // Bits other code owns survive: threads, the L-BFGS-B pair, ML distances
    // under way, local clocks and the automated model evaluation.
    aml->flags &= kAMLMultithread | kAMLLbfgsParams | kAMLDoingMLDist | kAMLLocalClocks |
                  kAMLAutoModel | kAMLQuartetPuzzling;
    // A puzzling run sets useApproxLim from its own option for its duration.
    const bool approx = ml.useApproxLim && ml.initBrLenMethod < kInitBrLenArbitrary;
    setAMLFlag(aml, kAMLUseApproxLim, approx);
    setAMLFlag(aml, kAMLAdjustApproxLim, approx && ml.adjustAppLim);
    const bool rooted = aml->tree != nullptr && (aml->tree->flags & kTreeRootedAtAnc);
    setAMLFlag(aml, kAMLRooted, rooted && (ml.clock || ml.userBrLens));
    setAMLFlag(aml, kAMLClock, ml.clock);
    setAMLFlag(aml, kAMLJointBrLens, ml.clock || ml.blopt == static_cast<int32_t>(kBloptMultiDim));
    setAMLFlag(aml, kAMLPrepMLDist, mlDist);
    setAMLFlag(aml, kAMLUseDistances, useDistances);
    setAMLFlag(aml, kAMLLogIter, ml.logIter && !mlDist);
    setAMLFlag(aml, kAMLFixedBrLens, ml.userBrLens || ml.UCM);
    setAMLFlag(aml, kAMLPartitioned, ml.modelPartition != nullptr);

    aml->initArbBrLen = ml.initArbBrLen;
    aml->approxLim = ml.approxLim;
    aml->brentEps = ml.brentEps;
    aml->brentT = ml.brentT;
    aml->praxisTol = ml.praxisTol;
    aml->initBrLenMethod = static_cast<uint32_t>(ml.initBrLenMethod);
    aml->maxPass = static_cast<uint32_t>(ml.maxPass);
    aml->paramClock = static_cast<uint32_t>(ml.paramClock);
    aml->optimizer = static_cast<uint32_t>(ml.optimizer);
    aml->blopt = static_cast<uint32_t>(ml.blopt);
    resetTargetThreshFactor();

    // The Mk kernels work in double precision only.
    const bool mkData = haveData(d) && (mustUseMkv(d) || ml.NST == static_cast<int32_t>(kNstMkv));
    const bool single = ml.precision == 1 && !mkData && !mlDist;
    const Model *m0 = getDefaultModel();
    const bool vectorCapable = numDataStates(m0) >= 4 && m0->type != kModelRY && !dataAreRYCoded(d);
    setAMLFlag(aml, kAMLSinglePrecision, single);
    setAMLFlag(aml, kAMLVector, single && ml.vector && vectorCapable);
    setAMLFlag(aml, kAMLBeagle, ml.beagle);
    aml->maxBrlen = ml.maxBrlen;
    aml->minBrlen = 1e-8;
    aml->toler = single ? ml.spToler : ml.dpToler;
    setAMLFlag(aml, kAMLRescale, ml.clRescale > 0.0 && !flagOf(*aml, kAMLDoingMLDist));
    aml->clRescale = ml.clRescale;
    aml->clRescaleFloat = static_cast<float>(ml.clRescale);
    if (aml->brentEps == 0.0)
        aml->brentEps = std::sqrt(single ? 1.1920928955078125e-7 : 2.220446049250313e-16);
    setAMLFlag(aml, kAMLTimesTransform, ml.clock && ml.timesTransform);
    setAMLFlag(aml, kAMLBrLenTransform, !ml.clock && ml.blTransform);

    // Does the prepared state still fit?
    bool valid = ml.prepValid[0] != 0 && arePatternWeightsValid() &&
                 isSitePatternDataValid(activeModelGroup()) &&
                 sameFlags(*aml, gSaveAml,
                           kAMLUseDistances | kAMLPrepMLDist | kAMLQuartetPuzzling | kAMLLocalClocks);
    valid = valid && sameFlags(*aml, gSaveAml, kAMLMultithread | kAMLRescale) &&
            (!flagOf(*aml, kAMLMultithread) || aml->nthreads == gSaveAml.nthreads) &&
            sameFlags(*aml, gSaveAml, kAMLRooted | kAMLSinglePrecision | kAMLVector) &&
            ml.mlDistforLS == gSaveMl.mlDistforLS && ml.blopt == gSaveMl.blopt &&
            ml.mkStateSpace == gSaveMl.mkStateSpace && ml.nonSeq == gSaveMl.nonSeq;
    if (!valid) {
        invalidateMLprep();
        if (ml.modelPartition != gSaveMl.modelPartition)
            invalidateSitePatternData(false);
        return;
    }
    bool treeValid = true;
    if (ml.prepValid[1]) {
        treeValid = ml.clRescale == gSaveMl.clRescale && ml.useApproxLim == gSaveMl.useApproxLim &&
                    (!ml.useApproxLim || ml.approxLim == gSaveMl.approxLim) &&
                    (!aml->reconRequested ||
                     (ml.prepValid[2] && ml.recon == gSaveMl.recon && ml.allProbs == gSaveMl.allProbs)) &&
                    ml.bfgsM == gSaveMl.bfgsM && ml.bfgsFactor == gSaveMl.bfgsFactor &&
                    ml.bfgsTol == gSaveMl.bfgsTol;
    }
    treeValid = treeValid && ml.maxPass == gSaveMl.maxPass && aml->toler == gSaveAml.toler &&
                ml.brentEps == gSaveMl.brentEps && ml.brentT == gSaveMl.brentT &&
                ml.praxisTol == gSaveMl.praxisTol && ml.maxBrlen == gSaveMl.maxBrlen &&
                ml.startVals == gSaveMl.startVals &&
                sameFlags(*aml, gSaveAml, kAMLBrLenTransform | kAMLTimesTransform);
    if (!treeValid) {
        forgetLastTree();
        ml.prepValid[1] = 0;
    }
}

// ---- The set-up ------------------------------------------------------------------------

int prepareStartDistances(DataInfo *d, Tree *tree)
{
    if (ml.mlDistforLS && estimatingMLParms())
        return qel_errorMsg(830, "Use of ML distances is not allowed for least-squares "
                                 "branch-length approximation when model parameters are "
                                 "being estimated."),
               1;
    // Without a tree only the matrix is made (neighbor-joining starting
    // trees are built from it); the fit needs a tree.
    if (gStartHooks.prepare == nullptr)
        return 0;
    ActiveML *aml = getActiveML();
    const int s = gStartHooks.prepare(d, tree, static_cast<int>(chooseDistForLSBrlens(aml->firstActive)), false);
    if (s != 0)
        return s;
    aml->haveLSData = tree != nullptr;
    return 0;
}

bool setUpWithStartDistances() { return gSetUpWithDistances; }

int initializeML(bool force, bool mlDist, bool useDistances, bool tipFlag, Tree *tree)
{
    StatusText status;
    DataInfo *d = activeDataInfo();
    if (force)
        invalidateMLprep();
    if (dataServices().criterion && dataServices().criterion() == kCriterionLikelihood &&
        dataServices().deallocPackedData && d != nullptr)
        dataServices().deallocPackedData(d);
    ActiveML *aml = startActiveML();
    if (aml == nullptr)
        return 1;
    aml->tree = tree;
    // Least-squares starting lengths need the distances whoever prepares.
    useDistances = useDistances || (!mlDist && ml.initBrLenMethod == kInitBrLenLS && !ml.userBrLens && !ml.clock);
    initializeMLFlags(aml, mlDist, useDistances);
    ModelGroup *g = activeModelGroup();
    if (tree != nullptr && g->engine != nullptr)
        resetCLAs(g, tree, true);
    if (ml.prepValid[0]) {
        // initializeMLFlags cleared these with the rest of the settings bits;
        // without them a kept preparation would start every tree from the
        // lengths it happens to hold.
        setStartValueFlags(aml);
        saveCopies(aml);
        return 0;
    }
    if (!haveData(d))
        return qel_errorMsg(0, "Likelihood analyses need a character matrix."), failInit();

    try {
        // Step 4: start afresh.
        forgetLastTree();
        if (gStartHooks.release)
            gStartHooks.release();
        aml->haveLSData = 0;
        deallocModelGroupData(getModelGroup(0), false);
        deallocModelGroupData(getModelGroup(1), false);
        if (setActiveModels(ml.modelPartition, d) != 0)
            return failInit();
        aml->rateScaler = ml.UCM ? -1.0 : estimatingGRateScaler() ? 1.0 : ml.userRateScaler;

        // Step 5: the models and their rates.
        for (Model *m = aml->firstActive; m != nullptr; m = m->nextActive) {
            // 2: the user declined to exclude sites given rate 0.
            if (const int rc = initModelData(m, false, d); rc != 0) {
                const int status = failInit();
                return rc == 2 ? 2 : status;
            }
            if (m->type == kModelMkv) {
                setAMLFlag(aml, kAMLUseDistances, true);
                useDistances = true;
            }
            if (initRatesForModel(m, d, false) != 0)
                return failInit();
        }
        if (checkModelsFitMkvLayout(aml->firstActive, patternsUseMkv(d)) != 0)
            return failInit();

        // Step 6: patterns and empirical frequencies.
        if (!isSitePatternDataValid(g) && initSitePatternData(d, g, true) != 0)
            return failInit();
        // A base the included data never show would have frequency 0 and
        // the model no sound rates: nucleotide data need all four bases, or
        // a recoding into purines and pyrimidines. A simulation block draws
        // its data from the model and needs none.
        for (Model *m = aml->firstActive; m != nullptr; m = m->nextActive)
            if ((m->type == kModelNucleotide || m->type == kModelRY) && !modelsForSimulationBlock() &&
                checkNStatesValidDna(m, d) != 0)
                return failInit();
        if (!areEmpirFreqsValid(g))
            // New patterns: an estimate made on the old ones is no start.
            for (Model *m = aml->firstActive; m != nullptr; m = m->nextActive)
                modelEngine(m)->estFreqs.clear();
        calcEmpirFreqsForPatData(g, d, aml->firstActive);
        groupEngine(g)->taxonWork.assign(2 * size_t{d->ntax}, 0.0);

        // Step 8: the parameter counts (the vector itself comes with its optimiser).
        // As the vector holds them: the subset rates of a partitioned model
        // (or else a scaler of fixed lengths) besides each model's own.
        aml->numEstParams = estimatingModelRates() && aml->numActive >= 2 ? aml->numActive - 1
                            : estimatingGRateScaler() && usingFixedMLBranchLengths() ? 1
                                                                                    : 0;
        for (Model *m = aml->firstActive; m != nullptr; m = m->nextActive)
            aml->numEstParams += countEstimatedModelParams(m);
        aml->numParams = aml->numEstParams;

        // Step 9: the likelihood threads asked for, never more than there are
        // patterns to share out (a thread past the last pattern would only
        // wait on the others); the Mk model runs on one.
        const bool mk = firstActiveModel() != nullptr && firstActiveModel()->type == kModelMkv;
        if (!mk && mlProcessorsUnknown())
            qel_warningMsg(0, "The number of processors could not be determined.  You must specify the number of "
                              "threads explicitly (e.g., \"lset nthreads=4\") if you want to activate "
                              "multithreading.");
        aml->nthreads = mk ? 1 : std::clamp(g->patterns->npat, 1u, mlThreadsAsked());
        g->nthreads = aml->nthreads;
        g->singleThreaded = mk;
        setAMLFlag(aml, kAMLMultithread, aml->nthreads > 1);

        // Steps 10 and 11.
        if (allocModelAndThreadData(g, aml) != 0)
            return failInit();

        // Step 12.
        setModelGroupInfo(g);
        setStartValueFlags(aml);

        // Step 13.
        if (finishMLInit(tree, mlDist) != 0)
            return failInit();

        // Step 15: the tips.
        if (initTipsForModelGrp(g, d, tree, tipFlag) != 0)
            return failInit();
        // Step 14: least-squares starting lengths, once the tips are in
        // place: maximum-likelihood distances for the fit are computed by
        // this engine, and would otherwise prepare it again from the start.
        gSetUpWithDistances = !mlDist && usingDistancesForML();
        if (gSetUpWithDistances && prepareStartDistances(d, tree) != 0)
            return failInit();
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return failInit();
    }
    ++gPreparations;
    noteNewMLSetUp();
    ml.prepValid[0] = 1;
    saveCopies(aml);
    return 0;
}

int finishMLInit(Tree *tree, bool mlDist)
{
    ActiveML *aml = getActiveML();
    ModelGroup *g = activeModelGroup();
    if (initializeCLAs(g, tree, mlDist, flagOf(*aml, kAMLQuartetPuzzling)) != 0)
        return 1;
    if (aml->rateScaler == 0.0)
        aml->rateScaler = 1.0;
    for (Model *m = aml->firstActive; m != nullptr; m = m->nextActive)
        if (initializeModelVars(m) != 0)
            return qel_errorMsg(0, "The rate matrix of model \"%s\" could not be diagonalized.", m->name), 1;
    return 0;
}

void disposeML(bool full)
{
    deallocModelGroupData(getModelGroup(0), false);
    deallocModelGroupData(getModelGroup(1), false);
    if (gStartHooks.release)
        gStartHooks.release();
    if (full) {
        if (ml.baseFreqMode == kFreqUser)
            ml.baseFreqMode = kFreqEmpirical;
        if (ml.aaFreqMode == kFreqUser)
            ml.aaFreqMode = kFreqEmpirical;
        ml.prevRateScaler = -1.0;
        ml.prevModelRatesAvail = 0;  // the models forgotten below held them
        for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive)
            forgetPreviousEstimates(m);
        ml.modelPartition = nullptr;
    }
    for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive)
        releaseModelEngineData(m);
    clearActiveModels();
    finishActiveML();
    ml.prepValid[0] = 0;
}

// ---- Tips --------------------------------------------------------------------------------

int init1Tip(ModelGroup *g, const DataInfo *d, uint32_t taxon, uint32_t activeRow, bool tipFlag)
{
    ModelGroupEngine &e = *g->engine;
    const SitePatternData *pd = g->patterns;
    const uint32_t n = g->nstates;
    // Tree tips are numbered among the active taxa, so rows are too; the
    // original number only names the taxon in messages.
    TipRow &row = e.tips[activeRow];
    row = TipRow{};
    row.present = true;
    row.codes.resize(g->ngrp);
    uint8_t localOf[256];
    std::fill(std::begin(localOf), std::end(localOf), uint8_t{0});
    bool allMissing = true;
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        const uint32_t cp = g->groupToCompressed ? g->groupToCompressed[p] : p;
        const uint8_t code = cp == kNoSite ? 0 : pd->rows[activeRow][cp];
        uint8_t local = code;
        if (code > n) {
            if (localOf[code] == 0) {
                std::vector<uint8_t> list{0};
                for (uint32_t s = 0; s < n; ++s)
                    if (pd->codeBits[code] & (uint64_t{1} << s))
                        list.push_back(static_cast<uint8_t>(s));
                list[0] = static_cast<uint8_t>(list.size() - 1);
                row.ambStates.push_back(std::move(list));
                localOf[code] = static_cast<uint8_t>(n + row.ambStates.size());
            }
            local = localOf[code];
        }
        if (cp != kNoSite && code != n)
            allMissing = false;
        row.codes[p] = local;
    }
    for (const auto &list : row.ambStates)
        row.ambPtrs.push_back(list.data());
    row.info = TipInfo{n + 1 + static_cast<uint32_t>(row.ambStates.size()), row.ambPtrs.data()};
    e.maxTipCodes = std::max(e.maxTipCodes, row.info.nrows);
    if (allMissing && !tipFlag)
        return qel_errorMsg(814, "Taxon \"%s\" (%u) has no data.\tYou must delete taxa with "
                                 "all-missing data in order to perform the desired analysis.",
                            getTaxLabel(d, taxon), taxon + 1),
               1;
    return 0;
}

int initTipsForModelGrp(ModelGroup *g, const DataInfo *d, Tree *, bool tipFlag)
{
    ModelGroupEngine &e = *groupEngine(g);
    if (g->patterns == nullptr)
        return 1;
    e.nTipRows = g->patterns->ntax + 1;
    e.tips.assign(e.nTipRows, TipRow{});
    // The ancestor node's row: every state possible at every pattern.
    TipRow &anc = e.tips.back();
    anc.present = true;
    anc.codes.assign(g->ngrp, static_cast<uint8_t>(g->nstates));
    anc.info = TipInfo{g->nstates + 1, nullptr};
    for (uint32_t a = 0; a < g->patterns->ntax; ++a) {
        const uint32_t taxon = d->taxa.activeToOriginal ? d->taxa.activeToOriginal[a] : a;
        if (init1Tip(g, d, taxon, a, tipFlag) != 0)
            return 1;
    }
    return 0;
}

// ---- Queries ------------------------------------------------------------------------------

bool estimatingMLParms()
{
    if (estimatingGRateScaler() || estimatingModelRates())
        return true;
    for (Model *m = getModel0(); m != nullptr; m = m->nextActive) {
        const bool freqs = !m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate;
        const bool rates = !m->rates.empty() && m->rates[0] == kEstimate;
        if (m->gammaShape == kEstimate || m->pinv == kEstimate || rates || freqs ||
            (m->substClass == kSubstTwoRates && m->type == kModelNucleotide && m->tratio == kEstimate) ||
            m->estSiteRates)
            return true;
    }
    return false;
}

bool stateFreqsAreEqual(int code, const double *freqs, uint32_t n, bool forceUnequal)
{
    if (n == 1)
        return true;
    if (forceUnequal)
        return false;
    if (code == 1)
        return true;
    if (code != 3)
        return false;
    for (uint32_t i = 0; i < n; ++i)
        if (std::fabs(freqs[i] - 1.0 / n) > 1e-10)
            return false;
    return true;
}

void chooseEvalDerivFxn(ModelGroup *g)
{
    // One evaluator serves one thread and many: the pattern split happens
    // inside it when the likelihood threads run.
    groupEngine(g)->kernels.evaluateDerivatives = evaluateDerivatives;
}

uint32_t numMLPreparations() { return gPreparations; }

void installMLStartLengthHooks(const MLStartLengthHooks &hooks) { gStartHooks = hooks; }
bool haveLSStartLengths() { const ActiveML *a = getActiveML(); return a != nullptr && a->haveLSData; }
int fitLSStartLengths(Tree *tree)
{
    if (gStartHooks.fit == nullptr)
        return 1;
    // A set-up made while no tree was at hand (the data preparation of
    // LScores) made the matrix alone: the fit is built for the first tree
    // that starts from it, and follows each tree after that.
    if (!haveLSStartLengths()) {
        ActiveML *aml = getActiveML();
        if (!gSetUpWithDistances || gStartHooks.prepare == nullptr || tree == nullptr ||
            gStartHooks.prepare(activeDataInfo(), tree, static_cast<int>(chooseDistForLSBrlens(aml->firstActive)),
                                true) != 0)
            return 1;
        aml->haveLSData = 1;
    }
    return gStartHooks.fit(tree);
}

int initializeMLForData(DataInfo *, uint32_t flags)
{
    return initializeML(false, false, (flags & 0x04) != 0, false, getPrimaryTree());
}
