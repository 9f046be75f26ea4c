#include "distance/cluster_cmd.h"

#include <memory>
#include <string>

#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/data_util.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "distance/dcalc.h"
#include "distance/distance_settings.h"
#include "distance/dmatrix.h"
#include "distance/dset.h"
#include "distance/nj.h"
#include "parsimony/lenrange.h"
#include "parsimony/optimize.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_progress.h"
#include "qel/qel_time.h"
#include "search/bootjack.h"
#include "search/critscore.h"
#include "search/describetrees.h"
#include "search/hsprep.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "trees/constr.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/savetree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

// Tree-source codes of the trees in memory.
constexpr uint32_t kSourceNJ = 4;
constexpr uint32_t kSourceUPGMA = 5;
// Special-tree numbers of the kept copies.
constexpr uint32_t kSpecialNJ = 9;
constexpr uint32_t kSpecialUPGMA = 10;

std::string methodName(const ClustData *cd, bool capital)
{
    if (cd->method == kClustNJ && clust.BioNJ)
        return "BioNJ";
    return searchTypeString(cd->method, capital);
}

// The tree file: a TREES block with the distance settings as a comment and
// the one tree with its lengths.
int writeClusterTreefile(ClustData *cd, AuxOut *aux)
{
    const bool upgmaTree = cd->method == kClustUPGMA;
    // The file holds the tree with the lengths shown: a copy of the NJ tree
    // held as the criterion rooted it is written unrooted.
    TreeHandle copy(createTree(true));
    if (!copy)
        return 1;
    if (copyTree(cd->tree, copy.get()) != 0)
        return 1;
    if (!upgmaTree) {
        // The basal fork of the rooting goes; its two edges become one.
        TreeNode *x = copy->root->firstChild;
        TreeNode *y = x ? x->nextSib : nullptr;
        if (y && !y->nextSib) {
            TreeNode *inner = y->firstChild ? y : x->firstChild ? x : nullptr;
            TreeNode *other = inner == y ? x : y;
            if (inner) {
                other->edge.brlen += inner->edge.brlen;
                if (contractInternalEdge(copy.get(), inner) != 0)
                    return 1;
                setTraversalSeq(copy.get());
            }
        }
    }
    auxPutTreesBlkCmd(false, false, cd->data);
    auxPuts("[!\n");
    showDistSettings(false, false, true, auxPrintf);
    auxPuts("]\n");
    auxPuts(upgmaTree ? "tree upgma = [&R] " : "tree nj = [&U] ");
    outputTreeDescription(copy.get(), false, kDescrBrlens, false, false, ',', static_cast<uint32_t>(dist.precision),
                          nexusTreeLabel, cd->data);
    auxPuts(";\nend;\n");
    const std::string shown = auxPathnameForDisplay(aux, 255);
    if (closeAuxOutStream(aux) != 0)
        return 1;
    qel_printf("\n%s tree written to treefile: %s\n", methodName(cd, true).c_str(), shown.c_str());
    setTreesAreSaved(true);
    return 0;
}

// Whether the current criterion can fit the tree's lengths from the data in
// hand: characters for parsimony and likelihood, either for distance.
bool criterionCanFit(const DataInfo *d)
{
    const bool chars = (d->flags & kHaveCharacters) != 0;
    return gCriterion == static_cast<uint32_t>(kCriterionDistance) ? chars || (d->flags & kHaveDistances) : chars;
}

