#include "selection/clockcheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/qel_cmdoptions.h"
#include "data/charstat.h"
#include "data/model.h"
#include "data/nexsets.h"
#include "data/prepdata.h"
#include "data/vorn_util.h"
#include "distance/dcalc.h"
#include "distance/dmatrix.h"
#include "distance/nj.h"
#include "likelihood/activeml.h"
#include "likelihood/infocrit.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/mlinit.h"
#include "likelihood/models.h"
#include "likelihood/mlsettings_report.h"
#include "likelihood/treelike.h"
#include "qel/qel_distrib.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_setptn.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "selection/selection_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

enum ExcludeBy : int32_t { kExcludeNone = 0, kExcludeLRT, kExcludeAIC, kExcludeAICc, kExcludeBIC };
const char *const kCriterionNames[] = {"", "likelihood-ratio P-value", "AIC", "AICc", "BIC"};

struct DMatrixDestroyer {
    void operator()(DMatrix *dm) const { destroyDMatrix(dm); }
};
struct ClustDestroyer {
    void operator()(ClustData *cd) const { destroyClustData(cd); }
};

// The work record of one run.
struct ClockCheckRun {
    const Nexset *partition = nullptr;
    const SetPtn *ptn = nullptr;
    SetHandle saved;      // exclusion status the command found
    SetHandle toExclude;  // characters of the subsets excluded
    DataInfo *d = nullptr;
    TreeHandle tree;      // the stored tree being tested
    ProgData *progress = nullptr;
    std::unique_ptr<ClustData, ClustDestroyer> cd;
    TreeHandle upgmaTree;
    SetHandle taxa;       // taxa with enough data
    double sumClock = 0.0, sumFree = 0.0;
    ClockParams sumParamsClock, sumParamsFree;
    std::vector<uint32_t> trees;
    uint32_t modelParams = 0;
    uint32_t notAnalysed = 0;
    uint32_t withChars = 0;
    int nameWidth = 16;
    int treeWidth = 4;
    bool upgma = false;
    int32_t exclude = kExcludeNone;
    bool lrt = false, aic = false, aicc = false, bic = false;
    bool lackTaxa = false;
    bool didTree = false;
};

// A value with 4 decimals, padded to `width` (13 for scores; 0 for the
// differences, whose columns are narrower).
std::string fltToStr(double value, int width = 13)
{
    char text[64];
    std::snprintf(text, sizeof text, "%*.4f", width, value);
    return text;
}

// The three information criteria of a run, in printing order.
struct Criterion {
    bool on;
    int32_t which;
    const char *name;
};

std::vector<Criterion> infoCriteria(const ClockCheckRun &r)
{
    return {{r.aic, kExcludeAIC, "AIC"}, {r.aicc, kExcludeAICc, "AICc"}, {r.bic, kExcludeBIC, "BIC"}};
}

double criterionValue(int32_t which, double k, double negLnL, double n)
{
    switch (which) {
    case kExcludeAIC: return calcAIC(k, negLnL);
    case kExcludeAICc: return calcAICc(k, negLnL, n);
    default: return calcBIC(k, negLnL, n);
    }
}

// The partitioned table's columns. A difference goes into a 12-wide column,
// so it is written without the padding of the 13-wide scores: padded, it
// would push every row past the width advised below.
constexpr int kCountsWidth = 34;  // sites, taxa, times, brlens
constexpr int kLrtWidth = 14 + 14 + 12 + 10;
constexpr int kCriterionWidth = 14 + 14 + 12;

// The partitioned table's row: a row as wide as the default output width
// would wrap its last column onto a line of its own.
int partitionTableWidth(const ClockCheckRun &r)
{
    const int nic = r.aic + r.aicc + r.bic;
    return std::max(16, r.nameWidth) + kCountsWidth + kLrtWidth * r.lrt + kCriterionWidth * nic +
           4 * (r.exclude != kExcludeNone);
}

