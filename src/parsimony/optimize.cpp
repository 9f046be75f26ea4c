#include "parsimony/optimize.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "parsimony/calcsets.h"
#include "parsimony/dollo_search.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "parsimony/stmx.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "data/data_services.h"
#include "data/nexsets.h"
#include "data/usertypes.h"
#include "data/vorn_data.h"
#include "trees/describe.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/treebuf.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

struct LastOptimized {
    double score = 0.0;
    uint32_t treeNumber = 0;
    // Under a weighting whose score is not a length (Goloboff fit,
    // threshold) the length of the same reconstruction, for the reports
    // that show both.
    double length = 0.0;
};
// Per thread: every tree read forgets it, and threads of a search read
// trees of their own beside the thread that runs the commands.
thread_local LastOptimized lastOpt;
OptimizeServices gServices{};

ParsNodeSets *down(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *up(const TreeNode *n) { return nodeSets(n->abm[1]); }
ParsNodeSets *fin(const TreeNode *n) { return nodeSets(n->abm[2]); }

int compare(double a, double b)
{
    if (gServices.compareScores)
        return gServices.compareScores(a, b);
    return a < b - 1e-9 ? -1 : a > b + 1e-9 ? 1 : 0;
}

bool scoreValid(double s) { return gServices.isScoreValid ? gServices.isScoreValid(s) : lengthIsValid(s); }

uint64_t lowMask(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }
uint64_t lowestBit(uint64_t x) { return x & (~x + 1); }

void copySets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to)
{
    const PackedData *pd = packedData(d);
    if (from == to)
        return;
    std::copy_n(from->ord, 4 * pd->ordWords, to->ord);
    std::copy_n(from->uno, 2 * pd->unoWords, to->uno);
    copyStmSets(d, from, to);
}

// One unordered character's field of a set record.
struct UnoField {
    uint32_t lane, at;
    uint64_t mask;
    uint64_t get(const ParsNodeSets *s) const { return (s->uno[lane] >> at) & mask; }
    void set(ParsNodeSets *s, uint64_t v) const { s->uno[lane] = (s->uno[lane] & ~(mask << at)) | (v << at); }
};

UnoField unoField(const PackSlot &s)
{
    return {2 * s.word + (s.offset >> 6), static_cast<uint32_t>(s.offset & 63), lowMask(s.width)};
}

// A tip's set stands for its final set; internal nodes have their own.
const ParsNodeSets *mprOrObserved(const TreeNode *n) { return n->firstChild ? fin(n) : down(n); }

// Up and final sets for the tree as it is now rooted, from its down sets.
void upAndFinalSets(const DataInfo *d, Tree *tree)
{
    TreeNode *root = tree->root;
    for (TreeNode *n = root->next; n; n = n->next) {
        TreeNode *a = n->anc;
        if (a == root && !root->firstChild->nextSib) {
            copySets(d, down(root), up(n));
            copyDolSets(d, down(root), up(n));
        } else {
            revSet(d, a, n, false, false, up(n), nullptr);
        }
    }
    for (TreeNode *n = root; n; n = n->next)
        if (n->firstChild && (n != root || n->firstChild->nextSib))
            revMprSet(d, n);
}

double orderedSteps(const PackedData *pd, uint32_t w, uint64_t lo, uint64_t hi)
{
    double len = 0.0;
    if (pd->ordWeighted)
        addWtdSteps(pd->ordWts, w, &len, lo, hi, kNoScore, 0.0);
    else
        len = std::popcount(lo) + std::popcount(hi);
    return len;
}

void basalOrdered(const DataInfo *d, Tree *tree, bool delTran)
{
    const PackedData *pd = packedData(d);
    const uint32_t L = 2 * pd->ordWords;
    TreeNode *root = tree->root;
    const bool two = countChildren(root) == 2;
    const ParsNodeSets *src = two ? down(root) : fin(root);
    ParsNodeSets *out = down(root);
    for (uint32_t l = 0; l < L; l++) {
        uint64_t v;
        if (delTran && two) {
            const ParsNodeSets *c1 = mprOrObserved(root->firstChild), *c2 = mprOrObserved(root->firstChild->nextSib);
            v = (c1->ord[l] & c2->ord[L + l]) | (c1->ord[L + l] & c2->ord[l]);
        } else {
            v = src->ord[l];
        }
        out->ord[l] = out->ord[L + l] = v;
    }
}

