#include "search/hitlist.h"

#include <algorithm>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "search/hsearch.h"
#include "search/passhelpers.h"
#include "search/repahead.h"
#include "search/scores.h"
#include "search/search.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeutil.h"

namespace {

thread_local const std::atomic<bool> *tCancel = nullptr;

TreeBuffer *mainBuf(const HSearchData *hsd) { return hsd->ownBuf ? hsd->ownBuf : getActiveTreeBuffer(); }
uint32_t numSaved(const HSearchData *hsd) { return numTreesInBuffer(mainBuf(hsd)); }

void truncateMainBuffer(HSearchData *hsd, uint32_t keep)
{
    while (numSaved(hsd) > keep)
        decrementNumTrees(mainBuf(hsd));
}

// Tree k stored as a rounding tie. Without room for the flag the tree is
// swapped as any other, which costs time and nothing else.
void noteRoundingTie(HSearchData *hsd, uint32_t k)
{
    if (k >= hsd->tiesCap) {
        const uint32_t cap = std::max(k + 1, 2 * hsd->tiesCap);
        auto *grown = allocArrayOf<uint8_t>(cap);
        if (!grown)
            return;
        for (uint32_t i = 0; i < hsd->tiesCap; ++i)
            grown[i] = hsd->roundingTies[i];
        deallocArray(hsd->roundingTies);
        hsd->roundingTies = grown;
        hsd->tiesCap = cap;
    }
    hsd->roundingTies[k] = 1;
}

double *scoreSlots(const HSearchData *hsd)
{
    TreeBuffer *buf = mainBuf(hsd);
    return buf ? getTreeScoreArray(buf) : nullptr;
}

// A run ahead meets the Maxtrees limit only where it plays it (see
// AheadMaxtrees); elsewhere, where the search would have met it, the run is
// discarded (its peak count tells).
bool atMaxtrees(const HSearchData *hsd)
{
    if (hsd->aheadMaxtrees)
        return numSaved(hsd) == hsd->aheadMaxtrees->fullAt;
    return !hsd->ownBuf && isTreeBufferAtMaxtrees(mainBuf(hsd));
}

// Whether a run ahead playing the Maxtrees limit finds the buffer full,
// as the search's buffer refuses a tree before it looks for duplicates.
bool aheadBufferFull(HSearchData *hsd)
{
    AheadMaxtrees *m = hsd->aheadMaxtrees;
    if (!m || numSaved(hsd) < m->fullAt)
        return false;
    if (!m->met) {
        m->met = true;
        noteAheadMaxtreesMet(hsd);
    }
    return true;
}

// Whether a run ahead must take the tree as a duplicate of a tree an
// earlier replicate keeps (hsd->earlierMatch names it).
bool earlierDuplicate(HSearchData *hsd, Tree *tree)
{
    hsd->earlierMatch = hsd->aheadContext ? earlierTreeAhead(hsd, tree) : 0;
    return hsd->earlierMatch != 0;
}

// Notes tree k, just stored; false when the run ahead has grown too large
// to be of use.
bool noteStored(HSearchData *hsd, uint32_t k, double score)
{
    // A flag left by a tree dropped since is not this tree's.
    if (k < hsd->tiesCap)
        hsd->roundingTies[k] = 0;
    if (!hsd->storedLog)
        return true;
    const TreeBuffer *buf = mainBuf(hsd);
    const uint8_t *rep = treeLocation(buf, k - 1);
    if (AheadTrail *trail = hsd->trail) {
        trail->note(AheadTrail::kStore, static_cast<uint32_t>(hsd->storedLog->size() / buf->bytesPerTree));
        trail->scores.push_back(score);
    }
    hsd->storedLog->insert(hsd->storedLog->end(), rep, rep + buf->bytesPerTree);
    hsd->peakSaved = std::max(hsd->peakSaved, numSaved(hsd));
    if (hsd->storeCap && hsd->peakSaved >= hsd->storeCap)
        hsd->aheadSpoiled = 1;
    return !hsd->aheadSpoiled;
}

// A full buffer refuses a tree before looking for it among the trees kept.
// A random-addition replicate that has kept nothing yet still looks, until
// it finds one: it may be swapping on an island an earlier replicate kept,
// and the island bookkeeping counts that as a hit.
bool looksForKeptMatch(const HSearchData *hsd)
{
    return hsd->rules.randomAddition && hsd->duplicateOf == 0 && numSaved(hsd) < hsd->firstTreeRep;
}

// Sets duplicateOf to the number of the kept tree the (collapsed) tree is.
// True when a run ahead can no longer tell: it stops, and the replicate
// runs again in its turn.
bool findKeptMatch(HSearchData *hsd, Tree *tree)
{
    if (hsd->aheadContext)
        return !keptTreeAhead(hsd, tree, &hsd->duplicateOf);
    TreeBuffer *buf = mainBuf(hsd);
    thread_local std::vector<uint8_t> rep;
    rep.assign(buf->bytesPerTree, 0);
    if (treeToCompactRep(buf, tree, rep.data(), tree->specialNode) != 0)
        hsd->duplicateOf = compactRepInBuffer(buf, rep.data());
    return false;
}

// A run ahead met tree `match` of its buffer again.
void noteMet(HSearchData *hsd, uint32_t match)
{
    AheadTrail *trail = hsd->trail;
    if (!trail || match == 0)
        return;
    if (match < hsd->firstTreeRep)
        trail->note(AheadTrail::kMetRetained, match);
    else
        trail->note(AheadTrail::kMetOwn, trail->held + (match - hsd->firstTreeRep));
}

}  // namespace

