// Packed parsimony data: the data set's characters placed into fields of
// 128-bit words so that one logical operation combines the state sets of many
// characters, the per-node set records and the staged preparation.
//
// Storage layout. A 128-bit word is held as two u64 lanes (low, high); a
// field never crosses from one lane to the other, so every rule can work on
// plain u64 lanes. Per node and class the set is contiguous:
//   unordered: 2 lanes per packed word
//   ordered:   2 lanes of definitely-above words for all packed words, then
//              2 lanes of possibly-above words for all packed words
// Each class array holds 3 x nodeCount sets (down, up, final) so that a
// tree's three set records per node point into it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "data/vorn_data.h"
#include "parsimony/kernels/uno_kernels.h"

struct Tree;
struct Set;
struct PtnBoundData;
struct DirBits;
struct DolSearch;

// Character classes of the status word and the class a character is packed in.
inline constexpr uint32_t kPkdOrdered = kCharOrdered;
inline constexpr uint32_t kPkdUnordered = kCharUnordered;
inline constexpr uint32_t kCharPackedOrdered = 0x100;
inline constexpr uint32_t kCharPacked = 0x10000;

inline constexpr double kNoScore = 1e37;
inline constexpr int32_t kNoIntBound = 2147483647;
inline constexpr int32_t kRealCountUsed = -1;  // step count is in the f64 array

// One node's set record: the class sets, then room for the per-node arrays of
// the stepmatrix, Dollo and irreversible code; len is the subtree length of a
// down record and the rest-of-tree length of an up record.
struct ParsNodeSets {
    uint64_t *ord;
    uint64_t *uno;
    int64_t *stm;  // cost vectors of the stepmatrix, Dollo and irreversible class
    void *asymStm;
    uint64_t *dollo;
    uint64_t *irrev;
    void *irrevExtra;
    void *dolloExtra;
    void *stmExtra;
    void *spare[5];
    double len;
};

// Where one character sits.
struct PackSlot {
    double weight;     // weight term
    uint32_t word;     // packed-word index within its class
    uint8_t offset;    // 0..127 within the 128-bit word
    uint8_t width;     // 0 = no field
    uint8_t cls;       // packed class (kPkdOrdered, kPkdUnordered), 0 none
    uint8_t lowState;  // ordered: state coded by an all-zero field
    uint64_t observed; // unordered: raw states in field order
};

// One character of the cost-vector class (parsimony/stmx.h).
struct StmChar {
    uint32_t c = 0;
    uint32_t n = 0;        // states scored
    uint32_t vec = 0;      // offset of its n entries and zero mask in a node's array
    uint32_t cost = 0;     // offset of its n x n table (from row to column)
    double unit = 1.0;     // length of one cost unit (real-valued matrices are scaled)
    bool dollo = false;
    bool down = false;     // Dollo/irreversible gains run down the whole series
    uint8_t turned = 0;    // steps of the series gained going down (see stmTurnedSteps)
    // A Dollo character whose given ancestor lies inside its series: the
    // steps above the ancestor and those below it are gained independently,
    // so a node may be derived in both directions at once. Its states are
    // then the pairs (upper, lower) of series states, upper at or above the
    // ancestor and lower at or below it, index (upper - turned) x (turned +
    // 1) + (turned - lower); the series has `series` states.
    bool pairs = false;
    uint8_t series = 0;
    std::vector<uint8_t> pairUp, pairDown;  // each index's pair
    bool directed = false; // the table is not symmetric
    bool userType = false; // states are the user type's, else raw data states
    bool polyTips = false; // some terminal's cell counts as polymorphism
    uint8_t state[64]{};   // state index -> user-type state or raw data state
    int32_t block = -1;    // its block in stmBlocks (vec unused then), or -1
    int32_t grid = -1;     // its pair grid in stmGrids (StmPairGrid), or -1
    uint32_t lane = 0;     // its place in the block
};

// Characters scored together: up to kStmBlockWidth characters sharing one
// integer cost table, 16-bit (or 32-bit) entries with each state's entries
// side by side (parsimony/kernels/uno_kernels.h). Lanes past `count` are
// padding that stays 0 and weighs nothing.
struct StmBlock {
    uint32_t vec;        // offset of its n rows in a node's array (64-bit words)
    uint32_t cost;       // offset of its n x n table in stmCosts16 (wide: stmCosts32)
    bool wide;           // 32-bit entries
    uint32_t n;
    uint32_t count;
    uint32_t lane0;      // its first character's index in stmLanes
    bool intWeights;     // every weight a small whole number, held in weight
    int16_t weight[16];
};

