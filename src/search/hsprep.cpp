#include "search/hsprep.h"

#include "search/critscore.h"
#include "search/stepwise.h"
#include "trees/constr.h"
#include "trees/describe.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "data/column_reader.h"
#include "data/data_util.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "parsimony/stmx.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_time.h"
#include "search/bootjack.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "data/prepdata.h"
#include "trees/treebuf.h"
#include "trees/treeutil.h"

namespace {

// Status rows are timed on a monotonic clock to the sub-second: a clock in
// whole seconds made a row due as soon as the second changed, however short
// the time since the last row.
std::chrono::steady_clock::time_point gStatusStart{};
std::chrono::steady_clock::time_point gLastStatus{};

}  // namespace

uint32_t numIncludedChars(const DataInfo *data)
{
    // Constant characters are included: they carry no steps, but distances
    // and likelihoods use them, and data whose sequences are all identical
    // still make a (star-like) search, not a "no characters" refusal.
    return data ? countIncludedChars(data, 0) : 0;
}

uint32_t numSearchTaxa(const DataInfo *data)
{
    // A data set whose taxon status was never initialised has every taxon
    // active.
    return data->nActive > 0 ? std::min(static_cast<uint32_t>(data->nActive), data->ntax) : data->ntax;
}

Tree *createSearchTree(const DataInfo *data)
{
    const uint32_t n = numSearchTaxa(data);
    return createTreeForTaxa(n, n, true);
}

int checkMinTaxa(const DataInfo *data, uint32_t minimum, const char *subject, const char *qualifier)
{
    if (numSearchTaxa(data) >= minimum)
        return 0;
    // The data layer's check words the refusal (with its explanation); it
    // counts the same active taxa of the active data set.
    checkMinTaxa(minimum, subject, qualifier);
    return 1;
}

int checkSearchConstraintOptions(bool enforce, bool converse, uint32_t flags)
{
    if (!enforce && !converse)
        return 0;
    if (numConstraints() == 0 || !getActiveConstraint())
        return qel_errorMsg(512, "'Enforce constraints' option requested but no constraints have been defined."),
               1;
    // Only the heuristic search tests its candidates against constraints so
    // far; the others must not pretend to.
    if (!(flags & kSearchConstraintsOk))
        return qel_errorMsg(0, "Constraints cannot be enforced in this analysis yet; only HSearch (with stepwise "
                               "addition and NNI, SPR or TBR swapping) enforces them. Set ENFORCE=NO to run it "
                               "without them."),
               1;
    return 0;
}

bool ancestorAllMissing(const DataInfo *data)
{
    const CellCodeTable codes = makeCellCodeTable(data);
    for (uint32_t c = 0; c < data->nchar; c++)
        if (isCharIncluded(data, c) && !codes.missing[getXijRaw(data, -1, c)])
            return false;
    return true;
}

namespace {

// An ancestor that says nothing, with characters that have no direction,
// scores every rooting of a tree alike: each is saved as a tree of its own.
// Asked of the searches that keep their trees, once a command (the searches
// of replicates come after their command has asked).
void confirmUninformativeAncestor(DataInfo *data, uint32_t flags)
{
    const bool keepsTrees = (flags & kSearchConstraintsOk) && !(flags & kSearchNoMinTaxa);
    if (gCriterion != kCriterionParsimony || !srch.includeAnc || !keepsTrees || gSearchState.replicatedKind != 0 ||
        directedCharsIncluded(data) || !ancestorAllMissing(data))
        return;
    if (userQuery(false, "All characters are undirected and ancestor is all-missing.  All rootings will be saved as "
                         "distinct trees.  Do you REALLY want to include an ancestor?"))
        return;
    srch.includeAnc = 0;
    setNeedParsPrep(3);
}

}  // namespace

