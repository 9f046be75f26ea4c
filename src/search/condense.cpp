#include "search/condense.h"
#include "search/critscore.h"
#include "search/swap.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "data/data_util.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "parsimony/dollo_search.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "parsimony/stmx.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_threadscratch.h"
#include "search/constrsearch.h"
#include "search/search.h"
#include "search/hitlist.h"
#include "search/hsprep.h"
#include "search/search_settings.h"
#include "cli/qel_cmdoptions.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {


// Set records of the tree being tested, apart from the packed data's own so
// that testing a copy never disturbs the sets of the tree it was copied from
// (the search stores trees while it swaps on another). Grown once per size.
struct CollapseSets {
    std::vector<uint64_t> ord, uno;
    std::vector<int64_t> stm;
    std::vector<uint64_t> dollo;
    std::vector<ParsNodeSets> recs;  // down, up, final: 3 x nodes
};
thread_local ThreadScratch<CollapseSets> gSets;

ParsNodeSets *down(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *up(const TreeNode *n) { return nodeSets(n->abm[1]); }
ParsNodeSets *fin(const TreeNode *n) { return nodeSets(n->abm[2]); }

bool isBinaryNode(const TreeNode *n)
{
    return n->firstChild && n->firstChild->nextSib && !n->firstChild->nextSib->nextSib;
}

TreeNode *siblingOf(const TreeNode *n)
{
    TreeNode *f = n->anc->firstChild;
    return f == n ? n->nextSib : f;
}

// Points the tree's slots at this unit's records, with the observed sets of
// the tips (and the ancestor) copied in. False when there is nothing to test.
bool pointTreeAtCollapseSets(Tree *tree, const DataInfo *d)
{
    const PackedData *pd = packedData(d);
    if (!pd || !pd->nodeRecs || !tree->slots || !tree->root || tree->maxNodes > pd->nodeCount)
        return false;
    const uint64_t n = tree->maxNodes;
    const uint64_t ordLanes = uint64_t{4} * pd->ordWords, unoLanes = uint64_t{2} * pd->unoWords;
    CollapseSets &s = *gSets;
    s.ord.resize(3 * n * ordLanes);
    s.uno.resize(3 * n * unoLanes);
    const uint64_t stmLen = pd->stmSets ? pd->stmStride : 0;
    s.stm.resize(3 * n * stmLen);
    const uint64_t dolLen = dolRecordWords(d);
    s.dollo.resize(3 * n * dolLen);
    s.recs.assign(3 * n, ParsNodeSets{});
    for (uint64_t k = 0; k < 3; k++)
        for (uint64_t p = 0; p < n; p++) {
            ParsNodeSets &r = s.recs[k * n + p];
            r.ord = ordLanes ? s.ord.data() + (k * n + p) * ordLanes : nullptr;
            r.uno = unoLanes ? s.uno.data() + (k * n + p) * unoLanes : nullptr;
            r.stm = stmLen ? s.stm.data() + (k * n + p) * stmLen : nullptr;
            r.dollo = dolLen ? s.dollo.data() + (k * n + p) * dolLen : nullptr;
            StateSetSlot *slot = tree->slots + 3 * p + k;
            slot->states = &r;
            tree->nodes[p].abm[k] = slot;
        }
    tree->displacedSlot = nullptr;
    const uint64_t observed = std::min<uint64_t>(uint64_t{tree->tipBound} + 1, n);
    for (uint64_t p = 0; p < observed; p++) {
        const ParsNodeSets *from = pd->nodeRecs + p;
        std::copy_n(from->ord, ordLanes, s.recs[p].ord);
        std::copy_n(from->uno, unoLanes, s.recs[p].uno);
        std::copy_n(from->stm, stmLen, s.recs[p].stm);
        std::copy_n(from->dollo, dolLen, s.recs[p].dollo);
    }
    return true;
}

// Down sets in postorder, then the up sets and the forks' MPR sets in
// preorder; nothing is counted, so no step counts or lengths of the packed
// data change.
void computeCollapseSets(Tree *tree, const DataInfo *d)
{
    checkTraversalSeq(tree);
    for (TreeNode *n = tree->tail; n; n = n->prev) {
        if (!n->firstChild)
            continue;
        if (isBinaryNode(n))
            revSetBin(d, down(n->firstChild), down(n->firstChild->nextSib), false, false, down(n), nullptr);
        else
            revSet(d, n, n->anc, false, false, down(n), nullptr);
    }
    TreeNode *basal = tree->root->firstChild;
    const PackedData *pd = packedData(d);
    std::copy_n(down(tree->root)->ord, 4 * pd->ordWords, up(basal)->ord);
    std::copy_n(down(tree->root)->uno, 2 * pd->unoWords, up(basal)->uno);
    if (pd->stmSets)
        std::copy_n(down(tree->root)->stm, pd->stmStride, up(basal)->stm);
    copyDolSets(d, down(tree->root), up(basal));
    for (TreeNode *n = basal; n; n = n->next) {
        if (n != basal) {
            if (isBinaryNode(n->anc))
                revSetBin(d, down(siblingOf(n)), up(n->anc), false, false, up(n), nullptr);
            else
                revSet(d, n->anc, n, false, false, up(n), nullptr);
        }
        // The MPR set of a fork is taken from all its neighbours at once
        // (the states most of them hold); joining its down set with its up
        // set would lose that count and give too wide a set.
        if (n->firstChild)
            revSet(d, n, nullptr, false, false, fin(n), nullptr);
    }
}

// True when the summed weight of the flagged characters is positive; the
// ordered masks flag subcharacter bits, the unordered ones a field's low bit.
bool weightedStepsPositive(const ClassWeights &wc, bool weighted, uint32_t word, uint64_t lo, uint64_t hi)
{
    if (!(lo | hi))
        return false;
    if (!weighted)
        return true;
    double len = 0.0;
    addWtdSteps(wc, word, &len, lo, hi, kNoScore, 0.0);
    return len > 0.0;
}

// Some included character must change (minBrlen: the sets are disjoint) or
// may differ (ambEqual) between the MPR sets a and b.
bool mprSetsSupportEdge(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, CollapseRule rule)
{
    const PackedData *pd = packedData(d);
    const uint32_t lanes = 2 * pd->ordWords;
    for (uint32_t w = 0; w < pd->ordWords; w++) {
        uint64_t m[2];
        for (uint32_t h = 0; h < 2; h++) {
            const uint32_t l = 2 * w + h;
            m[h] = setStepsForCollapse(a->ord[l], a->ord[lanes + l], b->ord[l], b->ord[lanes + l], rule) &
                   pd->ordCountMask[l];
        }
        if (weightedStepsPositive(pd->ordWts, pd->ordWeighted, w, m[0], m[1]))
            return true;
    }
    for (uint32_t w = 0; w < pd->unoWords; w++) {
        const UnoWidthParams &p = unoParams(pd->unoWidth[w]);
        uint64_t m[2];
        for (uint32_t h = 0; h < 2; h++) {
            const uint32_t l = 2 * w + h;
            uint64_t x;
            if (rule == CollapseRule::kAmbEqual) {
                // Fields in which the two sets differ anywhere.
                const uint64_t differ = (a->uno[l] ^ b->uno[l]) & (pd->unoCountMask[l] * p.spread);
                x = ((differ & p.notTop) + p.notTop) | differ;
            } else {
                // Fields whose intersection is empty.
                const uint64_t both = a->uno[l] & b->uno[l];
                x = ~(((both & p.notTop) + p.notTop) | both);
            }
            m[h] = (x >> p.shift) & pd->unoCountMask[l];
        }
        if (weightedStepsPositive(pd->unoWts, pd->unoWeighted, w, m[0], m[1]))
            return true;
    }
    // The cost-vector characters (Dollo, irreversible, stepmatrix) by their
    // MPR states, one character at a time, and those the steps score.
    auto differ = [rule](const StmIndexSet &sa, const StmIndexSet &sb) {
        return rule == CollapseRule::kAmbEqual ? !(sa == sb) : (sa & sb).none();
    };
    // A character whose nodes hold pairs of states is compared by its pairs:
    // a node derived both ways and one that is either shows the same states.
    auto states = [d](const ParsNodeSets *r, uint32_t c) {
        return stmHoldsPairs(d, c) ? stmRecordIndices(d, r, c) : StmIndexSet::ofWord(stmStateSet(d, r, c));
    };
    if (a->stm && b->stm)
        for (const StmLane &L : pd->stmLanes)
            if (L.weight > 0 && differ(states(a, L.c), states(b, L.c)))
                return true;
    if (dolSearchActive(d) && a->dollo && b->dollo)
        for (uint32_t c = 0; c < d->nchar; c++)
            if (dolScoresChar(d, c) && pd->slots[c].weight > 0 &&
                differ(StmIndexSet::ofWord(dolStateSet(d, a, c)), StmIndexSet::ofWord(dolStateSet(d, b, c))))
                return true;
    return false;
}

// Under likelihood or distance the fitted lengths decide: an edge is kept
// when it is longer than the engine's least length (likelihood) or when its
// length is not 0 (distance, where a negative length is a length too). A
// distance fit gives an edge that is 0 in exact arithmetic as rounding noise
// of about 1e-16; the smallest length anyone means, 1e-12, is kept.
void keepFittedEdges(Tree *tree, const std::vector<uint8_t> &required)
{
    constexpr double kFitNoise = 1e-13;
    const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
    const bool likelihood = gCriterion == kCriterionLikelihood;
    const bool least = f && f->zeroBranchLength;
    const double zero = least ? f->zeroBranchLength() : kFitNoise;
    TreeNode *basal = tree->root->firstChild;
    for (TreeNode *n = basal->next; n; n = n->next) {
        if (!n->firstChild)
            continue;
        const double len = n->edge.brlen;
        bool keep = least ? len > zero : std::fabs(len) > zero;
        // A likelihood edge of no length is no group, constrained or not.
        if (!likelihood && !required.empty() && required[nodePosition(tree, n)])
            keep = true;
        if (keep)
            n->flag |= kNodeKeepEdge;
    }
}

}  // namespace

