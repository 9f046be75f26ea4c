#include "search/hsearch.h"
#include "search/swap.h"
#include "search/tbr.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>
#include <string>

#include "data/data_util.h"
#include "data/vorn_util.h"
#include "data/vorn_data.h"
#include "parsimony/dollo_search.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_time.h"
#include "search/bootjack.h"
#include "search/condense.h"
#include "search/constrsearch.h"
#include "search/ecr.h"
#include "search/hitlist.h"
#include "search/hsprep.h"
#include "search/islands.h"
#include "search/repahead.h"
#include "search/nniswap.h"
#include "search/passhelpers.h"
#include "search/critscore.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "search/starttree.h"
#include "search/stepwise.h"
#include "cli/qel_cmdoptions.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treegen.h"
#include "trees/treeutil.h"

namespace {

const char *const kAddSeqNames[] = {"simple", "closest", "as is", "random", "furthest"};

struct HSearchRun {
    DataInfo *data = nullptr;
    HSearchData *hsd = nullptr;
    Tree *tree = nullptr;
    TreeBuffer *mainBuf = nullptr;
    TreeBuffer *startBuf = nullptr;
    RNG rng{};
    RNGSeed seed{};
    uint32_t addSeq = 0;
    uint32_t hold = 1;
    uint32_t nreps = 1;
    uint32_t rep = 0;
    uint32_t retained = 0;
    uint32_t limitedReps = 0;
    uint32_t statusLinesRep = 0;
    // What the last status row showed: a replicate's closing row repeats
    // nothing (a periodic row due right after an interrupt shows the same).
    struct Row {
        double rearrTried = -1;
        uint32_t saved = 0;
        int64_t toSwap = 0;
        bool operator==(const Row &) const = default;
    } lastRow;
    uint32_t abortTree = 0;
    // Starting trees of the replicate swapped from without being stored
    // (met before, or refused by a full buffer).
    uint32_t startUnstored = 0;
    bool randomAddition = false;
    // A fast stepwise replicate of a resampling run: one random-addition tree,
    // unswapped, drawn from the resampling's own random stream.
    bool fastStep = false;
    bool rooted = false;
    bool statusHeaderShown = false;
    bool fromMemory = false;
    bool stepwiseRunning = false;
    // The replicate began by stepwise addition and has shown no row since:
    // its next row shows the taxa added, all of them.
    bool taxaRowDue = false;
    bool fixedMaxtrees = false;  // this search fixed Maxtrees and unfixes it at the end
    bool ahead = false;          // a replicate run ahead of its turn on a worker thread
    // Waiting for the run ahead of the replicate due (run.rep): the status
    // rows show that run.
    bool awaitingAhead = false;
    bool aheadSettles = false;  // see AheadShared::settleStores
    // While replicates run ahead, what they share (the stepwise trees their
    // runs built, which a replicate run again here takes); null otherwise.
    struct AheadShared *aheadShared = nullptr;
    // The criterion whose estimates start warm while this search runs.
    const CriterionSearchFxns *warmBy = nullptr;
    uint32_t memFirst = 0;  // trees in memory chosen as starting trees
    uint32_t memLast = 0;
    uint32_t memVisible = 0;  // of those, the trees the filter leaves in view
    // What copying them did, reported after the settings.
    uint32_t memDichotomized = 0, memRedundant = 0, memIncompatible = 0;
};

uint32_t numSaved(const HSearchRun &run) { return numTreesInBuffer(run.mainBuf); }

double *mainScores(const HSearchRun &run) { return getTreeScoreArray(run.mainBuf); }

void truncateBuffer(TreeBuffer *buf, uint32_t keep)
{
    while (numTreesInBuffer(buf) > keep)
        decrementNumTrees(buf);
}

void randomPairFromRun(void *state, uint32_t n, uint32_t *a, uint32_t *b)
{
    randomPair(static_cast<RNG *>(state), n, a, b);
}

// ---------------------------------------------------------------------------
// Status table

// The heuristic search running now, whose status row the criterion's
// neighbour scoring may show; null between searches.
HSearchRun *gStatusRun = nullptr;

// A replicate's part of a status row: rearrangements tried and trees held
// beyond what the search's record counts, the trees still to be swapped
// (-1 none), and the replicate's best score.
struct AheadRow {
    double tried = 0.0;
    uint32_t saved = 0;
    int64_t toSwap = -1;
    double best = kNoScoreValue;
};

// The replicate run here: its counts are in the search's record, but for
// a better tree swapped in place, which is stored once it is swapped.
AheadRow replicateRow(const HSearchRun &run)
{
    const HSearchData *hsd = run.hsd;
    const uint32_t awaiting = swappedTreeAwaitsStore(hsd) ? 1 : 0;
    const uint32_t saved = numSaved(run) + awaiting;
    int64_t toSwap = saved > hsd->currentTree ? saved - hsd->currentTree : 0;
    if (hs.nbest > 0)
        toSwap = hsd->nbestCount + (hsd->swapping ? 1 : 0);
    toSwap += numTreesInBuffer(run.startBuf);
    return AheadRow{0.0, awaiting, toSwap == 0 ? -1 : toSwap, hsd->bestScoreRep};
}

AheadRow awaitedAheadRow(const HSearchRun &run);

void showStatusLine(HSearchRun &run, int32_t taxaAdded, bool closing = false)
{
    // A worker thread running ahead reports nothing.
    if (run.ahead)
        return;
    HSearchData *hsd = run.hsd;
    AheadRow now = run.stepwiseRunning ? AheadRow{0, 0, -2, hsd->bestScoreRep} : replicateRow(run);
    // The replicate due, run ahead on another thread: the trees it holds
    // follow those of the replicates before it, and its rearrangements are
    // the search's once it is taken (those of the other runs only if they
    // are taken in their turn, so they are not counted here).
    if (run.awaitingAhead)
        now = awaitedAheadRow(run);
    const double tried = hsd->rearrTriedTotal + now.tried;
    const uint32_t saved = numSaved(run) + now.saved;
    const int64_t toSwap = now.toSwap;
    const HSearchRun::Row row{tried, saved, toSwap};
    if (closing && row == run.lastRow)
        return;
    run.lastRow = row;
    // Inside a resampling (or other replicated) analysis the rows name its
    // replicate too: each of those is a search of its own, often long.
    const bool replicated = gSearchState.replicatedKind != 0;
    const std::string outerRep = replicated ? outerRepString() : std::string();
    if (!run.statusHeaderShown) {
        showHSearchStatusHeader(run.randomAddition, replicated);
        run.statusHeaderShown = true;
    }
    int32_t taxa = -1;
    if (run.stepwiseRunning) {
        taxa = taxaAdded;
    } else if (run.taxaRowDue) {
        taxa = static_cast<int32_t>(numSearchTaxa(run.data));
        run.taxaRowDue = false;
    }
    showHSearchStatusRow(run.randomAddition, searchElapsedString().c_str(), run.rep + 1, taxa, tried, saved,
                         toSwap, now.best, std::min(now.best, hsd->bestScoreOverall),
                         replicated ? outerRep.c_str() : nullptr);
    run.statusLinesRep++;
}

// ---------------------------------------------------------------------------
// Set-up

int checkNBestConflicts(bool randomAddition)
{
    if (hs.nbest <= 0)
        return 0;
    // Each replicate of a resampling or test keeps its best trees only.
    if (gSearchState.replicatedKind != 0)
        return qel_errorMsg(547,
                            "Saving the N best trees is not allowed with replicated searches.\tYou must turn off "
                            "previous request to save N best trees (e.g., \"defaults hsearch nbest=0;\" or "
                            "\"bootstrap/nbest=0;\")"),
               1;
    struct Conflict {
        bool on;
        const char *feature, *remedy;
    };
    const bool chuck = hs.chuckScore != 0.0;
    const Conflict conflicts[] = {
        {hs.retain != 0, "Retention of initial trees", "suppress retention of initial trees (Retain=No)"},
        {hs.steepest != 0, "Steepest-descent option", "suppress steepest descent (Steepest=No)"},
        {keepScoreInEffect() != 0.0, "Use of \"Keep\" score", "turn off keeping of suboptimal trees (Keep=0)"},
        {randomAddition, "Random addition-sequence", "use a different addition sequence (AddSeq=X)"},
        {srch.mulTrees && chuck, "Saving of no more than 'NChuck' trees of score >= 'ChuckScore'",
         "deactivate these options (NChuck=0, ChuckScore=0)"},
        {!srch.mulTrees, "'MulTrees=No'", "turn on the option to save multiple trees (MulTrees=Yes)"},
    };
    for (const Conflict &c : conflicts)
        if (c.on)
            return qel_errorMsg(546,
                                "%s is not supported when saving N best trees. Either turn off saving of N best "
                                "trees (NBest=0) or %s.",
                                c.feature, c.remedy),
                   1;
    return 0;
}

int checkHSearchOptions(HSearchRun &run)
{
    run.addSeq = hs.addSeq;
    run.hold = hs.hold > 0 ? static_cast<uint32_t>(hs.hold) : 1;
    run.fromMemory = hs.startSource == kStartCurrent || hs.startSource == kStartRange;
    run.randomAddition = hs.startSource == kStartStepwise && hs.addSeq == kAddSeqRandom;
    // The other sequences rank taxa by parsimony distances; criteria that
    // score whole trees add the taxa as they are.
    if (gCriterion != kCriterionParsimony && !run.randomAddition)
        run.addSeq = kAddSeqAsIs;
    if (hs.chuckScore != 0.0) {
        if (hs.nchuck == 0)
            return qel_errorMsg(520, "You must specify a value for 'NChuck' if 'ChuckScore' is nonzero."), 1;
        if (keepScoreInEffect() != 0.0)
            return qel_errorMsg(543,
                                "Options for keeping suboptimal trees ('Keep') and saving of no more than N trees "
                                "with scores greater than or equal to X ('ChuckScore' 'NChuck') are "
                                "incompatible."),
                   1;
        if (hs.abortRep && run.randomAddition && gSearchState.replicatedKind != 0)
            return qel_errorMsg(521,
                                "Aborting of random addition sequence replicates ('ChuckAbort') when saving no more "
                                "than N trees with scores greater than or equal to X is not allowed when performing "
                                "replicated searches."),
                   1;
    }
    if (hs.ecr && hs.swap == 0)
        return qel_errorMsg(0, "Contract-and-refine swapping (ECR=YES) needs branch swapping; it cannot be used "
                               "with SWAP=NONE."),
               1;
    if (hs.randomize && run.randomAddition && srch.enforce)
        return qel_errorMsg(544, "Using random trees as a starting point for branch swapping is not allowed when "
                                 "enforcing topological constraints."),
               1;
    if (checkNBestConflicts(run.randomAddition) != 0)
        return 1;
    if (run.fromMemory) {
        const uint32_t inMemory = numTreesInBuffer(getActiveTreeBuffer());
        if (inMemory == 0)
            return qel_errorMsg(504,
                                "There are no trees in memory from which to start branch swapping.\tYou must use "
                                "one of the other options for getting a starting tree."),
                   1;
        if (hs.swap == 0)
            return qel_errorMsg(503, "You must request stepwise addition, branch swapping or both."), 1;
    }
    return 0;
}

bool parsimonySearch() { return gCriterion == kCriterionParsimony; }

// The score of the run's work tree under the search's criterion.
double startingTreeScore(HSearchRun &run)
{
    if (parsimonySearch()) {
        pointTreeAtPackedData(run.tree, run.data);
        return calcParsimonyScore(run.data, run.tree, false);
    }
    return criterionTreeScore(run.tree, kNoScoreValue);
}

// A parsimony length that could not be had was reported as an overflow
// (error 516); swapping from it would report some other overflowing length
// as the result.
bool startScoreFailed(double score)
{
    return parsimonySearch() && score == kNoScoreValue && getTopolConstrained() >= 0;
}

// Chosen trees in memory into the starting buffer, dichotomised and scored.
int copyTreesToStartBuffer(HSearchRun &run)
{
    setStatusText("Calculating score(s) of starting tree(s)...");
    const uint32_t inMemory = numSaved(run);
    uint32_t first = 1, last = inMemory;
    if (hs.startSource == kStartRange) {
        first = static_cast<uint32_t>(hs.firstStartTree);
        last = std::min<uint32_t>(static_cast<uint32_t>(hs.lastStartTree), inMemory);
        if (first == 0 || first > last)
            return qel_errorMsg(505, "Invalid tree identifier(s) for starting tree(s)."), 1;
    }
    const bool memRooted = areTreesRooted(run.mainBuf);
    if (memRooted && !run.rooted)
        return qel_errorMsg(502,
                            "Rooted trees may not be used as the starting point unless directed characters are "
                            "present or an ancestor is included."),
               1;
    if (!memRooted && run.rooted)
        return qel_errorMsg(501,
                            "Unrooted trees may not be used as the starting point when directed characters are "
                            "present or an ancestor is included."),
               1;
    // Trees hidden by the filter are not the user's to start from.
    run.memVisible = 0;
    for (uint32_t k = first; k <= last; k++)
        run.memVisible += isTreeVisible(k - 1) ? 1 : 0;
    if (run.memVisible == 0)
        return qel_errorMsg(0, "All trees within the specified range of starting trees are hidden by filter."), 1;
    setRootededness(run.startBuf, memRooted);
    run.memFirst = first;
    run.memLast = last;
    uint32_t dichotomized = 0, redundant = 0, incompatible = 0;
    double *scores = getTreeScoreArray(run.startBuf);
    const int32_t constrained = getTopolConstrained();
    for (uint32_t k = first; k <= last; k++) {
        if (!isTreeVisible(k - 1))
            continue;
        if (getTree(run.mainBuf, k, run.tree) != 0)
            return 1;
        // Resolving a polytomy keeps every group, so a tree that breaks a
        // positive constraint breaks it resolved too.
        if (constrained > 0 && !searchTreeAllowed(run.tree)) {
            incompatible++;
            continue;
        }
        determineIfTreeIsBinary(run.tree);
        const bool binary = isTreeBinary(run.tree);
        if (!binary) {
            dichotomizeTree(run.tree, randomPairFromRun, &run.rng);
            setTraversalSeq(run.tree);
            dichotomized++;
        }
        const uint32_t slot = putTree(run.tree, run.startBuf, !binary);
        if (slot == kPutTreeDuplicate) {
            redundant++;
            continue;
        }
        if (isPutTreeFull(slot))
            return 1;
        // Under converse constraints a starting tree's length bounds nothing.
        scores[slot - 1] = constrained < 0 ? kNoScoreValue : startingTreeScore(run);
        if (startScoreFailed(scores[slot - 1]))
            return 1;
        if (getAbortedStatus() != 0 && confirmAbortRequest())
            return 2;
    }
    clearStatusText();
    run.memDichotomized = dichotomized;
    run.memRedundant = redundant;
    run.memIncompatible = incompatible;
    return numTreesInBuffer(run.startBuf) == 0 && !incompatible ? 1 : 0;
}

// What copyTreesToStartBuffer did to the trees, said once the settings are.
int showStartingTreeNotes(const HSearchRun &run)
{
    if (const uint32_t n = run.memIncompatible)
        qel_printf("   %u \bstarting %s incompatible with constraints will not be input to branch swapping\n", n,
                   n == 1 ? "tree" : "trees");
    if (numTreesInBuffer(run.startBuf) == 0)
        return qel_errorMsg(567, "All starting trees were rejected due to constraint incompatibility."), 1;
    if (const uint32_t n = run.memDichotomized) {
        qel_printf("%u \bnon-binary starting %s arbitrarily dichotomized before branch swapping", n,
                   n == 1 ? "tree" : "trees");
        if (const uint32_t r = run.memRedundant)
            qel_printf(" (%u %s became redundant with others upon dichotomization)", r, r == 1 ? "tree" : "trees");
        qel_printf("\n");
    }
    return 0;
}

bool userStopped() { return getAbortedStatus() != 0 && confirmAbortRequest(); }

}  // namespace