// The fields of an included cost-vector character that the passes read, kept
// apart from StmChar (whose 64 state codes would fill the cache in the
// inner loops).
struct StmLane {
    uint32_t vec;   // as StmChar
    uint32_t cost;  // as StmChar
    uint32_t n;
    uint32_t c;
    double unit;
    double weight;  // the slot's, copied with it
    bool dollo;
    int32_t grid;   // as StmChar
};

// A pair character's indices as a grid, the upper state rising from the
// ancestor row by row and the lower one falling from it along each row; a
// change costs the sum of the two sides' series steps (checked against the
// table when made). A cost vector is then carried through changes one line
// at a time, in time linear in the indices.
struct StmPairGrid {
    uint32_t rows = 0, columns = 0;
    // A step to the next row (column) and back, by row (column) of origin.
    std::vector<int64_t> rowNext, rowBack, columnNext, columnBack;
};

// Distinct weights of one class with a mask of their fields per word.
struct ClassWeights {
    std::vector<double> weights;
    std::vector<uint64_t> masks;  // weights.size() x lanes
    uint32_t lanes = 0;           // 2 per packed word
    uint32_t count() const { return static_cast<uint32_t>(weights.size()); }
};

struct ParsRecord {
    uint32_t nchar = 0;
    uint32_t nodeCount = 0;  // set records per kind (2 ntax + 1)

    // Per-class placement.
    std::vector<uint32_t> ordChars, unoChars;
    uint32_t ordWords = 0, unoWords = 0;
    uint32_t ordSetBytes = 0, unoSetBytes = 0;
    std::vector<uint8_t> unoWidth;  // per unordered word
    // Per unordered lane (two per word), from its word's width: every bit but
    // each field's top one, and the width less one (the kernels' constants).
    std::vector<uint64_t> unoNotTop, unoShift;
    uint32_t unoFieldShift = kMixedWidths;  // the one shift of every word, if one
    std::vector<PackSlot> slots;    // per character

    // Per-node set storage (aligned, 3 x nodeCount sets each).
    uint64_t *ordSets = nullptr;
    uint64_t *unoSets = nullptr;
    ParsNodeSets *nodeRecs = nullptr;  // 3 x nodeCount: down, up, final
    std::vector<uint64_t> ordScratch, unoScratch;
    std::vector<uint64_t> ordStepMask, unoStepMask;  // 2 lanes per word
    std::vector<uint64_t> ordCountMask, unoCountMask;
    std::vector<uint64_t> dirty;  // one bit per packed word
    // Character owning each bit of the class's lanes (lane x 64 + bit).
    std::vector<uint32_t> ordBitChar, unoBitChar;

    // The cost-vector class: every prepared character (stmAll, by stmIndex),
    // the included ones in scoring order, their cost tables, and the node
    // arrays (an ancestor tag, a base length, then each character's n entries
    // and zero mask).
    std::vector<StmChar> stmAll;
    std::vector<int32_t> stmIndex;  // per character; -1 none
    std::vector<int32_t> stmChars;
    std::vector<StmLane> stmLanes;  // stmChars' characters, in the same order
    std::vector<StmPairGrid> stmGrids;
    // The blocks hold the first stmBlockLanes of stmLanes (and stmChars);
    // their tables are in stmCosts16 or stmCosts32, transposed in the T ones.
    std::vector<StmBlock> stmBlocks;
    uint32_t stmBlockLanes = 0;
    std::vector<int16_t> stmCosts16, stmCosts16T;
    std::vector<int32_t> stmCosts32, stmCosts32T;
    std::vector<int64_t> stmCosts;
    std::vector<int64_t> stmCostsT;  // each table transposed (to row state, by from state)
    uint32_t stmStride = 2;
    bool stmDollo = false;  // Dollo characters among the included ones
    // The class chain holds a Dollo character's cost vector, whose span may
    // take back steps the classes before it counted (set with the chain).
    bool stmTakesBack = false;
    int64_t *stmSets = nullptr;
    std::vector<int64_t> stmScratch;
    // Two-state Dollo and irreversible characters also scored by bits
    // (parsimony/dollo_bits.h); null when none.
    std::shared_ptr<DirBits> dirBits;
    // Dollo characters scored by steps in searches (parsimony/dollo_search.h);
    // null when none.
    std::shared_ptr<DolSearch> dolSearch;

