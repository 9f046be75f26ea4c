#include "likelihood/models.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

#include "data/charstat.h"
#include "data/data_util.h"
#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "likelihood/aamatrices.h"
#include "likelihood/activeml.h"
#include "likelihood/likelihood_settings.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_setptn.h"
#include "qel/qel_strings.h"

namespace {

bool haveDataMatrix(const DataInfo *d) { return d != nullptr && (d->flags & kHaveCharacters); }

// The data type and symbols the current settings give for the data.
void chooseDataType(const DataInfo *d, uint32_t *type, std::string *symbols)
{
    const uint32_t dataType = haveDataMatrix(d) ? d->dataType : kDataTypeDNA;
    if (dataType == kDataTypeStandard || ml.NST == static_cast<int32_t>(kNstMkv)) {
        std::string s = haveDataMatrix(d) ? d->symbols : "";
        if (s.empty())
            s = "01";
        if (!(haveDataMatrix(d) && d->respectCase))
            for (char &c : s)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        *symbols = s;
        // Nucleotides under NST=Mkv are laid out by the patterns as Mk
        // data (a state list per pattern): the model must read them so.
        const bool mkv = haveDataMatrix(d) && (mustUseMkv(d) || (ml.NST == static_cast<int32_t>(kNstMkv) &&
                                                                 (dataType == kDataTypeDNA || dataType == kDataTypeRNA ||
                                                                  dataType == kDataTypeNucleotide)));
        *type = mkv ? kModelMkv
                : s.size() == 2                    ? kModelTwoState
                                                   : kModelStandard;
        return;
    }
    if (dataType == kDataTypeProtein) {
        *type = kModelAminoAcid;
        *symbols = kAASymbols;
    } else if (haveDataMatrix(d) && isRYCoding(const_cast<DataInfo *>(d))) {
        *type = kModelRY;
        *symbols = "RY";
    } else {
        *type = kModelNucleotide;
        *symbols = dataType == kDataTypeRNA ? "ACGU" : "ACGT";
    }
}

// A full set of frequencies of the model's states, rather than a code or
// an array not yet filled.
bool modelHoldsUserFreqs(const Model *m)
{
    if (m->stateFreqs.size() != m->nstates)
        return false;
    double sum = 0.0;
    for (double f : m->stateFreqs) {
        if (!(f >= 0.0))
            return false;
        sum += f;
    }
    return std::fabs(sum - 1.0) < 1e-6;
}

// User frequencies that are all 1/n (the last one is whatever is left).
bool userFreqsAreEqual(const double *user, uint32_t n)
{
    for (uint32_t i = 0; i + 1 < n; ++i)
        if (std::fabs(user[i] - 1.0 / n) > 1e-10)
            return false;
    return true;
}

void applyFreqSettings(Model *m)
{
    const bool aa = m->type == kModelAminoAcid;
    const int32_t mode = aa ? ml.aaFreqMode : ml.baseFreqMode;
    const double *user = aa ? ml.userAAFreqs : ml.userBaseFreqs;
    uint32_t nUser = aa ? kNumAAStates : 4;
    const uint32_t n = m->nstates;
    // The settings hold four base frequencies; fixed frequencies of more
    // states (standard data) are the model's own and stay with it.
    std::vector<double> held;
    if (mode == kFreqUser && n > nUser && modelHoldsUserFreqs(m)) {
        held = m->stateFreqs;
        user = held.data();
        nUser = n;
    }
    m->empirFreqs = 0;
    m->stateFreqs.assign(n, 0.0);
    if (mode == kFreqIntrinsic && aa) {
        m->stateFreqs[0] = kFreqCodeIntrinsic;
    } else if (mode == kFreqEqual || (mode == kFreqUser && userFreqsAreEqual(user, n))) {
        m->stateFreqs[0] = kFreqCodeEqual;
    } else if (mode == kFreqEmpirical) {
        m->stateFreqs[0] = kFreqCodeEmpirical;
        m->empirFreqs = 1;
    } else if (mode == kFreqEstimate) {
        m->stateFreqs[0] = kFreqCodeEstimate;
    } else if (m->type == kModelRY) {
        // Values given for the two classes, or for the four bases before
        // the data were recoded, which pool into purines and pyrimidines.
        const bool fourBases = std::fabs(user[0] + user[1] - 1.0) > 1e-6;
        m->stateFreqs[0] = fourBases ? user[0] + user[2] : user[0];
        m->stateFreqs[1] = 1.0 - m->stateFreqs[0];
    } else {
        std::copy(user, user + std::min(n, nUser), m->stateFreqs.begin());
    }
}

// A rate of 0 makes a variable site impossible (its likelihood is 0), so
// included characters a rate set gives that rate are excluded, once the user
// agrees. 0 when none is left, 1 after a failure, 2 when the user declines.
int excludeRateZeroSites(const Nexset *rateSet, const DataInfo *d)
{
    const double *values = getRatesetArray(rateSet);
    if (!haveDataMatrix(d) || values == nullptr || d->status == nullptr)
        return 0;
    SetHandle zero(allocSet(d->nchar));
    if (!zero)
        return 1;
    bool any = false;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (values[c] == 0.0 && !(d->status[c] & (kCharExcluded | kCharEliminated))) {
            addSetMember(zero.get(), c);
            any = true;
        }
    if (!any)
        return 0;
    if (!userQuery(true, "Sites are not allowed to have rate 0.  OK to exclude sites that were assigned this rate?"))
        return 2;
    // The settings are applied while the data are being prepared; the data
    // set is the caller's active one, whose exclusions are ours to change.
    auto *data = const_cast<DataInfo *>(d);
    SetHandle before(createExcludedCharsetCopy(data));
    if (!before)
        return 1;
    excludeOrIncludeCharacters(data, true, zero.get(), before.get(), false, true);
    return checkCharStatusUpdate(data) == 0 ? 0 : 1;
}

// The rate part of the settings: gamma shape and categories, invariable
// sites, or site-specific rates. 0, 1 after an error report, 2 when the user
// declines to exclude the sites a rate set gives rate 0.
int initRateModelSettings(Model *m, const DataInfo *d)
{
    m->siteRatePartition = nullptr;
    m->rateSet = nullptr;
    m->estSiteRates = 0;
    m->siteRatesFromPartition = 0;
    if (ml.rates != 2) {
        const bool gamma = ml.rates == 1;
        m->gammaShape = !gamma ? 0.0 : ml.estGammaShape ? kEstimate : ml.userGammaShape;
        m->ncat = gamma ? static_cast<uint32_t>(ml.ncat) : 1;
        m->pinv = ml.estPInvar ? kEstimate : ml.userPInvar;
        // Said once for the settings it speaks of: every command that scores
        // applies the LSet settings again (each subset's model too), and the
        // same note after the LSet that gave them tells nothing new.
        static std::optional<std::pair<double, double>> noted;
        if (m->type == kModelMkv && (m->gammaShape != 0.0 || m->pinv != 0.0)) {
            if (noted != std::pair{m->gammaShape, m->pinv})
                qel_printf("\nNOTE: Mkv model currently assumes equal rates at all sites (gamma and/or "
                           "invariable-sites model settings ignored for non-nucleotide characters).\n");
            noted = std::pair{m->gammaShape, m->pinv};
            m->gammaShape = m->pinv = 0.0;
            m->ncat = 1;
        } else if (m->gammaShape == 0.0 && m->pinv == 0.0) {
            noted.reset();
        }
        return 0;
    }
    m->gammaShape = m->pinv = 0.0;
    m->ncat = 1;
    if (ml.estSiteRates || ml.prevSiteRates) {
        if (ml.siteRatePartition == nullptr)
            return reportNoSiteRatePartition();
        if (ml.prevSiteRates && ml.siteRatePartition != m->prevSiteRatePartition)
            return qel_errorMsg(832, "Partition for site-specific rates has been changed since "
                                     "previous rates were estimated."),
                   1;
        // Checked as a model partition is: a character of the model left
        // out of every subset would take some subset's rate unasked.
        if (haveDataMatrix(d) &&
            checkCharPartition(d, ml.siteRatePartition, nullptr,
                               [m](uint32_t c) { return characterOfModel(m, c); }) != 0)
            return 1;
        m->siteRatePartition = ml.siteRatePartition;
        m->estSiteRates = ml.estSiteRates;
        m->siteRatesFromPartition = 1;
        return 0;
    }
    if (ml.rateSet == nullptr)
        return reportNoRateSet();
    m->rateSet = ml.rateSet;
    return excludeRateZeroSites(m->rateSet, d);
}

ActiveML *amlForChain() { return getActiveML(); }

}  // namespace