bool checkCollapse(Tree *tree, const DataInfo *data, bool useConstraints, CollapseRule rule)
{
    if (tree->root)
        checkTraversalSeq(tree);
    clearKeepFlags(tree);
    // An edge the enforced constraint needs stays, whatever the characters
    // say: collapsing it would give a tree the constraint forbids.
    const std::vector<uint8_t> required = useConstraints ? constraintRequiredEdges(tree) : std::vector<uint8_t>{};
    if (!parsCriterionActive() && tree->root && tree->root->firstChild) {
        keepFittedEdges(tree, required);
        return true;
    }
    // Inside a search the steps judge the characters they score.
    if (rule == CollapseRule::kNo || !pointTreeAtCollapseSets(tree, data) || !tree->root->firstChild) {
        for (uint32_t p = 0; p < tree->maxNodes; p++)
            tree->nodes[p].flag |= kNodeKeepEdge;
        return false;
    }
    if (data->parsFxns)
        computeCollapseSets(tree, data);
    TreeNode *basal = tree->root->firstChild;
    for (TreeNode *n = basal->next; n; n = n->next) {
        if (!n->firstChild)
            continue;
        bool keep = !required.empty() && required[nodePosition(tree, n)];
        if (!keep && !data->parsFxns)
            continue;
        if (!keep && rule == CollapseRule::kMaxBrlen)
            keep = revBranchLenPositive(data, down(n), up(n));
        else if (!keep)
            keep = mprSetsSupportEdge(data, fin(n), fin(n->anc), rule);
        if (keep)
            n->flag |= kNodeKeepEdge;
    }
    return true;
}

