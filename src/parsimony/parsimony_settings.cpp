#include "parsimony/parsimony_settings.h"

#include "parsimony/optimize.h"

#include "data/data_services.h"
#include "data/nexsets.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "parsimony/packx.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/treelen.h"
#include "cli/qel_cmdline.h"
#include "trees/constr.h"

HomPartOptions homOpt = {nullptr, 100, {}, 0};
PermuteOptions permOpt = {0, {}, 100, 0, 0, 0, nullptr, nullptr, nullptr};

namespace {

uint32_t *u32Variable(CmdParam *option) { return static_cast<uint32_t *>(option->variable); }

}  // namespace

// The parsimony setters compare with the stored value, so the callbacks put
// the previous value back and hand them the new one.
int checkGoloboffK(CmdParam *option)
{
    if (!cmdParamChanged(option))
        return 0;
    uint32_t k = *u32Variable(option);
    *u32Variable(option) = option->saved.u;
    return setGoloboffK(k);
}

int gapModeChange(CmdParam *option)
{
    if (!cmdParamChanged(option))
        return 0;
    uint32_t mode = *u32Variable(option);
    *u32Variable(option) = option->saved.u;
    return setGapMode(mode, activeDataInfo());
}

int forceAltParsPrep(CmdParam *option)
{
    if (!cmdParamChanged(option))
        return 0;
    forceAltParsPrep();
    // A length bound set before means nothing as a fit or threshold score.
    dataServices().clearScoreOptions();
    return 0;
}

// The length bounds are computed on demand from the current setting; there
// is no stored bound to invalidate yet.
int invalLengthBounds(CmdParam *) { return 0; }

int getPermConstrParm(int operation, CmdParam *option, void *place)
{
    auto *named = static_cast<const void **>(option->variable);
    switch (operation) {
    case kParamOpReadValue: {
        Constraint *c = getConstraintRefFromInput();
        if (!c)
            return 1;
        *named = c;
        return 0;
    }
    case kParamOpCurValue:
        if (place != nullptr)
            *static_cast<const char **>(place) = "(none)";
        return 0;
    case kParamOpFactory:
        *named = nullptr;
        return 0;
    case kParamOpChanged:
        return *named != reinterpret_cast<const void *>(option->saved.slot);
    case kParamOpSave:
        option->saved.slot = reinterpret_cast<uintptr_t>(*named);
        return 0;
    case kParamOpRestore:
        *named = reinterpret_cast<const void *>(option->saved.slot);
        return 0;
    default:
        return 0;
    }
}

int installParsimonyServices()
{
    DataServices s{};
    s.gapMode = [] { return static_cast<int>(gPars.gapMode); };
    s.msTaxa = [] { return static_cast<int>(gPars.msTaxa); };
    s.setNeedParsPrep = setNeedParsPrep;
    s.deallocPackedData = deallocPackedData;
    s.releaseParsFxns = releaseParsFxns;
    s.checkParsimonySettings = checkParsimonySettings;
    s.parsPrepLevel = [] { return static_cast<int>(gPars.pending); };
    s.altParsPrepPending = [] { return gPars.altPrep != 0; };
    s.packPrelim = packPrelim;
    s.packFinish = packFinish;
    s.altParsPrep = altParsPrep;
    s.finalParsPrep = finalParsPrep;
    const int status = installDataServices(s);
    installTreeScoreFxns({[](DataInfo *d, Tree *t) { return calcParsimonyScore(d, t, false); }, nullptr, nullptr});
    return status;
}

int installParsimonyHooks()
{
    watchNexsetSlot(&homOpt.partition, nullptr);
    const int status = installParsimonyServices();
    return installOptimizeServices() | status;
}
