// Command handlers that are not implemented yet. Each stub refuses to run with
// an error naming its command, so nothing pretends to succeed; a handler
// moves out of here into its own unit when it is written.
#pragma once

#include "cli/qel_commands.h"
// Handlers that left this list but that callers still reach through it.
#include "data/charstat.h"
#include "data/taxstat.h"
#include "search/countswaps.h"
#include "search/hsearch.h"
#include "parsimony/charplot.h"
#include "search/randtrees.h"
#include "selection/simtrees.h"
#include "search/xsearch.h"
#include "trees/constr.h"
#include "trees/treegen.h"
// skipRestOfCmd, the handler of commands that are read and ignored, is the
// tokenizer's own.
#include "cli/qel_cmdline.h"

int beginIterationBlock();
int beginSimLoop();
int doAgreeCmd();
int doAstralCmd();
int doAutoModelCmd();
int doAutoPartCmd();
int doClockCheckerCmd();
int doFilterCmd();
int doGammaPlotCmd();
int doGarliCmd();
int doLocalModelCmd();
int doLocalRateCmd();
int doOrthoFilterCmd();
int doPartHomTest();
int doPatFitTest();
int doPatternFreqCmd();
int doPermuteCmd();
int doPuzzleCmd();
int doRaxmlCmd();
int doReverseFilterCmd();
int doSimDataCmd();
int doSimTitleCmd();
int doSiteModelsCmd();
int doSortTreesCmd();
int doSurfCheckCmd();
int doSVDQuartetsCmd();
int doTrueTreeCmd();
int endIterationBlock();
int endSimLoop();
int setSimTimer();
int tallySimResults();

// True while a handler is still one of the placeholders above.
bool isPendingHandler(CmdHandler handler);