bool collapseUnsupportedEdges(Tree *tree, const DataInfo *data, bool useConstraints, CollapseRule rule,
                              bool computeScore)
{
    // No rule, no collapsing: a search outside parsimony passes none (it
    // collapses by its criterion's own record, when asked to).
    const bool pars = parsCriterionActive();
    if (rule == CollapseRule::kNo)
        return false;
    if (!pars) {
        // The lengths tested are those of the criterion's fit of this tree.
        const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
        if (!f)
            return false;
        if (computeScore && (f->scoreWithLengths ? f->scoreWithLengths : f->score)(tree, kNoScore) >= kNoScore)
            return false;
    }
    checkTraversalSeq(tree);
    if (!checkCollapse(tree, data, useConstraints, pars ? rule : CollapseRule::kNo)) {
        clearKeepFlags(tree);
        return false;
    }
    return contractUnkeptEdges(tree) > 0;
}

CollapseRule searchCollapseRule()
{
    return parsCriterionActive() ? collapseRuleFromIndex(gPars.collapse) : CollapseRule::kNo;
}

void collapseForSearch(HSearchData *hsd, Tree *tree)
{
    const CriterionSearchFxns *f = criterionCollapseFxns(gCriterion);
    auto collapse = [&] {
        if (f)
            f->collapse(tree);
        else
            collapseUnsupportedEdges(tree, hsd->data, true, searchCollapseRule());
    };
    // Collapsing can merge away a constrained group (a fitted length judges
    // a required edge like any other); a tree whose collapsed form breaks
    // the enforced constraint is kept binary instead.
    if (!positiveConstraintsActive()) {
        collapse();
        return;
    }
    thread_local ThreadScratch<TreeHandle> binaryScratch;
    TreeHandle &binary = *binaryScratch;
    if (!binary || binary->maxNodes != tree->maxNodes)
        binary.reset(createTreeForTaxa(tree->ntax, tree->activeTaxa, false));
    const bool saved = binary && copyTree(tree, binary.get()) == 0;
    collapse();
    if (saved && !searchTreeAllowed(tree))
        copyTree(binary.get(), tree);
}