    // Weight classes (empty when every weight of the class is 1).
    ClassWeights ordWts, unoWts;

    // Per character. Counts are 32-bit so that no count wraps silently.
    std::vector<int32_t> steps;
    std::vector<double> realSteps;
    std::vector<double> extraLen;  // 1e37 = unknown
    std::vector<double> minSteps;
    std::vector<uint8_t> nStates;
    std::vector<uint32_t> altCounts[2];  // threshold / Goloboff working counts
    Set *atMinimum = nullptr;
    // Incompatibility partitions, while a branch-and-bound search uses them.
    PtnBoundData *ptn = nullptr;

    double baseLength = 0.0;
    double lastLength = 0.0;
    double tolerance = 0.0;
    uint32_t decimals = 0;
    bool countMasksAllocated = false;
    bool altArrays = false;
    bool ordWeighted = false, unoWeighted = false;
    bool unknownExtraLength = false;
    bool realLengths = false;
    bool multistateTaxa = false;  // polymorphic multistate cells counted
};
using PackedData = ParsRecord;

// ---------------------------------------------------------------------------
// Staged preparation

int packPrelim(DataInfo *d);
int packFinish(DataInfo *d);
int finalParsPrep(DataInfo *d, int weightArg);
int altParsPrep(DataInfo *d);
// 0 when every included character has a type the scorer handles; else an
// error naming the first that has not.
int checkScorableTypes(const DataInfo *d);
// Runs whatever stages the pending level asks for; 0 when ready to score.
int prepareParsimonyData(DataInfo *d);

int allocParsData(DataInfo *d, uint32_t nodeCount);
void deallocParsData(DataInfo *d);
// A copy of the data set's record with set storage of its own, for a thread
// that scores trees beside others over the same data; null when the data
// hold characters whose sets the copy cannot take (the cost-vector class).
ParsRecord *cloneParsRecordForThread(const DataInfo *d);
ParsRecord *destroyParsRecordClone(ParsRecord *pd);
void deallocPackPrelim(DataInfo *d);
void deallocPackFinish(DataInfo *d);
void deallocPackedData(DataInfo *d);
void deallocCountMasks(DataInfo *d);
int initParsCountMasks(DataInfo *d);

inline PackedData *packedData(const DataInfo *d) { return d ? d->pars : nullptr; }

// Points every node of the tree at its three set records.
void pointTreeAtPackedData(Tree *tree, const DataInfo *d);
// Moves the ordered and unordered words of the set records (their values
// stay) so that the final sets of the tree's nodes lie in preorder, then
// their down sets, then their up sets. Records are placed as nodes were
// made, and a pass over the tree's edges, which reads them in tree order,
// would wait for memory at each; laid out in that order it reads one
// stream. Any pointer held to the words of a record is stale afterwards.
void layOutNodeSets(const DataInfo *d, Tree *tree);
// The same order for the tree's records, moved within the arrays they lie
// in: the other records keep their values, but not their order. Its cost
// follows the tree's size, where layOutNodeSets copies the whole store (a
// tree grown a taxon at a time is laid out again and again while small).
void layOutTreeSetsInPlace(const DataInfo *d, Tree *tree);
// Record `which` (0 down, 1 up, 2 final) of node position p (hook form for
// the tree code's initABMSetPtrs).
void *parsPackedNodeRecord(void *packed, uint32_t which, uint32_t position);
inline ParsNodeSets *nodeSets(const void *slot)
{
    return static_cast<ParsNodeSets *>(*static_cast<void *const *>(slot));
}

// ---------------------------------------------------------------------------
// Character queries

uint32_t getPkdType(uint32_t c, const DataInfo *d);
bool isPkdOrd(uint32_t c, const DataInfo *d);
bool isCharIncluded(const DataInfo *d, uint32_t c);
// Lowest state in the low byte, highest in the high byte; 0xFFFF for missing.
uint32_t getStateInterval(const DataInfo *d, int32_t taxon, uint32_t c);
uint32_t distanceToStateSet(uint32_t state, int32_t taxon, uint32_t c, bool ordered, const DataInfo *d);
