// The swap hit list and the saving of trees during branch swapping: which
// candidate trees are kept (best score, Keep, NBest, NChuck/ChuckScore,
// MulTrees, steepest descent), the store into the main tree buffer with
// worst-tree replacement under NBest, and the loop that swaps one tree.
//
// Tree numbers are 1-based positions in the main (active) tree buffer.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

struct DataInfo;
struct Tree;
struct TreeNode;
struct TreeBuffer;
struct HSearchData;
struct AheadMaxtrees;
struct AheadTrail;

// One rearrangement; a null first node means the tree itself, unrearranged.
struct RearrObject {
    TreeNode *node[3];
    double score;        // of the rearranged tree
    double storedScore;  // stored with the tree when the move is applied
    int16_t code[2];     // the evaluator's own codes
    uint8_t isEcr;       // 0 a TBR move; else a 2-ECR move (kinds in search/ecr.h)
    // A 2-ECR move over two non-adjacent edges: the node moved by the first
    // interchange, made before the TBR move node[0..2]; null otherwise.
    TreeNode *ecrFirst;
    // Ties the best tree by rounding alone: kept, never swapped.
    uint8_t roundingTie = 0;
};

struct HitList {
    RearrObject *hits;
    uint32_t count;
    uint32_t capacity;
};

// The options and search flags the save decisions read, copied in by the
// search that owns the HSearchData.
struct SaveRules {
    uint32_t nbest;        // 0 off
    uint32_t nchuck;
    double chuckScore;
    double keepScore;      // in effect when keepActive
    bool chuckActive;      // chuckScore nonzero and mulTrees on
    bool allSwap;
    bool steepest;
    bool abortRep;
    bool mulTrees;
    bool keepActive;
    bool randomAddition;
    bool replicated;
    bool heuristicRunning;
    bool limitPerRep;
};

// The swapping code installs how its moves are applied and undone and how
// the neighbours of a tree are evaluated (it calls tryToSaveTree).
struct RearrFxns {
    int (*apply)(HSearchData *hsd, Tree *tree, const RearrObject *move);
    void (*undo)(HSearchData *hsd, Tree *tree, const RearrObject *move);
    int (*evaluateNeighbors)(HSearchData *hsd, Tree *tree);
    // Collapses unsupported edges before a store; null: stored as is.
    void (*collapse)(HSearchData *hsd, Tree *tree);
};

