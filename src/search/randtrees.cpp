#include "search/randtrees.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/qel_cmdoptions.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "parsimony/lenrange.h"
#include "parsimony/packx.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_strings.h"
#include "qel/qel_time.h"
#include "search/critscore.h"
#include "search/freqdist.h"
#include "search/hsprep.h"
#include "search/pscores.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "trees/describe.h"
#include "trees/treegen.h"
#include "trees/treeutil.h"

EvalRandSettings evalRand = {1000, 0, {}};

namespace {

struct EvalRun {
    DataInfo *data = nullptr;
    Tree *tree = nullptr;
    FreqDist *fd = nullptr;
    StreamInfo *scoreStream = nullptr;  // owns scoreFile
    std::FILE *scoreFile = nullptr;
    ProgData *progress = nullptr;
    RNGSeed seed{};
    uint32_t ntax = 0;
    uint32_t nreps = 0;
    uint32_t done = 0;
    bool rooted = false;
    int status = 0;
};

double scoreOf(EvalRun &run)
{
    if (gCriterion == kCriterionParsimony) {
        pointTreeAtPackedData(run.tree, run.data);
        return calcParsimonyScore(run.data, run.tree, false);
    }
    return criterionTreeScore(run.tree, kNoScoreValue);
}

int evalRandThreadProc(void *arg)
{
    auto &run = *static_cast<EvalRun *>(arg);
    RNG rng;
    initRNG(&rng, run.seed);
    for (uint32_t i = 1; i <= run.nreps; i++) {
        const int rc = makeRandomEqProbTree(run.tree, run.ntax, run.rooted, false, &rng);
        if (rc != 0) {
            run.status = rc;
            return 0;
        }
        const double score = scoreOf(run);
        if (getAbortedStatus() != 0 && confirmAbortRequest()) {
            run.status = 2;
            return 0;
        }
        if (updateFreqDistData(run.fd, score) != 0) {
            run.status = 1;
            return 0;
        }
        if (run.scoreFile)
            std::fprintf(run.scoreFile, "%u\t%s\n", i, treeScoreToString(0, score).c_str());
        run.done = i;
        if (run.progress && setProgressValue(run.progress, i) != 0) {
            run.status = 2;
            return 0;
        }
    }
    return 0;
}

}  // namespace

int doRandTreesCmd()
{
    DataInfo *data = activeDataInfo();
    if (!data || checkCharStatusUpdate(data) != 0)
        return 1;
    // The score and distribution files are written only when this command
    // names them.
    NamedFileRequest scoreFileRequest(sfopt.scoreFile, sizeof sfopt.scoreFile);
    FreqDistFileRequest fdFileRequest;
    const int read = getCmdParams(OptionSet::kRandTrees, ";", nullptr);
    const std::string scoreFileName = scoreFileRequest.taken() ? sfopt.scoreFile : "";
    fdFileRequest.taken();
    if (read <= 0)
        return 1;
    const bool histogram = areScoresFlt() || evalRand.fdType == 0;
    if (histogram && fdopt.fdClasses < 2)
        return qel_errorMsg(539, "The number of classes for the tree-score frequency distribution must be greater "
                                 "than 1."),
               1;
    if (prepForSearch(data, kSearchNoConstraints | kSearchKeepUserBrlens) != 0)
        return finishSearch(1);
    EvalRun run;
    run.data = data;
    run.rooted = isRootedSearch(data);
    run.ntax = numSearchTaxa(data);
    run.nreps = static_cast<uint32_t>(evalRand.nreps);
    TreeHandle tree(createSearchTree(data));
    if (!tree)
        return finishSearch(1);
    run.tree = tree.get();
    pointTreeAtPackedData(run.tree, data);
    FreqDistPtr fd;
    if (areScoresFlt()) {
        fd = createHistogram(run.nreps, true, 0, 0, static_cast<uint32_t>(fdopt.fdClasses));
    } else {
        int64_t lo = 0, hi = 0;
        if (gCriterion == kCriterionParsimony) {
            calcLengthBounds(data, run.tree, run.rooted, false);
            lo = static_cast<int64_t>(std::floor(sumMinLengths()));
            hi = std::llround(lengthBounds().sumMax);
        }
        fd = evalRand.fdType == 1 ? createBarChart(lo, hi)
                                  : createHistogram(run.nreps, false, lo, hi, static_cast<uint32_t>(fdopt.fdClasses));
    }
    if (!fd)
        return finishSearch(1);
    run.fd = fd.get();
    if (!scoreFileName.empty()) {
        int opened = 1;
        run.scoreStream = openScoreFile(scoreFileName.c_str(), &opened);
        if (!run.scoreStream)
            return finishSearch(opened);
        run.scoreFile = run.scoreStream->fp;
    }
    run.seed = seedForRun(evalRand.seed);

    qel_printf("\nEvaluating %u trees sampled equiprobably from the set of all possible trees\n\n", run.nreps);
    indentOutput(2);
    if (gCriterion == kCriterionParsimony && srch.includeAnc)
        qel_printf("Ancestor \"%s\" included in analysis\n", ancStatesName());
    qel_printf("Trees are %s\n", run.rooted ? "rooted" : "unrooted");
    qel_printf("Starting seed = %s\n", seedString(run.seed).c_str());
    showCriterionSettings(data);
    indentOutput(-2);

    TimeMark start{}, stop{};
    setTimeMark(&start);
    run.progress = createProgressWindow(run.nreps, 0, "Evaluating random trees");
    runSecondaryThread(evalRandThreadProc, &run);
    finishProgress(run.progress);
    run.progress = destroyProgressWindow(run.progress);
    setTimeMark(&stop);
    if (run.status == 2)
        setAbortedStatus(0);
    if (run.scoreStream && closeScoreFile(&run.scoreStream) != 0 && run.status == 0)
        run.status = 1;
    if (run.done < run.nreps)
        qel_printf("  Evaluation aborted after %u %s\n", run.done, run.done == 1 ? "tree" : "trees");
    showTimeUsed(&start, &stop, 0, " for tree-score evaluation");
    if (!scoreFileName.empty())
        qel_printf("\nTree scores written to file: %s\n", scoreFileName.c_str());
    int shown = 0;
    if (run.status != 1 && run.done > 0) {
        char title[128];
        std::snprintf(title, sizeof title, "\nFrequency distribution of %s of %u random trees:\n",
                      gCriterion == kCriterionParsimony ? "lengths" : "scores", run.done);
        shown = showFreqDist(run.fd, title, true);
    }
    finishSearch(0);
    return run.status == 1 || shown == 1 ? 1 : 0;
}
