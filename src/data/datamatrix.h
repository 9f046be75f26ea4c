// The Matrix command of character blocks: reading the cells of a matrix
// (plain, interleaved or transposed) and converting each into its raw code.
#pragma once

#include <cstdint>

#include "data/vorn_data.h"

// Bit of a cell's state set that marks a gap while the cell is read.
inline constexpr uint64_t kGapMarker = uint64_t{1} << 63;

// Per-command tables: the code of each input symbol plus 2 (0: not yet
// converted; wide enough for the gap code), and each symbol's equate. An
// equate symbol's code is cached too once met, unless it stands for a
// polymorphism or includes a gap; only the bulk row reader reads those.
struct CellTables {
    uint16_t codeCache[256];
    const Equate *equates[256];
};

// The Matrix command of the block being read; 0, 1 (error) or 2 (aborted).
int doMatrixCmd(DataInfo *d);

// Rows of a matrix are read in bulk where their cells are plain, else a
// character at a time; off, every cell is read a character at a time (the
// reference the bulk reading is checked against).
void setBulkRowReading(bool on);

// Converts one symbol: the missing code, kGapCode, a state, or kRefusedCode
// after error 308 (or 118 for a semicolon). Settles the matrix's letter case.
uint8_t stateSymbolToCode(int symbol, uint32_t row, uint32_t c, DataInfo *d);

// Converts and stores one cell that starts with `symbol`; 0 or 1.
int storeXij(uint32_t row, uint32_t c, int symbol, CellTables &tables, DataInfo *d);
// Reads a bracketed entry after its opener up to `closer` into bits; 0 or 1.
int readMultistateEntry(uint32_t row, uint32_t c, int closer, const CellTables &tables,
                        DataInfo *d, uint64_t &bits);
int addStateToStateSet(int symbol, uint32_t row, uint32_t c, DataInfo *d, uint64_t &bits);
int addEquatedStatesToSet(const Equate *e, uint32_t row, uint32_t c, DataInfo *d,
                          uint64_t &bits);

// Reads a taxon label in a matrix and returns its stored row, or kSetEnd
// after an error. With labels known and checkNames, the label must name the
// expected row or (searchAll) any row; seen marks the rows met in this pass.
uint32_t readTaxLabel(DataInfo *d, uint32_t expectedRow, bool storeLabels, bool checkNames,
                      bool searchAll, Set *seen);

// Appends the characters of b, a further CHARACTERS block read into a record
// that shares a's taxa, to a. Each cell of b is translated through its state
// set into a's symbols and state combinations; a state whose symbol a lacks,
// or a combination beyond a's code limit, refuses the join. a keeps its
// identity and storage mode; its named sets grow, and the character
// partition "Chars" gets a subset for the new block. b is released on
// success. 0, or 1 after an error report with a unchanged and b left to the
// caller. Once the cells are joined the result is 0: should the named sets
// then fail to grow, they are discarded with a warning.
int joinCharBlock(DataInfo *a, DataInfo *b);