// Prints one comparison; true when the subset is to be excluded.
bool doOneTest(ClockCheckRun &r, const ClockParams &pc, const ClockParams &pn, bool subsetRow, const char *label,
               uint32_t sites, uint32_t ntax, uint32_t treeNum, double lc, double ln)
{
    const uint32_t df = pn.total() > pc.total() ? pn.total() - pc.total() : 0;
    const double P = clockLrtPvalue(lc, ln, df);
    const double n = static_cast<double>(sites);
    bool excluded = false;
    if (subsetRow && r.exclude == kExcludeLRT)
        excluded = clkChkOpt.lrtThreshold > P;
    std::vector<double> diffs(5, 0.0);
    for (const Criterion &c : infoCriteria(r)) {
        diffs[c.which] = criterionValue(c.which, pc.total(), lc, n) - criterionValue(c.which, pn.total(), ln, n);
        if (subsetRow && r.exclude == c.which)
            excluded = diffs[c.which] > clkChkOpt.xicThreshold;
    }
    if (r.ptn != nullptr || r.upgma) {
        qel_printf("%-*s%10u%8u%8u%8u", r.nameWidth, label, sites, ntax, pc.times, pn.brlens);
        if (r.lrt)
            qel_printf("%14s%14s%12s%10.5f", fltToStr(lc).c_str(), fltToStr(ln).c_str(), fltToStr(lc - ln, 0).c_str(), P);
        for (const Criterion &c : infoCriteria(r))
            if (c.on)
                qel_printf("%14s%14s%12s", fltToStr(criterionValue(c.which, pc.total(), lc, n)).c_str(),
                           fltToStr(criterionValue(c.which, pn.total(), ln, n)).c_str(),
                           fltToStr(diffs[c.which], 0).c_str());
        qel_printf("%s\n", excluded ? "   Y" : "");
        return excluded;
    }
    qel_printf("%*u%10u%10u", r.treeWidth, treeNum + 1, pc.times, pn.brlens);
    bool firstLine = true;
    const int indent = r.treeWidth + 20;
    if (r.lrt) {
        qel_printf("%12s%15s%14s%12s%10.5f\n", "-lnL", fltToStr(lc).c_str(), fltToStr(ln).c_str(),
                   fltToStr(lc - ln).c_str(), P);
        firstLine = false;
    }
    for (const Criterion &c : infoCriteria(r)) {
        if (!c.on)
            continue;
        qel_printf("%*s%12s%15s%14s%12s\n", firstLine ? 0 : indent, "", c.name,
                   fltToStr(criterionValue(c.which, pc.total(), lc, n)).c_str(),
                   fltToStr(criterionValue(c.which, pn.total(), ln, n)).c_str(), fltToStr(diffs[c.which]).c_str());
        firstLine = false;
    }
    return false;
}

// -ln L of the tree with the clock on or off; the clock setting is the
// caller's to restore. A gene is often missing for some taxa: a taxon with
// no data in the subset is left off the UPGMA tree (or, on a stored tree,
// contributes nothing), so it must not stop the set-up.
double likelihoodWithClock(Tree *tree, bool clock)
{
    ml.clock = clock;
    invalidateMLprep();
    if (prepareData(kPrepLikelihood, 0, true) != 0 || initializeML(true, false, false, true, tree) != 0)
        return kNoLScore;
    return calcTreeLikelihood(tree, kNoLScore);
}

// The stored tree (or, under upgma, the UPGMA tree of the taxa with enough
// data) of the characters included now. 0, 1 on failure, 2 stopped; `ntax`
// receives its number of tips, 0 when too few taxa have data.
int treeForTest(ClockCheckRun &r, uint32_t subset, bool whole, uint32_t treeNum, Tree **tree, uint32_t *ntax)
{
    if (!r.upgma) {
        if (getTree(getActiveTreeBuffer(), treeNum + 1, r.tree.get()) != 0)
            return 1;
        *tree = r.tree.get();
        *ntax = static_cast<uint32_t>(r.d->nActive);
        return 0;
    }
    const uint32_t active = static_cast<uint32_t>(r.d->nActive);
    uint32_t n = checkTaxonCompleteness(r.ptn, r.d, subset, whole, r.taxa.get(), clkChkOpt.minMissing);
    if (n < active)
        r.lackTaxa = true;
    *ntax = 0;
    if (n < 3)
        return 0;
    if (const int rc = upgmaTreeForTaxa(r.cd.get(), r.d, r.taxa.get()); rc != 0)
        return rc;
    n = card(r.taxa.get());
    if (n < 3)
        return 0;
    *tree = r.upgmaTree.get();
    *ntax = n;
    return 0;
}