uint32_t hitListCapacity(uint32_t ntax, bool ecr)
{
    const int64_t n = ntax;
    int64_t cap = std::max<int64_t>(2 * n - 6, 100);
    if (ecr)
        cap = std::max<int64_t>(cap, 42 * n - 84);
    return static_cast<uint32_t>(std::min<int64_t>(cap, 0x7FFFFFFF));
}

HSearchData *createHSearchData(DataInfo *data, uint32_t ntax, const SaveRules &rules, bool ecr, TreeBuffer *ownBuf)
{
    auto *hsd = static_cast<HSearchData *>(allocBlock(sizeof(HSearchData)));
    if (!hsd)
        return nullptr;
    hsd->data = data;
    hsd->ownBuf = ownBuf;
    hsd->rules = rules;
    hsd->hitList.capacity = hitListCapacity(ntax, ecr);
    hsd->hitList.hits = allocArrayOf<RearrObject>(hsd->hitList.capacity);
    hsd->workTree = createTreeForTaxa(ntax, ntax, true);
    if (rules.nbest) {
        hsd->nbestCapacity = rules.nbest + 1;
        hsd->nbestList = allocArrayOf<uint32_t>(hsd->nbestCapacity);
    }
    TreeBuffer *buf = mainBuf(hsd);
    if (buf && !getTreeScoreArray(buf)) {
        if (double *scores = allocArrayOf<double>(getTreeBufferCapacity(buf)))
            setTreeScoreArray(buf, scores);
    }
    if (!hsd->hitList.hits || !hsd->workTree || (rules.nbest && !hsd->nbestList) || (buf && !scoreSlots(hsd)))
        return destroyHSearchData(hsd);
    hsd->bestScoreRep = hsd->bestScoreOverall = kNoScoreValue;
    hsd->worstScore = kLowestScore;
    hsd->firstTreeRep = numSaved(hsd) + 1;
    hsd->firstBestGroup = hsd->currentTree = hsd->firstTreeRep;
    hsd->lastTreeRound = hsd->firstTreeRep - 1;
    setMaxScoreToSave(hsd);
    return hsd;
}