struct HSearchData {
    DataInfo *data;
    Tree *workTree;
    TreeBuffer *startBuf;
    HitList hitList;
    SaveRules rules;
    RearrFxns fxns;
    double bestScoreRep;      // 1e37 until a tree is scored
    double bestScoreOverall;
    double worstScore;        // NBest: worst saved score
    double maxScoreToSave;
    uint32_t worstTree;
    uint32_t *nbestList;      // NBest: tree numbers still to swap
    uint32_t nbestCount;
    uint32_t nbestCapacity;
    uint32_t firstTreeRep;
    uint32_t currentTree;
    uint32_t lastTreeRound;
    uint32_t firstBestGroup;
    uint32_t duplicateOf;     // an earlier replicate's tree that a new one matched
    uint32_t maxtreesNotedFor;  // 1 + the tree being swapped when the Maxtrees line was printed; 0 none
    double rearrTriedRep;
    double rearrTriedTotal;
    double rearrLimit;        // 0 none
    uint32_t reconLimit;      // SPR and TBR reconnection limit; 0 none
    uint64_t deadline;        // searchClockNanos(); 0 none
    uint32_t clockCountdown;  // evaluations left before the clock is read again
    uint64_t nextClockRead;   // wall time of the next CPU-time reading (searchDeadlinePassed)
    bool threadClock;         // the deadline is in the CPU time of the thread that runs the replicate
    // 2-ECR: while the interchanges next to one first interchange are
    // evaluated, its node (never cut) and the five edges left out as
    // reroot or graft edges; and the snapshot a 2-ECR move is undone from.
    TreeNode *ecrNode;
    TreeNode *ecrRedundant[5];
    Tree *ecrSnapshot;
    // Trees stored as rounding ties of the best (by tree number; the array
    // holds `tiesCap` flags, null none): kept with MulTrees, not swapped.
    uint8_t *roundingTies;
    uint32_t tiesCap;
    uint8_t swapping;
    uint8_t steepestTruncated;
    uint8_t overflowed;       // a tree could not be stored: the buffer was full
    // A replicate run ahead of its turn keeps its trees in a buffer of its
    // own (null: the active buffer) and notes every tree it stores, so that
    // the search can tell later whether trees kept by earlier replicates
    // would have changed its course.
    TreeBuffer *ownBuf;
    std::vector<uint8_t> *storedLog;  // encodings of every tree stored, one bytesPerTree each
    uint32_t peakSaved;               // most trees held at once
    uint32_t storeCap;                // that many held: the run ahead is of no use; 0 none
    uint8_t aheadSpoiled;
    // A run ahead under a Maxtrees limit that may not grow meets the limit
    // where the search would in the replicate's turn (null: it is of no use
    // once its own trees would reach the limit; see storeCap).
    AheadMaxtrees *aheadMaxtrees;
    // A run ahead whose course the search may take up to a point: what it
    // records of the events there (null: nothing recorded).
    AheadTrail *trail;
    // A run ahead's own context (hsearch.cpp), asked before each store for
    // the number of the tree an earlier replicate keeps that the tree
    // duplicates (earlierTreeAhead); the answer stays in earlierMatch for the
    // caller of the store. Null outside runs ahead.
    void *aheadContext;
    uint32_t earlierMatch;
    // Asked after every few thousand neighbours and after each tree saved:
    // the search's own record shows a status row when one is due, a run
    // ahead tells the search how far it is. Null: nothing asked.
    void (*statusPoll)(HSearchData *hsd);
    uint32_t statusCountdown;
};

// The Maxtrees limit as a run ahead plays it: the buffer taken to hold
// `base` trees when the replicate's turn comes (a guess, checked then), so
// full once the run's own buffer holds `fullAt`. The lines the search
// prints on meeting the limit are kept to be printed in that turn.
struct AheadMaxtrees {
    uint32_t base = 0;
    uint32_t fullAt = 0;
    uint32_t treeOffset = 0;  // the run's tree numbers plus this are the search's
    bool met = false;         // a tree was refused at the limit
    uint32_t points = 0;      // swap points the run has passed (AheadTrail)
    struct Note {
        uint32_t tree;
        double score;
        uint32_t point;       // printed in the search's turn if it takes the run past this many points
    };
    std::vector<Note> notes;
};

// The events of a run ahead that the trees earlier replicates leave in the
// buffer may change, in order: each tree stored (its number in storedLog),
// each tree met again that the replicate holds (likewise) or that the
// retained trees hold (its number in the buffer), each tree taken as one an
// earlier replicate keeps (its number among those), and each better tree
// that drops the replicate's trees. With its scores, the search can follow
// the run in its turn as far as the buffer then lets the two go alike.
struct AheadTrail {
    static constexpr uint32_t kStore = 0u << 29;
    static constexpr uint32_t kMetOwn = 1u << 29;
    static constexpr uint32_t kMetRetained = 2u << 29;
    static constexpr uint32_t kMetEarlier = 3u << 29;
    static constexpr uint32_t kDropped = 4u << 29;
    static constexpr uint32_t kKindMask = 7u << 29;
    // A run that meets its own trees again millions of times is of no more
    // use past here than one run again.
    static constexpr size_t kMaxEvents = size_t{1} << 22;
    std::vector<double> scores;     // of each tree in storedLog
    std::vector<uint32_t> events;
    uint32_t held = 0;              // storedLog number of the replicate's first tree held now
    bool full = false;              // the events stopped at kMaxEvents
    void note(uint32_t kind, uint32_t what)
    {
        const uint32_t e = kind | what;
        // Meeting the same tree again and again says no more than once.
        if (full || (!events.empty() && events.back() == e && kind != kStore))
            return;
        if (events.size() >= kMaxEvents) {
            full = true;
            return;
        }
        events.push_back(e);
    }
};

