// What every tree search does before and after it runs: checking the
// request against the data, preparing the data, the search flags, the
// settings report, the periodic status output, the hooks of replicated
// analyses and the common end of a search.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct DataInfo;
struct Tree;

// Flags of checkSearchSettings and prepForSearch.
inline constexpr uint32_t kSearchNoMinTaxa = 32;     // skip the minimum-taxa check
inline constexpr uint32_t kSearchExhaustive = 8;
inline constexpr uint32_t kSearchConstraintsOk = 64;  // the search tests candidates against constraints
// Starting trees come from neighbor joining: under likelihood the set-up also
// computes the distances that likelihood starts from, which the NJ tree uses.
inline constexpr uint32_t kSearchNJStart = 128;
// The command takes no constraint options (it scores, sorts or builds trees
// without searching): the enforce setting that HSearch and the exact
// searches remember is not its own, so it neither checks nor applies it.
inline constexpr uint32_t kSearchNoConstraints = 256;
// The command only scores, sorts or compares trees: the trees in memory keep
// their user branch lengths, which a search's new trees would replace.
inline constexpr uint32_t kSearchKeepUserBrlens = 512;

// No included character takes a state from the ancestor in force: the
// standard ancestor, or one whose states are all missing.
bool ancestorAllMissing(const DataInfo *data);

// The settings report's lines on a Keep score (none when keep is 0); true
// when MulTrees is in effect, as a Keep score forces it.
bool showKeepSettings(double keep, bool mulTrees);

// The Keep score in effect: none inside a replicated analysis, whose
// replicates each keep their best trees only (suboptimal trees would count
// in the group frequencies as if they were optimal).
double keepScoreInEffect();

// The modes of setSearchVariables.
enum SearchMode : uint32_t {
    kSearchModeTree = 0,
    kSearchModeCluster = 1,
    kSearchModeQuartet = 2,
    kSearchModeRandomTrees = 3,
    kSearchModeCountSwaps = 4,
};

uint32_t numIncludedChars(const DataInfo *data);
// The taxa every search works on: the nondeleted ones, numbered 0..n-1 as
// the packed data and the main tree buffer number them.
uint32_t numSearchTaxa(const DataInfo *data);
// A working tree over exactly those taxa, with the extras the swappers use;
// null on failure.
Tree *createSearchTree(const DataInfo *data);
// Error 606 when fewer than `minimum` taxa remain.
int checkMinTaxa(const DataInfo *data, uint32_t minimum, const char *subject, const char *qualifier);
// Refusals print their message and return 1; the trees stay as they were.
int checkSearchSettings(DataInfo *data, uint32_t flags);
// Enforcing (or converse) without a constraint is error 512; a search that
// does not pass kSearchConstraintsOk cannot enforce one and refuses.
int checkSearchConstraintOptions(bool enforce, bool converse, uint32_t flags = 0);
// Checks, prepares the data for the criterion and sets the search flags.
int prepForSearch(DataInfo *data, uint32_t flags);
void setSearchVariables(uint32_t mode, DataInfo *data);
// Number of leaves of the trees the search builds (active taxa, + 1 rooted).
uint32_t searchLeafCount(const DataInfo *data);

// Settings report lines shared by the searches. A replicated analysis (a
// resampling or a test) heads the report with its own lines in place of the
// search's heading: set before the search, they are shown once, after the
// search's checks, so a search refused shows none.
void showSearchSettingsHeader(uint32_t searchType);
void setReplicatedHeading(std::function<void()> show);
// The heading of a replicated analysis, for as long as the scope lasts.
struct ReplicatedHeadingScope {
    explicit ReplicatedHeadingScope(std::function<void()> show) { setReplicatedHeading(std::move(show)); }
    ~ReplicatedHeadingScope() { setReplicatedHeading(nullptr); }
    ReplicatedHeadingScope(const ReplicatedHeadingScope &) = delete;
    ReplicatedHeadingScope &operator=(const ReplicatedHeadingScope &) = delete;
};
void showCriterionSettings(const DataInfo *data);
void showSearchTailSettings(const DataInfo *data, bool rooted);

// Periodic status: `begin` starts the clock, statusDue tells whether the
// interval has passed since the last line (and restarts it).
void beginSearchStatus();
bool searchStatusDue();
double searchElapsedSeconds();
std::string searchElapsedString();

// Replicated analyses (bootstrap, jackknife, permutation and homogeneity
// tests) frame the search's outer replicates with these hooks; a plain
// search has one outer replicate.
uint32_t setSearchNReps();
// The randomisation tests (partition homogeneity, permutation) frame each
// outer replicate with their own hooks while they run; null removes them.
struct ReplicateHooks {
    uint32_t nreps;
    int (*start)(Tree *tree, DataInfo *data, uint32_t rep);  // rep is 1-based
    int (*finish)(DataInfo *data, double bestScore);
    uint32_t unitsPerRep = 1;  // searches in one replicate of the test (nreps counts them all)
};
void setReplicateHooks(const ReplicateHooks *hooks);
int startReplicatedSearchRep(Tree *tree, DataInfo *data, uint32_t rep);
// What startReplicatedSearchRep returns when the replicate's sample could
// not be analysed and was tallied as a star tree: the caller goes on to the
// next replicate without searching.
constexpr int kReplicateTallied = 5;
int finishReplicatedSearchRep(DataInfo *data, double score);

// Clears the search flags; returns status unchanged.
int finishSearch(int status);
