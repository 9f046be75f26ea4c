#include "parsimony/pars_init.h"

#include <bit>

#include "data/charstat.h"
#include "data/column_reader.h"
#include "data/data_services.h"
#include "data/data_util.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "parsimony/packx.h"

ParsSettings gPars;

namespace {

ParsServices gServices{};

bool includedNonOrdUno(const DataInfo *d)
{
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c))
            continue;
        uint32_t t = d->status[c] & kCharTypeMask;
        if (t != kCharOrdered && t != kCharUnordered)
            return true;
    }
    return false;
}

// Whether an included character holds a multistate cell read as a
// polymorphism under the msTaxa setting in force. The data set's class flags
// keep the setting of the moment the data were first prepared, and msTaxa
// may have changed since.
bool polymorphicCellsIncluded(const DataInfo *d)
{
    if (gPars.msTaxa == kMsTaxaUncertain || !d->status)
        return false;
    const CellCodeTable codes = makeCellCodeTable(d);
    ColumnReader columns(d);
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c))
            continue;
        const std::span<const uint8_t> column = columns.column(c);
        for (uint32_t t = 0; t < column.size(); t++)
            if (!codes.missing[column[t]] && std::popcount(codes.bits[column[t]]) > 1 &&
                isPolymorphicMST(static_cast<int32_t>(t), c, d))
                return true;
    }
    return false;
}

void forgetLastTree()
{
    if (gServices.forgetLastTreeOptimized)
        gServices.forgetLastTreeOptimized();
}

}  // namespace

void installParsServices(const ParsServices &s) { gServices = s; }
const ParsServices &parsServices() { return gServices; }

void resetParsSettings() { gPars = ParsSettings{}; }

void setNeedParsPrep(int level)
{
    auto l = static_cast<uint32_t>(level);
    if (l > gPars.pending)
        gPars.pending = l;
    if (level == 3) {
        gPars.altPrep = 1;
        if (DataInfo *d = activeDataInfo())
            d->statusUpToDate = 0;
    }
}

bool usingStdAncestor()
{
    return !gServices.ancestorSetName || gServices.ancestorSetName() == nullptr;
}

bool parsCriterionActive()
{
    if (dataServices().criterion() != kCriterionParsimony)
        return false;
    return !(gServices.quartetSearchActive && gServices.quartetSearchActive());
}

int checkParsimonySettings(DataInfo *d)
{
    if (gPars.threshold) {
        if (gPars.goloboff)
            return qel_errorMsg(0, "Threshold parsimony and Goloboff weighting may not be specified simultaneously."), 1;
        if (d && polymorphicCellsIncluded(d))
            return qel_errorMsg(0, "Threshold parsimony is not permitted with polymorphic multistate taxa."), 1;
        if (d && includedNonOrdUno(d))
            return qel_errorMsg(851, "All characters must be of type 'ord' or 'unord' for threshold parsimony."), 1;
    }
    if (gPars.goloboff && d && includedNonOrdUno(d))
        return qel_errorMsg(850, "All characters must be of type 'ord' or 'unord' for Goloboff criterion."), 1;
    return 0;
}

bool parsimonyScoreIsRealValued(const DataInfo *d)
{
    if (gPars.goloboff)
        return true;
    if (!d)
        return false;
    if (const PackedData *pd = packedData(d); pd && pd->realLengths)
        return true;
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c))
            continue;
        double w = d->weights[c];
        if (w > 1e10 || w != static_cast<double>(static_cast<int64_t>(w)))
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Callbacks

void forceAltParsPrep()
{
    gPars.altPrep = 1;
    forgetLastTree();
    if (gPars.pending == 0)
        gPars.pending = 1;
    if (gServices.recomputeScoreType)
        gServices.recomputeScoreType();
}

int setMsTaxa(uint32_t v)
{
    if (v > 2)
        return 1;
    if (v != gPars.msTaxa) {
        gPars.msTaxa = v;
        setNeedParsPrep(3);
    }
    return 0;
}

int setStepMatrixMode(uint32_t v)
{
    if (v > 2)
        return 1;
    if (v != gPars.stepMatrix) {
        gPars.stepMatrix = v;
        setNeedParsPrep(3);
    }
    return 0;
}