// The NJ tree is described as DescribeTrees describes a tree: its lengths
// fitted under the current criterion, then rooted; with brLens the
// criterion's own branch table follows (the parsimony one with the range of
// each length). The UPGMA tree keeps the lengths of its joins, shown with
// the clustering level of each node. 0, or the failing status.
int showClusterTree(ClustData *cd)
{
    Tree *tree = cd->tree;
    DataInfo *d = cd->data;
    const bool upgmaTree = cd->method == kClustUPGMA;
    const uint32_t n = numTreesInMainBuffer();
    saveSpecialTree(tree, upgmaTree ? kSpecialUPGMA : kSpecialNJ);
    const bool fit = !upgmaTree && criterionCanFit(d);
    const bool pars = fit && parsCriterionActive();
    const bool lik = fit && gCriterion == static_cast<uint32_t>(kCriterionLikelihood);
    LinkExtras extras;
    extras.columns = upgmaTree ? LinkColumns::kClusteringLevel : LinkColumns::kNone;
    if (lik) {
        // Under likelihood the table is the one DescribeTrees shows, with
        // the standard error of each length.
        if (const int rc = prepareData(gCriterion, 0, false))
            return rc;
        if (const int rc = scoreLikelihoodForLinks(tree, d, n, extras))
            return rc;
    } else if (!upgmaTree) {
        // The criterion's own preparation, as DescribeTrees makes it.
        if (pars) {
            if (checkCharStatusUpdate(d) != 0 || checkParsimonySettings(d) != 0 || prepareParsimonyData(d) != 0 ||
                checkMinFCharTypes(d) != 0)
                return 1;
            if (const int rc = updateLengthBounds(tree, d))
                return rc;
        } else if (fit) {
            if (const int rc = prepareData(gCriterion, 0, false))
                return rc;
        }
        if (const int rc = optimizeAndRootTree(tree, d, n, false, !fit))
            return rc;
    }
    if (clust.brLens) {
        const CriterionSearchFxns *lengths = fit && gCriterion == static_cast<uint32_t>(kCriterionDistance)
                                                 ? criterionDescribeFxns(gCriterion)
                                                 : nullptr;
        const int decimals = lengths && lengths->lengthDecimals ? lengths->lengthDecimals() : pars ? -1 : 5;
        showLinks(tree, d, static_cast<int>(n), !pars, decimals, &extras);
    }
    if (clust.showTree && !gAborted_.load()) {
        qel_printf("\n%s tree:\n", methodName(cd, true).c_str());
        drawTree(tree, clust.brLens ? kDrawPhylogram : kDrawCladogram, 0, false, d);
    }
    return 0;
}

// Neighbor joining keeps a constraint by skipping the joins that break it;
// that cannot make a tree that breaks it on purpose, nor keep a convexity
// partition, which has no clades to skip joins by.
int checkNJConstraints()
{
    if (numConstraints() == 0 || !getActiveConstraint())
        return qel_errorMsg(512, "'Enforce constraints' option requested but no constraints have been defined."), 1;
    if (activeConstraintType() == kConConvexity)
        return qel_errorMsg(554, "Convexity constraints are not permitted with %s.", "NJ"), 1;
    if (srch.converse) {
        qel_warningMsg(553, "Converse constraints are not allowed for %s. Previous setting of \"converse\" constraint "
                            "option ignored.",
                       "NJ");
    }
    return 0;
}

struct ClusterRun {
    ClustData *cd;
    AuxOut *treefile;
};

// The work record of one command run, with its tree. NJ under enforced
// constraints ignores converse for the run only (the settings shown must say
// so); the user's setting comes back when the run ends, however it ends.
struct ClusterWork {
    TreeHandle tree;
    std::unique_ptr<ClustData, ClustData *(*)(ClustData *)> cd{nullptr, destroyClustData};
    uint8_t savedConverse = srch.converse;
    ~ClusterWork() { srch.converse = savedConverse; }
};

// False when out of memory.
bool makeClusterWork(ClusterWork &w, DataInfo *d, bool isUPGMA)
{
    const uint32_t ntax = d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : d->ntax;
    w.tree.reset(createTree(true));
    if (w.tree)
        w.cd.reset(createClustData(d, w.tree.get(), isUPGMA, ntax, true, !isUPGMA && clust.BioNJ));
    if (!w.cd)
        return false;
    w.cd->constrained = !isUPGMA && srch.enforce;
    if (w.cd->constrained)
        srch.converse = 0;
    return true;
}

}  // namespace

