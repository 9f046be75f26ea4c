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
#include "search/xsearch.h"
#include "trees/constr.h"
// skipRestOfCmd, the handler of commands that are read and ignored, is the
// tokenizer's own.
#include "cli/qel_cmdline.h"

int beginIterationBlock();
int beginSimLoop();
int doAgreeCmd();
int doAstralCmd();
int doAutoModelCmd();
int doAutoPartCmd();
int doChgPlotCmd();
int doClockCheckerCmd();
int doDnaRecodeCmd();
int doFilterCmd();
int doGammaPlotCmd();
int doGarliCmd();
int doGenerateTreesCmd();
int doLocalModelCmd();
int doLocalRateCmd();
int doLScoresCmd();
int doNSFilterCmd();
int doOrthoFilterCmd();
int doPartHomTest();
int doPatFitTest();
int doPatternFreqCmd();
int doPermuteCmd();
int doPossPlotCmd();
int doPuzzleCmd();
int doQScoresCmd();
int doQSearchCmd();
int doRandTreesCmd();
int doRaxmlCmd();
int doReduceTaxaCmd();
int doReverseFilterCmd();
int doSimDataCmd();
int doSimTitleCmd();
int doSiteModelsCmd();
int doSortTreesCmd();
int doStateFreqCmd();
int doSurfCheckCmd();
int doSVDQuartetsCmd();
int doTreeDistCmd();
int doTrueTreeCmd();
int endIterationBlock();
int endSimLoop();
int makeYangRannalaTrees();
int makeYuleTrees();
int setSimTimer();
int tallySimResults();

// True while a handler is still one of the placeholders above.
bool isPendingHandler(CmdHandler handler);
