#include "quartets/qlocal.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/vorn_data.h"
#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "quartets/qsearch.h"
#include "quartets/quartets.h"
#include "search/hitlist.h"
#include "search/hsprep.h"
#include "search/quartetswap.h"
#include "search/tbr.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

// The quartet data of the local search that is running (one at a time: the
// search runs on the command's thread and nothing else meanwhile).
QuartetData *gLocalQd = nullptr;

void randomPairOf(void *state, uint32_t n, uint32_t *a, uint32_t *b)
{
    randomPair(static_cast<RNG *>(state), n, a, b);
}

// The support a node adds (the topologies resolved at it) depends only on
// its two child clusters, the rest of the tree being all other taxa. A
// rearrangement changes the clusters of the few nodes on its path, so the
// local search keeps every node's support by its clusters and works out
// only those it has not met.
struct NodeSupportCache {
    uint32_t words = 0;
    std::unordered_map<std::string, double> bySets;
    std::string key;
    std::vector<uint64_t> rest;

    double support(QuartetData *qd, const uint64_t *a, const uint64_t *b, const uint64_t *included)
    {
        const size_t bytes = words * sizeof(uint64_t);
        const bool aFirst = std::memcmp(a, b, bytes) < 0;
        key.assign(reinterpret_cast<const char *>(aFirst ? a : b), bytes);
        key.append(reinterpret_cast<const char *>(aFirst ? b : a), bytes);
        if (auto it = bySets.find(key); it != bySets.end())
            return it->second;
        rest.resize(words);
        for (uint32_t w = 0; w < words; w++)
            rest[w] = included[w] & ~(a[w] | b[w]);
        const double s = updateQuartetSupport(qd, a, b, rest.data());
        // A long search meets many clusters; past this the memory is better
        // spent afresh.
        if (bySets.size() > (1u << 20))
            bySets.clear();
        bySets.emplace(key, s);
        return s;
    }
};
NodeSupportCache gCache;

// Incompatible weight of the tree from the supports of its nodes.
double scoreFromNodeSupports(Tree *tree)
{
    QuartetData *qd = gLocalQd;
    if (!qd)
        return 1e37;
    checkTraversalSeq(tree);
    checkLeafSets(tree);
    checkIncludedLeaves(tree);
    gCache.words = tree->wordsPerLeafSet;
    const uint64_t *included = tree->includedTaxa->words;
    double support = 0.0;
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        const TreeNode *c1 = p->firstChild;
        if (!c1 || !c1->nextSib || (!c1->firstChild && !c1->nextSib->firstChild))
            continue;
        support += gCache.support(qd, c1->leafSet, c1->nextSib->leafSet, included);
    }
    return calcQwtIncompat(qd->table, support);
}

}  // namespace

int prepForLocalQuartetSearch(QuartetData *qd, Tree *tree)
{
    const uint32_t words = tree->wordsPerLeafSet;
    if (qd->support.size() < 3 * uint64_t{tree->maxNodes} || qd->restWords < words)
        return 1;
    checkTraversalSeq(tree);
    checkLeafSets(tree);
    setIncludedLeaves(tree);
    const uint64_t *included = tree->includedTaxa->words;
    TreeNode *fork = getFirstFork(tree);
    auto rec = [&](const TreeNode *p, uint32_t k) -> QuartetSupportRec & {
        return qd->support[3 * uint64_t{nodePosition(tree, p)} + k];
    };
    auto rest = [&](const TreeNode *p) {
        return qd->restSets.data() + uint64_t{nodePosition(tree, p)} * qd->restWords;
    };
    for (TreeNode *p = tree->root; p; p = p->next) {
        QuartetSupportRec &own = rec(p, 0), &other = rec(p, 1), &spare = rec(p, 2);
        own = {0.0, 0.0, p->leafSet};
        // The rest of the tree; seen from the basal fork, the root tip.
        bitVecSubtract(included, p->leafSet, rest(p), words);
        other = {0.0, 0.0, rest(p)};
        spare = {0.0, 0.0, nullptr};
    }
    // Downward supports, children before parents.
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        const TreeNode *c1 = p->firstChild;
        if (!c1 || !c1->nextSib)
            continue;
        const TreeNode *c2 = c1->nextSib;
        double sum = rec(c1, 0).sum + rec(c2, 0).sum;
        if (c1->firstChild || c2->firstChild)
            sum += updateQuartetSupport(qd, c1->leafSet, c2->leafSet, rest(p));
        rec(p, 0).sum = rec(p, 0).saved = sum;
    }
    tree->flags |= kTreeLeafSetsValid;
    // Upward supports, parents before children, below the basal fork.
    for (TreeNode *p = fork->firstChild; p; p = p->next) {
        TreeNode *parent = p->anc;
        const TreeNode *sib = parent->firstChild == p ? p->nextSib : parent->firstChild;
        if (!sib)
            continue;
        const double sum =
            rec(sib, 0).sum + rec(parent, 1).sum + updateQuartetSupport(qd, sib->leafSet, rest(parent), p->leafSet);
        rec(p, 1).sum = rec(p, 1).saved = sum;
    }
    return 0;
}


double calcQScoreForLocalSearch(Tree *tree)
{
    QuartetData *qd = gLocalQd;
    if (!qd)
        return 1e37;
    return calcQwtIncompat(qd->table, calcQuartetSupport(qd, tree, false));
}

int localQuartetSearch(QuartetData *qd, Tree *tree, DataInfo *d, uint32_t kind, uint32_t reconLimit, bool slow,
                       double *incompat)
{
    HSearchData *hsd = createHSearchData(d, tree->ntax, SaveRules{}, false);
    if (!hsd)
        return 1;
    if (allocLocalQuartetStorage(qd, tree->maxNodes, tree->wordsPerLeafSet) != 0) {
        destroyHSearchData(hsd);
        return 1;
    }
    gLocalQd = qd;
    setIncludedLeaves(tree);
    if (!determineIfTreeIsBinary(tree)) {
        RNG rng{};
        initRNG(&rng, makeSeed1(1));
        dichotomizeTree(tree, randomPairOf, &rng);
        afterTreeChange(tree);
        setTraversalSeq(tree);
        determineIfTreeIsBinary(tree);
    }
    int status = prepForLocalQuartetSearch(qd, tree);
    if (status == 0) {
        setSearchVariables(kSearchModeQuartet, d);
        *incompat = calcQwtIncompat(qd->table, calcQuartetSupport(qd, tree, false));
        setQuartetTreeScoreFxn(slow ? calcQScoreForLocalSearch : nullptr);
        status = localSearchFromOneTreeViaTBR(tree, hsd, static_cast<int>(kind), reconLimit, incompat);
        setQuartetTreeScoreFxn(nullptr);
    }
    gLocalQd = nullptr;
    gCache.bySets.clear();
    destroyHSearchData(hsd);
    deallocLocalQuartetStorage(qd);
    finishSearch(0);
    afterTreeChange(tree);
    setTraversalSeq(tree);
    return status;
}

int installQuartetSearchScore() { return installQuartetSearchFxns(QuartetSearchFxns{scoreFromNodeSupports}); }
