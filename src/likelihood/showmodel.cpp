#include "likelihood/showmodel.h"

#include <algorithm>
#include <cstring>

#include "data/model.h"
#include "data/nexsets.h"
#include "likelihood/aamatrices.h"
#include "likelihood/activeml.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"

namespace {

constexpr int W = kModelLabelWidth;
constexpr const char *kPairs[kNumNucRates] = {"AC", "AG", "AT", "CG", "CT", "GT"};
enum : uint32_t { kAC = 0, kAG, kAT, kCG, kCT, kGT };

PrintHook printer(PrintHook out) { return out != nullptr ? out : qel_printf; }

bool hasSiteRates(const Model *m) { return m->siteRatePartition != nullptr || m->rateSet != nullptr; }

std::string rateSuffix(const Model *m)
{
    std::string s;
    if (m->pinv != 0.0)
        s += "+I";
    if (m->gammaShape != 0.0)
        s += "+G";
    if (hasSiteRates(m))
        s += "+SS";
    return s;
}

// A classical submodel that a restricted six-rate model equals, or "".
const char *recognisedSubmodel(const Model *m)
{
    const uint32_t *p = m->poolMap;
    const bool equalFreqs = modelHasEqualFreqs(m);
    const bool transversionsEqual = p[kAC] == p[kAT] && p[kAC] == p[kCG] && p[kAC] == p[kGT];
    if (transversionsEqual) {
        if (m->numPools == 1)
            return equalFreqs ? "JC69" : "F81";
        if (m->numPools == 2 && p[kAG] == p[kCT])
            return equalFreqs ? "K80" : "HKY85";
        if (m->numPools >= 3 && !equalFreqs)
            return "TN93";
        return "";
    }
    if (equalFreqs && m->numPools == 3 && p[kAC] == p[kGT] && p[kAT] == p[kCG] && p[kAG] == p[kCT])
        return "K81";
    return "";
}

void showFreqLine(const Model *m, bool showValues, PrintHook out)
{
    out("%*s = ", W, "State frequencies");
    if (m->type == kModelMkv) {
        out("equal (required by model)\n");
        return;
    }
    const double code = m->stateFreqs.empty() ? kFreqCodeEqual : m->stateFreqs[0];
    if (code == kFreqCodeEqual) {
        out("equal\n");
    } else if (code == kFreqCodeEstimate) {
        out("estimated\n");
    } else if (modelHasEmpiricalFreqs(m) || (m->type == kModelRY && code == kFreqCodeEmpirical)) {
        // RY-coded data have no q01/q10 to imply frequencies: the data's
        // purine and pyrimidine frequencies are the ones in use.
        outputStateFreqSetting("empirical", showValues, m, m->freqs, out);
    } else if (code == kFreqCodeIntrinsic) {
        outputStateFreqSetting("intrinsic", showValues && m->intrinsicFreqs != nullptr, m,
                               m->intrinsicFreqs, out);
    } else if (isTwoStateType(m) && code < 0.0) {
        const double pi0 = twoStateImpliedPi0(m);
        const double implied[2] = {pi0, 1.0 - pi0};
        outputStateFreqSetting("implied by q01/q10", showValues, m, implied, out);
    } else {
        outputStateFreqSetting("user-specified", true, m, m->stateFreqs.data(), out);
    }
}

void showNucleotideLines(const Model *m, PrintHook out)
{
    out("%*s = nucleotide", W, "Data type");
    if (m->type == kModelRY) {
        out(" (R/Y)\n");
        return;
    }
    out("\n");
    const uint32_t types = m->substClass == kSubstSixRates ? m->numPools : m->substClass + 1;
    out("%*s = %u", W, "Substitution types", types);
    if (m->substClass == kSubstSixRates && m->numPools < kNumNucRates)
        out(" (restricted to %d distinct rate%s)", static_cast<int>(m->numPools),
            m->numPools == 1 ? "" : "s");
    else if (m->substClass == kSubstTwoRates && !modelHasEqualFreqs(m))
        out(" (%s variant)", m->F84 ? "F84" : "HKY85");
    out("\n");
    if (m->substClass == kSubstTwoRates) {
        out("%*s = ", W, "Ti/tv ratio");
        if (m->tratio == kEstimate)
            out("estimated\n");
        else
            out("%g\n", m->tratio);
    } else if (m->substClass == kSubstSixRates) {
        out("%*s =\b", W, "6ST rate matrix");
        if (m->rates.empty() || m->rates[0] != kEstimate) {
            showDnaRateMatrix(m, out);
            return;
        }
        out(" estimated\n");
        out("%*s =", W, "6ST rate classification");
        if (!m->pooled) {
            out(" unrestricted\n");
            return;
        }
        for (uint32_t k = 0; k < m->numPools; ++k) {
            out(" %c:", static_cast<char>('a' + k));
            const char *sep = "";
            for (uint32_t i = 0; i < kNumNucRates; ++i)
                if (m->poolMap[i] == k) {
                    out("%s%c%c", sep, kPairs[i][0], kPairs[i][1]);
                    sep = ",";
                }
        }
        out("\n");
    }
}

void showRateVariation(const Model *m, bool continuousGamma, PrintHook out)
{
    if (hasSiteRates(m)) {
        out("%*s = \b", W, "Site-category rates");
        const char *name = getNexsetName(m->siteRatePartition ? m->siteRatePartition : m->rateSet);
        if (m->estSiteRates)
            out("estimated using character-partition \"%s\"\n", name);
        else if (m->siteRatesFromPartition)
            out("previously estimated values for partition \"%s\"\n", name);
        else
            out("assigned according to rate-set \"%s\"\n", name);
        return;
    }
    out("%*s = ", W, "Proportion of invariable sites");
    if (m->pinv == 0.0)
        out("none\n");
    else if (m->pinv == kEstimate)
        out("estimated\n");
    else
        out("%g\n", m->pinv);
    out("%*s = \b", W, "Rates at variable sites");
    if (m->gammaShape == 0.0) {
        out("equal\n");
        return;
    }
    out("gamma, shape=");
    if (m->gammaShape == kEstimate)
        out("estimated");
    else
        out("%g", m->gammaShape);
    if (continuousGamma)
        out(" (continuous)\n");
    else
        out(" (\b%d categories [%s])\n", static_cast<int>(m->ncat),
            ml.repRate ? "median" : "mean");
}

}  // namespace

