// Settings of the tree searches that the option table binds, the current
// optimality criterion, and the score-frequency output settings. The search
// driver reads them; the commands only set them through their options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "data/data_services.h"  // kCriterionParsimony, kCriterionLikelihood, kCriterionDistance
#include "cli/qel_cmdoptions.h"

// Passed to getActiveCriterion for "whatever is current".
inline constexpr uint32_t kCriterionCurrent = 5;

struct SearchSettings {
    uint8_t enforce;       // constraints are enforced
    uint8_t converse;      // keep trees incompatible with the constraint
    uint8_t statusWin;     // periodic status display of a running search
    uint8_t autoClose;
    uint8_t includeAnc;    // the ancestor is a taxon of the search
    uint8_t mulPars;       // keep all equally good trees while swapping
    uint8_t mulTrees;
    uint8_t fdOnly;        // BandB only computes the score distribution
    int32_t looseConvex;   // violations of convexity tolerated; 0 none
    int32_t dStatus;       // seconds between status displays; 0 none
    double keep;           // keep trees at most this score; 0 no bound
};
extern SearchSettings srch;

inline constexpr int32_t kMaxStatusInterval = 0x7FFFFFFF;

// The status interval in milliseconds; 0 when no periodic display is wanted.
// Computed in 64 bits: an interval of days in seconds does not wrap.
uint64_t statusIntervalMs();

struct FreqDistOptions {
    int32_t fdClasses;               // classes of the score histogram
    uint8_t pref_saveToFile;
    char fdFile[kParamPathSize];     // where the distribution is written
};
extern FreqDistOptions fdopt;

inline constexpr int32_t kMaxFreqDistClasses = 100000;

// Replicate counts size the per-replicate tables of a search (islands,
// sampled scores), so they are bounded.
inline constexpr int32_t kMaxReplicates = 1000000;

// The HSearch options and the start-tree choice read by the `start` option.
struct HSearchOptions {
    uint32_t swap = 3;          // none, NNI, SPR, TBR
    uint8_t ecr = 0;            // 2-ECR swapping
    int32_t reconLimit = 8;     // 0 = infinity
    int32_t nchuck = 0;
    double chuckScore = 0;      // 0 = no limit
    uint32_t addSeq = 0;        // simple, closest, asIs, random, furthest
    int32_t nreps = 10;
    uint32_t rseed[4]{};       // 0 = a fresh seed per search
    uint8_t rstatus = 0;
    uint8_t saveReps = 0;
    int32_t refTax = 0;         // 0 = the first included taxon
    int32_t hold = 1;
    int32_t nbest = 0;          // 0 = all
    uint8_t allSwap = 0;
    uint8_t useNonMin = 0;
    uint8_t steepest = 0;
    uint8_t abortRep = 0;
    uint8_t retain = 0;
    uint8_t randomize = 0;      // addSeq, trees
    int32_t timeLimit = 0;      // seconds; 0 = none
    int32_t rearrLimit = 0;     // 0 = none
    uint8_t limitPerRep = 0;
    // Start trees: kStartStepwise, kStartNJ, kStartCurrent, kStartRange.
    uint32_t startSource = 0;
    int32_t firstStartTree = 0;
    int32_t lastStartTree = 0;
};
extern HSearchOptions hs;

inline constexpr uint32_t kStartStepwise = 0;
inline constexpr uint32_t kStartNJ = 1;
inline constexpr uint32_t kStartCurrent = 2;
inline constexpr uint32_t kStartRange = 3;

// The BandB and AllTrees options.
struct ExactSearchOptions {
    double upBound = 0;         // 0 = compute an initial bound
    uint32_t addSeq = 0;        // furthest, asIs, simple, maxMini, kMaxMini
    uint32_t fdType = 0;        // histogram, barChart (BandB)
    uint32_t fd = 1;            // none, histogram, barChart (AllTrees)
    uint32_t effAddSeq = 0;     // the addition sequence in effect
    uint8_t upBoundGiven = 0;   // upBound was given in the current command
};
extern ExactSearchOptions bbex;