int clusterThreadProc(void *arg)
{
    auto *run = static_cast<ClusterRun *>(arg);
    ClustData *cd = run->cd;
    cd->ties = false;
    startGlobalTimer();
    setStatusText("Calculating %s tree...", methodName(cd, false).c_str());
    int status = cluster(cd);
    stopGlobalTimer();
    clearStatusText();
    if (status == 2) {
        qel_printf("\n%s run aborted\n", methodName(cd, true).c_str());
        return 2;
    }
    if (status != 0)
        return status;
    if (const int rc = showClusterTree(cd))
        return rc;
    if (run->treefile) {
        AuxOut *aux = run->treefile;
        run->treefile = nullptr;
        if (writeClusterTreefile(cd, aux) != 0)
            return 1;
    }
    qel_printf("Tree found by %s method stored in tree buffer\n", methodName(cd, false).c_str());
    if (cd->ties)
        qel_printf("Note: \bTies were encountered; %s tree may not be unique\n", methodName(cd, false).c_str());
    if (secsBetweenTimeMarks() > 1.0)
        notificationSound();
    return 0;
}

int doClustering(bool isUPGMA)
{
    DataInfo *d = activeDataInfo();
    const uint32_t method = isUPGMA ? kClustUPGMA : kClustNJ;
    if (!d || checkMinTaxa(isUPGMA ? 2 : 3, searchTypeString(method, true).c_str(), nullptr) != 0)
        return 1;
    if (checkRootingOption(d, true, true, false, false) != 0)
        return 1;
    uint32_t savedSeed[4];
    std::copy(clust.tieSeed, clust.tieSeed + 4, savedSeed);
    gClustTreefileName[0] = '\0';
    gReplaceFile = gAppendToFile = 0;
    clust.isUPGMA = isUPGMA;
    if (getCmdParams(isUPGMA ? OptionSet::kUPGMA : OptionSet::kNJ, ";", nullptr) <= 0)
        return 1;
    clust.pref_saveFile = gClustTreefileName[0] != '\0';
    if (checkDistType(kCurrentDistType, true, d) != 0)
        return 1;
    if (!isUPGMA && srch.enforce && checkNJConstraints() != 0)
        return 1;
    const int distStatus = setDistances(kDMatrixForDistance, true, d);
    if (distStatus != 0)
        return distStatus;
    std::unique_ptr<AuxOut, int (*)(AuxOut *)> treefile(nullptr, closeAuxOutStream);
    int openStatus = 1;
    if (clust.pref_saveFile &&
        !(treefile.reset(openAuxOutStream(gClustTreefileName, gReplaceFile != 0, gAppendToFile != 0, &openStatus)),
          treefile))
        return openStatus;

    ClusterWork work;
    if (!makeClusterWork(work, d, isUPGMA) || allocSpecialTreeData(1) != 0)
        return 1;
    ClustData *cd = work.cd.get();
    const int32_t busy = setLongOperationStatus(1);
    setTreeSource(isUPGMA ? kSourceUPGMA : kSourceNJ);
    clearTrees(false, true);

    showSearchSettingsHeader(method);
    showDistSettings(false, false, true, nullptr, 2);
    // NJ keeps the enforced groups; UPGMA takes no constraint options.
    setTopolConstrained(cd->constrained ? 1 : 0);
    showSearchTailSettings(d, isUPGMA);
    setTopolConstrained(0);
    const std::string title = methodName(cd, true) + " method";
    ProgData *progress = createProgressWindow(cd->ntax - 2, 0, title.c_str());
    cd->progress = progress;
    TimeMark start, stop;
    setTimeMark(&start);
    ClusterRun run{cd, treefile.release()};
    int status = runOutputThread(clusterThreadProc, &run);
    setTimeMark(&stop);
    destroyProgressWindow(progress);
    if (run.treefile)
        closeAuxOutStream(run.treefile);
    if (status == 0)
        showTimeUsed(&start, &stop, 0, " for tree calculation");
    setLongOperationStatus(busy);
    if (clust.breakTies != kBreakTiesRandom)
        std::copy(savedSeed, savedSeed + 4, clust.tieSeed);
    forgetLastTreeOptimized();
    return status;
}

