#include "search/bootjack.h"
#include "search/critscore.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/charstat.h"
#include "data/data_services.h"
#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "parsimony/optimize.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_time.h"
#include "search/hsearch.h"
#include "search/hsprep.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "search/xsearch.h"
#include "trees/constr.h"
#include "trees/contree.h"
#include "trees/describe.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/savetree.h"
#include "trees/tree_settings.h"
#include "trees/splits.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

enum BootSearch : uint32_t { kBootHeuristic = 0, kBootBandB = 1, kBootFastStep = 2, kBootNJ = 3, kBootUPGMA = 4 };
enum TreeFormat : uint32_t {
    kFmtNexus = kTreeFmtNexus,
    kFmtAltNexus = kTreeFmtAltNexus,
    kFmtFreqpars = kTreeFmtFreqpars,
    kFmtNewick = kTreeFmtNewick,
    kFmtHennig = kTreeFmtHennig,
    kFmtPhylip = kTreeFmtPhylip
};

constexpr const char *kDefaultBootTreeFile = "bsjk_reps.tre";
// Consensus kinds (and special-tree values) of a resampling consensus.
constexpr uint32_t kConBootstrap = 5;
constexpr uint32_t kConJackknife = 6;

struct TableDeleter {
    void operator()(SplitsTable *t) const { destroySplitsTable(t); }
};
struct ListDeleter {
    void operator()(SplitsList *l) const { destroySplitsList(l); }
};

struct BootJackData {
    std::unique_ptr<SplitsTable, TableDeleter> groups;
    std::unique_ptr<SplitsList, ListDeleter> list;
    TreeHandle work;
    std::vector<uint32_t> included;  // the characters resampled
    std::vector<double> savedWts;    // every character's weight at the start
    std::vector<uint32_t> index;     // jackknife draws
    MultinomialSampler *sampler = nullptr;
    std::string name = "bootstrap";
    double totalWeight = 0.0;
    RNG rng{};
    RNGSeed seed{};  // the seed of this run, as shown
    uint32_t nResampled = 0;
    uint32_t nDelete = 0;
    uint32_t completed = 0;
    // Replicates that a limit stopped before their starting tree was whole:
    // they are neither completed nor tallied, or every group's support
    // would be taken over searches that were never made. A replicate that
    // searched and kept no tree (none within the Keep score) still counts.
    uint32_t noTree = 0;
    bool jackknife = false;
    bool proportional = false;
    bool simple = false;
    bool unweighted = true;
    // Resampling by site patterns in place: the model group whose pattern
    // weights each replicate redraws (null when characters are resampled),
    // its own weights and total, and each included character's pattern.
    ModelGroup *patGroup = nullptr;
    // The group whose patterns take each replicate's drawn character
    // weights in place, where the settings need the draws of characters
    // (null when the data are prepared afresh for each replicate).
    ModelGroup *reweightGroup = nullptr;
    std::vector<double> savedFreqs;
    double savedTotal = 0.0;
    std::vector<uint32_t> charPattern;
    std::vector<double> charWeight;
    // Replicate tree file.
    AuxOut *treeFile = nullptr;
    uint32_t format = kFmtNexus;
    bool lengths = false;        // branch lengths written
    uint32_t treesWritten = 0;
    uint32_t notBinary = 0;      // FreqPars: trees left out
    bool rooted = false;
};

BootJackData btjkData;
ResamplingDistanceFxns gDistFxns{};
bool (*gSiteSpecificRates)() = nullptr;

// The number of the replicate being drawn or tallied, counting those that
// found no tree, so that the tree file and messages name it as it ran.
uint32_t replicateNumber() { return btjkData.completed + btjkData.noTree + 1; }

std::string capitalized(const std::string &s)
{
    std::string t = s;
    if (!t.empty())
        t[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(t[0])));
    return t;
}

// Every included character is drawn, constant ones too: the number of
// characters a replicate holds must be that of the data, and under distance
// and likelihood constant sites shape every estimate.
bool isResampled(const DataInfo *data, uint32_t c)
{
    return !(data->status[c] & (kCharExcluded | kCharEliminated));
}

bool hasNonIntegerWeights(const BootJackData &b)
{
    for (uint32_t c : b.included)
        if (b.savedWts[c] != std::floor(b.savedWts[c]))
            return true;
    return false;
}

// Under distance and likelihood the weights reach the analysis through the
// site patterns and the distances computed from them: a replicate's new
// weights (or the restored ones at the end) make both stale.
void forgetWeightedData(DataInfo *data)
{
    afterWtsChange(gNexsets.curWtset, data);
    if (const DataServices &s = dataServices(); s.invalidateDistances)
        s.invalidateDistances();
}

// NJ trees under likelihood (heuristic starts, branch-and-bound bounds)
// come from the distances likelihood starts from, which must be the
// replicate's own.
uint32_t resampledPrepFlags()
{
    const bool njFromMLDistances =
        gCriterion == kCriterionLikelihood &&
        ((btjkOpt.search == kBootHeuristic && hs.startSource == kStartNJ) || btjkOpt.search == kBootBandB);
    return njFromMLDistances ? kPrepMLFlagA : 0;
}

// A replicate's matrix that failed (neither stopped nor all undefined) is
// reported with the replicate, however the replicate was prepared.
int distanceReplicateStatus(int status)
{
    if (status != 0 && status != 2 && status != -1 && !gAborted_.load() && gCriterion == kCriterionDistance)
        qel_printf("\nUnrecoverable error during distance-matrix calculation for replicate %u.\n",
                   replicateNumber());
    return status;
}

int prepareResampledData(DataInfo *data)
{
    forgetWeightedData(data);
    return distanceReplicateStatus(prepareData(kPrepCurrentCriterion, resampledPrepFlags(), false));
}

// ---------------------------------------------------------------------------
// The replicate tree file

void showBootJackSettings(PrintHook print = qel_printf, const char *lead = "\n");

bool isNexusFormat(uint32_t format) { return format == kFmtNexus || format == kFmtAltNexus; }

// Lengths are written in the formats whose trees carry them; FreqPars and
// Hennig86 trees are topologies only.
bool formatTakesLengths(uint32_t format) { return isNexusFormat(format) || format == kFmtNewick || format == kFmtPhylip; }

