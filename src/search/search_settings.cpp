#include "search/search_settings.h"

#include <array>

#include "qel/qel_errormsg.h"

SearchSettings srch = {0, 0, 1, 1, 0, 1, 1, 0, 0, 60, 0.0};
FreqDistOptions fdopt = {20, 0, {}};
uint32_t gCriterion = kCriterionParsimony;

namespace {
std::array<void (*)(uint32_t), kMaxCriterionResetHooks> gResetHooks{};
int gResetHookCount = 0;

const char *criterionName(uint32_t c)
{
    return c == kCriterionLikelihood ? "likelihood" : c == kCriterionDistance ? "distance"
                                                                              : "parsimony";
}
}  // namespace

uint64_t statusIntervalMs()
{
    if (srch.dStatus <= 0)
        return 0;
    return static_cast<uint64_t>(srch.dStatus) * 1000u;
}

uint32_t getOptimalityCriterion() { return gCriterion; }

uint32_t getActiveCriterion(uint32_t criterion)
{
    return criterion == kCriterionCurrent ? gCriterion : criterion;
}

int addCriterionResetHook(void (*hook)(uint32_t))
{
    if (hook == nullptr || gResetHookCount >= kMaxCriterionResetHooks)
        return 1;
    gResetHooks[gResetHookCount++] = hook;
    return 0;
}

void clearCriterionResetHooks()
{
    gResetHooks.fill(nullptr);
    gResetHookCount = 0;
}

const char *currentCriterionString() { return criterionName(gCriterion); }

int initOptimalityCriterion(bool announce)
{
    if (announce)
        qel_printf("\nOptimality criterion set to %s.\n", criterionName(gCriterion));
    for (int k = 0; k < gResetHookCount; ++k)
        gResetHooks[k](gCriterion);
    return 0;
}

uint32_t setOptimalityCriterion(uint32_t criterion, bool reinit)
{
    uint32_t previous = gCriterion;
    gCriterion = criterion;
    if (reinit)
        initOptimalityCriterion(false);
    return previous;
}

int criterionInfo(CmdParam *option)
{
    if (cmdParamChanged(option))
        initOptimalityCriterion(true);
    return 0;
}