void showStateFreqsForModel(const Model *m, const double *freqs, PrintHook out)
{
    out = printer(out);
    if (m->type == kModelRY) {
        out(" A+G=%.5f C+T=%.5f\n", freqs[0], freqs[1]);
        return;
    }
    const uint32_t n = m->type == kModelNucleotide ? 4 : m->nstates;
    for (uint32_t s = 0; s < n; ++s)
        out("%s%c=%.5f", s == 0 ? "" : " ", m->symbols[s], freqs[s]);
    out("\n");
}

void outputStateFreqSetting(const char *label, bool showValues, const Model *m,
                            const double *freqs, PrintHook out)
{
    out = printer(out);
    if (!showValues || freqs == nullptr) {
        out("%s\n", label);
        return;
    }
    out("%s: \b", label);
    showStateFreqsForModel(m, freqs, out);
}

void showDnaRateMatrix(const Model *m, PrintHook out)
{
    out = printer(out);
    for (uint32_t i = 0; i < kNumNucRates && i < m->rates.size(); ++i)
        out(" %c%c=%g", kPairs[i][0], kPairs[i][1], m->rates[i]);
    out("\n");
}

std::string modelCorrespondence(const Model *m)
{
    const bool equalFreqs = modelHasEqualFreqs(m);
    const std::string suffix = rateSuffix(m);
    std::string name;
    if (m->type == kModelRY) {
        char text[32];
        std::snprintf(text, sizeof text, "%s(%d-state)", equalFreqs ? "JC" : "F81",
                      static_cast<int>(m->nstates));
        return text + suffix;
    }
    switch (m->substClass) {
    case kSubstOneRate:
        name = equalFreqs ? "JC69" : "F81";
        break;
    case kSubstTwoRates:
        if (equalFreqs)
            name = m->tratio == 0.5 ? "JC69" : "K80 (=K2P)";
        else
            name = m->F84 ? "F84" : "HKY85";
        break;
    default:
        if (m->numPools >= kNumNucRates)
            name = equalFreqs ? "SYM" : "GTR";
        else
            name = equalFreqs ? "submodel of SYM" : "submodel of GTR";
    }
    name += suffix;
    if (m->substClass == kSubstSixRates && m->numPools < kNumNucRates) {
        if (const char *sub = recognisedSubmodel(m); sub[0] != '\0')
            name += std::string(" (") + sub + suffix + " submodel)";
    }
    return name;
}