// The deadline of a time limit that starts now. Test hook: with
// VORN_TEST_TIME_LIMIT_MET set, a time limit is met the moment it starts, so
// that transcripts show what a limit does whatever the machine's speed or
// load.
uint64_t timeLimitDeadline(bool ownThread)
{
    const uint64_t now = searchClockNanos(ownThread);
    static const bool metAtOnce = std::getenv("VORN_TEST_TIME_LIMIT_MET") != nullptr;
    if (metAtOnce && hs.timeLimit > 0)
        return now;
    return searchDeadline(now, static_cast<uint32_t>(hs.timeLimit), kSearchClockPerSecond);
}

namespace {

// The time limit of the search, read by the criterion's scores too: one
// estimate of a large tree's parameters may outlast the limit's margin.
void setSearchDeadline(HSearchRun &run, uint64_t deadline)
{
    run.hsd->deadline = deadline;
    run.hsd->nextClockRead = 0;
    if (const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
        f && f->deadline && !run.ahead && !run.hsd->threadClock)
        f->deadline(deadline);
}

// ---------------------------------------------------------------------------
// Starting trees of one replicate

// A replicate run again, ahead of its turn (its run was called off) or
// here in its turn, takes the stepwise trees a run of it built before
// instead of building them again: they follow from the replicate's
// starting stream state alone (defined with the runs ahead below).
bool reuseAheadStepwise(HSearchRun &run, double *score);

// Between the connections of stepwise addition: the user's stop request,
// the time limit and, when due, the status row with the taxa added so far
// (where each join is a whole-tree score; a parsimony addition is over
// long before a row is due).
int stepwisePoll(void *ctx, uint32_t taxaAdded)
{
    auto &run = *static_cast<HSearchRun *>(ctx);
    if (searchStopRequested())
        return 2;
    if (searchDeadlinePassed(run.hsd->deadline, run.hsd->nextClockRead, run.hsd->threadClock))
        return 3;
    if (!run.ahead && !parsimonySearch() && searchStatusDue())
        showStatusLine(run, static_cast<int32_t>(taxaAdded));
    return 0;
}
void keepAheadStepwise(const HSearchRun &run, const RNG &start, double score);
// A run ahead says where the stream stands as it begins to swap a tree:
// the first time, and whenever resolving a polytomy drew from it.
void noteAheadDraws(const HSearchRun &run, bool drew);
// Where a run ahead's log of stored trees passes from its starting trees
// to those found by swapping.
void noteAheadStartingTrees(const HSearchRun &run);
// A run ahead about to swap tree k of its buffer (0: its rounds are over)
// notes where it stands; true when it is to stop there instead, because an
// earlier replicate met a tree it stores (the search takes it up to there).
bool aheadSwapPoint(const HSearchRun &run, uint32_t k);
// doSwappingRounds' result for a run ahead stopped so.
constexpr int kAheadStopped = -3;

int getStartingTrees(HSearchRun &run)
{
    HSearchData *hsd = run.hsd;
    hsd->duplicateOf = 0;
    if (hs.nbest > 0) {
        hsd->nbestCount = 0;
        hsd->worstScore = kLowestScore;
    }
    if (hs.startSource == kStartNJ) {
        // One starting tree, the same in every replicate: the NJ tree of the
        // matrix of the current criterion, scored as the search scores.
        emptyTreeBuffer(run.startBuf, true);
        const int r = makeNJStartingTree(run.data, run.tree);
        if (r != 0)
            return r == 2 ? 2 : 1;
        // Emptying the buffer released its scores; the swapping reads them.
        double *scores = allocArrayOf<double>(getTreeBufferCapacity(run.startBuf));
        if (!scores)
            return 1;
        setTreeScoreArray(run.startBuf, scores);
        const uint32_t slot = putTree(run.tree, run.startBuf, false);
        if (slot == kPutTreeDuplicate || isPutTreeFull(slot))
            return 1;
        // Under converse constraints the tree is built to satisfy the
        // constraint, so it is only swapped from (scored below if admitted).
        hsd->bestScoreRep = scores[slot - 1] =
            getTopolConstrained() < 0 ? kNoScoreValue : startingTreeScore(run);
        if (startScoreFailed(scores[slot - 1]))
            return 1;
    } else if (!run.fromMemory && run.randomAddition && hs.randomize) {
        // A random tree, every topology equally likely, in place of the
        // stepwise tree.
        emptyTreeBuffer(run.startBuf, true);
        const int r = makeRandomEqProbTree(run.tree, numSearchTaxa(run.data), run.rooted, false, &run.rng);
        if (r != 0)
            return r == 2 ? 2 : 1;
        double *scores = allocArrayOf<double>(getTreeBufferCapacity(run.startBuf));
        if (!scores)
            return 1;
        setTreeScoreArray(run.startBuf, scores);
        const double score = startingTreeScore(run);
        if (startScoreFailed(score))
            return 1;
        const uint32_t slot = putTree(run.tree, run.startBuf, false);
        if (slot == kPutTreeDuplicate || isPutTreeFull(slot))
            return 1;
        hsd->bestScoreRep = scores[slot - 1] = score;
        if (hs.rstatus)
            qel_printf("    score of random starting tree = %s\n", treeScoreToString(0, score).c_str());
    } else if (!run.fromMemory) {
        emptyTreeBuffer(run.startBuf, true);
        double score = kNoScoreValue;
        if (!run.aheadShared || !reuseAheadStepwise(run, &score)) {
            // Named, not made active: replicates run ahead on other threads
            // while this one may build its own starting tree.
            const StepwisePoll poll{stepwisePoll, &run};
            const StepwiseOptions options{run.addSeq,   run.hold, static_cast<uint32_t>(hs.refTax),
                                          run.rooted,   true,     &poll};
            const RNG start = run.rng;
            run.stepwiseRunning = true;
            const int r = addStepwise(run.data, run.tree, options, &run.rng, nullptr, &score, run.startBuf);
            run.stepwiseRunning = false;
            if (r != 0) {
                emptyTreeBuffer(run.startBuf, true);
                return r == 2 || r == 3 ? r : 1;
            }
            if (run.ahead)
                keepAheadStepwise(run, start, score);
        }
        hsd->bestScoreRep = score;
    } else {
        hsd->bestScoreRep = kNoScoreValue;
    }
    // An allocation that failed on the way (a score array, a tree's copy)
    // leaves starting trees that cannot be swapped from.
    if (memoryErrorHasOccurred()) {
        emptyTreeBuffer(run.startBuf, true);
        return 1;
    }
    hsd->firstTreeRep = numSaved(run) + 1;
    hsd->currentTree = hsd->firstBestGroup = hsd->firstTreeRep;
    hsd->lastTreeRound = hsd->firstTreeRep - 1;
    setMaxScoreToSave(hsd);

    // Under converse constraints a worse starting tree may be the way to
    // trees that violate the constraint: every one is swapped from.
    const bool nonMinAllowed = hs.useNonMin || run.randomAddition || getTopolConstrained() < 0;
    const uint32_t n = numTreesInBuffer(run.startBuf);
    double *startScores = getTreeScoreArray(run.startBuf);
    if (n > 0 && !startScores)
        return 1;
    // Under converse constraints starting trees come unscored: one the
    // constraint admits gets its score, or it would be kept as worse than
    // every neighbour; the others are swapped from but never stored.
    if (getTopolConstrained() < 0)
        for (uint32_t i = 1; i <= n; i++) {
            getTree(run.startBuf, i, run.tree);
            if (searchTreeAllowed(run.tree)) {
                startScores[i - 1] = startingTreeScore(run);
                hsd->bestScoreRep = std::min(hsd->bestScoreRep, startScores[i - 1]);
            }
        }
    if (run.fromMemory)
        for (uint32_t i = 0; i < n; i++)
            hsd->bestScoreRep = std::min(hsd->bestScoreRep, startScores[i]);
    setMaxScoreToSave(hsd);
    std::string keep(n, 0);
    uint32_t dropped = 0;
    // The N best are kept from more than N starting trees by taking the
    // best first; in buffer order the first N would fill the buffer.
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 1u);
    if (hs.nbest > 0 && n > static_cast<uint32_t>(hs.nbest))
        std::stable_sort(order.begin(), order.end(), [startScores](uint32_t a, uint32_t b) {
            return compareScores(startScores[a - 1], startScores[b - 1]) < 0;
        });
    for (const uint32_t i : order) {
        const double s = startScores[i - 1];
        const bool pass = hs.nbest > 0 ? numSaved(run) < static_cast<uint32_t>(hs.nbest)
                                        : compareScores(s, hsd->maxScoreToSave) <= 0;
        if (!pass) {
            if (nonMinAllowed)
                keep[i - 1] = 1;
            else
                dropped++;
            continue;
        }
        getTree(run.startBuf, i, run.tree);
        const uint32_t k = collapseAndSave(hsd, run.tree, s);
        if (k == kPutTreeDuplicate || isPutTreeFull(k)) {
            keep[i - 1] = 1;
            const uint32_t match = hsd->earlierMatch ? hsd->earlierMatch : getMatchingTree(run.mainBuf);
            if (k == kPutTreeDuplicate && match && (hsd->earlierMatch || match < hsd->firstTreeRep))
                hsd->duplicateOf = match;
        } else if (hs.nbest > 0) {
            updateNbest(hsd, k, s);
        }
        hsd->bestScoreRep = std::min(hsd->bestScoreRep, s);
    }
    // The starting trees stored are the N best so far: the worst of them is
    // the bar a neighbour must pass, or no neighbour passes once N are held.
    if (hs.nbest > 0)
        findWorstTree(hsd);
    setMaxScoreToSave(hsd);
    if (dropped && hs.swap != 0)
        qel_printf("  %d \bstarting %s of score > %s will not be input to branch swapping\n", dropped,
                   dropped == 1 ? "tree" : "trees", treeScoreToString(0, hsd->maxScoreToSave).c_str());
    // Only the trees that could not be stored stay to be swapped from here.
    uint32_t w = 0;
    for (uint32_t i = 1; i <= n; i++)
        if (keep[i - 1] && ++w != i)
            moveTrees(run.startBuf, i, w, 1, false);
    truncateBuffer(run.startBuf, w);
    rehashTreeBuffer(run.startBuf);
    return 0;
}

// ---------------------------------------------------------------------------
// Swapping

int swapCurrentTree(HSearchRun &run, double score)
{
    Tree *tree = run.tree;
    determineIfTreeIsBinary(tree);
    const bool binary = isTreeBinary(tree);
    if (!binary) {
        dichotomizeTree(tree, randomPairFromRun, &run.rng);
        setTraversalSeq(tree);
        // Resolving a polytomy leaves a parsimony length as it was, not a fit.
        if (!parsimonySearch())
            score = startingTreeScore(run);
    }
    if (run.ahead)
        noteAheadDraws(run, !binary);
    tree->score[0] = score;
    setMaxScoreToSave(run.hsd);
    if ((hs.swap >= 2 || hs.ecr) && parsimonySearch()) {
        // The cut-and-reconnect and contract-and-refine swappers score from
        // every node's state sets.
        pointTreeAtPackedData(tree, run.hsd->data);
        prepareTreeForSwapping(tree, run.hsd->data);
        // Its new layout is one the swappers could do without, but the
        // failure was reported: the search ends as it says.
        if (memoryErrorHasOccurred())
            return 1;
    }
    const int r = swapTree(run.hsd, tree);
    if (!run.ahead && searchStatusDue())
        showStatusLine(run, -1);
    return r;
}

// Swaps tree k of the main buffer; a result that ends the rounds names k
// as the tree being swapped.
int swapKeptTree(HSearchRun &run, uint32_t k)
{
    HSearchData *hsd = run.hsd;
    hsd->currentTree = k;
    // A rounding tie of a tree swapped already has its neighbours.
    if (isRoundingTie(hsd, k))
        return 0;
    getTree(run.mainBuf, k, run.tree);
    const int r = swapCurrentTree(run, mainScores(run)[k - 1]);
    if (r > 0 || r == -2)
        run.abortTree = k;
    return r;
}

// The swapping of the replicate's trees; `resumed`: the starting trees are
// swapped already and the rounds go on after hsd->currentTree (0: from the
// replicate's first tree), as where a run ahead was taken up to.
int doSwappingRounds(HSearchRun &run, bool resumed = false)
{
    HSearchData *hsd = run.hsd;
    if (!resumed) {
        hsd->currentTree = 0;
        for (uint32_t i = 1; i <= numTreesInBuffer(run.startBuf); i++) {
            getTree(run.startBuf, i, run.tree);
            hsd->currentTree = 0;
            hsd->lastTreeRound = numSaved(run);
            const int r = swapCurrentTree(run, getTreeScoreArray(run.startBuf)[i - 1]);
            if (r > 0 || r == -2) {
                run.abortTree = hsd->currentTree;
                return r;
            }
        }
    }
    emptyTreeBuffer(run.startBuf, true);
    if (hs.nbest > 0) {
        // A new tree may take the slot of a worse tree swapped long ago, so
        // the trees to swap are those listed as they were stored, not the
        // trees after the last one swapped.
        while (const uint32_t k = takeNextNbestTree(hsd)) {
            if (const int r = swapKeptTree(run, k); r > 0 || r == -2)
                return r;
        }
        return 0;
    }
    // A better tree swapped in place above was stored first.
    uint32_t k = hsd->currentTree ? hsd->currentTree + 1 : hsd->firstTreeRep;
    while (k <= numSaved(run)) {
        // A round: the trees saved so far; those saved during it wait for the next.
        hsd->lastTreeRound = numSaved(run);
        while (k <= hsd->lastTreeRound) {
            if (run.ahead && aheadSwapPoint(run, k))
                return kAheadStopped;
            if (const int r = swapKeptTree(run, k); r > 0 || r == -2)
                return r;
            k = hsd->currentTree + 1;
        }
        // Steepest descent kept the round's trees when it found a better one;
        // now that the round is over only the better group stays.
        if (hsd->firstBestGroup > hsd->firstTreeRep) {
            const uint32_t group = numSaved(run) - hsd->firstBestGroup + 1;
            moveTrees(run.mainBuf, hsd->firstBestGroup, hsd->firstTreeRep, group, false);
            truncateBuffer(run.mainBuf, hsd->firstTreeRep + group - 1);
            rehashTreeBuffer(run.mainBuf);
            hsd->firstBestGroup = k = hsd->firstTreeRep;
        }
    }
    if (run.ahead)
        aheadSwapPoint(run, 0);
    return 0;
}

