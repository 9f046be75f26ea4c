#include "quartets/puzzle.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/option_sets.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/data_util.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "likelihood/activeml.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/ml_multithread.h"
#include "likelihood/mlinit.h"
#include "likelihood/modelgroup.h"
#include "parsimony/packx.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_time.h"
#include "quartets/qmethods.h"
#include "quartets/quartets_settings.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "trees/contree.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/savetree.h"
#include "trees/splits.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

constexpr const char *kDefaultPuzzleFile = "puzzle.tre";
constexpr uint32_t kTreeSourcePuzzle = 9;  // "quartet puzzling"

bool gPuzzling = false;

struct PuzzleRun {
    DataInfo *d = nullptr;
    uint32_t n = 0;
    bool triples = false;
    bool likelihood = false;
    bool approximate = false;  // quartets scored by approximate likelihoods
    PuzzlePenalties mode = PuzzlePenalties::Standard;
    int32_t nPuzzles = 0;
    uint64_t nQuartets = 0;
    PuzzleRelations rel;
    RNGSeed seed{};
    RNG rng{};
    TreeBuffer *buf = nullptr;
    ProgData *progress = nullptr;
    TreeHandle tree;  // the quartets' trees and each step's tree
    int32_t stepsDone = 0;
    bool statusShown = false;
};

// kind 0 starts the clock; 1 and 2 print when the interval has passed; -1
// and -2 print the closing line of their kind when any line was printed.
void showPuzzleDStatus(PuzzleRun &run, int kind, uint64_t count)
{
    if (kind == 0) {
        beginSearchStatus();
        run.statusShown = false;
        return;
    }
    if (kind > 0 ? !searchStatusDue() : !run.statusShown)
        return;
    run.statusShown = true;
    const std::string elapsed = searchElapsedString();
    if (kind == 1 || kind == -1)
        qel_printf("%11s  Number of quartets evaluated = %d (%.1f%%)\n", elapsed.c_str(), static_cast<int>(count),
                   run.nQuartets ? 100.0 * static_cast<double>(count) / static_cast<double>(run.nQuartets) : 0.0);
    else
        qel_printf("%11s  Number of puzzling steps completed = %d (%.1f%%)\n", elapsed.c_str(),
                   static_cast<int>(count), 100.0 * static_cast<double>(count) / run.nPuzzles);
}

double scoreTree(Tree *tree, DataInfo *d)
{
    if (gCriterion == kCriterionParsimony)
        pointTreeAtPackedData(tree, d);
    return computeTreeScore(tree, d);
}

}  // namespace

uint8_t evaluatePuzzleQuartet(Tree *tree, DataInfo *data, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                              bool likelihood)
{
    const uint32_t pair[3][3] = {{b, c, d}, {c, b, d}, {d, b, c}};
    double s[3];
    for (int k = 0; k < 3; k++) {
        if (make4TreeForQuartets(tree, tree->ntax, static_cast<int32_t>(a), pair[k][0], pair[k][1], pair[k][2]) != 0)
            return 0;
        s[k] = scoreTree(tree, data);
        if (s[k] >= kNoTreeScore)
            return 0;
    }
    if (!likelihood)
        return bestScoreMask(s);
    const double lnL[3] = {-s[0], -s[1], -s[2]};
    return likelihoodMappingMask(lnL);
}

