// The Format command of character blocks: the data type with its predefined
// symbols, the user's symbols, the missing, gap and match characters, the
// layout switches, and equate macros (symbols that stand for sets of states).
#pragma once

#include <cstdint>

#include "data/vorn_data.h"
#include "cli/qel_cmdoptions.h"

// At most this many state symbols: a further one would share its code with
// missing data.
inline constexpr uint32_t kMaxSymbols = kMaxStates;
inline constexpr uint32_t kMaxEquateSymbols = 19;
inline constexpr uint32_t kMaxEquateExpansion = 64;

// The Format command of the block being read (dataBlockReader()); 0 or 1.
int doFormatCmd(DataInfo *d);
// The note that a block of continuous data is passed over.
void warnContinuousBlockSkipped();

// Custom options SYMBOLS and EQUATE of the Format set; 0 or 1.
int readSymbols(int operation, CmdParam *option, void *place);
int readEquates(int operation, CmdParam *option, void *place);

// Defines one equated symbol: a user definition ("=" and its expansion are
// read from the input) when expansion is null, else a predefined one. 0 or 1.
int makeNewEquate(int symbol, const char *expansion, DataInfo *d);
int predefineEquates(DataInfo *d);
// Appends a symbol to the symbols and user symbols; error 328 for a repeat.
int appendSymbolToSymbolsList(int symbol, DataInfo *d, bool respectCase);
bool validRange(int a, int b);
const Equate *getFirstEquate(const DataInfo *d);
