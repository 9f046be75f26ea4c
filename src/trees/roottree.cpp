#include "trees/roottree.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "data/prepdata.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_progress.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"

uint8_t gCouldNotRootMonophyletic = 0;
uint8_t gBasalPolytomy = 0;

namespace {

RootingServices gServices{};

void forgetLastTree()
{
    if (const TreeDataHooks &h = treeDataHooks(); h.forgetLastTreeOptimized)
        h.forgetLastTreeOptimized();
}

bool mustUseUserLengths()
{
    const TreeDataHooks &h = treeDataHooks();
    return h.mustUseUserBranchLens && h.mustUseUserBranchLens();
}

bool isTaxonTip(const Tree *tree, const TreeNode *n)
{
    // The tip a tree is held at has a child: the index tells.
    return n->index >= 0 && static_cast<uint32_t>(n->index) < tree->tipBound;
}

SpeciesOutgroupFxn gSpeciesOutgroup = nullptr;

bool isOutgroup(const TreeNode *tip, const DataInfo *data)
{
    // The tips of species trees are species, each in the outgroup through
    // its lineages.
    if (gSpeciesOutgroup && areTreesSpeciesTrees())
        return gSpeciesOutgroup(static_cast<uint32_t>(tip->index), data);
    return data && isOutgroupTip(static_cast<uint32_t>(tip->index), data);
}

// Greatest sum of edge lengths from node down to one of its leaves.
double longestPathDown(const TreeNode *node)
{
    double best = 0.0;
    for (const TreeNode *c = node->firstChild; c; c = c->nextSib)
        best = std::max(best, c->edge.brlen + longestPathDown(c));
    return best;
}

const char *methodName(uint32_t method)
{
    return method == kRootLundberg ? "Lundberg" : method == kRootMidpoint ? "midpoint" : "outgroup";
}

bool haveCharacterData(const DataInfo *data) { return data && (data->flags & kHaveCharacters); }

}  // namespace

void setSpeciesOutgroupFxn(SpeciesOutgroupFxn fxn) { gSpeciesOutgroup = fxn; }

void setRootingServices(const RootingServices *services) { gServices = services ? *services : RootingServices{}; }
const RootingServices &rootingServices() { return gServices; }

// ---------------------------------------------------------------------------
// Outgroup rooting

void rootOutgroup(Tree *tree, const DataInfo *data, bool showNote)
{
    checkTraversalSeq(tree);
    std::vector<TreeNode *> tips;
    for (TreeNode *p = tree->root; p; p = p->next)
        if (isTaxonTip(tree, p))
            tips.push_back(p);
    std::sort(tips.begin(), tips.end(), [](const TreeNode *a, const TreeNode *b) { return a->index < b->index; });
    uint32_t nOut = 0;
    TreeNode *firstOut = nullptr;
    for (TreeNode *t : tips)
        if (isOutgroup(t, data)) {
            nOut++;
            firstOut = firstOut ? firstOut : t;
        }
    if (tips.empty())
        return;
    const bool noSplit = nOut == 0 || nOut == tips.size();
    TreeNode *rootTip = noSplit ? tips.front() : firstOut;
    gBasalPolytomy = noSplit || nOut == 1 ? rooting.forcePolyt : rooting.outRoot == kOutRootPolytomy;

    rerootTree(tree, rootTip, true);
    setTraversalSeq(tree);
    // Without a split of the taxa the ingroup is everything but the root tip.
    const auto inIngroup = [&](const TreeNode *t) { return noSplit ? t != rootTip : !isOutgroup(t, data); };
    const uint32_t nIn = noSplit ? static_cast<uint32_t>(tips.size() - 1) : static_cast<uint32_t>(tips.size()) - nOut;

    std::vector<uint32_t> inBelow(tree->maxNodes, 0), leavesBelow(tree->maxNodes, 0);
    TreeNode *ingroupNode = nullptr;
    for (TreeNode *p = tree->tail; p && p != tree->root; p = p->prev) {
        const uint32_t k = nodePosition(tree, p);
        if (!p->firstChild) {
            leavesBelow[k] = 1;
            inBelow[k] = inIngroup(p) ? 1 : 0;
        } else {
            for (TreeNode *c = p->firstChild; c; c = c->nextSib) {
                leavesBelow[k] += leavesBelow[nodePosition(tree, c)];
                inBelow[k] += inBelow[nodePosition(tree, c)];
            }
        }
        if (!ingroupNode && nIn > 0 && inBelow[k] == nIn)
            ingroupNode = p;
    }
    if (!ingroupNode)
        ingroupNode = tree->root->firstChild;
    if (leavesBelow[nodePosition(tree, ingroupNode)] > nIn && nOut > 1 && !noSplit) {
        if (showNote)
            qel_printf("\nNote: Tree can not be rooted such that specified ingroup is monophyletic.\n");
        gCouldNotRootMonophyletic = 1;
    }

    TreeNode *first = ingroupNode, *second = ingroupNode->anc;
    if (rooting.outRoot == kOutRootParaphyletic && !noSplit) {
        first = tree->root->firstChild;
        second = tree->root;
    }
    if (gBasalPolytomy && first == tree->root->firstChild && !first->nextSib) {
        first = tree->root;
        second = tree->root->firstChild;
    }
    if (second != tree->root)
        rerootTree(tree, second, true);
    tree->rootEdgeNode[0] = first;
    tree->rootEdgeNode[1] = second;
}