namespace {

// 0 or 2 (aborted).
int advance(PuzzleRun &run)
{
    if (incrementProgressValue(run.progress) == kProgressAborted || getAbortedStatus())
        if (confirmAbortRequest())
            return 2;
    return 0;
}

int evaluateQuartets(PuzzleRun &run, Tree *tree)
{
    const uint32_t n = run.n;
    uint64_t done = 0;
    double s[3];
    auto scored = [&]() { return s[0] < kNoTreeScore && s[1] < kNoTreeScore && s[2] < kNoTreeScore; };
    auto aborted = [&]() {
        qel_printf("\nQuartet puzzling analysis aborted during quartet evaluation.\n");
        return 2;
    };
    if (run.triples) {
        for (uint32_t a = 0; a < n; a++)
            for (uint32_t b = a + 1; b < n; b++)
                for (uint32_t c = b + 1; c < n; c++) {
                    const uint32_t out[3][3] = {{a, b, c}, {b, a, c}, {c, a, b}};
                    for (int k = 0; k < 3; k++) {
                        if (make4TreeForQuartets(tree, tree->ntax, -1, out[k][0], out[k][1], out[k][2]) != 0)
                            return 1;
                        s[k] = scoreTree(tree, run.d);
                    }
                    if (getAbortedStatus() && confirmAbortRequest())
                        return aborted();
                    if (!scored())
                        return 1;
                    run.rel.triple(a, b, c) = bestScoreMask(s);
                    if (advance(run) == 2)
                        return aborted();
                    showPuzzleDStatus(run, 1, ++done);
                }
    } else {
        for (uint32_t a = 0; a < n; a++)
            for (uint32_t b = a + 1; b < n; b++)
                for (uint32_t c = b + 1; c < n; c++)
                    for (uint32_t d = c + 1; d < n; d++) {
                        const uint8_t mask = evaluatePuzzleQuartet(tree, run.d, a, b, c, d, run.likelihood);
                        if (getAbortedStatus() && confirmAbortRequest())
                            return aborted();
                        if (mask == 0)
                            return 1;
                        run.rel.quartet(a, b, c, d) = mask;
                        if (advance(run) == 2)
                            return aborted();
                        showPuzzleDStatus(run, 1, ++done);
                    }
    }
    showPuzzleDStatus(run, -1, done);
    return 0;
}

int storePuzzleTree(PuzzleRun &run, Tree *tree)
{
    uint32_t k = putTree(tree, run.buf, true);
    if (k == kPutTreeDuplicate)
        return incrementTreeWt(run.buf, getMatchingTree(run.buf) - 1, 1.0);
    return isPutTreeFull(k) ? 1 : 0;
}

int puzzlingThreadProc(void *arg)
{
    PuzzleRun &run = *static_cast<PuzzleRun *>(arg);
    Tree *tree = run.tree.get();
    showPuzzleDStatus(run, 0, 0);
    if (int status = evaluateQuartets(run, tree); status != 0)
        return status;
    setStatusText("Estimating tree via puzzling...");
    resetProgressWindow(run.progress, static_cast<uint32_t>(run.nPuzzles), "Puzzling");
    PuzzleStepper stepper(run.rel, run.mode);
    for (int32_t i = 0; i < run.nPuzzles; i++) {
        stepper.run(&run.rng);
        if (stepper.toTree(tree) != 0 || storePuzzleTree(run, tree) != 0)
            return 1;
        run.stepsDone++;
        showPuzzleDStatus(run, 2, static_cast<uint64_t>(run.stepsDone));
        if (advance(run) == 2)
            return 2;
    }
    showPuzzleDStatus(run, -2, static_cast<uint64_t>(run.stepsDone));
    return 0;
}

// The weighted majority-rule consensus of the puzzling trees, shown with
// their support, replaces the trees in memory.
// `start` marks the start of the command: the time shown is the whole
// analysis', not only the consensus'.
int puzzleContree(TreeBuffer *buf, DataInfo *d, const TimeMark &start)
{
    const bool abortPending = getAbortedStatus() != 0;
    if (buf->numTrees == 0)
        return 2;
    std::vector<uint32_t> trees(buf->numTrees);
    for (uint32_t i = 0; i < trees.size(); i++)
        trees[i] = i + 1;
    const bool rooted = buf->rooted != 0;
    TreeHandle work(createTree(true));
    TreeHandle result(createTree(true));
    std::unique_ptr<SplitsList, decltype(&destroySplitsList)> list(createSplitsList(buf->ntax, buf->ntax, true),
                                                                  destroySplitsList);
    if (!work || !result || !list || allocSpecialTreeData(1) != 0)
        return 1;
    result->flags = rooted ? (result->flags | kTreeRootedAtAnc) : (result->flags & ~kTreeRootedAtAnc);
    SplitsTable *t = nullptr;
    double total = 0.0;
    // An abort pending from the puzzling steps must not stop the summary of
    // the steps that were completed.
    const int32_t pending = getAbortedStatus();
    setAbortedStatus(0);
    int status = majRuleConsensus(kConPuzzle, true, buf, trees, d, work.get(), &t, &total);
    std::unique_ptr<SplitsTable, decltype(&destroySplitsTable)> table(t, destroySplitsTable);
    if (status == 0)
        status = selectConsensusSplits(table.get(), kConPuzzle, false, 50, list.get(), total);
    if (status == 0)
        status = finishContree(result.get(), kConPuzzle, table->support.data(), list.get(), d, rooted);
    if (status == 0) {
        clearTrees(false, true);
        TreeBuffer *main = getMainTreeBuffer(nullptr);
        setRootededness(main, rooted);
        if (isPutTreeFull(putTree(result.get(), main, false)))
            status = 1;
    }
    if (status == 0)
        status = rootConsensusForOutput(result.get(), d);
    if (status != 0) {
        deallocSpecialTreeData();
        setAbortedStatus(pending);
        return status;
    }
    setTreeSource(kTreeSourcePuzzle);
    setTreesAreSaved(false);
    qel_printf("\n    Tree found by quartet-puzzling stored in tree buffer\n");
    TimeMark stop{};
    setTimeMark(&stop);
    showTimeUsed(&start, &stop, 4, "");
    if (puzOpt.showTree) {
        setStatusText("Outputting quartet puzzling tree...");
        qel_printf("\nQuartet puzzling tree:\n");
        drawTree(result.get(), kDrawSupport, 0, true, d);
    }
    if (puzOpt.grpFreq)
        showSplitsDotPlot(table.get(), d, static_cast<uint32_t>(std::max(puzOpt.cutoffPct, 0)), rooted,
                          " (puzzling support values)", total);
    setAbortedStatus(pending);
    return abortPending || getAbortedStatus() ? 2 : 0;
}

// The steps' trees to the file opened for them, which is closed (or, after a
// failure, given up) and nulled.
int writePuzzleTrees(PuzzleRun &run, AuxOut *&file)
{
    AuxOut *aux = std::exchange(file, nullptr);
    if (!aux)
        return 1;
    AuxOut *previous = setActiveAuxOut(aux);
    auxPutTreesBlkCmd(false, false, run.d);
    writeTransTable(run.d);
    auxPuts("[!>Trees found during puzzling step (weights are number of times each tree was found)]\n");
    TreeHandle tree(createTree(true));
    int status = tree ? 0 : 1;
    const double *wts = getTreeWtBuf(run.buf);
    for (uint32_t k = 1; status == 0 && k <= run.buf->numTrees; k++) {
        if (getTree(run.buf, k, tree.get()) != 0) {
            status = 1;
            break;
        }
        // A quartet tree is written rooted at the outgroup, as it is drawn.
        if (!run.triples) {
            rootOutgroup(tree.get(), run.d, false);
            if (finalizeRooting(tree.get(), gBasalPolytomy, false) != 0) {
                status = 1;
                break;
            }
        }
        auxPrintf("tree puzzle_%u = [&%c] [&W %g] ", k, run.triples ? 'R' : 'U', wts ? wts[k - 1] : 1.0);
        outputTreeDescription(tree.get(), false, kDescrNoLengths, false, true, ',', 0, nexusTreeLabel, run.d);
        auxPuts(";\n");
    }
    const std::string shown = auxPathnameForDisplay(aux, 255);
    if (status == 0)
        auxPuts("end;\n");
    // Every tree is a finished step's: the interrupt that stopped the steps
    // does not make the file a fragment.
    aux->keepOnInterrupt = 1;
    if (status != 0)
        discardAuxOutStream(aux);
    else if (closeAuxOutStream(aux) != 0)
        status = 1;
    setActiveAuxOut(previous);
    if (status == 0) {
        qel_printf("\nTrees for each puzzling step written to treefile: %s\n", shown.c_str());
        setTreesAreSaved(true);
    }
    return status;
}

// What a termination signal saves of a run stopped during the puzzling
// steps: as a stop by the user, the count of the steps done and their trees
// (unless the run's own summary has begun, when only the trees are still
// due). Their consensus is not built: the termination keeps the abort
// raised, which the consensus stops on. The file was opened before the
// quartets were evaluated, so nothing is asked here.
struct PuzzleTreeSave {
    PuzzleRun *run;
    AuxOut *&file;  // null when the trees are not saved, or are written
    bool countPending;
};

void saveStepsSoFar(void *arg)
{
    PuzzleTreeSave &save = *static_cast<PuzzleTreeSave *>(arg);
    PuzzleRun &run = *save.run;
    if (run.stepsDone == 0)
        return;
    if (save.countPending && run.stepsDone < run.nPuzzles)
        qel_printf("\n    Puzzling step terminated after %d replicates\n", static_cast<int>(run.stepsDone));
    save.countPending = false;
    if (save.file)
        writePuzzleTrees(run, save.file);
}

// The tree file as the options name it, opened before any quartet is
// evaluated: a path that cannot be written, or a file the user will not have
// replaced, ends the command before the work. Not the active output until
// the trees are written; a run that ends without them leaves the old file
// as it was.
struct PuzzleFile {
    AuxOut *aux = nullptr;
    int open(const char *name)
    {
        int status = 1;
        aux = openInactiveAuxOutStream(name, gReplaceFile != 0, gAppendToFile != 0, &status);
        return aux ? 0 : status;
    }
    ~PuzzleFile() { discardAuxOutStream(aux); }
};

// Test hook: with VORN_PUZZLE_MASK_COUNTS naming a file, the numbers of
// quartets with one, two and three best topologies are appended to it, so
// that checks against other programs can compare the resolution.
void reportResolutionForTests(const PuzzleRun &run)
{
    const char *path = std::getenv("VORN_PUZZLE_MASK_COUNTS");
    if (!path || !*path || run.rel.count() == 0)
        return;
    uint64_t counts[3];
    run.rel.countResolution(counts);
    if (FILE *f = std::fopen(path, "a")) {
        std::fprintf(f, "%llu %llu %llu\n", static_cast<unsigned long long>(counts[0]),
                     static_cast<unsigned long long>(counts[1]), static_cast<unsigned long long>(counts[2]));
        std::fclose(f);
    }
}

// The likelihood settings a puzzling run changes, given back at its end.
struct SavedLikeSettings {
    uint8_t useApproxLim = 0, mlDistforLS = 0;
    int32_t initBrLenMethod = 0;
    double approxLim = 0.0;
    bool active = false;