// MinF weights: the number of tip pairs each node's edge separates.
std::vector<uint64_t> minfWeights(Tree *tree)
{
    std::vector<uint64_t> below(tree->maxNodes, 0), weight(tree->maxNodes, 0);
    uint64_t n = 0;
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        if (!p->firstChild) {
            below[nodePosition(tree, p)] = 1;
            n++;
        }
        if (p->anc)
            below[nodePosition(tree, p->anc)] += below[nodePosition(tree, p)];
    }
    for (TreeNode *p = tree->root->next; p; p = p->next) {
        const uint64_t k = below[nodePosition(tree, p)];
        weight[nodePosition(tree, p)] = k * (n - k);
    }
    return weight;
}

void minfOrdered(const DataInfo *d, Tree *tree, TreeNode *root, const std::vector<uint64_t> &weight)
{
    const PackedData *pd = packedData(d);
    const uint32_t L = 2 * pd->ordWords;
    ParsNodeSets *r = down(root);
    std::vector<uint64_t> t0(static_cast<size_t>(tree->maxNodes) * L), t1(t0.size()), m0(t0.size()), m1(t0.size());
    auto at = [&](const TreeNode *n) { return static_cast<size_t>(nodePosition(tree, n)) * L; };
    std::copy_n(r->ord, L, t0.begin() + static_cast<long>(at(root)));
    std::copy_n(r->ord + L, L, t1.begin() + static_cast<long>(at(root)));
    for (TreeNode *n = root->next; n; n = n->next) {
        const ParsNodeSets *s = mprOrObserved(n);
        const size_t k = at(n), a = at(n->anc);
        for (uint32_t l = 0; l < L; l++) {
            t0[k + l] = (s->ord[L + l] & t0[a + l]) | s->ord[l];
            t1[k + l] = (s->ord[L + l] & t1[a + l]) | s->ord[l];
            m0[k + l] = t0[k + l] ^ t0[a + l];
            m1[k + l] = t1[k + l] ^ t1[a + l];
        }
    }
    for (uint32_t l = 0; l < L; l++) {
        uint64_t plane = r->ord[l];
        for (uint64_t amb = r->ord[l] ^ r->ord[L + l]; amb; amb &= amb - 1) {
            const uint64_t bit = lowestBit(amb);
            // Costs are sums of tip-pair counts: 64 bits so that no large
            // tree wraps them.
            uint64_t cost0 = 0, cost1 = 0;
            for (TreeNode *n = root->next; n; n = n->next) {
                const size_t k = at(n);
                if (m0[k + l] & bit)
                    cost0 += weight[nodePosition(tree, n)];
                if (m1[k + l] & bit)
                    cost1 += weight[nodePosition(tree, n)];
            }
            if (cost1 < cost0)
                plane |= bit;
        }
        r->ord[l] = r->ord[L + l] = plane;
    }
}

