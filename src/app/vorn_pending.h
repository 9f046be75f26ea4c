// Command handlers that are not implemented yet. Each stub refuses to run with
// an error naming its command, so nothing pretends to succeed; a handler
// moves out of here into its own unit when it is written.
#pragma once

#include "cli/qel_commands.h"
// Handlers that left this list but that callers still reach through it.
#include "data/charstat.h"
#include "data/taxstat.h"
#include "likelihood/gammaplot.h"
#include "likelihood/outside_search.h"
#include "likelihood/surfcheck.h"
#include "search/countswaps.h"
#include "search/hsearch.h"
#include "parsimony/charplot.h"
#include "search/filtercmd.h"
#include "search/randtests.h"
#include "search/randtrees.h"
#include "search/sorttrees.h"
#include "selection/clockcheck.h"
#include "selection/orthofilter.h"
#include "selection/patfittest.h"
#include "selection/patternfreq.h"
#include "selection/simblock.h"
#include "selection/simtrees.h"
#include "search/xsearch.h"
#include "trees/agree.h"
#include "trees/constr.h"
#include "trees/treefilter.h"
#include "trees/treegen.h"
// skipRestOfCmd, the handler of commands that are read and ignored, is the
// tokenizer's own.
#include "cli/qel_cmdline.h"


// True while a handler is still one of the placeholders above.
bool isPendingHandler(CmdHandler handler);
