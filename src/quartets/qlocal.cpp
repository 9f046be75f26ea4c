#include "quartets/qlocal.h"

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

int prepNodeSupports(QuartetData *qd, Tree *tree, bool upward);

// Incompatible weight from the downward per-node supports, made afresh for
// the tree (the score needs only the basal fork's).
double scoreFromNodeSupports(Tree *tree)
{
    QuartetData *qd = gLocalQd;
    if (!qd || prepNodeSupports(qd, tree, false) != 0)
        return 1e37;
    const TreeNode *fork = getFirstFork(tree);
    return calcQwtIncompat(qd->table, qd->support[3 * nodePosition(tree, fork)].sum);
}

int prepNodeSupports(QuartetData *qd, Tree *tree, bool upward)
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
    auto rest = [&](const TreeNode *p) { return qd->restSets.data() + uint64_t{nodePosition(tree, p)} * qd->restWords; };
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
    if (!upward)
        return 0;
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

}  // namespace

int prepForLocalQuartetSearch(QuartetData *qd, Tree *tree) { return prepNodeSupports(qd, tree, true); }

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
    destroyHSearchData(hsd);
    deallocLocalQuartetStorage(qd);
    finishSearch(0);
    afterTreeChange(tree);
    setTraversalSeq(tree);
    return status;
}

int installQuartetSearchScore() { return installQuartetSearchFxns(QuartetSearchFxns{scoreFromNodeSupports}); }
