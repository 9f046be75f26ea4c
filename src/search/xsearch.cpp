#include "search/xsearch.h"

#include "search/critscore.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "data/data_util.h"
#include "data/vorn_data.h"
#include "parsimony/calcsets.h"
#include "parsimony/dollo_search.h"
#include "parsimony/lenrange.h"
#include "parsimony/packx.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/partitn.h"
#include "parsimony/stateset.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_time.h"
#include "search/condense.h"
#include "search/constrsearch.h"
#include "search/freqdist.h"
#include "search/hitlist.h"
#include "search/hsprep.h"
#include "search/pscores.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "search/starttree.h"
#include "search/stepwise.h"
#include "search/tbr.h"
#include "cli/qel_cmdoptions.h"
#include "trees/constr.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

enum BandbAddSeq : uint32_t { kXFurthest = 0, kXAsIs = 1, kXSimple = 2, kXMaxMini = 3, kXKMaxMini = 4 };

constexpr uint32_t kLevelInc[4] = {315, 63, 9, 1};

XsearchResult gLastResult;
bool gPartitionBound = true;

// Settings whose scores are not bounded by the scores of partial trees.
int refuseBandbSettings()
{
    const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
    return f && f->refuseBranchAndBound ? f->refuseBranchAndBound() : 0;
}

// Releases the search's constraint scratch tree on every way out.
struct SearchConstraintsGuard {
    ~SearchConstraintsGuard() { releaseSearchConstraints(); }
};