bool searchCollapses()
{
    return searchCollapseRule() != CollapseRule::kNo || criterionCollapseFxns(gCriterion) != nullptr;
}

const char *searchCollapseDescription()
{
    const CriterionSearchFxns *f = criterionCollapseFxns(gCriterion);
    return f ? f->collapseDescription : collapseRuleDescription(searchCollapseRule());
}

const char *collapseRuleDescription(CollapseRule rule)
{
    switch (rule) {
    case CollapseRule::kMaxBrlen: return "maximum branch length is zero";
    case CollapseRule::kMinBrlen: return "minimum branch length is zero";
    case CollapseRule::kAmbEqual: return "MPR-sets of incident nodes are identical for all characters (\"amb=\")";
    default: return "";
    }
}

// ---------------------------------------------------------------------------
// The Condense command

namespace {

struct CondenseRun {
    DataInfo *data;
    TreeBuffer *main;
    TreeBuffer *original;  // the trees as they were, read back one by one
    CollapseRule rule;     // kNo: duplicates only
    bool delDupes;
};

// Stores one condensed tree with the name, weight and (when no edge can have
// gone) branch lengths of original slot k; a duplicate adds its weight to the
// tree it matches. 1 on failure.
int storeCondensed(const CondenseRun &run, Tree *tree, uint32_t k)
{
    const uint32_t r = putTree(tree, run.main, run.delDupes);
    if (isPutTreeFull(r))
        return 1;
    const double *weights = getTreeWtBuf(run.original);
    if (r == kPutTreeDuplicate) {
        const uint32_t match = getMatchingTree(run.main);
        return weights && (match == 0 || incrementTreeWt(run.main, match - 1, weights[k])) ? 1 : 0;
    }
    const uint32_t slot = r - 1;
    if (run.rule == CollapseRule::kNo && getBranchLensArray(run.original, k) &&
        storeBranchLengths(run.main, tree, slot, true, getMaxBranchLenDecimals(run.original)) != 0)
        return 1;
    if (weights && storeTreeWt(run.main, slot, weights[k]) != 0)
        return 1;
    if (haveTreeNames(run.original)) {
        const std::string name = getTreeName(run.original, k + 1);
        if (!name.empty() && storeTreeName(run.main, name.c_str(), slot) != 0)
            return 1;
    }
    return 0;
}

int condenseThreadProc(void *arg)
{
    const auto *run = static_cast<CondenseRun *>(arg);
    const uint32_t count = numTreesInBuffer(run->original);
    ProgData *progress = createProgressWindow(count, 0, "Condensing trees");
    setStatusText("Condensing trees...");
    const uint32_t savedRule = gPars.collapse;
    gPars.collapse = static_cast<uint32_t>(run->rule);
    TreeHandle tree(createTreeForTaxa(run->original->ntax, run->original->ntax, true));
    int status = tree ? 0 : 1;
    emptyTreeBuffer(run->main, true);
    setRootededness(run->main, areTreesRooted(run->original));
    for (uint32_t k = 0; k < count && status == 0; k++) {
        if (getTree(run->original, k + 1, tree.get()) != 0) {
            status = 1;
            break;
        }
        setTraversalSeq(tree.get());
        if (run->rule != CollapseRule::kNo)
            collapseUnsupportedEdges(tree.get(), run->data, false, run->rule, true);
        status = storeCondensed(*run, tree.get(), k);
        if (status == 0 && incrementProgressValue(progress) != kProgressContinue)
            status = 2;
    }
    gPars.collapse = savedRule;
    clearStatusText();
    destroyProgressWindow(progress);
    if (status != 0) {
        // Nothing half done stays: the trees go back as they were.
        emptyTreeBuffer(run->main, true);
        if (copyTreeBuffer(run->original, run->main) != 0)
            return 1;
    }
    return status;
}

}  // namespace

