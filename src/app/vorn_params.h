// The general option change callbacks of the shell, the routines used around
// option parsing, the custom readers of the Log options, and the Set command.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"

// What the callbacks reach in the parsimony and likelihood engines, which
// install their entry points at start-up. A null member does nothing.
struct VornParamServices {
    void (*forgetLastTreeOptimized)();
    void (*setNeedParsPrep)(int level);       // raises the pending preparation level
    void (*clearLikelihoodOptimized)();       // the likelihood settings' last-optimisation mark
};
void setVornParamServices(const VornParamServices &services);

// Change callbacks: 0 accepts, nonzero rejects the command's options.
int forceReopt(CmdParam *option);
int forceFullRepack(CmdParam *option);
int setPause(CmdParam *option);
int saveGone(CmdParam *option);
int outputUnsupportedMsg(CmdParam *option);
int checkGammaShapeValue(CmdParam *option);
int checkPinvarValue(CmdParam *option);
int checkUndefMultValue(CmdParam *option);
int doFlushParm(CmdParam *option);
// The option forms of the output width and underscore settings.
int cmdSetOutputWidth(CmdParam *option);
int changeUndscSetting(CmdParam *option);

// Custom options.
int getLogFileName(int operation, CmdParam *option, void *place);

// True when `buffer` names a file; when it is empty, the previous name (if
// any) is copied back and the answer is false.
bool checkOptionalFileSave(char *buffer, const char *previous);
// Score bounds held by options mean nothing under another criterion or data
// set: sets them to 0.
void zeroScoreOptions();

int doSetCmd();
// The parsimony settings: status 1 unless the options were read (a "?"
// listing included).
int doPsetCmd();
