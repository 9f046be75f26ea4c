// The option sets: each command's group of options, and the smaller groups
// that several commands share, go by name. The numbers are the table's own
// keys (the registrations test them, the command rows carry them, the
// owner ranges of the option table compare them), so they never change; an
// enum class keeps a stray integer from passing for a set.
#pragma once

#include <cstdint>

enum class OptionSet : uint32_t {
    kAll = 0,  // every registration of the table once, with no nesting

    // Shared groups, nested in the command sets below.
    kConstraintEnforcement = 5,
    kConvexity = 6,
    kSearchConstraints = 7,      // kConstraintEnforcement, converse, kConvexity
    kRooting = 8,
    kOutputFile = 9,             // replace and append of a file a command writes
    kCharMatrixOutput = 10,
    kSearchStatus = 11,
    kSearchDisplay = 12,
    kAncestorInclusion = 13,
    kMultipleTrees = 14,
    kTreeBufferSize = 15,
    kNexusInputOutput = 16,
    kDrawTreeSemiGraph = 17,
    kDrawTreeCompress = 18,
    kDrawTreeTaxNum = 19,
    kDrawTree = 20,              // 17, the tree order, 18, 19, the labels
    kWarningsErrors = 21,
    kTreeStorage = 22,
    kSet = 23,

    // Commands of the DATA, TAXA, CHARACTERS and DISTANCES blocks.
    kDataDimensions = 24,
    kCharFormat = 25,            // FORMAT of a DATA or CHARACTERS block
    kDataOptions = 26,           // OPTIONS of a DATA or CHARACTERS block
    kTaxaDimensions = 27,
    kCharsDimensions = 28,
    kDistDimensions = 29,
    kDistFormat = 30,

    kLog = 31,
    kAssume = 32,
    kAssumptionsOptions = 33,    // OPTIONS of an ASSUMPTIONS block
    kSaveAssum = 34,
    kIncludeExclude = 35,
    kReweight = 36,
    kWeightsScale = 37,          // Weights, after its word "scale"
    kCStatus = 38,
    kMissData = 39,
    kShowMatrix = 40,
    kDelete = 41,
    kRestore = 42,               // Restore and Undelete
    kOutgroup = 43,              // Outgroup and Ingroup
    kTStatus = 44,
    kAgree = 45,
    kKeepMulTrees = 46,
    kScoreFreqDist = 47,
    kBandB = 48,
    kAllTrees = 49,
    kHSearch = 50,
    kResampling = 51,            // what Bootstrap and Jackknife share
    kBootstrapMethod = 52,
    kJackknifeMethod = 53,
    kBootstrap = 54,             // kBootstrapMethod, kResampling
    kJackknife = 55,             // kJackknifeMethod, kResampling
    kBootJack = 56,              // both methods, kResampling
    kHomPart = 57,
    kClusterMethods = 58,        // what NJ and UPGMA share
    kNJ = 59,
    kUPGMA = 60,
    kStarDecomp = 61,
    kPermute = 62,
    kPuzzle = 63,
    kRandTrees = 64,
    kGenerateTrees = 65,
    kMakeAllTrees = 66,          // read by the exhaustive tree generator
    kMakeRandomTrees = 67,       // read by the random tree generator
    kGetTrees = 68,
    kLoadConstr = 69,
    kRootTrees = 70,
    kSaveTrees = 71,
    kMatrixRep = 72,
    kCondense = 73,
    kTreeDist = 74,
    kShowTrees = 75,
    kDescribeTrees = 76,
    kReconstruct = 77,
    kMPRSets = 78,
    kConTree = 79,
    kTreeScoreOutput = 80,
    kPSet = 81,
    kPScores = 82,
    kLSet = 83,                  // kLSetModel, kLSetSettings
    kLScores = 84,               // the score options alone
    kLScoresAndLSet = 85,        // kLScores, then kLSetSettings
    kLSetModel = 86,
    kLSetSettings = 87,
    kDSet = 88,
    kDScores = 89,
    kPairDiff = 90,
    kSaveDist = 91,
    kToNexus = 92,
    kExport = 93,
    kFilter = 94,
    kGammaPlot = 95,
    kShowPartitions = 96,        // ShowCPartition, ShowTPartition, ShowRateSets
    kSurfCheck = 97,
    kQuit = 99,
    kUnderDevelopment = 102,     // empty: the heading of Set stands alone
    kSumTrees = 105,
    kMegaHeader = 106,           // "!Format" of a MEGA file
    kGenCode = 107,
    kCodonUsage = 108,
    kDnaRecode = 109,
    kModProject = 110,
    kCandidateRateModels = 111,
    kAutoModel = 112,
    kClearTrees = 113,
    kSVDQuartets = 114,
    kClockChecker = 115,
    kQuartetFile = 116,          // reading a quartet file
    kQSearch = 117,
    kRAxMLSearch = 118,
    kGarliSearch = 119,
    kAstral = 120,               // empty
    kOrthoFilter = 121,
    kDConSeq = 122,
    kNSFilter = 125,
    kAutopartition = 126,
    kQuartetModel = 132,         // the model name of the quartet commands
    kTrueTree = 135,
    kSimData = 136,
    kBeginSim = 137,             // BeginSim and BeginIterBlock
    kResultsFile = 139,
    kYule = 140,
    kYangRannala = 141,
    kPython = 143,               // empty
    kPatFitTest = 147,

    kNone = 0xFFFFFFFFu,         // the set of a command without options
};

// The number, for messages and test traces.
constexpr uint32_t optionSetNumber(OptionSet set) { return static_cast<uint32_t>(set); }
