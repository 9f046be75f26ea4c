#include "parsimony/charplot.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/chartaxlist.h"
#include "data/data_services.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "parsimony/lenrange.h"
#include "parsimony/optimize.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "trees/drawtree.h"
#include "trees/treebuf_extras.h"
#include "trees/roottree.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

CharPlotLikelihoodHooks gLik{};

struct PlotRun {
    DataInfo *data = nullptr;
    int mode = kCharPlotReconstruct;
    bool lik = false;
    bool single = false;
    std::vector<uint32_t> trees;  // 1-based
    std::vector<uint32_t> chars;
};

thread_local bool gShowMPRSets = false;
thread_local bool gShowLikStates = false;
// The drawing works on its own copy of the tree: its nodes are matched to the
// optimised tree's by node index (ancestor -1 at slot 0).
thread_local std::vector<const TreeNode *> gPlottedNodes;

void indexPlottedTree(const Tree *tree)
{
    gPlottedNodes.assign(tree->maxNodes + 1, nullptr);
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        const TreeNode *n = tree->nodes + p;
        if (n->index + 1 >= 0 && static_cast<uint32_t>(n->index + 1) < gPlottedNodes.size())
            gPlottedNodes[static_cast<size_t>(n->index + 1)] = n;
    }
}

const char *plotStateString(const TreeNode *drawn, uint32_t c, const DataInfo *d)
{
    thread_local char buf[256];
    const size_t at = static_cast<size_t>(drawn->index + 1);
    const TreeNode *n = at < gPlottedNodes.size() && gPlottedNodes[at] ? gPlottedNodes[at] : drawn;
    const bool tip = isActiveTaxonIndex(d, n->index) && !n->firstChild;
    if (gShowLikStates && !tip) {
        const int64_t set = gLik.stateOf(d, n, c);
        return set < 0 ? nullptr : stateString(static_cast<uint64_t>(set), d->symbols, buf);
    }
    if (tip)
        return tipStateString(getXijAsBits(d, n->index, c, nullptr), d->symbols, n->index, c, false, d, buf);
    // The hypothetical ancestor that a rooted tree hangs from is given no
    // final set: it holds its own cell, the set it was packed with, in both
    // plots.
    const bool ancestor = !n->anc && n->firstChild && !n->firstChild->nextSib;
    const StateSetSlot *slot = n->abm[gShowMPRSets && !ancestor ? 2 : 0];
    if (!slot || !slot->states)
        return nullptr;
    return stateString(getStatesOrMPRset(d, n, c, gShowMPRSets && !ancestor), d->symbols, buf);
}

const char *charName(const DataInfo *d, uint32_t c, char (&buf)[64])
{
    const char *label = getCharLabel(d, c);
    if (!label || std::strcmp(label, "-") == 0)
        std::snprintf(buf, sizeof buf, "%u", c + 1);
    else
        std::snprintf(buf, sizeof buf, "%s", label);
    return buf;
}

bool isExcludedChar(const DataInfo *d, uint32_t c) { return (d->status[c] & (kCharExcluded | kCharEliminated)) != 0; }

// Under likelihood the tree is scored with its branch lengths optimised,
// rooted for the drawing and then reconstructed: 0, 1 failed, 2 stopped.
int prepareLikelihoodTree(Tree *tree, DataInfo *d, uint32_t n)
{
    if (gLik.score(tree) >= 1e37)
        return getAbortedStatus() ? 2 : 1;
    if (!(tree->flags & kTreeRootedAtAnc))
        if (const int rc = rootTree(tree, d, n, false, false, true))
            return rc;
    setTraversalSeq(tree);
    if (const int rc = gLik.reconstruct(tree, d)) {
        if (rc == 1)
            qel_errorMsg(0, "The likelihood reconstruction could not be made on this tree.");
        return rc == 2 ? 2 : 1;
    }
    return 0;
}

// The probability of the reconstruction drawn beside the site likelihood.
void showReconProbability(const DataInfo *d, uint32_t c)
{
    double logRecon = 0.0, logSite = 0.0;
    if (!gLik.siteProbs(d, c, &logRecon, &logSite))
        return;
    const double ratio = logSite > -1e299 ? std::exp(logRecon - logSite) : 0.0;
    qel_printf("\n  \bRelative probability of this%s reconstruction = %.5e/%.5e = %.5f\n",
               gLik.joint() ? "" : " (joint)", std::exp(logRecon), std::exp(logSite), ratio);
}

