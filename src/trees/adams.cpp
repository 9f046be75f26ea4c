// Adams consensus: the set of all taxa is split recursively; at each level a
// set S is partitioned by intersecting, over all trees, the clusters into
// which each tree's most recent common ancestor of S divides it.

#include <memory>
#include <vector>

#include "data/vorn_data.h"
#include "qel/qel_interrupts.h"
#include "trees/contree.h"
#include "trees/roottree.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"

namespace {

constexpr int32_t kNone = -1;

// One node of a tree's compact table: links by record number, and the
// cluster of an internal node as an index into the shared table (equal
// clusters of different trees share one stored vector).
struct AdamsNode {
    int32_t firstChild;
    int32_t nextSib;
    uint32_t cluster;  // kNoSplit for a tip
    int32_t taxon;     // tips only
};

struct AdamsRun {
    SplitsTable *clusters;
    std::vector<std::vector<AdamsNode>> trees;  // record 0 is each tree's top node
    SplitsList *out;
    uint32_t words;
    std::vector<int32_t> mrca;  // per tree, for the set in hand
};

bool holds(const uint64_t *set, uint32_t taxon) { return set[taxon / 64] >> (taxon % 64) & 1; }

// The deepest internal node whose cluster holds S (children's clusters are
// disjoint, so at most one child can hold it).
int32_t findMRCAforAdams(const AdamsRun &run, const std::vector<AdamsNode> &nodes, const uint64_t *s)
{
    int32_t at = 0;
    for (;;) {
        int32_t next = kNone;
        for (int32_t c = nodes[at].firstChild; c != kNone; c = nodes[c].nextSib)
            if (nodes[c].cluster != kNoSplit &&
                isSubsetSplit(s, getSplitFromTable(run.clusters, nodes[c].cluster), run.words)) {
                next = c;
                break;
            }
        if (next == kNone)
            return at;
        at = next;
    }
}

int getAdamsConsensus(AdamsRun &run, std::vector<uint64_t> set)
{
    if (getAbortedStatus())
        return 2;
    const uint32_t words = run.words;
    const uint32_t ntrees = static_cast<uint32_t>(run.trees.size());
    std::vector<int32_t> mrca(ntrees);
    for (uint32_t t = 0; t < ntrees; t++)
        mrca[t] = findMRCAforAdams(run, run.trees[t], set.data());
    std::vector<uint64_t> covered(words, 0), candidate(words);
    std::vector<std::vector<uint64_t>> blocks;
    for (uint32_t w = 0; w < words; w++)
        for (uint64_t bits = set[w] & ~covered[w]; bits; bits &= bits - 1) {
            const uint32_t i = w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
            if (holds(covered.data(), i))
                continue;
            bool singleton = false;
            for (uint32_t t = 0; t < ntrees && !singleton; t++) {
                const std::vector<AdamsNode> &nodes = run.trees[t];
                int32_t child = kNone;
                for (int32_t c = nodes[mrca[t]].firstChild; c != kNone; c = nodes[c].nextSib)
                    if (nodes[c].cluster != kNoSplit &&
                        holds(getSplitFromTable(run.clusters, nodes[c].cluster), i)) {
                        child = c;
                        break;
                    }
                if (child == kNone) {
                    singleton = true;
                    break;
                }
                const uint64_t *cluster = getSplitFromTable(run.clusters, nodes[child].cluster);
                uint32_t size = 0;
                for (uint32_t k = 0; k < words; k++) {
                    candidate[k] = (t == 0 ? cluster[k] & set[k] : candidate[k] & cluster[k]);
                    size += static_cast<uint32_t>(__builtin_popcountll(candidate[k]));
                }
                singleton = size < 2;
            }
            if (singleton)
                continue;
            if (appendSplitToList(run.out, candidate.data()) != 0)
                return 1;
            for (uint32_t k = 0; k < words; k++)
                covered[k] |= candidate[k];
            if (splitSize(candidate.data(), words) > 2)
                blocks.push_back(candidate);
            // The bits of this word already covered are skipped by the test above.
        }
    for (auto &b : blocks)
        if (int rc = getAdamsConsensus(run, std::move(b)); rc != 0)
            return rc;
    return 0;
}

}  // namespace

int adamsConsensus(DataInfo *data, TreeBuffer *buf, const std::vector<uint32_t> &trees, Tree *work,
                   SplitsList *out)
{
    gCouldNotRootMonophyletic = 0;
    const uint32_t ntax = buf->ntax;
    std::unique_ptr<SplitsTable, decltype(&destroySplitsTable)> clusters(
        createSplitsTable(ntax, ntax * 2, 0), destroySplitsTable);
    if (!clusters)
        return 1;
    AdamsRun run{clusters.get(), {}, out, splitWords(ntax), {}};
    const bool rooted = areTreesRooted(buf);
    const bool userLengths = rooting.userBrLens || (treeDataHooks().mustUseUserBranchLens &&
                                                    treeDataHooks().mustUseUserBranchLens());
    try {
        run.trees.reserve(trees.size());
        for (uint32_t number : trees) {
            if (getAbortedStatus())
                return 2;
            if (getTree(buf, number, work) != 0)
                return 1;
            if (!rooted)
                if (int rc = rootTree(work, data, number, false, false, userLengths); rc != 0)
                    return rc;
            makeAllLeafSets(work);
            setTraversalSeq(work);
            TreeNode *top = work->root;
            if (top->firstChild && !top->firstChild->nextSib)
                top = top->firstChild;
            std::vector<AdamsNode> &nodes = run.trees.emplace_back();
            std::vector<int32_t> recordOf(work->maxNodes, kNone);
            for (TreeNode *n = top; n; n = nextPreorderNode(n, top)) {
                const int32_t r = static_cast<int32_t>(nodes.size());
                recordOf[nodePosition(work, n)] = r;
                AdamsNode rec{kNone, kNone, kNoSplit, n->index};
                if (n->firstChild) {
                    if (!updateTableWithSplit(run.clusters, n->leafSet, number, true, 1.0))
                        return 1;
                    rec.cluster = findMatchingSplit(run.clusters, n->leafSet, nullptr);
                }
                nodes.push_back(rec);
                if (n != top) {
                    AdamsNode &parent = nodes[recordOf[nodePosition(work, n->anc)]];
                    if (parent.firstChild == kNone) {
                        parent.firstChild = r;
                    } else {
                        int32_t c = parent.firstChild;
                        while (nodes[c].nextSib != kNone)
                            c = nodes[c].nextSib;
                        nodes[c].nextSib = r;
                    }
                }
            }
        }
    } catch (const std::bad_alloc &) {
        return 1;
    }
    clearSplitsList(out);
    std::vector<uint64_t> all(run.words, 0);
    const uint32_t active = data && data->nActive > 0 ? static_cast<uint32_t>(data->nActive) : ntax;
    for (uint32_t t = 0; t < active; t++)
        all[t / 64] |= uint64_t{1} << (t % 64);
    // The set of all taxa is the tree's basal fork: it is not listed.
    return getAdamsConsensus(run, std::move(all));
}
