#include "data/prepdata.h"

#include <cctype>
#include <cstring>

#include "cli/qel_commands.h"
#include "data/charstat.h"
#include "data/data_util.h"
#include "data/taxstat.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"

namespace {

struct PrepRequest {
    uint32_t criterion;
    uint32_t flags;
    bool noFinalStep;
};

// A failed step reports 2 when the user stopped it, else 1.
int failure() { return gAborted_.load() ? 2 : 1; }

// The model's step returns 2 when the user declined one of its questions
// (excluding the sites a rate set gives rate 0): the command stops there,
// and says so, or a declined search or tree would end without a word.
int modelStepFailure(int rc)
{
    if (rc != 2 || gAborted_.load())
        return failure();
    if (cmdOpt.currentCmd != nullptr)
        qel_printf("\n%s canceled by user.\n", cmdOpt.currentCmd->name);
    return 2;
}

// The symbol of a single-state code, 0 when the code has none.
int symbolOf(uint8_t code, const DataInfo *d)
{
    return code < d->nstates && code < std::strlen(d->symbols) ? static_cast<unsigned char>(d->symbols[code]) : 0;
}

uint8_t positionIn(const char *symbols, int symbol, bool ignoreCase)
{
    if (!symbols || !symbol)
        return 255;
    for (uint32_t i = 0; symbols[i] && i < 255; ++i) {
        int s = static_cast<unsigned char>(symbols[i]);
        if (s == symbol || (ignoreCase && std::toupper(s) == std::toupper(symbol)))
            return static_cast<uint8_t>(i);
    }
    return 255;
}

bool sameAt(const char *symbols, uint8_t code, int symbol, bool ignoreCase)
{
    if (!symbols || code >= std::strlen(symbols))
        return false;
    int s = static_cast<unsigned char>(symbols[code]);
    return ignoreCase ? std::toupper(s) == std::toupper(symbol) : s == symbol;
}

int prepareDataProc(void *arg)
{
    const PrepRequest &r = *static_cast<const PrepRequest *>(arg);
    const DataServices &s = dataServices();
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (r.criterion == kPrepParsimony && s.checkParsimonySettings(d) != 0)
        return 1;
    s.setStatusText("Preparing data...");
    struct StatusLine {
        ~StatusLine() { dataServices().clearStatusText(); }
    } statusLine;

    const bool haveChars = (d->flags & kHaveCharacters) != 0;
    bool wantPars = false;
    if (!haveChars) {
        initTaxStatus(d);
    } else {
        if (s.parsPrepLevel() >= 3 && s.packPrelim(d) != 0)
            return failure();
        if (checkCharStatusUpdate(d) != 0)
            return failure();
        wantPars = r.criterion == kPrepParsimony || (r.criterion == kPrepDistance && !s.isDnaDistance(d));
    }
    s.refreshPrimaryTreeTaxa(d);

    // The settings decide the model's data type, which decides the conversion.
    if (const int rc = s.initModelData(d, haveChars ? static_cast<int>(d->dataType) : -1); rc != 0)
        return modelStepFailure(rc);
    activeModelGroup()->dataCodeToState = chooseDataCodeToState(getDefaultModel()->type, d, false);
    if ((wantPars && s.parsPrepLevel() != 0) || !arePatternWeightsValid())
        setWtFlags(r.criterion, d);
    if (r.noFinalStep)
        return 0;

    if (r.criterion == kPrepLikelihood) {
        if (const int rc = s.initializeML(d, r.flags); rc != 0)
            return modelStepFailure(rc);
    } else if (!(r.criterion == kPrepDistance && s.isMLDistance())) {
        s.disposeML(0);
    }
    if (wantPars) {
        s.deallocAllModelGroupData(0, 0);
        if (s.parsPrepLevel() >= 2 && s.packFinish(d) != 0)
            return failure();
        if (s.altParsPrepPending() && s.altParsPrep(d) != 0)
            return failure();
        if (s.parsPrepLevel() >= 1 && s.finalParsPrep(d, static_cast<int>(r.criterion)) != 0)
            return failure();
    }
    if (r.criterion == kPrepDistance && !(r.flags & kPrepNoDistances)) {
        // -1: a resampled sample whose distances are all undefined.
        if (const int rc = s.setDistances(d); rc != 0)
            return rc == -1 ? -1 : failure();
    }
    return 0;
}

}  // namespace

