// The reader of TAXA, DATA and CHARACTERS blocks: the block driver with its
// command table, and the block commands other than Format (dataformat.h) and
// Matrix (datamatrix.h): Dimensions, Options, Eliminate, Title, the label
// commands, and the installation of a finished matrix as the active data set.
#pragma once

#include <string>
#include <vector>

#include <cstdint>

#include "data/vorn_data.h"
#include "cli/qel_cmdoptions.h"

// Block types, as the command loop numbers them.
inline constexpr int kBlockData = 0;
inline constexpr int kBlockTaxa = 1;
inline constexpr int kBlockCharacters = 2;
inline constexpr int kBlockDistances = 3;

inline constexpr uint32_t kMaxTaxa = 16384;

// Labels position (keyword positions of the labels option).
inline constexpr uint32_t kLabelsNone = 0;
inline constexpr uint32_t kLabelsLeft = 1;
inline constexpr uint32_t kLabelsRight = 2;

// The variables the block commands' options write. The reader loads them
// from the record before parsing and stores them back after, so they carry
// no factory values. NTax and NChar hold kNotGiven until an option sets them.
inline constexpr int32_t kNotGiven = INT32_MIN;
struct DataBlockParams {
    int32_t ntax;
    int32_t nchar;
    int32_t missing;      // characters, 0 for none
    int32_t matchChar;
    int32_t gap;
    int32_t distMissing;
    uint32_t labels;      // kLabels*
    uint32_t triangle;
    uint32_t dataType;
    uint8_t interleave;
    uint8_t transpose;
    uint8_t respectCase;
    uint8_t newTaxa;
    // Set by a Dimensions command that gives the count and never cleared: a
    // Format before a later block's Dimensions runs (the Dimensions after it
    // is then out of place) where in the first block it lacks the counts.
    uint8_t ntaxGiven;
    uint8_t ncharGiven;
    uint8_t diagonal;
};
extern DataBlockParams dataBlockParam;

// What the handlers of one block share.
struct DataBlockReader {
    DataInfo *d;
    int blockType;
    uint8_t readingTaxonLabels;  // for the messages of validLabel
    uint8_t skipBlock;           // Format met continuous data
    uint8_t symbolsGiven;        // SYMBOLS was given in this block
    uint8_t matrixRead;
    uint8_t taxaOutOfOrder;
    uint8_t gapInCombination;
    uint8_t ntaxKnown;   // this block has its taxon count (its own, or the taxa's)
    uint8_t ncharKnown;  // this block's Dimensions gave NChar
};
DataBlockReader &dataBlockReader();

// Reads one block (after its "begin name;") into d; 0, 1 (error), 2 (aborted)
// or -1 (the user declined to replace the data set).
int readData(int blockType, DataInfo *d);
// Whether a further CHARACTERS block that defines new taxa, and so replaces
// the data set, asks the user first (as the command loop asks before a DATA,
// TAXA or DISTANCES block); off until set.
void setAskBeforeReplacingData(bool ask);
// How many times a further CHARACTERS block with new taxa has replaced the
// installed data set, whose record is then freed: a holder of that record
// compares the count before and after a block.
uint64_t installedDataReplacements();
// Installs a freshly read character matrix as the active data set (join 0),
// or appends a further CHARACTERS block to the installed one (joinCharBlock);
// under compact storage the pattern matrix is made from the pattern tree
// first. 0 or 1.
int finishCharMatrix(DataInfo *d, int join);

// Labels "<prefix>1" .. "<prefix>ntax"; marks taxa present and labels known.
int initTaxLabels(DataInfo *d, const char *prefix);
int defaultTaxLabels(DataInfo *d);
void zapCharacter(DataInfo *d, uint32_t c);
void setDefaultDataFormat(DataInfo *d);

// Reads one taxon or character label (at most kMaxLabelLength characters)
// into buffer (kMaxLabelLength + 1 bytes). 0, or 1 after an error: a
// refused punctuation character, a label too long, the end of the input.
int readLabel(char *buffer, bool taxonLabel);
// Stores a label read from the input under the label rules (empty labels
// become the number, all-digit names per the allDigLab setting); 0 or 1.
int setTaxLabel(DataInfo *d, uint32_t row, const char *label);
int setCharLabel(DataInfo *d, uint32_t c, const char *label);
// The taxa of an implicit TAXA block: whatever d held is released and the
// labels become its taxa, in order. 0, or 1 after an error.
int defineTaxaFromLabels(DataInfo *d, const std::vector<std::string> &labels);
// The warning on taxon names given more than once (letter case aside),
// listing every taxon that bears one.
void warnRepeatedTaxonNames(const std::vector<std::string> &labels);

// Custom option zap of the Options set (26).
int readZappedChars(int operation, CmdParam *option, void *place);
