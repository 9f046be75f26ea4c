#include "quartets/qsearch.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli/option_sets.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/vorn_data.h"
#include "parsimony/optimize.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_time.h"
#include "quartets/qlocal.h"
#include "quartets/qmc.h"
#include "quartets/qmethods.h"
#include "quartets/quartets.h"
#include "quartets/quartets_settings.h"
#include "quartets/svdq.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "trees/drawtree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kQuartetCriterion = 4;  // tree scores are quartet scores

const char *methodShortName(uint32_t method)
{
    static constexpr const char *kNames[] = {"QFM", "WO", "Bryant-Steel", "QJ", "QMC"};
    return method < std::size(kNames) ? kNames[method] : "?";
}

const char *localSearchName(uint32_t kind)
{
    static constexpr const char *kNames[] = {"none", "NNI", "SPR", "TBR"};
    return kind < std::size(kNames) ? kNames[kind] : "?";
}

// A weight as text of at most `width` characters with `decimals` decimals,
// falling back to significant digits when it would not fit.
std::string fltToStr(int width, int decimals, double x)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
    if (static_cast<int>(std::strlen(buf)) > width)
        std::snprintf(buf, sizeof buf, "%.*g", std::max(width - 6, 1), x);
    return buf;
}

std::string percentOf(double x, double total)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "(%.3f%%)", total != 0.0 ? 100.0 * x / total : 0.0);
    return buf;
}

void showQsearchSettings()
{
    qel_printf("  Quartet assembly algorithm = %s\n", methodShortName(qopt.method));
    qel_printf("  Local search = %s\n", localSearchName(qopt.localSearch));
}

struct QSearchTask {
    DataInfo *d;
    RNG rng;
};

// The three 4-taxon trees in turn; the first of the best wins.
double bestFourTaxonTree(QuartetData *qd, Tree *tree)
{
    static constexpr uint32_t kTrees[3][4] = {{0, 1, 2, 3}, {0, 2, 1, 3}, {0, 3, 1, 2}};
    double best = -1.0;
    int winner = 0;
    for (int k = 0; k < 3; k++) {
        make4TreeForQuartets(tree, 4, kTrees[k][0], kTrees[k][1], kTrees[k][2], kTrees[k][3]);
        const double s = calcQuartetSupport(qd, tree, false);
        if (s > best)
            best = s, winner = k;
    }
    if (winner != 2)
        make4TreeForQuartets(tree, 4, kTrees[winner][0], kTrees[winner][1], kTrees[winner][2], kTrees[winner][3]);
    return best;
}

int runMethod(QuartetData *qd, Tree *tree, RNG *rng, ProgData *progress)
{
    switch (qopt.method) {
    case kQMethodQFM:
        return qsearch_QFM(qd, tree, progress,
                           QfmOptions{qopt.qfmPtn, qopt.qfmIter,
                                      qopt.qfmPtn == 2 ? static_cast<uint32_t>(std::max(qopt.maxSplitsB, 0)) : 0u});
    case kQMethodWO:
        return qsearch_WO(qd, tree, rng,
                          WoOptions{qopt.woAddSeq == 1, qopt.woAddSeq == 1 ? static_cast<uint32_t>(qopt.nreps) : 1u,
                                    qopt.woShowRandom != 0});
    case kQMethodBS:
        return qsearch_BS(qd, tree, qopt.useHashing != 0);
    case kQMethodQJ:
        return qsearch_QJ(qd, tree);
    case kQMethodQMC:
        return qsearch_QMC(qd, tree);
    default:
        return 1;
    }
}

}  // namespace

void showQuartetSearchSettings() { showQsearchSettings(); }

namespace {

uint32_t activeTaxonRow(const DataInfo *d, uint32_t k)
{
    return d->taxa.activeToOriginal ? d->taxa.activeToOriginal[k] : k;
}

}  // namespace

void noteQuartetTaxa(QuartetData *qd, const DataInfo *d)
{
    const uint32_t active = numSearchTaxa(d);
    qd->rows.resize(qd->n);
    for (uint32_t k = 0; k < qd->n; k++)
        qd->rows[k] = k < active ? activeTaxonRow(d, k) : k;
}