int doCondenseCmd()
{
    if (isTreeFilterActive())
        return qel_errorMsg(743, "Condensing is not permitted while a tree filter is in effect."), 1;
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    const int got = getCmdParams(OptionSet::kCondense, ";", nullptr);
    if (got <= 0)
        return got < 0 ? 0 : 1;
    TreeBuffer *main = getActiveTreeBuffer();
    const uint32_t original = numTreesInBuffer(main);
    DataInfo *d = activeDataInfo();
    const bool haveChars = d && (d->flags & kHaveCharacters);
    const CollapseRule asked = collapseRuleFromIndex(condenseCollapse);
    const CollapseRule rule = haveChars ? asked : CollapseRule::kNo;
    if (rule != CollapseRule::kNo) {
        if (parsCriterionActive() ? checkCharStatusUpdate(d) != 0 || checkParsimonySettings(d) != 0 ||
                                        prepareParsimonyData(d) != 0
                                  : prepareData(kPrepCurrentCriterion, 0, false) != 0)
            return 1;
        if (numSearchTaxa(d) != main->ntax)
            return qel_errorMsg(0, "The trees in memory do not match the active taxa."), 1;
    }
    TreeBuffer *copy = cloneTreeBuffer(main, true);
    if (!copy)
        return 1;
    CondenseRun run{d, main, copy, rule, condenseDelDupes != 0};
    const int status = runSecondaryThread(condenseThreadProc, &run);
    destroyTreeBuffer(copy);
    // The trees were rewritten (and, outside parsimony, refitted): no tree
    // is the one last optimised any more.
    forgetLastTreeOptimized();
    if (status != 0)
        return status;

    qel_printf("\nTrees condensed:\n");
    if (rule == CollapseRule::kAmbEqual)
        qel_printf("   Branches collapsed if MPR-sets of incident nodes are identical for all characters "
                   "(\"amb=\")\n");
    else if (rule != CollapseRule::kNo)
        qel_printf("   Branches collapsed if %s length is zero\n",
                   rule == CollapseRule::kMaxBrlen ? "maximum" : "minimum");
    if (run.delDupes)
        qel_printf("   Duplicate trees eliminated%s\n", rule != CollapseRule::kNo ? " (after branch-collapsing)" : "");
    qel_printf("   Original number of trees = %d\n", static_cast<int>(original));
    if (run.delDupes)
        qel_printf("   Number of distinct trees after condensing = %d\n",
                   static_cast<int>(numTreesInBuffer(main)));
    else
        qel_printf("   This number remains unchanged (elimination of duplicates suppressed)\n");
    setTreesAreSaved(false);
    return 0;
}
