#include "selection/orthofilter.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cli/qel_cmdoptions.h"
#include "data/charstat.h"
#include "data/nexsets.h"
#include "data/vorn_util.h"
#include "distance/dcalc.h"
#include "distance/distance_settings.h"
#include "distance/dmatrix.h"
#include "distance/dset.h"
#include "distance/nj.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_setptn.h"
#include "search/hsprep.h"
#include "selection/clockcheck.h"
#include "selection/selection_settings.h"
#include "trees/constr.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

Constraint *orthoFilterConstraint = nullptr;

namespace {

struct ClustDestroyer {
    void operator()(ClustData *cd) const { destroyClustData(cd); }
};

struct OrthoFilterRun {
    DataInfo *d = nullptr;
    const Nexset *partition = nullptr;
    const SetPtn *ptn = nullptr;
    SetHandle saved;      // exclusion status the command found
    SetHandle toExclude;
    SetHandle taxa;       // taxa with enough data in the subset
    TreeHandle upgmaTree;
    TreeHandle work;      // the UPGMA tree less the taxa being tried
    std::unique_ptr<ClustData, ClustDestroyer> cd;
    ProgData *progress = nullptr;
    RNG rng{};
    int nameWidth = 8;
    uint32_t notAnalysed = 0, incompatible = 0, rescued = 0, tooFew = 0;
};

// Whether the UPGMA tree reduced to the taxa of `keep` satisfies the
// constraint.
bool satisfiedOn(OrthoFilterRun &r, const Set *keep)
{
    Tree *t = r.work.get();
    if (copyTree(r.upgmaTree.get(), t) != 0)
        return false;
    // induceSubtree prunes the tips whose membership equals its flag.
    induceSubtree(t, keep->words, false);
    setTraversalSeq(t);
    if (initConstraints(t, r.d, false) != 0)
        return false;
    return constraintsSatisfied(t, false);
}

// Sets the cells of every taxon outside `kept` to missing in the subset's
// characters.
void markParalogs(OrthoFilterRun &r, const Set *subsetChars, const Set *kept)
{
    DataInfo *d = r.d;
    const auto missing = static_cast<uint8_t>(d->nstates);
    for (uint32_t t = 0; t < static_cast<uint32_t>(d->nActive); ++t) {
        if (isSetMember(kept, t))
            continue;
        const uint32_t row = getTaxNum(d, t) - 1;
        for (uint32_t c = firstOneBit(subsetChars->words, subsetChars->nwords); c != kSetEnd; c = followingSetMember(subsetChars, c))
            if (c < d->nchar)
                setXijRaw(d, row, c, missing);
    }
}

// Removes taxa one level at a time: every single removal at this depth is
// tried before any deeper one, and among the removals that satisfy the
// constraint one is drawn at random. The number of taxa removed, 0 when no
// removal up to maxDepth satisfies it.
uint32_t recCheckTaxaSubset(OrthoFilterRun &r, const Set *subsetChars, uint32_t depth, uint32_t maxDepth,
                            const Set *taxa)
{
    SetHandle trial(cloneSet(taxa));
    if (!trial)
        return 0;
    std::vector<uint32_t> failed;
    uint32_t candidates = 0, chosen = kSetEnd;
    for (uint32_t t = firstOneBit(taxa->words, taxa->nwords); t != kSetEnd; t = followingSetMember(taxa, t)) {
        removeSetMember(trial.get(), t);
        if (satisfiedOn(r, trial.get())) {
            ++candidates;
            if (candidates == 1 || shouldSwapTie(&r.rng, candidates))
                chosen = t;
        } else {
            failed.push_back(t);
        }
        addSetMember(trial.get(), t);
    }
    if (chosen == kSetEnd) {
        if (depth + 1 >= maxDepth)
            return 0;
        for (uint32_t t : failed) {
            removeSetMember(trial.get(), t);
            const uint32_t removed = recCheckTaxaSubset(r, subsetChars, depth + 1, maxDepth, trial.get());
            if (removed > 0)
                return removed;
            addSetMember(trial.get(), t);
        }
        return 0;
    }
    removeSetMember(trial.get(), chosen);
    markParalogs(r, subsetChars, trial.get());
    return depth + 1;
}

void filterOneSubset(OrthoFilterRun &r, uint32_t i)
{
    DataInfo *d = r.d;
    const Set *chars = getPtnSubset(r.ptn, i);
    const uint32_t sites = countIncludedCharsInSubset(chars, d);
    const uint32_t n = checkTaxonCompleteness(r.ptn, d, i, false, r.taxa.get(), ofltOpt.minMissing);
    qel_printf("%-*s%10u%8u", r.nameWidth, getPtnSubsetName(r.ptn, i), sites, n);
    if (!ofltOpt.upgma) {
        qel_printf("\n");
        return;
    }
    const auto exclude = [&] { setUnion(r.toExclude.get(), chars, r.toExclude.get()); };
    if (n < 3) {
        r.tooFew++;
        exclude();
        qel_printf("%12s%10s%10s%10s\n", "", "Y", "", "Y");
        return;
    }
    if (upgmaTreeForTaxa(r.cd.get(), d, r.taxa.get()) != 0 || card(r.taxa.get()) < 3) {
        r.tooFew++;
        exclude();
        qel_printf("%12s%10s%10s%10s\n", "", "Y", "", "Y");
        return;
    }
    if (satisfiedOn(r, r.taxa.get())) {
        qel_printf("\n");
        return;
    }
    r.incompatible++;
    uint32_t removed = 0;
    for (int32_t depth = 1; depth <= ofltOpt.maxParaRem && removed == 0; ++depth)
        removed = recCheckTaxaSubset(r, chars, 0, static_cast<uint32_t>(depth), r.taxa.get());
    if (removed > 0) {
        r.rescued++;
        qel_printf("%12s%10s%10u%10s\n", "Y", "", removed, "");
    } else {
        exclude();
        qel_printf("%12s%10s%10s%10s\n", "Y", "", "", "Y");
    }
}

uint32_t includedChars(const DataInfo *d)
{
    uint32_t n = 0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        n += !(d->status[c] & (kCharExcluded | kCharEliminated));
    return n;
}

int orthoFilterThreadProc(void *arg)
{
    OrthoFilterRun &r = *static_cast<OrthoFilterRun *>(arg);
    DataInfo *d = r.d;
    qel_printf("\nOrthology filtering by subsets of partition '%s'\n%s\n", r.partition->name,
               std::string(60, '-').c_str());
    if (const int rc = setDistances(kDMatrixForDistance, false, d); rc != 0)
        return rc;
    int previous = indentOutput(4);
    qel_printf("\nPartition subsets for which UPGMA tree is incompatible with constraint tree '%s' will be excluded\n",
               orthoFilterConstraint->name);
    showDistSettings(false, false, true, nullptr, 0);
    const uint32_t type = dist.distance;
    if (!isDnaDistance(type, d) || type == kDistAbs || type == kDistP)
        qel_warningMsg(0, "The active distance type should be a model-based \"Dna\" distance.  You can use the "
                          "'%s' command or the \"Distance Settings\" menu command to choose a more appropriate "
                          "distance.",
                       "DSet");
    setOutputIndentLevel(previous);

    // Ties among equally good removals are broken at random.
    initRNG(&r.rng, makeSeed(0, 0, 0, 0));
    if (initConstraints(r.work.get(), d, false) != 0)
        return 1;
    if (isConstraintTreeUninf(r.work.get(), true, false)) {
        qel_errorMsg(715,
                     "Constraint tree '%s' is uninformative (compatible with all possible trees).\tThis sometimes "
                     "happens because you failed to include an outer set of parentheses in the definition of a "
                     "\"monophyly\" constraint that does not list all of the (nondeleted) taxa in the data matrix.",
                     orthoFilterConstraint->name);
        return 1;
    }
    previous = indentOutput(4);
    if (ofltOpt.showPartition)
        showCharPtnSubsetMembership(d, r.partition, r.nameWidth);
    setOutputIndentLevel(previous);
    qel_printf("\n%*s%10s%8s%28s\n", r.nameWidth, "", "num", "num", "      constr            paralogs    subset");
    qel_printf("%-*s%10s%8s%28s\n", r.nameWidth, "subset", "sites", "taxa", "   violated?   <3 taxa   removed  deleted?");
    qel_printf("%s\n", std::string(static_cast<size_t>(r.nameWidth + 10 + 8 + 42), '-').c_str());

    int status = 0;
    for (uint32_t i = 0; i < numPtnSubsets(r.ptn) && status == 0; ++i) {
        includeCharSubsetOnly(d, r.ptn, kSetEnd, r.saved.get());
        if (countIncludedCharsInPtnSubset(r.ptn, d, i) == 0) {
            r.notAnalysed++;
            continue;
        }
        includeCharSubsetOnly(d, r.ptn, i, r.saved.get());
        afterCharInclusionChange(d);
        filterOneSubset(r, i);
        if (getAbortedStatus() != 0 ||
            (incrementProgressValue(r.progress) == kProgressAborted && confirmAbortRequest()))
            status = 2;
    }
    includeCharSubsetOnly(d, r.ptn, kSetEnd, r.saved.get());
    afterCharInclusionChange(d);
    if (status != 0)
        return status;

    qel_printf("\nResults of orthology filtering\n\n");
    previous = indentOutput(4);
    qel_printf("Partition '%s' has %u subsets\n", r.partition->name, numPtnSubsets(r.ptn));
    qel_printf("%u subset(s) not analyzed due to prior character exclusion\n", r.notAnalysed);
    if (r.incompatible > 0 || r.tooFew > 0) {
        qel_printf("%u partition subset(s) incompatible with constraints:\n", r.incompatible);
        const int inner = indentOutput(4);
        qel_printf("%u partition subset(s) kept after setting data for inferred paralogs to \"missing\"\n", r.rescued);
        setOutputIndentLevel(inner);
        qel_printf("%u partition subset(s) excluded due to having too few non-missing taxa\n", r.tooFew);
        const uint32_t n = countIncludedCharsInSubset(r.toExclude.get(), d);
        qel_printf("%u total character(s) excluded\n", n);
        if (n > 0)
            excludeCharacters(r.toExclude.get(), r.saved.get(), d);
    } else {
        qel_printf("\nAll partition subsets were compatible with constraints\n");
    }
    qel_printf("%u sites remain included\n", includedChars(d));
    setOutputIndentLevel(previous);
    return 0;
}

}  // namespace

