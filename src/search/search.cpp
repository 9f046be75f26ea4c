#include "search/search.h"

#include <algorithm>

#include "search/critscore.h"
#include "search/hsprep.h"
#include "search/scores.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <limits>
#include <unistd.h>

#include "data/vorn_data.h"
#include "parsimony/packx.h"
#include "parsimony/pars_fxns.h"
#include "qel/qel_errormsg.h"
#include "search/search_settings.h"
#include "trees/treeutil.h"

SearchState gSearchState = {0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};

namespace {

const char *const kSearchTypes[] = {"heuristic", "branch-and-bound", "exhaustive", "neighbor-joining",
                                    "UPGMA", "fast-heuristic", "star-decomposition"};

ParsNodeSets *downSets(const Tree *tree, int32_t index)
{
    return nodeSets(nodeOfIndex(tree, index)->abm[0]);
}

}  // namespace

std::string searchTypeString(uint32_t type, bool capitalize)
{
    std::string text = type < 7 ? kSearchTypes[type] : "unknown";
    if (capitalize && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

const char *replSearchTypeString(int kind)
{
    switch (kind) {
    case 1: return "Bootstrap replicate:";
    case -1: return "Jackknife replicate:";
    case 2: return "Permutation-test replicate:";
    default: return "Homogeneity replicate:";
    }
}

const char *outerReplicateName()
{
    switch (gSearchState.replicatedKind) {
    case -1: return "jackknife";
    case kReplicatedHomPart: return "homogeneity";
    case kReplicatedPermute: return "permutation";
    default: return "bootstrap";
    }
}

std::string searchRepString(uint32_t rep, uint32_t unit, uint32_t unitsPerRep)
{
    char text[24];
    if (unitsPerRep > 1 && unit < 26)
        std::snprintf(text, sizeof text, "%u%c", rep, static_cast<char>('a' + unit));
    else
        std::snprintf(text, sizeof text, "%u", rep);
    return text;
}

std::string outerRepString()
{
    const uint32_t units = std::max<uint32_t>(gSearchState.repsPerUnit, 1);
    const uint32_t at = std::max<uint32_t>(gSearchState.outerRep, 1) - 1;
    return searchRepString(at / units + 1, at % units, units);
}

bool isRootedSearch(const DataInfo *data)
{
    if (gCriterion == kCriterionParsimony)
        return srch.includeAnc || (data && (data->cls.nonRev || data->cls.dollo));
    const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
    return f && f->rootedTrees && f->rootedTrees();
}

int checkMaxTaxaExhaustive(uint32_t ntax, bool rooted)
{
    const uint32_t limit = rooted ? 11 : 12;
    if (ntax > limit)
        return qel_errorMsg(531,
                            "Exhaustive search is not allowed for more than %d taxa (%s trees). The number of trees "
                            "would exceed the maximum that can be represented as a 32-bit integer value.",
                            static_cast<int>(limit), rooted ? "rooted" : "unrooted"),
               1;
    return 0;
}

bool topolConstraintsActive() { return gSearchState.constraintMode != 0; }
bool positiveConstraintsActive() { return gSearchState.constraintMode > 0; }
bool converseConstraintsActive() { return gSearchState.constraintMode < 0; }
void setTopolConstrained(int32_t mode) { gSearchState.constraintMode = mode; }
int32_t getTopolConstrained() { return gSearchState.constraintMode; }
bool doingQuartetSearch() { return gSearchState.quartetSearch != 0; }

namespace {

uint64_t clockNanos(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * kSearchClockPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t processCpuNanos() { return clockNanos(CLOCK_PROCESS_CPUTIME_ID); }

std::atomic<uint64_t (*)()> gCpuClock{processCpuNanos};

constexpr uint64_t kCpuReadInterval = kSearchClockPerSecond / 1000;

}  // namespace

uint64_t searchClockNanos(bool ownThread)
{
    uint64_t (*clock)() = gCpuClock.load(std::memory_order_relaxed);
    return ownThread && clock == processCpuNanos ? clockNanos(CLOCK_THREAD_CPUTIME_ID) : clock();
}

void setSearchCpuClock(uint64_t (*clock)()) { gCpuClock.store(clock ? clock : processCpuNanos); }

bool searchDeadlinePassed(uint64_t deadline, uint64_t &nextRead, bool ownThread)
{
    if (deadline == 0)
        return false;
    const uint64_t wall = clockNanos(CLOCK_MONOTONIC);
    if (wall < nextRead)
        return false;
    if (searchClockNanos(ownThread) >= deadline)
        return true;
    nextRead = wall + kCpuReadInterval;
    return false;
}

uint64_t searchDeadline(uint64_t nowTicks, uint32_t seconds, uint64_t ticksPerSecond)
{
    if (seconds == 0)
        return 0;
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    if (ticksPerSecond != 0 && seconds > kMax / ticksPerSecond)
        return kMax;
    const uint64_t span = uint64_t{seconds} * ticksPerSecond;
    return nowTicks > kMax - span ? kMax : nowTicks + span;
}

uint64_t cpuTicksPerSecond()
{
    const long t = sysconf(_SC_CLK_TCK);
    return t > 0 ? static_cast<uint64_t>(t) : 100u;
}

double getLen3(const DataInfo *data, Tree *tree, int32_t a, int32_t b, int32_t c)
{
    pointTreeAtPackedData(tree, data);
    ParsNodeSets *x = nodeSets(nodeAtPosition(tree, tree->ntax + 1)->abm[0]);
    return revLen3(data, a, b, c, downSets(tree, a), downSets(tree, b), downSets(tree, c), x);
}

void findLongest3Tree(const DataInfo *data, Tree *tree, int32_t *a, int32_t *b, int32_t *c, bool rooted)
{
    // Over the active taxa, which are the tips of a search tree.
    const auto n = static_cast<int32_t>(numSearchTaxa(data));
    double best = -1.0;
    *a = 0, *b = 1, *c = rooted ? -1 : 2;
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = i + 1; j < n; j++) {
            if (rooted) {
                const double len = getLen3(data, tree, i, j, -1);
                if (compareScores(len, best) > 0)
                    best = len, *a = i, *b = j, *c = -1;
                continue;
            }
            for (int32_t k = j + 1; k < n; k++) {
                const double len = getLen3(data, tree, i, j, k);
                if (compareScores(len, best) > 0)
                    best = len, *a = i, *b = j, *c = k;
            }
        }
}