bool clusteringSearch() { return btjkOpt.search == kBootNJ || btjkOpt.search == kBootUPGMA; }

// The settings report the screen shows, copied for the replicate tree file
// as it is printed: from the resampling lines to the search's last line,
// which is all printed once the first replicate is drawn.
struct SettingsCopy {
    PrintHook screen = nullptr;  // the printer replaced while copying
    std::string text;
    bool pending = false;        // the file still waits for the report
};
SettingsCopy gSettingsCopy;

int copySettingsPrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    std::string &text = gSettingsCopy.text;
    // The screen's shaping, as its lines read: the indentation in effect
    // begins each line; the mark for where wrapped lines continue is not text.
    for (const char ch : line) {
        if (ch == '\b')
            continue;
        if (ch != '\n' && (text.empty() || text.back() == '\n'))
            text.append(static_cast<size_t>(std::max(getOutputIndentLevel(), 0)), ' ');
        text += ch;
    }
    return gSettingsCopy.screen("%s", line.c_str());
}

// The resampling lines and the search's settings, as the screen shows them.
void showSettingsCopied()
{
    if (gSettingsCopy.pending && !gSettingsCopy.screen) {
        gSettingsCopy.screen = qel_printf;
        qel_printf = copySettingsPrintf;
    }
    showBootJackSettings();
}

// The report, between "[!" and "]", then the translation table: once the
// report is whole (the first replicate is drawn, or the run ends before).
int writeBootTreeHeader(DataInfo *data)
{
    SettingsCopy &copy = gSettingsCopy;
    if (copy.screen) {
        qel_printf = copy.screen;
        copy.screen = nullptr;
    }
    BootJackData &b = btjkData;
    if (!copy.pending || !b.treeFile)
        return 0;
    copy.pending = false;
    AuxOut *previous = setActiveAuxOut(b.treeFile);
    std::string &text = copy.text;
    text.erase(0, text.find_first_not_of('\n'));
    while (text.size() > 1 && text.ends_with("\n\n"))
        text.pop_back();
    auxPuts("[!\n");
    if (text.empty())
        showBootJackSettings(auxPrintf, "");
    else
        auxPuts(text.c_str());
    auxPuts("]\n");
    text.clear();
    if (b.format == kFmtNexus)
        writeTransTable(data);
    const bool failed = auxFileError();
    setActiveAuxOut(previous);
    return failed ? 1 : 0;
}

int openBootTreeFile(DataInfo *data, const char *fileName)
{
    BootJackData &b = btjkData;
    b.format = btjkOpt.format;
    b.lengths = btjkOpt.brLens != 0 && formatTakesLengths(b.format);
    b.treesWritten = b.notBinary = 0;
    if (btjkOpt.brLens != 0 && !b.lengths)
        qel_printf("\nNote: Branch lengths are not written to %s tree files.\n",
                   b.format == kFmtHennig ? "Hennig86" : "FreqPars");
    // Lengths fitted to each replicate's data root its trees as the
    // rooting options say: any question those options raise is asked now,
    // not in the middle of the run.
    if (b.lengths && !clusteringSearch() &&
        (checkRootingOption(data, false, true, true, false) != 0 || checkMinFCharTypes(data) != 0))
        return 1;
    // The file is active only while the run writes to it.
    AuxOut *previous = setActiveAuxOut(nullptr);
    int openStatus = 1;
    b.treeFile = openAuxOutStream(fileName, gReplaceFile != 0, gAppendToFile != 0, &openStatus);
    if (!b.treeFile) {
        setActiveAuxOut(previous);
        return openStatus;
    }
    setActiveAuxOut(b.treeFile);
    if (isNexusFormat(b.format)) {
        auxPutTreesBlkCmd(false, false, data);
        const char *dataFile = getDataFileName();
        auxPrintf("[!>Trees found during each %s replicate using data file '%s'...]\n", b.name.c_str(),
                  dataFile ? dataFile : "");
        gSettingsCopy = SettingsCopy{};
        gSettingsCopy.pending = true;
    } else if (b.format == kFmtHennig) {
        auxPrintf("tread\n'Trees found during %s analysis %s'\n", b.name.c_str(), getDateTimeString().c_str());
    }
    const bool failed = auxFileError();
    setActiveAuxOut(previous);
    return failed ? 1 : 0;
}

// Tree i of the k trees of replicate rep, already tallied, into the tree
// file; treeNumber is its place in the tree buffer (0 for a tree given
// with its lengths). 0, or the failing status.
int writeReplicateTree(Tree *tree, DataInfo *data, uint32_t rep, uint32_t i, uint32_t k, uint32_t treeNumber)
{
    if (writeBootTreeHeader(data) != 0)
        return 1;
    BootJackData &b = btjkData;
    if (b.format == kFmtFreqpars) {
        const int rc = writeFreqParsDescription(tree);
        if (rc < 0)
            b.notBinary++;
        else if (rc == 0)
            b.treesWritten++;
        return rc < 0 ? 0 : rc;
    }
    // A searched tree takes the lengths the criterion fits to the
    // replicate's own data, which are in effect until the next replicate is
    // drawn; a clustering tree comes with the lengths of its joins.
    if (b.lengths && treeNumber > 0) {
        const int rc = optimizeTreeLengthsForOutput(tree, data, treeNumber, b.rooted);
        // What was optimised belongs to this replicate's data only.
        forgetLastTreeOptimized();
        if (rc != 0)
            return rc;
    }
    const bool nexus = isNexusFormat(b.format);
    if (nexus) {
        auxPrintf("\ttree B_%u.%u = [&%c] [&W 1", rep, i, b.rooted ? 'R' : 'U');
        if (k > 1)
            auxPrintf("/%u] ", k);
        else
            auxPuts("] ");
    } else if (b.format == kFmtHennig && b.treesWritten > 0) {
        // Hennig86 ends every tree but the last with "*" and the last with
        // ";", which the close writes: a stopped run still ends its list.
        auxPuts("*\n");
    }
    outputTreeDescription(tree, false, b.lengths ? kDescrBrlens : kDescrNoLengths, false, b.format == kFmtNexus,
                          b.format == kFmtHennig ? ' ' : ',', b.lengths ? svtr.maxDecimals : 0,
                          treeLabelWriter(b.format), data);
    if (b.format != kFmtHennig)
        auxPuts(";\n");
    b.treesWritten++;
    return auxFileError() ? 1 : 0;
}

