#include "likelihood/modelgroup.h"

#include <algorithm>
#include <array>

#include "data/model.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/likeops.h"
#include "likelihood/mlinit.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"
#include "qel/qel_math.h"

namespace {

bool firstModelIsMkv(const ModelGroup *g)
{
    const Model *m = firstActiveModel();
    if (m == nullptr && g->modelOfSlot != nullptr && g->nslots > 0)
        m = g->modelOfSlot[0];
    return m != nullptr && m->type == kModelMkv;
}

bool hasRateVariation(const Model *m)
{
    return m->gammaShape != 0.0 || m->pinv != 0.0 || m->siteRatePartition != nullptr ||
           m->rateSet != nullptr;
}

void chooseChgFxns(Model *m, bool mkvGroup, bool vectorized)
{
    ModelChgFxns &f = modelEngine(m)->fxns;
    f = ModelChgFxns{};
    f.expFxn = exp_safe;
    if (mkvGroup)
        return;  // the Mk model computes its own matrices
    switch (m->type) {
    case kModelNucleotide:
        if (m->substClass == kSubstSixRates) {
            f.chgMatrix = gtr_ChgMatrix;
            f.chDvMatrix = gtr_ChDvMatrix;
        } else if (modelHasEqualFreqs(m) && !hasRateVariation(m) && !usingModelRates()) {
            f.chgMatrix = k2p_ChgMatrix;
            f.chDvMatrix = k2p_ChDvMatrix;
        } else if (!modelHasEqualFreqs(m) && m->F84) {
            f.chgMatrix = f84_ChgMatrix;
            f.chDvMatrix = f84_ChDvMatrix;
        } else {
            f.chgMatrix = hky_ChgMatrix;
            f.chDvMatrix = hky_ChDvMatrix;
        }
        break;
    case kModelRY:
    case kModelTwoState:
        f.chgMatrix = cf_ChgMatrix;
        f.chDvMatrix = cf_ChDvMatrix;
        break;
    case kModelStandard:
        f.chgMatrix = pp_ChgMatrix;
        f.chDvMatrix = pp_ChDvMatrix;
        break;
    case kModelAminoAcid:
        f.chgMatrix = vectorized ? gtr_ChgMatrix_Vec : gtr_ChgMatrix;
        f.chDvMatrix = vectorized ? gtr_ChDvMatrix_Vec : gtr_ChDvMatrix;
        break;
    default:
        break;
    }
}

StartDistKind chooseStartDist(const Model *m)
{
    const bool equal = modelHasEqualFreqs(m);
    if (m->type == kModelNucleotide) {
        if (equal)
            return m->substClass == kSubstOneRate ? StartDistKind::kJC : StartDistKind::kK2P;
        return m->substClass == kSubstOneRate ? StartDistKind::kF81 : StartDistKind::kF84;
    }
    return m->type == kModelMkv || equal ? StartDistKind::kJCGeneric : StartDistKind::kF81Generic;
}

}  // namespace

ModelGroupEngine *groupEngine(ModelGroup *g)
{
    if (g->engine == nullptr)
        g->engine = new ModelGroupEngine;
    return g->engine;
}

namespace {

ModelGroup *remakeGroup(uint32_t k, int32_t kind)
{
    ModelGroup *g = getModelGroup(k);
    deallocModelGroupData(g, true);
    *g = ModelGroup{};
    g->kind = kind;
    return g;
}

ModelGroup *gActiveGroup = nullptr;

}  // namespace

ModelGroup *createDefaultModelGrp() { return remakeGroup(0, -1); }
ModelGroup *createCodonModelGrp() { return remakeGroup(1, 7); }

ModelGroup *setActiveModelGroup(ModelGroup *g)
{
    ModelGroup *previous = gActiveGroup ? gActiveGroup : activeModelGroup();
    gActiveGroup = g;
    return previous;
}

ModelGroup *getGroupForModel(const Model *) { return gActiveGroup ? gActiveGroup : activeModelGroup(); }

void deallocModelGroupData(ModelGroup *g, bool releaseAll)
{
    if (g == nullptr)
        return;
    finalizeCLAs(g);
    delete g->engine;
    g->engine = nullptr;
    if (releaseAll) {
        g->patterns = destroyCompressedPatterns(g->patterns);
        g->compressed = 0;
    }
    deallocSitePatternData(g);
}

void deallocAllModelGroupData(bool releaseRecords)
{
    for (uint32_t k = 0; k < 2; ++k) {
        ModelGroup *g = getModelGroup(k);
        deallocModelGroupData(g, releaseRecords);
        if (releaseRecords) {
            const int32_t kind = g->kind;
            *g = ModelGroup{};
            g->kind = kind;
        }
    }
    forceReinitAllModels();
    ml.prepValid[0] = 0;
}

const LikKernels &chooseGroupKernels(const ModelGroup *g)
{
    return chooseLikKernels(g->nstates, mlIsSinglePrecision(), mlIsVectorized(), firstModelIsMkv(g));
}

void setModelGroupInfo(ModelGroup *g)
{
    ModelGroupEngine &e = *groupEngine(g);
    ModelGroupKernels k{};
    k.lik = &chooseGroupKernels(g);
    k.clBinary = clBinary;
    k.runCLUpdateLoop = runCLUpdateLoop;
    k.evalLikeUnrooted = evalLikeUnrooted;
    k.evalLikeRooted = evalLikeRooted;
    e.kernels = k;
    e.nvals = likValuesPerPattern(*k.lik, g->nstates);
    chooseEvalDerivFxn(g);

    const bool mkv = firstModelIsMkv(g);
    const bool sp = mlIsSinglePrecision();
    bool first = true;
    for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive) {
        chooseChgFxns(m, mkv, sp && mlIsVectorized());
        if (first)
            modelEngine(m)->fxns.startDist = chooseStartDist(m);
        first = false;
        setPiVectorForModel(m, nullptr);
    }
}

void setPiVectorForModel(Model *m, double *dest)
{
    const uint32_t n = m->nstates;
    std::array<double, kMaxModelStates> pi{};
    if (m->type == kModelMkv || modelHasEqualFreqs(m)) {
        std::fill_n(pi.begin(), n, 1.0 / n);
    } else {
        const double code = m->stateFreqs[0];
        const double *source = m->stateFreqs.data();
        const std::vector<double> &estimates = modelEngine(m)->estFreqs;
        const double pi0 = twoStateImpliedPi0(m);
        const double implied[2] = {pi0, 1.0 - pi0};
        if (code == kFreqCodeEstimate && estimates.size() == n)
            source = estimates.data();
        else if (m->type == kModelTwoState && code != kFreqCodeEstimate)
            // The two-state rates fix the stationary frequencies unless the
            // user gave them; the listing shows the same choice.
            source = code < 0.0 ? implied : m->stateFreqs.data();
        else if (code == kFreqCodeEmpirical || m->empirFreqs || code == kFreqCodeEstimate)
            source = m->freqs;  // the data's own frequencies (the start of a first estimate)
        else if (code == kFreqCodeIntrinsic && m->intrinsicFreqs != nullptr)
            source = m->intrinsicFreqs;
        for (uint32_t i = 0; i < n; ++i)
            pi[i] = std::max(1e-5, source[i]);
    }
    if (dest != nullptr) {
        std::copy_n(pi.begin(), n, dest);
        return;
    }
    ModelEngineData *e = modelEngine(m);
    e->pi.assign(pi.begin(), pi.begin() + n);
    if (!e->piFloat.empty())
        for (uint32_t i = 0; i < n; ++i)
            e->piFloat[i] = static_cast<float>(pi[i]);
}