int readOrthoFilterConstraint(int operation, CmdParam *, void *place)
{
    if (operation == kParamOpReadValue) {
        Constraint *c = getConstraintRefFromInput();
        if (c == nullptr)
            return 1;
        orthoFilterConstraint = c;
        return 0;
    }
    if (operation == kParamOpCurValue && place != nullptr)
        *static_cast<const char **>(place) = orthoFilterConstraint != nullptr ? orthoFilterConstraint->name : "(none)";
    return 0;
}

int doOrthoFilterCmd()
{
    DataInfo *d = activeDataInfo();
    if (d == nullptr)
        return 1;
    // Both names belong to this command alone: a constraint freed since an
    // earlier run must never be reached through them.
    ofltOpt.partition = nullptr;
    orthoFilterConstraint = nullptr;
    if (getCmdParams(OptionSet::kOrthoFilter, ";", nullptr) <= 0)
        return 1;
    if (checkMinTaxa(3, "Orthology filtering", nullptr) != 0)
        return 1;
    if (orthoFilterConstraint == nullptr) {
        qel_errorMsg(0, "No constraint-tree name has been specified.\tUse the 'constraints' option to request use of a "
                        "previously defined constraint.");
        return 1;
    }
    if (ofltOpt.partition == nullptr) {
        qel_errorMsg(0, "No character-partition has been specified.\tUse the '%s' option to request use of a previously "
                        "defined \"charpartion\".",
                     "partition");
        return 1;
    }
    if (ofltOpt.maxParaRem > 0 && d->compactStorage) {
        qel_errorMsg(0, "Removal of inferred paralogs (maxParaRem > 0) is not allowed when using compact data "
                        "storage.\tDo \"set datastorage=full;\" from a VORN block or the command line before reading in "
                        "the data.");
        return 1;
    }
    OrthoFilterRun r;
    r.d = d;
    r.partition = ofltOpt.partition;
    r.ptn = getNexPtn(r.partition);
    r.nameWidth = std::max<int>(8, static_cast<int>(maxPtnSubsetNameLen(r.ptn, false)) + 2);
    r.saved.reset(createExcludedCharsetCopy(d));
    r.toExclude.reset(allocSet(d->nchar));
    r.taxa.reset(allocSet(std::max<uint32_t>(d->ntax, 1)));
    r.upgmaTree.reset(createSearchTree(d));
    r.work.reset(createSearchTree(d));
    if (r.upgmaTree)
        r.cd.reset(createClustData(d, r.upgmaTree.get(), true, static_cast<uint32_t>(d->nActive), true, false));
    if (!r.saved || !r.toExclude || !r.taxa || !r.work || !r.cd)
        return 1;
    // The constraint named here is tested; the user's active one comes back.
    Constraint *active = getActiveConstraint();
    setActiveConstraint(orthoFilterConstraint);
    setBusyMode(true);
    r.progress = createProgressWindow(numPtnSubsets(r.ptn), 0, "Doing orthology filtering");
    const int status = runSecondaryThread(orthoFilterThreadProc, &r);
    r.progress = destroyProgressWindow(r.progress);
    setBusyMode(false);
    setActiveConstraint(active);
    invalidateDistances();
    return status;
}