// Compares the models for one subset (or all characters when `whole`); the
// row is printed. 0, 1 or 2.
int testClockForSubset(ClockCheckRun &r, uint32_t subset, bool whole, uint32_t treeNum)
{
    DataInfo *d = r.d;
    const char *label = "";
    if (r.ptn != nullptr) {
        includeCharSubsetOnly(d, r.ptn, kSetEnd, r.saved.get());
        if (!whole && countIncludedCharsInPtnSubset(r.ptn, d, subset) == 0) {
            r.notAnalysed++;
            return 0;
        }
        if (!whole) {
            includeCharSubsetOnly(d, r.ptn, subset, r.saved.get());
            label = getPtnSubsetName(r.ptn, subset);
        } else {
            label = "total (linked)  ";
        }
        afterCharInclusionChange(d);
    }
    uint32_t sites = 0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        sites += !(d->status[c] & (kCharExcluded | kCharEliminated));
    if (!whole)
        r.withChars++;

    Tree *tree = nullptr;
    uint32_t ntax = 0;
    if (const int rc = treeForTest(r, subset, whole, treeNum, &tree, &ntax); rc != 0)
        return rc;
    if (tree == nullptr) {
        qel_printf("%-*s%10u%8u\n", r.nameWidth, label, sites, r.taxa ? card(r.taxa.get()) : 0u);
        if (!whole && r.exclude != kExcludeNone)
            setUnion(r.toExclude.get(), getPtnSubset(r.ptn, subset), r.toExclude.get());
        return incrementProgressValue(r.progress) == kProgressAborted && confirmAbortRequest() ? 2 : 0;
    }

    const double lc = likelihoodWithClock(tree, true);
    const double ln = lc < kNoLScore ? likelihoodWithClock(tree, false) : kNoLScore;
    if (lc >= kNoLScore || ln >= kNoLScore)
        return getAbortedStatus() != 0 ? 2 : 1;
    r.didTree = true;
    const uint32_t internal = countInternalNodes(tree);
    const ClockParams pc = clockModelParams(internal, r.modelParams);
    const ClockParams pn = nonClockModelParams(ntax, internal, countChildren(getFirstFork(tree)), r.modelParams);
    if (!whole) {
        r.sumClock += lc;
        r.sumFree += ln;
        for (auto [sum, p] : {std::pair{&r.sumParamsClock, &pc}, std::pair{&r.sumParamsFree, &pn}}) {
            sum->times += p->times;
            sum->brlens += p->brlens;
            sum->model += p->model;
        }
    }
    if (doOneTest(r, pc, pn, !whole && r.ptn != nullptr, label, sites, ntax, treeNum, lc, ln))
        setUnion(r.toExclude.get(), getPtnSubset(r.ptn, subset), r.toExclude.get());
    return incrementProgressValue(r.progress) == kProgressAborted && confirmAbortRequest() ? 2 : 0;
}

