// SumTrees: a sample of trees (the trees in memory, or the trees of a NEXUS
// tree file read directly) summarised as a majority-rule consensus with
// compatible minority groups and a table of the distinct trees with their
// frequencies. The trees of a file are counted in a private buffer and never
// enter the main buffer.

#include "trees/sumt.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "trees/contree.h"
#include "trees/drawtree.h"
#include "trees/readtree.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"

namespace {

// The run in progress; the reader's per-tree callback has no context of its
// own. Set and cleared by doSumTreesCmd only.
SumTRun *gRun = nullptr;

int storeFromReader(Tree *tree, uint32_t position) { return storeTreeForSumT(*gRun, tree, position); }

}  // namespace

int storeTreeForSumT(SumTRun &run, Tree *tree, uint32_t position)
{
    TreeBuffer *buf = run.buffer;
    const bool rooted = (tree->flags & kTreeRootedAtAnc) != 0;
    if (buf->numTrees > 0 && (buf->rooted != 0) != rooted)
        return qel_errorMsg(729, "You cannot mix rooted and unrooted trees.");
    uint32_t result = putTree(tree, buf, true);
    if (isPutTreeFull(result)) {
        // The private buffer grows whenever it fills; only memory limits it.
        if (setTreeBufferCapacity(buf, std::max(2 * getTreeBufferCapacity(buf), 16u)) != 0)
            return 1;
        result = putTree(tree, buf, true);
        if (isPutTreeFull(result))
            return 1;
    }
    if (result == kPutTreeDuplicate) {
        const uint32_t match = getMatchingTree(buf);
        return incrementTreeWt(buf, match - 1, 1.0);
    }
    try {
        run.firstPositions.push_back(position);
    } catch (const std::bad_alloc &) {
        return 1;
    }
    return storeTreeWt(buf, result - 1, 1.0);
}

int compareDistinctTrees(const double *weights, uint32_t a, uint32_t b)
{
    if (weights[a] > weights[b])
        return -1;
    if (weights[a] < weights[b])
        return 1;
    if (weights[a] == weights[b])
        return a < b ? -1 : (a > b ? 1 : 0);
    return 0;  // a NaN weight orders by the weight test alone
}

void showTreeFrequencies(TreeBuffer *buf, const std::vector<uint32_t> &firstPositions, uint32_t total)
{
    const uint32_t n = buf->numTrees;
    const double *w = getTreeWtBuf(buf);
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return compareDistinctTrees(w, a, b) < 0; });
    qel_printf("\nTree frequencies:\n");
    qel_printf("%58s%16s\n", "Relative", "Cumulative");
    qel_printf("%10s%16s%16s%16s%16s\n", "Tree", "(first) pos", "frequency", "frequency", "frequency");
    tableLine(74, 0);
    double cumulative = 0.0;
    for (uint32_t r = 0; r < n; r++) {
        const uint32_t i = order[r];
        const double f = w ? w[i] : 1.0;
        if (f == 1.0) {
            const auto remaining = static_cast<uint32_t>(std::llround(total - cumulative));
            if (remaining > 20) {
                qel_printf("\n%10u additional trees were each found one time each.\n", remaining);
                return;
            }
        }
        cumulative += f;
        qel_printf("%10u%16u%16.12g%16.4f%16.4f\n", r + 1, firstPositions[i], f, f / total, cumulative / total);
    }
}

namespace {

// The file's first TREES block, read after its taxa are made; 0, 1 or 2.
int readSumTFile(SumTRun &run, uint32_t *treesRead)
{
    char dir[kPathnameBufSize];
    const char *directory = getActiveInputDirSpec(dir);
    InputStatus *caller = getActiveInput();
    InputStatus input;
    if (openInputFile(sumT.filename, 0, directory, &input) != kOpenOK) {
        setActiveInput(caller);
        return 1;
    }
    qel_printf("\nInvoking SUMT on file '%s'\n", sumT.filename);
    int status = 0;
    if (findNextTreesBlk() != 0)
        status = qel_errorMsg(707, "File \"%s\" has no TREES block.", sumT.filename);
    DataInfo *d = activeDataInfo();
    if (status == 0 && !d)
        status = 1;
    // The file's taxa replace the data set; a user who goes on to score or
    // search must hear that the matrix is gone before a later command fails.
    const bool hadData = d && (d->flags & (kHaveCharacters | kHaveDistances)) != 0;
    const uint32_t oldTaxa = d ? d->ntax : 0;
    if (status == 0)
        status = createImplicitTaxaBlock(d, false);
    if (hadData && !(d->flags & (kHaveCharacters | kHaveDistances)))
        qel_printf("Note: The data set in memory (%u taxa) has been cleared; the taxa of this tree file replace it "
                   "(execute the data file again to analyze characters).\n",
                   oldTaxa);
    // The taxa stand in the order listed next, the numbers the consensus
    // tree and TStatus show them under: commands may name them by number.
    if (status == 0)
        d->taxa.taxaByNumber = 1;
    if (status == 0) {
        qel_printf("%d taxa included in first tree.  Names are:\n", static_cast<int>(d->ntax));
        for (uint32_t t = 0; t < d->ntax; t++)
            qel_printf("  %s\n", taxLabelString(d, t));
        // The buffer is made for the taxa just defined.
        run.buffer = createTreeBuffer(d->ntax, 1, true, false, false);
        if (!run.buffer)
            status = 1;
    }
    if (status == 0)
        status = readTreesForSumT(run.buffer, storeFromReader, treesRead);
    closeInputFile(&input);
    setActiveInput(caller);
    return status;
}

}  // namespace

