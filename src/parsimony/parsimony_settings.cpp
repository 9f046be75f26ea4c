#include "parsimony/parsimony_settings.h"

#include <cstring>

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
#include "qel/qel_strings.h"
#include "trees/constr.h"

HomPartOptions homOpt = {nullptr, 100, {}, 0};
PermuteOptions permOpt = {0, {}, 100, 0, 0, 0, {}, {}, {}};

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
    // The name saved for a restore, one per option (constraints, first,
    // second).
    static char saved[3][kMaxConstraintName + 1];
    char *name = static_cast<char *>(option->variable);
    char *copy = saved[name == permOpt.constraint ? 0 : name == permOpt.first ? 1 : 2];
    switch (operation) {
    case kParamOpReadValue: {
        const Constraint *c = getConstraintRefFromInput();
        if (!c)
            return 1;
        strcpy_n(name, c->name, kMaxConstraintName + 1);
        return 0;
    }
    case kParamOpCurValue:
        if (place != nullptr)
            *static_cast<const char **>(place) = *name ? name : "(none)";
        return 0;
    case kParamOpFactory:
        *name = 0;
        return 0;
    case kParamOpChanged:
        return std::strcmp(name, copy) != 0;
    case kParamOpSave:
        strcpy_n(copy, name, kMaxConstraintName + 1);
        return 0;
    case kParamOpRestore:
        strcpy_n(name, copy, kMaxConstraintName + 1);
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