    void apply(bool approximate)
    {
        useApproxLim = ml.useApproxLim, mlDistforLS = ml.mlDistforLS;
        initBrLenMethod = ml.initBrLenMethod, approxLim = ml.approxLim;
        active = true;
        // Approximate scores are those of least-squares lengths fitted to ML
        // distances, taken without any further iteration.
        ml.useApproxLim = approximate;
        if (approximate) {
            ml.approxLim = 0.0;
            ml.initBrLenMethod = kInitBrLenLS;
            ml.mlDistforLS = 1;
        }
        if (ActiveML *aml = startActiveML())
            setAMLFlag(aml, kAMLQuartetPuzzling, true);
    }
    ~SavedLikeSettings()
    {
        if (!active)
            return;
        ml.useApproxLim = useApproxLim, ml.mlDistforLS = mlDistforLS;
        ml.initBrLenMethod = initBrLenMethod, ml.approxLim = approxLim;
        if (ActiveML *aml = getActiveML())
            setAMLFlag(aml, kAMLQuartetPuzzling, false);
    }
};

int checkLikelihoodSettings(bool approximate)
{
    if (ml.clock)
        return qel_errorMsg(534, "Quartet puzzling is not supported with molecular-clock constraint."), 1;
    if (!estimatingMLParms())
        return 0;
    if (!puzOpt.allowParEst)
        return qel_errorMsg(564, "Estimation of model parameters (other than branch lengths) is not allowed during "
                                 "quartet puzzling. You should estimate them separately and then fix them for the "
                                 "puzzling analysis."),
               1;
    if (approximate)
        return qel_errorMsg(0, "Use of approximate likelihoods is not allowed when model parameters are being "
                               "estimated during quartet puzzling."),
               1;
    return 0;
}

void showPuzzleSettings(const PuzzleRun &run)
{
    qel_printf("\nQuartet puzzling analysis:\n");
    indentOutput(2);
    qel_printf("Number of quartets to examine = %llu\n", static_cast<unsigned long long>(run.nQuartets));
    if (run.likelihood)
        qel_printf("Qua\brtets evaluated using %s", run.approximate
                                                       ? "approximate likelihood calculations (least-squares method "
                                                         "with ML distances)\n"
                                                       : "\"exact\" likelihood calculations\n");
    if (run.mode == PuzzlePenalties::Full)
        qel_printf("Using \"full\" penalization rather than the standard (Halvorik) penalties\n");
    qel_printf("Number of puzzling steps = %d\n", static_cast<int>(run.nPuzzles));
    qel_printf("Starting seed = %s\n", seedString(run.seed).c_str());
    showCriterionSettings(run.d);
    indentOutput(-2);
    qel_printf("\n");
}

// Everything the command sets up and must undo, also after errors.
struct PuzzleScope {
    ModelGroupEngine *threadsOf = nullptr;  // the likelihood threads started for the run
    TreeBuffer *previous = nullptr;
    TreeBuffer *buf = nullptr;
    ProgData *progress = nullptr;
    bool searching = false;
    void endSearch()
    {
        if (searching)
            finishSearch(0);
        searching = false;
    }
    // Likelihood threads kept for the whole run: started per tree score,
    // they would be made and ended three times for every quartet.
    int startLikelihoodThreads()
    {
        const ActiveML *aml = getActiveML();
        ModelGroup *g = activeModelGroup();
        if (!aml || aml->nthreads <= 1 || !g || !g->engine || g->engine->likThreads || g->singleThreaded)
            return 0;
        g->engine->likThreads = startLikThreads(static_cast<int32_t>(aml->nthreads));
        threadsOf = g->engine;
        return 0;
    }
    ~PuzzleScope()
    {
        if (threadsOf)
            threadsOf->likThreads = destroyLikThreads(threadsOf->likThreads);
        destroyProgressWindow(progress);
        if (buf) {
            setActiveTreeBuffer(previous);
            destroyTreeBuffer(buf);
        }
        clearStatusText();
        gPuzzling = false;
        endSearch();
    }
};

}  // namespace

