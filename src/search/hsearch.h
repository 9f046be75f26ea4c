// The heuristic search: starting trees, branch swapping in rounds over the
// trees of the main buffer, random-addition-sequence replicates, time and
// rearrangement limits, the status table and the summary. The trees found
// are kept in the main tree buffer.
#pragma once

#include <cstdint>
#include <string>

struct DataInfo;
struct HSearchData;
struct Tree;

// The HSearch command.
int doHSearchCmd();
// The deadline of a time limit (hs.timeLimit seconds; 0 none) that starts
// now, in the CPU time of searchClockNanos (of this thread with ownThread).
uint64_t timeLimitDeadline(bool ownThread = false);
// mode 0: HSearch (reads the command's options); 1: the search of a
// resampling replicate, with the options as set; kFastStepMode: a fast
// stepwise replicate (one random-addition tree, no swapping, whatever the
// options). Returns 0, 1 on a refusal or failure, 2 when the user stopped
// the search.
inline constexpr int kFastStepMode = 2;
int stdHeuristicSearch(int mode, DataInfo *data);
// The search with the options as they are set (HSearch after reading them);
// fastStep as for kFastStepMode, once those settings are in place.
int runHeuristicSearch(DataInfo *data, bool fastStep = false);
// The running heuristic search's status row (nothing between searches).
void showHSearchStatus();
// The rearrangements the last heuristic search tried, for callers that
// measure it.
double lastHSearchRearrangements();
// Threads that random-addition replicates may run on; 0 (the default) means
// every processor the process may use. The trees found are the same for any
// count.
void setHSearchThreads(uint32_t n);
// What became of the last search's runs ahead of their turn: replicates
// taken from them, runs whose work was thrown away (called off, or done
// and set to run again), replicates run again on the calling thread, and
// runs that took the stepwise trees of their replicate's run before.
struct AheadCounts {
    uint32_t threads = 0;   // threads the replicates ran on; 0 or 1: none ran ahead
    uint32_t ranAhead = 0;  // runs begun on worker threads
    uint32_t taken = 0;
    uint32_t calledOff = 0;
    uint32_t rerunHere = 0;
    uint32_t stepwiseReused = 0;
    uint32_t settled = 0;  // taken although an earlier replicate had met a tree they stored
    uint32_t fromGuesses = 0;  // taken or resumed from runs begun before their start was known
    uint32_t gaveWay = 0;      // times a run gave its processor to a more urgent one
    // Taken up to a point where an earlier replicate's trees part them from
    // the search, which went on from there (MulTrees).
    uint32_t resumed = 0;
};
AheadCounts lastHSearchAheadCounts();
// Whether runs ahead may begin from guessed starts (on unless a check of
// the runs from known starts alone turns it off). Returns the old value.
bool setAheadStartGuesses(bool on);
// Processors the runs ahead compute on at once, fewer than the threads to
// make them give way often (a check); 0, the default: one per thread.
void setAheadProcessors(uint32_t n);
// Checks of taking MulTrees runs ahead up to a point, each returning the old
// value. Blind: runs ahead neither see nor tell which trees the other
// replicates store, so every tree two replicates share is one a later run
// stored before its earlier replicate met it. Half: a run that went as the
// search would to its end is taken only up to its middle swap point, and
// the search goes on from there.
bool setAheadRunsBlind(bool on);
bool setAheadTakesHalf(bool on);
// Asked by a run ahead of its turn before each store: the number of the
// tree an earlier replicate keeps that the tree duplicates, or 0.
uint32_t earlierTreeAhead(HSearchData *hsd, Tree *tree);
// Asked by a run ahead of its turn, its buffer full and nothing of its own
// stored, for a tree the full buffer refuses unread: the number of the kept
// tree it is (one an earlier replicate keeps stands as unknown until the
// run is taken), or 0. False when the run can no longer tell (it is run
// again in its turn).
bool keptTreeAhead(HSearchData *hsd, Tree *tree, uint32_t *match);
// Whether the search thread of hsd may take the pass helpers now: a run
// ahead of its turn only while its replicate is the one awaited.
bool passHelpersAllowed(const HSearchData *hsd);
// Told by a run ahead the first time its buffer, as it plays the Maxtrees
// limit, refuses a tree.
void noteAheadMaxtreesMet(HSearchData *hsd);

// Installs the swapper for a swap type (1 NNI, 2 SPR, 3 TBR); 1 when that
// swapper is not available.
int installSearchSwapper(HSearchData *hsd, uint32_t swapType);
const char *swapTypeName(uint32_t swapType);

// The status table: its heading and one row, by the layout of the search
// (random-addition replicates or not, inside a resampling or other
// replicated analysis or not). `outerRep` names the replicated analysis's
// replicate (null outside one).
void showHSearchStatusHeader(bool randomAddition, bool replicated = false);
void showHSearchStatusRow(bool randomAddition, const char *elapsed, uint32_t rep, int32_t taxaAdded,
                          double rearrTried, uint32_t saved, int64_t toSwap, double bestRep, double bestOverall,
                          const char *outerRep = nullptr);
std::string rearrCountString(double n);