HSearchData *destroyHSearchData(HSearchData *hsd)
{
    if (!hsd)
        return nullptr;
    deallocArray(hsd->hitList.hits);
    deallocArray(hsd->nbestList);
    deallocArray(hsd->roundingTies);
    destroyTree(hsd->workTree, true);
    destroyTree(hsd->ecrSnapshot, false);
    deallocBlock(hsd);
    return nullptr;
}

bool isRoundingTie(const HSearchData *hsd, uint32_t k) { return k < hsd->tiesCap && hsd->roundingTies[k] != 0; }

void clearHits(HSearchData *hsd) { hsd->hitList.count = 0; }
uint32_t numHits(const HSearchData *hsd) { return hsd->hitList.count; }
RearrObject *getSwapHit(HSearchData *hsd, uint32_t i)
{
    return i < hsd->hitList.count ? &hsd->hitList.hits[i] : nullptr;
}

void makeRearrObject(RearrObject *r, TreeNode *a, TreeNode *b, TreeNode *c, double score)
{
    *r = RearrObject{{a, b, c}, score, score, {0, 0}, 0, nullptr};
}

// ---------------------------------------------------------------------------
// Save decisions

void setMaxScoreToSave(HSearchData *hsd)
{
    const SaveRules &r = hsd->rules;
    double m = hsd->bestScoreRep;
    if (r.nbest)
        m = numSaved(hsd) < r.nbest ? kNoScoreValue : hsd->worstScore;
    else if (r.keepActive && compareScores(r.keepScore, m) > 0)
        m = r.keepScore;
    hsd->maxScoreToSave = m;
}

bool atSwapChuckLimit(HSearchData *hsd, double s)
{
    const SaveRules &r = hsd->rules;
    return r.chuckActive && uint64_t{numSaved(hsd)} == uint64_t{hsd->firstTreeRep} + r.nchuck - 1 &&
           compareScores(r.chuckScore, s) <= 0;
}

bool atChuckLimit(HSearchData *hsd)
{
    const SaveRules &r = hsd->rules;
    return r.chuckActive && hsd->hitList.count >= r.nchuck && compareScores(hsd->bestScoreRep, r.chuckScore) > 0;
}

uint32_t checkSaveTree(HSearchData *hsd, double s)
{
    const SaveRules &r = hsd->rules;
    const bool better = compareScores(s, hsd->bestScoreRep) < 0;
    if (r.nbest) {
        if (better) {
            hsd->bestScoreRep = s;
            setMaxScoreToSave(hsd);
            return r.allSwap ? kSaveTree : kSaveTree | kBetterTree;
        }
        return numSaved(hsd) < r.nbest || compareScores(s, hsd->worstScore) < 0 ? kSaveTree : 0;
    }
    if (!better)
        return r.mulTrees && !atSwapChuckLimit(hsd, s) ? kSaveTree : 0;

    uint32_t result;
    if (r.keepActive && compareScores(hsd->bestScoreRep, r.keepScore) <= 0) {
        result = atSwapChuckLimit(hsd, s) ? 0 : kSaveTree;
    } else {
        const bool restart = !r.steepest || atMaxtrees(hsd) || atSwapChuckLimit(hsd, s);
        if (restart || (hsd->startBuf && numTreesInBuffer(hsd->startBuf) > 0) || r.randomAddition) {
            // Every tree of this replicate is worse than the new one.
            if (restart) {
                if (hsd->startBuf)
                    emptyTreeBuffer(hsd->startBuf, true);
                if (r.steepest)
                    hsd->steepestTruncated = 1;
            }
            // Only a restart without steepest descent or allSwap goes on
            // swapping the better tree in place (stored first); otherwise it
            // waits in the buffer as the next tree to swap.
            const bool inPlace = restart && !r.steepest && !r.allSwap;
            hsd->firstBestGroup = hsd->firstTreeRep;
            hsd->currentTree = inPlace ? hsd->firstTreeRep : hsd->firstTreeRep - 1;
            hsd->lastTreeRound = hsd->firstTreeRep - 1;
            truncateMainBuffer(hsd, hsd->firstTreeRep - 1);
            if (AheadTrail *trail = hsd->trail) {
                trail->note(AheadTrail::kDropped, 0);
                trail->held = static_cast<uint32_t>(hsd->storedLog->size() / mainBuf(hsd)->bytesPerTree);
            }
        } else {
            // Steepest descent: the trees of the round stay, later ones go.
            truncateMainBuffer(hsd, hsd->lastTreeRound);
            hsd->firstBestGroup = hsd->lastTreeRound + 1;
        }
        result = restart ? kSaveTree | kBetterTree : kSaveTree;
        clearHits(hsd);
    }
    hsd->bestScoreRep = s;
    setMaxScoreToSave(hsd);
    return result;
}

