#include "likelihood/prevestimates.h"

#include <vector>

#include "data/model.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"

namespace {

bool estimated(const std::vector<double> &v) { return !v.empty() && v[0] == kEstimate; }

void saveModelEstimates(Model *m, bool modelRates)
{
    const ModelEngineData *eng = modelEngine(m);
    // The ti/tv ratio needs nothing here: the optimiser puts the estimate
    // into prevTratio itself when it gives the model back its estimate mark.
    if (m->type == kModelNucleotide && m->substClass == kSubstSixRates && estimated(m->rates) &&
        eng->fullRates.size() == kNumNucRates)
        m->prevRates = eng->fullRates;  // relative to GT, as user rates are
    if (!m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate && eng->pi.size() == m->nstates)
        m->prevFreqs = eng->pi;
    const MLRateInfo *ri = m->rateInfo;
    if (ri != nullptr) {
        if (m->estSiteRates && (ri->flags & kRatesSiteSpecific)) {
            m->prevSiteRates = ri->rates;
            m->prevSiteRatePartition = m->siteRatePartition;
        }
        if (m->gammaShape == kEstimate)
            m->prevShape = ri->shape;
        if (m->pinv == kEstimate)
            m->prevPinv = ri->pinv;
    }
    if (modelRates && m->modelRateSetting == kEstimate)
        m->prevModelRate = m->relRate;
}

}  // namespace

void saveParamEstimates()
{
    const ActiveML *a = getActiveML();
    if (a == nullptr)
        return;
    // Subset rates, when estimated, take the place of the global scaler.
    const bool modelRates = estimatingModelRates() && a->numActive >= 2;
    ml.prevRateScaler = estimatingGRateScaler() && !modelRates ? a->rateScaler : -1.0;
    if (modelRates)
        ml.prevModelRatesAvail = 1;
    for (Model *m = a->firstActive; m != nullptr; m = m->nextActive)
        saveModelEstimates(m, modelRates);
}
