// Settings of NEXUS input, of character-matrix display and of data storage,
// as the option table binds them.
#pragma once

#include <cstdint>

enum : uint32_t { kAllDigitProhibit = 0, kAllDigitWarn = 1, kAllDigitNoWarn = 2 };

struct NexusOptions {
    uint32_t allDigLab;    // kAllDigit*: all-digit taxon and character names
    uint8_t allowPunct;    // only ";" ends a label
    uint8_t nexusBlocks;   // 0 one DATA block, 1 TAXA and CHARACTERS blocks
    uint8_t taxlabMatch;   // 0 relaxed, 1 strict
    uint8_t underscores;   // 0 convert to blanks, 1 keep
};
extern NexusOptions nexOpt;

struct CharMatrixFormat {
    uint8_t showExcluded;
    uint8_t cmLabels;     // character labels in the heading
    uint8_t cmShowEq;     // equate symbols for ambiguous cells
    uint8_t cmCstatus;    // a row of character status
    int32_t cmColWidth;   // columns per character
};
extern CharMatrixFormat cmFmt;

// cmColWidth spaces the cells of a row: keep a few cells on any line.
inline constexpr int32_t kMaxCharMatrixColWidth = 64;

struct DataParams {
    uint8_t dataStorage;  // 0 full, 1 compact (site patterns)
};
extern DataParams dataParam;