void setDnaPooling(Model *m, bool estimated)
{
    // Pools are numbered in order of first appearance over AC..GT.
    uint32_t pools = 0;
    for (uint32_t i = 0; i < kNumNucRates; ++i) {
        uint32_t j = 0;
        for (; j < i; ++j) {
            const bool same = estimated ? m->rateClass[j] == m->rateClass[i]
                                            : m->rates.size() >= kNumNucRates &&
                                                  m->rates[j] == m->rates[i];
            if (same)
                break;
        }
        m->poolMap[i] = j < i ? m->poolMap[j] : pools++;
    }
    m->numPools = pools;
    m->pooled = estimated && pools < kNumNucRates;
    if (estimated && !m->rates.empty())
        m->rates[0] = kEstimate;
}

int applyCurrentSettingsToModel(Model *m, const DataInfo *d)
{
    uint32_t type = kModelNucleotide;
    std::string symbols;
    chooseDataType(d, &type, &symbols);
    if (type == kModelMkv && ml.initBrLenMethod == kInitBrLenLS)
        return qel_errorMsg(0, "Least-squares branch-length initialization is not allowed for Mkv "
                               "model."),
               1;
    if (symbols.size() > kMaxModelStates)
        return qel_errorMsg(0, "Models of more than %u states are not supported.",
                            kMaxModelStates),
               1;
    m->type = type;
    m->substClass = type == kModelNucleotide ? static_cast<uint32_t>(ml.NST) : kSubstOneRate;
    if (m->substClass > kSubstSixRates)
        m->substClass = kSubstOneRate;
    if (stricmp(symbols.c_str(), m->symbols) != 0) {
        m->stateFreqs.clear();
        m->rates.clear();
        forgetPreviousEstimates(m);
        strcpy_n(m->symbols, symbols.c_str(), sizeof m->symbols);
        m->nstates = static_cast<uint32_t>(symbols.size());
    }
    applyFreqSettings(m);

    m->F84 = 0;
    m->pooled = 0;
    m->numPools = 0;
    m->tratio = 0.0;
    m->intrinsicFreqs = nullptr;
    const bool nucleotide = type == kModelNucleotide;
    if (nucleotide && m->substClass == kSubstTwoRates) {
        m->tratio = ml.estTratio ? kEstimate : ml.userTratio;
        m->F84 = ml.variant == 1 && !modelHasEqualFreqs(m);
        m->rates.clear();
    } else if ((nucleotide && m->substClass == kSubstSixRates) || type == kModelAminoAcid) {
        if (nucleotide) {
            m->numExchangeabilities = kNumNucRates;
            m->rates.assign(&ml.rAC, &ml.rAC + kNumNucRates);
            std::memcpy(m->rateClass, &ml.cAC, sizeof m->rateClass);
            setDnaPooling(m, ml.estRmatrix);
        } else {
            m->numExchangeabilities = kNumAAExchangeabilities;
            setAARateMatrix(m);
        }
    } else {
        m->rates.clear();
    }
    if (type == kModelTwoState) {
        m->q01 = ml.q01;
        m->q10 = ml.q10;
    }

    if (const int rc = initRateModelSettings(m, d); rc != 0)
        return rc;
    if (ml.estModelRates)
        m->modelRateSetting = kEstimate;
    else if (m->modelRateSetting == kEstimate)
        m->modelRateSetting = 1.0;
    m->clock = ml.clock;
    // The Mk model's states are equally frequent whatever the frequency
    // setting says, so no frequency is estimated or counted as a parameter.
    if (ml.UCM || type == kModelMkv) {
        m->stateFreqs.assign(m->nstates, 0.0);
        m->stateFreqs[0] = kFreqCodeEqual;
        m->empirFreqs = 0;
    }
    m->needsInit = 1;
    return 0;
}