// Each trial root state is followed down by the rule of the final pass
// (finalPass): a node takes its ancestor's state when that state is among
// those held by the most of its neighbours (the ancestor's state and its
// children's down sets), else the lowest of those, at a change. Its cost is
// then the F value of the very reconstruction the final pass makes from that
// root state, and every trial stays most parsimonious. The down sets are
// left as they are: the final pass counts them.
void minfUnordered(const DataInfo *d, Tree *tree, TreeNode *root, const std::vector<uint64_t> &weight)
{
    const PackedData *pd = packedData(d);
    std::vector<uint32_t> trial(tree->maxNodes, 0);
    for (uint32_t c : pd->unoChars) {
        const PackSlot &slot = pd->slots[c];
        if (!slot.width)
            continue;
        const UnoField f = unoField(slot);
        const uint64_t rootSet = f.get(down(root));
        if (std::popcount(rootSet) < 2)
            continue;
        uint64_t bestCost = std::numeric_limits<uint64_t>::max();
        uint32_t bestState = 0;
        for (uint64_t states = rootSet; states; states &= states - 1) {
            const auto s = static_cast<uint32_t>(std::countr_zero(states));
            trial[nodePosition(tree, root)] = s;
            uint64_t cost = 0;
            for (TreeNode *n = root->next; n; n = n->next) {
                const uint32_t a = trial[nodePosition(tree, n->anc)];
                uint64_t cand = f.get(down(n));
                if (n->firstChild) {
                    uint32_t count[64] = {}, best = 0;
                    for (uint32_t t = 0; t < slot.width; t++) {
                        count[t] = t == a;
                        for (TreeNode *ch = n->firstChild; ch; ch = ch->nextSib)
                            count[t] += (f.get(down(ch)) >> t) & 1;
                        best = std::max(best, count[t]);
                    }
                    cand = 0;
                    for (uint32_t t = 0; t < slot.width; t++)
                        if (count[t] == best)
                            cand |= uint64_t{1} << t;
                }
                if (cand & (uint64_t{1} << a)) {
                    trial[nodePosition(tree, n)] = a;
                } else {
                    trial[nodePosition(tree, n)] = cand ? static_cast<uint32_t>(std::countr_zero(cand)) : 0;
                    cost += weight[nodePosition(tree, n)];
                }
            }
            if (cost < bestCost) {
                bestCost = cost;
                bestState = s;
            }
        }
        f.set(down(root), uint64_t{1} << bestState);
    }
}

// MinF reconstructs an unrooted tree at its centroid; the basal node that
// rooting then inserts into an edge took no part in it. It takes the states
// of the end whose half of the edge holds no change (the changes of the edge
// stay on the other half), and every node's MPR set is made again at the new
// root, since the inserted node had none; the reconstructed states of the
// other nodes are kept.
void minfFillBasalNode(DataInfo *d, Tree *tree)
{
    TreeNode *root = tree->root, *first = tree->rootEdgeNode[0], *second = tree->rootEdgeNode[1];
    if (!first || !second || root == first || root == second || first->anc != root || second->anc != root)
        return;
    const PackedData *pd = packedData(d);
    const size_t ordLen = 4 * static_cast<size_t>(pd->ordWords), unoLen = 2 * static_cast<size_t>(pd->unoWords);
    const size_t per = ordLen + unoLen;
    std::vector<uint64_t> states(static_cast<size_t>(tree->maxNodes) * per);
    auto slot = [&](const TreeNode *n) { return states.begin() + static_cast<long>(nodePosition(tree, n) * per); };
    for (TreeNode *n = root->next; n; n = n->next) {
        std::copy_n(down(n)->ord, ordLen, slot(n));
        std::copy_n(down(n)->uno, unoLen, slot(n) + static_cast<long>(ordLen));
    }
    double len = 0.0;
    calcAllPrelimSets(d, tree, false, &len);
    upAndFinalSets(d, tree);
    for (TreeNode *n = root->next; n; n = n->next) {
        std::copy_n(slot(n), ordLen, down(n)->ord);
        std::copy_n(slot(n) + static_cast<long>(ordLen), unoLen, down(n)->uno);
    }
    const TreeNode *quiet = second->edge.brlen == 0.0 || first->edge.brlen != 0.0 ? second : first;
    std::copy_n(slot(quiet), ordLen, down(root)->ord);
    std::copy_n(slot(quiet) + static_cast<long>(ordLen), unoLen, down(root)->uno);
}

