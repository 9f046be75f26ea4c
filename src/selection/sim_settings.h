// Settings of the commands of the simulation blocks as their options bind
// them: TrueTree, SimData, BeginSim (and BeginIterBlock), the results-file
// options of BeginSim, and YangRannala's birth-death rates.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"

// A list of sequence lengths, loci counts or true-tree numbers with weights.
inline constexpr uint32_t kMaxSimListValues = 20;
struct SimValueList {
    uint32_t n;
    int32_t values[kMaxSimListValues];
    double weights[kMaxSimListValues];  // true trees only; 1 when not given
};

enum : uint32_t { kTrueTreeMemory = 0, kTrueTreeYule, kTrueTreeFixedYule, kTrueTreeBD,
                  kTrueTreeFixedBD };

struct SimSettings {
    // Values before the first command of a block; each command presets its own.
    // TrueTree
    int32_t source = -1;        // kTrueTree*, -1 until the command presets it
    uint8_t mscoalescent;
    uint32_t units;          // 0 substPerSite, 1 Ngen, 2 2Ngen
    uint8_t storeTrueTrees;
    uint32_t showTrueTrees;  // 0 no, 1 topology, 2 brlens
    uint32_t showGeneTrees;
    double scaleBrlens = 1.0;
    double theta = 1.0;
    double lambda = 1.0;
    double mu;
    double rho = 1.0;
    SimValueList treeNum;
    uint32_t treeSeed[4];
    double height = -1.0;
    uint8_t treeRep;         // 0 same, 1 different
    // SimData
    SimValueList nchar;
    uint8_t multilocus;
    SimValueList nloci;
    int32_t nsitesPerLocus;
    // BeginSim and BeginIterBlock
    int32_t nreps = 100;
    uint32_t seed[4];
    uint8_t discreteMode;
    uint8_t showModel = 1;
    uint8_t monitor = 1;
    // The results file
    char resultsFile[kParamPathSize];
    uint8_t output;          // 0 AllReps, 1 MeansOnly
    uint8_t BS;
    uint8_t times;
    uint8_t brLens;
};
extern SimSettings simOpt;

inline constexpr int32_t kMaxSimReps = 1000000;
// discreteMode before BeginSim's options are read: still so afterwards when
// the option was not given.

// Until the tree-generation settings are linked in, Yule's options are held here.
struct YuleSettings {
    int32_t ntrees;
    uint32_t seed[4];
};
extern YuleSettings gYuleTreeGen;

// "nchar", "nloci": "<n>" or "(<n1> <n2> ...)", positive integers; the
// option's variable is the SimValueList.
int readNSimChar(int operation, CmdParam *option, void *place);
// "treeNum": "<n>" or "(<n1>:<p1> ...)".
int readTrueTreeNum(int operation, CmdParam *option, void *place);
// "resultsFile": "(" the options of OptionSet::kResultsFile ")".
int readResultFileOpts(int operation, CmdParam *option, void *place);