int initModelData(Model *m, bool force, const DataInfo *d)
{
    if (!haveDataMatrix(d))
        return 0;
    // A named model keeps the settings it was stored with: data changes mark
    // every model for initialisation, and giving a named model the current
    // LSet settings then would make each subset of a model partition the
    // same model.
    const bool current = m == getDefaultModel();
    if ((m->needsInit && current) || force)
        if (const int rc = applyCurrentSettingsToModel(m, d); rc != 0)
            return rc;
    const uint32_t n = m->nstates;
    if (m->prevFreqs.size() != n) {
        m->prevFreqs.assign(n, 0.0);
        m->prevFreqs[0] = -1.0;
    }
    const size_t nRates = modelNeedsEigenSystem(m) ? size_t{n} * (n - 1) / 2 : 0;
    if (m->prevRates.size() != nRates) {
        m->prevRates.assign(nRates, 0.0);
        if (nRates != 0)
            m->prevRates[0] = -1.0;
    }
    m->needsInit = 0;
    return 0;
}

namespace {
bool gModelsForSimulation = false;
}  // namespace

void setModelsForSimulationBlock(bool open) { gModelsForSimulation = open; }
bool modelsForSimulationBlock() { return gModelsForSimulation; }

Model *addCurrentModel(const char *name, const DataInfo *d, bool verbose)
{
    // A cut name could name, and so replace, another model.
    if (std::strlen(name) >= kModelNameSize) {
        qel_errorMsg(0, "Model name \"%.20s...\" is too long.\tModel names may have at most %u "
                        "characters.",
                     name, kModelNameSize - 1);
        return nullptr;
    }
    // A simulation block defines the models its data are drawn from before
    // any data exist.
    if (!haveDataMatrix(d) && !gModelsForSimulation) {
        qel_errorMsg(0, "The '%s' option may not be specified in the %s command until after a "
                        "data matrix has been read.",
                     "model", "LSet");
        return nullptr;
    }
    Model *m = createModel(name);
    if (applyCurrentSettingsToModel(m, d) != 0) {
        destroyModel(m);
        return nullptr;
    }
    // The chain of active models and a prepared analysis point at the stored
    // records, so a namesake takes the new settings where it stands: its old
    // contents go, its address stays, and the site patterns (which record
    // each model's range) and the preparation that read them are made again.
    clearActiveModels();
    Model *stored = findMatchingModel(name, false);
    const bool replaced = stored != nullptr;
    if (replaced) {
        std::swap(*stored, *m);
        destroyModel(m);
        m = stored;
        invalidateSitePatternData(false);
    } else {
        insertModel(m);
    }
    if (verbose)
        qel_printf("\nCurrent model settings stored as named model '%s'%s\n", name,
                   replaced ? " (replacing existing model of same name)" : "");
    return m;
}

