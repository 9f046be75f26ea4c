#include "distance/stardecomp.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "distance/distance_settings.h"
#include "parsimony/packx.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_time.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kStarDecompSearchType = 6;  // "star-decomposition"

struct StarRun {
    DataInfo *d = nullptr;
    ProgData *progress = nullptr;
    bool rooted = false;
};
StarRun gRun;

// The subtrees around the centre: the centre's children, by position.
std::vector<uint32_t> childPositions(const Tree *t, const TreeNode *hub)
{
    std::vector<uint32_t> out;
    for (const TreeNode *c = hub->firstChild; c; c = c->nextSib)
        out.push_back(nodePosition(t, c));
    return out;
}

// Joins child position a with subtree b: b = 0 is the centre's own edge
// (the part towards the root), b >= 1 the b-th child.
int join(Tree *t, uint32_t hubPos, const std::vector<uint32_t> &children, uint32_t a, uint32_t b)
{
    TreeNode *hub = t->nodes + hubPos;
    TreeNode *sub = t->nodes + children[a - 1];
    TreeNode *target = b == 0 ? hub : t->nodes + children[b - 1];
    pruneSubtree(sub, false);
    const int rc = graftSubtreeToEdge(t, sub, target, findFreeNode(t));
    setTraversalSeq(t);
    return rc;
}

double scoreTree(Tree *t, DataInfo *d)
{
    if (gCriterion == kCriterionParsimony)
        pointTreeAtPackedData(t, d);
    return computeTreeScore(t, d);
}

}  // namespace

int starDecompThreadProc(void *arg)
{
    auto *progress = static_cast<ProgData *>(arg);
    DataInfo *d = gRun.d;
    const bool rooted = gRun.rooted;
    const uint32_t n = numSearchTaxa(d);
    TimeMark start{}, stop{};
    setTimeMark(&start);
    TreeHandle tree(createSearchTree(d)), work(createSearchTree(d));
    if (!tree || !work)
        return 1;
    if (makeStarTree(tree.get(), n, rooted, 0, nullptr) != 0)
        return 1;
    setTraversalSeq(tree.get());
    const uint32_t hubPos = nodePosition(tree.get(), tree->root->firstChild);
    RNG rng{};
    const bool random = starDcmp.breakTies == kBreakTiesRandom || gSearchState.replicatedKind != 0;
    initRNG(&rng, makeSeed(starDcmp.tieSeed[0], starDcmp.tieSeed[1], starDcmp.tieSeed[2], starDcmp.tieSeed[3]));
    bool ties = false;
    double best = kNoScoreValue;
    uint32_t m = n + (rooted ? 1u : 0u);
    while (m > 3) {
        copyTree(tree.get(), work.get());
        const std::vector<uint32_t> children = childPositions(tree.get(), tree->nodes + hubPos);
        uint32_t bestA = 0, bestB = 0, tieCount = 0;
        best = kNoScoreValue;
        for (uint32_t a = 1; a < m; a++)
            for (uint32_t b = 0; b < (m == 4 ? 1u : a); b++) {
                copyTree(work.get(), tree.get());
                if (join(tree.get(), hubPos, children, a, b) != 0)
                    return 1;
                if (m == 4)
                    tree->flags |= kTreeBinary;
                const double s = scoreTree(tree.get(), d);
                if (incrementProgressValue(progress) == kProgressAborted || getAbortedStatus()) {
                    if (confirmAbortRequest())
                        return 2;
                }
                const int cmp = compareScores(s, best);
                if (cmp < 0) {
                    best = s, bestA = a, bestB = b, tieCount = 1;
                } else if (cmp == 0) {
                    tieCount++;
                    if (random && shouldSwapTie(&rng, tieCount))
                        bestA = a, bestB = b;
                }
            }
        if (tieCount > 1)
            ties = true;
        copyTree(work.get(), tree.get());
        if (bestA == 0 || join(tree.get(), hubPos, children, bestA, bestB) != 0)
            return 1;
        m--;
    }
    if (best == kNoScoreValue)  // nothing to resolve: the star itself
        best = scoreTree(tree.get(), d);
    tree->flags = rooted ? (tree->flags | kTreeRootedAtAnc) : ((tree->flags & ~kTreeRootedAtAnc) | kTreeBinary);
    TreeBuffer *buf = getActiveTreeBuffer();
    if (!getTreeScoreArray(buf))
        if (double *scores = allocArrayOf<double>(getTreeBufferCapacity(buf)))
            setTreeScoreArray(buf, scores);
    setRootededness(buf, rooted);
    const uint32_t k = putTree(tree.get(), buf, false);
    if (isPutTreeFull(k) || k == kPutTreeDuplicate)
        return 1;
    if (double *scores = getTreeScoreArray(buf))
        scores[k - 1] = best;
    setTreesAreSaved(false);
    qel_printf("Tree found by star-decomposition search stored in tree buffer\n");
    qel_printf("Tree score = %s\n", treeScoreToString(0, best).c_str());
    if (ties)
        qel_printf(gSearchState.replicatedKind != 0
                       ? "Note: \bTies were encountered in one or more replicates\n"
                       : "Note: \bTies were encountered; star-decomposition tree may not be unique\n");
    setTimeMark(&stop);
    showTimeUsed(&start, &stop, 0, "");
    notificationSound();
    return 0;
}

int doStarDecompCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (checkMinTaxa(d, 2, nullptr, nullptr) != 0)
        return 1;
    if (numSearchTaxa(d) > kMaxStarDecompTaxa)
        return qel_errorMsg(555, "Limit of %d taxa exceeded for star decomposition.",
                            static_cast<int>(kMaxStarDecompTaxa)),
               1;
    if (getCmdParams(OptionSet::kStarDecomp, ";", nullptr) <= 0)
        return 1;
    if (!getActiveTreeBuffer())
        return 1;
    if (prepForSearch(d, kSearchNoMinTaxa | kSearchNoConstraints) != 0)
        return finishSearch(1);
    if (!verifyReplaceTrees())
        return finishSearch(1);
    // A filter over the trees being replaced would hide the new ones.
    deleteTreeSets(true);
    emptyTreeBuffer(getActiveTreeBuffer(), true);
    setTreeSource(10);
    setSearchVariables(kSearchModeCluster, d);
    gRun = StarRun{d, nullptr, isRootedSearch(d)};
    showSearchSettingsHeader(kStarDecompSearchType);
    showCriterionSettings(d);
    showSearchTailSettings(d, gRun.rooted);
    const double n = numSearchTaxa(d);
    const double steps = std::round((n + 1) * n * (n - 1) / 6.0 - 7.0);
    ProgData *progress =
        createProgressWindow(static_cast<uint32_t>(std::max(steps, 1.0)), 0, "Star-decomposition search");
    const int status = runSecondaryThread(starDecompThreadProc, progress);
    destroyProgressWindow(progress);
    if (status == 2) {
        qel_printf("\nStar-decomposition search aborted\n");
        setAbortedStatus(0);
    }
    clearStatusText();
    finishSearch(0);
    return status;
}