bool scoreIsGood(const HSearchData *hsd, double score, double bound, double best)
{
    if (!hsd->rules.heuristicRunning)
        return compareScores(score, best) < 0;
    if (compareScores(score, bound) > 0)
        return hsd->rules.nbest != 0 && numSaved(hsd) < hsd->rules.nbest;
    return true;
}

// ---------------------------------------------------------------------------
// Storing

void findWorstTree(HSearchData *hsd)
{
    const double *scores = scoreSlots(hsd);
    hsd->worstScore = kLowestScore;
    hsd->worstTree = 0;
    for (uint32_t k = 1; scores && k <= numSaved(hsd); k++)
        if (hsd->worstTree == 0 || compareScores(scores[k - 1], hsd->worstScore) > 0) {
            hsd->worstScore = scores[k - 1];
            hsd->worstTree = k;
        }
}

void updateNbest(HSearchData *hsd, uint32_t treeNum, double score)
{
    if (!hsd->nbestList || !(hsd->rules.allSwap || compareScores(score, hsd->bestScoreRep) <= 0))
        return;
    uint32_t *end = hsd->nbestList + hsd->nbestCount;
    if (std::find(hsd->nbestList, end, treeNum) == end && hsd->nbestCount < hsd->nbestCapacity)
        hsd->nbestList[hsd->nbestCount++] = treeNum;
}

uint32_t takeNextNbestTree(HSearchData *hsd)
{
    if (!hsd->nbestList || hsd->nbestCount == 0)
        return 0;
    // A tree that took a worse one's slot is swapped under that slot's
    // number, so the list always names trees held now. Swapping every kept
    // tree best first finds the better trees sooner, and they raise the bar
    // the others' neighbours must pass.
    uint32_t pick = 0;
    if (hsd->rules.allSwap) {
        const double *scores = scoreSlots(hsd);
        for (uint32_t i = 1; scores && i < hsd->nbestCount; i++)
            if (compareScores(scores[hsd->nbestList[i] - 1], scores[hsd->nbestList[pick] - 1]) < 0)
                pick = i;
    }
    const uint32_t k = hsd->nbestList[pick];
    std::copy(hsd->nbestList + pick + 1, hsd->nbestList + hsd->nbestCount, hsd->nbestList + pick);
    hsd->nbestCount--;
    return k;
}