int finalizeRooting(Tree *tree, bool basalPolytomy, bool setLengths)
{
    TreeNode *first = tree->rootEdgeNode[0], *second = tree->rootEdgeNode[1];
    if (!first || !second)
        return 1;
    if (second != tree->root && rerootTree(tree, second, true) != 0)
        return 1;
    const uint32_t leaves = countLeaves(tree);
    if (isDegreeTwoRoot(tree->root) && first->anc == tree->root) {
        // The root already splits the edge from first to the rest (the one
        // edge of a two-taxon tree): a new node there would leave the old
        // root with a single child, a tree no buffer can hold.
    } else if (basalPolytomy && (first->firstChild || leaves != 2)) {
        // The root is the existing node: a polytomy at the base.
    } else {
        TreeNode *hub = findFreeNode(tree);
        if (!hub || rerootAlongInternalEdge(tree, first, hub) != 0)
            return 1;
    }
    if (tree->slots)
        resetABMPtrs(tree);
    if (setLengths)
        setBrlensForRootChildren(tree, true, true);
    orderTree(tree, kOrderByLowestTaxon, nullptr);
    setTraversalSeq(tree);
    return 0;
}

void setBrlensForRootChildren(Tree *tree, bool distribute, bool store)
{
    if (tree->flags & kTreeRootedAtAnc)
        return;
    TreeNode *first = tree->rootEdgeNode[0], *second = tree->rootEdgeNode[1];
    if (!first || !second)
        return;
    tree->rootEdgeLen[0] = first->edge.brlen;
    tree->rootEdgeLen[1] = second->edge.brlen;
    const double total = tree->rootEdgeLen[0] + tree->rootEdgeLen[1];
    const bool polytomy = rooting.rootMethod == kRootOutgroup && gBasalPolytomy;
    if (distribute && !polytomy && total > 0.0) {
        tree->rootEdgeLen[0] = distributeBasalBranchLength(first, second, total);
        tree->rootEdgeLen[1] = total - tree->rootEdgeLen[0];
    }
    if (store) {
        first->edge.brlen = tree->rootEdgeLen[0];
        second->edge.brlen = tree->rootEdgeLen[1];
    }
}

double distributeBasalBranchLength(const TreeNode *left, const TreeNode *right, double total)
{
    const double a = longestPathDown(left), b = longestPathDown(right);
    const double m = 0.5 * (total + a + b);
    if (a >= m)
        return 0.2 * total;
    if (b >= m)
        return 0.8 * total;
    return total - (m - b);
}

