#include "likelihood/mlsettings_report.h"

#include <cstring>

#include "data/charstat.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "likelihood/activeml.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "likelihood/showmodel.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"

namespace {

// Distance types that starting branch lengths may be computed with.
constexpr uint32_t kDistUncorrectedP = 4;
constexpr uint32_t kDistJukesCantor = 5;
constexpr uint32_t kDistML = 15;

const char *distanceDisplayName(uint32_t type)
{
    switch (type) {
    case kDistML:
        return "maximum-likelihood";
    case kDistUncorrectedP:
        return "uncorrected (\"p\")";
    default:
        return "Jukes-Cantor";
    }
}

// Restores the output indentation however the block ends.
struct Indent {
    int previous;
    explicit Indent(int delta) : previous(indentOutput(delta)) {}
    ~Indent() { setOutputIndentLevel(previous); }
};

void showModels(PrintHook out)
{
    Model *first = getModel0();
    const uint32_t n = numActiveModels();
    if (std::strcmp(first->name, "default") == 0) {
        out("Current model:\n");
        showModel(first, false, true, false, out);
    } else if (n == 1) {
        out("Model in effect (%s):\n", first->name);
        showModel(first, false, true, false, out);
    } else {
        out("Partitioned model in effect:\n");
        Indent more(2);
        for (Model *m = first; m != nullptr; m = nextActiveModel(m))
            showModel(m, true, true, false, out);
    }
}

void showStartingLengths(const ActiveML *aml, bool clock, PrintHook out)
{
    out("St\barting branch lengths ");
    if (clock) {
        out("obtained using UPGMA-style averaging");
        if (ml.mlDistforLS)
            out(" (with ML distances)");
        if (aml->initBrLenMethod == kInitBrLenLS)
            out(" (option for least-squares branch-length initialized unsupported for clock "
                "models)");
        out("\n");
    } else if (aml->initBrLenMethod == kInitBrLenRogers) {
        out("obtained using Rogers-Tessary approximation method");
        out(ml.useAcctran ? " (with AccTran reconstruction)\n" : "\n");
    } else if (aml->initBrLenMethod == kInitBrLenLS) {
        out("obtained using least-squares method with %s distances\n",
            distanceDisplayName(chooseDistForLSBrlens(getModel0())));
    } else {
        out("arbitrarily set to %.6g\n", aml->initArbBrLen);
    }
}

void showOptimizers(const ActiveML *aml, bool clock, PrintHook out)
{
    const bool joint = (aml->flags & kAMLJointBrLens) != 0;
    if (!clock) {
        out("Branch-length optimization = \b");
        if (joint)
            out("multidimensional\n");
        else if (aml->maxPass == 0)
            out("none (approximate branch lengths only)\n");
        else
            out("%s with pass limit=%d, tolerance=%g\n",
                aml->blopt == kBloptBrent1D ? "Brent's one-dimensional method"
                                            : "one-dimensional Newton-Raphson",
                static_cast<int>(aml->maxPass), aml->toler);
    } else {
        static const char *const kClockNames[] = {"Thorne", "RelAge", "Rambaut"};
        out("Parameterization for clock optimization = \"%s\"\n",
            kClockNames[aml->paramClock < 3 ? aml->paramClock : 0]);
    }
    if (!(aml->numEstParams > 1 || joint || clock))
        return;
    out("Multidimensional optimizer = \b");
    if (aml->optimizer != kOptimizerLBFGS) {
        out("Praxis (tol=%g)\n", aml->praxisTol);
    } else {
        out("L-BFGS");
        if (ml.bfgsM >= 0 || ml.bfgsFactor >= 0.0 || ml.bfgsTol >= 0.0) {
            const char *sep = "";
            out(" (");
            if (ml.bfgsM >= 0)
                out("%sm=%d", sep, static_cast<int>(ml.bfgsM)), sep = " ";
            if (ml.bfgsFactor >= 0.0)
                out("%sfactr=%g", sep, ml.bfgsFactor), sep = " ";
            if (ml.bfgsTol >= 0.0)
                out("%spgtol=%g", sep, ml.bfgsTol);
            out(")");
        }
        out("\n");
    }
    if (clock)
        out("%s used to enforce bounds on clock-time parameters\n",
            aml->optimizer == kOptimizerLBFGS && !(aml->flags & kAMLTimesTransform)
                ? "Constrained optimization"
                : "Transformations");
}

void showApproximation(const ActiveML *aml, PrintHook out)
{
    if (!ml.useApproxLim)
        return;
    if (aml == nullptr || !(aml->flags & kAMLUseApproxLim))
        out("Approximate likelihoods not available with current data and settings\n");
    else if (aml->approxLim == 0.0)
        out("Trees evaluated using approximate likelihoods only\n");
    else if (getLongOperationStatus() > 0)
        out("Tr\bees with approximate log likelihoods %g%% or further from the target score are "
            "rejected without additional iteration\n",
            aml->approxLim);
}

}  // namespace

