// The active data set: the one record that holds the taxa, the format, the
// matrix of raw cell codes, the per-character status and the slots where the
// other subsystems hang their prepared data; its cell coding and cell access.
//
// Cell coding (one byte per cell):
//   0 .. nstates-1      a single state
//   nstates             missing data
//   nstates+1 .. 253    state combinations, numbered in order of first use
//   254                 never stored: "conversion refused, error reported"
//   255                 a gap
// Every code below the number of codes has a 64-bit state set and a state
// list; the missing code's set is every state.
#pragma once

#include <cstdint>

#include "qel/qel_setptn.h"
#include "qel/qel_sets.h"
#include "qel/qel_strings.h"
#include "qel/qel_vector.h"

struct TreeBuffer;
struct ParsFxns;
struct ParsRecord;
struct QuartetData;
struct PatternTST;
struct UserType;

// ---------------------------------------------------------------------------
// Codes, limits and bits

inline constexpr uint8_t kGapCode = 255;
inline constexpr uint8_t kRefusedCode = 254;
inline constexpr uint32_t kMaxStateCodes = 254;  // codes 0 .. 253
inline constexpr uint32_t kMaxStates = 63;
inline constexpr uint32_t kMaxLabelLength = 128;
inline constexpr uint64_t kAllStates = ~uint64_t{0};

// Per-character status word.
inline constexpr uint32_t kCharTypeMask = 0x1F;
inline constexpr uint32_t kCharOrdered = 1;
inline constexpr uint32_t kCharUnordered = 2;
inline constexpr uint32_t kCharIrreversible = 4;
inline constexpr uint32_t kCharDollo = 8;
inline constexpr uint32_t kCharUserType = 16;
inline constexpr uint32_t kCharDownVariant = 0x20;
inline constexpr uint32_t kCharStateTree = 0x40;
inline constexpr uint32_t kCharHasCombination = 0x80;
inline constexpr uint32_t kCharNucleotide = 0x200;
inline constexpr uint32_t kCharExcluded = 0x400;
inline constexpr uint32_t kCharConstant = 0x800;
inline constexpr uint32_t kCharUninformative = 0x1000;
inline constexpr uint32_t kCharEliminated = 0x2000;
inline constexpr uint32_t kCharMissingOrMulti = 0x4000;
inline constexpr uint32_t kCharAminoAcid = 0x8000;
// Parsimony could bound the character's minimum length only (a stepmatrix
// with too many states met for the exact tree): whether it is informative
// is not known, and it is not taken as uninformative.
inline constexpr uint32_t kCharInformativenessUnknown = 0x20000;

// Data-set flags word.
inline constexpr uint32_t kHaveTaxa = 1;
inline constexpr uint32_t kHaveCharacters = 2;
inline constexpr uint32_t kHaveDistances = 4;
inline constexpr uint32_t kDataDNA = 0x08;
inline constexpr uint32_t kDataRNA = 0x10;
inline constexpr uint32_t kDataNucleotide = 0x20;
inline constexpr uint32_t kDataProtein = 0x40;
inline constexpr uint32_t kDataUserSymbols = 0x80;

// Data type index.
inline constexpr uint32_t kDataTypeStandard = 0;
inline constexpr uint32_t kDataTypeDNA = 1;
inline constexpr uint32_t kDataTypeRNA = 2;
inline constexpr uint32_t kDataTypeNucleotide = 3;
inline constexpr uint32_t kDataTypeProtein = 4;
inline constexpr uint32_t kDataTypeDistance = 5;
inline constexpr uint32_t kDataTypeContinuous = 6;

// ---------------------------------------------------------------------------
// Records hung on the data set

// An equated symbol group: the symbols that stand for one expansion.
struct Equate {
    char symbols[20];
    char *expansion;  // owned
    Equate *next;
    int16_t nSymbols;
    uint8_t userDefined;
    uint8_t polymorphism;
};

// The parsimony packing of one character; the parsimony code owns all but
// the character number.
struct CharPackInfo {
    uint32_t character;
    uint8_t packing[28];
};
static_assert(sizeof(CharPackInfo) == 32);

// Taxon part: shared, not copied, by a record made for an appended block.
struct DataTaxa {
    Set *outgroup;         // by stored row
    Set *deleted;          // by stored row
    Set *taxaInBlock;      // scratch: rows met in the current matrix block
    Set *duplicateNames;   // scratch: labels found twice
    Set *workTaxa;         // scratch for list reading and set arithmetic
    uint32_t *activeToOriginal;  // room for 2·ntax
    uint32_t *originalToActive;  // room for 2·ntax
    StringList *labels;          // by stored row
    void *perTaxonA;             // 2·ntax 16-byte entries, 16-byte aligned
    void *perTaxonB;
    uint32_t npairs;             // active taxa choose 2
    uint32_t longestLabel;       // cached, 0 when not computed
    uint8_t labelsKnown;
    uint8_t needTaxInit;
    uint8_t taxaByNumber;
};

