// Command table records and command lookup: turning a typed word into the row
// of the command table that runs it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/option_sets.h"

// A command handler reads its own arguments from the input and returns the
// status of the command: 0 done, 1 error, 2 aborted by the user, -1 canceled.
using CmdHandler = int (*)();

// Bits of CmdTableEntry::flags.
constexpr uint32_t CMD_NEEDS_TAXA = 0x1;
constexpr uint32_t CMD_NEEDS_CHARACTERS = 0x2;
constexpr uint32_t CMD_NEEDS_DISTANCES = 0x4;
constexpr uint32_t CMD_NEEDED_BLOCKS = 0x7;
constexpr uint32_t CMD_HIDDEN = 0x40;  // left out of Help listings

constexpr OptionSet CMD_NO_OPTIONS = OptionSet::kNone;  // optionSet of a command without options

struct CmdTableEntry {
    const char *name;
    uint32_t flags;
    CmdHandler handler;
    const char *helpKey;
    OptionSet optionSet;
    // Null means the generic "[options...]"; an empty text shows nothing after
    // the name. A leading '\b' marks the hanging indentation for the output engine.
    const char *usage;
    const char *description;
};

struct RenamedCmd {
    const char *alias;
    uint32_t renamed;    // nonzero: using the alias prints a note naming the target
    uint32_t minPrefix;  // shortest accepted abbreviation; 0 ends the table
    const char *target;
};

struct CmdTable {
    const CmdTableEntry *rows;
    const RenamedCmd *synonyms;
    uint32_t count;
};

extern CmdTable gCmdTable;

// Settings of the current command.
struct CmdOpt {
    const CmdTableEntry *currentCmd;  // row whose handler is running, null between commands
    uint8_t showAbbrev;               // listings show shortest unique prefixes in capitals
};
extern CmdOpt cmdOpt;

// Installs a table; the previous one is handed back in *saved (when saved is not null).
void setCommandTable(CmdTable *saved, const CmdTableEntry *rows, uint32_t count,
                     const RenamedCmd *synonyms);
const CmdTable *getCmdTable();

// The row for `word` (an exact name, a unique prefix or a synonym), or null
// with the reason already shown. `quiet` prints problems as plain lines and
// skips the needed-block test. A null table means the installed one.
const CmdTableEntry *validCmd(const CmdTable *table, const char *word, int quiet);

// The row when the command may run on the active data set, else null after error 210.
const CmdTableEntry *confirmAppCmdValid(const CmdTableEntry *row);

// The name of the row whose handler is `handler`; a hidden row is used only
// when no visible row has it; "(unknown)" when none.
const char *commandName(CmdHandler handler);

struct CmdParamList;
// Prints the usage line of a command and, through qel_cmdShowOptionTable, its
// option table. A null row means the current command.
void showCmdUsage(const CmdTableEntry *row, OptionSet optionSet, CmdParamList *optionList,
                  bool showCurrent);

// The name at position `index` of the table as listings show it, written into
// out (at most outSize - 1 characters, always terminated). Returns out.
char *fmtCmdName(const CmdTable *table, const char *name, uint32_t index, char *out,
                 size_t outSize);

// Services of other units, installed by them; a null hook has a safe default.
// The blocks-present mask of the active data set (default 0: no data).
extern uint32_t (*qel_cmdBlocksPresent)();
// The errorStop option (default on).
extern bool (*qel_cmdErrorStop)();
// The next non-white input character without consuming it: the character, -1
// at the end of the input, -2 when a comment cannot be closed (default: -1).
extern int (*qel_cmdPeekNextChar)();
// Skips the input through the next ";" and returns 0, or nonzero at the end of
// the input (default: skips nothing).
extern int (*qel_cmdSkipRestOfCmd)();
// Lists the option table of an option set (default: showCmdOptionTable).
extern void (*qel_cmdShowOptionTable)(OptionSet optionSet, CmdParamList *optionList,
                                      bool showCurrent);
