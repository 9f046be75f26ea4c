// The shell's own commands that the program needs to run: Help, Execute,
// Quit, Log, Set and the "#NEXUS" word met as a command; and the option sets
// those commands read.
#pragma once

#include <cstdint>

#include "shell/qel_commands.h"

int doHelpCmd();
int doExecCmd();
int doQuitCmd();
int doNexusCmd();
int doVornLogCmd();

// The Help listings: the commands that need no data block, then the others.
void showBasicHelp(const CmdTable *table, bool withDescriptions);
void showCmds(const CmdTable *table, bool withDescriptions, const char *heading, bool needsData);

// The quit check: 0 when quitting is allowed.
int okToQuit();

// The option sets of these commands: installed at start-up (the option
// layer then knows them), initialised after, finalised at shut-down.
void installShellOptions();
int initializeShellOptions();  // nonzero on failure
void finalizeShellOptions();