bool doingQuartetPuzzling() { return gPuzzling; }

int doPuzzleCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    const uint32_t n = numSearchTaxa(d);
    if (n > kMaxPuzzleTaxa)
        return qel_errorMsg(532, "Limit of %d taxa exceeded for quartet puzzling.", static_cast<int>(kMaxPuzzleTaxa)),
               1;
    if (checkCharStatusUpdate(d) != 0)
        return 1;
    TimeMark start{};
    setTimeMark(&start);
    PuzzleRun run;
    // The likelihood engine remembers the last tree it scored; that tree
    // goes with this command.
    struct ForgetTree {
        const PuzzleRun &run;
        ~ForgetTree()
        {
            if (run.tree && getActiveTreeForML() == run.tree.get())
                setActiveTreeForML(nullptr);
        }
    } forgetTree{run};
    run.d = d;
    run.n = n;
    run.likelihood = gCriterion == kCriterionLikelihood;
    run.triples = gCriterion == kCriterionParsimony && isRootedSearch(d);
    if (checkMinTaxa(d, run.triples ? 3 : 4, "Tree-puzzling ", run.triples ? "for rooted trees" : "for unrooted trees") !=
        0)
        return 1;
    puzOpt.treeFile[0] = '\0';
    const int32_t previousSteps = puzOpt.nPuzzles;
    if (getCmdParams(OptionSet::kPuzzle, ";", nullptr) <= 0)
        return 1;
    if (puzOpt.nPuzzles == 0) {
        // The refused value is not kept for the next run.
        puzOpt.nPuzzles = previousSteps;
        return qel_errorMsg(535, "You must specify a nonzero value for the number of puzzling steps."), 1;
    }
    const bool toFile = puzOpt.treeFile[0] != '\0' || puzOpt.pref_saveToFile;
    std::string fileName = puzOpt.treeFile[0] ? puzOpt.treeFile : kDefaultPuzzleFile;
    if (!puzOpt.treeFile[0])
        std::snprintf(puzOpt.treeFile, sizeof puzOpt.treeFile, "%s", kDefaultPuzzleFile);
    PuzzleFile file;
    if (toFile)
        if (int opened = file.open(fileName.c_str()); opened != 0)
            return opened;
    puzOpt.compactStorage = 1;
    SavedLikeSettings likeSettings;
    if (run.likelihood) {
        // The approximation fits least-squares lengths to ML distances, which
        // the Mk model does not give: its quartets are scored exactly (and
        // the settings shown say so).
        run.approximate = puzOpt.useApproxLim != 0 && !patternsUseMkv(d);
        if (checkLikelihoodSettings(run.approximate) != 0)
            return 1;
        likeSettings.apply(run.approximate);
    }
    if (!verifyReplaceTrees())
        return 1;
    gPuzzling = true;
    PuzzleScope scope;
    const OutgroupRootingScope outgroupRooting;
    scope.searching = true;
    if (prepForSearch(d, kSearchNoMinTaxa | kSearchNoConstraints) != 0)
        return 1;
    run.tree.reset(createTree(true));
    if (!run.tree)
        return 1;
    // Approximate scores start from least-squares lengths, whose distances
    // the likelihood set-up prepares only when asked.
    if (run.approximate && initializeML(true, false, true, false, run.tree.get()) != 0)
        return 1;
    if (run.likelihood && scope.startLikelihoodThreads() != 0)
        return 1;
    // An automatic seed is drawn for this run only; the option keeps 0.
    run.seed = seedForRun(puzOpt.seed);
    initRNG(&run.rng, run.seed);
    run.mode = puzOpt.penalties ? PuzzlePenalties::Full : PuzzlePenalties::Standard;
    run.nPuzzles = puzOpt.nPuzzles;
    if (!run.rel.init(n, run.triples))
        return qel_errorMsg(0, "Not enough memory for the quartet relationships of %u taxa.", n), 1;
    run.nQuartets = run.rel.count();
    puzOpt.nQuartets = static_cast<double>(run.nQuartets);
    showPuzzleSettings(run);

    scope.buf = run.buf = createTreeBuffer(n, 100, true, false, false);
    if (!run.buf)
        return 1;
    setRootededness(run.buf, run.triples);
    scope.previous = setActiveTreeBuffer(run.buf);
    setStatusText("Analyzing all quartets...");
    scope.progress = run.progress =
        createProgressWindow(static_cast<uint32_t>(std::min<uint64_t>(run.nQuartets, UINT32_MAX)), 0,
                             run.triples ? "Evaluating all rooted triples" : "Evaluating all quartets");
    PuzzleTreeSave save{&run, file.aux, true};
    const TerminationFinisher finisher(saveStepsSoFar, &save);
    int status = runSecondaryThread(puzzlingThreadProc, &run);
    save.countPending = false;
    reportResolutionForTests(run);
    if (run.stepsDone < run.nPuzzles) {
        if (run.stepsDone == 0) {
            if (status == 2)
                setAbortedStatus(0);
            return status == 0 ? 1 : status;
        }
        qel_printf("\n    Puzzling step terminated after %d replicates\n", static_cast<int>(run.stepsDone));
    }
    // The consensus goes to the main buffer, which is active again for it.
    setActiveTreeBuffer(scope.previous);
    scope.endSearch();
    int conStatus = puzzleContree(run.buf, d, start);
    // Stopped during the steps, the consensus of the steps done was still
    // built (and reports the stop): their trees are saved as well.
    if ((conStatus == 0 || (status == 2 && conStatus == 2)) && file.aux) {
        const int written = writePuzzleTrees(run, file.aux);
        if (written != 0)
            conStatus = written;
    }
    if (status == 2)
        setAbortedStatus(0);
    return status != 0 ? status : conStatus;
}