int saveRearrangedTree(HSearchData *hsd, Tree *tree, double score)
{
    const SaveRules &r = hsd->rules;
    if (atSwapChuckLimit(hsd, score))
        return 0;
    // Only this raise is undone after the store: a raise the user answered
    // for, or an automatic one, stays for the rest of the search.
    bool raisedForNbest = false;
    if (r.nbest && numSaved(hsd) >= r.nbest) {
        if (compareScores(score, hsd->worstScore) > 0)
            return 0;
        if (getMaxtreesValue() == r.nbest) {
            setMaxtreesValue(r.nbest + 1);  // room for this one store, then the worst goes
            raisedForNbest = true;
        }
    }
    // A full buffer that may not grow refuses the tree before reading it:
    // then the copy and its collapse, a whole pass over the data, are not
    // made. Swapping the trees of a full buffer offers it every equal
    // neighbour, and those passes were most of such a search's time
    // (looksForKeptMatch says when a full buffer still reads it).
    const bool full = aheadBufferFull(hsd) || putTreeRefusesAll(mainBuf(hsd));
    Tree *work = hsd->workTree;
    if (!full || looksForKeptMatch(hsd)) {
        if (copyTree(tree, work) != 0)
            return 0;
        if (hsd->fxns.collapse)
            hsd->fxns.collapse(hsd, work);
        if (full && findKeptMatch(hsd, work))
            return 1;
        if (!full && earlierDuplicate(hsd, work)) {
            hsd->duplicateOf = hsd->earlierMatch;
            return 0;
        }
    }
    const uint32_t k = full ? kPutTreeAtMaxtrees : putTree(work, mainBuf(hsd), true);
    if (raisedForNbest)
        setMaxtreesValue(r.nbest);

    if (isPutTreeFull(k)) {
        hsd->overflowed = 1;
        if (r.keepActive)
            return 1;
        // Once per tree swapped: a full buffer refuses every further
        // candidate, and a line for each would bury the rest of the output.
        if (k == kPutTreeAtMaxtrees && !r.replicated && !r.nbest && hsd->maxtreesNotedFor != hsd->currentTree + 1) {
            hsd->maxtreesNotedFor = hsd->currentTree + 1;
            // A starting tree being swapped has no number in the buffer yet:
            // it is named by the number the replicate's first tree takes.
            const uint32_t swapped = hsd->currentTree ? hsd->currentTree : hsd->firstTreeRep;
            if (AheadMaxtrees *m = hsd->aheadMaxtrees)
                m->notes.push_back({swapped + m->treeOffset, score, m->points});
            else
                showMaxtreesHit(swapped, score);
            clearHits(hsd);
        }
        return 0;
    }
    if (k == kPutTreeDuplicate) {
        const uint32_t match = getMatchingTree(mainBuf(hsd));
        if (match && match < hsd->firstTreeRep)
            hsd->duplicateOf = match;
        noteMet(hsd, match);
        return 0;
    }
    if (!noteStored(hsd, k, score))
        return 1;
    double *scores = scoreSlots(hsd);
    uint32_t stored = k;
    if (r.nbest && k > r.nbest) {
        moveTrees(mainBuf(hsd), k, hsd->worstTree, 1, false);
        decrementNumTrees(mainBuf(hsd));
        stored = hsd->worstTree;
        scores[stored - 1] = score;
        findWorstTree(hsd);
    } else {
        scores[k - 1] = score;
        if (r.nbest && compareScores(score, hsd->worstScore) > 0) {
            hsd->worstScore = score;
            hsd->worstTree = k;
        }
    }
    // Only trees at or above ChuckScore count toward the limit: a replicate
    // whose trees all score below it is never abandoned.
    if (r.randomAddition && r.abortRep && atSwapChuckLimit(hsd, score))
        return -2;
    setMaxScoreToSave(hsd);
    if (r.nbest)
        updateNbest(hsd, stored, score);
    return 0;
}

uint32_t collapseAndSave(HSearchData *hsd, Tree *tree, double score)
{
    hsd->earlierMatch = 0;
    if (atSwapChuckLimit(hsd, score))
        return kPutTreeDuplicate;
    Tree *work = hsd->workTree;
    if (copyTree(tree, work) != 0)
        return kPutTreeNoRoom;
    if (hsd->fxns.collapse)
        hsd->fxns.collapse(hsd, work);
    if (aheadBufferFull(hsd) || putTreeRefusesAll(mainBuf(hsd))) {
        if (looksForKeptMatch(hsd) && !findKeptMatch(hsd, work) && hsd->duplicateOf) {
            hsd->earlierMatch = hsd->duplicateOf;
            return kPutTreeDuplicate;
        }
        return kPutTreeAtMaxtrees;
    }
    if (earlierDuplicate(hsd, work))
        return kPutTreeDuplicate;
    const uint32_t k = putTree(work, mainBuf(hsd), true);
    if (!isPutTreeFull(k) && k != kPutTreeDuplicate) {
        if (double *scores = scoreSlots(hsd))
            scores[k - 1] = score;
        noteStored(hsd, k, score);
    } else if (k == kPutTreeDuplicate) {
        noteMet(hsd, getMatchingTree(mainBuf(hsd)));
    }
    return k;
}