void finalPass(DataInfo *d, Tree *tree, ParsOpt opt, bool steps)
{
    const PackedData *pd = packedData(d);
    const uint32_t L = 2 * pd->ordWords;
    for (TreeNode *n = tree->root->next; n; n = n->next) {
        const ParsNodeSets *A = down(n->anc);
        ParsNodeSets *N = down(n);
        const bool internal = n->firstChild != nullptr;
        // Ordered: whole words.
        if (L) {
            const ParsNodeSets *S = opt == ParsOpt::AccTran ? down(n) : fin(n);
            for (uint32_t w = 0; w < pd->ordWords; w++) {
                uint64_t mask[2];
                for (uint32_t h = 0; h < 2; h++) {
                    const uint32_t l = 2 * w + h;
                    uint64_t a, b;
                    if (!internal) {
                        a = N->ord[l];
                        b = N->ord[L + l];
                    } else {
                        a = (S->ord[L + l] & A->ord[l]) | S->ord[l];
                        b = a;
                    }
                    mask[h] = (a ^ A->ord[l]) & (b ^ A->ord[L + l]);
                    if (internal)
                        N->ord[l] = N->ord[L + l] = a;
                }
                if (mask[0] | mask[1])
                    n->edge.brlen += orderedSteps(pd, w, mask[0], mask[1]);
            }
        }
        if (!pd->stmChars.empty())
            stmDecide(d, n, opt == ParsOpt::AccTran   ? ParsOptChoice::AccTran
                            : opt == ParsOpt::DelTran ? ParsOptChoice::DelTran
                                                      : ParsOptChoice::First);
        if (steps)
            dolDecide(d, n, opt == ParsOpt::AccTran);
        // Unordered: character by character.
        if (pd->unoWords) {
            if (internal && opt != ParsOpt::AccTran) {
                copySets(d, A, up(n));
                unoSet(d, n, nullptr, false, false, N, nullptr);
            }
            for (uint32_t c : pd->unoChars) {
                const PackSlot &slot = pd->slots[c];
                if (!slot.width)
                    continue;
                const UnoField f = unoField(slot);
                const uint64_t own = f.get(N), x = own & f.get(A);
                if (!x && !(d->status[c] & kCharExcluded))
                    n->edge.brlen += slot.weight;
                if (internal)
                    f.set(N, lowestBit(x ? x : own));
            }
        }
    }
}

}  // namespace

void setOptimizeServices(const OptimizeServices *services) { gServices = services ? *services : OptimizeServices{}; }

void chooseUnoSmsBasalStates(const DataInfo *d, Tree *tree, bool delTran)
{
    const PackedData *pd = packedData(d);
    TreeNode *root = tree->root;
    const bool two = countChildren(root) == 2;
    const ParsNodeSets *src = two ? down(root) : fin(root);
    for (uint32_t c : pd->unoChars) {
        const PackSlot &slot = pd->slots[c];
        if (!slot.width)
            continue;
        const UnoField f = unoField(slot);
        uint64_t pick = 0;
        if (delTran && two)
            pick = f.get(mprOrObserved(root->firstChild)) & f.get(mprOrObserved(root->firstChild->nextSib));
        if (!pick)
            pick = f.get(src);
        f.set(down(root), lowestBit(pick));
    }
}

void optimizeParsimony(DataInfo *d, Tree *tree, bool doPrelim)
{
    // Rerooting re-points the node records through the tree hooks; the
    // packed data here is the authority.
    pointTreeAtPackedData(tree, d);
    checkTraversalSeq(tree);
    const auto opt = static_cast<ParsOpt>(gPars.opt);
    // On a tree held at the ancestor the Dollo and irreversible characters
    // the steps score are reconstructed by them, from sets made afresh; the
    // cost vectors leave them out meanwhile and take their decisions after.
    std::optional<DolloSearchScope> byStepsScope;
    if (doPrelim && opt != ParsOpt::MinF && !dolSearchActive(d) && dolStepsFitTree(d, tree))
        byStepsScope.emplace(d);
    const bool bySteps = byStepsScope.has_value() && dolSearchActive(d);
    if (doPrelim) {
        double len = 0.0;
        calcAllPrelimSets(d, tree, false, &len);
        upAndFinalSets(d, tree);
    }
    TreeNode *root = tree->root;
    // A root with one child (a tip, or the ancestor above the basal fork)
    // keeps its own sets: there is no basal choice to make.
    if (root->firstChild && root->firstChild->nextSib) {
        if (opt == ParsOpt::MinF) {
            setTraversalSeq(tree);
            const std::vector<uint64_t> weight = minfWeights(tree);
            if (packedData(d)->ordWords)
                minfOrdered(d, tree, root, weight);
            minfUnordered(d, tree, root, weight);
        } else {
            const bool delTran = opt == ParsOpt::DelTran;
            basalOrdered(d, tree, delTran);
            chooseUnoSmsBasalStates(d, tree, delTran);
            stmDecideRoot(d, root);
        }
    }
    finalPass(d, tree, opt, bySteps);
    byStepsScope.reset();
    if (bySteps)
        dolWriteDecisions(d, tree);
}