ParsNodeSets *down(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *fin(const TreeNode *n) { return nodeSets(n->abm[2]); }

// Steps of the unordered fields of one lane pair: the lowest bit of each
// counted field of i that is empty.
inline uint64_t emptyFieldsOf(const UnoLanes &k, uint32_t l, uint64_t i)
{
    return (~(((i & k.notTop[l]) + k.notTop[l]) | i) >> k.shift[l]) & k.countMask[l];
}
inline uint64_t fillFields(uint64_t x, uint64_t shift) { return ((x << shift) << 1) - x; }

struct Level {
    std::vector<TreeNode *> edges;
    std::vector<double> bound, length;  // per edge: lower bound, tree length with the taxon there
    std::vector<uint8_t> excluded;
    std::vector<uint64_t> exclEntry, exclVisit;  // exclusion words saved at entry and after the pre-pass
    std::vector<uint64_t> unionUno;     // unordered states of the placed taxa and the ancestor
    PtnChanges changes;                 // change masks of the partial tree
};

struct XsearchData {
    DataInfo *data = nullptr;
    TreeHandle tree, store;
    TreeBuffer *buf = nullptr;
    bool exhaustive = false;
    // Distance and likelihood: every tree, partial ones too in branch and
    // bound, is scored whole by the criterion; parsimony adds connection
    // lengths on kept state sets.
    bool criterionScores = false;
    // Threshold parsimony and Goloboff fit are not sums of connection
    // lengths: their trees, partial ones too, are scored whole. Each
    // character's share only worsens as taxa join, so a partial tree's score
    // still bounds every tree grown from it.
    bool altScores = false;
    const CriterionSearchFxns *critCollapse = nullptr;
    bool rooted = false;
    bool keep = false;
    bool mulTrees = true;
    bool fdOnly = false;
    bool lowered = false;
    bool usePtn = false;
    bool remainingBound = false;
    bool overflow = false;
    uint32_t addSeq = kXAsIs;
    uint32_t n = 0;          // active taxa
    uint32_t startTaxa = 3;  // entries of the order in the start tree (rooted: the ancestor and two)
    uint32_t levels = 0;
    double upper = kNoScoreValue;
    double keepScore = 0.0;
    double best = kNoScoreValue, worst = kLowestScore;
    uint64_t evaluated = 0, visited = 0;
    uint32_t progress = 0;
    std::vector<int32_t> order;  // fixed addition order; the start taxa first
    std::vector<uint8_t> placed;
    uint32_t exclWords = 1;
    std::vector<uint64_t> excl;  // per node position: one bit per taxon
    std::vector<Level> level;
    // Unordered tip sets with their definite fields (missing fields cleared).
    std::vector<std::vector<uint64_t>> tipUno;
    std::vector<uint64_t> ancUno;  // the ancestor's, likewise (none unrooted)
    FreqDistPtr fd;
    StreamInfo *scoreStream = nullptr;  // owns scoreFile
    std::FILE *scoreFile = nullptr;
    CollapseRule collapse = CollapseRule::kNo;
    bool statusHeader = false;
};

uint64_t *exclOf(XsearchData &x, const TreeNode *node)
{
    return x.excl.data() + static_cast<size_t>(nodePosition(x.tree.get(), node)) * x.exclWords;
}
bool isExcluded(XsearchData &x, const TreeNode *node, int32_t taxon)
{
    return (exclOf(x, node)[taxon >> 6] >> (taxon & 63)) & 1;
}
void setExcluded(XsearchData &x, const TreeNode *node, int32_t taxon)
{
    exclOf(x, node)[taxon >> 6] |= uint64_t{1} << (taxon & 63);
}

// ---------------------------------------------------------------------------
// Status

void showStatus(XsearchData &x)
{
    // Inside a resampling (or other replicated) analysis the rows name its
    // replicate too.
    const bool replicated = gSearchState.replicatedKind != 0;
    if (!x.statusHeader) {
        showXsearchStatusHeader(x.exhaustive, replicated);
        x.statusHeader = true;
    }
    const std::string rep = replicated ? outerRepString() : std::string();
    showXsearchStatusRow(x.exhaustive, searchElapsedString().c_str(), replicated ? rep.c_str() : nullptr,
                         x.progress / 9.45, x.evaluated, numTreesInBuffer(x.buf), x.best,
                         x.upper + (x.lowered ? 1.0 : 0.0));
}

// ---------------------------------------------------------------------------
// Bounds

// The unordered steps that the taxa not yet placed (other than `taxon`)
// must add: per field, each such taxon whose states meet none of those of
// the placed taxa, the ancestor (rooted) and `taxon` adds the field's
// weight and its states join them. A taxon that may take every state adds
// nothing.
double remainingTaxaBound(XsearchData &x, uint32_t lv, int32_t taxon)
{
    if (!x.remainingBound)
        return 0.0;
    const PackedData *pd = packedData(x.data);
    const UnoLanes k = unoLanes(pd);
    thread_local std::vector<uint64_t> U;
    U = x.level[lv].unionUno;
    const std::vector<uint64_t> &own = x.tipUno[static_cast<size_t>(taxon)];
    for (uint32_t l = 0; l < k.count; l++)
        U[l] |= own[l];
    double sum = 0.0;
    for (uint32_t t = 0; t < x.n; t++) {
        if (x.placed[t] || static_cast<int32_t>(t) == taxon)
            continue;
        const std::vector<uint64_t> &s = x.tipUno[t];
        for (uint32_t w = 0; w < pd->unoWords; w++) {
            uint64_t add[2];
            for (uint32_t h = 0; h < 2; h++) {
                const uint32_t l = 2 * w + h;
                // s holds only the taxon's definite fields.
                const uint64_t definite = ~emptyFieldsOf(k, l, s[l]) & k.countMask[l];
                const uint64_t disjoint = emptyFieldsOf(k, l, U[l] & s[l]) & definite;
                add[h] = disjoint & ~emptyFieldsOf(k, l, U[l]);
                U[l] |= s[l] & fillFields(disjoint, k.shift[l]);
            }
            if (!(add[0] | add[1]))
                continue;
            if (pd->unoWeighted)
                addWtdSteps(pd->unoWts, w, &sum, add[0], add[1], kNoScore, 0.0);
            else
                sum += std::popcount(add[0]) + std::popcount(add[1]);
        }
    }
    return sum;
}

// Lower bound of placing taxon on edge e at level lv; *length receives the
// length of the tree with it there. True when the bound exceeds the upper
// bound (the exhaustive search only measures).
bool getParsLB(XsearchData &x, uint32_t lv, double curLen, TreeNode *e, int32_t taxon, double remaining,
               double *lb, double *length)
{
    const ParsNodeSets *leaf = down(nodeOfIndex(x.tree.get(), taxon));
    if (x.exhaustive) {
        *length = curLen;
        frvAddSpan(x.data, fin(e), leaf, false, length, kNoScore);
        *lb = *length;
        return false;
    }
    double conn = 0.0;
    frvAddSpan(x.data, fin(e), leaf, false, &conn, kNoScore);
    *length = curLen + conn;
    double L = curLen;
    const bool over = getFrvBound(x.data, fin(e), leaf, x.usePtn, &x.level[lv].changes, nullptr, &L,
                                  x.upper - remaining) != 0;
    *lb = L + remaining;
    return over || compareScores(*lb, x.upper) > 0;
}

// The criterion's score of the tree with taxon placed on edge e; the tree
// is left as it was. Partial trees score no worse than any tree grown from
// them under the settings branch and bound admits, so the score bounds.
double placedScore(XsearchData &x, TreeNode *e, int32_t taxon, double bound)
{
    Tree *t = x.tree.get();
    TreeNode *leaf = nodeOfIndex(t, taxon);
    if (binConnectLeaf(leaf, e, findFreeNode(t)) != 0)
        return kNoScoreValue;
    t->numLeaves++;
    setTraversalSeq(t);
    const double score = x.criterionScores ? criterionTreeScore(t, bound) : calcParsimonyScore(x.data, t, false);
    binPruneLeaf(leaf);
    t->numLeaves--;
    setTraversalSeq(t);
    return score;
}

// getParsLB for distance and likelihood: the exhaustive search scores only
// finished trees; branch and bound scores every placement, with a bound of
// its own so that a hopeless fit may stop early.
bool getCriterionLB(XsearchData &x, bool last, TreeNode *e, int32_t taxon, double *lb, double *length)
{
    if (x.exhaustive && !last) {
        *lb = *length = 0.0;
        return false;
    }
    double bound = kNoScoreValue;
    if (!x.exhaustive && !x.fd && isScoreValid(x.upper))
        bound = gCriterion == kCriterionLikelihood ? 1.1 * x.upper : x.upper;
    *lb = *length = placedScore(x, e, taxon, bound);
    return !x.exhaustive && compareScores(*lb, x.upper) > 0;
}

bool placementLB(XsearchData &x, uint32_t lv, bool last, double curLen, TreeNode *e, int32_t taxon,
                 double remaining, double *lb, double *length)
{
    return x.criterionScores || x.altScores ? getCriterionLB(x, last, e, taxon, lb, length)
                                            : getParsLB(x, lv, curLen, e, taxon, remaining, lb, length);
}

// ---------------------------------------------------------------------------
// Complete trees

// Copies the work tree with the taxon placed on edge e into the store tree,
// leaving the work tree as it was. 0 or 1.
int copyWithLeaf(XsearchData &x, TreeNode *e, TreeNode *leaf)
{
    Tree *t = x.tree.get();
    Tree *s = x.store.get();
    if (binConnectLeaf(leaf, e, findFreeNode(t)) != 0)
        return 1;
    t->numLeaves++;
    const int copied = copyTree(t, s);
    binPruneLeaf(leaf);
    t->numLeaves--;
    if (copied != 0)
        return 1;
    s->flags &= ~(kTreeTraversalValid | kTreeLeafSetsValid);
    setTraversalSeq(s);
    return 0;
}

int storeTree(XsearchData &x, TreeNode *e, int32_t taxon, double score)
{
    TreeNode *leaf = nodeOfIndex(x.tree.get(), taxon);
    Tree *s = x.store.get();
    if (copyWithLeaf(x, e, leaf) != 0)
        return 1;
    if (x.critCollapse) {
        x.critCollapse->collapse(s);
        setTraversalSeq(s);
        if (positiveConstraintsActive() && !searchTreeAllowed(s) && copyWithLeaf(x, e, leaf) != 0)
            return 1;
    } else if (x.collapse != CollapseRule::kNo) {
        pointTreeAtPackedData(s, x.data);
        // The edges an enforced constraint needs stay, as in the heuristic
        // search, whatever their support.
        if (collapseUnsupportedEdges(s, x.data, true, x.collapse)) {
            setTraversalSeq(s);
            // Should collapsing still merge away an enforced group, the tree
            // is kept binary, as the heuristic search keeps it.
            if (positiveConstraintsActive() && !searchTreeAllowed(s) && copyWithLeaf(x, e, leaf) != 0)
                return 1;
        }
    }
    if (!x.rooted)
        rerootTree(s, nodeOfIndex(s, 0), true);
    const uint32_t k = putTree(s, x.buf, true);
    if (isPutTreeFull(k)) {
        x.overflow = true;
        if (x.keep && !x.exhaustive) {
            qel_printf("\nSearch terminated prematurely; no room to store new trees:\n");
            return 3;
        }
        return 0;
    }
    if (k != kPutTreeDuplicate)
        if (double *scores = getTreeScoreArray(x.buf))
            scores[k - 1] = score;
    return 0;
}

int completeTree(XsearchData &x, TreeNode *e, int32_t taxon, double score)
{
    const bool integer = !areScoresFlt();
    if (!x.exhaustive && compareScores(score, x.upper) > 0)
        return 0;
    // Lengths added up along the walk are held to the rule calcTreeLength
    // applies to a whole tree (every tree the exhaustive search scores).
    if (!x.criterionScores && checkedSearchLength(x.data, score) == kNoScoreValue)
        return 1;
    if (x.exhaustive || x.fd) {
        x.evaluated++;
        if (x.fd && updateFreqDistData(x.fd.get(), score) != 0)
            return 1;
        if (x.scoreFile)
            std::fprintf(x.scoreFile, "%u\t%s\n", static_cast<uint32_t>(x.evaluated),
                         treeScoreToString(0, score).c_str());
        x.worst = std::max(x.worst, score);
        if (x.exhaustive && compareScores(score, x.upper) > 0)
            return 0;
    }
    x.best = std::min(x.best, score);
    if (x.fdOnly)
        return 0;
    if (x.keep)
        return storeTree(x, e, taxon, score);
    if (!x.mulTrees) {
        if (integer) {
            emptyTreeBuffer(x.buf, true);
            x.upper = score - 1.0;
            x.lowered = true;
            return storeTree(x, e, taxon, score);
        }
        const int c = compareScores(score, x.upper);
        if (c < 0) {
            emptyTreeBuffer(x.buf, true);
            x.upper = score;
            return storeTree(x, e, taxon, score);
        }
        return numTreesInBuffer(x.buf) == 0 ? storeTree(x, e, taxon, score) : 0;
    }
    if (compareScores(score, x.upper) < 0) {
        emptyTreeBuffer(x.buf, true);
        x.upper = score;
    }
    return storeTree(x, e, taxon, score);
}

// ---------------------------------------------------------------------------
// The walk

int checkStop(XsearchData &x)
{
    if (getAbortedStatus() != 0 && confirmAbortRequest())
        return 2;
    if (searchStatusDue())
        showStatus(x);
    return 0;
}

void loadEdges(XsearchData &x, Level &lv)
{
    lv.edges.clear();
    for (TreeNode *e = x.tree->root->next; e; e = e->next)
        lv.edges.push_back(e);
    const size_t m = lv.edges.size();
    lv.bound.assign(m, 0.0);
    lv.length.assign(m, 0.0);
    lv.excluded.assign(m, 0);
}

// Furthest addition: the unplaced taxon whose cheapest admissible place is
// dearest; -2 when some taxon has no admissible place left.
int32_t chooseFurthest(XsearchData &x, uint32_t lv, double curLen)
{
    Level &L = x.level[lv];
    int32_t chosen = -1;
    double chosenMin = 0.0, chosenSum = 0.0;
    uint32_t chosenCount = 0;
    for (uint32_t t = 0; t < x.n; t++) {
        if (x.placed[t])
            continue;
        const auto y = static_cast<int32_t>(t);
        const double rem = remainingTaxaBound(x, lv, y);
        double smallest = kNoScoreValue, sum = 0.0;
        uint32_t count = 0;
        for (TreeNode *e : L.edges) {
            if (isExcluded(x, e, y))
                continue;
            double lb = 0.0, len = 0.0;
            if (placementLB(x, lv, false, curLen, e, y, rem, &lb, &len) || !leafJoinAllowed(x.tree.get(), e, y)) {
                setExcluded(x, e, y);
                continue;
            }
            count++;
            smallest = std::min(smallest, lb);
            sum += x.upper - lb;
        }
        if (count == 0)
            return -2;
        // Real-valued bounds that differ only by rounding tie, as the
        // search's comparisons take them.
        const int vsMin = chosen < 0 ? 1 : compareScores(smallest, chosenMin);
        const int vsSum = compareScores(sum, chosenSum);
        const bool better = vsMin > 0 || (vsMin == 0 && (vsSum < 0 || (vsSum == 0 && count < chosenCount)));
        if (better)
            chosen = y, chosenMin = smallest, chosenSum = sum, chosenCount = count;
    }
    return chosen;
}

int traverseSearchTree(XsearchData &x, uint32_t lv, uint32_t progressBase, double curLen)
{
    Tree *tree = x.tree.get();
    Level &L = x.level[lv];
    const bool last = lv + 1 == x.levels;
    loadEdges(x, L);
    L.exclEntry = x.excl;

    int32_t taxon = -1;
    if (x.addSeq == kXFurthest && !last) {
        taxon = chooseFurthest(x, lv, curLen);
        if (taxon < 0) {
            x.excl = L.exclEntry;
            return 0;
        }
    } else if (last) {
        for (uint32_t t = 0; t < x.n && taxon < 0; t++)
            if (!x.placed[t])
                taxon = static_cast<int32_t>(t);
    } else {
        taxon = x.order[lv + x.startTaxa];
    }
    const double rem = x.exhaustive || last ? 0.0 : remainingTaxaBound(x, lv, taxon);


    // Pre-pass: bounds of every place; an edge that fails is marked for the
    // deeper levels of this branch too.
    bool any = false;
    for (size_t i = 0; i < L.edges.size(); i++) {
        TreeNode *e = L.edges[i];
        if (isExcluded(x, e, taxon)) {
            L.excluded[i] = 1;
            continue;
        }
        // A place that breaks a positive constraint breaks it at every
        // deeper level too; converse constraints judge finished trees only.
        if (placementLB(x, lv, last, curLen, e, taxon, rem, &L.bound[i], &L.length[i]) ||
            !(last ? finishingJoinAllowed(tree, e, taxon) : leafJoinAllowed(tree, e, taxon))) {
            L.excluded[i] = 1;
            setExcluded(x, e, taxon);
            continue;
        }
        any = true;
    }
    int result = 0;
    if (any) {
        L.exclVisit = x.excl;
        TreeNode *leaf = nodeOfIndex(tree, taxon);
        for (size_t i = 0; i < L.edges.size() && result == 0; i++) {
            if ((result = checkStop(x)) != 0)
                break;
            TreeNode *e = L.edges[i];
            if (!L.excluded[i] && (x.exhaustive || compareScores(L.bound[i], x.upper) <= 0)) {
                x.visited++;
                if (last) {
                    result = completeTree(x, e, taxon, L.length[i]);
                } else {
                    Level &next = x.level[lv + 1];
                    if (x.usePtn)
                        ptnAddChanges(x.data, L.changes, fin(e), down(leaf), &next.changes);
                    if (x.remainingBound) {
                        next.unionUno = L.unionUno;
                        const std::vector<uint64_t> &own = x.tipUno[static_cast<size_t>(taxon)];
                        for (size_t l = 0; l < own.size(); l++)
                            next.unionUno[l] |= own[l];
                    }
                    TreeNode *fork = findFreeNode(tree);
                    binConnectLeaf(leaf, e, fork);
                    tree->numLeaves++;
                    if (x.criterionScores || x.altScores)
                        setTraversalSeq(tree);
                    else
                        revUpdateAfterGraft(x.data, leaf);
                    // The upper part of the split edge restricts to the edge
                    // itself, so it keeps the edge's marks; the leaf's own
                    // edge is new.
                    std::copy_n(exclOf(x, e), x.exclWords, exclOf(x, fork));
                    std::fill_n(exclOf(x, leaf), x.exclWords, 0);
                    x.placed[static_cast<size_t>(taxon)] = 1;
                    result = traverseSearchTree(x, lv + 1, progressBase + static_cast<uint32_t>(i) *
                                                               (lv < 4 ? kLevelInc[lv] : 0), L.length[i]);
                    x.placed[static_cast<size_t>(taxon)] = 0;
                    TreeNode *sib = binPruneLeaf(leaf);
                    tree->numLeaves--;
                    if (x.criterionScores || x.altScores)
                        setTraversalSeq(tree);
                    else
                        revUpdateAfterPrune(x.data, sib, leaf, fork);
                    x.excl = L.exclVisit;
                }
            }
            if (lv < 4)
                x.progress = progressBase + static_cast<uint32_t>(i + 1) * kLevelInc[lv];
        }
    }
    x.excl = L.exclEntry;
    return result;
}

// ---------------------------------------------------------------------------
// Set-up of one replicate

int initialUpperBound(XsearchData &x)
{
    setStatusText("Getting initial upper bound...");
    TreeBuffer *scratch = createTreeBuffer(x.n, 4, false, true, false);
    if (!scratch)
        return 1;
    TreeBuffer *previous = setActiveTreeBuffer(scratch);
    const StepwiseOptions options{kAddSeqSimple, 1, 0, x.rooted, true};
    double score = kNoScoreValue;
    int r = addStepwise(x.data, x.tree.get(), options, nullptr, nullptr, &score);
    setActiveTreeBuffer(previous);
    destroyTreeBuffer(scratch);
    if (r == 0) {
        SaveRules rules{};
        HSearchData *hsd = createHSearchData(x.data, x.n, rules, false);
        if (!hsd)
            return 1;
        double bound = kNoScoreValue;
        r = localSearchFromOneTreeViaTBR(x.tree.get(), hsd, kSwapSPR, 0, &bound);
        destroyHSearchData(hsd);
        // Under converse constraints the climb may end on a tree the
        // constraint does not admit; its length bounds nothing.
        x.upper = searchTreeAllowed(x.tree.get()) ? x.tree->score[0] : kNoScoreValue;
    }
    clearStatusText();
    return r;
}

// Distance and likelihood start from the NJ tree's score; likelihood in the
// exhaustive search, and convexity constraints (which NJ cannot keep), start
// from no bound.
constexpr double kLikelihoodBoundSlack = 1e-6;

bool njBoundAllowed(const XsearchData &x)
{
    return !(x.exhaustive && gCriterion == kCriterionLikelihood) &&
           !(getTopolConstrained() != 0 && activeConstraintType() == kConConvexity);
}

int initialUpperBoundNJ(XsearchData &x)
{
    x.upper = kNoScoreValue;
    if (!njBoundAllowed(x))
        return 0;
    setStatusText("Getting initial upper bound...");
    int r = makeNJStartingTree(x.data, x.tree.get());
    if (r == 0) {
        setTraversalSeq(x.tree.get());
        // Under converse constraints NJ keeps the constraint; that tree
        // bounds nothing.
        if (searchTreeAllowed(x.tree.get()))
            x.upper = criterionTreeScore(x.tree.get(), kNoScoreValue);
        // A likelihood is a fit, good to the optimiser's tolerance: the walk
        // fits the same tree from other starting lengths and may land a few
        // millionths worse, which must not make it fail its own bound (when
        // the NJ tree is the best tree, nothing would be kept).
        if (gCriterion == kCriterionLikelihood && isScoreValid(x.upper))
            x.upper += kLikelihoodBoundSlack * std::max(1.0, std::fabs(x.upper));
    }
    clearStatusText();
    return r;
}

void makeOrder(XsearchData &x)
{
    x.order.clear();
    Tree *t = x.tree.get();
    const auto n = static_cast<int32_t>(x.n);
    if (x.rooted)
        x.order.push_back(-1);
    if (x.addSeq == kXFurthest) {
        int32_t a = 0, b = 1, c = 2;
        findLongest3Tree(x.data, t, &a, &b, &c, x.rooted);
        x.order.insert(x.order.end(), {a, b});
        if (!x.rooted)
            x.order.push_back(c);
        return;
    }
    if (x.addSeq == kXSimple) {
        const int32_t ref = x.rooted ? -1 : 0;
        int32_t second = -1;
        double far = -1.0;
        for (int32_t j = 0; j < n; j++)
            if (j != ref)
                if (double dist = absoluteDist(x.data, t, ref, j); dist > far)
                    far = dist, second = j;
        std::vector<double> len(x.n, 0.0);
        std::vector<int32_t> rest;
        for (int32_t j = 0; j < n; j++)
            if (j != ref && j != second) {
                len[static_cast<size_t>(j)] = getLen3(x.data, t, ref, second, j);
                rest.push_back(j);
            }
        std::stable_sort(rest.begin(), rest.end(), [&](int32_t a, int32_t b) { return len[a] > len[b]; });
        if (!x.rooted)
            x.order.push_back(ref);
        x.order.push_back(second);
        x.order.insert(x.order.end(), rest.begin(), rest.end());
        return;
    }
    if (x.addSeq == kXMaxMini || x.addSeq == kXKMaxMini) {
        std::vector<int32_t> out(x.n + 1, 0);
        TreeBuffer *scratch = createTreeBuffer(x.n, 4, false, true, false);
        TreeBuffer *previous = setActiveTreeBuffer(scratch);
        const StepwiseOptions o{x.addSeq == kXMaxMini ? kAddSeqFurthest : kAddSeqDivergentPair, 1, 0, x.rooted, true};
        const int r = addStepwise(x.data, t, o, nullptr, out.data(), nullptr);
        setActiveTreeBuffer(previous);
        destroyTreeBuffer(scratch);
        if (r == 0) {
            x.order.assign(out.begin(), out.begin() + x.n + (x.rooted ? 1 : 0));
            return;
        }
        x.order.resize(x.rooted ? 1 : 0);
    }
    for (int32_t j = 0; j < n; j++)
        x.order.push_back(j);
}

void prepareTipSets(XsearchData &x)
{
    const PackedData *pd = packedData(x.data);
    const UnoLanes k = unoLanes(pd);
    // A rooted search hangs its trees from the ancestor, a terminal of every
    // partial tree: its states are among those the placed taxa show.
    const int32_t first = x.rooted ? -1 : 0;
    const auto setsOf = [&](int32_t t) { return down(nodeOfIndex(x.tree.get(), t))->uno; };
    std::vector<uint64_t> all(k.count, 0);
    for (auto t = first; t < static_cast<int32_t>(x.n); t++) {
        const uint64_t *s = setsOf(t);
        for (uint32_t l = 0; l < k.count; l++)
            all[l] |= s[l];
    }
    const auto definite = [&](int32_t t) {
        const uint64_t *s = setsOf(t);
        std::vector<uint64_t> out(k.count, 0);
        for (uint32_t l = 0; l < k.count; l++) {
            // A field that holds every state seen tells nothing (missing data).
            const uint64_t full = emptyFieldsOf(k, l, all[l] & ~s[l]);
            out[l] = s[l] & ~fillFields(full, k.shift[l]);
        }
        return out;
    };
    x.tipUno.assign(x.n, {});
    for (uint32_t t = 0; t < x.n; t++)
        x.tipUno[t] = definite(static_cast<int32_t>(t));
    x.ancUno = x.rooted ? definite(-1) : std::vector<uint64_t>(k.count, 0);
}

int xsearchOneRep(XsearchData &x)
{
    Tree *tree = x.tree.get();
    DataInfo *d = x.data;
    const bool pars = !x.criterionScores;
    if (pars) {
        pointTreeAtPackedData(tree, d);
        deallocPtnData(packedData(d));
    }
    // The permutation test changes the states between replicates: the tip
    // sets of the remaining-taxa bound are the current data's.
    if (x.remainingBound && gSearchState.replicatedKind != 0)
        prepareTipSets(x);
    const bool alt = gPars.threshold || gPars.goloboff;
    if (pars && !x.exhaustive && !alt && gPartitionBound && packedData(d)->ordWords > 0) {
        makeStarTree(tree, x.n, x.rooted, 0, nullptr);
        if (x.rooted)
            tree->flags |= kTreeRootedAtAnc;
        if (preparePtnSetsForBandB(d, tree) != 0)
            return 1;
        x.usePtn = ptnBoundData(d) && ptnBoundData(d)->lanes > 0;
    }
    // A bound the user gave is taken as it stands, even one no tree can
    // reach or every tree does (under a fit stored as negative numbers, a
    // positive Keep keeps every tree); only a bound found must be a score.
    if (x.keep) {
        x.upper = x.keepScore;
    } else if (bbex.upBound != 0.0 && !x.exhaustive && gSearchState.replicatedKind == 0) {
        x.upper = bbex.upBound;
    } else {
        const int r = pars ? initialUpperBound(x) : initialUpperBoundNJ(x);
        if (r != 0)
            return r;
        if (!isScoreValid(x.upper) && x.upper != kNoScoreValue)
            return 1;
    }
    emptyTreeBuffer(x.buf, true);

    setStatusText(x.exhaustive ? "Doing exhaustive search..." : "Searching via branch-and-bound...");
    makeOrder(x);
    if (x.addSeq == kXFurthest && x.order.size() < x.startTaxa)
        return 1;
    const int32_t root = x.rooted ? -1 : x.order[0];
    if (make3Tree(tree, x.n, root, static_cast<uint32_t>(x.order[1]), static_cast<uint32_t>(x.order[2])) != 0)
        return 1;
    double startLen = 0.0;
    if (pars) {
        pointTreeAtPackedData(tree, d);
        calcStatesetsForSearch(tree, d, false);
        startLen = getBaseScore(d, true) + tree->score[0];
    } else {
        setTraversalSeq(tree);
    }
    x.placed.assign(x.n, 0);
    for (uint32_t i = 0; i < x.startTaxa; i++)
        if (x.order[i] >= 0)
            x.placed[static_cast<size_t>(x.order[i])] = 1;
    x.excl.assign(static_cast<size_t>(tree->maxNodes) * x.exclWords, 0);
    x.level.assign(x.levels, Level{});
    Level &top = x.level[0];
    if (x.usePtn)
        ptnTreeChanges(d, tree, &top.changes);
    if (x.remainingBound) {
        top.unionUno = x.ancUno;
        for (uint32_t t = 0; t < x.n; t++)
            if (x.placed[t])
                for (size_t l = 0; l < top.unionUno.size(); l++)
                    top.unionUno[l] |= x.tipUno[t][l];
    }
    x.progress = 0;
    const int r = traverseSearchTree(x, 0, 0, startLen);
    clearStatusText();
    return r;
}

// ---------------------------------------------------------------------------
// The command

const char *kindName(bool exhaustive) { return exhaustive ? "Exhaustive" : "Branch-and-bound"; }

void showXsearchSettings(const XsearchData &x)
{
    showSearchSettingsHeader(x.exhaustive ? 2 : 1);
    showCriterionSettings(x.data);
    if (!x.exhaustive) {
        static const char *const kSeq[] = {"furthest", "asis", "simple", "maxmini", "kmaxmini"};
        qel_printf("  Addition sequence: %s\n", kSeq[std::min<uint32_t>(x.addSeq, 4)]);
        // With Keep the Keep score is the bound, reported with the Keep lines below.
        if (!x.keep) {
            if (bbex.upBound != 0.0)
                qel_printf("  Initial upper bound: %s (specified)\n", boundToString(bbex.upBound).c_str());
            else if (!x.criterionScores)
                qel_printf("  Initial upper bound: via stepwise addition\n");
            else if (!njBoundAllowed(x))
                qel_printf("  Initial upper bound: none\n");
            else
                qel_printf("  Initial upper bound: via %s\n", upgmaStartTree(x.data) ? "UPGMA" : "neighbor-joining");
        }
    }
    if (x.critCollapse)
        qel_printf("Branches collapsed (creating polytomies) if %s\n", x.critCollapse->collapseDescription);
    else if (x.collapse == CollapseRule::kNo)
        qel_printf("Zero-length branches not collapsed\n");
    else
        qel_printf("Branches collapsed (creating polytomies) if %s\n", collapseRuleDescription(x.collapse));
    // As HSearch reports them; AllTrees keeps every tree it is asked to.
    const bool mulTrees = showKeepSettings(x.keep ? x.keepScore : 0.0, x.exhaustive || srch.mulTrees);
    if (!x.exhaustive)
        qel_printf("'MulTrees' option %sin effect\n", mulTrees ? "" : "not ");
    showSearchTailSettings(x.data, x.rooted);
}

// A distance fit sums over the tree as the walk holds it; the same tree
// stored (rooted at taxon 0, perhaps collapsed) sums in another order, and
// a score on a rounding edge may then print another last digit than the
// scoring commands give the tree. The report gives the stored tree's score
// when that tree is the best one found (with Keep it may not be).
void rescoreFirstStoredTree(XsearchData &x)
{
    if (gCriterion != kCriterionDistance || numTreesInBuffer(x.buf) == 0 || !isScoreValid(x.best))
        return;
    Tree *s = x.store.get();
    if (getTree(x.buf, 1, s) != 0)
        return;
    s->flags &= ~(kTreeTraversalValid | kTreeLeafSetsValid);
    setTraversalSeq(s);
    const double score = criterionScoreWithLengths(s, kNoScoreValue);
    if (!isScoreValid(score) || compareScores(score, x.best) != 0)
        return;
    x.best = score;
    if (double *scores = getTreeScoreArray(x.buf))
        scores[0] = score;
}

// 1 when the distribution file could not be written, 2 when the user
// stopped the output, else 0.
int showXsearchReport(const XsearchData &x, int result, const TimeMark &start, const TimeMark &stop)
{
    qel_printf(result == 2 ? "\n%s search aborted:\n" : "\n%s search completed:\n", kindName(x.exhaustive));
    if (result != 2 && (x.overflow || isTreeBufferAtMaxtrees(x.buf)))
        qel_printf("  Tree buffer overflow; some trees not saved.\n");
    if (x.exhaustive)
        qel_printf("Number of trees evaluated = %u\n", static_cast<uint32_t>(x.evaluated));
    if (isScoreValid(x.best)) {
        qel_printf("Score of best tree found = %s\n", treeScoreToString(0, x.best).c_str());
        if (x.exhaustive)
            qel_printf("Score of worst tree found = %s\n", treeScoreToString(0, x.worst).c_str());
    } else if (result != 2) {
        qel_printf("No trees exist of score %s or less\n",
                   boundToString(x.keep ? x.keepScore : bbex.upBound).c_str());
    }
    qel_printf("Number of trees retained = %u\n", numTreesInBuffer(x.buf));
    showTimeUsed(&start, &stop, 0, "");
    if (x.scoreFile)
        qel_printf("\nTree scores written to file: %s\n", sfopt.scoreFile);
    if (x.fd && result != 2 && isScoreValid(x.best))
        return showFreqDist(x.fd.get(), "\nFrequency distribution of tree scores:\n", x.exhaustive);
    return 0;
}

}  // namespace