int charPlotOutputProc(void *arg)
{
    auto &run = *static_cast<PlotRun *>(arg);
    DataInfo *d = run.data;
    const bool mpr = run.mode == kCharPlotMPRSets;
    TreeHandle tree(createTree(true));
    if (!tree)
        return 1;
    gShowMPRSets = mpr;
    gShowLikStates = run.lik;
    setDrawStateStringFxn(plotStateString);
    int result = 0;
    for (uint32_t n : run.trees) {
        if (getTree(nullptr, n, tree.get()) != 0)
            return 1;
        if (run.lik) {
            if (const int rc = prepareLikelihoodTree(tree.get(), d, n)) {
                result = rc;
                break;
            }
        } else if (const int rc = updateLengthBounds(tree.get(), d)) {
            result = rc;
            break;
        }
        if (!run.lik && prepTreeForDrawing(tree.get(), d, n, true, true, true, false, false, nullptr) != 0) {
            result = 1;
            break;
        }
        checkTraversalSeq(tree.get());
        indexPlottedTree(tree.get());
        bool skipped = false;
        for (uint32_t c : run.chars) {
            char name[64];
            if (isExcludedChar(d, c)) {
                if (run.single) {
                    char word[32];
                    std::snprintf(word, sizeof word, "%s",
                                  (d->status[c] & kCharEliminated) ? "\"eliminated\"" : "excluded");
                    qel_errorMsg(416, "Cannot plot %s for %s character %s.",
                                 mpr ? "MPR-sets" : "reconstructed character states", word, charName(d, c, name));
                    result = 1;
                    break;
                }
                skipped = true;
                continue;
            }
            if (mpr)
                qel_printf("\nPossible state assignments (MPR-sets) for character %s on tree %u:\n",
                           charName(d, c, name), n);
            else
                qel_printf("\nEstimated states for character %s on tree %u%s:\n", charName(d, c, name), n,
                           !run.lik         ? ""
                           : gLik.joint() ? " (joint estimation)"
                                          : " (marginal estimation)");
            drawTree(tree.get(), kDrawCharPlot, c, true, d);
            if (run.lik)
                showReconProbability(d, c);
            if (getAbortedStatus() != 0 && confirmAbortRequest()) {
                result = 2;
                break;
            }
        }
        if (skipped)
            qel_printf("\nNOTE: Excluded characters not plotted.\n");
        if (result != 0)
            break;
    }
    setDrawStateStringFxn(nullptr);
    gShowLikStates = false;
    return result;
}

}  // namespace

void installCharPlotLikelihoodHooks(const CharPlotLikelihoodHooks &hooks) { gLik = hooks; }

int charPlot(int mode, const char *commandName)
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    const bool mpr = mode == kCharPlotMPRSets;
    const int criterion = dataServices().criterion ? dataServices().criterion() : kCriterionParsimony;
    if (mpr && criterion != kCriterionParsimony)
        return qel_errorMsg(753, "The %s command is available only when optimality criterion is parsimony.",
                            commandName),
               1;
    if (!mpr && criterion != kCriterionParsimony && criterion != kCriterionLikelihood)
        return qel_errorMsg(752, "The %s command is available only when optimality criterion is parsimony or "
                                 "likelihood.",
                            commandName),
               1;
    const bool lik = criterion == kCriterionLikelihood;
    if (lik && (gLik.prepare == nullptr || gLik.prepare(d) != 0))
        return 1;
    if (!lik && (checkCharStatusUpdate(d) != 0 || checkParsimonySettings(d) != 0 || prepareParsimonyData(d) != 0))
        return 1;
    if (noTreesAvailable(true, 0, nullptr) != 0)
        return 1;
    const uint32_t inMemory = numTreesInMainBuffer();
    // A rooted tree needs two taxa to carry a change, an unrooted one three.
    const bool rooted = areTreesRooted(getMainTreeBuffer(nullptr));
    if (checkMinTaxa(rooted ? 2 : 3, mpr ? "MPR-sets for " : "Character-state reconstructions for ",
                     rooted ? "rooted trees" : "unrooted trees") != 0)
        return 1;
    // The selection of characters is kept between commands; an empty list
    // plots the characters chosen before.
    SetHandle listed(allocSet(d->nchar));
    if (!listed || !d->plotWork)
        return 1;
    if (readCharList(d, ";/", listed.get(), nullptr, false, nullptr) != 0)
        return 1;
    const int next = readNextDarkChar(nullptr);
    if (next != ';' && next != '/')
        return qel_errorMsg(411, "Invalid character list."), 1;
    Set *treeList = treeSets[kCharPlotTreeSet];
    SetHandle savedTrees(treeList ? allocSet(treeList->capacity) : nullptr);
    if (treeList && savedTrees)
        copySet(treeList, savedTrees.get());
    if (next == '/' && getCmdParams(mpr ? OptionSet::kMPRSets : OptionSet::kReconstruct, ";", nullptr) <= 0) {
        if (treeList && savedTrees)
            copySet(savedTrees.get(), treeList);
        return 1;
    }
    // The options may have asked for MinF.
    if (!lik && checkMinFForTrees(d) != 0)
        return 1;
    if (!isSetEmpty(listed.get()))
        copySet(listed.get(), d->plotWork);
    if (isSetEmpty(d->plotWork))
        return qel_errorMsg(415, "No character(s) specified."), 1;

    PlotRun run;
    run.data = d;
    run.mode = mode;
    run.lik = lik;
    for (uint32_t c = 0; c < d->nchar; c++)
        if (isSetMember(d->plotWork, c))
            run.chars.push_back(c);
    run.single = run.chars.size() == 1;
    treeList = treeSets[kCharPlotTreeSet];
    for (uint32_t k = 0; k < inMemory; k++)
        if (treeList && isSetMember(treeList, k))
            run.trees.push_back(k + 1);
    if (run.trees.empty())
        run.trees.push_back(1);
    const int rc = runOutputThread(charPlotOutputProc, &run);
    if (rc == 2)
        setAbortedStatus(0);
    return rc;
}

int doChgPlotCmd() { return charPlot(kCharPlotReconstruct, "Reconstruct"); }
int doPossPlotCmd() { return charPlot(kCharPlotMPRSets, "MPRSets"); }