void showModel(const Model *m, bool showName, bool showFreqValues, bool continuousGamma,
               PrintHook out)
{
    out = printer(out);
    if (showName)
        out("\nModel '%s':\n", m->name[0] != '\0' ? m->name : "default");
    switch (m->type) {
    case kModelNucleotide:
    case kModelRY:
        showNucleotideLines(m, out);
        break;
    case kModelAminoAcid:
        out("%*s = amino-acid\n", W, "Data type");
        out("%*s = %s\n", W, "Rate matrix", prmatrixString(m->aaRMatrix));
        break;
    case kModelMkv:
        out("%*s = standard\n", W, "Data type");
        out("%*s = \b", W, "Constant-character handling");
        out("likelihoods conditioned on assumption that only variable characters are observed "
            "(\"Mkv\" model)\n");
        out("%*s = \b", W, "State space");
        if (ml.mkStateSpace)
            out("fixed (all characters assumed to have %d possible states)",
                static_cast<int>(m->nstates));
        else
            out("variable");
        out("\n");
        break;
    default:
        out("%*s = standard\n", W, "Data type");
        if (m->type == kModelTwoState) {
            out("%*s = %g\n", W, "q01", m->q01);
            out("%*s = %g\n", W, "q10", m->q10);
        }
    }
    showFreqLine(m, showFreqValues, out);
    if (m->type != kModelMkv)
        showRateVariation(m, continuousGamma, out);
    if (numActiveModels() > 1) {
        out("%*s = \b", W, "Model-subset rate");
        // Equal rates set after a model was stored with its rate to be
        // estimated are the rates in force.
        if (m->modelRateSetting == kEstimate && !usingEqualModelRates())
            out("estimated");
        else if (usingEqualModelRates() || !(m->modelRateSetting > 0.0))
            out("1");
        else
            out("%g", m->modelRateSetting);
        out("\n");
    }
    if (m->type == kModelNucleotide || m->type == kModelRY) {
        out("%*s = %s\n", W, "Model correspondence", modelCorrespondence(m).c_str());
        out("\n");
    }
}

// ---- Estimate all, fix all -------------------------------------------------------------