// The bootstrap and jackknife options.
struct BootJackOptions {
    int32_t nreps = 100;
    uint32_t search = 0;        // heuristic, BandB, fastStep, NJ, UPGMA
    uint32_t seed[4]{};       // 0 = a nondeterministic seed
    int32_t conLevel = 50;       // percent
    uint8_t keepAll = 0;
    uint32_t wts = 0;           // proportional, simple (repeatCnt and ignore are read as 2 and 3)
    uint8_t grpFreq = 1;
    char treeFile[kParamPathSize]{};
    uint32_t format = 0;        // Nexus, altNexus, Freqpars, Newick, Hennig, Phylip
    uint32_t brLens = 0;        // no, yes
    int32_t cutoffPct = 5;
    uint8_t save = 0;           // withdrawn; switched off again by its callback
    int32_t nchar = 0;          // characters resampled per replicate; 0 = current
    double pctDelete = 50.0;     // jackknife
    uint8_t resample = 0;       // normal, Jac
};
extern BootJackOptions btjkOpt;

inline constexpr uint32_t kBtjkWtsProportional = 0;
inline constexpr uint32_t kBtjkWtsSimple = 1;
inline constexpr uint32_t kBtjkWtsRepeatCnt = 2;
inline constexpr uint32_t kBtjkWtsIgnore = 3;

// The tree-score file shared by the score and search commands.
struct ScoreFileOptions {
    char scoreFile[kParamPathSize] = "treescores.txt";
    std::FILE *stream = nullptr;
    uint8_t pref_saveToFile = 0;
    uint8_t displayOut = 1;
};
extern ScoreFileOptions sfopt;

// A file a command writes only when its own options name it (the score
// file, the distribution file): while the options are read the name of an
// earlier command is set aside, so that given() tells whether this one
// named a file; without a name the earlier one is put back.
class NamedFileRequest {
public:
    NamedFileRequest(char *name, size_t size);
    NamedFileRequest(const NamedFileRequest &) = delete;
    NamedFileRequest &operator=(const NamedFileRequest &) = delete;
    // Call once the command's options are read.
    bool taken();
    bool given() const { return given_; }

private:
    char *name_;
    size_t size_;
    char saved_[kParamPathSize];
    bool given_ = false;
};

// The distribution file of one command: the save flag is set only when the
// command names the file, and cleared when the command ends, so that the
// next command that shows a distribution writes none unless it asks.
class FreqDistFileRequest {
public:
    FreqDistFileRequest();
    ~FreqDistFileRequest();
    FreqDistFileRequest(const FreqDistFileRequest &) = delete;
    FreqDistFileRequest &operator=(const FreqDistFileRequest &) = delete;
    void taken();

private:
    NamedFileRequest file_;
};
extern uint8_t gSortTreesByScore;  // the score commands sort the trees by score

// Option callbacks and readers of the search options; 0 accepts.
// "start": stepwise, NJ, current, or a tree number or range n-m.
int getStarterOptions(int operation, CmdParam *option, void *place);
// "nchar": "current" or 1..2147483647 characters (error 522).
int readNcharBoot(int operation, CmdParam *option, void *place);
// "wts": ignore is refused (error 529); repeatCnt becomes proportional.
int checkBtjkWtsOption(CmdParam *option);
// "PctDelete": strictly between 0 and 100 (error 525), else the old value stays.
int checkJackFrac(CmdParam *option);

extern uint32_t gCriterion;  // kCriterionParsimony, kCriterionLikelihood, kCriterionDistance

uint32_t getOptimalityCriterion();
// `criterion`, or the current criterion when it is kCriterionCurrent.
uint32_t getActiveCriterion(uint32_t criterion);
// Stores the criterion and, with `reinit`, reinitialises what depends on it
// (quietly); returns the previous criterion.
uint32_t setOptimalityCriterion(uint32_t criterion, bool reinit);
// Reinitialises the state that depends on the criterion, announcing the
// criterion first when asked: each hook added by addCriterionResetHook runs,
// in order of installation. Returns 0.
int initOptimalityCriterion(bool announce);
// Units that keep criterion-dependent state (score bounds, prepared data)
// hook their resets here; at most kMaxCriterionResetHooks; 1 when full.
inline constexpr int kMaxCriterionResetHooks = 8;
int addCriterionResetHook(void (*hook)(uint32_t criterion));
void clearCriterionResetHooks();
const char *currentCriterionString();
// Change callback of the "criterion" option: a changed criterion is
// announced and its dependent state reset; never rejects.
int criterionInfo(CmdParam *option);

// The tree lists CountSwaps and DescribeTrees keep between calls (slots of
// treeSets; the trees changing clears them).
inline constexpr uint32_t kCountSwapsTreeSet = 9;
inline constexpr uint32_t kDescribeTreesTreeSet = 10;