void showTableHeading(const ClockCheckRun &r)
{
    if (r.ptn == nullptr && !r.upgma) {
        const int w = r.treeWidth;
        qel_printf("\n%*s%10s%10s%40s\n", w, "", "# node", "# branch", "-------- score ---------");
        qel_printf("%*s%10s%10s%12s%15s%14s%12s", w, "tree", "times", "lengths", "criterion", "clock", "non-clock",
                   "diff");
        if (r.lrt)
            qel_printf("%10s", "P*");
        qel_printf("\n%s\n", std::string(static_cast<size_t>(w + 20 + 12 + 15 + 14 + 12 + (r.lrt ? 10 : 0)), '-').c_str());
        return;
    }
    const int nic = r.aic + r.aicc + r.bic;
    const int width = partitionTableWidth(r);
    if (static_cast<uint32_t>(width) > getOutputLineLength())
        qel_printf("\nNote: \bTo avoid line wraparound in the following table, set output width to at least %d columns "
                   "(resize output/terminal window, or issue the command \"set outwidth=%d;\")\n",
                   width, width);
    qel_printf("\n%*s%34s", r.nameWidth, "", "-----------number of-----------");
    if (r.lrt)
        qel_printf("%*s", kLrtWidth, "------------------- -lnL -----------------------");
    if (r.aic)
        qel_printf("%*s", kCriterionWidth, "--------------- AIC -----------------");
    if (r.aicc)
        qel_printf("%*s", kCriterionWidth, "-------------- AICc -----------------");
    if (r.bic)
        qel_printf("%*s", kCriterionWidth, "--------------- BIC -----------------");
    qel_printf("\n%-*s%10s%8s%8s%8s", r.nameWidth, "subset", "sites", "taxa", "times", "brlens");
    if (r.lrt)
        qel_printf("%14s%14s%12s%10s", "clock", "non-clock", "diff", "P*");
    for (int k = 0; k < nic; ++k)
        qel_printf("%14s%14s%12s", "clock", "non-clock", "diff");
    qel_printf("%s\n%s\n", r.exclude != kExcludeNone ? "   X" : "", std::string(static_cast<size_t>(width), '-').c_str());
}

int clockCheckOneTree(ClockCheckRun &r, uint32_t treeNum, bool first)
{
    const char *perSubset = r.ptn != nullptr ? " (per subset)" : "";
    if (r.upgma) {
        qel_printf("\nComparison of clock and non-clock models for each subset on UPGMA tree constructed for each "
                   "subset:\n\n");
    } else if (r.ptn != nullptr) {
        const std::string name = getTreeName(getActiveTreeBuffer(), treeNum + 1);
        qel_printf("\nComparison of clock and non-clock models for each subset on tree %u%s%s%s:\n\n", treeNum + 1,
                   name.empty() ? "" : " (", name.c_str(), name.empty() ? "" : ")");
    }
    // The table of the trees alone sits under the settings, indented as they are.
    struct Indent {
        int previous = -1;
        ~Indent()
        {
            if (previous >= 0)
                setOutputIndentLevel(previous);
        }
    } indent;
    if (r.ptn == nullptr && !r.upgma && first)
        qel_printf("\n");
    if (r.ptn != nullptr || r.upgma || first)
        qel_printf("    Number of substitution-model parameters%s = %u\n", perSubset, r.modelParams);
    if (r.ptn == nullptr && !r.upgma)
        indent.previous = indentOutput(4);
    if (r.ptn != nullptr || r.upgma || first)
        showTableHeading(r);
    if (r.ptn == nullptr)
        return testClockForSubset(r, 0, true, treeNum);

    r.sumClock = r.sumFree = 0.0;
    r.sumParamsClock = r.sumParamsFree = ClockParams{};
    r.withChars = 0;
    r.notAnalysed = 0;
    for (uint32_t i = 0; i < numPtnSubsets(r.ptn); ++i)
        if (const int rc = testClockForSubset(r, i, false, treeNum); rc != 0)
            return rc;
    const std::string rule(static_cast<size_t>(partitionTableWidth(r)), '-');
    qel_printf("%s\n", rule.c_str());
    const uint32_t subsetsDone = r.withChars;
    if (const int rc = testClockForSubset(r, 0, true, treeNum); rc != 0)
        return rc;
    if (!r.lackTaxa && subsetsDone > 0) {
        uint32_t sites = 0;
        for (uint32_t c = 0; c < r.d->nchar; ++c)
            sites += !(r.d->status[c] & (kCharExcluded | kCharEliminated));
        doOneTest(r, r.sumParamsClock, r.sumParamsFree, false, "total (unlinked)", sites,
                  static_cast<uint32_t>(r.d->nActive), treeNum, r.sumClock, r.sumFree);
    }
    return 0;
}