QuartetData *QuartetsOfActiveTaxa::use(DataInfo *d)
{
    QuartetData *stored = d->quartets;
    if (!stored->species.empty())
        return stored;
    // Trees in memory and the trees built here number the nondeleted taxa
    // only, while the quartets name the taxa active when they were stored
    // (all of the data set's when read from a file): each active taxon's
    // index in the stored table, or none.
    constexpr uint32_t kNone = UINT32_MAX;
    const uint32_t active = numSearchTaxa(d), n = stored->table->n;
    const std::vector<uint32_t> &rows = stored->rows;
    std::vector<uint32_t> index(active, kNone);
    bool same = active == n;
    for (uint32_t k = 0; k < active; k++) {
        const uint32_t row = activeTaxonRow(d, k);
        if (rows.empty())
            index[k] = row < n ? row : kNone;
        else
            for (uint32_t i = 0; i < n && i < rows.size(); i++)
                if (rows[i] == row)
                    index[k] = i;
        same = same && index[k] == k;
    }
    if (same)
        return stored;
    // Otherwise the quartets whose four taxa are all active, renumbered:
    // the others cannot be shown by a tree of the active taxa.
    view_.reset(allocQuartetData(active, true, stored->table->binary != 0));
    if (!view_)
        return nullptr;
    view_->weighted = stored->weighted;
    noteQuartetTaxa(view_.get(), d);
    const QwtTable *from = stored->table;
    QwtTable *to = view_->table;
    for (uint32_t w = 0; w < active; w++)
        for (uint32_t x = w + 1; x < active; x++)
            for (uint32_t y = x + 1; y < active; y++)
                for (uint32_t z = y + 1; z < active; z++) {
                    const uint32_t a = index[w], b = index[x], c = index[y], e = index[z];
                    if (a == kNone || b == kNone || c == kNone || e == kNone)
                        continue;
                    const float f[3] = {getQuartetWt(from, a, b, c, e), getQuartetWt(from, a, c, b, e),
                                        getQuartetWt(from, a, e, b, c)};
                    if (f[0] != 0.0f)
                        setQuartetWt(to, w, x, y, z, f[0]);
                    if (f[1] != 0.0f)
                        setQuartetWt(to, w, y, x, z, f[1]);
                    if (f[2] != 0.0f)
                        setQuartetWt(to, w, z, x, y, f[2]);
                }
    return view_.get();
}

int requireQuartetData(const DataInfo *d, const char *command)
{
    if (d && d->quartets && d->quartets->table) {
        // Quartets of species name species, whatever taxa are deleted now.
        if (!d->quartets->species.empty())
            return 0;
        return 0;
    }
    return qel_errorMsg(0,
                        "The %s command requires previously stored quartet data, but none are available.\tYou must "
                        "either obtain and store quartet data using the %s command, or read in quartet data from "
                        "a file.",
                        command, "SVDQuartets"),
           1;
}

std::string formatQscore(double value)
{
    char buf[32];
    const double r = std::round(value);
    if (std::fabs(value - r) < 1e-6)
        std::snprintf(buf, sizeof buf, "%.20g", r);
    else
        std::snprintf(buf, sizeof buf, "%.4f", value);
    return buf;
}