const XsearchResult &lastXsearchResult() { return gLastResult; }
void setXsearchPartitionBound(bool on) { gPartitionBound = on; }

int exactTreeSearch(bool exhaustive, int mode)
{
    DataInfo *data = activeDataInfo();
    if (!data)
        return 1;
    if (!exhaustive && refuseBandbSettings() != 0)
        return 1;
    if (checkCharStatusUpdate(data) != 0)
        return 1;
    // The score and distribution files are written only for a command that
    // names them; replicated runs write neither.
    NamedFileRequest scoreFileRequest(sfopt.scoreFile, sizeof sfopt.scoreFile);
    FreqDistFileRequest fdFileRequest;
    if (mode == 0) {
        const double savedUpBound = bbex.upBound;
        if (!exhaustive)
            bbex.upBound = kLowestScore;
        const int read = getCmdParams(exhaustive ? OptionSet::kAllTrees : OptionSet::kBandB, ";", nullptr);
        scoreFileRequest.taken();
        fdFileRequest.taken();
        if (read <= 0) {
            if (!exhaustive)
                bbex.upBound = savedUpBound;
            return 1;
        }
        bbex.upBoundGiven = !exhaustive && bbex.upBound != kLowestScore;
        if (!exhaustive && !bbex.upBoundGiven)
            bbex.upBound = savedUpBound;
    }
    XsearchData x;
    x.data = data;
    x.exhaustive = exhaustive;
    x.keepScore = keepScoreInEffect();
    x.keep = keepScoreInEffect() != 0.0;
    x.fdOnly = !exhaustive && srch.fdOnly && mode == 0;
    if (x.fdOnly && !x.keep)
        return qel_errorMsg(517,
                            "You must specify a \"keep\" score in conjunction with the \"frequency-distribution only\" "
                            "(FDONLY) option."),
               1;
    const bool wantFd = exhaustive ? bbex.fd != 0 : x.fdOnly;
    const bool barChart = exhaustive ? bbex.fd == 2 : bbex.fdType == 1;
    if (wantFd && !barChart && exhaustive && fdopt.fdClasses < 2)
        return qel_errorMsg(539, "The number of classes for the tree-score frequency distribution must be greater "
                                 "than 1."),
               1;
    // Branch and bound under likelihood bounds from the NJ tree, built on the
    // distances likelihood starts from.
    const bool njBound = !exhaustive && gCriterion == kCriterionLikelihood;
    if (prepForSearch(data, kSearchConstraintsOk | (exhaustive ? kSearchExhaustive : 0) |
                                (njBound ? kSearchNJStart : 0)) != 0)
        return finishSearch(1);
    setStatusText("Final preparation for search...");
    x.rooted = isRootedSearch(data);
    x.n = numSearchTaxa(data);
    x.levels = x.n - (x.rooted ? 2 : 3);
    x.mulTrees = exhaustive || srch.mulTrees || x.keep;
    x.criterionScores = gCriterion != kCriterionParsimony;
    x.altScores = !x.criterionScores && (gPars.threshold || gPars.goloboff);
    // Only parsimony places taxa by bounds of their own.
    x.addSeq = exhaustive || x.criterionScores ? kXAsIs : bbex.addSeq;
    bbex.effAddSeq = x.addSeq;
    x.collapse = searchCollapseRule();
    x.critCollapse = x.criterionScores ? criterionCollapseFxns(gCriterion) : nullptr;
    x.exclWords = (x.n + 63) / 64;
    x.buf = getActiveTreeBuffer();
    x.tree.reset(createSearchTree(data));
    x.store.reset(createSearchTree(data));
    if (!x.buf || !x.tree || !x.store) {
        clearStatusText();
        return finishSearch(1);
    }
    SearchConstraintsGuard constraintsGuard;
    if (srch.enforce) {
        const int rc = prepareSearchConstraints(data, x.tree.get(), srch.converse != 0, false, mode != 0);
        if (rc != 0) {
            clearStatusText();
            return finishSearch(rc < 0 ? 0 : 1);
        }
    }
    if (!getTreeScoreArray(x.buf))
        if (double *scores = allocArrayOf<double>(getTreeBufferCapacity(x.buf)))
            setTreeScoreArray(x.buf, scores);
    if (!x.criterionScores)
        pointTreeAtPackedData(x.tree.get(), data);
    if (wantFd) {
        if (barChart && !areScoresFlt()) {
            // From the least to the greatest length any tree can have.
            calcLengthBounds(data, x.tree.get(), x.rooted, false);
            const LengthBounds &lb = lengthBounds();
            x.fd = createBarChart(std::llround(sumMinLengths()), std::llround(lb.sumMax));
        } else {
            const double ntrees = exhaustive ? std::tgamma(2.0 * x.n - 3.0) / (std::pow(2.0, x.n - 3) *
                                                                             std::tgamma(x.n - 1.0))
                                             : 10000.0;
            // The classes span the scores found (an empty range: the first
            // score sets it), not the lengths a tree could have.
            x.fd = createHistogram(static_cast<uint32_t>(std::min(ntrees, 4e9)), areScoresFlt(), 0, -1,
                                   static_cast<uint32_t>(fdopt.fdClasses));
        }
    }
    sfopt.pref_saveToFile = exhaustive && scoreFileRequest.given();
    if (sfopt.pref_saveToFile) {
        // As PScores does: beside the input, replacing a file only when
        // asked to or when the user agrees.
        int opened = 1;
        x.scoreStream = openScoreFile(sfopt.scoreFile, &opened);
        if (!x.scoreStream) {
            clearStatusText();
            return finishSearch(opened);
        }
        x.scoreFile = x.scoreStream->fp;
    }
    x.remainingBound = !exhaustive && !x.criterionScores && !gPars.threshold && !gPars.goloboff &&
                       packedData(data)->unoWords > 0;
    if (x.remainingBound)
        prepareTipSets(x);
    clearStatusText();
    if (mode == 0 && !verifyReplaceTrees()) {
        closeScoreFile(&x.scoreStream);
        return finishSearch(1);
    }
    setTreeSource(exhaustive ? 3 : 2);
    // Replicated runs show the settings too, as a heuristic replicate does:
    // the enforced constraint and the bound are theirs to report.
    showXsearchSettings(x);
    // A filter over the trees being replaced would hide the new ones.
    deleteTreeSets(true);
    emptyTreeBuffer(x.buf, true);
    setRootededness(x.buf, x.rooted);

    setSearchNReps();
    beginSearchStatus();
    TimeMark start{}, stop{};
    setTimeMark(&start);
    int result = 0;
    for (uint32_t rep = 1; rep <= gSearchState.nOuterReps && result == 0; rep++) {
        if ((result = startReplicatedSearchRep(x.tree.get(), data, rep)) != 0) {
            if (result == kReplicateTallied) {
                result = 0;
                continue;
            }
            break;
        }
        x.best = kNoScoreValue;
        x.worst = kLowestScore;
        {
            // Dollo and irreversible characters are scored by steps, as in
            // a heuristic search; the report reads the cost vectors again.
            DolloSearchScope steps(data);
            result = xsearchOneRep(x);
        }
        if (result == 0)
            result = finishReplicatedSearchRep(data, x.best);
    }
    setTimeMark(&stop);
    if (!x.criterionScores)
        deallocPtnData(packedData(data));
    if (x.scoreStream && closeScoreFile(&x.scoreStream) != 0 && result == 0)
        result = 1;
    if (result == 2)
        setAbortedStatus(0);
    if (mode == 0 && (result == 0 || result == 2 || result == 3))
        rescoreFirstStoredTree(x);
    gLastResult = {x.best, x.worst, x.evaluated, x.visited, numTreesInBuffer(x.buf)};
    const int reported = mode == 0 && (result == 0 || result == 2 || result == 3)
                             ? showXsearchReport(x, result, start, stop)
                             : 0;
    finishSearch(0);
    if (reported == 1)
        return 1;
    return result == 2 ? 2 : result == 3 ? 0 : result;
}