int rootTree(Tree *tree, DataInfo *data, uint32_t treeNumber, bool showNote, bool skipMethod, bool userBrLens)
{
    forgetLastTree();
    const uint32_t method = rooting.rootMethod;
    if (method != kRootOutgroup && !skipMethod) {
        const bool onUserLengths = method == kRootMidpoint && (userBrLens || mustUseUserLengths());
        // Midpoint rooting measures the lengths the current criterion fits
        // (a distance fit needs its matrix, which only that criterion's
        // preparation makes); Lundberg rooting is parsimony's own.
        const bool pars = !gServices.parsimonyCriterion || gServices.parsimonyCriterion();
        if (!onUserLengths && method == kRootMidpoint && !pars) {
            if (int rc = prepareData(kPrepCurrentCriterion, 0, false))
                return rc;
        } else if (!onUserLengths && gServices.prepareData) {
            if (int rc = gServices.prepareData(data))
                return rc;
        }
        if (!gServices.optimizeAndRoot)
            return qel_errorMsg(0, "%s rooting is not available in this configuration.",
                                method == kRootLundberg ? "Lundberg" : "Midpoint");
        if (int rc = gServices.optimizeAndRoot(tree, data, treeNumber, showNote, userBrLens))
            return rc;
        if (onUserLengths)
            setBrlensForRootChildren(tree, true, false);
        return 0;
    }
    rootOutgroup(tree, data, showNote);
    if (finalizeRooting(tree, gBasalPolytomy, userBrLens) != 0)
        return qel_errorMsg(0, "Tree %u could not be rooted: no free node for the root.", treeNumber);
    return 0;
}

// ---------------------------------------------------------------------------
// Choosing a method

int changeMidLundRooting(const char *text)
{
    while (rooting.rootMethod == kRootLundberg || rooting.rootMethod == kRootMidpoint) {
        const char *name = rooting.rootMethod == kRootMidpoint ? "Midpoint" : "Lundberg";
        if (!userQuery(false, "%s rooting %s.  Do you want to change the rooting setting to outgroup?", name, text))
            return 1;
        rooting.rootMethod = kRootOutgroup;
    }
    return 0;
}

OutgroupRootingScope::OutgroupRootingScope() : saved_(rooting.rootMethod) { rooting.rootMethod = kRootOutgroup; }

OutgroupRootingScope::~OutgroupRootingScope() { rooting.rootMethod = saved_; }

int checkRootingOption(DataInfo *data, bool notParsimony, bool branchLengthsWanted, bool checkConflicts,
                       bool conflictArg)
{
    const TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const bool rooted = buf && areTreesRooted(buf);
    auto useOutgroup = [](const char *question) {
        if (!userQuery(true, "%s", question))
            return 1;
        rooting.rootMethod = kRootOutgroup;
        forgetLastTree();
        return 0;
    };
    if (!rooted && rooting.rootMethod == kRootMidpoint) {
        const bool userLens = branchLengthsWanted && (mustUseUserLengths() || rooting.userBrLens);
        if (userLens && !haveUserBranchLengths())
            return qel_errorMsg(742, "No user-input branch lengths are available for midpoint rooting."), 1;
        if (!haveCharacterData(data) && !haveUserBranchLengths() &&
            useOutgroup("Cannot midpoint-root without branch length information.  OK to use outgroup rooting "
                        "instead?"))
            return 1;
    }
    if (!rooted && rooting.rootMethod == kRootLundberg) {
        const bool pars = gServices.parsimonyCriterion && gServices.parsimonyCriterion();
        if ((notParsimony || !haveCharacterData(data) || !pars) &&
            useOutgroup("Lundberg rooting is permitted only under parsimony criterion. OK to use outgroup rooting "
                        "instead?"))
            return 1;
    }
    const bool pars = gServices.parsimonyCriterion && gServices.parsimonyCriterion();
    if (!rooted && rooting.rootMethod != kRootOutgroup && pars && haveCharacterData(data)) {
        if (gServices.prepareData && gServices.prepareData(data) != 0)
            return 1;
        if (rooting.rootMethod == kRootLundberg) {
            if (gServices.directedCharsIncluded && gServices.directedCharsIncluded(data) &&
                useOutgroup("Lundberg rooting is not permitted when directed characters are in effect.  OK to use "
                            "outgroup rooting instead?"))
                return 1;
            if (rooting.rootMethod == kRootLundberg && gServices.standardAncestor && gServices.standardAncestor() &&
                useOutgroup("Lundberg rooting is not permitted when the current ancestor is \"standard\" "
                            "(all-missing).  OK to use outgroup rooting instead?"))
                return 1;
        } else if (gServices.onlyOrdUnordIncluded && !gServices.onlyOrdUnordIncluded(data) &&
                   useOutgroup("Midpoint rooting is permitted only when all characters are of type 'ord' or "
                               "'unord'.  OK to use outgroup rooting instead?")) {
            return 1;
        }
    }
    if (checkConflicts && gServices.checkOptimConflicts && gServices.checkOptimConflicts(conflictArg, data) != 0)
        return 1;
    return 0;
}