int doSumTreesCmd()
{
    sumT.filename[0] = '\0';
    if (setCmdParamVals(OptionSet::kSumTrees) != 0)
        return 1;
    // relBurnin is accepted and has no effect: no burn-in amount is defined.
    SumTRun run;
    gRun = &run;
    struct Cleanup {
        SumTRun &run;
        ~Cleanup()
        {
            destroyTreeBuffer(run.buffer);
            run.buffer = nullptr;
            gRun = nullptr;
            sumT.buffer = nullptr;
        }
    } cleanup{run};
    uint32_t total = 0;
    int status = 0;
    if (sumT.filename[0]) {
        DataInfo *d = activeDataInfo();
        if (d && d->ntax > 0 && !verifyReplaceTrees())
            return -1;
        status = readSumTFile(run, &total);
    } else {
        if (int rc = noTreesAvailable(true, 0, nullptr); rc != 0)
            return rc;
        TreeBuffer *main = getMainTreeBuffer(nullptr);
        run.buffer = createTreeBuffer(main->ntax, 1, true, false, false);
        TreeHandle tree(createTree(false));
        if (!run.buffer || !tree)
            return 1;
        for (uint32_t n = 1; n <= main->numTrees && status == 0; n++) {
            if (getAbortedStatus())
                status = 2;
            else if (getTree(main, n, tree.get()) != 0)
                status = 1;
            else
                status = storeTreeForSumT(run, tree.get(), n);
        }
        total = main->numTrees;
    }
    sumT.buffer = run.buffer;
    if (status != 0)
        return status;
    if (!run.buffer || run.buffer->numTrees == 0) {
        qel_printf("\nNo trees were read; nothing to summarise.\n");
        return 0;
    }
    DataInfo *d = activeDataInfo();
    std::vector<uint32_t> trees(run.buffer->numTrees);
    for (uint32_t i = 0; i < trees.size(); i++)
        trees[i] = i + 1;
    TreeHandle work(createTree(true));
    TreeHandle result(createTree(true));
    std::unique_ptr<SplitsList, decltype(&destroySplitsList)> list(
        createSplitsList(run.buffer->ntax, run.buffer->ntax, true), destroySplitsList);
    if (!work || !result || !list || allocSpecialTreeData(1) != 0)
        return 1;
    SplitsTable *t = nullptr;
    double weightTotal = 0.0;
    status = majRuleConsensus(kConSumTrees, true, run.buffer, trees, d, work.get(), &t, &weightTotal);
    std::unique_ptr<SplitsTable, decltype(&destroySplitsTable)> table(t, destroySplitsTable);
    if (status == 0)
        status = selectConsensusSplits(table.get(), kConSumTrees, true, 50, list.get(), weightTotal);
    const bool rooted = run.buffer->rooted != 0;
    if (status == 0)
        status = finishContree(result.get(), kConSumTrees, table->support.data(), list.get(), d, rooted);
    if (status == 0)
        status = rootConsensusForOutput(result.get(), d);
    if (status != 0) {
        deallocSpecialTreeData();
        return status;
    }
    qel_printf("\nMajority-rule consensus of %u trees (with compatible groups of frequency 50%% or less):\n", total);
    drawTree(result.get(), kDrawSupport, 0, true, d);
    showTreeFrequencies(run.buffer, run.firstPositions, total);
    return getAbortedStatus() ? 2 : 0;
}
