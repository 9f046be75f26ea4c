// The Filter command: hides the trees in memory that fail its criteria
// (tree number, score, best score, distance to a reference tree, a
// constraint, resolution, a taxon set), or with the words off and purge
// removes the filter or deletes the trees it hides.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/qel_cmdoptions.h"
#include "data/nexsets.h"
#include "data/vorn_data.h"
#include "parsimony/optimize.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "search/filtercmd.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "search/sorttrees.h"
#include "trees/constr.h"
#include "trees/splits.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treedist.h"
#include "trees/treefilter.h"
#include "trees/treelist.h"

namespace {

struct FilterRun {
    DataInfo *data = nullptr;
    TreeBuffer *buf = nullptr;
    uint32_t n = 0;
    Nexset *taxset = nullptr;
    bool constraint = false;
    bool uninformative = false;
    bool scores = false;
    SetHandle retained{nullptr};
    uint32_t kept = 0;
    ProgData *progress = nullptr;
};

// The splits of a tree as byte strings, sorted, for subset tests.
std::vector<std::string> sortedSplits(Tree *tree)
{
    SplitsList list;
    list.ntax = tree->ntax;
    list.words = splitWords(tree->ntax);
    makeSplitsListFromTree(tree, &list);
    std::vector<std::string> out;
    for (uint32_t k = 0; k < list.count; k++)
        out.emplace_back(reinterpret_cast<const char *>(getSplitFromList(&list, k)), list.words * sizeof(uint64_t));
    std::sort(out.begin(), out.end());
    return out;
}

bool containsTaxonSet(Tree *tree, const DataInfo *d, const Nexset *taxset)
{
    checkIncludedLeaves(tree);
    const auto *members = static_cast<const Set *>(taxset->payload);
    for (uint32_t t = 0; t < tree->tipBound; t++) {
        const uint32_t original = getTaxNum(d, t) - 1;
        if (isSetMember(members, original) && !isSetMember(tree->includedTaxa, t))
            return false;
    }
    return true;
}

// The criteria of one filtering pass, as bits.
constexpr uint32_t kByNumLE = 1, kByNumGE = 2, kByBinary = 4, kByConstraint = 8, kByTaxset = 16, kByBest = 32,
                   kByMaxScore = 64, kByMinScore = 128, kByDistance = 256, kByLessResolved = 512;

uint32_t activeCriteria(const FilterRun &run)
{
    return (fltr.numLE ? kByNumLE : 0) | (fltr.numGE ? kByNumGE : 0) | (fltr.binary ? kByBinary : 0) |
           (run.constraint ? kByConstraint : 0) | (run.taxset ? kByTaxset : 0) | (fltr.best ? kByBest : 0) |
           (fltr.maxScore != 0.0 ? kByMaxScore : 0) | (fltr.minScore != 0.0 ? kByMinScore : 0) |
           (fltr.from ? kByDistance : 0) | (fltr.lessResolv ? kByLessResolved : 0);
}

// Leaves in `kept` the trees that satisfy every criterion of `crit`. The
// best score is the best among the trees that pass the other criteria,
// and a less resolved tree falls to any more resolved one still kept.
int markSatisfying(FilterRun &run, Tree *tree, const SplitsTable *reference,
                   const std::vector<std::vector<std::string>> &splits, uint32_t crit, Set *kept)
{
    for (uint32_t s = 0; s < run.n; s++)
        addSetMember(kept, s);
    const bool lessResolv = crit & kByLessResolved;
    const bool decode = crit & (kByBinary | kByConstraint | kByTaxset | kByBest | kByMaxScore | kByMinScore |
                                kByDistance);
    double best = kNoScoreValue;
    for (uint32_t t = 1; t <= run.n; t++) {
        const uint32_t slot = t - 1;
        if (lessResolv && !isSetMember(kept, slot)) {
            if (incrementProgressValue(run.progress) == kProgressAborted)
                return 2;
            continue;
        }
        bool pass = !((crit & kByNumLE) && t > fltr.numLE) && !((crit & kByNumGE) && t < fltr.numGE);
        if (pass && decode) {
            if (getTree(run.buf, t, tree) != 0)
                return 1;
            if ((crit & kByBinary) && !determineIfTreeIsBinary(tree))
                pass = false;
            if (pass && (crit & kByConstraint) && !constraintsSatisfied(tree, false))
                pass = false;
            if (pass && (crit & kByTaxset) && !containsTaxonSet(tree, run.data, run.taxset))
                pass = false;
            if (pass && (crit & (kByBest | kByMaxScore | kByMinScore))) {
                const double score = scoreStoredTree(run.data, run.buf, t, tree);
                if (!isScoreValid(score))
                    return qel_errorMsg(0, "Tree %u could not be scored; the filter was not applied.", t);
                if (crit & kByBest) {
                    const int cmp = compareScores(score, best);
                    if (cmp > 0) {
                        pass = false;
                    } else if (cmp < 0) {
                        best = score;
                        for (uint32_t s = 0; s < slot; s++)
                            removeSetMember(kept, s);
                    }
                } else if (((crit & kByMaxScore) && compareScores(score, fltr.maxScore) > 0) ||
                           ((crit & kByMinScore) && compareScores(score, fltr.minScore) < 0)) {
                    pass = false;
                }
            }
            if (pass && (crit & kByDistance) && t != fltr.from) {
                if (getTree(run.buf, t, tree) != 0)
                    return 1;
                if (robinsonFouldsDist(reference, tree, nullptr, nullptr) > fltr.SD)
                    pass = false;
            }
        }
        if (!pass)
            removeSetMember(kept, slot);
        if (lessResolv)
            for (uint32_t u = 0; u < run.n; u++)
                if (u != slot && isSetMember(kept, u) && splits[u].size() < splits[slot].size() &&
                    std::includes(splits[slot].begin(), splits[slot].end(), splits[u].begin(), splits[u].end()))
                    removeSetMember(kept, u);
        if (incrementProgressValue(run.progress) == kProgressAborted) {
            qel_printf("\nFiltering canceled.  All trees are now available.\n");
            return 2;
        }
    }
    return 0;
}

int filterThreadProc(void *context)
{
    auto &run = *static_cast<FilterRun *>(context);
    const bool scoreCrit = fltr.best || fltr.maxScore != 0.0 || fltr.minScore != 0.0;
    if (fltr.best && (fltr.maxScore != 0.0 || fltr.minScore != 0.0))
        return qel_errorMsg(737, "You cannot filter trees both by best score and by minimum or maximum scores.");
    if (activeCriteria(run) == 0) {
        if (fltr.SD)
            return qel_errorMsg(736, "You must specify a reference tree ('from=<n>') in order to filter by "
                                     "topological distance.");
        return qel_errorMsg(735, "No filtering criteria were specified.");
    }
    TreeHandle tree(createSearchTree(run.data));
    if (!tree)
        return 1;
    if (run.constraint) {
        // The looseness this command read (or the one it keeps), not the
        // one the last search left behind.
        useCurrentConvexLooseness();
        if (constraintsAreStale(tree.get()) && initConstraints(tree.get(), run.data, false) != 0)
            return 1;
        run.uninformative = isConstraintTreeUninf(tree.get(), areTreesRooted(run.buf), false);
    }
    if (scoreCrit) {
        if (!(run.data->flags & (kHaveCharacters | kHaveDistances)))
            return qel_errorMsg(786, "Specified filtering criteria require character or distance data but none are "
                                     "available.");
        if (prepForSearch(run.data, kSearchNoMinTaxa | kSearchNoConstraints | kSearchKeepUserBrlens) != 0)
            return 1;
        // The preparation marks a search under way, whose stop is asked
        // about; filtering is the progress window's work, stopped at once.
        setLongOperationStatus(-1);
        run.scores = true;
    }
    std::unique_ptr<SplitsTable, decltype(&destroySplitsTable)> reference(nullptr, destroySplitsTable);
    if (fltr.from) {
        if (fltr.from > run.n)
            return qel_errorMsg(709, "Invalid reference tree for symmetric-difference tree distances.");
        if (getTree(run.buf, fltr.from, tree.get()) != 0)
            return 1;
        reference.reset(makeReferenceSplits(tree.get()));
        if (!reference)
            return 1;
    }
    std::vector<std::vector<std::string>> splits(fltr.lessResolv ? run.n : 0);
    if (fltr.lessResolv)
        for (uint32_t s = 0; s < run.n; s++) {
            if (getTree(run.buf, s + 1, tree.get()) != 0)
                return 1;
            splits[s] = sortedSplits(tree.get());
        }
    run.retained.reset(allocSet(std::max(run.n, 1u)));
    if (!run.retained)
        return 1;
    Set *kept = run.retained.get();
    const uint32_t criteria = activeCriteria(run);
    if (!fltr.reverse) {
        if (int status = markSatisfying(run, tree.get(), reference.get(), splits, criteria, kept); status != 0)
            return status;
    } else {
        // A tree meeting any one criterion is eliminated, so each criterion
        // is applied alone and a tree is kept only when all of them reject it.
        SetHandle meets(allocSet(std::max(run.n, 1u)));
        if (!meets)
            return 1;
        for (uint32_t s = 0; s < run.n; s++)
            addSetMember(kept, s);
        for (uint32_t bit = 1; bit <= criteria; bit <<= 1) {
            if (!(criteria & bit))
                continue;
            if (int status = markSatisfying(run, tree.get(), reference.get(), splits, bit, meets.get()); status != 0)
                return status;
            for (uint32_t s = 0; s < run.n; s++)
                if (isSetMember(meets.get(), s))
                    removeSetMember(kept, s);
        }
    }
    run.kept = 0;
    for (uint32_t s = 0; s < run.n; s++)
        run.kept += isSetMember(kept, s);
    return 0;
}

void showFilterResults(const FilterRun &run)
{
    qel_printf("\nTree filter %s of the following criteria:\n",
               fltr.reverse ? "eliminating trees that satisfy any" : "retaining trees that satisfy all");
    indentOutput(2);
    if (fltr.best)
        qel_printf("Best score according to current optimality criterion\n");
    if (fltr.numLE)
        qel_printf("Tree number less than or equal to %d\n", static_cast<int>(fltr.numLE));
    if (fltr.numGE)
        qel_printf("Tree number greater than or equal to %d\n", static_cast<int>(fltr.numGE));
    if (fltr.minScore != 0.0)
        qel_printf("Score greater than or equal to %s\n", treeScoreToString(0, fltr.minScore).c_str());
    if (fltr.maxScore != 0.0)
        qel_printf("Score less than or equal to %s\n", treeScoreToString(0, fltr.maxScore).c_str());
    if (fltr.from)
        qel_printf("Within %u Robinson-Foulds distance units of tree %u\n", fltr.SD, fltr.from);
    if (run.constraint) {
        char text[kMaxConstraintName + 64];
        makeConstrString(getActiveConstraint(), text, sizeof text);
        qel_printf("Com\bpatible with %s\n", text);
        if (run.uninformative)
            qel_printf("  WARNING: This tree is compatible with all possible trees!\n");
    }
    if (fltr.lessResolv)
        qel_printf("Pol\bytomous trees retained only if more highly resolved compatible trees do not exist\n");
    if (fltr.binary)
        qel_printf("Tree is binary (fully dichotomous)\n");
    if (run.taxset)
        qel_printf("Contains all members of taxon-set '%s'\n", run.taxset->name);
    indentOutput(-2);
    qel_printf("\nResults:\n");
    qel_printf("  Number of trees originally in memory = %d\n", static_cast<int>(run.n));
    qel_printf("  Number of trees retained by filter   = %d\n", static_cast<int>(run.kept));
    if (fltr.permdel && run.kept > 0 && run.kept < run.n)
        qel_printf("  Trees not retained by filter have been deleted from memory.\n");
}

}  // namespace