// ---------------------------------------------------------------------------
// RootTrees and DerootTrees

uint32_t decimalsFor(double v)
{
    constexpr uint32_t kMostDecimals = 6;
    double scaled = std::fabs(v);
    for (uint32_t d = 0; d < kMostDecimals; d++, scaled *= 10.0)
        if (std::fabs(scaled - std::round(scaled)) <= 1e-9 * std::max(1.0, scaled))
            return d;
    return kMostDecimals;
}

namespace {

// Carries one slot's name, weight and (when kept) branch lengths over.
int storeConverted(TreeBuffer *from, uint32_t n, Tree *tree, TreeBuffer *to, bool withLengths)
{
    const uint32_t k = putTree(tree, to, false);
    if (k == 0 || isPutTreeFull(k))
        return 1;
    // The whole name: a name held as the buffer's prefix and a number has no
    // stored text, and the number would be lost ("f1" becoming "f").
    const std::string name = haveTreeNames(from) ? getTreeName(from, n) : std::string();
    if (!name.empty() && storeTreeName(to, name.c_str(), k - 1) != 0)
        return 1;
    if (from->weights && storeTreeWt(to, k - 1, from->weights[n - 1]) != 0)
        return 1;
    // Sharing the basal length makes new values ("2" split as 1.6 and 0.4):
    // they are written with the decimals they need.
    const uint32_t decimals = std::max({getMaxBranchLenDecimals(from), decimalsFor(tree->rootEdgeLen[0]),
                                        decimalsFor(tree->rootEdgeLen[1])});
    if (withLengths && storeBranchLengths(to, tree, k - 1, true, decimals) != 0)
        return 1;
    return 0;
}

}  // namespace

int rootDeroot(bool wantRooted, DataInfo *data)
{
    // The command has been read through its semicolon: nothing of it is
    // left to skip, and skipping would take the next command.
    if (int rc = noTreesAvailable(true, 0, nullptr); rc != 0)
        return rc;
    if (isTreeFilterActive())
        return qel_errorMsg(741, "You cannot root/deroot trees while a tree filter is in effect."), 1;
    // A method the criterion or the data cannot apply is settled with the
    // user (or refused) before any tree is touched, as for the commands that
    // root trees only to show them.
    // Midpoint rooting on the user's lengths, or with no characters to
    // reconstruct, runs no parsimony optimisation: nothing to settle with
    // the optimisation setting then.
    const bool onUserLengths = rooting.rootMethod == kRootMidpoint && haveUserBranchLengths() &&
                               (rooting.userBrLens || mustUseUserLengths());
    const bool askConflicts = haveCharacterData(data) && !onUserLengths;
    if (wantRooted && checkRootingOption(data, false, true, true, askConflicts) != 0)
        return 1;
    return rootOrDerootTrees(wantRooted, data);
}