int storeCurrentModel(const char *name, const DataInfo *d, bool verbose)
{
    if (name != nullptr && name[0] != '\0') {
        Model *m = addCurrentModel(name, d, verbose);
        if (m == nullptr)
            return 1;
        return initModelData(m, false, d);
    }
    // With data, initModelData applies the settings itself (once: a second
    // application would repeat its notes).
    Model *m = getDefaultModel();
    if (haveDataMatrix(d))
        return initModelData(m, true, d);
    return applyCurrentSettingsToModel(m, d);
}

// ---- Active models ---------------------------------------------------------------

void clearActiveModels()
{
    if (ActiveML *aml = amlForChain()) {
        for (Model *m = aml->firstActive; m != nullptr;) {
            Model *next = m->nextActive;
            m->nextActive = nullptr;
            m = next;
        }
        aml->firstActive = nullptr;
        aml->numActive = 0;
        aml->activeModelIndex.clear();
    }
}

void appendModelToActiveModels(Model *m)
{
    ActiveML *aml = amlForChain();
    if (aml == nullptr)
        return;
    m->nextActive = nullptr;
    Model **link = &aml->firstActive;
    while (*link != nullptr)
        link = &(*link)->nextActive;
    *link = m;
    ++aml->numActive;
}

Model *firstActiveModel()
{
    const ActiveML *aml = getActiveML();
    return aml ? aml->firstActive : nullptr;
}

