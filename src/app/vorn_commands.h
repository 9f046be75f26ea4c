// The program's command vocabulary: every command a user may type, and the
// old or alternative names that still reach them.
#pragma once

#include <cstdint>

#include "cli/qel_commands.h"

constexpr uint32_t VORN_COMMAND_COUNT = 144;
constexpr uint32_t VORN_SYNONYM_COUNT = 14;  // rows before the end row

extern const CmdTableEntry vorn_commands[VORN_COMMAND_COUNT];
// Ended by a row whose minPrefix is 0.
extern const RenamedCmd vorn_cmdSynonyms[VORN_SYNONYM_COUNT + 1];

// Installs both tables as the command table; called once at start-up.
void initVornCmdTable();
