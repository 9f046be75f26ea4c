// Settings of tree rooting, tree drawing, tree storage and the size of the
// main tree buffer, and the option records of the tree commands, as the option
// table binds them. The tree units read them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "cli/qel_cmdoptions.h"

struct Nexset;
struct SplitsList;
struct TreeBuffer;

enum : uint32_t { kRootOutgroup = 0, kRootLundberg = 1, kRootMidpoint = 2 };
enum : uint32_t { kOutRootPolytomy = 0, kOutRootParaphyletic = 1, kOutRootMonophyletic = 2 };

struct RootingSettings {
    uint32_t rootMethod;  // kRootOutgroup, kRootLundberg, kRootMidpoint
    uint32_t outRoot;     // how the outgroup hangs from the root
    uint8_t forcePolyt;   // a basal polytomy even for a rooted tree
    uint8_t userBrLens;   // RootTrees: root by the user branch lengths (one command)
};
extern RootingSettings rooting;

enum : uint32_t { kTreeOrderStandard = 0, kTreeOrderRight, kTreeOrderLeft, kTreeOrderAlphabet };

struct TreeDrawSettings {
    uint32_t tOrder;      // kTreeOrder*
    uint8_t tCompress;
    uint8_t showTaxNum;
    uint8_t taxLabels;    // 0 truncate, 1 full
    uint8_t userBrLens;   // ShowTrees draws the user branch lengths
};
extern TreeDrawSettings treeDraw;

// What a tree read from a file keeps, and how GetTrees reads the file.
struct GetTreesSettings {
    uint8_t storeBrLens;
    uint8_t storeTreeWts;
    uint8_t allBlocks;     // every TREES block of the file, not just the first
    uint8_t rooted;        // force every tree read rooted (one command)
    uint8_t unrooted;      // ... or unrooted
    uint8_t dupTrees;      // 0 keep, 1 eliminate
    uint8_t pruneDelTaxa;  // prune deleted taxa without asking
    uint32_t from;         // file tree numbers; 0 means the first
    uint32_t to;           // below from: to the end of the file
    uint32_t mode;         // keep mode of the TREES-block reader
};
extern GetTreesSettings getr;

// What happens when the main buffer is full ("increase").
enum class MaxtreesAction : uint32_t { kLeave = 0, kPrompt = 1, kAuto = 2 };

inline constexpr uint32_t kDefaultMaxtrees = 100;
inline constexpr uint32_t kDefaultAutoInc = 100;
// maxtrees sizes the main buffer; it is kept within what an i32 option holds.
inline constexpr uint32_t kMaxtreesCeiling = 2147483646u;
// Error 733 for a Maxtrees value above the ceiling; 0 when within it.
int checkMaxtreesCeiling(uint64_t value);

struct TreeInfo {
    uint32_t maxtrees;
    uint32_t increase;  // MaxtreesAction
    uint32_t autoInc;
    uint32_t source;    // low 6 bits: where the trees in memory came from
    uint8_t maxtreesFixed;
    uint8_t treesSaved;
    uint8_t userBrlens;
    uint8_t speciesTrees;
};
extern TreeInfo treeInfo;

uint32_t getMaxtreesValue();

// ---- Option records of the tree commands ---------------------------------------

// Tree numbers typed as options (from, to, reference trees) are kept within
// what an i32 option holds, so that a negative number never wraps.
inline constexpr int32_t kMaxTreeNumberOption = 0x7FFFFFFF;
// The decimals of saved branch lengths: a double carries no more.
inline constexpr int32_t kMaxSavedBrlenDecimals = 17;
inline constexpr uint32_t kDefaultGetTreesMode = 3;
// Keep modes of the TREES-block reader run 1 to 7.
inline constexpr int32_t kMaxGetTreesMode = 7;

// The name of the tree file that GetTrees, LoadConstr, SaveTrees and
// MatrixRep read or write.
extern char gTreefileName[kParamPathSize];

// Agree.
struct AgreeSettings {
    void *agreeList;          // the agreement sets and their kernel
    uint32_t nAgreeSets;
    uint32_t all;             // 0 no, 1 sets, 2 trees, 3 both
    uint32_t firstTree;       // number of the first listed tree
    uint8_t showTree;
    uint8_t saveToFile;
    uint8_t kernelNonempty;
    FILE *treefileStream;
    char treefile[kParamPathSize];
};
extern AgreeSettings agree;

// GenerateTrees and the "all" and "random" commands of TREES blocks.
enum : uint32_t { kTreeGenRandom = 0, kTreeGenAll = 1, kTreeGenPermute = 2 };
struct TreeGenSettings {
    uint32_t ntrees;
    uint32_t model;        // 0 equiprobable, 1 Markovian, 2 unlabelled (TREES-block random)
    uint32_t method;       // kTreeGen*
    uint32_t treeNum;      // the tree whose labels are permuted
    uint32_t unlabelled;   // TREES-block "model" (labelled/unlabelled), ignored
    uint32_t ntax;         // TREES-block "ntax", ignored
    uint32_t seed[4];      // 0: made automatically
    uint8_t all;
    uint8_t random;
    uint8_t permuteTips;
    uint8_t rooted;
    uint8_t unrooted;
    uint8_t nonbinary;
    uint8_t converse;
    uint8_t rootedWork;    // the rootedness the generator is working with
};
extern TreeGenSettings treeGen;
inline constexpr uint32_t kDefaultGenTrees = 100;

// LoadConstr (both for one command).
struct LoadConstrSettings {
    uint8_t append;      // keep the constraints already defined
    uint8_t asBackbone;  // the trees are backbone constraints
};
extern LoadConstrSettings ldCnstrOpt;