int setAllParamsToEstimated()
{
    for (uint32_t i = 0; i < countModels(); ++i) {
        Model *m = getModel(i);
        const bool isDefault = i == 0;
        const bool nucleotide = m->type == kModelNucleotide;
        if (nucleotide && m->substClass == kSubstTwoRates) {
            m->tratio = kEstimate;
            if (isDefault)
                ml.estTratio = 1;
        } else if (nucleotide && m->substClass == kSubstSixRates) {
            setDnaPooling(m, true);
            if (isDefault)
                ml.estRmatrix = 1;
        }
        if (!modelHasEqualFreqs(m) && !modelHasEmpiricalFreqs(m) && !m->stateFreqs.empty()) {
            m->stateFreqs[0] = kFreqCodeEstimate;
            if (isDefault)
                (m->type == kModelAminoAcid ? ml.aaFreqMode : ml.baseFreqMode) = kFreqEstimate;
        }
        if (hasSiteRates(m)) {
            qel_warningMsg(0, "\"EstAll\" does not work with site-specific rates.\tI will try to "
                              "fix this.  In the meantime, you can still use \"set "
                              "siterates=estimate;\".");
        } else {
            if (m->pinv != 0.0) {
                m->pinv = kEstimate;
                if (isDefault)
                    ml.estPInvar = 1;
            }
            if (m->gammaShape != 0.0) {
                m->gammaShape = kEstimate;
                if (isDefault)
                    ml.estGammaShape = 1;
            }
        }
        if (usingModelRates()) {
            m->relRate = 1.0;
            m->modelRateSetting = kEstimate;
            if (isDefault)
                ml.estModelRates = 1;
        }
    }
    invalidateMLprep();
    return 0;
}

int setAllParamsToFixed()
{
    bool modelRatesFixed = false;
    for (uint32_t i = 0; i < countModels(); ++i) {
        Model *m = getModel(i);
        const bool isDefault = i == 0;
        // A value stays marked for estimation while no estimate exists.
        if (m->tratio == kEstimate && m->prevTratio >= 0.0) {
            m->tratio = m->prevTratio;
            if (isDefault)
                ml.userTratio = m->tratio, ml.estTratio = 0;
        }
        if (!m->rates.empty() && m->rates[0] == kEstimate && havePrevRates(m) &&
            m->prevRates.size() >= m->rates.size()) {
            std::copy_n(m->prevRates.begin(), m->rates.size(), m->rates.begin());
            if (isDefault && m->type == kModelNucleotide) {
                std::copy_n(m->rates.begin(), kNumNucRates, &ml.rAC);
                ml.estRmatrix = 0;
            }
        }
        // Every state's frequency: twenty for amino acids, not only four.
        if (!m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate && havePrevFreqs(m) &&
            m->prevFreqs.size() >= m->nstates) {
            std::copy_n(m->prevFreqs.begin(), m->nstates, m->stateFreqs.begin());
            if (isDefault) {
                // More states than the settings have room for: the model
                // holds them, and the user mode makes it keep them.
                const bool aa = m->type == kModelAminoAcid;
                const uint32_t slots = aa ? kNumAAStates : 4;
                if (m->nstates <= slots)
                    std::copy_n(m->prevFreqs.begin(), m->nstates, aa ? ml.userAAFreqs : ml.userBaseFreqs);
                (aa ? ml.aaFreqMode : ml.baseFreqMode) = kFreqUser;
            }
        }
        if (m->estSiteRates) {
            qel_warningMsg(0, "\"FixAll\" does not work with site-specific rates.\tI will try to "
                              "get this fixed soon.  In the meantime, you can still use \"set "
                              "siterates=previous;\".");
        } else {
            if (m->pinv == kEstimate && m->prevPinv >= 0.0) {
                m->pinv = m->prevPinv;
                if (isDefault)
                    ml.userPInvar = m->pinv, ml.estPInvar = 0;
            }
            if (m->gammaShape == kEstimate && m->prevShape > 0.0) {
                m->gammaShape = m->prevShape;
                if (isDefault)
                    ml.userGammaShape = m->gammaShape, ml.estGammaShape = 0;
            }
        }
        // The LSet setting marks every model's rate, a named model's only
        // once the likelihood is set up for it.
        const bool rateMarked = m->modelRateSetting == kEstimate || estimatingModelRates();
        if (rateMarked && m->prevModelRate > 0.0) {
            m->modelRateSetting = m->relRate = m->prevModelRate;
            modelRatesFixed = true;
        }
    }
    // The model-rate setting is one for all models: neither estimated nor
    // equal, each model keeps the rate just fixed.
    if (modelRatesFixed)
        ml.estModelRates = 0, ml.prevModelRates = 1;
    invalidateMLprep();
    return 0;
}