int setParsOpt(uint32_t v)
{
    if (v > 2)
        return 1;
    if (v != gPars.opt) {
        gPars.opt = v;
        forgetLastTree();
        if (gServices.markLikelihoodReoptimize)
            gServices.markLikelihoodReoptimize();
    }
    return 0;
}

int setThreshold(uint32_t v)
{
    if (v != gPars.threshold) {
        gPars.threshold = v;
        forceAltParsPrep();
    }
    return 0;
}

int setGoloboff(bool on)
{
    if (on != (gPars.goloboff != 0)) {
        gPars.goloboff = on;
        forceAltParsPrep();
    }
    return 0;
}

int setGPeeWee(bool on)
{
    if (on != (gPars.gPeeWee != 0)) {
        gPars.gPeeWee = on;
        forceAltParsPrep();
    }
    return 0;
}

int setGoloboffK(uint32_t k)
{
    constexpr uint32_t kMaxK = 2147483646;
    if (k > kMaxK) {
        qel_errorMsg(834, "K parameter for Goloboff criterion ('Gk') must not exceed %d.", static_cast<int>(kMaxK));
        return 1;
    }
    if (k != gPars.gK) {
        gPars.gK = k;
        forgetLastTree();
    }
    return 0;
}

int setGUninf(bool include)
{
    if (include != (gPars.gUninf != 0)) {
        gPars.gUninf = include;
        forgetLastTree();
    }
    return 0;
}

int setMinForFit(uint32_t v)
{
    if (v > 1)
        return 1;
    gPars.minForFit = static_cast<uint8_t>(v);  // length bounds are recomputed on demand
    return 0;
}

int setGapMode(uint32_t v, DataInfo *d)
{
    if (v == 2) {
        qel_warningMsg(320, "VORN does not support 'GapMode=Indel'.\tThis option is available for NEXUS "
                            "compatibility only; 'GapMode=Missing' will be used instead.");
        v = 0;
    }
    if (v > 1)
        return 1;
    if (v == gPars.gapMode)
        return 0;
    // A gap read as a state must have costs in every stepmatrix that meets
    // one (error 432 otherwise).
    if (v == 1 && d && d->status && checkAllStmCompat(d, true) != 0)
        return 1;
    gPars.gapMode = v;
    setNeedParsPrep(3);
    // Which symbols a site shows, and so its state space under the Mkv
    // model, depends on whether the gap is one of them.
    invalidateSitePatternData(true);
    if (d) {
        d->dataInitialized = 0;
        d->statusUpToDate = 0;
        updateStdCharsets(d);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Display

void showParsSettings(PrintHook print, const DataInfo *d)
{
    if (gPars.threshold) {
        print("Threshold on number of extra steps = %d", static_cast<int>(gPars.threshold));
        if (gPars.threshold == 1)
            print(" (= maximum character compatibility)");
        print("\n");
    }
    // What is excluded, typed and weighted, and how many characters are
    // informative. The summary may bring the data set's weight flags up to
    // date first, which changes no weight.
    if (d && d->status)
        showCStatusSummary(kSummaryParsimony, const_cast<DataInfo *>(d), print);
    if (d && d->gappedChars) {
        bool gaps = false;
        for (uint32_t c = 0; c < d->nchar && !gaps; c++)
            gaps = isSetMember(d->gappedChars, c);
        if (gaps) {
            const char *how = "missing";
            if (gPars.gapMode == kGapModeNewState)
                how = (d->flags & kDataNucleotide) ? "fifth base"
                      : (d->flags & kDataProtein)  ? "21st amino acid"
                                                   : "additional state";
            print("Gaps are treated as \"%s\"\n", how);
        }
    }
    if (d && d->cls.multistate) {
        print("Mu\bltistate taxa ");
        if (gPars.msTaxa == kMsTaxaVariable)
            print("interpretation depends on \"{}\" versus \"()\" designation");
        else
            print("interpreted as %s", gPars.msTaxa == kMsTaxaPolymorph ? "polymorphism" : "uncertainty");
        if (gPars.msTaxa != kMsTaxaUncertain)
            print(" (\"min\" values for CI, RI, and RC are %s",
                  gPars.minForFit == 0 ? "minimum-possible character lengths)" : "character ranges)");
        print("\n");
    }
    if (!usingStdAncestor())
        print("AncStates = \"%s\"\n", gServices.ancestorSetName());
}