// Class flags of the included characters, in their stored order.
struct CharClassFlags {
    uint8_t allIncluded;
    uint8_t freeRev;
    uint8_t rev;
    uint8_t ordered;
    uint8_t unordered;
    uint8_t symStepmat;
    uint8_t orderedTree;     // ordered with status 0x40
    uint8_t nonRev;
    uint8_t asymStepmat;
    uint8_t irreversible;
    uint8_t dollo;
    uint8_t constant;
    uint8_t missingOrMulti;  // status 0x4000 among included characters
    uint8_t nucleotide;
    uint8_t nonNucleotide;
    uint8_t aminoAcid;
    uint8_t nonAminoAcid;
    uint8_t nonWagUno;
    uint8_t missingData;
    uint8_t multistate;
    uint8_t polymorphic;
    uint8_t moreThanTwoStates;
};

struct DataInfo {
    // 1. Taxa.
    DataTaxa taxa;

    // 2. Format.
    char symbols[256];
    char parsSymbols[256];  // symbols, then the gap symbol when gaps are a state
    char userSymbols[256];
    char title[128];

    // 3. Matrix.
    uint8_t **matrix;        // ntax rows of nchar codes; absent under compact storage
    uint8_t *ancestor;       // predefined ancestral states, one code per character
    uint8_t *firstRowCodes;  // only with a match character
    uint8_t *columnBuffer;   // only for transposed input
    Vector *stateBits;       // u64 per code
    Vector *stateListOffsets;  // u32 per code
    Vector *stateLists;        // u8: (count, states...) per code
    SetFamily *polyCells;      // row t, bit c: the cell is a polymorphism
    Set *gappedChars;
    Set *missAmbigChars;

    // 4. Characters.
    StringList *charLabels;
    uint32_t *status;
    UserType **userTypes;
    char *obsSymbolsBlock;
    char **obsSymbols;
    uint8_t *obsCount;
    uint8_t *parsStateCount;
    uint64_t *obsStates;
    CharPackInfo *packBlock;
    CharPackInfo **packInfo;
    double *weights;
    double *savedWeights;
    ParsRecord *pars;
    QuartetData *quartets;
    Set *baseExcluded;     // excluded under every exclusion set
    Set *eliminated;
    Set *rateSetWork;
    Set *plotWork;
    Set *lastEliminated;
    uint8_t *rateDigits;
    TreeBuffer *mainTreeBuffer;
    ParsFxns *parsFxns;
    Equate *equates;
    char *equatedSymbols;
    PatternTST *patternTree;
    uint8_t **patternMatrix;   // compact storage: one row of ntax codes per pattern
    uint32_t *patternIndex;    // per character
    PtndList *patternList;

    // 5. Dimensions, format values and flags.
    uint32_t dataType;
    uint32_t maxObsStates;
    CharClassFlags cls;
    int32_t nActive;
    uint32_t ntax;
    uint32_t nchar;
    uint32_t flags;
    uint32_t nstates;  // also the missing code
    uint32_t labelsPosition;
    uint32_t nEliminated;
    uint32_t nEquated;
    uint32_t equatedCapacity;
    uint32_t nCharBlocks;
    uint32_t nPatterns;
    uint32_t missingSymbol;
    uint32_t missingOtherCase;
    uint32_t gapSymbol;
    uint32_t matchChar;
    int32_t letterCase;
    int32_t ryCoding;
    uint8_t dataInitialized;
    // The msTaxa setting the derived data were computed under: it decides
    // which multistate cells are polymorphisms, and so which characters are
    // constant or uninformative.
    uint8_t derivedMsTaxa;
    uint8_t statusUpToDate;
    uint8_t interleave;
    uint8_t transpose;
    uint8_t respectCase;
    uint8_t newTaxa;
    uint8_t charLabelsRead;
    uint8_t allDigitCharName;
    uint8_t allDigitTaxName;
    uint8_t polyCellsPresent;
    uint8_t allTwoState01;
    uint8_t compactStorage;
};

// ---------------------------------------------------------------------------
// The active record

DataInfo *activeDataInfo();
DataInfo *setActiveDataInfo(DataInfo *d);

TreeBuffer *getMainTreeBuffer(const DataInfo *d);  // null d: the active record
void setMainTreeBuffer(TreeBuffer *buffer);

// ---------------------------------------------------------------------------
// Code tables