void showMaxtreesHit(uint32_t tree, double score)
{
    qel_printf("    'Maxtrees' limit (%u) hit while swapping on tree #%u (score=%s)\n", getMaxtreesValue(), tree,
               treeScoreToString(0, score).c_str());
}

// ---------------------------------------------------------------------------
// Stopping

void setSearchCancelFlag(const std::atomic<bool> *flag) { tCancel = flag; }

bool searchStopRequested()
{
    if (tCancel) {
        // A run ahead of its turn gives way to a pass split among helpers
        // (only the replicate awaited splits its passes), and to a more
        // urgent run ahead.
        if (PassHelpers *helpers = passHelpers())
            helpers->giveWay(*tCancel);
        ReplicatesAhead::yieldPoint();
        return tCancel->load(std::memory_order_relaxed);
    }
    return getAbortedStatus() != 0 && confirmAbortRequest();
}

// ---------------------------------------------------------------------------
// The hit list

int tryToSaveTree(HSearchData *hsd, Tree *tree, const RearrObject *rearr, bool applied, double *best)
{
    if (!hsd->rules.heuristicRunning) {
        hsd->hitList.hits[0] = *rearr;
        hsd->hitList.count = 1;
        *best = rearr->score;
        return -1;
    }
    const uint32_t decision = checkSaveTree(hsd, rearr->score);
    int result = 0;
    if (decision & kSaveTree)
        result = applied ? saveRearrangedTree(hsd, tree, rearr->score) : addToHitList(hsd, tree, rearr);
    *best = hsd->maxScoreToSave;
    if (result)
        return result;
    return (decision & kBetterTree) ? -1 : 0;
}

int addToHitList(HSearchData *hsd, Tree *tree, const RearrObject *rearr)
{
    HitList &list = hsd->hitList;
    if (list.count < list.capacity)
        list.hits[list.count++] = *rearr;
    if (list.count >= list.capacity || atChuckLimit(hsd))
        return flushHits(hsd, tree, 0);
    return 0;
}

bool checkFlushAbort(HSearchData *hsd, uint32_t i, uint32_t n, bool *aborted)
{
    if (tCancel) {
        *aborted = tCancel->load(std::memory_order_relaxed);
        return *aborted;
    }
    if (getAbortedStatus() == 0)
        return false;
    if (getLongOperationStatus() > 0 && !confirmAbortRequest())
        return false;
    *aborted = true;
    setAbortedStatus(0);
    if (!hsd->rules.heuristicRunning)
        return true;
    // Before the replicate has stored a tree, one of the hits is the tree
    // being swapped itself, which is no additional tree.
    uint32_t remaining = n - i;
    if (remaining > 0 && numSaved(hsd) < hsd->firstTreeRep)
        remaining--;
    const bool room = uint64_t{numSaved(hsd)} + remaining <= getMaxtreesValue() ||
                      (canIncreaseMaxtrees() && !isMaxtreesFixed());
    if (remaining > 0 && hsd->rules.mulTrees && room) {
        if (hsd->rules.replicated)
            return true;
        if (!userQuery(true,
                       "Rearrangements have already been recorded (n=%u) that may represent additional distinct, "
                       "optimal trees.  Do you want to check these rearrangements now?",
                       remaining))
            return true;
    }
    qel_printf("\nSearch aborted. There may be a delay while cleanup is performed.\n");
    setLongOperationStatus(0);
    return false;
}

