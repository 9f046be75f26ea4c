#include "trees/describe.h"

#include <strings.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_progress.h"
#include "qel/qel_sets.h"
#include "cli/qel_cmdoptions.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

AncStatesNameFxn gAncStatesName = nullptr;


// An outgroup all of whose taxa are deleted roots nothing: the first taxon
// takes the root, as with none defined.
bool userOutgroupDefined(const DataInfo *d) { return d && countOutgroupTaxa(d, false) > 0; }

struct ShowTreesRun {
    DataInfo *data;
    std::vector<uint32_t> list;  // 1-based tree numbers
    bool userLens;
    bool outgroupRooted;  // unrooted trees, rooted here by the outgroup
};

int showTreesOutputProc(void *arg)
{
    const auto *run = static_cast<ShowTreesRun *>(arg);
    TreeHandle tree(createTree(true));
    if (!tree)
        return 1;
    if (run->outgroupRooted)
        noteOutgroupStatus(run->data, static_cast<uint32_t>(run->list.size()));
    for (uint32_t n : run->list) {
        if (getAbortedStatus() && confirmAbortRequest())
            return 2;
        setStatusText("Showing tree #%u...", n);
        // The heading needs the rooting the tree will get.
        if (getTree(nullptr, n, tree.get()) != 0)
            return 1;
        showTreeNum(tree.get(), run->data, n);
        if (const int rc = prepTreeForDrawing(tree.get(), run->data, n, true, true, run->userLens, run->userLens,
                                              run->userLens, nullptr))
            return rc;
        drawTree(tree.get(), run->userLens ? kDrawPhylogram : kDrawCladogram, 0, false, run->data);
    }
    clearStatusText();
    return 0;
}

// The listed trees, or every visible tree for an empty list.
std::vector<uint32_t> listedTrees(const Set *set, uint32_t inMemory)
{
    std::vector<uint32_t> list;
    for (uint32_t k = 0; k < inMemory; k++)
        if (isSetMember(set, k))
            list.push_back(k + 1);
    if (list.empty())
        for (uint32_t k = 0; k < inMemory; k++)
            if (isTreeVisible(k))
                list.push_back(k + 1);
    return list;
}

}  // namespace

void setAncStatesNameFxn(AncStatesNameFxn fxn) { gAncStatesName = fxn; }

void noteOutgroupStatus(const DataInfo *data, uint32_t treeCount)
{
    if (!data)
        return;
    SetHandle trees(allocSet(std::max(treeCount, 1u)));
    if (!trees)
        return;
    for (uint32_t k = 0; k < treeCount; k++)
        addSetMember(trees.get(), k);
    checkOutgroupStatus(trees.get(), data);
}

const char *ancStatesName()
{
    const char *name = gAncStatesName ? gAncStatesName() : nullptr;
    return name ? name : "standard";
}

void showTreeNum(const Tree *tree, const DataInfo *data, uint32_t n)
{
    // An unnamed tree is known by its number.
    const std::string name = getTreeName(nullptr, n);
    // Names given with the prefix "Tree " already say what they are.
    if (!name.empty())
        qel_printf(strncasecmp(name.c_str(), "Tree ", 5) == 0 ? "\n%s" : "\nTree %s", name.c_str());
    else
        qel_printf("\nTree %u", n);
    if (tree->flags & kTreeRootedAtAnc) {
        qel_printf(":\n");
        return;
    }
    qel_printf(" (rooted using ");
    switch (rooting.rootMethod) {
    case kRootLundberg:
        qel_printf("Lundberg method, AncStates = %s", ancStatesName());
        break;
    case kRootMidpoint:
        qel_printf("midpoint method");
        break;
    default:
        qel_printf("%s", userOutgroupDefined(data) ? "user-specified outgroup" : "default outgroup");
        break;
    }
    qel_printf(")\n");
}

int doShowTreesCmd()
{
    DataInfo *d = activeDataInfo();
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t inMemory = numTreesInBuffer(buf);
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    SetHandle listSet(allocSet(inMemory));
    if (!listSet || getTreeList(listSet.get(), true, false) != 0)
        return 1;
    const int got = getCmdParams(OptionSet::kShowTrees, ";", nullptr);
    if (got <= 0)
        return got < 0 ? 0 : 1;
    const bool rooted = areTreesRooted(buf);
    if (!rooted && rooting.rootMethod == kRootMidpoint && treeDraw.userBrLens && !haveUserBranchLengths()) {
        qel_errorMsg(742, "No user-input branch lengths are available for midpoint rooting.");
        return 1;
    }
    if (!rooted && checkRootingOption(d, false, treeDraw.userBrLens != 0, true, false) != 0)
        return 1;
    ShowTreesRun run{d, listedTrees(listSet.get(), inMemory), treeDraw.userBrLens && haveUserBranchLengths(),
                     !rooted && rooting.rootMethod == kRootOutgroup};
    return runOutputThread(showTreesOutputProc, &run);
}

int doTreeInfoCmd()
{
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t n = numTreesInBuffer(buf);
    if (n == 0) {
        qel_printf("\nThere are no trees in memory\n");
        return 0;
    }
    qel_printf("\n%u %s %s in memory\n", n, areTreesRooted(buf) ? "rooted" : "unrooted", n == 1 ? "tree" : "trees");
    uint32_t hidden = 0;
    if (isTreeFilterActive()) {
        for (uint32_t k = 0; k < n; k++)
            hidden += !isTreeVisible(k);
        qel_printf("%u trees hidden by filter\n", hidden);
    } else {
        qel_printf("No tree filter in effect\n");
    }
    static constexpr const char *kSources[] = {
        "user defined",        "heuristic search", "branch-and-bound search", "exhaustive search",
        "neighbor joining",    "UPGMA",            "input from treefile",     "random",
        "all possible",        "quartet puzzling", "star decomposition",
    };
    // getTreeSource gives the kind alone; the consensus flags sit above it.
    const uint32_t kind = getTreeSource() & kTreeSourceMask;
    const char *name = kind < std::size(kSources) ? kSources[kind] : "";
    qel_printf("Source of trees: ");
    if (isTreeSourceFlagSet(kTreeSourceBootstrap | kTreeSourceJackknife))
        qel_printf("%s consensus (%s)", isTreeSourceFlagSet(kTreeSourceBootstrap) ? "bootstrap" : "jackknife", name);
    else
        qel_printf("%s", name);
    qel_printf("\n");
    return 0;
}