int clockcheckerThreadProc(void *arg)
{
    ClockCheckRun &r = *static_cast<ClockCheckRun *>(arg);
    qel_printf("\nClock vs. no-clock model comparison");
    if (r.partition != nullptr)
        qel_printf(" by subsets of partition '%s'", r.partition->name);
    qel_printf("\n%s\n", std::string(60, '-').c_str());
    if (r.exclude == kExcludeLRT)
        qel_printf("\n    Partition subsets with %s < %g will be excluded\n", kCriterionNames[kExcludeLRT],
                   clkChkOpt.lrtThreshold);
    else if (r.exclude != kExcludeNone)
        qel_printf("\n    Partition subsets with %s(clock) - %s(non-clock) > %g will be excluded\n",
                   kCriterionNames[r.exclude], kCriterionNames[r.exclude], clkChkOpt.xicThreshold);
    const int previous = indentOutput(4);
    if (r.partition != nullptr && clkChkOpt.showPartition)
        showCharPtnSubsetMembership(r.d, r.partition,
                                    std::max(6, static_cast<int>(maxPtnSubsetNameLen(r.ptn, false)) + 2));
    showMLSettings(false, nullptr);
    setOutputIndentLevel(previous);

    int status = 0;
    if (r.upgma) {
        status = clockCheckOneTree(r, 0, true);
    } else {
        for (size_t k = 0; k < r.trees.size() && status == 0; ++k)
            status = clockCheckOneTree(r, r.trees[k], k == 0);
    }
    if (status != 0)
        return status;
    if (r.lrt && (r.upgma || r.didTree))
        qel_printf("* \bP value for likelihood ratio test of rejection of clock model in favor of non-clock model\n");
    if (r.notAnalysed > 0)
        qel_printf("%u subset%s not analyzed due to prior exclusion of all characters.\n", r.notAnalysed,
                   r.notAnalysed == 1 ? "" : "s");
    return 0;
}

// The trees of the run: the list given, else every visible tree. The list
// is forgotten whenever the trees in memory change.
std::vector<uint32_t> selectedTrees()
{
    std::vector<uint32_t> list;
    const uint32_t n = numTreesInBuffer(getActiveTreeBuffer());
    Set *all = nullptr;
    Set *chosen = treeSets[kClockCheckTreeSet];
    if (chosen == nullptr) {
        if (initTreeListSet(&all, nullptr, true) != 0)
            return list;
        chosen = all;
    }
    for (uint32_t m = firstSetMember(chosen); m != kSetEnd; m = nextSetMember(chosen))
        if (m < n)
            list.push_back(m);
    deallocSet(all);
    return list;
}

// The final exclusions and their report.
void applyExclusions(ClockCheckRun &r)
{
    DataInfo *d = r.d;
    if (!isSetEmpty(r.toExclude.get())) {
        const uint32_t n = countIncludedCharsInSubset(r.toExclude.get(), d);
        if (r.exclude == kExcludeLRT)
            qel_printf("\n%u sites excluded due to P < %g (likelihood-ratio test)\n", n, clkChkOpt.lrtThreshold);
        else
            qel_printf("\n%u sites excluded due to %s difference > %g\n", n, kCriterionNames[r.exclude],
                       clkChkOpt.xicThreshold);
        excludeCharacters(r.toExclude.get(), r.saved.get(), d);
    } else {
        qel_printf("\nNo partition subsets reached the %s exclusion threshold of %g\n", kCriterionNames[r.exclude],
                   r.exclude == kExcludeLRT ? clkChkOpt.lrtThreshold : clkChkOpt.xicThreshold);
    }
    uint32_t remain = 0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        remain += !(d->status[c] & (kCharExcluded | kCharEliminated));
    if (remain > 0)
        qel_printf("%u sites remain included\n", remain);
    else
        qel_warningMsg(0, "All characters are now excluded!");
}

}  // namespace

ClockParams clockModelParams(uint32_t internal, uint32_t model) { return {internal, 0, model}; }

ClockParams nonClockModelParams(uint32_t ntax, uint32_t internal, uint32_t basalChildren, uint32_t model)
{
    // Two branches at a binary root join into one: only their sum is seen.
    uint32_t brlens = ntax + internal - 1;
    if (basalChildren == 2 && brlens > 0)
        brlens--;
    return {0, brlens, model};
}