// ---------------------------------------------------------------------------
// Root positions

TreeNode *findMidpointEdge(Tree *tree)
{
    checkTraversalSeq(tree);
    std::vector<double> height(tree->maxNodes, 0.0);
    std::vector<TreeNode *> farTip(tree->maxNodes, nullptr);
    double diameter = -1.0;
    TreeNode *end = nullptr;
    for (TreeNode *n = tree->tail; n; n = n->prev) {
        const uint32_t k = nodePosition(tree, n);
        if (!n->firstChild) {
            farTip[k] = n;
            continue;
        }
        TreeNode *best = n->firstChild;
        auto reach = [&](TreeNode *c) { return height[nodePosition(tree, c)] + c->edge.brlen; };
        for (TreeNode *c = n->firstChild; c; c = c->nextSib)
            if (reach(c) > reach(best))
                best = c;
        height[k] = reach(best);
        farTip[k] = farTip[nodePosition(tree, best)];
        for (TreeNode *c = n->firstChild; c; c = c->nextSib) {
            if (c == best)
                continue;
            const double path = height[nodePosition(tree, c)] + height[k] + c->edge.brlen;
            if (path > diameter) {
                diameter = path;
                end = farTip[k];  // the deeper side holds the midpoint
            }
        }
    }
    // A root tip ends a path of its own: its distance to the farthest tip.
    TreeNode *root = tree->root;
    if (!root->firstChild)
        return nullptr;
    if (TreeNode *top = root->firstChild; !top->nextSib && root->index >= 0) {
        const double path = (top->firstChild ? height[nodePosition(tree, top)] : 0.0) + top->edge.brlen;
        if (path > diameter) {
            diameter = path;
            end = top->firstChild ? farTip[nodePosition(tree, top)] : top;
        }
    }
    if (!end)
        return nullptr;
    const double half = 0.5 * diameter;
    double acc = 0.0;
    for (TreeNode *n = end; n->anc; n = n->anc) {
        acc += n->edge.brlen;
        if (acc >= half)
            return n;
    }
    return nullptr;
}

TreeNode *findLundbergEdge(Tree *tree, const DataInfo *d, bool showTies, double *bestOut)
{
    const PackedData *pd = packedData(d);
    checkTraversalSeq(tree);
    std::vector<uint64_t> ord(4 * static_cast<size_t>(pd->ordWords)), uno(2 * static_cast<size_t>(pd->unoWords));
    ParsNodeSets edge{};
    edge.ord = ord.data();
    edge.uno = uno.data();
    std::vector<int64_t> stm(pd->stmSets ? pd->stmStride : 0);
    edge.stm = stm.empty() ? nullptr : stm.data();
    const ParsNodeSets *ancestor = static_cast<ParsNodeSets *>(parsPackedNodeRecord(d->pars, 0, 0));
    std::vector<double> lengths(tree->maxNodes, 0.0);
    TreeNode *best = nullptr;
    double bestLen = kNoScore;
    bool tie = false;
    for (TreeNode *n = tree->tail; n && n != tree->root; n = n->prev) {
        double len = 0.0;
        if (d->parsFxns) {
            revSetBin(d, down(n), up(n), false, false, &edge, nullptr);
            len = revLenForConnection(d, ancestor, &edge, false);
        }
        lengths[nodePosition(tree, n)] = len;
        const int cmp = best ? compare(len, bestLen) : -1;
        if (cmp < 0) {
            best = n;
            bestLen = len;
            tie = false;
        } else if (cmp == 0) {
            tie = true;
        }
    }
    if (tie && showTies) {
        qel_printf("\nNote: \bTies found in Lundberg rooting.  The following root locations are equally "
                   "parsimonious:\n\n");
        showLundTies(bestLen, tree, d, lengths.data());
    }
    if (bestOut)
        *bestOut = bestLen;
    return best;
}

