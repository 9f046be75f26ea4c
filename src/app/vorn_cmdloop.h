// The command loop: reads NEXUS input from the active source, recognises the
// file header, hands blocks to their readers, keeps the program's own command
// block open, and runs every other word as a command. Also the execution of
// a file (or a text) as a nested input.
#pragma once

#include "cli/shell_settings.h"

#include <cstdint>

#include "qel/qel_io.h"

// Status of a command, a block or a whole input.
inline constexpr int kStatusCompleted = 0;
inline constexpr int kStatusError = 1;
inline constexpr int kStatusAborted = 2;
inline constexpr int kStatusCanceled = -1;

inline constexpr uint32_t kMaxFileNestingLevels = 16;

// The warning settings (wrng) and errorStop the loop reads live in
// shell_settings.h, below the application layer.

// Runs the active input until its end, a failure or a quit; returns its status.
int doCmds();
// Runs a file (with `heldStream` pointing at an already open stream, that
// stream is read and left open) or, with no file, `pythonText` as an
// in-memory document. The status of the run, or 1 when the file cannot be
// opened or the nesting limit is reached.
int executeFile(const FileSpec *fileSpec, const void *reserved, const char *pythonText,
                StreamInfo **heldStream);
// "completed", "aborted by user", "canceled", "terminated due to errors".
const char *completionStatusWord(int status);
void showCompletionStatus(int status, const InputStatus *input);

int inMasterBlock();
void setInMasterBlock(int flag);

// Readers of the blocks that other subsystems own. A null member means that
// subsystem is not built yet: its block is reported and skipped.
struct DataInfo;
struct BlockReaders {
    int (*readData)(int kind, DataInfo *record);  // 0 DATA, 1 TAXA, 2 CHARACTERS, 3 DISTANCES
    int (*processTreesBlock)();
    int (*processAssumptionsBlock)();
    int (*processSetsBlock)();
    int (*processCodonsBlock)();
    int (*processQuartetsBlock)();
    int (*processPythonBlock)();
    int (*beginSimulation)(int twoState);
    int (*endSimulation)();
    bool (*inSimulationBlock)();
    void (*forgetDefaultFilenames)();
};
void setBlockReaders(const BlockReaders &readers);
const BlockReaders &blockReaders();

// Ends an open simulation block (0 when none is open).
int endOpenSimulation();
