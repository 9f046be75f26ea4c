// The shell's own commands: Help, Execute, CD, PWD, Edit, Time, FStatus,
// Leave, Quit, Log, PSet and the "#NEXUS" word met as a command (Set is the
// option layer's own).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/qel_commands.h"

int doHelpCmd();
int doExecCmd();
int doCdCmd();
int doPwdCmd();
int doEditCmd();
int doTimeCmd();
int showFileStatus();
int doLeaveCmd();
int doQuitCmd();
int doNexusCmd();
int doVornLogCmd();

// The Help listings: the commands that need no data block, then the others.
void showBasicHelp(const CmdTable *table, bool withDescriptions);
void showCmds(const CmdTable *table, bool withDescriptions, const char *heading, bool needsData);

// With a path, changes the working directory (error 138 and 1 on failure);
// then the current directory becomes the active input's directory and is
// shown. 0 on success.
int myChdir(const char *path);

// The shell command line that opens `fileName` in `editor`: the name is
// quoted for the shell, so blanks and shell characters in it stay part of
// the name. False when the result would not fit `size` bytes.
bool makeEditCommand(const char *editor, const char *fileName, char *dest, size_t size);

// The quit check: 0 when quitting is allowed. Once a quit has been
// confirmed, later checks allow it without asking.
int okToQuit();

// The option table: installed at start-up, given its factory values after
// the option layer is initialised, released at shut-down.
void installShellOptions();
int initializeShellOptions();  // nonzero on failure
void finalizeShellOptions();