double clockLrtPvalue(double lnLclock, double lnLfree, uint32_t df)
{
    const double statistic = std::max(0.0, 2.0 * (lnLclock - lnLfree));
    if (df == 0 || statistic == 0.0)
        return 1.0;
    return chiSquaredPvalue(df, statistic);
}

uint32_t checkTaxonCompleteness(const SetPtn *ptn, const DataInfo *d, uint32_t subset, bool allSubsets, Set *result,
                                double minMissing)
{
    clearSet(result);
    const uint32_t ntax = static_cast<uint32_t>(d->nActive);
    std::vector<const Set *> sets;
    if (ptn == nullptr)
        sets.push_back(nullptr);
    else if (allSubsets)
        for (uint32_t i = 0; i < numPtnSubsets(ptn); ++i)
            sets.push_back(getPtnSubset(ptn, i));
    else
        sets.push_back(getPtnSubset(ptn, subset));
    uint32_t included = 0;
    std::vector<uint32_t> missing(ntax, 0);
    for (const Set *s : sets) {
        if (s != nullptr) {
            included += countIncludedCharsInSubset(s, d);
            for (uint32_t t = 0; t < ntax; ++t)
                missing[t] += countMissingStates(d, t, s);
            continue;
        }
        for (uint32_t c = 0; c < d->nchar; ++c) {
            if (d->status[c] & (kCharExcluded | kCharEliminated))
                continue;
            included++;
            for (uint32_t t = 0; t < ntax; ++t)
                missing[t] += isMissing(static_cast<int32_t>(t), c, d);
        }
    }
    uint32_t n = 0;
    for (uint32_t t = 0; t < ntax && included > 0; ++t)
        if (1.0 - static_cast<double>(missing[t]) / included > minMissing) {
            addSetMember(result, t);
            n++;
        }
    return n;
}

int upgmaTreeForTaxa(ClustData *cd, DataInfo *d, Set *taxa)
{
    // The characters changed since the last matrix: never reuse it.
    invalidateDistances();
    DMatrix *raw = nullptr;
    const int rc = calcDistanceMatrix(d, kCurrentDistType, false, true, false, taxa, &raw);
    std::unique_ptr<DMatrix, DMatrixDestroyer> dm(raw);
    if (rc != 0)
        return rc;
    std::vector<uint32_t> list;
    for (uint32_t t = firstSetMember(taxa); t != kSetEnd; t = nextSetMember(taxa))
        list.push_back(t);
    const auto m = static_cast<uint32_t>(list.size());
    if (m < 2)
        return 0;
    loadClustMatrix(cd, dm->distances, m, list.data());
    return upgma(cd, m, list.data(), nullptr);
}