int prepareData(uint32_t criterion, uint32_t flags, bool noFinalStep)
{
    if (criterion == kPrepCurrentCriterion)
        criterion = static_cast<uint32_t>(dataServices().criterion());
    PrepRequest request{criterion, flags, noFinalStep};
    return runSecondaryThread(prepareDataProc, &request);
}

int prepareForDistCalc(DataInfo *d)
{
    const DataServices &s = dataServices();
    s.setStatusText("Preparing data for distance calculations...");
    int result = 0;
    if (!d->dataInitialized && initializeDataInfo(d) != 0)
        result = failure();
    else if (!arePatternWeightsValid())
        setWtFlags(static_cast<uint32_t>(s.criterion()), d);
    if (result == 0 && s.isMLDistance()) {
        if (const int rc = s.initializeML(d, 0); rc != 0)
            result = modelStepFailure(rc);
    }
    else if (result == 0 && s.distanceNeedsSitePatterns())
        result = initPatternData(d);
    s.clearStatusText();
    return result;
}

int prepareDataForPatternBasedAnalysis(DataInfo *d, ModelGroup *group)
{
    if (prepareData(kPrepDistance, 0, true) != 0)
        return 1;
    if (!group)
        group = activeModelGroup();
    return isSitePatternDataValid(group) || initSitePatternData(d, group, true) == 0 ? 0 : 1;
}

namespace {

const char *modelSymbols()
{
    const Model *m = getDefaultModel();
    return m ? m->symbols : nullptr;
}

}  // namespace

int dataCodeToDna4State(uint8_t code, const DataInfo *d, const ModelGroup *)
{
    const int symbol = std::toupper(symbolOf(code, d));
    if (!symbol)
        return 255;
    if (code < 4 && ("ACGT"[code] == symbol || "ACGU"[code] == symbol))
        return code;
    switch (symbol) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T':
    case 'U': return 3;
    default: return 255;
    }
}

int dataCodeToDna2State(uint8_t code, const DataInfo *d, const ModelGroup *)
{
    switch (std::toupper(symbolOf(code, d))) {
    case 'A':
    case 'G':
    case 'R': return 0;
    case 'C':
    case 'T':
    case 'U':
    case 'Y': return 1;
    default: return 255;
    }
}

int dataCodeToAAState(uint8_t code, const DataInfo *d, const ModelGroup *)
{
    const int symbol = symbolOf(code, d);
    if (!symbol)
        return 255;
    if (sameAt(modelSymbols(), code, symbol, true))
        return code;
    return positionIn(modelSymbols(), symbol, true);
}

int dataCodeToStdState(uint8_t code, const DataInfo *d, const ModelGroup *)
{
    const int symbol = symbolOf(code, d);
    if (!symbol)
        return 255;
    const bool ignoreCase = !d->respectCase;
    if (sameAt(modelSymbols(), code, symbol, ignoreCase))
        return code;
    return positionIn(modelSymbols(), symbol, ignoreCase);
}

DataCodeToStateFxn chooseDataCodeToState(uint32_t modelType, const DataInfo *d, bool inSimulation)
{
    if (modelType == kModelNucleotide || modelType == kModelRY) {
        const bool ry = (d->flags & kHaveCharacters) && !inSimulation && isRYCoding(const_cast<DataInfo *>(d));
        return ry ? dataCodeToDna2State : dataCodeToDna4State;
    }
    if (modelType == kModelAminoAcid)
        return dataCodeToAAState;
    return dataCodeToStdState;
}
