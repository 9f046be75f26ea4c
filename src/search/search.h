// The frame every tree search runs in: the search state shared by all kinds
// of search, the constraint mode, the time-limit deadline, the three-taxon
// scoring the starting trees use, and the texts of search kinds.
#pragma once

#include <cstdint>
#include <string>

struct DataInfo;
struct Tree;

// The search in progress (the option settings live in `srch`).
struct SearchState {
    int32_t constraintMode;  // +1 positive, -1 converse, 0 none
    int32_t replicatedKind;  // >0 bootstrap, <0 jackknife, 0 none
    uint32_t outerRep;
    uint32_t nOuterReps;
    uint32_t repsPerUnit;    // 1, 2 for two constrained trees, or partition subsets
    uint32_t hold;
    uint8_t rooted;
    uint8_t heuristicRunning;
    uint8_t holdSeveral;
    uint8_t parsSearch;
    uint8_t likeSearch;
    uint8_t distSearch;
    uint8_t quartetSearch;
    uint32_t limitedOuterReps;  // outer replicates a time or rearrangement limit stopped
    uint8_t outerRepLimited;    // the outer replicate being finished was stopped by one
};
extern SearchState gSearchState;

// replicatedKind of the randomisation tests (bootstrap 1, jackknife -1).
constexpr int32_t kReplicatedHomPart = 2;
constexpr int32_t kReplicatedPermute = 3;
// "bootstrap", "jackknife", "homogeneity" or "permutation": the replicated
// analysis under way, as its replicates are named in running text.
const char *outerReplicateName();

std::string searchTypeString(uint32_t type, bool capitalize);
const char *replSearchTypeString(int kind);  // kind: 1 bootstrap, -1 jackknife, 2 permutation, 3 homogeneity
std::string searchRepString(uint32_t rep, uint32_t unit, uint32_t unitsPerRep);
// The outer replicate under way (gSearchState.outerRep, counting every search
// of a test's replicates) as searchRepString names it.
std::string outerRepString();

bool isRootedSearch(const DataInfo *data);
// Error 531 (and 1) when an exhaustive search would list more trees than a
// 32-bit count holds.
int checkMaxTaxaExhaustive(uint32_t ntax, bool rooted);

bool topolConstraintsActive();
bool positiveConstraintsActive();
bool converseConstraintsActive();
void setTopolConstrained(int32_t mode);
int32_t getTopolConstrained();
bool doingQuartetSearch();

// The CPU-tick deadline `seconds` after `now`, computed in 64 bits and
// saturating; 0 seconds means no deadline (0).
uint64_t searchDeadline(uint64_t nowTicks, uint32_t seconds, uint64_t ticksPerSecond);
uint64_t cpuTicksPerSecond();
// The clock of a search's time limit: the CPU time of the process (all its
// threads), in nanoseconds, so that a search on a busy machine gets the
// computing time it was given. ownThread: the CPU time of the calling thread
// alone, for a limit on work that threads do side by side, each its own.
uint64_t searchClockNanos(bool ownThread = false);
inline constexpr uint64_t kSearchClockPerSecond = 1000000000;
// Whether the time limit's deadline (searchClockNanos time; 0 none) has
// passed, for the checks inside the evaluators' loops. Reading the CPU time
// is a system call (some hundreds of nanoseconds, against tens for the wall
// clock), too dear for them: after a reading that found the deadline ahead,
// the CPU time is read again only once a millisecond of wall time has gone
// by, which the caller keeps in nextRead (0: read at once; a new deadline
// starts from 0). A deadline is so met at most a millisecond late per thread.
bool searchDeadlinePassed(uint64_t deadline, uint64_t &nextRead, bool ownThread = false);
// Tests drive the CPU clock: the clock searchClockNanos reads (null: the
// process's own, or the calling thread's).
void setSearchCpuClock(uint64_t (*clock)());

// Parsimony length of the three-taxon tree ((a, b), c) of active taxa; the
// tree's node storage is used as scratch. Taxon -1 is the ancestor.
double getLen3(const DataInfo *data, Tree *tree, int32_t a, int32_t b, int32_t c);
// The three taxa (rooted: the pair with the ancestor, c = -1) whose
// three-taxon tree is longest; the first strictly longest wins.
void findLongest3Tree(const DataInfo *data, Tree *tree, int32_t *a, int32_t *b, int32_t *c, bool rooted);