int doClockCheckerCmd()
{
    DataInfo *d = activeDataInfo();
    if (d == nullptr)
        return 1;
    clkChkOpt.partition = nullptr;
    if (getCmdParams(OptionSet::kClockChecker, ";", nullptr) <= 0)
        return 1;
    if (checkMinTaxa(3, "Clock-model comparison", nullptr) != 0)
        return 1;
    ClockCheckRun r;
    r.d = d;
    r.upgma = clkChkOpt.upgma != 0;
    r.exclude = clkChkOpt.exclude;
    r.partition = clkChkOpt.partition;
    r.ptn = r.partition != nullptr ? getNexPtn(r.partition) : nullptr;
    r.trees = selectedTrees();
    if (!r.upgma && r.trees.empty()) {
        qel_errorMsg(0, "You must either request the '%s' option, or select one or more trees from trees already in "
                        "memory.",
                     "upgma");
        return 1;
    }
    if (!r.upgma && !areTreesRooted(getActiveTreeBuffer())) {
        qel_errorMsg(0, "Tree(s) must be rooted for clock checking, but trees in memory are unrooted.\tYou can use the "
                        "\"RootTrees\" command (or \"Root Trees\" menu command) to convert the trees currently in "
                        "memory from unrooted to rooted.  Take care that the rooting options available on this command "
                        "are set appropriately (e.g., rooting with a basal polytomy is probably a bad idea).");
        return 1;
    }
    if (r.exclude != kExcludeNone && r.ptn == nullptr) {
        qel_errorMsg(0, "Excluding subsets based on LRT/AIC/BIC scores is only allowed when a character partition is "
                        "used.\tThe '%s' option can be used to specify the name of the character partition, which must "
                        "be defined prior to invoking the '%s' command.",
                     "partition", "ClockChecker");
        return 1;
    }
    if (r.exclude != kExcludeNone && !r.upgma && r.trees.size() > 1) {
        qel_errorMsg(0, "A single tree must be requested if partition subsets are being excluded based on LRT, AIC(c), "
                        "or BIC");
        return 1;
    }
    // A criterion that decides exclusions is computed even when not asked for.
    r.lrt = clkChkOpt.lrt || r.exclude == kExcludeLRT;
    r.aic = clkChkOpt.aic || r.exclude == kExcludeAIC;
    r.aicc = clkChkOpt.aicc || r.exclude == kExcludeAICc;
    r.bic = clkChkOpt.bic || r.exclude == kExcludeBIC;
    if (r.ptn != nullptr)
        r.nameWidth = std::max<int>(16, static_cast<int>(maxPtnSubsetNameLen(r.ptn, false)) + 2);
    r.treeWidth = std::max<int>(4, std::snprintf(nullptr, 0, "%u", numTreesInBuffer(getActiveTreeBuffer())));
    r.saved.reset(createExcludedCharsetCopy(d));
    r.toExclude.reset(allocSet(d->nchar));
    r.taxa.reset(allocSet(std::max<uint32_t>(d->ntax, 1)));
    r.tree.reset(createSearchTree(d));
    if (!r.saved || !r.toExclude || !r.taxa || !r.tree)
        return 1;
    if (r.upgma) {
        r.upgmaTree.reset(createSearchTree(d));
        if (r.upgmaTree)
            r.cd.reset(createClustData(d, r.upgmaTree.get(), true, static_cast<uint32_t>(d->nActive), true, false));
        if (!r.cd)
            return 1;
    }

    const uint32_t oldCriterion = tempResetOptCrit(kCriterionLikelihood);
    // The trees fitted here die with the run: the engine must not keep one.
    Tree *const oldMLTree = getActiveTreeForML();
    const uint8_t oldClock = ml.clock, oldUserBrLens = ml.userBrLens, oldPrecision = ml.precision;
    // Both models are fitted: lengths held at the stored values would compare nothing.
    ml.userBrLens = 0;
    // The test rests on the difference of two fits; in single precision the
    // clock fit can stop a tenth of a unit of -ln L short of its optimum,
    // which moves P. The settings shown say so.
    ml.precision = 0;
    invalidateMLprep();
    setBusyMode(true);
    int status = prepareData(kPrepLikelihood, 0, false);
    if (status == 0 && getDefaultModel() != nullptr)
        r.modelParams = countModelParams(getDefaultModel());
    if (status == 0) {
        const uint32_t rows = r.ptn != nullptr ? numPtnSubsets(r.ptn) + 1 : 1;
        const uint32_t steps = rows * (r.upgma ? 1u : static_cast<uint32_t>(r.trees.size()));
        r.progress = createProgressWindow(steps, 0, "Comparing clock and non-clock models");
        status = runSecondaryThread(clockcheckerThreadProc, &r);
        r.progress = destroyProgressWindow(r.progress);
    }
    ml.clock = oldClock;
    ml.userBrLens = oldUserBrLens;
    ml.precision = oldPrecision;
    setActiveTreeForML(oldMLTree);
    if (r.ptn != nullptr) {
        includeCharSubsetOnly(d, r.ptn, kSetEnd, r.saved.get());
        afterCharInclusionChange(d);
    }
    if (status == 0 && r.exclude != kExcludeNone)
        applyExclusions(r);
    invalidateMLprep();
    setBusyMode(false);
    restoreOriginalOptCrit(oldCriterion);
    return status;
}