int rootOrDerootTrees(bool wantRooted, DataInfo *data)
{
    TreeBuffer *main = getMainTreeBuffer(nullptr);
    if (!main)
        return 1;
    const uint32_t count = main->numTrees;
    const bool keepSupport = haveTreeSupportValues(main);
    const bool userLens = haveUserBranchLengths() && (!wantRooted || rooting.userBrLens || mustUseUserLengths());
    TreeBufferHandle fresh(
        createTreeBuffer(main->ntax, std::max(main->capacity, count), main->weights != nullptr,
                         main->scores != nullptr, main->explicitNames != 0));
    TreeHandle tree(createTreeForTaxa(main->ntax, main->ntax, true));
    if (!fresh || !tree)
        return 1;
    setTreenamePrefix(fresh.get(), main->namePrefix, false);
    if (wantRooted)
        gCouldNotRootMonophyletic = 0;
    // Many trees (each rooted by a fit of its lengths, perhaps) make a long
    // task the user can follow and stop.
    struct ProgressScope {
        ProgData *record = nullptr;
        ~ProgressScope()
        {
            destroyProgressWindow(record);
            clearStatusText();
        }
    } progress;
    if (count >= 2)
        progress.record = createProgressWindow(count, 0, wantRooted ? "Rooting trees" : "Derooting trees");
    setStatusText("%s", wantRooted ? "Rooting trees..." : "Derooting trees...");
    // The trees are converted into a fresh buffer that replaces the main one
    // only once every tree converted: a failure or an abort leaves the trees
    // in memory, and their rootedness, as they were.
    for (uint32_t n = 1; n <= count; n++) {
        if (getAbortedStatus() != 0 && confirmAbortRequest())
            return 2;
        if (getTree(main, n, tree.get()) != 0)
            return 1;
        if (wantRooted) {
            if (int rc = rootTree(tree.get(), data, n, false, false, userLens))
                return rc;
            // The tree is stored with the lengths the rooting shared out
            // between the two root edges, as SaveTrees writes them, not
            // with the whole basal length left on one side.
            if (userLens && rooting.rootMethod == kRootMidpoint)
                setBrlensForRootChildren(tree.get(), true, true);
            TreeNode *anc = tree->nodes;
            TreeNode *top = tree->root;
            anc->firstChild = top;
            anc->nextSib = anc->anc = nullptr;
            top->anc = anc;
            top->nextSib = nullptr;
            top->edge.brlen = 0.0;
            tree->root = anc;
            tree->flags |= kTreeRootedAtAnc;
            afterTreeChange(tree.get());
            setTraversalSeq(tree.get());
        } else if (derootTree(tree.get(), nullptr, keepSupport || userLens) != 0) {
            return qel_errorMsg(0, "Tree %u could not be derooted.", n), 1;
        } else {
            setTraversalSeq(tree.get());
        }
        if (storeConverted(main, n, tree.get(), fresh.get(), userLens) != 0)
            return 1;
        if (progress.record && incrementProgressValue(progress.record) == kProgressAborted && confirmAbortRequest())
            return 2;
    }
    fresh->rooted = wantRooted ? 1 : 0;
    finishNames(fresh.get());
    TreeBuffer *old = main;
    // Labels and outgroup of trees read without a data set move across.
    std::swap(fresh->labels, old->labels);
    std::swap(fresh->outgroup, old->outgroup);
    const bool active = getActiveTreeBuffer() == old;
    setMainTreeBuffer(fresh.release());
    if (active)
        setActiveTreeBuffer(getMainTreeBuffer(nullptr));
    destroyTreeBuffer(old);
    forgetLastTree();
    // Trees rooted without their user lengths no longer carry them: a later
    // request for the user's lengths is refused rather than met with zeros.
    if (wantRooted && !userLens)
        setHaveUserBranchLengths(false);
    if (wantRooted) {
        qel_printf("\n%u %s converted from unrooted to rooted using %s method\n", count, count == 1 ? "tree" : "trees",
                   methodName(rooting.rootMethod));
        if (gCouldNotRootMonophyletic)
            qel_warningMsg(731, "One or more trees could not be rooted such that specified ingroup was monophyletic.");
    } else {
        qel_printf("\n%u %s converted from rooted to unrooted.\n", count, count == 1 ? "tree" : "trees");
    }
    return 0;
}

namespace {

int rootOrDerootCmd(bool wantRooted)
{
    if (wantRooted) {
        if (getCmdParams(OptionSet::kRootTrees, ";", nullptr) <= 0)
            return 1;
    } else if (readSemicolon() != 0) {
        return 1;
    }
    DataInfo *data = activeDataInfo();
    const TreeBuffer *main = getMainTreeBuffer(nullptr);
    if (main && main->numTrees > 0 && areTreesRooted(main) == wantRooted) {
        const char *state = wantRooted ? "rooted" : "unrooted";
        if (inBatchInputMode()) {
            qel_printf("\nTrees in memory are already %s; %s command ignored.\n", state,
                       wantRooted ? "RootTrees" : "DerootTrees");
            return 0;
        }
        if (wantRooted)
            return qel_errorMsg(719, "Trees in memory are already rooted.\tRooting of trees is permitted only when "
                                     "current trees are unrooted."),
                   1;
        return qel_errorMsg(718, "Trees in memory are already unrooted.\tDerooting of trees is permitted only when "
                                 "current trees are rooted."),
               1;
    }
    return rootDeroot(wantRooted, data);
}

}  // namespace

int doRootTreesCmd() { return rootOrDerootCmd(true); }
int doDerootTreesCmd() { return rootOrDerootCmd(false); }
