// The state of an open simulation block, shared by the block's commands,
// the replicate simulation and the tallies. One record while a block is
// open, none otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/qel_cmdline.h"
#include "qel/qel_auxout.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "qel/qel_time.h"
#include "selection/seqsim.h"
#include "selection/sim_settings.h"

struct Tree;
struct TreeNode;
struct TreeBuffer;

struct SimWeighted {
    std::string model;  // site models
    int32_t tree = 0;   // true trees (1-based)
    double weight = 1.0;
};

struct SimLocalChange {
    bool isRate = false;
    std::string model;
    double rate = 1.0;
    std::vector<uint32_t> taxa;  // rows
};

// One tally label against one true tree: this replicate's values and the
// sums over the replicates of the current length.
struct SimTally {
    std::string label;
    uint32_t trees = 0;
    double correct = 0.0, P = 0.0, bs = 0.0, cpu = 0.0;
    bool haveBs = false, done = false;
    double sumTrees = 0.0, sumCorrect = 0.0, sumP = 0.0, sumBs = 0.0, sumCpu = 0.0;
    uint32_t nBs = 0, reps = 0;
};

// While alive, normal output reaches the terminal whatever BeginSim's
// monitor option says: the loop's own progress, its question and the reason
// it stopped are shown when the output of the commands it runs is not.
struct LoopOutputShown {
    bool was = setOutputMonitoring(true);
    LoopOutputShown() = default;
    LoopOutputShown(const LoopOutputShown &) = delete;
    LoopOutputShown &operator=(const LoopOutputShown &) = delete;
    ~LoopOutputShown() { setOutputMonitoring(was); }
};

struct SimBlock {
    bool twoState = false;
    std::string title;
    uint32_t ntax = 0;

    // TrueTree
    bool haveTrueTree = false;
    int32_t source = -1;
    bool mscoalescent = false, storeTrueTrees = false, treeRepDifferent = false;
    uint32_t units = 0, showTrueTrees = 0, showGeneTrees = 0;
    double scaleBrlens = 1.0, theta = 1.0, lambda = 1.0, mu = 0.0, rho = 1.0, height = -1.0;
    uint32_t treeSeed[4] = {};
    TreeBuffer *trueTrees = nullptr;  // clone of the trees in memory
    std::vector<SimWeighted> treeList;
    Tree *generated = nullptr;        // the current generated true tree
    bool fixedTreeDrawn = false;      // FixedYule, FixedBD: drawn for this loop
    std::vector<double> splitTimes;

    std::vector<SimWeighted> siteModels;
    std::vector<SimLocalChange> local;

    // SimData
    bool haveLengths = false, multilocus = false;
    std::vector<int32_t> lengths;  // lengths, or loci counts
    int32_t sitesPerLocus = 0;

    // The loop
    bool running = false;
    int32_t nreps = 0, rep = -1;
    uint32_t lengthIndex = 0;
    bool discreteMode = false, monitor = false;
    // The output-monitoring state the first BeginSim found, put back when
    // the block ends.
    bool monitoringSaved = false, savedMonitoring = true;
    RNG dataRng{}, treeRng{}, treeRngAtStart{};
    std::vector<SimModel> models;  // site models first, then local models
    uint32_t nSiteModels = 0;
    std::vector<uint8_t> states;   // ntax x nchar of the current replicate
    // The loop's text and the input that reads it: kept apart, because an
    // input nested inside the loop may still name it after the block closes.
    struct LoopSource {
        std::string text;
        InputStatus input{};
        // Where the text came from: the command file and the line (from 1)
        // its first character was on, so that an error inside the loop
        // names the file's line, as it does outside it.
        std::string fileName;
        uint32_t startLine = 0;
    };
    std::unique_ptr<LoopSource> loop = std::make_unique<LoopSource>();
    TimeMark timer{};
    // The loop's progress (one step per replicate), and a stop the user
    // asked for, which takes effect once the replicate in progress is whole.
    ProgData *progress = nullptr;
    bool stopAfterReplicate = false;
    // Set while the loop itself works (simulating and installing a
    // replicate's data, ending a replicate), not a command of the replicate:
    // a stop asked for then waits for the loop's next step.
    bool inLoopStep = false;
    // While the loop runs: a termination signal writes the interrupted
    // replicate's row as far as its tallies went, as an error does.
    std::unique_ptr<TerminationFinisher> finisher;
    bool terminating = false;
    bool stopShown = false;  // the stop by the user has been reported
    // Interrupts the loop has taken, so that a step that failed because one
    // came can tell so after the flag has been cleared.
    uint32_t interruptsTaken = 0;

    // The results file
    AuxOut *results = nullptr;
    std::string resultsName;
    bool meansOnly = false, BS = false, times = false, brLens = false;
    // brLens: the first true tree's branches as columns (traversal order),
    // the lengths the trees in memory give them summed over replicates.
    std::vector<uint32_t> brlenNodes;
    std::vector<double> brlenSums;
    std::vector<uint32_t> brlenCounts;
    std::vector<SimTally> tallies;  // label-major, one per true tree
    uint32_t tallyOrdinal = 0;
    bool bsWarned = false;

    // Iteration block
    bool iterating = false;
    InputMark iterMark{};
    uint32_t iterSubset = 0;
    // The Tally commands inside an iteration block run once per locus into
    // the same columns, pooling that replicate's gene trees.
    uint32_t iterTallyOrdinal = 0;
    Set *savedExclusions = nullptr;
};

extern std::unique_ptr<SimBlock> gSim;

// Marks the loop's own work (SimBlock::inLoopStep) for a scope; steps nest.
class LoopStep {
public:
    explicit LoopStep(SimBlock &s) : s_(s), previous_(s.inLoopStep) { s.inLoopStep = true; }
    ~LoopStep() { s_.inLoopStep = previous_; }
    LoopStep(const LoopStep &) = delete;
    LoopStep &operator=(const LoopStep &) = delete;

private:
    SimBlock &s_;
    bool previous_;
};

// Number of true trees a tally compares with.
uint32_t numTrueTreesForTally();
// The k-th true tree of this replicate (loaded into `tree`, lengths scaled).
// 0, or 1 on failure.
int loadTrueTree(uint32_t k, Tree *tree);

// Makes the data of the current replicate and installs it; rewinds the loop.
int simulateReplicate();

// An interrupt during the loop asks whether to stop; a stop takes effect
// after the replicate in progress, so that only whole replicates reach the
// results file.
void noteSimInterrupt();

// The node numbers of the first true tree's branches in traversal order
// (tips by taxon number, internal nodes after them in preorder), and, for
// the first tree in memory, the length of each of those branches (0 for a
// group it lacks; false when the trees in memory have no lengths).
int trueTreeBranchNodes(std::vector<uint32_t> *nodes);
// The root a true tree is simulated from: a rooted tree's ancestor node
// with one child stands above the real root and carries no branch.
const TreeNode *simTreeRoot(const Tree *tree);
bool foundLengthsOfTrueBranches(std::vector<double> *lengths);
