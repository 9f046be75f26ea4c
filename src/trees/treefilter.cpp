#include "trees/treefilter.h"

#include "cli/qel_cmdline.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"

bool treeFilterInEffect() { return isTreeFilterActive(); }

bool allTreesHiddenByFilter() { return isTreeFilterActive() && isSetEmpty(treeSets[kFilterTreeSet]); }

void installTreeFilter(Set *retained)
{
    deleteTreeSets(true);
    treeSets[kFilterTreeSet] = retained;
}

int removeFilter(bool verbose)
{
    setStatusText("Removing tree filter...");
    treeSets[kFilterTreeSet] = deallocSet(treeSets[kFilterTreeSet]);
    deleteTreeSets(false);
    clearStatusText();
    if (verbose) {
        const uint32_t n = numTreesInMainBuffer();
        qel_printf("\nTree filter removed; %d %s now available\n", static_cast<int>(n), n == 1 ? "tree" : "trees");
    }
    return 0;
}

void removeFilteredTreesFromBuffer()
{
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const Set *kept = treeSets[kFilterTreeSet];
    if (!buf || !kept)
        return;
    const uint32_t n = numTreesInBuffer(buf);
    uint32_t to = 0;
    for (uint32_t s = 0; s < n; s++) {
        if (!isSetMember(kept, s))
            continue;
        if (s != to)
            moveTrees(buf, s + 1, to + 1, 1, false);
        to++;
    }
    // Dropping the tail releases what the hidden trees left there.
    for (uint32_t k = to; k < n; k++)
        decrementNumTrees(buf);
    rehashTreeBuffer(buf);
}

uint32_t deleteFilteredTrees(bool ask)
{
    if (!isTreeFilterActive()) {
        qel_printf("\nNo filter is currently in effect; cannot purge hidden trees.\n");
        return 0;
    }
    const uint32_t before = numTreesInMainBuffer();
    removeFilteredTreesFromBuffer();
    const uint32_t deleted = before - numTreesInMainBuffer();
    initTreeStatus(true);
    if (ask)
        qel_printf("\n%d tree(s) previously hidden by filter deleted.\n", static_cast<int>(deleted));
    return 0;
}

int doReverseFilterCmd()
{
    if (readSemicolon() != 0)
        return 1;
    if (!isTreeFilterActive())
        return qel_errorMsg(738, "No filter is in effect.");
    setStatusText("Reversing tree filter...");
    const uint32_t n = numTreesInMainBuffer();
    Set *kept = treeSets[kFilterTreeSet];
    uint32_t retained = 0;
    for (uint32_t s = 0; s < n; s++) {
        if (isSetMember(kept, s))
            removeSetMember(kept, s);
        else
            addSetMember(kept, s);
        retained += isSetMember(kept, s);
    }
    deleteTreeSets(false);
    clearStatusText();
    qel_printf("\nPrevious tree filter reversed:\n   Number of trees in memory = %d\n", static_cast<int>(n));
    qel_printf("   Number of trees retained by filter = %d\n", static_cast<int>(retained));
    return 0;
}