int checkSearchSettings(DataInfo *data, uint32_t flags)
{
    if (!data)
        return 1;
    if (checkCharStatusUpdate(data) != 0)
        return 1;
    const bool haveChars = (data->flags & kHaveCharacters) != 0;
    if (!haveChars && gCriterion != kCriterionDistance)
        return qel_errorMsg(754, "Optimality criterion must be 'Distance' when no character data are supplied."),
               1;
    if (gCriterion != kCriterionParsimony && !criterionSearchFxns(gCriterion))
        return qel_errorMsg(0, "Tree searches under the %s criterion are not available yet.",
                            currentCriterionString()),
               1;
    if (haveChars && numIncludedChars(data) == 0)
        return qel_errorMsg(565,
                            "Search not performed due to absence of character data (possibly because all "
                            "characters have been excluded)."),
               1;
    if (haveChars)
        confirmUninformativeAncestor(data, flags);
    const bool rooted = isRootedSearch(data);
    if (!(flags & kSearchNoMinTaxa) &&
        checkMinTaxa(data, rooted ? 3 : 4, "Searching for ", rooted ? "rooted trees" : "unrooted trees") != 0)
        return 1;
    if ((flags & kSearchExhaustive) && checkMaxTaxaExhaustive(numSearchTaxa(data), rooted) != 0)
        return 1;
    const bool enforce = srch.enforce && !(flags & kSearchNoConstraints);
    if (checkSearchConstraintOptions(enforce, enforce && srch.converse, flags) != 0)
        return 1;
    if (const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
        f && f->refuseSearch && f->refuseSearch(rooted) != 0)
        return 1;
    gSearchState.rooted = rooted;
    return 0;
}

int prepForSearch(DataInfo *data, uint32_t flags)
{
    if (checkSearchSettings(data, flags) != 0)
        return 1;
    if (!(flags & kSearchKeepUserBrlens))
        setHaveUserBranchLengths(false);
    if (gCriterion == kCriterionParsimony) {
        if (checkParsimonySettings(data) != 0 || prepareParsimonyData(data) != 0)
            return 1;
    } else if (prepareData(kPrepCurrentCriterion, (flags & kSearchNJStart) ? kPrepMLFlagA : 0, false) != 0) {
        return 1;
    }
    setSearchVariables(kSearchModeTree, data);
    if (flags & kSearchNoConstraints)
        setTopolConstrained(0);
    return 0;
}

namespace {

const ReplicateHooks *gReplicateHooks = nullptr;

}  // namespace

void setSearchVariables(uint32_t mode, DataInfo *data)
{
    setLongOperationStatus(1);
    // The trees are marked unsaved when the search ends (finishSearch), not
    // here: a search asks whether unsaved trees may be replaced after this,
    // and trees just saved would be taken for unsaved.
    // Only the searches that take the constraint options enforce them.
    const bool enforces = mode == kSearchModeTree || mode == kSearchModeCountSwaps;
    setTopolConstrained(enforces && srch.enforce ? (srch.converse ? -1 : 1) : 0);
    gSearchState.repsPerUnit = gReplicateHooks ? std::max<uint32_t>(gReplicateHooks->unitsPerRep, 1) : 1;
    if (mode == kSearchModeTree) {
        gSearchState.parsSearch = gCriterion == kCriterionParsimony;
        gSearchState.likeSearch = gCriterion == kCriterionLikelihood;
        gSearchState.distSearch = gCriterion == kCriterionDistance;
    }
    // Under the Mkv model a search starts from the NJ tree, not by stepwise
    // addition (for this command only: the option is restored after it).
    // The model group was prepared just before.
    if (mode != kSearchModeCluster && gCriterion == kCriterionLikelihood && hs.startSource == kStartStepwise &&
        activeModelGroup() && activeModelGroup()->useMkv)
        hs.startSource = kStartNJ;
    gSearchState.quartetSearch = mode == kSearchModeQuartet;
    if (mode == kSearchModeQuartet)
        gSearchState.parsSearch = gSearchState.likeSearch = gSearchState.distSearch = 0;
    gSearchState.rooted = isRootedSearch(data);
}

uint32_t searchLeafCount(const DataInfo *data) { return numSearchTaxa(data) + (isRootedSearch(data) ? 1u : 0u); }

namespace {
std::function<void()> gReplicatedHeading;
}

void setReplicatedHeading(std::function<void()> show) { gReplicatedHeading = std::move(show); }

void showSearchSettingsHeader(uint32_t searchType)
{
    if (gReplicatedHeading) {
        const std::function<void()> show = std::move(gReplicatedHeading);
        gReplicatedHeading = nullptr;
        show();
        return;
    }
    qel_printf("\n%s search settings:\n", searchTypeString(searchType, true).c_str());
}