inline constexpr uint32_t kSaveTree = 1;
inline constexpr uint32_t kBetterTree = 2;

uint32_t hitListCapacity(uint32_t ntax, bool ecr);
// The work record for n taxa; the main buffer gets a score array.
// `ownBuf`, when given, is the buffer the record stores to from the start
// (instead of the active buffer).
HSearchData *createHSearchData(DataInfo *data, uint32_t ntax, const SaveRules &rules, bool ecr,
                               TreeBuffer *ownBuf = nullptr);
HSearchData *destroyHSearchData(HSearchData *hsd);

void clearHits(HSearchData *hsd);
uint32_t numHits(const HSearchData *hsd);
RearrObject *getSwapHit(HSearchData *hsd, uint32_t i);
void makeRearrObject(RearrObject *r, TreeNode *a, TreeNode *b, TreeNode *c, double score);

void setMaxScoreToSave(HSearchData *hsd);
bool atSwapChuckLimit(HSearchData *hsd, double s);
bool atChuckLimit(HSearchData *hsd);
uint32_t checkSaveTree(HSearchData *hsd, double s);
bool scoreIsGood(const HSearchData *hsd, double score, double bound, double best);

int tryToSaveTree(HSearchData *hsd, Tree *tree, const RearrObject *rearr, bool applied, double *best);
int addToHitList(HSearchData *hsd, Tree *tree, const RearrObject *rearr);
int flushHits(HSearchData *hsd, Tree *tree, int result);
int saveRearrangedTree(HSearchData *hsd, Tree *tree, double score);
// Whether tree k of the main buffer was stored as a rounding tie of the
// best, and so is not to be swapped.
bool isRoundingTie(const HSearchData *hsd, uint32_t k);
uint32_t collapseAndSave(HSearchData *hsd, Tree *tree, double score);
void findWorstTree(HSearchData *hsd);
void updateNbest(HSearchData *hsd, uint32_t treeNum, double score);
// NBest: takes the next tree to swap off the list (0 when it is empty).
uint32_t takeNextNbestTree(HSearchData *hsd);
int swapTree(HSearchData *hsd, Tree *tree);
// Whether the tree being swapped is the replicate's first tree, not yet in
// the main buffer: a better tree swapped in place waits as the first hit
// until its neighbours are evaluated, and the status rows count it.
bool swappedTreeAwaitsStore(const HSearchData *hsd);
// The line a search prints when a tree found while swapping tree `tree`
// could not be stored for the Maxtrees limit.
void showMaxtreesHit(uint32_t tree, double score);
// The time limit is checked every kClockCheckInterval evaluations.
inline constexpr uint32_t kClockCheckInterval = 64;
int finishEvaluation(HSearchData *hsd, int result);
// finishEvaluation for n evaluations in a row, none of which saved a tree
// (they are counted already): the time and rearrangement limits, once.
int finishEvaluations(HSearchData *hsd, uint32_t n);
// Adds what a run ahead tried since it last did to the shared count.
// True when the search is to stop at the user's request (asked and
// confirmed). A thread running a replicate ahead of its turn never asks the
// user: it stops when its run is called off.
bool searchStopRequested();
// The calling thread's call-off flag while it runs a replicate ahead of its
// turn; null on the thread that talks to the user.
void setSearchCancelFlag(const std::atomic<bool> *flag);
// searchStopRequested for a loop over many cheap evaluations: read at the
// first call and then every kStopPollInterval-th. Reading it at each one
// costs a call and an atomic load apiece, while a few thousand evaluations
// pass well within a millisecond, so a stop is still prompt.
inline constexpr uint32_t kStopPollInterval = 4096;
class StopPoll {
public:
    bool stopRequested()
    {
        if (--left_ != 0)
            return false;
        left_ = kStopPollInterval;
        return searchStopRequested();
    }

private:
    uint32_t left_ = 1;
};
// After a user abort request during a flush: true when the flush must stop;
// *aborted is set once the abort is confirmed.
bool checkFlushAbort(HSearchData *hsd, uint32_t i, uint32_t n, bool *aborted);