int doFilterCmd()
{
    if (numTreesInMainBuffer() == 0)
        return qel_errorMsg(704, "There are no trees in memory.");
    Constraint *saved = getActiveConstraint();
    setActiveConstraint(nullptr);
    const uint8_t always = fltr.always;
    fltr = FilterSettings{};
    fltr.always = always;
    taxsetTag[0] = '\0';
    const int got = getCmdParams(OptionSet::kFilter, ";", nullptr);
    Constraint *chosen = getActiveConstraint();
    auto restore = [&](int status) {
        if (!chosen)
            setActiveConstraint(saved);
        return status;
    };
    if (got <= 0)
        return restore(got < 0 ? 0 : 1);
    if ((fltr.off || fltr.purge) && !treeFilterInEffect())
        return restore(qel_errorMsg(738, "No filter is in effect."));
    if (fltr.purge) {
        deleteFilteredTrees(true);
        return restore(0);
    }
    if (fltr.off)
        return restore(removeFilter(true));

    FilterRun run;
    run.data = activeDataInfo();
    run.buf = getMainTreeBuffer(nullptr);
    run.n = numTreesInBuffer(run.buf);
    run.constraint = chosen != nullptr;
    if (taxsetTag[0]) {
        run.taxset = findMatchingTaxonSet(taxsetTag);
        if (!run.taxset)
            errorMsgAndGoOn(0, "Taxon-set '%s' has not been defined.", taxsetTag);
    }
    if (treeFilterInEffect())
        removeFilter(false);
    // Reversed, the trees are examined once per criterion.
    const uint32_t passes = fltr.reverse ? std::max(std::popcount(activeCriteria(run)), 1) : 1;
    run.progress = createProgressWindow(run.n * passes, 0, "Filtering trees");
    int status = runSecondaryThread(filterThreadProc, &run);
    run.progress = destroyProgressWindow(run.progress);
    if (run.scores)
        finishSearch(0);
    forgetLastTreeOptimized();
    if (status == 2)
        setAbortedStatus(0);
    if (status != 0)
        return restore(status);
    if (run.kept == 0 && !fltr.always) {
        showFilterResults(run);
        qel_printf("  (Because no trees satisfied the filtering criteria; the filter has not been applied. You can "
                   "use the 'always' option to force application of the filter in this case.)\n");
    } else if (run.kept == run.n) {
        showFilterResults(run);
        qel_printf(run.n == 0 ? "  (Because no trees satisfied the filtering criteria; the filter has not been "
                                "applied. You can use the 'always' option to force application of the filter in "
                                "this case.)\n"
                              : "  (All trees satisfied the filtering criteria)\n");
    } else {
        installTreeFilter(run.retained.release());
        if (fltr.permdel) {
            removeFilteredTreesFromBuffer();
            initTreeStatus(true);
        }
        showFilterResults(run);
    }
    return restore(0);
}