// Each replicate's trees are finished results: a termination signal keeps
// the file up to the last whole replicate, closed as the run's own end
// closes it. (A file that cannot be marked is abandoned then, as any other.)
void keepReplicatesSoFar(const BootJackData &b)
{
    StreamInfo *stream = b.treeFile->stream;
    setStreamClosing(stream, isNexusFormat(b.format)    ? "end;\n"
                             : b.format == kFmtHennig ? ";\n\nprocedure /;\n"
                                                      : nullptr);
    markStreamKept(stream);
}

int closeBootTreeFile(bool completed)
{
    BootJackData &b = btjkData;
    if (!b.treeFile)
        return 0;
    AuxOut *previous = setActiveAuxOut(b.treeFile);
    if (isNexusFormat(b.format))
        auxPuts("end;\n");
    else if (b.format == kFmtHennig)
        auxPuts(b.treesWritten > 0 ? ";\n\nprocedure /;\n" : "\nprocedure /;\n");
    const std::string shown = auxPathnameForDisplay(b.treeFile, 255);
    const int failed = closeAuxOutStream(b.treeFile);
    b.treeFile = nullptr;
    setActiveAuxOut(previous);
    if (failed)
        return qel_errorMsg(0, "Error writing the replicate trees to file \"%s\".", shown.c_str()), 1;
    if (completed) {
        qel_printf("\nTrees for each replicate written to treefile: %s\n", shown.c_str());
        if (b.notBinary > 0)
            qel_printf("Note: %u nonbinary %s not written to file (not accepted by FreqPars).\n", b.notBinary,
                       b.notBinary == 1 ? "tree" : "trees");
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Checks

int checkBootJackOptions(DataInfo *data, bool jackknife)
{
    (void)data;
    const std::string name = jackknife ? "jackknife" : "bootstrap";
    if (!btjkOpt.keepAll && (btjkOpt.conLevel < 50 || btjkOpt.conLevel > 100))
        return qel_errorMsg(510, "The minimum frequency for retaining groups in the consensus tree (ConLevel) must be "
                                 "between 50%% and 100%%."),
               1;
    if ((btjkOpt.search == kBootNJ || btjkOpt.search == kBootUPGMA) && gCriterion != kCriterionDistance)
        return qel_errorMsg(524, "Neighbor-joining or UPGMA %s is permitted only with distance optimality criterion."
                                 "\tYou can use \"set criterion=distance;\" or choose the Distance item from the "
                                 "Analysis menu.",
                            name.c_str()),
               1;
    if (gCriterion == kCriterionDistance) {
        if (!gDistFxns.check || !gDistFxns.clusterReplicates)
            return qel_errorMsg(0, "%s analyses under the distance criterion need the distance methods, which "
                                   "this program was built without.",
                                capitalized(name).c_str()),
                   1;
        if (gDistFxns.check(capitalized(name).c_str(), data) != 0)
            return 1;
    }
    // The consensus tree is rooted for output when the replicates are done;
    // asking then would waste the run, so the choice is made now.
    if (rooting.rootMethod == kRootMidpoint || rooting.rootMethod == kRootLundberg) {
        if (!userQuery(true, "Midpoint and Lundberg rooting are not supported for bootstrap consensus tree output.  "
                             "OK to use outgroup rooting (with the currently defined outgroup) instead?"))
            return 1;
        rooting.rootMethod = kRootOutgroup;
        if (const TreeDataHooks &h = treeDataHooks(); h.forgetLastTreeOptimized)
            h.forgetLastTreeOptimized();
    }
    // Every character excluded: the shared refusal of analyses without
    // character data.
    if (btjkData.included.empty()) {
        requireCharData(data);
        return 1;
    }
    if (jackknife && btjkOpt.wts == kBtjkWtsProportional && hasNonIntegerWeights(btjkData))
        return qel_errorMsg(527, "Non-integer weights are not allowed with jackknifing using the standard "
                                 "('proportional') method for handling weights.\tYou can use the 'wts=simple' option "
                                 "with non-integer weights."),
               1;
    if (!jackknife && btjkOpt.nchar > 0 && btjkOpt.wts == kBtjkWtsSimple)
        return qel_errorMsg(530, "The 'nchar' option (number of characters to resample) is not permitted when the "
                                 "option for weight handling is 'simple.'\tWhen 'simple' is requested, the number "
                                 "of characters to resample is determined by the (possibly weighted) number of "
                                 "characters in the data set."),
               1;
    // Replicates drawn over site patterns (likelihood, and distances that
    // likelihood computes) cannot carry rates given site by site.
    const bool patterns = gCriterion == kCriterionLikelihood ||
                          (gCriterion == kCriterionDistance && dataServices().isMLDistance());
    if (patterns && gSiteSpecificRates && gSiteSpecificRates())
        return qel_errorMsg(528, "Bootstrapping and jackknifing are not currently supported for likelihood "
                                 "analysis when site-specific rates are in effect."),
               1;
    return 0;
}

// ---------------------------------------------------------------------------
// Consensus

// Support values of the consensus tree carried onto its copy as the tree
// buffer decodes it (the buffer keeps one value per node in the decoded
// tree's preorder).
void copySupportByGroup(Tree *from, Tree *to)
{
    setTraversalSeq(from);
    setTraversalSeq(to);
    makeAllLeafSets(from);
    makeAllLeafSets(to);
    const uint32_t words = std::min(from->wordsPerLeafSet, to->wordsPerLeafSet);
    for (TreeNode *p = to->root; p; p = p->next) {
        p->edge.support = 0.0f;
        if (!p->leafSet)
            continue;
        for (TreeNode *q = from->root; q; q = q->next)
            if (q->leafSet && std::equal(q->leafSet, q->leafSet + words, p->leafSet)) {
                p->edge.support = q->edge.support;
                break;
            }
    }
}

int computeAndOutputBootJackTree(DataInfo *data, double total)
{
    BootJackData &b = btjkData;
    setStatusText(b.jackknife ? "Computing jackknife consensus tree..." : "Computing bootstrap consensus tree...");
    TreeBuffer *buf = getActiveTreeBuffer();
    // A filter over the trees being replaced would hide the consensus tree.
    deleteTreeSets(true);
    emptyTreeBuffer(buf, true);
    const uint32_t level = btjkOpt.keepAll ? 50u : static_cast<uint32_t>(btjkOpt.conLevel);
    int status = selectConsensusSplits(b.groups.get(), kConMajRule, btjkOpt.keepAll != 0, level, b.list.get(), total);
    if (status != 0)
        return status;
    return storeAndShowBootJackConsensus(data, b.groups.get(), b.list.get(), b.rooted, b.jackknife,
                                         capitalized(b.name) + " " + std::to_string(level) +
                                             "% majority-rule consensus tree" +
                                             (btjkOpt.keepAll ? "\n   (plus other groups compatible with this tree)" : ""),
                                         total);
}

int runReplicates(DataInfo *data)
{
    switch (btjkOpt.search) {
    case kBootNJ:
    case kBootUPGMA:
        return gDistFxns.clusterReplicates(btjkOpt.search == kBootUPGMA, data);
    case kBootBandB:
        return exactTreeSearch(false, 1);
    case kBootFastStep:
        return stdHeuristicSearch(kFastStepMode, data);
    default:
        return stdHeuristicSearch(1, data);
    }
}

// The settings report: on the screen after a blank line, its lines indented
// by the output's indentation; in the replicate tree file (`lead` empty)
// indented by hand, as that file knows no indentation.
void showBootJackSettings(PrintHook print, const char *lead)
{
    static const char *const kSearchNames[] = {"heuristic", "branch-and-bound", "fast-heuristic", "neighbor-joining",
                                               "UPGMA"};
    const BootJackData &b = btjkData;
    print("%s%s method with %s search:\n", lead, capitalized(b.name).c_str(),
          kSearchNames[std::min<uint32_t>(btjkOpt.search, 4)]);
    print("  Number of %s replicates = %d\n", b.name.c_str(), btjkOpt.nreps);
    print("  Starting seed = %s\n", seedString(b.seed).c_str());
    if (print != qel_printf) {
        showCharResampling(print, "  ");
        return;
    }
    indentOutput(2);
    showCharResampling();
    indentOutput(-2);
}

// The model group a run may resample in place: under a criterion that
// scores site patterns, with a search whose every step reads the pattern
// weights (a neighbour-joining start, and the bounds of branch and bound,
// come from distances of the replicate's own data set).
ModelGroup *patternGroupToResample(DataInfo *data)
{
    const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
    if (!f || !f->patternResample)
        return nullptr;
    const bool patternsOnly = btjkOpt.search == kBootFastStep ||
                              (btjkOpt.search == kBootHeuristic && hs.startSource != kStartNJ);
    if (!patternsOnly || prepareData(kPrepCurrentCriterion, 0, false) != 0)
        return nullptr;
    return f->patternResample->groupToResample(data);
}

// Where the patterns cannot be drawn in place, the record whose group may
// take the drawn character weights in place (null when none may).
const PatternResampleFxns *reweightFxns()
{
    const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
    return f && f->patternResample && f->patternResample->groupToReweight ? f->patternResample : nullptr;
}

// One replicate's drawn character weights. The first is prepared afresh,
// exactly as before (with its messages, should the settings fail); the
// set-up it leaves then takes each later replicate's weights in place, for
// as long as it stands.
int reweightedReplicate(DataInfo *data)
{
    BootJackData &b = btjkData;
    const PatternResampleFxns *f = reweightFxns();
    if (b.reweightGroup && f->groupToReweight(data) == b.reweightGroup)
        return distanceReplicateStatus(f->charWeightsChanged(data));
    b.reweightGroup = nullptr;
    const int status = prepareResampledData(data);
    if (status == 0)
        b.reweightGroup = f->groupToReweight(data);
    return status;
}

PatternDraws patternDraws(const BootJackData &b)
{
    return PatternDraws{b.savedFreqs.data(), static_cast<uint32_t>(b.savedFreqs.size()), b.charPattern.data(),
                        b.charWeight.data(), static_cast<uint32_t>(b.charPattern.size())};
}

// One replicate drawn into the model group's pattern weights: the patterns
// stay as built, only how often each counts changes.
int patternReplicate(DataInfo *data)
{
    BootJackData &b = btjkData;
    ModelGroup *g = b.patGroup;
    // The search prepares the data once more before its first replicate;
    // the patterns it builds are those of the same data and weights.
    if (g->ngrp != b.savedFreqs.size() || !g->groupPatternWeight)
        return qel_errorMsg(0, "The site patterns changed during the %s analysis.", b.name.c_str()), 1;
    double *freqs = g->groupPatternWeight;
    const PatternDraws src = patternDraws(b);
    if (!b.jackknife)
        bootPatternSample(freqs, src, b.nResampled, b.simple, b.sampler, &b.rng);
    else
        jackPatternSample(freqs, src, b.nResampled, b.nDelete, btjkOpt.resample ? btjkOpt.pctDelete / 100.0 : -1.0,
                          b.simple, &b.rng);
    g->totalWeight = 0.0;
    for (uint32_t p = 0; p < g->ngrp; p++)
        g->totalWeight += freqs[p];
    return criterionSearchFxns(gCriterion)->patternResample->weightsChanged(data);
}

void restorePatternFreqs(DataInfo *data)
{
    BootJackData &b = btjkData;
    ModelGroup *g = b.patGroup;
    if (!g || !data || !isSitePatternDataValid(g) || g->ngrp != b.savedFreqs.size() || !g->groupPatternWeight)
        return;
    std::copy(b.savedFreqs.begin(), b.savedFreqs.end(), g->groupPatternWeight);
    g->totalWeight = b.savedTotal;
    if (const CriterionSearchFxns *f = criterionSearchFxns(gCriterion); f && f->patternResample)
        f->patternResample->weightsChanged(data);
}

}  // namespace

int storeAndShowBootJackConsensus(DataInfo *data, SplitsTable *groups, const SplitsList *list, bool rooted,
                                  bool jackknife, const std::string &heading, double total)
{
    TreeBuffer *buf = getActiveTreeBuffer();
    int status = 0;
    const uint32_t kind = jackknife ? kConJackknife : kConBootstrap;
    TreeHandle tree(createConsensusTree());
    if (!tree || allocSpecialTreeData(1) != 0)
        return 1;
    tree->flags = rooted ? (tree->flags | kTreeRootedAtAnc) : (tree->flags & ~kTreeRootedAtAnc);
    const float *support = groups->support.empty() ? nullptr : groups->support.data();
    if ((status = finishContree(tree.get(), kConMajRule, support, list, data, rooted)) != 0)
        return status;
    gSpecialTree.values[0] = kind;
    setRootededness(buf, rooted);
    if (isPutTreeFull(putTree(tree.get(), buf, false)))
        return 1;
    TreeHandle stored(createTree(true));
    if (!stored || getTree(buf, 1, stored.get()) != 0)
        return 1;
    copySupportByGroup(tree.get(), stored.get());
    if (storeSupportValues(stored.get(), buf) != 0)
        return 1;
    addTreeSourceFlag(jackknife ? kTreeSourceJackknife : kTreeSourceBootstrap);
    setStatusText("Outputting consensus tree...");
    qel_printf("\n%s\n", heading.c_str());
    if ((status = rootConsensusForOutput(tree.get(), data)) != 0)
        return status;
    drawTree(tree.get(), kDrawSupport, 0, true, data);
    if (getAbortedStatus())
        return 2;
    if (btjkOpt.grpFreq)
        showSplitsDotPlot(groups, data, static_cast<uint32_t>(btjkOpt.cutoffPct), rooted,
                          jackknife ? " (jackknife support values)" : " (bootstrap support values)", total);
    clearStatusText();
    return getAbortedStatus() ? 2 : 0;
}


void bootPatternSample(double *freqs, const PatternDraws &src, uint32_t n, bool simple, MultinomialSampler *sampler,
                       RNG *rng)
{
    std::fill(freqs, freqs + src.npat, 0.0);
    if (simple || !sampler) {
        // A uniformly drawn included character adds its weight to its pattern.
        if (src.nchars == 0)
            return;
        for (uint32_t k = 0; k < n; k++) {
            const uint32_t i = std::min(randomInteger(rng, src.nchars), src.nchars - 1);
            if (const uint32_t p = src.charPattern[i]; p != kNoSite && p < src.npat)
                freqs[p] += simple ? src.charWeight[i] : 1.0;
        }
        return;
    }
    for (uint32_t k = 0; k < n; k++)
        freqs[std::min(sampleFromMultinomial(sampler, rng), src.npat - 1)] += 1.0;
}

void jackPatternSample(double *freqs, const PatternDraws &src, uint32_t n, uint32_t d, double pJac, bool simple,
                       RNG *rng)
{
    std::copy(src.freqs, src.freqs + src.npat, freqs);
    auto drop = [&](uint32_t p, double amount) {
        if (p != kNoSite && p < src.npat)
            freqs[p] = std::max(freqs[p] - amount, 0.0);
    };
    if (simple) {
        // Whole characters leave their patterns, each with its weight.
        const uint32_t N = src.nchars;
        uint32_t deleted = 0;
        for (uint32_t i = 0; i < N; i++) {
            const bool out = pJac >= 0.0 ? randUni(rng) < pJac
                                         : static_cast<double>(d - deleted) > (N - i) * randUni(rng);
            if (out) {
                drop(src.charPattern[i], src.charWeight[i]);
                deleted++;
            }
        }
        return;
    }
    if (pJac >= 0.0) {
        // Every copy of every pattern goes with the deletion probability.
        for (uint32_t p = 0; p < src.npat; p++)
            for (auto k = std::llround(src.freqs[p]); k > 0; k--)
                if (randUni(rng) < pJac)
                    drop(p, 1.0);
        return;
    }
    // Exactly d of the n sites, in pattern order: site i belongs to the
    // pattern whose running total of frequencies first exceeds i.
    uint32_t deleted = 0, p = 0;
    double cum = src.npat > 0 ? src.freqs[0] : 0.0;
    for (uint32_t i = 0; i < n && deleted < d; i++) {
        if (static_cast<double>(d - deleted) > (n - i) * randUni(rng)) {
            while (p + 1 < src.npat && static_cast<double>(i) >= cum - 1e-9)
                cum += src.freqs[++p];
            drop(p, 1.0);
            deleted++;
        }
    }
}

RNG *getBootJackRNG() { return &btjkData.rng; }

void installResamplingDistanceFxns(const ResamplingDistanceFxns &fxns) { gDistFxns = fxns; }
void installSiteSpecificRatesQuery(bool (*query)()) { gSiteSpecificRates = query; }

uint32_t bootRepsCompleted() { return btjkData.completed; }
uint32_t bootRepsWithoutTree() { return btjkData.noTree; }

double bootGroupWeight(const uint32_t *taxa, uint32_t n)
{
    const SplitsTable *t = btjkData.groups.get();
    if (!t)
        return 0.0;
    std::vector<uint64_t> split(t->words, 0);
    for (uint32_t i = 0; i < n; i++)
        split[taxa[i] / 64] |= uint64_t{1} << (taxa[i] % 64);
    const uint32_t at = findMatchingSplit(t, split.data(), nullptr);
    return at == kNoSplit ? 0.0 : t->weights[at];
}

int initBootJack(bool jackknife, uint32_t weightMode, const uint32_t seed[4], DataInfo *data)
{
    BootJackData &b = btjkData;
    b.jackknife = jackknife;
    b.name = jackknife ? "jackknife" : "bootstrap";
    b.completed = b.noTree = 0;
    b.savedWts.assign(data->weights, data->weights + data->nchar);
    b.included.clear();
    for (uint32_t c = 0; c < data->nchar; c++)
        if (isResampled(data, c))
            b.included.push_back(c);
    bool weighted = false;
    b.totalWeight = 0.0;
    for (uint32_t c : b.included) {
        weighted = weighted || b.savedWts[c] != 1.0;
        b.totalWeight += b.savedWts[c];
    }
    b.unweighted = !weighted;
    b.proportional = weighted && weightMode == kBtjkWtsProportional;
    b.simple = weighted && weightMode == kBtjkWtsSimple;
    b.seed = seedForRun(seed);
    initRNG(&b.rng, b.seed);
    const auto nIncluded = static_cast<uint32_t>(b.included.size());
    b.patGroup = patternGroupToResample(data);
    b.reweightGroup = nullptr;
    double sites = 0.0;
    if (ModelGroup *g = b.patGroup) {
        b.savedFreqs.assign(g->groupPatternWeight, g->groupPatternWeight + g->ngrp);
        b.savedTotal = g->totalWeight;
        b.charPattern.clear();
        b.charWeight.clear();
        for (uint32_t c : b.included) {
            b.charPattern.push_back(g->siteToGroupPattern ? g->siteToGroupPattern[c] : kNoSite);
            b.charWeight.push_back(b.savedWts[c]);
        }
        for (double f : b.savedFreqs)
            sites += f;
    }
    if (!jackknife && btjkOpt.nchar > 0)
        b.nResampled = static_cast<uint32_t>(btjkOpt.nchar);
    else if (b.patGroup && !b.simple)
        b.nResampled = static_cast<uint32_t>(std::llround(sites));  // the sites (weight units) in patterns
    else if (b.proportional)
        b.nResampled = static_cast<uint32_t>(std::llround(b.totalWeight));
    else
        b.nResampled = nIncluded;
    // Half a character rounds up: 50% of 11 deletes 6.
    b.nDelete = jackknife && !btjkOpt.resample
                    ? static_cast<uint32_t>(std::floor(btjkOpt.pctDelete / 100.0 * b.nResampled + 0.5))
                    : 0;
    b.sampler = destroyMulnomSampler(b.sampler);
    if (b.patGroup && !jackknife && !b.simple) {
        if (!(b.sampler = createMultinomialSampler(b.savedFreqs.data(), static_cast<uint32_t>(b.savedFreqs.size()),
                                                   &b.rng)))
            return 1;
    } else if (!b.patGroup && !jackknife && b.proportional) {
        std::vector<double> w(nIncluded);
        for (uint32_t i = 0; i < nIncluded; i++)
            w[i] = b.savedWts[b.included[i]];
        if (!(b.sampler = createMultinomialSampler(w.data(), nIncluded, &b.rng)))
            return 1;
    }
    // The draw without replacement moves k of the array's values to its
    // front: the array must hold every position 0..n-1 (a permutation of
    // them stays one, so later replicates draw from the array as left).
    b.index.resize(nIncluded);
    std::iota(b.index.begin(), b.index.end(), 0u);
    // The replicates' trees are over the active taxa, as are their groups.
    const uint32_t ntax = numSearchTaxa(data);
    b.groups.reset(createSplitsTable(ntax, 5 * ntax, kSplitsWeights | kSplitsSupport));
    b.list.reset(createSplitsList(ntax, ntax, true));
    b.work.reset(createTree(true));
    return b.groups && b.list && b.work ? 0 : 1;
}

int bootJackSample(DataInfo *data)
{
    if (writeBootTreeHeader(data) != 0)
        return 1;
    BootJackData &b = btjkData;
    double *w = data->weights;
    const auto n = static_cast<uint32_t>(b.included.size());
    if (n == 0)
        return 1;
    if (b.patGroup)
        return patternReplicate(data);
    if (!b.jackknife) {
        for (uint32_t c : b.included)
            w[c] = 0.0;
        for (uint32_t k = 0; k < b.nResampled; k++) {
            const uint32_t i = b.sampler ? sampleFromMultinomial(b.sampler, &b.rng) : randomInteger(&b.rng, n);
            const uint32_t c = b.included[std::min(i, n - 1)];
            w[c] += b.simple ? b.savedWts[c] : 1.0;
        }
    } else {
        // A deleted character gets weight 0 for this replicate: it is out of
        // the score exactly as an excluded one, and the packed layout stays.
        for (uint32_t c : b.included)
            w[c] = b.savedWts[c];
        const double p = btjkOpt.pctDelete / 100.0;
        if (b.proportional) {
            // Weight units in character order; unit i belongs to the character
            // holding it.
            uint32_t deleted = 0, unit = 0;
            const uint32_t N = b.nResampled;
            for (uint32_t c : b.included) {
                const auto units = static_cast<uint32_t>(std::llround(b.savedWts[c]));
                for (uint32_t u = 0; u < units; u++, unit++) {
                    const bool drop = btjkOpt.resample ? randUni(&b.rng) < p
                                                       : (b.nDelete - deleted) > (N - unit) * randUni(&b.rng);
                    if (drop) {
                        w[c] -= 1.0;
                        deleted++;
                    }
                }
                w[c] = std::max(w[c], 0.0);
            }
        } else if (btjkOpt.resample) {
            for (uint32_t c : b.included)
                if (randUni(&b.rng) < p)
                    w[c] = 0.0;
        } else {
            sampleNoReplacement(&b.rng, b.index.data(), b.nDelete, n);
            for (uint32_t k = 0; k < b.nDelete; k++)
                w[b.included[b.index[k]]] = 0.0;
        }
    }
    if (gCriterion == kCriterionParsimony) {
        setNeedParsPrep(1);
        return prepareParsimonyData(data);
    }
    if (!b.patGroup && reweightFxns())
        return reweightedReplicate(data);
    return prepareResampledData(data);
}

void deallocBootJack(DataInfo *data)
{
    BootJackData &b = btjkData;
    if (data && b.savedWts.size() == data->nchar)
        std::copy(b.savedWts.begin(), b.savedWts.end(), data->weights);
    restorePatternFreqs(data);
    b.patGroup = nullptr;
    b.reweightGroup = nullptr;
    b.savedFreqs.clear();
    b.charPattern.clear();
    b.charWeight.clear();
    b.sampler = destroyMulnomSampler(b.sampler);
    b.groups.reset();
    b.list.reset();
    b.work.reset();
    b.index.clear();
    b.included.clear();
    b.savedWts.clear();
}

void showCharResampling(PrintHook print, const char *indent)
{
    const BootJackData &b = btjkData;
    if (b.simple)
        print("%s\"Simple\" character weighting used\n", indent);
    else if (b.proportional)
        print("%sCharacters sampled proportionally to character weights\n", indent);
    if (!b.jackknife) {
        print("%sNumber of characters resampled in each replicate = %u\n", indent, b.nResampled);
    } else if (btjkOpt.resample) {
        print("%s  \"Jac\" resampling method used; deletion probability = %g%%\n", indent, btjkOpt.pctDelete);
    } else {
        // Simple weighting deletes d of the included characters whatever
        // their weights: the total they are a share of is their count, not
        // the sum of their weights (12 of 24 characters of weight 0.1 each
        // is half of them, not 500%).
        const double total = b.proportional ? b.totalWeight : static_cast<double>(b.included.size());
        // The screen wraps this long line with the hanging indentation its
        // mark sets; a file is not wrapped and takes no mark.
        const char *hang = print == qel_printf ? "\b" : "";
        print("%sNo%sminal deletion percentage = %g%% (%u of %g %s%s deleted in each replicate; actual deletion "
              "percentage = %.3f%%)\n",
              indent, hang, btjkOpt.pctDelete, b.nDelete, total, b.proportional ? "weighted " : "",
              b.nDelete == 1 ? "character is" : "characters are", 100.0 * b.nDelete / total);
    }
}

namespace {

// Tallies the k trees of one replicate, each with weight 1/k, and writes
// them to the replicate tree file; fetch(i) puts tree i into the work tree.
// A replicate of one clustering tree gives that tree with its lengths as
// withLengths, written in place of the work tree when lengths are written.
template <class Fetch>
int tallyReplicate(DataInfo *data, uint32_t k, Fetch fetch, Tree *withLengths = nullptr)
{
    BootJackData &b = btjkData;
    if (k == 0 && gSearchState.outerRepLimited) {
        b.noTree++;
        return 0;
    }
    const uint32_t rep = replicateNumber();
    AuxOut *previous = b.treeFile ? setActiveAuxOut(b.treeFile) : nullptr;
    if (b.treeFile && (b.format == kFmtNexus || b.format == kFmtAltNexus))
        auxPrintf("\n[Trees found in %s replicate #%u]\n", b.name.c_str(), rep);
    int status = 0;
    for (uint32_t i = 1; i <= k && status == 0; i++) {
        if (!fetch(i) || updateSplitsTableFromTree(b.groups.get(), b.work.get(), true, 1.0 / k) != 0) {
            status = 1;
            break;
        }
        if (b.treeFile) {
            const bool given = withLengths && b.lengths;
            status = writeReplicateTree(given ? withLengths : b.work.get(), data, rep, i, k, given ? 0 : i);
        }
    }
    if (b.treeFile) {
        if (auxFlushBuffer(0, false) != 0)
            status = 1;
        else if (status == 0 && b.treesWritten > 0)
            keepReplicatesSoFar(b);
        setActiveAuxOut(previous);
    }
    if (status == 0)
        b.completed++;
    return status;
}

}  // namespace

int updateBootGroups(DataInfo *data)
{
    TreeBuffer *buf = getActiveTreeBuffer();
    return tallyReplicate(data, numTreesInBuffer(buf),
                          [&](uint32_t i) { return getTree(buf, i, btjkData.work.get()) == 0; });
}

int updateBootGroupsClustered(DataInfo *data, Tree *tree)
{
    TreeBuffer *buf = getActiveTreeBuffer();
    return tallyReplicate(
        data, numTreesInBuffer(buf), [&](uint32_t i) { return getTree(buf, i, btjkData.work.get()) == 0; }, tree);
}

bool bootTreeLengthsWanted() { return btjkData.treeFile && btjkData.lengths; }

int tallyStarReplicate(DataInfo *data)
{
    Tree *star = btjkData.work.get();
    return tallyReplicate(data, 1, [&](uint32_t) {
        return makeStarTree(star, star->activeTaxa, btjkData.rooted, 0, nullptr) == 0;
    });
}

int bootJack(bool jackknife)
{
    DataInfo *data = activeDataInfo();
    if (!data || checkCharStatusUpdate(data) != 0)
        return 1;
    BootJackData &b = btjkData;
    b.name = jackknife ? "jackknife" : "bootstrap";
    char savedFile[sizeof btjkOpt.treeFile];
    std::memcpy(savedFile, btjkOpt.treeFile, sizeof savedFile);
    btjkOpt.treeFile[0] = '\0';
    gReplaceFile = gAppendToFile = 0;
    const int term = getCmdParams(jackknife ? OptionSet::kJackknife : OptionSet::kBootstrap, ";/", nullptr);
    if (term <= 0) {
        std::memcpy(btjkOpt.treeFile, savedFile, sizeof savedFile);
        return term < 0 ? 0 : 1;
    }
    const bool saving = btjkOpt.treeFile[0] != '\0';
    const std::string fileName = saving ? btjkOpt.treeFile : kDefaultBootTreeFile;
    if (!saving)
        std::memcpy(btjkOpt.treeFile, kDefaultBootTreeFile, std::strlen(kDefaultBootTreeFile) + 1);
    const uint8_t replace = gReplaceFile, append = gAppendToFile;
    // The heuristic search's start is not remembered from one command to the
    // next: without options of its own a replicate starts where HSearch would
    // by default (from the NJ tree under the distance criterion), not from
    // whatever the last HSearch asked for.
    if (btjkOpt.search == kBootHeuristic && term != '/') {
        getStarterOptions(kParamOpFactory, nullptr, nullptr);
        hs.retain = 0;
    }
    if (term == '/') {
        if (btjkOpt.search == kBootFastStep) {
            if (peekNextChar(nullptr) != ';')
                return qel_errorMsg(0, "The fast stepwise-addition search takes no options; \";\" expected after "
                                       "\"/\"."),
                       1;
        } else if (btjkOpt.search == kBootHeuristic || btjkOpt.search == kBootBandB) {
            if (getCmdParams(btjkOpt.search == kBootBandB ? OptionSet::kBandB : OptionSet::kHSearch, ";",
                             nullptr) <= 0)
                return 1;
        } else if (getCmdParams(btjkOpt.search == kBootUPGMA ? OptionSet::kUPGMA : OptionSet::kNJ, ";", nullptr) <=
                   0) {
            // NJ and UPGMA replicates take their commands' options (ties,
            // BioNJ, constraints).
            return 1;
        }
    }
    gReplaceFile = replace;
    gAppendToFile = append;

    b.savedWts.assign(data->weights, data->weights + data->nchar);
    b.included.clear();
    for (uint32_t c = 0; c < data->nchar; c++)
        if (isResampled(data, c))
            b.included.push_back(c);
    if (checkBootJackOptions(data, jackknife) != 0)
        return 1;
    if (btjkOpt.search == kBootHeuristic && (hs.startSource == kStartCurrent || hs.startSource == kStartRange))
        return qel_errorMsg(545, "Starting bootstrap and jackknife searches from trees in memory is not permitted."),
               1;
    // Every search of a replicate keeps the enforced groups (NJ and UPGMA
    // test each join, the others each tree they keep); only a converse
    // constraint has no meaning for a tally of groups, and is refused before
    // the first replicate rather than inside it (NJ and UPGMA warn that they
    // ignore it, as their commands do).
    const bool clustering = btjkOpt.search == kBootNJ || btjkOpt.search == kBootUPGMA;
    if (srch.enforce && !clustering) {
        ConstraintOptionCheck check{};
        check.enforce = true;
        check.converse = srch.converse != 0;
        // The same order of refusals as a search of its own: a converse
        // constraint without swapping (fast stepwise replicates never swap)
        // and a convexity constraint with a neighbor-joining start are
        // named before the refusal of converse constraints here.
        check.noSwapping = btjkOpt.search == kBootFastStep || (btjkOpt.search == kBootHeuristic && hs.swap == 0);
        check.njStart = btjkOpt.search == kBootHeuristic && hs.startSource == kStartNJ;
        check.resampling = true;
        check.looseness = srch.looseConvex;
        if (checkConstraintOptions(check) != 0)
            return 1;
    }
    // Branch and bound takes any number of taxa, as its own command does:
    // only the exhaustive search has a taxon limit, and no replicate runs it.
    if (checkSearchSettings(data, kSearchConstraintsOk) != 0)
        return 1;
    // The heuristic searches ask themselves; the others replace the trees
    // unasked.
    if (btjkOpt.search != kBootHeuristic && btjkOpt.search != kBootFastStep && !verifyReplaceTrees())
        return 1;

    int status = 0;
    if (initBootJack(jackknife, btjkOpt.wts, btjkOpt.seed, data) != 0) {
        deallocBootJack(data);
        return qel_errorMsg(0, "Not enough memory for the %s analysis.", b.name.c_str()), 1;
    }
    // UPGMA trees are rooted by their clustering.
    b.rooted = btjkOpt.search == kBootUPGMA || isRootedSearch(data);
    setStatusText(jackknife ? "Performing jackknife analysis..." : "Performing bootstrap analysis...");
    if (const int opened = saving ? openBootTreeFile(data, fileName.c_str()) : 0; opened != 0) {
        deallocBootJack(data);
        clearStatusText();
        return opened;
    }
    const ReplicatedHeadingScope heading(showSettingsCopied);
    gSearchState.replicatedKind = jackknife ? -1 : 1;
    gSearchState.limitedOuterReps = 0;
    TimeMark start{}, stop{};
    setTimeMark(&start);
    // A run ended by a termination signal says how far it got, as a stop by
    // the user does; the tree file keeps the replicates finished.
    const TerminationFinisher finisher(
        [](void *) {
            const BootJackData &run = btjkData;
            const bool heuristic = btjkOpt.search == kBootHeuristic || btjkOpt.search == kBootFastStep;
            qel_printf(heuristic ? "\n%s aborted after %u replicate(s)\n" : "\n%s aborted after %u replicates\n",
                       capitalized(run.name).c_str(), run.completed);
        },
        nullptr);
    status = runReplicates(data);
    if (writeBootTreeHeader(data) != 0 && status == 0)
        status = 1;
    setTimeMark(&stop);
    gSearchState.replicatedKind = 0;

    if (closeBootTreeFile(status != -1 && b.completed > 0) != 0 && status == 0)
        status = 1;
    // Stopped before a replicate was done: nothing to count or sum up, but
    // the run still says it ended (a clustering run says so itself).
    if (status == 2 && b.completed == 0 && !clusteringSearch())
        qel_printf("\n%s aborted\n", capitalized(b.name).c_str());
    if (status == 0 || (b.completed > 0 && status != -1)) {
        // Heuristic runs report "replicate(s)", the other searches "replicates".
        const bool heuristic = btjkOpt.search == kBootHeuristic || btjkOpt.search == kBootFastStep;
        // A clustering run has said itself how far it got.
        const bool clustering = btjkOpt.search == kBootNJ || btjkOpt.search == kBootUPGMA;
        if (status != 2)
            qel_printf("\n%u %s replicates completed\n", b.completed, b.name.c_str());
        else if (!clustering)
            qel_printf(heuristic ? "\n%s aborted after %u replicate(s)\n" : "\n%s aborted after %u replicates\n",
                       capitalized(b.name).c_str(), b.completed);
        if (const uint32_t limited = gSearchState.limitedOuterReps; limited > 0)
            qel_printf("Sea\brches were terminated by time or rearrangement limit in %u %s\n", limited,
                       limited == 1 ? "replicate" : "replicates");
        if (b.noTree > 0)
            qel_printf("%u %s found no tree and %s not counted\n", b.noTree,
                       b.noTree == 1 ? "replicate" : "replicates", b.noTree == 1 ? "was" : "were");
        showTimeUsed(&start, &stop, 0, "");
        if (b.completed > 0) {
            const int r = computeAndOutputBootJackTree(data, static_cast<double>(b.completed));
            if (r == 2)
                status = 2;
            else if (r != 0 && status == 0)
                status = 1;
        }
    }
    // The weights go back as they were; the packed data are rebuilt from them
    // before the next analysis.
    deallocBootJack(data);
    if (gCriterion != kCriterionParsimony)
        forgetWeightedData(data);
    setNeedParsPrep(3);
    clearStatusText();
    return status;
}

int doBootstrapCmd() { return bootJack(false); }
int doJackknifeCmd() { return bootJack(true); }