int doAllTreesCmd() { return exactTreeSearch(true, 0); }
int doBandbCmd() { return exactTreeSearch(false, 0); }

void showXsearchStatusHeader(bool exhaustive, bool replicated)
{
    const char *repGap = replicated ? "       " : "";
    const char *repHead = replicated ? "    Rep" : "";
    if (exhaustive) {
        qel_printf("\n    Elapsed%s  %% Search-    # Trees    # Trees      Score of\n", repGap);
        qel_printf("       time%s  tree done  evaluated      saved    best trees\n", repHead);
    } else {
        qel_printf("\n    Elapsed%s  %% Search-    # Trees      Score of       Current\n", repGap);
        qel_printf("       time%s  tree done      saved    best trees   upper bound\n", repHead);
    }
    qel_printf("%s\n", std::string((exhaustive ? 58 : 61) + (replicated ? 7 : 0), '-').c_str());
}

void showXsearchStatusRow(bool exhaustive, const char *elapsed, const char *rep, double percentDone,
                          uint64_t evaluated, uint32_t saved, double best, double upperBound)
{
    std::string row;
    char cell[64];
    std::snprintf(cell, sizeof cell, "%11s", elapsed);
    row += cell;
    if (rep) {
        std::snprintf(cell, sizeof cell, "%7s", rep);
        row += cell;
    }
    std::snprintf(cell, sizeof cell, "%11.3f", percentDone);
    row += cell;
    if (exhaustive) {
        std::snprintf(cell, sizeof cell, "%11u", static_cast<uint32_t>(evaluated));
        row += cell;
    }
    std::snprintf(cell, sizeof cell, "%11u%14s", saved, treeScoreToString(0, best).c_str());
    row += cell;
    if (!exhaustive) {
        std::snprintf(cell, sizeof cell, "%14s", treeScoreToString(0, upperBound).c_str());
        row += cell;
    }
    qel_printf("%s\n", row.c_str());
}