void showLundTies(double best, Tree *tree, const DataInfo *data, const double *lengths)
{
    uint32_t width = 12;
    for (TreeNode *n = tree->root; n; n = n->next)
        if (!n->firstChild || n == tree->root)
            width = std::max(width, static_cast<uint32_t>(std::min<size_t>(127, std::strlen(taxLabelForTip(data, n)))));
    char a[128], b[128];
    for (TreeNode *n = tree->root->next; n; n = n->next) {
        if (compare(lengths[nodePosition(tree, n)], best) != 0)
            continue;
        nodeLabel(n->anc, tree, data, a, sizeof a);
        nodeLabel(n, tree, data, b, sizeof b);
        if (n->anc == tree->root)
            qel_printf("%12s <--> %-*s\n", b, static_cast<int>(width), a);
        else
            qel_printf("%12s <--> %-*s\n", a, static_cast<int>(width), b);
    }
}

// ---------------------------------------------------------------------------
// Optimise and root

int optimizeAndRootTree(Tree *tree, DataInfo *data, uint32_t treeNumber, bool showTies, bool skipScore)
{
    forgetLastTreeOptimized();
    const bool pars = parsCriterionActive() && data && data->pars && data->pars->nodeRecs;
    if (pars)
        pointTreeAtPackedData(tree, data);
    checkTraversalSeq(tree);
    makeAllLeafSets(tree);
    const bool rooted = tree->flags & kTreeRootedAtAnc;
    // MinF chooses where the changes go by where the root may be put; a tree
    // already rooted is neither rerooted nor reconstructed under it, but
    // under AccTran, the setting the user is offered for such trees
    // (checkRootingOptimConflicts), so that its branches still carry its
    // length.
    struct OptRestore {
        uint32_t saved = gPars.opt;
        ~OptRestore() { gPars.opt = saved; }
    } restoreOpt;
    if (rooted && gPars.opt == static_cast<uint32_t>(ParsOpt::MinF))
        gPars.opt = static_cast<uint32_t>(ParsOpt::AccTran);
    const bool scoring = data && (data->flags & (kHaveCharacters | kHaveDistances)) && !skipScore;
    double score = kNoScore, length = kNoScore;
    TreeNode *edgeNode = nullptr;
    if (scoring) {
        if (gServices.checkCritRootedness && gServices.checkCritRootedness(rooted, 5) != 0)
            return getAbortedStatus() ? 2 : 1;
        if (pars) {
            zeroAllBranchLengths(tree);
            // The steps score the Dollo and irreversible characters they
            // hold of a tree held at the ancestor, as a search does, where
            // the reconstruction below makes every set afresh (MinF makes
            // none, and reads these).
            std::optional<DolloSearchScope> bySteps;
            if (rooted && gPars.opt != static_cast<uint32_t>(ParsOpt::MinF) && !dolSearchActive(data) &&
                dolStepsFitTree(data, tree))
                bySteps.emplace(data);
            score = calcParsimonyScore(data, tree, true);
            length = packedData(data)->lastLength;
            upAndFinalSets(data, tree);
            if (rooting.rootMethod == kRootLundberg && !rooted)
                edgeNode = findLundbergEdge(tree, data, showTies, nullptr);
        } else if (!gServices.scoreOtherCriterion || !gServices.scoreOtherCriterion(tree, data, &score)) {
            return 1;
        }
        if (getAbortedStatus())
            return 2;
        if (!scoreValid(score))
            return 1;
    }
    bool rootChanged = false;
    if (!rooted) {
        TreeNode *oldRoot = tree->root;
        const uint32_t savedOpt = gPars.opt;
        const bool midpoint = rooting.rootMethod == kRootMidpoint;
        if (midpoint || (pars && gPars.opt == static_cast<uint32_t>(ParsOpt::MinF))) {
            gPars.opt = static_cast<uint32_t>(ParsOpt::MinF);
            if (TreeNode *centre = findTreeCentroid(tree))
                rerootTree(tree, centre, true);
            setTraversalSeq(tree);
            if (pars && scoring)
                optimizeParsimony(data, tree, true);
            if (midpoint)
                edgeNode = findMidpointEdge(tree);
            // The edge is known by its two ends: which one is below the
            // other changes when the tree is held at its old root again.
            TreeNode *edgeAnc = edgeNode ? edgeNode->anc : nullptr;
            rerootTree(tree, oldRoot, true);
            setTraversalSeq(tree);
            if (edgeAnc && edgeAnc->anc == edgeNode)
                edgeNode = edgeAnc;
            gPars.opt = savedOpt;
            // The final reconstruction below adds its changes again.
            if (pars && scoring && savedOpt != static_cast<uint32_t>(ParsOpt::MinF))
                zeroAllBranchLengths(tree);
        }
        if (rooting.rootMethod != kRootOutgroup) {
            if (!edgeNode)
                edgeNode = tree->root->firstChild;
            tree->rootEdgeNode[0] = edgeNode;
            tree->rootEdgeNode[1] = edgeNode->anc;
            gBasalPolytomy = 0;
        } else {
            rootOutgroup(tree, data, showTies);
        }
        if (finalizeRooting(tree, rooting.rootMethod == kRootOutgroup && gBasalPolytomy, false) != 0)
            return 1;
        rootChanged = true;
        if (pars && scoring && gPars.opt == static_cast<uint32_t>(ParsOpt::MinF))
            minfFillBasalNode(data, tree);
    }
    // MinF reconstructed an unrooted tree at its centroid above.
    if (pars && scoring && (rooted || gPars.opt != static_cast<uint32_t>(ParsOpt::MinF)))
        optimizeParsimony(data, tree, rooted || rootChanged);
    if (scoring) {
        rememberLastTreeOptimized(treeNumber, score);
        lastOpt.length = pars ? length : score;
    }
    return 0;
}