// SaveTrees.
enum : uint32_t {
    kTreeFmtNexus = 0, kTreeFmtAltNexus, kTreeFmtFreqpars, kTreeFmtNewick, kTreeFmtHennig,
    kTreeFmtPhylip
};
enum : uint32_t { kSaveBrlensNo = 0, kSaveBrlensYes = 1, kSaveBrlensUser = 2 };
// Bit 1 as branch lengths, bit 2 as node labels.
enum : uint32_t { kSupportNo = 0, kSupportBrlens = 1, kSupportNodeLabels = 2, kSupportBoth = 3 };
struct SaveTreesSettings {
    uint32_t format;         // kTreeFmt*
    uint8_t root;
    uint8_t treeWts;
    uint8_t taxaBlk;
    uint8_t setStoreCmd;
    uint32_t brLens;         // kSaveBrlens*
    uint32_t supportValues;  // kSupport*
    uint32_t maxDecimals;
    uint8_t firstOnly;       // "trees": 0 all, 1 firstOnly
    uint32_t from;           // 0: the first tree
    uint32_t to;             // 0: the last tree
    char prefix[kParamStringSize];  // name prefix of unnamed trees
};
extern SaveTreesSettings svtr;

// MatrixRep.
struct MatrixRepSettings {
    uint8_t firstOnly;  // "trees": 0 all, 1 firstOnly
    uint8_t supportWts;
    uint8_t brlenWts;
};
extern MatrixRepSettings mrep;

// Condense keeps its two settings apart from the collapse rule of searches.
extern uint32_t condenseCollapse;  // 0 no, 1 maxBrlen, 2 minBrlen, 3 ambEqual
extern uint8_t condenseDelDupes;

// TreeDist.
enum : uint32_t {
    kTreeDistSymDiff = 0, kTreeDistAgD1, kTreeDistAgreement, kTreeDistABC, kTreeDistMatching
};
struct TreeDistSettings {
    uint32_t measure;   // kTreeDist*
    uint32_t refTree;   // 0: all pairs
    uint8_t showAll;
    uint8_t fd;
    uint8_t errorRates;
    uint8_t saveToFile;
    FILE *stream;
    char file[kParamPathSize];
};
extern TreeDistSettings tdOpt;

// DescribeTrees.
struct DescribeSettings {
    uint32_t brLens;        // 0 no, 1 yes, 2 sumOnly
    uint32_t xout;          // 0 none, 1 terminal, 2 internal, 3 both
    uint32_t plot;          // bit 1 cladogram, bit 2 phylogram
    uint32_t charsPerLine;  // 0: all
    uint8_t chgList;
    uint8_t apoList;
    uint8_t mprSets;
    uint8_t fValue;
    uint8_t patristic;
    uint8_t homoplasy;
    uint8_t diagnose;
    uint8_t labelNode;
    uint8_t interleaved;
    uint8_t showAmbigs;
    FILE *ancStatesStream;
};
extern DescribeSettings describe;
// The file that DescribeTrees writes reconstructed ancestral sequences to.
extern char specialFlnam[kParamPathSize];

// ConTree.
struct ConTreeSettings {
    uint32_t percent;       // majority-rule cutoff
    uint32_t ntrees;        // trees in the current list
    uint32_t saveSupport;   // kSupport*
    uint8_t strict;
    uint8_t semistrict;
    uint8_t majRule;
    uint8_t adams;
    uint8_t LE50;
    uint8_t useTreeWts;
    uint8_t grpFreq;
    uint8_t indices;
    uint8_t showTree;
    uint8_t saveToFile;     // decided per command
    char treeFile[kParamPathSize];
};
extern ConTreeSettings conOpt;

// Filter; the command resets every criterion but "always" before reading.
struct FilterSettings {
    double maxScore;  // 0: not set
    double minScore;  // 0: not set
    uint32_t numLE;   // 0: not set
    uint32_t numGE;
    uint32_t from;    // reference tree of SD; 0 none
    uint32_t SD;      // largest symmetric difference to the reference tree
    uint8_t useConstraint;
    uint8_t off;
    uint8_t reverse;
    uint8_t lessResolv;
    uint8_t best;
    uint8_t always;
    uint8_t purge;
    uint8_t permdel;
    uint8_t binary;
    uint8_t useTaxset;
    Nexset *taxset;
};
extern FilterSettings fltr;
// The name of the taxon set a filtered tree must contain.
extern char taxsetTag[kParamStringSize];

// SumTrees.
struct SumTreesSettings {
    char filename[kParamPathSize];  // empty: the trees in memory
    TreeBuffer *buffer;             // the trees of the file, counted, never in the main buffer
    SplitsList *splits;
    uint32_t *firstPositions;       // per distinct tree: its first position in the input
    uint8_t relBurnin;
};
extern SumTreesSettings sumT;

// The tree-list slot of Reconstruct and MPRSets (in treeSets).
inline constexpr uint32_t kCharPlotTreeSet = 1;

// Custom option of a tree list whose default is the first tree ("trees" of
// the character plots): reads a list (one item unless delimited) into the
// set its option binds.
int readOptTreeList1st(int operation, CmdParam *option, void *place);
// The same for a tree list whose default is all the visible trees.
int readOptTreeListAll(int operation, CmdParam *option, void *place);
// Custom option "constraints" of GenerateTrees and Filter: the constraint
// named applies to that command only, so the listing always shows "(none)".
int getConstrNameNonp(int operation, CmdParam *option, void *place);
