// Character status: types (CType), weights (Weights, Wts), inclusion
// (Include, Exclude), the combined assumptions (Assume) and the status
// listing (CStatus), with the operations the named-set blocks and the
// analyses share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "data/data_settings.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"

struct Nexset;

// Modes of showCStatusSummary (bit set).
inline constexpr uint32_t kSummaryFull = 1;
inline constexpr uint32_t kSummaryTypesChanged = 2;
inline constexpr uint32_t kSummaryWeightsChanged = 4;
inline constexpr uint32_t kSummaryParsimony = 8;
inline constexpr uint32_t kSummaryDistance = 16;
inline constexpr uint32_t kSummaryLikelihood = 32;

// ---- Types ------------------------------------------------------------------

// The type code of a name (user-defined types first, then the standard rows);
// error 414 and -1 when unknown.
int getCharTypeFromString(const char *name, UserType **userType);
// 0, or 1 after an error report. With a type set only the set changes.
int set1CharType(uint32_t c, uint32_t code, UserType *userType, DataInfo *d, Nexset *typeset);
// Reads the assignments of CType (typeset null) or TypeSet; vector: one type
// name per character.
int setCharTypes(Nexset *typeset, DataInfo *d, bool vector);
// Every character (or every entry of the type set) gets the type named.
int setDefltCharType(Nexset *typeset, DataInfo *d, const char *typeName);
// Display name of a character's type; "" for codes without one.
const char *getCharTypeString(const DataInfo *d, uint32_t c, char *buffer, size_t size);
// Every stepmatrix character that is neither eliminated nor all-missing
// against its type; 1 after the first failure's report.
int checkAllStmCompat(DataInfo *d, bool gapModeChange);

// ---- Weights ----------------------------------------------------------------

// Reads the weight assignments of Weights (wtset null; form -1 decided by the
// input, 0 standard, 1 vector) or of WtSet. 0, 1 error, 2 interrupted.
int setCharWts(Nexset *wtset, DataInfo *d, int form, bool notokens);
void afterWtsChange(Nexset *wtset, DataInfo *d);
int saveWeights(DataInfo *d);
void restoreWeights(DataInfo *d);
void deallocSavedWeights(DataInfo *d);
bool arePatternWeightsValid();
// The weight as scores are written, with at most 5 decimals.
char *formatCharWt(char *buffer, size_t size, double weight);
// Scaled weight of a character with nstates states for base.
double calcScaledWt(double base, uint32_t nstates);
// The weight flags of charWts; marks the pattern weights valid again.
void setWtFlags(uint32_t criterion, DataInfo *d);

// ---- Inclusion --------------------------------------------------------------

int doExcludeIncludeCmd(bool exclude);
// before: the excluded set (with eliminated characters) before the change.
int excludeOrIncludeCharacters(DataInfo *d, bool exclude, const Set *list, const Set *before, bool only,
                               bool report);
int excludeCharacters(const Set *list, const Set *before, DataInfo *d);
void finishCharMove(const Set *before, DataInfo *d, bool exclude, bool include, bool only);
void afterCharInclusionChange(DataInfo *d);
// last kSetEnd: the last character.
void excludeCharactersInRange(DataInfo *d, uint32_t first, uint32_t last);
uint32_t includeCharsInPtnSubset(const SetPtn *ptn, DataInfo *d, const Set *skip, uint32_t i);
uint32_t includeCharSubsetOnly(DataInfo *d, const SetPtn *ptn, uint32_t i, const Set *saved);
uint32_t countIncludedCharsInSubset(const Set *set, const DataInfo *d);
uint32_t countIncludedCharsInPtnSubset(const SetPtn *ptn, const DataInfo *d, uint32_t i);
uint32_t countIncludedCharsInPtn(const SetPtn *ptn, const DataInfo *d, uint32_t *nonEmpty);
uint32_t firstAllNucChar(const DataInfo *d);
uint32_t nextAllNucChar(uint32_t c, const DataInfo *d);
Set *createExcludedCharsetCopy(const DataInfo *d);
void initializeCharSetFromFlags(Set *set, const DataInfo *d, uint32_t mask);
void updateExcludedSet(DataInfo *d);
int requireCharData(const DataInfo *d);
const char *charsIsAre(uint32_t n);
const char *charsIsAreAll(uint32_t n, uint32_t total, char *buffer, size_t size);
uint32_t countMissingStates(const DataInfo *d, uint32_t taxon, const Set *set);

// ---- Assumptions ----------------------------------------------------------

int applyTypeset(Nexset *typeset, DataInfo *d, bool report);
int applyWtset(Nexset *wtset, DataInfo *d, bool report);
int applyExset(Nexset *exset, DataInfo *d);

// ---- Status listing ---------------------------------------------------------

void showCStatusSummary(uint32_t mode, DataInfo *d, PrintHook emit);
// The summary mode CStatus uses under a criterion.
uint32_t cstatusModeForCriterion(int criterion);

// ---- Item-column pages --------------------------------------------------------

// Tables whose columns are characters or taxa: which items, and the shape of
// the header.
struct ItemColumns {
    bool taxa = false;          // the active taxa, else the non-eliminated characters
    bool withExcluded = false;  // characters: show the excluded ones too
    bool charLabels = false;    // characters: their labels, where labels were read, in place of numbers
    const char *title = "";
    const char *rowHeading = "";
    uint32_t rowWidth = 0;      // width of the row-label field
    uint32_t colWidth = 1;
};
inline constexpr uint32_t kNoMoreItems = 0xFFFFFFFF;

// Writes the header of the page of columns starting at item `first` (a
// character, or an index among the active taxa): the title ("(continued)"
// on later pages), the item numbers (or labels) written vertically and bottom-aligned
// with the row heading on the last line, and a rule. `items` gets the
// page's items; returns the first item of the next page, or kNoMoreItems.
uint32_t charTaxHeader(const DataInfo *d, const ItemColumns &columns, uint32_t first, bool continued,
                       std::vector<uint32_t> &items);

// ---- Command handlers -------------------------------------------------------

int doCTypeCmd();
int doWeightsCmd();
int doIncludeCmd();
int doExcludeCmd();
int doCStatusCmd();
int doAssumeCmd();
int doMissDataCmd();