int optimizeTreeUsingCurrentSettings(Tree *tree, DataInfo *data, uint32_t treeNumber, bool skipScore)
{
    const int32_t oldLong = setLongOperationStatus(1);
    const int rc = optimizeAndRootTree(tree, data, treeNumber, true, skipScore);
    setLongOperationStatus(oldLong);
    if (getAbortedStatus())
        return 2;
    if (rc)
        return rc;
    if (!tree->root || (!skipScore && haveOptimizedTree(treeNumber) == false && data &&
                        (data->flags & (kHaveCharacters | kHaveDistances))))
        return 1;
    return 0;
}

bool requestChangeToMINF()
{
    const bool yes = userQuery(true, "Midpoint rooting under the parsimony criterion requires MINF optimization.  "
                                     "Do you want to change the optimization setting to MINF?");
    if (yes)
        setParsOpt(static_cast<uint32_t>(ParsOpt::MinF));
    return yes;
}

namespace {

bool onlyOrdUnord(const DataInfo *d)
{
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c))
            continue;
        const uint32_t t = d->status[c] & kCharTypeMask;
        if (t != kCharOrdered && t != kCharUnordered)
            return false;
    }
    return true;
}

bool directedChars(const DataInfo *d) { return directedCharsIncluded(d); }

bool treesRooted()
{
    const TreeBuffer *b = getMainTreeBuffer(nullptr);
    return b && areTreesRooted(b);
}

}  // namespace

namespace {

// MinF reconstructs ordered and unordered characters only; with others
// included the user may take AccTran instead. Whether the answer was yes.
bool changedMinFToAccTran()
{
    if (!userQuery(true, "MINF optimization can be used only when all characters are of type 'ord' or "
                         "'unord'.  Do you want to change the optimization setting to ACCTRAN?"))
        return false;
    setParsOpt(static_cast<uint32_t>(ParsOpt::AccTran));
    return true;
}

}  // namespace

int checkMinFCharTypes(DataInfo *data)
{
    if (!parsCriterionActive() || !data || gPars.opt != static_cast<uint32_t>(ParsOpt::MinF) || onlyOrdUnord(data))
        return 0;
    return changedMinFToAccTran() ? 0 : 1;
}

int checkMinFForTrees(DataInfo *data)
{
    if (treesRooted() && parsCriterionActive() && data && gPars.opt == static_cast<uint32_t>(ParsOpt::MinF))
        return checkRootingOptimConflicts(true, data) != 0 ? 1 : 0;
    return checkMinFCharTypes(data);
}

