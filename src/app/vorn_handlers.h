// The headers of the command handlers that the command table and the option
// table name, gathered so that both read them from one place.
#pragma once

#include "cli/qel_commands.h"
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