Model *nextActiveModel(const Model *m) { return m->nextActive; }

Model *getActiveModel(uint32_t index)
{
    Model *m = firstActiveModel();
    for (; m != nullptr && index > 0; --index)
        m = m->nextActive;
    return m;
}

uint32_t numActiveModels()
{
    const ActiveML *aml = getActiveML();
    return aml ? aml->numActive : 1;
}

Model *getModel0()
{
    Model *m = firstActiveModel();
    return m ? m : getDefaultModel();
}

bool characterOfModel(const Model *m, uint32_t c)
{
    const SetPtn *ptn = ml.modelPartition ? getNexPtn(ml.modelPartition) : nullptr;
    if (ptn == nullptr)
        return true;
    const uint32_t k = whichPartitionSubset(ptn, c);
    return k == kSetEnd || findMatchingModel(getPtnSubsetName(ptn, k), false) == m;
}

int setActiveModels(Nexset *modelPartition, const DataInfo *d)
{
    clearActiveModels();
    int status = 0;
    SetPtn *ptn = modelPartition ? getNexPtn(modelPartition) : nullptr;
    if (ptn != nullptr && haveDataMatrix(d) && checkCharPartition(d, modelPartition, nullptr) != 0)
        status = 1;
    for (uint32_t k = 0; status == 0 && ptn != nullptr && k < numPtnSubsets(ptn); ++k) {
        const char *name = getPtnSubsetName(ptn, k);
        Model *m = findMatchingModel(name, false);
        if (m == nullptr) {
            qel_errorMsg(0,
                         "Model \"%s\" referenced in model-partition \"%s\" has not been "
                         "defined.\tModel names used in model-partition definitions must be "
                         "defined using the '%s' option in a %s command; make sure model name "
                         "was spelled correctly.\n",
                         name, getNexsetName(modelPartition), "model", "LSet");
            clearActiveModels();
            status = 1;
            break;
        }
        // Subsets that name the same model share it: it joins the chain once
        // (a second link would close the chain on itself) and keeps its
        // first subset.
        bool active = false;
        for (const Model *a = firstActiveModel(); a != nullptr && !active; a = a->nextActive)
            active = a == m;
        if (active)
            continue;
        m->ptnSubset = k;
        appendModelToActiveModels(m);
    }
    if (ptn == nullptr || status != 0) {
        clearActiveModels();
        appendModelToActiveModels(getDefaultModel());
        ml.estModelRates = 0;
        if (ptn == nullptr)
            ml.modelPartition = nullptr;
    }
    if (ActiveML *aml = getActiveML())
        for (Model *m = aml->firstActive; m != nullptr; m = m->nextActive)
            for (uint32_t i = 0; i < countModels(); ++i)
                if (getModel(i) == m)
                    aml->activeModelIndex.push_back(i);
    return status;
}

// ---- Queries -----------------------------------------------------------------------