int checkRootingOptimConflicts(bool interactive, DataInfo *data)
{
    constexpr int kDeclined = ~0;
    const bool rooted = treesRooted();
    // A resampling consensus has no branch lengths of its own to root by,
    // whatever the criterion.
    if (!rooted && isTreeSourceFlagSet(kTreeSourceBootstrap | kTreeSourceJackknife))
        return changeMidLundRooting("is not allowed for bootstrap or jackknife consensus trees") ? kDeclined : 0;
    if (!interactive || !parsCriterionActive() || !data)
        return 0;
    if (gPars.opt == static_cast<uint32_t>(ParsOpt::MinF)) {
        if (!onlyOrdUnord(data)) {
            if (!changedMinFToAccTran())
                return kDeclined;
            if (rooted)
                return 0;
        } else if (rooted) {
            if (!userQuery(true, "MINF optimization is not permitted on rooted trees.  Do you want to change the "
                                 "optimization setting to ACCTRAN?"))
                return kDeclined;
            setParsOpt(static_cast<uint32_t>(ParsOpt::AccTran));
            return 0;
        }
    } else if (rooted) {
        return 0;
    }
    if (rooting.rootMethod == kRootLundberg && directedChars(data))
        return changeMidLundRooting("cannot be used when directed character types are in effect") ? kDeclined : 0;
    if (rooting.rootMethod != kRootMidpoint)
        return 0;
    if (!onlyOrdUnord(data))
        return changeMidLundRooting("can be used only when all characters are of type 'ord' or 'unord") ? kDeclined
                                                                                                         : 0;
    if (gPars.opt != static_cast<uint32_t>(ParsOpt::MinF) && !requestChangeToMINF())
        return kDeclined;
    return 0;
}

// ---------------------------------------------------------------------------
// The last optimised tree

void rememberLastTreeOptimized(uint32_t treeNumber, double score) { lastOpt = {score, treeNumber, score}; }
void forgetLastTreeOptimized() { lastOpt = {}; }
uint32_t getLastTreeOptimized() { return lastOpt.treeNumber; }
double getLastTreeScore() { return lastOpt.score; }
double getLastTreeLength() { return lastOpt.length; }
bool haveOptimizedTree(uint32_t treeNumber)
{
    return lastOpt.treeNumber == treeNumber && treeNumber != 0 && scoreValid(lastOpt.score);
}

namespace {

// The user's ancestor by name; null for the built-in all-missing one, which
// Lundberg rooting cannot use and descriptions call "standard".
const char *currentAncestorName()
{
    const Nexset *a = gNexsets.curAncestor;
    if (!a || a == &gNexsets.builtins[kBuiltinStandard])
        return nullptr;
    return getNexsetName(a);
}

}  // namespace

int installOptimizeServices()
{
    ParsServices p = parsServices();
    p.ancestorSetName = currentAncestorName;
    installParsServices(p);
    setAncStatesNameFxn(currentAncestorName);
    // The packed ancestor is read by Lundberg rooting and by reconstructions
    // of trees rooted above their basal fork, not only by lengths that
    // include it: a change of ancestor always repacks, or those would use
    // the ancestor chosen before.
    DataServices ds{};
    ds.parsIncludeAnc = [] { return true; };
    ds.isAsymmetricUserType = [](uint32_t c, const DataInfo *d) {
        return (d->status[c] & kCharTypeMask) == kCharUserType && d->userTypes && d->userTypes[c] &&
               d->userTypes[c]->asymmetric != 0;
    };
    const int status = installDataServices(ds);

    RootingServices r = rootingServices();
    r.optimizeAndRoot = [](Tree *tree, DataInfo *data, uint32_t n, bool showNote, bool userBrLens) {
        return optimizeAndRootTree(tree, data, n, showNote, userBrLens);
    };
    r.prepareData = [](DataInfo *data) { return prepareParsimonyData(data); };
    r.checkOptimConflicts = checkRootingOptimConflicts;
    r.checkMinFCharTypes = checkMinFForTrees;
    r.parsimonyCriterion = parsCriterionActive;
    r.directedCharsIncluded = directedChars;
    r.onlyOrdUnordIncluded = onlyOrdUnord;
    r.standardAncestor = usingStdAncestor;
    setRootingServices(&r);
    setDrawOptimizeFxn(optimizeTreeUsingCurrentSettings);
    return status;
}