int flushHits(HSearchData *hsd, Tree *tree, int result)
{
    HitList &list = hsd->hitList;
    const SaveRules &r = hsd->rules;
    bool aborted = false;
    int saveResult = 0;
    const uint32_t n = list.count;
    for (uint32_t i = 0; i < n; i++) {
        if (checkFlushAbort(hsd, i, n, &aborted))
            break;
        const RearrObject &hit = list.hits[i];
        if (r.nbest && numSaved(hsd) >= r.nbest && compareScores(hit.score, hsd->worstScore) > 0)
            continue;
        const uint32_t before = numSaved(hsd);
        if (!hit.node[0]) {
            saveResult = saveRearrangedTree(hsd, tree, hit.score);
        } else if (hsd->fxns.apply && hsd->fxns.apply(hsd, tree, &hit) == 0) {
            saveResult = saveRearrangedTree(hsd, tree, hit.storedScore);
            if (hsd->fxns.undo)
                hsd->fxns.undo(hsd, tree, &hit);
        }
        if (hit.roundingTie && numSaved(hsd) > before)
            noteRoundingTie(hsd, numSaved(hsd));
        if (hsd->statusPoll && numSaved(hsd) > before)
            hsd->statusPoll(hsd);
        if (saveResult)
            break;
    }
    list.count = 0;
    return aborted ? 2 : saveResult ? saveResult : result;
}

int swapTree(HSearchData *hsd, Tree *tree)
{
    clearHits(hsd);
    hsd->maxtreesNotedFor = 0;
    hsd->swapping = 1;
    int result = 0;
    for (;;) {
        result = hsd->fxns.evaluateNeighbors ? hsd->fxns.evaluateNeighbors(hsd, tree) : 0;
        HitList &list = hsd->hitList;
        if (result == -1 && !hsd->rules.steepest && !hsd->rules.allSwap && list.count > 0 && hsd->fxns.apply) {
            RearrObject last = list.hits[list.count - 1];
            if (list.count > 1) {
                const int flushed = flushHits(hsd, tree, 0);
                if (flushed > 0 || flushed == -2) {
                    result = flushed;
                    break;
                }
            }
            if (last.node[0] && hsd->fxns.apply(hsd, tree, &last) != 0)
                break;
            tree->score[0] = last.score;
            makeRearrObject(&list.hits[0], nullptr, nullptr, nullptr, last.score);
            list.count = 1;
            continue;
        }
        result = flushHits(hsd, tree, result);
        if (list.count == 0)
            break;
    }
    hsd->swapping = 0;
    return result;
}

bool swappedTreeAwaitsStore(const HSearchData *hsd)
{
    // A better tree emptied the replicate's part of the buffer and named
    // the tree swapped in place as its first tree (checkSaveTree).
    return hsd->swapping && hsd->currentTree == hsd->firstTreeRep && numSaved(hsd) < hsd->firstTreeRep;
}

int finishEvaluation(HSearchData *hsd, int result)
{
    const int limit = finishEvaluations(hsd, 1);
    return limit ? limit : result;
}

namespace {

// Neighbours between two status polls: a parsimony search tries millions a
// second, and reads the clock for a row a few thousand times a second.
constexpr uint32_t kStatusPollInterval = 4096;

}  // namespace

int finishEvaluations(HSearchData *hsd, uint32_t n)
{
    if (!hsd->rules.heuristicRunning)
        return 0;
    if (hsd->statusPoll) {
        if (hsd->statusCountdown > n) {
            hsd->statusCountdown -= n;
        } else {
            hsd->statusCountdown = kStatusPollInterval;
            hsd->statusPoll(hsd);
        }
    }
    if (hsd->deadline) {
        if (hsd->clockCountdown >= n) {
            hsd->clockCountdown -= n;
        } else {
            hsd->clockCountdown = kClockCheckInterval - 1;
            if (searchDeadlinePassed(hsd->deadline, hsd->nextClockRead, hsd->threadClock))
                return 3;
        }
    }
    const double tried = hsd->rules.limitPerRep ? hsd->rearrTriedRep : hsd->rearrTriedTotal;
    if (hsd->rearrLimit > 0 && tried >= hsd->rearrLimit)
        return 4;
    return 0;
}