// nstates from the symbols (capped at 63) and the tables of the single
// states and the missing code. 1 on memory failure (tables left empty).
int buildInitialStateCodes(DataInfo *d);
void deallocStateCodes(DataInfo *d);
int trimStateCodeTables(DataInfo *d);
uint32_t numStateCodes(const DataInfo *d);
// State set of a stored code: all ones for missing data and for codes that
// have no entry (gap, 254 and anything above the tables).
uint64_t stateBitsOfCode(const DataInfo *d, uint8_t code);
// The code's state-list entry (count, then the states in increasing order),
// or null for a code without an entry.
const uint8_t *stateListOfCode(const DataInfo *d, uint8_t code);
// The code of a state set (bit s: state s), appending a combination code on
// first use. An empty set is missing data. 254 after an error report: a state
// at or beyond nstates, or a new combination when 254 codes exist.
uint8_t stateBitsToCode(uint64_t bits, DataInfo *d);
uint8_t stateSetToCode(const Set *set, DataInfo *d);

// ---------------------------------------------------------------------------
// Cells (taxon is an active index; a negative taxon reads the ancestral states)

uint8_t getXijRaw(const DataInfo *d, int32_t taxon, uint32_t c);
uint64_t getXijAsBits(const DataInfo *d, int32_t taxon, uint32_t c, const char *toSymbols);
// Stores a code by stored row under full storage; 1 when the cell or the
// code is out of range (nothing stored).
int setXijRaw(DataInfo *d, uint32_t row, uint32_t c, uint8_t code);
bool isMissing(int32_t taxon, uint32_t c, const DataInfo *d);
bool isGap(int32_t taxon, uint32_t c, const DataInfo *d);
bool isMissingOrGapMiss(int32_t taxon, uint32_t c, const DataInfo *d);
// The answers of isMissingOrGapMiss and getXijAsBits (no symbol mapping) for
// a raw code.
bool codeIsMissingOrGapMiss(const DataInfo *d, uint8_t code);
// Whether a raw code says nothing about a character's states under the
// current criterion: as codeIsMissingOrGapMiss, except that outside
// parsimony gaps are missing data whatever the gap mode.
bool codeShowsNoState(const DataInfo *d, uint8_t code);
uint64_t codeAsBits(const DataInfo *d, uint8_t code);
bool isPolymorphicMST(int32_t taxon, uint32_t c, const DataInfo *d);
uint64_t mapStateBits(const DataInfo *d, uint64_t bits, const char *fromSymbols,
                      const char *toSymbols, int32_t *outPositions, const char *positionSymbols);
int stateDex(int symbol, const DataInfo *d);
// Nucleotide data coded as purines against pyrimidines only: no cell tells A
// from G or C from T, and both classes occur. Cached in the data set until
// its characters or taxa change; every analysis asks here, so the answer
// does not depend on which one asked first.
bool isRYCoding(DataInfo *d);
bool dataMatrixAllocated(const DataInfo *d);

bool isDataTypeNucleotide(uint32_t typeIndex);
int verifyNucleotideData(const DataInfo *d, const char *commandName);
int verifyNucOrAAData(const DataInfo *d, const char *commandName);

// ---------------------------------------------------------------------------
// Taxa

// Identity taxon maps. Deletion status, the active count and the maps that
// follow from it are kept in data/taxstat.h.
void initTaxLoc(DataInfo *d);
// The nondeleted taxa: a tree's tips are numbered 0 .. this - 1 by active
// index and its internal nodes follow them, so this, not ntax, is the bound
// that tells a tip from an internal node while taxa are deleted.
inline uint32_t activeTaxonCount(const DataInfo *d)
{
    return d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : d->ntax;
}
inline bool isActiveTaxonIndex(const DataInfo *d, int32_t index)
{
    return index >= 0 && static_cast<uint32_t>(index) < activeTaxonCount(d);
}

// ---------------------------------------------------------------------------
// Labels

using TaxLabelFxn = const char *(*)(const DataInfo *d, uint32_t taxon);

uint32_t getTaxNum(const DataInfo *d, uint32_t taxon);
const char *taxLabelString(const DataInfo *d, uint32_t row);
const char *getTaxLabel(const DataInfo *d, uint32_t taxon);
const char *getTaxLabelCallback(uint32_t row);
TaxLabelFxn setTaxLabelFxn(TaxLabelFxn f);
TaxLabelFxn getTaxLabelFxn();
const char *getCharLabel(const DataInfo *d, uint32_t c);
const char *getCharLabelCallback(uint32_t c);
// Store a copy of a label (at most kMaxLabelLength characters); 1 when the
// label is too long, the index is out of range or memory fails.
int storeTaxLabel(DataInfo *d, uint32_t row, const char *label);
int storeCharLabel(DataInfo *d, uint32_t c, const char *label);

// ---------------------------------------------------------------------------
// Re-initialisation requests

void forceCharInitialization(DataInfo *d);
void forceTaxaInitialization(DataInfo *d);

// The taxon-status queries (setNtax, initTaxStatus, isDeletedTaxon, ...) are
// part of every user's view of the data set.
#include "data/taxstat.h"