int runQuartetSearch(QuartetData *qd, Tree *tree, DataInfo *d, RNG *rng, ProgData *progress,
                     uint32_t specialTreeKind, const char *analysisName, bool speciesTrees, bool quiet,
                     double *incompat, const std::function<bool(Tree *)> &fitTree)
{
    TimeMark start{}, stop{};
    setTimeMark(&start);
    QwtTable *table = qd->table;
    const uint32_t n = table->n;
    *incompat = DBL_MAX;
    double support;
    if (n == 4) {
        support = bestFourTaxonTree(qd, tree);
    } else {
        if (n < 4)
            return qel_errorMsg(0, "Quartet assembly needs at least 4 taxa."), 1;
        if (n > tree->ntax)
            return 1;
        const int status = runMethod(qd, tree, rng, progress);
        if (status != 0)
            return status;
        tree->tipBound = n;
        support = calcQuartetSupport(qd, tree, false);
    }
    double bad = calcQwtIncompat(table, support);
    if (n > 4 && qopt.localSearch != 0) {
        if (progress)
            resetProgressWindow(progress, 0, "Doing local search");
        const int status = localQuartetSearch(qd, tree, d, qopt.localSearch, static_cast<uint32_t>(qopt.reconLimit),
                                              qopt.slowTBR != 0, &bad);
        if (status != 0)
            return status;
    }
    if (fitTree && fitTree(tree))
        bad = calcQwtIncompat(table, calcQuartetSupport(qd, tree, false));
    *incompat = bad;
    if (quiet)
        return 0;
    setBranchLengthsToValue(tree, 1.0);
    determineIfTreeIsBinary(tree);
    const double total = cachedTotalQuartetWt(table);
    if (total != 0.0) {
        qel_printf("\nQuartet assembly completed:\n");
        qel_printf("  Total weight of incompatible quartets = %s (%.3f%%)\n", formatQscore(bad).c_str(),
                   100.0 * bad / total);
        qel_printf("  Total weight of compatible quartets   = %s (%.3f%%)\n", formatQscore(total - bad).c_str(),
                   100.0 * (total - bad) / total);
    }
    setTimeMark(&stop);
    if (n != 4) {
        const std::string label = std::string(" for ") + methodShortName(qopt.method);
        showTimeUsed(&start, &stop, 0, label.c_str());
    }
    initTreeStatus(false);
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    if (isPutTreeFull(putTree(tree, buf, false)))
        return qel_errorMsg(0, "The tree from quartet assembly could not be stored in memory."), 1;
    setTreesAreSaved(false);
    if (specialTreeKind != 0)
        saveSpecialTree(tree, specialTreeKind);
    if (analysisName)
        qel_printf("\nTree from %s analysis:\n", analysisName);
    else
        qel_printf("\nTree from %s quartet assembly:\n", methodShortName(qopt.method));
    setFltScore(kQuartetCriterion);
    setTreesAreSpeciesTrees(speciesTrees);
    optimizeAndRootTree(tree, d, numTreesInMainBuffer(), false, true);
    drawTree(tree, kDrawCladogram, 0, false, d);
    return getAbortedStatus() ? 2 : 0;
}

namespace {

int qsearchTaskProc(void *arg)
{
    auto *task = static_cast<QSearchTask *>(arg);
    DataInfo *d = task->d;
    if (requireQuartetData(d, "QSearch") != 0)
        return 1;
    initRNG(&task->rng, seedForRun(qopt.seed));
    qel_printf("\nSearching for trees that minimize quartet inconsistency:\n");
    showQsearchSettings();
    qel_printf("\n");
    startGlobalTimer();
    clearTrees(false, true);
    // Quartets of species assemble a tree of species, named as the
    // species-tree analysis that stored them named its trees.
    QuartetsOfActiveTaxa active;
    QuartetData *qd = active.use(d);
    if (!qd)
        return 1;
    const bool species = !qd->species.empty();
    if (species && nameTreesBySpeciesRows(qd->species, qd->speciesRows) != 0)
        return 1;
    TreeHandle tree(createTree(true));
    if (!tree)
        return 1;
    double incompat = 0.0;
    const int status = runQuartetSearch(qd, tree.get(), d, &task->rng, nullptr, 0, nullptr, species, false,
                                        &incompat);
    stopGlobalTimer();
    if (status == 2)
        qel_printf("\nQuartet assembly aborted by user.\n");
    return status;
}

}  // namespace

int doQSearchCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (getCmdParams(OptionSet::kQSearch, ";", nullptr) <= 0)
        return 1;
    if (requireQuartetData(d, "QSearch") != 0)
        return 1;
    if (!verifyReplaceTrees())
        return 1;
    QSearchTask task{d, RNG{}};
    const int status = runSecondaryThread(qsearchTaskProc, &task);
    if (status == 2)
        setAbortedStatus(0);
    return status;
}

// ---------------------------------------------------------------------------
// QScores