// ---------------------------------------------------------------------------
// Random-addition bookkeeping

const char *treeWord(uint32_t n) { return n == 1 ? "tree" : "trees"; }

// The best score of trees first..last of the main buffer; `met` when they
// are not scored.
double bestStoredScore(const HSearchRun &run, uint32_t first, uint32_t last, double met)
{
    const double *scores = mainScores(run);
    if (!scores || first > last || first == 0)
        return met;
    return *std::min_element(scores + first - 1, scores + last);
}

void finishRandomReplicate(HSearchRun &run, int result)
{
    HSearchData *hsd = run.hsd;
    const uint32_t first = hsd->firstTreeRep;
    const uint32_t saved = numSaved(run);
    const uint32_t stored = saved >= first ? saved - first + 1 : 0;
    // A better tree the full buffer refused was met but not kept: the
    // replicate's line and island speak of the trees it kept.
    const double b = result == 1 && hsd->overflowed ? bestStoredScore(run, first, saved, hsd->bestScoreRep)
                                                    : hsd->bestScoreRep;
    const double B = hsd->bestScoreOverall;
    const int cmp = compareScores(b, B);
    if (result == -2) {
        if (hs.rstatus)
            qel_printf("    %d trees of score %s found, abandoning replicate\n", static_cast<int>(stored),
                       treeScoreToString(0, b).c_str());
        truncateBuffer(run.mainBuf, first - 1);
        doUnsavedIsland(b, stored);
        return;
    }
    // Under KEEP every tree within the keep score stays, whichever
    // replicate found it.
    const bool keep = hsd->rules.keepActive;
    const double keepScore = hsd->rules.keepScore;
    const bool withinKeep = keep && compareScores(b, keepScore) <= 0;
    if (stored == 0) {
        if (hsd->duplicateOf) {
            if (hs.rstatus && hs.steepest) {
                qel_printf("    no new optimal trees were found\n");
            } else if (hs.rstatus) {
                if (withinKeep)
                    qel_printf("    tree satisfying \"KEEP\" score identical to tree #%u,\n", hsd->duplicateOf);
                else
                    qel_printf("    %soptimal tree (score=%s) identical to tree #%d,\n",
                               hs.saveReps && cmp > 0 ? "sub" : "", treeScoreToString(0, b).c_str(),
                               static_cast<int>(hsd->duplicateOf));
                qel_printf("      skipping to next replicate\n");
            }
            incrementIslandCount(hsd->duplicateOf);
        } else if (run.startUnstored > 0 && b < kNoScoreValue && result != 2) {
            // A buffer full before the replicate stored anything: its trees
            // are an island of their own, kept by score and size only.
            if (hs.rstatus)
                qel_printf("    %d %s%s found (score=%s), discarded\n", static_cast<int>(run.startUnstored),
                           cmp > 0 ? "suboptimal " : "", treeWord(run.startUnstored), treeScoreToString(0, b).c_str());
            doUnsavedIsland(b, run.startUnstored);
        }
        return;
    }
    if (cmp > 0 && !hs.saveReps && !withinKeep) {
        if (hs.rstatus)
            qel_printf("    %d suboptimal %s found (score=%s), discarded\n", static_cast<int>(stored),
                       treeWord(stored), treeScoreToString(0, b).c_str());
        truncateBuffer(run.mainBuf, first - 1);
        // A replicate stopped by the user never reached its island: its
        // discarded trees are no island of their own.
        if (result != 2)
            doUnsavedIsland(b, stored);
        return;
    }
    uint32_t islandFirst = first;
    const bool improved = cmp < 0;
    if (improved) {
        const bool earlierWithinKeep = keep && compareScores(B, keepScore) <= 0;
        if (!hs.saveReps && !earlierWithinKeep && first > run.retained + 1) {
            markIslandsUnsaved();
            moveTrees(run.mainBuf, first, run.retained + 1, stored, false);
            truncateBuffer(run.mainBuf, run.retained + stored);
            rehashTreeBuffer(run.mainBuf);
            islandFirst = run.retained + 1;
        }
        hsd->bestScoreOverall = b;
    }
    if (hs.rstatus) {
        const char *word = run.rep == 0 ? "" : improved ? "better " : "additional ";
        if (!withinKeep) {
            qel_printf("    %d %s%s found (score=%s)\n", static_cast<int>(stored), word, treeWord(stored),
                       treeScoreToString(0, b).c_str());
        } else if (compareScores(b, keepScore) == 0) {
            qel_printf("    %d %s%s of score %s found\n", static_cast<int>(stored), word, treeWord(stored),
                       treeScoreToString(0, keepScore).c_str());
        } else {
            qel_printf("    %d %s%s of score %s or better found\n", static_cast<int>(stored), word, treeWord(stored),
                       treeScoreToString(0, keepScore).c_str());
            qel_printf("      (best of these = %s)\n", treeScoreToString(0, b).c_str());
        }
    }
    addNewIsland(islandFirst, islandFirst + stored - 1, stored, b);
}

void beginReplicate(HSearchRun &run)
{
    HSearchData *hsd = run.hsd;
    setStatusText("Doing heuristic search...");
    IslandContext ctx{run.retained, run.rep, hs.swap == 0 || !hsd->rules.mulTrees, srch.keep != 0.0,
                      srch.keep, hsd->rules.chuckActive, static_cast<uint32_t>(hs.nchuck)};
    setIslandContext(ctx);
    if (hs.limitPerRep && hs.timeLimit > 0)
        setSearchDeadline(run, timeLimitDeadline(hsd->threadClock));
    hsd->rearrTriedRep = 0;
    run.statusLinesRep = 0;
    run.taxaRowDue = hs.startSource == kStartStepwise && !(run.randomAddition && hs.randomize);
    if (hs.rstatus && run.randomAddition) {
        qel_printf("  Random-addition-sequence replicate %d:\n", static_cast<int>(run.rep + 1));
        qel_printf("    %d %s in memory at start of replicate\n", static_cast<int>(numSaved(run)),
                   treeWord(numSaved(run)));
    }
}

// A time or rearrangement limit met while the starting trees were built
// ends the replicate as one met while swapping does.
bool limitResult(int r) { return r == 3 || r == 4; }

// The replicate's starting trees and their swapping. *early is set when
// no starting tree was had: the search ends at once with the result.
int searchReplicate(HSearchRun &run, bool *early)
{
    *early = false;
    // Each replicate starts afresh: the subtree the last replicate moved
    // last names nothing in this replicate's trees.
    setLastMovedSubtree(run.tree, nullptr);
    run.startUnstored = 0;
    int r = getStartingTrees(run);
    if (r != 0) {
        *early = true;
        return r;
    }
    run.startUnstored = numTreesInBuffer(run.startBuf);
    if (run.ahead)
        noteAheadStartingTrees(run);
    if (hs.swap != 0 && (numSaved(run) >= run.hsd->firstTreeRep || numTreesInBuffer(run.startBuf) > 0))
        r = doSwappingRounds(run);
    emptyTreeBuffer(run.startBuf, true);
    return r;
}