uint32_t chooseDistForLSBrlens(const Model *m)
{
    if (ml.mlDistforLS)
        return kDistML;
    return m != nullptr && m->type == kModelMkv ? kDistUncorrectedP : kDistJukesCantor;
}

void showMLSettings(bool modelsOnly, PrintHook out)
{
    out = out != nullptr ? out : qel_printf;
    DataInfo *d = activeDataInfo();
    if (!modelsOnly && d != nullptr)
        showCStatusSummary(kSummaryFull | kSummaryLikelihood, d, out);
    out("Likelihood settings:\n");
    {
        Indent block(2);
        showModels(out);
        if (modelsOnly) {
            forceBlankLine();
            return;
        }
        const ActiveML *aml = getActiveML();
        const ModelGroup *g = activeModelGroup();
        out("Number of distinct data patterns under this model = %d\n", static_cast<int>(g->ngrp));
        const bool clock = clockModelInEffect();
        out("Molecular clock %senforced\n", clock ? "" : "not ");
        if (aml != nullptr && !(aml->flags & kAMLQuartetPuzzling)) {
            if (aml->flags & kAMLFixedBrLens) {
                if (ml.UCM) {
                    out("Using UCM (ultra-common-mechanism) model\n");
                } else {
                    out("Branch lengths constrained to user-input values");
                    if (estimatingGRateScaler())
                        out(", scaled by a factor estimated by ML");
                    else if (aml->rateScaler != 1.0)
                        out(", scaled by a factor of %g", aml->rateScaler);
                    out("\n");
                }
            } else {
                showStartingLengths(aml, clock, out);
                showApproximation(aml, out);
                showOptimizers(aml, clock, out);
                if (estimatingGRateScaler())
                    out("Global rate scaler not estimated: it scales only user-input branch lengths\n");
            }
        }
        if (aml != nullptr && aml->reconRequested)
            out("Ancestral states estimated using %s method\n", ml.recon ? "joint" : "marginal");
        out("Likelihood calculations performed in %s precision\n",
            mlIsSinglePrecision() ? "single" : "double");
        out("Vector processing %s", mlIsVectorized() ? "enabled" : "disabled");
        if (!mlIsVectorized() && ml.vector && (g->nstates < 4 || getModel0()->type == kModelRY ||
                                               getModel0()->type == kModelMkv))
            out(" (not supported for Mkv models or models with fewer than 4 states)");
        out("\n");
        if (aml != nullptr && (aml->flags & kAMLBrLenTransform))
            out("Transformations used to enforce branch-length nonnegativity\n");
        if (!rescalingCLs())
            out("Rescaling of conditional likelihoods not performed\n");
        else
            out("Conditional-likelihood rescaling threshold = %g\n", g->rescaleThreshold);
        if (!g->singleThreaded)
            showMultithreadingStatus(static_cast<int32_t>(g->nthreads != 0 ? g->nthreads : 1));
        else if (mlThreadsAsked() > 1)
            out("Multithreading not available for Mkv model\n");
    }
    forceBlankLine();
}
