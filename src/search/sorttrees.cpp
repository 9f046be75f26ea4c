#include "search/sorttrees.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "cli/qel_cmdline.h"
#include "data/vorn_data.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "search/critscore.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treelist.h"

double scoreStoredTree(DataInfo *data, TreeBuffer *buf, uint32_t n, Tree *tree)
{
    if (getTree(buf, n, tree) != 0)
        return kNoScoreValue;
    if (gCriterion == kCriterionParsimony) {
        pointTreeAtPackedData(tree, data);
        return calcParsimonyScore(data, tree, false);
    }
    return criterionTreeScore(tree, kNoScoreValue);
}

int permuteTreesInBuffer(TreeBuffer *buf, const uint32_t *order, uint32_t n)
{
    const uint32_t spare = n + 1;  // 1-based number of the slot after the last tree
    if (buf->capacity < spare && setTreeBufferCapacity(buf, spare) != 0)
        return 1;
    std::vector<uint8_t> placed(n, 0);
    for (uint32_t start = 0; start < n; start++) {
        if (placed[start] || order[start] == start) {
            placed[start] = 1;
            continue;
        }
        // Follow the cycle: the tree of `start` waits in the spare slot while
        // each slot takes the tree it is to hold.
        moveTrees(buf, start + 1, spare, 1, false);
        uint32_t at = start;
        while (order[at] != start) {
            moveTrees(buf, order[at] + 1, at + 1, 1, false);
            placed[at] = 1;
            at = order[at];
        }
        moveTrees(buf, spare, at + 1, 1, false);
        placed[at] = 1;
    }
    return rehashTreeBuffer(buf);
}

namespace {

struct SortRun {
    DataInfo *data = nullptr;
    TreeBuffer *buf = nullptr;
    Tree *tree = nullptr;
    std::vector<double> scores;
    ProgData *progress = nullptr;
    int status = 0;
};

int sortTreesThreadProc(void *context)
{
    auto &run = *static_cast<SortRun *>(context);
    const auto n = static_cast<uint32_t>(run.scores.size());
    for (uint32_t k = 0; k < n; k++) {
        run.scores[k] = scoreStoredTree(run.data, run.buf, k + 1, run.tree);
        if (incrementProgressValue(run.progress) == kProgressAborted) {
            run.status = 2;
            return 2;
        }
    }
    setStatusText("Sorting trees...");
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return run.scores[a] < run.scores[b]; });
    if (permuteTreesInBuffer(run.buf, order.data(), n) != 0) {
        run.status = 1;
        return 1;
    }
    initTreeStatus(false);
    return 0;
}

}  // namespace

int doSortTreesCmd()
{
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    if (readSemicolon() != 0)
        return 1;
    if (isTreeFilterActive())
        return qel_errorMsg(782, "Tree sorting is not allowed while a tree filter is in effect. Either remove the "
                                 "filter or purge trees currently hidden by filter.");
    DataInfo *data = activeDataInfo();
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const uint32_t n = numTreesInBuffer(buf);
    if (n == 1) {
        qel_printf("\n%s command ignored; only one tree is in memory.\n", "SortTrees");
        return 0;
    }
    if (!data || prepForSearch(data, kSearchNoMinTaxa | kSearchNoConstraints | kSearchKeepUserBrlens) != 0)
        return finishSearch(1);
    qel_printf("\nSorting trees:\n");
    indentOutput(2);
    showCriterionSettings(data);
    indentOutput(-2);
    TreeHandle tree(createSearchTree(data));
    if (!tree)
        return finishSearch(1);
    SortRun run;
    run.data = data;
    run.buf = buf;
    run.tree = tree.get();
    run.scores.assign(n, kNoScoreValue);
    setStatusText("Calculating %s scores...", currentCriterionString());
    run.progress = createProgressWindow(n, 0, "Sorting");
    runSecondaryThread(sortTreesThreadProc, &run);
    run.progress = destroyProgressWindow(run.progress);
    clearStatusText();
    if (run.status == 2)
        setAbortedStatus(0);
    if (run.status != 0)
        return finishSearch(run.status);
    forgetLastTreeOptimized();
    qel_printf("\n%d trees in memory are now sorted according to ", static_cast<int>(n));
    if (gCriterion != kCriterionParsimony)
        qel_printf("score under %s criterion", currentCriterionString());
    else
        qel_printf(gPars.goloboff ? "Goloboff fit" : "tree length");
    qel_printf("\n");
    return finishSearch(0);
}