int doNJCmd() { return doClustering(false); }
int doUPGMACmd() { return doClustering(true); }

int checkResamplingDistances(const char *analysisName, DataInfo *d)
{
    if (dist.distance == kDistUser)
        return qel_errorMsg(523, "%s cannot use user-input distances. Specify another distance type.", analysisName),
               1;
    return checkDistType(kCurrentDistType, true, d);
}

int clusterReplicates(bool isUPGMA, DataInfo *d)
{
    const uint32_t method = isUPGMA ? kClustUPGMA : kClustNJ;
    if (!d || checkMinTaxa(isUPGMA ? 2 : 3, searchTypeString(method, true).c_str(), nullptr) != 0)
        return 1;
    if (srch.enforce && isUPGMA)
        return qel_errorMsg(0, "Constraints cannot be enforced with UPGMA; set ENFORCE=NO to run it without them."), 1;
    if (srch.enforce && checkNJConstraints() != 0)
        return 1;
    // Every replicate's NJ tree keeps the constraints, as the command's does.
    ClusterWork work;
    if (!makeClusterWork(work, d, isUPGMA))
        return 1;
    ClustData *cd = work.cd.get();
    // No progress per join, and no lengths unless the replicate tree file
    // takes them: otherwise the trees only feed the tally.
    cd->resampling = true;
    cd->replicateLengths = bootTreeLengthsWanted();
    const int32_t busy = setLongOperationStatus(1);
    setTreeSource(isUPGMA ? kSourceUPGMA : kSourceNJ);
    showSearchSettingsHeader(method);
    showDistSettings(false, false, true, nullptr, 2);
    const bool bootstrap = gSearchState.replicatedKind > 0;
    const std::string method_ = methodName(cd, false);
    const uint32_t nreps = setSearchNReps();
    const std::string title = methodName(cd, true) + (bootstrap ? " bootstrap" : " jackknife");
    ProgData *progress = createProgressWindow(nreps, 0, title.c_str());
    setStatusText("Doing %s bootstrap analysis...", method_.c_str());
    int status = 0;
    bool ties = false;
    uint32_t done = 0;
    for (uint32_t rep = 1; rep <= nreps && status == 0; ++rep) {
        // The buffer holds the one tree of this replicate when it is tallied.
        clearTrees(false, true);
        status = startReplicatedSearchRep(cd->tree, d, rep);
        if (status == kReplicateTallied) {
            status = 0;
        } else {
            if (status != 0)
                break;
            cd->ties = false;
            if ((status = cluster(cd)) != 0)
                break;
            ties = ties || cd->ties;
            if ((status = updateBootGroupsClustered(d, cd->tree)) != 0)
                break;
        }
        if (setProgressValue(progress, ++done) == kProgressAborted || (getAbortedStatus() && confirmAbortRequest()))
            status = 2;
    }
    destroyProgressWindow(progress);
    clearStatusText();
    if (ties)
        qel_printf("Note: \bTies were encountered in one or more replicates\n");
    if (status == 2) {
        if (done > 0)
            qel_printf("\n%s bootstrap run aborted after %u replicate(s)\n", methodName(cd, true).c_str(), done);
        else
            qel_printf("\n%s bootstrap run aborted\n", methodName(cd, true).c_str());
        // The stop is taken: the replicates done are still summarised, and
        // the consensus output must not stop on the same interrupt.
        setAbortedStatus(0);
    }
    setLongOperationStatus(busy);
    // The matrix left behind is a replicate's: it must not be reused.
    invalidateDistances();
    forgetLastTreeOptimized();
    return status;
}