bool showKeepSettings(double keep, bool mulTrees)
{
    if (keep == 0.0)
        return mulTrees;
    qel_printf("Keeping all trees less than or equal to score %s\n", boundToString(keep).c_str());
    if (!mulTrees)
        qel_printf("Nonminimal trees being kept, 'MulTrees' option forced\n");
    return true;
}

void showCriterionSettings(const DataInfo *data)
{
    char text[256];
    qel_printf("Optimality criterion = \b%s\n", makeFullCriterionString(text, sizeof text));
    if (gCriterion == kCriterionParsimony) {
        indentOutput(2);
        showParsSettings(qel_printf, data);
        indentOutput(-2);
    } else if (const CriterionSearchFxns *f = criterionSearchFxns(gCriterion); f && f->showSettings) {
        f->showSettings(2);
    }
}

void showSearchTailSettings(const DataInfo *data, bool rooted)
{
    (void)data;
    if (topolConstraintsActive() && getActiveConstraint()) {
        char text[kMaxConstraintName + 64];
        makeConstrString(getActiveConstraint(), text, sizeof text);
        qel_printf("Kee\bping only trees %scompatible with %s\n", converseConstraintsActive() ? "NOT " : "", text);
    } else {
        qel_printf("No topological constraints in effect\n");
    }
    if (gCriterion == kCriterionParsimony && srch.includeAnc)
        qel_printf("Ancestor \"%s\" included in analysis\n", ancStatesName());
    qel_printf("Trees are %s\n", rooted ? "rooted" : "unrooted");
}

void beginSearchStatus()
{
    gStatusStart = gLastStatus = std::chrono::steady_clock::now();
}

// Test hook: with VORN_TEST_STATUS_EVERY_POLL set, a row is due at every
// chance the display has, so that a test sees the rows a slow machine shows
// whatever its own speed.
bool searchStatusDue()
{
    if (!srch.statusWin || srch.dStatus <= 0)
        return false;
    static const bool everyPoll = std::getenv("VORN_TEST_STATUS_EVERY_POLL") != nullptr;
    if (everyPoll)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - gLastStatus < std::chrono::seconds(srch.dStatus))
        return false;
    gLastStatus = now;
    return true;
}

double searchElapsedSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - gStatusStart).count();
}

std::string searchElapsedString()
{
    using std::chrono::steady_clock;
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(steady_clock::now() - gStatusStart);
    return timeDiffToSecsStr(static_cast<time_t>(whole.count()), 0);
}

double keepScoreInEffect() { return gSearchState.replicatedKind != 0 ? 0.0 : srch.keep; }

namespace {

bool resampling() { return gSearchState.replicatedKind == 1 || gSearchState.replicatedKind == -1; }

}  // namespace


void setReplicateHooks(const ReplicateHooks *hooks) { gReplicateHooks = hooks; }

uint32_t setSearchNReps()
{
    gSearchState.nOuterReps = resampling()      ? static_cast<uint32_t>(std::max(btjkOpt.nreps, 1))
                              : gReplicateHooks ? gReplicateHooks->nreps
                                                : 1;
    return gSearchState.nOuterReps;
}

int startReplicatedSearchRep(Tree *tree, DataInfo *data, uint32_t rep)
{
    // A plain search runs its single outer replicate on the data as they
    // are; a resampling run draws each replicate's characters first.
    gSearchState.outerRep = rep;
    if (gReplicateHooks)
        return gReplicateHooks->start(tree, data, rep);
    if (resampling()) {
        setStatusText(gSearchState.replicatedKind > 0 ? "Bootstrap replicate %u of %u" : "Jackknife replicate %u of %u",
                      rep, gSearchState.nOuterReps);
        const int status = bootJackSample(data);
        if (status == -1)  // every distance of the sample undefined
            return tallyStarReplicate(data) == 0 ? kReplicateTallied : 1;
        return status;
    }
    return 0;
}

int finishReplicatedSearchRep(DataInfo *data, double score)
{
    if (gReplicateHooks)
        return gReplicateHooks->finish(data, score);
    return resampling() ? updateBootGroups(data) : 0;
}

int finishSearch(int status)
{
    setTreesAreSaved(false);
    setTopolConstrained(0);
    gSearchState.heuristicRunning = 0;
    gSearchState.quartetSearch = 0;
    gSearchState.replicatedKind = 0;
    setLongOperationStatus(0);
    return status;
}