// The replicate's trees judged against the others'; -1 to go on with the
// next replicate, otherwise the search's result.
int endReplicate(HSearchRun &run, int r)
{
    HSearchData *hsd = run.hsd;
    if (run.statusLinesRep > 1)
        showStatusLine(run, -1, true);
    if (!run.randomAddition) {
        hsd->bestScoreOverall = hsd->bestScoreRep;
        return r > 0 ? r : 0;
    }
    // A replicate stopped by the user, or by a buffer with no room left, is
    // judged like a finished one, so that the buffer holds the best trees
    // found so far and the summary quotes their score and island.
    finishRandomReplicate(run, r);
    if (r == 1 || r == 2)
        return r;
    if (r == 3 || r == 4) {
        if (!hs.limitPerRep)
            return r;
        run.limitedReps++;
    }
    // Inside a replicated analysis a buffer that is full and may not grow
    // ends the outer replicate with the trees it holds. It is said after the
    // last addition sequence too: the outer replicate's trees are then those
    // the buffer had room for, not all its searches found.
    if (hsd->rules.replicated && putTreeRefusesAll(run.mainBuf)) {
        if (hs.rstatus)
            qel_printf("      tree buffer is full; skipping to next %s replicate\n", outerReplicateName());
        return 0;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Random-addition replicates run ahead of their turn
//
// A replicate's course depends on the trees earlier replicates left in the
// buffer (a tree met again ends in "identical to tree #k"; the buffer may
// fill), and on where the random stream stands when it begins (resolving a
// polytomy of a stored tree draws from it too). Workers run replicates
// ahead as if the buffer held the retained trees only, each from the stream
// state the replicate would have if the replicates before it drew nothing
// but their addition sequences; a tree an earlier replicate was seen
// storing counts as one the buffer holds. The replicates are then taken in
// order: a run that began from the right state, whose trees taken as held
// are in the buffer and whose stored trees are not, and that could not have
// met the Maxtrees limit went exactly as it would have here, and its trees
// are stored as it would have stored them; any other is run again here.
// Whatever a run ahead draws besides its sequence moves the starts of the
// later replicates, which are then run again from there.

uint32_t gHSearchThreads = 0;  // 0: every processor the process may use
AheadCounts gAheadCounts;

struct AheadResult final : AheadRun {
    RNG start{}, end{};
    int result = 0;
    bool early = false;
    bool spoiled = false;
    uint8_t overflowed = 0;
    uint8_t steepestTruncated = 0;
    double bestScoreRep = kNoScoreValue;
    double rearrTried = 0.0;
    uint32_t duplicateOf = 0;
    uint32_t peakSaved = 0;
    std::vector<uint8_t> storedLog;  // every tree stored, one encoding per bytesPerTree
    size_t startLogged = 0;          // of storedLog, the bytes of the starting trees
    std::vector<uint8_t> assumed;    // every tree taken as held by the buffer, likewise
    // The trees its full buffer refused unread before it stored any, in
    // order (keptTreeAhead), likewise: the first of them the buffer holds
    // in the replicate's turn is the tree the replicate met again.
    std::vector<uint8_t> refused;
    uint32_t bytesPerTree = 0;
    TreeBuffer *trees = nullptr;     // the trees the replicate kept, in order
    std::vector<double> scores;
    AheadMaxtrees maxtrees;
    // Where the run stood each time it was about to swap a tree of its
    // buffer, and once more as its rounds ended: the points the search may
    // take it up to and go on from, with the trail of what it met between.
    struct SwapPoint {
        RNG rng{};
        double rearrTried = 0.0;
        double bestScore = kNoScoreValue;
        uint32_t k = 0;          // the tree to swap, from the replicate's first on; 0: the rounds ended
        uint32_t events = 0;     // of the trail, those before the point
        uint32_t peakSaved = 0;
        int32_t lastMoved = -1;  // the node of the subtree moved last; -1 none
        bool limitMet = false;   // the run met the Maxtrees limit as it plays it
        bool resolved = false;   // the tree swapped next had polytomies, resolved from the stream
        uint8_t overflowed = 0;
    };
    std::vector<SwapPoint> points;
    AheadTrail trail;
    bool stoppedAtPoint = false;  // an earlier replicate met a tree it stores: it stopped at its last point
    uint32_t startUnstored = 0;   // starting trees it swapped unstored (met before)
    double startScore = kNoScoreValue;  // the score of the one such tree
    ~AheadResult() override { destroyTreeBuffer(trees); }
};

// The trees a replicate's stepwise addition built from stream state
// `start`, their best score, and the state it left the stream in.
struct StepwiseMemo {
    RNG start{}, end{};
    double score = kNoScoreValue;
    TreeBufferHandle trees;
};
constexpr size_t kStepwiseMemos = 4;

// What the runs ahead share: which replicate was first seen storing each
// tree, and each replicate's stepwise trees. A run meeting a tree an
// earlier replicate stores takes it as a tree the buffer will hold in its
// turn (as the search here would find it there); whether it does is checked
// when the replicate is taken. Such a meeting calls off the later
// replicate, most often just as its stepwise tree is stored, so a run called
// off keeps the stepwise trees for the next run of its replicate.
constexpr uint32_t kNoReplicate = 0xFFFFFFFFu;

struct AheadShared {
    std::mutex mutex;
    std::unordered_map<std::string, uint32_t> firstRep;  // a tree's encoding: lowest replicate storing it
    // By replicate: the stepwise trees of each start its runs began from
    // (one guessed wrong beside the right one), the latest last.
    std::vector<std::vector<StepwiseMemo>> stepwise;
    uint32_t stepwiseReused = 0;
    ReplicatesAhead *pool = nullptr;
    // One tree per replicate, each better tree swapped in place: a tree the
    // replicate stores that an earlier one turns out to keep only goes
    // unstored, and the replicate's course is the same, so its run is
    // settled when taken instead of run again (see aheadRunHolds).
    bool settleStores = false;
    // The status row of the replicate awaited, as its run last told it;
    // rowRep: the replicate it is of (kNoReplicate: none yet).
    std::mutex rowMutex;
    uint32_t rowRep = kNoReplicate;
    AheadRow row;
    // Under a Maxtrees limit that may not grow, the runs play the limit
    // (AheadMaxtrees). A run takes the buffer to hold in its turn what it
    // holds when the run begins, or the whole limit when it begins after
    // `fullAfter`: a buffer full stays full (a replicate stores nothing
    // more), and one replicate that fills it most often follows another.
    // Guarded by the mutex.
    bool playsMaxtrees = false;
    uint32_t maxtrees = 0;
    uint32_t fullAfter = kNoReplicate;
    uint32_t savedNow = 0;   // trees in the buffer as the replicate awaited begins
    uint32_t awaited = 0;
    // The same, read without the lock by runs deciding whether they may
    // take the pass helpers.
    std::atomic<uint32_t> awaitedNow{0};
    // MulTrees: a run that stored a tree an earlier replicate then met goes
    // on only to its next swap point, and is taken in its turn as far as
    // the trees the earlier replicates left let it go as the search here
    // would (see planAheadTake). By replicate, how often that happened.
    bool resumes = false;
    std::unique_ptr<std::atomic<uint32_t>[]> metEarlier;
};

// Stands for the number, not known yet, of a buffer tree a run ahead met.
// (kNoReplicate, above, for no replicate.)
constexpr uint32_t kEarlierTreeUnknown = 0xFFFFFFFFu;

// One worker's own copy of everything a replicate writes: the data set's
// record with a parsimony record (state sets, step counts) of its own, the
// trees, a buffer holding the retained trees, and the search record.
struct AheadContext {
    DataInfo data{};
    HSearchRun run;
    uint32_t storeCap = 0;
    AheadShared *shared = nullptr;
    uint32_t rep = 0;
    RNG start{};  // the stream state the run of rep began from
    bool drawsNoted = false;
    std::vector<uint8_t> scratch;
    // The trees taken as held by the buffer, one encoding per bytesPerTree;
    // the last of them is the one kEarlierTreeUnknown stands for.
    std::vector<uint8_t> *assumed = nullptr;
    size_t *startLogged = nullptr;
    AheadResult *result = nullptr;  // of the run under way
    uint32_t metEarlierSeen = 0;    // AheadShared::metEarlier of rep as the run began
    AheadContext() = default;
    AheadContext(const AheadContext &) = delete;
    AheadContext &operator=(const AheadContext &) = delete;
    ~AheadContext()
    {
        destroyHSearchData(run.hsd);
        destroyTreeBuffer(run.startBuf);
        destroyTreeBuffer(run.mainBuf);
        destroyTree(run.tree, true);
        destroyParsRecordClone(data.pars);
    }
};

// A run ahead's status poll: the replicate awaited tells the search where
// it stands, for the row the search shows while it waits.
void publishAheadRow(HSearchData *hsd)
{
    AheadContext &c = *static_cast<AheadContext *>(hsd->aheadContext);
    if (c.rep != c.shared->awaitedNow.load(std::memory_order_relaxed))
        return;
    AheadRow row = replicateRow(c.run);
    row.tried = hsd->rearrTriedRep;
    const uint32_t held = numSaved(c.run);
    row.saved += held > c.run.retained ? held - c.run.retained : 0;
    std::lock_guard lock(c.shared->rowMutex);
    c.shared->rowRep = c.rep;
    c.shared->row = row;
}

AheadRow awaitedAheadRow(const HSearchRun &run)
{
    AheadShared &shared = *run.aheadShared;
    std::lock_guard lock(shared.rowMutex);
    return shared.rowRep == run.rep ? shared.row : AheadRow{};
}

// The checks' switches (setAheadRunsBlind, setAheadTakesHalf).
std::atomic<bool> gAheadRunsBlind{false};
std::atomic<bool> gAheadTakesHalf{false};

// Before a run ahead stores a tree: 0 to store it, or kEarlierTreeUnknown
// when an earlier replicate was seen storing it (the search here would find
// it in the buffer). A later replicate that stored the tree first would
// have found the tree in the buffer: with MulTrees its run stops at its next
// swap point (see planAheadTake), otherwise it runs again.
uint32_t earlierTreeOf(HSearchData *hsd, Tree *tree)
{
    AheadContext &c = *static_cast<AheadContext *>(hsd->aheadContext);
    TreeBuffer *own = c.run.mainBuf;
    c.scratch.assign(own->bytesPerTree, 0);
    const uint32_t pairs = treeToCompactRep(own, tree, c.scratch.data(), tree->specialNode);
    if (pairs == 0)
        return 0;
    if (gAheadRunsBlind.load(std::memory_order_relaxed))
        return 0;
    const std::string key(reinterpret_cast<const char *>(c.scratch.data()), size_t{pairs} * 2 * own->elemWidth);
    bool earlier = false;
    uint32_t later = 0;
    {
        std::lock_guard lock(c.shared->mutex);
        auto [at, fresh] = c.shared->firstRep.try_emplace(key, c.rep);
        if (!fresh && at->second < c.rep)
            earlier = true;
        else if (!fresh && at->second > c.rep)
            later = std::exchange(at->second, c.rep);
    }
    if (later && c.shared->resumes)
        c.shared->metEarlier[later].fetch_add(1, std::memory_order_relaxed);
    else if (later && !c.shared->settleStores)
        c.shared->pool->restart(later);
    if (!earlier)
        return 0;
    if (hsd->trail)
        hsd->trail->note(AheadTrail::kMetEarlier, static_cast<uint32_t>(c.assumed->size() / own->bytesPerTree));
    c.assumed->insert(c.assumed->end(), c.scratch.begin(), c.scratch.end());
    return kEarlierTreeUnknown;
}

// A run's log of trees refused unread grows with the neighbours of the
// trees it swaps; past this many it is of no more use than one run again.
constexpr size_t kMostRefused = 8192;

bool keptTreeOf(HSearchData *hsd, Tree *tree, uint32_t *match)
{
    AheadContext &c = *static_cast<AheadContext *>(hsd->aheadContext);
    TreeBuffer *own = c.run.mainBuf;
    c.scratch.assign(own->bytesPerTree, 0);
    if (treeToCompactRep(own, tree, c.scratch.data(), tree->specialNode) == 0)
        return false;
    // The run's buffer holds the retained trees alone, which the buffer
    // holds in the replicate's turn under the same numbers.
    if ((*match = compactRepInBuffer(own, c.scratch.data())) != 0) {
        if (hsd->trail)
            hsd->trail->note(AheadTrail::kMetRetained, *match);
        return true;
    }
    std::vector<uint8_t> &log = c.result->refused;
    if (log.size() >= kMostRefused * own->bytesPerTree)
        return false;
    log.insert(log.end(), c.scratch.begin(), c.scratch.end());
    return true;
}

// The first tree the run's full buffer refused unread that the buffer
// holds now, or 0.
uint32_t firstRefusedHeld(const HSearchRun &run, const AheadResult &a)
{
    for (size_t at = 0; at < a.refused.size(); at += a.bytesPerTree)
        if (const uint32_t k = compactRepInBuffer(run.mainBuf, a.refused.data() + at))
            return k;
    return 0;
}

bool sameStream(const RNG &a, const RNG &b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z && a.c == b.c && a.legacy == b.legacy;
}

bool reuseAheadStepwise(HSearchRun &run, double *score)
{
    AheadShared &shared = *run.aheadShared;
    std::lock_guard lock(shared.mutex);
    const std::vector<StepwiseMemo> &memos = shared.stepwise[run.rep];
    const auto it = std::find_if(memos.begin(), memos.end(),
                                 [&](const StepwiseMemo &m) { return m.trees && sameStream(m.start, run.rng); });
    if (it == memos.end())
        return false;
    const StepwiseMemo &m = *it;
    if (!getTreeScoreArray(run.startBuf))
        if (double *scores = allocArrayOf<double>(getTreeBufferCapacity(run.startBuf)))
            setTreeScoreArray(run.startBuf, scores);
    if (!getTreeScoreArray(run.startBuf) || copyTreeBuffer(m.trees.get(), run.startBuf) != 0) {
        emptyTreeBuffer(run.startBuf, true);
        return false;
    }
    run.rng = m.end;
    *score = m.score;
    shared.stepwiseReused++;
    return true;
}

void keepAheadStepwise(const HSearchRun &run, const RNG &start, double score)
{
    AheadContext &c = *static_cast<AheadContext *>(run.hsd->aheadContext);
    // Without a copy the next run only builds the trees again.
    TreeBufferHandle copy(cloneTreeBuffer(run.startBuf, false));
    if (!copy)
        return;
    std::lock_guard lock(c.shared->mutex);
    std::vector<StepwiseMemo> &memos = c.shared->stepwise[c.rep];
    std::erase_if(memos, [&](const StepwiseMemo &m) { return sameStream(m.start, start); });
    if (memos.size() >= kStepwiseMemos)
        memos.erase(memos.begin());
    StepwiseMemo &m = memos.emplace_back();
    m.start = start;
    m.end = run.rng;
    m.score = score;
    m.trees = std::move(copy);
}

// Most draws besides the sequence come as the stepwise tree, stored with
// its unsupported branches collapsed, is resolved to be swapped: early in
// the run. Saying so then starts the later replicates again from the right
// state at once, instead of when this one is taken, when their runs, begun
// from a state guessed wrong, would all be thrown away.
void noteAheadDraws(const HSearchRun &run, bool drew)
{
    AheadContext &c = *static_cast<AheadContext *>(run.hsd->aheadContext);
    // The tree swapped after the last swap point (none yet: a starting tree
    // swapped unstored) had polytomies to resolve.
    if (c.result && !c.result->points.empty())
        c.result->points.back().resolved = drew;
    if (!drew && c.drawsNoted)
        return;
    c.drawsNoted = true;
    c.shared->pool->revise(c.rep, c.start, run.rng);
}

void noteAheadStartingTrees(const HSearchRun &run)
{
    AheadContext &c = *static_cast<AheadContext *>(run.hsd->aheadContext);
    *c.startLogged = run.hsd->storedLog ? run.hsd->storedLog->size() : 0;
    c.result->startUnstored = numTreesInBuffer(run.startBuf);
    if (c.result->startUnstored == 1)
        c.result->startScore = getTreeScoreArray(run.startBuf)[0];
}

bool aheadSwapPoint(const HSearchRun &run, uint32_t k)
{
    HSearchData *hsd = run.hsd;
    AheadContext &c = *static_cast<AheadContext *>(hsd->aheadContext);
    if (!hsd->trail || hsd->trail->full)
        return false;
    AheadResult &out = *c.result;
    AheadResult::SwapPoint &p = out.points.emplace_back();
    p.rng = run.rng;
    p.rearrTried = hsd->rearrTriedRep;
    p.bestScore = hsd->bestScoreRep;
    p.k = k ? k - hsd->firstTreeRep + 1 : 0;
    p.events = static_cast<uint32_t>(hsd->trail->events.size());
    p.peakSaved = hsd->peakSaved;
    const TreeNode *moved = lastMovedSubtree(run.tree);
    p.lastMoved = moved ? static_cast<int32_t>(moved - run.tree->nodes) : -1;
    p.limitMet = hsd->aheadMaxtrees && hsd->aheadMaxtrees->met;
    p.overflowed = hsd->overflowed;
    if (hsd->aheadMaxtrees)
        hsd->aheadMaxtrees->points = static_cast<uint32_t>(out.points.size());
    // Past here the run goes on from trees the search will not hold: what it
    // finds is thrown away, and its processor is the next run's.
    out.stoppedAtPoint =
        k != 0 && c.shared->metEarlier[c.rep].load(std::memory_order_relaxed) != c.metEarlierSeen;
    return out.stoppedAtPoint;
}

// A run that fills the buffer: the replicates after the one awaited are
// taken to find it full, and those begun otherwise run again.
void aheadMaxtreesMet(HSearchData *hsd)
{
    AheadContext &c = *static_cast<AheadContext *>(hsd->aheadContext);
    AheadShared &shared = *c.shared;
    uint32_t from = kNoReplicate;
    {
        std::lock_guard lock(shared.mutex);
        if (hsd->aheadMaxtrees->base >= shared.maxtrees || shared.fullAfter <= shared.awaited)
            return;
        shared.fullAfter = shared.awaited;
        from = shared.awaited + 1;
    }
    shared.pool->rerunFrom(from);
}

uint32_t aheadThreadCount(const HSearchRun &run)
{
    if (!run.randomAddition || run.nreps < 2 || !parsimonySearch() || gSearchState.replicatedKind != 0 ||
        hs.randomize || srch.enforce || hs.ecr || hs.swap == 1 || hs.nbest > 0 ||
        gPars.threshold || gPars.goloboff ||
        (hs.rearrLimit > 0 && !hs.limitPerRep))
        return 1;
    const int32_t n = gHSearchThreads ? static_cast<int32_t>(gHSearchThreads) : availableProcessors();
    return static_cast<uint32_t>(std::clamp<int64_t>(n, 1, run.nreps));
}

// Under a time limit per replicate with replicates run side by side, each
// replicate is the work of one thread, timed by that thread's CPU time (a
// pass split among helpers would be timed by its owner's share alone).
bool perReplicateThreadClock(const HSearchRun &run)
{
    return hs.limitPerRep && hs.timeLimit > 0 && run.randomAddition && aheadThreadCount(run) > 1;
}

std::unique_ptr<AheadContext> makeAheadContext(const HSearchRun &run, uint32_t storeCap, AheadShared *shared)
{
    auto c = std::make_unique<AheadContext>();
    c->shared = shared;
    c->data = *run.data;
    // The copied record names the caller's parsimony record until its own
    // is made, and the context frees the record it names: a copy that
    // throws must leave it naming none.
    c->data.pars = nullptr;
    c->data.pars = cloneParsRecordForThread(run.data);
    if (!c->data.pars)
        return nullptr;
    HSearchRun &w = c->run;
    w.data = &c->data;
    w.addSeq = run.addSeq;
    w.hold = run.hold;
    w.nreps = run.nreps;
    w.retained = run.retained;
    w.randomAddition = true;
    w.rooted = run.rooted;
    w.ahead = true;
    w.aheadShared = shared;
    c->storeCap = storeCap;
    const uint32_t ntax = numSearchTaxa(run.data);
    w.tree = createSearchTree(&c->data);
    w.startBuf = createTreeBuffer(ntax, run.hold + 1, false, true, false);
    w.mainBuf = cloneTreeBuffer(run.mainBuf, false);
    if (!w.tree || !w.startBuf || !w.mainBuf)
        return nullptr;
    if (!getTreeScoreArray(w.mainBuf))
        if (double *scores = allocArrayOf<double>(getTreeBufferCapacity(w.mainBuf)))
            setTreeScoreArray(w.mainBuf, scores);
    if (!getTreeScoreArray(w.mainBuf))
        return nullptr;
    std::copy_n(mainScores(run), run.retained, getTreeScoreArray(w.mainBuf));
    // The record names its own buffer from the start: the active buffer is
    // the caller's, and this may run on a worker thread.
    w.hsd = createHSearchData(&c->data, ntax, run.hsd->rules, false, w.mainBuf);
    if (!w.hsd)
        return nullptr;
    w.hsd->startBuf = w.startBuf;
    w.hsd->fxns = run.hsd->fxns;
    w.hsd->rearrLimit = run.hsd->rearrLimit;
    w.hsd->reconLimit = run.hsd->reconLimit;
    w.hsd->deadline = run.hsd->deadline;
    w.hsd->nextClockRead = 0;
    w.hsd->threadClock = run.hsd->threadClock;
    w.hsd->aheadContext = c.get();
    w.hsd->statusPoll = publishAheadRow;
    return c;
}

std::unique_ptr<AheadRun> runReplicateAhead(AheadContext &c, uint32_t rep, const RNG &start,
                                             const std::atomic<bool> &cancel)
{
    setSearchCancelFlag(&cancel);
    // A run that fails is run again in its turn, which reports the failure.
    const QuietMessagesOnThisThread quiet;
    auto out = std::make_unique<AheadResult>();
    HSearchRun &run = c.run;
    HSearchData *hsd = run.hsd;
    run.rng = out->start = start;
    run.rep = c.rep = rep;
    c.start = start;
    c.drawsNoted = false;
    c.assumed = &out->assumed;
    c.startLogged = &out->startLogged;
    c.result = out.get();
    if (c.shared->resumes) {
        c.metEarlierSeen = c.shared->metEarlier[rep].load(std::memory_order_relaxed);
        hsd->trail = &out->trail;
    }
    truncateBuffer(run.mainBuf, run.retained);
    rehashTreeBuffer(run.mainBuf);
    hsd->rearrTriedRep = hsd->rearrTriedTotal = 0.0;
    hsd->bestScoreRep = hsd->bestScoreOverall = kNoScoreValue;
    hsd->overflowed = hsd->steepestTruncated = hsd->aheadSpoiled = 0;
    hsd->peakSaved = run.retained;
    hsd->storeCap = c.storeCap;
    hsd->storedLog = &out->storedLog;
    if (c.shared->playsMaxtrees) {
        AheadMaxtrees &m = out->maxtrees;
        {
            std::lock_guard lock(c.shared->mutex);
            m.base = c.shared->fullAfter < rep ? c.shared->maxtrees : c.shared->savedNow;
        }
        const uint32_t limit = std::max(c.shared->maxtrees, run.retained);
        m.base = std::clamp(m.base, run.retained, limit);
        m.fullAt = run.retained + (limit - m.base);
        m.treeOffset = m.base - run.retained;
        hsd->aheadMaxtrees = &m;
    }
    if (hs.limitPerRep && hs.timeLimit > 0) {
        hsd->deadline = timeLimitDeadline(hsd->threadClock);
        hsd->nextClockRead = 0;
    }
    out->result = searchReplicate(run, &out->early);
    hsd->storedLog = nullptr;
    hsd->aheadMaxtrees = nullptr;
    hsd->trail = nullptr;
    c.result = nullptr;
    setSearchCancelFlag(nullptr);
    out->end = run.rng;
    // A run stopped at a swap point leaves the stream short of where the
    // replicate does.
    if (!cancel.load(std::memory_order_relaxed) && !out->stoppedAtPoint)
        c.shared->pool->revise(rep, start, run.rng);
    out->spoiled = hsd->aheadSpoiled != 0;
    out->overflowed = hsd->overflowed;
    out->steepestTruncated = hsd->steepestTruncated;
    out->bestScoreRep = hsd->bestScoreRep;
    out->rearrTried = hsd->rearrTriedRep;
    out->duplicateOf = hsd->duplicateOf;
    out->peakSaved = hsd->peakSaved;
    out->bytesPerTree = run.mainBuf->bytesPerTree;
    const uint32_t saved = numSaved(run);
    if (!out->early && saved >= hsd->firstTreeRep) {
        out->trees = createTreeBuffer(run.mainBuf->ntax, saved - hsd->firstTreeRep + 2, false, false, false);
        if (!out->trees) {
            out->spoiled = true;
            return out;
        }
        setRootededness(out->trees, areTreesRooted(run.mainBuf));
        for (uint32_t k = hsd->firstTreeRep; k <= saved; k++) {
            if (appendTreeToBuffer(run.mainBuf, k, out->trees) != 0) {
                out->spoiled = true;
                break;
            }
            out->scores.push_back(mainScores(run)[k - 1]);
        }
    }
    return out;
}

std::atomic<bool> gAheadStartGuesses{true};
std::atomic<uint32_t> gAheadProcessors{0};

// Whether the run ahead went as the replicate would go here, now.
bool aheadRunHolds(const HSearchRun &run, const AheadResult &a, bool stopped)
{
    if (a.spoiled || a.early || a.result == 1 || (a.result == 2 && !stopped) || a.stoppedAtPoint ||
        !sameStream(a.start, run.rng))
        return false;
    // A run that met the Maxtrees limit went as the replicate here only if
    // the buffer holds what the run took it to hold; one that did not meet
    // it must not have met it here either.
    const uint32_t held = numSaved(run);
    if (a.maxtrees.met ? held != a.maxtrees.base
                       : uint64_t{held} + a.peakSaved - run.retained >= getMaxtreesValue())
        return false;
    for (size_t at = 0; at < a.assumed.size(); at += a.bytesPerTree)
        if (compactRepInBuffer(run.mainBuf, a.assumed.data() + at) == 0)
            return false;
    // A tree it stored that the buffer holds now was met by an earlier
    // replicate after the run stored it: the search here would have found
    // it in the buffer. With one tree per replicate, each better one
    // swapped in place, that changes nothing but where the tree is kept
    // (see takeAheadRun); a starting tree, though, would have been swapped
    // from the starting trees, resolved otherwise.
    const bool settles = run.aheadSettles && (!a.trees || numTreesInBuffer(a.trees) <= 1);
    const size_t from = settles ? a.startLogged : a.storedLog.size();
    for (size_t at = 0; at < from; at += a.bytesPerTree)
        if (compactRepInBuffer(run.mainBuf, a.storedLog.data() + at) != 0)
            return false;
    for (size_t at = from; at < a.storedLog.size(); at += a.bytesPerTree)
        if (compactRepInBuffer(run.mainBuf, a.storedLog.data() + at) != 0) {
            gAheadCounts.settled++;
            break;
        }
    return true;
}

// What a run ahead taken to its end leaves in the search's counts and
// flags, and where it leaves the random stream: the replicate's result.
int takeRunToItsEnd(HSearchRun &run, const AheadResult &a)
{
    HSearchData *hsd = run.hsd;
    hsd->rearrTriedRep = a.rearrTried;
    hsd->rearrTriedTotal += a.rearrTried;
    hsd->overflowed |= a.overflowed;
    hsd->steepestTruncated |= a.steepestTruncated;
    run.rng = a.end;
    return a.result;
}

// Stores the run's trees as the replicate would have stored them here.
int takeAheadRun(HSearchRun &run, const AheadResult &a)
{
    HSearchData *hsd = run.hsd;
    for (const AheadMaxtrees::Note &note : a.maxtrees.notes)
        showMaxtreesHit(note.tree, note.score);
    hsd->firstTreeRep = numSaved(run) + 1;
    const uint32_t n = a.trees ? numTreesInBuffer(a.trees) : 0;
    uint32_t dupKept = 0;
    for (uint32_t j = 1; j <= n; j++) {
        if (getTree(a.trees, j, run.tree) != 0)
            return 1;
        const uint32_t k = putTree(run.tree, run.mainBuf, true);
        if (k == kPutTreeDuplicate && run.aheadSettles && n == 1) {
            // The replicate's tree, met by an earlier one since: the last
            // store it tried, so the one it is identical to.
            dupKept = getMatchingTree(run.mainBuf);
            continue;
        }
        if (k == kPutTreeDuplicate || isPutTreeFull(k))
            return 1;
        mainScores(run)[k - 1] = a.scores[j - 1];
    }
    hsd->bestScoreRep = a.bestScoreRep;
    run.startUnstored = a.startUnstored;
    hsd->duplicateOf = a.duplicateOf;
    if (a.duplicateOf == kEarlierTreeUnknown)
        hsd->duplicateOf = compactRepInBuffer(run.mainBuf, a.assumed.data() + a.assumed.size() - a.bytesPerTree);
    if (dupKept)
        hsd->duplicateOf = dupKept;
    if (const uint32_t k = firstRefusedHeld(run, a))
        hsd->duplicateOf = k;
    return takeRunToItsEnd(run, a);
}

// A MulTrees run taken up to a point. The search here would have gone as
// the run did for as long as the trees the earlier replicates left in the
// buffer change nothing it does: a tree the run stored that the buffer
// holds is not stored here but met again, which changes which tree is
// swapped next only once the run comes to swap it (or, the trees here
// numbered without it, a tree after it); a tree the run took as an earlier
// one's must be in the buffer. Up to the first such point the run is the
// search's; from there the search goes on itself.
struct AheadPlan {
    bool whole = false;   // the run went as the search here would to its end
    int32_t point = -1;   // otherwise the point to go on from; -1: run again
    std::vector<uint32_t> trees;  // the trees held here for the replicate then (numbers in the run's log)
    uint32_t current = 0;         // the tree swapped last then, from the replicate's first on; 0 none
    uint32_t duplicateOf = 0;     // the earlier tree met last then
    bool metBefore = false;       // the buffer here holds a tree the run stored
    bool startTree = false;       // kStoredHere in trees: the run's starting tree, stored here
};

constexpr uint32_t kNoPoint = 0xFFFFFFFFu;
// Among the trees a run took as earlier ones': one the search here stores
// itself (its starting tree). Among the trees held here: that tree.
constexpr uint32_t kStoredHere = 0xFFFFFFFFu;

// The replicate's buffer in the run and here, and what the search here met.
struct AheadReplay {
    std::vector<uint32_t> run, here;  // numbers in the run's log, in buffer order
    uint32_t runCurrent = 0, current = 0;
    uint32_t duplicateOf = 0;
};

// Follows the run's trail as the search here goes with `held` (for each
// tree of the run's log, its number in the buffer here, or 0) and
// `earlierHeld` (the same for the trees taken as earlier ones'); with
// `startSwappedFirst` the search here swaps the run's starting tree from
// its starting buffer, met before, where the run swapped it at its first
// point. Stops at point `stop` with the state there. Returns how many points, from the
// first on, the search here shares the run's state at; *toEnd: it goes as
// the run did to the run's end.
uint32_t replayAheadRun(const AheadResult &a, const std::vector<uint32_t> &held,
                        const std::vector<uint32_t> &earlierHeld, bool startSwappedFirst, uint32_t stop,
                        AheadReplay &st, bool *toEnd)
{
    *toEnd = false;
    size_t e = 0;
    const auto follow = [&](size_t upTo) {
        for (; e < upTo; e++) {
            const uint32_t event = a.trail.events[e];
            const uint32_t what = event & ~AheadTrail::kKindMask;
            switch (event & AheadTrail::kKindMask) {
            case AheadTrail::kStore:
                st.run.push_back(what);
                if (held[what])
                    st.duplicateOf = held[what];
                else
                    st.here.push_back(what);
                break;
            case AheadTrail::kMetOwn:
                if (held[what])
                    st.duplicateOf = held[what];
                break;
            case AheadTrail::kMetRetained:
                st.duplicateOf = what;
                break;
            case AheadTrail::kMetEarlier:
                if (earlierHeld[what] == kStoredHere)
                    break;  // the replicate's own starting tree here
                if (!earlierHeld[what])
                    return false;  // stored here
                st.duplicateOf = earlierHeld[what];
                break;
            default:  // kDropped: a better tree swapped in place
                st.run.clear();
                st.here.clear();
                st.runCurrent = st.current = 1;
            }
        }
        return true;
    };
    const auto n = static_cast<uint32_t>(a.points.size());
    for (uint32_t p = 0; p < n; p++) {
        const AheadResult::SwapPoint &pt = a.points[p];
        if (!follow(pt.events))
            return p;
        if (p == stop)
            return p + 1;
        const uint32_t runNext = st.runCurrent + 1, next = st.current + 1;
        if (pt.k == 0) {
            // The run's rounds ended here; the search's end with them when it
            // has swapped every tree it holds.
            if (next > st.here.size())
                *toEnd = follow(a.trail.events.size());
            return p + 1;
        }
        // The run swaps the tree after the one it swapped last, as the search
        // here does; where the two are not the same tree they part.
        if (pt.k != runNext || runNext > st.run.size())
            return 0;  // not the course the trail tells: trust none of it
        if (startSwappedFirst && p == 0) {
            // Swapped here with no tree of the buffer current.
            st.runCurrent = runNext;
            continue;
        }
        if (next > st.here.size() || st.here[next - 1] != st.run[runNext - 1])
            return p + 1;
        st.runCurrent = runNext;
        st.current = next;
    }
    *toEnd = follow(a.trail.events.size());
    return n;
}

// Loads a tree the run encoded into run.tree.
bool loadLoggedTree(HSearchRun &run, const AheadResult &a, const uint8_t *encoding)
{
    TreeBufferHandle one(createTreeBuffer(run.mainBuf->ntax, 2, false, false, false));
    if (!one || one->bytesPerTree != a.bytesPerTree)
        return false;
    setRootededness(one.get(), areTreesRooted(run.mainBuf));
    std::memcpy(treeLocation(one.get(), 0), encoding, a.bytesPerTree);
    incrementNumTrees(one.get());
    return getTree(one.get(), 1, run.tree) == 0;
}

// Whether the run's one starting tree, swapped unstored as an earlier
// replicate's tree, is stored here instead and is one the run's own
// swapping takes as it was built (no branch of it collapses).
bool startStoredHereOnly(HSearchRun &run, const AheadResult &a, const std::vector<uint32_t> &earlierHeld)
{
    if (a.startLogged != 0 || a.startUnstored != 1 || a.trail.events.empty() ||
        (a.trail.events[0] & AheadTrail::kKindMask) != AheadTrail::kMetEarlier)
        return false;
    const uint32_t start = a.trail.events[0] & ~AheadTrail::kKindMask;
    if (earlierHeld[start] != 0 || !loadLoggedTree(run, a, a.assumed.data() + size_t{start} * a.bytesPerTree))
        return false;
    determineIfTreeIsBinary(run.tree);
    return isTreeBinary(run.tree);
}

AheadPlan planAheadTake(HSearchRun &run, const AheadResult &a)
{
    AheadPlan plan;
    if (a.early || a.trail.full || (a.result == 1 && !a.spoiled) || a.result == 2 || !sameStream(a.start, run.rng))
        return plan;
    const uint32_t bytes = a.bytesPerTree;
    std::vector<uint32_t> held(a.storedLog.size() / bytes), earlierHeld(a.assumed.size() / bytes);
    bool anyHeld = false;
    for (size_t i = 0; i < held.size(); i++)
        anyHeld |= (held[i] = compactRepInBuffer(run.mainBuf, a.storedLog.data() + i * bytes)) != 0;
    for (size_t i = 0; i < earlierHeld.size(); i++)
        earlierHeld[i] = compactRepInBuffer(run.mainBuf, a.assumed.data() + i * bytes);
    // A starting tree met before stays here as it was built and is swapped
    // from the starting buffer: as the run swapped it from its own buffer
    // only where it is the one starting tree and had no branch to collapse
    // (the run resolved what it collapsed, drawing from the stream).
    const size_t starting = a.startLogged / bytes;
    bool startSwappedFirst = false;
    if (std::any_of(held.begin(), held.begin() + static_cast<ptrdiff_t>(starting), [](uint32_t k) { return k != 0; })) {
        if (starting != 1 || a.startUnstored != 0 || a.points.empty() || a.points[0].k != 1 || a.points[0].resolved)
            return plan;
        startSwappedFirst = true;
    }
    // The run's one starting tree, taken as an earlier replicate's tree that
    // the buffer here does not hold: the search here stores it and swaps it
    // from there first, as the run swapped it from its starting buffer,
    // where storing it collapsed nothing (else it is resolved from the
    // stream). It then holds one tree more than the run.
    const bool startStoredHere = startStoredHereOnly(run, a, earlierHeld);
    uint32_t extra = 0;
    AheadReplay first;
    if (startStoredHere) {
        const uint8_t *tree = a.assumed.data() + size_t{a.trail.events[0] & ~AheadTrail::kKindMask} * bytes;
        for (size_t i = 0; i < earlierHeld.size(); i++)
            if (std::memcmp(a.assumed.data() + i * bytes, tree, bytes) == 0)
                earlierHeld[i] = kStoredHere;
        first.here.push_back(kStoredHere);
        first.current = 1;
        extra = 1;
    }
    plan.metBefore = anyHeld;
    AheadReplay st = first;
    bool toEnd = false;
    const uint32_t shared = replayAheadRun(a, held, earlierHeld, startSwappedFirst, kNoPoint, st, &toEnd);
    // The Maxtrees limit: the buffer here must not have filled where the
    // run's did not; where the run met the limit as it plays it, the buffer
    // here must have held what the run took it to hold, and the run's trees
    // be all stored here (a tree not stored here leaves room the run had not).
    const uint32_t savedHere = numSaved(run);
    const auto limitAsRun = [&](bool met, uint32_t peak) {
        return met ? savedHere == a.maxtrees.base && !anyHeld && !extra
                   : uint64_t{savedHere} + extra + peak - run.retained < getMaxtreesValue();
    };
    const bool halfOnly = gAheadTakesHalf.load(std::memory_order_relaxed);
    if (toEnd && !a.stoppedAtPoint && !a.spoiled && (a.result == 0 || limitResult(a.result)) &&
        limitAsRun(a.maxtrees.met, a.peakSaved) && !halfOnly) {
        plan.whole = true;
        plan.startTree = startStoredHere;
        plan.trees = std::move(st.here);
        plan.duplicateOf = st.duplicateOf;
        return plan;
    }
    // Which of the trees refused unread the buffer holds is known for the
    // whole run only.
    if (!a.refused.empty())
        return plan;
    uint32_t usable = std::min<uint32_t>(shared, static_cast<uint32_t>(a.points.size()));
    if (halfOnly)
        usable = (usable + 1) / 2;
    for (uint32_t p = usable; p-- > 0;) {
        if (startSwappedFirst && p == 0)
            break;  // the search here is still at its starting tree there
        if (limitAsRun(a.points[p].limitMet, a.points[p].peakSaved)) {
            plan.point = static_cast<int32_t>(p);
            break;
        }
    }
    if (plan.point < 0)
        return plan;
    AheadReplay at = first;
    replayAheadRun(a, held, earlierHeld, startSwappedFirst, static_cast<uint32_t>(plan.point), at, &toEnd);
    plan.startTree = startStoredHere;
    plan.trees = std::move(at.here);
    plan.current = at.current;
    plan.duplicateOf = at.duplicateOf;
    return plan;
}

// Stores trees of the run's log, by their numbers there (kStoredHere: its
// starting tree), as the search here stores them.
bool putLoggedTrees(HSearchRun &run, const AheadResult &a, const AheadPlan &plan)
{
    const uint32_t start = plan.startTree ? a.trail.events[0] & ~AheadTrail::kKindMask : 0;
    for (uint32_t i : plan.trees) {
        const bool own = i == kStoredHere;
        const uint8_t *encoding = own ? a.assumed.data() + size_t{start} * a.bytesPerTree
                                      : a.storedLog.data() + size_t{i} * a.bytesPerTree;
        if (!loadLoggedTree(run, a, encoding))
            return false;
        const uint32_t k = putTree(run.tree, run.mainBuf, true);
        if (k == kPutTreeDuplicate || isPutTreeFull(k))
            return false;
        mainScores(run)[k - 1] = own ? a.startScore : a.trail.scores[i];
    }
    return true;
}

// Takes the run as far as the plan says and, short of its end, goes on
// swapping from there; the replicate's result.
int takeAheadPlan(HSearchRun &run, const AheadResult &a, const AheadPlan &plan)
{
    HSearchData *hsd = run.hsd;
    const uint32_t upTo = plan.whole ? kNoPoint : static_cast<uint32_t>(plan.point);
    for (const AheadMaxtrees::Note &note : a.maxtrees.notes)
        if (note.point <= upTo)
            showMaxtreesHit(note.tree, note.score);
    hsd->firstTreeRep = numSaved(run) + 1;
    if (!putLoggedTrees(run, a, plan))
        return 1;
    run.startUnstored = a.startUnstored;
    hsd->duplicateOf = plan.duplicateOf;
    if (const uint32_t k = firstRefusedHeld(run, a))
        hsd->duplicateOf = k;
    if (plan.whole) {
        hsd->bestScoreRep = a.bestScoreRep;
        return takeRunToItsEnd(run, a);
    }
    const AheadResult::SwapPoint &p = a.points[static_cast<size_t>(plan.point)];
    hsd->bestScoreRep = p.bestScore;
    hsd->rearrTriedRep = p.rearrTried;
    hsd->rearrTriedTotal += p.rearrTried;
    hsd->overflowed |= p.overflowed;
    run.rng = p.rng;
    hsd->currentTree = plan.current ? hsd->firstTreeRep - 1 + plan.current : 0;
    hsd->firstBestGroup = hsd->firstTreeRep;
    hsd->lastTreeRound = numSaved(run);
    setMaxScoreToSave(hsd);
    emptyTreeBuffer(run.startBuf, true);
    setLastMovedSubtree(run.tree, p.lastMoved >= 0 ? run.tree->nodes + p.lastMoved : nullptr);
    const int r = doSwappingRounds(run, true);
    emptyTreeBuffer(run.startBuf, true);
    return r;
}

// Once a replicate is over, whether the buffer is full (and stays full) is
// known: the guess the runs of the later replicates began from is set
// right, and those begun from the wrong one run again.
void settleFullAfter(const HSearchRun &run, AheadShared &shared, ReplicatesAhead &pool)
{
    {
        std::lock_guard lock(shared.mutex);
        const bool full = numSaved(run) >= shared.maxtrees;
        if (full ? shared.fullAfter <= run.rep : shared.fullAfter > run.rep)
            return;
        shared.fullAfter = full ? run.rep : kNoReplicate;
    }
    pool.rerunFrom(run.rep + 1);
}

constexpr int kAheadUnavailable = -100;
constexpr int kAheadOutOfMemory = -101;  // unavailable: a worker could not prepare

// The search goes on as on one processor, which the user would otherwise
// take for the thread setting's doing. Called once the threads and their
// copies are gone: what they freed goes back to the system, for the one
// thread to take.
void goOnOneThreadForMemory(uint32_t threads)
{
    qel_printf("Not enough memory for %u search threads; searching on one thread.\n", threads);
    malloc_trim(0);
}

// helpers: the pass helpers of the search, dropped with the runs ahead
// when a worker runs out of memory (the search then runs as on one thread).
int runReplicatesAhead(HSearchRun &run, uint32_t threads, std::unique_ptr<PassHelpers> &helpers)
{
    std::vector<std::unique_ptr<AheadContext>> contexts(threads);
    AheadShared shared;
    shared.stepwise.resize(run.nreps);
    shared.settleStores = !srch.mulTrees && srch.keep == 0.0 && !hs.steepest && !hs.allSwap && run.hold == 1 &&
                          !run.hsd->rules.chuckActive;
    // Steepest descent and allSwap keep a round's trees past a better one,
    // and the NChuck limit counts the trees stored: there the trees met
    // before change more than the next tree to swap.
    shared.resumes = srch.mulTrees && srch.keep == 0.0 && !hs.steepest && !hs.allSwap && !run.hsd->rules.chuckActive;
    if (shared.resumes)
        shared.metEarlier = std::make_unique<std::atomic<uint32_t>[]>(run.nreps);
    // Steepest descent and allSwap number the trees of a round in ways the
    // run's own buffer cannot show; there the runs stop short of the limit.
    shared.playsMaxtrees = isMaxtreesFixed() && !hs.steepest && !hs.allSwap;
    shared.maxtrees = getMaxtreesValue();
    shared.savedNow = numSaved(run);
    const uint32_t storeCap = shared.playsMaxtrees ? 0 : getMaxtreesValue();
    const uint32_t ntax = numSearchTaxa(run.data);
    const auto next = [ntax](RNG *state) { randomAdditionOrder(state, ntax); };
    // Spare workers stand by for the runs that tell the next start, while
    // the runs they take the processors from wait (see limitProcessors).
    // Not with MulTrees: there the replicate awaited splits its passes, and
    // the runs ahead give way to those passes instead.
    const uint32_t spare = srch.mulTrees ? 0 : threads;
    contexts.resize(threads + spare);
    ReplicatesAhead pool(threads + spare, run.nreps, 2 * threads,
                         [&contexts](uint32_t w, uint32_t rep, const RNG &start, const std::atomic<bool> &cancel) {
                             return runReplicateAhead(*contexts[w], rep, start, cancel);
                         },
                         run.rng, next);
    const uint32_t cpus = gAheadProcessors.load(std::memory_order_relaxed);
    pool.limitProcessors(cpus > 0 ? std::min(cpus, threads) : threads);
    shared.pool = &pool;
    // Resolving the stepwise tree's polytomies draws two numbers for each
    // branch it had collapsed: most often one or two such branches on
    // hundreds of taxa, sometimes none.
    if (gAheadStartGuesses.load(std::memory_order_relaxed))
        pool.guessDraws([](RNG *state) { randUniRaw(state); }, {1, 0, 2, 0, 1});
    // Each worker copies the data and buffer for itself, all at once, so
    // the first replicates start without waiting on one copy after another.
    // Nothing here may change what they copy until every copy is made.
    pool.start([&](uint32_t w) { return (contexts[w] = makeAheadContext(run, storeCap, &shared)) != nullptr; });
    if (!pool.waitPrepared())
        return pool.preparedOutOfMemory() ? kAheadOutOfMemory : kAheadUnavailable;
    gAheadCounts = {};
    gAheadCounts.threads = threads;
    run.aheadSettles = shared.settleStores;
    run.aheadShared = &shared;
    // However the search ends, its runs ahead are counted once every
    // worker has let go of the last of them.
    struct FinalCount {
        ReplicatesAhead &pool;
        AheadShared &shared;
        HSearchRun &run;
        ~FinalCount()
        {
            pool.stop();
            run.aheadShared = nullptr;
            gAheadCounts.calledOff = pool.calledOff();
            gAheadCounts.ranAhead = pool.begun();
            gAheadCounts.stepwiseReused = shared.stepwiseReused;
            gAheadCounts.gaveWay = pool.gaveWay();
        }
    } finalCount{pool, shared, run};
    // Set once a worker ran out of memory: the rest of the search runs here.
    bool alone = false;
    for (run.rep = 0; run.rep < run.nreps; run.rep++) {
        beginReplicate(run);
        // A stop asked before the replicate began ends the search as the
        // replicate's first step would end it.
        if (userStopped())
            return 2;
        bool stopped = false;
        std::unique_ptr<AheadRun> taken;
        if (!alone) {
            {
                std::lock_guard lock(shared.mutex);
                shared.awaited = run.rep;
                shared.savedNow = numSaved(run);
            }
            shared.awaitedNow.store(run.rep, std::memory_order_relaxed);
            run.awaitingAhead = true;
            taken = pool.take(run.rep, std::chrono::milliseconds(100), [&] {
                if (searchStatusDue())
                    showStatusLine(run, -1);
                stopped = userStopped();
                return stopped;
            });
            run.awaitingAhead = false;
            if (stopped)
                taken = pool.stopAndTake(run.rep);
        }
        // A worker ran out of memory: the runs ahead end, their copies are
        // given back, and this replicate and the rest run here, as on one
        // thread; the trees stored so far stay.
        if (!alone && !taken && !stopped && pool.takenOutOfMemory()) {
            alone = true;
            pool.stop();
            for (auto &c : contexts)
                c.reset();
            setPassHelpers(nullptr);
            helpers.reset();
            goOnOneThreadForMemory(threads);
        }
        const auto *a = static_cast<const AheadResult *>(taken.get());
        int r = 2;
        AheadPlan plan;
        const bool planned = a && shared.resumes && !stopped && !a->trail.full;
        if (planned)
            plan = planAheadTake(run, *a);
        // Counted where the run is kept: one taken and found not to hold
        // is run again here from the start then known.
        const bool guessed = a && pool.takenFromGuess();
        if (plan.whole || plan.point >= 0) {
            gAheadCounts.fromGuesses += guessed;
            r = takeAheadPlan(run, *a, plan);
            if (plan.whole) {
                gAheadCounts.taken++;
                gAheadCounts.settled += plan.metBefore;
            } else {
                gAheadCounts.resumed++;
            }
        } else if (a && !planned && aheadRunHolds(run, *a, stopped)) {
            r = takeAheadRun(run, *a);
            gAheadCounts.taken++;
            gAheadCounts.fromGuesses += guessed;
            if (stopped)
                r = 2;
        } else if (stopped) {
            // The replicate under way keeps nothing here.
            if (a && a->early)
                return 2;
            run.hsd->firstTreeRep = numSaved(run) + 1;
            run.hsd->duplicateOf = 0;
            run.startUnstored = 0;
        } else {
            gAheadCounts.rerunHere += !alone;
            bool early = false;
            r = searchReplicate(run, &early);
            if (early && !limitResult(r))
                return r;
        }
        if (!stopped && searchStatusDue())
            showStatusLine(run, -1);
        if (!stopped && !alone)
            pool.settle(run.rep + 1, run.rng);
        if ((r = endReplicate(run, r)) >= 0)
            return r;
        if (shared.playsMaxtrees && !alone)
            settleFullAfter(run, shared, pool);
    }
    return 0;
}

// The threads that help split one tree's pass: one fewer than the search
// may use, where the pass is scored as evaluateNeighbors_TBR splits it
// (parsimony lengths, SPR or TBR, each move offered as it is found). With
// replicates run ahead they serve MulTrees searches alone: there a
// replicate swapping many stored trees draws from the stream as it goes,
// so the runs after it are guesses until it ends, and its passes are the
// work to share. With one tree per replicate the runs ahead hold, and
// share the processors better than split passes would.
uint32_t passHelperCount(const HSearchRun &run)
{
    if (aheadThreadCount(run) > 1 && (!srch.mulTrees || perReplicateThreadClock(run)))
        return 0;
    if (!parsimonySearch() || gSearchState.replicatedKind != 0 || srch.enforce || hs.ecr || hs.swap < 2 ||
        hs.nbest > 0 || gPars.threshold || gPars.goloboff || hs.rearrLimit > 0 ||
        numSearchTaxa(run.data) < togetherPassMinTaxa())
        return 0;
    const int32_t n = gHSearchThreads ? static_cast<int32_t>(gHSearchThreads) : availableProcessors();
    return n > 1 ? static_cast<uint32_t>(n - 1) : 0;
}

// Each helper's seat: the data set's record with a parsimony record of its
// own, and a tree.
std::unique_ptr<PassHelpers> makePassHelpers(const HSearchRun &run, bool *outOfMemory)
{
    const uint32_t n = passHelperCount(run);
    if (n == 0)
        return nullptr;
    const DataInfo *data = run.data;
    auto make = [data](PassSeat *seat) {
        auto copy = std::make_unique<DataInfo>(*data);
        // Naming the caller's record until its own is made (see
        // makeAheadContext).
        copy->pars = nullptr;
        copy->pars = cloneParsRecordForThread(data);
        if (!copy->pars)
            return false;
        seat->data = copy.release();
        seat->tree = createSearchTree(seat->data);
        if (seat->tree)
            return true;
        destroyParsRecordClone(seat->data->pars);
        delete seat->data;
        seat->data = nullptr;
        return false;
    };
    auto drop = [](PassSeat *seat) {
        destroyTree(seat->tree, true);
        destroyParsRecordClone(seat->data->pars);
        delete seat->data;
    };
    auto helpers = std::make_unique<PassHelpers>(n, make, drop);
    // The copies read the data set's record, which the search changes.
    // A helper that could not be seated leaves its items to the others; with
    // none seated for want of memory the search is short of it for any
    // thread more, and runs no replicates ahead either.
    if (helpers->seated() == 0) {
        *outOfMemory = helpers->seatsOutOfMemory();
        return nullptr;
    }
    return helpers;
}

int heuristicSearchRep(HSearchRun &run)
{
    gAheadCounts = {};
    bool outOfMemory = false;
    std::unique_ptr<PassHelpers> helpers = makePassHelpers(run, &outOfMemory);
    if (outOfMemory)
        goOnOneThreadForMemory(passHelperCount(run) + 1);
    struct Installed {
        explicit Installed(PassHelpers *h) { setPassHelpers(h); }
        ~Installed() { setPassHelpers(nullptr); }
    } installed(helpers.get());
    if (const uint32_t threads = aheadThreadCount(run); threads > 1 && !outOfMemory) {
        const int r = runReplicatesAhead(run, threads, helpers);
        if (r == kAheadOutOfMemory) {
            setPassHelpers(nullptr);
            helpers.reset();
            goOnOneThreadForMemory(threads);
        } else if (r != kAheadUnavailable) {
            return r;
        }
    }
    for (run.rep = 0; run.rep < run.nreps; run.rep++) {
        beginReplicate(run);
        bool early = false;
        int r = searchReplicate(run, &early);
        if (early && !limitResult(r))
            return r;
        if ((r = endReplicate(run, r)) >= 0)
            return r;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Settings report and summary

// Every starting tree that passes is stored, whatever MulTrees says: a
// stepwise addition holding several trees can leave several in a replicate.
// Without MulTrees swapping then keeps only a better tree, and keeps one.
uint32_t startingTreesKept(const HSearchRun &run)
{
    return hs.startSource == kStartStepwise && !run.fromMemory ? run.hold : 1;
}

void showHSearchSettings(const HSearchRun &run)
{
    showSearchSettingsHeader(0);
    showCriterionSettings(run.data);
    if (hs.startSource == kStartNJ) {
        qel_printf("Starting tree(s) obtained via %s\n", upgmaStartTree(run.data) ? "UPGMA" : "neighbor-joining");
    } else if (run.fastStep) {
        qel_printf("Sta\brting tree(s) obtained via stepwise addition with random addition sequence\n");
    } else if (!run.fromMemory) {
        qel_printf("Starting tree(s) obtained via stepwise addition\n");
        if (run.addSeq == kAddSeqSimple) {
            const uint32_t ref = stepwiseReferenceTaxon(run.data, static_cast<uint32_t>(hs.refTax));
            qel_printf("  Addition sequence: simple (reference taxon = %s)\n", getTaxLabel(run.data, ref));
        } else {
            qel_printf("  Addition sequence: %s\n", kAddSeqNames[std::min<uint32_t>(run.addSeq, 4)]);
        }
        if (run.randomAddition) {
            qel_printf("  Number of replicates = %u\n", run.nreps);
            qel_printf("  Starting seed = %s\n", seedString(run.seed).c_str());
            if (hs.randomize)
                qel_printf("    Random trees (not just addition sequence) used as starting point\n");
        }
        qel_printf("  Number of trees held at each step = %d\n", static_cast<int>(run.hold));
        // The fast stepwise addition follows a single tree; holding several
        // scores each join with every branch length fitted.
        const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
        if (run.hold > 1 && f && f->fastStepwise && f->fastStepwise->inEffect())
            qel_printf("    (fast stepwise addition not used when more than one tree is held at each step)\n");
    }
    if (hs.swap == 0) {
        qel_printf("Branch-swapping algorithm: \bnone\n");
    } else {
        if (hs.ecr) {
            qel_printf("Branch-swapping algorithm: double-edge contract-and-refine (2-ECR)\n");
        } else {
            qel_printf("Branch-swapping algorithm: \b%s", swapTypeName(hs.swap));
            if (hs.swap > 1) {
                if (hs.reconLimit > 0)
                    qel_printf(" with reconnection limit = %d", hs.reconLimit);
                else
                    qel_printf(" with no reconnection limit");
            }
            qel_printf("\n");
        }
        if (run.fromMemory) {
            if (hs.startSource == kStartCurrent)
                qel_printf("  Initial swapping on %d trees already in memory\n", static_cast<int>(run.memVisible));
            else if (run.memFirst == run.memLast)
                qel_printf("  Initial swapping on tree %u already in memory\n", run.memFirst);
            else
                qel_printf("  Initial swapping on trees %u through %u already in memory\n", run.memFirst,
                           run.memLast);
        }
        qel_printf("  Steepest descent option%sin effect\n", hs.steepest ? " " : " not ");
        if (hs.nchuck > 0 && hs.chuckScore != 0.0) {
            qel_printf("  No \bmore than %d %s of score (length) greater than or equal to %s will be saved%s\n",
                       hs.nchuck, treeWord(static_cast<uint32_t>(hs.nchuck)),
                       treeScoreToString(0, hs.chuckScore).c_str(), run.randomAddition ? " in each replicate" : "");
            if (hs.abortRep)
                qel_printf("  Current replicate will be aborted if above limit is hit\n");
        }
        if (hs.nbest > 0)
            qel_printf("  Saving %u best trees found by branch-swapping (on %s)\n", static_cast<uint32_t>(hs.nbest),
                       hs.allSwap ? "all saved trees" : "best trees only");
    }
    if (hs.saveReps && run.randomAddition)
        qel_printf("Sav\bing optimal trees from each replicate, even if they are not optimal overall\n");
    if (run.retained)
        qel_printf("%u trees initially in memory will be retained\n", run.retained);
    if (hs.timeLimit > 0)
        qel_printf("Time limit of %d seconds %simposed\n", hs.timeLimit,
                   hs.limitPerRep && run.randomAddition ? "per replicate " : "");
    if (hs.rearrLimit > 0)
        qel_printf("Num\bber of rearrangements %slimited to %d\n",
                   hs.limitPerRep && run.randomAddition ? "per replicate " : "", hs.rearrLimit);
    if (isMaxtreesFixed() || hs.nbest > 0) {
        qel_printf("'Maxtrees' setting = %d (will not be increased)\n", static_cast<int>(getMaxtreesValue()));
    } else {
        qel_printf("Ini\btial 'Maxtrees' setting = %u", getMaxtreesValue());
        if (autoIncreaseMaxtrees())
            qel_printf(" (will be auto-increased by %d)", static_cast<int>(getAutoIncreaseAmount()));
        qel_printf("\n");
    }
    if (!searchCollapses())
        qel_printf("Zer\bo-length branches not collapsed\n");
    else
        qel_printf("Bra\bnches collapsed (creating polytomies) if %s\n", searchCollapseDescription());
    const char *perRep = run.randomAddition ? " per replicate" : "";
    if (showKeepSettings(keepScoreInEffect(), srch.mulTrees))
        qel_printf("'MulTrees' option in effect\n");
    else if (const uint32_t held = startingTreesKept(run); held > 1)
        qel_printf("'Mul\bTrees' option not in effect; up to %u trees (those held by stepwise addition) will be "
                   "saved%s\n", held, perRep);
    else
        qel_printf("'Mul\bTrees' option not in effect; only 1 tree will be saved%s\n", perRep);
    showSearchTailSettings(run.data, run.rooted);
    if (hs.startSource == kStartNJ && hs.addSeq == kAddSeqRandom)
        qel_printf("\nNOTE: \bRandom-addition-sequence option is ignored when starting trees are obtained using "
                   "neighbor-joining.\n");
}

// The best score of the trees the search kept (retained trees are not
// scored). A better tree the full buffer could not take was found but not
// kept, and the summary speaks of the trees kept; with none kept, the best
// score the search met.
double bestTreeScoreHeld(const HSearchRun &run)
{
    const HSearchData *hsd = run.hsd;
    const double met = run.randomAddition ? hsd->bestScoreOverall : hsd->bestScoreRep;
    return bestStoredScore(run, run.retained + 1, numSaved(run), met);
}

void showHSearchSummary(const HSearchRun &run, int result, const TimeMark &start, const TimeMark &stop)
{
    HSearchData *hsd = run.hsd;
    qel_printf("\nHeuristic search ");
    switch (result) {
    case 0: qel_printf("completed\n"); break;
    case 3: qel_printf("terminated by time limit\n"); break;
    case 4: qel_printf("terminated by rearrangement limit\n"); break;
    // A full buffer under Keep stops the search as an abort does; the
    // overflow lines below say why.
    default:
        qel_printf("aborted");
        if (run.randomAddition)
            qel_printf(" during replicate #%d", static_cast<int>(run.rep + 1));
        if (run.abortTree)
            qel_printf(" (while swapping on tree #%d)", static_cast<int>(run.abortTree));
        qel_printf("\n");
        break;
    }
    qel_printf("   Tot\bal number of rearrangements tried = %s", rearrCountString(hsd->rearrTriedTotal).c_str());
    if (run.limitedReps)
        qel_printf(" (time or rearrangement limit was hit in %u %s)", run.limitedReps,
                   run.limitedReps == 1 ? "replicate" : "replicates");
    qel_printf("\n");
    const double best = bestTreeScoreHeld(run);
    qel_printf("   Score of best tree(s) found = \b%s\n", treeScoreToString(0, best).c_str());
    const double keep = keepScoreInEffect();
    if (keep != 0.0 && (numSaved(run) == run.retained || compareScores(best, keep) > 0))
        qel_printf("   NOTE: no trees satisfying the 'Keep' score were found\n");
    qel_printf("   Number of trees retained = %d\n", static_cast<int>(numSaved(run)));
    if (hsd->steepestTruncated)
        qel_printf("   Note: \bSteepest descent algorithm truncated due to tree-buffer overflow or limit on number "
                   "of trees of user-specified score to be kept.\n");
    if (hsd->overflowed && result != 1)
        qel_printf("   Note: \bEffectiveness of search may have been diminished due to tree-buffer overflow.\n");
    // A search also ends with 1 after an error that was reported: only a
    // full buffer is an overflow.
    if (result == 1 && hsd->overflowed) {
        qel_printf("\nSearch terminated prematurely (no room to store new trees)\n");
        qel_printf("   Overflow occurred while swapping on tree %d\n", static_cast<int>(run.abortTree));
        qel_printf("   %d trees retained\n", static_cast<int>(numSaved(run)));
    }
    showTimeUsed(&start, &stop, 3, "");
    if (run.randomAddition) {
        const bool oneTreeEach = startingTreesKept(run) <= 1 && (hs.swap == 0 || !hsd->rules.mulTrees);
        if (oneTreeEach)
            qel_printf("\n(Note: \bNo \"island\" information is available when only one tree per "
                       "random-addition-sequence replicate is retained.)\n");
        else
            showIslandInfo();
    }
}

SaveRules makeSaveRules(const HSearchRun &run)
{
    SaveRules r{};
    r.nbest = hs.nbest > 0 ? static_cast<uint32_t>(hs.nbest) : 0;
    r.nchuck = static_cast<uint32_t>(std::max(hs.nchuck, 0));
    r.chuckScore = hs.chuckScore;
    r.chuckActive = hs.chuckScore != 0.0 && srch.mulTrees;
    r.keepScore = keepScoreInEffect();
    r.keepActive = keepScoreInEffect() != 0.0;
    r.allSwap = hs.allSwap;
    r.steepest = hs.steepest;
    r.abortRep = hs.abortRep;
    r.mulTrees = srch.mulTrees || keepScoreInEffect() != 0.0;
    r.randomAddition = run.randomAddition;
    r.replicated = gSearchState.replicatedKind != 0;
    r.heuristicRunning = true;
    r.limitPerRep = hs.limitPerRep;
    return r;
}

// Each outer replicate of a resampling run is a search of its own: the
// buffer, the best scores and the island table start afresh.
void beginOuterReplicate(HSearchRun &run)
{
    // Truncated, not emptied: the buffer keeps its score array.
    truncateBuffer(run.mainBuf, 0);
    rehashTreeBuffer(run.mainBuf);
    run.hsd->bestScoreRep = run.hsd->bestScoreOverall = kNoScoreValue;
    run.hsd->duplicateOf = 0;
    deallocIslands();
    allocIslands(run.nreps + 1);
}

double gLastRearrangements = 0.0;

struct RunCleanup {
    HSearchRun &run;
    ~RunCleanup()
    {
        gStatusRun = nullptr;
        if (run.warmBy)
            run.warmBy->warmStarts(false);
        if (const CriterionSearchFxns *f = criterionSearchFxns(gCriterion); f && f->deadline)
            f->deadline(0);
        if (run.hsd)
            gLastRearrangements = run.hsd->rearrTriedTotal;
        if (run.mainBuf)
            setActiveTreeBuffer(run.mainBuf);
        run.hsd = destroyHSearchData(run.hsd);
        releaseSearchConstraints();
        run.startBuf = destroyTreeBuffer(run.startBuf);
        run.tree = destroyTree(run.tree, true);
        deallocIslands();
        if (run.fixedMaxtrees)
            setMaxtreesFixed(false);
        clearStatusText();
        finishSearch(0);
    }
};

// The search's own status poll: a row when one is due.
void pollSearchStatus(HSearchData *hsd)
{
    if (gStatusRun != nullptr && gStatusRun->hsd == hsd && searchStatusDue())
        showStatusLine(*gStatusRun, -1);
}

}  // namespace

uint32_t earlierTreeAhead(HSearchData *hsd, Tree *tree) { return earlierTreeOf(hsd, tree); }
bool keptTreeAhead(HSearchData *hsd, Tree *tree, uint32_t *match) { return keptTreeOf(hsd, tree, match); }
bool passHelpersAllowed(const HSearchData *hsd)
{
    if (!hsd->aheadContext)
        return true;
    const AheadContext &c = *static_cast<const AheadContext *>(hsd->aheadContext);
    return c.shared->awaitedNow.load(std::memory_order_relaxed) == c.rep;
}
void noteAheadMaxtreesMet(HSearchData *hsd) { aheadMaxtreesMet(hsd); }

void showHSearchStatus()
{
    if (gStatusRun != nullptr)
        showStatusLine(*gStatusRun, -1);
}

const char *swapTypeName(uint32_t swapType)
{
    switch (swapType) {
    case 1: return "nearest-neighbor interchange (NNI)";
    case 2: return "subtree-pruning-regrafting (SPR)";
    case 3: return "tree-bisection-reconnection (TBR)";
    default: return "none";
    }
}

int installSearchSwapper(HSearchData *hsd, uint32_t swapType)
{
    // Under another criterion every neighbour is scored whole through the
    // criterion's record.
    if (gCriterion != kCriterionParsimony)
        return installRescoringSwapFxns(hsd, static_cast<int>(swapType));
    // NNI has a faster evaluator of its own; SPR and TBR share the cut-and-
    // reconnect swapper.
    if (swapType == 1) {
        installNNISwapFxns(hsd);
        return 0;
    }
    return installSwapFxns(hsd, static_cast<int>(swapType));
}

std::string rearrCountString(double n)
{
    char text[32];
    if (n < 9999999999.0)
        std::snprintf(text, sizeof text, "%.0f", n);
    else
        std::snprintf(text, sizeof text, "%10.4e", n);
    return text;
}

void showHSearchStatusHeader(bool randomAddition, bool replicated)
{
    if (replicated && randomAddition) {
        qel_printf("\n    Elapsed        AddSeq   Taxa      Rearr. -- Number of trees --   ----- Best trees ----\n");
        qel_printf("       time    Rep    rep  added      tried     saved   to swap      this rep      overall\n");
        qel_printf("%s\n", std::string(90, '-').c_str());
    } else if (replicated) {
        qel_printf("\n    Elapsed          Taxa      Rearr.  -- Number of trees --        Best\n");
        qel_printf("       time    Rep  added      tried      saved   to swap        tree(s)\n");
        qel_printf("%s\n", std::string(72, '-').c_str());
    } else if (randomAddition) {
        qel_printf("\n    Elapsed AddSeq   Taxa      Rearr.  -- Number of trees --    ------ Best trees -----\n");
        qel_printf("       time    rep  added      tried      saved   to swap       this rep        overall\n");
        qel_printf("%s\n", std::string(87, '-').c_str());
    } else {
        qel_printf("\n    Elapsed   Taxa      Rearr.  -- Number of trees --        Best\n");
        qel_printf("       time  added      tried      saved   to swap        tree(s)\n");
        qel_printf("%s\n", std::string(65, '-').c_str());
    }
}

void showHSearchStatusRow(bool randomAddition, const char *elapsed, uint32_t rep, int32_t taxaAdded,
                          double rearrTried, uint32_t saved, int64_t toSwap, double bestRep, double bestOverall,
                          const char *outerRep)
{
    // The layout with both replicate columns is narrower in its last ones.
    const bool both = outerRep != nullptr && randomAddition;
    std::string row;
    char cell[64];
    auto add = [&](const char *fmt, auto... v) {
        std::snprintf(cell, sizeof cell, fmt, v...);
        row += cell;
    };
    add("%11s", elapsed);
    if (outerRep != nullptr)
        add("%7s", outerRep);
    if (randomAddition)
        add("%7d", static_cast<int>(rep));
    if (toSwap < -1) {  // stepwise addition in progress
        add("%7d%11c", static_cast<int>(taxaAdded), '-');
    } else {
        if (taxaAdded >= 0)
            add("%7d", static_cast<int>(taxaAdded));
        else
            add("%7c", '-');
        add("%11s", rearrCountString(rearrTried).c_str());
    }
    add("%*d", both ? 10 : 11, static_cast<int>(saved));
    if (toSwap > 0)
        add("%10d", static_cast<int>(toSwap));
    else
        add("%10c", '-');
    add("%*s", both ? 14 : 15, treeScoreToString(0, bestRep).c_str());
    if (randomAddition)
        add("%*s", both ? 13 : 15, treeScoreToString(0, bestOverall).c_str());
    qel_printf("%s\n", row.c_str());
}

// A likelihood search scores each tree from the lengths and parameters the
// trees before it reached, and a fit's passes may stop short of the optimum
// (the pass limit, the tolerance): the score a tree got on the way is not
// the one it has once fitted afresh, as LScores and every later command fit
// it. The trees kept are fitted afresh when the search ends, so that the
// scores stored and the best one reported are theirs. Without warm starts
// and a deadline, each starts where LScores starts. Nonzero when stopped.
int rescoreSavedTrees(HSearchRun &run)
{
    const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
    double *scores = mainScores(run);
    if (gCriterion != kCriterionLikelihood || !f || !scores)
        return 0;
    if (run.warmBy) {
        run.warmBy->warmStarts(false);
        run.warmBy = nullptr;
    }
    if (f->deadline)
        f->deadline(0);
    setStatusText("Calculating score(s) of trees found...");
    TreeHandle tree(createSearchTree(run.data));
    if (!tree)
        return 1;
    double best = kNoScoreValue;
    for (uint32_t k = run.retained + 1; k <= numSaved(run); k++) {
        if (getTree(run.mainBuf, k, tree.get()) != 0)
            return 1;
        const double s = criterionScoreWithLengths(tree.get(), kNoScoreValue);
        if (s >= kNoScoreValue)
            return getAbortedStatus() != 0 ? 2 : 1;
        scores[k - 1] = s;
        best = std::min(best, s);
    }
    if (best < kNoScoreValue)
        run.hsd->bestScoreRep = run.hsd->bestScoreOverall = best;
    // Trees kept as ties of the best on the way may fit worse once fitted
    // afresh: a search that keeps only its best trees drops them (the
    // trees held before the search stay).
    if (best < kNoScoreValue && keepScoreInEffect() == 0.0 && hs.nbest <= 0) {
        uint32_t to = run.retained + 1;
        const uint32_t saved = numSaved(run);
        for (uint32_t k = run.retained + 1; k <= saved; k++) {
            if (compareScores(scores[k - 1], best) > 0)
                continue;
            if (k != to && moveTrees(run.mainBuf, k, to, 1, false) != 0)
                return 1;
            to++;
        }
        if (to <= saved) {
            truncateBuffer(run.mainBuf, to - 1);
            if (rehashTreeBuffer(run.mainBuf) != 0)
                return 1;
        }
    }
    return 0;
}

int stdHeuristicSearch(int mode, DataInfo *data)
{
    if (!data)
        return 1;
    if (checkCharStatusUpdate(data) != 0)
        return 1;
    if (mode == 0 && getCmdParams(OptionSet::kHSearch, ";", nullptr) <= 0)
        return 1;
    if (mode != kFastStepMode)
        return runHeuristicSearch(data);
    // The settings of a fast stepwise replicate hold for this call only;
    // the user's HSearch settings come back afterwards.
    const HSearchOptions saved = hs;
    hs.startSource = kStartStepwise;
    hs.addSeq = kAddSeqRandom;
    hs.randomize = 0;
    hs.nreps = 1;
    hs.hold = 1;
    hs.swap = 0;
    hs.ecr = 0;
    hs.retain = 0;
    const int r = runHeuristicSearch(data, true);
    hs = saved;
    return r;
}

int runHeuristicSearch(DataInfo *data, bool fastStep)
{
    if (!data)
        return 1;
    HSearchRun run;
    run.data = data;
    run.fastStep = fastStep;
    if (checkHSearchOptions(run) != 0)
        return 1;
    if (prepForSearch(data, kSearchConstraintsOk | (hs.startSource == kStartNJ ? kSearchNJStart : 0)) != 0)
        return finishSearch(1);
    run.rooted = isRootedSearch(data);
    run.mainBuf = getActiveTreeBuffer();
    if (!run.mainBuf)
        return finishSearch(1);
    RunCleanup cleanup{run};
    gSearchState.heuristicRunning = 1;
    // Each tree the search scores estimates its own parameters, from where
    // the last tree's estimate ended. Resampling replicates prepare their
    // data afresh, and each replicate's trees start from their own values.
    const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
    if (gSearchState.replicatedKind == 0 && f && f->warmStarts) {
        f->warmStarts(true);
        run.warmBy = f;
    }

    // Deleted taxa take no part: the trees are over the active taxa, as the
    // main buffer made after a deletion is.
    const uint32_t ntax = numSearchTaxa(data);
    run.tree = createSearchTree(data);
    const uint32_t startCapacity = run.fromMemory ? std::max<uint32_t>(numSaved(run), 1) : run.hold + 1;
    run.startBuf = createTreeBuffer(ntax, startCapacity, false, true, false);
    if (!run.tree || !run.startBuf)
        return 1;
    if (srch.enforce) {
        const int rc = prepareSearchConstraints(data, run.tree, srch.converse != 0, hs.swap == 0, false,
                                                hs.startSource == kStartNJ);
        if (rc != 0)
            return rc < 0 ? 0 : 1;
    }
    if (run.fromMemory) {
        run.rng = RNG{};
        initRNG(&run.rng, makeSeed1(1));
        const int r = copyTreesToStartBuffer(run);
        if (r != 0)
            return r;
    } else if (!hs.retain && !verifyReplaceTrees()) {
        return 1;
    }
    // The search's trees replace or join those the filter was made for; a
    // filter left in place would hide the new trees by their old numbers.
    // Starting trees the constraints all refused end the search once its
    // settings are shown, with the trees in memory as they were.
    const bool allRefused = run.fromMemory && numTreesInBuffer(run.startBuf) == 0;
    if (!allRefused)
        deleteTreeSets(true);
    // Retained trees stay in front of the buffer; the search saves after them
    // and never swaps or drops them.
    if (hs.retain)
        run.retained = numSaved(run);
    else if (!allRefused)
        emptyTreeBuffer(run.mainBuf, true);
    setRootededness(run.mainBuf, run.rooted);
    run.nreps = run.randomAddition ? static_cast<uint32_t>(hs.nreps) : 1;
    if (run.randomAddition && !run.fastStep) {
        run.seed = seedForRun(hs.rseed);
        initRNG(&run.rng, run.seed);
    } else if (!run.fromMemory) {
        initRNG(&run.rng, makeSeed1(1));
    }
    run.hsd = createHSearchData(data, ntax, makeSaveRules(run), hs.ecr != 0);
    if (!run.hsd || allocIslands(run.nreps + 1) != 0)
        return 1;
    // The N best trees need room for N trees whatever Maxtrees says, or the
    // search keeps the best of fewer and calls them the best N.
    if (hs.nbest > 0 && getMaxtreesValue() < static_cast<uint32_t>(hs.nbest) &&
        resizeTreeBufferForMaxtrees(static_cast<uint32_t>(hs.nbest)) != 0)
        return 1;
    if (run.retained)
        addRetainedIsland(run.retained);
    run.hsd->startBuf = run.startBuf;
    run.hsd->statusPoll = pollSearchStatus;
    run.hsd->rearrLimit = hs.rearrLimit;
    run.hsd->reconLimit = static_cast<uint32_t>(std::max<int32_t>(hs.reconLimit, 0));
    if (hs.ecr)
        installEcrSwapFxns(run.hsd);
    else
        installSearchSwapper(run.hsd, hs.swap ? hs.swap : 1);
    gStatusRun = &run;
    if (searchCollapses())
        run.hsd->fxns.collapse = collapseForSearch;
    const bool deadlinePerSearch = hs.timeLimit > 0 && !(hs.limitPerRep && run.randomAddition);
    // Replicates that run side by side each have the time limit to
    // themselves, as one after the other they would: each counts the CPU
    // time of the thread that runs it, not what the process spends on all.
    run.hsd->threadClock = perReplicateThreadClock(run);
    if (deadlinePerSearch)
        setSearchDeadline(run, timeLimitDeadline());

    // A limit that may not grow is fixed for the whole search, so that the
    // overflow is reported when it happens.
    if (!isMaxtreesFixed() && (!canIncreaseMaxtrees() || hs.nbest > 0)) {
        setMaxtreesFixed(true);
        run.fixedMaxtrees = true;
    }
    showHSearchSettings(run);
    if (run.fromMemory && showStartingTreeNotes(run) != 0)
        return 1;
    setSearchNReps();
    beginSearchStatus();
    TimeMark start{}, stop{};
    setTimeMark(&start);
    int result = 0;
    const bool replicated = gSearchState.replicatedKind != 0;
    gSearchState.limitedOuterReps = 0;
    gSearchState.outerRepLimited = 0;
    for (uint32_t outer = 1; outer <= gSearchState.nOuterReps && result == 0; outer++) {
        run.hsd->rearrTriedRep = 0;
        if (replicated) {
            beginOuterReplicate(run);
            // Each resampled replicate is a search of its own: its time and
            // rearrangement limits count from its own start, or the first
            // replicate to meet one would leave every later one unswapped.
            run.hsd->rearrTriedTotal = 0;
            if (deadlinePerSearch)
                setSearchDeadline(run, timeLimitDeadline());
        }
        if ((result = startReplicatedSearchRep(run.tree, data, outer)) != 0) {
            if (result == kReplicateTallied) {
                result = 0;
                continue;
            }
            break;
        }
        // The addition sequence continues the stream the resampling draws
        // from, so that the whole run follows from its one seed.
        if (run.fastStep)
            run.rng = *getBootJackRNG();
        try {
            // The search scores Dollo characters by steps; what follows a
            // replicate reads the cost vectors again.
            DolloSearchScope steps(data);
            result = heuristicSearchRep(run);
        } catch (const std::bad_alloc &) {
            // The language's containers ran out where ours would have
            // reported it: the search ends as when ours do.
            reportMemoryFailure();
            result = 1;
        }
        if (run.fastStep)
            *getBootJackRNG() = run.rng;
        // A limit ends the replicate, whose trees still count.
        gSearchState.outerRepLimited = replicated && limitResult(result);
        if (gSearchState.outerRepLimited)
            gSearchState.limitedOuterReps++;
        if (replicated && (result == 0 || limitResult(result)))
            result = finishReplicatedSearchRep(data, run.hsd->bestScoreOverall);
    }
    // A full buffer under Keep ends the search early but keeps its trees:
    // the command ends normally, as Branch-and-bound does, and what follows
    // in a command file works on those trees. Other ends with 1 follow a
    // reported error.
    const bool bufferFull = !replicated && result == 1 && run.hsd->overflowed;
    // An interrupted search keeps the scores it had, and so does one its
    // time limit stopped: fitting its trees afresh would run on past the
    // limit the user set. Any other end of an unreplicated search stores
    // its trees' own.
    if (!replicated && (bufferFull || (result != 1 && result != 2 && result != 3))) {
        if (const int rc = rescoreSavedTrees(run); rc != 0)
            result = rc;
    }
    setTimeMark(&stop);
    if (result == 2)
        setAbortedStatus(0);
    if (!replicated)
        showHSearchSummary(run, result, start, stop);
    setTreeSource(1);
    return result == 2 ? 2 : result == 1 && !bufferFull ? 1 : 0;
}

int doHSearchCmd() { return stdHeuristicSearch(0, activeDataInfo()); }

double lastHSearchRearrangements() { return gLastRearrangements; }

void setHSearchThreads(uint32_t n) { gHSearchThreads = n; }

bool setAheadStartGuesses(bool on)
{
    return gAheadStartGuesses.exchange(on);
}

void setAheadProcessors(uint32_t n) { gAheadProcessors = n; }

bool setAheadRunsBlind(bool on)
{
    return gAheadRunsBlind.exchange(on);
}

bool setAheadTakesHalf(bool on)
{
    return gAheadTakesHalf.exchange(on);
}

AheadCounts lastHSearchAheadCounts() { return gAheadCounts; }