bool siteSpecificRatesInEffect()
{
    SetPtn *ptn = ml.modelPartition ? getNexPtn(ml.modelPartition) : nullptr;
    if (ptn == nullptr)
        return ml.rates == 2;
    for (uint32_t k = 0; k < numPtnSubsets(ptn); ++k)
        if (const Model *m = findMatchingModel(getPtnSubsetName(ptn, k), false);
            m != nullptr && (m->rateSet != nullptr || m->siteRatePartition != nullptr))
            return true;
    return false;
}

uint32_t numModelStates(const Model *m) { return m->nstates; }

uint32_t maxModelStates()
{
    uint32_t n = 0;
    for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive)
        n = std::max(n, m->nstates);
    return n != 0 ? n : getDefaultModel()->nstates;
}

bool modelNeedsEigenSystem(const Model *m)
{
    return m->type == kModelAminoAcid ||
           (m->type == kModelNucleotide && m->substClass == kSubstSixRates);
}

bool usingRateMixture(const Model *m) { return m->gammaShape != 0.0 || m->pinv != 0.0; }

bool usingModelRates()
{
    return numActiveModels() >= 2 && (ml.estModelRates || ml.prevModelRates);
}

bool estimatingModelRates() { return ml.estModelRates != 0; }
bool usingEqualModelRates() { return ml.equalModelRates != 0; }
// Under UCM every branch has the one length the scaler gives.
bool estimatingGRateScaler() { return ml.estRateScaler != 0 || ml.UCM != 0; }

bool modelHasEqualFreqs(const Model *m)
{
    return m->stateFreqs.empty() || m->stateFreqs[0] == kFreqCodeEqual;
}

bool isTwoStateType(const Model *m) { return m->type == kModelRY || m->type == kModelTwoState; }

double twoStateImpliedPi0(const Model *m)
{
    const double a = std::max(m->q01, 0.0), b = std::max(m->q10, 0.0);
    return a + b > 0.0 ? b / (a + b) : 0.5;
}

bool modelHasEmpiricalFreqs(const Model *m)
{
    if (isTwoStateType(m) || m->stateFreqs.empty())
        return false;
    return m->stateFreqs[0] == kFreqCodeEmpirical || m->empirFreqs;
}

uint32_t countModelParams(const Model *m)
{
    uint32_t n = 0;
    const bool estimated = !m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate;
    if (estimated || modelHasEmpiricalFreqs(m))
        n += m->nstates - 1;
    if (m->type == kModelNucleotide) {
        if (m->substClass == kSubstTwoRates)
            n += 1;
        else if (m->substClass == kSubstSixRates && m->numPools > 0)
            n += m->numPools - 1;
    }
    if (m->siteRatePartition != nullptr || m->rateSet != nullptr) {
        const uint32_t rates = std::max<uint32_t>(m->numRates, 1);
        n += rates - 1;
    } else {
        n += (m->pinv != 0.0) + (m->gammaShape != 0.0);
    }
    return n;
}

uint32_t setModelParamCounts()
{
    uint32_t sum = 0;
    for (Model *m = firstActiveModel(); m != nullptr; m = m->nextActive)
        sum += m->numParams = countModelParams(m);
    return sum;
}

uint32_t countEstimatedModelParams(const Model *m)
{
    uint32_t n = 0;
    if (isTwoStateType(m)) {
        n += m->q01 == kEstimateTwoStateRate || m->q10 == kEstimateTwoStateRate;
    } else {
        if (!m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate)
            n += m->type == kModelNucleotide ? 3 : m->nstates - 1;
        if (!m->rates.empty() && m->rates[0] == kEstimate && m->numPools > 0)
            n += m->numPools - 1;
        if (m->type == kModelNucleotide && m->substClass == kSubstTwoRates &&
            m->tratio == kEstimate)
            ++n;
    }
    n += (m->gammaShape == kEstimate) + (m->pinv == kEstimate);
    return n;
}

bool anyModelParamsEstimated()
{
    for (Model *m = getModel0(); m != nullptr; m = m->nextActive)
        if (countEstimatedModelParams(m) != 0)
            return true;
    return false;
}