namespace {

int quartetScoresForTrees(QuartetData *qd)
{
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const uint32_t ntrees = numTreesInMainBuffer();
    const int numW = std::max(4, static_cast<int>(std::to_string(ntrees).size()));
    int nameW = 0;
    const bool named = haveTreeNames(buf);
    if (named)
        for (uint32_t i = 1; i <= ntrees; i++)
            nameW = std::max(nameW, static_cast<int>(getTreeName(buf, i).size()));
    if (nameW > 0)
        nameW = std::max(nameW, 4);
    TreeHandle tree(createTree(true));
    if (!tree)
        return 1;
    const double total = cachedTotalQuartetWt(qd->table);
    qel_printf("\nQuartet consistency scores for trees currently in memory\n\n");
    indentOutput(4);
    const char *heading = qd->weighted ? "-------------- sum of quartet weights --------------"
                                       : "------------------ quartet counts ------------------";
    qel_printf("%*s\n", numW + nameW + 55, heading);
    char line[512];
    if (nameW > 0)
        std::snprintf(line, sizeof line, "%*s %-*s", numW, "", nameW, "tree");
    else
        std::snprintf(line, sizeof line, "%*s", numW, "tree");
    char tail[128];
    std::snprintf(tail, sizeof tail, "%27s %27s", "    inconsistent    ", "     consistent     ");
    std::string head = std::string(line) + tail;
    qel_printf("%s\n", head.c_str());
    qel_printf("%s\n", std::string(head.size() + 1, '-').c_str());
    double bestSupport = -1.0;
    uint32_t best = 0;
    for (uint32_t i = 1; i <= ntrees; i++) {
        if (getTree(buf, i, tree.get()) != 0) {
            indentOutput(-4);
            return 1;
        }
        const double support = calcQuartetSupport(qd, tree.get(), false);
        const double bad = total - support;
        if (support > bestSupport)
            bestSupport = support, best = i;
        qel_printf("%*u", numW, i);
        if (nameW > 0) {
            const std::string name = getTreeName(buf, i);
            qel_printf(" %-*s", nameW, name.empty() ? "-" : name.c_str());
        }
        if (qd->weighted)
            qel_printf("%16s %10s %16s %10s\n", fltToStr(15, 6, bad).c_str(), percentOf(bad, total).c_str(),
                       fltToStr(15, 6, support).c_str(), percentOf(support, total).c_str());
        else
            qel_printf("%16.10g %10s %16.10g %10s\n", bad, percentOf(bad, total).c_str(), support,
                       percentOf(support, total).c_str());
    }
    if (ntrees > 1) {
        qel_printf("\nbest tree = %u", best);
        if (nameW > 0)
            if (const std::string name = getTreeName(buf, best); !name.empty())
                qel_printf(" (\"%s\")", name.c_str());
        qel_printf("\n");
    }
    qel_printf("\n");
    indentOutput(-4);
    return 0;
}

}  // namespace

int showQuartetScoresOfTrees(QuartetData *qd) { return quartetScoresForTrees(qd); }

int doQScoresCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (readSemicolon() != 0)
        return 1;
    if (requireQuartetData(d, "QScores") != 0)
        return 1;
    if (numTreesInMainBuffer() == 0)
        return qel_errorMsg(704, "There are no trees in memory."), 1;
    // Quartets of species score trees of those species only; quartets of
    // taxa cannot score a species tree, whose tip numbers would be read as
    // taxa and give wrong counts.
    if (!d->quartets->species.empty() && !treesAreOfSpecies(d->quartets->species))
        return qel_errorMsg(0, "The stored quartets are quartets of species, and the trees in memory are not trees of "
                               "those species.\tLoad or infer trees of the same species, or store quartets of the "
                               "taxa."),
               1;
    if (d->quartets->species.empty() && areTreesSpeciesTrees())
        return qel_errorMsg(0, "The trees in memory are species trees; quartets of lineages cannot score them.\tUse "
                               "SVDQuartets with speciesTree=yes and treeInf=curTrees to score them against species "
                               "quartets, or load trees of the taxa."),
               1;
    return runSecondaryThread(
        [](void *arg) {
            QuartetsOfActiveTaxa active;
            QuartetData *qd = active.use(static_cast<DataInfo *>(arg));
            return qd ? quartetScoresForTrees(qd) : 1;
        },
        d);
}
